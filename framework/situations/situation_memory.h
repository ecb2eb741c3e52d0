// The memory of one situation with a THEN, WITHOUT, ABSENT or CLEAR clause:
// it evaluates the second condition of a pair, keeps the per-key state
// (Situation_State) and writes the stateful events, each with its alert's
// identity (situation, key, host) and state. Owned by the situation's
// request object (vandu), made with it and destroyed with it. Rows come
// under the table manager's lock, sweeps from hovmain's loop, listings from
// the control threads: the state has a lock of its own.
#ifndef QOR_FRAMEWORK_SITUATIONS_SITUATION_MEMORY_H_
#define QOR_FRAMEWORK_SITUATIONS_SITUATION_MEMORY_H_

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "framework/situations/situation_state.h"
#include "util/posix_mutex.h"
#include "util/repeat_limiter.h"
#include "util/time_stamp.h"

class vandu;
class Row_Json_Writer;
struct Event_Record;
struct Situation_Clauses;

// What a listing shows of one situation's memory.
struct Memory_Counts {
  uint64_t open_pairs = 0;
  uint64_t awaited = 0;
  uint64_t firing = 0;  // firing alerts (absent keys included)
  uint64_t evicted = 0;
};

// One firing alert, for `qorctl alerts`.
struct Firing_Alert_Info {
  std::string situation;
  std::string key;
  std::string host;
  int64_t since = 0;  // entry time firing began (absent: the last row)
  uint64_t count = 0;
};

class Situation_Memory {
 public:
  // The memory `v` needs for its clauses; null with *err empty when it
  // needs none, null with *err when the clauses cannot be applied to `v`.
  // REQUIRES: v's columns are known (ValidateThresholds has run).
  static std::unique_ptr<Situation_Memory> Make(vandu& v, std::string* err);
  ~Situation_Memory();
  Situation_Memory(const Situation_Memory&) = delete;
  Situation_Memory& operator=(const Situation_Memory&) = delete;

  // Whether rows go to Offer instead of being collected (pairs, absence),
  // and whether the situation's first condition alone picks its rows (for
  // the prefilter: a pair's rows may meet the second one instead).
  bool TakesRows() const { return takes_rows_; }
  bool Paired() const { return settings_.within > 0; }
  bool Recovers() const { return settings_.clear_max >= 0; }

  // Evaluates `count` rows for the pair or absence; writes what they raise.
  // 0, or non-zero when the event sink failed.
  unsigned Offer(const char* rows, int count);
  // A frequency situation's matching row of `key` at entry time `when`
  // (seconds; see Situation_State::Counted): true when it is to be
  // dispatched as the firing event.
  bool Counted(const std::string& key, int64_t when, bool met, long count);
  // Sets the stateful members of the firing event of `key` dispatched for
  // `row` (a CLEAR situation's).
  void Decorate(const std::string& key, const char* row, Event_Record* event);
  // Ends the windows that are over and resolves what clears; writes what
  // that raises: 0, or non-zero when the event sink failed.
  unsigned Sweep();

  Memory_Counts Counts();
  void FiringAlerts(std::vector<Firing_Alert_Info>* out);
  // Hands each firing alert to the outputs that keep alerts
  // (Event_Sink::Restate): as firing after Load, so that they tell it
  // again; as `resolved` when the situation goes (deleted, redefined) or
  // no longer alerts, so that they end it.
  void Restate(bool resolved = false);
  // The state as items of text for the state file (no newline, NUL or
  // '|' in them), and back: Load takes the items Save gave, as they
  // were, and holds the timers until the logs have been read on.
  void Save(std::vector<std::string>* items);
  void Load(const std::vector<std::string>& items);
  // Grows whenever the state changes (for the state file's saves). Any
  // thread.
  uint64_t Changes() const { return changes_.load(std::memory_order_relaxed); }

  // The agent's clock: monotonic, in milliseconds since the epoch as the
  // wall clock stood at the first call.
  static int64_t NowMs();
  // "YYYY-MM-DDTHH:MM:SSZ".
  static std::string FormatTime(int64_t seconds);

 private:
  Situation_Memory(vandu& v, const State_Settings& settings);
  // The key of `row`: its PER key, or without a PER clause the log
  // (LOGPATH and LOGNAME) for an absence and "" for the rest. False when
  // the row yields no key.
  bool Key(const char* row, std::string* key);
  int64_t EntrySeconds(const char* row) REQUIRES(mu_);
  void Host(const char* row) REQUIRES(mu_);
  // Writes the events in `raised`; `row` (may be null) is the row that
  // raised them. 0, or non-zero when the sink failed.
  unsigned Write(std::vector<State_Event>* raised, const char* row)
      REQUIRES(mu_);
  void Evictions() REQUIRES(mu_);

  vandu& v_;
  const State_Settings settings_;
  bool takes_rows_ = false;
  vandu* second_ = nullptr;   // the pair's second condition; owned
  uint16_t time_offset_ = 0;  // ENTRYTIME
  uint16_t path_offset_ = 0, path_width_ = 0;  // LOGPATH
  uint16_t name_offset_ = 0, name_width_ = 0;  // LOGNAME
  uint16_t host_offset_ = 0, host_width_ = 0;  // ORIGINNODE
  bool has_log_ = false;
  bool has_host_ = false;

  std::atomic<uint64_t> changes_{0};
  Posix_Mutex mu_;
  Situation_State state_ GUARDED_BY(mu_);
  std::string host_ GUARDED_BY(mu_);
  uint64_t evictions_seen_ GUARDED_BY(mu_) = 0;
  std::unique_ptr<Row_Json_Writer> json_ GUARDED_BY(mu_);
  std::unique_ptr<Event_Record> event_ GUARDED_BY(mu_);
  std::vector<State_Event> raised_ GUARDED_BY(mu_);
  std::string key_ GUARDED_BY(mu_);
  // Entry times read back into seconds.
  Stamp_Seconds stamp_seconds_ GUARDED_BY(mu_);
};

#endif  // QOR_FRAMEWORK_SITUATIONS_SITUATION_MEMORY_H_
