// Tests of Valid_Log: accepting and refusing configuration lines.
#include "agent/config/valid_log.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/config/config_def.h"
#include "agent/config/log_manager_util.h"
#include "agent/config/syslog_conf.h"
#include "agent/config/system_log.h"
#include "tests/testutil.h"

namespace {

struct LineCase {
  const char* line;
  const char* entry;  // Describe() of the accepted entry; null: rejected
  const char* trace;  // every error and flow message, exactly
};

// Each case's lines name files under a temporary directory, written "@D@".
class ValidLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"messages", "errlog", "user", "maillog", "lpd-errs", "authlog",
          "auth.log", "syslog", "mail.err", "last", "long"}) {
      qortest::WriteFile(dir_.File(name), "");
    }
    mkdir(dir_.File("dir").c_str(), 0755);
    mkdir(dir_.File("spool").c_str(), 0755);
  }
  std::string Sub(std::string text) const {
    for (size_t p = text.find("@D@"); p != std::string::npos;
         p = text.find("@D@", p)) {
      text.replace(p, 3, dir_.path());
    }
    return text;
  }
  // One accepted entry, as the log objects will copy it.
  static std::string Describe(const Log_Base& log) {
    return std::string(log.LogFileName) + " " + log.LogDebugMode.load() +
           log.LogType +
           (log.LogProcedure != nullptr ? std::string(" ") + log.LogProcedure
                                        : "");
  }
  // Reads an agent configuration file into a ring exactly as the log
  // manager does, then destroys the ring from its last element backwards.
  std::vector<std::string> ReadRing(const std::string& path) {
    Valid_Log* first = nullptr;
    while (char* rec = get_next_rec(path.c_str())) {
      Add(rec, &first);
    }
    return Drain(first);
  }
  // The ring the system log of the syslog configuration at `path` becomes,
  // resolved as the log manager resolves it (without the journal).
  std::vector<std::string> ReadSystemLog(const std::string& path) {
    Valid_Log* first = nullptr;
    System_Log_Places places;
    places.syslog_conf = path.c_str();
    bool from_conf = false;
    File_Signature signature;
    AddSystemLog(
        places, LOGDEBUGMODEOFF, false, true,
        [&first](char* rec) { return Add(rec, &first); }, &from_conf,
        &signature);
    return Drain(first);
  }
  static bool Add(char* rec, Valid_Log** first) {
    Valid_Log* const log = new Valid_Log(USERCONFIG, rec, *first);
    if (log->Valid != 1) {
      delete log;
      return false;
    }
    if (*first == nullptr) {
      *first = log;
    }
    return true;
  }
  // The entries of the ring at `first`, which is then destroyed from its
  // last element backwards.
  static std::vector<std::string> Drain(Valid_Log* first) {
    std::vector<std::string> entries;
    if (first == nullptr) {
      return entries;
    }
    Log_Base* p = first;
    do {
      entries.push_back(Describe(*p));
      p = p->Next;
    } while (p != first);
    while (first->Prev != first) {
      delete first->Prev;
    }
    delete first;
    return entries;
  }
  std::string Fixture(const char* name) const {
    return Sub(
        qortest::ReadFile(std::string(QOR_TEST_SOURCE_DIR) + "/data/" + name));
  }

  // Parses each line alone and checks the outcome and its messages.
  void CheckLines(const std::vector<LineCase>& cases) {
    for (const auto& c : cases) {
      qortest::TraceCapture cap("ERROR,FLOW");
      std::string record = Sub(c.line);
      Valid_Log log(USERCONFIG, &record[0], nullptr);
      EXPECT_EQ(log.Valid, c.entry != nullptr ? 1 : 0) << c.line;
      if (c.entry != nullptr && log.Valid == 1) {
        EXPECT_EQ(Describe(log), Sub(c.entry)) << c.line;
        EXPECT_EQ(log.Next, &log);
      }
      EXPECT_EQ(cap.Text(), Sub(c.trace)) << c.line;
    }
  }

  // Resolves each line alone as a whole syslog configuration, as the log
  // manager resolves the system log, and checks the entry it becomes (or
  // none) and the messages.
  void CheckSyslogLines(const std::vector<LineCase>& cases) {
    const std::string path = dir_.File("one.conf");
    for (const auto& c : cases) {
      qortest::WriteFile(path, Sub(c.line) + "\n");
      qortest::TraceCapture cap("ERROR,FLOW");
      const std::vector<std::string> expected =
          c.entry != nullptr ? std::vector<std::string>{Sub(c.entry)}
                             : std::vector<std::string>{};
      EXPECT_EQ(ReadSystemLog(path), expected) << c.line;
      EXPECT_EQ(cap.Text(), Sub(c.trace)) << c.line;
    }
  }

  qortest::Scoped_Temp_Dir dir_;
};

