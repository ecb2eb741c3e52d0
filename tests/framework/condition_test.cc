// Tests of conditions: parsing and matching rows.
#include "framework/situations/condition.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/control/control_protocol.h"
#include "framework/events/event_sink.h"
#include "framework/situations/situation_registry.h"
#include "framework/tables/table_manager.h"
#include "tables/table_schema.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxmonlog_manager.h"
#include "tables/x7srv_rnodests_manager.h"
#include "tests/testutil.h"

namespace {

// The tables register once per process; a second registration is refused.
void RegisterTables() {
  if (TableManager::Find("X7SRV.RNODESTS") == nullptr) {
    ASSERT_EQ(x7srv_rnodests_init(), 0u);
    ASSERT_EQ(tvx_vxmonlog_init(), 0u);
    ASSERT_EQ(tvx_vxlogent_init(), 0u);
  }
}

std::string Render(const std::vector<Threshold_Spec>& specs) {
  std::string out;
  for (const Threshold_Spec& s : specs) {
    out += (out.empty() ? "" : "; ") + s.column + " " + std::to_string(s.oper) +
           " " +
           (s.is_integer ? std::to_string(s.integer) : "\"" + s.text + "\"");
    if (s.relative_seconds != 0) {
      out += "@" + std::to_string(s.relative_seconds);
    }
  }
  return out;
}

TEST(ConditionTest, ParsesTermsJoinedByAnd) {
  const struct {
    const char* text;
    const char* specs;
  } cases[] = {
      {"", ""},
      {" \t ", ""},
      {"entrysrc ~ \"sshd\"", "ENTRYSRC 7 \"sshd\""},
      {"A==1 AND B != -2 AND C>=+3 AND D <= 4 AND E < 5 AND F > 6 AND G =~ \"x\" AND H ~ \"y\"",
       "A 1 1; B 2 -2; C 3 3; D 4 4; E 5 5; F 6 6; G 8 \"x\"; H 7 \"y\""},
      {"X7ONLINE\t==\t\"Y\"  ", "X7ONLINE 1 \"Y\""},
      {R"(ENTRYDESC == "say \"hi\" \\ now")",
       R"(ENTRYDESC 1 "say "hi" \ now")"},
      {"FREQTHRESH >= 5000000000 AND ROWNO > -9223372036854775808",
       "FREQTHRESH 3 5000000000; ROWNO 6 -9223372036854775808"},
      {R"(ENTRYTIME < "-1h" AND MONTIME < "-30s" AND LOGMODDATE < "-15m" AND TIMESTAMP >= "-2d")",
       R"(ENTRYTIME 5 "-1h"@3600; MONTIME 5 "-30s"@30; LOGMODDATE 5 "-15m"@900; TIMESTAMP 3 "-2d"@172800)"},
      // Only time-stamp columns take relative times, and only these units.
      {R"(ENTRYDESC < "-1h" AND ENTRYTIME == "-1w" AND ENTRYTIME == "-h")",
       R"(ENTRYDESC 5 "-1h"; ENTRYTIME 1 "-1w"; ENTRYTIME 1 "-h")"},
  };
  for (const auto& c : cases) {
    std::vector<Threshold_Spec> specs;
    std::string err;
    ASSERT_TRUE(ParseCondition(c.text, &specs, &err)) << c.text << ": " << err;
    EXPECT_EQ(Render(specs), c.specs) << c.text;
  }
}

TEST(ConditionTest, MalformedTextSaysWhatWasExpectedAndWhere) {
  const struct {
    const char* text;
    std::string err;
  } cases[] = {
      {"== 5", "expected a column name at column 1"},
      {"ENTRYSRC = \"x\"",
       "expected an operator (==, !=, >=, <=, <, >, ~, =~) after ENTRYSRC at column 10"},
      {"ENTRYSRC ~ sshd",
       "expected an integer or a double-quoted text after ENTRYSRC at column 12"},
      {"ENTRYSRC ~",
       "expected an integer or a double-quoted text after ENTRYSRC at column 11"},
      {"ENTRYSRC ~ \"sshd",
       "expected a closing quote for the text that starts at column 12"},
      {R"(ENTRYSRC ~ "a\nb")",
       R"(expected \" or \\ after a backslash at column 14)"},
      {"FREQTHRESH >= 99999999999999999999",
       "expected an integer of at most 64 bits at column 15"},
      {"FREQTHRESH >= -",
       "expected an integer of at most 64 bits at column 15"},
      {"FREQTHRESH >= 5 OR FREQTHRESH < 2",
       "expected AND or the end of the condition at column 17"},
      {"FREQTHRESH >= 5x",
       "expected AND or the end of the condition at column 16"},
      {"FREQTHRESH >= 5 ANDROWNO == 1",
       "expected AND or the end of the condition at column 17"},
      {"FREQTHRESH >= 5 AND", "expected a column name at column 20"},
      {"ENTRYDESC =~ \"a(\"",
       "bad regular expression at column 14: missing ): a("},
  };
  for (const auto& c : cases) {
    std::vector<Threshold_Spec> specs;
    std::string err;
    EXPECT_FALSE(ParseCondition(c.text, &specs, &err)) << c.text;
    EXPECT_EQ(err, c.err) << c.text;
  }
}

