// Rows as JSON objects, described by the request object's column info.
#ifndef QOR_FRAMEWORK_ROW_JSON_H_
#define QOR_FRAMEWORK_ROW_JSON_H_

#include <string>
#include <vector>

#include "framework/vandu.h"

// Appends `text` as a JSON string (with quotes): valid UTF-8 is kept,
// control characters and bytes that are not valid UTF-8 become \u00XX.
void JsonAppendString(std::string* out, const char* text, size_t length);
// The most bytes JsonWriteString writes for `length` bytes of text.
constexpr size_t JsonStringBound(size_t length) {
  return 6 * length + 2;
}
// JsonAppendString into room of JsonStringBound(length) bytes at `out`: the
// end of what it wrote.
char* JsonWriteString(char* out, const char* text, size_t length);
inline void JsonAppendString(std::string* out, const std::string& text) {
  JsonAppendString(out, text.data(), text.size());
}

// {"COLUMN":value,...}: upper-case column names, text without trailing
// blanks and NULs, integers as numbers.
std::string RowToJson(vandu& v, const char* row);

// RowToJson for many rows of one request: the columns are looked up once.
class Row_Json_Writer {
 public:
  explicit Row_Json_Writer(vandu& v);
  // Appends the row's JSON object to *out.
  void Append(const char* row, std::string* out);
  // RowEntryTime of the row.
  std::string EntryTime(const char* row) const;

 private:
  struct Column {
    std::string key;  // the separator before it and "NAME":
    ColumnInfo info;
  };
  std::vector<Column> columns_;
  std::vector<char> scratch_;  // room for one row's text
  ColumnInfo entry_time_{};    // the ENTRYTIME text column; Width 0 when none
};

// "QOR_COLUMN=value" for every column, each item ended by a NUL (one block,
// built on the dispatching thread with few allocations): texts without
// trailing blanks and cut at a NUL, which an environment value cannot hold
// (and which would start an item of its own), integers in decimal.
std::string RowToEnvironment(vandu& v, const char* row);

// The row's ENTRYTIME as RFC 3339 with the host's offset; empty when the
// table has no such column or it holds no time stamp.
std::string RowEntryTime(vandu& v, const char* row);

#endif  // QOR_FRAMEWORK_ROW_JSON_H_
