// Tests of the control server over its socket.
#include "framework/control/control_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/situations/action_runner.h"
#include "framework/events/event_sink.h"
#include "framework/tables/table_manager.h"
#include "tests/support/ping_counts.h"
#include "tests/testutil.h"
#include "util/unique_fd.h"

namespace {

using qortest::PingCounts;

sockaddr_un Address(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  return a;
}

Unique_Fd Connect(const std::string& path) {
  Unique_Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un a = Address(path);
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    fd.reset();
  }
  return fd;
}

// Everything the server sends until it closes (or resets) the connection,
// waiting at most 10 seconds.
std::string ReadAll(int fd) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) {
      continue;
    }
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string Ask(const std::string& path, const std::string& request) {
  Unique_Fd fd = Connect(path);
  if (!fd.valid()) {
    return std::string("connect: ") + strerror(errno);
  }
  if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) {
    return std::string("send: ") + strerror(errno);
  }
  shutdown(fd.get(), SHUT_WR);
  return ReadAll(fd.get());
}

class ControlServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = dir_.File("agent.sock");
    setenv("HOV_SOCKET", socket_.c_str(), 1);
    setenv("HOV_SYSTEM_NAME", "ctltest:TVX", 1);
  }
  void TearDown() override {
    Control_Server::Stop();
    unsetenv("HOV_SOCKET");
    unsetenv("HOV_SYSTEM_NAME");
  }
  std::string Ping() const {
    return "OK 1\n{\"pid\":" + std::to_string(getpid()) + ",\"system\":\"ctltest:TVX\"," + PingCounts() + "}\n";
  }

  qortest::Scoped_Temp_Dir dir_;
  qortest::TraceCapture trace_{"ERROR"};
  std::string socket_;
};

TEST(ControlSocketPathTest, DefaultsFollowTheEnvironment) {
  const char* saved_xdg = getenv("XDG_RUNTIME_DIR");
  const std::string xdg = saved_xdg != nullptr ? saved_xdg : "";
  setenv("HOV_SOCKET", "/tmp/x/agent.sock", 1);
  EXPECT_EQ(HOV_SocketPath(), "/tmp/x/agent.sock");
  unsetenv("HOV_SOCKET");
  setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(HOV_SocketPath(), "/run/user/1000/qoragent.sock");
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(HOV_SocketPath(), geteuid() == 0 ? std::string("/run/qoragent.sock")
                                             : "/tmp/qoragent-" + std::to_string(geteuid()) +
                                                   "/qoragent.sock");
  if (saved_xdg != nullptr) {
    setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
  }
}

