// Errlog_File: the log kind of the host's error log (type 'E'), read through
// the error-report command.
#include "agent/kinds/errlog_file.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "agent/config/config_def.h"
#include "agent/config/valid_log.h"
#include "agent/kinds/node_names.h"
#include "framework/runtime/trace.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/errno_text.h"
#include "util/subprocess.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char SHELL[] = "/bin/sh";
const char SHELLFLAG[] = "-c";
// The command's $0.
const char SHELLNAME[] = "qoragent";
const char ERRPTCOMMAND[] = "errpt";
const char STARTFLAG[] = "-s";
const char ENDFLAG[] = "-e";
const char ERRPTDATEFORMAT[] = "mmddhhmmyy";
const char DATEFORMATTER[] = "%0.2d%0.2d%0.2d%0.2d%0.2d";
const char FIELDSEPARATOR[] = ": ";
const char BLANKSTRING[] = " ";
constexpr int STOPSIGNAL = 15;

// The date that replaces ERRPTDATEFORMAT, and the report arguments' times.
constexpr size_t ERRLOGTIMELENGTH = sizeof ERRPTDATEFORMAT - 1;
// Entry line layout.
constexpr size_t IDLENGTH = 8;
constexpr size_t TIMEPOS = 11;
constexpr size_t TYPEPOS = TIMEPOS + ERRLOGTIMELENGTH + 1;
// The report command line as traced: command, two arguments, two blanks.
constexpr int COMMANDTEXTSIZE = 34;
// How long a child may take to end once it was told to (or, for a report
// child, once its pipe is closed) before it is killed.
constexpr long CHILDGRACEMS = 2000;

const char MonitorWord[] = "Monitor";
const char ReportWord[] = "Report";
const char CoreText[] = " (core file generated)";

// Monitoring child and pipe.
const char PipeErrMsg[] = "\nError creating pipe for file %s. errno = %d; %s";
const char PipeMsg[] =
    "\nPipe opened successfully for file %s; read fd = %d; write fd = %d";
const char ParentCloseMsg[] = "\nParent process closing write fd %d.";
const char ChildErrMsg[] =
    "\nError creating child process for file %s. errno = %d; %s";
const char ChildMsg[] = "\nChild process created for file %s. pid = %d.";
const char ChildExecMsg[] =
    "\nChild process for file %s about to exec \"%s %s %s\"; redirecting fd %d (stdout) to pipe; closing fd's %d & %d.";
const char ExecErrMsg[] =
    "\nError executing command %s for file %s. errno = %d; %s";
const char CommandChangedMsg[] = "\nCommand for file %s changed to %s.";
const char GetFlagErrMsg[] =
    "\nError while getting flag for pipe %d for file %s. errno = %d; %s";
const char SetFlagErrMsg[] =
    "\nError while setting flag for pipe %d for file %s. errno = %d; %s";
const char FdopenErrMsg[] =
    "\nError converting read pipe fd %d to  file pointer for log file %s. errno = %d; %s";
const char SelectErrMsg[] =
    "\nError occurred during select() system call for command %s on fd %d. errno = %d; %s";
const char EOFMsg[] =
    "\nEOF detected during fgets() system call on pipe %d to command %s.";
const char FgetsErrMsg[] =
    "\nError occurred during fgets() system call on pipe %d to command %s. errno = %d; %s";
const char KillMsg[] =
    "\nThread for file %s issuing \"kill -%d\" to kill child process %s ( pid = %d )";
const char KillErrMsg[] =
    "\nError attempting to terminate command %s ( pid = %d ) for file %s. errno = %d; %s";
const char WaitErrMsg[] =
    "\nWait system called failed for file %s; pid = %d. errno = %d; %s";
const char NormalEndMsg[] =
    "\n%s command %s ( pid = %d ) for file %s has terminated normally; exit status = %d";
const char AbnormalEndMsg[] =
    "\n%s command %s ( pid = %d ) for file %s has terminated abnormally; signal number = %d%s";
