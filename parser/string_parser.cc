#include "parser/string_parser.h"

#include <ctype.h>
#include <errno.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "framework/wex1.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "SP100");

// The value storage sizes are those the scan and print calls are given: %Ld
// and %lld both take a long long in the C library we build against.
static_assert(sizeof(int) == 4 && sizeof(float) == 4 && sizeof(short) == 2,
              "4-byte int and float, 2-byte short expected");
static_assert(sizeof(long) == 8 && sizeof(long long) == 8 &&
                  sizeof(double) == 8,
              "8-byte long, long long and double expected");

namespace {

// Scan patterns.
const char OPENINGPATTERN[] = " %*1[Aa] , \"%n";
const char CLOSINGPATTERN[] = "\" , %n";
const char PRINTOPENPATTERN[] = "= \"%n";

// Compile-time messages.
const char OpeningMsg[] =
    "\nScan for start of format specifier failed; looking for \"%s\" but found:\n%s";
const char ObjectAllocMsg[] = "\nMemory allocation for %d bytes failed.";
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
const char InvalidTypeMsg[] = "\nInvalid datatype of %d encountered.";
const char UnexpectedEndMsg[] =
    "\nError: format string ends inside a directive or before its closing quote.";
const char NoDirectiveMsg[] =
    "\nError: format string contains no scan directive.";
const char TooLongMsg[] = "\nError: directive exceeds %d characters: %.*s";
const char ClosingMsg[] =
    "\nError found in format command; expected \"%s\", found \"%s\". ";
const char EmptyTableMsg[] = "\nInternal error: valid keyword table is empty.";
const char MissingKeywordMsg[] =
    "\nInternal error: entry #%d in keyword table is invalid; keyword is missing.";
const char MinLengthMsg[] =
    "\nInternal error: entry #%d in keyword table is invalid; minimum field size, %d, exceeds length of keyword, %d.";
const char TooManyKeywordsMsg[] =
    "\nInternal error: number of entries in keyword table exceeds maximum of %d.";
const char KeywordEntryMsg[] = "\nKeyword table entry #%d is (%.*s)%s.";
const char DirectiveErrorMsg[] =
    "\nError while processing directive #%d; %.*s.";
const char ExtraneousMsg[] =
    "\nError: extraneous data included in format specifier; %s ";
const char NameEndMsg[] =
    "\nError: unexpected end of format string while looking for field name.";
const char InvalidNameMsg[] =
    "\nError: Invalid field name specified in format string \"%s\".";
const char NoDefaultMsg[] = "\nScan directive is \"%.*s\"";
const char PrintOpenMsg[] =
    "\nError in print directive for field %s. Expected \"%.*s\"; found \"%s\"";
const char MinWidthMsg[] =
    "\nInvalid minimum field width specified: %.*s; ZERO < min width <= %d.";
const char PrecisionMsg[] =
    "\nInvalid precision specified for field %s: %s; ZERO <= precision <= %d.";
const char PrintConvMsg[] =
    "\nInvalid convcode or variable size specified in print directive for field %s. Directive is %.*s";
const char PrintTypeMsg[] =
    "\nInvalid datatype of %d computed from directive for field %s. Directive is %.*s";
const char IncompatibleMsg[] =
    "\nScan and print data types are not compatible for field %s. Scan type is %s; print type is %s.";
const char MultipleMsg[] =
    "\nError: multiple format specifiers found in print directive for field %s.";
const char DestroyedMsg[] = "\n%s object destroyed.";

// Print option warnings (flow level) and the separator line (detail level).
const char OptionNotValidMsg[] =
    "\nWarning: option '%c' is not valid for field %s of type %s; option ignored.";
const char PlusOverridesBlankMsg[] =
    "\nWarning: option '+' overrides option ' ' in print directive for field %s.";
const char MinusOverridesZeroMsg[] =
    "\nWarning: option '-' (left justification) overrides option '0' in print directive for field %s.";
const char ThousandsMsg[] =
    "\nThousands separator of the current locale is '%.1s'.";

// Line scanning and formatting messages.
const char OffsetMsg[] =
    "\nError: offset of %d for column '%s' exceeds string length of %d. Scan terminated.";
const char EndOfInputMsg[] =
    "\nError: end of input found while scanning for variable #%d; %s. Looking for %.*s. Scan terminated.";
const char ScanFailedMsg[] =
    "\nError: scan failed for variable #%d; %s. Looking for %.*s; found %s. Scan terminated.";
const char UnknownTypeMsg[] =
    "\nError: formatting failed for field %s; unknown datatype: %d";
const char PrintFailedMsg[] = "\nError: print failed for field %s.";

const char SelfFormat[] =
    "\n\tFieldName\t\t= %s\n\tthis\t\t\t= %p\n\tPrintIndex\t\t= %ld\n\tScanOrder\t\t= %p"
    "\n\tOffset\t\t\t= %d\n\tMaxFieldSize\t\t= %d\n\tMinFieldSize\t\t= %d\n\tPrecision\t\t= %d"
    "\n\tScanDirective\t\t= \"%.*s\"\n\tPrintDirective\t\t= \"%s\"\n\tDataType\t\t= %d"
    "\n\tValue\t\t\t= %p\n\tSuppressed\t\t= %d\n\tObjectStatus\t\t= %d\n";

// Print option bits, as returned by spValidatePrintOptions.
constexpr int OPT_PLUS = 0x01;
constexpr int OPT_BLANK = 0x02;
constexpr int OPT_HASH = 0x04;
constexpr int OPT_QUOTE = 0x08;
constexpr int OPT_MINUS = 0x10;
constexpr int OPT_ZERO = 0x20;

constexpr int SIZE_NONE = 0;
constexpr int SIZE_H = 20;
constexpr int SIZE_L = 30;
constexpr int SIZE_BIGL = 40;
constexpr int SIZE_LL = 50;

constexpr _DataType TYPE_STRING = 8;
constexpr _DataType TYPE_CHAR = 9;

bool IsBlank(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) {
    ++p;
  }
  return p;
}

