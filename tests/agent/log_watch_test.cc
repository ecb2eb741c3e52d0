// Tests of Log_Watch: workers woken when their files change.
#include "agent/follow/log_watch.h"

#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "util/unique_fd.h"

namespace {

// True when `fd` is raised within a generous deadline; drains it.
bool Woken(int fd, int ms = 5000) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) {
    return false;
  }
  uint64_t n;
  return read(fd, &n, sizeof n) == sizeof n;
}

class LogWatchTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("TVX_POLL_ONLY"); }
  qortest::Scoped_Temp_Dir dir;
  Unique_Fd wake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  char why[160] = "";
};

TEST_F(LogWatchTest, WakesOnWriteRotationAndRecreation) {
  const std::string log = dir.File("messages");
  qortest::WriteFile(log, "");
  Log_Watch watch;
  const int h = watch.Add(log.c_str(), wake.get(), why, sizeof why);
  ASSERT_GT(h, 0) << why;
  EXPECT_FALSE(Woken(wake.get(), 0));

  qortest::AppendFile(log, "one\n");
  EXPECT_TRUE(Woken(wake.get()));
  // Rotation: the move is seen, then the new file, then writes to it.
  ASSERT_EQ(rename(log.c_str(), dir.File("messages.1").c_str()), 0);
  EXPECT_TRUE(Woken(wake.get()));
  qortest::WriteFile(log, "");
  EXPECT_TRUE(Woken(wake.get()));
  Woken(wake.get(), 50);
  qortest::AppendFile(log, "two\n");
  EXPECT_TRUE(Woken(wake.get()));
  // Other names in the directory wake nobody.
  Woken(wake.get(), 50);
  qortest::WriteFile(dir.File("other"), "x\n");
  EXPECT_FALSE(Woken(wake.get(), 100));

  watch.Remove(h);
  qortest::AppendFile(log, "three\n");
  EXPECT_FALSE(Woken(wake.get(), 100));
}

TEST_F(LogWatchTest, SafetyCheckWakesOnAChangeNoEventTells) {
  // The log is reached through a symlinked directory; pointing the link
  // elsewhere changes what the name holds without an event on anything
  // watched.
  const std::string log = qortest::SymlinkedLog(dir.path(), "old\n", "new\n");
  ASSERT_FALSE(log.empty());
  Log_Watch watch;
  const int h = watch.Add(log.c_str(), wake.get(), why, sizeof why);
  ASSERT_GT(h, 0) << why;
  // Rounds of the check over an unchanged log wake nobody.
  EXPECT_FALSE(Woken(wake.get(), 1500));

  ASSERT_TRUE(qortest::PointSymlink(dir.File("current"), "b"));
  EXPECT_TRUE(Woken(wake.get()));
  struct stat st;
  ASSERT_EQ(stat(dir.File("b/messages").c_str(), &st), 0);
  struct timespec at;
  EXPECT_TRUE(watch.NamedAt(h, st.st_dev, st.st_ino, &at));
  watch.Remove(h);
}

TEST_F(LogWatchTest, RefusesWhatItCannotWatchAndSaysWhy) {
  Log_Watch watch;
  ASSERT_EQ(mkdir(dir.File("adir").c_str(), 0755), 0);
  EXPECT_EQ(watch.Add(dir.File("adir").c_str(), wake.get(), why, sizeof why),
            0);
  EXPECT_STREQ(why, "the path names a directory");
  EXPECT_EQ(
      watch.Add(dir.File("nodir/log").c_str(), wake.get(), why, sizeof why), 0);
  EXPECT_NE(std::string(why).find("cannot watch its directory"),
            std::string::npos);
  setenv("TVX_POLL_ONLY", "1", 1);
  EXPECT_EQ(watch.Add(dir.File("log").c_str(), wake.get(), why, sizeof why), 0);
  EXPECT_STREQ(why, "TVX_POLL_ONLY is set");
  unsetenv("TVX_POLL_ONLY");
}

}  // namespace
