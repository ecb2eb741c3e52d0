// Workers woken by writes and by stops: an event is read as soon as it is
// written, rotation is still followed, and a stop with many logs ends at once.
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/testutil.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;

const char kWaiting[] =
    "\nManager thread waiting for refresh (1) or stop (15) signal.";

// Starts an agent on the logs of `config` (one path a line).
void StartOn(Agent_Process& agent, const std::string& config) {
  const std::string situations = agent.Dir() + "/situations";
  qortest::WriteFile(situations, "all VXLOGENT LOGNAME == \"messages\"\n");
  agent.SetEnv("HOV_SITUATIONS", situations);
  agent.SetEnv("TVX_CONFIG_FILE", config);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW");
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitTrace(kWaiting)) << agent.Trace();
}

// How many times `text` is in the trace.
size_t TraceCount(const Agent_Process& agent, const std::string& text) {
  const std::string trace = agent.Trace();
  size_t n = 0;
  for (size_t at = trace.find(text); at != std::string::npos;
       at = trace.find(text, at + 1)) {
    ++n;
  }
  return n;
}

// Milliseconds from appending `line` to `log` until it is in the sink.
long LatencyMs(const Agent_Process& agent, const std::string& log,
               const std::string& tag) {
  const auto start = std::chrono::steady_clock::now();
  qortest::AppendFile(
      log, qortest::SyslogLine(time(nullptr), "host", "app: " + tag));
  while (agent.Events().find(tag) == std::string::npos) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(15)) {
      return -1;
    }
    struct timespec t = {0, 200000};
    nanosleep(&t, nullptr);
  }
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start)
          .count());
}

TEST(WakeE2ETest, EventArrivesBeforeTheOneSecondCheckUnlessPollingIsForced) {
  for (const bool pollOnly : {true, false}) {
    SCOPED_TRACE(pollOnly ? "TVX_POLL_ONLY=1" : "inotify");
    Scoped_Temp_Dir dir;
    Agent_Process agent(dir);
    const std::string log = dir.File("messages");
    qortest::WriteFile(log, "");
    qortest::WriteFile(dir.File("agent.conf"), log + "\n");
    if (pollOnly) {
      agent.SetEnv("TVX_POLL_ONLY", "1");
    }
    StartOn(agent, dir.File("agent.conf"));
    if (pollOnly) {
      // The control: the one-second check is all there is, and says so.
      ASSERT_TRUE(agent.WaitTrace(
          "\nWatching " + log +
          " by the one-second check only: TVX_POLL_ONLY is set."));
      EXPECT_GE(LatencyMs(agent, log, "polled-line"), 0);
      continue;
    }
    ASSERT_TRUE(agent.WaitTrace("\nWatching " + log + " on change events."))
        << agent.Trace();
    // Each of a few lines is read long before a one-second check would
    // have found it (three in a row would each need luck without a wake).
    for (int i = 0; i < 3; ++i) {
      const long ms = LatencyMs(agent, log, "woken-line-" + std::to_string(i));
      ASSERT_GE(ms, 0);
      EXPECT_LT(ms, 500) << "line " << i;
    }
    ASSERT_TRUE(agent.Signal(SIGTERM));
    EXPECT_EQ(agent.WaitExit(), 0);
  }
}

TEST(WakeE2ETest, RotationAndTruncationAreFollowedOnChangeEvents) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  qortest::WriteFile(log, "");
  qortest::WriteFile(dir.File("agent.conf"), log + "\n");
  StartOn(agent, dir.File("agent.conf"));
  ASSERT_TRUE(agent.WaitTrace("\nWatching " + log + " on change events."));
  ASSERT_GE(LatencyMs(agent, log, "before-rotation"), 0);

  ASSERT_EQ(rename(log.c_str(), dir.File("messages.1").c_str()), 0);
  qortest::AppendFile(dir.File("messages.1"),
                      qortest::SyslogLine(time(nullptr), "h", "a: late-old"));
  qortest::WriteFile(log,
                     qortest::SyslogLine(time(nullptr), "h", "a: first-new"));
  EXPECT_TRUE(agent.WaitEvents("late-old")) << agent.Events();
  EXPECT_TRUE(agent.WaitEvents("first-new")) << agent.Events();
  // The new file is watched in turn.
  EXPECT_GE(LatencyMs(agent, log, "second-new"), 0);

  qortest::WriteFile(log, "");
  EXPECT_GE(LatencyMs(agent, log, "after-truncation"), 0);
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

