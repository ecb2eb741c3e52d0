// Alerts to Debian's prometheus-alertmanager, started on a free loopback
// port: a plain situation's alert shows with its labels; a stateful one
// fires and is shown resolved; a restarted Alertmanager gets the alert back;
// bad settings refuse the start.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/e2e/kafka_mock.h"
#include "tests/e2e/nats_server.h"

#include <nlohmann/json.hpp>

namespace qortest {
namespace {

constexpr char kAlertmanager[] = "/usr/bin/prometheus-alertmanager";
constexpr auto kWait = std::chrono::seconds(60);

// The body of GET `target` on 127.0.0.1:`port`; empty when nothing answered.
std::string Get(int port, const std::string& target) {
  Unique_Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    return "";
  }
  const std::string request =
      "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (write(fd.get(), request.data(), request.size()) !=
      static_cast<ssize_t>(request.size())) {
    return "";
  }
  std::string reply;
  char buf[8192];
  ssize_t n;
  while ((n = read(fd.get(), buf, sizeof buf)) > 0) {
    reply.append(buf, static_cast<size_t>(n));
  }
  const size_t head_end = reply.find("\r\n\r\n");
  return head_end == std::string::npos ? "" : reply.substr(head_end + 4);
}

class AlertmanagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kAlertmanager, X_OK) != 0) {
      GTEST_SKIP() << kAlertmanager
                   << " is missing (package prometheus-alertmanager)";
    }
    port_ = FreePort();
    WriteFile(dir_.File("am.yml"),
              "route:\n  receiver: none\nreceivers:\n  - name: none\n");
    StartAlertmanager("am-data");
  }
  // Alertmanager on port_, its storage in `data`.
  void StartAlertmanager(const std::string& data) {
    am_.reset();
    am_ = std::make_unique<Background_Program>(
        std::vector<std::string>{
            kAlertmanager, "--config.file=" + dir_.File("am.yml"),
            "--storage.path=" + dir_.File(data),
            "--web.listen-address=127.0.0.1:" + std::to_string(port_),
            "--cluster.listen-address="},
        dir_.File("am.log"));
    ASSERT_TRUE(WaitUntil([&] { return Accepts(port_); }, kWait));
  }
  void Start(const std::string& situations) {
    log_ = dir_.File("app.log");
    WriteFile(log_, "");
    WriteFile(dir_.File("qoragent.conf"), log_ + " ;N ;S\n");
    WriteFile(dir_.File("situations"), situations);
    agent_.SetEnv("TVX_CONFIG_FILE", dir_.File("qoragent.conf"));
    agent_.SetEnv("HOV_SITUATIONS", dir_.File("situations"));
    agent_.SetEnv("HOV_ALERTMANAGER",
                  "http://127.0.0.1:" + std::to_string(port_) + "/");
    ASSERT_TRUE(agent_.Start()) << agent_.Output();
    ASSERT_TRUE(WaitWatching(agent_, log_))
        << agent_.Output() << agent_.Trace();
  }
  void Append(const std::string& message) {
    AppendFile(log_, SyslogLine(time(nullptr), "host1", message));
  }
  // The alert of `name` Alertmanager shows (null: none).
  nlohmann::json Alert(const std::string& name) {
    const nlohmann::json all =
        nlohmann::json::parse(Get(port_, "/api/v2/alerts"), nullptr, false);
    if (all.is_array()) {
      for (const nlohmann::json& a : all) {
        if (a["labels"].value("alertname", "") == name) {
          return a;
        }
      }
    }
    return nullptr;
  }

  // Whether the alert `name` ends (Alertmanager no longer lists it active)
  // within kWait; *last: what it listed last.
  bool WaitEnded(const std::string& name, nlohmann::json* last) {
    return WaitUntil(
        [&] {
          *last = Alert(name);
          return last->is_null() ||
                 (*last)["status"].value("state", "") != "active";
        },
        kWait);
  }

  Scoped_Temp_Dir dir_;
  int port_ = 0;
  std::unique_ptr<Background_Program> am_;
  Agent_Process agent_{dir_};
  std::string log_;
};