// Reads the digits at `p` without overflowing: the value saturates once it is
// beyond any limit we check. Returns the number of digits read.
int ReadDigits(const char* p, long* value) {
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

// Groups of the data type table: a print type must fall in the scan type's.
_DataType TypeGroup(_DataType t) {
  if (t == TYPE_STRING || t == TYPE_CHAR) {
    return t;
  }
  return (t / 10) * 10 + (t % 10 <= 4 ? 1 : 5);
}

bool IsOneOf(_DataType t, const _DataType* types, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (types[i] == t) {
      return true;
    }
  }
  return false;
}

// The signed numeric types: where '+' and blank make sense.
bool AllowsSign(_DataType t) {
  static const _DataType kTypes[] = {1,  5,  6,  7,  21, 31, 35,
                                     36, 37, 41, 45, 46, 47, 51};
  return IsOneOf(t, kTypes, sizeof kTypes / sizeof kTypes[0]);
}

// The types for which the C library groups thousands.
bool AllowsGrouping(_DataType t) {
  static const _DataType kTypes[] = {1,  3,  6,  7,  21, 23, 31, 33,
                                     36, 37, 41, 43, 46, 47, 51, 53};
  return IsOneOf(t, kTypes, sizeof kTypes / sizeof kTypes[0]);
}

