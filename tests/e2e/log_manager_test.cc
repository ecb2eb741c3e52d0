// The log manager's life in the real agent: refresh, the control signals,
// the end when nothing is monitored, the orderly stop, and logs rotated and
// truncated while they are written.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/testutil.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;

const char kWaiting[] =
    "\nManager thread waiting for refresh (1) or stop (15) signal.";

// Writes a configuration file with an explicit modification time, so that
// a rewrite counts as a change however fast the test runs.
void WriteStamped(const std::string& path, const std::string& text,
                  time_t stamp) {
  qortest::WriteFile(path, text);
  const struct timeval times[2] = {{stamp, 0}, {stamp, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0);
}

// Position of `text` in `trace` after `from`, npos when absent.
size_t After(const std::string& trace, const std::string& text, size_t from) {
  return from == std::string::npos ? from : trace.find(text, from);
}

// Waits until the manager waits for signals. False when the agent has no
// kind for syslog logs yet (it then ends with nothing to monitor).
bool WaitForSignalWait(Agent_Process& agent, bool* kind_missing) {
  *kind_missing = false;
  const bool seen = qortest::WaitUntil(
      [&] {
        const std::string trace = agent.Trace();
        *kind_missing = trace.find("Unknown log type 83") != std::string::npos;
        return *kind_missing || trace.find(kWaiting) != std::string::npos;
      },
      std::chrono::seconds(15));
  return seen && !*kind_missing;
}

#define REQUIRE_SIGNAL_WAIT(agent)                                  \
  do {                                                              \
    bool kind_missing = false;                                      \
    const bool waiting = WaitForSignalWait((agent), &kind_missing); \
    if (kind_missing) {                                             \
      GTEST_SKIP() << "no log kind for type S in this build";       \
    }                                                               \
    ASSERT_TRUE(waiting) << (agent).Trace();                        \
  } while (0)

TEST(LogManagerE2ETest, NoValidLogEndsTheAgentAfterTheNoWorkMessage) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);  // the syslog configuration does not exist
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW");
  ASSERT_TRUE(agent.Start());
  // Nothing to watch is a failure a supervisor must see.
  EXPECT_EQ(agent.WaitExit(), 1) << agent.Output();
  const std::string trace = agent.Trace();
  size_t at =
      After(trace, "\nNo TVX_CONFIG_FILE environment variable specified.", 0);
  at = After(trace, "\nLog manager thread successfully started.", at);
  at = After(trace, "\nAgent has no work to do.", at);
  at = After(trace, "\nLog manager terminating framework.", at);
  // main's exit routine runs as soon as the runtime is stopped, alongside
  // the manager thread's last traces; it waits for the thread to end.
  size_t stopped =
      After(trace, "\nFramework terminated with status 00000000", at);
  stopped = After(trace, "\nLog manager thread is terminating.", stopped);
  EXPECT_NE(stopped, std::string::npos) << trace;
  at = After(trace, "\nShutdown commencing.", at);
  at = After(trace, "\nManager thread terminated.", at);
  at = After(trace, "\n'server-up' condition variable destroyed.", at);
  EXPECT_NE(at, std::string::npos) << trace;
  EXPECT_LT(trace.find("\nLog manager thread is terminating."),
            trace.find("\nManager thread terminated."));
  EXPECT_EQ(trace.find(kWaiting), std::string::npos);
}

TEST(LogManagerE2ETest, MissingConfigurationFileFallsBackToTheSyslogDefault) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string config = dir.File("missing.conf");
  const std::string syslog = dir.File("no-syslog.conf");
  agent.SetEnv("TVX_CONFIG_FILE", config);
  agent.SetEnv("TVX_SYSLOG_CONF", syslog);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR");
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.WaitExit(), 1) << agent.Output();
  const std::string trace = agent.Trace();
  size_t at = After(trace,
                    "\nstat() command failed for " + config +
                        "; errno = 2; No such file or directory.",
                    0);
  at = After(
      trace,
      "\nAttempting to build default list from syslog file " + syslog + ".",
      at);
  at = After(trace, "\nAgent has no work to do.", at);
  EXPECT_NE(at, std::string::npos) << trace;
}

