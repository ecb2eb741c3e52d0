#include "framework/row_json.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <charconv>

#include "framework/event_output.h"
#include "framework/vandu.h"

namespace {

// Length of the valid UTF-8 sequence at p (at most n bytes), or 0.
size_t Utf8Length(const unsigned char* p, size_t n) {
  const unsigned char c = p[0];
  size_t len;
  uint32_t cp;
  if (c < 0x80) {
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (len > n) {
    return 0;
  }
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not valid.
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

}  // namespace

void JsonAppendString(std::string* out, const char* text, size_t length) {
  out->push_back('"');
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < length) {
    // A run of printable ASCII that needs no escape goes in at once.
    size_t plain = i;
    while (plain < length && p[plain] >= 0x20 && p[plain] < 0x7F && p[plain] != '"' &&
           p[plain] != '\\') {
      ++plain;
    }
    out->append(text + i, plain - i);
    i = plain;
    if (i == length) {
      break;
    }
    const unsigned char c = p[i];
    char esc[8];
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
      ++i;
    } else if (c == '\n') {
      out->append("\\n");
      ++i;
    } else if (c == '\t') {
      out->append("\\t");
      ++i;
    } else if (c == '\r') {
      out->append("\\r");
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out->append(esc);
      ++i;
    } else {
      const size_t n = Utf8Length(p + i, length - i);
      if (n == 0) {
        snprintf(esc, sizeof esc, "\\u%04x", c);
        out->append(esc);
        ++i;
      } else {
        out->append(text + i, n);
        i += n;
      }
    }
  }
  out->push_back('"');
}

namespace {

// Calls `each(info, upper_case_name)` for every described column of `v`.
template <typename F>
void ForEachColumn(vandu& v, F each) {
  const int n = v.NumColumns();
  std::string name;
  for (int i = 0; i < n; ++i) {
    ColumnInfo info{};
    if (v.GetColumnInfo(&info, i) != 0 || info.AttributeName == nullptr) {
      continue;
    }
    // Column names are plain ASCII identifiers: upper-cased as they are
    // copied, with nothing to escape.
    name.clear();
    for (const char* c = info.AttributeName; *c != '\0'; ++c) {
      name.push_back(*c >= 'a' && *c <= 'z' ? static_cast<char>(*c - 'a' + 'A') : *c);
    }
    each(info, name);
  }
}

// An integer column's value in decimal, or false for a text column.
bool IntegerText(const ColumnInfo& info, const char* field, std::string* out) {
  char digits[16];
  if (info.Type == COLUMN_INT32) {
    int32_t x;
    memcpy(&x, field, sizeof x);
    out->append(digits, std::to_chars(digits, digits + sizeof digits, x).ptr);
    return true;
  }
  if (info.Type == COLUMN_UINT32) {
    uint32_t x;
    memcpy(&x, field, sizeof x);
    out->append(digits, std::to_chars(digits, digits + sizeof digits, x).ptr);
    return true;
  }
  return false;
}

}  // namespace

Row_Json_Writer::Row_Json_Writer(vandu& v) {
  ForEachColumn(v, [&](const ColumnInfo& info, const std::string& name) {
    Column c;
    c.key.reserve(name.size() + 4);
    c.key.push_back(columns_.empty() ? '{' : ',');
    c.key.push_back('"');
    c.key += name;
    c.key.append("\":");
    c.info = info;
    columns_.push_back(std::move(c));
  });
}

void Row_Json_Writer::Append(const char* row, std::string* out) const {
  if (columns_.empty()) {
    out->push_back('{');
  }
  for (const Column& c : columns_) {
    out->append(c.key);
    const char* field = row + c.info.Offset;
    if (!IntegerText(c.info, field, out)) {
      JsonAppendString(out, field, static_cast<size_t>(UnpaddedLength(field, c.info.Width)));
    }
  }
  out->push_back('}');
}

std::string RowToJson(vandu& v, const char* row) {
  std::string out;
  Row_Json_Writer(v).Append(row, &out);
  return out;
}

std::string RowToEnvironment(vandu& v, const char* row) {
  std::string env;
  env.reserve(1024);
  ForEachColumn(v, [&](const ColumnInfo& info, const std::string& name) {
    env.append("QOR_").append(name).push_back('=');
    const char* field = row + info.Offset;
    if (!IntegerText(info, field, &env)) {
      size_t len = strnlen(field, info.Width);
      while (len > 0 && field[len - 1] == ' ') {
        --len;
      }
      env.append(field, len);
    }
    env.push_back('\0');
  });
  return env;
}

std::string RowEntryTime(vandu& v, const char* row) {
  std::string out;
  ForEachColumn(v, [&](const ColumnInfo& info, const std::string& name) {
    if (name == "ENTRYTIME" && info.Type == COLUMN_TEXT) {
      out = StampToRfc3339(row + info.Offset, info.Width);
    }
  });
  return out;
}
