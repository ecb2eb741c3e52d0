#include "agent/log_file.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/config_def.h"
#include "agent/log_manager.h"
#include "agent/log_manager_util.h"
#include "agent/log_watch.h"
#include "agent/tvxmain.h"
#include "agent/valid_log.h"
#include "framework/wex1.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/errno_text.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

pthread_mutex_t Log_File::lfDebugFileLock = PTHREAD_MUTEX_INITIALIZER;
int64_t Log_File::sRECNUM = 0;

namespace {

// With change events, the periodic check runs once every this many
// intervals.
constexpr int WATCHEDCHECKFACTOR = 10;

// Status texts.
const char NotStartedMsg[] = "Not started";
const char StoppedMsg[] = "Stopped";
const char RunningMsg[] = "Running";
const char CreateChildMsg[] = "Error: create child failed";
const char CreatePipeMsg[] = "Error: create pipe failed";
const char PipeGFlagMsg[] = "Error: get pipe flag failed";
const char PipeSFlagMsg[] = "Error: set pipe flag failed";
const char PipeFDMsg[] = "Error: pipe FD to FP failed";
const char SelectMsg[] = "Error: wait for event failed";
const char ReadMsg[] = "Error: log read failed";
const char SeekEndMsg[] = "Error: seek for EOF failed";
const char OpenMsg[] = "Error: log open failed";
const char SeekResetMsg[] = "Error: reset EOF failed";
const char RewindMsg[] = "Error: log rewind failed";
const char WaitMsg[] = "Error: wait loop failed";
const char ParserMsg[] = "Error: format command";
const char MemoryMsg[] = "Error: insufficient memory";
const char ErrorMsg[] = "Error: unknown";

// Debug record header.
const char RECSEPFORMAT[] = "%s%ld%s";
const char RECSEP1[] = "\t\t>>>>>>>>> RECORD ";
const char RECSEP2[] = " <<<<<<<<<\n";

// Lock and thread set-up.
const char MutexAttrInitErrMsg[] =
    "\nError initializing mutex attribute object for %s. errno = %d; %s";
const char MutexInitErrMsg[] =
    "\nError initializing mutex for %s. errno = %d; %s";
const char MutexAttrDestroyErrMsg[] =
    "\nError destroying mutex attribute object for %s. errno = %d; %s";
const char MutexInitMsg[] = "\nMutex initialized for %s.";
const char MutexDestroyErrMsg[] =
    "\nError destroying mutex for %s. errno = %d; %s";
const char MutexDestroyMsg[] = "\nMutex destroyed for %s.";
const char MutexLockErrMsg[] = "\nError locking mutex for %s. errno = %d; %s";
const char MutexLockMsg[] = "\nMutex locked for %s.";
const char MutexUnlockErrMsg[] =
    "\nError unlocking mutex for %s. errno = %d; %s";
const char MutexUnlockMsg[] = "\nMutex unlocked for %s.";
const char DebugLockErrMsg[] =
    "\nError locking mutex for debug file by %s. errno = %d; %s";
const char DebugLockMsg[] = "\nDebug file mutex locked by %s.";
const char DebugUnlockErrMsg[] =
    "\nError unlocking mutex for debug file. errno = %d; %s";
const char DebugUnlockMsg[] = "\nDebug file mutex unlocked.";
const char ThreadAttrInitErrMsg[] =
    "\nError initializing thread attribute object for %s. errno = %d; %s";
const char ThreadAttrJoinErrMsg[] =
    "\nError making thread attribute object joinable for %s. errno = %d; %s. Continuing.";
const char ThreadStartErrMsg[] =
    "\nError starting thread for %s. errno = %d; %s";
const char ThreadAttrDestroyErrMsg[] =
    "\nError destroying thread attribute object for %s. errno = %d; %s";
const char ThreadJoinErrMsg[] =
    "\nError joining with thread for %s. errno = %d; %s";
const char WatchingMsg[] = "\nWatching %s on change events.";
const char PollOnlyMsg[] =
    "\nWatching %s by the one-second check only: %s.";
const char WakeCreateErrMsg[] =
    "\nCannot create the wake-up counter for %s (errno = %d; %s); stops wait for the one-second check.";
const char ThreadStartedMsg[] =
    "\nThread successfully started for log file %s.";
const char ThreadEndMsg[] = "\nThread for log file %s terminating.";

// Watching the log.
const char OpenErrMsg[] = "\nError opening file %s.  errno = %d; %s";
const char SeekEOFErrMsg[] =
    "\nError while seeking EOF for file %s. errno = %d; %s";
const char RewindErrMsg[] =
    "\nError while rewinding file pointer for file %s; errno = %d; %s";
const char NewEOFErrMsg[] =
    "\nError occurred while determining new EOF for file %s. errno = %d; %s";
const char SeekNewEOFErrMsg[] =
    "\nError while seeking new EOF for file %s. errno = %d; %s";
const char TruncatedMsg[] =
    "\nWarning: log file %s truncated. Resetting EOF to offset %ld.";
const char ReplacedMsg[] =
    "\nLog file %s was replaced by a new file; reading the new file from its beginning.";
const char WaitErrMsg[] =
    "\nError occurred while waiting for data for file %s; errno = %d; %s";
const char ReadErrMsg[] =
    "\nError occurred while reading file %s. errno = %d; %s";

// Debug records.
const char DebugWriteErrMsg[] =
    "\nError writing %s entry to debug log. errno = %d; %s";
const char DebugWrittenMsg[] = "\nRecord written to debug log for log %s.";
const char EventDetectedMsg[] = "\n%s monitor detected event.";

const char PrintSelfMsg[] =
    "\n\tRefreshMode\t\t= %d\n\tLogThread\t\t= %s\n\tLogLock\t\t\t= %s\n\tLogFileP\t\t= %p\n"
    "\tLogFD\t\t\t= %d\n\tLogEOF\t\t\t= %ld\n\tMonitorStatus\t\t= %d\n"
    "\tMonitorStartStopTime\t= %.*s\n\tNumEvents\t\t= %d\n\tNumFormatErrors\t\t= %d\n"
    "\tOptimumBlockSize\t= %ld\n\tDebugFileLock\t\t= %s\n";
constexpr int CTIMELENGTH = 24;  // ctime text without its newline

// A lock or unlock of the log's or the debug file's mutex: `rc` is the
// call's result. A failure is traced with `failed` and ends the process; a
// success is traced with `done` at the flow level. `name` fills the file
// name of both messages; null for the two messages that have none.
void LockStepOrExit(int rc, const char* failed, const char* done, const char* name) {
  if (rc != 0) {
    char eb[128];
    if (name != nullptr) {
      WEX1_TRACE(wex1, WEX1_ERROR, failed, name, rc, ErrnoText(rc, eb, sizeof eb));
    } else {
      WEX1_TRACE(wex1, WEX1_ERROR, failed, rc, ErrnoText(rc, eb, sizeof eb));
    }
    exit(-1);
  }
  if (name != nullptr) {
    WEX1_TRACE(wex1, WEX1_FLOW, done, name);
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, done);
  }
}

}  // namespace

