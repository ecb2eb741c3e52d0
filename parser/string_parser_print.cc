// Field names and print directives: the part of a format command after the
// scan format.
#include <locale.h>
#include <stdio.h>
#include <string.h>

#include "framework/runtime/trace.h"
#include "parser/string_parser.h"
#include "parser/string_parser_internal.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "SP100");

using namespace string_parser_internal;

namespace {

const char CLOSINGPATTERN[] = "\" , %n";
const char PRINTOPENPATTERN[] = "= \"%n";
const char InvalidTypeMsg[] = "\nInvalid datatype of %d encountered.";
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
const char OptionNotValidMsg[] =
    "\nWarning: option '%c' is not valid for field %s of type %s; option ignored.";
const char PlusOverridesBlankMsg[] =
    "\nWarning: option '+' overrides option ' ' in print directive for field %s.";
const char MinusOverridesZeroMsg[] =
    "\nWarning: option '-' (left justification) overrides option '0' in print directive for field %s.";
const char ThousandsMsg[] =
    "\nThousands separator of the current locale is '%.1s'.";

// Print option bits, as returned by spValidatePrintOptions.
constexpr int OPT_PLUS = 0x01;
constexpr int OPT_BLANK = 0x02;
constexpr int OPT_HASH = 0x04;
constexpr int OPT_QUOTE = 0x08;
constexpr int OPT_MINUS = 0x10;
constexpr int OPT_ZERO = 0x20;

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

}  // namespace

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
