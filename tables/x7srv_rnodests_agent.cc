#include "tables/x7srv_rnodests_agent.h"

#include <string.h>

x7srv_rnodests_agent::x7srv_rnodests_agent(RequestDetail* detail, ContextInfo* context,
                                           TableManager* manager)
    : x7srv_rnodests_base(detail, context, manager) {
  TakeSampleConstructor();
}

x7srv_rnodests_agent::~x7srv_rnodests_agent() { TakeSampleDestructor(); }

void x7srv_rnodests_agent::TakeSampleConstructor() { memset(&NodeRow, 0, sizeof NodeRow); }

void x7srv_rnodests_agent::TakeSampleDestructor() {}

void x7srv_rnodests_agent::TakeSample() { rowCount = 0; }
