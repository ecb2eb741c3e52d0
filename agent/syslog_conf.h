// Reading the host's syslog configuration for the files it writes: the
// classic syslogd format and rsyslog's (legacy directives and one-line
// RainerScript statements), with included files followed.
//
// Used by the log manager on its manager thread only; no state outlives a
// call.
#ifndef QOR_AGENT_SYSLOG_CONF_H_
#define QOR_AGENT_SYSLOG_CONF_H_

#include <string>
#include <vector>

// Bounds of one reading: included files nest at most this deep, and at most
// this many files are read in all, so that an include cycle or a pattern
// matching thousands of files cannot stall the manager thread.
constexpr int MAXSYSLOGINCLUDEDEPTH = 8;
constexpr int MAXSYSLOGCONFFILES = 256;

// The syslog configuration read when TVX_SYSLOG_CONF is unset: `classic`
// when it exists, else `rsyslog`.
const char* ChooseSyslogConf(const char* classic, const char* rsyslog);

// Appends to `records` the lines of the configuration file at `path`, with
// the lines of every file it includes (`$IncludeConfig PATTERN`,
// `include(file="PATTERN")`; a directory stands for every file in it) in
// their place. Each line has its leading white space removed; comment and
// blank lines are left out. A pattern is expanded sorted, a missing match
// is no error, each file is read once. false when `path` itself cannot be
// read (traced); an included file that cannot be read is traced with its
// name and skipped.
bool ReadSyslogConf(const char* path, std::vector<std::string>* records);

// The file a syslog configuration line writes to, cut out of `record` in
// place and terminated: the action of a "selector action" line when it is
// an absolute path (a leading '-', "do not sync", and a ";Template" suffix
// dropped), or the file="..." of an action(type="omfile" ...) statement.
// Null for every other line: remote hosts, users, pipes, directives,
// module loads, templates, blocks. `*no_action` is set when the line is a
// selector with no action after it, the one malformed rule.
char* SyslogActionFile(char* record, bool* no_action);

#endif  // QOR_AGENT_SYSLOG_CONF_H_
