// qorctl events --from URL: the fleet's event stream as the central
// console reads it, from Kafka (kafka://BROKERS/TOPIC) or NATS JetStream
// (nats:// or tls://SERVERS/SUBJECT), where the agents' fleet sinks
// publish it:
//
//   qorctl events --from URL [--host NAME] [--json] [--since T]
//                 [--limit N] [--idle SECONDS]
//
// Prints one line per event: its host, time, situation and table, or with
// --json the event's JSON line with "host" first. Without --since only new
// events are shown; --since T replays from the engine's retention (Kafka:
// the offsets of that time; JetStream: its start time). It runs until
// interrupted, N events (--limit) or SECONDS without one (--idle).
#ifndef QOR_TOOLS_FLEET_EVENTS_H_
#define QOR_TOOLS_FLEET_EVENTS_H_

#include <stdio.h>

#include <string>
#include <vector>

// True when `args` (argv[0] excluded) are "events" with --from.
bool QorctlEventsFromAsked(const std::vector<std::string>& args);

// Runs it: QORCTL_OK, QORCTL_USAGE for bad arguments, QORCTL_UNREACHABLE
// when the engine cannot be reached.
int QorctlEventsFromMain(const std::vector<std::string>& args, FILE* out, FILE* err);

#endif  // QOR_TOOLS_FLEET_EVENTS_H_
