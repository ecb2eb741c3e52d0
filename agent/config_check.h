// qoragent --check: loads what a start (or a SIGHUP) would load, the log
// configuration, every format command and the situations file, with the
// code that loads them for real, and says what would be watched and what
// refused. It starts no thread, opens no socket and writes no state.
#ifndef QOR_AGENT_CONFIG_CHECK_H_
#define QOR_AGENT_CONFIG_CHECK_H_

#include <stdio.h>

#include "framework/control/main_loop.h"

// Reads the environment as the agent does (TVX_CONFIG_FILE, else the syslog
// configuration, else the journal; HOV_SITUATIONS), registers the tables
// through `loadAgents` and prints, on `out`, each log that would be watched
// (path, kind, procedure), each situation that would run, and each refusal;
// the reasons the loading code gives for a refused configuration line go to
// the trace, on standard error. 0 when everything loads and there is a log
// to watch, 1 otherwise.
int QorAgentCheck(ZEP_AgentLoader loadAgents, FILE* out);

#endif  // QOR_AGENT_CONFIG_CHECK_H_
