// Subprocess: one child process with its standard output on a pipe.
#include "util/subprocess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "util/errno_text.h"
#include "util/monotonic_ms.h"

namespace {

constexpr long kReapPollMs = 5;

void SleepMs(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

std::string ErrText(int e) {
  char eb[128];
  return ErrnoText(e, eb, sizeof eb);
}

}  // namespace

pid_t Subprocess::Spawn(char* const argv[], PathMode mode, int out_fd,
                        int* exec_errno) {
  *exec_errno = 0;
  // Tells the parent why the exec failed; closed by a successful exec.
  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0) {
    return -1;
  }
  sigset_t none;
  sigemptyset(&none);
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  const pid_t pid = fork();
  if (pid == 0) {
    // A child of a threaded process: async-signal-safe calls only (no
    // trace, no allocation, no stdio) until the exec.
    setpgid(0, 0);
    for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD}) {
      sigaction(sig, &dfl, nullptr);
    }
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (out_fd == STDOUT_FILENO) {
      fcntl(out_fd, F_SETFD, 0);  // keep it across the exec
    } else {
      dup2(out_fd, STDOUT_FILENO);
    }
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd > STDIN_FILENO) {
      dup2(null_fd, STDIN_FILENO);
      close(null_fd);
    }
    if (mode == kSearchPath) {
      execvp(argv[0], argv);
    } else {
      execv(argv[0], argv);
    }
    const int e = errno;
    if (write(status_pipe[1], &e, sizeof e) < 0) {
      // Nothing left to tell it with.
    }
    _exit(-1);
  }
  const int fork_errno = errno;
  close(status_pipe[1]);
  if (pid < 0) {
    close(status_pipe[0]);
    errno = fork_errno;
    return -1;
  }
  // Also here, so that the group exists whichever of the two runs first.
  setpgid(pid, pid);
  int e = 0;
  ssize_t n;
  do {
    n = read(status_pipe[0], &e, sizeof e);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof e)) {
    *exec_errno = e != 0 ? e : ENOEXEC;
  }
  close(status_pipe[0]);
  return pid;
}

pid_t Subprocess::Reap(pid_t pid, long grace_ms, int* status) {
  const long long deadline = MonotonicMs() + grace_ms;
  while (true) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    // WNOWAIT: while the child is not reaped its group id cannot name
    // another group, so the kill below reaches only what it started.
    if (waitid(P_PID, static_cast<id_t>(pid), &info,
               WEXITED | WNOHANG | WNOWAIT) != 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (info.si_pid == pid || MonotonicMs() >= deadline) {
      break;
    }
    SleepMs(kReapPollMs);
  }
  kill(-pid, SIGKILL);
  pid_t reaped;
  do {
    reaped = waitpid(pid, status, 0);
  } while (reaped < 0 && errno == EINTR);
  return reaped;
}

Subprocess::~Subprocess() {
  Finish(0);
}

bool Subprocess::Start(char* const argv[], PathMode mode, std::string* err) {
  if (pid_ > 0) {
    *err = "a child is already running";
    return false;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *err = "cannot create a pipe: " + ErrText(errno);
    return false;
  }
  Unique_Fd read_end(fds[0]);
  const Unique_Fd write_end(fds[1]);
  if (fcntl(read_end.get(), F_SETFL, O_NONBLOCK) != 0) {
    *err = "cannot make the pipe non-blocking: " + ErrText(errno);
    return false;
  }
  int exec_errno = 0;
  const pid_t pid = Spawn(argv, mode, write_end.get(), &exec_errno);
  if (pid < 0) {
    *err = "cannot create a child process: " + ErrText(errno);
    return false;
  }
  if (exec_errno != 0) {
    int status;
    Reap(pid, 0, &status);
    *err = std::string("cannot run ") + argv[0] + ": " + ErrText(exec_errno);
    return false;
  }
  pid_ = pid;
  out_ = std::move(read_end);
  return true;
}

long Subprocess::Read(char* buffer, size_t size) {
  if (!out_.valid()) {
    return 0;
  }
  while (true) {
    const ssize_t n = read(out_.get(), buffer, size);
    if (n >= 0) {
      return n;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return kWouldBlock;
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}

int Subprocess::Finish(long grace_ms) {
  out_ = Unique_Fd();
  if (pid_ <= 0) {
    return -1;
  }
  int status = 0;
  const pid_t reaped = Reap(pid_, grace_ms, &status);
  pid_ = -1;
  return reaped > 0 ? status : -1;
}
