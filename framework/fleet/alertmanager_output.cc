// Alerts to Prometheus Alertmanager: each event line becomes an alert kept
// by its identity (situation, key, host) and posted to /api/v2/alerts by
// Http_Client, in batches, again while it fires; never holds anything back.
#include "framework/fleet/alertmanager_output.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <utility>

#include "framework/events/event_sink.h"
#include "framework/fleet/fleet_output.h"
#include "framework/fleet/http_client.h"
#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"
#include "framework/tables/row_json.h"
#include "util/monotonic_ms.h"
#include "util/posix_mutex.h"
#include "util/repeat_limiter.h"
#include "util/setting_lines.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

constexpr size_t kBatchAlerts = 64;
constexpr long long kBatchWaitMs = 1000;
constexpr size_t kEntryMax = 4096;

// The raw JSON text of the member `name` of the object `text` (top level
// only); empty when absent.
std::string_view Member(std::string_view text, std::string_view name) {
  int depth = 0;
  bool want_key = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      size_t end = i + 1;
      while (end < text.size() && text[end] != '"') {
        end += text[end] == '\\' ? 2 : 1;
      }
      if (end >= text.size()) {
        return {};
      }
      if (depth == 1 && want_key) {
        const std::string_view key = text.substr(i + 1, end - i - 1);
        size_t v = end + 1;
        while (v < text.size() && (text[v] == ':' || text[v] == ' ')) {
          ++v;
        }
        if (key == name) {
          // The value runs to the next ',' or '}' at this depth.
          int d = 0;
          size_t e = v;
          for (; e < text.size(); ++e) {
            const char x = text[e];
            if (x == '"') {
              ++e;
              while (e < text.size() && text[e] != '"') {
                e += text[e] == '\\' ? 2 : 1;
              }
            } else if (x == '{' || x == '[') {
              ++d;
            } else if (x == '}' || x == ']') {
              if (d == 0) {
                break;
              }
              --d;
            } else if (x == ',' && d == 0) {
              break;
            }
          }
          return text.substr(v, std::min(e, text.size()) - v);
        }
        want_key = false;
        i = v - 1;
        continue;
      }
      i = end;
    } else if (c == '{' || c == '[') {
      ++depth;
      want_key = c == '{' && depth == 1;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (c == ',' && depth == 1) {
      want_key = true;
    }
  }
  return {};
}

bool IsJsonString(std::string_view v) {
  return v.size() >= 2 && v.front() == '"' && v.back() == '"';
}

// Appends the JSON string `raw` (with its quotes) cut at kEntryMax bytes of
// its text, between two escapes.
void AppendCut(std::string* out, std::string_view raw) {
  const std::string_view text = raw.substr(1, raw.size() - 2);
  size_t cut = 0;
  while (cut < text.size()) {
    const size_t step = text[cut] != '\\'                               ? 1
                        : cut + 1 < text.size() && text[cut + 1] == 'u' ? 6
                                                                        : 2;
    if (cut + step > kEntryMax) {
      break;
    }
    cut += step;
  }
  out->append("\"").append(text.substr(0, std::min(cut, text.size())));
  out->append("\"");
}

std::string Rfc3339Utc(long long seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// Seconds since the epoch of an RFC 3339 time as the event lines write it
// ("2026-12-09T18:35:12Z", "...12.377Z", "...12+01:00"); -1 when it is none.
long long Rfc3339Seconds(std::string_view quoted) {
  const std::string text(quoted.substr(1, quoted.size() - 2));
  struct tm tm = {};
  int used = 0;
  if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon,
             &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &used) != 6) {
    return -1;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  long long seconds = timegm(&tm);
  size_t at = static_cast<size_t>(used);
  while (at < text.size() &&
         (text[at] == '.' || isdigit(static_cast<unsigned char>(text[at])))) {
    ++at;
  }
  int hours = 0;
  int minutes = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-') &&
      sscanf(text.c_str() + at + 1, "%2d:%2d", &hours, &minutes) == 2) {
    seconds -= (text[at] == '+' ? 1 : -1) * (hours * 3600LL + minutes * 60);
  }
  return seconds;
}

