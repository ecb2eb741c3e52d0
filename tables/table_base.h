// The one base class of the tables: a request object that knows its table's
// row layout. Each table names it once with its row, column count and
// allocation step (tvx_vxlogent_base, tvx_vxmonlog_base, x7srv_rnodests_base);
// `Table` supplies the schema and the trace unit:
//   static const Table_Schema& Schema();
//   static WEX1_Handle Trace();
// Created through the agent class by the table's manager; owned and
// destroyed by the runtime.
#ifndef QOR_TABLES_TABLE_BASE_H_
#define QOR_TABLES_TABLE_BASE_H_

#include "framework/tables/request.h"
#include "tables/table_schema.h"

template <typename Table, typename Row_Data, int kColumns, int kAllocStep>
class Table_Base : public vandu {
 public:
  Table_Base(RequestDetail* detail, ContextInfo* context, TableManager* manager)
      : vandu(detail, context, manager) {
    rowSize = sizeof(Row_Data);
    allocStep = kAllocStep;
  }

  void PrintSelf() override {
    SchemaPrintSelf(
        *this, Table::Schema(), Table::Trace(),
        Dump_Fields{this, identifier, handle, applName.c_str(),
                    tableName.c_str(), interval, sampleType, rowCount,
                    rowsAllocated, allocStep, rowData, sizeof(Row_Data)});
  }
  int NumColumns() override { return kColumns; }
  // 0, or BAD_COLUMN_INDEX for an index outside the table.
  unsigned GetColumnInfo(ColumnInfo* info, int index) override {
    return SchemaGetColumnInfo(Table::Schema(), info, index);
  }
  int ColumnIsException(const char* row, const char* column, int oper,
                        const GIR1_FILTERINFO* value) override {
    return SchemaColumnIsException(*this, Table::Schema(), row, column, oper,
                                   value);
  }
  // Offers each row to CheckForException and InsertRow until InsertRow fails.
  unsigned AddData(char* rows, int count) override {
    return SchemaAddData(*this, Table::Trace(), rows, count, sizeof(Row_Data));
  }
};

#endif  // QOR_TABLES_TABLE_BASE_H_
