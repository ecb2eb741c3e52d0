// The X7SRV.RNODESTS table manager: its registration and the agent objects
// it creates.
#include "tables/x7srv_rnodests_manager.h"

#include <new>

#include "table_agents/x7srv_rnodests_agent.h"

x7srv_rnodests_manager* x7srv_rnodests_static_manager = nullptr;
const char* const x7srv_rnodests_application = "X7SRV";
const char* const x7srv_rnodests_table = "RNODESTS";
const char* const x7srv_rnodests_ident =
    "@(#) ZEP: X7SRV.RNODESTS, version: 0203 on Thu Jan 17 00:02:28 2002";

unsigned x7srv_rnodests_init() {
  x7srv_rnodests_static_manager = new (std::nothrow)
      x7srv_rnodests_manager(x7srv_rnodests_application, x7srv_rnodests_table);
  if (x7srv_rnodests_static_manager == nullptr) {
    return MANAGER_NOT_CREATED;
  }
  return TableManager::RegisterWithManager(x7srv_rnodests_static_manager);
}

x7srv_rnodests_manager::x7srv_rnodests_manager(const char* appl,
                                               const char* table)
    : TableManager(appl, table) {}

vandu* x7srv_rnodests_manager::CreateVandu(RequestDetail* detail,
                                           ContextInfo* context) {
  return new (std::nothrow) x7srv_rnodests_agent(detail, context, this);
}

unsigned x7srv_rnodests_manager::EventArrived(x7srv_rnodests_data_t* rows,
                                              int count) {
  if (x7srv_rnodests_static_manager == nullptr) {
    return 0;
  }
  return x7srv_rnodests_static_manager->AddDataToEvent(rows, count);
}

unsigned x7srv_rnodests_manager::AddDataToEvent(x7srv_rnodests_data_t* rows,
                                                int count) {
  return OfferToLive(reinterpret_cast<char*>(rows), count);
}
