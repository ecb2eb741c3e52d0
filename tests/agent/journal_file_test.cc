// Tests of the journal kind (Journal_File): entries, reports, following and
// bad configuration.
#include "agent/kinds/journal_file.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "agent/config/config_def.h"
#include "agent/log_manager.h"
#include "agent/config/valid_log.h"
#include "tables/request_thresholds.h"
#include "tables/tvx_vxlogent_schema.h"
#include "tests/agent/log_test_kinds.h"
#include "tests/journal_writer.h"
#include "tests/testutil.h"

namespace {

using qortest::AppendJournal;
using qortest::ExportEntry;
using qortest::Journal_Fields;

// 2023-11-14 22:13:20 UTC.
constexpr uint64_t kT0 = 1700000000ULL * 1000000;
constexpr uint64_t kSecond = 1000000;

std::string Column(const char* field, size_t width) {
  std::string s(field, width);
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// Journals in a private directory; time zone UTC, so that stamps are the
// same everywhere.
class JournalFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<Journal_File> NewLog(const std::string& line) {
    auto valid = qortest::MakeValidLog(line);
    if (valid->Valid != 1) {
      return nullptr;
    }
    return std::make_unique<Journal_File>(*valid, nullptr);
  }
  // Every row of a report on `log` for the window, newest first.
  static std::vector<tvx_vxlogent_data_t> Report(Journal_File* log,
                                                 const char* start = "",
                                                 const char* end = "") {
    _RequestThresholds window;
    snprintf(window.StartTime, sizeof window.StartTime, "%s", start);
    snprintf(window.EndTime, sizeof window.EndTime, "%s", end);
    std::vector<tvx_vxlogent_data_t> rows;
    void* report = log->lfStartReportRequest(&window);
    if (report == nullptr) {
      return rows;
    }
    tvx_vxlogent_data_t row;
    while (log->lfGetNextLogEntry(&row, report, &window) != nullptr) {
      rows.push_back(row);
    }
    log->lfEndReportRequest(&report);
    EXPECT_EQ(report, nullptr);
    return rows;
  }
  // Appends a harmless entry until the worker of `log` counts one: the
  // worker starts at the journal's tail, so entries written before it got
  // there are not read.
  static bool WaitFollowing(Journal_File* log, const std::string& file) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (!AppendJournal(file, ExportEntry(kT0, {{"MESSAGE", "warm-up"}}))) {
        return false;
      }
      if (qortest::WaitUntil([&] { return log->NumEvents > 0; },
                             std::chrono::seconds(1))) {
        return true;
      }
    }
    return false;
  }

  qortest::Scoped_Time_Zone utc_{"UTC"};
  qortest::Scoped_Temp_Dir dir_;
};

