#include "agent/file_tail.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/line_splitter.h"
#include "agent/position_store.h"
#include "tests/agent/file_tail_model.h"
#include "tests/support/temp_dir.h"
#include "util/unique_file.h"

namespace {

// Every step's lines arrive exactly once and in order, whatever the writer
// does to the name between two looks, across stops and crashes that resume
// from the position the state file kept.
TEST(FileTailModelTest, DeliversEachWrittenLineOnceInOrder) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    qortest::Scoped_Temp_Dir dir;
    qortest::File_Tail_Model model(dir.path(), seed, /*restarts=*/true);
    EXPECT_EQ(model.Run(1500), "") << "seed " << seed;
  }
}

// A File_Tail with the owner's part: the lines it delivers, and the
// rotated files it let go unread.
class Tail_Owner : private File_Tail::Reader {
 public:
  explicit Tail_Owner(const std::string& path)
      : tail_(path, File_Tail::View{&stream_, &fd_, &eof_, &held_}, this) {}

  File_Tail& tail() { return tail_; }
  const std::vector<std::string>& lines() const { return lines_; }
  uint64_t lost_files() const { return lost_files_; }
  uint64_t lost_bytes() const { return lost_bytes_; }

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

void Append(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  close(fd);
}

// While delivery waits nothing is read, but the rotations are followed and
// the files held open: a scheme that keeps two rotated files loses only
// the oldest files past what the tail keeps, counted, and the rest arrives
// in order.
TEST(FileTailTest, RotatedAwayWhileDeliveryWaitsLosesOnlyWhatIsNotKept) {
  qortest::Scoped_Temp_Dir dir;
  const std::string log = dir.File("app.log");
  Append(log, "first\n");
  Tail_Owner owner(log);
  ASSERT_EQ(owner.tail().Open("\nError opening file %s.  errno = %d; %s"), 0);
  owner.tail().Start(File_Tail::START_AT_HEAD, Log_Position());
  owner.Pass();
  ASSERT_EQ(owner.lines(), std::vector<std::string>{"first"});

  constexpr int kRotations = static_cast<int>(MAXROTATEDLOGS) + 4;
  std::vector<std::string> expected = {"first"};
  uint64_t lost_bytes = 0;
  for (int i = 1; i <= kRotations; ++i) {
    const std::string line = "line " + std::to_string(i);
    Append(log, line + "\n");
    // The files written before the first kept one are let go unread.
    if (i <= kRotations - static_cast<int>(MAXROTATEDLOGS)) {
      lost_bytes += line.size() + 1;
    } else {
      expected.push_back(line);
    }
    const std::string rotated = log + "." + std::to_string(i);
    ASSERT_EQ(rename(log.c_str(), rotated.c_str()), 0);
    unlink((log + "." + std::to_string(i - 2)).c_str());
    Append(log, "");
    owner.tail().FollowUnread();
  }
  EXPECT_EQ(owner.lines().size(), 1u);
  Append(log, "last\n");
  expected.push_back("last");
  owner.Pass();
  owner.tail().FinishAll();
  EXPECT_EQ(owner.lines(), expected);
  EXPECT_EQ(owner.lost_files(), kRotations - MAXROTATEDLOGS);
  EXPECT_EQ(owner.lost_bytes(), lost_bytes);
}

}  // namespace
