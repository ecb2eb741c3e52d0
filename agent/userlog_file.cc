#include "agent/userlog_file.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <new>

#include "agent/valid_log.h"
#include "framework/wex1.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/errno_text.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

// Every time text is read in this base.
constexpr int BASE10 = 10;

// Output slots of the keyword table, by PrintIndex.
constexpr int YEARSLOT = 0;
constexpr int MONTHSLOT = 1;
constexpr int DAYSLOT = 2;
constexpr int HOURSLOT = 3;
constexpr int MINUTESLOT = 4;
constexpr int SECONDSLOT = 5;
constexpr int SYSTEMSLOT = 6;
constexpr int SOURCESLOT = 7;
constexpr int TYPESLOT = 8;
constexpr int CLASSSLOT = 9;
constexpr int DESCRIPTIONSLOT = 10;
static_assert(NUMKEYWORDS == 11, "one output slot per keyword");

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

// ENTRYTIME: century digit, year, month, day, hour, minute, second and
// "00"; the sixteenth character, '0', is set apart.
const char ENTRYTIMEFORMAT[] = "%ld%02ld%02ld%02ld%02ld%02ld%02ld00";
constexpr int ENTRYTIMECHARS = 15;

// A part of the entry time not (validly) given.
constexpr long MISSING = -1;

const char MemoryAllocErrMsg[] =
    "\nError: memory allocation failed for %d bytes; monitoring not started for file %s. errno = %d; %s";
const char ParserErrMsg[] =
    "\nError occurred while interpreting format command for file %s; monitoring not started. ";
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
const char ClockErrMsg[] =
    "\nError: unable to determine current time to complete event entrytime. errno = %d; %s.";
const char EntryTimeLengthMsg[] =
    "\nError: formatting of entrytime into table row failed; expected to write %d characters but wrote %d.";
const char AnchorMissingMsg[] =
    "\nError: StringParser anchor missing for file %s. Report request terminating. ";
const char BufferMsg[] = "\nRead buffer of size %ld allocated for file %s.";
const char PrintSelfMsg[] = "\n\tSPAnchor\t\t= %p\n\tNumericMonth\t\t= %d\n";

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

}  // namespace

Userlog_File::Userlog_File(const Valid_Log& log, Log_File* anchor)
    : Log_File(log, anchor), NumericMonth(1), FixedNow(0) {
  WEX1_Event ev(wex1, __func__);
  if (WEX1_On(wex1, WEX1_FLOW)) {
    ulPrintSelf();
  }
  lfStartThread();
}

Userlog_File::~Userlog_File() {
  WEX1_Event ev(wex1, __func__);
  lfStopThread();
  Posix_Mutex::Hold hold(&FormatLock);
  SPAnchor.reset();
}

void Userlog_File::PrintSelf() {
  ulPrintSelf();
}

void Userlog_File::ulPrintSelf() {
  lfPrintSelf();
  const void* chain = nullptr;
  {
    Posix_Mutex::Hold hold(&FormatLock);
    chain = SPAnchor.get();
  }
  WEX1_Printf(wex1, PrintSelfMsg, chain, static_cast<int>(NumericMonth.load()));
}

time_t Userlog_File::ulNow() const {
  const time_t fixed = FixedNow;
  return fixed != 0 ? fixed : time(nullptr);
}

bool Userlog_File::ulCompileFormat() {
  {
    Posix_Mutex::Hold hold(&FormatLock);
    if (SPAnchor != nullptr) {
      return true;
    }
  }
  // Only the worker compiles, so nothing else can store a chain meanwhile;
  // the lock is not held while the parser traces its work.
  _KeywordFields keywords[NUMKEYWORDS + 1];
  memcpy(keywords, KEYWORDS, sizeof keywords);
  errno = 0;
  StringParser* const chain = new (std::nothrow)
      StringParser(LogProcedure != nullptr ? LogProcedure : "", keywords);
  if (chain == nullptr) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, MemoryAllocErrMsg,
               static_cast<int>(sizeof(StringParser)), Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    lfSetMonitorStatus(MONITOR_ERR_MEMORY);
    return false;
  }
  if (chain->ObjectStatus != OBJECT_LEARNED) {
    delete chain;
    WEX1_TRACE(wex1, WEX1_ERROR, ParserErrMsg, Name(LogFileName));
    lfSetMonitorStatus(MONITOR_ERR_PARSER);
    return false;
  }
  Posix_Mutex::Hold hold(&FormatLock);
  SPAnchor.reset(chain);
  return true;
}

