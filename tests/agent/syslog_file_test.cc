// Tests of the syslog kind (Syslog_File).
#include "agent/kinds/syslog_file.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/config/valid_log.h"
#include "agent/kinds/syslog_line.h"
#include "agent/tvxmain.h"
#include "framework/events/event_sink.h"
#include "framework/situations/condition.h"
#include "framework/tables/request.h"
#include "framework/tables/table_manager.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"
#include "tests/testutil.h"

namespace {

std::string Pad(const std::string& text, size_t width) {
  std::string s = text.substr(0, width);
  s.resize(width, ' ');
  return s;
}

std::string Column(const char* field, size_t width) {
  return std::string(field, width);
}

// An object for the log at `path` exactly as the log manager builds it; its
// worker starts at once and is joined when the object is destroyed.
std::unique_ptr<Syslog_File> NewLog(const std::string& path) {
  std::vector<char> record(path.begin(), path.end());
  record.push_back('\0');
  Valid_Log valid(USERCONFIG, record.data(), nullptr);
  EXPECT_EQ(valid.Valid, 1) << path;
  return std::make_unique<Syslog_File>(valid, nullptr);
}

// Runs in UTC so that the time stamps of the fixed clock are the same on
// every host; no log object (and so no worker) outlives a test.
class SyslogFileTest : public ::testing::Test {
 protected:
  static time_t Utc(int year, int mon, int day, int h, int m, int s) {
    struct tm t = {};
    t.tm_year = year - 1900, t.tm_mon = mon - 1, t.tm_mday = day;
    t.tm_hour = h, t.tm_min = m, t.tm_sec = s;
    return timegm(&t);
  }
  // Formats `line` from a heap copy of exactly its length, so that a read
  // past its terminator is caught by the sanitizer build.
  static long Format(Syslog_File& log, const std::string& line,
                     tvx_vxlogent_data_t* row, void* report = nullptr) {
    std::unique_ptr<char[]> copy(new char[line.size() + 1]);
    memcpy(copy.get(), line.c_str(), line.size() + 1);
    return log.lfFormatEntryAsRow(copy.get(), row, report);
  }

  qortest::Scoped_Temp_Dir dir_;
  qortest::Scoped_Time_Zone zone_{"UTC"};
};

// ---------------------------------------------------------------------------
// Formatting one line while monitoring (the line shapes themselves are
// tested on FormatSyslogLine)

// The log object dates a year-less line against its clock and adds the
// columns of the log.
TEST_F(SyslogFileTest, MonitoredLineTakesTheYearOfTheClockAndTheLogColumns) {
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path, "");
  auto log = NewLog(path);
  const struct {
    time_t now;
    const char* line;
    const char* entrytime;
  } cases[] = {
      {Utc(2002, 1, 1, 0, 0, 5), "Dec 31 23:59:58 h s: m\n",
       "1011231235958000"},
      {Utc(2002, 1, 1, 0, 0, 5), "Jan  1 00:00:01 h s: m\n",
       "1020101000001000"},
      {Utc(2026, 12, 8, 6, 0, 0), "Dec 10 00:00:00 h s: m\n",
       "1251210000000000"},
  };
  for (const auto& c : cases) {
    log->FixedNow = c.now;
    tvx_vxlogent_data_t row;
    ASSERT_EQ(Format(*log, c.line, &row), 0) << c.line;
    EXPECT_EQ(Column(row.entrytime, 16), c.entrytime) << c.line;
    EXPECT_EQ(Column(row.logpath, 256), Pad(dir_.path() + "/", 256));
    EXPECT_EQ(Column(row.logname, 128), Pad("messages", 128));
  }
  tvx_vxlogent_data_t row;
  EXPECT_EQ(Format(*log, "no syslog line\n", &row), -1);
}

