// File utilities of the log configuration: records of a configuration file,
// modification times, file signatures and hexadecimal text.
#include "agent/config/log_manager_util.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <new>

#include "agent/config/config_def.h"
#include "framework/runtime/trace.h"
#include "util/errno_text.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char OpenErrorMsg[] = "Error opening file %s; errno = %d";
const char AllocErrorMsg[] =
    "Memory allocation for %d bytes failed; errno = %d";
const char ReadErrorMsg[] = "Error while reading %s; errno = %d: %s";
const char NotRegularMsg[] = "\nThe file %s is not a regular file.";
const char LongLineMsg[] =
    "\nLine %ld of %s is longer than %d characters; it is ignored.";
const char StatErrorMsg[] = "\nstat() command failed for %s; errno = %d; %s.";

constexpr unsigned char HINIBBLE = 0xF0;
constexpr unsigned char LONIBBLE = 0x0F;
constexpr int NIBBLEBITS = 4;
constexpr char HEXDIGITS[] = "0123456789abcdef";

// The reader's state: one configuration file at a time.
bool bFileOpen = false;
FILE* fpTheFile = nullptr;
char* cpBuffer = nullptr;
long lLineNumber = 0;  // lines of the open file read so far

}  // namespace

char* get_next_rec(const char* path) {
  WEX1_Event ev(wex1, __func__);
  if (!bFileOpen) {
    fpTheFile = fopen(path, "r");
    if (fpTheFile == nullptr) {
      const int err = errno;
      WEX1_TRACE(wex1, WEX1_ERROR, OpenErrorMsg, path, err);
      return nullptr;
    }
    cpBuffer = new (std::nothrow) char[CONFIGRECSIZE];
    if (cpBuffer == nullptr) {
      const int err = errno;
      WEX1_TRACE(wex1, WEX1_ERROR, AllocErrorMsg, CONFIGRECSIZE, err);
      fclose(fpTheFile);
      fpTheFile = nullptr;
      return nullptr;
    }
    bFileOpen = true;
    lLineNumber = 0;
  }

  // True while the chunks of a line too long for the buffer are dropped.
  bool cutting = false;
  while (fgets(cpBuffer, CONFIGRECSIZE, fpTheFile) != nullptr) {
    const size_t length = strlen(cpBuffer);
    if (!cutting) {
      ++lLineNumber;
    }
    if (length > 0 && cpBuffer[length - 1] == '\n') {
      cpBuffer[length - 1] = '\0';
      if (cutting) {
        cutting = false;
        continue;
      }
    } else if (cutting || !feof(fpTheFile) ||
               length >= static_cast<size_t>(CONFIGRECSIZE - 1)) {
      // Part of an over-long line: it is dropped whole. A chunk that ends at
      // the end of the file is the last line, which an administrator may
      // well have left without a newline, and is read.
      if (!cutting) {
        WEX1_TRACE(wex1, WEX1_ERROR, LongLineMsg, lLineNumber, path,
                   CONFIGRECSIZE - 2);
      }
      cutting = true;
      continue;
    }
    if (cpBuffer[0] == '#') {
      continue;
    }
    char* record = cpBuffer;
    while (isspace(static_cast<unsigned char>(*record))) {
      ++record;
    }
    if (*record != '\0') {
      return record;
    }
  }

  if (ferror(fpTheFile)) {
    const int err = errno;
    char errbuf[128];
    WEX1_TRACE(wex1, WEX1_ERROR, ReadErrorMsg, path, err,
               ErrnoText(err, errbuf, sizeof errbuf));
  }
  fclose(fpTheFile);
  fpTheFile = nullptr;
  bFileOpen = false;
  delete[] cpBuffer;
  cpBuffer = nullptr;
  return nullptr;
}

bool file_signature(const char* path, File_Signature* signature) {
  WEX1_Event ev(wex1, __func__);
  struct stat info;
  if (stat(path, &info) != 0) {
    const int err = errno;
    char errbuf[128];
    WEX1_TRACE(wex1, WEX1_ERROR, StatErrorMsg, path, err,
               ErrnoText(err, errbuf, sizeof errbuf));
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    WEX1_TRACE(wex1, WEX1_ERROR, NotRegularMsg, path);
    return false;
  }
  signature->mtime_sec = static_cast<long>(info.st_mtim.tv_sec);
  signature->mtime_nsec = static_cast<long>(info.st_mtim.tv_nsec);
  signature->size = static_cast<long long>(info.st_size);
  signature->device = static_cast<unsigned long long>(info.st_dev);
  signature->inode = static_cast<unsigned long long>(info.st_ino);
  return true;
}

long file_last_modified(const char* path) {
  WEX1_Event ev(wex1, __func__);
  File_Signature signature;
  return ev.Result(file_signature(path, &signature) ? signature.mtime_sec : 0);
}

char* trace_text(char* output, size_t size, const char* raw) {
  if (size == 0) {
    return output;
  }
  size_t used = 0;
  for (const char* p = raw != nullptr ? raw : ""; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const bool control = c < 0x20 || c == 0x7F;
    const size_t need = control ? 4 : 1;
    if (used + need >= size) {
      break;
    }
    if (control) {
      output[used++] = '\\';
      output[used++] = 'x';
      output[used++] = HEXDIGITS[(c & HINIBBLE) >> NIBBLEBITS];
      output[used++] = HEXDIGITS[c & LONIBBLE];
    } else {
      output[used++] = static_cast<char>(c);
    }
  }
  output[used] = '\0';
  return output;
}

char* xtoa(char* output, const void* data, unsigned int length) {
  WEX1_Event ev(wex1, __func__);
  const unsigned char* const bytes = static_cast<const unsigned char*>(data);
  char* out = output;
  for (unsigned int i = 0; i < length; ++i) {
    *out++ = HEXDIGITS[(bytes[i] & HINIBBLE) >> NIBBLEBITS];
    *out++ = HEXDIGITS[bytes[i] & LONIBBLE];
  }
  *out = '\0';
  return output;
}
