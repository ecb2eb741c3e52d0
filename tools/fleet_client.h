// qorctl --fleet: asks every agent of a fleet at once over NATS (the agents'
// side and the wire format: framework/control/fleet_server.h).
//
//   qorctl --fleet nats://HOST:PORT/PREFIX [--host NAME ...] [--timeout S]
//          [--json] [--limit ROWS] entries PATH [--since T] [--until T]
//          [--where CONDITION] | logs | node | ping | hosts
//
// One request goes to PREFIX.query.all (or one to PREFIX.query.KEY of each
// named host); the streamed answers are gathered until every host expected
// (the roster's, or those named) and every host that answered has sent its
// final message, or the deadline passes. Rows are printed merged (entries
// newest first) with their host, then a summary on standard error.
#ifndef QOR_TOOLS_FLEET_CLIENT_H_
#define QOR_TOOLS_FLEET_CLIENT_H_

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/json_line.h"

// Exit status when some expected host did not answer, or answered an error.
constexpr int QORCTL_SOME_HOSTS = 3;

// True when `args` (argv[0] excluded) carry --fleet before any "--".
bool QorctlFleetAsked(const std::vector<std::string>& args);

// Runs a fleet command: output on `out`, messages on `err`; returns the exit
// status (QORCTL_OK; QORCTL_USAGE for bad arguments or a --host no agent of
// the roster has, or several have; QORCTL_UNREACHABLE when no NATS server can
// be reached; QORCTL_SOME_HOSTS).
int QorctlFleetMain(const std::vector<std::string>& args, FILE* out, FILE* err);

// The columns of a host's PING answer (its fields, "host" first) in the
// fleet's ping table: HOST, PID, the event counters, the metrics server and
// the fleet sinks in short, like 'qorctl ping' for one agent.
std::vector<Json_Field> PingColumns(const std::vector<Json_Field>& ping);

// One answer row of a host as a JSON line with "host" first.
std::string FleetRowWithHost(const std::string& host, const std::string& row);

struct Nats_Url;
struct __natsConnection;
struct __kvEntry;

// One agent's entry in the roster.
struct Roster_Entry {
  std::string key;     // the agent's subject token (PREFIX.query.KEY)
  std::string host;    // the agent's system name
  std::string prefix;  // the fleet prefix it serves ("" from older agents)
  std::string value;   // the entry's JSON text
  double age_s = 0;
};

// Reads a roster entry into *r; false when it is another fleet's.
bool RosterEntryOf(__kvEntry* e, const std::string& prefix, int64_t now_ns,
                   Roster_Entry* r);

// Watches the roster's entries of the agents that serve `prefix` under the
// key filter `filter` ("": every key) and gives `each` every entry there is,
// then, unless `initial_only`, every entry put later, until `each` returns
// false or the monotonic time `deadline` (ms) passes. Returns NATS_OK when
// `each` ended it or, with `initial_only`, once every entry there was came;
// else what stopped it (NATS_TIMEOUT, NATS_NOT_FOUND: no roster).
int WatchRoster(__natsConnection* nc, const std::string& prefix,
                const std::string& filter, long long deadline,
                bool initial_only,
                const std::function<bool(const Roster_Entry&)>& each);

// The roster's entries of the agents that serve `prefix` (and of older
// agents, which do not say), by subject token. False with *err when it
// cannot be read (no JetStream); a missing bucket is an empty roster.
bool ReadRoster(__natsConnection* nc, const std::string& prefix,
                std::map<std::string, Roster_Entry>* roster, std::string* err);

// The entries `name` names: the one whose system name or token it is, else
// those whose host part (the system name before ":") or short host name
// (before the first ".") it is.
std::vector<const Roster_Entry*> Named(
    const std::map<std::string, Roster_Entry>& roster, const std::string& name);
// Connects qorctl, as `name`, to the NATS servers of `url`, with the
// credentials and CA files of HOV_NATS_CREDS and HOV_NATS_CA. `reconnect`:
// follow the servers through restarts, else give up on a lost connection.
// Null with *err when no server answers.
__natsConnection* QorctlNatsConnect(const Nats_Url& url, const char* name,
                                    bool reconnect, std::string* err);

#endif  // QOR_TOOLS_FLEET_CLIENT_H_
