// Running a program as another user when the path to it is not open to that
// user (a checkout in a 0700 directory): the program is opened while the
// test still has its own rights, and run from the descriptor after the
// child has dropped its privileges.
#ifndef QOR_TESTS_SUPPORT_EXEC_OPENED_H_
#define QOR_TESTS_SUPPORT_EXEC_OPENED_H_

#include <sys/types.h>

#include "util/unique_fd.h"

namespace qortest {

// The program at `path` opened close-on-exec for ExecOpened; invalid (and
// errno set) when it cannot be opened.
Unique_Fd OpenProgram(const char* path);

// In a forked child: with `drop_to_nobody`, leaves every group and becomes
// the user and group `nobody` (exit status 126 when that fails); then runs
// the opened program with `argv` and the current environment (127 when that
// fails). Never returns.
[[noreturn]] void ExecOpened(const Unique_Fd& program, char* const argv[],
                             bool drop_to_nobody);

}  // namespace qortest

#endif  // QOR_TESTS_SUPPORT_EXEC_OPENED_H_
