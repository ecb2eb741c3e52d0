#include "agent/log_manager.h"

#include <ctype.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "agent/adminlog_file.h"
#include "agent/config_def.h"
#include "agent/errlog_file.h"
#include "agent/journal_file.h"
#include "agent/log_file.h"
#include "agent/log_manager_util.h"
#include "agent/syslog_conf.h"
#include "agent/syslog_file.h"
#include "agent/tvxmain.h"
#include "agent/userlog_file.h"
#include "framework/control/main_loop.h"
#include "framework/runtime/event_sink.h"
#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"
#include "util/append_file.h"
#include "util/errno_text.h"
#include "util/monotonic_ms.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

constexpr int REFRESHSIGNAL = SIGHUP;
constexpr int STOPSIGNAL = SIGTERM;
constexpr int SERVERWAITSECONDS = 10;

// Environment.
const char EnvSetMsg[] = "\n\"%s\" environment variable set to \"%s\"";
const char NoConfigEnvMsg[] = "\nNo %s environment variable specified.";
const char NoSyslogEnvMsg[] =
    "\nNo %s environment variable specified; using default file %s.";
const char DebugEnvSetMsg[] =
    "\n\"%s\" environment variable set to \"%s\". Agent debug mode is ON.";
const char NoDebugEnvMsg[] =
    "\nNo \"%s\" environment variable specified. Agent debug mode is OFF.";
const char AllocErrMsg[] =
    "\nMemory allocation failed for %d bytes; errno = %d; %s";
const char SigMaskErrMsg[] =
    "\nError setting initial signal mask. errno = %d; %s";

// Lock, conditions and thread.
const char MutexAttrInitErrMsg[] =
    "\nError initializing log manager mutex attribute object. errno = %d; %s";
const char MutexInitErrMsg[] =
    "\nError initializing log manager mutex. errno = %d; %s";
const char MutexAttrDestroyErrMsg[] =
    "\nError destroying log manager mutex attribute object. errno = %d; %s";
const char MutexInitMsg[] = "\nLog manager mutex initialized.";
const char CondAttrInitErrMsg[] =
    "\nError initializing log manager condition attribute object. errno = %d; %s";
const char InUseInitErrMsg[] =
    "\nError initializing log manager inuse condition variable. errno = %d; %s";
const char InUseInitMsg[] =
    "\nLog manager 'inuse' condition variable initialized.";
const char ServerUpInitErrMsg[] =
    "\nError initializing log manager server status condition variable. errno = %d; %s";
const char ServerUpInitMsg[] =
    "\nLog manager 'server-up' condition variable initialized.";
const char CondAttrDestroyErrMsg[] =
    "\nError destroying log manager condition attribute object. errno = %d; %s";
const char ThreadAttrInitErrMsg[] =
    "\nError initializing log manager thread attribute object. errno = %d; %s";
const char ThreadAttrJoinErrMsg[] =
    "\nError making log manager thread attribute object joinable. errno = %d; %s.Continuing.";
const char ThreadStartErrMsg[] =
    "\nError starting manager thread. errno = %d; %s";
const char ThreadAttrDestroyErrMsg[] =
    "\nError destroying log manager thread attribute object. errno = %d; %s";
const char LockErrMsg[] = "\nError locking log manager. errno = %d; %s";
const char LockMsg[] = "\nLog manager locked.";
const char UnlockErrMsg[] = "\nError unlocking log manager. errno = %d; %s";
const char UnlockMsg[] = "\nLog manager unlocked.";

// Manager thread.
const char ThreadStartedMsg[] = "\nLog manager thread successfully started.";
const char TerminatingFrameworkMsg[] = "\nLog manager terminating framework.";
const char ShutdownSuspendedMsg[] =
    "\nShutdown suspended for up to %d seconds pending completion of server initialization.";
const char ServerTimedOutMsg[] =
    "\nWait for server timed out; process is exiting.";
const char ShutdownResumingMsg[] = "\nShutdown resuming.";
const char FrameworkTerminatedMsg[] = "\nFramework terminated with status %s";
const char ThreadTerminatingMsg[] = "\nLog manager thread is terminating.";
const char WaitingMsg[] =
    "\nManager thread waiting for refresh (%d) or stop (%d) signal.";
const char SigchldMsg[] = "\nSIGCHLD signal ignored.";
const char RefreshSignalMsg[] = "\nRefresh signal received.";
const char StopSignalMsg[] = "\nStop signal received.";
const char QuitSignalMsg[] = "\nQUIT signal received. Aborting.";
const char UnexpectedSignalMsg[] =
    "\nManager received unexpected signal. Signal = %d";
const char SigwaitErrMsg[] =
    "\nError while manager waiting for refresh signal. errno = %d; %s";

// Refresh.
const char RefreshSuspendedMsg[] =
    "\nRefresh suspended pending completion of outstanding requests.";
const char RefreshResumingMsg[] = "\nRefresh resuming.";
const char RefreshAheadMsg[] =
    "\nRefresh going ahead after %d seconds; %u report(s) still reading finish on their own files.";
const char RefreshStopMsg[] = "\nRefresh abandoned: a stop signal is pending.";
const char ContinuingMsg[] = "\nContinuing to monitor existing log files.";
const char NoWorkMsg[] = "\nAgent has no work to do.";
const char BuildDefaultMsg[] =
    "\nAttempting to build default list from syslog file %s.";
const char ConfigUnchangedMsg[] =
    "\n%s has not changed since last refresh. No refresh performed.";
const char NoValidConfigMsg[] =
    "\nNo valid log files found in %s. Attempting to build default list from syslog file %s.";
const char SyslogUnchangedMsg[] =
    "\n%s has not changed since last refresh. No refresh performed";
const char NoValidSyslogMsg[] = "\nNo valid log files found in %s. ";
const char JournalDefaultMsg[] =
    "\nNo syslog configuration %s; watching the systemd journal %s.";
const char NoSyslogFilesMsg[] =
    "\nNone of the files %s names exists; watching the systemd journal %s.";
const char NotYetMsg[] =
    "\n%s, named in %s, does not exist yet; it is watched when it appears.";
const char BlankNameMsg[] =
    "\n%s, named in %s, holds a blank; it is not watched.";
const char SystemLogFieldMsg[] =
    "\nOnly a debug mode may follow %s; \"%s\" is ignored.";
const char SystemLogDuplicateMsg[] =
    "\nDuplicate %s entry found; entry ignored.";
const char ValidLogAllocErrMsg[] =
    "\nMemory allocation for Valid_Log object failed. Agent is terminating.";
const char UnknownTypeMsg[] =
    "\nError during refresh processing. Unknown log type %d encountered for file %s. Log not "
    "monitored.";
const char LogFileAllocErrMsg[] =
    "\nMemory allocation for Log_File object failed. Agent is terminating.";
const char CountMismatchMsg[] =
    "\nFatal error during refresh processing. No. of valid logs = %d: No. of actual logs = %d. "
    "Agent is terminating.";
const char DebugOpenErrMsg[] =
    "\nError opening debug log \"%s\"; errno = %d; %s";
const char DebugCloseErrMsg[] =
    "\nError closing debug log \"%s\"; errno = %d; %s";

