#include "framework/row_json.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "tables/x7srv_rnodests_base.h"

namespace {

TEST(RowJsonTest, StringsKeepValidUtf8AndEscapeTheRest) {
  const struct {
    std::string in;
    const char* out;
  } cases[] = {
      {"plain text", R"("plain text")"},
      {"say \"hi\" \\ now", R"("say \"hi\" \\ now")"},
      {"a\tb\nc\rd", R"("a\tb\nc\rd")"},
      {std::string("nul\0bell\x07" "del\x7f", 13), R"("nul\u0000bell\u0007del\u007f")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\xff", R"("\u00ff")"},
      {"\xc0\xaf", R"("\u00c0\u00af")"},              // overlong '/'
      {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")"},    // surrogate
      {"\xf4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},  // past U+10FFFF
      {"end\xe2\x82", R"("end\u00e2\u0082")"},        // cut sequence
  };
  for (const auto& c : cases) {
    std::string out;
    JsonAppendString(&out, c.in);
    EXPECT_EQ(out, c.out) << c.in;
  }
}

TEST(RowJsonTest, RowHasEveryColumnByNameUnpadded) {
  RequestDetail detail;
  detail.appl = "X7SRV";
  detail.table = "RNODESTS";
  ContextInfo context;
  x7srv_rnodests_base request(&detail, &context, nullptr);
  x7srv_rnodests_data_t row;
  memset(&row, 0, sizeof row);
  row.sampleno = 4294967295u;
  memcpy(row.originnode, "host:TVX  ", 10);
  memcpy(row.nodetype, "TVX ", 4);
  memcpy(row.online, "Y", 1);
  memcpy(row.version, "01.02.03 bld", 12);  // full width, no terminator
  memcpy(row.expirytime, "1261208023000000", 16);
  memcpy(row.affinities, "AFF_\"X\"", 7);
  EXPECT_EQ(RowToJson(request, reinterpret_cast<const char*>(&row)),
            R"({"SAMPLENO":4294967295,"ORIGINNODE":"host:TVX","NODETYPE":"TVX","ONLINE":"Y",)"
            R"("X7ONLINE":"","PRODUCT":"","VERSION":"01.02.03 bld",)"
            R"("EXPIRYTIME":"1261208023000000","AFFINITIES":"AFF_\"X\"","TIMESTAMP":""})");
}

}  // namespace
