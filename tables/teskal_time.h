// Time stamps: the 16-character local-time text used in every row column
// that holds a time. Its digits run from the most significant field to the
// least, so two stamps compare chronologically as text.
#ifndef QOR_TABLES_TESKAL_TIME_H_
#define QOR_TABLES_TESKAL_TIME_H_

#include <time.h>

#include "util/time_stamp.h"

// Characters in a time stamp; it is never NUL-terminated in a row.
constexpr int TIMESTAMPLENGTH = TIME_STAMP_LENGTH;

// Writes the time stamp of `time` (FormatTimeStamp) into the
// TIMESTAMPLENGTH characters at `destination`, without a terminator. A time
// that has no local form or whose year lies outside 1900-2899 (three digits of
// years since 1900) is written as TIMESTAMPLENGTH '0' characters and traced at
// the error level. Thread-safe.
void GenerateTimestamp(time_t time, char* destination);

// The sign of strncmp(a, b, TIMESTAMPLENGTH), the first differing character
// found 16 at a time (both are read whole): rows are compared with their
// report window's bounds this way.
int CompareTimestamp(const char* a, const char* b);

#endif  // QOR_TABLES_TESKAL_TIME_H_
