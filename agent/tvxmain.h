// The process entry of qoragent: the environment report, the process-wide
// globals (the node's names: agent/kinds/node_names.h), the agent loader and
// the exit routine.
//
// The globals are written on the initial thread before the log manager and
// the runtime start, and only read afterwards.
#ifndef QOR_AGENT_TVXMAIN_H_
#define QOR_AGENT_TVXMAIN_H_

#include "agent/kinds/node_names.h"
#include "framework/control/main_loop.h"

class Log_Manager;

// The most rows one log-entries report may return.
extern long gMaxRows;
// The one log manager; null until main creates it.
extern Log_Manager* pTheLogManager;

constexpr long DEFAULTMAXROWS = 1000;

// The program: answers --help/--version, then runs the agent, whose runtime
// registers the tables through `loadAgents` (LoadAgents, from the table
// agents above this layer); the exit status.
int QorAgentMain(int argc, char** argv, ZEP_AgentLoader loadAgents);

void GetSystemName();
void CheckEnvironment();
void ShutDown();
// sysconf(name) / pathconf(path, name), traced with `format` and a qualifier.
long PrintSysconfLimit(const char* const format, int name);
long PrintPathconfLimit(const char* const format, int name, const char* const path);

#endif  // QOR_AGENT_TVXMAIN_H_
