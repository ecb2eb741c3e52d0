// The state file (TVX_STATE_FILE) across restarts of the real agent: a
// rotated file still read when the agent is killed, and a log that cannot
// be opened while the agent runs, are both read on from where they were
// left.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;

class StateFileTest : public ::testing::Test {
 protected:
  StateFileTest() : log_(dir_.File("app.log")), state_(dir_.File("state")) {
    qortest::WriteFile(log_, "");
    qortest::WriteFile(dir_.File("agent.conf"), log_ + " ;N ;S\n");
    qortest::WriteFile(dir_.File("situations"),
                       "all VXLOGENT ENTRYDESC ~ \"seq \"\n");
  }

  std::unique_ptr<Agent_Process> Start() {
    auto agent = std::make_unique<Agent_Process>(dir_);
    agent->SetEnv("TVX_CONFIG_FILE", dir_.File("agent.conf"));
    agent->SetEnv("HOV_SITUATIONS", dir_.File("situations"));
    agent->SetEnv("TVX_STATE_FILE", state_);
    agent->SetEnv("JOP_WEX1", "ERROR,FLOW");
    agent->SetEnv("HOV_TRACE_FILE",
                  dir_.File("trace" + std::to_string(++runs_)));
    EXPECT_TRUE(agent->Start());
    EXPECT_TRUE(qortest::WaitUntil([&] {
      return agent->Ctl({"ping"}).status == 0;
    })) << agent->Output();
    return agent;
  }

  static void Append(const std::string& path, int seq) {
    qortest::AppendFile(path,
                        qortest::SyslogLine(time(nullptr), "h",
                                            "app: seq " + std::to_string(seq)));
  }
  // Events of "seq N".
  static size_t Arrived(const Agent_Process& agent, int seq) {
    return qortest::LinesWith(agent.Events(), "\"ENTRYDESC\":\"seq " +
                                                  std::to_string(seq) + "\"")
        .size();
  }
  static bool WaitArrived(const Agent_Process& agent, int seq) {
    return qortest::WaitUntil([&] { return Arrived(agent, seq) >= 1; });
  }
  static off_t Size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
  }
  // The offsets of the state file's "rotated" lines, in order.
  std::vector<long> RotatedOffsets() const {
    std::vector<long> offsets;
    for (const std::string& line :
         qortest::LinesWith(qortest::ReadFile(state_), "rotated ")) {
      offsets.push_back(atol(line.substr(line.rfind(' ') + 1).c_str()));
    }
    return offsets;
  }

  Scoped_Temp_Dir dir_;
  const std::string log_;
  const std::string state_;
  int runs_ = 0;
};

// Killed while a rotated file is still read (a writer appends to it late):
// what is appended to it and to the new file meanwhile arrives after a
// restart, once, and nothing before it again.
TEST_F(StateFileTest, KillWithARotatedFileStillReadLosesNothing) {
  auto agent = Start();
  ASSERT_TRUE(qortest::WaitWatching(*agent, log_)) << agent->Trace();
  Append(log_, 1);
  ASSERT_TRUE(WaitArrived(*agent, 1)) << agent->Trace();
  const std::string old = log_ + ".1";
  ASSERT_EQ(rename(log_.c_str(), old.c_str()), 0);
  qortest::WriteFile(log_, "");
  Append(old, 2);
  Append(log_, 3);
  ASSERT_TRUE(WaitArrived(*agent, 2)) << agent->Trace();
  ASSERT_TRUE(WaitArrived(*agent, 3)) << agent->Trace();
  // Saved with the rotated file read up to its end. The agent lets a rotated
  // file go once it has been quiet for a few seconds, so on a slow machine
  // the late writer goes on writing to it until the save is seen: the kill
  // then finds it still held.
  int late = 100;
  auto last_write = std::chrono::steady_clock::now();
  ASSERT_TRUE(qortest::WaitUntil([&] {
    if (RotatedOffsets() == std::vector<long>{static_cast<long>(Size(old))}) {
      return true;
    }
    if (std::chrono::steady_clock::now() - last_write >
        std::chrono::seconds(2)) {
      Append(old, ++late);
      last_write = std::chrono::steady_clock::now();
    }
    return false;
  })) << qortest::ReadFile(state_);
  for (int seq = 101; seq <= late; ++seq) {
    ASSERT_TRUE(WaitArrived(*agent, seq)) << agent->Trace();
  }
  ASSERT_TRUE(agent->Signal(SIGKILL));
  agent->WaitExit();
  ASSERT_EQ(RotatedOffsets(), std::vector<long>{static_cast<long>(Size(old))})
      << "the rotated file was let go of before the kill";

  Append(old, 4);
  Append(log_, 5);
  agent = Start();
  EXPECT_TRUE(WaitArrived(*agent, 4)) << agent->Trace();
  EXPECT_TRUE(WaitArrived(*agent, 5)) << agent->Trace();
  for (int seq = 1; seq <= 5; ++seq) {
    EXPECT_EQ(Arrived(*agent, seq), 1u) << "seq " << seq;
  }
  for (int seq = 101; seq <= late; ++seq) {
    EXPECT_EQ(Arrived(*agent, seq), 1u) << "seq " << seq;
  }
  ASSERT_TRUE(agent->Signal(SIGTERM));
  EXPECT_EQ(agent->WaitExit(), 0) << agent->Output();
}

