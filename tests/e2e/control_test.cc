// The control socket of the built qoragent, driven by the built qorctl.
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/testutil.h"
#include "tools/json_line.h"
#include "util/unique_fd.h"

namespace {

using qortest::Agent_Process;
using qortest::Run_Result;
using qortest::Scoped_Temp_Dir;
using qortest::WaitUntil;

// Starts `agent` watching one empty log and waits until it answers.
void StartWatching(Agent_Process* agent, const Scoped_Temp_Dir& dir) {
  qortest::WriteFile(dir.File("app.log"), "");
  qortest::WriteFile(dir.File("qoragent.conf"), dir.File("app.log") + "\n");
  agent->SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  ASSERT_TRUE(agent->Start());
  ASSERT_TRUE(WaitUntil([&] { return agent->Ctl({"ping"}).status == 0; })) << agent->Output();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', at)) {
    out.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return out;
}

// Each line of --json output as fields; fails the test on a line that is not
// one JSON object.
std::vector<std::vector<Json_Field>> JsonRows(const Run_Result& r) {
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::vector<Json_Field>> rows;
  for (const std::string& line : Lines(r.out)) {
    std::vector<Json_Field> fields;
    std::string err;
    EXPECT_TRUE(ParseJsonLine(line, &fields, &err)) << err << ": " << line;
    rows.push_back(fields);
  }
  return rows;
}

std::string Field(const std::vector<Json_Field>& row, const char* key) {
  const Json_Field* f = FindJsonField(row, key);
  return f != nullptr ? f->text : "<none>";
}

Unique_Fd ConnectTo(const std::string& path) {
  Unique_Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    fd.reset();
  }
  return fd;
}

