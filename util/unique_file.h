// Unique_File: a stdio stream closed with fclose when it goes out of scope.
#ifndef QOR_UTIL_UNIQUE_FILE_H_
#define QOR_UTIL_UNIQUE_FILE_H_

#include <stdio.h>

#include <memory>

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) {
      fclose(f);
    }
  }
};
using Unique_File = std::unique_ptr<FILE, FileCloser>;

#endif  // QOR_UTIL_UNIQUE_FILE_H_
