// The 16-character local-time stamp that every time column of a row and
// every time bound of a request holds: years since 1900 (three digits),
// month, day, hour, minute, second, then "000". Its digits run from the most
// significant field to the least, so two stamps compare as text. The agent's
// rows and the runtime's (and qorctl's) time bounds are made here, so they
// agree byte for byte.
#ifndef QOR_UTIL_TIME_STAMP_H_
#define QOR_UTIL_TIME_STAMP_H_

#include <errno.h>
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

#endif  // QOR_UTIL_TIME_STAMP_H_
