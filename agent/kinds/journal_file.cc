// Journal_File: the log kind of the systemd journal (type 'J'), read through
// sd-journal.
#include "agent/kinds/journal_file.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "agent/config/config_def.h"
#include "agent/config/valid_log.h"
#include "framework/events/event_sink.h"
#include "framework/runtime/trace.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/timestamp.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/errno_text.h"
#include "util/unique_fd.h"

#include <systemd/sd-journal.h>

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

// Configuration.
const char NotJournalMsg[] =
    "\nLog %s is not a journal: %s. Ignoring remainder of line.";
const char NoJournalFilesMsg[] =
    "\nJournal directory %s holds no journal files yet; it is read once it does.";
const char BadMatchMsg[] =
    "\nMatch term \"%.*s\" of log %s is not valid: %s. Ignoring remainder of line.";
const char NotFileOrDirText[] = "neither a directory nor a regular file";

// Monitoring and reports.
const char OpenErrMsg[] = "\nError opening journal %s. errno = %d; %s";
const char MatchErrMsg[] =
    "\nError applying match term \"%.*s\" to journal %s. errno = %d; %s";
const char SeekTailErrMsg[] =
    "\nError while seeking the tail of journal %s. errno = %d; %s";
const char WaitErrMsg[] =
    "\nError occurred while waiting for entries of journal %s; errno = %d; %s";
const char ReadErrMsg[] =
    "\nError reading %s of journal %s. errno = %d; %s. Reading on as far as the journal allows; further read errors are not traced.";
const char ReportSeekErrMsg[] =
    "\nError while seeking the end of the report window in journal %s. errno = %d; %s";
const char ReportReadErrMsg[] =
    "\nError while reading journal %s for report. errno = %d; %s";
const char ReportWindowErrMsg[] =
    "\nReport window of journal %s cannot be converted; report request terminating.";
const char OpenedMsg[] = "\nJournal %s opened at its tail.";
const char ResumedMsg[] = "\nJournal %s resumes after cursor %s.";
const char CursorErrMsg[] =
    "\nError seeking journal %s to cursor %s; starting at its tail. errno = %d; %s";
const char CursorGapMsg[] =
    "\nThe saved cursor of journal %s (%s) %s; reading from %s: entries may be read "
    "again or have been missed.";
const char PastEndText[] = "is past the journal's end";
const char EmptyCursorText[] = "is empty";
const char CursorTimeText[] = "the oldest entry after the cursor's time";
const char HeadText[] = "its head";

const char BadFileMsg[] =
    "\nJournal file %s of log %s cannot be read: %s. Reading the others.";
// The position of a J log that has read no entry and found none at its
// start: not a cursor (those are "s=...;i=...;...").
const char HEADPOSITION[] = "head";

const char NextEntryText[] = "the next entry";
const char EntryTimeText[] = "an entry's time";

// Names of the PRIORITY and SYSLOG_FACILITY numbers, as journalctl shows
// them.
const char* const PRIORITYWORDS[] = {"emerg",   "alert",  "crit", "err",
                                     "warning", "notice", "info", "debug"};
const char* const FACILITYNAMES[] = {
    "kern",   "user",     "mail",    "daemon",       "auth",     "syslog",
    "lpr",    "news",     "uucp",    "cron",         "authpriv", "ftp",
    "ntp",    "security", "console", "solaris-cron", "local0",   "local1",
    "local2", "local3",   "local4",  "local5",       "local6",   "local7"};

// sd-journal decompresses a field only up to this many bytes: far more
// than the widest column needs, even of a message that is mostly binary.
constexpr size_t DATATHRESHOLD = 8192;
// Characters of the number in "[pid]".
constexpr size_t PIDSIZE = 20;

// The length of the valid UTF-8 character of 2 to 4 bytes that `s` (of
// `n` bytes) begins with, or 0 when it begins with none. C1 controls
// (U+0080 to U+009F) count as none: they are not printable.
size_t Utf8Length(const unsigned char* s, size_t n) {
  const unsigned char b = s[0];
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
    if (b == 0xC2) {
      low = 0xA0;
    }
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) {
      low = 0xA0;
    } else if (b == 0xED) {
      high = 0x9F;  // no surrogates
    }
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) {
      low = 0x90;
    } else if (b == 0xF4) {
      high = 0x8F;
    }
  } else {
    return 0;
  }
  if (n < length || s[1] < low || s[1] > high) {
    return 0;
  }
  for (size_t i = 2; i < length; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) {
      return 0;
    }
  }
  return length;
}

