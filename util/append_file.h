// Opening a file for appending as the runtime's sinks do (the event, trace
// and debug files): created with mode 0640 when missing, close-on-exec,
// records appended, and never blocking in open.
//
// The path is opened as the logs are when their name may have been replaced:
// where a user other than root and the agent's own may create entries in
// the directory, a symbolic link at the path is not followed (someone could
// point it at a file only the agent may write), except root's or the
// agent's own link in a sticky directory, which no one else can swap. Only
// a regular file or a character device (/dev/null, a terminal) is taken: a
// FIFO would hold the opener until a reader comes, a socket or a directory
// cannot be appended to.
#ifndef QOR_UTIL_APPEND_FILE_H_
#define QOR_UTIL_APPEND_FILE_H_

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "util/unique_fd.h"

namespace append_file_detail {

// Whether a symlink at `path` must not be followed: its directory can be
// written by a user other than root and the agent's own.
inline bool LinkMayBePlanted(const char* path) {
  const char* const slash = strrchr(path, '/');
  const std::string dir = slash == nullptr ? "." : (slash == path ? "/" : std::string(path, slash));
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    return true;
  }
  const uid_t me = geteuid();
  const bool others = (st.st_uid != 0 && st.st_uid != me && (st.st_mode & S_IWUSR) != 0) ||
                      (st.st_gid != 0 && (st.st_mode & S_IWGRP) != 0) ||
                      (st.st_mode & S_IWOTH) != 0;
  if (!others) {
    return false;
  }
  struct stat link;
  const bool own_link = (st.st_mode & S_ISVTX) != 0 && lstat(path, &link) == 0 &&
                        S_ISLNK(link.st_mode) && (link.st_uid == 0 || link.st_uid == me);
  return !own_link;
}

}  // namespace append_file_detail

// The open descriptor, or an invalid one with errno set (EINVAL: not a
// regular file) and *err saying which file (`what`) could not be opened
// and why.
inline Unique_Fd OpenAppendFd(const char* path, const char* what, std::string* err) {
  int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (append_file_detail::LinkMayBePlanted(path)) {
    flags |= O_NOFOLLOW;
  }
  Unique_Fd fd(open(path, flags, 0640));
  const char* why = nullptr;
  int e = errno;
  struct stat st;
  if (!fd.valid()) {
    if (e == ELOOP && (flags & O_NOFOLLOW) != 0) {
      why = "a symbolic link in a directory other users may write is not followed";
    } else if (e == ENXIO) {
      why = "not a regular file";  // a FIFO without a reader, a socket
    }
  } else if (fstat(fd.get(), &st) != 0) {
    e = errno;
    fd.reset();
  } else if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
    why = "not a regular file";
    e = EINVAL;
    fd.reset();
  } else if (fcntl(fd.get(), F_SETFL, O_APPEND) != 0) {
    // Writes wait for a slow terminal rather than failing.
    e = errno;
    fd.reset();
  }
  if (!fd.valid()) {
    if (err != nullptr) {
      *err = std::string("cannot open ") + what + " " + path + ": " +
             (why != nullptr ? why : strerror(e));
    }
    errno = e;
  }
  return fd;
}

// The open stream (the caller closes it), or null with *err as OpenAppendFd.
inline FILE* OpenForAppend(const char* path, const char* what, std::string* err) {
  Unique_Fd fd = OpenAppendFd(path, what, err);
  FILE* const f = fd.valid() ? fdopen(fd.get(), "a") : nullptr;
  if (f != nullptr) {
    fd.release();
  } else if (fd.valid() && err != nullptr) {
    *err = std::string("cannot open ") + what + " " + path + ": " + strerror(errno);
  }
  return f;
}

#endif  // QOR_UTIL_APPEND_FILE_H_