TEST_F(JournalFileTest, EntryFieldsFillTheColumns) {
  const std::string long_name(40, 'n');
  std::string wide_text = "x";
  for (int i = 0; i < 200; ++i) {
    wide_text += "\xc3\xa9";  // é: two bytes
  }
  struct Case {
    Journal_Fields fields;
    const char* sys;
    std::string src;
    const char* type;
    const char* cls;
    std::string desc;
  };
  const std::vector<Case> cases = {
      {{{"_HOSTNAME", "web1"},
        {"SYSLOG_IDENTIFIER", "sshd"},
        {"_PID", "42"},
        {"PRIORITY", "3"},
        {"SYSLOG_FACILITY", "4"},
        {"MESSAGE", "Failed password for root"}},
       "web1",
       "sshd[42]",
       "err",
       "auth",
       "Failed password for root"},
      {{{"_COMM", "cron"},
        {"_PID", "7"},
        {"PRIORITY", "6"},
        {"MESSAGE", "job"}},
       "",
       "cron[7]",
       "info",
       "",
       "job"},
      {{{"SYSLOG_IDENTIFIER", "kernel"},
        {"_COMM", "ignored"},
        {"PRIORITY", "0"},
        {"SYSLOG_FACILITY", "0"},
        {"MESSAGE", "panic"}},
       "",
       "kernel",
       "emerg",
       "kern",
       "panic"},
      {{{"SYSLOG_IDENTIFIER", "app"},
        {"SYSLOG_PID", "99"},
        {"PRIORITY", "7"},
        {"SYSLOG_FACILITY", "23"},
        {"MESSAGE",
         "Gr\xc3\xbc\xc3\x9f"
         "e"}},
       "",
       "app[99]",
       "debug",
       "local7",
       "Gr\xc3\xbc\xc3\x9f"
       "e"},
      // Binary: control bytes and bytes that are not UTF-8 are left out,
      // line ends become blanks.
      {{{"MESSAGE", std::string("bin\x01\x02"
                                "ary\nline\xff\x00!",
                                16)},
        {"PRIORITY", "9"}},
       "",
       "",
       "9",
       "",
       "binary line!"},
      // Cut to the columns without splitting a character or the pid.
      {{{"SYSLOG_IDENTIFIER", long_name},
        {"_PID", "12345"},
        {"MESSAGE", wide_text}},
       "",
       std::string(25, 'n') + "[12345]",
       "",
       "",
       wide_text.substr(0, 255)},
  };
  const std::string file = dir_.File("x.journal");
  std::string text;
  for (size_t i = 0; i < cases.size(); ++i) {
    text += ExportEntry(kT0 + i * kSecond + 123456, cases[i].fields);
  }
  ASSERT_TRUE(AppendJournal(file, text));
  auto log = NewLog(file + " ;N ;J");
  ASSERT_NE(log, nullptr);

  const auto rows = Report(log.get());
  ASSERT_EQ(rows.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[cases.size() - 1 - i];  // newest first
    const tvx_vxlogent_data_t& row = rows[i];
    SCOPED_TRACE(c.desc);
    char stamp[17];
    snprintf(stamp, sizeof stamp, "12311142213%02zu123",
             20 + (cases.size() - 1 - i));
    EXPECT_EQ(Column(row.entrytime, 16), stamp);
    EXPECT_EQ(Column(row.entrysys, 32), c.sys);
    EXPECT_EQ(Column(row.entrysrc, 32), c.src);
    EXPECT_EQ(Column(row.entrytype, 16), c.type);
    EXPECT_EQ(Column(row.entryclass, 16), c.cls);
    EXPECT_EQ(Column(row.entrydesc, 256), c.desc);
    EXPECT_EQ(Column(row.logpath, 256), dir_.path() + "/");
    EXPECT_EQ(Column(row.logname, 128), "x.journal");
  }
}

TEST_F(JournalFileTest, MatchListSelectsEntries) {
  const std::string file = dir_.File("x.journal");
  std::string text;
  const char* const idents[] = {"sshd", "cron", "sudo", "sshd"};
  for (int i = 0; i < 4; ++i) {
    text +=
        ExportEntry(kT0 + i * kSecond, {{"SYSLOG_IDENTIFIER", idents[i]},
                                        {"PRIORITY", i == 3 ? "3" : "6"},
                                        {"MESSAGE", "m" + std::to_string(i)}});
  }
  ASSERT_TRUE(AppendJournal(file, text));
  struct Case {
    const char* matches;
    std::vector<std::string> messages;  // newest first
  };
  const Case cases[] = {
      {"SYSLOG_IDENTIFIER=sshd + SYSLOG_IDENTIFIER=sudo", {"m3", "m2", "m0"}},
      {"SYSLOG_IDENTIFIER=sshd PRIORITY=3", {"m3"}},
      {"PRIORITY=6\t+  SYSLOG_IDENTIFIER=nobody ", {"m2", "m1", "m0"}},
  };
  for (const Case& c : cases) {
    auto log = NewLog(file + " ;N ;J ;" + c.matches);
    ASSERT_NE(log, nullptr) << c.matches;
    std::vector<std::string> got;
    for (const auto& row : Report(log.get())) {
      got.push_back(Column(row.entrydesc, 256));
    }
    EXPECT_EQ(got, c.messages) << c.matches;
  }
}

