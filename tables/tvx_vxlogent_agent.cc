#include "tables/tvx_vxlogent_agent.h"

tvx_vxlogent_agent::tvx_vxlogent_agent(RequestDetail* detail, ContextInfo* context,
                                       TableManager* manager)
    : tvx_vxlogent_base(detail, context, manager) {
  TakeSampleConstructor();
}

tvx_vxlogent_agent::~tvx_vxlogent_agent() { TakeSampleDestructor(); }

void tvx_vxlogent_agent::TakeSampleConstructor() {}

void tvx_vxlogent_agent::TakeSampleDestructor() {}

void tvx_vxlogent_agent::leGetFreqPeriodThresholds() {}

void tvx_vxlogent_agent::TakeSample() { rowCount = 0; }

unsigned tvx_vxlogent_agent::AddData(char* rows, int count) {
  return tvx_vxlogent_base::AddData(rows, count);
}

unsigned tvx_vxlogent_agent::InsertRow(const char* row) { return vandu::InsertRow(row); }
