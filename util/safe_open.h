// Opening a log, or the directory of a pattern, so that no user but root and
// the agent's own can make the agent read another file through a symbolic
// link: the path is walked one component at a time from a held directory.
#ifndef QOR_UTIL_SAFE_OPEN_H_
#define QOR_UTIL_SAFE_OPEN_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "util/unique_fd.h"

// A directory opened by OpenDirectorySafely.
struct Safe_Directory {
  // For openat and fstatat (O_PATH where there is one): open "." relative
  // to it to list the directory.
  Unique_Fd fd;
  struct stat st = {};
  // A user other than root and the agent's own may create, rename or remove
  // entries in it.
  bool others_may_write = false;
};

// Whether a user other than root and the agent's own may create entries in
// the directory `st` describes.
bool OthersMayWrite(const struct stat& st);

// Whether a symbolic link `link` found in the directory `dir` may be
// followed: its directory is written by nobody but root and the agent's own
// user, or it is root's or the agent's own link in a sticky directory (which
// no one else may replace).
bool LinkTrusted(const struct stat& dir, const struct stat& link);

// Opens the directory `path`, one component at a time: each directory is
// opened without following a link and checked (fstat) as opened, so that a
// component replaced while it is walked is never taken for the one checked;
// a symbolic link among the components is followed only when LinkTrusted
// (its target walked the same way). 0, or the errno value: ELOOP for a link
// refused (or too many), EAGAIN for a component that changed while looked
// at; *why (may be null) then names the component and the reason.
int OpenDirectorySafely(const std::string& path, Safe_Directory* out,
                        std::string* why);

// Opens `name` (one component) in `dir` with `flags` (O_NOFOLLOW is added):
// a symbolic link there is followed only when LinkTrusted, its target opened
// the same way. A descriptor, or -1 with errno set (ELOOP, EAGAIN as above)
// and *why (may be null) set. *at (may be null) takes the directory the
// file was found in (the link's target's, for a link).
int OpenInDirectory(const Safe_Directory& dir, const char* name, int flags,
                    std::string* why, Safe_Directory* at);

// OpenDirectorySafely on the directory of `path`, then OpenInDirectory.
int OpenPathSafely(const std::string& path, int flags, std::string* why,
                   Safe_Directory* at);

#endif  // QOR_UTIL_SAFE_OPEN_H_