Log_File::Log_File(const Valid_Log& log, Log_File* anchor)
    : Log_Base(log),
      RefreshMode(0),
      LogThread(),
      LogLock(),
      LogFD(-1),
      LogEOF(-1),
      MonitorStatus(MONITOR_NOT_STARTED),
      MonitorStartStopTime(time(nullptr)),
      NumEvents(0),
      NumFormatErrors(0),
      OptimumBlockSize(0),
      LogThreadJoinable(false),
      LogWakeFD(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      LogDevice(0),
      LogInode(0),
      LogIdentityKnown(false) {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, MutexAttrInitErrMsg, Name(LogFileName), rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
  rc = pthread_mutex_init(&LogLock, &attr);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, MutexInitErrMsg, Name(LogFileName), rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
  rc = pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, MutexAttrDestroyErrMsg, Name(LogFileName), rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
  WEX1_TRACE(wex1, WEX1_FLOW, MutexInitMsg, Name(LogFileName));
  if (!LogWakeFD.valid()) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_FLOW, WakeCreateErrMsg, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
  }
  lbAddToChain(anchor);
}

Log_File::~Log_File() {
  WEX1_Event ev(wex1, __func__);
  lbRemoveFromChain();
  const int rc = pthread_mutex_destroy(&LogLock);
  if (rc != 0) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, MutexDestroyErrMsg, Name(LogFileName), rc,
               ErrnoText(rc, eb, sizeof eb));
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, MutexDestroyMsg, Name(LogFileName));
  }
}

