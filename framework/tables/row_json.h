// Rows as JSON objects, described by the request object's column info.
#ifndef QOR_FRAMEWORK_TABLES_ROW_JSON_H_
#define QOR_FRAMEWORK_TABLES_ROW_JSON_H_

#include <string>
#include <vector>

#include "framework/tables/request.h"

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
// JsonWriteString of the first `length` bytes of a field whose first
// `readable` bytes (at least `length`) may be read, into room of
// JsonStringBound(length) + 16 bytes: reads and writes whole pieces.
char* JsonWriteField(char* out, const char* text, size_t length,
                     size_t readable);
inline void JsonAppendString(std::string* out, const std::string& text) {
  JsonAppendString(out, text.data(), text.size());
}
// Whether `text` is valid UTF-8 (no overlong forms, surrogates or values
// past U+10FFFF).
bool ValidUtf8(const std::string& text);

// The whole text of the entries behind fixed-width rows, carried beside the
// rows on the thread that offers or reports them, for the "entry" member
// of their JSON objects (a row's columns cut long entries). While a scope
// lives, Find gives the text of a row in [first, first + count * size),
// and of a copy of the row, wherever it lies, when the scope has one row.
// Scopes nest; the innermost is used. Thread-local: costs one store to
// open and one load to ask.
class Row_Side_Text {
 public:
  struct Text {
    const char* data = nullptr;
    size_t length = 0;
    // A line of it was longer than the agent keeps and is cut: the JSON
    // object says so ("cut":true).
    bool cut = false;
  };
  // `texts` (count of them, not copied) belongs to the rows at `first`,
  // each `size` bytes apart.
  Row_Side_Text(const char* first, size_t size, size_t count,
                const Text* texts);
  ~Row_Side_Text();
  Row_Side_Text(const Row_Side_Text&) = delete;
  Row_Side_Text& operator=(const Row_Side_Text&) = delete;
  // The text of `row`, or null when the innermost scope has none for it
  // (or there is no scope).
  static const Text* Find(const char* row);

 private:
  const char* first_;
  size_t size_;
  size_t count_;
  const Text* texts_;
  const Row_Side_Text* outer_;
};

// {"COLUMN":value,...}: upper-case column names, text without trailing
// blanks and NULs, integers as numbers.
std::string RowToJson(vandu& v, const char* row);

// RowToJson for many rows of one request: the columns are looked up once.
// A writer for the rows of one sample (`sample_rows`) keeps the text of the
// columns the sample fills alike in every row (see
// vandu::Constant_Columns), as the first row has them. Otherwise it keeps
// the last row it wrote, field and text, and copies the text of the columns
// whose fields are the same again (most of a log's columns repeat from
// entry to entry). One thread at a time.
class Row_Json_Writer {
 public:
  explicit Row_Json_Writer(vandu& v, bool sample_rows = false);
  // Appends the row's JSON object to *out; with `entry`, an "entry" member
  // holding that text last (see Row_Side_Text).
  void Append(const char* row, std::string* out,
              const Row_Side_Text::Text* entry = nullptr);
  // RowEntryTime of the row.
  std::string EntryTime(const char* row);
  // The same into *out (its room kept).
  void EntryTime(const char* row, std::string* out);