TEST_F(ValidLogTest, AgentLinesFollowTheFieldRules) {
  CheckLines({
      {"@D@/messages", "@D@/messages NS", ""},
      {"@D@/messages ;Y ;S", "@D@/messages YS", ""},
      {"@D@/messages\t;y\t\t;a", "@D@/messages YA", ""},
      {"@D@/messages ;x ;s", "@D@/messages NS", ""},
      {"@D@/errlog ; ;E ;", "@D@/errlog NE errpt -c -smmddhhmmyy", ""},
      {"@D@/errlog ;N ;e ;errpt  -a\t-N x", "@D@/errlog NE errpt  -a\t-N x",
       ""},
      {"@D@/errlog ;N ;E ;errpt", "@D@/errlog NE errpt", ""},
      {"@D@/errlog ; ;E ;errpt -f ${@} ;x${@}",
       "@D@/errlog NE errpt -f \"$1\" ;x\"$1\"", ""},
      {"@D@/user ; ;U ;cat ${@} ${@}|x", "@D@/user NU cat @D@/user @D@/user|x",
       ""},
      {"@D@/user ; ;U ;%s %d", "@D@/user NU %s %d", ""},
      {"@D@/user ; ;U", nullptr,
       "\n@D@/user has a LogType of U but no LogProcedure was specified. File is ignored."},
      {"@D@/messages ; ;S ;tail -f", "@D@/messages NS",
       "\nProcedure parameter tail -f not valid for file @D@/messages which is of type S; "
       "parameter ignored. "},
      {"@D@/messages ; ;A ;utmp ", "@D@/messages NA utmp", ""},
      {"@D@/messages ; ;A ;utmpx", "@D@/messages NA",
       "\nProcedure parameter utmpx not valid for file @D@/messages which is of type A; "
       "parameter ignored. "},
      {"@D@/messages ; ;A ; ;x", "@D@/messages NA",
       "\nField 5 for log @D@/messages is out of bounds. Maximum number of fields is 4. "
       "Value of x is ignored"},
      {"@D@/messages ; ; ; x", nullptr,
       "\nField separator missing after field 4 for log @D@/messages. Skipping rest of line."},
      {"@D@/messages Y", nullptr,
       "\nField separator missing after field 1 for log @D@/messages. Skipping rest of line."},
      // A file that does not exist yet, or is no regular file, still
      // gets its log (which shows the error and is retried).
      {"@D@/messages;Y", "@D@/messages;Y NS", ""},
      {";Y @D@/messages", nullptr,
       "\nFile name cannot be defaulted. Skipping rest of line."},
      {"messages ;Y", nullptr,
       "\nAbsolute path name of log file must be specified for log messages. "
       "Ignoring remainder of line."},
      {"@D@/messages ;N ;X", nullptr,
       "\nLog type of X for log @D@/messages is invalid. Ignoring remainder of line."},
      // Only the journal kind reads a directory.
      {"@D@/dir ;N", nullptr, "\nThe file @D@/dir is not a regular file."},
      {"@D@/dir/ ;N ;E", nullptr, "\nThe file @D@/dir is not a regular file."},
      // One file, one spelling: repeated '/' and "." components go.
      {"@D@//messages ;N", "@D@/messages NS", ""},
      {"@D@/./messages/. ;N", "@D@/messages NS", ""},
      {"@D@/../x/./../messages ;N", "@D@/../x/../messages NS", ""},
      // Configuration bytes reach the trace with control characters
      // escaped.
      {"@D@/messages ;N ;\x1b[2J", nullptr,
       "\nLog type of \\x1b[2J for log @D@/messages is invalid. Ignoring "
       "remainder of line."},
  });
}

