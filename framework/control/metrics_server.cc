// The metrics endpoint: serves the agent's counters over HTTP
// (scrape_listener).
#include "framework/control/metrics_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include "framework/control/scrape_listener.h"
#include "framework/events/event_sink.h"
#include "framework/runtime/trace.h"
#include "framework/situations/action_runner.h"
#include "framework/situations/situation_registry.h"
#include "util/posix_mutex.h"
#include "util/unique_file.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

#ifndef QOR_VERSION
#define QOR_VERSION "unknown"
#endif

const char kTextFormat[] = "text/plain; version=0.0.4; charset=utf-8";

struct Server_State {
  Posix_Mutex mu;
  std::unique_ptr<Scrape_Listener> listener GUARDED_BY(mu);
  std::string status GUARDED_BY(mu) = "off";
  Log_Metrics_Source source GUARDED_BY(mu) = nullptr;
};

Server_State& State() {
  static auto* s =
      new Server_State;  // the listener's thread may outlive main's statics
  return *s;
}

// A label value or HELP text of the exposition format: backslash, newline
// and (in label values) the double quote escaped.
void AppendEscaped(std::string* out, const std::string& text, bool label) {
  for (const char c : text) {
    if (c == '\\') {
      out->append("\\\\");
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c == '"' && label) {
      out->append("\\\"");
    } else {
      out->push_back(c);
    }
  }
}

// Appends the samples of one metric family; families without samples are
// left out.
class Family_Writer {
 public:
  Family_Writer(std::string* out, const char* name, const char* type,
                const char* help)
      : out_(out), name_(name), type_(type), help_(help) {}

  void Sample(const char* label, const std::string& value_of_label,
              double value) {
    Sample2(label, value_of_label, nullptr, std::string(), value);
  }
  void Sample2(const char* label, const std::string& value_of_label,
               const char* label2, const std::string& value_of_label2,
               double value) {
    Header();
    out_->append(name_);
    if (label != nullptr) {
      out_->append("{").append(label).append("=\"");
      AppendEscaped(out_, value_of_label, true);
      out_->push_back('"');
      if (label2 != nullptr) {
        out_->append(",").append(label2).append("=\"");
        AppendEscaped(out_, value_of_label2, true);
        out_->push_back('"');
      }
      out_->push_back('}');
    }
    char number[64];
    snprintf(number, sizeof number, " %.17g\n", value);
    out_->append(number);
  }
  void Sample(double value) { Sample(nullptr, std::string(), value); }

 private:
  void Header() {
    if (started_) {
      return;
    }
    started_ = true;
    out_->append("# HELP ").append(name_).append(" ");
    AppendEscaped(out_, help_, false);
    out_->append("\n# TYPE ")
        .append(name_)
        .append(" ")
        .append(type_)
        .append("\n");
  }

  std::string* out_;
  const char* name_;
  const char* type_;
  const char* help_;
  bool started_ = false;
};

// The first line of /proc/self/stat split after the command name: fields
// from the state (field 3) on; empty when it cannot be read.
std::vector<std::string> ProcStatFields() {
  std::vector<std::string> fields;
  Unique_File f(fopen("/proc/self/stat", "re"));
  char line[1024];
  if (f == nullptr || fgets(line, sizeof line, f.get()) == nullptr) {
    return fields;
  }
  const char* p = strrchr(line, ')');
  if (p == nullptr) {
    return fields;
  }
  char* save = nullptr;
  std::string rest(p + 1);
  for (char* t = strtok_r(&rest[0], " \n", &save); t != nullptr;
       t = strtok_r(nullptr, " \n", &save)) {
    fields.push_back(t);
  }
  return fields;
}

long long BootTime() {
  Unique_File f(fopen("/proc/stat", "re"));
  char line[256];
  while (f != nullptr && fgets(line, sizeof line, f.get()) != nullptr) {
    long long btime = 0;
    if (sscanf(line, "btime %lld", &btime) == 1) {
      return btime;
    }
  }
  return -1;
}

// The descriptors open in the process, and the inotify watches of those
// that are inotify instances.
void CountDescriptors(Process_Metrics* p) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return;
  }
  long fds = 0;
  long watches = 0;
  const int own = dirfd(dir);
  while (const struct dirent* e = readdir(dir)) {
    const int fd = atoi(e->d_name);
    if (e->d_name[0] == '.' || fd == own) {
      continue;
    }
    ++fds;
    char path[64];
    char target[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) {
      continue;
    }
    target[n] = '\0';
    if (strcmp(target, "anon_inode:inotify") != 0) {
      continue;
    }
    snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    Unique_File info(fopen(path, "re"));
    char line[512];
    while (info != nullptr && fgets(line, sizeof line, info.get()) != nullptr) {
      if (strncmp(line, "inotify wd:", 11) == 0) {
        ++watches;
      }
    }
  }
  closedir(dir);
  p->open_fds = fds;
  p->inotify_watches = watches;
}

