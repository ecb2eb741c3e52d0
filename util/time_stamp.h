// The 16-character local-time stamp that every time column of a row and
// every time bound of a request holds: years since 1900 (three digits),
// month, day, hour, minute, second, then "000". Its digits run from the most
// significant field to the least, so two stamps compare as text. The agent's
// rows and the runtime's (and qorctl's) time bounds are made here, so they
// agree byte for byte.
#ifndef QOR_UTIL_TIME_STAMP_H_
#define QOR_UTIL_TIME_STAMP_H_

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

// Characters in a time stamp; it is never NUL-terminated in a row.
constexpr int TIME_STAMP_LENGTH = 16;

// Writes the stamp of `t` (taken as local time) into the TIME_STAMP_LENGTH
// characters at `out`, without a terminator. False, with TIME_STAMP_LENGTH
// '0' characters written, when `t` has no local form or its year lies
// outside 1900-2899; errno is then left as localtime_r set it (0 for a
// year out of range). Thread-safe.
inline bool FormatTimeStamp(time_t t, char* out) {
  struct tm local;
  errno = 0;
  if (localtime_r(&t, &local) == nullptr || local.tm_year < 0 ||
      local.tm_year > 999) {
    memset(out, '0', TIME_STAMP_LENGTH);
    return false;
  }
  // Room for any int in every field; a well-formed local time always gives
  // exactly TIME_STAMP_LENGTH characters.
  char stamp[80];
  const int n = snprintf(stamp, sizeof stamp, "%03d%02d%02d%02d%02d%02d000",
                         local.tm_year, local.tm_mon + 1, local.tm_mday,
                         local.tm_hour, local.tm_min, local.tm_sec);
  if (n != TIME_STAMP_LENGTH) {
    memset(out, '0', TIME_STAMP_LENGTH);
    return false;
  }
  memcpy(out, stamp, TIME_STAMP_LENGTH);
  return true;
}

// Reads stamps back into seconds since the epoch, as a stream of rows
// brings them: mktime runs once per hour seen, the minutes and seconds are
// added to it. Not thread-safe: its owner serialises the calls.
class Stamp_Seconds {
 public:
  // The seconds of the stamp at `stamp` (TIME_STAMP_LENGTH characters, local
  // time), or -1 when its first 13 characters are not digits or the hour has
  // no local time.
  int64_t Of(const char* stamp) {
    for (int i = 0; i < 13; ++i) {
      if (stamp[i] < '0' || stamp[i] > '9') {
        return -1;
      }
    }
    const auto two = [stamp](int at) {
      return (stamp[at] - '0') * 10 + (stamp[at + 1] - '0');
    };
    if (hour_start_ < 0 ||
        memcmp(hour_stamp_, stamp, sizeof hour_stamp_) != 0) {
      struct tm local;
      memset(&local, 0, sizeof local);
      local.tm_year = (stamp[0] - '0') * 100 + two(1);
      local.tm_mon = two(3) - 1;
      local.tm_mday = two(5);
      local.tm_hour = two(7);
      local.tm_isdst = -1;
      const time_t start = mktime(&local);
      if (start == static_cast<time_t>(-1)) {
        return -1;
      }
      memcpy(hour_stamp_, stamp, sizeof hour_stamp_);
      hour_start_ = start;
    }
    return hour_start_ + two(9) * 60 + two(11);
  }

 private:
  char hour_stamp_[9] = {};  // the stamp's hour, "CYYMMDDHH"
  int64_t hour_start_ = -1;  // its first second; -1 before the first stamp
};

#endif  // QOR_UTIL_TIME_STAMP_H_
