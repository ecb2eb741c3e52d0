// qorctl top: a live view of a running agent, refreshed every second.
#include "tools/qorctl_top.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "tools/control_client.h"
#include "tools/qorctl_command.h"
#include "tools/table_format.h"
#include "util/monotonic_ms.h"

namespace {

constexpr int kRefreshMs = 1000;

// Set by the signal handler of the live view; read by its loop.
volatile sig_atomic_t gTopStop = 0;

void OnStopSignal(int) {
  gTopStop = 1;
}

bool Ask(const std::string& socket, const char* line,
         std::vector<std::vector<Json_Field>>* rows, bool* unreachable,
         std::string* err) {
  const Control_Reply reply =
      SendControlRequest(socket, line, QORCTL_TIMEOUT_MS);
  if (reply.status != Reply_Status::kOk) {
    *unreachable = reply.status == Reply_Status::kUnreachable ||
                   reply.status == Reply_Status::kBroken;
    *err = std::string(line) + ": " + reply.text;
    return false;
  }
  for (const std::string& l : reply.lines) {
    std::vector<Json_Field> fields;
    if (!ParseJsonLine(l, &fields, err)) {
      *unreachable = false;
      *err = std::string(line) + ": a reply line is not a JSON object: " + *err;
      return false;
    }
    rows->push_back(std::move(fields));
  }
  return true;
}

std::string Field(const std::vector<Json_Field>& row, const char* key) {
  const Json_Field* f = FindJsonField(row, key);
  return f != nullptr ? f->text : std::string();
}

// A counter of the row, or -1 when it has none.
long long Counter(const std::vector<Json_Field>& row, const char* key) {
  const Json_Field* f = FindJsonField(row, key);
  if (f == nullptr || f->is_string || f->text.empty()) {
    return -1;
  }
  char* end = nullptr;
  const long long v = strtoll(f->text.c_str(), &end, 10);
  return *end == '\0' ? v : -1;
}

// Per second between two samples, or -1 when either lacks the counter or
// it went back (the agent restarted, or the log was replaced).
double Rate(long long before, long long now, long long ms) {
  if (before < 0 || now < before || ms <= 0) {
    return -1;
  }
  return static_cast<double>(now - before) * 1000.0 / static_cast<double>(ms);
}

std::string RateText(double rate) {
  if (rate < 0) {
    return "-";
  }
  char buf[32];
  snprintf(buf, sizeof buf, rate < 10 ? "%.1f" : "%.0f", rate);
  return buf;
}

std::string CountText(long long v) {
  return v < 0 ? "-" : std::to_string(v);
}

std::string LogKey(const std::vector<Json_Field>& row) {
  return Field(row, "LOGPATH") + Field(row, "LOGNAME");
}

// Cuts each line of `text` to `width` display columns and keeps `height`
// lines (0: no limit).
std::string Fit(const std::string& text, size_t width, size_t height) {
  std::string out;
  size_t lines = 0;
  size_t start = 0;
  while (start < text.size() && (height == 0 || lines < height)) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(start, end - start);
    if (width > 0) {
      // Bytes up to `width` characters (continuation bytes do not count).
      size_t columns = 0, cut = 0;
      for (; cut < line.size(); ++cut) {
        if ((static_cast<unsigned char>(line[cut]) & 0xC0) != 0x80 &&
            columns++ == width) {
          break;
        }
      }
      line.resize(cut);
    }
    out += line + "\n";
    ++lines;
    start = end + 1;
  }
  return out;
}

struct Ordered_Row {
  double rate;
  long long total;
  std::vector<std::string> cells;
};

void SortByActivity(std::vector<Ordered_Row>* rows) {
  std::stable_sort(rows->begin(), rows->end(),
                   [](const Ordered_Row& a, const Ordered_Row& b) {
                     return a.rate != b.rate ? a.rate > b.rate
                                             : a.total > b.total;
                   });
}

std::vector<std::vector<std::string>> Cells(
    const std::vector<Ordered_Row>& rows) {
  std::vector<std::vector<std::string>> cells;
  for (const Ordered_Row& r : rows) {
    cells.push_back(r.cells);
  }
  return cells;
}

