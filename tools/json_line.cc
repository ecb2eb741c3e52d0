// Reads the JSON objects the control server sends, one per line.
#include "tools/json_line.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

namespace {

// A decoded string for display on one line: control characters are shown as
// their JSON escapes instead of acting on the terminal.
std::string Printable(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

}  // namespace

bool ParseJsonLine(const std::string& line, std::vector<Json_Field>* fields, std::string* err) {
  fields->clear();
  nlohmann::ordered_json j;
  try {
    j = nlohmann::ordered_json::parse(line);
  } catch (const nlohmann::json::parse_error& e) {
    *err = "not JSON at column " + std::to_string(e.byte == 0 ? 1 : e.byte);
    return false;
  }
  if (!j.is_object()) {
    *err = "expected an object at column 1";
    return false;
  }
  for (const auto& item : j.items()) {
    Json_Field f;
    f.key = item.key();
    f.is_string = item.value().is_string();
    // Replacing invalid UTF-8 keeps a dump from throwing on bytes the agent
    // would never send.
    f.text = f.is_string ? Printable(item.value().get<std::string>())
                         : item.value().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    fields->push_back(std::move(f));
  }
  return true;
}

const Json_Field* FindJsonField(const std::vector<Json_Field>& fields, const std::string& key) {
  for (const Json_Field& f : fields) {
    if (f.key == key) {
      return &f;
    }
  }
  return nullptr;
}
