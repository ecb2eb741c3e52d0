// The control protocol: one request line in, one reply out.
//
//   PING
//   REPORT TABLE [WHERE CONDITION]
//   STREAM REPORT TABLE [WHERE CONDITION]
//   SITUATION ADD NAME TABLE [CONDITION] [PER COLUMN "REGEX" [KEYS N]]
//                 [THROTTLE SECONDS]
//   SITUATION DEL NAME
//   SITUATION LIST
//   SITUATION RELOAD
//   EVENTS [NAME ...]
//
// Verbs and keywords are case-insensitive. A reply is "OK n" followed by n
// JSON lines, or one line "ERR text" that says what was expected and where
// (column numbers count bytes of the request line from 1). A report whose
// rows a row limit cut ends with one more line, "TRUNCATED", after its n
// lines: clients that read n lines never see it.
//
// A STREAM REPORT is answered "OK stream", then each row's line as the
// report finds it, then "TRUNCATED" when a row limit cut the rows, one
// "UNREAD PATH: why" line for each source the report could not read (a
// rotated file of the log), and last "END n", n being the rows sent; a reply
// without its END line is not whole. A REPORT reply carries the UNREAD lines
// after its n lines (and TRUNCATED) too.
// An ERR reply is the same as for REPORT.
//
// Stateless apart from the runtime it drives (table managers, the situation
// registry); every function may be called from several threads at once.
#ifndef QOR_FRAMEWORK_CONTROL_CONTROL_PROTOCOL_H_
#define QOR_FRAMEWORK_CONTROL_CONTROL_PROTOCOL_H_

#include <stddef.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "framework/tables/request.h"

// Longest request line, without its newline.
constexpr size_t CONTROL_MAX_LINE = 4096;

enum class Control_Verb {
  kPing,
  kReport,
  kSituationAdd,
  kSituationDel,
  kSituationList,
  kSituationReload,
  kSituationAlerts,
  kEvents,  // served as a stream by the control server, not by
            // RunControlRequest
};

// One parsed request line. The condition has passed ParseCondition, once: a
// report carries its thresholds on to the request object; the table and
// columns are checked only when the request runs.
struct Control_Request {
  Control_Verb verb = Control_Verb::kPing;
  std::string table;        // REPORT, SITUATION ADD
  size_t table_column = 0;  // 1-based position of the table name in the line
  std::string name;         // SITUATION ADD, SITUATION DEL
  std::string condition;    // REPORT (after WHERE), SITUATION ADD (with its
                            // clauses); may be empty
  // REPORT: the condition's thresholds, as ParseControlRequest parsed them
  // (a request built by hand sets them to match `condition`).
  std::vector<Threshold_Spec> thresholds;
  std::string run;  // SITUATION ADD: the RUN clause's command; empty: none
  std::vector<std::string>
      names;            // EVENTS: the situations followed; empty: all
  bool stream = false;  // REPORT: answered as a stream (STREAM REPORT)
  long row_limit =
      0;  // REPORT: most rows wanted (not on the line); 0: the table's limit
};

// Parses one request line (a trailing "\r" is ignored). False with *err
// saying what was expected and at which column.
[[nodiscard]] bool ParseControlRequest(const std::string& line,
                                       Control_Request* request,
                                       std::string* err);

// The lines of an OK reply, kept as the texts that carry them: a report of
// many rows is written once into blocks of a bounded size, never held line
// by line, copied into a longer text as it grows, or joined for sending.
//
// A streamed reply hands each block to `send_now` as soon as it is full and
// keeps only what the peer could not take yet; blocks taken whole are used
// again, so that a reply the peer keeps up with lives in a few warm blocks.
class Control_Lines {
 public:
  // Takes what it can of `length` bytes, waiting at most `wait_ms` for the
  // peer to take anything at all: the bytes taken (0: none), or -1 when it
  // will take nothing more (the peer is gone: further lines are counted and
  // dropped).
  using Send_Now =
      std::function<long(const char* data, size_t length, int wait_ms)>;

  Control_Lines() = default;
  Control_Lines(std::initializer_list<std::string> lines) {
    for (const std::string& l : lines) {
      Add(l);
    }
  }
  // A streamed reply that begins with `head` (a text that is no line).
  Control_Lines(Send_Now send_now, const std::string& head)
      : send_now_(std::move(send_now)), block_bytes_(STREAMBLOCKBYTES) {
    NewBlock();
    blocks_.back().append(head);
  }
  Control_Lines(const Control_Lines&) = delete;
  Control_Lines& operator=(const Control_Lines&) = delete;
  Control_Lines(Control_Lines&&) = default;
  Control_Lines& operator=(Control_Lines&&) = default;