// A line that opens with the stamp of the line before takes its ENTRYTIME
// from that line while the clock stays in the same second: every row is the
// row a fresh parse of the line makes, whatever the clock, the rest of the
// line or the system name do meanwhile. TIMESTAMP (the real clock) aside.
TEST_F(SyslogFileTest, RepeatedStampsGiveTheRowsOfAFreshParse) {
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path, "");
  auto log = NewLog(path);
  const time_t new_year_eve = Utc(2026, 12, 31, 23, 59, 59);
  const time_t june = Utc(2026, 6, 1, 12, 0, 0);
  char other_system[] = "othernode:TVX";
  const struct {
    time_t now;
    const char* line;
    const char* entrytime;  // null: no row
    bool other_system;
  } cases[] = {
      {new_year_eve, "Jan  1 00:00:30 h a: x\n", "1270101000030000", false},
      {new_year_eve, "Jan  1 00:00:30 other src[1]: y z\n", "1270101000030000",
       false},
      {june, "Jan  1 00:00:30 h a: x\n", "1260101000030000", false},
      {june, "Jan  1 00:00:30 ", "1260101000030000", false},
      {june, "Jan  1 00:00:30 h a: x\r\n", "1260101000030000", true},
      {june, "Jan  1 00:00:30x h a: x\n", nullptr, false},
      {june, "Jan  1 00:00:3", nullptr, false},
      {june, "2026-03-29T01:30:00.5+02:00 h s: m\n", "1260328233000500", false},
      {june, "2026-03-29T01:30:00.5+02:00 h2 s2[7]: m m\n", "1260328233000500",
       true},
      {june, "2026-03-29T01:30:00.25+02:00 h3 s3: n\n", "1260328233000250",
       false},
      {june, "2026-03-29T01:30:00.2+02:00 h4 s4: o\n", "1260328233000200",
       true},
      {new_year_eve, "2026-03-29T01:30:00.5+02:00 h s: m\n", "1260328233000500",
       false},
  };
  char* const saved_name = gSystemName;
  const int saved_length = gSystemNameLength;
  for (const auto& c : cases) {
    log->FixedNow = c.now;
    if (c.other_system) {
      gSystemName = other_system;
      gSystemNameLength = static_cast<int>(strlen(other_system));
    }
    tvx_vxlogent_data_t row;
    const long rc = Format(*log, c.line, &row);
    tvx_vxlogent_data_t fresh;
    struct tm now = {};
    ASSERT_NE(localtime_r(&c.now, &now), nullptr);
    const long fresh_rc = FormatSyslogLine(c.line, strlen(c.line), now, &fresh);
    log->lfFillCommonColumns(&fresh);
    gSystemName = saved_name;
    gSystemNameLength = saved_length;
    if (c.entrytime == nullptr) {
      EXPECT_EQ(rc, -1) << c.line;
      EXPECT_EQ(fresh_rc, -1) << c.line;
      continue;
    }
    ASSERT_EQ(rc, 0) << c.line;
    ASSERT_EQ(fresh_rc, 0) << c.line;
    EXPECT_EQ(Column(row.entrytime, 16), c.entrytime) << c.line;
    EXPECT_EQ(Column(row.originnode, 64),
              Pad(c.other_system ? other_system
                                 : (saved_name != nullptr ? saved_name : ""),
                  64))
        << c.line;
    const size_t stamp = offsetof(tvx_vxlogent_data_t, timestamp);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&row), stamp),
              std::string(reinterpret_cast<const char*>(&fresh), stamp))
        << c.line;
    EXPECT_EQ(row.sampleno, 0);
    EXPECT_EQ(row.rowno, 0);
  }
}

// ---------------------------------------------------------------------------
// Monitoring: appended lines reach the situations

void RegisterTables() {
  if (TableManager::Find("TVX.VXLOGENT") == nullptr) {
    ASSERT_EQ(tvx_vxlogent_init(), 0u);
  }
}