const char StoppedEndMsg[] =
    "\n%s command %s ( pid = %d ) for file %s has been stopped by a signal; signal number = %d";
const char ClosePipeErrMsg[] =
    "\nError closing read end of pipe; fd = %d. errno = %d; %s";
const char ClosePipeMsg[] = "\nRead end of pipe closed successfully; fd = %d.";
const char CloseStreamErrMsg[] =
    "\nError closing read end of pipe. errno = %d; %s";
const char CloseStreamMsg[] = "\nRead end of pipe closed successfully.";

// Reports.
const char MemoryErrMsg[] =
    "\nMemory allocation for %d bytes failed. errno = %d; %s";
const char ReportExecMsg[] =
    "\nChild process for report on file %s about to exec \"%s %s %s\"; redirecting fd %d (stdout) to pipe; closing fd's %d & %d.";
const char ReportExecErrMsg[] =
    "\nError executing command %s %s %s for report on file  %s. errno = %d; %s";
const char ReportChildErrMsg[] =
    "\nError creating child process for report on file %s. errno = %d; %s";
const char ReportChildMsg[] =
    "\nChild process created for report on file %s. pid = %d.";
const char ReportFdopenErrMsg[] =
    "\nError converting read pipe fd %d to file pointer for report on log file %s. errno = %d; %s";
const char ReportReadErrMsg[] =
    "\nError while reading file %s for report on file %s. errno = %d; %s";
const char ReportFormatErrMsg[] =
    "\nError while formatting line for report on file %s.";
const char ReportWaitErrMsg[] =
    "\nError waiting for child report process %d to terminate for file %s.errno = %d; %s";

const char PrintSelfMsg[] = "\n\tChildPID\t\t= %d\n";

// The command line the monitoring child runs.
const char* Procedure(const char* procedure) {
  return procedure != nullptr ? procedure : DEFAULTERRLOGPROCEDURE;
}

bool IsSpace(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

bool IsDigit(char c) {
  return isdigit(static_cast<unsigned char>(c)) != 0;
}

// Reads the next line of a blocking stream into `buffer` (ERRLOGBUFSIZE);
// the rest of a longer line is dropped. False at the end or on an error.
bool ReadWholeLine(FILE* stream, char* buffer) {
  while (fgets(buffer, ERRLOGBUFSIZE, stream) == nullptr) {
    if (!ferror(stream) || errno != EINTR) {
      return false;
    }
    clearerr(stream);
  }
  const size_t length = strlen(buffer);
  if (length == ERRLOGBUFSIZE - 1 && buffer[length - 1] != '\n') {
    char rest[ERRLOGBUFSIZE];
    while (fgets(rest, sizeof rest, stream) != nullptr) {
      const size_t n = strlen(rest);
      if (n > 0 && rest[n - 1] == '\n') {
        break;
      }
    }
  }
  return true;
}

}  // namespace

Errlog_File::Errlog_File(const Valid_Log& log, Log_File* anchor)
    : Log_File(log, anchor),
      ChildPID(-1),
      FixedNow(0),
      PendingLine(),
      PendingLength(0),
      DiscardingLine(false) {
  WEX1_Event ev(wex1, __func__);
  lfStartWorker();
}

Errlog_File::~Errlog_File() {
  WEX1_Event ev(wex1, __func__);
  lfStopThread();
}

void Errlog_File::PrintSelf() {
  elPrintSelf();
}

void Errlog_File::elPrintSelf() {
  lfPrintSelf();
  WEX1_Printf(wex1, PrintSelfMsg, ChildPID.load());
}

void Errlog_File::elSetErrorStatus(_MonitorStatus status) {
  lfLockLog();
  if (MonitorStatus == MONITOR_RUNNING) {
    MonitorStatus = status;
  }
  lfUnlockLog();
}

