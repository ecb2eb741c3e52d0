// The control server: accepts control-socket connections and answers each
// request line.
#include "framework/control/control_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "framework/control/control_protocol.h"
#include "framework/events/event_stream.h"
#include "framework/runtime/trace.h"
#include "util/monotonic_ms.h"
#include "util/posix_mutex.h"
#include "util/process_wide.h"
#include "util/unique_fd.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

constexpr int kListenBacklog = 64;

struct Server_State {
  Posix_Mutex mu;
  Posix_Cond slot;  // signalled when a connection thread ends or Stop begins
  bool running GUARDED_BY(mu) = false;
  bool stopping GUARDED_BY(mu) = false;
  int active GUARDED_BY(mu) = 0;   // connection threads serving a request
  int streams GUARDED_BY(mu) = 0;  // connection threads serving an event stream
  Control_Limits limits GUARDED_BY(mu);
  std::string path GUARDED_BY(mu);
  // The socket file this server bound, so that Stop removes only that one
  // and not a successor's.
  dev_t dev GUARDED_BY(mu) = 0;
  ino_t ino GUARDED_BY(mu) = 0;
  Unique_Fd listen_fd GUARDED_BY(mu);
  Unique_Fd stop_read GUARDED_BY(mu);  // readable once Stop was called
  Unique_Fd stop_write GUARDED_BY(mu);
  // Readable when a slot was freed: the accepting thread then gives it to a
  // request that waits for one.
  Unique_Fd wake_read GUARDED_BY(mu);
  Unique_Fd wake_write GUARDED_BY(mu);
  pthread_t acceptor GUARDED_BY(mu){};
};

Server_State& State() {
  // Connection threads may outlive main's statics.
  return ProcessWide<Server_State>();
}

// Connections whose request line is being read, beyond which the oldest is
// dropped to make room.
constexpr size_t kMostPending = 128;

// What a connection thread needs; owned by the thread.
struct Connection {
  int fd;
  int stop_fd;
  int timeout_ms;
  std::string line;  // the request line, read by the accepting thread
};

constexpr char kBusy[] =
    "busy: the agent is serving as many requests as it allows; try again";

std::string ErrnoText() {
  return strerror(errno);
}

std::string Duration(int ms) {
  if (ms % 1000 == 0) {
    return std::to_string(ms / 1000) + " seconds";
  }
  return std::to_string(ms) + " ms";
}

enum class Wait_Result { kReady, kTimeout, kStop };

