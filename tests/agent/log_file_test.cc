// Tests of Log_File through a test kind: the worker, torn, long and
// unformattable entries, truncation and stop.
#include "agent/kinds/log_file.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "agent/config/config_def.h"
#include "agent/tvxmain.h"
#include "tables/tvx_vxlogent_schema.h"
#include "tests/agent/log_test_kinds.h"
#include "tests/testutil.h"

namespace {

using qortest::MakeValidLog;
using qortest::Test_Log;
using qortest::WaitUntil;

// A watched log in a temporary directory.
class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_.File("messages"); }

  // Starts a Test_Log on path_ (which must exist) and waits until its
  // worker has opened the log and stands at its end.
  std::unique_ptr<Test_Log> StartWatching(const std::string& options = "") {
    auto valid = MakeValidLog(path_ + options);
    EXPECT_EQ(valid->Valid, 1);
    auto log = std::make_unique<Test_Log>(*valid, nullptr);
    const off_t size = static_cast<off_t>(qortest::ReadFile(path_).size());
    EXPECT_TRUE(WaitUntil([&] { return log->LogEOF == size; }));
    return log;
  }

  qortest::Scoped_Temp_Dir dir_;
  std::string path_;
};

TEST_F(LogFileTest, StatusTextsAreCutToTheGivenLength) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "");
  auto valid = MakeValidLog(path_);
  Test_Log log(*valid, nullptr, /*start=*/false);
  const struct {
    int status;
    const char* text;
  } cases[] = {
      {MONITOR_NOT_STARTED, "Not started"},
      {MONITOR_STOPPED, "Stopped"},
      {MONITOR_RUNNING, "Running"},
      {MONITOR_ERR_CREATE_CHILD, "Error: create child failed"},
      {MONITOR_ERR_CREATE_PIPE, "Error: create pipe failed"},
      {MONITOR_ERR_PIPE_GET_FLAG, "Error: get pipe flag failed"},
      {MONITOR_ERR_PIPE_SET_FLAG, "Error: set pipe flag failed"},
      {MONITOR_ERR_PIPE_FD, "Error: pipe FD to FP failed"},
      {MONITOR_ERR_SELECT, "Error: wait for event failed"},
      {MONITOR_ERR_READ, "Error: log read failed"},
      {MONITOR_ERR_SEEK_END, "Error: seek for EOF failed"},
      {MONITOR_ERR_OPEN, "Error: log open failed"},
      {MONITOR_ERR_SEEK_RESET, "Error: reset EOF failed"},
      {MONITOR_ERR_REWIND, "Error: log rewind failed"},
      {MONITOR_ERR_WAIT, "Error: wait loop failed"},
      {MONITOR_ERR_PARSER, "Error: format command"},
      {MONITOR_ERR_MEMORY, "Error: insufficient memory"},
      {-99, "Error: unknown"},
  };
  for (const auto& c : cases) {
    log.MonitorStatus = static_cast<_MonitorStatus>(c.status);
    char column[32];
    memset(column, ' ', sizeof column);
    log.lfGetMonitorStatus(column, sizeof column);
    EXPECT_EQ(
        std::string(column, sizeof column),
        std::string(c.text) + std::string(sizeof column - strlen(c.text), ' '));
  }
  log.MonitorStatus = MONITOR_RUNNING;
  char cut[6] = "xxxxx";
  log.lfGetMonitorStatus(cut, 4);
  EXPECT_STREQ(cut, "Runnx");  // four letters, no terminator
  log.MonitorStatus = MONITOR_NOT_STARTED;
}

TEST_F(LogFileTest, LinesPresentBeforeMonitoringProduceNoEvents) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "old one\nold two\n");
  auto log = StartWatching();
  EXPECT_EQ(log->Status(), "Running");
  qortest::AppendFile(path_, "new one\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 1; }));
  EXPECT_EQ(log->Entries(), std::vector<std::string>({"new one\n"}));
  EXPECT_EQ(log->LogEOF, 24);
  EXPECT_EQ(cap.Text(), "");
}

