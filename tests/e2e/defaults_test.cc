// The shipped configuration (packaging/qoragent.conf) on the two kinds of
// Debian host, its syslog configuration and journal in a temporary
// directory: each message is counted once. Also: a situations file named
// but missing refuses the start.
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/journal_writer.h"

namespace qortest {
namespace {

uint64_t NowUsec() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Events of the situation `name` so far.
size_t EventsOf(const Agent_Process& agent, const std::string& name) {
  return LinesWith(agent.Events(), "\"situation\":\"" + name + "\"").size();
}

// An agent on a copy of the shipped configuration, with situations that
// count kernel I/O errors, failed logins, haproxy's lines and markers.
void StartShipped(const Scoped_Temp_Dir& dir, Agent_Process* agent) {
  WriteFile(dir.File("qoragent.conf"),
            ReadFile(std::string(QOR_SOURCE_DIR) + "/packaging/qoragent.conf"));
  WriteFile(dir.File("situations"),
            "ioerr VXLOGENT ENTRYDESC ~ \"I/O error\"\n"
            "sshfail VXLOGENT ENTRYDESC ~ \"Failed password\"\n"
            "haproxy VXLOGENT ENTRYDESC ~ \"haproxy line\"\n"
            "marker VXLOGENT ENTRYDESC ~ \"marker line\"\n");
  agent->SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent->SetEnv("HOV_SITUATIONS", dir.File("situations"));
  ASSERT_TRUE(agent->Start());
  ASSERT_TRUE(WaitUntil([&] { return agent->Ctl({"ping"}).status == 0; }))
      << agent->Output();
}

// rsyslog writes a kernel message to syslog and kern.log, a login failure
// to auth.log, and journald keeps both: the agent watches syslog and
// auth.log only, and counts each once. A file named there that rsyslog
// creates later (haproxy.log) costs one trace however many retry passes go
// by, and is watched once it appears; a log that cannot be read (a
// directory) is restarted at the first pass, then held for a minute.
TEST(DefaultsTest, RsyslogHostCountsEachMessageOnce) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string syslog = dir.File("syslog"), auth = dir.File("auth.log"),
                    kern = dir.File("kern.log"), mail = dir.File("mail.log"),
                    haproxy = dir.File("haproxy.log"), boot = dir.File("boot");
  // A FIFO where a file should be: no regular file, so no log.
  ASSERT_EQ(mkfifo(boot.c_str(), 0644), 0);
  for (const std::string& file : {syslog, auth, kern}) {
    WriteFile(file, "");
  }
  ASSERT_EQ(mkdir(dir.File("rsyslog.d").c_str(), 0755), 0);
  WriteFile(dir.File("rsyslog.d/49-haproxy.conf"),
            ":programname, startswith, \"haproxy\" {\n  " + haproxy +
                "\n  stop\n}\n");
  WriteFile(dir.File("rsyslog.conf"),
            "module(load=\"imuxsock\") # local system logging\n"
            "$IncludeConfig " +
                dir.File("rsyslog.d") +
                "/*.conf\n"
                "*.*;auth,authpriv.none;local7.none\t\t-" +
                syslog +
                "\n"
                "local7.*\t\t\t\t" +
                boot +
                "\n"
                "auth,authpriv.*\t\t\t" +
                auth +
                "\n"
                "kern.*\t\t\t\t-" +
                kern +
                "\n"
                "mail.*\t\t\t\t-" +
                mail +
                "\n"
                "*.emerg\t\t\t\t:omusrmsg:*\n");
  const std::string journal = dir.File("journal");
  ASSERT_EQ(mkdir(journal.c_str(), 0755), 0);
  const std::string journal_file = journal + "/system.journal";
  ASSERT_TRUE(AppendJournal(journal_file,
                            ExportEntry(NowUsec(), {{"MESSAGE", "boot"}})));
  agent.SetEnv("TVX_SYSLOG_CONF", dir.File("rsyslog.conf"));
  agent.SetEnv("TVX_JOURNAL_DIR", journal);
  StartShipped(dir, &agent);
  ASSERT_TRUE(WaitWatching(agent, syslog)) << agent.Trace();
  ASSERT_TRUE(WaitWatching(agent, auth)) << agent.Trace();
  EXPECT_EQ(MonlogRow(agent, kern), "");
  EXPECT_EQ(MonlogRow(agent, journal), "");
  EXPECT_NE(MonlogRow(agent, haproxy), "");

  const time_t now = time(nullptr);
  const std::string io =
      SyslogLine(now, "web1", "kernel: [ 12.5] sda: I/O error, dev sda");
  AppendFile(kern, io);
  AppendFile(syslog, io);
  for (int i = 0; i < 3; ++i) {
    const std::string failed =
        SyslogLine(now, "web1",
                   "sshd[42]: Failed password for root from 10.0.0.7 port 22");
    AppendFile(auth, failed);
    ASSERT_TRUE(AppendJournal(
        journal_file,
        ExportEntry(NowUsec(), {{"SYSLOG_IDENTIFIER", "sshd"},
                                {"MESSAGE", "Failed password for root"}})));
  }
  AppendFile(syslog, SyslogLine(now, "web1", "app: marker line"));
  AppendFile(auth, SyslogLine(now, "web1", "sshd[42]: marker line"));
  ASSERT_TRUE(WaitUntil([&] { return EventsOf(agent, "marker") == 2; }))
      << agent.Trace();
  EXPECT_EQ(EventsOf(agent, "ioerr"), 1u) << agent.Events();
  EXPECT_EQ(EventsOf(agent, "sshfail"), 3u) << agent.Events();

