#include "agent/log_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/config_def.h"
#include "agent/log_manager.h"
#include "agent/log_manager_util.h"
#include "agent/log_watch.h"
#include "agent/tvxmain.h"
#include "agent/valid_log.h"
#include "framework/event_sink.h"
#include "framework/vandu.h"
#include "framework/row_json.h"
#include "framework/wex1.h"
#include "parser/entry_joiner.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/errno_text.h"
#include "util/unique_fd.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

Posix_Mutex Log_File::lfDebugFileLock;
int64_t Log_File::sRECNUM = 0;

namespace {

// Status texts.
const char NotStartedMsg[] = "Not started";
const char StoppedMsg[] = "Stopped";
const char RunningMsg[] = "Running";
const char WaitingForDeliveryMsg[] = "Waiting for delivery";
// How often a log held back by the delivery window looks for room.
constexpr int DELIVERYPOLLMS = 100;
const char EntryCutMsg[] =
    "\nAn entry of log %s reached %zu lines or %zu bytes: the rest begins a new entry (%lu entries cut so far).";
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
const char PollOnlyMsg[] =
    "\nWatching %s by the one-second check only: %s.";
const char NameIsDirectoryMsg[] =
    "\nLog %s was replaced by a directory; the old file is still read and the name is looked at every second.";
const char WakeCreateErrMsg[] =
    "\nCannot create the wake-up counter for %s (errno = %d; %s); stops wait for the one-second check.";
const char ThreadStartedMsg[] =
    "\nThread successfully started for log file %s.";
const char ThreadEndMsg[] = "\nThread for log file %s terminating.";

// Watching the log.
const char OpenErrMsg[] = "\nError opening file %s.  errno = %d; %s";
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
const char NotRegularMsg[] =
    "\nError opening file %s: not a regular file; it is not read.";
const char SymlinkRefusedMsg[] =
    "\nError opening file %s: the log was replaced by a symbolic link in a directory others than root may write; it is not followed.";
const char OwnerRefusedMsg[] =
    "\nError opening file %s: the log was replaced by a file of user %ld, not of user %ld as before; it is not read.";
const char RotatedAwayMsg[] =
    "\nLog file %s was rotated to %s meanwhile; reading it on from offset %ld first.";
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
      LogDevice(0),
      LogInode(0),
      LogOwner(0),
      LogIdentityKnown(false),
      LogReadLogsNext(0),
      LogPassBytes(INT64_MAX),
      LogSeenAt(),
      LogNameIsDirectory(false),
      LogStartAt(log.LogReadFromStart ? START_AT_HEAD : START_AT_END),
      LogOpenedBefore(false),
      LogPositionKnown(false) {
  WEX1_Event ev(wex1, __func__);
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
  WEX1_TRACE(wex1, WEX1_FLOW, ThreadStartedMsg, Name(log->LogFileName));
  // Waits until lfStartThread has recorded the start.
  log->lfLockLog();
  log->lfUnlockLog();
  // The first start resumes where the last run of the agent left the log.
  Log_Position saved;
  if (pTheLogManager != nullptr && log->LogFileName != nullptr &&
      pTheLogManager->Positions.Take(log->LogFileName, &saved)) {
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
    if (stat(Name(LogFileName), &st) != 0 ||
        (LogIdentityKnown &&
         (st.st_dev != LogDevice || st.st_ino != LogInode))) {
      LogPassBytes = INT64_MAX;
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
      text = WaitingForDelivery ? WaitingForDeliveryMsg : RunningMsg;
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

namespace {

// Monotonic seconds, for the rotated file's grace time.
time_t MonotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

// Monotonic milliseconds, for the quiet time of a multiline entry.
long long MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The coarse real-time clock, the one the kernel stamps files with: a file
// created after this call never has an earlier birth time.
struct statx_timestamp CoarseNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  struct statx_timestamp t = {};
  t.tv_sec = now.tv_sec;
  t.tv_nsec = static_cast<uint32_t>(now.tv_nsec);
  return t;
}

bool Earlier(const struct statx_timestamp& a, const struct statx_timestamp& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// When a file was born, or last modified where the file system keeps no
// birth time (a file with content was written after it was born).
struct statx_timestamp BornOrModified(const struct statx& st) {
  return (st.stx_mask & STATX_BTIME) != 0 ? st.stx_btime : st.stx_mtime;
}

// Names that rotation gives a compressed copy: their bytes are no log text.
bool CompressedName(const char* name) {
  static const char* const kSuffixes[] = {
      ".gz", ".bz2", ".xz", ".zst", ".lz4", ".lzma", ".Z", ".zip", ".lzo"};
  const size_t n = strlen(name);
  for (const char* suffix : kSuffixes) {
    const size_t k = strlen(suffix);
    if (n > k && strcmp(name + n - k, suffix) == 0) {
      return true;
    }
  }
  return false;
}

// The directory that holds `path`.
std::string DirectoryOf(const char* path) {
  const char* const slash = strrchr(path, '/');
  return slash == nullptr ? "."
                          : (slash == path ? "/" : std::string(path, slash));
}

// Whether someone other than root may create or rename entries in the
// directory that holds `path`, and so plant a symlink under the log's name.
// A sticky directory protects entries root owns: `sticky` tells the caller.
bool DirectoryWritableByOthers(const char* path, bool* sticky) {
  const std::string dir = DirectoryOf(path);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    *sticky = false;
    return true;
  }
  *sticky = (st.st_mode & S_ISVTX) != 0;
  return (st.st_uid != 0 && (st.st_mode & S_IWUSR) != 0) ||
         (st.st_gid != 0 && (st.st_mode & S_IWGRP) != 0) ||
         (st.st_mode & S_IWOTH) != 0;
}

}  // namespace

int Log_File::lfSafeOpenFlags(bool replacement, const char* named) {
  const char* const path = named != nullptr ? named : Name(LogFileName);
  // Non-blocking, so that a FIFO put in the log's place cannot hold the
  // worker in open or read; close-on-exec, as the error-report kind forks.
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  bool sticky = false;
  if (replacement && DirectoryWritableByOthers(path, &sticky)) {
    // A symlink planted by whoever may write the directory could point at
    // any file root can read. Root's own link in a sticky directory cannot
    // be swapped by others and is followed.
    struct stat link;
    const bool roots_link = sticky && lstat(path, &link) == 0 &&
                            S_ISLNK(link.st_mode) && link.st_uid == 0;
    if (!roots_link) {
      flags |= O_NOFOLLOW;
    }
  }
  return flags;
}

int Log_File::lfOpenLogFile(bool replacement, const char* open_error,
                            _OpenLog* open_log, _MonitorStatus* status) {
  char eb[128];
  const char* const path = Name(LogFileName);
  *status = MONITOR_ERR_OPEN;
  const int flags = lfSafeOpenFlags(replacement);
  Unique_Fd fd(open(path, flags));
  if (!fd.valid()) {
    const int e = errno;
    if (e == ELOOP && (flags & O_NOFOLLOW) != 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, SymlinkRefusedMsg, path);
    } else if (e != ENOENT || !replacement) {
      WEX1_TRACE(wex1, WEX1_ERROR, open_error, path, e,
                 ErrnoText(e, eb, sizeof eb));
    }
    return e;
  }
  if (!lfWithinDescriptorReserve(fd.get())) {
    return EMFILE;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, OpenErrMsg, path, e,
               ErrnoText(e, eb, sizeof eb));
    return e;
  }
  if (!S_ISREG(st.st_mode)) {
    WEX1_TRACE(wex1, WEX1_ERROR, NotRegularMsg, path);
    return EINVAL;
  }
  const bool same = LogOpenedBefore && st.st_dev == LogDevice &&
                    st.st_ino == LogInode;
  if (replacement && !same && st.st_uid != LogOwner) {
    WEX1_TRACE(wex1, WEX1_ERROR, OwnerRefusedMsg, path,
               static_cast<long>(st.st_uid), static_cast<long>(LogOwner));
    return EPERM;
  }
  Head_Copy head;
  if (!ReadHeadCopy(fd.get(), &head)) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, ReadErrMsg, path, e,
               ErrnoText(e, eb, sizeof eb));
    *status = MONITOR_ERR_READ;
    return e;
  }
  FILE* const stream = fdopen(fd.get(), "r");
  if (stream == nullptr) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, OpenErrMsg, path, e,
               ErrnoText(e, eb, sizeof eb));
    return e;
  }
  open_log->fd = fd.release();
  open_log->stream.reset(stream);
  open_log->eof = st.st_size;
  open_log->device = st.st_dev;
  open_log->inode = st.st_ino;
  open_log->owner = st.st_uid;
  open_log->head = head;
  open_log->identity_known = true;
  return 0;
}

