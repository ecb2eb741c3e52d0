// FormatUserlogLine and FormatUserlogEntryTime: one user-formatted line into
// a VXLOGENT row, without a log object or a worker.
#include "agent/kinds/userlog_line.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "parser/string_parser.h"
#include "tests/testutil.h"

namespace {

// A syslog-like line without a year.
const char kSyslogLike[] =
    "A,\"%3s %d %d:%d:%d %255[^\\n]\",month day hour minute second description";

// A text column without its blank fill.
std::string Text(const char* field, size_t width) {
  std::string s(field, width);
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// The entry columns of a row: "ENTRYTIME|SYS|SRC|TYPE|CLASS|DESC".
std::string Entry(const tvx_vxlogent_data_t& r) {
  return Text(r.entrytime, 16) + "|" + Text(r.entrysys, 32) + "|" +
         Text(r.entrysrc, 32) + "|" + Text(r.entrytype, 16) + "|" +
         Text(r.entryclass, 16) + "|" + Text(r.entrydesc, 256);
}

time_t Now() {
  struct tm t = {};
  t.tm_year = 126, t.tm_mon = 5, t.tm_mday = 15;
  t.tm_hour = 12, t.tm_min = 34, t.tm_sec = 56;
  return timegm(&t);
}

// Entry() of `line` through `command`, "" when the line is rejected (the row
// then stays blank); *replaced gets the REPLACED_* bits.
std::string Format(const std::string& command, std::string line,
                   unsigned* replaced = nullptr) {
  StringParser anchor(command.c_str(), KEYWORDS);
  EXPECT_EQ(anchor.ObjectStatus, OBJECT_LEARNED) << command;
  tvx_vxlogent_data_t row;
  memset(&row, '#', sizeof row);
  _UserlogLineContext context = {Now(), 1, nullptr, 0};
  const std::string read = line;
  const long rc = FormatUserlogLine(&anchor, &line[0], &row, &context);
  EXPECT_EQ(line, read);  // the caller's line is left as it was
  if (replaced != nullptr) {
    *replaced = context.Replaced;
  }
  return rc == 0 ? Entry(row) : (Entry(row) == "|||||" ? "" : "not blank");
}

// Runs in UTC (or the zone a test sets) with the clock at 2026-06-15
// 12:34:56 UTC, so that stamps are the same on every host.
class UserlogLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    old_tz_ = had_tz_ ? tz : "";
    Zone("UTC");
  }
  void TearDown() override {
    had_tz_ ? setenv("TZ", old_tz_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  static void Zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

  bool had_tz_ = false;
  std::string old_tz_;
};

struct Line_Case {
  const char* command;
  std::string line;
  std::string entry;  // Entry() of the row; "" when the line is rejected
};

void RunCases(const Line_Case* begin, const Line_Case* end) {
  for (const Line_Case* c = begin; c != end; ++c) {
    EXPECT_EQ(Format(c->command, c->line), c->entry)
        << c->command << " / " << c->line;
  }
}

TEST_F(UserlogLineTest, FormatCommandFillsTheEntryColumns) {
  const std::string w40(40, 'w');
  const std::string x300(300, 'x');
  const Line_Case cases[] = {
      {kSyslogLike, "Mar 5 07:08:09 disk full\n",
       "1260305070809000|||||disk full"},
      // The example configuration's format.
      {"A,\"%d-%d-%d %d:%d:%d %s %[^:]: %200[^\\n]\",year month=\"%02d\" "
       "day=\"%02d\" hour minute second system source description",
       "2024-05-01 10:15:00 host1 sshd[812]: Accepted password\n",
       "1240501101500000|host1|sshd[812]|||Accepted password"},
      // Columns take what fits; no time field gives now with second 00.
      {"A,\"%40s %40s %40s %40s\",type class system source",
       w40 + " " + w40 + " " + w40 + " " + w40,
       "1260615123400000|" + w40.substr(0, 32) + "|" + w40.substr(0, 32) + "|" +
           w40.substr(0, 16) + "|" + w40.substr(0, 16) + "|"},
      {"A,\"%300[^\\n]\",description", x300,
       "1260615123400000|||||" + x300.substr(0, 256)},
      {"A,\"%s %s\",de de=\" %s\"", "first second",
       "1260615123400000|||||first second"},
      {"A,\"id=%d\",type", "xx=5", ""},
      {kSyslogLike, "Mar 5 07:08", ""},
      {kSyslogLike, "\n", ""},
      {"A,\"%s\",type=\"\"", "word", ""},  // matches, but writes no field
  };
  RunCases(std::begin(cases), std::end(cases));
}

const char* const kParts[] = {"year", "month",  "day",
                              "hour", "minute", "second"};

// ENTRYTIME of the six texts, and what was traced at the error level.
std::string Stamp(const char* const (&texts)[6], uint8_t* numeric_month,
                  std::string* traced = nullptr, unsigned* replaced = nullptr) {
  _EntryTimeBuffers times;
  memset(&times, 0, sizeof times);
  char* const parts[] = {times.Year, times.Month,  times.Day,
                         times.Hour, times.Minute, times.Second};
  for (int i = 0; i < 6; ++i) {
    snprintf(parts[i], ENTRYTIMETEXTSIZE, "%s", texts[i]);
  }
  char stamp[17];
  memset(stamp, '#', sizeof stamp);
  qortest::TraceCapture trace("ERROR");
  _UserlogLineContext context = {Now(), *numeric_month, nullptr, 0};
  const long rc = FormatUserlogEntryTime(stamp, &times, &context);
  *numeric_month = context.NumericMonth;
  if (traced != nullptr) {
    *traced = trace.Text();
  }
  if (replaced != nullptr) {
    *replaced = context.Replaced;
  }
  return rc == 0 ? std::string(stamp, 17) : "failed";
}

// Invalid parts are traced, marked as replaced and replaced by now's, the
// second by 0.
TEST_F(UserlogLineTest, EntryTimeTextsMakeTheStamp) {
  const struct {
    const char* texts[6];  // year, month, day, hour, minute, second
    const char* entrytime;
    int invalid;  // the part traced as invalid; -1 for none
  } cases[] = {
      {{"1999", "3", "5", "7", "8", "9"}, "0990305070809000", -1},
      {{"69", "Mar", "05", "0", "0", "0"}, "1690305000000000", -1},
      {{"70", "DEC", "5", "24", "0", "0"}, "0701205240000000", -1},
      {{"2070", "3", "5", "7", "8", "9"}, "1700305070809000", -1},
      {{"", "", "", "", "", ""}, "1260615123400000", -1},
      // Without a year: a date more than a day after now (June 15) is last
      // year's, as in the syslog kind and in reports.
      {{"", "12", "31", "7", "8", "9"}, "1251231070809000", -1},
      {{"", "6", "30", "7", "8", "9"}, "1250630070809000", -1},
      {{"", "6", "16", "7", "8", "9"}, "1260616070809000", -1},
      {{"-5", "3", "5", "7", "8", "9"}, "1260305070809000", 0},
      {{"99", "mar", "5", "7", "8", "9"}, "0990605070809000", 1},
      {{"99", "13", "5", "7", "8", "9"}, "0990605070809000", 1},
      {{"99", "3", "32", "7", "8", "9"}, "0990315070809000", 2},
      {{"99", "3", "5", "7pm", "8", "9"}, "0990305190809000", -1},
      {{"99", "3", "5", "7 PM", "8", "9"}, "0990305190809000", -1},
      {{"99", "3", "5", "12pm", "8", "9"}, "0990305120809000", -1},  // noon
      {{"99", "3", "5", "12am", "8", "9"}, "0990305000809000", -1},
      {{"99", "3", "5", "0pm", "8", "9"}, "0990305120809000", 3},
      {{"99", "3", "5", "13pm", "8", "9"}, "0990305120809000", 3},
      {{"99", "3", "5", "25", "8", "9"}, "0990305120809000", 3},
      {{"99", "3", "5", "7", "60", "9"}, "0990305073409000", 4},
      {{"99", "3", "5", "7", "8", "60"}, "0990305070800000", 5},
  };
  for (const auto& c : cases) {
    uint8_t numeric = 1;
    std::string traced;
    unsigned replaced = 0;
    EXPECT_EQ(Stamp(c.texts, &numeric, &traced, &replaced),
              c.entrytime + std::string("#"))
        << c.texts[0] << "|" << c.texts[1] << "|" << c.texts[3];
    EXPECT_EQ(traced, c.invalid < 0 ? ""
                                    : std::string("\nError: invalid ") +
                                          kParts[c.invalid] +
                                          " found in event entrytime; '" +
                                          c.texts[c.invalid] + "'");
    EXPECT_EQ(replaced, c.invalid < 0 ? 0u : 1u << c.invalid);
  }
  // After a month name, names are tried first; a number is still taken when
  // none matches, and numbers come first again.
  uint8_t numeric = 1;
  EXPECT_EQ(Stamp({"26", "Mar", "5", "7", "8", "9"}, &numeric).substr(0, 5),
            "12603");
  EXPECT_EQ(numeric, 0);
  EXPECT_EQ(Stamp({"26", "3", "5", "7", "8", "9"}, &numeric).substr(0, 5),
            "12603");
  EXPECT_EQ(numeric, 1);
}

// ---------------------------------------------------------------------------
// Mends

// A field without a width takes its whole token; its column keeps what it
// holds, and the cut is traced once per command at the flow level.
TEST_F(UserlogLineTest, FieldWithoutWidthTakesItsWholeToken) {
  const std::string fqdn = "host-with-a-very-long-fqdn.example.internal";
  const std::string ipv6 = "2001:0db8:85a3:0000:0000:8a2e:0370:7334";
  const std::string java = "org.apache.zookeeper.server.quorum.QuorumPeer";
  const Line_Case cases[] = {
      {"A,\"%s %s %s\",sy so de", fqdn + " sshd ok",
       "1260615123400000|" + fqdn.substr(0, 32) + "|sshd|||ok"},
      {"A,\"%[^ ] %s\",so de", ipv6 + " up",
       "1260615123400000||" + ipv6.substr(0, 32) + "|||up"},
      {"A,\"%s %s\",cl de", java + " started",
       "1260615123400000||||" + java.substr(0, 16) + "|started"},
  };
  RunCases(std::begin(cases), std::end(cases));
  qortest::TraceCapture trace("FLOW");
  StringParser anchor("A,\"%s %s\",sy so", KEYWORDS);
  for (int i = 0; i < 2; ++i) {
    std::string line = fqdn + " " + fqdn;
    tvx_vxlogent_data_t row;
    _UserlogLineContext context = {Now(), 1, nullptr, 0};
    EXPECT_EQ(FormatUserlogLine(&anchor, &line[0], &row, &context), 0);
  }
  EXPECT_EQ(trace.Count("\nField system of 43 characters is cut to the 32 its "
                        "column still holds; later cuts of this format "
                        "command are not traced."),
            1u)
      << trace.Text();
  EXPECT_EQ(trace.Count("is cut to the"), 1u);
}

// %Nc never shows the bytes of an earlier line.
TEST_F(UserlogLineTest, CountedCharactersShowOnlyThisLine) {
  StringParser anchor("A,\"%5c\",de", KEYWORDS);
  const std::pair<std::string, std::string> lines[] = {
      {"ABCDEFG", "ABCDE"}, {"XY\n", "XY"}, {"Z", "Z"}, {"12345\r\n", "12345"}};
  for (const auto& l : lines) {
    std::string line = l.first;
    tvx_vxlogent_data_t row;
    _UserlogLineContext context = {Now(), 1, nullptr, 0};
    EXPECT_EQ(FormatUserlogLine(&anchor, &line[0], &row, &context), 0);
    EXPECT_EQ(Text(row.entrydesc, 256), l.second) << l.first;
  }
}

// The final newline, and a CR before it, belong to no field.
TEST_F(UserlogLineTest, LineEndBelongsToNoField) {
  const char kRest[] = "A,\"%d %[^\\n]\",ye de";
  const char kAll[] = "A,\"%d %255c\",ye de";
  const Line_Case cases[] = {
      {kRest, "2024 disk full\n", "1240615123400000|||||disk full"},
      {kRest, "2024 disk full\r\n", "1240615123400000|||||disk full"},
      {kAll, "2024 disk full\r\n", "1240615123400000|||||disk full"},
      {kAll, "2024 disk full\r", "1240615123400000|||||disk full\r"},
      {kRest, "2024 a\r\rb\r\n", "1240615123400000|||||a\r\rb"},
      {kRest, "2024 \r\n", ""},
  };
  RunCases(std::begin(cases), std::end(cases));
  std::string line = "x\r\n";
  EXPECT_EQ(CutLineEnd(&line[0]), 1u);
  EXPECT_STREQ(line.c_str(), "x");
}

// ---------------------------------------------------------------------------
// The time directives and the optional part

TEST_F(UserlogLineTest, IsoStampIsConvertedToLocalTime) {
  const char kIso[] = "A,\"%T %[^\\n]\",time description";
  const Line_Case cases[] = {
      {kIso, "2024-03-15T10:15:00Z up", "1240315101500000|||||up"},
      {kIso, "2024-03-15T10:15:00.123+01:00 up", "1240315091500123|||||up"},
      {kIso, "2024-03-15 10:15:00,747 up", "1240315101500747|||||up"},
      {kIso, "2024-03-15T10:15:00.5-0130 up", "1240315114500500|||||up"},
      {kIso, "2024-03-15t23:30:00.123456789+14:00 up",
       "1240315093000123|||||up"},
      {kIso, "2024-12-31T23:30:00-14:00 up", "1250101133000000|||||up"},
      {kIso, "2024-02-29T00:00:00+05 up", "1240228190000000|||||up"},
      {kIso, "2016-12-31T23:59:60Z up", "1161231235959000|||||up"},
      // Format errors: the line does not match.
      {kIso, "2024-03-15T10:15:00+14:01 up", ""},
      {kIso, "2024-03-15T10:15:00-15:00 up", ""},
      {kIso, "2024-03-15T10:15:00.1234567890Z up", ""},
      {kIso, "2023-02-29T10:15:00Z up", ""},
      {kIso, "2024-13-01T10:15:00Z up", ""},
      {kIso, "2024-03-15T24:00:00Z up", ""},
      {kIso, "2024-03-15T10:15Z up", ""},
      {kIso, "15/Mar/2024:10:15:00 up", ""},
  };
  RunCases(std::begin(cases), std::end(cases));
  // Local time is the host's: two hours east of UTC here.
  Zone("XXX-02");
  EXPECT_EQ(Format(kIso, "2024-03-15T10:15:00Z up"), "1240315121500000|||||up");
  EXPECT_EQ(Format(kIso, "2024-03-15T10:15:00 up"), "1240315101500000|||||up");
}

TEST_F(UserlogLineTest, EpochSecondsOrMillisecondsAreTheEntryTime) {
  const Line_Case cases[] = {
      {"A,\"%E %s\",ti de", "1710497700 up", "1240315101500000|||||up"},
      {"A,\"%E %s\",ti de", "1710497700.25 up", "1240315101500250|||||up"},
      {"A,\"[%Q] %s\",ti de", "[1710497700123] up", "1240315101500123|||||up"},
      {"A,\"%E %s\",ti de", "-5 up", ""},
      {"A,\"%E %s\",ti de", "x up", ""},
      {"A,\"%Q %s\",ti de", "1234567890123456 up", ""},
  };
  RunCases(std::begin(cases), std::end(cases));
}

TEST_F(UserlogLineTest, FractionFieldIsKeptAsTheMillisecond) {
  const char kLog4j[] =
      "A,\"%d-%d-%d %d:%d:%d,%[0-9] %s\",ye mo da ho mi se fraction de";
  const Line_Case cases[] = {
      {kLog4j, "2012-04-06 17:41:44,747 up", "1120406174144747|||||up"},
      {kLog4j, "2012-04-06 17:41:44,7 up", "1120406174144700|||||up"},
      {kLog4j, "2012-04-06 17:41:44,000123456 up", "1120406174144000|||||up"},
  };
  RunCases(std::begin(cases), std::end(cases));
  unsigned replaced = 0;
  EXPECT_EQ(Format(kLog4j, "2012-04-06 17:41:44,1234567890 up", &replaced),
            "1120406174144000|||||up");
  EXPECT_EQ(replaced, REPLACED_FRACTION);
  EXPECT_EQ(Format("A,\"%s %s\",ti de", "yesterday up", &replaced),
            "1260615123400000|||||up");
  EXPECT_EQ(replaced, REPLACED_TIME);
}

// A zone field converts a full date and time to local time; an invalid zone
// is marked and the time kept as written.
TEST_F(UserlogLineTest, ZoneFieldConvertsTheTimeToLocalTime) {
  const char kAccess[] =
      "A,\"[%d/%3s/%d:%d:%d:%d %[^]]] %s\",da mo ye ho mi se zo de";
  const Line_Case cases[] = {
      {kAccess, "[15/Mar/2024:10:15:00 +0100] up", "1240315091500000|||||up"},
      {kAccess, "[15/Mar/2024:00:15:00 +01:30] up", "1240314224500000|||||up"},
      {kAccess, "[15/Mar/2024:23:15:00 -0500] up", "1240316041500000|||||up"},
      {kAccess, "[15/Mar/2024:10:15:00 Z] up", "1240315101500000|||||up"},
      {kAccess, "[15/Mar/2024:10:15:00 GMT] up", "1240315101500000|||||up"},
  };
  RunCases(std::begin(cases), std::end(cases));
  for (const char* zone : {"+1500", "+01:60", "CET", "+1"}) {
    unsigned replaced = 0;
    EXPECT_EQ(
        Format(kAccess, std::string("[15/Mar/2024:10:15:00 ") + zone + "] up",
               &replaced),
        "1240315101500000|||||up")
        << zone;
    EXPECT_EQ(replaced, REPLACED_ZONE) << zone;
  }
}

TEST_F(UserlogLineTest, OptionalPartMayBeMissing) {
  const char kPid[] = "A,\"%s %[^[:]%{[%d]%}: %[^\\n]\",sy so ty de";
  const char kFrac[] = "A,\"%d:%d:%d%{.%[0-9]%} %[^\\n]\",ho mi se fr de";
  const Line_Case cases[] = {
      {kPid, "h1 sshd[812]: ok", "1260615123400000|h1|sshd|812||ok"},
      {kPid, "h1 kernel: ok", "1260615123400000|h1|kernel|||ok"},
      {kPid, "h1 sshd[x]: ok", ""},
      {kFrac, "17:41:44.747 ok", "1260615174144747|||||ok"},
      {kFrac, "17:41:44 ok", "1260615174144000|||||ok"},
      // An optional part first, and one that is the whole line.
      {"A,\"%{<%d>%}%s\",ty de", "<13>up", "1260615123400000|||13||up"},
      {"A,\"%{<%d>%}%s\",ty de", "up", "1260615123400000|||||up"},
      {"A,\"%s%{ %d%}\",de ty", "up", "1260615123400000|||||up"},
      {"A,\"%{%d%}\",ty", "x", ""},
  };
  RunCases(std::begin(cases), std::end(cases));
}

TEST_F(UserlogLineTest, UpToSeparatorStopsAtItsLastPlace) {
  const Line_Case cases[] = {
      {"A,\"%r - %[^\\n]\",so de", "my - app - disk full",
       "1260615123400000||my - app|||disk full"},
      {"A,\"%r - %[^\\n]\",so de", "app - x", "1260615123400000||app|||x"},
      {"A,\"%s %r: %[^\\n]\",sy so de", "h a b: c: d",
       "1260615123400000|h|a b: c|||d"},
      {"A,\"%r - %[^\\n]\",so de", "no separator", ""},
      {"A,\"%r - %[^\\n]\",so de", " - starts with it", ""},
  };
  RunCases(std::begin(cases), std::end(cases));
}

TEST_F(UserlogLineTest, BadUsesOfTheNewDirectivesAreRefused) {
  const struct {
    const char* command;
    const char* message;
  } cases[] = {
      {"A,\"%s %{%} %s\",sy de",
       "\nError: the optional part at column 4 of the scan format holds no "
       "directive."},
      {"A,\"%s%{ abc %}\",sy",
       "\nError: the optional part at column 3 of the scan format holds no "
       "directive."},
      {"A,\"%{%d%{%d%}%}\",ye mo",
       "\nError: the optional part at column 5 of the scan format lies inside "
       "another one."},
      {"A,\"%s%{%d\",sy ye",
       "\nError: the optional part at column 3 of the scan format is not "
       "closed with %}."},
      {"A,\"%s%}\",sy",
       "\nError: the %} at column 3 of the scan format closes no optional "
       "part."},
      {"A,\"%r\",de",
       "\nError: directive #1 (%r) is not followed by a separator text and a "
       "directive."},
      {"A,\"%r%s\",so de",
       "\nError: directive #1 (%r) is not followed by a separator text and a "
       "directive."},
      {"A,\"%5T\",ti",
       "\nInvalid convcode or receiving variable size specified for code T."},
      {"A,\"%lE\",ti",
       "\nInvalid convcode or receiving variable size specified for code E."},
      {"A,\"%*{%d%}\",ye",
       "\nInvalid convcode or receiving variable size specified for code {."},
  };
  for (const auto& c : cases) {
    qortest::TraceCapture trace("ERROR");
    StringParser anchor(c.command, KEYWORDS);
    EXPECT_NE(anchor.ObjectStatus, OBJECT_LEARNED) << c.command;
    EXPECT_TRUE(trace.Contains(c.message)) << c.command << trace.Text();
  }
}

}  // namespace
