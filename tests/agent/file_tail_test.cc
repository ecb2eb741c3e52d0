// Tests of File_Tail: each line delivered once in order across rotation and
// truncation.
#include "agent/follow/file_tail.h"

#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/follow/line_splitter.h"
#include "agent/follow/position_store.h"
#include "tests/agent/file_tail_model.h"
#include "tests/support/temp_dir.h"
#include "tests/testutil.h"
#include "util/unique_file.h"

namespace {

// Every step's lines arrive exactly once and in order, whatever the writer
// does to the name between two looks, across stops and crashes that resume
// from the position the state file kept.
TEST(FileTailModelTest, DeliversEachWrittenLineOnceInOrder) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    qortest::Scoped_Temp_Dir dir;
    qortest::File_Tail_Model model(dir.path(), seed, /*restarts=*/true);
    EXPECT_EQ(model.Run(1200), "") << "seed " << seed;
  }
}

// Where the file system keeps no birth time, the files that came and went
// are told by their modification time, and an empty file saved, whose
// inode another may have taken, is looked for among them.
TEST(FileTailModelTest, WithoutBirthTimesDeliversEachLineOnceInOrder) {
  qortest::Scoped_Temp_Dir dir;
  qortest::File_Tail_Model model(dir.path(), 10, /*restarts=*/true);
  model.WithoutBirthTimes();
  EXPECT_EQ(model.Run(1200), "");
}

// A File_Tail with the owner's part: the lines it delivers, and the
// rotated files it let go unread.
class Tail_Owner : private File_Tail::Reader {
 public:
  explicit Tail_Owner(const std::string& path)
      : tail_(path, File_Tail::View{&stream_, &fd_, &eof_, &held_}, this) {}

  // Opens the log and stands where `at` says.
  void Start(File_Tail::Start_At at) {
    ASSERT_EQ(tail_.Open("\nError opening file %s.  errno = %d; %s"), 0);
    tail_.Start(at, Log_Position());
  }

  File_Tail& tail() { return tail_; }
  const std::vector<std::string>& lines() const { return lines_; }
  uint64_t lost_files() const { return lost_files_; }
  uint64_t lost_bytes() const { return lost_bytes_; }
  off_t eof() const { return eof_; }

  // The worker's passes, until nothing is left to read now.
  void Pass() {
    for (int i = 0; i < 64; ++i) {
      tail_.BeginPass(timespec{});
      tail_.ReadRotated();
      const bool replaced = tail_.NameReplaced();
      int rc = tail_.ReadCurrent();
      if (replaced && rc == 0) {
        rc = tail_.FollowReplacement();
      }
      ASSERT_EQ(rc, 0);
      if (!tail_.PassCut()) {
        break;
      }
    }
  }

 private:
  struct Sink {
    std::vector<std::string>* lines;
    void Line(char* entry, size_t length) {
      lines->emplace_back(
          entry, length > 0 && entry[length - 1] == '\n' ? length - 1 : length);
    }
    void NulRun() {}
  };
  long TailRead() override {
    char block[4097];
    Sink sink{&lines_};
    while (tail_.Budget() > 0) {
      const ssize_t n = read(fd_, block, sizeof block - 1);
      if (n <= 0) {
        return n;
      }
      tail_.Budget() -= n;
      held_.Feed(block, static_cast<size_t>(n), sink);
    }
    return 0;
  }
  void TailFlush() override {
    Sink sink{&lines_};
    held_.Flush(sink);
  }
  bool TailMayKeep(int /*fd*/) override { return true; }
  void TailLost(uint64_t bytes) override {
    ++lost_files_;
    lost_bytes_ += bytes;
  }

  Unique_File stream_;
  int fd_ = -1;
  std::atomic<off_t> eof_{-1};
  Line_Splitter held_;
  std::vector<std::string> lines_;
  uint64_t lost_files_ = 0;
  uint64_t lost_bytes_ = 0;
  File_Tail tail_;
};