TEST(ConditionTest, ClausesFollowTheCondition) {
  const struct {
    const char* text;
    const char* result;  // "condition|clauses" or the error
  } cases[] = {
      {"ENTRYDESC ~ \"x\"", "ENTRYDESC ~ \"x\"|"},
      {"  A == 1 AND B ~ \"y\" per ENTRYDESC \"from ([0-9.]+)\"  throttle 60 ",
       "A == 1 AND B ~ \"y\"|PER ENTRYDESC \"from ([0-9.]+)\" THROTTLE 60"},
      {"THROTTLE 5", "|THROTTLE 5"},
      {R"(A == 1 PER X "a\"b")", R"(A == 1|PER X "a\"b")"},
      {"A == 1 THROTTLE 5 PER X \"a\"",
       "expected ALERT or the end of the line at column 19"},
      {"A == 1 OR B == 2",
       "expected AND, THEN, WITHOUT, ABSENT, CLEAR, PER, THROTTLE, ALERT or the end of the line at column 8"},
      {"A == 1 THROTTLE 0",
       "expected a number of seconds from 1 to 31622400 after THROTTLE at column 17"},
      {"A == 1 THROTTLE -5",
       "expected a number of seconds from 1 to 31622400 after THROTTLE at column 17"},
      {"A == 1 THROTTLE 5s",
       "expected a number of seconds from 1 to 31622400 after THROTTLE at column 17"},
      {"A == 1 PER X \"a\" keys 500  THROTTLE 5",
       "A == 1|PER X \"a\" KEYS 500 THROTTLE 5"},
      {"A == 1 PER X \"a\" KEYS 0",
       "expected a number of keys from 1 to 10000000 after KEYS at column 23"},
      {"A == 1 KEYS 5",
       "expected AND, THEN, WITHOUT, ABSENT, CLEAR, PER, THROTTLE, ALERT or the end of the line at column 8"},
      {"A == 1 PER \"x\"", "expected a column name after PER at column 12"},
      {"A == 1 PER X (x)",
       "expected a double-quoted regular expression after PER X at column 14"},
      {"A == 1 PER X \"(x\"",
       "bad regular expression at column 14: missing ): (x"},
      // Situations that remember: a pair, an absence, a clear rule.
      {R"x(ENTRYDESC ~ "Failed" then ENTRYDESC ~ "Accepted" within 60 PER ENTRYDESC "for ([^ ]+)")x",
       R"x(ENTRYDESC ~ "Failed"|THEN ENTRYDESC ~ "Accepted" WITHIN 60 PER ENTRYDESC "for ([^ ]+)")x"},
      {"A == 1 WITHOUT B == 2 WITHIN 30", "A == 1|WITHOUT B == 2 WITHIN 30"},
      {"A == 1 THEN OR WITHOUT tvx.vxlogent B == 2 AND C ~ \"x\" WITHIN 604800",
       "A == 1|THEN OR WITHOUT TVX.VXLOGENT B == 2 AND C ~ \"x\" WITHIN 604800"},
      {"A == 1 THEN B == 2 WITHIN 0",
       "expected a number of seconds from 1 to 604800 after WITHIN at column 27"},
      {"A == 1 THEN B == 2 WITHIN 604801",
       "expected a number of seconds from 1 to 604800 after WITHIN at column 27"},
      {"A == 1 THEN B == 2",
       "expected AND or WITHIN SECONDS after the second condition at column 19"},
      {"A == 1 THEN WITHIN 5",
       "expected an operator (==, !=, >=, <=, <, >, ~, =~) after WITHIN at column 20"},
      {"A == 1 THEN OR B == 1 WITHIN 5",
       "expected WITHOUT after THEN OR at column 16"},
      {"A == 1 THEN B == 1 WITHIN 5 WITHOUT C == 1 WITHIN 5",
       "expected THEN OR WITHOUT for both events of one pair at column 29"},
      {"THEN B == 2 WITHIN 5",
       "expected a first condition before THEN at column 1"},
      {"A == 1 THEN B == 2 AND FREQTHRESH >= 2 WITHIN 5",
       "the second condition of a pair takes no FREQTHRESH at column 13"},
      {"A == 1 absent 600 expected", "A == 1|ABSENT 600 EXPECTED"},
      {"A == 1 ABSENT -1",
       "expected a number of seconds from 1 to 604800 after ABSENT at column 15"},
      {"A == 1 CLEAR <= 2 WITHIN 300 PER X \"(a)\"",
       "A == 1|CLEAR <= 2 WITHIN 300 PER X \"(a)\""},
      {"A == 1 CLEAR 2 WITHIN 300",
       "expected <= ROWS WITHIN SECONDS after CLEAR at column 14"},
      {"A == 1 CLEAR <= 16 WITHIN 300",
       "expected a number of rows from 0 to 15 after CLEAR <= at column 17"},
      {"A == 1 CLEAR <= 1 300",
       "expected WITHIN SECONDS after CLEAR <= 1 at column 19"},
      {"A == 1 ABSENT 60 CLEAR <= 1 WITHIN 60",
       "expected one of THEN, WITHOUT, ABSENT or CLEAR in a situation at column 18"},
      {"A == 1 WITHOUT B == 1 WITHIN 5 THROTTLE 5",
       "THROTTLE does not apply to a situation with THEN, WITHOUT, ABSENT or CLEAR at column 32"},
      // Which situations alert, and with what: names as Alertmanager takes
      // them, none of the agent's own labels, values valid UTF-8.
      {"A == 1 THROTTLE 5 alert severity critical label team=db "
       "LABEL note=\"two words\" RESOLVE 600",
       "A == 1|THROTTLE 5 ALERT SEVERITY critical LABEL team=db "
       "LABEL note=\"two words\" RESOLVE 600"},
      {"A == 1 ALERT", "A == 1|ALERT"},
      {R"(A == 1 ALERT LABEL q="say \"hi\"")",
       R"(A == 1|ALERT LABEL q="say \"hi\"")"},
      {"A == 1 ALERT LABEL __meta=1",
       "label names starting \"__\" are Alertmanager's own: \"__meta\" at column 20"},
      {"A == 1 ALERT LABEL severity=page",
       "label \"severity\" is set by the agent (use SEVERITY) at column 20"},
      {"A == 1 ALERT LABEL team-x=db",
       "expected LABEL NAME=VALUE with a label name of letters, digits and '_' "
       "not starting with a digit, not \"team-x\" at column 20"},
      {"A == 1 ALERT LABEL a=1 LABEL a=2",
       "label \"a\" is given twice at column 30"},
      {"A == 1 ALERT LABEL a=\xff",
       "the value of label a is not valid UTF-8 at column 22"},
      {"A == 1 ALERT SEVERITY",
       "expected a word or a double-quoted text, not empty, "
       "for SEVERITY at column 22"},
      {"A == 1 ALERT PAGE",
       "expected SEVERITY, LABEL, RESOLVE or the end of the "
       "line after ALERT at column 14"},
      {"A == 1 ABSENT 60 ALERT RESOLVE 60",
       "RESOLVE does not apply to a situation with THEN, WITHOUT, ABSENT or CLEAR "
       "(its alert resolves with its state) at column 18"},
      // A pathological expression is refused at once instead of compiled.
      {"A =~ \"((a{1,1000}){1,1000}){1,1000}\"",
       "bad regular expression at column 6: invalid repetition size: {1,1000}"},
  };
  for (const auto& c : cases) {
    std::vector<Threshold_Spec> specs;
    std::string condition, err;
    Situation_Clauses clauses;
    const bool ok =
        ParseSituationCondition(c.text, &specs, &condition, &clauses, &err);
    EXPECT_EQ(ok ? condition + "|" + FormatClauses(clauses) : err, c.result)
        << c.text;
  }
}

class SituationRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterTables();
    Situation_Registry::Instance().Clear();
  }
  void TearDown() override { Situation_Registry::Instance().Clear(); }
  qortest::Scoped_Temp_Dir dir_;
  qortest::TraceCapture trace_{"ERROR"};
};

TEST_F(SituationRegistryTest, BadLinesAreReportedAndTheOthersLoad) {
  const std::string path = dir_.File("situations.conf");
  qortest::WriteFile(
      path,
      "# situations\n"
      "\n"
      "ssh_login VXLOGENT ENTRYSRC ~ \"sshd\" AND ENTRYDESC ~ \"Failed password\"\n"
      "bad_op VXLOGENT ENTRYSRC = \"sshd\"\n"
      "bad_col VXLOGENT NOSUCH == 1\n"
      "bad_table VXNOPE ENTRYSRC ~ \"x\"\n"
      "quiet_log TVX.VXMONLOG LOGMODDATE < \"-1h\"\r\n"
      "   # indented comment\n"
      "  node\tx7srv.rnodests  \n"
      "ssh_login VXMONLOG LOGTYPE == \"S\"\n"
      "int_text VXLOGENT ENTRYSRC == 5\n"
      "text_int VXLOGENT FREQTHRESH == \"5\"\n"
      "text_op VXMONLOG NUMEVENTS ~ 1\n"
      " bad/name VXLOGENT\n"
      "abcdefghijklmnopqrstuvwxyz012345 VXLOGENT\n"
      "lonely   ");
  std::vector<std::string> problems;
  std::string err;
  EXPECT_FALSE(
      Situation_Registry::Instance().LoadFile(path + ".none", &problems, &err));
  EXPECT_EQ(
      err,
      "cannot read situations file " + path +
          ".none: No such file or directory; the situations are unchanged");
  ASSERT_TRUE(Situation_Registry::Instance().LoadFile(path, &problems, &err))
      << err;
  const std::string at = path + ":";
  EXPECT_EQ(
      problems,
      (std::vector<std::string>{
          at +
              "4: expected an operator (==, !=, >=, <=, <, >, ~, =~) after ENTRYSRC at column 26",
          at +
              "5: unknown column NOSUCH for table TVX.VXLOGENT; expected one of: ORIGINNODE "
              "LOGPATH LOGNAME ENTRYTIME ENTRYSYS ENTRYSRC ENTRYTYPE ENTRYCLASS ENTRYDESC "
              "FREQTHRESH PERIODTHRS TIMESTAMP SAMPLENO ROWNO",
          at +
              "6: unknown table VXNOPE; expected VXLOGENT, VXMONLOG or X7SRV.RNODESTS",
          at + "10: situation ssh_login already exists",
          at + "11: column ENTRYSRC is text; expected a double-quoted value",
          at +
              "12: FREQTHRESH takes >=, <=, < or > and an integer, e.g. FREQTHRESH >= 5",
          at +
              "13: operators ~ and =~ apply to text columns; NUMEVENTS is an integer",
          at +
              "14: expected a situation name of 1 to 31 letters, digits, '_', '-' or '.' at column 2",
          at +
              "15: expected a situation name of 1 to 31 letters, digits, '_', '-' or '.' at column 1",
          at +
              "16: expected a table name after the situation name at column 10",
      }));
  std::vector<std::string> loaded;
  for (const Situation_Info& s : Situation_Registry::Instance().List()) {
    loaded.push_back(s.name + "|" + s.table + "|" + s.condition);
  }
  EXPECT_EQ(
      loaded,
      (std::vector<std::string>{
          "node|X7SRV.RNODESTS|",
          "quiet_log|TVX.VXMONLOG|LOGMODDATE < \"-1h\"",
          "ssh_login|TVX.VXLOGENT|ENTRYSRC ~ \"sshd\" AND ENTRYDESC ~ \"Failed "
          "password\"",
      }));

  // The loaded situation is live: a matching entry becomes one event.
  const std::string events = dir_.File("events.jsonl");
  FILE* sink = fopen(events.c_str(), "w");
  ASSERT_NE(sink, nullptr);
  Event_Sink::Use(sink);
  tvx_vxlogent_data_t rows[2];
  memset(rows, ' ', sizeof rows);
  for (int i = 0; i < 2; ++i) {
    rows[i].freqthresh = rows[i].periodthrs = rows[i].sampleno = 0;
    rows[i].rowno = i;
    SetTextColumn(rows[i].entrydesc, sizeof rows[i].entrydesc,
                  "Failed password for root");
  }
  SetTextColumn(rows[0].entrysrc, sizeof rows[0].entrysrc, "sshd");
  SetTextColumn(rows[1].entrysrc, sizeof rows[1].entrysrc, "cron");
  EXPECT_EQ(tvx_vxlogent_manager::EventArrived(rows, 2), 0u);
  Situation_Registry::Instance().Clear();
  EXPECT_EQ(tvx_vxlogent_manager::EventArrived(rows, 2), 0u);  // no longer live
  Event_Sink::Use(nullptr);
  fclose(sink);
  const std::string text = qortest::ReadFile(events);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find("\"situation\":\"ssh_login\",\"table\":\"TVX.VXLOGENT\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"ENTRYSRC\":\"sshd\""), std::string::npos) << text;
}

}  // namespace

