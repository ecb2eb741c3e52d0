// VXMONLOG, monitored logs: the row record and its columns. Bytes 497-499 and
// 801-803 are padding before the integers.
#ifndef QOR_TABLES_TVX_VXMONLOG_SCHEMA_H_
#define QOR_TABLES_TVX_VXMONLOG_SCHEMA_H_

#include <stddef.h>
#include <stdint.h>

#include "tables/table_schema.h"

struct tvx_vxmonlog_data_t {
  char originnode[64];
  char logpath[256];
  char logname[128];
  char logtype[1];
  char monstatus[32];
  char montime[16];
  int32_t numevents;
  int32_t numerrors;
  int32_t logsize;
  char logmoddate[16];
  char debugmode[1];
  char formatter[256];
  char timestamp[16];
  int32_t sampleno;
  int32_t rowno;
};

constexpr int TVX_VXMONLOG_COLUMNS = 15;
constexpr int TVX_VXMONLOG_ALLOC_STEP = 5;

constexpr Column_Def kVxmonlogColumns[TVX_VXMONLOG_COLUMNS] = {
    {"ORIGINNODE", "originnode", 0, 64, COLTYPE_TEXT},
    {"LOGPATH", "logpath", 64, 256, COLTYPE_TEXT},
    {"LOGNAME", "logname", 320, 128, COLTYPE_TEXT},
    {"LOGTYPE", "logtype", 448, 1, COLTYPE_TEXT},
    {"MONSTATUS", "monstatus", 449, 32, COLTYPE_TEXT},
    {"MONTIME", "montime", 481, 16, COLTYPE_TEXT},
    {"NUMEVENTS", "numevents", 500, 4, COLTYPE_INT},
    {"NUMERRORS", "numerrors", 504, 4, COLTYPE_INT},
    {"LOGSIZE", "logsize", 508, 4, COLTYPE_INT},
    {"LOGMODDATE", "logmoddate", 512, 16, COLTYPE_TEXT},
    {"DEBUGMODE", "debugmode", 528, 1, COLTYPE_TEXT},
    {"FORMATTER", "formatter", 529, 256, COLTYPE_TEXT},
    {"TIMESTAMP", "timestamp", 785, 16, COLTYPE_TEXT},
    {"SAMPLENO", "sampleno", 804, 4, COLTYPE_INT},
    {"ROWNO", "rowno", 808, 4, COLTYPE_INT},
};

static_assert(sizeof(tvx_vxmonlog_data_t) == 812, "VXMONLOG row is 812 bytes");
#define QOR_VXMONLOG_AT(i, member)                                                     \
  static_assert(kVxmonlogColumns[i].offset == offsetof(tvx_vxmonlog_data_t, member) && \
                    kVxmonlogColumns[i].width == sizeof(tvx_vxmonlog_data_t::member),  \
                "VXMONLOG column " #member " layout")
QOR_VXMONLOG_AT(0, originnode);
QOR_VXMONLOG_AT(1, logpath);
QOR_VXMONLOG_AT(2, logname);
QOR_VXMONLOG_AT(3, logtype);
QOR_VXMONLOG_AT(4, monstatus);
QOR_VXMONLOG_AT(5, montime);
QOR_VXMONLOG_AT(6, numevents);
QOR_VXMONLOG_AT(7, numerrors);
QOR_VXMONLOG_AT(8, logsize);
QOR_VXMONLOG_AT(9, logmoddate);
QOR_VXMONLOG_AT(10, debugmode);
QOR_VXMONLOG_AT(11, formatter);
QOR_VXMONLOG_AT(12, timestamp);
QOR_VXMONLOG_AT(13, sampleno);
QOR_VXMONLOG_AT(14, rowno);
#undef QOR_VXMONLOG_AT

#endif  // QOR_TABLES_TVX_VXMONLOG_SCHEMA_H_
