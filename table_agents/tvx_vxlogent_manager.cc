// The TVX.VXLOGENT table manager: its registration and the agent objects it
// creates.
#include "tables/tvx_vxlogent_manager.h"

#include <new>

#include "table_agents/tvx_vxlogent_agent.h"

const char* const tvx_vxlogent_application = "TVX";
const char* const tvx_vxlogent_table = "VXLOGENT";
const char* const tvx_vxlogent_ident =
    "@(#) ZEP: TVX.VXLOGENT, version: 0203 on Thu Jan 17 00:02:27 2002";

unsigned tvx_vxlogent_init() {
  tvx_vxlogent_static_manager = new (std::nothrow)
      tvx_vxlogent_manager(tvx_vxlogent_application, tvx_vxlogent_table);
  if (tvx_vxlogent_static_manager == nullptr) {
    return MANAGER_NOT_CREATED;
  }
  return TableManager::RegisterWithManager(tvx_vxlogent_static_manager);
}

tvx_vxlogent_manager::tvx_vxlogent_manager(const char* appl, const char* table)
    : TableManager(appl, table) {}

vandu* tvx_vxlogent_manager::CreateVandu(RequestDetail* detail,
                                         ContextInfo* context) {
  return new (std::nothrow) tvx_vxlogent_agent(detail, context, this);
}