namespace {

// A log-entries row stamped `age` seconds ago.
tvx_vxlogent_data_t EntryRow(const std::string& src, const std::string& desc,
                             long age = 0) {
  tvx_vxlogent_data_t row;
  memset(&row, ' ', sizeof row);
  row.freqthresh = row.periodthrs = row.sampleno = row.rowno = 0;
  GenerateTimestamp(time(nullptr) - age, row.entrytime);
  SetTextColumn(row.entrysrc, sizeof row.entrysrc, src.c_str());
  SetTextColumn(row.entrydesc, sizeof row.entrydesc, desc.c_str());
  return row;
}

// The events written while it lives, one line each, without their time.
class EventCapture {
 public:
  EventCapture() : file_(tmpfile()) { Event_Sink::Use(file_); }
  ~EventCapture() {
    Event_Sink::Use(nullptr);
    fclose(file_);
  }
  std::vector<std::string> Lines() {
    fflush(file_);
    rewind(file_);
    std::vector<std::string> out;
    char buf[8192];
    while (fgets(buf, sizeof buf, file_) != nullptr) {
      std::string line = buf;
      const size_t cut = line.find("\"situation\"");
      out.push_back(cut == std::string::npos ? line : line.substr(cut));
    }
    fseek(file_, 0, SEEK_END);
    return out;
  }

 private:
  FILE* file_;
};

void Offer(tvx_vxlogent_data_t row) {
  tvx_vxlogent_manager::EventArrived(&row, 1);
}

}  // namespace

TEST_F(SituationRegistryTest, PerKeyCountsEachAddressOnItsOwn) {
  Situation_Registry& r = Situation_Registry::Instance();
  std::string err;
  ASSERT_TRUE(r.Add(
      "guess", "VXLOGENT",
      "ENTRYDESC ~ \"Failed password\" AND FREQTHRESH >= 5 AND PERIODTHRS == 60 "
      "PER ENTRYDESC \"from ([0-9a-fA-F.:]+)\"",
      &err))
      << err;
  // A key that no row can have: the situation loads and never counts.
  ASSERT_TRUE(
      r.Add("never", "VXLOGENT",
            "FREQTHRESH >= 1 AND PERIODTHRS == 60 PER ENTRYDESC \"x()\"", &err))
      << err;
  EXPECT_EQ(
      AnswerControlLine("SITUATION LIST"),
      "OK 2\n{\"name\":\"guess\",\"table\":\"TVX.VXLOGENT\",\"condition\":\"ENTRYDESC ~ "
      "\\\"Failed password\\\" AND FREQTHRESH >= 5 AND PERIODTHRS == 60\",\"clauses\":\"PER "
      "ENTRYDESC \\\"from ([0-9a-fA-F.:]+)\\\"\",\"stopped\":false,\"reason\":0,"
      "\"matches\":0,\"events\":0,\"suppressed\":0}\n"
      "{\"name\":\"never\",\"table\":\"TVX.VXLOGENT\",\"condition\":\"FREQTHRESH >= 1 AND "
      "PERIODTHRS == 60\",\"clauses\":\"PER ENTRYDESC \\\"x()\\\"\",\"stopped\":false,"
      "\"reason\":0,\"matches\":0,\"events\":0,\"suppressed\":0}\n");
  EventCapture events;
  for (int i = 1; i <= 5; ++i) {
    Offer(EntryRow(
        "sshd", "Failed password for root from 10.0.0." + std::to_string(i)));
  }
  Offer(EntryRow("sshd", "Failed password for root"));  // no key: not counted
  EXPECT_TRUE(events.Lines().empty());
  for (int i = 1; i <= 5; ++i) {
    Offer(EntryRow("sshd", "Failed password for admin from 10.0.0.7 port 22"));
  }
  const std::vector<std::string> lines = events.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(
      lines[0].find(
          "\"situation\":\"guess\",\"table\":\"TVX.VXLOGENT\",\"key\":\"10.0.0.7\","),
      0u);
}

