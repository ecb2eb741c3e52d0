// Log_File: the monitored log's worker thread, its entries' rows and events,
// and what every kind shares.
#include "agent/kinds/log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/config/config_def.h"
#include "agent/config/log_manager_util.h"
#include "agent/config/valid_log.h"
#include "agent/follow/log_watch.h"
#include "agent/kinds/log_owner.h"
#include "agent/kinds/node_names.h"
#include "framework/events/event_sink.h"
#include "framework/runtime/trace.h"
#include "framework/tables/request.h"
#include "framework/tables/row_json.h"
#include "parser/entry_joiner.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/errno_text.h"
#include "util/monotonic_ms.h"
#include "util/process_wide.h"
#include "util/unique_fd.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

Posix_Mutex Log_File::lfDebugFileLock;
int64_t Log_File::sRECNUM = 0;

namespace {

// Adds to a counter that only the log's worker writes (other threads read
// it): a load and a store, not a locked read-modify-write per entry. The
// store releases, so that a thread that sees the new count sees what the
// worker did before it (an open descriptor, a status), as it did with the
// locked add.
void WorkerAdd(std::atomic<uint64_t>& counter, uint64_t n = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + n,
                std::memory_order_release);
}

// Status texts.
const char NotStartedMsg[] = "Not started";
const char StoppedMsg[] = "Stopped";
const char RunningMsg[] = "Running";
const char WaitingForDeliveryMsg[] = "Waiting for delivery";
// How often a log held back by the delivery window looks for room.
constexpr int DELIVERYPOLLMS = 100;
const char EntryCutMsg[] =
    "\nAn entry of log %s reached %zu lines or %zu bytes: the rest begins a new entry (%lu entries cut so far).";
const char LineCutMsg[] =
    "\nA line of log %s is longer than %zu bytes: its first %zu are kept (%lu lines cut so far; TVX_MAX_LINE sets the limit).";
const char NoMatchMsg[] = "Waiting: no file matches yet";
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
const char PollOnlyMsg[] = "\nWatching %s by the one-second check only: %s.";
const char WakeCreateErrMsg[] =
    "\nCannot create the wake-up counter for %s (errno = %d; %s); stops wait for the one-second check.";
const char ThreadStartedMsg[] =
    "\nThread successfully started for log file %s.";
const char ThreadEndMsg[] = "\nThread for log file %s terminating.";

// Watching the log.
const char OpenErrMsg[] = "\nError opening file %s.  errno = %d; %s";
const char WaitErrMsg[] =
    "\nError occurred while waiting for data for file %s; errno = %d; %s";
const char ReadErrMsg[] =
    "\nError occurred while reading file %s. errno = %d; %s";
const char ReserveMsg[] =
    "\nLog file %s not opened: %d descriptors are in use, and %d of the limit of %ld are kept "
    "for the control socket and the event outputs; %lu logs could not be opened so far.";
// Descriptors kept free below the open-file soft limit.
constexpr int DESCRIPTORRESERVE = 64;
const char HeldTracesMsg[] =
    "\n%lu more such messages for file %s were not traced in the last minute or more.";

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
    WEX1_TRACE(wex1, WEX1_FLOW, "%s", done);  // a message without fields
  }
}

}  // namespace

Log_File::Log_File(const Valid_Log& log, Log_File* anchor)
    : Log_Base(log),
      RefreshMode(0),
      LogThread(),
      LogLock(Posix_Mutex::kDeferred),
      LogFD(-1),
      LogEOF(-1),
      MonitorStatus(MONITOR_NOT_STARTED),
      MonitorStartStopTime(time(nullptr)),
      NumEvents(0),
      NumFormatErrors(0),
      OptimumBlockSize(0),
      LogThreadJoinable(false),
      LogWakeFD(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      LogPreOpened(log.PreOpened.release()),
      LogStartAt(log.LogReadFromStart ? File_Tail::START_AT_HEAD
                                      : File_Tail::START_AT_END),
      LogPositionKnown(false) {
  WEX1_Event ev(wex1, __func__);
  HeldLine.SetLongest(LongestLineSetting(nullptr));
  char eb[128];
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, MutexAttrInitErrMsg, Name(LogFileName), rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
  rc = LogLock.Init(&attr);
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
  } else {
    // Wake-up counters come after the logs themselves and the control
    // socket: near the open-file limit a log does without one (it is then
    // stopped within a wait interval instead of at once).
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(LogWakeFD.get()) + 2 * DESCRIPTORRESERVE >= limit.rlim_cur) {
      LogWakeFD.reset();
    }
  }
  lbAddToChain(anchor);
}