TEST_F(JournalFileTest, ReportWindowSpansTwoFilesNewestFirst) {
  // Even seconds in one file, odd ones in the other; one more entry half a
  // second into each second.
  std::string even, odd;
  for (int s = 0; s < 20; ++s) {
    std::string& text = s % 2 == 0 ? even : odd;
    for (uint64_t half : {uint64_t{0}, kSecond / 2}) {
      text +=
          ExportEntry(kT0 + s * kSecond + half,
                      {{"MESSAGE", std::to_string(s) + (half ? ".5" : "")}});
    }
  }
  ASSERT_TRUE(AppendJournal(dir_.File("a.journal"), even));
  ASSERT_TRUE(AppendJournal(dir_.File("b.journal"), odd));
  auto log = NewLog(dir_.path() + " ;N ;J");
  ASSERT_NE(log, nullptr);

  // From second 5 to second 14: an end without milliseconds covers its
  // whole second.
  std::vector<std::string> got;
  for (const auto& row :
       Report(log.get(), "1231114221325000", "1231114221334000")) {
    got.push_back(Column(row.entrydesc, 256));
  }
  std::vector<std::string> want;
  for (int s = 14; s >= 5; --s) {
    want.push_back(std::to_string(s) + ".5");
    want.push_back(std::to_string(s));
  }
  EXPECT_EQ(got, want);

  // Milliseconds bound the window exactly.
  got.clear();
  for (const auto& row :
       Report(log.get(), "1231114221325500", "1231114221326499")) {
    got.push_back(Column(row.entrydesc, 256));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"6", "5.5"}));
  EXPECT_TRUE(
      Report(log.get(), "1241114221325000", "1241114221334000").empty());
  // A start before 1970 ("from the start", as a client may send it) is the
  // epoch.
  EXPECT_EQ(Report(log.get(), "0000000000000000", "1231114221320000").size(),
            2u);
  EXPECT_EQ(Report(log.get(), "0691231230000000", "1231114221320000").size(),
            2u);
}

TEST_F(JournalFileTest, EntriesAppendedWhileFollowingArriveOnce) {
  const std::string file = dir_.File("a.journal");
  ASSERT_TRUE(AppendJournal(file, ExportEntry(kT0, {{"MESSAGE", "old"}})));
  auto log = NewLog(dir_.path() + " ;N ;J ;SYSLOG_IDENTIFIER=app");
  ASSERT_NE(log, nullptr);
  // The warm-up entries do not match; one that does ends the warm-up.
  for (int attempt = 0; attempt < 20 && log->NumEvents == 0; ++attempt) {
    ASSERT_TRUE(AppendJournal(
        file,
        ExportEntry(kT0, {{"SYSLOG_IDENTIFIER", "app"}, {"MESSAGE", "w"}})));
    qortest::WaitUntil([&] { return log->NumEvents > 0; },
                       std::chrono::seconds(1));
  }
  ASSERT_GT(log->NumEvents.load(), 0u);
  const uint64_t base = log->NumEvents;

  std::string text;
  for (int i = 0; i < 3; ++i) {
    text += ExportEntry(kT0 + i,
                        {{"SYSLOG_IDENTIFIER", "app"}, {"MESSAGE", "new"}});
    text += ExportEntry(kT0 + i,
                        {{"SYSLOG_IDENTIFIER", "other"}, {"MESSAGE", "x"}});
  }
  ASSERT_TRUE(AppendJournal(file, text));
  // A new file in the directory is followed too; its entry comes last.
  ASSERT_TRUE(AppendJournal(dir_.File("b.journal"),
                            ExportEntry(kT0 + 9, {{"SYSLOG_IDENTIFIER", "app"},
                                                  {"MESSAGE", "last"}})));
  ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents >= base + 4; }));
  // Nothing is read twice: a sentinel after them makes exactly one more.
  ASSERT_TRUE(
      AppendJournal(file, ExportEntry(kT0 + 10, {{"SYSLOG_IDENTIFIER", "app"},
                                                 {"MESSAGE", "sentinel"}})));
  ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents >= base + 5; }));
  EXPECT_EQ(log->NumEvents.load(), base + 5);
  EXPECT_EQ(log->NumFormatErrors.load(), 0u);
  EXPECT_EQ(log->MonitorStatus.load(), MONITOR_RUNNING);
}

