// Acknowledged delivery in OpenTelemetry's log protocol to our own receiver
// (qor-otlp-receiver): 50,000 numbered entries through a 10 s period of 503
// answers and a SIGKILL with the state file set arrive with their text,
// host.name and entry time, duplicates at most one window; refused batches
// are counted and not sent again; JSON, gzip and plain bodies decode; bad
// settings refuse the start.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"
#include "tests/e2e/kafka_mock.h"
#include "tests/e2e/nats_server.h"

#include <nlohmann/json.hpp>

namespace qortest {
namespace {

constexpr int kLines = 50000;
constexpr int kWindow = 2000;

// The receiver on a free loopback port, its answer in a file the test
// rewrites, its records as JSON lines in `out`.
class Receiver {
 public:
  Receiver(const Scoped_Temp_Dir& dir, const std::string& name,
           std::vector<std::string> extra = {})
      : port_(FreePort()),
        answer_(dir.File(name + ".answer")),
        out_(dir.File(name + ".jsonl")) {
    WriteFile(answer_, "200\n");
    std::vector<std::string> argv = {OTLP_RECEIVER_PATH,
                                     "--listen",
                                     "127.0.0.1:" + std::to_string(port_),
                                     "--answer-file",
                                     answer_,
                                     "--retry-after",
                                     "1",
                                     "--out",
                                     out_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    program_ =
        std::make_unique<Background_Program>(argv, dir.File(name + ".log"));
    EXPECT_TRUE(WaitUntil([&] { return Accepts(port_); }));
  }
  std::string Url(const std::string& query = "") const {
    return "otlp+http://127.0.0.1:" + std::to_string(port_) + query;
  }
  void Answer(const std::string& what) const {
    WriteFile(answer_, what + "\n");
  }
  // The records received so far, parsed.
  std::vector<nlohmann::json> Records() {
    const std::string text = ReadFile(out_);
    for (size_t nl = text.find('\n', done_); nl != std::string::npos;
         nl = text.find('\n', done_)) {
      records_.push_back(nlohmann::json::parse(text.substr(done_, nl - done_),
                                               nullptr, false));
      done_ = nl + 1;
    }
    return records_;
  }
  size_t Count() { return Records().size(); }

 private:
  int port_;
  std::string answer_;
  std::string out_;
  std::unique_ptr<Background_Program> program_;
  std::vector<nlohmann::json> records_;
  size_t done_ = 0;
};

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

TEST(OtlpDeliveryE2ETest, OutageAndKillLoseNothing) {
  Scoped_Temp_Dir dir;
  Receiver receiver(dir, "recv");
  const std::string log = dir.File("app.log");
  Agent_Process agent(dir);
  WatchOneLogForLines(dir, log, &agent);
  agent.SetEnv("TVX_STATE_FILE", dir.File("state"));
  agent.SetEnv("HOV_EVENTS", receiver.Url());
  agent.SetEnv("HOV_DELIVERY_WINDOW", std::to_string(kWindow));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitWatching(agent, log));

