// The control server: a UNIX stream socket on which people (through qorctl)
// ask for reports and manage situations. One request line per connection.
#ifndef QOR_FRAMEWORK_CONTROL_SERVER_H_
#define QOR_FRAMEWORK_CONTROL_SERVER_H_

#include <string>

// HOV_SOCKET, else $XDG_RUNTIME_DIR/qoragent.sock, else /run/qoragent.sock
// for root, else /tmp/qoragent-UID/qoragent.sock.
std::string HOV_SocketPath();

class Control_Server {
 public:
  // Binds the socket and serves in the background. False with *err when the
  // socket cannot be made or another agent already answers on it.
  [[nodiscard]] static bool Start(std::string* err);
  // Stops serving, waits for requests in progress and removes the socket.
  static void Stop();
};

#endif  // QOR_FRAMEWORK_CONTROL_SERVER_H_
