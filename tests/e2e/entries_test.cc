// Reports of past log entries through qorctl entries.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "util/unique_fd.h"

namespace qortest {
namespace {

TEST(EntriesTest, ReportsTheWindowNewestFirst) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  const time_t now = time(nullptr);
  std::string text;
  const long ages[] = {3 * 3600, 2 * 3600, 3600, 1800, 600};
  for (const long age : ages) {
    text += SyslogLine(now - age, "h", "app[1]: entry aged " + std::to_string(age));
  }
  WriteFile(log, text);
  WriteFile(dir.File("qoragent.conf"), log + "\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; })) << agent.Output();
  ASSERT_TRUE(WaitUntil([&] { return JsonField(MonlogRow(agent, log), "MONSTATUS") == "Running"; }));

  const Run_Result r = agent.Ctl({"--json", "entries", log, "--since", "-90m", "--until", "-20m"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> rows = LinesWith(r.out, "\"ENTRYDESC\"");
  ASSERT_EQ(rows.size(), 2u) << r.out;
  EXPECT_EQ(JsonField(rows[0], "ENTRYDESC"), "entry aged 1800");
  EXPECT_EQ(JsonField(rows[1], "ENTRYDESC"), "entry aged 3600");
  EXPECT_EQ(JsonField(rows[0], "ENTRYTIME"), Stamp(now - 1800));
  EXPECT_EQ(JsonField(rows[0], "LOGNAME"), "messages");

  // The aligned table names the same entries.
  const Run_Result table = agent.Ctl({"entries", log, "--since", "-90m", "--until", "-20m"});
  EXPECT_EQ(table.status, 0);
  EXPECT_NE(table.out.find("entry aged 1800"), std::string::npos);
  EXPECT_EQ(table.out.find("entry aged 600"), std::string::npos);

  // A log the agent does not watch: no rows, and the request still answers.
  const Run_Result other = agent.Ctl({"--json", "entries", dir.File("other.log")});
  EXPECT_EQ(LinesWith(other.out, "\"ENTRYDESC\"").size(), 0u);
}

// One entry stamped by a device with a skewed clock does not end a report;
// a FIFO put in the log's place is refused at once, saying why.
TEST(EntriesTest, OutOfOrderEntryKeepsTheReportGoingAndAFifoIsRefused) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  const time_t now = time(nullptr);
  WriteFile(log,
            SyslogLine(now - 1500, "h", "app[1]: one") +
                SyslogLine(now - 1200, "h", "app[1]: two") +
                SyslogLine(now - 5 * 3600, "skewed", "app[1]: skewed clock") +
                SyslogLine(now - 900, "h", "app[1]: three") +
                SyslogLine(now - 600, "h", "app[1]: four"));
  WriteFile(dir.File("qoragent.conf"), log + "\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(WaitUntil([&] {
    return JsonField(MonlogRow(agent, log), "MONSTATUS") == "Running";
  }));

