// Opens a path one directory at a time, so that no symbolic link is followed
// where users other than root and the agent's own may write, and a component
// swapped meanwhile is refused.
#include "util/safe_open.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <deque>

namespace {

#ifdef O_PATH
constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kWalkFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif

// Links followed in one open at most, as the kernel allows.
constexpr int kMaxLinks = 40;

// Appends the components of `path` in front of *parts, in order.
void PushFront(const std::string& path, std::deque<std::string>* parts) {
  std::deque<std::string> mine;
  size_t at = 0;
  while (at <= path.size()) {
    const size_t slash = path.find('/', at);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > at) {
      mine.push_back(path.substr(at, end - at));
    }
    at = end + 1;
  }
  parts->insert(parts->begin(), mine.begin(), mine.end());
}

int Fail(int e, const std::string& what, const char* reason, std::string* why) {
  if (why != nullptr) {
    *why = what + ": " + reason;
  }
  return e;
}

const char kRefusedLink[] =
    "a symbolic link in a directory other users may write is not followed";
const char kChanged[] = "it changed while it was looked at";

// Walks `parts` from the directory open on `start` (named `shown`), counting
// links in *links; the last directory reached into *out.
int Walk(Unique_Fd start, std::string shown, std::deque<std::string> parts,
         int* links, Safe_Directory* out, std::string* why) {
  Unique_Fd cur = std::move(start);
  struct stat cur_st;
  if (fstat(cur.get(), &cur_st) != 0) {
    return errno;
  }
  while (!parts.empty()) {
    const std::string part = parts.front();
    parts.pop_front();
    if (part == ".") {
      continue;
    }
    const std::string name = (shown == "/" ? "" : shown) + "/" + part;
    struct stat st;
    if (fstatat(cur.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return Fail(errno, name, strerror(errno), why);
    }
    if (S_ISLNK(st.st_mode)) {
      if (!LinkTrusted(cur_st, st)) {
        return Fail(ELOOP, name, kRefusedLink, why);
      }
      if (++*links > kMaxLinks) {
        return Fail(ELOOP, name, "too many symbolic links", why);
      }
      char target[PATH_MAX];
      const ssize_t n =
          readlinkat(cur.get(), part.c_str(), target, sizeof target - 1);
      if (n <= 0) {
        return Fail(n < 0 ? errno : ENOENT, name, kChanged, why);
      }
      target[n] = '\0';
      PushFront(target, &parts);
      if (target[0] == '/') {
        cur.reset(open("/", kWalkFlags));
        shown = "/";
        if (!cur.valid() || fstat(cur.get(), &cur_st) != 0) {
          return errno;
        }
      }
      continue;
    }
    Unique_Fd next(openat(cur.get(), part.c_str(), kWalkFlags));
    if (!next.valid()) {
      const int e = errno;
      return e == ELOOP ? Fail(EAGAIN, name, kChanged, why)
                        : Fail(e, name, strerror(e), why);
    }
    struct stat next_st;
    if (fstat(next.get(), &next_st) != 0) {
      return errno;
    }
    if (next_st.st_dev != st.st_dev || next_st.st_ino != st.st_ino) {
      return Fail(EAGAIN, name, kChanged, why);
    }
    cur = std::move(next);
    cur_st = next_st;
    shown = part == ".." ? shown + "/.." : name;
  }
  // Kept as walked (a directory the agent may search but not list serves
  // as well).
  out->fd = std::move(cur);
  out->st = cur_st;
  out->others_may_write = OthersMayWrite(out->st);
  return 0;
}

int OpenDirectoryCounting(const std::string& path, int* links,
                          Safe_Directory* out, std::string* why) {
  const bool absolute = !path.empty() && path[0] == '/';
  Unique_Fd start(open(absolute ? "/" : ".", kWalkFlags));
  if (!start.valid()) {
    return errno;
  }
  std::deque<std::string> parts;
  PushFront(path, &parts);
  return Walk(std::move(start), absolute ? "/" : ".", std::move(parts), links,
              out, why);
}

std::string DirectoryPart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos
             ? "."
             : (slash == 0 ? "/" : path.substr(0, slash));
}