// Shutdown.
const char CancelErrMsg[] = "\nError canceling manager thread. errno = %d; %s";
const char CancelMsg[] = "\nTermination pending cancelation of manager thread.";
const char JoinErrMsg[] = "\nError joining with manager thread. errno = %d; %s";
const char JoinMsg[] = "\nManager thread terminated.";
const char MutexDestroyErrMsg[] =
    "\nError destroying log manager mutex. errno = %d; %s";
const char MutexDestroyMsg[] = "\nLog manager mutex destroyed.";
const char InUseDestroyErrMsg[] =
    "\nError destroying inuse condition variable. errno = %d; %s";
const char InUseDestroyMsg[] = "\n'inuse' condition variable destroyed.";
const char ServerUpDestroyErrMsg[] =
    "\nError destroying server-up condition variable. errno = %d; %s";
const char ServerUpDestroyMsg[] = "\n'server-up' condition variable destroyed.";
const char ShutdownMsg[] = "\nShutdown commencing.";

// Request accounting and the ring.
const char UseCountMsg[] = "\nUse count is now %d.";
const char UseCountNegativeMsg[] =
    "\nUse count going negative. Current value is %d. Setting to %d";
const char InUseSignalErrMsg[] =
    "\nError signaling condition variable. errno = %d; %s";
const char InUseSignalMsg[] = "\nNot-in-use signal sent.";
const char ServerUpSignalErrMsg[] =
    "\nError signaling server-up condition variable. errno = %d; %s";
const char ServerUpSignalMsg[] = "\nAgent server is listening; signal sent.";
const char NoLogsMsg[] = "\nNo logs are currently being monitored.";
const char WalkCorruptedMsg[] =
    "\nLog object chain corrupted. Request terminating.";
const char ChainCorruptedMsg[] =
    "\nLog object chain corrupted. Expected number of logs = %d; actual number = %d. Agent is "
    "terminating.";
const char DeletingMsg[] = "\nDeleting log object for file %s";

// Positions and retries.
const char StateIgnoredMsg[] =
    "\nError reading the state file: %s. It is ignored: every log starts at its end.";
const char StateSaveErrMsg[] = "\nError saving log positions: %s.";
const char EventsBehindMsg[] =
    "\nThe event files have not taken every event; log positions are saved before "
    "the entries of the events not written.";
// How long a stop waits for the event files to take the last events.
constexpr int STOPEVENTWAITMS = 3000;
const char RetryMsg[] = "\nRetrying log %s.";
const char RetryAgainMsg[] =
    "\nLog %s is still in error after %lu restarts; restarting it again (at most once a minute).";

// Names the journal directory watched when the system log is the journal.
const char JOURNALDIRENVVAR[] = "TVX_JOURNAL_DIR";
// Seconds between restarts of a log that keeps failing.
constexpr long long RETRYAGAINSECONDS = 60;

const char PrintSelfMsg[] =
    "\n\tthis\t\t\t\t= %p\n\tConfigFile\t\t\t= \"%s\"\n\tConfigFileLastChanged\t\t= %s"
    "\tSyslogConfFile\t\t\t= \"%s\"\n\tSyslogConfFileLastChanged\t= %s\tNumLogs\t\t\t\t= %d\n"
    "\tFirstLogObject\t\t\t= %p\n\tFirstValidLog\t\t\t= %p\n\tUseCount\t\t\t= %d\n"
    "\tManagerThread\t\t\t= %s\n\tManagerLock\t\t\t= %s\n\tManagerNotInUse\t\t\t= %s\n"
    "\tAgentServerUp\t\t\t= %d\n\tAgentServerNotUp\t\t= %s\n\tSignalSet\t\t\t= %s\n"
    "\tDebugLog\t\t\t= \"%s\"\n\tDebugLogP\t\t\t= %p\n";
const char NotAccessedText[] = "File not accessed\n";

constexpr auto Text = Name;

// Whether `log` cannot be opened because its file, or for a J log its
// journal directory or the journal files in it, is not there (yet).
bool LogFileMissing(const Log_File& log) {
  struct stat st;
  if (stat(Text(log.LogFileName), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR;
  }
  return log.LogType == JOURNALTYPE && S_ISDIR(st.st_mode) &&
         !Journal_File::jlHoldsJournalFiles(Text(log.LogFileName));
}

// When the first word of `record` is the system-log keyword: the rest of
// the line after it; else null.
char* SystemLogLine(char* record) {
  while (*record == ' ' || *record == '\t') {
    ++record;
  }
  const size_t n = sizeof SYSTEMLOGKEYWORD - 1;
  if (strncmp(record, SYSTEMLOGKEYWORD, n) != 0 ||
      (record[n] != '\0' && record[n] != ' ' && record[n] != '\t' &&
       record[n] != '\n')) {
    return nullptr;
  }
  return record + n;
}

// The debug mode of a system-log line: its one field (";Y", ";N" or ";"),
// anything further traced and ignored.
char SystemLogDebugMode(char* rest) {
  char debug = LOGDEBUGMODEOFF;
  char* save = nullptr;
  int field = 0;
  for (char* token = strtok_r(rest, FIELDDELIMITER1, &save); token != nullptr;
       token = strtok_r(nullptr, FIELDDELIMITER1, &save)) {
    if (++field == 1 && token[0] == FIELDFIRSTCHAR &&
        (token[1] == '\0' || token[2] == '\0')) {
      debug = toupper(static_cast<unsigned char>(token[1])) == LOGDEBUGMODEON
                  ? LOGDEBUGMODEON
                  : LOGDEBUGMODEOFF;
    } else {
      WEX1_TRACE(wex1, WEX1_ERROR, SystemLogFieldMsg, SYSTEMLOGKEYWORD, token);
    }
  }
  return debug;
}

// The state file belongs to the machine that wrote it (LocalStateOwner):
// positions of another machine's files would point anywhere.
std::string HostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) {
    name[0] = '\0';
  }
  name[sizeof name - 1] = '\0';
  return name;
}

}  // namespace

void FillSignalSet(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGCHLD);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGQUIT);
}

namespace {

// The ctime text of `t` (ending in a newline), or NotAccessedText for 0.
const char* TimeText(time_t t, char* buf) {
  if (t == 0 || ctime_r(&t, buf) == nullptr) {
    return NotAccessedText;
  }
  return buf;
}

}  // namespace

Log_Manager::Log_Manager() : Log_Manager(true) {}

Log_Manager::Log_Manager(bool start_manager_thread)
    : ConfigFile(nullptr),
      ConfigFileLastChanged(0),
      SyslogConfFile(nullptr),
      SyslogConfFileLastChanged(0),
      NumLogs(0),
      FirstLogObject(nullptr),
      FirstValidLog(nullptr),
      UseCount(0),
      ReadingCount(0),
      RefreshWaitSeconds(REFRESHWAITSECONDS),
      StopSeen(false),
      ManagerThread(),
      ManagerLock(Posix_Mutex::kDeferred),
      ManagerNotInUse(Posix_Mutex::kDeferred),
      AgentServerUp(0),
      FrameworkReady(false),
      AgentServerNotUp(Posix_Mutex::kDeferred),
      SignalSet(),
      DebugLog(nullptr),
      DebugLogP(nullptr),
      NoWork(false),
      StateFile(nullptr),
      PositionChanges(0),
      JournalDirs{PERSISTENTJOURNALDIR, VOLATILEJOURNALDIR},
      ManagerThreadStarted(false),
      SyncObjectsReady(false),
      NextStateSave(0),
      NextLogRetry(0),
      StateSaveFailing(false),
      SavedPositionChanges(0),
      LogsRebuiltSinceSave(true),
      ConfigUsesSystemLog(false) {
  WEX1_Event ev(wex1, __func__);
  lmGetEnvVars();
  lmLoadPositions();
  if (start_manager_thread) {
    // The workers the first refresh starts look up their saved positions
    // here, before `new` has returned this manager to main.
    pTheLogManager = this;
    lmSetSigMask();
    lmStartManagerThread();
  } else {
    FillSignalSet(&SignalSet);
    lmInitLockAndConditions();
  }
  if (WEX1_On(wex1, WEX1_DETAIL)) {
    lmPrintSelf();
  }
}

