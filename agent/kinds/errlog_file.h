// Errlog_File: the log kind of the host's error log (type 'E'), read through
// the error-report command rather than from a file. One output line of the
// command is one entry:
//   "IIIIIIII   MMDDhhmmYY T C resource description text"
// (identifier at 0-7, time at 11-20, then type, class, resource name and the
// description, separated by white space).
//
// Monitoring: the worker runs the log's procedure (the administrator's
// command line, "errpt -c -smmddhhmmyy" by default) through /bin/sh as a
// child process, with the date placeholder replaced by the time of the
// start, and reads the child's standard output through a non-blocking pipe.
// The child lives as long as one run of the worker: stopping the log, or the
// end of the child's output, ends it and reaps it. The child runs in a
// process group of its own, so that what the shell starts ends with it.
//
// Reports run "errpt" directly (no shell) on the requesting thread, one
// child and pipe per report handle; the command selects the entries of the
// window, and the first line of its output (the column header) is skipped.
//
// Ownership and threads as for every Log_File: the log manager creates it
// (its worker starts in the constructor) and deletes it (the destructor
// joins the worker, which has reaped its child). ChildPID is written by the
// worker and read by dumps on other threads, hence atomic. Every descriptor
// is close-on-exec, so neither child holds the other's pipe.
#ifndef QOR_AGENT_KINDS_ERRLOG_FILE_H_
#define QOR_AGENT_KINDS_ERRLOG_FILE_H_

#include <stdio.h>
#include <time.h>

#include <atomic>

#include "agent/kinds/log_file.h"

class Valid_Log;

// Line buffer of the pipe readers: an output line longer than
// ERRLOGBUFSIZE - 1 characters is taken as its first ERRLOGBUFSIZE - 1.
constexpr int ERRLOGBUFSIZE = 256;

// The report handle: one report's child, pipe and line buffer.
struct ErrlogBufferInfo {
  int pipeFD[2];      // read and write end; -1 when closed
  int childPID;       // 0 until created, -1 when the fork failed
  char* commandText;  // the command line for traces (34 bytes); may be null
  FILE* pipeFile;     // stream on pipeFD[0]; null until opened
  char lineBuffer[ERRLOGBUFSIZE];
  unsigned char headerSkipped;  // 1 once the column header was dropped
};

class Errlog_File : public Log_File {
 public:
  // Builds the Log_File part, dumps the object when flow tracing is on and
  // starts the worker thread.
  Errlog_File(const Valid_Log& log, Log_File* anchor);
  Errlog_File(const Errlog_File&) = delete;
  Errlog_File& operator=(const Errlog_File&) = delete;
  // Stops and joins the worker first (which kills and reaps the child).
  ~Errlog_File() override;

  // Dumps the state to the trace (elPrintSelf).
  void PrintSelf() override;
  // lfPrintSelf, then ChildPID; unconditionally.
  void elPrintSelf();

  // --- Monitoring (worker thread) -------------------------------------
  // Creates the pipe, starts the child, reads its output until monitoring
  // ends, then closes the pipe and kills and reaps the child. Failures are
  // recorded in MonitorStatus.
  void lfProcessLogData() override;
  // Creates a close-on-exec pipe into `fds` (read end, write end): 0, or -1
  // (traced) with both set to -1. Sets no status: the caller decides.
  int elOpenPipe(int* const fds);
  // Starts the procedure through /bin/sh with its standard output on
  // fds[1], which is closed here; ChildPID on success, and the read end
  // made a stream (elConvertReadFD). MONITOR_ERR_CREATE_CHILD when the
  // child cannot be created. REQUIRES: LogFD == fds[0].
  void elCreateChild(int* const fds);
  // Writes the date of the start (MMDDhhmmYY, local time) over the first
  // placeholder in `command`, a copy of the procedure, so that LogProcedure
  // keeps its placeholder for the next start.
  void elSubstituteStartDate(char* command);
  // Makes LogFD non-blocking and opens LogFileP on it; on failure LogFileP
  // stays null and MonitorStatus tells why.
  void elConvertReadFD();
  // Waits for output at most a second at a time and reads it, while
  // MonitorStatus is MONITOR_RUNNING. Leaves with an error status when the
  // wait or the read fails, or the output ends. REQUIRES: LogFileP open.
  void elWaitForEventLoop();
  // Reads the complete lines available on the pipe and turns each into an
  // event; a line whose end has not arrived yet is kept for the next pass.
  // 0, or -1 (traced) at the end of the output or on a read error.
  long lfReadLog() override;
  // Sends STOPSIGNAL to the child's process group and reaps the child;
  // one that has not ended within a grace period is killed. ChildPID is -1
  // once the child is reaped.
  void elKillChild();
  // Close the read end of a pipe, as a descriptor (set to -1) or as a
  // stream (set to null); failures are traced.
  void elClosePipe(int* fd);
  void elClosePipe(FILE** stream);
  // How a child ended, traced as the "Monitor" command when `pid` is
  // ChildPID, else as a "Report" command. `status` is the wait status.
  void elPrintChildStatus(int pid, int status, const char* command);

