// A Kafka cluster for end-to-end tests: tests/support/kafka_mock (librdkafka's
// mock brokers in a program of its own) as a child, with its commands; and a
// program run in the background with its output in a file (a reader that
// follows a topic while the test writes).
#ifndef QOR_TESTS_E2E_KAFKA_MOCK_H_
#define QOR_TESTS_E2E_KAFKA_MOCK_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/testutil.h"
#include "util/monotonic_ms.h"

namespace qortest {

// One mock cluster of `brokers` brokers holding `topic` of `partitions`
// partitions; stopped (its input closed, then killed) on destruction.
class Kafka_Mock {
 public:
  Kafka_Mock(int brokers, const std::string& topic, int partitions = 1) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      const std::string n = std::to_string(brokers);
      const std::string p = std::to_string(partitions);
      execl(KAFKA_MOCK_PATH, KAFKA_MOCK_PATH, n.c_str(), topic.c_str(),
            p.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    bootstraps_ = Reply();
  }
  ~Kafka_Mock() {
    if (to_ >= 0) {
      close(to_);
    }
    if (from_ >= 0) {
      close(from_);
    }
    if (pid_ > 0) {
      if (!WaitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; },
                     std::chrono::seconds(10))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
  }
  Kafka_Mock(const Kafka_Mock&) = delete;
  Kafka_Mock& operator=(const Kafka_Mock&) = delete;

  // "127.0.0.1:PORT,..."; empty when the cluster did not start.
  const std::string& Bootstraps() const { return bootstraps_; }
  std::string Url(const std::string& topic) const {
    return "kafka://" + bootstraps_ + "/" + topic;
  }
  // Sends one command ("down 1", "up 1", "count"); its one-line answer.
  std::string Ask(const std::string& command) {
    const std::string line = command + "\n";
    if (write(to_, line.data(), line.size()) !=
        static_cast<ssize_t>(line.size())) {
      return "";
    }
    return Reply();
  }

  // Every message the topic holds ("dump"): its lines, up to "end N".
  std::string Dump() {
    std::string all = Ask("dump");
    while (!all.empty() && all.compare(0, 4, "end ") != 0 &&
           all.find("\nend ") == std::string::npos) {
      const std::string line = Reply();
      if (line.empty()) {
        break;
      }
      all += "\n" + line;
    }
    return all;
  }

 private:
  // The next line the cluster prints, or "" after 60 s.
  std::string Reply() {
    const long long deadline = MonotonicMs() + 60000;
    while (true) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      const long long left = deadline - MonotonicMs();
      struct pollfd p = {from_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
        return "";
      }
      char chunk[4096];
      const ssize_t n = read(from_, chunk, sizeof chunk);
      if (n <= 0) {
        return "";
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string buffer_;
  std::string bootstraps_;
};

// A program running in the background, its standard output in `out_path`
// and its standard error beside it (`out_path`.err); killed on destruction.
class Background_Program {
 public:
  Background_Program(const std::vector<std::string>& argv,
                     const std::string& out_path) {
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err =
          open((out_path + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(err, 2);
      std::vector<char*> args;
      for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
      }
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Background_Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Background_Program(const Background_Program&) = delete;
  Background_Program& operator=(const Background_Program&) = delete;
  bool Signal(int sig) const { return pid_ > 0 && kill(pid_, sig) == 0; }

 private:
  pid_t pid_ = -1;
};

}  // namespace qortest

#endif  // QOR_TESTS_E2E_KAFKA_MOCK_H_
