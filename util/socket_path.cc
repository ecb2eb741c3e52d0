// Where the agent's control socket lives.
#include "util/socket_path.h"

#include <stdlib.h>
#include <unistd.h>

std::string HOV_SocketPath() {
  const char* s = getenv("HOV_SOCKET");
  if (s != nullptr && *s != '\0') {
    return s;
  }
  return HOV_DefaultSocketPath();
}

std::string HOV_DefaultSocketPath() {
  const char* xdg = getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && *xdg != '\0') {
    return std::string(xdg) + "/qoragent.sock";
  }
  if (geteuid() == 0) {
    return "/run/qoragent.sock";
  }
  return "/tmp/qoragent-" + std::to_string(geteuid()) + "/qoragent.sock";
}
