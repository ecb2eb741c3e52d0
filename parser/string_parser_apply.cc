// Applying a compiled command to a line: scanning it into the directives'
// values and printing the named values into the output slots.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "framework/runtime/trace.h"
#include "parser/entry_time.h"
#include "parser/string_parser.h"
#include "parser/string_parser_internal.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "SP100");

using namespace string_parser_internal;

namespace {

// Most digits of a fraction of a second (nanoseconds).
constexpr int MAXFRACTIONDIGITS = 9;
// Most digits of a time since the epoch (milliseconds until the year 33658).
constexpr int MAXEPOCHDIGITS = 15;

const char OffsetMsg[] =
    "\nError: offset of %d for column '%s' exceeds string length of %d. Scan terminated.";
const char EndOfInputMsg[] =
    "\nError: end of input found while scanning for variable #%d; %s. Looking for %.*s. Scan terminated.";
const char ScanFailedMsg[] =
    "\nError: scan failed for variable #%d; %s. Looking for %.*s; found %s. Scan terminated.";
const char UnknownTypeMsg[] =
    "\nError: formatting failed for field %s; unknown datatype: %d";
const char PrintFailedMsg[] = "\nError: print failed for field %s.";
// The directive a compiled own conversion was written as, for messages.
const char* OwnDirectiveName(uint8_t kind) {
  static const char* const kNames[] = {"",   "",   "%T", "%E",
                                       "%Q", "%r", "%{", "%}"};
  return kind < sizeof kNames / sizeof kNames[0] ? kNames[kind] : "";
}

// Reads exactly `n` digits at `p` into *value.
bool Digits(const char* p, int n, int* value) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (!IsDigit(p[i])) {
      return false;
    }
    v = v * 10 + (p[i] - '0');
  }
  *value = v;
  return true;
}

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Reads the digits of a fraction of a second at `p` (after its point): the
// millisecond into *ms. Returns the digits read, or -1 for none or more
// than MAXFRACTIONDIGITS.
int Fraction(const char* p, int* ms) {
  int n = 0;
  int v = 0;
  while (IsDigit(p[n])) {
    if (n < 3) {
      v = v * 10 + (p[n] - '0');
    }
    ++n;
  }
  if (n == 0 || n > MAXFRACTIONDIGITS) {
    return -1;
  }
  for (int k = n; k < 3; ++k) {
    v *= 10;
  }
  *ms = v;
  return n;
}

// Writes the text of a time directive: local time, with the millisecond
// when the stamp has a fraction. False when the year has no four digits.
bool StampText(const struct tm& t, int ms, bool with_ms, char* out) {
  if (t.tm_year + 1900 < 0 || t.tm_year + 1900 > 9999) {
    return false;
  }
  int n = snprintf(out, STAMPTEXTSIZE, "%04d-%02d-%02d %02d:%02d:%02d",
                   t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                   t.tm_min, t.tm_sec);
  if (with_ms && n > 0) {
    n = snprintf(out + n, STAMPTEXTSIZE - static_cast<size_t>(n), ".%03d", ms);
  }
  return n > 0;
}

// %T: YYYY-MM-DD, 'T' or a blank, hh:mm:ss, an optional fraction after '.'
// or ',', an optional zone 'Z', +hh:mm, +hhmm or +hh (or '-'). A stamp with
// a zone is converted to local time. Leading blanks are skipped as by %d.
int ScanStamp(const char* text, char* out) {
  const char* p = SkipBlanks(text);
  int year, month, day, hour, minute, second;
  if (!Digits(p, 4, &year) || p[4] != '-' || !Digits(p + 5, 2, &month) ||
      p[7] != '-' || !Digits(p + 8, 2, &day) ||
      (p[10] != 'T' && p[10] != 't' && p[10] != ' ') ||
      !Digits(p + 11, 2, &hour) || p[13] != ':' ||
      !Digits(p + 14, 2, &minute) || p[16] != ':' ||
      !Digits(p + 17, 2, &second)) {
    return -1;
  }
  p += 19;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      hour > 23 || minute > 59 || second > 60) {
    return -1;
  }
  second = second == 60 ? 59 : second;  // a leap second stays in its minute
  int ms = 0;
  const bool with_ms = (*p == '.' || *p == ',') && IsDigit(p[1]);
  if (with_ms) {
    const int digits = Fraction(p + 1, &ms);
    if (digits < 0) {
      return -1;
    }
    p += 1 + digits;
  }
  struct tm t;
  memset(&t, 0, sizeof t);
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  long offset = 0;
  const int zone = ReadZone(p, false, &offset);
  if (zone < 0) {
    return -1;
  }
  const bool zoned = zone > 0;
  p += zone;
  if (zoned) {
    const time_t at = timegm(&t) - offset;
    if (localtime_r(&at, &t) == nullptr) {
      return -1;
    }
  }
  if (!StampText(t, ms, with_ms, out)) {
    return -1;
  }
  return static_cast<int>(p - text);
}

