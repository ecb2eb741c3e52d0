// Tests of qorctl's commands against an agent runtime in the test.
#include "tools/qorctl_command.h"

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/control/control_server.h"
#include "framework/events/event_stream.h"
#include "framework/situations/situation_registry.h"
#include "framework/tables/table_manager.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxmonlog_manager.h"
#include "tables/x7srv_rnodests_manager.h"
#include "tests/testutil.h"
#include "tools/table_format.h"
#include "util/socket_path.h"

namespace {

constexpr time_t kNow = 1796697000;  // 2026-12-08 02:30:00 UTC

std::string Line(const std::vector<std::string>& args) {
  Qorctl_Options o;
  std::string line, err;
  if (!ParseQorctlArgs(args, &o, &err) || !QorctlRequestLine(o, kNow, &line, &err)) {
    return "error: " + err;
  }
  return line;
}

TEST(QorctlCommandTest, CommandsBecomeRequestLines) {
  setenv("TZ", "UTC", 1);
  tzset();
  char cwd_buf[4096];
  const std::string cwd = getcwd(cwd_buf, sizeof cwd_buf) != nullptr ? cwd_buf : "";
  const struct {
    std::vector<std::string> args;
    std::string result;
  } cases[] = {
      {{"ping"}, "PING"},
      {{"--json", "logs"}, "REPORT VXMONLOG"},
      {{"node", "--socket", "/tmp/s"}, "REPORT X7SRV.RNODESTS"},
      {{"situations"}, "SITUATION LIST"},
      {{"situation", "list"}, "SITUATION LIST"},
      {{"situation", "reload"}, "SITUATION RELOAD"},
      {{"situation", "del", "ssh"}, "SITUATION DEL ssh"},
      {{"situation", "add", "ssh", "VXLOGENT", "ENTRYSRC", "~", "\"sshd\"",
        "AND", "FREQTHRESH", ">=", "-5"},
       "SITUATION ADD ssh VXLOGENT ENTRYSRC ~ \"sshd\" AND FREQTHRESH >= -5"},
      {{"situation", "add", "all", "VXLOGENT"}, "SITUATION ADD all VXLOGENT"},
      {{"raw", "REPORT VXMONLOG WHERE LOGTYPE == \"S\""},
       "REPORT VXMONLOG WHERE LOGTYPE == \"S\""},
      {{"raw", "SITUATION", "LIST"}, "SITUATION LIST"},
      {{"entries", "/var/log/syslog"},
       "STREAM REPORT VXLOGENT WHERE LOGPATH == \"/var/log/\" AND LOGNAME == \"syslog\" AND ENTRYTIME >= "
       "\"1261208013000000\" AND ENTRYTIME <= \"1261208023000999\""},
      {{"entries", "--since", "2026-12-01", "/var/log/a\"b\\c",
        "--until=2026-12-07"},
       "STREAM REPORT VXLOGENT WHERE LOGPATH == \"/var/log/\" AND LOGNAME == \"a\\\"b\\\\c\" AND ENTRYTIME "
       ">= \"1261201000000000\" AND ENTRYTIME <= \"1261207235959999\""},
      {{"entries", "app.log", "--since", "-1d", "--until", "-2h"},
       "STREAM REPORT VXLOGENT WHERE LOGPATH == \"" + cwd +
           "/\" AND LOGNAME == \"app.log\" AND ENTRYTIME "
           ">= \"1261207023000000\" AND ENTRYTIME <= \"1261208003000999\""},
      // Values and condition words that start with '-' are taken as they are.
      {{"entries", "app.log", "--since=-1d", "--until=-2h"},
       "STREAM REPORT VXLOGENT WHERE LOGPATH == \"" + cwd +
           "/\" AND LOGNAME == \"app.log\" AND ENTRYTIME "
           ">= \"1261207023000000\" AND ENTRYTIME <= \"1261208003000999\""},
      {{"--json", "situation", "add", "logs", "VXMONLOG", "NUMEVENTS", ">",
        "-1", "--json", "-x", "--"},
       "SITUATION ADD logs VXMONLOG NUMEVENTS > -1 --json -x --"},
      // Once a command is named, command names are plain words.
      {{"situation", "del", "logs"}, "SITUATION DEL logs"},
      {{"events", "ping", "raw"}, "EVENTS ping raw"},
      // Wrong arguments.
      {{},
       "error: expected a command: ping, logs, node, entries, situations, situation, alerts, events, top or raw"},
      {{"status"},
       "error: unknown command \"status\"; expected ping, logs, node, entries, situations, situation, alerts, events, top or raw"},
      {{"ping", "now"}, "error: usage: qorctl ping"},
      {{"--verbose", "ping"}, "error: unknown option --verbose"},
      {{"situation", "add", "--verbose", "ssh", "VXLOGENT", "ENTRYSRC", "~",
        "\"sshd\""},
       "error: unknown option --verbose"},
      {{"ping", "--socket"}, "error: option --socket needs a value"},
      {{"ping", "--socket="}, "error: option --socket needs a value"},
      {{"logs", "--since", "-1h"},
       "error: --since and --until belong to the entries command"},
      {{"entries"},
       "error: usage: qorctl entries PATH [--since T] [--until T]"},
      {{"entries", "/var/log/"},
       "error: /var/log/ names a directory; expected the path of a log file"},
      {{"entries", "/var/log/x", "--since", "soon"},
       "error: --since: bad time \"soon\"; expected YYYY-MM-DD[ HH:MM[:SS]], now, or -N with s, m, "
       "h or d (such as -30m, -2h, -1d)"},
      {{"entries", "/var/log/x", "--until", "2026-02-30"},
       "error: --until: bad time \"2026-02-30\"; no such date or time (years 1900 to 2899)"},
      {{"entries", "/var/log/x", "--since", "now", "--until", "-1h"},
       "error: --since (now) is later than --until (-1h)"},
      {{"entries", "/var/log/" + std::string(130, 'n')},
       "error: the agent keeps at most 256 bytes of a log's directory and 128 of its file name; "
       "/var/log/" +
           std::string(130, 'n') + " is longer"},
      {{"situation"},
       "error: usage: qorctl situation add NAME TABLE CONDITION... | situation del NAME | situation reload"},
      {{"situation", "add", "ssh"},
       "error: usage: qorctl situation add NAME TABLE CONDITION..."},
      {{"situation", "add", "two words", "VXLOGENT"},
       "error: the situation name must be one word, without blanks"},
      {{"situation", "del"}, "error: usage: qorctl situation del NAME"},
      {{"raw"}, "error: usage: qorctl raw 'REQUEST LINE'"},
      {{"raw", "PING\nPING"}, "error: arguments must not contain line breaks"},
      // After "--" everything is an argument.
      {{"raw", "--", "--json"}, "--json"},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) {
      shown += a.substr(0, 40) + " ";
    }
    EXPECT_EQ(Line(c.args), c.result) << shown;
  }
  unsetenv("TZ");
  tzset();
}

