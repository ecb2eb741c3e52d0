// Reports of past log entries through qorctl entries.
#include <time.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"

namespace qortest {
namespace {

TEST(EntriesTest, ReportsTheWindowNewestFirst) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  const time_t now = time(nullptr);
  std::string text;
  const long ages[] = {3 * 3600, 2 * 3600, 3600, 1800, 600};
  for (const long age : ages) {
    text += SyslogLine(now - age, "h", "app[1]: entry aged " + std::to_string(age));
  }
  WriteFile(log, text);
  WriteFile(dir.File("qoragent.conf"), log + "\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; })) << agent.Output();
  ASSERT_TRUE(WaitUntil([&] { return JsonField(MonlogRow(agent, log), "MONSTATUS") == "Running"; }));

  const Run_Result r = agent.Ctl({"--json", "entries", log, "--since", "-90m", "--until", "-20m"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> rows = LinesWith(r.out, "\"ENTRYDESC\"");
  ASSERT_EQ(rows.size(), 2u) << r.out;
  EXPECT_EQ(JsonField(rows[0], "ENTRYDESC"), "entry aged 1800");
  EXPECT_EQ(JsonField(rows[1], "ENTRYDESC"), "entry aged 3600");
  EXPECT_EQ(JsonField(rows[0], "ENTRYTIME"), Stamp(now - 1800));
  EXPECT_EQ(JsonField(rows[0], "LOGNAME"), "messages");

  // The aligned table names the same entries.
  const Run_Result table = agent.Ctl({"entries", log, "--since", "-90m", "--until", "-20m"});
  EXPECT_EQ(table.status, 0);
  EXPECT_NE(table.out.find("entry aged 1800"), std::string::npos);
  EXPECT_EQ(table.out.find("entry aged 600"), std::string::npos);

  // A log the agent does not watch: no rows, and the request still answers.
  const Run_Result other = agent.Ctl({"--json", "entries", dir.File("other.log")});
  EXPECT_EQ(LinesWith(other.out, "\"ENTRYDESC\"").size(), 0u);
}

// A line written in two pieces with a poll between them is one whole event,
// and a report cut by TVX_MAX_ROWS says so.
TEST(EntriesTest, TornLineIsOneEventAndACutReportSaysSo) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  const time_t now = time(nullptr);
  std::string text;
  for (int age = 5; age > 0; --age) {
    text +=
        SyslogLine(now - 60 * age, "h", "app[1]: old " + std::to_string(age));
  }
  WriteFile(log, text);
  WriteFile(dir.File("qoragent.conf"), log + "\n");
  WriteFile(dir.File("situations"), "torn VXLOGENT ENTRYDESC ~ \"torn\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  agent.SetEnv("TVX_MAX_ROWS", "2");
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(WaitWatching(agent, log)) << agent.Trace();

  const long events = MonlogNumber(agent, log, "NUMEVENTS");
  const std::string line =
      SyslogLine(now, "h", "app[1]: torn line arrives whole");
  AppendFile(log, line.substr(0, 30));
  // Long enough for the one-second poll to find the first piece alone.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  AppendFile(log, line.substr(30));
  ASSERT_TRUE(agent.WaitEvents("\"situation\":\"torn\"")) << agent.Trace();
  const std::string event =
      LinesWith(agent.Events(), "\"situation\":\"torn\"")[0];
  EXPECT_EQ(JsonField(event, "ENTRYDESC"), "torn line arrives whole");
  EXPECT_EQ(MonlogNumber(agent, log, "NUMEVENTS"), events + 1);
  EXPECT_EQ(MonlogNumber(agent, log, "NUMERRORS"), 0);

  // Five old entries match; a window with exactly the limit is not cut.
  const Run_Result cut = agent.Ctl(
      {"--json", "entries", log, "--since", "-1h", "--until", "-30s"});
  ASSERT_EQ(cut.status, 0) << cut.err;
  EXPECT_EQ(LinesWith(cut.out, "\"ENTRYDESC\"").size(), 2u) << cut.out;
  EXPECT_NE(cut.err.find("row limit (TVX_MAX_ROWS) cut the reply"),
            std::string::npos)
      << cut.err;
  const Run_Result whole = agent.Ctl(
      {"--json", "entries", log, "--since", "-150s", "--until", "-30s"});
  EXPECT_EQ(LinesWith(whole.out, "\"ENTRYDESC\"").size(), 2u) << whole.out;
  EXPECT_EQ(whole.err, "");
}

}  // namespace
}  // namespace qortest
