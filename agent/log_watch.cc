#include "agent/log_watch.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "util/errno_text.h"

namespace {

constexpr uint32_t FILEEVENTS =
    IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr uint32_t DIREVENTS = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

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
      NextHandle(1) {}

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
  static Log_Watch* const watch = new Log_Watch;
  return *watch;
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
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    snprintf(why, whyLength, "the path names a directory");
    return 0;
  }
  Registration r;
  r.path = path;
  const size_t slash = r.path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".")
                          : slash == 0               ? std::string("/")
                                                     : r.path.substr(0, slash);
  r.name = slash == std::string::npos ? r.path : r.path.substr(slash + 1);
  r.fileWd = -1;
  r.fileErrno = 0;
  r.wakeFd = wakeFd;
  if (RemoteFilesystem(dir.c_str())) {
    snprintf(why, whyLength, "its filesystem sends no change events");
    return 0;
  }
  Posix_Mutex::Hold hold(&Lock);
  r.dirWd = inotify_add_watch(Inotify.get(), dir.c_str(), DIREVENTS);
  if (r.dirWd < 0) {
    const int e = errno;
    snprintf(why, whyLength, "cannot watch its directory: %s",
             ErrnoText(e, eb, sizeof eb));
    return 0;
  }
  ++WatchUses[r.dirWd];
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
  alignas(struct inotify_event) char
      buffer[64 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
  struct pollfd p[2];
  p[0].fd = watch->Inotify.get();
  p[0].events = POLLIN;
  p[1].fd = watch->StopFD.get();
  p[1].events = POLLIN;
  while (true) {
    p[0].revents = 0;
    p[1].revents = 0;
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (p[1].revents != 0) {
      break;
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
      // The kernel dropped the watch (its file went away).
      WatchUses.erase(e->wd);
      for (auto& [handle, r] : Registrations) {
        if (r.fileWd == e->wd) {
          r.fileWd = -1;
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
