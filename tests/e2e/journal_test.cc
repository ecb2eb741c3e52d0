// The journal kind (J) in the real agent: entries written to a journal while
// the agent follows it reach the situations, reports and the monitored-logs
// table read them back, and a journal the agent may not read shows an error
// status. The journals are written by systemd-journal-remote: no journald.
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/journal_writer.h"

namespace qortest {
namespace {

uint64_t NowUsec() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The local time stamp of a realtime stamp, with its milliseconds.
std::string UsecStamp(uint64_t usec) {
  char ms[4];
  snprintf(ms, sizeof ms, "%03u", static_cast<unsigned>(usec / 1000 % 1000));
  return Stamp(static_cast<time_t>(usec / 1000000)).substr(0, 13) + ms;
}

// Appends entries of `fields` to the journal file `file` until the
// agent's J log `journal` counts one: its worker starts at the journal's
// tail, so entries written before it got there are not read.
bool WaitFollowing(const Agent_Process& agent, const std::string& journal,
                   const std::string& file, const Journal_Fields& fields) {
  return WaitUntil(
      [&] {
        AppendJournal(file, ExportEntry(NowUsec(), fields));
        return WaitUntil(
            [&] { return MonlogNumber(agent, journal, "NUMEVENTS") > 0; },
            std::chrono::seconds(2));
      },
      std::chrono::seconds(20));
}

TEST(JournalTest, EntriesWrittenWhileFollowingBecomeEventsAndRows) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string journal = dir.File("journal");
  ASSERT_EQ(mkdir(journal.c_str(), 0755), 0);
  const std::string file = journal + "/system.journal";
  const uint64_t old = NowUsec() - 3600ULL * 1000000;
  ASSERT_TRUE(
      AppendJournal(file, ExportEntry(old, {{"SYSLOG_IDENTIFIER", "sshd"},
                                            {"MESSAGE", "an hour ago"}})));
  const std::string matches = "SYSLOG_IDENTIFIER=sshd + SYSLOG_IDENTIFIER=sudo";
  WriteFile(dir.File("qoragent.conf"), journal + " ;N ;J ;" + matches + "\n");
  WriteFile(
      dir.File("situations"),
      "sshfail VXLOGENT LOGNAME == \"journal\" AND ENTRYDESC ~ \"Failed password\"\n"
      "all VXLOGENT LOGNAME == \"journal\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  agent.SetEnv("TZ", "UTC");
  setenv("TZ", "UTC", 1);
  tzset();
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(WaitUntil([&] {
    return JsonField(MonlogRow(agent, journal), "MONSTATUS") == "Running";
  })) << agent.Trace();
  EXPECT_EQ(JsonField(MonlogRow(agent, journal), "LOGTYPE"), "J");
  EXPECT_EQ(JsonField(MonlogRow(agent, journal), "FORMATTER"), matches);

  ASSERT_TRUE(
      WaitFollowing(agent, journal, file,
                    {{"SYSLOG_IDENTIFIER", "sudo"}, {"MESSAGE", "warm-up"}}))
      << agent.Trace();

  const uint64_t failed = NowUsec();
  const uint64_t last = failed + 2000;
  ASSERT_TRUE(AppendJournal(
      file, ExportEntry(failed, {{"_HOSTNAME", "web1"},
                                 {"SYSLOG_IDENTIFIER", "sshd"},
                                 {"_PID", "42"},
                                 {"PRIORITY", "3"},
                                 {"SYSLOG_FACILITY", "4"},
                                 {"MESSAGE",
                                  "Failed password for root from 10.0.0.1"}}) +
                ExportEntry(failed + 1000, {{"SYSLOG_IDENTIFIER", "cron"},
                                            {"MESSAGE", "not watched"}}) +
                ExportEntry(last, {{"SYSLOG_IDENTIFIER", "sudo"},
                                   {"MESSAGE", "last entry"}})));
  ASSERT_TRUE(agent.WaitEvents("\"situation\":\"sshfail\"")) << agent.Trace();
  const std::string event =
      LinesWith(agent.Events(), "\"situation\":\"sshfail\"")[0];
  EXPECT_EQ(JsonField(event, "ENTRYTIME"), UsecStamp(failed));
  EXPECT_EQ(JsonField(event, "ENTRYSYS"), "web1");
  EXPECT_EQ(JsonField(event, "ENTRYSRC"), "sshd[42]");
  EXPECT_EQ(JsonField(event, "ENTRYTYPE"), "err");
  EXPECT_EQ(JsonField(event, "ENTRYCLASS"), "auth");
  EXPECT_EQ(JsonField(event, "ENTRYDESC"),
            "Failed password for root from 10.0.0.1");
  ASSERT_TRUE(agent.WaitEvents("last entry")) << agent.Trace();
  EXPECT_EQ(agent.Events().find("not watched"), std::string::npos);

  // A report reads the journal back newest first, the match list applied.
  const Run_Result report =
      agent.Ctl({"--json", "entries", journal, "--since", "-2h"});
  ASSERT_EQ(report.status, 0) << report.err;
  const auto rows = LinesWith(report.out, "\"ENTRYDESC\"");
  ASSERT_GE(rows.size(), 4u) << report.out;
  EXPECT_EQ(JsonField(rows[0], "ENTRYDESC"), "last entry");
  EXPECT_EQ(JsonField(rows[1], "ENTRYSRC"), "sshd[42]");
  EXPECT_EQ(JsonField(rows.back(), "ENTRYDESC"), "an hour ago");
  EXPECT_EQ(report.out.find("not watched"), std::string::npos);

  // The monitored-logs row: the journal's disk usage, its newest entry.
  EXPECT_GT(MonlogNumber(agent, journal, "LOGSIZE"), 0);
  EXPECT_EQ(JsonField(MonlogRow(agent, journal), "LOGMODDATE"),
            Stamp(static_cast<time_t>(last / 1000000)));

  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
  unsetenv("TZ");
  tzset();
}

// With TVX_STATE_FILE the journal's cursor is kept across a restart: what
// was written while the agent was stopped arrives once, nothing before it
// again. Without it the journal is read from its tail again.
TEST(JournalTest, StateFileResumesAfterTheLastEntryAcrossARestart) {
  Scoped_Temp_Dir dir;
  const std::string journal = dir.File("journal");
  ASSERT_EQ(mkdir(journal.c_str(), 0755), 0);
  const std::string file = journal + "/system.journal";
  ASSERT_TRUE(
      AppendJournal(file, ExportEntry(NowUsec(), {{"MESSAGE", "old"}})));
  WriteFile(dir.File("qoragent.conf"), journal + " ;N ;J\n");
  WriteFile(dir.File("situations"), "all VXLOGENT ENTRYDESC ~ \"seq \"\n");
  int run = 0;
  const auto start = [&](bool keep_state) {
    auto agent = std::make_unique<Agent_Process>(dir);
    agent->SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
    agent->SetEnv("HOV_SITUATIONS", dir.File("situations"));
    agent->SetEnv("HOV_TRACE_FILE", dir.File("trace" + std::to_string(++run)));
    if (keep_state) {
      agent->SetEnv("TVX_STATE_FILE", dir.File("state"));
    }
    EXPECT_TRUE(agent->Start());
    EXPECT_TRUE(WaitUntil([&] { return agent->Ctl({"ping"}).status == 0; }))
        << agent->Output();
    return agent;
  };
  int written = 0;
  const auto write = [&](int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      text += ExportEntry(NowUsec() + i,
                          {{"MESSAGE", "seq " + std::to_string(++written)}});
    }
    return AppendJournal(file, text);
  };
  // How often each of "seq 1" ... "seq `written`" arrived; 0 for others.
  const auto arrivals = [&](const Agent_Process& agent) {
    std::vector<int> count(static_cast<size_t>(written) + 1, 0);
    for (const std::string& line : LinesWith(agent.Events(), "\"all\"")) {
      const int n = atoi(JsonField(line, "ENTRYDESC").substr(4).c_str());
      count[n > 0 && n <= written ? n : 0]++;
    }
    return count;
  };
  const auto each_once = [&](const Agent_Process& agent,
                             const std::vector<int>& skipped) {
    std::vector<int> want(static_cast<size_t>(written) + 1, 1);
    want[0] = 0;
    for (const int n : skipped) {
      want[static_cast<size_t>(n)] = 0;
    }
    return WaitUntil([&] { return arrivals(agent) == want; });
  };

