// One syslog line turned into the entry columns of a VXLOGENT row, with no
// log object and no worker: the formatting of the syslog kind, for
// monitoring, reports, tests and benchmarks alike.
//
// Two line shapes, in any mix within one file:
//   "Mmm dd hh:mm:ss host source: text"   (day blank-padded or not; no year)
//   "YYYY-MM-DDThh:mm:ss[.fraction](Z|+hh:mm|-hh:mm) host source: text"
// The month name is English with a capital; the second shape also takes a
// lower-case 't'/'z' or a blank in place of the 'T'. ENTRYTIME is local time
// in both: a year-less date takes its year from YearOfYearlessDate, a zoned
// one is converted from its own zone, and its fraction gives the
// milliseconds (cut, not rounded, so that a stamp never moves to the next
// second). Host is the first word after the time stamp. Source is the word
// after it up to a colon or a blank; a name with blanks is kept whole when
// its last word carries a process id and a ": " follows it within the width
// of ENTRYSRC ("Microsoft Word[14463]: saved"), so that the words of a
// tag-less message ("kernel eth0 link is down: carrier lost") stay text. A
// line beginning "last message repeated " after the
// host, or a blank there, has no source. The rest of the line, without a
// trailing newline, is ENTRYDESC.
#ifndef QOR_AGENT_SYSLOG_LINE_H_
#define QOR_AGENT_SYSLOG_LINE_H_

#include <stddef.h>
#include <time.h>

struct tvx_vxlogent_data_t;

// Blank-fills `row` and fills ENTRYTIME, ENTRYSYS, ENTRYSRC and ENTRYDESC
// from the `length` bytes at `line` (no terminator needed; nothing past
// `length` is read). `now` is the local broken-down time a year-less date
// is measured against. 0, or -1 for a line of neither shape or with an
// impossible date, time or zone (the row is then blank). Thread-safe.
// `stamp_length`, when given, takes the length of the line's time stamp
// with the blank after it.
long FormatSyslogLine(const char* line, size_t length, const struct tm& now,
                      tvx_vxlogent_data_t* row, size_t* stamp_length = nullptr);
// FormatSyslogLine for a line whose time stamp was read before: its first
// `stamp_length` bytes (at most `length`) are the stamp and the blank after
// it, and `stamp` is its ENTRYTIME.
void FormatStampedSyslogLine(const char* line, size_t length,
                             size_t stamp_length, const char* stamp,
                             tvx_vxlogent_data_t* row);
// FormatStampedSyslogLine for a row whose ENTRYTIME to ENTRYDESC are
// blank already: writes only what the line fills.
void FillStampedSyslogLine(const char* line, size_t length, size_t stamp_length,
                           const char* stamp, tvx_vxlogent_data_t* row);

// The steps of FormatSyslogLine, for callers that fill one column at a
// time. Each reads [pos, end) only.
// Writes the 16-character ENTRYTIME of the time stamp at `line` to `stamp`
// (no terminator): the position where the host begins, or null (nothing
// written) when the line opens with neither time stamp shape.
const char* SyslogLineTime(const char* line, const char* end,
                           const struct tm& now, char* stamp);
// Copies the word at `pos` to `dest`, at most `width` characters: the
// position after the one white-space character that ends it.
const char* SyslogLineHost(const char* pos, const char* end, char* dest,
                           size_t width);
// Copies the message source at `pos` to `dest`, at most `width`
// characters: the position where the text begins.
const char* SyslogLineSource(const char* pos, const char* end, char* dest,
                             size_t width);

#endif  // QOR_AGENT_SYSLOG_LINE_H_
