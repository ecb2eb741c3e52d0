// File_Tail: follows one log name across rotation, truncation and
// replacement, reading what is appended.
#include "agent/follow/file_tail.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "framework/runtime/trace.h"
#include "util/errno_text.h"
#include "util/monotonic_ms.h"
#include "util/safe_open.h"
#include "util/unique_fd.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char OpenErrMsg[] = "\nError opening file %s.  errno = %d; %s";
const char RewindErrMsg[] =
    "\nError while rewinding file pointer for file %s; errno = %d; %s";
const char NewEOFErrMsg[] =
    "\nError occurred while determining new EOF for file %s. errno = %d; %s";
const char SeekNewEOFErrMsg[] =
    "\nError while seeking new EOF for file %s. errno = %d; %s";
const char TruncatedMsg[] =
    "\nWarning: log file %s truncated. Resetting EOF to offset %ld.";
const char ReplacedMsg[] =
    "\nLog file %s was replaced by a new file; reading the new file from its beginning.";
const char NotRegularMsg[] =
    "\nError opening file %s: not a regular file; it is not read.";
const char SymlinkRefusedMsg[] = "\nError opening file %s: %s; it is not read.";
const char StrangerMsg[] =
    "\nError opening file %s: it belongs to user %ld, in a directory other users may write whose owner is user %ld; it is not read.";
const char OwnerRefusedMsg[] =
    "\nError opening file %s: the log was replaced by a file of user %ld, not of user %ld as before; it is not read.";
const char RotatedAwayMsg[] =
    "\nLog file %s was rotated to %s meanwhile; reading it on from offset %ld first.";
const char ReadErrMsg[] =
    "\nError occurred while reading file %s. errno = %d; %s";
const char NameIsDirectoryMsg[] =
    "\nLog %s was replaced by a directory; the old file is still read and the name is looked at every second.";
const char MemoryMsg[] = "\nMemory allocation of %d bytes failed.";
const char RotatedLostMsg[] =
    "\nLog %s was rotated more than %d times while delivery waited; the oldest rotated file was let go unread: %lld bytes lost.";

// A file log's own position text: "seen S.N born S.N", when the file was
// last seen under the log's name and when it was born, then " S.N" for
// the birth of each rotated file still read, in their order (0.000000000
// where the file system keeps no birth time). A file born at another time
// than the one saved is another that took its inode after it was removed
// (an empty one has no head to tell them apart).
const char TimeFormat[] = "%lld.%09u";

void AppendTime(std::string* out, const char* before,
                const struct statx_timestamp& t) {
  char text[48];
  snprintf(text, sizeof text, TimeFormat, static_cast<long long>(t.tv_sec),
           t.tv_nsec);
  *out += before;
  *out += text;
}

// Reads "S.N" at `*at`, moving past it. False when there is none.
bool ParseTime(const char** at, struct statx_timestamp* t) {
  long long seconds = 0;
  unsigned nanoseconds = 0;
  int end = -1;
  if (sscanf(*at, "%lld.%9u%n", &seconds, &nanoseconds, &end) != 2 ||
      end <= 0 || seconds < 0 || nanoseconds >= 1000000000u) {
    return false;
  }
  t->tv_sec = seconds;
  t->tv_nsec = nanoseconds;
  *at += end;
  return true;
}

// Whether two births, where both are known, tell two files.
bool OtherBirth(const struct statx_timestamp& a,
                const struct statx_timestamp& b) {
  return a.tv_sec != 0 && b.tv_sec != 0 &&
         (a.tv_sec != b.tv_sec || a.tv_nsec != b.tv_nsec);
}

// The coarse real-time clock, the one the kernel stamps files with: a file
// created after this call never has an earlier birth time.
struct statx_timestamp CoarseNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  struct statx_timestamp t = {};
  t.tv_sec = now.tv_sec;
  t.tv_nsec = static_cast<uint32_t>(now.tv_nsec);
  return t;
}

bool Earlier(const struct statx_timestamp& a, const struct statx_timestamp& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// When a file was born, or last modified where the file system keeps no
// birth time (a file with content was written after it was born).
struct statx_timestamp BornOrModified(const struct statx& st) {
  return (st.stx_mask & STATX_BTIME) != 0 ? st.stx_btime : st.stx_mtime;
}

// Names that rotation gives a compressed copy: their bytes are no log text.
bool CompressedName(const char* name) {
  static const char* const kSuffixes[] = {
      ".gz", ".bz2", ".xz", ".zst", ".lz4", ".lzma", ".Z", ".zip", ".lzo"};
  const size_t n = strlen(name);
  for (const char* suffix : kSuffixes) {
    const size_t k = strlen(suffix);
    if (n > k && strcmp(name + n - k, suffix) == 0) {
      return true;
    }
  }
  return false;
}

// Whether `name` may be a rotated file of the log named `base`: named
// after it, and not compressed.
bool RotatedName(const char* name, const char* base, size_t base_length) {
  return strncmp(name, base, base_length) == 0 && name[base_length] != '\0' &&
         !CompressedName(name);
}

// The directory that holds `path`.
std::string DirectoryOf(const char* path) {
  const char* const slash = strrchr(path, '/');
  return slash == nullptr ? "."
                          : (slash == path ? "/" : std::string(path, slash));
}

// Whether someone other than root may create or rename entries in the
// directory that holds `path`, and so plant a symlink under the log's name.
// A sticky directory protects entries root owns: `sticky` tells the caller.
bool DirectoryWritableByOthers(const char* path, bool* sticky) {
  const std::string dir = DirectoryOf(path);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    *sticky = false;
    return true;
  }
  *sticky = (st.st_mode & S_ISVTX) != 0;
  return (st.st_uid != 0 && (st.st_mode & S_IWUSR) != 0) ||
         (st.st_gid != 0 && (st.st_mode & S_IWGRP) != 0) ||
         (st.st_mode & S_IWOTH) != 0;
}

}  // namespace