TEST_F(SyslogFileTest, AppendedLineReachesASituationWithinASecond) {
  ASSERT_NO_FATAL_FAILURE(RegisterTables());
  qortest::TraceCapture trace("ERROR");
  const std::string events = dir_.File("events.jsonl");
  FILE* sink = fopen(events.c_str(), "w");
  ASSERT_NE(sink, nullptr);
  Event_Sink::Use(sink);
  std::string err;
  vandu* ssh = HOV_CreateRequest("VXLOGENT", "ENTRYSRC ~ \"sshd\"",
                                 SAMPLE_SITUATION, "ssh", &err);
  ASSERT_NE(ssh, nullptr) << err;
  tvx_vxlogent_static_manager->AddLive(ssh);

  const std::string path = dir_.File("messages");
  qortest::WriteFile(path,
                     "Mar  5 07:08:09 myhost sshd[1]: before monitoring\n");
  {
    auto log = NewLog(path);
    ASSERT_TRUE(qortest::WaitUntil([&] { return log->LogEOF >= 0; }));
    qortest::AppendFile(path,
                        "Xyz  5 07:08:09 myhost sshd[2]: not a syslog line\n");
    qortest::AppendFile(path, "Mar  5 07:08:10 myhost cron[3]: no match\n");
    qortest::AppendFile(path,
                        "Mar  5 07:08:11 myhost sshd[4]: Accepted password\n");
    ASSERT_TRUE(qortest::WaitUntil(
        [&] {
          return qortest::ReadFile(events).find("Accepted password") !=
                 std::string::npos;
        },
        std::chrono::seconds(5)));
    ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents == 3; }));
    EXPECT_EQ(log->NumFormatErrors.load(), 1u);
  }
  tvx_vxlogent_static_manager->RemoveLive(ssh);
  vandu::Destroy(ssh);
  Event_Sink::Use(nullptr);
  fclose(sink);

  const std::string text = qortest::ReadFile(events);
  EXPECT_EQ(text.find("before monitoring"), std::string::npos);
  EXPECT_EQ(text.find("no match"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find(R"("situation":"ssh","table":"TVX.VXLOGENT")"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(R"("ENTRYSYS":"myhost","ENTRYSRC":"sshd[4]")"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(R"("LOGNAME":"messages")"), std::string::npos) << text;
  EXPECT_TRUE(trace.Text().empty()) << trace.Text();
}

// A zoned stamp takes the local time of its instant on either side of a
// daylight-saving change, also when the line before carried it.
TEST_F(SyslogFileTest, ZonedStampsAroundDaylightSavingChanges) {
  const qortest::Scoped_Time_Zone cet("CET-1CEST,M3.5.0,M10.5.0/3");
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path, "");
  auto log = NewLog(path);
  log->FixedNow = Utc(2026, 7, 1, 10, 11, 12);
  const struct {
    const char* stamp;
    const char* entrytime;
  } cases[] = {
      {"2026-03-29T00:59:59Z", "1260329015959000"},
      {"2026-03-29T01:00:00Z", "1260329030000000"},
      {"2026-03-29T03:30:00.25+02:00", "1260329033000250"},
      {"2026-10-25T00:59:59Z", "1261025025959000"},
      {"2026-10-25T01:00:00Z", "1261025020000000"},
      {"2026-10-25T02:30:00+01:00", "1261025023000000"},
  };
  for (const auto& c : cases) {
    for (const char* rest : {" h s: first\n", " h s: again\n"}) {
      const std::string line = std::string(c.stamp) + rest;
      tvx_vxlogent_data_t row;
      ASSERT_EQ(Format(*log, line, &row), 0) << line;
      EXPECT_EQ(Column(row.entrytime, 16), c.entrytime) << line;
    }
  }
}

// The worker formats every line into one row: a line keeps nothing of the
// longer line before it, also when both carry one time stamp, and a line
// that does not format in between changes nothing of the rows after it.
TEST_F(SyslogFileTest, EachMonitoredRowHoldsOnlyItsOwnLine) {
  ASSERT_NO_FATAL_FAILURE(RegisterTables());
  qortest::TraceCapture trace("ERROR TVX100:ENTRY");
  const std::string events = dir_.File("events.jsonl");
  FILE* sink = fopen(events.c_str(), "w");
  ASSERT_NE(sink, nullptr);
  Event_Sink::Use(sink);
  std::string err;
  vandu* all = HOV_CreateRequest("VXLOGENT", "ENTRYSYS ~ \"h\"",
                                 SAMPLE_SITUATION, "all", &err);
  ASSERT_NE(all, nullptr) << err;
  tvx_vxlogent_static_manager->AddLive(all);
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path, "");
  const std::string stamp = "Mar  5 07:08:09 ";
  {
    auto log = NewLog(path);
    ASSERT_TRUE(qortest::WaitUntil([&] { return log->LogEOF >= 0; }));
    const std::string longest = std::string(40, 'h') + " " +
                                std::string(40, 's') +
                                "[1]: " + std::string(300, 'x') + "\n";
    qortest::AppendFile(
        path, stamp + longest + stamp + "h1 s1: one\n" + stamp + longest +
                  stamp + "h2 last message repeated 2 times\n" +
                  "Mar  5 07:08:0x h s: no stamp\n" + stamp + "h3\n" + stamp +
                  longest + stamp + "h4 s4 four\n");
    ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents == 8; }));
  }
  tvx_vxlogent_static_manager->RemoveLive(all);
  vandu::Destroy(all);
  Event_Sink::Use(nullptr);
  fclose(sink);

  // Each line is formatted as lfFormatEntryAsRow, as traced.
  const std::string traced = trace.Text();
  size_t exits = 0;
  for (size_t at = 0; (at = traced.find("Exit: lfFormatEntryAsRow, result = ",
                                        at)) != std::string::npos;
       ++at) {
    ++exits;
  }
  EXPECT_EQ(exits, 8u) << traced;
  const std::string text = qortest::ReadFile(events);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7) << text;
  for (
      const char* row : {
          R"("ENTRYSYS":"h1","ENTRYSRC":"s1","ENTRYTYPE":"","ENTRYCLASS":"","ENTRYDESC":"one")",
          R"("ENTRYSYS":"h2","ENTRYSRC":"","ENTRYTYPE":"","ENTRYCLASS":"","ENTRYDESC":"last message repeated 2 times")",
          R"("ENTRYSYS":"h3","ENTRYSRC":"","ENTRYTYPE":"","ENTRYCLASS":"","ENTRYDESC":"")",
          R"("ENTRYSYS":"h4","ENTRYSRC":"s4","ENTRYTYPE":"","ENTRYCLASS":"","ENTRYDESC":"four")",
      }) {
    EXPECT_NE(text.find(row), std::string::npos) << row << "\n" << text;
  }
}

// ---------------------------------------------------------------------------
// Reports

