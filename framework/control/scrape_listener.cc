// The HTTP listener of the metrics endpoint: one thread polls every
// connection, with a deadline for the request head and a bound on connections.
#include "framework/control/scrape_listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "util/monotonic_ms.h"

namespace {

struct Connection {
  Unique_Fd fd;
  std::string in;
  std::string out;
  size_t sent = 0;
  long long deadline = 0;  // monotonic ms
  bool answering = false;
};

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

std::string Answer(int status, const char* type, const std::string& body,
                   bool with_body, const char* extra) {
  char head[512];
  snprintf(head, sizeof head,
           "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nCache-Control: no-store\r\n%s"
           "Content-Length: %zu\r\nConnection: close\r\n\r\n",
           status, Reason(status), type, extra, body.size());
  std::string out = head;
  if (with_body) {
    out += body;
  }
  return out;
}

// The end of the request head in `in`, or npos.
size_t HeadEnd(const std::string& in) {
  const size_t crlf = in.find("\r\n\r\n");
  const size_t lf = in.find("\n\n");
  return crlf < lf ? crlf : lf;
}

}  // namespace

bool Scrape_Listener::Start(const std::string& address, bool v6, int port,
                            Handler handler, std::string* err) {
  handler_ = std::move(handler);
  listen_.reset(socket(v6 ? AF_INET6 : AF_INET,
                       SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listen_.valid()) {
    *err = strerror(errno);
    return false;
  }
  const int one = 1;
  setsockopt(listen_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int rc;
  if (v6) {
    struct sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, address.c_str(), &a.sin6_addr);
    setsockopt(listen_.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    rc = bind(listen_.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  } else {
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    rc = bind(listen_.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  }
  if (rc != 0 || listen(listen_.get(), 128) != 0) {
    *err = strerror(errno);
    listen_.reset();
    return false;
  }
  stop_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop_.valid()) {
    *err = strerror(errno);
    listen_.reset();
    return false;
  }
  if (pthread_create(&thread_, nullptr, Run, this) != 0) {
    *err = "cannot start its thread";
    listen_.reset();
    return false;
  }
  started_ = true;
  return true;
}

void Scrape_Listener::Stop() {
  if (!started_) {
    return;
  }
  started_ = false;
  const uint64_t one = 1;
  if (write(stop_.get(), &one, sizeof one) != sizeof one) {
    pthread_cancel(thread_);  // not reached: an eventfd takes the write
  }
  pthread_join(thread_, nullptr);
  listen_.reset();
  stop_.reset();
}

void* Scrape_Listener::Run(void* self) {
  pthread_setname_np(pthread_self(), "qor-metrics");
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  static_cast<Scrape_Listener*>(self)->Loop();
  return nullptr;
}

void Scrape_Listener::Loop() {
  std::vector<Connection> conns;
  std::vector<struct pollfd> fds;
  for (;;) {
    const long long now = MonotonicMs();
    long long wake = -1;
    fds.clear();
    fds.push_back({stop_.get(), POLLIN, 0});
    fds.push_back({listen_.get(), POLLIN, 0});
    for (const Connection& c : conns) {
      fds.push_back(
          {c.fd.get(), static_cast<short>(c.answering ? POLLOUT : POLLIN), 0});
      const long long left = c.deadline > now ? c.deadline - now : 0;
      wake = wake < 0 || left < wake ? left : wake;
    }
    const int n = poll(fds.data(), fds.size(),
                       wake < 0 ? -1 : static_cast<int>(wake) + 1);
    if (n < 0 && errno != EINTR) {
      return;
    }
    if (fds[0].revents != 0) {
      return;
    }
    const long long later = MonotonicMs();
    // Each connection in turn; one past its deadline, done or failed, goes.
    std::vector<Connection> kept;
    kept.reserve(conns.size() + 1);
    for (size_t i = 0; i < conns.size(); ++i) {
      Connection& c = conns[i];
      const short revents = fds[i + 2].revents;
      bool keep = later < c.deadline;
      if (keep && !c.answering &&
          (revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char buffer[2048];
        const ssize_t got =
            recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) {
          keep = got < 0 && (errno == EAGAIN || errno == EINTR);
        } else {
          c.in.append(buffer, static_cast<size_t>(got));
          const size_t end = HeadEnd(c.in);
          if (end != std::string::npos) {
            const std::string line = c.in.substr(0, c.in.find_first_of("\r\n"));
            const size_t sp1 = line.find(' ');
            const size_t sp2 =
                sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
            const std::string method = line.substr(0, sp1);
            std::string target = sp1 == std::string::npos
                                     ? ""
                                     : line.substr(sp1 + 1, sp2 - sp1 - 1);
            target = target.substr(0, target.find('?'));
            if (sp2 == std::string::npos || target.empty() ||
                target[0] != '/') {
              c.out = Answer(400, "text/plain; charset=utf-8", "", true, "");
            } else if (method != "GET" && method != "HEAD") {
              c.out = Answer(405, "text/plain; charset=utf-8", "", true,
                             "Allow: GET, HEAD\r\n");
            } else {
              int status = 404;
              std::string type = "text/plain; charset=utf-8";
              std::string body = "not found\n";
              handler_(target, &status, &type, &body);
              c.out = Answer(status, type.c_str(), body, method == "GET", "");
            }
            c.answering = true;
            c.deadline = later + SCRAPEWRITEMS;
          } else if (c.in.size() > SCRAPEHEADBYTES) {
            c.out = Answer(431, "text/plain; charset=utf-8", "", true, "");
            c.answering = true;
            c.deadline = later + SCRAPEWRITEMS;
          }
        }
      }
      if (keep && c.answering &&
          (revents & (POLLOUT | POLLHUP | POLLERR)) != 0) {
        const ssize_t put = send(c.fd.get(), c.out.data() + c.sent,
                                 c.out.size() - c.sent, MSG_NOSIGNAL);
        if (put < 0) {
          keep = errno == EAGAIN || errno == EINTR;
        } else {
          c.sent += static_cast<size_t>(put);
          keep = c.sent < c.out.size();
        }
      }
      if (keep) {
        kept.push_back(std::move(c));
      }
    }
    conns.swap(kept);
    if ((fds[1].revents & POLLIN) != 0) {
      // Every waiting client is taken; past the limit one is closed at once,
      // so that the backlog never holds an honest scrape behind slow ones.
      for (int taken = 0; taken < 64; ++taken) {
        Unique_Fd fd(accept4(listen_.get(), nullptr, nullptr,
                             SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
          break;
        }
        if (conns.size() >= SCRAPECONNECTIONS) {
          continue;
        }
        Connection c;
        c.fd = std::move(fd);
        c.deadline = later + SCRAPEHEADMS;
        conns.push_back(std::move(c));
      }
    }
  }
}
