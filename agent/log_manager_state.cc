// Log_Manager as the owner of the logs' shared state: positions loaded from
// and saved to the state file, restarts of logs in an error status, and
// the debug log.
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "agent/config/config_def.h"
#include "agent/kinds/journal_file.h"
#include "agent/kinds/log_file.h"
#include "agent/log_manager.h"
#include "framework/events/event_sink.h"
#include "framework/runtime/trace.h"
#include "framework/situations/situation_registry.h"
#include "util/append_file.h"
#include "util/errno_text.h"
#include "util/monotonic_ms.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char DebugOpenErrMsg[] =
    "\nError opening debug log \"%s\"; errno = %d; %s";
const char DebugCloseErrMsg[] =
    "\nError closing debug log \"%s\"; errno = %d; %s";
// Positions and retries.
const char StateIgnoredMsg[] =
    "\nError reading the state file: %s. It is ignored: every log starts at its end.";
const char StateSaveErrMsg[] = "\nError saving log positions: %s.";
const char EventsBehindMsg[] =
    "\nThe event files have not taken every event; log positions are saved before "
    "the entries of the events not written.";
// How long a stop waits for the event files to take the last events.
constexpr int STOPEVENTWAITMS = 3000;
const char RetryMsg[] = "\nRetrying log %s.";
const char RetryAgainMsg[] =
    "\nLog %s is still in error after %lu restarts; restarting it again (at most once a minute).";
// Seconds between restarts of a log that keeps failing.
constexpr long long RETRYAGAINSECONDS = 60;
constexpr auto Text = Name;

// Whether `log` cannot be opened because its file, or for a J log its
// journal directory or the journal files in it, is not there (yet).
bool LogFileMissing(const Log_File& log) {
  struct stat st;
  if (stat(Text(log.LogFileName), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR;
  }
  return log.LogType == JOURNALTYPE && S_ISDIR(st.st_mode) &&
         !Journal_File::jlHoldsJournalFiles(Text(log.LogFileName));
}

// The state file belongs to the machine that wrote it (LocalStateOwner):
// positions of another machine's files would point anywhere.
std::string HostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) {
    name[0] = '\0';
  }
  name[sizeof name - 1] = '\0';
  return name;
}

}  // namespace

void Log_Manager::lmLoadPositions() {
  WEX1_Event ev(wex1, __func__);
  const time_t now = MonotonicSeconds();
  NextStateSave = now + STATESAVESECONDS;
  NextLogRetry = now + LOGRETRYSECONDS;
  if (StateFile == nullptr) {
    return;
  }
  std::string err;
  if (!Positions.Load(StateFile, LocalStateOwner(HostName()), &err)) {
    WEX1_TRACE(wex1, WEX1_ERROR, StateIgnoredMsg, err.c_str());
  }
}

void Log_Manager::lmSavePositions() {
  WEX1_Event ev(wex1, __func__);
  NextStateSave = MonotonicSeconds() + STATESAVESECONDS;
  // Until a log was built from the configuration, the positions loaded are
  // all there is: a check, or a start refused before any log ran, leaves
  // the state file as it found it.
  if (StateFile == nullptr || !PositionsInUse) {
    return;
  }
  // Read before the positions: a position that moves meanwhile is saved
  // (again) by the next save. A position held back for its events is
  // saved once the durable event outputs have written them.
  const uint64_t changes = PositionChanges;
  const uint64_t durable = Event_Sink::DurableSequence();
  Situation_Registry& situations = Situation_Registry::Instance();
  const uint64_t situation_changes = situations.StateChanges();
  if (!LogsRebuiltSinceSave && changes == SavedPositionChanges &&
      durable == SavedDurableSequence &&
      situation_changes == SavedSituationChanges) {
    return;
  }
  SavedSituationChanges = situation_changes;
  SavedDurableSequence = durable;
  std::vector<Log_Position> positions;
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs && object != nullptr; ++i) {
    Log_Position position;
    if (object->lfGetPosition(&position)) {
      positions.push_back(std::move(position));
    }
    object = static_cast<Log_File*>(object->Next);
  }
  // The situations' state rides in records an older agent takes for logs
  // it does not watch (SITUATION_STATE_BYTES, half of what a state file
  // may hold).
  std::vector<std::pair<std::string, std::string>> records;
  situations.SaveState(&records);
  for (auto& r : records) {
    Log_Position record;
    record.path = std::move(r.first);
    record.text = std::move(r.second);
    positions.push_back(std::move(record));
  }
  const State_Owner owner = LocalStateOwner(HostName());
  std::string text = Position_Store::Format(owner, positions);
  if (text == LastStateText) {
    SavedPositionChanges = changes;
    LogsRebuiltSinceSave = false;
    return;
  }
  std::string err;
  if (!Position_Store::Save(StateFile, owner, positions, &err)) {
    if (!StateSaveFailing) {
      WEX1_TRACE(wex1, WEX1_ERROR, StateSaveErrMsg, err.c_str());
    }
    StateSaveFailing = true;
    return;
  }
  StateSaveFailing = false;
  LastStateText = std::move(text);
  SavedPositionChanges = changes;
  LogsRebuiltSinceSave = false;
}

