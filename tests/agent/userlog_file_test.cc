#include "agent/userlog_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "agent/valid_log.h"
#include "framework/condition.h"
#include "framework/event_sink.h"
#include "framework/table_manager.h"
#include "framework/vandu.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"
#include "tests/testutil.h"

namespace {

// The format of the design's examples: a syslog-like line without a year.
const char kSyslogLike[] =
    "A,\"%3s %d %d:%d:%d %255[^\\n]\",month day hour minute second description";

std::string Pad(const std::string& text, size_t width) {
  std::string s = text.substr(0, width);
  s.resize(width, ' ');
  return s;
}

std::string Column(const char* field, size_t width) {
  return std::string(field, width);
}

std::unique_ptr<Valid_Log> ValidLog(const std::string& line) {
  std::vector<char> record(line.begin(), line.end());
  record.push_back('\0');
  auto valid = std::make_unique<Valid_Log>(USERCONFIG, record.data(), nullptr);
  EXPECT_EQ(valid->Valid, 1) << line;
  return valid;
}

// Runs in UTC so that the time stamps of the fixed clock are the same on
// every host; no log object (and so no worker) outlives a test.
class UserlogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    old_tz_ = had_tz_ ? tz : "";
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    had_tz_ ? setenv("TZ", old_tz_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  static time_t Utc(int year, int mon, int day, int h, int m, int s) {
    struct tm t = {};
    t.tm_year = year - 1900, t.tm_mon = mon - 1, t.tm_mday = day;
    t.tm_hour = h, t.tm_min = m, t.tm_sec = s;
    return timegm(&t);
  }

  // The log at `path` (created when missing) with `command`, built from a
  // configuration line as the log manager builds it. With `gone`, the file
  // is removed before the object starts: the worker compiles the command,
  // fails to open the log and ends at once, leaving a compiled chain and an
  // object that is destroyed without waiting for a poll interval. Returns
  // once the log is watched or its worker has ended.
  std::unique_ptr<Userlog_File> NewLog(const std::string& path,
                                       const std::string& command,
                                       bool gone = false) {
    if (access(path.c_str(), F_OK) != 0) {
      qortest::WriteFile(path, "");
    }
    auto valid = ValidLog(path + " ;N ;U ;" + command);
    if (gone) {
      unlink(path.c_str());
    }
    auto log = std::make_unique<Userlog_File>(*valid, nullptr);
    log->FixedNow = Utc(2026, 6, 15, 12, 34, 56);
    EXPECT_TRUE(qortest::WaitUntil([&] {
      return log->MonitorStatus != MONITOR_RUNNING || log->LogEOF >= 0;
    }));
    return log;
  }
  std::unique_ptr<Userlog_File> Formatter(const std::string& command) {
    auto log = NewLog(dir_.File("formatted"), command, true);
    EXPECT_EQ(log->MonitorStatus.load(), MONITOR_ERR_OPEN) << command;
    return log;
  }

  qortest::Scoped_Temp_Dir dir_;
  bool had_tz_ = false;
  std::string old_tz_;
};

// ---------------------------------------------------------------------------
// Formatting one line

struct FormatCase {
  const char* command;
  std::string line;
  const char* entrytime;  // null: the line is rejected
  std::string sys, src, type, cls, desc;
};

TEST_F(UserlogFileTest, FormatCommandFillsTheEntryColumns) {
  const std::string w40(40, 'w');
  const std::string x300(300, 'x');
  const FormatCase cases[] = {
      {kSyslogLike, "Mar 5 07:08:09 disk full\n", "1260305070809000", "", "",
       "", "", "disk full"},
      // The example configuration's format.
      {"A,\"%d-%d-%d %d:%d:%d %s %[^:]: %200[^\\n]\",year month=\"%02d\" "
       "day=\"%02d\" hour minute second system source description",
       "2024-05-01 10:15:00 host1 sshd[812]: Accepted password\n",
       "1240501101500000", "host1", "sshd[812]", "", "", "Accepted password"},
      // Columns take what fits; no time field gives now with second 00.
      {"A,\"%40s %40s %40s %40s\",type class system source",
       w40 + " " + w40 + " " + w40 + " " + w40, "1260615123400000",
       w40.substr(0, 32), w40.substr(0, 32), w40.substr(0, 16),
       w40.substr(0, 16), ""},
      {"A,\"%300[^\\n]\",description", x300, "1260615123400000", "", "", "",
       "", x300.substr(0, 256)},
      {"A,\"%s %s\",de de=\" %s\"", "first second", "1260615123400000", "", "",
       "", "", "first second"},
      {"A,\"id=%d\",type", "xx=5", nullptr, "", "", "", "", ""},
      {kSyslogLike, "Mar 5 07:08", nullptr, "", "", "", "", ""},
      {kSyslogLike, "\n", nullptr, "", "", "", "", ""},
      {kSyslogLike, "", nullptr, "", "", "", "", ""},
      // Matches, but writes no field.
      {"A,\"%s\",type=\"\"", "word", nullptr, "", "", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command + std::string(" / ") + c.line);
    auto log = Formatter(c.command);
    std::vector<char> line(c.line.begin(), c.line.end());
    line.push_back('\0');
    tvx_vxlogent_data_t row;
    memset(&row, '#', sizeof row);
    if (c.entrytime == nullptr) {
      EXPECT_EQ(log->lfFormatEntryAsRow(line.data(), &row, nullptr), -1);
      EXPECT_EQ(Column(row.entrydesc, 256), Pad("", 256));
      continue;
    }
    ASSERT_EQ(log->lfFormatEntryAsRow(line.data(), &row, nullptr), 0);
    EXPECT_EQ(Column(row.entrytime, 16), c.entrytime);
    EXPECT_EQ(Column(row.entrysys, 32), Pad(c.sys, 32));
    EXPECT_EQ(Column(row.entrysrc, 32), Pad(c.src, 32));
    EXPECT_EQ(Column(row.entrytype, 16), Pad(c.type, 16));
    EXPECT_EQ(Column(row.entryclass, 16), Pad(c.cls, 16));
    EXPECT_EQ(Column(row.entrydesc, 256), Pad(c.desc, 256));
    EXPECT_EQ(Column(row.logpath, 256), Pad(dir_.path() + "/", 256));
    EXPECT_EQ(Column(row.logname, 128), Pad("formatted", 128));
  }
}

struct TimeCase {
  const char* texts[6];  // year, month, day, hour, minute, second
  const char* entrytime;
  const char* message;  // traced at the error level; "" for none
};

// Invalid parts are reported and replaced by now's (2026-06-15 12:34), the
// second by 0.
TEST_F(UserlogFileTest, EntryTimeTextsMakeTheStamp) {
  const TimeCase cases[] = {
      {{"1999", "3", "5", "7", "8", "9"}, "0990305070809000", ""},
      {{"2001", "12", "31", "23", "59", "59"}, "1011231235959000", ""},
      {{"69", "03", "05", "0", "0", "0"}, "1690305000000000", ""},
      {{"70", "Mar", "5", "24", "0", "0"}, "0700305240000000", ""},
      {{"2070", "DEC", "5", "7", "8", "9"}, "1701205070809000", ""},
      {{"", "", "", "", "", ""}, "1260615123400000", ""},
      {{"-5", "3", "5", "7", "8", "9"}, "1260305070809000",
       "\nError: invalid year found in event entrytime; '-5'"},
      {{"99x", "3", "5", "7", "8", "9"}, "1260305070809000",
       "\nError: invalid year found in event entrytime; '99x'"},
      {{"1999", "mar", "5", "7", "8", "9"}, "0990605070809000",
       "\nError: invalid month found in event entrytime; 'mar'"},
      {{"1999", "13", "5", "7", "8", "9"}, "0990605070809000",
       "\nError: invalid month found in event entrytime; '13'"},
      {{"1999", "3x", "5", "7", "8", "9"}, "0990605070809000",
       "\nError: invalid month found in event entrytime; '3x'"},
      {{"1999", "3", "32", "7", "8", "9"}, "0990315070809000",
       "\nError: invalid day found in event entrytime; '32'"},
      {{"1999", "3", "5", "7pm", "8", "9"}, "0990305190809000", ""},
      {{"1999", "3", "5", "7 PM", "8", "9"}, "0990305190809000", ""},
      {{"1999", "3", "5", "11am", "8", "9"}, "0990305110809000", ""},
      // Noon and midnight.
      {{"1999", "3", "5", "12pm", "8", "9"}, "0990305120809000", ""},
      {{"1999", "3", "5", "12am", "8", "9"}, "0990305000809000", ""},
      {{"1999", "3", "5", "0pm", "8", "9"}, "0990305120809000",
       "\nError: invalid hour found in event entrytime; '0pm'"},
      {{"1999", "3", "5", "13pm", "8", "9"}, "0990305120809000",
       "\nError: invalid hour found in event entrytime; '13pm'"},
      {{"1999", "3", "5", "7 xm", "8", "9"}, "0990305120809000",
       "\nError: invalid hour found in event entrytime; '7 xm'"},
      {{"1999", "3", "5", "25", "8", "9"}, "0990305120809000",
       "\nError: invalid hour found in event entrytime; '25'"},
      {{"1999", "3", "5", "7", "60", "9"}, "0990305073409000",
       "\nError: invalid minute found in event entrytime; '60'"},
      {{"1999", "3", "5", "7", "8", "60"}, "0990305070800000",
       "\nError: invalid second found in event entrytime; '60'"},
  };
  auto log = Formatter(kSyslogLike);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.texts[0]) + "|" + c.texts[1] + "|" +
                 c.texts[2] + "|" + c.texts[3] + "|" + c.texts[4] + "|" +
                 c.texts[5]);
    _EntryTimeBuffers times;
    memset(&times, 0, sizeof times);
    char* const parts[] = {times.Year, times.Month,  times.Day,
                           times.Hour, times.Minute, times.Second};
    for (int i = 0; i < 6; ++i) {
      snprintf(parts[i], ENTRYTIMETEXTSIZE, "%s", c.texts[i]);
    }
    log->NumericMonth = 1;
    char stamp[17];
    memset(stamp, '#', sizeof stamp);
    qortest::TraceCapture trace("ERROR");
    ASSERT_EQ(log->ulFormatEntryTime(stamp, &times, nullptr), 0);
    EXPECT_EQ(std::string(stamp, 17), c.entrytime + std::string("#"));
    EXPECT_EQ(trace.Text(), c.message);
  }
}