// A line longer than the buffer is one entry, cut: the text at byte 2047 (a
// forged syslog line here) never becomes an entry of its own.
TEST_F(LogFileTest, LongLineArrivesAsOneCutEntry) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "");
  auto log = StartWatching();
  std::string line(5000, 'x');
  line.replace(2047, 40, "Dec  8 04:05:06 fakehost sshd[1]: Failed");
  qortest::AppendFile(path_, line + "\nnext\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 2; }));
  EXPECT_EQ(log->Entries(), std::vector<std::string>(
                                {std::string(2046, 'x') + "\n", "next\n"}));
  EXPECT_EQ(log->NumFormatErrors, 0u);
}

// A line written in two pieces, with a poll between them, is one entry;
// a torn tail still held when the file is truncated is delivered as it
// stands.
TEST_F(LogFileTest, TornLineIsHeldUntilItsNewlineArrives) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "");
  auto log = StartWatching();
  qortest::AppendFile(path_, "first half");
  ASSERT_TRUE(WaitUntil([&] { return log->LogEOF == 10; }));
  EXPECT_EQ(log->NumEvents, 0u);
  qortest::AppendFile(path_, " second half\r\ntail");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return log->LogEOF == 28; }));
  qortest::WriteFile(path_, "new\n");  // truncated under the held "tail"
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 3; }));
  EXPECT_EQ(log->Entries(), std::vector<std::string>(
                                {"first half second half\n", "tail", "new\n"}));
}

// A run of NUL bytes (a copy-truncate behind a writer that does not append)
// counts once as a format error, and the line after it arrives whole.
TEST_F(LogFileTest, NulRunIsSkippedAndCountedOnce) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "");
  auto log = StartWatching();
  qortest::AppendFile(path_, std::string(3000, '\0') + "after the hole\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 2; }));
  EXPECT_EQ(log->NumFormatErrors, 1u);
  EXPECT_EQ(log->Entries(), std::vector<std::string>({"after the hole\n"}));
}

// A hole in a sparse log is passed over, not read: 16 GiB of it would take
// minutes to read. It counts once as a format error, like any NUL run.
TEST_F(LogFileTest, SparseHoleIsSkippedAndCountedOnce) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "");
  auto log = StartWatching();
  qortest::AppendFile(path_, "before\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 1; }));
  ASSERT_EQ(truncate(path_.c_str(), off_t{16} << 30), 0);
  qortest::AppendFile(path_, "after the hole\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 3; }));
  EXPECT_EQ(log->NumFormatErrors, 1u);
  EXPECT_EQ(log->Entries(),
            std::vector<std::string>({"before\n", "after the hole\n"}));
}

TEST_F(LogFileTest, UnformattableEntryCountsAsFormatError) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "");
  auto log = StartWatching();
  qortest::AppendFile(path_, "BAD entry\ngood entry\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 2; }));
  EXPECT_EQ(log->NumFormatErrors, 1u);
  EXPECT_EQ(log->Status(), "Running");
}

TEST_F(LogFileTest, MissingLogFailsToOpenAndIsReadFromItsStartOnceItExists) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "");
  auto valid = MakeValidLog(path_);
  ASSERT_EQ(valid->Valid, 1);
  ASSERT_EQ(unlink(path_.c_str()), 0);
  Test_Log log(*valid, nullptr);
  ASSERT_TRUE(
      WaitUntil([&] { return log.Status() == "Error: log open failed"; }));
  EXPECT_EQ(cap.Text(), "\nError opening file " + path_ +
                            ".  errno = 2; No such file or directory");
  // The worker has ended; stopping joins it once, and again does nothing.
  log.lfStopThread();
  log.lfStopThread();
  EXPECT_EQ(log.Status(), "Error: log open failed");

  // A refresh restarts a log that is not running; everything the file
  // that appeared since holds is new.
  qortest::WriteFile(path_, "already here\n");
  static_cast<Log_File&>(log) = *valid;  // what a refresh applies
  ASSERT_TRUE(WaitUntil([&] { return log.LogEOF == 13; }));
  EXPECT_EQ(log.Status(), "Running");
  qortest::AppendFile(path_, "after restart\n");
  ASSERT_TRUE(WaitUntil([&] { return log.NumEvents == 2; }));
  EXPECT_EQ(log.Entries(),
            std::vector<std::string>({"already here\n", "after restart\n"}));
  EXPECT_EQ(cap.Count("\nError joining"), 0u);
}

