// Reading the host's syslog configuration for the files it writes: the
// classic syslogd format and rsyslog's (legacy directives and one-line
// RainerScript statements), with included files followed.
//
// Used by the log manager on its manager thread only; no state outlives a
// call.
#ifndef QOR_AGENT_CONFIG_SYSLOG_CONF_H_
#define QOR_AGENT_CONFIG_SYSLOG_CONF_H_

#include <stdint.h>

#include <string>
#include <vector>

// Bounds of one reading: included files nest at most this deep, and at most
// this many files are read in all, so that an include cycle or a pattern
// matching thousands of files cannot stall the manager thread.
constexpr int MAXSYSLOGINCLUDEDEPTH = 8;
constexpr int MAXSYSLOGCONFFILES = 256;

// The syslog configuration as trust messages name it: it, and every file it
// includes, must be one no other user can change (util/trusted_file.h).
constexpr char SYSLOGCONFWHAT[] = "syslog configuration file";

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

// The line of an agent configuration file that stands for the host's system
// log: the files the syslog configuration writes to, each message once, or
// the journal where no syslog configuration names a file.
constexpr char SYSTEMLOGKEYWORD[] = "@systemlog";

// Facilities a selector can name (kern ... local7).
constexpr int SYSLOGFACILITIES = 24;

// One file the syslog configuration writes to, and which messages reach
// it by the rules that name it.
struct Syslog_Target {
  std::string path;
  // Selector rules: bit p of mask[f] is set when priority p (0 emerg ...
  // 7 debug) of facility f is written to the file.
  uint8_t mask[SYSLOGFACILITIES] = {};
  // Also written by a rule that chooses by other means (a property filter,
  // an expression): which messages is not known.
  bool filtered = false;
  // A rule that writes to it ends its messages there ("stop", "~"), or it
  // belongs to a ruleset of its own: no other file holds them.
  bool stops = false;
};

// The files the configuration `records` (as ReadSyslogConf returns them)
// writes to, in the order they are first named, each once. Understood:
// "selector action" lines ('&' repeating the selector before), property
// filters (":property, op, \"value\" action"), "if ... then action",
// blocks in braces, "stop" and "~", legacy paths ("-" and ";Template"
// dropped) and action(type="omfile" file="...") statements. A file action
// whose name is made per message (dynaFile=, "?Template") is traced once
// and left out.
void SyslogTargets(const std::vector<std::string>& records,
                   std::vector<Syslog_Target>* targets);

// Of `targets`, the files to watch so that each message is read once: a
// file whose messages all reach another file as well (its selector covered
// by the other's, like kern.* by *.*) is left out, and so is one written
// only by filter rules whose messages go on to the rules after them;
// each left out is traced at the flow level.
std::vector<std::string> SyslogWatchFiles(
    const std::vector<Syslog_Target>& targets);

#endif  // QOR_AGENT_CONFIG_SYSLOG_CONF_H_
