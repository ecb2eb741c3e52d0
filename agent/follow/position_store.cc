// The position store: where each monitored log stood, saved to and restored
// from the state file across restarts.
#include "agent/follow/position_store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/atomic_file.h"
#include "util/errno_text.h"
#include "util/parent_dirs.h"
#include "util/read_full.h"
#include "util/unique_fd.h"

namespace {

// The first line of every state file: the format's name and version. A
// file of version 1 (no machine line, no rotated files) still loads.
const char StateMagic[] = "qoragent-state 2\n";
const char StateMagicV1[] = "qoragent-state 1\n";
// Bounds that keep a damaged or hostile file from costing much.
constexpr size_t MAXSTATEBYTES = 16u << 20;
constexpr size_t MAXFIELDBYTES = 4096;
constexpr size_t MAXRECORDS = 100000;
constexpr size_t MAXROTATEDRECORDS = 64;  // per log
// The offset of a "rotated" line that names a file read to its end: no
// file is that long, so a version that knows no such line skips it as a
// rotated file it cannot find.
constexpr int64_t READTOEND = INT64_MAX;
constexpr size_t MACHINEIDDIGITS = 32;

uint64_t Fnv1a(const unsigned char* data, size_t length) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < length; ++i) {
    hash ^= data[i];
    hash *= 1099511628211ull;
  }
  return hash;
}


std::string SysError(const char* what, const std::string& path) {
  const int e = errno;
  char eb[128];
  return std::string(what) + " " + path + ": " + ErrnoText(e, eb, sizeof eb);
}

// A strict reader of the state file's text: every token must be exactly
// where the format puts it.
class Cursor {
 public:
  explicit Cursor(const std::string& text) : text_(text) {}

  bool AtEnd() const { return pos_ == text_.size(); }
  bool Literal(const char* word) {
    const size_t n = strlen(word);
    if (text_.compare(pos_, n, word) != 0) {
      return false;
    }
    pos_ += n;
    return true;
  }
  // A decimal number without sign or leading zeros, at most 20 digits.
  bool Number(uint64_t* value) {
    uint64_t v = 0;
    size_t digits = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      const uint64_t d = static_cast<uint64_t>(text_[pos_] - '0');
      if (v > (UINT64_MAX - d) / 10) {
        return false;
      }
      v = v * 10 + d;
      ++pos_;
      ++digits;
    }
    if (digits == 0 || (digits > 1 && text_[pos_ - digits] == '0')) {
      return false;
    }
    *value = v;
    return true;
  }
  // 16 lower-case hexadecimal digits.
  bool Hex64(uint64_t* value) {
    if (text_.size() - pos_ < 16) {
      return false;
    }
    uint64_t v = 0;
    for (int i = 0; i < 16; ++i) {
      const char c = text_[pos_++];
      int d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        d = c - 'a' + 10;
      } else {
        return false;
      }
      v = (v << 4) | static_cast<uint64_t>(d);
    }
    *value = v;
    return true;
  }
  // LENGTH:BYTES, the bytes free of newlines and NULs.
  bool Counted(std::string* value) {
    uint64_t length = 0;
    if (!Number(&length) || length > MAXFIELDBYTES || !Literal(":") ||
        text_.size() - pos_ < length) {
      return false;
    }
    value->assign(text_, pos_, length);
    pos_ += length;
    return value->find_first_of(std::string("\n\0", 2)) == std::string::npos;
  }
  size_t Line() const {
    size_t line = 1;
    for (size_t i = 0; i < pos_ && i < text_.size(); ++i) {
      line += text_[i] == '\n';
    }
    return line;
  }

 private:
  const std::string& text_;
  size_t pos_ = 0;
};

void AppendCounted(std::string* out, const std::string& value) {
  *out += std::to_string(value.size());
  *out += ':';
  *out += value;
}

// "DEV INO LENGTH HASH OFFSET" of a file position.
void AppendFilePosition(std::string* out, uint64_t device, uint64_t inode,
                        const Head_Fingerprint& head, int64_t offset) {
  char numbers[128];
  snprintf(numbers, sizeof numbers, "%llu %llu %u %016llx %lld",
           static_cast<unsigned long long>(device),
           static_cast<unsigned long long>(inode), head.length,
           static_cast<unsigned long long>(head.hash),
           static_cast<long long>(offset < 0 ? 0 : offset));
  *out += numbers;
}

bool ParseFilePosition(Cursor* c, uint64_t* device, uint64_t* inode,
                       Head_Fingerprint* head, int64_t* offset) {
  uint64_t length = 0;
  uint64_t at = 0;
  if (!c->Number(device) || !c->Literal(" ") || !c->Number(inode) ||
      !c->Literal(" ") || !c->Number(&length) ||
      length > HEADFINGERPRINTBYTES || !c->Literal(" ") ||
      !c->Hex64(&head->hash) || !c->Literal(" ") || !c->Number(&at) ||
      at > static_cast<uint64_t>(INT64_MAX)) {
    return false;
  }
  head->length = static_cast<uint32_t>(length);
  *offset = static_cast<int64_t>(at);
  return true;
}

