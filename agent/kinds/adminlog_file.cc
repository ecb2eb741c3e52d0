// Adminlog_File: the log kind of binary login-accounting files (type 'A').
#include "agent/kinds/adminlog_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#include <new>

#include "agent/config/config_def.h"
#include "agent/config/valid_log.h"
#include "framework/runtime/trace.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/errno_text.h"
#include "util/read_full.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

// Offsets and sizes of the record's fields.
constexpr int USEROFFSET = 0;
constexpr int USERSIZE = 8;
constexpr int IDOFFSET = 8;
constexpr int IDSIZE = 4;
constexpr int LINEOFFSET = 12;
constexpr int LINESIZE = 12;
constexpr int PIDOFFSET = 24;
constexpr int TYPEOFFSET = 26;
constexpr int TERMOFFSET = 28;
constexpr int EXITOFFSET = 30;
constexpr int TIMEOFFSET = 32;
static_assert(TIMEOFFSET + 4 == UTMPSIZE, "the time ends the record");

// Texts of the entry types, indexed by the type value; aUNKNOWN for any
// other value.
const char aEMPTY[] = "Unused space";
const char aRUNLVL[] = "Run level";
const char aBOOTTIME[] = "System boot time";
const char aOLDTIME[] = "User logon time";
const char aNEWTIME[] = "User idle time";
const char aINITPROCESS[] = "init process";
const char aLOGINPROCESS[] = "getty waiting";
const char aUSERPROCESS[] = "User process";
const char aDEADPROCESS[] = "Zombie process";
const char aACCOUNTING[] = "Accounting";
const char aUNKNOWN[] = "Unknown";
const char* const kEntryTypeTexts[] = {
    aEMPTY,       aRUNLVL,       aBOOTTIME,    aOLDTIME,     aNEWTIME,
    aINITPROCESS, aLOGINPROCESS, aUSERPROCESS, aDEADPROCESS, aACCOUNTING,
};
constexpr int ENTRYTYPES =
    static_cast<int>(sizeof kEntryTypeTexts / sizeof kEntryTypeTexts[0]);

const char DescFormatter[] =
    "user = %s; id = %s; pid = %d; term status = %d; exit status = %d";
// Added to the description of a record that names the remote host of a
// login (the host's utmp layout has room for it).
const char HostFormatter[] = "; host = %s";

const char OpenErrMsg[] = "\nError opening file %s. errno = %d; %s";
const char ReadErrMsg[] = "\nError occurred reading file %s. errno = %d; %s";
const char IncompleteReadMsg[] =
    "\nIncomplete record read from file %s. Bytes read = %d; bytes expected = %d";
const char IncompleteReportMsg[] =
    "\nIncomplete record found while building report for file %s. Record length = %d; expected length = %d.";
const char ReportSeekErrMsg[] =
    "\nError while seeking EOF for report on file %s. errno = %d; %s";
const char BufferMsg[] = "\nRead buffer of size %ld allocated for file %s.";

int16_t Int16At(const char* record, int offset) {
  int16_t value;
  memcpy(&value, record + offset, sizeof value);
  return value;
}

int32_t Int32At(const char* record, int offset) {
  int32_t value;
  memcpy(&value, record + offset, sizeof value);
  return value;
}

// Copies the zero-padded field of `size` bytes at `field` into `dest` as a
// terminated text; `dest` has room for size + 1 characters.
void FieldText(char* dest, const char* field, size_t size) {
  const size_t n = strnlen(field, size);
  memcpy(dest, field, n);
  dest[n] = '\0';
}

// The fields of one record, whichever its layout.
struct Login_Record {
  char user[sizeof(utmp::ut_user) + 1];
  char id[sizeof(utmp::ut_id) + 1];
  char line[sizeof(utmp::ut_line) + 1];
  char host[sizeof(utmp::ut_host) + 1];  // empty: none
  int pid;
  int type;
  int term;
  int exit;
  int64_t seconds;
  long microseconds;
};

