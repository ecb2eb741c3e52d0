// Log_Watch: the inotify thread that wakes a log's worker when its file
// changes.
#include "agent/follow/log_watch.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "util/errno_text.h"
#include "util/process_wide.h"
#include "util/short_slice.h"

namespace {

constexpr uint32_t FILEEVENTS =
    IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr uint32_t DIREVENTS = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

// The safety check runs a round once this many microseconds.
constexpr int64_t SWEEPUS = 1000000;
// Microseconds one round may spend looking, a twentieth of a per cent of a
// core: a look costs one to several microseconds (a stat of a path that has
// gone cold in the caches), and the check must stay cheap however many logs
// there are and however busy the machine is. A round that runs out goes on
// where it stopped at the next one, so with many logs each path is looked
// at every few seconds.
constexpr int64_t SWEEPBUDGETUS = 500;

int64_t MonotonicUs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Filesystems whose changes made on other hosts send no inotify events.
bool RemoteFilesystem(const char* dir) {
  struct statfs fs;
  if (statfs(dir, &fs) != 0) {
    return false;
  }
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969UL:      // NFS
    case 0xFF534D42UL:  // CIFS
    case 0xFE534D42UL:  // SMB2
    case 0x517BUL:      // SMB
    case 0x65735546UL:  // FUSE
    case 0x01021997UL:  // 9P
      return true;
    default:
      return false;
  }
}

}  // namespace