// The times a position text holds; all zero for one of an older version.
struct File_Tail::Resumed_Times {
  struct statx_timestamp seen = {};
  struct statx_timestamp born = {};
  std::vector<struct statx_timestamp> rotated_born;

  explicit Resumed_Times(const std::string& text) {
    struct statx_timestamp seen_at = {};
    struct statx_timestamp born_at = {};
    std::vector<struct statx_timestamp> births;
    const char* at = text.c_str();
    bool ok = strncmp(at, "seen ", 5) == 0;
    at += ok ? 5 : 0;
    ok = ok && ParseTime(&at, &seen_at) && strncmp(at, " born ", 6) == 0;
    at += ok ? 6 : 0;
    ok = ok && ParseTime(&at, &born_at);
    while (ok && *at == ' ' && births.size() < MAXROTATEDLOGS) {
      ++at;
      struct statx_timestamp t = {};
      ok = ParseTime(&at, &t);
      births.push_back(t);
    }
    if (ok && *at == '\0') {
      seen = seen_at;
      born = born_at;
      rotated_born = std::move(births);
    }
  }
};

int File_Tail::SafeOpenFlags(const char* path, bool replacement) {
  // Non-blocking, so that a FIFO put in the log's place cannot hold the
  // worker in open or read; close-on-exec, as the error-report kind forks.
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  bool sticky = false;
  if (replacement && DirectoryWritableByOthers(path, &sticky)) {
    // A symlink planted by whoever may write the directory could point at
    // any file root can read. Root's own link in a sticky directory cannot
    // be swapped by others and is followed.
    struct stat link;
    const bool roots_link = sticky && lstat(path, &link) == 0 &&
                            S_ISLNK(link.st_mode) && link.st_uid == 0;
    if (!roots_link) {
      flags |= O_NOFOLLOW;
    }
  }
  return flags;
}

bool File_Tail::TraceOpenFailure() {
  const long long now = Repeat_Limiter::Now();
  if (!open_traces_.Due(now)) {
    open_traces_.Held(1);
    return false;
  }
  open_traces_.Traced(now);
  return true;
}

int File_Tail::OpenName(bool replacement, const char* open_error,
                        Open_File* open_log, Failure* failure,
                        Unique_Fd opened) {
  char eb[128];
  const char* const path = path_.c_str();
  *failure = TAIL_ERR_OPEN;
  // Walked one directory at a time: no symbolic link is followed where a
  // user other than root and the agent's own may have planted it, the
  // first open as much as a replacement.
  std::string why;
  Safe_Directory dir;
  Unique_Fd fd;
  if (opened.valid() && !replacement && !opened_before_) {
    // Opened relative to the directory a look checked; the directory's
    // owner and mode as they are now.
    fd = std::move(opened);
    OpenDirectorySafely(DirectoryOf(path), &dir, nullptr);
    if (!dir.fd.valid()) {
      dir.others_may_write = true;
    }
  } else {
    fd.reset(OpenPathSafely(path_, SafeOpenFlags(path, false), &why, &dir));
  }
  if (!fd.valid()) {
    const int e = errno;
    // A name that is missing is no news for a replacement; a replacement
    // that keeps failing the same way is traced once a minute (the manager
    // bounds how often a log that never opened is tried again).
    const bool news = e != open_errno_;
    open_errno_ = e;
    if ((e != ENOENT || (!replacement && !quiet_missing_)) &&
        (!opened_before_ || news || TraceOpenFailure())) {
      if (e == ELOOP || e == EAGAIN) {
        WEX1_TRACE(wex1, WEX1_ERROR, SymlinkRefusedMsg, path, why.c_str());
      } else {
        WEX1_TRACE(wex1, WEX1_ERROR, open_error, path, e,
                   ErrnoText(e, eb, sizeof eb));
      }
    }
    return e;
  }
  if (!reader_->TailMayKeep(fd.get())) {
    return EMFILE;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, OpenErrMsg, path, e,
               ErrnoText(e, eb, sizeof eb));
    return e;
  }
  if (!S_ISREG(st.st_mode)) {
    if (!opened_before_ || open_errno_ != EINVAL || TraceOpenFailure()) {
      WEX1_TRACE(wex1, WEX1_ERROR, NotRegularMsg, path);
    }
    open_errno_ = EINVAL;
    return EINVAL;
  }
  const bool same =
      opened_before_ && st.st_dev == device_ && st.st_ino == inode_;
  if (replacement && !same && st.st_uid != owner_) {
    if (open_errno_ != EPERM || TraceOpenFailure()) {
      WEX1_TRACE(wex1, WEX1_ERROR, OwnerRefusedMsg, path,
                 static_cast<long>(st.st_uid), static_cast<long>(owner_));
    }
    open_errno_ = EPERM;
    return EPERM;
  }
  // The first file under a name another user may create: it must be the
  // directory owner's, root's or the agent's own, not a stranger's file
  // put there before the log was.
  if (!opened_before_ && dir.others_may_write && st.st_uid != 0 &&
      st.st_uid != geteuid() && st.st_uid != dir.st.st_uid) {
    if (open_errno_ != EPERM || TraceOpenFailure()) {
      WEX1_TRACE(wex1, WEX1_ERROR, StrangerMsg, path,
                 static_cast<long>(st.st_uid),
                 static_cast<long>(dir.st.st_uid));
    }
    open_errno_ = EPERM;
    return EPERM;
  }
  open_errno_ = 0;
  Head_Copy head;
  if (!ReadHeadCopy(fd.get(), &head)) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, ReadErrMsg, path, e,
               ErrnoText(e, eb, sizeof eb));
    *failure = TAIL_ERR_READ;
    return e;
  }
  FILE* const stream = fdopen(fd.get(), "r");
  if (stream == nullptr) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, OpenErrMsg, path, e,
               ErrnoText(e, eb, sizeof eb));
    return e;
  }
  open_log->fd = fd.release();
  open_log->stream.reset(stream);
  open_log->eof = st.st_size;
  open_log->device = st.st_dev;
  open_log->inode = st.st_ino;
  open_log->owner = st.st_uid;
  open_log->head = head;
  open_log->identity_known = true;
  open_log->born = BirthOf(open_log->fd);
  return 0;
}