// Copies the printable part of the `n` bytes at `src` into `dest`, at most
// `width` bytes: printable ASCII and whole UTF-8 characters; tabs and line
// ends become blanks, other bytes are left out. Stops before a character
// that does not fit whole. The number of bytes written.
size_t CopyPrintable(char* dest, size_t width, const char* src, size_t n) {
  const unsigned char* const s = reinterpret_cast<const unsigned char*>(src);
  size_t out = 0;
  for (size_t i = 0; i < n && out < width;) {
    const unsigned char c = s[i];
    if (c >= 0x20 && c < 0x7F) {
      dest[out++] = static_cast<char>(c);
      ++i;
    } else if (c == '\t' || c == '\n' || c == '\r') {
      dest[out++] = ' ';
      ++i;
    } else if (c < 0x80) {
      ++i;  // a control character
    } else {
      const size_t length = Utf8Length(s + i, n - i);
      if (length == 0) {
        ++i;  // not UTF-8: binary
      } else if (length > width - out) {
        break;
      } else {
        memcpy(dest + out, s + i, length);
        out += length;
        i += length;
      }
    }
  }
  return out;
}

// One field an entry is read for: the first value of "NAME=" is copied,
// printable part, into `dest` (at most `width` bytes).
struct Field_Slot {
  const char* name;  // with its '='
  char* dest;
  size_t width;
  size_t length;  // bytes copied
  bool seen;
};

// Copies the field at `data` (`n` bytes) into the slot whose name it has,
// unless that slot has its value already.
void FillSlot(Field_Slot* slots, size_t count, const char* data, size_t n) {
  for (size_t i = 0; i < count; ++i) {
    Field_Slot& slot = slots[i];
    if (n == 0 || data[0] != slot.name[0]) {
      continue;
    }
    const size_t name = strlen(slot.name);
    if (n >= name && memcmp(data, slot.name, name) == 0) {
      if (!slot.seen) {
        slot.length =
            CopyPrintable(slot.dest, slot.width, data + name, n - name);
        slot.seen = true;
      }
      return;
    }
  }
}

// Writes the name of the number in `slot` from `names` (`count` of them)
// into a column, or the value itself when it names none.
void NamedNumber(char* dest, size_t width, const Field_Slot& slot,
                 const char* const* names, int count) {
  int n = slot.length > 0 && slot.length <= 3 ? 0 : -1;
  for (size_t i = 0; n >= 0 && i < slot.length; ++i) {
    const char c = slot.dest[i];
    n = c >= '0' && c <= '9' ? n * 10 + (c - '0') : -1;
  }
  const char* const text = n >= 0 && n < count ? names[n] : slot.dest;
  const size_t length = n >= 0 && n < count ? strlen(names[n]) : slot.length;
  memcpy(dest, text, length < width ? length : width);
}

// The 16-character local time stamp of a realtime stamp, with its
// milliseconds. The stamp of the second changes at most once a second:
// each thread keeps the last one it made.
void EntryTime(uint64_t usec, char* dest) {
  thread_local time_t cached_second = -1;
  thread_local char cached_stamp[TIMESTAMPLENGTH];
  const time_t second = static_cast<time_t>(usec / 1000000);
  if (second != cached_second) {
    GenerateTimestamp(second, cached_stamp);
    cached_second = second;
  }
  memcpy(dest, cached_stamp, TIMESTAMPLENGTH - 3);
  const unsigned ms = static_cast<unsigned>(usec / 1000 % 1000);
  dest[TIMESTAMPLENGTH - 3] = static_cast<char>('0' + ms / 100);
  dest[TIMESTAMPLENGTH - 2] = static_cast<char>('0' + ms / 10 % 10);
  dest[TIMESTAMPLENGTH - 1] = static_cast<char>('0' + ms % 10);
}

// The microsecond a window bound names: its second (local time) and its
// milliseconds. An end bound covers its whole millisecond, and its whole
// second when its milliseconds are 000, as a stamp without milliseconds
// does for the other kinds. A bound before 1970 ("0000000000000000" for
// "from the start") is the epoch, the journal's earliest moment. Always
// true: every stamp names a moment.
bool WindowUsec(const char* stamp, bool end, uint64_t* usec) {
  char digits[TIMESTAMPLENGTH + 1] = {};
  memcpy(digits, stamp, strnlen(stamp, TIMESTAMPLENGTH));
  // Years since 1900 ("CYY"): a year before 1970 is taken as the epoch
  // without conversion (which traces such a time as an error); no journal
  // holds entries of the hours a time zone may put between them.
  const bool before_epoch = isdigit(static_cast<unsigned char>(digits[0])) &&
                            isdigit(static_cast<unsigned char>(digits[1])) &&
                            isdigit(static_cast<unsigned char>(digits[2])) &&
                            strncmp(digits, "070", 3) < 0;
  time_t seconds = 0;
  bool clamped = before_epoch;
  if (!before_epoch) {
    Timestamp converted(nullptr, stamp);
    clamped = converted.tsEventTime < 0;
    seconds = clamped ? 0 : converted.tsEventTime;
  }
  if (clamped) {
    memcpy(digits + TIMESTAMPLENGTH - 3, "000", 3);
  }
  unsigned ms = 0;
  for (int i = TIMESTAMPLENGTH - 3; i < TIMESTAMPLENGTH; ++i) {
    ms = ms * 10 + (digits[i] >= '0' && digits[i] <= '9' ? digits[i] - '0' : 0);
  }
  const uint64_t second = static_cast<uint64_t>(seconds) * 1000000;
  if (!end) {
    *usec = second + ms * 1000;
  } else if (ms == 0) {
    *usec = second + 999999;
  } else {
    *usec = second + ms * 1000 + 999;
  }
  return true;
}

