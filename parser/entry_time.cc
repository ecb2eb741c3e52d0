// The entry time of a user-formatted line from the texts of its time
// keywords.
#include "parser/entry_time.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "framework/runtime/trace.h"
#include "parser/entry_year.h"
#include "util/errno_text.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

// Every time text is read in this base.
constexpr int BASE10 = 10;

// Month names, tried in this order: the usual spelling, then upper case.
const char MONTHNAMES[] =
    "JanFebMarAprMayJunJulAugSepOctNovDecJANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC";
constexpr int MONTHCHARS = 3;
constexpr int MONTHSPERYEAR = 12;

// Two-digit years below this one lie in 20xx, the others in 19xx.
constexpr long CENTURYPIVOT = 70;
// Four-digit years that carry their own century (the years of a stamp).
constexpr long FIRSTSTAMPYEAR = 1900;
constexpr long LASTSTAMPYEAR = 2899;

// ENTRYTIME: century digit, year, month, day, hour, minute, second and the
// millisecond; the sixteenth character, the last digit of the millisecond,
// is set apart.
const char ENTRYTIMEFORMAT[] = "%ld%02ld%02ld%02ld%02ld%02ld%02ld%02ld";
constexpr int ENTRYTIMECHARS = 15;

// Digits of a fraction of a second that are kept: the millisecond.
constexpr int FRACTIONDIGITS = 3;
// Most digits a fraction may have (nanoseconds).
constexpr int MAXFRACTIONDIGITS = 9;

// A part of the entry time not (validly) given.
constexpr long MISSING = -1;

const char InvalidYearMsg[] =
    "\nError: invalid year found in event entrytime; '%s'";
const char InvalidMonthMsg[] =
    "\nError: invalid month found in event entrytime; '%s'";
const char InvalidDayMsg[] =
    "\nError: invalid day found in event entrytime; '%s'";
const char InvalidHourMsg[] =
    "\nError: invalid hour found in event entrytime; '%s'";
const char InvalidMinuteMsg[] =
    "\nError: invalid minute found in event entrytime; '%s'";
const char InvalidSecondMsg[] =
    "\nError: invalid second found in event entrytime; '%s'";
const char InvalidTimeMsg[] =
    "\nError: invalid time found in event entrytime; '%s'";
const char InvalidZoneMsg[] =
    "\nError: invalid zone found in event entrytime; '%s'";
const char InvalidFractionMsg[] =
    "\nError: invalid fraction found in event entrytime; '%s'";
const char ClockErrMsg[] =
    "\nError: unable to determine current time to complete event entrytime. errno = %d; %s.";
const char EntryTimeLengthMsg[] =
    "\nError: formatting of entrytime into table row failed; expected to write %d characters but wrote %d.";
// Reads the decimal number at the start of `text`; *rest is what follows it
// (`text` itself when it does not begin with a number).
long ReadNumber(const char* text, const char** rest) {
  char* end = nullptr;
  const long value = strtol(text, &end, BASE10);
  *rest = end;
  return value;
}

// The number that is the whole of `text`, or MISSING when the text is not
// one number alone or the number lies outside [low, high].
long WholeNumber(const char* text, long low, long high) {
  const char* rest = text;
  const long value = ReadNumber(text, &rest);
  if (rest == text || *rest != '\0' || value < low || value > high) {
    return MISSING;
  }
  return value;
}

// Month in number notation: 1-12; 0 when invalid; MISSING when the text
// does not begin with a number, so that names may still match.
long MonthNumber(const char* text) {
  const char* rest = text;
  const long value = ReadNumber(text, &rest);
  if (*rest == '\0' && value >= 1 && value <= MONTHSPERYEAR) {
    return value;
  }
  if (value != 0 || *rest == '\0') {
    return 0;
  }
  return MISSING;
}

// Month named by the first three characters of `text`: 1-12, or 0.
long MonthName(const char* text) {
  for (int k = 0; MONTHNAMES[k] != '\0'; k += MONTHCHARS) {
    if (strncmp(text, MONTHNAMES + k, MONTHCHARS) == 0) {
      return (k / MONTHCHARS) % MONTHSPERYEAR + 1;
    }
  }
  return 0;
}

