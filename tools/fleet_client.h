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

#include <stdio.h>

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
// Connects qorctl, as `name`, to the NATS servers of `url`, with the
// credentials and CA files of HOV_NATS_CREDS and HOV_NATS_CA. `reconnect`:
// follow the servers through restarts, else give up on a lost connection.
// Null with *err when no server answers.
__natsConnection* QorctlNatsConnect(const Nats_Url& url, const char* name,
                                    bool reconnect, std::string* err);

#endif  // QOR_TOOLS_FLEET_CLIENT_H_
