// The action runner: runs a situation's RUN command for an event, one
// process group each, with bounded time and output.
#include "framework/situations/action_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <deque>

#include "framework/events/event_sink.h"
#include "framework/runtime/trace.h"
#include "util/errno_text.h"
#include "util/monotonic_ms.h"
#include "util/posix_mutex.h"
#include "util/process_wide.h"
#include "util/repeat_limiter.h"
#include "util/unique_fd.h"

extern char** environ;

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

struct Action_Job {
  std::string situation;
  std::string command;
  std::string env;  // "QOR_NAME=value" items, each ended by a NUL
  std::string input;
};

// Adds the item NAME=value to an environment block; the value is cut at a
// NUL, which would start an item of its own.
void AppendEnv(std::string* env, const char* name, const std::string& value) {
  env->append(name).append(value.c_str()).push_back('\0');
}

long TimeoutSeconds() {
  const char* v = getenv("HOV_RUN_TIMEOUT");
  if (v == nullptr || *v == '\0') {
    return ACTION_DEFAULT_TIMEOUT;
  }
  char* end = nullptr;
  const long n = strtol(v, &end, 10);
  return *end == '\0' && n > 0 && n <= 86400 ? n : ACTION_DEFAULT_TIMEOUT;
}

// What became of one command.
struct Run_Result {
  bool started = false;
  int spawn_errno = 0;
  int status = 0;  // waitpid's status
  bool timed_out = false;
  bool stopped = false;  // killed because the agent stops
  std::string output;    // at most ACTION_OUTPUT_SHOWN bytes
  size_t output_dropped = 0;
};

// Starts `/bin/sh -c command` in a process group of its own, with no signal
// blocked or ignored whatever the agent's threads do, standard input on
// `in_fd` and standard output and error on `out_fd`.
pid_t SpawnShell(const Action_Job& job, int in_fd, int out_fd,
                 int* spawn_errno) {
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (strncmp(*e, "QOR_", 4) != 0) {
      envp.push_back(*e);
    }
  }
  // Only QOR_ items: whatever the event holds, it sets no other variable.
  for (size_t at = 0; at < job.env.size();) {
    size_t end = job.env.find('\0', at);
    if (end == std::string::npos) {
      end = job.env.size();
    }
    if (job.env.compare(at, 4, "QOR_") == 0) {
      envp.push_back(const_cast<char*>(job.env.c_str() + at));
    }
    at = end + 1;
  }
  envp.push_back(nullptr);
  char sh[] = "/bin/sh";
  char dash_c[] = "-c";
  char* const argv[] = {sh, dash_c, const_cast<char*>(job.command.c_str()),
                        nullptr};

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, in_fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&files, out_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&files, out_fd, STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD}) {
    sigaddset(&defaults, sig);
  }
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF |
                                      POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  *spawn_errno = posix_spawn(&pid, sh, &files, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&files);
  return *spawn_errno == 0 ? pid : -1;
}

// Reads what the command wrote from `out` (non-blocking) into r->output, up
// to ACTION_OUTPUT_SHOWN bytes, counting the rest; closes `out` at its end.
// False when nothing was there to read.
bool ReadOutput(Unique_Fd* out, Run_Result* r) {
  char buf[4096];
  const ssize_t got = read(out->get(), buf, sizeof buf);
  if (got > 0) {
    const size_t room = ACTION_OUTPUT_SHOWN - r->output.size();
    const size_t keep =
        static_cast<size_t>(got) < room ? static_cast<size_t>(got) : room;
    r->output.append(buf, keep);
    r->output_dropped += static_cast<size_t>(got) - keep;
    return true;
  }
  if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
    out->reset();
  }
  return false;
}

