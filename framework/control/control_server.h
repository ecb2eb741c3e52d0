// The control server: a UNIX stream socket on which people (through qorctl)
// ask for reports and manage situations. One request line per connection,
// answered as control_protocol.h describes.
//
// The socket file has mode 0600 and a peer is served only when its uid is
// root or the agent's own. The accepting thread reads the request lines of
// all connections at once (poll), so that a client that sends nothing holds
// no thread and no slot; it drops a peer whose line has not come within
// `client_timeout_ms` ("ERR no request line within ..."), and the oldest
// silent one past 128 of them. A complete line is then served: PING at once
// on the accepting thread, any other request on a thread of its own, at
// most `max_clients` at once (a request waits up to `slot_wait_ms` for a
// slot, then is answered "ERR busy ..."). While the reply is written the
// peer gets `client_timeout_ms` to take each part of it.
// Start and Stop are called by the process's main thread (hovmain); the
// server's threads share one process-wide state under its mutex.
#ifndef QOR_FRAMEWORK_CONTROL_CONTROL_SERVER_H_
#define QOR_FRAMEWORK_CONTROL_CONTROL_SERVER_H_

#include <string>

#include "util/socket_path.h"

struct Control_Limits {
  int client_timeout_ms =
      5000;              // to send the line, and to take each part of the reply
  int max_clients = 16;  // requests (other than PING) served at once
  int slot_wait_ms =
      1000;  // how long one more waits for a free slot before "busy"
};

class Control_Server {
 public:
  // Binds the socket at HOV_SocketPath() and serves in the background. A
  // stale socket file (nobody answers) is replaced. False with *err when the
  // socket cannot be made, the path holds something else than a socket,
  // another agent already answers on it, or the server is already running.
  [[nodiscard]] static bool Start(
      std::string* err, const Control_Limits& limits = Control_Limits());
  // Stops accepting, wakes and waits for the connections in progress (a
  // request being carried out is finished first) and removes the socket file
  // when it is still the one this server bound. Does nothing when not running.
  static void Stop();
};

#endif  // QOR_FRAMEWORK_CONTROL_CONTROL_SERVER_H_
