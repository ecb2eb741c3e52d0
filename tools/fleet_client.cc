// qorctl --fleet: asks every agent of a fleet at once over NATS.
#include "tools/fleet_client.h"

#include <nats/nats.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "tools/fleet_situations.h"
#include "tools/json_line.h"
#include "tools/qorctl_command.h"
#include "tools/table_format.h"
#include "util/fleet_names.h"
#include "util/monotonic_ms.h"
#include "util/nats_status.h"
#include "util/nats_url.h"
#include "util/trusted_file.h"

#include <nlohmann/json.hpp>

namespace {

constexpr double kDefaultTimeoutS = 5.0;
constexpr int64_t kConnectTimeoutMs = 2000;
constexpr int64_t kRosterWaitMs = 2000;

struct Fleet_Options {
  std::string url;
  bool json = false;
  bool help = false;
  std::vector<std::string> hosts;
  std::string group;
  double timeout_s = kDefaultTimeoutS;
  long limit = 0;
  std::string since, until, where;
  std::vector<std::string> words;
};

const char kUsage[] =
    "Usage: qorctl --fleet nats://HOST:PORT[,HOST:PORT...]/PREFIX [OPTIONS] COMMAND\n"
    "\n"
    "Asks every agent of the fleet (those started with HOV_FLEET=URL) at once.\n"
    "\n"
    "Commands:\n"
    "  entries PATH [--since T] [--until T] [--where CONDITION]\n"
    "                     entries of the log PATH on every host, newest first\n"
    "  logs [--where CONDITION]   the monitored logs of every host\n"
    "  node               every host's node status\n"
    "  ping               which hosts answer\n"
    "  hosts              the roster: every agent that keeps an entry, and its age\n"
    "  situation add NAME TABLE CONDITION...\n"
    "                     put a situation line in the fleet's bucket (every host, or\n"
    "                     the --host or --group); waits until each host applied it\n"
    "  situation del NAME delete it from the bucket at that scope\n"
    "  situation history NAME     the revisions of its key\n"
    "  situation rollback NAME [REVISION]\n"
    "                     put an earlier line again (default: the one before the last change)\n"
    "  situations         every fleet situation and each host's state: applied, pending,\n"
    "                     refused or overridden, with the reason\n"
    "\n"
    "Options:\n"
    "  --host NAME        ask the host NAME only (may be repeated): a system name of the\n"
    "                     roster, or its host part (web1 for web1:TVX, web1.example:TVX);\n"
    "                     for a situation, its scope (one host)\n"
    "  --group GROUP      a situation's scope: the hosts that name GROUP in HOV_FLEET_GROUPS\n"
    "  --timeout SECONDS  how long to wait for the hosts (default 5)\n"
    "  --limit ROWS       the most rows of each host (capped by its TVX_MAX_ROWS)\n"
    "  --json             one JSON line per row, with \"host\"\n"
    "\n"
    "HOV_NATS_CREDS names a NATS credentials file, HOV_NATS_CA a CA file for tls://.\n"
    "Exit status: 0 every expected host answered (applied the change), 2 bad arguments, a\n"
    "name no agent of the roster has (or several have), or no NATS server can be reached,\n"
    "3 some host did not answer, answered an error, or did not apply the change in time.\n"
    "See qorctl(1).\n";

bool TakeValue(const std::vector<std::string>& args, size_t* i,
               const std::string& name, std::string* value, std::string* err) {
  const std::string& a = args[*i];
  if (a.size() > name.size() &&
      a.compare(0, name.size() + 1, name + "=") == 0) {
    *value = a.substr(name.size() + 1);
  } else if (*i + 1 < args.size()) {
    *value = args[++*i];
  } else {
    *err = "option " + name + " needs a value";
    return false;
  }
  if (value->empty()) {
    *err = "option " + name + " needs a value";
    return false;
  }
  return true;
}

bool IsOption(const std::string& a, const char* name) {
  const size_t n = strlen(name);
  return a == name ||
         (a.size() > n && a.compare(0, n, name) == 0 && a[n] == '=');
}

bool ParseFleetArgs(const std::vector<std::string>& args, Fleet_Options* o,
                    std::string* err) {
  bool words_only = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (words_only || a.empty() || a[0] != '-' || a == "-") {
      o->words.push_back(a);
    } else if (a == "--") {
      words_only = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "-h" || a == "--help") {
      o->help = true;
    } else if (IsOption(a, "--fleet")) {
      if (!TakeValue(args, &i, "--fleet", &o->url, err)) {
        return false;
      }
    } else if (IsOption(a, "--host")) {
      if (!TakeValue(args, &i, "--host", &v, err)) {
        return false;
      }
      o->hosts.push_back(v);
    } else if (IsOption(a, "--group")) {
      if (!TakeValue(args, &i, "--group", &o->group, err)) {
        return false;
      }
    } else if (IsOption(a, "--since")) {
      if (!TakeValue(args, &i, "--since", &o->since, err)) {
        return false;
      }
    } else if (IsOption(a, "--until")) {
      if (!TakeValue(args, &i, "--until", &o->until, err)) {
        return false;
      }
    } else if (IsOption(a, "--where")) {
      if (!TakeValue(args, &i, "--where", &o->where, err)) {
        return false;
      }
    } else if (IsOption(a, "--timeout")) {
      if (!TakeValue(args, &i, "--timeout", &v, err)) {
        return false;
      }
      char* end = nullptr;
      o->timeout_s = strtod(v.c_str(), &end);
      if (*end != '\0' || !(o->timeout_s > 0) || o->timeout_s > 3600) {
        *err =
            "--timeout: expected a number of seconds above 0 (at most 3600), found \"" +
            v + "\"";
        return false;
      }
    } else if (IsOption(a, "--limit")) {
      if (!TakeValue(args, &i, "--limit", &v, err)) {
        return false;
      }
      char* end = nullptr;
      o->limit = strtol(v.c_str(), &end, 10);
      if (*end != '\0' || o->limit < 1 || o->limit > 1000000) {
        *err =
            "--limit: expected a number of rows from 1 to 1000000, found \"" +
            v + "\"";
        return false;
      }
    } else if (IsOption(a, "--socket")) {
      *err = "--socket and --fleet exclude each other";
      return false;
    } else {
      *err = "unknown option " + a.substr(0, a.find('='));
      return false;
    }
  }
  return true;
}

