// Helpers shared by the parts of StringParser (construction and dump, scan
// directives, print directives, applying a command to a line). Only the
// parser's own .cc files include this header.
#ifndef QOR_PARSER_STRING_PARSER_INTERNAL_H_
#define QOR_PARSER_STRING_PARSER_INTERNAL_H_

#include <ctype.h>
#include <stddef.h>
#include <string.h>

#include "parser/string_parser.h"

namespace string_parser_internal {

// Traced wherever a format command ends too early.
inline constexpr char UnexpectedEndMsg[] =
    "\nError: format string ends inside a directive or before its closing quote.";

constexpr int SIZE_NONE = 0;
constexpr int SIZE_H = 20;
constexpr int SIZE_L = 30;
constexpr int SIZE_BIGL = 40;
constexpr int SIZE_LL = 50;

constexpr _DataType TYPE_STRING = 8;
constexpr _DataType TYPE_CHAR = 9;

// Characters of the text a time directive writes ("YYYY-MM-DD hh:mm:ss.mmm"),
// terminator included, with room to spare.
constexpr size_t STAMPTEXTSIZE = 32;

inline bool IsBlank(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}
inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

inline const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) {
    ++p;
  }
  return p;
}

// Reads the digits at `p` without overflowing: the value saturates once it is
// beyond any limit we check. Returns the number of digits read.
inline int ReadDigits(const char* p, long* value) {
  int n = 0;
  long v = 0;
  while (IsDigit(p[n])) {
    if (v < 100000) {
      v = v * 10 + (p[n] - '0');
    }
    ++n;
  }
  *value = v;
  return n;
}

// Default print directives indexed by data type; null marks an invalid type.
// clang-format off
inline const char* const DEFAULTS[] = {
    // 0 to 9: no size prefix
    nullptr, DEFAULT_INT, DEFAULT_UINTo, DEFAULT_UINTu, DEFAULT_UINTx,
    DEFAULT_FLOATe, DEFAULT_FLOATf, DEFAULT_FLOATg, DEFAULT_STRING, DEFAULT_CHAR,
    // 10 to 19: unused
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    // 20 to 29: h
    nullptr, DEFAULT_SHORT, DEFAULT_SHORTo, DEFAULT_SHORTu, DEFAULT_SHORTx,
    nullptr, nullptr, nullptr, nullptr, nullptr,
    // 30 to 39: l
    nullptr, DEFAULT_LONG, DEFAULT_LONGo, DEFAULT_LONGu, DEFAULT_LONGx,
    DEFAULT_DOUBLEe, DEFAULT_DOUBLEf, DEFAULT_DOUBLEg, nullptr, nullptr,
    // 40 to 49: L
    nullptr, DEFAULT_BIGLONG, DEFAULT_BIGLONGo, DEFAULT_BIGLONGu, DEFAULT_BIGLONGx,
    DEFAULT_LONGDOUBLEe, DEFAULT_LONGDOUBLEf, DEFAULT_LONGDOUBLEg, nullptr, nullptr,
    // 50 to 54: ll
    nullptr, DEFAULT_LONGLONG, DEFAULT_LONGLONGo, DEFAULT_LONGLONGu, DEFAULT_LONGLONGx,
};
// clang-format on
static_assert(sizeof DEFAULTS / sizeof DEFAULTS[0] == 55, "types 0 to 54");

// Default print directive of a valid type; null for any other value.
inline const char* DefaultDirective(_DataType type) {
  if (type < 0 ||
      type >= static_cast<_DataType>(sizeof DEFAULTS / sizeof DEFAULTS[0])) {
    return nullptr;
  }
  return DEFAULTS[type];
}

// Bytes of value storage for a valid non-string type; 0 for others.
inline size_t NumericStorage(_DataType type) {
  if (type == TYPE_STRING || DefaultDirective(type) == nullptr) {
    return 0;
  }
  if (type == TYPE_CHAR) {
    return 2;
  }
  switch (type / 10) {
    case 0:
      return type <= 4 ? sizeof(int) : sizeof(float);
    case 2:
      return sizeof(short);
    case 3:
      return type % 10 <= 4 ? sizeof(long) : sizeof(double);
    case 4:
      return type % 10 <= 4 ? sizeof(long long) : sizeof(long double);
    default:
      return sizeof(long long);
  }
}

// A malloc'd copy of the first `n` characters of `text`, terminated; null
// when memory is short (traced).
char* CopyText(const char* text, size_t n);

// Length of a scan text without its final %n.
inline int ShownLength(const char* scan) {
  if (scan == nullptr) {
    return 0;
  }
  const size_t n = strlen(scan);
  return static_cast<int>(n >= 2 ? n - 2 : 0);
}

}  // namespace string_parser_internal

#endif  // QOR_PARSER_STRING_PARSER_INTERNAL_H_
