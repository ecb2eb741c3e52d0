// Log_File: the abstract monitored log. One object per configured log; each
// kind of log (syslog, error report, administrative, user-formatted) derives
// from it and supplies the kind-specific operations.
//
// Ownership: the log manager creates every object (one per configured log),
// keeps it in its ring of log objects, updates it in place with operator= at
// each refresh and deletes it through the virtual destructor when a refresh
// drops it or at shutdown. An object owns its worker thread, its stream on
// the log and, in the kinds, their child process, parser chain and report
// buffers.
//
// Threads:
//  - the worker thread (LogThread), started by lfStartThread and joined by
//    lfStopThread, watches the log and turns appended entries into events;
//  - the manager thread constructs, refreshes and deletes objects, with
//    ManagerLock held (lock order: ManagerLock -> LogLock);
//  - the runtime's request threads run reports (lfStartReportRequest ...)
//    on a descriptor of their own, and read the status and the counters.
// LogLock guards MonitorStatus writes, LogDebugMode changes and the thread's
// start and join bookkeeping. MonitorStatus, MonitorStartStopTime,
// NumEvents, NumFormatErrors and LogEOF are read without a lock, hence
// atomic. The process-wide lfDebugFileLock serialises debug records and
// guards sRECNUM; it is never held together with a LogLock.
//
// A kind's constructor ends with lfStartWorker (the dump when flow tracing
// is on, then lfStartThread); a kind's destructor must call lfStopThread
// first, so that the worker has ended before the kind's part is destroyed.
#ifndef QOR_AGENT_KINDS_LOG_FILE_H_
#define QOR_AGENT_KINDS_LOG_FILE_H_

#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "agent/config/log_base.h"
#include "agent/follow/file_tail.h"
#include "agent/follow/line_splitter.h"
#include "agent/follow/position_store.h"
#include "framework/events/event_sink.h"
#include "tables/tvx_vxlogent_schema.h"
#include "util/posix_mutex.h"
#include "util/repeat_limiter.h"
#include "util/thread_annotations.h"
#include "util/unique_fd.h"
#include "util/unique_file.h"

class Entry_Joiner;
class Valid_Log;
namespace re2 {
class RE2;
}

// Why a log is or is not being watched. Negative values are errors that
// ended the worker; they stay until the next successful start.
enum _MonitorStatus : int32_t {
  MONITOR_NOT_STARTED = 0,
  MONITOR_STOPPED = 1,
  MONITOR_RUNNING = 2,
  // A pattern's placeholder: no file matches it (yet).
  MONITOR_NO_MATCH = 3,
  MONITOR_ERR_CREATE_CHILD = -1,
  MONITOR_ERR_CREATE_PIPE = -2,
  MONITOR_ERR_PIPE_GET_FLAG = -3,
  MONITOR_ERR_PIPE_SET_FLAG = -4,
  MONITOR_ERR_PIPE_FD = -5,
  MONITOR_ERR_SELECT = -6,
  MONITOR_ERR_READ = -7,
  MONITOR_ERR_SEEK_END = -8,
  MONITOR_ERR_OPEN = -9,
  MONITOR_ERR_SEEK_RESET = -10,
  MONITOR_ERR_REWIND = -11,
  MONITOR_ERR_WAIT = -12,
  MONITOR_ERR_PARSER = -13,
  MONITOR_ERR_MEMORY = -14,
};

// A file a report reads: its path when it was listed, its identity and
// when it last changed.
struct _ReportFile {
  std::string path;
  uint64_t device;
  uint64_t inode;
  struct timespec modified;
};

// The block-reading state of one report on a file log; the kinds put it at
// the start of their report handle.