TEST_F(JournalFileTest, WorkerResumesAfterTheLastEntryRead) {
  const std::string file = dir_.File("x.journal");
  ASSERT_TRUE(AppendJournal(file, ExportEntry(kT0, {{"MESSAGE", "old"}})));
  Log_Position cursor;
  {
    auto log = NewLog(file + " ;N ;J");
    ASSERT_NE(log, nullptr);
    ASSERT_TRUE(WaitFollowing(log.get(), file));
    ASSERT_TRUE(
        AppendJournal(file, ExportEntry(kT0 + 1, {{"MESSAGE", "read"}})));
    ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents >= 2; }));
    log->lfStopThread();
    ASSERT_TRUE(log->lfGetPosition(&cursor));
    EXPECT_EQ(cursor.path, file);
  }
  // Written while no worker ran.
  ASSERT_TRUE(
      AppendJournal(file, ExportEntry(kT0 + 2, {{"MESSAGE", "missed 1"}}) +
                              ExportEntry(kT0 + 3, {{"MESSAGE", "missed 2"}})));
  auto log = NewLog(file + " ;N ;J");
  ASSERT_NE(log, nullptr);
  log->lfStopThread();
  const uint64_t first_run = log->NumEvents;  // from the tail: nothing
  log->lfSetPosition(cursor);
  log->lfStartThread();
  ASSERT_TRUE(
      qortest::WaitUntil([&] { return log->NumEvents >= first_run + 2; }));
  // Nothing before the cursor is read again: a sentinel makes one more.
  ASSERT_TRUE(
      AppendJournal(file, ExportEntry(kT0 + 4, {{"MESSAGE", "sentinel"}})));
  ASSERT_TRUE(
      qortest::WaitUntil([&] { return log->NumEvents >= first_run + 3; }));
  EXPECT_EQ(log->NumEvents.load(), first_run + 3);
  // A restart of the worker goes on from where it got to.
  log->lfStopThread();
  log->lfStartThread();
  ASSERT_TRUE(AppendJournal(
      file, ExportEntry(kT0 + 5, {{"MESSAGE", "after restart"}})));
  ASSERT_TRUE(
      qortest::WaitUntil([&] { return log->NumEvents >= first_run + 4; }));
  EXPECT_EQ(log->NumEvents.load(), first_run + 4);
  // The cursor's entry is gone (its file vacuumed, a new one begun): every
  // entry after it is read, the first one too.
  log->lfStopThread();
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_TRUE(AppendJournal(
      file, ExportEntry(kT0 + 6, {{"MESSAGE", "new file 1"}}) +
                ExportEntry(kT0 + 7, {{"MESSAGE", "new file 2"}})));
  log->lfStartThread();
  ASSERT_TRUE(
      qortest::WaitUntil([&] { return log->NumEvents >= first_run + 6; }));
  EXPECT_EQ(log->NumEvents.load(), first_run + 6);
}

TEST_F(JournalFileTest, NoMatchingEntryYetResumesFromTheHead) {
  const std::string file = dir_.File("x.journal");
  const Journal_Fields app = {{"SYSLOG_IDENTIFIER", "app"}, {"MESSAGE", "a"}};
  ASSERT_TRUE(AppendJournal(file, ExportEntry(kT0, {{"MESSAGE", "other"}})));
  auto log = NewLog(file + " ;N ;J ;SYSLOG_IDENTIFIER=app");
  ASSERT_NE(log, nullptr);
  Log_Position position;
  ASSERT_TRUE(
      qortest::WaitUntil([&] { return log->lfGetPosition(&position); }));
  EXPECT_EQ(position.text, "head");
  // Written while no worker ran: read at the next start, as the one after.
  log->lfStopThread();
  ASSERT_TRUE(AppendJournal(file, ExportEntry(kT0 + 1, app)));
  log->lfSetPosition(position);
  log->lfStartThread();
  ASSERT_TRUE(AppendJournal(file, ExportEntry(kT0 + 2, app)));
  ASSERT_TRUE(qortest::WaitUntil([&] { return log->NumEvents >= 2; }));
  EXPECT_EQ(log->NumEvents.load(), 2u);
  ASSERT_TRUE(log->lfGetPosition(&position));
  EXPECT_NE(position.text, "head");
}