TEST_F(ControlServerTest, ServesOneRequestPerConnectionOnAPrivateSocket) {
  std::string err;
  ASSERT_TRUE(Control_Server::Start(&err)) << err;
  struct stat st;
  ASSERT_EQ(stat(socket_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_EQ(Ask(socket_, "PING\n"), Ping());
  EXPECT_EQ(Ask(socket_, "PING\r\n"), Ping());
  EXPECT_EQ(Ask(socket_, "PING"), Ping());  // ended by closing, see below
  EXPECT_EQ(Ask(socket_, "FETCH\nPING\n"),
            "ERR unknown request FETCH at column 1; expected PING, REPORT, SITUATION or EVENTS\n");
  EXPECT_EQ(Ask(socket_, "REPORT NOSUCH\n"),
            "ERR unknown table NOSUCH at column 8; expected VXLOGENT, VXMONLOG or X7SRV.RNODESTS\n");
  EXPECT_EQ(Ask(socket_, std::string(4096, ' ') + "\n"),
            "ERR expected a request (PING, REPORT, SITUATION or EVENTS) at column 4097\n");
  EXPECT_EQ(Ask(socket_, std::string(10000, 'P') + "\n"), "ERR request line longer than 4096 bytes\n");
  EXPECT_EQ(Ask(socket_, "PING\n"), Ping());  // still serving

  std::string again;
  EXPECT_FALSE(Control_Server::Start(&again));
  EXPECT_EQ(again, "the control server is already running on " + socket_);
  Control_Server::Stop();
  EXPECT_NE(access(socket_.c_str(), F_OK), 0);  // removed
  Control_Server::Stop();                        // idempotent
}

TEST_F(ControlServerTest, PeerThatHangsUpEarlyDoesNotHurtTheServer) {
  std::string err;
  ASSERT_TRUE(Control_Server::Start(&err)) << err;
  for (int i = 0; i < 20; ++i) {
    Unique_Fd fd = Connect(socket_);
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(send(fd.get(), "PING\n", 5, MSG_NOSIGNAL), 5);
  }  // each closes before reading: the reply meets a closed peer, never SIGPIPE
  EXPECT_TRUE(qortest::WaitUntil([&] { return Ask(socket_, "PING\n") == Ping(); }));
}

TEST_F(ControlServerTest, StaleSocketIsReplacedAndLiveOneRefused) {
  {
    // A socket file nobody listens on any more.
    Unique_Fd old(socket(AF_UNIX, SOCK_STREAM, 0));
    const sockaddr_un a = Address(socket_);
    ASSERT_EQ(bind(old.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  }
  std::string err;
  ASSERT_TRUE(Control_Server::Start(&err)) << err;
  EXPECT_EQ(Ask(socket_, "PING\n"), Ping());
  Control_Server::Stop();

  // Someone answers on it: refused, and the file is left alone.
  Unique_Fd live(socket(AF_UNIX, SOCK_STREAM, 0));
  const sockaddr_un a = Address(socket_);
  ASSERT_EQ(bind(live.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(live.get(), 4), 0);
  EXPECT_FALSE(Control_Server::Start(&err));
  EXPECT_EQ(err, "another qoragent is already serving on " + socket_ +
                     "; stop it first or set HOV_SOCKET to another path");
  EXPECT_EQ(access(socket_.c_str(), F_OK), 0);
  live.reset();
  unlink(socket_.c_str());

  qortest::WriteFile(socket_, "notes");
  EXPECT_FALSE(Control_Server::Start(&err));
  EXPECT_EQ(err, socket_ + " exists and is not a socket; remove it or set HOV_SOCKET to another path");
  EXPECT_EQ(qortest::ReadFile(socket_), "notes");
}

TEST_F(ControlServerTest, SocketThatCannotBeMadeIsReported) {
  std::string err;
  const std::string deep = dir_.File("no/such/dir/agent.sock");
  setenv("HOV_SOCKET", deep.c_str(), 1);
  EXPECT_FALSE(Control_Server::Start(&err));
  EXPECT_EQ(err, "cannot bind the control socket " + deep + ": No such file or directory");
  const std::string long_path = "/tmp/" + std::string(120, 'x');
  setenv("HOV_SOCKET", long_path.c_str(), 1);
  EXPECT_FALSE(Control_Server::Start(&err));
  EXPECT_EQ(err, "control socket path \"" + long_path +
                     "\" must have 1 to 107 bytes; set HOV_SOCKET to a shorter path");
}

TEST_F(ControlServerTest, SilentClientDoesNotBlockAnotherAndStopDoesNotWaitForIt) {
  std::string err;
  Control_Limits limits;
  limits.client_timeout_ms = 60000;  // far longer than the test may take
  ASSERT_TRUE(Control_Server::Start(&err, limits)) << err;
  Unique_Fd silent = Connect(socket_);
  ASSERT_TRUE(silent.valid());
  ASSERT_EQ(send(silent.get(), "PI", 2, MSG_NOSIGNAL), 2);  // and then nothing
  EXPECT_EQ(Ask(socket_, "PING\n"), Ping());
  Control_Server::Stop();
  EXPECT_EQ(ReadAll(silent.get()), "");  // closed without a reply
}

TEST_F(ControlServerTest, SilentClientIsDroppedAfterTheTimeout) {
  std::string err;
  Control_Limits limits;
  EXPECT_EQ(limits.client_timeout_ms, 5000);  // what the agent runs with
  EXPECT_EQ(limits.max_clients, 16);
  limits.client_timeout_ms = 300;
  ASSERT_TRUE(Control_Server::Start(&err, limits)) << err;
  Unique_Fd silent = Connect(socket_);
  ASSERT_TRUE(silent.valid());
  EXPECT_EQ(ReadAll(silent.get()), "ERR no request line within 300 ms\n");
}

TEST_F(ControlServerTest, ClientsBeyondTheLimitAreToldBusy) {
  std::string err;
  Control_Limits limits;
  limits.max_clients = 1;
  limits.client_timeout_ms = 60000;
  limits.slot_wait_ms = 100;
  ASSERT_TRUE(Control_Server::Start(&err, limits)) << err;
  // Clients that have sent no line hold no slot: the one slot serves.
  std::vector<Unique_Fd> silent;
  for (int i = 0; i < 20; ++i) {
    silent.push_back(Connect(socket_));
    ASSERT_TRUE(silent.back().valid());
  }
  EXPECT_EQ(Ask(socket_, "SITUATION LIST\n").substr(0, 3), "OK ");
  ASSERT_EQ(send(silent[0].get(), "PING\n", 5, MSG_NOSIGNAL), 5);
  EXPECT_EQ(ReadAll(silent[0].get()), Ping());
  Control_Server::Stop();
  // With no slot at all a request is told busy; PING needs none.
  limits.max_clients = 0;
  ASSERT_TRUE(Control_Server::Start(&err, limits)) << err;
  EXPECT_EQ(
      Ask(socket_, "SITUATION LIST\n"),
      "ERR busy: the agent is serving as many requests as it allows; try again\n");
  EXPECT_EQ(Ask(socket_, "PING\n"), Ping());
}

TEST_F(ControlServerTest, PeerOfAnotherUserIsRefusedAndTraced) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to connect as another user";
  }
  std::string err;
  ASSERT_TRUE(Control_Server::Start(&err)) << err;
  // Let the other user reach the socket, so that the server's own check is what refuses it.
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(socket_.c_str(), 0666), 0);
  const std::string reply_path = dir_.File("reply");
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) {
      _exit(3);
    }
    Unique_Fd fd = Connect(socket_);
    if (!fd.valid()) {
      _exit(4);
    }
    // The refusal may come, and the connection close, before this is sent.
    (void)send(fd.get(), "PING\n", 5, MSG_NOSIGNAL);
    char buf[512];
    ssize_t n = 0, got;
    while ((got = recv(fd.get(), buf + n, sizeof buf - 1 - n, 0)) > 0) {
      n += got;
    }
    static const char kWant[] = "ERR permission denied: only root and uid 0 may use this agent\n";
    _exit(n == sizeof kWant - 1 && memcmp(buf, kWant, sizeof kWant - 1) == 0 ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(trace_.Contains("\nControl connection from uid 65534 (pid " + std::to_string(pid) +
                              ") refused; only root and uid 0 may use the agent."))
      << trace_.Text();
  EXPECT_EQ(Ask(socket_, "PING\n"), Ping());
}

}  // namespace