// Hour: 0-24 alone, or 1-12 followed by optional blanks and a text that
// begins with 'a' or 'p' (12am is midnight, 12pm noon). MISSING when
// invalid.
long Hour(const char* text) {
  const char* rest = text;
  const long value = ReadNumber(text, &rest);
  if (rest == text || value < 0) {
    return MISSING;
  }
  if (*rest == '\0') {
    return value <= 24 ? value : MISSING;
  }
  if (value < 1 || value > 12) {
    return MISSING;
  }
  while (isspace(static_cast<unsigned char>(*rest))) {
    ++rest;
  }
  const long twelve = value % 12;
  if (*rest == 'p' || *rest == 'P') {
    return twelve + 12;
  }
  if (*rest == 'a' || *rest == 'A') {
    return twelve;
  }
  return MISSING;
}

// Splits years since 1900 into the century digit and two-digit year.
void SplitYear(long years, long* century, long* year) {
  *century = years / 100;
  *year = years % 100;
}

// The local time of `now` (0: the clock), in the years a stamp can hold;
// false, traced, when it cannot be had.
bool LocalStampTime(time_t now, struct tm* local) {
  errno = 0;
  const time_t at = now != 0 ? now : time(nullptr);
  if (at == static_cast<time_t>(-1) || localtime_r(&at, local) == nullptr ||
      local->tm_year < 0 || local->tm_year > LASTSTAMPYEAR - FIRSTSTAMPYEAR) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, ClockErrMsg, e, ErrnoText(e, eb, sizeof eb));
    return false;
  }
  return true;
}

}  // namespace

namespace {

// The millisecond of a fraction's digits ("5" is 500, "123456" is 123), or
// MISSING when the text is not 1 to MAXFRACTIONDIGITS digits alone.
long FractionMilliseconds(const char* text) {
  const size_t n = strlen(text);
  if (n < 1 || n > MAXFRACTIONDIGITS) {
    return MISSING;
  }
  long ms = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!isdigit(static_cast<unsigned char>(text[i]))) {
      return MISSING;
    }
  }
  for (int i = 0; i < FRACTIONDIGITS; ++i) {
    ms = ms * 10 + (static_cast<size_t>(i) < n ? text[i] - '0' : 0);
  }
  return ms;
}

// Farthest zone from UTC, in seconds.
constexpr long MAXZONESECONDS = 14 * 3600;

// The offset of a zone text that is nothing but a zone.
bool ZoneOffset(const char* text, long* offset) {
  const int n = ReadZone(text, true, offset);
  return n > 0 && text[n] == '\0';
}

// The parts of a time directive's text "YYYY-MM-DD hh:mm:ss[.mmm]"; false
// when the text is not one.
bool StampParts(const char* text, long* year, long* month, long* day,
                long* hour, long* minute, long* second, long* ms) {
  int consumed = -1;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s,
             &consumed) != 6 ||
      consumed != 19) {
    return false;
  }
  long fraction = 0;
  if (text[consumed] == '.') {
    fraction = FractionMilliseconds(text + consumed + 1);
  } else if (text[consumed] != '\0') {
    fraction = MISSING;
  }
  if (fraction == MISSING || y < FIRSTSTAMPYEAR || y > LASTSTAMPYEAR ||
      mo < 1 || mo > MONTHSPERYEAR || d < 1 || d > 31 || h > 23 || mi > 59 ||
      s > 59) {
    return false;
  }
  *year = y, *month = mo, *day = d, *hour = h, *minute = mi, *second = s;
  *ms = fraction;
  return true;
}

}  // namespace

int ReadZone(const char* text, bool names, long* offset) {
  if (*text == 'Z' || *text == 'z') {
    *offset = 0;
    return 1;
  }
  if (names && (strncmp(text, "UTC", 3) == 0 || strncmp(text, "GMT", 3) == 0)) {
    *offset = 0;
    return 3;
  }
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if ((*text != '+' && *text != '-') || !digit(text[1]) || !digit(text[2])) {
    return 0;
  }
  const long hours = (text[1] - '0') * 10 + (text[2] - '0');
  long minutes = 0;
  int n = 3;
  if (text[3] == ':') {
    if (!digit(text[4]) || !digit(text[5])) {
      return -1;
    }
    n = 6;
  } else if (digit(text[3]) && digit(text[4])) {
    n = 5;
  }
  if (n > 3) {
    minutes = (text[n - 2] - '0') * 10 + (text[n - 1] - '0');
  }
  const long seconds = hours * 3600 + minutes * 60;
  if (minutes > 59 || seconds > MAXZONESECONDS) {
    return -1;
  }
  *offset = *text == '-' ? -seconds : seconds;
  return n;
}

size_t CutLineEnd(char* line) {
  size_t n = strlen(line);
  if (n > 0 && line[n - 1] == '\n') {
    line[--n] = '\0';
    if (n > 0 && line[n - 1] == '\r') {
      line[--n] = '\0';
    }
  }
  return n;
}