void Userlog_File::lfProcessLogData() {
  WEX1_Event ev(wex1, __func__);
  if (!ulCompileFormat()) {
    return;
  }
  lfFOpenLogAndSeek();
  if (LogFileP != nullptr) {
    struct timeval interval;
    interval.tv_sec = 1;
    interval.tv_usec = 0;
    lfWaitForEventLoop(interval);
    lfFCloseLog();
  }
}

long Userlog_File::lfFormatEntryAsRow(char* entry, void* row_arg,
                                      void* report) {
  WEX1_Event ev(wex1, __func__);
  tvx_vxlogent_data_t* const row = static_cast<tvx_vxlogent_data_t*>(row_arg);
  if (row == nullptr) {
    return ev.Result(-1);
  }
  memset(row, ' ', sizeof *row);
  _EntryTimeBuffers times;
  memset(&times, 0, sizeof times);
  // The time texts keep their last character for the terminator; the row's
  // columns are blank-filled and take no terminator.
  _FormatBuffer slots[NUMKEYWORDS];
  slots[YEARSLOT] = {times.Year, ENTRYTIMETEXTSIZE - 1};
  slots[MONTHSLOT] = {times.Month, ENTRYTIMETEXTSIZE - 1};
  slots[DAYSLOT] = {times.Day, ENTRYTIMETEXTSIZE - 1};
  slots[HOURSLOT] = {times.Hour, ENTRYTIMETEXTSIZE - 1};
  slots[MINUTESLOT] = {times.Minute, ENTRYTIMETEXTSIZE - 1};
  slots[SECONDSLOT] = {times.Second, ENTRYTIMETEXTSIZE - 1};
  slots[SYSTEMSLOT] = {row->entrysys, sizeof row->entrysys};
  slots[SOURCESLOT] = {row->entrysrc, sizeof row->entrysrc};
  slots[TYPESLOT] = {row->entrytype, sizeof row->entrytype};
  slots[CLASSSLOT] = {row->entryclass, sizeof row->entryclass};
  slots[DESCRIPTIONSLOT] = {row->entrydesc, sizeof row->entrydesc};

  // One line at a time through the chain, whichever thread formats it.
  Posix_Mutex::Hold hold(&FormatLock);
  if (SPAnchor == nullptr ||
      SPAnchor->spFormatLine(entry != nullptr ? entry : "", slots) < 1) {
    return ev.Result(-1);
  }
  const long rc = ulFormatEntryTime(row->entrytime, &times, report);
  if (rc == 0) {
    lfFillCommonColumns(row);
  }
  return ev.Result(rc);
}