TEST_F(LogFileTest, StopWithoutLiveThreadDoesNotJoin) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "");
  auto valid = MakeValidLog(path_);
  Test_Log log(*valid, nullptr, /*start=*/false);
  log.lfStopThread();  // never started
  EXPECT_EQ(log.Status(), "Not started");
  // What a restart whose thread creation failed leaves behind: an error
  // status from the previous worker, already joined, and no new thread.
  log.MonitorStatus = MONITOR_ERR_READ;
  log.LogThreadJoinable = false;
  log.lfStopThread();
  log.lfStopThread();
  EXPECT_EQ(log.Status(), "Error: log read failed");
  EXPECT_EQ(cap.Text(), "");
}

TEST_F(LogFileTest, StopReturnsWithinAboutOneInterval) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "");
  Test_Log::IntervalMicros() = 1000000;  // the text kinds' interval
  auto log = StartWatching();
  Test_Log::IntervalMicros() = 100000;
  log->lfStopThread();
  EXPECT_EQ(log->Status(), "Stopped");
  log->lfStopThread();
  EXPECT_EQ(log->Status(), "Stopped");
  EXPECT_EQ(cap.Text(), "");
}

TEST_F(LogFileTest, TruncatedLogIsReadFromItsStart) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "first line\nsecond line\n");
  auto log = StartWatching();
  // Copy-and-truncate rotation: the writer goes on in the emptied file.
  qortest::WriteFile(path_, "new\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 1; }));
  EXPECT_EQ(log->Entries(), std::vector<std::string>({"new\n"}));
  EXPECT_EQ(cap.Text(), "\nWarning: log file " + path_ +
                            " truncated. Resetting EOF to offset 0.");
  qortest::AppendFile(path_, "newer\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 2; }));
  EXPECT_EQ(log->Entries(), std::vector<std::string>({"new\n", "newer\n"}));
  EXPECT_EQ(log->LogEOF, 10);
}

// Empties the log and writes "after" into it while the line "trigger" is
// handled: the writer starts anew while a pass is still reading.
class Rewriting_Log : public Test_Log {
 public:
  Rewriting_Log(const Valid_Log& log, std::string path)
      : Test_Log(log, nullptr, /*start=*/false), path_(std::move(path)) {
    lfStartThread();
  }
  ~Rewriting_Log() override { lfStopThread(); }
  long lfFormatEntryAsRow(char* entry, void* row, void* report) override {
    if (strcmp(entry, "trigger\n") == 0) {
      qortest::WriteFile(path_, "after\n");
    }
    return Test_Log::lfFormatEntryAsRow(entry, row, report);
  }

 private:
  const std::string path_;
};

TEST_F(LogFileTest, LogEmptiedAndRewrittenWhileAPassReadsIsReadAnew) {
  qortest::WriteFile(path_, "");
  auto valid = MakeValidLog(path_);
  Rewriting_Log log(*valid, path_);
  ASSERT_TRUE(WaitUntil([&] { return log.LogEOF == 0; }));
  qortest::AppendFile(path_, "first line\ntrigger\n");
  ASSERT_TRUE(WaitUntil([&] { return log.NumEvents == 3; }));
  EXPECT_EQ(log.Entries(),
            std::vector<std::string>({"first line\n", "trigger\n", "after\n"}));
}

TEST_F(LogFileTest, CopyTruncatedLogRefilledPastTheOffsetIsReadFromItsStart) {
  qortest::TraceCapture cap("ERROR");
  qortest::WriteFile(path_, "first line\nsecond line\n");
  auto log = StartWatching();
  // Emptied and refilled beyond the old offset before the next poll: the
  // size alone would hide it, the first bytes do not.
  qortest::WriteFile(path_, "refilled past the old offset\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 1; }));
  EXPECT_EQ(log->Entries(),
            std::vector<std::string>({"refilled past the old offset\n"}));
  EXPECT_EQ(cap.Text(), "\nWarning: log file " + path_ +
                            " truncated. Resetting EOF to offset 0.");
}

TEST_F(LogFileTest, FifoInTheLogsPlaceGivesTheOpenErrorAndStops) {
  qortest::TraceCapture cap("ERROR");
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  auto valid = MakeValidLog(path_);
  ASSERT_EQ(valid->Valid, 1);
  Test_Log log(*valid, nullptr);
  ASSERT_TRUE(
      WaitUntil([&] { return log.Status() == "Error: log open failed"; }));
  EXPECT_EQ(cap.Text(), "\nError opening file " + path_ +
                            ": not a regular file; it is not read.");
  log.lfStopThread();
}

// A path replaced while the log is watched, in a directory others may
// write: a symlink is not followed, a file of another owner is not read.
TEST_F(LogFileTest, ReplacementBySymlinkOrOtherOwnerIsRefused) {
  const std::string secret = dir_.File("secret");
  qortest::WriteFile(secret, "root only\n");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  const struct {
    bool symlink;
    const char* message;
  } cases[] = {
      {true,
       ": a symbolic link in a directory other users may write is not followed; it is not read."},
      {false,
       ": the log was replaced by a file of user 65534, not of user 0 as before; it is not read."},
  };
  for (const auto& c : cases) {
    if (!c.symlink && geteuid() != 0) {
      continue;  // only root can give a file away
    }
    qortest::TraceCapture cap("ERROR");
    qortest::WriteFile(path_, "");
    auto log = StartWatching();
    ASSERT_EQ(rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    if (c.symlink) {
      ASSERT_EQ(symlink(secret.c_str(), path_.c_str()), 0);
    } else {
      // Made elsewhere and renamed into place, as the other user's own
      // file appears at once: never seen as root's.
      const std::string planted = dir_.File("planted");
      qortest::WriteFile(planted, "planted\n");
      ASSERT_EQ(chown(planted.c_str(), 65534, 65534), 0);
      ASSERT_EQ(rename(planted.c_str(), path_.c_str()), 0);
    }
    // Change events usually wake the worker at once; the periodic check
    // behind them (every ten seconds) must catch a missed one too.
    ASSERT_TRUE(
        WaitUntil([&] { return log->Status() == "Error: log open failed"; },
                  std::chrono::seconds(30)));
    EXPECT_EQ(cap.Text(), "\nError opening file " + path_ +
                              (c.symlink ? ": " + path_ : "") + c.message);
    EXPECT_EQ(log->NumEvents, 0u);
    log.reset();
    ASSERT_EQ(unlink(path_.c_str()), 0);
  }
}

TEST_F(LogFileTest, RotatedLogIsFollowedFromItsStartAndTheOldOneReadOn) {
  qortest::TraceCapture cap("ERROR,FLOW");
  qortest::WriteFile(path_, "");
  auto log = StartWatching();
  qortest::AppendFile(path_, "before\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 1; }));

  // Rename and re-create: the tail of the old file, then the new file.
  qortest::AppendFile(path_, "last of old\n");
  ASSERT_EQ(rename(path_.c_str(), (path_ + ".1").c_str()), 0);
  qortest::WriteFile(path_, "first of new\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 3; }));
  qortest::AppendFile(path_, "second of new\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 4; }));
  // A writer that still holds the old file is heard for a grace time.
  qortest::AppendFile(path_ + ".1", "late write to old\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 5; }));

  // Remove and re-create.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  qortest::WriteFile(path_, "third file\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 6; }));
  EXPECT_EQ(log->Entries(),
            std::vector<std::string>({"before\n", "last of old\n",
                                      "first of new\n", "second of new\n",
                                      "late write to old\n", "third file\n"}));
  EXPECT_EQ(
      cap.Count(
          "\nLog file " + path_ +
          " was replaced by a new file; reading the new file from its beginning."),
      2u);
  EXPECT_EQ(log->Status(), "Running");
  EXPECT_EQ(cap.Count("\nError"), 0u);
}

extern "C" void IgnoreSignal(int) {}

TEST_F(LogFileTest, SignalDuringTheWaitDoesNotEndMonitoring) {
  qortest::TraceCapture cap("ERROR");
  struct sigaction action = {};
  struct sigaction saved = {};
  action.sa_handler = IgnoreSignal;  // no SA_RESTART: the wait is interrupted
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
  qortest::WriteFile(path_, "");
  auto log = StartWatching();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(pthread_kill(log->LogThread, SIGUSR1), 0);
  }
  qortest::AppendFile(path_, "still watched\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 1; }));
  EXPECT_EQ(log->Status(), "Running");
  log->lfStopThread();
  sigaction(SIGUSR1, &saved, nullptr);
  EXPECT_EQ(cap.Text(), "");
}

TEST_F(LogFileTest, CommonColumnsNameTheSystemAndTheLog) {
  qortest::WriteFile(path_, "");
  auto valid = MakeValidLog(path_);
  Test_Log log(*valid, nullptr, /*start=*/false);
  char system[] = "testhost:TVX";
  char* const saved_name = gSystemName;
  const int saved_length = gSystemNameLength;
  gSystemName = system;
  gSystemNameLength = static_cast<int>(strlen(system));
  tvx_vxlogent_data_t row;
  memset(&row, ' ', sizeof row);
  row.freqthresh = row.periodthrs = row.sampleno = row.rowno = 7;
  log.lfFillCommonColumns(&row);
  gSystemName = saved_name;
  gSystemNameLength = saved_length;

  const auto padded = [](const std::string& s, size_t width) {
    return s + std::string(width - s.size(), ' ');
  };
  EXPECT_EQ(std::string(row.originnode, sizeof row.originnode),
            padded("testhost:TVX", sizeof row.originnode));
  EXPECT_EQ(std::string(row.logpath, sizeof row.logpath),
            padded(dir_.path() + "/", sizeof row.logpath));
  EXPECT_EQ(std::string(row.logname, sizeof row.logname),
            padded("messages", sizeof row.logname));
  EXPECT_EQ(row.freqthresh, 0);
  EXPECT_EQ(row.periodthrs, 0);
  EXPECT_EQ(row.sampleno, 0);
  EXPECT_EQ(row.rowno, 0);
  const std::string stamp(row.timestamp, sizeof row.timestamp);
  EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << stamp;
  EXPECT_EQ(stamp.substr(13), "000");
  EXPECT_EQ(std::string(row.entrydesc, 4),
            "    ");  // the kind's columns untouched
}

TEST_F(LogFileTest, DebugRecordsCarryRisingNumbersAcrossLogs) {
  qortest::TraceCapture cap("ERROR,FLOW");
  const std::string debug_path = dir_.File("agent.debug");
  setenv("AGENT_DEBUG_LOG", debug_path.c_str(), 1);
  qortest::Test_Manager manager;
  unsetenv("AGENT_DEBUG_LOG");
  qortest::Scoped_Log_Manager scoped(&manager);
  manager.lmOpenDebugLog();
  ASSERT_NE(manager.DebugLogP.load(), nullptr);

  const std::string other = dir_.File("other");
  qortest::WriteFile(path_, "");
  qortest::WriteFile(other, "");
  auto a = StartWatching(" ;Y");
  auto b_valid = MakeValidLog(other + " ;Y");
  Test_Log b(*b_valid, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return b.LogEOF == 0; }));
  // The workers run: sRECNUM is read under its lock.
  Log_File::lfLockDebugFile(nullptr);
  const long first = static_cast<long>(Log_File::sRECNUM) + 1;
  Log_File::lfUnlockDebugFile();

  qortest::AppendFile(path_, "one\n");
  ASSERT_TRUE(WaitUntil([&] { return a->NumEvents == 1; }));
  qortest::AppendFile(other, "BAD two\n");
  ASSERT_TRUE(WaitUntil([&] { return b.NumEvents == 1; }));
  qortest::AppendFile(path_, "three\n");
  ASSERT_TRUE(WaitUntil([&] { return a->NumEvents == 2; }));
  // An entry is counted before its record is written: the workers end
  // before the debug log closes, as at shutdown.
  a->lfStopThread();
  b.lfStopThread();
  manager.lmCloseDebugLog();

  const std::string text = qortest::ReadFile(debug_path);
  const auto header = [](long n) {
    return "\t\t>>>>>>>>> RECORD " + std::to_string(n) + " <<<<<<<<<\n";
  };
  size_t at = 0;
  // A formatted entry: header, entry and newline, the raw row and newline.
  const std::string first_record = header(first) + "one\n\n";
  ASSERT_EQ(text.substr(0, first_record.size()), first_record) << text;
  at += first_record.size();
  ASSERT_GE(text.size(), at + sizeof(tvx_vxlogent_data_t) + 1);
  const std::string row = text.substr(at, sizeof(tvx_vxlogent_data_t));
  EXPECT_EQ(row.substr(offsetof(tvx_vxlogent_data_t, entrydesc), 4), "one ");
  EXPECT_EQ(row.substr(offsetof(tvx_vxlogent_data_t, logname), 9), "messages ");
  at += sizeof(tvx_vxlogent_data_t);
  EXPECT_EQ(text[at], '\n');
  ++at;
  // An entry that did not format: no row.
  const std::string second = header(first + 1) + "BAD two\n\n";
  EXPECT_EQ(text.substr(at, second.size()), second);
  at += second.size();
  EXPECT_EQ(text.substr(at, header(first + 2).size() + 7),
            header(first + 2) + "three\n\n");
  EXPECT_EQ(text.size(), at + header(first + 2).size() + 7 +
                             sizeof(tvx_vxlogent_data_t) + 1);
  EXPECT_EQ(cap.Count("\nRecord written to debug log for log " + path_ + "."),
            2u);
  EXPECT_EQ(cap.Count("\nRecord written to debug log for log " + other + "."),
            1u);
  EXPECT_EQ(cap.Count("\nError"), 0u);
}

TEST_F(LogFileTest, DebugModeSwitchedOnByRefreshAppliesToNextEntry) {
  qortest::TraceCapture cap("ERROR,FLOW");
  const std::string debug_path = dir_.File("agent.debug");
  setenv("AGENT_DEBUG_LOG", debug_path.c_str(), 1);
  qortest::Test_Manager manager;
  unsetenv("AGENT_DEBUG_LOG");
  qortest::Scoped_Log_Manager scoped(&manager);
  manager.lmOpenDebugLog();

  qortest::WriteFile(path_, "");
  auto log = StartWatching(" ;N");
  const pthread_t worker = log->LogThread;
  qortest::AppendFile(path_, "quiet\n");
  // The trace is the entry's last step: the entry is counted first, and
  // the mode must not change before the worker has decided on its record.
  ASSERT_TRUE(WaitUntil([&] {
    return cap.Count("\n" + path_ + " monitor detected event.") == 1;
  }));
  EXPECT_EQ(log->NumEvents, 1u);
  EXPECT_EQ(qortest::ReadFile(debug_path), "");

  auto valid = MakeValidLog(path_ + " ;Y");
  static_cast<Log_File&>(*log) = *valid;
  EXPECT_EQ(log->LogDebugMode, LOGDEBUGMODEON);
  EXPECT_TRUE(
      pthread_equal(worker, log->LogThread));  // a running log is not restarted
  qortest::AppendFile(path_, "loud\n");
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 2; }));
  // The record is written after the entry is counted.
  log->lfStopThread();
  manager.lmCloseDebugLog();
  const long number = static_cast<long>(Log_File::sRECNUM);
  const std::string expected =
      "\t\t>>>>>>>>> RECORD " + std::to_string(number) + " <<<<<<<<<\nloud\n\n";
  EXPECT_EQ(qortest::ReadFile(debug_path).substr(0, expected.size()), expected);
}

TEST_F(LogFileTest, PrintSelfDumpsEveryMember) {
  qortest::WriteFile(path_, "");
  auto valid = MakeValidLog(path_);
  Test_Log log(*valid, nullptr, /*start=*/false);
  qortest::TraceCapture cap("ERROR");
  log.PrintSelf();
  const auto records = cap.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].find("\n\tLogFileName\t\t= \"" + path_ + "\"\n"),
            std::string::npos);
  const std::string& dump = records[1];
  EXPECT_EQ(dump.rfind("\n\tRefreshMode\t\t= 0\n\tLogThread\t\t= ", 0), 0u)
      << dump;
  EXPECT_NE(
      dump.find(
          "\n\tLogFileP\t\t= (nil)\n\tLogFD\t\t\t= -1\n\tLogEOF\t\t\t= -1\n"
          "\tMonitorStatus\t\t= 0\n\tMonitorStartStopTime\t= "),
      std::string::npos)
      << dump;
  EXPECT_NE(
      dump.find(
          "\n\tNumEvents\t\t= 0\n\tNumFormatErrors\t\t= 0\n\tOptimumBlockSize\t= 0\n"
          "\tDebugFileLock\t\t= " +
          std::string(2 * sizeof(pthread_mutex_t), '0') + "\n"),
      std::string::npos)
      << dump;
}

}  // namespace
