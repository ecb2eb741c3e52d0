// Posix_Mutex owns one pthread_mutex_t; Posix_Mutex::Hold is the scoped guard
// for scopes with early returns. Copying is deleted: a mutex has one home.
#ifndef QOR_UTIL_POSIX_MUTEX_H_
#define QOR_UTIL_POSIX_MUTEX_H_

#include <pthread.h>

#include "util/thread_annotations.h"

class CAPABILITY("mutex") Posix_Mutex {
 public:
  Posix_Mutex() { pthread_mutex_init(&mu_, nullptr); }
  ~Posix_Mutex() { pthread_mutex_destroy(&mu_); }
  Posix_Mutex(const Posix_Mutex&) = delete;
  Posix_Mutex& operator=(const Posix_Mutex&) = delete;

  void Lock() ACQUIRE() { pthread_mutex_lock(&mu_); }
  void Unlock() RELEASE() { pthread_mutex_unlock(&mu_); }
  pthread_mutex_t* native() { return &mu_; }

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
};

#endif  // QOR_UTIL_POSIX_MUTEX_H_