TEST(LogManagerE2ETest, RefreshWithoutChangesKeepsTheLogsAndSigtermStops) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string syslog = dir.File("syslog.conf");
  const std::string log = dir.File("messages");
  qortest::WriteFile(log, "");
  WriteStamped(syslog, "*.info;mail.none\t" + log + "\n*.emerg\t*\n",
               1000000000);
  agent.SetEnv("TVX_SYSLOG_CONF", syslog);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW,DETAIL");
  ASSERT_TRUE(agent.Start());
  REQUIRE_SIGNAL_WAIT(agent);

  ASSERT_TRUE(agent.Signal(SIGCHLD));
  ASSERT_TRUE(agent.WaitTrace("\nSIGCHLD signal ignored."));
  ASSERT_TRUE(agent.Signal(SIGHUP));
  ASSERT_TRUE(agent.WaitTrace("\nRefresh signal received."));
  // The syslog configuration's message has no final period.
  ASSERT_TRUE(agent.WaitTrace(
      "\n" + syslog +
      " has not changed since last refresh. No refresh performed"));
  ASSERT_TRUE(agent.WaitTrace("\nContinuing to monitor existing log files."));
  EXPECT_TRUE(agent.Running());
  EXPECT_EQ(agent.Trace().find("\nDeleting log object"), std::string::npos);

  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
  const std::string trace = agent.Trace();
  size_t at = After(trace, "\nStop signal received.", 0);
  EXPECT_NE(After(trace, "\nFramework terminated with status 00000000", at),
            std::string::npos);
  // Every worker ends before the framework stops taking events, so that
  // the positions saved are final.
  at = After(trace, "\nThread for log file " + log + " terminating.", at);
  at = After(trace, "\nLog manager terminating framework.", at);
  at = After(trace, "\nShutdown commencing.", at);
  at = After(trace, "\nDeleting log object for file " + log, at);
  EXPECT_NE(at, std::string::npos) << trace;
}

TEST(LogManagerE2ETest, RefreshAfterAChangeRebuildsAndSigintStops) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string config = dir.File("agent.conf");
  const std::string a = dir.File("a.log");
  const std::string b = dir.File("b.log");
  qortest::WriteFile(a, "");
  qortest::WriteFile(b, "");
  WriteStamped(config, a + "\n", 1000000000);
  agent.SetEnv("TVX_CONFIG_FILE", config);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW");
  ASSERT_TRUE(agent.Start());
  REQUIRE_SIGNAL_WAIT(agent);

  WriteStamped(config, b + " ;Y\n", 1000000100);
  ASSERT_TRUE(agent.Signal(SIGHUP));
  ASSERT_TRUE(
      agent.WaitTrace("\nThread successfully started for log file " + b + "."));
  ASSERT_TRUE(agent.WaitTrace("\nDeleting log object for file " + a));
  EXPECT_TRUE(agent.Running());

  ASSERT_TRUE(agent.Signal(SIGINT));
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
  EXPECT_NE(agent.Trace().find("\nDeleting log object for file " + b),
            std::string::npos);
}

TEST(LogManagerE2ETest, RefreshWithoutChangesKeepsALogWhoseFileIsMissing) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string config = dir.File("agent.conf");
  const std::string log = dir.File("gone.log");
  qortest::WriteFile(log, "");
  WriteStamped(config, log + "\n", 1000000000);
  agent.SetEnv("TVX_CONFIG_FILE", config);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW");
  ASSERT_TRUE(agent.Start());
  REQUIRE_SIGNAL_WAIT(agent);

  ASSERT_EQ(unlink(log.c_str()), 0);
  ASSERT_TRUE(agent.Signal(SIGHUP));
  ASSERT_TRUE(agent.WaitTrace(
      "\n" + config +
      " has not changed since last refresh. No refresh performed."));
  ASSERT_TRUE(agent.WaitTrace("\nContinuing to monitor existing log files."));
  EXPECT_TRUE(agent.Running());
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
}