Process_Metrics ReadProcess() {
  Process_Metrics p;
  const std::vector<std::string> stat = ProcStatFields();
  // Fields 20 (num_threads) and 22 (starttime, clock ticks after boot).
  if (stat.size() > 19) {
    p.threads = atol(stat[17].c_str());
    const long ticks = sysconf(_SC_CLK_TCK);
    const long long boot = BootTime();
    if (ticks > 0 && boot >= 0) {
      p.start_time =
          static_cast<double>(boot) + strtod(stat[19].c_str(), nullptr) / ticks;
    }
  }
  Unique_File statm(fopen("/proc/self/statm", "re"));
  long long size = 0;
  long long resident = 0;
  if (statm != nullptr &&
      fscanf(statm.get(), "%lld %lld", &size, &resident) == 2) {
    p.rss_bytes = resident * sysconf(_SC_PAGESIZE);
  }
  CountDescriptors(&p);
  return p;
}

// GET /metrics and GET /healthz; any other path is not found.
void Handle(const std::string& path, int* status, std::string* type,
            std::string* body) {
  if (path != "/metrics" && path != "/healthz") {
    return;
  }
  const Metrics_Snapshot snapshot = Metrics_Server::Snapshot();
  if (path == "/metrics") {
    *status = 200;
    *type = kTextFormat;
    *body = Metrics_Server::Format(snapshot);
    return;
  }
  const std::vector<std::string> problems = Metrics_Server::Problems(snapshot);
  *status = problems.empty() ? 200 : 503;
  *body = problems.empty() ? "ok\n" : "";
  for (const std::string& p : problems) {
    *body += p + "\n";
  }
}

}  // namespace

bool Metrics_Server::ParseSpec(const std::string& spec, std::string* listen,
                               std::string* err) {
  const size_t colon = spec.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *err = "HOV_METRICS \"" + spec + "\" is not ADDRESS:PORT";
    return false;
  }
  std::string address = spec.substr(0, colon);
  const std::string port = spec.substr(colon + 1);
  bool v6 = false;
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
    v6 = true;
  }
  unsigned char bytes[16];
  if (inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(), bytes) != 1) {
    *err = "HOV_METRICS \"" + spec + "\": \"" + address +
           "\" is not a numeric " + (v6 ? "IPv6" : "IPv4") +
           " address (IPv6 in brackets)";
    return false;
  }
  char* end = nullptr;
  const long n = port.empty() || port[0] < '0' || port[0] > '9'
                     ? -1
                     : strtol(port.c_str(), &end, 10);
  if (n < 1 || n > 65535 || *end != '\0') {
    *err = "HOV_METRICS \"" + spec +
           "\": the port is not a number from 1 to 65535";
    return false;
  }
  *listen = v6 ? "[" + address + "]:" + port : address + ":" + port;
  return true;
}

bool Metrics_Server::Start(const char* spec, std::string* err) {
  if (spec == nullptr || *spec == '\0') {
    return true;
  }
  std::string listen;
  if (!ParseSpec(spec, &listen, err)) {
    return false;
  }
  Server_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  if (s.listener != nullptr) {
    return true;
  }
  const bool v6 = listen[0] == '[';
  const size_t colon = listen.rfind(':');
  const std::string address =
      v6 ? listen.substr(1, colon - 2) : listen.substr(0, colon);
  const int port = atoi(listen.c_str() + colon + 1);
  // One thread polls every connection: a client that sends its request
  // slowly, or many of them, never holds up another's scrape.
  auto listener = std::make_unique<Scrape_Listener>();
  std::string why;
  if (!listener->Start(address, v6, port, Handle, &why)) {
    why = std::string("cannot listen on ") + spec + ": " + why;
    WEX1_TRACE(wex1, WEX1_ERROR, "\nMetrics not served: %s", why.c_str());
    s.status = "error: " + why;
    return true;
  }
  s.listener = std::move(listener);
  s.status = "http://" + listen;
  WEX1_TRACE(wex1, WEX1_FLOW, "\nMetrics served on %s.", s.status.c_str());
  return true;
}

