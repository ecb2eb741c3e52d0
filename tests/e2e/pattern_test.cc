// A configured path whose last component is a pattern: every matching file
// is a log of its own; files that appear are read from their start, a
// rotated file stays with its log, and a file that goes away is read to its
// end before its log ends.
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"

namespace qortest {
namespace {

bool HasEvent(const Agent_Process& agent, const std::string& text,
              const std::string& logname) {
  for (const std::string& e : LinesWith(agent.Events(), text)) {
    if (JsonField(e, "LOGNAME") == logname) {
      return true;
    }
  }
  return false;
}

TEST(PatternTest, FilesAppearRotateAndDisappearAsLogsOfTheirOwn) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  ASSERT_EQ(mkdir(dir.File("app").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.File("empty").c_str(), 0755), 0);
  const std::string a = dir.File("app/app-a.log");
  const std::string b = dir.File("app/app-b.log");
  const std::string c = dir.File("app/app-c.log");
  const std::string none = dir.File("empty/none-*.log");
  WriteFile(a, SyslogLine(time(nullptr), "h", "app: old a\n"));
  WriteFile(b, "");
  WriteFile(dir.File("qoragent.conf"),
            dir.File("app/app-*.log*") + " ;N ;S\n" + none + "\n");
  WriteFile(dir.File("situations"), "mark VXLOGENT ENTRYDESC ~ \"mark\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(WaitWatching(agent, a)) << agent.Trace();
  ASSERT_TRUE(WaitWatching(agent, b)) << agent.Trace();
  EXPECT_EQ(JsonField(MonlogRow(agent, none), "MONSTATUS"),
            "Waiting: no file matches yet");

  // A file that appears is watched, and read from its start.
  WriteFile(c, SyslogLine(time(nullptr), "h", "app: mark c1"));
  ASSERT_TRUE(WaitUntil([&] { return HasEvent(agent, "mark c1", "app-c.log"); },
                        std::chrono::seconds(15)))
      << agent.Events() << agent.Trace();
  EXPECT_EQ(JsonField(MonlogRow(agent, c), "MONSTATUS"), "Running");
  EXPECT_EQ(JsonField(MonlogRow(agent, a), "MONSTATUS"), "Running");

  // Rotation by rename: the late writer's line in app-a.log.1 and the new
  // file's line both belong to app-a.log; app-a.log.1 is no log.
  ASSERT_EQ(rename(a.c_str(), (a + ".1").c_str()), 0);
  AppendFile(a + ".1", SyslogLine(time(nullptr), "h", "app: mark a2"));
  WriteFile(a, SyslogLine(time(nullptr), "h", "app: mark a3"));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return HasEvent(agent, "mark a2", "app-a.log") &&
               HasEvent(agent, "mark a3", "app-a.log");
      },
      std::chrono::seconds(15)))
      << agent.Events() << agent.Trace();
  EXPECT_EQ(MonlogRow(agent, a + ".1"), "");

  // A file that goes away is read to its end, and its log ends.
  AppendFile(b, SyslogLine(time(nullptr), "h", "app: mark b1"));
  ASSERT_EQ(unlink(b.c_str()), 0);
  ASSERT_TRUE(WaitUntil([&] { return HasEvent(agent, "mark b1", "app-b.log"); },
                        std::chrono::seconds(15)))
      << agent.Events() << agent.Trace();
  ASSERT_TRUE(WaitUntil([&] { return MonlogRow(agent, b).empty(); }))
      << agent.Ctl({"logs"}).out;

  // A report takes the path of one matched file.
  const Run_Result r = agent.Ctl({"--json", "entries", c, "--since", "-1h"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(LinesWith(r.out, "mark c1").size(), 1u) << r.out;

  // The empty pattern's first file turns its row into the file's.
  WriteFile(dir.File("empty/none-1.log"), "");
  ASSERT_TRUE(WaitUntil([&] {
    return JsonField(MonlogRow(agent, dir.File("empty/none-1.log")),
                     "MONSTATUS") == "Running" &&
           MonlogRow(agent, none).empty();
  })) << agent.Ctl({"logs"}).out;
}

// Files that come and go in a pattern's directory: every line of a file the
// agent looked at once is delivered, even when the file is removed before
// its log's worker runs, and the churn traces nothing.
TEST(PatternTest, FilesRemovedRightAfterALookAreReadWhole) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  ASSERT_EQ(mkdir(dir.File("churn").c_str(), 0755), 0);
  WriteFile(dir.File("qoragent.conf"), dir.File("churn/c*.log") + " ;N ;S\n");
  WriteFile(dir.File("situations"), "mark VXLOGENT ENTRYDESC ~ \"mark\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR");
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  constexpr int kRounds = 5, kFiles = 10;
  for (int r = 0; r < kRounds; ++r) {
    std::vector<std::string> names;
    for (int f = 0; f < kFiles; ++f) {
      const std::string name =
          "c" + std::to_string(r) + "-" + std::to_string(f) + ".log";
      const std::string id = std::to_string(r) + "-" + std::to_string(f);
      WriteFile(dir.File("churn/" + name),
                SyslogLine(time(nullptr), "h", "app: mark " + id + " a") +
                    SyslogLine(time(nullptr), "h", "app: mark " + id + " b"));
      names.push_back(name);
    }
    // Once a look made their logs, the files go at once.
    ASSERT_TRUE(WaitUntil([&] {
      const std::string logs = agent.Ctl({"--json", "logs"}).out;
      for (const std::string& name : names) {
        if (logs.find("\"" + name + "\"") == std::string::npos) {
          return false;
        }
      }
      return true;
    })) << agent.Ctl({"logs"}).out;
    for (const std::string& name : names) {
      ASSERT_EQ(unlink(dir.File("churn/" + name).c_str()), 0);
    }
  }
  ASSERT_TRUE(WaitUntil(
      [&] {
        return LinesWith(agent.Events(), "app: mark ").size() >=
               2u * kRounds * kFiles;
      },
      std::chrono::seconds(30)))
      << agent.Events() << agent.Trace();
  for (int r = 0; r < kRounds; ++r) {
    for (int f = 0; f < kFiles; ++f) {
      const std::string id = std::to_string(r) + "-" + std::to_string(f);
      EXPECT_EQ(LinesWith(agent.Events(), "mark " + id + " a").size(), 1u)
          << id;
      EXPECT_EQ(LinesWith(agent.Events(), "mark " + id + " b").size(), 1u)
          << id;
    }
  }
  EXPECT_EQ(agent.Trace().find("Error opening file"), std::string::npos)
      << agent.Trace();
}

}  // namespace
}  // namespace qortest
