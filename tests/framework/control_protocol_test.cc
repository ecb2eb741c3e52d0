// Tests of the control protocol's requests and replies.
#include "framework/control/control_protocol.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/situations/action_runner.h"
#include "framework/events/event_sink.h"
#include "framework/tables/request.h"
#include "framework/situations/situation_registry.h"
#include "framework/tables/table_manager.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxmonlog_manager.h"
#include "tables/x7srv_rnodests_manager.h"
#include "tests/support/ping_counts.h"
#include "tests/testutil.h"

namespace {

using qortest::PingCounts;

// A small table: three fixed rows, a blank-padded and a NUL-padded text
// column (one value not UTF-8) and an integer column.
struct Ctl_Row {
  char name[12];
  int32_t count;
  char note[8];
};

std::atomic<int> g_alive{0};       // Ctl_Object instances in existence
std::atomic<vandu*> g_last{nullptr};  // the most recently created one

class Ctl_Object : public vandu {
 public:
  Ctl_Object(RequestDetail* d, ContextInfo* c, TableManager* m) : vandu(d, c, m) {
    rowSize = sizeof(Ctl_Row);
    allocStep = 2;
    ++g_alive;
    g_last = this;
  }
  ~Ctl_Object() override { --g_alive; }

  int NumColumns() override { return 3; }
  unsigned GetColumnInfo(ColumnInfo* info, int index) override {
    static const ColumnInfo kColumns[] = {
        {"name", offsetof(Ctl_Row, name), 12, COLUMN_TEXT},
        {"count", offsetof(Ctl_Row, count), 4, COLUMN_INT32},
        {"note", offsetof(Ctl_Row, note), 8, COLUMN_TEXT},
    };
    if (index < 0 || index >= 3) {
      return 1;
    }
    *info = kColumns[index];
    return 0;
  }
  int ColumnIsException(const char* row, const char* column, int oper,
                        const GIR1_FILTERINFO* value) override {
    const auto* r = reinterpret_cast<const Ctl_Row*>(row);
    if (strcmp(column, "NAME") == 0) {
      return IsException(oper, r->name, value, 12);
    }
    if (strcmp(column, "COUNT") == 0) {
      return IsException(oper, r->count, value);
    }
    return strcmp(column, "NOTE") == 0 ? IsException(oper, r->note, value, 8) : 0;
  }
  void TakeSample() override {
    Ctl_Row rows[3];
    Fill(&rows[0], "alpha", 1, "");
    Fill(&rows[1], "beta", 22, "caf\xc3\xa9");
    Fill(&rows[2], "gamma", -3, "x\xff\"y");
    AddData(reinterpret_cast<char*>(rows), 3);
  }

 private:
  static void Fill(Ctl_Row* r, const char* name, int32_t count, const char* note) {
    memset(r->name, ' ', sizeof r->name);
    memcpy(r->name, name, strlen(name));
    r->count = count;
    memset(r->note, 0, sizeof r->note);
    memcpy(r->note, note, strlen(note));
  }
};

class Ctl_Manager : public TableManager {
 public:
  Ctl_Manager() : TableManager("QTEST", "CTLROWS") {}
  vandu* CreateVandu(RequestDetail* d, ContextInfo* c) override { return new Ctl_Object(d, c, this); }
  int LiveCount() { return vanduList.Count(); }
};

// Registrations last the process, so the tables register once.
Ctl_Manager* Table() {
  static Ctl_Manager* m = [] {
    auto* made = new Ctl_Manager;
    EXPECT_EQ(TableManager::RegisterWithManager(made), 0u);
    if (TableManager::Find("X7SRV.RNODESTS") == nullptr) {
      EXPECT_EQ(x7srv_rnodests_init(), 0u);
      EXPECT_EQ(tvx_vxmonlog_init(), 0u);
      EXPECT_EQ(tvx_vxlogent_init(), 0u);
    }
    return made;
  }();
  return m;
}

class ControlProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Table();
    Situation_Registry::Instance().Clear();
    const char* s = getenv("HOV_SITUATIONS");
    had_situations_ = s != nullptr;
    saved_situations_ = s != nullptr ? s : "";
  }
  void TearDown() override {
    Situation_Registry::Instance().Clear();
    if (had_situations_) {
      setenv("HOV_SITUATIONS", saved_situations_.c_str(), 1);
    } else {
      unsetenv("HOV_SITUATIONS");
    }
  }
  qortest::Scoped_Temp_Dir dir_;
  qortest::TraceCapture trace_{"ERROR"};
  bool had_situations_ = false;
  std::string saved_situations_;
};