std::unique_ptr<Log_File::_RotatedLog> Log_File::lfFindRotatedFile(
    uint64_t device, uint64_t inode, const Head_Fingerprint& head,
    int64_t offset, std::string* name) {
  DIR* const listing = opendir(DirectoryOf(Name(LogFileName)).c_str());
  if (listing == nullptr) {
    return nullptr;
  }
  // Rotation keeps a file in its directory under another name; a bounded
  // look, as a directory may hold many files.
  int looked = 0;
  std::unique_ptr<_RotatedLog> found;
  while (const struct dirent* entry = readdir(listing)) {
    if (++looked > 100000) {
      break;
    }
    if (static_cast<uint64_t>(entry->d_ino) != inode) {
      continue;
    }
    auto rotated = lfOpenRotated(dirfd(listing), entry->d_name);
    if (rotated == nullptr ||
        static_cast<uint64_t>(rotated->open.device) != device ||
        static_cast<uint64_t>(rotated->open.inode) != inode ||
        rotated->open.eof < offset ||
        !HeadStillMatches(rotated->open.fd, head)) {
      continue;
    }
    rotated->open.eof = static_cast<off_t>(offset);
    found = std::move(rotated);
    *name = entry->d_name;
    break;
  }
  closedir(listing);
  return found;
}

