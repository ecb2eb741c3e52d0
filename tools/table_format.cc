// Aligned text tables for people.
#include "tools/table_format.h"

#include <ctype.h>
#include <stdio.h>
#include <time.h>

namespace {

void Pad(std::string* out, size_t n) { out->append(n, ' '); }

void AppendLine(std::string* out, const std::vector<Table_Column>& columns,
                const std::vector<size_t>& widths, const std::vector<std::string>& cells) {
  std::string line;
  for (size_t i = 0; i < columns.size(); ++i) {
    const std::string& cell = i < cells.size() ? cells[i] : std::string();
    const size_t fill = widths[i] - DisplayWidth(cell);
    const bool last = i + 1 == columns.size();
    if (i > 0) {
      line.append("  ");
    }
    if (columns[i].right) {
      Pad(&line, fill);
      line += cell;
    } else {
      line += cell;
      if (!last) {
        Pad(&line, fill);
      }
    }
  }
  while (!line.empty() && line.back() == ' ') {
    line.pop_back();
  }
  *out += line;
  out->push_back('\n');
}

}  // namespace

size_t DisplayWidth(const std::string& text) {
  size_t n = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++n;
    }
  }
  return n;
}

std::string FormatTable(const std::vector<Table_Column>& columns,
                        const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  std::vector<std::string> headers;
  for (const Table_Column& c : columns) {
    widths.push_back(DisplayWidth(c.header));
    headers.push_back(c.header);
  }
  for (const auto& row : rows) {
    for (size_t i = 0; i < columns.size() && i < row.size(); ++i) {
      const size_t w = DisplayWidth(row[i]);
      if (w > widths[i]) {
        widths[i] = w;
      }
    }
  }
  std::string out;
  AppendLine(&out, columns, widths, headers);
  for (const auto& row : rows) {
    AppendLine(&out, columns, widths, row);
  }
  return out;
}

std::string ReadableStamp(const std::string& s) {
  if (s.size() != 16) {
    return s;
  }
  for (const char c : s) {
    if (!isdigit(static_cast<unsigned char>(c))) {
      return s;
    }
  }
  const auto num = [&s](size_t at, size_t len) {
    int v = 0;
    for (size_t i = at; i < at + len; ++i) {
      v = v * 10 + (s[i] - '0');
    }
    return v;
  };
  const int year = 1900 + num(0, 3);
  const int month = num(3, 2), day = num(5, 2), hour = num(7, 2), minute = num(9, 2),
            second = num(11, 2);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return s;
  }
  char out[64];  // room for any int, to keep -Wformat-truncation quiet
  snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
  return out;
}

std::string ReadableUtc(const std::string& time) {
  struct tm tm {};
  const char* end = strptime(time.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  if (end == nullptr) {
    return time;
  }
  const time_t t = timegm(&tm);
  struct tm local;
  localtime_r(&t, &local);
  char out[32];
  strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &local);
  return out;
}
