// The directories made above the agent's state and events files.
#include "util/parent_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

using qortest::Scoped_Temp_Dir;

mode_t Mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(ParentDirsTest, MakesWhatIsMissingButNotThroughALinkNorWhereOthersWrite) {
  Scoped_Temp_Dir dir;
  const mode_t old_mask = umask(022);
  std::string err;
  // Missing levels are made 0750; an existing directory stays as it is.
  ASSERT_TRUE(MakeParentDirectories(dir.File("a/b/state"), "state file", &err))
      << err;
  EXPECT_EQ(Mode(dir.File("a")), S_IFDIR | 0750);
  EXPECT_EQ(Mode(dir.File("a/b")), S_IFDIR | 0750);
  EXPECT_TRUE(MakeParentDirectories(dir.File("a/b/state"), "state file", &err));
  EXPECT_TRUE(MakeParentDirectories("events.jsonl", "event file", &err));

  // A symbolic link on the way is not followed.
  ASSERT_EQ(symlink(dir.File("a").c_str(), dir.File("link").c_str()), 0);
  EXPECT_FALSE(
      MakeParentDirectories(dir.File("link/c/events"), "event file", &err));
  EXPECT_NE(err.find("symbolic link is not followed"), std::string::npos)
      << err;
  EXPECT_EQ(Mode(dir.File("a/c")), 0u);

  // Nothing is made inside a directory others may write.
  ASSERT_EQ(mkdir(dir.File("open").c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir.File("open").c_str(), 01777), 0);
  EXPECT_FALSE(
      MakeParentDirectories(dir.File("open/qor/state"), "state file", &err));
  EXPECT_NE(err.find("may be written by other users"), std::string::npos)
      << err;
  EXPECT_EQ(Mode(dir.File("open/qor")), 0u);

  // A file on the way.
  ASSERT_EQ(mkdir(dir.File("d").c_str(), 0700), 0);
  ASSERT_EQ(close(creat(dir.File("d/f").c_str(), 0600)), 0);
  EXPECT_FALSE(MakeParentDirectories(dir.File("d/f/x/y"), "state file", &err));
  umask(old_mask);
}

}  // namespace
