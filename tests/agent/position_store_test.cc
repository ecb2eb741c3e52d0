#include "agent/position_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "util/unique_fd.h"

namespace {

std::vector<Log_Position> TwoPositions() {
  Log_Position a;
  a.path = "/var/log/with space\tand tab";
  a.device = 2049;
  a.inode = 1234567;
  a.head.length = 1024;
  a.head.hash = 0x0123456789abcdefull;
  a.offset = 5000000000LL;
  Log_Position b;
  b.path = "/var/log/journal";
  b.text = "s=abc;i=1f;b=0";
  return {a, b};
}

TEST(PositionStoreTest, FormattedPositionsParseBackOnTheSameHostOnly) {
  const std::string text = Position_Store::Format("hostA", TwoPositions());
  std::vector<Log_Position> back;
  std::string err;
  ASSERT_TRUE(Position_Store::Parse(text, "hostA", &back, &err)) << err;
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].path, "/var/log/with space\tand tab");
  EXPECT_EQ(back[0].device, 2049u);
  EXPECT_EQ(back[0].inode, 1234567u);
  EXPECT_EQ(back[0].head.length, 1024u);
  EXPECT_EQ(back[0].head.hash, 0x0123456789abcdefull);
  EXPECT_EQ(back[0].offset, 5000000000LL);
  EXPECT_EQ(back[1].text, "s=abc;i=1f;b=0");

  EXPECT_FALSE(Position_Store::Parse(text, "hostB", &back, &err));
  EXPECT_EQ(err, "written on host \"hostA\", not on \"hostB\"");
  EXPECT_TRUE(back.empty());
}

TEST(PositionStoreTest, DamagedFilesAreRefusedWhole) {
  const std::string good = Position_Store::Format("h", TwoPositions());
  const std::string log_line = good.substr(good.find("log "));
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"", "empty"},
      {good.substr(0, good.size() - 1), "last newline missing"},
      {good.substr(0, good.find("end ")), "end line missing"},
      {good + "log 1", "data after the end"},
      {"qoragent-state 2\n" + good.substr(good.find('\n') + 1), "other version"},
      {"qoragent-state 1\nhost 1:h\nend 1\n", "count too high"},
      {"qoragent-state 1\nhost 1:h\nlog -1 1 0 0000000000000000 0 2:/a 0:\nend 1\n", "sign"},
      {"qoragent-state 1\nhost 1:h\nlog 01 1 0 0000000000000000 0 2:/a 0:\nend 1\n", "leading zero"},
      {"qoragent-state 1\nhost 1:h\nlog 99999999999999999999 1 0 0000000000000000 0 2:/a 0:\nend 1\n", "overflow"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 1025 0000000000000000 0 2:/a 0:\nend 1\n", "head too long"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 000000000000000G 0 2:/a 0:\nend 1\n", "hash digit"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 0 9:/a 0:\nend 1\n", "length past the line"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 0 0: 0:\nend 1\n", "empty path"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 9223372036854775808 2:/a 0:\nend 1\n", "offset too big"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 0 5000:" + std::string(5000, 'a') + " 0:\nend 1\n", "path too long"},
      {std::string("qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 0 3:/a\n 0:\nend 1\n"), "newline inside"},
  };
  for (const auto& c : cases) {
    std::vector<Log_Position> back;
    std::string err;
    EXPECT_FALSE(Position_Store::Parse(c.text, "h", &back, &err)) << c.why;
    EXPECT_FALSE(err.empty()) << c.why;
    EXPECT_TRUE(back.empty()) << c.why;
  }
  std::vector<Log_Position> back;
  std::string err;
  EXPECT_TRUE(Position_Store::Parse(good, "h", &back, &err)) << err;
}

TEST(PositionStoreTest, SaveIsPrivateAndLoadHandsEachPositionOutOnce) {
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("state");
  std::string err;
  Position_Store store;
  ASSERT_TRUE(store.Load(path, "h", &err)) << "a missing file is no error";
  ASSERT_TRUE(Position_Store::Save(path, "h", TwoPositions(), &err)) << err;
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  ASSERT_TRUE(store.Load(path, "h", &err)) << err;
  Log_Position p;
  ASSERT_TRUE(store.Take("/var/log/journal", &p));
  EXPECT_EQ(p.text, "s=abc;i=1f;b=0");
  EXPECT_FALSE(store.Take("/var/log/journal", &p));
  EXPECT_FALSE(store.Take("/var/log/other", &p));

  qortest::WriteFile(path, "qoragent-state 1\ngarbage");
  EXPECT_FALSE(store.Load(path, "h", &err));
  EXPECT_NE(err.find(path), std::string::npos) << err;
  EXPECT_FALSE(store.Take("/var/log/with space\tand tab", &p))
      << "a refused file loads nothing";
}