// Runs one command to its end, its time limit or the stop (`stop_fd`
// readable), whichever comes first.
Run_Result RunCommand(const Action_Job& job, long timeout_s, int stop_fd) {
  Run_Result r;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    r.spawn_errno = errno;
    return r;
  }
  Unique_Fd in_read(in[0]), in_write(in[1]);
  if (pipe2(out, O_CLOEXEC) != 0) {
    r.spawn_errno = errno;
    return r;
  }
  Unique_Fd out_read(out[0]), out_write(out[1]);
  const pid_t pid =
      SpawnShell(job, in_read.get(), out_write.get(), &r.spawn_errno);
  in_read.reset();
  out_write.reset();
  if (pid < 0) {
    return r;
  }
  r.started = true;
  // The group exists whether the child or this line runs first.
  setpgid(pid, pid);
  // Readable once the child has ended, so that its end is seen at once (a
  // command ends right after its output as a rule); without it (an old
  // kernel, a filter) the end is polled for.
  // (The C library's own declaration lacks C linkage in C++.)
  Unique_Fd ended(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  fcntl(in_write.get(), F_SETFL, O_NONBLOCK);
  fcntl(out_read.get(), F_SETFL, O_NONBLOCK);
  const long long deadline = MonotonicMs() + timeout_s * 1000;
  size_t written = 0;
  bool reaped = false;
  while (!reaped) {
    const pid_t waited = waitpid(pid, &r.status, WNOHANG);
    if (waited == pid || (waited < 0 && errno == ECHILD)) {
      reaped = true;
      break;
    }
    const long long left = deadline - MonotonicMs();
    if (left <= 0) {
      r.timed_out = true;
      break;
    }
    struct pollfd p[4];
    nfds_t n = 0;
    p[n++] = {stop_fd, POLLIN, 0};
    if (ended.valid()) {
      p[n++] = {ended.get(), POLLIN, 0};
    }
    const nfds_t out_at = out_read.valid() ? n : 0;
    if (out_read.valid()) {
      p[n++] = {out_read.get(), POLLIN, 0};
    }
    const nfds_t in_at = in_write.valid() ? n : 0;
    if (in_write.valid()) {
      p[n++] = {in_write.get(), POLLOUT, 0};
    }
    // With both pipes done and no way to wait for the child's end, it is
    // polled for briefly.
    const bool waits = out_read.valid() || in_write.valid() || ended.valid();
    const int wait_ms = waits ? static_cast<int>(left < 1000 ? left : 1000)
                              : static_cast<int>(left < 20 ? left : 20);
    if (poll(p, n, wait_ms) < 0 && errno != EINTR) {
      break;
    }
    if (p[0].revents != 0) {
      r.stopped = true;
      break;
    }
    if (out_at != 0 && p[out_at].revents != 0) {
      ReadOutput(&out_read, &r);
    }
    if (in_at != 0 && p[in_at].revents != 0) {
      const ssize_t put = write(in_write.get(), job.input.data() + written,
                                job.input.size() - written);
      if (put > 0) {
        written += static_cast<size_t>(put);
      }
      // A command that does not read its input closes the pipe: that is its
      // right.
      if (written >= job.input.size() ||
          (put < 0 && errno != EAGAIN && errno != EINTR)) {
        in_write.reset();
      }
    }
  }
  if (!reaped) {
    kill(-pid, SIGKILL);
    while (waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
    }
  }
  // What the command wrote just before it ended is still in the pipe (unless
  // a process it left behind holds the pipe open and writes on).
  for (int chunks = 0; out_read.valid() && chunks < 16; ++chunks) {
    if (!ReadOutput(&out_read, &r)) {
      break;
    }
  }
  return r;
}

void TraceResult(const Action_Job& job, const Run_Result& r, long timeout_s) {
  char eb[128];
  if (!r.started) {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nRUN command of situation %s not started; errno = %d; %s",
               job.situation.c_str(), r.spawn_errno,
               ErrnoText(r.spawn_errno, eb, sizeof eb));
    return;
  }
  if (!r.output.empty() && WEX1_On(wex1, WEX1_FLOW)) {
    WEX1_TRACE(wex1, WEX1_FLOW, "\nRUN command of situation %s wrote:\n%s%s",
               job.situation.c_str(), r.output.c_str(),
               r.output_dropped == 0 ? "" : "\n(output cut)");
  }
  if (r.output_dropped != 0) {
    WEX1_TRACE(
        wex1, WEX1_FLOW,
        "\nRUN command of situation %s: %zu more bytes of output not shown.",
        job.situation.c_str(), r.output_dropped);
  }
  // The first line of the output says why a command failed, as a rule.
  const std::string first =
      r.output.substr(0, r.output.find('\n')).substr(0, 200);
  if (r.timed_out) {
    WEX1_TRACE(
        wex1, WEX1_ERROR,
        "\nRUN command of situation %s still running after %ld seconds; killed.",
        job.situation.c_str(), timeout_s);
  } else if (r.stopped) {
    WEX1_TRACE(wex1, WEX1_FLOW,
               "\nRUN command of situation %s killed: the agent stops.",
               job.situation.c_str());
  } else if (WIFEXITED(r.status) && WEXITSTATUS(r.status) != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nRUN command of situation %s ended with status %d: %s",
               job.situation.c_str(), WEXITSTATUS(r.status), first.c_str());
  } else if (WIFSIGNALED(r.status)) {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nRUN command of situation %s ended by signal %d: %s",
               job.situation.c_str(), WTERMSIG(r.status), first.c_str());
  }
}