Log_File& Log_File::operator=(const Valid_Log& log) {
  WEX1_Event ev(wex1, __func__);
  if (WEX1_On(wex1, WEX1_FLOW)) {
    lbPrintSelf();
  }
  lfLockLog();
  LogDebugMode = log.LogDebugMode.load();
  lfUnlockLog();
  if (MonitorStatus != MONITOR_RUNNING) {
    lfStopThread();
    lfStartThread();
  }
  if (WEX1_On(wex1, WEX1_FLOW)) {
    lbPrintSelf();
  }
  return *this;
}

void Log_File::PrintSelf() {
  lfPrintSelf();
}

void* LogThread(void* arg) {
  WEX1_Event ev(wex1, __func__);
  Log_File* const log = static_cast<Log_File*>(arg);
  WEX1_TRACE(wex1, WEX1_FLOW, ThreadStartedMsg, Name(log->LogFileName));
  // Waits until lfStartThread has recorded the start.
  log->lfLockLog();
  log->lfUnlockLog();
  log->lfProcessLogData();
  if (log->LogFileP != nullptr) {
    log->PrintSelf();
  }
  WEX1_TRACE(wex1, WEX1_FLOW, ThreadEndMsg, Name(log->LogFileName));
  log->MonitorStartStopTime = time(nullptr);
  return nullptr;
}

void Log_File::lfStartThread() {
  WEX1_Event ev(wex1, __func__);
  // A thread still unjoined would otherwise lose its handle.
  if (LogThreadJoinable) {
    lfStopThread();
  }
  char eb[128];
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, ThreadAttrInitErrMsg, Name(LogFileName), rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
  rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_FLOW, ThreadAttrJoinErrMsg, Name(LogFileName), rc,
               ErrnoText(rc, eb, sizeof eb));
  }
  lfLockLog();
  rc = pthread_create(&LogThread, &attr, ::LogThread, this);
  if (rc == 0) {
    LogThreadJoinable = true;
    MonitorStatus = MONITOR_RUNNING;
    MonitorStartStopTime = time(nullptr);
  } else {
    WEX1_TRACE(wex1, WEX1_ERROR, ThreadStartErrMsg, Name(LogFileName), rc,
               ErrnoText(rc, eb, sizeof eb));
  }
  lfUnlockLog();
  rc = pthread_attr_destroy(&attr);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, ThreadAttrDestroyErrMsg, Name(LogFileName), rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
}

void Log_File::lfStopThread() {
  WEX1_Event ev(wex1, __func__);
  lfRequestStop();
  lfJoinThread();
}

void Log_File::lfRequestStop() {
  WEX1_Event ev(wex1, __func__);
  lfLockLog();
  if (MonitorStatus == MONITOR_RUNNING) {
    MonitorStatus = MONITOR_STOPPED;
  }
  lfUnlockLog();
  lfWake();
}

