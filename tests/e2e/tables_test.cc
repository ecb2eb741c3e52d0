// The monitored-logs and node-status tables of a running agent, through
// qorctl and through sampled situations.
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"

namespace qortest {
namespace {

TEST(TablesTest, MonitoredLogsShowStateCountersAndRaiseSampledSituations) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string fresh = dir.File("fresh.log");
  const std::string quiet = dir.File("quiet.log");
  const std::string locked = dir.File("locked.log");
  WriteFile(fresh, "");
  WriteFile(quiet, SyslogLine(time(nullptr) - 7200, "h", "cron[1]: old line\n"));
  const struct timeval two_hours_ago[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
  ASSERT_EQ(utimes(quiet.c_str(), two_hours_ago), 0);
  // A log the agent may not read: it runs unprivileged and the file is 000.
  WriteFile(locked, "");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  ASSERT_TRUE(agent.RunUnprivileged());
  WriteFile(dir.File("qoragent.conf"), fresh + "\n" + quiet + " ;Y\n" + locked + "\n");
  WriteFile(dir.File("situations"),
            "in_error VXMONLOG MONSTATUS ~ \"Error\"\n"
            "went_quiet VXMONLOG LOGMODDATE < \"-1h\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  agent.SetEnv("HOV_SAMPLE_INTERVAL", "1");
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; })) << agent.Output();

  ASSERT_TRUE(WaitUntil([&] { return JsonField(MonlogRow(agent, locked), "MONSTATUS") != "Running" &&
                                     !MonlogRow(agent, locked).empty(); }));
  EXPECT_EQ(JsonField(MonlogRow(agent, locked), "MONSTATUS"), "Error: log open failed");
  const std::string row = MonlogRow(agent, fresh);
  EXPECT_EQ(JsonField(row, "MONSTATUS"), "Running");
  EXPECT_EQ(JsonField(row, "LOGTYPE"), "S");
  EXPECT_EQ(JsonField(row, "DEBUGMODE"), "N");
  EXPECT_EQ(JsonField(row, "FORMATTER"), "");
  EXPECT_EQ(JsonField(row, "ORIGINNODE"), "testhost:TVX");
  EXPECT_EQ(JsonField(MonlogRow(agent, quiet), "DEBUGMODE"), "Y");

  // Counters move as lines arrive, formatted or not.
  ASSERT_TRUE(WaitWatching(agent, fresh));
  const long events = MonlogNumber(agent, fresh, "NUMEVENTS");
  AppendFile(fresh, "not a syslog line\n");
  AppendFile(fresh, SyslogLine(time(nullptr), "h", "app[2]: fine"));
  EXPECT_TRUE(WaitUntil([&] { return MonlogNumber(agent, fresh, "NUMEVENTS") == events + 2; }));
  EXPECT_EQ(MonlogNumber(agent, fresh, "NUMERRORS"), 1);
  struct stat st;
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(MonlogNumber(agent, fresh, "LOGSIZE"), static_cast<long>(st.st_size));

  // Sampled situations: the log in error, and only the quiet log as quiet.
  ASSERT_TRUE(agent.WaitEvents("\"situation\":\"in_error\""));
  ASSERT_TRUE(agent.WaitEvents("\"situation\":\"went_quiet\""));
  for (const std::string& e : LinesWith(agent.Events(), "\"situation\":\"in_error\"")) {
    EXPECT_EQ(JsonField(e, "LOGNAME"), "locked.log");
  }
  for (const std::string& e : LinesWith(agent.Events(), "\"situation\":\"went_quiet\"")) {
    EXPECT_EQ(JsonField(e, "LOGNAME"), "quiet.log");
  }

  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Trace();
}

TEST(TablesTest, NodeStatusShowsTheHeartbeatRow) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  WriteFile(dir.File("a.log"), "");
  WriteFile(dir.File("qoragent.conf"), dir.File("a.log") + "\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; })) << agent.Output();
  Run_Result node;
  ASSERT_TRUE(WaitUntil([&] {
    node = agent.Ctl({"--json", "node"});
    return node.status == 0 && !JsonField(node.out, "ORIGINNODE").empty();
  })) << node.out << node.err;
  EXPECT_EQ(JsonField(node.out, "ORIGINNODE"), "testhost:TVX");
  EXPECT_EQ(JsonField(node.out, "NODETYPE"), "V");
  EXPECT_EQ(JsonField(node.out, "ONLINE"), "");
  EXPECT_EQ(JsonField(node.out, "X7ONLINE"), "Y");
  EXPECT_EQ(JsonField(node.out, "PRODUCT"), "VX");
  EXPECT_EQ(JsonField(node.out, "VERSION"), "02.00.00");
  EXPECT_EQ(JsonField(node.out, "EXPIRYTIME"), "9");
  EXPECT_EQ(JsonField(node.out, "AFFINITIES"), "AFF_UNIX_LOG_ALERT");
  // Each report is a new request object: its first sample is number 1.
  EXPECT_EQ(JsonField(node.out, "SAMPLENO"), "1");
  const Run_Result table = agent.Ctl({"node"});
  EXPECT_EQ(table.status, 0);
  EXPECT_NE(table.out.find("testhost:TVX"), std::string::npos);
}

}  // namespace
}  // namespace qortest