  // --- Entries ---------------------------------------------------------
  // Fills the VXLOGENT row from one output line (NUL-terminated; a trailing
  // newline is left out of ENTRYDESC). 0, or -1 when positions 11-20 are
  // not ten digits (or the line is shorter than that).
  long lfFormatEntryAsRow(char* entry, void* row, void* report) override;
  // Writes the 16-character time stamp of the entry at `dest` (not
  // terminated). The position of the type field, never past the
  // terminator; null when the time is not ten digits.
  char* elFormatEntryTime(char* dest, char* entry);
  // Copies the word at `pos` to `dest`, at most `width` characters,
  // skipping the rest of the word and the white space after it: the
  // position of the next field (the terminator at the end of the entry).
  char* elExtractNextField(char* dest, char* pos, unsigned width);
  // Writes the identifier (the entry's first 8 characters), ": " and the
  // text at `pos` without a trailing newline to `dest`, at most `width`
  // characters in all.
  void elFormatDescription(char* dest, char* entry, char* pos, unsigned width);

  // --- Reports (request threads) --------------------------------------
  // Starts the report command for the window in `thresholds` (a
  // _RequestThresholds): the handle, an ErrlogBufferInfo with the stream on
  // the command's output, or null (traced, nothing left behind) when the
  // pipe, the child or the stream cannot be created.
  void* lfStartReportRequest(void* thresholds) override;
  // Fills `row` from the next output line after the header. `row`, or null
  // at the end of the output, on a read error or on a line that does not
  // format (which ends the report).
  void* lfGetNextLogEntry(void* row, void* report, void* thresholds) override;
  // Closes the pipe, reaps the child (killed when it has not ended within a
  // grace period), frees the handle and sets *report to null.
  void lfEndReportRequest(void** report) override;
  // The line lfGetNextLogEntry returned last, less its newline.
  bool lfReportEntryText(void* report, const char** text,
                         size_t* length) const override;
  // Starts the report child with its output on info->pipeFD[1], which is
  // closed here; childPID, then pipeFile and commandText on success.
  void elCreateChildForReport(ErrlogBufferInfo* info, void* thresholds);
  // argv[1] and argv[2] point to buffers of ERRPTARGSIZE characters. With
  // both a start and an end time they receive "-s" and "-e" with the times;
  // otherwise both become null and the command reports the whole log.
  void elBuildReportCommand(char** argv, void* thresholds);
  // Writes MMDDhhmmYY of a time stamp (characters 3-10 and 1-2) to the ten
  // characters at `dest`, not terminated. A stamp shorter than 16
  // characters is read only up to its terminator ('0' beyond).
  void elTimestamp2ErrlogTime(char* dest, const char* stamp);

  // Process id of the monitoring child (its process group too); -1 while
  // there is none.
  std::atomic<int> ChildPID;

  // Test seam: when non-zero, the time the start date is taken from
  // instead of the clock.
  std::atomic<time_t> FixedNow;

 private:
  // Stores an error status unless the log was stopped meanwhile. Worker only.
  void elSetErrorStatus(_MonitorStatus status);

  // The part of a line whose end has not arrived yet; worker only.
  char PendingLine[ERRLOGBUFSIZE];
  size_t PendingLength;
  // True while the rest of an over-long line is being dropped.
  bool DiscardingLine;
};

// The size of a report argument buffer ("-s" or "-e", ten digits, NUL).
constexpr int ERRPTARGSIZE = 14;

#endif  // QOR_AGENT_KINDS_ERRLOG_FILE_H_
