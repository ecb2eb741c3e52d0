// Milliseconds (and seconds) on the monotonic clock, for time-outs and
// deadlines that must not move when the wall clock is set.
#ifndef QOR_UTIL_MONOTONIC_MS_H_
#define QOR_UTIL_MONOTONIC_MS_H_

#include <time.h>

inline long long MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Whole seconds on the same clock, for coarse grace times and save periods.
inline time_t MonotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}

#endif  // QOR_UTIL_MONOTONIC_MS_H_
