// ReadFull: read(2) or pread(2) that goes on until the bytes asked for are
// in, the file ends or a real error occurs (EINTR is retried).
#ifndef QOR_UTIL_READ_FULL_H_
#define QOR_UTIL_READ_FULL_H_

#include <errno.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

// The count read (fewer than `length` only at the end of the file), or -1
// with errno set. `offset` >= 0 reads from there with pread, leaving the
// file offset alone; -1 reads from the file offset.
inline ssize_t ReadFull(int fd, void* buffer, size_t length, off_t offset = -1) {
  char* const out = static_cast<char*>(buffer);
  size_t got = 0;
  while (got < length) {
    const ssize_t n =
        offset >= 0 ? pread(fd, out + got, length - got, offset + static_cast<off_t>(got))
                    : read(fd, out + got, length - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

#endif  // QOR_UTIL_READ_FULL_H_
