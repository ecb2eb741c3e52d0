// AskShortSlices: the calling thread asks the scheduler for short time
// slices. A thread that only passes small pieces of work on (the thread that
// tells log workers their files changed, the writers of events) then runs
// soon after it is woken, also while other threads keep both cores busy with
// a burst, at the price of being cut off sooner when it runs long. Linux
// 6.12 and later take a time slice for an ordinary thread from sched_attr's
// runtime; earlier kernels leave the thread as it was, and so does a refusal.
// The thread's policy and niceness (an administrator's nice or chrt) stay.
#ifndef QOR_UTIL_SHORT_SLICE_H_
#define QOR_UTIL_SHORT_SLICE_H_

#include <errno.h>
#include <stdint.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

// The kernel's struct sched_attr as its first version has it (48 bytes);
// the C library has no declaration of it or of sched_setattr.
struct Sched_Attr {
  uint32_t size;
  uint32_t sched_policy;
  uint64_t sched_flags;
  int32_t sched_nice;
  uint32_t sched_priority;
  uint64_t sched_runtime;
  uint64_t sched_deadline;
  uint64_t sched_period;
};

inline void AskShortSlices() {
  // The shortest slice the scheduler grants: 0.1 ms.
  constexpr uint64_t kSliceNs = 100000;
  constexpr uint64_t kKeepPolicy = 0x08;  // SCHED_FLAG_KEEP_POLICY
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);  // this thread's
  if (nice == -1 && errno != 0) {
    return;
  }
  Sched_Attr attr;
  std::memset(&attr, 0, sizeof attr);
  attr.size = sizeof attr;
  attr.sched_flags = kKeepPolicy;
  attr.sched_nice = nice;
  attr.sched_runtime = kSliceNs;
  (void)syscall(SYS_sched_setattr, 0, &attr, 0);
}

#endif  // QOR_UTIL_SHORT_SLICE_H_