// The request line for the command, made as qorctl makes it for one agent.
bool FleetRequestLine(const Fleet_Options& f, std::string* line,
                      std::string* err) {
  const std::string& cmd = f.words[0];
  if (cmd != "entries" && cmd != "logs" && cmd != "node" && cmd != "ping") {
    *err =
        "unknown fleet command \"" + cmd +
        "\"; expected entries, logs, node, ping, hosts, situation or situations";
    return false;
  }
  if (!f.where.empty() && cmd != "entries" && cmd != "logs") {
    *err = "--where belongs to the entries and logs commands";
    return false;
  }
  if (f.where.find_first_of("\r\n") != std::string::npos) {
    *err = "arguments must not contain line breaks";
    return false;
  }
  Qorctl_Options o;
  o.words = f.words;
  o.since = f.since;
  o.until = f.until;
  if (!QorctlRequestLine(o, time(nullptr), line, err)) {
    return false;
  }
  if (!f.where.empty()) {
    *line += (cmd == "entries" ? " AND " : " WHERE ") + f.where;
  }
  return true;
}

struct Nats_Closer {
  void operator()(natsConnection* nc) const {
    natsConnection_Close(nc);
    natsConnection_Destroy(nc);
  }
};
using Nats_Ptr = std::unique_ptr<natsConnection, Nats_Closer>;

bool Connect(const Nats_Url& url, Nats_Ptr* nc, std::string* err) {
  natsConnection* const raw = QorctlNatsConnect(url, "qorctl", false, err);
  nc->reset(raw);
  return raw != nullptr;
}

