// The fleet's situations: watches the bucket, chooses each name's line by
// scope, applies them through the registry, keeps the saved copy.
#include "framework/control/fleet_situations.h"

#include <nats/nats.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <thread>

#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"
#include "framework/situations/situation_registry.h"
#include "framework/tables/row_json.h"
#include "util/atomic_file.h"
#include "util/fleet_names.h"
#include "util/monotonic_ms.h"
#include "util/nats_status.h"
#include "util/nats_url.h"
#include "util/posix_mutex.h"
#include "util/repeat_limiter.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

constexpr int64_t kNextMs = 500;             // a watcher's wait, between checks
constexpr long long kBucketCheckMs = 15000;  // is the bucket still there
constexpr long kMissingWaitMs = 5000;  // between looks for a missing bucket
constexpr size_t kBurst = 1000;        // changes applied at once at most
constexpr size_t kSavedMost = 64u << 20;
constexpr int64_t kApiWaitMs = 1000;
const char kSavedHead[] = "qoragent fleet situations 1";

struct Bucket_Value {
  uint64_t revision = 0;
  std::string line;
};

}  // namespace

bool ReadFleetSituationsSettings(Fleet_Situations_Settings* s,
                                 std::string* err) {
  const auto env = [](const char* name) {
    const char* v = getenv(name);
    return std::string(v != nullptr ? v : "");
  };
  const std::string on = env("HOV_FLEET_SITUATIONS");
  if (on != "" && on != "yes" && on != "no") {
    *err = "HOV_FLEET_SITUATIONS: expected yes or no, found \"" + on + "\"";
    return false;
  }
  s->enabled = on == "yes";
  const std::string run = env("HOV_FLEET_RUN");
  if (run != "" && run != "allow" && run != "deny") {
    *err = "HOV_FLEET_RUN: expected allow or deny, found \"" + run + "\"";
    return false;
  }
  s->allow_run = run == "allow";
  const std::string groups = env("HOV_FLEET_GROUPS");
  s->groups.clear();
  size_t from = 0;
  while (!groups.empty() && from <= groups.size()) {
    const size_t comma = groups.find(',', from);
    const std::string g = groups.substr(
        from, comma == std::string::npos ? std::string::npos : comma - from);
    if (!ValidFleetGroup(g)) {
      *err =
          "HOV_FLEET_GROUPS: expected group names of 1 to 64 letters, "
          "digits, '_' or '-' separated by commas, found \"" +
          g + "\"";
      return false;
    }
    s->groups.push_back(g);
    if (comma == std::string::npos) {
      break;
    }
    from = comma + 1;
  }
  const std::string state = env("TVX_STATE_FILE");
  s->saved = state.empty() ? "" : state + FLEET_SITUATIONS_SAVED_SUFFIX;
  return true;
}

struct Fleet_Situations::State {
  // Constant after construction.
  Fleet_Situations_Settings settings;
  std::string token;  // the prefix as one token: every key starts TOKEN.
  std::string key;    // the host's token
  std::function<void()> changed;
  natsConnection* nc = nullptr;
  std::thread thread;

  Posix_Mutex mu;
  Posix_Cond cv;
  bool stopping GUARDED_BY(mu) = false;
  uint64_t revision GUARDED_BY(mu) = 0;  // the bucket's last seen
  bool watching GUARDED_BY(mu) = false;  // caught up with the bucket

  // The watcher's thread only.
  std::map<std::string, Bucket_Value> values;  // this host's keys
  std::map<std::string, Fleet_Outcome> traced;
  Repeat_Limiter unknown_keys, missing, failing, unsaved;
  bool from_bucket = false;      // the bucket's state was applied once
  uint64_t seen = 0;             // the last revision taken (see Publish)
  uint64_t outcome_changes = 0;  // the registry's FleetChanges reported
  uint64_t reconnects = 0;

