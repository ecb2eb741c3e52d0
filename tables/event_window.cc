#include "tables/event_window.h"

#include <algorithm>

void Event_Window::Prune(int64_t limit) {
  while (!seconds_.empty() && seconds_.front().first <= limit) {
    total_ -= seconds_.front().second;
    seconds_.pop_front();
  }
}

bool Event_Window::Add(int64_t time, int64_t limit) {
  Prune(limit);
  if (time <= limit) {
    return false;
  }
  ++total_;
  if (seconds_.empty() || seconds_.back().first < time) {
    seconds_.emplace_back(time, 1);
    return true;
  }
  // Out of order: its second is found by binary search.
  auto it = std::lower_bound(seconds_.begin(), seconds_.end(), std::make_pair(time, 0L));
  if (it != seconds_.end() && it->first == time) {
    ++it->second;
  } else {
    seconds_.insert(it, std::make_pair(time, 1L));
  }
  return true;
}