std::string Describe(const Control_Request& r) {
  static const char* const kVerbs[] = {"PING", "REPORT", "ADD",    "DEL",
                                       "LIST", "RELOAD", "ALERTS", "EVENTS"};
  std::string out = std::string(kVerbs[static_cast<int>(r.verb)]) + "|" + r.table + "@" +
                    std::to_string(r.table_column) + "|" + r.name + "|" + r.condition;
  for (const std::string& n : r.names) {
    out += "|" + n;
  }
  if (r.stream) {
    out = "STREAM " + out;
  }
  return r.run.empty() ? out : out + "|run:" + r.run;
}

TEST_F(ControlProtocolTest, ParsesGoodAndBadLines) {
  const struct {
    std::string line;
    bool ok;
    std::string result;  // Describe() of the request, or the error text
  } cases[] = {
      {"PING", true, "PING|@0||"},
      {"  ping  \r", true, "PING|@0||"},
      {"REPORT VXMONLOG", true, "REPORT|VXMONLOG@8||"},
      {"report\tvxmonlog\twhere\tLOGTYPE == \"S\"  ", true,
       "REPORT|vxmonlog@8||LOGTYPE == \"S\""},
      {"REPORT VXLOGENT WHERE LOGPATH == \"/var/log/\" AND LOGNAME == \"syslog\"",
       true,
       "REPORT|VXLOGENT@8||LOGPATH == \"/var/log/\" AND LOGNAME == \"syslog\""},
      {"stream report VXMONLOG WHERE LOGTYPE == \"S\"", true,
       "STREAM REPORT|VXMONLOG@15||LOGTYPE == \"S\""},
      {"STREAM", false, "expected REPORT after STREAM at column 7"},
      {"STREAM PING", false, "expected REPORT after STREAM at column 8"},
      {"STREAM REPORT VXMONLOG WHERE", false,
       "expected a condition after WHERE at column 29"},
      {"SITUATION ADD ssh VXLOGENT ENTRYSRC ~ \"sshd\"", true,
       "ADD|VXLOGENT@19|ssh|ENTRYSRC ~ \"sshd\""},
      {"SITUATION ADD all VXLOGENT", true, "ADD|VXLOGENT@19|all|"},
      {"Situation Del ssh", true, "DEL|@0|ssh|"},
      {"SITUATION LIST", true, "LIST|@0||"},
      {"SITUATION RELOAD", true, "RELOAD|@0||"},
      {"situation alerts", true, "ALERTS|@0||"},
      {"SITUATION ADD r VXLOGENT ENTRYSRC ~ \"run\" run \"logger -t x \\\"hi\\\" \\\\\"  ",
       true, "ADD|VXLOGENT@17|r|ENTRYSRC ~ \"run\"|run:logger -t x \"hi\" \\"},
      {"SITUATION ADD r VXLOGENT RUN \"true\"", true,
       "ADD|VXLOGENT@17|r||run:true"},
      {"EVENTS", true, "EVENTS|@0||"},
      {"events ssh cron.daily", true, "EVENTS|@0|||ssh|cron.daily"},
      {"EVENTS ssh bad/name", false,
       "expected a situation name at column 12 (1 to 31 letters, digits, '_', '-' or '.')"},
      {"SITUATION ADD r VXLOGENT RUN true", false,
       "expected a double-quoted command after RUN at column 30"},
      {"SITUATION ADD r VXLOGENT RUN \"true", false,
       "expected the closing '\"' of the RUN command at column 35"},
      {"SITUATION ADD r VXLOGENT RUN \" \"", false,
       "expected a command between the quotes after RUN at column 30"},
      {"SITUATION ADD r VXLOGENT RUN \"a\" AND X == 1", false,
       "expected the end of the line after the RUN command at column 34"},
      // Malformed lines: what was expected, and where.
      {"", false,
       "expected a request (PING, REPORT, SITUATION or EVENTS) at column 1"},
      {"   ", false,
       "expected a request (PING, REPORT, SITUATION or EVENTS) at column 4"},
      {"HELLO there", false,
       "unknown request HELLO at column 1; expected PING, REPORT, SITUATION or EVENTS"},
      {"PING now", false,
       "expected the end of the line after PING at column 6"},
      {"REPORT", false, "expected a table name after REPORT at column 7"},
      {"REPORT VXMONLOG LOGTYPE == \"S\"", false,
       "expected WHERE or the end of the line after the table name at column 17"},
      {"REPORT VXMONLOG WHERE ", false,
       "expected a condition after WHERE at column 23"},
      {"REPORT VXMONLOG WHERE LOGTYPE = \"S\"", false,
       "expected an operator (==, !=, >=, <=, <, >, ~, =~) after LOGTYPE at column 31"},
      {"REPORT VXMONLOG WHERE LOGTYPE == \"S", false,
       "expected a closing quote for the text that starts at column 34"},
      {"REPORT VXMONLOG WHERE NUMEVENTS > x", false,
       "expected an integer or a double-quoted text after NUMEVENTS at column 35"},
      {"REPORT VXMONLOG WHERE NUMEVENTS > 1 OR NUMERRORS > 1", false,
       "expected AND or the end of the condition at column 37"},
      {"REPORT VXMONLOG WHERE LOGNAME =~ \"(\"", false,
       "bad regular expression at column 34: missing ): ("},
      {"REPORT VXMONLOG\x01", false,
       "unexpected control character 0x01 at column 16; expected one line of text"},
      {"SITUATION", false,
       "expected ADD, DEL, LIST, RELOAD or ALERTS after SITUATION at column 10"},
      {"SITUATION REMOVE x", false,
       "unknown request SITUATION REMOVE at column 11; expected ADD, DEL, LIST, RELOAD or ALERTS"},
      {"SITUATION ADD", false,
       "expected a situation name after SITUATION ADD at column 14"},
      {"SITUATION ADD ssh", false,
       "expected a table name after the situation name at column 18"},
      {"SITUATION ADD ssh VXLOGENT ENTRYSRC ~", false,
       "expected an integer or a double-quoted text after ENTRYSRC at column 38"},
      {"SITUATION DEL", false,
       "expected a situation name after SITUATION DEL at column 14"},
      {"SITUATION DEL a b", false,
       "expected the end of the line after the situation name at column 17"},
      {"SITUATION LIST all", false,
       "expected the end of the line after SITUATION LIST at column 16"},
      {"SITUATION RELOAD now", false,
       "expected the end of the line after SITUATION RELOAD at column 18"},
      {std::string(4097, 'A'), false, "request line longer than 4096 bytes"},
  };
  for (const auto& c : cases) {
    Control_Request r;
    std::string err;
    EXPECT_EQ(ParseControlRequest(c.line, &r, &err), c.ok) << c.line.substr(0, 60);
    EXPECT_EQ(c.ok ? Describe(r) : err, c.result) << c.line.substr(0, 60);
  }
  // The longest line is still read as a request.
  Control_Request r;
  std::string err;
  EXPECT_FALSE(ParseControlRequest(std::string(4096, 'A'), &r, &err));
  EXPECT_EQ(err.substr(0, 20), "unknown request AAAA");
  // A report carries its condition's thresholds on, parsed once.
  ASSERT_TRUE(ParseControlRequest(
      "REPORT VXLOGENT WHERE LOGPATH == \"/var/log/\" AND ENTRYTIME >= \"-1h\"",
      &r, &err));
  ASSERT_EQ(r.thresholds.size(), 2u);
  EXPECT_EQ(r.thresholds[0].column, "LOGPATH");
  EXPECT_EQ(r.thresholds[0].text, "/var/log/");
  EXPECT_EQ(r.thresholds[1].oper, GIR1_GE);
  EXPECT_EQ(r.thresholds[1].relative_seconds, 3600);
}