// Drives one report over the log as the log-entries table does and returns
// "ENTRYTIME ENTRYDESC" of each row, newest first.
// `after_row`, when given, runs after each row with the rows so far.
std::vector<std::string> Report(
    Syslog_File& log, const char* start, const char* end,
    std::vector<std::string>* unread = nullptr,
    const std::function<void(const std::vector<std::string>&)>& after_row =
        nullptr) {
  _RequestThresholds window;
  memset(&window, 0, sizeof window);
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
    if (after_row) {
      after_row(rows);
    }
  }
  if (unread != nullptr) {
    *unread = log.lfUnreadRotatedFiles(handle);
  }
  log.lfEndReportRequest(&handle);
  EXPECT_EQ(handle, nullptr);
  return rows;
}

const char kAll[] = "0000000000000000";
const char kNever[] = "9999999999999999";

TEST_F(SyslogFileTest, ReportAcrossNewYearCarriesTheYearBackwards) {
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path,
                     "Dec 30 10:00:00 h s: a\n"
                     "Dec 31 23:59:59 h s: b\n"
                     "Dec 31 23:59:59 h2 s: b2\n"
                     "Jan  1 00:00:00 h s: c\n"
                     "Jan  1 00:00:00 h s: c2\n"
                     "Jan  2 08:00:00 h s: d\n");
  auto log = NewLog(path);
  log->OptimumBlockSize = 8192;
  log->FixedNow = Utc(2002, 1, 2, 9, 0, 0);
  // Lines stamped alike are dated alike.
  EXPECT_EQ(
      Report(*log, "1011230000000000", "1020102235959000"),
      (std::vector<std::string>{"1020102080000000 d", "1020101000000000 c2",
                                "1020101000000000 c", "1011231235959000 b2",
                                "1011231235959000 b", "1011230100000000 a"}));
  // Across the century: the year digits 100 become 099.
  log->FixedNow = Utc(2000, 1, 2, 9, 0, 0);
  EXPECT_EQ(
      Report(*log, kAll, kNever),
      (std::vector<std::string>{"1000102080000000 d", "1000101000000000 c2",
                                "1000101000000000 c", "0991231235959000 b2",
                                "0991231235959000 b", "0991230100000000 a"}));
  // A line dated later in the year than the report's start is last year's.
  qortest::AppendFile(path, "Mar  1 00:00:00 h s: e\n");
  EXPECT_EQ(Report(*log, kAll, kNever)[0], "0990301000000000 e");
}

// Writes `text` gzip-compressed to `path`, changed `age` seconds ago.
void WriteRotated(const std::string& path, const std::string& text, bool gzip,
                  int age) {
  if (gzip) {
    gzFile gz = gzopen(path.c_str(), "wb");
    ASSERT_NE(gz, nullptr);
    ASSERT_EQ(gzwrite(gz, text.data(), static_cast<unsigned>(text.size())),
              static_cast<int>(text.size()));
    ASSERT_EQ(gzclose(gz), Z_OK);
  } else {
    qortest::WriteFile(path, text);
  }
  struct timeval when[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
  ASSERT_EQ(utimes(path.c_str(), when), 0);
}

TEST_F(SyslogFileTest, ReportWindowGoesOnIntoRotatedFilesNewestFirst) {
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path,
                     "Mar  5 01:00:00 h s: c1\n"
                     "Mar  5 09:00:00 h s: c2\n");
  // The rotated file's last line has no newline: it is complete all the
  // same. Names of other logs and other suffixes are not rotated files.
  WriteRotated(path + ".1",
               "Mar  4 18:00:00 h s: r1a\nMar  4 23:00:00 h s: r1b", false,
               100);
  WriteRotated(path + ".2.gz",
               "Mar  4 10:00:00 h s: older\n"
               "Mar  4 12:00:00 h s: r2a\n"
               "Mar  4 15:00:00 h s: r2b\n",
               true, 200);
  WriteRotated(dir_.File("messages2.1"), "Mar  4 20:00:00 h s: other\n", false,
               50);
  WriteRotated(path + ".bak", "Mar  4 21:00:00 h s: backup\n", false, 50);
  std::string damaged;
  for (int i = 0; i < 2000; ++i) {
    damaged += "Mar  3 0" + std::to_string(i % 10) + ":00:00 h s: d" +
               std::to_string(i) + "\n";
  }
  WriteRotated(path + "-20010303.gz", damaged, true, 300);
  auto log = NewLog(path);
  log->OptimumBlockSize = 256;
  log->FixedNow = Utc(2001, 3, 5, 11, 0, 0);
  std::vector<std::string> unread;
  // Twenty-four hours: the .2.gz file's oldest entry ends the report, and
  // the dated file is never opened.
  EXPECT_EQ(Report(*log, "1010304110000000", "1010305110000000", &unread),
            (std::vector<std::string>{
                "1010305090000000 c2", "1010305010000000 c1",
                "1010304230000000 r1b", "1010304180000000 r1a",
                "1010304150000000 r2b", "1010304120000000 r2a"}));
  EXPECT_TRUE(unread.empty());

  // Damage in the dated file ends its part of the report, named in the
  // closing note; the entries unpacked before it are read.
  {
    std::string packed = qortest::ReadFile(path + "-20010303.gz");
    for (size_t i = packed.size() / 2; i < packed.size() / 2 + 64; ++i) {
      packed[i] = static_cast<char>(packed[i] ^ 0x5a);
    }
    qortest::WriteFile(path + "-20010303.gz", packed);
    WriteRotated(path + "-20010303.gz", packed, false, 300);
  }
  const std::vector<std::string> all = Report(*log, kAll, kNever, &unread);
  ASSERT_EQ(unread.size(), 1u);
  EXPECT_EQ(unread[0].rfind(path + "-20010303.gz: gzip data damaged after ", 0),
            0u)
      << unread[0];
  ASSERT_GE(all.size(), 7u);
  EXPECT_EQ(all[6], "1010304100000000 older");
}

