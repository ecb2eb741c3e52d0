// The fleet server: answers read-only reports asked over NATS and keeps the
// agent's roster entry.
#include "framework/control/fleet_server.h"

#include <nats/nats.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <thread>
#include <vector>

#include "framework/control/control_protocol.h"
#include "framework/control/fleet_situations.h"
#include "framework/control/main_loop.h"
#include "framework/fleet/nats_connection.h"
#include "framework/runtime/trace.h"
#include "framework/situations/situation_registry.h"
#include "framework/tables/row_json.h"
#include "util/fleet_names.h"
#include "util/monotonic_ms.h"
#include "util/nats_url.h"
#include "util/posix_mutex.h"
#include "util/quoted_text.h"

#include <nlohmann/json.hpp>

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

constexpr int kRosterRetryS = 2;
constexpr int kPendingRequests = 1024;
constexpr int kPendingBytes = 8 * 1024 * 1024;
constexpr int64_t kDrainWaitMs = 5000;
const char kRequestShape[] =
    "expected a JSON object {\"request\":\"PING or REPORT line\"[,\"limit\":ROWS]}";

struct Waiting {
  natsMsg* msg;
  long long deadline_ms;
};

// An empty log-entries report and a log this agent does not watch look
// alike: the latter is said, as qorctl says it for one agent.
bool UnwatchedLog(const Control_Request& report, std::string* err) {
  if (report.table.size() < 8 ||
      report.table.compare(report.table.size() - 8, 8, "VXLOGENT") != 0) {
    return false;
  }
  std::string dir, name;
  for (const Threshold_Spec& t : report.thresholds) {
    if (t.oper == GIR1_EQ && t.column == "LOGPATH") {
      dir = t.text;
    } else if (t.oper == GIR1_EQ && t.column == "LOGNAME") {
      name = t.text;
    }
  }
  Control_Request logs;
  logs.verb = Control_Verb::kReport;
  logs.table = "VXMONLOG";
  logs.condition = LogSelection(dir, name);
  const auto equals = [](const char* column, const std::string& value) {
    Threshold_Spec t;
    t.column = column;
    t.oper = GIR1_EQ;
    t.text = value;
    return t;
  };
  logs.thresholds = {equals("LOGPATH", dir), equals("LOGNAME", name)};
  Control_Lines rows;
  std::string unused;
  if (!RunControlRequest(logs, &rows, &unused) || rows.size() != 0) {
    return false;
  }
  *err = dir + name + " is not a monitored log";
  return true;
}

