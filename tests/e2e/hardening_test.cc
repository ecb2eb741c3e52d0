// The agent against a hostile or careless environment: the files it creates
// and the limits it runs into.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/testutil.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;

// The trace, the events, the debug log (which copies raw log lines) and the
// state file are readable by the agent's group at most, whatever the umask.
TEST(HardeningE2ETest, FilesItCreatesAreNotReadableByOthers) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  const std::string conf = dir.File("agent.conf");
  const std::string debug = dir.File("debug.log");
  qortest::WriteFile(log, "");
  qortest::WriteFile(conf, log + " ;Y ;S\n");
  agent.SetEnv("TVX_CONFIG_FILE", conf);
  agent.SetEnv("AGENT_DEBUG_LOG", debug);
  agent.SetEnv("TVX_STATE_FILE", dir.File("state"));
  const mode_t old = umask(022);
  const bool started = agent.Start();
  umask(old);
  ASSERT_TRUE(started);
  // Lines written before the worker has opened the log are not read.
  ASSERT_TRUE(qortest::WaitUntil(
      [&] {
        qortest::AppendFile(log, "Dec  8 07:08:09 myhost app[1]: secret\n");
        return qortest::ReadFile(debug).find("secret") != std::string::npos;
      },
      std::chrono::seconds(15)))
      << agent.Trace();
  ASSERT_TRUE(qortest::WaitUntil(
      [&] { return access(dir.File("state").c_str(), F_OK) == 0; }));
  for (const std::string& file :
       {debug, agent.TracePath(), agent.EventsPath(), dir.File("state")}) {
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 0137, 0u) << file << " " << std::oct << st.st_mode;
  }
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

