// The NATS JetStream event output.
#include "framework/fleet/nats_output.h"

#include <errno.h>
#include <nats/nats.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <deque>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/fleet/fleet_output.h"
#include "framework/fleet/nats_connection.h"
#include "framework/runtime/trace.h"
#include "util/monotonic_ms.h"
#include "util/nats_url.h"
#include "util/posix_mutex.h"
#include "util/repeat_limiter.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

// How long a publication may wait for its acknowledgement before it is
// sent again, and the pause before a failed one is.
constexpr int64_t kAckWaitMs = 5000;
constexpr int kRetryMs = 1000;
// JetStream's answer to a message larger than the stream's max_msg_size.
constexpr std::string_view kTooLarge = "\"err_code\":10054";
constexpr char kNotConnected[] = "no NATS server is connected";

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

// One event sent and not yet acknowledged: its subject and line (kept to
// be sent again), when it was last sent, and whether that sending failed.
struct Nats_Pending {
  uint64_t sequence;
  const char* subject;    // NUL-terminated; it and the line are in
  std::string_view line;  // Line_Store, from its block `block` on
  uint64_t block;
  int64_t sent_ms;
  bool failed;
  bool acknowledged;
};

// The lines of the events waiting for their answers, copied one after
// the other into blocks that are freed (or kept for reuse) once no line
// in them waits: no allocation for each event. Not thread-safe (its
// owner's lock).
class Line_Store {
 public:
  Line_Store() = default;
  Line_Store(const Line_Store&) = delete;
  Line_Store& operator=(const Line_Store&) = delete;

  // A copy of `line`, kept until Release(n) with n above *block.
  std::string_view Add(std::string_view line, uint64_t* block) {
    if (blocks_.empty() ||
        blocks_.back().size - blocks_.back().used < line.size()) {
      NewBlock(line.size());
    }
    Block& b = blocks_.back();
    char* to = b.bytes.get() + b.used;
    memcpy(to, line.data(), line.size());
    b.used += line.size();
    *block = b.number;
    return std::string_view(to, line.size());
  }
  // Frees the blocks numbered below `first`, except the last one, which
  // is written from its start again when no line is kept (UINT64_MAX).
  void Release(uint64_t first) {
    if (first == UINT64_MAX && !blocks_.empty()) {
      blocks_.back().used = 0;
    }
    while (blocks_.size() > 1 && blocks_.front().number < first) {
      if (blocks_.front().size == kBlockBytes && spare_.size() < kSpares) {
        spare_.push_back(std::move(blocks_.front()));
      }
      blocks_.pop_front();
    }
  }

 private:
  static constexpr size_t kBlockBytes = 256 << 10;
  // Freed blocks kept for reuse: a block that size is mapped afresh by
  // malloc each time, its pages faulted in again.
  static constexpr size_t kSpares = 8;
  struct Block {
    uint64_t number = 0;
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
    size_t used = 0;
  };
  void NewBlock(size_t at_least) {
    Block b;
    if (at_least <= kBlockBytes && !spare_.empty()) {
      b = std::move(spare_.back());
      spare_.pop_back();
    } else {
      b.size = std::max(at_least, kBlockBytes);
      b.bytes.reset(new char[b.size]);  // not cleared: written before read
    }
    b.number = next_++;
    b.used = 0;
    blocks_.push_back(std::move(b));
  }

  std::deque<Block> blocks_;
  std::vector<Block> spare_;
  uint64_t next_ = 0;
};

class Nats_Output : public Fleet_Output {
 public:
  Nats_Output(const Nats_Url& url, const std::string& text,
              Nats_Stream_Spec stream, const Delivery_Window_Limits& limits)
      : Fleet_Output(text, limits), url_(url), stream_(std::move(stream)) {}
  ~Nats_Output() override {
    {
      Posix_Mutex::Hold g(&mu_);
      stop_ = true;
      wake_.Signal();
    }
    window_.Stop();
    if (started_) {
      pthread_join(thread_, nullptr);
    }
    // Ends the connection's thread too: no answer is taken after this.
    connection_.Close();
    natsSubscription_Destroy(sub_.load(std::memory_order_acquire));
    DisposeAll();
    if (js_ != nullptr) {
      jsCtx_Destroy(js_);
    }
  }