TEST_F(JournalFileTest, StopEndsTheWorkerWithinASecond) {
  const std::string file = dir_.File("x.journal");
  ASSERT_TRUE(AppendJournal(file, ExportEntry(kT0, {{"MESSAGE", "old"}})));
  auto log = NewLog(file + " ;N ;J");
  ASSERT_NE(log, nullptr);
  ASSERT_TRUE(WaitFollowing(log.get(), file));
  // Ordering, not a measured time: the stop is over before a timer of one
  // second fires.
  std::atomic<int> order{0};
  int timer_fired = 0;
  std::thread timer([&] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    timer_fired = ++order;
  });
  log->lfStopThread();
  const int stopped = ++order;
  timer.join();
  EXPECT_LT(stopped, timer_fired);
  EXPECT_EQ(log->MonitorStatus.load(), MONITOR_STOPPED);
}

TEST_F(JournalFileTest, BadConfigurationIsRejectedNamingTheCause) {
  const std::string journal = dir_.File("x.journal");
  ASSERT_TRUE(AppendJournal(journal, ExportEntry(kT0, {{"MESSAGE", "m"}})));
  const std::string text = dir_.File("notes.txt");
  qortest::WriteFile(text, "not a journal\n");
  const std::string empty = dir_.File("empty");
  ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
  const std::string missing = dir_.File("missing");
  struct Case {
    std::string line;
    std::string trace;  // "" when accepted
  };
  const std::vector<Case> cases = {
      {dir_.path() + "/ ;N ;J", ""},
      {journal + " ;Y ;J ;_SYSTEMD_UNIT=ssh.service + SYSLOG_IDENTIFIER=sudo",
       ""},
      // sd-journal's own reason (which depends on the file's size).
      {text + " ;N ;J", "Log " + text + " is not a journal: "},
      {missing + " ;N ;J",
       "Log " + missing + " is not a journal: No such file or directory"},
      // A directory journald has not written to yet waits for its files.
      {empty + " ;N ;J", ""},
      // Only the journal kind takes a directory.
      {dir_.path() + " ;N ;S",
       "The file " + dir_.path() + " is not a regular file."},
      {journal + " ;N ;J ;SYSLOG_IDENTIFIER=sshd + lower=x",
       "Match term \"lower=x\" of log " + journal +
           " is not valid: Invalid argument."},
      {journal + " ;N ;J ;MESSAGE", "Match term \"MESSAGE\" of log"},
      {journal + " ;N ;J ;+ A=b", "Match term \"+\" of log"},
      {journal + " ;N ;J ;A=b + + C=d", "Match term \"+\" of log"},
      {journal + " ;N ;J ;A=b +", "Match term \"+\" of log"},
  };
  for (const Case& c : cases) {
    qortest::TraceCapture trace("ERROR");
    auto valid = qortest::MakeValidLog(c.line);
    EXPECT_EQ(valid->Valid, c.trace.empty() ? 1 : 0) << c.line << trace.Text();
    if (!c.trace.empty()) {
      EXPECT_TRUE(trace.Contains(c.trace)) << c.line << "\n" << trace.Text();
    }
  }
  // A directory's trailing '/' is dropped: its base name is its last part.
  auto valid = qortest::MakeValidLog(dir_.path() + "/ ;N ;J");
  EXPECT_EQ(std::string(valid->LogFileName), dir_.path());
}

