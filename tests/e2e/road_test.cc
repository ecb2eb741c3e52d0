// The road of one log entry: a line appended to a watched syslog file
// becomes a VXLOGENT row, meets the situations and reaches the event sink.
#include <time.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"

namespace qortest {
namespace {

class RoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = dir_.File("messages");
    WriteFile(log_, SyslogLine(time(nullptr) - 60, "oldhost", "sshd[1]: Failed password before start"));
    WriteFile(dir_.File("qoragent.conf"), log_ + " ;N ;S\n");
    WriteFile(dir_.File("situations"),
              "sshd_entry VXLOGENT ENTRYSRC ~ \"sshd\"\n"
              "brute VXLOGENT ENTRYDESC ~ \"Failed password\" AND FREQTHRESH >= 3 AND "
              "PERIODTHRS == 60\n");
    agent_.SetEnv("TVX_CONFIG_FILE", dir_.File("qoragent.conf"));
    agent_.SetEnv("HOV_SITUATIONS", dir_.File("situations"));
    ASSERT_TRUE(agent_.Start());
    ASSERT_TRUE(WaitUntil([&] { return agent_.Ctl({"ping"}).status == 0; }));
    ASSERT_TRUE(WaitWatching(agent_, log_)) << agent_.Trace();
  }

  size_t Count(const std::string& situation) {
    return LinesWith(agent_.Events(), "\"situation\":\"" + situation + "\"").size();
  }

  Scoped_Temp_Dir dir_;
  Agent_Process agent_{dir_};
  std::string log_;
};

TEST_F(RoadTest, AppendedLineBecomesAnEventWithEveryColumn) {
  const time_t when = time(nullptr);
  AppendFile(log_, SyslogLine(when, "myhost", "sshd[123]: Accepted password for alice"));
  ASSERT_TRUE(WaitUntil([&] { return Count("sshd_entry") == 1; })) << agent_.Events();
  const std::string event = LinesWith(agent_.Events(), "sshd_entry")[0];
  EXPECT_EQ(JsonField(event, "table"), "TVX.VXLOGENT");
  EXPECT_EQ(JsonField(event, "ORIGINNODE"), "testhost:TVX");
  EXPECT_EQ(JsonField(event, "LOGPATH"), dir_.path() + "/");
  EXPECT_EQ(JsonField(event, "LOGNAME"), "messages");
  EXPECT_EQ(JsonField(event, "ENTRYTIME"), Stamp(when));
  EXPECT_EQ(JsonField(event, "ENTRYSYS"), "myhost");
  EXPECT_EQ(JsonField(event, "ENTRYSRC"), "sshd[123]");
  EXPECT_EQ(JsonField(event, "ENTRYTYPE"), "");
  EXPECT_EQ(JsonField(event, "ENTRYCLASS"), "");
  EXPECT_EQ(JsonField(event, "ENTRYDESC"), "Accepted password for alice");
  EXPECT_EQ(JsonField(event, "FREQTHRESH"), "0");
  EXPECT_EQ(JsonField(event, "PERIODTHRS"), "0");
  EXPECT_EQ(JsonField(event, "SAMPLENO"), "0");
  EXPECT_EQ(JsonField(event, "ROWNO"), "0");
  const std::string stamp = JsonField(event, "TIMESTAMP");
  ASSERT_EQ(stamp.size(), 16u);
  // Made within a few seconds of the entry.
  EXPECT_GE(stamp, Stamp(when - 5));
  EXPECT_LE(stamp, Stamp(time(nullptr)));
  // The line written before monitoring started raised nothing.
  EXPECT_EQ(agent_.Events().find("before start"), std::string::npos);
}

TEST_F(RoadTest, FrequencySituationFiresFromTheThirdMatchingLine) {
  for (int i = 1; i <= 4; ++i) {
    AppendFile(log_, SyslogLine(time(nullptr), "myhost",
                                "sshd[7]: Failed password for root attempt " + std::to_string(i)));
    ASSERT_TRUE(WaitUntil([&] { return Count("sshd_entry") == static_cast<size_t>(i); }))
        << agent_.Events();
    // The two situations' events of one row need not reach the file together.
    const size_t want = i < 3 ? 0u : static_cast<size_t>(i - 2);
    EXPECT_TRUE(WaitUntil([&] { return Count("brute") == want; }))
        << "after line " << i;
  }
  const auto brute = LinesWith(agent_.Events(), "\"situation\":\"brute\"");
  ASSERT_EQ(brute.size(), 2u);
  EXPECT_EQ(JsonField(brute[0], "FREQTHRESH"), "3");
  EXPECT_EQ(JsonField(brute[0], "PERIODTHRS"), "60");
  EXPECT_NE(brute[0].find("attempt 3"), std::string::npos);
  EXPECT_EQ(JsonField(brute[1], "FREQTHRESH"), "4");
}

TEST_F(RoadTest, UnformattableLineIsCountedAndRaisesNothing) {
  const long errors = MonlogNumber(agent_, log_, "NUMERRORS");
  const long events = MonlogNumber(agent_, log_, "NUMEVENTS");
  AppendFile(log_, "Xyz garbage that is no syslog line from sshd\n");
  AppendFile(log_, SyslogLine(time(nullptr), "myhost", "sshd[9]: after the garbage"));
  ASSERT_TRUE(WaitUntil([&] { return Count("sshd_entry") == 1; })) << agent_.Events();
  EXPECT_EQ(agent_.Events().find("garbage that"), std::string::npos);
  EXPECT_TRUE(WaitUntil([&] { return MonlogNumber(agent_, log_, "NUMERRORS") == errors + 1; }));
  EXPECT_EQ(MonlogNumber(agent_, log_, "NUMEVENTS"), events + 2);
}

}  // namespace
}  // namespace qortest
