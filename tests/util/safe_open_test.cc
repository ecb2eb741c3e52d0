// Opening a path one directory at a time: which symbolic links are followed.
#include "util/safe_open.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

using qortest::Scoped_Temp_Dir;

int Open(const std::string& path, std::string* why = nullptr) {
  std::string ignored;
  const int fd = OpenPathSafely(path, O_RDONLY | O_CLOEXEC,
                                why != nullptr ? why : &ignored, nullptr);
  const int e = errno;
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  return e;
}

TEST(SafeOpenTest, LinksAreFollowedOnlyWhereNoOtherUserMayWrite) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to give a link away";
  }
  Scoped_Temp_Dir dir;
  const std::string secret = dir.File("secret");
  ASSERT_EQ(mkdir(secret.c_str(), 0700), 0);
  const int fd =
      open((secret + "/file").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string mine = dir.File("mine");      // root's, 0755
  const std::string open_dir = dir.File("open");  // others may write
  const std::string sticky = dir.File("sticky");
  ASSERT_EQ(mkdir(mine.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
  ASSERT_EQ(mkdir(sticky.c_str(), 01777), 0);
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  for (const std::string& d : {mine, open_dir, sticky}) {
    ASSERT_EQ(symlink((secret + "/file").c_str(), (d + "/root-link").c_str()),
              0);
    ASSERT_EQ(symlink((secret + "/file").c_str(), (d + "/user-link").c_str()),
              0);
    ASSERT_EQ(lchown((d + "/user-link").c_str(), 65534, 65534), 0);
    ASSERT_EQ(symlink(secret.c_str(), (d + "/dir-link").c_str()), 0);
    ASSERT_EQ(lchown((d + "/dir-link").c_str(), 65534, 65534), 0);
  }
  // Root's directory: every link is followed, to a file or on the way.
  EXPECT_EQ(Open(mine + "/root-link"), 0);
  EXPECT_EQ(Open(mine + "/user-link"), 0);
  EXPECT_EQ(Open(mine + "/dir-link/file"), 0);
  // Others may write: no link is followed, not even root's, which others
  // could replace.
  std::string why;
  EXPECT_EQ(Open(open_dir + "/root-link", &why), ELOOP);
  EXPECT_EQ(
      why,
      open_dir +
          "/root-link: a symbolic link in a directory other users may write is not "
          "followed");
  EXPECT_EQ(Open(open_dir + "/user-link"), ELOOP);
  EXPECT_EQ(Open(open_dir + "/dir-link/file"), ELOOP);
  // A sticky one: root's own link is, another user's is not.
  EXPECT_EQ(Open(sticky + "/root-link"), 0);
  EXPECT_EQ(Open(sticky + "/user-link"), ELOOP);
  EXPECT_EQ(Open(sticky + "/dir-link/file"), ELOOP);
  // A trusted link to a place others may write is walked there the same way.
  ASSERT_EQ(symlink(open_dir.c_str(), (mine + "/to-open").c_str()), 0);
  EXPECT_EQ(Open(mine + "/to-open/user-link"), ELOOP);
  EXPECT_EQ(Open(mine + "/missing"), ENOENT);
}

}  // namespace
