// The client side of the control socket: one request line out, the whole
// reply in.
#include "tools/control_client.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "util/monotonic_ms.h"
#include "util/unique_fd.h"

namespace {

// Waits for `events` on fd until the deadline; false on timeout.
bool Wait(int fd, short events, long long deadline) {
  while (true) {
    const long long left = deadline - MonotonicMs();
    if (left <= 0) {
      return false;
    }
    struct pollfd p = {fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) {
      return true;
    }
    if (n < 0 && errno != EINTR) {
      return true;  // let the following call report the error
    }
  }
}

Control_Reply Failure(Reply_Status status, const std::string& text) {
  Control_Reply r;
  r.status = status;
  r.text = text;
  return r;
}

}  // namespace

// A row of the reply; line[length] is its newline.
void Control_Reply_Reader::TakeLine(const char* line, size_t length) {
  ++reply_.line_count;
  if (on_text_) {
    // Rows that follow each other where they lie go out as one run.
    if (run_ == nullptr || line != run_end_) {
      EndRun();
      run_ = line;
    }
    run_end_ = line + length + 1;
  } else if (on_line_) {
    on_line_(line, length);
  } else {
    reply_.lines.emplace_back(line, length);
  }
}

void Control_Reply_Reader::EndRun() {
  if (run_ != nullptr) {
    on_text_(run_, static_cast<size_t>(run_end_ - run_));
    run_ = nullptr;
  }
}

// One whole line after the first, without its newline.
void Control_Reply_Reader::TakeBodyLine(const char* line, size_t length) {
  if (!stream_) {
    TakeLine(line, length);
  } else if (length > 0 && line[0] == '{') {
    TakeLine(line, length);
  } else if (length == 9 && memcmp(line, "TRUNCATED", 9) == 0) {
    reply_.truncated = true;
  } else if (length > 7 && memcmp(line, "UNREAD ", 7) == 0) {
    reply_.unread.emplace_back(line + 7, length - 7);
  } else if (length > 4 && memcmp(line, "END ", 4) == 0) {
    ended_ = true;
    expected_ = strtol(std::string(line + 4, length - 4).c_str(), nullptr, 10);
  } else {
    reply_ = Failure(Reply_Status::kBroken,
                     "unexpected line in a streamed reply \"" +
                         std::string(line, length < 80 ? length : 80) + "\"");
    failed_ = true;
  }
}

bool Control_Reply_Reader::BodyDone() const {
  return stream_ ? ended_ : static_cast<long>(reply_.line_count) >= expected_;
}

// The text after the first line: its whole lines are taken where they lie
// (a large reply is not copied again); an unfinished last one waits in
// pending_, and so does what follows the lines of an "OK n" reply.
void Control_Reply_Reader::TakeText(const char* data, size_t length) {
  const char* p = data;
  const char* const end = data + length;
  while (p < end && !failed_ && !BodyDone()) {
    const char* const nl =
        static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (nl == nullptr) {
      break;
    }
    if (pending_.empty()) {
      TakeBodyLine(p, static_cast<size_t>(nl - p));
    } else {
      pending_.append(p, static_cast<size_t>(nl - p) + 1);
      const std::string line = std::move(pending_);
      pending_.clear();
      TakeBodyLine(line.data(), line.size() - 1);
      EndRun();  // it lies in `line`
    }
    p = nl + 1;
  }
  EndRun();
  if (!failed_ && !(stream_ && ended_)) {
    pending_.append(p, static_cast<size_t>(end - p));
  }
}

void Control_Reply_Reader::Feed(const char* data, size_t length) {
  if (failed_) {
    return;
  }
  if (head_) {
    TakeText(data, length);
    return;
  }
  // Only the first line is gathered; what follows it is taken where it lies.
  const char* const nl = static_cast<const char*>(memchr(data, '\n', length));
  if (nl == nullptr) {
    pending_.append(data, length);
    return;
  }
  pending_.append(data, static_cast<size_t>(nl - data));
  head_ = true;
  const std::string first = std::move(pending_);
  pending_.clear();
  const char* const rest = nl + 1;
  const size_t rest_length = length - static_cast<size_t>(rest - data);
  if (first.compare(0, 4, "ERR ") == 0 || first == "ERR") {
    reply_.status = Reply_Status::kErr;
    reply_.text = first.size() > 4 ? first.substr(4) : "";
    failed_ = true;
    return;
  }
  if (first == "OK stream") {
    // A streamed report: lines until "END n".
    reply_.status = Reply_Status::kOk;
    stream_ = true;
    expected_ = -1;
  } else {
    char* end = nullptr;
    const long n = first.compare(0, 3, "OK ") == 0 ? strtol(first.c_str() + 3, &end, 10) : -1;
    if (n < 0 || end == nullptr || *end != '\0' || end == first.c_str() + 3) {
      reply_ = Failure(Reply_Status::kBroken, "unexpected reply \"" + first.substr(0, 80) + "\"");
      failed_ = true;
      return;
    }
    reply_.status = Reply_Status::kOk;
    expected_ = n;
    if (!on_line_) {
      // Every line takes at least its newline: no more are reserved than
      // the text could hold.
      reply_.lines.reserve(static_cast<size_t>(n) < rest_length
                               ? static_cast<size_t>(n)
                               : rest_length);
    }
  }
  TakeText(rest, rest_length);
}

