// The names of this node that rows carry: the system name and the host
// name. The process entry (agent/tvxmain.cc) defines and sets them once on
// the initial thread before any log starts; the log kinds only read them.
#ifndef QOR_AGENT_KINDS_NODE_NAMES_H_
#define QOR_AGENT_KINDS_NODE_NAMES_H_

// The system name: 33 characters from DetermineLocalHost, NUL-terminated;
// allocated by GetSystemName, released by ShutDown.
extern char* gSystemName;
extern int gSystemNameLength;
// The host's node name (at most 256 characters), or "-1" when uname fails.
extern char gHostName[257];

constexpr int SYSTEMNAMESIZE = 33;

#endif  // QOR_AGENT_KINDS_NODE_NAMES_H_
