// The TVX.VXLOGENT base class: the table's row layout.
#include "tables/tvx_vxlogent_base.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV130");

const Table_Schema& tvx_vxlogent_base::Schema() {
  static const Table_Schema schema = {kVxlogentColumns, TVX_VXLOGENT_COLUMNS,
                                      "tvx_vxlogent_base"};
  return schema;
}

WEX1_Handle tvx_vxlogent_base::Trace() {
  return wex1;
}