  bool Open(std::string* err) {
    if (!connection_.Open(url_, "qoragent events", err, TakeAnswers, this)) {
      return false;
    }
    natsStatus s = natsConnection_JetStream(&js_, connection_.Get(), nullptr);
    natsInbox* inbox = nullptr;
    if (s == NATS_OK) {
      s = natsInbox_Create(&inbox);
    }
    if (s == NATS_OK) {
      // Acknowledgements come to INBOX.SEQUENCE, the event's own number,
      // and are taken by the connection's thread as soon as they are read.
      inbox_ = std::string(inbox) + ".";
      natsInbox_Destroy(inbox);
      natsSubscription* sub = nullptr;
      s = natsConnection_SubscribeSync(&sub, connection_.Get(),
                                       (inbox_ + "*").c_str());
      if (s == NATS_OK) {
        // The delivery window bounds what can be waiting.
        s = natsSubscription_SetPendingLimits(sub, -1, -1);
      }
      if (s == NATS_OK) {
        // The connection's thread reads from the connection already.
        sub_.store(sub, std::memory_order_release);
      } else {
        natsSubscription_Destroy(sub);
      }
    }
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

  void Send(uint64_t sequence, std::string_view line) override {
    Publish(&line, 1, sequence);
  }

  void SendLines(const Event_Batch& batch, size_t first, size_t count,
                 uint64_t sequence) override {
    lines_out_.clear();
    for (size_t i = 0; i < count; ++i) {
      lines_out_.push_back(batch.Line(first + i));
    }
    Publish(lines_out_.data(), lines_out_.size(), sequence);
  }
  bool Connected() const override {
    return natsConnection_Status(connection_.Get()) ==
           NATS_CONN_STATUS_CONNECTED;
  }

 private:
  static void* Main(void* self) {
    pthread_setname_np(pthread_self(), "qor-nats");
    static_cast<Nats_Output*>(self)->RetryLoop();
    return nullptr;
  }

  // Publishes `count` lines numbered from `sequence`: listed (with a copy
  // for sending again) under one lock and one look at the clock, then sent
  // without it, so that their acknowledgements find them listed and the
  // subscription's thread does not wait for the sending. The subject is
  // made again only when the host changes; the reply subject is written in
  // place, and each line goes out as it is: the library copies it into its
  // buffer, no message is made.
  void Publish(const std::string_view* lines, size_t count, uint64_t sequence) {
    std::string scratch;
    // Each line's listed subject: kept until the line is acknowledged,
    // which cannot come before it is sent.
    subjects_.clear();
    {
      Posix_Mutex::Hold g(&mu_);
      const int64_t now = MonotonicMs();
      for (size_t i = 0; i < count; ++i) {
        const std::string_view host = EventLineHost(lines[i], &scratch);
        if (subject_.empty() || host != host_) {
          host_.assign(host);
          subject_ = url_.name + "." + NatsHostToken(host_);
        }
        uint64_t block = 0;
        uint64_t unused = 0;
        const char* subject =
            lines_
                .Add(std::string_view(subject_.c_str(), subject_.size() + 1),
                     &block)
                .data();
        const std::string_view copy = lines_.Add(lines[i], &unused);
        pending_.push_back(Nats_Pending{sequence + i, subject, copy, block, now,
                                        false, false});
        subjects_.push_back(subject);
      }
    }
    std::string failure;
    size_t failures = 0;
    connection_.BeginBatch();
    for (size_t i = 0; i < count; ++i) {
      char number[24];
      const auto end =
          std::to_chars(number, number + sizeof number, sequence + i);
      reply_.assign(inbox_).append(number, end.ptr);
      const natsStatus s = natsConnection_PublishRequest(
          connection_.Get(), subjects_[i], reply_.c_str(), lines[i].data(),
          static_cast<int>(lines[i].size()));
      if (s == NATS_OK) {
        continue;
      }
      if (s == NATS_MAX_PAYLOAD) {
        rejected_now_.push_back(sequence + i);
        continue;
      }
      // Without a server the library holds what it is given until its
      // reconnection buffer is full. Marked failed, it is sent again.
      if (failures++ == 0) {
        failure = Connected() ? NatsStatusText(s) : kNotConnected;
      }
      Posix_Mutex::Hold g(&mu_);
      if (Nats_Pending* p = Find(sequence + i)) {
        p->failed = true;
      }
    }
    connection_.EndBatch();
    if (failures > 0) {
      Failed(subject_.c_str(), failure, failures);
    }
    GiveUp(&rejected_now_, NatsStatusText(NATS_MAX_PAYLOAD));
  }

  // Gives up the events numbered in `*sequences` (then emptied), which the
  // engine can never take.
  void GiveUp(std::vector<uint64_t>* sequences, const std::string& why) {
    if (sequences->empty()) {
      return;
    }
    std::string subject;
    {
      Posix_Mutex::Hold g(&mu_);
      for (const uint64_t sequence : *sequences) {
        if (Nats_Pending* p = Find(sequence)) {
          p->acknowledged = true;
          subject = p->subject;
        }
      }
      DropSettled();
    }
    for (const uint64_t sequence : *sequences) {
      Rejected(sequence, subject, why);
    }
    sequences->clear();
  }

  void DropSettled() REQUIRES(mu_) {
    while (!pending_.empty() && pending_.front().acknowledged) {
      pending_.pop_front();
    }
    lines_.Release(pending_.empty() ? UINT64_MAX : pending_.front().block);
  }

  // `count` sendings that failed (they are sent again): traced once a
  // minute.
  void Failed(const char* subject, const std::string& why, uint64_t count = 1) {
    uint64_t held = 0;
    bool due;
    {
      Posix_Mutex::Hold g(&mu_);
      due = failures_.Due(&held);
      failures_.Held(count - 1);  // the others, told in the next report
    }
    failed_attempts_.fetch_add(count, std::memory_order_relaxed);
    if (due) {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nEvent not delivered to %s (subject %s): %s; it is sent again until it is "
          "acknowledged; %llu more failures since the last report.",
          Name().c_str(), subject, why.c_str(),
          static_cast<unsigned long long>(held));
    }
  }

