// Syslog_File: the log kind of syslog text files (type 'S'), one entry per
// line, in either shape and any mix (agent/kinds/syslog_line.h formats them):
//   "Mmm dd hh:mm:ss host source: message text"         (no year)
//   "YYYY-MM-DDThh:mm:ss[.fraction]+hh:mm host source: message text"
//
// Ownership and threads as for every Log_File: the log manager creates it
// (its worker thread starts in the constructor) and deletes it (the
// destructor joins the worker). The worker turns every appended line into a
// VXLOGENT event; reports run on the runtime's request threads, each on a
// SyslogBufferInfo of its own, reading the file newest entry first.
#ifndef QOR_AGENT_KINDS_SYSLOG_FILE_H_
#define QOR_AGENT_KINDS_SYSLOG_FILE_H_

#include <time.h>

#include <atomic>

#include "agent/kinds/log_file.h"
#include "parser/entry_year.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"

class Valid_Log;

// The report handle: the block-reading state, then the time stamp of the
// entry returned last (at first, the time the report began), from which
// each older entry takes its year.
struct SyslogBufferInfo : _LogBufferInfo {
  char lastEntryTime[TIMESTAMPLENGTH];  // no terminator
  bool entryRead = false;               // lastEntryTime is an entry's
  // The time stamp text (with the blank after it) of the entry returned
  // last, when it was read in full: many entries share a second, and one
  // that begins with the same text, measured against that entry's stamp,
  // takes the same stamp without being read again.
  static constexpr size_t STAMPTEXTBYTES = 40;
  char lastStampText[STAMPTEXTBYTES];
  size_t lastStampLength = 0;  // 0: none
};

class Syslog_File : public Log_File {
 public:
  // Builds the Log_File part, dumps the object when flow tracing is on and
  // starts the worker thread.
  Syslog_File(const Valid_Log& log, Log_File* anchor);
  Syslog_File(const Syslog_File&) = delete;
  Syslog_File& operator=(const Syslog_File&) = delete;
  // Stops and joins the worker first.
  ~Syslog_File() override;

  // Fills the VXLOGENT row from one line (NUL-terminated) through
  // FormatSyslogLine. A year-less line is dated against the current time
  // while monitoring, and against the entry returned before (newer) in a
  // report, whose lastEntryTime then takes this entry's stamp. 0 when
  // filled, -1 when the line has neither time stamp shape.
  long lfFormatEntryAsRow(char* entry, void* row, void* report) override;
  // lfFormatEntryAsRow while monitoring, traced as that function.
  long lfFormatMonitoredEntry(char* entry, size_t length,
                              tvx_vxlogent_data_t* row) override;

  // The steps of lfFormatEntryAsRow one column at a time, on NUL-terminated
  // text (SyslogLineTime, SyslogLineHost, SyslogLineSource). The time stamp
  // at the start of `entry` goes to the 16 characters at `dest`: the
  // position where the host name begins, or null (nothing written) for a
  // line of neither shape; a report handle's lastEntryTime takes the stamp.
  char* slFormatEntryTime(char* dest, char* entry, void* report);
  // Copies the host word at `pos` to `dest`, at most `width` characters:
  // the position after the white-space character that ends it.
  char* slExtractSystem(char* dest, char* pos, unsigned width);
  // Copies the message source at `pos` to `dest`, at most `width`
  // characters: the position where the message text begins.
  char* slExtractSource(char* dest, char* pos, unsigned width);

  // Begins a report (the thresholds are not used here): the handle, a
  // SyslogBufferInfo with the log open on a descriptor of its own, or null
  // when the log is empty, cannot be opened or memory is short (traced).
  void* lfStartReportRequest(void* thresholds) override;
  // Reports read lines cut to their first MAXRECSIZE - 2 characters, as
  // monitoring does.
  char* lfTakePrecedingEntry(_LogBufferInfo* info) override;
  // Closes the report's descriptor, frees the handle and sets *report to
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
  void slDeallocateReportBuffers(void** report);

  // Test seam: when non-zero, the time the entry-time conversion and the
  // report start take as the current time instead of the clock.
  std::atomic<time_t> FixedNow;

 private:
  // The current time, or FixedNow.
  time_t slNow() const;
  // lfFormatEntryAsRow while monitoring: the `length` bytes at `entry`
  // dated against the local time of slNow().
  long slFormatMonitoredEntry(const char* entry, size_t length,
                              tvx_vxlogent_data_t* row);

  // The row every monitored line starts from: blank, with the columns of
  // this log (lfFillLogColumns) as they are for the system name at
  // RowSystemName (while gSystemName is another, a line starts from a
  // blank row). Made before the worker starts and never changed, so that
  // any thread may read it.
  tvx_vxlogent_data_t LogRow;
  const char* RowSystemName;
  int RowSystemNameLength;
  // EntryRow is LogRow but for ENTRYTIME to ENTRYDESC and TIMESTAMP, which
  // the entry before filled. Worker thread only (as EntryRow).
  bool EntryRowFromLogRow = false;
  // What a year-less line is dated against: the local time of slNow()
  // while monitoring (null `report`), the stamp of the report's
  // lastEntryTime otherwise.
  struct tm slReference(void* report) const;
  // By which rule: against an entry once the report has read one, so that
  // an entry out of order (a device whose clock is behind) moves no year.
  static Year_Rule slYearRule(const void* report);
};

#endif  // QOR_AGENT_KINDS_SYSLOG_FILE_H_
