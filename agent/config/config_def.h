// Constants of the log configuration shared by the configuration reader,
// the log manager, the log kinds and the tables.
#ifndef QOR_AGENT_CONFIG_CONFIG_DEF_H_
#define QOR_AGENT_CONFIG_CONFIG_DEF_H_

// Debug mode letters: whether a log writes a debug copy of what it reads.
constexpr char LOGDEBUGMODEON = 'Y';
constexpr char LOGDEBUGMODEOFF = 'N';  // the default

// Log type letters.
constexpr char SYSLOGTYPE = 'S';    // syslog-format text log; the default
constexpr char ERRLOGTYPE = 'E';    // error report read through a command
constexpr char ADMINLOGTYPE = 'A';  // utmp-format login accounting
constexpr char USERLOGTYPE = 'U';   // text log described by a format string
constexpr char JOURNALTYPE = 'J';   // systemd journal read through sd-journal

// The separator an absolute file name begins with, and the shortest
// directory prefix ("/") of an accepted name.
constexpr char ROOT = '/';
constexpr int MINPATHLENGTH = 1;

// Agent configuration lines: up to MAXCONFIGFIELDS fields separated by
// blanks or tabs, each field after the first opened by FIELDFIRSTCHAR. The
// empty delimiter set takes the rest of a line as one token.
constexpr char FIELDDELIMITER1[] = "\t ";
constexpr char FIELDDELIMITER2[] = "";
constexpr char FIELDFIRSTCHAR = ';';
constexpr int MAXCONFIGFIELDS = 4;
// A line "multiline PATH [quiet=SECONDS] START" gives the S or U log of PATH,
// configured on a line above it, entries of several lines: a line that does
// not match START (RE2, POSIX syntax) continues the current entry.
constexpr char MULTILINEKEYWORD[] = "multiline";
constexpr char QUIETOPTION[] = "quiet=";
// An entry of several lines ends after this much quiet, by default; the
// most a rule may set.
constexpr int DEFAULTQUIETMS = 1000;
constexpr int MAXQUIETMS = 3600 * 1000;

// Procedure of an error-report log that names none.
constexpr char DEFAULTERRLOGPROCEDURE[] = "errpt -c -smmddhhmmyy";
// Replaced by the log's full file name wherever it occurs in a procedure.
constexpr char PROCEDUREPLACEHOLDER[] = "${@}";
// What the placeholder becomes in an error-report command: the log's path
// reaches the shell as its first positional parameter, never as command
// text, so a path holding ";", "$(" or quotes runs nothing of its own.
constexpr char PROCEDUREPATHREFERENCE[] = "\"$1\"";

// Size of the buffer configuration records are read into: a line holds at
// most CONFIGRECSIZE - 2 characters besides its newline.
constexpr int CONFIGRECSIZE = 1024;

// Environment variables naming the configuration files, and the syslog
// configuration read when none is named.
constexpr char CONFIGFILEENVVAR[] = "TVX_CONFIG_FILE";
constexpr char SYSLOGCONFENVVAR[] = "TVX_SYSLOG_CONF";
// The files above as trust messages name them.
constexpr char CONFIGWHAT[] = "configuration file";
constexpr char STATEWHAT[] = "state file";
constexpr char DEFAULTSYSLOGCONF[] = "/etc/syslog.conf";
// Read instead when DEFAULTSYSLOGCONF does not exist (hosts running rsyslog).
constexpr char DEFAULTRSYSLOGCONF[] = "/etc/rsyslog.conf";

// A-type procedure selecting the host's own utmp record layout; an A log
// without a procedure has the fixed 36-byte records.
constexpr char UTMPPROCEDURE[] = "utmp";

// Where the journal lives, persistent first: watched when neither the
// agent's nor a syslog configuration exists.
constexpr char PERSISTENTJOURNALDIR[] = "/var/log/journal";
constexpr char VOLATILEJOURNALDIR[] = "/run/log/journal";
// Names the agent debug file; set, it turns the agent's debug mode on.
constexpr char DEBUGLOGENVVAR[] = "AGENT_DEBUG_LOG";
// Names the file that keeps each log's position across restarts; unset,
// every log starts at its end.
constexpr char STATEFILEENVVAR[] = "TVX_STATE_FILE";
// Seconds between saves of the positions, and between retries of the logs
// in an error status.
constexpr int STATESAVESECONDS = 2;
constexpr int LOGRETRYSECONDS = 10;

#endif  // QOR_AGENT_CONFIG_CONFIG_DEF_H_
