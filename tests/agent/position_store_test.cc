// Tests of the position store: saving, loading, refusing damaged files and
// fingerprints.
#include "agent/follow/position_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "util/unique_fd.h"

namespace {

// An owner known by its host name alone (no machine id).
State_Owner Host(const char* name) {
  return State_Owner{"", name};
}

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
  const std::string text =
      Position_Store::Format(Host("hostA"), TwoPositions());
  std::vector<Log_Position> back;
  std::string err;
  ASSERT_TRUE(Position_Store::Parse(text, Host("hostA"), &back, &err)) << err;
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].path, "/var/log/with space\tand tab");
  EXPECT_EQ(back[0].device, 2049u);
  EXPECT_EQ(back[0].inode, 1234567u);
  EXPECT_EQ(back[0].head.length, 1024u);
  EXPECT_EQ(back[0].head.hash, 0x0123456789abcdefull);
  EXPECT_EQ(back[0].offset, 5000000000LL);
  EXPECT_EQ(back[1].text, "s=abc;i=1f;b=0");

  EXPECT_FALSE(Position_Store::Parse(text, Host("hostB"), &back, &err));
  EXPECT_EQ(err, "written on host \"hostA\", not on \"hostB\"");
  EXPECT_TRUE(back.empty());
}

// A state file is keyed on the machine id: a renamed host keeps its
// positions, another machine of the same name does not take them. Files of
// version 1, keyed on the host name, still load.
TEST(PositionStoreTest, MachineIdKeysTheFileAndOlderFilesStillLoad) {
  const std::string m1(32, 'a');
  const std::string m2(32, 'b');
  std::vector<Log_Position> positions = TwoPositions();
  positions[0].rotated = {{7, 8, {11, 0xfeedull}, 42}, {7, 9, {0, 0}, 0}};
  // The files read to their end travel as rotated lines no file can fill.
  positions[0].read = {{7, 5, {1024, 0xbeefull}, 0}};
  const std::string text =
      Position_Store::Format(State_Owner{m1, "old-name"}, positions);
  std::vector<Log_Position> back;
  std::string err;
  ASSERT_TRUE(
      Position_Store::Parse(text, State_Owner{m1, "new-name"}, &back, &err))
      << err;
  ASSERT_EQ(back.size(), 2u);
  ASSERT_EQ(back[0].rotated.size(), 2u);
  EXPECT_EQ(back[0].rotated[0].device, 7u);
  EXPECT_EQ(back[0].rotated[0].inode, 8u);
  EXPECT_EQ(back[0].rotated[0].head.length, 11u);
  EXPECT_EQ(back[0].rotated[0].head.hash, 0xfeedull);
  EXPECT_EQ(back[0].rotated[0].offset, 42);
  EXPECT_EQ(back[0].rotated[1].inode, 9u);
  ASSERT_EQ(back[0].read.size(), 1u);
  EXPECT_EQ(back[0].read[0].inode, 5u);
  EXPECT_EQ(back[0].read[0].head.hash, 0xbeefull);
  EXPECT_NE(
      text.find("rotated 7 5 1024 000000000000beef 9223372036854775807\n"),
      std::string::npos);
  EXPECT_TRUE(back[1].rotated.empty());
  EXPECT_FALSE(
      Position_Store::Parse(text, State_Owner{m2, "old-name"}, &back, &err));
  EXPECT_EQ(err, "written on machine \"" + m1 + "\", not on \"" + m2 + "\"");
  // Without a machine id on either side, the host name decides.
  EXPECT_TRUE(Position_Store::Parse(text, Host("old-name"), &back, &err));
  EXPECT_FALSE(Position_Store::Parse(text, Host("new-name"), &back, &err));

  const std::string v1 =
      "qoragent-state 1\nhost 1:h\nlog 1 2 0 0000000000000000 30 2:/a 0:\n"
      "end 1\n";
  ASSERT_TRUE(Position_Store::Parse(v1, State_Owner{m1, "h"}, &back, &err))
      << err;
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].offset, 30);
  EXPECT_FALSE(Position_Store::Parse(v1, State_Owner{m1, "g"}, &back, &err));
  EXPECT_EQ(err, "written on host \"h\", not on \"g\"");

  qortest::Scoped_Temp_Dir dir;
  const std::string id = dir.File("machine-id");
  const struct {
    const char* text;
    std::string id;
  } ids[] = {
      {"0123456789abcdef0123456789ABCDEF\n",
       "0123456789abcdef0123456789abcdef"},
      {"0123456789abcdef0123456789abcdef", "0123456789abcdef0123456789abcdef"},
      {"uninitialized\n", ""},
      {"0123456789abcdef0123456789abcdef0\n", ""},
      {"", ""},
  };
  for (const auto& c : ids) {
    qortest::WriteFile(id, c.text);
    EXPECT_EQ(ReadMachineId(id.c_str()), c.id) << c.text;
  }
  EXPECT_EQ(ReadMachineId(dir.File("none").c_str()), "");
}

// A symbolic link at the state file's path is refused, never replaced.
TEST(PositionStoreTest, SymlinkedStateFileIsRefused) {
  qortest::Scoped_Temp_Dir dir;
  const std::string target = dir.File("elsewhere");
  const std::string path = dir.File("state");
  std::string err;
  ASSERT_TRUE(Position_Store::Save(target, Host("h"), TwoPositions(), &err));
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  const std::string before = qortest::ReadFile(target);
  EXPECT_FALSE(Position_Store::Save(path, Host("h"), {}, &err));
  EXPECT_EQ(
      err, path + " is a symbolic link; the state file must be a regular file");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(qortest::ReadFile(target), before);
  Position_Store store;
  err.clear();
  EXPECT_FALSE(store.Load(path, Host("h"), &err));
  EXPECT_EQ(
      err, path + " is a symbolic link; the state file must be a regular file");
}

