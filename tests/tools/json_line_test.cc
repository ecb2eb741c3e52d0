// Tests of reading the control server's JSON lines.
#include "tools/json_line.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string Render(const std::vector<Json_Field>& fields) {
  std::string out;
  for (const Json_Field& f : fields) {
    out += (out.empty() ? "" : " ") + f.key + "=" + (f.is_string ? "'" + f.text + "'" : f.text);
  }
  return out;
}

TEST(JsonLineTest, ReadsTheAgentsObjects) {
  const struct {
    std::string line;
    bool ok;
    std::string result;  // Render() of the fields, or the error text
  } cases[] = {
      {"{}", true, ""},
      {"{\"A\":\"x\",\"B\":-12,\"C\":true,\"D\":null}", true, "A='x' B=-12 C=true D=null"},
      {" { \"A\" : \"q\\\"b\\\\s\\/\" } ", true, "A='q\"b\\s/'"},
      {"{\"A\":\"x\\u00e9y\\nz\\t\\u0001\"}", true, "A='x\xc3\xa9y\\nz\\t\\u0001'"},
      {"{\"A\":\"caf\xc3\xa9\"}", true, "A='caf\xc3\xa9'"},
      {"{\"A\":[1],\"B\":{\"C\":2}}", true, "A=[1] B={\"C\":2}"},
      {"", false, "not JSON at column 1"},
      {"{\"A\":1", false, "not JSON at column 7"},
      {"{A:1}", false, "not JSON at column 2"},
      {"[1]", false, "expected an object at column 1"},
  };
  for (const auto& c : cases) {
    std::vector<Json_Field> fields;
    std::string err;
    EXPECT_EQ(ParseJsonLine(c.line, &fields, &err), c.ok) << c.line;
    EXPECT_EQ(c.ok ? Render(fields) : err, c.result) << c.line;
  }
  std::vector<Json_Field> fields;
  std::string err;
  ASSERT_TRUE(ParseJsonLine("{\"A\":1,\"B\":\"2\"}", &fields, &err));
  ASSERT_NE(FindJsonField(fields, "B"), nullptr);
  EXPECT_EQ(FindJsonField(fields, "B")->text, "2");
  EXPECT_EQ(FindJsonField(fields, "C"), nullptr);
}

}  // namespace