void Log_Manager::lmRestoreSituationState() {
  std::vector<std::pair<std::string, std::string>> records;
  for (Log_Position& p : Positions.TakePrefixed(SITUATION_STATE_PREFIX)) {
    records.emplace_back(std::move(p.path), std::move(p.text));
  }
  if (!records.empty()) {
    Situation_Registry::Instance().RestoreState(records);
  }
}

void Log_Manager::lmStopLogs() {
  WEX1_Event ev(wex1, __func__);
  // Every worker stops first, so that the positions saved are final: all
  // are told at once, then each is joined.
  lmRequestStopAll();
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs && object != nullptr; ++i) {
    object->lfStopThread();
    object = static_cast<Log_File*>(object->Next);
  }
  // The events of the last entries read reach the event files first, so
  // that the positions saved are past them.
  if (StateFile != nullptr && !Event_Sink::AwaitDurable(STOPEVENTWAITMS)) {
    WEX1_TRACE(wex1, WEX1_FLOW, EventsBehindMsg);
  }
  lmSavePositions();
}

void Log_Manager::lmRetryFailedLogs(bool all) {
  WEX1_Event ev(wex1, __func__);
  const time_t now = MonotonicSeconds();
  NextLogRetry = now + LOGRETRYSECONDS;
  // Only the logs in error keep their record: one that runs starts anew.
  std::map<std::string, Log_Retry> kept;
  Log_File* object = FirstLogObject;
  for (int i = 0; i < NumLogs && object != nullptr;
       ++i, object = static_cast<Log_File*>(object->Next)) {
    if (object->MonitorStatus >= 0) {
      continue;
    }
    const std::string name = Text(object->LogFileName);
    Log_Retry retry;
    const auto found = LogRetries.find(name);
    if (found != LogRetries.end() && !all) {
      retry = found->second;
    }
    // A file not there (yet) fails the same way until it is: its one
    // trace was the first start's.
    if (!all && object->MonitorStatus == MONITOR_ERR_OPEN &&
        LogFileMissing(*object)) {
      kept[name] = retry;
      continue;
    }
    if (retry.failures > 0) {
      if (now - retry.restarted < RETRYAGAINSECONDS) {
        kept[name] = retry;
        continue;
      }
      WEX1_TRACE(wex1, WEX1_ERROR, RetryAgainMsg, name.c_str(), retry.failures);
    } else {
      WEX1_TRACE(wex1, WEX1_FLOW, RetryMsg, name.c_str());
    }
    // A refresh signal starts the count over.
    if (!all) {
      ++retry.failures;
    }
    retry.restarted = now;
    kept[name] = retry;
    object->lfStopThread();
    object->lfStartThread();
  }
  LogRetries.swap(kept);
}

void Log_Manager::lmOpenDebugLog() {
  WEX1_Event ev(wex1, __func__);
  // The debug log copies raw log lines, so it is no more readable than the
  // agent's other files (0640 when created).
  FILE* const stream = OpenForAppend(Text(DebugLog), "debug log", nullptr);
  if (stream == nullptr) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, DebugOpenErrMsg, Text(DebugLog), e,
               ErrnoText(e, eb, sizeof eb));
    return;
  }
  setvbuf(stream, nullptr, _IOLBF, 0);
  DebugLogP = stream;
}

void Log_Manager::lmCloseDebugLog() {
  WEX1_Event ev(wex1, __func__);
  FILE* const stream = DebugLogP.exchange(nullptr);
  if (stream != nullptr && fclose(stream) != 0) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, DebugCloseErrMsg, Text(DebugLog), e,
               ErrnoText(e, eb, sizeof eb));
  }
}