// Decodes the `size` bytes at `record`: the host's struct utmp when `size`
// is its size, else the UTMPSIZE layout.
Login_Record Decode(const char* record, int size) {
  Login_Record r = {};
  if (size == static_cast<int>(sizeof(utmp))) {
    struct utmp u;
    memcpy(&u, record, sizeof u);
    FieldText(r.user, u.ut_user, sizeof u.ut_user);
    FieldText(r.id, u.ut_id, sizeof u.ut_id);
    FieldText(r.line, u.ut_line, sizeof u.ut_line);
    FieldText(r.host, u.ut_host, sizeof u.ut_host);
    r.pid = u.ut_pid;
    r.type = u.ut_type;
    r.term = u.ut_exit.e_termination;
    r.exit = u.ut_exit.e_exit;
    r.seconds = u.ut_tv.tv_sec;
    r.microseconds = u.ut_tv.tv_usec;
    return r;
  }
  FieldText(r.user, record + USEROFFSET, USERSIZE);
  FieldText(r.id, record + IDOFFSET, IDSIZE);
  FieldText(r.line, record + LINEOFFSET, LINESIZE);
  r.pid = Int16At(record, PIDOFFSET);
  r.type = Int16At(record, TYPEOFFSET);
  r.term = Int16At(record, TERMOFFSET);
  r.exit = Int16At(record, EXITOFFSET);
  r.seconds = Int32At(record, TIMEOFFSET);
  return r;
}

// The record size a log's procedure selects.
int RecordSizeOf(const char* procedure) {
  return procedure != nullptr && strcmp(procedure, UTMPPROCEDURE) == 0
             ? static_cast<int>(sizeof(utmp))
             : UTMPSIZE;
}

// Reads up to `size` bytes into `record`: the count read (`size`, fewer at
// the end of the file, 0 at its end), or -1 with errno set.
ssize_t ReadRecord(int fd, char* record, int size) {
  return ReadFull(fd, record, static_cast<size_t>(size));
}

}  // namespace

Adminlog_File::Adminlog_File(const Valid_Log& log, Log_File* anchor)
    : Log_File(log, anchor), RecordSize(RecordSizeOf(log.LogProcedure)) {
  WEX1_Event ev(wex1, __func__);
  lfStartWorker();
}

Adminlog_File::~Adminlog_File() {
  WEX1_Event ev(wex1, __func__);
  lfStopThread();
}

bool Adminlog_File::lfOpenToWatch() {
  adOpenAdminLog();
  return LogFD >= 0;
}

void Adminlog_File::adOpenAdminLog() {
  WEX1_Event ev(wex1, __func__);
  lfFOpenLogAndSeek(OpenErrMsg);
  if (LogFD < 0) {
    return;
  }
  // Records lie back to back from offset 0. A record being written now is
  // read once it is whole; starting inside it would misalign every later
  // one (and writers cut a stray partial record off before appending,
  // which would look like a truncation below a misaligned LogEOF).
  const off_t end = LogEOF;
  LogEOF = end - end % RecordSize;
}

long Adminlog_File::lfReadLog() {
  WEX1_Event ev(wex1, __func__);
  char record[sizeof(utmp) > UTMPSIZE ? sizeof(utmp) : UTMPSIZE];
  while (true) {
    const ssize_t n = ReadRecord(LogFD, record, RecordSize);
    if (n == 0) {
      return ev.Result(0);
    }
    if (n < 0) {
      lfTraceReadError(ReadErrMsg, errno);
      return ev.Result(-1);
    }
    if (n < RecordSize) {
      // The writer has not finished the record yet: step back to its start,
      // where LogEOF then stays, and read it whole at a later pass.
      if (lseek(LogFD, -static_cast<off_t>(n), SEEK_CUR) < 0) {
        WEX1_TRACE(wex1, WEX1_ERROR, IncompleteReadMsg, Name(LogFileName),
                   static_cast<int>(n), RecordSize);
        return ev.Result(-1);
      }
      WEX1_TRACE(wex1, WEX1_FLOW, IncompleteReadMsg, Name(LogFileName),
                 static_cast<int>(n), RecordSize);
      return ev.Result(0);
    }
    NumBytesRead.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    lfHandleEntry(record, RecordSize);
  }
}

long Adminlog_File::lfFormatEntryAsRow(char* entry, void* row_arg,
                                       void* /*report*/) {
  WEX1_Event ev(wex1, __func__);
  if (entry == nullptr || row_arg == nullptr) {
    return ev.Result(-1);
  }
  tvx_vxlogent_data_t* const row = static_cast<tvx_vxlogent_data_t*>(row_arg);
  memset(row, ' ', sizeof *row);
  const Login_Record record = Decode(entry, RecordSize);
  GenerateTimestamp(static_cast<time_t>(record.seconds), row->entrytime);
  if (record.microseconds > 0 && record.microseconds < 1000000) {
    const long ms = record.microseconds / 1000;
    row->entrytime[TIMESTAMPLENGTH - 3] = static_cast<char>('0' + ms / 100);
    row->entrytime[TIMESTAMPLENGTH - 2] = static_cast<char>('0' + ms / 10 % 10);
    row->entrytime[TIMESTAMPLENGTH - 1] = static_cast<char>('0' + ms % 10);
  }
  const size_t line = strlen(record.line);
  memcpy(row->entrysrc, record.line,
         line < sizeof row->entrysrc ? line : sizeof row->entrysrc);
  adFillEntryType(row->entrytype, sizeof row->entrytype, record.type);
  adFormatEntryDesc(row->entrydesc, sizeof row->entrydesc, entry);
  lfFillCommonColumns(row);
  return ev.Result(0);
}

