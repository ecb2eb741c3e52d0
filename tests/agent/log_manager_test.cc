// Tests of Log_Manager: requests counted in and out, the ring, refresh and
// shutdown.
#include "agent/log_manager.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "agent/config/config_def.h"
#include "agent/config/syslog_conf.h"
#include "agent/config/valid_log.h"
#include "agent/follow/position_store.h"
#include "agent/kinds/log_file.h"
#include "tests/agent/log_test_kinds.h"
#include "tests/testutil.h"

namespace {

using qortest::Test_Log;
using qortest::Test_Manager;
using qortest::WaitUntil;

// A private environment for the manager: configuration, syslog
// configuration and log files in a temporary directory.
class LogManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = dir_.File("agent.conf");
    syslog_ = dir_.File("syslog.conf");
    SetEnv(CONFIGFILEENVVAR, config_);
    SetEnv(SYSLOGCONFENVVAR, syslog_);
    SetEnv("TVX_JOURNAL_DIR", dir_.File("no-journal"));  // not the host's
    unsetenv(DEBUGLOGENVVAR);
    unsetenv(STATEFILEENVVAR);
    Test_Log::ClearDestroyed();
  }
  void TearDown() override {
    unsetenv(CONFIGFILEENVVAR);
    unsetenv(SYSLOGCONFENVVAR);
    unsetenv("TVX_JOURNAL_DIR");
    unsetenv(DEBUGLOGENVVAR);
  }

  static void SetEnv(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
  }
  // Writes a file with an explicit modification time, so that every
  // rewrite counts as a change however fast the test runs.
  void WriteStamped(const std::string& path, const std::string& text) {
    qortest::WriteFile(path, text);
    const time_t stamp = 1000000000 + (++stamps_);
    const struct timeval times[2] = {{stamp, 0}, {stamp, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
  }
  // An existing, empty log file.
  std::string LogPath(const std::string& name) {
    const std::string path = dir_.File(name);
    qortest::WriteFile(path, "");
    return path;
  }
  // Adds an unstarted Test_Log for `path` to the manager's ring.
  static Test_Log* AddLog(Test_Manager* manager, const std::string& path) {
    auto valid = qortest::MakeValidLog(path);
    auto* log = new Test_Log(*valid, manager->FirstLogObject, /*start=*/false);
    if (manager->FirstLogObject == nullptr) {
      manager->FirstLogObject = log;
    }
    ++manager->NumLogs;
    return log;
  }

  qortest::Scoped_Temp_Dir dir_;
  std::string config_;
  std::string syslog_;
  int stamps_ = 0;
};

TEST_F(LogManagerTest, RequestsCountInAndOutAndOnlyTheLastEndBroadcasts) {
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR,FLOW");
  manager.lmBeginRequest();
  manager.lmBeginRequest();
  manager.lmBeginRequest();
  EXPECT_EQ(manager.UseCount, 3u);
  manager.lmEndRequest();
  manager.lmEndRequest();
  EXPECT_EQ(cap.Count("\nNot-in-use signal sent."), 0u);
  manager.lmEndRequest();
  EXPECT_EQ(manager.UseCount, 0u);
  std::vector<std::string> counts;
  for (const auto& r : cap.Records()) {
    if (r.rfind("\nUse count", 0) == 0 || r.rfind("\nNot-in-use", 0) == 0) {
      counts.push_back(r);
    }
  }
  EXPECT_EQ(counts,
            std::vector<std::string>(
                {"\nUse count is now 1.", "\nUse count is now 2.",
                 "\nUse count is now 3.", "\nUse count is now 2.",
                 "\nUse count is now 1.", "\nNot-in-use signal sent."}));
}

TEST_F(LogManagerTest, EndWithoutBeginStaysAtZeroAndDoesNotBlockRefresh) {
  const std::string log = LogPath("messages");
  WriteStamped(config_, log + "\n");
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR,FLOW");
  manager.lmEndRequest();
  EXPECT_EQ(manager.UseCount, 0u);
  EXPECT_TRUE(cap.Contains(
      "\nUse count going negative. Current value is -1. Setting to 0"));
  EXPECT_EQ(manager.lmRefresh(), 1u);
  EXPECT_FALSE(cap.Contains("\nRefresh suspended"));
}

TEST_F(LogManagerTest, WalkAndFindFollowTheRing) {
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR,FLOW");
  EXPECT_EQ(manager.lmGetNextLogObject(nullptr, 0), nullptr);
  EXPECT_EQ(cap.Text(), "\nNo logs are currently being monitored.");

  const std::string a = LogPath("a"), b = LogPath("b"), c = LogPath("c");
  Test_Log* la = AddLog(&manager, a);
  Test_Log* lb = AddLog(&manager, b);
  Test_Log* lc = AddLog(&manager, c);
  std::vector<Log_File*> walked;
  Log_File* log = nullptr;
  for (unsigned index = 0;
       (log = manager.lmGetNextLogObject(log, index)) != nullptr; ++index) {
    walked.push_back(log);
  }
  EXPECT_EQ(walked, std::vector<Log_File*>({la, lb, lc}));

  std::string name = b;
  EXPECT_EQ(manager.lmFindLogObject(&name[0]), lb);
  std::string upper = dir_.File("B");
  EXPECT_EQ(manager.lmFindLogObject(&upper[0]), nullptr);

  // A ring longer than NumLogs ends the walk.
  cap.Clear();
  manager.NumLogs = 2;
  EXPECT_EQ(manager.lmGetNextLogObject(lb, 2), nullptr);
  EXPECT_EQ(cap.Text(), "\nLog object chain corrupted. Request terminating.");
  manager.NumLogs = 3;
}

TEST_F(LogManagerTest, DeletingAtHeadMiddleAndTailKeepsCountAndHead) {
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR,FLOW");
  const std::string a = LogPath("a"), b = LogPath("b"), c = LogPath("c"),
                    d = LogPath("d");
  Test_Log* la = AddLog(&manager, a);
  Test_Log* lb = AddLog(&manager, b);
  Test_Log* lc = AddLog(&manager, c);
  Test_Log* ld = AddLog(&manager, d);

  manager.lmDeleteLogObject(lb);  // middle
  EXPECT_EQ(manager.NumLogs, 3);
  EXPECT_EQ(manager.FirstLogObject, la);
  EXPECT_EQ(la->Next, lc);
  EXPECT_EQ(lc->Prev, la);

  manager.lmDeleteLogObject(la);  // head
  EXPECT_EQ(manager.NumLogs, 2);
  EXPECT_EQ(manager.FirstLogObject, lc);
  EXPECT_EQ(lc->Next, ld);
  EXPECT_EQ(ld->Next, lc);

  manager.lmDeleteLogObject(ld);  // tail
  EXPECT_EQ(manager.NumLogs, 1);
  EXPECT_EQ(manager.FirstLogObject, lc);
  EXPECT_EQ(lc->Next, lc);
  EXPECT_EQ(lc->Prev, lc);

  manager.lmDeleteLogObject(lc);  // the only one
  EXPECT_EQ(manager.NumLogs, 0);
  EXPECT_EQ(manager.FirstLogObject, nullptr);
  EXPECT_EQ(Test_Log::Destroyed(), std::vector<std::string>({b, a, d, c}));
  EXPECT_TRUE(cap.Contains("\nDeleting log object for file " + b));
  EXPECT_EQ(cap.Count("\nError"), 0u);
}

TEST_F(LogManagerTest, ShutdownDeletesFromTheLastToTheFirst) {
  Test_Manager manager;
  std::vector<std::string> paths;
  for (const char* name : {"a", "b", "c", "d", "e"}) {
    paths.push_back(LogPath(name));
    AddLog(&manager, paths.back());
  }
  qortest::TraceCapture cap("ERROR,FLOW");
  manager.lmShutdown();
  EXPECT_EQ(manager.NumLogs, 0);
  EXPECT_EQ(manager.FirstLogObject, nullptr);
  EXPECT_EQ(Test_Log::Destroyed(),
            std::vector<std::string>(
                {paths[4], paths[3], paths[2], paths[1], paths[0]}));
  EXPECT_TRUE(cap.Contains("\nShutdown commencing."));
  EXPECT_TRUE(cap.Contains("\nLog manager mutex destroyed."));
  EXPECT_TRUE(cap.Contains("\n'inuse' condition variable destroyed."));
  EXPECT_TRUE(cap.Contains("\n'server-up' condition variable destroyed."));
  EXPECT_EQ(cap.Count("\nError"), 0u);
}

TEST_F(LogManagerTest, UnchangedConfigurationKeepsTheRunningLogs) {
  const std::string a = LogPath("a"), b = LogPath("b");
  WriteStamped(config_, a + "\n" + b + " ;Y\n");
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR,FLOW");
  ASSERT_EQ(manager.lmRefresh(), 2u);
  Test_Log* la = manager.Log(0);
  Test_Log* lb = manager.Log(1);
  EXPECT_STREQ(la->LogFileName, a.c_str());
  EXPECT_STREQ(lb->LogFileName, b.c_str());
  EXPECT_EQ(lb->LogDebugMode, LOGDEBUGMODEON);
  ASSERT_TRUE(WaitUntil([&] { return la->LogEOF == 0 && lb->LogEOF == 0; }));
  EXPECT_EQ(la->Status(), "Running");
  EXPECT_EQ(manager.FirstValidLog, nullptr);

  cap.Clear();
  EXPECT_EQ(manager.lmRefresh(), 2u);
  EXPECT_EQ(manager.Log(0), la);
  EXPECT_EQ(manager.Log(1), lb);
  EXPECT_TRUE(cap.Contains(
      "\n" + config_ +
      " has not changed since last refresh. No refresh performed."));
  EXPECT_TRUE(cap.Contains("\nContinuing to monitor existing log files."));
  EXPECT_EQ(cap.Count("\nError"), 0u);
}

TEST_F(LogManagerTest, ChangedDebugModeKeepsTheObjectAndChangedTypeReplacesIt) {
  const std::string a = LogPath("a"), b = LogPath("b");
  WriteStamped(config_, a + " ;N ;S\n" + b + " ;N ;S\n");
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR");
  ASSERT_EQ(manager.lmRefresh(), 2u);
  Test_Log* la = manager.Log(0);
  Test_Log* lb = manager.Log(1);
  ASSERT_TRUE(WaitUntil([&] { return la->LogEOF == 0; }));
  const pthread_t worker = la->LogThread;

  WriteStamped(config_, a + " ;Y ;S\n" + b + " ;N ;A\n");
  ASSERT_EQ(manager.lmRefresh(), 2u);
  // a: same file, type and procedure; updated in place, still running.
  EXPECT_EQ(manager.Log(0), la);
  EXPECT_EQ(la->LogDebugMode, LOGDEBUGMODEON);
  EXPECT_TRUE(pthread_equal(worker, la->LogThread));
  EXPECT_EQ(la->Status(), "Running");
  // b: a new object of the new type; the old one was stopped and deleted.
  Test_Log* nb = manager.Log(1);
  EXPECT_NE(nb, lb);
  EXPECT_EQ(nb->LogType, ADMINLOGTYPE);
  EXPECT_STREQ(nb->LogFileName, b.c_str());
  EXPECT_EQ(Test_Log::Destroyed(), std::vector<std::string>({b}));
  EXPECT_EQ(cap.Text(), "");
}

TEST_F(LogManagerTest, DroppedLogIsDeletedAndNewLogIsStarted) {
  const std::string a = LogPath("a"), b = LogPath("b"), c = LogPath("c");
  WriteStamped(config_, a + "\n" + b + "\n");
  Test_Manager manager;
  ASSERT_EQ(manager.lmRefresh(), 2u);
  WriteStamped(config_, c + "\n" + b + "\n");
  ASSERT_EQ(manager.lmRefresh(), 2u);
  EXPECT_STREQ(manager.Log(0)->LogFileName, b.c_str());
  EXPECT_STREQ(manager.Log(1)->LogFileName, c.c_str());
  EXPECT_EQ(Test_Log::Destroyed(), std::vector<std::string>({a}));
}

TEST_F(LogManagerTest, MissingLogIsRetriedAtEachRefresh) {
  const std::string a = LogPath("a");
  WriteStamped(config_, a + "\n");
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR");
  // The log vanishes between reading the configuration and starting it.
  ASSERT_EQ(manager.lmGetValidLogs(), 1u);
  ASSERT_EQ(unlink(a.c_str()), 0);
  manager.lmLockManager();
  manager.lmBuildLogObjects(1);
  manager.lmUnlockManager();
  Test_Log* log = manager.Log(0);
  ASSERT_TRUE(
      WaitUntil([&] { return log->Status() == "Error: log open failed"; }));

  // Still missing at the next refresh: tried again, fails again.
  WriteStamped(config_, a + "\n");
  qortest::WriteFile(a, "");
  ASSERT_EQ(manager.lmGetValidLogs(), 1u);
  ASSERT_EQ(unlink(a.c_str()), 0);
  manager.lmLockManager();
  manager.lmBuildLogObjects(1);
  manager.lmUnlockManager();
  EXPECT_EQ(manager.Log(0), log);
  ASSERT_TRUE(WaitUntil([&] {
    return cap.Count("\nError opening file " + a +
                     ".  errno = 2; No such file or directory") == 2;
  }));
  ASSERT_TRUE(
      WaitUntil([&] { return log->Status() == "Error: log open failed"; }));

  // Back again: the next refresh restarts it.
  qortest::WriteFile(a, "");
  WriteStamped(config_, a + "\n");
  ASSERT_EQ(manager.lmRefresh(), 1u);
  EXPECT_EQ(manager.Log(0), log);
  ASSERT_TRUE(WaitUntil([&] { return log->LogEOF == 0; }));
  EXPECT_EQ(log->Status(), "Running");
  EXPECT_EQ(cap.Count("\nError joining"), 0u);
}

TEST_F(LogManagerTest, FailedLogIsRetriedWithoutAChangeAndReadFromItsStart) {
  const std::string a = dir_.File("a");  // does not exist yet
  WriteStamped(config_, a + "\n");
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR");
  ASSERT_EQ(manager.lmRefresh(), 1u);
  Test_Log* log = manager.Log(0);
  ASSERT_TRUE(
      WaitUntil([&] { return log->Status() == "Error: log open failed"; }));

  // The file appears; a refresh signal with the configuration unchanged
  // (or the periodic retry) starts it, and all it holds is new.
  qortest::WriteFile(a, "written before it was watched\n");
  ASSERT_EQ(manager.lmRefresh(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 1; }));
  EXPECT_EQ(manager.Log(0), log);

  // Unreadable for a while (here: gone); the retry continues where the
  // log stopped in the same file.
  log->lfStopThread();
  qortest::AppendFile(a, "written while stopped\n");
  log->lfSetMonitorStatus(MONITOR_ERR_READ);
  manager.lmRetryFailedLogs();
  ASSERT_TRUE(WaitUntil([&] { return log->NumEvents == 2; }));
  EXPECT_EQ(log->Entries(),
            std::vector<std::string>({"written before it was watched\n",
                                      "written while stopped\n"}));
  EXPECT_EQ(log->Status(), "Running");
}

