// Journal_File: the log kind of the systemd journal (type 'J'), read through
// libsystemd's sd-journal API, never by reading journal files directly.
//
// The log's path names a journal directory (/var/log/journal,
// /run/log/journal or any directory of journal files, machine-id
// subdirectories included) or one journal file. Its procedure, when given, is
// a match list in journalctl's syntax: FIELD=value terms separated by blanks,
// "+" between alternatives ("_SYSTEMD_UNIT=ssh.service + SYSLOG_IDENTIFIER=
// sudo"); only matching entries are monitored and reported.
//
// One entry is one VXLOGENT row:
//   ENTRYTIME  the entry's realtime stamp, local time, with milliseconds
//   ENTRYSYS   _HOSTNAME
//   ENTRYSRC   SYSLOG_IDENTIFIER, else _COMM, then "[pid]" from _PID (else
//              SYSLOG_PID) when the entry has one
//   ENTRYTYPE  PRIORITY as a word: emerg alert crit err warning notice info
//              debug
//   ENTRYCLASS SYSLOG_FACILITY as a name (kern, user, ... local7)
//   ENTRYDESC  MESSAGE
// Every text column holds the printable part of its field (control bytes and
// bytes that are not UTF-8 are left out, tabs and line ends become blanks),
// cut to the column without splitting a character.
//
// Monitoring: the worker opens its own sd-journal handle at the journal's
// tail (new entries only; after the saved cursor when the agent keeps
// positions across restarts) and waits for more by polling sd-journal's
// descriptor together with the log's wake (lfWaitForWake), so that a stop
// ends the wait at once. Rotation, vacuuming and new journal files are
// sd-journal's business.
//
// Reports: each report opens a handle of its own, seeks to the end of its
// window and steps back, so that its cost follows the rows in the window, not
// the size of the journal.
//
// Ownership and threads as for every Log_File: the log manager creates it
// (its worker starts in the constructor) and deletes it (the destructor joins
// the worker). An sd-journal handle is used by one thread only: the worker's
// (JournalHandle) by the worker, a report's by its request thread, and the
// monitored-logs table opens one per sample.
#ifndef QOR_AGENT_KINDS_JOURNAL_FILE_H_
#define QOR_AGENT_KINDS_JOURNAL_FILE_H_

#include <stdint.h>
#include <time.h>

#include <memory>
#include <string>

#include "agent/kinds/log_file.h"

class Valid_Log;
struct sd_journal;
struct tvx_vxlogent_data_t;

// Longest wait of the worker for new entries before it looks at its status
// anyway: a stop wakes it at once (lfWake), so this bounds the wait only
// where the log has no wake descriptor.
constexpr long JOURNALWAITUSEC = 2000000;
// Entries the worker reads in one go before it looks at its status.
constexpr int JOURNALBATCH = 1024;

// Closes an sd-journal handle.
struct Journal_Closer {
  void operator()(sd_journal* journal) const;
};
using Unique_Journal = std::unique_ptr<sd_journal, Journal_Closer>;

// The report handle: the report's own journal handle and its window in
// microseconds since the epoch.
struct JournalReportInfo {
  Unique_Journal journal;
  uint64_t startUsec;  // older entries end the report; 0 when open
  uint64_t endUsec;    // newer entries are skipped; UINT64_MAX when open
  bool errorTraced;    // an entry that could not be read was traced
};

class Journal_File : public Log_File {
 public:
  // Builds the Log_File part, dumps the object when flow tracing is on and
  // starts the worker thread.
  Journal_File(const Valid_Log& log, Log_File* anchor);
  Journal_File(const Journal_File&) = delete;
  Journal_File& operator=(const Journal_File&) = delete;
  // Stops and joins the worker first.
  ~Journal_File() override;

  // --- Configuration (manager thread) ---------------------------------
  // Whether `path` (absolute, no trailing '/') names a journal directory or
  // a journal file and `matches` (null for none) is a valid match list; a
  // rejection is traced naming the path and sd-journal's error text, or the
  // offending term. A journal the agent may not read is accepted: its log
  // then shows an error status.
  static bool jlCheckConfig(const char* path, const char* matches);
  // Whether the directory `path`, or a subdirectory of it, holds a file
  // named as a journal file (readable or not).
  static bool jlHoldsJournalFiles(const char* path);
  // Adds the match list `matches` to `journal`: 0, or a negative errno with
  // *bad pointing into `matches` at the offending term (of *bad_length
  // characters). "+" must stand between two terms.
  static int jlAddMatches(sd_journal* journal, const char* matches,
                          const char** bad, int* bad_length);

  // --- Monitoring (worker thread) -------------------------------------
  // Opens the journal at its tail and follows it until monitoring ends.
  // Failures are recorded in MonitorStatus.
  void lfProcessLogData() override;
  // Reads every entry after JournalHandle's position and turns each into
  // an event, at most JOURNALBATCH at a time between looks at the status.
  // 0, or -1 (traced) when the journal cannot be read any further.
  // REQUIRES: JournalHandle open.
  long lfReadLog() override;
  // Fills the VXLOGENT row from the entry the journal handle stands on:
  // the report's handle, or JournalHandle when `report` is null. `entry`
  // is not read. 0, or -1 when the entry's time cannot be read.
  long lfFormatEntryAsRow(char* entry, void* row, void* report) override;

