// Where the agent's control socket lives; shared by the agent (which binds
// it) and qorctl (which connects to it).
#ifndef QOR_UTIL_SOCKET_PATH_H_
#define QOR_UTIL_SOCKET_PATH_H_

#include <string>

// HOV_SOCKET, else $XDG_RUNTIME_DIR/qoragent.sock, else /run/qoragent.sock
// for root, else /tmp/qoragent-UID/qoragent.sock.
std::string HOV_SocketPath();
// The same without HOV_SOCKET: the default of the user running it.
std::string HOV_DefaultSocketPath();

#endif  // QOR_UTIL_SOCKET_PATH_H_
