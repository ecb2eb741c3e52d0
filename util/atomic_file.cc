// Whole-file writes by rename, and bounded reads that refuse links.
#include "util/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/errno_text.h"
#include "util/read_full.h"
#include "util/unique_fd.h"

namespace {

std::string SysError(const char* what, const std::string& path) {
  const int e = errno;
  char eb[128];
  return std::string(what) + " " + path + ": " + ErrnoText(e, eb, sizeof eb);
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& text,
                         std::string* err) {
  struct stat lst;
  if (lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    *err = path + " is a symbolic link; it must be a regular file";
    return false;
  }
  std::string temp = path + ".XXXXXX";
  // mkstemp creates the file 0600 in the file's own directory, so the
  // rename below never crosses a file system.
  Unique_Fd fd(mkostemp(&temp[0], O_CLOEXEC));
  if (!fd.valid()) {
    *err = SysError("cannot create", temp);
    return false;
  }
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    const ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      *err = SysError("cannot write", temp);
      ok = false;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  if (ok && fsync(fd.get()) != 0) {
    *err = SysError("cannot sync", temp);
    ok = false;
  }
  if (ok && fd.Close() != 0) {
    *err = SysError("cannot close", temp);
    ok = false;
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    *err = SysError("cannot rename to", path);
    ok = false;
  }
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // The rename itself lasts only once the directory is on disk.
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos
                              ? "."
                              : (slash == 0 ? "/" : path.substr(0, slash));
  Unique_Fd dirfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirfd.valid()) {
    fsync(dirfd.get());
  }
  return true;
}

bool ReadSmallFile(const std::string& path, size_t most, std::string* text,
                   std::string* err, bool* missing) {
  if (missing != nullptr) {
    *missing = false;
  }
  Unique_Fd fd(
      open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (!fd.valid()) {
    if (errno == ENOENT && missing != nullptr) {
      *missing = true;
    }
    *err = errno == ELOOP
               ? path + " is a symbolic link; it must be a regular file"
               : SysError("cannot open", path);
    return false;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    *err = SysError("cannot examine", path);
    return false;
  }
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > most) {
    *err = path + " is not a regular file of at most " + std::to_string(most) +
           " bytes";
    return false;
  }
  text->assign(static_cast<size_t>(st.st_size), '\0');
  const ssize_t got = ReadFull(fd.get(), &(*text)[0], text->size());
  if (got < 0) {
    *err = SysError("cannot read", path);
    return false;
  }
  text->resize(static_cast<size_t>(got));
  return true;
}