Log_Manager::~Log_Manager() {
  WEX1_Event ev(wex1, __func__);
  lmShutdown();
  delete[] ConfigFile;
  ConfigFile = nullptr;
  delete[] SyslogConfFile;
  SyslogConfFile = nullptr;
  delete[] DebugLog;
  DebugLog = nullptr;
  delete[] StateFile;
  StateFile = nullptr;
  if (WEX1_On(wex1, WEX1_FLOW)) {
    lmPrintSelf();
  }
}

char* Log_Manager::lmAllocMem(unsigned int size) {
  char* const memory = new (std::nothrow) char[size];
  if (memory == nullptr) {
    const int e = errno != 0 ? errno : ENOMEM;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, AllocErrMsg, static_cast<int>(size), e,
               ErrnoText(e, eb, sizeof eb));
    exit(-1);
  }
  return memory;
}

void Log_Manager::lmGetEnvVars() {
  WEX1_Event ev(wex1, __func__);
  const auto copy = [this](const char* value) {
    const size_t size = strlen(value) + 1;
    char* const text = lmAllocMem(static_cast<unsigned>(size));
    memcpy(text, value, size);
    return text;
  };
  const char* value = getenv(CONFIGFILEENVVAR);
  if (value != nullptr && *value != '\0') {
    ConfigFile = copy(value);
    WEX1_TRACE(wex1, WEX1_FLOW, EnvSetMsg, CONFIGFILEENVVAR, ConfigFile);
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, NoConfigEnvMsg, CONFIGFILEENVVAR);
  }
  value = getenv(SYSLOGCONFENVVAR);
  if (value != nullptr && *value != '\0') {
    SyslogConfFile = copy(value);
    WEX1_TRACE(wex1, WEX1_FLOW, EnvSetMsg, SYSLOGCONFENVVAR, SyslogConfFile);
  } else {
    const char* const chosen =
        ChooseSyslogConf(DEFAULTSYSLOGCONF, DEFAULTRSYSLOGCONF);
    WEX1_TRACE(wex1, WEX1_FLOW, NoSyslogEnvMsg, SYSLOGCONFENVVAR, chosen);
    SyslogConfFile = copy(chosen);
  }
  value = getenv(DEBUGLOGENVVAR);
  if (value != nullptr && *value != '\0') {
    DebugLog = copy(value);
    WEX1_TRACE(wex1, WEX1_FLOW, DebugEnvSetMsg, DEBUGLOGENVVAR, DebugLog);
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, NoDebugEnvMsg, DEBUGLOGENVVAR);
  }
  value = getenv(STATEFILEENVVAR);
  if (value != nullptr && *value != '\0') {
    StateFile = copy(value);
    WEX1_TRACE(wex1, WEX1_FLOW, EnvSetMsg, STATEFILEENVVAR, StateFile);
  }
  value = getenv(JOURNALDIRENVVAR);
  if (value != nullptr && *value != '\0') {
    JournalDirEnv = value;
    JournalDirs[0] = JournalDirEnv.c_str();
    JournalDirs[1] = nullptr;
    WEX1_TRACE(wex1, WEX1_FLOW, EnvSetMsg, JOURNALDIRENVVAR, value);
  }
}

void Log_Manager::lmLoadPositions() {
  WEX1_Event ev(wex1, __func__);
  const time_t now = MonotonicSeconds();
  NextStateSave = now + STATESAVESECONDS;
  NextLogRetry = now + LOGRETRYSECONDS;
  if (StateFile == nullptr) {
    return;
  }
  std::string err;
  if (!Positions.Load(StateFile, LocalStateOwner(HostName()), &err)) {
    WEX1_TRACE(wex1, WEX1_ERROR, StateIgnoredMsg, err.c_str());
  }
}

void Log_Manager::lmSavePositions() {
  WEX1_Event ev(wex1, __func__);
  NextStateSave = MonotonicSeconds() + STATESAVESECONDS;
  if (StateFile == nullptr) {
    return;
  }
  // Read before the positions: a position that moves meanwhile is saved
  // (again) by the next save. A position held back for its events is
  // saved once the durable event outputs have written them.
  const uint64_t changes = PositionChanges;
  const uint64_t durable = Event_Sink::DurableSequence();
  if (!LogsRebuiltSinceSave && changes == SavedPositionChanges &&
      durable == SavedDurableSequence) {
    return;
  }
  SavedDurableSequence = durable;
  std::vector<Log_Position> positions;
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs && object != nullptr; ++i) {
    Log_Position position;
    if (object->lfGetPosition(&position)) {
      positions.push_back(std::move(position));
    }
    object = static_cast<Log_File*>(object->Next);
  }
  const State_Owner owner = LocalStateOwner(HostName());
  std::string text = Position_Store::Format(owner, positions);
  if (text == LastStateText) {
    SavedPositionChanges = changes;
    LogsRebuiltSinceSave = false;
    return;
  }
  std::string err;
  if (!Position_Store::Save(StateFile, owner, positions, &err)) {
    if (!StateSaveFailing) {
      WEX1_TRACE(wex1, WEX1_ERROR, StateSaveErrMsg, err.c_str());
    }
    StateSaveFailing = true;
    return;
  }
  StateSaveFailing = false;
  LastStateText = std::move(text);
  SavedPositionChanges = changes;
  LogsRebuiltSinceSave = false;
}

void Log_Manager::lmStopLogs() {
  WEX1_Event ev(wex1, __func__);
  // Every worker stops first, so that the positions saved are final: all
  // are told at once, then each is joined.
  lmRequestStopAll();
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs && object != nullptr; ++i) {
    object->lfStopThread();
    object = static_cast<Log_File*>(object->Next);
  }
  // The events of the last entries read reach the event files first, so
  // that the positions saved are past them.
  if (StateFile != nullptr && !Event_Sink::AwaitDurable(STOPEVENTWAITMS)) {
    WEX1_TRACE(wex1, WEX1_FLOW, EventsBehindMsg);
  }
  lmSavePositions();
}

