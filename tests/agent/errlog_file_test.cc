// Tests of the error-log kind (Errlog_File).
#include "agent/kinds/errlog_file.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/config/valid_log.h"
#include "agent/tvxmain.h"
#include "framework/events/event_sink.h"
#include "framework/situations/condition.h"
#include "framework/tables/request.h"
#include "framework/tables/table_manager.h"
#include "tables/request_thresholds.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"
#include "tests/testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Pad(const std::string& text, size_t width) {
  std::string s = text.substr(0, width);
  s.resize(width, ' ');
  return s;
}

std::string Column(const char* field, size_t width) {
  return std::string(field, width);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Running, and not a zombie waiting for its parent.
bool Running(int pid) {
  const std::string stat =
      qortest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && stat.find(") Z", paren) != paren;
}

// The name a descriptor listing gives the pipe open on `fd`.
std::string PipeName(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? "pipe:[" + std::to_string(st.st_ino) + "]" : "?";
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; ++p) {
    ++n;
  }
  return n;
}

// Every test runs the fake error-report command of tests/agent/data: first
// in PATH, reading the entries of errlog_ (which is also the log's file),
// and recording each run's pid and arguments in calls_. Time zone UTC, so
// that fixed clocks give the same dates everywhere.
class ErrlogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Save("TZ", "UTC");
    const char* path = getenv("PATH");
    Save("PATH", std::string(QOR_TEST_SOURCE_DIR) +
                     "/data:" + (path != nullptr ? path : "/usr/bin:/bin"));
    Save("ERRPT_LOG", errlog_);
    Save("ERRPT_CALLS", calls_);
    tzset();
    qortest::WriteFile(errlog_, "");
    memcpy(saved_host_, gHostName, sizeof saved_host_);
    snprintf(gHostName, sizeof gHostName, "%s", "testhost");
  }
  void TearDown() override {
    memcpy(gHostName, saved_host_, sizeof saved_host_);
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      it->had ? setenv(it->name.c_str(), it->value.c_str(), 1)
              : unsetenv(it->name.c_str());
    }
    tzset();
  }
  // Sets an environment variable until the test ends.
  void Save(const std::string& name, const std::string& value) {
    const char* old = getenv(name.c_str());
    saved_.push_back({name, old != nullptr ? old : "", old != nullptr});
    setenv(name.c_str(), value.c_str(), 1);
  }

  // The log as the log manager builds it from "errlog_ ;N ;E[ ;procedure]";
  // its worker starts at once.
  std::unique_ptr<Errlog_File> NewLog(const std::string& procedure = "") {
    std::string line = errlog_ + " ;N ;E";
    if (!procedure.empty()) {
      line += " ;" + procedure;
    }
    std::vector<char> record(line.begin(), line.end());
    record.push_back('\0');
    Valid_Log valid(USERCONFIG, record.data(), nullptr);
    EXPECT_EQ(valid.Valid, 1) << line;
    return std::make_unique<Errlog_File>(valid, nullptr);
  }
  static std::string Status(Errlog_File& log) {
    char text[33] = {};
    log.lfGetMonitorStatus(text, 32);
    return text;
  }
  std::vector<std::string> Calls() const {
    return Lines(qortest::ReadFile(calls_));
  }
  // The pid of the fake's `n`th run (from 0), once it has started.
  int CallPid(size_t n) const {
    EXPECT_TRUE(qortest::WaitUntil([&] { return Calls().size() > n; }));
    const auto calls = Calls();
    const int pid = calls.size() > n ? atoi(calls[n].c_str()) : 0;
    // Never -1 or 0: a kill of either would reach other processes.
    return pid > 0 ? pid : INT_MAX;
  }

  struct Saved {
    std::string name, value;
    bool had;
  };
  qortest::Scoped_Temp_Dir dir_;
  const std::string errlog_ = dir_.File("errlog");
  const std::string calls_ = dir_.File("calls");
  std::vector<Saved> saved_;
  char saved_host_[sizeof gHostName];
};

// ---------------------------------------------------------------------------
// Formatting one output line

