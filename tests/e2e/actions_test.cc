// Events leaving the agent: RUN commands, EVENTS streams, syslog, a rotated
// event file and an event output that fails.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_util.h"
#include "util/unique_fd.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;
using qortest::WaitUntil;

// Starts `agent` on one watched syslog file, app.log, with `situations`.
void StartWith(Agent_Process* agent, const Scoped_Temp_Dir& dir, const std::string& situations) {
  qortest::WriteFile(dir.File("app.log"), "");
  qortest::WriteFile(dir.File("qoragent.conf"), dir.File("app.log") + " ;N ;S\n");
  qortest::WriteFile(dir.File("situations"), situations);
  agent->SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent->SetEnv("HOV_SITUATIONS", dir.File("situations"));
  ASSERT_TRUE(agent->Start());
  ASSERT_TRUE(qortest::WaitWatching(*agent, dir.File("app.log"))) << agent->Output() << agent->Trace();
}

void Log(const Scoped_Temp_Dir& dir, const std::string& text) {
  qortest::AppendFile(dir.File("app.log"), qortest::SyslogLine(time(nullptr), "host1", text));
}

// The event file when HOV_EVENTS names more outputs than it.
std::string EventFile(const Scoped_Temp_Dir& dir) { return qortest::ReadFile(dir.File("events.jsonl")); }
bool WaitEventFile(const Scoped_Temp_Dir& dir, const std::string& text) {
  return WaitUntil([&] { return EventFile(dir).find(text) != std::string::npos; }, std::chrono::seconds(2));
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) {
    ++n;
  }
  return n;
}

// The events a stream says it dropped.
size_t Dropped(const std::string& text) {
  size_t n = 0;
  const std::regex note("\\{\"dropped\":([0-9]+)\\}\n");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), note); it != std::sregex_iterator(); ++it) {
    n += std::stoul((*it)[1]);
  }
  return n;
}

Unique_Fd Connect(const std::string& path) {
  Unique_Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un a {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  if (connect(fd.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
    fd.reset();
  }
  return fd;
}

// Reads what arrives on `fd` into *text until `done` says so (or 15 s).
bool ReadUntil(int fd, std::string* text, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  return WaitUntil([&] {
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, 50) > 0) {
      char buf[65536];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        break;
      }
      text->append(buf, static_cast<size_t>(n));
    }
    return done();
  }, timeout);
}

TEST(ActionsTest, RunCommandGetsTheEventAndAHangingOneIsKilled) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  agent.SetEnv("HOV_RUN_TIMEOUT", "1");
  const std::string d = dir.path();
  StartWith(&agent, dir,
            "show VXLOGENT ENTRYDESC ~ \"show-me\" RUN \"cat > " + d + "/input.json; env | grep "
            "'^QOR_' | sort > " + d + "/env.txt; echo said-something; exit 3\"\n"
            "hang VXLOGENT ENTRYDESC ~ \"hang-me\" RUN \"echo $$ > " + d + "/hang.pid; exec sleep 300\"\n");
  const std::string listed = agent.Ctl({"--json", "situations"}).out;
  EXPECT_NE(listed.find("\"run\":\"echo $$ > " + d + "/hang.pid; exec sleep 300\""), std::string::npos)
      << listed;
  EXPECT_NE(agent.Ctl({"situations"}).out.find(" RUN \"echo $$"), std::string::npos);

  // Event data is never command text: a value that is shell syntax stays data.
  Log(dir, "app[7]: show-me $(touch " + d + "/pwned) 'quote");
  ASSERT_TRUE(WaitUntil([&] { return qortest::ReadFile(dir.File("env.txt")).find("QOR_TABLE") != std::string::npos; }));
  ASSERT_TRUE(agent.WaitTrace("ended with status 3: said-something"));
  const std::string input = qortest::ReadFile(dir.File("input.json"));
  const auto shown = qortest::LinesWith(agent.Events(), "\"situation\":\"show\"");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(input, shown[0] + "\n");
  const std::string env = qortest::ReadFile(dir.File("env.txt"));
  EXPECT_NE(env.find("QOR_SITUATION=show\n"), std::string::npos) << env;
  EXPECT_NE(env.find("QOR_TABLE=TVX.VXLOGENT\n"), std::string::npos) << env;
  EXPECT_NE(env.find("QOR_ENTRYDESC=show-me $(touch " + d + "/pwned) 'quote\n"), std::string::npos) << env;
  EXPECT_NE(env.find("QOR_ENTRYSRC=app[7]\n"), std::string::npos) << env;
  EXPECT_TRUE(std::regex_search(env, std::regex("QOR_TIME=[0-9-]+T[0-9:.]+Z\n"))) << env;
  EXPECT_NE(env.find("QOR_ENTRYTIME=1"), std::string::npos) << env;
  EXPECT_EQ(access(dir.File("pwned").c_str(), F_OK), -1);

  Log(dir, "app[7]: hang-me");
  ASSERT_TRUE(agent.WaitTrace("RUN command of situation hang still running after 1 seconds; killed."));
  const pid_t hung = atoi(qortest::ReadFile(dir.File("hang.pid")).c_str());
  ASSERT_GT(hung, 0);
  EXPECT_TRUE(WaitUntil([&] { return kill(hung, 0) != 0; }));
  EXPECT_TRUE(agent.Running());
}

