// What a RUN command is given: the event's data reaches it only as QOR_
// variables and standard input, whatever bytes the data holds.
#include "framework/situations/action_runner.h"

#include <string>

#include <gtest/gtest.h>

#include "framework/events/event_sink.h"
#include "tests/support/temp_dir.h"
#include "tests/testutil.h"

namespace {

TEST(ActionRunnerTest, EventDataSetsOnlyQorVariables) {
  qortest::Scoped_Temp_Dir dir;
  const std::string out = dir.File("env.txt");
  Event_Record e;
  // A NUL in a value must not start a variable of its own.
  e.situation = std::string("s\0EVIL_SITUATION=1", 18);
  e.table = "TVX.VXLOGENT";
  e.run = "env > " + out + ".part && mv " + out + ".part " + out;
  e.run_env = std::string("QOR_ENTRYDESC=a;$(id)\0LD_PRELOAD=/x.so\0", 39);
  Action_Runner::Submit(e, "2026-12-08T10:00:00Z", "{}\n");
  ASSERT_TRUE(
      qortest::WaitUntil([&] { return !qortest::ReadFile(out).empty(); }));
  Action_Runner::Stop();
  const std::string env = qortest::ReadFile(out);
  EXPECT_NE(env.find("QOR_ENTRYDESC=a;$(id)\n"), std::string::npos) << env;
  EXPECT_NE(env.find("QOR_SITUATION=s\n"), std::string::npos) << env;
  EXPECT_EQ(env.find("LD_PRELOAD"), std::string::npos) << env;
  EXPECT_EQ(env.find("EVIL_SITUATION"), std::string::npos) << env;
}

}  // namespace
