// Tests of the login-accounting log kind (Adminlog_File).
#include "agent/kinds/adminlog_file.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>
#include <utmpx.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/config/valid_log.h"
#include "framework/events/event_sink.h"
#include "framework/situations/condition.h"
#include "framework/tables/request.h"
#include "framework/tables/table_manager.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"
#include "tests/agent/log_test_kinds.h"
#include "tests/testutil.h"

namespace {

std::string Pad(const std::string& text, size_t width) {
  std::string s = text.substr(0, width);
  s.resize(width, ' ');
  return s;
}

// One record in the 36-byte layout, built at the field offsets.
struct Rec {
  std::string user, id, line;
  int16_t pid, type, term, exit;
  int32_t time;
};

std::string Bytes(const Rec& r) {
  std::string b(UTMPSIZE, '\0');
  r.user.copy(&b[0], 8);
  r.id.copy(&b[8], 4);
  r.line.copy(&b[12], 12);
  const int16_t numbers[] = {r.pid, r.type, r.term, r.exit};
  memcpy(&b[24], numbers, sizeof numbers);
  memcpy(&b[32], &r.time, 4);
  return b;
}

// A user-process record whose pid and time tell it apart.
std::string Login(int16_t pid, int32_t time) {
  return Bytes(
      {"u" + std::to_string(pid), "ts/1", "pts/1", pid, 7, 0, 0, time});
}

std::string Stamp(time_t t) {
  char s[TIMESTAMPLENGTH];
  GenerateTimestamp(t, s);
  return std::string(s, TIMESTAMPLENGTH);
}

// The object the log manager builds for "path ;N ;A"; its worker starts at
// once and is joined when the object is destroyed.
std::unique_ptr<Adminlog_File> NewLog(const std::string& path) {
  auto valid = qortest::MakeValidLog(path + " ;N ;A");
  EXPECT_EQ(valid->Valid, 1) << path;
  return std::make_unique<Adminlog_File>(*valid, nullptr);
}

class AdminlogFileTest : public ::testing::Test {
 protected:
  qortest::Scoped_Temp_Dir dir_;
};

TEST_F(AdminlogFileTest, RecordsFormatIntoTheEntryColumns) {
  qortest::TraceCapture trace("ERROR");
  const std::string path = dir_.File("wtmp");
  qortest::WriteFile(path, "");
  auto log = NewLog(path);
  const struct {
    Rec rec;
    const char *src, *type, *desc;
  } cases[] = {
      {{"user1", "ts/1", "pts/1", 4242, 7, 0, 0, 1000000000},
       "pts/1",
       "User process",
       "user = user1; id = ts/1; pid = 4242; term status = 0; exit status = 0"},
      // Fields that fill their width carry no terminator.
      {{"eightchr", "abcd", "twelve-chars", -1, 2, -3, 255, 1000000000},
       "twelve-chars",
       "System boot time",
       "user = eightchr; id = abcd; pid = -1; term status = -3; exit status = 255"},
      {{"", "", "", 32767, 42, -32768, 1, 1000000000},
       "",
       "Unknown",
       "user = ; id = ; pid = 32767; term status = -32768; exit status = 1"},
      {{"r", "~", "~", 0, -1, 0, 0, 1000000000},
       "~",
       "Unknown",
       "user = r; id = ~; pid = 0; term status = 0; exit status = 0"},
  };
  for (const auto& c : cases) {
    // A heap copy of exactly one record: a read past it is caught by the
    // sanitizer build.
    const std::string bytes = Bytes(c.rec);
    std::unique_ptr<char[]> record(new char[UTMPSIZE]);
    memcpy(record.get(), bytes.data(), UTMPSIZE);
    tvx_vxlogent_data_t row;
    memset(&row, '#', sizeof row);
    ASSERT_EQ(log->lfFormatEntryAsRow(record.get(), &row, nullptr), 0);
    EXPECT_EQ(std::string(row.entrytime, 16), Stamp(1000000000));
    // ENTRYSYS, ENTRYSRC, ENTRYTYPE, ENTRYCLASS and ENTRYDESC lie back to
    // back; ENTRYSYS and ENTRYCLASS stay blank.
    EXPECT_EQ(std::string(row.entrysys, 352),
              Pad("", 32) + Pad(c.src, 32) + Pad(c.type, 16) + Pad("", 16) +
                  Pad(c.desc, 256));
  }
  const char* const types[] = {
      "Unused space",   "Run level",    "System boot time", "User logon time",
      "User idle time", "init process", "getty waiting",    "User process",
      "Zombie process", "Accounting",   "Unknown"};
  for (int16_t type = 0; type <= 10; ++type) {
    char text[16];
    memset(text, ' ', sizeof text);
    log->adFillEntryType(text, sizeof text, type);
    EXPECT_EQ(std::string(text, 16), Pad(types[type], 16));
  }
  EXPECT_TRUE(trace.Text().empty()) << trace.Text();
}

// Records reach a situation whole and in order, however they are written:
// one write of two records, a record in two writes with a pass between
// them, and a record half written when monitoring starts that the writer
// cuts off and writes again.
TEST_F(AdminlogFileTest, AppendedRecordsReachASituationWholeAndInOrder) {
  if (TableManager::Find("TVX.VXLOGENT") == nullptr) {
    ASSERT_EQ(tvx_vxlogent_init(), 0u);
  }
  qortest::TraceCapture trace("ERROR,FLOW");
  const std::string events = dir_.File("events.jsonl");
  FILE* sink = fopen(events.c_str(), "w");
  ASSERT_NE(sink, nullptr);
  Event_Sink::Use(sink);
  std::string err;
  vandu* logins = HOV_CreateRequest("VXLOGENT", "ENTRYTYPE == \"User process\"",
                                    SAMPLE_SITUATION, "logins", &err);
  ASSERT_NE(logins, nullptr) << err;
  tvx_vxlogent_static_manager->AddLive(logins);

  const std::string path = dir_.File("wtmp");
  const std::string b = Login(2, 1000000002);
  // Older records fill the file's head (as in any real wtmp), so that
  // cutting the partial record off leaves the head the agent remembers.
  std::string older;
  constexpr int kOlder = 30;
  for (int i = 0; i < kOlder - 1; ++i) {
    older += Login(100 + i, 1000000000 - 100 + i);
  }
  qortest::WriteFile(path, older + Login(1, 1000000001) + b.substr(0, 10));
  const std::string partial =
      "\nIncomplete record read from file " + path + ". Bytes read = ";
  {
    auto log = NewLog(path);
    ASSERT_TRUE(qortest::WaitUntil(
        [&] { return trace.Contains(partial + "10; bytes expected = 36"); }));
    ASSERT_EQ(truncate(path.c_str(), kOlder * UTMPSIZE), 0);
    qortest::AppendFile(path, b);
    qortest::AppendFile(path, Login(3, 1000000003) + Login(4, 1000000004));
    const std::string e = Login(5, 1000000005);
    const std::string f = Login(6, 1000000006);
    qortest::AppendFile(path, e + f.substr(0, 4));
    ASSERT_TRUE(qortest::WaitUntil(
        [&] { return trace.Contains(partial + "4; bytes expected = 36"); }));
    EXPECT_EQ(log->NumEvents.load(), 4u);
    qortest::AppendFile(path, f.substr(4));
    ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents == 5; }));
    EXPECT_EQ(log->MonitorStatus.load(), MONITOR_RUNNING);
    EXPECT_EQ(log->NumFormatErrors.load(), 0u);
    EXPECT_TRUE(qortest::WaitUntil(
        [&] { return log->LogEOF == (kOlder + 5) * UTMPSIZE; }));
  }
  tvx_vxlogent_static_manager->RemoveLive(logins);
  vandu::Destroy(logins);
  Event_Sink::Use(nullptr);
  fclose(sink);

  const std::string text = qortest::ReadFile(events);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5) << text;
  EXPECT_EQ(text.find("pid = 1;"), std::string::npos);
  size_t at = 0;
  for (int pid = 2; pid <= 6; ++pid) {
    const std::string desc = "user = u" + std::to_string(pid) +
                             "; id = ts/1; pid = " + std::to_string(pid) +
                             "; term status = 0; exit status = 0";
    at = text.find(desc, at);
    ASSERT_NE(at, std::string::npos) << desc << "\n" << text;
  }
  EXPECT_NE(text.find(R"("ENTRYSRC":"pts/1","ENTRYTYPE":"User process")"),
            std::string::npos)
      << text;
  EXPECT_FALSE(trace.Contains("truncated")) << trace.Text();
  EXPECT_FALSE(trace.Contains("\nError")) << trace.Text();
}

