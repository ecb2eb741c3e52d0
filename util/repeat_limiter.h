// Bounds how often one repeated message is traced: the first time, then at
// most once per interval, saying how many were held back in between. Hostile
// input (a line per second that does not format, a read error per poll)
// must not be able to fill the disk that holds the trace. Not locked: the
// owner guards it with the lock of the state it belongs to. The one rate
// limiter of the project: traces, dropped events and failing outputs alike.
#ifndef QOR_UTIL_REPEAT_LIMITER_H_
#define QOR_UTIL_REPEAT_LIMITER_H_

#include <stdint.h>

#include "util/monotonic_ms.h"

class Repeat_Limiter {
 public:
  explicit Repeat_Limiter(long interval_seconds = 60) : interval_(interval_seconds) {}

  // Seconds of a clock that never goes back.
  static long long Now() { return MonotonicMs() / 1000; }
  // True when a message may be traced at `now`.
  bool Due(long long now) const { return !traced_ || now - last_ >= interval_; }
  // A message was traced at `now`: returns how many were held back since
  // the one before it, and starts counting again.
  unsigned long Traced(long long now) {
    traced_ = true;
    last_ = now;
    const unsigned long held = held_;
    held_ = 0;
    return held;
  }
  // `n` more messages were held back.
  void Held(unsigned long n) { held_ += n; }
  // Counts one occurrence now; true when it is to be reported, with
  // *suppressed set to the occurrences held back since the last report.
  bool Due(uint64_t* suppressed) {
    const long long now = Now();
    if (!Due(now)) {
      Held(1);
      return false;
    }
    *suppressed = Traced(now);
    return true;
  }

 private:
  long interval_;
  bool traced_ = false;
  long long last_ = 0;
  unsigned long held_ = 0;
};

#endif  // QOR_UTIL_REPEAT_LIMITER_H_
