// The runtime's process services: the agent loader, the main loop and the
// node identity the agent reports.
#ifndef QOR_FRAMEWORK_CONTROL_MAIN_LOOP_H_
#define QOR_FRAMEWORK_CONTROL_MAIN_LOOP_H_

#include <stdint.h>

using ZEP_AgentLoader = unsigned (*)();

// One line of --help: an environment variable, its default and meaning.
struct HOV_EnvHelp {
  const char* name;
  const char* default_value;
  const char* meaning;
};

// What a program tells the runtime about itself for --help and --version.
struct HOV_ProgramInfo {
  const char* name;
  const char* summary;
  const HOV_EnvHelp* env;  // the program's own variables, ended by {nullptr}
  // The manual pages --help ends by pointing at, e.g. "qoragent(8)"; null
  // for none.
  const char* manual;
  // What the program's --check does, for --help and the usage line; null
  // when it has none (the program answers --check itself).
  const char* check = nullptr;
};

// Answers --help and --version before anything else starts. Returns -1 when
// the program should go on (no arguments); otherwise the exit status to
// return at once (0 for --help/--version, 2 with usage on stderr for
// anything else).
int HOV_CommandLine(int argc, char** argv, const HOV_ProgramInfo& info);

void ZEP_RegisterAgentLoader(ZEP_AgentLoader loader);
// Called by hovmain once the situations file is loaded: rows raised before
// then meet no situation, so an agent holds its reading back until it.
using ZEP_ReadyHook = void (*)();
void ZEP_RegisterReadyHook(ZEP_ReadyHook hook);
// Opens the event sink, starts the control server, calls the loader, loads
// the situations file, starts the heartbeat and serves until rpc__shutdown.
// Returns 0 after an orderly stop, 1 when the runtime could not start.
int hovmain(int argc, char** argv);

void ZEP_SetAffinity(const char* affinity);
void ZEP_SetNodeType(const char* type);
// HOV_SYSTEM_NAME, else "<short node name>:<node type>", cut to len-1.
void DetermineLocalHost(char* buffer, int len);
// The string given to ZEP_SetAffinity ("" before).
const char* RemoteManagerProductAffinity();
// Stops the main loop (from any thread); *status is 0. Idempotent.
void rpc__shutdown(uint32_t* status);
// Copies `length` bytes of a fixed-width value into dest (length+1 bytes),
// drops trailing blanks and NULs and terminates.
void ZEP_CopyUnpad(char* dest, const char* value, int length);

// True once rpc__shutdown was called (for the runtime's own threads).
bool HOV_ShutdownRequested();

// Reloads the situations file (HOV_SITUATIONS) as SITUATION RELOAD does,
// tracing what it skipped; nothing without the variable. The agent calls it
// on SIGHUP, before it re-reads its own configuration.
void HOV_ReloadSituations();

// Called by the agent after it re-read its configuration on SIGHUP: the
// runtime opens its event files again, so that they can be rotated.
void HOV_Refreshed();

#endif  // QOR_FRAMEWORK_CONTROL_MAIN_LOOP_H_
