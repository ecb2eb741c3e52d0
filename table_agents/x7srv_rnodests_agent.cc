// The node-status agent class: one row describing the agent node.
#include "table_agents/x7srv_rnodests_agent.h"

#include <string.h>
#include <time.h>

#include "agent/log_manager.h"
#include "agent/tvxmain.h"
#include "framework/control/main_loop.h"
#include "tables/teskal_time.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV130");

namespace {

const char NODETYPE[] = "V";
const char X7ONLINE[] = "Y";
const char PRODUCT[] = "VX";
const char VERSION[] = "02.00.00";
const char EXPIRYTIME[] = "9";

}  // namespace

x7srv_rnodests_agent::x7srv_rnodests_agent(RequestDetail* detail,
                                           ContextInfo* context,
                                           TableManager* manager)
    : x7srv_rnodests_base(detail, context, manager) {
  TakeSampleConstructor();
}

x7srv_rnodests_agent::~x7srv_rnodests_agent() {
  TakeSampleDestructor();
}

void x7srv_rnodests_agent::TakeSampleConstructor() {
  WEX1_Event ev(wex1, __func__);
  if (pTheLogManager != nullptr) {
    pTheLogManager->lmSetServerUp();
  }
  memset(&NodeRow, 0, sizeof NodeRow);
  if (gSystemName != nullptr) {
    CopyCut(NodeRow.originnode, sizeof NodeRow.originnode, gSystemName,
            static_cast<size_t>(gSystemNameLength));
  }
  CopyCut(NodeRow.nodetype, sizeof NodeRow.nodetype, NODETYPE,
          strlen(NODETYPE));
  CopyCut(NodeRow.x7online, sizeof NodeRow.x7online, X7ONLINE,
          strlen(X7ONLINE));
  CopyCut(NodeRow.product, sizeof NodeRow.product, PRODUCT, strlen(PRODUCT));
  CopyCut(NodeRow.version, sizeof NodeRow.version, VERSION, strlen(VERSION));
  CopyCut(NodeRow.expirytime, sizeof NodeRow.expirytime, EXPIRYTIME,
          strlen(EXPIRYTIME));
  const char* affinity = RemoteManagerProductAffinity();
  if (affinity != nullptr) {
    CopyCut(NodeRow.affinities, sizeof NodeRow.affinities, affinity,
            strlen(affinity));
  }
}

void x7srv_rnodests_agent::TakeSampleDestructor() {
  WEX1_Event ev(wex1, __func__);
}

void x7srv_rnodests_agent::TakeSample() {
  WEX1_Event ev(wex1, __func__);
  rowCount = 0;
  const time_t now = time(nullptr);
  GenerateTimestamp(now, NodeRow.timestamp);
  NodeRow.sampleno += 1;
  AddData(reinterpret_cast<char*>(&NodeRow), 1);
  char when[32];
  if (ctime_r(&now, when) == nullptr) {
    when[0] = '\0';
  }
  WEX1_TRACE(wex1, WEX1_FLOW, "\nHeartbeat occurred at %s.", when);
}
