// Posix_Mutex: the project's one mutex type. It owns one pthread_mutex_t and
// carries clang's capability annotations, so that -Wthread-safety checks
// every GUARDED_BY member and every REQUIRES/ACQUIRE/RELEASE function against
// it. Posix_Mutex::Hold is the scoped guard for scopes with early returns;
// Posix_Cond waits on it. Copying is deleted: a mutex has one home.
//
// Lock and Unlock return the pthread error number (0 on success), so that an
// owner which must report a failed lock can; Init and Destroy exist for
// owners that create the mutex with attributes of their own and report a
// failure (construct those with Posix_Mutex::kDeferred).
#ifndef QOR_UTIL_POSIX_MUTEX_H_
#define QOR_UTIL_POSIX_MUTEX_H_

#include <pthread.h>
#include <time.h>

#include "util/thread_annotations.h"

class CAPABILITY("mutex") Posix_Mutex {
 public:
  struct Deferred {};
  static constexpr Deferred kDeferred{};

  // Ready to use, with default attributes.
  Posix_Mutex() : mu_(PTHREAD_MUTEX_INITIALIZER), initialized_(true) {}
  // Not usable until Init succeeds.
  explicit Posix_Mutex(Deferred)
      : mu_(PTHREAD_MUTEX_INITIALIZER), initialized_(false) {}
  ~Posix_Mutex() {
    if (initialized_) {
      pthread_mutex_destroy(&mu_);
    }
  }
  Posix_Mutex(const Posix_Mutex&) = delete;
  Posix_Mutex& operator=(const Posix_Mutex&) = delete;

  // pthread_mutex_init with `attr` (null: defaults); the error number.
  int Init(const pthread_mutexattr_t* attr) {
    const int rc = pthread_mutex_init(&mu_, attr);
    initialized_ = rc == 0;
    return rc;
  }
  // pthread_mutex_destroy; the error number. REQUIRES: not held.
  int Destroy() {
    const int rc = pthread_mutex_destroy(&mu_);
    initialized_ = false;
    return rc;
  }

  int Lock() ACQUIRE() { return pthread_mutex_lock(&mu_); }
  int Unlock() RELEASE() { return pthread_mutex_unlock(&mu_); }

  // The mutex itself, for condition waits and for state dumps that show its
  // bytes.
  pthread_mutex_t* native() { return &mu_; }
  const pthread_mutex_t* native() const { return &mu_; }

  class SCOPED_CAPABILITY Hold {
   public:
    explicit Hold(Posix_Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
    ~Hold() RELEASE() { mu_->Unlock(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    Posix_Mutex* mu_;
  };

 private:
  pthread_mutex_t mu_;
  bool initialized_;
};

// A condition variable used with a Posix_Mutex (monotonic clock for timed
// waits): the project's one condition type. Signal and Broadcast return the
// pthread error number (0 on success); Init and Destroy exist for owners that
// report a failed creation (construct those with Posix_Mutex::kDeferred).
class Posix_Cond {
 public:
  // Ready to use.
  Posix_Cond() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    initialized_ = pthread_cond_init(&cv_, &attr) == 0;
    pthread_condattr_destroy(&attr);
  }
  // Not usable until Init succeeds.
  explicit Posix_Cond(Posix_Mutex::Deferred) : cv_(), initialized_(false) {}
  ~Posix_Cond() {
    if (initialized_) {
      pthread_cond_destroy(&cv_);
    }
  }
  Posix_Cond(const Posix_Cond&) = delete;
  Posix_Cond& operator=(const Posix_Cond&) = delete;

  // pthread_cond_init with `attr`, which must select CLOCK_MONOTONIC for
  // the timed waits below; the error number.
  int Init(const pthread_condattr_t* attr) {
    const int rc = pthread_cond_init(&cv_, attr);
    initialized_ = rc == 0;
    return rc;
  }
  // pthread_cond_destroy; the error number. REQUIRES: no waiter.
  int Destroy() {
    const int rc = pthread_cond_destroy(&cv_);
    initialized_ = false;
    return rc;
  }

  void Wait(Posix_Mutex* mu) REQUIRES(mu) {
    pthread_cond_wait(&cv_, mu->native());
  }
  // Waits until `deadline` on the monotonic clock; false when it passed.
  bool WaitUntil(Posix_Mutex* mu, const struct timespec& deadline)
      REQUIRES(mu) {
    return pthread_cond_timedwait(&cv_, mu->native(), &deadline) == 0;
  }
  // Waits at most `ms` milliseconds; false when the time ran out.
  bool WaitFor(Posix_Mutex* mu, long ms) REQUIRES(mu) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    return WaitUntil(mu, deadline);
  }
  int Signal() { return pthread_cond_signal(&cv_); }
  int Broadcast() { return pthread_cond_broadcast(&cv_); }

  // The condition itself, for state dumps that show its bytes.
  const pthread_cond_t* native() const { return &cv_; }

 private:
  pthread_cond_t cv_;
  bool initialized_;
};

#endif  // QOR_UTIL_POSIX_MUTEX_H_
