// Log_File's report reading: a report walks its log from the end towards the
// beginning, one block at a time, on a descriptor of its own. Kept apart from
// log_file.cc because it runs on the runtime's request threads and shares
// nothing with the worker but OptimumBlockSize.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/config/config_def.h"
#include "agent/kinds/log_file.h"
#include "framework/runtime/bounded_regex.h"
#include "framework/runtime/trace.h"
#include "parser/entry_joiner.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/errno_text.h"
#include "util/safe_open.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char OpenErrMsg[] = "\nError opening file %s for report. errno = %d; %s";
const char NotRegularMsg[] =
    "\nError opening file %s for report: not a regular file.";
const char EmptyMsg[] = "\nLog %s is empty; report request terminating.";
const char EmptyRotatedMsg[] =
    "\nLog %s is empty; the report reads its rotated files.";
const char SeekEOFErrMsg[] =
    "\nError while seeking EOF for report on file %s. errno = %d; %s";
const char OpenedMsg[] = "\nfd %d opened for report on %s; file size is %ld.";
const char CloseErrMsg[] =
    "\nError closing fd %d for report on file %s. errno = %d; %s";
const char ClosedMsg[] = "\nfd %d closed for report on %s.";
const char StatErrMsg[] = "\nstat() command failed for %s; errno = %d; %s.";
const char PushedMsg[] = "\n%d bytes pushed back onto buffer for file %s.";
const char ShortReadMsg[] =
    "\nError while reading file %s. Bytes requested = %ld. Bytes received = %d.";
const char BlockReadMsg[] = "\n%ld bytes read from file %s from offset %ld.";
const char TooManyErrorsMsg[] =
    "\nError: more than %d consecutive errors have occurred while trying to build report for log %s. Report request is terminating.";

const char RotatedMsg[] = "\nReport on %s goes on in rotated file %s.";
const char RotatedErrMsg[] = "\nRotated file %s not read for report: %s.";

// Most bytes a compressed rotated file is unpacked to for a report.
constexpr int64_t MAXUNPACKEDBYTES = int64_t{1} << 30;

// Scans of a log's directory at most for two in a row that agree.
constexpr int MAXROTATEDSCANS = 4;

// Block size when the file system names no preferred one.
constexpr uint64_t DEFAULTBLOCKSIZE = 8192;
// Bytes a report reads at least at once: the last hour of a busy log is
// megabytes, and a read per 4 KiB page costs more than scanning the page.
constexpr uint64_t REPORTREADBYTES = 64 * 1024;

// A failed fill leaves nothing unconsumed and nothing in front of the block,
// so that the kind's scan sees the start of the file with no entry left and
// ends the report, instead of formatting what a failed read left behind.
long FillFailed(_LogBufferInfo* info) {
  info->readFailed = true;
  info->bytesLeft = 0;
  info->bytesInBuffer = 0;
  info->buffer[0] = '\0';
  return 0;
}

}  // namespace

