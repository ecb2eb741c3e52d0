#include "util/hov_timestamp.h"

#include <stdio.h>
#include <time.h>

void HOV_FormatTimestamp(long t, char out[17]) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm;
  localtime_r(&tt, &tm);
  const auto u = [](int v, unsigned mod) {
    return static_cast<unsigned>(v) % mod;
  };
  snprintf(out, 17, "%03u%02u%02u%02u%02u%02u000", u(tm.tm_year, 1000),
           u(tm.tm_mon + 1, 100), u(tm.tm_mday, 100), u(tm.tm_hour, 100),
           u(tm.tm_min, 100), u(tm.tm_sec, 100));
}