// Default print directives indexed by data type; null marks an invalid type.
// clang-format off
const char* const DEFAULTS[] = {
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
const char* DefaultDirective(_DataType type) {
  if (type < 0 ||
      type >= static_cast<_DataType>(sizeof DEFAULTS / sizeof DEFAULTS[0])) {
    return nullptr;
  }
  return DEFAULTS[type];
}

// Bytes of value storage for a valid non-string type; 0 for others.
size_t NumericStorage(_DataType type) {
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

char* CopyText(const char* text, size_t n) {
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

// Length of a scan text without its final %n.
int ShownLength(const char* scan) {
  if (scan == nullptr) {
    return 0;
  }
  const size_t n = strlen(scan);
  return static_cast<int>(n >= 2 ? n - 2 : 0);
}

// Runs one compiled scan text; the pointer type matches the conversion that
// the parser put into `format`.
int ScanOne(const char* text, const char* format, _DataType type, void* value,
            int* consumed) {
  if (value == nullptr) {
    return sscanf(text, format, consumed);
  }
  switch (type) {
    case 1:
      return sscanf(text, format, static_cast<int*>(value), consumed);
    case 2:
    case 3:
    case 4:
      return sscanf(text, format, static_cast<unsigned*>(value), consumed);
    case 5:
    case 6:
    case 7:
      return sscanf(text, format, static_cast<float*>(value), consumed);
    case 8:
    case 9:
      return sscanf(text, format, static_cast<char*>(value), consumed);
    case 21:
      return sscanf(text, format, static_cast<short*>(value), consumed);
    case 22:
    case 23:
    case 24:
      return sscanf(text, format, static_cast<unsigned short*>(value),
                    consumed);
    case 31:
      return sscanf(text, format, static_cast<long*>(value), consumed);
    case 32:
    case 33:
    case 34:
      return sscanf(text, format, static_cast<unsigned long*>(value), consumed);
    case 35:
    case 36:
    case 37:
      return sscanf(text, format, static_cast<double*>(value), consumed);
    case 41:
    case 51:
      return sscanf(text, format, static_cast<long long*>(value), consumed);
    case 42:
    case 43:
    case 44:
    case 52:
    case 53:
    case 54:
      return sscanf(text, format, static_cast<unsigned long long*>(value),
                    consumed);
    case 45:
    case 46:
    case 47:
      return sscanf(text, format, static_cast<long double*>(value), consumed);
    default:
      return EOF;
  }
}

// Formats one value into `out` (bounded). Returns snprintf's result, or
// false in *known when the type has no argument form.
int PrintOne(char* out, size_t size, const char* format, _DataType type,
             const void* value, bool* known) {
  *known = true;
  switch (type) {
    case 1:
      return snprintf(out, size, format, *static_cast<const int*>(value));
    case 2:
    case 3:
    case 4:
      return snprintf(out, size, format, *static_cast<const unsigned*>(value));
    case 5:
    case 6:
    case 7:
      return snprintf(out, size, format,
                      static_cast<double>(*static_cast<const float*>(value)));
    case 8:
      return snprintf(out, size, format, static_cast<const char*>(value));
    case 9:
      return snprintf(out, size, format,
                      static_cast<int>(*static_cast<const char*>(value)));
    case 21:
      return snprintf(out, size, format,
                      static_cast<int>(*static_cast<const short*>(value)));
    case 22:
    case 23:
    case 24:
      return snprintf(
          out, size, format,
          static_cast<int>(*static_cast<const unsigned short*>(value)));
    case 31:
      return snprintf(out, size, format, *static_cast<const long*>(value));
    case 32:
    case 33:
    case 34:
      return snprintf(out, size, format,
                      *static_cast<const unsigned long*>(value));
    case 35:
    case 36:
    case 37:
      return snprintf(out, size, format, *static_cast<const double*>(value));
    case 41:
    case 51:
      return snprintf(out, size, format, *static_cast<const long long*>(value));
    case 42:
    case 43:
    case 44:
    case 52:
    case 53:
    case 54:
      return snprintf(out, size, format,
                      *static_cast<const unsigned long long*>(value));
    case 45:
    case 46:
    case 47:
      return snprintf(out, size, format,
                      *static_cast<const long double*>(value));
    default:
      *known = false;
      return 0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

StringParser::StringParser(const char* format, const _KeywordFields* keywords) {
  WEX1_Event ev(wex1, __func__);
  spInitThis();
  snprintf(FieldName, sizeof FieldName, "%s", "ANCHOR");
  if (format == nullptr) {
    format = "";
  }
  int consumed = 0;
  sscanf(format, OPENINGPATTERN, &consumed);
  if (consumed == 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, OpeningMsg, OPENINGPATTERN, format);
    return;
  }
  // The cursor stands on the opening double quote.
  if (spLearnLogFormat(format + consumed - 1, keywords) == OBJECT_LEARNED &&
      WEX1_On(wex1, WEX1_FLOW)) {
    spPrintChain();
  }
}

StringParser::StringParser(const char** cursor) {
  WEX1_Event ev(wex1, __func__);
  spInitThis();
  *cursor = spFormatNextDirective(*cursor);
}

StringParser::~StringParser() {
  // The chain is released one object at a time, so that a long format
  // command cannot exhaust the stack through nested destructors.
  StringParser* next = ScanOrder;
  ScanOrder = nullptr;
  while (next != nullptr) {
    StringParser* after = next->ScanOrder;
    next->ScanOrder = nullptr;
    delete next;
    next = after;
  }
  free(ScanDirective);
  free(PrintDirective);
  free(Value);
  if (FieldName[0] != '\0') {
    WEX1_TRACE(wex1, WEX1_DETAIL, DestroyedMsg, FieldName);
  }
}

void StringParser::spInitThis() {
  FieldName[0] = '\0';
  PrintIndex = -1;
  ScanOrder = nullptr;
  Offset = 0;
  MaxFieldSize = 0;
  MinFieldSize = 0;
  Precision = 0;
  ScanDirective = nullptr;
  PrintDirective = nullptr;
  DataType = 0;
  Value = nullptr;
  Suppressed = 0;
  ObjectStatus = OBJECT_INVALID;
}

_ObjectStatus StringParser::spLearnLogFormat(const char* format,
                                             const _KeywordFields* keywords) {
  WEX1_Event ev(wex1, __func__);
  const char* cursor = format;
  StringParser* first = new (std::nothrow) StringParser(&cursor);
  if (first == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, ObjectAllocMsg,
               static_cast<int>(sizeof(StringParser)));
    return static_cast<_ObjectStatus>(ev.Result(ObjectStatus));
  }
  ScanOrder = first;
  // Each directive object compiles one directive; its successor is built from
  // the advanced cursor until one meets the closing quote. Building in a loop
  // (not from each constructor) keeps the stack flat for long commands.
  StringParser* last = first;
  while (last->ObjectStatus == OBJECT_COMPILED) {
    StringParser* next = new (std::nothrow) StringParser(&cursor);
    if (next == nullptr) {
      WEX1_TRACE(wex1, WEX1_ERROR, ObjectAllocMsg,
                 static_cast<int>(sizeof(StringParser)));
      first->ObjectStatus = OBJECT_INVALID;
      break;
    }
    if (next->ObjectStatus == OBJECT_COMPILED) {
      last->ScanOrder = next;
      last = next;
      continue;
    }
    if (next->ObjectStatus != OBJECT_END) {
      first->ObjectStatus =
          OBJECT_INVALID;  // a failure anywhere collapses the chain
    }
    delete next;
    break;
  }
  if (first->ObjectStatus != OBJECT_COMPILED) {
    if (first->ObjectStatus == OBJECT_END) {
      WEX1_TRACE(wex1, WEX1_ERROR, NoDirectiveMsg);
    }
    delete first;
    ScanOrder = nullptr;
    return static_cast<_ObjectStatus>(ev.Result(ObjectStatus));
  }
  // The cursor now stands on the closing quote.
  if (spParseFieldNames(cursor, keywords) < 1) {
    delete ScanOrder;
    ScanOrder = nullptr;
  } else {
    ObjectStatus = OBJECT_LEARNED;
  }
  return static_cast<_ObjectStatus>(ev.Result(ObjectStatus));
}

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
  if (DataType == TYPE_STRING && MaxFieldSize == 0) {
    // %s and %[ get a width, so that the scan can never overrun the value.
    static const char kWidth[] = "31";
    if (ba->Length + 2 > MAXDIRECTIVESIZE) {
      WEX1_TRACE(wex1, WEX1_ERROR, TooLongMsg,
                 static_cast<int>(MAXDIRECTIVESIZE),
                 static_cast<int>(ba->Length), ba->Text);
      return static_cast<int>(ev.Result(-1));
    }
    memmove(ba->Text + width_position + 2, ba->Text + width_position,
            ba->Length - static_cast<uint32_t>(width_position) + 1);
    memcpy(ba->Text + width_position, kWidth, 2);
    ba->Length += 2;
    MaxFieldSize = DEFAULTSTRINGWIDTH;
  } else if (code == 'c' && MaxFieldSize == 0 && !Suppressed) {
    MaxFieldSize = 1;
  }
  size_t size = 0;
  if (DataType == TYPE_STRING) {
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

// ---------------------------------------------------------------------------
// Field names and print directives

bool StringParser::spValidateKeywordTable(
    const _KeywordFields* keywords) const {
  WEX1_Event ev(wex1, __func__);
  int i = 0;
  for (; keywords != nullptr && keywords[i].MinLength != 0; ++i) {
    if (i >= MAXKEYWORDS) {
      WEX1_TRACE(wex1, WEX1_ERROR, TooManyKeywordsMsg, MAXKEYWORDS);
      return ev.Result(false) != 0;
    }
    const char* keyword = keywords[i].Keyword;
    if (keyword == nullptr || keyword[0] == '\0') {
      WEX1_TRACE(wex1, WEX1_ERROR, MissingKeywordMsg, i + 1);
      return ev.Result(false) != 0;
    }
    const size_t length = strlen(keyword);
    if (keywords[i].MinLength > length) {
      WEX1_TRACE(wex1, WEX1_ERROR, MinLengthMsg, i + 1,
                 static_cast<int>(keywords[i].MinLength),
                 static_cast<int>(length));
      return ev.Result(false) != 0;
    }
    WEX1_TRACE(wex1, WEX1_DETAIL, KeywordEntryMsg, i + 1,
               static_cast<int>(keywords[i].MinLength), keyword,
               keyword + keywords[i].MinLength);
  }
  if (i == 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, EmptyTableMsg);
    return ev.Result(false) != 0;
  }
  return ev.Result(true) != 0;
}

int StringParser::spParseFieldNames(const char* cursor,
                                    const _KeywordFields* keywords) {
  WEX1_Event ev(wex1, __func__);
  int consumed = 0;
  sscanf(cursor, CLOSINGPATTERN, &consumed);
  if (consumed == 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, ClosingMsg, CLOSINGPATTERN, cursor);
    return static_cast<int>(ev.Result(0));
  }
  if (!spValidateKeywordTable(keywords)) {
    return static_cast<int>(ev.Result(0));
  }
  const char* p = cursor + consumed;
  int count = 0;
  for (StringParser* d = ScanOrder; d != nullptr; d = d->ScanOrder) {
    const char* next = d->spGetFieldName(p, keywords);
    if (next == nullptr) {
      WEX1_TRACE(wex1, WEX1_ERROR, DirectiveErrorMsg, count + 1,
                 ShownLength(d->ScanDirective), d->ScanDirective);
      d->ObjectStatus = OBJECT_INVALID;
      return static_cast<int>(ev.Result(-1));
    }
    p = next;
    ++count;
  }
  p = SkipBlanks(p);
  if (count > 0 && *p != '\0') {
    WEX1_TRACE(wex1, WEX1_ERROR, ExtraneousMsg, p);
    return static_cast<int>(ev.Result(-1));
  }
  return static_cast<int>(ev.Result(count));
}

const char* StringParser::spGetFieldName(const char* cursor,
                                         const _KeywordFields* keywords) {
  WEX1_Event ev(wex1, __func__);
  if (Suppressed) {
    snprintf(FieldName, sizeof FieldName, "%s", "*");
    return cursor;
  }
  if (*cursor == '\0') {
    WEX1_TRACE(wex1, WEX1_ERROR, NameEndMsg);
    return nullptr;
  }
  for (int i = 0; keywords[i].MinLength != 0; ++i) {
    const char* keyword = keywords[i].Keyword;
    const size_t min = keywords[i].MinLength;
    if (strncmp(cursor, keyword, min) != 0) {
      continue;
    }
    // Every further character of the name must continue the keyword.
    size_t j = min;
    while (cursor[j] != '\0' && !IsBlank(cursor[j]) && cursor[j] != '=' &&
           cursor[j] == keyword[j]) {
      ++j;
    }
    if (cursor[j] != '\0' && !IsBlank(cursor[j]) && cursor[j] != '=') {
      continue;
    }
    snprintf(FieldName, sizeof FieldName, "%s", keyword);
    PrintIndex = i;
    return spGetPrintDirective(cursor + j);
  }
  WEX1_TRACE(wex1, WEX1_ERROR, InvalidNameMsg, cursor);
  return nullptr;
}

const char* StringParser::spGetPrintDirective(const char* cursor) {
  WEX1_Event ev(wex1, __func__);
  _BuildArea ba;
  ba.Length = 0;
  ba.Text[0] = '\0';
  const char* p = SkipBlanks(cursor);
  if (*p != '=') {
    ba.Cursor = p;
    if (spDefaultPrintDirective(&ba) != 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, NoDefaultMsg, ShownLength(ScanDirective),
                 ScanDirective);
      return nullptr;
    }
  } else {
    int consumed = 0;
    sscanf(p, PRINTOPENPATTERN, &consumed);
    if (consumed == 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, PrintOpenMsg, FieldName, 3, PRINTOPENPATTERN,
                 p);
      return nullptr;
    }
    ba.Cursor = p + consumed - 1;  // on the opening quote
    int rc = spCollectLiteral(&ba);
    if (rc == 0) {
      if (spValidatePrintDirective(&ba) != 0) {
        return nullptr;
      }
      rc = spCollectLiteral(&ba);
      if (rc == 0) {
        WEX1_TRACE(wex1, WEX1_ERROR, MultipleMsg, FieldName);
        return nullptr;
      }
    }
    if (rc < 0) {
      return nullptr;
    }
    p = SkipBlanks(ba.Cursor + 1);  // past the closing quote
  }
  // A field whose print directive cannot be stored fails the command, so
  // that no field is ever printed without one.
  PrintDirective = CopyText(ba.Text, ba.Length);
  if (PrintDirective == nullptr) {
    return nullptr;
  }
  return p;
}

