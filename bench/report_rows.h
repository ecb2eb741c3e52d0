// One log-entries report as the table drives it, for the report benchmarks.
#ifndef QOR_BENCH_REPORT_ROWS_H_
#define QOR_BENCH_REPORT_ROWS_H_

#include <time.h>

#include "agent/kinds/log_file.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"

// Reports `log` over the window from `start` to `end` (whole seconds, local
// time): the rows, or -1 when the report cannot start.
inline int ReportRows(Log_File& log, time_t start, time_t end) {
  _RequestThresholds window;
  GenerateTimestamp(start, window.StartTime);
  GenerateTimestamp(end, window.EndTime);
  window.StartTime[TIMESTAMPLENGTH] = '\0';
  window.EndTime[TIMESTAMPLENGTH] = '\0';
  void* handle = log.lfStartReportRequest(&window);
  if (handle == nullptr) {
    return -1;
  }
  tvx_vxlogent_data_t row;
  int rows = 0;
  while (log.lfGetNextLogEntry(&row, handle, &window) != nullptr) {
    ++rows;
  }
  log.lfEndReportRequest(&handle);
  return rows;
}

#endif  // QOR_BENCH_REPORT_ROWS_H_