TEST_F(ErrlogFileTest, LinesFormatIntoTheEntryColumns) {
  auto log = NewLog("exec sleep 100");
  const std::string r40(40, 'r'), t20(20, 't'), x300(300, 'x');
  const struct {
    std::string line;
    const char* time;
    const char* type;
    const char* cls;
    std::string src;
    std::string desc;
  } cases[] = {
      {"A6DF45AA   0307140502 P H hdisk0         DISK OPERATION ERROR\n",
       "1020307140500000", "P", "H", "hdisk0",
       "A6DF45AA: DISK OPERATION ERROR"},
      {"B6DF45AA   1231235998 T S sys0 Old", "0981231235900000", "T", "S",
       "sys0", "B6DF45AA: Old"},
      {"B6DF45AA   0101000069 T S r d\n", "1690101000000000", "T", "S", "r",
       "B6DF45AA: d"},
      {"B6DF45AA   0101000070 T S r d\n", "0700101000000000", "T", "S", "r",
       "B6DF45AA: d"},
      // Ending early: nothing is read past the entry's end.
      {"C6DF45AA   0101000002", "1020101000000000", "", "", "", "C6DF45AA: "},
      {"C6DF45AA   0101000002 P\n", "1020101000000000", "P", "", "",
       "C6DF45AA: "},
      // Fields are cut to their columns, the description to 256 in all.
      {"D6DF45AA   0101000002 " + t20 + " H " + r40 + " " + x300 + "\n",
       "1020101000000000", "tttttttttttttttt", "H", r40.substr(0, 32),
       "D6DF45AA: " + x300.substr(0, 246)},
      {"D6DF45AA   0101000002 P H r " + x300.substr(0, 246) + "\n",
       "1020101000000000", "P", "H", "r", "D6DF45AA: " + x300.substr(0, 246)},
  };
  for (const auto& c : cases) {
    // A heap copy of exactly its length: a read past it is caught by the
    // sanitizer build.
    std::unique_ptr<char[]> entry(new char[c.line.size() + 1]);
    memcpy(entry.get(), c.line.c_str(), c.line.size() + 1);
    tvx_vxlogent_data_t row;
    memset(&row, '#', sizeof row);
    ASSERT_EQ(log->lfFormatEntryAsRow(entry.get(), &row, nullptr), 0) << c.line;
    EXPECT_EQ(Column(row.entrytime, 16), c.time) << c.line;
    EXPECT_EQ(Column(row.entrysys, 32), Pad("testhost", 32));
    EXPECT_EQ(Column(row.entrytype, 16), Pad(c.type, 16)) << c.line;
    EXPECT_EQ(Column(row.entryclass, 16), Pad(c.cls, 16)) << c.line;
    EXPECT_EQ(Column(row.entrysrc, 32), Pad(c.src, 32)) << c.line;
    EXPECT_EQ(Column(row.entrydesc, 256), Pad(c.desc, 256)) << c.line;
    EXPECT_EQ(Column(row.logname, 128), Pad("errlog", 128));
  }
  for (const char* line :
       {"A6DF45AA   03071405X2 P H hdisk0 DISK", "A6DF45AA   030714050",
        "IDENTIFIER TIMESTAMP  T C RESOURCE_NAME  DESCRIPTION\n", ""}) {
    std::string copy = line;
    tvx_vxlogent_data_t row;
    EXPECT_EQ(log->lfFormatEntryAsRow(&copy[0], &row, nullptr), -1) << line;
  }
}

// ---------------------------------------------------------------------------
// Monitoring

void RegisterTables() {
  if (TableManager::Find("TVX.VXLOGENT") == nullptr) {
    ASSERT_EQ(tvx_vxlogent_init(), 0u);
  }
}

