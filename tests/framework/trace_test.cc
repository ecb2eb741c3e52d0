// Tests of the trace facility.
#include "framework/runtime/trace.h"

#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"

namespace {

WEX1_Handle Unit(const char* label) {
  return WEX1_Sync(__FILE__, __DATE__, __TIME__, label);
}

TEST(WEX1Test, ParseLevelsReadsHexOrJoinedNames) {
  const struct {
    const char* text;
    bool ok;
    unsigned levels;
  } cases[] = {
      {"0x91", true, 0x91},
      {"0X0c", true, 0x0C},
      {"0xff", true, 0xFF},
      {"ERROR", true, 0x80},
      {"ERROR,FLOW", true, 0x90},
      {"ENTRY|DETAIL", true, 0x41},
      {"FLOW,ERROR|ENTRY", true, 0xD0},
      {"ALL", true, 0xFF},
      {"", false, 0},
      {"0x", false, 0},
      {"0x100", false, 0},
      {"0xZZ", false, 0},
      {"0x9 1", false, 0},
      {"145", false, 0},
      {"FLOW,", false, 0},
      {",FLOW", false, 0},
      {"ERROR;FLOW", false, 0},
      {"FLOWS", false, 0},
      {"ERROR||FLOW", false, 0},
  };
  for (const auto& c : cases) {
    unsigned levels = 0x5A;
    EXPECT_EQ(WEX1_ParseLevels(c.text, &levels), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(levels, c.ok ? c.levels : 0x5Au) << '"' << c.text << '"';
  }
}

TEST(WEX1Test, ItemsSetEveryUnitOrOneLabel) {
  const WEX1_Handle a = Unit("TESTA");
  const WEX1_Handle a2 = Unit("TESTA");
  const WEX1_Handle b = Unit("TESTB");
  const WEX1_Handle main_unit = WEX1_SyncDefault(
      __FILE__, __DATE__, __TIME__, "TESTMAIN", WEX1_BIT04 | WEX1_BIT08);
  const struct {
    const char* control;
    unsigned a, b, main_unit;
  } cases[] = {
      {nullptr, 0x80, 0x80, 0x0C},
      {"", 0x80, 0x80, 0x0C},
      {"0x91", 0x91, 0x91, 0x91},
      {"TESTA:FLOW|DETAIL", 0x11, 0x80, 0x0C},
      {" \tALL  TESTB:ERROR,ENTRY ", 0xFF, 0xC0, 0xFF},
      {"TESTMAIN:0x04 0x10", 0x10, 0x10, 0x04},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(WEX1_Configure(c.control));
    const std::string what = c.control != nullptr ? c.control : "(unset)";
    EXPECT_EQ(WEX1_Levels(a), c.a) << what;
    EXPECT_EQ(WEX1_Levels(a2), c.a) << what;
    EXPECT_EQ(WEX1_Levels(b), c.b) << what;
    EXPECT_EQ(WEX1_Levels(main_unit), c.main_unit) << what;
  }
  WEX1_Configure("TESTA:FLOW|DETAIL");
  EXPECT_TRUE(WEX1_On(a, WEX1_FLOW));
  EXPECT_TRUE(WEX1_On(a, WEX1_ERROR | WEX1_DETAIL));
  EXPECT_FALSE(WEX1_On(a, WEX1_ERROR));
  // A unit registered after the control was applied gets its levels too.
  EXPECT_EQ(WEX1_Levels(Unit("TESTA")), 0x11u);
  WEX1_Configure(nullptr);
}

TEST(WEX1Test, UnknownItemsAreReportedOnceAndIgnored) {
  const WEX1_Handle a = Unit("TESTA");
  const WEX1_Handle b = Unit("TESTB");
  qortest::TraceCapture trace("ERROR");
  trace.Clear();
  EXPECT_FALSE(WEX1_Configure("BOGUS TESTA:FLOW 0x1FF TESTA:LOUD :FLOW"));
  EXPECT_EQ(WEX1_Levels(a), WEX1_FLOW);
  EXPECT_EQ(WEX1_Levels(b), WEX1_ERROR);
  EXPECT_EQ(trace.Records(),
            (std::vector<std::string>{
                "\nJOP_WEX1: unknown item \"BOGUS\" ignored.",
                "\nJOP_WEX1: unknown item \"0x1FF\" ignored.",
                "\nJOP_WEX1: unknown item \"TESTA:LOUD\" ignored.",
                "\nJOP_WEX1: unknown item \":FLOW\" ignored.",
            }));
}

TEST(WEX1Test, RecordIsHeaderThenTheTextAsGiven) {
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("trace.log");
  std::string err;
  ASSERT_TRUE(WEX1_OpenSink(path.c_str(), &err)) << err;
  WEX1_Printf(Unit("TESTA"), "\nvalue = %d; %s", 42,
              "errno = 2; No such file or directory");
  WEX1_SetSink(nullptr);
  const std::string text = qortest::ReadFile(path);
  EXPECT_TRUE(std::regex_match(
      text, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+ TESTA\])"
                       "\nvalue = 42; errno = 2; No such file or directory\n")))
      << text;
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0137, 0u) << std::oct << st.st_mode;
}

