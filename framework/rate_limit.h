// Once-a-minute reporting of a repeated failure: the first occurrence is
// reported at once, later ones at most once per interval, each report
// carrying how many were not reported since the last. Not locked: the owner
// guards it with the lock of the state it belongs to.
#ifndef QOR_FRAMEWORK_RATE_LIMIT_H_
#define QOR_FRAMEWORK_RATE_LIMIT_H_

#include <stdint.h>
#include <time.h>

class Rate_Limit {
 public:
  explicit Rate_Limit(long interval_seconds = 60) : interval_(interval_seconds) {}

  // Counts one occurrence; true when it is to be reported now, with
  // *suppressed set to the occurrences held back since the last report.
  bool Due(uint64_t* suppressed) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (reported_ && now.tv_sec - last_ < interval_) {
      ++held_;
      return false;
    }
    reported_ = true;
    last_ = now.tv_sec;
    *suppressed = held_;
    held_ = 0;
    return true;
  }

 private:
  long interval_;
  bool reported_ = false;
  time_t last_ = 0;
  uint64_t held_ = 0;
};

#endif  // QOR_FRAMEWORK_RATE_LIMIT_H_