TEST_F(AdminlogFileTest, MissingLogEndsTheWorkerWithTheOpenError) {
  qortest::TraceCapture trace("ERROR");
  const std::string path = dir_.File("gone");
  qortest::WriteFile(path, "");
  auto valid = qortest::MakeValidLog(path + " ;N ;A");
  ASSERT_EQ(valid->Valid, 1);
  unlink(path.c_str());
  Adminlog_File log(*valid, nullptr);
  EXPECT_TRUE(qortest::WaitUntil(
      [&] { return log.MonitorStatus == MONITOR_ERR_OPEN; }));
  EXPECT_EQ(log.LogFD, -1);
  EXPECT_TRUE(trace.Contains("\nError opening file " + path +
                             ". errno = 2; No such file or directory"))
      << trace.Text();
}

// ---------------------------------------------------------------------------
// Reports

// Drives one report as the log-entries table does: each row as
// "ENTRYTIME pid".
std::vector<std::string> Report(Adminlog_File& log, const std::string& start,
                                const std::string& end) {
  _RequestThresholds window;
  snprintf(window.StartTime, sizeof window.StartTime, "%s", start.c_str());
  snprintf(window.EndTime, sizeof window.EndTime, "%s", end.c_str());
  std::vector<std::string> rows;
  void* handle = log.lfStartReportRequest(&window);
  if (handle == nullptr) {
    return rows;
  }
  tvx_vxlogent_data_t row;
  while (log.lfGetNextLogEntry(&row, handle, &window) == &row) {
    const std::string desc(row.entrydesc, 256);
    const size_t pid = desc.find("pid = ") + 6;
    rows.push_back(std::string(row.entrytime, 16) + " " +
                   desc.substr(pid, desc.find(';', pid) - pid));
  }
  log.lfEndReportRequest(&handle);
  EXPECT_EQ(handle, nullptr);
  return rows;
}

