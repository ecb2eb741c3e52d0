// Creates the missing directories above a file the agent writes.
#include "util/parent_dirs.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "util/unique_fd.h"

namespace {

bool Fail(const char* what, const std::string& dir, const std::string& why,
          std::string* err) {
  *err = std::string("cannot create the directory ") + dir + " of the " + what +
         ": " + why;
  return false;
}

}  // namespace

bool MakeParentDirectories(const std::string& path, const char* what,
                           std::string* err) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) {
    return true;  // the working directory or the root
  }
  const std::string dir = path.substr(0, slash);
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    return true;  // what it is is the open's business
  }
  if (errno != ENOENT) {
    return Fail(what, dir, strerror(errno), err);
  }
  // Down from the root (or the working directory), one component at a
  // time, each opened without following a link.
  std::vector<std::string> parts;
  for (size_t at = 0; at < dir.size();) {
    const size_t next = dir.find('/', at);
    const size_t end = next == std::string::npos ? dir.size() : next;
    if (end > at) {
      parts.push_back(dir.substr(at, end - at));
    }
    at = end + 1;
  }
  Unique_Fd current(
      open(dir[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string walked = dir[0] == '/' ? "" : ".";
  for (const std::string& part : parts) {
    if (!current.valid()) {
      return Fail(what, dir, walked + ": " + strerror(errno), err);
    }
    const std::string here = walked.empty() ? "/" : walked;
    walked += "/" + part;
    if (part == "..") {
      return Fail(what, dir, "a path with \"..\" is not created", err);
    }
    Unique_Fd next(openat(current.get(), part.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid() && errno == ENOENT) {
      struct stat parent;
      if (fstat(current.get(), &parent) != 0) {
        return Fail(what, dir, here + ": " + strerror(errno), err);
      }
      if ((parent.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return Fail(what, dir,
                    here + " may be written by other users; create " + walked +
                        " first",
                    err);
      }
      if (mkdirat(current.get(), part.c_str(), 0750) != 0 && errno != EEXIST) {
        return Fail(what, dir, walked + ": " + strerror(errno), err);
      }
      next.reset(openat(current.get(), part.c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!next.valid()) {
      return Fail(
          what, dir,
          walked + (errno == ELOOP || errno == ENOTDIR
                        ? ": not a directory (a symbolic link is not followed)"
                        : std::string(": ") + strerror(errno)),
          err);
    }
    current = std::move(next);
  }
  return true;
}
