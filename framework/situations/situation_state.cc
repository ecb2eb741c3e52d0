// Open pairs, awaited keys and firing alerts of one situation, with the
// windows that end them (see situation_state.h).
#include "framework/situations/situation_state.h"

#include <string.h>

namespace {

// A row within this much of the last one keeps a situation from being
// quiet: its windows end by entry time only.
constexpr int64_t kQuietMs = 1000;

// The first millisecond after the entry second `second`.
int64_t After(int64_t second) {
  return (second + 1) * 1000;
}

}  // namespace

Situation_State::Situation_State(const State_Settings& settings)
    : settings_(settings) {
  pairs_.SetCap(settings_.max_keys);
  awaited_.SetCap(settings_.max_keys);
  firing_.SetCap(settings_.max_keys);
}

Situation_State::~Situation_State() = default;

int64_t Situation_State::Effective(int64_t now_ms) const {
  const int64_t by_entries = newest_ * 1000;
  if (now_ms - last_row_ms_ < kQuietMs) {
    return by_entries;
  }
  return now_ms > by_entries ? now_ms : by_entries;
}

void Situation_State::Note(int64_t when, int64_t now_ms) {
  if (when > newest_) {
    newest_ = when;
  }
  last_row_ms_ = now_ms;
}

template <typename T>
T& Situation_State::Make(Key_Lru<T>* lru, std::string_view key) {
  if (lru->Find(key) == nullptr && lru->size() >= lru->Cap()) {
    ++evicted_;
  }
  return lru->Touch(key);
}

void Situation_State::First(std::string_view key, int64_t when,
                            std::string_view text, int64_t now_ms,
                            std::vector<State_Event>* out) {
  Note(when, now_ms);
  Sweep(now_ms, out);  // a window this row's time ended goes first
  if (Open_Pair* open = pairs_.Find(key)) {
    ++open->repeats;
    return;
  }
  Open_Pair& p = Make(&pairs_, key);
  p.first = when;
  p.repeats = 0;
  p.length = static_cast<uint32_t>(text.size() < PAIR_TEXT_MAX ? text.size()
                                                               : PAIR_TEXT_MAX);
  p.text.reset(p.length != 0 ? new char[p.length] : nullptr);
  if (p.length != 0) {
    memcpy(p.text.get(), text.data(), p.length);
  }
}

void Situation_State::Second(std::string_view key, int64_t when, int64_t now_ms,
                             std::vector<State_Event>* out) {
  Note(when, now_ms);
  Sweep(now_ms, out);  // a window this row's time ended goes first
  Open_Pair* open = pairs_.Find(key);
  if (open == nullptr) {
    return;
  }
  State_Event e;
  e.key.assign(key.data(), key.size());
  e.since = open->first;
  e.first_text.assign(open->text.get(), open->length);
  const bool in_time = when <= open->first + settings_.within;
  if (in_time ? settings_.then : settings_.without) {
    e.kind = in_time ? State_Event::Kind::kThen : State_Event::Kind::kWithout;
    out->push_back(std::move(e));
  }
  pairs_.Erase(key);
}

void Situation_State::Seen(std::string_view key, int64_t when, int64_t now_ms,
                           std::vector<State_Event>* out) {
  Note(when, now_ms);
  Sweep(now_ms, out);
  if (Firing_Alert* a = firing_.Find(key)) {
    State_Event e;
    e.kind = State_Event::Kind::kBack;
    e.key.assign(key.data(), key.size());
    e.since = a->since;
    e.count = 1;
    out->push_back(std::move(e));
    firing_.Erase(key);
  }
  Awaited_Key& k = Make(&awaited_, key);
  if (when > k.last) {
    k.last = when;
  }
}

bool Situation_State::Counted(std::string_view key, int64_t when, bool met,
                              long count, int64_t now_ms, int64_t* since) {
  Note(when, now_ms);
  const long keep = settings_.clear_max + 1;
  if (Firing_Alert* a = firing_.Find(key)) {
    ++a->count;
    Push(a, when, keep);
    firing_.Touch(key);
    return false;
  }
  if (!met) {
    return false;
  }
  Firing_Alert& a = Make(&firing_, key);
  a.since = when;
  a.count = 1;
  a.head = a.held = 0;
  // The rows that met the threshold count towards the clear rule as if
  // they came with this one.
  for (long i = 0; i < count && i < keep; ++i) {
    Push(&a, when, keep);
  }
  *since = when;
  return true;
}

void Situation_State::Push(Firing_Alert* a, int64_t when, long keep) {
  if (keep <= 0) {
    return;
  }
  const uint32_t t = when < 0 ? 0 : static_cast<uint32_t>(when);
  a->times[a->head] = t;
  a->head = static_cast<uint8_t>((a->head + 1) % keep);
  if (a->held < keep) {
    ++a->held;
  }
}