// Waits until `fd` is ready for `events`, the deadline passes or the server
// is stopped.
Wait_Result WaitFor(int fd, short events, int stop_fd, long long deadline_ms) {
  while (true) {
    const long long left = deadline_ms - MonotonicMs();
    if (left <= 0) {
      return Wait_Result::kTimeout;
    }
    struct pollfd p[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
    const int n = poll(p, 2, static_cast<int>(left));
    if (n < 0 && errno != EINTR) {
      return Wait_Result::kStop;
    }
    if (n > 0 && p[1].revents != 0) {
      return Wait_Result::kStop;
    }
    if (n > 0 && p[0].revents != 0) {
      return Wait_Result::kReady;
    }
  }
}

// Best effort, never blocks: for the short refusals sent by the acceptor.
void SendNow(int fd, const std::string& text) {
  if (send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    WEX1_TRACE(wex1, WEX1_DETAIL, "\nControl reply not sent; errno = %d; %s",
               errno, strerror(errno));
  }
}

// Writes the reply; a peer that takes nothing for the timeout is dropped.
// False when it went away or was dropped.
bool WriteReply(const Connection& c, const std::string& reply) {
  size_t off = 0;
  long long deadline = MonotonicMs() + c.timeout_ms;
  while (off < reply.size()) {
    const ssize_t n = send(c.fd, reply.data() + off, reply.size() - off,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      off += static_cast<size_t>(n);
      deadline = MonotonicMs() + c.timeout_ms;
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return false;  // the peer went away
    }
    const Wait_Result w = WaitFor(c.fd, POLLOUT, c.stop_fd, deadline);
    if (w == Wait_Result::kTimeout) {
      WEX1_TRACE(wex1, WEX1_FLOW,
                 "\nControl client took no reply for %s; dropped.",
                 Duration(c.timeout_ms).c_str());
      return false;
    }
    if (w == Wait_Result::kStop) {
      return false;
    }
  }
  return true;
}

// Writes a reply made of pieces, one after the other.
void WriteReply(const Connection& c, const std::vector<std::string>& pieces) {
  for (const std::string& piece : pieces) {
    if (!WriteReply(c, piece)) {
      return;
    }
  }
}

// Tells the accepting thread that a slot is free. REQUIRES: the state's mu.
void WakeAcceptor(Server_State& s) REQUIRES(s.mu) {
  s.slot.Broadcast();
  if (s.wake_write.valid() && write(s.wake_write.get(), "x", 1) < 0 &&
      errno != EAGAIN) {
    WEX1_TRACE(wex1, WEX1_DETAIL, "\nControl server not woken; errno = %d; %s",
               errno, strerror(errno));
  }
}

// A connection thread ends: its slot is free again.
void ReleaseSlot() {
  Server_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  --s.active;
  WakeAcceptor(s);
}

// An EVENTS client holds no request slot while it follows the events: the
// streams have their own limit, and requests keep being answered.
void ServeStream(const Connection& c, const Control_Request& request) {
  {
    Server_State& s = State();
    Posix_Mutex::Hold g(&s.mu);
    ++s.streams;
    --s.active;
    WakeAcceptor(s);
  }
  WEX1_TRACE(wex1, WEX1_FLOW, "\nControl request: EVENTS");
  std::string err;
  if (!Event_Streams::Serve(c.fd, c.stop_fd, request.names, &err)) {
    WriteReply(c, FormatControlErr(err));
  }
  Server_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  --s.streams;
  s.slot.Broadcast();
}

// A streamed report: its rows are sent while the report runs, as far as the
// peer takes them. The report waits for the peer only briefly (at most
// Control_Lines::STREAMWAITMS in all: it keeps the log manager counted in,
// which a refresh waits for); what the peer has not taken when the report
// ends is written then, under the usual time-out.
void ServeReportStream(const Connection& c, const std::string& line,
                       const Control_Request& request) {
  // Room for a few blocks in flight, where the system allows it.
  const int want = 1 << 20;
  setsockopt(c.fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof want);
  const int fd = c.fd;
  WriteReply(c, AnswerStreamedReport(
                    line, request,
                    [fd, stop_fd = c.stop_fd](const char* data, size_t length,
                                              int wait_ms) -> long {
                      // The agent stops: the report ends, its reply cut
                      // (no END line), rather than read on for nobody.
                      struct pollfd stop = {stop_fd, POLLIN, 0};
                      if (poll(&stop, 1, 0) > 0) {
                        return -1;
                      }
                      while (true) {
                        const ssize_t n =
                            send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
                        if (n >= 0) {
                          return static_cast<long>(n);
                        }
                        if (errno == EINTR) {
                          continue;
                        }
                        if (errno != EAGAIN && errno != EWOULDBLOCK) {
                          return -1;
                        }
                        struct pollfd p = {fd, POLLOUT, 0};
                        if (wait_ms <= 0 || poll(&p, 1, wait_ms) <= 0) {
                          return 0;
                        }
                        wait_ms = 0;  // room now: one more try
                      }
                    }));
}

void* ServeConnection(void* arg) {
  const std::unique_ptr<Connection> owned(static_cast<Connection*>(arg));
  const Connection& c = *owned;
  {
    Unique_Fd fd(c.fd);
    Control_Request request;
    std::string err;
    const bool parsed = ParseControlRequest(c.line, &request, &err);
    if (parsed && request.verb == Control_Verb::kEvents) {
      ServeStream(c, request);
      return nullptr;
    }
    if (parsed && request.stream) {
      ServeReportStream(c, c.line, request);
    } else {
      WriteReply(c, AnswerControlLinePieces(c.line));
    }
  }
  ReleaseSlot();
  return nullptr;
}

// Root and the agent's own user may use the agent; anyone else is told no.
bool PeerAllowed(int fd) {
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nControl peer credentials unavailable; errno = %d; %s", errno,
               strerror(errno));
    return false;
  }
  const uid_t self = geteuid();
  if (cred.uid == 0 || cred.uid == self) {
    return true;
  }
  WEX1_TRACE(
      wex1, WEX1_ERROR,
      "\nControl connection from uid %u (pid %d) refused; only root and uid %u may use the agent.",
      static_cast<unsigned>(cred.uid), static_cast<int>(cred.pid),
      static_cast<unsigned>(self));
  SendNow(fd, FormatControlErr("permission denied: only root and uid " +
                               std::to_string(self) + " may use this agent"));
  return false;
}

