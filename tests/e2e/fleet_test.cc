// Fleet requests over NATS: a real nats-server on loopback (JetStream in the
// test's directory) and three agents, asked at once through qorctl --fleet.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/e2e/nats_server.h"
#include "util/unique_fd.h"

namespace qortest {
namespace {

class FleetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kNatsServer, X_OK) != 0) {
      GTEST_SKIP() << "nats-server is not installed";
    }
    server_ = std::make_unique<Nats_Server>(dir_.path());
    ASSERT_TRUE(server_->WaitReady());
    url_ = server_->Url("qortest");
  }

  // An agent that watches `log` as the system `name`.
  Agent_Process* StartAgent(const std::string& name, const std::string& log) {
    dirs_.push_back(std::make_unique<Scoped_Temp_Dir>());
    const Scoped_Temp_Dir& d = *dirs_.back();
    agents_.push_back(std::make_unique<Agent_Process>(d));
    Agent_Process* a = agents_.back().get();
    WriteFile(d.File("qoragent.conf"), log + "\n");
    a->SetEnv("TVX_CONFIG_FILE", d.File("qoragent.conf"));
    a->SetEnv("HOV_SYSTEM_NAME", name);
    a->SetEnv("HOV_FLEET", url_);
    a->SetEnv("JOP_WEX1", "HOV100:ERROR,FLOW");
    EXPECT_TRUE(a->Start());
    return a;
  }

  Run_Result Fleet(std::vector<std::string> args) {
    args.insert(args.begin(), {QORCTL_PATH, "--fleet", url_});
    return RunProgram(args, {}, dir_.path());
  }

  // The hosts of the roster.
  std::set<std::string> Roster() {
    std::set<std::string> hosts;
    for (const std::string& line :
         LinesWith(Fleet({"--json", "hosts"}).out, "\"host\"")) {
      hosts.insert(JsonField(line, "host"));
    }
    return hosts;
  }

  Scoped_Temp_Dir dir_;
  std::unique_ptr<Nats_Server> server_;
  std::string url_;
  std::vector<std::unique_ptr<Scoped_Temp_Dir>> dirs_;
  std::vector<std::unique_ptr<Agent_Process>> agents_;
};

