// The built qoragent as a service uses it: --check before a reload, SIGHUP
// reloading the situations, and the trace's syslog priorities.
#include <signal.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/testutil.h"

namespace {

using qortest::Agent_Process;
using qortest::RunProgram;
using qortest::Scoped_Temp_Dir;

TEST(OperationsTest, CheckSaysWhatWouldLoadAndFailsOnAnyRefusal) {
  Scoped_Temp_Dir dir;
  const std::string log = dir.File("messages");
  const std::string app = dir.File("app.log");
  const std::string conf = dir.File("qoragent.conf");
  const std::string situations = dir.File("situations");
  const std::string good_conf =
      log + " ;N ;S\n" + app + " ;N ;U ;A,\"%T %s\",time description\n";
  const std::string good_situations =
      "ok VXLOGENT ENTRYDESC ~ \"x\" THROTTLE 60\n";
  const struct {
    const char* what;
    std::string conf;
    std::string situations;
    int status;
    std::string out;  // a line the report holds
  } cases[] = {
      {"good", good_conf, good_situations, 0,
       "check passed: everything loads\n"},
      {"good", good_conf, good_situations, 0,
       "  watch " + app +
           "  U (text by format command)  A,\"%T %s\",time description\n"},
      {"good", good_conf, good_situations, 0,
       "  run ok  TVX.VXLOGENT  ENTRYDESC ~ \"x\" THROTTLE 60\n"},
      {"bad type", good_conf + dir.File("x.log") + " ;N ;Q\n", good_situations,
       1, "  refused: 1 line of the configuration (the trace says why)\n"},
      {"bad format", log + " ;N ;U ;A,\"%T %Z\",time nosuch\n", good_situations,
       1,
       "  refused: the format command of " + log +
           " does not compile (see the trace)\n"},
      {"bad situation", good_conf, good_situations + "bad VXLOGENT NOPE == 1\n",
       1, "  refused: " + situations + ":2: unknown column NOPE"},
      {"nothing", "# none\n", good_situations, 1, "  nothing to watch"},
      {"nothing", "# none\n", good_situations, 1,
       "  refused: it is missing or no line of it names a log, so the syslog configuration " +
           dir.File("no-syslog.conf") + " stands in\n"},
  };
  for (const auto& c : cases) {
    qortest::WriteFile(conf, c.conf);
    qortest::WriteFile(situations, c.situations);
    const qortest::Run_Result r = RunProgram(
        {QORAGENT_PATH, "--check"},
        {{"TVX_CONFIG_FILE", conf},
         {"TVX_SYSLOG_CONF", dir.File("no-syslog.conf")},
         {"HOV_SITUATIONS", situations},
         {"HOV_SOCKET", dir.File("agent.sock")},
         {"HOV_TRACE_FILE", dir.File("trace.log")}},
        dir.path(), {"JOP_WEX1", "HOV_TRACE_PREFIX", "JOURNAL_STREAM"});
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << c.what << "\n" << r.out;
    // The reasons go to standard error, whatever HOV_TRACE_FILE says.
    EXPECT_EQ(r.err.empty(),
              c.status == 0 || c.what == std::string("bad situation"))
        << c.what << "\n"
        << r.err;
  }
  // It starts nothing: no socket was made.
  EXPECT_NE(access(dir.File("agent.sock").c_str(), F_OK), 0);
}

TEST(OperationsTest, TraceLinesOnStandardErrorCarryTheirSyslogPriority) {
  Scoped_Temp_Dir dir;
  qortest::WriteFile(dir.File("qoragent.conf"), dir.File("x.log") + " ;N ;Q\n");
  const std::map<std::string, std::string> env = {
      {"TVX_CONFIG_FILE", dir.File("qoragent.conf")},
      {"TVX_SYSLOG_CONF", dir.File("no-syslog.conf")},
      {"JOP_WEX1", "TVX100:ERROR,FLOW"}};
  std::map<std::string, std::string> prefixed = env;
  prefixed["HOV_TRACE_PREFIX"] = "syslog";
  qortest::Run_Result r =
      RunProgram({QORAGENT_PATH, "--check"}, prefixed, dir.path(),
                 {"HOV_TRACE_FILE", "JOURNAL_STREAM"});
  EXPECT_NE(r.err.find("<3>["), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" TVX100] Log type of Q for log " + dir.File("x.log") +
                       " is invalid. Ignoring remainder of line.\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("\n<6>["), std::string::npos) << r.err;  // a flow record
  // Every line starts with a priority.
  size_t start = 0;
  while (start < r.err.size()) {
    EXPECT_EQ(r.err[start], '<') << r.err.substr(start, 80);
    start = r.err.find('\n', start) + 1;
    if (start == 0) {
      break;
    }
  }
  // Outside the journal, without the variable, the trace stays plain.
  r = RunProgram({QORAGENT_PATH, "--check"}, env, dir.path(),
                 {"HOV_TRACE_FILE", "HOV_TRACE_PREFIX", "JOURNAL_STREAM"});
  EXPECT_EQ(r.err.rfind("[", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("<3>"), std::string::npos) << r.err;
}

TEST(OperationsTest, SighupReloadsTheSituationsFile) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  qortest::WriteFile(dir.File("messages"), "");
  qortest::WriteFile(dir.File("qoragent.conf"),
                     dir.File("messages") + " ;N ;S\n");
  qortest::WriteFile(dir.File("situations"),
                     "first VXLOGENT ENTRYDESC ~ \"one\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  agent.SetEnv("JOP_WEX1", "HOV100:ERROR,FLOW");
  ASSERT_TRUE(agent.Start());
  const auto listed = [&](const std::string& name) {
    return agent.Ctl({"situations"}).out.find("\n" + name + " ") !=
           std::string::npos;
  };
  ASSERT_TRUE(qortest::WaitUntil([&] { return listed("first"); }))
      << agent.Output();

  qortest::WriteFile(
      dir.File("situations"),
      "second VXLOGENT ENTRYDESC ~ \"two\"\nbad VXLOGENT NOPE == 1\n");
  ASSERT_TRUE(agent.Signal(SIGHUP));
  EXPECT_TRUE(qortest::WaitUntil([&] {
    return listed("second") && !listed("first");
  })) << agent.Ctl({"situations"}).out;
  EXPECT_TRUE(agent.WaitTrace(
      "Situation not loaded: " + dir.File("situations") + ":2: "));
  EXPECT_TRUE(agent.WaitTrace("Situations reloaded from " +
                              dir.File("situations") + ": 1 defined."));
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

}  // namespace