// Every whole record comes back newest first, whatever the block size and
// wherever the block boundaries cut the records; a record still being
// written at the end of the file is left out and shifts none of the others.
TEST_F(AdminlogFileTest, ReportReturnsWholeRecordsNewestFirst) {
  qortest::TraceCapture trace("ERROR,FLOW");
  const std::string path = dir_.File("wtmp");
  std::string file;
  std::vector<std::string> all;
  for (int16_t pid = 1; pid <= 300; ++pid) {
    file += Login(pid, 1000000000 + 60 * pid);
    all.insert(all.begin(),
               Stamp(1000000000 + 60 * pid) + " " + std::to_string(pid));
  }
  qortest::WriteFile(path, file + Login(301, 1000030000).substr(0, 20));
  auto log = NewLog(path);
  for (uint64_t block : {1, 36, 37, 71, 72, 100, 4096, 8192, 65536}) {
    SCOPED_TRACE("block " + std::to_string(block));
    log->OptimumBlockSize = block;
    trace.Clear();
    EXPECT_EQ(Report(*log, "0000000000000000", "9999999999999999"), all);
    EXPECT_GE(log->OptimumBlockSize.load(), 36u);
    EXPECT_TRUE(trace.Contains(
        "\nIncomplete record found while building report for file " + path +
        ". Record length = 20; expected length = 36."));
    EXPECT_FALSE(trace.Contains("\nError")) << trace.Text();
  }
  // Newer records are skipped, the first older one ends the report; the
  // bounds are inclusive and empty bounds are open.
  log->OptimumBlockSize = 100;
  EXPECT_EQ(
      Report(*log, Stamp(1000000000 + 60 * 148), Stamp(1000000000 + 60 * 150)),
      std::vector<std::string>(all.begin() + 150, all.begin() + 153));
  EXPECT_TRUE(Report(*log, Stamp(1000030000), "").empty());
  EXPECT_EQ(Report(*log, "", "").size(), 300u);

  // A log without a whole record gives no report.
  for (const std::string& content : {std::string(), std::string(35, 'x')}) {
    qortest::WriteFile(path, content);
    EXPECT_EQ(log->lfStartReportRequest(nullptr), nullptr);
  }
  EXPECT_TRUE(trace.Contains("\nLog " + path +
                             " is empty; report request terminating."));
  EXPECT_TRUE(trace.Contains(
      "\nIncomplete record found while building report for file " + path +
      ". Record length = 35; expected length = 36."));
}

// ---------------------------------------------------------------------------
// The host's own utmp layout (procedure "utmp")