void Log_Manager::lmRetryFailedLogs(bool all) {
  WEX1_Event ev(wex1, __func__);
  const time_t now = MonotonicSeconds();
  NextLogRetry = now + LOGRETRYSECONDS;
  // Only the logs in error keep their record: one that runs starts anew.
  std::map<std::string, Log_Retry> kept;
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs && object != nullptr;
       ++i, object = static_cast<Log_File*>(object->Next)) {
    if (object->MonitorStatus >= 0) {
      continue;
    }
    const std::string name = Text(object->LogFileName);
    Log_Retry retry;
    const auto found = LogRetries.find(name);
    if (found != LogRetries.end() && !all) {
      retry = found->second;
    }
    // A file not there (yet) fails the same way until it is: its one
    // trace was the first start's.
    if (!all && object->MonitorStatus == MONITOR_ERR_OPEN &&
        LogFileMissing(*object)) {
      kept[name] = retry;
      continue;
    }
    if (retry.failures > 0) {
      if (now - retry.restarted < RETRYAGAINSECONDS) {
        kept[name] = retry;
        continue;
      }
      WEX1_TRACE(wex1, WEX1_ERROR, RetryAgainMsg, name.c_str(), retry.failures);
    } else {
      WEX1_TRACE(wex1, WEX1_FLOW, RetryMsg, name.c_str());
    }
    // A refresh signal starts the count over.
    if (!all) {
      ++retry.failures;
    }
    retry.restarted = now;
    kept[name] = retry;
    object->lfStopThread();
    object->lfStartThread();
  }
  LogRetries.swap(kept);
}

void Log_Manager::lmSetSigMask() {
  WEX1_Event ev(wex1, __func__);
  FillSignalSet(&SignalSet);
  const int rc = pthread_sigmask(SIG_BLOCK, &SignalSet, nullptr);
  if (rc != 0) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, SigMaskErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
}

void Log_Manager::lmInitLockAndConditions() {
  char eb[128];
  const auto fail = [&eb](const char* message, int rc) {
    WEX1_TRACE(wex1, WEX1_ERROR, message, rc, ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  };
  pthread_mutexattr_t mattr;
  int rc = pthread_mutexattr_init(&mattr);
  if (rc != 0) {
    fail(MutexAttrInitErrMsg, rc);
  }
  rc = ManagerLock.Init(&mattr);
  if (rc != 0) {
    fail(MutexInitErrMsg, rc);
  }
  rc = pthread_mutexattr_destroy(&mattr);
  if (rc != 0) {
    fail(MutexAttrDestroyErrMsg, rc);
  }
  WEX1_TRACE(wex1, WEX1_FLOW, MutexInitMsg);

  pthread_condattr_t cattr;
  rc = pthread_condattr_init(&cattr);
  if (rc != 0) {
    fail(CondAttrInitErrMsg, rc);
  }
  // The server-up wait is bounded in elapsed time, not wall-clock time.
  pthread_condattr_setclock(&cattr, CLOCK_MONOTONIC);
  rc = ManagerNotInUse.Init(&cattr);
  if (rc != 0) {
    fail(InUseInitErrMsg, rc);
  }
  WEX1_TRACE(wex1, WEX1_FLOW, InUseInitMsg);
  rc = AgentServerNotUp.Init(&cattr);
  if (rc != 0) {
    fail(ServerUpInitErrMsg, rc);
  }
  WEX1_TRACE(wex1, WEX1_FLOW, ServerUpInitMsg);
  rc = pthread_condattr_destroy(&cattr);
  if (rc != 0) {
    fail(CondAttrDestroyErrMsg, rc);
  }
  SyncObjectsReady = true;
}

void Log_Manager::lmStartManagerThread() {
  WEX1_Event ev(wex1, __func__);
  lmInitLockAndConditions();
  char eb[128];
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, ThreadAttrInitErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
  rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_FLOW, ThreadAttrJoinErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
  }
  rc = pthread_create(&ManagerThread, &attr, ::ManagerThread, this);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, ThreadStartErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
  ManagerThreadStarted = true;
  rc = pthread_attr_destroy(&attr);
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, ThreadAttrDestroyErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
}

void* ManagerThread(void* arg) {
  // Cancelled only inside its signal wait: a cancel acted on elsewhere
  // (in a trace, a join, a destructor) could end the process.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  pthread_setname_np(pthread_self(), "qor-manager");
  WEX1_Event ev(wex1, __func__);
  Log_Manager* const manager = static_cast<Log_Manager*>(arg);
  WEX1_TRACE(wex1, WEX1_FLOW, ThreadStartedMsg);
  if (!manager->lmWaitForFrameworkReady()) {
    // Nothing was started and there is no server to stop.
    WEX1_TRACE(wex1, WEX1_FLOW, ThreadTerminatingMsg);
    return nullptr;
  }
  unsigned int logs = 0;
  while ((logs = manager->lmRefresh()) != 0 && manager->lmWaitForSignal() != 0) {
  }
  manager->Patterns.StopWatching();  // it wakes this thread
  manager->NoWork = logs == 0 && !manager->StopSeen;
  // A worker waiting for room for its events lets go, so that it stops.
  Event_Sink::EndWaits();
  // No entry may be read once the framework stops taking events: what a
  // worker read then would be lost, yet saved as read.
  manager->lmStopLogs();
  WEX1_TRACE(wex1, WEX1_FLOW, TerminatingFrameworkMsg);
  manager->lmWaitForServerUp();
  uint32_t status = 0;
  rpc__shutdown(&status);
  char hex[2 * sizeof status + 1];
  WEX1_TRACE(wex1, WEX1_FLOW, FrameworkTerminatedMsg,
             xtoa(hex, &status, sizeof status));
  WEX1_TRACE(wex1, WEX1_FLOW, ThreadTerminatingMsg);
  return nullptr;
}

void Log_Manager::lmWaitForServerUp() {
  WEX1_Event ev(wex1, __func__);
  lmLockManager();
  while (AgentServerUp == 0) {
    WEX1_TRACE(wex1, WEX1_FLOW, ShutdownSuspendedMsg, SERVERWAITSECONDS);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += SERVERWAITSECONDS;
    if (!AgentServerNotUp.WaitUntil(&ManagerLock, deadline)) {
      lmUnlockManager();
      WEX1_TRACE(wex1, WEX1_FLOW, ServerTimedOutMsg);
      // Without work the agent fails alike however the start-up went.
      exit(NoWork ? 1 : -1);
    }
    WEX1_TRACE(wex1, WEX1_FLOW, ShutdownResumingMsg);
  }
  lmUnlockManager();
}