bool IsJournalName(const char* name) {
  const size_t n = strlen(name);
  static const char kSuffix[] = ".journal";
  static const char kDirtySuffix[] = ".journal~";
  return (n > sizeof kSuffix - 1 &&
          strcmp(name + n - (sizeof kSuffix - 1), kSuffix) == 0) ||
         (n > sizeof kDirtySuffix - 1 &&
          strcmp(name + n - (sizeof kDirtySuffix - 1), kDirtySuffix) == 0);
}

struct Dir_Closer {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Looks for files named as journal files in `dir` and, when `descend`, in
// its subdirectories (where journald keeps one per machine). *found once
// one is seen; their paths are added to `files` unless it is null. The
// errno of the first of them that cannot be opened for reading, or of a
// directory that cannot be listed; 0 when none failed.
int ScanJournalDir(const std::string& dir, bool descend, bool* found,
                   std::vector<std::string>* files = nullptr) {
  std::unique_ptr<DIR, Dir_Closer> listing(opendir(dir.c_str()));
  if (listing == nullptr) {
    return errno;
  }
  int error = 0;
  while (const struct dirent* e = readdir(listing.get())) {
    if (e->d_name[0] == '.') {
      continue;
    }
    const std::string path = dir + "/" + e->d_name;
    if (IsJournalName(e->d_name)) {
      *found = true;
      if (files != nullptr) {
        files->push_back(path);
      }
      Unique_Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
      if (!fd.valid() && error == 0) {
        error = errno;
      }
      continue;
    }
    struct stat st;
    if (descend && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      const int sub = ScanJournalDir(path, false, found, files);
      if (error == 0) {
        error = sub;
      }
    }
  }
  return error;
}

// Opens the journal directory or journal file at `path` with sd-journal:
// 0, or a negative errno. *is_dir tells which it was.
int OpenPath(const char* path, sd_journal** journal, bool* is_dir) {
  struct stat st;
  *is_dir = false;
  if (stat(path, &st) != 0) {
    return -errno;
  }
  if (S_ISDIR(st.st_mode)) {
    *is_dir = true;
    return sd_journal_open_directory(journal, path, 0);
  }
  if (!S_ISREG(st.st_mode)) {
    return -EINVAL;
  }
  const char* files[] = {path, nullptr};
  return sd_journal_open_files(journal, files, 0);
}

}  // namespace

void Journal_Closer::operator()(sd_journal* journal) const {
  sd_journal_close(journal);
}

Journal_File::Journal_File(const Valid_Log& log, Log_File* anchor)
    : Log_File(log, anchor), ReadErrorTraced(false) {
  WEX1_Event ev(wex1, __func__);
  lfStartWorker();
}

Journal_File::~Journal_File() {
  WEX1_Event ev(wex1, __func__);
  lfStopThread();
}

int Journal_File::jlAddMatches(sd_journal* journal, const char* matches,
                               const char** bad, int* bad_length) {
  const char* const blanks = FIELDDELIMITER1;
  bool after_term = false;  // a "+" may follow
  const char* plus = nullptr;
  for (const char* p = matches + strspn(matches, blanks); *p != '\0';
       p += strspn(p, blanks)) {
    const size_t n = strcspn(p, blanks);
    *bad = p;
    *bad_length = static_cast<int>(n);
    if (n == 1 && *p == '+') {
      if (!after_term) {
        return -EINVAL;
      }
      const int r = sd_journal_add_disjunction(journal);
      if (r < 0) {
        return r;
      }
      after_term = false;
      plus = p;
    } else {
      const int r = sd_journal_add_match(journal, p, n);
      if (r < 0) {
        return r;
      }
      after_term = true;
    }
    p += n;
  }
  if (plus != nullptr && !after_term) {
    *bad = plus;
    *bad_length = 1;
    return -EINVAL;
  }
  return 0;
}

bool Journal_File::jlHoldsJournalFiles(const char* path) {
  bool found = false;
  ScanJournalDir(path, true, &found);
  return found;
}

