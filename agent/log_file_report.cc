// Log_File's report reading: a report walks its log from the end towards the
// beginning, one block at a time, on a descriptor of its own. Kept apart from
// log_file.cc because it runs on the runtime's request threads and shares
// nothing with the worker but OptimumBlockSize.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/config_def.h"
#include "agent/log_file.h"
#include "framework/wex1.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/errno_text.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char OpenErrMsg[] = "\nError opening file %s for report. errno = %d; %s";
const char NotRegularMsg[] =
    "\nError opening file %s for report: not a regular file.";
const char EmptyMsg[] = "\nLog %s is empty; report request terminating.";
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

// Block size when the file system names no preferred one.
constexpr uint64_t DEFAULTBLOCKSIZE = 8192;
// Bytes a report reads at least at once: the last hour of a busy log is
// megabytes, and a read per 4 KiB page costs more than scanning the page.
constexpr uint64_t REPORTREADBYTES = 64 * 1024;

// A failed fill leaves nothing unconsumed and nothing in front of the block,
// so that the kind's scan sees the start of the file with no entry left and
// ends the report, instead of formatting what a failed read left behind.
long FillFailed(_LogBufferInfo* info) {
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
  // place), and a path that names another file than the one the worker
  // read is a replacement, not followed through a symlink others could
  // have planted.
  bool replacement = false;
  Log_Position read;
  if (lfGetPosition(&read)) {
    struct stat named;
    replacement = stat(path, &named) != 0 ||
                  static_cast<uint64_t>(named.st_dev) != read.device ||
                  static_cast<uint64_t>(named.st_ino) != read.inode;
  }
  info->fd = open(path, File_Tail::SafeOpenFlags(path, replacement));
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
  const off_t size = lseek(info->fd, 0, SEEK_END);
  const int e = errno;
  info->bytesLeft = size;
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
      return nullptr;
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

void Log_File::lfTraceMemoryFailure(uint64_t bytes) {
  WEX1_TRACE(wex1, WEX1_ERROR, "\nMemory allocation of %d bytes failed.",
             static_cast<int>(bytes));
}