void Metrics_Server::Stop() {
  std::unique_ptr<Scrape_Listener> listener;
  {
    Server_State& s = State();
    Posix_Mutex::Hold g(&s.mu);
    listener = std::move(s.listener);
    if (listener != nullptr) {
      s.status = "off";
    }
  }
  // Ends its thread at once; a scrape in progress takes no lock of ours.
  listener.reset();
}

void Metrics_Server::SetLogSource(Log_Metrics_Source source) {
  Server_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  s.source = source;
}

std::string Metrics_Server::Status() {
  Server_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  return s.status;
}

Metrics_Snapshot Metrics_Server::Snapshot() {
  Metrics_Snapshot snap;
  Log_Metrics_Source source;
  {
    Server_State& s = State();
    Posix_Mutex::Hold g(&s.mu);
    source = s.source;
  }
  if (source != nullptr) {
    source(&snap.logs);
  }
  for (const Situation_Info& i : Situation_Registry::Instance().List()) {
    Situation_Metrics m;
    m.name = i.name;
    m.matched = i.matched;
    m.dispatched = i.dispatched;
    m.suppressed = i.suppressed;
    if (i.remembers) {
      m.open_pairs = static_cast<int64_t>(i.open_pairs);
      m.firing = static_cast<int64_t>(i.firing);
    }
    snap.situations.push_back(std::move(m));
  }
  // One series per output, each with its own queue.
  for (const Event_Output_Counts& o : Event_Sink::OutputCounts()) {
    Sink_Metrics sink;
    sink.name = o.name;
    sink.written = o.written;
    sink.lost = LostEvents(o);
    sink.dropped = o.dropped;
    sink.rejected = o.rejected;
    sink.retried = o.retried;
    sink.pending = o.pending;
    sink.writing = o.writing;
    if (o.alerts) {
      sink.alerts_connected = o.connected ? 1 : 0;
      sink.alerts_firing = static_cast<int64_t>(o.firing);
      sink.alerts_sent = static_cast<int64_t>(o.acknowledged);
      sink.alert_posts_failed = static_cast<int64_t>(o.failed_attempts);
    }
    snap.sinks.push_back(std::move(sink));
  }
  snap.actions_run = Action_Runner::Run();
  snap.actions_failed = Action_Runner::Failed();
  snap.actions_dropped = Action_Runner::Dropped();
  snap.process = ReadProcess();
  snap.version = QOR_VERSION;
  return snap;
}

// One family of a sample for each of `items`, labelled `label` with the
// item's `key` and valued by `value`; an item whose value is negative (not
// known) has none, and a family without samples is left out.
template <typename Item, typename Value>
void WriteFamily(std::string* out, const char* name, const char* type,
                 const char* help, const std::vector<Item>& items,
                 const char* label, const std::string Item::*key, Value value) {
  Family_Writer f(out, name, type, help);
  for (const Item& item : items) {
    const double v = value(item);
    if (v >= 0) {
      f.Sample(label, item.*key, v);
    }
  }
}

