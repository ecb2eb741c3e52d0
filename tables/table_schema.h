// What the three tables share: the column description each schema header
// declares, and the column-driven operations their base classes perform the
// same way (column info, threshold comparison, trace dump, event delivery).
#ifndef QOR_TABLES_TABLE_SCHEMA_H_
#define QOR_TABLES_TABLE_SCHEMA_H_

#include <stddef.h>
#include <stdint.h>

#include "framework/tables/request.h"
#include "framework/tables/table_manager.h"
#include "framework/runtime/trace.h"

// Column type codes announced to the framework.
constexpr uint16_t COLTYPE_TEXT = 9;
constexpr uint16_t COLTYPE_INT = 3;
constexpr uint16_t COLTYPE_UINT = 4;

// Returned to the framework for a column index outside the table.
constexpr unsigned BAD_COLUMN_INDEX = 0x21060007;
// Returned by a registration function when its manager cannot be created.
constexpr unsigned MANAGER_NOT_CREATED = 0x21060002;

struct Column_Def {
  const char* name;       // upper case, used in thresholds
  const char* attribute;  // lower case, announced and dumped
  uint16_t offset;
  uint16_t width;
  uint16_t type;
};

struct Table_Schema {
  const Column_Def* columns;
  int count;
  const char* dump_title;  // e.g. "tvx_vxlogent_base"
};

// GetColumnInfo: 0, or BAD_COLUMN_INDEX leaving *info untouched.
unsigned SchemaGetColumnInfo(const Table_Schema& schema, ColumnInfo* info, int index);

// ColumnIsException: the comparison of one column of `row`; 0 for a name
// that is not a column of the table.
int SchemaColumnIsException(vandu& v, const Table_Schema& schema, const char* row,
                            const char* column, int oper, const GIR1_FILTERINFO* value);

// The base classes' AddData: each row in order while the result is 0; rows
// that pass CheckForException go to InsertRow.
unsigned SchemaAddData(vandu& v, WEX1_Handle trace, char* rows, int count, size_t row_size);

// The base classes' PrintSelf lines after the header (one trace record).
struct Dump_Fields {
  const void* self;
  unsigned identifier;
  unsigned handle;
  const char* appl;
  const char* table;
  int interval;
  int sample_type;
  int count;
  int allocated;
  int alloc_size;
  const char* rows;
  size_t row_size;
};
void SchemaPrintSelf(vandu& v, const Table_Schema& schema, WEX1_Handle trace,
                     const Dump_Fields& f);

// Copies at most `width` of the `length` characters at `value` into a
// fixed-width field, without terminator; nothing for a null value.
void CopyCut(char* field, size_t width, const char* value, size_t length);

// Sets a fixed-width text field: blanks, then `value` cut to `width`.
void SetTextColumn(char* field, size_t width, const char* value);

#endif  // QOR_TABLES_TABLE_SCHEMA_H_