TEST(PositionStoreTest, FingerprintFollowsTheFirstBytesOnly) {
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("log");
  qortest::WriteFile(path, "first line\n");
  Unique_Fd fd(open(path.c_str(), O_RDONLY));
  Head_Fingerprint head;
  ASSERT_TRUE(ReadHeadFingerprint(fd.get(), &head));
  EXPECT_EQ(head.length, 11u);
  EXPECT_TRUE(HeadStillMatches(fd.get(), head));

  qortest::AppendFile(path, std::string(3000, 'x') + "\n");
  EXPECT_TRUE(HeadStillMatches(fd.get(), head)) << "appending keeps the head";
  Head_Fingerprint full;
  ASSERT_TRUE(ReadHeadFingerprint(fd.get(), &full));
  EXPECT_EQ(full.length, HEADFINGERPRINTBYTES);

  // Copy-truncate and refill to the same size: other first bytes.
  const std::string same_size(3012, 'y');
  qortest::WriteFile(path, same_size);
  EXPECT_FALSE(HeadStillMatches(fd.get(), full));
  EXPECT_FALSE(HeadStillMatches(fd.get(), head));
  qortest::WriteFile(path, "first");
  EXPECT_FALSE(HeadStillMatches(fd.get(), head)) << "shorter than the head";
  EXPECT_TRUE(HeadStillMatches(fd.get(), Head_Fingerprint()));
}

// The head copy compares over the length the file and the copy both have:
// a young log that grew, changed only past its copied bytes or lost its
// tail is the same log; one refilled with other bytes is not.
TEST(PositionStoreTest, HeadCopyComparesOverTheCommonLength) {
  const std::string young = "Dec  8 10:00:00 host app: one\nDec  8 10:00:01 host app: tw";
  const std::string old(3000, 'o');
  std::string changed_early = old;
  changed_early[100] = 'X';
  const struct {
    const char* what;
    std::string before, after;
    bool same;
    uint32_t agreed;
  } cases[] = {
      {"grew", young, young + "o\n", true, static_cast<uint32_t>(young.size())},
      {"changed past the copy", young.substr(0, 30), young + "x\n", true, 30},
      {"tail cut", young, young.substr(0, 30), true, 30},
      {"emptied", young, "", true, 0},
      {"refilled shorter", young, "Dec  8 10:00:05 host app: new\n", false, 14},
      {"refilled longer", young, std::string(2000, 'n'), false, 0},
      {"long log cut", old, old.substr(0, 900), true, 900},
      {"long log changed in its head", old, changed_early, false, 100},
  };
  for (const auto& c : cases) {
    qortest::Scoped_Temp_Dir dir;
    const std::string path = dir.File("log");
    qortest::WriteFile(path, c.before);
    Unique_Fd fd(open(path.c_str(), O_RDONLY));
    Head_Copy head;
    ASSERT_TRUE(ReadHeadCopy(fd.get(), &head)) << c.what;
    qortest::WriteFile(path, c.after);
    uint32_t agreed = 12345;
    EXPECT_EQ(HeadCopyMatches(fd.get(), head, &agreed), c.same) << c.what;
    EXPECT_EQ(agreed, c.agreed) << c.what;
  }
  // The fingerprint saved across restarts is the copy's.
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("log");
  qortest::WriteFile(path, old);
  Unique_Fd fd(open(path.c_str(), O_RDONLY));
  Head_Copy copy;
  Head_Fingerprint print;
  ASSERT_TRUE(ReadHeadCopy(fd.get(), &copy));
  ASSERT_TRUE(ReadHeadFingerprint(fd.get(), &print));
  EXPECT_EQ(FingerprintOf(copy).length, print.length);
  EXPECT_EQ(FingerprintOf(copy).hash, print.hash);
}

}  // namespace