bool Log_File::lfReadingFile(uint64_t device, uint64_t inode) const {
  bool reading = LogIdentityKnown &&
                 static_cast<uint64_t>(LogDevice) == device &&
                 static_cast<uint64_t>(LogInode) == inode;
  for (const auto& rotated : LogRotated) {
    reading =
        reading || (static_cast<uint64_t>(rotated->open.device) == device &&
                    static_cast<uint64_t>(rotated->open.inode) == inode);
  }
  return reading;
}

void Log_File::lfRestoreRotatedLogs(
    const std::vector<Rotated_Position>& saved) {
  const char* const path = Name(LogFileName);
  for (const Rotated_Position& r : saved) {
    if (LogRotated.size() >= MAXROTATEDLOGS) {
      break;
    }
    if (r.inode == 0 || lfReadingFile(r.device, r.inode)) {
      continue;
    }
    std::string name;
    auto rotated =
        lfFindRotatedFile(r.device, r.inode, r.head, r.offset, &name);
    if (rotated == nullptr) {
      continue;  // removed meanwhile (or compressed): nothing to read
    }
    WEX1_TRACE(wex1, WEX1_FLOW, RotatedAwayMsg, path, name.c_str(),
               static_cast<long>(r.offset));
    LogRotated.push_back(std::move(rotated));
  }
}

void Log_File::lfFindRotatedLog(const Log_Position& resume) {
  if (resume.inode == 0 || LogRotated.size() >= MAXROTATEDLOGS ||
      lfReadingFile(resume.device, resume.inode)) {
    return;
  }
  const char* const path = Name(LogFileName);
  std::string found_name;
  std::unique_ptr<_RotatedLog> found = lfFindRotatedFile(
      resume.device, resume.inode, resume.head, resume.offset, &found_name);
  if (found == nullptr) {
    return;
  }
  WEX1_TRACE(wex1, WEX1_FLOW, RotatedAwayMsg, path, found_name.c_str(),
             static_cast<long>(resume.offset));
  // The files that took its place were born after it.
  struct statx stx;
  const bool born = statx(found->open.fd, "", AT_EMPTY_PATH,
                          STATX_BTIME | STATX_MTIME, &stx) == 0;
  LogRotated.push_back(std::move(found));
  if (born) {
    struct statx_timestamp after = BornOrModified(stx);
    if (++after.tv_nsec >= 1000000000) {
      after.tv_nsec = 0;
      ++after.tv_sec;
    }
    lfFindSkippedLogs(after);
  }
}

