// Event_Window: the events of one situation (or one key of it) within its
// period, counted by their entry times. Events are kept as one count per
// second in time order, so that adding one and dropping those that left the
// period cost O(1) amortised, whatever the number of events per period; an
// event arriving out of order within the period is inserted at its second.
// Not locked: its owner holds the lock that guards it.
#ifndef QOR_TABLES_EVENT_WINDOW_H_
#define QOR_TABLES_EVENT_WINDOW_H_

#include <stdint.h>

#include <deque>
#include <utility>

class Event_Window {
 public:
  // Drops the events at or before `limit` (seconds since the epoch).
  void Prune(int64_t limit);
  // Counts one event at `time`. False, nothing counted, when it is at or
  // before `limit`: it is older than the period.
  bool Add(int64_t time, int64_t limit);
  // Events in the window.
  long Count() const { return total_; }
  // Time of the newest event; 0 when there is none.
  int64_t Newest() const { return seconds_.empty() ? 0 : seconds_.back().first; }

 private:
  std::deque<std::pair<int64_t, long>> seconds_;  // (second, events), ascending
  long total_ = 0;
};

#endif  // QOR_TABLES_EVENT_WINDOW_H_
