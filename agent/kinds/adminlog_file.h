// Adminlog_File: the log kind of binary login-accounting files (type 'A'),
// such as wtmp: fixed-size records back to back from offset 0, one entry
// (a login, a logout, a boot, a run-level change...) per record.
//
// The record layout is chosen by the log's procedure. Without one it is
// UTMPSIZE bytes, integers in the host's byte order, decoded byte by byte at
// these offsets, never through a struct overlay, so that no compiler
// padding can shift a field:
//    0  8  user name, zero-padded, not necessarily terminated
//    8  4  init table identifier, zero-padded
//   12 12  terminal line name, zero-padded
//   24  2  process id, signed
//   26  2  entry type, signed
//   28  2  termination status, signed
//   30  2  exit status, signed
//   32  4  time of the entry, signed seconds since the epoch
// With the procedure "utmp" it is the host's own struct utmp (<utmp.h>, 384
// bytes on Linux), whose user, id, line, pid, type, exit status and time
// (seconds and microseconds) fill the same columns.
//
// Ownership and threads as for every Log_File: the log manager creates it
// (its worker thread starts in the constructor) and deletes it (the
// destructor joins the worker). The worker reads whole records through
// LogFD (LogFileP holds the descriptor; its buffer is never used), follows
// the log when it is rotated as the text kinds do, and turns each record
// into a VXLOGENT event; reports
// run on the runtime's request threads, each on a _LogBufferInfo of its own,
// reading the file newest record first.
//
// Records are aligned on the start of the file: a record still being
// written (the file's size is not a multiple of RecordSize) is left for the
// next pass by the worker and left out by a report, never read misaligned.
#ifndef QOR_AGENT_KINDS_ADMINLOG_FILE_H_
#define QOR_AGENT_KINDS_ADMINLOG_FILE_H_

#include "agent/kinds/log_file.h"

class Valid_Log;

// Bytes in one record.
constexpr int UTMPSIZE = 36;

class Adminlog_File : public Log_File {
 public:
  // Builds the Log_File part, dumps the object when flow tracing is on and
  // starts the worker thread.
  Adminlog_File(const Valid_Log& log, Log_File* anchor);
  Adminlog_File(const Adminlog_File&) = delete;
  Adminlog_File& operator=(const Adminlog_File&) = delete;
  // Stops and joins the worker first.
  ~Adminlog_File() override;

  // The worker opens the log at its last record boundary (adOpenAdminLog):
  // true when LogFD is open.
  bool lfOpenToWatch() override;
  // Opens LogFileName read-only on LogFD with LogEOF at the end of its last
  // whole record. On failure LogFD stays -1 and MonitorStatus is
  // MONITOR_ERR_OPEN or MONITOR_ERR_SEEK_END (traced).
  void adOpenAdminLog();

  // Reads every whole record appended since LogEOF and turns each into an
  // event. A record not yet whole is left unread (the descriptor stands at
  // its start) for a later pass. 0, or -1 on a read error (traced).
  // REQUIRES: worker thread; LogFD positioned at LogEOF.
  long lfReadLog() override;
  // Fills the VXLOGENT row from the RecordSize bytes at `entry`; `report`
  // is not read. Always 0: every record has a row.
  long lfFormatEntryAsRow(char* entry, void* row, void* report) override;
  // Copies the text of the entry type `type` into `dest`, at most `width`
  // characters, no terminator.
  void adFillEntryType(char* dest, unsigned width, int type);
  // Writes the description of the record at `record` (RecordSize bytes)
  // into `dest`, at most `width` characters, no terminator.
  void adFormatEntryDesc(char* dest, unsigned width, const char* record);

  // Begins a report (the thresholds are not used here): the handle, a
  // _LogBufferInfo with the log open on a descriptor of its own, or null
  // when the log holds no whole record, cannot be opened or memory is short
  // (traced). Raises OptimumBlockSize to RecordSize when it is smaller.
  void* lfStartReportRequest(void* thresholds) override;
  // Reports take whole records, newest first; an incomplete record at the
  // start of the file ends the report (traced).
  char* lfTakePrecedingEntry(_LogBufferInfo* info) override;
  // Closes the report's descriptor, frees the handle and sets *report to
  // null.
  void lfEndReportRequest(void** report) override;
  // Frees the handle at *report and its buffer; *report becomes null. The
  // descriptor must be closed already.
  void adDeallocateReportBuffers(void** report);

  // Bytes in one record of this log: UTMPSIZE, or sizeof(struct utmp) with
  // the procedure "utmp".
  const int RecordSize;
};

#endif  // QOR_AGENT_KINDS_ADMINLOG_FILE_H_
