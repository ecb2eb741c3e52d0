// Entries of several lines under a log's multiline rule: a Java stack trace
// and a Python traceback each become one event whose "entry" holds the whole
// text, and so does a report of them; an entry ends after the quiet time and
// at the line limit.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"

namespace qortest {
namespace {

// A syslog line in the zoned shape (UTC) for `when`.
std::string IsoLine(time_t when, const std::string& rest) {
  struct tm tm;
  gmtime_r(&when, &tm);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return std::string(stamp) + " apphost " + rest + "\n";
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos;
       p = text.find(what, p + what.size())) {
    ++n;
  }
  return n;
}

TEST(MultilineTest, JavaTraceAndPythonTracebackAreOneEntryEach) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string java = dir.File("java.log");
  const std::string py = dir.File("py.log");
  WriteFile(java, "");
  WriteFile(py, "");
  WriteFile(dir.File("qoragent.conf"),
            java + " ;N ;S\n" + py +
                " ;N ;U ;A,\"%d-%d-%d %d:%d:%d %s %[^:]: %200[^\\n]\",year "
                "month=\"%02d\" day=\"%02d\" hour minute second system source "
                "description\n"
                "multiline " +
                java + " ^[0-9]{4}-[0-9]{2}-[0-9]{2}T\n" + "multiline " + py +
                " quiet=0.5 ^[0-9]{4}-[0-9]{2}-[0-9]{2} \n");
  WriteFile(dir.File("situations"),
            "java VXLOGENT ENTRYDESC ~ \"IllegalStateException\"\n"
            "py VXLOGENT ENTRYSRC == \"billing\"\n"
            "all VXLOGENT LOGNAME == \"java.log\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(WaitWatching(agent, java)) << agent.Trace();
  ASSERT_TRUE(WaitWatching(agent, py)) << agent.Trace();

  const time_t now = time(nullptr);
  AppendFile(java, IsoLine(now - 5,
                           "java[7]: Exception in thread \"main\" "
                           "java.lang.IllegalStateException: boom") +
                       "\tat com.example.App.run(App.java:10)\n"
                       "\tat com.example.App.main(App.java:5)\n"
                       "Caused by: java.io.IOException: disk full\n"
                       "\t... 2 more\n" +
                       IsoLine(now - 4, "java[7]: next entry"));
  ASSERT_TRUE(
      agent.WaitEvents("\"situation\":\"java\"", std::chrono::seconds(15)))
      << agent.Trace();
  const std::string event =
      LinesWith(agent.Events(), "\"situation\":\"java\"")[0];
  EXPECT_EQ(JsonField(event, "ENTRYSRC"), "java[7]");
  std::string first = IsoLine(now - 5,
                              "java[7]: Exception in thread \\\"main\\\" "
                              "java.lang.IllegalStateException: boom");
  first.pop_back();
  EXPECT_EQ(JsonField(event, "entry"),
            first +
                "\\n\\tat com.example.App.run(App.java:10)"
                "\\n\\tat com.example.App.main(App.java:5)"
                "\\nCaused by: java.io.IOException: disk full\\n\\t... 2 more")
      << event;
  // The next entry ends after the quiet time, with no line after it.
  ASSERT_TRUE(WaitUntil([&] {
    return agent.Events().find("next entry\"") != std::string::npos;
  })) << agent.Events();
  // Continuation lines are no events of their own.
  EXPECT_EQ(Count(agent.Events(), "\"situation\":\"all\""),
            LinesWith(agent.Events(), "warm-up").size() + 2)
      << agent.Events();

  AppendFile(py,
             "2026-03-05 07:08:09 apphost billing: invoice 17 failed\n"
             "Traceback (most recent call last):\n"
             "  File \"bill.py\", line 3, in <module>\n"
             "    send(invoice)\n"
             "ValueError: no address\n");
  ASSERT_TRUE(
      agent.WaitEvents("\"situation\":\"py\"", std::chrono::seconds(15)))
      << agent.Trace();
  const std::string py_event =
      LinesWith(agent.Events(), "\"situation\":\"py\"")[0];
  EXPECT_EQ(JsonField(py_event, "ENTRYDESC"), "invoice 17 failed");
  EXPECT_EQ(JsonField(py_event, "entry"),
            "2026-03-05 07:08:09 apphost billing: invoice 17 failed"
            "\\nTraceback (most recent call last):"
            "\\n  File \\\"bill.py\\\", line 3, in <module>"
            "\\n    send(invoice)\\nValueError: no address");

  // A report joins the lines again, newest first.
  const Run_Result r = agent.Ctl({"--json", "entries", java, "--since", "-1h"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> rows = LinesWith(r.out, "\"entry\"");
  ASSERT_GE(rows.size(), 2u) << r.out;
  EXPECT_EQ(JsonField(rows[0], "ENTRYDESC"), "next entry");
  EXPECT_EQ(JsonField(rows[1], "entry"), JsonField(event, "entry")) << r.out;
  const Run_Result p = agent.Ctl({"--json", "entries", py, "--since",
                                  "2026-03-05", "--until", "2026-03-06"});
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(JsonField(LinesWith(p.out, "\"entry\"").at(0), "entry"),
            JsonField(py_event, "entry"))
      << p.out;
}

TEST(MultilineTest, EntriesEndAtTheLineLimitAndABadRuleIsRefused) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("app.log");
  WriteFile(log, "");
  WriteFile(dir.File("qoragent.conf"), log + "\nmultiline " + log +
                                           " (unclosed\n" + "multiline " + log +
                                           " quiet=0.2 ^[0-9]{4}-\n");
  WriteFile(dir.File("situations"), "all VXLOGENT LOGNAME == \"app.log\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(WaitWatching(agent, log)) << agent.Trace();
  EXPECT_NE(agent.Trace().find("Multiline rule refused: the start pattern "
                               "(unclosed of log " +
                               log + " does not compile: "),
            std::string::npos)
      << agent.Trace();

  // 600 lines after a start line: 500 make the entry, the rest begin one
  // of their own (which has no time stamp and makes no event).
  std::string text = IsoLine(time(nullptr), "app[1]: long dump");
  for (int i = 1; i < 600; ++i) {
    text += "dump line " + std::to_string(i) + "\n";
  }
  AppendFile(log, text);
  ASSERT_TRUE(agent.WaitEvents("long dump", std::chrono::seconds(15)))
      << agent.Trace();
  const std::string event = LinesWith(agent.Events(), "long dump")[0];
  const std::string entry = JsonField(event, "entry");
  EXPECT_EQ(Count(entry, "\\n"), 499u);
  EXPECT_NE(entry.find("\\ndump line 499"), std::string::npos);
  EXPECT_EQ(entry.find("dump line 500"), std::string::npos);
  EXPECT_NE(agent.Trace().find("An entry of log " + log +
                               " reached 500 lines or 65536 bytes: the rest "
                               "begins a new entry (1 entries cut so far)."),
            std::string::npos)
      << agent.Trace();
  // The quiet time ended the entry without a line after it.
  ASSERT_TRUE(WaitUntil([&] {
    return MonlogNumber(agent, log, "NUMERRORS") >= 1;
  })) << agent.Trace();

  // A refresh that changes the rule starts the worker again where it was:
  // lines written meanwhile are joined under the new rule.
  WriteFile(dir.File("qoragent.conf"),
            log + "\nmultiline " + log + " quiet=0.3 ^[0-9]{4}-\n");
  ASSERT_TRUE(agent.Signal(SIGHUP));
  AppendFile(log, IsoLine(time(nullptr), "app[1]: after refresh") +
                      "detail 1\ndetail 2\n");
  ASSERT_TRUE(agent.WaitEvents("after refresh", std::chrono::seconds(15)))
      << agent.Trace();
  EXPECT_NE(JsonField(LinesWith(agent.Events(), "after refresh")[0], "entry")
                .find("after refresh\\ndetail 1\\ndetail 2"),
            std::string::npos)
      << agent.Events();
}

// A stray NUL inside an entry (a user name echoed into a stack trace) is
// dropped and the entry stays whole; lines up to TVX_MAX_LINE arrive whole
// in the event's "entry", a longer one is cut there, marked and counted.
TEST(MultilineTest, StrayNulKeepsTheEntryAndLongLinesArriveWhole) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string trace = dir.File("trace.log");
  const std::string json = dir.File("json.log");
  WriteFile(trace, "");
  WriteFile(json, "");
  WriteFile(dir.File("qoragent.conf"),
            trace + "\n" + json + "\nmultiline " + trace +
                " quiet=0.2 ^[0-9]{4}-[0-9]{2}-[0-9]{2}T\n");
  WriteFile(dir.File("situations"), "all VXLOGENT ENTRYSRC == \"app[1]\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  agent.SetEnv("TVX_MAX_LINE", "65536");
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(WaitWatching(agent, trace)) << agent.Trace();
  ASSERT_TRUE(WaitWatching(agent, json)) << agent.Trace();
  const long before = MonlogNumber(agent, trace, "NUMEVENTS");

  const time_t now = time(nullptr);
  AppendFile(trace, IsoLine(now, "app[1]: login failed") +
                        std::string("\tat Login.check(user=al\0ice)\n", 29) +
                        "Caused by: no such user\n" +
                        IsoLine(now, "app[1]: next"));
  ASSERT_TRUE(agent.WaitEvents("app[1]: next", std::chrono::seconds(15)))
      << agent.Trace();
  const std::string entry =
      JsonField(LinesWith(agent.Events(), "login failed").at(0), "entry");
  EXPECT_NE(entry.find("\\n\\tat Login.check(user=alice)\\nCaused by: no "
                       "such user"),
            std::string::npos)
      << entry;
  EXPECT_EQ(MonlogNumber(agent, trace, "NUMEVENTS"), before + 2);
  EXPECT_EQ(MonlogNumber(agent, trace, "NUMERRORS"), 0);

  const std::string whole(60000, 'w');
  const std::string big(70000, 'b');
  AppendFile(json, IsoLine(now, "app[1]: {\"k\":\"" + whole + "\"}") +
                       IsoLine(now, "app[1]: {\"k\":\"" + big + "\"}"));
  ASSERT_TRUE(WaitUntil([&] {
    return LinesWith(agent.Events(), "bbbb").size() == 1;
  })) << agent.Trace();
  const std::string kept = LinesWith(agent.Events(), "wwww").at(0);
  EXPECT_NE(JsonField(kept, "entry").find(whole + "\\\"}"), std::string::npos);
  EXPECT_EQ(kept.find("\"cut\":true"), std::string::npos);
  const std::string cut = LinesWith(agent.Events(), "bbbb").at(0);
  EXPECT_EQ(JsonField(cut, "entry").size(), 65536u + 3);  // 3 quotes escaped
  EXPECT_NE(cut.find("\"cut\":true"), std::string::npos);
  EXPECT_NE(agent.Trace().find("A line of log " + json +
                               " is longer than 65536 bytes: its first 65536 "
                               "are kept (1 lines cut so far;"),
            std::string::npos);
  // A report keeps less of a long line, and says so.
  const Run_Result r = agent.Ctl({"--json", "entries", json, "--since", "-1h"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(LinesWith(r.out, "\"cut\":true").size(), 2u) << r.out.size();
}

}  // namespace
}  // namespace qortest