  AppendNumberedLines(log, 0, 20000);
  ASSERT_TRUE(WaitUntil([&] { return receiver.Count() >= 5000; },
                        std::chrono::seconds(60)))
      << agent.Ctl({"ping"}).out;
  // Ten seconds of 503 answers: events are held and sent again.
  receiver.Answer("503");
  const auto outage = std::chrono::steady_clock::now();
  AppendNumberedLines(log, 20000, 35000);
  EXPECT_TRUE(agent.WaitTrace("not taking events", std::chrono::seconds(60)))
      << agent.Trace();
  // Killed during the outage once the saved positions have caught up with
  // the last acknowledgement, started again on them.
  std::string saved = ReadFile(dir.File("state"));
  auto changed = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string now = ReadFile(dir.File("state"));
        if (now != saved) {
          saved = now;
          changed = std::chrono::steady_clock::now();
        }
        return !saved.empty() &&
               std::chrono::steady_clock::now() - changed >=
                   std::chrono::seconds(3) &&
               std::chrono::steady_clock::now() - outage >=
                   std::chrono::seconds(5);
      },
      std::chrono::seconds(60)));
  ASSERT_TRUE(agent.Signal(SIGKILL));
  agent.WaitExit();
  ASSERT_TRUE(agent.Start());
  // The rest of the ten seconds, then the receiver takes again.
  WaitUntil(
      [&] {
        return std::chrono::steady_clock::now() - outage >=
               std::chrono::seconds(10);
      },
      std::chrono::seconds(20));
  receiver.Answer("200");
  AppendNumberedLines(log, 35000, kLines);

  std::map<int, int> seen;
  size_t checked = 0;
  const std::regex number("app: line ([0-9]+) end$");
  const std::string host = HostName();
  const uint64_t now_ns = static_cast<uint64_t>(time(nullptr)) * 1000000000ull;
  const uint64_t day_ns = 86400ull * 1000000000ull;
  size_t bad = 0;
  std::string bad_record;
  WaitUntil(
      [&] {
        const std::vector<nlohmann::json> records = receiver.Records();
        for (; checked < records.size(); ++checked) {
          const nlohmann::json& r = records[checked];
          const std::string body = r.value("body", std::string());
          if (body.find("warm-up line") != std::string::npos) {
            continue;
          }
          std::smatch m;
          const uint64_t t = r.value("time", uint64_t{0});
          if (!std::regex_search(body, m, number) ||
              body.find("host1 app: line") == std::string::npos ||
              r["resource"].value("host.name", std::string()) != host ||
              t + 2 * day_ns < now_ns || t > now_ns + 2 * day_ns ||
              r["attributes"].value("log.file.path", std::string()) != log ||
              r["attributes"].value("log.record.uid", std::string()).size() !=
                  32) {
            ++bad;
            bad_record = r.dump();
            continue;
          }
          ++seen[std::stoi(m[1])];
        }
        return seen.size() == static_cast<size_t>(kLines);
      },
      std::chrono::seconds(240));
  EXPECT_EQ(seen.size(), static_cast<size_t>(kLines))
      << agent.Ctl({"ping"}).out;
  EXPECT_EQ(bad, 0u) << bad_record;
  const long duplicates = NumberedDuplicates(seen, kLines);
  fprintf(stderr, "duplicates after the kill: %ld\n", duplicates);
  EXPECT_LE(duplicates, kWindow);
  EXPECT_TRUE(WaitUntil([&] {
    return agent.Ctl({"ping"}).out.find(": connected, 0 pending") !=
           std::string::npos;
  })) << agent.Ctl({"ping"}).out;
}

