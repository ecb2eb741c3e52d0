// Log_Base: the name, type, procedure and ring links shared by configuration
// entries and monitored logs.
#include "agent/config/log_base.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "agent/config/config_def.h"
#include "framework/runtime/trace.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char AllocFailedMsg[] = "\nMemory allocation failed. Terminating";
const char NoRootMsg[] = "\nNo %c character found in file name %s.";
const char PrintSelfMsg[] =
    "\n\tthis\t\t\t= %p\n\tNext\t\t\t= %p\n\tPrev\t\t\t= %p\n\tLogFileName\t\t= \"%s\"\n"
    "\tLogPathNameLength\t= %d\n\tLogDebugMode\t\t= %c\n\tLogType\t\t\t= %c\n"
    "\tLogProcedure\t\t= \"%s\"\n";

// A private copy of `text`, exactly its length plus one; ends the process
// when memory is exhausted.
char* CopyOrExit(const char* text) {
  const size_t size = strlen(text) + 1;
  char* const copy = new (std::nothrow) char[size];
  if (copy == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, AllocFailedMsg);
    exit(-1);
  }
  memcpy(copy, text, size);
  return copy;
}

}  // namespace

Log_Base::Log_Base()
    : Next(nullptr),
      Prev(nullptr),
      LogFileName(nullptr),
      LogPathNameLength(0),
      LogDebugMode(LOGDEBUGMODEOFF),
      LogType(SYSLOGTYPE),
      LogProcedure(nullptr),
      LogEntryStart(nullptr),
      LogQuietMs(DEFAULTQUIETMS),
      LogPattern(nullptr),
      LogReadFromStart(false) {
  WEX1_Event ev(wex1, __func__);
}

Log_Base::Log_Base(const Log_Base& other) : Log_Base() {
  WEX1_Event ev(wex1, __func__);
  if (other.LogFileName != nullptr) {
    lbSetLogFileName(other.LogFileName);
  }
  LogPathNameLength = other.LogPathNameLength;
  LogDebugMode = other.LogDebugMode.load();
  LogType = other.LogType;
  lbSetLogProcedure(other.LogProcedure);
  lbSetEntryRule(other.LogEntryStart, other.LogQuietMs);
  lbSetPattern(other.LogPattern);
  LogReadFromStart = other.LogReadFromStart;
}

Log_Base::~Log_Base() {
  WEX1_Event ev(wex1, __func__);
  delete[] LogFileName;
  delete[] LogProcedure;
  delete[] LogEntryStart;
  delete[] LogPattern;
}

void Log_Base::lbSetLogFileName(const char* name) {
  WEX1_Event ev(wex1, __func__);
  const char* const last_root = name != nullptr ? strrchr(name, ROOT) : nullptr;
  if (last_root == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, NoRootMsg, ROOT, name != nullptr ? name : "");
    return;
  }
  char* const copy = CopyOrExit(name);
  delete[] LogFileName;
  LogFileName = copy;
  LogPathNameLength = static_cast<int>(last_root - name) + 1;
}

void Log_Base::lbSetLogProcedure(const char* procedure) {
  WEX1_Event ev(wex1, __func__);
  char* const copy = procedure != nullptr ? CopyOrExit(procedure) : nullptr;
  delete[] LogProcedure;
  LogProcedure = copy;
}

void Log_Base::lbSetEntryRule(const char* start, int quiet_ms) {
  char* const copy = start != nullptr ? CopyOrExit(start) : nullptr;
  delete[] LogEntryStart;
  LogEntryStart = copy;
  LogQuietMs = quiet_ms;
}

void Log_Base::lbSetPattern(const char* pattern) {
  char* const copy = pattern != nullptr ? CopyOrExit(pattern) : nullptr;
  delete[] LogPattern;
  LogPattern = copy;
}

void Log_Base::lbAddToChain(Log_Base* anchor) {
  WEX1_Event ev(wex1, __func__);
  if (anchor == nullptr) {
    Next = this;
    Prev = this;
    return;
  }
  if (anchor->Prev == nullptr || anchor->Next == nullptr) {
    // An anchor in no ring yet is a ring of one.
    anchor->Next = anchor;
    anchor->Prev = anchor;
  }
  Log_Base* const tail = anchor->Prev;
  Next = anchor;
  Prev = tail;
  anchor->Prev = this;
  tail->Next = this;
}

void Log_Base::lbRemoveFromChain() {
  WEX1_Event ev(wex1, __func__);
  if (Next == nullptr || Prev == nullptr) {
    return;
  }
  Next->Prev = Prev;
  Prev->Next = Next;
}

void Log_Base::lbPrintSelf() {
  WEX1_Event ev(wex1, __func__);
  WEX1_Printf(wex1, PrintSelfMsg, static_cast<void*>(this),
              static_cast<void*>(Next), static_cast<void*>(Prev),
              LogFileName != nullptr ? LogFileName : "", LogPathNameLength,
              LogDebugMode.load(), LogType,
              LogProcedure != nullptr ? LogProcedure : "");
}