TEST_F(ControlProtocolTest, RefusalsAreOneErrLine) {
  const struct {
    const char* line;
    const char* reply;
  } cases[] = {
      {"REPORT NOSUCH", "ERR unknown table NOSUCH at column 8; expected VXLOGENT, VXMONLOG or X7SRV.RNODESTS\n"},
      {"SITUATION ADD s1 NOSUCH", "ERR unknown table NOSUCH at column 18; expected VXLOGENT, VXMONLOG or X7SRV.RNODESTS\n"},
      {"REPORT QTEST.CTLROWS WHERE SIZE > 1",
       "ERR unknown column SIZE for table QTEST.CTLROWS; expected one of: NAME COUNT NOTE\n"},
      {"REPORT QTEST.CTLROWS WHERE COUNT > \"many\"",
       "ERR column COUNT is an integer; expected a numeric value\n"},
      {"REPORT QTEST.CTLROWS WHERE NAME == 3", "ERR column NAME is text; expected a double-quoted value\n"},
      {"REPORT QTEST.CTLROWS WHERE NOTE =~ \"a(\"",
       "ERR bad regular expression at column 36: missing ): a(\n"},
      {"SITUATION DEL nobody", "ERR no situation named nobody\n"},
      {"SITUATION ADD bad/name QTEST.CTLROWS",
       "ERR bad situation name \"bad/name\"; expected 1 to 31 letters, digits, '_', '-' or '.'\n"},
      {"REPORT VXLOGENT WHERE LOGPATH == \"/var/log/\" AND LOGNAME == \"syslog\"",
       "ERR REPORT VXLOGENT needs LOGPATH == \"DIR/\" AND LOGNAME == \"FILE\" AND ENTRYTIME >= "
       "\"START\" AND ENTRYTIME <= \"END\" (16-character time stamps or relative times such as "
       "\"-1h\")\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AnswerControlLine(c.line), c.reply) << c.line;
  }
  EXPECT_EQ(g_alive, 0);
  EXPECT_EQ(AnswerControlLine(std::string(5000, 'x')), "ERR request line longer than 4096 bytes\n");
  EXPECT_EQ(FormatControlErr("two\nlines\r"), "ERR two lines \n");
}

TEST_F(ControlProtocolTest, ReportRowsAreJsonWithoutPadding) {
  EXPECT_EQ(AnswerControlLine("REPORT qtest.ctlrows"),
            "OK 3\n"
            "{\"NAME\":\"alpha\",\"COUNT\":1,\"NOTE\":\"\"}\n"
            "{\"NAME\":\"beta\",\"COUNT\":22,\"NOTE\":\"caf\xc3\xa9\"}\n"
            "{\"NAME\":\"gamma\",\"COUNT\":-3,\"NOTE\":\"x\\u00ff\\\"y\"}\n");
  EXPECT_EQ(AnswerControlLine("REPORT QTEST.CTLROWS WHERE COUNT > 0 AND NAME != \"alpha\""),
            "OK 1\n{\"NAME\":\"beta\",\"COUNT\":22,\"NOTE\":\"caf\xc3\xa9\"}\n");
  EXPECT_EQ(AnswerControlLine("REPORT QTEST.CTLROWS WHERE NAME =~ \"^(a|g)\" AND NOTE ~ \"\""),
            "OK 2\n"
            "{\"NAME\":\"alpha\",\"COUNT\":1,\"NOTE\":\"\"}\n"
            "{\"NAME\":\"gamma\",\"COUNT\":-3,\"NOTE\":\"x\\u00ff\\\"y\"}\n");
  EXPECT_EQ(AnswerControlLine("REPORT QTEST.CTLROWS WHERE COUNT > 100"), "OK 0\n");
  // Streamed: rows as found, then END with their count, or the same ERR.
  for (
      const auto& [line, reply] :
      std::vector<std::pair<std::string, std::string>>{
          {"STREAM REPORT QTEST.CTLROWS WHERE COUNT > 0",
           "OK stream\n{\"NAME\":\"alpha\",\"COUNT\":1,\"NOTE\":\"\"}\n"
           "{\"NAME\":\"beta\",\"COUNT\":22,\"NOTE\":\"caf\xc3\xa9\"}\nEND 2\n"},
          {"STREAM REPORT QTEST.CTLROWS WHERE COUNT > 100",
           "OK stream\nEND 0\n"},
          {"STREAM REPORT QTEST.CTLROWS WHERE SIZE > 1",
           "ERR unknown column SIZE for table QTEST.CTLROWS; expected one of: NAME COUNT NOTE\n"}}) {
    Control_Request request;
    std::string err;
    ASSERT_TRUE(ParseControlRequest(line, &request, &err)) << err;
    std::string sent;
    for (const std::string& piece : AnswerStreamedReport(
             line, request, [&sent](const char* data, size_t length, int) -> long {
               sent.append(data, length);
               return static_cast<long>(length);
             })) {
      sent += piece;
    }
    EXPECT_EQ(sent, reply) << line;
  }
  EXPECT_EQ(FormatControlOk({"{}"}, true), "OK 1\n{}\nTRUNCATED\n");
  // A reply of many lines is sent in pieces that join to the same text.
  Control_Lines many;
  std::string expected;
  for (int i = 0; i < 40000; ++i) {
    const std::string line = "{\"ROW\":" + std::to_string(i) + ",\"PAD\":\"" + std::string(i % 97, 'x') + "\"}";
    many.Add(line);
    expected += line + "\n";
  }
  const std::vector<std::string> pieces = FormatControlOkPieces(std::move(many), false);
  EXPECT_GT(pieces.size(), 3u);
  std::string joined;
  for (const std::string& p : pieces) {
    joined += p;
  }
  EXPECT_EQ(joined, "OK 40000\n" + expected);

  // Streamed, the same lines go to a peer that takes a few bytes at a time
  // or none: what it took and what is left join to the same text, and
  // blocks it took are used again.
  size_t calls = 0;
  std::string taken;
  Control_Lines streamed(
      [&](const char* data, size_t length, int) -> long {
        const size_t n = ++calls % 50 == 0 ? 0 : std::min<size_t>(length, 7000);
        taken.append(data, n);
        return static_cast<long>(n);
      },
      "OK stream\n");
  size_t most_blocks = 0;
  for (int i = 0; i < 40000; ++i) {
    streamed.Add("{\"ROW\":" + std::to_string(i) + ",\"PAD\":\"" +
                 std::string(i % 97, 'x') + "\"}");
    most_blocks = std::max(most_blocks, streamed.Blocks().size());
  }
  EXPECT_EQ(streamed.size(), 40000u);
  EXPECT_LE(most_blocks, 3u);
  EXPECT_GT(taken.size(), expected.size() / 2);
  std::string rest = streamed.Blocks().front().substr(streamed.Taken());
  for (size_t i = 1; i < streamed.Blocks().size(); ++i) {
    rest += streamed.Blocks()[i];
  }
  EXPECT_EQ(taken + rest, "OK stream\n" + expected);
  // A peer that takes nothing is waited for a quarter of a second in all,
  // then the report goes on without it; one that takes only when waited
  // for keeps the reply in a few blocks.
  long asked_ms = 0;
  Control_Lines stuck(
      [&asked_ms](const char*, size_t, int wait_ms) -> long {
        asked_ms += wait_ms;
        return 0;
      },
      "OK stream\n");
  long waited_for = 0;
  size_t most_waiting = 0;
  Control_Lines slow(
      [&waited_for](const char*, size_t length, int wait_ms) -> long {
        return wait_ms > 0 ? (++waited_for, static_cast<long>(length)) : 0;
      },
      "OK stream\n");
  for (int i = 0; i < 40000; ++i) {
    stuck.Add(std::string(100, 's'));
    slow.Add(std::string(100, 'w'));
    most_waiting = std::max(most_waiting, slow.Blocks().size());
  }
  EXPECT_EQ(asked_ms, Control_Lines::STREAMWAITMS);
  EXPECT_GT(stuck.Blocks().size(), 10u);
  EXPECT_GT(waited_for, 10);
  EXPECT_LE(most_waiting, Control_Lines::STREAMWAITBLOCKS + 1);
  // A peer that went away takes nothing more; the lines are only counted.
  Control_Lines gone([](const char*, size_t, int) -> long { return -1; },
                     "OK stream\n");
  most_blocks = 0;
  for (int i = 0; i < 40000; ++i) {
    gone.Add(std::string(100, 'y'));
    most_blocks = std::max(most_blocks, gone.Blocks().size());
  }
  EXPECT_TRUE(gone.Gone());
  EXPECT_EQ(gone.size(), 40000u);
  EXPECT_LE(most_blocks, 2u);
  // Report objects are destroyed after their reply and never listed as live.
  EXPECT_EQ(g_alive, 0);
  EXPECT_EQ(Table()->LiveCount(), 0);
}

TEST_F(ControlProtocolTest, PingNamesTheProcess) {
  setenv("HOV_SYSTEM_NAME", "ctltest:TVX", 1);
  EXPECT_EQ(AnswerControlLine("PING"),
            "OK 1\n{\"pid\":" + std::to_string(getpid()) + ",\"system\":\"ctltest:TVX\"," + PingCounts() + "}\n");
  unsetenv("HOV_SYSTEM_NAME");
}

TEST_F(ControlProtocolTest, SituationsAreAddedListedAndDeleted) {
  EXPECT_EQ(AnswerControlLine("SITUATION ADD big QTEST.CTLROWS COUNT > 10  "),
            "OK 1\n{\"name\":\"big\",\"table\":\"QTEST.CTLROWS\",\"condition\":\"COUNT > "
            "10\",\"stopped\":false,\"reason\":0}\n");
  EXPECT_EQ(AnswerControlLine("SITUATION ADD any qtest.ctlrows"),
            "OK 1\n{\"name\":\"any\",\"table\":\"QTEST.CTLROWS\",\"condition\":\"\",\"stopped\":"
            "false,\"reason\":0}\n");
  EXPECT_EQ(AnswerControlLine("SITUATION ADD big QTEST.CTLROWS COUNT > 1"),
            "ERR situation big already exists\n");
  EXPECT_EQ(Table()->LiveCount(), 2);
  EXPECT_EQ(
      AnswerControlLine("SITUATION LIST"),
      "OK 2\n"
      "{\"name\":\"any\",\"table\":\"QTEST.CTLROWS\",\"condition\":\"\",\"stopped\":false,"
      "\"reason\":0,\"matches\":0,\"events\":0,\"suppressed\":0}\n"
      "{\"name\":\"big\",\"table\":\"QTEST.CTLROWS\",\"condition\":\"COUNT > "
      "10\",\"stopped\":false,\"reason\":0,\"matches\":0,\"events\":0,\"suppressed\":0}\n");
  EXPECT_EQ(AnswerControlLine("SITUATION DEL big"), "OK 0\n");
  EXPECT_EQ(Table()->LiveCount(), 1);
  EXPECT_EQ(g_alive, 1);
  EXPECT_EQ(AnswerControlLine("SITUATION DEL big"), "ERR no situation named big\n");
}

TEST_F(ControlProtocolTest, StoppedSituationShowsItsReason) {
  ASSERT_EQ(AnswerControlLine("SITUATION ADD s QTEST.CTLROWS").substr(0, 5), "OK 1\n");
  g_last.load()->Stopped(2);
  EXPECT_EQ(
      AnswerControlLine("SITUATION LIST"),
      "OK 1\n{\"name\":\"s\",\"table\":\"QTEST.CTLROWS\",\"condition\":\"\",\"stopped\":true,"
      "\"reason\":2,\"matches\":0,\"events\":0,\"suppressed\":0}\n");
}

TEST_F(ControlProtocolTest, DeletedSituationInUseLivesUntilItsPassEnds) {
  ASSERT_EQ(AnswerControlLine("SITUATION ADD busy QTEST.CTLROWS").substr(0, 5), "OK 1\n");
  vandu* v = g_last.load();
  const unsigned handle = v->Handle();
  ASSERT_EQ(vandu::UseHandle(handle), v);  // an event pass is using it
  EXPECT_EQ(AnswerControlLine("SITUATION DEL busy"), "OK 0\n");
  EXPECT_EQ(Table()->LiveCount(), 0);
  EXPECT_EQ(g_alive, 1);
  EXPECT_EQ(AnswerControlLine("SITUATION LIST"), "OK 0\n");
  vandu::DAV1_Drop(handle);  // the pass ends
  EXPECT_EQ(g_alive, 0);
}

// Rows are offered to listed objects without pinning them: an object
// destroyed while still listed is taken off its list first.
TEST_F(ControlProtocolTest, DestroyedListedObjectLeavesItsList) {
  RequestDetail detail;
  detail.appl = "QTEST";
  detail.table = "CTLROWS";
  detail.sampleType = SAMPLE_SITUATION;
  vandu* v = Table()->CreateVandu(&detail, nullptr);
  Table()->AddLive(v);
  ASSERT_EQ(Table()->LiveCount(), 1);
  vandu::Destroy(v);
  EXPECT_EQ(Table()->LiveCount(), 0);
  EXPECT_EQ(g_alive, 0);
  char row[64] = {};
  EXPECT_EQ(Table()->OfferToLive(row, 0), 0u);
}

TEST_F(ControlProtocolTest, ReloadReplacesSituationsAndListsSkippedLines) {
  const std::string path = dir_.File("situations.conf");
  qortest::WriteFile(path,
                     "# kept\n"
                     "big QTEST.CTLROWS COUNT > 10\n"
                     "bad QTEST.CTLROWS SIZE > 1\n");
  ASSERT_EQ(AnswerControlLine("SITUATION ADD old QTEST.CTLROWS").substr(0, 5), "OK 1\n");

  unsetenv("HOV_SITUATIONS");
  EXPECT_EQ(AnswerControlLine("SITUATION RELOAD"),
            "ERR no situations file to reload: HOV_SITUATIONS was not set when the agent started\n");
  setenv("HOV_SITUATIONS", dir_.File("missing.conf").c_str(), 1);
  EXPECT_EQ(AnswerControlLine("SITUATION RELOAD"),
            "ERR cannot read situations file " + dir_.File("missing.conf") +
                ": No such file or directory; the situations are unchanged\n");
  EXPECT_EQ(Situation_Registry::Instance().List().size(), 1u);  // "old" still runs

  setenv("HOV_SITUATIONS", path.c_str(), 1);
  EXPECT_EQ(AnswerControlLine("SITUATION RELOAD"),
            "OK 1\n{\"problem\":\"" + path +
                ":3: unknown column SIZE for table QTEST.CTLROWS; expected one of: NAME COUNT "
                "NOTE\"}\n");
  EXPECT_EQ(
      AnswerControlLine("SITUATION LIST"),
      "OK 1\n{\"name\":\"big\",\"table\":\"QTEST.CTLROWS\",\"condition\":\"COUNT > "
      "10\",\"stopped\":false,\"reason\":0,\"matches\":0,\"events\":0,\"suppressed\":0}"
      "\n");
}

TEST_F(ControlProtocolTest, LogEntriesReportTakesItsSelection) {
  // With the whole selection the report runs (no log is monitored here).
  EXPECT_EQ(AnswerControlLine("REPORT VXLOGENT WHERE LOGPATH == \"/var/log/\" AND LOGNAME == "
                              "\"syslog\" AND ENTRYTIME >= \"-1h\" AND ENTRYTIME <= "
                              "\"1991231235959000\""),
            "OK 0\n");
  // A bound that is no time names itself.
  EXPECT_EQ(
      AnswerControlLine(
          "REPORT VXLOGENT WHERE LOGPATH == \"/var/log/\" AND LOGNAME == "
          "\"syslog\" AND ENTRYTIME >= \"-1h\" AND ENTRYTIME <= \"zzz\""),
      "ERR bad ENTRYTIME <= bound \"zzz\": expected a time stamp of up to 16 digits "
      "(CYYMMDDHHMMSSmmm) or a relative time such as \"-1h\"\n");
  EXPECT_EQ(
      AnswerControlLine(
          "STREAM REPORT VXLOGENT WHERE LOGPATH == \"/var/log/\" AND "
          "LOGNAME == \"syslog\" AND ENTRYTIME >= \"12x\" AND ENTRYTIME <= "
          "\"now\"")
          .rfind("ERR bad ENTRYTIME >= bound \"12x\"", 0),
      0u);
}

}  // namespace

