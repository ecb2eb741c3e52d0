// Timestamp: one event time in a situation's ring of recent event times.
#include "tables/timestamp.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "framework/runtime/trace.h"
#include "tables/teskal_time.h"
#include "util/errno_text.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char ConversionErrorMsg[] =
    "\nError converting timestamp %s to UNIX time format. errno = %d; %s, tsEventTime %lld";
const char NotHeadMsg[] = "\nError: Function not invoked from head-of-chain";
const char PassedMsg[] =
    "\ntimestamp passed: sec %s, min %s, hour %s, mday %s, mon %s, year %s, century %s \n";

// One field of a time stamp as its own NUL-terminated text.
struct StampField {
  StampField(const char* stamp, int offset, int length) {
    memcpy(text, stamp + offset, length);
    text[length] = '\0';
  }
  char text[4];
};

}  // namespace

Timestamp::Timestamp(Timestamp** head, const char* text)
    : tsEventTime(-1), tsNext(nullptr), tsPrev(nullptr), tsHeadOfChain(false) {
  WEX1_Event ev(wex1, __func__);
  errno = 0;
  tsAddToChain(nullptr);

  // A shorter text reads as zeros past its end instead of running over it.
  char stamp[TIMESTAMPLENGTH + 1] = {};
  if (text != nullptr) {
    memcpy(stamp, text, strnlen(text, TIMESTAMPLENGTH));
  }
  const StampField century(stamp, 0, 1), year(stamp, 1, 2), mon(stamp, 3, 2),
      mday(stamp, 5, 2), hour(stamp, 7, 2), min(stamp, 9, 2), sec(stamp, 11, 2),
      years(stamp, 0, 3);
  WEX1_TRACE(wex1, WEX1_DETAIL, PassedMsg, sec.text, min.text, hour.text,
             mday.text, mon.text, year.text, century.text);

  // No range checks: mktime normalises, e.g. month 13 to January next year.
  struct tm local;
  memset(&local, 0, sizeof local);
  local.tm_sec = atoi(sec.text);
  if (errno == 0) {
    local.tm_min = atoi(min.text);
  }
  if (errno == 0) {
    local.tm_hour = atoi(hour.text);
  }
  if (errno == 0) {
    local.tm_mday = atoi(mday.text);
  }
  if (errno == 0) {
    local.tm_mon = atoi(mon.text) - 1;
  }
  if (errno == 0) {
    local.tm_year = atoi(years.text);
    local.tm_isdst = -1;
    tsEventTime = mktime(&local);
    if (tsEventTime >= 0) {
      tsAddToChain(head != nullptr ? *head : nullptr);
      if (head != nullptr) {
        *head = this;
      }
    }
  }
  if (errno != 0 || tsEventTime < 0) {
    const int err = errno;
    char errbuf[128];
    WEX1_TRACE(wex1, WEX1_ERROR, ConversionErrorMsg, stamp, err,
               ErrnoText(err, errbuf, sizeof errbuf),
               static_cast<long long>(tsEventTime));
  }
}

Timestamp::Timestamp(Timestamp** head, time_t time)
    : tsEventTime(time),
      tsNext(nullptr),
      tsPrev(nullptr),
      tsHeadOfChain(false) {
  WEX1_Event ev(wex1, __func__);
  tsAddToChain(head != nullptr ? *head : nullptr);
  if (head != nullptr) {
    *head = this;
  }
}

Timestamp::~Timestamp() {
  WEX1_Event ev(wex1, __func__);
  // Iterative rather than each destructor deleting its successor, so that a
  // long ring cannot exhaust the stack. Each element is made to point at
  // itself before it is deleted, which ends its own walk at once.
  Timestamp* p = tsNext;
  while (p != nullptr && p != this && !p->tsHeadOfChain) {
    Timestamp* const next = p->tsNext;
    p->tsNext = p;
    delete p;
    p = next;
  }
}

void Timestamp::tsAddToChain(Timestamp* head) {
  WEX1_Event ev(wex1, __func__);
  if (head == nullptr) {
    tsNext = this;
    tsPrev = this;
  } else {
    Timestamp* const oldest = head->tsPrev;
    tsNext = head;
    tsPrev = oldest;
    head->tsPrev = this;
    oldest->tsNext = this;
    head->tsHeadOfChain = false;
  }
  tsHeadOfChain = true;
}

int Timestamp::tsCountEvents(long period) {
  WEX1_Event ev(wex1, __func__);
  if (!tsHeadOfChain) {
    WEX1_TRACE(wex1, WEX1_ERROR, NotHeadMsg);
    return ev.Result(-1);
  }
  int64_t limit = static_cast<int64_t>(time(nullptr)) - period;
  if (limit < 0) {
    limit = 0;
  }

  // The ring is in insertion order, so the first element outside the period
  // ends the count and everything behind it goes.
  int count = 0;
  Timestamp* stop = nullptr;
  Timestamp* p = this;
  do {
    if (p->tsEventTime <= limit) {
      stop = p;
      break;
    }
    ++count;
    p = p->tsNext;
  } while (p != this);
  if (stop == nullptr) {
    return ev.Result(count);
  }

  if (stop == this) {
    stop = tsNext;
  }
  tsPrev = stop->tsPrev;
  stop->tsPrev->tsNext = this;
  if (stop != this) {
    delete stop;
  }
  return ev.Result(count);
}
