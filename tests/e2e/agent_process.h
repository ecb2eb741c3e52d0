// Runs the real qoragent (and qorctl) for end-to-end tests: a private
// temporary directory, an environment of the test's choosing, the event sink
// and trace in files there, signals, and polling with deadlines.
#ifndef QOR_TESTS_E2E_AGENT_PROCESS_H_
#define QOR_TESTS_E2E_AGENT_PROCESS_H_

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/exec_opened.h"
#include "tests/testutil.h"

namespace qortest {

// One running qoragent. Its events go to dir/events.jsonl, its trace to
// dir/trace.log and its control socket to dir/agent.sock, unless the test's
// environment says otherwise. Killed on destruction if still running.
class Agent_Process {
 public:
  explicit Agent_Process(const Scoped_Temp_Dir& dir) : dir_(dir.path()) {
    env_["HOV_EVENTS"] = dir_ + "/events.jsonl";
    env_["HOV_TRACE_FILE"] = dir_ + "/trace.log";
    env_["HOV_SOCKET"] = dir_ + "/agent.sock";
    env_["TVX_SYSLOG_CONF"] = dir_ + "/no-syslog.conf";
    // Nor the host's journal: without a configuration the agent would
    // watch it.
    env_["TVX_JOURNAL_DIR"] = dir_ + "/no-journal";
    env_["HOV_SYSTEM_NAME"] = "testhost:TVX";
  }
  ~Agent_Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int st;
      waitpid(pid_, &st, 0);
    }
  }
  Agent_Process(const Agent_Process&) = delete;
  Agent_Process& operator=(const Agent_Process&) = delete;

  void SetEnv(const std::string& name, const std::string& value) { env_[name] = value; }
  // Runs the agent as the unprivileged user `nobody` when the test runs as
  // root, so that file permissions apply to it (the directory is opened up
  // for it). False when that is not possible here.
  bool RunUnprivileged() {
    if (geteuid() != 0) {
      return true;
    }
    // Sticky, like /tmp: it may still hold the files the agent trusts.
    if (chmod(dir_.c_str(), 01777) != 0) {
      return false;
    }
    unprivileged_ = true;
    return true;
  }
  void UnsetEnv(const std::string& name) { env_.erase(name); }
  // Starts the agent with this open-file limit, soft and hard.
  void SetOpenFileLimit(rlim_t limit) { open_file_limit_ = limit; }
  // Starts the agent with this file-size limit (ulimit -f), in bytes.
  void SetFileSizeLimit(rlim_t limit) { file_size_limit_ = limit; }
  const std::string& Dir() const { return dir_; }
  std::string Socket() const { return env_.at("HOV_SOCKET"); }
  std::string EventsPath() const { return env_.at("HOV_EVENTS"); }
  std::string TracePath() const { return env_.at("HOV_TRACE_FILE"); }

  bool Start() {
    const std::string out_path = dir_ + "/agent.out";
    // Opened before the child drops to `nobody`, who may not be able to
    // reach the build tree.
    const Unique_Fd program = OpenProgram(QORAGENT_PATH);
    if (!program.valid()) {
      return false;
    }
    pid_ = fork();
    if (pid_ == 0) {
      unsetenv("JOP_WEX1");
      for (const auto& kv : env_) {
        setenv(kv.first.c_str(), kv.second.c_str(), 1);
      }
      const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
      dup2(o, 1);
      dup2(o, 2);
      const int in = open("/dev/null", O_RDONLY);
      dup2(in, 0);
      if (open_file_limit_ != 0) {
        const struct rlimit limit = {open_file_limit_, open_file_limit_};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
          _exit(125);
        }
      }
      if (file_size_limit_ != 0) {
        const struct rlimit limit = {file_size_limit_, file_size_limit_};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
          _exit(125);
        }
      }
      char* const argv[] = {const_cast<char*>(QORAGENT_PATH), nullptr};
      ExecOpened(program, argv, unprivileged_);
    }
    return pid_ > 0;
  }
  pid_t Pid() const { return pid_; }
  bool Signal(int sig) const { return pid_ > 0 && kill(pid_, sig) == 0; }

  // Waits for the process to end; its exit status, or -1 (killed by a
  // signal or still running at the deadline).
  int WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    if (pid_ <= 0) {
      return exit_status_;
    }
    int st = 0;
    const bool done = WaitUntil(
        [&] {
          const pid_t r = waitpid(pid_, &st, WNOHANG);
          return r == pid_;
        },
        timeout);
    if (!done) {
      return -1;
    }
    pid_ = -1;
    exit_status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return exit_status_;
  }
  bool Running() {
    if (pid_ <= 0) {
      return false;
    }
    int st = 0;
    const pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      exit_status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      return false;
    }
    return true;
  }

  std::string Events() const { return ReadFile(EventsPath()); }
  std::string Trace() const { return ReadFile(TracePath()); }
  std::string Output() const { return ReadFile(dir_ + "/agent.out"); }
  bool WaitTrace(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(15)) const {
    return WaitUntil([&] { return Trace().find(text) != std::string::npos; }, timeout);
  }
  bool WaitEvents(const std::string& text,
                  std::chrono::milliseconds timeout = std::chrono::seconds(15)) const {
    return WaitUntil([&] { return Events().find(text) != std::string::npos; }, timeout);
  }

  // Runs qorctl against this agent's socket.
  Run_Result Ctl(std::vector<std::string> args) const {
    args.insert(args.begin(), {QORCTL_PATH, "--socket", Socket()});
    return RunProgram(args, {}, dir_);
  }

 private:
  std::string dir_;
  std::map<std::string, std::string> env_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
  bool unprivileged_ = false;
  rlim_t open_file_limit_ = 0;
  rlim_t file_size_limit_ = 0;
};

// The value of "KEY" in one JSON line: the text of a string value
// (escapes left as they are) or the digits of a number; "" when absent.
inline std::string JsonField(const std::string& line, const std::string& key) {
  const std::string k = "\"" + key + "\":";
  const size_t p = line.find(k);
  if (p == std::string::npos) {
    return "";
  }
  size_t v = p + k.size();
  if (v < line.size() && line[v] == '"') {
    std::string out;
    for (++v; v < line.size() && line[v] != '"'; ++v) {
      if (line[v] == '\\' && v + 1 < line.size()) {
        out.push_back(line[v]);
        ++v;
      }
      out.push_back(line[v]);
    }
    return out;
  }
  const size_t e = line.find_first_of(",}", v);
  return line.substr(v, e == std::string::npos ? std::string::npos : e - v);
}

// The lines of `text` that contain `needle`.
inline std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string line = text.substr(start, end - start);
    if (line.find(needle) != std::string::npos) {
      out.push_back(line);
    }
    start = end + 1;
  }
  return out;
}

}  // namespace qortest

#endif  // QOR_TESTS_E2E_AGENT_PROCESS_H_