long Log_File::lfOpenLogForReport(_LogBufferInfo* info) {
  WEX1_Event ev(wex1, __func__);
  char eb[128];
  const char* const path = Name(LogFileName);
  // Opened as the worker opens it: never blocking (a FIFO in the log's
  // place), and not through a symlink others could have planted.
  info->fd = OpenPathSafely(path, File_Tail::SafeOpenFlags(path, false),
                            nullptr, nullptr);
  if (info->fd < 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, OpenErrMsg, path, e,
               ErrnoText(e, eb, sizeof eb));
    info->fd = -1;
    return ev.Result(-1);
  }
  struct stat st;
  if (fstat(info->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    WEX1_TRACE(wex1, WEX1_ERROR, NotRegularMsg, path);
    lfCloseLogForReport(info->fd);
    info->fd = -1;
    return ev.Result(-1);
  }
  info->owner = st.st_uid;
  info->readFiles.push_back({path, static_cast<uint64_t>(st.st_dev),
                             static_cast<uint64_t>(st.st_ino), st.st_mtim});
  const off_t size = lseek(info->fd, 0, SEEK_END);
  const int e = errno;
  info->bytesLeft = size;
  if (size == 0 && (LogType == SYSLOGTYPE || LogType == USERLOGTYPE)) {
    // Just rotated: the entries are in the rotated files, which the report
    // reads on to from the start of this one.
    WEX1_TRACE(wex1, WEX1_FLOW, EmptyRotatedMsg, Name(LogFileName));
    return ev.Result(info->fd);
  }
  if (size < 1) {
    lfCloseLogForReport(info->fd);
    info->fd = -1;
    info->bytesLeft = 0;
    if (size == 0) {
      WEX1_TRACE(wex1, WEX1_FLOW, EmptyMsg, Name(LogFileName));
    } else {
      WEX1_TRACE(wex1, WEX1_ERROR, SeekEOFErrMsg, Name(LogFileName), e,
                 ErrnoText(e, eb, sizeof eb));
    }
    return ev.Result(-1);
  }
  WEX1_TRACE(wex1, WEX1_FLOW, OpenedMsg, info->fd, Name(LogFileName),
             static_cast<long>(size));
  return ev.Result(info->fd);
}

bool Log_File::lfReportUnreadable(char* why, size_t size) {
  if (LogType == ERRLOGTYPE || LogType == JOURNALTYPE) {
    return false;  // read through a command or a library, not opened here
  }
  const char* const path = Name(LogFileName);
  struct stat st;
  if (stat(path, &st) != 0) {
    const int e = errno;
    char eb[128];
    snprintf(why, size, "cannot read log %s: %s", path,
             ErrnoText(e, eb, sizeof eb));
    return true;
  }
  if (!S_ISREG(st.st_mode)) {
    snprintf(why, size, "log %s is not a regular file", path);
    return true;
  }
  return false;
}

void Log_File::lfCloseLogForReport(long fd) {
  WEX1_Event ev(wex1, __func__);
  if (fd < 0) {
    return;
  }
  if (close(static_cast<int>(fd)) != 0) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, CloseErrMsg, static_cast<int>(fd),
               Name(LogFileName), e, ErrnoText(e, eb, sizeof eb));
  } else {
    WEX1_TRACE(wex1, WEX1_FLOW, ClosedMsg, static_cast<int>(fd),
               Name(LogFileName));
  }
}

unsigned char Log_File::lfDetermineOptimumBlockSize() {
  WEX1_Event ev(wex1, __func__);
  struct stat st;
  if (stat(Name(LogFileName), &st) != 0) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, StatErrMsg, Name(LogFileName), e,
               ErrnoText(e, eb, sizeof eb));
    return static_cast<unsigned char>(ev.Result(1));
  }
  // Only the first value is stored: a report sizes its buffer once, and
  // every later fill of it reads OptimumBlockSize again. Reports read
  // whole multiples of the file system's preferred size.
  const uint64_t preferred = st.st_blksize < 1
                                 ? DEFAULTBLOCKSIZE
                                 : static_cast<uint64_t>(st.st_blksize);
  const uint64_t block =
      preferred >= REPORTREADBYTES
          ? preferred
          : (REPORTREADBYTES + preferred - 1) / preferred * preferred;
  uint64_t unset = 0;
  OptimumBlockSize.compare_exchange_strong(unset, block);
  return static_cast<unsigned char>(ev.Result(0));
}

