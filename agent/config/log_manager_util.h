// File utilities of the log configuration and the log manager: reading a
// configuration file record by record, a file's modification time, and
// the hexadecimal text of raw bytes.
#ifndef QOR_AGENT_CONFIG_LOG_MANAGER_UTIL_H_
#define QOR_AGENT_CONFIG_LOG_MANAGER_UTIL_H_

#include <stddef.h>

// Returns the next record of the file at `path`: a line with its leading
// white space and newline removed, in a static buffer valid until the next
// call. Comment lines (first character '#'), blank lines and lines of
// CONFIGRECSIZE - 1 or more characters are skipped (traced with their line
// number); a last line without a
// newline is returned like any other. The file is opened by the first call
// and `path` is ignored while it stays open; at the end of the file (or on
// a read error, traced) it is closed and null returned, and the next call
// starts over. Null, traced, when the file cannot be opened.
// Not reentrant: one file at a time, read by the manager thread alone.
char* get_next_rec(const char* path);

// The modification time of the regular file at `path`; 0, traced at the
// error level, when `path` is not a regular file or cannot be examined.
// Thread-safe.
long file_last_modified(const char* path);

// What tells one version of a configuration file from another: an edit
// within the same second still changes the nanoseconds or the size, a file
// put in place by rename changes the inode.
struct File_Signature {
  long mtime_sec = 0;
  long mtime_nsec = 0;
  long long size = 0;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  bool operator==(const File_Signature& o) const {
    return mtime_sec == o.mtime_sec && mtime_nsec == o.mtime_nsec &&
           size == o.size && device == o.device && inode == o.inode;
  }
  bool operator!=(const File_Signature& o) const { return !(*this == o); }
};

// Fills *signature from the regular file at `path`: true, or false traced
// as by file_last_modified. Thread-safe.
bool file_signature(const char* path, File_Signature* signature);

// Copies the text `raw` into `output` (`size` bytes, terminated) for a
// trace: control characters and DEL become "\xHH", so that configuration
// bytes cannot forge or garble trace records; cut when it does not fit.
// Returns `output`. Thread-safe.
char* trace_text(char* output, size_t size, const char* raw);

// Writes the `length` bytes at `data` into `output` as lower-case
// hexadecimal text, two digits per byte, high half first, and a NUL.
// REQUIRES: `output` holds at least 2 * length + 1 characters.
// Returns `output`. Thread-safe.
char* xtoa(char* output, const void* data, unsigned int length);

#endif  // QOR_AGENT_CONFIG_LOG_MANAGER_UTIL_H_