TEST_F(ControlProtocolTest, FleetSituationsLiveBesideTheHostsOwn) {
  Situation_Registry& reg = Situation_Registry::Instance();
  ASSERT_EQ(AnswerControlLine("SITUATION ADD own QTEST.CTLROWS").substr(0, 5), "OK 1\n");
  reg.InstallFleet({{"all.big", "big", 3, "big QTEST.CTLROWS COUNT > 10"},
                    {"all.own", "own", 4, "own QTEST.CTLROWS COUNT > 1"},
                    {"all.run", "run", 5, "run QTEST.CTLROWS RUN \"true\""},
                    {"all.bad", "bad", 6, "bad QTEST.CTLROWS SIZE > 1"},
                    {"all.x", "x", 7, "y QTEST.CTLROWS"}},
                   false);
  std::map<std::string, Fleet_Outcome> o = reg.FleetOutcomes();
  EXPECT_EQ(o["all.big"].state, Fleet_State::kApplied);
  EXPECT_EQ(o["all.own"].state, Fleet_State::kOverridden);  // the host's own wins
  EXPECT_EQ(o["all.run"].state, Fleet_State::kRefused);
  EXPECT_NE(o["all.run"].reason.find("HOV_FLEET_RUN=allow"), std::string::npos);
  EXPECT_EQ(o["all.bad"].state, Fleet_State::kRefused);
  EXPECT_EQ(o["all.x"].reason, "the line defines situation y, the key names x");
  const std::string list = AnswerControlLine("SITUATION LIST");
  EXPECT_NE(list.find("\"name\":\"big\",\"table\":\"QTEST.CTLROWS\",\"condition\":\"COUNT > "
                      "10\",\"fleet\":\"all.big@3\""),
            std::string::npos)
      << list;
  EXPECT_EQ(AnswerControlLine("SITUATION DEL big").substr(0, 36),
            "ERR situation big comes from the fle");

  // A bad change keeps the line before it running; a reload of the file
  // keeps the fleet's, and the fleet's "own" takes over from the host's.
  reg.InstallFleet({{"all.big", "big", 8, "big QTEST.CTLROWS SIZE > 1"},
                    {"all.own", "own", 4, "own QTEST.CTLROWS COUNT > 1"}},
                   false);
  EXPECT_EQ(reg.FleetOutcomes()["all.big"].state, Fleet_State::kRefused);
  const std::string path = dir_.File("situations.conf");
  qortest::WriteFile(path, "file1 QTEST.CTLROWS\n");
  setenv("HOV_SITUATIONS", path.c_str(), 1);
  EXPECT_EQ(AnswerControlLine("SITUATION RELOAD"), "OK 0\n");
  std::map<std::string, std::string> from;
  for (const Situation_Info& s : reg.List()) {
    from[s.name] = s.fleet_key + "@" + std::to_string(s.fleet_revision);
  }
  EXPECT_EQ(from, (std::map<std::string, std::string>{
                      {"big", "all.big@3"}, {"file1", "@0"}, {"own", "all.own@4"}}));
  EXPECT_EQ(reg.FleetOutcomes()["all.own"].state, Fleet_State::kApplied);
  reg.InstallFleet({}, false);
  ASSERT_EQ(reg.List().size(), 1u);
  EXPECT_EQ(reg.List()[0].name, "file1");
}
