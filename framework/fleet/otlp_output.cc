// OTLP/HTTP log output: events encoded into batches on the writer's thread,
// posted by the HTTP client's thread, acknowledged in the delivery window by
// the answers.
#include "framework/fleet/otlp_output.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "framework/fleet/fleet_output.h"
#include "framework/fleet/http_client.h"
#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"
#include "util/monotonic_ms.h"
#include "util/posix_mutex.h"
#include "util/repeat_limiter.h"
#include "util/setting_lines.h"

#include <isa-l/igzip_lib.h>

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

#ifndef QOR_VERSION
#define QOR_VERSION "unknown"
#endif

namespace {

constexpr int64_t kFirstBackoffMs = 500;
constexpr int64_t kMostBackoffMs = 30000;
constexpr long kMostRetryAfterS = 300;
// How long the batch being filled waits for the requests in flight (a slow
// receiver) before it is posted beside them.
constexpr int64_t kMostBatchWaitMs = 100;

bool ParseCount(const std::string& text, bool sized, size_t most, size_t* out) {
  if (text.empty() || text.size() > 12) {
    return false;
  }
  size_t i = 0;
  size_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + static_cast<size_t>(text[i] - '0');
  }
  if (i == 0) {
    return false;
  }
  if (sized && i + 1 == text.size()) {
    const char u = text[i];
    v *= u == 'K' || u == 'k' ? 1024 : u == 'M' || u == 'm' ? 1 << 20 : 0;
    ++i;
  }
  if (i != text.size() || v == 0 || v > most) {
    return false;
  }
  *out = v;
  return true;
}

// gzip by ISA-L's deflate at level 1 (several times zlib's speed at its
// ratio), one whole body at a time; one per thread that seals batches. It
// writes into a buffer of its own, kept at its size: only the compressed
// bytes are copied out.
class Gzip {
 public:
  Gzip() : level_(ISAL_DEF_LVL1_DEFAULT) {}
  Gzip(const Gzip&) = delete;
  Gzip& operator=(const Gzip&) = delete;
  bool Compress(std::string_view in, std::string* out) {
    if (in.size() > UINT32_MAX / 2) {
      return false;
    }
    // Room for stored blocks when nothing compresses, and the gzip frame.
    const size_t most = in.size() + in.size() / 16 + 1024;
    if (room_.size() < most) {
      room_.resize(most);
    }
    isal_deflate_stateless_init(&z_);
    z_.gzip_flag = ISAL_GZIP;
    z_.level = 1;
    z_.level_buf = level_.data();
    z_.level_buf_size = static_cast<uint32_t>(level_.size());
    z_.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(in.data()));
    z_.avail_in = static_cast<uint32_t>(in.size());
    z_.next_out = room_.data();
    z_.avail_out = static_cast<uint32_t>(most);
    z_.end_of_stream = 1;
    if (isal_deflate_stateless(&z_) != COMP_OK || z_.avail_in != 0) {
      return false;
    }
    out->assign(reinterpret_cast<const char*>(room_.data()), z_.total_out);
    return true;
  }

 private:
  isal_zstream z_{};
  std::vector<uint8_t> level_;  // the level's hash tables
  std::vector<uint8_t> room_;
};

struct Batch {
  std::string records;  // the request's room (Otlp_Encoder::Begin), encoded
  std::vector<uint64_t> sequences;
  std::string body;      // the request, once sealed
  size_t body_from = 0;  // where it starts in `body`
  bool gzipped = false;
  int64_t opened_ms = 0;  // when its first record came
  int attempts = 0;
};

std::string LocalHostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
    return "localhost";
  }
  return name;
}

// Otlp_Output: owned by its event writer. SendLines encodes records on the
// writer's thread and wakes the HTTP client's thread, which seals batches
// (the request, gzip), posts them (Pump) and takes the answers, so that
// encoding and compression run side by side.
class Otlp_Output : public Fleet_Output {
 public:
  Otlp_Output(const std::string& name, Otlp_Url url,
              std::vector<std::string> headers, std::string ca,
              const Delivery_Window_Limits& limits)
      : Fleet_Output(name, limits),
        url_(std::move(url)),
        encoder_(url_.encoding, LocalHostName(), EventLineHost(std::string()),
                 QOR_VERSION),
        headers_(std::move(headers)),
        record_(EventLineHost(std::string())),
        client_(
            Http_Client::Options{std::move(ca), url_.requests, 5000, 30000},
            [this](std::unique_ptr<Http_Exchange> x) {
              Answered(std::move(x));
            },
            [this] { Tick(); }) {
    headers_.push_back(std::string("Content-Type: ") + encoder_.ContentType());
    headers_.push_back("Expect:");  // no 100-continue round trip
    // A body that could not be compressed goes without the header.
    gzip_headers_ = headers_;
    gzip_headers_.push_back("Content-Encoding: gzip");
  }
  ~Otlp_Output() override { window_.Stop(); }