int ListHosts(natsConnection* nc, const std::string& prefix, bool json,
              FILE* out, FILE* err) {
  std::map<std::string, Roster_Entry> roster;
  std::string why;
  if (!ReadRoster(nc, prefix, &roster, &why)) {
    fprintf(err, "qorctl: %s\n", why.c_str());
    return QORCTL_UNREACHABLE;
  }
  std::vector<std::vector<Json_Field>> rows;
  for (const auto& [key, r] : roster) {
    char age[32];
    snprintf(age, sizeof age, "%.0f", r.age_s < 0 ? 0 : r.age_s);
    if (json) {
      std::string line = r.value;
      const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
      nlohmann::json o = j.is_object() ? j : nlohmann::json::object();
      o["key"] = key;
      o["prefix"] = prefix;
      o["age_s"] = std::stol(age);
      fprintf(out, "%s\n",
              o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                  .c_str());
      continue;
    }
    std::vector<Json_Field> row = {{"HOST", r.host, true},
                                   {"AGE_S", age, false}};
    std::vector<Json_Field> fields;
    std::string unused;
    if (ParseJsonLine(r.value, &fields, &unused)) {
      for (const char* k :
           {"version", "logs", "situations", "started", "pid"}) {
        const Json_Field* f = FindJsonField(fields, k);
        row.push_back(
            {k, f != nullptr ? f->text : "", f != nullptr && f->is_string});
      }
    }
    rows.push_back(std::move(row));
  }
  if (!json) {
    fputs(QorctlRowsTable("hosts", rows, false).c_str(), out);
  }
  fflush(out);
  fprintf(err, "qorctl: %zu hosts in the roster of %s\n", roster.size(),
          prefix.c_str());
  return QORCTL_OK;
}

struct Host_Answer {
  std::string host;
  std::vector<std::string> rows;
  bool finished = false;
  bool cut = false;
  long rows_said = 0;
  std::string error;
};

// The ENTRYTIME of a row line ("" when it has none).
std::string EntryTime(const std::string& row) {
  static const char kKey[] = "\"ENTRYTIME\":\"";
  const size_t at = row.find(kKey);
  if (at == std::string::npos) {
    return "";
  }
  const size_t from = at + sizeof kKey - 1;
  const size_t end = row.find('"', from);
  return end == std::string::npos ? "" : row.substr(from, end - from);
}

// Takes one answer message into `answers`.
void TakeMessage(natsMsg* m, std::map<std::string, Host_Answer>* answers) {
  const char* data = natsMsg_GetData(m);
  const size_t length = static_cast<size_t>(natsMsg_GetDataLength(m));
  const std::string_view text(data, length);
  const size_t nl = text.find('\n');
  const std::string_view head = text.substr(0, nl);
  const nlohmann::json j =
      nlohmann::json::parse(head.begin(), head.end(), nullptr, false);
  if (!j.is_object() || !j.contains("key") || !j["key"].is_string()) {
    return;  // not an answer of an agent
  }
  Host_Answer& a = (*answers)[j["key"].get<std::string>()];
  if (j.contains("host") && j["host"].is_string()) {
    a.host = j["host"].get<std::string>();
  }
  if (j.value("final", false)) {
    a.finished = true;
    a.cut = j.value("cut", false);
    a.rows_said = j.value("rows", 0L);
    a.error = j.contains("error") && j["error"].is_string()
                  ? j["error"].get<std::string>()
                  : "";
    return;
  }
  size_t from = nl == std::string_view::npos ? length : nl + 1;
  while (from < length) {
    size_t end = text.find('\n', from);
    if (end == std::string_view::npos) {
      end = length;
    }
    if (end > from) {
      a.rows.emplace_back(text.substr(from, end - from));
    }
    from = end + 1;
  }
}

}  // namespace

bool RosterEntryOf(kvEntry* e, const std::string& prefix, int64_t now_ns,
                   Roster_Entry* r) {
  r->key = kvEntry_Key(e);
  r->value.assign(static_cast<const char*>(kvEntry_Value(e)),
                  static_cast<size_t>(kvEntry_ValueLen(e)));
  r->age_s = static_cast<double>(now_ns - kvEntry_Created(e)) / 1e9;
  const nlohmann::json j = nlohmann::json::parse(r->value, nullptr, false);
  const auto text = [&j](const char* name, const std::string& otherwise) {
    return j.is_object() && j.contains(name) && j[name].is_string()
               ? j[name].get<std::string>()
               : otherwise;
  };
  r->host = text("host", r->key);
  r->key = text("key", r->key);
  r->prefix = text("prefix", "");
  return r->prefix.empty() || r->prefix == prefix;  // else another fleet's
}