TEST(ActionsTest, EventStreamsFollowWithoutBlockingOnAClientThatDoesNotRead) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  StartWith(&agent, dir, "any VXLOGENT ENTRYDESC ~ \"event\"\nother VXLOGENT ENTRYDESC ~ \"other\"\n");
  Unique_Fd idle = Connect(agent.Socket());
  Unique_Fd reader = Connect(agent.Socket());
  ASSERT_TRUE(idle.valid() && reader.valid());
  int small = 4096;
  setsockopt(idle.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_EQ(send(idle.get(), "EVENTS\n", 7, 0), 7);
  ASSERT_EQ(send(reader.get(), "events any\n", 11, 0), 11);
  std::string got;
  ASSERT_TRUE(ReadUntil(reader.get(), &got, [&] { return got == "OK stream\n"; })) << got;
  // The idle client's stream is open before the burst (its reply fits the small
  // buffer).
  std::string slow;
  ASSERT_TRUE(ReadUntil(idle.get(), &slow, [&] {
    return slow == "OK stream\n";
  })) << slow;

  // About 3 MB of events: far more than the idle client's allowance.
  constexpr int kEvents = 4000;
  std::string lines;
  const std::string pad(600, 'x');
  for (int i = 0; i < kEvents; ++i) {
    lines += qortest::SyslogLine(time(nullptr), "host1", "app: event " + std::to_string(i) + " " + pad);
  }
  qortest::AppendFile(dir.File("app.log"), lines);
  Log(dir, "app: other");
  ASSERT_TRUE(agent.WaitEvents("\"situation\":\"other\""));
  EXPECT_EQ(agent.Ctl({"ping"}).status, 0);

  // Each client gets what it had room for, and is told how many it lost
  // once it has room again: the idle one when it reads at last.
  size_t after = 0;
  const auto drain = [&](int fd, std::string* text) {
    ReadUntil(fd, text, [] { return false; }, std::chrono::milliseconds(300));
  };
  while (after < 10 && slow.find("event after") == std::string::npos) {
    drain(reader.get(), &got);
    Log(dir, "app: event after " + std::to_string(after++));
    ReadUntil(idle.get(), &slow, [&] { return slow.find("event after") != std::string::npos; },
              std::chrono::seconds(2));
  }
  ASSERT_NE(slow.find("event after"), std::string::npos);
  drain(reader.get(), &got);
  Log(dir, "app: event final");
  ASSERT_TRUE(ReadUntil(reader.get(), &got, [&] { return got.find("event final") != std::string::npos; }));
  EXPECT_EQ(got.find("\"situation\":\"other\""), std::string::npos);
  EXPECT_EQ(Count(got, "\"situation\":\"any\"") + Dropped(got), kEvents + after + 1);
  EXPECT_EQ(slow.compare(0, 10, "OK stream\n"), 0);
  // At least one note: the lines that follow the burst may find the client's
  // room still full, and their loss is announced again.
  EXPECT_GE(Count(slow, "{\"dropped\""), 1u);
  EXPECT_GT(Dropped(slow), 0u);
  // It follows every situation: the 4000 and "other" before the first line
  // it had room for again, then some of the later ones.
  const size_t accounted = Count(slow, "\"situation\":") + Dropped(slow);
  EXPECT_GT(accounted, kEvents + 1u);
  EXPECT_LE(accounted, kEvents + 1u + after);
  EXPECT_LE(slow.size(), (1u << 20) + 300000u);

  // A client that leaves in the middle is dropped quietly; the agent goes on.
  idle.reset();
  reader.reset();
  Log(dir, "app: event last");
  EXPECT_TRUE(agent.WaitEvents("event last"));
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

TEST(ActionsTest, EventsGoToSyslogAndAFileRotatedUnderTheAgent) {
  Scoped_Temp_Dir dir;
  const std::string sock = dir.File("log.sock");
  Unique_Fd syslog(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un a {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", sock.c_str());
  ASSERT_EQ(bind(syslog.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
  Agent_Process agent(dir);
  agent.SetEnv("HOV_SYSLOG_SOCKET", sock);
  agent.SetEnv("HOV_EVENTS", dir.File("events.jsonl") + ",syslog:local3");
  StartWith(&agent, dir, "fail_ssh VXLOGENT ENTRYDESC ~ \"Failed\"\n");

  Log(dir, "sshd[9]: Failed password for root");
  std::string msg;
  ASSERT_TRUE(ReadUntil(syslog.get(), &msg, [&] { return !msg.empty(); }));
  EXPECT_TRUE(std::regex_match(
      msg, std::regex("<157>[A-Z][a-z]{2} [ 1-3][0-9] [0-9:]{8} qoragent\\[[0-9]+\\]: "
                      "\\{\"time\".*\"entrytime\":\"[0-9-]+T[0-9:]+[-+][0-9]{2}:[0-9]{2}\",\"row\":\\{.*"
                      "Failed password for root.*\\}\\}")))
      << msg;
  ASSERT_TRUE(WaitEventFile(dir, "Failed password for root"));

  // Rotated away: the next events go to a new file of the same name.
  ASSERT_EQ(rename(dir.File("events.jsonl").c_str(), dir.File("events.jsonl.1").c_str()), 0);
  for (int i = 0; !WaitEventFile(dir, "Failed again") && i < 5; ++i) {
    Log(dir, "sshd[9]: Failed again " + std::to_string(i));
  }
  EXPECT_NE(EventFile(dir).find("Failed again"), std::string::npos);
  EXPECT_EQ(qortest::ReadFile(dir.File("events.jsonl.1")).find("Failed again"), std::string::npos);
}

TEST(ActionsTest, FailingOutputsAreTracedCountedAndDoNotStopTheOthers) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  agent.SetEnv("HOV_SYSLOG_SOCKET", dir.File("missing.sock"));
  agent.SetEnv("HOV_EVENTS", "/dev/full,syslog," + dir.File("events.jsonl"));
  StartWith(&agent, dir, "all VXLOGENT ENTRYDESC ~ \"note\"\n");
  // In one write, so that the events may reach the file joined.
  std::string lines;
  for (int i = 0; i < 3; ++i) {
    lines += qortest::SyslogLine(time(nullptr), "host1",
                                 "app: note " + std::to_string(i));
  }
  qortest::AppendFile(dir.File("app.log"), lines);
  ASSERT_TRUE(WaitUntil([&] { return EventFile(dir).find("note 2") != std::string::npos; }));
  EXPECT_EQ(Count(EventFile(dir), "\n"), 3u);
  ASSERT_TRUE(WaitUntil([&] {
    return qortest::JsonField(agent.Ctl({"--json", "ping"}).out,
                              "events_lost") == "3";
  })) << agent.Ctl({"--json", "ping"}).out;
  // A file that cannot take its events holds them and is tried again; a
  // best-effort output loses them.
  const std::string held =
      "wait for /dev/full: No space left on device; tried again every second";
  ASSERT_TRUE(WaitUntil([&] { return Count(agent.Trace(), held) > 0; }))
      << agent.Trace();
  const std::string trace = agent.Trace();
  EXPECT_EQ(Count(trace, held), 1u) << trace;
  EXPECT_EQ(Count(trace, "not written to syslog: cannot send to the syslog socket"), 1u) << trace;
}

}  // namespace
