// Opening a file for appending as the runtime's sinks do: created with mode
// 0640 when missing, close-on-exec, line records appended.
#ifndef QOR_UTIL_APPEND_FILE_H_
#define QOR_UTIL_APPEND_FILE_H_

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

// The open stream (the caller closes it), or null with *err saying which
// file (`what`) could not be opened and why.
inline FILE* OpenForAppend(const char* path, const char* what, std::string* err) {
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  FILE* f = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (f == nullptr) {
    const int e = errno;
    if (fd >= 0) {
      close(fd);
    }
    if (err != nullptr) {
      *err = std::string("cannot open ") + what + " " + path + ": " + strerror(e);
    }
  }
  return f;
}

#endif  // QOR_UTIL_APPEND_FILE_H_