TEST(LogManagerE2ETest, SigquitAbortsTheAgent) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string syslog = dir.File("syslog.conf");
  const std::string log = dir.File("messages");
  qortest::WriteFile(log, "");
  WriteStamped(syslog, "*.info\t" + log + "\n", 1000000000);
  agent.SetEnv("TVX_SYSLOG_CONF", syslog);
  agent.SetEnv("JOP_WEX1", "TVX100:ERROR,FLOW");
  // No core file from the abort.
  struct rlimit saved;
  getrlimit(RLIMIT_CORE, &saved);
  struct rlimit none = saved;
  none.rlim_cur = 0;
  setrlimit(RLIMIT_CORE, &none);
  const bool started = agent.Start();
  setrlimit(RLIMIT_CORE, &saved);
  ASSERT_TRUE(started);
  REQUIRE_SIGNAL_WAIT(agent);
  ASSERT_TRUE(agent.Signal(SIGQUIT));
  EXPECT_EQ(agent.WaitExit(), -1);  // ended by SIGABRT
  EXPECT_NE(agent.Trace().find("\nQUIT signal received. Aborting."),
            std::string::npos);
}

// The processes whose parent is `pid`.
std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> out;
  DIR* const proc = opendir("/proc");
  if (proc == nullptr) {
    return out;
  }
  while (const struct dirent* e = readdir(proc)) {
    const pid_t p = static_cast<pid_t>(atoi(e->d_name));
    if (p <= 0) {
      continue;
    }
    // "pid (comm) state ppid ...": the name may hold blanks and parentheses.
    const std::string stat =
        qortest::ReadFile(std::string("/proc/") + e->d_name + "/stat");
    const size_t name_end = stat.rfind(')');
    char state = 0;
    int ppid = 0;
    if (name_end != std::string::npos &&
        sscanf(stat.c_str() + name_end + 1, " %c %d", &state, &ppid) == 2 &&
        ppid == pid) {
      out.push_back(p);
    }
  }
  closedir(proc);
  return out;
}

// Makes this process the adopter of whatever the agent leaves behind when
// it ends, for as long as it lives.
class Scoped_Subreaper {
 public:
  Scoped_Subreaper() : ok_(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0) {}
  ~Scoped_Subreaper() {
    if (ok_) {
      prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
  }
  Scoped_Subreaper(const Scoped_Subreaper&) = delete;
  Scoped_Subreaper& operator=(const Scoped_Subreaper&) = delete;
  bool ok() const { return ok_; }

 private:
  const bool ok_;
};

// Appends numbered syslog lines ("line <tag> 1", "line <tag> 2", ...) to
// each of its logs at a steady pace, on a thread of its own. A test moves
// or truncates a log while it holds Lock(), so that no line is half
// written or goes astray meanwhile.
class Line_Writer {
 public:
  struct Log {
    std::string path;
    char tag;
  };
  explicit Line_Writer(std::vector<Log> logs)
      : logs_(std::move(logs)), written_(logs_.size()), paused_(logs_.size()) {}
  ~Line_Writer() { Stop(); }
  Line_Writer(const Line_Writer&) = delete;
  Line_Writer& operator=(const Line_Writer&) = delete;

  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  std::unique_lock<std::mutex> Lock() {
    return std::unique_lock<std::mutex>(mu_);
  }
  // Log `i` gets no line from the return until Resume(i).
  void Pause(size_t i) {
    std::lock_guard<std::mutex> g(mu_);
    paused_[i] = true;
  }
  void Resume(size_t i) {
    std::lock_guard<std::mutex> g(mu_);
    paused_[i] = false;
  }
  // The number of the last line written to log `i`.
  int Written(size_t i) {
    std::lock_guard<std::mutex> g(mu_);
    return written_[i];
  }