struct _LogBufferInfo {
  int fd;                   // opened for this report; -1 when none
  char* buffer;             // OptimumBlockSize + 1 bytes, owned by the kind
  int64_t bytesLeft;        // bytes in front of the current block not read yet
  int64_t bytesInBuffer;    // bytes at the start of buffer not consumed yet
  bool tailChecked;         // the file's unfinished last line was passed over
  bool readFailed = false;  // a read of the current file failed or came short
  bool readFailedNoted = false;  // ... and unreadFiles says so
  // The log's rotated files (text kinds), newest first, listed when the
  // report first reaches the start of the current file; the next one to
  // read; the identities of the files read (the log's own first), so that
  // a file renamed by a rotation during the report is read once; and each
  // file that could not be read, or whose entries may be missing, with why.
  bool rotatedListed = false;
  std::vector<_ReportFile> rotatedFiles;
  size_t nextRotated = 0;
  std::vector<_ReportFile> readFiles;
  std::string readingPath;  // the rotated file being read; empty: the log
  std::vector<std::string> unreadFiles;
  uid_t owner = 0;  // of the current log file, which rotated files must share
  // The whole text of the entry returned last (in the buffer or in
  // `joined`), valid until the next call; null when there is none.
  const char* entryText = nullptr;
  size_t entryLength = 0;
  // A line of it was longer than a report keeps and is cut (entryCut); of
  // the line taken last (lineCut), and of the continuation lines kept
  // (continuedCut).
  bool entryCut = false;
  bool lineCut = false;
  bool continuedCut = false;
  // Under a multiline rule: the continuation lines read since the last
  // start line, the latest first (the first `continuedCount` of
  // `continued`, whose strings keep their room), their bytes, and the
  // entry joined from them.
  std::shared_ptr<const re2::RE2> entryStart;  // the rule as the report began
  bool ruleTaken = false;
  std::vector<std::string> continued;
  size_t continuedCount = 0;
  size_t continuedBytes = 0;
  std::string joined;
};

// Entries in a row that do not format after which a report gives up.
constexpr long MAXUNFORMATTEDENTRIES = 10000;

// Entries in a row older than a report's window after which the report
// ends: a log is in time order but for a few entries out of order.
constexpr long MAXOLDERENTRIES = 1000;

// The kinds that watch a growing file (S, U, A) follow its name with a
// File_Tail (LogTail), made by the first lfFOpenLogAndSeek; the kinds that
// read a child's output or the journal (E, J) never make one.
class Log_File : public Log_Base, private File_Tail::Reader {
 public:
  // Copies the descriptor of `log`, joins the ring whose head is `anchor`
  // (null for an empty ring) at its tail, and creates LogLock. Status
  // MONITOR_NOT_STARTED; no thread yet. Ends the process when the lock
  // cannot be created.
  Log_File(const Valid_Log& log, Log_File* anchor);
  Log_File(const Log_File&) = delete;
  Log_File& operator=(const Log_File&) = delete;
  // Leaves the ring and destroys LogLock. Does not stop the worker: the
  // kind's destructor has done that (lfStopThread).
  ~Log_File() override;

  // Takes over the debug mode of `log` (same file, type and procedure) and
  // restarts the worker when it is not running. Manager thread only. A
  // kind's implicit copy assignment hides it: call it through a Log_File&.
  Log_File& operator=(const Valid_Log& log);

  // Dumps the state to the trace (lfPrintSelf).
  void PrintSelf() override;