TEST_F(ValidLogTest, SyslogLinesNameFilesOnly) {
  CheckSyslogLines({
      {"*.err;kern.notice\t@D@/messages", "@D@/messages NS", ""},
      {"mail.debug @D@/messages extra tokens", "@D@/messages NS", ""},
      {"*.alert\t\troot,operator", nullptr, ""},
      {"*.emerg *", nullptr, ""},
      {"auth.notice @loghost", nullptr, ""},
      {"*.info", nullptr, ""},
      // The one file named does not exist: without the journal,
      // nothing is watched.
      {"*.info @D@/missing", nullptr, ""},
      // A device is no log: with nothing else named, nothing is watched.
      {"*.debug /dev/null", nullptr, ""},
      // rsyslog's shapes of a file action.
      {"*.*;auth,authpriv.none\t-@D@/syslog", "@D@/syslog NS", ""},
      {"*.* @D@/messages;RSYSLOG_TraditionalFileFormat", "@D@/messages NS", ""},
      {"auth.* action(type=\"omfile\" file=\"@D@/auth.log\")",
       "@D@/auth.log NS", ""},
      {"action(Type=\"omfile\" template=\"t\" File=\"@D@/auth.log\")",
       "@D@/auth.log NS", ""},
      {"*.* action(type=\"omfwd\" target=\"10.0.0.1\")", nullptr, ""},
      {"*.* action(type=\"omfile\" dynaFile=\"@D@/auth.log\")", nullptr,
       "\nSyslog configuration file action action(type=\"omfile\" "
       "dynaFile=\"@D@/auth.log\") names its file per message; that file "
       "is not watched."},
      {"*.* |/dev/xconsole", nullptr, ""},
      {"*.emerg :omusrmsg:*", nullptr, ""},
      // Directives and statements are no rules, whatever they name.
      {"$WorkDirectory @D@/spool", nullptr, ""},
      {"$IncludeConfig @D@/rsyslog.d/*.conf", nullptr, ""},
      {"module(load=\"imuxsock\") # local logging", nullptr, ""},
      {"template(name=\"t\" type=\"string\" string=\"@D@/x\")", nullptr, ""},
      {"if $programname == 'x' then {", nullptr, ""},
  });
}

TEST_F(ValidLogTest, AgentConfigurationFileBecomesRing) {
  // A valid line of exactly 1022 characters is read; the same at 1023 is
  // dropped whole, traced; the last line has no newline and is still read.
  std::string line1022 = Sub("@D@/long ; ;E ;echo ");
  line1022.resize(1022, 'x');
  const std::string line1023 =
      Sub("@D@/maillog ;N ;E ;") + std::string(1023, 'y');
  const std::string path = dir_.File("qoragent.conf");
  qortest::WriteFile(path, Sub("# logs watched by the agent\n"
                               "@D@/messages ;Y ;S\n"
                               "\n"
                               "@D@/errlog ; ;E\n"
                               "   @D@/user ; ;U ;cut -d' ' -f1 ${@}\n"
                               "@D@/messages ;N ;A\n"
                               "@D@/dir\n"
                               "@D@//user ;N ;S\n") +
                               line1022 + "\n" + line1023.substr(0, 1023) +
                               "\n" + Sub("@D@/last ;Y"));
  qortest::TraceCapture cap("ERROR");
  EXPECT_EQ(
      ReadRing(path),
      (std::vector<std::string>{
          Sub("@D@/messages YS"), Sub("@D@/errlog NE errpt -c -smmddhhmmyy"),
          Sub("@D@/user NU cut -d' ' -f1 @D@/user"),
          Sub("@D@/long NE ") + line1022.substr(line1022.find("echo")),
          Sub("@D@/last YS")}));
  EXPECT_EQ(cap.Text(),
            Sub("\nDuplicate @D@/messages entry found; entry ignored."
                "\nThe file @D@/dir is not a regular file."
                "\nDuplicate @D@/user entry found; entry ignored.") +
                "\nLine 10 of " + path +
                " is longer than 1022 characters; it is ignored.");
}

