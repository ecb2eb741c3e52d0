// The runtime's lock layer: a plain mutex with the calls the agent uses.
#ifndef QOR_FRAMEWORK_RUNTIME_LOCKS_H_
#define QOR_FRAMEWORK_RUNTIME_LOCKS_H_

#include <pthread.h>

#include "util/posix_mutex.h"
#include "util/thread_annotations.h"

// The POSIX threads draft level the lock layer is written against.
constexpr int YOM1_PTHREAD_DRAFT = 10;

// The project's one mutex type, so that the analysis knows these locks too.
using YOM1_Lock = Posix_Mutex;

// Each returns 0 on success, else the pthread error number.
int YOM1_CreateLock(YOM1_Lock* lock);
int YOM1_DestroyLock(YOM1_Lock* lock);
int YOM1_GetLock(YOM1_Lock* lock) ACQUIRE(lock);
int YOM1_ReleaseLock(YOM1_Lock* lock) RELEASE(lock);

#endif  // QOR_FRAMEWORK_RUNTIME_LOCKS_H_
