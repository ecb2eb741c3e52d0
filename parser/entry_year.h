// The year of an entry whose time stamp has none (syslog lines, user formats
// without a year field), one rule for monitoring and reports alike.
#ifndef QOR_PARSER_ENTRY_YEAR_H_
#define QOR_PARSER_ENTRY_YEAR_H_

#include <time.h>

// Years since 1900 of the date month/day hour:minute:second (month 1-12):
// the latest of the years of `now`, the one after and the one before in
// which the date lies no more than a day after `now` (local broken-down
// time; only its year, month, day and time of day are read). A December
// line read in early January is last year's; a January 1st line read a
// minute before midnight on December 31st, from a host whose clock runs
// ahead, is next year's. Pure and thread-safe.
int YearOfYearlessDate(const struct tm& now, int month, int day, int hour,
                       int minute, int second);

// Years since 1900 of the date month/day hour:minute:second (month 1-12)
// of an entry read just before the entry dated `newer` (a report reads a
// log newest first): the year of `newer`, unless the date lies more than
// half a year after it (the dates stepped back across a new year: a
// December entry before a January one), then the year before, or more than
// half a year before it (a clock ahead across a new year), then the year
// after. An entry out of order by days or weeks (a device whose clock is
// behind) keeps the year. Only the year, month, day and time of day of
// `newer` are read. Pure and thread-safe.
int YearBeforeEntry(const struct tm& newer, int month, int day, int hour,
                    int minute, int second);

// Which of the two rules dates a year-less stamp.
enum class Year_Rule {
  kNotAfterNow,      // against the clock: YearOfYearlessDate
  kBeforeNewerEntry  // against the entry after it in a report: YearBeforeEntry
};

// YearOfYearlessDate or YearBeforeEntry, as `rule` says.
int YearOfDate(Year_Rule rule, const struct tm& reference, int month, int day,
               int hour, int minute, int second);

#endif  // QOR_PARSER_ENTRY_YEAR_H_