// Right after a rotation the log is empty: the report reads on into the
// rotated files. A rotated gzip file cut short (its compression killed, a
// full disk) is read up to the cut, named in the closing note, and its cut
// last line is no entry.
TEST_F(SyslogFileTest, ReportReadsPastAnEmptyLogAndNotesACutGzipFile) {
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path, "");
  WriteRotated(path + ".1", "Mar  5 08:00:00 h s: r1\n", false, 100);
  std::string text;
  for (int i = 0; i < 4000; ++i) {
    text += "Mar  4 10:00:00 h s: entry " + std::to_string(i) + " whole\n";
  }
  WriteRotated(path + ".2.gz", text, true, 200);
  std::string packed = qortest::ReadFile(path + ".2.gz");
  packed.resize(packed.size() / 2);
  WriteRotated(path + ".2.gz", packed, false, 200);
  auto log = NewLog(path);
  log->OptimumBlockSize = 8192;
  log->FixedNow = Utc(2001, 3, 5, 11, 0, 0);
  std::vector<std::string> unread;
  const std::vector<std::string> rows = Report(*log, kAll, kNever, &unread);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[0], "1010305080000000 r1");
  EXPECT_LT(rows.size(), 4001u);
  for (size_t i = 1; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].compare(rows[i].size() - 6, 6, " whole"), 0) << rows[i];
  }
  ASSERT_EQ(unread.size(), 1u);
  EXPECT_EQ(unread[0].rfind(path + ".2.gz: gzip data damaged after ", 0), 0u)
      << unread[0];
  EXPECT_NE(unread[0].find(" bytes (unexpected end of file); "),
            std::string::npos)
      << unread[0];
}

// Files rotated while a report reads them are each read once, where they
// are now; files rotated in after the report began are newer and not read;
// a file removed before the report reached it is named in the closing note.
TEST_F(SyslogFileTest,
       ReportDuringRotationsReadsEachFileOnceOrSaysWhatIsMissing) {
  const std::string path = dir_.File("messages");
  const auto lines = [](const char* day, const char* name) {
    std::string text;
    for (int i = 10; i < 40; ++i) {
      text += std::string(day) + " " + std::to_string(i % 24 / 10) +
              std::to_string(i % 10) + ":00:00 h s: " + name +
              std::to_string(i) + "\n";
    }
    return text;
  };
  const auto rotate = [&](int files) {
    for (int n = files; n >= 1; --n) {
      const std::string from =
          n == 1 ? path : path + "." + std::to_string(n - 1);
      ASSERT_EQ(rename(from.c_str(), (path + "." + std::to_string(n)).c_str()),
                0);
    }
    qortest::WriteFile(path, "Mar  5 10:30:00 h s: newer\n");
  };
  // Which row of which run the rotations come after; -1: a removal instead.
  struct Case {
    const char* after;  // the row after which the log is rotated
    int rotations;
  };
  for (const Case& c : {Case{"x39", 1}, Case{"c39", 2}, Case{"x39", -1}}) {
    SCOPED_TRACE(std::string(c.after) + " " + std::to_string(c.rotations));
    qortest::WriteFile(path, lines("Mar  5", "c"));
    WriteRotated(path + ".1", lines("Mar  4", "x"), false, 100);
    WriteRotated(path + ".2", lines("Mar  3", "y"), false, 200);
    unlink((path + ".3").c_str());
    unlink((path + ".4").c_str());
    auto log = NewLog(path);
    log->OptimumBlockSize = 256;
    log->FixedNow = Utc(2001, 3, 5, 11, 0, 0);
    std::vector<std::string> unread;
    const std::vector<std::string> rows =
        Report(*log, kAll, kNever, &unread,
               [&](const std::vector<std::string>& so_far) {
                 const std::string& last = so_far.back();
                 if (last.compare(last.size() - 3, 3, c.after) != 0) {
                   return;
                 }
                 if (c.rotations < 0) {
                   unlink((path + ".2").c_str());
                 }
                 for (int r = 0; r < c.rotations; ++r) {
                   rotate(2 + r + 1);
                 }
               });
    std::vector<std::string> descs;
    for (const std::string& row : rows) {
      descs.push_back(row.substr(17));
    }
    std::vector<std::string> expected;
    for (const char* name : {"c", "x", "y"}) {
      if (c.rotations < 0 && name[0] == 'y') {
        break;
      }
      for (int i = 39; i >= 10; --i) {
        expected.push_back(name + std::to_string(i));
      }
    }
    EXPECT_EQ(descs, expected);
    if (c.rotations < 0) {
      ASSERT_EQ(unread.size(), 1u);
      EXPECT_EQ(unread[0], path +
                               ".2: rotated away while the report read the "
                               "log; its entries may be missing");
    } else {
      EXPECT_TRUE(unread.empty()) << unread[0];
    }
  }
}