TEST_F(FleetTest, AsksEveryHostAtOnceAndTellsWhoDidNotAnswer) {
  // One log every agent watches: the same entries come from three hosts.
  const std::string log = dir_.File("shared.log");
  const time_t now = time(nullptr);
  std::string text;
  for (const long age : {400, 300, 200, 100}) {
    text +=
        SyslogLine(now - age, "h", "app[1]: entry aged " + std::to_string(age));
  }
  WriteFile(log, text);
  Agent_Process* a = StartAgent("web1.example:TVX", log);
  Agent_Process* b = StartAgent("web2.example:TVX", log);
  Agent_Process* c = StartAgent("db1:TVX", log);
  const std::set<std::string> all = {"web1.example:TVX", "web2.example:TVX",
                                     "db1:TVX"};
  ASSERT_TRUE(WaitUntil([&] { return Roster() == all; })) << a->Trace();

  // Every host's rows, merged newest first.
  const Run_Result r = Fleet({"--json", "entries", log, "--since", "-1h"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> rows = LinesWith(r.out, "\"ENTRYDESC\"");
  ASSERT_EQ(rows.size(), 12u) << r.out << r.err;
  std::set<std::string> newest;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) {
      EXPECT_GE(JsonField(rows[i - 1], "ENTRYTIME"),
                JsonField(rows[i], "ENTRYTIME"));
    }
    EXPECT_EQ(JsonField(rows[i], "host"), JsonField(rows[i], "ORIGINNODE"));
    if (i < 3) {
      EXPECT_EQ(JsonField(rows[i], "ENTRYDESC"), "entry aged 100");
      newest.insert(JsonField(rows[i], "host"));
    }
  }
  EXPECT_EQ(newest, all);
  EXPECT_NE(r.err.find("3 hosts answered"), std::string::npos) << r.err;

  // --host asks one host only; --limit cuts its rows, and says so.
  const Run_Result one =
      Fleet({"--json", "--host", "web2.example:TVX", "entries", log});
  EXPECT_EQ(one.status, 0) << one.err;
  const std::vector<std::string> its = LinesWith(one.out, "\"ENTRYDESC\"");
  ASSERT_EQ(its.size(), 4u) << one.out;
  for (const std::string& row : its) {
    EXPECT_EQ(JsonField(row, "host"), "web2.example:TVX");
  }
  const Run_Result cut =
      Fleet({"--json", "--limit", "2", "--host", "db1:TVX", "entries", log});
  EXPECT_EQ(cut.status, 0) << cut.err;
  EXPECT_EQ(LinesWith(cut.out, "\"ENTRYDESC\"").size(), 2u);
  EXPECT_NE(
      cut.err.find("db1:TVX: only the newest 2 rows: its row limit cut them"),
      std::string::npos)
      << cut.err;

  // A report that fails answers its error, shown for that host.
  const Run_Result missing =
      Fleet({"--host", "web1.example:TVX", "entries", dir_.File("none")});
  EXPECT_EQ(missing.status, 3);
  EXPECT_NE(missing.err.find("web1.example:TVX failed: " + dir_.File("none") +
                             " is not a monitored log"),
            std::string::npos)
      << missing.err;
  // On that host, a flow-level line, not an error.
  EXPECT_TRUE(a->WaitTrace("Fleet request answered: " + dir_.File("none") +
                           " is not a monitored log."))
      << a->Trace();

  // A host killed outright stays in the roster and shows as not answering;
  // the others' rows still come.
  ASSERT_TRUE(c->Signal(SIGKILL));
  c->WaitExit();
  const Run_Result after = Fleet({"--json", "--timeout", "2", "entries", log});
  EXPECT_EQ(after.status, 3) << after.err;
  EXPECT_EQ(LinesWith(after.out, "\"ENTRYDESC\"").size(), 8u);
  EXPECT_NE(after.err.find("db1:TVX did not answer"), std::string::npos)
      << after.err;

  // A host stopped cleanly leaves the roster; the killed one's entry lives.
  ASSERT_TRUE(b->Signal(SIGTERM));
  EXPECT_EQ(b->WaitExit(), 0);
  EXPECT_TRUE(WaitUntil([&] {
    return Roster() == std::set<std::string>{"web1.example:TVX", "db1:TVX"};
  }));

  // A server that goes away and comes back: the agent connects again by
  // itself and answers.
  server_->Stop();
  EXPECT_EQ(Fleet({"--host", "web1.example:TVX", "ping"}).status, 2);
  server_->Start();
  ASSERT_TRUE(server_->WaitReady());
  EXPECT_TRUE(WaitUntil([&] {
    return Fleet({"--host", "web1.example:TVX", "ping"}).status == 0;
  })) << a->Trace();
  EXPECT_TRUE(a->Running());
  // The loss and the return are each traced once, however many tries the
  // outage took.
  const auto times = [&](const std::string& what) {
    const std::string trace = a->Trace();
    size_t n = 0;
    for (size_t at = trace.find(what); at != std::string::npos;
         at = trace.find(what, at + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_TRUE(WaitUntil([&] { return times("NATS connection made") == 2; }))
      << a->Trace();
  EXPECT_EQ(times("NATS connection lost"), 1u) << a->Trace();
}

// --host takes a roster entry's system name or its host part; a name that
// several entries have is refused with them, an unknown one or another
// prefix's at once; the roster lists the agents of the prefix asked.
TEST_F(FleetTest, HostNamesAreFoundInTheRosterOfThePrefix) {
  const std::string log = dir_.File("one.log");
  WriteFile(log, SyslogLine(time(nullptr) - 60, "h", "app[1]: an entry"));
  StartAgent("web1.example:TVX", log);
  StartAgent("db1:TVX", log);
  StartAgent("db1:APP", log);
  const std::set<std::string> all = {"web1.example:TVX", "db1:TVX", "db1:APP"};
  ASSERT_TRUE(WaitUntil([&] { return Roster() == all; }));
  for (const std::string& line :
       LinesWith(Fleet({"--json", "hosts"}).out, "\"host\"")) {
    EXPECT_EQ(JsonField(line, "prefix"), "qortest") << line;
  }

  for (const char* name : {"web1", "web1.example", "web1.example:TVX"}) {
    const Run_Result r = Fleet({"--json", "--host", name, "ping"});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(LinesWith(r.out, "\"web1.example:TVX\"").size(), 1u)
        << name << ": " << r.out;
  }
  Run_Result r = Fleet({"--host", "db1", "ping"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "qorctl: db1 names 2 agents in the roster of qortest: db1:APP, "
            "db1:TVX\n");
  // The ping table has the local ping's columns, not JSON.
  r = Fleet({"--host", "db1:APP", "ping"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("HOST", 0), 0u) << r.out;
  for (const char* column : {"PID", "WRITTEN", "RETRIED", "LOST"}) {
    EXPECT_NE(r.out.find(column), std::string::npos) << r.out;
  }
  EXPECT_NE(r.out.find("\ndb1:APP "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('{'), std::string::npos) << r.out;
  r = Fleet({"--host", "web9", "ping"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "qorctl: no agent in the roster of qortest is named web9\n");

  // Another prefix: no agent of it, said at once.
  const std::string other = server_->Url("elsewhere");
  r = RunProgram({QORCTL_PATH, "--fleet", other, "--host", "web1", "ping"}, {},
                 dir_.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "qorctl: no agent in the roster of elsewhere is named web1\n");
  r = RunProgram({QORCTL_PATH, "--fleet", other, "--json", "hosts"}, {},
                 dir_.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  // A usage error is status 2, as without --fleet.
  EXPECT_EQ(Fleet({"--limit"}).status, 2);
}

}  // namespace
}  // namespace qortest
