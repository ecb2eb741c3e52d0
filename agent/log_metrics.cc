// The monitored logs' counters for the metrics endpoint.
#include "agent/log_metrics.h"

#include <string.h>
#include <sys/stat.h>

#include "agent/kinds/log_file.h"
#include "agent/log_manager.h"
#include "agent/tvxmain.h"
#include "util/repeat_limiter.h"

void TvxLogMetrics(std::vector<Log_Metrics>* logs) {
  if (pTheLogManager == nullptr) {
    return;
  }
  // The read offsets, kept apart: only the file kinds read a file to an
  // offset that its size can be compared with.
  std::vector<int64_t> offsets;
  const long long now = Repeat_Limiter::Now();
  pTheLogManager->lmBeginRequest();
  Log_File* log = nullptr;
  unsigned index = 0;
  while ((log = pTheLogManager->lmGetNextLogObject(log, index)) != nullptr) {
    ++index;
    Log_Metrics m;
    m.path = log->LogFileName != nullptr ? log->LogFileName : "";
    m.lines = log->NumEvents.load(std::memory_order_relaxed);
    m.format_errors = log->NumFormatErrors.load(std::memory_order_relaxed);
    m.entries = log->NumRows.load(std::memory_order_relaxed);
    m.events = log->NumEventsRaised.load(std::memory_order_relaxed);
    m.bytes = log->NumBytesRead.load(std::memory_order_relaxed);
    m.lost_files = log->NumLostFiles.load(std::memory_order_relaxed);
    m.lost_bytes = log->NumLostBytes.load(std::memory_order_relaxed);
    m.cut_lines = log->NumLinesCut.load(std::memory_order_relaxed);
    const long long last =
        log->LastEntrySeconds.load(std::memory_order_relaxed);
    m.idle = last > 0 ? static_cast<int64_t>(now - last) : -1;
    m.running = log->MonitorStatus.load() == MONITOR_RUNNING;
    char status[64];
    memset(status, ' ', sizeof status);
    log->lfGetMonitorStatus(status, sizeof status);
    size_t n = sizeof status;
    while (n > 0 && (status[n - 1] == ' ' || status[n - 1] == '\0')) {
      --n;
    }
    m.status.assign(status, n);
    const bool file_kind =
        log->LogType == 'S' || log->LogType == 'U' || log->LogType == 'A';
    offsets.push_back(file_kind ? static_cast<int64_t>(log->LogEOF.load())
                                : -1);
    logs->push_back(std::move(m));
  }
  pTheLogManager->lmEndRequest();
  // A stat may wait on a slow file system: it is done with no request
  // counted in, so that it never holds up a refresh.
  for (size_t i = 0; i < logs->size(); ++i) {
    Log_Metrics& m = (*logs)[i];
    struct stat st;
    // A journal directory's size says nothing of the journal's.
    if (stat(m.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    m.size = static_cast<int64_t>(st.st_size);
    if (offsets[i] >= 0) {
      m.lag = m.size > offsets[i] ? m.size - offsets[i] : 0;
    }
  }
}