TEST(ControlTest, QorctlDrivesTheAgent) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  StartWatching(&agent, dir);
  struct stat st;
  ASSERT_EQ(stat(agent.Socket().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Run_Result r = agent.Ctl({"ping"});
  EXPECT_EQ(r.out, "qoragent at " + agent.Socket() + " is alive (pid " +
                       std::to_string(agent.Pid()) +
                       ", system testhost:TVX)\n" +
                       "  events: 0 written, 0 retried, 0 lost\n");

  // Situations: add, list, delete.
  r = agent.Ctl({"situation", "add", "ssh", "VXLOGENT", "ENTRYSRC ~ \"sshd\"", "AND",
                 "ENTRYDESC", "=~", "\"Failed (password|publickey)\""});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "situation ssh added on TVX.VXLOGENT\n");
  r = agent.Ctl({"situation", "add", "quiet", "VXMONLOG", "LOGMODDATE < \"-1h\""});
  EXPECT_EQ(r.out, "situation quiet added on TVX.VXMONLOG\n");
  r = agent.Ctl({"situation", "add", "ssh", "VXLOGENT"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qorctl: situation ssh already exists\n");
  r = agent.Ctl({"situations"});
  EXPECT_EQ(r.out,
            "NAME   TABLE         STATE    CONDITION                                                         CLAUSES\n"
            "quiet  TVX.VXMONLOG  running  LOGMODDATE < \"-1h\"\n"
            "ssh    TVX.VXLOGENT  running  ENTRYSRC ~ \"sshd\" AND ENTRYDESC =~ \"Failed "
            "(password|publickey)\"\n");
  std::vector<std::vector<Json_Field>> rows = JsonRows(agent.Ctl({"--json", "situations"}));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(Field(rows[1], "name"), "ssh");
  EXPECT_EQ(Field(rows[1], "condition"),
            "ENTRYSRC ~ \"sshd\" AND ENTRYDESC =~ \"Failed (password|publickey)\"");
  EXPECT_EQ(Field(rows[1], "stopped"), "false");
  r = agent.Ctl({"situation", "del", "ssh"});
  EXPECT_EQ(r.out, "situation ssh deleted\n");
  r = agent.Ctl({"situation", "del", "quiet"});
  EXPECT_EQ(r.status, 0);
  r = agent.Ctl({"situations"});
  EXPECT_EQ(r.out, "NAME  TABLE  STATE  CONDITION  CLAUSES\n");

  // A report on each table, as a table and as JSON lines.
  const std::string dir_part = dir.path() + "/";
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"logs"}).out.find(dir.File("app.log")) != std::string::npos; }))
      << agent.Ctl({"logs"}).out;
  r = agent.Ctl({"logs"});
  EXPECT_EQ(Lines(r.out).at(0).substr(0, 4), "PATH");
  rows = JsonRows(agent.Ctl({"--json", "logs"}));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(Field(rows[0], "LOGPATH"), dir_part);
  EXPECT_EQ(Field(rows[0], "LOGNAME"), "app.log");
  EXPECT_EQ(Field(rows[0], "LOGTYPE"), "S");
  EXPECT_EQ(Field(rows[0], "LOGSIZE"), "0");

  r = agent.Ctl({"node"});
  EXPECT_NE(r.out.find("testhost:TVX"), std::string::npos) << r.out;
  rows = JsonRows(agent.Ctl({"--json", "node"}));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(Field(rows[0], "ORIGINNODE"), "testhost:TVX");
  EXPECT_EQ(Field(rows[0], "SAMPLENO"), "1");

  r = agent.Ctl({"entries", dir.File("app.log"), "--since", "-1d"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ENTRYTIME  ENTRYSYS  ENTRYSRC  ENTRYTYPE  ENTRYCLASS  ENTRYDESC\n");
  rows = JsonRows(agent.Ctl({"--json", "entries", dir.File("app.log")}));
  EXPECT_EQ(rows.size(), 0u);
  r = agent.Ctl({"entries", dir.File("other.log")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qorctl: " + dir.File("other.log") +
                       " is not a monitored log; 'qorctl logs' lists those that are\n");

  // Bad requests are answered with one ERR line and the agent goes on.
  r = agent.Ctl({"raw", "REPORT VXMONLOG WHERE NUMEVENTS > \"x\""});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qorctl: column NUMEVENTS is an integer; expected a numeric value\n");
  r = agent.Ctl({"raw", "SITUATION ADD x VXLOGENT ENTRYDESC ~ \"open"});
  EXPECT_EQ(r.err, "qorctl: expected a closing quote for the text that starts at column 38\n");
  r = agent.Ctl({"raw", "REPORT VXMONLOG WHERE LOGNAME =~ \"(\""});
  EXPECT_EQ(r.err, "qorctl: bad regular expression at column 34: missing ): (\n");
  r = agent.Ctl({"raw", std::string(5000, 'x')});
  EXPECT_EQ(r.err, "qorctl: request line longer than 4096 bytes\n");
  EXPECT_EQ(agent.Ctl({"ping"}).status, 0);

  // Stopping removes the socket; then qorctl says the agent is unreachable.
  ASSERT_TRUE(agent.Signal(SIGTERM));
  EXPECT_EQ(agent.WaitExit(), 0) << agent.Output();
  EXPECT_NE(access(agent.Socket().c_str(), F_OK), 0);
  r = agent.Ctl({"ping"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "qorctl: cannot reach the agent at " + agent.Socket() +
                       ": No such file or directory\nStart it with 'qoragent' (HOV_SOCKET=" +
                       agent.Socket() +
                       " if that is not its default), or name its socket with --socket PATH.\n");
}

TEST(ControlTest, SecondAgentOnTheSameSocketRefusesToStart) {
  Scoped_Temp_Dir dir;
  Agent_Process first(dir);
  StartWatching(&first, dir);

  Scoped_Temp_Dir other_dir;
  Agent_Process second(other_dir);
  second.SetEnv("HOV_SOCKET", first.Socket());
  second.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
  ASSERT_TRUE(second.Start());
  EXPECT_EQ(second.WaitExit(), 1);
  EXPECT_NE(second.Output().find("qoragent: another qoragent is already serving on " +
                                 first.Socket() +
                                 "; stop it first or set HOV_SOCKET to another path\n"),
            std::string::npos)
      << second.Output();
  EXPECT_EQ(first.Ctl({"ping"}).status, 0);  // the first keeps its socket
}

TEST(ControlTest, StaleSocketOfAKilledAgentIsReplaced) {
  Scoped_Temp_Dir dir;
  Agent_Process first(dir);
  StartWatching(&first, dir);
  ASSERT_TRUE(first.Signal(SIGKILL));
  first.WaitExit();
  ASSERT_EQ(access(first.Socket().c_str(), F_OK), 0);  // left behind
  EXPECT_EQ(first.Ctl({"ping"}).status, 2);

  Agent_Process second(dir);
  StartWatching(&second, dir);
  EXPECT_NE(second.Ctl({"ping"}).out.find("(pid " + std::to_string(second.Pid()) + ","),
            std::string::npos);
}

TEST(ControlTest, SilentClientDoesNotBlockAnotherAndIsDroppedAfterFiveSeconds) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  StartWatching(&agent, dir);
  Unique_Fd silent = ConnectTo(agent.Socket());
  ASSERT_TRUE(silent.valid());

  const auto start = std::chrono::steady_clock::now();
  const Run_Result r = agent.Ctl({"ping"});
  EXPECT_EQ(r.status, 0) << r.err;
  pollfd p = {silent.get(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);  // still waiting for its line: not dropped yet

  // Then it is told why and dropped.
  std::string got;
  char buf[256];
  ssize_t n;
  while (poll(&p, 1, 10000) > 0 && (n = recv(silent.get(), buf, sizeof buf, 0)) > 0) {
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, "ERR no request line within 5 seconds\n");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
}

TEST(ControlTest, PingIsAnsweredWhileManyClientsHoldIdleConnections) {
  Scoped_Temp_Dir dir;
  Agent_Process agent(dir);
  StartWatching(&agent, dir);
  // More idle clients than the agent serves requests at once, one of them
  // with half a line.
  std::vector<Unique_Fd> idle;
  for (int i = 0; i < 40; ++i) {
    idle.push_back(ConnectTo(agent.Socket()));
    ASSERT_TRUE(idle.back().valid()) << i;
  }
  ASSERT_EQ(send(idle[0].get(), "SITUATION LI", 12, MSG_NOSIGNAL), 12);
  const Run_Result r = agent.Ctl({"ping"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("is alive (pid " + std::to_string(agent.Pid()) + ","),
            std::string::npos)
      << r.out;
  // A request other than PING is served as well.
  EXPECT_EQ(agent.Ctl({"situations"}).status, 0);
}

}  // namespace