Control_Reply Control_Reply_Reader::Finish() {
  if (!head_) {
    return Failure(Reply_Status::kBroken,
                   pending_.empty() ? "the agent closed the connection without a reply"
                                    : "the reply ended before its first line did");
  }
  if (failed_) {
    return reply_;
  }
  if (stream_) {
    if (!ended_) {
      return Failure(Reply_Status::kBroken,
                     "the streamed reply ended before its END line, after " +
                         std::to_string(reply_.line_count) + " lines");
    }
    if (expected_ != static_cast<long>(reply_.line_count)) {
      return Failure(Reply_Status::kBroken,
                     "the reply carried " + std::to_string(reply_.line_count) +
                         " lines but its END line says " +
                         std::to_string(expected_));
    }
    return std::move(reply_);
  }
  if (static_cast<long>(reply_.line_count) < expected_) {
    return Failure(Reply_Status::kBroken, "the reply ended after " + std::to_string(reply_.line_count) +
                                              " of its " + std::to_string(expected_) + " lines");
  }
  // The agent's closing lines after the rows: TRUNCATED when its row limit
  // cut them, UNREAD for each source it could not read.
  size_t at = 0;
  while (at < pending_.size()) {
    const size_t nl = pending_.find('\n', at);
    const std::string line =
        pending_.substr(at, nl == std::string::npos ? nl : nl - at);
    if (line == "TRUNCATED") {
      reply_.truncated = true;
    } else if (line.compare(0, 7, "UNREAD ") == 0) {
      reply_.unread.push_back(line.substr(7));
    }
    at = nl == std::string::npos ? pending_.size() : nl + 1;
  }
  return std::move(reply_);
}

Control_Reply ParseControlReply(const std::string& text) {
  Control_Reply_Reader reader;
  reader.Feed(text.data(), text.size());
  return reader.Finish();
}

// Connects to the agent at `path`: true, or false with *failure saying why.
static bool ConnectAgent(const std::string& path, Unique_Fd* fd, Control_Reply* failure) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    *failure = Failure(Reply_Status::kUnreachable, "socket path \"" + path + "\" must have 1 to " +
                                                       std::to_string(sizeof addr.sun_path - 1) + " bytes");
    return false;
  }
  memcpy(addr.sun_path, path.c_str(), path.size());
  fd->reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd->valid() ||
      connect(fd->get(), reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) != 0) {
    *failure = Failure(Reply_Status::kUnreachable, strerror(errno));
    return false;
  }
  return true;
}

Control_Reply SendControlRequest(const std::string& path, const std::string& line, int timeout_ms,
                                 const Reply_Line_Callback& on_line,
                                 const Reply_Text_Callback& on_text) {
  Unique_Fd fd;
  Control_Reply failure;
  if (!ConnectAgent(path, &fd, &failure)) {
    return failure;
  }
  const std::string request = line + "\n";
  size_t off = 0;
  long long deadline = MonotonicMs() + timeout_ms;
  while (off < request.size()) {
    const ssize_t n = send(fd.get(), request.data() + off, request.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      off += static_cast<size_t>(n);
      deadline = MonotonicMs() + timeout_ms;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Wait(fd.get(), POLLOUT, deadline)) {
        return Failure(Reply_Status::kBroken, "the agent took no request for " +
                                                  std::to_string(timeout_ms / 1000) + " seconds");
      }
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // the agent may have answered already (ERR busy, refused): read it
    }
  }
  shutdown(fd.get(), SHUT_WR);
  Control_Reply_Reader reader(on_line, on_text);
  deadline = MonotonicMs() + timeout_ms;
  while (true) {
    if (!Wait(fd.get(), POLLIN, deadline)) {
      return Failure(Reply_Status::kBroken,
                     "no reply within " + std::to_string(timeout_ms / 1000) + " seconds");
    }
    // A large report comes in with few calls.
    char buf[64 * 1024];
    const ssize_t n = recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      reader.Feed(buf, static_cast<size_t>(n));
      deadline = MonotonicMs() + timeout_ms;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      continue;
    }
    // End of the reply; a reset after it (the agent closed with part of a
    // request unread) loses nothing that was sent before.
    break;
  }
  return reader.Finish();
}

Control_Reply FollowControlStream(const std::string& path, const std::string& line,
                                  const std::function<bool(const std::string&)>& on_line) {
  Unique_Fd fd;
  Control_Reply failure;
  if (!ConnectAgent(path, &fd, &failure)) {
    return failure;
  }
  const std::string request = line + "\n";
  if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    return Failure(Reply_Status::kBroken, std::string("the request was not sent: ") + strerror(errno));
  }
  std::string buf;
  bool started = false;
  while (true) {
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      const std::string one = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      if (!started) {
        if (one != "OK stream") {
          return ParseControlReply(one + "\n");
        }
        started = true;
      } else if (!on_line(one)) {
        return Failure(Reply_Status::kOk, "");
      }
    }
    char chunk[8192];
    const ssize_t n = recv(fd.get(), chunk, sizeof chunk, 0);
    if (n > 0) {
      buf.append(chunk, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (started) {
      return Failure(Reply_Status::kOk, "");  // the agent stopped
    } else {
      return ParseControlReply(buf);
    }
  }
}