std::unique_ptr<File_Tail::Rotated_File> File_Tail::FindRotatedFile(
    uint64_t device, uint64_t inode, const Head_Fingerprint& head,
    const struct statx_timestamp& born, int64_t offset, std::string* name) {
  DIR* const listing = opendir(DirectoryOf(path_.c_str()).c_str());
  if (listing == nullptr) {
    return nullptr;
  }
  const char* const slash = strrchr(path_.c_str(), '/');
  const char* const base = slash == nullptr ? path_.c_str() : slash + 1;
  const size_t base_length = strlen(base);
  // Rotation keeps a file in its directory under another name; a bounded
  // look, as a directory may hold many files.
  int looked = 0;
  std::unique_ptr<Rotated_File> found;
  while (const struct dirent* entry = readdir(listing)) {
    if (++looked > 100000) {
      break;
    }
    if (inode != 0 ? static_cast<uint64_t>(entry->d_ino) != inode
                   : !RotatedName(entry->d_name, base, base_length)) {
      continue;
    }
    auto rotated = OpenRotated(dirfd(listing), entry->d_name);
    if (rotated == nullptr ||
        (inode != 0 && (static_cast<uint64_t>(rotated->open.device) != device ||
                        static_cast<uint64_t>(rotated->open.inode) != inode)) ||
        (inode == 0 && Reading(static_cast<uint64_t>(rotated->open.device),
                               static_cast<uint64_t>(rotated->open.inode))) ||
        rotated->open.eof < offset || OtherBirth(rotated->open.born, born) ||
        !HeadStillMatches(rotated->open.fd, head)) {
      continue;
    }
    rotated->open.eof = static_cast<off_t>(offset);
    found = std::move(rotated);
    *name = entry->d_name;
    break;
  }
  closedir(listing);
  return found;
}

bool File_Tail::Reading(uint64_t device, uint64_t inode) const {
  bool reading = identity_known_ && static_cast<uint64_t>(device_) == device &&
                 static_cast<uint64_t>(inode_) == inode;
  for (const auto& rotated : rotated_) {
    reading =
        reading || (static_cast<uint64_t>(rotated->open.device) == device &&
                    static_cast<uint64_t>(rotated->open.inode) == inode);
  }
  return reading;
}

bool File_Tail::RestoreRotated(const std::vector<Rotated_Position>& saved,
                               const Resumed_Times& times) {
  const char* const path = path_.c_str();
  bool unsure = false;
  for (size_t i = 0; i < saved.size(); ++i) {
    const Rotated_Position& r = saved[i];
    if (rotated_.size() >= MAXROTATEDLOGS) {
      break;
    }
    if (r.inode == 0 || Reading(r.device, r.inode)) {
      continue;
    }
    const struct statx_timestamp born = i < times.rotated_born.size()
                                            ? times.rotated_born[i]
                                            : statx_timestamp{};
    // An empty file known by no birth time may be another that took its
    // inode: it is left to be found among the files that came and went.
    if (r.head.length == 0 && r.offset == 0 && born.tv_sec == 0) {
      unsure = true;
      continue;
    }
    std::string name;
    auto rotated =
        FindRotatedFile(r.device, r.inode, r.head, born, r.offset, &name);
    if (rotated == nullptr) {
      continue;  // removed meanwhile (or compressed): nothing to read
    }
    WEX1_TRACE(wex1, WEX1_FLOW, RotatedAwayMsg, path, name.c_str(),
               static_cast<long>(r.offset));
    rotated_.push_back(std::move(rotated));
  }
  return unsure;
}

