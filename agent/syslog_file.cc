#include "agent/syslog_file.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>

#include <new>

#include "agent/valid_log.h"
#include "framework/wex1.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

// Time conversion.
const char MONTHS[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
constexpr int MONTHCHARS = 3;
const char YYMM[] = "%03d%02d0DHHMMSS000";
// Years since 1900 that fit the three digits of a time stamp.
constexpr int MAXSTAMPYEAR = 999;

// Fixed positions of the line's time stamp; the host name begins after it.
constexpr int DAYPOS = 4;
constexpr int HOURPOS = 7;
constexpr int MINUTEPOS = 10;
constexpr int SECONDPOS = 13;
constexpr int HOSTPOS = 16;
// Positions in the time stamp: year, month, day, hour, minute, second.
constexpr int STAMPMONTH = 3;
constexpr int STAMPDAY = 5;
constexpr int STAMPHOUR = 7;
constexpr int STAMPMINUTE = 9;
constexpr int STAMPSECOND = 11;
constexpr int YEARDIGITS = 3;
constexpr int MONTHDAYCHARS = 4;

// Source extraction.
const char LASTMESSAGEREPEATED[] = "last message repeated ";
constexpr size_t LASTMESSAGEREPEATEDLENGTH = sizeof LASTMESSAGEREPEATED - 1;
constexpr char SOURCETERMINATOR = ':';

// Reports return at most this many characters of an entry.
constexpr int64_t MAXENTRYLENGTH = 255;

const char BufferMsg[] = "\nRead buffer of size %ld allocated for file %s.";

bool IsSpace(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

// The three year digits of a time stamp; non-digits count as 0.
int StampYear(const char* stamp) {
  int year = 0;
  for (int i = 0; i < YEARDIGITS; ++i) {
    year = year * 10 +
           (isdigit(static_cast<unsigned char>(stamp[i])) ? stamp[i] - '0' : 0);
  }
  return year;
}

int ClampYear(int year) {
  return year < 0 ? 0 : (year > MAXSTAMPYEAR ? MAXSTAMPYEAR : year);
}

}  // namespace

Syslog_File::Syslog_File(const Valid_Log& log, Log_File* anchor)
    : Log_File(log, anchor), FixedNow(0) {
  WEX1_Event ev(wex1, __func__);
  if (WEX1_On(wex1, WEX1_FLOW)) {
    PrintSelf();
  }
  lfStartThread();
}

Syslog_File::~Syslog_File() {
  WEX1_Event ev(wex1, __func__);
  lfStopThread();
}

void Syslog_File::lfProcessLogData() {
  WEX1_Event ev(wex1, __func__);
  lfFOpenLogAndSeek();
  if (LogFileP != nullptr) {
    struct timeval interval;
    interval.tv_sec = 1;
    interval.tv_usec = 0;
    lfWaitForEventLoop(interval);
    lfFCloseLog();
  }
}

time_t Syslog_File::slNow() const {
  const time_t fixed = FixedNow;
  return fixed != 0 ? fixed : time(nullptr);
}

long Syslog_File::lfFormatEntryAsRow(char* entry, void* row_arg, void* report) {
  WEX1_Event ev(wex1, __func__);
  tvx_vxlogent_data_t* const row = static_cast<tvx_vxlogent_data_t*>(row_arg);
  memset(row, ' ', sizeof *row);
  char* pos = slFormatEntryTime(row->entrytime, entry, report);
  if (pos == nullptr) {
    return ev.Result(-1);
  }
  pos = slExtractSystem(row->entrysys, pos, sizeof row->entrysys);
  pos = slExtractSource(row->entrysrc, pos, sizeof row->entrysrc);
  // One character more than the column, to tell a newline just past it.
  size_t length = strnlen(pos, sizeof row->entrydesc + 1);
  if (length > 0 && pos[length - 1] == '\n') {
    --length;
  }
  memcpy(row->entrydesc, pos,
         length < sizeof row->entrydesc ? length : sizeof row->entrydesc);
  lfFillCommonColumns(row);
  return ev.Result(0);
}

char* Syslog_File::slFormatEntryTime(char* dest, char* entry, void* report) {
  WEX1_Event ev(wex1, __func__);
  // The fixed positions below must lie inside the entry.
  if (entry == nullptr || strnlen(entry, HOSTPOS) < HOSTPOS) {
    return nullptr;
  }
  // Only at a month's own offset: "anF" is no month.
  int month = 0;
  for (int k = 0; MONTHS[k] != '\0'; k += MONTHCHARS) {
    if (memcmp(entry, MONTHS + k, MONTHCHARS) == 0) {
      month = k / MONTHCHARS + 1;
      break;
    }
  }
  if (month == 0) {
    return nullptr;
  }
  int year = 0;
  if (report == nullptr) {
    // The line has no year. One whose month lies after the current month
    // was written last year (a December line read in January).
    // The current year and month change at most once a second: each
    // thread keeps those of the last second it converted.
    thread_local time_t cached_now = -1;
    thread_local int cached_year = 0;
    thread_local int cached_month = 0;
    const time_t now = slNow();
    if (now != cached_now) {
      struct tm local;
      if (localtime_r(&now, &local) != nullptr) {
        cached_year = local.tm_year;
        cached_month = local.tm_mon + 1;
        cached_now = now;
      }
    }
    if (cached_now == now) {
      year = cached_year;
      if (month > cached_month) {
        --year;
      }
    }
  }
  // Room for any int in both fields; with the year clamped to three digits
  // and a month of 1-12 the text is exactly TIMESTAMPLENGTH characters.
  char stamp[48];
  snprintf(stamp, sizeof stamp, YYMM, ClampYear(year), month);
  if (entry[DAYPOS] == ' ') {
    stamp[STAMPDAY + 1] = entry[DAYPOS + 1];
  } else {
    memcpy(stamp + STAMPDAY, entry + DAYPOS, 2);
  }
  memcpy(stamp + STAMPHOUR, entry + HOURPOS, 2);
  memcpy(stamp + STAMPMINUTE, entry + MINUTEPOS, 2);
  memcpy(stamp + STAMPSECOND, entry + SECONDPOS, 2);
  if (report != nullptr) {
    // Read newest first, an entry takes the year of the one after it, and
    // the year before when its month and day lie after that one's.
    SyslogBufferInfo* const info = static_cast<SyslogBufferInfo*>(report);
    char* const last = info->lastEntryTime;
    if (memcmp(stamp + STAMPMONTH, last + STAMPMONTH, MONTHDAYCHARS) > 0) {
      char digits[16];
      snprintf(digits, sizeof digits, "%03d", ClampYear(StampYear(last) - 1));
      memcpy(stamp, digits, YEARDIGITS);
    } else {
      memcpy(stamp, last, YEARDIGITS);
    }
    memcpy(last, stamp, TIMESTAMPLENGTH);
  }
  memcpy(dest, stamp, TIMESTAMPLENGTH);
  return entry + HOSTPOS;
}

char* Syslog_File::slExtractSystem(char* dest, char* pos, unsigned width) {
  WEX1_Event ev(wex1, __func__);
  unsigned copied = 0;
  for (; *pos != '\0' && !IsSpace(*pos); ++pos) {
    if (copied < width) {
      dest[copied++] = *pos;
    }
  }
  if (*pos != '\0') {
    ++pos;
  }
  return pos;
}

char* Syslog_File::slExtractSource(char* dest, char* pos, unsigned width) {
  WEX1_Event ev(wex1, __func__);
  if (strncmp(pos, LASTMESSAGEREPEATED, LASTMESSAGEREPEATEDLENGTH) == 0) {
    return pos;
  }
  unsigned copied = 0;
  for (; *pos != '\0' && *pos != SOURCETERMINATOR && !IsSpace(*pos); ++pos) {
    if (copied < width) {
      dest[copied++] = *pos;
    }
  }
  if (*pos == SOURCETERMINATOR) {
    // The colon and the blank after it.
    ++pos;
    if (*pos != '\0') {
      ++pos;
    }
  } else if (*pos != '\0') {
    ++pos;
  }
  return pos;
}

void* Syslog_File::lfStartReportRequest(void* /*thresholds*/) {
  WEX1_Event ev(wex1, __func__);
  if (OptimumBlockSize == 0 && lfDetermineOptimumBlockSize() != 0) {
    return nullptr;
  }
  // Never changes once set, so every fill of this report fits the buffer.
  const uint64_t block = OptimumBlockSize;
  SyslogBufferInfo* const info = lfNewReportHandle<SyslogBufferInfo>(block);
  if (info == nullptr) {
    return nullptr;
  }
  void* handle = info;
  if (lfOpenLogForReport(info) < 0) {
    slDeallocateReportBuffers(&handle);
    return nullptr;
  }
  info->bytesInBuffer = 0;
  info->buffer[block] = '\0';
  GenerateTimestamp(slNow(), info->lastEntryTime);
  WEX1_TRACE(wex1, WEX1_FLOW, BufferMsg, static_cast<long>(block),
             Name(LogFileName));
  return handle;
}

char* Syslog_File::lfTakePrecedingEntry(_LogBufferInfo* info) {
  return lfTakePrecedingLine(info, MAXENTRYLENGTH);
}

void Syslog_File::lfEndReportRequest(void** report) {
  WEX1_Event ev(wex1, __func__);
  lfReleaseReport<SyslogBufferInfo>(report, true);
}

void Syslog_File::slDeallocateReportBuffers(void** report) {
  WEX1_Event ev(wex1, __func__);
  lfReleaseReport<SyslogBufferInfo>(report, false);
}