// One alert as this output knows it.
struct Alert {
  std::string json;          // as sent
  long long ends_s = 0;      // 0: firing until resolved
  bool resolved = false;     // a stateful alert that is over
  long long changed_ms = 0;  // when it was last changed
  long long sent_ms = 0;     // when it last went out (0: never)
  long long forget_ms = 0;   // a resolved alert is forgotten then
  // What Alertmanager was last told (Alert_Told): the identity as JSON
  // text, and the request it went in (0: none yet), when, and as what.
  std::string situation, key, host;
  uint64_t request = 0;
  long long told_s = 0;
  bool told_resolved = false;
  // Alertmanager refused it alone (400): not sent again until it changes.
  bool refused = false;
};

// The key and host of an event line's alert as JSON strings.
void AlertIdentity(std::string_view line, std::string* key, std::string* host) {
  const std::string_view alert = Member(line, "alert");
  const std::string_view k = Member(alert.empty() ? line : alert, "key");
  key->assign(IsJsonString(k) && k.size() > 2 ? k : std::string_view());
  std::string_view h = Member(alert, "host");
  if (IsJsonString(h)) {
    host->assign(h);
  } else {
    std::string scratch;
    host->clear();
    JsonAppendString(host, std::string(EventLineHost(line, &scratch)));
  }
}

std::string Identity(std::string_view line) {
  const std::string_view alert = Member(line, "alert");
  if (!alert.empty()) {
    return std::string(alert);
  }
  std::string id(Member(line, "situation"));
  id.append("\n").append(Member(line, "key"));
  return id;
}

// The alerts a request carries and its number (requests are numbered from
// 1 as they are made).
struct Request_Tag {
  size_t alerts;
  uint64_t number;
};

class Alertmanager_Output : public Event_Output {
 public:
  Alertmanager_Output(std::string url, const Alertmanager_Config& config)
      : Event_Output("alertmanager " + url),
        url_(url + "/api/v2/alerts"),
        config_(config),
        client_(
            Http_Client::Options{config.ca_file, 2, 5000, 30000},
            [this](std::unique_ptr<Http_Exchange> x) {
              Answered(std::move(x));
            },
            [this] { Tick(); }) {
    headers_.push_back("Content-Type: application/json");
    headers_.push_back("Expect:");
    if (!config.authorization.empty()) {
      headers_.push_back(config.authorization);
    }
  }

  bool Start(std::string* err) { return client_.Start(err); }