long Userlog_File::ulFormatEntryTime(char* dest, const _EntryTimeBuffers* times,
                                     void* report) {
  WEX1_Event ev(wex1, __func__);
  long century = MISSING;
  long year = MISSING;
  long month = MISSING;
  long day = MISSING;
  long hour = MISSING;
  long minute = MISSING;
  long second = 0;

  if (times->Year[0] != '\0') {
    // A negative year has no place in a stamp.
    const long value = WholeNumber(times->Year, 0, LONG_MAX);
    if (value == MISSING) {
      WEX1_TRACE(wex1, WEX1_ERROR, InvalidYearMsg, times->Year);
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
    if (NumericMonth == 1) {
      value = MonthNumber(times->Month);
      if (value == MISSING) {
        value = MonthName(times->Month);
        if (value != 0) {
          NumericMonth = 0;
        }
      }
    } else {
      value = MonthName(times->Month);
      if (value == 0) {
        NumericMonth = 1;
        value = MonthNumber(times->Month);
      }
    }
    if (value >= 1) {
      month = value;
    } else {
      WEX1_TRACE(wex1, WEX1_ERROR, InvalidMonthMsg, times->Month);
    }
  }

  if (times->Day[0] != '\0') {
    day = WholeNumber(times->Day, 1, 31);
    if (day == MISSING) {
      WEX1_TRACE(wex1, WEX1_ERROR, InvalidDayMsg, times->Day);
    }
  }
  if (times->Hour[0] != '\0') {
    hour = Hour(times->Hour);
    if (hour == MISSING) {
      WEX1_TRACE(wex1, WEX1_ERROR, InvalidHourMsg, times->Hour);
    }
  }
  if (times->Minute[0] != '\0') {
    minute = WholeNumber(times->Minute, 0, 59);
    if (minute == MISSING) {
      WEX1_TRACE(wex1, WEX1_ERROR, InvalidMinuteMsg, times->Minute);
    }
  }
  if (times->Second[0] != '\0') {
    second = WholeNumber(times->Second, 0, 59);
    if (second == MISSING) {
      WEX1_TRACE(wex1, WEX1_ERROR, InvalidSecondMsg, times->Second);
      second = 0;
    }
  }

  if (report != nullptr && year == MISSING && month != MISSING &&
      day != MISSING) {
    UserlogBufferInfo* const info = static_cast<UserlogBufferInfo*>(report);
    if (month > info->lastMonth ||
        (month == info->lastMonth && day > info->lastDay)) {
      // Read newest first: a later date than the line after it means the
      // year before.
      if (info->lastYear > 0) {
        --info->lastYear;
      } else if (info->lastCentury > 0) {
        --info->lastCentury;
        info->lastYear = 99;
      }
    }
    century = info->lastCentury;
    year = info->lastYear;
    info->lastMonth = month;
    info->lastDay = day;
  }

  if (year == MISSING || month == MISSING || day == MISSING ||
      hour == MISSING || minute == MISSING) {
    errno = 0;
    const time_t now = ulNow();
    struct tm local;
    if (now == static_cast<time_t>(-1) ||
        localtime_r(&now, &local) == nullptr || local.tm_year < 0 ||
        local.tm_year > LASTSTAMPYEAR - FIRSTSTAMPYEAR) {
      const int e = errno;
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR, ClockErrMsg, e, ErrnoText(e, eb, sizeof eb));
      return ev.Result(-1);
    }
    if (year == MISSING) {
      // A line without a year whose month lies after the current month was
      // written last year (a December line read in January).
      const long years = month != MISSING && month > local.tm_mon + 1 && local.tm_year > 0
                             ? local.tm_year - 1
                             : local.tm_year;
      SplitYear(years, &century, &year);
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
  }

  // Room for any longs, so that a wrong length is reported, never written.
  char stamp[160];
  const int written = snprintf(stamp, sizeof stamp, ENTRYTIMEFORMAT, century,
                               year, month, day, hour, minute, second);
  if (written != ENTRYTIMECHARS) {
    WEX1_TRACE(wex1, WEX1_ERROR, EntryTimeLengthMsg, ENTRYTIMECHARS, written);
    return ev.Result(-1);
  }
  memcpy(dest, stamp, ENTRYTIMECHARS);
  dest[ENTRYTIMECHARS] = '0';
  return ev.Result(0);
}

void* Userlog_File::lfStartReportRequest(void* /*thresholds*/) {
  WEX1_Event ev(wex1, __func__);
  {
    Posix_Mutex::Hold hold(&FormatLock);
    if (SPAnchor == nullptr) {
      WEX1_TRACE(wex1, WEX1_ERROR, AnchorMissingMsg, Name(LogFileName));
      return nullptr;
    }
  }
  if (OptimumBlockSize == 0 && lfDetermineOptimumBlockSize() != 0) {
    return nullptr;
  }
  // Never changes once set, so every fill of this report fits the buffer.
  const uint64_t block = OptimumBlockSize;
  UserlogBufferInfo* const info = lfNewReportHandle<UserlogBufferInfo>(block);
  if (info == nullptr) {
    return nullptr;
  }
  void* handle = info;
  // The year the newest lines take: that of the time the report begins.
  errno = 0;
  const time_t now = ulNow();
  struct tm local;
  if (now == static_cast<time_t>(-1) || localtime_r(&now, &local) == nullptr ||
      local.tm_year < 0 || local.tm_year > LASTSTAMPYEAR - FIRSTSTAMPYEAR) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, ClockErrMsg, e, ErrnoText(e, eb, sizeof eb));
    ulDeallocateReportBuffers(&handle);
    return nullptr;
  }
  long century = 0;
  long year = 0;
  SplitYear(local.tm_year, &century, &year);
  info->lastCentury = century;
  info->lastYear = year;
  info->lastMonth = local.tm_mon + 1;
  info->lastDay = local.tm_mday;
  if (lfOpenLogForReport(info) < 0) {
    ulDeallocateReportBuffers(&handle);
    return nullptr;
  }
  info->bytesInBuffer = 0;
  info->buffer[block] = '\0';
  WEX1_TRACE(wex1, WEX1_FLOW, BufferMsg, static_cast<long>(block),
             Name(LogFileName));
  return handle;
}

void Userlog_File::lfEndReportRequest(void** report) {
  WEX1_Event ev(wex1, __func__);
  lfReleaseReport<UserlogBufferInfo>(report, true);
}

void Userlog_File::ulDeallocateReportBuffers(void** report) {
  WEX1_Event ev(wex1, __func__);
  lfReleaseReport<UserlogBufferInfo>(report, false);
}
