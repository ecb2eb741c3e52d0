// Tests of the aligned text tables.
#include "tools/table_format.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(TableFormatTest, ColumnsAlignAndTheLastRunsOn) {
  const std::vector<Table_Column> columns = {{"PATH", false}, {"SIZE", true}, {"DESC", false}};
  EXPECT_EQ(FormatTable(columns, {{"/var/log/syslog", "1234", "a long description"},
                                  {"/tmp/caf\xc3\xa9", "7", ""},
                                  {"/x"}}),
            "PATH             SIZE  DESC\n"
            "/var/log/syslog  1234  a long description\n"
            "/tmp/caf\xc3\xa9           7\n"
            "/x\n");
  EXPECT_EQ(FormatTable(columns, {}), "PATH  SIZE  DESC\n");
  EXPECT_EQ(DisplayWidth("caf\xc3\xa9"), 4u);
}

TEST(TableFormatTest, TimeStampsBecomeReadable) {
  EXPECT_EQ(ReadableStamp("1261208023000000"), "2026-12-08 02:30:00");
  EXPECT_EQ(ReadableStamp("0991231235959000"), "1999-12-31 23:59:59");
  EXPECT_EQ(ReadableStamp("0000000000000000"), "0000000000000000");  // no time known
  EXPECT_EQ(ReadableStamp("126120802300000"), "126120802300000");
  EXPECT_EQ(ReadableStamp("12612080230000x0"), "12612080230000x0");
  EXPECT_EQ(ReadableStamp("running"), "running");
}

}  // namespace
