// Tests of the syslog line formatting.
#include "agent/kinds/syslog_line.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "parser/entry_year.h"
#include "tables/tvx_vxlogent_schema.h"
#include "tests/testutil.h"

namespace {

std::string Pad(const std::string& text, size_t width) {
  std::string s = text.substr(0, width);
  s.resize(width, ' ');
  return s;
}

struct tm Local(int year, int mon, int day, int h, int m, int s) {
  struct tm t = {};
  t.tm_year = year - 1900, t.tm_mon = mon - 1, t.tm_mday = day;
  t.tm_hour = h, t.tm_min = m, t.tm_sec = s;
  return t;
}

// The zone conversions are checked in a fixed zone five hours behind UTC,
// so that "local" differs from every zone the lines carry but one.
class SyslogLineTest : public ::testing::Test {
 protected:
  // Formats `line` from a heap copy of exactly its length (no terminator),
  // so that a read past its end is caught by the sanitizer build.
  static long Format(const std::string& line, tvx_vxlogent_data_t* row,
                     const struct tm& now = Local(2001, 6, 15, 12, 0, 0)) {
    std::unique_ptr<char[]> copy(new char[line.size() + 1]);
    memcpy(copy.get(), line.data(), line.size());
    return FormatSyslogLine(copy.get(), line.size(), now, row);
  }
  qortest::Scoped_Time_Zone zone_{"EST5"};
};

struct Shape {
  std::string line;
  const char* entrytime;
  std::string entrysys;
  const char* entrysrc;
  std::string entrydesc;
};

TEST_F(SyslogLineTest, BothShapesFormatIntoTheEntryColumns) {
  const std::string h40(40, 'h');
  const std::string x300(300, 'x');
  const Shape shapes[] = {
      // Year-less lines, day blank-padded or not.
      {"Mar  5 07:08:09 myhost sshd[123]: Accepted password\n",
       "1010305070809000", "myhost", "sshd[123]", "Accepted password"},
      {"Mar 5 07:08:09 myhost app: x", "1010305070809000", "myhost", "app",
       "x"},
      {"Mar 15 17:18:19 myhost sshd[123]: Accepted password",
       "1010315171819000", "myhost", "sshd[123]", "Accepted password"},
      {"Dec 31 23:59:59 myhost last message repeated 3 times\n",
       "1001231235959000", "myhost", "", "last message repeated 3 times"},
      {"Jun  1 00:00:00 myhost  sshd: two blanks\n", "1010601000000000",
       "myhost", "", "sshd: two blanks"},
      {"Jun  1 00:00:00 " + h40 + " cron[7]: job\n", "1010601000000000",
       h40.substr(0, 32), "cron[7]", "job"},
      {"Jun  1 00:00:00 h a-source-name-longer-than-32-characters: m\n",
       "1010601000000000", "h", "a-source-name-longer-than-32-cha", "m"},
      {"Jun  1 00:00:00 myhost kernel panic\n", "1010601000000000", "myhost",
       "kernel", "panic"},
      {"Jun  1 00:00:00 h s: " + x300 + "\n", "1010601000000000", "h", "s",
       x300.substr(0, 256)},
      // A CR before the newline ends the line too; a CR alone is text.
      {"Jun  1 00:00:00 h s: dos line\r\n", "1010601000000000", "h", "s",
       "dos line"},
      {"Jun  1 00:00:00 h s: cr\r", "1010601000000000", "h", "s", "cr\r"},
      {"Jun  1 00:00:00 myhost sshd:\n", "1010601000000000", "myhost", "sshd",
       ""},
      {"Jun  1 00:00:00 myhost sshd:x", "1010601000000000", "myhost", "sshd",
       "x"},
      {"Jun  1 00:00:00 myhost", "1010601000000000", "myhost", "", ""},
      {"Jun  1 00:00:00 ", "1010601000000000", "", "", ""},
      // Program names with blanks stay whole before ": " when their last
      // word carries a process id; the words of a tag-less message do not.
      {"Jun  1 00:00:00 mac Microsoft Word[14463]: saved", "1010601000000000",
       "mac", "Microsoft Word[14463]", "saved"},
      {"Jun  1 00:00:00 h kernel eth0 link is down: carrier lost",
       "1010601000000000", "h", "kernel", "eth0 link is down: carrier lost"},
      {"Jun  1 00:00:00 h syslogd 1.4.1: restart.", "1010601000000000", "h",
       "syslogd", "1.4.1: restart."},
      {"Jun  1 00:00:00 h a b[]: m", "1010601000000000", "h", "a", "b[]: m"},
      {"Jun  1 00:00:00 h a [12]: m", "1010601000000000", "h", "a", "[12]: m"},
      {"Jun  1 00:00:00 h a b[1x]: m", "1010601000000000", "h", "a",
       "b[1x]: m"},
      {"Jun  1 00:00:00 h kernel says[7]: " + x300.substr(0, 40) +
           ": late colon",
       "1010601000000000", "h", "kernel says[7]",
       x300.substr(0, 40) + ": late colon"},
      {"Jun  1 00:00:00 h kernel " + x300.substr(0, 40) + ": too far",
       "1010601000000000", "h", "kernel", x300.substr(0, 40) + ": too far"},
      // Zoned lines, converted to local time (five hours behind UTC).
      {"2026-12-08T06:33:07.155123+00:00 myhost sshd[42]: Failed password\n",
       "1261208013307155", "myhost", "sshd[42]", "Failed password"},
      {"2026-12-08T06:33:07Z h s: m", "1261208013307000", "h", "s", "m"},
      {"2026-12-08t06:33:07z h s: m", "1261208013307000", "h", "s", "m"},
      {"2026-12-08 06:33:07Z h s: m", "1261208013307000", "h", "s", "m"},
      {"2026-12-08T07:33:07+01:00 h s: m", "1261208013307000", "h", "s", "m"},
      {"2026-12-08T01:03:07-05:30 h s: m", "1261208013307000", "h", "s", "m"},
      {"2026-12-08T01:33:07-00:00 h s: m", "1261207203307000", "h", "s", "m"},
      {"2027-01-01T04:59:59.999+00:00 h s: m", "1261231235959999", "h", "s",
       "m"},
      {"2024-02-29T12:00:00+14:00 h s: leap day", "1240228170000000", "h", "s",
       "leap day"},
      {"2026-12-08T06:33:07+00:00 h Microsoft Word[1]: saved",
       "1261208013307000", "h", "Microsoft Word[1]", "saved"},
      {"2026-12-08T06:33:07+00:00 h", "1261208013307000", "h", "", ""},
  };
  for (const auto& c : shapes) {
    tvx_vxlogent_data_t row;
    memset(&row, '#', sizeof row);
    ASSERT_EQ(Format(c.line, &row), 0) << c.line;
    EXPECT_EQ(std::string(row.entrytime, 16), c.entrytime) << c.line;
    EXPECT_EQ(std::string(row.entrysys, 32), Pad(c.entrysys, 32)) << c.line;
    EXPECT_EQ(std::string(row.entrysrc, 32), Pad(c.entrysrc, 32)) << c.line;
    EXPECT_EQ(std::string(row.entrydesc, 256), Pad(c.entrydesc, 256)) << c.line;
    EXPECT_EQ(std::string(row.logpath, 256), Pad("", 256)) << c.line;
  }
}

// The host ends at the first of the six spaces wherever it stands, and is
// cut to its column.
TEST_F(SyslogLineTest, HostsOfEveryLengthEndAtAnySpace) {
  for (size_t length = 1; length <= 40; ++length) {
    for (const char space : {' ', '\t', '\n', '\v', '\f', '\r'}) {
      std::string host(length, 'h');
      host[length - 1] = '\xe9';
      tvx_vxlogent_data_t row;
      ASSERT_EQ(
          Format("Jun  1 00:00:00 " + host + space + "src: message text here",
                 &row),
          0);
      EXPECT_EQ(std::string(row.entrysys, sizeof row.entrysys), Pad(host, 32))
          << length << " " << int{space};
      EXPECT_EQ(std::string(row.entrydesc, 7), "message")
          << length << " " << int{space};
    }
  }
}

// The source ends at the first colon or space wherever it stands, and is
// cut to its column; bytes past ASCII are part of it.
TEST_F(SyslogLineTest, SourcesOfEveryLengthEndAtAColonOrAnySpace) {
  for (size_t length = 1; length <= 40; ++length) {
    for (const char stop : {':', ' ', '\t', '\v', '\f', '\r'}) {
      std::string source(length, 's');
      source[length - 1] = '\xe9';
      source[length / 2] = '\x85';
      tvx_vxlogent_data_t row;
      ASSERT_EQ(Format("Jun  1 00:00:00 h " + source + stop + " message", &row),
                0);
      EXPECT_EQ(std::string(row.entrysrc, sizeof row.entrysrc), Pad(source, 32))
          << length << " " << int{stop};
      EXPECT_EQ(std::string(row.entrydesc, 8),
                stop == ':' ? "message " : " message")
          << length << " " << int{stop};
      // A source that runs to the end of the line.
      ASSERT_EQ(Format("Jun  1 00:00:00 h " + source, &row), 0);
      EXPECT_EQ(std::string(row.entrysrc, sizeof row.entrysrc), Pad(source, 32))
          << length;
    }
  }
}

// A line that repeats the stamp kept, or its zoned second and zone with
// other digits, takes what reading its own stamp gives; anything else is
// read again.
TEST_F(SyslogLineTest, MemoRepeatsExactlyWhatTheStampGives) {
  const struct tm now = Local(2026, 12, 8, 2, 0, 0);
  const struct {
    const char* kept;
    const char* line;
    bool repeated;
  } cases[] = {
      {"2026-12-08T06:33:07.155123+00:00 h s: m",
       "2026-12-08T06:33:07.9+00:00 h", true},
      {"2026-12-08T06:33:07.155123+00:00 h s: m",
       "2026-12-08T06:33:07.12+00:00 h", true},
      {"2026-12-08T06:33:07.155123+00:00 h s: m",
       "2026-12-08T06:33:07.155123+00:00 x", true},
      {"2026-12-08T06:33:07.155123+00:00 h s: m",
       "2026-12-08T06:33:07.1234567890+00:00 ", true},
      {"2026-12-08T06:33:07.1z h", "2026-12-08T06:33:07.999999z h", true},
      {"2026-12-08T06:33:07.1z h", "2026-12-08T06:33:07.999999z\th", false},
      {"2026-12-08T06:33:07.155123+00:00 h s: m",
       "2026-12-08T06:33:07.+00:00 h", false},
      {"2026-12-08T06:33:07.155123+00:00 h s: m",
       "2026-12-08T06:33:07.5+01:00 h", false},
      {"2026-12-08T06:33:07.155123+00:00 h s: m",
       "2026-12-08T06:33:07.5+00:00x h", false},
      {"2026-12-08T06:33:07.155123+00:00 h s: m", "2026-12-08T06:33:07.5+00:00",
       false},
      {"2026-12-08T06:33:07.155123+00:00 h s: m",
       "2026-12-08T06:33:08.5+00:00 h", false},
      {"2026-12-08T06:33:07.155123+00:00 h s: m", "2026-12-08T06:33:07Z h",
       false},
      {"2026-12-08T06:33:07Z h", "2026-12-08T06:33:07.5Z h", false},
      {"2026-12-08T06:33:07Z h", "2026-12-08T06:33:07Z x", true},
      {"Dec  8 01:33:07 h s: m", "Dec  8 01:33:07 x", true},
      {"Dec  8 01:33:07 h s: m", "Dec  8 01:33:07\tx", false},
      {"Dec  8 01:33:07 h s: m", "Dec  8 01:33:08 h", false},
  };
  for (const auto& c : cases) {
    char kept[16];
    const char* const after =
        SyslogLineTime(c.kept, c.kept + strlen(c.kept), now, kept);
    ASSERT_NE(after, nullptr) << c.kept;
    Syslog_Stamp_Memo memo;
    memo.Keep(c.kept, static_cast<size_t>(after - c.kept), 7, kept);
    const size_t length = strlen(c.line);
    size_t stamp_length = 0;
    char memo_time[16];
    EXPECT_FALSE(memo.Repeated(c.line, length, 8, &stamp_length, memo_time))
        << c.line;
    ASSERT_EQ(memo.Repeated(c.line, length, 7, &stamp_length, memo_time),
              c.repeated)
        << c.kept << " / " << c.line;
    if (!c.repeated) {
      continue;
    }
    char read_time[16];
    const char* const pos =
        SyslogLineTime(c.line, c.line + length, now, read_time);
    ASSERT_NE(pos, nullptr) << c.line;
    EXPECT_EQ(stamp_length, static_cast<size_t>(pos - c.line)) << c.line;
    EXPECT_EQ(std::string(memo_time, 16), std::string(read_time, 16)) << c.line;
  }
}

TEST_F(SyslogLineTest, FractionsOfZeroToNineDigitsGiveTheMilliseconds) {
  const char* const millis[] = {"000", "100", "120", "123", "123",
                                "123", "123", "123", "123", "123"};
  const std::string digits = "123456789";
  for (size_t n = 0; n <= 9; ++n) {
    const std::string line = "2026-12-08T06:33:07" +
                             (n > 0 ? "." + digits.substr(0, n) : "") +
                             "Z h s: m";
    tvx_vxlogent_data_t row;
    ASSERT_EQ(Format(line, &row), 0) << line;
    EXPECT_EQ(std::string(row.entrytime, 16),
              std::string("1261208013307") + millis[n])
        << line;
  }
}

TEST_F(SyslogLineTest, LinesOfNeitherShapeOrImpossibleTimesAreFormatErrors) {
  for (const char* line : {
           // Neither shape.
           "mar  5 07:08:09 myhost sshd[123]: Accepted password\n",
           "Xyz  5 07:08:09 myhost sshd[123]: Accepted password\n",
           "anF  5 07:08:09 myhost sshd[123]: shifted month letters\n",
           "Mar  5 07:08:0",
           "Mar  5 07:08:0\n",
           "Mar",
           "\n",
           "",
           "Mar  5 07:08:09x h s: m",
           "Mar  5 7:08:09 h s: m",
           "Mar 123 07:08:09 h s: m",
           "a line that is no syslog entry",
           // Impossible year-less dates and times.
           "Mar 32 07:08:09 h s: m",
           "Feb 30 07:08:09 h s: m",
           "Mar  0 07:08:09 h s: m",
           "Mar  5 24:00:00 h s: m",
           "Mar  5 07:60:00 h s: m",
           "Mar  5 07:08:61 h s: m",
           // Malformed or impossible zoned stamps.
           "2026-13-08T06:33:07Z h s: m",
           "2026-00-08T06:33:07Z h s: m",
           "2026-02-29T06:33:07Z h s: m",
           "2026-04-31T06:33:07Z h s: m",
           "2026-12-08T24:00:00Z h s: m",
           "2026-12-08T06:33:07+25:00 h s: m",
           "2026-12-08T06:33:07+01:60 h s: m",
           "2026-12-08T06:33:07+0100 h s",
           "2026-12-08T06:33:07 h s: m",
           "2026-12-08T06:33:07.Z h s: m",
           "2026-12-08T06:33:07Zh s: m",
           "2026-12-08T06:33:07+01:00",
           "2026-12-08X06:33:07Z h s: m",
           "2026-1-08T06:33:07Z h s: m",
           "1800-12-08T06:33:07Z h s: m",
           "9999-12-08T06:33:07Z h s: m",
           "2026-12-08T06:33:07.123",
       }) {
    tvx_vxlogent_data_t row;
    memset(&row, '#', sizeof row);
    EXPECT_EQ(Format(line, &row), -1) << line;
    EXPECT_EQ(std::string(row.entrysys, 32), Pad("", 32)) << line;
    EXPECT_EQ(std::string(row.entrytime, 16), Pad("", 16)) << line;
  }
}

// Two lines of the same instant written in different zones, and the
// year-less line of that local time, get the same ENTRYTIME.
TEST_F(SyslogLineTest, TheSameInstantInAnyZoneHasOneEntryTime) {
  const struct tm now = Local(2026, 12, 8, 2, 0, 0);
  std::string stamps;
  for (const char* line :
       {"2026-12-08T06:33:07Z h s: m", "2026-12-08T12:03:07+05:30 h s: m",
        "2026-12-07T20:33:07-10:00 h s: m", "Dec  8 01:33:07 h s: m"}) {
    tvx_vxlogent_data_t row;
    ASSERT_EQ(Format(line, &row, now), 0) << line;
    EXPECT_EQ(std::string(row.entrytime, 16), "1261208013307000") << line;
  }
}

TEST(EntryYearTest, ADateMoreThanADayAheadOfNowIsLastYears) {
  const struct {
    struct tm now;
    int month, day, hour, minute, second;
    int year;
  } cases[] = {
      // A December line read in early January, and the reverse at midnight.
      {Local(2002, 1, 1, 0, 0, 5), 12, 31, 23, 59, 58, 2001},
      {Local(2002, 1, 1, 0, 0, 5), 1, 1, 0, 0, 1, 2002},
      {Local(2001, 12, 31, 23, 59, 59), 1, 1, 0, 0, 5, 2002},
      // Up to a day ahead is this year's (a clock running ahead), more is
      // last year's.
      {Local(2026, 12, 8, 12, 0, 0), 12, 9, 12, 0, 0, 2026},
      {Local(2026, 12, 8, 12, 0, 0), 12, 9, 12, 0, 1, 2025},
      {Local(2026, 12, 8, 12, 0, 0), 12, 10, 0, 0, 0, 2025},
      {Local(2001, 6, 30, 23, 0, 0), 7, 1, 0, 0, 0, 2001},
      {Local(2001, 6, 30, 23, 0, 0), 7, 2, 0, 0, 0, 2000},
      {Local(2001, 6, 30, 23, 0, 0), 5, 31, 0, 0, 0, 2001},
      {Local(2000, 1, 15, 0, 0, 0), 12, 31, 0, 0, 0, 1999},
      // Leap years count their February 29th.
      {Local(2024, 2, 28, 12, 0, 0), 2, 29, 11, 0, 0, 2024},
      {Local(2024, 3, 1, 12, 0, 0), 2, 29, 11, 0, 0, 2024},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(
        YearOfYearlessDate(c.now, c.month, c.day, c.hour, c.minute, c.second) +
            1900,
        c.year)
        << c.now.tm_year + 1900 << "-" << c.now.tm_mon + 1 << "-"
        << c.now.tm_mday << " " << c.month << "/" << c.day;
  }
}

}  // namespace