int StringParser::spDefaultPrintDirective(_BuildArea* ba) {
  WEX1_Event ev(wex1, __func__);
  const char* text = spConvertType2Char(DataType);
  if (text[0] == '\0') {
    return static_cast<int>(ev.Result(-1));
  }
  ba->Length = 0;
  ba->Text[0] = '\0';
  return static_cast<int>(ev.Result(
      spAppend(ba, text, static_cast<uint32_t>(strlen(text))) ? 0 : -1));
}

int StringParser::spValidatePrintDirective(_BuildArea* ba) {
  WEX1_Event ev(wex1, __func__);
  if (spValidatePrintOptions(ba) < 0) {
    return static_cast<int>(ev.Result(-1));
  }
  if (IsDigit(*ba->Cursor) && spExtractMinFieldWidth(ba) != 0) {
    return static_cast<int>(ev.Result(-1));
  }
  if (*ba->Cursor == '.' && spExtractPrecision(ba) != 0) {
    return static_cast<int>(ev.Result(-1));
  }
  const int size = spExtractVariableSize(ba);
  if (size < 0) {
    return static_cast<int>(ev.Result(-1));
  }
  return static_cast<int>(ev.Result(spValidatePrintConvcode(ba, size)));
}

int StringParser::spValidatePrintOptions(_BuildArea* ba) {
  WEX1_Event ev(wex1, __func__);
  int seen = 0;
  while (true) {
    const char c = *ba->Cursor;
    if (c == '\0') {
      WEX1_TRACE(wex1, WEX1_ERROR, UnexpectedEndMsg);
      return static_cast<int>(ev.Result(-1));
    }
    int bit = 0;
    bool allowed = true;
    switch (c) {
      case '+':
        bit = OPT_PLUS;
        allowed = AllowsSign(DataType);
        break;
      case ' ':
        bit = OPT_BLANK;
        allowed = AllowsSign(DataType);
        break;
      case '#':
        bit = OPT_HASH;
        allowed = DataType != TYPE_STRING && DataType != TYPE_CHAR;
        break;
      case '\'':
        bit = OPT_QUOTE;
        allowed = AllowsGrouping(DataType);
        break;
      case '-':
        bit = OPT_MINUS;
        break;
      case '0':
        bit = OPT_ZERO;
        allowed = DataType != TYPE_STRING && DataType != TYPE_CHAR;
        break;
      default:
        break;
    }
    if (bit == 0) {
      break;
    }
    ++ba->Cursor;
    bool keep = allowed && (seen & bit) == 0;  // a repeated option is dropped
    if (!allowed) {
      WEX1_TRACE(wex1, WEX1_FLOW, OptionNotValidMsg, c, FieldName,
                 spConvertType2Char(DataType));
    } else if (keep) {
      if (bit == OPT_PLUS && (seen & OPT_BLANK) != 0) {
        WEX1_TRACE(wex1, WEX1_FLOW, PlusOverridesBlankMsg, FieldName);
      } else if (bit == OPT_BLANK && (seen & OPT_PLUS) != 0) {
        WEX1_TRACE(wex1, WEX1_FLOW, PlusOverridesBlankMsg, FieldName);
        keep = false;
      } else if (bit == OPT_MINUS && (seen & OPT_ZERO) != 0) {
        WEX1_TRACE(wex1, WEX1_FLOW, MinusOverridesZeroMsg, FieldName);
      } else if (bit == OPT_ZERO && (seen & OPT_MINUS) != 0) {
        WEX1_TRACE(wex1, WEX1_FLOW, MinusOverridesZeroMsg, FieldName);
        keep = false;
      } else if (bit == OPT_QUOTE && WEX1_On(wex1, WEX1_DETAIL)) {
        const struct lconv* lc = localeconv();
        WEX1_Printf(wex1, ThousandsMsg,
                    lc != nullptr && lc->thousands_sep != nullptr
                        ? lc->thousands_sep
                        : "");
      }
    }
    if (keep) {
      if (!spAppend(ba, &c, 1)) {
        return static_cast<int>(ev.Result(-1));
      }
      seen |= bit;
    }
  }
  return static_cast<int>(ev.Result(seen));
}

