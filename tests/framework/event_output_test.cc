// The event outputs and streams on their own: a deleted event file, the
// syslog message form, a stream's drop notice, the durable mark.
#include "framework/events/event_output.h"

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

#include "framework/events/event_sink.h"
#include "framework/events/event_stream.h"
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
  // Then it reads all, and no event follows: the notices still come. Every
  // event is delivered or counted in a note (there may be more than one, as
  // the stream fills again while the client catches up).
  const std::regex note("\\{\"dropped\":([0-9]+)\\}\n");
  size_t delivered = 0;
  size_t dropped = 0;
  EXPECT_TRUE(qortest::WaitUntil([&] {
    while (ReadSome(client.get(), &got, 10)) {
    }
    delivered = 0;
    dropped = 0;
    for (auto it = std::sregex_iterator(got.begin(), got.end(), note);
         it != std::sregex_iterator(); ++it) {
      dropped += std::stoul((*it)[1]);
    }
    for (size_t at = got.find(line); at != std::string::npos;
         at = got.find(line, at + line.size())) {
      ++delivered;
    }
    return delivered + dropped == published;
  })) << delivered
      << " delivered, " << dropped << " dropped of " << published;
  EXPECT_GT(dropped, 0u);
}

// The exact event lines, one after the other as one thread makes them: the
// texts it remembers from the event before (situation, table, entry time)
// are not taken for ones that changed.
TEST(EventSinkTest, EventLinesComeOutExactlyAsBefore) {
  Event_Record e;
  e.situation = "sit\"1";
  e.table = "TVX.VXLOGENT";
  e.entrytime = "2026-12-09T01:07:29+00:00";
  e.row = "{\"A\":1}";
  const std::string time = "2026-12-09T01:07:30.123Z";
  const std::string first =
      "{\"time\":\"2026-12-09T01:07:30.123Z\",\"situation\":\"sit\\\"1\","
      "\"table\":\"TVX.VXLOGENT\",\"entrytime\":\"2026-12-09T01:07:29+00:00\","
      "\"row\":{\"A\":1}}\n";
  EXPECT_EQ(Event_Sink::Line(e, time), first);
  EXPECT_EQ(Event_Sink::Line(e, time), first);
  e.situation = "sit\"2";
  e.table = "TVX.VXLOGENU";
  e.entrytime = "2026-12-09T01:07:29+00:01";
  e.has_key = true;
  e.key = "k\x01\xff";
  e.suppressed = 12;
  EXPECT_EQ(Event_Sink::Line(e, time),
            "{\"time\":\"2026-12-09T01:07:30.123Z\",\"situation\":\"sit\\\"2\","
            "\"table\":\"TVX.VXLOGENU\",\"key\":\"k\\u0001\\u00ff\","
            "\"suppressed\":12,\"entrytime\":\"2026-12-09T01:07:29+00:01\","
            "\"row\":{\"A\":1}}\n");
  // A throttle's held-back count: no entry time, no row.
  e.entrytime.clear();
  e.row.clear();
  e.key.clear();
  EXPECT_EQ(Event_Sink::Line(e, "t"),
            "{\"time\":\"t\",\"situation\":\"sit\\\"2\",\"table\":"
            "\"TVX.VXLOGENU\",\"key\":\"\",\"suppressed\":12}\n");
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

// The positions waiting for a lagging output stay spread over the events in
// flight: the one kept is never more than a few steps behind the durable mark.
TEST(DurablePositionTest, WaitingPositionsThinEvenly) {
  Durable_Position<uint64_t> position;
  constexpr uint64_t kStep = 10;
  // A window's worth of steps waits: each one is kept.
  for (uint64_t s = kStep; s <= 20 * kStep; s += kStep) {
    position.Reached(s, s, 0);
  }
  uint64_t saved = 0;
  EXPECT_FALSE(position.Get(&saved, 0));
  ASSERT_TRUE(position.Get(&saved, 15 * kStep + 3));
  EXPECT_EQ(saved, 15 * kStep);
  // Far more than fit: the ones kept are thinned, not the newest replaced.
  constexpr uint64_t kSteps = 1000;
  for (uint64_t s = 21 * kStep; s <= kSteps * kStep; s += kStep) {
    position.Reached(s, s, 15 * kStep);
  }
  uint64_t worst = 0;
  for (uint64_t durable = 16 * kStep; durable <= kSteps * kStep;
       durable += kStep) {
    Durable_Position<uint64_t> copy = position;
    ASSERT_TRUE(copy.Get(&saved, durable));
    ASSERT_LE(saved, durable);
    worst = std::max(worst, durable - saved);
  }
  // Evenly thinned, a kept position stands for at most about twice its share
  // of what waits.
  EXPECT_LE(worst,
            2 * kSteps * kStep / Durable_Position<uint64_t>::kWaitingMax);
  ASSERT_TRUE(position.Get(&saved, kSteps * kStep));
  EXPECT_EQ(saved, kSteps * kStep);
}

// Takes joined lines; every second Put fails.
class Flaky_Output : public Event_Output {
 public:
  Flaky_Output() : Event_Output("flaky") {}
  bool Put(const std::string&, const std::string& line,
           std::string* why) override {
    if (++puts_ % 2 == 0) {
      *why = "failed";
      return false;
    }
    kept_ += line;
    return true;
  }
  bool TakesJoinedLines() const override { return true; }
  std::string kept_;

 private:
  int puts_ = 0;
};

std::string NumberedLine(int i) {
  return "{\"n\":" + std::to_string(i) + ",\"pad\":\"" + std::string(200, 'x') +
         "\"}\n";
}

TEST(EventOutputTest, BatchGoesOutInWholeLinesInOrderThoughAPartFails) {
  Event_Batch batch;
  std::string all;
  for (int i = 0; i < 1000; ++i) {
    const std::string line = NumberedLine(i);
    batch.Add(i < 500 ? "a" : "b",
              [&line](std::string* text) { text->append(line); });
    all += line;
  }
  ASSERT_EQ(batch.size(), 1000u);
  EXPECT_EQ(batch.Situation(499), "a");
  EXPECT_EQ(batch.Situation(500), "b");
  EXPECT_EQ(batch.Line(7), NumberedLine(7));

  // An event file takes it all, straight from the batch, in several writes.
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("events.jsonl");
  std::vector<std::unique_ptr<Event_Output>> outputs;
  std::string err;
  ASSERT_TRUE(MakeEventOutputs(path.c_str(), &outputs, &err)) << err;
  size_t calls = 0;
  for (size_t first = 0; first < batch.size(); ++calls) {
    bool kept = false;
    std::string why;
    const size_t took = outputs[0]->PutLines(batch, first, &kept, &why);
    ASSERT_GE(took, 1u);
    ASSERT_TRUE(kept) << why;
    first += took;
  }
  EXPECT_GT(calls, 1u);
  EXPECT_EQ(qortest::ReadFile(path), all);

  // An output that loses every second write: what it kept are whole lines,
  // in order, and the lost ones are exactly those reported lost.
  Flaky_Output flaky;
  std::string expected;
  size_t lost = 0;
  for (size_t first = 0; first < batch.size();) {
    bool kept = false;
    std::string why;
    const size_t took = flaky.PutLines(batch, first, &kept, &why);
    ASSERT_GE(took, 1u);
    if (kept) {
      expected += batch.Lines(first, first + took);
    } else {
      lost += took;
    }
    first += took;
  }
  EXPECT_GT(lost, 0u);
  EXPECT_EQ(flaky.kept_, expected);
  EXPECT_EQ(
      static_cast<size_t>(std::count(expected.begin(), expected.end(), '\n')),
      batch.size() - lost);
}

TEST(EventSinkTest, EventsOfAPassKeepTheirOrderAndAreNumberedWhenAsked) {
  qortest::Scoped_Temp_Dir dir;
  const std::string path = dir.File("events.jsonl");
  std::string err;
  ASSERT_TRUE(Event_Sink::Open(path.c_str(), &err)) << err;
  // Two threads in long passes: each one's events in its order, every line
  // whole, none lost; the sequence a pass reads covers the events it wrote.
  constexpr int kEach = 5000;
  const auto pass = [&path](const char* situation) {
    const Event_Wake_Deferral deferral;
    Event_Record e;
    e.situation = situation;
    e.table = "TVX.VXLOGENT";
    for (int i = 0; i < kEach; ++i) {
      e.row = "{\"N\":" + std::to_string(i) + "}";
      Event_Sink::Write(e);
      if (i == 10) {
        // Numbered and written though the pass goes on.
        const uint64_t sequence = Event_Sink::ThreadSequence();
        EXPECT_GT(sequence, 0u);
        EXPECT_TRUE(Event_Sink::AwaitDurable(60000));
        EXPECT_GE(Event_Sink::DurableSequence(), sequence);
        EXPECT_NE(qortest::ReadFile(path).find(
                      std::string("\"situation\":\"") + situation +
                      "\",\"table\":\"TVX.VXLOGENT\",\"row\":{\"N\":10}"),
                  std::string::npos);
      }
    }
  };
  std::thread a(pass, "a");
  std::thread b(pass, "b");
  a.join();
  b.join();
  ASSERT_TRUE(Event_Sink::AwaitDurable(60000));
  Event_Sink::Close();
  const std::string text = qortest::ReadFile(path);
  int next[2] = {0, 0};
  const std::regex form(
      R"re(\{"time":"[^"]+","situation":"([ab])","table":"TVX.VXLOGENT","row":\{"N":(\d+)\}\})re");
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "a torn last line";
    std::smatch m;
    const std::string line = text.substr(at, end - at);
    ASSERT_TRUE(std::regex_match(line, m, form)) << line;
    int& expected = next[m[1] == "a" ? 0 : 1];
    ASSERT_EQ(std::stoi(m[2]), expected) << line;
    ++expected;
    at = end + 1;
  }
  EXPECT_EQ(next[0], kEach);
  EXPECT_EQ(next[1], kEach);
}

}  // namespace