// A log that cannot be opened keeps the position it had in the state file
// until it is back: a restart then reads what it gained meanwhile.
TEST_F(StateFileTest, LogInErrorKeepsItsSavedPosition) {
  auto agent = Start();
  ASSERT_TRUE(qortest::WaitWatching(*agent, log_)) << agent->Trace();
  Append(log_, 1);
  ASSERT_TRUE(WaitArrived(*agent, 1)) << agent->Trace();
  ASSERT_TRUE(agent->Signal(SIGTERM));
  ASSERT_EQ(agent->WaitExit(), 0) << agent->Output();
  const std::string saved = qortest::ReadFile(state_);
  ASSERT_NE(saved.find(log_), std::string::npos) << saved;

  // Away (the same file) while the agent runs and stops again.
  const std::string away = dir_.File("away");
  ASSERT_EQ(rename(log_.c_str(), away.c_str()), 0);
  Append(away, 2);
  agent = Start();
  ASSERT_TRUE(agent->Signal(SIGTERM));
  ASSERT_EQ(agent->WaitExit(), 0) << agent->Output();
  EXPECT_EQ(qortest::ReadFile(state_), saved);

  ASSERT_EQ(rename(away.c_str(), log_.c_str()), 0);
  Append(log_, 3);
  agent = Start();
  EXPECT_TRUE(WaitArrived(*agent, 2)) << agent->Trace();
  EXPECT_TRUE(WaitArrived(*agent, 3)) << agent->Trace();
  for (int seq = 1; seq <= 3; ++seq) {
    EXPECT_EQ(Arrived(*agent, seq), 1u) << "seq " << seq;
  }
  ASSERT_TRUE(agent->Signal(SIGTERM));
  EXPECT_EQ(agent->WaitExit(), 0) << agent->Output();
}

// Killed while an entry of several lines is still being joined: the saved
// position stays at the entry's first line, so that after a restart the
// entry arrives whole, once.
TEST_F(StateFileTest, KillWhileAnEntryIsJoinedReadsItWhole) {
  qortest::WriteFile(dir_.File("agent.conf"),
                     log_ + " ;N ;S\nmultiline " + log_ +
                         " quiet=600 ^[A-Z][a-z][a-z] \n");
  auto agent = Start();
  ASSERT_TRUE(qortest::WaitWatching(*agent, log_)) << agent->Trace();
  const off_t start = Size(log_);
  Append(log_, 1);
  qortest::AppendFile(log_, "\tat frame one\n\tat frame two\n");
  // The state file's position of the log: the fifth number of its line.
  const auto saved = [&] {
    const auto lines = qortest::LinesWith(qortest::ReadFile(state_), "log ");
    long long offset = -1;
    if (!lines.empty()) {
      sscanf(lines[0].c_str(), "log %*s %*s %*s %*s %lld", &offset);
    }
    return offset;
  };
  ASSERT_TRUE(qortest::WaitUntil([&] { return saved() == start; }))
      << "saved " << saved() << ", the entry begins at " << start;
  ASSERT_TRUE(agent->Signal(SIGKILL));
  agent->WaitExit();

  agent = Start();
  Append(log_, 2);
  ASSERT_TRUE(WaitArrived(*agent, 1)) << agent->Trace();
  const auto events =
      qortest::LinesWith(agent->Events(), "\"ENTRYDESC\":\"seq 1\"");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("frame two"), std::string::npos) << events[0];
  ASSERT_TRUE(agent->Signal(SIGTERM));
  EXPECT_EQ(agent->WaitExit(), 0) << agent->Output();
}

}  // namespace