std::string UtcNow() {
  const time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace

struct Fleet_Server::State {
  // Constant after Start.
  Fleet_Limits limits;
  std::string host;  // the system name
  std::string key;   // the same as one subject token
  std::string version;
  std::string started;
  std::string prefix;
  Nats_Connection conn;
  natsSubscription* subs[2] = {nullptr, nullptr};
  std::vector<std::thread> threads;
  std::unique_ptr<Fleet_Situations> situations;  // null: not watched

  Posix_Mutex mu;
  // A request queued, one taken, the roster due, or Stop began.
  Posix_Cond cv;
  bool stopping GUARDED_BY(mu) = false;
  bool roster_due GUARDED_BY(mu) = false;  // a change of situations applied
  std::deque<Waiting> waiting GUARDED_BY(mu);

  // What `ask` would answer, as a head line: {"host":...,"key":...
  std::string Head() const {
    std::string out = "{\"host\":";
    JsonAppendString(&out, host);
    out += ",\"key\":";
    JsonAppendString(&out, key);
    return out;
  }
  void Publish(const char* reply, const std::string& text) {
    const natsStatus s = natsConnection_Publish(conn.Get(), reply, text.data(),
                                                static_cast<int>(text.size()));
    if (s != NATS_OK) {
      WEX1_TRACE(wex1, WEX1_FLOW, "\nFleet answer not sent: %s",
                 natsStatus_GetText(s));
    }
  }
  void Final(const char* reply, size_t rows, bool cut,
             const std::string& error) {
    std::string out = Head() +
                      ",\"final\":true,\"rows\":" + std::to_string(rows) +
                      ",\"cut\":" + (cut ? "true" : "false");
    if (!error.empty()) {
      out += ",\"error\":";
      JsonAppendString(&out, error);
    }
    Publish(reply, out + "}");
  }
  // Sends the whole lines of `block` in chunks of at most the message size.
  void Chunks(const char* reply, const char* data, size_t length, int* part) {
    const int64_t server_max = natsConnection_GetMaxPayload(conn.Get());
    const size_t most =
        server_max > 0 && static_cast<size_t>(server_max) < FLEET_MAX_MESSAGE
            ? static_cast<size_t>(server_max)
            : FLEET_MAX_MESSAGE;
    while (length > 0) {
      std::string head =
          Head() + ",\"part\":" + std::to_string(++*part) + "}\n";
      size_t take = length;
      if (head.size() + take > most) {
        // Cut after the last whole line that fits (a row is far smaller).
        const std::string_view room(
            data, most > head.size() ? most - head.size() : 0);
        const size_t nl = room.rfind('\n');
        take = nl == std::string_view::npos ? length : nl + 1;
      }
      head.append(data, take);
      Publish(reply, head);
      data += take;
      length -= take;
    }
  }
  // The library's delivery thread: queues the request, or answers busy.
  static void OnRequest(natsConnection* nc, natsSubscription* sub, natsMsg* msg,
                        void* closure);
  void Answer(natsMsg* msg);
  void Work();
  void Keep();
  void Roster();
};

bool ParseFleetRequest(const char* data, size_t length,
                       Control_Request* request, std::string* line,
                       std::string* err) {
  if (length > FLEET_MAX_REQUEST) {
    *err = "request of " + std::to_string(length) + " bytes; at most " +
           std::to_string(FLEET_MAX_REQUEST) + " are taken";
    return false;
  }
  const nlohmann::json j =
      nlohmann::json::parse(data, data + length, nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains("request") ||
      !j["request"].is_string()) {
    *err = kRequestShape;
    return false;
  }
  long limit = 0;
  if (j.contains("limit")) {
    const nlohmann::json& l = j["limit"];
    if (!l.is_number_integer() || l.get<long long>() < 1 ||
        l.get<long long>() > FLEET_MAX_LIMIT) {
      *err = "expected \"limit\" to be a number of rows from 1 to " +
             std::to_string(FLEET_MAX_LIMIT);
      return false;
    }
    limit = static_cast<long>(l.get<long long>());
  }
  *line = j["request"].get<std::string>();
  if (!ParseControlRequest(*line, request, err)) {
    return false;
  }
  if (request->verb != Control_Verb::kPing &&
      request->verb != Control_Verb::kReport) {
    *err =
        "only PING and REPORT requests are answered over NATS; use the control socket";
    return false;
  }
  request->row_limit = limit;
  return true;
}

void Fleet_Server::State::Answer(natsMsg* msg) {
  const char* reply = natsMsg_GetReply(msg);
  if (reply == nullptr || *reply == '\0') {
    WEX1_TRACE(wex1, WEX1_FLOW,
               "\nFleet request without a reply subject ignored.");
    return;
  }
  Control_Request request;
  std::string line, err;
  const int length = natsMsg_GetDataLength(msg);
  if (!ParseFleetRequest(natsMsg_GetData(msg),
                         static_cast<size_t>(length < 0 ? 0 : length), &request,
                         &line, &err)) {
    WEX1_TRACE(wex1, WEX1_FLOW, "\nFleet request refused: %s", err.c_str());
    Final(reply, 0, false, err);
    return;
  }
  WEX1_TRACE(wex1, WEX1_FLOW, "\nFleet request: %.*s", 200, line.c_str());
  int part = 0;
  // Each block of whole rows goes out as soon as the report fills it.
  Control_Lines lines(
      [this, reply, &part](const char* data, size_t n,
                           int /*wait_ms*/) -> long {
        Chunks(reply, data, n, &part);
        return static_cast<long>(n);
      },
      "");
  bool cut = false;
  if (!RunControlRequest(request, &lines, &err, &cut)) {
    WEX1_TRACE(wex1, WEX1_FLOW, "\nFleet request refused: %s", err.c_str());
    Final(reply, 0, false, err);
    return;
  }
  std::vector<std::string>& rest = lines.Blocks();
  for (size_t i = 0; i < rest.size(); ++i) {
    const size_t from = i == 0 ? lines.Taken() : 0;
    Chunks(reply, rest[i].data() + from, rest[i].size() - from, &part);
  }
  if (lines.size() == 0 && request.verb == Control_Verb::kReport &&
      UnwatchedLog(request, &err)) {
    // Asked of every host, a log is one that some hosts do not watch: not
    // this agent's error.
    WEX1_TRACE(wex1, WEX1_FLOW, "\nFleet request answered: %s.", err.c_str());
    Final(reply, 0, false, err);
    return;
  }
  Final(reply, lines.size(), cut, "");
  natsConnection_Flush(conn.Get());
}

void Fleet_Server::State::OnRequest(natsConnection* /*nc*/,
                                    natsSubscription* /*sub*/, natsMsg* msg,
                                    void* closure) {
  auto* st = static_cast<State*>(closure);
  bool busy = false;
  {
    Posix_Mutex::Hold g(&st->mu);
    if (!st->stopping && st->waiting.size() < st->limits.max_waiting) {
      st->waiting.push_back({msg, MonotonicMs() + st->limits.slot_wait_ms});
      st->cv.Broadcast();
      return;
    }
    busy = !st->stopping;
  }
  const char* reply = natsMsg_GetReply(msg);
  if (busy && reply != nullptr && *reply != '\0') {
    st->Final(reply, 0, false,
              "busy: too many fleet requests are waiting; try again");
  }
  natsMsg_Destroy(msg);
}

void Fleet_Server::State::Work() {
  while (true) {
    natsMsg* msg = nullptr;
    {
      Posix_Mutex::Hold g(&mu);
      while (!stopping && waiting.empty()) {
        cv.Wait(&mu);
      }
      if (stopping) {
        return;
      }
      msg = waiting.front().msg;
      waiting.pop_front();
    }
    Answer(msg);
    natsMsg_Destroy(msg);
  }
}

// Answers busy the requests that waited too long for a worker.
void Fleet_Server::State::Keep() {
  std::vector<natsMsg*> late;
  mu.Lock();
  while (!stopping) {
    const long long now = MonotonicMs();
    while (!waiting.empty() && waiting.front().deadline_ms <= now) {
      late.push_back(waiting.front().msg);
      waiting.pop_front();
    }
    if (!late.empty()) {
      mu.Unlock();
      for (natsMsg* m : late) {
        const char* reply = natsMsg_GetReply(m);
        if (reply != nullptr && *reply != '\0') {
          Final(reply, 0, false,
                "busy: " + std::to_string(limits.workers) +
                    " fleet requests are running; try again");
        }
        natsMsg_Destroy(m);
      }
      late.clear();
      mu.Lock();
      continue;
    }
    if (waiting.empty()) {
      cv.Wait(&mu);
    } else {
      cv.WaitFor(&mu, static_cast<long>(waiting.front().deadline_ms - now));
    }
  }
  mu.Unlock();
}

// Keeps this agent's roster entry, then deletes it at the stop.
void Fleet_Server::State::Roster() {
  jsCtx* js = nullptr;
  kvStore* kv = nullptr;
  int puts = 0;
  // One bucket serves every prefix: the entry's key and value carry it.
  const std::string entry = NatsHostToken(prefix) + "." + key;
  mu.Lock();
  while (!stopping) {
    roster_due = false;
    mu.Unlock();
    natsStatus s = NATS_OK;
    if (kv == nullptr) {
      if (js == nullptr) {
        s = natsConnection_JetStream(&js, conn.Get(), nullptr);
      }
      if (s == NATS_OK) {
        s = js_KeyValue(&kv, js, FLEET_ROSTER_BUCKET);
      }
      if (s == NATS_NOT_FOUND) {
        kvConfig cfg;
        kvConfig_Init(&cfg);
        cfg.Bucket = FLEET_ROSTER_BUCKET;
        cfg.History = 1;
        cfg.TTL = static_cast<int64_t>(limits.roster_ttl_s) * 1000000000LL;
        s = js_CreateKeyValue(&kv, js, &cfg);
      }
    }
    if (s == NATS_OK) {
      std::string value = "{\"host\":";
      JsonAppendString(&value, host);
      value += ",\"key\":";
      JsonAppendString(&value, key);
      value += ",\"prefix\":";
      JsonAppendString(&value, prefix);
      value += ",\"version\":";
      JsonAppendString(&value, version);
      Control_Request logs;
      logs.verb = Control_Verb::kReport;
      logs.table = "VXMONLOG";
      Control_Lines rows;
      std::string err;
      const size_t count =
          RunControlRequest(logs, &rows, &err) ? rows.size() : 0;
      value += ",\"logs\":" + std::to_string(count) + ",\"situations\":" +
               std::to_string(Situation_Registry::Instance().List().size()) +
               ",\"started\":\"" + started +
               "\",\"pid\":" + std::to_string(getpid()) +
               (situations != nullptr ? situations->RosterFields() : "") + "}";
      uint64_t revision = 0;
      s = kvStore_PutString(&revision, kv, entry.c_str(), value.c_str());
    }
    if (s != NATS_OK) {
      WEX1_TRACE(wex1, WEX1_FLOW, "\nFleet roster entry not kept: %s",
                 NatsStatusText(s).c_str());
    }
    mu.Lock();
    if (!stopping && !roster_due) {
      // The first entry is put as the agent starts, before its logs are
      // all open: the second follows soon. A change of situations applied
      // is put at once.
      const bool soon = s != NATS_OK || puts++ == 0;
      cv.WaitFor(&mu, 1000L * (soon ? kRosterRetryS : limits.roster_every_s));
    }
  }
  mu.Unlock();
  if (kv != nullptr &&
      natsConnection_Status(conn.Get()) == NATS_CONN_STATUS_CONNECTED) {
    const natsStatus s = kvStore_Delete(kv, entry.c_str());
    if (s != NATS_OK) {
      WEX1_TRACE(wex1, WEX1_FLOW, "\nFleet roster entry not deleted: %s",
                 NatsStatusText(s).c_str());
    }
  }
  kvStore_Destroy(kv);
  jsCtx_Destroy(js);
}

Fleet_Server::Fleet_Server() = default;

Fleet_Server::~Fleet_Server() {
  Stop();
}

bool Fleet_Server::Start(const char* url, const char* version, std::string* err,
                         const Fleet_Limits& limits) {
  if (url == nullptr || *url == '\0' || state_ != nullptr) {
    const char* on = getenv("HOV_FLEET_SITUATIONS");
    if (state_ == nullptr && on != nullptr && strcmp(on, "yes") == 0) {
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nHOV_FLEET_SITUATIONS=yes takes no situations without "
                 "HOV_FLEET.");
    }
    return true;
  }
  Nats_Url parsed;
  if (!ParseNatsUrl(url, &parsed, err)) {
    *err = "HOV_FLEET: " + *err;
    return false;
  }
  auto st = std::make_unique<State>();
  st->limits = limits;
  char system[256];
  DetermineLocalHost(system, sizeof system);
  st->host = system;
  st->key = NatsHostToken(st->host);
  st->version = version != nullptr ? version : "";
  st->started = UtcNow();
  st->prefix = parsed.name;
  Fleet_Situations_Settings settings;
  if (!ReadFleetSituationsSettings(&settings, err)) {
    return false;
  }
  if (settings.enabled) {
    State* raw = st.get();
    st->situations = std::make_unique<Fleet_Situations>(
        settings, st->prefix, st->key, [raw] {
          Posix_Mutex::Hold g(&raw->mu);
          raw->roster_due = true;
          raw->cv.Broadcast();
        });
  }
  if (!st->conn.Open(parsed, "qoragent " + st->host, err)) {
    *err = "HOV_FLEET: " + *err;
    return false;
  }
  const std::string subjects[2] = {st->prefix + ".query.all",
                                   st->prefix + ".query." + st->key};
  for (int i = 0; i < 2; ++i) {
    const natsStatus s = natsConnection_Subscribe(&st->subs[i], st->conn.Get(),
                                                  subjects[i].c_str(),
                                                  State::OnRequest, st.get());
    // Requests the library holds for this agent: a flood is bounded (and
    // what passes the queue is answered busy).
    if (s == NATS_OK) {
      natsSubscription_SetPendingLimits(st->subs[i], kPendingRequests,
                                        kPendingBytes);
    }
    if (s != NATS_OK) {
      *err = "HOV_FLEET: cannot subscribe to " + subjects[i] + ": " +
             NatsStatusText(s);
      state_ = std::move(st);
      Stop();
      return false;
    }
  }
  State* raw = st.get();
  for (int i = 0; i < limits.workers; ++i) {
    st->threads.emplace_back([raw] { raw->Work(); });
  }
  st->threads.emplace_back([raw] { raw->Keep(); });
  st->threads.emplace_back([raw] { raw->Roster(); });
  WEX1_TRACE(wex1, WEX1_FLOW,
             "\nFleet requests taken on %s.query.all and %s.query.%s.",
             st->prefix.c_str(), st->prefix.c_str(), st->key.c_str());
  state_ = std::move(st);
  return true;
}

