// The log manager's life in the real agent: refresh, the control signals,
// the end when nothing is monitored, and the orderly stop.
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/testutil.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;

const char kWaiting[] =
    "\nManager thread waiting for refresh (1) or stop (15) signal.";

// Writes a configuration file with an explicit modification time, so that
// a rewrite counts as a change however fast the test runs.
void WriteStamped(const std::string& path, const std::string& text,
                  time_t stamp) {
  qortest::WriteFile(path, text);
  const struct timeval times[2] = {{stamp, 0}, {stamp, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0);
}

// Position of `text` in `trace` after `from`, npos when absent.
size_t After(const std::string& trace, const std::string& text, size_t from) {
  return from == std::string::npos ? from : trace.find(text, from);
}

// Waits until the manager waits for signals. False when the agent has no
// kind for syslog logs yet (it then ends with nothing to monitor).
bool WaitForSignalWait(Agent_Process& agent, bool* kind_missing) {
  *kind_missing = false;
  const bool seen = qortest::WaitUntil(
      [&] {
        const std::string trace = agent.Trace();
        *kind_missing = trace.find("Unknown log type 83") != std::string::npos;
        return *kind_missing || trace.find(kWaiting) != std::string::npos;
      },
      std::chrono::seconds(15));
  return seen && !*kind_missing;
}

#define REQUIRE_SIGNAL_WAIT(agent)                                  \
  do {                                                              \
    bool kind_missing = false;                                      \
    const bool waiting = WaitForSignalWait((agent), &kind_missing); \
    if (kind_missing) {                                             \
      GTEST_SKIP() << "no log kind for type S in this build";       \
    }                                                               \
    ASSERT_TRUE(waiting) << (agent).Trace();                        \
  } while (0)

TEST(LogManagerE2ETest, NoValidLogEndsTheAgentAfterTheNoWorkMessage) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);  // the syslog configuration does not exist
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW");
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
  const std::string trace = agent.Trace();
  size_t at =
      After(trace, "\nNo TVX_CONFIG_FILE environment variable specified.", 0);
  at = After(trace, "\nLog manager thread successfully started.", at);
  at = After(trace, "\nAgent has no work to do.", at);
  at = After(trace, "\nLog manager terminating framework.", at);
  // main's exit routine runs as soon as the runtime is stopped, alongside
  // the manager thread's last traces; it waits for the thread to end.
  size_t stopped =
      After(trace, "\nFramework terminated with status 00000000", at);
  stopped = After(trace, "\nLog manager thread is terminating.", stopped);
  EXPECT_NE(stopped, std::string::npos) << trace;
  at = After(trace, "\nShutdown commencing.", at);
  at = After(trace, "\nManager thread terminated.", at);
  at = After(trace, "\n'server-up' condition variable destroyed.", at);
  EXPECT_NE(at, std::string::npos) << trace;
  EXPECT_LT(trace.find("\nLog manager thread is terminating."),
            trace.find("\nManager thread terminated."));
  EXPECT_EQ(trace.find(kWaiting), std::string::npos);
}

TEST(LogManagerE2ETest, MissingConfigurationFileFallsBackToTheSyslogDefault) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string config = dir.File("missing.conf");
  const std::string syslog = dir.File("no-syslog.conf");
  agent.SetEnv("TVX_CONFIG_FILE", config);
  agent.SetEnv("TVX_SYSLOG_CONF", syslog);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR");
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
  const std::string trace = agent.Trace();
  size_t at = After(trace,
                    "\nstat() command failed for " + config +
                        "; errno = 2; No such file or directory.",
                    0);
  at = After(
      trace,
      "\nAttempting to build default list from syslog file " + syslog + ".",
      at);
  at = After(trace, "\nAgent has no work to do.", at);
  EXPECT_NE(at, std::string::npos) << trace;
}