TEST_F(SituationRegistryTest, KeysPastTheMostAreForgottenAndCounted) {
  std::string err;
  ASSERT_TRUE(Situation_Registry::Instance().Add(
      "few", "VXLOGENT",
      "FREQTHRESH >= 2 AND PERIODTHRS == 60 PER ENTRYDESC \"from ([a-z]+)\" KEYS 2",
      &err))
      << err;
  TableManager* table = TableManager::Find("TVX.VXLOGENT");
  ASSERT_NE(table, nullptr);
  const uint64_t evicted = table->KeysEvicted();
  EventCapture events;
  // "c" makes "a" go, then "a" (counted afresh) makes "b" go.
  for (const char* key : {"a", "b", "c", "a"}) {
    Offer(EntryRow("app", std::string("from ") + key));
  }
  EXPECT_TRUE(events.Lines().empty());
  EXPECT_EQ(table->KeysEvicted() - evicted, 2u);
  Offer(EntryRow("app", "from c"));  // kept: its second event
  const std::vector<std::string> lines = events.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"key\":\"c\","), std::string::npos) << lines[0];
}

TEST_F(SituationRegistryTest, ThrottleCountsWhatItHoldsBack) {
  std::string err;
  ASSERT_TRUE(Situation_Registry::Instance().Add(
      "noisy", "VXLOGENT",
      "ENTRYDESC ~ \"Failed\" PER ENTRYDESC \"from ([0-9.]+)\" THROTTLE 1",
      &err))
      << err;
  EventCapture events;
  Offer(EntryRow("sshd", "Failed from 10.0.0.1"));
  Offer(EntryRow("sshd", "Failed from 10.0.0.2"));  // another key: dispatched
  int held = 0;
  // Within the throttle the events of 10.0.0.1 are counted; once it has
  // passed, the next one is dispatched with that count.
  ASSERT_TRUE(qortest::WaitUntil([&] {
    Offer(EntryRow("sshd", "Failed from 10.0.0.1"));
    ++held;
    return events.Lines().size() >= 3;
  }));
  const std::vector<std::string> lines = events.Lines();
  EXPECT_NE(lines[0].find("\"key\":\"10.0.0.1\","), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("\"key\":\"10.0.0.2\","), std::string::npos)
      << lines[1];
  const std::string held_back =
      held > 1 ? ",\"suppressed\":" + std::to_string(held - 1)
               : "";  // none when the second turned at once
  EXPECT_NE(lines[2].find("\"key\":\"10.0.0.1\"" + held_back + ","),
            std::string::npos)
      << lines[2];
}

TEST_F(SituationRegistryTest, HeldBackCountIsAnnouncedWhenTheThrottleEnds) {
  std::string err;
  ASSERT_TRUE(Situation_Registry::Instance().Add(
      "noisy", "VXLOGENT",
      "ENTRYDESC ~ \"Failed\" PER ENTRYDESC \"from ([0-9.]+)\" THROTTLE 60",
      &err))
      << err;
  EventCapture events;
  TableManager* table = TableManager::Find("TVX.VXLOGENT");
  ASSERT_NE(table, nullptr);
  // One event goes out, the next two are held back, and no further row
  // comes: the sweep announces them once the throttle has ended.
  for (int i = 0; i < 3; ++i) {
    Offer(EntryRow("sshd", "Failed from 10.0.0.1"));
  }
  Offer(EntryRow("sshd", "Failed from 10.0.0.2"));
  const long now = static_cast<long>(time(nullptr));
  EXPECT_EQ(table->AnnounceSuppressed(now), 0u);
  ASSERT_EQ(events.Lines().size(), 2u);
  EXPECT_EQ(table->AnnounceSuppressed(now + 61), 0u);
  std::vector<std::string> lines = events.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2],
            "\"situation\":\"noisy\",\"table\":\"TVX.VXLOGENT\",\"key\":"
            "\"10.0.0.1\",\"suppressed\":2}\n");
  // Said once; the key starts afresh.
  EXPECT_EQ(table->AnnounceSuppressed(now + 200), 0u);
  Offer(EntryRow("sshd", "Failed from 10.0.0.1"));
  lines = events.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3].find(
                "\"situation\":\"noisy\",\"table\":\"TVX.VXLOGENT\",\"key\":"
                "\"10.0.0.1\",\"entrytime\":"),
            0u)
      << lines[3];
}

