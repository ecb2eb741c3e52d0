// Tests of Log_Base: names, procedures and rings.
#include "agent/config/log_base.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "agent/config/config_def.h"
#include "tests/testutil.h"

namespace {

class Test_Log : public Log_Base {
 public:
  void PrintSelf() override { lbPrintSelf(); }
};

TEST(LogBaseTest, NameSplitsAtLastSlash) {
  qortest::TraceCapture cap("ERROR");
  const struct {
    const char* name;
    int path_length;
    const char* base;
  } cases[] = {
      {"/syslog", 1, "syslog"},
      {"/var/adm/messages", 9, "messages"},
      {"/var/log/", 9, ""},
  };
  for (const auto& c : cases) {
    Test_Log log;
    log.lbSetLogFileName(c.name);
    EXPECT_STREQ(log.LogFileName, c.name);
    EXPECT_NE(log.LogFileName, c.name);  // a private copy
    EXPECT_EQ(log.LogPathNameLength, c.path_length) << c.name;
    EXPECT_STREQ(log.LogFileName + log.LogPathNameLength, c.base);
  }
  Test_Log log;
  log.lbSetLogFileName("messages");
  EXPECT_EQ(log.LogFileName, nullptr);
  EXPECT_EQ(log.LogPathNameLength, 0);
  EXPECT_EQ(cap.Text(), "\nNo / character found in file name messages.");
}

TEST(LogBaseTest, CopyOwnsItsStringsAndIsInNoRing) {
  Test_Log original;
  original.lbAddToChain(nullptr);
  original.lbSetLogFileName("/var/adm/messages");
  original.lbSetLogProcedure("errpt -a");
  original.LogType = ERRLOGTYPE;
  original.LogDebugMode = LOGDEBUGMODEON;
  const Test_Log copy(original);
  EXPECT_EQ(copy.Next, nullptr);
  EXPECT_EQ(copy.Prev, nullptr);
  EXPECT_STREQ(copy.LogFileName, "/var/adm/messages");
  EXPECT_NE(copy.LogFileName, original.LogFileName);
  EXPECT_EQ(copy.LogPathNameLength, 9);
  EXPECT_STREQ(copy.LogProcedure, "errpt -a");
  EXPECT_NE(copy.LogProcedure, original.LogProcedure);
  EXPECT_EQ(copy.LogType, ERRLOGTYPE);
  EXPECT_EQ(copy.LogDebugMode, LOGDEBUGMODEON);

  const Test_Log empty_copy{Test_Log()};  // no name, no procedure: none copied
  EXPECT_EQ(empty_copy.LogFileName, nullptr);
  EXPECT_EQ(empty_copy.LogProcedure, nullptr);
}

TEST(LogBaseTest, RingInsertsAtTailAndRemovesFromMiddle) {
  Test_Log first, second, third;
  first.lbAddToChain(nullptr);
  EXPECT_EQ(first.Next, &first);
  EXPECT_EQ(first.Prev, &first);
  second.lbAddToChain(&first);
  third.lbAddToChain(&first);
  EXPECT_EQ(first.Next, &second);
  EXPECT_EQ(second.Next, &third);
  EXPECT_EQ(third.Next, &first);
  EXPECT_EQ(first.Prev, &third);
  EXPECT_EQ(third.Prev, &second);

  second.lbRemoveFromChain();
  EXPECT_EQ(first.Next, &third);
  EXPECT_EQ(third.Prev, &first);
  EXPECT_EQ(third.Next, &first);
  EXPECT_EQ(first.Prev, &third);
  EXPECT_EQ(second.Next, &third);  // left for an owner moving its head
}

TEST(LogBaseTest, PrintSelfWritesEveryField) {
  qortest::TraceCapture cap("ALL");
  Test_Log log;
  log.lbAddToChain(nullptr);
  log.lbSetLogFileName("/var/adm/messages");
  cap.Clear();
  log.PrintSelf();
  char expected[512];
  snprintf(
      expected, sizeof expected,
      "\n\tthis\t\t\t= %p\n\tNext\t\t\t= %p\n\tPrev\t\t\t= %p\n"
      "\tLogFileName\t\t= \"/var/adm/messages\"\n\tLogPathNameLength\t= 9\n"
      "\tLogDebugMode\t\t= N\n\tLogType\t\t\t= S\n\tLogProcedure\t\t= \"\"\n",
      static_cast<void*>(&log), static_cast<void*>(&log),
      static_cast<void*>(&log));
  EXPECT_TRUE(cap.Contains(expected)) << cap.Text();
}

}  // namespace