TEST(LogManagerE2ETest, RefreshWithoutChangesKeepsTheLogsAndSigtermStops) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string syslog = dir.File("syslog.conf");
  const std::string log = dir.File("messages");
  qortest::WriteFile(log, "");
  WriteStamped(syslog, "*.info;mail.none\t" + log + "\n*.emerg\t*\n",
               1000000000);
  agent.SetEnv("TVX_SYSLOG_CONF", syslog);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW,DETAIL");
  ASSERT_TRUE(agent.Start());
  REQUIRE_SIGNAL_WAIT(agent);

  ASSERT_TRUE(agent.Signal(SIGCHLD));
  ASSERT_TRUE(agent.WaitTrace("\nSIGCHLD signal ignored."));
  ASSERT_TRUE(agent.Signal(SIGHUP));
  ASSERT_TRUE(agent.WaitTrace("\nRefresh signal received."));
  // The syslog configuration's message has no final period.
  ASSERT_TRUE(agent.WaitTrace(
      "\n" + syslog +
      " has not changed since last refresh. No refresh performed"));
  ASSERT_TRUE(agent.WaitTrace("\nContinuing to monitor existing log files."));
  EXPECT_TRUE(agent.Running());
  EXPECT_EQ(agent.Trace().find("\nDeleting log object"), std::string::npos);

  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
  const std::string trace = agent.Trace();
  size_t at = After(trace, "\nStop signal received.", 0);
  EXPECT_NE(After(trace, "\nFramework terminated with status 00000000", at),
            std::string::npos);
  at = After(trace, "\nShutdown commencing.", at);
  at = After(trace, "\nDeleting log object for file " + log, at);
  at = After(trace, "\nThread for log file " + log + " terminating.", at);
  EXPECT_NE(at, std::string::npos) << trace;
}

TEST(LogManagerE2ETest, RefreshAfterAChangeRebuildsAndSigintStops) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string config = dir.File("agent.conf");
  const std::string a = dir.File("a.log");
  const std::string b = dir.File("b.log");
  qortest::WriteFile(a, "");
  qortest::WriteFile(b, "");
  WriteStamped(config, a + "\n", 1000000000);
  agent.SetEnv("TVX_CONFIG_FILE", config);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW");
  ASSERT_TRUE(agent.Start());
  REQUIRE_SIGNAL_WAIT(agent);

  WriteStamped(config, b + " ;Y\n", 1000000100);
  ASSERT_TRUE(agent.Signal(SIGHUP));
  ASSERT_TRUE(
      agent.WaitTrace("\nThread successfully started for log file " + b + "."));
  ASSERT_TRUE(agent.WaitTrace("\nDeleting log object for file " + a));
  EXPECT_TRUE(agent.Running());

  ASSERT_TRUE(agent.Signal(SIGINT));
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
  EXPECT_NE(agent.Trace().find("\nDeleting log object for file " + b),
            std::string::npos);
}

TEST(LogManagerE2ETest, RefreshWithoutChangesKeepsALogWhoseFileIsMissing) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string config = dir.File("agent.conf");
  const std::string log = dir.File("gone.log");
  qortest::WriteFile(log, "");
  WriteStamped(config, log + "\n", 1000000000);
  agent.SetEnv("TVX_CONFIG_FILE", config);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW");
  ASSERT_TRUE(agent.Start());
  REQUIRE_SIGNAL_WAIT(agent);

  ASSERT_EQ(unlink(log.c_str()), 0);
  ASSERT_TRUE(agent.Signal(SIGHUP));
  ASSERT_TRUE(agent.WaitTrace(
      "\n" + config +
      " has not changed since last refresh. No refresh performed."));
  ASSERT_TRUE(agent.WaitTrace("\nContinuing to monitor existing log files."));
  EXPECT_TRUE(agent.Running());
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
}

TEST(LogManagerE2ETest, SigquitAbortsTheAgent) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string syslog = dir.File("syslog.conf");
  const std::string log = dir.File("messages");
  qortest::WriteFile(log, "");
  WriteStamped(syslog, "*.info\t" + log + "\n", 1000000000);
  agent.SetEnv("TVX_SYSLOG_CONF", syslog);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW");
  // No core file from the abort.
  struct rlimit saved;
  getrlimit(RLIMIT_CORE, &saved);
  struct rlimit none = saved;
  none.rlim_cur = 0;
  setrlimit(RLIMIT_CORE, &none);
  const bool started = agent.Start();
  setrlimit(RLIMIT_CORE, &saved);
  ASSERT_TRUE(started);
  REQUIRE_SIGNAL_WAIT(agent);
  ASSERT_TRUE(agent.Signal(SIGQUIT));
  EXPECT_EQ(agent.WaitExit(), -1);  // ended by SIGABRT
  EXPECT_NE(agent.Trace().find("\nQUIT signal received. Aborting."),
            std::string::npos);
}

}  // namespace
