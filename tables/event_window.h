// Event_Window: the events of one situation (or one key of it) within its
// period, counted by their entry times. Events are kept as one count per
// second in time order, in a ring that grows and shrinks by halves, so that
// adding one and dropping those that left the period cost O(1) amortised,
// whatever the number of events per period; an event arriving out of order
// within the period is inserted at its second. A window whose events fall in
// one second holds it in place: 32 bytes and no heap block, as a key seen
// once costs. Times are seconds since the epoch from 1970 to 2106.
// Not locked: its owner holds the lock that guards it.
#ifndef QOR_TABLES_EVENT_WINDOW_H_
#define QOR_TABLES_EVENT_WINDOW_H_

#include <stdint.h>

class Event_Window {
 public:
  Event_Window() { one_ = Second{0, 0}; }
  ~Event_Window() { Release(); }
  Event_Window(Event_Window&& other) noexcept { Take(&other); }
  Event_Window& operator=(Event_Window&& other) noexcept {
    if (this != &other) {
      Release();
      Take(&other);
    }
    return *this;
  }
  Event_Window(const Event_Window&) = delete;
  Event_Window& operator=(const Event_Window&) = delete;

  // Drops the events at or before `limit` (seconds since the epoch).
  void Prune(int64_t limit);
  // Counts one event at `time`. False, nothing counted, when it is at or
  // before `limit` (older than the period) or outside the times kept.
  bool Add(int64_t time, int64_t limit);
  // Events in the window.
  long Count() const { return static_cast<long>(total_); }
  // Time of the newest event; 0 when there is none.
  int64_t Newest() const { return size_ == 0 ? 0 : At(size_ - 1).time; }

 private:
  struct Second {
    uint32_t time;
    uint32_t events;
  };
  // The i-th second from the oldest.
  Second& At(uint32_t i) {
    return cap_ == 1 ? one_ : ring_[(head_ + i) & (cap_ - 1)];
  }
  const Second& At(uint32_t i) const {
    return cap_ == 1 ? one_ : ring_[(head_ + i) & (cap_ - 1)];
  }
  // Moves the seconds to a ring of `cap` places (a power of two >= size_).
  void Resize(uint32_t cap);
  void Release() {
    if (cap_ > 1) {
      delete[] ring_;
    }
  }
  void Take(Event_Window* other) {
    if (other->cap_ > 1) {
      ring_ = other->ring_;
    } else {
      one_ = other->one_;
    }
    head_ = other->head_;
    size_ = other->size_;
    cap_ = other->cap_;
    total_ = other->total_;
    other->cap_ = 1;
    other->head_ = other->size_ = 0;
    other->total_ = 0;
  }

  union {
    Second one_;    // cap_ == 1
    Second* ring_;  // cap_ > 1
  };
  uint32_t head_ = 0;  // place of the oldest second in ring_
  uint32_t size_ = 0;  // seconds held, ascending
  uint32_t cap_ = 1;
  int64_t total_ = 0;
};

#endif  // QOR_TABLES_EVENT_WINDOW_H_
