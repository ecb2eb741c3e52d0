// The example format commands of examples/formats in the real agent: every
// sample line becomes a row that a report reads back, and a log with zoned
// ISO 8601 stamps raises a situation and answers a report window in local
// time.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"

namespace qortest {
namespace {

const char* const kSamples[] = {"apache-error", "access-combined", "log4j",
                                "hdfs",         "iso-zoned",       "keyvalue"};

TEST(FormatsTest, EverySampleLineOfEveryExampleBecomesARow) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  agent.SetEnv("TZ", "UTC");
  std::string config;
  std::vector<std::vector<std::string>> samples;
  for (const char* name : kSamples) {
    const std::string text = ReadFile(
        std::string(QOR_SOURCE_DIR "/examples/formats/") + name + ".txt");
    std::vector<std::string> lines;
    for (size_t p = 0; p < text.size();) {
      const size_t e = text.find('\n', p);
      lines.push_back(text.substr(p, e - p));
      p = e == std::string::npos ? text.size() : e + 1;
    }
    ASSERT_GE(lines.size(), 2u) << name;
    WriteFile(dir.File(name), "");
    config += dir.File(name) + " ;N ;U ;" + lines[0] + "\n";
    samples.push_back(lines);
  }
  WriteFile(dir.File("qoragent.conf"), config);
  WriteFile(dir.File("situations"),
            "api VXLOGENT ENTRYSRC == \"api\" AND ENTRYCLASS == \"4242\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  for (size_t i = 0; i < samples.size(); ++i) {
    const std::string path = dir.File(kSamples[i]);
    ASSERT_TRUE(WaitWatching(agent, path)) << agent.Trace();
    std::string lines;
    for (size_t j = 1; j < samples[i].size(); ++j) {
      lines += samples[i][j] + "\n";
    }
    AppendFile(path, lines);
  }
  // Every sample line comes back, newest first, with its description.
  for (size_t i = 0; i < samples.size(); ++i) {
    const std::string path = dir.File(kSamples[i]);
    std::vector<std::string> rows;
    EXPECT_TRUE(WaitUntil([&] {
      rows = LinesWith(agent
                           .Ctl({"--json", "entries", path, "--since",
                                 "2000-01-01", "--until", "2030-01-01"})
                           .out,
                       "\"ENTRYDESC\"");
      return rows.size() == samples[i].size() - 1;
    })) << kSamples[i]
        << ": " << rows.size() << " rows\n"
        << agent.Trace();
    for (const std::string& row : rows) {
      EXPECT_NE(JsonField(row, "ENTRYDESC"), "") << kSamples[i] << ": " << row;
    }
  }

  // The zoned log: the +01:00 line is stored an hour earlier in UTC, with
  // its millisecond, and raises the situation.
  ASSERT_TRUE(agent.WaitEvents("\"situation\":\"api\"")) << agent.Trace();
  const std::string event =
      LinesWith(agent.Events(), "\"situation\":\"api\"")[0];
  EXPECT_EQ(JsonField(event, "ENTRYTIME"), "1240315091500123");
  EXPECT_EQ(JsonField(event, "ENTRYDESC"), "request failed: timeout after 30s");
  // A window of local (UTC) time holds the +01:00 and the -05:00 lines, not
  // the Z line an hour later.
  const Run_Result window =
      agent.Ctl({"--json", "entries", dir.File("iso-zoned"), "--since",
                 "2024-03-15 09:15", "--until", "2024-03-15 09:16"});
  ASSERT_EQ(window.status, 0) << window.err;
  const std::vector<std::string> rows = LinesWith(window.out, "\"ENTRYDESC\"");
  ASSERT_EQ(rows.size(), 2u) << window.out;
  EXPECT_EQ(JsonField(rows[0], "ENTRYTIME"), "1240315091502500");
  EXPECT_EQ(JsonField(rows[0], "ENTRYSYS"), "web02");
  EXPECT_EQ(JsonField(rows[1], "ENTRYTIME"), "1240315091500123");

  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

}  // namespace
}  // namespace qortest
