// The year of an entry whose time stamp has none.
#include "parser/entry_year.h"

namespace {

constexpr long SECONDSPERDAY = 86400;
// Half a year: an entry dated this far from the one after it lies across
// a new year from it.
constexpr long HALFYEAR = 183 * SECONDSPERDAY;
// Days of the year before the first of each month in a common year.
constexpr int DAYSBEFOREMONTH[12] = {0,   31,  59,  90,  120, 151,
                                     181, 212, 243, 273, 304, 334};

bool LeapYear(int years_since_1900) {
  const int y = years_since_1900 + 1900;
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Seconds from the start of the year to the date in it; out-of-range
// months are clamped so that a bad field never indexes past the table.
long SecondsIntoYear(int years_since_1900, int month, int day, int hour,
                     int minute, int second) {
  const int m = month < 1 ? 1 : (month > 12 ? 12 : month);
  long days = DAYSBEFOREMONTH[m - 1] + day - 1;
  if (m > 2 && LeapYear(years_since_1900)) {
    ++days;
  }
  return days * SECONDSPERDAY + hour * 3600L + minute * 60L + second;
}

}  // namespace

int YearOfYearlessDate(const struct tm& now, int month, int day, int hour,
                       int minute, int second) {
  const int year = now.tm_year;
  // Everything measured from the start of the year of `now`.
  const long limit = SecondsIntoYear(year, now.tm_mon + 1, now.tm_mday,
                                     now.tm_hour, now.tm_min, now.tm_sec) +
                     SECONDSPERDAY;
  const long days_this_year = LeapYear(year) ? 366 : 365;
  const long next_year =
      days_this_year * SECONDSPERDAY +
      SecondsIntoYear(year + 1, month, day, hour, minute, second);
  if (next_year <= limit) {
    return year + 1;
  }
  if (SecondsIntoYear(year, month, day, hour, minute, second) <= limit) {
    return year;
  }
  return year - 1;
}

int YearBeforeEntry(const struct tm& newer, int month, int day, int hour,
                    int minute, int second) {
  const int year = newer.tm_year;
  const long step = SecondsIntoYear(year, month, day, hour, minute, second) -
                    SecondsIntoYear(year, newer.tm_mon + 1, newer.tm_mday,
                                    newer.tm_hour, newer.tm_min, newer.tm_sec);
  if (step > HALFYEAR) {
    return year - 1;
  }
  if (step < -HALFYEAR) {
    return year + 1;
  }
  return year;
}

int YearOfDate(Year_Rule rule, const struct tm& reference, int month, int day,
               int hour, int minute, int second) {
  return rule == Year_Rule::kBeforeNewerEntry
             ? YearBeforeEntry(reference, month, day, hour, minute, second)
             : YearOfYearlessDate(reference, month, day, hour, minute, second);
}