  // Left out once, never opened nor retried.
  const std::string not_regular =
      "The file " + boot + " is not a regular file.";
  EXPECT_EQ(MonlogRow(agent, boot), "");
  EXPECT_EQ(LinesWith(agent.Trace(), not_regular).size(), 1u) << agent.Trace();
  EXPECT_EQ(LinesWith(agent.Trace(), "Error opening file " + haproxy).size(),
            1u)
      << agent.Trace();
  // rsyslog creates haproxy.log at its first message.
  WriteFile(haproxy, SyslogLine(now, "web1", "haproxy[7]: haproxy line"));
  ASSERT_TRUE(
      agent.WaitEvents("\"situation\":\"haproxy\"", std::chrono::seconds(60)))
      << agent.Trace();
  EXPECT_EQ(LinesWith(agent.Trace(), "Error opening file " + haproxy).size(),
            1u)
      << agent.Trace();
  EXPECT_EQ(LinesWith(agent.Trace(), not_regular).size(), 1u) << agent.Trace();
  EXPECT_EQ(LinesWith(agent.Trace(), "Error opening file " + boot).size(), 0u);
}

// Without a syslog configuration the shipped configuration watches the
// journal: each entry once.
TEST(DefaultsTest, JournalOnlyHostWatchesTheJournal) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string journal = dir.File("journal");
  ASSERT_EQ(mkdir(journal.c_str(), 0755), 0);
  const std::string journal_file = journal + "/system.journal";
  ASSERT_TRUE(AppendJournal(journal_file,
                            ExportEntry(NowUsec(), {{"MESSAGE", "boot"}})));
  agent.SetEnv("TVX_SYSLOG_CONF", dir.File("no-rsyslog.conf"));
  agent.SetEnv("TVX_JOURNAL_DIR", journal);
  StartShipped(dir, &agent);
  ASSERT_TRUE(WaitUntil([&] {
    return JsonField(MonlogRow(agent, journal), "MONSTATUS") == "Running";
  })) << agent.Trace();
  // Its worker starts at the journal's tail: markers until one is read.
  ASSERT_TRUE(WaitUntil(
      [&] {
        AppendJournal(journal_file,
                      ExportEntry(NowUsec(), {{"MESSAGE", "marker line"}}));
        return WaitUntil([&] { return EventsOf(agent, "marker") > 0; },
                         std::chrono::seconds(2));
      },
      std::chrono::seconds(30)))
      << agent.Trace();
  const size_t markers = EventsOf(agent, "marker");
  ASSERT_TRUE(AppendJournal(
      journal_file,
      ExportEntry(NowUsec(), {{"SYSLOG_IDENTIFIER", "kernel"},
                              {"MESSAGE", "sda: I/O error"}}) +
          ExportEntry(NowUsec() + 1, {{"MESSAGE", "last marker line"}})));
  ASSERT_TRUE(WaitUntil([&] { return EventsOf(agent, "marker") > markers; }))
      << agent.Trace();
  EXPECT_EQ(EventsOf(agent, "ioerr"), 1u) << agent.Events();
  for (const std::string& line : LinesWith(agent.Trace(), journal)) {
    EXPECT_EQ(line.find("rror"), std::string::npos) << agent.Trace();
  }
}

TEST(DefaultsTest, MissingSituationsFileRefusesTheStart) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  const std::string log = dir.File("messages");
  WriteFile(log, "");
  WriteFile(dir.File("qoragent.conf"), log + "\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  agent.SetEnv("HOV_SITUATIONS", dir.File("missing-situations"));
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.WaitExit(), 1) << agent.Output();
  EXPECT_NE(
      agent.Output().find("qoragent: the situations file " +
                          dir.File("missing-situations") + " does not exist"),
      std::string::npos)
      << agent.Output();
}

// The package's maintainer scripts in a scratch root where systemd does not
// run: the install says in one line that the agent was not started, and
// neither script fails.
TEST(DefaultsTest, MaintainerScriptsWithoutSystemdSayTheAgentWasNotStarted) {
  Scoped_Temp_Dir root;
  ASSERT_EQ(mkdir(root.File("bin").c_str(), 0755), 0);  // no systemd tools
  const std::map<std::string, std::string> env = {{"DPKG_ROOT", root.path()},
                                                  {"PATH", root.File("bin")}};
  const std::string scripts =
      std::string(QOR_SOURCE_DIR) + "/packaging/debian/";
  Run_Result r = RunProgram({"/bin/sh", scripts + "postinst", "configure", ""},
                            env, root.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out,
      "qoragent: not started (systemd is not running here); start it as "
      "/usr/share/doc/qoragent/README.md says under \"Without systemd\"\n");
  // An upgrade says the same; removal says nothing.
  r = RunProgram({"/bin/sh", scripts + "postinst", "configure", "0.9"}, env,
                 root.path());
  EXPECT_NE(r.out.find("not started"), std::string::npos) << r.out;
  for (const char* script : {"prerm", "postrm"}) {
    r = RunProgram({"/bin/sh", scripts + script, "remove"}, env, root.path());
    EXPECT_EQ(r.status, 0) << script << ": " << r.err;
    EXPECT_EQ(r.out, "") << script;
  }
}

}  // namespace
}  // namespace qortest
