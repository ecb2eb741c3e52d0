// Situations that remember, end to end: pairs, "without" on a quiet log,
// absence and its resolution, an alert that fires once and resolves, and
// state that a reload keeps.
#include <signal.h>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_util.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;
using qortest::WaitUntil;

constexpr auto kWait = std::chrono::seconds(30);

class RememberTest : public ::testing::Test {
 protected:
  // Starts the agent on one log with `situations`.
  void Start(const std::string& situations) {
    log_ = dir_.File("app.log");
    qortest::WriteFile(log_, "");
    qortest::WriteFile(dir_.File("qoragent.conf"), log_ + " ;N ;S\n");
    qortest::WriteFile(dir_.File("situations"), situations);
    agent_.SetEnv("TVX_CONFIG_FILE", dir_.File("qoragent.conf"));
    agent_.SetEnv("HOV_SITUATIONS", dir_.File("situations"));
    agent_.SetEnv("TVX_STATE_FILE", dir_.File("state"));
    ASSERT_TRUE(agent_.Start());
    ASSERT_TRUE(qortest::WaitWatching(agent_, log_))
        << agent_.Output() << agent_.Trace();
  }
  void Append(const std::string& message) {
    qortest::AppendFile(log_,
                        qortest::SyslogLine(time(nullptr), "host1", message));
  }
  // The event lines holding `text`.
  std::vector<std::string> With(const std::string& text) {
    return qortest::LinesWith(agent_.Events(), text);
  }
  bool WaitFor(const std::string& text, size_t n = 1) {
    return WaitUntil([&] { return With(text).size() >= n; }, kWait);
  }

  Scoped_Temp_Dir dir_;
  Agent_Process agent_{dir_};
  std::string log_;
};

TEST_F(RememberTest, APairPerKeyCarriesBothEntries) {
  Start(
      "login VXLOGENT ENTRYDESC ~ \"Failed password\" THEN ENTRYDESC ~ "
      "\"Accepted password\" WITHIN 60 PER ENTRYDESC \"for ([a-z0-9]+) from\"\n");
  Append("sshd[1]: Failed password for ann from 10.0.0.1 port 22");
  Append("sshd[2]: Failed password for bob from 10.0.0.2 port 22");
  Append("sshd[3]: Accepted password for bob from 10.0.0.2 port 22");
  Append("sshd[4]: Accepted password for cy from 10.0.0.3 port 22");
  ASSERT_TRUE(WaitFor("\"pair\":\"then\""))
      << agent_.Events() << agent_.Trace();
  const std::vector<std::string> events = With("\"situation\":\"login\"");
  ASSERT_EQ(events.size(), 1u) << agent_.Events();
  const std::string& e = events[0];
  EXPECT_NE(e.find("\"key\":\"bob\""), std::string::npos) << e;
  EXPECT_NE(e.find("\"alert\":{\"situation\":\"login\",\"key\":\"bob\","
                   "\"host\":\"testhost:TVX\"},\"state\":\"firing\""),
            std::string::npos)
      << e;
  EXPECT_NE(e.find("Failed password for bob"), std::string::npos) << e;
  EXPECT_NE(e.find("Accepted password for bob"), std::string::npos) << e;
}

TEST_F(RememberTest, WithoutOnAQuietLogComesByTheClock) {
  Start(
      "unclosed VXLOGENT ENTRYDESC ~ \"session opened\" WITHOUT ENTRYDESC ~ "
      "\"session closed\" WITHIN 2 PER ENTRYDESC \"for user ([a-z]+)\"\n");
  Append("sshd[1]: session opened for user ann");
  Append("sshd[2]: session opened for user bob");
  Append("sshd[3]: session closed for user bob");
  const auto appended = std::chrono::steady_clock::now();
  // Nothing more is written: the window ends by the clock.
  ASSERT_TRUE(WaitFor("\"pair\":\"without\""))
      << agent_.Events() << agent_.Trace();
  const double after =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - appended)
          .count();
  const std::vector<std::string> events = With("\"situation\":\"unclosed\"");
  ASSERT_EQ(events.size(), 1u) << agent_.Events();
  EXPECT_NE(events[0].find("\"key\":\"ann\""), std::string::npos) << events[0];
  EXPECT_NE(events[0].find("session opened for user ann"), std::string::npos);
  EXPECT_GE(after, 1.0);  // not before the window of 2 s (entry seconds)
  RecordProperty("seconds_after_append", std::to_string(after));
}

TEST_F(RememberTest, AbsenceFiresAndResolvesWhenTheRowReturns) {
  Start("heartbeat VXLOGENT ENTRYDESC ~ \"alive\" ABSENT 2\n");
  Append("app: alive");
  ASSERT_TRUE(WaitFor("\"state\":\"firing\""))
      << agent_.Events() << agent_.Trace();
  EXPECT_NE(With("\"absent\":2")[0].find("\"key\":\"" + log_ + "\""),
            std::string::npos)
      << agent_.Events();
  Append("app: alive again");
  ASSERT_TRUE(WaitFor("\"state\":\"resolved\"")) << agent_.Events();
  const std::string resolved = With("\"state\":\"resolved\"")[0];
  EXPECT_NE(resolved.find("alive again"), std::string::npos) << resolved;
  EXPECT_NE(resolved.find("\"since\":"), std::string::npos) << resolved;
  EXPECT_EQ(With("\"state\":\"firing\"").size(), 1u) << agent_.Events();
}