void File_Tail::FindRotated(const Log_Position& resume,
                            const Resumed_Times& times) {
  if (resume.inode == 0) {
    return;
  }
  const char* const path = path_.c_str();
  // The files that took its place were born after it was last seen under
  // the name (a position of an older version tells no time: after it was
  // born).
  struct statx_timestamp after = times.seen;
  const bool seen = after.tv_sec != 0;
  std::string found_name;
  // A file open already under its identity is another that took its inode
  // after it was removed; so may be one found under the identity of an
  // empty file known by no birth time: when the time it was seen is known,
  // that file is found among the files that came and went, from its start
  // as it would be read.
  const bool unsure = seen && resume.head.length == 0 && resume.offset == 0 &&
                      times.born.tv_sec == 0;
  std::unique_ptr<Rotated_File> found =
      unsure || Reading(resume.device, resume.inode)
          ? nullptr
          : FindRotatedFile(resume.device, resume.inode, resume.head,
                            times.born, resume.offset, &found_name);
  // Emptied by a copy-truncate meanwhile: what was not read of it is in
  // the copy, a file named after the log that begins with its full head,
  // and what was written to it since is read from its start after that,
  // when it is known by its birth (rotated away since, or the current file
  // now).
  std::unique_ptr<Rotated_File> refilled;
  if (found == nullptr && resume.head.length == HEADFINGERPRINTBYTES) {
    found = FindRotatedFile(resume.device, 0, resume.head, statx_timestamp{},
                            resume.offset, &found_name);
    if (found != nullptr && times.born.tv_sec != 0 &&
        !Reading(resume.device, resume.inode)) {
      std::string name;
      refilled = FindRotatedFile(resume.device, resume.inode,
                                 Head_Fingerprint(), times.born, 0, &name);
    }
  }
  if (found != nullptr) {
    WEX1_TRACE(wex1, WEX1_FLOW, RotatedAwayMsg, path, found_name.c_str(),
               static_cast<long>(resume.offset));
    struct statx stx;
    if (!seen && Statx(found->open.fd, "", AT_EMPTY_PATH,
                       STATX_BTIME | STATX_MTIME, &stx) == 0) {
      after = BornOrModified(stx);
      if (++after.tv_nsec >= 1000000000) {
        after.tv_nsec = 0;
        ++after.tv_sec;
      }
    }
    // Older than the new file: the oldest kept is read to its end first.
    MakeRoom();
    rotated_.push_back(std::move(found));
  }
  if (refilled != nullptr) {
    MakeRoom();
    rotated_.push_back(std::move(refilled));
  }
  // Gone (removed, compressed): the files that came after it are still
  // found by the time it was seen.
  if (after.tv_sec != 0) {
    FindSkipped(after);
  }
}

size_t File_Tail::FindSkipped(const struct statx_timestamp& after) {
  struct statx current;
  if (!identity_known_ || Statx(*view_.fd, "", AT_EMPTY_PATH,
                                STATX_BTIME | STATX_MTIME, &current) != 0) {
    return 0;
  }
  const bool current_born = (current.stx_mask & STATX_BTIME) != 0;
  const char* const path = path_.c_str();
  const char* const slash = strrchr(path, '/');
  const char* const base = slash == nullptr ? path : slash + 1;
  const size_t base_length = strlen(base);
  DIR* const listing = opendir(DirectoryOf(path).c_str());
  if (listing == nullptr) {
    return 0;
  }
  struct Candidate {
    std::string name;
    struct statx_timestamp born;
  };
  std::vector<Candidate> candidates;
  int looked = 0;
  while (const struct dirent* entry = readdir(listing)) {
    if (++looked > 100000) {
      break;
    }
    const char* const name = entry->d_name;
    if (!RotatedName(name, base, base_length)) {
      continue;
    }
    struct statx st;
    if (Statx(dirfd(listing), name, AT_SYMLINK_NOFOLLOW,
              STATX_TYPE | STATX_INO | STATX_SIZE | STATX_BTIME | STATX_MTIME,
              &st) != 0 ||
        !S_ISREG(st.stx_mode) || st.stx_size == 0) {
      continue;
    }
    const struct statx_timestamp born = BornOrModified(st);
    // Born before the last file seen under the name left it, or after the
    // file there now: not one that came and went in between (the clock
    // that stamps files is coarse: one born in the same tick as the
    // current file may be).
    if (Earlier(born, after) ||
        (current_born && (st.stx_mask & STATX_BTIME) != 0 &&
         Earlier(current.stx_btime, born))) {
      continue;
    }
    const dev_t device = makedev(st.stx_dev_major, st.stx_dev_minor);
    bool open_now = device == device_ && st.stx_ino == inode_;
    for (const auto& rotated : rotated_) {
      open_now = open_now || (device == rotated->open.device &&
                              st.stx_ino == rotated->open.inode);
    }
    if (!open_now) {
      candidates.push_back(Candidate{name, born});
    }
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) {
              return Earlier(a.born, b.born);
            });
  size_t found = 0;
  for (const Candidate& candidate : candidates) {
    auto rotated = OpenRotated(dirfd(listing), candidate.name.c_str());
    // Another user's file is not taken for the log's, as when it replaces
    // the log.
    if (rotated == nullptr || rotated->open.owner != owner_ ||
        !reader_->TailMayKeep(rotated->open.fd)) {
      continue;
    }
    // Read before: the same file, or a copy of one (a copy-truncate's
    // copy begins with the bytes the emptied log began with).
    bool read_before = false;
    for (const Read_File& done : read_) {
      const bool same_file = done.inode == rotated->open.inode &&
                             done.device == rotated->open.device;
      read_before = read_before ||
                    ((same_file ? done.head.length > 0
                                : done.head.length == HEADFINGERPRINTBYTES) &&
                     HeadStillMatches(rotated->open.fd, done.head));
    }
    if (read_before) {
      continue;
    }
    rotated->open.eof = 0;
    WEX1_TRACE(wex1, WEX1_FLOW, RotatedAwayMsg, path, candidate.name.c_str(),
               0L);
    MakeRoom();
    rotated_.push_back(std::move(rotated));
    ++found;
  }
  closedir(listing);
  return found;
}

