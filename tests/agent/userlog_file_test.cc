// Tests of the user-formatted kind (Userlog_File).
#include "agent/kinds/userlog_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "agent/config/valid_log.h"
#include "framework/events/event_sink.h"
#include "framework/situations/condition.h"
#include "framework/tables/request.h"
#include "framework/tables/table_manager.h"
#include "tables/request_thresholds.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"
#include "tests/agent/log_test_kinds.h"
#include "tests/testutil.h"

namespace {

// A syslog-like line without a year.
const char kSyslogLike[] =
    "A,\"%3s %d %d:%d:%d %255[^\\n]\",month day hour minute second description";
const char kAll[] = "0000000000000000";
const char kNever[] = "9999999999999999";

// A text column without its blank fill.
std::string Text(const char* field, size_t width) {
  std::string s(field, width);
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// Drives one report as the log-entries table does: "ENTRYTIME ENTRYDESC" of
// each row, newest first.
std::vector<std::string> Report(Userlog_File& log, const char* start,
                                const char* end) {
  _RequestThresholds window;
  snprintf(window.StartTime, sizeof window.StartTime, "%s", start);
  snprintf(window.EndTime, sizeof window.EndTime, "%s", end);
  std::vector<std::string> rows;
  void* handle = log.lfStartReportRequest(&window);
  tvx_vxlogent_data_t row;
  while (handle != nullptr &&
         log.lfGetNextLogEntry(&row, handle, &window) == &row) {
    rows.push_back(Text(row.entrytime, 16) + " " + Text(row.entrydesc, 256));
  }
  if (handle != nullptr) {
    log.lfEndReportRequest(&handle);
    EXPECT_EQ(handle, nullptr);
  }
  return rows;
}

// Runs in UTC, with the log's clock at 2026-06-15 12:34:56, so that stamps
// are the same on every host; no log object (no worker) outlives a test.
class UserlogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    old_tz_ = tz != nullptr ? tz : "";
    had_tz_ = tz != nullptr;
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

  // The log at `path` with `command`, built from a configuration line as the
  // log manager builds it; returns once it is watched or its worker ended.
  // With `gone` the file is removed first: the worker compiles the command
  // and ends at once (no log), so the object is quick to destroy.
  std::unique_ptr<Userlog_File> NewLog(const std::string& path,
                                       const std::string& command,
                                       bool gone = false) {
    qortest::AppendFile(path, "");
    auto valid = qortest::MakeValidLog(path + " ;N ;U ;" + command);
    EXPECT_EQ(valid->Valid, 1) << command;
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
  // A compiled log on dir_/formatted, which the test may write afterwards.
  std::unique_ptr<Userlog_File> Formatter(const std::string& command) {
    auto log = NewLog(dir_.File("formatted"), command, true);
    EXPECT_EQ(log->MonitorStatus.load(), MONITOR_ERR_OPEN) << command;
    return log;
  }

  qortest::Scoped_Temp_Dir dir_;
  bool had_tz_ = false;
  std::string old_tz_;
};

// The formatting of one line is tested on FormatUserlogLine
// (userlog_line_test.cc); these tests drive the log object.

TEST_F(UserlogFileTest, FormatCommandThatDoesNotCompileStopsTheLogAndReports) {
  qortest::TraceCapture trace("ERROR");
  const std::string path = dir_.File("app.log");
  auto log = NewLog(path, "A,\"%d\",nosuchfield");
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
  static_cast<Log_File&>(*log) =
      *qortest::MakeValidLog(path + " ;Y ;U ;A,\"%d\",nosuch");
  EXPECT_TRUE(qortest::WaitUntil([&] {
    return trace.Count(compile_msg) == 2 &&
           log->MonitorStatus == MONITOR_ERR_PARSER;
  }));
}

// ---------------------------------------------------------------------------
// Monitoring

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

// Appended lines reach the situation while reports format lines of the same
// log on another thread: every row still holds the fields of its own line.
TEST_F(UserlogFileTest, AppendedLinesBecomeEventsWhileReportsRun) {
  if (TableManager::Find("TVX.VXLOGENT") == nullptr) {
    ASSERT_EQ(tvx_vxlogent_init(), 0u);
  }
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
    std::string burst = "not a line of this format\n";
    for (int n = 0; n < kLines; ++n) {
      char line[64];
      snprintf(line, sizeof line, "%02d 07:%02d:%02d app %02d%02d\n",
               1 + n % 28, n / 60 % 60, n % 60, n / 60 % 60, n % 60);
      burst += line;
    }
    std::atomic<bool> done{false};
    std::thread reports([&] {
      while (!done) {
        Report(*log, "", "");
      }
    });
    qortest::AppendFile(path, burst);
    EXPECT_TRUE(qortest::WaitUntil([&] { return log->NumEvents == kLines + 1; },
                                   std::chrono::seconds(20)));
    done = true;
    reports.join();
    EXPECT_EQ(log->NumFormatErrors.load(), 1u);
  }
  tvx_vxlogent_static_manager->RemoveLive(app);
  vandu::Destroy(app);
  Event_Sink::Use(nullptr);
  fclose(sink);

  // The clock's year and month, and the line's minute and second again as
  // the description.
  std::istringstream rows(qortest::ReadFile(events));
  int count = 0;
  int mixed = 0;
  std::string event;
  std::string first_mixed;
  while (std::getline(rows, event)) {
    const std::string time = JsonText(event, "ENTRYTIME");
    if (count++ == 0) {
      EXPECT_EQ(time, "1260601070000000");
    }
    if (time.size() != 16 || time.compare(0, 5, "12606") != 0 ||
        JsonText(event, "ENTRYDESC") != time.substr(9, 4)) {
      first_mixed = mixed++ == 0 ? event : first_mixed;
    }
  }
  EXPECT_EQ(count, kLines);
  EXPECT_EQ(mixed, 0) << first_mixed;
}

// ---------------------------------------------------------------------------
// Reports

TEST_F(UserlogFileTest, ReportCarriesTheYearBackwardsAcrossNewYear) {
  auto log = Formatter(kSyslogLike);
  qortest::WriteFile(dir_.File("formatted"),
                     "Dec 30 10:00:00 a\nDec 31 23:59:59 b\n"
                     "Jan 1 00:00:00 c\nJan 2 08:00:00 d\n");
  log->FixedNow = Utc(2002, 1, 2, 9, 0, 0);
  EXPECT_EQ(
      Report(*log, kAll, kNever),
      (std::vector<std::string>{"1020102080000000 d", "1020101000000000 c",
                                "1011231235959000 b", "1011230100000000 a"}));
  log->FixedNow = Utc(2000, 1, 2, 9, 0, 0);
  EXPECT_EQ(Report(*log, kAll, kNever)[2], "0991231235959000 b");
  log->FixedNow = Utc(2075, 1, 2, 9, 0, 0);  // the century stays
  EXPECT_EQ(Report(*log, kAll, kNever)[2], "1741231235959000 b");
  // A line out of order by days (a device whose clock is behind) moves no
  // year, on either side of a new year.
  qortest::WriteFile(dir_.File("formatted"),
                     "Dec 31 10:00:00 a\nDec 28 23:00:00 b behind\n"
                     "Jan 1 00:10:00 c\nJan 1 00:20:00 d\n"
                     "Dec 29 12:00:00 e behind\nJan 1 08:00:00 f\n");
  log->FixedNow = Utc(2002, 1, 1, 9, 0, 0);
  EXPECT_EQ(Report(*log, kAll, kNever),
            (std::vector<std::string>{
                "1020101080000000 f", "1011229120000000 e behind",
                "1020101002000000 d", "1020101001000000 c",
                "1011228230000000 b behind", "1011231100000000 a"}));
}

TEST_F(UserlogFileTest, ReportWindowAndLinesThatDoNotFormat) {
  auto log = Formatter(kSyslogLike);
  qortest::TraceCapture trace("ERROR");
  const std::string path = dir_.File("formatted");
  std::string ten_bad;
  for (int n = 0; n < 10; ++n) {
    ten_bad += "? not a line of this format\n";
  }
  qortest::WriteFile(path, "Mar 5 09:00:00 A\n" + ten_bad +
                               "Mar 5 09:40:00 B\n" + ten_bad +
                               "Mar 5 09:45:00 C\nMar 5 10:30:00 D\n");
  EXPECT_EQ(
      Report(*log, "1260305093000000", "1260305100000000"),
      (std::vector<std::string>{"1260305094500000 C", "1260305094000000 B"}));
  EXPECT_EQ(Report(*log, "", "").size(), 4u);  // empty bounds are open
  EXPECT_FALSE(trace.Contains("consecutive errors"));
  // A stack trace of any length is skipped; only more than 10,000 lines in
  // a row that do not format end the report.
  std::string many_bad;
  for (int n = 0; n < 10000; ++n) {
    many_bad += "\tat frame " + std::to_string(n) + "\n";
  }
  qortest::WriteFile(path, "Mar 5 09:00:00 A\n" + many_bad +
                               "Mar 5 09:45:00 C\n\nMar 5 09:50:00 unfinished");
  EXPECT_EQ(
      Report(*log, kAll, kNever),
      (std::vector<std::string>{"1260305094500000 C", "1260305090000000 A"}));
  EXPECT_FALSE(trace.Contains("consecutive errors"));
  qortest::WriteFile(
      path, "Mar 5 09:00:00 A\n" + many_bad + "? one more\nMar 5 09:45:00 C\n");
  EXPECT_EQ(Report(*log, kAll, kNever),
            (std::vector<std::string>{"1260305094500000 C"}));
  EXPECT_TRUE(trace.Contains(
      "\nError: more than 10000 consecutive errors have occurred while trying "
      "to build report for log " +
      path + ". Report request is terminating."));
}

// Every line comes back whole, newest first, whatever the block size, as
// long as it is shorter than MAXRECSIZE - 1 characters and than the block;
// a longer one comes back cut, and a block smaller than a line never hangs
// the report.
TEST_F(UserlogFileTest, ReportReturnsWholeLinesAndCutsOverLongOnes) {
  auto log = Formatter("A,\"%3s %d %d:%d:%d %1023[^\\n]\",mo da ho mi se de");
  qortest::TraceCapture trace("ERROR");
  const std::string path = dir_.File("formatted");
  std::string text = "\n";  // an empty first line is not reported
  std::vector<std::string> expected;
  for (size_t length : {2046, 30, 200, 1, 1500, 255, 1333, 90}) {
    // "Mar 5 09:00:SS L<n> " and filler.
    std::string line = "Mar 5 09:00:1" + std::to_string(expected.size()) +
                       " L" + std::to_string(expected.size()) + " ";
    while (line.size() < length) {
      line += static_cast<char>('a' + line.size() % 26);
    }
    text += line + "\n";
    expected.insert(
        expected.begin(),
        "12603050900" + line.substr(12, 2) + "000 " +
            Text(line.c_str() + 15, std::min<size_t>(line.size() - 15, 256)));
  }
  qortest::WriteFile(path, text);
  for (uint64_t block : {2048, 2049, 4096, 8192, 65536}) {
    log->OptimumBlockSize = block;
    EXPECT_EQ(Report(*log, kAll, kNever), expected) << block;
  }
  EXPECT_TRUE(trace.Text().empty()) << trace.Text();

  // 2047 characters and the newline: more than a line may hold.
  qortest::WriteFile(path, text + "Mar 5 09:00:20 " + std::string(2032, 'y') +
                               "\nMar 5 09:00:21 new\n");
  const std::string cut = "1260305090020000 " + std::string(256, 'y');
  log->OptimumBlockSize = 8192;
  std::vector<std::string> rows = Report(*log, kAll, kNever);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[0], "1260305090021000 new");
  EXPECT_EQ(rows[1], cut);
  EXPECT_EQ(rows.size(), expected.size() + 2);
  log->OptimumBlockSize = 64;  // lines cut to 63 bytes
  rows = Report(*log, kAll, kNever);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[0], "1260305090021000 new");
  EXPECT_EQ(rows[1], "1260305090020000 " + std::string(48, 'y'));
  EXPECT_EQ(rows.size(), expected.size() + 2);
  EXPECT_TRUE(trace.Text().empty()) << trace.Text();
}

}  // namespace
