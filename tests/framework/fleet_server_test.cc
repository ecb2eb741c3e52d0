// Tests of the fleet server against a local NATS server.
#include "framework/control/fleet_server.h"

#include <string>

#include <gtest/gtest.h>

#include "framework/control/control_protocol.h"

namespace {

// Only read-only requests are taken, bounded, and a bad one says why.
TEST(FleetServerTest, TakesPingAndReportOnlyAndSaysWhyNot) {
  struct Case {
    std::string payload;
    bool ok;
    const char* error;  // part of the refusal
  };
  const Case cases[] = {
      {R"({"request":"PING"})", true, ""},
      {R"({"request":"STREAM REPORT VXMONLOG","limit":5})", true, ""},
      {R"({"request":"SITUATION ADD x VXLOGENT ENTRYDESC ~ \"a\""})", false,
       "only PING and REPORT"},
      {R"({"request":"SITUATION RELOAD"})", false, "only PING and REPORT"},
      {R"({"request":"EVENTS"})", false, "only PING and REPORT"},
      {R"({"request":"REPORT VXLOGENT WHERE ENTRYDESC ~"})", false, "expected"},
      {R"({"request":"PING","limit":0})", false,
       "\"limit\" to be a number of rows"},
      {R"({"request":"PING","limit":"9"})", false,
       "\"limit\" to be a number of rows"},
      {R"({"request":42})", false, "expected a JSON object"},
      {"PING", false, "expected a JSON object"},
      {"", false, "expected a JSON object"},
      {std::string(R"({"request":"PING","pad":")") +
           std::string(FLEET_MAX_REQUEST, 'x') + "\"}",
       false, "at most 8192"},
  };
  for (const Case& c : cases) {
    Control_Request r;
    std::string line, err;
    EXPECT_EQ(
        ParseFleetRequest(c.payload.data(), c.payload.size(), &r, &line, &err),
        c.ok)
        << c.payload.substr(0, 80) << ": " << err;
    if (!c.ok) {
      EXPECT_NE(err.find(c.error), std::string::npos)
          << c.payload.substr(0, 80) << ": " << err;
    }
  }
  Control_Request r;
  std::string line, err;
  const std::string p = R"({"request":"STREAM REPORT VXMONLOG","limit":5})";
  ASSERT_TRUE(ParseFleetRequest(p.data(), p.size(), &r, &line, &err));
  EXPECT_EQ(r.verb, Control_Verb::kReport);
  EXPECT_EQ(r.row_limit, 5);
  EXPECT_EQ(line, "STREAM REPORT VXMONLOG");
}

}  // namespace
