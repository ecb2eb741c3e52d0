// The metrics text and health of a snapshot, and the HOV_METRICS forms.
#include "framework/control/metrics_server.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(MetricsServerTest, AddressForms) {
  struct Case {
    const char* spec;
    const char* listen;  // null: refused
  };
  const Case cases[] = {
      {"127.0.0.1:9464", "127.0.0.1:9464"},
      {"[::1]:9464", "[::1]:9464"},
      {"0.0.0.0:1", "0.0.0.0:1"},
      {"9464", nullptr},
      {":9464", nullptr},
      {"localhost:9464", nullptr},
      {"::1:9464", nullptr},
      {"127.0.0.1:", nullptr},
      {"127.0.0.1:0", nullptr},
      {"127.0.0.1:65536", nullptr},
      {"127.0.0.1:94x", nullptr},
      {"127.0.0.1:+94", nullptr},
  };
  for (const Case& c : cases) {
    std::string listen;
    std::string err;
    EXPECT_EQ(Metrics_Server::ParseSpec(c.spec, &listen, &err),
              c.listen != nullptr)
        << c.spec;
    if (c.listen != nullptr) {
      EXPECT_EQ(listen, c.listen);
    } else {
      EXPECT_EQ(err.rfind(std::string("HOV_METRICS \"") + c.spec + "\"", 0), 0u)
          << err;
    }
  }
}

TEST(MetricsServerTest, LabelsAreEscapedAndProblemsNamed) {
  Metrics_Snapshot s;
  Log_Metrics log;
  log.path = "/var/log/a\"b\\c\nd";
  log.lines = 12;
  log.lost_files = 2;
  log.cut_lines = 3;
  log.status = "Error: log open failed";
  s.logs.push_back(log);
  Sink_Metrics sink;
  sink.name = "/var/log/events.jsonl";
  sink.writing = false;
  s.sinks.push_back(sink);
  s.version = "1.0.0";
  const std::string text = Metrics_Server::Format(s);
  EXPECT_NE(
      text.find(
          "# TYPE qoragent_log_lines_total counter\n"
          "qoragent_log_lines_total{log=\"/var/log/a\\\"b\\\\c\\nd\"} 12\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("qoragent_log_up{log=\"/var/log/a\\\"b\\\\c\\nd\"} 0\n"),
            std::string::npos);
  EXPECT_NE(
      text.find(
          "# TYPE qoragent_log_lost_files_total counter\n"
          "qoragent_log_lost_files_total{log=\"/var/log/a\\\"b\\\\c\\nd\"} "
          "2\n"),
      std::string::npos);
  EXPECT_NE(
      text.find(
          "qoragent_log_cut_lines_total{log=\"/var/log/a\\\"b\\\\c\\nd\"} 3\n"),
      std::string::npos);
  // Unknown values are left out, not shown as -1.
  EXPECT_EQ(text.find("qoragent_log_size_bytes"), std::string::npos);
  EXPECT_EQ(text.find("qoragent_situation_"), std::string::npos);
  const std::vector<std::string> problems = Metrics_Server::Problems(s);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0], "log " + log.path + ": Error: log open failed");
  EXPECT_EQ(problems[1],
            "sink /var/log/events.jsonl: the last write to it failed");
}

}  // namespace
