// Log_Manager, the request side: requests counted in and out, the walk of
// the log-object ring, the runtime's readiness, and deleting logs at
// shutdown.
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include "agent/kinds/log_file.h"
#include "agent/log_manager.h"
#include "framework/runtime/trace.h"
#include "util/errno_text.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char ShutdownMsg[] = "\nShutdown commencing.";
// Request accounting and the ring.
const char UseCountMsg[] = "\nUse count is now %d.";
const char UseCountNegativeMsg[] =
    "\nUse count going negative. Current value is %d. Setting to %d";
const char InUseSignalErrMsg[] =
    "\nError signaling condition variable. errno = %d; %s";
const char InUseSignalMsg[] = "\nNot-in-use signal sent.";
const char ServerUpSignalErrMsg[] =
    "\nError signaling server-up condition variable. errno = %d; %s";
const char ServerUpSignalMsg[] = "\nAgent server is listening; signal sent.";
const char NoLogsMsg[] = "\nNo logs are currently being monitored.";
const char WalkCorruptedMsg[] =
    "\nLog object chain corrupted. Request terminating.";
const char ChainCorruptedMsg[] =
    "\nLog object chain corrupted. Expected number of logs = %d; actual number = %d. Agent is "
    "terminating.";
const char DeletingMsg[] = "\nDeleting log object for file %s";
constexpr auto Text = Name;

}  // namespace

void Log_Manager::lmBeginRequest() {
  WEX1_Event ev(wex1, __func__);
  lmLockManager();
  ++UseCount;
  WEX1_TRACE(wex1, WEX1_FLOW, UseCountMsg, static_cast<int>(UseCount));
  lmUnlockManager();
}

void Log_Manager::lmLeaveRing() {
  lmLockManager();
  ++ReadingCount;
  lmUnlockManager();
}

void Log_Manager::lmReturnToRing() {
  lmLockManager();
  if (ReadingCount != 0) {
    --ReadingCount;
  }
  lmUnlockManager();
}

void Log_Manager::lmEndRequest() {
  WEX1_Event ev(wex1, __func__);
  lmLockManager();
  if (UseCount == 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, UseCountNegativeMsg, -1, 0);
  } else if (--UseCount == 0) {
    const int rc = ManagerNotInUse.Broadcast();
    if (rc != 0) {
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR, InUseSignalErrMsg, rc,
                 ErrnoText(rc, eb, sizeof eb));
    } else {
      WEX1_TRACE(wex1, WEX1_FLOW, InUseSignalMsg);
    }
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, UseCountMsg, static_cast<int>(UseCount));
  }
  lmUnlockManager();
}

void Log_Manager::lmSetFrameworkReady() {
  lmLockManager();
  FrameworkReady = true;
  AgentServerNotUp.Broadcast();
  lmUnlockManager();
}

void Log_Manager::lmSetFrameworkFailed() {
  lmLockManager();
  FrameworkFailed = true;
  AgentServerNotUp.Broadcast();
  lmUnlockManager();
}

bool Log_Manager::lmWaitForFrameworkReady() {
  lmLockManager();
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += SERVERWAITSECONDS;
  while (!FrameworkReady && !FrameworkFailed &&
         AgentServerNotUp.WaitUntil(&ManagerLock, deadline)) {
  }
  const bool failed = FrameworkFailed;
  lmUnlockManager();
  return !failed;
}

void Log_Manager::lmSetServerUp() {
  WEX1_Event ev(wex1, __func__);
  lmLockManager();
  AgentServerUp = 1;
  const int rc = AgentServerNotUp.Signal();
  if (rc != 0) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, ServerUpSignalErrMsg, rc,
               ErrnoText(rc, eb, sizeof eb));
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, ServerUpSignalMsg);
  }
  lmUnlockManager();
}

Log_File* Log_Manager::lmGetNextLogObject(Log_File* current,
                                          unsigned int index) {
  WEX1_Event ev(wex1, __func__);
  if (current == nullptr) {
    if (NumLogs != 0) {
      return FirstLogObject;
    }
    WEX1_TRACE(wex1, WEX1_FLOW, NoLogsMsg);
    return nullptr;
  }
  Log_File* const next = static_cast<Log_File*>(current->Next);
  if (next == FirstLogObject) {
    return nullptr;
  }
  if (index >= static_cast<unsigned int>(NumLogs)) {
    WEX1_TRACE(wex1, WEX1_ERROR, WalkCorruptedMsg);
    return nullptr;
  }
  return next;
}

Log_File* Log_Manager::lmFindLogObject(char* name) {
  WEX1_Event ev(wex1, __func__);
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs && object != nullptr; ++i) {
    if (strcmp(Text(object->LogFileName), Text(name)) == 0) {
      return object;
    }
    object = static_cast<Log_File*>(object->Next);
  }
  return nullptr;
}

void Log_Manager::lmShutdown() {
  WEX1_Event ev(wex1, __func__);
  WEX1_TRACE(wex1, WEX1_FLOW, ShutdownMsg);
  lmStopManagerThread();
  lmStopLogs();
  if (FirstLogObject != nullptr) {
    lmDeleteNextLog(FirstLogObject, 1);
  }
  // Like the ring's objects, not waiting for requests still counted in.
  for (Log_File* const object : RetiredLogs) {
    delete object;
  }
  RetiredLogs.clear();
  if (DebugLogP.load() != nullptr) {
    lmCloseDebugLog();
  }
}

void Log_Manager::lmDeleteNextLog(Log_File* object, unsigned int number) {
  WEX1_Event ev(wex1, __func__);
  if (static_cast<unsigned int>(NumLogs) < number) {
    WEX1_TRACE(wex1, WEX1_ERROR, ChainCorruptedMsg, NumLogs,
               static_cast<int>(number));
    exit(-1);
  }
  if (object->Next != FirstLogObject) {
    lmDeleteNextLog(static_cast<Log_File*>(object->Next), number + 1);
  }
  lmDeleteLogObject(object);
}

void Log_Manager::lmDeleteLogObject(Log_File* object) {
  WEX1_Event ev(wex1, __func__);
  lmDetachLogObject(object);
  WEX1_TRACE(wex1, WEX1_FLOW, DeletingMsg, Text(object->LogFileName));
  delete object;
}

void Log_Manager::lmDetachLogObject(Log_File* object) {
  WEX1_Event ev(wex1, __func__);
  int counted = 0;
  if (FirstLogObject != nullptr) {
    counted = 1;
    for (Log_Base* p = FirstLogObject->Next;
         p != FirstLogObject && counted <= NumLogs; p = p->Next) {
      ++counted;
    }
  }
  if (counted != NumLogs) {
    WEX1_TRACE(wex1, WEX1_ERROR, ChainCorruptedMsg, NumLogs, counted);
    exit(-1);
  }
  if (object == FirstLogObject) {
    FirstLogObject =
        NumLogs == 1 ? nullptr : static_cast<Log_File*>(object->Next);
  }
  object->lbRemoveFromChain();
  // Out of every ring: the destructor's own removal is then a no-op.
  object->Next = nullptr;
  object->Prev = nullptr;
  --NumLogs;
}

void Log_Manager::lmRequestStopAll() {
  WEX1_Event ev(wex1, __func__);
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs && object != nullptr; ++i) {
    object->lfRequestStop();
    object = static_cast<Log_File*>(object->Next);
  }
}