TEST(WakeE2ETest, SigtermWithFiftyLogsStopsEveryWorkerAndExits) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  std::string config;
  constexpr int kLogs = 50;
  for (int i = 0; i < kLogs; ++i) {
    const std::string log = dir.File("log" + std::to_string(i));
    qortest::WriteFile(log, "");
    config += log + "\n";
  }
  qortest::WriteFile(dir.File("agent.conf"), config);
  // Polling only: the stop must wake workers that have no change events.
  agent.SetEnv("TVX_POLL_ONLY", "1");
  StartOn(agent, dir.File("agent.conf"));
  ASSERT_TRUE(agent.WaitTrace("\nWatching " + dir.File("log49") +
                              " by the one-second check"));

  ASSERT_TRUE(agent.Signal(SIGTERM));
  // Joined one at a time after each one's next check, fifty workers would
  // take close to a minute and overrun the wait.
  ASSERT_EQ(agent.WaitExit(std::chrono::seconds(20)), 0) << agent.Output();
  const std::string trace = agent.Trace();
  const size_t shutdown = trace.find("\nShutdown commencing.");
  ASSERT_NE(shutdown, std::string::npos);
  for (int i = 0; i < kLogs; ++i) {
    EXPECT_NE(trace.find("\nDeleting log object for file " +
                             dir.File("log" + std::to_string(i)),
                         shutdown),
              std::string::npos)
        << i;
  }
}

// A watched worker sleeps until it is woken; a change no event tells (the
// log reached through a symlinked directory that is pointed elsewhere) is
// found by the watch's safety check, which wakes it.
TEST(WakeE2ETest, AChangeNoEventTellsIsFoundByTheSafetyCheck) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = qortest::SymlinkedLog(dir.path(), "", "");
  ASSERT_FALSE(log.empty());
  qortest::WriteFile(dir.File("agent.conf"), log + "\n");
  StartOn(agent, dir.File("agent.conf"));
  ASSERT_TRUE(agent.WaitTrace("\nWatching " + log + " on change events."));
  ASSERT_GE(LatencyMs(agent, log, "before-switch"), 0);

  ASSERT_TRUE(qortest::PointSymlink(dir.File("current"), "b"));
  qortest::AppendFile(
      dir.File("b/messages"),
      qortest::SyslogLine(time(nullptr), "h", "a: after-switch"));
  EXPECT_TRUE(agent.WaitEvents("after-switch")) << agent.Trace();
  // The new file is watched in turn.
  EXPECT_GE(LatencyMs(agent, log, "second-in-b"), 0);
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

// Logs inotify cannot serve keep their worker on the one-second check, and
// the trace says so once: one whose directory the agent may not read, and
// one replaced by a directory for a while.
TEST(WakeE2ETest, UnwatchableLogsStayOnTheOneSecondCheck) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run the agent as nobody";
  }
  ASSERT_TRUE(agent.RunUnprivileged());
  // Searchable but not readable by the agent's user: the file opens, the
  // directory cannot be watched.
  const std::string locked_dir = dir.File("locked");
  ASSERT_EQ(mkdir(locked_dir.c_str(), 0711), 0);
  const std::string locked = locked_dir + "/messages";
  const std::string replaced = dir.File("messages");
  qortest::WriteFile(locked, "");
  qortest::WriteFile(replaced, "");
  qortest::WriteFile(dir.File("agent.conf"), locked + "\n" + replaced + "\n");
  StartOn(agent, dir.File("agent.conf"));
  const std::string unreadable = "\nWatching " + locked +
                                 " by the one-second check only: cannot watch "
                                 "its directory: Permission denied.";
  ASSERT_TRUE(agent.WaitTrace(unreadable)) << agent.Trace();
  ASSERT_TRUE(agent.WaitTrace("\nWatching " + replaced + " on change events."));
  qortest::AppendFile(locked, qortest::SyslogLine(time(nullptr), "h", "a: from-locked"));
  EXPECT_TRUE(agent.WaitEvents("from-locked")) << agent.Trace();

  ASSERT_EQ(unlink(replaced.c_str()), 0);
  ASSERT_EQ(mkdir(replaced.c_str(), 0755), 0);
  const std::string is_directory =
      "\nLog " + replaced + " was replaced by a directory;";
  ASSERT_TRUE(agent.WaitTrace(is_directory)) << agent.Trace();
  // The other log's one-second check, twice, lets this one's check pass
  // over the directory more than once.
  for (const char* tag : {"a: while-directory-1", "a: while-directory-2"}) {
    qortest::AppendFile(locked, qortest::SyslogLine(time(nullptr), "h", tag));
    EXPECT_TRUE(agent.WaitEvents(tag + 3)) << agent.Trace();
  }
  ASSERT_EQ(rmdir(replaced.c_str()), 0);
  qortest::WriteFile(replaced, qortest::SyslogLine(time(nullptr), "h", "a: file-again"));
  EXPECT_TRUE(agent.WaitEvents("file-again")) << agent.Trace();
  for (const std::string& log : {locked, replaced}) {
    EXPECT_EQ(qortest::JsonField(qortest::MonlogRow(agent, log), "MONSTATUS"), "Running") << log;
  }
  EXPECT_EQ(TraceCount(agent, unreadable), 1u);
  EXPECT_EQ(TraceCount(agent, is_directory), 1u);
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

}  // namespace