// Runs QorctlMain and keeps what it printed.
struct Ctl_Run {
  int status;
  std::string out;
  std::string err;
};

Ctl_Run Qorctl(std::vector<std::string> args,
               const std::vector<std::string>& service = {
                   QORCTL_SERVICE_SOCKET}) {
  char* out_text = nullptr;
  char* err_text = nullptr;
  size_t out_size = 0, err_size = 0;
  FILE* out = open_memstream(&out_text, &out_size);
  FILE* err = open_memstream(&err_text, &err_size);
  Ctl_Run r;
  r.status = QorctlMain(args, out, err, service);
  fclose(out);
  fclose(err);
  r.out = out_text;
  r.err = err_text;
  free(out_text);
  free(err_text);
  return r;
}

class QorctlMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TableManager::Find("X7SRV.RNODESTS") == nullptr) {
      ASSERT_EQ(x7srv_rnodests_init(), 0u);
      ASSERT_EQ(tvx_vxmonlog_init(), 0u);
      ASSERT_EQ(tvx_vxlogent_init(), 0u);
    }
    Situation_Registry::Instance().Clear();
    socket_ = dir_.File("agent.sock");
    setenv("HOV_SOCKET", socket_.c_str(), 1);
    setenv("HOV_SYSTEM_NAME", "ctltest:TVX", 1);
  }
  void TearDown() override {
    Control_Server::Stop();
    Situation_Registry::Instance().Clear();
    unsetenv("HOV_SOCKET");
    unsetenv("HOV_SYSTEM_NAME");
  }
  void StartServer() {
    std::string err;
    ASSERT_TRUE(Control_Server::Start(&err)) << err;
  }

  qortest::Scoped_Temp_Dir dir_;
  qortest::TraceCapture trace_{"ERROR"};
  std::string socket_;
};

