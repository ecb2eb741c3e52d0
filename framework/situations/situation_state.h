// The per-key memory of a situation that remembers: pairs that wait for
// their second row, keys whose rows stopped coming, and firing alerts that
// wait for their clear rule. Pure bookkeeping on given times, so that it can
// be driven step by step; the request object that owns it turns what it
// raises into events. Not locked: its owner holds the lock that guards it.
//
// Times: rows carry their entry time (seconds since the epoch); the clock
// (`now_ms`) is the agent's monotonic clock anchored to the epoch at start.
// A window ends by entry time when a later row's entry time is past it, or
// by the clock once the situation has had no row for a second, so that
// entries read late (a backlog) never end a window whose closing row is
// still to be read, and a quiet log still gets its event within a second.
#ifndef QOR_FRAMEWORK_SITUATIONS_SITUATION_STATE_H_
#define QOR_FRAMEWORK_SITUATIONS_SITUATION_STATE_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/tables/key_lru.h"

// Most rows a clear rule may allow (CLEAR <= M): the times of the last
// M + 1 rows of a firing alert are kept.
constexpr long CLEAR_MAX_ROWS = 15;
// Longest window of a pair, an absence or a clear rule: 7 days.
constexpr long STATE_WINDOW_MAX = 7L * 86400;
// Most bytes of a first row's entry text an open pair keeps.
constexpr size_t PAIR_TEXT_MAX = 1024;

struct State_Settings {
  // Pairs: an event when the second row follows within `within` seconds
  // (then), when none does (without), or both.
  bool then = false;
  bool without = false;
  long within = 0;
  // Absence: an event when no row of a key came for `absent` seconds;
  // `expected`: the key "" is waited for from the start.
  long absent = 0;
  bool expected = false;
  // Recovery: a firing alert resolves when at most `clear_max` rows came
  // within `clear_within` seconds.
  long clear_max = -1;
  long clear_within = 0;
  size_t max_keys = SITUATION_MAX_KEYS;
};

// What the state raises.
struct State_Event {
  enum class Kind {
    kThen,      // a first row's second row came within the window
    kWithout,   // a first row's window ended without its second row
    kAbsent,    // no row of the key within the window: firing
    kBack,      // a row of an absent key came again: resolved
    kFiring,    // a frequency threshold was met: firing
    kResolved,  // the clear rule holds: resolved
  };
  Kind kind = Kind::kThen;
  std::string key;
  // The first row's entry time (pairs), the last row before the absence
  // (absent, back), or when firing began (firing, resolved).
  int64_t since = 0;
  std::string first_text;  // the first row's entry text (pairs)
  uint64_t count = 0;      // rows seen while firing (resolved, back)
};

// One remembered key, for listings and the state file.
struct State_Item {
  char kind = 'P';  // 'P' open pair, 'W' key awaited, 'A' absent, 'F' firing
  std::string key;
  int64_t since = 0;   // see State_Event::since
  uint64_t count = 0;  // firing: rows seen; pair: repeats of the first row
  std::string text;    // an open pair's first entry text
  std::vector<uint32_t> times;  // firing: the last rows' entry times
};

class Situation_State {
 public:
  explicit Situation_State(const State_Settings& settings);
  ~Situation_State();
  Situation_State(const Situation_State&) = delete;
  Situation_State& operator=(const Situation_State&) = delete;

  const State_Settings& Settings() const { return settings_; }

  // A row that meets the first condition of a pair. A second first row of a
  // key that waits is counted and changes nothing: the window stays the
  // first one's.
  void First(std::string_view key, int64_t when, std::string_view text,
             int64_t now_ms, std::vector<State_Event>* out);
  // A row that meets the second condition: ends the key's open pair, with a
  // then event when it came within the window.
  void Second(std::string_view key, int64_t when, int64_t now_ms,
              std::vector<State_Event>* out);
  // A row of an absence situation: resolves the key when it was absent and
  // starts its window again.
  void Seen(std::string_view key, int64_t when, int64_t now_ms,
            std::vector<State_Event>* out);
  // A row of a frequency situation with a clear rule; `met`: the threshold
  // holds with it (`count` rows in the period). True when the row is to be
  // dispatched as the alert's firing event; a firing key's rows are
  // counted, not dispatched.
  bool Counted(std::string_view key, int64_t when, bool met, long count,
               int64_t now_ms, int64_t* since);
  // Ends the windows that are over by `now_ms` and resolves the alerts
  // whose clear rule holds.
  void Sweep(int64_t now_ms, std::vector<State_Event>* out);

  // Open pairs, keys awaited, absent keys and firing alerts.
  size_t OpenPairs() const { return pairs_.size(); }
  size_t Awaited() const { return awaited_.size(); }
  size_t Firing() const { return firing_.size(); }
  // Keys forgotten to keep to the most keys, since the state was made.
  uint64_t Evicted() const { return evicted_; }

  // Every remembered key (see State_Item).
  std::vector<State_Item> Items();
  // Takes back a saved key (from Items), as it was; keys past the most
  // are dropped.
  void Restore(const State_Item& item, int64_t now_ms);
  // Until `until_ms` windows end by entry time only, as while rows come.
  void HoldTimers(int64_t until_ms) {
    if (until_ms > last_row_ms_) {
      last_row_ms_ = until_ms;
    }
  }

 private:
  struct Open_Pair {
    int64_t first = 0;
    uint32_t repeats = 0;
    uint32_t length = 0;
    std::unique_ptr<char[]> text;
  };
  struct Awaited_Key {
    int64_t last = 0;
  };
  struct Firing_Alert {
    int64_t since = 0;  // firing began (absent: the last row before)
    uint64_t count = 0;
    uint32_t times[CLEAR_MAX_ROWS + 1] = {};  // ring of the last row times
    uint8_t head = 0;
    uint8_t held = 0;
  };

  // The clock as windows see it: by entry time while rows come, by the
  // clock once the situation is quiet (see the file's comment).
  int64_t Effective(int64_t now_ms) const;
  void Note(int64_t when, int64_t now_ms);
  // Makes room for one more key in `lru` (the most keys are shared by the
  // kinds of one situation, which use one kind at a time).
  template <typename T>
  T& Make(Key_Lru<T>* lru, std::string_view key);
  static void Push(Firing_Alert* a, int64_t when, long keep);
  // The clear rule holds for `a` at `now` (effective milliseconds).
  bool Clears(const Firing_Alert& a, int64_t now) const;

  State_Settings settings_;
  Key_Lru<Open_Pair> pairs_;
  Key_Lru<Awaited_Key> awaited_;
  Key_Lru<Firing_Alert> firing_;
  int64_t newest_ = 0;       // the newest entry time seen
  int64_t last_row_ms_ = 0;  // when the last row came
  uint64_t evicted_ = 0;
};

#endif  // QOR_FRAMEWORK_SITUATIONS_SITUATION_STATE_H_
