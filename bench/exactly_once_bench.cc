// Long run of the exactly-once promise: numbered syslog lines written at a
// steady rate into one log that is rename-rotated every few seconds (the
// writer still appends to the old file for a moment), with a SIGTERM
// restart and a kill -9 restart of the agent on the way, the positions kept
// in a state file. Prints how many numbers were lost, arrived corrupted or
// arrived more than once.
//
//   exactly_once_bench [LINES [RATE [ROTATE_SECONDS]]]   (1000000 20000 2)
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string Dir;

std::string Path(const char* name) { return Dir + "/" + name; }

void Append(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    perror(path.c_str());
    exit(2);
  }
  close(fd);
}

std::string Slurp(const std::string& path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return out;
  }
  char buf[1 << 16];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

pid_t StartAgent(int run) {
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("TVX_CONFIG_FILE", Path("agent.conf").c_str(), 1);
    setenv("TVX_SYSLOG_CONF", Path("none").c_str(), 1);
    setenv("TVX_STATE_FILE", Path("state").c_str(), 1);
    setenv("HOV_SITUATIONS", Path("situations").c_str(), 1);
    setenv("HOV_EVENTS", Path("events.jsonl").c_str(), 1);
    setenv("HOV_SOCKET", Path("agent.sock").c_str(), 1);
    setenv("HOV_TRACE_FILE", (Dir + "/trace" + std::to_string(run) + ".log").c_str(), 1);
    setenv("JOP_WEX1", getenv("QOR_BENCH_TRACE") != nullptr ? getenv("QOR_BENCH_TRACE") : "ERROR", 1);
    execl(QORAGENT_PATH, QORAGENT_PATH, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int Reap(pid_t pid) {
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
}

// The size of the events file: growing while events still arrive.
size_t EventBytes() {
  struct stat st;
  return stat(Path("events.jsonl").c_str(), &st) == 0
             ? static_cast<size_t>(st.st_size)
             : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? atol(argv[1]) : 1000000;
  const long rate = argc > 2 ? atol(argv[2]) : 20000;
  const long rotate_seconds = argc > 3 ? atol(argv[3]) : 2;
  const char* tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qorbench.XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) {
    perror("mkdtemp");
    return 2;
  }
  Dir = templ;
  const std::string log = Path("soak.log");
  Append(log, "");
  Append(Path("agent.conf"), log + " ;N ;S\n");
  Append(Path("situations"), "all VXLOGENT ENTRYDESC ~ \"line s\"\n");

  int run = 1;
  pid_t agent = StartAgent(run);
  // Monitoring starts at the end of the file the first time: let the agent
  // look before the first number.
  std::this_thread::sleep_for(std::chrono::seconds(2));

  const long per_tick = rate / 100 > 0 ? rate / 100 : 1;  // every 10 ms
  long written = 0;
  int rotations = 0;
  bool sigterm_done = false, kill_done = false;
  long sigterm_line = 0, kill_line = 0;
  // Where each agent's events end in the events file: a number that
  // arrives again is a double of the run whose part holds the repeat.
  size_t run_ends[2] = {0, 0};
  const auto start = Clock::now();
  auto next_rotation = start + std::chrono::seconds(rotate_seconds);
  auto next_tick = start;
  std::string late_target;  // the rotated file the writer still appends to
  int late_ticks = 0;
  char stamp[32];
  while (written < lines) {
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tm);
    std::string chunk;
    for (long i = 0; i < per_tick && written < lines; ++i) {
      chunk += std::string(stamp) + " writer seq: line s " + std::to_string(++written) + "\n";
    }
    Append(late_ticks > 0 ? late_target : log, chunk);
    if (late_ticks > 0) {
      --late_ticks;
    }
    if (Clock::now() >= next_rotation) {
      late_target = log + "." + std::to_string(++rotations);
      rename(log.c_str(), late_target.c_str());
      Append(log, "");
      late_ticks = 20;  // 200 ms of late writes to the old file
      next_rotation += std::chrono::seconds(rotate_seconds);
      if (rotations > 3) {
        unlink((log + "." + std::to_string(rotations - 3)).c_str());
      }
    }
    if (!sigterm_done && written >= lines / 3) {
      kill(agent, SIGTERM);
      printf("SIGTERM restart at line %ld: exit status %d\n", written, Reap(agent));
      run_ends[0] = EventBytes();
      agent = StartAgent(++run);
      sigterm_done = true;
      sigterm_line = written;
    } else if (!kill_done && written >= 2 * lines / 3) {
      kill(agent, SIGKILL);
      Reap(agent);
      printf("kill -9 restart at line %ld\n", written);
      run_ends[1] = EventBytes();
      agent = StartAgent(++run);
      kill_done = true;
      kill_line = written;
    }
    next_tick += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next_tick);
  }
  const double seconds =
      std::chrono::duration<double>(Clock::now() - start).count();
  // Done when the events stop growing for ten seconds.
  size_t seen = EventBytes(), last = 0;
  int quiet = 0;
  auto last_growth = Clock::now();
  while (quiet < 10) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    last = seen;
    seen = EventBytes();
    quiet = seen == last ? quiet + 1 : 0;
    if (seen != last) {
      last_growth = Clock::now();
    }
  }
  const double drained =
      std::chrono::duration<double>(last_growth - start).count() - seconds;
  kill(agent, SIGTERM);
  Reap(agent);

  // The agents' processor time (all were reaped).
  struct rusage usage;
  getrusage(RUSAGE_CHILDREN, &usage);
  const double cpu =
      static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) /
          1e6;

  // Three phases: up to the SIGTERM restart, up to the kill -9 restart, the
  // rest. A number belongs to the phase it was written in; a corrupted
  // entry to the phase of the last good number before it; a repeat to the
  // run of the agent that sent it (an agent that lags repeats, after a
  // kill -9, lines written before the SIGTERM restart).
  const long bounds[3] = {sigterm_line, kill_line, lines};
  const auto phase_of = [&](long n) {
    return n <= bounds[0] ? 0 : n <= bounds[1] ? 1 : 2;
  };
  std::vector<unsigned char> count(static_cast<size_t>(lines) + 1, 0);
  long corrupted[3] = {0, 0, 0}, doubled[3] = {0, 0, 0}, events = 0,
       last_good = 0;
  const std::string text = Slurp(Path("events.jsonl"));
  const std::string key = "\"ENTRYDESC\":\"line s ";
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    ++events;
    const char* p = text.c_str() + at + key.size();
    char* end = nullptr;
    const long n = strtol(p, &end, 10);
    if (end == p || *end != '"' || n < 1 || n > lines) {
      ++corrupted[phase_of(last_good)];
    } else {
      last_good = n;
      if (count[static_cast<size_t>(n)] > 0) {
        ++doubled[at < run_ends[0] ? 0 : at < run_ends[1] ? 1 : 2];
      }
      if (count[static_cast<size_t>(n)] < 255) {
        ++count[static_cast<size_t>(n)];
      }
    }
  }
  long lost[3] = {0, 0, 0};
  for (long n = 1; n <= lines; ++n) {
    lost[phase_of(n)] += count[static_cast<size_t>(n)] == 0;
  }
  printf(
      "lines %ld in %.1f s (%.0f lines/s), %d rotations every %ld s, events %ld, "
      "all read %.1f s after the last line; agent CPU %.1f s (%.0f us a line)\n",
      lines, seconds, static_cast<double>(lines) / seconds, rotations,
      rotate_seconds, events, drained, cpu,
      cpu * 1e6 / static_cast<double>(lines));
  const char* const names[3] = {"before the SIGTERM restart",
                                "SIGTERM to kill -9",
                                "after the kill -9 restart"};
  const char* const runs[3] = {"first run", "run after the SIGTERM restart",
                               "run after the kill -9 restart"};
  for (int i = 0; i < 3; ++i) {
    printf(
        "  %-27s lines %7ld: lost %ld corrupted %ld; doubled by the %s %ld\n",
        names[i], bounds[i] - (i == 0 ? 0 : bounds[i - 1]), lost[i],
        corrupted[i], runs[i], doubled[i]);
  }
  printf("lines written in one save interval: %ld\n", 2 * rate);
  const long lost_all = lost[0] + lost[1] + lost[2];
  const long corrupted_all = corrupted[0] + corrupted[1] + corrupted[2];
  // Only the kill -9 may repeat (what was read since the last save).
  const bool clean =
      lost_all == 0 && corrupted_all == 0 && doubled[0] == 0 && doubled[1] == 0;
  if (clean) {
    const auto remove_entry = [](const char* path, const struct stat*, int, struct FTW*) {
      return remove(path);
    };
    if (nftw(Dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0) {
      printf("could not remove %s\n", Dir.c_str());
    }
  } else {
    printf("directory %s left for inspection\n", Dir.c_str());
  }
  return clean ? 0 : 1;
}
