// Creates the missing directories above a file the agent writes (its state
// file, an events file), the way a package would: 0750, never through a
// symbolic link, never inside a directory other users may write.
#ifndef QOR_UTIL_PARENT_DIRS_H_
#define QOR_UTIL_PARENT_DIRS_H_

#include <string>

// Makes every missing directory on the way to `path`'s directory, each mode
// 0750 (less the umask). Existing directories are left as they are. A
// directory is created only inside one that neither the group nor others may
// write, and no component is followed when it is a symbolic link to be
// created under. True when the directory exists afterwards; false with *err
// naming `what` and the reason.
bool MakeParentDirectories(const std::string& path, const char* what,
                           std::string* err);

#endif  // QOR_UTIL_PARENT_DIRS_H_