// The queue and the threads that run its commands.
struct Runner_State {
  Posix_Mutex mu;
  Posix_Cond work;
  std::deque<Action_Job> waiting GUARDED_BY(mu);
  int threads GUARDED_BY(mu) = 0;  // runner threads alive
  bool stopping GUARDED_BY(mu) = false;
  Repeat_Limiter drops GUARDED_BY(mu);
  Unique_Fd stop_read GUARDED_BY(mu);  // readable while stopping
  Unique_Fd stop_write GUARDED_BY(mu);
  std::vector<pthread_t> ids GUARDED_BY(mu);
  std::atomic<uint64_t> dropped{0};
  std::atomic<uint64_t> run{0};
  std::atomic<uint64_t> failed{0};
};

Runner_State& State() {
  return ProcessWide<Runner_State>();
}

void* RunnerThread(void* arg) {
  Runner_State& s = State();
  const int stop_fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  // A command that ends before it has read its input makes the write fail
  // with EPIPE; the signal that comes with it must not end the process,
  // whatever the process does with SIGPIPE.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  while (true) {
    Action_Job job;
    {
      Posix_Mutex::Hold g(&s.mu);
      while (s.waiting.empty() && !s.stopping) {
        s.work.Wait(&s.mu);
      }
      if (s.stopping) {
        return nullptr;
      }
      job = std::move(s.waiting.front());
      s.waiting.pop_front();
    }
    const long timeout = TimeoutSeconds();
    const Run_Result r = RunCommand(job, timeout, stop_fd);
    TraceResult(job, r, timeout);
    s.run.fetch_add(1, std::memory_order_relaxed);
    if (!r.started || r.timed_out ||
        (!r.stopped && (WIFSIGNALED(r.status) ||
                        (WIFEXITED(r.status) && WEXITSTATUS(r.status) != 0)))) {
      s.failed.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

// Starts the runner threads when none run. Called with the lock held.
void StartThreads(Runner_State& s) REQUIRES(s.mu) {
  if (s.threads > 0) {
    return;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return;
  }
  s.stop_read.reset(fds[0]);
  s.stop_write.reset(fds[1]);
  for (int i = 0; i < ACTION_RUNNING; ++i) {
    pthread_t t;
    void* arg =
        reinterpret_cast<void*>(static_cast<intptr_t>(s.stop_read.get()));
    const int rc = pthread_create(&t, nullptr, RunnerThread, arg);
    if (rc != 0) {
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nRUN command thread not created; errno = %d; %s", rc,
                 ErrnoText(rc, eb, sizeof eb));
      break;
    }
    s.ids.push_back(t);
    ++s.threads;
  }
}

}  // namespace

void Action_Runner::Submit(const Event_Record& e, const std::string& time,
                           const std::string& line) {
  Runner_State& s = State();
  {
    Posix_Mutex::Hold g(&s.mu);
    if (s.waiting.size() >= ACTION_WAITING || s.stopping) {
      s.dropped.fetch_add(1, std::memory_order_relaxed);
      uint64_t held = 0;
      if (s.drops.Due(&held)) {
        WEX1_TRACE(
            wex1, WEX1_ERROR,
            "\nRUN command of situation %s dropped: %zu commands wait already; %llu more "
            "dropped since the last report.",
            e.situation.c_str(), s.waiting.size(),
            static_cast<unsigned long long>(held));
      }
      return;
    }
  }
  Action_Job job{e.situation, e.run, e.run_env, line};
  AppendEnv(&job.env, "QOR_SITUATION=", e.situation);
  AppendEnv(&job.env, "QOR_TABLE=", e.table);
  AppendEnv(&job.env, "QOR_TIME=", time);
  Posix_Mutex::Hold g(&s.mu);
  StartThreads(s);
  s.waiting.push_back(std::move(job));
  s.work.Signal();
}

void Action_Runner::Stop() {
  Runner_State& s = State();
  std::vector<pthread_t> ids;
  {
    Posix_Mutex::Hold g(&s.mu);
    if (s.threads == 0) {
      return;
    }
    s.stopping = true;
    s.waiting.clear();
    s.work.Broadcast();
    if (write(s.stop_write.get(), "x", 1) != 1) {
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nRUN commands not told to stop; errno = %d", errno);
    }
    ids.swap(s.ids);
  }
  for (pthread_t t : ids) {
    pthread_join(t, nullptr);
  }
  Posix_Mutex::Hold g(&s.mu);
  s.threads = 0;
  s.stopping = false;
  s.stop_read.reset();
  s.stop_write.reset();
}

uint64_t Action_Runner::Dropped() {
  return State().dropped.load(std::memory_order_relaxed);
}

uint64_t Action_Runner::Run() {
  return State().run.load(std::memory_order_relaxed);
}

uint64_t Action_Runner::Failed() {
  return State().failed.load(std::memory_order_relaxed);
}
