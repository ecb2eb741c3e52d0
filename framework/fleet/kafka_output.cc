// The Kafka event output, through librdkafka's idempotent producer.
#include "framework/fleet/kafka_output.h"

#include <librdkafka/rdkafka.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "framework/fleet/fleet_output.h"
#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"
#include "util/kafka_properties.h"
#include "util/posix_mutex.h"
#include "util/repeat_limiter.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

constexpr int kPollMs = 100;
constexpr int kRetryMs = 1000;
constexpr int kCloseFlushMs = 2000;
constexpr useconds_t kQueueFullPauseUs = 10000;
// How long a look at the topic's metadata may hold up the poll thread.
constexpr int kProbeMs = 500;
// The client's statistics, which tell whether a broker is up.
constexpr const char* kStatsMs = "1000";
// How long the oldest event may wait for its acknowledgement before the
// wait is traced.
constexpr double kStuckSeconds = 30;

struct Retry {
  uint64_t sequence;
  std::string key;
  std::string value;
};

// Kafka_Output: owned by its event writer. PutNumberedLines runs on the
// writer's thread; the delivery reports, the error and log callbacks and the
// retries run on the output's poll thread (librdkafka's own threads call
// only the log callback).
class Kafka_Output : public Fleet_Output {
 public:
  Kafka_Output(const std::string& name, std::string topic,
               const Delivery_Window_Limits& limits)
      : Fleet_Output(name, limits), topic_(std::move(topic)) {}
  ~Kafka_Output() override {
    stop_.store(true);
    window_.Stop();
    if (started_) {
      pthread_join(thread_, nullptr);
    }
    Posix_Mutex::Hold g(&producer_mu_);
    if (rk_ != nullptr) {
      rd_kafka_flush(rk_, kCloseFlushMs);
      ApplyAcknowledgements();
    }
    DestroyProducer();
    if (conf_ != nullptr) {
      rd_kafka_conf_destroy(conf_);
    }
  }

  // Takes `conf`, which is kept to make a new producer from after a fatal
  // error.
  bool Open(rd_kafka_conf_t* conf, std::string* err) {
    rd_kafka_conf_set_opaque(conf, this);
    rd_kafka_conf_set_dr_msg_cb(conf, OnDelivery);
    rd_kafka_conf_set_error_cb(conf, OnError);
    rd_kafka_conf_set_log_cb(conf, OnLog);
    rd_kafka_conf_set_stats_cb(conf, OnStats);
    conf_ = conf;
    {
      Posix_Mutex::Hold g(&producer_mu_);
      if (!NewProducer(err)) {
        return false;
      }
    }
    if (pthread_create(&thread_, nullptr, Main, this) != 0) {
      *err = "cannot start the Kafka poll thread for " + Name();
      return false;
    }
    started_ = true;
    return true;
  }

  void Send(uint64_t sequence, std::string_view line) override {
    std::string scratch;
    Produce(sequence, EventLineHost(line, &scratch), line, false);
  }

  // Each line produced as it is (librdkafka copies it into its own batch
  // for the broker).
  void SendLines(const Event_Batch& batch, size_t first, size_t took,
                 uint64_t sequence) override {
    // One call for the lot: the library takes its locks and the time once.
    std::string scratch;
    messages_.resize(took);
    for (size_t i = 0; i < took; ++i) {
      const std::string_view line = batch.Line(first + i);
      const std::string_view key = EventLineHost(line, &scratch);
      if (key.data() == scratch.data()) {
        // An escaped name: produced alone, while `scratch` holds it.
        messages_[i].err = RD_KAFKA_RESP_ERR__INVALID_ARG;
        Produce(sequence + i, key, line, false);
        continue;
      }
      rd_kafka_message_t& m = messages_[i];
      m = rd_kafka_message_t();
      m.payload = const_cast<char*>(line.data());
      m.len = line.size();
      m.key = const_cast<char*>(key.data());
      m.key_len = key.size();
      m._private =
          reinterpret_cast<void*>(static_cast<uintptr_t>(sequence + i));
    }
    ProduceBatch();
  }

  bool Connected() const override {
    return connected_.load(std::memory_order_relaxed);
  }

 private:
  static void* Main(void* self) {
    pthread_setname_np(pthread_self(), "qor-kafka");
    static_cast<Kafka_Output*>(self)->PollLoop();
    return nullptr;
  }

