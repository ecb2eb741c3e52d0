// The built qoragent as a service uses it: --check before a reload, SIGHUP
// reloading the situations, and the trace's syslog priorities.
#include <signal.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
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
       "check passed: everything loads and every output can be written\n"},
      {"good", good_conf, good_situations, 0,
       "events " + dir.File("events.jsonl") + "  (directory writable)\n"},
      {"no situations", good_conf, "", 1,
       "no situations file: set HOV_SITUATIONS\n"},
      {"events nowhere", good_conf, good_situations, 1,
       "events " + dir.File("qoragent.conf/x/events.jsonl") +
           "\n  refused: directory " + dir.File("qoragent.conf/x") +
           ": Not a directory\n"},
      {"events in a new directory", good_conf, good_situations, 0,
       "events " + dir.File("new/events.jsonl") + "  (directory " +
           dir.File("new") + " will be created, mode 0750)\n"},
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
    std::map<std::string, std::string> env = {
        {"TVX_CONFIG_FILE", conf},
        {"TVX_SYSLOG_CONF", dir.File("no-syslog.conf")},
        {"HOV_EVENTS", dir.File("events.jsonl")},
        {"HOV_SOCKET", dir.File("agent.sock")},
        {"HOV_TRACE_FILE", dir.File("trace.log")}};
    if (!c.situations.empty()) {
      env["HOV_SITUATIONS"] = situations;
    }
    if (c.what == std::string("events nowhere")) {
      env["HOV_EVENTS"] = "-," + dir.File("qoragent.conf/x/events.jsonl");
    } else if (c.what == std::string("events in a new directory")) {
      env["HOV_EVENTS"] = dir.File("new/events.jsonl");
    }
    const qortest::Run_Result r = RunProgram(
        {QORAGENT_PATH, "--check"}, env, dir.path(),
        {"JOP_WEX1", "HOV_TRACE_PREFIX", "JOURNAL_STREAM", "HOV_SITUATIONS"});
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << c.what << "\n" << r.out;
    // The reasons go to standard error, whatever HOV_TRACE_FILE says.
    const std::string what = c.what;
    EXPECT_EQ(r.err.empty(), c.status == 0 || what == "bad situation" ||
                                 what == "no situations" ||
                                 what == "events nowhere")
        << c.what << "\n"
        << r.err;
  }
  // It starts nothing: no socket was made, no file was written.
  EXPECT_NE(access(dir.File("agent.sock").c_str(), F_OK), 0);
  EXPECT_NE(access(dir.File("events.jsonl").c_str(), F_OK), 0);
  EXPECT_NE(access(dir.File("trace.log").c_str(), F_OK), 0);
}

// A check, --help and --version leave the state file as they found it,
// whether the agent runs or not and whether the check passes or fails: the
// entries written while the agent was stopped are read at its next start.
TEST(OperationsTest, ReadOnlyRunsLeaveTheStateFileAlone) {
  Scoped_Temp_Dir dir;
  const std::string log = dir.File("messages");
  const std::string state = dir.File("state");
  qortest::WriteFile(log, "");
  qortest::WriteFile(dir.File("qoragent.conf"), log + " ;N ;S\n");
  const std::string good = "seen VXLOGENT ENTRYDESC ~ \"line\"\n";
  qortest::WriteFile(dir.File("situations"), good);
  Agent_Process agent(dir);
  const std::map<std::string, std::string> env = {
      {"TVX_CONFIG_FILE", dir.File("qoragent.conf")},
      {"TVX_SYSLOG_CONF", dir.File("no-syslog.conf")},
      {"TVX_STATE_FILE", state},
      {"HOV_SITUATIONS", dir.File("situations")},
      {"HOV_EVENTS", agent.EventsPath()},
      {"HOV_SOCKET", agent.Socket()},
      {"HOV_TRACE_FILE", agent.TracePath()}};
  for (const auto& kv : env) {
    agent.SetEnv(kv.first, kv.second);
  }
  // The state file holds the log's position at its end: its size after the
  // head's 16 hex digits.
  const auto saved_at_end = [&] {
    const std::string text = qortest::ReadFile(state);
    const std::string offset =
        " " + std::to_string(qortest::ReadFile(log).size()) + " ";
    for (size_t p = text.find(offset); p != std::string::npos;
         p = text.find(offset, p + 1)) {
      if (p >= 16 && text.find_first_not_of("0123456789abcdef", p - 16) == p) {
        return true;
      }
    }
    return false;
  };
  // Every read-only run, passing and failing; each must leave `state` as
  // it was.
  const auto read_only_runs = [&](const char* when) {
    const std::string before = qortest::ReadFile(state);
    ASSERT_NE(before.find(log), std::string::npos) << when << "\n" << before;
    qortest::WriteFile(dir.File("situations"), good);
    EXPECT_EQ(RunProgram({QORAGENT_PATH, "--check"}, env, dir.path()).status, 0)
        << when;
    qortest::WriteFile(dir.File("situations"),
                       good + "bad VXLOGENT NOPE == 1\n");
    EXPECT_EQ(RunProgram({QORAGENT_PATH, "--check"}, env, dir.path()).status, 1)
        << when;
    qortest::WriteFile(dir.File("situations"), good);
    EXPECT_EQ(RunProgram({QORAGENT_PATH, "--help"}, env, dir.path()).status, 0);
    EXPECT_EQ(RunProgram({QORAGENT_PATH, "--version"}, env, dir.path()).status,
              0);
    EXPECT_EQ(qortest::ReadFile(state), before) << when;
  };

  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(qortest::WaitWatching(agent, log)) << agent.Output();
  qortest::AppendFile(
      log, qortest::SyslogLine(time(nullptr), "h", "app: first line"));
  ASSERT_TRUE(agent.WaitEvents("first line")) << agent.Output();
  ASSERT_TRUE(qortest::WaitUntil(saved_at_end)) << qortest::ReadFile(state);
  read_only_runs("running");
  ASSERT_TRUE(agent.Signal(SIGTERM));
  ASSERT_EQ(agent.WaitExit(), 0) << agent.Output();

  qortest::AppendFile(
      log, qortest::SyslogLine(time(nullptr), "h",
                               "app: second line, written while stopped"));
  read_only_runs("stopped");
  ASSERT_TRUE(agent.Start());
  EXPECT_TRUE(agent.WaitEvents("second line, written while stopped"))
      << agent.Output();
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
  agent.SetEnv("JOP_WEX1", "HOV100:ERROR,FLOW TVX100:ERROR,FLOW");
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
  EXPECT_TRUE(agent.WaitTrace("Reload done: 1 situations, 1 logs watched."))
      << agent.Trace();
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

namespace settings {

// NAME -> how many times it is listed, and its default where the list
// gives one.
struct Listed {
  std::map<std::string, int> count;
  std::map<std::string, std::string> defaults;
  void Add(const std::string& name, const std::string& value) {
    ++count[name];
    defaults[name] = value;
  }
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t nl = text.find('\n', at);
    lines.push_back(text.substr(at, nl == std::string::npos ? nl : nl - at));
    at = nl == std::string::npos ? text.size() : nl + 1;
  }
  return lines;
}

}  // namespace settings