// Collects the events of one situation on VXLOGENT while it lives.
class Situation {
 public:
  Situation(const std::string& file, const char* condition)
      : file_(file), sink_(fopen(file.c_str(), "w")) {
    Event_Sink::Use(sink_);
    std::string err;
    vandu_ =
        HOV_CreateRequest("VXLOGENT", condition, SAMPLE_SITUATION, "err", &err);
    EXPECT_NE(vandu_, nullptr) << err;
    tvx_vxlogent_static_manager->AddLive(vandu_);
  }
  ~Situation() {
    tvx_vxlogent_static_manager->RemoveLive(vandu_);
    vandu::Destroy(vandu_);
    Event_Sink::Use(nullptr);
    fclose(sink_);
  }
  std::vector<std::string> Events() const {
    return Lines(qortest::ReadFile(file_));
  }

 private:
  std::string file_;
  FILE* sink_;
  vandu* vandu_ = nullptr;
};

TEST_F(ErrlogFileTest, MonitoringSendsTheEntriesFromTheStartDateOn) {
  ASSERT_NO_FATAL_FAILURE(RegisterTables());
  qortest::WriteFile(errlog_,
                     "A1111111   0301000002 P H hdisk9 before the start\n"
                     "A2222222   0307140602 P H hdisk1 after the start\n");
  Situation disks(dir_.File("events"), "ENTRYSRC ~ \"hdisk\"");
  qortest::TraceCapture trace("ERROR,FLOW");
  auto log = NewLog();
  EXPECT_TRUE(trace.Contains("\n\tChildPID\t\t= -1\n"));
  // A refresh restarts the log; the new child takes the new start date.
  CallPid(0);
  log->FixedNow = 1015509900;  // 7 March 2002 14:05:00
  log->lfStopThread();
  ASSERT_EQ(log->ChildPID.load(), -1);
  const uint64_t before = log->NumEvents;
  log->lfStartThread();
  const int pid = CallPid(1);
  EXPECT_EQ(Calls()[1], std::to_string(pid) + " -c -s0307140502");
  EXPECT_STREQ(log->LogProcedure, "errpt -c -smmddhhmmyy");
  EXPECT_TRUE(trace.Contains("\nCommand for file " + errlog_ +
                             " changed to errpt -c -s0307140502."));

  qortest::AppendFile(
      errlog_,
      "B3333333   0307150002 S O sys0 not a disk\n"
      "A6DF45AA   0307150102 P H hdisk0 DISK OPERATION ERROR\n");
  ASSERT_TRUE(qortest::WaitUntil([&] { return disks.Events().size() == 2; }));
  // The header and three entries; the header is no entry.
  ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents == before + 4; }));
  EXPECT_EQ(log->NumFormatErrors.load(), before == 0 ? 1u : 2u);
  EXPECT_EQ(Status(*log), "Running");
  log.reset();
  const auto events = disks.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NE(
      events[0].find(
          R"("ENTRYTIME":"1020307140600000","ENTRYSYS":"testhost","ENTRYSRC":"hdisk1","ENTRYTYPE":"P","ENTRYCLASS":"H","ENTRYDESC":"A2222222: after the start")"),
      std::string::npos)
      << events[0];
  EXPECT_NE(events[1].find(R"("ENTRYDESC":"A6DF45AA: DISK OPERATION ERROR")"),
            std::string::npos)
      << events[1];
}

// The log's path reaches the command as "$1": a path crafted as shell text
// runs nothing of its own, and ${@} still names the log.
TEST_F(ErrlogFileTest, ThePathIsAnArgumentNeverCommandText) {
  // Names without blanks: the configuration splits fields at blanks.
  for (const char* name :
       {"e;touch${IFS}\"$ERRPT_CALLS.x\";#", "e$(touch${IFS}${ERRPT_CALLS}.x)",
        "e`touch${IFS}$ERRPT_CALLS.x`", "e';touch${IFS}$ERRPT_CALLS.x;'"}) {
    SCOPED_TRACE(name);
    const std::string path = dir_.File(name);
    qortest::WriteFile(path, "A6DF45AA   0307140502 P H hdisk0 ERROR\n");
    const std::string line = path + " ;N ;E ;ERRPT_LOG=${@} exec errpt";
    std::vector<char> record(line.begin(), line.end());
    record.push_back('\0');
    Valid_Log valid(USERCONFIG, record.data(), nullptr);
    ASSERT_EQ(valid.Valid, 1);
    EXPECT_STREQ(valid.LogProcedure, "ERRPT_LOG=\"$1\" exec errpt");
    Errlog_File log(valid, nullptr);
    // The header and the crafted log's entry: the command read that file.
    EXPECT_TRUE(qortest::WaitUntil([&] { return log.NumEvents == 2; }));
    EXPECT_EQ(access((calls_ + ".x").c_str(), F_OK), -1);
  }
}

