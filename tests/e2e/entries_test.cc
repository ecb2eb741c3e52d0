// Reports of past log entries through qorctl entries.
#include <time.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace qortest