  // The producer lock is held only for the library's call, never while a
  // full queue is waited out. On the poll thread (`polling`) the wait
  // serves delivery reports, which only that thread does.
  void Produce(uint64_t sequence, std::string_view key, std::string_view value,
               bool polling) {
    while (true) {
      rd_kafka_resp_err_t e = RD_KAFKA_RESP_ERR__STATE;
      {
        Posix_Mutex::Hold g(&producer_mu_);
        if (rkt_ != nullptr) {
          e = rd_kafka_produce(rkt_, RD_KAFKA_PARTITION_UA, RD_KAFKA_MSG_F_COPY,
                               const_cast<char*>(value.data()), value.size(),
                               key.data(), key.size(),
                               reinterpret_cast<void*>(
                                   static_cast<uintptr_t>(sequence))) == 0
                  ? RD_KAFKA_RESP_ERR_NO_ERROR
                  : rd_kafka_last_error();
        }
      }
      if (e == RD_KAFKA_RESP_ERR_NO_ERROR) {
        return;
      }
      if (e == RD_KAFKA_RESP_ERR__QUEUE_FULL && !stop_.load()) {
        // The library's own queue (queue.buffering.max.messages below the
        // window): room comes as the poll thread serves delivery reports.
        if (polling) {
          rd_kafka_poll(polled_, kQueueFullPauseUs / 1000);
          ApplyAcknowledgements();
        } else {
          usleep(kQueueFullPauseUs);
        }
        continue;
      }
      if (!GivenUp(e, sequence)) {
        Failed(Retry{sequence, std::string(key), std::string(value)},
               rd_kafka_err2str(e));
      }
      return;
    }
  }

  // Produces messages_ (those with an error set are left out); a full
  // library queue is waited out, another refusal goes to the retries.
  void ProduceBatch() {
    size_t count = 0;
    for (size_t i = 0; i < messages_.size(); ++i) {
      if (messages_[i].err == RD_KAFKA_RESP_ERR_NO_ERROR) {
        messages_[count++] = messages_[i];
      }
    }
    messages_.resize(count);
    while (!messages_.empty()) {
      {
        Posix_Mutex::Hold g(&producer_mu_);
        if (rkt_ != nullptr) {
          rd_kafka_produce_batch(rkt_, RD_KAFKA_PARTITION_UA,
                                 RD_KAFKA_MSG_F_COPY, messages_.data(),
                                 static_cast<int>(messages_.size()));
        } else {
          for (rd_kafka_message_t& m : messages_) {
            m.err = RD_KAFKA_RESP_ERR__STATE;  // renewed: produced again
          }
        }
      }
      size_t again = 0;
      for (const rd_kafka_message_t& m : messages_) {
        if (m.err == RD_KAFKA_RESP_ERR_NO_ERROR) {
          continue;
        }
        if (m.err == RD_KAFKA_RESP_ERR__QUEUE_FULL && !stop_.load()) {
          rd_kafka_message_t retry = m;
          retry.err = RD_KAFKA_RESP_ERR_NO_ERROR;
          messages_[again++] = retry;
          continue;
        }
        if (GivenUp(m.err, static_cast<uint64_t>(
                               reinterpret_cast<uintptr_t>(m._private)))) {
          continue;
        }
        Failed(Retry{static_cast<uint64_t>(
                         reinterpret_cast<uintptr_t>(m._private)),
                     std::string(static_cast<const char*>(m.key), m.key_len),
                     std::string(static_cast<const char*>(m.payload), m.len)},
               rd_kafka_err2str(m.err));
      }
      messages_.resize(again);
      if (again > 0) {
        // The library's own queue (queue.buffering.max.messages below the
        // window): room comes as the poll thread serves delivery reports.
        usleep(kQueueFullPauseUs);
      }
    }
  }

  // An error no retry can mend (a message larger than the client or the
  // cluster takes, a record the broker refuses): the event is given up,
  // counted as rejected, so that it holds back no saved position. True
  // when `e` is one.
  bool GivenUp(rd_kafka_resp_err_t e, uint64_t sequence) {
    if (e != RD_KAFKA_RESP_ERR_MSG_SIZE_TOO_LARGE &&
        e != RD_KAFKA_RESP_ERR_RECORD_LIST_TOO_LARGE &&
        e != RD_KAFKA_RESP_ERR_INVALID_RECORD) {
      return false;
    }
    Rejected(sequence, topic_, rd_kafka_err2str(e));
    return true;
  }