  bool Start(std::string* err) { return client_.Start(err); }

  bool Connected() const override {
    return connected_.load(std::memory_order_relaxed);
  }

  void Send(uint64_t sequence, std::string_view line) override {
    Encode(1, sequence, [line](size_t) { return line; });
  }

  void SendLines(const Event_Batch& batch, size_t first, size_t count,
                 uint64_t sequence) override {
    Encode(count, sequence,
           [&batch, first](size_t i) { return batch.Line(first + i); });
  }

 private:
  // Encodes `count` lines (line(i)), numbered from `sequence`, into the
  // batch being filled. The batch is lent to this thread meanwhile
  // (writing_), so that the client's thread, which posts, never waits for
  // the encoding: the lock is taken only to hand over a full batch and at
  // the end. Sealed and posted on the client's thread, while this one
  // reads on.
  template <typename Line>
  void Encode(size_t count, uint64_t sequence,
              Line line) NO_THREAD_SAFETY_ANALYSIS {
    {
      Posix_Mutex::Hold g(&mu_);
      writing_ = true;
    }
    for (size_t i = 0; i < count; ++i) {
      const std::string_view text = line(i);
      if (open_.sequences.size() >= url_.batch_records ||
          (!open_.sequences.empty() &&
           open_.records.size() + text.size() >
               url_.batch_bytes + encoder_.Headroom())) {
        Posix_Mutex::Hold g(&mu_);
        full_.push_back(std::move(open_));
        open_ = Batch();
        open_.records = Spare();
      }
      if (open_.sequences.empty()) {
        encoder_.Begin(&open_.records);
        open_.opened_ms = MonotonicMs();
      }
      record_.Read(text);
      encoder_.AppendRecord(record_, open_.sequences.empty(), &open_.records);
      open_.sequences.push_back(sequence + i);
    }
    bool wake;
    {
      Posix_Mutex::Hold g(&mu_);
      writing_ = false;
      wake = Postable();
    }
    if (wake) {
      client_.Wake();
    }
  }

  // Whether Pump would post something now: a batch that is full, or the one
  // being filled when no request is in flight. While requests are in
  // flight the one being filled waits for their answers (which wake the
  // client) and grows: under load requests go full, each costing less.
  bool Postable() REQUIRES(mu_) {
    if (in_flight_ >= url_.requests) {
      return false;
    }
    return !full_.empty() || !again_.empty() ||
           (in_flight_ == 0 && !open_.sequences.empty());
  }

  // Posts what waits while fewer than the most requests are in flight and
  // no backoff runs: batches to send again first, then full ones, then the
  // one being filled when nothing is in flight or it waited
  // kMostBatchWaitMs. On the client's thread.
  void Pump(Gzip* gzip) {
    while (true) {
      std::shared_ptr<Batch> b;
      {
        Posix_Mutex::Hold g(&mu_);
        if (in_flight_ >= url_.requests || MonotonicMs() < backoff_until_ms_) {
          return;
        }
        if (!again_.empty()) {
          b = std::move(again_.front());
          again_.pop_front();
        } else if (!full_.empty()) {
          b = std::make_shared<Batch>(std::move(full_.front()));
          full_.pop_front();
        } else if (!writing_ && !open_.sequences.empty() &&
                   (in_flight_ == 0 ||
                    MonotonicMs() - open_.opened_ms >= kMostBatchWaitMs)) {
          b = std::make_shared<Batch>(std::move(open_));
          open_ = Batch();
          open_.records = Spare();
        } else {
          return;
        }
        ++in_flight_;
      }
      if (b->body.empty()) {
        Seal(b.get(), gzip);
      }
      auto x = std::make_unique<Http_Exchange>();
      x->url = url_.endpoint;
      x->headers = b->gzipped ? gzip_headers_ : headers_;
      x->body = std::move(b->body);  // back in Answered when sent again
      x->body_from = b->body_from;
      x->tag = std::move(b);
      client_.Submit(std::move(x));
    }
  }

