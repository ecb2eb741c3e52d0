// THROTTLE's held-back count reaches the event file when the throttle ends,
// without a further matching row.
#include <time.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_util.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;
using qortest::WaitUntil;

TEST(ThrottleTest, HeldBackCountIsAnnouncedWithoutAFurtherRow) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  qortest::WriteFile(dir.File("app.log"), "");
  qortest::WriteFile(dir.File("qoragent.conf"),
                     dir.File("app.log") + " ;N ;S\n");
  qortest::WriteFile(
      dir.File("situations"),
      "noisy VXLOGENT ENTRYDESC ~ \"Failed\" PER ENTRYDESC \"from ([0-9.]+)\" "
      "THROTTLE 3\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  agent.SetEnv("HOV_EVENTS", dir.File("events.jsonl"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(qortest::WaitWatching(agent, dir.File("app.log")))
      << agent.Output() << agent.Trace();
  // One write: the first line is an event, the two after it are held back.
  std::string lines;
  for (int i = 0; i < 3; ++i) {
    lines += qortest::SyslogLine(time(nullptr), "host1",
                                 "sshd: Failed from 10.0.0.1");
  }
  qortest::AppendFile(dir.File("app.log"), lines);
  const std::string announced = "\"key\":\"10.0.0.1\",\"suppressed\":2}\n";
  EXPECT_TRUE(WaitUntil(
      [&] {
        return qortest::ReadFile(dir.File("events.jsonl")).find(announced) !=
               std::string::npos;
      },
      std::chrono::seconds(20)))
      << qortest::ReadFile(dir.File("events.jsonl")) << agent.Trace();
}

}  // namespace
