// Tests of reading NATS addresses.
#include "util/nats_url.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(NatsUrlTest, ReadsServersAndNameOrSaysWhatWasExpected) {
  struct Case {
    const char* text;
    bool ok;
    bool tls;
    std::vector<std::string> servers;
    const char* name_or_error;
  };
  const Case cases[] = {
      {"nats://127.0.0.1:4222/ops",
       true,
       false,
       {"nats://127.0.0.1:4222"},
       "ops"},
      {"tls://a.example:4222,b.example:4223/site.ops",
       true,
       true,
       {"tls://a.example:4222", "tls://b.example:4223"},
       "site.ops"},
      {"nats://[::1]:4222/x", true, false, {"nats://[::1]:4222"}, "x"},
      {"http://h:1/x", false, false, {}, "expected nats://HOST:PORT"},
      {"nats://h:4222", false, false, {}, "expected /NAME after the servers"},
      {"nats://h:4222/", false, false, {}, "expected /NAME after the servers"},
      {"nats://user:secret@h:4222/x",
       false,
       false,
       {},
       "use a credentials file"},
      {"nats://h/x", false, false, {}, "expected HOST:PORT"},
      {"nats://h:0/x", false, false, {}, "expected a port from 1 to 65535"},
      {"nats://h:99999/x", false, false, {}, "expected a port from 1 to 65535"},
      {"nats://h:1,/x", false, false, {}, "expected HOST:PORT"},
      {"nats://h:1/a..b", false, false, {}, "dot-separated words"},
      {"nats://h:1/a.*", false, false, {}, "dot-separated words"},
      {"nats://h:1/a.", false, false, {}, "ends with a dot"},
  };
  for (const Case& c : cases) {
    Nats_Url url;
    std::string err;
    EXPECT_EQ(ParseNatsUrl(c.text, &url, &err), c.ok) << c.text << ": " << err;
    if (c.ok) {
      EXPECT_EQ(url.tls, c.tls) << c.text;
      EXPECT_EQ(url.servers, c.servers) << c.text;
      EXPECT_EQ(url.name, c.name_or_error) << c.text;
    } else {
      EXPECT_NE(err.find(c.name_or_error), std::string::npos)
          << c.text << ": " << err;
    }
  }
}

TEST(NatsUrlTest, HostTokenIsOneSubjectTokenAndKey) {
  EXPECT_EQ(NatsHostToken("web1.example.com"), "web1_example_com");
  EXPECT_EQ(NatsHostToken("web1:TVX"), "web1_TVX");
  EXPECT_EQ(NatsHostToken("a b>*c-d_e"), "a_b__c-d_e");
  EXPECT_EQ(NatsHostToken(""), "_");
}

}  // namespace