  auto agent = start(true);
  ASSERT_TRUE(WaitFollowing(*agent, journal, file, {{"MESSAGE", "warm-up"}}))
      << agent->Trace();
  ASSERT_TRUE(write(3));
  ASSERT_TRUE(each_once(*agent, {})) << agent->Events();
  ASSERT_TRUE(agent->Signal(SIGTERM));
  ASSERT_EQ(agent->WaitExit(), 0) << agent->Output();

  ASSERT_TRUE(write(3));  // seq 4 to 6, while stopped
  agent = start(true);
  ASSERT_TRUE(write(1));
  EXPECT_TRUE(each_once(*agent, {})) << agent->Events();
  ASSERT_TRUE(agent->Signal(SIGTERM));
  ASSERT_EQ(agent->WaitExit(), 0) << agent->Output();

  ASSERT_TRUE(write(2));  // seq 8 and 9: not read without the state file
  agent = start(false);
  ASSERT_TRUE(WaitFollowing(*agent, journal, file, {{"MESSAGE", "warm-up"}}))
      << agent->Trace();
  ASSERT_TRUE(write(1));
  EXPECT_TRUE(each_once(*agent, {8, 9})) << agent->Events();
  ASSERT_TRUE(agent->Signal(SIGTERM));
  EXPECT_EQ(agent->WaitExit(), 0) << agent->Output();
}

// A saved cursor the journal cannot follow: one past its end (entries
// written later would sort before it for ever) resumes at the oldest entry
// after the cursor's time, an empty one at the head; each is traced.
TEST(JournalTest, SavedCursorPastTheEndOrEmptyLosesNothing) {
  Scoped_Temp_Dir dir;
  const std::string journal = dir.File("journal");
  ASSERT_EQ(mkdir(journal.c_str(), 0755), 0);
  const std::string file = journal + "/system.journal";
  WriteFile(dir.File("qoragent.conf"), journal + " ;N ;J\n");
  WriteFile(dir.File("situations"), "all VXLOGENT ENTRYDESC ~ \"seq \"\n");
  const std::string state = dir.File("state");
  int run = 0;
  const auto start = [&]() {
    auto agent = std::make_unique<Agent_Process>(dir);
    agent->SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
    agent->SetEnv("HOV_SITUATIONS", dir.File("situations"));
    agent->SetEnv("TVX_STATE_FILE", state);
    agent->SetEnv("HOV_EVENTS", dir.File("events" + std::to_string(++run)));
    EXPECT_TRUE(agent->Start());
    return agent;
  };
  int written = 0;
  const auto write = [&](int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      text += ExportEntry(NowUsec() + i,
                          {{"MESSAGE", "seq " + std::to_string(++written)}});
    }
    return AppendJournal(file, text);
  };
  // The saved cursor, made into `cursor(old)`.
  const auto rewrite = [&](const std::function<std::string(std::string)>& f) {
    std::string text = ReadFile(state);
    const size_t from = text.find(journal);
    const size_t count = text.find(' ', from) + 1;
    const size_t colon = text.find(':', count);
    const size_t end = text.find('\n', colon);
    ASSERT_NE(end, std::string::npos) << text;
    const std::string cursor = f(text.substr(colon + 1, end - colon - 1));
    text.replace(count, end - count,
                 std::to_string(cursor.size()) + ":" + cursor);
    WriteFile(state, text);
  };
  const auto each_once = [&](const Agent_Process& agent, int first) {
    return WaitUntil([&] {
      const std::string events = agent.Events();
      for (int n = first; n <= written; ++n) {
        const std::string what =
            "\"ENTRYDESC\":\"seq " + std::to_string(n) + "\"";
        const size_t at = events.find(what);
        if (at == std::string::npos ||
            events.find(what, at + 1) != std::string::npos) {
          return false;
        }
      }
      return true;
    });
  };

