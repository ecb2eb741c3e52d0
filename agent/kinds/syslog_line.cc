// One syslog line turned into the entry columns of a VXLOGENT row, for the
// syslog kind, its reports and the benchmarks.
#include "agent/kinds/syslog_line.h"

#include <stdint.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parser/entry_year.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"

namespace {

const char MONTHS[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
constexpr int MONTHCHARS = 3;
constexpr int DAYSINMONTH[12] = {31, 29, 31, 30, 31, 30,
                                 31, 31, 30, 31, 30, 31};

// Shortest stamps: "Mmm d hh:mm:ss" and "YYYY-MM-DDThh:mm:ssZ".
constexpr ptrdiff_t BSDMINLENGTH = 14;
constexpr ptrdiff_t RFCMINLENGTH = 20;
constexpr int CLOCKCHARS = 8;     // "hh:mm:ss"
constexpr int RFCDATECHARS = 11;  // "YYYY-MM-DDT"
constexpr int OFFSETCHARS = 6;    // "+hh:mm"
// Years a zoned line may carry: their local time always has a stamp (three
// digits of years since 1900) whatever the zones involved.
constexpr int FIRSTZONEDYEAR = 1902;
constexpr int LASTZONEDYEAR = 2898;
constexpr int MAXSTAMPYEAR = 999;
// Positions in the stamp.
constexpr int STAMPMILLIS = 13;

const char LASTMESSAGEREPEATED[] = "last message repeated ";
constexpr size_t LASTMESSAGEREPEATEDLENGTH = sizeof LASTMESSAGEREPEATED - 1;
constexpr char SOURCETERMINATOR = ':';

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
// isspace as every locale of the C library has it for a single byte (the
// spaces past ASCII take more than one), without its table lookup per byte.
bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The `count` digits at `p` as a number, or -1 when one is not a digit.
int Digits(const char* p, int count) {
  int value = 0;
  for (int i = 0; i < count; ++i) {
    if (!IsDigit(p[i])) {
      return -1;
    }
    value = value * 10 + (p[i] - '0');
  }
  return value;
}

bool LeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// "hh:mm:ss" at `p` (CLOCKCHARS readable), each field in range; a leap
// second (60) is a real time.
bool Clock(const char* p, int* hour, int* minute, int* second) {
  if (p[2] != ':' || p[5] != ':') {
    return false;
  }
  *hour = Digits(p, 2);
  *minute = Digits(p + 3, 2);
  *second = Digits(p + 6, 2);
  return *hour >= 0 && *hour <= 23 && *minute >= 0 && *minute <= 59 &&
         *second >= 0 && *second <= 60;
}

void Put2(char* dest, int value) {
  dest[0] = static_cast<char>('0' + value / 10 % 10);
  dest[1] = static_cast<char>('0' + value % 10);
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t DaysFromCivil(int year, int month, int day) {
  const int64_t y = year - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The time stamp of `t` in local time; false when it has none (traced).
// Lines of a log mostly follow each other within a minute: each thread
// keeps the stamp of the last minute it converted and sets the seconds,
// as long as the zone's offset from UTC is whole minutes (it is for every
// zone but some before 1900).
bool LocalStamp(time_t t, char* stamp) {
  static const char kNoStamp[TIMESTAMPLENGTH + 1] = "0000000000000000";
  thread_local bool cached = false;
  thread_local time_t cached_minute = 0;
  thread_local char minute_stamp[TIMESTAMPLENGTH];
  const int seconds = static_cast<int>((t % 60 + 60) % 60);
  const time_t minute = t - seconds;
  if (!cached || minute != cached_minute) {
    GenerateTimestamp(minute, minute_stamp);
    cached = memcmp(minute_stamp, kNoStamp, TIMESTAMPLENGTH) != 0;
    cached_minute = minute;
  }
  if (cached && minute_stamp[11] == '0' && minute_stamp[12] == '0') {
    memcpy(stamp, minute_stamp, TIMESTAMPLENGTH);
    Put2(stamp + 11, seconds);
    return true;
  }
  GenerateTimestamp(t, stamp);
  return memcmp(stamp, kNoStamp, TIMESTAMPLENGTH) != 0;
}

// "Mmm dd hh:mm:ss" or "Mmm d hh:mm:ss": the position after the seconds.
const char* BsdTime(const char* p, const char* end, const struct tm& now,
                    Year_Rule rule, char* stamp) {
  if (end - p < BSDMINLENGTH) {
    return nullptr;
  }
  // Only at a month's own offset: "anF" is no month.
  int month = 0;
  for (int k = 0; MONTHS[k] != '\0'; k += MONTHCHARS) {
    if (memcmp(p, MONTHS + k, MONTHCHARS) == 0) {
      month = k / MONTHCHARS + 1;
      break;
    }
  }
  if (month == 0 || p[3] != ' ') {
    return nullptr;
  }
  const char* q = p + 4;
  if (*q == ' ') {
    ++q;  // blank-padded day
  }
  if (!IsDigit(*q)) {
    return nullptr;
  }
  int day = *q++ - '0';
  if (IsDigit(*q)) {
    day = day * 10 + (*q++ - '0');
  }
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (end - q < 1 + CLOCKCHARS || *q != ' ' ||
      !Clock(q + 1, &hour, &minute, &second) || day < 1 ||
      day > DAYSINMONTH[month - 1]) {
    return nullptr;
  }
  int year = YearOfDate(rule, now, month, day, hour, minute, second);
  year = year < 0 ? 0 : (year > MAXSTAMPYEAR ? MAXSTAMPYEAR : year);
  stamp[0] = static_cast<char>('0' + year / 100);
  Put2(stamp + 1, year % 100);
  Put2(stamp + 3, month);
  Put2(stamp + 5, day);
  Put2(stamp + 7, hour);
  Put2(stamp + 9, minute);
  Put2(stamp + 11, second);
  memcpy(stamp + STAMPMILLIS, "000", 3);
  return q + 1 + CLOCKCHARS;
}

// "YYYY-MM-DDThh:mm:ss[.fraction](Z|+hh:mm|-hh:mm)": the position after the
// zone.
const char* ZonedTime(const char* p, const char* end, char* stamp) {
  if (end - p < RFCMINLENGTH || p[4] != '-' || p[7] != '-' ||
      (p[10] != 'T' && p[10] != 't' && p[10] != ' ')) {
    return nullptr;
  }
  const int year = Digits(p, 4);
  const int month = Digits(p + 5, 2);
  const int day = Digits(p + 8, 2);
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (year < FIRSTZONEDYEAR || year > LASTZONEDYEAR || month < 1 ||
      month > 12 || day < 1 ||
      day > DAYSINMONTH[month - 1] - (month == 2 && !LeapYear(year)) ||
      !Clock(p + RFCDATECHARS, &hour, &minute, &second)) {
    return nullptr;
  }
  const char* q = p + RFCDATECHARS + CLOCKCHARS;
  char millis[3] = {'0', '0', '0'};
  if (*q == '.') {
    const char* const digits = ++q;
    while (q < end && IsDigit(*q)) {
      if (q - digits < 3) {
        millis[q - digits] = *q;
      }
      ++q;
    }
    if (q == digits) {
      return nullptr;
    }
  }
  if (q >= end) {
    return nullptr;
  }
  int64_t offset = 0;
  if (*q == 'Z' || *q == 'z') {
    ++q;
  } else if (*q == '+' || *q == '-') {
    if (end - q < OFFSETCHARS || q[3] != ':') {
      return nullptr;
    }
    const int hours = Digits(q + 1, 2);
    const int minutes = Digits(q + 4, 2);
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) {
      return nullptr;
    }
    offset = (*q == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    q += OFFSETCHARS;
  } else {
    return nullptr;
  }
  const int64_t utc = DaysFromCivil(year, month, day) * 86400 + hour * 3600 +
                      minute * 60 + second - offset;
  if (!LocalStamp(static_cast<time_t>(utc), stamp)) {
    return nullptr;  // no local form (traced)
  }
  memcpy(stamp + STAMPMILLIS, millis, sizeof millis);
  return q;
}

// Whether the text [begin, end) ends with a word that carries "[digits]"
// after at least one other character of that word.
bool EndsWithProcessId(const char* begin, const char* end) {
  if (end - begin < 4 || end[-1] != ']') {
    return false;
  }
  const char* p = end - 2;
  while (p > begin && IsDigit(*p)) {
    --p;
  }
  return p < end - 2 && *p == '[' && p > begin && !IsSpace(p[-1]);
}

}  // namespace

const char* SyslogLineTime(const char* line, const char* end,
                           const struct tm& now, char* stamp, Year_Rule rule) {
  if (line == nullptr || end <= line) {
    return nullptr;
  }
  char text[TIMESTAMPLENGTH];
  const char* const pos = IsDigit(line[0])
                              ? ZonedTime(line, end, text)
                              : BsdTime(line, end, now, rule, text);
  // The stamp ends at a blank: "Jan  1 00:00:00x" is no stamp.
  if (pos == nullptr || pos >= end || !IsBlank(*pos)) {
    return nullptr;
  }
  memcpy(stamp, text, TIMESTAMPLENGTH);
  return pos + 1;
}

const char* SyslogLineHost(const char* pos, const char* end, char* dest,
                           size_t width) {
  size_t copied = 0;
#if defined(__SSE2__)
  // While the line holds 16 more bytes, the first space among them is
  // found by mask (as signed bytes, those past ASCII are no space).
  while (end - pos >= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pos));
    const __m128i space =
        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')),
                     _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('\t' - 1)),
                                   _mm_cmplt_epi8(x, _mm_set1_epi8('\r' + 1))));
    const auto found = static_cast<unsigned>(_mm_movemask_epi8(space));
    const size_t run =
        found != 0 ? static_cast<size_t>(__builtin_ctz(found)) : 16;
    const size_t take = run < width - copied ? run : width - copied;
    memcpy(dest + copied, pos, take);
    copied += take;
    pos += run;
    if (found != 0) {
      return pos + 1;
    }
  }