bool Journal_File::jlCheckConfig(const char* path, const char* matches) {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  if (matches != nullptr) {
    // The terms are checked by sd-journal itself, on a journal of no files.
    sd_journal* none = nullptr;
    const char* no_files[] = {nullptr};
    int r = sd_journal_open_files(&none, no_files, 0);
    Unique_Journal empty(none);
    const char* bad = matches;
    int bad_length = static_cast<int>(strlen(matches));
    if (r >= 0) {
      r = jlAddMatches(empty.get(), matches, &bad, &bad_length);
    }
    if (r < 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, BadMatchMsg, bad_length, bad, path,
                 ErrnoText(-r, eb, sizeof eb));
      return ev.Result(0) != 0;
    }
  }
  sd_journal* opened = nullptr;
  bool is_dir = false;
  const int r = OpenPath(path, &opened, &is_dir);
  Unique_Journal journal(opened);
  // One the agent may not read is a journal all the same; its log shows
  // why it cannot be watched.
  if (r < 0 && r != -EACCES && r != -EPERM) {
    WEX1_TRACE(wex1, WEX1_ERROR, NotJournalMsg, path,
               r == -EINVAL && !is_dir ? NotFileOrDirText
                                       : ErrnoText(-r, eb, sizeof eb));
    return ev.Result(0) != 0;
  }
  if (is_dir) {
    bool found = false;
    if (ScanJournalDir(path, true, &found) == 0 && !found) {
      // journald may not have written there yet: the log waits for its
      // files, listed with its status, as a log whose file is not there.
      WEX1_TRACE(wex1, WEX1_FLOW, NoJournalFilesMsg, path);
    }
  }
  return ev.Result(1) != 0;
}

int Journal_File::jlOpenJournal(Unique_Journal* out) {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  const char* const path = Name(LogFileName);
  sd_journal* opened = nullptr;
  bool is_dir = false;
  int r = OpenPath(path, &opened, &is_dir);
  Unique_Journal journal(opened);
  if (r >= 0) {
    uint64_t usage = 0;
    if (sd_journal_get_usage(journal.get(), &usage) >= 0 && usage == 0 &&
        is_dir) {
      // sd-journal passes over files it cannot open: a directory of which
      // it opened none is empty, or not readable by the agent.
      bool found = false;
      r = -ScanJournalDir(path, true, &found);
    }
  }
  if (r < 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, OpenErrMsg, path, -r,
               ErrnoText(-r, eb, sizeof eb));
    return ev.Result(r);
  }
  if (LogProcedure != nullptr) {
    const char* bad = LogProcedure;
    int bad_length = 0;
    r = jlAddMatches(journal.get(), LogProcedure, &bad, &bad_length);
    if (r < 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, MatchErrMsg, bad_length, bad, path, -r,
                 ErrnoText(-r, eb, sizeof eb));
      return ev.Result(r);
    }
  }
  sd_journal_set_data_threshold(journal.get(), DATATHRESHOLD);
  *out = std::move(journal);
  return ev.Result(0);
}

void Journal_File::lfProcessLogData() {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  Unique_Journal journal;
  if (jlOpenJournal(&journal) != 0) {
    lfSetMonitorStatus(MONITOR_ERR_OPEN);
    return;
  }
  JournalHandle = std::move(journal);
  ReadErrorTraced = false;
  jlTraceBadFiles();
  // Watching starts before the seek, so that no entry written meanwhile
  // goes unnoticed until the next one.
  int r = sd_journal_get_fd(JournalHandle.get());
  if (r < 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, WaitErrMsg, Name(LogFileName), -r,
               ErrnoText(-r, eb, sizeof eb));
    lfSetMonitorStatus(MONITOR_ERR_WAIT);
    JournalHandle.reset();
    return;
  }
  // A saved position first, else where an earlier run of this worker got
  // to, else the tail.
  lfLockLog();
  const std::string resume = ResumeCursor.empty() ? LastCursor : ResumeCursor;
  if (!ResumeCursor.empty()) {
    SavedCursor.Reached(ResumeCursor, 0);
  }
  const bool empty = ResumeEmpty && resume.empty();
  ResumeCursor.clear();
  ResumeEmpty = false;
  lfUnlockLog();
  lfPositionMoved();
  if ((empty ? jlResumeAfterGap(resume, EmptyCursorText)
             : jlSeekStart(resume)) != 0) {
    lfSetMonitorStatus(MONITOR_ERR_SEEK_END);
    JournalHandle.reset();
    return;
  }
  jlPublishCursor();
  while (MonitorStatus == MONITOR_RUNNING) {
    const uint64_t before = NumEvents;
    if (lfReadLog() != 0) {
      lfSetMonitorStatus(MONITOR_ERR_READ);
      break;
    }
    if (NumEvents != before) {
      jlPublishCursor();
    }
    if (MonitorStatus != MONITOR_RUNNING) {
      break;
    }
    r = jlWaitForEntries();
    if (r < 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, WaitErrMsg, Name(LogFileName), -r,
                 ErrnoText(-r, eb, sizeof eb));
      lfSetMonitorStatus(MONITOR_ERR_WAIT);
      break;
    }
  }
  JournalHandle.reset();
}