void Log_File::lfJoinThread() {
  WEX1_Event ev(wex1, __func__);
  lfLockLog();
  // After a restart whose thread creation failed there is no thread to
  // join, whatever the status says.
  const bool join = LogThreadJoinable;
  LogThreadJoinable = false;
  lfUnlockLog();
  if (!join) {
    return;
  }
  const int rc = pthread_join(LogThread, nullptr);
  if (rc != 0) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, ThreadJoinErrMsg, Name(LogFileName), rc,
               ErrnoText(rc, eb, sizeof eb));
  }
}

void Log_File::lfWake() {
  if (LogWakeFD.valid()) {
    Log_Watch::Wake(LogWakeFD.get());
  }
}

int Log_File::lfWaitForWake(int timeoutMs, struct pollfd* extra) {
  struct pollfd p[2];
  p[0].fd = LogWakeFD.get();  // poll passes over a negative descriptor
  p[0].events = POLLIN;
  p[0].revents = 0;
  nfds_t n = 1;
  if (extra != nullptr) {
    extra->revents = 0;
    p[1] = *extra;
    n = 2;
  }
  const int rc = poll(p, n, timeoutMs);
  if (rc > 0 && (p[0].revents & POLLIN) != 0) {
    uint64_t count;
    [[maybe_unused]] const ssize_t r = read(LogWakeFD.get(), &count, sizeof count);
  }
  if (extra != nullptr) {
    extra->revents = p[1].revents;
  }
  return rc;
}

void Log_File::lfLockLog() {
  LockStepOrExit(pthread_mutex_lock(&LogLock), MutexLockErrMsg, MutexLockMsg, Name(LogFileName));
}

void Log_File::lfUnlockLog() {
  LockStepOrExit(pthread_mutex_unlock(&LogLock), MutexUnlockErrMsg, MutexUnlockMsg, Name(LogFileName));
}

void Log_File::lfSetMonitorStatus(_MonitorStatus status) {
  lfLockLog();
  MonitorStatus = status;
  lfUnlockLog();
}

void Log_File::lfGetMonitorStatus(char* const dest, const long len) {
  const char* text = ErrorMsg;
  switch (MonitorStatus.load()) {
    case MONITOR_NOT_STARTED:
      text = NotStartedMsg;
      break;
    case MONITOR_STOPPED:
      text = StoppedMsg;
      break;
    case MONITOR_RUNNING:
      text = RunningMsg;
      break;
    case MONITOR_ERR_CREATE_CHILD:
      text = CreateChildMsg;
      break;
    case MONITOR_ERR_CREATE_PIPE:
      text = CreatePipeMsg;
      break;
    case MONITOR_ERR_PIPE_GET_FLAG:
      text = PipeGFlagMsg;
      break;
    case MONITOR_ERR_PIPE_SET_FLAG:
      text = PipeSFlagMsg;
      break;
    case MONITOR_ERR_PIPE_FD:
      text = PipeFDMsg;
      break;
    case MONITOR_ERR_SELECT:
      text = SelectMsg;
      break;
    case MONITOR_ERR_READ:
      text = ReadMsg;
      break;
    case MONITOR_ERR_SEEK_END:
      text = SeekEndMsg;
      break;
    case MONITOR_ERR_OPEN:
      text = OpenMsg;
      break;
    case MONITOR_ERR_SEEK_RESET:
      text = SeekResetMsg;
      break;
    case MONITOR_ERR_REWIND:
      text = RewindMsg;
      break;
    case MONITOR_ERR_WAIT:
      text = WaitMsg;
      break;
    case MONITOR_ERR_PARSER:
      text = ParserMsg;
      break;
    case MONITOR_ERR_MEMORY:
      text = MemoryMsg;
      break;
  }
  if (dest == nullptr || len <= 0) {
    return;
  }
  const size_t length = strlen(text);
  memcpy(dest, text,
         static_cast<size_t>(len) < length ? static_cast<size_t>(len) : length);
}

