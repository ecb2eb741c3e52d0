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
  std::string text;
  // The agent's row limit left matching rows out of the reply.
  bool truncated = false;
};

// Sends `line` (without its newline) to the agent at `socket_path` and reads
// its reply, waiting at most `timeout_ms` for each part of it.
Control_Reply SendControlRequest(const std::string& socket_path, const std::string& line,
                                 int timeout_ms);

// Sends a streaming request (EVENTS) and hands each line after "OK stream"
// to `on_line` as it arrives, without its newline, until the agent closes
// the connection (kOk) or `on_line` returns false. kErr, kUnreachable or
// kBroken with `text` as for SendControlRequest otherwise.
Control_Reply FollowControlStream(const std::string& socket_path, const std::string& line,
                                  const std::function<bool(const std::string&)>& on_line);

// Splits a whole reply text ("OK n\n" and n lines, then "TRUNCATED\n" when
// a row limit cut them; or "ERR text\n").
Control_Reply ParseControlReply(const std::string& text);

#endif  // QOR_TOOLS_CONTROL_CLIENT_H_
