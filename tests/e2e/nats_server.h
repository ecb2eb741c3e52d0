// nats-server with JetStream for the end-to-end tests: on a free loopback
// port, its store in the test's directory, stopped at the end.
#ifndef QOR_TESTS_E2E_NATS_SERVER_H_
#define QOR_TESTS_E2E_NATS_SERVER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "tests/e2e/e2e_util.h"
#include "util/unique_fd.h"

namespace qortest {

inline constexpr char kNatsServer[] = "/usr/sbin/nats-server";

// A free TCP port on loopback (free when asked; the server takes it soon
// after).
inline int FreePort() {
  const Unique_Fd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return -1;
  }
  return ntohs(a.sin_port);
}

inline bool Accepts(int port) {
  const Unique_Fd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

// nats-server with JetStream on a free loopback port, stopped at the end;
// with `cert` and `key` (PEM files), it takes only TLS connections; with
// `config`, that text is its configuration file (e.g. "max_payload: 1024").
class Nats_Server {
 public:
  explicit Nats_Server(const std::string& dir, std::string cert = "",
                       std::string key = "", const std::string& config = "")
      : dir_(dir),
        cert_(std::move(cert)),
        key_(std::move(key)),
        port_(FreePort()) {
    if (!config.empty()) {
      config_ = dir_ + "/nats.conf";
      WriteFile(config_, config + "\n");
    }
    Start();
  }
  ~Nats_Server() { Stop(); }
  Nats_Server(const Nats_Server&) = delete;
  Nats_Server& operator=(const Nats_Server&) = delete;
  // Starts it (again, after Stop: the same port and store).
  void Start() {
    const std::string port = std::to_string(port_);
    const std::string store = dir_ + "/js";
    const std::string log = dir_ + "/nats.log";
    pid_ = fork();
    if (pid_ == 0) {
      if (!cert_.empty()) {
        execl(kNatsServer, kNatsServer, "-a", "127.0.0.1", "-p", port.c_str(),
              "-js", "-sd", store.c_str(), "-l", log.c_str(), "--tls",
              "--tlscert", cert_.c_str(), "--tlskey", key_.c_str(),
              static_cast<char*>(nullptr));
      } else if (!config_.empty()) {
        execl(kNatsServer, kNatsServer, "-c", config_.c_str(), "-a",
              "127.0.0.1", "-p", port.c_str(), "-js", "-sd", store.c_str(),
              "-l", log.c_str(), static_cast<char*>(nullptr));
      } else {
        execl(kNatsServer, kNatsServer, "-a", "127.0.0.1", "-p", port.c_str(),
              "-js", "-sd", store.c_str(), "-l", log.c_str(),
              static_cast<char*>(nullptr));
      }
      _exit(127);
    }
  }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int st;
      waitpid(pid_, &st, 0);
      pid_ = -1;
    }
  }
  bool WaitReady() const {
    return port_ > 0 && pid_ > 0 && WaitUntil([&] { return Accepts(port_); });
  }
  std::string Url(const std::string& prefix) const {
    return (cert_.empty() ? "nats://" : "tls://") + std::string("127.0.0.1:") +
           std::to_string(port_) + "/" + prefix;
  }

 private:
  std::string dir_;
  std::string cert_;
  std::string key_;
  std::string config_;  // its configuration file, if any
  int port_;
  pid_t pid_ = -1;
};

}  // namespace qortest

#endif  // QOR_TESTS_E2E_NATS_SERVER_H_