TEST_F(ValidLogTest, ClassicSyslogConfigurationBecomesRing) {
  const std::string path = dir_.File("syslog.conf");
  qortest::WriteFile(path, Fixture("syslog.conf"));
  qortest::TraceCapture cap("ERROR,FLOW");
  EXPECT_EQ(
      ReadSystemLog(path),
      (std::vector<std::string>{Sub("@D@/messages NS"), Sub("@D@/maillog NS"),
                                Sub("@D@/lpd-errs NS"), Sub("@D@/authlog NS"),
                                Sub("@D@/local0.log NS")}));
  // Several rules writing to one file are merged, each repetition traced; a
  // device is no log.
  EXPECT_EQ(cap.Text(),
            Sub("\nDuplicate @D@/messages entry found; entry ignored."
                "\nThe file /dev/null is not a regular file."
                "\n@D@/local0.log, named in @D@/syslog.conf, does "
                "not exist yet; it is watched when it appears."));
}

// rsyslog's legacy lines: the "-" (no sync) prefix is dropped, directives
// are skipped without a trace and a selector continued with '\\' is one
// rule; every message is watched once, in syslog or auth.log, and each file
// whose messages syslog holds too is traced as not watched.
TEST_F(ValidLogTest, DebianRsyslogConfigurationWatchesEachMessageOnce) {
  for (const char* name :
       {"syslog", "daemon.log", "kern.log", "mail.info", "debug"}) {
    qortest::WriteFile(dir_.File(name), "");
  }
  const std::string path = dir_.File("rsyslog.conf");
  qortest::WriteFile(path, Fixture("rsyslog.conf"));
  qortest::TraceCapture cap("ERROR,FLOW");
  EXPECT_EQ(
      ReadSystemLog(path),
      (std::vector<std::string>{Sub("@D@/auth.log NS"), Sub("@D@/syslog NS")}));
  std::string covered;
  for (const char* name :
       {"daemon.log", "kern.log", "lpr.log", "mail.log", "user.log",
        "mail.info", "mail.warn", "mail.err", "debug", "messages"}) {
    covered += Sub("\n@D@/") + name +
               Sub(" holds only messages that @D@/syslog holds too; it is not "
                   "watched.");
  }
  EXPECT_EQ(cap.Text(), covered);
}