std::unique_ptr<File_Tail::Rotated_File> File_Tail::OpenRotated(
    int dir, const char* name) const {
  Unique_Fd fd(openat(
      dir, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  struct stat st;
  std::unique_ptr<Rotated_File> rotated(new (std::nothrow) Rotated_File);
  if (!fd.valid() || rotated == nullptr || fstat(fd.get(), &st) != 0 ||
      !S_ISREG(st.st_mode) || !ReadHeadCopy(fd.get(), &rotated->open.head)) {
    return nullptr;
  }
  FILE* const stream = fdopen(fd.get(), "r");
  if (stream == nullptr) {
    return nullptr;
  }
  rotated->open.fd = fd.release();
  rotated->open.stream.reset(stream);
  rotated->open.eof = st.st_size;
  rotated->open.device = st.st_dev;
  rotated->open.inode = st.st_ino;
  rotated->open.owner = st.st_uid;
  rotated->open.identity_known = true;
  rotated->open.born = BirthOf(rotated->open.fd);
  rotated->open.idle_since = MonotonicSeconds();
  return rotated;
}

int File_Tail::Statx(int dir, const char* name, int flags, unsigned mask,
                     struct statx* st) const {
  const int rc = statx(dir, name, flags, mask, st);
  if (!birth_times_) {
    st->stx_mask &= ~static_cast<unsigned>(STATX_BTIME);
  }
  return rc;
}

struct statx_timestamp File_Tail::BirthOf(int fd) const {
  struct statx st;
  if (Statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &st) != 0 ||
      (st.stx_mask & STATX_BTIME) == 0) {
    return statx_timestamp{};
  }
  return st.stx_btime;
}

void File_Tail::RememberRead() {
  Read_File& done = read_[read_next_++ % MAXREADLOGS];
  done.device = device_;
  done.inode = inode_;
  done.head = FingerprintOf(head_);
}

void File_Tail::MakeRoom() {
  if (rotated_.size() < MAXROTATEDLOGS) {
    return;
  }
  if (!unread_) {
    FinishRotated(0, true);
    return;
  }
  // Nothing may be read: the oldest goes with what it holds unread, known
  // as read so that it is never read from its start should it be found.
  Rotated_File& oldest = *rotated_[0];
  struct stat st;
  const int64_t size =
      fstat(oldest.open.fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  const int64_t delivered = static_cast<int64_t>(oldest.open.eof) -
                            static_cast<int64_t>(oldest.held.Held());
  const int64_t lost = size > delivered ? size - delivered : 0;
  WEX1_TRACE(wex1, WEX1_ERROR, RotatedLostMsg, path_.c_str(),
             static_cast<int>(MAXROTATEDLOGS), static_cast<long long>(lost));
  Read_File& done = read_[read_next_++ % MAXREADLOGS];
  done.device = oldest.open.device;
  done.inode = oldest.open.inode;
  done.head = FingerprintOf(oldest.open.head);
  rotated_.erase(rotated_.begin());
  reader_->TailLost(static_cast<uint64_t>(lost));
}

void File_Tail::KeepRotated() {
  MakeRoom();
  std::unique_ptr<Rotated_File> rotated(new (std::nothrow) Rotated_File);
  if (rotated == nullptr) {
    // Out of memory: the old file is left with what was read of it.
    WEX1_TRACE(wex1, WEX1_ERROR, MemoryMsg,
               static_cast<int>(sizeof(Rotated_File)));
    reader_->TailFlush();
    return;
  }
  Swap(&rotated->open, &rotated->held);
  rotated->open.idle_since = MonotonicSeconds();
  rotated_.push_back(std::move(rotated));
}

void File_Tail::FinishRotated(size_t index, bool read_rest) {
  Rotated_File& rotated = *rotated_[index];
  Swap(&rotated.open, &rotated.held);
  if (read_rest) {
    const int64_t budget = budget_;
    budget_ = INT64_MAX;
    ReadAppended();
    budget_ = budget;
  }
  reader_->TailFlush();
  RememberRead();
  Swap(&rotated.open, &rotated.held);
  rotated_.erase(rotated_.begin() + static_cast<std::ptrdiff_t>(index));
}

void File_Tail::Swap(Open_File* other, Line_Splitter* other_held) {
  reader_->TailSwitch();
  view_.stream->swap(other->stream);
  std::swap(*view_.fd, other->fd);
  other->eof = view_.eof->exchange(other->eof);
  std::swap(device_, other->device);
  std::swap(inode_, other->inode);
  std::swap(owner_, other->owner);
  std::swap(head_, other->head);
  std::swap(identity_known_, other->identity_known);
  std::swap(born_, other->born);
  if (other_held != nullptr) {
    view_.held->Swap(other_held);
  }
}

File_Tail::File_Tail(std::string path, View view, Reader* reader)
    : path_(std::move(path)), view_(view), reader_(reader) {}

File_Tail::~File_Tail() = default;

File_Tail::Failure File_Tail::TakeFailure() {
  const Failure failure = failure_;
  failure_ = TAIL_OK;
  return failure;
}

int File_Tail::Open(const char* open_error, Unique_Fd opened) {
  // After a run that read a file, a path that now names another file is a
  // replacement, opened with the care that asks for.
  bool replacement = false;
  if (opened_before_) {
    struct stat st;
    replacement = stat(path_.c_str(), &st) != 0 || st.st_dev != device_ ||
                  st.st_ino != inode_;
  }
  opened_ = Open_File();
  opened_at_ = CoarseNow();
  Failure failure = TAIL_ERR_OPEN;
  const int rc =
      OpenName(replacement, open_error, &opened_, &failure, std::move(opened));
  if (rc != 0) {
    failure_ = failure;
  }
  return rc;
}

void File_Tail::Start(Start_At start, const Log_Position& resume) {
  const Resumed_Times resumed(start == START_AT_POSITION ? resume.text : "");
  Open_File& opened = opened_;
  const off_t size = opened.eof;
  off_t eof = size;
  bool replaced = false;
  bool unsure = false;
  if (start == START_AT_HEAD) {
    eof = 0;
  } else if (start == START_AT_POSITION) {
    const bool same = resume.device == static_cast<uint64_t>(opened.device) &&
                      resume.inode == static_cast<uint64_t>(opened.inode) &&
                      resume.offset <= size &&
                      !OtherBirth(resumed.born, opened.born) &&
                      HeadStillMatches(opened.fd, resume.head);
    // An empty file known by no birth time may be another that took a
    // removed one's inode: read from its start as it would be, the files
    // that came and went meanwhile are looked for too.
    unsure = same && resume.head.length == 0 &&
             (resumed.born.tv_sec == 0 || opened.born.tv_sec == 0);
    if (same) {
      eof = static_cast<off_t>(resume.offset);
    } else {
      WEX1_TRACE(wex1, WEX1_FLOW, ReplacedMsg, path_.c_str());
      eof = 0;
      replaced = true;
    }
  }
  opened.eof = eof;
  Swap(&opened, nullptr);
  opened_ = Open_File();
  opened_before_ = true;
  seen_at_ = opened_at_;
  if (start == START_AT_POSITION) {
    // What the last run read to its end is not read again.
    for (const Rotated_Position& r : resume.read) {
      bool known = false;
      for (const Read_File& done : read_) {
        known = known || (done.device == static_cast<dev_t>(r.device) &&
                          done.inode == static_cast<ino_t>(r.inode) &&
                          done.head.length == r.head.length &&
                          done.head.hash == r.head.hash);
      }
      if (known) {
        continue;  // the same tail, started again
      }
      Read_File& done = read_[read_next_++ % MAXREADLOGS];
      done.device = static_cast<dev_t>(r.device);
      done.inode = static_cast<ino_t>(r.inode);
      done.head = r.head;
    }
    // The files it was rotated to that were still read are read on first,
    // oldest first, from where they were left.
    unsure = RestoreRotated(resume.rotated, resumed) || unsure;
  }
  if (replaced || unsure) {
    FindRotated(resume, resumed);
  }
}

void File_Tail::FollowUnread() {
  // A replacement that failed (traced) is tried again by the next pass,
  // not at every look while delivery waits.
  if (unread_failed_ || !NameReplaced()) {
    return;
  }
  const Failure failure = failure_;
  const int64_t budget = budget_;
  unread_ = true;
  unread_failed_ = FollowReplacement() != 0;
  unread_ = false;
  budget_ = budget;
  failure_ = failure;
}

void File_Tail::FinishAll() {
  // No position is kept for a rotated file: it is read to its end now.
  budget_ = INT64_MAX;
  while (!rotated_.empty()) {
    FinishRotated(0, true);
  }
}

void File_Tail::Close() {
  view_.stream->reset();
  *view_.fd = -1;
  *view_.eof = -1;
  identity_known_ = false;
  view_.held->Clear();
}

bool File_Tail::Identity(dev_t* device, ino_t* inode) const {
  *device = device_;
  *inode = inode_;
  return identity_known_;
}

void File_Tail::BeginPass(const struct timespec& looked) {
  budget_ = PASSBYTES;
  unread_failed_ = false;
  // An owner that slept through its watch's looks at the name had the
  // current file seen there by them.
  struct statx_timestamp at = {};
  at.tv_sec = looked.tv_sec;
  at.tv_nsec = static_cast<uint32_t>(looked.tv_nsec);
  if (Earlier(seen_at_, at)) {
    seen_at_ = at;
  }
}

bool File_Tail::Publish(Log_Position* position) {
  if (!identity_known_) {
    return false;
  }
  const Head_Fingerprint head = FingerprintOf(head_);
  // Read but not delivered: a held unfinished line is read again whole,
  // and so is an entry still being joined. After a truncation the entry
  // may have begun in what was cut: the position then stays at the cut's
  // start, the lines since are read again.
  int64_t offset = static_cast<int64_t>(view_.eof->load()) -
                   static_cast<int64_t>(view_.held->Held());
  const uint64_t pending = reader_->TailPending();
  offset = pending <= static_cast<uint64_t>(std::max<int64_t>(offset, 0))
               ? offset - static_cast<int64_t>(pending)
               : 0;
  // So are the rotated files still read, so that a restart after a crash
  // reads them on to their end.
  std::vector<Rotated_Position> rotated;
  rotated.reserve(rotated_.size());
  for (const auto& r : rotated_) {
    Rotated_Position p;
    p.device = static_cast<uint64_t>(r->open.device);
    p.inode = static_cast<uint64_t>(r->open.inode);
    p.head = FingerprintOf(r->open.head);
    p.offset = static_cast<int64_t>(r->open.eof) -
               static_cast<int64_t>(r->held.Held());
    rotated.push_back(p);
  }
  const auto same = [](const std::vector<Rotated_Position>& a,
                       const std::vector<Rotated_Position>& b) {
    if (a.size() != b.size()) {
      return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i].device != b[i].device || a[i].inode != b[i].inode ||
          a[i].head.length != b[i].head.length ||
          a[i].head.hash != b[i].head.hash || a[i].offset != b[i].offset) {
        return false;
      }
    }
    return true;
  };
  // An idle log's position stays as it is.
  const bool moved =
      !published_known_ || published_.path != path_ ||
      published_.device != static_cast<uint64_t>(device_) ||
      published_.inode != static_cast<uint64_t>(inode_) ||
      published_.head.length != head.length ||
      published_.head.hash != head.hash || published_.offset != offset ||
      !same(published_.rotated, rotated) || published_read_next_ != read_next_;
  if (!moved) {
    return false;
  }
  // And the files read to their end, so that a restart never reads one
  // again.
  std::vector<Rotated_Position> read;
  for (size_t i = 0; i < MAXREADLOGS; ++i) {
    const Read_File& done = read_[(read_next_ + i) % MAXREADLOGS];
    if (done.inode != 0) {
      Rotated_Position p;
      p.device = static_cast<uint64_t>(done.device);
      p.inode = static_cast<uint64_t>(done.inode);
      p.head = done.head;
      read.push_back(p);
    }
  }
  published_read_next_ = read_next_;
  published_.path = path_;
  published_.device = static_cast<uint64_t>(device_);
  published_.inode = static_cast<uint64_t>(inode_);
  published_.head = head;
  published_.offset = offset;
  // When the file was last seen under the name, so that a restart reads
  // the files born there later that took its place meanwhile (a position
  // unchanged keeps an older time: what was read since would have moved
  // it), and when it and the rotated files were born, so that a file that
  // took the inode of one removed is not taken for it.
  std::string text;
  AppendTime(&text, "seen ", seen_at_);
  AppendTime(&text, " born ", born_);
  for (const auto& r : rotated_) {
    AppendTime(&text, " ", r->open.born);
  }
  published_.text = std::move(text);
  published_.rotated = std::move(rotated);
  published_.read = std::move(read);
  published_known_ = true;
  *position = published_;
  return true;
}