void Log_File::lfFindSkippedLogs(const struct statx_timestamp& after) {
  struct statx current;
  if (!LogIdentityKnown || statx(LogFD, "", AT_EMPTY_PATH,
                                 STATX_BTIME | STATX_MTIME, &current) != 0) {
    return;
  }
  const bool current_born = (current.stx_mask & STATX_BTIME) != 0;
  const char* const path = Name(LogFileName);
  const char* const slash = strrchr(path, '/');
  const char* const base = slash == nullptr ? path : slash + 1;
  const size_t base_length = strlen(base);
  DIR* const listing = opendir(DirectoryOf(path).c_str());
  if (listing == nullptr) {
    return;
  }
  struct Candidate {
    std::string name;
    struct statx_timestamp born;
  };
  std::vector<Candidate> candidates;
  int looked = 0;
  while (const struct dirent* entry = readdir(listing)) {
    if (++looked > 100000) {
      break;
    }
    const char* const name = entry->d_name;
    if (strncmp(name, base, base_length) != 0 || name[base_length] == '\0' ||
        CompressedName(name)) {
      continue;
    }
    struct statx st;
    if (statx(dirfd(listing), name, AT_SYMLINK_NOFOLLOW,
              STATX_TYPE | STATX_INO | STATX_SIZE | STATX_BTIME | STATX_MTIME,
              &st) != 0 ||
        !S_ISREG(st.stx_mode) || st.stx_size == 0) {
      continue;
    }
    const struct statx_timestamp born = BornOrModified(st);
    // Born before the last file seen under the name left it, or after the
    // file there now: not one that came and went in between (the clock
    // that stamps files is coarse: one born in the same tick as the
    // current file may be).
    if (Earlier(born, after) ||
        (current_born && (st.stx_mask & STATX_BTIME) != 0 &&
         Earlier(current.stx_btime, born))) {
      continue;
    }
    const dev_t device = makedev(st.stx_dev_major, st.stx_dev_minor);
    bool open_now = device == LogDevice && st.stx_ino == LogInode;
    for (const auto& rotated : LogRotated) {
      open_now = open_now || (device == rotated->open.device &&
                              st.stx_ino == rotated->open.inode);
    }
    if (!open_now) {
      candidates.push_back(Candidate{name, born});
    }
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) {
              return Earlier(a.born, b.born);
            });
  for (const Candidate& candidate : candidates) {
    auto rotated = lfOpenRotated(dirfd(listing), candidate.name.c_str());
    // Another user's file is not taken for the log's, as when it replaces
    // the log.
    if (rotated == nullptr || rotated->open.owner != LogOwner ||
        !lfWithinDescriptorReserve(rotated->open.fd)) {
      continue;
    }
    // Read before: the same file, or a copy of one (a copy-truncate's
    // copy begins with the bytes the emptied log began with).
    bool read_before = false;
    for (const _ReadLog& done : LogReadLogs) {
      const bool same_file = done.inode == rotated->open.inode &&
                             done.device == rotated->open.device;
      read_before = read_before ||
                    ((same_file ? done.head.length > 0
                                : done.head.length == HEADFINGERPRINTBYTES) &&
                     HeadStillMatches(rotated->open.fd, done.head));
    }
    if (read_before) {
      continue;
    }
    rotated->open.eof = 0;
    WEX1_TRACE(wex1, WEX1_FLOW, RotatedAwayMsg, path, candidate.name.c_str(),
               0L);
    if (LogRotated.size() >= MAXROTATEDLOGS) {
      lfFinishRotated(0, true);
    }
    LogRotated.push_back(std::move(rotated));
  }
  closedir(listing);
}

