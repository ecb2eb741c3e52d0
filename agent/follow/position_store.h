// Where each monitored log stood, kept across restarts of the agent.
//
// A Log_Position names one log's file (device, inode and a fingerprint of
// its first bytes) and the offset read up to; kinds that do not read a file
// (the journal's cursor) keep an opaque text instead. Position_Store holds
// the positions loaded from the state file at start; each log takes its own
// once, as its worker first starts. Saving writes every position anew:
// a temporary file in the same directory, fsync, rename (mode 0600), so a
// crash leaves either the old file or the new one, never a mix. The state
// file itself is never a symbolic link: one there is refused, not replaced
// or written through. A file belongs to the machine that wrote it (its
// machine id, or its host name where it has none).
//
// Threads: the manager thread loads and saves; workers take concurrently,
// under the store's lock.
#ifndef QOR_AGENT_FOLLOW_POSITION_STORE_H_
#define QOR_AGENT_FOLLOW_POSITION_STORE_H_

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

// A file rotated away from a log, not yet read to its end: where its
// reader stood, to read it on after a restart.
struct Rotated_Position {
  uint64_t device = 0;
  uint64_t inode = 0;
  Head_Fingerprint head;
  int64_t offset = 0;
};

struct Log_Position {
  std::string path;     // the log's configured path
  uint64_t device = 0;  // of the file read
  uint64_t inode = 0;
  Head_Fingerprint head;
  int64_t offset = 0;  // read up to here
  // A kind's own position (the journal kind's cursor); empty for files.
  std::string text;
  // The files rotated away from the log still being read, oldest first.
  std::vector<Rotated_Position> rotated;
  // The files of the log read to their end lately (or emptied by a
  // copy-truncate), oldest first, so that a restart never takes one, or a
  // copy of one, for a file it has not read; their offset is unused.
  std::vector<Rotated_Position> read;
};

// Where the machine id is kept, and where older systems keep it.
constexpr char MACHINEIDPATH[] = "/etc/machine-id";
constexpr char DBUSMACHINEIDPATH[] = "/var/lib/dbus/machine-id";

// Whose positions a state file holds. A file is taken by the machine of the
// same machine id, whatever its host name is now; where either side has no
// machine id (a file of an older version, a host without one), by the
// same host name.
struct State_Owner {
  std::string machine;  // 32 hexadecimal digits; empty: none
  std::string host;
};

// The machine id in the file at `path`: its first line when that is 32
// hexadecimal digits, else empty (no file, not yet initialised).
std::string ReadMachineId(const char* path);
// This machine as the owner of its state file: the id of MACHINEIDPATH,
// else of DBUSMACHINEIDPATH, and `host`.
State_Owner LocalStateOwner(const std::string& host);

class Position_Store {
 public:
  Position_Store() = default;
  Position_Store(const Position_Store&) = delete;
  Position_Store& operator=(const Position_Store&) = delete;

  // Replaces the loaded positions with those of the state file at `path`,
  // written by `owner`. False, with *err saying why and nothing loaded, when
  // the file cannot be read, is a symbolic link, is malformed or comes from
  // another machine; a missing file is not an error (true, nothing loaded).
  [[nodiscard]] bool Load(const std::string& path, const State_Owner& owner,
                          std::string* err);
  // Hands the loaded position of the log at `path` to its caller once:
  // true and *position filled, or false when there is none (left).
  bool Take(const std::string& path, Log_Position* position);
  // Hands every loaded record whose path starts with `prefix` (records
  // that are no log's, such as the situations' state) once.
  std::vector<Log_Position> TakePrefixed(const std::string& prefix);

  // Writes `positions` to the state file at `path` for `owner` atomically.
  // False, with *err, when any step fails or `path` is a symbolic link (the
  // old file then stands).
  [[nodiscard]] static bool Save(const std::string& path,
                                 const State_Owner& owner,
                                 const std::vector<Log_Position>& positions,
                                 std::string* err);
  // The text of the state file (exposed for tests); Parse is its inverse,
  // and also reads the files of older versions.
  static std::string Format(const State_Owner& owner,
                            const std::vector<Log_Position>& positions);
  [[nodiscard]] static bool Parse(const std::string& text,
                                  const State_Owner& owner,
                                  std::vector<Log_Position>* positions,
                                  std::string* err);

 private:
  Posix_Mutex mu_;
  std::map<std::string, Log_Position> loaded_ GUARDED_BY(mu_);
};

#endif  // QOR_AGENT_FOLLOW_POSITION_STORE_H_