// A device whose clock is days behind writes entries out of order into a
// central log: the entries before it keep their year.
TEST_F(SyslogFileTest, ReportChangesTheYearOnlyAcrossNewYear) {
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path,
                     "Mar  5 09:10:00 h s: a\n"
                     "Mar  5 09:30:00 h s: b\n"
                     "Mar  2 09:40:00 behind s: c\n"
                     "Mar  5 10:00:00 h s: d\n");
  auto log = NewLog(path);
  log->OptimumBlockSize = 8192;
  log->FixedNow = Utc(2001, 3, 5, 11, 0, 0);
  EXPECT_EQ(
      Report(*log, "1010305090000000", kNever),
      (std::vector<std::string>{"1010305100000000 d", "1010305093000000 b",
                                "1010305091000000 a"}));
  // Across a new year, with the device behind on either side of it.
  qortest::WriteFile(path,
                     "Dec 31 10:00:00 h s: a\n"
                     "Dec 28 23:00:00 behind s: b\n"
                     "Jan  1 00:10:00 h s: c\n"
                     "Dec 29 12:00:00 behind s: d\n"
                     "Jan  1 08:00:00 h s: e\n");
  log->FixedNow = Utc(2002, 1, 1, 9, 0, 0);
  EXPECT_EQ(
      Report(*log, kAll, kNever),
      (std::vector<std::string>{"1020101080000000 e", "1011229120000000 d",
                                "1020101001000000 c", "1011228230000000 b",
                                "1011231100000000 a"}));
}

TEST_F(SyslogFileTest, ReportWindowSkipsNewerEntriesAndReadsPastAnOlderOne) {
  const std::string path = dir_.File("messages");
  qortest::WriteFile(
      path,
      "Mar  5 09:40:00 h s: A in the window, behind an older entry\n"
      "Mar  5 09:00:00 h s: B older\n"
      "Mar  5 09:45:00 h s: C\n"
      "Mar  5 09:50:00 h s: D\n"
      "Mar  5 10:30:00 h s: E newer\n");
  auto log = NewLog(path);
  log->OptimumBlockSize = 8192;
  log->FixedNow = Utc(2001, 3, 5, 11, 0, 0);
  // An entry out of order (a skewed clock) does not end the report.
  EXPECT_EQ(Report(*log, "1010305093000000", "1010305100000000"),
            (std::vector<std::string>{
                "1010305095000000 D", "1010305094500000 C",
                "1010305094000000 A in the window, behind an older entry"}));
  // Bounds are inclusive.
  EXPECT_EQ(
      Report(*log, "1010305094500000", "1010305095000000"),
      (std::vector<std::string>{"1010305095000000 D", "1010305094500000 C"}));
  EXPECT_TRUE(Report(*log, "1010305110000000", kNever).empty());
  EXPECT_TRUE(Report(*log, kAll, "1010305080000000").empty());
  EXPECT_EQ(Report(*log, kAll, kNever).size(), 5u);
  // Empty bounds are open.
  EXPECT_EQ(Report(*log, "", "").size(), 5u);
}

// Only a run of MAXOLDERENTRIES entries older than the window ends a
// report; a shorter run is read past.
TEST_F(SyslogFileTest, ReportEndsAfterALongRunOfOlderEntries) {
  for (const long run : {MAXOLDERENTRIES - 1, MAXOLDERENTRIES}) {
    SCOPED_TRACE(run);
    std::string text = "Mar  5 09:40:00 h s: A\n";
    for (long i = 0; i < run; ++i) {
      text += "Mar  5 09:00:00 h s: old\n";
    }
    text += "Mar  5 09:45:00 h s: B\n";
    const std::string path = dir_.File("messages" + std::to_string(run));
    qortest::WriteFile(path, text);
    auto log = NewLog(path);
    log->OptimumBlockSize = 8192;
    log->FixedNow = Utc(2001, 3, 5, 11, 0, 0);
    std::vector<std::string> expected = {"1010305094500000 B"};
    if (run < MAXOLDERENTRIES) {
      expected.push_back("1010305094000000 A");
    }
    EXPECT_EQ(Report(*log, "1010305093000000", "1010305100000000"), expected);
  }
}