// A connection the accepting thread holds: its request line is being read,
// or it waits for a slot with its line read.
struct Pending {
  Unique_Fd fd;
  std::string buf;
  bool has_line = false;
  long long deadline = 0;  // for the line, then for a slot
  bool done = false;       // handed on or dropped: to be forgotten
};

enum class Read_Result { kMore, kLine, kGone };

// Reads what `p`'s peer has sent without waiting; kLine when its request
// line is complete (then in p->buf), kGone when the peer went away first.
Read_Result ReadSome(Pending* p) {
  // Room for a line of the most bytes with "\r\n": anything longer is refused.
  const size_t most = CONTROL_MAX_LINE + 2;
  while (true) {
    const size_t nl = p->buf.find('\n');
    if (nl != std::string::npos) {
      p->buf.resize(nl);
      return Read_Result::kLine;
    }
    if (p->buf.size() >= most) {
      return Read_Result::kLine;  // over-long: AnswerControlLine refuses it
    }
    char chunk[1024];
    const size_t want = most - p->buf.size() < sizeof chunk
                            ? most - p->buf.size()
                            : sizeof chunk;
    const ssize_t n = recv(p->fd.get(), chunk, want, 0);
    if (n == 0) {
      // A peer may end its line by closing its side instead of a newline.
      return p->buf.empty() ? Read_Result::kGone : Read_Result::kLine;
    }
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno == EAGAIN || errno == EWOULDBLOCK ? Read_Result::kMore
                                                     : Read_Result::kGone;
    }
    p->buf.append(chunk, static_cast<size_t>(n));
  }
}

// Hands `p`, whose line is read, on: PING is answered here and now, so that
// it never waits behind other clients; any other request goes to a thread
// of its own when a slot is free. False when it has to wait for a slot.
bool HandOn(Pending* p, int stop_fd) {
  Control_Request request;
  std::string err;
  if (ParseControlRequest(p->buf, &request, &err) &&
      request.verb == Control_Verb::kPing) {
    SendNow(p->fd.get(), AnswerControlLine(p->buf));
    p->done = true;
    return true;
  }
  Server_State& s = State();
  auto c = std::make_unique<Connection>(
      Connection{p->fd.get(), stop_fd, 0, std::string()});
  {
    Posix_Mutex::Hold g(&s.mu);
    if (s.active >= s.limits.max_clients || s.stopping) {
      return false;
    }
    ++s.active;
    c->timeout_ms = s.limits.client_timeout_ms;
  }
  c->line = std::move(p->buf);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  const int rc = pthread_create(&t, &attr, ServeConnection, c.get());
  pthread_attr_destroy(&attr);
  p->done = true;
  if (rc == 0) {
    c.release();      // the thread owns it now
    p->fd.release();  // and the connection
    return true;
  }
  WEX1_TRACE(wex1, WEX1_ERROR,
             "\nControl connection thread not created; errno = %d; %s", rc,
             strerror(rc));
  {
    Posix_Mutex::Hold g(&s.mu);
    --s.active;
    s.slot.Broadcast();
  }
  SendNow(p->fd.get(), FormatControlErr(kBusy));
  return true;
}

