// Which names a pattern takes as logs of their own: its own rotated files
// are not.
#include "agent/follow/log_pattern.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"

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

// Expansion: one line per match in name order, at most
// TVX_MAX_PATTERN_LOGS of them (the rest refused, traced once); no symbolic
// link from a directory others may write; no match keeps the pattern line.
TEST(LogPatternsTest, ExpansionIsBoundedAndRefusesPlantedLinks) {
  qortest::Scoped_Temp_Dir dir;
  qortest::TraceCapture trace("ERROR");
  ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
  for (const char* name : {"c.log", "a.log", "b.log", "a.log.1"}) {
    qortest::WriteFile(dir.File(name), "x\n");
  }
  ASSERT_EQ(symlink("/etc/shadow", dir.File("0.log").c_str()), 0);
  setenv("TVX_MAX_PATTERN_LOGS", "2", 1);
  Log_Patterns patterns;
  unsetenv("TVX_MAX_PATTERN_LOGS");
  std::vector<std::string> lines;
  patterns.BeginExpansion();
  patterns.Expand((dir.File("*.log*") + " ;N ;S").c_str(), &lines);
  EXPECT_EQ(lines, (std::vector<std::string>{dir.File("a.log") + " ;N ;S",
                                             dir.File("b.log") + " ;N ;S"}));
  EXPECT_TRUE(
      trace.Contains("only the first 2 are watched (TVX_MAX_PATTERN_LOGS), " +
                     dir.File("c.log") + " and others are refused."))
      << trace.Text();
  EXPECT_TRUE(trace.Contains("Symbolic link " + dir.File("0.log")))
      << trace.Text();
  EXPECT_FALSE(patterns.Fresh(dir.File("a.log"), dir.File("*.log*")));
  EXPECT_FALSE(patterns.Changed());

  patterns.Expand(dir.File("none-*").c_str(), &lines);
  EXPECT_EQ(lines, std::vector<std::string>{dir.File("none-*")});
}

}  // namespace