std::string Metrics_Server::Format(const Metrics_Snapshot& s) {
  std::string out;
  out.reserve(4096 + s.logs.size() * 1024 + s.situations.size() * 256);
  const auto d = [](uint64_t v) { return static_cast<double>(v); };
  WriteFamily(
      &out, "qoragent_log_lines_total", "counter",
      "Lines (records, journal entries) read from the log, formatted or not.",
      s.logs, "log", &Log_Metrics::path,
      [&](const Log_Metrics& l) { return d(l.lines); });
  WriteFamily(
      &out, "qoragent_log_read_bytes_total", "counter",
      "Bytes read from the log while monitoring (not counted for journal logs).",
      s.logs, "log", &Log_Metrics::path,
      [&](const Log_Metrics& l) { return d(l.bytes); });
  WriteFamily(
      &out, "qoragent_log_entries_total", "counter",
      "Entries of the log made into VXLOGENT rows and offered to the situations.",
      s.logs, "log", &Log_Metrics::path,
      [&](const Log_Metrics& l) { return d(l.entries); });
  WriteFamily(&out, "qoragent_log_format_errors_total", "counter",
              "Entries of the log that did not format.", s.logs, "log",
              &Log_Metrics::path,
              [&](const Log_Metrics& l) { return d(l.format_errors); });
  WriteFamily(&out, "qoragent_log_events_total", "counter",
              "Events raised by the entries of the log.", s.logs, "log",
              &Log_Metrics::path,
              [&](const Log_Metrics& l) { return d(l.events); });
  WriteFamily(&out, "qoragent_log_lost_files_total", "counter",
              "Rotated files of the log let go unread while delivery "
              "waited (rotated more often than files are kept).",
              s.logs, "log", &Log_Metrics::path,
              [&](const Log_Metrics& l) { return d(l.lost_files); });
  WriteFamily(&out, "qoragent_log_lost_bytes_total", "counter",
              "Bytes of the rotated files let go unread while delivery "
              "waited.",
              s.logs, "log", &Log_Metrics::path,
              [&](const Log_Metrics& l) { return d(l.lost_bytes); });
  WriteFamily(&out, "qoragent_log_cut_lines_total", "counter",
              "Lines of the log longer than the longest kept "
              "(TVX_MAX_LINE), cut to that length.",
              s.logs, "log", &Log_Metrics::path,
              [&](const Log_Metrics& l) { return d(l.cut_lines); });
  WriteFamily(&out, "qoragent_log_size_bytes", "gauge", "Size of the log file.",
              s.logs, "log", &Log_Metrics::path,
              [](const Log_Metrics& l) { return static_cast<double>(l.size); });
  WriteFamily(&out, "qoragent_log_lag_bytes", "gauge",
              "Bytes of the log file not read yet.", s.logs, "log",
              &Log_Metrics::path,
              [](const Log_Metrics& l) { return static_cast<double>(l.lag); });
  WriteFamily(&out, "qoragent_log_last_entry_age_seconds", "gauge",
              "Seconds since the last entry was read from the log.", s.logs,
              "log", &Log_Metrics::path,
              [](const Log_Metrics& l) { return static_cast<double>(l.idle); });
  WriteFamily(&out, "qoragent_log_up", "gauge",
              "1 while the log is monitored, 0 when it is stopped or in error.",
              s.logs, "log", &Log_Metrics::path,
              [&](const Log_Metrics& l) { return l.running ? 1 : 0; });
  {
    Family_Writer f(&out, "qoragent_log_status_info", "gauge",
                    "The log's monitoring status text, as VXMONLOG shows it.");
    for (const Log_Metrics& l : s.logs) {
      f.Sample2("log", l.path, "status", l.status, 1);
    }
  }
  WriteFamily(&out, "qoragent_situation_rows_matched_total", "counter",
              "Rows that met the situation's condition.", s.situations,
              "situation", &Situation_Metrics::name,
              [&](const Situation_Metrics& m) { return d(m.matched); });
  WriteFamily(&out, "qoragent_situation_events_dispatched_total", "counter",
              "Events the situation dispatched.", s.situations, "situation",
              &Situation_Metrics::name,
              [&](const Situation_Metrics& m) { return d(m.dispatched); });
  WriteFamily(&out, "qoragent_situation_events_suppressed_total", "counter",
              "Events of the situation held back by its THROTTLE clause.",
              s.situations, "situation", &Situation_Metrics::name,
              [&](const Situation_Metrics& m) { return d(m.suppressed); });
  WriteFamily(&out, "qoragent_situation_open_pairs", "gauge",
              "Pairs of the situation waiting for their second row.",
              s.situations, "situation", &Situation_Metrics::name,
              [](const Situation_Metrics& m) {
                return static_cast<double>(m.open_pairs);
              });
  WriteFamily(
      &out, "qoragent_situation_firing_alerts", "gauge",
      "Alerts of the situation firing (absent keys included).", s.situations,
      "situation", &Situation_Metrics::name,
      [](const Situation_Metrics& m) { return static_cast<double>(m.firing); });
  WriteFamily(&out, "qoragent_sink_events_written_total", "counter",
              "Events every output of the sink took.", s.sinks, "sink",
              &Sink_Metrics::name,
              [&](const Sink_Metrics& m) { return d(m.written); });
  WriteFamily(&out, "qoragent_sink_events_retried_total", "counter",
              "Events sent to the sink again after a failed attempt (not "
              "lost: each is sent until it arrives).",
              s.sinks, "sink", &Sink_Metrics::name,
              [&](const Sink_Metrics& m) { return d(m.retried); });
  WriteFamily(&out, "qoragent_sink_events_lost_total", "counter",
              "Events the sink gave up: a write that failed for good, "
              "dropped or rejected ones.",
              s.sinks, "sink", &Sink_Metrics::name,
              [&](const Sink_Metrics& m) { return d(m.lost); });
  WriteFamily(&out, "qoragent_sink_events_dropped_total", "counter",
              "Events dropped because the sink's queue stayed full (lost).",
              s.sinks, "sink", &Sink_Metrics::name,
              [&](const Sink_Metrics& m) { return d(m.dropped); });
  WriteFamily(&out, "qoragent_sink_events_rejected_total", "counter",
              "Events the sink's engine refused for good (lost).", s.sinks,
              "sink", &Sink_Metrics::name,
              [&](const Sink_Metrics& m) { return d(m.rejected); });
  WriteFamily(&out, "qoragent_sink_events_pending", "gauge",
              "Events queued for the sink, not written yet.", s.sinks, "sink",
              &Sink_Metrics::name,
              [&](const Sink_Metrics& m) { return d(m.pending); });
  WriteFamily(&out, "qoragent_sink_up", "gauge",
              "1 when the last event reached every output of the sink, else 0.",
              s.sinks, "sink", &Sink_Metrics::name,
              [&](const Sink_Metrics& m) { return m.writing ? 1 : 0; });
  // Alertmanager outputs only (the families are left out without one).
  WriteFamily(&out, "qoragent_alertmanager_connected", "gauge",
              "Whether the Alertmanager answered the last post.", s.sinks,
              "sink", &Sink_Metrics::name, [&](const Sink_Metrics& m) {
                return static_cast<double>(m.alerts_connected);
              });
  WriteFamily(&out, "qoragent_alertmanager_alerts_firing", "gauge",
              "Alerts the Alertmanager is told are firing.", s.sinks, "sink",
              &Sink_Metrics::name, [&](const Sink_Metrics& m) {
                return static_cast<double>(m.alerts_firing);
              });
  WriteFamily(&out, "qoragent_alertmanager_alerts_sent_total", "counter",
              "Alerts the Alertmanager took (each sending counts).", s.sinks,
              "sink", &Sink_Metrics::name, [&](const Sink_Metrics& m) {
                return static_cast<double>(m.alerts_sent);
              });
  WriteFamily(&out, "qoragent_alertmanager_alerts_failed_total", "counter",
              "Alerts in posts that failed (sent again).", s.sinks, "sink",
              &Sink_Metrics::name, [&](const Sink_Metrics& m) {
                return static_cast<double>(m.alert_posts_failed);
              });
  Family_Writer(&out, "qoragent_actions_run_total", "counter",
                "RUN commands run to their end or killed.")
      .Sample(d(s.actions_run));
  Family_Writer(
      &out, "qoragent_actions_failed_total", "counter",
      "RUN commands that failed: not started, a non-zero status, a signal or the "
      "time-out.")
      .Sample(d(s.actions_failed));
  Family_Writer(&out, "qoragent_actions_dropped_total", "counter",
                "RUN commands dropped because too many waited.")
      .Sample(d(s.actions_dropped));
  const Process_Metrics& p = s.process;
  if (p.threads >= 0) {
    Family_Writer(&out, "qoragent_process_threads", "gauge",
                  "Threads of the agent.")
        .Sample(static_cast<double>(p.threads));
  }
  if (p.open_fds >= 0) {
    Family_Writer(&out, "qoragent_process_open_fds", "gauge",
                  "Open file descriptors.")
        .Sample(static_cast<double>(p.open_fds));
    Family_Writer(&out, "qoragent_process_inotify_watches", "gauge",
                  "Inotify watches the agent holds.")
        .Sample(static_cast<double>(p.inotify_watches));
  }
  if (p.rss_bytes >= 0) {
    Family_Writer(&out, "qoragent_process_resident_memory_bytes", "gauge",
                  "Resident memory size in bytes.")
        .Sample(static_cast<double>(p.rss_bytes));
  }
  if (p.start_time >= 0) {
    Family_Writer(&out, "qoragent_process_start_time_seconds", "gauge",
                  "Start time of the process since the epoch in seconds.")
        .Sample(p.start_time);
  }
  Family_Writer(&out, "qoragent_build_info", "gauge",
                "The agent's version, always 1.")
      .Sample("version", s.version, 1);
  return out;
}

std::vector<std::string> Metrics_Server::Problems(const Metrics_Snapshot& s) {
  std::vector<std::string> problems;
  for (const Log_Metrics& l : s.logs) {
    if (!l.running) {
      problems.push_back("log " + l.path + ": " + l.status);
    }
  }
  for (const Sink_Metrics& m : s.sinks) {
    if (!m.writing) {
      problems.push_back("sink " + m.name + ": the last write to it failed");
    }
  }
  return problems;
}
