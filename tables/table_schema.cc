// The column description the three tables share and the operations driven
// by it.
#include "tables/table_schema.h"

#include <string.h>

#include <string>

unsigned SchemaGetColumnInfo(const Table_Schema& schema, ColumnInfo* info, int index) {
  if (index < 0 || index >= schema.count || info == nullptr) {
    return BAD_COLUMN_INDEX;
  }
  const Column_Def& c = schema.columns[index];
  info->AttributeName = c.attribute;
  info->Offset = c.offset;
  info->Width = c.width;
  info->Type = c.type;
  return 0;
}

int SchemaColumnIsException(vandu& v, const Table_Schema& schema, const char* row,
                            const char* column, int oper, const GIR1_FILTERINFO* value) {
  if (column == nullptr) {
    return 0;
  }
  // Called for every threshold of every row: the column is looked up by
  // name the first time only (a request's thresholds never change).
  int i = v.ThresholdColumn(value);
  if (i < 0 || i >= schema.count) {
    for (i = 0; i < schema.count && strcmp(schema.columns[i].name, column) != 0;
         ++i) {
    }
    if (i == schema.count) {
      return 0;
    }
    v.SetThresholdColumn(value, i);
    const Column_Def& c = schema.columns[i];
    v.SetPlainColumn(value,
                     c.type == COLTYPE_TEXT   ? vandu::Plain_Type::kText
                     : c.type == COLTYPE_UINT ? vandu::Plain_Type::kUint32
                                              : vandu::Plain_Type::kInt32,
                     c.offset, c.width);
  }
  const Column_Def& c = schema.columns[i];
  const char* field = row + c.offset;
  if (c.type == COLTYPE_TEXT) {
    return v.IsException(oper, field, value, c.width);
  }
  if (c.type == COLTYPE_UINT) {
    uint32_t u;
    memcpy(&u, field, sizeof u);
    return v.IsException(oper, u, value);
  }
  int32_t s;
  memcpy(&s, field, sizeof s);
  return v.IsException(oper, s, value);
}

unsigned SchemaAddData(vandu& v, WEX1_Handle trace, char* rows, int count, size_t row_size) {
  unsigned rc = 0;
  for (int i = 0; i < count && rc == 0; ++i) {
    const char* row = rows + static_cast<size_t>(i) * row_size;
    if (v.CheckForException(row) != 0) {
      WEX1_TRACE(trace, WEX1_DETAIL, "Passing row %d to InsertRow().", i);
      rc = v.InsertRow(row);
    }
  }
  return rc;
}

void SchemaPrintSelf(vandu& v, const Table_Schema& schema, WEX1_Handle trace,
                     const Dump_Fields& f) {
  if (!WEX1_On(trace, WEX1_FLOW)) {
    return;
  }
  char line[512];
  std::string out;
  snprintf(line, sizeof line, "%s @%p <%u,%u>\n", schema.dump_title, f.self, f.identifier,
           f.handle);
  out += line;
  snprintf(line, sizeof line, "\t::appl=%s,table=%s,interval=%d,samptype=%d\n", f.appl, f.table,
           f.interval * 1000, f.sample_type);
  out += line;
  WEX1_Printf(trace, "%s", out.c_str());
  v.DumpThresholds();
  out = "\t_data {\n";
  snprintf(line, sizeof line, "\t\tcount=%d, allocated=%d, allocSize=%d\n", f.count, f.allocated,
           f.alloc_size);
  out += line;
  for (int r = 0; r < f.count && f.rows != nullptr; ++r) {
    const char* row = f.rows + static_cast<size_t>(r) * f.row_size;
    out += "\t\t{\n";
    for (int i = 0; i < schema.count; ++i) {
      const Column_Def& c = schema.columns[i];
      const char* field = row + c.offset;
      if (c.type == COLTYPE_TEXT) {
        snprintf(line, sizeof line, "\t\t%s=\"%.*s\"\n", c.attribute, static_cast<int>(c.width),
                 field);
      } else if (c.type == COLTYPE_UINT) {
        uint32_t u;
        memcpy(&u, field, sizeof u);
        snprintf(line, sizeof line, "\t\t%s=%u\n", c.attribute, u);
      } else {
        int32_t s;
        memcpy(&s, field, sizeof s);
        snprintf(line, sizeof line, "\t\t%s=%d\n", c.attribute, s);
      }
      out += line;
    }
    out += "\t\t}\n";
  }
  out += "}\n";
  WEX1_Printf(trace, "%s", out.c_str());
}

void SetTextColumn(char* field, size_t width, const char* value) {
  memset(field, ' ', width);
  if (value == nullptr) {
    return;
  }
  const size_t n = strnlen(value, width);
  memcpy(field, value, n);
}

void CopyCut(char* field, size_t width, const char* value, size_t length) {
  if (value != nullptr) {
    memcpy(field, value, length < width ? length : width);
  }
}