  // --- The kinds' operations ------------------------------------------
  // The worker's body: opens the log, watches it until monitoring ends,
  // closes it. Failures are recorded in MonitorStatus. The file kinds share
  // this one: lfOpenToWatch, then lfWaitForEventLoop once a second until
  // monitoring ends, then lfFCloseLog. A kind that does not watch a growing
  // file overrides it.
  virtual void lfProcessLogData();
  // Opens the log for lfProcessLogData: true when it is open (LogFD valid),
  // false with the error status set. The default is lfFOpenLogAndSeek; a
  // kind that must prepare first, or start elsewhere, overrides it.
  virtual bool lfOpenToWatch();
  // Reads everything appended since LogEOF from LogFD, or LogPassBytes of
  // it, and turns each whole line into an event (see Line_Splitter); an
  // unfinished last line is held for the next call. 0, or -1 on a read
  // error (traced).
  // REQUIRES: worker thread; LogFD positioned at LogEOF.
  virtual long lfReadLog();
  // After a read that ended in NULs: moves LogFD past the hole it may be
  // in (to the next data, or the file's end), so that a sparse file is not
  // read byte by byte. Leaves LogFD where it is when it is in data.
  // REQUIRES: worker thread.
  void lfSkipHole();
  // The one step every kind takes for one entry read while monitoring: it
  // is counted, formatted, and then either passed to the situations
  // (EventArrived) or counted as a format error; the debug record follows.
  // `entry` is NUL-terminated, `length` bytes long. The entry's whole text
  // (`whole`, `whole_length` bytes; null: `entry` less its newline, and no
  // text for the A kind's binary records) goes beside the row to the
  // event's "entry" member.
  // `cut`: a line of the entry was longer than the log keeps (marked in
  // the event).
  void lfHandleEntry(char* entry, unsigned length, const char* whole = nullptr,
                     size_t whole_length = 0, bool cut = false);
  // Hands a line of a text log to the entry joiner of its multiline rule,
  // or straight to lfHandleEntry when it has none; a `cut` line (longer
  // than HeldLine keeps) is counted and traced. Worker thread only.
  void lfTakeLine(char* line, size_t length, bool cut = false);
  // lfTakeLine with a multiline rule: the line goes to the joiner.
  void lfJoinLine(char* line, size_t length, bool cut);
  // Delivers the entry the joiner holds, if any. Worker thread only.
  void lfEndJoinedEntry();
  // Traces a read error (`format` with the log's name, errno `e` and its
  // text) the first time and then at most once a minute, with the count
  // of those held back in between.
  void lfTraceReadError(const char* format, int e);
  // False (the caller closes the descriptor and sets an error status) when the
  // log's descriptor `fd` would leave fewer than DESCRIPTORRESERVE descriptors
  // free below the soft limit: those are kept for the control socket, its
  // clients and the event outputs. The first refusal, then one a minute, is
  // traced with the numbers.
  bool lfWithinDescriptorReserve(int fd);
  // Delivers the line held back by lfReadLog as it stands. The rotation and
  // truncation code calls it once the old content has been read and before
  // reading from the new start, so a torn last line is not lost. Worker
  // thread only.
  void lfFlushHeldTail();
  // Fills the VXLOGENT row `row` from `entry` (NUL-terminated). `report` is
  // null while monitoring, the kind's report handle while reporting.
  // 0 when filled, non-zero when the entry cannot be formatted.
  virtual long lfFormatEntryAsRow(char* entry, void* row, void* report) = 0;
  // lfFormatEntryAsRow of an entry being monitored, NUL-terminated and
  // `length` bytes long (lfHandleEntry's), so that a kind need not measure
  // it again.
  virtual long lfFormatMonitoredEntry(char* entry, size_t /*length*/,
                                      tvx_vxlogent_data_t* row) {
    return lfFormatEntryAsRow(entry, row, nullptr);
  }
  // Begins a report; `thresholds` is the request's _RequestThresholds.
  // An opaque handle, or null when nothing can be reported.
  virtual void* lfStartReportRequest(void* thresholds) = 0;
  // Fills `row` with the next entry inside `thresholds`, newest first.
  // `row`, or null when no further entry qualifies. The file kinds share
  // this loop over lfTakePrecedingEntry: entries newer than the window are
  // passed over, entries that do not format are skipped (a report stops,
  // traced, after more than MAXUNFORMATTEDENTRIES of them in a row), and
  // the report ends after MAXOLDERENTRIES entries in a row older than the
  // window (or at the start of the file).
  // REQUIRES: `report` begins with a _LogBufferInfo (the kinds that keep
  // another handle override this).
  virtual void* lfGetNextLogEntry(void* row, void* report, void* thresholds);
  // Releases everything the report holds and sets *report to null.
  // REQUIRES: *report is a handle from lfStartReportRequest.
  virtual void lfEndReportRequest(void** report) = 0;
  // The log's size in bytes and the time it last changed, for the
  // monitored-logs table: 0, or the errno value of the failure (the caller
  // traces it). The file kinds stat LogFileName. Any thread.
  virtual int lfStatLog(int64_t* size, time_t* modified);