// After a month name the log tries names first; a number is still taken
// when no name matches, and numbers come first again.
TEST_F(UserlogFileTest, MonthNotationFollowsTheLastMonthRead) {
  auto log = Formatter(kSyslogLike);
  const struct {
    const char* line;
    const char* entrytime;
    int numeric_after;
  } steps[] = {
      {"3 5 07:08:09 a", "1260305070809000", 1},
      {"Mar 5 07:08:09 b", "1260305070809000", 0},
      {"Apr 5 07:08:09 c", "1260405070809000", 0},
      {"3 5 07:08:09 d", "1260305070809000", 1},
      {"mar 5 07:08:09 e", "1260605070809000", 1},
  };
  for (const auto& s : steps) {
    std::string text = s.line;
    tvx_vxlogent_data_t row;
    ASSERT_EQ(log->lfFormatEntryAsRow(&text[0], &row, nullptr), 0) << s.line;
    EXPECT_EQ(Column(row.entrytime, 16), s.entrytime) << s.line;
    EXPECT_EQ(log->NumericMonth.load(), s.numeric_after) << s.line;
  }
}

TEST_F(UserlogFileTest, FormatCommandThatDoesNotCompileStopsTheLogAndReports) {
  qortest::TraceCapture trace("ERROR");
  const std::string path = dir_.File("app.log");
  auto log = NewLog(path, "A,\"%d\",nosuchfield");
  ASSERT_TRUE(qortest::WaitUntil(
      [&] { return log->MonitorStatus == MONITOR_ERR_PARSER; }));
  char status[33] = {};
  log->lfGetMonitorStatus(status, 32);
  EXPECT_STREQ(status, "Error: format command");
  const std::string compile_msg =
      "\nError occurred while interpreting format command for file " + path +
      "; monitoring not started. ";
  EXPECT_EQ(trace.Count(compile_msg), 1u) << trace.Text();
  EXPECT_EQ(log->lfStartReportRequest(nullptr), nullptr);
  EXPECT_TRUE(trace.Contains("\nError: StringParser anchor missing for file " +
                             path + ". Report request terminating. "));
  // A refresh restarts the log, which fails again for the same command.
  auto valid = ValidLog(path + " ;Y ;U ;A,\"%d\",nosuchfield");
  static_cast<Log_File&>(*log) = *valid;
  ASSERT_TRUE(qortest::WaitUntil([&] { return trace.Count(compile_msg) == 2; }));
  ASSERT_TRUE(qortest::WaitUntil(
      [&] { return log->MonitorStatus == MONITOR_ERR_PARSER; }));
}

