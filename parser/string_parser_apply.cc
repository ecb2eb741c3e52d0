// Applying a compiled command to a line: scanning it into the directives'
// values and printing the named values into the output slots.
#include <stdio.h>
#include <string.h>

#include "framework/wex1.h"
#include "parser/string_parser.h"
#include "parser/string_parser_internal.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "SP100");

using namespace string_parser_internal;

namespace {

const char OffsetMsg[] =
    "\nError: offset of %d for column '%s' exceeds string length of %d. Scan terminated.";
const char EndOfInputMsg[] =
    "\nError: end of input found while scanning for variable #%d; %s. Looking for %.*s. Scan terminated.";
const char ScanFailedMsg[] =
    "\nError: scan failed for variable #%d; %s. Looking for %.*s; found %s. Scan terminated.";
const char UnknownTypeMsg[] =
    "\nError: formatting failed for field %s; unknown datatype: %d";
const char PrintFailedMsg[] = "\nError: print failed for field %s.";

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
