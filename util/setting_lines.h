// The lines of a small settings file (credentials, headers) that hold a
// setting, numbered for messages: one reading of blank and comment lines
// for every such file.
#ifndef QOR_UTIL_SETTING_LINES_H_
#define QOR_UTIL_SETTING_LINES_H_

#include <string>
#include <string_view>
#include <utility>

// Calls each(line, number) with every line of `text` (without its "\n" or
// "\r\n"; numbered from 1) that is not blank and does not start with '#'
// after blanks. Stops and returns false when `each` returns false.
template <typename Each>
bool ForEachSettingLine(std::string_view text, Each each) {
  int number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string line(text.substr(at, end - at));
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') {
      continue;
    }
    if (!each(std::move(line), number)) {
      return false;
    }
  }
  return true;
}

#endif  // QOR_UTIL_SETTING_LINES_H_