TEST_F(SituationRegistryTest, HeldBackCountOfAForgottenKeyIsAnnounced) {
  std::string err;
  ASSERT_TRUE(Situation_Registry::Instance().Add(
      "one", "VXLOGENT",
      "ENTRYDESC ~ \"Failed\" PER ENTRYDESC \"from ([0-9.]+)\" KEYS 1 THROTTLE 60",
      &err))
      << err;
  EventCapture events;
  Offer(EntryRow("sshd", "Failed from 10.0.0.1"));
  Offer(EntryRow("sshd", "Failed from 10.0.0.1"));  // held back
  Offer(EntryRow("sshd", "Failed from 10.0.0.2"));  // makes 10.0.0.1 go
  const std::vector<std::string> lines = events.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(
      lines[1],
      "\"situation\":\"one\",\"table\":\"TVX.VXLOGENT\",\"key\":\"10.0.0.1\","
      "\"suppressed\":1}\n");
  EXPECT_NE(lines[2].find("\"key\":\"10.0.0.2\",\"entrytime\""),
            std::string::npos)
      << lines[2];
}

TEST_F(SituationRegistryTest, FrequencyTermsTheSituationCannotApplyAreRefused) {
  const struct {
    const char* condition;
    const char* err;  // "" when it loads
  } cases[] = {
      {"FREQTHRESH == 3 AND PERIODTHRS == 60",
       "FREQTHRESH takes >=, <=, < or > and an integer, e.g. FREQTHRESH >= 5"},
      {"FREQTHRESH >= 3 AND PERIODTHRS >= 60",
       "PERIODTHRS takes == and an integer of seconds, e.g. PERIODTHRS == 60"},
      {"FREQTHRESH >= \"3\" AND PERIODTHRS == 60",
       "FREQTHRESH takes >=, <=, < or > and an integer, e.g. FREQTHRESH >= 5"},
      {"FREQTHRESH < 1 AND PERIODTHRS == 60",
       ""},  // below the minimum: no frequency check
      // One without the other, or no period, would fire on every match.
      {"ENTRYDESC ~ \"x\" AND FREQTHRESH >= 3",
       "FREQTHRESH needs PERIODTHRS, e.g. FREQTHRESH >= 5 AND PERIODTHRS == 60"},
      {"PERIODTHRS == 60 AND ENTRYDESC ~ \"x\"",
       "PERIODTHRS needs FREQTHRESH, e.g. FREQTHRESH >= 5 AND PERIODTHRS == 60"},
      {"FREQTHRESH >= 3 AND PERIODTHRS == 0",
       "PERIODTHRS takes 1 second or more, e.g. PERIODTHRS == 60"},
      {"FREQTHRESH >= 3 AND PERIODTHRS == -5",
       "PERIODTHRS takes 1 second or more, e.g. PERIODTHRS == 60"},
      {"ENTRYSRC ~ \"x\" PER ROWNO \"(.*)\"",
       "PER takes a text column of table TVX.VXLOGENT; expected one of: ORIGINNODE LOGPATH "
       "LOGNAME ENTRYTIME ENTRYSYS ENTRYSRC ENTRYTYPE ENTRYCLASS ENTRYDESC FREQTHRESH PERIODTHRS "
       "TIMESTAMP SAMPLENO ROWNO"},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string err;
    const bool ok = Situation_Registry::Instance().Add(
        "s" + std::to_string(++n), "VXLOGENT", c.condition, &err);
    EXPECT_EQ(ok ? "" : err, c.err) << c.condition;
  }
}

TEST_F(SituationRegistryTest,
       RememberingClausesTheSituationCannotApplyAreRefused) {
  const struct {
    const char* table;
    const char* condition;
    const char* err;  // "" when it loads
  } cases[] = {
      {"VXLOGENT",
       "ENTRYDESC ~ \"opened\" WITHOUT ENTRYDESC ~ \"closed\" WITHIN 30 PER ENTRYDESC \"user ([a-z0-9]+)\"",
       ""},
      {"VXLOGENT",
       "ENTRYDESC ~ \"opened\" WITHOUT VXMONLOG LOGTYPE == \"S\" WITHIN 30",
       "a pair's conditions watch one table: the first watches TVX.VXLOGENT, the second VXMONLOG"},
      {"VXLOGENT", "ENTRYDESC ~ \"a\" THEN NOSUCH == 1 WITHIN 30",
       "second condition: unknown column NOSUCH for table TVX.VXLOGENT; expected one of: "
       "ORIGINNODE LOGPATH LOGNAME ENTRYTIME ENTRYSYS ENTRYSRC ENTRYTYPE ENTRYCLASS ENTRYDESC "
       "FREQTHRESH PERIODTHRS TIMESTAMP SAMPLENO ROWNO"},
      {"VXLOGENT",
       "ENTRYDESC ~ \"a\" THEN ENTRYDESC ~ \"b\" WITHIN 30 PER ENTRYDESC \"user [a-z]+\"",
       "PER ENTRYDESC needs a regular expression with a capture group: with THEN, WITHOUT, "
       "ABSENT or CLEAR the key is what the group captures"},
      {"VXLOGENT", "ENTRYDESC ~ \"a\" CLEAR <= 1 WITHIN 60",
       "CLEAR needs a threshold to clear: FREQTHRESH >= N AND PERIODTHRS == SECONDS"},
      {"VXLOGENT",
       "ENTRYDESC ~ \"a\" AND FREQTHRESH >= 5 AND PERIODTHRS == 60 CLEAR <= 1 WITHIN 60",
       ""},
      {"VXMONLOG", "LOGTYPE == \"S\" ABSENT 60",
       "THEN, WITHOUT, ABSENT and CLEAR apply to VXLOGENT situations, not TVX.VXMONLOG"},
      {"VXLOGENT", "ENTRYDESC ~ \"a\" ABSENT 60 EXPECTED PER ENTRYDESC \"(a)\"",
       "ABSENT ... EXPECTED applies to a situation without PER"},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string err;
    const bool ok = Situation_Registry::Instance().Add(
        "m" + std::to_string(++n), c.table, c.condition, &err);
    EXPECT_EQ(ok ? "" : err, c.err) << c.condition;
  }
}

