// Userlog_File: the log kind of text files read by a format command
// (type 'U').
#include "agent/kinds/userlog_file.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <new>

#include "agent/config/valid_log.h"
#include "framework/runtime/trace.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/errno_text.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char MemoryAllocErrMsg[] =
    "\nError: memory allocation failed for %d bytes; monitoring not started for file %s. errno = %d; %s";
const char ParserErrMsg[] =
    "\nError occurred while interpreting format command for file %s; monitoring not started. ";
const char AnchorMissingMsg[] =
    "\nError: StringParser anchor missing for file %s. Report request terminating. ";
const char BufferMsg[] = "\nRead buffer of size %ld allocated for file %s.";
const char PrintSelfMsg[] = "\n\tSPAnchor\t\t= %p\n\tNumericMonth\t\t= %d\n";

}  // namespace

Userlog_File::Userlog_File(const Valid_Log& log, Log_File* anchor)
    : Log_File(log, anchor), NumericMonth(1), FixedNow(0) {
  WEX1_Event ev(wex1, __func__);
  lfStartWorker();
}

Userlog_File::~Userlog_File() {
  WEX1_Event ev(wex1, __func__);
  lfStopThread();
  Posix_Mutex::Hold hold(&FormatLock);
  SPAnchor.reset();
}

void Userlog_File::PrintSelf() {
  ulPrintSelf();
}

void Userlog_File::ulPrintSelf() {
  lfPrintSelf();
  const void* chain = nullptr;
  {
    Posix_Mutex::Hold hold(&FormatLock);
    chain = SPAnchor.get();
  }
  WEX1_Printf(wex1, PrintSelfMsg, chain, static_cast<int>(NumericMonth.load()));
}

time_t Userlog_File::ulNow() const {
  const time_t fixed = FixedNow;
  return fixed != 0 ? fixed : time(nullptr);
}

bool Userlog_File::ulCompileFormat() {
  {
    Posix_Mutex::Hold hold(&FormatLock);
    if (SPAnchor != nullptr) {
      return true;
    }
  }
  // Only the worker compiles, so nothing else can store a chain meanwhile;
  // the lock is not held while the parser traces its work.
  _KeywordFields keywords[NUMKEYWORDS + 1];
  memcpy(keywords, KEYWORDS, sizeof keywords);
  errno = 0;
  StringParser* const chain = new (std::nothrow)
      StringParser(LogProcedure != nullptr ? LogProcedure : "", keywords);
  if (chain == nullptr) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, MemoryAllocErrMsg,
               static_cast<int>(sizeof(StringParser)), Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    lfSetMonitorStatus(MONITOR_ERR_MEMORY);
    return false;
  }
  if (chain->ObjectStatus != OBJECT_LEARNED) {
    delete chain;
    WEX1_TRACE(wex1, WEX1_ERROR, ParserErrMsg, Name(LogFileName));
    lfSetMonitorStatus(MONITOR_ERR_PARSER);
    return false;
  }
  Posix_Mutex::Hold hold(&FormatLock);
  SPAnchor.reset(chain);
  return true;
}

bool Userlog_File::lfOpenToWatch() {
  return ulCompileFormat() && Log_File::lfOpenToWatch();
}

long Userlog_File::lfFormatEntryAsRow(char* entry, void* row_arg,
                                      void* report) {
  WEX1_Event ev(wex1, __func__);
  tvx_vxlogent_data_t* const row = static_cast<tvx_vxlogent_data_t*>(row_arg);
  if (row == nullptr) {
    return ev.Result(-1);
  }
  // One line at a time through the chain, whichever thread formats it.
  Posix_Mutex::Hold hold(&FormatLock);
  _UserlogLineContext context = {ulNow(), NumericMonth.load(),
                                 static_cast<UserlogBufferInfo*>(report), 0};
  const long rc = FormatUserlogLine(SPAnchor.get(), entry, row, &context);
  NumericMonth = context.NumericMonth;
  if (rc == 0) {
    lfFillCommonColumns(row);
  }
  return ev.Result(rc);
}

long Userlog_File::ulFormatEntryTime(char* dest, const _EntryTimeBuffers* times,
                                     void* report) {
  WEX1_Event ev(wex1, __func__);
  _UserlogLineContext context = {ulNow(), NumericMonth.load(),
                                 static_cast<UserlogBufferInfo*>(report), 0};
  const long rc = FormatUserlogEntryTime(dest, times, &context);
  NumericMonth = context.NumericMonth;
  return ev.Result(rc);
}

void* Userlog_File::lfStartReportRequest(void* /*thresholds*/) {
  WEX1_Event ev(wex1, __func__);
  {
    Posix_Mutex::Hold hold(&FormatLock);
    if (SPAnchor == nullptr) {
      WEX1_TRACE(wex1, WEX1_ERROR, AnchorMissingMsg, Name(LogFileName));
      return nullptr;
    }
  }
  if (OptimumBlockSize == 0 && lfDetermineOptimumBlockSize() != 0) {
    return nullptr;
  }
  // Never changes once set, so every fill of this report fits the buffer.
  const uint64_t block = OptimumBlockSize;
  UserlogBufferInfo* const info = lfNewReportHandle<UserlogBufferInfo>(block);
  if (info == nullptr) {
    return nullptr;
  }
  void* handle = info;
  // The year the newest lines take: that of the time the report begins.
  if (!StartUserlogYearCarry(ulNow(), info) || lfOpenLogForReport(info) < 0) {
    ulDeallocateReportBuffers(&handle);
    return nullptr;
  }
  info->bytesInBuffer = 0;
  info->buffer[block] = '\0';
  WEX1_TRACE(wex1, WEX1_FLOW, BufferMsg, static_cast<long>(block),
             Name(LogFileName));
  return handle;
}

void Userlog_File::lfEndReportRequest(void** report) {
  WEX1_Event ev(wex1, __func__);
  lfReleaseReport<UserlogBufferInfo>(report, true);
}

void Userlog_File::ulDeallocateReportBuffers(void** report) {
  WEX1_Event ev(wex1, __func__);
  lfReleaseReport<UserlogBufferInfo>(report, false);
}