long Log_File::lfFillReportBuffer(_LogBufferInfo* info) {
  WEX1_Event ev(wex1, __func__);
  // The block in front of the current one ends at bytesLeft. Carry-over: the
  // unconsumed front of the current block becomes the end of the preceding
  // one, so that an entry split by the block boundary is whole in the next
  // buffer.
  if (info->bytesInBuffer > 0 && info->bytesLeft > 0) {
    info->bytesLeft += info->bytesInBuffer;
    WEX1_TRACE(wex1, WEX1_FLOW, PushedMsg,
               static_cast<int>(info->bytesInBuffer), Name(LogFileName));
  }
  const int64_t block_size = static_cast<int64_t>(OptimumBlockSize.load());
  const int64_t size =
      info->bytesLeft < block_size ? info->bytesLeft : block_size;
  if (size < 1) {
    // The start of the file: the buffer keeps what is unconsumed.
    return ev.Result(0);
  }
  const off_t from = static_cast<off_t>(info->bytesLeft - size);
  int64_t received = 0;
  while (received < size) {
    const ssize_t n = pread(info->fd, info->buffer + received,
                            static_cast<size_t>(size - received),
                            from + static_cast<off_t>(received));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    received += n;
  }
  if (received < size) {
    // The log shrank under the report (or could not be read).
    WEX1_TRACE(wex1, WEX1_ERROR, ShortReadMsg, Name(LogFileName),
               static_cast<long>(size), static_cast<int>(received));
    return ev.Result(FillFailed(info));
  }
  info->bytesInBuffer = received;
  if (LogType == SYSLOGTYPE || LogType == USERLOGTYPE) {
    info->buffer[size] = '\0';
  }
  info->bytesLeft -= size;
  WEX1_TRACE(wex1, WEX1_FLOW, BlockReadMsg, static_cast<long>(size),
             Name(LogFileName), static_cast<long>(info->bytesLeft));
  return ev.Result(size);
}

namespace {

// Finds the line that ends at the info's unconsumed end, reading the
// preceding blocks as needed, and cuts it to `keep` bytes from its start.
// True with *start set (the line is buffer[*start, bytesInBuffer)), false
// when no line is left or the log cannot be read.
//
// The scan walks back from the line's last byte to the newline before it.
// Two cases need a decision of their own:
//  - A line longer than a whole block: the part kept is cut while it is
//    scanned (never more than `keep` bytes, and always less than a block),
//    so a carry-over never fills the whole buffer and every fill brings at
//    least one earlier byte of the file.
//  - A cut needed in the block that begins the file: the cut is made in
//    place, before any fill, so the line is still delimited by the newline
//    before it (or by offset 0) and cut to its first `keep` bytes; the
//    lines before it follow one by one.
// Either way the result is the same as cutting one byte per reread block:
// the line's first `keep` bytes.
bool FindPrecedingLine(Log_File* log, _LogBufferInfo* info, int64_t keep,
                       int64_t* start) {
  // A lone newline left at the start of the file ends an empty first line,
  // which is no entry.
  if (info->bytesInBuffer <= 1 && log->lfFillReportBuffer(info) == 0) {
    return false;
  }
  // The line's last byte: its newline, or the last byte of the file.
  int64_t i = info->bytesInBuffer - 1;
  while (true) {
    if (i <= 0) {
      // The line began before this block.
      const int64_t carried = info->bytesInBuffer;
      const int64_t n = log->lfFillReportBuffer(info);
      if (n == 0) {
        // This block begins the file, unless the fill failed and left
        // nothing.
        *start = 0;
        return info->bytesInBuffer > 0;
      }
      if (n <= carried) {
        // No earlier byte came in (cannot happen while keep < block).
        return false;
      }
      // Resume just before the carried bytes, already scanned.
      i = n - carried;
      continue;
    }
    // The newline before the line, if this block holds it; the line's
    // bytes scanned meanwhile are cut to `keep` from the earliest of them.
    const void* nl = memrchr(info->buffer, '\n', static_cast<size_t>(i));
    const int64_t first =
        nl == nullptr ? 0 : static_cast<const char*>(nl) - info->buffer + 1;
    const bool newline = info->buffer[info->bytesInBuffer - 1] == '\n';
    if (info->bytesInBuffer - first - (newline ? 1 : 0) > keep) {
      info->lineCut = true;
    }
    if (info->bytesInBuffer - first > keep) {
      info->bytesInBuffer = first + keep;
    }
    if (nl != nullptr) {
      *start = first;
      return true;
    }
    i = 0;
  }
}

}  // namespace

