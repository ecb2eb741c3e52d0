// The X7SRV.RNODESTS base class: a request object that knows the table's row
// layout. Created through the agent class by the table's manager; owned and
// destroyed by the runtime.
#ifndef QOR_TABLES_X7SRV_RNODESTS_BASE_H_
#define QOR_TABLES_X7SRV_RNODESTS_BASE_H_

#include "framework/vandu.h"
#include "tables/x7srv_rnodests_schema.h"

class x7srv_rnodests_base : public vandu {
 public:
  x7srv_rnodests_base(RequestDetail* detail, ContextInfo* context, TableManager* manager);
  ~x7srv_rnodests_base() override;

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

#endif  // QOR_TABLES_X7SRV_RNODESTS_BASE_H_
