// Acknowledged delivery to JetStream with the logs as the buffer: a real
// nats-server stopped in the middle of 50,000 numbered entries, the agent
// killed with SIGKILL during the outage and started again on its state
// file; every number arrives at least once, none corrupted, duplicates at
// most one delivery window.
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nats/nats.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/e2e/nats_server.h"

namespace qortest {
namespace {

constexpr char kOpenssl[] = "/usr/bin/openssl";
constexpr int kLines = 50000;
constexpr int kWindow = 2000;

TEST(DeliveryE2ETest, JetStreamOutageAndKillLoseNothing) {
  if (access(kNatsServer, X_OK) != 0) {
    GTEST_SKIP() << "nats-server is not installed";
  }
  Scoped_Temp_Dir dir;
  Nats_Server server(dir.path());
  ASSERT_TRUE(server.WaitReady());
  const std::string url = server.Url("qev");
  const std::string log = dir.File("app.log");
  Agent_Process agent(dir);
  WatchOneLogForLines(dir, log, &agent);
  agent.SetEnv("TVX_STATE_FILE", dir.File("state"));
  agent.SetEnv("HOV_EVENTS", url);
  agent.SetEnv("HOV_NATS_STREAM", "QEV");
  agent.SetEnv("HOV_DELIVERY_WINDOW", std::to_string(kWindow));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitWatching(agent, log));

  AppendNumberedLines(log, 0, 20000);
  ASSERT_TRUE(agent.WaitTrace("created"));
  // The engine goes away: the window fills and the log waits.
  server.Stop();
  AppendNumberedLines(log, 20000, 35000);
  EXPECT_TRUE(WaitUntil([&] {
    return MonlogRow(agent, log).find("Waiting for delivery") !=
           std::string::npos;
  }));
  const Run_Result ping = agent.Ctl({"ping"});
  EXPECT_NE(ping.out.find("not connected"), std::string::npos) << ping.out;
  // Killed during the outage, started again on its saved positions.
  std::this_thread::sleep_for(
      std::chrono::seconds(3));  // a save of the state file
  ASSERT_TRUE(agent.Signal(SIGKILL));
  agent.WaitExit();
  ASSERT_TRUE(agent.Start());
  std::this_thread::sleep_for(
      std::chrono::seconds(7));  // the rest of a 10 s outage
  server.Start();
  ASSERT_TRUE(server.WaitReady());
  AppendNumberedLines(log, 35000, kLines);

