// qorctl: the command-line side of the agent's control socket.
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/qorctl_command.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return QorctlMain(args, stdout, stderr);
}