// Refused batches (a 400, a partial success) are counted, traced with the
// receiver's message, not sent again and do not hold positions; JSON with
// gzip and protobuf without it decode; the headers file reaches the
// receiver.
TEST(OtlpDeliveryE2ETest, RefusalsEncodingsAndHeaders) {
  for (const char* query : {"?encoding=json", "?compression=none"}) {
    SCOPED_TRACE(query);
    Scoped_Temp_Dir dir;
    const std::string name = query[1] == 'e' ? "json" : "plain";
    Receiver receiver(dir, name, {"--require", "X-Scope-OrgID: tenant-7"});
    const std::string log = dir.File(name + ".log");
    Agent_Process agent(dir);
    WatchOneLogForLines(dir, log, &agent);
    const std::string headers = dir.File("headers");
    WriteFile(headers, "# the tenant\nX-Scope-OrgID: tenant-7\n");
    ASSERT_EQ(chmod(headers.c_str(), 0600), 0);
    agent.SetEnv("HOV_OTLP_HEADERS", headers);
    agent.SetEnv("HOV_EVENTS", receiver.Url(query));
    agent.SetEnv("TVX_STATE_FILE", dir.File(name + ".state"));
    ASSERT_TRUE(agent.Start());
    ASSERT_TRUE(WaitWatching(agent, log));
    ASSERT_TRUE(WaitUntil([&] {
      return agent.Ctl({"ping"}).out.find(": connected, 0 pending") !=
             std::string::npos;
    })) << agent.Ctl({"ping"}).out;
    receiver.Answer("400");
    AppendNumberedLines(log, 0, 10);
    EXPECT_TRUE(
        agent.WaitTrace("receiver told to refuse", std::chrono::seconds(60)))
        << agent.Trace();
    receiver.Answer("partial");
    AppendNumberedLines(log, 10, 20);
    EXPECT_TRUE(agent.WaitTrace("partial success", std::chrono::seconds(60)))
        << agent.Trace();
    receiver.Answer("200");
    AppendNumberedLines(log, 20, 30);
    // The warm-up lines, refused or not, plus the numbered ones taken.
    std::map<int, int> seen;
    const std::regex number("line ([0-9]+) end");
    EXPECT_TRUE(WaitUntil(
        [&] {
          seen.clear();
          for (const nlohmann::json& r : receiver.Records()) {
            std::smatch m;
            const std::string body = r.value("body", std::string());
            if (std::regex_search(body, m, number)) {
              ++seen[std::stoi(m[1])];
            }
          }
          return seen.size() >= 20;
        },
        std::chrono::seconds(60)));
    // Lines 0-9 were refused (400) and 10-19 taken but refused (partial
    // success, written by the receiver): 10-29, each once, none of 0-9.
    EXPECT_EQ(seen.size(), 20u);
    EXPECT_EQ(seen.begin()->first, 10);
    EXPECT_TRUE(WaitUntil([&] {
      const std::string ping = agent.Ctl({"ping"}).out;
      return ping.find(": connected, 0 pending") != std::string::npos &&
             ping.find("(20 rejected") != std::string::npos;
    })) << agent.Ctl({"ping"}).out;
    EXPECT_EQ(agent.Trace().find("tenant-7"), std::string::npos);
    agent.Signal(SIGTERM);
    agent.WaitExit();
  }
}

// Bad settings refuse the start with the reason; a receiver that is down
// does not, and is reported.
TEST(OtlpDeliveryE2ETest, BadSettingsAndReceiverDown) {
  Scoped_Temp_Dir dir;
  const std::string log = dir.File("app.log");
  const std::string headers = dir.File("headers");
  WriteFile(headers, "Authorization: Bearer x\n");
  ASSERT_EQ(chmod(headers.c_str(), 0666), 0);
  const int port = FreePort();
  const std::string url = "otlp+http://127.0.0.1:" + std::to_string(port);
  struct Case {
    std::string events;
    std::string headers;
    std::string reason;
  };
  for (const Case& c : std::vector<Case>{
           {"otlp+http://127.0.0.1", "", "expected otlp+http://HOST:PORT"},
           {url + "?encoding=xml", "", "unknown option"},
           {url + "?compression=br", "", "unknown option"},
           {url, headers, "HOV_OTLP_HEADERS"},
           {url, dir.File("missing"), "HOV_OTLP_HEADERS"}}) {
    SCOPED_TRACE(c.events + " " + c.headers);
    Agent_Process agent(dir);
    WatchOneLogForLines(dir, log, &agent);
    agent.SetEnv("HOV_EVENTS", c.events);
    if (!c.headers.empty()) {
      agent.SetEnv("HOV_OTLP_HEADERS", c.headers);
    }
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(agent.WaitExit(), 1);
    EXPECT_NE(agent.Output().find(c.reason), std::string::npos)
        << agent.Output();
  }
  Agent_Process agent(dir);
  WatchOneLogForLines(dir, log, &agent);
  agent.SetEnv("HOV_EVENTS", url);
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitWatching(agent, log));
  EXPECT_TRUE(agent.WaitTrace("not taking events", std::chrono::seconds(60)))
      << agent.Trace();
  EXPECT_TRUE(agent.Running());
  EXPECT_NE(agent.Ctl({"ping"}).out.find("not connected"), std::string::npos);
}

}  // namespace
}  // namespace qortest