// ---------------------------------------------------------------------------
// Monitoring

void RegisterTables() {
  if (TableManager::Find("TVX.VXLOGENT") == nullptr) {
    ASSERT_EQ(tvx_vxlogent_init(), 0u);
  }
}

// The text of "KEY":"..." in one JSON line, or "" when absent.
std::string JsonText(const std::string& line, const std::string& key) {
  const std::string open = "\"" + key + "\":\"";
  const size_t at = line.find(open);
  if (at == std::string::npos) {
    return "";
  }
  const size_t from = at + open.size();
  return line.substr(from, line.find('"', from) - from);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos;
       at = nl + 1) {
    lines.push_back(text.substr(at, nl - at));
  }
  return lines;
}

// Appended lines reach the situation while reports format lines of the same
// log on another thread: every row still holds the fields of its own line.
TEST_F(UserlogFileTest, AppendedLinesBecomeEventsWhileReportsRun) {
  ASSERT_NO_FATAL_FAILURE(RegisterTables());
  const std::string events = dir_.File("events.jsonl");
  FILE* sink = fopen(events.c_str(), "w");
  ASSERT_NE(sink, nullptr);
  Event_Sink::Use(sink);
  std::string err;
  vandu* app = HOV_CreateRequest("VXLOGENT", "ENTRYSRC ~ \"app\"",
                                 SAMPLE_SITUATION, "app", &err);
  ASSERT_NE(app, nullptr) << err;
  tvx_vxlogent_static_manager->AddLive(app);

  const std::string path = dir_.File("app.log");
  qortest::WriteFile(path, "05 07:00:00 app before monitoring\n");
  constexpr int kLines = 3000;
  {
    auto log = NewLog(path,
                      "A,\"%d %d:%d:%d %s %[^\\n]\",day hour minute second "
                      "source description");
    qortest::AppendFile(path, "not a line of this format\n");
    std::string burst;
    for (int n = 0; n < kLines; ++n) {
      char line[64];
      snprintf(line, sizeof line, "%02d 07:%02d:%02d app %02d%02d\n",
               1 + n % 28, n / 60 % 60, n % 60, n / 60 % 60, n % 60);
      burst += line;
    }
    std::atomic<bool> done{false};
    std::atomic<int> reported{0};
    std::thread reports([&] {
      while (!done) {
        void* handle = log->lfStartReportRequest(nullptr);
        tvx_vxlogent_data_t row;
        while (handle != nullptr &&
               log->lfGetNextLogEntry(&row, handle, nullptr) == &row) {
          ++reported;
        }
        if (handle != nullptr) {
          log->lfEndReportRequest(&handle);
        }
      }
    });
    qortest::AppendFile(path, burst);
    EXPECT_TRUE(qortest::WaitUntil(
        [&] { return log->NumEvents == kLines + 1; }, std::chrono::seconds(20)));
    done = true;
    reports.join();
    EXPECT_GT(reported.load(), 0);
    EXPECT_EQ(log->NumFormatErrors.load(), 1u);
  }
  tvx_vxlogent_static_manager->RemoveLive(app);
  vandu::Destroy(app);
  Event_Sink::Use(nullptr);
  fclose(sink);

  const std::vector<std::string> rows = Lines(qortest::ReadFile(events));
  ASSERT_EQ(rows.size(), static_cast<size_t>(kLines));
  // Year and month of the fixed clock, the line's day and time, and the
  // line's minute and second again as its description.
  size_t mixed = 0;
  std::string first_mixed;
  for (const std::string& event : rows) {
    const std::string time = JsonText(event, "ENTRYTIME");
    if (time.size() != 16 || time.compare(0, 5, "12606") != 0 ||
        time.compare(7, 2, "07") != 0 ||
        JsonText(event, "ENTRYDESC") != time.substr(9, 4) ||
        JsonText(event, "ENTRYSRC") != "app" ||
        JsonText(event, "LOGNAME") != "app.log") {
      if (mixed++ == 0) {
        first_mixed = event;
      }
    }
  }
  EXPECT_EQ(mixed, 0u) << first_mixed;
  EXPECT_EQ(JsonText(rows.front(), "ENTRYTIME"), "1260601070000000");
}

