// The text of an error number for "errno = %d; %s" messages.
#ifndef QOR_UTIL_ERRNO_TEXT_H_
#define QOR_UTIL_ERRNO_TEXT_H_

#include <stddef.h>
#include <string.h>

// strerror's text of `err` (held in `buf` when the library needs it), or
// "Unknown error" when there is no error number or no text for it.
// Thread-safe.
inline const char* ErrnoText(int err, char* buf, size_t len) {
  if (err == 0) {
    return "Unknown error";
  }
  const char* text = strerror_r(err, buf, len);
  return text != nullptr ? text : "Unknown error";
}

#endif  // QOR_UTIL_ERRNO_TEXT_H_
