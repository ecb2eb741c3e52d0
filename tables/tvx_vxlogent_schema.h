// VXLOGENT, log entries: the row record and its columns. The offsets are part
// of the table's interface; the static_asserts keep the struct in step.
#ifndef QOR_TABLES_TVX_VXLOGENT_SCHEMA_H_
#define QOR_TABLES_TVX_VXLOGENT_SCHEMA_H_

#include <stddef.h>
#include <stdint.h>

#include "tables/table_schema.h"

struct tvx_vxlogent_data_t {
  char originnode[64];
  char logpath[256];
  char logname[128];
  char entrytime[16];
  char entrysys[32];
  char entrysrc[32];
  char entrytype[16];
  char entryclass[16];
  char entrydesc[256];
  int32_t freqthresh;
  int32_t periodthrs;
  char timestamp[16];
  int32_t sampleno;
  int32_t rowno;
};

constexpr int TVX_VXLOGENT_COLUMNS = 14;
constexpr int TVX_VXLOGENT_ALLOC_STEP = 20;

constexpr Column_Def kVxlogentColumns[TVX_VXLOGENT_COLUMNS] = {
    {"ORIGINNODE", "originnode", 0, 64, COLTYPE_TEXT},
    {"LOGPATH", "logpath", 64, 256, COLTYPE_TEXT},
    {"LOGNAME", "logname", 320, 128, COLTYPE_TEXT},
    {"ENTRYTIME", "entrytime", 448, 16, COLTYPE_TEXT},
    {"ENTRYSYS", "entrysys", 464, 32, COLTYPE_TEXT},
    {"ENTRYSRC", "entrysrc", 496, 32, COLTYPE_TEXT},
    {"ENTRYTYPE", "entrytype", 528, 16, COLTYPE_TEXT},
    {"ENTRYCLASS", "entryclass", 544, 16, COLTYPE_TEXT},
    {"ENTRYDESC", "entrydesc", 560, 256, COLTYPE_TEXT},
    {"FREQTHRESH", "freqthresh", 816, 4, COLTYPE_INT},
    {"PERIODTHRS", "periodthrs", 820, 4, COLTYPE_INT},
    {"TIMESTAMP", "timestamp", 824, 16, COLTYPE_TEXT},
    {"SAMPLENO", "sampleno", 840, 4, COLTYPE_INT},
    {"ROWNO", "rowno", 844, 4, COLTYPE_INT},
};

static_assert(sizeof(tvx_vxlogent_data_t) == 848, "VXLOGENT row is 848 bytes");
#define QOR_VXLOGENT_AT(i, member)                                                     \
  static_assert(kVxlogentColumns[i].offset == offsetof(tvx_vxlogent_data_t, member) && \
                    kVxlogentColumns[i].width == sizeof(tvx_vxlogent_data_t::member),  \
                "VXLOGENT column " #member " layout")
QOR_VXLOGENT_AT(0, originnode);
QOR_VXLOGENT_AT(1, logpath);
QOR_VXLOGENT_AT(2, logname);
QOR_VXLOGENT_AT(3, entrytime);
QOR_VXLOGENT_AT(4, entrysys);
QOR_VXLOGENT_AT(5, entrysrc);
QOR_VXLOGENT_AT(6, entrytype);
QOR_VXLOGENT_AT(7, entryclass);
QOR_VXLOGENT_AT(8, entrydesc);
QOR_VXLOGENT_AT(9, freqthresh);
QOR_VXLOGENT_AT(10, periodthrs);
QOR_VXLOGENT_AT(11, timestamp);
QOR_VXLOGENT_AT(12, sampleno);
QOR_VXLOGENT_AT(13, rowno);
#undef QOR_VXLOGENT_AT

#endif  // QOR_TABLES_TVX_VXLOGENT_SCHEMA_H_
