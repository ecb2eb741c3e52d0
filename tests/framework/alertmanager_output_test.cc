// Alerts as Alertmanager takes them: labels and annotations made from event
// lines, and the URLs and settings that are refused.
#include "framework/fleet/alertmanager_output.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(AlertmanagerOutputTest, EventLinesBecomeAlerts) {
  // A stateful event: its alert's key and host, resolved at `now`.
  const std::string resolved =
      "{\"time\":\"2026-12-09T18:35:12.377Z\",\"situation\":\"heartbeat\","
      "\"table\":\"TVX.VXLOGENT\",\"key\":\"/var/log/app\",\"entrytime\":"
      "\"2026-12-09T18:35:12+00:00\",\"alert\":{\"situation\":\"heartbeat\","
      "\"key\":\"/var/log/app\",\"host\":\"vm:TVX\"},\"state\":\"resolved\","
      "\"since\":\"2026-12-09T18:35:02Z\",\"count\":1,\"row\":{\"ENTRYDESC\":"
      "\"app: alive \\\"again\\\"\"}}\n";
  EXPECT_EQ(
      AlertmanagerAlert(resolved, 0, 300),
      "{\"labels\":{\"alertname\":\"heartbeat\",\"host\":\"vm:TVX\","
      "\"key\":\"/var/log/app\",\"severity\":\"warning\"},"
      "\"annotations\":{\"summary\":\"app: alive \\\"again\\\"\",\"table\":"
      "\"TVX.VXLOGENT\",\"count\":\"1\",\"entry\":\"{\\\"ENTRYDESC\\\":"
      "\\\"app: alive \\\\\\\"again\\\\\\\"\\\"}\"},\"startsAt\":"
      "\"2026-12-09T18:35:02Z\",\"endsAt\":\"1970-01-01T00:00:00Z\"}");
  // A plain event: no key, ends `resolve_s` after now; its log; the entry
  // and summary are cut.
  const std::string plain =
      "{\"time\":\"2026-12-09T18:00:00Z\",\"situation\":\"disk\",\"table\":"
      "\"TVX.VXLOGENT\",\"suppressed\":2,\"row\":{\"ORIGINNODE\":\"db1:TVX\","
      "\"LOGPATH\":\"/var/log/\",\"LOGNAME\":\"disk.log\",\"ENTRYDESC\":\"" +
      std::string(5000, 'x') + "\",\"entry\":\"" + std::string(4095, 'y') +
      "\\u00e9z\"}}\n";
  const std::string alert = AlertmanagerAlert(plain, 0, 300);
  EXPECT_NE(alert.find("\"labels\":{\"alertname\":\"disk\",\"host\":"
                       "\"db1:TVX\",\"log\":\"/var/log/disk.log\",\"severity\":"
                       "\"warning\"}"),
            std::string::npos)
      << alert;
  EXPECT_NE(alert.find("\"count\":\"3\""), std::string::npos) << alert;
  EXPECT_NE(alert.find("\"startsAt\":\"2026-12-09T18:00:00Z\",\"endsAt\":"
                       "\"1970-01-01T00:05:00Z\"}"),
            std::string::npos)
      << alert;
  EXPECT_NE(alert.find("\"entry\":\"" + std::string(4095, 'y') + "\""),
            std::string::npos);
  EXPECT_NE(alert.find("\"summary\":\"" + std::string(4096, 'x') + "\""),
            std::string::npos);
  EXPECT_LT(alert.size(), 2 * 4096u + 400u);
  EXPECT_EQ(AlertmanagerAlert("not json\n", 0, 300), "");
  // A situation's ALERT clause: its severity, labels and resolve time; a
  // situation that does not alert has none.
  const std::string marked =
      "{\"time\":\"2026-12-09T18:00:00Z\",\"situation\":\"db\",\"table\":"
      "\"TVX.VXLOGENT\",\"severity\":\"critical\",\"labels\":{\"team\":"
      "\"db\",\"note\":\"two words\"},\"resolve\":60,\"row\":{\"ORIGINNODE\":"
      "\"db1:TVX\"}}\n";
  EXPECT_NE(AlertmanagerAlert(marked, 0, 300)
                .find("\"labels\":{\"alertname\":\"db\",\"host\":\"db1:TVX\","
                      "\"team\":\"db\",\"note\":\"two words\",\"severity\":"
                      "\"critical\"}"),
            std::string::npos)
      << AlertmanagerAlert(marked, 0, 300);
  EXPECT_NE(AlertmanagerAlert(marked, 0, 300)
                .find("\"endsAt\":\"1970-01-01T00:01:00Z\""),
            std::string::npos);
  EXPECT_EQ(AlertmanagerResolveSeconds(marked, 300), 60);
  // An entry stamped ahead of the clock starts now (else Alertmanager
  // would refuse an alert that starts after it ends).
  const std::string ahead =
      "{\"situation\":\"db\",\"entrytime\":\"2026-12-09T20:00:00+01:00\"}\n";
  EXPECT_NE(AlertmanagerAlert(ahead, 1796846400, 300)
                .find("\"startsAt\":\"2026-12-09T20:00:00+01:00\""),
            std::string::npos)
      << AlertmanagerAlert(ahead, 1796846400, 300);
  EXPECT_NE(AlertmanagerAlert(ahead, 1796841000, 300)
                .find("\"startsAt\":\"2026-12-09T18:30:00Z\""),
            std::string::npos)
      << AlertmanagerAlert(ahead, 1796841000, 300);
  EXPECT_EQ(AlertmanagerResolveSeconds(plain, 300), 300);
  EXPECT_EQ(
      AlertmanagerAlert("{\"situation\":\"db\",\"alerts\":false}\n", 0, 300),
      "");
}

TEST(AlertmanagerOutputTest, UrlsAndSettings) {
  std::vector<std::string> urls;
  std::string err;
  ASSERT_TRUE(ParseAlertmanagerUrls(
      "http://127.0.0.1:9093/,https://am.example:9093/prefix", &urls, &err))
      << err;
  EXPECT_EQ(urls, (std::vector<std::string>{"http://127.0.0.1:9093",
                                            "https://am.example:9093/prefix"}));
  for (const char* bad : {"", "127.0.0.1:9093", "ftp://h:1", "http://",
                          "http://u:p@h:1", "http://h:1?x", "http://h:1,"}) {
    EXPECT_FALSE(ParseAlertmanagerUrls(bad, &urls, &err)) << bad;
    EXPECT_EQ(err.find("u:p"), std::string::npos) << err;
  }

  Alertmanager_Config config;
  ASSERT_TRUE(ParseAlertmanagerConfig(
      "# site\nbasic_auth ann:pw\nresend_interval 30\n\nresolve_after 600\n",
      &config, &err))
      << err;
  EXPECT_EQ(config.authorization, "Authorization: Basic YW5uOnB3");
  EXPECT_EQ(config.resend_s, 30);
  EXPECT_EQ(config.resolve_s, 600);
  ASSERT_TRUE(ParseAlertmanagerConfig("bearer_token t0k\n", &config, &err));
  EXPECT_EQ(config.authorization, "Authorization: Bearer t0k");
  for (const char* bad :
       {"basic_auth secretonly\n", "bearer_token\n", "resend_interval 0\n",
        "resolve_after 5m\n", "ca_file /nonexistent/ca.pem\n", "token s3\n"}) {
    EXPECT_FALSE(ParseAlertmanagerConfig(bad, &config, &err)) << bad;
    EXPECT_EQ(err.find("secretonly"), std::string::npos) << err;
    EXPECT_NE(err.find("line 1"), std::string::npos) << err;
  }
}

}  // namespace
