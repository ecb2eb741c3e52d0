// Reading the JSON objects the control server sends, one per line, for
// display: the fields of one object, in order.
#ifndef QOR_TOOLS_JSON_LINE_H_
#define QOR_TOOLS_JSON_LINE_H_

#include <string>
#include <vector>

struct Json_Field {
  std::string key;
  // A string's text decoded, with control characters shown as escapes (\n,
  // \u0001) so that it shows on one line and never as raw control bytes;
  // numbers, true, false, null, objects and arrays as compact JSON.
  std::string text;
  bool is_string = false;
};

// Parses one object into its fields, in order. False with *err saying what
// was expected at which column (1-based).
[[nodiscard]] bool ParseJsonLine(const std::string& line, std::vector<Json_Field>* fields,
                                 std::string* err);

// The field named `key`, or null.
const Json_Field* FindJsonField(const std::vector<Json_Field>& fields, const std::string& key);

#endif  // QOR_TOOLS_JSON_LINE_H_
