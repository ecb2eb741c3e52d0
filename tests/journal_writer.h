// Journal files for the tests and benchmarks of the journal kind, written by
// systemd-journal-remote from journal export format on its standard input,
// so that no journald is needed. Running it again on the same file appends.
#ifndef QOR_TESTS_JOURNAL_WRITER_H_
#define QOR_TESTS_JOURNAL_WRITER_H_

#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace qortest {

constexpr char kJournalRemote[] = "/lib/systemd/systemd-journal-remote";

using Journal_Fields = std::vector<std::pair<std::string, std::string>>;

// One entry in export format: its realtime stamp, then the fields. A value
// that holds a newline or a NUL is written in the binary form.
inline std::string ExportEntry(uint64_t usec, const Journal_Fields& fields) {
  std::string out = "__REALTIME_TIMESTAMP=" + std::to_string(usec) + "\n";
  for (const auto& f : fields) {
    if (f.second.find_first_of(std::string("\n\0", 2)) == std::string::npos) {
      out += f.first + "=" + f.second + "\n";
      continue;
    }
    out += f.first + "\n";
    uint64_t size = f.second.size();
    for (int i = 0; i < 8; ++i) {
      out.push_back(static_cast<char>(size & 0xff));
      size >>= 8;
    }
    out += f.second + "\n";
  }
  return out + "\n";
}

// Appends the entries in `text` (export format) to the journal file `path`
// (named *.journal), creating it when missing. True when the writer
// succeeded.
inline bool AppendJournal(const std::string& path, const std::string& text) {
  int fds[2];
  if (pipe(fds) != 0) {
    return false;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl(kJournalRemote, kJournalRemote, "-o", path.c_str(), "-",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  if (pid < 0) {
    close(fds[1]);
    return false;
  }
  // A writer that ends early must not end the test with SIGPIPE.
  struct sigaction ignore = {}, saved = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved);
  bool written = true;
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
    if (n <= 0) {
      written = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  close(fds[1]);
  sigaction(SIGPIPE, &saved, nullptr);
  int status = 0;
  waitpid(pid, &status, 0);
  return written && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace qortest

#endif  // QOR_TESTS_JOURNAL_WRITER_H_