void Log_File::lfFOpenLogAndSeek() {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  // Close-on-exec: the error-report kind forks children.
  FILE* const stream = fopen(Name(LogFileName), "re");
  if (stream == nullptr) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, OpenErrMsg, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    lfSetMonitorStatus(MONITOR_ERR_OPEN);
    return;
  }
  LogFileP.reset(stream);
  LogFD = fileno(stream);
  const off_t end = lseek(LogFD, 0, SEEK_END);
  if (end < 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, SeekEOFErrMsg, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    lfFCloseLog();
    lfSetMonitorStatus(MONITOR_ERR_SEEK_END);
    return;
  }
  LogEOF = end;
  lfRememberIdentity();
}

void Log_File::lfFCloseLog() {
  WEX1_Event ev(wex1, __func__);
  LogFileP.reset();
  LogFD = -1;
  LogEOF = -1;
  LogIdentityKnown = false;
  HeldLine.Clear();
}

bool Log_File::lfRememberIdentity() {
  struct stat st;
  LogIdentityKnown = LogFD >= 0 && fstat(LogFD, &st) == 0;
  if (LogIdentityKnown) {
    LogDevice = st.st_dev;
    LogInode = st.st_ino;
  }
  return LogIdentityKnown;
}

bool Log_File::lfLogReplaced() {
  if (!LogIdentityKnown) {
    return false;
  }
  // A missing path is not a replacement (yet): the old file is still
  // watched until a new one appears under the name.
  struct stat st;
  if (stat(Name(LogFileName), &st) != 0) {
    return false;
  }
  return st.st_dev != LogDevice || st.st_ino != LogInode;
}

int Log_File::lfReadAppended() {
  char eb[128];
  if (lseek(LogFD, LogEOF, SEEK_SET) < 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, RewindErrMsg, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    lfSetMonitorStatus(MONITOR_ERR_REWIND);
    return -1;
  }
  if (lfReadLog() != 0) {
    lfSetMonitorStatus(MONITOR_ERR_READ);
    return -1;
  }
  // The end of what was read, beyond the size measured before when the log
  // grew meanwhile.
  const off_t end = lseek(LogFD, 0, SEEK_CUR);
  if (end < 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, NewEOFErrMsg, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    lfSetMonitorStatus(MONITOR_ERR_SEEK_RESET);
    return -1;
  }
  LogEOF = end;
  return 0;
}

int Log_File::lfReopenReplacedLog() {
  char eb[128];
  WEX1_TRACE(wex1, WEX1_FLOW, ReplacedMsg, Name(LogFileName));
  FILE* const stream = fopen(Name(LogFileName), "re");
  if (stream == nullptr) {
    // The old file stays open for the kind to close.
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, OpenErrMsg, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    lfSetMonitorStatus(MONITOR_ERR_OPEN);
    return -1;
  }
  lfFlushHeldTail();
  lfFCloseLog();
  LogFileP.reset(stream);
  LogFD = fileno(stream);
  // Everything the new file holds was written after the rotation.
  LogEOF = 0;
  lfRememberIdentity();
  const off_t size = lseek(LogFD, 0, SEEK_END);
  if (size < 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, SeekNewEOFErrMsg, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    lfSetMonitorStatus(MONITOR_ERR_SEEK_END);
    return -1;
  }
  return size > 0 ? lfReadAppended() : 0;
}