int WatchRoster(natsConnection* nc, const std::string& prefix,
                const std::string& filter, long long deadline,
                bool initial_only,
                const std::function<bool(const Roster_Entry&)>& each) {
  jsCtx* js = nullptr;
  kvStore* kv = nullptr;
  kvWatcher* w = nullptr;
  natsStatus s = natsConnection_JetStream(&js, nc, nullptr);
  if (s == NATS_OK) {
    s = js_KeyValue(&kv, js, FLEET_ROSTER_BUCKET);
  }
  kvWatchOptions wo;
  kvWatchOptions_Init(&wo);
  wo.IgnoreDeletes = true;
  if (s == NATS_OK) {
    s = filter.empty() ? kvStore_WatchAll(&w, kv, &wo)
                       : kvStore_Watch(&w, kv, filter.c_str(), &wo);
  }
  while (s == NATS_OK) {
    kvEntry* e = nullptr;
    const long long left = deadline - MonotonicMs();
    s = kvWatcher_Next(&e, w, left > 0 ? left : 1);
    if (s != NATS_OK) {
      break;  // the deadline passed (or the connection went)
    }
    if (e == nullptr) {  // the entries there were have all come
      if (initial_only) {
        break;
      }
      continue;
    }
    Roster_Entry r;
    const bool ours = RosterEntryOf(
        e, prefix, static_cast<int64_t>(time(nullptr)) * 1000000000LL, &r);
    kvEntry_Destroy(e);
    if (ours && !each(r)) {
      break;
    }
  }
  kvWatcher_Destroy(w);
  kvStore_Destroy(kv);
  jsCtx_Destroy(js);
  return s;
}

// The roster's entries of the agents that serve `prefix` (and of older
// agents, which do not say), by subject token. False with *err when it
// cannot be read (no JetStream); a missing bucket is an empty roster.
bool ReadRoster(natsConnection* nc, const std::string& prefix,
                std::map<std::string, Roster_Entry>* roster, std::string* err) {
  const natsStatus s = static_cast<natsStatus>(
      WatchRoster(nc, prefix, "", MonotonicMs() + kRosterWaitMs, true,
                  [&](const Roster_Entry& r) {
                    (*roster)[r.key] = r;
                    return true;
                  }));
  if (s == NATS_NOT_FOUND) {
    return true;
  }
  if (s != NATS_OK) {
    *err = "the roster (" + std::string(FLEET_ROSTER_BUCKET) +
           ") cannot be read: " + NatsStatusText(s);
    return false;
  }
  return true;
}

// The entries `name` names: the one whose system name or token it is, else
// those whose host part (the system name before ":") or short host name
// (before the first ".") it is.
std::vector<const Roster_Entry*> Named(
    const std::map<std::string, Roster_Entry>& roster,
    const std::string& name) {
  std::vector<const Roster_Entry*> exact;
  std::vector<const Roster_Entry*> host;
  for (const auto& [key, r] : roster) {
    if (r.host == name || key == name) {
      exact.push_back(&r);
      continue;
    }
    const std::string part = r.host.substr(0, r.host.find(':'));
    if (part == name || part.substr(0, part.find('.')) == name) {
      host.push_back(&r);
    }
  }
  return exact.empty() ? host : exact;
}

std::vector<Json_Field> PingColumns(const std::vector<Json_Field>& ping) {
  const auto text = [&ping](const char* key) {
    const Json_Field* f = FindJsonField(ping, key);
    return f != nullptr ? f->text : std::string();
  };
  // Each fleet sink as 'qorctl ping' tells it, in short.
  std::string sinks;
  const nlohmann::json fleet =
      nlohmann::json::parse(text("fleet_sinks"), nullptr, false);
  if (fleet.is_array()) {
    for (const nlohmann::json& s : fleet) {
      if (!s.is_object()) {
        continue;
      }
      sinks +=
          (sinks.empty() ? "" : "; ") + s.value("sink", std::string("?")) +
          (s.value("connected", false) ? " connected, " : " not connected, ") +
          s.value("pending", nlohmann::json(0)).dump() + " pending, " +
          s.value("lost", nlohmann::json(0)).dump() + " lost";
    }
  }
  return {{"HOST", text("host"), true},
          {"PID", text("pid"), false},
          {"WRITTEN", text("events_written"), false},
          {"RETRIED", text("events_retried"), false},
          {"LOST", text("events_lost"), false},
          {"METRICS", text("metrics"), true},
          {"FLEET_SINKS", sinks, true}};
}

