// qorctl --fleet situation ...: puts, deletes and rolls back the fleet's
// situations and reads what each host made of them.
#include "tools/fleet_situations.h"

#include <ctype.h>
#include <nats/nats.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <map>
#include <set>

#include "tools/fleet_client.h"
#include "tools/json_line.h"
#include "tools/qorctl_command.h"
#include "util/fleet_names.h"
#include "util/monotonic_ms.h"
#include "util/nats_status.h"
#include "util/nats_url.h"

#include <nlohmann/json.hpp>

namespace {

std::string Join(const std::vector<std::string>& w, size_t from) {
  std::string out;
  for (size_t i = from; i < w.size(); ++i) {
    out += (out.empty() ? "" : " ") + w[i];
  }
  return out;
}

std::string Utc(int64_t ns) {
  const time_t t = static_cast<time_t>(ns / 1000000000LL);
  struct tm tm;
  gmtime_r(&t, &tm);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

const nlohmann::json& Null() {
  static const nlohmann::json kNull;
  return kNull;
}

// What one host tells of the fleet's situations (its roster entry).
struct Host_View {
  std::string host;
  bool takes = false;  // it watches the fleet's situations
  bool watching = false;
  uint64_t revision = 0;
  std::vector<std::string> groups;
  nlohmann::json keys;  // key -> {"revision","state","reason"}
};

Host_View ViewOf(const Roster_Entry& r) {
  Host_View v;
  v.host = r.host;
  const nlohmann::json j = nlohmann::json::parse(r.value, nullptr, false);
  if (!j.is_object() || !j.contains("fleet_situations") ||
      !j["fleet_situations"].is_object()) {
    return v;
  }
  const nlohmann::json& f = j["fleet_situations"];
  v.takes = true;
  v.watching = f.value("watching", false);
  v.revision = f.value("revision", static_cast<uint64_t>(0));
  v.keys = f.contains("keys") && f["keys"].is_object()
               ? f["keys"]
               : nlohmann::json::object();
  if (j.contains("groups") && j["groups"].is_array()) {
    for (const nlohmann::json& g : j["groups"]) {
      if (g.is_string()) {
        v.groups.push_back(g.get<std::string>());
      }
    }
  }
  return v;
}

// Whether the key (without the prefix) addresses the host, and the host key
// of a host scope.
bool Addresses(const std::string& rel, const std::string& host_key,
               const Host_View& v) {
  if (rel.compare(0, 4, "all.") == 0) {
    return v.takes;
  }
  const auto second = [&rel](size_t from) {
    const size_t dot = rel.find('.', from);
    return dot == std::string::npos ? std::string()
                                    : rel.substr(from, dot - from);
  };
  if (rel.compare(0, 5, "host.") == 0) {
    return second(5) == host_key;
  }
  if (rel.compare(0, 6, "group.") == 0) {
    const std::string g = second(6);
    for (const std::string& mine : v.groups) {
      if (mine == g) {
        return v.takes;
      }
    }
  }
  return false;
}

// One host's state of a key at `revision` (deleted: the key's delete):
// "applied", "refused", "overridden" or "pending", and the reason.
std::string StateOf(const Host_View& v, const std::string& rel,
                    uint64_t revision, bool deleted, std::string* reason) {
  reason->clear();
  if (!v.takes) {
    *reason = "it does not take the fleet's situations";
    return "pending";
  }
  const nlohmann::json& k = v.keys.contains(rel) ? v.keys[rel] : Null();
  if (deleted) {
    if (v.revision >= revision &&
        (!k.is_object() || k.value("revision", uint64_t{0}) > revision)) {
      return "applied";
    }
    return "pending";
  }
  if (k.is_object() && k.value("revision", uint64_t{0}) == revision) {
    *reason = k.value("reason", std::string());
    return k.value("state", std::string("applied"));
  }
  if (k.is_object() && k.value("revision", uint64_t{0}) > revision) {
    *reason = "a later revision is in place";
    return "applied";
  }
  if (!v.watching) {
    *reason = "not connected to the bucket";
  }
  return "pending";
}

struct Bucket {
  jsCtx* js = nullptr;
  kvStore* kv = nullptr;
  ~Bucket() {
    kvStore_Destroy(kv);
    jsCtx_Destroy(js);
  }
};

// Opens the bucket (created when missing and `create`); a status.
natsStatus OpenBucket(natsConnection* nc, bool create, Bucket* b) {
  natsStatus s = natsConnection_JetStream(&b->js, nc, nullptr);
  if (s == NATS_OK) {
    s = js_KeyValue(&b->kv, b->js, FLEET_SITUATIONS_BUCKET);
  }
  if (s == NATS_NOT_FOUND && create) {
    kvConfig cfg;
    kvConfig_Init(&cfg);
    cfg.Bucket = FLEET_SITUATIONS_BUCKET;
    cfg.History = FLEET_SITUATIONS_HISTORY;
    s = js_CreateKeyValue(&b->kv, b->js, &cfg);
  }
  return s;
}

// The hosts a change addresses and their states, read from the roster as it
// changes until each has settled or `deadline`.
struct Wait_Result {
  std::map<std::string, std::string> state;   // host -> state
  std::map<std::string, std::string> reason;  // host -> reason
};

// Whom the key addresses among `roster`: by host name.
std::map<std::string, Host_View> Addressed(
    const std::map<std::string, Roster_Entry>& roster, const std::string& rel,
    const std::string& host_key) {
  std::map<std::string, Host_View> out;
  for (const auto& [key, r] : roster) {
    const Host_View v = ViewOf(r);
    if (Addresses(rel, key, v)) {
      out[key] = v;
    }
  }
  if (!host_key.empty() && out.empty()) {
    Host_View v;
    v.host = host_key;
    out[host_key] = v;  // not in the roster: it cannot have applied it
  }
  return out;
}

bool WaitApplied(natsConnection* nc, const std::string& prefix,
                 const std::string& rel, const std::string& host_key,
                 uint64_t revision, bool deleted, long long deadline,
                 const std::map<std::string, Roster_Entry>& before,
                 Wait_Result* result) {
  std::map<std::string, Host_View> hosts =
      Addressed(before, rel, host_key);  // key -> view
  const auto settle = [&] {
    bool all = true;
    for (const auto& [key, v] : hosts) {
      std::string why;
      const std::string st = StateOf(v, rel, revision, deleted, &why);
      result->state[v.host] = st;
      result->reason[v.host] = why;
      all = all && st != "pending";
    }
    return all;
  };
  if (settle() || hosts.empty()) {
    return true;
  }
  bool done = false;
  WatchRoster(nc, prefix, NatsHostToken(prefix) + ".>", deadline, false,
              [&](const Roster_Entry& r) {
                const auto it = hosts.find(r.key);
                if (it != hosts.end()) {
                  it->second = ViewOf(r);
                  done = settle();
                }
                return !done;
              });
  return done;
}

// Prints what the hosts made of a change; the exit status.
int Report(const std::string& what, const Wait_Result& r, const char* took,
           double timeout_s, FILE* out, FILE* err) {
  size_t ok = 0, bad = 0;
  for (const auto& [host, st] : r.state) {
    const std::string& why = r.reason.at(host);
    if (st == "applied" || st == "overridden") {
      ++ok;
      if (st == "overridden") {
        fprintf(err, "qorctl: %s: overridden: %s\n", host.c_str(), why.c_str());
      }
    } else if (st == "refused") {
      ++bad;
      fprintf(err, "qorctl: %s refused it: %s\n", host.c_str(), why.c_str());
    } else {
      ++bad;
      fprintf(err, "qorctl: %s did not apply it within %g s%s%s\n",
              host.c_str(), timeout_s, why.empty() ? "" : ": ", why.c_str());
    }
  }
  fprintf(out, "%s: applied by %zu of %zu hosts%s\n", what.c_str(), ok,
          r.state.size(), bad == 0 ? took : "");
  fflush(out);
  return bad > 0 ? QORCTL_SOME_HOSTS : QORCTL_OK;
}

// The key (without the prefix) of NAME at the scope of the arguments;
// *host_key the host's token for a host scope.
std::string ScopeKey(const Fleet_Situation_Args& a, const std::string& name,
                     const std::map<std::string, Roster_Entry>& roster,
                     std::string* host_key, FILE* err) {
  if (!a.group.empty()) {
    return "group." + a.group + "." + name;
  }
  if (a.hosts.empty()) {
    return "all." + name;
  }
  const std::vector<const Roster_Entry*> named = Named(roster, a.hosts[0]);
  if (named.size() > 1) {
    std::string names;
    for (const Roster_Entry* r : named) {
      names += (names.empty() ? "" : ", ") + r->host;
    }
    fprintf(err, "qorctl: %s names %zu agents in the roster of %s: %s\n",
            a.hosts[0].c_str(), named.size(), a.prefix.c_str(), names.c_str());
    return "";
  }
  if (named.size() == 1) {
    *host_key = named[0]->key;
  } else {
    // A host not running now takes its key when it comes.
    *host_key = NatsHostToken(a.hosts[0]);
    fprintf(err,
            "qorctl: no agent in the roster is named %s; the key names %s\n",
            a.hosts[0].c_str(), host_key->c_str());
  }
  return "host." + *host_key + "." + name;
}

// The last revision of `key` (a put or a delete), 0 when it has none.
uint64_t LastRevision(kvStore* kv, const std::string& key) {
  kvEntryList list;
  memset(&list, 0, sizeof list);
  uint64_t rev = 0;
  if (kvStore_History(&list, kv, key.c_str(), nullptr) == NATS_OK &&
      list.Count > 0) {
    rev = kvEntry_Revision(list.Entries[list.Count - 1]);
  }
  kvEntryList_Destroy(&list);
  return rev;
}

int Fail(FILE* err, const std::string& text, int status) {
  fprintf(err, "qorctl: %s\n", text.c_str());
  return status;
}

int ListSituations(const Fleet_Situation_Args& a,
                   const std::map<std::string, Roster_Entry>& roster, Bucket* b,
                   FILE* out, FILE* err) {
  const std::string head = NatsHostToken(a.prefix) + ".";
  kvWatcher* w = nullptr;
  kvWatchOptions wo;
  kvWatchOptions_Init(&wo);
  wo.IgnoreDeletes = true;
  const std::string filter = head + ">";
  natsStatus s = kvStore_Watch(&w, b->kv, filter.c_str(), &wo);
  std::vector<std::pair<std::string, std::pair<uint64_t, std::string>>> keys;
  const long long deadline =
      MonotonicMs() + static_cast<long long>(a.timeout_s * 1000);
  while (s == NATS_OK) {
    kvEntry* e = nullptr;
    const long long left = deadline - MonotonicMs();
    s = kvWatcher_Next(&e, w, left > 0 ? left : 1);
    if (s != NATS_OK || e == nullptr) {
      break;
    }
    keys.push_back({std::string(kvEntry_Key(e)).substr(head.size()),
                    {kvEntry_Revision(e),
                     std::string(static_cast<const char*>(kvEntry_Value(e)),
                                 static_cast<size_t>(kvEntry_ValueLen(e)))}});
    kvEntry_Destroy(e);
  }
  kvWatcher_Destroy(w);
  if (s != NATS_OK) {
    return Fail(err,
                std::string("the bucket ") + FLEET_SITUATIONS_BUCKET +
                    " cannot be read: " + NatsStatusText(s),
                QORCTL_UNREACHABLE);
  }
  std::vector<std::vector<Json_Field>> rows;
  size_t pending = 0;
  // --host: that host's rows only; --group: that group's keys only.
  std::string only_host;
  if (!a.hosts.empty()) {
    const std::vector<const Roster_Entry*> named = Named(roster, a.hosts[0]);
    only_host = named.size() == 1 ? named[0]->key : NatsHostToken(a.hosts[0]);
  }
  const std::string only_keys = a.group.empty() ? "" : "group." + a.group + ".";
  for (const auto& [rel, value] : keys) {
    if (rel.compare(0, only_keys.size(), only_keys) != 0) {
      continue;
    }
    std::string host_key;
    if (rel.compare(0, 5, "host.") == 0) {
      const size_t dot = rel.find('.', 5);
      host_key = dot == std::string::npos ? "" : rel.substr(5, dot - 5);
    }
    std::map<std::string, Host_View> hosts = Addressed(roster, rel, host_key);
    if (!only_host.empty()) {
      if (hosts.count(only_host) == 0) {
        continue;
      }
      const Host_View v = hosts[only_host];
      hosts = {{only_host, v}};
    }
    if (hosts.empty()) {
      rows.push_back({{"key", rel, true},
                      {"revision", std::to_string(value.first), false},
                      {"host", "", true},
                      {"state", "", true},
                      {"reason", "no host in the roster takes it", true},
                      {"line", value.second, true}});
    }
    for (const auto& [key, v] : hosts) {
      std::string why;
      const std::string st = StateOf(v, rel, value.first, false, &why);
      pending += st == "pending" ? 1 : 0;
      rows.push_back({{"key", rel, true},
                      {"revision", std::to_string(value.first), false},
                      {"host", v.host, true},
                      {"state", st, true},
                      {"reason", why, true},
                      {"line", value.second, true}});
    }
  }
  if (a.json) {
    for (const auto& row : rows) {
      nlohmann::json j = nlohmann::json::object();
      for (const Json_Field& f : row) {
        j[f.key] = f.is_string ? nlohmann::json(f.text)
                               : nlohmann::json(std::stoull(f.text));
      }
      fprintf(out, "%s\n",
              j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                  .c_str());
    }
  } else {
    fputs(QorctlRowsTable("situations", rows, false).c_str(), out);
  }
  fflush(out);
  fprintf(err, "qorctl: %zu fleet situations in %s, %zu host states pending\n",
          keys.size(), a.prefix.c_str(), pending);
  return QORCTL_OK;
}

int History(const Fleet_Situation_Args& a, kvStore* kv, const std::string& key,
            FILE* out, FILE* err) {
  kvEntryList list;
  memset(&list, 0, sizeof list);
  const natsStatus s = kvStore_History(&list, kv, key.c_str(), nullptr);
  if (s == NATS_NOT_FOUND) {
    return Fail(err, "no fleet situation has the key " + key, QORCTL_USAGE);
  }
  if (s != NATS_OK) {
    return Fail(err, "the history cannot be read: " + NatsStatusText(s),
                QORCTL_UNREACHABLE);
  }
  std::vector<std::vector<Json_Field>> rows;
  for (int i = 0; i < list.Count; ++i) {
    kvEntry* e = list.Entries[i];
    const bool put = kvEntry_Operation(e) == kvOp_Put;
    rows.push_back(
        {{"revision", std::to_string(kvEntry_Revision(e)), false},
         {"time", Utc(kvEntry_Created(e)), true},
         {"operation", put ? "put" : "delete", true},
         {"line",
          put ? std::string(static_cast<const char*>(kvEntry_Value(e)),
                            static_cast<size_t>(kvEntry_ValueLen(e)))
              : "",
          true}});
  }
  kvEntryList_Destroy(&list);
  if (a.json) {
    for (const auto& row : rows) {
      fprintf(
          out,
          "{\"revision\":%s,\"time\":\"%s\",\"operation\":\"%s\","
          "\"line\":%s}\n",
          row[0].text.c_str(), row[1].text.c_str(), row[2].text.c_str(),
          nlohmann::json(row[3].text)
              .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
              .c_str());
    }
  } else {
    fputs(QorctlRowsTable("history", rows, false).c_str(), out);
  }
  fflush(out);
  return QORCTL_OK;
}

}  // namespace

bool IsFleetSituationCommand(const std::vector<std::string>& words) {
  return !words.empty() &&
         (words[0] == "situation" || words[0] == "situations");
}

bool CheckFleetSituationArgs(const Fleet_Situation_Args& a, std::string* err) {
  const std::vector<std::string>& w = a.words;
  if (a.hosts.size() > 1) {
    *err =
        "a fleet situation's scope is one --host, one --group or every "
        "host";
    return false;
  }
  if (!a.hosts.empty() && !a.group.empty()) {
    *err = "--host and --group exclude each other";
    return false;
  }
  if (!a.group.empty() && !ValidFleetGroup(a.group)) {
    *err = "--group: expected 1 to 64 letters, digits, '_' or '-', found \"" +
           a.group + "\"";
    return false;
  }
  if (w[0] == "situations") {
    if (w.size() != 1) {
      *err = "usage: qorctl --fleet URL situations";
      return false;
    }
    return true;
  }
  const std::string sub = w.size() > 1 ? w[1] : "";
  const bool add = sub == "add";
  if (!(add && w.size() >= 4) && !(sub == "del" && w.size() == 3) &&
      !(sub == "history" && w.size() == 3) &&
      !(sub == "rollback" && (w.size() == 3 || w.size() == 4))) {
    *err =
        "usage: qorctl --fleet URL [--host H|--group G] situation add NAME "
        "TABLE CONDITION... | situation del NAME | situation history NAME | "
        "situation rollback NAME [REVISION]";
    return false;
  }
  if (!ValidSituationName(w[2])) {
    *err =
        "expected a situation name of 1 to 31 letters, digits, '_', '-' "
        "or '.', found \"" +
        w[2] + "\"";
    return false;
  }
  if (sub == "rollback" && w.size() == 4 &&
      w[3].find_first_not_of("0123456789") != std::string::npos) {
    *err = "rollback: expected a revision number, found \"" + w[3] + "\"";
    return false;
  }
  if (add) {
    const std::string line = Join(w, 2);
    if (line.size() > SITUATION_LINE_MAX) {
      *err = "the situation's line is " + std::to_string(line.size()) +
             " bytes; at most " + std::to_string(SITUATION_LINE_MAX) +
             " are taken";
      return false;
    }
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      *err = "arguments must not contain line breaks";
      return false;
    }
  }
  return true;
}