// Every environment variable is in --help, in qoragent(8) and in the
// README's table, each once, and the README gives the default --help gives.
TEST(OperationsTest, SettingsAreListedAlikeInHelpManualAndReadme) {
  Scoped_Temp_Dir dir;
  const qortest::Run_Result r =
      RunProgram({QORAGENT_PATH, "--help"}, {}, dir.path());
  ASSERT_EQ(r.status, 0);
  settings::Listed help, manual, readme;
  std::string events;
  for (const std::string& line : settings::Lines(r.out)) {
    const size_t name_end = line.find(' ', 2);
    const size_t def = line.rfind(" (default: ");
    if (line.rfind("  ", 0) != 0 || line.size() < 3 || line[2] == ' ' ||
        def == std::string::npos || line.back() != ')') {
      continue;
    }
    const std::string name = line.substr(2, name_end - 2);
    help.Add(name, line.substr(def + 11, line.size() - def - 12));
    if (name == "HOV_EVENTS") {
      events = line;
    }
  }
  ASSERT_GE(help.count.size(), 25u) << r.out;
  for (const char* form : {"FILE", "- (standard output)", "syslog:FACILITY",
                           "<PRI>Mmm dd hh:mm:ss qoragent[PID]:", "kafka://",
                           "nats://", "tls://"}) {
    EXPECT_NE(events.find(form), std::string::npos) << form << "\n" << events;
  }

  // The README's table: | `NAME` | DEFAULT | MEANING |.
  bool in_table = false;
  for (const std::string& line : settings::Lines(
           qortest::ReadFile(std::string(QOR_SOURCE_DIR) + "/README.md"))) {
    if (line == "| variable | default | meaning |") {
      in_table = true;
      continue;
    }
    if (in_table && line.empty()) {
      break;
    }
    if (!in_table || line.rfind("| `", 0) != 0) {
      continue;
    }
    const size_t name_end = line.find("` | ");
    const size_t def_end = line.find(" | ", name_end + 4);
    ASSERT_NE(def_end, std::string::npos) << line;
    std::string value = line.substr(name_end + 4, def_end - name_end - 4);
    for (size_t p; (p = value.find("\\|")) != std::string::npos;) {
      value.erase(p, 1);
    }
    readme.Add(line.substr(3, name_end - 3), value);
  }

  // The manual's ENVIRONMENT section: ".TP" then ".B NAME".
  bool in_section = false;
  std::string previous;
  for (const std::string& line : settings::Lines(qortest::ReadFile(
           std::string(QOR_SOURCE_DIR) + "/man/qoragent.8"))) {
    if (line.rfind(".SH", 0) == 0) {
      in_section = line == ".SH ENVIRONMENT";
    } else if (in_section && previous == ".TP" && line.rfind(".B ", 0) == 0) {
      manual.Add(line.substr(3), "");
    }
    previous = line;
  }

  for (const auto& [name, n] : help.count) {
    EXPECT_EQ(n, 1) << name << " in --help";
    EXPECT_EQ(readme.count[name], 1) << name << " in the README";
    EXPECT_EQ(manual.count[name], 1) << name << " in qoragent(8)";
    EXPECT_EQ(readme.defaults[name], help.defaults[name]) << name;
  }
  EXPECT_EQ(readme.count.size(), help.count.size());
  EXPECT_EQ(manual.count.size(), help.count.size());
}

}  // namespace
