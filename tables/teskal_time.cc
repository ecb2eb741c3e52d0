#include "tables/teskal_time.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "framework/wex1.h"
#include "util/errno_text.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

constexpr int MAXTIMESTAMPYEARS = 999;  // three digits of years since 1900

}  // namespace

void GenerateTimestamp(time_t time, char* destination) {
  WEX1_Event ev(wex1, __func__);
  // Log threads stamp every row with the current time: within one second
  // the stamp is the same, so each thread keeps the last one it made.
  thread_local time_t cached_time = -1;
  thread_local char cached[TIMESTAMPLENGTH];
  if (time == cached_time) {
    memcpy(destination, cached, TIMESTAMPLENGTH);
    return;
  }
  struct tm local;
  errno = 0;
  if (localtime_r(&time, &local) == nullptr || local.tm_year < 0 ||
      local.tm_year > MAXTIMESTAMPYEARS) {
    const int err = errno;
    char errbuf[128];
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nTime %lld has no time stamp form. errno = %d; %s",
               static_cast<long long>(time), err,
               ErrnoText(err, errbuf, sizeof errbuf));
    memset(destination, '0', TIMESTAMPLENGTH);
    return;
  }
  // Room for any int in every field, so nothing is cut; a well-formed
  // local time always gives exactly TIMESTAMPLENGTH characters.
  char stamp[80];
  const int length = snprintf(stamp, sizeof stamp, TIMESTAMPFORMAT,
                              local.tm_year, local.tm_mon + 1, local.tm_mday,
                              local.tm_hour, local.tm_min, local.tm_sec);
  if (length != TIMESTAMPLENGTH) {
    memset(destination, '0', TIMESTAMPLENGTH);
    return;
  }
  memcpy(destination, stamp, TIMESTAMPLENGTH);
  memcpy(cached, stamp, TIMESTAMPLENGTH);
  cached_time = time;
}
