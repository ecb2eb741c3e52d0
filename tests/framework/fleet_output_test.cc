// What the fleet sinks take from an event line and show of their address:
// the key (the row's host), found without a copy unless escaped, and an
// address with its credentials left out.
#include "framework/fleet/fleet_output.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(FleetOutputTest, KeyIsTheRowsHostAndAddressesHideCredentials) {
  SetFleetLocalHost("local:TVX");
  const struct {
    std::string line;
    std::string host;
  } cases[] = {
      {"{\"time\":\"t\",\"situation\":\"ORIGIN\",\"table\":\"TVX.VXLOGENT\","
       "\"row\":{\"ORIGINNODE\":\"web1:TVX\",\"LOGNAME\":\"a\"}}\n",
       "web1:TVX"},
      {"{\"row\":{\"ORIGINNODE\":\"we\\\"b\\\\1\",\"X\":1}}\n", "we\"b\\1"},
      {"{\"row\":{\"ORIGINNODE\":\"\"}}\n", "local:TVX"},
      {"{\"row\":{\"ENTRYDESC\":\"no host\"}}\n", "local:TVX"},
      {"{\"row\":{\"ORIGINNODE\":\"cut", "cut"},
      {"", "local:TVX"},
  };
  for (const auto& c : cases) {
    std::string scratch;
    EXPECT_EQ(EventLineHost(c.line, &scratch), c.host) << c.line;
    EXPECT_EQ(EventLineHost(std::string(c.line)), c.host) << c.line;
  }
  EXPECT_EQ(FleetUrlForMessages("kafka://u:secret@b1:9092,b2:9092/qev"),
            "kafka://...@b1:9092,b2:9092/qev");
  EXPECT_EQ(FleetUrlForMessages("nats://n1:4222/qev"), "nats://n1:4222/qev");
  EXPECT_EQ(FleetUrlForMessages("nats://n1:4222/a@b"), "nats://n1:4222/a@b");
}

}  // namespace
