// Fuzz target: one syslog line, as any user who can write a watched log
// (or send to the syslog daemon) shapes it, turned into entry columns.
// The first byte picks the month of "now" (the year of a year-less date
// depends on it); the rest is the line, passed with its exact length and
// no terminator, so that a read past it is an AddressSanitizer report.
//
// Besides what the sanitizers catch, it checks what the rows rely on: the
// result is 0 or -1, and an accepted line's time stamp is 16 digits.
//
// Built from: agent/kinds/syslog_line.cc parser/entry_year.cc
// Built from: tables/teskal_time.cc framework/runtime/trace.cc util/*.cc
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <memory>

#include "agent/kinds/syslog_line.h"
#include "tests/fuzz/fuzz_trace.h"
#include "tables/tvx_vxlogent_schema.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SilenceTraceOnce();
  static const bool zone = [] {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return true;
  }();
  (void)zone;
  if (size == 0) {
    return 0;
  }
  struct tm now;
  memset(&now, 0, sizeof now);
  now.tm_year = 126;
  now.tm_mon = data[0] % 12;
  now.tm_mday = 1 + data[0] / 12 % 28;
  now.tm_isdst = -1;
  const size_t length = size - 1;
  std::unique_ptr<char[]> line(new char[length > 0 ? length : 1]);
  memcpy(line.get(), data + 1, length);
  tvx_vxlogent_data_t row;
  const long rc = FormatSyslogLine(line.get(), length, now, &row);
  if (rc != 0 && rc != -1) {
    abort();
  }
  if (rc == 0) {
    for (size_t i = 0; i < sizeof row.entrytime; ++i) {
      if (row.entrytime[i] < '0' || row.entrytime[i] > '9') {
        fprintf(stderr, "invariant broken: ENTRYTIME not digits: \"%.*s\"\n",
                static_cast<int>(length), line.get());
        abort();
      }
    }
  }
  return 0;
}
