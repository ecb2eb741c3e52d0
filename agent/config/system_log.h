// The host's system log as the agent watches it: by default when no agent
// configuration is named, and for the @systemlog line of one. It is the
// files the syslog configuration writes to, each message once, else the
// systemd journal.
//
// Each log found is handed on as one line of the agent's configuration
// format ("PATH ;D ;T"), to be parsed like any other; what takes them (the
// log manager's valid-log ring) is the caller's. Manager thread only; no
// state outlives a call.
#ifndef QOR_AGENT_CONFIG_SYSTEM_LOG_H_
#define QOR_AGENT_CONFIG_SYSTEM_LOG_H_

#include <stddef.h>
#include <time.h>

#include <functional>

#include "agent/config/log_manager_util.h"

// Where the system log is looked for.
struct System_Log_Places {
  // The syslog configuration file (TVX_SYSLOG_CONF or the default).
  const char* syslog_conf = "";
  // The journal directories, in order; null entries are passed over.
  const char* const* journal_dirs = nullptr;
  size_t journal_dir_count = 0;
  // Whether a directory holds journal files: the journal kind's own test.
  bool (*holds_journal_files)(const char* dir) = nullptr;
};

// Takes one configuration line (modifiable, NUL-terminated): true when it
// was accepted.
using System_Log_Add = std::function<bool(char* record)>;

// When the first word of `record` is SYSTEMLOGKEYWORD: the rest of the line
// after it; else null.
char* SystemLogLine(char* record);

// The debug mode of a system-log line's rest: its one field (";Y", ";N" or
// ";"), anything further traced and ignored. Modifies `rest`.
char SystemLogDebugMode(char* rest);

// Hands `add` the system log's files in debug mode `debug`: the files the
// syslog configuration writes to (SyslogWatchFiles; one that does not exist
// yet is watched when it appears) when the configuration exists, is trusted
// (`first_load`: refusals are reported as at start) and one of the files it
// names exists; else, when `journal` allows, the journal (AddJournalLog).
// The number `add` accepted. `*from_conf` tells whether the lines came from
// the syslog configuration, and then `*signature` is its signature.
unsigned int AddSystemLog(const System_Log_Places& places, char debug,
                          bool journal, bool first_load,
                          const System_Log_Add& add, bool* from_conf,
                          File_Signature* signature);

// The log of a journal-only host: one J log of the first journal directory
// that holds journal files (else the first that exists, which waits for its
// files), traced with `why` (a message with the syslog configuration's and
// the journal's names; null for the default one), in debug mode `debug`.
// 1 when `add` accepted it, 0 when it did not or no directory is there.
unsigned int AddJournalLog(const System_Log_Places& places, char debug,
                           const char* why, const System_Log_Add& add);

// Whether AddSystemLog may find another list than it did last: never read
// (`last_changed` 0), or the syslog configuration changed, appeared or went
// since `signature` was taken.
bool SystemLogChanged(const char* syslog_conf, time_t last_changed,
                      const File_Signature& signature);

#endif  // QOR_AGENT_CONFIG_SYSTEM_LOG_H_