std::string FleetRowWithHost(const std::string& host, const std::string& row) {
  std::string out =
      "{\"host\":" +
      nlohmann::json(host).dump(-1, ' ', false,
                                nlohmann::json::error_handler_t::replace);
  const size_t brace = row.find('{');
  if (brace == std::string::npos) {
    return out + "}";
  }
  std::string rest = row.substr(brace + 1);
  const size_t first = rest.find_first_not_of(" \t");
  return out + (first != std::string::npos && rest[first] == '}' ? "" : ",") +
         rest;
}

bool QorctlFleetAsked(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--") {
      return false;
    }
    if (IsOption(a, "--fleet")) {
      return true;
    }
  }
  return false;
}

int QorctlFleetMain(const std::vector<std::string>& args, FILE* out,
                    FILE* err) {
  Fleet_Options f;
  std::string why;
  // A command line refused, with why; and the servers reached, or said not
  // to be.
  const auto refused = [&why, err] {
    fprintf(err, "qorctl: %s\nRun 'qorctl --fleet URL --help' for usage.\n",
            why.c_str());
    return QORCTL_USAGE;
  };
  const auto reach = [&f, &why, err](const Nats_Url& url, Nats_Ptr* nc) {
    if (Connect(url, nc, &why)) {
      return true;
    }
    fprintf(err, "qorctl: cannot reach the NATS servers at %s: %s\n",
            f.url.c_str(), why.c_str());
    return false;
  };
  if (!ParseFleetArgs(args, &f, &why)) {
    return refused();
  }
  if (f.help) {
    fputs(kUsage, out);
    return QORCTL_OK;
  }
  Nats_Url url;
  if (!ParseNatsUrl(f.url, &url, &why)) {
    fprintf(err, "qorctl: --fleet: %s\n", why.c_str());
    return QORCTL_USAGE;
  }
  if (f.words.empty()) {
    fprintf(
        err,
        "qorctl: expected a fleet command: entries, logs, node, ping, hosts, "
        "situation or situations\n");
    return QORCTL_USAGE;
  }
  const std::string cmd = f.words[0];
  if (IsFleetSituationCommand(f.words)) {
    Fleet_Situation_Args sa;
    sa.prefix = url.name;
    sa.words = f.words;
    sa.hosts = f.hosts;
    sa.group = f.group;
    sa.timeout_s = f.timeout_s;
    sa.json = f.json;
    if (!CheckFleetSituationArgs(sa, &why)) {
      return refused();
    }
    Nats_Ptr nc;
    if (!reach(url, &nc)) {
      return QORCTL_UNREACHABLE;
    }
    return QorctlFleetSituations(nc.get(), sa, out, err);
  }
  if (!f.group.empty()) {
    fprintf(err, "qorctl: --group belongs to the situation commands\n");
    return QORCTL_USAGE;
  }
  std::string line;
  if (cmd == "hosts") {
    if (f.words.size() != 1) {
      fprintf(err, "qorctl: usage: qorctl --fleet URL hosts\n");
      return QORCTL_USAGE;
    }
  } else if (!FleetRequestLine(f, &line, &why)) {
    return refused();
  }
  Nats_Ptr nc;
  if (!reach(url, &nc)) {
    return QORCTL_UNREACHABLE;
  }
  if (cmd == "hosts") {
    return ListHosts(nc.get(), url.name, f.json, out, err);
  }
  const long long deadline =
      MonotonicMs() + static_cast<long long>(f.timeout_s * 1000);

  // Whom to expect: the hosts named, found in the roster, or all of it.
  std::map<std::string, std::string> expected;  // key -> name shown
  std::map<std::string, Roster_Entry> roster;
  const bool have_roster = ReadRoster(nc.get(), url.name, &roster, &why);
  if (!have_roster) {
    fprintf(err, "qorctl: %s; %s\n", why.c_str(),
            f.hosts.empty() ? "waiting for whoever answers"
                            : "asking the names as they are given");
  }
  for (const std::string& h : f.hosts) {
    if (!have_roster) {
      expected[NatsHostToken(h)] = h;
      continue;
    }
    const std::vector<const Roster_Entry*> named = Named(roster, h);
    if (named.empty()) {
      fprintf(err, "qorctl: no agent in the roster of %s is named %s\n",
              url.name.c_str(), h.c_str());
      return QORCTL_USAGE;
    }
    if (named.size() > 1) {
      std::string names;
      for (const Roster_Entry* r : named) {
        names += (names.empty() ? "" : ", ") + r->host;
      }
      fprintf(err, "qorctl: %s names %zu agents in the roster of %s: %s\n",
              h.c_str(), named.size(), url.name.c_str(), names.c_str());
      return QORCTL_USAGE;
    }
    expected[named[0]->key] = named[0]->host;
  }
  if (f.hosts.empty()) {
    for (const auto& [key, r] : roster) {
      expected[key] = r.host;
    }
    if (have_roster && roster.empty()) {
      fprintf(err, "qorctl: no agent in the roster of %s\n", url.name.c_str());
      return QORCTL_USAGE;
    }
  }

  natsInbox* inbox = nullptr;
  natsSubscription* sub = nullptr;
  natsStatus s = natsInbox_Create(&inbox);
  if (s == NATS_OK) {
    s = natsConnection_SubscribeSync(&sub, nc.get(), inbox);
  }
  if (s == NATS_OK) {
    s = natsSubscription_SetPendingLimits(sub, -1, -1);
  }
  nlohmann::json request = {{"request", line}};
  if (f.limit > 0) {
    request["limit"] = f.limit;
  }
  const std::string payload = request.dump();
  std::vector<std::string> subjects;
  if (f.hosts.empty()) {
    subjects.push_back(url.name + ".query.all");
  }
  for (const auto& [key, name] : expected) {
    if (!f.hosts.empty()) {
      subjects.push_back(url.name + ".query." + key);
    }
  }
  for (const std::string& subject : subjects) {
    if (s == NATS_OK) {
      s = natsConnection_PublishRequest(nc.get(), subject.c_str(), inbox,
                                        payload.data(),
                                        static_cast<int>(payload.size()));
    }
  }
  if (s == NATS_OK) {
    s = natsConnection_Flush(nc.get());
  }
  if (s != NATS_OK) {
    fprintf(err, "qorctl: the request could not be sent: %s\n",
            NatsStatusText(s).c_str());
    natsSubscription_Destroy(sub);
    natsInbox_Destroy(inbox);
    return QORCTL_UNREACHABLE;
  }

  std::map<std::string, Host_Answer> answers;
  const auto done = [&] {
    for (const auto& [key, name] : expected) {
      const auto it = answers.find(key);
      if (it == answers.end() || !it->second.finished) {
        return false;
      }
    }
    for (const auto& [key, a] : answers) {
      if (!a.finished) {
        return false;
      }
    }
    return !expected.empty();
  };
  while (!done()) {
    const long long left = deadline - MonotonicMs();
    if (left <= 0) {
      break;
    }
    natsMsg* m = nullptr;
    if (natsSubscription_NextMsg(&m, sub, left) != NATS_OK) {
      break;  // the deadline passed (or the connection went)
    }
    TakeMessage(m, &answers);
    natsMsg_Destroy(m);
  }
  natsSubscription_Destroy(sub);
  natsInbox_Destroy(inbox);

  // The rows, with their hosts: entries newest first, the rest by host.
  struct Row {
    const std::string* host;
    const std::string* line;
    std::string time;
  };
  std::vector<Row> rows;
  size_t answered = 0, failed = 0;
  bool cut = false;
  for (auto& [key, a] : answers) {
    if (expected.count(key) == 0 && !f.hosts.empty()) {
      continue;
    }
    if (a.host.empty()) {
      a.host = key;
    }
    answered += a.finished && a.error.empty() ? 1 : 0;
    failed += a.finished && !a.error.empty() ? 1 : 0;
    cut = cut || a.cut;
    for (const std::string& r : a.rows) {
      rows.push_back(
          {&a.host, &r, cmd == "entries" ? EntryTime(r) : std::string()});
    }
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& x, const Row& y) {
    return x.time != y.time ? x.time > y.time : *x.host < *y.host;
  });
  if (f.json) {
    for (const Row& r : rows) {
      const std::string text = FleetRowWithHost(*r.host, *r.line) + "\n";
      fwrite(text.data(), 1, text.size(), out);
    }
  } else {
    std::vector<std::vector<Json_Field>> table;
    for (const Row& r : rows) {
      std::vector<Json_Field> fields;
      if (ParseJsonLine(*r.line, &fields, &why)) {
        fields.insert(fields.begin(), Json_Field{"host", *r.host, true});
        table.push_back(cmd == "ping" ? PingColumns(fields)
                                      : std::move(fields));
      }
    }
    fputs(QorctlRowsTable(cmd, table, true).c_str(), out);
  }
  fflush(out);

  // The summary.
  size_t missing = 0;
  for (const auto& [key, a] : answers) {
    if (a.finished && !a.error.empty()) {
      fprintf(err, "qorctl: %s failed: %s\n", a.host.c_str(), a.error.c_str());
    } else if (a.finished && a.cut) {
      fprintf(err,
              "qorctl: %s: only the newest %ld rows: its row limit cut them\n",
              a.host.c_str(), a.rows_said);
    }
  }
  for (const auto& [key, name] : expected) {
    const auto it = answers.find(key);
    if (it == answers.end() || !it->second.finished) {
      ++missing;
      const size_t partial = it == answers.end() ? 0 : it->second.rows.size();
      fprintf(err, "qorctl: %s did not answer within %g s%s\n", name.c_str(),
              f.timeout_s,
              partial > 0
                  ? (" (" + std::to_string(partial) + " rows came)").c_str()
                  : "");
    }
  }
  for (const auto& [key, a] : answers) {
    if (expected.count(key) == 0 && !a.finished && f.hosts.empty()) {
      ++missing;
      fprintf(err, "qorctl: %s did not finish within %g s\n", a.host.c_str(),
              f.timeout_s);
    }
  }
  fprintf(
      err,
      "qorctl: %zu hosts answered, %zu failed, %zu did not answer; %zu rows%s\n",
      answered, failed, missing, rows.size(),
      cut ? "; some hosts' rows were cut" : "");
  return failed + missing > 0 ? QORCTL_SOME_HOSTS : QORCTL_OK;
}

