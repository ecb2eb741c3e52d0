// Tests of qorctl's time arguments.
#include "tools/time_arg.h"

#include <stdlib.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// 2026-12-08 02:30:00 UTC; the tests run in UTC so that local time is known.
constexpr time_t kNow = 1796697000;

class TimeArgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    saved_tz_ = tz != nullptr ? tz : "";
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  bool had_tz_ = false;
  std::string saved_tz_;
};

TEST_F(TimeArgTest, ArgumentsBecomeTimeStamps) {
  const std::string expected =
      "expected YYYY-MM-DD[ HH:MM[:SS]], now, or -N with s, m, h or d (such as -30m, -2h, -1d)";
  const struct {
    const char* text;
    Time_Edge edge;
    bool ok;
    std::string result;  // the stamp, or the error text
  } cases[] = {
      {"now", Time_Edge::kStart, true, "1261208023000000"},
      {"-30s", Time_Edge::kStart, true, "1261208022930000"},
      {"-30m", Time_Edge::kEnd, true, "1261208020000000"},
      {"-2h", Time_Edge::kStart, true, "1261208003000000"},
      {"-1d", Time_Edge::kStart, true, "1261207023000000"},
      {"-10d", Time_Edge::kStart, true, "1261128023000000"},
      {"2026-12-08", Time_Edge::kStart, true, "1261208000000000"},
      {"2026-12-08", Time_Edge::kEnd, true, "1261208235959000"},
      {"2026-12-08 10:30", Time_Edge::kStart, true, "1261208103000000"},
      {"2026-12-08 10:30", Time_Edge::kEnd, true, "1261208103059000"},
      {"2026-12-08T10:30:15", Time_Edge::kEnd, true, "1261208103015000"},
      {"1999-12-31 23:59:59", Time_Edge::kStart, true, "0991231235959000"},
      {"2024-02-29", Time_Edge::kStart, true, "1240229000000000"},
      {"2899-01-01", Time_Edge::kStart, true, "9990101000000000"},
      {"", Time_Edge::kStart, false, "bad time \"\"; " + expected},
      {"yesterday", Time_Edge::kStart, false, "bad time \"yesterday\"; " + expected},
      {"-30", Time_Edge::kStart, false, "bad time \"-30\"; " + expected},
      {"-30w", Time_Edge::kStart, false, "bad time \"-30w\"; " + expected},
      {"-m", Time_Edge::kStart, false, "bad time \"-m\"; " + expected},
      {"-99999999999d", Time_Edge::kStart, false, "bad time \"-99999999999d\"; " + expected},
      {"2026-12-8", Time_Edge::kStart, false, "bad time \"2026-12-8\"; " + expected},
      {"2026-12-08 10", Time_Edge::kStart, false, "bad time \"2026-12-08 10\"; " + expected},
      {"2026-12-08 10:30:1", Time_Edge::kStart, false, "bad time \"2026-12-08 10:30:1\"; " + expected},
      {"2026/12/08", Time_Edge::kStart, false, "bad time \"2026/12/08\"; " + expected},
      {"2025-02-29", Time_Edge::kStart, false,
       "bad time \"2025-02-29\"; no such date or time (years 1900 to 2899)"},
      {"2026-13-01", Time_Edge::kStart, false,
       "bad time \"2026-13-01\"; no such date or time (years 1900 to 2899)"},
      {"2026-12-08 24:00", Time_Edge::kStart, false,
       "bad time \"2026-12-08 24:00\"; no such date or time (years 1900 to 2899)"},
      {"1899-12-31", Time_Edge::kStart, false,
       "bad time \"1899-12-31\"; no such date or time (years 1900 to 2899)"},
  };
  for (const auto& c : cases) {
    std::string stamp, err;
    EXPECT_EQ(ParseTimeArg(c.text, c.edge, kNow, &stamp, &err), c.ok) << c.text;
    EXPECT_EQ(c.ok ? stamp : err, c.result) << c.text;
  }
}

}  // namespace
