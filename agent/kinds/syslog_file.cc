// Syslog_File: the log kind of syslog text files (type 'S').
#include "agent/kinds/syslog_file.h"

#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>

#include <new>

#include "agent/config/valid_log.h"
#include "agent/kinds/node_names.h"
#include "agent/kinds/syslog_line.h"
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

Year_Rule Syslog_File::slYearRule(const void* report) {
  return report != nullptr &&
                 static_cast<const SyslogBufferInfo*>(report)->entryRead
             ? Year_Rule::kBeforeNewerEntry
             : Year_Rule::kNotAfterNow;
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
  if (FormatSyslogLine(entry, length, slReference(report), row, &stamp_length,
                       slYearRule(report)) != 0) {
    return ev.Result(-1);
  }
  memcpy(info->lastEntryTime, row->entrytime, TIMESTAMPLENGTH);
  info->entryRead = true;
  const bool keep = stamp_length <= sizeof info->lastStampText;
  info->lastStampLength = keep ? stamp_length : 0;
  if (keep) {
    memcpy(info->lastStampText, entry, stamp_length);
  }
  lfFillCommonColumns(row);
  return ev.Result(0);
}

long Syslog_File::lfFormatMonitoredEntry(char* entry, size_t length,
                                         tvx_vxlogent_data_t* row) {
  // The entry and exit of lfFormatEntryAsRow, as a caller that knows the
  // length stands for it.
  WEX1_Event ev(wex1, "lfFormatEntryAsRow");
  return ev.Result(slFormatMonitoredEntry(entry, length, row));
}

long Syslog_File::slFormatMonitoredEntry(const char* entry, size_t length,
                                         tvx_vxlogent_data_t* row) {
  // Each worker keeps the stamp of the line before (what it depends on:
  // its text, and for a year-less one the local time of the clock's
  // second, which is the memo's reference).
  thread_local Syslog_Stamp_Memo last;
  // One clock read dates the line and stamps the row (FixedNow, a test
  // seam, stands in for the former only).
  const time_t clock = time(nullptr);
  const time_t fixed = FixedNow;
  const time_t now = fixed != 0 ? fixed : clock;
  // What a blank row and lfFillCommonColumns make, the columns of the log
  // copied as they were made once while the system name stays.
  const bool log_row =
      gSystemName == RowSystemName && gSystemNameLength == RowSystemNameLength;
  const bool own_row = row == &EntryRow;
  if (log_row && own_row && EntryRowFromLogRow) {
    // The worker's row still holds the columns of the log (its situations
    // only read it): only the columns of the entry before are blanked.
    memset(row->entrytime, ' ',
           offsetof(tvx_vxlogent_data_t, freqthresh) -
               offsetof(tvx_vxlogent_data_t, entrytime));
    memset(row->timestamp, ' ', sizeof row->timestamp);
  } else if (log_row) {
    memcpy(row, &LogRow, sizeof *row);
  } else {
    memset(row, ' ', sizeof *row);
  }
  if (own_row) {
    EntryRowFromLogRow = log_row;
  }
  size_t stamp_length = 0;
  if (entry != nullptr &&
      last.Repeated(entry, length, now, &stamp_length, row->entrytime)) {
    FillStampedSyslogLine(entry, length, stamp_length, row->entrytime, row);
  } else if (FillSyslogLine(entry, length, LocalTime(now), row,
                            &stamp_length) == 0) {
    last.Keep(entry, stamp_length, now, row->entrytime);
  } else {
    memset(row, ' ', sizeof *row);
    if (own_row) {
      EntryRowFromLogRow = false;
    }
    return -1;
  }
  if (log_row) {
    GenerateTimestamp(clock, row->timestamp);
  } else {
    lfFillCommonColumns(row);
  }
  return 0;
}

char* Syslog_File::slFormatEntryTime(char* dest, char* entry, void* report) {
  WEX1_Event ev(wex1, __func__);
  if (entry == nullptr) {
    return nullptr;
  }
  const char* const pos =
      SyslogLineTime(entry, entry + strlen(entry), slReference(report), dest,
                     slYearRule(report));
  if (pos == nullptr) {
    return nullptr;
  }
  if (report != nullptr) {
    SyslogBufferInfo* const info = static_cast<SyslogBufferInfo*>(report);
    memcpy(info->lastEntryTime, dest, TIMESTAMPLENGTH);
    info->entryRead = true;
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
