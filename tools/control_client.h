// The client side of the control socket: one request line out, the agent's
// whole reply in.
#ifndef QOR_TOOLS_CONTROL_CLIENT_H_
#define QOR_TOOLS_CONTROL_CLIENT_H_

#include <functional>
#include <string>
#include <vector>

enum class Reply_Status {
  kOk,           // "OK n": `lines` holds the n JSON lines
  kErr,          // "ERR text": `text` holds the text
  kUnreachable,  // no agent answers on the socket: `text` says why
  kBroken,       // the agent answered, but not a whole reply: `text` says how
};

struct Control_Reply {
  Reply_Status status = Reply_Status::kUnreachable;
  std::vector<std::string> lines;
  // Lines of an OK reply, also those handed to a line callback instead of
  // being kept in `lines`.
  size_t line_count = 0;
  std::string text;
  // The agent's row limit left matching rows out of the reply.
  bool truncated = false;
  // Sources the agent could not read for a report ("PATH: why").
  std::vector<std::string> unread;
};

// Each line of an OK reply, without its newline, as it arrives.
using Reply_Line_Callback = std::function<void(const char* line, size_t length)>;
// The lines of an OK reply as they arrive, as runs of whole lines with their
// newlines, each run as it lies in what was received.
using Reply_Text_Callback = std::function<void(const char* text, size_t length)>;

// Sends `line` (without its newline) to the agent at `socket_path` and reads
// its reply, waiting at most `timeout_ms` for each part of it. With
// `on_line` (or `on_text`), the lines of an OK reply go to it as they arrive
// instead of into `lines`, so that a long report is never held whole.
Control_Reply SendControlRequest(const std::string& socket_path, const std::string& line,
                                 int timeout_ms, const Reply_Line_Callback& on_line = nullptr,
                                 const Reply_Text_Callback& on_text = nullptr);

// Sends a streaming request (EVENTS) and hands each line after "OK stream"
// to `on_line` as it arrives, without its newline, until the agent closes
// the connection (kOk) or `on_line` returns false. kErr, kUnreachable or
// kBroken with `text` as for SendControlRequest otherwise.
Control_Reply FollowControlStream(const std::string& socket_path, const std::string& line,
                                  const std::function<bool(const std::string&)>& on_line);

// Splits a whole reply text ("OK n\n" and n lines, then "TRUNCATED\n" when
// a row limit cut them; "OK stream\n", lines, then "TRUNCATED\n" when cut
// and "END n\n"; or "ERR text\n").
Control_Reply ParseControlReply(const std::string& text);

// ParseControlReply for a reply read in parts: each Feed takes the next
// bytes, Finish the end of the reply.
class Control_Reply_Reader {
 public:
  explicit Control_Reply_Reader(Reply_Line_Callback on_line = nullptr,
                                Reply_Text_Callback on_text = nullptr)
      : on_line_(std::move(on_line)), on_text_(std::move(on_text)) {}
  void Feed(const char* data, size_t length);
  Control_Reply Finish();

 private:
  Reply_Line_Callback on_line_;
  Reply_Text_Callback on_text_;
  // The run of lines for on_text_ in the text being taken: [run_, run_end_).
  const char* run_ = nullptr;
  const char* run_end_ = nullptr;
  Control_Reply reply_;
  std::string pending_;  // an unfinished line, or what follows the lines
  bool head_ = false;    // the first line was read
  bool failed_ = false;  // ERR, or a first line of another shape
  long expected_ =
      0;  // the lines an OK reply announced (a stream: its END line)
  bool stream_ = false;  // "OK stream": lines until "END n"
  bool ended_ = false;   // the END line of a stream was read
  void TakeText(const char* data, size_t length);
  void TakeBodyLine(const char* line, size_t length);
  void TakeLine(const char* line, size_t length);
  void EndRun();
  bool BodyDone() const;
};

#endif  // QOR_TOOLS_CONTROL_CLIENT_H_