bool IsSymlink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string SymlinkRefused(const std::string& path) {
  return path + " is a symbolic link; the state file must be a regular file";
}

}  // namespace

std::string ReadMachineId(const char* path) {
  Unique_Fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  char text[MACHINEIDDIGITS + 1];
  const ssize_t n = fd.valid() ? ReadFull(fd.get(), text, sizeof text) : -1;
  if (n < static_cast<ssize_t>(MACHINEIDDIGITS) ||
      (n > static_cast<ssize_t>(MACHINEIDDIGITS) &&
       text[MACHINEIDDIGITS] != '\n')) {
    return "";
  }
  std::string id;
  for (size_t i = 0; i < MACHINEIDDIGITS; ++i) {
    const char c = text[i];
    if ((c < '0' || c > '9') && (c < 'a' || c > 'f') && (c < 'A' || c > 'F')) {
      return "";
    }
    id.push_back(c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return id;
}

State_Owner LocalStateOwner(const std::string& host) {
  State_Owner owner;
  owner.machine = ReadMachineId(MACHINEIDPATH);
  if (owner.machine.empty()) {
    owner.machine = ReadMachineId(DBUSMACHINEIDPATH);
  }
  owner.host = host;
  return owner;
}

bool ReadHeadFingerprint(int fd, Head_Fingerprint* head) {
  unsigned char buffer[HEADFINGERPRINTBYTES];
  const ssize_t n = ReadFull(fd, buffer, sizeof buffer, 0);
  if (n < 0) {
    return false;
  }
  head->length = static_cast<uint32_t>(n);
  head->hash = Fnv1a(buffer, static_cast<size_t>(n));
  return true;
}

bool HeadStillMatches(int fd, const Head_Fingerprint& head) {
  if (head.length == 0) {
    return true;
  }
  unsigned char buffer[HEADFINGERPRINTBYTES];
  const size_t want = head.length < sizeof buffer ? head.length : sizeof buffer;
  const ssize_t n = ReadFull(fd, buffer, want, 0);
  return n == static_cast<ssize_t>(want) && Fnv1a(buffer, want) == head.hash;
}

bool ReadHeadCopy(int fd, Head_Copy* head) {
  const ssize_t n = ReadFull(fd, head->bytes, sizeof head->bytes, 0);
  if (n < 0) {
    return false;
  }
  head->length = static_cast<uint32_t>(n);
  return true;
}

Head_Fingerprint FingerprintOf(const Head_Copy& head) {
  Head_Fingerprint print;
  print.length = head.length;
  print.hash = Fnv1a(head.bytes, head.length);
  return print;
}

bool HeadCopyMatches(int fd, const Head_Copy& head, uint32_t* agreed) {
  unsigned char buffer[HEADFINGERPRINTBYTES];
  const ssize_t n = ReadFull(fd, buffer, head.length, 0);
  *agreed = 0;
  if (n < 0) {
    return false;
  }
  while (*agreed < static_cast<uint32_t>(n) &&
         buffer[*agreed] == head.bytes[*agreed]) {
    ++*agreed;
  }
  return *agreed == static_cast<uint32_t>(n);
}

std::string Position_Store::Format(const State_Owner& owner,
                                   const std::vector<Log_Position>& positions) {
  std::string out = StateMagic;
  out += "machine ";
  AppendCounted(&out, owner.machine);
  out += "\nhost ";
  AppendCounted(&out, owner.host);
  out += '\n';
  for (const Log_Position& p : positions) {
    out += "log ";
    AppendFilePosition(&out, p.device, p.inode, p.head, p.offset);
    out += ' ';
    AppendCounted(&out, p.path);
    out += ' ';
    AppendCounted(&out, p.text);
    out += '\n';
    for (const Rotated_Position& r : p.rotated) {
      out += "rotated ";
      AppendFilePosition(&out, r.device, r.inode, r.head,
                         r.offset < READTOEND ? r.offset : READTOEND - 1);
      out += '\n';
    }
    // Kept while the file stays well within what a load takes: without
    // them a log only risks a rotated file read twice, without the file
    // every log would start at its end.
    for (const Rotated_Position& r : p.read) {
      if (out.size() > MAXSTATEBYTES / 2) {
        break;
      }
      out += "rotated ";
      AppendFilePosition(&out, r.device, r.inode, r.head, READTOEND);
      out += '\n';
    }
  }
  out += "end " + std::to_string(positions.size()) + "\n";
  return out;
}

bool Position_Store::Parse(const std::string& text, const State_Owner& owner,
                           std::vector<Log_Position>* positions,
                           std::string* err) {
  positions->clear();
  Cursor c(text);
  State_Owner written_by;
  const bool v1 = c.Literal(StateMagicV1);
  if (!v1 && !c.Literal(StateMagic)) {
    *err = "not a state file of this agent (line 1)";
    return false;
  }
  if (!v1 && (!c.Literal("machine ") || !c.Counted(&written_by.machine) ||
              !c.Literal("\n"))) {
    *err = "malformed machine line (line 2)";
    return false;
  }
  if (!c.Literal("host ") || !c.Counted(&written_by.host) || !c.Literal("\n")) {
    *err = "malformed host line (line " + std::string(v1 ? "2" : "3") + ")";
    return false;
  }
  if (!written_by.machine.empty() && !owner.machine.empty()) {
    if (written_by.machine != owner.machine) {
      *err = "written on machine \"" + written_by.machine + "\", not on \"" +
             owner.machine + "\"";
      return false;
    }
  } else if (written_by.host != owner.host) {
    *err = "written on host \"" + written_by.host + "\", not on \"" +
           owner.host + "\"";
    return false;
  }
  while (c.Literal("log ")) {
    Log_Position p;
    bool ok = positions->size() < MAXRECORDS &&
              ParseFilePosition(&c, &p.device, &p.inode, &p.head, &p.offset) &&
              c.Literal(" ") && c.Counted(&p.path) && !p.path.empty() &&
              c.Literal(" ") && c.Counted(&p.text) && c.Literal("\n");
    while (ok && !v1 && c.Literal("rotated ")) {
      Rotated_Position r;
      ok = p.rotated.size() + p.read.size() < MAXROTATEDRECORDS &&
           ParseFilePosition(&c, &r.device, &r.inode, &r.head, &r.offset) &&
           c.Literal("\n");
      (r.offset == READTOEND ? p.read : p.rotated).push_back(r);
    }
    if (!ok) {
      *err = "malformed log line (line " + std::to_string(c.Line()) + ")";
      positions->clear();
      return false;
    }
    positions->push_back(std::move(p));
  }
  uint64_t count = 0;
  if (!c.Literal("end ") || !c.Number(&count) || !c.Literal("\n") ||
      !c.AtEnd() || count != positions->size()) {
    *err = "incomplete or malformed end (line " + std::to_string(c.Line()) + ")";
    positions->clear();
    return false;
  }
  return true;
}

bool Position_Store::Load(const std::string& path, const State_Owner& owner,
                          std::string* err) {
  {
    Posix_Mutex::Hold hold(&mu_);
    loaded_.clear();
  }
  Unique_Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (!fd.valid()) {
    if (errno == ENOENT) {
      return true;
    }
    *err = errno == ELOOP && IsSymlink(path) ? SymlinkRefused(path)
                                             : SysError("cannot open", path);
    return false;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    *err = SysError("cannot examine", path);
    return false;
  }
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > MAXSTATEBYTES) {
    *err = path + " is not a regular file of at most " +
           std::to_string(MAXSTATEBYTES) + " bytes";
    return false;
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  const ssize_t got = ReadFull(fd.get(), &text[0], text.size());
  if (got < 0) {
    *err = SysError("cannot read", path);
    return false;
  }
  text.resize(static_cast<size_t>(got));
  std::vector<Log_Position> positions;
  if (!Parse(text, owner, &positions, err)) {
    *err = path + ": " + *err;
    return false;
  }
  Posix_Mutex::Hold hold(&mu_);
  for (Log_Position& p : positions) {
    loaded_[p.path] = std::move(p);
  }
  return true;
}

bool Position_Store::Take(const std::string& path, Log_Position* position) {
  Posix_Mutex::Hold hold(&mu_);
  const auto it = loaded_.find(path);
  if (it == loaded_.end()) {
    return false;
  }
  *position = std::move(it->second);
  loaded_.erase(it);
  return true;
}

std::vector<Log_Position> Position_Store::TakePrefixed(
    const std::string& prefix) {
  Posix_Mutex::Hold hold(&mu_);
  std::vector<Log_Position> out;
  for (auto it = loaded_.lower_bound(prefix);
       it != loaded_.end() &&
       it->first.compare(0, prefix.size(), prefix) == 0;) {
    out.push_back(std::move(it->second));
    it = loaded_.erase(it);
  }
  return out;
}

bool Position_Store::Save(const std::string& path, const State_Owner& owner,
                          const std::vector<Log_Position>& positions,
                          std::string* err) {
  // The rename below would replace a symbolic link an administrator put
  // there; the state file is refused instead, as the open at start refuses
  // it.
  if (IsSymlink(path)) {
    *err = SymlinkRefused(path);
    return false;
  }
  if (!MakeParentDirectories(path, "state file", err)) {
    return false;
  }
  return WriteFileAtomically(path, Format(owner, positions), err);
}