std::unique_ptr<Log_File::_RotatedLog> Log_File::lfOpenRotated(
    int dir, const char* name) {
  Unique_Fd fd(openat(
      dir, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  struct stat st;
  std::unique_ptr<_RotatedLog> rotated(new (std::nothrow) _RotatedLog);
  if (!fd.valid() || rotated == nullptr || fstat(fd.get(), &st) != 0 ||
      !S_ISREG(st.st_mode) || !ReadHeadCopy(fd.get(), &rotated->open.head)) {
    return nullptr;
  }
  FILE* const stream = fdopen(fd.get(), "r");
  if (stream == nullptr) {
    return nullptr;
  }
  rotated->open.fd = fd.release();
  rotated->open.stream.reset(stream);
  rotated->open.eof = st.st_size;
  rotated->open.device = st.st_dev;
  rotated->open.inode = st.st_ino;
  rotated->open.owner = st.st_uid;
  rotated->open.identity_known = true;
  rotated->open.idle_since = MonotonicSeconds();
  return rotated;
}

void Log_File::lfRememberRead() {
  _ReadLog& done = LogReadLogs[LogReadLogsNext++ % MAXREADLOGS];
  done.device = LogDevice;
  done.inode = LogInode;
  done.head = FingerprintOf(LogHead);
}

void Log_File::lfKeepRotated() {
  if (LogRotated.size() >= MAXROTATEDLOGS) {
    lfFinishRotated(0, true);
  }
  std::unique_ptr<_RotatedLog> rotated(new (std::nothrow) _RotatedLog);
  if (rotated == nullptr) {
    // Out of memory: the old file is left with what was read of it.
    lfTraceMemoryFailure(sizeof(_RotatedLog));
    lfLeaveFile();
    return;
  }
  lfSwapOpenLog(&rotated->open, &rotated->held);
  rotated->open.idle_since = MonotonicSeconds();
  LogRotated.push_back(std::move(rotated));
}

void Log_File::lfFinishRotated(size_t index, bool read_rest) {
  _RotatedLog& rotated = *LogRotated[index];
  lfSwapOpenLog(&rotated.open, &rotated.held);
  if (read_rest) {
    const int64_t budget = LogPassBytes;
    LogPassBytes = INT64_MAX;
    lfReadAppended();
    LogPassBytes = budget;
  }
  lfLeaveFile();
  lfRememberRead();
  lfSwapOpenLog(&rotated.open, &rotated.held);
  LogRotated.erase(LogRotated.begin() + static_cast<std::ptrdiff_t>(index));
}

void Log_File::lfSwapOpenLog(_OpenLog* other, Line_Splitter* other_held) {
  // An entry does not go on from one file into another.
  lfEndJoinedEntry();
  LogFileP.swap(other->stream);
  std::swap(LogFD, other->fd);
  other->eof = LogEOF.exchange(other->eof);
  std::swap(LogDevice, other->device);
  std::swap(LogInode, other->inode);
  std::swap(LogOwner, other->owner);
  std::swap(LogHead, other->head);
  std::swap(LogIdentityKnown, other->identity_known);
  if (other_held != nullptr) {
    HeldLine.Swap(other_held);
  }
}

void Log_File::lfLeaveFile() {
  lfFlushHeldTail();
}

void Log_File::lfFOpenLogAndSeek() {
  lfFOpenLogAndSeek(OpenErrMsg);
}

void Log_File::lfFOpenLogAndSeek(const char* open_error) {
  WEX1_Event ev(wex1, __func__);
  // After a run that read a file, a path that now names another file is a
  // replacement, opened with the care that asks for.
  bool replacement = false;
  if (LogOpenedBefore) {
    struct stat st;
    replacement = stat(Name(LogFileName), &st) != 0 ||
                  st.st_dev != LogDevice || st.st_ino != LogInode;
  }
  _OpenLog opened;
  _MonitorStatus status = MONITOR_ERR_OPEN;
  const struct statx_timestamp seen = CoarseNow();
  const int rc = lfOpenLogFile(replacement, open_error, &opened, &status);
  lfLockLog();
  const _StartAt start = LogStartAt;
  const Log_Position resume = LogResume;
  if (rc == ENOENT && !LogOpenedBefore && start == START_AT_END) {
    // Everything a file that appears later holds is new.
    LogStartAt = START_AT_HEAD;
  }
  lfUnlockLog();
  if (rc != 0) {
    lfSetMonitorStatus(status);
    return;
  }
  const off_t size = opened.eof;
  off_t eof = size;
  bool replaced = false;
  if (start == START_AT_HEAD) {
    eof = 0;
  } else if (start == START_AT_POSITION) {
    const bool same = resume.device == static_cast<uint64_t>(opened.device) &&
                      resume.inode == static_cast<uint64_t>(opened.inode) &&
                      resume.offset <= size &&
                      HeadStillMatches(opened.fd, resume.head);
    if (same) {
      eof = static_cast<off_t>(resume.offset);
    } else {
      WEX1_TRACE(wex1, WEX1_FLOW, ReplacedMsg, Name(LogFileName));
      eof = 0;
      replaced = true;
    }
  }
  opened.eof = eof;
  lfSwapOpenLog(&opened, nullptr);
  LogOpenedBefore = true;
  LogSeenAt = seen;
  if (start == START_AT_POSITION) {
    // The files it was rotated to that were still read are read on first,
    // oldest first, from where they were left.
    lfRestoreRotatedLogs(resume.rotated);
  }
  if (replaced) {
    lfFindRotatedLog(resume);
  }
  lfPublishPosition();
}

void Log_File::lfFCloseLog() {
  WEX1_Event ev(wex1, __func__);
  // No position is kept for a rotated file: it is read to its end now.
  LogPassBytes = INT64_MAX;
  while (!LogRotated.empty()) {
    lfFinishRotated(0, true);
  }
  lfEndJoinedEntry();
  if (LogFD >= 0 && LogIdentityKnown) {
    // The next start resumes here when the file is still the same.
    lfPublishPosition();
    lfLockLog();
    LogResume = LogPosition;
    LogStartAt = START_AT_POSITION;
    lfUnlockLog();
  }
  LogFileP.reset();
  LogFD = -1;
  LogEOF = -1;
  LogIdentityKnown = false;
  HeldLine.Clear();
}

void Log_File::lfPublishPosition() {
  if (!LogIdentityKnown) {
    return;
  }
  const Head_Fingerprint head = FingerprintOf(LogHead);
  // Read but not delivered: a held unfinished line is read again whole.
  const int64_t offset = static_cast<int64_t>(LogEOF.load()) -
                         static_cast<int64_t>(HeldLine.Held());
  // So are the rotated files still read, so that a restart after a crash
  // reads them on to their end.
  std::vector<Rotated_Position> rotated;
  rotated.reserve(LogRotated.size());
  for (const auto& r : LogRotated) {
    Rotated_Position p;
    p.device = static_cast<uint64_t>(r->open.device);
    p.inode = static_cast<uint64_t>(r->open.inode);
    p.head = FingerprintOf(r->open.head);
    p.offset = static_cast<int64_t>(r->open.eof) -
               static_cast<int64_t>(r->held.Held());
    rotated.push_back(p);
  }
  const auto same_rotated = [&rotated](const std::vector<Rotated_Position>& v) {
    if (v.size() != rotated.size()) {
      return false;
    }
    for (size_t i = 0; i < v.size(); ++i) {
      if (v[i].device != rotated[i].device || v[i].inode != rotated[i].inode ||
          v[i].head.length != rotated[i].head.length ||
          v[i].head.hash != rotated[i].head.hash ||
          v[i].offset != rotated[i].offset) {
        return false;
      }
    }
    return true;
  };
  lfLockLog();
  // Published after every pass; an idle log's stays as it is.
  const bool moved =
      !LogPositionKnown || LogPosition.path != Name(LogFileName) ||
      LogPosition.device != static_cast<uint64_t>(LogDevice) ||
      LogPosition.inode != static_cast<uint64_t>(LogInode) ||
      LogPosition.head.length != head.length ||
      LogPosition.head.hash != head.hash || LogPosition.offset != offset ||
      !LogPosition.text.empty() || !same_rotated(LogPosition.rotated);
  if (moved) {
    LogPosition.path = Name(LogFileName);
    LogPosition.device = static_cast<uint64_t>(LogDevice);
    LogPosition.inode = static_cast<uint64_t>(LogInode);
    LogPosition.head = head;
    LogPosition.offset = offset;
    LogPosition.text.clear();
    LogPosition.rotated = std::move(rotated);
    LogPositionKnown = true;
    // The events of the entries read so far came from this thread.
    LogSavedPosition.Reached(LogPosition, Event_Sink::ThreadSequence());
  }
  lfUnlockLog();
  if (moved) {
    lfPositionMoved();
  }
}

void Log_File::lfPositionMoved() {
  if (pTheLogManager != nullptr) {
    ++pTheLogManager->PositionChanges;
  }
}

bool Log_File::lfGetPosition(Log_Position* position) {
  lfLockLog();
  bool known = LogSavedPosition.Get(position);
  // A saved position not taken up yet (the log could not be opened so far)
  // is kept for the next run until the log is open again.
  if (!known && !LogPositionKnown && LogStartAt == START_AT_POSITION &&
      !LogResume.path.empty()) {
    *position = LogResume;
    known = true;
  }
  lfUnlockLog();
  return known;
}

void Log_File::lfSetPosition(const Log_Position& position) {
  lfLockLog();
  LogResume = position;
  LogStartAt = START_AT_POSITION;
  lfUnlockLog();
}

bool Log_File::lfLogReplaced() {
  if (!LogIdentityKnown) {
    return false;
  }
  // A missing path is not a replacement (yet): the old file is still
  // watched until a new one appears under the name.
  const struct statx_timestamp now = CoarseNow();
  struct stat st;
  if (stat(Name(LogFileName), &st) != 0) {
    return false;
  }
  if (st.st_dev != LogDevice || st.st_ino != LogInode) {
    return true;
  }
  LogSeenAt = now;
  return false;
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

int Log_File::lfReadCurrent() {
  char eb[128];
  struct stat st;
  if (fstat(LogFD, &st) != 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, SeekNewEOFErrMsg, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    lfSetMonitorStatus(MONITOR_ERR_SEEK_END);
    return -1;
  }
  const off_t size = st.st_size;
  // Compared over what the file and the head copy both have: a young log
  // that grew, or whose tail was cut, is still the same log.
  const off_t delivered = LogEOF - static_cast<off_t>(HeldLine.Held());
  uint32_t agreed = 0;
  const bool same_head = HeadCopyMatches(LogFD, LogHead, &agreed);
  if ((size == 0 && LogEOF > 0) ||
      (!same_head && static_cast<off_t>(agreed) < delivered)) {
    // Emptied, or emptied and refilled (bytes delivered before are others
    // now): everything it holds was written after the truncation.
    lfLeaveFile();
    lfRememberRead();
    WEX1_TRACE(wex1, WEX1_ERROR, TruncatedMsg, Name(LogFileName), 0L);
    LogEOF = 0;
    LogHead = Head_Copy();
  } else if (!same_head || size < LogEOF) {
    // Its tail was cut or rewritten (a writer dropping a torn record): read
    // on from the cut, or from the start of what was not delivered yet.
    HeldLine.Clear();
    LogEOF = delivered < size ? delivered : size;
    if (size < delivered) {
      WEX1_TRACE(wex1, WEX1_ERROR, TruncatedMsg, Name(LogFileName),
                 static_cast<long>(size));
    }
    Head_Copy head;
    if (ReadHeadCopy(LogFD, &head)) {
      LogHead = head;
    }
  }
  // The head copy grows with a young log up to its full length. It is
  // taken before reading on, and only when it still begins with the bytes
  // known: a copy taken after the read could already hold what a writer put
  // there after emptying the file, and the next pass would take that for
  // the old content and skip it.
  if (LogHead.length < HEADFINGERPRINTBYTES &&
      size > static_cast<off_t>(LogHead.length)) {
    Head_Copy head;
    if (ReadHeadCopy(LogFD, &head) && head.length >= LogHead.length &&
        memcmp(head.bytes, LogHead.bytes, LogHead.length) == 0) {
      LogHead = head;
    }
  }
  if (size > LogEOF && lfReadAppended() != 0) {
    return -1;
  }
  return 0;
}

void Log_File::lfReadRotated() {
  // Oldest first; a younger file is read only once the older ones were
  // read to their end in this pass.
  for (size_t i = 0; i < LogRotated.size() && LogPassBytes > 0;) {
    _RotatedLog& rotated = *LogRotated[i];
    lfSwapOpenLog(&rotated.open, &rotated.held);
    struct stat st;
    const bool examined = fstat(LogFD, &st) == 0;
    bool failed = false;
    if (examined && st.st_size > LogEOF) {
      failed = lfReadAppended() != 0;
      rotated.open.idle_since = MonotonicSeconds();
    }
    // Read to its end and removed (no link left), or quiet there for the
    // grace time: nothing more is expected of it.
    const bool done =
        failed || !examined ||
        (LogEOF >= st.st_size &&
         (st.st_nlink == 0 ||
          MonotonicSeconds() - rotated.open.idle_since >= ROTATEDGRACESECONDS));
    lfSwapOpenLog(&rotated.open, &rotated.held);
    if (done) {
      lfFinishRotated(i, false);
    } else {
      ++i;
    }
  }
}

int Log_File::lfReopenReplacedLog() {
  // A directory under the name is no log and no reason to stop: the old
  // file stays, and the name is looked at again until a file is back.
  struct stat st;
  const bool directory =
      stat(Name(LogFileName), &st) == 0 && S_ISDIR(st.st_mode);
  if (directory != LogNameIsDirectory) {
    LogNameIsDirectory = directory;
    if (directory) {
      WEX1_TRACE(wex1, WEX1_FLOW, NameIsDirectoryMsg, Name(LogFileName));
    }
  }
  if (directory) {
    return 0;
  }
  WEX1_TRACE(wex1, WEX1_FLOW, ReplacedMsg, Name(LogFileName));
  const struct statx_timestamp now = CoarseNow();
  _OpenLog opened;
  _MonitorStatus status = MONITOR_ERR_OPEN;
  const int rc = lfOpenLogFile(true, OpenErrMsg, &opened, &status);
  if (rc == ENOENT) {
    // Renamed away again meanwhile: the next pass looks anew.
    return 0;
  }
  if (rc != 0) {
    // The old file stays open for the kind to close.
    lfSetMonitorStatus(status);
    return -1;
  }
  // The old file is read on among the rotated ones, its unfinished line
  // with it; everything the new file holds was written after the rotation.
  const struct statx_timestamp seen = LogSeenAt;
  lfKeepRotated();
  opened.eof = 0;
  lfSwapOpenLog(&opened, nullptr);
  LogSeenAt = now;
  // Files that were under the name only between the last look and this
  // one are read too; their entries are older than the new file's, so the
  // next pass, at once, reads them first.
  const size_t kept = LogRotated.size();
  lfFindSkippedLogs(seen);
  if (LogRotated.size() > kept) {
    LogPassBytes = 0;
    return 0;
  }
  return lfReadCurrent();
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
  // The joiner's lines taken at the last look, and when they last grew.
  uint64_t joinedLines = 0;
  long long joinedAtMs = 0;
  while (MonitorStatus == MONITOR_RUNNING) {
    // The events not yet delivered fill the delivery window: the entries
    // wait in the log, read when it has room again.
    if (Event_Sink::WindowFull()) {
      WaitingForDelivery = true;
      lfPublishPosition();
      lfWaitForWake(DELIVERYPOLLMS, nullptr);
      continue;
    }
    WaitingForDelivery = false;
    LogPassBytes = PASSBYTES;
    // A worker that slept through the safety check's looks at its name had
    // its file seen there by them.
    struct timespec looked;
    if (LogIdentityKnown && watch.Handle() != 0 &&
        Log_Watch::Agent().NamedAt(watch.Handle(), LogDevice, LogInode,
                                   &looked)) {
      struct statx_timestamp at = {};
      at.tv_sec = looked.tv_sec;
      at.tv_nsec = static_cast<uint32_t>(looked.tv_nsec);
      if (Earlier(LogSeenAt, at)) {
        LogSeenAt = at;
      }
    }
    // The rotated files first: their entries are older than the new file's.
    lfReadRotated();
    // Taken before reading, so that what was written to the old file up to
    // the rotation is read before the new file is opened.
    const bool replaced = lfLogReplaced();
    if (MonitorStatus != MONITOR_RUNNING || lfReadCurrent() != 0) {
      break;
    }
    if (replaced && lfReopenReplacedLog() != 0) {
      break;
    }
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
    const bool sleeps =
        fileWatched && !LogNameIsDirectory && LogRotated.empty();
    int timeoutMs = -1;
    if (LogPassBytes <= 0) {
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
  LogPassBytes = INT64_MAX;
  lfPublishPosition();
}

namespace {

// Where Line_Splitter hands the lines and NUL runs of one log.
struct Entry_Sink {
  Log_File* log;
  void Line(char* entry, size_t length) { log->lfTakeLine(entry, length); }
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
  // The events of the pass reach the event writer together at its end.
  const Event_Wake_Deferral deferral;
  while (LogPassBytes > 0) {
    const ssize_t n = read(LogFD, block, READBLOCKSIZE);
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
    LogPassBytes -= n;
    const bool nul_tail = block[n - 1] == '\0';
    NumBytesRead.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    HeldLine.Feed(block, static_cast<size_t>(n), sink);
    if (nul_tail) {
      lfSkipHole();
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
  Entry_Sink sink{this};
  HeldLine.Flush(sink);
  lfEndJoinedEntry();
}

static_assert(MAXRECSIZE <= JOINEDLINESIZE,
              "a joined entry's first line holds a whole line");

namespace {

// Where Entry_Joiner hands the entries of one log.
struct Joined_Sink {
  Log_File* log;
  void Entry(char* first, size_t first_length, const char* whole,
             size_t whole_length) {
    log->lfHandleEntry(first, static_cast<unsigned>(first_length), whole,
                       whole_length);
  }
};

}  // namespace

void Log_File::lfTakeLine(char* line, size_t length) {
  if (EntryJoiner == nullptr) {
    lfHandleEntry(line, static_cast<unsigned>(length));
    return;
  }
  Joined_Sink sink{this};
  const uint64_t cut = EntryJoiner->Cut();
  EntryJoiner->Line(line, length, sink);
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

void Log_File::lfEndJoinedEntry() {
  if (EntryJoiner != nullptr) {
    Joined_Sink sink{this};
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
  static auto* all = new Refusals;
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
                             size_t whole_length) {
  tvx_vxlogent_data_t row;
  ++NumEvents;
  // Whatever the kind traces about an entry that does not format is held
  // back, and counted, while such a message was traced less than a minute
  // ago: one writer of the log must not fill the trace's disk.
  const long long now = Repeat_Limiter::Now();
  LastEntrySeconds.store(now, std::memory_order_relaxed);
  const bool due = FormatErrorTraces.Due(now);
  long rc = 0;
  unsigned long held = 0;
  {
    WEX1_Quiet quiet(!due);
    rc = lfFormatEntryAsRow(entry, &row, nullptr);
    held = quiet.Held();
  }
  if (!due) {
    FormatErrorTraces.Held(held);
  }
  if (rc != 0) {
    ++NumFormatErrors;
    const unsigned long before = due ? FormatErrorTraces.Traced(now) : 0;
    if (before != 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, HeldTracesMsg, before, Name(LogFileName));
    }
    lfWriteToDebugLog(entry, length, nullptr, 0);
  } else {
    ++NumRows;
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
    const Row_Side_Text side(reinterpret_cast<const char*>(&row), sizeof row, 1,
                             &text);
    tvx_vxlogent_manager::EventArrived(&row, 1);
    NumEventsRaised += vandu::ThreadEventsDispatched() - before;
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
