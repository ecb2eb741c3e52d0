#include "agent/file_tail.h"

#include <gtest/gtest.h>

#include "tests/agent/file_tail_model.h"
#include "tests/support/temp_dir.h"

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

}  // namespace
