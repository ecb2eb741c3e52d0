// The VXMONLOG agent class: one row per monitored log.
#include "table_agents/tvx_vxmonlog_agent.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "agent/kinds/log_file.h"
#include "agent/log_manager.h"
#include "agent/tvxmain.h"
#include "tables/teskal_time.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV130");

namespace {

// A count or size for a 32-bit integer column: its maximum when it does not
// fit, never a wrapped (negative) value.
int32_t SaturatedInt32(uint64_t value) {
  return value > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX
                                                  : static_cast<int32_t>(value);
}

}  // namespace

tvx_vxmonlog_agent::tvx_vxmonlog_agent(RequestDetail* detail,
                                       ContextInfo* context,
                                       TableManager* manager)
    : tvx_vxmonlog_base(detail, context, manager) {
  TakeSampleConstructor();
}

tvx_vxmonlog_agent::~tvx_vxmonlog_agent() {
  TakeSampleDestructor();
}

void tvx_vxmonlog_agent::TakeSampleConstructor() {
  WEX1_Event ev(wex1, __func__);
}

void tvx_vxmonlog_agent::TakeSampleDestructor() {
  WEX1_Event ev(wex1, __func__);
}

void tvx_vxmonlog_agent::TakeSample() {
  WEX1_Event ev(wex1, __func__);
  rowCount = 0;
  if (pTheLogManager == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nLog Manager not found. Request terminating.");
    return;
  }
  tvx_vxmonlog_data_t* rows = nullptr;
  const unsigned n = GetMonitoredLogs(&rows);
  if (n != 0) {
    AddData(reinterpret_cast<char*>(rows), static_cast<int>(n));
  }
  free(rows);
}

unsigned tvx_vxmonlog_agent::GetMonitoredLogs(tvx_vxmonlog_data_t** rows) {
  WEX1_Event ev(wex1, __func__);
  unsigned built = 0;
  *rows = nullptr;
  pTheLogManager->lmBeginRequest();
  const int count = pTheLogManager->NumLogs;
  if (count == 0) {
    WEX1_TRACE(wex1, WEX1_FLOW, "\nNo logs are currently being monitored.");
  } else {
    const size_t bytes =
        static_cast<size_t>(count) * sizeof(tvx_vxmonlog_data_t);
    *rows = static_cast<tvx_vxmonlog_data_t*>(malloc(bytes));
    if (*rows == nullptr) {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nMemory allocation for %d bytes failed. Request terminating.",
          static_cast<int>(bytes));
    } else {
      Log_File* log = nullptr;
      unsigned index = 0;
      while ((log = pTheLogManager->lmGetNextLogObject(log, index)) !=
             nullptr) {
        if (index >= static_cast<unsigned>(count)) {
          WEX1_TRACE(wex1, WEX1_ERROR,
                     "\nData array size of %d exceeded. Request terminated.",
                     count);
          break;
        }
        BuildTableRow(&(*rows)[index], log);
        ++index;
      }
      built = index;
    }
  }
  pTheLogManager->lmEndRequest();
  return static_cast<unsigned>(ev.Result(built));
}

void tvx_vxmonlog_agent::BuildTableRow(tvx_vxmonlog_data_t* row,
                                       Log_File* log) {
  WEX1_Event ev(wex1, __func__);
  memset(row, ' ', sizeof *row);
  if (gSystemName != nullptr) {
    CopyCut(row->originnode, sizeof row->originnode, gSystemName,
            static_cast<size_t>(gSystemNameLength));
  }
  const char* name = log->LogFileName != nullptr ? log->LogFileName : "";
  const size_t dir_length = static_cast<size_t>(log->LogPathNameLength);
  CopyCut(row->logpath, sizeof row->logpath, name, dir_length);
  const char* base = name + dir_length;
  CopyCut(row->logname, sizeof row->logname, base, strlen(base));
  row->logtype[0] = log->LogType;
  log->lfGetMonitorStatus(row->monstatus, sizeof row->monstatus);
  GenerateTimestamp(log->MonitorStartStopTime, row->montime);
  row->numevents = SaturatedInt32(log->NumEvents);
  row->numerrors = SaturatedInt32(log->NumFormatErrors);
  int64_t size = 0;
  time_t modified = 0;
  const int e = log->lfStatLog(&size, &modified);
  if (e == 0) {
    // -1 means "cannot stat": a size past the column shows its maximum.
    row->logsize = SaturatedInt32(size < 0 ? 0 : static_cast<uint64_t>(size));
    GenerateTimestamp(modified, row->logmoddate);
  } else {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nstat() command failed for %s; errno = %d; %s.", name, e,
               e != 0 ? strerror(e) : "Unknown error");
    row->logsize = -1;
    memset(row->logmoddate, '0', sizeof row->logmoddate);
  }
  row->debugmode[0] = log->LogDebugMode;
  if (log->LogProcedure != nullptr) {
    CopyCut(row->formatter, sizeof row->formatter, log->LogProcedure,
            strlen(log->LogProcedure));
  }
  GenerateTimestamp(time(nullptr), row->timestamp);
  row->sampleno = 0;
  row->rowno = 0;
}
