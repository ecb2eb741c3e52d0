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

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// Whether any of the eight bytes in `x` needs more than a copy: a control
// character, DEL or a byte past ASCII, '"' or '\\'. It may say yes for a
// word that needs none (the bytes are then looked at one by one), never no
// for one that does.
bool WordNeedsEscape(uint64_t x) {
  const uint64_t below_space = (x - kOnes * 0x20) & ~x;
  const uint64_t del_or_high = (x + kOnes * 0x01) | x;
  const uint64_t q = x ^ (kOnes * '"');
  const uint64_t b = x ^ (kOnes * '\\');
  const uint64_t quote = (q - kOnes) & ~q;
  const uint64_t backslash = (b - kOnes) & ~b;
  return ((below_space | del_or_high | quote | backslash) & kHighs) != 0;
}

bool ByteNeedsEscape(unsigned char c) {
  return c < 0x20 || c >= 0x7F || c == '"' || c == '\\';
}

}  // namespace

char* JsonWriteString(char* out, const char* text, size_t length) {
  *out++ = '"';
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < length) {
    // A run of printable ASCII that needs no escape goes in at once; it is
    // looked at eight bytes at a time.
    size_t plain = i;
    while (plain + 8 <= length) {
      uint64_t word;
      memcpy(&word, p + plain, sizeof word);
      if (WordNeedsEscape(word)) {
        break;
      }
      plain += 8;
    }
    while (plain < length && !ByteNeedsEscape(p[plain])) {
      ++plain;
    }
    memcpy(out, text + i, plain - i);
    out += plain - i;
    i = plain;
    if (i == length) {
      break;
    }
    const unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      *out++ = '\\';
      *out++ = static_cast<char>(c);
      ++i;
    } else if (c == '\n' || c == '\t' || c == '\r') {
      *out++ = '\\';
      *out++ = c == '\n' ? 'n' : (c == '\t' ? 't' : 'r');
      ++i;
    } else {
      const size_t n =
          c < 0x20 || c == 0x7F ? 0 : Utf8Length(p + i, length - i);
      if (n == 0) {
        static const char kHex[] = "0123456789abcdef";
        memcpy(out, "\\u00", 4);
        out[4] = kHex[c >> 4];
        out[5] = kHex[c & 0xF];
        out += 6;
        ++i;
      } else {
        memcpy(out, text + i, n);
        out += n;
        i += n;
      }
    }
  }
  *out++ = '"';
  return out;
}

void JsonAppendString(std::string* out, const char* text, size_t length) {
  const size_t used = out->size();
  out->resize(used + JsonStringBound(length));
  char* const end = JsonWriteString(&(*out)[used], text, length);
  out->resize(static_cast<size_t>(end - out->data()));
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
  size_t bound = 2;
  ForEachColumn(v, [&](const ColumnInfo& info, const std::string& name) {
    Column c;
    c.key.reserve(name.size() + 4);
    c.key.push_back(columns_.empty() ? '{' : ',');
    c.key.push_back('"');
    c.key += name;
    c.key.append("\":");
    c.info = info;
    bound +=
        c.key.size() +
        JsonStringBound(info.Width > 0 ? static_cast<size_t>(info.Width) : 0) +
        16;
    columns_.push_back(std::move(c));
    if (name == "ENTRYTIME" && info.Type == COLUMN_TEXT) {
      entry_time_ = info;
    }
  });
  scratch_.resize(bound);
}

std::string Row_Json_Writer::EntryTime(const char* row) const {
  return entry_time_.Width > 0
             ? StampToRfc3339(row + entry_time_.Offset, entry_time_.Width)
             : std::string();
}

void Row_Json_Writer::Append(const char* row, std::string* out) {
  // The row is written into room sized once for the longest row the columns
  // allow, then appended in one piece.
  char* p = scratch_.data();
  if (columns_.empty()) {
    *p++ = '{';
  }
  for (const Column& c : columns_) {
    memcpy(p, c.key.data(), c.key.size());
    p += c.key.size();
    const char* field = row + c.info.Offset;
    if (c.info.Type == COLUMN_INT32) {
      int32_t x;
      memcpy(&x, field, sizeof x);
      p = std::to_chars(p, p + 16, x).ptr;
    } else if (c.info.Type == COLUMN_UINT32) {
      uint32_t x;
      memcpy(&x, field, sizeof x);
      p = std::to_chars(p, p + 16, x).ptr;
    } else {
      p = JsonWriteString(
          p, field, static_cast<size_t>(UnpaddedLength(field, c.info.Width)));
    }
  }
  *p++ = '}';
  out->append(scratch_.data(), static_cast<size_t>(p - scratch_.data()));
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
  return Row_Json_Writer(v).EntryTime(row);
}
