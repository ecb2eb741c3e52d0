#include "tables/tvx_vxlogent_base.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV130");

const Table_Schema& tvx_vxlogent_base::Schema() {
  static const Table_Schema schema = {kVxlogentColumns, TVX_VXLOGENT_COLUMNS, "tvx_vxlogent_base"};
  return schema;
}

tvx_vxlogent_base::tvx_vxlogent_base(RequestDetail* detail, ContextInfo* context, TableManager* manager)
    : vandu(detail, context, manager) {
  rowSize = sizeof(tvx_vxlogent_data_t);
  allocStep = TVX_VXLOGENT_ALLOC_STEP;
}

tvx_vxlogent_base::~tvx_vxlogent_base() = default;

void tvx_vxlogent_base::PrintSelf() {
  SchemaPrintSelf(*this, Schema(), wex1,
                  Dump_Fields{this, identifier, handle, applName.c_str(), tableName.c_str(),
                              interval, sampleType, rowCount, rowsAllocated, allocStep, rowData,
                              sizeof(tvx_vxlogent_data_t)});
}

int tvx_vxlogent_base::NumColumns() { return TVX_VXLOGENT_COLUMNS; }

unsigned tvx_vxlogent_base::GetColumnInfo(ColumnInfo* info, int index) {
  return SchemaGetColumnInfo(Schema(), info, index);
}

int tvx_vxlogent_base::ColumnIsException(const char* row, const char* column, int oper,
                                 const GIR1_FILTERINFO* value) {
  return SchemaColumnIsException(*this, Schema(), row, column, oper, value);
}

unsigned tvx_vxlogent_base::AddData(char* rows, int count) {
  return SchemaAddData(*this, wex1, rows, count, sizeof(tvx_vxlogent_data_t));
}
