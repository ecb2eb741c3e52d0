// The runtime's lock layer: a plain mutex with the calls the agent uses.
#ifndef QOR_FRAMEWORK_YOM1_H_
#define QOR_FRAMEWORK_YOM1_H_

#include <pthread.h>

#include "util/thread_annotations.h"

// The POSIX threads draft level the lock layer is written against.
constexpr int YOM1_PTHREAD_DRAFT = 10;

struct CAPABILITY("mutex") YOM1_Lock {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};

// Each returns 0 on success, else the pthread error number.
int YOM1_CreateLock(YOM1_Lock* lock);
int YOM1_DestroyLock(YOM1_Lock* lock);
int YOM1_GetLock(YOM1_Lock* lock) ACQUIRE(lock);
int YOM1_ReleaseLock(YOM1_Lock* lock) RELEASE(lock);

#endif  // QOR_FRAMEWORK_YOM1_H_