void Errlog_File::lfProcessLogData() {
  WEX1_Event ev(wex1, __func__);
  int fds[2];
  if (elOpenPipe(fds) != 0) {
    elSetErrorStatus(MONITOR_ERR_CREATE_PIPE);
    return;
  }
  LogFD = fds[0];
  PendingLength = 0;
  DiscardingLine = false;
  elCreateChild(fds);
  if (ChildPID < 1) {
    elClosePipe(&LogFD);
    return;
  }
  if (LogFileP != nullptr) {
    elWaitForEventLoop();
    FILE* stream = LogFileP.release();
    elClosePipe(&stream);
    LogFD = -1;
  } else {
    elClosePipe(&LogFD);
  }
  elKillChild();
}

int Errlog_File::elOpenPipe(int* const fds) {
  WEX1_Event ev(wex1, __func__);
  // Close-on-exec: a child started meanwhile by another log or report must
  // not hold this pipe open.
  if (pipe2(fds, O_CLOEXEC) != 0) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, PipeErrMsg, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    fds[0] = -1;
    fds[1] = -1;
    return static_cast<int>(ev.Result(-1));
  }
  WEX1_TRACE(wex1, WEX1_FLOW, PipeMsg, Name(LogFileName), fds[0], fds[1]);
  if (!lfWithinDescriptorReserve(fds[1])) {
    elClosePipe(&fds[0]);
    elClosePipe(&fds[1]);
    return static_cast<int>(ev.Result(-1));
  }
  return static_cast<int>(ev.Result(0));
}

void Errlog_File::elCreateChild(int* const fds) {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  const char* const procedure = Procedure(LogProcedure);
  // The command is made ready here, not in the child: a child of a
  // threaded process may not take the locks of the clock or the trace.
  const size_t length = strlen(procedure);
  std::unique_ptr<char[]> command(new (std::nothrow) char[length + 1]);
  pid_t pid = -1;
  int fork_errno = ENOMEM;
  int exec_errno = 0;
  if (command != nullptr) {
    memcpy(command.get(), procedure, length + 1);
    elSubstituteStartDate(command.get());
    WEX1_TRACE(wex1, WEX1_FLOW, ChildExecMsg, Name(LogFileName), SHELL,
               SHELLFLAG, command.get(), STDOUT_FILENO, fds[0], fds[1]);
    // The log's path is the command's "$1": data, never command text.
    char* const argv[] = {const_cast<char*>(SHELL),
                          const_cast<char*>(SHELLFLAG),
                          command.get(),
                          const_cast<char*>(SHELLNAME),
                          const_cast<char*>(Name(LogFileName)),
                          nullptr};
    pid = Subprocess::Spawn(argv, Subprocess::kExactPath, fds[1], &exec_errno);
    fork_errno = errno;
  }
  WEX1_TRACE(wex1, WEX1_FLOW, ParentCloseMsg, fds[1]);
  close(fds[1]);
  fds[1] = -1;
  if (pid < 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, ChildErrMsg, Name(LogFileName), fork_errno,
               ErrnoText(fork_errno, eb, sizeof eb));
    elSetErrorStatus(MONITOR_ERR_CREATE_CHILD);
    return;
  }
  ChildPID = pid;
  WEX1_TRACE(wex1, WEX1_FLOW, ChildMsg, Name(LogFileName), pid);
  if (exec_errno != 0) {
    // The child has ended; its output ends at once.
    WEX1_TRACE(wex1, WEX1_ERROR, ExecErrMsg, SHELL, Name(LogFileName),
               exec_errno, ErrnoText(exec_errno, eb, sizeof eb));
  }
  elConvertReadFD();
}

void Errlog_File::elSubstituteStartDate(char* command) {
  WEX1_Event ev(wex1, __func__);
  char* const at = strstr(command, ERRPTDATEFORMAT);
  if (at == nullptr) {
    return;
  }
  const time_t fixed = FixedNow;
  const time_t now = fixed != 0 ? fixed : time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) {
    return;
  }
  // Two digits each for the ranges given; room for any int regardless.
  char date[64];
  // The '0' flags are void beside the precision, which alone gives the two
  // digits; the constant is kept as it is.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
  snprintf(date, sizeof date, DATEFORMATTER, local.tm_mon + 1, local.tm_mday,
           local.tm_hour, local.tm_min, local.tm_year % 100);
