// The metrics endpoint of the built qoragent (HOV_METRICS), read over HTTP,
// checked with promtool and scraped by a real Prometheus.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_util.h"
#include "tests/testutil.h"
#include "util/unique_fd.h"

namespace {

using qortest::Agent_Process;
using qortest::Scoped_Temp_Dir;
using qortest::WaitUntil;

const char kPrometheus[] = "/usr/bin/prometheus";
const char kPromtool[] = "/usr/bin/promtool";

// A loopback socket bound to a port the system chose; listening when
// `listen_too`. The port stays taken while it lives.
struct Bound_Port {
  explicit Bound_Port(bool listen_too)
      : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
        (!listen_too || listen(fd.get(), 1) == 0)) {
      port = ntohs(a.sin_port);
    }
  }
  Unique_Fd fd;
  int port = 0;
};

// A port that was free a moment ago, for a server the test starts.
int FreePort() {
  return Bound_Port(false).port;
}

// One HTTP/1.0 GET on 127.0.0.1:`port`: the status code and the body; status
// 0 when nothing answered.
struct Http_Reply {
  int status = 0;
  std::string body;
};
Http_Reply HttpGet(int port, const std::string& target) {
  Http_Reply r;
  Unique_Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    return r;
  }
  const std::string request =
      "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (write(fd.get(), request.data(), request.size()) !=
      static_cast<ssize_t>(request.size())) {
    return r;
  }
  std::string reply;
  char buf[8192];
  ssize_t n;
  while ((n = read(fd.get(), buf, sizeof buf)) > 0) {
    reply.append(buf, static_cast<size_t>(n));
  }
  const size_t head_end = reply.find("\r\n\r\n");
  if (reply.compare(0, 9, "HTTP/1.1 ") != 0 &&
      reply.compare(0, 9, "HTTP/1.0 ") != 0) {
    return r;
  }
  r.status = atoi(reply.c_str() + 9);
  r.body = head_end == std::string::npos ? "" : reply.substr(head_end + 4);
  return r;
}

// The value of the sample `series` (name and labels, as written) in an
// exposition text; "" when absent.
std::string Sample(const std::string& text, const std::string& series) {
  for (const std::string& line : qortest::LinesWith(text, series + " ")) {
    if (line.compare(0, series.size() + 1, series + " ") == 0) {
      return line.substr(series.size() + 1);
    }
  }
  return "";
}

// The agent watching one syslog file, with a situation on its entries and
// the metrics on a free loopback port.
class MetricsTest : public ::testing::Test {
 protected:
  void StartAgent(Agent_Process* agent) {
    log_ = dir_.File("app.log");
    qortest::WriteFile(log_, "");
    qortest::WriteFile(dir_.File("qoragent.conf"), log_ + "\n");
    qortest::WriteFile(dir_.File("situations"),
                       "failed VXLOGENT ENTRYDESC ~ \"failed\"\n");
    agent->SetEnv("TVX_CONFIG_FILE", dir_.File("qoragent.conf"));
    agent->SetEnv("HOV_SITUATIONS", dir_.File("situations"));
    port_ = FreePort();
    ASSERT_NE(port_, 0);
    agent->SetEnv("HOV_METRICS", "127.0.0.1:" + std::to_string(port_));
    ASSERT_TRUE(agent->Start());
    ASSERT_TRUE(WaitUntil([&] { return agent->Ctl({"ping"}).status == 0; }))
        << agent->Output();
    ASSERT_TRUE(qortest::WaitWatching(*agent, log_));
  }
  std::string LinesTotal() {
    return "qoragent_log_lines_total{log=\"" + log_ + "\"}";
  }

  Scoped_Temp_Dir dir_;
  std::string log_;
  int port_ = 0;
};

