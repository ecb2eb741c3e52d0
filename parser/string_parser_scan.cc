// Scan directives: compiling one directive of the scan format.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "framework/runtime/trace.h"
#include "parser/string_parser.h"
#include "parser/string_parser_internal.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "SP100");

using namespace string_parser_internal;

namespace {

const char AllocMsg[] =
    "\nMemory allocation failed for %d bytes; errno = %d; %s";
const char EscapeMsg[] = "\nInvalid escape sequence found : '%c%c'";
const char ColumnRangeMsg[] =
    "\nInvalid column position specified: %.*s; ZERO < column <= %d.";
const char ColumnSyntaxMsg[] =
    "\nInvalid column position syntax; expected '(column)'; found %s";
const char WidthMsg[] =
    "\nInvalid field width specified: %.*s; ZERO < width <= %d.";
const char ScanConvMsg[] =
    "\nInvalid convcode or receiving variable size specified for code %c. Directive is %.*s";
const char StorageTypeMsg[] =
    "\nInvalid datatype of %d computed; directive is %.*s";
const char TooLongMsg[] = "\nError: directive exceeds %d characters: %.*s";

}  // namespace

// ---------------------------------------------------------------------------
// Scan directives

const char* StringParser::spFormatNextDirective(const char* cursor) {
  WEX1_Event ev(wex1, __func__);
  _BuildArea ba;
  ba.Cursor = cursor;
  ba.Length = 0;
  ba.Text[0] = '\0';

  const int found = spFindDirective(&ba);
  if (found != 0) {
    return ba.Cursor;  // closing quote (status 0) or failure (status -1)
  }
  // The literal before the directive, its '%' excluded.
  const uint32_t literal = ba.Length - 1;
  if (*ba.Cursor == '(' && spExtractOffset(&ba) != 0) {
    return ba.Cursor;
  }
  if (*ba.Cursor == '\0') {
    WEX1_TRACE(wex1, WEX1_ERROR, UnexpectedEndMsg);
    return ba.Cursor;
  }
  if (*ba.Cursor == '*') {
    if (!spAppend(&ba, "*", 1)) {
      return ba.Cursor;
    }
    Suppressed = 1;
    ++ba.Cursor;
  }
  int width_position = static_cast<int>(ba.Length);
  if (IsDigit(*ba.Cursor)) {
    width_position = spExtractMaxFieldWidth(&ba);
    if (width_position < 0) {
      return ba.Cursor;
    }
  }
  const int size_code = spExtractVariableSize(&ba);
  if (size_code < 0) {
    return ba.Cursor;
  }
  DataType = size_code;
  if (spValidateScanConvcode(&ba) != 0) {
    return ba.Cursor;
  }
  if (ScanKind >= SCAN_STAMP) {
    // The library scan matches only the literal before the directive; the
    // conversion itself is the parser's own (spScanOwn).
    ba.Length = literal;
    ba.Text[literal] = '\0';
  }
  if (!spAppend(&ba, aNDIRECTIVE, 2)) {
    return ba.Cursor;
  }
  if (spAllocateVariableStorage(&ba, width_position) != 0) {
    return ba.Cursor;
  }
  ScanDirective = CopyText(ba.Text, ba.Length);
  if (ScanDirective == nullptr) {
    return ba.Cursor;
  }
  ObjectStatus = OBJECT_COMPILED;
  return ba.Cursor;  // on the last character of the directive
}

bool StringParser::spAppend(_BuildArea* ba, const char* text, uint32_t n) {
  if (ba->Length + n > MAXDIRECTIVESIZE) {
    WEX1_TRACE(wex1, WEX1_ERROR, TooLongMsg, static_cast<int>(MAXDIRECTIVESIZE),
               static_cast<int>(ba->Length), ba->Text);
    return false;
  }
  memcpy(ba->Text + ba->Length, text, n);
  ba->Length += n;
  ba->Text[ba->Length] = '\0';
  return true;
}

char StringParser::spConvertEscape(char c) {
  switch (c) {
    case '"':
      return '"';
    case '\'':
      return '\'';
    case '?':
      return '?';
    case '\\':
      return '\\';
    case 'a':
      return '\a';
    case 'b':
      return '\b';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'v':
      return '\v';
    default:
      return 0;
  }
}

