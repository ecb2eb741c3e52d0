// The VXMONLOG agent class: each sample yields one row per monitored log.
// Created by tvx_vxmonlog_manager::CreateVandu, destroyed by the runtime.
#ifndef QOR_TABLES_TVX_VXMONLOG_AGENT_H_
#define QOR_TABLES_TVX_VXMONLOG_AGENT_H_

#include "tables/tvx_vxmonlog_base.h"

class tvx_vxmonlog_agent : public tvx_vxmonlog_base {
 public:
  tvx_vxmonlog_agent(RequestDetail* detail, ContextInfo* context, TableManager* manager);
  ~tvx_vxmonlog_agent() override;

  void TakeSample() override;

 protected:
  void TakeSampleConstructor();
  void TakeSampleDestructor();
};

#endif  // QOR_TABLES_TVX_VXMONLOG_AGENT_H_