void Log_File::lfWaitForEventLoop(struct timeval interval) {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  // Woken by writes as they happen; the interval's check stays behind it
  // for what inotify misses.
  char why[160];
  const Watch_Registration watch(Log_Watch::Agent(), Name(LogFileName),
                                 LogWakeFD.get(), why, sizeof why);
  if (watch.Handle() == 0) {
    WEX1_TRACE(wex1, WEX1_FLOW, PollOnlyMsg, Name(LogFileName), why);
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, WatchingMsg, Name(LogFileName));
  }
  while (MonitorStatus == MONITOR_RUNNING) {
    // Taken before reading, so that what was written to the old file up to
    // the rotation is read before the new file is opened.
    const bool replaced = lfLogReplaced();
    const off_t size = lseek(LogFD, 0, SEEK_END);
    if (size < 0) {
      const int e = errno;
      WEX1_TRACE(wex1, WEX1_ERROR, SeekNewEOFErrMsg, Name(LogFileName), e,
                 ErrnoText(e, eb, sizeof eb));
      lfSetMonitorStatus(MONITOR_ERR_SEEK_END);
      break;
    }
    if (size < LogEOF) {
      // Everything the file now holds was written after the truncation.
      WEX1_TRACE(wex1, WEX1_ERROR, TruncatedMsg, Name(LogFileName), 0L);
      lfFlushHeldTail();
      LogEOF = 0;
    }
    if (size > LogEOF && lfReadAppended() != 0) {
      break;
    }
    if (replaced && lfReopenReplacedLog() != 0) {
      break;
    }
    // Behind change events the check is only a safety net, kept rare so
    // that a thousand idle logs cost next to nothing.
    const int timeoutMs =
        static_cast<int>(interval.tv_sec * 1000 + interval.tv_usec / 1000) *
        (watch.Handle() != 0 ? WATCHEDCHECKFACTOR : 1);
    if (lfWaitForWake(timeoutMs, nullptr) < 0) {
      const int e = errno;
      if (e == EINTR) {
        continue;
      }
      WEX1_TRACE(wex1, WEX1_ERROR, WaitErrMsg, Name(LogFileName), e,
                 ErrnoText(e, eb, sizeof eb));
      lfSetMonitorStatus(MONITOR_ERR_WAIT);
      break;
    }
  }
}

namespace {

// Where Line_Splitter hands the lines and NUL runs of one log.
struct Entry_Sink {
  Log_File* log;
  void Line(char* entry, size_t length) {
    log->lfHandleEntry(entry, static_cast<unsigned>(length));
  }
  // Not an entry: counted once as one that did not format.
  void NulRun() {
    ++log->NumEvents;
    ++log->NumFormatErrors;
  }
};

// Bytes asked of one read(2) while monitoring: a few dozen lines per call,
// and little stack for each of many workers.
constexpr size_t READBLOCKSIZE = 8 * 1024;

}  // namespace

long Log_File::lfReadLog() {
  WEX1_Event ev(wex1, __func__);
  // One byte more than is read: the splitter ends lines in place.
  char block[READBLOCKSIZE + 1];
  Entry_Sink sink{this};
  while (true) {
    const ssize_t n = read(LogFD, block, READBLOCKSIZE);
    if (n == 0) {
      return ev.Result(0);
    }
    if (n < 0) {
      const int e = errno;
      if (e == EINTR) {
        continue;
      }
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR, ReadErrMsg, Name(LogFileName), e,
                 ErrnoText(e, eb, sizeof eb));
      return ev.Result(-1);
    }
    HeldLine.Feed(block, static_cast<size_t>(n), sink);
  }
}

void Log_File::lfFlushHeldTail() {
  Entry_Sink sink{this};
  HeldLine.Flush(sink);
}

void Log_File::lfHandleEntry(char* entry, unsigned length) {
  tvx_vxlogent_data_t row;
  ++NumEvents;
  if (lfFormatEntryAsRow(entry, &row, nullptr) != 0) {
    ++NumFormatErrors;
    lfWriteToDebugLog(entry, length, nullptr, 0);
  } else {
    tvx_vxlogent_manager::EventArrived(&row, 1);
    lfWriteToDebugLog(entry, length, &row, sizeof row);
  }
}

