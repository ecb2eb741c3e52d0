#include "tables/x7srv_rnodests_base.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV130");

const Table_Schema& x7srv_rnodests_base::Schema() {
  static const Table_Schema schema = {kRnodestsColumns, X7SRV_RNODESTS_COLUMNS, "x7srv_rnodests_base"};
  return schema;
}

x7srv_rnodests_base::x7srv_rnodests_base(RequestDetail* detail, ContextInfo* context, TableManager* manager)
    : vandu(detail, context, manager) {
  rowSize = sizeof(x7srv_rnodests_data_t);
  allocStep = X7SRV_RNODESTS_ALLOC_STEP;
}

x7srv_rnodests_base::~x7srv_rnodests_base() = default;

void x7srv_rnodests_base::PrintSelf() {
  SchemaPrintSelf(*this, Schema(), wex1,
                  Dump_Fields{this, identifier, handle, applName.c_str(), tableName.c_str(),
                              interval, sampleType, rowCount, rowsAllocated, allocStep, rowData,
                              sizeof(x7srv_rnodests_data_t)});
}

int x7srv_rnodests_base::NumColumns() { return X7SRV_RNODESTS_COLUMNS; }

unsigned x7srv_rnodests_base::GetColumnInfo(ColumnInfo* info, int index) {
  return SchemaGetColumnInfo(Schema(), info, index);
}

int x7srv_rnodests_base::ColumnIsException(const char* row, const char* column, int oper,
                                 const GIR1_FILTERINFO* value) {
  return SchemaColumnIsException(*this, Schema(), row, column, oper, value);
}

unsigned x7srv_rnodests_base::AddData(char* rows, int count) {
  return SchemaAddData(*this, wex1, rows, count, sizeof(x7srv_rnodests_data_t));
}