void Journal_File::jlTraceBadFiles() {
  const char* const path = Name(LogFileName);
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
    return;  // a journal file alone fails to open, with its trace
  }
  bool found = false;
  std::vector<std::string> files;
  ScanJournalDir(path, true, &found, &files);
  for (const std::string& file : files) {
    sd_journal* opened = nullptr;
    const char* one[] = {file.c_str(), nullptr};
    const int r = sd_journal_open_files(&opened, one, 0);
    Unique_Journal closer(opened);
    // One the agent may not read is no fault of the file.
    if (r < 0 && r != -EACCES && r != -EPERM) {
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR, BadFileMsg, file.c_str(), path,
                 ErrnoText(-r, eb, sizeof eb));
    }
  }
}

int Journal_File::jlWaitForEntries() {
  sd_journal* const journal = JournalHandle.get();
  struct pollfd p;
  p.fd = sd_journal_get_fd(journal);
  if (p.fd < 0) {
    return p.fd;
  }
  const int events = sd_journal_get_events(journal);
  if (events < 0) {
    return events;
  }
  p.events = static_cast<short>(events);
  p.revents = 0;
  uint64_t wait_usec = JOURNALWAITUSEC;
  uint64_t until = 0;  // CLOCK_MONOTONIC; UINT64_MAX for no time-out
  if (sd_journal_get_timeout(journal, &until) >= 0 && until != UINT64_MAX) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t now_usec = static_cast<uint64_t>(now.tv_sec) * 1000000 +
                              static_cast<uint64_t>(now.tv_nsec) / 1000;
    const uint64_t left = until > now_usec ? until - now_usec : 0;
    wait_usec = left < wait_usec ? left : wait_usec;
  }
  const int timeout_ms = static_cast<int>((wait_usec + 999) / 1000);
  if (lfWaitForWake(timeout_ms, &p) < 0 && errno != EINTR) {
    return -errno;
  }
  const int r = sd_journal_process(journal);
  return r < 0 ? r : 0;
}

int Journal_File::jlSeekStart(const std::string& cursor) {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  sd_journal* const journal = JournalHandle.get();
  if (cursor == HEADPOSITION) {
    const int r = sd_journal_seek_head(journal);
    if (r >= 0) {
      WEX1_TRACE(wex1, WEX1_FLOW, ResumedMsg, Name(LogFileName), HEADPOSITION);
      return ev.Result(0);
    }
    WEX1_TRACE(wex1, WEX1_ERROR, CursorErrMsg, Name(LogFileName), HEADPOSITION,
               -r, ErrnoText(-r, eb, sizeof eb));
  } else if (!cursor.empty()) {
    int r = sd_journal_seek_cursor(journal, cursor.c_str());
    if (r >= 0) {
      r = sd_journal_next(journal);
    }
    if (r > 0 && sd_journal_test_cursor(journal, cursor.c_str()) <= 0) {
      // The entry is gone (vacuumed): this one came after it and is unread.
      // Stepping back instead would stay here when nothing older is left,
      // and the first read would pass over it.
      jlHandleEntry();
    }
    if (r == 0) {
      // Nothing after it: it is the last entry, or it lies past the
      // journal's end (a state file from a backup, a journal replaced),
      // where every entry written from now on would sort before it and
      // never be read.
      r = sd_journal_seek_tail(journal);
      if (r >= 0) {
        r = sd_journal_previous(journal);
      }
      if (r <= 0 || sd_journal_test_cursor(journal, cursor.c_str()) <= 0) {
        return ev.Result(jlResumeAfterGap(cursor, PastEndText));
      }
    }
    if (r >= 0) {
      WEX1_TRACE(wex1, WEX1_FLOW, ResumedMsg, Name(LogFileName),
                 cursor.c_str());
      return ev.Result(0);
    }
    WEX1_TRACE(wex1, WEX1_ERROR, CursorErrMsg, Name(LogFileName),
               cursor.c_str(), -r, ErrnoText(-r, eb, sizeof eb));
  }
  // At the last entry, so that the next one read is the first new one.
  int r = sd_journal_seek_tail(journal);
  if (r >= 0) {
    r = sd_journal_previous(journal);
  }
  if (r == 0) {
    // No (matching) entry yet: whatever comes is new, from the head on,
    // and so it stays across a restart until one is read.
    r = sd_journal_seek_head(journal);
    lfLockLog();
    LastCursor = HEADPOSITION;
    SavedCursor.Reached(LastCursor, Event_Sink::ThreadSequence());
    lfUnlockLog();
    lfPositionMoved();
  }
  if (r < 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, SeekTailErrMsg, Name(LogFileName), -r,
               ErrnoText(-r, eb, sizeof eb));
    return ev.Result(r);
  }
  WEX1_TRACE(wex1, WEX1_FLOW, OpenedMsg, Name(LogFileName));
  return ev.Result(0);
}