Log_Watch::Log_Watch()
    : Inotify(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)),
      InitErrno(Inotify.valid() ? 0 : errno),
      StopFD(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      Thread(),
      ThreadStarted(false),
      NextHandle(1),
      SweepNext(0) {}

Log_Watch::~Log_Watch() {
  Lock.Lock();
  const bool started = ThreadStarted;
  Lock.Unlock();
  if (started) {
    Wake(StopFD.get());
    pthread_join(Thread, nullptr);
  }
}

Log_Watch& Log_Watch::Agent() {
  // Kept to the end: a worker may still be registered when the process
  // exits without a shutdown.
  return ProcessWide<Log_Watch>();
}

bool Log_Watch::PollOnly() {
  const char* const value = getenv("TVX_POLL_ONLY");
  return value != nullptr && value[0] != '\0' && strcmp(value, "0") != 0;
}

int Log_Watch::Add(const char* path, int wakeFd, char* why, size_t whyLength) {
  if (PollOnly()) {
    snprintf(why, whyLength, "TVX_POLL_ONLY is set");
    return 0;
  }
  char eb[128];
  if (!Inotify.valid() || !StopFD.valid()) {
    snprintf(why, whyLength, "inotify unavailable: %s",
             ErrnoText(Inotify.valid() ? EMFILE : InitErrno, eb, sizeof eb));
    return 0;
  }
  Registration r;
  // Also the safety check's first look: the worker reads what is there
  // after this, so only changes after it matter.
  r.look = LookAt(path, &r.lookedAt);
  if (r.look.error == 0 && S_ISDIR(r.look.mode)) {
    snprintf(why, whyLength, "the path names a directory");
    return 0;
  }
  r.path = path;
  const size_t slash = r.path.rfind('/');
  r.dir = slash == std::string::npos ? std::string(".")
          : slash == 0               ? std::string("/")
                                     : r.path.substr(0, slash);
  r.name = slash == std::string::npos ? r.path : r.path.substr(slash + 1);
  r.fileWd = -1;
  r.fileErrno = 0;
  r.dirWd = -1;
  r.wakeFd = wakeFd;
  if (RemoteFilesystem(r.dir.c_str())) {
    snprintf(why, whyLength, "its filesystem sends no change events");
    return 0;
  }
  Posix_Mutex::Hold hold(&Lock);
  if (!ArmDirectory(&r)) {
    const int e = errno;
    snprintf(why, whyLength, "cannot watch its directory: %s",
             ErrnoText(e, eb, sizeof eb));
    return 0;
  }
  if (!ThreadStarted) {
    if (pthread_create(&Thread, nullptr, Dispatch, this) != 0) {
      Release(r.dirWd);
      snprintf(why, whyLength, "cannot start the inotify dispatcher");
      return 0;
    }
    ThreadStarted = true;
  }
  ArmFile(&r);
  const int handle = NextHandle++;
  Registrations.emplace(handle, std::move(r));
  return handle;
}

void Log_Watch::Remove(int handle) {
  if (handle == 0) {
    return;
  }
  Posix_Mutex::Hold hold(&Lock);
  const auto it = Registrations.find(handle);
  if (it == Registrations.end()) {
    return;
  }
  Release(it->second.fileWd);
  Release(it->second.dirWd);
  Registrations.erase(it);
}

bool Log_Watch::FileWatched(int handle, char* why, size_t whyLength) {
  Posix_Mutex::Hold hold(&Lock);
  const auto it = Registrations.find(handle);
  if (it == Registrations.end() || it->second.fileErrno == 0) {
    return true;
  }
  char eb[128];
  snprintf(why, whyLength, "cannot watch the file: %s",
           ErrnoText(it->second.fileErrno, eb, sizeof eb));
  return false;
}

bool Log_Watch::NamedAt(int handle, dev_t device, ino_t inode,
                        struct timespec* at) {
  Posix_Mutex::Hold hold(&Lock);
  const auto it = Registrations.find(handle);
  if (it == Registrations.end() || it->second.look.error != 0 ||
      it->second.look.device != device || it->second.look.inode != inode) {
    return false;
  }
  *at = it->second.lookedAt;
  return true;
}

bool Log_Watch::Look::operator==(const Look& other) const {
  return error == other.error && device == other.device &&
         inode == other.inode && mode == other.mode && size == other.size &&
         SameTime(modified, other.modified) && SameTime(changed, other.changed);
}

Log_Watch::Look Log_Watch::LookAt(const char* path, struct timespec* at) {
  clock_gettime(CLOCK_REALTIME_COARSE, at);
  Look look = {};
  struct stat st;
  if (stat(path, &st) != 0) {
    look.error = errno;
    return look;
  }
  look.device = st.st_dev;
  look.inode = st.st_ino;
  look.mode = st.st_mode;
  look.size = st.st_size;
  look.modified = st.st_mtim;
  look.changed = st.st_ctim;
  return look;
}

void Log_Watch::Sweep() {
  const int64_t until = MonotonicUs() + SWEEPBUDGETUS;
  Posix_Mutex::Hold hold(&Lock);
  auto it = Registrations.lower_bound(SweepNext);
  for (size_t looked = 0;
       looked < Registrations.size() && MonotonicUs() < until; ++looked) {
    if (it == Registrations.end()) {
      it = Registrations.begin();
    }
    Registration& r = it->second;
    SweepNext = it->first + 1;
    ++it;
    // A file without a watch is looked at by its worker every second.
    if (r.fileErrno != 0) {
      continue;
    }
    const Look look = LookAt(r.path.c_str(), &r.lookedAt);
    if (look == r.look) {
      continue;
    }
    // Another file under the name that no event told of (a directory on
    // the way replaced, a symlink pointed elsewhere): it and its directory
    // are watched from now on. A name gone keeps the watch on the file
    // still read.
    if (look.error == 0 &&
        (look.device != r.look.device || look.inode != r.look.inode)) {
      ArmDirectory(&r);
      ArmFile(&r);
    }
    r.look = look;
    Wake(r.wakeFd);
  }
}

bool Log_Watch::ArmDirectory(Registration* r) {
  const int wd = inotify_add_watch(Inotify.get(), r->dir.c_str(), DIREVENTS);
  if (wd < 0) {
    return false;
  }
  if (wd != r->dirWd) {
    Release(r->dirWd);
    r->dirWd = wd;
    ++WatchUses[wd];
  }
  return true;
}

void Log_Watch::ArmFile(Registration* r) {
  const int wd = inotify_add_watch(Inotify.get(), r->path.c_str(), FILEEVENTS);
  // Only a missing file is left to the directory's watch.
  r->fileErrno = wd < 0 && errno != ENOENT ? errno : 0;
  if (wd == r->fileWd) {
    return;
  }
  // A missing file is watched again when its directory reports it.
  Release(r->fileWd);
  r->fileWd = wd;
  if (wd >= 0) {
    ++WatchUses[wd];
  }
}

void Log_Watch::Release(int wd) {
  if (wd < 0) {
    return;
  }
  const auto it = WatchUses.find(wd);
  if (it == WatchUses.end()) {
    return;
  }
  if (--it->second == 0) {
    WatchUses.erase(it);
    // Fails harmlessly when the kernel has dropped the watch already.
    inotify_rm_watch(Inotify.get(), wd);
  }
}

void Log_Watch::Wake(int fd) {
  const uint64_t one = 1;
  // Only EAGAIN can fail (the counter is full): woken either way.
  [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}

void* Log_Watch::Dispatch(void* self) {
  Log_Watch* const watch = static_cast<Log_Watch*>(self);
  pthread_setname_np(pthread_self(), "qor-watch");
  AskShortSlices();
  alignas(struct inotify_event) char
      buffer[64 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
  struct pollfd p[2];
  p[0].fd = watch->Inotify.get();
  p[0].events = POLLIN;
  p[1].fd = watch->StopFD.get();
  p[1].events = POLLIN;
  int64_t nextSweep = MonotonicUs() + SWEEPUS;
  while (true) {
    const int64_t now = MonotonicUs();
    if (now >= nextSweep) {
      watch->Sweep();
      // Rounds keep their pace; one that fell far behind (a suspended
      // machine) is not caught up in a burst.
      nextSweep = std::max(nextSweep + SWEEPUS, now + SWEEPUS / 2);
      continue;
    }
    p[0].revents = 0;
    p[1].revents = 0;
    // Rounded up: a poll that ends early only loops once more.
    if (poll(p, 2, static_cast<int>((nextSweep - now + 999) / 1000)) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (p[1].revents != 0) {
      break;
    }
    if (p[0].revents == 0) {
      continue;  // time for the safety check
    }
    const ssize_t n = read(watch->Inotify.get(), buffer, sizeof buffer);
    if (n <= 0) {
      continue;
    }
    Posix_Mutex::Hold hold(&watch->Lock);
    watch->DispatchEvents(buffer, static_cast<size_t>(n));
  }
  return nullptr;
}

void Log_Watch::DispatchEvents(const char* buffer, size_t length) {
  for (size_t at = 0; at + sizeof(struct inotify_event) <= length;) {
    const auto* const e =
        reinterpret_cast<const struct inotify_event*>(buffer + at);
    at += sizeof(struct inotify_event) + e->len;
    if ((e->mask & IN_Q_OVERFLOW) != 0) {
      // Events were lost: every worker looks at its file.
      for (auto& [handle, r] : Registrations) {
        Wake(r.wakeFd);
      }
      continue;
    }
    if ((e->mask & IN_IGNORED) != 0) {
      // The kernel dropped the watch (its file or directory went away).
      WatchUses.erase(e->wd);
      for (auto& [handle, r] : Registrations) {
        if (r.fileWd == e->wd) {
          r.fileWd = -1;
        }
        if (r.dirWd == e->wd) {
          r.dirWd = -1;
        }
      }
      continue;
    }
    for (auto& [handle, r] : Registrations) {
      if (e->wd == r.fileWd) {
        Wake(r.wakeFd);
      } else if (e->wd == r.dirWd && e->len != 0 && r.name == e->name) {
        // A new file under the name: watch it, and read it now.
        ArmFile(&r);
        Wake(r.wakeFd);
      }
    }
  }
}
