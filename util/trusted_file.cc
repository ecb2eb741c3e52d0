// Whether a file the agent trusts is safe to read: owner, mode and the
// directories above it.
#include "util/trusted_file.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

// Empty when `st` (the element `name`) is safe, else why not.
std::string Unsafe(const std::string& name, const struct stat& st) {
  const uid_t me = geteuid();
  const bool owner_ok = st.st_uid == 0 || st.st_uid == me;
  const bool sticky_dir = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
  const bool others_write = (st.st_mode & S_IWOTH) != 0 && !sticky_dir;
  const bool group_write = (st.st_mode & S_IWGRP) != 0 && st.st_gid != 0 && !sticky_dir;
  if (owner_ok && !others_write && !group_write) {
    return std::string();
  }
  char text[160];
  snprintf(text, sizeof text, " is owned by uid %u gid %u with mode %04o",
           static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid),
           static_cast<unsigned>(st.st_mode & 07777));
  return name + text;
}

// The first unsafe element of the absolute `path` or its directories, from
// the file up; empty when all are safe or the path does not exist.
std::string FirstUnsafe(std::string path) {
  for (;;) {
    struct stat st;
    // lstat: a symbolic link's own mode means nothing; its directory and
    // target are checked.
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
      std::string why = Unsafe(path, st);
      if (!why.empty()) {
        return why;
      }
    }
    if (path == "/") {
      return std::string();
    }
    const size_t slash = path.find_last_of('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
}

}  // namespace

bool CheckTrustedFile(const char* what, const std::string& path, std::string* problem) {
  problem->clear();
  if (path.empty()) {
    return true;
  }
  std::string absolute = path;
  if (absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      return true;
    }
    absolute = std::string(cwd) + "/" + path;
  }
  std::string why = FirstUnsafe(absolute);
  if (why.empty()) {
    const std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
    if (real != nullptr && absolute != real.get()) {
      why = FirstUnsafe(real.get());
    }
  }
  if (why.empty()) {
    return true;
  }
  char rule[200];
  snprintf(rule, sizeof rule,
           "; it must be owned by root or uid %u, writable by no other user and group-writable "
           "only for group 0",
           static_cast<unsigned>(geteuid()));
  const char* const mode = getenv(kInsecureFilesVar);
  if (mode != nullptr && strcmp(mode, "warn") == 0) {
    *problem = std::string("Warning: using ") + what + " " + path + " although " + why + rule +
               " (" + kInsecureFilesVar + "=warn).";
    return true;
  }
  *problem = std::string("Refusing ") + what + " " + path + ": " + why + rule + " (" +
             kInsecureFilesVar + "=warn accepts it with a warning).";
  return false;
}
