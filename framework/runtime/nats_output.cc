#include "framework/runtime/nats_output.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <deque>

#include "framework/runtime/fleet_output.h"
#include "framework/runtime/nats_connection.h"
#include "framework/runtime/rate_limit.h"
#include "framework/runtime/trace.h"
#include "util/monotonic_ms.h"
#include "util/nats_url.h"
#include "util/posix_mutex.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

// How long a publication may wait for its acknowledgement before it is
// sent again, and the pause before a failed one is.
constexpr int64_t kAckWaitMs = 5000;
constexpr int kRetryMs = 1000;

bool ParseSpan(const std::string& text, int64_t* seconds) {
  char* end = nullptr;
  errno = 0;
  const long long n = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || n <= 0) {
    return false;
  }
  const std::string unit = end;
  const long long scale = unit == "s" || unit.empty() ? 1
                          : unit == "m"               ? 60
                          : unit == "h"               ? 3600
                          : unit == "d"               ? 86400
                                                      : 0;
  if (scale == 0 || n > INT64_MAX / 1000000000 / scale) {
    return false;
  }
  *seconds = n * scale;
  return true;
}

class Nats_Output : public Fleet_Output {
 public:
  Nats_Output(const Nats_Url& url, const std::string& text,
              Nats_Stream_Spec stream, const Delivery_Window_Limits& limits)
      : Fleet_Output(text, limits), url_(url), stream_(std::move(stream)) {
    run_id_ =
        std::to_string(getpid()) + "." + std::to_string(MonotonicMs()) + "-";
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&wake_, &attr);
    pthread_condattr_destroy(&attr);
  }
  ~Nats_Output() override {
    {
      Posix_Mutex::Hold g(&mu_);
      stop_ = true;
      pthread_cond_signal(&wake_);
    }
    window_.Stop();
    if (started_) {
      pthread_join(thread_, nullptr);
    }
    connection_.Close();
    if (js_ != nullptr) {
      jsCtx_Destroy(js_);
    }
    Posix_Mutex::Hold g(&mu_);
    for (natsMsg* m : retry_) {
      natsMsg_Destroy(m);
    }
    pthread_cond_destroy(&wake_);
  }

  bool Open(std::string* err) {
    if (!connection_.Open(url_, "qoragent events", err)) {
      return false;
    }
    jsOptions o;
    jsOptions_Init(&o);
    o.PublishAsync.AckHandler = OnAck;
    o.PublishAsync.AckHandlerClosure = this;
    o.PublishAsync.MaxPending = 0;  // the window bounds it
    const natsStatus s = natsConnection_JetStream(&js_, connection_.Get(), &o);
    if (s != NATS_OK) {
      *err = "JetStream for " + Name() + ": " + NatsStatusText(s);
      return false;
    }
    const int rc = pthread_create(&thread_, nullptr, Main, this);
    if (rc != 0) {
      *err = "cannot start the JetStream retry thread for " + Name();
      return false;
    }
    started_ = true;
    return true;
  }

  bool PutNumbered(uint64_t sequence, const std::string& /*situation*/,
                   const std::string& line, std::string* why) override {
    if (!window_.Admit(sequence, line.size())) {
      *why = "the delivery window is full";
      return false;
    }
    const std::string subject =
        url_.name + "." + NatsHostToken(EventLineHost(line));
    natsMsg* m = nullptr;
    natsStatus s = natsMsg_Create(&m, subject.c_str(), nullptr, line.data(),
                                  static_cast<int>(line.size()));
    if (s == NATS_OK) {
      s = natsMsgHeader_Set(m, "Nats-Msg-Id",
                            (run_id_ + std::to_string(sequence)).c_str());
    }
    if (s != NATS_OK) {
      natsMsg_Destroy(m);
      *why = NatsStatusText(s);
      window_.Acknowledge(
          sequence);  // never to be sent: lost, as a write that failed
      return false;
    }
    Send(m);
    return true;
  }

  bool Connected() const override {
    return natsConnection_Status(connection_.Get()) ==
           NATS_CONN_STATUS_CONNECTED;
  }

 private:
  static void* Main(void* self) {
    static_cast<Nats_Output*>(self)->RetryLoop();
    return nullptr;
  }

  // Publishes `m` (taken); a refusal puts it on the retry list.
  void Send(natsMsg* m) {
    jsPubOptions po;
    jsPubOptions_Init(&po);
    po.MaxWait = kAckWaitMs;
    const natsStatus s = js_PublishMsgAsync(js_, &m, &po);
    if (s != NATS_OK) {
      Failed(m, NatsStatusText(s));
    }
  }

  // A publication that failed: traced once a minute, sent again later.
  void Failed(natsMsg* m, const std::string& why) {
    uint64_t held = 0;
    bool due;
    {
      Posix_Mutex::Hold g(&mu_);
      retry_.push_back(m);
      due = failures_.Due(&held);
    }
    failed_.fetch_add(1, std::memory_order_relaxed);
    if (due) {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nEvent not delivered to %s (subject %s): %s; it is sent again until it is "
          "acknowledged; %llu more failures since the last report.",
          Name().c_str(), natsMsg_GetSubject(m), why.c_str(),
          static_cast<unsigned long long>(held));
    }
  }

  static void OnAck(jsCtx* /*js*/, natsMsg* m, jsPubAck* pa, jsPubAckErr* pae,
                    void* closure) {
    auto* self = static_cast<Nats_Output*>(closure);
    const char* id = nullptr;
    uint64_t sequence = 0;
    if (natsMsgHeader_Get(m, "Nats-Msg-Id", &id) == NATS_OK && id != nullptr) {
      const char* dash = strrchr(id, '-');
      sequence = dash != nullptr ? strtoull(dash + 1, nullptr, 10) : 0;
    }
    if (pa != nullptr || pae == nullptr) {
      self->Acknowledged(sequence);
      natsMsg_Destroy(m);
      return;
    }
    std::string why;
    if (pae->Err == NATS_NO_RESPONDERS || pae->ErrCode == JSStreamNotFoundErr) {
      why = "no stream captures the subject";
      if (!self->stream_.name.empty()) {
        why += " (stream " + self->stream_.name +
               " is created when the server takes it)";
        self->stream_ready_.store(false);
      }
    } else if (pae->ErrText != nullptr && *pae->ErrText != '\0') {
      why = pae->ErrText;
    } else {
      why = natsStatus_GetText(pae->Err);
    }
    self->Failed(m, why);
  }

  // Once a second: makes the stream when asked to, and sends the failed
  // publications again.
  void RetryLoop() {
    while (true) {
      std::deque<natsMsg*> again;
      {
        Posix_Mutex::Hold g(&mu_);
        const struct timespec deadline = Deadline(kRetryMs);
        while (!stop_ &&
               pthread_cond_timedwait(&wake_, mu_.native(), &deadline) == 0) {
        }
        if (stop_) {
          return;
        }
        again.swap(retry_);
      }
      if (!stream_.name.empty() && !stream_ready_.load() && Connected()) {
        EnsureStream();
      }
      for (natsMsg* m : again) {
        retried_.fetch_add(1, std::memory_order_relaxed);
        Send(m);
      }
    }
  }

  static struct timespec Deadline(int ms) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
    if (t.tv_nsec >= 1000000000) {
      t.tv_sec += 1;
      t.tv_nsec -= 1000000000;
    }
    return t;
  }

  // Creates the stream of HOV_NATS_STREAM capturing SUBJECT.> unless it
  // is there (or another stream captures the subjects).
  void EnsureStream() {
    jsStreamInfo* si = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s =
        js_GetStreamInfo(&si, js_, stream_.name.c_str(), nullptr, &code);
    if (s == NATS_OK) {
      jsStreamInfo_Destroy(si);
      stream_ready_.store(true);
      return;
    }
    if (code != JSStreamNotFoundErr && s != NATS_NOT_FOUND) {
      return;  // the server cannot say now: tried again in a second
    }
    const std::string subjects = url_.name + ".>";
    const char* list[] = {subjects.c_str()};
    jsStreamConfig sc;
    jsStreamConfig_Init(&sc);
    sc.Name = stream_.name.c_str();
    sc.Subjects = list;
    sc.SubjectsLen = 1;
    sc.Storage = js_FileStorage;
    sc.MaxAge = stream_.max_age_s * 1000000000LL;
    sc.MaxBytes = stream_.max_bytes;
    s = js_AddStream(&si, js_, &sc, nullptr, &code);
    if (s == NATS_OK) {
      jsStreamInfo_Destroy(si);
      stream_ready_.store(true);
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nJetStream stream %s created for %s, file-backed, capturing %s.",
          stream_.name.c_str(), Name().c_str(), subjects.c_str());
      return;
    }
    uint64_t held = 0;
    bool due;
    {
      Posix_Mutex::Hold g(&mu_);
      due = stream_failures_.Due(&held);
    }
    if (due) {
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nJetStream stream %s not created for %s: %s (error %d).",
                 stream_.name.c_str(), Name().c_str(),
                 NatsStatusText(s).c_str(), static_cast<int>(code));
    }
  }

  const Nats_Url url_;
  const Nats_Stream_Spec stream_;
  std::string run_id_;
  Nats_Connection connection_;
  jsCtx* js_ = nullptr;
  std::atomic<bool> stream_ready_{false};
  Posix_Mutex mu_;
  pthread_cond_t wake_;
  bool stop_ GUARDED_BY(mu_) = false;
  std::deque<natsMsg*> retry_ GUARDED_BY(mu_);
  Rate_Limit failures_ GUARDED_BY(mu_);
  Rate_Limit stream_failures_ GUARDED_BY(mu_);
  pthread_t thread_{};
  bool started_ = false;
};

}  // namespace

