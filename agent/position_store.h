// Where each monitored log stood, kept across restarts of the agent.
//
// A Log_Position names one log's file (device, inode and a fingerprint of
// its first bytes) and the offset read up to; kinds that do not read a file
// (the journal's cursor) keep an opaque text instead. Position_Store holds
// the positions loaded from the state file at start; each log takes its own
// once, as its worker first starts. Saving writes every position anew:
// a temporary file in the same directory, fsync, rename (mode 0600), so a
// crash leaves either the old file or the new one, never a mix.
//
// Threads: the manager thread loads and saves; workers take concurrently,
// under the store's lock.
#ifndef QOR_AGENT_POSITION_STORE_H_
#define QOR_AGENT_POSITION_STORE_H_

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "util/posix_mutex.h"
#include "util/thread_annotations.h"

// How many leading bytes of a log identify its content.
constexpr uint32_t HEADFINGERPRINTBYTES = 1024;

// A hash of the first `length` bytes of a file (at most
// HEADFINGERPRINTBYTES): a copy-truncated log that was refilled past the
// old read offset has the same size but other first bytes.
struct Head_Fingerprint {
  uint32_t length = 0;
  uint64_t hash = 0;
};

// The fingerprint of the first min(size, HEADFINGERPRINTBYTES) bytes of the
// file open on `fd` (read with pread: the file offset is left alone).
// False, errno set, when they cannot be read.
[[nodiscard]] bool ReadHeadFingerprint(int fd, Head_Fingerprint* head);

// True when the file open on `fd` still begins with the bytes `head` was
// taken of (a shorter file never does; an empty fingerprint always does).
// False also when they cannot be read.
bool HeadStillMatches(int fd, const Head_Fingerprint& head);

// A log's first bytes as its reader took them (at most
// HEADFINGERPRINTBYTES). Unlike the fingerprint they compare with the file
// over whatever length both have: a young log whose tail was cut is still
// the same log.
struct Head_Copy {
  uint32_t length = 0;
  unsigned char bytes[HEADFINGERPRINTBYTES];
};

// Takes the first bytes of the file open on `fd` (pread). False, errno
// set, when they cannot be read.
[[nodiscard]] bool ReadHeadCopy(int fd, Head_Copy* head);
// The fingerprint of the bytes `head` holds.
Head_Fingerprint FingerprintOf(const Head_Copy& head);
// True when the file open on `fd` begins with the same bytes as `head` over
// the shorter of the two: a file that only grew, or whose bytes changed
// only past the shorter length, or whose tail was cut, matches; a file
// emptied and refilled with other bytes does not. *agreed is the count of
// leading bytes both have alike (0 when the file cannot be read, which
// is no match).
bool HeadCopyMatches(int fd, const Head_Copy& head, uint32_t* agreed);

struct Log_Position {
  std::string path;     // the log's configured path
  uint64_t device = 0;  // of the file read
  uint64_t inode = 0;
  Head_Fingerprint head;
  int64_t offset = 0;  // read up to here
  // A kind's own position (the journal kind's cursor); empty for files.
  std::string text;
};

class Position_Store {
 public:
  Position_Store() = default;
  Position_Store(const Position_Store&) = delete;
  Position_Store& operator=(const Position_Store&) = delete;

  // Replaces the loaded positions with those of the state file at `path`,
  // written on `host`. False, with *err saying why and nothing loaded, when
  // the file cannot be read, is malformed or comes from another host; a
  // missing file is not an error (true, nothing loaded).
  [[nodiscard]] bool Load(const std::string& path, const std::string& host,
                          std::string* err);
  // Hands the loaded position of the log at `path` to its caller once:
  // true and *position filled, or false when there is none (left).
  bool Take(const std::string& path, Log_Position* position);

  // Writes `positions` to the state file at `path` for `host` atomically.
  // False, with *err, when any step fails (the old file then stands).
  [[nodiscard]] static bool Save(const std::string& path,
                                 const std::string& host,
                                 const std::vector<Log_Position>& positions,
                                 std::string* err);
  // The text of the state file (exposed for tests); Parse is its inverse.
  static std::string Format(const std::string& host,
                            const std::vector<Log_Position>& positions);
  [[nodiscard]] static bool Parse(const std::string& text,
                                  const std::string& host,
                                  std::vector<Log_Position>* positions,
                                  std::string* err);

 private:
  Posix_Mutex mu_;
  std::map<std::string, Log_Position> loaded_ GUARDED_BY(mu_);
};

#endif  // QOR_AGENT_POSITION_STORE_H_
