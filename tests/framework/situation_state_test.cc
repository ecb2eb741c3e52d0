#include "framework/situations/situation_state.h"

#include <stdint.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Kind = State_Event::Kind;

std::string Render(const std::vector<State_Event>& events) {
  std::string out;
  for (const State_Event& e : events) {
    static const char* const kNames[] = {"then", "without", "absent",
                                         "back", "firing",  "resolved"};
    out += std::string(kNames[static_cast<int>(e.kind)]) + " " + e.key + "@" +
           std::to_string(e.since) +
           (e.first_text.empty() ? "" : " [" + e.first_text + "]") +
           (e.count != 0 ? " n=" + std::to_string(e.count) : "") + "\n";
  }
  return out;
}

// The rules written out plainly, every key looked at on every step: a
// pair's window ends when the newest entry time is past it, or, once no row
// came for a second, when the clock is; the least recently made key goes
// when the most keys are kept.
class Reference {
 public:
  Reference(const State_Settings& s) : s_(s) {}

  void Row(int64_t when, int64_t now_ms) {
    newest_ = std::max(newest_, when);
    last_ms_ = now_ms;
  }
  int64_t Effective(int64_t now_ms) const {
    if (now_ms - last_ms_ < 1000) {
      return newest_ * 1000;
    }
    return std::max(now_ms, newest_ * 1000);
  }
  void Sweep(int64_t now_ms, std::vector<State_Event>* out) {
    const int64_t now = Effective(now_ms);
    while (true) {
      const Pair* oldest = nullptr;
      std::string oldest_key;
      for (const auto& kv : pairs_) {
        if ((kv.second.first + s_.within + 1) * 1000 <= now &&
            (oldest == nullptr || kv.second.made < oldest->made)) {
          oldest = &kv.second;
          oldest_key = kv.first;
        }
      }
      if (oldest == nullptr) {
        return;
      }
      if (s_.without) {
        State_Event e;
        e.kind = Kind::kWithout;
        e.key = oldest_key;
        e.since = oldest->first;
        e.first_text = oldest->text;
        out->push_back(e);
      }
      pairs_.erase(oldest_key);
    }
  }
  void First(const std::string& key, int64_t when, const std::string& text,
             int64_t now_ms, std::vector<State_Event>* out) {
    Row(when, now_ms);
    Sweep(now_ms, out);
    if (pairs_.count(key) != 0) {
      return;
    }
    if (pairs_.size() >= s_.max_keys) {
      auto victim = std::min_element(pairs_.begin(), pairs_.end(),
                                     [](const auto& a, const auto& b) {
                                       return a.second.made < b.second.made;
                                     });
      pairs_.erase(victim);
      ++evicted_;
    }
    pairs_[key] = Pair{when, ++made_, text};
  }
  void Second(const std::string& key, int64_t when, int64_t now_ms,
              std::vector<State_Event>* out) {
    Row(when, now_ms);
    Sweep(now_ms, out);
    const auto it = pairs_.find(key);
    if (it != pairs_.end()) {
      const bool in_time = when <= it->second.first + s_.within;
      if (in_time ? s_.then : s_.without) {
        State_Event e;
        e.kind = in_time ? Kind::kThen : Kind::kWithout;
        e.key = key;
        e.since = it->second.first;
        e.first_text = it->second.text;
        out->push_back(e);
      }
      pairs_.erase(it);
    }
  }
  size_t Open() const { return pairs_.size(); }
  uint64_t evicted_ = 0;

 private:
  struct Pair {
    int64_t first;
    uint64_t made;
    std::string text;
  };
  State_Settings s_;
  std::map<std::string, Pair> pairs_;
  uint64_t made_ = 0;
  int64_t newest_ = 0;
  int64_t last_ms_ = 0;
};

TEST(SituationStateTest, PairsMatchTheReferenceOverRandomInterleavings) {
  for (int seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    State_Settings s;
    s.then = seed % 3 != 1;
    s.without = seed % 3 != 2;
    s.within = 1 + static_cast<long>(rng() % 10);
    s.max_keys = 1 + rng() % 6;  // small, so that keys are evicted
    Situation_State state(s);
    Reference ref(s);
    int64_t now_ms = 1700000000000;
    int64_t newest = now_ms / 1000;
    std::string trace;
    for (int step = 0; step < 2000; ++step) {
      std::vector<State_Event> got, want;
      const std::string key = "k" + std::to_string(rng() % 8);
      // Entries are stamped now or a little earlier, never going back.
      newest =
          std::max(newest, now_ms / 1000 - static_cast<int64_t>(rng() % 3));
      switch (rng() % 4) {
        case 0:
          state.First(key, newest, "text " + std::to_string(step), now_ms,
                      &got);
          ref.First(key, newest, "text " + std::to_string(step), now_ms, &want);
          trace += "A " + key;
          break;
        case 1:
          state.Second(key, newest, now_ms, &got);
          ref.Second(key, newest, now_ms, &want);
          trace += "B " + key;
          break;
        case 2:
          now_ms += static_cast<int64_t>(rng() % 4000);
          trace += "+t";
          break;
        default:
          state.Sweep(now_ms, &got);
          ref.Sweep(now_ms, &want);
          trace += "sweep";
          break;
      }
      trace += " @" + std::to_string(now_ms) + "\n";
      ASSERT_EQ(Render(got), Render(want)) << "seed " << seed << "\n" << trace;
      ASSERT_EQ(state.OpenPairs(), ref.Open()) << "seed " << seed;
      ASSERT_EQ(state.Evicted(), ref.evicted_) << "seed " << seed;
      ASSERT_LE(state.OpenPairs(), s.max_keys);
    }
  }
}

