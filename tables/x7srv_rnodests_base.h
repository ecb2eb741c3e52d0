// The X7SRV.RNODESTS base class: a request object that knows the table's row
// layout (see tables/table_base.h).
#ifndef QOR_TABLES_X7SRV_RNODESTS_BASE_H_
#define QOR_TABLES_X7SRV_RNODESTS_BASE_H_

#include "tables/table_base.h"
#include "tables/x7srv_rnodests_schema.h"

class x7srv_rnodests_base
    : public Table_Base<x7srv_rnodests_base, x7srv_rnodests_data_t,
                        X7SRV_RNODESTS_COLUMNS, X7SRV_RNODESTS_ALLOC_STEP> {
 public:
  using Table_Base::Table_Base;

  static const Table_Schema& Schema();
  static WEX1_Handle Trace();
};

#endif  // QOR_TABLES_X7SRV_RNODESTS_BASE_H_