TEST_F(LogManagerTest, EditInTheSameSecondIsApplied) {
  const std::string a = LogPath("a"), b = LogPath("b");
  qortest::WriteFile(config_, a + "\n");
  Test_Manager manager;
  ASSERT_EQ(manager.lmRefresh(), 1u);
  struct stat before;
  ASSERT_EQ(stat(config_.c_str(), &before), 0);
  // Same whole second, other nanoseconds and size.
  qortest::WriteFile(config_, a + "\n" + b + "\n");
  const struct timespec times[2] = {
      {before.st_mtim.tv_sec, (before.st_mtim.tv_nsec + 1) % 1000000000},
      {before.st_mtim.tv_sec, (before.st_mtim.tv_nsec + 1) % 1000000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, config_.c_str(), times, 0), 0);
  ASSERT_EQ(manager.lmRefresh(), 2u);
}

TEST_F(LogManagerTest, PositionsSavedAtStopResumeTheNextRun) {
  const std::string a = LogPath("a"), b = LogPath("b");
  const std::string state = dir_.File("state");
  SetEnv(STATEFILEENVVAR, state);
  WriteStamped(config_, a + "\n" + b + "\n");
  {
    Test_Manager manager;
    ASSERT_EQ(manager.lmRefresh(), 2u);
    Test_Log* la = manager.Log(0);
    ASSERT_TRUE(WaitUntil([&] { return la->LogEOF == 0; }));
    qortest::AppendFile(a, "seen\n");
    ASSERT_TRUE(WaitUntil([&] { return la->NumEvents == 1; }));
    la->lfStopThread();  // so that the next line waits for the next run
    qortest::AppendFile(a, "read after the restart\n");
  }
  // While stopped: a grows, b is replaced by another file.
  qortest::AppendFile(a, "written while stopped\n");
  ASSERT_EQ(unlink(b.c_str()), 0);
  qortest::WriteFile(b, "new file\n");
  Test_Manager manager;
  qortest::Scoped_Log_Manager current(&manager);
  ASSERT_EQ(manager.lmRefresh(), 2u);
  Test_Log* la = manager.Log(0);
  Test_Log* lb = manager.Log(1);
  ASSERT_TRUE(
      WaitUntil([&] { return la->NumEvents == 2 && lb->NumEvents == 1; }));
  EXPECT_EQ(la->Entries(),
            std::vector<std::string>(
                {"read after the restart\n", "written while stopped\n"}));
  EXPECT_EQ(lb->Entries(), std::vector<std::string>({"new file\n"}));
  unsetenv(STATEFILEENVVAR);
}