  ASSERT_TRUE(write(1));
  auto agent = start();
  ASSERT_TRUE(WaitFollowing(*agent, journal, file, {{"MESSAGE", "warm-up"}}))
      << agent->Trace();
  ASSERT_TRUE(write(2));
  ASSERT_TRUE(each_once(*agent, 2)) << agent->Events();
  ASSERT_TRUE(agent->Signal(SIGTERM));
  ASSERT_EQ(agent->WaitExit(), 0);

  // Its entry number far past the journal's last.
  rewrite([](std::string cursor) {
    const size_t i = cursor.find(";i=");
    return cursor.replace(i + 3, cursor.find(';', i + 1) - i - 3,
                          "7fffffffffff");
  });
  ASSERT_TRUE(write(2));  // seq 4 and 5, while stopped
  agent = start();
  EXPECT_TRUE(agent->WaitTrace("is past the journal's end")) << agent->Trace();
  ASSERT_TRUE(write(1));
  EXPECT_TRUE(each_once(*agent, 4)) << agent->Events();
  EXPECT_EQ(agent->Events().find("\"ENTRYDESC\":\"seq 3\""), std::string::npos);
  ASSERT_TRUE(agent->Signal(SIGTERM));
  ASSERT_EQ(agent->WaitExit(), 0);

  rewrite([](const std::string&) { return std::string(); });
  agent = start();
  EXPECT_TRUE(agent->WaitTrace("is empty")) << agent->Trace();
  EXPECT_TRUE(each_once(*agent, 1)) << agent->Events();
  ASSERT_TRUE(agent->Signal(SIGTERM));
  EXPECT_EQ(agent->WaitExit(), 0);
}

TEST(JournalTest, JournalTheAgentMayNotReadShowsAnErrorStatus) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  ASSERT_TRUE(agent.RunUnprivileged());
  const std::string file = dir.File("secret.journal");
  ASSERT_TRUE(
      AppendJournal(file, ExportEntry(NowUsec(), {{"MESSAGE", "secret"}})));
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  WriteFile(dir.File("qoragent.conf"), file + " ;N ;J\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(WaitUntil([&] {
    return JsonField(MonlogRow(agent, file), "MONSTATUS") ==
           "Error: log open failed";
  })) << agent.Ctl({"--json", "logs"}).out
      << agent.Trace();
  EXPECT_EQ(MonlogNumber(agent, file, "LOGSIZE"), -1);
  EXPECT_NE(agent.Trace().find("Permission denied"), std::string::npos);
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

}  // namespace
}  // namespace qortest
