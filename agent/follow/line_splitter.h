// Line_Splitter: turns the bytes read from a growing text log into whole
// lines, one entry each, for the text kinds' workers.
//
// - A line is delivered only when its newline has arrived: the unfinished
//   last line of a read is held until a later read completes it (a writer
//   may write one line in several pieces), or until Flush() delivers it as
//   it stands (the file was rotated away or truncated).
// - A line longer than MAXRECSIZE - 2 bytes is one entry of its first
//   MAXRECSIZE - 2 bytes; the rest, up to its newline, is dropped, so that
//   text far into a long line never becomes an entry of its own.
// - A carriage return just before the newline is not part of the line.
// - NUL bytes (the hole a copy-truncate leaves behind a writer that does not
//   append) are dropped; each run of them is reported once, also when the
//   run is split between reads, and the text after it is read whole.
//
// A line is handed to the sink as a NUL-terminated text that ends with its
// newline (a flushed tail ends without one). The text lives in the read
// buffer or in the splitter and is valid only during the call.
//
// Owned by one Log_File and used only by its worker thread.
#ifndef QOR_AGENT_FOLLOW_LINE_SPLITTER_H_
#define QOR_AGENT_FOLLOW_LINE_SPLITTER_H_

#include <stddef.h>
#include <string.h>

#include <utility>

// Size of a line buffer of the text kinds: the longest entry, its newline
// and the terminator.
constexpr int MAXRECSIZE = 2048;

class Line_Splitter {
 public:
  // Bytes of a line kept before its newline.
  static constexpr size_t kLongest = MAXRECSIZE - 2;

  Line_Splitter() = default;
  Line_Splitter(const Line_Splitter&) = delete;
  Line_Splitter& operator=(const Line_Splitter&) = delete;

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
    const size_t room = kLongest - length_;
    if (n > room) {
      cut_ = true;
      n = room;
    }
    memcpy(line_ + length_, data, n);
    length_ += n;
  }
  // Ends the held line: a trailing CR removed, `newline` appended.
  template <class Sink>
  void Deliver(bool newline, Sink& sink) {
    size_t n = length_;
    if (!cut_ && n > 0 && line_[n - 1] == '\r') {
      --n;
    }
    if (newline) {
      line_[n++] = '\n';
    }
    line_[n] = '\0';
    Clear();
    sink.Line(line_, n);
  }

  char line_[MAXRECSIZE];
  size_t length_ = 0;        // bytes held in line_
  bool cut_ = false;         // the held line is longer than kLongest
  bool in_nul_run_ = false;  // the last byte seen was a NUL
};

template <class Sink>
void Line_Splitter::Feed(char* data, size_t n, Sink& sink) {
  size_t pos = 0;
  while (pos < n) {
    if (data[pos] == '\0') {
      if (!in_nul_run_) {
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
    if (length > kLongest) {
      length = kLongest;
    } else if (length > 0 && begin[length - 1] == '\r') {
      --length;
    }
    // The byte after the line is the next line's first: put back after.
    const char saved = begin[length + 1];
    begin[length] = '\n';
    begin[length + 1] = '\0';
    sink.Line(begin, length + 1);
    begin[length + 1] = saved;
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