TEST(PositionStoreTest, DamagedFilesAreRefusedWhole) {
  const std::string good = Position_Store::Format(Host("h"), TwoPositions());
  const std::string log_line = good.substr(good.find("log "));
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"", "empty"},
      {good.substr(0, good.size() - 1), "last newline missing"},
      {good.substr(0, good.find("end ")), "end line missing"},
      {good + "log 1", "data after the end"},
      {"qoragent-state 3\n" + good.substr(good.find('\n') + 1),
       "other version"},
      {"qoragent-state 2\nhost 1:h\nend 0\n", "machine line missing"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 0 2:/a 0:\n"
       "rotated 1 2 0 0000000000000000 0\nend 1\n",
       "rotated file in version 1"},
      {"qoragent-state 2\nmachine 0:\nhost 1:h\nrotated 1 2 0 0000000000000000 0\n"
       "end 0\n",
       "rotated file of no log"},
      {"qoragent-state 1\nhost 1:h\nend 1\n", "count too high"},
      {"qoragent-state 1\nhost 1:h\nlog -1 1 0 0000000000000000 0 2:/a 0:\nend 1\n",
       "sign"},
      {"qoragent-state 1\nhost 1:h\nlog 01 1 0 0000000000000000 0 2:/a 0:\nend 1\n",
       "leading zero"},
      {"qoragent-state 1\nhost 1:h\nlog 99999999999999999999 1 0 0000000000000000 0 2:/a 0:\nend 1\n",
       "overflow"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 1025 0000000000000000 0 2:/a 0:\nend 1\n",
       "head too long"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 000000000000000G 0 2:/a 0:\nend 1\n",
       "hash digit"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 0 9:/a 0:\nend 1\n",
       "length past the line"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 0 0: 0:\nend 1\n",
       "empty path"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 9223372036854775808 2:/a 0:\nend 1\n",
       "offset too big"},
      {"qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 0 5000:" +
           std::string(5000, 'a') + " 0:\nend 1\n",
       "path too long"},
      {std::string(
           "qoragent-state 1\nhost 1:h\nlog 1 1 0 0000000000000000 0 3:/a\n 0:\nend 1\n"),
       "newline inside"},
  };
  for (const auto& c : cases) {
    std::vector<Log_Position> back;
    std::string err;
    EXPECT_FALSE(Position_Store::Parse(c.text, Host("h"), &back, &err))
        << c.why;
    EXPECT_FALSE(err.empty()) << c.why;
    EXPECT_TRUE(back.empty()) << c.why;
  }
  std::vector<Log_Position> back;
  std::string err;
  EXPECT_TRUE(Position_Store::Parse(good, Host("h"), &back, &err)) << err;
}

TEST(PositionStoreTest, SaveIsPrivateAndLoadHandsEachPositionOutOnce) {
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("state");
  std::string err;
  Position_Store store;
  ASSERT_TRUE(store.Load(path, Host("h"), &err))
      << "a missing file is no error";
  ASSERT_TRUE(Position_Store::Save(path, Host("h"), TwoPositions(), &err))
      << err;
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  ASSERT_TRUE(store.Load(path, Host("h"), &err)) << err;
  Log_Position p;
  ASSERT_TRUE(store.Take("/var/log/journal", &p));
  EXPECT_EQ(p.text, "s=abc;i=1f;b=0");
  EXPECT_FALSE(store.Take("/var/log/journal", &p));
  EXPECT_FALSE(store.Take("/var/log/other", &p));

  qortest::WriteFile(path, "qoragent-state 1\ngarbage");
  EXPECT_FALSE(store.Load(path, Host("h"), &err));
  EXPECT_NE(err.find(path), std::string::npos) << err;
  EXPECT_FALSE(store.Take("/var/log/with space\tand tab", &p))
      << "a refused file loads nothing";
}

TEST(PositionStoreTest, RecordsThatAreNoLogsAreTakenByTheirPrefix) {
  // The situations' state rides as log records no log is named after, so
  // that a file with it is one every version of the parser reads.
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("state");
  std::vector<Log_Position> positions = TwoPositions();
  for (const char* name :
       {"situation-state:a:0011:0", "situation-state:b:22:0"}) {
    Log_Position record;
    record.path = name;
    record.text = "H 0 0 host|P 1700000000 0 ann opened%20it ";
    positions.push_back(record);
  }
  std::string err;
  ASSERT_TRUE(Position_Store::Save(path, Host("h"), positions, &err)) << err;
  Position_Store store;
  ASSERT_TRUE(store.Load(path, Host("h"), &err)) << err;
  const std::vector<Log_Position> taken =
      store.TakePrefixed("situation-state:");
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].path, "situation-state:a:0011:0");
  EXPECT_EQ(taken[1].text, "H 0 0 host|P 1700000000 0 ann opened%20it ");
  EXPECT_TRUE(store.TakePrefixed("situation-state:").empty());
  Log_Position p;
  EXPECT_TRUE(store.Take("/var/log/journal", &p)) << "the logs stay";
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
