// The situations the runtime evaluates, by name. A situation is one live
// request object (sample type 4) on its table's manager list; the registry
// owns it and destroys it on Delete, Reload and Clear. Situations come from
// two sources: the host's own (its situations file and the control socket)
// and the fleet's (InstallFleet); a reload of either leaves the other's in
// place, and a name both define is the host's own. Thread-safe; lock order:
// the registry's install lock, its lock, then a table manager's.
#ifndef QOR_FRAMEWORK_SITUATIONS_SITUATION_REGISTRY_H_
#define QOR_FRAMEWORK_SITUATIONS_SITUATION_REGISTRY_H_

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "util/fleet_names.h"
#include "util/posix_mutex.h"

class vandu;

// Most situations one file or the registry holds, and the longest line of a
// situations file: past them a file is refused as a whole, a line skipped.
constexpr size_t SITUATIONS_MAX = 100000;
// The names of a state file's records of situation state, and the longest
// text of one.
constexpr char SITUATION_STATE_PREFIX[] = "situation-state:";
constexpr size_t SITUATION_STATE_TEXT_MAX = 4000;
constexpr size_t SITUATION_STATE_BYTES = 8u << 20;

struct Situation_Info {
  std::string name;
  std::string table;  // "APPL.TABLE"
  std::string condition;
  std::string clauses;  // "PER COLUMN \"REGEX\" THROTTLE SECONDS", "" when none
  std::string run;      // the RUN clause's command; empty: none
  // A situation from the fleet: its bucket key and revision; "" and 0 for
  // the host's own.
  std::string fleet_key;
  uint64_t fleet_revision = 0;
  bool stopped = false;
  int reason = 0;
  // Counts since the situation was made (see vandu::RowsMatched).
  uint64_t matched = 0;
  uint64_t dispatched = 0;
  uint64_t suppressed = 0;
  // A situation that remembers (THEN, WITHOUT, ABSENT or CLEAR): its open
  // pairs, keys awaited, firing alerts and keys forgotten to keep to KEYS.
  bool remembers = false;
  uint64_t open_pairs = 0;
  uint64_t awaited = 0;
  uint64_t firing = 0;
  uint64_t evicted = 0;
};

struct Firing_Alert_Info;

// A situation line the fleet gives, from one key of its bucket.
struct Fleet_Line {
  std::string key;   // the bucket's key
  std::string name;  // the situation's name, as the key names it
  uint64_t revision = 0;
  std::string line;  // NAME TABLE CONDITION... as a situations file has it
};

// What became of one key of the fleet's: its situation runs, was refused
// (`reason` says why), or is overridden (by the host's own situation of that
// name, or a key of a nearer scope; `reason` says which).
enum class Fleet_State { kApplied, kRefused, kOverridden };
struct Fleet_Outcome {
  uint64_t revision = 0;
  Fleet_State state = Fleet_State::kApplied;
  std::string reason;
};
const char* FleetStateName(Fleet_State state);

// Splits "NAME TABLE CONDITION"; false with *err when malformed.
[[nodiscard]] bool ParseSituationLine(const std::string& line,
                                      std::string* name, std::string* table,
                                      std::string* condition, std::string* err);


// Takes a trailing `RUN "COMMAND"` clause off `*text` (a condition and the
// clauses after it): *run is the command with its \" and \\ escapes undone,
// *text what stands before the clause. Without the clause *run is empty and
// *text unchanged. False with *err when the clause is malformed; columns in
// it count from `column_offset` + 1.
[[nodiscard]] bool SplitRunClause(std::string* text, std::string* run,
                                  std::string* err, size_t column_offset = 0);

class Situation_Registry {
 public:
  static Situation_Registry& Instance();