  // The entry of `sequence` in pending_, or null. Numbers are usually
  // consecutive, so that the entry is where its distance from the first
  // says; else it is searched for.
  Nats_Pending* Find(uint64_t sequence) REQUIRES(mu_) {
    if (pending_.empty() || sequence < pending_.front().sequence) {
      return nullptr;
    }
    const uint64_t guess = sequence - pending_.front().sequence;
    if (guess < pending_.size() && pending_[guess].sequence == sequence) {
      return &pending_[guess];
    }
    const auto it = std::lower_bound(
        pending_.begin(), pending_.end(), sequence,
        [](const Nats_Pending& p, uint64_t s) { return p.sequence < s; });
    return it == pending_.end() || it->sequence != sequence ? nullptr : &*it;
  }

  // Takes every answer read so far, on the connection's thread, and settles
  // their events under one lock: an acknowledgement ({"stream":...,
  // "seq":N}) marks its event delivered, an error answer ({"error":{...}})
  // marks it failed, to be sent again. An answer that no stream captures
  // the subject comes without its reply subject (the library keeps that
  // back): every event still waiting is then sent again a second later,
  // unless its own acknowledgement arrives first.
  static void TakeAnswers(void* closure) {
    static_cast<Nats_Output*>(closure)->TakeAnswers();
  }
  void TakeAnswers() {
    natsSubscription* const sub = sub_.load(std::memory_order_acquire);
    if (sub == nullptr) {
      return;  // not subscribed yet: nothing can be answered
    }
    acked_.clear();
    refused_.clear();
    size_t unanswerable = 0;
    std::string why;
    while (true) {
      natsMsg* answer = nullptr;
      const natsStatus s = natsSubscription_NextMsg(&answer, sub, 0);
      if (s == NATS_NO_RESPONDERS) {
        ++unanswerable;
        continue;
      }
      if (s != NATS_OK) {
        break;  // none left (or the subscription is closed)
      }
      const char* dot = strrchr(natsMsg_GetSubject(answer), '.');
      const uint64_t sequence =
          dot != nullptr ? strtoull(dot + 1, nullptr, 10) : 0;
      const char* data = natsMsg_GetData(answer);
      const std::string_view text(
          data != nullptr ? data : "",
          static_cast<size_t>(std::max(0, natsMsg_GetDataLength(answer))));
      if (text.find(kTooLarge) != std::string_view::npos) {
        // Larger than the stream takes: never stored, however often sent.
        given_up_.push_back(sequence);
        given_up_why_ = ErrorText(text);
      } else if (text.find("\"error\"") != std::string_view::npos ||
                 text.find("\"seq\"") == std::string_view::npos) {
        refused_.push_back(sequence);
        if (why.empty()) {
          why = ErrorText(text);
        }
      } else {
        acked_.push_back(sequence);
      }
      Dispose(answer);
    }
    GiveUp(&given_up_, given_up_why_);
    if (acked_.empty() && refused_.empty() && unanswerable == 0) {
      return;
    }
    std::string subject;
    size_t settled = 0;
    {
      Posix_Mutex::Hold g(&mu_);
      for (const uint64_t sequence : acked_) {
        Nats_Pending* p = Find(sequence);
        if (p != nullptr && !p->acknowledged) {
          p->acknowledged = true;
          acked_[settled++] = sequence;
        }
        // else an answer to an earlier sending, already settled
      }
      for (const uint64_t sequence : refused_) {
        if (Nats_Pending* p = Find(sequence);
            p != nullptr && !p->acknowledged) {
          p->failed = true;
          subject = p->subject;
        }
      }
      if (unanswerable > 0) {
        for (Nats_Pending& p : pending_) {
          if (!p.acknowledged) {
            p.failed = true;
            subject = p.subject;
          }
        }
      }
      DropSettled();
    }
    if (settled > 0) {
      Acknowledged(acked_.data(), settled);
    }
    if (!refused_.empty()) {
      Failed(subject.c_str(), why, refused_.size());
    }
    if (unanswerable > 0) {
      std::string text = "no stream captures the subject";
      if (!stream_.name.empty()) {
        text += " (stream " + stream_.name +
                " is created when the server takes it)";
        stream_ready_.store(false);
      }
      Failed(subject.c_str(), text, unanswerable);
    }
  }