// A configuration, situations or state file another user can change is refused
// at start (exit status 1, a message naming it, its owner and mode) unless
// TVX_INSECURE_FILES=warn; at refresh the logs already read stay.
TEST(HardeningE2ETest, FilesOthersCanChangeAreRefused) {
  Scoped_Temp_Dir dir;
  const std::string log = dir.File("messages");
  const std::string conf = dir.File("agent.conf");
  const std::string situations = dir.File("situations");
  const std::string state = dir.File("state");
  qortest::WriteFile(log, "");
  qortest::WriteFile(state, "");
  qortest::WriteFile(conf, log + " ;Y ;S\n");
  qortest::WriteFile(situations, "");
  constexpr gid_t kNoGroup = 65534;
  const struct {
    const char* name;
    std::string file;
    mode_t mode;
    gid_t group;  // -1: unchanged
    const char* warn;
    int status;  // -1: runs
    const char* message;
    mode_t dir_mode = 0700;
  } cases[] = {
      {"group", conf, 0664, kNoGroup, nullptr, 1,
       "Refusing configuration file @F@: @F@ is owned by uid 0 gid 65534 with mode 0664"},
      {"group warned", conf, 0664, kNoGroup, "warn", -1,
       "Warning: using configuration file @F@ although @F@ is owned by uid 0 gid 65534 with "
       "mode 0664"},
      {"root's group", conf, 0664, 0, nullptr, -1, ""},
      {"others", situations, 0606, static_cast<gid_t>(-1), nullptr, 1,
       "Refusing situations file @F@: @F@ is owned by uid 0 gid 0 with mode 0606"},
      {"state", state, 0620, kNoGroup, nullptr, 1,
       "Refusing state file @F@: @F@ is owned by uid 0 gid 65534 with mode 0620"},
      {"directory", conf, 0600, static_cast<gid_t>(-1), nullptr, 1,
       "Refusing configuration file @F@: @D@ is owned by uid 0 gid 0 with mode 0777", 0777},
  };
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to give the files away";
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(chmod(dir.path().c_str(), c.dir_mode), 0);
    ASSERT_EQ(chown(conf.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(conf.c_str(), 0600), 0);
    ASSERT_EQ(chmod(situations.c_str(), 0600), 0);
    ASSERT_EQ(chown(state.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(state.c_str(), 0600), 0);
    ASSERT_EQ(chown(c.file.c_str(), static_cast<uid_t>(-1), c.group), 0);
    ASSERT_EQ(chmod(c.file.c_str(), c.mode), 0);
    Agent_Process agent(dir);
    agent.SetEnv("TVX_CONFIG_FILE", conf);
    agent.SetEnv("HOV_SITUATIONS", situations);
    agent.SetEnv("TVX_STATE_FILE", state);
    if (c.warn != nullptr) {
      agent.SetEnv("TVX_INSECURE_FILES", c.warn);
    }
    qortest::WriteFile(dir.File("agent.out"), "");
    ASSERT_TRUE(agent.Start());
    std::string message = c.message;
    for (size_t p; (p = message.find("@F@")) != std::string::npos;) {
      message.replace(p, 3, c.file);
    }
    for (size_t p; (p = message.find("@D@")) != std::string::npos;) {
      message.replace(p, 3, dir.path());
    }
    if (c.status >= 0) {
      EXPECT_EQ(agent.WaitExit(), c.status);
      EXPECT_NE(agent.Output().find("qoragent: " + message), std::string::npos)
          << agent.Output();
      continue;
    }
    ASSERT_TRUE(qortest::WaitUntil([&] {
      return agent.Ctl({"logs"}).out.find(log) != std::string::npos;
    })) << agent.Trace();
    EXPECT_NE(agent.Output().find(message), std::string::npos) << agent.Output();
    if (c.warn == nullptr) {
      // Made writable by others while running: the next refresh keeps the
      // logs read before.
      qortest::WriteFile(conf, log + " ;Y ;S\n" + dir.File("agent.out") + " ;Y ;S\n");
      ASSERT_EQ(chmod(conf.c_str(), 0666), 0);
      ASSERT_TRUE(agent.Signal(SIGHUP));
      ASSERT_TRUE(agent.WaitTrace("Refusing configuration file " + conf)) << agent.Trace();
      const std::string logs = agent.Ctl({"logs"}).out;
      EXPECT_NE(logs.find(log), std::string::npos) << logs;
      EXPECT_EQ(logs.find("agent.out"), std::string::npos) << logs;
    }
    ASSERT_TRUE(agent.Signal(SIGTERM));
    EXPECT_EQ(agent.WaitExit(), 0);
  }
}

// Whoever can write a U log must not be able to fill the trace's disk:
// 100,000 lines that do not fit its format add a few messages, not one or
// more per line.
TEST(HardeningE2ETest, UnformattableLinesAddLittleTrace) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string app = dir.File("app.log");
  qortest::WriteFile(app, "");
  qortest::WriteFile(dir.File("qoragent.conf"),
                     app + " ;N ;U ;A,\"%d-%d-%d %d:%d:%d %s %[^:]: %200[^\\n]\",year "
                           "month=\"%02d\" day=\"%02d\" hour minute second system source "
                           "description\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(qortest::WaitUntil(
      [&] { return qortest::JsonField(qortest::MonlogRow(agent, app), "MONSTATUS") == "Running"; }))
      << agent.Trace();
  // Monitoring starts at the end of the log: a first line until it is seen.
  ASSERT_TRUE(qortest::WaitUntil([&] {
    qortest::AppendFile(app, "not a dated line\n");
    return qortest::MonlogNumber(agent, app, "NUMEVENTS") > 0;
  })) << agent.Trace();
  const long before = qortest::MonlogNumber(agent, app, "NUMEVENTS");
  const size_t trace_before = agent.Trace().size();
  std::string lines;
  for (int i = 0; i < 100000; ++i) {
    lines += "2026-13-45 99:99:99 host app: line " + std::to_string(i) + " out of range\n";
  }
  qortest::AppendFile(app, lines);
  ASSERT_TRUE(qortest::WaitUntil(
      [&] { return qortest::MonlogNumber(agent, app, "NUMEVENTS") >= before + 100000; },
      std::chrono::seconds(120)))
      << qortest::MonlogRow(agent, app);
  EXPECT_LT(agent.Trace().size() - trace_before, 10u * 1024) << agent.Trace().substr(0, 4000);
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

// More logs than descriptors: the logs that would eat into the reserve
// are not opened (an error status, one trace with the numbers), and the
// control socket still answers.
TEST(HardeningE2ETest, ManyLogsUnderALowLimitLeaveTheSocketAnswering) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  std::string conf;
  for (int i = 0; i < 1000; ++i) {
    const std::string log = dir.File("log" + std::to_string(i));
    qortest::WriteFile(log, "");
    conf += log + " ;N ;S\n";
  }
  qortest::WriteFile(dir.File("qoragent.conf"), conf);
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetOpenFileLimit(256);
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitTrace("could not be opened so far", std::chrono::seconds(60)))
      << agent.Output();
  EXPECT_TRUE(agent.WaitTrace("of the limit of 256 are kept")) << agent.Trace().substr(0, 2000);
  EXPECT_TRUE(qortest::WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }));
  const qortest::Run_Result logs = agent.Ctl({"--json", "logs"});
  EXPECT_EQ(logs.status, 0) << logs.err;
  EXPECT_EQ(qortest::LinesWith(logs.out, "\"LOGNAME\"").size(), 1000u);
  size_t running = 0;
  for (const std::string& row : qortest::LinesWith(logs.out, "\"LOGNAME\"")) {
    running += qortest::JsonField(row, "MONSTATUS") == "Running" ? 1 : 0;
  }
  // Each running log holds two descriptors (its file and its wake-up), and
  // which logs got theirs first depends on the threads' timing.
  EXPECT_GT(running, 50u);
  EXPECT_LT(running, 1000u);
  // Stopped by the fixture: stopping a thousand logs takes long.
}

}  // namespace
