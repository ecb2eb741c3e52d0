// Shared steps of the end-to-end tests that watch a syslog file.
#ifndef QOR_TESTS_E2E_E2E_UTIL_H_
#define QOR_TESTS_E2E_E2E_UTIL_H_

#include <time.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"

namespace qortest {

// A syslog line for `when` (local time), in the classic layout.
inline std::string SyslogLine(time_t when, const std::string& host, const std::string& rest) {
  struct tm tm;
  localtime_r(&when, &tm);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tm);
  return std::string(stamp) + " " + host + " " + rest + "\n";
}

// The 16-character time stamp of `when` (local time).
inline std::string Stamp(time_t when) {
  struct tm tm;
  localtime_r(&when, &tm);
  char s[32];
  snprintf(s, sizeof s, "%03d%02d%02d%02d%02d%02d000", tm.tm_year, tm.tm_mon + 1, tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  return s;
}

// The VXMONLOG row (JSON) of the log `path`, or "" when the agent does not
// report one.
inline std::string MonlogRow(const Agent_Process& agent, const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string name = path.substr(slash + 1);
  for (const std::string& line : LinesWith(agent.Ctl({"--json", "logs"}).out, "\"LOGNAME\"")) {
    if (JsonField(line, "LOGNAME") == name &&
        JsonField(line, "LOGPATH") == path.substr(0, slash + 1)) {
      return line;
    }
  }
  return "";
}

inline long MonlogNumber(const Agent_Process& agent, const std::string& path,
                         const std::string& column) {
  const std::string v = JsonField(MonlogRow(agent, path), column);
  return v.empty() ? -1 : atol(v.c_str());
}

// Waits until the worker of `path` reads what is appended: appends a
// harmless line until NUMEVENTS moves. Monitoring starts at the end of the
// file, so lines written before this returns might not be seen.
inline bool WaitWatching(const Agent_Process& agent, const std::string& path) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    AppendFile(path, SyslogLine(time(nullptr), "warmup", "kernel: warm-up line"));
    if (WaitUntil([&] { return MonlogNumber(agent, path, "NUMEVENTS") > 0; },
                  std::chrono::seconds(3))) {
      return true;
    }
  }
  return false;
}

// Syslog lines "app: line N end" for N from `first` to before `end`, in one
// write: the numbered lines the delivery tests count.
inline void AppendNumberedLines(const std::string& path, int first, int end) {
  std::string text;
  const time_t now = time(nullptr);
  for (int i = first; i < end; ++i) {
    text += SyslogLine(now, "host1", "app: line " + std::to_string(i) + " end");
  }
  AppendFile(path, text);
}

// The numbers read more than once among `seen` (number -> times read), each
// of which must be one of the `lines` appended: the duplicates a delivery
// test bounds.
inline long NumberedDuplicates(const std::map<int, int>& seen, int lines) {
  long duplicates = 0;
  for (const auto& kv : seen) {
    EXPECT_TRUE(kv.first >= 0 && kv.first < lines) << kv.first;
    duplicates += kv.second - 1;
  }
  return duplicates;
}

// One empty syslog file, `log`, watched by `agent` with one situation that
// takes every line holding "line": the set-up of the delivery tests.
inline void WatchOneLogForLines(const Scoped_Temp_Dir& dir, const std::string& log,
                                Agent_Process* agent) {
  WriteFile(log, "");
  WriteFile(dir.File("qoragent.conf"), log + " ;N ;S\n");
  WriteFile(dir.File("situations"), "all VXLOGENT ENTRYDESC ~ \"line\"\n");
  agent->SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent->SetEnv("HOV_SITUATIONS", dir.File("situations"));
}

}  // namespace qortest

#endif  // QOR_TESTS_E2E_E2E_UTIL_H_
