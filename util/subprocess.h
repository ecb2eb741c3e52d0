// Subprocess: one child process started from an argv, in a process group of
// its own, whose standard output goes to a pipe this object owns.
//
//   Subprocess p;
//   if (!p.Start(argv, Subprocess::kSearchPath, &err)) ...   // err says why
//   while ((n = p.Read(buf, sizeof buf)) > 0 || n == Subprocess::kWouldBlock)
//   ... int status = p.Finish(2000);   // waits at most 2 s, then kills the
//   group
//
// Contract:
//  - the child gets /dev/null as standard input, the pipe as standard output,
//    the parent's standard error, no blocked signals and default dispositions
//    of SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM and SIGCHLD; every other
//    descriptor of the parent must be close-on-exec (the pipe ends are);
//  - Start reports a command that cannot be run (exec failed) as a failure
//    with the exec's errno; the child has then exited and is reaped;
//  - Read never blocks; Finish (and the destructor) always reap the child:
//    after a grace period the whole process group is killed with SIGKILL.
// Not thread-safe: one thread uses an object at a time.
//
// Spawn and Reap are the two steps on their own, for callers that keep the
// pipe and the pid themselves.
#ifndef QOR_UTIL_SUBPROCESS_H_
#define QOR_UTIL_SUBPROCESS_H_

#include <sys/types.h>

#include <string>

#include "util/unique_fd.h"

class Subprocess {
 public:
  enum PathMode { kExactPath, kSearchPath };
  static constexpr long kWouldBlock = -2;

  Subprocess() = default;
  // Finish(0) when a child is still there.
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // Starts argv[0] (argv ends with a null pointer). False with *err when the
  // pipe or the child cannot be made or the command cannot be run.
  bool Start(char* const argv[], PathMode mode, std::string* err);
  // Up to `size` bytes of the child's output: the count, 0 at the end of the
  // output, kWouldBlock when nothing is there yet, -1 on an error (errno).
  long Read(char* buffer, size_t size);
  // The read end of the pipe (non-blocking), for poll; -1 when not started.
  int OutputFd() const { return out_.get(); }
  pid_t Pid() const { return pid_; }
  // Closes the pipe and reaps the child, killing its process group when it
  // has not ended within `grace_ms`: the wait status, or -1 when there was
  // no child (or it could not be reaped).
  int Finish(long grace_ms);

  // Starts argv[0] in a process group of its own with its standard output on
  // `out_fd` (kept across the exec) and the rest as above. The pid, or -1
  // with errno set when no child could be created; *exec_errno is the exec's
  // errno when the child was created but could not run the command (it has
  // then exited with status 255), else 0. Safe in a threaded process.
  static pid_t Spawn(char* const argv[], PathMode mode, int out_fd,
                     int* exec_errno);
  // Waits until `pid` (from Spawn) has ended, at most `grace_ms`, then kills
  // what is left of its process group and reaps it: waitpid's result, with
  // the wait status in *status.
  static pid_t Reap(pid_t pid, long grace_ms, int* status);

 private:
  Unique_Fd out_;
  pid_t pid_ = -1;
};

#endif  // QOR_UTIL_SUBPROCESS_H_