TEST_F(SituationRegistryTest, ReloadKeepsTheCountsOfUnchangedSituations) {
  const std::string path = dir_.File("situations.conf");
  const std::string twice =
      "twice VXLOGENT ENTRYDESC ~ \"boom\" AND FREQTHRESH >= 2 AND PERIODTHRS == 60\n";
  qortest::WriteFile(path, twice);
  setenv("HOV_SITUATIONS", path.c_str(), 1);
  std::vector<std::string> problems;
  std::string err;
  ASSERT_TRUE(Situation_Registry::Instance().Reload(&problems, &err)) << err;
  EventCapture events;
  Offer(EntryRow("app", "boom"));
  // Unchanged "twice" keeps its count of one; "other" is new.
  qortest::WriteFile(path, twice + "other VXLOGENT ENTRYDESC ~ \"bang\"\n");
  ASSERT_TRUE(Situation_Registry::Instance().Reload(&problems, &err)) << err;
  Offer(EntryRow("app", "boom"));
  ASSERT_EQ(events.Lines().size(), 1u);

  // A file that cannot be read, or is empty by accident, changes nothing.
  const std::string keep = "; the situations are unchanged";
  setenv("HOV_SITUATIONS", dir_.File("missing").c_str(), 1);
  EXPECT_FALSE(Situation_Registry::Instance().Reload(&problems, &err));
  EXPECT_EQ(err, "cannot read situations file " + dir_.File("missing") +
                     ": No such file or directory" + keep);
  setenv("HOV_SITUATIONS", dir_.path().c_str(), 1);
  EXPECT_FALSE(Situation_Registry::Instance().Reload(&problems, &err));
  EXPECT_EQ(err, "cannot read situations file " + dir_.path() +
                     ": Is a directory" + keep);
  qortest::WriteFile(path, "");
  setenv("HOV_SITUATIONS", path.c_str(), 1);
  EXPECT_FALSE(Situation_Registry::Instance().Reload(&problems, &err));
  EXPECT_EQ(err, "situations file " + path +
                     " is empty (0 bytes) while 2 situations are defined" +
                     keep);
  EXPECT_EQ(Situation_Registry::Instance().List().size(), 2u);
  Offer(EntryRow("app", "boom"));
  EXPECT_EQ(events.Lines().size(), 2u);

  // A changed definition starts counting afresh.
  qortest::WriteFile(
      path,
      "twice VXLOGENT ENTRYDESC ~ \"boom\" AND FREQTHRESH >= 2 AND PERIODTHRS == 61\n");
  ASSERT_TRUE(Situation_Registry::Instance().Reload(&problems, &err)) << err;
  EXPECT_EQ(Situation_Registry::Instance().List().size(), 1u);
  Offer(EntryRow("app", "boom"));
  EXPECT_EQ(events.Lines().size(), 2u);
  unsetenv("HOV_SITUATIONS");
}

// Situations picked by the prefilter give the same events, in the same order,
// as every situation evaluated for every row.
TEST_F(SituationRegistryTest, PrefilterGivesTheEventsOfPlainEvaluation) {
  const char* words[] = {"alpha", "beta", "gamma",  "fail", "ok",
                         "sshd",  "cron", "10.0.0", "a",    ""};
  const int kWords = 10;
  unsigned seed = 20261208;
  const auto pick = [&] { return words[rand_r(&seed) % kWords]; };
  std::vector<std::pair<std::string, std::string>>
      situations;  // name, condition
  for (int i = 0; i < 300; ++i) {
    std::string c;
    switch (rand_r(&seed) % 8) {
      case 0:
        c = std::string("ENTRYDESC ~ \"") + pick() + "\"";
        break;
      case 1:
        c = std::string("ENTRYSRC == \"") + pick() + "\"";
        break;
      case 2:
        c = std::string("ENTRYDESC =~ \"") + pick() + "[0-9]+\"";
        break;
      case 3:
        c = std::string("ENTRYDESC ~ \"") + pick() + "\" AND ENTRYSRC ~ \"" +
            pick() + "\"";
        break;
      case 4:
        c = std::string("ENTRYSRC != \"") + pick() + "\"";
        break;
      case 5:
        c = std::string("ENTRYDESC =~ \"^(") + pick() + "|" + pick() +
            ") \" AND ENTRYSRC =~ \"c\"";
        break;
      case 6:
        c = std::string("ENTRYDESC ~ \"") + pick() + " " + pick() +
            "\" AND ENTRYTIME > \"-1h\"";
        break;
      default:
        c = "";
    }
    if (rand_r(&seed) % 3 == 0) {
      c += std::string(c.empty() ? "" : " AND ") +
           "FREQTHRESH >= " + std::to_string(1 + rand_r(&seed) % 3) +
           " AND PERIODTHRS == 600";
    }
    if (rand_r(&seed) % 4 == 0) {
      c += " PER ENTRYDESC \"(alpha|beta|[0-9]+)\"";
    }
    situations.emplace_back("f" + std::to_string(i), c);
  }
  std::vector<tvx_vxlogent_data_t> rows;
  for (int i = 0; i < 600; ++i) {
    std::string desc;
    for (int w = rand_r(&seed) % 5; w >= 0; --w) {
      desc += std::string(pick()) +
              (rand_r(&seed) % 2 ? " " : std::to_string(rand_r(&seed) % 20));
    }
    rows.push_back(EntryRow(pick(), desc, rand_r(&seed) % 30));
  }
  TableManager* table = TableManager::Find("TVX.VXLOGENT");
  const auto run = [&](bool prefilter) {
    Situation_Registry::Instance().Clear();
    table->UsePrefilter(prefilter);
    EventCapture events;
    std::string err;
    for (size_t i = 0; i < situations.size(); ++i) {
      EXPECT_TRUE(Situation_Registry::Instance().Add(
          situations[i].first, "VXLOGENT", situations[i].second, &err))
          << situations[i].second << ": " << err;
    }
    for (size_t r = 0; r < rows.size(); ++r) {
      if (r == 300) {  // changes while rows flow: some go, some come
        for (int i = 0; i < 20; ++i) {
          EXPECT_TRUE(Situation_Registry::Instance().Delete(
              situations[i * 7].first, &err));
          EXPECT_TRUE(Situation_Registry::Instance().Add(
              "late" + std::to_string(i), "VXLOGENT", situations[i * 11].second,
              &err));
        }
      }
      Offer(rows[r]);
    }
    return events.Lines();
  };
  const std::vector<std::string> plain = run(false);
  const std::vector<std::string> picked = run(true);
  EXPECT_GT(plain.size(), 500u);
  EXPECT_EQ(picked, plain);
}