TEST_F(MetricsTest, LiveOutputPassesPromtoolAndCountsTheLog) {
  Agent_Process agent(dir_);
  StartAgent(&agent);
  qortest::AppendFile(
      log_, qortest::SyslogLine(time(nullptr), "h", "sshd[7]: login failed"));
  std::string text;
  // The situation counts its event as it dispatches it; the log counts it,
  // and its read position, once the pass is done: a scrape between the two
  // sees them apart.
  ASSERT_TRUE(WaitUntil([&] {
    text = HttpGet(port_, "/metrics").body;
    return Sample(
               text,
               "qoragent_situation_events_dispatched_total{situation=\"failed\"}") ==
               "1" &&
           Sample(text, "qoragent_log_events_total{log=\"" + log_ + "\"}") ==
               "1" &&
           Sample(text, "qoragent_log_lag_bytes{log=\"" + log_ + "\"}") == "0";
  })) << text;
  const long lines = atol(Sample(text, LinesTotal()).c_str());
  EXPECT_GE(lines, 2);  // the warm-up lines and the one that matched
  EXPECT_EQ(Sample(text, "qoragent_log_up{log=\"" + log_ + "\"}"), "1");
  EXPECT_EQ(Sample(text, "qoragent_log_status_info{log=\"" + log_ +
                             "\",status=\"Running\"}"),
            "1");
  EXPECT_EQ(Sample(text, "qoragent_log_events_total{log=\"" + log_ + "\"}"),
            "1");
  EXPECT_EQ(Sample(text, "qoragent_log_lag_bytes{log=\"" + log_ + "\"}"), "0");
  EXPECT_EQ(
      Sample(text,
             "qoragent_situation_rows_matched_total{situation=\"failed\"}"),
      "1");
  EXPECT_EQ(Sample(text, "qoragent_build_info{version=\"1.0.0\"}"), "1");
  EXPECT_NE(Sample(text, "qoragent_process_threads"), "");
  EXPECT_EQ(qortest::JsonField(agent.Ctl({"--json", "ping"}).out, "metrics"),
            "http://127.0.0.1:" + std::to_string(port_));

  if (access(kPromtool, X_OK) != 0) {
    GTEST_SKIP() << kPromtool << " is not installed";
  }
  qortest::WriteFile(dir_.File("metrics.txt"), text);
  const qortest::Run_Result check =
      qortest::RunProgram({kPromtool, "check", "metrics"}, {}, dir_.path(), {},
                          dir_.File("metrics.txt"));
  EXPECT_EQ(check.status, 0) << check.out << check.err;
}

TEST_F(MetricsTest, HealthTurnsUnavailableWhenALogFails) {
  Agent_Process agent(dir_);
  // Unprivileged, so that a file it may not read puts the log in error.
  ASSERT_TRUE(agent.RunUnprivileged());
  StartAgent(&agent);
  const Http_Reply ok = HttpGet(port_, "/healthz");
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "ok\n");

  // Rotated away, and the new file unreadable from the moment it is there.
  const std::string locked = dir_.File("locked");
  qortest::WriteFile(locked, "");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  ASSERT_EQ(rename(log_.c_str(), (log_ + ".1").c_str()), 0);
  ASSERT_EQ(rename(locked.c_str(), log_.c_str()), 0);
  Http_Reply bad;
  ASSERT_TRUE(WaitUntil([&] {
    bad = HttpGet(port_, "/healthz");
    return bad.status == 503;
  })) << bad.body;
  EXPECT_EQ(bad.body, "log " + log_ + ": Error: log open failed\n");
}

TEST(MetricsStartTest, InvalidAddressRefusesTheStart) {
  for (const char* spec :
       {"9464", "localhost:9464", "127.0.0.1:0", "127.0.0.1:65536"}) {
    Scoped_Temp_Dir dir;
    Agent_Process agent(dir);
    qortest::WriteFile(dir.File("app.log"), "");
    qortest::WriteFile(dir.File("qoragent.conf"), dir.File("app.log") + "\n");
    agent.SetEnv("TVX_CONFIG_FILE", dir.File("qoragent.conf"));
    agent.SetEnv("HOV_METRICS", spec);
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(agent.WaitExit(), 1) << spec;
    EXPECT_NE(agent.Output().find(std::string("HOV_METRICS \"") + spec + "\""),
              std::string::npos)
        << agent.Output();
  }
}

TEST_F(MetricsTest, PortInUseLeavesTheAgentRunningWithoutMetrics) {
  const Bound_Port taken(true);
  ASSERT_NE(taken.port, 0);
  Agent_Process agent(dir_);
  log_ = dir_.File("app.log");
  qortest::WriteFile(log_, "");
  qortest::WriteFile(dir_.File("qoragent.conf"), log_ + "\n");
  agent.SetEnv("TVX_CONFIG_FILE", dir_.File("qoragent.conf"));
  const std::string spec = "127.0.0.1:" + std::to_string(taken.port);
  agent.SetEnv("HOV_METRICS", spec);
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitUntil([&] { return agent.Ctl({"ping"}).status == 0; }))
      << agent.Output();
  ASSERT_TRUE(qortest::WaitWatching(agent, log_));
  const std::string metrics =
      qortest::JsonField(agent.Ctl({"--json", "ping"}).out, "metrics");
  EXPECT_EQ(metrics.rfind("error: cannot listen on " + spec + ": ", 0), 0u)
      << metrics;
  const std::string trace = agent.Trace();
  const size_t first =
      trace.find("\nMetrics not served: cannot listen on " + spec);
  ASSERT_NE(first, std::string::npos) << trace;
  EXPECT_EQ(trace.find("\nMetrics not served", first + 1), std::string::npos)
      << trace;
}