  bool Stopping() {
    Posix_Mutex::Hold g(&mu);
    return stopping;
  }
  bool Wait(long ms) {
    Posix_Mutex::Hold g(&mu);
    if (!stopping) {
      cv.WaitFor(&mu, ms);
    }
    return !stopping;
  }
  // The revision taken is the one the roster tells, once applied.
  void Publish() {
    Posix_Mutex::Hold g(&mu);
    revision = seen;
  }
  void SetWatching(bool on) {
    Posix_Mutex::Hold g(&mu);
    watching = on;
  }
  // The rank of a key without the prefix, higher wins: -1 a key of another
  // host or group, -2 a key of no known scope.
  int Rank(const std::string& rel, std::string* name) const;
  bool Take(kvEntry* e);
  void Apply();
  void TraceOutcomes();
  void Save();
  void LoadSaved();
  void Run();
  uint64_t Reconnects() const;
};

int Fleet_Situations::State::Rank(const std::string& rel,
                                  std::string* name) const {
  const auto rest = [&rel](size_t from) { return rel.substr(from); };
  if (rel.compare(0, 4, "all.") == 0) {
    *name = rest(4);
    return ValidSituationName(*name) ? 0 : -2;
  }
  const bool host = rel.compare(0, 5, "host.") == 0;
  const bool group = rel.compare(0, 6, "group.") == 0;
  if (!host && !group) {
    return -2;
  }
  const size_t from = host ? 5 : 6;
  const size_t dot = rel.find('.', from);
  if (dot == std::string::npos) {
    return -2;
  }
  const std::string who = rel.substr(from, dot - from);
  *name = rest(dot + 1);
  if (!ValidSituationName(*name)) {
    return -2;
  }
  if (host) {
    return who == key ? 2000 : -1;
  }
  for (size_t i = 0; i < settings.groups.size(); ++i) {
    if (settings.groups[i] == who) {
      return 1000 - static_cast<int>(i);
    }
  }
  return -1;
}

bool Fleet_Situations::State::Take(kvEntry* e) {
  const std::string full = kvEntry_Key(e);
  const uint64_t rev = kvEntry_Revision(e);
  seen = rev > seen ? rev : seen;
  const std::string head = token + ".";
  if (full.compare(0, head.size(), head) != 0) {
    return false;
  }
  const std::string rel = full.substr(head.size());
  std::string name;
  const int rank = Rank(rel, &name);
  if (rank == -2) {
    uint64_t held = 0;
    if (unknown_keys.Due(&held)) {
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nFleet situations key %s (revision %llu) names no known "
                 "scope (all.NAME, group.GROUP.NAME, host.KEY.NAME); ignored "
                 "(%llu more held back).",
                 full.c_str(), static_cast<unsigned long long>(rev),
                 static_cast<unsigned long long>(held));
    }
    return false;
  }
  if (rank < 0) {
    return false;
  }
  const kvOperation op = kvEntry_Operation(e);
  if (op == kvOp_Put) {
    const int length = kvEntry_ValueLen(e);
    Bucket_Value& v = values[rel];
    v.revision = rev;
    v.line.assign(static_cast<const char*>(kvEntry_Value(e)),
                  static_cast<size_t>(length > 0 ? length : 0));
  } else {
    if (values.erase(rel) != 0) {
      WEX1_TRACE(wex1, WEX1_FLOW,
                 "\nFleet situation %s deleted at revision %llu.", rel.c_str(),
                 static_cast<unsigned long long>(rev));
    }
  }
  return true;
}

void Fleet_Situations::State::Apply() {
  std::map<std::string, std::pair<int, std::string>> best;  // name -> key
  for (const auto& [rel, v] : values) {
    std::string name;
    const int rank = Rank(rel, &name);
    const auto it = best.find(name);
    if (rank >= 0 && (it == best.end() || rank > it->second.first)) {
      best[name] = {rank, rel};
    }
  }
  std::map<std::string, Fleet_Outcome> decided;
  std::vector<Fleet_Line> lines;
  for (const auto& [rel, v] : values) {
    std::string name;
    if (Rank(rel, &name) < 0) {
      continue;
    }
    const std::string& winner = best[name].second;
    if (winner != rel) {
      decided[rel] = {v.revision, Fleet_State::kOverridden,
                      winner + " takes precedence"};
      continue;
    }
    lines.push_back({rel, name, v.revision, v.line});
  }
  Situation_Registry::Instance().InstallFleet(lines, settings.allow_run,
                                              decided);
  TraceOutcomes();
  Save();
  Publish();
  if (changed) {
    changed();
  }
}

