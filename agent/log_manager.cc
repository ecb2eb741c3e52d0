// Log_Manager: the manager thread that reads the log configuration, builds
// and refreshes the ring of monitored logs and stops them.
#include "agent/log_manager.h"

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

#include "agent/config/config_def.h"
#include "agent/config/log_manager_util.h"
#include "agent/config/syslog_conf.h"
#include "agent/config/system_log.h"
#include "agent/follow/line_splitter.h"
#include "agent/kinds/adminlog_file.h"
#include "agent/kinds/errlog_file.h"
#include "agent/kinds/journal_file.h"
#include "agent/kinds/log_file.h"
#include "agent/kinds/syslog_file.h"
#include "agent/kinds/userlog_file.h"
#include "agent/tvxmain.h"
#include "framework/control/main_loop.h"
#include "framework/events/event_sink.h"
#include "framework/situations/situation_registry.h"
#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"
#include "util/append_file.h"
#include "util/errno_text.h"
#include "util/monotonic_ms.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

constexpr int REFRESHSIGNAL = SIGHUP;
constexpr int STOPSIGNAL = SIGTERM;

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
const char ReloadedMsg[] = "\nReload done: %zu situations, %d logs watched.";
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
const char MaxLineErrMsg[] =
    "\n%s value %s is not a number of bytes from %zu to %zu; lines are kept to %zu bytes.";
const char SyslogConfGoneMsg[] =
    "\nThe syslog configuration %s is gone; the files it named (%u) are watched on.";
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

const char DeletingMsg[] = "\nDeleting log object for file %s";

// Names the journal directory watched when the system log is the journal.
const char JOURNALDIRENVVAR[] = "TVX_JOURNAL_DIR";

const char PrintSelfMsg[] =
    "\n\tthis\t\t\t\t= %p\n\tConfigFile\t\t\t= \"%s\"\n\tConfigFileLastChanged\t\t= %s"
    "\tSyslogConfFile\t\t\t= \"%s\"\n\tSyslogConfFileLastChanged\t= %s\tNumLogs\t\t\t\t= %d\n"
    "\tFirstLogObject\t\t\t= %p\n\tFirstValidLog\t\t\t= %p\n\tUseCount\t\t\t= %d\n"
    "\tManagerThread\t\t\t= %s\n\tManagerLock\t\t\t= %s\n\tManagerNotInUse\t\t\t= %s\n"
    "\tAgentServerUp\t\t\t= %d\n\tAgentServerNotUp\t\t= %s\n\tSignalSet\t\t\t= %s\n"
    "\tDebugLog\t\t\t= \"%s\"\n\tDebugLogP\t\t\t= %p\n";
const char NotAccessedText[] = "File not accessed\n";

constexpr auto Text = Name;

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
      NoWork(false),
      StateFile(nullptr),
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
  bool longest_valid = true;
  const size_t longest = LongestLineSetting(&longest_valid);
  if (!longest_valid) {
    WEX1_TRACE(wex1, WEX1_ERROR, MaxLineErrMsg, MAXLINEENVVAR,
               getenv(MAXLINEENVVAR), MINLINELIMIT, MAXLINELIMIT, longest);
  }
  value = getenv(JOURNALDIRENVVAR);
  if (value != nullptr && *value != '\0') {
    JournalDirEnv = value;
    JournalDirs[0] = JournalDirEnv.c_str();
    JournalDirs[1] = nullptr;
    WEX1_TRACE(wex1, WEX1_FLOW, EnvSetMsg, JOURNALDIRENVVAR, value);
  }
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
  manager->lmRestoreSituationState();
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
        ReloadAsked = true;
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
  } else if (ReloadAsked) {
    WEX1_TRACE(wex1, WEX1_FLOW, ReloadedMsg,
               Situation_Registry::Instance().List().size(), NumLogs);
  }
  ReloadAsked = false;
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
      const unsigned int count = lmCreateValidLogList(ConfigFile);
      ConfigHadNoValidLine = count == 0;
      if (count != 0) {
        ConfigFileLastChanged = signature.mtime_sec;
        ConfigFileSignature = signature;
        if (!ConfigUsesSystemLog) {
          SyslogConfFileLastChanged = 0;
          SyslogRecords.clear();
          SyslogConfGone = false;
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
  if (SyslogConfGone) {
    struct stat st;
    return stat(Text(SyslogConfFile), &st) == 0;  // only its return
  }
  return SystemLogChanged(SyslogConfFile, SyslogConfFileLastChanged,
                          SyslogConfFileSignature);
}

unsigned int Log_Manager::lmAddSystemLogs(char debug, bool journal) {
  // Whatever happens below, a later refresh looks again.
  SyslogConfFileLastChanged = 0;
  System_Log_Places places;
  places.syslog_conf = SyslogConfFile;
  places.journal_dirs = JournalDirs;
  places.journal_dir_count = sizeof JournalDirs / sizeof JournalDirs[0];
  places.holds_journal_files = Journal_File::jlHoldsJournalFiles;
  bool from_conf = false;
  File_Signature signature;
  struct stat st;
  if (!SyslogRecords.empty() && stat(Text(SyslogConfFile), &st) != 0 &&
      errno == ENOENT) {
    // Gone while its files are watched (a package upgrade replacing it, a
    // mistaken removal): the files go on being written by the daemon that
    // read it, so they are watched on until a configuration says otherwise.
    if (!SyslogConfGone) {
      SyslogConfGone = true;
      WEX1_TRACE(wex1, WEX1_ERROR, SyslogConfGoneMsg, Text(SyslogConfFile),
                 static_cast<unsigned int>(SyslogRecords.size()));
    }
    unsigned int count = 0;
    for (const std::string& kept : SyslogRecords) {
      std::string record = kept;
      count += lmAddValidLog(USERCONFIG, &record[0]) ? 1 : 0;
    }
    return count;
  }
  SyslogConfGone = false;
  SyslogRecords.clear();
  std::vector<std::string> records;
  const unsigned int count = AddSystemLog(
      places, debug, journal, NumLogs == 0,
      [this, &records](char* record) {
        records.emplace_back(record);
        return lmAddValidLog(USERCONFIG, record);
      },
      &from_conf, &signature);
  if (from_conf) {
    SyslogConfFileLastChanged = signature.mtime_sec;
    SyslogConfFileSignature = signature;
    SyslogRecords = std::move(records);
  }
  return count;
}

unsigned int Log_Manager::lmCreateValidLogList(const char* path) {
  WEX1_Event ev(wex1, __func__);
  unsigned int count = 0;
  Patterns.BeginExpansion();
  std::vector<std::string> expanded;
  while (char* const record = get_next_rec(path)) {
    if (Log_Patterns::IsPattern(record)) {
      count += lmAddPatternLogs(record, &expanded);
      continue;
    }
    char* const rest = SystemLogLine(record);
    if (rest != nullptr) {
      if (ConfigUsesSystemLog) {
        WEX1_TRACE(wex1, WEX1_ERROR, SystemLogDuplicateMsg, SYSTEMLOGKEYWORD);
        continue;
      }
      ConfigUsesSystemLog = true;
      count += lmAddSystemLogs(SystemLogDebugMode(rest), true);
      continue;
    }
    if (lmAddValidLog(USERCONFIG, record)) {
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
  if (count != 0) {
    PositionsInUse = true;
  }
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
