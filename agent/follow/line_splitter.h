// Line_Splitter: turns the bytes read from a growing text log into whole
// lines, one entry each, for the text kinds' workers.
//
// - A line is delivered only when its newline has arrived: the unfinished
//   last line of a read is held until a later read completes it (a writer
//   may write one line in several pieces), or until Flush() delivers it as
//   it stands (the file was rotated away or truncated).
// - A line longer than Longest() bytes (MAXRECSIZE - 2 unless set, at most
//   MAXLINELIMIT) is one entry of its first Longest() bytes, told as cut
//   (LineCut); the rest, up to its newline, is dropped, so that text far
//   into a long line never becomes an entry of its own.
// - A carriage return just before the newline is not part of the line.
// - NUL bytes are dropped. A run of them that begins a line is a hole (what
//   a copy-truncate leaves behind a writer that does not append, or a
//   sparse file's gap): it is reported once, also when the run is split
//   between reads, and the text after it is read whole. NULs inside a line
//   (a stray byte in a message) are dropped silently: the line goes on.
//
// A line is handed to the sink as a NUL-terminated text that ends with its
// newline (a flushed tail ends without one). The text lives in the read
// buffer or in the splitter and is valid only during the call.
//
// Owned by one Log_File and used only by its worker thread.
#ifndef QOR_AGENT_FOLLOW_LINE_SPLITTER_H_
#define QOR_AGENT_FOLLOW_LINE_SPLITTER_H_

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <utility>

// Size of a line buffer of the text kinds: the longest entry, its newline
// and the terminator (the default; TVX_MAX_LINE sets a log's longest line).
constexpr int MAXRECSIZE = 2048;
// Bounds of the longest line a log keeps (TVX_MAX_LINE).
constexpr size_t MINLINELIMIT = 256;
constexpr size_t MAXLINELIMIT = 64 * 1024;

// The environment variable that sets the longest line a text log keeps.
constexpr char MAXLINEENVVAR[] = "TVX_MAX_LINE";

// The longest line MAXLINEENVVAR sets (bytes, MINLINELIMIT to
// MAXLINELIMIT), else Line_Splitter's default; *valid (may be null) is false
// when it is set to anything else. Any thread.
inline size_t LongestLineSetting(bool* valid) {
  constexpr size_t kDefault = MAXRECSIZE - 2;
  const char* const value = getenv(MAXLINEENVVAR);
  if (valid != nullptr) {
    *valid = true;
  }
  if (value == nullptr || *value == '\0') {
    return kDefault;
  }
  char* end = nullptr;
  const unsigned long long n = strtoull(value, &end, 10);
  if (*value < '0' || *value > '9' || *end != '\0' || n < MINLINELIMIT ||
      n > MAXLINELIMIT) {
    if (valid != nullptr) {
      *valid = false;
    }
    return kDefault;
  }
  return static_cast<size_t>(n);
}

class Line_Splitter {
 public:
  // Bytes of a line kept before its newline, unless set.
  static constexpr size_t kLongest = MAXRECSIZE - 2;

  Line_Splitter() = default;
  Line_Splitter(const Line_Splitter&) = delete;
  Line_Splitter& operator=(const Line_Splitter&) = delete;

  // Keeps `longest` bytes of a line (MINLINELIMIT to MAXLINELIMIT) from
  // now on. REQUIRES: nothing held.
  void SetLongest(size_t longest) {
    longest_ = longest < MINLINELIMIT   ? MINLINELIMIT
               : longest > MAXLINELIMIT ? MAXLINELIMIT
                                        : longest;
  }
  size_t Longest() const { return longest_; }
  // During the sink's Line call: the line was longer than Longest() and
  // is its first Longest() bytes.
  bool LineCut() const { return line_cut_; }

  // Splits `n` bytes at `data`. REQUIRES: data[n] may be written (the
  // buffer has one byte of room after the data); the data may be changed.
  // `sink` has void Line(char* entry, size_t length) and void NulRun().
  template <class Sink>
  void Feed(char* data, size_t n, Sink& sink);

  // Delivers the held unfinished line as it stands (a trailing carriage
  // return removed). False when nothing was held.
  template <class Sink>
  bool Flush(Sink& sink);

  // Forgets the held line (the file it came from is closed).
  void Clear() {
    length_ = 0;
    cut_ = false;
    in_nul_run_ = false;
  }