bool File_Tail::Published(Log_Position* position) const {
  if (published_known_) {
    *position = published_;
  }
  return published_known_;
}

bool File_Tail::NameReplaced() {
  if (!identity_known_) {
    return false;
  }
  // A missing path is not a replacement (yet): the old file is still
  // watched until a new one appears under the name.
  const struct statx_timestamp now = CoarseNow();
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) {
    return false;
  }
  if (st.st_dev != device_ || st.st_ino != inode_) {
    return true;
  }
  seen_at_ = now;
  return false;
}

int File_Tail::ReadAppended() {
  char eb[128];
  if (lseek(*view_.fd, *view_.eof, SEEK_SET) < 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, RewindErrMsg, path_.c_str(), e,
               ErrnoText(e, eb, sizeof eb));
    failure_ = TAIL_ERR_REWIND;
    return -1;
  }
  if (reader_->TailRead() != 0) {
    failure_ = TAIL_ERR_READ;
    return -1;
  }
  // The end of what was read, beyond the size measured before when the log
  // grew meanwhile.
  const off_t end = lseek(*view_.fd, 0, SEEK_CUR);
  if (end < 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, NewEOFErrMsg, path_.c_str(), e,
               ErrnoText(e, eb, sizeof eb));
    failure_ = TAIL_ERR_SEEK_RESET;
    return -1;
  }
  *view_.eof = end;
  return 0;
}