// The agent's threads block SIGTERM, and a shell procedure starts processes
// of its own: stopping the log must still end all of them, at once.
TEST_F(ErrlogFileTest, StoppingEndsTheWholeCommandAtOnce) {
  sigset_t agent, saved;
  sigemptyset(&agent);
  for (int sig : {SIGHUP, SIGTERM, SIGCHLD, SIGINT, SIGQUIT}) {
    sigaddset(&agent, sig);
  }
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &agent, &saved), 0);
  qortest::TraceCapture trace("ERROR,FLOW");
  auto log = NewLog("errpt -c -smmddhhmmyy | cat");
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &saved, nullptr), 0);
  const int errpt = CallPid(0);
  ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents == 1; }));
  const int child = log->ChildPID;
  ASSERT_GT(child, 0);
  ASSERT_TRUE(Running(errpt));

  log->lfStopThread();
  EXPECT_EQ(log->ChildPID.load(), -1);
  EXPECT_EQ(Status(*log), "Stopped");
  EXPECT_TRUE(
      trace.Contains("\nMonitor command errpt -c -smmddhhmmyy | cat ( pid = " +
                     std::to_string(child) + " ) for file " + errlog_ +
                     " has terminated abnormally; signal number = 15"))
      << trace.Text();
  EXPECT_TRUE(qortest::WaitUntil([&] { return !Running(errpt); }));
}

// Output that ends (the command finished, failed to run or was killed)
// ends monitoring with an error; the child is reaped and its end traced.
TEST_F(ErrlogFileTest, OutputThatEndsEndsMonitoringAndTheChildIsReaped) {
  qortest::WriteFile(errlog_, "A6DF45AA   0307140502 P H hdisk0 ERROR\n");
  const struct {
    const char* procedure;
    bool kill_errpt;
    const char* end;
    uint64_t entries;  // header included
  } cases[] = {
      {"errpt", false, "normally; exit status = 0", 2},
      {"/nonexistent/errpt", false, "normally; exit status = 127", 0},
      // Killed from outside: the shell reports it.
      {"errpt -c -s0101000000", true, "normally; exit status = 137", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.procedure);
    unlink(calls_.c_str());
    qortest::TraceCapture trace("ERROR,FLOW");
    auto log = NewLog(c.procedure);
    if (c.kill_errpt) {
      ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents == 2; }));
      ASSERT_EQ(kill(CallPid(0), SIGKILL), 0);
    }
    ASSERT_TRUE(qortest::WaitUntil(
        [&] { return Status(*log) == "Error: log read failed"; }));
    ASSERT_TRUE(qortest::WaitUntil([&] { return log->ChildPID == -1; }));
    const std::string created =
        "\nChild process created for file " + errlog_ + ". pid = ";
    const size_t at = trace.Text().find(created);
    ASSERT_NE(at, std::string::npos);
    const int child = atoi(trace.Text().c_str() + at + created.size());
    EXPECT_FALSE(Running(child));
    EXPECT_EQ(log->NumEvents.load(), c.entries);
    EXPECT_TRUE(
        trace.Contains(" to command " + std::string(c.procedure) + "."));
    EXPECT_TRUE(trace.Contains("\nMonitor command " + std::string(c.procedure) +
                               " ( pid = " + std::to_string(child) +
                               " ) for file " + errlog_ + " has terminated " +
                               c.end))
        << trace.Text();
  }
}