#pragma GCC diagnostic pop
  if (strlen(date) != ERRLOGTIMELENGTH) {
    return;
  }
  memcpy(at, date, ERRLOGTIMELENGTH);
  WEX1_TRACE(wex1, WEX1_FLOW, CommandChangedMsg, Name(LogFileName), command);
}

void Errlog_File::elConvertReadFD() {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  const int flags = fcntl(LogFD, F_GETFL);
  if (flags < 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, GetFlagErrMsg, LogFD, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    elSetErrorStatus(MONITOR_ERR_PIPE_GET_FLAG);
    return;
  }
  if (fcntl(LogFD, F_SETFL, flags | O_NONBLOCK) < 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, SetFlagErrMsg, LogFD, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    elSetErrorStatus(MONITOR_ERR_PIPE_SET_FLAG);
    return;
  }
  FILE* const stream = fdopen(LogFD, "r");
  if (stream == nullptr) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, FdopenErrMsg, LogFD, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    elSetErrorStatus(MONITOR_ERR_PIPE_FD);
    return;
  }
  LogFileP.reset(stream);
}

void Errlog_File::elWaitForEventLoop() {
  WEX1_Event ev(wex1, __func__);
  // poll rather than select: a descriptor above FD_SETSIZE would not fit
  // an fd_set.
  constexpr int TIMEOUTMS = 1000;
  while (MonitorStatus == MONITOR_RUNNING) {
    struct pollfd p;
    p.fd = LogFD;
    p.events = POLLIN;
    p.revents = 0;
    const int n = lfWaitForWake(TIMEOUTMS, &p);
    if (n < 0) {
      const int e = errno;
      if (e == EINTR) {
        continue;
      }
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR, SelectErrMsg, Procedure(LogProcedure), LogFD,
                 e, ErrnoText(e, eb, sizeof eb));
      elSetErrorStatus(MONITOR_ERR_SELECT);
      break;
    }
    // Woken (a stop, most likely) with nothing to read: look at the status.
    if (n == 0 || p.revents == 0) {
      continue;
    }
    if (lfReadLog() != 0) {
      elSetErrorStatus(MONITOR_ERR_READ);
      break;
    }
  }
}

long Errlog_File::lfReadLog() {
  WEX1_Event ev(wex1, __func__);
  FILE* const stream = LogFileP.get();
  int e = 0;
  while (true) {
    if (DiscardingLine) {
      char rest[ERRLOGBUFSIZE];
      if (fgets(rest, sizeof rest, stream) == nullptr) {
        e = errno;
        break;
      }
      const size_t n = strlen(rest);
      NumBytesRead.fetch_add(n, std::memory_order_relaxed);
      DiscardingLine = n == 0 || rest[n - 1] != '\n';
      continue;
    }
    // Appended to what arrived of the line before; at least two bytes of
    // room, so that every read makes progress.
    char* const at = PendingLine + PendingLength;
    if (fgets(at, static_cast<int>(ERRLOGBUFSIZE - PendingLength), stream) ==
        nullptr) {
      e = errno;
      break;
    }
    const size_t got = strlen(at);
    NumBytesRead.fetch_add(got, std::memory_order_relaxed);
    const size_t n = PendingLength + got;
    const bool complete = n > 0 && PendingLine[n - 1] == '\n';
    if (!complete && n < static_cast<size_t>(ERRLOGBUFSIZE - 1)) {
      // The writer has not finished the line yet.
      PendingLength = n;
      continue;
    }
    // An over-long line is taken as its first ERRLOGBUFSIZE - 1 characters.
    DiscardingLine = !complete;
    PendingLength = 0;
    lfHandleEntry(PendingLine, static_cast<unsigned>(strlen(PendingLine)));
  }
  if (feof(stream)) {
    if (PendingLength > 0) {
      // The last line of the output, without a newline.
      PendingLength = 0;
      lfHandleEntry(PendingLine, static_cast<unsigned>(strlen(PendingLine)));
    }
    WEX1_TRACE(wex1, WEX1_ERROR, EOFMsg, LogFD, Procedure(LogProcedure));
    return ev.Result(-1);
  }
  if (ferror(stream) && e != EAGAIN && e != EWOULDBLOCK && e != EINTR) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, FgetsErrMsg, LogFD, Procedure(LogProcedure), e,
               ErrnoText(e, eb, sizeof eb));
    return ev.Result(-1);
  }
  // Nothing more for now; the next pass reads on.
  clearerr(stream);
  return ev.Result(0);
}

