// Constants of the log configuration shared by the configuration reader,
// the log manager, the log kinds and the tables.
#ifndef QOR_AGENT_CONFIG_DEF_H_
#define QOR_AGENT_CONFIG_DEF_H_

// Debug mode letters: whether a log writes a debug copy of what it reads.
constexpr char LOGDEBUGMODEON = 'Y';
constexpr char LOGDEBUGMODEOFF = 'N';  // the default

// Log type letters.
constexpr char SYSLOGTYPE = 'S';    // syslog-format text log; the default
constexpr char ERRLOGTYPE = 'E';    // error report read through a command
constexpr char ADMINLOGTYPE = 'A';  // utmp-format login accounting
constexpr char USERLOGTYPE = 'U';   // text log described by a format string

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

// Procedure of an error-report log that names none.
constexpr char DEFAULTERRLOGPROCEDURE[] = "errpt -c -smmddhhmmyy";
// Replaced by the log's full file name wherever it occurs in a procedure.
constexpr char PROCEDUREPLACEHOLDER[] = "${@}";

// Size of the buffer configuration records are read into: a line holds at
// most CONFIGRECSIZE - 2 characters besides its newline.
constexpr int CONFIGRECSIZE = 1024;

// Environment variables naming the configuration files, and the syslog
// configuration read when none is named.
constexpr char CONFIGFILEENVVAR[] = "TVX_CONFIG_FILE";
constexpr char SYSLOGCONFENVVAR[] = "TVX_SYSLOG_CONF";
constexpr char DEFAULTSYSLOGCONF[] = "/etc/syslog.conf";
// Read instead when DEFAULTSYSLOGCONF does not exist (hosts running rsyslog).
constexpr char DEFAULTRSYSLOGCONF[] = "/etc/rsyslog.conf";

// A-type procedure selecting the host's own utmp record layout; an A log
// without a procedure has the fixed 36-byte records.
constexpr char UTMPPROCEDURE[] = "utmp";
// Names the agent debug file; set, it turns the agent's debug mode on.
constexpr char DEBUGLOGENVVAR[] = "AGENT_DEBUG_LOG";

#endif  // QOR_AGENT_CONFIG_DEF_H_
