// Fuzz target: compiles the first input line as a format command and, when it
// is learned, scans and formats every further line with it.
//
// Besides what the sanitizers catch, it checks that every text the parser
// hands to sscanf or snprintf is one it built: literal text, one bounded
// conversion and (for scans) the final %n. Slots are exactly as large as
// their capacity, so any write past a slot is an AddressSanitizer report.
//
// Built from: parser/*.cc framework/runtime/trace.cc
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "framework/runtime/trace.h"
#include "parser/string_parser.h"
#include "tests/fuzz/fuzz_trace.h"

namespace {

[[noreturn]] void Fail(const char* what, const char* text) {
  fprintf(stderr, "invariant broken: %s: \"%s\"\n", what,
          text != nullptr ? text : "(null)");
  abort();
}

// Skips the conversion starting after '%' at s[i]; returns the index after
// it and fills the details. A scan set is skipped as sscanf reads it.
size_t SkipConversion(const char* s, size_t i, bool* starred, long* width,
                      std::string* size, char* code) {
  *starred = false;
  *width = -1;
  size->clear();
  if (s[i] == '*') {
    *starred = true;
    ++i;
  }
  while (strchr("+ #'-0", s[i]) != nullptr && s[i] != '\0' && !*starred) {
    ++i;  // print options
  }
  if (s[i] >= '0' && s[i] <= '9') {
    *width = 0;
    while (s[i] >= '0' && s[i] <= '9') {
      *width = *width * 10 + (s[i] - '0');
      ++i;
    }
  }
  if (s[i] == '.') {
    ++i;
    while (s[i] >= '0' && s[i] <= '9') {
      ++i;
    }
  }
  while (s[i] == 'h' || s[i] == 'l' || s[i] == 'L') {
    size->push_back(s[i]);
    ++i;
  }
  *code = s[i];
  if (s[i] == '\0') {
    return i;
  }
  if (s[i] == '[') {
    ++i;
    if (s[i] == '^') {
      ++i;
    }
    if (s[i] == ']') {
      ++i;
    }
    while (s[i] != ']') {
      if (s[i] == '\0') {
        Fail("unterminated scan set", s);
      }
      ++i;
    }
  }
  return i + 1;
}

void CheckScanText(const StringParser* d) {
  const char* s = d->ScanDirective;
  if (s == nullptr) {
    Fail("compiled directive without scan text", s);
  }
  const size_t n = strlen(s);
  if (n < 2 || n > MAXDIRECTIVESIZE || strcmp(s + n - 2, "%n") != 0) {
    Fail("scan text does not end in %n", s);
  }
  int conversions = 0;
  size_t i = 0;
  while (i < n - 2) {
    if (s[i] != '%') {
      ++i;
      continue;
    }
    if (s[i + 1] == '%') {
      i += 2;
      continue;
    }
    bool starred;
    long width;
    std::string size;
    char code;
    i = SkipConversion(s, i + 1, &starred, &width, &size, &code);
    ++conversions;
    if (strchr("diouxefgsc[", code) == nullptr || code == '\0') {
      Fail("unexpected scan conversion", s);
    }
    if (starred != (d->Suppressed != 0)) {
      Fail("suppression differs from the scan text", s);
    }
    if (code == 's' || code == '[' || (code == 'c' && width > 1)) {
      if (width < 1 || width > static_cast<long>(DEFAULTSTRINGWIDTH) ||
          static_cast<unsigned long>(width) != d->MaxFieldSize) {
        Fail("string scan without the stored width", s);
      }
      if (!d->Suppressed && d->DataType != 8 && d->DataType != 9) {
        Fail("string scan into a non-text value", s);
      }
    }
  }
  // The parser's own directives (%T %E %Q %r and an optional part's
  // bounds) leave only their literal to the library scan; they read text,
  // type 8, or 9 when it is printed with %c.
  if (conversions == 0 && d->DataType != 8 && d->DataType != 9) {
    Fail("literal-only scan text of a non-text directive", s);
  }
  if (i != n - 2 || conversions > 1) {
    Fail("scan text must hold at most one conversion before %n", s);
  }
}

void CheckPrintText(const StringParser* d) {
  if (d->Suppressed) {
    if (d->PrintDirective != nullptr || d->Value != nullptr) {
      Fail("suppressed directive with print text or value", d->ScanDirective);
    }
    return;
  }
  const char* s = d->PrintDirective;
  if (s == nullptr || d->Value == nullptr) {
    Fail("named directive without print text or value", d->ScanDirective);
  }
  int conversions = 0;
  for (size_t i = 0; s[i] != '\0';) {
    if (s[i] != '%') {
      ++i;
      continue;
    }
    if (s[i + 1] == '%') {
      i += 2;
      continue;
    }
    bool starred;
    long width;
    std::string size;
    char code;
    i = SkipConversion(s, i + 1, &starred, &width, &size, &code);
    ++conversions;
    if (starred || strchr("diouxXeEfgGsc", code) == nullptr || code == '\0') {
      Fail("unexpected print conversion", s);
    }
    if (width > MAXPRINTFIELDSIZE) {
      Fail("print width beyond the limit", s);
    }
  }
  if (conversions > 1) {
    Fail("more than one print conversion", s);
  }
}

// The agent's slot capacities: six time parts, the text columns, the time
// stamp and the fraction.
const int64_t kCapacity[NUMKEYWORDS] = {7,  7,  7,  7,   7,  7,  32,
                                        32, 16, 16, 256, 31, 15, 15};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SilenceTraceOnce();
  if (size == 0) {
    return 0;
  }
  // The first byte picks the trace levels, so that every trace path runs too.
  WEX1_Configure((data[0] & 1) != 0 ? "ALL" : "ERROR");
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) {
      end = input.size();
    }
    // A NUL ends a C string early, as it would for the real callers.
    lines.push_back(input.substr(start, end - start).c_str());
    start = end + 1;
  }

  StringParser anchor(lines[0].c_str(), KEYWORDS);
  if (anchor.ObjectStatus != OBJECT_LEARNED) {
    if (anchor.ScanOrder != nullptr) {
      Fail("rejected anchor keeps a chain", lines[0].c_str());
    }
    return 0;
  }
  for (const StringParser* d = anchor.ScanOrder; d != nullptr;
       d = d->ScanOrder) {
    if (d->ObjectStatus != OBJECT_COMPILED) {
      Fail("learned chain holds an uncompiled directive", d->ScanDirective);
    }
    CheckScanText(d);
    CheckPrintText(d);
  }
  for (size_t l = 1; l < lines.size() && l < 64; ++l) {
    std::vector<char*> buffers(NUMKEYWORDS);
    _FormatBuffer slots[NUMKEYWORDS];
    for (int k = 0; k < NUMKEYWORDS; ++k) {
      buffers[k] =
          static_cast<char*>(malloc(static_cast<size_t>(kCapacity[k])));
      slots[k] = {buffers[k], kCapacity[k]};
    }
    const long rc = anchor.spFormatLine(lines[l].c_str(), slots);
    if (rc < -1) {
      Fail("unexpected result", lines[l].c_str());
    }
    for (int k = 0; k < NUMKEYWORDS; ++k) {
      if (slots[k].Remaining < 0 ||
          slots[k].Position - buffers[k] != kCapacity[k] - slots[k].Remaining) {
        Fail("slot accounting broken", lines[l].c_str());
      }
      free(buffers[k]);
    }
  }
  return 0;
}
