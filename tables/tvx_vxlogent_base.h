// The TVX.VXLOGENT base class: a request object that knows the table's row
// layout. Created through the agent class by the table's manager; owned and
// destroyed by the runtime.
#ifndef QOR_TABLES_TVX_VXLOGENT_BASE_H_
#define QOR_TABLES_TVX_VXLOGENT_BASE_H_

#include "framework/vandu.h"
#include "tables/tvx_vxlogent_schema.h"

class tvx_vxlogent_base : public vandu {
 public:
  tvx_vxlogent_base(RequestDetail* detail, ContextInfo* context, TableManager* manager);
  ~tvx_vxlogent_base() override;

  void PrintSelf() override;
  int NumColumns() override;
  // 0, or BAD_COLUMN_INDEX for an index outside the table.
  unsigned GetColumnInfo(ColumnInfo* info, int index) override;
  int ColumnIsException(const char* row, const char* column, int oper,
                        const GIR1_FILTERINFO* value) override;
  // Offers each row to CheckForException and InsertRow until InsertRow fails.
  unsigned AddData(char* rows, int count) override;

  static const Table_Schema& Schema();
};

#endif  // QOR_TABLES_TVX_VXLOGENT_BASE_H_