// While delivery waits nothing is read, but the rotations are followed and
// the files held open: a scheme that keeps two rotated files loses only
// the oldest files past what the tail keeps, counted, and the rest arrives
// in order.
TEST(FileTailTest, RotatedAwayWhileDeliveryWaitsLosesOnlyWhatIsNotKept) {
  qortest::TraceCapture cap("ERROR");
  qortest::Scoped_Temp_Dir dir;
  const std::string log = dir.File("app.log");
  qortest::AppendFile(log, "first\n");
  Tail_Owner owner(log);
  owner.Start(File_Tail::START_AT_HEAD);
  owner.Pass();
  ASSERT_EQ(owner.lines(), std::vector<std::string>{"first"});

  constexpr int kRotations = static_cast<int>(MAXROTATEDLOGS) + 4;
  std::vector<std::string> expected = {"first"};
  uint64_t lost_bytes = 0;
  for (int i = 1; i <= kRotations; ++i) {
    const std::string line = "line " + std::to_string(i);
    qortest::AppendFile(log, line + "\n");
    // The files written before the first kept one are let go unread.
    if (i <= kRotations - static_cast<int>(MAXROTATEDLOGS)) {
      lost_bytes += line.size() + 1;
    } else {
      expected.push_back(line);
    }
    const std::string rotated = log + "." + std::to_string(i);
    ASSERT_EQ(rename(log.c_str(), rotated.c_str()), 0);
    unlink((log + "." + std::to_string(i - 2)).c_str());
    qortest::AppendFile(log, "");
    owner.tail().FollowUnread();
  }
  EXPECT_EQ(owner.lines().size(), 1u);
  qortest::AppendFile(log, "last\n");
  expected.push_back("last");
  owner.Pass();
  owner.tail().FinishAll();
  EXPECT_EQ(owner.lines(), expected);
  EXPECT_EQ(owner.lost_files(), kRotations - MAXROTATEDLOGS);
  EXPECT_EQ(owner.lost_bytes(), lost_bytes);
  // Traced once for each file let go, with its bytes.
  EXPECT_EQ(cap.Count("\nLog " + log +
                      " was rotated more than 16 times while "
                      "delivery waited; the oldest rotated file was let go "
                      "unread: 7 bytes lost."),
            kRotations - MAXROTATEDLOGS);
}

// Files that were under the log's name only between two looks (rotated
// faster than it looks) are found and read from their start, before the
// new file; the files read before, and one that was there before the tail
// started, are not read.
TEST(FileTailTest, FilesRotatedAwayBetweenTwoLooksAreReadOnce) {
  qortest::TraceCapture cap("ERROR");
  qortest::Scoped_Temp_Dir dir;
  const std::string log = dir.File("messages");
  qortest::WriteFile(log, "");
  qortest::WriteFile(log + ".0", "an older rotation\n");
  // A file born in the clock tick the tail opens its log in could have
  // come and gone after it (the coarse clock stamps files).
  struct timespec born;
  clock_gettime(CLOCK_REALTIME_COARSE, &born);
  ASSERT_TRUE(qortest::WaitUntil([&] {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now.tv_sec != born.tv_sec || now.tv_nsec != born.tv_nsec;
  }));
  Tail_Owner owner(log);
  owner.Start(File_Tail::START_AT_END);
  qortest::AppendFile(log, "one\n");
  owner.Pass();
  for (const char* text : {"two\n", "three\n"}) {
    static int n = 0;
    ASSERT_EQ(rename(log.c_str(), (log + "." + std::to_string(++n)).c_str()),
              0);
    qortest::WriteFile(log, text);
  }
  qortest::AppendFile(log + ".1", "late to the first\n");
  owner.Pass();
  qortest::AppendFile(log, "four\n");
  owner.Pass();
  EXPECT_EQ(owner.lines(), std::vector<std::string>({"one", "late to the first",
                                                     "two", "three", "four"}));
  EXPECT_EQ(cap.Text(), "");
}

// A young log (shorter than the head the tail compares) whose writer cuts
// its torn last record off and writes it anew, or whose tail is cut below
// what was read, is the same log: nothing is read twice.
TEST(FileTailTest, CutTailOfAYoungLogIsNoCopyTruncate) {
  qortest::TraceCapture cap("ERROR");
  qortest::Scoped_Temp_Dir dir;
  const std::string log = dir.File("messages");
  qortest::WriteFile(log, "");
  Tail_Owner owner(log);
  owner.Start(File_Tail::START_AT_END);
  qortest::AppendFile(log, "one\ntwo\ntorn");
  owner.Pass();
  EXPECT_EQ(owner.eof(), 12);
  // The torn record cut off and written anew.
  ASSERT_EQ(truncate(log.c_str(), 8), 0);
  qortest::AppendFile(log, "three\n");
  owner.Pass();
  EXPECT_EQ(cap.Text(), "");
  ASSERT_EQ(truncate(log.c_str(), 4), 0);  // "two" and "three" cut
  owner.Pass();
  EXPECT_EQ(owner.eof(), 4);
  qortest::AppendFile(log, "four\n");
  owner.Pass();
  EXPECT_EQ(owner.lines(),
            std::vector<std::string>({"one", "two", "three", "four"}));
  EXPECT_EQ(cap.Text(), "\nWarning: log file " + log +
                            " truncated. Resetting EOF to offset 4.");
}

}  // namespace