TEST_F(QorctlMainTest, UnreachableAgentIsStatusTwoAndSaysHowToStartIt) {
  const Ctl_Run r = Qorctl({"ping"});
  EXPECT_EQ(r.status, QORCTL_UNREACHABLE);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "qorctl: cannot reach the agent at " + socket_ +
                       ": No such file or directory\nStart it with 'qoragent' (HOV_SOCKET=" + socket_ +
                       " if that is not its default), or name its socket with --socket PATH.\n");
}

TEST_F(QorctlMainTest, HelpAndBadArguments) {
  Ctl_Run r = Qorctl({"--help"});
  EXPECT_EQ(r.status, QORCTL_OK);
  EXPECT_EQ(r.out, QorctlUsage(socket_));
  EXPECT_EQ(r.out.rfind("\n\nSee qorctl(1).\n"), r.out.size() - 17);
  EXPECT_NE(r.out.find("by default --since -1h --until now"), std::string::npos);
  EXPECT_NE(r.out.find("(now: " + socket_ + ")"), std::string::npos);
  for (const char* command : {"entries", "situation"}) {
    r = Qorctl({command, "--help"});
    EXPECT_EQ(r.status, QORCTL_OK);
    EXPECT_NE(r.out.find(std::string("Usage: qorctl ") + command), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("See qorctl(1)."), std::string::npos) << r.out;
  }
  EXPECT_NE(Qorctl({"entries", "-h"}).out.find("--since"), std::string::npos);
  EXPECT_NE(Qorctl({"situation", "add", "--help"}).out.find("NAME TABLE CONDITION..."),
            std::string::npos);
  r = Qorctl({"--version"});
  EXPECT_EQ(r.status, QORCTL_OK);
  EXPECT_EQ(r.out.rfind("qorctl 1.", 0), 0u) << r.out;
  r = Qorctl({"frobnicate"});
  EXPECT_EQ(r.status, QORCTL_USAGE);
  EXPECT_EQ(
      r.err,
      "qorctl: unknown command \"frobnicate\"; expected ping, logs, node, entries, situations, "
      "situation, alerts, events, top or raw\nRun 'qorctl --help' for usage.\n");
}