// A line the command writes in parts arrives whole; a line longer than the
// buffer arrives once, cut, and the next line is read normally; a last line
// without a newline still arrives when the output ends.
TEST_F(ErrlogFileTest, LinesArriveWholeWhateverTheWritesAndLengths) {
  ASSERT_NO_FATAL_FAILURE(RegisterTables());
  Situation all(dir_.File("events"), "");
  qortest::TraceCapture trace("ERROR");
  auto log = NewLog(
      "printf 'A6DF45AA   0307140502 P H hd'; sleep 0.5; "
      "printf 'isk0 SPLIT\\n'; "
      "printf 'B6DF45AA   0307140502 P H r %0600d\\n' 0; "
      "printf 'C6DF45AA   0307140502 P H r3 NO NEWLINE'");
  ASSERT_TRUE(qortest::WaitUntil(
      [&] { return Status(*log) == "Error: log read failed"; }));
  EXPECT_EQ(log->NumEvents.load(), 3u);
  EXPECT_EQ(log->NumFormatErrors.load(), 0u);
  log.reset();
  const auto events = all.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_NE(
      events[0].find(
          R"("ENTRYSRC":"hdisk0","ENTRYTYPE":"P","ENTRYCLASS":"H","ENTRYDESC":"A6DF45AA: SPLIT")"),
      std::string::npos)
      << events[0];
  // 255 characters of the line: 28 before the zeros.
  EXPECT_NE(events[1].find("\"ENTRYDESC\":\"B6DF45AA: " +
                           std::string(255 - 28, '0') + "\""),
            std::string::npos)
      << events[1];
  EXPECT_NE(events[2].find(R"("ENTRYDESC":"C6DF45AA: NO NEWLINE")"),
            std::string::npos)
      << events[2];
}

// ---------------------------------------------------------------------------
// Reports

// Drives a report as the log-entries table does; "ENTRYTIME ENTRYDESC" of
// each row.
std::vector<std::string> Report(Errlog_File& log, const char* start,
                                const char* end, size_t max_rows = 1000) {
  _RequestThresholds window;
  memset(&window, 0, sizeof window);
  snprintf(window.StartTime, sizeof window.StartTime, "%s", start);
  snprintf(window.EndTime, sizeof window.EndTime, "%s", end);
  std::vector<std::string> rows;
  void* handle = log.lfStartReportRequest(&window);
  if (handle == nullptr) {
    return rows;
  }
  tvx_vxlogent_data_t row;
  while (rows.size() < max_rows &&
         log.lfGetNextLogEntry(&row, handle, &window) == &row) {
    std::string desc(row.entrydesc, 256);
    desc.erase(desc.find_last_not_of(' ') + 1);
    rows.push_back(std::string(row.entrytime, 16) + " " + desc);
  }
  log.lfEndReportRequest(&handle);
  EXPECT_EQ(handle, nullptr);
  return rows;
}

TEST_F(ErrlogFileTest, ReportRunsTheCommandForItsWindowAndSkipsTheHeader) {
  qortest::WriteFile(errlog_,
                     "A1111111   0228235902 P H hdisk0 before\n"
                     "A2222222   0301000002 P H hdisk0 first\n"
                     "A3333333   0307235902 T S sys0 last\n"
                     "A4444444   0308000002 P H hdisk0 after\n"
                     "not an entry\n"
                     "A5555555   0308000002 P H hdisk0 past the bad line\n");
  auto log = NewLog("exec sleep 100");
  qortest::TraceCapture trace("ERROR,FLOW");
  EXPECT_EQ(Report(*log, "1020301000000000", "1020307235900000"),
            (std::vector<std::string>{"1020301000000000 A2222222: first",
                                      "1020307235900000 A3333333: last"}));
  int pid = CallPid(0);
  EXPECT_EQ(Calls()[0], std::to_string(pid) + " -s0301000002 -e0307235902");
  EXPECT_TRUE(
      trace.Contains("\nReport command errpt -s0301000002 "
                     "-e0307235902 ( pid = " +
                     std::to_string(pid) + " ) for file " + errlog_ +
                     " has terminated normally; exit status = 0"))
      << trace.Text();
  // Without a window: the whole log, no arguments; a line that does not
  // format is traced and skipped.
  trace.Clear();
  const auto all = Report(*log, "", "");
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[4], "1020308000000000 A5555555: past the bad line");
  EXPECT_TRUE(trace.Contains(
      "\nError while formatting line for report on file " + errlog_ + "."));
  pid = CallPid(1);
  EXPECT_EQ(Calls()[1], std::to_string(pid) + " ");
  EXPECT_TRUE(trace.Contains(
      "\nReport command errpt   ( pid = " + std::to_string(pid) + " )"));
  EXPECT_EQ(Status(*log), "Running");
}