  bool Put(const std::string& /*situation*/, const std::string& line,
           std::string* /*why*/) override {
    const long long now_ms = MonotonicMs();
    std::string json =
        AlertmanagerAlert(line, time(nullptr), config_.resolve_s);
    if (json.empty()) {
      return true;
    }
    const std::string_view state = Member(line, "state");
    bool dropped = false;
    bool wake = false;
    {
      Posix_Mutex::Hold g(&mu_);
      const std::string id = Identity(line);
      auto it = alerts_.find(id);
      if (it == alerts_.end()) {
        if (alerts_.size() >= config_.alerts_max) {
          dropped = true;
        } else {
          it = alerts_.emplace(id, Alert()).first;
        }
      }
      if (!dropped) {
        Alert& a = it->second;
        if (a.situation.empty()) {
          a.situation.assign(Member(line, "situation"));
          AlertIdentity(line, &a.key, &a.host);
        }
        a.json = std::move(json);
        a.refused = false;
        a.resolved = state == "\"resolved\"";
        a.ends_s = state.empty() ? time(nullptr) + AlertmanagerResolveSeconds(
                                                       line, config_.resolve_s)
                                 : 0;
        a.changed_ms = now_ms;
        a.forget_ms = a.resolved ? now_ms + config_.resend_s * 1000 : 0;
        if (first_waiting_ms_ == 0) {
          first_waiting_ms_ = now_ms;
        }
        ++waiting_;
      }
      wake = waiting_ >= kBatchAlerts;
    }
    if (dropped) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      uint64_t held = 0;
      bool due;
      {
        Posix_Mutex::Hold g(&mu_);
        due = drop_trace_.Due(&held);
      }
      if (due) {
        WEX1_TRACE(wex1, WEX1_ERROR,
                   "\n%s: %zu alerts kept already; an alert was dropped (%llu "
                   "more since the last message)",
                   Name().c_str(), config_.alerts_max,
                   static_cast<unsigned long long>(held));
      }
    } else if (wake) {
      client_.Wake();
    }
    return true;
  }

  void Restate(const std::string& situation, const std::string& line) override {
    std::string why;
    (void)Put(situation, line, &why);
  }

  void AddFleetCounts(Event_Output_Counts* counts) const override {
    counts->fleet = true;
    counts->alerts = true;
    counts->firing = firing_.load(std::memory_order_relaxed);
    counts->connected = connected_.load(std::memory_order_relaxed);
    counts->acknowledged += sent_.load(std::memory_order_relaxed);
    counts->failed_attempts += failed_.load(std::memory_order_relaxed);
    counts->rejected += rejected_.load(std::memory_order_relaxed);
    counts->dropped += dropped_.load(std::memory_order_relaxed);
  }

 private:
  // On the client's thread: sends what changed (64 at once, or after 1 s),
  // and every alert again each resend interval.
  void Tick() {
    const long long now_ms = MonotonicMs();
    const long long now_s = time(nullptr);
    std::vector<std::string> batch;
    uint64_t first_request = 0;
    {
      Posix_Mutex::Hold g(&mu_);
      if (in_flight_ || now_ms < retry_at_ms_) {
        return;
      }
      const bool resend =
          now_ms - last_full_ms_ >= config_.resend_s * 1000 || resend_all_;
      const bool due =
          waiting_ >= kBatchAlerts ||
          (waiting_ > 0 && now_ms - first_waiting_ms_ >= kBatchWaitMs);
      if (!resend && !due) {
        return;
      }
      uint64_t firing = 0;
      for (auto it = alerts_.begin(); it != alerts_.end();) {
        Alert& a = it->second;
        if ((a.forget_ms != 0 && now_ms >= a.forget_ms && a.sent_ms != 0) ||
            (a.ends_s != 0 && now_s > a.ends_s && a.sent_ms != 0)) {
          it = alerts_.erase(it);
          continue;
        }
        if (a.refused) {
          ++it;
          continue;
        }
        firing += a.resolved ? 0 : 1;
        if (resend || a.sent_ms < a.changed_ms || a.sent_ms == 0) {
          batch.push_back(a.json);
          a.sent_ms = now_ms;
          a.told_s = now_s;
          a.told_resolved = a.resolved;
          // Its request's number: batches go out in order, kBatchAlerts
          // to a request.
          a.request = requests_made_ + 1 + (batch.size() - 1) / kBatchAlerts;
        }
        ++it;
      }
      firing_.store(firing, std::memory_order_relaxed);
      if (resend) {
        last_full_ms_ = now_ms;
        resend_all_ = false;
      }
      waiting_ = 0;
      first_waiting_ms_ = 0;
      in_flight_ = !batch.empty();
      first_request = requests_made_ + 1;
    }
    if (batch.empty()) {
      return;
    }
    // Batches of kBatchAlerts, one after the other.
    size_t requests = 0;
    std::vector<std::unique_ptr<Http_Exchange>> made;
    for (size_t at = 0; at < batch.size(); at += kBatchAlerts) {
      auto x = std::make_unique<Http_Exchange>();
      x->url = url_;
      x->headers = headers_;
      x->body = "[";
      const size_t end = std::min(batch.size(), at + kBatchAlerts);
      for (size_t i = at; i < end; ++i) {
        x->body.append(i == at ? "" : ",").append(batch[i]);
      }
      x->body.append("]");
      x->tag = std::make_shared<Request_Tag>(
          Request_Tag{end - at, first_request + at / kBatchAlerts});
      made.push_back(std::move(x));
      ++requests;
    }
    {
      Posix_Mutex::Hold g(&mu_);
      for (auto& x : made) {
        ++requests_made_;
        pending_.push_back(std::move(x));
      }
    }
    SubmitNext();
  }

  void SubmitNext() {
    std::unique_ptr<Http_Exchange> x;
    {
      Posix_Mutex::Hold g(&mu_);
      if (pending_.empty()) {
        in_flight_ = false;
        return;
      }
      x = std::move(pending_.front());
      pending_.erase(pending_.begin());
    }
    client_.Submit(std::move(x));
  }

  void Answered(std::unique_ptr<Http_Exchange> x) {
    const Request_Tag& tag = *static_cast<Request_Tag*>(x->tag.get());
    const size_t n = tag.alerts;
    {
      Posix_Mutex::Hold g(&mu_);
      Outcome(tag.number, x->status >= 200 && x->status < 300 ? "ok"
                          : x->status == 400                  ? "refused"
                                                              : "failed");
    }
    if (x->status >= 200 && x->status < 300) {
      connected_.store(true, std::memory_order_relaxed);
      sent_.fetch_add(n, std::memory_order_relaxed);
      {
        Posix_Mutex::Hold g(&mu_);
        backoff_ms_ = 0;
      }
      SubmitNext();
      return;
    }
    if (x->status == 400) {
      connected_.store(true, std::memory_order_relaxed);
      Refused(tag, x->answer);
      SubmitNext();
      return;
    }
    // Failed: everything is sent again after a growing backoff.
    connected_.store(x->status != 0, std::memory_order_relaxed);
    failed_.fetch_add(n, std::memory_order_relaxed);
    {
      Posix_Mutex::Hold g(&mu_);
      backoff_ms_ =
          std::min<long long>(backoff_ms_ == 0 ? 1000 : backoff_ms_ * 2, 60000);
      retry_at_ms_ = MonotonicMs() + backoff_ms_;
      resend_all_ = true;
      for (const auto& p : pending_) {  // given up before they went out
        Outcome(static_cast<Request_Tag*>(p->tag.get())->number, "failed");
      }
      pending_.clear();
      in_flight_ = false;
    }
    Trace(&failing_trace_,
          "not taking alerts (sent again with a growing backoff): " +
              (x->status != 0 ? "HTTP " + std::to_string(x->status) + " " +
                                    Printable(x->answer)
                              : x->error));
  }

  void AddAlertsTold(std::vector<Alert_Told>* told) const override {
    Posix_Mutex::Hold g(&mu_);
    for (const auto& kv : alerts_) {
      const Alert& a = kv.second;
      Alert_Told t;
      t.output = Name();
      t.situation = a.situation;
      t.key = a.key;
      t.host = a.host;
      t.resolved = a.told_resolved;
      t.at_s = a.told_s;
      const auto o = outcomes_.find(a.request);
      t.outcome = a.refused              ? "refused"
                  : o != outcomes_.end() ? o->second
                                         : "waiting";
      told->push_back(std::move(t));
    }
  }

  // The outcome of request `number`, kept for the last requests.
  void Outcome(uint64_t number, const char* outcome) REQUIRES(mu_) {
    outcomes_[number] = outcome;
    // Enough for the requests of one re-send of every alert kept.
    while (outcomes_.size() > config_.alerts_max / kBatchAlerts + 16) {
      outcomes_.erase(outcomes_.begin());
    }
  }

  // A request Alertmanager refused (400: an alert it takes as bad; it
  // keeps the others of the request). Each alert of a batch is posted again
  // alone, once, to find the bad ones; an alert refused alone is counted,
  // traced with the reason, and not sent again until it changes.
  void Refused(const Request_Tag& tag, const std::string& answer) {
    std::string refused;
    {
      Posix_Mutex::Hold g(&mu_);
      std::vector<std::unique_ptr<Http_Exchange>> alone;
      for (auto& kv : alerts_) {
        Alert& a = kv.second;
        if (a.request != tag.number) {
          continue;
        }
        if (tag.alerts == 1) {
          a.refused = true;
          refused = a.situation + (a.key.empty() ? "" : " key " + a.key);
          continue;
        }
        auto x = std::make_unique<Http_Exchange>();
        x->url = url_;
        x->headers = headers_;
        x->body = "[" + a.json + "]";
        a.request = requests_made_ + 1 + alone.size();
        x->tag = std::make_shared<Request_Tag>(Request_Tag{1, a.request});
        alone.push_back(std::move(x));
      }
      requests_made_ += alone.size();
      // Before the batches still waiting, in their order.
      pending_.insert(pending_.begin(), std::make_move_iterator(alone.begin()),
                      std::make_move_iterator(alone.end()));
    }
    if (!refused.empty()) {
      rejected_.fetch_add(1, std::memory_order_relaxed);
      Trace(&refused_trace_,
            "refused the alert of " + refused +
                " (not sent again until it changes): " + Printable(answer));
    }
  }

  void Trace(Repeat_Limiter* limiter, const std::string& what) {
    uint64_t held = 0;
    {
      Posix_Mutex::Hold g(&mu_);
      if (!limiter->Due(&held)) {
        return;
      }
    }
    WEX1_TRACE(wex1, WEX1_ERROR, "\n%s %s%s", Name().c_str(), what.c_str(),
               held > 0 ? (" (" + std::to_string(held) +
                           " more since the last message)")
                              .c_str()
                        : "");
  }

  static std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 512)) {
      out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' '
                                                                      : c);
    }
    return out;
  }

  const std::string url_;
  const Alertmanager_Config config_;
  std::vector<std::string> headers_;
  std::atomic<bool> connected_{false};
  std::atomic<uint64_t> sent_{0}, failed_{0}, rejected_{0}, dropped_{0},
      firing_{0};
  mutable Posix_Mutex mu_;
  std::map<std::string, Alert> alerts_ GUARDED_BY(mu_);
  uint64_t requests_made_ GUARDED_BY(mu_) = 0;
  // The outcomes of the last requests answered or given up, by number.
  std::map<uint64_t, const char*> outcomes_ GUARDED_BY(mu_);
  size_t waiting_ GUARDED_BY(mu_) = 0;
  long long first_waiting_ms_ GUARDED_BY(mu_) = 0;
  long long last_full_ms_ GUARDED_BY(mu_) = 0;
  long long retry_at_ms_ GUARDED_BY(mu_) = 0;
  long long backoff_ms_ GUARDED_BY(mu_) = 0;
  bool resend_all_ GUARDED_BY(mu_) = false;
  bool in_flight_ GUARDED_BY(mu_) = false;
  std::vector<std::unique_ptr<Http_Exchange>> pending_ GUARDED_BY(mu_);
  Repeat_Limiter drop_trace_ GUARDED_BY(mu_);
  Repeat_Limiter refused_trace_ GUARDED_BY(mu_);
  Repeat_Limiter failing_trace_ GUARDED_BY(mu_);
  // Last: its thread calls into the members above until it is destroyed.
  Http_Client client_;
};