  // Creates and starts a situation from its CONDITION and PER/THROTTLE
  // clauses; false with *err when the name is taken or invalid, or the table,
  // condition or a clause is bad. `run`: the RUN command; empty: none.
  [[nodiscard]] bool Add(const std::string& name, const std::string& table,
                         const std::string& condition, std::string* err,
                         const std::string& run = std::string());
  // False with *err when there is no such situation, or it is the fleet's.
  [[nodiscard]] bool Delete(const std::string& name, std::string* err);
  std::vector<Situation_Info> List();
  // The firing alerts of every situation that remembers.
  std::vector<Firing_Alert_Info> Alerts();
  // The state of the situations that remember as named texts for the
  // state file: each name starts with SITUATION_STATE_PREFIX and names the
  // situation and its definition; each text (at most
  // SITUATION_STATE_TEXT_MAX bytes, no newline or NUL) holds some of its
  // keys. At most SITUATION_STATE_BYTES in all; the keys past them are not
  // saved. After Clear (the agent stops), the state the situations had.
  void SaveState(std::vector<std::pair<std::string, std::string>>* records);
  // Gives each situation the saved state of its name and definition (a
  // situation whose definition changed starts empty), and its firing alerts
  // to the outputs that keep alerts (Situation_Memory::Restate).
  void RestoreState(
      const std::vector<std::pair<std::string, std::string>>& records);
  // Grows whenever a situation's state changes.
  uint64_t StateChanges();
  // Reads and checks a whole situations file, then makes its good lines the
  // situations, at once: a situation whose definition did not change keeps
  // its object (and its counts), the others are replaced, added or dropped.
  // Each bad line adds one "FILE:LINE: what was expected" text to *problems
  // and is skipped. False with *err, the situations unchanged, when the file
  // cannot be read, holds more than SITUATIONS_MAX situations, or is empty
  // (0 bytes) while situations are defined.
  [[nodiscard]] bool LoadFile(const std::string& path,
                              std::vector<std::string>* problems,
                              std::string* err);
  // LoadFile of the file named by HOV_SITUATIONS (none: nothing changes).
  [[nodiscard]] bool Reload(std::vector<std::string>* problems,
                            std::string* err);
  // Makes `lines` (one per name) the fleet's situations, at once, beside the
  // host's own. Each line is checked as a line of the situations file; one
  // that does not load, whose name is not its key's, or that has a RUN
  // action while `allow_run` is false, is refused and the fleet's previous
  // situation of that name, if any, keeps running. A name the host defines
  // itself stays the host's (overridden) until the host's goes. Refusals
  // and overrides are in FleetOutcomes; `outcomes` adds those decided
  // before (a key of a nearer scope).
  void InstallFleet(const std::vector<Fleet_Line>& lines, bool allow_run,
                    const std::map<std::string, Fleet_Outcome>& outcomes = {});
  // What became of each key of the last InstallFleet, kept true as the
  // host's own situations change.
  std::map<std::string, Fleet_Outcome> FleetOutcomes();
  // Grows whenever FleetOutcomes may have changed.
  uint64_t FleetChanges();
  // The fleet's lines in force (those running or overridden), by name.
  std::vector<Fleet_Line> FleetLines();
  void Clear();

 private:
  struct Entry {
    Situation_Info info;
    std::string definition;  // table, condition and clauses as parsed
    vandu* object = nullptr;
  };
  // A situation made from one line, not yet live.
  [[nodiscard]] bool Make(const std::string& name, const std::string& table,
                          const std::string& text, const std::string& run,
                          Entry* entry, std::string* err);
  // Make from a whole situations file line; *name is set once read.
  [[nodiscard]] bool MakeLine(const std::string& line, std::string* name,
                              Entry* entry, std::string* err);
  // Puts `wanted` in place of every situation (see LoadFile): an entry may
  // be a new object or the running one of its name. `ending`: the agent
  // stops (Clear), and the firing alerts of the situations that go are kept.
  void Install(std::vector<Entry> wanted, bool ending = false);
  // Tells each situation whether it alerts: every one while none has an
  // ALERT clause, else only those that have one.
  static void MarkAlerting(const std::map<std::string, Entry>& entries);
  // Installs the host's own situations `local` together with the fleet's
  // lines in force: `made` holds objects already made for some of them.
  void Compose(std::vector<Entry> local, std::map<std::string, Entry> made)
      REQUIRES(install_mu_);
  // The host's own situations, running.
  std::vector<Entry> LocalEntries() EXCLUDES(mu_);

  // Held by whatever changes the set of situations, so that a fleet change
  // and a reload of the file never interleave.
  Posix_Mutex install_mu_;
  std::map<std::string, Fleet_Line> fleet_ GUARDED_BY(install_mu_);
  Posix_Mutex mu_;
  std::map<std::string, Fleet_Outcome> outcomes_ GUARDED_BY(mu_);
  uint64_t outcome_changes_ GUARDED_BY(mu_) = 0;
  std::map<std::string, Entry> entries_ GUARDED_BY(mu_);
  // What SaveState gave as Clear destroyed the situations.
  std::vector<std::pair<std::string, std::string>> parting_ GUARDED_BY(mu_);
  void SaveStateLocked(
      std::vector<std::pair<std::string, std::string>>* records) REQUIRES(mu_);
};

#endif  // QOR_FRAMEWORK_SITUATIONS_SITUATION_REGISTRY_H_