// The accepting thread: accepts connections and reads their request lines
// itself, all at once through poll, so that clients that send nothing hold
// no slot and no thread; a complete request is handed on (HandOn).
void* AcceptLoop(void*) {
  pthread_setname_np(pthread_self(), "qor-control");
  Server_State& s = State();
  int listen_fd;
  int stop_fd;
  int wake_fd;
  int timeout_ms;
  int slot_wait_ms;
  {
    // Start set these before it made this thread and holds them until Stop
    // has joined it.
    Posix_Mutex::Hold g(&s.mu);
    listen_fd = s.listen_fd.get();
    stop_fd = s.stop_read.get();
    wake_fd = s.wake_read.get();
    timeout_ms = s.limits.client_timeout_ms;
    slot_wait_ms = s.limits.slot_wait_ms;
  }
  std::vector<std::unique_ptr<Pending>> pending;  // in arrival order
  std::vector<struct pollfd> polled;
  std::vector<Pending*> reading;  // of polled[3...]
  while (true) {
    // Deadlines first, then the requests that wait for a slot, oldest first.
    long long now = MonotonicMs();
    bool slots_left = true;
    for (const auto& p : pending) {
      if (p->has_line && slots_left && !HandOn(p.get(), stop_fd)) {
        slots_left = false;
      }
      if (p->done || now < p->deadline) {
        continue;
      }
      if (p->has_line) {
        SendNow(p->fd.get(), FormatControlErr(kBusy));
      } else {
        WEX1_TRACE(wex1, WEX1_FLOW,
                   "\nControl client sent no request line within %s; dropped.",
                   Duration(timeout_ms).c_str());
        SendNow(p->fd.get(), FormatControlErr("no request line within " +
                                              Duration(timeout_ms)));
      }
      p->done = true;
    }
    pending.erase(std::remove_if(pending.begin(), pending.end(),
                                 [](const std::unique_ptr<Pending>& p) {
                                   return p->done;
                                 }),
                  pending.end());
    long long wake_at = -1;
    polled.assign(
        {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}});
    reading.clear();
    for (const auto& p : pending) {
      if (wake_at < 0 || p->deadline < wake_at) {
        wake_at = p->deadline;
      }
      if (!p->has_line) {
        polled.push_back({p->fd.get(), POLLIN, 0});
        reading.push_back(p.get());
      }
    }
    const int wait_ms =
        wake_at < 0 ? -1 : static_cast<int>(wake_at > now ? wake_at - now : 0);
    if (poll(polled.data(), polled.size(), wait_ms) < 0) {
      continue;  // EINTR
    }
    if (polled[1].revents != 0) {
      return nullptr;  // the pending connections close unanswered
    }
    if (polled[2].revents != 0) {
      char drain[64];
      while (read(wake_fd, drain, sizeof drain) > 0) {
      }
    }
    now = MonotonicMs();
    for (size_t i = 0; i < reading.size(); ++i) {
      if (polled[i + 3].revents == 0) {
        continue;
      }
      Pending* p = reading[i];
      switch (ReadSome(p)) {
        case Read_Result::kMore:
          break;
        case Read_Result::kGone:
          p->done = true;
          break;
        case Read_Result::kLine:
          p->has_line = true;
          p->deadline =
              now +
              slot_wait_ms;  // a burst of requests waits briefly for a slot
          break;
      }
    }
    if (polled[0].revents == 0) {
      continue;
    }
    const int fd =
        accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      const int e = errno;
      if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
        WEX1_TRACE(wex1, WEX1_ERROR,
                   "\nControl connection not accepted; errno = %d; %s", e,
                   strerror(e));
        struct pollfd stop = {stop_fd, POLLIN, 0};
        poll(&stop, 1, 100);  // let descriptors free up instead of spinning
      }
      continue;
    }
    auto p = std::make_unique<Pending>();
    p->fd.reset(fd);
    if (!PeerAllowed(fd)) {
      continue;
    }
    // Too many silent clients: the one that has waited longest goes.
    size_t silent = 0;
    for (const auto& q : pending) {
      silent += q->has_line || q->done ? 0 : 1;
    }
    for (auto& q : pending) {
      if (silent < kMostPending) {
        break;
      }
      if (!q->has_line && !q->done) {
        WEX1_TRACE(
            wex1, WEX1_FLOW,
            "\nControl clients waiting for their request line exceed %zu; the oldest dropped.",
            kMostPending);
        q->done = true;
        --silent;
      }
    }
    p->deadline = MonotonicMs() + timeout_ms;
    pending.push_back(std::move(p));
  }
}

// The private /tmp/qoragent-UID directory of the default path is ours to
// make, and must not be anyone else's.
bool PrepareDefaultDir(const std::string& path, std::string* err) {
  const std::string dir = "/tmp/qoragent-" + std::to_string(geteuid());
  if (path != dir + "/qoragent.sock") {
    return true;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *err = "cannot create " + dir + ": " + ErrnoText();
    return false;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    *err = dir + " is not a private directory (mode 0700) of uid " +
           std::to_string(geteuid()) +
           "; remove it or set HOV_SOCKET to another path";
    return false;
  }
  return true;
}

bool FillAddress(const std::string& path, struct sockaddr_un* addr,
                 std::string* err) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) {
    *err = "control socket path \"" + path + "\" must have 1 to " +
           std::to_string(sizeof addr->sun_path - 1) +
           " bytes; set HOV_SOCKET to a shorter path";
    return false;
  }
  memcpy(addr->sun_path, path.c_str(), path.size());
  return true;
}