TEST_F(JournalFileTest, CorruptJournalIsReadAsFarAsPossible) {
  const std::string file = dir_.File("x.journal");
  std::string text;
  for (int i = 0; i < 200; ++i) {
    text += ExportEntry(kT0 + i * kSecond,
                        {{"MESSAGE", "entry " + std::to_string(i)}});
  }
  ASSERT_TRUE(AppendJournal(file, text));
  // Garbage over the objects around the middle entry's message.
  const std::string bytes = qortest::ReadFile(file);
  const size_t middle = bytes.find("entry 100");
  ASSERT_NE(middle, std::string::npos);
  FILE* f = fopen(file.c_str(), "r+");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fseek(f, static_cast<long>(middle) - 64, SEEK_SET), 0);
  const std::string garbage(2048, '\xa5');
  ASSERT_EQ(fwrite(garbage.data(), 1, garbage.size(), f), garbage.size());
  fclose(f);

  qortest::TraceCapture trace("ERROR");
  auto log = NewLog(file + " ;N ;J");
  ASSERT_NE(log, nullptr);
  std::vector<std::string> got;
  for (const auto& row : Report(log.get())) {
    got.push_back(Column(row.entrydesc, 256));
  }
  ASSERT_GT(got.size(), 100u);
  EXPECT_LT(got.size(), 200u);
  EXPECT_EQ(got.front(), "entry 199");
  EXPECT_EQ(got.back(), "entry 0");
  EXPECT_LE(trace.Count("Error"), 1u) << trace.Text();
  int64_t size = 0;
  time_t modified = 0;
  EXPECT_EQ(log->lfStatLog(&size, &modified), 0);
  EXPECT_EQ(modified, static_cast<time_t>(kT0 / kSecond + 199));
}

TEST_F(JournalFileTest, UnopenableFileOfADirectoryIsTracedOnceAndPassedOver) {
  const std::string good = dir_.File("good.journal");
  const std::string bad = dir_.File("bad.journal");
  ASSERT_TRUE(AppendJournal(good, ExportEntry(kT0, {{"MESSAGE", "g"}})));
  ASSERT_TRUE(AppendJournal(bad, ExportEntry(kT0, {{"MESSAGE", "b"}})));
  // Its header's signature spoilt.
  FILE* f = fopen(bad.c_str(), "r+");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fwrite("XXXXXXXX", 1, 8, f), 8u);
  fclose(f);
  qortest::TraceCapture trace("ERROR");
  auto log = NewLog(dir_.path() + " ;N ;J");
  ASSERT_NE(log, nullptr);
  ASSERT_TRUE(WaitFollowing(log.get(), good));
  EXPECT_EQ(trace.Count("Journal file " + bad + " of log " + dir_.path() +
                        " cannot be read: "),
            1u)
      << trace.Text();
  EXPECT_EQ(log->MonitorStatus.load(), MONITOR_RUNNING);
}

TEST_F(JournalFileTest, MonitoredLogSizeAndTimeComeFromTheJournal) {
  const std::string file = dir_.File("x.journal");
  ASSERT_TRUE(AppendJournal(
      file, ExportEntry(kT0, {{"MESSAGE", "a"}}) +
                ExportEntry(kT0 + 5 * kSecond, {{"MESSAGE", "b"}})));
  auto log = NewLog(dir_.path() + " ;N ;J");
  ASSERT_NE(log, nullptr);
  int64_t size = 0;
  time_t modified = 0;
  ASSERT_EQ(log->lfStatLog(&size, &modified), 0);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(size, static_cast<int64_t>(st.st_blocks) * 512);
  EXPECT_EQ(modified, static_cast<time_t>(kT0 / kSecond + 5));
}

// The default list of a journal-only host: no agent configuration named and
// no syslog configuration, so the first journal directory holding journal
// files is watched (else the first one there).
class Journal_Default_Manager : public qortest::Test_Manager {
 public:
  Journal_Default_Manager(const char* first, const char* second)
      : qortest::Test_Manager(false) {
    JournalDirs[0] = first;
    JournalDirs[1] = second;
  }
};