int StringParser::spExtractMinFieldWidth(_BuildArea* ba) {
  WEX1_Event ev(wex1, __func__);
  long value = 0;
  const int digits = ReadDigits(ba->Cursor, &value);
  if (digits > MAXPRINTFIELDSIZECHARS || value < 1 ||
      value > MAXPRINTFIELDSIZE) {
    WEX1_TRACE(wex1, WEX1_ERROR, MinWidthMsg, digits, ba->Cursor,
               MAXPRINTFIELDSIZE);
    return static_cast<int>(ev.Result(-1));
  }
  if (!spAppend(ba, ba->Cursor, static_cast<uint32_t>(digits))) {
    return static_cast<int>(ev.Result(-1));
  }
  ba->Cursor += digits;
  MinFieldSize = static_cast<int32_t>(value);
  return static_cast<int>(ev.Result(0));
}

int StringParser::spExtractPrecision(_BuildArea* ba) {
  WEX1_Event ev(wex1, __func__);
  long value = 0;
  const int digits = ReadDigits(ba->Cursor + 1, &value);
  if (digits > MAXPRINTFIELDSIZECHARS || value > MAXPRINTFIELDSIZE) {
    char shown[MAXDIRECTIVESIZE + 1];
    snprintf(shown, sizeof shown, "%.*s", digits + 1, ba->Cursor);
    WEX1_TRACE(wex1, WEX1_ERROR, PrecisionMsg, FieldName, shown,
               MAXPRINTFIELDSIZE);
    return static_cast<int>(ev.Result(-1));
  }
  if (!spAppend(ba, ba->Cursor, static_cast<uint32_t>(digits + 1))) {
    return static_cast<int>(ev.Result(-1));
  }
  ba->Cursor += digits + 1;
  Precision =
      static_cast<int32_t>(value);  // a '.' without digits is precision 0
  return static_cast<int>(ev.Result(0));
}