  // The request of `b`'s records, compressed, in its body. The request is
  // framed in the records' own buffer, in the room left before them.
  // Buffers go back to spare_ and come from it: a large one freed and made
  // again costs page faults for every batch.
  void Seal(Batch* b, Gzip* gzip) {
    const std::string_view request = encoder_.Frame(&b->records);
    if (url_.gzip) {
      std::string body;
      {
        Posix_Mutex::Hold g(&mu_);
        body = Spare();
      }
      if (gzip->Compress(request, &body)) {
        b->body.swap(body);
        b->body_from = 0;
        b->gzipped = true;
        Posix_Mutex::Hold g(&mu_);
        Keep(std::move(b->records));
        return;
      }
      Posix_Mutex::Hold g(&mu_);
      Keep(std::move(body));
    }
    b->body_from = static_cast<size_t>(request.data() - b->records.data());
    b->body.swap(b->records);
  }

  std::string Spare() REQUIRES(mu_) {
    if (spare_.empty()) {
      return std::string();
    }
    std::string s = std::move(spare_.back());
    spare_.pop_back();
    return s;
  }

  void Keep(std::string s) REQUIRES(mu_) {
    if (spare_.size() < 2 * static_cast<size_t>(url_.requests) + 4 &&
        s.capacity() > 0) {
      s.clear();
      spare_.push_back(std::move(s));
    }
  }

  // On the client's thread.
  void Tick() {
    TraceHeld();
    Pump(&client_gzip_);
  }

  void Answered(std::unique_ptr<Http_Exchange> x) {
    std::shared_ptr<Batch> b = std::static_pointer_cast<Batch>(x->tag);
    const size_t n = b->sequences.size();
    const long s = x->status;
    connected_.store(s != 0, std::memory_order_relaxed);
    if (s >= 200 && s < 300) {
      int64_t refused = 0;
      std::string message;
      if (!x->answer.empty() &&
          ReadOtlpPartialSuccess(x->answer,
                                 url_.encoding == Otlp_Encoding::kJson,
                                 &refused, &message) &&
          refused > 0) {
        refused = std::min<int64_t>(refused, static_cast<int64_t>(n));
        Rejected(static_cast<size_t>(refused), true,
                 "partial success: " + std::to_string(refused) + " of " +
                     std::to_string(n) + " records refused: " + message);
      }
      Release(*b, n - static_cast<size_t>(refused), std::move(x->body));
      {
        Posix_Mutex::Hold g(&mu_);
        --in_flight_;
        failing_since_ms_ = 0;
      }
    } else if (s == 0 || s == 429 || s == 502 || s == 503 || s == 504) {
      // Sent again after a backoff that grows with each failure of this
      // batch, or as long as the receiver asks.
      b->body = std::move(x->body);
      b->body_from = x->body_from;
      ++b->attempts;
      int64_t delay = kFirstBackoffMs << std::min(b->attempts - 1, 10);
      delay = std::min(delay, kMostBackoffMs);
      if (x->retry_after_s >= 0) {
        // Honoured, within bounds: a Retry-After of 0 would send again at
        // once, for ever.
        delay = std::max<int64_t>(
            kFirstBackoffMs,
            std::min(x->retry_after_s, kMostRetryAfterS) * 1000);
      }
      retried_.fetch_add(n, std::memory_order_relaxed);
      failed_attempts_.fetch_add(n, std::memory_order_relaxed);
      std::string why = s == 0 ? x->error : "HTTP " + std::to_string(s);
      if (!x->answer.empty() && s != 0) {
        why += ": " + Printable(x->answer);
      }
      {
        Posix_Mutex::Hold g(&mu_);
        --in_flight_;
        const int64_t now = MonotonicMs();
        backoff_until_ms_ = std::max(backoff_until_ms_, now + delay);
        again_.push_front(std::move(b));
        if (failing_since_ms_ == 0) {
          failing_since_ms_ = now;
        }
        last_failure_ = why;
      }
      TraceHeld();
    } else {
      Rejected(n, false,
               "HTTP " + std::to_string(s) + ": " + Printable(x->answer));
      Release(*b, 0, std::move(x->body));
      Posix_Mutex::Hold g(&mu_);
      --in_flight_;
    }
  }

