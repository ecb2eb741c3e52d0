// The double-quoted form of a text as conditions and clauses write it: the
// text between '"', with '"' and '\' escaped by a backslash. The condition
// reader and qorctl, which writes conditions for the agent, must agree on it.
#ifndef QOR_UTIL_QUOTED_TEXT_H_
#define QOR_UTIL_QUOTED_TEXT_H_

#include <string>

inline std::string QuotedText(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
    }
    out.push_back(c);
  }
  return out + "\"";
}

#endif  // QOR_UTIL_QUOTED_TEXT_H_