// A rotated trace file is let go of: records go to a new file by the name.
TEST(WEX1Test, ReopenedSinkFollowsTheName) {
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("trace.log");
  std::string err;
  ASSERT_TRUE(WEX1_OpenSink(path.c_str(), &err)) << err;
  WEX1_Printf(Unit("TESTA"), "\nbefore");
  ASSERT_EQ(rename(path.c_str(), dir.File("trace.log.1").c_str()), 0);
  ASSERT_TRUE(WEX1_ReopenSink(&err)) << err;
  WEX1_Printf(Unit("TESTA"), "\nafter");
  WEX1_SetSink(nullptr);
  EXPECT_TRUE(WEX1_ReopenSink(&err));  // a stream given by the caller: nothing
  EXPECT_NE(qortest::ReadFile(dir.File("trace.log.1")).find("before"),
            std::string::npos);
  const std::string now = qortest::ReadFile(path);
  EXPECT_NE(now.find("after"), std::string::npos) << now;
  EXPECT_EQ(now.find("before"), std::string::npos) << now;
}

// A quiet guard holds back this thread's error records, and counts them.
TEST(WEX1Test, QuietHoldsBackErrorRecordsOnly) {
  const WEX1_Handle a = Unit("TESTA");
  qortest::TraceCapture trace("ERROR,FLOW");
  {
    WEX1_Quiet quiet(true);
    WEX1_TRACE(a, WEX1_ERROR, "\nheld");
    WEX1_TRACE(a, WEX1_FLOW, "\nflow");
    EXPECT_EQ(quiet.Held(), 1u);
  }
  {
    WEX1_Quiet loud(false);
    WEX1_TRACE(a, WEX1_ERROR, "\nshown");
    EXPECT_EQ(loud.Held(), 0u);
  }
  EXPECT_EQ(trace.Records(), (std::vector<std::string>{"\nflow", "\nshown"}));
}

TEST(WEX1Test, OverlongRecordIsCutNotOverflowed) {
  const WEX1_Handle a = Unit("TESTA");
  qortest::TraceCapture trace("ERROR");
  std::string big(20000, 'x');
  big[0] = '\n';
  WEX1_Printf(a, "%s|tail", big.c_str());
  const std::vector<std::string> records = trace.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_GE(records[0].size(), 4096u);
  EXPECT_LT(records[0].size(), big.size());
  EXPECT_EQ(records[0], big.substr(0, records[0].size()));
}

TEST(WEX1EventTest, AnnouncesEntryAndExitOnlyWhenEntryLevelIsOn) {
  const WEX1_Handle a = Unit("TESTA");
  qortest::TraceCapture trace("TESTA:ENTRY");
  {
    WEX1_Event ev(a, "Compute");
    EXPECT_EQ(ev.Result(-7), -7);
  }
  { WEX1_Event ev(a, "Plain"); }
  EXPECT_EQ(trace.Records(),
            (std::vector<std::string>{"\nEntry: Compute",
                                      "\nExit: Compute, result = -7",
                                      "\nEntry: Plain", "\nExit: Plain"}));
  trace.Clear();
  WEX1_Configure("TESTA:ERROR|FLOW|DETAIL");
  { WEX1_Event ev(a, "Quiet"); }
  EXPECT_TRUE(trace.Records().empty());
}

}  // namespace

namespace {

TEST(WEX1Test, SyslogPrefixStartsEveryLineWithTheRecordsPriority) {
  const WEX1_Handle h = Unit("TESTPRIO");
  ASSERT_TRUE(WEX1_Configure("TESTPRIO:ALL"));
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  WEX1_SetSink(f);
  WEX1_SetSyslogPrefix(true);
  WEX1_TRACE(h, WEX1_ERROR, "\nbroken %d", 1);
  WEX1_TRACE(h, WEX1_FLOW, "\nflowing\nsecond line");
  WEX1_TRACE(h, WEX1_DETAIL, "\ndetail");
  { WEX1_Event ev(h, "Fn"); }
  WEX1_SetSyslogPrefix(false);
  WEX1_TRACE(h, WEX1_ERROR, "\nplain");
  WEX1_SetSink(nullptr);
  WEX1_Configure(nullptr);
  fclose(f);
  const std::string out = text;
  free(text);
  const std::regex shape(
      "<3>\\[[^\\]]+ TESTPRIO\\] broken 1\n"
      "<6>\\[[^\\]]+ TESTPRIO\\] flowing\n<6>second line\n"
      "<7>\\[[^\\]]+ TESTPRIO\\] detail\n"
      "<7>\\[[^\\]]+ TESTPRIO\\] Entry: Fn\n"
      "<7>\\[[^\\]]+ TESTPRIO\\] Exit: Fn\n"
      "\\[[^\\]]+ TESTPRIO\\]\nplain\n");
  EXPECT_TRUE(std::regex_match(out, shape)) << out;
}

}  // namespace
