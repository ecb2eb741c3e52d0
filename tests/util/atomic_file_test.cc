// Whole-file writes by rename and bounded reads: what a crash or a planted
// link must never do to the agent's saved files.
#include "util/atomic_file.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"
#include "tests/testutil.h"

namespace {

using qortest::Scoped_Temp_Dir;

TEST(AtomicFileTest, WritesWholeAndPrivateAndRefusesLinks) {
  Scoped_Temp_Dir dir;
  const std::string path = dir.File("saved");
  std::string err, text;
  ASSERT_TRUE(WriteFileAtomically(path, "one\n", &err)) << err;
  ASSERT_TRUE(WriteFileAtomically(path, "two\n", &err)) << err;
  ASSERT_TRUE(ReadSmallFile(path, 100, &text, &err)) << err;
  EXPECT_EQ(text, "two\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No temporary file is left behind.
  DIR* d = opendir(dir.path().c_str());
  ASSERT_NE(d, nullptr);
  int entries = 0;
  while (const dirent* e = readdir(d)) {
    entries += e->d_name[0] == '.' ? 0 : 1;
  }
  closedir(d);
  EXPECT_EQ(entries, 1);

  // Too big, missing, a link: refused, and a link is neither written
  // through nor replaced.
  EXPECT_FALSE(ReadSmallFile(path, 3, &text, &err));
  EXPECT_NE(err.find("at most 3 bytes"), std::string::npos) << err;
  bool missing = false;
  EXPECT_FALSE(ReadSmallFile(dir.File("none"), 100, &text, &err, &missing));
  EXPECT_TRUE(missing);
  const std::string link = dir.File("link");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  EXPECT_FALSE(ReadSmallFile(link, 100, &text, &err, &missing));
  EXPECT_FALSE(missing);
  EXPECT_FALSE(WriteFileAtomically(link, "three\n", &err));
  EXPECT_NE(err.find("symbolic link"), std::string::npos) << err;
  EXPECT_EQ(qortest::ReadFile(path), "two\n");
  // A directory that cannot be written: the file stays as it was.
  EXPECT_FALSE(WriteFileAtomically(dir.File("no/such/dir"), "x", &err));
}

}  // namespace
