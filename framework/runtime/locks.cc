// The runtime's lock layer: a plain mutex with the calls the agent uses.
#include "framework/runtime/locks.h"

int YOM1_CreateLock(YOM1_Lock* lock) {
  return lock->Init(nullptr);
}

int YOM1_DestroyLock(YOM1_Lock* lock) {
  return lock->Destroy();
}

int YOM1_GetLock(YOM1_Lock* lock) {
  return lock->Lock();
}

int YOM1_ReleaseLock(YOM1_Lock* lock) {
  return lock->Unlock();
}