bool Situation_State::Clears(const Firing_Alert& a, int64_t now) const {
  const long keep = settings_.clear_max + 1;
  if (a.held < keep) {
    return true;  // fewer rows than the rule allows came at all
  }
  // The oldest of the last `keep` rows: the rule holds once it has left the
  // window.
  int64_t oldest = a.times[a.head % keep];
  for (long i = 0; i < keep; ++i) {
    if (a.times[i] < oldest) {
      oldest = a.times[i];
    }
  }
  return now >= After(oldest + settings_.clear_within);
}

void Situation_State::Sweep(int64_t now_ms, std::vector<State_Event>* out) {
  const int64_t now = Effective(now_ms);
  std::string_view key;
  if (settings_.within > 0) {
    for (Open_Pair* p = pairs_.Oldest(&key);
         p != nullptr && now >= After(p->first + settings_.within);
         p = pairs_.Oldest(&key)) {
      if (settings_.without) {
        State_Event e;
        e.kind = State_Event::Kind::kWithout;
        e.key.assign(key.data(), key.size());
        e.since = p->first;
        e.first_text.assign(p->text.get(), p->length);
        out->push_back(std::move(e));
      }
      pairs_.DropOldest();
    }
  }
  if (settings_.absent > 0) {
    for (Awaited_Key* k = awaited_.Oldest(&key);
         k != nullptr && now >= After(k->last + settings_.absent);
         k = awaited_.Oldest(&key)) {
      State_Event e;
      e.kind = State_Event::Kind::kAbsent;
      e.key.assign(key.data(), key.size());
      e.since = k->last;
      const int64_t last = k->last;
      std::string moved = e.key;
      awaited_.DropOldest();
      Firing_Alert& a = Make(&firing_, moved);
      a.since = last;
      a.count = 0;
      out->push_back(std::move(e));
    }
  }
  if (settings_.clear_max >= 0 && firing_.size() != 0) {
    std::vector<std::string> cleared;
    firing_.ForEach([&](std::string_view k, Firing_Alert& a) {
      if (Clears(a, now)) {
        State_Event e;
        e.kind = State_Event::Kind::kResolved;
        e.key.assign(k.data(), k.size());
        e.since = a.since;
        e.count = a.count;
        cleared.push_back(e.key);
        out->push_back(std::move(e));
      }
    });
    for (const std::string& k : cleared) {
      firing_.Erase(k);
    }
  }
}

std::vector<State_Item> Situation_State::Items() {
  std::vector<State_Item> items;
  pairs_.ForEach([&items](std::string_view k, Open_Pair& p) {
    State_Item i;
    i.kind = 'P';
    i.key.assign(k.data(), k.size());
    i.since = p.first;
    i.count = p.repeats;
    i.text.assign(p.text.get(), p.length);
    items.push_back(std::move(i));
  });
  awaited_.ForEach([&items](std::string_view k, Awaited_Key& a) {
    State_Item i;
    i.kind = 'W';
    i.key.assign(k.data(), k.size());
    i.since = a.last;
    items.push_back(std::move(i));
  });
  const long keep = settings_.clear_max + 1;
  const bool absence = settings_.absent > 0;
  firing_.ForEach([&](std::string_view k, Firing_Alert& a) {
    State_Item i;
    i.kind = absence ? 'A' : 'F';
    i.key.assign(k.data(), k.size());
    i.since = a.since;
    i.count = a.count;
    // Oldest first, so that Restore pushes them back in order.
    for (long n = 0; n < a.held && keep > 0; ++n) {
      i.times.push_back(a.times[(a.head + keep - a.held + n) % keep]);
    }
    items.push_back(std::move(i));
  });
  return items;
}

void Situation_State::Restore(const State_Item& item, int64_t now_ms) {
  (void)now_ms;
  switch (item.kind) {
    case 'P': {
      if (settings_.within <= 0) {
        return;
      }
      Open_Pair& p = Make(&pairs_, item.key);
      p.first = item.since;
      p.repeats = static_cast<uint32_t>(item.count);
      p.length = static_cast<uint32_t>(
          item.text.size() < PAIR_TEXT_MAX ? item.text.size() : PAIR_TEXT_MAX);
      p.text.reset(p.length != 0 ? new char[p.length] : nullptr);
      if (p.length != 0) {
        memcpy(p.text.get(), item.text.data(), p.length);
      }
      break;
    }
    case 'W':
      if (settings_.absent > 0) {
        Make(&awaited_, item.key).last = item.since;
      }
      break;
    case 'A':
    case 'F': {
      if ((item.kind == 'A') != (settings_.absent > 0) ||
          (item.kind == 'F' && settings_.clear_max < 0)) {
        return;
      }
      Firing_Alert& a = Make(&firing_, item.key);
      a.since = item.since;
      a.count = item.count;
      a.head = a.held = 0;
      for (uint32_t t : item.times) {
        Push(&a, t, settings_.clear_max + 1);
      }
      break;
    }
    default:
      break;
  }
}
