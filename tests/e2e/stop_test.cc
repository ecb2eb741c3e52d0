// An ordinary stop (SIGTERM) while events are held back, by an engine that
// is away or an events file on a full disk: the positions saved at the stop
// stay before the events not delivered, so that every numbered line arrives
// once the outputs are back and the agent starts again.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/e2e/nats_server.h"

namespace qortest {
namespace {

// The numbered lines ("line N end") in `text`, each with the times seen.
std::map<int, int> Numbers(const std::string& text) {
  std::map<int, int> seen;
  static const std::regex number("line ([0-9]+) end");
  for (std::sregex_iterator m(text.begin(), text.end(), number), end; m != end;
       ++m) {
    ++seen[std::stoi((*m)[1])];
  }
  return seen;
}

// A small tmpfs mounted at `path` for the test (root only), which Fill()
// makes full and Restore() frees again; unmounted at the end.
class Small_Disk {
 public:
  explicit Small_Disk(const std::string& path) : path_(path) {
    mkdir(path.c_str(), 0700);
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=16m") == 0;
  }
  ~Small_Disk() {
    if (mounted_) {
      umount2(path_.c_str(), MNT_DETACH);
    }
  }
  Small_Disk(const Small_Disk&) = delete;
  Small_Disk& operator=(const Small_Disk&) = delete;
  bool Mounted() const { return mounted_; }
  void Fill() const {
    const Unique_Fd fd(
        open((path_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    // Large writes, then ever smaller ones for what they leave.
    const std::string block(64 * 1024, 'x');
    for (size_t size = block.size(); size > 0; size /= 4) {
      for (int i = 0; i < 1024 && write(fd.get(), block.data(), size) > 0;
           ++i) {
      }
    }
  }
  void Restore() const { unlink((path_ + "/filler").c_str()); }

 private:
  std::string path_;
  bool mounted_ = false;
};

constexpr int kFirst = 200;
constexpr int kLines = 3000;

// The events file on a full disk, for both HOV_WHEN_FULL settings: with
// "wait" the log waits behind the delivery window, with "drop" it reads on
// and the lost events hold its position.
TEST(StopE2ETest, FullEventsDiskKeepsTheHeldPositionAtAStop) {
  for (const bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "drop" : "wait");
    Scoped_Temp_Dir dir;
    const Small_Disk disk(dir.File("events"));
    if (!disk.Mounted()) {
      GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    }
    const std::string log = dir.File("app.log");
    Agent_Process agent(dir);
    WatchOneLogForLines(dir, log, &agent);
    agent.SetEnv("TVX_STATE_FILE", dir.File("state"));
    agent.SetEnv("HOV_EVENTS", dir.File("events/events.json"));
    agent.SetEnv("HOV_DELIVERY_WINDOW", "500");
    if (drop) {
      agent.SetEnv("HOV_WHEN_FULL", "drop");
    }
    ASSERT_TRUE(agent.Start());
    ASSERT_TRUE(WaitWatching(agent, log));
    AppendNumberedLines(log, 0, kFirst);
    ASSERT_TRUE(
        agent.WaitEvents("line " + std::to_string(kFirst - 1) + " end"));

    disk.Fill();
    AppendNumberedLines(log, kFirst, kLines);
    if (drop) {
      // Read to the end, the events lost.
      EXPECT_TRUE(WaitUntil(
          [&] { return MonlogNumber(agent, log, "NUMEVENTS") > kLines; }));
      EXPECT_TRUE(agent.WaitTrace("log positions are saved no further"));
    } else {
      EXPECT_TRUE(agent.WaitTrace("tried again every second"));
      // Held back by the file as by an engine that is away.
      EXPECT_TRUE(WaitUntil([&] {
        return MonlogRow(agent, log).find("Waiting for delivery") !=
               std::string::npos;
      })) << MonlogRow(agent, log);
    }
    ASSERT_TRUE(agent.Signal(SIGTERM));
    EXPECT_EQ(agent.WaitExit(), 0);
    if (!drop) {
      // Nothing was written past the first event the full disk held.
      const std::map<int, int> before = Numbers(agent.Events());
      ASSERT_FALSE(before.empty());
      EXPECT_EQ(before.rbegin()->first + 1, static_cast<int>(before.size()));
    }

    disk.Restore();
    ASSERT_TRUE(agent.Start());
    std::map<int, int> seen;
    EXPECT_TRUE(WaitUntil([&] {
      seen = Numbers(agent.Events());
      return seen.size() == static_cast<size_t>(kLines);
    }));
    EXPECT_EQ(seen.size(), static_cast<size_t>(kLines));
    ASSERT_TRUE(agent.Signal(SIGTERM));
    agent.WaitExit();
  }
}

// JetStream away: the log waits behind the delivery window, is stopped,
// and started again once the server is back.
TEST(StopE2ETest, EngineAwayKeepsTheHeldPositionAtAStop) {
  if (access(kNatsServer, X_OK) != 0) {
    GTEST_SKIP() << "nats-server is not installed";
  }
  Scoped_Temp_Dir dir;
  Nats_Server server(dir.path());
  ASSERT_TRUE(server.WaitReady());
  const std::string url = server.Url("qev");
  const std::string log = dir.File("app.log");
  Agent_Process agent(dir);
  WatchOneLogForLines(dir, log, &agent);
  agent.SetEnv("TVX_STATE_FILE", dir.File("state"));
  agent.SetEnv("HOV_EVENTS", url);
  agent.SetEnv("HOV_NATS_STREAM", "QEV");
  agent.SetEnv("HOV_DELIVERY_WINDOW", "1000");
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitWatching(agent, log));
  AppendNumberedLines(log, 0, kFirst);
  ASSERT_TRUE(agent.WaitTrace("created"));

  server.Stop();
  AppendNumberedLines(log, kFirst, kLines);
  EXPECT_TRUE(WaitUntil([&] {
    return MonlogRow(agent, log).find("Waiting for delivery") !=
           std::string::npos;
  }));
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);

  server.Start();
  ASSERT_TRUE(server.WaitReady());
  ASSERT_TRUE(agent.Start());
  std::map<int, int> seen;
  WaitUntil(
      [&] {
        seen = Numbers(RunProgram({QORCTL_PATH, "events", "--from", url,
                                   "--since", "-1h", "--json", "--idle", "3"},
                                  {}, dir.path())
                           .out);
        return seen.size() == static_cast<size_t>(kLines);
      },
      std::chrono::seconds(60));
  EXPECT_EQ(seen.size(), static_cast<size_t>(kLines));
  ASSERT_TRUE(agent.Signal(SIGTERM));
  agent.WaitExit();
}

}  // namespace
}  // namespace qortest