int QorctlFleetSituations(natsConnection* nc, const Fleet_Situation_Args& a,
                          FILE* out, FILE* err) {
  const std::vector<std::string>& w = a.words;
  std::map<std::string, Roster_Entry> roster;
  std::string why;
  if (!ReadRoster(nc, a.prefix, &roster, &why)) {
    return Fail(err, why, QORCTL_UNREACHABLE);
  }
  const std::string sub = w[0] == "situations" ? "" : w[1];
  Bucket b;
  const natsStatus opened = OpenBucket(nc, sub == "add", &b);
  if (opened == NATS_NOT_FOUND) {
    if (sub.empty()) {
      fprintf(err, "qorctl: no fleet situations: the bucket %s is missing\n",
              FLEET_SITUATIONS_BUCKET);
      return QORCTL_OK;
    }
    return Fail(
        err,
        std::string("the bucket ") + FLEET_SITUATIONS_BUCKET + " is missing",
        QORCTL_USAGE);
  }
  if (opened != NATS_OK) {
    return Fail(err,
                std::string("the bucket ") + FLEET_SITUATIONS_BUCKET +
                    " cannot be opened: " + NatsStatusText(opened),
                QORCTL_UNREACHABLE);
  }
  if (sub.empty()) {
    return ListSituations(a, roster, &b, out, err);
  }
  const long long deadline =
      MonotonicMs() + static_cast<long long>(a.timeout_s * 1000);
  std::string host_key;
  const std::string rel = ScopeKey(a, w[2], roster, &host_key, err);
  if (rel.empty()) {
    return QORCTL_USAGE;
  }
  const std::string key = NatsHostToken(a.prefix) + "." + rel;
  if (sub == "history") {
    return History(a, b.kv, key, out, err);
  }
  uint64_t revision = 0;
  natsStatus s = NATS_OK;
  bool deleted = false;
  std::string line;
  if (sub == "add") {
    line = Join(w, 2);
  } else if (sub == "rollback") {
    kvEntryList list;
    memset(&list, 0, sizeof list);
    s = kvStore_History(&list, b.kv, key.c_str(), nullptr);
    if (s == NATS_OK) {
      const uint64_t wanted =
          w.size() == 4 ? strtoull(w[3].c_str(), nullptr, 10) : 0;
      // Without a revision: the line put before the last change.
      for (int i = list.Count - (wanted == 0 ? 2 : 1); i >= 0; --i) {
        kvEntry* e = list.Entries[i];
        if (kvEntry_Operation(e) == kvOp_Put &&
            (wanted == 0 || kvEntry_Revision(e) == wanted)) {
          line.assign(static_cast<const char*>(kvEntry_Value(e)),
                      static_cast<size_t>(kvEntry_ValueLen(e)));
          revision = kvEntry_Revision(e);
          break;
        }
      }
    }
    kvEntryList_Destroy(&list);
    if (s == NATS_NOT_FOUND || (s == NATS_OK && line.empty())) {
      return Fail(
          err,
          w.size() == 4
              ? "the history of " + key + " holds no line at revision " + w[3]
              : "the history of " + key + " holds no earlier line",
          QORCTL_USAGE);
    }
    if (s == NATS_OK) {
      fprintf(err, "qorctl: putting again the line of revision %llu\n",
              static_cast<unsigned long long>(revision));
    }
  } else {  // del
    kvEntry* e = nullptr;
    s = kvStore_Get(&e, b.kv, key.c_str());
    kvEntry_Destroy(e);
    if (s == NATS_NOT_FOUND) {
      return Fail(err, "no fleet situation has the key " + key, QORCTL_USAGE);
    }
    if (s == NATS_OK) {
      s = kvStore_Delete(b.kv, key.c_str());
    }
    if (s == NATS_OK) {
      revision = LastRevision(b.kv, key);
      deleted = true;
    }
  }
  if (s == NATS_OK && !deleted) {
    s = kvStore_Put(&revision, b.kv, key.c_str(), line.data(),
                    static_cast<int>(line.size()));
  }
  if (s != NATS_OK) {
    return Fail(err,
                "the change of " + key + " was not made: " + NatsStatusText(s),
                QORCTL_UNREACHABLE);
  }
  const long long put_ms = MonotonicMs();
  Wait_Result result;
  WaitApplied(nc, a.prefix, rel, host_key, revision, deleted, deadline, roster,
              &result);
  char took[48];
  snprintf(took, sizeof took, " in %.3f s",
           static_cast<double>(MonotonicMs() - put_ms) / 1000);
  return Report(std::string(deleted ? "deleted " : "put ") + rel +
                    " at revision " + std::to_string(revision),
                result, took, a.timeout_s, out, err);
}