  // The events of `b` no longer wait: `delivered` of them were taken.
  void Release(const Batch& b, size_t delivered, std::string body) {
    {
      Posix_Mutex::Hold g(&mu_);
      Keep(std::move(body));
    }
    window_.AcknowledgeSome(b.sequences.data(), b.sequences.size());
    acknowledged_.fetch_add(delivered, std::memory_order_relaxed);
    if (window_.Roomy()) {
      Event_Sink::WindowMoved();
    }
  }

  // `partial`: refused by a partial success (traced apart from answers that
  // refuse a whole request).
  void Rejected(size_t n, bool partial, const std::string& why) {
    rejected_.fetch_add(n, std::memory_order_relaxed);
    uint64_t held = 0;
    bool due;
    {
      Posix_Mutex::Hold g(&mu_);
      due = (partial ? partial_trace_ : refused_trace_).Due(&held);
    }
    if (due) {
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nOTLP receiver %s rejected %zu events (not sent again): "
                 "%s%s",
                 url_.endpoint.c_str(), n, why.c_str(),
                 held > 0 ? (" (" + std::to_string(held) +
                             " more rejections since the last message)")
                                .c_str()
                          : "");
    }
  }

  // While requests fail, says so once a minute with what is held.
  void TraceHeld() {
    std::string why;
    uint64_t held = 0;
    {
      Posix_Mutex::Hold g(&mu_);
      if (failing_since_ms_ == 0 || !failing_trace_.Due(&held)) {
        return;
      }
      why = last_failure_;
    }
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nOTLP receiver %s not taking events: %s; %llu events held, "
               "sent again with a growing backoff.",
               url_.endpoint.c_str(), why.c_str(),
               static_cast<unsigned long long>(window_.Events()));
  }

  static std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 512)) {
      out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' '
                                                                      : c);
    }
    return out;
  }

  const Otlp_Url url_;
  const Otlp_Encoder encoder_;
  std::vector<std::string> headers_;
  std::vector<std::string> gzip_headers_;  // and Content-Encoding: gzip
  Gzip client_gzip_;
  std::atomic<bool> connected_{false};
  Posix_Mutex mu_;
  // The batch being filled and the record read into it: lent to the
  // writer's thread while writing_ (Encode), else under mu_.
  Otlp_Record record_ GUARDED_BY(mu_);
  Batch open_ GUARDED_BY(mu_);
  bool writing_ GUARDED_BY(mu_) = false;
  std::deque<Batch> full_ GUARDED_BY(mu_);
  std::deque<std::shared_ptr<Batch>> again_ GUARDED_BY(mu_);
  std::vector<std::string> spare_ GUARDED_BY(mu_);
  int in_flight_ GUARDED_BY(mu_) = 0;
  int64_t backoff_until_ms_ GUARDED_BY(mu_) = 0;
  int64_t failing_since_ms_ GUARDED_BY(mu_) = 0;
  std::string last_failure_ GUARDED_BY(mu_);
  Repeat_Limiter refused_trace_ GUARDED_BY(mu_);  // answers that refuse
  Repeat_Limiter partial_trace_ GUARDED_BY(mu_);  // partial successes
  Repeat_Limiter failing_trace_ GUARDED_BY(mu_);
  Http_Client client_;  // last: its thread stops first
};

}  // namespace

bool IsOtlpUrl(const std::string& text) {
  return text.compare(0, 12, "otlp+http://") == 0 ||
         text.compare(0, 13, "otlp+https://") == 0;
}