  // --- Worker thread ---------------------------------------------------
  // The end of a kind's constructor: dumps the object (PrintSelf) when flow
  // tracing is on, then lfStartThread.
  void lfStartWorker();
  // Starts the worker; MONITOR_RUNNING and MonitorStartStopTime on
  // success, status unchanged (traced) when the thread cannot be created.
  // Ends the process when the thread attributes cannot be handled.
  void lfStartThread();
  // Marks a running log MONITOR_STOPPED and joins the worker, which ends
  // once the read in progress is done (lfRequestStop, then lfJoinThread).
  // Joins only a thread that was created and not yet joined, so it may be
  // called any number of times. Never called by the worker itself.
  void lfStopThread();
  // Marks a running log MONITOR_STOPPED and wakes its worker, without
  // waiting: many workers are told to stop at once and then joined.
  void lfRequestStop();
  // Joins the worker if one was created and not yet joined.
  void lfJoinThread();
  // Ends the worker's current wait (lfWaitForWake) now. A kind that waits
  // elsewhere overrides it to end that wait, and calls this one too.
  // Any thread; safe while the worker runs.
  virtual void lfWake();
  // The worker's wait: returns when lfWake was called (now or since the
  // last wait), when `extra` (may be null) is ready, or after `timeoutMs`.
  // As poll(2): > 0 when woken or ready, 0 on time-out, -1 with errno set.
  int lfWaitForWake(int timeoutMs, struct pollfd* extra);
  // Lock and unlock LogLock; end the process on failure.
  void lfLockLog() ACQUIRE(LogLock);
  void lfUnlockLog() RELEASE(LogLock);
  // Stores `status` under LogLock.
  void lfSetMonitorStatus(_MonitorStatus status);
  // Copies the text of the current status into `dest`: min(len, text
  // length) characters, no terminator (a blank-filled column).
  void lfGetMonitorStatus(char* const dest, const long len);

  // --- Watching a growing file (worker thread) -------------------------
  // Opens LogFileName into LogFileP/LogFD without blocking (a FIFO never
  // holds the worker) and only when it is a regular file. LogEOF is the
  // file's end at the first start; the file's start when it did not exist
  // at the first try (all of it is new); where the last run stopped when
  // the file is the same one (device, inode, first bytes), else its start.
  // On failure LogFileP stays null and MonitorStatus tells why; a failed
  // open is traced with `open_error` ("%s" path, "%d" errno, "%s" text)
  // when the kind names its own message.
  void lfFOpenLogAndSeek();
  void lfFOpenLogAndSeek(const char* open_error);
  // Closes LogFileP, and a rotated file still being read; LogFD and LogEOF
  // become -1. The position reached is where the next start resumes.
  void lfFCloseLog();
  // Polls the log once per `interval` while MonitorStatus is
  // MONITOR_RUNNING and reads what is appended. After a rename rotation
  // the old file is read on (first) until it has not grown for
  // ROTATEDGRACESECONDS or is removed, while the new file is followed from
  // its start. A log truncated or refilled in place (its first bytes
  // changed) is read from its start. Leaves the loop with an error status
  // when the log fails. REQUIRES: log open (lfFOpenLogAndSeek succeeded).
  void lfWaitForEventLoop(struct timeval interval);

  // --- Positions across restarts -----------------------------------------
  // The position to save for this log: false when there is none yet. The
  // file kinds publish theirs after every pass, and report it once the
  // events of the entries before it are written by the durable event
  // outputs; a kind that does not read a file overrides both (its
  // position in Log_Position::text).
  // Any thread; takes LogLock.
  virtual bool lfGetPosition(Log_Position* position);
  // Where the worker's next start resumes (a position saved by an earlier
  // run of the agent). Takes LogLock.
  virtual void lfSetPosition(const Log_Position& position);
  // Tells the log manager that what lfGetPosition reports has changed, so
  // that the state file is written again (it is not while no position
  // moves). The kinds that keep their own position call it too.
  void lfPositionMoved();

  // --- Rows and debug records -----------------------------------------
  // Fills the columns that do not depend on the entry: ORIGINNODE, LOGPATH,
  // LOGNAME, the integer columns (0) and TIMESTAMP (now).
  // REQUIRES: the row is blank-filled.
  void lfFillCommonColumns(tvx_vxlogent_data_t* row);
  // lfFillCommonColumns without TIMESTAMP: the columns that are the same in
  // every row of this log (while gSystemName stays).
  void lfFillLogColumns(tvx_vxlogent_data_t* row) const;
  // Writes one record (header, entry, row) to the agent debug file when
  // this log is in debug mode and the file is open; a write failure is
  // traced and otherwise ignored.
  void lfWriteToDebugLog(void* entry, unsigned entryLength, void* row,
                         unsigned rowLength);
  // Lock and unlock the process-wide debug-file lock; end the process on
  // failure. `name` appears only in the trace.
  static void lfLockDebugFile(char* name) ACQUIRE(lfDebugFileLock);
  static void lfUnlockDebugFile() RELEASE(lfDebugFileLock);
  // Dumps the Log_Base part and this class's members, unconditionally.
  void lfPrintSelf();