int StringParser::spValidatePrintConvcode(_BuildArea* ba, int size_code) {
  WEX1_Event ev(wex1, __func__);
  const char code = *ba->Cursor;
  _DataType type = size_code;
  bool valid = true;
  switch (code) {
    case 'd':
    case 'i':
      type += 1;
      break;
    case 'o':
      type += 2;
      break;
    case 'u':
      type += 3;
      break;
    case 'x':
    case 'X':
      type += 4;
      break;
    case 'e':
    case 'E':
      type += 5;
      break;
    case 'f':
      type += 6;
      break;
    case 'g':
    case 'G':
      type += 7;
      break;
    case 's':
      valid = size_code == SIZE_NONE;
      type = TYPE_STRING;
      break;
    case 'c':
      valid = size_code == SIZE_NONE;
      type = TYPE_CHAR;
      break;
    default:
      valid = false;
      break;
  }
  if (!valid) {
    WEX1_TRACE(wex1, WEX1_ERROR, PrintConvMsg, FieldName,
               static_cast<int>(ba->Length), ba->Text);
    return static_cast<int>(ev.Result(-1));
  }
  if (DefaultDirective(type) == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, PrintTypeMsg, type, FieldName,
               static_cast<int>(ba->Length), ba->Text);
    return static_cast<int>(ev.Result(-1));
  }
  const bool compatible =
      TypeGroup(type) == TypeGroup(DataType) ||
      (type == TYPE_CHAR && (DataType == TYPE_CHAR || DataType == TYPE_STRING));
  if (!compatible) {
    WEX1_TRACE(wex1, WEX1_ERROR, IncompatibleMsg, FieldName,
               spConvertType2Char(DataType), spConvertType2Char(type));
    return static_cast<int>(ev.Result(-1));
  }
  if (type == TYPE_CHAR) {
    DataType = TYPE_CHAR;  // a text printed with %c shows its first character
  }
  return static_cast<int>(ev.Result(0));
}

