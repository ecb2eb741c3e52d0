// Which names a pattern takes as logs of their own: its own rotated files
// are not.
#include "agent/log_pattern.h"

#include <gtest/gtest.h>

namespace {

TEST(LogPatternsTest, RotatedFilesOfAMatchAreNoLogsOfTheirOwn) {
  const struct {
    const char* pattern;
    const char* name;
    bool log;
  } cases[] = {
      {"app*.log*", "app.log", true},
      {"app*.log*", "app-2.log", true},
      {"app*.log*", "app.log.1", false},
      {"app*.log*", "app.log.2.gz", false},
      {"app*.log*", "app.log-20261207", false},
      {"app*.log*", "app.log-20261207.gz", false},
      {"app*.log*", "app.log.old", false},
      {"*.log", "app.log.1", false},   // no match at all
      {"worker.*", "worker.1", true},  // "worker" does not match
      {"*.log", ".hidden.log", false},
      {"[ab].log", "a.log", true},
      {"?.log", "ab.log", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Log_Patterns::MatchesLog(c.pattern, c.name), c.log)
        << c.pattern << " " << c.name;
  }
  EXPECT_TRUE(Log_Patterns::IsPattern("/var/log/app*.log ;N ;S"));
  EXPECT_TRUE(Log_Patterns::IsPattern("/var/log/app?.log"));
  EXPECT_FALSE(Log_Patterns::IsPattern("/var/l*g/app.log"));
  EXPECT_FALSE(Log_Patterns::IsPattern("/var/log/app.log ;N ;U ;A,\"%[*]\""));
}

}  // namespace
