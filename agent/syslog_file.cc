#include "agent/syslog_file.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>

#include <new>

#include "agent/syslog_line.h"
#include "agent/tvxmain.h"
#include "agent/valid_log.h"
#include "framework/runtime/trace.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

// Reports read at most this many characters of a line, as monitoring does:
// the whole line goes to the row's "entry" text.
constexpr int64_t MAXENTRYLENGTH = MAXRECSIZE - 2;

const char BufferMsg[] = "\nRead buffer of size %ld allocated for file %s.";

// The two digits at `p` as a number; non-digits count as 0.
int StampField(const char* p) {
  const auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : 0; };
  return digit(p[0]) * 10 + digit(p[1]);
}

// The local broken-down time of a time stamp (year, month, day and time of
// day; nothing else is set).
struct tm StampTime(const char* stamp) {
  struct tm t = {};
  t.tm_year = (stamp[0] >= '0' && stamp[0] <= '9' ? stamp[0] - '0' : 0) * 100 +
              StampField(stamp + 1);
  t.tm_mon = StampField(stamp + 3) - 1;
  t.tm_mday = StampField(stamp + 5);
  t.tm_hour = StampField(stamp + 7);
  t.tm_min = StampField(stamp + 9);
  t.tm_sec = StampField(stamp + 11);
  return t;
}

// The local time of `now`. It changes at most once a second: each thread
// keeps that of the last second it converted.
struct tm LocalTime(time_t now) {
  thread_local time_t cached_now = -1;
  thread_local struct tm cached_local = {};
  if (now != cached_now) {
    struct tm local = {};
    if (localtime_r(&now, &local) == nullptr) {
      return local;
    }
    cached_local = local;
    cached_now = now;
  }
  return cached_local;
}

// Whether the `n` bytes at `a` and `b` are the same; a year-less stamp and
// its blank (16 bytes) are compared without a call.
bool SameText(const char* a, const char* b, size_t n) {
  if (n == 2 * sizeof(uint64_t)) {
    uint64_t a0;
    uint64_t a1;
    uint64_t b0;
    uint64_t b1;
    memcpy(&a0, a, sizeof a0);
    memcpy(&a1, a + sizeof a0, sizeof a1);
    memcpy(&b0, b, sizeof b0);
    memcpy(&b1, b + sizeof b0, sizeof b1);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  return memcmp(a, b, n) == 0;
}

// The time stamp of the line formatted last while monitoring, on this
// thread. A line that begins with the same text (the stamp and the blank
// after it), dated in the same second, takes the same ENTRYTIME: a year-less
// date depends on nothing but its text and the local time of that second,
// and a zoned one on its text alone. Lines come in bursts within a second,
// so most lines of a busy log take their ENTRYTIME from here.
struct Monitor_Stamp {
  time_t now = -1;    // the second the stamp was dated in
  size_t length = 0;  // 0: none
  char text[SyslogBufferInfo::STAMPTEXTBYTES];
  char entrytime[TIMESTAMPLENGTH];
};

}  // namespace

Syslog_File::Syslog_File(const Valid_Log& log, Log_File* anchor)
    : Log_File(log, anchor),
      FixedNow(0),
      RowSystemName(gSystemName),
      RowSystemNameLength(gSystemNameLength) {
  WEX1_Event ev(wex1, __func__);
  memset(&LogRow, ' ', sizeof LogRow);
  lfFillLogColumns(&LogRow);
  lfStartWorker();
}

Syslog_File::~Syslog_File() {
  WEX1_Event ev(wex1, __func__);
  lfStopThread();
}

time_t Syslog_File::slNow() const {
  const time_t fixed = FixedNow;
  return fixed != 0 ? fixed : time(nullptr);
}

struct tm Syslog_File::slReference(void* report) const {
  if (report != nullptr) {
    return StampTime(static_cast<SyslogBufferInfo*>(report)->lastEntryTime);
  }
  return LocalTime(slNow());
}

