// Log_Base: what the two kinds of log descriptor share, the configuration
// entry (Valid_Log) and the monitored log (Log_File): the absolute file name
// with the length of its directory part, the type and debug-mode letters,
// the log procedure, and the links of a ring of descriptors of one kind.
//
// Rings are circular and doubly linked; their owner (the log manager) keeps
// the head pointer, null for an empty ring. An object owns its two strings
// and never its ring neighbours. The fields are read directly by the log
// manager, the log kinds and the tables; only Log_Base's own members store
// the strings. No lock is taken here: rings change only on the manager
// thread, under the manager's lock or while no request is counted in.
// LogDebugMode is the one field changed while other threads read it (a
// refresh sets it under the log's LogLock; the worker and the monitored-logs
// table read it without), hence atomic.
#ifndef QOR_AGENT_CONFIG_LOG_BASE_H_
#define QOR_AGENT_CONFIG_LOG_BASE_H_

#include <atomic>

// A file name or procedure as messages show it: "" for none.
inline const char* Name(const char* name) {
  return name != nullptr ? name : "";
}

class Log_Base {
 public:
  // No name, not in a ring, type SYSLOGTYPE, debug mode LOGDEBUGMODEOFF,
  // no procedure.
  Log_Base();
  // Private copies of the other's file name and procedure; the copy is in
  // no ring. Ends the process on allocation failure.
  Log_Base(const Log_Base& other);
  Log_Base& operator=(const Log_Base&) = delete;
  // Releases the strings. Does not unlink: subclass destructors do that.
  virtual ~Log_Base();

  // Dumps the object's fields to the trace, one line per field.
  virtual void PrintSelf() = 0;

  // Stores a private copy of `name` and sets LogPathNameLength to the
  // length of its directory part including the last ROOT. A name without
  // ROOT is traced at the error level and not stored, leaving both fields
  // as they were. Ends the process on allocation failure.
  void lbSetLogFileName(const char* name);
  // Stores a private copy of `procedure`, or no procedure when null. Ends
  // the process on allocation failure.
  void lbSetLogProcedure(const char* procedure);
  // Stores a private copy of `start` (the start pattern of an entry of
  // several lines; null: one line per entry) and the quiet time. Ends the
  // process on allocation failure.
  void lbSetEntryRule(const char* start, int quiet_ms);
  // Stores a private copy of `pattern` (the configured path this log was
  // matched by; null: none). Ends the process on allocation failure.
  void lbSetPattern(const char* pattern);
  // Inserts this object at the tail of the ring whose head is `anchor`
  // (just before it); with a null `anchor` it forms a ring of one.
  void lbAddToChain(Log_Base* anchor);
  // Links this object's neighbours to each other. Its own links are left as
  // they were, so that an owner removing the head can move to Next. Does
  // nothing for an object in no ring.
  void lbRemoveFromChain();
  // Writes the fields as one trace record, without a level test.
  void lbPrintSelf();

  Log_Base* Next;     // null while in no ring
  Log_Base* Prev;     // null while in no ring
  char* LogFileName;  // absolute path; null until accepted
  // LogFileName + LogPathNameLength is the base name; 0 until a name is
  // accepted, so non-zero marks the name as accepted.
  int LogPathNameLength;
  std::atomic<char> LogDebugMode;  // LOGDEBUGMODEON or LOGDEBUGMODEOFF
  // SYSLOGTYPE, ERRLOGTYPE, ADMINLOGTYPE, USERLOGTYPE or JOURNALTYPE
  char LogType;
  // Type ERRLOGTYPE: the command producing the error report; type
  // USERLOGTYPE: the format string; type JOURNALTYPE: the match list, or
  // null; otherwise null.
  char* LogProcedure;
  // Types SYSLOGTYPE and USERLOGTYPE: the start pattern of a multiline rule,
  // or null (every line is an entry); the quiet time that ends an entry.
  char* LogEntryStart;
  int LogQuietMs;
  // The configured pattern whose match this log is, or null. A log whose
  // LogFileName is its pattern stands for a pattern that matches nothing.
  char* LogPattern;
  // The log appeared while the agent ran (a new match of its pattern): it
  // is read from its start.
  bool LogReadFromStart;
};

#endif  // QOR_AGENT_CONFIG_LOG_BASE_H_
