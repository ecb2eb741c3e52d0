// What one NATS connection can publish to a JetStream stream on this
// machine with nothing else to do: the ceiling the agent's JetStream sink is
// measured against (bench/delivery_bench.py ceiling). It makes the
// file-backed stream NAME capturing SUBJECT.> as the agent does, publishes
// COUNT messages of BYTES bytes to SUBJECT.host, each with a reply subject
// of its own as the agent's are, at most WINDOW unanswered at a time, and
// prints how long it took until every one was acknowledged.
//
// Usage: jetstream_ceiling URL NAME SUBJECT COUNT BYTES WINDOW
#include <nats/nats.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <string>

namespace {

struct Answers {
  std::mutex mu;
  std::condition_variable moved;
  long acknowledged = 0;
  long failed = 0;
};

void OnAnswer(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
  auto* a = static_cast<Answers*>(closure);
  const char* data = natsMsg_GetData(msg);
  const bool ok = data != nullptr && strstr(data, "\"seq\"") != nullptr &&
                  strstr(data, "\"error\"") == nullptr;
  natsMsg_Destroy(msg);
  std::lock_guard<std::mutex> g(a->mu);
  ++(ok ? a->acknowledged : a->failed);
  a->moved.notify_one();
}

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int Fail(const char* what, natsStatus s) {
  fprintf(stderr, "jetstream_ceiling: %s: %s\n", what, natsStatus_GetText(s));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    fprintf(stderr,
            "usage: jetstream_ceiling URL NAME SUBJECT COUNT BYTES WINDOW\n");
    return 2;
  }
  const char* url = argv[1];
  const std::string name = argv[2];
  const std::string subject = argv[3];
  const long count = atol(argv[4]);
  const long bytes = atol(argv[5]);
  const long window = atol(argv[6]);
  if (count <= 0 || bytes <= 0 || window <= 0) {
    fprintf(stderr,
            "jetstream_ceiling: COUNT, BYTES and WINDOW are positive\n");
    return 2;
  }
  natsConnection* nc = nullptr;
  natsStatus s = natsConnection_ConnectTo(&nc, url);
  if (s != NATS_OK) {
    return Fail("connect", s);
  }
  jsCtx* js = nullptr;
  s = natsConnection_JetStream(&js, nc, nullptr);
  if (s != NATS_OK) {
    return Fail("JetStream", s);
  }
  const std::string captured = subject + ".>";
  const char* list[] = {captured.c_str()};
  jsStreamConfig sc;
  jsStreamConfig_Init(&sc);
  sc.Name = name.c_str();
  sc.Subjects = list;
  sc.SubjectsLen = 1;
  sc.Storage = js_FileStorage;
  jsStreamInfo* si = nullptr;
  s = js_AddStream(&si, js, &sc, nullptr, nullptr);
  if (s != NATS_OK) {
    return Fail("stream", s);
  }
  jsStreamInfo_Destroy(si);

  Answers answers;
  natsInbox* inbox = nullptr;
  natsInbox_Create(&inbox);
  const std::string prefix = std::string(inbox) + ".";
  natsInbox_Destroy(inbox);
  natsSubscription* sub = nullptr;
  s = natsConnection_Subscribe(&sub, nc, (prefix + "*").c_str(), OnAnswer,
                               &answers);
  if (s == NATS_OK) {
    s = natsSubscription_SetPendingLimits(sub, -1, -1);
  }
  if (s != NATS_OK) {
    return Fail("subscribe", s);
  }
  const std::string to = subject + ".host";
  const std::string payload(static_cast<size_t>(bytes - 1), 'x');
  std::string line = payload + "\n";
  std::string reply;
  const double t0 = Now();
  for (long i = 0; i < count; ++i) {
    {
      std::unique_lock<std::mutex> g(answers.mu);
      answers.moved.wait(g, [&] {
        return i - answers.acknowledged - answers.failed < window;
      });
    }
    char number[24];
    reply.assign(prefix).append(
        number, std::to_chars(number, number + sizeof number, i).ptr);
    s = natsConnection_PublishRequest(nc, to.c_str(), reply.c_str(),
                                      line.data(),
                                      static_cast<int>(line.size()));
    if (s != NATS_OK) {
      return Fail("publish", s);
    }
  }
  {
    std::unique_lock<std::mutex> g(answers.mu);
    answers.moved.wait(
        g, [&] { return answers.acknowledged + answers.failed >= count; });
  }
  const double secs = Now() - t0;
  printf(
      "%ld messages of %ld bytes: %.0fk acknowledged/s (%ld failed) in %.2f s\n",
      count, bytes, static_cast<double>(answers.acknowledged) / secs / 1000,
      answers.failed, secs);
  natsSubscription_Destroy(sub);
  jsCtx_Destroy(js);
  natsConnection_Destroy(nc);
  nats_Close();
  return answers.failed == 0 ? 0 : 1;
}
