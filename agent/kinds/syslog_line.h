// One syslog line turned into the entry columns of a VXLOGENT row, with no
// log object and no worker: the formatting of the syslog kind, for
// monitoring, reports, tests and benchmarks alike.
//
// Two line shapes, in any mix within one file:
//   "Mmm dd hh:mm:ss host source: text"   (day blank-padded or not; no year)
//   "YYYY-MM-DDThh:mm:ss[.fraction](Z|+hh:mm|-hh:mm) host source: text"
// The month name is English with a capital; the second shape also takes a
// lower-case 't'/'z' or a blank in place of the 'T'. ENTRYTIME is local time
// in both: a year-less date takes its year from YearOfDate, a zoned
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
#ifndef QOR_AGENT_KINDS_SYSLOG_LINE_H_
#define QOR_AGENT_KINDS_SYSLOG_LINE_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "parser/entry_year.h"
#include "tables/teskal_time.h"

struct tvx_vxlogent_data_t;

// Blank-fills `row` and fills ENTRYTIME, ENTRYSYS, ENTRYSRC and ENTRYDESC
// from the `length` bytes at `line` (no terminator needed; nothing past
// `length` is read). `now` is the local broken-down time a year-less date
// is measured against, by `rule` (a report measures each entry against the
// one after it). 0, or -1 for a line of neither shape or with an
// impossible date, time or zone (the row is then blank). Thread-safe.
// `stamp_length`, when given, takes the length of the line's time stamp
// with the blank after it.
long FormatSyslogLine(const char* line, size_t length, const struct tm& now,
                      tvx_vxlogent_data_t* row, size_t* stamp_length = nullptr,
                      Year_Rule rule = Year_Rule::kNotAfterNow);
// FormatSyslogLine for a row whose ENTRYTIME to ENTRYDESC are blank
// already: writes only what the line fills, and nothing for -1.
long FillSyslogLine(const char* line, size_t length, const struct tm& now,
                    tvx_vxlogent_data_t* row, size_t* stamp_length,
                    Year_Rule rule = Year_Rule::kNotAfterNow);
// FormatSyslogLine for a line whose time stamp was read before: its first
// `stamp_length` bytes (at most `length`) are the stamp and the blank after
// it, and `stamp` is its ENTRYTIME.
void FormatStampedSyslogLine(const char* line, size_t length,
                             size_t stamp_length, const char* stamp,
                             tvx_vxlogent_data_t* row);
// FormatStampedSyslogLine for a row whose ENTRYTIME to ENTRYDESC are
// blank already: writes only what the line fills (`stamp` may be the
// row's own ENTRYTIME).
void FillStampedSyslogLine(const char* line, size_t length, size_t stamp_length,
                           const char* stamp, tvx_vxlogent_data_t* row);

// The time stamp of the line formatted last, so that the lines after it
// that repeat it are not read again: a line of a busy log mostly carries
// the stamp of the line before, or, zoned with a fraction, the same second
// in the same zone with another fraction. `reference` is what the caller
// dated the stamp against (the second of its clock): a stamp repeats only
// within the same reference.
class Syslog_Stamp_Memo {
 public:
  // Whether `line` (`length` bytes) opens with the stamp kept, or with the
  // same zoned second; then *stamp_length and the 16 characters at
  // `entrytime` take what SyslogLineTime would give for it.
  bool Repeated(const char* line, size_t length, time_t reference,
                size_t* stamp_length, char* entrytime) const {
    if (length_ == 0 || reference != reference_) {
      return false;
    }
    if (fraction_end_ != 0) {
      return RepeatedSecond(line, length, stamp_length, entrytime);
    }
    if (length >= length_ && SameText(line, length_)) {
      *stamp_length = length_;
      memcpy(entrytime, entrytime_, TIMESTAMPLENGTH);
      return true;
    }
    return false;
  }
  // Keeps the stamp that SyslogLineTime found in the first `stamp_length`
  // bytes at `line` (with the blank after it) and its ENTRYTIME.
  void Keep(const char* line, size_t stamp_length, time_t reference,
            const char* entrytime);

 private:
  // Whether the `n` bytes at `line` are those of text_; a year-less stamp
  // and its blank (16 bytes) are compared without a call.
  bool SameText(const char* line, size_t n) const {
    if (n == 2 * sizeof(uint64_t)) {
      uint64_t a[2];
      uint64_t b[2];
      memcpy(a, line, sizeof a);
      memcpy(b, text_, sizeof b);
      return ((a[0] ^ b[0]) | (a[1] ^ b[1])) == 0;
    }
    return memcmp(line, text_, n) == 0;
  }
  // Repeated for a line of the same zoned second with other digits.
  bool RepeatedSecond(const char* line, size_t length, size_t* stamp_length,
                      char* entrytime) const;

  static constexpr size_t TEXTBYTES = 40;
  time_t reference_ = 0;
  size_t length_ = 0;  // 0: none
  // Of a zoned stamp with a fraction, the end of its digits; else 0.
  size_t fraction_end_ = 0;
  char text_[TEXTBYTES] = {};
  char entrytime_[TIMESTAMPLENGTH] = {};
};

// The steps of FormatSyslogLine, for callers that fill one column at a
// time. Each reads [pos, end) only.
// Writes the 16-character ENTRYTIME of the time stamp at `line` to `stamp`
// (no terminator): the position where the host begins, or null (nothing
// written) when the line opens with neither time stamp shape.
const char* SyslogLineTime(const char* line, const char* end,
                           const struct tm& now, char* stamp,
                           Year_Rule rule = Year_Rule::kNotAfterNow);
// Copies the word at `pos` to `dest`, at most `width` characters: the
// position after the one white-space character that ends it.
const char* SyslogLineHost(const char* pos, const char* end, char* dest,
                           size_t width);
// Copies the message source at `pos` to `dest`, at most `width`
// characters: the position where the text begins.
const char* SyslogLineSource(const char* pos, const char* end, char* dest,
                             size_t width);

#endif  // QOR_AGENT_KINDS_SYSLOG_LINE_H_