  // The "description" of a JetStream error answer, else the answer itself.
  static std::string ErrorText(std::string_view text) {
    static constexpr std::string_view kKey = "\"description\":\"";
    const size_t at = text.find(kKey);
    if (at != std::string_view::npos) {
      const size_t from = at + kKey.size();
      const size_t end = text.find('"', from);
      if (end != std::string_view::npos) {
        return std::string(text.substr(from, end - from));
      }
    }
    return text.empty() ? "an empty answer" : std::string(text.substr(0, 200));
  }

  // Hands `answer` to the library to be freed, a batch at a time: each
  // hand-over wakes the library's collector thread when it is idle, which
  // cost more than the rest of an acknowledgement. On the connection's thread
  // only (then the destructor's).
  void Dispose(natsMsg* answer) {
    answers_[answers_held_++] = answer;
    if (answers_held_ == answers_.size()) {
      DisposeAll();
    }
  }
  void DisposeAll() {
    for (size_t i = 0; i < answers_held_; ++i) {
      natsMsg_Destroy(answers_[i]);
    }
    answers_held_ = 0;
  }

  // Once a second: makes the stream when asked to, and sends again what
  // failed or was not acknowledged in time. While no server is connected,
  // nothing is sent again (what was sent waits in the library's buffer for
  // the reconnection) and the time to wait for answers starts anew.
  void RetryLoop() {
    while (true) {
      {
        Posix_Mutex::Hold g(&mu_);
        const struct timespec deadline = Deadline(kRetryMs);
        while (!stop_ && wake_.WaitUntil(&mu_, deadline)) {
        }
        if (stop_) {
          return;
        }
      }
      const bool connected = Connected();
      if (!stream_.name.empty() && !stream_ready_.load() && connected) {
        EnsureStream();
      }
      SendAgain(connected);
    }
  }

