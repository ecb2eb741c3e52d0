// The VXMONLOG agent class: each sample yields one row per monitored log,
// built while the sample is counted in with the log manager so that the
// log objects cannot change under it. Created by
// tvx_vxmonlog_manager::CreateVandu, destroyed by the runtime.
#ifndef QOR_TABLE_AGENTS_TVX_VXMONLOG_AGENT_H_
#define QOR_TABLE_AGENTS_TVX_VXMONLOG_AGENT_H_

#include "tables/tvx_vxmonlog_base.h"

class Log_File;

class tvx_vxmonlog_agent : public tvx_vxmonlog_base {
 public:
  tvx_vxmonlog_agent(RequestDetail* detail, ContextInfo* context,
                     TableManager* manager);
  ~tvx_vxmonlog_agent() override;

  void TakeSample() override;

  // Builds one row per log object into a new array (*rows, freed by the
  // caller with free()); the number of rows built.
  unsigned GetMonitoredLogs(tvx_vxmonlog_data_t** rows);
  // Fills `row` from `log`.
  void BuildTableRow(tvx_vxmonlog_data_t* row, Log_File* log);

 protected:
  void TakeSampleConstructor();
  void TakeSampleDestructor();
};

#endif  // QOR_TABLE_AGENTS_TVX_VXMONLOG_AGENT_H_