TEST_F(AlertmanagerTest, ASituationFiresWithItsLabels) {
  Start("disk VXLOGENT ENTRYDESC ~ \"disk full\"\n");
  Append("kernel: disk full on /var");
  nlohmann::json alert;
  ASSERT_TRUE(
      WaitUntil([&] { return !(alert = Alert("disk")).is_null(); }, kWait))
      << agent_.Trace() << agent_.Ctl({"ping"}).out;
  EXPECT_EQ(alert["labels"].value("severity", ""), "warning") << alert;
  EXPECT_FALSE(alert["labels"].value("host", "").empty()) << alert;
  EXPECT_EQ(alert["labels"].value("log", ""), log_) << alert;
  EXPECT_NE(alert["annotations"].value("entry", "").find("disk full on /var"),
            std::string::npos)
      << alert;
  EXPECT_EQ(alert["status"].value("state", ""), "active") << alert;
  // PING: the URL's sink, connected, with its alert firing and sent.
  const std::string sink =
      "sink alertmanager http://127.0.0.1:" + std::to_string(port_);
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string out = agent_.Ctl({"ping"}).out;
        return out.find(sink + ": connected") != std::string::npos &&
               out.find(sink + ": 1 alerts firing") != std::string::npos;
      },
      kWait))
      << agent_.Ctl({"ping"}).out;
}

TEST_F(AlertmanagerTest, AStatefulAlertResolves) {
  Start("heartbeat VXLOGENT ENTRYDESC ~ \"alive\" ABSENT 2\n");
  Append("app: alive");
  nlohmann::json alert;
  ASSERT_TRUE(
      WaitUntil([&] { return !(alert = Alert("heartbeat")).is_null(); }, kWait))
      << agent_.Trace() << agent_.Events();
  EXPECT_FALSE(alert["labels"].value("key", "").empty()) << alert;
  Append("app: alive again");
  // Resolved: Alertmanager no longer lists it as active.
  EXPECT_TRUE(WaitEnded("heartbeat", &alert)) << alert << agent_.Events();
}

// An Alertmanager that restarts with nothing stored has the firing alert
// back within a re-send interval (2 s here, from the settings file).
TEST_F(AlertmanagerTest, ARestartedAlertmanagerGetsTheAlertBack) {
  WriteFile(dir_.File("am.conf"), "resend_interval 2\n");
  chmod(dir_.File("am.conf").c_str(), 0600);
  agent_.SetEnv("HOV_ALERTMANAGER_CONFIG", dir_.File("am.conf"));
  Start("disk VXLOGENT ENTRYDESC ~ \"disk full\"\n");
  Append("kernel: disk full on /var");
  ASSERT_TRUE(WaitUntil([&] { return !Alert("disk").is_null(); }, kWait))
      << agent_.Trace();
  StartAlertmanager("am-data-2");
  EXPECT_TRUE(WaitUntil([&] { return !Alert("disk").is_null(); }, kWait))
      << agent_.Trace() << agent_.Ctl({"ping"}).out;
  EXPECT_TRUE(agent_.Running());
}

// A stateful alert firing at a clean stop is told again by the agent that
// starts with the saved state, with no new entry (here to an Alertmanager
// that lost everything meanwhile); it ends when its situation is deleted.
TEST_F(AlertmanagerTest, AFiringAlertIsToldAgainAfterARestart) {
  agent_.SetEnv("TVX_STATE_FILE", dir_.File("state"));
  Start(
      "heartbeat VXLOGENT ENTRYDESC ~ \"alive\" ABSENT 2 ALERT LABEL "
      "team=ops\n");
  Append("app: alive");
  ASSERT_TRUE(WaitUntil([&] { return !Alert("heartbeat").is_null(); }, kWait))
      << agent_.Trace() << agent_.Events();
  ASSERT_TRUE(agent_.Signal(SIGTERM));
  ASSERT_EQ(agent_.WaitExit(), 0) << agent_.Output();
  StartAlertmanager("am-data-2");
  ASSERT_TRUE(Alert("heartbeat").is_null());
  ASSERT_TRUE(agent_.Start());
  nlohmann::json alert;
  EXPECT_TRUE(
      WaitUntil([&] { return !(alert = Alert("heartbeat")).is_null(); }, kWait))
      << agent_.Trace();
  EXPECT_EQ(alert["labels"].value("team", ""), "ops") << alert;
  EXPECT_EQ(alert["status"].value("state", ""), "active") << alert;
  EXPECT_EQ(LinesWith(agent_.Events(), "\"state\":\"firing\"").size(), 1u)
      << agent_.Events();
  // A situation deleted while its alert fires ends the alert.
  ASSERT_EQ(agent_.Ctl({"situation", "del", "heartbeat"}).status, 0);
  EXPECT_TRUE(WaitEnded("heartbeat", &alert)) << alert << agent_.Trace();
}

