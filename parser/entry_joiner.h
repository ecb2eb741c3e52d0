// Entry_Joiner: joins the lines of a text log into entries of several lines
// under a log's multiline rule, between Line_Splitter and the row code.
//
// - A line that matches the start pattern (RE2, POSIX syntax) begins an
//   entry; any other line continues the current one (or, with none, begins
//   an entry of its own).
// - An entry ends when the next start line arrives, when Flush() is called
//   (the owner calls it after the rule's quiet time, at rotation and at
//   stop), or when it would pass MAXENTRYLINES lines or MAXENTRYBYTES
//   bytes: the line that does not fit begins the next entry, and Cut()
//   counts such entries.
// - The entry goes to the sink as its first line (NUL-terminated, as the
//   splitter handed it, for the format) and its whole text (its lines joined
//   by newlines, without the last newline and without a terminator).
//
// The text buffer is reserved once, so that taking a line allocates nothing.
// Owned by one Log_File (or tvxmapper) and used by one thread only.
// A line longer than JOINEDLINESIZE - 1 bytes is cut as the entry's first
// line (its whole text keeps it whole).
#ifndef QOR_PARSER_ENTRY_JOINER_H_
#define QOR_PARSER_ENTRY_JOINER_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "framework/runtime/bounded_regex.h"

// An entry of several lines ends at this many lines or bytes; the rest
// starts a new entry.
constexpr size_t MAXENTRYLINES = 500;
constexpr size_t MAXENTRYBYTES = 64 * 1024;
// Room for an entry's first line, its newline and terminator: the text
// kinds' lines are at most this long.
constexpr size_t JOINEDLINESIZE = 2048;

class Entry_Joiner {
 public:
  // Takes the compiled start pattern (not null).
  explicit Entry_Joiner(std::unique_ptr<RE2> start) : start_(std::move(start)) {
    text_.reserve(MAXENTRYBYTES);
  }
  Entry_Joiner(const Entry_Joiner&) = delete;
  Entry_Joiner& operator=(const Entry_Joiner&) = delete;

  // Takes one line of `length` bytes (its newline included when it has
  // one; line[length] is its terminator). `sink` has
  // void Entry(char* first, size_t first_length, const char* whole,
  //            size_t whole_length).
  // `cut`: the line was cut to the longest a line may be (the entry tells
  // it, EntryHasCutLine).
  template <class Sink>
  void Line(const char* line, size_t length, Sink& sink, bool cut = false) {
    size_t body = length;
    if (body > 0 && line[body - 1] == '\n') {
      --body;
    }
    ++taken_;
    const bool start = RegexFinds(*start_, line, body);
    if (lines_ > 0) {
      const bool full =
          lines_ >= MAXENTRYLINES || text_.size() + 1 + body > MAXENTRYBYTES;
      if (start || full) {
        if (!start) {
          ++cut_;
        }
        Flush(sink);
      }
    }
    if (lines_ == 0) {
      has_cut_line_ = false;
      const size_t n = length < sizeof first_ ? length : sizeof first_ - 1;
      memcpy(first_, line, n);
      first_[n] = '\0';
      first_length_ = n;
      text_.assign(line, body);
    } else {
      text_.push_back('\n');
      text_.append(line, body);
    }
    ++lines_;
    pending_bytes_ += length;
    has_cut_line_ = has_cut_line_ || cut;
  }

  // Delivers the current entry: false when there was none.
  template <class Sink>
  bool Flush(Sink& sink) {
    if (lines_ == 0) {
      return false;
    }
    lines_ = 0;
    pending_bytes_ = 0;
    sink.Entry(first_, first_length_, text_.data(), text_.size());
    text_.clear();
    return true;
  }

  // An entry has lines that were not delivered yet.
  bool Pending() const { return lines_ > 0; }
  // The bytes of those lines as they were taken (newlines included): where
  // the entry began, counted back from the last line taken.
  uint64_t PendingBytes() const { return pending_bytes_; }
  // During the sink's Entry call: a line of the entry was cut (Line's
  // `cut`).
  bool EntryHasCutLine() const { return has_cut_line_; }
  // Lines taken so far: the owner tells from it whether lines came in.
  uint64_t Taken() const { return taken_; }
  // Entries ended by the line or byte limit.
  uint64_t Cut() const { return cut_; }
  // Whether `line` (`length` bytes, no newline) begins an entry.
  bool IsStart(const char* line, size_t length) const {
    return RegexFinds(*start_, line, length);
  }

 private:
  std::unique_ptr<RE2> start_;
  std::string text_;
  char first_[JOINEDLINESIZE];
  size_t first_length_ = 0;
  size_t lines_ = 0;
  uint64_t pending_bytes_ = 0;
  uint64_t taken_ = 0;
  uint64_t cut_ = 0;
  bool has_cut_line_ = false;
};

#endif  // QOR_PARSER_ENTRY_JOINER_H_
