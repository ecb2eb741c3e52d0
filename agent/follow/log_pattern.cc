// Log_Patterns: configured paths with shell patterns, expanded into one log
// per matching file.
#include "agent/follow/log_pattern.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "agent/follow/log_watch.h"
#include "framework/runtime/trace.h"
#include "util/errno_text.h"
#include "util/safe_open.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char MaxLogsEnvVar[] = "TVX_MAX_PATTERN_LOGS";
const char RefusedMsg[] =
    "\nPattern %s matches %zu files; only the first %zu are watched (TVX_MAX_PATTERN_LOGS), %s and others are refused.";
const char DirErrMsg[] =
    "\nPattern directory %s cannot be read; errno = %d; %s";
const char DirRefusedMsg[] = "\nPattern directory %s is refused: %s.";
const char SymlinkMsg[] =
    "\nSymbolic link %s in directory %s, which others may write, is no log of pattern %s.";

// Compression suffixes and the rotation suffixes stripped before them.
const char* const kPacked[] = {".gz", ".xz", ".bz2", ".zst", ".Z"};

bool EndsWith(const std::string& s, const char* tail) {
  const size_t n = strlen(tail);
  return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

// `name` less one rotation suffix (".gz" and the like, ".N", "-DIGITS" of
// 8 or more, ".old"); `name` itself when it has none.
std::string StripRotation(const std::string& name) {
  for (const char* packed : kPacked) {
    if (EndsWith(name, packed)) {
      return name.substr(0, name.size() - strlen(packed));
    }
  }
  if (EndsWith(name, ".old")) {
    return name.substr(0, name.size() - 4);
  }
  size_t digits = 0;
  while (digits < name.size() &&
         isdigit(static_cast<unsigned char>(name[name.size() - 1 - digits]))) {
    ++digits;
  }
  if (digits == 0 || digits == name.size()) {
    return name;
  }
  const char sep = name[name.size() - 1 - digits];
  if (sep == '.' || (sep == '-' && digits >= 8) ||
      (sep == '_' && digits >= 8)) {
    return name.substr(0, name.size() - 1 - digits);
  }
  return name;
}

// The path (first field) of a configuration line and what follows it.
void SplitRecord(const char* record, std::string* path, std::string* rest) {
  const size_t n = strcspn(record, " \t");
  path->assign(record, n);
  rest->assign(record + n);
}

}  // namespace

Log_Patterns::Log_Patterns() : max_logs_(DEFAULTMAXPATTERNLOGS) {
  const char* const value = getenv(MaxLogsEnvVar);
  if (value != nullptr && *value != '\0') {
    char* end = nullptr;
    const long n = strtol(value, &end, 10);
    if (end != value && *end == '\0' && n > 0) {
      max_logs_ = static_cast<size_t>(n);
    }
  }
}

void Log_Patterns::StopWatching() {
  if (!thread_started_) {
    return;
  }
  thread_started_ = false;
  watch_failed_ = true;  // no new thread
  const uint64_t one = 1;
  if (write(stop_.get(), &one, sizeof one) != sizeof one) {
    pthread_cancel(thread_);  // not reached: an eventfd takes the write
  }
  pthread_join(thread_, nullptr);
}