  // --- Report reading for the file kinds (request threads) ------------
  // Where an entry stamped `entrytime` (16 characters) lies against a
  // report window (`thresholds`, a _RequestThresholds; an empty bound is
  // open): 1 newer than its end, -1 older than its start, 0 inside.
  static int lfPlaceInWindow(const char* entrytime, const void* thresholds);
  // A new report handle, a T that begins with a _LogBufferInfo, value-
  // initialised, with a buffer of `block` + 1 bytes and no descriptor; null
  // (traced) when memory is out. Released with lfReleaseReport<T>.
  template <class T>
  T* lfNewReportHandle(uint64_t block) {
    T* const info = new (std::nothrow) T();
    if (info == nullptr) {
      lfTraceMemoryFailure(sizeof(T));
      return nullptr;
    }
    info->fd = -1;
    info->buffer = new (std::nothrow) char[block + 1];
    if (info->buffer == nullptr) {
      lfTraceMemoryFailure(block + 1);
      delete info;
      return nullptr;
    }
    return info;
  }
  // Traces "\nMemory allocation of %d bytes failed." at the error level.
  static void lfTraceMemoryFailure(uint64_t bytes);
  // Closes the report's descriptor and frees its handle, a T that begins
  // with a _LogBufferInfo whose buffer was allocated with new[]; sets
  // *report to null. Nothing for a null handle.
  template <class T>
  void lfReleaseReport(void** report, bool close_descriptor) {
    if (report == nullptr || *report == nullptr) {
      return;
    }
    T* const info = static_cast<T*>(*report);
    if (close_descriptor && info->fd >= 0) {
      lfCloseLogForReport(info->fd);
      info->fd = -1;
    }
    delete[] info->buffer;
    delete info;
    *report = nullptr;
  }

  // Defined in agent/kinds/log_file_report.cc.
  // Opens the log for a report, its descriptor left at the end: the
  // descriptor, or a negative value when there is nothing to report. An
  // empty log of the text kinds (S, U) is opened all the same: right after
  // a rotation its entries are in the rotated files.
  long lfOpenLogForReport(_LogBufferInfo* info);
  void lfCloseLogForReport(long fd);
  // Why a report that could not start cannot read the log (its path
  // names no file, or one that is not a regular file), written into `why`
  // (`size` bytes): true; false when the log is readable (an empty log has
  // nothing to report) or is not read from a file. Any thread.
  bool lfReportUnreadable(char* why, size_t size);
  // The rotated files a report could not read ("PATH: why"), for the
  // closing lines of its reply; empty for the kinds that are not text
  // files. REQUIRES: `report` is this log's live report handle or null.
  // The text kinds (S, U) override it with lfBufferUnreadFiles.
  virtual std::vector<std::string> lfUnreadRotatedFiles(
      void* /*report*/) const {
    return {};
  }
  static std::vector<std::string> lfBufferUnreadFiles(const void* report);
  // The whole text of the entry lfGetNextLogEntry returned last (all its
  // lines under a multiline rule): true with *text and *length set (valid
  // until the next call), false for a kind that keeps no text.
  // The text kinds (S, U) override it with lfBufferEntryText.
  virtual bool lfReportEntryText(void* /*report*/, const char** /*text*/,
                                 size_t* /*length*/) const {
    return false;
  }
  static bool lfBufferEntryText(const void* report, const char** text,
                                size_t* length);
  // Whether a line of that entry was cut (longer than a report keeps); the
  // text kinds override it with lfBufferEntryCut.
  virtual bool lfReportEntryCut(void* /*report*/) const { return false; }
  static bool lfBufferEntryCut(const void* report) {
    return report != nullptr &&
           static_cast<const _LogBufferInfo*>(report)->entryCut;
  }
  // Moves a text report whose window reaches past the start of the file it
  // has read on to the log's next rotated file, newest first (`NAME.1`,
  // `NAME.2.gz` read through zlib, `NAME-20261207`): true when one was
  // opened, false when none is left. A file that cannot be read is noted in
  // unreadFiles and passed over; a gzip file that is corrupt is read up to
  // the damage. Request threads only.
  bool lfOpenNextRotatedFile(_LogBufferInfo* info);
  // Sets OptimumBlockSize: 0 on success, 1 on failure.
  unsigned char lfDetermineOptimumBlockSize();
  // Reads the block preceding the current one, carrying the unconsumed
  // bytes over: the bytes now in the buffer, 0 at the start of the file or
  // on failure.
  long lfFillReportBuffer(_LogBufferInfo* info);
  // The entry before the report's unconsumed end, consumed and
  // NUL-terminated in the buffer (valid until the next call); null when
  // none is left or the log can no longer be read. The text kinds' default
  // takes one line, cut to MAXRECSIZE - 1 bytes.
  virtual char* lfTakePrecedingEntry(_LogBufferInfo* info);
  // One line of a report, newest first: the file's unfinished last line is
  // passed over (it is not an entry until its newline arrives), a line
  // longer than `longest` bytes (its newline included) is cut to its first
  // `longest` bytes, and a carriage return before the newline is dropped.
  // As lfTakePrecedingEntry.
  char* lfTakePrecedingLine(_LogBufferInfo* info, int64_t longest);

