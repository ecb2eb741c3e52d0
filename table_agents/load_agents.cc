// The agent loader: registers the agent's tables with the runtime.
#include "table_agents/load_agents.h"

#include "framework/control/main_loop.h"
#include "framework/runtime/trace.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxmonlog_manager.h"
#include "tables/x7srv_rnodests_manager.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

unsigned int LoadAgents() {
  WEX1_Event ev(wex1, __func__);
  ZEP_SetAffinity("AFF_UNIX_LOG_ALERT");
  x7srv_rnodests_init();
  tvx_vxmonlog_init();
  tvx_vxlogent_init();
  return static_cast<unsigned>(ev.Result(0));
}
