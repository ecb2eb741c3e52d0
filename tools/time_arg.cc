// qorctl's time arguments turned into the agent's 16-character time stamps.
#include "tools/time_arg.h"

#include <ctype.h>
#include <stdio.h>

#include "util/timestamp.h"

namespace {

const char kExpected[] =
    "expected YYYY-MM-DD[ HH:MM[:SS]], now, or -N with s, m, h or d (such as -30m, -2h, -1d)";

// Longest relative time: about a century, so that the subtraction stays sane.
constexpr long kMostSeconds = 100L * 366 * 86400;

// The unsigned number of `len` digits at `at`, or -1.
int Digits(const std::string& t, size_t at, size_t len) {
  if (at + len > t.size()) {
    return -1;
  }
  int v = 0;
  for (size_t i = at; i < at + len; ++i) {
    if (!isdigit(static_cast<unsigned char>(t[i]))) {
      return -1;
    }
    v = v * 10 + (t[i] - '0');
  }
  return v;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool Relative(const std::string& t, time_t now, std::string* stamp) {
  if (t.size() < 3 || t[0] != '-' || t.size() > 12) {
    return false;
  }
  long n = 0;
  for (size_t i = 1; i + 1 < t.size(); ++i) {
    if (!isdigit(static_cast<unsigned char>(t[i]))) {
      return false;
    }
    n = n * 10 + (t[i] - '0');
  }
  long unit;
  switch (t.back()) {
    case 's':
      unit = 1;
      break;
    case 'm':
      unit = 60;
      break;
    case 'h':
      unit = 3600;
      break;
    case 'd':
      unit = 86400;
      break;
    default:
      return false;
  }
  if (n > kMostSeconds / unit) {
    return false;
  }
  char out[17];
  HOV_FormatTimestamp(static_cast<long>(now) - n * unit, out);
  *stamp = out;
  return true;
}

}  // namespace

bool ParseTimeArg(const std::string& t, Time_Edge edge, time_t now, std::string* stamp,
                  std::string* err) {
  if (t == "now") {
    char out[17];
    HOV_FormatTimestamp(static_cast<long>(now), out);
    *stamp = out;
    return true;
  }
  if (!t.empty() && t[0] == '-') {
    if (Relative(t, now, stamp)) {
      return true;
    }
    *err = "bad time \"" + t + "\"; " + kExpected;
    return false;
  }
  // YYYY-MM-DD, then optionally [ T]HH:MM, then optionally :SS.
  const bool end = edge == Time_Edge::kEnd;
  const int year = Digits(t, 0, 4), month = Digits(t, 5, 2), day = Digits(t, 8, 2);
  int hour = end ? 23 : 0, minute = end ? 59 : 0, second = end ? 59 : 0;
  bool ok = year >= 0 && month >= 0 && day >= 0 && t[4] == '-' && t[7] == '-';
  if (ok && t.size() > 10) {
    ok = (t[10] == ' ' || t[10] == 'T') && t.size() >= 16 && t[13] == ':';
    hour = ok ? Digits(t, 11, 2) : -1;
    minute = ok ? Digits(t, 14, 2) : -1;
    second = end ? 59 : 0;
    if (ok && t.size() > 16) {
      ok = t.size() == 19 && t[16] == ':';
      second = ok ? Digits(t, 17, 2) : -1;
    }
    ok = ok && hour >= 0 && minute >= 0 && second >= 0;
  } else if (t.size() != 10) {
    ok = false;
  }
  if (!ok) {
    *err = "bad time \"" + t + "\"; " + kExpected;
    return false;
  }
  if (year < 1900 || year > 2899 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59) {
    *err = "bad time \"" + t + "\"; no such date or time (years 1900 to 2899)";
    return false;
  }
  char out[64];  // room for any int, to keep -Wformat-truncation quiet
  snprintf(out, sizeof out, "%d%02d%02d%02d%02d%02d%02d000", (year - 1900) / 100, year % 100, month,
           day, hour, minute, second);
  *stamp = out;
  return true;
}