TEST_F(QorctlMainTest, TablesByDefaultJsonOnRequest) {
  StartServer();
  Ctl_Run r = Qorctl({"ping"});
  EXPECT_EQ(r.status, QORCTL_OK);
  EXPECT_EQ(r.out, "qoragent at " + socket_ + " is alive (pid " +
                       std::to_string(getpid()) +
                       ", system ctltest:TVX)\n"
                       "  events: 0 written, 0 retried, 0 lost\n");
  r = Qorctl({"ping", "--json"});
  EXPECT_EQ(
      r.out,
      "{\"pid\":" + std::to_string(getpid()) +
          ",\"system\":\"ctltest:TVX\",\"events_written\":0,\"events_lost\":0,"
          "\"events_retried\":0,"
          "\"actions_dropped\":0,\"keys_evicted\":0,\"metrics\":\"off\"}\n");

  r = Qorctl({"situation", "add", "ssh", "VXLOGENT", "ENTRYSRC ~ \"sshd\"", "AND", "ENTRYDESC", "~",
              "\"Failed password\""});
  EXPECT_EQ(r.status, QORCTL_OK) << r.err;
  EXPECT_EQ(r.out, "situation ssh added on TVX.VXLOGENT\n");
  r = Qorctl({"situation", "add", "quiet", "tvx.vxmonlog", "LOGMODDATE < \"-1h\" THROTTLE 3600"});
  EXPECT_EQ(r.out, "situation quiet added on TVX.VXMONLOG\n");
  r = Qorctl({"situations"});
  EXPECT_EQ(r.out,
            "NAME   TABLE         STATE    CONDITION                                            CLAUSES\n"
            "quiet  TVX.VXMONLOG  running  LOGMODDATE < \"-1h\"                                   THROTTLE 3600\n"
            "ssh    TVX.VXLOGENT  running  ENTRYSRC ~ \"sshd\" AND ENTRYDESC ~ \"Failed password\"\n");
  r = Qorctl({"--json", "situations"});
  EXPECT_EQ(
      r.out,
      "{\"name\":\"quiet\",\"table\":\"TVX.VXMONLOG\",\"condition\":\"LOGMODDATE < "
      "\\\"-1h\\\"\",\"clauses\":\"THROTTLE 3600\",\"stopped\":false,\"reason\":0,"
      "\"matches\":0,\"events\":0,\"suppressed\":0}\n"
      "{\"name\":\"ssh\",\"table\":\"TVX.VXLOGENT\",\"condition\":\"ENTRYSRC ~ \\\"sshd\\\" AND "
      "ENTRYDESC ~ \\\"Failed password\\\"\",\"stopped\":false,\"reason\":0,"
      "\"matches\":0,\"events\":0,\"suppressed\":0}\n");
  r = Qorctl({"situation", "del", "quiet"});
  EXPECT_EQ(r.out, "situation quiet deleted\n");
  r = Qorctl({"situation", "del", "quiet"});
  EXPECT_EQ(r.status, QORCTL_ERR);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "qorctl: no situation named quiet\n");

  r = Qorctl({"logs"});  // no log manager in this process: no rows
  EXPECT_EQ(r.out, "PATH  TYPE  MONSTATUS  NUMEVENTS  NUMERRORS  LOGSIZE  LOGMODDATE\n");
  r = Qorctl({"node"});
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
            "ORIGINNODE  NODETYPE  PRODUCT  VERSION   AFFINITIES  TIMESTAMP");
  r = Qorctl({"raw", "REPORT X7SRV.RNODESTS WHERE SAMPLENO == 1"});
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
            "SAMPLENO  ORIGINNODE  NODETYPE  ONLINE  X7ONLINE  PRODUCT  VERSION   EXPIRYTIME  "
            "AFFINITIES  TIMESTAMP");
  r = Qorctl({"raw", "REPORT X7SRV.RNODESTS WHERE SAMPLENO == 2"});
  EXPECT_EQ(r.status, QORCTL_OK);
  EXPECT_EQ(r.out, "");

  r = Qorctl({"entries", "/var/log/none.log"});
  EXPECT_EQ(r.status, QORCTL_ERR);
  EXPECT_EQ(r.err,
            "qorctl: /var/log/none.log is not a monitored log; 'qorctl logs' lists those that are\n");
  r = Qorctl({"situation", "reload"});
  EXPECT_EQ(r.status, QORCTL_ERR);
  EXPECT_EQ(r.err,
            "qorctl: no situations file to reload: HOV_SITUATIONS was not set when the agent "
            "started\n");
}

TEST_F(QorctlMainTest,
       WithoutHovSocketTheServiceSocketIsTriedFirstThenTheUsersDefault) {
  StartServer();
  unsetenv("HOV_SOCKET");
  const std::string missing = dir_.File("no-service.sock");
  // The service's socket answers.
  Ctl_Run r = Qorctl({"ping"}, {missing, socket_});
  EXPECT_EQ(r.status, QORCTL_OK) << r.err;
  EXPECT_EQ(r.out.rfind("qoragent at " + socket_ + " is alive", 0), 0u)
      << r.out;
  EXPECT_EQ(QorctlSockets("", {missing}),
            (std::vector<std::string>{missing, HOV_DefaultSocketPath()}));
  EXPECT_EQ(QorctlSockets("/x.sock", {missing}),
            std::vector<std::string>{"/x.sock"});

  // None answers: every path tried is named, with what connecting said.
  r = Qorctl({"ping"}, {missing});
  EXPECT_EQ(r.status, QORCTL_UNREACHABLE);
  EXPECT_NE(r.err.find("qorctl: no agent answers; tried:\n  " + missing +
                       ": No such file or directory\n  " +
                       HOV_DefaultSocketPath() + ": "),
            std::string::npos)
      << r.err;
  // HOV_SOCKET, when set, is the only one tried.
  setenv("HOV_SOCKET", missing.c_str(), 1);
  r = Qorctl({"ping"}, {socket_});
  EXPECT_EQ(r.status, QORCTL_UNREACHABLE);
  EXPECT_EQ(
      r.err.rfind("qorctl: cannot reach the agent at " + missing + ": ", 0), 0u)
      << r.err;
}