char* Log_File::lfTakePrecedingEntry(_LogBufferInfo* info) {
  return lfTakePrecedingLine(info, MAXRECSIZE - 1);
}

char* Log_File::lfTakePrecedingLine(_LogBufferInfo* info, int64_t longest) {
  const int64_t block = static_cast<int64_t>(OptimumBlockSize.load());
  const int64_t keep = longest < block - 1 ? longest : block - 1;
  int64_t start = 0;
  if (!info->tailChecked) {
    info->tailChecked = true;
    if (info->bytesInBuffer == 0 && lfFillReportBuffer(info) == 0) {
      return nullptr;
    }
    // A last line without its newline is still being written.
    if (info->buffer[info->bytesInBuffer - 1] != '\n') {
      if (!FindPrecedingLine(this, info, keep, &start)) {
        return nullptr;
      }
      info->bytesInBuffer = start;
    }
  }
  info->lineCut = false;
  if (!FindPrecedingLine(this, info, keep, &start)) {
    return nullptr;
  }
  int64_t end = info->bytesInBuffer;
  if (end - start >= 2 && info->buffer[end - 1] == '\n' &&
      info->buffer[end - 2] == '\r') {
    info->buffer[--end - 1] = '\n';
  }
  info->buffer[end] = '\0';
  // What precedes the line is unconsumed; its last byte is the newline that
  // ends the next line.
  info->bytesInBuffer = start;
  return info->buffer + start;
}

void* Log_File::lfGetNextLogEntry(void* row, void* report, void* thresholds) {
  WEX1_Event ev(wex1, __func__);
  if (row == nullptr || report == nullptr) {
    return nullptr;
  }
  _LogBufferInfo* const info = static_cast<_LogBufferInfo*>(report);
  tvx_vxlogent_data_t* const entry_row = static_cast<tvx_vxlogent_data_t*>(row);
  long unformatted = 0;
  long older = 0;
  while (true) {
    char* const entry = lfTakePrecedingEntry(info);
    if (entry == nullptr) {
      // The start of the file: the window reaches past it unless the
      // entries last read were older than the window. Continuation lines
      // without their start line are no entry.
      info->continuedCount = 0;
      info->continuedBytes = 0;
      if (info->readFailed && !info->readFailedNoted) {
        // Truncated or rewritten under the report: what it held before the
        // failed block is not read, and the reply must not look whole.
        info->readFailedNoted = true;
        info->unreadFiles.push_back(
            (info->readingPath.empty() ? std::string(Name(LogFileName))
                                       : info->readingPath) +
            ": shrank while the report read it; its older entries were not "
            "read");
      }
      info->continuedCut = false;
      if (info->readFailed || older > 0 || !lfOpenNextRotatedFile(info)) {
        return nullptr;
      }
      unformatted = 0;
      continue;
    }
    size_t body = strlen(entry);
    if (body > 0 && entry[body - 1] == '\n') {
      --body;
    }
    info->entryText = entry;
    info->entryLength = body;
    info->entryCut = info->lineCut;
    if (!info->ruleTaken) {
      info->ruleTaken = true;
      info->entryStart = std::atomic_load(&ReportEntryStart);
    }
    if (info->entryStart != nullptr) {
      if (!RegexFinds(*info->entryStart, entry, body)) {
        // A continuation line, kept for the start line before it. Past the
        // limits the lines kept so far made an entry of their own, which
        // begins with no start line: they are dropped.
        if (info->continuedCount + 1 >= MAXENTRYLINES ||
            info->continuedBytes + body + 1 > MAXENTRYBYTES) {
          info->continuedCount = 0;
          info->continuedBytes = 0;
          info->continuedCut = false;
        }
        info->continuedCut = info->continuedCut || info->lineCut;
        if (info->continuedCount == info->continued.size()) {
          info->continued.emplace_back();
        }
        info->continued[info->continuedCount++].assign(entry, body);
        info->continuedBytes += body + 1;
        continue;
      }
      if (info->continuedCount > 0) {
        info->joined.assign(entry, body);
        while (info->continuedCount > 0) {
          info->joined.push_back('\n');
          info->joined += info->continued[--info->continuedCount];
        }
        info->continuedBytes = 0;
        info->entryCut = info->entryCut || info->continuedCut;
        info->continuedCut = false;
        info->entryText = info->joined.data();
        info->entryLength = info->joined.size();
      }
    }
    if (lfFormatEntryAsRow(entry, row, report) != 0) {
      // A blank line, a continuation line, a line of another shape.
      if (++unformatted > MAXUNFORMATTEDENTRIES) {
        WEX1_TRACE(wex1, WEX1_ERROR, TooManyErrorsMsg,
                   static_cast<int>(MAXUNFORMATTEDENTRIES), Name(LogFileName));
        return nullptr;
      }
      continue;
    }
    unformatted = 0;
    const int place = lfPlaceInWindow(entry_row->entrytime, thresholds);
    if (place > 0) {
      older = 0;
      continue;  // newer than the window
    }
    if (place < 0) {
      // Older than the window. One entry out of order (a device with a
      // skewed clock) must not end the report: only a long run of them
      // says that the window lies behind.
      if (++older >= MAXOLDERENTRIES) {
        return nullptr;
      }
      continue;
    }
    return row;
  }
}