 private:
  struct Column {
    std::string key;  // the separator before it and "NAME":
    // The key again when it is short, in room of a fixed size: copied
    // whole, which costs no call.
    static constexpr size_t SHORTKEY = 16;
    char short_key[SHORTKEY] = {};
    ColumnInfo info;
    // How the field is written, from info.Type and info.Width: looked at
    // once here rather than in every row.
    enum Kind : unsigned char { TEXT, INT32, UINT32 };
    Kind kind = TEXT;
    size_t width = 0;  // a text's; 0 for none (written as "")
    size_t size = 0;   // the bytes of the row its value is made of
    bool constant = false;
    // For WriteOverLastRow: `valid` while the last row's field is kept in
    // last_row_ (and the last row's text holds what it came to); `hit`
    // when it was the same as in the row before; `joins_next` when the next
    // column's field follows it in the row.
    bool valid = false;
    bool hit = false;
    bool joins_next = false;
    uint32_t rel = 0;  // where its text starts in its run's, in the last row
    // An integer column with a short key: its last value and what it came
    // to (key and number), copied whole while the value repeats.
    bool int_seen = false;
    uint32_t seen_int = 0;
    unsigned char int_json_size = 0;
    char int_json[SHORTKEY + 16] = {};
    // For the rows of a sample with constant columns (WriteColumn):
    // a text column's last field and what it came to (key and value): most
    // columns of a log's rows repeat from row to row (the log, the host, the
    // second), and a field compared whole costs less than one looked at for
    // its padding and escapes. A column that keeps changing is not compared
    // for a while.
    std::string seen;       // the field's bytes; empty: none yet
    std::string seen_json;  // its key and value
    unsigned misses = 0;    // fields in a row that were not `seen`
    unsigned skip = 0;      // rows still written without comparing
  };
  // Once the constant columns are known and written: each column written
  // in turn, or (`column` -1) the kept text of a run of constant columns.
  struct Step {
    int column;
    std::string kept;
  };
  // The sample's constant columns, looked up at its first row.
  void FindConstantColumns();
  // Writes the column's key and value at `p`: the end of what it wrote.
  static char* WriteColumn(Column& c, const char* row, char* p);
  // WriteColumn without the memory of the last field.
  static char* WriteField(const Column& c, const char* row, char* p);
  // The columns of one row, as plan_ says.
  char* WriteColumns(const char* row, char* p);
  // The columns of one row, each in turn, into text_[now_] at its start
  // (`p`): what repeats from the last row is copied from its text.
  char* WriteOverLastRow(const char* row, char* p);
  // Runs_ again from the columns' `hit`.
  void JoinRuns();
  // One column of WriteOverLastRow, `last` its text in the last row.
  char* WriteOverLast(Column& c, const char* row, char* p, const char* last,
                      size_t last_length);

  std::vector<Column> columns_;
  vandu* sample_ = nullptr;  // until its constant columns are found
  bool constants_ = false;   // some column is constant
  std::vector<Step> plan_;   // empty until the first row with constants_
  // Room for one row's text, twice: the row's (text_[now_]) and the last
  // row's.
  std::vector<char> text_[2];
  int now_ = 0;
  std::vector<char> last_row_;  // the fields of the `valid` columns
  // The columns in runs, in order: a column alone, or columns that were
  // each the same as in the row before, whose fields follow each other
  // (bytes [from, from + bytes) of the row), compared and copied in one.
  struct Run {
    uint32_t first, end;  // columns [first, end)
    uint32_t from, bytes;
    uint32_t at, length;  // its text in the last row's
  };
  std::vector<Run> runs_;
  bool rejoin_ = false;      // a column's `hit` changed
  ColumnInfo entry_time_{};  // the ENTRYTIME text column; Width 0 when none
  // The last ENTRYTIME field EntryTime converted, the zone it was converted
  // in and what it came to: the rows of a burst mostly share their time.
  struct Time_Memo {
    bool valid = false;
    char stamp[16] = {};
    const char* zone_standard = nullptr;
    const char* zone_summer = nullptr;
    long zone_west = 0;
    std::string text;
  };
  Time_Memo time_memo_;
};

// "QOR_COLUMN=value" for every column, each item ended by a NUL (one block,
// built on the dispatching thread with few allocations): texts without
// trailing blanks and cut at a NUL, which an environment value cannot hold
// (and which would start an item of its own), integers in decimal.
std::string RowToEnvironment(vandu& v, const char* row);

// The row's ENTRYTIME as RFC 3339 with the host's offset; empty when the
// table has no such column or it holds no time stamp.
std::string RowEntryTime(vandu& v, const char* row);

#endif  // QOR_FRAMEWORK_TABLES_ROW_JSON_H_
