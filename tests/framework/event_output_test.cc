// The event outputs and streams on their own: a deleted event file, the
// syslog message form, a stream's drop notice, the durable mark.
#include "framework/event_output.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "framework/event_sink.h"
#include "framework/event_stream.h"
#include "tests/support/temp_dir.h"
#include "tests/testutil.h"
#include "util/unique_fd.h"

namespace {

TEST(EventOutputTest, DeletedFileIsCreatedAgainAndTakesTheLine) {
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("events.jsonl");
  std::vector<std::unique_ptr<Event_Output>> outputs;
  std::string err;
  ASSERT_TRUE(MakeEventOutputs(path.c_str(), &outputs, &err)) << err;
  ASSERT_EQ(outputs.size(), 1u);
  Event_Output& file = *outputs[0];
  EXPECT_TRUE(file.Durable());
  std::string why;
  ASSERT_TRUE(file.Put("s", "{\"n\":1}\n", &why)) << why;
  ASSERT_EQ(unlink(path.c_str()), 0);
  // Written into the deleted file first, then again at the path.
  ASSERT_TRUE(file.Put("s", "{\"n\":2}\n", &why)) << why;
  EXPECT_EQ(qortest::ReadFile(path), "{\"n\":2}\n");
  ASSERT_TRUE(file.Put("s", "{\"n\":3}\n", &why)) << why;
  EXPECT_EQ(qortest::ReadFile(path), "{\"n\":2}\n{\"n\":3}\n");
}

TEST(EventOutputTest, SyslogMessageIsWhatTheCLibrarySends) {
  // A day of one digit is padded with a blank, as syslog() does.
  struct tm tm = {};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 8;
  tm.tm_hour = 2;
  tm.tm_min = 30;
  tm.tm_sec = 5;
  tm.tm_isdst = -1;
  const time_t when = mktime(&tm);
  EXPECT_EQ(
      EventSyslogMessage(16 * 8 + 5, when, 4242, "{\"situation\":\"s\"}\n"),
      "<133>Dec  8 02:30:05 qoragent[4242]: {\"situation\":\"s\"}");
  tm.tm_mday = 18;
  tm.tm_isdst = -1;
  EXPECT_EQ(EventSyslogMessage(3 * 8 + 5, mktime(&tm), 7, "{}"),
            "<29>Dec 18 02:30:05 qoragent[7]: {}");
}

TEST(EventOutputTest, SyslogOutputSendsTheTraditionalFormToItsSocket) {
  qortest::Scoped_Temp_Dir dir;
  const std::string sock = dir.File("log.sock");
  Unique_Fd server(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", sock.c_str());
  ASSERT_EQ(
      bind(server.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
  setenv("HOV_SYSLOG_SOCKET", sock.c_str(), 1);
  std::vector<std::unique_ptr<Event_Output>> outputs;
  std::string err;
  ASSERT_TRUE(MakeEventOutputs("syslog:local3", &outputs, &err)) << err;
  unsetenv("HOV_SYSLOG_SOCKET");
  EXPECT_FALSE(outputs[0]->Durable());
  std::string why;
  ASSERT_TRUE(outputs[0]->Put("s", "{\"x\":1}\n", &why)) << why;
  char buf[512];
  const ssize_t n = recv(server.get(), buf, sizeof buf, 0);
  ASSERT_GT(n, 0);
  const std::string msg(buf, static_cast<size_t>(n));
  EXPECT_TRUE(std::regex_match(
      msg,
      std::regex(
          "<157>[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} qoragent\\[" +
          std::to_string(getpid()) + "\\]: \\{\"x\":1\\}")))
      << msg;
}

// Reads what arrives on `fd` within a poll of `ms` into *out; false when
// nothing came.
bool ReadSome(int fd, std::string* out, int ms) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) {
    return false;
  }
  char buf[65536];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) {
    return false;
  }
  out->append(buf, static_cast<size_t>(n));
  return true;
}

TEST(EventStreamTest, DropsAreToldWithoutAFollowingEvent) {
  int pair[2];
  ASSERT_EQ(
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair),
      0);
  Unique_Fd server(pair[0]);
  Unique_Fd client(pair[1]);
  Unique_Fd stop(eventfd(0, EFD_CLOEXEC));
  std::thread serve([&] {
    std::string err;
    EXPECT_TRUE(Event_Streams::Serve(server.get(), stop.get(), {}, &err))
        << err;
  });
  // Ends the stream however the test ends.
  struct Stopper {
    int fd;
    std::thread* serve;
    ~Stopper() {
      const uint64_t one = 1;
      if (write(fd, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) {
        serve->join();
      }
    }
  } stopper{stop.get(), &serve};
  std::string got;
  ASSERT_TRUE(qortest::WaitUntil([&] {
    ReadSome(client.get(), &got, 10);
    return got == "OK stream\n";
  }));
  // The client reads nothing while more than the stream holds is published.
  const std::string line = "{\"event\":\"" + std::string(1000, 'x') + "\"}\n";
  const size_t published = 2 * EVENT_STREAM_UNREAD_MAX / line.size();
  for (size_t i = 0; i < published; ++i) {
    Event_Streams::Publish("s", line);
  }
  // Then it reads all, and no event follows: the notice still comes.
  const std::regex note("\\{\"dropped\":([0-9]+)\\}\n$");
  std::smatch m;
  ASSERT_TRUE(qortest::WaitUntil([&] {
    while (ReadSome(client.get(), &got, 10)) {
    }
    return std::regex_search(got, m, note);
  })) << got.size();
  const size_t delivered = (got.size() - m.length(0) - 10) / line.size();
  EXPECT_EQ(delivered + std::stoul(m[1]), published);
}

TEST(EventSinkTest, DurableMarkFollowsTheEventFile) {
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("events.jsonl");
  std::string err;
  // A syslog socket nobody has: a best-effort output that fails.
  setenv("HOV_SYSLOG_SOCKET", dir.File("missing.sock").c_str(), 1);
  ASSERT_TRUE(Event_Sink::Open((path + ",syslog").c_str(), &err)) << err;
  unsetenv("HOV_SYSLOG_SOCKET");
  Durable_Position<int> position;
  position.Reached(1, Event_Sink::ThreadSequence());
  Event_Record e;
  e.situation = "s";
  e.table = "TVX.VXLOGENT";
  e.row = "{}";
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(Event_Sink::Write(e));
  }
  position.Reached(2, Event_Sink::ThreadSequence());
  ASSERT_TRUE(Event_Sink::AwaitDurable(60000));
  EXPECT_GE(Event_Sink::DurableSequence(), Event_Sink::ThreadSequence());
  int saved = 0;
  ASSERT_TRUE(position.Get(&saved));
  EXPECT_EQ(saved, 2);
  const std::vector<Event_Output_Counts> counts = Event_Sink::OutputCounts();
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_TRUE(counts[0].durable);
  EXPECT_EQ(counts[0].written, 100u);
  EXPECT_FALSE(counts[1].durable);
  Event_Sink::Close();
  const std::string text = qortest::ReadFile(path);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 100);
}

}  // namespace
