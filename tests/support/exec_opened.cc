// Runs a program as another user from a descriptor opened while the path
// was still reachable.
#include "tests/support/exec_opened.h"

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

extern char** environ;

namespace qortest {

Unique_Fd OpenProgram(const char* path) {
  return Unique_Fd(open(path, O_RDONLY | O_CLOEXEC));
}

void ExecOpened(const Unique_Fd& program, char* const argv[],
                bool drop_to_nobody) {
  if (drop_to_nobody) {
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
        setuid(kNobody) != 0) {
      _exit(126);
    }
  }
  fexecve(program.get(), argv, environ);
  _exit(127);
}

}  // namespace qortest