void Errlog_File::elKillChild() {
  WEX1_Event ev(wex1, __func__);
  const int pid = ChildPID;
  if (pid < 1) {
    return;
  }
  char eb[128];
  const char* const procedure = Procedure(LogProcedure);
  WEX1_TRACE(wex1, WEX1_FLOW, KillMsg, Name(LogFileName), STOPSIGNAL, procedure,
             pid);
  // The whole group: what the shell started ends with it.
  int rc = kill(-pid, STOPSIGNAL);
  if (rc != 0 && errno == ESRCH) {
    rc = kill(pid, STOPSIGNAL);
  }
  if (rc != 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, KillErrMsg, procedure, pid, Name(LogFileName),
               e, ErrnoText(e, eb, sizeof eb));
  }
  // Reaped even when the signal could not be sent: it may have ended by
  // itself, and is killed when it has not ended within the grace.
  int status = 0;
  if (Subprocess::Reap(pid, CHILDGRACEMS, &status) != pid) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, WaitErrMsg, Name(LogFileName), pid, e,
               ErrnoText(e, eb, sizeof eb));
    if (e == ECHILD) {
      ChildPID = -1;  // not ours to reap (any more)
    }
    return;
  }
  if (WEX1_On(wex1, WEX1_ERROR | WEX1_FLOW)) {
    elPrintChildStatus(pid, status, procedure);
  }
  ChildPID = -1;
}

void Errlog_File::elClosePipe(int* fd) {
  WEX1_Event ev(wex1, __func__);
  if (*fd < 0) {
    return;
  }
  if (close(*fd) != 0) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, ClosePipeErrMsg, *fd, e,
               ErrnoText(e, eb, sizeof eb));
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, ClosePipeMsg, *fd);
  }
  *fd = -1;
}

void Errlog_File::elClosePipe(FILE** stream) {
  WEX1_Event ev(wex1, __func__);
  if (*stream == nullptr) {
    return;
  }
  if (fclose(*stream) != 0) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, CloseStreamErrMsg, e,
               ErrnoText(e, eb, sizeof eb));
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, CloseStreamMsg);
  }
  *stream = nullptr;
}

