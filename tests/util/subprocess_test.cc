// Tests of Subprocess.
#include "util/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

// Everything the child writes, read without blocking until its output ends.
std::string ReadAll(Subprocess* p) {
  std::string out;
  char buf[256];
  while (true) {
    const long n = p->Read(buf, sizeof buf);
    if (n == Subprocess::kWouldBlock) {
      struct pollfd pfd = {p->OutputFd(), POLLIN, 0};
      poll(&pfd, 1, 1000);
      continue;
    }
    if (n <= 0) {
      return out;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

// True while `pid` exists and is not a zombie.
bool Alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) {
    return false;
  }
  const size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() &&
         text[paren + 2] != 'Z';
}

TEST(SubprocessTest, RunsACommandAndReadsItsOutputAndStatus) {
  // The child sees /dev/null as input and none of our descriptors but the
  // pipe: a close-on-exec descriptor of ours is not open in it.
  const int mine = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(mine, 0);
  const std::string script = "cat; ls /proc/self/fd/" + std::to_string(mine) +
                             " 2>/dev/null || echo closed; exit 3";
  char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                        const_cast<char*>(script.c_str()), nullptr};
  Subprocess p;
  std::string err;
  ASSERT_TRUE(p.Start(argv, Subprocess::kSearchPath, &err)) << err;
  EXPECT_GT(p.Pid(), 0);
  EXPECT_EQ(fcntl(p.OutputFd(), F_GETFL) & O_NONBLOCK, O_NONBLOCK);
  EXPECT_EQ(ReadAll(&p), "closed\n");
  const int status = p.Finish(5000);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(p.Finish(0), -1);  // nothing left
  close(mine);
}

TEST(SubprocessTest, ACommandThatCannotRunIsAFailureWithTheReason) {
  char* const argv[] = {const_cast<char*>("/nonexistent/program"), nullptr};
  Subprocess p;
  std::string err;
  EXPECT_FALSE(p.Start(argv, Subprocess::kExactPath, &err));
  EXPECT_EQ(err, "cannot run /nonexistent/program: No such file or directory");
  EXPECT_EQ(p.Pid(), -1);
}

TEST(SubprocessTest, FinishKillsTheWholeGroupOfAChildThatDoesNotEnd) {
  // The shell starts a grandchild that would outlive it; both are killed.
  char* const argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                        const_cast<char*>("sleep 100 & echo $!; wait"),
                        nullptr};
  Subprocess p;
  std::string err;
  ASSERT_TRUE(p.Start(argv, Subprocess::kExactPath, &err)) << err;
  std::string line;
  char c;
  while (line.empty() || line.back() != '\n') {
    const long n = p.Read(&c, 1);
    if (n == 1) {
      line += c;
    } else if (n == Subprocess::kWouldBlock) {
      struct pollfd pfd = {p.OutputFd(), POLLIN, 0};
      poll(&pfd, 1, 1000);
    } else {
      FAIL() << "output ended before the grandchild's pid";
    }
  }
  const pid_t grandchild = std::stoi(line);
  const int status = p.Finish(0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  // The grandchild was killed too: gone, or a zombie waiting for its reaper.
  for (int i = 0; i < 1000 && Alive(grandchild); ++i) {
    usleep(10000);
  }
  EXPECT_FALSE(Alive(grandchild));
}

}  // namespace