// ---------------------------------------------------------------------------
// Reports

const char kAll[] = "0000000000000000";
const char kNever[] = "9999999999999999";

// Drives one report as the log-entries table does: "ENTRYTIME ENTRYDESC" of
// each row, newest first.
std::vector<std::string> Report(Userlog_File& log, const char* start,
                                const char* end) {
  _RequestThresholds window;
  snprintf(window.StartTime, sizeof window.StartTime, "%s", start);
  snprintf(window.EndTime, sizeof window.EndTime, "%s", end);
  std::vector<std::string> rows;
  void* handle = log.lfStartReportRequest(&window);
  if (handle == nullptr) {
    return rows;
  }
  tvx_vxlogent_data_t row;
  while (log.lfGetNextLogEntry(&row, handle, &window) == &row) {
    std::string desc(row.entrydesc, 256);
    desc.erase(desc.find_last_not_of(' ') + 1);
    rows.push_back(std::string(row.entrytime, 16) + " " + desc);
  }
  log.lfEndReportRequest(&handle);
  EXPECT_EQ(handle, nullptr);
  return rows;
}

TEST_F(UserlogFileTest, ReportCarriesTheYearBackwardsAcrossNewYear) {
  auto log = Formatter(kSyslogLike);
  qortest::WriteFile(dir_.File("formatted"),
                     "Dec 30 10:00:00 a\n"
                     "Dec 31 23:59:59 b\n"
                     "Jan 1 00:00:00 c\n"
                     "Jan 2 08:00:00 d\n");
  log->FixedNow = Utc(2002, 1, 2, 9, 0, 0);
  EXPECT_EQ(Report(*log, kAll, kNever),
            (std::vector<std::string>{
                "1020102080000000 d", "1020101000000000 c",
                "1011231235959000 b", "1011230100000000 a"}));
  log->FixedNow = Utc(2000, 1, 2, 9, 0, 0);
  EXPECT_EQ(Report(*log, kAll, kNever),
            (std::vector<std::string>{
                "1000102080000000 d", "1000101000000000 c",
                "0991231235959000 b", "0991230100000000 a"}));
  // Years from 2070 on stay in their century.
  log->FixedNow = Utc(2075, 1, 2, 9, 0, 0);
  EXPECT_EQ(Report(*log, kAll, kNever)[3], "1741230100000000 a");
}

