#include "agent/syslog_file.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>

#include <new>

#include "agent/syslog_line.h"
#include "agent/valid_log.h"
#include "framework/wex1.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

// Reports return at most this many characters of an entry.
constexpr int64_t MAXENTRYLENGTH = 255;

const char BufferMsg[] = "\nRead buffer of size %ld allocated for file %s.";

const char* Name(const char* name) {
  return name != nullptr ? name : "";
}

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

struct tm Syslog_File::slReference(void* report) const {
  if (report != nullptr) {
    return StampTime(static_cast<SyslogBufferInfo*>(report)->lastEntryTime);
  }
  // The local time changes at most once a second: each thread keeps that
  // of the last second it converted.
  thread_local time_t cached_now = -1;
  thread_local struct tm cached_local = {};
  const time_t now = slNow();
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

long Syslog_File::lfFormatEntryAsRow(char* entry, void* row_arg, void* report) {
  WEX1_Event ev(wex1, __func__);
  tvx_vxlogent_data_t* const row = static_cast<tvx_vxlogent_data_t*>(row_arg);
  if (FormatSyslogLine(entry, entry != nullptr ? strlen(entry) : 0,
                       slReference(report), row) != 0) {
    return ev.Result(-1);
  }
  if (report != nullptr) {
    memcpy(static_cast<SyslogBufferInfo*>(report)->lastEntryTime,
           row->entrytime, TIMESTAMPLENGTH);
  }
  lfFillCommonColumns(row);
  return ev.Result(0);
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
    memcpy(static_cast<SyslogBufferInfo*>(report)->lastEntryTime, dest,
           TIMESTAMPLENGTH);
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
  WEX1_TRACE(wex1, WEX1_FLOW, BufferMsg, static_cast<long>(block),
             Name(LogFileName));
  return handle;
}

// The scan walks back from the entry's last byte to the newline before it.
// Two cases need a decision of their own:
//  - An entry longer than a whole block: the part kept is cut while it is
//    scanned (never more than MAXENTRYLENGTH bytes, and always less than a
//    block), so a carry-over never fills the whole buffer and every fill
//    brings at least one earlier byte of the file.
//  - A cut needed in the block that begins the file: the cut is made in
//    place, before any fill, so the entry is still delimited by the newline
//    before it (or by offset 0) and cut to its first MAXENTRYLENGTH
//    characters; the entries before it follow one by one.
// Either way the result is the same as cutting one byte per reread block:
// the entry's first MAXENTRYLENGTH characters.
bool Syslog_File::slFindPrecedingEntry(SyslogBufferInfo* info, int64_t* start) {
  const int64_t block = static_cast<int64_t>(OptimumBlockSize.load());
  const int64_t keep = MAXENTRYLENGTH < block - 1 ? MAXENTRYLENGTH : block - 1;
  if (info->bytesInBuffer <= 1 && lfFillReportBuffer(info) == 0) {
    return false;
  }
  // The entry's last byte: its newline, or the last byte of the file.
  int64_t i = info->bytesInBuffer - 1;
  while (true) {
    if (i <= 0) {
      // The entry began before this block.
      const int64_t carried = info->bytesInBuffer;
      const int64_t n = lfFillReportBuffer(info);
      if (n == 0) {
        // This block begins the file, unless the fill failed and left
        // nothing.
        *start = 0;
        return info->bytesInBuffer > 0;
      }
      if (n <= carried) {
        // No earlier byte came in (cannot happen while keep < block).
        return false;
      }
      // Resume just before the carried bytes, already scanned.
      i = n - carried;
      continue;
    }
    --i;
    if (info->buffer[i] == '\n') {
      *start = i + 1;
      return true;
    }
    if (info->bytesInBuffer - i > keep) {
      info->bytesInBuffer = i + keep;
    }
  }
}

void* Syslog_File::lfGetNextLogEntry(void* row_arg, void* report,
                                     void* thresholds_arg) {
  WEX1_Event ev(wex1, __func__);
  if (row_arg == nullptr || report == nullptr) {
    return nullptr;
  }
  SyslogBufferInfo* const info = static_cast<SyslogBufferInfo*>(report);
  tvx_vxlogent_data_t* const row = static_cast<tvx_vxlogent_data_t*>(row_arg);
  while (true) {
    int64_t start = 0;
    if (!slFindPrecedingEntry(info, &start)) {
      return nullptr;
    }
    info->buffer[info->bytesInBuffer] = '\0';
    if (lfFormatEntryAsRow(info->buffer + start, row, info) != 0) {
      return nullptr;
    }
    // What precedes the entry is unconsumed; its last byte is the newline
    // that ends the next entry.
    info->bytesInBuffer = start;
    info->buffer[start] = '\0';
    const int place = lfPlaceInWindow(row->entrytime, thresholds_arg);
    if (place > 0) {
      continue;  // newer than the window
    }
    if (place < 0) {
      return nullptr;  // older than the window, and so is everything before it
    }
    return row;
  }
}

void Syslog_File::lfEndReportRequest(void** report) {
  WEX1_Event ev(wex1, __func__);
  lfReleaseReport<SyslogBufferInfo>(report, true);
}

void Syslog_File::slDeallocateReportBuffers(void** report) {
  WEX1_Event ev(wex1, __func__);
  lfReleaseReport<SyslogBufferInfo>(report, false);
}