const char* StringParser::spConvertType2Char(_DataType type) {
  const char* text = DefaultDirective(type);
  if (text == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, InvalidTypeMsg, type);
    return "";
  }
  return text;
}

// ---------------------------------------------------------------------------
// State dump

void StringParser::spPrintSelf() const {
  const char* scan = ScanDirective != nullptr ? ScanDirective : "";
  WEX1_Printf(wex1, SelfFormat, FieldName, static_cast<const void*>(this),
              static_cast<long>(PrintIndex),
              static_cast<const void*>(ScanOrder),
              Offset != 0 ? static_cast<int>(Offset + 1) : 0,
              static_cast<int>(MaxFieldSize), MinFieldSize, Precision,
              ShownLength(ScanDirective), scan,
              PrintDirective != nullptr ? PrintDirective : "", DataType, Value,
              static_cast<int>(Suppressed), ObjectStatus);
}

void StringParser::spPrintChain() const {
  for (const StringParser* p = this; p != nullptr; p = p->ScanOrder) {
    p->spPrintSelf();
  }
}

// ---------------------------------------------------------------------------
// Line scanning and formatting

long StringParser::spFormatLine(const char* line, _FormatBuffer* slots) {
  WEX1_Event ev(wex1, __func__);
  if (spScanInput(line) < 1) {
    return ev.Result(-1);
  }
  return ev.Result(spFormatFields(slots));
}

