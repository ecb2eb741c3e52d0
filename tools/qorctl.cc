// qorctl: the command-line side of the agent's control socket.
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tools/qorctl_command.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  // A report of many rows into a pipe or file goes out in writes of a pipe's
  // size, not one per 4 KiB; a terminal still gets each line as it comes.
  // (The buffer outlives main: stdout is flushed at exit.)
  static char out_buffer[64 * 1024];
  if (isatty(STDOUT_FILENO) == 0) {
    setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  }
  return QorctlMain(args, stdout, stderr);
}