// Once a situation has an ALERT clause only the marked ones alert, with
// their severity and labels; `qorctl alerts` shows what Alertmanager was
// told.
TEST_F(AlertmanagerTest, OnlyMarkedSituationsAlertWithTheirLabels) {
  Start(
      "db VXLOGENT ENTRYDESC ~ \"db down\" ALERT SEVERITY critical LABEL "
      "team=db\nother VXLOGENT ENTRYDESC ~ \"db down\"\n");
  Append("app: db down");
  nlohmann::json alert;
  ASSERT_TRUE(
      WaitUntil([&] { return !(alert = Alert("db")).is_null(); }, kWait))
      << agent_.Trace() << agent_.Events();
  EXPECT_EQ(alert["labels"].value("severity", ""), "critical") << alert;
  EXPECT_EQ(alert["labels"].value("team", ""), "db") << alert;
  // Both fired, from the same entry and in the same post: only one alerts.
  EXPECT_NE(agent_.Events().find("\"situation\":\"other\""), std::string::npos);
  EXPECT_TRUE(Alert("other").is_null()) << Alert("other");
  std::string out;
  EXPECT_TRUE(WaitUntil(
      [&] {
        out = agent_.Ctl({"alerts"}).out;
        return out.find("firing ok") != std::string::npos;
      },
      kWait))
      << out;
  EXPECT_NE(out.find("db"), std::string::npos) << out;
}

// A loopback HTTP responder that answers every request with `status` and
// counts them (an Alertmanager that refuses, or fails).
class Responder {
 public:
  explicit Responder(int status) : status_(status) {
    fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    EXPECT_EQ(bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd_.get(), 16), 0);
    getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Responder() {
    shutdown(fd_.get(), SHUT_RDWR);
    thread_.join();
  }
  int port() const { return port_; }
  int requests() const { return requests_.load(); }

 private:
  void Serve() {
    while (true) {
      Unique_Fd c(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!c.valid()) {
        return;
      }
      // One request per connection: the head, then Content-Length bytes.
      std::string in;
      char buf[65536];
      ssize_t got;
      size_t head = std::string::npos;
      while ((got = read(c.get(), buf, sizeof buf)) > 0) {
        in.append(buf, static_cast<size_t>(got));
        head = in.find("\r\n\r\n");
        const size_t length = in.find("Content-Length: ");
        if (head != std::string::npos && length != std::string::npos &&
            in.size() >= head + 4 + std::stoul(in.substr(length + 16))) {
          break;
        }
      }
      ++requests_;
      const std::string reason =
          status_ == 400 ? "bad alert: start after end" : "not now";
      const std::string reply =
          "HTTP/1.1 " + std::to_string(status_) +
          " X\r\nContent-Length: " + std::to_string(reason.size()) +
          "\r\nConnection: close\r\n\r\n" + reason;
      EXPECT_EQ(write(c.get(), reply.data(), reply.size()),
                static_cast<ssize_t>(reply.size()));
    }
  }

