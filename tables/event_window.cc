// Event_Window: a situation's events within its period, counted by entry
// time.
#include "tables/event_window.h"

void Event_Window::Resize(uint32_t cap) {
  if (cap == cap_) {
    return;
  }
  Second* fresh = cap > 1 ? new Second[cap] : nullptr;
  const Second kept = size_ > 0 ? At(0) : Second{0, 0};
  for (uint32_t i = 0; fresh != nullptr && i < size_; ++i) {
    fresh[i] = At(i);
  }
  Release();
  if (fresh != nullptr) {
    ring_ = fresh;
  } else {
    one_ = kept;
  }
  cap_ = cap;
  head_ = 0;
}

void Event_Window::Prune(int64_t limit) {
  uint32_t gone = 0;
  while (gone < size_ && At(gone).time <= limit) {
    total_ -= At(gone).events;
    ++gone;
  }
  if (gone == 0) {
    return;
  }
  size_ -= gone;
  head_ = cap_ > 1 ? (head_ + gone) & (cap_ - 1) : 0;
  if (cap_ > 1 && size_ * 4 <= cap_) {
    uint32_t cap = 1;
    while (cap < size_ * 2) {
      cap *= 2;
    }
    Resize(cap);
  }
}

bool Event_Window::Add(int64_t time, int64_t limit) {
  Prune(limit);
  if (time <= limit || time <= 0 || time > static_cast<int64_t>(UINT32_MAX)) {
    return false;
  }
  const uint32_t t = static_cast<uint32_t>(time);
  ++total_;
  // Its second, found by binary search from the newest (the usual case).
  uint32_t at = size_;
  if (size_ > 0 && At(size_ - 1).time >= t) {
    uint32_t low = 0;
    uint32_t high = size_;
    while (low < high) {
      const uint32_t mid = low + (high - low) / 2;
      if (At(mid).time < t) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    at = low;
    // A second's count that is full goes on in a second entry of that time.
    while (at < size_ && At(at).time == t && At(at).events == UINT32_MAX) {
      ++at;
    }
    if (at < size_ && At(at).time == t) {
      ++At(at).events;
      return true;
    }
  }
  if (size_ == cap_) {
    Resize(cap_ * 2);
  }
  ++size_;
  for (uint32_t i = size_ - 1; i > at; --i) {
    At(i) = At(i - 1);
  }
  At(at) = Second{t, 1};
  return true;
}