#endif
  for (; pos < end && !IsSpace(*pos); ++pos) {
    if (copied < width) {
      dest[copied++] = *pos;
    }
  }
  return pos < end ? pos + 1 : pos;
}

const char* SyslogLineSource(const char* pos, const char* end, char* dest,
                             size_t width) {
  if (static_cast<size_t>(end - pos) >= LASTMESSAGEREPEATEDLENGTH &&
      *pos == LASTMESSAGEREPEATED[0] &&
      memcmp(pos, LASTMESSAGEREPEATED, LASTMESSAGEREPEATEDLENGTH) == 0) {
    return pos;
  }
  const char* q = pos;
#if defined(__SSE2__)
  // The first colon or space among 16 bytes at a time, as for the host.
  while (end - q >= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i stop = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')),
                     _mm_cmpeq_epi8(x, _mm_set1_epi8(SOURCETERMINATOR))),
        _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('\t' - 1)),
                      _mm_cmplt_epi8(x, _mm_set1_epi8('\r' + 1))));
    const auto found = static_cast<unsigned>(_mm_movemask_epi8(stop));
    if (found != 0) {
      q += __builtin_ctz(found);
      break;
    }
    q += 16;
  }
#endif
  while (q < end && *q != SOURCETERMINATOR && !IsSpace(*q)) {
    ++q;
  }
  if (q > pos && q < end && IsSpace(*q)) {
    // A name with blanks ends at the first ": " within the column's width
    // when its last word carries a process id ("Microsoft Word[14463]: ");
    // any other colon first, or a text before ": " without one ("kernel
    // eth0 link is down: ..."), means the word alone is the source.
    const char* const limit =
        static_cast<size_t>(end - pos) > width ? pos + width : end;
    for (const char* c = q; c < limit; ++c) {
      if (*c == SOURCETERMINATOR) {
        if (c + 1 < end && c[1] == ' ' && EndsWithProcessId(q, c)) {
          q = c;
        }
        break;
      }
    }
  }
  const size_t length = static_cast<size_t>(q - pos);
  memcpy(dest, pos, length < width ? length : width);
  if (q < end && *q == SOURCETERMINATOR) {
    // The colon and the blank after it.
    ++q;
    if (q < end && *q == ' ') {
      ++q;
    }
  } else if (q < end) {
    ++q;
  }
  return q;
}