  // --- Reports (request threads) --------------------------------------
  // Opens a handle of its own positioned after the end of the window
  // (`thresholds`, a _RequestThresholds; an empty bound is open): the
  // handle, or null (traced) when the journal cannot be opened.
  void* lfStartReportRequest(void* thresholds) override;
  // Steps back to the next older entry of the window and fills `row`:
  // `row`, or null at the first entry older than the window's start, at the
  // journal's head or when it cannot be read.
  void* lfGetNextLogEntry(void* row, void* report, void* thresholds) override;
  void lfEndReportRequest(void** report) override;
  // The MESSAGE of the entry lfGetNextLogEntry returned last (valid until
  // the next call on the report).
  bool lfReportEntryText(void* report, const char** text,
                         size_t* length) const override;

  // The journal's disk usage and the time of its newest (matching) entry,
  // through a handle of its own; the path's modification time when it
  // holds no entry. 0, or an errno value.
  int lfStatLog(int64_t* size, time_t* modified) override;

  // Opens the log's journal with its match list into *journal: 0, or a
  // negative errno (traced). A journal of which no file can be read fails
  // with the reason (EACCES for one the agent may not read).
  int jlOpenJournal(Unique_Journal* journal);

  // --- Positions across restarts -----------------------------------------
  // A J log's position is a journal cursor, in Log_Position::text (path
  // the log's path, the file fields unused); "head" while the journal
  // held no (matching) entry at the start and none was read since, so that
  // those written while the agent was stopped are read after a restart.
  // The cursor of the last entry the worker read (at first, of the entry it
  // started after; before that, the cursor lfSetPosition gave): false when
  // there is none yet. Any thread; takes LogLock.
  bool lfGetPosition(Log_Position* position) override;
  // The worker's next start resumes after the entry of position.text (an
  // earlier run's cursor) instead of at the journal's tail; an empty text
  // (a file kind's position) clears it, unless the position is not a
  // file's either (an empty cursor): it then starts at the head. Without one, a
  // restart of the worker resumes after the last entry read. Takes LogLock.
  void lfSetPosition(const Log_Position& position) override;

  // The worker's handle; open while the worker follows the journal.
  Unique_Journal JournalHandle;

 private:
  // The entry step (lfHandleEntry) for the entry JournalHandle stands on,
  // its fields as the debug record's text. Worker only.
  void jlHandleEntry();
  // The MESSAGE field of the journal's current entry: true with *text
  // (valid until the next call on `journal`) and *length set.
  static bool jlMessage(sd_journal* journal, const char** text, size_t* length);
  // The current entry's MESSAGE while monitoring, for its event. Worker
  // thread only; keeps its room.
  std::string JournalMessage;
  // Writes the entry's fields as FIELD=value lines (printable part) into
  // `text`, at most `size` - 1 characters and a NUL: their length.
  static unsigned jlEntryText(sd_journal* journal, char* text, unsigned size);
  // Traces a read failure once per *traced (the worker's or a report's):
  // a corrupt journal is read as far as sd-journal can, without a trace per
  // entry.
  void jlTraceReadError(bool* traced, const char* what, int error);

  // Positions JournalHandle where the worker starts: after `cursor`'s
  // entry (at the head for "head"), or at the tail when `cursor` is empty
  // or cannot be sought (traced). A cursor past the journal's end goes to
  // jlResumeAfterGap.
  // 0, or a negative errno (traced) when not even the tail can be.
  int jlSeekStart(const std::string& cursor);
  // Where a saved cursor that cannot be followed leaves off: at the oldest
  // entry after the cursor's time, else at the head, so that no entry
  // written since is passed over; `why` is traced with it. 0, or a negative
  // errno (traced).
  int jlResumeAfterGap(const std::string& cursor, const char* why);
  // Publishes the entry JournalHandle stands on as LastCursor. Worker only.
  void jlPublishCursor();
  // Traces each file of a journal directory that sd-journal cannot open
  // (it passes over them without a word). Worker only, at its start.
  void jlTraceBadFiles();
  // Waits until the journal changed, lfWake was called or JOURNALWAITUSEC
  // (or sd-journal's own time-out) passed, and lets sd-journal take in
  // the change: 0, or a negative errno. Worker only.
  int jlWaitForEntries();

  bool ReadErrorTraced;      // worker only
  std::string ResumeCursor;  // guarded by LogLock
  // The position given was a journal's, with an empty cursor: guarded by
  // LogLock.
  bool ResumeEmpty = false;
  std::string LastCursor;    // guarded by LogLock
  // What lfGetPosition reports: LastCursor once the durable event outputs
  // have written the events of the entries up to it. Guarded by LogLock.
  Durable_Position<std::string> SavedCursor GUARDED_BY(LogLock);
};

#endif  // QOR_AGENT_KINDS_JOURNAL_FILE_H_
