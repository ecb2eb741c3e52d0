// The entry time of a user-formatted line: the texts a format command writes
// for the time keywords (year ... second, time, fraction), turned into the
// 16-digit ENTRYTIME text. Shared by the agent and tvxmapper; pure apart
// from the clock and the trace.
#ifndef QOR_PARSER_ENTRY_TIME_H_
#define QOR_PARSER_ENTRY_TIME_H_

#include <stddef.h>
#include <stdint.h>
#include <time.h>

// Characters of the ENTRYTIME text FormatUserlogEntryTime writes.
constexpr int ENTRYTIMEDIGITS = 16;

// Characters of one entry-time text, terminator included. The parser writes
// at most ENTRYTIMETEXTSIZE - 1 of them, so every text stays terminated.
constexpr int ENTRYTIMETEXTSIZE = 8;
// The same for the whole time stamp of a time directive and for a fraction.
constexpr int ENTRYSTAMPTEXTSIZE = 32;
constexpr int ENTRYFRACTIONTEXTSIZE = 16;

// The texts the format writes for the entry-time fields of one line; an
// empty text is a field the format does not name (or left empty).
struct _EntryTimeBuffers {
  char Year[ENTRYTIMETEXTSIZE];
  char Month[ENTRYTIMETEXTSIZE];
  char Day[ENTRYTIMETEXTSIZE];
  char Hour[ENTRYTIMETEXTSIZE];
  char Minute[ENTRYTIMETEXTSIZE];
  char Second[ENTRYTIMETEXTSIZE];
  // The field named `time`: "YYYY-MM-DD hh:mm:ss[.mmm]" in local time, as the
  // time directives print it. When given, it supplies the whole entry time.
  char Time[ENTRYSTAMPTEXTSIZE];
  // The field named `fraction`: the digits after the second's point.
  char Fraction[ENTRYFRACTIONTEXTSIZE];
  // The field named `zone`: Z, UTC, GMT, +hh, +hhmm or +hh:mm (or -). With a
  // full date and time the parts are converted from it to local time.
  char Zone[ENTRYFRACTIONTEXTSIZE];
};

// Bits of the entry-time parts that were present but invalid, and so were
// replaced (by the current time's part; the second and the fraction by 0).
constexpr unsigned REPLACED_YEAR = 0x01;
constexpr unsigned REPLACED_MONTH = 0x02;
constexpr unsigned REPLACED_DAY = 0x04;
constexpr unsigned REPLACED_HOUR = 0x08;
constexpr unsigned REPLACED_MINUTE = 0x10;
constexpr unsigned REPLACED_SECOND = 0x20;
constexpr unsigned REPLACED_TIME = 0x40;
constexpr unsigned REPLACED_FRACTION = 0x80;
constexpr unsigned REPLACED_ZONE = 0x100;  // ignored: the parts stay local

// What a report carries from one line to the next older one: the year, and
// the month and day of the line converted last. Read newest first, a line
// without a year takes the year of the line after it, changed only where
// the dates cross a new year (YearBeforeEntry); the first line takes the
// year before the report's when its month and day lie after the report's
// start.
struct _UserlogYearCarry {
  int64_t lastCentury;  // century digit of lastYear: 0 for 19xx, 1 for 20xx
  int64_t lastYear;     // two digits
  int64_t lastMonth;    // 1-12
  int64_t lastDay;      // 1-31
  bool entryRead;       // the date is a line's, not the report's start
};

// The surroundings of one conversion.
struct _UserlogLineContext {
  time_t Now;                // the current time; 0 takes the clock
  uint8_t NumericMonth;      // in/out: 1 tries month numbers first, 0 names
  _UserlogYearCarry* Carry;  // a report's carry; null while monitoring
  unsigned Replaced;         // out: REPLACED_* bits of the last conversion
};

// Reads a zone at `text`: Z (or z), +hh, +hhmm or +hh:mm (or '-'), and
// with `names` also UTC and GMT. Returns the characters read (0 when no zone
// begins there) with the offset from UTC in seconds in *offset, or -1 for a
// zone that is malformed or farther than 14:00 from UTC.
int ReadZone(const char* text, bool names, long* offset);

// Cuts the line's final newline, and a carriage return before it, in place:
// they end the line and belong to no field. Returns the length left.
size_t CutLineEnd(char* line);

// Starts a report's carry at `now` (0: the clock), the time the report
// begins: its year, month and day. False, traced, when the local time cannot
// be had (nothing set).
bool StartUserlogYearCarry(time_t now, _UserlogYearCarry* carry);

// Writes the 16-digit ENTRYTIME of `times` to `dest` (not terminated).
// Invalid parts are traced, marked in context->Replaced and, like missing
// ones, taken from the current local time (the second and the fraction are
// 0 instead); with a carry a missing year is carried (see _UserlogYearCarry),
// which then takes this line's month and day. Updates context->NumericMonth.
// 0, or -1 when the local time is needed but cannot be had (nothing written).
long FormatUserlogEntryTime(char* dest, const _EntryTimeBuffers* times,
                            _UserlogLineContext* context);

#endif  // QOR_PARSER_ENTRY_TIME_H_