bool ParseOtlpUrl(const std::string& text, Otlp_Url* url, std::string* err) {
  *url = Otlp_Url();
  const bool tls = text.compare(0, 13, "otlp+https://") == 0;
  if (!tls && text.compare(0, 12, "otlp+http://") != 0) {
    *err = "OTLP URL \"" + text +
           "\" must start with otlp+http:// or otlp+https://";
    return false;
  }
  std::string rest = text.substr(tls ? 13 : 12);
  std::string query;
  const size_t q = rest.find('?');
  if (q != std::string::npos) {
    query = rest.substr(q + 1);
    rest.resize(q);
  }
  const size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? "" : rest.substr(slash);
  if (path.empty() || path == "/") {
    path = "/v1/logs";
  }
  const size_t colon = authority.rfind(':');
  const std::string host =
      colon == std::string::npos ? "" : authority.substr(0, colon);
  size_t port = 0;
  const bool bracketed =
      host.size() > 2 && host.front() == '[' && host.back() == ']';
  if (host.empty() || authority.find('@') != std::string::npos ||
      (!bracketed && host.find_first_of("[]:") != std::string::npos) ||
      !ParseCount(authority.substr(colon + 1), false, 65535, &port) ||
      path.find_first_of(" \t\"<>\\^`{|}#") != std::string::npos) {
    *err = "OTLP URL \"" + text +
           "\": expected otlp+http://HOST:PORT[/PATH] or "
           "otlp+https://HOST:PORT[/PATH]";
    return false;
  }
  url->endpoint = std::string(tls ? "https://" : "http://") + authority + path;
  size_t at = 0;
  while (!query.empty() && at != std::string::npos) {
    const size_t amp = query.find('&', at);
    const std::string item = query.substr(
        at, amp == std::string::npos ? std::string::npos : amp - at);
    at = amp == std::string::npos ? amp : amp + 1;
    const size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value =
        eq == std::string::npos ? "" : item.substr(eq + 1);
    size_t n = 0;
    if (key == "encoding" && (value == "protobuf" || value == "json")) {
      url->encoding =
          value == "json" ? Otlp_Encoding::kJson : Otlp_Encoding::kProtobuf;
    } else if (key == "compression" && (value == "gzip" || value == "none")) {
      url->gzip = value == "gzip";
    } else if (key == "batch" && ParseCount(value, false, 100000, &n)) {
      url->batch_records = n;
    } else if (key == "batch_bytes" && ParseCount(value, true, 64u << 20, &n)) {
      url->batch_bytes = n;
    } else if (key == "requests" && ParseCount(value, false, 64, &n)) {
      url->requests = static_cast<int>(n);
    } else {
      *err = "OTLP URL \"" + text + "\": unknown option \"" + item +
             "\"; expected encoding=protobuf|json, compression=gzip|none, "
             "batch=RECORDS (1-100000), batch_bytes=SIZE (up to 64M) or "
             "requests=N (1-64)";
      return false;
    }
  }
  return true;
}

bool ParseOtlpHeaders(const std::string& text,
                      std::vector<std::string>* headers, std::string* err) {
  headers->clear();
  return ForEachSettingLine(text, [&](const std::string& line, int number) {
    const size_t colon = line.find(':');
    const std::string name = line.substr(0, colon);
    bool token = !name.empty();
    for (char c : name) {
      token = token && (isalnum(static_cast<unsigned char>(c)) ||
                        strchr("!#$%&'*+-.^_`|~", c) != nullptr);
    }
    bool clean = true;
    for (char c : line) {
      clean = clean && (static_cast<unsigned char>(c) >= 0x20 || c == '\t') &&
              c != 0x7F;
    }
    if (colon == std::string::npos || !token || !clean) {
      *err = "line " + std::to_string(number) +
             " is not \"Name: value\" (a header name of letters, digits and "
             "-, a value without control characters)";
      return false;
    }
    std::string value = line.substr(colon + 1);
    const size_t v = value.find_first_not_of(" \t");
    value.erase(0, v == std::string::npos ? value.size() : v);
    headers->push_back(name + ": " + value);
    return true;
  });
}

bool MakeOtlpOutput(const std::string& url_text,
                    const Delivery_Window_Limits& limits,
                    std::unique_ptr<Event_Output>* output, std::string* err) {
  Otlp_Url url;
  if (!ParseOtlpUrl(url_text, &url, err)) {
    return false;
  }
  std::vector<std::string> headers;
  const char* const headers_file = getenv("HOV_OTLP_HEADERS");
  if (headers_file != nullptr && headers_file[0] != '\0') {
    std::string text;
    if (!ReadTrustedFile("HOV_OTLP_HEADERS", headers_file, &text, err)) {
      return false;
    }
    std::string why;
    if (!ParseOtlpHeaders(text, &headers, &why)) {
      *err = std::string("HOV_OTLP_HEADERS file ") + headers_file + ": " + why;
      return false;
    }
  }
  std::string ca;
  const char* const ca_file = getenv("HOV_OTLP_CA");
  if (ca_file != nullptr && ca_file[0] != '\0') {
    if (access(ca_file, R_OK) != 0) {
      *err = std::string("cannot read the HOV_OTLP_CA file ") + ca_file;
      return false;
    }
    ca = ca_file;
  }
  auto out = std::make_unique<Otlp_Output>(
      url_text, std::move(url), std::move(headers), std::move(ca), limits);
  if (!out->Start(err)) {
    return false;
  }
  *output = std::move(out);
  return true;
}
