// The TVX.VXMONLOG table manager: its registration and the agent objects it
// creates.
#include "tables/tvx_vxmonlog_manager.h"

#include <new>

#include "table_agents/tvx_vxmonlog_agent.h"

tvx_vxmonlog_manager* tvx_vxmonlog_static_manager = nullptr;
const char* const tvx_vxmonlog_application = "TVX";
const char* const tvx_vxmonlog_table = "VXMONLOG";
const char* const tvx_vxmonlog_ident =
    "@(#) ZEP: TVX.VXMONLOG, version: 0203 on Thu Jan 17 00:02:23 2002";

unsigned tvx_vxmonlog_init() {
  tvx_vxmonlog_static_manager = new (std::nothrow)
      tvx_vxmonlog_manager(tvx_vxmonlog_application, tvx_vxmonlog_table);
  if (tvx_vxmonlog_static_manager == nullptr) {
    return MANAGER_NOT_CREATED;
  }
  return TableManager::RegisterWithManager(tvx_vxmonlog_static_manager);
}

tvx_vxmonlog_manager::tvx_vxmonlog_manager(const char* appl, const char* table)
    : TableManager(appl, table) {}

vandu* tvx_vxmonlog_manager::CreateVandu(RequestDetail* detail,
                                         ContextInfo* context) {
  return new (std::nothrow) tvx_vxmonlog_agent(detail, context, this);
}

unsigned tvx_vxmonlog_manager::EventArrived(tvx_vxmonlog_data_t* rows,
                                            int count) {
  if (tvx_vxmonlog_static_manager == nullptr) {
    return 0;
  }
  return tvx_vxmonlog_static_manager->AddDataToEvent(rows, count);
}

unsigned tvx_vxmonlog_manager::AddDataToEvent(tvx_vxmonlog_data_t* rows,
                                              int count) {
  return OfferToLive(reinterpret_cast<char*>(rows), count);
}
