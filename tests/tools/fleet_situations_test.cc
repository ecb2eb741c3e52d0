// qorctl --fleet situation ...: arguments refused before anything is sent.
#include "tools/fleet_situations.h"

#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/fleet_client.h"
#include "tools/qorctl_command.h"

namespace {

// Runs qorctl --fleet with `args` against a port nothing listens on; the
// status and what it wrote on standard error.
std::pair<int, std::string> Fleet(std::vector<std::string> args) {
  args.insert(args.begin(), {"--fleet", "nats://127.0.0.1:1/ops"});
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  const int status = QorctlFleetMain(args, out, err);
  std::string text(4096, '\0');
  rewind(err);
  text.resize(fread(&text[0], 1, text.size(), err));
  fclose(out);
  fclose(err);
  return {status, text};
}

TEST(FleetSituationsArgsTest, BadArgumentsAreRefusedBeforeConnecting) {
  const std::string long_condition =
      "ENTRYDESC ~ \"" + std::string(8200, 'x') + "\"";
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--host", "a", "--host", "b", "situation", "del", "s"}, "one --host"},
      {{"--host", "a", "--group", "web", "situation", "del", "s"},
       "exclude each other"},
      {{"--group", "web.db", "situation", "del", "s"}, "--group: expected"},
      {{"situation", "add", "bad/name", "VXLOGENT"}, "situation name"},
      {{"situation", "add", "s"}, "usage:"},
      {{"situation", "rollback", "s", "two"}, "expected a revision number"},
      {{"situation", "add", "s", "VXLOGENT", long_condition}, "at most 8192"},
      {{"situation", "add", "s", "VXLOGENT", "A ~ \"x\ny\""}, "line breaks"},
      {{"situations", "extra"}, "usage:"},
      {{"--group", "web", "logs"}, "--group belongs to the situation"},
  };
  for (const auto& c : cases) {
    const auto [status, err] = Fleet(c.args);
    EXPECT_EQ(status, QORCTL_USAGE) << c.says;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
  }
  // Good arguments reach the connection: no server there.
  const auto [status, err] = Fleet({"situation", "del", "s"});
  EXPECT_EQ(status, QORCTL_UNREACHABLE);
  EXPECT_NE(err.find("cannot reach the NATS servers"), std::string::npos)
      << err;
}

}  // namespace