void* Log_Patterns::WatchThread(void* arg) {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  pthread_setname_np(pthread_self(), "qor-patterns");
  Log_Patterns* const self = static_cast<Log_Patterns*>(arg);
  char events[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
  for (;;) {
    struct pollfd fds[2] = {{self->inotify_.get(), POLLIN, 0},
                            {self->stop_.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return nullptr;  // the one-second check remains
    }
    if (fds[1].revents != 0) {
      return nullptr;
    }
    bool any = false;
    while (read(self->inotify_.get(), events, sizeof events) > 0) {
      any = true;
    }
    if (any) {
      // The manager's signal wait takes it as "look again".
      pthread_kill(self->manager_, SIGCHLD);
      // A directory that keeps changing wakes it once per PATTERNRESCANMS
      // (the manager expands no more often); a stop is still taken at once.
      struct pollfd stop = {self->stop_.get(), POLLIN, 0};
      if (poll(&stop, 1, static_cast<int>(PATTERNRESCANMS)) > 0) {
        return nullptr;
      }
    }
  }
}

void Log_Patterns::WatchDirectory(const std::string& dir) {
  if (watch_failed_ || watched_.count(dir) != 0 || Log_Watch::PollOnly()) {
    return;
  }
  if (!inotify_.valid()) {
    inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    stop_.reset(eventfd(0, EFD_CLOEXEC));
    if (!inotify_.valid() || !stop_.valid()) {
      watch_failed_ = true;
      return;
    }
  }
  if (inotify_add_watch(inotify_.get(), dir.c_str(),
                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                            IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0) {
    return;  // the one-second check looks at it
  }
  watched_.insert(dir);
  if (!thread_started_) {
    manager_ = pthread_self();
    thread_started_ = pthread_create(&thread_, nullptr, WatchThread, this) == 0;
    watch_failed_ = !thread_started_;
  }
}

bool Log_Patterns::IsPattern(const char* record) {
  if (record == nullptr || record[0] != '/') {
    return false;
  }
  const size_t n = strcspn(record, " \t");
  const char* last = record;
  for (const char* p = record; p < record + n; ++p) {
    if (*p == '/') {
      last = p + 1;
    }
  }
  for (const char* p = last; p < record + n; ++p) {
    if (*p == '*' || *p == '?' || *p == '[') {
      return true;
    }
  }
  return false;
}

bool Log_Patterns::MatchesLog(const char* pattern, const char* name) {
  if (fnmatch(pattern, name, FNM_PERIOD) != 0) {
    return false;
  }
  // A rotated file of another match: its log follows it by identity.
  std::string stem = name;
  for (int i = 0; i < 3; ++i) {
    const std::string shorter = StripRotation(stem);
    if (shorter == stem) {
      break;
    }
    if (fnmatch(pattern, shorter.c_str(), FNM_PERIOD) == 0) {
      return false;
    }
    stem = shorter;
  }
  return true;
}

void Log_Patterns::BeginExpansion() {
  if (!patterns_.empty()) {
    before_ = std::move(seen_);
    patterns_before_ = std::move(patterns_);
  }
  seen_.clear();
  patterns_.clear();
  opened_.clear();
}

Unique_Fd Log_Patterns::TakeOpened(const std::string& path) {
  const auto it = opened_.find(path);
  if (it == opened_.end()) {
    return Unique_Fd();
  }
  Unique_Fd fd = std::move(it->second);
  opened_.erase(it);
  return fd;
}

bool Log_Patterns::Fresh(const std::string& path,
                         const std::string& pattern) const {
  return patterns_before_.count(pattern) != 0 && before_.count(path) == 0;
}

void Log_Patterns::Expand(const char* record,
                          std::vector<std::string>* records) {
  WEX1_Event ev(wex1, __func__);
  records->clear();
  std::string path, rest;
  SplitRecord(record, &path, &rest);
  const size_t slash = path.rfind('/');
  const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  const std::string pattern = path.substr(slash + 1);
  patterns_.insert(path);
  Dir_State& state = dirs_[dir];
  struct stat dst;
  state.readable = false;
  state.mtime = {};
  state.device = 0;
  state.inode = 0;
  if (stat(dir.c_str(), &dst) == 0) {
    state.mtime = dst.st_mtim;
    state.device = dst.st_dev;
    state.inode = dst.st_ino;
  }
  WatchDirectory(dir);
  // The directory is walked to and opened once (no link followed where
  // others may write, each component checked as opened), and its entries
  // looked at relative to what was opened: a component swapped meanwhile
  // is never taken for the one checked.
  Safe_Directory opened;
  std::string why;
  int e = OpenDirectorySafely(dir, &opened, &why);
  DIR* d = nullptr;
  if (e == 0) {
    Unique_Fd listing(
        openat(opened.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    d = listing.valid() ? fdopendir(listing.get()) : nullptr;
    e = d == nullptr ? errno : 0;
    if (d != nullptr) {
      listing.release();  // closedir closes it
    }
  }
  if (d == nullptr) {
    const long long now = Repeat_Limiter::Now();
    const bool refused = e == ELOOP || e == EAGAIN;
    Repeat_Limiter& limiter = refused ? refused_dir_traces_ : dir_traces_;
    if (limiter.Due(now)) {
      limiter.Traced(now);
      char eb[128];
      if (refused) {
        WEX1_TRACE(wex1, WEX1_ERROR, DirRefusedMsg, dir.c_str(), why.c_str());
      } else {
        WEX1_TRACE(wex1, WEX1_ERROR, DirErrMsg, dir.c_str(), e,
                   ErrnoText(e, eb, sizeof eb));
      }
    } else {
      limiter.Held(1);
    }
    records->push_back(record);
    return;
  }
  state.readable = true;
  const bool untrusted = opened.others_may_write;
  std::vector<std::string> names;
  while (const struct dirent* entry = readdir(d)) {
    if (!MatchesLog(pattern.c_str(), entry->d_name)) {
      continue;
    }
    const std::string full = (dir == "/" ? "" : dir) + "/" + entry->d_name;
    struct stat st;
    if (fstatat(opened.fd.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) !=
        0) {
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      if (untrusted) {
        const long long now = Repeat_Limiter::Now();
        if (dir_traces_.Due(now)) {
          dir_traces_.Traced(now);
          WEX1_TRACE(wex1, WEX1_ERROR, SymlinkMsg, full.c_str(), dir.c_str(),
                     path.c_str());
        } else {
          dir_traces_.Held(1);
        }
        continue;
      }
      if (fstatat(opened.fd.get(), entry->d_name, &st, 0) != 0) {
        continue;
      }
    }
    if (!S_ISREG(st.st_mode)) {
      continue;
    }
    names.push_back(full);
  }
  closedir(d);
  // A name of the last expansion that is gone keeps its log for the grace
  // time (a rotation by rename, the new file not created yet).
  const long long now = Repeat_Limiter::Now();
  std::sort(names.begin(), names.end());
  const std::string prefix = (dir == "/" ? "" : dir) + "/";
  for (const std::string& old : before_) {
    if (old.compare(0, prefix.size(), prefix) != 0 ||
        old.find('/', prefix.size()) != std::string::npos ||
        !MatchesLog(pattern.c_str(), old.c_str() + prefix.size()) ||
        std::binary_search(names.begin(), names.end(), old)) {
      continue;
    }
    const auto since = missing_since_.emplace(old, now).first;
    if (now - since->second < PATTERNGRACESECONDS) {
      names.insert(std::lower_bound(names.begin(), names.end(), old), old);
    } else {
      missing_since_.erase(since);
    }
  }
  for (const std::string& name : names) {
    const auto gone = missing_since_.find(name);
    if (gone != missing_since_.end() && access(name.c_str(), F_OK) == 0) {
      missing_since_.erase(gone);
    }
  }
  if (names.size() > max_logs_) {
    if (refusal_traces_.Due(now)) {
      refusal_traces_.Traced(now);
      WEX1_TRACE(wex1, WEX1_ERROR, RefusedMsg, path.c_str(), names.size(),
                 max_logs_, names[max_logs_].c_str());
    }
    names.resize(max_logs_);
  }
  if (names.empty()) {
    records->push_back(record);
    return;
  }
  for (const std::string& name : names) {
    seen_.insert(name);
    records->push_back(name + rest);
    // A match that appeared is opened now, at the look that saw it.
    if (before_.count(name) == 0 && missing_since_.count(name) == 0) {
      const int fd = OpenInDirectory(
          opened, name.c_str() + prefix.size(),
          O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, nullptr, nullptr);
      if (fd >= 0) {
        opened_[name].reset(fd);
      }
    }
  }
}

bool Log_Patterns::Changed() {
  const long long now = Repeat_Limiter::Now();
  for (const auto& [name, since] : missing_since_) {
    if (now - since >= PATTERNGRACESECONDS) {
      return true;  // a name gone for the grace time ends its log
    }
  }
  for (const auto& [dir, state] : dirs_) {
    struct stat st;
    const bool ok = stat(dir.c_str(), &st) == 0;
    const struct timespec mtime = ok ? st.st_mtim : timespec{};
    if (mtime.tv_sec != state.mtime.tv_sec ||
        mtime.tv_nsec != state.mtime.tv_nsec ||
        (ok ? st.st_dev : 0) != state.device ||
        (ok ? st.st_ino : 0) != state.inode) {
      return true;
    }
  }
  return false;
}