std::string NamePart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int OpenInCounting(const Safe_Directory& dir, const std::string& shown,
                   const char* name, int flags, int* links, std::string* why,
                   Safe_Directory* at) {
  const std::string named = (shown == "/" ? "" : shown) + "/" + name;
  struct stat st;
  if (fstatat(dir.fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const int e = errno;
    errno = Fail(e, named, strerror(e), why);
    return -1;
  }
  if (S_ISLNK(st.st_mode)) {
    int e = 0;
    if (!LinkTrusted(dir.st, st)) {
      e = Fail(ELOOP, named, kRefusedLink, why);
    } else if (++*links > kMaxLinks) {
      e = Fail(ELOOP, named, "too many symbolic links", why);
    }
    char target[PATH_MAX];
    ssize_t n = 0;
    if (e == 0) {
      n = readlinkat(dir.fd.get(), name, target, sizeof target - 1);
      if (n <= 0) {
        e = Fail(n < 0 ? errno : ENOENT, named, kChanged, why);
      }
    }
    if (e != 0) {
      errno = e;
      return -1;
    }
    target[n] = '\0';
    // The target's directory, from the link's own.
    Safe_Directory there;
    Unique_Fd start(openat(dir.fd.get(), ".", kWalkFlags));
    if (!start.valid()) {
      return -1;
    }
    std::deque<std::string> parts;
    PushFront(DirectoryPart(target), &parts);
    if (target[0] == '/') {
      start.reset(open("/", kWalkFlags));
    }
    e = start.valid() ? Walk(std::move(start), target[0] == '/' ? "/" : shown,
                             std::move(parts), links, &there, why)
                      : errno;
    if (e != 0) {
      errno = e;
      return -1;
    }
    return OpenInCounting(there, DirectoryPart(target),
                          NamePart(target).c_str(), flags, links, why, at);
  }
  const int fd = openat(dir.fd.get(), name, flags | O_NOFOLLOW);
  if (fd < 0) {
    const int e = errno;
    errno = e == ELOOP ? Fail(EAGAIN, named, kChanged, why)
                       : Fail(e, named, strerror(e), why);
    return -1;
  }
  if (at != nullptr) {
    at->fd.reset(dup(dir.fd.get()));
    at->st = dir.st;
    at->others_may_write = dir.others_may_write;
  }
  return fd;
}

}  // namespace

bool OthersMayWrite(const struct stat& st) {
  const uid_t me = geteuid();
  return (st.st_uid != 0 && st.st_uid != me && (st.st_mode & S_IWUSR) != 0) ||
         (st.st_gid != 0 && (st.st_mode & S_IWGRP) != 0) ||
         (st.st_mode & S_IWOTH) != 0;
}

bool LinkTrusted(const struct stat& dir, const struct stat& link) {
  if (!OthersMayWrite(dir)) {
    return true;
  }
  const uid_t me = geteuid();
  return (dir.st_mode & S_ISVTX) != 0 &&
         (link.st_uid == 0 || link.st_uid == me);
}

int OpenDirectorySafely(const std::string& path, Safe_Directory* out,
                        std::string* why) {
  int links = 0;
  return OpenDirectoryCounting(path, &links, out, why);
}

int OpenInDirectory(const Safe_Directory& dir, const char* name, int flags,
                    std::string* why, Safe_Directory* at) {
  int links = 0;
  return OpenInCounting(dir, ".", name, flags, &links, why, at);
}

int OpenPathSafely(const std::string& path, int flags, std::string* why,
                   Safe_Directory* at) {
  int links = 0;
  Safe_Directory dir;
  const std::string parent = DirectoryPart(path);
  const int e = OpenDirectoryCounting(parent, &links, &dir, why);
  if (e != 0) {
    errno = e;
    return -1;
  }
  return OpenInCounting(dir, parent, NamePart(path).c_str(), flags, &links, why,
                        at);
}