  // Exchanges the held lines of two files (a log's current and its rotated
  // one are read in turns).
  void Swap(Line_Splitter* other) {
    std::swap(line_, other->line_);
    std::swap(room_, other->room_);
    std::swap(length_, other->length_);
    std::swap(cut_, other->cut_);
    std::swap(in_nul_run_, other->in_nul_run_);
  }

  // Bytes read but not yet delivered (those of a cut line's dropped rest
  // excepted): what a saved position must step back.
  size_t Held() const { return length_; }

 private:
  // Appends to the held line what fits.
  void Hold(const char* data, size_t n) {
    const size_t room = longest_ - length_;
    if (n > room) {
      cut_ = true;
      n = room;
    }
    if (n == 0) {
      return;
    }
    Reserve(length_ + n + 2);
    memcpy(line_.get() + length_, data, n);
    length_ += n;
  }
  // Room for `need` bytes (the held line, its newline and terminator),
  // grown in steps: most logs never hold a long line.
  void Reserve(size_t need) {
    if (need <= room_) {
      return;
    }
    size_t room = room_ != 0 ? room_ : 256;
    while (room < need) {
      room *= 2;
    }
    if (room > longest_ + 2) {
      room = longest_ + 2;
    }
    std::unique_ptr<char[]> grown(new char[room]);
    if (length_ != 0) {
      memcpy(grown.get(), line_.get(), length_);
    }
    line_ = std::move(grown);
    room_ = room;
  }
  // Ends the held line: a trailing CR removed, `newline` appended.
  template <class Sink>
  void Deliver(bool newline, Sink& sink) {
    Reserve(length_ + 2);
    size_t n = length_;
    if (!cut_ && n > 0 && line_[n - 1] == '\r') {
      --n;
    }
    if (newline) {
      line_[n++] = '\n';
    }
    line_[n] = '\0';
    line_cut_ = cut_;
    Clear();
    sink.Line(line_.get(), n);
    line_cut_ = false;
  }

  std::unique_ptr<char[]> line_;  // room_ bytes; null before the first held
  size_t room_ = 0;
  size_t longest_ = kLongest;
  size_t length_ = 0;        // bytes held in line_
  bool cut_ = false;         // the held line is longer than longest_
  bool in_nul_run_ = false;  // the last byte seen was a NUL of a hole
  bool line_cut_ = false;    // the line being delivered was cut
};

template <class Sink>
void Line_Splitter::Feed(char* data, size_t n, Sink& sink) {
  size_t pos = 0;
  while (pos < n) {
    if (data[pos] == '\0') {
      // A hole begins a line; NULs inside one are stray bytes.
      if (!in_nul_run_ && length_ == 0 && !cut_) {
        in_nul_run_ = true;
        sink.NulRun();
      }
      while (pos < n && data[pos] == '\0') {
        ++pos;
      }
      continue;
    }
    in_nul_run_ = false;
    char* const begin = data + pos;
    char* const newline = static_cast<char*>(memchr(begin, '\n', n - pos));
    const size_t end =
        newline != nullptr ? static_cast<size_t>(newline - data) : n;
    const char* const nul =
        static_cast<const char*>(memchr(begin, '\0', end - pos));
    if (nul != nullptr) {
      // The text before the NULs; the line goes on after them.
      Hold(begin, static_cast<size_t>(nul - begin));
      pos = static_cast<size_t>(nul - data);
      continue;
    }
    if (newline == nullptr) {
      Hold(begin, end - pos);
      return;
    }
    pos = end + 1;
    if (length_ > 0 || cut_) {
      Hold(begin, static_cast<size_t>(newline - begin));
      Deliver(true, sink);
      continue;
    }
    // The usual case, a whole line inside the buffer: delivered in place.
    size_t length = static_cast<size_t>(newline - begin);
    if (length > longest_) {
      length = longest_;
      line_cut_ = true;
    } else if (length > 0 && begin[length - 1] == '\r') {
      --length;
    }
    // The byte after the line is the next line's first: put back after.
    const char saved = begin[length + 1];
    begin[length] = '\n';
    begin[length + 1] = '\0';
    sink.Line(begin, length + 1);
    begin[length + 1] = saved;
    line_cut_ = false;
  }
}

template <class Sink>
bool Line_Splitter::Flush(Sink& sink) {
  if (length_ == 0) {
    Clear();
    return false;
  }
  Deliver(false, sink);
  return true;
}

#endif  // QOR_AGENT_FOLLOW_LINE_SPLITTER_H_
