// Tests of the log configuration's file utilities.
#include "agent/config/log_manager_util.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"

namespace {

std::vector<std::string> ReadAll(const std::string& path) {
  std::vector<std::string> records;
  while (const char* rec = get_next_rec(path.c_str())) {
    records.emplace_back(rec);
  }
  return records;
}

TEST(LogManagerUtilTest, XtoaWritesLowerCaseHighHalfFirst) {
  const unsigned char bytes[] = {0x00, 0x7F, 0x80, 0xFF};
  char out[2 * sizeof bytes + 1];
  EXPECT_STREQ(xtoa(out, bytes, sizeof bytes), "007f80ff");
  EXPECT_STREQ(xtoa(out, bytes, 0), "");
}

TEST(LogManagerUtilTest, LastModifiedOnlyForRegularFiles) {
  qortest::TraceCapture cap("ERROR");
  qortest::Scoped_Temp_Dir dir;
  const std::string file = dir.File("messages");
  qortest::WriteFile(file, "x\n");
  const struct timeval times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimes(file.c_str(), times), 0);
  EXPECT_EQ(file_last_modified(file.c_str()), 1000000000L);
  EXPECT_EQ(cap.Text(), "");

  EXPECT_EQ(file_last_modified(dir.path().c_str()), 0L);
  EXPECT_EQ(cap.Text(), "\nThe file " + dir.path() + " is not a regular file.");
  cap.Clear();
  EXPECT_EQ(file_last_modified(dir.File("missing").c_str()), 0L);
  EXPECT_EQ(cap.Text(), "\nstat() command failed for " + dir.File("missing") +
                            "; errno = 2; No such file or directory.");
}

TEST(LogManagerUtilTest, RecordsSkipCommentsBlanksAndOverlongLines) {
  const std::string l1022(1022, 'a'), l1023(1023, 'b'),
      long_comment = "#" + std::string(1500, 'c');
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> records;
  } cases[] = {
      {"empty file", "", {}},
      {"comments and blanks",
       "# comment\n\n   \n\t\n/a ;Y\n  # not a comment\n\t/b\n",
       {"/a ;Y", "# not a comment", "/b"}},
      {"1022 characters read", l1022 + "\n/next\n", {l1022, "/next"}},
      {"1023 characters dropped", l1023 + "\n/next\n", {"/next"}},
      {"overlong line dropped whole", l1023 + "#x\n/next\n", {"/next"}},
      {"overlong comment", long_comment + "\n/next\n", {"/next"}},
      {"last line without newline", "/a\n/last", {"/a", "/last"}},
      {"last line of 1022 without newline", "/a\n" + l1022, {"/a", l1022}},
      {"overlong last line without newline", "/a\n" + l1023, {"/a"}},
      {"blank last line without newline", "/a\n  ", {"/a"}},
  };
  qortest::Scoped_Temp_Dir dir;
  for (const auto& c : cases) {
    const std::string path = dir.File("conf");
    qortest::WriteFile(path, c.text);
    EXPECT_EQ(ReadAll(path), c.records) << c.name;
    EXPECT_EQ(ReadAll(path), c.records) << c.name << " (read again)";
  }
}

TEST(LogManagerUtilTest, MissingFileYieldsNoRecord) {
  qortest::TraceCapture cap("ERROR");
  EXPECT_EQ(get_next_rec("/nonexistent/qor.conf"), nullptr);
  EXPECT_EQ(cap.Text(), "Error opening file /nonexistent/qor.conf; errno = 2");
}

}  // namespace