natsConnection* QorctlNatsConnect(const Nats_Url& url, const char* name,
                                  bool reconnect, std::string* err) {
  natsOptions* opts = nullptr;
  natsStatus s = natsOptions_Create(&opts);
  std::vector<const char*> servers;
  for (const std::string& server : url.servers) {
    servers.push_back(server.c_str());
  }
  if (s == NATS_OK) {
    s = natsOptions_SetServers(opts, servers.data(),
                               static_cast<int>(servers.size()));
  }
  if (s == NATS_OK) {
    s = natsOptions_SetTimeout(opts, kConnectTimeoutMs);
  }
  if (s == NATS_OK) {
    s = reconnect ? natsOptions_SetMaxReconnect(opts, -1)
                  : natsOptions_SetAllowReconnect(opts, false);
  }
  if (s == NATS_OK) {
    s = natsOptions_SetName(opts, name);
  }
  if (s == NATS_OK && url.tls) {
    s = natsOptions_SetSecure(opts, true);
  }
  const char* ca = getenv("HOV_NATS_CA");
  const char* creds = getenv("HOV_NATS_CREDS");
  // The same rule as the agent's: a file another user can change could
  // swap the server's identity or the credentials.
  for (const auto& [what, path] : {std::pair{"NATS CA file", ca},
                                   std::pair{"NATS credentials file", creds}}) {
    std::string problem;
    if (path == nullptr || *path == '\0') {
      continue;
    }
    if (!CheckTrustedFile(what, path, &problem)) {
      natsOptions_Destroy(opts);
      *err = problem;
      return nullptr;
    }
    if (!problem.empty()) {
      fprintf(stderr, "qorctl: %s\n", problem.c_str());
    }
  }
  if (s == NATS_OK && ca != nullptr && *ca != '\0') {
    s = natsOptions_LoadCATrustedCertificates(opts, ca);
  }
  if (s == NATS_OK && creds != nullptr && *creds != '\0') {
    s = natsOptions_SetUserCredentialsFromFiles(opts, creds, nullptr);
  }
  natsConnection* nc = nullptr;
  if (s == NATS_OK) {
    s = natsConnection_Connect(&nc, opts);
  }
  natsOptions_Destroy(opts);
  if (s != NATS_OK) {
    *err = NatsStatusText(s);
    return nullptr;
  }
  return nc;
}