namespace {

// The newline ends the line and a CR before it belongs to that end.
const char* LineEnd(const char* line, size_t length) {
  const char* end = line + length;
  if (end > line && end[-1] == '\n') {
    --end;
    if (end > line && end[-1] == '\r') {
      --end;
    }
  }
  return end;
}

// The columns after the time stamp, from `pos` (where the host begins).
void FormatAfterStamp(const char* pos, const char* end,
                      tvx_vxlogent_data_t* row) {
  pos = SyslogLineHost(pos, end, row->entrysys, sizeof row->entrysys);
  pos = SyslogLineSource(pos, end, row->entrysrc, sizeof row->entrysrc);
  const size_t rest = static_cast<size_t>(end - pos);
  memcpy(row->entrydesc, pos,
         rest < sizeof row->entrydesc ? rest : sizeof row->entrydesc);
}

}  // namespace

long FormatSyslogLine(const char* line, size_t length, const struct tm& now,
                      tvx_vxlogent_data_t* row, size_t* stamp_length,
                      Year_Rule rule) {
  memset(row, ' ', sizeof *row);
  return FillSyslogLine(line, length, now, row, stamp_length, rule);
}

long FillSyslogLine(const char* line, size_t length, const struct tm& now,
                    tvx_vxlogent_data_t* row, size_t* stamp_length,
                    Year_Rule rule) {
  if (line == nullptr) {
    return -1;
  }
  const char* const end = LineEnd(line, length);
  const char* pos = SyslogLineTime(line, end, now, row->entrytime, rule);
  if (pos == nullptr) {
    return -1;
  }
  if (stamp_length != nullptr) {
    *stamp_length = static_cast<size_t>(pos - line);
  }
  FormatAfterStamp(pos, end, row);
  return 0;
}

