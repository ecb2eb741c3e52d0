// The process entry of qoragent: options, environment report, process-wide
// globals, start and shutdown.
#include "agent/tvxmain.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>

#include "agent/config/config_def.h"
#include "agent/config_check.h"
#include "agent/log_manager.h"
#include "agent/log_metrics.h"
#include "framework/control/main_loop.h"
#include "framework/runtime/locks.h"
#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"
#include "util/trusted_file.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

char* gSystemName = nullptr;
int gSystemNameLength = 0;
char gHostName[257] = {};
long gMaxRows = DEFAULTMAXROWS;
Log_Manager* pTheLogManager = nullptr;

Log_Owner* TheLogOwner() {
  return pTheLogManager;
}

namespace {

const char kTraceControl[] = "JOP_WEX1";
const char kMaxRowsVar[] = "TVX_MAX_ROWS";
const char kNodeTypeVar[] = "VANDU_NODETYPE";
constexpr int CWDSIZE = 1025;

const HOV_EnvHelp kAgentEnv[] = {
    {"TVX_CONFIG_FILE",
     "none (the syslog configuration is used, else the systemd journal)",
     "agent configuration file: one log per line, PATH [;DEBUG Y|N] [;TYPE S|E|A|U|J] [;PROCEDURE]"},
    {"TVX_SYSLOG_CONF", "/etc/syslog.conf, else /etc/rsyslog.conf",
     "syslog configuration whose file actions are watched"},
    {"TVX_JOURNAL_DIR", "/var/log/journal, else /run/log/journal",
     "journal directory watched where no syslog configuration names a file"},
    {"AGENT_DEBUG_LOG", "none (debug mode off)",
     "file that receives the debug records of logs in debug mode"},
    {"TVX_MAX_ROWS", "1000", "most rows one log-entries report returns"},
    {"TVX_MAX_PATTERN_LOGS", "1000",
     "most files one configured pattern watches as logs"},
    {"TVX_MAX_LINE", "2046",
     "bytes of a text log's line kept (256 to 65536); a longer line is cut, marked and counted"},
    {"TVX_STATE_FILE", "none (every log starts at its end)",
     "file that keeps each log's position across restarts (saved every 2 s and at stop)"},
    {"VANDU_NODETYPE", "TVX", "node type appended to the system name"},
    {kInsecureFilesVar, "refuse",
     "\"warn\": use a configuration, situations or state file that others can change, with a "
     "warning"},
    {"TVX_POLL_ONLY", "unset (logs are read as they change)",
     "1: read logs only at the one-second check, without inotify"},
    {nullptr, nullptr, nullptr}};

const char* ErrnoText(int e) { return e != 0 ? strerror(e) : "Unknown error"; }

// atoi's reading of a number (leading blanks, sign, digits; the rest
// ignored), but a value outside a long is an error instead of undefined.
bool ReadRowLimit(const char* text, long* value) {
  errno = 0;
  char* end = nullptr;
  const long v = strtol(text, &end, 10);
  if (errno == ERANGE || end == text) {
    return false;
  }
  *value = v;
  return true;
}

// Every log holds a descriptor, so the soft limit on open files is raised to
// the hard limit at start. Traced at the flow level with both numbers.
void RaiseOpenFileLimit() {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
    return;
  }
  const rlim_t before = lim.rlim_cur;
  if (lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
      lim.rlim_cur = before;
    }
  }
  WEX1_TRACE(wex1, WEX1_FLOW, "\nOpen-file limit %llu (was %llu, hard limit %llu).",
             static_cast<unsigned long long>(lim.rlim_cur),
             static_cast<unsigned long long>(before),
             static_cast<unsigned long long>(lim.rlim_max));
}

}  // namespace

long PrintSysconfLimit(const char* const format, int name) {
  errno = 0;
  const long value = sysconf(name);
  const char* qualifier = "";
  if (value < 0) {
    if (errno != 0) {
      const int e = errno;
      WEX1_TRACE(wex1, WEX1_ERROR, "\nError calling sysconf() for limit %d.errno = %d; %s", name,
                 e, ErrnoText(e));
      qualifier = ">> Error <<";
    } else {
      qualifier = ">> Undefined <<";
    }
  }
  WEX1_Printf(wex1, format, value, qualifier);
  return value;
}

long PrintPathconfLimit(const char* const format, int name, const char* const path) {
  errno = 0;
  const long value = pathconf(path, name);
  const char* qualifier = "";
  if (value < 0) {
    if (errno != 0) {
      const int e = errno;
      WEX1_TRACE(wex1, WEX1_ERROR, "\nError calling pathconf() for limit %d. errno = %d; %s", name,
                 e, ErrnoText(e));
      qualifier = ">> Error <<";
    } else {
      qualifier = ">> No limit <<";
    }
  }
  WEX1_Printf(wex1, format, value, qualifier);
  return value;
}

