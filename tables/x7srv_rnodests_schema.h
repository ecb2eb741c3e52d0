// X7SRV.RNODESTS, node status: the row record and its columns.
#ifndef QOR_TABLES_X7SRV_RNODESTS_SCHEMA_H_
#define QOR_TABLES_X7SRV_RNODESTS_SCHEMA_H_

#include <stddef.h>
#include <stdint.h>

#include "tables/table_schema.h"

struct x7srv_rnodests_data_t {
  uint32_t sampleno;
  char originnode[32];
  char nodetype[4];
  char online[4];
  char x7online[4];
  char product[4];
  char version[12];
  char expirytime[16];
  char affinities[48];
  char timestamp[16];
};

constexpr int X7SRV_RNODESTS_COLUMNS = 10;
constexpr int X7SRV_RNODESTS_ALLOC_STEP = 1;

constexpr Column_Def kRnodestsColumns[X7SRV_RNODESTS_COLUMNS] = {
    {"SAMPLENO", "sampleno", 0, 4, COLTYPE_UINT},
    {"ORIGINNODE", "originnode", 4, 32, COLTYPE_TEXT},
    {"NODETYPE", "nodetype", 36, 4, COLTYPE_TEXT},
    {"ONLINE", "online", 40, 4, COLTYPE_TEXT},
    {"X7ONLINE", "x7online", 44, 4, COLTYPE_TEXT},
    {"PRODUCT", "product", 48, 4, COLTYPE_TEXT},
    {"VERSION", "version", 52, 12, COLTYPE_TEXT},
    {"EXPIRYTIME", "expirytime", 64, 16, COLTYPE_TEXT},
    {"AFFINITIES", "affinities", 80, 48, COLTYPE_TEXT},
    {"TIMESTAMP", "timestamp", 128, 16, COLTYPE_TEXT},
};

static_assert(sizeof(x7srv_rnodests_data_t) == 144, "RNODESTS row is 144 bytes");
#define QOR_RNODESTS_AT(i, member)                                                       \
  static_assert(kRnodestsColumns[i].offset == offsetof(x7srv_rnodests_data_t, member) && \
                    kRnodestsColumns[i].width == sizeof(x7srv_rnodests_data_t::member),  \
                "RNODESTS column " #member " layout")
QOR_RNODESTS_AT(0, sampleno);
QOR_RNODESTS_AT(1, originnode);
QOR_RNODESTS_AT(2, nodetype);
QOR_RNODESTS_AT(3, online);
QOR_RNODESTS_AT(4, x7online);
QOR_RNODESTS_AT(5, product);
QOR_RNODESTS_AT(6, version);
QOR_RNODESTS_AT(7, expirytime);
QOR_RNODESTS_AT(8, affinities);
QOR_RNODESTS_AT(9, timestamp);
#undef QOR_RNODESTS_AT

#endif  // QOR_TABLES_X7SRV_RNODESTS_SCHEMA_H_
