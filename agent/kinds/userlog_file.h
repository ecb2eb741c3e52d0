// Userlog_File: the log kind of text files of any line layout (type 'U').
// The layout is the log's format command, its LogProcedure, for example
//   A,"%3s %d %d:%d:%d %255[^\n]",month day hour minute second description
// The worker compiles it once into a StringParser chain (SPAnchor) and turns
// every appended line into a VXLOGENT row: the fields named system, source,
// type, class and description fill those columns, and the fields named year,
// month, day, hour, minute, second and fraction (or one named time) make up
// ENTRYTIME (FormatUserlogLine; the language is in doc/format-commands.md).
//
// Ownership and threads as for every Log_File: the log manager creates it
// (its worker starts in the constructor) and deletes it (the destructor joins
// the worker, then deletes the chain). Reports run on the runtime's request
// threads, each on a UserlogBufferInfo of its own, reading the file newest
// line first.
//
// A compiled chain holds the values of the line in progress, so the worker
// and the reports must not format at the same time: every line is formatted
// under FormatLock, which also guards SPAnchor. FormatLock is a leaf: nothing
// else is locked while it is held, and it is never taken with LogLock held.
#ifndef QOR_AGENT_KINDS_USERLOG_FILE_H_
#define QOR_AGENT_KINDS_USERLOG_FILE_H_

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <memory>

#include "agent/kinds/log_file.h"
#include "agent/kinds/userlog_line.h"
#include "parser/string_parser.h"
#include "util/posix_mutex.h"
#include "util/thread_annotations.h"

class Valid_Log;

// The report handle: the block-reading state, then the year and the month
// and day of the line converted last (at first, the time the report began).
struct UserlogBufferInfo : _LogBufferInfo, _UserlogYearCarry {};

class Userlog_File : public Log_File {
 public:
  // Builds the Log_File part (no chain yet, numbers tried first for the
  // month), dumps the object when flow tracing is on and starts the worker.
  Userlog_File(const Valid_Log& log, Log_File* anchor);
  Userlog_File(const Userlog_File&) = delete;
  Userlog_File& operator=(const Userlog_File&) = delete;
  // Stops and joins the worker, then deletes the chain.
  ~Userlog_File() override;

  // ulPrintSelf.
  void PrintSelf() override;
  // Dumps the Log_File part, SPAnchor and NumericMonth, unconditionally.
  void ulPrintSelf();

  // Compiles the format command unless that was done by an earlier run,
  // then opens the log (Log_File::lfOpenToWatch). A command that does not
  // compile ends the worker with MONITOR_ERR_PARSER (MONITOR_ERR_MEMORY when
  // memory is out).
  bool lfOpenToWatch() override;
  // Fills the VXLOGENT row from one line (NUL-terminated; its final newline
  // and a CR before it are not scanned) through the compiled format
  // (FormatUserlogLine). `report` is null
  // while monitoring, the report's handle while reporting. 0 when filled; -1
  // when no chain is compiled, the line does not match or yields no field, or
  // ENTRYTIME cannot be written. Takes FormatLock.
  long lfFormatEntryAsRow(char* entry, void* row, void* report) override;
  // FormatUserlogEntryTime with this log's clock and NumericMonth, and the
  // year carried by the report handle `report` (null while monitoring).
  long ulFormatEntryTime(char* dest, const _EntryTimeBuffers* times,
                         void* report);

  // Begins a report (the thresholds are not used here): the handle, a
  // UserlogBufferInfo with the log open on a descriptor of its own, or null
  // when no format is compiled yet, the log is empty or cannot be opened, or
  // memory is short (traced).
  void* lfStartReportRequest(void* thresholds) override;
  // Closes the report's descriptor and frees the handle; *report becomes
  // null.
  // The report's entry text and unread rotated files (a _LogBufferInfo
  // handle).
  bool lfReportEntryText(void* report, const char** text,
                         size_t* length) const override {
    return lfBufferEntryText(report, text, length);
  }
  bool lfReportEntryCut(void* report) const override {
    return lfBufferEntryCut(report);
  }
  std::vector<std::string> lfUnreadRotatedFiles(void* report) const override {
    return lfBufferUnreadFiles(report);
  }
  void lfEndReportRequest(void** report) override;
  // Frees the handle at *report and its buffer; *report becomes null. The
  // descriptor must be closed already.
  void ulDeallocateReportBuffers(void** report);

  // The compiled format command; null until the worker has compiled it, and
  // when it does not compile. Never recompiled once set.
  std::unique_ptr<StringParser> SPAnchor GUARDED_BY(FormatLock);
  // Which month notation to try first: 1 numbers, 0 names. Updated by every
  // entry-time conversion, while monitoring and in reports.
  std::atomic<uint8_t> NumericMonth;

  // Test seam: when non-zero, the time the entry-time conversion and the
  // report start take as the current time instead of the clock.
  std::atomic<time_t> FixedNow;

 private:
  // The current time, or FixedNow.
  time_t ulNow() const;
  // Compiles LogProcedure into SPAnchor. True when a chain is ready; false
  // with the error status set.
  bool ulCompileFormat();

  Posix_Mutex FormatLock;
};

#endif  // QOR_AGENT_KINDS_USERLOG_FILE_H_