void Log_File::lfFillCommonColumns(tvx_vxlogent_data_t* row) {
  if (gSystemName != nullptr) {
    const size_t n = static_cast<size_t>(gSystemNameLength);
    memcpy(row->originnode, gSystemName,
           n < sizeof row->originnode ? n : sizeof row->originnode);
  }
  if (LogFileName != nullptr) {
    const size_t dir = static_cast<size_t>(LogPathNameLength);
    memcpy(row->logpath, LogFileName,
           dir < sizeof row->logpath ? dir : sizeof row->logpath);
    const char* const base = LogFileName + LogPathNameLength;
    const size_t n = strlen(base);
    memcpy(row->logname, base,
           n < sizeof row->logname ? n : sizeof row->logname);
  }
  row->freqthresh = 0;
  row->periodthrs = 0;
  row->sampleno = 0;
  row->rowno = 0;
  GenerateTimestamp(time(nullptr), row->timestamp);
}

void Log_File::lfWriteToDebugLog(void* entry, unsigned entryLength, void* row,
                                 unsigned rowLength) {
  FILE* const debug =
      pTheLogManager != nullptr ? pTheLogManager->DebugLogP.load() : nullptr;
  int written = 0;
  int failure = 0;  // errno of the failed write; 0 while none failed
  bool failed = false;
  if (LogDebugMode == LOGDEBUGMODEON && debug != nullptr) {
    lfLockDebugFile(LogFileName);
    ++sRECNUM;
    errno = 0;
    if (fprintf(debug, RECSEPFORMAT, RECSEP1, static_cast<long>(sRECNUM),
                RECSEP2) < 0) {
      failed = true;
      failure = errno;
    }
    if (!failed && entry != nullptr && entryLength != 0) {
      if (fwrite(entry, 1, entryLength, debug) == entryLength &&
          fputc('\n', debug) != EOF) {
        ++written;
      } else {
        failed = true;
        failure = errno;
      }
    }
    if (!failed && row != nullptr && rowLength != 0) {
      if (fwrite(row, 1, rowLength, debug) == rowLength &&
          fputc('\n', debug) != EOF) {
        ++written;
      } else {
        failed = true;
        failure = errno;
      }
    }
    lfUnlockDebugFile();
  }
  if (failed) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, DebugWriteErrMsg, Name(LogFileName), failure,
               ErrnoText(failure, eb, sizeof eb));
  } else if (written > 0) {
    WEX1_TRACE(wex1, WEX1_FLOW, DebugWrittenMsg, Name(LogFileName));
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, EventDetectedMsg, Name(LogFileName));
  }
}

void Log_File::lfLockDebugFile(char* name) {
  LockStepOrExit(pthread_mutex_lock(&lfDebugFileLock), DebugLockErrMsg, DebugLockMsg, Name(name));
}

void Log_File::lfUnlockDebugFile() {
  LockStepOrExit(pthread_mutex_unlock(&lfDebugFileLock), DebugUnlockErrMsg,
                 DebugUnlockMsg, nullptr);
}

void Log_File::lfPrintSelf() {
  lbPrintSelf();
  char thread[2 * sizeof(pthread_t) + 1];
  char lock[2 * sizeof(pthread_mutex_t) + 1];
  char debug_lock[2 * sizeof(pthread_mutex_t) + 1];
  xtoa(thread, &LogThread, sizeof LogThread);
  xtoa(lock, &LogLock, sizeof LogLock);
  xtoa(debug_lock, &lfDebugFileLock, sizeof lfDebugFileLock);
  char when[32] = "";
  const time_t started = MonitorStartStopTime;
  if (ctime_r(&started, when) == nullptr) {
    when[0] = '\0';
  }
  WEX1_Printf(wex1, PrintSelfMsg, static_cast<int>(RefreshMode), thread, lock,
              static_cast<void*>(LogFileP.get()), LogFD,
              static_cast<long>(LogEOF.load()),
              static_cast<int>(MonitorStatus.load()), CTIMELENGTH, when,
              static_cast<int>(NumEvents.load()),
              static_cast<int>(NumFormatErrors.load()),
              static_cast<long>(OptimumBlockSize.load()), debug_lock);
}