 private:
  void Run() {
    while (!stop_) {
      {
        std::lock_guard<std::mutex> g(mu_);
        for (size_t i = 0; i < logs_.size(); ++i) {
          if (paused_[i]) {
            continue;
          }
          const int n = written_[i] + 1;
          qortest::AppendFile(
              logs_[i].path,
              qortest::SyslogLine(time(nullptr), "writer",
                                  std::string("seq: line ") + logs_[i].tag +
                                      " " + std::to_string(n)));
          written_[i] = n;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  const std::vector<Log> logs_;
  std::mutex mu_;
  std::vector<int> written_;
  std::vector<bool> paused_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// How many events of the situation "all" each numbered line of `tag` raised
// from the log named `name`, by line number.
std::map<int, int> Arrived(const std::string& events, const std::string& name,
                           char tag) {
  const std::string prefix = std::string("line ") + tag + " ";
  std::map<int, int> count;
  for (const std::string& event :
       qortest::LinesWith(events, "\"situation\":\"all\"")) {
    const std::string desc = qortest::JsonField(event, "ENTRYDESC");
    if (qortest::JsonField(event, "LOGNAME") == name &&
        desc.compare(0, prefix.size(), prefix) == 0) {
      // A line that did not arrive whole counts as number 0.
      const size_t digits = desc.find_first_not_of("0123456789", prefix.size());
      ++count[digits == std::string::npos ? atoi(desc.c_str() + prefix.size())
                                          : 0];
    }
  }
  return count;
}

int Total(const std::map<int, int>& count) {
  int total = 0;
  for (const auto& kv : count) {
    total += kv.second;
  }
  return total;
}

// Lines 1..written each arrived exactly once, and nothing else.
::testing::AssertionResult EachOnce(const std::map<int, int>& count,
                                    int written) {
  for (int n = 1; n <= written; ++n) {
    const auto it = count.find(n);
    const int times = it == count.end() ? 0 : it->second;
    if (times != 1) {
      return ::testing::AssertionFailure() << "line " << n << " of " << written
                                           << " arrived " << times << " times";
    }
  }
  if (count.size() != static_cast<size_t>(written)) {
    return ::testing::AssertionFailure()
           << count.size() << " numbers arrived, " << written << " written";
  }
  return ::testing::AssertionSuccess();
}

TEST(LogManagerE2ETest, RotationTruncationAndRefreshWhileWritingLoseNoLine) {
  Scoped_Temp_Dir dir;
  Scoped_Subreaper subreaper;
  ASSERT_TRUE(subreaper.ok());
  Agent_Process agent(dir);
  const std::string config = dir.File("agent.conf");
  const std::string a = dir.File("a.log");  // rotated
  const std::string b = dir.File("b.log");  // copied and truncated
  const std::string c = dir.File("c.log");  // added by the refresh
  const std::string debug = dir.File("debug.log");
  qortest::WriteFile(a, "");
  // A truncation shows as a file shorter than what was read. b starts long,
  // so that what is appended after the truncation stays below that until
  // the worker's next look, however slow this machine is.
  std::string old;
  for (int i = 0; i < 4000; ++i) {
    old += "Jan  1 00:00:00 oldhost old: written before the agent started\n";
  }
  qortest::WriteFile(b, old);
  qortest::WriteFile(c, "");
  WriteStamped(config, a + " ;N ;S\n" + b + " ;N ;S\n", 1000000000);
  qortest::WriteFile(dir.File("situations"),
                     "all VXLOGENT ENTRYDESC ~ \"line\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", config);
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  agent.SetEnv("AGENT_DEBUG_LOG", debug);
  agent.SetEnv("JOP_WEX1", "ERROR,FLOW");
  ASSERT_TRUE(agent.Start());
  REQUIRE_SIGNAL_WAIT(agent);
  // Monitoring starts at the end of a file: both workers must have looked
  // before the numbered lines begin.
  const auto watching = [&] {
    return qortest::MonlogNumber(agent, a, "NUMEVENTS") > 0 &&
           qortest::MonlogNumber(agent, b, "NUMEVENTS") > 0;
  };
  for (int attempt = 0; attempt < 10 && !watching(); ++attempt) {
    for (const std::string& log : {a, b}) {
      qortest::AppendFile(log, qortest::SyslogLine(time(nullptr), "warmup",
                                                   "kernel: warm-up line"));
    }
    qortest::WaitUntil(watching, std::chrono::seconds(3));
  }
  ASSERT_TRUE(watching()) << agent.Trace();

  Line_Writer writer({{a, 'a'}, {b, 'b'}});
  writer.Start();
  ASSERT_TRUE(qortest::WaitUntil([&] { return writer.Written(0) >= 20; }));
  {
    // Rotation: the file moves away, a new one takes its name.
    const auto hold = writer.Lock();
    ASSERT_EQ(rename(a.c_str(), (a + ".1").c_str()), 0);
    qortest::WriteFile(a, "");
  }
  // Copy and truncate. What is written between the copy and the truncation
  // is in the copy only, so b's lines are read up to here first.
  writer.Pause(1);
  const int before_truncation = writer.Written(1);
  ASSERT_TRUE(qortest::WaitUntil([&] {
    return Total(Arrived(agent.Events(), "b.log", 'b')) >= before_truncation;
  }));
  {
    const auto hold = writer.Lock();
    qortest::WriteFile(b + ".1", qortest::ReadFile(b));
    ASSERT_EQ(truncate(b.c_str(), 0), 0);
  }
  writer.Resume(1);
  ASSERT_TRUE(agent.WaitTrace("\nLog file " + a +
                              " was replaced by a new file; reading the new "
                              "file from its beginning."))
      << agent.Trace();
  ASSERT_TRUE(agent.WaitTrace("\nWarning: log file " + b +
                              " truncated. Resetting EOF to offset 0."))
      << agent.Trace();

  // Refresh, still writing: a third log, and debug records for a.
  WriteStamped(config, a + " ;Y ;S\n" + b + " ;N ;S\n" + c + " ;N ;S\n",
               1000000100);
  ASSERT_TRUE(agent.Signal(SIGHUP));
  ASSERT_TRUE(
      agent.WaitTrace("\nThread successfully started for log file " + c + "."))
      << agent.Trace();
  ASSERT_TRUE(qortest::WaitUntil([&] {
    return After(agent.Trace(), kWaiting,
                 agent.Trace().find("\nRefresh signal received.")) !=
           std::string::npos;
  }));
  ASSERT_TRUE(qortest::WaitUntil([&] {
    return qortest::ReadFile(debug).find("seq: line a ") != std::string::npos;
  }));
  writer.Stop();

  const int written_a = writer.Written(0);
  const int written_b = writer.Written(1);
  // On failure the checks below tell which lines are missing.
  EXPECT_TRUE(qortest::WaitUntil([&] {
    const std::string events = agent.Events();
    return Total(Arrived(events, "a.log", 'a')) >= written_a &&
           Total(Arrived(events, "b.log", 'b')) >= written_b;
  }));
  const std::string events = agent.Events();
  EXPECT_TRUE(EachOnce(Arrived(events, "a.log", 'a'), written_a));
  EXPECT_TRUE(EachOnce(Arrived(events, "b.log", 'b'), written_b));
  EXPECT_GT(written_b, before_truncation);
  EXPECT_EQ(qortest::ReadFile(debug).find("seq: line b "), std::string::npos);
  // The syslog kind starts no process.
  const pid_t pid = agent.Pid();
  EXPECT_TRUE(ChildrenOf(pid).empty());

  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_TRUE(ChildrenOf(pid).empty());
  // Nothing of the agent's was left to be adopted by this process.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  const std::string trace = agent.Trace();
  const size_t refresh = trace.find("\nRefresh signal received.");
  EXPECT_LT(trace.find("\nLog file " + a + " was replaced"), refresh);
  EXPECT_LT(trace.find("\nWarning: log file " + b + " truncated."), refresh);
  // The workers end as the stop begins, before the framework goes down.
  size_t at = After(trace, "\nStop signal received.", refresh);
  for (const std::string& log : {a, b, c}) {
    EXPECT_NE(
        After(trace, "\nThread for log file " + log + " terminating.", at),
        std::string::npos)
        << log;
  }
  EXPECT_NE(at, std::string::npos) << trace;
}

// Occurrences of `needle` in `text`.
size_t CountOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

// Every numbered line reaches the situation once, whole, through torn
// writes, rename rotations with late writes to the old file,
// copy-truncates, refreshes whose edits fall in the same second, and a
// restart with the state file during which the log is rotated twice.
TEST(LogManagerE2ETest,
     EveryLineArrivesOnceThroughRotationsRefreshesAndARestart) {
  Scoped_Temp_Dir dir;
  const std::string config = dir.File("agent.conf");
  const std::string log = dir.File("soak.log");
  const std::string extra = dir.File("extra.log");
  qortest::WriteFile(log, "");
  qortest::WriteFile(extra, "");
  qortest::WriteFile(config, log + " ;N ;S\n");
  qortest::WriteFile(dir.File("situations"),
                     "all VXLOGENT ENTRYDESC ~ \"line s\"\n");
  const auto configure = [&](Agent_Process* agent) {
    agent->SetEnv("TVX_CONFIG_FILE", config);
    agent->SetEnv("HOV_SITUATIONS", dir.File("situations"));
    agent->SetEnv("TVX_STATE_FILE", dir.File("state"));
    agent->SetEnv("JOP_WEX1", "ERROR,FLOW");
  };
  auto agent = std::make_unique<Agent_Process>(dir);
  configure(agent.get());
  ASSERT_TRUE(agent->Start());
  REQUIRE_SIGNAL_WAIT(*agent);
  ASSERT_TRUE(qortest::WaitWatching(*agent, log)) << agent->Trace();

  constexpr int BATCHES = 50;
  constexpr int PERBATCH = 1000;
  int written = 0;
  const auto lines = [&](int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      text += qortest::SyslogLine(time(nullptr), "writer",
                                  "seq: line s " + std::to_string(++written));
    }
    return text;
  };
  const auto arrived = [&] {
    return static_cast<int>(CountOf(qortest::ReadFile(agent->EventsPath()),
                                    "\"situation\":\"all\""));
  };
  const auto all_arrived = [&] {
    return qortest::WaitUntil([&] { return arrived() >= written; },
                              std::chrono::seconds(60));
  };
  // The configuration is rewritten within one second (the same whole
  // second, other nanoseconds): each edit must still be applied.
  long nanos = 0;
  const auto edit = [&](const std::string& text) {
    qortest::WriteFile(config, text);
    const struct timespec stamp = {1000000000, ++nanos};
    const struct timespec times[2] = {stamp, stamp};
    return utimensat(AT_FDCWD, config.c_str(), times, 0) == 0 &&
           agent->Signal(SIGHUP);
  };
  int rotations = 0, truncations = 0, refreshes = 0, torn = 0;
  for (int batch = 1; batch <= BATCHES; ++batch) {
    std::string text = lines(PERBATCH);
    std::string rest;
    if (batch % 10 == 7) {
      // A torn write: the batch ends with the first half of a line, whose
      // second half follows once the agent has read the rest of the batch.
      const std::string line = lines(1);
      text += line.substr(0, line.size() / 2);
      rest = line.substr(line.size() / 2);
    }
    qortest::AppendFile(log, text);
    if (!rest.empty()) {
      ASSERT_TRUE(qortest::WaitUntil([&] { return arrived() >= written - 1; }));
      qortest::AppendFile(log, rest);
      ++torn;
    } else if (batch % 10 == 5) {
      // Rename rotation; the writer still appends to the old file for a
      // while, then moves to the new one.
      const std::string old = log + "." + std::to_string(++rotations);
      ASSERT_EQ(rename(log.c_str(), old.c_str()), 0);
      qortest::WriteFile(log, "");
      qortest::AppendFile(old, lines(200));
    } else if (batch % 10 == 0) {
      // Copy-truncate: what the copy alone holds would be lost, so the
      // agent reads up to here first; then the file is emptied and refilled
      // past the old offset at once.
      ASSERT_TRUE(all_arrived()) << arrived() << " of " << written;
      qortest::WriteFile(log + ".copy", qortest::ReadFile(log));
      qortest::WriteFile(log, lines(PERBATCH));
      ++truncations;
    } else if (batch % 10 == 2) {
      const size_t started =
          CountOf(agent->Trace(),
                  "\nThread successfully started for log file " + extra + ".");
      ASSERT_TRUE(edit(log + " ;N ;S\n" + extra + " ;N ;S\n"));
      ASSERT_TRUE(qortest::WaitUntil([&] {
        return CountOf(agent->Trace(),
                       "\nThread successfully started for log file " + extra +
                           ".") > started;
      }));
      const size_t deleted =
          CountOf(agent->Trace(), "\nDeleting log object for file " + extra);
      ASSERT_TRUE(edit(log + " ;N ;S\n"));
      ASSERT_TRUE(qortest::WaitUntil([&] {
        return CountOf(agent->Trace(),
                       "\nDeleting log object for file " + extra) > deleted;
      })) << "an edit in the same second was not applied";
      refreshes += 2;
    } else if (batch == 23) {
      // Stopped and started again: what is written meanwhile, in the file
      // the agent read and in two that came and went under the name, is
      // read after the restart, nothing before it twice.
      ASSERT_TRUE(all_arrived()) << arrived() << " of " << written;
      ASSERT_TRUE(agent->Signal(SIGTERM));
      ASSERT_EQ(agent->WaitExit(), 0) << agent->Output();
      for (const char* rotated : {".stopped1", ".stopped2"}) {
        qortest::AppendFile(log, lines(PERBATCH / 2));
        ASSERT_EQ(rename(log.c_str(), (log + rotated).c_str()), 0);
        qortest::WriteFile(log, "");
      }
      qortest::AppendFile(log, lines(PERBATCH));
      agent = std::make_unique<Agent_Process>(dir);
      configure(agent.get());
      agent->SetEnv("HOV_TRACE_FILE", dir.File("trace2.log"));
      ASSERT_TRUE(agent->Start());
      REQUIRE_SIGNAL_WAIT(*agent);
    }
  }
  ASSERT_TRUE(all_arrived()) << arrived() << " of " << written;
  EXPECT_EQ(rotations, 5);
  EXPECT_EQ(truncations, 5);
  EXPECT_EQ(refreshes, 10);
  EXPECT_EQ(torn, 5);
  EXPECT_TRUE(EachOnce(Arrived(agent->Events(), "soak.log", 's'), written));
  ASSERT_TRUE(agent->Signal(SIGTERM));
  EXPECT_EQ(agent->WaitExit(), 0) << agent->Output();
}

// An unprivileged writer of the logs' directory swaps one log for a FIFO
// and another for a symlink to a file only the agent's user may read: the
// FIFO holds no worker (the status says so, SIGTERM still stops the
// agent), the symlink is not followed.
TEST(LogManagerE2ETest, LogSwappedForAFifoOrASymlinkIsRefused) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run the agent as nobody";
  }
  ASSERT_TRUE(agent.RunUnprivileged());
  const std::string config = dir.File("agent.conf");
  const std::string fifo_log = dir.File("f.log");
  const std::string link_log = dir.File("s.log");
  const std::string secret = dir.File("secret");
  qortest::WriteFile(fifo_log, "");
  qortest::WriteFile(link_log, "");
  qortest::WriteFile(secret, qortest::SyslogLine(time(nullptr), "secret",
                                                 "kernel: line s secret"));
  ASSERT_EQ(chown(secret.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  qortest::WriteFile(config, fifo_log + "\n" + link_log + "\n");
  qortest::WriteFile(dir.File("situations"),
                     "all VXLOGENT ENTRYDESC ~ \"line s\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", config);
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  agent.SetEnv("JOP_WEX1", "ERROR,FLOW");
  ASSERT_TRUE(agent.Start());
  REQUIRE_SIGNAL_WAIT(agent);
  ASSERT_TRUE(qortest::WaitWatching(agent, fifo_log)) << agent.Trace();
  ASSERT_TRUE(qortest::WaitWatching(agent, link_log)) << agent.Trace();

  ASSERT_EQ(rename(fifo_log.c_str(), (fifo_log + ".1").c_str()), 0);
  ASSERT_EQ(mkfifo(fifo_log.c_str(), 0666), 0);
  ASSERT_EQ(rename(link_log.c_str(), (link_log + ".1").c_str()), 0);
  ASSERT_EQ(symlink(secret.c_str(), link_log.c_str()), 0);
  // Planted by the other user, as an attacker's link would be.
  ASSERT_EQ(lchown(link_log.c_str(), 65534, 65534), 0);
  const auto status = [&](const std::string& log) {
    return qortest::JsonField(qortest::MonlogRow(agent, log), "MONSTATUS");
  };
  ASSERT_TRUE(qortest::WaitUntil([&] {
    return status(fifo_log) == "Error: log open failed" &&
           status(link_log) == "Error: log open failed";
  })) << agent.Trace();
  EXPECT_TRUE(agent.WaitTrace("\nError opening file " + fifo_log +
                              ": not a regular file; it is not read."));
  // The link is the agent's own user's, so it is followed; the file it
  // names is not the log owner's and is refused.
  EXPECT_TRUE(agent.WaitTrace(
      "\nError opening file " + link_log +
      ": the log was replaced by a file of user 65534, not of user 0 as "
      "before; it is not read."));
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
  EXPECT_EQ(agent.Events().find("secret"), std::string::npos);
}

}  // namespace
