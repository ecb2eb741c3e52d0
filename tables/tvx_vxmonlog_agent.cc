#include "tables/tvx_vxmonlog_agent.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV130");

tvx_vxmonlog_agent::tvx_vxmonlog_agent(RequestDetail* detail, ContextInfo* context,
                                       TableManager* manager)
    : tvx_vxmonlog_base(detail, context, manager) {
  TakeSampleConstructor();
}

tvx_vxmonlog_agent::~tvx_vxmonlog_agent() { TakeSampleDestructor(); }

void tvx_vxmonlog_agent::TakeSampleConstructor() { WEX1_Event ev(wex1, __func__); }

void tvx_vxmonlog_agent::TakeSampleDestructor() { WEX1_Event ev(wex1, __func__); }

void tvx_vxmonlog_agent::TakeSample() {
  WEX1_Event ev(wex1, __func__);
  rowCount = 0;
}
