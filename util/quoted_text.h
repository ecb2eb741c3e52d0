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

// The condition that selects one log of VXLOGENT or VXMONLOG: its directory
// (with the trailing '/') and its file name, as the two columns keep them.
inline std::string LogSelection(const std::string& dir,
                                const std::string& name) {
  return "LOGPATH == " + QuotedText(dir) +
         " AND LOGNAME == " + QuotedText(name);
}

#endif  // QOR_UTIL_QUOTED_TEXT_H_