int Journal_File::jlResumeAfterGap(const std::string& cursor, const char* why) {
  WEX1_Event ev(wex1, __func__);
  sd_journal* const journal = JournalHandle.get();
  // The cursor's realtime stamp: its "t=" field, in hexadecimal.
  uint64_t usec = 0;
  const size_t t = cursor.find("t=");
  if (t != std::string::npos && (t == 0 || cursor[t - 1] == ';')) {
    usec = strtoull(cursor.c_str() + t + 2, nullptr, 16);
  }
  int r = 0;
  if (usec != 0 && sd_journal_seek_realtime_usec(journal, usec + 1) >= 0) {
    r = sd_journal_next(journal);
  }
  const char* from = CursorTimeText;
  if (r > 0) {
    jlHandleEntry();  // stood on, unread
  } else {
    from = HeadText;
    r = sd_journal_seek_head(journal);
    if (r < 0) {
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR, SeekTailErrMsg, Name(LogFileName), -r,
                 ErrnoText(-r, eb, sizeof eb));
      return ev.Result(r);
    }
    lfLockLog();
    LastCursor = HEADPOSITION;
    SavedCursor.Reached(LastCursor, Event_Sink::ThreadSequence());
    lfUnlockLog();
    lfPositionMoved();
  }
  WEX1_TRACE(wex1, WEX1_ERROR, CursorGapMsg, Name(LogFileName),
             cursor.empty() ? "\"\"" : cursor.c_str(), why, from);
  return ev.Result(0);
}

void Journal_File::jlPublishCursor() {
  char* cursor = nullptr;
  if (sd_journal_get_cursor(JournalHandle.get(), &cursor) < 0) {
    return;  // not on an entry: nothing read yet
  }
  lfLockLog();
  const bool moved = LastCursor != cursor;
  if (moved) {
    LastCursor = cursor;
    // The events of the entries read so far came from this thread.
    SavedCursor.Reached(LastCursor, Event_Sink::ThreadSequence());
  }
  lfUnlockLog();
  free(cursor);
  if (moved) {
    lfPositionMoved();
  }
}

bool Journal_File::lfGetPosition(Log_Position* position) {
  lfLockLog();
  // A saved cursor not yet taken up (the journal could not be opened so
  // far) is kept for the next run.
  std::string cursor;
  if (!SavedCursor.Get(&cursor)) {
    cursor = ResumeCursor;
  }
  const bool known = !cursor.empty();
  if (known) {
    *position = Log_Position();
    position->path = Name(LogFileName);
    position->text = cursor;
  }
  lfUnlockLog();
  return known;
}

void Journal_File::lfSetPosition(const Log_Position& position) {
  lfLockLog();
  ResumeCursor = position.text;
  ResumeEmpty = position.text.empty() && position.device == 0 &&
                position.inode == 0 && position.offset == 0;
  lfUnlockLog();
}

long Journal_File::lfReadLog() {
  WEX1_Event ev(wex1, __func__);
  sd_journal* const journal = JournalHandle.get();
  while (true) {
    for (int i = 0; i < JOURNALBATCH; ++i) {
      const int r = sd_journal_next(journal);
      if (r == 0) {
        return ev.Result(0);
      }
      if (r < 0) {
        // sd-journal drops a file it cannot read on from its set; what is
        // left is read at the next pass.
        jlTraceReadError(&ReadErrorTraced, NextEntryText, -r);
        return ev.Result(0);
      }
      jlHandleEntry();
    }
    if (MonitorStatus != MONITOR_RUNNING) {
      return ev.Result(0);
    }
  }
}

void Journal_File::jlHandleEntry() {
  // The entry's fields are needed only for its debug record; its message
  // goes with its event.
  char text[MAXRECSIZE];
  text[0] = '\0';
  unsigned length = 0;
  if (LogDebugMode == LOGDEBUGMODEON) {
    length = jlEntryText(JournalHandle.get(), text, sizeof text);
  }
  const char* message = nullptr;
  size_t message_length = 0;
  JournalMessage.clear();
  if (jlMessage(JournalHandle.get(), &message, &message_length)) {
    JournalMessage.assign(message, message_length);
  }
  lfHandleEntry(text, length, JournalMessage.data(), JournalMessage.size());
}

bool Journal_File::jlMessage(sd_journal* journal, const char** text,
                             size_t* length) {
  static const char kField[] = "MESSAGE=";
  const void* data = nullptr;
  size_t n = 0;
  if (journal == nullptr ||
      sd_journal_get_data(journal, "MESSAGE", &data, &n) < 0 ||
      n < sizeof kField - 1) {
    return false;
  }
  *text = static_cast<const char*>(data) + sizeof kField - 1;
  *length = n - (sizeof kField - 1);
  return true;
}

