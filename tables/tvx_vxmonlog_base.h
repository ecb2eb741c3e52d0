// The TVX.VXMONLOG base class: a request object that knows the table's row
// layout (see tables/table_base.h).
#ifndef QOR_TABLES_TVX_VXMONLOG_BASE_H_
#define QOR_TABLES_TVX_VXMONLOG_BASE_H_

#include "tables/table_base.h"
#include "tables/tvx_vxmonlog_schema.h"

class tvx_vxmonlog_base
    : public Table_Base<tvx_vxmonlog_base, tvx_vxmonlog_data_t,
                        TVX_VXMONLOG_COLUMNS, TVX_VXMONLOG_ALLOC_STEP> {
 public:
  using Table_Base::Table_Base;

  static const Table_Schema& Schema();
  static WEX1_Handle Trace();
};

#endif  // QOR_TABLES_TVX_VXMONLOG_BASE_H_