TEST_F(QorctlMainTest, TopPrintsOneViewWhenNotOnATerminal) {
  StartServer();
  ASSERT_EQ(
      Qorctl({"situation", "add", "busy", "VXLOGENT", "ENTRYDESC ~ \"x\""})
          .status,
      QORCTL_OK);
  const Ctl_Run r = Qorctl({"top"});
  EXPECT_EQ(r.status, QORCTL_OK) << r.err;
  EXPECT_EQ(r.out.rfind("qoragent ctltest:TVX pid " + std::to_string(getpid()) +
                            " at " + socket_ + "   events 0 (0.0/s)",
                        0),
            0u)
      << r.out;
  EXPECT_NE(
      r.out.find(
          "\nLOG  TYPE  STATUS  LINES/S  LINES  ERRORS  ERRORS/S  CHANGED\n"),
      std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nbusy       TVX.VXLOGENT  running"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("\033["),
            std::string::npos);  // no screen control in a file
}

TEST_F(QorctlMainTest, EventsEndWithStatusOneWhenTheAgentGoesAway) {
  StartServer();
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  FILE* out = fdopen(pipe_fds[1], "w");
  char* err_text = nullptr;
  size_t err_size = 0;
  FILE* err = open_memstream(&err_text, &err_size);
  int status = -1;
  std::thread follower([&] {
    status = QorctlMain({"--json", "events"}, out, err);
  });
  // Once an event comes through, the stream is open: then the agent stops.
  std::string seen;
  ASSERT_TRUE(qortest::WaitUntil([&] {
    Event_Streams::Publish("s", "{\"situation\":\"s\"}\n");
    struct pollfd p = {pipe_fds[0], POLLIN, 0};
    char buf[256];
    if (poll(&p, 1, 10) == 1) {
      const ssize_t n = read(pipe_fds[0], buf, sizeof buf);
      seen.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return !seen.empty();
  }));
  Control_Server::Stop();
  follower.join();
  fclose(out);
  close(pipe_fds[0]);
  fclose(err);
  EXPECT_EQ(status, QORCTL_ERR);
  EXPECT_EQ(std::string(err_text),
            "qorctl: the agent at " + socket_ +
                " ended the event stream (it stopped or went away)\n");
  free(err_text);
}

// An event line for people: host, situation, key and the entry's text, cut
// to the terminal's width; a throttle's summary shows its count.
TEST(QorctlEventTextTest, ShowsHostSituationKeyAndTextCutToTheWidth) {
  const std::string row =
      "{\"time\":\"2026-03-05T07:08:09.000Z\",\"situation\":\"ssh_guess\","
      "\"table\":\"TVX.VXLOGENT\",\"key\":\"192.0.2.7\",\"row\":{"
      "\"ORIGINNODE\":\"web1:TVX\",\"ENTRYSRC\":\"sshd\","
      "\"ENTRYDESC\":\"Failed password for root from 192.0.2.7\"}}";
  const std::string stamp = ReadableUtc("2026-03-05T07:08:09.000Z");
  std::string text;
  ASSERT_TRUE(QorctlEventText(row, "-", 0, &text));
  EXPECT_EQ(text, stamp +
                      "  web1:TVX  ssh_guess  [192.0.2.7]  sshd: Failed "
                      "password for root from 192.0.2.7");
  ASSERT_TRUE(QorctlEventText(row, "-", 40, &text));
  EXPECT_EQ(text, (stamp + "  web1:TVX  ssh_guess  [192.0.2.7]").substr(0, 37) +
                      "...");

  ASSERT_TRUE(QorctlEventText(
      "{\"time\":\"2026-03-05T07:08:09.000Z\",\"situation\":\"noisy\","
      "\"table\":\"TVX.VXLOGENT\",\"suppressed\":41}",
      "db1:TVX", 0, &text));
  EXPECT_EQ(text,
            stamp + "  db1:TVX  noisy  41 more events held back by THROTTLE");
}

}  // namespace
