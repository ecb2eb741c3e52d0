// The fleet's situations: the agent watches the JetStream key-value bucket
// FLEET_SITUATIONS_BUCKET and applies the lines kept there beside its own.
//
// Keys (PREFIX is the fleet prefix of HOV_FLEET as one token, NatsHostToken;
// KEY the host's roster key token; NAME the situation's name):
//   PREFIX.all.NAME           every host
//   PREFIX.group.GROUP.NAME   the hosts that name GROUP in HOV_FLEET_GROUPS
//   PREFIX.host.KEY.NAME      the one host
// A value is the situation's line as the situations file has it ("NAME
// TABLE CONDITION [clauses] [RUN ...]"), at most SITUATION_LINE_MAX bytes.
// For one NAME the host's key wins over a group's (the first group of
// HOV_FLEET_GROUPS over later ones), a group's over all's; the host's own
// situation of that name (its file, the control socket) wins over any of
// the fleet's. A RUN action is refused unless HOV_FLEET_RUN=allow.
//
// What was applied last is kept in TVX_STATE_FILE.fleet-situations and
// applied at start, before the bucket's current state replaces it as soon as
// the server answers. The bucket deleted, the situations applied stay.
#ifndef QOR_FRAMEWORK_CONTROL_FLEET_SITUATIONS_H_
#define QOR_FRAMEWORK_CONTROL_FLEET_SITUATIONS_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct __natsConnection;

constexpr char FLEET_SITUATIONS_SAVED_SUFFIX[] = ".fleet-situations";

struct Fleet_Situations_Settings {
  bool enabled = false;             // HOV_FLEET_SITUATIONS=yes
  std::vector<std::string> groups;  // HOV_FLEET_GROUPS, in order
  bool allow_run = false;           // HOV_FLEET_RUN=allow
  std::string saved;                // the saved copy's path; "" none
};

// Reads HOV_FLEET_SITUATIONS, HOV_FLEET_GROUPS, HOV_FLEET_RUN and
// TVX_STATE_FILE; false with *err for a value that is not understood.
[[nodiscard]] bool ReadFleetSituationsSettings(Fleet_Situations_Settings* s,
                                               std::string* err);

class Fleet_Situations {
 public:
  // `prefix`: the fleet prefix; `key`: the host's token. `changed` is
  // called (on the watcher's thread) after each change applied.
  Fleet_Situations(const Fleet_Situations_Settings& settings,
                   const std::string& prefix, const std::string& key,
                   std::function<void()> changed);
  ~Fleet_Situations();
  Fleet_Situations(const Fleet_Situations&) = delete;
  Fleet_Situations& operator=(const Fleet_Situations&) = delete;

  // Applies the saved copy, then watches the bucket over `nc` on a thread
  // of its own until Stop.
  void Start(__natsConnection* nc);
  void Stop();
  // The roster entry's fields, each after a comma:
  //   ,"groups":[...],"fleet_situations":{"revision":N,"watching":true,
  //    "keys":{"all.NAME":{"revision":R,"state":"applied"},...}}
  // keys without the prefix; state "applied", "refused" (with "reason") or
  // "overridden" (with "reason").
  std::string RosterFields();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

#endif  // QOR_FRAMEWORK_CONTROL_FLEET_SITUATIONS_H_