// %E (seconds, an optional fraction after '.') and %Q (milliseconds) since
// the epoch, converted to local time.
int ScanEpoch(const char* text, bool millis, char* out) {
  const char* p = SkipBlanks(text);
  long long value = 0;
  int n = 0;
  while (IsDigit(p[n])) {
    if (n >= MAXEPOCHDIGITS) {
      return -1;
    }
    value = value * 10 + (p[n] - '0');
    ++n;
  }
  if (n == 0) {
    return -1;
  }
  p += n;
  int ms = 0;
  bool with_ms = millis;
  if (millis) {
    ms = static_cast<int>(value % 1000);
    value /= 1000;
  } else if (*p == '.' && IsDigit(p[1])) {
    const int digits = Fraction(p + 1, &ms);
    if (digits < 0) {
      return -1;
    }
    p += 1 + digits;
    with_ms = true;
  }
  const time_t at = static_cast<time_t>(value);
  struct tm t;
  if (localtime_r(&at, &t) == nullptr || !StampText(t, ms, with_ms, out)) {
    return -1;
  }
  return static_cast<int>(p - text);
}

// The last place of the `n` characters at `what` in `text`, or null.
const char* LastPlace(const char* text, const char* what, uint32_t n) {
  const size_t length = strlen(text);
  if (n == 0 || n > length) {
    return nullptr;
  }
  for (size_t i = length - n + 1; i-- > 0;) {
    if (text[i] == what[0] && memcmp(text + i, what, n) == 0) {
      return text + i;
    }
  }
  return nullptr;
}