  // Adds `line`, which holds no newline.
  void Add(const std::string& line) {
    AddWith([&line](std::string* text) { text->append(line); });
  }
  // Adds the line `write(&text)` appends to the text (without a newline).
  template <typename Write>
  void AddWith(Write write) {
    if (blocks_.empty() || blocks_.back().size() >= block_bytes_) {
      NewBlock();
    }
    write(&blocks_.back());
    blocks_.back().push_back('\n');
    ++count_;
  }
  // Appends `text`, which is no line (a reply's closing words).
  void AppendText(const std::string& text) {
    if (blocks_.empty()) {
      NewBlock();
    }
    blocks_.back().append(text);
  }
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // A source the request could not read ("PATH: why"), named after the
  // lines in an "UNREAD PATH: why" closing line.
  void AddUnread(const std::string& what) { unread_.push_back(what); }
  const std::vector<std::string>& Unread() const { return unread_; }
  // The lines in order, each ended by "\n", in one or more texts; of a
  // streamed reply, those not taken yet, the first from Taken() on.
  std::vector<std::string>& Blocks() { return blocks_; }
  size_t Taken() const { return taken_; }
  // A streamed reply whose peer went away.
  bool Gone() const { return gone_; }

 private:
  // Hands the full blocks to send_now_ (a streamed reply), then starts a
  // block with room for the lines that end past its size: one used before,
  // or a new one with its pages mapped at once.
  void NewBlock();
  // Hands send_now_ what it takes of the blocks (all full) and keeps those
  // taken whole as spares.
  void SendFullBlocks();
  // What send_now_ takes of the rest of `block` (the first not taken),
  // waiting a little for a slow peer while `waiting` blocks are not taken.
  long SendPart(const std::string& block, size_t waiting);

  static constexpr size_t BLOCKBYTES = 256 * 1024;
  // Small enough to stay in the cache between being written and being sent.
  static constexpr size_t STREAMBLOCKBYTES = 256 * 1024;

 public:
  // A peer a little slower than the report is waited for, a few ms at a
  // time, rather than its backlog kept in new memory (fresh pages cost more
  // than the rows): at most this long in all, since the report holds the
  // log manager counted in, which a refresh waits for. Past it, or with
  // fewer blocks waiting, the report goes on without waiting.
  static constexpr long STREAMWAITMS = 250;
  static constexpr int STREAMWAITSTEPMS = 20;
  static constexpr size_t STREAMWAITBLOCKS = 2;

 private:
  long waited_ms_ = 0;  // of STREAMWAITMS
  Send_Now send_now_;
  size_t block_bytes_ = BLOCKBYTES;
  std::vector<std::string> blocks_;
  size_t taken_ = 0;                // bytes of blocks_[0] send_now_ took
  bool gone_ = false;               // send_now_ will take nothing more
  std::vector<std::string> spare_;  // emptied blocks, kept for reuse
  size_t count_ = 0;
  std::vector<std::string> unread_;
};

// Carries out a parsed request: true with one JSON text per reply line, or
// false with *err (unknown table or column, a value of the wrong type, an
// unknown situation, ...). *cut (when given) tells whether a row limit left
// matching rows out of a report.
[[nodiscard]] bool RunControlRequest(const Control_Request& request,
                                     Control_Lines* lines, std::string* err,
                                     bool* cut = nullptr);

// The whole reply to one request line, ready to send: "OK n\n" and n lines,
// or "ERR text\n". A line longer than CONTROL_MAX_LINE is refused unread.
std::string AnswerControlLine(const std::string& line);
// The same reply as the texts to send one after the other (a long report
// is not joined into one text).
std::vector<std::string> AnswerControlLinePieces(const std::string& line);

// Answers a parsed STREAM REPORT (`line` is its request line, for the
// trace): the reply goes to `send_now` while the report runs, as far as the
// peer takes it without waiting. Returns the rest, to be written one text
// after the other: what the peer did not take and the closing lines, or the
// ERR reply when the request failed; nothing when the peer went away.
std::vector<std::string> AnswerStreamedReport(const std::string& line,
                                              const Control_Request& request,
                                              Control_Lines::Send_Now send_now);

// The line that ends a reply whose rows a row limit cut.
constexpr char CONTROL_TRUNCATED[] = "TRUNCATED";
constexpr char CONTROL_UNREAD[] = "UNREAD ";

// "OK n\n" followed by each line and "\n"; then CONTROL_TRUNCATED and "\n"
// when `cut`.
std::string FormatControlOk(Control_Lines lines, bool cut = false);
// The same as the texts to send one after the other.
std::vector<std::string> FormatControlOkPieces(Control_Lines lines, bool cut);
// "ERR text\n", with line breaks in `text` turned into blanks so that the
// reply stays one line.
std::string FormatControlErr(const std::string& text);

#endif  // QOR_FRAMEWORK_CONTROL_CONTROL_PROTOCOL_H_