void Adminlog_File::adFillEntryType(char* dest, unsigned width, int type) {
  const char* const text =
      type >= 0 && type < ENTRYTYPES ? kEntryTypeTexts[type] : aUNKNOWN;
  const size_t n = strlen(text);
  memcpy(dest, text, n < width ? n : width);
}

void Adminlog_File::adFormatEntryDesc(char* dest, unsigned width,
                                      const char* record) {
  const Login_Record r = Decode(record, RecordSize);
  // Longer than any description: a user name and an identifier at full
  // length and three numbers of eleven characters take 131, a host at full
  // length 265 more.
  char text[448];
  const int n = snprintf(text, sizeof text, DescFormatter, r.user, r.id, r.pid,
                         r.term, r.exit);
  if (n <= 0) {
    return;
  }
  size_t length = static_cast<size_t>(n);
  if (length > sizeof text - 1) {
    length = sizeof text - 1;
  }
  if (r.host[0] != '\0') {
    const int m =
        snprintf(text + length, sizeof text - length, HostFormatter, r.host);
    if (m > 0) {
      length += static_cast<size_t>(m);
      if (length > sizeof text - 1) {
        length = sizeof text - 1;
      }
    }
  }
  memcpy(dest, text, length < width ? length : width);
}

void* Adminlog_File::lfStartReportRequest(void* /*thresholds*/) {
  WEX1_Event ev(wex1, __func__);
  if (OptimumBlockSize == 0 && lfDetermineOptimumBlockSize() != 0) {
    return nullptr;
  }
  // A block holds at least one record, so that every fill brings one whole.
  if (OptimumBlockSize < static_cast<uint64_t>(RecordSize)) {
    OptimumBlockSize = static_cast<uint64_t>(RecordSize);
  }
  const uint64_t block = OptimumBlockSize;
  _LogBufferInfo* const info = lfNewReportHandle<_LogBufferInfo>(block);
  if (info == nullptr) {
    return nullptr;
  }
  void* handle = info;
  if (lfOpenLogForReport(info) < 0) {
    adDeallocateReportBuffers(&handle);
    return nullptr;
  }
  // Records are cut from the end of the file: a record still being written
  // at its end would shift every one before it. Only whole records count.
  const int64_t partial = info->bytesLeft % RecordSize;
  if (partial != 0) {
    WEX1_TRACE(wex1, WEX1_FLOW, IncompleteReportMsg, Name(LogFileName),
               static_cast<int>(partial), RecordSize);
    info->bytesLeft -= partial;
    if (info->bytesLeft == 0 ||
        lseek(info->fd, static_cast<off_t>(info->bytesLeft), SEEK_SET) < 0) {
      if (info->bytesLeft != 0) {
        const int e = errno;
        char eb[128];
        WEX1_TRACE(wex1, WEX1_ERROR, ReportSeekErrMsg, Name(LogFileName), e,
                   ErrnoText(e, eb, sizeof eb));
      }
      lfCloseLogForReport(info->fd);
      info->fd = -1;
      adDeallocateReportBuffers(&handle);
      return nullptr;
    }
  }
  info->bytesInBuffer = 0;
  WEX1_TRACE(wex1, WEX1_FLOW, BufferMsg, static_cast<long>(block),
             Name(LogFileName));
  return handle;
}

char* Adminlog_File::lfTakePrecedingEntry(_LogBufferInfo* info) {
  if (info->bytesInBuffer < RecordSize) {
    lfFillReportBuffer(info);
    if (info->bytesInBuffer < RecordSize) {
      // The start of the file, or the log can no longer be read.
      if (info->bytesInBuffer > 0) {
        WEX1_TRACE(wex1, WEX1_ERROR, IncompleteReportMsg, Name(LogFileName),
                   static_cast<int>(info->bytesInBuffer), RecordSize);
      }
      return nullptr;
    }
  }
  info->bytesInBuffer -= RecordSize;
  return info->buffer + info->bytesInBuffer;
}

void Adminlog_File::lfEndReportRequest(void** report) {
  WEX1_Event ev(wex1, __func__);
  lfReleaseReport<_LogBufferInfo>(report, true);
}

void Adminlog_File::adDeallocateReportBuffers(void** report) {
  WEX1_Event ev(wex1, __func__);
  lfReleaseReport<_LogBufferInfo>(report, false);
}