bool StartUserlogYearCarry(time_t now, _UserlogYearCarry* carry) {
  struct tm local;
  if (!LocalStampTime(now, &local)) {
    return false;
  }
  long century = 0;
  long year = 0;
  SplitYear(local.tm_year, &century, &year);
  carry->lastCentury = century;
  carry->lastYear = year;
  carry->lastMonth = local.tm_mon + 1;
  carry->lastDay = local.tm_mday;
  carry->entryRead = false;
  return true;
}

long FormatUserlogEntryTime(char* dest, const _EntryTimeBuffers* times,
                            _UserlogLineContext* context) {
  WEX1_Event ev(wex1, __func__);
  long century = MISSING;
  long year = MISSING;
  long month = MISSING;
  long day = MISSING;
  long hour = MISSING;
  long minute = MISSING;
  long second = 0;
  long ms = 0;

  if (times->Time[0] != '\0') {
    // A whole stamp stands for every part; the parts' own fields are not
    // read.
    long stamp_year = 0;
    if (StampParts(times->Time, &stamp_year, &month, &day, &hour, &minute,
                   &second, &ms)) {
      SplitYear(stamp_year - FIRSTSTAMPYEAR, &century, &year);
    } else {
      WEX1_TRACE(wex1, WEX1_ERROR, InvalidTimeMsg, times->Time);
      context->Replaced |= REPLACED_TIME;
      month = day = hour = minute = MISSING;
      second = ms = 0;
    }
  } else {
    if (times->Year[0] != '\0') {
      // A negative year has no place in a stamp.
      const long value = WholeNumber(times->Year, 0, LONG_MAX);
      if (value == MISSING) {
        WEX1_TRACE(wex1, WEX1_ERROR, InvalidYearMsg, times->Year);
        context->Replaced |= REPLACED_YEAR;
      } else if (value >= FIRSTSTAMPYEAR && value <= LASTSTAMPYEAR) {
        // A four-digit year names its century.
        SplitYear(value - FIRSTSTAMPYEAR, &century, &year);
      } else {
        year = value % 100;
        century = year < CENTURYPIVOT ? 1 : 0;
      }
    }

    if (times->Month[0] != '\0') {
      long value = 0;
      if (context->NumericMonth == 1) {
        value = MonthNumber(times->Month);
        if (value == MISSING) {
          value = MonthName(times->Month);
          if (value != 0) {
            context->NumericMonth = 0;
          }
        }
      } else {
        value = MonthName(times->Month);
        if (value == 0) {
          context->NumericMonth = 1;
          value = MonthNumber(times->Month);
        }
      }
      if (value >= 1) {
        month = value;
      } else {
        WEX1_TRACE(wex1, WEX1_ERROR, InvalidMonthMsg, times->Month);
        context->Replaced |= REPLACED_MONTH;
      }
    }

    if (times->Day[0] != '\0') {
      day = WholeNumber(times->Day, 1, 31);
      if (day == MISSING) {
        WEX1_TRACE(wex1, WEX1_ERROR, InvalidDayMsg, times->Day);
        context->Replaced |= REPLACED_DAY;
      }
    }
    if (times->Hour[0] != '\0') {
      hour = Hour(times->Hour);
      if (hour == MISSING) {
        WEX1_TRACE(wex1, WEX1_ERROR, InvalidHourMsg, times->Hour);
        context->Replaced |= REPLACED_HOUR;
      }
    }
    if (times->Minute[0] != '\0') {
      minute = WholeNumber(times->Minute, 0, 59);
      if (minute == MISSING) {
        WEX1_TRACE(wex1, WEX1_ERROR, InvalidMinuteMsg, times->Minute);
        context->Replaced |= REPLACED_MINUTE;
      }
    }
    if (times->Second[0] != '\0') {
      second = WholeNumber(times->Second, 0, 59);
      if (second == MISSING) {
        WEX1_TRACE(wex1, WEX1_ERROR, InvalidSecondMsg, times->Second);
        context->Replaced |= REPLACED_SECOND;
        second = 0;
      }
    }
    if (times->Fraction[0] != '\0') {
      ms = FractionMilliseconds(times->Fraction);
      if (ms == MISSING) {
        WEX1_TRACE(wex1, WEX1_ERROR, InvalidFractionMsg, times->Fraction);
        context->Replaced |= REPLACED_FRACTION;
        ms = 0;
      }
    }
  }

  if (context->Carry != nullptr && year == MISSING && month != MISSING &&
      day != MISSING) {
    _UserlogYearCarry* const info = context->Carry;
    const int carried =
        static_cast<int>(info->lastCentury * 100 + info->lastYear);
    int years = carried;
    if (!info->entryRead) {
      // The newest line: one dated after the report's start is last year's.
      if (month > info->lastMonth ||
          (month == info->lastMonth && day > info->lastDay)) {
        --years;
      }
    } else {
      // Read newest first: the year changes only across a new year, not at
      // a line out of order. The carry keeps days: both are taken at noon.
      struct tm newer = {};
      newer.tm_year = carried;
      newer.tm_mon = static_cast<int>(info->lastMonth - 1);
      newer.tm_mday = static_cast<int>(info->lastDay);
      newer.tm_hour = 12;
      years = YearBeforeEntry(newer, static_cast<int>(month),
                              static_cast<int>(day), 12, 0, 0);
    }
    if (years >= 0 && years <= LASTSTAMPYEAR - FIRSTSTAMPYEAR) {
      long c = 0;
      long y = 0;
      SplitYear(years, &c, &y);
      info->lastCentury = c;
      info->lastYear = y;
    }
    century = info->lastCentury;
    year = info->lastYear;
    info->lastMonth = month;
    info->lastDay = day;
    info->entryRead = true;
  }

  long zone = 0;
  const bool zoned = times->Time[0] == '\0' && times->Zone[0] != '\0';
  if (zoned && !ZoneOffset(times->Zone, &zone)) {
    WEX1_TRACE(wex1, WEX1_ERROR, InvalidZoneMsg, times->Zone);
    context->Replaced |= REPLACED_ZONE;
  } else if (zoned && year != MISSING && month != MISSING && day != MISSING &&
             hour != MISSING && minute != MISSING) {
    // A full date and time with a zone: the same instant in local time.
    struct tm utc;
    memset(&utc, 0, sizeof utc);
    utc.tm_year = static_cast<int>(century * 100 + year);
    utc.tm_mon = static_cast<int>(month - 1);
    utc.tm_mday = static_cast<int>(day);
    utc.tm_hour = static_cast<int>(hour);
    utc.tm_min = static_cast<int>(minute);
    utc.tm_sec = static_cast<int>(second);
    const time_t at = timegm(&utc) - zone;
    struct tm local;
    if (localtime_r(&at, &local) != nullptr && local.tm_year >= 0 &&
        local.tm_year <= LASTSTAMPYEAR - FIRSTSTAMPYEAR) {
      SplitYear(local.tm_year, &century, &year);
      month = local.tm_mon + 1;
      day = local.tm_mday;
      hour = local.tm_hour;
      minute = local.tm_min;
      second = local.tm_sec;
    }
  }

  if (year == MISSING || month == MISSING || day == MISSING ||
      hour == MISSING || minute == MISSING) {
    struct tm local;
    if (!LocalStampTime(context->Now, &local)) {
      return ev.Result(-1);
    }
    // A line without a year takes the current one unless it names its
    // month: then the same year rule as the syslog kind's.
    const bool dated = year == MISSING && month != MISSING;
    if (year == MISSING) {
      SplitYear(local.tm_year, &century, &year);
    }
    if (month == MISSING) {
      month = local.tm_mon + 1;
    }
    if (day == MISSING) {
      day = local.tm_mday;
    }
    if (hour == MISSING) {
      hour = local.tm_hour;
    }
    if (minute == MISSING) {
      minute = local.tm_min;
    }
    if (dated) {
      const long years = YearOfYearlessDate(
          local, static_cast<int>(month), static_cast<int>(day),
          static_cast<int>(hour), static_cast<int>(minute),
          static_cast<int>(second));
      if (years >= 0 && years <= LASTSTAMPYEAR - FIRSTSTAMPYEAR) {
        SplitYear(years, &century, &year);
      }
    }
  }

  // Room for any longs, so that a wrong length is reported, never written.
  char stamp[160];
  const int written = snprintf(stamp, sizeof stamp, ENTRYTIMEFORMAT, century,
                               year, month, day, hour, minute, second, ms / 10);
  if (written != ENTRYTIMECHARS) {
    WEX1_TRACE(wex1, WEX1_ERROR, EntryTimeLengthMsg, ENTRYTIMECHARS, written);
    return ev.Result(-1);
  }
  memcpy(dest, stamp, ENTRYTIMECHARS);
  dest[ENTRYTIMECHARS] = static_cast<char>('0' + ms % 10);
  return ev.Result(0);
}