// Zoned lines are compared with the window in local time, whatever zone
// they were written in, and date the year-less lines before them.
TEST_F(SyslogFileTest, ReportReadsZonedAndYearlessLinesMixed) {
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path,
                     "Dec 31 23:50:00 h s: a\n"
                     "2026-01-01T00:30:00+00:00 h s: b\n"
                     "2026-01-01T00:30:00.5+00:00 h s: b\n"
                     "2026-01-01T03:10:00+02:00 h s: c zone changed\n"
                     "2026-01-01T03:10:00+02:00 h s: c zone changed\n"
                     "Jan  1 01:20:00 h s: d\n"
                     "2026-01-01T01:30:00.250Z h s: e\n");
  auto log = NewLog(path);
  log->OptimumBlockSize = 8192;
  log->FixedNow = Utc(2026, 6, 1, 0, 0, 0);
  EXPECT_EQ(Report(*log, "1260101010000000", "1260101012500000"),
            (std::vector<std::string>{"1260101012000000 d",
                                      "1260101011000000 c zone changed",
                                      "1260101011000000 c zone changed"}));
  EXPECT_EQ(
      Report(*log, kAll, kNever),
      (std::vector<std::string>{
          "1260101013000250 e", "1260101012000000 d",
          "1260101011000000 c zone changed", "1260101011000000 c zone changed",
          "1260101003000500 b", "1260101003000000 b", "1251231235000000 a"}));
}

TEST_F(SyslogFileTest,
       ReportSkipsLinesThatDoNotFormatAndTheUnfinishedLastLine) {
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path,
                     "Mar  5 09:00:00 h s: 1\n"
                     "a line that is no syslog entry\n"
                     "\n"
                     "Mar  5 09:01:00 h s: 2\r\n"
                     "Mar  5 09:02:00 h s: 3 still being written");
  auto log = NewLog(path);
  log->OptimumBlockSize = 8192;
  log->FixedNow = Utc(2001, 3, 5, 11, 0, 0);
  EXPECT_EQ(
      Report(*log, kAll, kNever),
      (std::vector<std::string>{"1010305090100000 2", "1010305090000000 1"}));
}

// The lines of a report test: "Mar  5 09:MM:SS h s: L<n> " and filler up to
// the length asked for (without the newline).
std::string Line(int n, size_t length) {
  char head[64];
  snprintf(head, sizeof head, "Mar  5 09:%02d:%02d h s: L%d ", (n / 60) % 60,
           n % 60, n);
  std::string line = head;
  while (line.size() < length) {
    line += static_cast<char>('a' + line.size() % 26);
  }
  line.resize(length);
  return line;
}

// What a report returns for `line`: ENTRYTIME and the message of its first
// `keep` characters.
std::string Expected(const std::string& line, size_t keep) {
  const std::string entry = line.substr(0, keep);
  const size_t desc = entry.find(": ") + 2;
  std::string row = "101030509" + line.substr(10, 2) + line.substr(13, 2) +
                    "000 " +
                    (desc <= entry.size() ? entry.substr(desc, 256) : "");
  row.erase(row.find_last_not_of(' ') + 1);  // as Report() reads the column
  return row;
}

// Every line comes back, newest first, read to its first MAXRECSIZE - 2
// characters as monitoring reads it (its message cut to the column),
// whatever the block size and wherever the block boundaries fall: lines
// longer than a block, long lines in the block that begins the file, lines
// split by a block boundary, and lines just under, at and over the cut.
TEST_F(SyslogFileTest, ReportCutsLongLinesAsMonitoringDoes) {
  qortest::TraceCapture trace("ERROR");
  const std::string path = dir_.File("messages");
  std::vector<size_t> lengths = {600, 30, 254, 255, 256, 40,  3000, 22,
                                 257, 90, 600, 1,   35,  600, 17};
  // Newer short lines fill the last 8192-byte block, so that the long lines
  // lie outside the first block read, in the block that begins the file.
  lengths.resize(lengths.size() + 100, 80);
  std::vector<std::string> lines;
  std::string text;
  for (size_t n = 0; n < lengths.size(); ++n) {
    // A line shorter than its head stays a valid short line.
    lines.push_back(
        Line(static_cast<int>(n), lengths[n] < 24 ? 24 : lengths[n]));
    text += lines.back() + "\n";
  }
  qortest::WriteFile(path, text);
  auto log = NewLog(path);
  log->FixedNow = Utc(2001, 3, 5, 11, 0, 0);
  for (uint64_t block :
       {64, 255, 256, 257, 300, 512, 1000, 4096, 8192, 65536}) {
    SCOPED_TRACE("block " + std::to_string(block));
    log->OptimumBlockSize = block;
    // Small blocks keep less than a block of a long entry.
    const size_t longest = MAXRECSIZE - 2;
    const size_t keep = block - 1 < longest ? block - 1 : longest;
    std::vector<std::string> expected;
    for (size_t n = lines.size(); n-- > 0;) {
      expected.push_back(Expected(lines[n], keep));
    }
    EXPECT_EQ(Report(*log, kAll, kNever), expected);
  }
  EXPECT_TRUE(trace.Text().empty()) << trace.Text();
}