bool Journal_File::lfReportEntryText(void* report, const char** text,
                                     size_t* length) const {
  if (report == nullptr) {
    return false;
  }
  return jlMessage(static_cast<JournalReportInfo*>(report)->journal.get(), text,
                   length);
}

unsigned Journal_File::jlEntryText(sd_journal* journal, char* text,
                                   unsigned size) {
  size_t used = 0;
  const void* data = nullptr;
  size_t length = 0;
  sd_journal_restart_data(journal);
  while (used + 1 < size &&
         sd_journal_enumerate_available_data(journal, &data, &length) > 0) {
    used += CopyPrintable(text + used, size - 1 - used,
                          static_cast<const char*>(data), length);
    if (used + 1 < size) {
      text[used++] = '\n';
    }
  }
  text[used] = '\0';
  return static_cast<unsigned>(used);
}

void Journal_File::jlTraceReadError(bool* traced, const char* what, int error) {
  if (*traced) {
    return;
  }
  *traced = true;
  char eb[128];
  WEX1_TRACE(wex1, WEX1_ERROR, ReadErrMsg, what, Name(LogFileName), error,
             ErrnoText(error, eb, sizeof eb));
}

long Journal_File::lfFormatEntryAsRow(char* /*entry*/, void* row_arg,
                                      void* report) {
  WEX1_Event ev(wex1, __func__);
  tvx_vxlogent_data_t* const row = static_cast<tvx_vxlogent_data_t*>(row_arg);
  JournalReportInfo* const info = static_cast<JournalReportInfo*>(report);
  sd_journal* const journal =
      info != nullptr ? info->journal.get() : JournalHandle.get();
  memset(row, ' ', sizeof *row);
  uint64_t usec = 0;
  const int r = sd_journal_get_realtime_usec(journal, &usec);
  if (r < 0) {
    jlTraceReadError(info != nullptr ? &info->errorTraced : &ReadErrorTraced,
                     EntryTimeText, -r);
    return ev.Result(-1);
  }
  EntryTime(usec, row->entrytime);

  // One pass over the entry's fields; each value is copied at once, since
  // sd-journal may reuse its memory at the next field. Of a field given
  // twice, the first value counts.
  char identifier[sizeof row->entrysrc];
  char command[sizeof row->entrysrc];
  char pid[PIDSIZE];
  char syslog_pid[PIDSIZE];
  char priority[4];
  char facility[4];
  enum { DESC, SYS, IDENTIFIER, COMMAND, PID, SYSLOGPID, PRIORITY, FACILITY };
  Field_Slot slots[] = {
      {"MESSAGE=", row->entrydesc, sizeof row->entrydesc, 0, false},
      {"_HOSTNAME=", row->entrysys, sizeof row->entrysys, 0, false},
      {"SYSLOG_IDENTIFIER=", identifier, sizeof identifier, 0, false},
      {"_COMM=", command, sizeof command, 0, false},
      {"_PID=", pid, sizeof pid, 0, false},
      {"SYSLOG_PID=", syslog_pid, sizeof syslog_pid, 0, false},
      {"PRIORITY=", priority, sizeof priority, 0, false},
      {"SYSLOG_FACILITY=", facility, sizeof facility, 0, false},
  };
  constexpr size_t SLOTS = sizeof slots / sizeof slots[0];
  const void* data = nullptr;
  size_t length = 0;
  sd_journal_restart_data(journal);
  while (sd_journal_enumerate_available_data(journal, &data, &length) > 0) {
    FillSlot(slots, SLOTS, static_cast<const char*>(data), length);
  }
  if (slots[PRIORITY].seen) {
    NamedNumber(row->entrytype, sizeof row->entrytype, slots[PRIORITY],
                PRIORITYWORDS, sizeof PRIORITYWORDS / sizeof PRIORITYWORDS[0]);
  }
  if (slots[FACILITY].seen) {
    NamedNumber(row->entryclass, sizeof row->entryclass, slots[FACILITY],
                FACILITYNAMES, sizeof FACILITYNAMES / sizeof FACILITYNAMES[0]);
  }
  const Field_Slot& named =
      slots[IDENTIFIER].length > 0 ? slots[IDENTIFIER] : slots[COMMAND];
  const Field_Slot& numbered =
      slots[PID].length > 0 ? slots[PID] : slots[SYSLOGPID];
  const char* const name = named.dest;
  size_t name_length = named.length;
  const size_t pid_length = numbered.length;

  // The source: the name, cut so that a "[pid]" after it stays whole.
  const size_t width = sizeof row->entrysrc;
  const size_t pid_room = pid_length > 0 ? pid_length + 2 : 0;
  if (name_length + pid_room > width) {
    // Cut on a character boundary: a character's first byte is not 10xxxxxx.
    name_length = pid_room < width ? width - pid_room : 0;
    while (name_length > 0 &&
           (static_cast<unsigned char>(name[name_length]) & 0xC0) == 0x80) {
      --name_length;
    }
  }
  memcpy(row->entrysrc, name, name_length);
  if (pid_length > 0 && name_length + pid_room <= width) {
    char* const at = row->entrysrc + name_length;
    at[0] = '[';
    memcpy(at + 1, numbered.dest, pid_length);
    at[pid_length + 1] = ']';
  }
  lfFillCommonColumns(row);
  return ev.Result(0);
}