Log_File::~Log_File() {
  WEX1_Event ev(wex1, __func__);
  lbRemoveFromChain();
  const int rc = LogLock.Destroy();
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
  if (strcmp(Name(LogEntryStart), Name(log.LogEntryStart)) != 0 ||
      LogQuietMs != log.LogQuietMs) {
    // The worker joins lines under the rule it started with: it is started
    // again, and resumes where it stopped (its open entry delivered).
    lfStopThread();
    lbSetEntryRule(log.LogEntryStart, log.LogQuietMs);
    lfCompileReportRule();
    lfStartThread();
  } else if (MonitorStatus != MONITOR_RUNNING) {
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
  pthread_setname_np(pthread_self(), "qor-log");
  WEX1_TRACE(wex1, WEX1_FLOW, ThreadStartedMsg, Name(log->LogFileName));
  // Waits until lfStartThread has recorded the start.
  log->lfLockLog();
  log->lfUnlockLog();
  // The first start resumes where the last run of the agent left the log.
  Log_Position saved;
  Log_Owner* const owner = TheLogOwner();
  if (owner != nullptr && log->LogFileName != nullptr &&
      owner->Positions.Take(log->LogFileName, &saved)) {
    log->lfSetPosition(saved);
    // A kind may report the saved position until it has its own.
    log->lfPositionMoved();
  }
  log->lfProcessLogData();
  if (log->LogFileP != nullptr) {
    log->PrintSelf();
  }
  WEX1_TRACE(wex1, WEX1_FLOW, ThreadEndMsg, Name(log->LogFileName));
  log->MonitorStartStopTime = time(nullptr);
  return nullptr;
}

void Log_File::lfCompileReportRule() {
  std::shared_ptr<const RE2> start;
  if (LogEntryStart != nullptr &&
      (LogType == SYSLOGTYPE || LogType == USERLOGTYPE)) {
    std::string err;
    start = CompileRegex(LogEntryStart, &err);
  }
  std::atomic_store(&ReportEntryStart, std::move(start));
}

void Log_File::lfStartWorker() {
  lfCompileReportRule();
  if (WEX1_On(wex1, WEX1_FLOW)) {
    PrintSelf();
  }
  lfStartThread();
}

void Log_File::lfProcessLogData() {
  WEX1_Event ev(wex1, __func__);
  if (!lfOpenToWatch()) {
    return;
  }
  EntryJoiner.reset();
  if (LogEntryStart != nullptr &&
      (LogType == SYSLOGTYPE || LogType == USERLOGTYPE)) {
    // Checked as the configuration was read; a failure here is memory.
    std::string err;
    std::unique_ptr<RE2> start = CompileRegex(LogEntryStart, &err);
    if (start != nullptr) {
      EntryJoiner = std::make_unique<Entry_Joiner>(std::move(start));
    }
  }
  struct timeval interval;
  interval.tv_sec = 1;
  interval.tv_usec = 0;
  lfWaitForEventLoop(interval);
  if (LogPattern != nullptr && LogFD >= 0) {
    // A pattern's file that went away (or was renamed) ends its log: what
    // it still holds is read first.
    struct stat st;
    dev_t device;
    ino_t inode;
    if (stat(Name(LogFileName), &st) != 0 ||
        (lfTail().Identity(&device, &inode) &&
         (st.st_dev != device || st.st_ino != inode))) {
      lfTail().Budget() = INT64_MAX;
      lfReadLog();
      lfFlushHeldTail();
    }
  }
  lfFCloseLog();
}

bool Log_File::lfOpenToWatch() {
  lfFOpenLogAndSeek();
  return LogFileP != nullptr;
}

void Log_File::lfStartThread() {
  WEX1_Event ev(wex1, __func__);
  // A thread still unjoined would otherwise lose its handle. Only this
  // (the manager) thread writes the flag, so it reads it without the lock.
  if (lfThreadUnjoined()) {
    lfStopThread();
  }
  if (LogPattern != nullptr && LogFileName != nullptr &&
      strcmp(LogPattern, LogFileName) == 0) {
    // A pattern that matches nothing: no file to watch until one appears
    // (the log manager then makes a log of it).
    lfSetMonitorStatus(MONITOR_NO_MATCH);
    return;
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
  LockStepOrExit(LogLock.Lock(), MutexLockErrMsg, MutexLockMsg,
                 Name(LogFileName));
}

void Log_File::lfUnlockLog() {
  LockStepOrExit(LogLock.Unlock(), MutexUnlockErrMsg, MutexUnlockMsg,
                 Name(LogFileName));
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
      // A worker held up in handing over its events waits as well.
      text = WaitingForDelivery || Event_Sink::WindowFull()
                 ? WaitingForDeliveryMsg
                 : RunningMsg;
      break;
    case MONITOR_NO_MATCH:
      text = NoMatchMsg;
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

int Log_File::lfStatLog(int64_t* size, time_t* modified) {
  struct stat st;
  if (MonitorStatus == MONITOR_NO_MATCH) {
    *size = 0;  // a pattern that matches nothing: no file to stat
    *modified = 0;
    return 0;
  }
  if (stat(Name(LogFileName), &st) != 0) {
    return errno;
  }
  *size = st.st_size;
  *modified = st.st_mtime;
  return 0;
}

File_Tail& Log_File::lfTail() {
  if (LogTail == nullptr) {
    LogTail.reset(new File_Tail(
        Name(LogFileName),
        File_Tail::View{&LogFileP, &LogFD, &LogEOF, &HeldLine}, this));
    if (LogPattern != nullptr && LogFileName != nullptr &&
        strcmp(LogPattern, LogFileName) != 0) {
      LogTail->QuietWhenMissing();
    }
  }
  return *LogTail;
}

bool Log_File::lfTailFailed() {
  switch (lfTail().TakeFailure()) {
    case File_Tail::TAIL_OK:
      return false;
    case File_Tail::TAIL_ERR_OPEN:
      lfSetMonitorStatus(MONITOR_ERR_OPEN);
      break;
    case File_Tail::TAIL_ERR_READ:
      lfSetMonitorStatus(MONITOR_ERR_READ);
      break;
    case File_Tail::TAIL_ERR_REWIND:
      lfSetMonitorStatus(MONITOR_ERR_REWIND);
      break;
    case File_Tail::TAIL_ERR_SEEK_END:
      lfSetMonitorStatus(MONITOR_ERR_SEEK_END);
      break;
    case File_Tail::TAIL_ERR_SEEK_RESET:
      lfSetMonitorStatus(MONITOR_ERR_SEEK_RESET);
      break;
  }
  return true;
}

void Log_File::lfFOpenLogAndSeek() {
  lfFOpenLogAndSeek(OpenErrMsg);
}

void Log_File::lfFOpenLogAndSeek(const char* open_error) {
  WEX1_Event ev(wex1, __func__);
  File_Tail& tail = lfTail();
  const int rc = tail.Open(open_error, std::move(LogPreOpened));
  lfLockLog();
  const File_Tail::Start_At start = LogStartAt;
  const Log_Position resume = LogResume;
  if (rc == ENOENT && !tail.OpenedBefore() &&
      start == File_Tail::START_AT_END) {
    // Everything a file that appears later holds is new.
    LogStartAt = File_Tail::START_AT_HEAD;
  }
  lfUnlockLog();
  if (rc != 0) {
    lfTailFailed();
    return;
  }
  tail.Start(start, resume);
  lfTailFailed();
  lfPublishPosition();
}

void Log_File::lfFCloseLog() {
  WEX1_Event ev(wex1, __func__);
  if (LogTail != nullptr) {
    LogTail->FinishAll();
    lfTailFailed();
    lfEndJoinedEntry();
    dev_t device;
    ino_t inode;
    if (LogFD >= 0 && LogTail->Identity(&device, &inode)) {
      // The next start resumes here when the file is still the same.
      lfPublishPosition();
      Log_Position last;
      if (LogTail->Published(&last)) {
        lfLockLog();
        LogResume = last;
        LogStartAt = File_Tail::START_AT_POSITION;
        lfUnlockLog();
      }
    }
    LogTail->Close();
    return;
  }
  LogFileP.reset();
  LogFD = -1;
  LogEOF = -1;
  HeldLine.Clear();
}

void Log_File::lfPublishPosition() {
  Log_Position position;
  if (LogTail == nullptr || !LogTail->Publish(&position)) {
    return;
  }
  lfLockLog();
  LogPositionKnown = true;
  // The events of the entries read so far came from this thread.
  LogSavedPosition.Reached(position, Event_Sink::ThreadSequence());
  lfUnlockLog();
  lfPositionMoved();
}

void Log_File::lfPositionMoved() {
  if (Log_Owner* const owner = TheLogOwner()) {
    ++owner->PositionChanges;
  }
}

bool Log_File::lfGetPosition(Log_Position* position) {
  lfLockLog();
  bool known = LogSavedPosition.Get(position);
  // A saved position not taken up yet (the log could not be opened so far)
  // is kept for the next run until the log is open again.
  if (!known && !LogPositionKnown &&
      LogStartAt == File_Tail::START_AT_POSITION && !LogResume.path.empty()) {
    *position = LogResume;
    known = true;
  }
  lfUnlockLog();
  return known;
}

void Log_File::lfSetPosition(const Log_Position& position) {
  lfLockLog();
  LogResume = position;
  LogStartAt = File_Tail::START_AT_POSITION;
  lfUnlockLog();
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
  // Whether the file itself has a watch (it may not once it was replaced
  // and the watch limit is reached): said once each time it changes.
  bool fileWatched = watch.Handle() != 0;
  File_Tail& tail = lfTail();
  // The joiner's lines taken at the last look, and when they last grew.
  uint64_t joinedLines = 0;
  long long joinedAtMs = 0;
  while (MonitorStatus == MONITOR_RUNNING) {
    // The events not yet delivered fill the delivery window: the entries
    // wait in the log, read when it has room again.
    if (Event_Sink::WindowFull()) {
      WaitingForDelivery = true;
      // Rotations are followed meanwhile, the files held open unread.
      tail.FollowUnread();
      lfPublishPosition();
      // Woken as soon as a quarter of the window is free again: a fixed
      // pause would hold a fast log to a window's worth of entries a pause.
      Event_Sink::AwaitWindowRoom(DELIVERYPOLLMS);
      continue;
    }
    WaitingForDelivery = false;
    // Watch: a worker that slept through the safety check's looks at its
    // name had its file seen there by them.
    struct timespec looked = {};
    dev_t device;
    ino_t inode;
    if (tail.Identity(&device, &inode) && watch.Handle() != 0 &&
        !Log_Watch::Agent().NamedAt(watch.Handle(), device, inode, &looked)) {
      looked = timespec{};
    }
    // Tail pass: the rotated files first, their entries are older than the
    // new file's; the name is looked at before the current file is read, so
    // that what was written to the old file up to the rotation is read
    // before the new file is opened.
    PassStep = Event_Sink::PositionStep();
    PassEventsAt = Event_Sink::ThreadEvents();
    tail.BeginPass(looked);
    tail.ReadRotated();
    lfTailFailed();
    const bool replaced = tail.NameReplaced();
    if (MonitorStatus != MONITOR_RUNNING) {
      break;
    }
    int rc = tail.ReadCurrent();
    if (replaced && rc == 0) {
      rc = tail.FollowReplacement();
    }
    if (lfTailFailed() || rc != 0) {
      break;
    }
    // Publish, then wait.
    lfPublishPosition();
    if (watch.Handle() != 0) {
      const bool watched =
          Log_Watch::Agent().FileWatched(watch.Handle(), why, sizeof why);
      if (watched != fileWatched) {
        fileWatched = watched;
        if (watched) {
          WEX1_TRACE(wex1, WEX1_FLOW, WatchingMsg, Name(LogFileName));
        } else {
          WEX1_TRACE(wex1, WEX1_FLOW, PollOnlyMsg, Name(LogFileName), why);
        }
      }
    }
    // Behind change events the worker sleeps until it is woken: the watch's
    // safety check looks at the name for it, so that a thousand idle logs
    // cost next to nothing. It looks itself every interval while its file
    // has no watch, while the name is a directory, and while a rotated file
    // (which has no watch) is still read. A pass that did not read all
    // there is goes on at once.
    const bool sleeps = fileWatched && !tail.NeedsLooking();
    int timeoutMs = -1;
    if (tail.PassCut()) {
      timeoutMs = 0;
    } else if (!sleeps) {
      timeoutMs =
          static_cast<int>(interval.tv_sec * 1000 + interval.tv_usec / 1000);
    }
    if (EntryJoiner != nullptr && EntryJoiner->Pending()) {
      // An entry of several lines ends after the rule's quiet time.
      const long long now = MonotonicMs();
      if (EntryJoiner->Taken() != joinedLines) {
        joinedLines = EntryJoiner->Taken();
        joinedAtMs = now;
      }
      const long long left = joinedAtMs + LogQuietMs - now;
      if (left <= 0) {
        lfEndJoinedEntry();
      } else if (timeoutMs < 0 || left < timeoutMs) {
        timeoutMs = static_cast<int>(left);
      }
    }
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
  WaitingForDelivery = false;
  tail.Budget() = INT64_MAX;
  lfPublishPosition();
}

namespace {

// Where Line_Splitter hands the lines and NUL runs of one log.
struct Entry_Sink {
  Log_File* log;
  const Line_Splitter* lines;
  void Line(char* entry, size_t length) {
    log->lfTakeLine(entry, length, lines->LineCut());
  }
  // Not an entry: counted once as one that did not format. An entry being
  // joined ends before it, so that the lines it holds lie next to each
  // other in the file.
  void NulRun() {
    log->lfEndJoinedEntry();
    WorkerAdd(log->NumEvents);
    WorkerAdd(log->NumFormatErrors);
  }
};

// Bytes asked of one read(2) while monitoring: a few hundred lines per call
// in a burst; a worker's stack holds the block, but only what a read fills
// of it is ever touched.
constexpr size_t READBLOCKSIZE = 32 * 1024;
// The same while positions are published in steps (PassStep).
constexpr size_t READSTEPSIZE = 8 * 1024;

}  // namespace

long Log_File::lfReadLog() {
  WEX1_Event ev(wex1, __func__);
  // One byte more than is read: the splitter ends lines in place.
  char block[READBLOCKSIZE + 1];
  Entry_Sink sink{this, &HeldLine};
  // The events of the pass reach the event writer together at its end.
  const Event_Wake_Deferral deferral;
  // The tail's budget for the pass; none for a read outside one.
  int64_t unlimited = INT64_MAX;
  int64_t& budget = LogTail != nullptr ? LogTail->Budget() : unlimited;
  // Cut into steps of an acknowledging output's position step: smaller
  // reads, so that a step ends within a few hundred entries of its count.
  const size_t ask = PassStep != 0 ? READSTEPSIZE : READBLOCKSIZE;
  size_t burst = 0;  // bytes read in whole blocks since the last yield
  while (budget > 0) {
    const ssize_t n = read(LogFD, block, ask);
    if (n == 0) {
      return ev.Result(0);
    }
    if (n < 0) {
      const int e = errno;
      if (e == EINTR) {
        continue;
      }
      lfTraceReadError(ReadErrMsg, e);
      return ev.Result(-1);
    }
    budget -= n;
    const bool nul_tail = block[n - 1] == '\0';
    NumBytesRead.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    ReadSeconds = Repeat_Limiter::Now();
    HeldLine.Feed(block, static_cast<size_t>(n), sink);
    ReadSeconds = -1;
    if (nul_tail) {
      lfSkipHole();
    }
    // A whole block read: a burst. The rest of it can wait a moment, every
    // READBLOCKSIZE bytes, for the other logs' workers and the event
    // writer, which otherwise wait for this one's time slice on a busy host
    // (a few milliseconds behind a burst instead of a fraction of one).
    if (static_cast<size_t>(n) == ask && (burst += ask) >= READBLOCKSIZE) {
      burst = 0;
      sched_yield();
    }
    // A pass (never a read to the end) that published a step's events ends
    // here: its position is published and the next pass follows at once.
    if (PassStep != 0 && budget <= PASSBYTES &&
        Event_Sink::ThreadEvents() - PassEventsAt >= PassStep) {
      budget = 0;
    }
  }
  return ev.Result(0);
}

void Log_File::lfSkipHole() {
  // A hole reads as NULs, which the splitter drops as one run: passing
  // over it costs no read, however large it is.
  const off_t at = lseek(LogFD, 0, SEEK_CUR);
  struct stat st;
  if (at < 0 || fstat(LogFD, &st) != 0) {
    return;
  }
  if (lseek(LogFD, at, SEEK_DATA) >= 0) {
    return;  // at the next data, or still at `at` when that is data
  }
  // No data from `at` to the size measured before: the hole runs to the
  // end (what is appended meanwhile lands beyond that size). A file system
  // that knows no holes leaves the offset where it was.
  if (errno == ENXIO && st.st_size > at) {
    lseek(LogFD, st.st_size, SEEK_SET);
  }
}

void Log_File::lfFlushHeldTail() {
  Entry_Sink sink{this, &HeldLine};
  HeldLine.Flush(sink);
  lfEndJoinedEntry();
}

static_assert(MAXRECSIZE <= JOINEDLINESIZE,
              "a joined entry's first line holds a whole line");

namespace {

// Where Entry_Joiner hands the entries of one log.
struct Joined_Sink {
  Log_File* log;
  const Entry_Joiner* joiner;
  void Entry(char* first, size_t first_length, const char* whole,
             size_t whole_length) {
    log->lfHandleEntry(first, static_cast<unsigned>(first_length), whole,
                       whole_length, joiner->EntryHasCutLine());
  }
};

}  // namespace

void Log_File::lfTakeLine(char* line, size_t length, bool cut) {
  if (cut) {
    const uint64_t all =
        NumLinesCut.fetch_add(1, std::memory_order_relaxed) + 1;
    const long long now =
        ReadSeconds >= 0 ? ReadSeconds : Repeat_Limiter::Now();
    if (LineCutTraces.Due(now)) {
      LineCutTraces.Traced(now);
      WEX1_TRACE(wex1, WEX1_ERROR, LineCutMsg, Name(LogFileName),
                 HeldLine.Longest(), HeldLine.Longest(),
                 static_cast<unsigned long>(all));
    }
  }
  if (EntryJoiner == nullptr) {
    lfHandleEntry(line, static_cast<unsigned>(length), nullptr, 0, cut);
    return;
  }
  lfJoinLine(line, length, cut);
}

void Log_File::lfJoinLine(char* line, size_t length, bool cut_line) {
  Joined_Sink sink{this, EntryJoiner.get()};
  const uint64_t cut = EntryJoiner->Cut();
  EntryJoiner->Line(line, length, sink, cut_line);
  if (EntryJoiner->Cut() != cut) {
    const uint64_t all = ++NumEntriesCut;
    const long long now = Repeat_Limiter::Now();
    if (EntryCutTraces.Due(now)) {
      EntryCutTraces.Traced(now);
      WEX1_TRACE(wex1, WEX1_ERROR, EntryCutMsg, Name(LogFileName),
                 MAXENTRYLINES, MAXENTRYBYTES, static_cast<unsigned long>(all));
    }
  }
}

uint64_t Log_File::TailPending() const {
  return EntryJoiner != nullptr ? EntryJoiner->PendingBytes() : 0;
}

void Log_File::lfEndJoinedEntry() {
  if (EntryJoiner != nullptr) {
    Joined_Sink sink{this, EntryJoiner.get()};
    EntryJoiner->Flush(sink);
  }
}

void Log_File::lfTraceReadError(const char* format, int e) {
  const long long now = Repeat_Limiter::Now();
  if (!ReadErrorTraces.Due(now)) {
    ReadErrorTraces.Held(1);
    return;
  }
  char eb[128];
  WEX1_TRACE(wex1, WEX1_ERROR, format, Name(LogFileName), e,
             ErrnoText(e, eb, sizeof eb));
  if (const unsigned long held = ReadErrorTraces.Traced(now)) {
    WEX1_TRACE(wex1, WEX1_ERROR, HeldTracesMsg, held, Name(LogFileName));
  }
}

bool Log_File::lfWithinDescriptorReserve(int fd) {
  struct rlimit limit;
  if (fd < 0 || getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      static_cast<rlim_t>(fd) + DESCRIPTORRESERVE < limit.rlim_cur) {
    return true;
  }
  // All logs together: one message for the lot, not one per log.
  struct Refusals {
    Posix_Mutex mu;
    Repeat_Limiter traces GUARDED_BY(mu);
    unsigned long count GUARDED_BY(mu) = 0;
  };
  // Never destroyed: workers may still refuse at exit.
  Refusals* const all = &ProcessWide<Refusals>();
  Posix_Mutex::Hold hold(&all->mu);
  const unsigned long refused = ++all->count;
  const long long now = Repeat_Limiter::Now();
  if (all->traces.Due(now)) {
    all->traces.Traced(now);
    // Descriptors are handed out lowest first: `fd` is about the number
    // in use.
    WEX1_TRACE(wex1, WEX1_ERROR, ReserveMsg, Name(LogFileName), fd + 1, DESCRIPTORRESERVE,
               static_cast<long>(limit.rlim_cur), refused);
  }
  return false;
}

void Log_File::lfHandleEntry(char* entry, unsigned length, const char* whole,
                             size_t whole_length, bool cut) {
  tvx_vxlogent_data_t& row = EntryRow;
  WorkerAdd(NumEvents);
  // Whatever the kind traces about an entry that does not format is held
  // back, and counted, while such a message was traced less than a minute
  // ago: one writer of the log must not fill the trace's disk.
  const long long now = ReadSeconds >= 0 ? ReadSeconds : Repeat_Limiter::Now();
  LastEntrySeconds.store(now, std::memory_order_relaxed);
  const bool due = FormatErrorTraces.Due(now);
  long rc = 0;
  unsigned long held = 0;
  {
    WEX1_Quiet quiet(!due);
    rc = lfFormatMonitoredEntry(entry, length, &row);
    held = quiet.Held();
  }
  if (!due) {
    FormatErrorTraces.Held(held);
  }
  if (rc != 0) {
    WorkerAdd(NumFormatErrors);
    const unsigned long before = due ? FormatErrorTraces.Traced(now) : 0;
    if (before != 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, HeldTracesMsg, before, Name(LogFileName));
    }
    lfWriteToDebugLog(entry, length, nullptr, 0);
  } else {
    WorkerAdd(NumRows);
    const uint64_t before = vandu::ThreadEventsDispatched();
    // The whole entry beside its row: the columns cut long entries.
    Row_Side_Text::Text text;
    if (whole != nullptr) {
      text = {whole, whole_length};
    } else if (LogType != ADMINLOGTYPE) {
      size_t n = length;
      while (n > 0 && (entry[n - 1] == '\n' || entry[n - 1] == '\r')) {
        --n;
      }
      text = {entry, n};
    } else {
      // A login record is binary: its text is what the row says of it.
      size_t n = sizeof row.entrydesc;
      while (n > 0 &&
             (row.entrydesc[n - 1] == ' ' || row.entrydesc[n - 1] == '\0')) {
        --n;
      }
      text = {row.entrydesc, n};
    }
    text.cut = cut;
    const Row_Side_Text side(reinterpret_cast<const char*>(&row), sizeof row, 1,
                             &text);
    tvx_vxlogent_manager::EventArrived(&row, 1);
    WorkerAdd(NumEventsRaised, vandu::ThreadEventsDispatched() - before);
    lfWriteToDebugLog(entry, length, &row, sizeof row);
  }
}

void Log_File::lfFillCommonColumns(tvx_vxlogent_data_t* row) {
  lfFillLogColumns(row);
  GenerateTimestamp(time(nullptr), row->timestamp);
}

void Log_File::lfFillLogColumns(tvx_vxlogent_data_t* row) const {
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
}

void Log_File::lfWriteToDebugLog(void* entry, unsigned entryLength, void* row,
                                 unsigned rowLength) {
  Log_Owner* const owner = TheLogOwner();
  FILE* const debug = owner != nullptr ? owner->DebugLogP.load() : nullptr;
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
  LockStepOrExit(lfDebugFileLock.Lock(), DebugLockErrMsg, DebugLockMsg,
                 Name(name));
}

void Log_File::lfUnlockDebugFile() {
  LockStepOrExit(lfDebugFileLock.Unlock(), DebugUnlockErrMsg, DebugUnlockMsg,
                 nullptr);
}

void Log_File::lfPrintSelf() {
  lbPrintSelf();
  char thread[2 * sizeof(pthread_t) + 1];
  char lock[2 * sizeof(pthread_mutex_t) + 1];
  char debug_lock[2 * sizeof(pthread_mutex_t) + 1];
  xtoa(thread, &LogThread, sizeof LogThread);
  xtoa(lock, LogLock.native(), sizeof(pthread_mutex_t));
  xtoa(debug_lock, lfDebugFileLock.native(), sizeof(pthread_mutex_t));
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