TEST(SituationStateTest, AQuietSituationEndsItsWindowsByTheClock) {
  State_Settings s;
  s.without = true;
  s.within = 30;
  Situation_State state(s);
  std::vector<State_Event> out;
  const int64_t t0 = 1700000000;
  state.First("bob", t0, "opened", t0 * 1000 + 400, &out);
  // A second first row waits with the first one's window.
  state.First("bob", t0 + 10, "again", t0 * 1000 + 10000, &out);
  state.Sweep((t0 + 30) * 1000 + 999, &out);
  EXPECT_EQ(Render(out), "");
  state.Sweep((t0 + 31) * 1000, &out);
  EXPECT_EQ(Render(out), "without bob@1700000000 [opened]\n");
}

TEST(SituationStateTest, ABacklogEndsWindowsByEntryTimeOnly) {
  State_Settings s;
  s.without = true;
  s.within = 60;
  Situation_State state(s);
  std::vector<State_Event> out;
  const int64_t read_at = 1700009000000;  // an hour after the entries
  const int64_t t0 = 1700005000;
  state.First("ann", t0, "opened", read_at, &out);
  state.First("bob", t0 + 1, "opened", read_at + 10, &out);
  // Rows keep coming: the clock says nothing yet.
  state.Sweep(read_at + 500, &out);
  state.Second("ann", t0 + 50, read_at + 600, &out);  // within the window
  EXPECT_EQ(Render(out), "");
  state.First("cy", t0 + 62, "opened", read_at + 700, &out);  // past bob's
  EXPECT_EQ(Render(out), "without bob@1700005001 [opened]\n");
  out.clear();
  // Quiet now: the clock ends cy's window.
  state.Sweep(read_at + 1700, &out);
  EXPECT_EQ(Render(out), "without cy@1700005062 [opened]\n");
}

TEST(SituationStateTest, AbsenceFiresOnceAndResolvesWhenARowReturns) {
  State_Settings s;
  s.absent = 600;
  Situation_State state(s);
  std::vector<State_Event> out;
  const int64_t t0 = 1700000000;
  state.Sweep(t0 * 1000 + 5000000, &out);  // never seen: nothing
  state.Seen("/var/log/app", t0, t0 * 1000, &out);
  state.Sweep((t0 + 600) * 1000, &out);
  EXPECT_EQ(Render(out), "");
  state.Sweep((t0 + 601) * 1000, &out);
  state.Sweep((t0 + 9000) * 1000, &out);
  EXPECT_EQ(Render(out), "absent /var/log/app@1700000000\n");
  EXPECT_EQ(state.Firing(), 1u);
  out.clear();
  state.Seen("/var/log/app", t0 + 9000, (t0 + 9000) * 1000, &out);
  EXPECT_EQ(Render(out), "back /var/log/app@1700000000 n=1\n");
  EXPECT_EQ(state.Firing(), 0u);
  EXPECT_EQ(state.Awaited(), 1u);
}

TEST(SituationStateTest, AnAlertFiresOnceAndResolvesByItsClearRule) {
  State_Settings s;
  s.clear_max = 1;
  s.clear_within = 60;
  Situation_State state(s);
  std::vector<State_Event> out;
  const int64_t t0 = 1700000000;
  int64_t since = 0;
  EXPECT_FALSE(state.Counted("h", t0, false, 1, t0 * 1000, &since));
  EXPECT_TRUE(state.Counted("h", t0 + 1, true, 5, (t0 + 1) * 1000, &since));
  EXPECT_EQ(since, t0 + 1);
  for (int i = 2; i < 20; ++i) {  // still firing: counted, not raised
    EXPECT_FALSE(state.Counted("h", t0 + i, true, 5, (t0 + i) * 1000, &since));
  }
  state.Sweep((t0 + 70) * 1000, &out);  // 2 rows within the last 60 s
  EXPECT_EQ(Render(out), "");
  EXPECT_FALSE(state.Counted("h", t0 + 75, false, 1, (t0 + 75) * 1000, &since));
  // At most one row (at t0 + 75) within 60 s once t0 + 19 has left it.
  state.Sweep((t0 + 79) * 1000, &out);
  EXPECT_EQ(Render(out), "");
  state.Sweep((t0 + 80) * 1000, &out);
  EXPECT_EQ(Render(out), "resolved h@1700000001 n=20\n");
  EXPECT_EQ(state.Firing(), 0u);
}

TEST(SituationStateTest, ItemsRestoreTheSameState) {
  State_Settings s;
  s.clear_max = 2;
  s.clear_within = 30;
  Situation_State state(s);
  int64_t since = 0;
  ASSERT_TRUE(state.Counted("x", 100, true, 3, 100000, &since));
  ASSERT_FALSE(state.Counted("x", 105, true, 3, 105000, &since));
  Situation_State copy(s);
  for (const State_Item& i : state.Items()) {
    copy.Restore(i, 0);
  }
  std::vector<State_Event> a, b;
  state.Sweep(130999, &a);  // the rows at 100 are within 30 s
  copy.Sweep(130999, &b);
  EXPECT_EQ(Render(a), "");
  EXPECT_EQ(Render(b), "");
  state.Sweep(131000, &a);
  copy.Sweep(131000, &b);
  EXPECT_EQ(Render(a), "resolved x@100 n=2\n");
  EXPECT_EQ(Render(b), Render(a));
}

}  // namespace
