// The fleet's situations: a real nats-server on loopback and three agents
// that take the situations kept in its bucket, changed through qorctl
// --fleet situation ...
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/e2e/nats_server.h"

namespace qortest {
namespace {

class FleetSituationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kNatsServer, X_OK) != 0) {
      GTEST_SKIP() << "nats-server is not installed";
    }
    server_ = std::make_unique<Nats_Server>(dir_.path());
    ASSERT_TRUE(server_->WaitReady());
    url_ = server_->Url("qortest");
    log_ = dir_.File("shared.log");
    WriteFile(log_, "");
  }

  // An agent named `name` that takes the fleet's situations, watching the
  // shared log, its state file in its own directory.
  Agent_Process* StartAgent(const std::string& name,
                            const std::string& groups = "",
                            const std::string& situations = "") {
    dirs_.push_back(std::make_unique<Scoped_Temp_Dir>());
    const Scoped_Temp_Dir& d = *dirs_.back();
    agents_.push_back(std::make_unique<Agent_Process>(d));
    Agent_Process* a = agents_.back().get();
    WriteFile(d.File("qoragent.conf"), log_ + "\n");
    a->SetEnv("TVX_CONFIG_FILE", d.File("qoragent.conf"));
    a->SetEnv("TVX_STATE_FILE", d.File("state"));
    a->SetEnv("HOV_SYSTEM_NAME", name);
    a->SetEnv("HOV_FLEET", url_);
    a->SetEnv("HOV_FLEET_SITUATIONS", "yes");
    if (!groups.empty()) {
      a->SetEnv("HOV_FLEET_GROUPS", groups);
    }
    if (!situations.empty()) {
      a->SetEnv("HOV_SITUATIONS", situations);
    }
    a->SetEnv("JOP_WEX1", "HOV100:ERROR,FLOW");
    EXPECT_TRUE(a->Start());
    return a;
  }

  // qorctl on the fleet. It returns once every host addressed has answered;
  // its deadline is long because a watcher whose server heartbeats went
  // missing under load is only set going again by the client library after
  // about 10 s (seen once in a CI run).
  Run_Result Fleet(std::vector<std::string> args) {
    args.insert(args.begin(),
                {QORCTL_PATH, "--fleet", url_, "--timeout", "30"});
    return RunProgram(args, {}, dir_.path());
  }

  // How many agents of the roster take the fleet's situations.
  size_t Takers() {
    return LinesWith(Fleet({"--json", "hosts"}).out, "\"fleet_situations\"")
        .size();
  }

  // The agent's own list of situations, one JSON line each.
  static std::string Local(const Agent_Process* a) {
    return a->Ctl({"--json", "situations"}).out;
  }

  void Append(const std::string& desc) {
    AppendFile(log_, SyslogLine(time(nullptr), "h", "app[1]: " + desc));
  }

  Scoped_Temp_Dir dir_;
  std::unique_ptr<Nats_Server> server_;
  std::string url_;
  std::string log_;
  std::vector<std::unique_ptr<Scoped_Temp_Dir>> dirs_;
  std::vector<std::unique_ptr<Agent_Process>> agents_;
};

TEST_F(FleetSituationsTest, ChangesReachTheHostsTheyAddressAndAreReported) {
  Agent_Process* web1 = StartAgent("web1:TVX", "web");
  Agent_Process* web2 = StartAgent("web2:TVX", "web");
  Agent_Process* db1 = StartAgent("db1:TVX");
  const std::vector<Agent_Process*> all = {web1, web2, db1};
  ASSERT_TRUE(WaitUntil([&] { return Takers() == 3; })) << web1->Trace();
  for (Agent_Process* a : all) {
    ASSERT_TRUE(WaitWatching(*a, log_));
  }

  // An add for every host: each applies it, says so, and fires.
  Run_Result r =
      Fleet({"situation", "add", "boom", "VXLOGENT", "ENTRYDESC ~ \"boom\""});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("applied by 3 of 3 hosts"), std::string::npos) << r.out;
  Append("boom one");
  for (Agent_Process* a : all) {
    EXPECT_TRUE(a->WaitEvents("\"boom one\"")) << a->Trace();
    EXPECT_NE(Local(a).find("\"fleet\":\"all.boom@"), std::string::npos);
  }

  // One host's and one group's: only they take them.
  r = Fleet({"--host", "web2", "situation", "add", "mine", "VXLOGENT",
             "ENTRYDESC ~ \"mine\""});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("applied by 1 of 1 hosts"), std::string::npos) << r.out;
  r = Fleet({"--group", "web", "situation", "add", "webby", "VXLOGENT",
             "ENTRYDESC ~ \"webby\""});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("applied by 2 of 2 hosts"), std::string::npos) << r.out;
  EXPECT_NE(Local(web2).find("\"name\":\"mine\""), std::string::npos);
  EXPECT_EQ(Local(web1).find("\"name\":\"mine\""), std::string::npos);
  EXPECT_NE(Local(web1).find("\"name\":\"webby\""), std::string::npos);
  EXPECT_EQ(Local(db1).find("\"name\":\"webby\""), std::string::npos);

  // A RUN action is refused by every host without HOV_FLEET_RUN=allow:
  // reported by qorctl (exit 3) and in each trace; a bad line likewise,
  // and the line before it keeps running.
  r = Fleet({"situation", "add", "runner", "VXLOGENT", "ENTRYDESC ~ \"x\"",
             "RUN", "\"touch /tmp/never\""});
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("db1:TVX refused it: a RUN action"), std::string::npos)
      << r.err;
  EXPECT_TRUE(web1->WaitTrace("all.runner revision"));
  EXPECT_EQ(Local(web1).find("\"name\":\"runner\""), std::string::npos);
  r = Fleet({"situation", "add", "boom", "VXLOGENT", "NOSUCH ~ \"boom\""});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("unknown column NOSUCH"), std::string::npos) << r.err;
  EXPECT_NE(Local(db1).find("ENTRYDESC ~ \\\"boom\\\""), std::string::npos);
  const Run_Result listed = Fleet({"--json", "situations"});
  EXPECT_EQ(LinesWith(listed.out, "\"refused\"").size(), 6u) << listed.out;
  const Run_Result one = Fleet({"--json", "--host", "web2", "situations"});
  EXPECT_EQ(LinesWith(one.out, "\"key\"").size(), 4u) << one.out;
  EXPECT_EQ(LinesWith(one.out, "\"host\":\"web2:TVX\"").size(), 4u);

  // A rollback puts the line before the last change back.
  r = Fleet({"situation", "add", "boom", "VXLOGENT", "ENTRYDESC ~ \"bang\""});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Local(web1).find("bang"), std::string::npos);
  r = Fleet({"situation", "rollback", "boom", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (Agent_Process* a : all) {
    EXPECT_NE(Local(a).find("ENTRYDESC ~ \\\"boom\\\""), std::string::npos);
  }
  EXPECT_GE(
      LinesWith(Fleet({"situation", "history", "boom"}).out, "boom").size(),
      4u);

  // A del stops it everywhere.
  r = Fleet({"situation", "del", "boom"});
  EXPECT_EQ(r.status, 0) << r.err;
  Append("boom two");
  Append("mine two");
  EXPECT_TRUE(web2->WaitEvents("\"mine two\""));
  for (Agent_Process* a : all) {
    EXPECT_EQ(Local(a).find("\"name\":\"boom\""), std::string::npos);
    EXPECT_EQ(a->Events().find("\"boom two\""), std::string::npos);
  }

  // Values too long never leave qorctl.
  r = Fleet({"situation", "add", "long", "VXLOGENT",
             "ENTRYDESC ~ \"" + std::string(9000, 'x') + "\""});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("at most 8192"), std::string::npos) << r.err;
}

