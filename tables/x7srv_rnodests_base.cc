// The X7SRV.RNODESTS base class: the table's row layout.
#include "tables/x7srv_rnodests_base.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV130");

const Table_Schema& x7srv_rnodests_base::Schema() {
  static const Table_Schema schema = {kRnodestsColumns, X7SRV_RNODESTS_COLUMNS,
                                      "x7srv_rnodests_base"};
  return schema;
}

WEX1_Handle x7srv_rnodests_base::Trace() {
  return wex1;
}