// A Prometheus server on loopback, its storage in `dir`; stopped on
// destruction.
class Prometheus_Process {
 public:
  Prometheus_Process(const std::string& dir, int port, int agent_port)
      : port_(port) {
    const std::string config = dir + "/prometheus.yml";
    qortest::WriteFile(config,
                       "global:\n"
                       "  scrape_interval: 1s\n"
                       "  evaluation_interval: 1s\n"
                       "scrape_configs:\n"
                       "  - job_name: qoragent\n"
                       "    static_configs:\n"
                       "      - targets: ['127.0.0.1:" +
                           std::to_string(agent_port) + "']\n");
    const std::string out = dir + "/prometheus.out";
    pid_ = fork();
    if (pid_ == 0) {
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(o, 1);
      dup2(o, 2);
      const int in = open("/dev/null", O_RDONLY);
      dup2(in, 0);
      const std::string config_flag = "--config.file=" + config;
      const std::string storage_flag =
          "--storage.tsdb.path=" + dir + "/prometheus-data";
      const std::string listen_flag =
          "--web.listen-address=127.0.0.1:" + std::to_string(port);
      execl(kPrometheus, kPrometheus, config_flag.c_str(), storage_flag.c_str(),
            listen_flag.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Prometheus_Process() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int st;
      if (!WaitUntil([&] { return waitpid(pid_, &st, WNOHANG) == pid_; })) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
      }
    }
  }
  Prometheus_Process(const Prometheus_Process&) = delete;
  Prometheus_Process& operator=(const Prometheus_Process&) = delete;

  // The body of an instant query through the HTTP API.
  std::string Query(const std::string& expr) const {
    return HttpGet(port_, "/api/v1/query?query=" + expr).body;
  }

 private:
  int port_;
  pid_t pid_ = -1;
};

TEST_F(MetricsTest, PrometheusScrapesTheLinesRead) {
  if (access(kPrometheus, X_OK) != 0) {
    GTEST_SKIP() << kPrometheus << " is not installed";
  }
  Agent_Process agent(dir_);
  StartAgent(&agent);
  const int prometheus_port = FreePort();
  ASSERT_NE(prometheus_port, 0);
  const Prometheus_Process prometheus(dir_.path(), prometheus_port, port_);
  std::string reply;
  // The series comes back only once a scrape saw the warm-up lines counted.
  EXPECT_TRUE(WaitUntil(
      [&] {
        reply = prometheus.Query("qoragent_log_lines_total%20%3E%200");
        return reply.find("\"status\":\"success\"") != std::string::npos &&
               reply.find("\"log\":\"" + log_ + "\"") != std::string::npos;
      },
      std::chrono::seconds(60)))
      << reply << qortest::ReadFile(dir_.File("prometheus.out"));
}

}  // namespace

// Clients that send their request head a line at a time, 200 of them, hold
// up no honest scrape; each is let go once its head is 2 s late however
// often it sends.
TEST_F(MetricsTest, SlowClientsHoldUpNoScrape) {
  Agent_Process agent(dir_);
  StartAgent(&agent);
  std::vector<Unique_Fd> slow;
  for (int i = 0; i < 200; ++i) {
    Unique_Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    ASSERT_EQ(connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const char head[] = "GET /metrics HTTP/1.1\r\n";
    ASSERT_EQ(send(fd.get(), head, sizeof head - 1, MSG_NOSIGNAL),
              static_cast<ssize_t>(sizeof head - 1));
    slow.push_back(std::move(fd));
  }
  const Http_Reply scrape = HttpGet(port_, "/metrics");
  EXPECT_EQ(scrape.status, 200);
  EXPECT_NE(Sample(scrape.body, LinesTotal()), "");
  EXPECT_EQ(HttpGet(port_, "/healthz").body, "ok\n");
  // A header line now and then does not keep a client on.
  char byte;
  ASSERT_TRUE(WaitUntil([&] {
    send(slow[0].get(), "X: y\r\n", 6, MSG_NOSIGNAL);
    const ssize_t n = recv(slow[0].get(), &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }));
  EXPECT_EQ(HttpGet(port_, "/nothing").status, 404);
}