unsigned char Log_Manager::lmWaitForSignal() {
  WEX1_Event ev(wex1, __func__);
  WEX1_TRACE(wex1, WEX1_FLOW, WaitingMsg, REFRESHSIGNAL, STOPSIGNAL);
  for (;;) {
    const time_t now = MonotonicSeconds();
    if (StateFile != nullptr && now >= NextStateSave) {
      lmSavePositions();
    }
    if (now >= NextLogRetry) {
      lmDeleteRetiredLogs();
      lmRetryFailedLogs();
    }
    // Milliseconds until a changed pattern directory may be expanded again:
    // files that come and go by the hundred a second cost one expansion
    // each PATTERNRESCANMS, not one each.
    long long rescan_wait = -1;
    if (Patterns.Any() && Patterns.Changed()) {
      rescan_wait = PatternExpandedMs + PATTERNRESCANMS - MonotonicMs();
      if (rescan_wait <= 0) {
        // A file appeared in or left a pattern's directory: the
        // configuration is expanded again.
        PatternRescan = true;
        PatternExpandedMs = MonotonicMs();
        return static_cast<unsigned char>(ev.Result(1));
      }
    }
    time_t next = NextLogRetry;
    if (StateFile != nullptr && NextStateSave < next) {
      next = NextStateSave;
    }
    if (Patterns.Any() && now + 1 < next) {
      next = now + 1;  // the pattern directories are looked at each second
    }
    struct timespec timeout;
    timeout.tv_sec = next > now ? next - now : 0;
    timeout.tv_nsec = 0;
    if (rescan_wait > 0 &&
        (timeout.tv_sec == 0 || rescan_wait < timeout.tv_sec * 1000LL)) {
      timeout.tv_sec = static_cast<time_t>(rescan_wait / 1000);
      timeout.tv_nsec = static_cast<long>(rescan_wait % 1000) * 1000000L;
    }
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    const int sig = sigtimedwait(&SignalSet, nullptr, &timeout);
    const int e = errno;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    if (sig < 0) {
      if (e == EAGAIN || e == EINTR) {
        continue;
      }
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR, SigwaitErrMsg, e,
                 ErrnoText(e, eb, sizeof eb));
      return static_cast<unsigned char>(ev.Result(0));
    }
    switch (sig) {
      case SIGCHLD:
        WEX1_TRACE(wex1, WEX1_DETAIL, SigchldMsg);
        continue;
      case SIGHUP: {
        // A rotated trace file is let go of here.
        std::string err;
        if (!WEX1_ReopenSink(&err)) {
          WEX1_TRACE(wex1, WEX1_ERROR, "\n%s", err.c_str());
        }
        WEX1_TRACE(wex1, WEX1_FLOW, RefreshSignalMsg);
        HOV_ReloadSituations();
        return static_cast<unsigned char>(ev.Result(1));
      }
      case SIGTERM:
      case SIGINT:
        WEX1_TRACE(wex1, WEX1_FLOW, StopSignalMsg);
        return static_cast<unsigned char>(ev.Result(0));
      case SIGQUIT:
        WEX1_TRACE(wex1, WEX1_FLOW, QuitSignalMsg);
        abort();
      default:
        WEX1_TRACE(wex1, WEX1_ERROR, UnexpectedSignalMsg, sig);
        return static_cast<unsigned char>(ev.Result(0));
    }
  }
}

unsigned int Log_Manager::lmRefresh() {
  WEX1_Event ev(wex1, __func__);
  if (DebugLog != nullptr && DebugLogP.load() == nullptr) {
    lmOpenDebugLog();
  }
  // The valid-log ring is the manager thread's alone: no lock.
  const unsigned int count = lmGetValidLogs();
  lmDeleteRetiredLogs();
  if (count != 0) {
    lmLockManager();
    if (!lmWaitForRequests()) {
      lmUnlockManager();
      lmDropValidLogs();
      return static_cast<unsigned int>(ev.Result(NumLogs));
    }
    std::vector<Log_File*> dropped;
    lmBuildLogObjects(count, &dropped);
    // Reports still reading may hold dropped objects: those wait.
    const bool in_use = UseCount != 0;
    lmUnlockManager();
    // Out of the ring and told to stop: their workers are joined without
    // holding up requests.
    for (Log_File* const object : dropped) {
      if (in_use) {
        object->lfJoinThread();
        RetiredLogs.push_back(object);
        continue;
      }
      WEX1_TRACE(wex1, WEX1_FLOW, DeletingMsg, Text(object->LogFileName));
      delete object;
    }
    if (WEX1_On(wex1, WEX1_FLOW)) {
      lmPrintSelf();
    }
  } else if (NumLogs != 0) {
    WEX1_TRACE(wex1, WEX1_FLOW, ContinuingMsg);
    // A refresh signal retries the failed logs even when the
    // configuration is unchanged.
    lmRetryFailedLogs(true);
  }
  if (NumLogs == 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, NoWorkMsg);
  }
  HOV_Refreshed();  // the runtime's event files follow a rotation
  return static_cast<unsigned int>(ev.Result(NumLogs));
}

bool Log_Manager::lmWaitForRequests() {
  WEX1_Event ev(wex1, __func__);
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const struct timespec ahead_at = {now.tv_sec + RefreshWaitSeconds,
                                    now.tv_nsec};
  bool suspended = false;
  while (UseCount != 0) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    const bool waited =
        now.tv_sec > ahead_at.tv_sec ||
        (now.tv_sec == ahead_at.tv_sec && now.tv_nsec >= ahead_at.tv_nsec);
    if (UseCount == ReadingCount && waited) {
      // Reports that only read hold up no change of the ring: their
      // objects stay alive, and they read through their own descriptors.
      WEX1_TRACE(wex1, WEX1_FLOW, RefreshAheadMsg, RefreshWaitSeconds,
                 ReadingCount);
      return ev.Result(1) != 0;
    }
    if (!suspended) {
      suspended = true;
      WEX1_TRACE(wex1, WEX1_FLOW, RefreshSuspendedMsg);
    }
    // Short waits: a stop signal is not waited for here, only looked at.
    struct timespec until = now;
    until.tv_nsec += 200 * 1000 * 1000;
    if (until.tv_nsec >= 1000 * 1000 * 1000) {
      until.tv_nsec -= 1000 * 1000 * 1000;
      ++until.tv_sec;
    }
    ManagerNotInUse.WaitUntil(&ManagerLock, until);
    sigset_t pending;
    if (sigpending(&pending) == 0 && (sigismember(&pending, SIGTERM) == 1 ||
                                      sigismember(&pending, SIGINT) == 1)) {
      StopSeen = true;
      WEX1_TRACE(wex1, WEX1_FLOW, RefreshStopMsg);
      return ev.Result(0) != 0;
    }
  }
  if (suspended) {
    WEX1_TRACE(wex1, WEX1_FLOW, RefreshResumingMsg);
  }
  return ev.Result(1) != 0;
}

void Log_Manager::lmDeleteRetiredLogs() {
  if (RetiredLogs.empty()) {
    return;
  }
  lmLockManager();
  const bool in_use = UseCount != 0;
  lmUnlockManager();
  if (in_use) {
    return;
  }
  // A request that begins from now on finds only the ring's objects.
  for (Log_File* const object : RetiredLogs) {
    WEX1_TRACE(wex1, WEX1_FLOW, DeletingMsg, Text(object->LogFileName));
    delete object;
  }
  RetiredLogs.clear();
}

void Log_Manager::lmDropValidLogs() {
  // The ring's last element first.
  while (FirstValidLog != nullptr) {
    Valid_Log* const last = static_cast<Valid_Log*>(FirstValidLog->Prev);
    if (last == FirstValidLog) {
      FirstValidLog = nullptr;
    }
    delete last;
  }
}