TEST_F(SyslogFileTest, EmptyOrMissingLogGivesNoReport) {
  qortest::TraceCapture trace("ERROR,FLOW");
  const std::string empty = dir_.File("empty");
  qortest::WriteFile(empty, "");
  auto log = NewLog(empty);
  log->OptimumBlockSize = 8192;
  EXPECT_TRUE(Report(*log, kAll, kNever).empty());
  EXPECT_TRUE(trace.Contains("\nLog " + empty +
                             " is empty; the report reads its rotated files."));

  const std::string gone = dir_.File("gone");
  qortest::WriteFile(gone, "Mar  5 09:00:00 h s: m\n");
  std::vector<char> record(gone.begin(), gone.end());
  record.push_back('\0');
  Valid_Log valid(USERCONFIG, record.data(), nullptr);
  ASSERT_EQ(valid.Valid, 1);
  unlink(gone.c_str());
  Syslog_File missing(valid, nullptr);
  missing.OptimumBlockSize = 8192;
  trace.Clear();
  EXPECT_EQ(missing.lfStartReportRequest(nullptr), nullptr);
  EXPECT_TRUE(
      trace.Contains("\nError opening file " + gone +
                     " for report. errno = 2; No such file or directory"))
      << trace.Text();
  // Without a block size yet, the failing stat ends the request first.
  Syslog_File unsized(valid, nullptr);
  trace.Clear();
  EXPECT_EQ(unsized.lfStartReportRequest(nullptr), nullptr);
  EXPECT_TRUE(trace.Contains("\nstat() command failed for " + gone +
                             "; errno = 2; No such file or directory."))
      << trace.Text();
}

TEST_F(SyslogFileTest,
       ReportStartDeterminesTheBlockSizeAndEndReleasesEverything) {
  qortest::TraceCapture trace("ERROR,FLOW");
  const std::string path = dir_.File("messages");
  qortest::WriteFile(path, "Mar  5 09:00:00 h s: m\n");
  auto log = NewLog(path);
  ASSERT_EQ(log->OptimumBlockSize.load(), 0u);
  void* handle = log->lfStartReportRequest(nullptr);
  ASSERT_NE(handle, nullptr);
  const uint64_t block = log->OptimumBlockSize;
  EXPECT_GT(block, 0u);
  const int fd = static_cast<SyslogBufferInfo*>(handle)->fd;
  EXPECT_TRUE(trace.Contains("\nRead buffer of size " + std::to_string(block) +
                             " allocated for file " + path + "."));
  EXPECT_TRUE(trace.Contains("\nfd " + std::to_string(fd) +
                             " opened for report on " + path +
                             "; file size is 23."));
  log->lfEndReportRequest(&handle);
  EXPECT_EQ(handle, nullptr);
  EXPECT_TRUE(trace.Contains("\nfd " + std::to_string(fd) +
                             " closed for report on " + path + "."));
}

// A log truncated while a report reads it: the rows found so far, then the
// short read is traced and the report ends.
TEST_F(SyslogFileTest, LogThatShrinksDuringAReportEndsIt) {
  qortest::TraceCapture trace("ERROR");
  const std::string path = dir_.File("messages");
  std::string text;
  for (int n = 0; text.size() < 20000; ++n) {
    text += Line(n, 99) + "\n";
  }
  text.resize(20000);
  text.back() = '\n';
  qortest::WriteFile(path, text);
  auto log = NewLog(path);
  log->OptimumBlockSize = 8192;
  log->FixedNow = Utc(2001, 3, 5, 11, 0, 0);
  _RequestThresholds window;
  snprintf(window.StartTime, sizeof window.StartTime, "%s", kAll);
  snprintf(window.EndTime, sizeof window.EndTime, "%s", kNever);
  void* handle = log->lfStartReportRequest(&window);
  ASSERT_NE(handle, nullptr);
  tvx_vxlogent_data_t row;
  int rows = 0;
  while (rows < 5 && log->lfGetNextLogEntry(&row, handle, &window) != nullptr) {
    ++rows;
  }
  EXPECT_EQ(rows, 5);
  ASSERT_EQ(truncate(path.c_str(), 5000), 0);
  while (log->lfGetNextLogEntry(&row, handle, &window) != nullptr) {
    ++rows;
  }
  // The last block (offsets 11808 to 20000) held 81 whole lines; the read
  // of the block before it finds the file cut.
  EXPECT_EQ(rows, 81);
  // 92 bytes (11808 to 11900) are carried over: the read starts at 3708.
  // (The worker may add its own warning about the truncation.)
  EXPECT_TRUE(trace.Contains("\nError while reading file " + path +
                             ". Bytes requested = 8192. Bytes received = " +
                             std::to_string(5000 - 3708) + "."))
      << trace.Text();
  EXPECT_EQ(static_cast<SyslogBufferInfo*>(handle)->bytesInBuffer, 0);
  // Asking again stays at the end.
  EXPECT_EQ(log->lfGetNextLogEntry(&row, handle, &window), nullptr);
  log->lfEndReportRequest(&handle);
}

}  // namespace