void Fleet_Situations::State::TraceOutcomes() {
  Situation_Registry& registry = Situation_Registry::Instance();
  outcome_changes = registry.FleetChanges();
  const std::map<std::string, Fleet_Outcome> now = registry.FleetOutcomes();
  for (const auto& [k, o] : now) {
    const auto it = traced.find(k);
    if (it != traced.end() && it->second.revision == o.revision &&
        it->second.state == o.state) {
      continue;
    }
    WEX1_TRACE(wex1, o.state == Fleet_State::kRefused ? WEX1_ERROR : WEX1_FLOW,
               "\nFleet situation %s revision %llu %s%s%s", k.c_str(),
               static_cast<unsigned long long>(o.revision),
               FleetStateName(o.state), o.reason.empty() ? "" : ": ",
               o.reason.c_str());
  }
  traced = now;
}

void Fleet_Situations::State::Save() {
  if (settings.saved.empty()) {
    return;
  }
  std::string text = std::string(kSavedHead) + "\n";
  size_t count = 0;
  for (const Fleet_Line& l : Situation_Registry::Instance().FleetLines()) {
    text += l.key + "\t" + std::to_string(l.revision) + "\t" + l.line + "\n";
    ++count;
  }
  text += "end " + std::to_string(count) + "\n";
  std::string err;
  uint64_t held = 0;
  if (!WriteFileAtomically(settings.saved, text, &err) && unsaved.Due(&held)) {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nThe fleet's situations are not saved: %s (%llu more held "
               "back).",
               err.c_str(), static_cast<unsigned long long>(held));
  }
}

void Fleet_Situations::State::LoadSaved() {
  const std::string& path = settings.saved;
  if (path.empty() ||
      !HOV_TrustedFile("fleet situations file", path.c_str(), false)) {
    return;
  }
  std::string text, err;
  bool none = false;
  if (!ReadSmallFile(path, kSavedMost, &text, &err, &none)) {
    if (!none) {
      WEX1_TRACE(wex1, WEX1_ERROR, "\nSaved fleet situations not read: %s",
                 err.c_str());
    }
    return;
  }
  std::vector<Fleet_Line> lines;
  size_t from = 0;
  bool head = true, ended = false;
  while (from < text.size() && !ended) {
    size_t nl = text.find('\n', from);
    if (nl == std::string::npos) {
      break;  // a last line cut short: the file is not whole
    }
    const std::string line = text.substr(from, nl - from);
    from = nl + 1;
    if (head) {
      if (line != kSavedHead) {
        break;
      }
      head = false;
      continue;
    }
    if (line.compare(0, 4, "end ") == 0) {
      ended =
          line.substr(4) == std::to_string(lines.size()) && from == text.size();
      break;
    }
    const size_t t1 = line.find('\t');
    const size_t t2 =
        t1 == std::string::npos ? std::string::npos : line.find('\t', t1 + 1);
    if (t2 == std::string::npos) {
      break;
    }
    Fleet_Line l;
    l.key = line.substr(0, t1);
    l.revision = strtoull(line.c_str() + t1 + 1, nullptr, 10);
    l.line = line.substr(t2 + 1);
    if (Rank(l.key, &l.name) >= 0) {  // a group left meanwhile: not this host's
      values[l.key] = {l.revision, l.line};
    }
    lines.push_back(std::move(l));
  }
  if (!ended) {
    values.clear();
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nSaved fleet situations %s are malformed or incomplete; not "
               "used.",
               path.c_str());
    return;
  }
  Apply();
  values.clear();  // the bucket's state replaces them whole
  WEX1_TRACE(wex1, WEX1_FLOW,
             "\nFleet situations started from the saved copy %s: %zu lines.",
             path.c_str(), lines.size());
}

