// Log_Patterns: configuration paths whose last component is a shell pattern
// (`*`, `?`, `[...]`), each watched as one log per matching file.
//
// The log manager hands every line of its configuration file here first: a
// line whose path is a pattern is expanded into one line per matching file
// (the same fields, the file's path in place of the pattern), in name order,
// at most TVX_MAX_PATTERN_LOGS (default 1000) of them; the files past that
// are refused with an error trace at most once a minute. A pattern's own
// rotated files (`app.log.1` when the pattern is `app*.log*`: a name that,
// less a rotation suffix, still matches) are no logs of their own: their
// log follows them by identity. In a directory others than root may write, a
// symbolic link is no match (it could point anywhere). The directory is
// walked to and opened once per expansion (util/safe_open.h: no link
// followed where others may write, each component checked as it is opened)
// and its entries looked at relative to it; one refused so is traced at
// most once a minute and matches nothing. A pattern that matches
// nothing (or whose directory cannot be read) stays one line with the pattern
// as its path, for a log that says so in VXMONLOG.
//
// Changed() tells the manager, once a second, that a pattern's directory
// changed (its modification time moved), so that it expands the lines again.
// Behind that check, an inotify watch on each pattern directory (none with
// TVX_POLL_ONLY=1 or when inotify cannot be had) has a thread of this object
// wake the manager thread at once (a SIGCHLD to it, which its signal wait
// takes as "look again"):
// a file that appears is then a new log, read from its start (Fresh()), and
// one whose name is gone for PATTERNGRACESECONDS drops its log, which reads
// its file to the end first. Until then the log stays: a rotation by rename
// leaves the name empty for a moment, and the log follows its old file (a
// late writer's lines) and then the new file under the name, as any log
// does.
//
// Owned by the log manager and used by its thread only.
#ifndef QOR_AGENT_FOLLOW_LOG_PATTERN_H_
#define QOR_AGENT_FOLLOW_LOG_PATTERN_H_

#include <stddef.h>
#include <sys/types.h>
#include <time.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "util/repeat_limiter.h"
#include "util/unique_fd.h"

// Most logs one pattern makes; TVX_MAX_PATTERN_LOGS overrides it.
constexpr size_t DEFAULTMAXPATTERNLOGS = 1000;
// Milliseconds between two expansions of a pattern whose directory keeps
// changing.
constexpr long long PATTERNRESCANMS = 500;
// Seconds a matched name may be missing before its log ends.
constexpr long long PATTERNGRACESECONDS = 5;

class Log_Patterns {
 public:
  Log_Patterns();
  // Stops and joins the watch thread, if it runs.
  ~Log_Patterns() { StopWatching(); }
  // Stops and joins the watch thread, if it runs: called by the manager
  // thread before it ends, as the thread wakes it. Any number of times.
  void StopWatching();
  Log_Patterns(const Log_Patterns&) = delete;
  Log_Patterns& operator=(const Log_Patterns&) = delete;

  // Whether the path of configuration line `record` is a pattern.
  static bool IsPattern(const char* record);
  // The lines `record` (a pattern line) stands for, into *records: one per
  // matching file, or the record itself when nothing matches. Remembers the
  // directory's state for Changed() and the files for Fresh().
  void Expand(const char* record, std::vector<std::string>* records);
  // True when a file named `path` was not among the matches of its
  // `pattern` (a path) at the expansion before the current one, and the
  // pattern was expanded then: a file that appeared while the agent ran.
  bool Fresh(const std::string& path, const std::string& pattern) const;
  // Begins an expansion of every pattern line (the configuration is read
  // again): what the last one found becomes what Fresh() compares with.
  void BeginExpansion();
  // True when any pattern's directory changed since it was expanded.
  bool Changed();
  // The file the expansion opened for `path`, a match that was not there at
  // the expansion before (relative to the directory it checked, no link
  // followed): its log reads it even when the name is gone by the time its
  // worker opens it. Invalid when none; each is taken once.
  Unique_Fd TakeOpened(const std::string& path);
  // Whether any pattern is configured.
  bool Any() const { return !dirs_.empty(); }

  // Whether `name` (a base name) matches `pattern` as a log of its own:
  // it matches, and it is no rotated file of another match.
  static bool MatchesLog(const char* pattern, const char* name);

 private:
  struct Dir_State {
    struct timespec mtime = {};
    // Which directory the path named: one swapped for another (or for a
    // link to one) changed even when the times agree.
    dev_t device = 0;
    ino_t inode = 0;
    bool readable = false;
  };
  size_t max_logs_;
  // Pattern directories and their state at the last expansion.
  std::map<std::string, Dir_State> dirs_;
  // Matches of the current and of the previous expansion; whether an
  // expansion came before.
  std::set<std::string> seen_;
  std::set<std::string> before_;
  // Patterns (paths) of the current and of the previous expansion.
  std::set<std::string> patterns_;
  std::set<std::string> patterns_before_;
  // Matched names that went missing, and since when (monotonic seconds).
  std::map<std::string, long long> missing_since_;
  // Files the current expansion opened, until taken.
  std::map<std::string, Unique_Fd> opened_;
  Repeat_Limiter refusal_traces_;
  Repeat_Limiter dir_traces_;
  // A pattern directory refused (a link where others may write, or a
  // component that changed while it was walked).
  Repeat_Limiter refused_dir_traces_;
  // Directory watches: the inotify instance (made at the first pattern),
  // the eventfd that stops the thread, the thread and the manager thread it
  // wakes. Written by the manager thread before the thread starts; the
  // thread only reads the descriptors.
  void WatchDirectory(const std::string& dir);
  static void* WatchThread(void* arg);
  Unique_Fd inotify_;
  Unique_Fd stop_;
  pthread_t thread_ = {};
  pthread_t manager_ = {};
  bool thread_started_ = false;
  bool watch_failed_ = false;
  std::set<std::string> watched_;
};

#endif  // QOR_AGENT_FOLLOW_LOG_PATTERN_H_