void* Journal_File::lfStartReportRequest(void* thresholds) {
  WEX1_Event ev(wex1, __func__);
  const _RequestThresholds* const window =
      static_cast<const _RequestThresholds*>(thresholds);
  JournalReportInfo* const info = new (std::nothrow) JournalReportInfo();
  if (info == nullptr) {
    lfTraceMemoryFailure(sizeof(JournalReportInfo));
    return nullptr;
  }
  void* handle = info;
  info->startUsec = 0;
  info->endUsec = UINT64_MAX;
  info->errorTraced = false;
  if (window != nullptr &&
      ((window->StartTime[0] != '\0' &&
        !WindowUsec(window->StartTime, false, &info->startUsec)) ||
       (window->EndTime[0] != '\0' &&
        !WindowUsec(window->EndTime, true, &info->endUsec)))) {
    WEX1_TRACE(wex1, WEX1_ERROR, ReportWindowErrMsg, Name(LogFileName));
    lfEndReportRequest(&handle);
    return nullptr;
  }
  if (jlOpenJournal(&info->journal) != 0) {
    lfEndReportRequest(&handle);
    return nullptr;
  }
  // Just after the window's end: stepping back finds its newest entry.
  sd_journal* const journal = info->journal.get();
  const int r = info->endUsec == UINT64_MAX
                    ? sd_journal_seek_tail(journal)
                    : sd_journal_seek_realtime_usec(journal, info->endUsec + 1);
  if (r < 0) {
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, ReportSeekErrMsg, Name(LogFileName), -r,
               ErrnoText(-r, eb, sizeof eb));
    lfEndReportRequest(&handle);
    return nullptr;
  }
  return handle;
}

void* Journal_File::lfGetNextLogEntry(void* row, void* report,
                                      void* /*thresholds*/) {
  WEX1_Event ev(wex1, __func__);
  if (row == nullptr || report == nullptr) {
    return nullptr;
  }
  JournalReportInfo* const info = static_cast<JournalReportInfo*>(report);
  sd_journal* const journal = info->journal.get();
  while (true) {
    const int r = sd_journal_previous(journal);
    if (r == 0) {
      return nullptr;
    }
    if (r < 0) {
      char eb[128];
      WEX1_TRACE(wex1, WEX1_ERROR, ReportReadErrMsg, Name(LogFileName), -r,
                 ErrnoText(-r, eb, sizeof eb));
      return nullptr;
    }
    uint64_t usec = 0;
    const int t = sd_journal_get_realtime_usec(journal, &usec);
    if (t < 0) {
      jlTraceReadError(&info->errorTraced, EntryTimeText, -t);
      continue;
    }
    if (usec > info->endUsec) {
      continue;  // newer than the window
    }
    if (usec < info->startUsec) {
      return nullptr;  // older than the window, and so is everything before
    }
    if (lfFormatEntryAsRow(nullptr, row, info) == 0) {
      return row;
    }
  }
}

void Journal_File::lfEndReportRequest(void** report) {
  WEX1_Event ev(wex1, __func__);
  if (report == nullptr || *report == nullptr) {
    return;
  }
  delete static_cast<JournalReportInfo*>(*report);
  *report = nullptr;
}

int Journal_File::lfStatLog(int64_t* size, time_t* modified) {
  WEX1_Event ev(wex1, __func__);
  Unique_Journal journal;
  const int r = jlOpenJournal(&journal);
  if (r < 0) {
    return -r;
  }
  uint64_t usage = 0;
  if (sd_journal_get_usage(journal.get(), &usage) < 0) {
    usage = 0;
  }
  *size = usage > static_cast<uint64_t>(INT64_MAX)
              ? INT64_MAX
              : static_cast<int64_t>(usage);
  uint64_t newest = 0;
  if (sd_journal_seek_tail(journal.get()) >= 0 &&
      sd_journal_previous(journal.get()) > 0 &&
      sd_journal_get_realtime_usec(journal.get(), &newest) >= 0) {
    *modified = static_cast<time_t>(newest / 1000000);
    return 0;
  }
  struct stat st;
  if (stat(Name(LogFileName), &st) != 0) {
    return errno;
  }
  *modified = st.st_mtime;
  return 0;
}