void Fleet_Server::WatchSituations() {
  if (state_ != nullptr && state_->situations != nullptr) {
    state_->situations->Start(state_->conn.Get());
  }
}

void Fleet_Server::Stop() {
  if (state_ == nullptr) {
    return;
  }
  State& st = *state_;
  if (st.situations != nullptr) {
    st.situations->Stop();
  }
  // No request is queued once the subscriptions are drained.
  const bool connected =
      natsConnection_Status(st.conn.Get()) == NATS_CONN_STATUS_CONNECTED;
  for (natsSubscription*& sub : st.subs) {
    if (sub == nullptr) {
      continue;
    }
    // Without a server, nothing more comes and nothing is waited for.
    if (!connected || natsSubscription_Drain(sub) != NATS_OK ||
        natsSubscription_WaitForDrainCompletion(sub, kDrainWaitMs) != NATS_OK) {
      natsSubscription_Unsubscribe(sub);
    }
  }
  {
    Posix_Mutex::Hold g(&st.mu);
    st.stopping = true;
    st.cv.Broadcast();
  }
  for (std::thread& t : st.threads) {
    t.join();
  }
  std::deque<Waiting> left;
  {
    Posix_Mutex::Hold g(&st.mu);
    left.swap(st.waiting);
  }
  for (const Waiting& w : left) {
    const char* reply = natsMsg_GetReply(w.msg);
    if (reply != nullptr && *reply != '\0') {
      st.Final(reply, 0, false, "the agent is stopping");
    }
    natsMsg_Destroy(w.msg);
  }
  st.conn.Close();
  for (natsSubscription*& sub : st.subs) {
    natsSubscription_Destroy(sub);
    sub = nullptr;
  }
  state_.reset();
}
