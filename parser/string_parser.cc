// StringParser: compiles a format command into parser objects and applies
// them to lines.
#include "parser/string_parser.h"

#include <stdio.h>
#include <stdlib.h>

#include <new>

#include "framework/runtime/trace.h"
#include "parser/string_parser_internal.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "SP100");

// The value storage sizes are those the scan and print calls are given: %Ld
// and %lld both take a long long in the C library we build against.
static_assert(sizeof(int) == 4 && sizeof(float) == 4 && sizeof(short) == 2,
              "4-byte int and float, 2-byte short expected");
static_assert(sizeof(long) == 8 && sizeof(long long) == 8 &&
                  sizeof(double) == 8,
              "8-byte long, long long and double expected");

using namespace string_parser_internal;

namespace {

const char OPENINGPATTERN[] = " %*1[Aa] , \"%n";
const char OpeningMsg[] =
    "\nScan for start of format specifier failed; looking for \"%s\" but found:\n%s";
const char ObjectAllocMsg[] = "\nMemory allocation for %d bytes failed.";
const char NoDirectiveMsg[] =
    "\nError: format string contains no scan directive.";
const char DestroyedMsg[] = "\n%s object destroyed.";
const char OptionalEmptyMsg[] =
    "\nError: the optional part at column %d of the scan format holds no directive.";
const char OptionalNestedMsg[] =
    "\nError: the optional part at column %d of the scan format lies inside another one.";
const char OptionalOpenMsg[] =
    "\nError: the optional part at column %d of the scan format is not closed with %%}.";
const char OptionalEndMsg[] =
    "\nError: the %%} at column %d of the scan format closes no optional part.";
const char SeparatorMsg[] =
    "\nError: directive #%d (%%r) is not followed by a separator text and a directive.";
const char SelfFormat[] =
    "\n\tFieldName\t\t= %s\n\tthis\t\t\t= %p\n\tPrintIndex\t\t= %ld\n\tScanOrder\t\t= %p"
    "\n\tOffset\t\t\t= %d\n\tMaxFieldSize\t\t= %d\n\tMinFieldSize\t\t= %d\n\tPrecision\t\t= %d"
    "\n\tScanDirective\t\t= \"%.*s\"\n\tPrintDirective\t\t= \"%s\"\n\tDataType\t\t= %d"
    "\n\tValue\t\t\t= %p\n\tSuppressed\t\t= %d\n\tObjectStatus\t\t= %d\n";

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
  // Optional parts are checked as the chain grows, while the cursor still
  // tells where each directive stands: the column is counted from the first
  // character of the scan format.
  const StringParser* open = nullptr;  // the optional part being built
  int open_column = 0;
  bool open_holds = false;
  auto check_optional = [&](const StringParser* d) {
    const int column = static_cast<int>(cursor - format) - 1;
    if (d->ScanKind == SCAN_OPTIONAL) {
      if (open != nullptr) {
        WEX1_TRACE(wex1, WEX1_ERROR, OptionalNestedMsg, column);
        return false;
      }
      open = d;
      open_column = column;
      open_holds = false;
    } else if (d->ScanKind == SCAN_OPTIONAL_END) {
      if (open == nullptr) {
        WEX1_TRACE(wex1, WEX1_ERROR, OptionalEndMsg, column);
        return false;
      }
      if (!open_holds) {
        WEX1_TRACE(wex1, WEX1_ERROR, OptionalEmptyMsg, open_column);
        return false;
      }
      open = nullptr;
    } else {
      open_holds = true;
    }
    return true;
  };
  if (first->ObjectStatus == OBJECT_COMPILED && !check_optional(first)) {
    first->ObjectStatus = OBJECT_INVALID;
  }
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
    if (next->ObjectStatus == OBJECT_COMPILED && check_optional(next)) {
      last->ScanOrder = next;
      last = next;
      continue;
    }
    if (next->ObjectStatus != OBJECT_END) {
      first->ObjectStatus =
          OBJECT_INVALID;  // a failure anywhere collapses the chain
    } else if (open != nullptr) {
      WEX1_TRACE(wex1, WEX1_ERROR, OptionalOpenMsg, open_column);
      first->ObjectStatus = OBJECT_INVALID;
    }
    delete next;
    break;
  }
  // A %r stops at the literal that follows it, so there must be one.
  int number = 0;
  for (const StringParser* d = first;
       first->ObjectStatus == OBJECT_COMPILED && d != nullptr;
       d = d->ScanOrder) {
    ++number;
    uint32_t length = 0;
    if (d->ScanKind == SCAN_UPTO && d->spSeparator(&length) == nullptr) {
      WEX1_TRACE(wex1, WEX1_ERROR, SeparatorMsg, number);
      first->ObjectStatus = OBJECT_INVALID;
    }
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