unsigned int Log_Manager::lmGetValidLogs() {
  WEX1_Event ev(wex1, __func__);
  File_Signature signature;
  if (ConfigFile != nullptr) {
    if (!file_signature(ConfigFile, &signature)) {
      ConfigHadNoValidLine = true;
      WEX1_TRACE(wex1, WEX1_ERROR, BuildDefaultMsg, Text(SyslogConfFile));
    } else if (ConfigFileLastChanged != 0 && signature == ConfigFileSignature &&
               !(ConfigUsesSystemLog && lmSystemLogChanged()) && !PatternRescan) {
      WEX1_TRACE(wex1, WEX1_FLOW, ConfigUnchangedMsg, ConfigFile);
      return static_cast<unsigned int>(ev.Result(0));
    } else if (!HOV_TrustedFile(CONFIGWHAT, ConfigFile, false)) {
      // Refused: the logs of the configuration read before stay.
      return static_cast<unsigned int>(ev.Result(0));
    } else {
      ConfigUsesSystemLog = false;
      PatternRescan = false;
      const unsigned int count = lmCreateValidLogList(USERCONFIG, ConfigFile);
      ConfigHadNoValidLine = count == 0;
      if (count != 0) {
        ConfigFileLastChanged = signature.mtime_sec;
        ConfigFileSignature = signature;
        if (!ConfigUsesSystemLog) {
          SyslogConfFileLastChanged = 0;
        }
        return static_cast<unsigned int>(ev.Result(count));
      }
      WEX1_TRACE(wex1, WEX1_ERROR, NoValidConfigMsg, ConfigFile,
                 Text(SyslogConfFile));
    }
  }
  // No agent configuration: the host's system log.
  if (ConfigFileLastChanged == 0 && !lmSystemLogChanged()) {
    WEX1_TRACE(wex1, WEX1_FLOW, SyslogUnchangedMsg, SyslogConfFile);
    return static_cast<unsigned int>(ev.Result(0));
  }
  ConfigUsesSystemLog = false;
  // The journal stands in only when no agent configuration is named.
  const unsigned int count =
      lmAddSystemLogs(LOGDEBUGMODEOFF, ConfigFile == nullptr);
  ConfigFileLastChanged = 0;
  struct stat st;
  if (count == 0 && stat(Text(SyslogConfFile), &st) == 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, NoValidSyslogMsg, SyslogConfFile);
  }
  return static_cast<unsigned int>(ev.Result(count));
}

bool Log_Manager::lmSystemLogChanged() {
  if (SyslogConfFileLastChanged == 0) {
    return true;
  }
  struct stat st;
  File_Signature signature;
  return stat(Text(SyslogConfFile), &st) != 0 ||
         !file_signature(Text(SyslogConfFile), &signature) ||
         signature != SyslogConfFileSignature;
}

unsigned int Log_Manager::lmAddSystemLogs(char debug, bool journal) {
  WEX1_Event ev(wex1, __func__);
  // Whatever happens below, a later refresh looks again.
  SyslogConfFileLastChanged = 0;
  const char* const conf = Text(SyslogConfFile);
  struct stat st;
  File_Signature signature;
  // A host without a syslog configuration keeps its log in the journal.
  if (stat(conf, &st) != 0 || !file_signature(conf, &signature)) {
    return static_cast<unsigned int>(
        ev.Result(journal ? lmUseJournal(debug) : 0));
  }
  // It decides what the agent reads: refused, it is not used at all.
  if (!HOV_TrustedFile(SYSLOGCONFWHAT, conf, NumLogs == 0)) {
    return static_cast<unsigned int>(ev.Result(0));
  }
  std::vector<std::string> records;
  if (!ReadSyslogConf(conf, &records)) {
    return static_cast<unsigned int>(ev.Result(0));
  }
  std::vector<Syslog_Target> targets;
  SyslogTargets(records, &targets);
  bool any = false;
  for (const Syslog_Target& target : targets) {
    any = any || stat(target.path.c_str(), &st) == 0;
  }
  if (!any) {
    // Left behind by a syslog daemon no longer installed, or one that has
    // not written yet: the journal has the messages.
    return static_cast<unsigned int>(
        ev.Result(journal ? lmUseJournal(debug, NoSyslogFilesMsg) : 0));
  }
  unsigned int count = 0;
  for (const std::string& file : SyslogWatchFiles(targets)) {
    if (file.find_first_of(" \t") != std::string::npos) {
      WEX1_TRACE(wex1, WEX1_ERROR, BlankNameMsg, file.c_str(), conf);
      continue;
    }
    if (stat(file.c_str(), &st) != 0) {
      WEX1_TRACE(wex1, WEX1_FLOW, NotYetMsg, file.c_str(), conf);
    }
    char record[CONFIGRECSIZE];
    const int n = snprintf(record, sizeof record, "%s %c%c %c%c", file.c_str(),
                           FIELDFIRSTCHAR, debug, FIELDFIRSTCHAR, SYSLOGTYPE);
    if (n > 0 && n < static_cast<int>(sizeof record) &&
        lmAddValidLog(USERCONFIG, record)) {
      ++count;
    }
  }
  SyslogConfFileLastChanged = signature.mtime_sec;
  SyslogConfFileSignature = signature;
  return static_cast<unsigned int>(ev.Result(count));
}

unsigned int Log_Manager::lmCreateValidLogList(_WhenceConfig whence,
                                               const char* path) {
  WEX1_Event ev(wex1, __func__);
  unsigned int count = 0;
  // The syslog configuration is read whole first, with the files it
  // includes; the agent's own is read line by line.
  std::vector<std::string> syslog_records;
  if (whence == DEFAULTCONFIG) {
    ReadSyslogConf(path, &syslog_records);
  }
  size_t next = 0;
  const auto next_record = [&]() -> char* {
    if (whence != DEFAULTCONFIG) {
      return get_next_rec(path);
    }
    return next < syslog_records.size() ? &syslog_records[next++][0] : nullptr;
  };
  if (whence == USERCONFIG) {
    Patterns.BeginExpansion();
  }
  std::vector<std::string> expanded;
  while (char* const record = next_record()) {
    if (whence == USERCONFIG && Log_Patterns::IsPattern(record)) {
      count += lmAddPatternLogs(record, &expanded);
      continue;
    }
    char* const rest = whence == USERCONFIG ? SystemLogLine(record) : nullptr;
    if (rest != nullptr) {
      if (ConfigUsesSystemLog) {
        WEX1_TRACE(wex1, WEX1_ERROR, SystemLogDuplicateMsg, SYSTEMLOGKEYWORD);
        continue;
      }
      ConfigUsesSystemLog = true;
      count += lmAddSystemLogs(SystemLogDebugMode(rest), true);
      continue;
    }
    if (lmAddValidLog(whence, record)) {
      ++count;
    }
  }
  return static_cast<unsigned int>(ev.Result(count));
}

unsigned int Log_Manager::lmAddPatternLogs(const char* record,
                                           std::vector<std::string>* expanded) {
  const std::string pattern(record, strcspn(record, " \t"));
  Patterns.Expand(record, expanded);
  unsigned int count = 0;
  for (std::string& line : *expanded) {
    const std::string path(line.c_str(), strcspn(line.c_str(), " \t"));
    if (!lmAddValidLog(USERCONFIG, &line[0])) {
      continue;
    }
    ++count;
    Valid_Log* const added = static_cast<Valid_Log*>(FirstValidLog->Prev);
    added->lbSetPattern(pattern.c_str());
    added->LogReadFromStart = Patterns.Fresh(path, pattern);
    added->PreOpened = Patterns.TakeOpened(path);
  }
  return count;
}

bool Log_Manager::lmAddValidLog(_WhenceConfig whence, char* record) {
  Valid_Log* const log =
      new (std::nothrow) Valid_Log(whence, record, FirstValidLog);
  if (log == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, ValidLogAllocErrMsg);
    exit(-1);
  }
  if (log->Valid == 0) {
    RefusedLogs += whence == USERCONFIG ? 1 : 0;
    delete log;
    return false;
  }
  if (FirstValidLog == nullptr) {
    FirstValidLog = log;
  }
  return true;
}