  const Run_Result r = agent.Ctl({"--json", "entries", log, "--since", "-1h"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(LinesWith(r.out, "\"ENTRYDESC\"").size(), 4u) << r.out;

  ASSERT_EQ(unlink(log.c_str()), 0);
  ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
  const Run_Result fifo = agent.Ctl({"entries", log, "--since", "-1h"});
  EXPECT_EQ(fifo.status, 1);
  EXPECT_NE(fifo.err.find("log " + log + " is not a regular file"),
            std::string::npos)
      << fifo.out << fifo.err;
  EXPECT_EQ(agent.Ctl({"ping"}).status, 0);
}

// A line in the zoned shape for `when`, written in the zone `offset`
// minutes east of UTC, with the fraction `fraction` (digits, or "").
std::string ZonedLine(time_t when, int offset, const std::string& fraction,
                      const std::string& rest) {
  const time_t shifted = when + offset * 60;
  struct tm tm;
  gmtime_r(&shifted, &tm);
  char stamp[64];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  const int minutes = offset < 0 ? -offset : offset;
  char zone[16];
  snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+',
           minutes / 60, minutes % 60);
  return std::string(stamp) + (fraction.empty() ? "" : "." + fraction) + zone +
         " myhost " + rest + "\n";
}

// A log in the zoned shape, written by a host whose zone changed, mixed
// with a year-less line: events carry the local time of the instant, and a
// report compares each line with the window in local time.
TEST(EntriesTest, ZonedLinesFeedASituationAndAReportAcrossAZoneChange) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("auth.log");
  const time_t now = time(nullptr);
  WriteFile(log, ZonedLine(now - 3 * 3600, 120, "", "sshd[1]: a") +
                     ZonedLine(now - 2 * 3600, 120, "5", "sshd[2]: b") +
                     ZonedLine(now - 3600, -300, "", "sshd[3]: c") +
                     SyslogLine(now - 3000, "myhost", "sshd[4]: d"));
  WriteFile(dir.File("qoragent.conf"), log + "\n");
  WriteFile(dir.File("situations"),
            "failed VXLOGENT ENTRYDESC ~ \"Failed password\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(WaitUntil([&] {
    return JsonField(MonlogRow(agent, log), "MONSTATUS") == "Running";
  }));

  // Appended until seen: monitoring starts at the end of the log.
  ASSERT_TRUE(WaitUntil(
      [&] {
        AppendFile(
            log,
            ZonedLine(
                now, 330, "155123",
                "sshd[42]: Failed password for root from 10.0.0.1 port 22 ssh2"));
        return agent.WaitEvents("\"situation\":\"failed\"",
                                std::chrono::milliseconds(1500));
      },
      std::chrono::seconds(15)))
      << agent.Trace();
  const std::string event =
      LinesWith(agent.Events(), "\"situation\":\"failed\"")[0];
  EXPECT_EQ(JsonField(event, "ENTRYTIME"), Stamp(now).substr(0, 13) + "155");
  EXPECT_EQ(JsonField(event, "ENTRYSYS"), "myhost");
  EXPECT_EQ(JsonField(event, "ENTRYSRC"), "sshd[42]");
  EXPECT_EQ(JsonField(event, "ENTRYDESC"),
            "Failed password for root from 10.0.0.1 port 22 ssh2");

  const Run_Result r = agent.Ctl(
      {"--json", "entries", log, "--since", "-150m", "--until", "-30m"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> rows = LinesWith(r.out, "\"ENTRYDESC\"");
  ASSERT_EQ(rows.size(), 3u) << r.out;
  EXPECT_EQ(JsonField(rows[0], "ENTRYDESC"), "d");
  EXPECT_EQ(JsonField(rows[1], "ENTRYDESC"), "c");
  EXPECT_EQ(JsonField(rows[1], "ENTRYTIME"), Stamp(now - 3600));
  EXPECT_EQ(JsonField(rows[2], "ENTRYDESC"), "b");
  EXPECT_EQ(JsonField(rows[2], "ENTRYTIME"),
            Stamp(now - 2 * 3600).substr(0, 13) + "500");
}

// A line written in two pieces with a poll between them is one whole event,
// and a report cut by TVX_MAX_ROWS says so.
TEST(EntriesTest, TornLineIsOneEventAndACutReportSaysSo) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  const time_t now = time(nullptr);
  std::string text;
  for (int age = 5; age > 0; --age) {
    text +=
        SyslogLine(now - 60 * age, "h", "app[1]: old " + std::to_string(age));
  }
  WriteFile(log, text);
  WriteFile(dir.File("qoragent.conf"), log + "\n");
  WriteFile(dir.File("situations"), "torn VXLOGENT ENTRYDESC ~ \"torn\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  agent.SetEnv("TVX_MAX_ROWS", "2");
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(WaitWatching(agent, log)) << agent.Trace();

  const long events = MonlogNumber(agent, log, "NUMEVENTS");
  const std::string line =
      SyslogLine(now, "h", "app[1]: torn line arrives whole");
  AppendFile(log, line.substr(0, 30));
  // Long enough for the one-second poll to find the first piece alone.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  AppendFile(log, line.substr(30));
  ASSERT_TRUE(agent.WaitEvents("\"situation\":\"torn\"")) << agent.Trace();
  const std::string event =
      LinesWith(agent.Events(), "\"situation\":\"torn\"")[0];
  EXPECT_EQ(JsonField(event, "ENTRYDESC"), "torn line arrives whole");
  EXPECT_EQ(MonlogNumber(agent, log, "NUMEVENTS"), events + 1);
  EXPECT_EQ(MonlogNumber(agent, log, "NUMERRORS"), 0);

  // Five old entries match; a window with exactly the limit is not cut.
  const Run_Result cut = agent.Ctl(
      {"--json", "entries", log, "--since", "-1h", "--until", "-30s"});
  ASSERT_EQ(cut.status, 0) << cut.err;
  EXPECT_EQ(LinesWith(cut.out, "\"ENTRYDESC\"").size(), 2u) << cut.out;
  EXPECT_NE(cut.err.find("row limit (TVX_MAX_ROWS) cut the reply"),
            std::string::npos)
      << cut.err;
  const Run_Result whole = agent.Ctl(
      {"--json", "entries", log, "--since", "-150s", "--until", "-30s"});
  EXPECT_EQ(LinesWith(whole.out, "\"ENTRYDESC\"").size(), 2u) << whole.out;
  EXPECT_EQ(whole.err, "");
}

// Starts an agent on a log of `rows` long syslog entries and asks it for a
// streamed report of all of them on a socket of the test's own: the socket.
Unique_Fd AskStreamedReport(const Scoped_Temp_Dir& dir, Agent_Process* agent,
                            const std::string& log, int rows) {
  const time_t now = time(nullptr);
  std::string text;
  for (int n = 0; n < rows; ++n) {
    text += SyslogLine(
        now - 600 + n / 100, "h",
        "app[1]: row " + std::to_string(n) + " " + std::string(100, 'p'));
  }
  WriteFile(log, text);
  WriteFile(dir.File("qoragent.conf"), log + "\n");
  agent->SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent->SetEnv("TVX_MAX_ROWS", "1000000");
  agent->SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW HOV100:ERROR,FLOW");
  Unique_Fd fd;
  if (!agent->Start() ||
      !WaitUntil([&] { return agent->Ctl({"ping"}).status == 0; }) ||
      !WaitWatching(*agent, log)) {
    ADD_FAILURE() << agent->Trace();
    return fd;
  }
  fd.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", agent->Socket().c_str());
  const std::string request = "STREAM REPORT VXLOGENT WHERE LOGPATH == \"" +
                              dir.File("") + "\" AND LOGNAME == \"" +
                              log.substr(log.rfind('/') + 1) +
                              "\" AND ENTRYTIME >= \"0000101000000000\""
                              " AND ENTRYTIME <= \"1991231235959999\"\n";
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr),
              sizeof addr) != 0 ||
      send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    ADD_FAILURE() << "request not sent";
    fd.reset();
  }
  return fd;
}

