// Report reading of Log_File: opening, block size, and the backward walk
// through the file in blocks with the unconsumed bytes carried over. Driven
// through a syslog log object, the text kind that uses it.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/config/valid_log.h"
#include "agent/kinds/log_file.h"
#include "agent/kinds/syslog_file.h"
#include "tests/testutil.h"

namespace {

class LogFileReportTest : public ::testing::Test {
 protected:
  // A log object on `name`, holding `size` bytes of a repeating pattern (so
  // that every offset can be recognised), and a buffer of `block` + 1 bytes.
  void Open(const std::string& name, size_t size, uint64_t block) {
    path_ = dir_.File(name);
    content_.clear();
    for (size_t i = 0; i < size; ++i) {
      content_ += static_cast<char>('A' + (i * 7 + i / 26) % 26);
    }
    qortest::WriteFile(path_, content_);
    std::vector<char> record(path_.begin(), path_.end());
    record.push_back('\0');
    Valid_Log valid(USERCONFIG, record.data(), nullptr);
    ASSERT_EQ(valid.Valid, 1);
    log_ = std::make_unique<Syslog_File>(valid, nullptr);
    log_->OptimumBlockSize = block;
    buffer_.assign(block + 1, '#');
    info_.fd = -1;
    info_.buffer = buffer_.data();
    info_.bytesLeft = 0;
    info_.bytesInBuffer = 0;
  }
  void TearDown() override {
    if (log_ != nullptr && info_.fd >= 0) {
      log_->lfCloseLogForReport(info_.fd);
    }
  }
  // Checks one fill: its result, the block it read, where it left the
  // descriptor and the terminator after the block.
  void ExpectBlock(long result, int64_t offset) {
    ASSERT_GT(result, 0);
    EXPECT_EQ(info_.bytesInBuffer, result);
    EXPECT_EQ(info_.bytesLeft, offset);
    EXPECT_EQ(std::string(info_.buffer, static_cast<size_t>(result)),
              content_.substr(static_cast<size_t>(offset),
                              static_cast<size_t>(result)));
    EXPECT_EQ(info_.buffer[result], '\0');
  }

  qortest::Scoped_Temp_Dir dir_;
  std::string path_;
  std::string content_;
  std::unique_ptr<Syslog_File> log_;
  std::vector<char> buffer_;
  _LogBufferInfo info_;
};

TEST_F(LogFileReportTest,
       BlocksAreReadFromTheEndWithTheUnconsumedBytesCarriedOver) {
  qortest::TraceCapture trace("ERROR,FLOW");
  Open("messages", 20000, 8192);
  const long fd = log_->lfOpenLogForReport(&info_);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fd, info_.fd);
  EXPECT_EQ(info_.bytesLeft, 20000);
  EXPECT_EQ(lseek(info_.fd, 0, SEEK_CUR), 20000);
  EXPECT_TRUE(trace.Contains("\nfd " + std::to_string(fd) +
                             " opened for report on " + path_ +
                             "; file size is 20000."));

  ASSERT_NO_FATAL_FAILURE(ExpectBlock(log_->lfFillReportBuffer(&info_), 11808));
  EXPECT_TRUE(trace.Contains("\n8192 bytes read from file " + path_ +
                             " from offset 11808."));

  // 100 bytes at the front of the block are still unconsumed: they end the
  // next block.
  info_.bytesInBuffer = 100;
  trace.Clear();
  ASSERT_NO_FATAL_FAILURE(
      ExpectBlock(log_->lfFillReportBuffer(&info_), 3616 + 100));
  EXPECT_TRUE(trace.Contains("\n100 bytes pushed back onto buffer for file " +
                             path_ + "."));
  EXPECT_TRUE(trace.Contains("\n8192 bytes read from file " + path_ +
                             " from offset 3716."));

  info_.bytesInBuffer = 50;
  ASSERT_NO_FATAL_FAILURE(ExpectBlock(log_->lfFillReportBuffer(&info_), 0));
  EXPECT_EQ(info_.bytesInBuffer, 3616 + 100 + 50);