  std::map<int, int> seen;
  const std::regex number(
      "^\\{\"host\":.*\"situation\":\"all\".*line ([0-9]+) end.*\\}$");
  size_t corrupt = 0;
  std::string bad;
  WaitUntil(
      [&] {
        const Run_Result r =
            RunProgram({QORCTL_PATH, "events", "--from", url, "--since", "-1h",
                        "--json", "--idle", "3"},
                       {}, dir.path());
        seen.clear();
        corrupt = 0;
        size_t at = 0;
        while (at < r.out.size()) {
          const size_t nl = r.out.find('\n', at);
          const std::string line = r.out.substr(at, nl - at);
          at = nl == std::string::npos ? r.out.size() : nl + 1;
          std::smatch m;
          if (std::regex_search(line, m, number)) {
            ++seen[std::stoi(m[1])];
          } else if (!line.empty() &&
                     line.find("warm-up line") == std::string::npos) {
            ++corrupt;
            bad = line;
          }
        }
        return seen.size() == static_cast<size_t>(kLines);
      },
      std::chrono::seconds(120));
  EXPECT_EQ(seen.size(), static_cast<size_t>(kLines));
  EXPECT_EQ(corrupt, 0u) << bad;
  const long duplicates = NumberedDuplicates(seen, kLines);
  fprintf(stderr, "duplicates after the kill: %ld\n", duplicates);
  EXPECT_LE(duplicates, kWindow);
  // The outage lost nothing, so nothing is counted lost, however much was
  // sent again.
  const std::string counts = agent.Ctl({"--json", "ping"}).out;
  EXPECT_EQ(JsonField(counts, "events_lost"), "0") << counts;
  const size_t sinks = counts.find("\"fleet_sinks\"");
  ASSERT_NE(sinks, std::string::npos) << counts;
  EXPECT_EQ(JsonField(counts.substr(sinks), "lost"), "0") << counts;
  fprintf(stderr, "after the outage: %s retried, %s failed attempts, 0 lost\n",
          JsonField(counts, "events_retried").c_str(),
          JsonField(counts.substr(sinks), "failed_attempts").c_str());
}

// The number in the fleet sink's line of `qorctl ping --json` under `key`
// (-1 when there is none).
long SinkCount(const Agent_Process& agent, const std::string& key) {
  const Run_Result r = agent.Ctl({"--json", "ping"});
  const size_t at = r.out.find("\"fleet_sinks\"");
  const std::string n =
      at == std::string::npos ? "" : JsonField(r.out.substr(at), key);
  return n.empty() ? -1 : std::stol(n);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// A subject that no stream captures: the events are held, not counted
// delivered, the failure is traced at the error level once, not at each
// try, and the events arrive once a stream captures the subject (made here
// by a second agent's HOV_NATS_STREAM, as in a fleet).
TEST(DeliveryE2ETest, SubjectNoStreamCapturesHoldsEventsUntilOneDoes) {
  if (access(kNatsServer, X_OK) != 0) {
    GTEST_SKIP() << "nats-server is not installed";
  }
  Scoped_Temp_Dir dir;
  Nats_Server server(dir.path());
  ASSERT_TRUE(server.WaitReady());
  const std::string url = server.Url("qheld");
  const std::string log = dir.File("app.log");
  Agent_Process agent(dir);
  WatchOneLogForLines(dir, log, &agent);
  agent.SetEnv("HOV_EVENTS", url);
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitWatching(agent, log));
  constexpr int kHeld = 10;
  AppendNumberedLines(log, 0, kHeld);
  // Five tries of each event at least.
  EXPECT_TRUE(
      WaitUntil([&] { return SinkCount(agent, "retried") >= 5 * kHeld; },
                std::chrono::seconds(60)));
  EXPECT_EQ(SinkCount(agent, "acknowledged"), 0);
  const long held = SinkCount(agent, "pending");  // with the warm-up line's
  EXPECT_GE(held, kHeld);
  const std::string trace = agent.Trace();
  EXPECT_NE(
      trace.find("Event not delivered to " + url +
                 " (subject qheld.testhost_TVX): "
                 "no stream captures the subject; it is sent again until it is "
                 "acknowledged"),
      std::string::npos)
      << trace;
  EXPECT_LT(Count(trace, "Event not delivered"),
            static_cast<size_t>(SinkCount(agent, "retried") / kHeld))
      << trace;

  Scoped_Temp_Dir other_dir;
  WriteFile(other_dir.File("qoragent.conf"),
            other_dir.File("quiet.log") + " ;N ;S\n");
  WriteFile(other_dir.File("quiet.log"), "");
  Agent_Process other(other_dir);
  other.SetEnv("TVX_CONFIG_FILE", other_dir.File("qoragent.conf"));
  other.SetEnv("HOV_EVENTS", url);
  other.SetEnv("HOV_NATS_STREAM", "QHELD");
  ASSERT_TRUE(other.Start());
  ASSERT_TRUE(other.WaitTrace("JetStream stream QHELD created"));
  EXPECT_TRUE(
      WaitUntil([&] { return SinkCount(agent, "acknowledged") == held; },
                std::chrono::seconds(60)))
      << agent.Ctl({"--json", "ping"}).out;
  const Run_Result r =
      RunProgram({QORCTL_PATH, "events", "--from", url, "--since", "-1h",
                  "--json", "--limit", std::to_string(held)},
                 {}, dir.path());
  EXPECT_EQ(Count(r.out, "\"ENTRYDESC\":\"line "), static_cast<size_t>(kHeld))
      << r.out;
}

// A stream taking messages of at most `max_bytes`, capturing SUBJECT.>, made
// on the server of `url` (nats://HOST:PORT/SUBJECT) as an administrator
// would. True when it was made.
bool MakeSmallStream(const std::string& url, const std::string& name,
                     int32_t max_bytes) {
  const size_t slash = url.rfind('/');
  const std::string server = url.substr(0, slash);
  const std::string subjects = url.substr(slash + 1) + ".>";
  natsConnection* nc = nullptr;
  jsCtx* js = nullptr;
  jsStreamInfo* si = nullptr;
  const char* list[] = {subjects.c_str()};
  jsStreamConfig sc;
  jsStreamConfig_Init(&sc);
  sc.Name = name.c_str();
  sc.Subjects = list;
  sc.SubjectsLen = 1;
  sc.MaxMsgSize = max_bytes;
  const bool made = natsConnection_ConnectTo(&nc, server.c_str()) == NATS_OK &&
                    natsConnection_JetStream(&js, nc, nullptr) == NATS_OK &&
                    js_AddStream(&si, js, &sc, nullptr, nullptr) == NATS_OK;
  jsStreamInfo_Destroy(si);
  jsCtx_Destroy(js);
  natsConnection_Destroy(nc);
  return made;
}

// An event larger than the server's max_payload, or than the stream's
// largest message, can never be delivered: it is given up (traced, counted
// as rejected), so that it holds neither the window nor the saved
// positions, and the events after it arrive.
TEST(DeliveryE2ETest, EventLargerThanTheServerTakesIsRejected) {
  if (access(kNatsServer, X_OK) != 0) {
    GTEST_SKIP() << "nats-server is not installed";
  }
  for (const bool stream_limit : {false, true}) {
    SCOPED_TRACE(stream_limit ? "stream's max_msg_size" : "max_payload");
    Scoped_Temp_Dir dir;
    Nats_Server server(dir.path(), "", "",
                       stream_limit ? "" : "max_payload: 1500");
    ASSERT_TRUE(server.WaitReady());
    const std::string url = server.Url("qbig");
    const std::string log = dir.File("app.log");
    Agent_Process agent(dir);
    WatchOneLogForLines(dir, log, &agent);
    agent.SetEnv("HOV_EVENTS", url);
    if (stream_limit) {
      ASSERT_TRUE(MakeSmallStream(url, "QSMALL", 1500));
    } else {
      agent.SetEnv("HOV_NATS_STREAM", "QBIG");
    }
    ASSERT_TRUE(agent.Start());
    ASSERT_TRUE(WaitWatching(agent, log));
    AppendFile(log, SyslogLine(time(nullptr), "host1",
                               "app: line big " + std::string(1800, 'x')));
    AppendNumberedLines(log, 0, 10);
    EXPECT_TRUE(agent.WaitTrace(stream_limit ? "message size exceeds maximum"
                                             : "Maximum Payload"))
        << agent.Trace();
    EXPECT_TRUE(WaitUntil([&] {
      return SinkCount(agent, "pending") == 0 &&
             SinkCount(agent, "acknowledged") >= 10;
    })) << agent.Ctl({"--json", "ping"}).out;
  }
}

// Over TLS, with the site's CA named by HOV_NATS_CA: the connection is
// made, read and written by the sink's own thread, and every event is
// acknowledged.
TEST(DeliveryE2ETest, TlsWithTheSitesCaDelivers) {
  if (access(kNatsServer, X_OK) != 0 || access(kOpenssl, X_OK) != 0) {
    GTEST_SKIP() << "nats-server or openssl is not installed";
  }
  Scoped_Temp_Dir dir;
  const std::string ca = dir.File("ca.pem");
  const std::string cert = dir.File("server.pem");
  const std::string key = dir.File("server.key");
  WriteFile(dir.File("san"), "subjectAltName=IP:127.0.0.1\n");
  for (const std::vector<std::string>& argv :
       std::vector<std::vector<std::string>>{
           {kOpenssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes",
            "-keyout", dir.File("ca.key"), "-out", ca, "-days", "2", "-subj",
            "/CN=test ca"},
           {kOpenssl, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
            "-out", dir.File("server.csr"), "-subj", "/CN=127.0.0.1"},
           {kOpenssl, "x509", "-req", "-in", dir.File("server.csr"), "-CA", ca,
            "-CAkey", dir.File("ca.key"), "-CAcreateserial", "-out", cert,
            "-days", "2", "-extfile", dir.File("san")}}) {
    const Run_Result r = RunProgram(argv, {}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
  }
  ASSERT_EQ(chmod(ca.c_str(), 0644), 0);
  Nats_Server server(dir.path(), cert, key);
  ASSERT_TRUE(server.WaitReady());
  const std::string log = dir.File("app.log");
  Agent_Process agent(dir);
  WatchOneLogForLines(dir, log, &agent);
  agent.SetEnv("HOV_EVENTS", server.Url("qtls"));
  agent.SetEnv("HOV_NATS_STREAM", "QTLS");
  agent.SetEnv("HOV_NATS_CA", ca);
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitWatching(agent, log));
  constexpr int kEvents = 20000;
  AppendNumberedLines(log, 0, kEvents);
  EXPECT_TRUE(
      WaitUntil([&] { return SinkCount(agent, "acknowledged") >= kEvents; },
                std::chrono::seconds(120)))
      << agent.Ctl({"--json", "ping"}).out;
  EXPECT_EQ(SinkCount(agent, "lost"), 0);
}

}  // namespace
}  // namespace qortest