const char CutMsg[] =
    "\nField %s of %d characters is cut to the %d its column still holds; later cuts of this format command are not traced.";

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
  // The optional part being read: its opening, where it began and the count
  // before it, to go back to when the part is not in the line.
  StringParser* optional = nullptr;
  const char* optional_at = nullptr;
  long optional_count = 0;
  for (StringParser* d = ScanOrder; d != nullptr; d = d->ScanOrder) {
    const int number = static_cast<int>(count + 1);
    d->Absent = 0;
    bool ok = true;
    bool end_of_input = false;
    if (d->Offset != 0) {
      if (length < 0) {
        length = static_cast<long>(strlen(line));
      }
      if (static_cast<long>(d->Offset) >= length) {
        if (optional == nullptr) {
          WEX1_TRACE(wex1, WEX1_ERROR, OffsetMsg,
                     static_cast<int>(d->Offset + 1), d->FieldName,
                     static_cast<int>(length));
          return ev.Result(-1);
        }
        ok = false;
      } else {
        position = line + d->Offset;
      }
    }
    int consumed = 0;
    if (ok && d->ScanKind <= SCAN_C_TEXT) {
      if (d->ScanKind == SCAN_C_TEXT && d->Value != nullptr) {
        // %Nc does not terminate what it reads: a shorter text must not
        // show the end of an earlier line's.
        memset(d->Value, 0, d->MaxFieldSize + 1);
      }
      const int rc =
          ScanOne(position, d->ScanDirective, d->DataType, d->Value, &consumed);
      end_of_input = rc == EOF;
      ok = rc != EOF && consumed != 0;
    } else if (ok) {
      // The literal before the directive (it may be empty), then the
      // parser's own conversion.
      consumed = -1;
      end_of_input =
          sscanf(position, d->ScanDirective, &consumed) == EOF && consumed < 0;
      ok = consumed >= 0;
      if (ok && d->ScanKind < SCAN_OPTIONAL) {
        const int own = d->spScanOwn(position + consumed);
        ok = own >= 0;
        consumed += own;
      }
    }
    if (!ok && optional != nullptr) {
      // The optional part is not in this line: the scan goes back to where
      // it began and on after its end; its directives write nothing.
      position = optional_at;
      count = optional_count;
      d = optional->ScanOrder;
      for (; d->ScanKind != SCAN_OPTIONAL_END; d = d->ScanOrder) {
        d->Absent = 1;
      }
      optional = nullptr;
      continue;
    }
    if (!ok) {
      char shown[MAXDIRECTIVESIZE + 8];
      snprintf(shown, sizeof shown, "%.*s%s", ShownLength(d->ScanDirective),
               d->ScanDirective, OwnDirectiveName(d->ScanKind));
      if (end_of_input) {
        WEX1_TRACE(wex1, WEX1_ERROR, EndOfInputMsg, number, d->FieldName,
                   static_cast<int>(strlen(shown)), shown);
      } else {
        WEX1_TRACE(wex1, WEX1_ERROR, ScanFailedMsg, number, d->FieldName,
                   static_cast<int>(strlen(shown)), shown, position);
      }
      return ev.Result(-1);
    }
    position += consumed;
    if (d->ScanKind == SCAN_OPTIONAL) {
      optional = d;
      optional_at = position;
      optional_count = count;
    } else if (d->ScanKind == SCAN_OPTIONAL_END) {
      optional = nullptr;
    } else {
      ++count;
    }
  }
  return ev.Result(count);
}

int StringParser::spScanOwn(const char* text) {
  char scratch[STAMPTEXTSIZE];
  char* const out = Value != nullptr ? static_cast<char*>(Value) : scratch;
  switch (ScanKind) {
    case SCAN_STAMP:
      return ScanStamp(text, out);
    case SCAN_EPOCH:
    case SCAN_EPOCH_MS:
      return ScanEpoch(text, ScanKind == SCAN_EPOCH_MS, out);
    case SCAN_UPTO: {
      uint32_t n = 0;
      const char* const separator = spSeparator(&n);
      const char* const at = LastPlace(text, separator, n);
      if (at == nullptr || at == text) {
        return -1;
      }
      const size_t length = static_cast<size_t>(at - text);
      if (Value != nullptr) {
        const size_t kept = length < MaxFieldSize ? length : MaxFieldSize;
        memcpy(Value, text, kept);
        static_cast<char*>(Value)[kept] = '\0';
      }
      return static_cast<int>(length);
    }
    default:
      return -1;
  }
}

const char* StringParser::spSeparator(uint32_t* length) const {
  const StringParser* next = ScanOrder;
  if (next == nullptr || next->ScanDirective == nullptr) {
    return nullptr;
  }
  const char* const text = next->ScanDirective;
  uint32_t n = 0;
  while (text[n] != '\0' && text[n] != '%') {
    ++n;
  }
  *length = n;
  return n > 0 ? text : nullptr;
}

long StringParser::spFormatFields(_FormatBuffer* slots) {
  WEX1_Event ev(wex1, __func__);
  char scratch[FORMATBUFSIZE];
  long count = 0;
  for (StringParser* d = ScanOrder; d != nullptr; d = d->ScanOrder) {
    if (d->Suppressed || d->Absent || d->PrintDirective == nullptr ||
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
      // The column keeps what it holds; saying so once per command is
      // enough to tell the author of the command.
      if (!CutTraced) {
        CutTraced = true;
        WEX1_TRACE(wex1, WEX1_FLOW, CutMsg, d->FieldName,
                   static_cast<int>(length), static_cast<int>(slot.Remaining));
      }
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