long Syslog_File::lfFormatEntryAsRow(char* entry, void* row_arg, void* report) {
  WEX1_Event ev(wex1, __func__);
  tvx_vxlogent_data_t* const row = static_cast<tvx_vxlogent_data_t*>(row_arg);
  const size_t length = entry != nullptr ? strlen(entry) : 0;
  if (report == nullptr) {
    return ev.Result(slFormatMonitoredEntry(entry, length, row));
  }
  SyslogBufferInfo* const info = static_cast<SyslogBufferInfo*>(report);
  if (info->lastStampLength > 0 && length >= info->lastStampLength &&
      memcmp(entry, info->lastStampText, info->lastStampLength) == 0) {
    // Stamped as the entry before it, against whose own stamp a year-less
    // date is measured: the same stamp.
    FormatStampedSyslogLine(entry, length, info->lastStampLength,
                            info->lastEntryTime, row);
    lfFillCommonColumns(row);
    return ev.Result(0);
  }
  size_t stamp_length = 0;
  if (FormatSyslogLine(entry, length, slReference(report), row,
                       &stamp_length) != 0) {
    return ev.Result(-1);
  }
  memcpy(info->lastEntryTime, row->entrytime, TIMESTAMPLENGTH);
  const bool keep = stamp_length <= sizeof info->lastStampText;
  info->lastStampLength = keep ? stamp_length : 0;
  if (keep) {
    memcpy(info->lastStampText, entry, stamp_length);
  }
  lfFillCommonColumns(row);
  return ev.Result(0);
}

long Syslog_File::slFormatMonitoredEntry(const char* entry, size_t length,
                                         tvx_vxlogent_data_t* row) {
  thread_local Monitor_Stamp last;
  // One clock read dates the line and stamps the row (FixedNow, a test
  // seam, stands in for the former only).
  const time_t clock = time(nullptr);
  const time_t fixed = FixedNow;
  const time_t now = fixed != 0 ? fixed : clock;
  if (last.length > 0 && last.now == now && length >= last.length &&
      SameText(entry, last.text, last.length)) {
    if (gSystemName == RowSystemName &&
        gSystemNameLength == RowSystemNameLength) {
      // What the blank row and lfFillCommonColumns would make, but the
      // columns of the log are copied as they were made once.
      memcpy(row, &LogRow, sizeof *row);
      FillStampedSyslogLine(entry, length, last.length, last.entrytime, row);
      GenerateTimestamp(clock, row->timestamp);
      return 0;
    }
    FormatStampedSyslogLine(entry, length, last.length, last.entrytime, row);
    lfFillCommonColumns(row);
    return 0;
  }
  size_t stamp_length = 0;
  if (FormatSyslogLine(entry, length, LocalTime(now), row, &stamp_length) !=
      0) {
    return -1;
  }
  const bool keep = stamp_length <= sizeof last.text;
  last.length = keep ? stamp_length : 0;
  if (keep) {
    last.now = now;
    memcpy(last.text, entry, stamp_length);
    memcpy(last.entrytime, row->entrytime, TIMESTAMPLENGTH);
  }
  lfFillCommonColumns(row);
  return 0;
}

char* Syslog_File::slFormatEntryTime(char* dest, char* entry, void* report) {
  WEX1_Event ev(wex1, __func__);
  if (entry == nullptr) {
    return nullptr;
  }
  const char* const pos =
      SyslogLineTime(entry, entry + strlen(entry), slReference(report), dest);
  if (pos == nullptr) {
    return nullptr;
  }
  if (report != nullptr) {
    SyslogBufferInfo* const info = static_cast<SyslogBufferInfo*>(report);
    memcpy(info->lastEntryTime, dest, TIMESTAMPLENGTH);
    info->lastStampLength = 0;
  }
  return entry + (pos - entry);
}

char* Syslog_File::slExtractSystem(char* dest, char* pos, unsigned width) {
  WEX1_Event ev(wex1, __func__);
  return pos + (SyslogLineHost(pos, pos + strlen(pos), dest, width) - pos);
}

char* Syslog_File::slExtractSource(char* dest, char* pos, unsigned width) {
  WEX1_Event ev(wex1, __func__);
  return pos + (SyslogLineSource(pos, pos + strlen(pos), dest, width) - pos);
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
  info->lastStampLength = 0;
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
