// Tests of qorctl's control-socket client.
#include "tools/control_client.h"

#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/control/control_server.h"
#include "framework/situations/action_runner.h"
#include "framework/events/event_sink.h"
#include "framework/tables/table_manager.h"
#include "tests/support/ping_counts.h"
#include "tests/testutil.h"

namespace {

using qortest::PingCounts;

std::string Render(const Control_Reply& r) {
  static const char* const kStatus[] = {"OK", "ERR", "UNREACHABLE", "BROKEN"};
  std::string out = kStatus[static_cast<int>(r.status)];
  if (!r.text.empty()) {
    out += " (" + r.text + ")";
  }
  for (const std::string& l : r.lines) {
    out += " [" + l + "]";
  }
  if (r.truncated) {
    out += " TRUNCATED";
  }
  for (const std::string& u : r.unread) {
    out += " UNREAD(" + u + ")";
  }
  return out;
}

TEST(ControlClientTest, RepliesAreSplit) {
  const struct {
    std::string text;
    std::string result;
  } cases[] = {
      {"OK 0\n", "OK"},
      {"OK 2\n{\"a\":1}\n{\"b\":2}\n", "OK [{\"a\":1}] [{\"b\":2}]"},
      {"OK 1\n\n", "OK []"},
      {"OK 1\n{}\nTRUNCATED\n",
       "OK [{}] TRUNCATED"},  // the row limit cut the rows
      {"OK 0\nTRUNCATED later\n", "OK"},
      {"OK 1\n{}\nTRUNCATED\nUNREAD /l.2.gz: damaged\n",
       "OK [{}] TRUNCATED UNREAD(/l.2.gz: damaged)"},
      {"ERR unknown table X\n", "ERR (unknown table X)"},
      {"", "BROKEN (the agent closed the connection without a reply)"},
      {"OK 1", "BROKEN (the reply ended before its first line did)"},
      {"OK 2\n{}\n", "BROKEN (the reply ended after 1 of its 2 lines)"},
      {"OK x\n", "BROKEN (unexpected reply \"OK x\")"},
      {"OK \n", "BROKEN (unexpected reply \"OK \")"},
      {"HELLO\n", "BROKEN (unexpected reply \"HELLO\")"},
      {"OK stream\nEND 0\n", "OK"},
      {"OK stream\n{\"a\":1}\nTRUNCATED\nEND 1\n", "OK [{\"a\":1}] TRUNCATED"},
      {"OK stream\n{}\nUNREAD /l.1: denied\nEND 1\n",
       "OK [{}] UNREAD(/l.1: denied)"},
      {"OK stream\n{}\n",
       "BROKEN (the streamed reply ended before its END line, after 1 lines)"},
      {"OK stream\n{}\nEND 2\n",
       "BROKEN (the reply carried 1 lines but its END line says 2)"},
      {"OK stream\nhello\n",
       "BROKEN (unexpected line in a streamed reply \"hello\")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Render(ParseControlReply(c.text)), c.result) << c.text;
    // The same when the reply comes a byte at a time, with the lines kept
    // or handed over as they arrive.
    Control_Reply_Reader kept;
    std::vector<std::string> handed;
    Control_Reply_Reader streamed(
        [&handed](const char* line, size_t length) { handed.emplace_back(line, length); });
    for (const char ch : c.text) {
      kept.Feed(&ch, 1);
      streamed.Feed(&ch, 1);
    }
    EXPECT_EQ(Render(kept.Finish()), c.result) << c.text;
    Control_Reply r = streamed.Finish();
    if (r.status == Reply_Status::kOk) {
      EXPECT_EQ(r.line_count, handed.size()) << c.text;
      r.lines = handed;
    }
    EXPECT_EQ(Render(r), c.result) << c.text;
    // As runs of whole lines: the same text, cut anywhere.
    for (size_t cut = 0; cut <= c.text.size(); cut += 3) {
      std::string runs;
      Control_Reply_Reader texts(nullptr, [&runs](const char* text, size_t length) {
        runs.append(text, length);
      });
      texts.Feed(c.text.data(), cut);
      texts.Feed(c.text.data() + cut, c.text.size() - cut);
      const Control_Reply t = texts.Finish();
      if (t.status == Reply_Status::kOk) {
        std::string joined;
        for (const std::string& l : handed) {
          joined += l + "\n";
        }
        EXPECT_EQ(runs, joined) << c.text << " cut at " << cut;
        EXPECT_EQ(t.line_count, handed.size()) << c.text;
      }
    }
  }
}

TEST(ControlClientTest, TalksToTheServer) {
  qortest::Scoped_Temp_Dir dir;
  qortest::TraceCapture trace("ERROR");
  const std::string socket = dir.File("agent.sock");
  EXPECT_EQ(Render(SendControlRequest(socket, "PING", 1000)),
            "UNREACHABLE (No such file or directory)");
  setenv("HOV_SOCKET", socket.c_str(), 1);
  setenv("HOV_SYSTEM_NAME", "clienttest:TVX", 1);
  std::string err;
  ASSERT_TRUE(Control_Server::Start(&err)) << err;
  EXPECT_EQ(Render(SendControlRequest(socket, "PING", 10000)),
            "OK [{\"pid\":" + std::to_string(getpid()) + ",\"system\":\"clienttest:TVX\"," + PingCounts() + "}]");
  EXPECT_EQ(Render(SendControlRequest(socket, "PONG", 10000)),
            "ERR (unknown request PONG at column 1; expected PING, REPORT, SITUATION or EVENTS)");
  EXPECT_EQ(Render(SendControlRequest(socket, std::string(100000, 'x'), 10000)),
            "ERR (request line longer than 4096 bytes)");
  Control_Server::Stop();
  EXPECT_EQ(Render(SendControlRequest(socket, "PING", 1000)),
            "UNREACHABLE (No such file or directory)");
  unsetenv("HOV_SOCKET");
  unsetenv("HOV_SYSTEM_NAME");
}

}  // namespace
