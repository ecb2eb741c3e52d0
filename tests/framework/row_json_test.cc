// Tests of rows as JSON.
#include "framework/tables/row_json.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

#include "framework/events/event_output.h"

namespace {

std::string Json(const std::string& text) {
  std::string out;
  JsonAppendString(&out, text);
  return out;
}

// What one byte alone becomes inside a JSON string.
std::string Escaped(unsigned char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case '\r':
      return "\\r";
    default:
      break;
  }
  if (c < 0x20 || c >= 0x7F) {  // a lone byte past ASCII is no UTF-8
    char hex[8];
    snprintf(hex, sizeof hex, "\\u00%02x", c);
    return hex;
  }
  return std::string(1, static_cast<char>(c));
}

// Every byte at every place of texts of several lengths, so that each one
// is met in the 16-byte and word-at-a-time scans, in the overlapping last
// piece and in the byte-wise tail.
TEST(RowJsonTest, EveryByteIsEscapedWhereverItStands) {
  for (const size_t length : {5, 8, 13, 19, 24, 37}) {
    for (int c = 0; c < 256; ++c) {
      for (size_t at = 0; at < length; ++at) {
        std::string text(length, 'a');
        text[at] = static_cast<char>(c);
        const std::string expected = "\"" + std::string(at, 'a') +
                                     Escaped(static_cast<unsigned char>(c)) +
                                     std::string(length - 1 - at, 'a') + "\"";
        ASSERT_EQ(Json(text), expected)
            << "byte " << c << " at " << at << " of " << length;
        // The same text at the start of a wider field, read in pieces
        // that reach past it.
        const std::string field = text + "zz\"\n\xff" + std::string(21, 'z');
        std::string out(JsonStringBound(length) + 16, '\0');
        out.resize(static_cast<size_t>(
            JsonWriteField(out.data(), field.data(), length, field.size()) -
            out.data()));
        ASSERT_EQ(out, expected)
            << "field: byte " << c << " at " << at << " of " << length;
      }
    }
  }
  // Valid UTF-8 is kept, also across the eight-byte steps; invalid forms
  // are escaped byte by byte.
  for (size_t at = 0; at < 12; ++at) {
    const std::string text =
        std::string(at, 'x') + "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80";
    EXPECT_EQ(Json(text), "\"" + text + "\"") << at;
  }
  EXPECT_EQ(Json("\xc0\xaf\xed\xa0\x80"),
            "\"\\u00c0\\u00af\\u00ed\\u00a0\\u0080\"");
  EXPECT_EQ(Json(""), "\"\"");
}

// The padding of a field is found from its end whatever the width and
// wherever its text ends, a blank or NUL inside the text kept.
TEST(RowJsonTest, UnpaddedLengthStopsAtTheLastTextByte) {
  for (int width = 0; width <= 70; ++width) {
    for (int text = 0; text <= width; ++text) {
      std::string field(static_cast<size_t>(width), ' ');
      for (int i = 0; i < text; ++i) {
        field[static_cast<size_t>(i)] =
            i % 3 == 1 ? ' ' : (i % 5 == 2 ? '\0' : 'x');
      }
      if (text > 0) {
        field[static_cast<size_t>(text - 1)] = '\xff';
      }
      for (int i = text; i < width; i += 2) {
        field[static_cast<size_t>(i)] = '\0';
      }
      ASSERT_EQ(UnpaddedLength(field.data(), width), text)
          << width << " " << text;
    }
  }
}

// Event times are converted with the start of their hour kept: every
// minute of days on which the offset changes (by an hour, and by half an
// hour at half past) comes out as mktime gives it.
TEST(RowJsonTest, EntryTimesMatchMktimeAcrossOffsetChanges) {
  const char* saved = getenv("TZ");
  const std::string old = saved != nullptr ? saved : "";
  for (const char* zone : {"Europe/Berlin", "Australia/Lord_Howe"}) {
    setenv("TZ", zone, 1);
    tzset();
    for (const char* day : {"1260329", "1261025", "1260405", "1261004"}) {
      for (int minute = 0; minute < 24 * 60; minute += 5) {
        char stamp[17];
        snprintf(stamp, sizeof stamp, "%s%02d%02d%02d000", day, minute / 60,
                 minute % 60, minute % 7);
        struct tm tm {};
        sscanf(stamp, "1%2d%2d%2d%2d%2d%2d", &tm.tm_year, &tm.tm_mon,
               &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
        tm.tm_year += 100;
        tm.tm_mon -= 1;
        tm.tm_isdst = -1;
        ASSERT_EQ(StampToRfc3339(stamp, 16), Rfc3339Local(mktime(&tm), -1))
            << zone << " " << stamp;
      }
    }
  }
  if (saved != nullptr) {
    setenv("TZ", old.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// An entry time keeps the milliseconds its source gave; a stamp without
// them (000) has no fraction.
TEST(RowJsonTest, EntryTimeKeepsItsMilliseconds) {
  struct tm tm {};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 8;
  tm.tm_hour = 2;
  tm.tm_min = 30;
  tm.tm_isdst = -1;
  const time_t when = mktime(&tm);
  EXPECT_EQ(StampToRfc3339("1261208023000155", 16), Rfc3339Local(when, 155));
  EXPECT_EQ(StampToRfc3339("1261208023000007", 16), Rfc3339Local(when, 7));
  EXPECT_EQ(StampToRfc3339("1261208023000000", 16), Rfc3339Local(when, -1));
  EXPECT_NE(Rfc3339Local(when, 155).find("02:30:00.155"), std::string::npos);
}

}  // namespace