int Log_File::lfPlaceInWindow(const char* entrytime, const void* thresholds) {
  const _RequestThresholds* const window =
      static_cast<const _RequestThresholds*>(thresholds);
  if (window == nullptr) {
    return 0;
  }
  if (window->EndTime[0] != '\0' &&
      CompareTimestamp(entrytime, window->EndTime) > 0) {
    return 1;
  }
  if (window->StartTime[0] != '\0' &&
      CompareTimestamp(entrytime, window->StartTime) < 0) {
    return -1;
  }
  return 0;
}

namespace {

// One rotated file of a log: the file and what orders it.
struct Rotated_Name {
  _ReportFile file;
  uint64_t number;  // of NAME.N[.gz]; UINT64_MAX for a dated name
};

// Whether `suffix` (what follows the log's name) names a rotated file:
// ".N" or "-DIGITS" (a date such as 20261207, with an hour or more), each
// optionally followed by ".gz". Sets *number for ".N".
bool RotatedSuffix(const char* suffix, uint64_t* number) {
  const char sep = suffix[0];
  if (sep != '.' && sep != '-') {
    return false;
  }
  const char* p = suffix + 1;
  const char* const digits = p;
  while (*p >= '0' && *p <= '9') {
    ++p;
  }
  const size_t n = static_cast<size_t>(p - digits);
  if (n == 0 || (sep == '-' && n < 8) || (sep == '.' && n > 18)) {
    return false;
  }
  if (*p != '\0' && strcmp(p, ".gz") != 0) {
    return false;
  }
  *number = sep == '.' ? strtoull(digits, nullptr, 10) : UINT64_MAX;
  return true;
}

bool EndsWithGz(const std::string& path) {
  return path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
}

bool SameFile(const _ReportFile& a, uint64_t device, uint64_t inode) {
  return a.device == device && a.inode == inode;
}

bool Listed(const std::vector<_ReportFile>& files, uint64_t device,
            uint64_t inode) {
  return std::any_of(files.begin(), files.end(), [&](const _ReportFile& f) {
    return SameFile(f, device, inode);
  });
}

bool Before(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// The rotated files of the log at `path` as they are named now, in no
// order.
std::vector<Rotated_Name> ScanRotatedFiles(const char* path) {
  std::vector<Rotated_Name> names;
  const char* const slash = strrchr(path, '/');
  if (slash == nullptr || slash[1] == '\0') {
    return names;
  }
  const std::string dir = slash == path ? "/" : std::string(path, slash);
  const char* const base = slash + 1;
  const size_t base_length = strlen(base);
  DIR* const d = opendir(dir.c_str());
  if (d == nullptr) {
    return names;
  }
  while (const struct dirent* e = readdir(d)) {
    uint64_t number = 0;
    if (strncmp(e->d_name, base, base_length) != 0 ||
        !RotatedSuffix(e->d_name + base_length, &number)) {
      continue;
    }
    std::string full = dir == "/" ? "/" : dir + "/";
    full += e->d_name;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) {
      continue;
    }
    names.push_back({{std::move(full), static_cast<uint64_t>(st.st_dev),
                      static_cast<uint64_t>(st.st_ino), st.st_mtim},
                     number});
  }
  closedir(d);
  return names;
}

// Whether two scans found the same files, by identity, under any names.
bool SameFiles(const std::vector<Rotated_Name>& a,
               const std::vector<Rotated_Name>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  return std::all_of(a.begin(), a.end(), [&](const Rotated_Name& n) {
    return std::any_of(b.begin(), b.end(), [&](const Rotated_Name& m) {
      return SameFile(n.file, m.file.device, m.file.inode);
    });
  });
}

// The rotated files of the log at `path` that are older than its file
// `current` (open for the report), newest first: by the time they last
// changed, then NAME.1 before NAME.2 and a later date before an earlier
// one. When a rotation renamed `current` during the report, the files
// changed since it last changed hold newer entries (or are its compressed
// copy) and are left out too.
std::vector<_ReportFile> ListRotatedFiles(const char* path,
                                          const struct stat& current) {
  // A name renamed while the directory is read may be missed: the files
  // are those two scans in a row agree on.
  std::vector<Rotated_Name> names = ScanRotatedFiles(path);
  for (int scan = 1; scan < MAXROTATEDSCANS; ++scan) {
    std::vector<Rotated_Name> again = ScanRotatedFiles(path);
    if (SameFiles(names, again)) {
      break;
    }
    names = std::move(again);
  }
  struct stat named;
  const bool renamed = stat(path, &named) != 0 ||
                       named.st_dev != current.st_dev ||
                       named.st_ino != current.st_ino;
  names.erase(std::remove_if(names.begin(), names.end(),
                             [&](const Rotated_Name& n) {
                               return SameFile(n.file, current.st_dev,
                                               current.st_ino) ||
                                      (renamed && !Before(n.file.modified,
                                                          current.st_mtim));
                             }),
              names.end());
  std::sort(names.begin(), names.end(),
            [](const Rotated_Name& a, const Rotated_Name& b) {
              if (a.file.modified.tv_sec != b.file.modified.tv_sec) {
                return a.file.modified.tv_sec > b.file.modified.tv_sec;
              }
              if (a.number != b.number) {
                return a.number < b.number;
              }
              return a.file.path > b.file.path;
            });
  std::vector<_ReportFile> files;
  files.reserve(names.size());
  for (Rotated_Name& n : names) {
    files.push_back(std::move(n.file));
  }
  return files;
}

// Where the listed rotated file `want` of the log at `path` is now, after a
// rotation during the report renamed it: the rotated name that has its
// identity, or else a compressed copy made of it (a .gz name listed by no
// one before, changed at the same instant); false when neither is there.
bool FindRenamed(const char* path, const _ReportFile& want,
                 const std::vector<_ReportFile>& listed,
                 const std::vector<_ReportFile>& read, _ReportFile* found) {
  const std::vector<Rotated_Name> names = ScanRotatedFiles(path);
  for (const Rotated_Name& n : names) {
    if (SameFile(n.file, want.device, want.inode)) {
      *found = n.file;
      return true;
    }
  }
  for (const Rotated_Name& n : names) {
    if (EndsWithGz(n.file.path) && !EndsWithGz(want.path) &&
        n.file.modified.tv_sec == want.modified.tv_sec &&
        n.file.modified.tv_nsec == want.modified.tv_nsec &&
        !Listed(listed, n.file.device, n.file.inode) &&
        !Listed(read, n.file.device, n.file.inode)) {
      *found = n.file;
      return true;
    }
  }
  return false;
}

// Opens the rotated file `file` as a replacement (no symlink from a
// directory others may write) with *st its status: the descriptor, or -1
// when its name no longer has its identity.
int OpenRotated(const _ReportFile& file, struct stat* st) {
  const int fd = OpenPathSafely(
      file.path, File_Tail::SafeOpenFlags(file.path.c_str(), false), nullptr,
      nullptr);
  if (fd < 0) {
    return -1;
  }
  if (fstat(fd, st) != 0 || !SameFile(file, st->st_dev, st->st_ino)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Unpacks the gzip stream on `fd` (which it closes) into an anonymous
// memory file: that file's descriptor, or -1 with *why set. A stream
// damaged or cut short part way keeps what came before, with *why saying
// so.
int Unpack(int fd, std::string* why) {
  const int out = memfd_create("qoragent-report", MFD_CLOEXEC);
  if (out < 0) {
    char eb[128];
    *why = std::string("cannot unpack: ") + ErrnoText(errno, eb, sizeof eb);
    close(fd);
    return -1;
  }
  gzFile gz = gzdopen(fd, "rb");
  if (gz == nullptr) {
    *why = "cannot unpack: out of memory";
    close(fd);
    close(out);
    return -1;
  }
  gzbuffer(gz, 128 * 1024);
  std::vector<char> chunk(256 * 1024);
  int64_t total = 0;
  while (true) {
    const int n = gzread(gz, chunk.data(), static_cast<unsigned>(chunk.size()));
    int code = Z_OK;
    const char* text = gzerror(gz, &code);
    // zlib names the stream "<fd:N>: ", which says nothing here.
    const char* const named = text != nullptr ? strstr(text, ">: ") : nullptr;
    if (named != nullptr && text[0] == '<') {
      text = named + 3;
    }
    // A stream cut short (a compression killed, a full disk) ends like a
    // whole one, but for the error zlib keeps for it.
    if (n < 0 || (n == 0 && code != Z_OK)) {
      *why = std::string("gzip data damaged after ") + std::to_string(total) +
             " bytes (" + (text != nullptr && *text != '\0' ? text : "?") +
             "); the entries before the damage were read";
      break;
    }
    if (n == 0) {
      break;
    }
    if (total + n > MAXUNPACKEDBYTES) {
      *why = "unpacks to more than " + std::to_string(MAXUNPACKEDBYTES) +
             " bytes; the first of them were read";
      break;
    }
    int64_t done = 0;
    while (done < n) {
      const ssize_t w =
          write(out, chunk.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) {
        continue;
      }
      if (w <= 0) {
        char eb[128];
        *why = std::string("cannot unpack: ") + ErrnoText(errno, eb, sizeof eb);
        gzclose(gz);
        close(out);
        return -1;
      }
      done += w;
    }
    total += n;
  }
  gzclose(gz);
  return out;
}

}  // namespace

bool Log_File::lfOpenNextRotatedFile(_LogBufferInfo* info) {
  WEX1_Event ev(wex1, __func__);
  if (LogType != SYSLOGTYPE && LogType != USERLOGTYPE) {
    return false;
  }
  if (!info->rotatedListed) {
    info->rotatedListed = true;
    struct stat st;
    if (info->fd >= 0 && fstat(info->fd, &st) == 0) {
      info->rotatedFiles = ListRotatedFiles(Name(LogFileName), st);
    }
  }
  while (info->nextRotated < info->rotatedFiles.size()) {
    _ReportFile want = info->rotatedFiles[info->nextRotated++];
    if (Listed(info->readFiles, want.device, want.inode)) {
      continue;
    }
    std::string why;
    // Rotated files are taken as replacements: no symlink from a directory
    // others may write, and only a file of the log's owner or root.
    int fd = OpenPathSafely(want.path,
                            File_Tail::SafeOpenFlags(want.path.c_str(), false),
                            nullptr, nullptr);
    const int open_errno = errno;
    struct stat st;
    const bool opened = fd >= 0 && fstat(fd, &st) == 0;
    if ((fd < 0 && open_errno == ENOENT) ||
        (opened && !SameFile(want, st.st_dev, st.st_ino))) {
      // A rotation renamed it since it was listed: read it where it is now,
      // and note it when it is nowhere (removed, or compressed out of
      // sight), since its entries may be missing.
      if (fd >= 0) {
        close(fd);
        fd = -1;
      }
      _ReportFile found;
      if (FindRenamed(Name(LogFileName), want, info->rotatedFiles,
                      info->readFiles, &found) &&
          !Listed(info->readFiles, found.device, found.inode)) {
        fd = OpenRotated(found, &st);
      }
      if (fd < 0) {
        why =
            "rotated away while the report read the log; its entries may be "
            "missing";
        WEX1_TRACE(wex1, WEX1_ERROR, RotatedErrMsg, want.path.c_str(),
                   why.c_str());
        info->unreadFiles.push_back(want.path + ": " + why);
        continue;
      }
      want = found;
    }
    const std::string& path = want.path;
    if (fd < 0) {
      char eb[128];
      why = ErrnoText(open_errno, eb, sizeof eb);
    } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      why = "not a regular file";
    } else if (st.st_uid != info->owner && st.st_uid != 0) {
      why = "owned by uid " + std::to_string(st.st_uid) +
            ", not by the log's owner";
    } else if (EndsWithGz(path) && st.st_size == 0) {
      why = "empty gzip file (its compression never finished)";
    } else if (EndsWithGz(path)) {
      info->readFiles.push_back(want);
      const int packed = fd;
      fd = Unpack(packed, &why);
      if (fd >= 0 && !why.empty()) {
        WEX1_TRACE(wex1, WEX1_ERROR, RotatedErrMsg, path.c_str(), why.c_str());
        info->unreadFiles.push_back(path + ": " + why);
      }
    }
    // What came before damage in a gzip file is read; its last line is cut.
    const bool cut = fd >= 0 && !why.empty();
    if (!why.empty() && !cut) {
      WEX1_TRACE(wex1, WEX1_ERROR, RotatedErrMsg, path.c_str(), why.c_str());
      info->unreadFiles.push_back(path + ": " + why);
      if (fd >= 0) {
        close(fd);
      }
      continue;
    }
    if (fd < 0) {
      continue;
    }
    if (!EndsWithGz(path)) {
      info->readFiles.push_back(want);
    }
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size <= 0) {
      close(fd);
      continue;
    }
    lfCloseLogForReport(info->fd);
    info->fd = fd;
    info->bytesLeft = size;
    info->bytesInBuffer = 0;
    info->readingPath = path;
    // A rotated file is complete: its last line counts even without a
    // newline, unless the file was cut short.
    info->tailChecked = !cut;
    WEX1_TRACE(wex1, WEX1_FLOW, RotatedMsg, Name(LogFileName), path.c_str());
    return true;
  }
  return false;
}

bool Log_File::lfBufferEntryText(const void* report, const char** text,
                                 size_t* length) {
  if (report == nullptr) {
    return false;
  }
  const _LogBufferInfo* const info = static_cast<const _LogBufferInfo*>(report);
  if (info->entryText == nullptr) {
    return false;
  }
  *text = info->entryText;
  *length = info->entryLength;
  return true;
}

std::vector<std::string> Log_File::lfBufferUnreadFiles(const void* report) {
  if (report == nullptr) {
    return {};
  }
  return static_cast<const _LogBufferInfo*>(report)->unreadFiles;
}

void Log_File::lfTraceMemoryFailure(uint64_t bytes) {
  WEX1_TRACE(wex1, WEX1_ERROR, "\nMemory allocation of %d bytes failed.",
             static_cast<int>(bytes));
}
