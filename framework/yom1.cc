#include "framework/yom1.h"

int YOM1_CreateLock(YOM1_Lock* lock) { return pthread_mutex_init(&lock->mutex, nullptr); }

int YOM1_DestroyLock(YOM1_Lock* lock) { return pthread_mutex_destroy(&lock->mutex); }

int YOM1_GetLock(YOM1_Lock* lock) NO_THREAD_SAFETY_ANALYSIS {
  return pthread_mutex_lock(&lock->mutex);
}

int YOM1_ReleaseLock(YOM1_Lock* lock) NO_THREAD_SAFETY_ANALYSIS {
  return pthread_mutex_unlock(&lock->mutex);
}