uint64_t Fleet_Situations::State::Reconnects() const {
  natsStatistics* stats = nullptr;
  uint64_t in_msgs = 0, in_bytes = 0, out_msgs = 0, out_bytes = 0, n = 0;
  if (natsStatistics_Create(&stats) == NATS_OK &&
      natsConnection_GetStats(nc, stats) == NATS_OK) {
    natsStatistics_GetCounts(stats, &in_msgs, &in_bytes, &out_msgs, &out_bytes,
                             &n);
  }
  natsStatistics_Destroy(stats);
  return n;
}

void Fleet_Situations::State::Run() {
  jsCtx* js = nullptr;
  kvStore* kv = nullptr;
  kvWatcher* w = nullptr;
  long long next_check = 0;
  const auto lost = [&] {
    kvWatcher_Destroy(w);
    w = nullptr;
    kvStore_Destroy(kv);
    kv = nullptr;
    SetWatching(false);
  };
  const std::string filter = token + ".>";
  while (!Stopping()) {
    natsStatus s = NATS_OK;
    if (kv == nullptr) {
      if (js == nullptr) {
        // Short API waits: a stop without the server is not held up.
        jsOptions jo;
        jsOptions_Init(&jo);
        jo.Wait = kApiWaitMs;
        s = natsConnection_JetStream(&js, nc, &jo);
      }
      if (s == NATS_OK) {
        s = js_KeyValue(&kv, js, FLEET_SITUATIONS_BUCKET);
      }
      if (s == NATS_NOT_FOUND) {
        const size_t kept = Situation_Registry::Instance().FleetLines().size();
        if (!from_bucket && kept == 0) {
          // Nothing applied that an empty bucket would take away.
          kvConfig cfg;
          kvConfig_Init(&cfg);
          cfg.Bucket = FLEET_SITUATIONS_BUCKET;
          cfg.History = FLEET_SITUATIONS_HISTORY;
          s = js_CreateKeyValue(&kv, js, &cfg);
          if (s != NATS_OK) {
            // Not allowed, perhaps: qorctl creates it with the first add.
            uint64_t held = 0;
            if (missing.Due(&held)) {
              WEX1_TRACE(wex1, WEX1_FLOW,
                         "\nThe fleet's situations bucket %s is missing and "
                         "cannot be created: %s; looked for every %ld s.",
                         FLEET_SITUATIONS_BUCKET, NatsStatusText(s).c_str(),
                         kMissingWaitMs / 1000);
            }
            kv = nullptr;
            Wait(kMissingWaitMs);
            continue;
          }
        } else {
          uint64_t held = 0;
          if (missing.Due(&held)) {
            WEX1_TRACE(wex1, WEX1_ERROR,
                       "\nThe fleet's situations bucket %s is missing; the "
                       "%zu situations applied from it are kept.",
                       FLEET_SITUATIONS_BUCKET, kept);
          }
          Wait(kMissingWaitMs);
          continue;
        }
      }
      if (s != NATS_OK) {
        uint64_t held = 0;
        if (failing.Due(&held)) {
          WEX1_TRACE(wex1, WEX1_FLOW,
                     "\nThe fleet's situations bucket %s cannot be opened: "
                     "%s; tried again every second.",
                     FLEET_SITUATIONS_BUCKET, NatsStatusText(s).c_str());
        }
        kv = nullptr;
        Wait(1000);
        continue;
      }
    }
    if (w == nullptr) {
      reconnects = Reconnects();
      s = kvStore_Watch(&w, kv, filter.c_str(), nullptr);
      // The bucket's current state, up to the mark that ends it, replaces
      // whatever was applied before.
      std::map<std::string, Bucket_Value> before;
      before.swap(values);
      bool whole = false;
      while (s == NATS_OK && !Stopping()) {
        kvEntry* e = nullptr;
        s = kvWatcher_Next(&e, w, 5000);
        if (s == NATS_OK && e == nullptr) {
          whole = true;
          break;
        }
        if (s == NATS_OK) {
          Take(e);
          kvEntry_Destroy(e);
        }
      }
      if (!whole) {
        values.swap(before);
        uint64_t held = 0;
        if (!Stopping() && failing.Due(&held)) {
          WEX1_TRACE(wex1, WEX1_FLOW,
                     "\nThe fleet's situations cannot be watched: %s; tried "
                     "again every second.",
                     NatsStatusText(s).c_str());
        }
        lost();
        Wait(1000);
        continue;
      }
      from_bucket = true;
      SetWatching(true);
      Apply();
      WEX1_TRACE(wex1, WEX1_FLOW,
                 "\nFleet situations caught up with %s: %zu keys for this "
                 "host.",
                 FLEET_SITUATIONS_BUCKET, values.size());
      next_check = MonotonicMs() + kBucketCheckMs;
      continue;
    }
    kvEntry* e = nullptr;
    s = kvWatcher_Next(&e, w, kNextMs);
    if (s == NATS_OK && e != nullptr) {
      bool mine = Take(e);
      kvEntry_Destroy(e);
      // A burst is applied at once.
      for (size_t i = 0; i < kBurst; ++i) {
        e = nullptr;
        if (kvWatcher_Next(&e, w, 1) != NATS_OK || e == nullptr) {
          break;
        }
        mine = Take(e) || mine;
        kvEntry_Destroy(e);
      }
      if (mine) {
        Apply();
      } else {
        Publish();
      }
      continue;
    }
    if (s == NATS_TIMEOUT || (s == NATS_OK && e == nullptr)) {
      if (Situation_Registry::Instance().FleetChanges() != outcome_changes) {
        // The host's own situations changed what the fleet's became.
        TraceOutcomes();
        if (changed) {
          changed();
        }
      }
      if (Reconnects() != reconnects) {
        lost();  // the server came back: catch up with its state
        continue;
      }
      if (MonotonicMs() >= next_check) {
        next_check = MonotonicMs() + kBucketCheckMs;
        kvStatus* st = nullptr;
        s = kvStore_Status(&st, kv);
        kvStatus_Destroy(st);
        if (s == NATS_NOT_FOUND) {
          lost();
          if (changed) {
            changed();
          }
        }
      }
      continue;
    }
    lost();
    Wait(1000);
  }
  kvWatcher_Destroy(w);
  kvStore_Destroy(kv);
  jsCtx_Destroy(js);
}