long StringParser::spScanInput(const char* line) {
  WEX1_Event ev(wex1, __func__);
  if (line == nullptr) {
    line = "";
  }
  const char* position = line;
  long length = -1;  // computed once, and only when a column is used
  long count = 0;
  for (StringParser* d = ScanOrder; d != nullptr; d = d->ScanOrder) {
    const int number = static_cast<int>(count + 1);
    if (d->Offset != 0) {
      if (length < 0) {
        length = static_cast<long>(strlen(line));
      }
      if (static_cast<long>(d->Offset) >= length) {
        WEX1_TRACE(wex1, WEX1_ERROR, OffsetMsg, static_cast<int>(d->Offset + 1),
                   d->FieldName, static_cast<int>(length));
        return ev.Result(-1);
      }
      position = line + d->Offset;
    }
    int consumed = 0;
    const int rc =
        ScanOne(position, d->ScanDirective, d->DataType, d->Value, &consumed);
    if (rc == EOF) {
      WEX1_TRACE(wex1, WEX1_ERROR, EndOfInputMsg, number, d->FieldName,
                 ShownLength(d->ScanDirective), d->ScanDirective);
      return ev.Result(-1);
    }
    if (consumed == 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, ScanFailedMsg, number, d->FieldName,
                 ShownLength(d->ScanDirective), d->ScanDirective, position);
      return ev.Result(-1);
    }
    position += consumed;
    ++count;
  }
  return ev.Result(count);
}

long StringParser::spFormatFields(_FormatBuffer* slots) {
  WEX1_Event ev(wex1, __func__);
  char scratch[FORMATBUFSIZE];
  long count = 0;
  for (StringParser* d = ScanOrder; d != nullptr; d = d->ScanOrder) {
    if (d->Suppressed || d->PrintDirective == nullptr ||
        d->PrintDirective[0] == '\0' || d->Value == nullptr ||
        d->PrintIndex < 0) {
      continue;
    }
    _FormatBuffer& slot = slots[d->PrintIndex];
    if (slot.Remaining <= 0) {
      continue;
    }
    bool known = true;
    const int rc = PrintOne(scratch, sizeof scratch, d->PrintDirective,
                            d->DataType, d->Value, &known);
    if (!known) {
      WEX1_TRACE(wex1, WEX1_ERROR, UnknownTypeMsg, d->FieldName, d->DataType);
      continue;
    }
    if (rc < 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, PrintFailedMsg, d->FieldName);
      return ev.Result(-1);
    }
    // snprintf has cut the text to the scratch buffer; a %c of a NUL yields
    // no text rather than a NUL in the slot.
    size_t length =
        strnlen(scratch, static_cast<size_t>(rc) < sizeof scratch - 1
                             ? static_cast<size_t>(rc)
                             : sizeof scratch - 1);
    if (static_cast<int64_t>(length) > slot.Remaining) {
      length = static_cast<size_t>(slot.Remaining);
    }
    if (length > 0) {
      memcpy(slot.Position, scratch, length);
      slot.Position += length;
      slot.Remaining -= static_cast<int64_t>(length);
      ++count;
    }
  }
  return ev.Result(count);
}
