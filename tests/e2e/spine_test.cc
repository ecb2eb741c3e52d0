// The built qoragent from the outside: command line, start-up trace, the
// situations file and stopping.
#include <signal.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/testutil.h"

namespace {

using qortest::Agent_Process;
using qortest::RunProgram;
using qortest::Scoped_Temp_Dir;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos;
       p = text.find(what, p + 1)) {
    ++n;
  }
  return n;
}

// Gives the agent one (empty) syslog file to watch: without work it stops.
void WatchOneLog(const Scoped_Temp_Dir& dir, Agent_Process* agent) {
  qortest::WriteFile(dir.File("messages"), "");
  qortest::WriteFile(dir.File("qoragent.conf"),
                     dir.File("messages") + " ;N ;S\n");
  agent->SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
}

TEST(SpineTest, CommandLineIsAnsweredBeforeAnythingStarts) {
  Scoped_Temp_Dir dir;
  const std::string trace = dir.File("trace.log");
  const qortest::Run_Result help = RunProgram(
      {QORAGENT_PATH, "--help"}, {{"HOV_TRACE_FILE", trace}}, dir.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char* name :
       {"TVX_CONFIG_FILE", "TVX_SYSLOG_CONF", "AGENT_DEBUG_LOG", "TVX_MAX_ROWS",
        "VANDU_NODETYPE", "JOP_WEX1", "HOV_EVENTS", "HOV_SITUATIONS",
        "HOV_SOCKET", "HOV_TRACE_FILE", "HOV_HEARTBEAT", "HOV_SAMPLE_INTERVAL",
        "HOV_SYSTEM_NAME"}) {
    EXPECT_EQ(Count(help.out, std::string("\n  ") + name + " "), 1u)
        << name << "\n"
        << help.out;
  }
  const std::string manual = "\nSee qoragent(8) and qoragent.conf(5).\n";
  EXPECT_EQ(help.out.rfind(manual), help.out.size() - manual.size())
      << help.out;
  EXPECT_EQ(qortest::ReadFile(trace).find("JOP_WEX1"), std::string::npos);

  const qortest::Run_Result version =
      RunProgram({QORAGENT_PATH, "--version"}, {}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(
      version.out, std::regex("qoragent [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;

  for (const char* bad : {"--bogus", "-v"}) {
    const qortest::Run_Result r =
        RunProgram({QORAGENT_PATH, bad}, {}, dir.path());
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.out, "") << bad;
    EXPECT_EQ(r.err,
              std::string("qoragent: unexpected argument \"") + bad +
                  "\"\nUsage: qoragent [--check | --help | --version]\n");
  }
  EXPECT_EQ(
      RunProgram({QORAGENT_PATH, "--help", "--version"}, {}, dir.path()).status,
      2);
}

TEST(SpineTest, StartsWithTheEnvironmentReportAndStopsOnSigterm) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  WatchOneLog(dir, &agent);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW");
  agent.SetEnv("TVX_MAX_ROWS", "250");
  ASSERT_TRUE(agent.Start());
  // LONG_MAX is reported after CHAR_BIT: wait for the later line.
  ASSERT_TRUE(agent.WaitTrace(
      "]\nLONG_MAX\t\t= 9223372036854775807\tMax. value of long.\n"))
      << agent.Trace() << agent.Output();
  const std::string trace = agent.Trace();
  EXPECT_TRUE(std::regex_search(
      trace,
      std::regex(
          "\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} "
          "[0-9]+ TVX100\\]\nJOP_WEX1 = TVX100:ERROR,FLOW\n")))
      << trace;
  EXPECT_NE(trace.find("]\nMaximum Log Entries report rows set to 250.\n"),
            std::string::npos);
  EXPECT_NE(trace.find("]\nCHAR_BIT\t\t= 8\tNo. of bits per char.\n"),
            std::string::npos);
  ASSERT_TRUE(qortest::WaitUntil([&] {
    struct stat st;
    return stat(agent.EventsPath().c_str(), &st) == 0;
  })) << "the event file is not created";
  struct stat st;
  ASSERT_EQ(stat(agent.TracePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0137, 0u);
  ASSERT_EQ(stat(agent.EventsPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0137, 0u);
  ASSERT_TRUE(agent.Running()) << agent.Output();

  ASSERT_TRUE(agent.Signal(SIGTERM));
  // The log manager's thread takes the signal and stops the runtime: an
  // orderly stop with status 0, not the signal's default action.
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
  EXPECT_FALSE(agent.Running());
}

TEST(SpineTest, BadSituationLineIsTracedWithItsFileAndLine) {
  Scoped_Temp_Dir dir;
  const std::string path = dir.File("situations.conf");
  qortest::WriteFile(path,
                     "# sshd activity\n"
                     "sshd_entry VXLOGENT ENTRYSRC ~ \"sshd\"\n"
                     "broken VXLOGENT ENTRYSRC = \"sshd\"\n");
  Agent_Process agent(dir);
  WatchOneLog(dir, &agent);
  agent.SetEnv("HOV_SITUATIONS", path);
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitTrace(
      "\nSituation not loaded: " + path +
      ":3: expected an operator (==, !=, >=, <=, <, >, ~, =~) after ENTRYSRC at column 26\n"))
      << agent.Trace() << agent.Output();
  EXPECT_EQ(Count(agent.Trace(), "Situation not loaded"), 1u) << agent.Trace();
  EXPECT_TRUE(agent.Running()) << agent.Output();
}

}  // namespace
