#include "framework/row_json.h"

#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

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

// Every byte at every place of a text longer than two words, so that each
// one is met both in the word-at-a-time scan and in the byte-wise tail.
TEST(RowJsonTest, EveryByteIsEscapedWhereverItStands) {
  for (int c = 0; c < 256; ++c) {
    for (size_t at = 0; at < 19; ++at) {
      std::string text(19, 'a');
      text[at] = static_cast<char>(c);
      const std::string expected = "\"" + std::string(at, 'a') +
                                   Escaped(static_cast<unsigned char>(c)) +
                                   std::string(18 - at, 'a') + "\"";
      ASSERT_EQ(Json(text), expected) << "byte " << c << " at " << at;
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

}  // namespace