void Errlog_File::elPrintChildStatus(int pid, int status, const char* command) {
  const char* const who = pid == ChildPID ? MonitorWord : ReportWord;
  command = Name(command);
  if (WIFEXITED(status)) {
    WEX1_TRACE(wex1, WEX1_FLOW, NormalEndMsg, who, command, pid,
               Name(LogFileName), WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    WEX1_TRACE(wex1, WEX1_ERROR, AbnormalEndMsg, who, command, pid,
               Name(LogFileName), WTERMSIG(status),
               WCOREDUMP(status) ? CoreText : "");
  } else if (WIFSTOPPED(status)) {
    WEX1_TRACE(wex1, WEX1_ERROR, StoppedEndMsg, who, command, pid,
               Name(LogFileName), WSTOPSIG(status));
  }
}

long Errlog_File::lfFormatEntryAsRow(char* entry, void* row_arg,
                                     void* /*report*/) {
  WEX1_Event ev(wex1, __func__);
  tvx_vxlogent_data_t* const row = static_cast<tvx_vxlogent_data_t*>(row_arg);
  memset(row, ' ', sizeof *row);
  char* pos = elFormatEntryTime(row->entrytime, entry);
  if (pos == nullptr) {
    return ev.Result(-1);
  }
  const size_t host = strnlen(gHostName, sizeof row->entrysys);
  memcpy(row->entrysys, gHostName, host);
  pos = elExtractNextField(row->entrytype, pos, sizeof row->entrytype);
  pos = elExtractNextField(row->entryclass, pos, sizeof row->entryclass);
  pos = elExtractNextField(row->entrysrc, pos, sizeof row->entrysrc);
  elFormatDescription(row->entrydesc, entry, pos, sizeof row->entrydesc);
  lfFillCommonColumns(row);
  return ev.Result(0);
}

char* Errlog_File::elFormatEntryTime(char* dest, char* entry) {
  WEX1_Event ev(wex1, __func__);
  if (entry == nullptr ||
      strnlen(entry, TIMEPOS + ERRLOGTIMELENGTH) < TIMEPOS + ERRLOGTIMELENGTH) {
    return nullptr;
  }
  const char* const t = entry + TIMEPOS;
  for (size_t i = 0; i < ERRLOGTIMELENGTH; ++i) {
    if (!IsDigit(t[i])) {
      return nullptr;
    }
  }
  // CYYMMDDhhmm then zero seconds and milliseconds; the year 70 to 99 is
  // 19xx, below 70 20xx.
  char stamp[TIMESTAMPLENGTH];
  memset(stamp, '0', sizeof stamp);
  memcpy(stamp + 1, t + 8, 2);
  if ((t[8] - '0') * 10 + (t[9] - '0') < 70) {
    stamp[0] = '1';
  }
  memcpy(stamp + 3, t, 8);
  memcpy(dest, stamp, TIMESTAMPLENGTH);
  // The type follows one blank after the time, unless the entry ends there.
  char* const end_of_time = entry + TIMEPOS + ERRLOGTIMELENGTH;
  return *end_of_time == '\0' ? end_of_time : entry + TYPEPOS;
}

char* Errlog_File::elExtractNextField(char* dest, char* pos, unsigned width) {
  WEX1_Event ev(wex1, __func__);
  unsigned copied = 0;
  for (; *pos != '\0' && !IsSpace(*pos); ++pos) {
    if (copied < width) {
      dest[copied++] = *pos;
    }
  }
  while (*pos != '\0' && IsSpace(*pos)) {
    ++pos;
  }
  return pos;
}

void Errlog_File::elFormatDescription(char* dest, char* entry, char* pos,
                                      unsigned width) {
  WEX1_Event ev(wex1, __func__);
  size_t used = 0;
  const auto append = [&](const char* text, size_t length) {
    const size_t room = width - used;
    const size_t n = length < room ? length : room;
    memcpy(dest + used, text, n);
    used += n;
  };
  append(entry, strnlen(entry, IDLENGTH));
  append(FIELDSEPARATOR, sizeof FIELDSEPARATOR - 1);
  // One character more than the room, to tell a newline just past it.
  size_t length = strnlen(pos, width - used + 1);
  if (length > 0 && pos[length - 1] == '\n') {
    --length;
  }
  append(pos, length);
}

void* Errlog_File::lfStartReportRequest(void* thresholds) {
  WEX1_Event ev(wex1, __func__);
  ErrlogBufferInfo* const info = new (std::nothrow) ErrlogBufferInfo;
  if (info == nullptr) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, MemoryErrMsg,
               static_cast<int>(sizeof(ErrlogBufferInfo)), ENOMEM,
               ErrnoText(ENOMEM, eb, sizeof eb));
    return nullptr;
  }
  info->pipeFD[0] = -1;
  info->pipeFD[1] = -1;
  info->childPID = 0;
  info->commandText = nullptr;
  info->pipeFile = nullptr;
  info->lineBuffer[0] = '\0';
  info->headerSkipped = 0;
  void* handle = info;
  if (elOpenPipe(info->pipeFD) != 0) {
    // Only this report fails: the log's own monitoring goes on.
    lfEndReportRequest(&handle);
    return nullptr;
  }
  elCreateChildForReport(info, thresholds);
  if (info->pipeFile == nullptr) {
    lfEndReportRequest(&handle);
    return nullptr;
  }
  return handle;
}