int File_Tail::ReadCurrent() {
  char eb[128];
  struct stat st;
  if (fstat(*view_.fd, &st) != 0) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, SeekNewEOFErrMsg, path_.c_str(), e,
               ErrnoText(e, eb, sizeof eb));
    failure_ = TAIL_ERR_SEEK_END;
    return -1;
  }
  const off_t size = st.st_size;
  // Compared over what the file and the head copy both have: a young log
  // that grew, or whose tail was cut, is still the same log.
  const off_t delivered = *view_.eof - static_cast<off_t>(view_.held->Held());
  uint32_t agreed = 0;
  const bool same_head = HeadCopyMatches(*view_.fd, head_, &agreed);
  if ((size == 0 && *view_.eof > 0) ||
      (!same_head && static_cast<off_t>(agreed) < delivered)) {
    // Emptied, or emptied and refilled (bytes delivered before are others
    // now): everything it holds was written after the truncation.
    reader_->TailFlush();
    RememberRead();
    WEX1_TRACE(wex1, WEX1_ERROR, TruncatedMsg, path_.c_str(), 0L);
    *view_.eof = 0;
    head_ = Head_Copy();
  } else if (!same_head || size < *view_.eof) {
    // Its tail was cut or rewritten (a writer dropping a torn record): read
    // on from the cut, or from the start of what was not delivered yet.
    view_.held->Clear();
    *view_.eof = delivered < size ? delivered : size;
    if (size < delivered) {
      WEX1_TRACE(wex1, WEX1_ERROR, TruncatedMsg, path_.c_str(),
                 static_cast<long>(size));
    }
    Head_Copy head;
    if (ReadHeadCopy(*view_.fd, &head)) {
      head_ = head;
    }
  }
  // The head copy grows with a young log up to its full length. It is
  // taken before reading on, and only when it still begins with the bytes
  // known: a copy taken after the read could already hold what a writer put
  // there after emptying the file, and the next pass would take that for
  // the old content and skip it.
  if (head_.length < HEADFINGERPRINTBYTES &&
      size > static_cast<off_t>(head_.length)) {
    Head_Copy head;
    if (ReadHeadCopy(*view_.fd, &head) && head.length >= head_.length &&
        memcmp(head.bytes, head_.bytes, head_.length) == 0) {
      head_ = head;
    }
  }
  if (size > *view_.eof && ReadAppended() != 0) {
    return -1;
  }
  return 0;
}

