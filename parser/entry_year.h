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

#endif  // QOR_PARSER_ENTRY_YEAR_H_