void Errlog_File::elCreateChildForReport(ErrlogBufferInfo* info,
                                         void* thresholds) {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  char start[ERRPTARGSIZE];
  char end[ERRPTARGSIZE];
  char* argv[] = {const_cast<char*>(ERRPTCOMMAND), start, end, nullptr};
  elBuildReportCommand(argv, thresholds);
  const char* const first = argv[1] != nullptr ? argv[1] : "";
  const char* const second = argv[2] != nullptr ? argv[2] : "";
  WEX1_TRACE(wex1, WEX1_FLOW, ReportExecMsg, Name(LogFileName), ERRPTCOMMAND,
             first, second, STDOUT_FILENO, info->pipeFD[0], info->pipeFD[1]);
  int exec_errno = 0;
  const pid_t pid = Subprocess::Spawn(argv, Subprocess::kSearchPath,
                                      info->pipeFD[1], &exec_errno);
  const int fork_errno = errno;
  info->childPID = pid;
  WEX1_TRACE(wex1, WEX1_FLOW, ParentCloseMsg, info->pipeFD[1]);
  close(info->pipeFD[1]);
  info->pipeFD[1] = -1;
  if (pid < 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, ReportChildErrMsg, Name(LogFileName),
               fork_errno, ErrnoText(fork_errno, eb, sizeof eb));
    return;
  }
  WEX1_TRACE(wex1, WEX1_FLOW, ReportChildMsg, Name(LogFileName), pid);
  if (exec_errno != 0) {
    // The child has ended: the report finds no output.
    WEX1_TRACE(wex1, WEX1_ERROR, ReportExecErrMsg, ERRPTCOMMAND, first, second,
               Name(LogFileName), exec_errno,
               ErrnoText(exec_errno, eb, sizeof eb));
  }
  info->pipeFile = fdopen(info->pipeFD[0], "r");
  if (info->pipeFile == nullptr) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, ReportFdopenErrMsg, info->pipeFD[0],
               Name(LogFileName), e, ErrnoText(e, eb, sizeof eb));
    return;
  }
  info->commandText = new (std::nothrow) char[COMMANDTEXTSIZE];
  if (info->commandText == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, MemoryErrMsg, COMMANDTEXTSIZE, ENOMEM,
               ErrnoText(ENOMEM, eb, sizeof eb));
    return;
  }
  snprintf(info->commandText, COMMANDTEXTSIZE, "%s%s%s%s%s", ERRPTCOMMAND,
           BLANKSTRING, first, BLANKSTRING, second);
}

void Errlog_File::elBuildReportCommand(char** argv, void* thresholds) {
  WEX1_Event ev(wex1, __func__);
  const _RequestThresholds* const window =
      static_cast<const _RequestThresholds*>(thresholds);
  if (window == nullptr || window->StartTime[0] == '\0' ||
      window->EndTime[0] == '\0') {
    argv[1] = nullptr;
    argv[2] = nullptr;
    return;
  }
  char time[ERRLOGTIMELENGTH];
  elTimestamp2ErrlogTime(time, window->StartTime);
  snprintf(argv[1], ERRPTARGSIZE, "%s%.*s", STARTFLAG,
           static_cast<int>(ERRLOGTIMELENGTH), time);
  elTimestamp2ErrlogTime(time, window->EndTime);
  snprintf(argv[2], ERRPTARGSIZE, "%s%.*s", ENDFLAG,
           static_cast<int>(ERRLOGTIMELENGTH), time);
}