// Removes a socket file nobody answers on; refuses a live one and anything
// that is not a socket.
bool ClearStaleSocket(const std::string& path, const struct sockaddr_un& addr,
                      std::string* err) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      return true;
    }
    *err = "cannot examine " + path + ": " + ErrnoText();
    return false;
  }
  if (!S_ISSOCK(st.st_mode)) {
    *err =
        path +
        " exists and is not a socket; remove it or set HOV_SOCKET to another path";
    return false;
  }
  Unique_Fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) {
    *err = "cannot create a socket: " + ErrnoText();
    return false;
  }
  if (connect(probe.get(), reinterpret_cast<const struct sockaddr*>(&addr),
              sizeof addr) == 0) {
    *err = "another qoragent is already serving on " + path +
           "; stop it first or set HOV_SOCKET to another path";
    return false;
  }
  if (errno != ECONNREFUSED) {
    *err = "cannot tell whether an agent is serving on " + path + ": " +
           ErrnoText();
    return false;
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    *err = "cannot remove the stale socket " + path + ": " + ErrnoText();
    return false;
  }
  WEX1_TRACE(wex1, WEX1_FLOW, "\nStale control socket %s replaced.",
             path.c_str());
  return true;
}

}  // namespace

bool Control_Server::Start(std::string* err, const Control_Limits& limits) {
  Server_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  if (s.running) {
    *err = "the control server is already running on " + s.path;
    return false;
  }
  const std::string path = HOV_SocketPath();
  struct sockaddr_un addr;
  if (!FillAddress(path, &addr, err) || !PrepareDefaultDir(path, err) ||
      !ClearStaleSocket(path, addr, err)) {
    return false;
  }
  Unique_Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *err = "cannot create a socket: " + ErrnoText();
    return false;
  }
  if (bind(fd.get(), reinterpret_cast<const struct sockaddr*>(&addr),
           sizeof addr) != 0) {
    *err = "cannot bind the control socket " + path + ": " + ErrnoText();
    return false;
  }
  // Nobody can connect before listen(), so the mode is right before anyone can.
  struct stat st;
  if (chmod(path.c_str(), 0600) != 0 || stat(path.c_str(), &st) != 0 ||
      listen(fd.get(), kListenBacklog) != 0) {
    *err = "cannot set up the control socket " + path + ": " + ErrnoText();
    unlink(path.c_str());
    return false;
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *err = "cannot create a pipe: " + ErrnoText();
    unlink(path.c_str());
    return false;
  }
  s.stop_read.reset(pipe_fds[0]);
  s.stop_write.reset(pipe_fds[1]);
  if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    *err = "cannot create a pipe: " + ErrnoText();
    s.stop_read.reset();
    s.stop_write.reset();
    unlink(path.c_str());
    return false;
  }
  s.wake_read.reset(pipe_fds[0]);
  s.wake_write.reset(pipe_fds[1]);
  s.listen_fd = std::move(fd);
  s.limits = limits;
  s.path = path;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.active = 0;
  const int rc = pthread_create(&s.acceptor, nullptr, AcceptLoop, nullptr);
  if (rc != 0) {
    *err =
        std::string("cannot start the control server thread: ") + strerror(rc);
    s.listen_fd.reset();
    s.stop_read.reset();
    s.stop_write.reset();
    s.wake_read.reset();
    s.wake_write.reset();
    unlink(path.c_str());
    return false;
  }
  s.running = true;
  WEX1_TRACE(wex1, WEX1_FLOW, "\nControl server listening on %s.",
             path.c_str());
  return true;
}

void Control_Server::Stop() {
  Server_State& s = State();
  pthread_t acceptor;
  {
    Posix_Mutex::Hold g(&s.mu);
    if (!s.running) {
      return;
    }
    acceptor = s.acceptor;
    s.stopping = true;
    s.slot.Broadcast();
    // The byte is never read: the pipe stays readable and wakes every poll.
    if (write(s.stop_write.get(), "x", 1) != 1) {
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nControl server stop not signalled; errno = %d; %s", errno,
                 strerror(errno));
    }
  }
  pthread_join(acceptor, nullptr);
  Posix_Mutex::Hold g(&s.mu);
  while (s.active != 0 || s.streams != 0) {
    s.slot.Wait(&s.mu);
  }
  s.listen_fd.reset();
  struct stat st;
  if (stat(s.path.c_str(), &st) == 0 && st.st_dev == s.dev &&
      st.st_ino == s.ino) {
    unlink(s.path.c_str());
  }
  s.stop_read.reset();
  s.stop_write.reset();
  s.wake_read.reset();
  s.wake_write.reset();
  s.running = false;
  s.stopping = false;
  WEX1_TRACE(wex1, WEX1_FLOW, "\nControl server on %s stopped.",
             s.path.c_str());
}