void File_Tail::ReadRotated() {
  // Oldest first; a younger file is read only once the older ones were
  // read to their end in this pass.
  for (size_t i = 0; i < rotated_.size() && budget_ > 0;) {
    Rotated_File& rotated = *rotated_[i];
    Swap(&rotated.open, &rotated.held);
    struct stat st;
    const bool examined = fstat(*view_.fd, &st) == 0;
    bool failed = false;
    if (examined && st.st_size > *view_.eof) {
      failed = ReadAppended() != 0;
      rotated.open.idle_since = MonotonicSeconds();
    }
    // Read to its end and removed (no link left), or quiet there for the
    // grace time: nothing more is expected of it.
    const bool done =
        failed || !examined ||
        (*view_.eof >= st.st_size &&
         (st.st_nlink == 0 ||
          MonotonicSeconds() - rotated.open.idle_since >= ROTATEDGRACESECONDS));
    Swap(&rotated.open, &rotated.held);
    if (done) {
      FinishRotated(i, false);
    } else {
      ++i;
    }
  }
}

int File_Tail::FollowReplacement() {
  // A directory under the name is no log and no reason to stop: the old
  // file stays, and the name is looked at again until a file is back.
  struct stat st;
  const bool directory = stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (directory != name_is_directory_) {
    name_is_directory_ = directory;
    if (directory) {
      WEX1_TRACE(wex1, WEX1_FLOW, NameIsDirectoryMsg, path_.c_str());
    }
  }
  if (directory) {
    return 0;
  }
  WEX1_TRACE(wex1, WEX1_FLOW, ReplacedMsg, path_.c_str());
  const struct statx_timestamp now = CoarseNow();
  Open_File opened;
  Failure failure = TAIL_ERR_OPEN;
  const int rc = OpenName(true, OpenErrMsg, &opened, &failure);
  if (rc == ENOENT) {
    // Renamed away again meanwhile: the next pass looks anew.
    return 0;
  }
  if (rc != 0) {
    // The old file stays open for the kind to close.
    failure_ = failure;
    return -1;
  }
  // The old file is read on among the rotated ones, its unfinished line
  // with it; everything the new file holds was written after the rotation.
  const struct statx_timestamp seen = seen_at_;
  KeepRotated();
  opened.eof = 0;
  Swap(&opened, nullptr);
  seen_at_ = now;
  // Files that were under the name only between the last look and this
  // one are read too; their entries are older than the new file's, so the
  // next pass, at once, reads them first.
  if (FindSkipped(seen) > 0 || unread_) {
    budget_ = 0;
    return 0;
  }
  return ReadCurrent();
}