std::string Base64(const std::string& in) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) {
      v |= static_cast<unsigned char>(in[i + 1]) << 8;
    }
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace

bool ParseAlertmanagerUrls(const std::string& text,
                           std::vector<std::string>* urls, std::string* err) {
  urls->clear();
  size_t at = 0;
  do {
    const size_t comma = text.find(',', at);
    std::string url = text.substr(
        at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? comma : comma + 1;
    const size_t scheme = url.compare(0, 7, "http://") == 0    ? 7
                          : url.compare(0, 8, "https://") == 0 ? 8
                                                               : 0;
    bool clean = true;
    for (char c : url) {
      clean = clean && static_cast<unsigned char>(c) > 0x20 && c != 0x7F &&
              c != '?' && c != '#';
    }
    while (!url.empty() && url.back() == '/' && url.size() > scheme) {
      url.pop_back();
    }
    const size_t host_end = url.find('/', scheme);
    const std::string host =
        url.substr(scheme, host_end == std::string::npos ? std::string::npos
                                                         : host_end - scheme);
    if (scheme == 0 || !clean || host.empty() || host[0] == ':' ||
        host.find('@') != std::string::npos) {
      // Never quoted with a user and password it may carry.
      *err = "HOV_ALERTMANAGER item \"" +
             (clean ? FleetUrlForMessages(url) : std::string("?")) +
             "\" is not an http:// or https:// URL of Alertmanager's API root "
             "(HOST[:PORT][/PATH], no user, query or fragment; credentials go "
             "in HOV_ALERTMANAGER_CONFIG)";
      return false;
    }
    urls->push_back(url);
  } while (at != std::string::npos);
  return true;
}

bool ParseAlertmanagerConfig(const std::string& text,
                             Alertmanager_Config* config, std::string* err) {
  return ForEachSettingLine(text, [&](std::string line, int number) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    line.erase(0, line.find_first_not_of(" \t"));
    const size_t space = line.find_first_of(" \t");
    const std::string name = line.substr(0, space);
    std::string value = space == std::string::npos
                            ? std::string()
                            : line.substr(line.find_first_not_of(" \t", space));
    bool clean = !value.empty();
    for (char c : value) {
      clean = clean && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
    }
    const std::string where = "line " + std::to_string(number) + ": ";
    if (!clean) {
      *err =
          where + "\"" + name + "\" needs a value without control characters";
      return false;
    }
    char* rest = nullptr;
    if (name == "basic_auth") {
      if (value.find(':') == std::string::npos) {
        *err = where + "basic_auth is USER:PASSWORD";
        return false;
      }
      config->authorization = "Authorization: Basic " + Base64(value);
    } else if (name == "bearer_token") {
      config->authorization = "Authorization: Bearer " + value;
    } else if (name == "ca_file") {
      if (access(value.c_str(), R_OK) != 0) {
        *err = where + "cannot read the CA file " + value;
        return false;
      }
      config->ca_file = value;
    } else if (name == "resend_interval" || name == "resolve_after") {
      const long v = strtol(value.c_str(), &rest, 10);
      if (*rest != '\0' || v < 1 || v > 86400) {
        *err = where + name + " is a number of seconds from 1 to 86400";
        return false;
      }
      (name == "resend_interval" ? config->resend_s : config->resolve_s) = v;
    } else {
      *err = where + "unknown setting \"" + name +
             "\" (basic_auth, bearer_token, ca_file, resend_interval, "
             "resolve_after)";
      return false;
    }
    return true;
  });
}

