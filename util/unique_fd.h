// Unique_Fd: move-only owner of a file descriptor. reset() closes, release()
// gives up ownership, Close() closes now and returns close()'s result.
#ifndef QOR_UTIL_UNIQUE_FD_H_
#define QOR_UTIL_UNIQUE_FD_H_

#include <unistd.h>

class Unique_Fd {
 public:
  Unique_Fd() = default;
  explicit Unique_Fd(int fd) : fd_(fd) {}
  ~Unique_Fd() { reset(); }
  Unique_Fd(Unique_Fd&& o) noexcept : fd_(o.release()) {}
  Unique_Fd& operator=(Unique_Fd&& o) noexcept {
    if (this != &o) {
      reset(o.release());
    }
    return *this;
  }
  Unique_Fd(const Unique_Fd&) = delete;
  Unique_Fd& operator=(const Unique_Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }
  // Closes now; 0 or -1 with errno set, as close(). -1 with errno untouched when not open.
  int Close() {
    if (fd_ < 0) {
      return -1;
    }
    const int fd = release();
    return ::close(fd);
  }

 private:
  int fd_ = -1;
};

#endif  // QOR_UTIL_UNIQUE_FD_H_
