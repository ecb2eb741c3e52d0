// The TVX.VXMONLOG base class: the table's row layout.
#include "tables/tvx_vxmonlog_base.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV130");

const Table_Schema& tvx_vxmonlog_base::Schema() {
  static const Table_Schema schema = {kVxmonlogColumns, TVX_VXMONLOG_COLUMNS,
                                      "tvx_vxmonlog_base"};
  return schema;
}

WEX1_Handle tvx_vxmonlog_base::Trace() {
  return wex1;
}