void FormatStampedSyslogLine(const char* line, size_t length,
                             size_t stamp_length, const char* stamp,
                             tvx_vxlogent_data_t* row) {
  memset(row, ' ', sizeof *row);
  FillStampedSyslogLine(line, length, stamp_length, stamp, row);
}

void FillStampedSyslogLine(const char* line, size_t length, size_t stamp_length,
                           const char* stamp, tvx_vxlogent_data_t* row) {
  if (stamp != row->entrytime) {
    memcpy(row->entrytime, stamp, TIMESTAMPLENGTH);
  }
  const char* const end = LineEnd(line, length);
  FormatAfterStamp(line + (stamp_length < length ? stamp_length : length), end,
                   row);
}

namespace {

// "YYYY-MM-DDThh:mm:ss." : the part of a zoned stamp before its fraction.
constexpr size_t ZONEDSECONDCHARS = RFCDATECHARS + CLOCKCHARS + 1;

}  // namespace

bool Syslog_Stamp_Memo::RepeatedSecond(const char* line, size_t length,
                                       size_t* stamp_length,
                                       char* entrytime) const {
  if (length <= ZONEDSECONDCHARS ||
      memcmp(line, text_, ZONEDSECONDCHARS) != 0) {
    return false;
  }
  // The same second and, after other digits, the same zone and blank: the
  // same instant but for the milliseconds, which the digits give as
  // ZonedTime takes them (the first three, cut, not rounded).
  size_t q = ZONEDSECONDCHARS;
  while (q < length && IsDigit(line[q])) {
    ++q;
  }
  const size_t zone = length_ - fraction_end_;
  if (q == ZONEDSECONDCHARS || length - q < zone ||
      memcmp(line + q, text_ + fraction_end_, zone) != 0) {
    return false;
  }
  *stamp_length = q + zone;
  memcpy(entrytime, entrytime_, STAMPMILLIS);
  for (size_t i = 0; i < 3; ++i) {
    const size_t at = ZONEDSECONDCHARS + i;
    entrytime[STAMPMILLIS + i] = at < q ? line[at] : '0';
  }
  return true;
}

void Syslog_Stamp_Memo::Keep(const char* line, size_t stamp_length,
                             time_t reference, const char* entrytime) {
  if (stamp_length == 0 || stamp_length > sizeof text_) {
    length_ = 0;
    return;
  }
  memcpy(text_, line, stamp_length);
  memcpy(entrytime_, entrytime, TIMESTAMPLENGTH);
  length_ = stamp_length;
  reference_ = reference;
  fraction_end_ = 0;
  // A zoned stamp (it begins with a digit; a year-less one with a month
  // name) with a fraction: where the fraction's digits end.
  if (IsDigit(text_[0]) && length_ > ZONEDSECONDCHARS &&
      text_[ZONEDSECONDCHARS - 1] == '.') {
    size_t q = ZONEDSECONDCHARS;
    while (q < length_ && IsDigit(text_[q])) {
      ++q;
    }
    fraction_end_ = q;
  }
}