  void SendAgain(bool connected) {
    const int64_t now = MonotonicMs();
    uint64_t again = 0;
    uint64_t late = 0;
    uint64_t refused = 0;
    std::string failure;
    std::string subject;
    std::string reply;
    char number[24];
    connection_.BeginBatch();
    {
      Posix_Mutex::Hold g(&mu_);
      for (Nats_Pending& p : pending_) {
        if (p.acknowledged || (!p.failed && now - p.sent_ms < kAckWaitMs)) {
          continue;
        }
        if (!p.failed) {
          ++late;
          subject = p.subject;
        }
        p.sent_ms = now;
        if (!connected) {
          continue;  // waits in the library's buffer, or is sent later
        }
        ++again;
        reply.assign(inbox_).append(
            number,
            std::to_chars(number, number + sizeof number, p.sequence).ptr);
        const natsStatus s = natsConnection_PublishRequest(
            connection_.Get(), p.subject, reply.c_str(), p.line.data(),
            static_cast<int>(p.line.size()));
        if (s == NATS_MAX_PAYLOAD) {
          // A server that came back with a smaller max_payload.
          retry_rejected_.push_back(p.sequence);
          continue;
        }
        p.failed = s != NATS_OK;
        if (s != NATS_OK && refused++ == 0) {
          failure = NatsStatusText(s);
          subject = p.subject;
        }
      }
    }
    connection_.EndBatch();
    GiveUp(&retry_rejected_, NatsStatusText(NATS_MAX_PAYLOAD));
    retried_.fetch_add(again, std::memory_order_relaxed);
    if (late > 0) {
      Failed(subject.c_str(),
             connected ? "no acknowledgement within " +
                             std::to_string(kAckWaitMs / 1000) + " seconds"
                       : std::string(kNotConnected),
             late);
    }
    if (refused > 0) {
      Failed(subject.c_str(), failure, refused);
    }
  }

  static struct timespec Deadline(int64_t ms) {
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
  std::string inbox_;  // "_INBOX.ID.": acknowledgements come to it
  // Synchronous: TakeAnswers drains it. Set once by Open, while the loop's
  // thread may already be reading.
  std::atomic<natsSubscription*> sub_{nullptr};
  // Answers read and not yet handed back (Dispose), and the numbers of a
  // TakeAnswers: the connection's thread's, then the destructor's.
  std::array<natsMsg*, 1024> answers_{};
  size_t answers_held_ = 0;
  std::vector<uint64_t> acked_;
  std::vector<uint64_t> refused_;
  // Events to give up: the connection's thread's (too large for the
  // stream, with the server's words), the writer's and the retry thread's
  // (larger than the server's max_payload).
  std::vector<uint64_t> given_up_;
  std::string given_up_why_;
  std::vector<uint64_t> rejected_now_;
  std::vector<uint64_t> retry_rejected_;
  // Publish's texts (the writer's thread's), kept to spare allocations for
  // each event.
  std::vector<std::string_view> lines_out_;
  std::vector<const char*> subjects_;
  std::string host_;
  std::string subject_;  // of host_
  std::string reply_;
  Nats_Connection connection_;
  jsCtx* js_ = nullptr;
  std::atomic<bool> stream_ready_{false};
  Posix_Mutex mu_;
  Posix_Cond wake_;
  bool stop_ GUARDED_BY(mu_) = false;
  std::deque<Nats_Pending> pending_ GUARDED_BY(mu_);  // by sequence
  Line_Store lines_ GUARDED_BY(mu_);                  // pending_'s lines
  Repeat_Limiter failures_ GUARDED_BY(mu_);
  Repeat_Limiter stream_failures_ GUARDED_BY(mu_);
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