// With few situations the prefilter searches their texts itself, and a row
// that holds the text a situation is decided by is taken without another
// comparison: the same events and counts as plain evaluation, for texts at
// the field's ends, across blanks and NULs, past ASCII, and in other case.
TEST_F(SituationRegistryTest, FewSituationsTakeTheRowsOfPlainEvaluation) {
  const std::vector<std::pair<std::string, std::string>> situations = {
      {"fail", "ENTRYDESC ~ \"fail\""},
      {"gap", "ENTRYDESC ~ \"x y\""},
      {"high", "ENTRYDESC ~ \"\xc3\xa9t\xff\""},
      {"ends", "ENTRYDESC ~ \"end\" AND FREQTHRESH >= 2 AND PERIODTHRS == 600"},
      {"both", "ENTRYDESC ~ \"fail\" AND ENTRYSRC ~ \"sshd\""},
      {"cron", "ENTRYSRC == \"cron\""},
      {"pad", "ENTRYDESC ~ \"tail \""},
  };
  std::vector<tvx_vxlogent_data_t> rows;
  const auto row = [&rows](const char* src, const std::string& desc,
                           char pad = ' ') {
    tvx_vxlogent_data_t r = EntryRow(src, "");
    memset(r.entrydesc, pad, sizeof r.entrydesc);
    memcpy(r.entrydesc, desc.data(), std::min(desc.size(), sizeof r.entrydesc));
    rows.push_back(r);
  };
  const std::string wide(sizeof(tvx_vxlogent_data_t::entrydesc) - 3, 'w');
  for (int round = 0; round < 2; ++round) {
    row("sshd", "fail");
    row("cron", "a fail b");
    row("app", "FAIL");
    row("app", "fai");
    row("app", "x y");
    row("app", "x  y");
    row("app", "x\0y");
    row("app", "xy");
    row("app", "caf\xc3\xa9t\xff!");
    row("app", "\xc3\xa9t");
    row("app", wide + "end");  // full width, no padding
    row("app", wide + "en");
    row("app", "fail\0\0end", '\0');  // NUL padding and NULs inside
    row("app", "tail");
    row("app", "tai l");
    row("sshd", "end tail fail x y");
  }
  TableManager* table = TableManager::Find("TVX.VXLOGENT");
  const auto run = [&](const std::vector<size_t>& set, bool prefilter,
                       std::vector<uint64_t>* matched) {
    Situation_Registry::Instance().Clear();
    table->UsePrefilter(prefilter);
    EventCapture events;
    std::string err;
    for (const size_t i : set) {
      EXPECT_TRUE(Situation_Registry::Instance().Add(
          situations[i].first, "VXLOGENT", situations[i].second, &err))
          << situations[i].second << ": " << err;
    }
    for (const tvx_vxlogent_data_t& r : rows) {
      Offer(r);
    }
    for (const Situation_Info& info : Situation_Registry::Instance().List()) {
      matched->push_back(info.matched);
    }
    return events.Lines();
  };
  // One text on ENTRYDESC (the whole field searched), two (the text
  // searched), more (Hyperscan).
  const std::vector<std::vector<size_t>> sets = {
      {0}, {6}, {3}, {2}, {0, 1}, {2, 3}, {1, 4, 5, 6}, {0, 1, 2, 3, 4, 5, 6}};
  for (const std::vector<size_t>& set : sets) {
    std::vector<uint64_t> plain_matched;
    std::vector<uint64_t> picked_matched;
    const std::vector<std::string> plain = run(set, false, &plain_matched);
    const std::vector<std::string> picked = run(set, true, &picked_matched);
    EXPECT_FALSE(plain.empty()) << set.front();
    EXPECT_EQ(picked, plain) << set.front();
    EXPECT_EQ(picked_matched, plain_matched) << set.front();
  }
}
