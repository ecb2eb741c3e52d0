// Event outputs that never lose events or lie about them: a syslog socket
// nobody reads beside the event file and the state file across a restart,
// event paths that are a symlink or a FIFO, a file-size limit.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_util.h"
#include "util/unique_fd.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;
using qortest::WaitUntil;

constexpr char kSituations[] = "all VXLOGENT ENTRYDESC ~ \"line\"\n";

// Configures `agent` to watch app.log with kSituations.
void Configure(Agent_Process* agent, const Scoped_Temp_Dir& dir) {
  qortest::WriteFile(dir.File("qoragent.conf"),
                     dir.File("app.log") + " ;N ;S\n");
  qortest::WriteFile(dir.File("situations"), kSituations);
  agent->SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent->SetEnv("HOV_SITUATIONS", dir.File("situations"));
}

// Lines "app: line N end" for N in [first, end), in one text.
std::string Lines(int first, int end) {
  std::string text;
  const time_t now = time(nullptr);
  for (int i = first; i < end; ++i) {
    text += qortest::SyslogLine(now, "host1",
                                "app: line " + std::to_string(i) + " end");
  }
  return text;
}

// Each event names its line once in this column (its "entry" holds the
// whole line as well).
const std::string kDesc = "\"ENTRYDESC\":\"line ";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos;
       p = text.find(what, p + 1)) {
    ++n;
  }
  return n;
}

TEST(OutputsE2ETest, StuckSyslogCostsOnlyItselfAndARestartLosesNothing) {
  Scoped_Temp_Dir dir;
  // A syslog socket that nobody reads: its queue is full at once.
  const std::string sock = dir.File("log.sock");
  Unique_Fd syslog(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", sock.c_str());
  ASSERT_EQ(
      bind(syslog.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
  const std::string events = dir.File("events.jsonl");
  constexpr int kFirst = 12000;  // more than one output's queue holds
  constexpr int kAll = 13000;
  qortest::WriteFile(dir.File("app.log"), "");
  {
    Agent_Process agent(dir);
    Configure(&agent, dir);
    agent.SetEnv("HOV_SYSLOG_SOCKET", sock);
    agent.SetEnv("HOV_EVENTS", events + ",syslog");
    agent.SetEnv("TVX_STATE_FILE", dir.File("state"));
    ASSERT_TRUE(agent.Start());
    ASSERT_TRUE(qortest::WaitWatching(agent, dir.File("app.log")))
        << agent.Output() << agent.Trace();
    qortest::AppendFile(dir.File("app.log"), Lines(0, kFirst));
    ASSERT_TRUE(WaitUntil(
        [&] {
          return Count(qortest::ReadFile(events), kDesc) >= size_t{kFirst};
        },
        std::chrono::seconds(120)))
        << Count(qortest::ReadFile(events), kDesc) << agent.Trace();
    // Syslog's losses are counted.
    EXPECT_TRUE(WaitUntil([&] {
      return qortest::JsonField(agent.Ctl({"--json", "ping"}).out,
                                "events_lost") != "0";
    }));
    ASSERT_TRUE(agent.Signal(SIGTERM));
    ASSERT_EQ(agent.WaitExit(std::chrono::seconds(60)), 0) << agent.Trace();
  }
  // Written while the agent is down: read after the restart from the
  // position saved, no earlier and no later.
  qortest::AppendFile(dir.File("app.log"), Lines(kFirst, kAll));
  Agent_Process agent(dir);
  Configure(&agent, dir);
  agent.SetEnv("HOV_SYSLOG_SOCKET", sock);
  agent.SetEnv("HOV_EVENTS", events + ",syslog");
  agent.SetEnv("TVX_STATE_FILE", dir.File("state"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil(
      [&] { return Count(qortest::ReadFile(events), kDesc) >= size_t{kAll}; },
      std::chrono::seconds(120)))
      << Count(qortest::ReadFile(events), kDesc) << agent.Trace();
  const std::string text = qortest::ReadFile(events);
  // How often each line arrived, read off the events in one pass.
  std::vector<int> arrived(kAll, 0);
  for (size_t at = text.find(kDesc); at != std::string::npos;
       at = text.find(kDesc, at + 1)) {
    const long i = strtol(text.c_str() + at + kDesc.size(), nullptr, 10);
    ASSERT_TRUE(i >= 0 && i < kAll) << text.substr(at, 80);
    ++arrived[static_cast<size_t>(i)];
  }
  int wrong = 0;
  for (int i = 0; i < kAll && wrong < 5; ++i) {
    if (arrived[static_cast<size_t>(i)] != 1) {
      ADD_FAILURE() << "line " << i << " arrived "
                    << arrived[static_cast<size_t>(i)] << " times";
      ++wrong;
    }
  }
  EXPECT_EQ(Count(text, kDesc), size_t{kAll});
}

TEST(OutputsE2ETest, EventPathThatIsASymlinkOrAFifoIsRefusedAtStart) {
  Scoped_Temp_Dir dir;
  // A directory anyone may write, as /tmp without its sticky bit.
  const std::string shared = dir.File("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  const std::string secret = dir.File("secret");
  qortest::WriteFile(secret, "");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  const std::string link = shared + "/events.jsonl";
  ASSERT_EQ(symlink(secret.c_str(), link.c_str()), 0);
  const std::string fifo = dir.File("events.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  qortest::WriteFile(dir.File("app.log"), "");
  const struct {
    std::string events;
    std::string message;
  } cases[] = {
      {link,
       "qoragent: cannot open event file " + link +
           ": a symbolic link in a directory other users may write is not followed\n"},
      {fifo,
       "qoragent: cannot open event file " + fifo + ": not a regular file\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.events);
    Agent_Process agent(dir);
    Configure(&agent, dir);
    agent.SetEnv("HOV_EVENTS", c.events);
    qortest::WriteFile(dir.File("agent.out"), "");
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(agent.WaitExit(std::chrono::seconds(60)), 1);
    EXPECT_NE(agent.Output().find(c.message), std::string::npos)
        << agent.Output();
  }
  EXPECT_EQ(qortest::ReadFile(secret), "");
}

TEST(OutputsE2ETest, FileSizeLimitHoldsEventsAndTheAgentGoesOn) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  Configure(&agent, dir);
  constexpr rlim_t kLimit = 256 * 1024;
  agent.SetFileSizeLimit(kLimit);
  qortest::WriteFile(dir.File("app.log"), "");
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(qortest::WaitWatching(agent, dir.File("app.log")))
      << agent.Output() << agent.Trace();
  // Several times what the limit lets the event file hold.
  qortest::AppendFile(dir.File("app.log"), Lines(0, 3000));
  // The file holds what it can; the rest wait for room, tried again.
  ASSERT_TRUE(WaitUntil([&] {
    return agent.Trace().find("File too large; tried again every second") !=
           std::string::npos;
  })) << agent.Trace();
  ASSERT_TRUE(agent.Running()) << agent.Output();
  const std::string events = agent.Events();
  EXPECT_LE(events.size(), kLimit);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), '\n');
  // A stop is not held up by the events that wait.
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(std::chrono::seconds(60)), 0);
}

}  // namespace