// Appends a record to the utmp-format file at `path` through the host's own
// functions; each record has an id of its own, so none replaces another.
void PutRecord(const std::string& path, short type, const char* user,
               const char* id, pid_t pid, time_t seconds, long micro,
               short termination, short exit, const char* host = "") {
  struct utmpx u;
  memset(&u, 0, sizeof u);
  u.ut_type = type;
  u.ut_pid = pid;
  snprintf(u.ut_line, sizeof u.ut_line, "pts/%d", pid % 10);
  strncpy(u.ut_id, id, sizeof u.ut_id);
  strncpy(u.ut_user, user, sizeof u.ut_user);
  strncpy(u.ut_host, host, sizeof u.ut_host);
  u.ut_tv.tv_sec = static_cast<int32_t>(seconds);
  u.ut_tv.tv_usec = static_cast<int32_t>(micro);
  u.ut_exit.e_termination = termination;
  u.ut_exit.e_exit = exit;
  ASSERT_EQ(utmpxname(path.c_str()), 0);
  setutxent();
  ASSERT_NE(pututxline(&u), nullptr) << path;
  endutxent();
}

// Records written by the host's utmp functions are read whole, newest
// first in reports, and the log is followed when it is rotated.
TEST_F(AdminlogFileTest,
       UtmpRecordsOfTheHostLayoutBecomeRowsAndFollowRotation) {
  qortest::TraceCapture trace("ERROR");
  const std::string path = dir_.File("wtmp");
  qortest::WriteFile(path, "");
  const std::string user(32, 'u');
  // A login from a remote host names it.
  PutRecord(path, USER_PROCESS, user.c_str(), "ts1", 4241, 1000000001, 123456,
            0, 0, "203.0.113.9");
  auto valid = qortest::MakeValidLog(path + " ;N ;A ;utmp");
  ASSERT_EQ(valid->Valid, 1);
  Adminlog_File log(*valid, nullptr);
  ASSERT_EQ(log.RecordSize, static_cast<int>(sizeof(struct utmp)));
  ASSERT_TRUE(qortest::WaitUntil([&] { return log.LogEOF == log.RecordSize; }));
  PutRecord(path, DEAD_PROCESS, "", "ts2", 4242, 1000000002, 0, 1, 3);
  PutRecord(path, BOOT_TIME, "reboot", "~~", 0, 1000000003, 999999, 0, 0);
  ASSERT_TRUE(qortest::WaitUntil([&] { return log.NumEvents == 2; }));

  // Each column from its field.
  const std::string bytes = qortest::ReadFile(path);
  ASSERT_EQ(bytes.size(), 3 * sizeof(struct utmp));
  const struct {
    int record;
    std::string time, src, type, desc;
  } rows[] = {
      {0, Stamp(1000000001).substr(0, 13) + "123", "pts/1", "User process",
       "user = " + user +
           "; id = ts1; pid = 4241; term status = 0; "
           "exit status = 0; host = 203.0.113.9"},
      {1, Stamp(1000000002), "pts/2", "Zombie process",
       "user = ; id = ts2; pid = 4242; term status = 1; exit status = 3"},
      {2, Stamp(1000000003).substr(0, 13) + "999", "pts/0", "System boot time",
       "user = reboot; id = ~~; pid = 0; term status = 0; exit status = 0"},
  };
  for (const auto& r : rows) {
    std::string record =
        bytes.substr(r.record * sizeof(struct utmp), sizeof(struct utmp));
    tvx_vxlogent_data_t row;
    ASSERT_EQ(log.lfFormatEntryAsRow(&record[0], &row, nullptr), 0);
    EXPECT_EQ(std::string(row.entrytime, 16), r.time);
    EXPECT_EQ(std::string(row.entrysrc, 32), Pad(r.src, 32));
    EXPECT_EQ(std::string(row.entrytype, 16), Pad(r.type, 16));
    EXPECT_EQ(std::string(row.entrydesc, 256), Pad(r.desc, 256));
  }

  // A partial record at the end is left out of reports, newest first.
  qortest::AppendFile(path, std::string(100, '\x7f'));
  log.OptimumBlockSize = 1000;  // not a multiple of the record
  EXPECT_EQ(
      Report(log, "", ""),
      (std::vector<std::string>{rows[2].time + " 0", rows[1].time + " 4242",
                                rows[0].time + " 4241"}));

  // Rotated: the new file is read from its start.
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  qortest::WriteFile(path, "");
  PutRecord(path, USER_PROCESS, "carol", "ts4", 4244, 1000000004, 0, 0, 0);
  ASSERT_TRUE(qortest::WaitUntil([&] { return log.NumEvents == 3; }))
      << trace.Text();
  EXPECT_EQ(log.MonitorStatus.load(), MONITOR_RUNNING);
  EXPECT_EQ(log.NumFormatErrors.load(), 0u);
  EXPECT_EQ(trace.Text(), "");
}

}  // namespace