// A streamed report far larger than the socket holds, asked by a client
// that reads nothing until the report is over: the report does not wait for
// it beyond a moment (the log is released first), and every row still
// arrives, with the END line that counts them.
TEST(EntriesTest, StreamedReportDoesNotWaitForItsClientAndLosesNothing) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  constexpr int kRows = 30000;
  const Unique_Fd fd = AskStreamedReport(dir, &agent, log, kRows);
  ASSERT_TRUE(fd.valid());
  ASSERT_TRUE(agent.WaitTrace(" closed for report on " + log + "."))
      << agent.Trace();
  // Meanwhile other requests are answered.
  EXPECT_EQ(agent.Ctl({"ping"}).status, 0);

  std::string reply;
  while (true) {
    pollfd p = {fd.get(), POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 10000), 0)
        << "no more of the reply after " << reply.size() << " bytes";
    char buf[65536];
    const ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
    if (n <= 0) {
      break;
    }
    reply.append(buf, static_cast<size_t>(n));
  }
  EXPECT_GT(reply.size(), size_t{4} << 20);
  EXPECT_EQ(reply.compare(0, 10, "OK stream\n"), 0);
  // The rows, and the warm-up line that WaitWatching wrote.
  EXPECT_EQ(LinesWith(reply, std::string(100, 'p')).size(),
            static_cast<size_t>(kRows));
  const size_t rows = LinesWith(reply, "\"ENTRYDESC\"").size();
  const std::string end = "END " + std::to_string(rows) + "\n";
  ASSERT_GE(reply.size(), end.size());
  EXPECT_EQ(reply.substr(reply.size() - end.size()), end);
  EXPECT_NE(reply.find("\"row 0 p"), std::string::npos);
  EXPECT_NE(reply.find("\"row " + std::to_string(kRows - 1) + " p"),
            std::string::npos);
}

// A client that goes away while its streamed report runs: the report ends
// soon after, instead of reading the rest of the log for nobody.
TEST(EntriesTest, StreamedReportEndsWhenItsClientIsGone) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  constexpr int kRows = 200000;
  Unique_Fd fd = AskStreamedReport(dir, &agent, log, kRows);
  ASSERT_TRUE(fd.valid());
  char head[16];
  pollfd p = {fd.get(), POLLIN, 0};
  ASSERT_GT(poll(&p, 1, 60000), 0);
  ASSERT_GT(recv(fd.get(), head, sizeof head, 0), 0);
  fd.reset();
  ASSERT_TRUE(agent.WaitTrace("Report abandoned after ")) << agent.Trace();
  const std::string trace = agent.Trace();
  const size_t at = trace.find("Report abandoned after ");
  const long rows =
      atol(trace.c_str() + at + strlen("Report abandoned after "));
  EXPECT_LT(rows, kRows / 2) << trace.substr(at, 120);
  EXPECT_EQ(agent.Ctl({"ping"}).status, 0);
}

}  // namespace
}  // namespace qortest