bool ParseNatsStreamSpec(const char* text, Nats_Stream_Spec* spec,
                         std::string* err) {
  *spec = Nats_Stream_Spec();
  const std::string t = text != nullptr ? text : "";
  size_t at = 0;
  bool first = true;
  while (!t.empty() && at != std::string::npos) {
    const size_t comma = t.find(',', at);
    const std::string item = t.substr(
        at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? comma : comma + 1;
    bool ok;
    if (first) {
      ok = !item.empty() &&
           item.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
               "0123456789_-") == std::string::npos;
      spec->name = item;
    } else if (item.compare(0, 8, "max-age=") == 0) {
      ok = ParseSpan(item.substr(8), &spec->max_age_s);
    } else if (item.compare(0, 10, "max-bytes=") == 0) {
      Delivery_Window_Limits l;
      std::string unused;
      ok = ParseDeliveryWindow(("1," + item.substr(10)).c_str(), nullptr, &l,
                               &unused);
      spec->max_bytes = static_cast<int64_t>(l.bytes);
    } else {
      ok = false;
    }
    if (!ok) {
      *err = "HOV_NATS_STREAM \"" + t +
             "\" is not NAME[,max-age=DURATION][,max-bytes=SIZE]";
      return false;
    }
    first = false;
  }
  return true;
}

bool MakeNatsOutput(const std::string& text,
                    const Delivery_Window_Limits& limits,
                    std::unique_ptr<Event_Output>* output, std::string* err) {
  Nats_Url url;
  std::string why;
  if (!ParseNatsUrl(text, &url, &why)) {
    *err = "HOV_EVENTS item \"" + FleetUrlForMessages(text) + "\": " + why;
    return false;
  }
  Nats_Stream_Spec stream;
  if (!ParseNatsStreamSpec(getenv("HOV_NATS_STREAM"), &stream, err)) {
    return false;
  }
  auto out =
      std::make_unique<Nats_Output>(url, text, std::move(stream), limits);
  if (!out->Open(err)) {
    return false;
  }
  *output = std::move(out);
  return true;
}