  const int status_;
  Unique_Fd fd_;
  int port_ = 0;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// A refused post (400) is traced with Alertmanager's reason: each alert of
// the batch is posted alone once, those refused alone are counted and not
// sent again; a failing post (503) is retried with a growing backoff.
TEST(AlertmanagerAnswersTest, RefusedIsNotRetriedFailedIs) {
  for (const int status : {400, 503}) {
    SCOPED_TRACE(status);
    Scoped_Temp_Dir dir;
    Responder responder(status);
    Agent_Process agent(dir);
    WatchOneLogForLines(dir, dir.File("app.log"), &agent);
    WriteFile(dir.File("situations"),
              "disk VXLOGENT ENTRYDESC ~ \"disk\"\n"
              "full VXLOGENT ENTRYDESC ~ \"full\"\n");
    agent.SetEnv("HOV_SITUATIONS", dir.File("situations"));
    agent.SetEnv("HOV_ALERTMANAGER",
                 "http://127.0.0.1:" + std::to_string(responder.port()));
    ASSERT_TRUE(agent.Start()) << agent.Output();
    ASSERT_TRUE(WaitWatching(agent, dir.File("app.log"))) << agent.Trace();
    AppendFile(dir.File("app.log"),
               SyslogLine(time(nullptr), "host1", "kernel: disk full"));
    if (status == 400) {
      ASSERT_TRUE(agent.WaitTrace("start after end", kWait)) << agent.Trace();
      EXPECT_NE(agent.Trace().find("(not sent again until it changes)"),
                std::string::npos)
          << agent.Trace();
      EXPECT_TRUE(WaitUntil(
          [&] {
            return agent.Ctl({"ping"}).out.find("(2 rejected") !=
                   std::string::npos;
          },
          kWait))
          << agent.Ctl({"ping"}).out;
      // The batch, then each alert alone; nothing more within a few seconds.
      const int before = responder.requests();
      EXPECT_LE(before, 3);
      sleep(3);
      EXPECT_EQ(responder.requests(), before);
      EXPECT_NE(agent.Ctl({"alerts"}).out.find("firing refused"),
                std::string::npos)
          << agent.Ctl({"alerts"}).out;
    } else {
      // Sent again after 1 s, then 2 s: three tries.
      EXPECT_TRUE(WaitUntil([&] { return responder.requests() >= 3; }, kWait))
          << agent.Trace();
      EXPECT_NE(agent.Trace().find("HTTP 503 not now"), std::string::npos)
          << agent.Trace();
      const std::string ping = agent.Ctl({"ping"}).out;
      EXPECT_NE(ping.find("failed attempts"), std::string::npos) << ping;
      EXPECT_EQ(ping.find(" 0 failed attempts"), std::string::npos) << ping;
    }
    EXPECT_TRUE(agent.Running());
  }
}

TEST(AlertmanagerSettingsTest, ABadUrlRefusesTheStart) {
  Scoped_Temp_Dir dir;
  WriteFile(dir.File("am.conf"), "bearer_token s3cret\nnonsense 1\n");
  chmod(dir.File("am.conf").c_str(), 0600);
  for (const auto& c : std::vector<std::pair<std::string, std::string>>{
           {"ftp://127.0.0.1:9093", ""},
           {"http://127.0.0.1:9093", dir.File("am.conf")},
           {"http://127.0.0.1:9093", dir.File("missing")}}) {
    SCOPED_TRACE(c.first + " " + c.second);
    Agent_Process agent(dir);
    WatchOneLogForLines(dir, dir.File("app.log"), &agent);
    agent.SetEnv("HOV_ALERTMANAGER", c.first);
    if (!c.second.empty()) {
      agent.SetEnv("HOV_ALERTMANAGER_CONFIG", c.second);
    }
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(agent.WaitExit(), 1);
    EXPECT_NE(agent.Output().find("HOV_ALERTMANAGER"), std::string::npos)
        << agent.Output();
    EXPECT_EQ(agent.Output().find("s3cret"), std::string::npos);
  }
}

// A label Alertmanager would refuse is refused as the situations load.
TEST(AlertmanagerSettingsTest, ABadLabelIsRefusedByTheCheck) {
  Scoped_Temp_Dir dir;
  WriteFile(dir.File("app.log"), "");
  WriteFile(dir.File("qoragent.conf"), dir.File("app.log") + " ;N ;S\n");
  WriteFile(dir.File("situations"),
            "db VXLOGENT ENTRYDESC ~ \"x\" ALERT LABEL team-x=db\n");
  const Run_Result r =
      RunProgram({QORAGENT_PATH, "--check"},
                 {{"TVX_CONFIG_FILE", dir.File("qoragent.conf")},
                  {"HOV_SITUATIONS", dir.File("situations")},
                  {"HOV_TRACE_FILE", dir.File("trace.log")}},
                 dir.path());
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("situations:1: expected LABEL NAME=VALUE with a label "
                       "name of letters"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace qortest