TEST_F(UserlogFileTest, ReportWindowAndLinesThatDoNotFormat) {
  qortest::TraceCapture trace("ERROR");
  auto log = Formatter(kSyslogLike);
  const std::string path = dir_.File("formatted");
  std::string ten_bad;
  for (int n = 0; n < 10; ++n) {
    ten_bad += "? not a line of this format\n";
  }
  qortest::WriteFile(path, "Mar 5 09:00:00 A older\n" + ten_bad +
                               "Mar 5 09:40:00 B\n" + ten_bad +
                               "Mar 5 09:45:00 C\n"
                               "Mar 5 10:30:00 D newer\n");
  EXPECT_EQ(Report(*log, "1260305093000000", "1260305100000000"),
            (std::vector<std::string>{"1260305094500000 C",
                                      "1260305094000000 B"}));
  EXPECT_EQ(Report(*log, kAll, kNever).size(), 4u);
  EXPECT_EQ(Report(*log, "", "").size(), 4u);  // empty bounds are open
  EXPECT_FALSE(trace.Contains("consecutive errors"));
  // An eleventh line in a row ends the report.
  qortest::WriteFile(path, "Mar 5 09:00:00 A\n" + ten_bad +
                               "? one more\nMar 5 09:45:00 C\n");
  EXPECT_EQ(Report(*log, kAll, kNever),
            (std::vector<std::string>{"1260305094500000 C"}));
  EXPECT_TRUE(trace.Contains(
      "\nError: more than 10 consecutive errors have occurred while trying "
      "to build report for log " +
      path + ". Report request is terminating."));
}