unsigned int Log_Manager::lmUseJournal(char debug, const char* why) {
  WEX1_Event ev(wex1, __func__);
  // The first directory that holds journal files; when none does yet, the
  // first that is there, which waits for its files with a status that
  // says so.
  const char* chosen = nullptr;
  for (const char* const dir : JournalDirs) {
    if (dir != nullptr && Journal_File::jlHoldsJournalFiles(dir)) {
      chosen = dir;
      break;
    }
  }
  struct stat st;
  for (const char* const dir : JournalDirs) {
    if (chosen == nullptr && dir != nullptr && stat(dir, &st) == 0 &&
        S_ISDIR(st.st_mode)) {
      chosen = dir;
    }
  }
  if (chosen == nullptr) {
    return static_cast<unsigned int>(ev.Result(0));
  }
  WEX1_TRACE(wex1, WEX1_ERROR, why != nullptr ? why : JournalDefaultMsg,
             Text(SyslogConfFile), chosen);
  char record[CONFIGRECSIZE];
  snprintf(record, sizeof record, "%s %c%c %c%c", chosen, FIELDFIRSTCHAR, debug,
           FIELDFIRSTCHAR, JOURNALTYPE);
  return static_cast<unsigned int>(
      ev.Result(lmAddValidLog(USERCONFIG, record) ? 1 : 0));
}

Log_File* Log_Manager::lmCreateLogObject(const Valid_Log& log) {
  WEX1_Event ev(wex1, __func__);
  Log_File* object = nullptr;
  switch (log.LogType) {
    // One case per log kind.
    case SYSLOGTYPE:
      object = new (std::nothrow) Syslog_File(log, FirstLogObject);
      break;
    case ERRLOGTYPE:
      object = new (std::nothrow) Errlog_File(log, FirstLogObject);
      break;
    case ADMINLOGTYPE:
      object = new (std::nothrow) Adminlog_File(log, FirstLogObject);
      break;
    case USERLOGTYPE:
      object = new (std::nothrow) Userlog_File(log, FirstLogObject);
      break;
    case JOURNALTYPE:
      object = new (std::nothrow) Journal_File(log, FirstLogObject);
      break;
    default:
      WEX1_TRACE(wex1, WEX1_ERROR, UnknownTypeMsg,
                 static_cast<int>(log.LogType), Text(log.LogFileName));
      return nullptr;
  }
  if (object == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, LogFileAllocErrMsg);
    exit(-1);
  }
  return object;
}

void Log_Manager::lmBuildLogObjects(unsigned int count,
                                    std::vector<Log_File*>* dropped) {
  WEX1_Event ev(wex1, __func__);
  // Logs come and go: the next save writes whatever it finds.
  LogsRebuiltSinceSave = true;
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs; ++i) {
    object->RefreshMode = 1;
    object = static_cast<Log_File*>(object->Next);
  }

  // Valid logs that kept or got an object; those of a type no kind exists
  // for are traced and left out.
  int monitored = 0;
  Valid_Log* valid = FirstValidLog;
  for (unsigned int i = 0; i < count && valid != nullptr;
       ++i, valid = static_cast<Valid_Log*>(valid->Next)) {
    if (NumLogs != 0) {
      Log_File* const found = lmFindLogObject(valid->LogFileName);
      if (found != nullptr && found->LogType == valid->LogType &&
          strcmp(Text(found->LogProcedure), Text(valid->LogProcedure)) == 0) {
        found->operator=(*valid);
        found->RefreshMode = 0;
        ++monitored;
        continue;
      }
    }
    Log_File* const created = lmCreateLogObject(*valid);
    if (created == nullptr) {
      continue;
    }
    if (FirstLogObject == nullptr) {
      FirstLogObject = created;
    }
    ++NumLogs;
    ++monitored;
  }

  // Every dropped worker is told to stop before any is joined.
  std::vector<Log_File*> here;
  std::vector<Log_File*>* const out = dropped != nullptr ? dropped : &here;
  object = FirstLogObject;
  const int walk = NumLogs;
  for (int i = 0; i < walk; ++i) {
    if (object->RefreshMode == 1) {
      object->lfRequestStop();
      out->push_back(object);
    }
    object = static_cast<Log_File*>(object->Next);
  }
  for (Log_File* const gone : *out) {
    lmDetachLogObject(gone);
  }
  for (Log_File* const gone : here) {
    WEX1_TRACE(wex1, WEX1_FLOW, DeletingMsg, Text(gone->LogFileName));
    delete gone;
  }

  if (NumLogs != monitored) {
    WEX1_TRACE(wex1, WEX1_ERROR, CountMismatchMsg, monitored, NumLogs);
    exit(-1);
  }

  lmDropValidLogs();
}

void Log_Manager::lmOpenDebugLog() {
  WEX1_Event ev(wex1, __func__);
  // The debug log copies raw log lines, so it is no more readable than the
  // agent's other files (0640 when created).
  FILE* const stream = OpenForAppend(Text(DebugLog), "debug log", nullptr);
  if (stream == nullptr) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, DebugOpenErrMsg, Text(DebugLog), e,
               ErrnoText(e, eb, sizeof eb));
    return;
  }
  setvbuf(stream, nullptr, _IOLBF, 0);
  DebugLogP = stream;
}

void Log_Manager::lmCloseDebugLog() {
  WEX1_Event ev(wex1, __func__);
  FILE* const stream = DebugLogP.exchange(nullptr);
  if (stream != nullptr && fclose(stream) != 0) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, DebugCloseErrMsg, Text(DebugLog), e,
               ErrnoText(e, eb, sizeof eb));
  }
}

void Log_Manager::lmLockManager() {
  const int rc = ManagerLock.Lock();
  if (rc != 0) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, LockErrMsg, rc, ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
  WEX1_TRACE(wex1, WEX1_FLOW, LockMsg);
}

void Log_Manager::lmUnlockManager() {
  const int rc = ManagerLock.Unlock();
  if (rc != 0) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, UnlockErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
    exit(-1);
  }
  WEX1_TRACE(wex1, WEX1_FLOW, UnlockMsg);
}

void Log_Manager::lmStopManagerThread() {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  if (ManagerThreadStarted && !pthread_equal(pthread_self(), ManagerThread)) {
    int rc = pthread_cancel(ManagerThread);
    if (rc != 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, CancelErrMsg, rc,
                 ErrnoText(rc, eb, sizeof eb));
    } else {
      WEX1_TRACE(wex1, WEX1_FLOW, CancelMsg);
    }
    rc = pthread_join(ManagerThread, nullptr);
    if (rc != 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, JoinErrMsg, rc,
                 ErrnoText(rc, eb, sizeof eb));
    } else {
      WEX1_TRACE(wex1, WEX1_FLOW, JoinMsg);
    }
    ManagerThreadStarted = false;
  }
  if (!SyncObjectsReady) {
    return;
  }
  SyncObjectsReady = false;
  int rc = ManagerLock.Destroy();
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, MutexDestroyErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, MutexDestroyMsg);
  }
  rc = ManagerNotInUse.Destroy();
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, InUseDestroyErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, InUseDestroyMsg);
  }
  rc = AgentServerNotUp.Destroy();
  if (rc != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, ServerUpDestroyErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, ServerUpDestroyMsg);
  }
}