TEST_F(RememberTest, AnAlertFiresOnceAndResolvesByItsClearRule) {
  Start(
      "storm VXLOGENT ENTRYDESC ~ \"error\" AND FREQTHRESH >= 3 AND "
      "PERIODTHRS == 60 CLEAR <= 0 WITHIN 2\n"
      "plain VXLOGENT ENTRYDESC ~ \"error\" AND FREQTHRESH >= 3 AND "
      "PERIODTHRS == 60\n");
  for (int i = 0; i < 6; ++i) {
    Append("app: error " + std::to_string(i));
  }
  ASSERT_TRUE(WaitFor("\"state\":\"resolved\""))
      << agent_.Events() << agent_.Trace();
  const std::vector<std::string> storm = With("\"situation\":\"storm\"");
  ASSERT_EQ(storm.size(), 2u) << agent_.Events();
  EXPECT_NE(storm[0].find("\"state\":\"firing\""), std::string::npos);
  EXPECT_NE(storm[0].find("error 2"), std::string::npos) << storm[0];
  EXPECT_NE(storm[1].find("\"count\":4"), std::string::npos) << storm[1];
  // A situation without the clause is as it was: an event per row past the
  // threshold, with no member of the new ones.
  const std::vector<std::string> plain = With("\"situation\":\"plain\"");
  ASSERT_EQ(plain.size(), 4u) << agent_.Events();
  EXPECT_EQ(plain[0].find("\"state\""), std::string::npos) << plain[0];
  EXPECT_EQ(plain[0].find("\"alert\""), std::string::npos) << plain[0];
}

TEST_F(RememberTest, AReloadKeepsTheStateOfUnchangedSituations) {
  const std::string pair =
      "login VXLOGENT ENTRYDESC ~ \"Failed\" THEN ENTRYDESC ~ \"Accepted\" "
      "WITHIN 600 PER ENTRYDESC \"for ([a-z]+)\"\n";
  Start(pair);
  Append("sshd: Failed password for ann");
  ASSERT_TRUE(WaitUntil(
      [&] {
        return agent_.Ctl({"--json", "situations"})
                   .out.find("\"open_pairs\":1") != std::string::npos;
      },
      kWait))
      << agent_.Ctl({"--json", "situations"}).out;
  qortest::WriteFile(dir_.File("situations"),
                     pair + "other VXLOGENT ENTRYDESC ~ \"x\"\n");
  ASSERT_TRUE(agent_.Signal(SIGHUP));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return agent_.Ctl({"situations"}).out.find("other") !=
               std::string::npos;
      },
      kWait));
  EXPECT_EQ(agent_.Ctl({"situation", "reload"}).status, 0);
  Append("sshd: Accepted password for ann");
  EXPECT_TRUE(WaitFor("\"pair\":\"then\""))
      << agent_.Events() << agent_.Trace();
}

TEST_F(RememberTest, ACleanRestartKeepsAFiringAlertAndResolvesIt) {
  Start(
      "storm VXLOGENT ENTRYDESC ~ \"error\" AND FREQTHRESH >= 2 AND "
      "PERIODTHRS == 60 CLEAR <= 0 WITHIN 8 PER ENTRYDESC \"on ([a-z]+)\"\n");
  Append("app: error on disk");
  Append("app: error on disk");
  ASSERT_TRUE(WaitFor("\"state\":\"firing\""))
      << agent_.Events() << agent_.Trace();
  ASSERT_TRUE(WaitUntil(
      [&] {
        return agent_.Ctl({"--json", "alerts"}).out.find("\"key\":\"disk\"") !=
               std::string::npos;
      },
      kWait))
      << agent_.Ctl({"--json", "alerts"}).out;
  ASSERT_TRUE(agent_.Signal(SIGTERM));
  ASSERT_EQ(agent_.WaitExit(), 0) << agent_.Output();
  EXPECT_EQ(With("\"state\":\"resolved\"").size(), 0u) << agent_.Events();
  EXPECT_NE(
      qortest::ReadFile(dir_.File("state")).find("situation-state:storm:"),
      std::string::npos);
  ASSERT_TRUE(agent_.Start());
  // The restarted agent still knows the alert, then resolves it.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return agent_.Ctl({"--json", "alerts"}).out.find("\"key\":\"disk\"") !=
               std::string::npos;
      },
      kWait));
  ASSERT_TRUE(WaitFor("\"state\":\"resolved\""))
      << agent_.Events() << agent_.Trace();
  const std::string resolved = With("\"state\":\"resolved\"")[0];
  EXPECT_NE(resolved.find("\"count\":1"), std::string::npos) << resolved;
  EXPECT_NE(resolved.find("\"alert\":{\"situation\":\"storm\",\"key\":"
                          "\"disk\",\"host\":\"testhost:TVX\"}"),
            std::string::npos)
      << resolved;
  EXPECT_EQ(With("\"state\":\"firing\"").size(), 1u) << agent_.Events();
}

}  // namespace