  // --- State -----------------------------------------------------------
  // Refresh mark of the log manager: 1 = not (yet) matched by the
  // configuration being applied, deleted at the end of the refresh.
  uint8_t RefreshMode;
  pthread_t LogThread;        // valid while LogThreadJoinable
  Posix_Mutex LogLock;        // default attributes
  Unique_File LogFileP;       // open on the log while the worker watches it
  int LogFD;                  // descriptor of LogFileP; -1 when closed
  std::atomic<off_t> LogEOF;  // offset read up to; -1 when closed
  std::atomic<_MonitorStatus> MonitorStatus;  // written under LogLock
  // Reading is held back by a full delivery window (Event_Sink::WindowFull).
  std::atomic<bool> WaitingForDelivery{false};
  // When monitoring last started or stopped; the worker sets it as it ends.
  std::atomic<time_t> MonitorStartStopTime;
  std::atomic<uint64_t> NumEvents;        // entries read since creation
  std::atomic<uint64_t> NumFormatErrors;  // entries that did not format
  // For the metrics: entries made into rows, events they raised, bytes
  // lfReadLog read, and when the last entry was read (monotonic seconds,
  // 0 before the first). Written by the worker, read without a lock.
  std::atomic<uint64_t> NumRows{0};
  std::atomic<uint64_t> NumEventsRaised{0};
  std::atomic<uint64_t> NumBytesRead{0};
  std::atomic<long long> LastEntrySeconds{0};
  // Rotated files let go unread while delivery waited (more rotated away
  // than the tail keeps), and the bytes of them never delivered.
  std::atomic<uint64_t> NumLostFiles{0};
  std::atomic<uint64_t> NumLostBytes{0};
  // Block size of report reads; 0 until the first report determines it.
  std::atomic<uint64_t> OptimumBlockSize;
  // While lfReadLog hands on the lines of a block it read, the monotonic
  // second it read it in, so that a line costs no clock reading; -1
  // otherwise. Worker thread only.
  long long ReadSeconds = -1;
  // The unfinished last line of what lfReadLog read; worker thread only.
  // Its Held() bytes lie before LogEOF but are not delivered yet.
  Line_Splitter HeldLine;
  // The row lfHandleEntry formats each entry into and offers to the
  // situations: the same memory from entry to entry, so that a kind may
  // leave in it what every row of the log holds alike (see Syslog_File).
  // What it is offered to only reads it. Worker thread only.
  tvx_vxlogent_data_t EntryRow;
  // Joins lines into entries under the log's multiline rule; null without
  // one. Made by the worker as it starts; worker thread only.
  std::unique_ptr<Entry_Joiner> EntryJoiner;
  // The start pattern of the log's multiline rule for reports (RE2 matches
  // from many threads at once); null without one. Replaced by a refresh
  // that changes the rule, so read and written with std::atomic_load and
  // std::atomic_store; a report takes it once, as it starts reading.
  std::shared_ptr<const re2::RE2> ReportEntryStart;
  // Compiles LogEntryStart into ReportEntryStart.
  void lfCompileReportRule();
  // Entries the joiner cut at its line or byte limit, and how often that is
  // traced (once a minute at most). Worker thread only but the counter.
  std::atomic<uint64_t> NumEntriesCut{0};
  Repeat_Limiter EntryCutTraces;
  // Lines longer than HeldLine keeps (TVX_MAX_LINE), cut to that length,
  // and how often that is traced (once a minute at most). Worker thread
  // only but the counter.
  std::atomic<uint64_t> NumLinesCut{0};
  Repeat_Limiter LineCutTraces;
  // How often the messages a hostile writer can repeat are traced: those of
  // entries that do not format, and read errors. Worker thread only.
  Repeat_Limiter FormatErrorTraces;
  Repeat_Limiter ReadErrorTraces;