void Log_Manager::lmPrintSelf() {
  char config_time[32];
  char syslog_time[32];
  char thread[2 * sizeof ManagerThread + 1];
  char lock[2 * sizeof(pthread_mutex_t) + 1];
  constexpr unsigned cond_size = sizeof(pthread_cond_t);
  char in_use[2 * cond_size + 1];
  char server_up[2 * cond_size + 1];
  char signals[2 * sizeof SignalSet + 1];
  WEX1_Printf(wex1, PrintSelfMsg, static_cast<void*>(this), Text(ConfigFile),
              TimeText(ConfigFileLastChanged, config_time),
              Text(SyslogConfFile),
              TimeText(SyslogConfFileLastChanged, syslog_time), NumLogs,
              static_cast<void*>(FirstLogObject),
              static_cast<void*>(FirstValidLog), static_cast<int>(UseCount),
              xtoa(thread, &ManagerThread, sizeof ManagerThread),
              xtoa(lock, ManagerLock.native(), sizeof(pthread_mutex_t)),
              xtoa(in_use, ManagerNotInUse.native(), cond_size),
              static_cast<int>(AgentServerUp),
              xtoa(server_up, AgentServerNotUp.native(), cond_size),
              xtoa(signals, &SignalSet, sizeof SignalSet), Text(DebugLog),
              static_cast<void*>(DebugLogP.load()));
}

void Log_Manager::lmBeginRequest() {
  WEX1_Event ev(wex1, __func__);
  lmLockManager();
  ++UseCount;
  WEX1_TRACE(wex1, WEX1_FLOW, UseCountMsg, static_cast<int>(UseCount));
  lmUnlockManager();
}

void Log_Manager::lmLeaveRing() {
  lmLockManager();
  ++ReadingCount;
  lmUnlockManager();
}

void Log_Manager::lmReturnToRing() {
  lmLockManager();
  if (ReadingCount != 0) {
    --ReadingCount;
  }
  lmUnlockManager();
}

void Log_Manager::lmEndRequest() {
  WEX1_Event ev(wex1, __func__);
  lmLockManager();
  if (UseCount == 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, UseCountNegativeMsg, -1, 0);
  } else if (--UseCount == 0) {
    const int rc = ManagerNotInUse.Broadcast();
    if (rc != 0) {
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR, InUseSignalErrMsg, rc,
                 ErrnoText(rc, eb, sizeof eb));
    } else {
      WEX1_TRACE(wex1, WEX1_FLOW, InUseSignalMsg);
    }
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, UseCountMsg, static_cast<int>(UseCount));
  }
  lmUnlockManager();
}

void Log_Manager::lmSetFrameworkReady() {
  lmLockManager();
  FrameworkReady = true;
  AgentServerNotUp.Broadcast();
  lmUnlockManager();
}

void Log_Manager::lmSetFrameworkFailed() {
  lmLockManager();
  FrameworkFailed = true;
  AgentServerNotUp.Broadcast();
  lmUnlockManager();
}

bool Log_Manager::lmWaitForFrameworkReady() {
  lmLockManager();
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += SERVERWAITSECONDS;
  while (!FrameworkReady && !FrameworkFailed &&
         AgentServerNotUp.WaitUntil(&ManagerLock, deadline)) {
  }
  const bool failed = FrameworkFailed;
  lmUnlockManager();
  return !failed;
}

void Log_Manager::lmSetServerUp() {
  WEX1_Event ev(wex1, __func__);
  lmLockManager();
  AgentServerUp = 1;
  const int rc = AgentServerNotUp.Signal();
  if (rc != 0) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, ServerUpSignalErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, ServerUpSignalMsg);
  }
  lmUnlockManager();
}

Log_File* Log_Manager::lmGetNextLogObject(Log_File* current,
                                          unsigned int index) {
  WEX1_Event ev(wex1, __func__);
  if (current == nullptr) {
    if (NumLogs != 0) {
      return FirstLogObject;
    }
    WEX1_TRACE(wex1, WEX1_FLOW, NoLogsMsg);
    return nullptr;
  }
  Log_File* const next = static_cast<Log_File*>(current->Next);
  if (next == FirstLogObject) {
    return nullptr;
  }
  if (index >= static_cast<unsigned int>(NumLogs)) {
    WEX1_TRACE(wex1, WEX1_ERROR, WalkCorruptedMsg);
    return nullptr;
  }
  return next;
}

Log_File* Log_Manager::lmFindLogObject(char* name) {
  WEX1_Event ev(wex1, __func__);
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs && object != nullptr; ++i) {
    if (strcmp(Text(object->LogFileName), Text(name)) == 0) {
      return object;
    }
    object = static_cast<Log_File*>(object->Next);
  }
  return nullptr;
}

void Log_Manager::lmShutdown() {
  WEX1_Event ev(wex1, __func__);
  WEX1_TRACE(wex1, WEX1_FLOW, ShutdownMsg);
  lmStopManagerThread();
  lmStopLogs();
  if (FirstLogObject != nullptr) {
    lmDeleteNextLog(FirstLogObject, 1);
  }
  // Like the ring's objects, not waiting for requests still counted in.
  for (Log_File* const object : RetiredLogs) {
    delete object;
  }
  RetiredLogs.clear();
  if (DebugLogP.load() != nullptr) {
    lmCloseDebugLog();
  }
}

void Log_Manager::lmDeleteNextLog(Log_File* object, unsigned int number) {
  WEX1_Event ev(wex1, __func__);
  if (static_cast<unsigned int>(NumLogs) < number) {
    WEX1_TRACE(wex1, WEX1_ERROR, ChainCorruptedMsg, NumLogs,
               static_cast<int>(number));
    exit(-1);
  }
  if (object->Next != FirstLogObject) {
    lmDeleteNextLog(static_cast<Log_File*>(object->Next), number + 1);
  }
  lmDeleteLogObject(object);
}

void Log_Manager::lmDeleteLogObject(Log_File* object) {
  WEX1_Event ev(wex1, __func__);
  lmDetachLogObject(object);
  WEX1_TRACE(wex1, WEX1_FLOW, DeletingMsg, Text(object->LogFileName));
  delete object;
}

void Log_Manager::lmDetachLogObject(Log_File* object) {
  WEX1_Event ev(wex1, __func__);
  int counted = 0;
  if (FirstLogObject != nullptr) {
    counted = 1;
    for (Log_Base* p = FirstLogObject->Next;
         p != FirstLogObject && counted <= NumLogs; p = p->Next) {
      ++counted;
    }
  }
  if (counted != NumLogs) {
    WEX1_TRACE(wex1, WEX1_ERROR, ChainCorruptedMsg, NumLogs, counted);
    exit(-1);
  }
  if (object == FirstLogObject) {
    FirstLogObject =
        NumLogs == 1 ? nullptr : static_cast<Log_File*>(object->Next);
  }
  object->lbRemoveFromChain();
  // Out of every ring: the destructor's own removal is then a no-op.
  object->Next = nullptr;
  object->Prev = nullptr;
  --NumLogs;
}

void Log_Manager::lmRequestStopAll() {
  WEX1_Event ev(wex1, __func__);
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs && object != nullptr; ++i) {
    object->lfRequestStop();
    object = static_cast<Log_File*>(object->Next);
  }
}