Fleet_Situations::Fleet_Situations(const Fleet_Situations_Settings& settings,
                                   const std::string& prefix,
                                   const std::string& key,
                                   std::function<void()> changed)
    : state_(std::make_unique<State>()) {
  state_->settings = settings;
  state_->token = NatsHostToken(prefix);
  state_->key = key;
  state_->changed = std::move(changed);
}

Fleet_Situations::~Fleet_Situations() {
  Stop();
}

void Fleet_Situations::Start(natsConnection* nc) {
  State* st = state_.get();
  if (st->thread.joinable()) {
    return;
  }
  st->nc = nc;
  st->LoadSaved();
  st->thread = std::thread([st] { st->Run(); });
}

void Fleet_Situations::Stop() {
  {
    Posix_Mutex::Hold g(&state_->mu);
    state_->stopping = true;
    state_->cv.Broadcast();
  }
  if (state_->thread.joinable()) {
    state_->thread.join();
  }
}

std::string Fleet_Situations::RosterFields() {
  uint64_t revision = 0;
  bool watching = false;
  {
    Posix_Mutex::Hold g(&state_->mu);
    revision = state_->revision;
    watching = state_->watching;
  }
  std::string out = ",\"groups\":[";
  for (size_t i = 0; i < state_->settings.groups.size(); ++i) {
    out += i == 0 ? "" : ",";
    JsonAppendString(&out, state_->settings.groups[i]);
  }
  out += "],\"fleet_situations\":{\"revision\":" + std::to_string(revision) +
         ",\"watching\":" + (watching ? "true" : "false") + ",\"keys\":{";
  bool first = true;
  for (const auto& [k, o] : Situation_Registry::Instance().FleetOutcomes()) {
    out += first ? "" : ",";
    first = false;
    JsonAppendString(&out, k);
    out += ":{\"revision\":" + std::to_string(o.revision) + ",\"state\":\"" +
           FleetStateName(o.state) + "\"";
    if (!o.reason.empty()) {
      out += ",\"reason\":";
      JsonAppendString(&out, o.reason);
    }
    out += "}";
  }
  return out + "}}";
}