TEST_F(FleetSituationsTest, AHostStartsFromItsSavedCopyThenCatchesUp) {
  // A setting not understood refuses the start.
  Agent_Process* bad = StartAgent("bad:TVX", "web,db.x");
  EXPECT_EQ(bad->WaitExit(), 1);
  EXPECT_NE(bad->Output().find("HOV_FLEET_GROUPS: expected group names"),
            std::string::npos)
      << bad->Output();

  // Its own file defines "new" too.
  const std::string file = dir_.File("situations");
  WriteFile(file,
            "own VXLOGENT ENTRYDESC ~ \"own\"\n"
            "new VXLOGENT ENTRYDESC ~ \"filewins\"\n");
  Agent_Process* a = StartAgent("web1:TVX", "", file);
  ASSERT_TRUE(WaitUntil([&] { return Takers() == 1; })) << a->Trace();
  Run_Result r =
      Fleet({"situation", "add", "old", "VXLOGENT", "ENTRYDESC ~ \"old\""});
  ASSERT_EQ(r.status, 0) << r.err;

  // Stopped during a change, it starts while the server is down: with what
  // it applied last.
  ASSERT_TRUE(a->Signal(SIGTERM));
  ASSERT_EQ(a->WaitExit(), 0);
  r = Fleet({"situation", "del", "old"});
  EXPECT_EQ(r.status, 0) << r.err;  // no host addressed is left
  r = Fleet({"situation", "add", "new", "VXLOGENT", "ENTRYDESC ~ \"new\""});
  EXPECT_EQ(r.status, 0) << r.err;
  server_->Stop();
  ASSERT_TRUE(a->Start());
  EXPECT_TRUE(WaitUntil([&] {
    return Local(a).find("\"fleet\":\"all.old@1\"") != std::string::npos;
  })) << a->Trace();
  EXPECT_TRUE(a->WaitTrace("from the saved copy"));

  // The server back, it catches up with the bucket; its own file's "new"
  // wins over the fleet's, which is reported overridden.
  server_->Start();
  ASSERT_TRUE(server_->WaitReady());
  EXPECT_TRUE(WaitUntil([&] {
    return Local(a).find("\"name\":\"old\"") == std::string::npos &&
           Fleet({"--json", "situations"}).out.find("\"overridden\"") !=
               std::string::npos;
  })) << a->Trace();
  EXPECT_NE(Local(a).find("filewins"), std::string::npos);

  // A reload of its file leaves the fleet's situations in place, and the
  // fleet's "new" takes over once the file drops its own.
  WriteFile(file, "own VXLOGENT ENTRYDESC ~ \"own\"\n");
  EXPECT_EQ(a->Ctl({"situation", "reload"}).status, 0);
  const std::string l = Local(a);
  EXPECT_NE(l.find("\"fleet\":\"all.new@"), std::string::npos) << l;
  EXPECT_NE(l.find("\"name\":\"own\""), std::string::npos) << l;
  EXPECT_TRUE(WaitUntil([&] {
    return Fleet({"--json", "situations"}).out.find("\"overridden\"") ==
           std::string::npos;
  }));
  ASSERT_TRUE(WaitWatching(*a, log_));
  Append("new one");
  EXPECT_TRUE(a->WaitEvents("\"new one\""));
}

}  // namespace
}  // namespace qortest
