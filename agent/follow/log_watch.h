// Log_Watch wakes log workers when their files change, so that an entry is
// read as soon as it is written instead of at the next one-second check.
//
// One inotify instance serves every log of the agent (the kernel allows
// only a few instances per user), with one dispatcher thread that turns its
// events into wake-ups: a write to the eventfd each registration names. A
// log is watched twice: the file itself (modify, attribute change, move,
// delete) and its directory (a file of its name created or moved in), so
// that a rotation is seen at once; the file watch moves to the new file
// when one appears under the name.
//
// Behind the events the dispatcher keeps a safety check for every log: once
// a second it looks at the paths (a stat each, for at most half a
// millisecond, so that with many logs each path is looked at every few
// seconds) and wakes a worker whose path changed in a way no event told (a
// directory on the way replaced, a symlink pointed elsewhere, a watch the
// kernel dropped). So a watched worker with nothing to read sleeps until it
// is woken, and a thousand idle logs cost one thread's round of looks a
// second instead of a thousand wake-ups.
//
// Where no watch can be had (TVX_POLL_ONLY=1, inotify limits, a filesystem
// that sends no events such as NFS, a directory that cannot be read, a path
// that names a directory), Add says why and the worker keeps to its
// one-second check alone.
#ifndef QOR_AGENT_FOLLOW_LOG_WATCH_H_
#define QOR_AGENT_FOLLOW_LOG_WATCH_H_

#include <pthread.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#include <map>
#include <string>

#include "util/posix_mutex.h"
#include "util/thread_annotations.h"
#include "util/unique_fd.h"

class Log_Watch {
 public:
  // Makes the inotify instance; the dispatcher starts with the first Add.
  Log_Watch();
  // Stops and joins the dispatcher. REQUIRES: every registration removed.
  ~Log_Watch();
  Log_Watch(const Log_Watch&) = delete;
  Log_Watch& operator=(const Log_Watch&) = delete;

  // The agent's instance, made on first use and kept to the end of the
  // process (workers may still be registered when the process exits).
  static Log_Watch& Agent();

  // True when TVX_POLL_ONLY asks for the one-second check alone.
  static bool PollOnly();

  // Starts waking `wakeFd` (an eventfd) on changes of `path`: a handle
  // (> 0) for Remove, or 0 with `why` (at least 128 bytes) saying why the
  // log is left to the one-second check.
  int Add(const char* path, int wakeFd, char* why, size_t whyLength);
  // Stops waking the registration's descriptor; no wake-up reaches it once
  // this returns. A handle of 0 is ignored.
  void Remove(int handle);
  // False, with `why` (at least 128 bytes) saying why, while the file of
  // the registration exists but could not be watched (the watch limit was
  // reached when it replaced the old one): its worker is then to keep to
  // the one-second check. A missing file is watched through its directory.
  bool FileWatched(int handle, char* why, size_t whyLength);
  // True, with the time of that look in `at` (CLOCK_REALTIME_COARSE, taken
  // before it), when the safety check's latest look at the registration's
  // path found it naming the file `device`/`inode`: a worker that slept
  // through the looks has had its file seen under the name then.
  bool NamedAt(int handle, dev_t device, ino_t inode, struct timespec* at);
  // Raises the eventfd `fd` (one wake-up; a full counter wakes as well).
  static void Wake(int fd);

 private:
  // What one look at a path found; two looks that differ tell a change.
  struct Look {
    int error;  // errno of the stat; 0 when it found something
    dev_t device;
    ino_t inode;
    mode_t mode;
    off_t size;
    struct timespec modified;
    struct timespec changed;
    bool operator==(const Look& other) const;
  };
  struct Registration {
    std::string path;
    std::string dir;   // path without its last component
    std::string name;  // last component of path
    int fileWd;        // -1 while the file does not exist or is not watched
    int fileErrno;     // why the existing file has no watch; 0: it has one
    int dirWd;
    int wakeFd;
    Look look;                 // the safety check's latest look at path
    struct timespec lookedAt;  // when it was taken
  };

  // Looks at `path` (following symlinks, as the worker opens it), the
  // coarse real time just before in *at.
  static Look LookAt(const char* path, struct timespec* at);
  // The dispatcher: reads events until Stop is raised, and runs the safety
  // check once a second.
  static void* Dispatch(void* self);
  // One round of the safety check: looks at the paths of the registrations
  // from SweepNext on, each at most once and for at most SWEEPBUDGETUS, and
  // wakes those whose look changed. Dispatcher only.
  void Sweep() EXCLUDES(Lock);
  void DispatchEvents(const char* buffer, size_t length) REQUIRES(Lock);
  // Points the registration's directory watch at what `dir` names now:
  // false, errno set and the old watch kept, when it cannot be watched.
  bool ArmDirectory(Registration* r) REQUIRES(Lock);
  // Points the registration's file watch at what `path` names now.
  void ArmFile(Registration* r) REQUIRES(Lock);
  // Drops one use of `wd`; removes the kernel watch after its last use.
  void Release(int wd) REQUIRES(Lock);

  Unique_Fd Inotify;
  int InitErrno;     // errno of inotify_init1 when Inotify is not valid
  Unique_Fd StopFD;  // eventfd raised by the destructor
  Posix_Mutex Lock;
  pthread_t Thread;
  bool ThreadStarted GUARDED_BY(Lock);
  int NextHandle GUARDED_BY(Lock);
  std::map<int, Registration> Registrations GUARDED_BY(Lock);
  // Uses of each kernel watch (watches of one inode or directory are
  // shared by the kernel).
  std::map<int, int> WatchUses GUARDED_BY(Lock);
  // The handle the next round of the safety check starts at.
  int SweepNext GUARDED_BY(Lock);
};

// One registration for the life of a scope.
class Watch_Registration {
 public:
  Watch_Registration(Log_Watch& watch, const char* path, int wakeFd, char* why,
                     size_t whyLength)
      : Watch(watch),
        Id(wakeFd >= 0 ? watch.Add(path, wakeFd, why, whyLength) : 0) {
    if (wakeFd < 0) {
      snprintf(why, whyLength, "no wake-up counter");
    }
  }
  ~Watch_Registration() { Watch.Remove(Id); }
  Watch_Registration(const Watch_Registration&) = delete;
  Watch_Registration& operator=(const Watch_Registration&) = delete;
  // 0 when the path is not watched.
  int Handle() const { return Id; }

 private:
  Log_Watch& Watch;
  const int Id;
};

#endif  // QOR_AGENT_FOLLOW_LOG_WATCH_H_
