// Files the agent rewrites whole (its state, the fleet's situations it
// applied): written so that a crash leaves the old file or the new one,
// never a mix, and never written through a symbolic link.
#ifndef QOR_UTIL_ATOMIC_FILE_H_
#define QOR_UTIL_ATOMIC_FILE_H_

#include <stddef.h>

#include <string>

// Writes `text` to `path` whole: a temporary file in the same directory
// (mode 0600), fsync, rename, then the directory synced. False with *err
// (the temporary file removed) when any step fails; `path` is then as it
// was.
[[nodiscard]] bool WriteFileAtomically(const std::string& path,
                                       const std::string& text,
                                       std::string* err);

// Reads the regular file `path` (a symbolic link is refused) of at most
// `most` bytes into *text. False with *err when it cannot; *missing (may be
// null) tells that it does not exist.
[[nodiscard]] bool ReadSmallFile(const std::string& path, size_t most,
                                 std::string* text, std::string* err,
                                 bool* missing = nullptr);

#endif  // QOR_UTIL_ATOMIC_FILE_H_