// Copies literal text from the character after the cursor. Returns 0 with the
// cursor after a '%' that starts a directive (the '%' copied), 1 with the
// cursor on the closing quote (not copied), -1 on failure (traced).
int StringParser::spCollectLiteral(_BuildArea* ba) {
  ++ba->Cursor;
  while (true) {
    const char c = *ba->Cursor;
    if (c == '\0') {
      WEX1_TRACE(wex1, WEX1_ERROR, UnexpectedEndMsg);
      return -1;
    }
    if (c == '"') {
      return 1;
    }
    if (c == '\\') {
      const char e = ba->Cursor[1];
      if (e == '\0') {
        WEX1_TRACE(wex1, WEX1_ERROR, UnexpectedEndMsg);
        return -1;
      }
      const char converted = spConvertEscape(e);
      if (converted == 0) {
        WEX1_TRACE(wex1, WEX1_ERROR, EscapeMsg, '\\', e);
        return -1;
      }
      if (!spAppend(ba, &converted, 1)) {
        return -1;
      }
      ba->Cursor += 2;
      continue;
    }
    if (c == '%') {
      if (ba->Cursor[1] == '%') {
        if (!spAppend(ba, "%%", 2)) {
          return -1;
        }
        ba->Cursor += 2;
        continue;
      }
      if (ba->Cursor[1] == '\0') {
        WEX1_TRACE(wex1, WEX1_ERROR, UnexpectedEndMsg);
        return -1;
      }
      if (!spAppend(ba, "%", 1)) {
        return -1;
      }
      ++ba->Cursor;
      return 0;
    }
    if (!spAppend(ba, &c, 1)) {
      return -1;
    }
    ++ba->Cursor;
  }
}

int StringParser::spFindDirective(_BuildArea* ba) {
  WEX1_Event ev(wex1, __func__);
  const int rc = spCollectLiteral(ba);
  if (rc == 1) {
    ObjectStatus = OBJECT_END;
  }
  return static_cast<int>(ev.Result(rc));
}