// However a report ends, its child is reaped: the reader stopped early (the
// child, still writing, ends on SIGPIPE even when the agent ignores it), a
// line did not format, the command does not exist, the command hangs.
TEST_F(ErrlogFileTest, ReportChildIsReapedHoweverTheReportEnds) {
  auto log = NewLog("exec sleep 100");
  std::string many;
  for (int i = 0; i < 5000; ++i) {
    many +=
        "A6DF45AA   0307140502 P H hdisk0 entry " + std::to_string(i) + "\n";
  }
  qortest::WriteFile(errlog_, many);
  {
    const auto saved = signal(SIGPIPE, SIG_IGN);
    qortest::TraceCapture trace("ERROR,FLOW");
    EXPECT_EQ(Report(*log, "", "", 2).size(), 2u);
    signal(SIGPIPE, saved);
    EXPECT_TRUE(trace.Contains(" ( pid = " + std::to_string(CallPid(0)) +
                               " ) for file " + errlog_ +
                               " has terminated abnormally; signal number = "
                               "13"))
        << trace.Text();
  }
  {
    setenv("PATH", (dir_.path() + ":/usr/bin:/bin").c_str(), 1);
    qortest::TraceCapture trace("ERROR,FLOW");
    EXPECT_TRUE(Report(*log, "1020301000000000", "1020307235900000").empty());
    EXPECT_TRUE(trace.Contains(
        "\nError executing command errpt -s0301000002 -e0307235902 for report "
        "on file  " +
        errlog_ + ". errno = 2; No such file or directory"))
        << trace.Text();
    EXPECT_TRUE(
        trace.Contains("\nReport command errpt -s0301000002 "
                       "-e0307235902 ( pid = "));
    EXPECT_TRUE(trace.Contains(" has terminated normally; exit status = 255"));
  }
  {
    // dir_ is first in PATH now: its errpt writes one entry and hangs.
    const std::string hang = dir_.File("errpt");
    qortest::WriteFile(hang,
                       "#!/bin/sh\necho header\n"
                       "echo 'A6DF45AA   0307140502 P H hdisk0 x'\n"
                       "exec sleep 100\n");
    ASSERT_EQ(chmod(hang.c_str(), 0755), 0);
    qortest::TraceCapture trace("ERROR,FLOW");
    EXPECT_EQ(Report(*log, "", "", 1).size(), 1u);
    EXPECT_TRUE(trace.Contains(" has terminated abnormally; signal number = 9"))
        << trace.Text();
  }
}

// Every pipe is close-on-exec: a child holds its own pipe's write end as
// its output and nothing else of the agent's pipes.
TEST_F(ErrlogFileTest, ChildrenHoldNoPipeButTheirOwnOutput) {
  const std::string fds = dir_.File("fds");
  Save("ERRPT_FDS", fds);
  auto log = NewLog();
  CallPid(0);
  ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents == 1; }));
  const std::string monitoring = PipeName(log->LogFD);
  _RequestThresholds window = {};
  void* handle = log->lfStartReportRequest(&window);
  ASSERT_NE(handle, nullptr);
  const std::string report =
      PipeName(static_cast<ErrlogBufferInfo*>(handle)->pipeFD[0]);
  log->lfEndReportRequest(&handle);
  const auto lines = Lines(qortest::ReadFile(fds));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Count(lines[0], monitoring), 1u) << lines[0];
  EXPECT_EQ(Count(lines[1], report), 1u) << lines[1];
  EXPECT_EQ(Count(lines[1], monitoring), 0u) << lines[1];
}

}  // namespace