TEST_F(JournalFileTest, JournalOnlyHostWatchesTheJournal) {
  unsetenv(CONFIGFILEENVVAR);
  const std::string syslog = dir_.File("no-syslog.conf");
  setenv(SYSLOGCONFENVVAR, syslog.c_str(), 1);
  const std::string persistent = dir_.File("var-log-journal");
  const std::string volatile_dir = dir_.File("run-log-journal");
  ASSERT_EQ(mkdir(persistent.c_str(), 0755), 0);  // empty: passed over first
  ASSERT_EQ(mkdir(volatile_dir.c_str(), 0755), 0);
  const std::string machine =
      volatile_dir + "/0123456789abcdef0123456789abcdef";
  ASSERT_EQ(mkdir(machine.c_str(), 0755), 0);
  ASSERT_TRUE(AppendJournal(machine + "/system.journal",
                            ExportEntry(kT0, {{"MESSAGE", "m"}})));
  {
    qortest::TraceCapture trace("ERROR");
    Journal_Default_Manager manager(persistent.c_str(), volatile_dir.c_str());
    EXPECT_EQ(manager.lmRefresh(), 1u);
    ASSERT_NE(manager.FirstLogObject, nullptr);
    EXPECT_EQ(manager.FirstLogObject->LogType, JOURNALTYPE);
    EXPECT_EQ(std::string(manager.FirstLogObject->LogFileName), volatile_dir);
    EXPECT_TRUE(trace.Contains("No syslog configuration " + syslog +
                               "; watching the systemd journal " +
                               volatile_dir + "."))
        << trace.Text();
  }
  const std::string none = dir_.File("none");
  {
    // None holds journal files yet: the first directory that is there
    // waits for them, listed.
    Journal_Default_Manager manager(none.c_str(), persistent.c_str());
    EXPECT_EQ(manager.lmRefresh(), 1u);
    ASSERT_NE(manager.FirstLogObject, nullptr);
    EXPECT_EQ(std::string(manager.FirstLogObject->LogFileName), persistent);
  }
  {
    // No journal directory at all: nothing to do, as before.
    qortest::TraceCapture trace("ERROR");
    Journal_Default_Manager manager(none.c_str(), nullptr);
    EXPECT_EQ(manager.lmRefresh(), 0u);
    EXPECT_TRUE(trace.Contains("Agent has no work to do.")) << trace.Text();
  }
  unsetenv(SYSLOGCONFENVVAR);
}

// An rsyslog host: the files its configuration names. A configuration whose
// files are all missing, or none at all, means the journal; when the
// configuration comes back its files are watched again.
TEST_F(JournalFileTest, SyslogHostWatchesItsFilesAndTheJournalOnlyWithoutThem) {
  unsetenv(CONFIGFILEENVVAR);
  const std::string syslog = dir_.File("rsyslog.conf");
  const std::string saved = dir_.File("rsyslog.conf.saved");
  setenv(SYSLOGCONFENVVAR, syslog.c_str(), 1);
  const std::string journal = dir_.File("journal");
  ASSERT_EQ(mkdir(journal.c_str(), 0755), 0);
  ASSERT_TRUE(AppendJournal(journal + "/system.journal",
                            ExportEntry(kT0, {{"MESSAGE", "m"}})));
  const std::string messages = dir_.File("messages");
  qortest::WriteFile(syslog, "*.* -" + messages + "\n");
  Journal_Default_Manager manager(journal.c_str(), nullptr);
  qortest::TraceCapture trace("ERROR");
  // Named, but not written yet.
  EXPECT_EQ(manager.lmRefresh(), 1u);
  EXPECT_EQ(manager.FirstLogObject->LogType, JOURNALTYPE);
  EXPECT_TRUE(trace.Contains("None of the files " + syslog +
                             " names exists; watching the systemd journal " +
                             journal + "."))
      << trace.Text();
  qortest::WriteFile(messages, "");
  EXPECT_EQ(manager.lmRefresh(), 1u);
  EXPECT_EQ(manager.FirstLogObject->LogType, SYSLOGTYPE);
  EXPECT_STREQ(manager.FirstLogObject->LogFileName, messages.c_str());
  // Gone: its files are watched on, not the journal; back (the same
  // file): its files still.
  ASSERT_EQ(rename(syslog.c_str(), saved.c_str()), 0);
  EXPECT_EQ(manager.lmRefresh(), 1u);
  EXPECT_EQ(manager.FirstLogObject->LogType, SYSLOGTYPE);
  EXPECT_STREQ(manager.FirstLogObject->LogFileName, messages.c_str());
  ASSERT_EQ(rename(saved.c_str(), syslog.c_str()), 0);
  EXPECT_EQ(manager.lmRefresh(), 1u);
  EXPECT_EQ(manager.FirstLogObject->LogType, SYSLOGTYPE);
  EXPECT_STREQ(manager.FirstLogObject->LogFileName, messages.c_str());
  unsetenv(SYSLOGCONFENVVAR);
}

}  // namespace