// Reads "(N)" at the cursor as the pattern "%d)%n" would after the '('.
int StringParser::spExtractOffset(_BuildArea* ba) {
  WEX1_Event ev(wex1, __func__);
  const char* open = ba->Cursor;
  const char* p = open + 1;
  while (IsBlank(*p)) {
    ++p;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  long value = 0;
  const int digits = ReadDigits(p, &value);
  p += digits;
  if (digits == 0 || *p != ')') {
    WEX1_TRACE(wex1, WEX1_ERROR, ColumnSyntaxMsg, open);
    return static_cast<int>(ev.Result(-1));
  }
  ++p;
  const int consumed = static_cast<int>(p - (open + 1));
  if (negative || digits > MAXFIELDSIZECHARS || value < 1 ||
      value > static_cast<long>(MAXFIELDSIZE)) {
    WEX1_TRACE(wex1, WEX1_ERROR, ColumnRangeMsg, consumed, open + 1,
               static_cast<int>(MAXFIELDSIZE));
    return static_cast<int>(ev.Result(-1));
  }
  Offset = static_cast<uint32_t>(value - 1);
  ba->Cursor = p;
  return static_cast<int>(ev.Result(0));
}

int StringParser::spExtractMaxFieldWidth(_BuildArea* ba) {
  WEX1_Event ev(wex1, __func__);
  while (*ba->Cursor == '0') {
    ++ba->Cursor;  // leading zeros are not part of the width
  }
  const int position = static_cast<int>(ba->Length);
  if (!IsDigit(*ba->Cursor)) {
    return static_cast<int>(ev.Result(position));  // only zeros: no width
  }
  long value = 0;
  const int digits = ReadDigits(ba->Cursor, &value);
  if (digits > MAXFIELDSIZECHARS || value < 1 ||
      value > static_cast<long>(MAXFIELDSIZE)) {
    WEX1_TRACE(wex1, WEX1_ERROR, WidthMsg, digits, ba->Cursor,
               static_cast<int>(MAXFIELDSIZE));
    return static_cast<int>(ev.Result(-1));
  }
  if (!spAppend(ba, ba->Cursor, static_cast<uint32_t>(digits))) {
    return static_cast<int>(ev.Result(-1));
  }
  ba->Cursor += digits;
  MaxFieldSize = static_cast<uint32_t>(value);
  return static_cast<int>(ev.Result(position));
}

// Copies the size prefix and the conversion code; leaves the cursor on the
// conversion code. Returns the size code, or -1.
int StringParser::spExtractVariableSize(_BuildArea* ba) {
  WEX1_Event ev(wex1, __func__);
  int size = SIZE_NONE;
  const char first = *ba->Cursor;
  if (first == 'h') {
    size = SIZE_H;
  } else if (first == 'L') {
    size = SIZE_BIGL;
  } else if (first == 'l') {
    size = ba->Cursor[1] == 'l' ? SIZE_LL : SIZE_L;
  }
  const int prefix = size == SIZE_NONE ? 0 : (size == SIZE_LL ? 2 : 1);
  // The prefix and the conversion code must both be there.
  for (int i = 0; i <= prefix; ++i) {
    if (ba->Cursor[i] == '\0') {
      WEX1_TRACE(wex1, WEX1_ERROR, UnexpectedEndMsg);
      return static_cast<int>(ev.Result(-1));
    }
  }
  if (!spAppend(ba, ba->Cursor, static_cast<uint32_t>(prefix + 1))) {
    return static_cast<int>(ev.Result(-1));
  }
  ba->Cursor += prefix;
  return static_cast<int>(ev.Result(size));
}

int StringParser::spValidateScanConvcode(_BuildArea* ba) {
  WEX1_Event ev(wex1, __func__);
  const char code = *ba->Cursor;
  const int size = DataType;
  bool valid = true;
  switch (code) {
    case 'd':
    case 'i':
      DataType += 1;
      break;
    case 'o':
      DataType += 2;
      break;
    case 'u':
      DataType += 3;
      break;
    case 'x':
      DataType += 4;
      break;
    case 'e':
    case 'f':
    case 'g':
      valid = size == SIZE_NONE || size == SIZE_L || size == SIZE_BIGL;
      DataType += code == 'e' ? 5 : (code == 'f' ? 6 : 7);
      break;
    case 's':
    case '[':
      valid = size == SIZE_NONE;
      DataType = TYPE_STRING;
      break;
    case 'c':
      valid = size == SIZE_NONE;
      DataType = MaxFieldSize >= 2 ? TYPE_STRING : TYPE_CHAR;
      if (DataType == TYPE_STRING) {
        ScanKind = SCAN_C_TEXT;
      }
      break;
    case 'T':
    case 'E':
    case 'Q':
      // A time stamp has its own length.
      valid = size == SIZE_NONE && MaxFieldSize == 0;
      DataType = TYPE_STRING;
      ScanKind =
          code == 'T' ? SCAN_STAMP : (code == 'E' ? SCAN_EPOCH : SCAN_EPOCH_MS);
      break;
    case 'r':
      valid = size == SIZE_NONE;
      DataType = TYPE_STRING;
      ScanKind = SCAN_UPTO;
      break;
    case '{':
    case '}':
      // The bounds of an optional part read nothing and name no field.
      valid =
          size == SIZE_NONE && MaxFieldSize == 0 && Offset == 0 && !Suppressed;
      DataType = TYPE_STRING;
      ScanKind = code == '{' ? SCAN_OPTIONAL : SCAN_OPTIONAL_END;
      Suppressed = 1;
      break;
    default:
      valid = false;
      break;
  }
  if (valid && code == '[') {
    // Scan set: a ']' first (or first after '^') is a member; it ends at the
    // next ']'. Escapes are converted; a bare double quote would end the
    // format.
    ++ba->Cursor;
    if (*ba->Cursor == '^') {
      if (!spAppend(ba, "^", 1)) {
        return static_cast<int>(ev.Result(-1));
      }
      ++ba->Cursor;
    }
    bool first = true;
    while (first || *ba->Cursor != ']') {
      char c = *ba->Cursor;
      first = false;
      if (c == '\0') {
        WEX1_TRACE(wex1, WEX1_ERROR, UnexpectedEndMsg);
        return static_cast<int>(ev.Result(-1));
      }
      if (c == '"') {
        WEX1_TRACE(wex1, WEX1_ERROR, ScanConvMsg, code,
                   static_cast<int>(ba->Length), ba->Text);
        return static_cast<int>(ev.Result(-1));
      }
      if (c == '\\') {
        const char e = ba->Cursor[1];
        c = spConvertEscape(e);
        if (c == 0) {
          if (e == '\0') {
            WEX1_TRACE(wex1, WEX1_ERROR, UnexpectedEndMsg);
          } else {
            WEX1_TRACE(wex1, WEX1_ERROR, EscapeMsg, '\\', e);
          }
          return static_cast<int>(ev.Result(-1));
        }
        ++ba->Cursor;
      }
      if (!spAppend(ba, &c, 1)) {
        return static_cast<int>(ev.Result(-1));
      }
      ++ba->Cursor;
    }
    if (!spAppend(ba, "]", 1)) {
      return static_cast<int>(ev.Result(-1));
    }
  }
  if (!valid) {
    WEX1_TRACE(wex1, WEX1_ERROR, ScanConvMsg, code,
               static_cast<int>(ba->Length), ba->Text);
    return static_cast<int>(ev.Result(-1));
  }
  return static_cast<int>(ev.Result(0));
}

int StringParser::spAllocateVariableStorage(_BuildArea* ba,
                                            int width_position) {
  WEX1_Event ev(wex1, __func__);
  const char code = *ba->Cursor;
  if (ScanKind == SCAN_OPTIONAL || ScanKind == SCAN_OPTIONAL_END) {
    return static_cast<int>(ev.Result(0));  // no value
  }
  if (ScanKind >= SCAN_STAMP) {
    if (ScanKind == SCAN_UPTO && MaxFieldSize == 0) {
      MaxFieldSize = DEFAULTSTRINGWIDTH;
    }
  } else if (DataType == TYPE_STRING && MaxFieldSize == 0) {
    // %s and %[ get a width, so that the scan can never overrun the value;
    // it is that of the longest line, so the field takes its whole token.
    char width[MAXFIELDSIZECHARS + 2];
    const uint32_t n = static_cast<uint32_t>(
        snprintf(width, sizeof width, "%u", DEFAULTSTRINGWIDTH));
    if (ba->Length + n > MAXDIRECTIVESIZE) {
      WEX1_TRACE(wex1, WEX1_ERROR, TooLongMsg,
                 static_cast<int>(MAXDIRECTIVESIZE),
                 static_cast<int>(ba->Length), ba->Text);
      return static_cast<int>(ev.Result(-1));
    }
    memmove(ba->Text + width_position + n, ba->Text + width_position,
            ba->Length - static_cast<uint32_t>(width_position) + 1);
    memcpy(ba->Text + width_position, width, n);
    ba->Length += n;
    MaxFieldSize = DEFAULTSTRINGWIDTH;
  } else if (code == 'c' && MaxFieldSize == 0 && !Suppressed) {
    MaxFieldSize = 1;
  }
  size_t size = 0;
  if (ScanKind >= SCAN_STAMP && ScanKind != SCAN_UPTO) {
    size = STAMPTEXTSIZE;
  } else if (DataType == TYPE_STRING) {
    size = MaxFieldSize + 1;
  } else {
    size = NumericStorage(DataType);
    if (size == 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, StorageTypeMsg, DataType,
                 static_cast<int>(ba->Length), ba->Text);
      return static_cast<int>(ev.Result(-1));
    }
  }
  if (Suppressed) {
    return static_cast<int>(ev.Result(0));
  }
  Value = calloc(1, size);
  if (Value == nullptr) {
    const int err = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, AllocMsg, static_cast<int>(size), err,
               err != 0 ? strerror(err) : "Unknown error");
    return static_cast<int>(ev.Result(-1));
  }
  // calloc has cleared the first and last characters of a text.
  return static_cast<int>(ev.Result(0));
}

char* string_parser_internal::CopyText(const char* text, size_t n) {
  char* copy = static_cast<char*>(malloc(n + 1));
  if (copy == nullptr) {
    const int err = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, AllocMsg, static_cast<int>(n + 1), err,
               err != 0 ? strerror(err) : "Unknown error");
    return nullptr;
  }
  memcpy(copy, text, n);
  copy[n] = '\0';
  return copy;
}