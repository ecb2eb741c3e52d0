// Valid_Log: one accepted line of the log configuration: a line of the
// agent's own configuration file, or one the system log stands for
// (agent/config/system_log.h), which is written in the same format.
//
// The log manager creates one per record on its manager thread, keeps the
// accepted ones (Valid == 1) in its valid-log ring, builds the monitored
// logs from them and then deletes the ring; a rejected one is deleted at
// once. An accepted object joins the ring in its constructor and leaves it
// in its destructor; the owner keeps and moves the head pointer. Every
// rejection is traced; nothing in a bad line stops the agent.
//
// Agent configuration line, up to four fields separated by blanks or tabs,
// each after the first opened by ';' (a lone ';' keeps the default):
//   /abs/path [;debug Y|N] [;type S|E|A|U|J] [;procedure to the end of line]
// or a rule for an S or U log configured on a line above it (such a line
// names no log today, so no existing line changes its meaning):
//   multiline /abs/path [quiet=SECONDS] START-PATTERN to the end of line
// The path names a regular file, or for type J also a journal directory; the
// procedure of a J log is its match list.
#ifndef QOR_AGENT_CONFIG_VALID_LOG_H_
#define QOR_AGENT_CONFIG_VALID_LOG_H_

#include "agent/config/log_base.h"
#include "util/unique_fd.h"

// The line format a record is in: the agent configuration's (the only one).
enum _WhenceConfig : char {
  USERCONFIG = 'U',  // a line of the agent's configuration file
};

class Valid_Log : public Log_Base {
 public:
  // Parses `record`, which is modified in place, in the format `whence`
  // names. When accepted, checks it against the ring whose head is
  // `anchor` (null for the first record) and joins that ring at its tail;
  // the caller makes it the head when `anchor` was null. Valid tells the
  // outcome; the caller deletes a rejected object. Ends the process on
  // allocation failure.
  Valid_Log(_WhenceConfig whence, char* record, Valid_Log* anchor);
  Valid_Log(const Valid_Log&) = delete;
  Valid_Log& operator=(const Valid_Log&) = delete;
  // Leaves the ring when accepted; the owner moves its head pointer first
  // if this is the head.
  ~Valid_Log() override;

  void PrintSelf() override;

  // Parses an agent configuration line into the fields.
  void vlExtractTokens(char* record);
  // Applies the rule of a line "multiline PATH [quiet=SECONDS] START" (the
  // text after the keyword, modified in place) to the S or U log of PATH in
  // the ring whose head is `anchor`. A rule that names no such log, whose
  // quiet time is out of range or whose pattern does not compile is traced
  // and changes nothing.
  void vlApplyEntryRule(char* rule, Valid_Log* anchor);
  // Rejects the entry when an element of the ring whose head is `anchor`
  // already names the same file.
  void vlCheckForDups(Log_Base* anchor);
  // Stores `procedure` with every PROCEDUREPLACEHOLDER replaced by the full
  // file name (for an error-report log, by PROCEDUREPATHREFERENCE). Ends the
  // process on allocation failure.
  void vlSetLogProcedure(const char* procedure);
  // Writes the fields to the trace without a level test.
  void vlPrintSelf();

  unsigned char Valid;  // 1 while accepted, 0 once any check rejected the line
  // The file a pattern's look opened for this line (a match that appeared):
  // the log made from it reads this file, even when its name is gone by
  // the time its worker runs. Moved out by the log; closed otherwise.
  mutable Unique_Fd PreOpened;
};

#endif  // QOR_AGENT_CONFIG_VALID_LOG_H_
