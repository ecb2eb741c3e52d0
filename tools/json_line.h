// Reading the flat JSON objects the control server sends, one per line, for
// display. Only what the agent writes is understood: one object whose values
// are strings, numbers, true, false or null.
#ifndef QOR_TOOLS_JSON_LINE_H_
#define QOR_TOOLS_JSON_LINE_H_

#include <string>
#include <vector>

struct Json_Field {
  std::string key;
  // A string's text with \" \\ and \/ decoded and every other escape kept as
  // written (\n, \u00e9), so it shows on one line and never as raw control
  // bytes; numbers, true, false and null as written.
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
