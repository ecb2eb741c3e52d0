// The TVX.VXLOGENT base class: a request object that knows the table's row
// layout (see tables/table_base.h).
#ifndef QOR_TABLES_TVX_VXLOGENT_BASE_H_
#define QOR_TABLES_TVX_VXLOGENT_BASE_H_

#include "tables/table_base.h"
#include "tables/tvx_vxlogent_schema.h"

class tvx_vxlogent_base
    : public Table_Base<tvx_vxlogent_base, tvx_vxlogent_data_t,
                        TVX_VXLOGENT_COLUMNS, TVX_VXLOGENT_ALLOC_STEP> {
 public:
  using Table_Base::Table_Base;

  static const Table_Schema& Schema();
  static WEX1_Handle Trace();
};

#endif  // QOR_TABLES_TVX_VXLOGENT_BASE_H_
