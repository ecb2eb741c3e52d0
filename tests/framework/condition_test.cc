#include "framework/condition.h"

#include <regex.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/event_sink.h"
#include "framework/situation_registry.h"
#include "tables/table_schema.h"
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
  regex_t re;
  const int rc = regcomp(&re, "a(", REG_EXTENDED | REG_NOSUB);
  char regcomp_msg[256];
  regerror(rc, &re, regcomp_msg, sizeof regcomp_msg);
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
       std::string("bad regular expression at column 14: ") + regcomp_msg},
  };
  for (const auto& c : cases) {
    std::vector<Threshold_Spec> specs;
    std::string err;
    EXPECT_FALSE(ParseCondition(c.text, &specs, &err)) << c.text;
    EXPECT_EQ(err, c.err) << c.text;
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
  EXPECT_EQ(err, "cannot read situations file " + path + ".none");
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
          at + "12: column FREQTHRESH is an integer; expected a numeric value",
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
