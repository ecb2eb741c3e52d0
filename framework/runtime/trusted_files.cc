// Reports refusals and warnings about the files the process trusts.
#include "framework/runtime/trusted_files.h"

#include <stdio.h>

#include "framework/runtime/trace.h"
#include "util/trusted_file.h"
#include "util/unique_file.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

bool HOV_TrustedFile(const char* what, const char* path, bool to_stderr,
                     std::string* text) {
  if (path == nullptr || *path == '\0') {
    return true;
  }
  std::string problem;
  const bool ok = CheckTrustedFile(what, path, &problem);
  if (text != nullptr) {
    *text = problem;
  }
  if (!problem.empty()) {
    WEX1_TRACE(wex1, WEX1_ERROR, "\n%s", problem.c_str());
    if (to_stderr) {
      fprintf(stderr, "qoragent: %s\n", problem.c_str());
    }
  }
  return ok;
}

bool ReadTrustedFile(const char* what, const char* path, std::string* text,
                     std::string* err) {
  std::string problem;
  if (!HOV_TrustedFile(what, path, false, &problem)) {
    *err = problem.empty() ? std::string(what) + " file " + path + " is refused"
                           : problem;
    return false;
  }
  const std::string unreadable =
      std::string("cannot read the ") + what + " file " + path;
  Unique_File f(fopen(path, "re"));
  if (f == nullptr) {
    *err = unreadable;
    return false;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0 &&
         text->size() < (1 << 20)) {
    text->append(buf, n);
  }
  if (ferror(f.get()) != 0) {
    *err = unreadable;
    return false;
  }
  return true;
}