  // True from a successful thread creation until the thread is joined, so
  // that a thread is joined exactly once. Guarded by LogLock.
  bool LogThreadJoinable GUARDED_BY(LogLock);
  // LogThreadJoinable read by the manager thread, its only writer.
  bool lfThreadUnjoined() const NO_THREAD_SAFETY_ANALYSIS {
    return LogThreadJoinable;
  }
  // Counter (eventfd) that lfWake raises and lfWaitForWake waits on; not
  // valid when it could not be made (the wait is then a plain time-out).
  Unique_Fd LogWakeFD;
  // The file a pattern's look opened for this log (Valid_Log::PreOpened),
  // taken by the first open. Worker thread (set before it starts).
  Unique_Fd LogPreOpened;

  // Serialises debug records of all logs; guards sRECNUM.
  static Posix_Mutex lfDebugFileLock;
  // Number of the last debug record written by any log; starts at 0.
  static int64_t sRECNUM GUARDED_BY(lfDebugFileLock);

 private:
  // File_Tail::Reader: the tail reads through lfReadLog into HeldLine.
  long TailRead() override { return lfReadLog(); }
  void TailFlush() override { lfFlushHeldTail(); }
  bool TailMayKeep(int fd) override { return lfWithinDescriptorReserve(fd); }
  // An entry does not go on from one file into another.
  void TailSwitch() override { lfEndJoinedEntry(); }
  uint64_t TailPending() const override;
  void TailLost(uint64_t bytes) override {
    NumLostFiles.fetch_add(1, std::memory_order_relaxed);
    NumLostBytes.fetch_add(bytes, std::memory_order_relaxed);
  }
  // The log's File_Tail, made on first use. Worker thread only.
  File_Tail& lfTail();
  // Sets MonitorStatus from the failure of the tail's last steps: true when
  // one failed.
  bool lfTailFailed();
  // Publishes the tail's position for lfGetPosition when it moved.
  void lfPublishPosition();

  // Follows the log's name for the file kinds; null for the others and
  // until the first open. Worker thread only (kept across restarts).
  std::unique_ptr<File_Tail> LogTail;
  // Event_Sink::PositionStep() as the pass began (0: none), and the
  // thread's events then: a pass that published that many ends early, its
  // position published. Worker thread only.
  uint64_t PassStep = 0;
  uint64_t PassEventsAt = 0;
  // Where the next start puts LogEOF; LogResume is the position of
  // START_AT_POSITION. Guarded by LogLock.
  File_Tail::Start_At LogStartAt;
  Log_Position LogResume;
  // The tail has published a position. Guarded by LogLock.
  bool LogPositionKnown;
  // What lfGetPosition reports: the tail's position once the durable event
  // outputs have written the events of the entries before it. Guarded by
  // LogLock.
  Durable_Position<Log_Position> LogSavedPosition GUARDED_BY(LogLock);
};

// The worker thread's start routine; `log` is the Log_File.
void* LogThread(void* log);

#endif  // QOR_AGENT_KINDS_LOG_FILE_H_