TEST_F(LogManagerTest, StateFileIsRewrittenOnlyWhenAPositionMoved) {
  const std::string a = LogPath("a");
  const std::string state = dir_.File("state");
  SetEnv(STATEFILEENVVAR, state);
  WriteStamped(config_, a + "\n");
  Test_Manager manager;
  qortest::Scoped_Log_Manager current(&manager);  // the workers report to it
  ASSERT_EQ(manager.lmRefresh(), 1u);
  Test_Log* la = manager.Log(0);
  Log_Position position;
  ASSERT_TRUE(WaitUntil([&] { return la->lfGetPosition(&position); }));
  char host[256] = "";
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  // The offset the state file holds for the log after a save; -1 if none.
  const auto saved = [&] {
    manager.lmSavePositions();
    std::vector<Log_Position> positions;
    std::string err;
    if (!Position_Store::Parse(qortest::ReadFile(state), LocalStateOwner(host),
                               &positions, &err) ||
        positions.size() != 1) {
      return int64_t{-1};
    }
    return positions[0].offset;
  };
  ASSERT_EQ(saved(), 0);
  struct stat before, after;
  ASSERT_EQ(stat(state.c_str(), &before), 0);
  EXPECT_EQ(saved(), 0);
  ASSERT_EQ(stat(state.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // nothing moved: not rewritten

  qortest::AppendFile(a, "moved\n");
  EXPECT_TRUE(WaitUntil([&] { return saved() == 6; }));
  unsetenv(STATEFILEENVVAR);
}

TEST_F(LogManagerTest, OutstandingRequestsSuspendTheRefreshUntilTheLastEnds) {
  const std::string a = LogPath("a"), b = LogPath("b");
  WriteStamped(config_, a + "\n");
  Test_Manager manager;
  ASSERT_EQ(manager.lmRefresh(), 1u);
  qortest::TraceCapture cap("ERROR,FLOW");
  manager.lmBeginRequest();
  manager.lmBeginRequest();
  WriteStamped(config_, a + "\n" + b + "\n");
  unsigned int result = 0;
  std::thread refresh([&] { result = manager.lmRefresh(); });
  ASSERT_TRUE(WaitUntil([&] {
    return cap.Contains(
        "\nRefresh suspended pending completion of outstanding requests.");
  }));
  manager.lmEndRequest();
  EXPECT_EQ(manager.NumLogs, 1);  // the ring does not change under a request
  EXPECT_FALSE(cap.Contains("\nRefresh resuming."));
  manager.lmEndRequest();
  refresh.join();
  EXPECT_EQ(result, 2u);
  EXPECT_TRUE(cap.Contains("\nRefresh resuming."));
  const std::string text = cap.Text();
  EXPECT_LT(text.find("\nNot-in-use signal sent."),
            text.find("\nRefresh resuming."));
}

// A report that only reads holds a refresh up for RefreshWaitSeconds at
// most; the object it reads stays alive until it is counted out.
TEST_F(LogManagerTest, RefreshGoesAheadOfAReportStillReading) {
  const std::string a = LogPath("a"), b = LogPath("b");
  WriteStamped(config_, a + "\n");
  Test_Manager manager;
  manager.RefreshWaitSeconds = 1;
  ASSERT_EQ(manager.lmRefresh(), 1u);
  qortest::TraceCapture cap("ERROR,FLOW");
  manager.lmBeginRequest();
  Log_File* const reading =
      manager.lmFindLogObject(const_cast<char*>(a.c_str()));
  ASSERT_NE(reading, nullptr);
  manager.lmLeaveRing();
  WriteStamped(config_, b + "\n");
  EXPECT_EQ(manager.lmRefresh(), 1u);
  EXPECT_TRUE(cap.Contains(
      "\nRefresh going ahead after 1 seconds; 1 report(s) still reading "
      "finish on their own files."));
  EXPECT_STREQ(manager.Log(0)->LogFileName, b.c_str());
  EXPECT_TRUE(Test_Log::Destroyed().empty());
  EXPECT_STREQ(reading->LogFileName, a.c_str());  // still alive
  manager.lmReturnToRing();
  manager.lmEndRequest();
  manager.lmDeleteRetiredLogs();
  EXPECT_EQ(Test_Log::Destroyed(), std::vector<std::string>({a}));
}

// A stop signal pending while a refresh waits for requests ends the wait
// at once: the refresh is given up, the ring unchanged.
TEST_F(LogManagerTest, PendingStopSignalGivesUpAWaitingRefresh) {
  const std::string a = LogPath("a"), b = LogPath("b");
  WriteStamped(config_, a + "\n");
  Test_Manager manager;
  ASSERT_EQ(manager.lmRefresh(), 1u);
  qortest::TraceCapture cap("ERROR,FLOW");
  manager.lmBeginRequest();  // walking the ring: never gone ahead of
  WriteStamped(config_, a + "\n" + b + "\n");
  std::atomic<bool> done{false};
  unsigned int result = 0;
  std::thread refresh([&] {
    // The signal goes to this thread alone, blocked as in the agent.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    result = manager.lmRefresh();
    const struct timespec zero = {0, 0};
    sigtimedwait(&term, nullptr, &zero);
    done = true;
  });
  ASSERT_TRUE(WaitUntil([&] {
    return cap.Contains(
        "\nRefresh suspended pending completion of outstanding requests.");
  }));
  pthread_kill(refresh.native_handle(), SIGTERM);
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
  manager.lmEndRequest();
  refresh.join();
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(manager.NumLogs, 1);
  EXPECT_TRUE(cap.Contains("\nRefresh abandoned: a stop signal is pending."));
}

TEST_F(LogManagerTest, ConfigurationWithoutValidLinesFallsBackToSyslogDefault) {
  const std::string a = LogPath("a"), b = LogPath("b");
  WriteStamped(syslog_, "*.info;mail.none\t" + b + "\n*.emerg\t*\n");
  WriteStamped(config_, a + "\n");
  Test_Manager manager;
  ASSERT_EQ(manager.lmRefresh(), 1u);
  EXPECT_STREQ(manager.Log(0)->LogFileName, a.c_str());

  qortest::TraceCapture cap("ERROR");
  WriteStamped(config_, "relative/path\n" + dir_.File("x") + " ;N ;X\n");
  ASSERT_EQ(manager.lmRefresh(), 1u);
  EXPECT_STREQ(manager.Log(0)->LogFileName, b.c_str());
  EXPECT_TRUE(cap.Contains(
      "\nNo valid log files found in " + config_ +
      ". Attempting to build default list from syslog file " + syslog_ + "."));
  EXPECT_EQ(Test_Log::Destroyed(), std::vector<std::string>({a}));
  EXPECT_NE(manager.SyslogConfFileLastChanged, 0);
  EXPECT_EQ(manager.ConfigFileLastChanged, 0);
  EXPECT_TRUE(manager.ConfigHadNoValidLine);  // --check refuses it
}

TEST_F(LogManagerTest, MissingConfigurationFileUsesSyslogDefault) {
  const std::string b = LogPath("b");
  WriteStamped(syslog_, "*.info\t" + b + "\n");
  Test_Manager manager;  // config_ was never written
  qortest::TraceCapture cap("ERROR,FLOW");
  ASSERT_EQ(manager.lmRefresh(), 1u);
  EXPECT_TRUE(cap.Contains(
      "\nAttempting to build default list from syslog file " + syslog_ + "."));

  // Unchanged syslog configuration: its message has no final period.
  cap.Clear();
  ASSERT_EQ(manager.lmRefresh(), 1u);
  bool found = false;
  for (const auto& r : cap.Records()) {
    found =
        found ||
        r == "\n" + syslog_ +
                 " has not changed since last refresh. No refresh performed";
  }
  EXPECT_TRUE(found) << cap.Text();
  EXPECT_TRUE(cap.Contains("\nContinuing to monitor existing log files."));
}

TEST_F(LogManagerTest, NothingToMonitorIsReported) {
  unsetenv(CONFIGFILEENVVAR);
  Test_Manager manager;  // the syslog configuration does not exist either
  qortest::TraceCapture cap("ERROR");
  EXPECT_EQ(manager.lmRefresh(), 0u);
  EXPECT_TRUE(cap.Contains("\nAgent has no work to do."));
  EXPECT_EQ(manager.ConfigFile, nullptr);
  EXPECT_STREQ(manager.SyslogConfFile, syslog_.c_str());
}

TEST_F(LogManagerTest, LogOfUnknownKindIsTracedAndLeftOut) {
  const std::string a = LogPath("a"), b = LogPath("b");
  WriteStamped(config_, a + "\n" + b + "\n");
  Test_Manager manager;
  ASSERT_EQ(manager.lmGetValidLogs(), 2u);
  // A type letter no kind exists for.
  static_cast<Valid_Log*>(manager.FirstValidLog->Next)->LogType = 'X';
  qortest::TraceCapture cap("ERROR");
  manager.lmLockManager();
  manager.lmBuildLogObjects(2);
  manager.lmUnlockManager();
  EXPECT_EQ(manager.NumLogs, 1);
  EXPECT_STREQ(manager.Log(0)->LogFileName, a.c_str());
  EXPECT_EQ(manager.FirstValidLog, nullptr);
  EXPECT_EQ(
      cap.Text(),
      "\nError during refresh processing. Unknown log type 88 encountered for file " +
          b + ". Log not monitored.");
}

TEST_F(LogManagerTest, KindsWithoutACaseAreNotCreated) {
  const std::string a = LogPath("a");
  WriteStamped(config_, a + " ;N ;A\n");
  Test_Manager manager(/*create_kinds=*/false);
  qortest::TraceCapture cap("ERROR");
  // Until the administrative kind exists its logs are left out; once it
  // does, the log is created and this expectation changes with it.
  const unsigned int logs = manager.lmRefresh();
  if (logs == 0) {
    EXPECT_TRUE(cap.Contains(
        "\nError during refresh processing. Unknown log type 65 encountered for file " +
        a + ". Log not monitored."));
    EXPECT_TRUE(cap.Contains("\nAgent has no work to do."));
  } else {
    EXPECT_EQ(logs, 1u);
  }
}

TEST_F(LogManagerTest, ServerUpSignalEndsTheShutdownWait) {
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR,FLOW");
  std::thread terminating([&] { manager.lmWaitForServerUp(); });
  ASSERT_TRUE(WaitUntil([&] {
    return cap.Contains(
        "\nShutdown suspended for up to 10 seconds pending completion of server initialization.");
  }));
  manager.lmSetServerUp();
  terminating.join();
  EXPECT_TRUE(cap.Contains("\nAgent server is listening; signal sent."));
  EXPECT_TRUE(cap.Contains("\nShutdown resuming."));

  // Once up, always up: a later wait returns at once.
  manager.lmSetServerUp();
  EXPECT_EQ(manager.AgentServerUp, 1);
  cap.Clear();
  manager.lmWaitForServerUp();
  EXPECT_FALSE(cap.Contains("\nShutdown suspended"));
}

TEST_F(LogManagerTest, EnvironmentAndDebugLogOpenFailure) {
  const std::string debug = dir_.File("no-such-dir/agent.debug");
  SetEnv(DEBUGLOGENVVAR, debug);
  qortest::TraceCapture cap("ERROR,FLOW");
  Test_Manager manager;
  EXPECT_STREQ(manager.ConfigFile, config_.c_str());
  EXPECT_STREQ(manager.DebugLog, debug.c_str());
  EXPECT_TRUE(cap.Contains(
      "\n\"TVX_CONFIG_FILE\" environment variable set to \"" + config_ + "\""));
  EXPECT_TRUE(
      cap.Contains("\n\"AGENT_DEBUG_LOG\" environment variable set to \"" +
                   debug + "\". Agent debug mode is ON."));
  manager.lmRefresh();
  EXPECT_EQ(manager.DebugLogP.load(), nullptr);
  EXPECT_TRUE(cap.Contains("\nError opening debug log \"" + debug +
                           "\"; errno = 2; No such file or directory"));
}

TEST_F(LogManagerTest, DefaultsWhenTheEnvironmentIsEmpty) {
  SetEnv(CONFIGFILEENVVAR, "");
  unsetenv(SYSLOGCONFENVVAR);
  qortest::TraceCapture cap("ERROR,FLOW");
  Test_Manager manager;
  EXPECT_EQ(manager.ConfigFile, nullptr);
  // The classic file when the host has one, else rsyslog's.
  const std::string chosen =
      ChooseSyslogConf(DEFAULTSYSLOGCONF, DEFAULTRSYSLOGCONF);
  EXPECT_STREQ(manager.SyslogConfFile, chosen.c_str());
  EXPECT_EQ(manager.DebugLog, nullptr);
  EXPECT_TRUE(
      cap.Contains("\nNo TVX_CONFIG_FILE environment variable specified."));
  EXPECT_TRUE(cap.Contains(
      "\nNo TVX_SYSLOG_CONF environment variable specified; using default file " +
      chosen + "."));
  EXPECT_TRUE(cap.Contains(
      "\nNo \"AGENT_DEBUG_LOG\" environment variable specified. Agent debug "
      "mode is OFF."));
}

TEST_F(LogManagerTest, PrintSelfDumpsTheFields) {
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR");
  manager.lmPrintSelf();
  const std::string dump = cap.Text();
  EXPECT_NE(
      dump.find(
          "\n\tConfigFile\t\t\t= \"" + config_ +
          "\"\n\tConfigFileLastChanged\t\t= File not accessed\n\tSyslogConfFile\t\t\t= \"" +
          syslog_ +
          "\"\n\tSyslogConfFileLastChanged\t= File not accessed\n\tNumLogs\t\t\t\t= 0\n"),
      std::string::npos)
      << dump;
  EXPECT_NE(dump.find("\n\tAgentServerUp\t\t\t= 0\n"), std::string::npos);
  EXPECT_NE(dump.find("\n\tDebugLog\t\t\t= \"\"\n\tDebugLogP\t\t\t= (nil)\n"),
            std::string::npos);
}

// The system-log line stands for the syslog configuration's files, each
// message once (kern.log holds copies of syslog's), those not there yet
// too; a change of the syslog configuration alone is a change.
TEST_F(LogManagerTest, SystemLogLineWatchesEachSyslogMessageOnce) {
  const std::string syslog = LogPath("syslog"), auth = LogPath("auth.log");
  LogPath("kern.log");
  const std::string other = LogPath("other");
  const std::string mail = dir_.File("mail.log");  // written later
  const std::string rules = "*.*;auth,authpriv.none -" + syslog +
                            "\nauth,authpriv.* " + auth + "\nkern.* -" +
                            dir_.File("kern.log") + "\n";
  WriteStamped(syslog_, rules + "mail.* -" + mail + "\n");
  WriteStamped(config_, "@systemlog ;N\n" + other + "\n");
  Test_Manager manager;
  ASSERT_EQ(manager.lmRefresh(), 3u);
  EXPECT_STREQ(manager.Log(0)->LogFileName, syslog.c_str());
  EXPECT_STREQ(manager.Log(1)->LogFileName, auth.c_str());
  EXPECT_STREQ(manager.Log(2)->LogFileName, other.c_str());

  // mail.* is not within syslog's selector any more.
  WriteStamped(syslog_, "*.*;auth,authpriv.none;mail.none -" + syslog +
                            "\nauth,authpriv.* " + auth + "\nmail.* -" + mail +
                            "\n");
  ASSERT_EQ(manager.lmRefresh(), 4u);
  EXPECT_STREQ(manager.Log(3)->LogFileName, mail.c_str());
  ASSERT_EQ(manager.lmRefresh(), 4u);  // nothing changed
  EXPECT_TRUE(Test_Log::Destroyed().empty());
}

// A file not there is traced when it is first started and then waits
// without restarts until it appears; a log failing for another reason is
// restarted once soon, then at most once a minute (a refresh signal
// restarts it at once).
TEST_F(LogManagerTest, FailedLogsAreRetriedWithoutATraceStream) {
  const std::string late = dir_.File("late");
  const std::string folder = dir_.File("folder");
  ASSERT_EQ(mkfifo(folder.c_str(), 0644), 0);  // fails, though it is there
  WriteStamped(config_, late + "\n" + folder + "\n");
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR");
  ASSERT_EQ(manager.lmRefresh(), 2u);
  Test_Log* missing = manager.Log(0);
  Test_Log* bad = manager.Log(1);
  const std::string open_error = "\nError opening file " + late +
                                 ".  errno = 2; No such file or directory";
  const std::string bad_error = "\nError opening file " + folder +
                                ": not a regular file; it is not read.";
  ASSERT_TRUE(WaitUntil(
      [&] { return missing->MonitorStatus < 0 && bad->MonitorStatus < 0; }));

  manager.lmRetryFailedLogs();
  EXPECT_EQ(missing->MonitorStatus, MONITOR_ERR_OPEN);  // not restarted
  ASSERT_TRUE(WaitUntil([&] { return cap.Count(bad_error) == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return bad->MonitorStatus < 0; }));
  manager.lmRetryFailedLogs();
  EXPECT_EQ(bad->MonitorStatus, MONITOR_ERR_OPEN);  // held for a minute

  qortest::WriteFile(late, "written before it appeared to the agent\n");
  manager.lmRetryFailedLogs();
  ASSERT_TRUE(WaitUntil([&] { return missing->NumEvents == 1; }));
  EXPECT_EQ(cap.Count(open_error), 1u);
  EXPECT_EQ(cap.Count(bad_error), 2u);

  WriteStamped(config_, late + "\n" + folder + "\n");
  ASSERT_EQ(manager.lmRefresh(), 2u);  // rebuilt: the failed one restarts
  ASSERT_TRUE(WaitUntil([&] { return cap.Count(bad_error) == 3; }));
}

// Only regular files are logs: a device the syslog configuration writes to
// is left out, traced once.
TEST_F(LogManagerTest, SyslogDevicesAreNoLogs) {
  unsetenv(CONFIGFILEENVVAR);
  const std::string a = LogPath("a");
  WriteStamped(syslog_, "*.*;mail.none " + a +
                            "\nmail.* /dev/null\n*.emerg /dev/console\n");
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR");
  ASSERT_EQ(manager.lmRefresh(), 1u);
  EXPECT_STREQ(manager.Log(0)->LogFileName, a.c_str());
  EXPECT_EQ(cap.Count("\nThe file /dev/null is not a regular file."), 1u);
}

// A syslog configuration that goes away leaves its files watched, not the
// journal, until a configuration names others.
TEST_F(LogManagerTest, GoneSyslogConfigurationKeepsItsFiles) {
  unsetenv(CONFIGFILEENVVAR);
  const std::string journal = dir_.File("journal");
  ASSERT_EQ(mkdir(journal.c_str(), 0755), 0);
  SetEnv("TVX_JOURNAL_DIR", journal);
  const std::string a = LogPath("a"), b = LogPath("b");
  WriteStamped(syslog_, "*.* " + a + "\n");
  Test_Manager manager;
  qortest::TraceCapture cap("ERROR");
  ASSERT_EQ(manager.lmRefresh(), 1u);
  ASSERT_EQ(unlink(syslog_.c_str()), 0);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(manager.lmRefresh(), 1u);
    EXPECT_STREQ(manager.Log(0)->LogFileName, a.c_str());
  }
  EXPECT_EQ(cap.Count("\nThe syslog configuration " + syslog_ +
                      " is gone; the files it named (1) are watched on."),
            1u);
  EXPECT_TRUE(Test_Log::Destroyed().empty());
  WriteStamped(syslog_, "*.* " + b + "\n");
  ASSERT_EQ(manager.lmRefresh(), 1u);
  EXPECT_STREQ(manager.Log(0)->LogFileName, b.c_str());
}

// The syslog configuration decides what the agent reads: one that others
// may change is refused like the agent's own files, or used with a warning.
TEST_F(LogManagerTest, SyslogConfigurationOthersMayWriteIsRefused) {
  unsetenv(CONFIGFILEENVVAR);
  const std::string a = LogPath("a");
  WriteStamped(syslog_, "*.* " + a + "\n");
  ASSERT_EQ(chmod(syslog_.c_str(), 0666), 0);
  {
    Test_Manager manager;
    qortest::TraceCapture cap("ERROR");
    EXPECT_EQ(manager.lmRefresh(), 0u);
    EXPECT_TRUE(cap.Contains("Refusing syslog configuration file " + syslog_))
        << cap.Text();
  }
  SetEnv("TVX_INSECURE_FILES", "warn");
  {
    Test_Manager manager;
    qortest::TraceCapture cap("ERROR");
    EXPECT_EQ(manager.lmRefresh(), 1u);
    EXPECT_TRUE(
        cap.Contains("Warning: using syslog configuration file " + syslog_))
        << cap.Text();
  }
  unsetenv("TVX_INSECURE_FILES");
}

}  // namespace
