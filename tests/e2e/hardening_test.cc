// The agent against a hostile or careless environment: the files it creates
// and the limits it runs into.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/testutil.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;

TEST(HardeningE2ETest, DebugLogIsNotReadableByOthers) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  const std::string conf = dir.File("agent.conf");
  const std::string debug = dir.File("debug.log");
  qortest::WriteFile(log, "");
  qortest::WriteFile(conf, log + " ;Y ;S\n");
  agent.SetEnv("TVX_CONFIG_FILE", conf);
  agent.SetEnv("AGENT_DEBUG_LOG", debug);
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
  struct stat st;
  ASSERT_EQ(stat(debug.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

}  // namespace