// Restores the terminal's modes when the view ends.
class Raw_Terminal {
 public:
  explicit Raw_Terminal(int fd) : fd_(fd) {
    if (isatty(fd_) && tcgetattr(fd_, &saved_) == 0) {
      struct termios raw = saved_;
      raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
      raw.c_cc[VMIN] = 0;
      raw.c_cc[VTIME] = 0;
      active_ = tcsetattr(fd_, TCSANOW, &raw) == 0;
    }
  }
  ~Raw_Terminal() {
    if (active_) {
      tcsetattr(fd_, TCSANOW, &saved_);
    }
  }
  Raw_Terminal(const Raw_Terminal&) = delete;
  Raw_Terminal& operator=(const Raw_Terminal&) = delete;
  bool active() const { return active_; }

 private:
  int fd_;
  struct termios saved_ {};
  bool active_ = false;
};

// Waits up to `ms` for 'q' on `fd` (-1: just waits); true when it came.
bool WaitForQuit(int fd, int ms) {
  const long long deadline = MonotonicMs() + ms;
  while (gTopStop == 0) {
    const long long left = deadline - MonotonicMs();
    if (left <= 0) {
      return false;
    }
    struct pollfd p = {fd, POLLIN, 0};
    const int n = poll(&p, fd >= 0 ? 1 : 0, static_cast<int>(left));
    if (n > 0) {
      char c = 0;
      const ssize_t got = read(fd, &c, 1);
      if (got == 0 || (got == 1 && (c == 'q' || c == 'Q'))) {
        return true;
      }
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool TakeTopSample(const std::string& socket, Top_Sample* s, bool* unreachable,
                   std::string* err) {
  *s = Top_Sample();
  s->ms = MonotonicMs();
  std::vector<std::vector<Json_Field>> ping;
  if (!Ask(socket, "PING", &ping, unreachable, err) ||
      !Ask(socket, "REPORT VXMONLOG", &s->logs, unreachable, err) ||
      !Ask(socket, "SITUATION LIST", &s->situations, unreachable, err)) {
    return false;
  }
  if (!ping.empty()) {
    s->agent = ping[0];
  }
  return true;
}

std::string FormatTop(const Top_Sample* before, const Top_Sample& now,
                      const std::string& socket, size_t width, size_t height) {
  const long long ms = before != nullptr ? now.ms - before->ms : 0;
  const std::vector<Json_Field> none;
  const std::vector<Json_Field>& was = before != nullptr ? before->agent : none;
  const auto agent_rate = [&](const char* key) {
    return RateText(Rate(Counter(was, key), Counter(now.agent, key), ms));
  };
  std::string text = "qoragent " + Field(now.agent, "system") + " pid " +
                     Field(now.agent, "pid") + " at " + socket + "   events " +
                     CountText(Counter(now.agent, "events_written")) + " (" +
                     agent_rate("events_written") + "/s), failed " +
                     CountText(Counter(now.agent, "events_failed")) +
                     ", actions dropped " +
                     CountText(Counter(now.agent, "actions_dropped")) + "\n\n";

  std::map<std::string, const std::vector<Json_Field>*> old_logs;
  if (before != nullptr) {
    for (const auto& row : before->logs) {
      old_logs[LogKey(row)] = &row;
    }
  }
  std::vector<Ordered_Row> logs;
  for (const auto& row : now.logs) {
    const auto it = old_logs.find(LogKey(row));
    const std::vector<Json_Field>& old =
        it != old_logs.end() ? *it->second : none;
    const long long entries = Counter(row, "NUMEVENTS");
    const double lines = Rate(Counter(old, "NUMEVENTS"), entries, ms);
    logs.push_back({lines,
                    entries,
                    {LogKey(row), Field(row, "LOGTYPE"),
                     Field(row, "MONSTATUS"), RateText(lines),
                     CountText(entries), CountText(Counter(row, "NUMERRORS")),
                     RateText(Rate(Counter(old, "NUMERRORS"),
                                   Counter(row, "NUMERRORS"), ms)),
                     ReadableStamp(Field(row, "LOGMODDATE"))}});
  }
  SortByActivity(&logs);
  text += FormatTable({{"LOG", false},
                       {"TYPE", false},
                       {"STATUS", false},
                       {"LINES/S", true},
                       {"LINES", true},
                       {"ERRORS", true},
                       {"ERRORS/S", true},
                       {"CHANGED", false}},
                      Cells(logs));

  std::map<std::string, const std::vector<Json_Field>*> old_situations;
  if (before != nullptr) {
    for (const auto& row : before->situations) {
      old_situations[Field(row, "name")] = &row;
    }
  }
  std::vector<Ordered_Row> situations;
  for (const auto& row : now.situations) {
    const auto it = old_situations.find(Field(row, "name"));
    const std::vector<Json_Field>& old =
        it != old_situations.end() ? *it->second : none;
    // The counts are shown when the agent reports them with the list.
    const long long matches = Counter(row, "matches");
    const double rate = Rate(Counter(old, "matches"), matches, ms);
    const bool stopped = Field(row, "stopped") == "true";
    situations.push_back(
        {rate,
         Counter(row, "events"),
         {Field(row, "name"), Field(row, "table"),
          stopped ? "stopped (reason " + Field(row, "reason") + ")" : "running",
          RateText(rate), CountText(Counter(row, "events")),
          CountText(Counter(row, "suppressed")),
          // Only situations that remember have open pairs and alerts.
          Field(row, "open_pairs").empty()
              ? ""
              : CountText(Counter(row, "open_pairs")),
          Field(row, "firing").empty() ? ""
                                       : CountText(Counter(row, "firing"))}});
  }
  SortByActivity(&situations);
  text += "\n" + FormatTable({{"SITUATION", false},
                              {"TABLE", false},
                              {"STATE", false},
                              {"MATCHES/S", true},
                              {"EVENTS", true},
                              {"SUPPRESSED", true},
                              {"OPEN", true},
                              {"FIRING", true}},
                             Cells(situations));
  return Fit(text, width, height);
}

int QorctlTop(const std::string& socket, FILE* out, FILE* err) {
  const bool live = isatty(fileno(out)) != 0;
  Top_Sample before, now;
  bool unreachable = false;
  std::string why;
  const auto fail = [&]() {
    fprintf(err, "qorctl: the agent at %s: %s\n", socket.c_str(), why.c_str());
    return unreachable ? QORCTL_UNREACHABLE : QORCTL_ERR;
  };
  if (!TakeTopSample(socket, &before, &unreachable, &why)) {
    return fail();
  }
  if (!live) {
    // One view, its rates over one refresh.
    usleep(kRefreshMs * 1000);
    if (!TakeTopSample(socket, &now, &unreachable, &why)) {
      return fail();
    }
    fputs(FormatTop(&before, now, socket, 0, 0).c_str(), out);
    return QORCTL_OK;
  }
  struct sigaction act = {};
  act.sa_handler = OnStopSignal;
  sigemptyset(&act.sa_mask);
  struct sigaction old_int, old_term;
  sigaction(SIGINT, &act, &old_int);
  sigaction(SIGTERM, &act, &old_term);
  int status = QORCTL_OK;
  {
    const Raw_Terminal terminal(STDIN_FILENO);
    const Top_Sample* previous = nullptr;
    now = before;
    while (true) {
      struct winsize ws = {};
      const bool sized =
          ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0;
      const std::string view =
          FormatTop(previous, now, socket, sized ? ws.ws_col : 0,
                    sized && ws.ws_row > 1 ? ws.ws_row - 1u : 0);
      // Home, the view, then clear what the last one left below it.
      fprintf(out, "\033[H\033[2J%s\033[J", view.c_str());
      fflush(out);
      if (WaitForQuit(terminal.active() ? STDIN_FILENO : -1, kRefreshMs)) {
        break;
      }
      before = now;
      previous = &before;
      if (!TakeTopSample(socket, &now, &unreachable, &why)) {
        status = fail();
        break;
      }
    }
  }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  gTopStop = 0;
  return status;
}