void CheckEnvironment() {
  WEX1_Event ev(wex1, __func__);
  const char* trace_control = getenv(kTraceControl);
  if (trace_control != nullptr) {
    WEX1_Printf(wex1, "\n%s = %s", kTraceControl, trace_control);
  } else {
    WEX1_Printf(wex1, "\n%s is not defined.", kTraceControl);
  }

  gMaxRows = DEFAULTMAXROWS;
  bool rows_set = false;
  const char* rows = getenv(kMaxRowsVar);
  if (rows != nullptr && *rows != '\0') {
    long value = 0;
    if (ReadRowLimit(rows, &value) && value >= 1) {
      gMaxRows = value;
      rows_set = true;
      WEX1_TRACE(wex1, WEX1_FLOW, "\nMaximum Log Entries report rows set to %ld.", gMaxRows);
    } else {
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nError converting %s value of %s to integer; using default value.", kMaxRowsVar,
                 rows);
    }
  }
  if (!rows_set) {
    WEX1_TRACE(wex1, WEX1_FLOW, "\nMaximum Log Entries report rows set to default of %ld.",
               DEFAULTMAXROWS);
  }

  if (!WEX1_On(wex1, WEX1_FLOW)) {
    setlocale(LC_ALL, "");
    return;
  }
  static const char kPosixVersion[] = "\nPOSIX_VERSION\t\t= %ld\tPOSIX version. %s";
  if (PrintSysconfLimit(kPosixVersion, _SC_VERSION) < 0) {
    WEX1_Printf(wex1, kPosixVersion, 199506L, ">> constant displayed <<");
  }
  WEX1_Printf(wex1, "\nCHAR_BIT\t\t= %d\tNo. of bits per char.", CHAR_BIT);
  WEX1_Printf(wex1, "\nINT_MAX\t\t\t= %d\tMax. value of int.", INT_MAX);
  WEX1_Printf(wex1, "\nLONG_MAX\t\t= %ld\tMax. value of long.", LONG_MAX);
  PrintSysconfLimit("\nTHREADS\t\t\t= %ld\tThread support provided. %s", _SC_THREADS);
  PrintSysconfLimit("\nTHREAD_THREADS_MAX\t= %ld\tMax. no. threads per process. %s",
                    _SC_THREAD_THREADS_MAX);
  WEX1_Printf(wex1, "\nYOM1_PTHREAD_DRAFT\t= %d\tPOSIX thread draft.", YOM1_PTHREAD_DRAFT);
  PrintSysconfLimit("\nARG_MAX\t\t\t= %ld\tMax. length of args to exec(). %s", _SC_ARG_MAX);
  PrintSysconfLimit("\nCHILD_MAX\t\t= %ld\tMax. no. processes per real uid. %s", _SC_CHILD_MAX);
  PrintSysconfLimit("\nOPEN_MAX\t\t= %ld\tMax. no. open files per process. %s", _SC_OPEN_MAX);
  PrintSysconfLimit("\nSTREAM_MAX\t\t= %ld\tMax. no. std. i/o streams per process. %s",
                    _SC_STREAM_MAX);
  PrintSysconfLimit("\nSAVED_IDS\t\t= %ld\tImplementation support for saved set-id's. %s",
                    _SC_SAVED_IDS);
  PrintSysconfLimit("\nCLK_TCK\t\t\t= %ld\tNo. of clock ticks per second. %s", _SC_CLK_TCK);

  char cwd[CWDSIZE];
  if (getcwd(cwd, CWDSIZE - 1) != nullptr) {
    WEX1_Printf(wex1,
                "\nCurrent working directory is %s. The following limits apply to the cwd and to "
                "the specific file system to which it belongs.",
                cwd);
    static const char kPathMax[] = "\nPATH_MAX\t\t= %ld\tMax. length of relative pathname. %s";
    if (PrintPathconfLimit(kPathMax, _PC_PATH_MAX, cwd) < 0) {
      WEX1_Printf(wex1, kPathMax, 1024L, ">> constant displayed <<");
    }
    PrintPathconfLimit("\nNAME_MAX\t\t= %ld\tMax. length of filename. %s", _PC_NAME_MAX, cwd);
    PrintPathconfLimit("\nLINK_MAX\t\t= %ld\tMax. value of cwd's link count. %s", _PC_LINK_MAX,
                       cwd);
    PrintPathconfLimit("\nPIPE_BUF\t\t= %ld\tMax. bytes that can be written atomically to a pipe. %s",
                       _PC_PIPE_BUF, cwd);
    PrintPathconfLimit("\nCHOWN_RESTRICTED\t= %ld\tRestricted use of chown. %s",
                       _PC_CHOWN_RESTRICTED, cwd);
  } else {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, "\nError calling getcwd(); array size is %d. errno = %d; %s",
               CWDSIZE, e, ErrnoText(e));
  }
  const char* current = setlocale(LC_ALL, nullptr);
  WEX1_Printf(wex1, "\nCurrent locale categories are %s.", current != nullptr ? current : "(null)");
  const char* set = setlocale(LC_ALL, "");
  WEX1_Printf(wex1, "\nNew locale categories are %s.", set != nullptr ? set : "(null)");
}

