// qorctl --fleet situation ...: the fleet's situations, kept in the
// JetStream key-value bucket qoragent_situations and applied by the agents
// (their side, the keys and the roster's fields:
// framework/control/fleet_situations.h).
//
//   situation add NAME TABLE CONDITION...   put the line at the scope
//   situation del NAME                      delete it at the scope
//   situation history NAME                  the key's revisions
//   situation rollback NAME [REVISION]      put an earlier line again
//   situations                              every key and each host's state
//
// The scope: every host, --host NAME (its roster key) or --group GROUP.
// add, del and rollback then wait, through the roster, until every host
// the key addresses has applied the change (or refused it), or --timeout.
#ifndef QOR_TOOLS_FLEET_SITUATIONS_H_
#define QOR_TOOLS_FLEET_SITUATIONS_H_

#include <stdio.h>

#include <string>
#include <vector>

struct __natsConnection;

struct Fleet_Situation_Args {
  std::string prefix;              // the fleet prefix
  std::vector<std::string> words;  // "situation", "add", ... or "situations"
  std::vector<std::string> hosts;  // --host: at most one
  std::string group;               // --group
  double timeout_s = 5;
  bool json = false;
};

// True when `words` start a situations command.
bool IsFleetSituationCommand(const std::vector<std::string>& words);

// Checks the command's arguments before anything is sent; false with *err.
[[nodiscard]] bool CheckFleetSituationArgs(const Fleet_Situation_Args& a,
                                           std::string* err);

// Runs it: QORCTL_OK, QORCTL_USAGE, QORCTL_UNREACHABLE (the bucket cannot
// be read or written) or QORCTL_SOME_HOSTS (some host addressed did not
// apply the change within the timeout, or refused it; named on `err`).
int QorctlFleetSituations(__natsConnection* nc, const Fleet_Situation_Args& a,
                          FILE* out, FILE* err);

#endif  // QOR_TOOLS_FLEET_SITUATIONS_H_