  // The start of the file: nothing more, and the buffer keeps its contents.
  info_.bytesInBuffer = 40;
  EXPECT_EQ(log_->lfFillReportBuffer(&info_), 0);
  EXPECT_EQ(info_.bytesInBuffer, 40);
  EXPECT_EQ(std::string(info_.buffer, 40), content_.substr(0, 40));
}

TEST_F(LogFileReportTest, LogNoLongerThanABlockIsReadInOneFill) {
  for (size_t size : {5000, 8192}) {
    SCOPED_TRACE(size);
    Open("messages" + std::to_string(size), size, 8192);
    ASSERT_GE(log_->lfOpenLogForReport(&info_), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectBlock(log_->lfFillReportBuffer(&info_), 0));
    EXPECT_EQ(info_.bytesInBuffer, static_cast<int64_t>(size));
    info_.bytesInBuffer = 10;
    EXPECT_EQ(log_->lfFillReportBuffer(&info_), 0);
    log_->lfCloseLogForReport(info_.fd);
    info_.fd = -1;
  }
}

// Right after a rotation the log is empty and its entries are in the
// rotated files: it is opened, with nothing to read in it.
TEST_F(LogFileReportTest, EmptyLogIsOpenedForItsRotatedFiles) {
  qortest::TraceCapture trace("ERROR,FLOW");
  Open("messages", 0, 8192);
  EXPECT_GE(log_->lfOpenLogForReport(&info_), 0);
  EXPECT_GE(info_.fd, 0);
  EXPECT_EQ(info_.bytesLeft, 0);
  EXPECT_TRUE(trace.Contains("\nLog " + path_ +
                             " is empty; the report reads its rotated files."));
  EXPECT_EQ(trace.Count(" closed for report on " + path_ + "."), 0u);
}

// A FIFO put in the log's place is refused at once, never waited on, and
// the report can say why.
TEST_F(LogFileReportTest, FifoAtTheLogsPathIsRefusedWithoutBlocking) {
  qortest::TraceCapture trace("ERROR");
  Open("messages", 10, 8192);
  ASSERT_EQ(unlink(path_.c_str()), 0);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EQ(log_->lfOpenLogForReport(&info_), -1);
  EXPECT_EQ(info_.fd, -1);
  EXPECT_TRUE(trace.Contains("\nError opening file " + path_ +
                             " for report: not a regular file."));
  char why[512];
  ASSERT_TRUE(log_->lfReportUnreadable(why, sizeof why));
  EXPECT_EQ(std::string(why), "log " + path_ + " is not a regular file");
  ASSERT_EQ(unlink(path_.c_str()), 0);
  ASSERT_TRUE(log_->lfReportUnreadable(why, sizeof why));
  EXPECT_EQ(std::string(why),
            "cannot read log " + path_ + ": No such file or directory");
  qortest::WriteFile(path_, "");
  EXPECT_FALSE(log_->lfReportUnreadable(why, sizeof why));  // empty: no error
}

TEST_F(LogFileReportTest,
       BlockSizeIsAMultipleOfThePreferredSizeOfTheFileSystemAndSetOnce) {
  qortest::TraceCapture trace("ERROR");
  Open("messages", 10, 0);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(log_->lfDetermineOptimumBlockSize(), 0);
  // At least 64 KiB, so that a report of a busy hour is not a read a page.
  const uint64_t preferred = st.st_blksize > 0 ? st.st_blksize : 8192;
  const uint64_t block = log_->OptimumBlockSize.load();
  EXPECT_GE(block, 65536u);
  EXPECT_EQ(block % preferred, 0u);
  EXPECT_LT(block, 65536u + preferred);

  log_->OptimumBlockSize = 4;
  EXPECT_EQ(log_->lfDetermineOptimumBlockSize(), 0);
  EXPECT_EQ(log_->OptimumBlockSize.load(), 4u);

  log_->OptimumBlockSize = 0;
  unlink(path_.c_str());
  EXPECT_EQ(log_->lfDetermineOptimumBlockSize(), 1);
  EXPECT_EQ(log_->OptimumBlockSize.load(), 0u);
  // The log's own worker may also be tracing its failed open by now.
  EXPECT_EQ(trace.Count("\nstat() command failed for " + path_ +
                        "; errno = 2; No such file or directory."),
            1u);
}

}  // namespace
