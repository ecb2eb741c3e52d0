// Tests of the syslog configuration reader.
#include "agent/config/syslog_conf.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"

namespace {

// The files a syslog configuration (one file, given as its text) makes the
// agent watch, and what it traces.
struct WatchCase {
  const char* conf;
  std::vector<std::string> watched;
  const char* trace;  // a text every error trace together contains; "" none
};

TEST(SyslogConfTest, EachMessageIsWatchedInOneFile) {
  const WatchCase cases[] = {
      // Debian 12's rules: kern, cron, mail and user messages are in
      // syslog too; auth and authpriv only in auth.log.
      {"*.*;auth,authpriv.none\t\t-/l/syslog\n"
       "auth,authpriv.*\t\t\t/l/auth.log\n"
       "cron.*\t\t\t\t-/l/cron.log\n"
       "kern.*\t\t\t\t-/l/kern.log\n"
       "mail.*\t\t\t\t-/l/mail.log\n"
       "user.*\t\t\t\t-/l/user.log\n"
       "*.emerg\t\t\t\t:omusrmsg:*\n",
       {"/l/syslog", "/l/auth.log"},
       ""},
      // Debian 11's: mail.info is within mail.*; debug and messages hold
      // what syslog does not exclude.
      {"*.*;auth,authpriv.none -/l/syslog\n"
       "mail.* -/l/mail.log\n"
       "mail.info -/l/mail.info\n"
       "*.=debug;\\\n\tauth,authpriv.none;\\\n\tmail.none -/l/debug\n",
       {"/l/syslog"},
       ""},
      // A narrower level, an exception and a negation are no subset.
      {"kern.warn /l/a\nkern.info /l/b\n*.*;kern.!err /l/c\n",
       {"/l/b", "/l/c"},
       ""},
      // Mail stopped after mail.log never reaches syslog.
      {"mail.* -/l/mail.log\nmail.* ~\n*.* -/l/syslog\n",
       {"/l/mail.log", "/l/syslog"},
       ""},
      // Alike rules: the first file is kept.
      {"*.* /l/a\n*.* /l/b;RSYSLOG_FileFormat\n", {"/l/a"}, ""},
      // The haproxy package's block: its messages end there.
      {":programname, startswith, \"haproxy\" {\n  /l/haproxy.log\n  stop\n}\n"
       "*.* -/l/syslog\n",
       {"/l/haproxy.log", "/l/syslog"},
       ""},
      // A property filter without a stop copies what goes on to syslog;
      // with "& stop" (or "& ~") it does not.
      {":programname, isequal, \"x\" /l/x.log\n"
       ":msg, contains, \"y\" -/l/y.log\n& stop\n"
       ":msg, !contains, \"z\" /l/z.log\n& ~\n"
       "*.* /l/syslog\n",
       {"/l/y.log", "/l/z.log", "/l/syslog"},
       ""},
      // Expressions, one line or with a block, and omfile actions over
      // several lines.
      {"if $programname == 'app' then {\n"
       "  action(type=\"omfile\"\n"
       "         file=\"/l/app.log\" # the app\n"
       "         template=\"RSYSLOG_FileFormat\")\n"
       "  stop\n"
       "}\n"
       "if $syslogfacility-text == 'local3' then /l/local3.log\n"
       "if ($msg contains 'w') and\n"
       "   ($programname == 'w') then -/l/w.log\n"
       "& stop\n"
       "local4.* action(type=\"omfile\" file=\"/l/local4.log\")\n"
       "*.info;local4.none action(type=\"omfwd\" target=\"10.0.0.1\")\n"
       "*.info -/l/messages\n",
       {"/l/app.log", "/l/w.log", "/l/local4.log", "/l/messages"},
       ""},
      // A ruleset of its own; a file named per message is traced.
      {"ruleset(name=\"remote\") {\n"
       "  action(type=\"omfile\" file=\"/l/remote.log\")\n"
       "}\n"
       "action(type=\"omfile\" dynaFile=\"PerHost\")\n"
       "*.* ?DynFile\n"
       "*.* /l/all\n",
       {"/l/remote.log", "/l/all"},
       "action(type=\"omfile\" dynaFile=\"PerHost\") names its file per "
       "message"},
  };
  qortest::Scoped_Temp_Dir dir;
  for (const WatchCase& c : cases) {
    SCOPED_TRACE(c.conf);
    const std::string path = dir.File("rsyslog.conf");
    qortest::WriteFile(path, c.conf);
    qortest::TraceCapture cap("ERROR");
    std::vector<std::string> records;
    ASSERT_TRUE(ReadSyslogConf(path.c_str(), &records));
    std::vector<Syslog_Target> targets;
    SyslogTargets(records, &targets);
    EXPECT_EQ(SyslogWatchFiles(targets), c.watched);
    if (*c.trace == '\0') {
      EXPECT_EQ(cap.Text(), "");
    } else {
      EXPECT_TRUE(cap.Contains(c.trace)) << cap.Text();
    }
  }
}

// Rules writing to one file are merged into its one log; each repetition
// is traced.
TEST(SyslogConfTest, RepeatedFileIsMergedAndTraced) {
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("syslog.conf");
  qortest::WriteFile(path, "mail.* -/l/a\nauth.* /l/a\nkern.* /l/a\n");
  qortest::TraceCapture cap("ERROR");
  std::vector<std::string> records;
  ASSERT_TRUE(ReadSyslogConf(path.c_str(), &records));
  std::vector<Syslog_Target> targets;
  SyslogTargets(records, &targets);
  EXPECT_EQ(SyslogWatchFiles(targets), std::vector<std::string>({"/l/a"}));
  EXPECT_EQ(cap.Count("\nDuplicate /l/a entry found; entry ignored."), 2u);
}

// An included file another user may change is not read.
TEST(SyslogConfTest, IncludedFileOthersMayWriteIsSkipped) {
  qortest::Scoped_Temp_Dir dir;
  const std::string main = dir.File("rsyslog.conf");
  const std::string other = dir.File("other.conf");
  qortest::WriteFile(main, "$IncludeConfig " + other + "\n*.* /l/a\n");
  qortest::WriteFile(other, "*.* /l/b\n");
  ASSERT_EQ(chmod(other.c_str(), 0666), 0);
  qortest::TraceCapture cap("ERROR");
  std::vector<std::string> records;
  ASSERT_TRUE(ReadSyslogConf(main.c_str(), &records));
  EXPECT_EQ(records, std::vector<std::string>({"*.* /l/a"}));
  EXPECT_TRUE(cap.Contains("syslog configuration file " + other)) << cap.Text();
}

}  // namespace