void GetSystemName() {
  WEX1_Event ev(wex1, __func__);
  gSystemName = new (std::nothrow) char[SYSTEMNAMESIZE];
  if (gSystemName == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, "\nMemory allocation of %d bytes failed. Agent is terminating.",
               SYSTEMNAMESIZE);
    exit(-1);
  }
  memset(gSystemName, 0, SYSTEMNAMESIZE);
  if (getenv(kNodeTypeVar) == nullptr) {
    ZEP_SetNodeType("TVX");
  }
  DetermineLocalHost(gSystemName, SYSTEMNAMESIZE);
  gSystemName[SYSTEMNAMESIZE - 1] = '\0';
  gSystemNameLength = static_cast<int>(strlen(gSystemName));

  struct utsname names;
  if (uname(&names) < 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, "\nuname() system call failed. errno = %d; %s", e, ErrnoText(e));
    snprintf(gHostName, sizeof gHostName, "%s", "-1");
  } else {
    strncpy(gHostName, names.nodename, 256);
    gHostName[256] = '\0';
  }
  WEX1_TRACE(wex1, WEX1_DETAIL, "\ngSystemName = %s ; gHostName = %s", gSystemName, gHostName);
}

void ShutDown() {
  delete pTheLogManager;
  pTheLogManager = nullptr;
  delete[] gSystemName;
  gSystemName = nullptr;
  fflush(stderr);
  fflush(stdout);
}

int QorAgentMain(int argc, char** argv, ZEP_AgentLoader loadAgents) {
  static const HOV_ProgramInfo kInfo = {
      "qoragent",
      "Watches the logs named in its configuration (or in the syslog configuration, else the\n"
      "systemd journal), turns every new entry into a VXLOGENT row for the situations that\n"
      "watch it, and answers reports on log entries, monitored logs and node status (see\n"
      "qorctl). Log types: S syslog text, E error-report command, A login records, U text\n"
      "described by a format command, J systemd journal (a journal directory or file; the\n"
      "procedure is a match list such as _SYSTEMD_UNIT=ssh.service + SYSLOG_IDENTIFIER=sudo).",
      kAgentEnv, "qoragent(8) and qoragent.conf(5)",
      "loads the configuration (or the syslog or journal default), every format command\n"
      "and the situations file as a start would, prints what it would watch and what it\n"
      "would refuse, and exits 0 when everything loads, 1 otherwise. It starts nothing."};
  // The control signals are blocked before anything else happens, so that a
  // SIGHUP or SIGTERM at any moment after exec waits for the manager thread
  // instead of ending the process by its default action. Every thread
  // started later inherits the mask.
  sigset_t control_signals;
  FillSignalSet(&control_signals);
  pthread_sigmask(SIG_BLOCK, &control_signals, nullptr);
  if (argc == 2 && strcmp(argv[1], "--check") == 0) {
    return QorAgentCheck(loadAgents, stdout);
  }
  const int early = HOV_CommandLine(argc, argv, kInfo);
  if (early >= 0) {
    return early;
  }
  RaiseOpenFileLimit();
  // Load the time zone once, before any thread converts times: mktime and
  // localtime_r would otherwise load it on first use and may leave errno set.
  tzset();
  CheckEnvironment();
  if (atexit(ShutDown) != 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, "\nError establishing exit routine. errno = %d; %s ", e,
               ErrnoText(e));
    exit(-1);
  }
  GetSystemName();
  // Files that name commands or decide what is trusted: refused at start
  // when another user could change them.
  if (!HOV_TrustedFile(CONFIGWHAT, getenv(CONFIGFILEENVVAR), true) ||
      !HOV_TrustedFile(STATEWHAT, getenv(STATEFILEENVVAR), true)) {
    return 1;
  }
  // A wrong metrics address is refused before any thread starts (hovmain
  // would refuse it too, but only after the log manager waited for it).
  const char* metrics = getenv("HOV_METRICS");
  std::string listen;
  std::string err;
  if (metrics != nullptr && *metrics != '\0' &&
      !Metrics_Server::ParseSpec(metrics, &listen, &err)) {
    fprintf(stderr, "qoragent: %s\n", err.c_str());
    return 1;
  }
  pTheLogManager = new Log_Manager;
  ZEP_RegisterAgentLoader(loadAgents);
  ZEP_RegisterReadyHook([] { pTheLogManager->lmSetFrameworkReady(); });
  Metrics_Server::SetLogSource(TvxLogMetrics);
  const int status = hovmain(argc, argv);
  if (status != 0) {
    // A start refused by the framework (situations, event outputs, socket)
    // ends now, not after the manager's wait for a framework that never came.
    pTheLogManager->lmSetFrameworkFailed();
  }
  // Ending for want of anything to watch is a failure a supervisor must see.
  const bool no_work = pTheLogManager->NoWork;
  // The manager thread is joined here, before the exit handlers destroy the
  // runtime's statics under its last traces.
  ShutDown();
  return status == 0 && no_work ? 1 : status;
}