// Debian 12's stock file with an included directory: included files are
// read where the include stands, sorted, each once (the cycle back to the
// main file is cut), RainerScript includes and one-line file actions
// followed, a missing match ignored, and an unreadable included file
// traced once with its name.
TEST_F(ValidLogTest, Debian12RsyslogConfigurationFollowsItsIncludes) {
  for (const char* name : {"app.log", "local3.log", "nested.log", "kern.log"}) {
    qortest::WriteFile(dir_.File(name), "");
  }
  mkdir(dir_.File("rsyslog.d").c_str(), 0755);
  mkdir(dir_.File("rsyslog.d/nested").c_str(), 0755);
  const std::string path = dir_.File("rsyslog.conf");
  qortest::WriteFile(path, Fixture("rsyslog-debian12.conf"));
  qortest::WriteFile(
      dir_.File("rsyslog.d/20-app.conf"),
      Sub("if $programname == 'app' then {\n"
          "  action(type=\"omfile\" file=\"@D@/app.log\")\n"
          "  stop\n"
          "}\n"
          "include(file=\"@D@/rsyslog.d/nested/*.conf\" mode=\"optional\")\n"
          "include(file=\"@D@/rsyslog.d/none/*.conf\" mode=\"optional\")\n"
          "$IncludeConfig @D@/rsyslog.conf\n"));
  qortest::WriteFile(
      dir_.File("rsyslog.d/10-local.conf"),
      Sub("local3.*\taction(type=\"omfile\" file=\"@D@/local3.log\" "
          "template=\"RSYSLOG_FileFormat\")\n"));
  qortest::WriteFile(dir_.File("rsyslog.d/nested/a.conf"),
                     Sub("*.* @D@/nested.log;RSYSLOG_TraditionalFileFormat\n"
                         "$IncludeConfig @D@/rsyslog.d/*.conf\n"));
  qortest::WriteFile(dir_.File("rsyslog.d/README"), Sub("*.* @D@/readme\n"));
  ASSERT_EQ(symlink(dir_.File("gone").c_str(),
                    dir_.File("rsyslog.d/30-gone.conf").c_str()),
            0);
  const std::string unreadable =
      Sub("\nIncluded syslog configuration file @D@/rsyslog.d/30-gone.conf "
          "cannot be read. errno = 2; No such file or directory");
  // The files the rules name, in the order the includes put them.
  qortest::TraceCapture read("ERROR");
  std::vector<std::string> records;
  ASSERT_TRUE(ReadSyslogConf(path.c_str(), &records));
  std::vector<Syslog_Target> targets;
  SyslogTargets(records, &targets);
  std::vector<std::string> named;
  for (const Syslog_Target& target : targets) {
    named.push_back(target.path);
  }
  EXPECT_EQ(
      named,
      (std::vector<std::string>{
          Sub("@D@/local3.log"), Sub("@D@/app.log"), Sub("@D@/nested.log"),
          Sub("@D@/syslog"), Sub("@D@/auth.log"), Sub("@D@/cron.log"),
          Sub("@D@/kern.log"), Sub("@D@/mail.log"), Sub("@D@/user.log")}));
  EXPECT_EQ(read.Text(), unreadable);
  // Watched: nested.log (*.*) holds every message but those app.log stops.
  qortest::TraceCapture cap("ERROR");
  EXPECT_EQ(ReadSystemLog(path),
            (std::vector<std::string>{Sub("@D@/app.log NS"),
                                      Sub("@D@/nested.log NS")}));
  EXPECT_EQ(cap.Text(), unreadable);
}

// A pattern matching thousands of files and includes nested without end
// are cut off, each traced once.
TEST_F(ValidLogTest, SyslogIncludesAreBounded) {
  mkdir(dir_.File("many").c_str(), 0755);
  for (int i = 0; i < MAXSYSLOGCONFFILES + 20; ++i) {
    char name[32];
    snprintf(name, sizeof name, "many/%04d.conf", i);
    qortest::WriteFile(dir_.File(name), "");
  }
  for (int i = 0; i < MAXSYSLOGINCLUDEDEPTH + 2; ++i) {
    qortest::WriteFile(dir_.File("deep" + std::to_string(i)),
                       Sub("$IncludeConfig @D@/deep" + std::to_string(i + 1) +
                           "\n*.* @D@/messages\n"));
  }
  qortest::WriteFile(dir_.File("many.conf"), Sub("$IncludeConfig @D@/many\n"));
  qortest::TraceCapture cap("ERROR");
  std::vector<std::string> records;
  EXPECT_TRUE(ReadSyslogConf(dir_.File("many.conf").c_str(), &records));
  EXPECT_EQ(cap.Text(),
            Sub("\nSyslog configuration includes more than 256 files; "
                "@D@/many/0256.conf and the files after it are ignored."));
  qortest::TraceCapture deep("ERROR");
  records.clear();
  EXPECT_TRUE(ReadSyslogConf(dir_.File("deep0").c_str(), &records));
  EXPECT_EQ(records.size(), static_cast<size_t>(MAXSYSLOGINCLUDEDEPTH + 1));
  EXPECT_EQ(deep.Text(),
            Sub("\nSyslog configuration includes nest deeper than 8 files at "
                "@D@/deep9; include ignored."));
}

TEST_F(ValidLogTest, DefaultSyslogConfigurationIsTheClassicFileWhenItExists) {
  const std::string classic = dir_.File("syslog.conf");
  const std::string rsyslog = dir_.File("rsyslog.conf");
  EXPECT_EQ(ChooseSyslogConf(classic.c_str(), rsyslog.c_str()), rsyslog);
  qortest::WriteFile(classic, "");
  EXPECT_EQ(ChooseSyslogConf(classic.c_str(), rsyslog.c_str()), classic);
}

}  // namespace