  void Failed(Retry r, const char* why) {
    failed_attempts_.fetch_add(1, std::memory_order_relaxed);
    uint64_t held = 0;
    bool due;
    {
      Posix_Mutex::Hold g(&mu_);
      retry_.push_back(std::move(r));
      due = failures_.Due(&held);
    }
    if (due) {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nEvent not delivered to %s: %s; it is produced again until it is "
          "acknowledged; %llu more failures since the last report.",
          Name().c_str(), why, static_cast<unsigned long long>(held));
    }
  }

  // On the thread that polls: acknowledgements are gathered and applied to
  // the window once per poll.
  static void OnDelivery(rd_kafka_t* /*rk*/, const rd_kafka_message_t* m,
                         void* opaque) {
    auto* self = static_cast<Kafka_Output*>(opaque);
    const uint64_t sequence =
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(m->_private));
    if (m->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
      self->acks_.push_back(sequence);
      return;
    }
    if (self->GivenUp(m->err, sequence)) {
      return;
    }
    self->Failed(
        Retry{sequence,
              std::string(static_cast<const char*>(m->key), m->key_len),
              std::string(static_cast<const char*>(m->payload), m->len)},
        rd_kafka_err2str(m->err));
  }

  void ApplyAcknowledgements() {
    if (!acks_.empty()) {
      connected_.store(true, std::memory_order_relaxed);
      Acknowledged(acks_.data(), acks_.size());
      acks_.clear();
    }
  }

  static void OnError(rd_kafka_t* rk, int err, const char* reason,
                      void* opaque) {
    auto* self = static_cast<Kafka_Output*>(opaque);
    if (err == RD_KAFKA_RESP_ERR__ALL_BROKERS_DOWN ||
        err == RD_KAFKA_RESP_ERR__SSL ||
        err == RD_KAFKA_RESP_ERR__AUTHENTICATION) {
      self->connected_.store(false, std::memory_order_relaxed);
    }
    char fatal[512] = "";
    if (err == RD_KAFKA_RESP_ERR__FATAL) {
      rd_kafka_fatal_error(rk, fatal, sizeof fatal);
      reason = fatal;
      self->fatal_.store(true);
    }
    uint64_t held = 0;
    bool due;
    {
      Posix_Mutex::Hold g(&self->mu_);
      due = self->errors_.Due(&held);
    }
    if (due) {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nKafka error for %s: %s; %llu more errors since the last report.",
          self->Name().c_str(), reason, static_cast<unsigned long long>(held));
    }
  }

  // The client's statistics (every kStatsMs unless the properties say
  // otherwise): connected while one broker is up. The library's "all
  // brokers down" error does not come while it keeps trying some of them.
  static int OnStats(rd_kafka_t* /*rk*/, char* json, size_t json_len,
                     void* opaque) {
    static const char kUp[] = "\"state\":\"UP\"";
    const bool up = memmem(json, json_len, kUp, sizeof kUp - 1) != nullptr;
    static_cast<Kafka_Output*>(opaque)->connected_.store(
        up, std::memory_order_relaxed);
    return 0;
  }

  // librdkafka's own log lines, which would go to standard error: into the
  // trace at the flow level (errors come through OnError).
  static void OnLog(const rd_kafka_t* /*rk*/, int level, const char* facility,
                    const char* text) {
    WEX1_TRACE(wex1, WEX1_FLOW, "\nKafka client (%d %s): %s", level, facility,
               text);
  }

  // Serves the delivery reports, the statistics and the errors, and once a
  // second produces the failed events again.
  void PollLoop() {
    int64_t waited = 0;
    while (!stop_.load()) {
      if (polled_ != nullptr) {
        rd_kafka_poll(polled_, kPollMs);
      } else {
        usleep(kPollMs * 1000);
      }
      ApplyAcknowledgements();
      waited += kPollMs;
      if (fatal_.load() || polled_ == nullptr) {
        Renew();
      }
      if (waited < kRetryMs) {
        continue;
      }
      waited = 0;
      TraceIfStuck();
      std::deque<Retry> again;
      {
        Posix_Mutex::Hold g(&mu_);
        again.swap(retry_);
      }
      for (const Retry& r : again) {
        retried_.fetch_add(1, std::memory_order_relaxed);
        Produce(r.sequence, r.key, r.value, true);
      }
    }
  }

  // A producer and its topic from a copy of conf_; traced and left null
  // when the client refuses (tried again by the poll thread).
  bool NewProducer(std::string* err) REQUIRES(producer_mu_) {
    char errstr[512];
    rd_kafka_conf_t* conf = rd_kafka_conf_dup(conf_);
    rk_ = rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof errstr);
    if (rk_ == nullptr) {
      rd_kafka_conf_destroy(conf);
      *err = "Kafka producer for " + Name() + ": " + errstr;
      return false;
    }
    rkt_ = rd_kafka_topic_new(rk_, topic_.c_str(), nullptr);
    if (rkt_ == nullptr) {
      *err = "Kafka topic " + topic_ + " for " + Name() + ": " +
             rd_kafka_err2str(rd_kafka_last_error());
      DestroyProducer();
      return false;
    }
    polled_ = rk_;
    polled_topic_ = rkt_;
    return true;
  }

  void DestroyProducer() REQUIRES(producer_mu_) {
    if (rkt_ != nullptr) {
      rd_kafka_topic_destroy(rkt_);
    }
    if (rk_ != nullptr) {
      rd_kafka_destroy(rk_);
    }
    rk_ = nullptr;
    rkt_ = nullptr;
    polled_ = nullptr;
    polled_topic_ = nullptr;
  }

  // After a fatal error (the idempotent producer's guarantee broken: a
  // fenced or refused producer id) the producer takes nothing more. What
  // it holds is purged into the retries, and a new producer with the same
  // settings and a new id takes over; the events it held are produced
  // again (at least once, as after a restart).
  void Renew() {
    std::string err;
    Posix_Mutex::Hold g(&producer_mu_);
    if (rk_ != nullptr) {
      char reason[512] = "";
      rd_kafka_fatal_error(rk_, reason, sizeof reason);
      rd_kafka_purge(rk_, RD_KAFKA_PURGE_F_QUEUE | RD_KAFKA_PURGE_F_INFLIGHT);
      // The purged messages' reports, each into the retries.
      for (int i = 0; i < kCloseFlushMs / kPollMs && rd_kafka_outq_len(rk_) > 0;
           ++i) {
        rd_kafka_poll(rk_, kPollMs);
      }
      ApplyAcknowledgements();
      const int lost = rd_kafka_outq_len(rk_);
      DestroyProducer();
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nKafka producer for %s stopped on a fatal error (%s); a new "
                 "producer takes over and the events not acknowledged are "
                 "produced again%s.",
                 Name().c_str(), reason,
                 lost > 0 ? " (some only when the log is read again)" : "");
    }
    fatal_.store(false);
    if (NewProducer(&err)) {
      return;
    }
    uint64_t held = 0;
    bool due;
    {
      Posix_Mutex::Hold e(&mu_);
      due = errors_.Due(&held);
    }
    if (due) {
      WEX1_TRACE(wex1, WEX1_ERROR, "\n%s; tried again every %d ms.",
                 err.c_str(), kPollMs);
    }
  }

  // Events the cluster has taken none of for kStuckSeconds (a topic it
  // refuses, brokers that never answer; the library fails them only after
  // message.timeout.ms): traced once a minute, with what the cluster says
  // of the topic.
  void TraceIfStuck() {
    const double oldest = window_.OldestAgeSeconds();
    if (oldest < kStuckSeconds) {
      return;
    }
    uint64_t held = 0;
    {
      Posix_Mutex::Hold g(&mu_);
      if (!stuck_.Due(&held)) {
        return;
      }
    }
    std::string why = "the cluster has not acknowledged them";
    const struct rd_kafka_metadata* md = nullptr;
    const rd_kafka_resp_err_t e =
        polled_ == nullptr
            ? RD_KAFKA_RESP_ERR__STATE
            : rd_kafka_metadata(polled_, 0, polled_topic_, &md, kProbeMs);
    if (e != RD_KAFKA_RESP_ERR_NO_ERROR) {
      why = rd_kafka_err2str(e);
    } else {
      if (md->topic_cnt == 1 &&
          md->topics[0].err != RD_KAFKA_RESP_ERR_NO_ERROR) {
        why = std::string("topic ") + topic_ + ": " +
              rd_kafka_err2str(md->topics[0].err);
      }
      rd_kafka_metadata_destroy(md);
    }
    WEX1_TRACE(
        wex1, WEX1_ERROR,
        "\nEvents wait for %s: %llu not acknowledged, the oldest for %.0f s: %s; they "
        "are held until the cluster takes them.",
        Name().c_str(), static_cast<unsigned long long>(window_.Events()),
        oldest, why.c_str());
  }

  const std::string topic_;
  rd_kafka_conf_t* conf_ = nullptr;  // the settings of every producer
  // The writer's produce calls against a renewal on the poll thread.
  Posix_Mutex producer_mu_;
  rd_kafka_t* rk_ GUARDED_BY(producer_mu_) = nullptr;
  rd_kafka_topic_t* rkt_ GUARDED_BY(producer_mu_) = nullptr;
  // The same, for the poll thread, which alone changes them (and uses them
  // without the lock, so that a writer waiting for room in the library's
  // queue never holds up the delivery reports that make it).
  rd_kafka_t* polled_ = nullptr;
  rd_kafka_topic_t* polled_topic_ = nullptr;
  std::atomic<bool> fatal_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  std::vector<rd_kafka_message_t> messages_;  // the writer's thread's
  std::vector<uint64_t> acks_;                // the poll thread's
  Posix_Mutex mu_;
  std::deque<Retry> retry_ GUARDED_BY(mu_);
  Repeat_Limiter failures_ GUARDED_BY(mu_);
  Repeat_Limiter errors_ GUARDED_BY(mu_);
  Repeat_Limiter stuck_ GUARDED_BY(mu_);
  pthread_t thread_{};
  bool started_ = false;
};

