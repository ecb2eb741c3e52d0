// Helpers shared by the unit and end-to-end tests.
#ifndef QOR_TESTS_TESTUTIL_H_
#define QOR_TESTS_TESTUTIL_H_

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/runtime/trace.h"
#include "tests/support/temp_dir.h"
#include "util/posix_mutex.h"

namespace qortest {

// Polls `pred` until it holds or `timeout` passes; the result of the last poll.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (pred()) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return pred();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

// Points the symlink `link` at `target` in one step (a new link renamed
// over it): a path through it names another file with no event on anything
// it named before. False on failure.
inline bool PointSymlink(const std::string& link, const std::string& target) {
  const std::string fresh = link + ".new";
  return symlink(target.c_str(), fresh.c_str()) == 0 &&
         rename(fresh.c_str(), link.c_str()) == 0;
}

// A log reached through a symlinked directory: DIR/a/messages and
// DIR/b/messages hold `a_text` and `b_text`, and DIR/current points at a.
// The log's path DIR/current/messages; empty when it cannot be made.
inline std::string SymlinkedLog(const std::string& dir,
                                const std::string& a_text,
                                const std::string& b_text) {
  if (mkdir((dir + "/a").c_str(), 0755) != 0 ||
      mkdir((dir + "/b").c_str(), 0755) != 0) {
    return "";
  }
  WriteFile(dir + "/a/messages", a_text);
  WriteFile(dir + "/b/messages", b_text);
  return PointSymlink(dir + "/current", "a") ? dir + "/current/messages" : "";
}

inline void AppendFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::app);
  f << text;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Collects every trace record (text without header) while it lives, and
// silences the trace sink so test output stays readable.
class TraceCapture {
 public:
  explicit TraceCapture(const char* control = "ALL") {
    null_ = fopen("/dev/null", "w");
    WEX1_SetSink(null_);
    WEX1_SetHook(&TraceCapture::Hook, this);
    WEX1_Configure(control);
  }
  ~TraceCapture() {
    WEX1_SetHook(nullptr, nullptr);
    WEX1_SetSink(nullptr);
    WEX1_Configure(nullptr);
    if (null_ != nullptr) {
      fclose(null_);
    }
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<std::string> Records() const {
    Posix_Mutex::Hold g(&mu_);
    return records_;
  }
  // All records joined, for substring checks.
  std::string Text() const {
    Posix_Mutex::Hold g(&mu_);
    std::string all;
    for (const auto& r : records_) {
      all += r;
    }
    return all;
  }
  bool Contains(const std::string& s) const { return Text().find(s) != std::string::npos; }
  size_t Count(const std::string& s) const {
    const std::string t = Text();
    size_t n = 0;
    for (size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + 1)) {
      ++n;
    }
    return n;
  }
  void Clear() {
    Posix_Mutex::Hold g(&mu_);
    records_.clear();
  }

 private:
  static void Hook(void* ctx, const char* /*label*/, const char* text) {
    auto* self = static_cast<TraceCapture*>(ctx);
    Posix_Mutex::Hold g(&self->mu_);
    self->records_.emplace_back(text);
  }
  // A Posix_Mutex is destroyed with its owner, so that ThreadSanitizer does
  // not take a later lock at the same stack address for this one.
  mutable Posix_Mutex mu_;
  std::vector<std::string> records_ GUARDED_BY(mu_);
  FILE* null_ = nullptr;
};


struct Run_Result {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs a program to completion with extra environment variables (after
// removing those named in `unset`); captures
// standard output and error through files in `dir`. Standard input is the
// file `input`.
inline Run_Result RunProgram(const std::vector<std::string>& argv,
                             const std::map<std::string, std::string>& env,
                             const std::string& dir,
                             const std::vector<std::string>& unset = {},
                             const std::string& input = "/dev/null") {
  static int serial = 0;
  const std::string out_path = dir + "/run" + std::to_string(++serial) + ".out";
  const std::string err_path = out_path + ".err";
  const pid_t pid = fork();
  if (pid == 0) {
    for (const auto& name : unset) {
      unsetenv(name.c_str());
    }
    for (const auto& kv : env) {
      setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
    const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    const int in = open(input.c_str(), O_RDONLY);
    dup2(in, 0);
    std::vector<char*> args;
    for (const auto& a : argv) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  Run_Result r;
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.out = ReadFile(out_path);
  r.err = ReadFile(err_path);
  return r;
}

// Sets TZ to `zone` for its lifetime, so that local-time conversions are the
// same on every host, and restores the caller's TZ after.
class Scoped_Time_Zone {
 public:
  explicit Scoped_Time_Zone(const char* zone) {
    const char* tz = getenv("TZ");
    had_ = tz != nullptr;
    old_ = had_ ? tz : "";
    setenv("TZ", zone, 1);
    tzset();
  }
  Scoped_Time_Zone(const Scoped_Time_Zone&) = delete;
  Scoped_Time_Zone& operator=(const Scoped_Time_Zone&) = delete;
  ~Scoped_Time_Zone() {
    had_ ? setenv("TZ", old_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace qortest

#endif  // QOR_TESTS_TESTUTIL_H_
