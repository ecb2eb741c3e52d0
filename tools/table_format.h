// Aligned text tables for people: a header line, then one line per row,
// columns two blanks apart, numbers right-aligned. The last column is not
// padded, so long texts (descriptions, conditions) run on undisturbed.
#ifndef QOR_TOOLS_TABLE_FORMAT_H_
#define QOR_TOOLS_TABLE_FORMAT_H_

#include <string>
#include <vector>

struct Table_Column {
  std::string header;
  bool right = false;  // right-aligned (numbers)
};

// The table as text, each line ending in "\n"; a row with fewer cells than
// columns is completed with empty ones, extra cells are dropped.
std::string FormatTable(const std::vector<Table_Column>& columns,
                        const std::vector<std::vector<std::string>>& rows);

// Width of `text` on a terminal: its UTF-8 characters, one column each.
size_t DisplayWidth(const std::string& text);

// "YYYY-MM-DD HH:MM:SS" for a 16-character time stamp (century digit,
// two-digit year, month, day, hour, minute, second, "000"); anything that is
// not such a stamp comes back unchanged.
std::string ReadableStamp(const std::string& stamp);

// "YYYY-MM-DD HH:MM:SS" in local time for an RFC 3339 UTC time such as the
// agent's event times ("2026-12-08T02:30:00.123Z"); anything else unchanged.
std::string ReadableUtc(const std::string& time);

#endif  // QOR_TOOLS_TABLE_FORMAT_H_