long AlertmanagerResolveSeconds(std::string_view line, long resolve_s) {
  const std::string_view own = Member(line, "resolve");
  const long v = own.empty() ? 0 : atol(std::string(own).c_str());
  return v > 0 ? v : resolve_s;
}

std::string AlertmanagerAlert(std::string_view line, long long now_s,
                              long resolve_s) {
  const std::string_view situation = Member(line, "situation");
  if (!IsJsonString(situation) || Member(line, "alerts") == "false") {
    return {};
  }
  resolve_s = AlertmanagerResolveSeconds(line, resolve_s);
  const std::string_view state = Member(line, "state");
  const std::string_view alert = Member(line, "alert");
  std::string_view host = Member(alert, "host");
  std::string host_text;
  if (!IsJsonString(host)) {
    std::string scratch;
    JsonAppendString(&host_text, std::string(EventLineHost(line, &scratch)));
    host = host_text;
  }
  std::string_view key = Member(alert.empty() ? line : alert, "key");
  std::string out = "{\"labels\":{\"alertname\":";
  out.append(situation).append(",\"host\":").append(host);
  if (IsJsonString(key) && key.size() > 2) {
    out.append(",\"key\":").append(key);
  }
  const std::string_view row = Member(line, "row");
  const std::string_view path = Member(row, "LOGPATH");
  const std::string_view name = Member(row, "LOGNAME");
  // Labels name the alert: a stateful one's must be the same whether or not
  // its event has a row, so only a plain event's names its log.
  if (state.empty() && IsJsonString(path) && IsJsonString(name)) {
    out.append(",\"log\":")
        .append(path.substr(0, path.size() - 1))
        .append(name.substr(1));
  }
  // The situation's own labels (checked as it was loaded), and severity.
  const std::string_view labels = Member(line, "labels");
  if (labels.size() > 2 && labels.front() == '{' && labels.back() == '}') {
    out.append(",").append(labels.substr(1, labels.size() - 2));
  }
  const std::string_view severity = Member(line, "severity");
  out.append(",\"severity\":")
      .append(IsJsonString(severity) ? severity : "\"warning\"")
      .append("},\"annotations\":{");
  const std::string_view table = Member(line, "table");
  out.append("\"summary\":");
  const std::string_view description = Member(row, "ENTRYDESC");
  if (IsJsonString(description) && description.size() > 2) {
    AppendCut(&out, description);
  } else {
    JsonAppendString(
        &out, std::string(situation.substr(1, situation.size() - 2)) + " on " +
                  std::string(host.substr(1, host.size() - 2)));
  }
  if (IsJsonString(table)) {
    out.append(",\"table\":").append(table);
  }
  const std::string_view suppressed = Member(line, "suppressed");
  out.append(",\"count\":\"")
      .append(std::to_string(1 + atol(std::string(suppressed).c_str())))
      .append("\"");
  // The entry's whole text (else the row).
  const std::string_view entry = Member(row, "entry");
  if (IsJsonString(entry)) {
    out.append(",\"entry\":");
    AppendCut(&out, entry);
  } else if (!row.empty()) {
    out.append(",\"entry\":");
    JsonAppendString(&out, std::string(row.substr(0, kEntryMax)));
  }
  out.append("}");
  // A stateful alert started when its state began ("since"), and stays
  // the same alert when it resolves.
  std::string_view starts = Member(line, "since");
  if (state.empty() || !IsJsonString(starts)) {
    starts = Member(line, "entrytime");
  }
  if (!IsJsonString(starts)) {
    starts = Member(line, "time");
  }
  // An entry stamped ahead of this clock (another host's, a year guessed
  // wrong) starts now: Alertmanager refuses an alert that starts after it
  // ends.
  if (IsJsonString(starts) && Rfc3339Seconds(starts) > now_s && now_s > 0) {
    out.append(",\"startsAt\":\"").append(Rfc3339Utc(now_s)).append("\"");
  } else if (IsJsonString(starts)) {
    out.append(",\"startsAt\":").append(starts);
  }
  if (state == "\"resolved\"") {
    out.append(",\"endsAt\":\"").append(Rfc3339Utc(now_s)).append("\"");
  } else if (state.empty()) {
    out.append(",\"endsAt\":\"")
        .append(Rfc3339Utc(now_s + resolve_s))
        .append("\"");
  }
  out.append("}");
  return out;
}

bool MakeAlertmanagerOutputs(
    std::vector<std::unique_ptr<Event_Output>>* outputs, std::string* err) {
  const char* const spec = getenv("HOV_ALERTMANAGER");
  if (spec == nullptr || spec[0] == '\0') {
    return true;
  }
  std::vector<std::string> urls;
  if (!ParseAlertmanagerUrls(spec, &urls, err)) {
    return false;
  }
  Alertmanager_Config config;
  const char* const file = getenv("HOV_ALERTMANAGER_CONFIG");
  if (file != nullptr && file[0] != '\0') {
    std::string text;
    std::string why;
    if (!ReadTrustedFile("HOV_ALERTMANAGER_CONFIG", file, &text, err)) {
      return false;
    }
    if (!ParseAlertmanagerConfig(text, &config, &why)) {
      *err = std::string("HOV_ALERTMANAGER_CONFIG file ") + file + ": " + why;
      return false;
    }
  }
  for (const std::string& url : urls) {
    auto out = std::make_unique<Alertmanager_Output>(url, config);
    if (!out->Start(err)) {
      return false;
    }
    outputs->push_back(std::move(out));
  }
  return true;
}