// The key=value lines of HOV_KAFKA_PROPERTIES (blank lines and lines
// starting with '#' skipped).
bool LoadProperties(rd_kafka_conf_t* conf, std::string* err) {
  const char* path = getenv("HOV_KAFKA_PROPERTIES");
  if (path == nullptr || *path == '\0') {
    return true;
  }
  // Refused with *err, which the caller reports.
  if (!HOV_TrustedFile("Kafka properties file", path, false, err)) {
    return false;
  }
  return LoadKafkaProperties(conf, path, err);
}

}  // namespace

bool ParseKafkaUrl(const std::string& text, Kafka_Url* url, std::string* err) {
  const std::string usage = "\"" + FleetUrlForMessages(text) +
                            "\" is not kafka://HOST:PORT[,HOST:PORT...]/TOPIC";
  if (text.compare(0, 8, "kafka://") != 0) {
    *err = usage;
    return false;
  }
  const size_t slash = text.find('/', 8);
  if (slash == std::string::npos) {
    *err = usage;
    return false;
  }
  url->brokers = text.substr(8, slash - 8);
  url->topic = text.substr(slash + 1);
  if (url->topic.empty() || url->topic.size() > 249 ||
      url->topic.find_first_not_of(
          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
          std::string::npos) {
    *err = usage + " (a topic is letters, digits, '.', '_' and '-')";
    return false;
  }
  size_t at = 0;
  do {
    const size_t comma = url->brokers.find(',', at);
    const std::string b = url->brokers.substr(
        at, comma == std::string::npos ? comma : comma - at);
    at = comma == std::string::npos ? comma : comma + 1;
    const size_t colon = b.rfind(':');
    if (b.find('@') != std::string::npos) {
      *err = usage + " (credentials belong in HOV_KAFKA_PROPERTIES)";
      return false;
    }
    if (colon == std::string::npos || colon == 0 || colon + 1 == b.size() ||
        b.find_first_not_of("0123456789", colon + 1) != std::string::npos ||
        atoi(b.c_str() + colon + 1) <= 0 ||
        atoi(b.c_str() + colon + 1) > 65535) {
      *err = usage;
      return false;
    }
  } while (at != std::string::npos);
  return true;
}

bool MakeKafkaOutput(const std::string& text,
                     const Delivery_Window_Limits& limits,
                     std::unique_ptr<Event_Output>* output, std::string* err) {
  Kafka_Url url;
  std::string why;
  if (!ParseKafkaUrl(text, &url, &why)) {
    *err = "HOV_EVENTS item " + why;
    return false;
  }
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  // Delivered means acknowledged by every in-sync replica, once: set after
  // the file, so that it cannot weaken them.
  if (!SetKafkaProperty(conf, "bootstrap.servers", url.brokers, "HOV_EVENTS",
                        err) ||
      !SetKafkaProperty(conf, "statistics.interval.ms", kStatsMs, "HOV_EVENTS",
                        err) ||
      !LoadProperties(conf, err) ||
      !SetKafkaProperty(conf, "enable.idempotence", "true", "HOV_EVENTS",
                        err) ||
      !SetKafkaProperty(conf, "acks", "all", "HOV_EVENTS", err)) {
    rd_kafka_conf_destroy(conf);
    return false;
  }
  auto out = std::make_unique<Kafka_Output>(text, url.topic, limits);
  if (!out->Open(conf, err)) {
    return false;
  }
  *output = std::move(out);
  return true;
}
