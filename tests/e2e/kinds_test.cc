// The administrative (A) and user-formatted (U) kinds in the real agent:
// appended records and lines become events, and reports read them back.
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"

namespace qortest {
namespace {

// One 36-byte login-accounting record, integers in host byte order.
std::string Record(const char* user, const char* line, int16_t type, int32_t when) {
  std::string r(36, '\0');
  memcpy(&r[0], user, strnlen(user, 8));
  memcpy(&r[8], "id01", 4);
  memcpy(&r[12], line, strnlen(line, 12));
  const int16_t pid = 4242;
  memcpy(&r[24], &pid, 2);
  memcpy(&r[26], &type, 2);
  memcpy(&r[32], &when, 4);
  return r;
}

TEST(KindsTest, LoginRecordsAndUserFormattedLinesBecomeEvents) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string wtmp = dir.File("wtmp");
  const std::string app = dir.File("app.log");
  const time_t now = time(nullptr);
  WriteFile(wtmp, Record("old", "tty0", 7, static_cast<int32_t>(now - 3600)));
  WriteFile(app, "");
  WriteFile(dir.File("qoragent.conf"),
            wtmp + " ;N ;A\n" + app +
                " ;N ;U ;A,\"%d-%d-%d %d:%d:%d %s %[^:]: %200[^\\n]\",year month=\"%02d\" "
                "day=\"%02d\" hour minute second system source description\n");
  WriteFile(dir.File("situations"),
            "logins VXLOGENT LOGNAME == \"wtmp\" AND ENTRYTYPE == \"User process\"\n"
            "app VXLOGENT ENTRYSRC == \"billing\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; })) << agent.Output();
  ASSERT_TRUE(WaitUntil([&] {
    return JsonField(MonlogRow(agent, wtmp), "MONSTATUS") == "Running" &&
           JsonField(MonlogRow(agent, app), "MONSTATUS") == "Running";
  })) << agent.Trace();
  EXPECT_EQ(JsonField(MonlogRow(agent, wtmp), "LOGTYPE"), "A");
  EXPECT_NE(JsonField(MonlogRow(agent, app), "FORMATTER").find("%d-%d-%d"), std::string::npos);

  // Appended until seen: monitoring starts at the end of each log, so the
  // first appends may land before the worker has found that end.
  ASSERT_TRUE(WaitUntil([&] {
    AppendFile(wtmp, Record("alice", "pts/3", 7, static_cast<int32_t>(now)));
    return agent.WaitEvents("\"situation\":\"logins\"", std::chrono::milliseconds(1500));
  }, std::chrono::seconds(15))) << agent.Trace();
  const std::string login = LinesWith(agent.Events(), "\"situation\":\"logins\"")[0];
  EXPECT_EQ(JsonField(login, "ENTRYSRC"), "pts/3");
  EXPECT_EQ(JsonField(login, "ENTRYTIME"), Stamp(now));
  EXPECT_NE(JsonField(login, "ENTRYDESC").find("user = alice"), std::string::npos);

  ASSERT_TRUE(WaitUntil([&] {
    AppendFile(app, "2026-03-05 07:08:09 apphost billing: invoice 17 sent\n");
    return agent.WaitEvents("\"situation\":\"app\"", std::chrono::milliseconds(1500));
  }, std::chrono::seconds(15))) << agent.Trace();
  const std::string line = LinesWith(agent.Events(), "\"situation\":\"app\"")[0];
  EXPECT_EQ(JsonField(line, "ENTRYTIME"), "1260305070809000");
  EXPECT_EQ(JsonField(line, "ENTRYSYS"), "apphost");
  EXPECT_EQ(JsonField(line, "ENTRYDESC"), "invoice 17 sent");

  // Reports read both kinds back, newest first.
  const Run_Result logins = agent.Ctl({"--json", "entries", wtmp, "--since", "-2h"});
  ASSERT_EQ(logins.status, 0) << logins.err;
  const auto rows = LinesWith(logins.out, "\"ENTRYDESC\"");
  ASSERT_GE(rows.size(), 2u) << logins.out;
  EXPECT_NE(JsonField(rows.front(), "ENTRYDESC").find("user = alice"), std::string::npos);
  EXPECT_NE(JsonField(rows.back(), "ENTRYDESC").find("user = old"), std::string::npos);
  const Run_Result billed =
      agent.Ctl({"--json", "entries", app, "--since", "2026-03-05", "--until", "2026-03-05"});
  ASSERT_EQ(billed.status, 0) << billed.err;
  EXPECT_NE(billed.out.find("invoice 17 sent"), std::string::npos);

  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

}  // namespace
}  // namespace qortest

namespace qortest {
namespace {

// The error-report kind runs its command; the tests' stand-in for it lives
// in tests/agent/data and prints the entries of ERRPT_LOG.
TEST(KindsTest, ErrorReportEntriesBecomeEvents) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string errlog = dir.File("errlog");
  WriteFile(errlog, "");
  const std::string data = std::string(QOR_TEST_SOURCE_DIR) + "/../agent/data";
  const char* path = getenv("PATH");
  agent.SetEnv("PATH", data + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
  agent.SetEnv("ERRPT_LOG", errlog);
  WriteFile(dir.File("qoragent.conf"), errlog + " ; ;E\n");
  WriteFile(dir.File("situations"), "errors VXLOGENT LOGNAME == \"errlog\"\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; })) << agent.Output();
  ASSERT_TRUE(WaitUntil([&] { return JsonField(MonlogRow(agent, errlog), "MONSTATUS") == "Running"; }));
  EXPECT_EQ(JsonField(MonlogRow(agent, errlog), "FORMATTER"), "errpt -c -smmddhhmmyy");

  const time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  char stamp[16];
  strftime(stamp, sizeof stamp, "%m%d%H%M%y", &tm);
  AppendFile(errlog, std::string("A6DF45AA   ") + stamp + " P H hdisk0 DISK OPERATION ERROR\n");
  ASSERT_TRUE(agent.WaitEvents("\"situation\":\"errors\"")) << agent.Trace();
  const std::string event = LinesWith(agent.Events(), "\"situation\":\"errors\"")[0];
  EXPECT_NE(event.find("DISK OPERATION ERROR"), std::string::npos) << event;

  // The stop ends the command too: nothing of it outlives the agent.
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0);
}

}  // namespace
}  // namespace qortest