// "Mar 5 09:MM:SS L<n> " and filler up to `length` characters.
std::string Line(int n, size_t length) {
  char head[64];
  snprintf(head, sizeof head, "Mar 5 09:%02d:%02d L%d ", n / 60 % 60, n % 60,
           n);
  std::string line = head;
  while (line.size() < length) {
    line += static_cast<char>('a' + line.size() % 26);
  }
  return line;
}

// Every line comes back whole, newest first, whatever the block size, as
// long as it is shorter than MAXRECSIZE - 1 and than the block; a longer
// one ends the report, and a block smaller than a line never hangs it.
TEST_F(UserlogFileTest, ReportReturnsWholeLinesAndStopsAtAnOverLongOne) {
  auto log = Formatter("A,\"%3s %d %d:%d:%d %1023[^\\n]\",mo da ho mi se de");
  qortest::TraceCapture trace("ERROR");
  const std::string path = dir_.File("formatted");
  const size_t lengths[] = {2046, 30, 200, 1, 1500, 22, 255, 4000 / 3, 90};
  std::vector<std::string> lines;
  std::string text = "\n";  // an empty first line is not reported
  for (size_t n = 0; n < sizeof lengths / sizeof lengths[0]; ++n) {
    lines.push_back(Line(static_cast<int>(n), lengths[n]));
    text += lines.back() + "\n";
  }
  qortest::WriteFile(path, text);
  std::vector<std::string> expected;
  for (size_t n = lines.size(); n-- > 0;) {
    const std::string desc = lines[n].substr(15, 256);
    expected.push_back("12603050900" + lines[n].substr(12, 2) + "000 " + desc);
    expected.back().erase(expected.back().find_last_not_of(' ') + 1);
  }
  for (uint64_t block : {2048, 2049, 4096, 8192, 65536}) {
    log->OptimumBlockSize = block;
    EXPECT_EQ(Report(*log, kAll, kNever), expected) << block;
  }
  EXPECT_TRUE(trace.Text().empty()) << trace.Text();

  // 2047 characters and the newline: more than a line may hold.
  qortest::WriteFile(path, text + Line(90, 2047) + "\n" + lines[1] + "\n");
  log->OptimumBlockSize = 8192;
  EXPECT_EQ(Report(*log, kAll, kNever),
            (std::vector<std::string>{expected[expected.size() - 2]}));
  EXPECT_TRUE(trace.Contains("\nLine in file " + path +
                             " exceeds 2048 characters. Remaining contents "
                             "ignored."));
  // A block of 64 bytes holds lines of up to 63.
  log->OptimumBlockSize = 64;
  EXPECT_EQ(Report(*log, kAll, kNever),
            (std::vector<std::string>{expected[expected.size() - 2]}));
  EXPECT_TRUE(trace.Contains("\nLine in file " + path +
                             " exceeds 64 characters. Remaining contents "
                             "ignored."));
}

}  // namespace
