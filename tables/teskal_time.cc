#include "tables/teskal_time.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "framework/wex1.h"
#include "util/errno_text.h"
#include "util/time_stamp.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

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
  if (!FormatTimeStamp(time, destination)) {
    const int err = errno;
    char errbuf[128];
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nTime %lld has no time stamp form. errno = %d; %s",
               static_cast<long long>(time), err,
               ErrnoText(err, errbuf, sizeof errbuf));
    return;
  }
  memcpy(cached, destination, TIMESTAMPLENGTH);
  cached_time = time;
}