void Errlog_File::elTimestamp2ErrlogTime(char* dest, const char* stamp) {
  char full[TIMESTAMPLENGTH];
  memset(full, '0', sizeof full);
  memcpy(full, stamp, strnlen(stamp, TIMESTAMPLENGTH));
  memcpy(dest, full + 3, 8);
  memcpy(dest + 8, full + 1, 2);
}

void* Errlog_File::lfGetNextLogEntry(void* row, void* report,
                                     void* /*thresholds*/) {
  WEX1_Event ev(wex1, __func__);
  if (row == nullptr || report == nullptr) {
    return nullptr;
  }
  ErrlogBufferInfo* const info = static_cast<ErrlogBufferInfo*>(report);
  if (info->pipeFile == nullptr) {
    return nullptr;
  }
  // The command has selected the window: no time check here. A line that
  // does not format is traced and skipped, as in the other kinds' reports.
  long unformatted = 0;
  while (true) {
    if (!ReadWholeLine(info->pipeFile, info->lineBuffer)) {
      if (ferror(info->pipeFile)) {
        const int e = errno;
        char eb[128];
        WEX1_TRACE(
            wex1, WEX1_ERROR, ReportReadErrMsg,
            info->commandText != nullptr ? info->commandText : ERRPTCOMMAND,
            Name(LogFileName), e, ErrnoText(e, eb, sizeof eb));
      }
      return nullptr;
    }
    if (info->headerSkipped == 0) {
      info->headerSkipped = 1;  // the command's column header
      continue;
    }
    if (lfFormatEntryAsRow(info->lineBuffer, row, nullptr) == 0) {
      return row;
    }
    WEX1_TRACE(wex1, WEX1_ERROR, ReportFormatErrMsg, Name(LogFileName));
    lfWriteToDebugLog(info->lineBuffer,
                      static_cast<unsigned>(strlen(info->lineBuffer)), nullptr,
                      0);
    if (++unformatted > MAXUNFORMATTEDENTRIES) {
      return nullptr;
    }
  }
}

bool Errlog_File::lfReportEntryText(void* report, const char** text,
                                    size_t* length) const {
  if (report == nullptr) {
    return false;
  }
  const ErrlogBufferInfo* const info =
      static_cast<const ErrlogBufferInfo*>(report);
  size_t n = strnlen(info->lineBuffer, sizeof info->lineBuffer);
  while (n > 0 &&
         (info->lineBuffer[n - 1] == '\n' || info->lineBuffer[n - 1] == '\r')) {
    --n;
  }
  *text = info->lineBuffer;
  *length = n;
  return true;
}

void Errlog_File::lfEndReportRequest(void** report) {
  WEX1_Event ev(wex1, __func__);
  if (report == nullptr || *report == nullptr) {
    return;
  }
  ErrlogBufferInfo* const info = static_cast<ErrlogBufferInfo*>(*report);
  if (info->pipeFile != nullptr) {
    elClosePipe(&info->pipeFile);  // and with it pipeFD[0]
    info->pipeFD[0] = -1;
  } else {
    elClosePipe(&info->pipeFD[0]);
  }
  if (info->pipeFD[1] >= 0) {
    close(info->pipeFD[1]);
    info->pipeFD[1] = -1;
  }
  if (info->childPID > 0) {
    // Not signalled: with its pipe closed, a child still writing ends on
    // SIGPIPE. One that neither writes nor ends is killed after the grace.
    int status = 0;
    if (Subprocess::Reap(info->childPID, CHILDGRACEMS, &status) !=
        info->childPID) {
      const int e = errno;
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR, ReportWaitErrMsg, info->childPID,
                 Name(LogFileName), e, ErrnoText(e, eb, sizeof eb));
    } else if (WEX1_On(wex1, WEX1_ERROR | WEX1_FLOW)) {
      elPrintChildStatus(
          info->childPID, status,
          info->commandText != nullptr ? info->commandText : ERRPTCOMMAND);
    }
  }
  delete[] info->commandText;
  delete info;
  *report = nullptr;
}
