// The metrics endpoint: when HOV_METRICS names ADDRESS:PORT, an HTTP server
// (scrape_listener.h) there answers GET /metrics with the agent's counters in
// the Prometheus text exposition format and GET /healthz with "ok" (200) or one
// line per problem (503).
//
// A scrape gathers a snapshot first (the logs through the source the agent
// registers, which copies atomics under the manager's short request count;
// the situations, event outputs and actions through their own accessors)
// and formats it afterwards, holding no lock, so a slow scraper never holds
// up a worker. The server's one thread polls every connection, each request
// head due within 2 s, so that slow clients never hold up an honest scrape;
// Start and Stop are called by the main thread (hovmain), SetLogSource
// before Start.
#ifndef QOR_FRAMEWORK_CONTROL_METRICS_SERVER_H_
#define QOR_FRAMEWORK_CONTROL_METRICS_SERVER_H_

#include <stdint.h>

#include <string>
#include <vector>

// One monitored log as the metrics show it.
struct Log_Metrics {
  std::string path;
  uint64_t lines = 0;          // lines (records, journal entries) read
  uint64_t bytes = 0;          // bytes read while monitoring
  uint64_t entries = 0;        // of them, entries made into rows
  uint64_t format_errors = 0;  // of them, entries that did not format
  uint64_t events = 0;         // events raised by its entries
  uint64_t lost_files = 0;     // rotated files let go unread (delivery waited)
  uint64_t lost_bytes = 0;     // their bytes never delivered
  uint64_t cut_lines = 0;      // lines longer than the longest kept, cut
  int64_t size = -1;           // bytes; -1 unknown
  int64_t lag = -1;            // bytes behind the end; -1 unknown
  int64_t idle = -1;           // seconds since the last entry; -1 none yet
  bool running = false;
  std::string status;  // the VXMONLOG status text
};

// Fills *logs with every monitored log. Called on a server thread.
using Log_Metrics_Source = void (*)(std::vector<Log_Metrics>* logs);

// What one scrape shows besides the logs.
struct Situation_Metrics {
  std::string name;
  uint64_t matched = 0;
  uint64_t dispatched = 0;
  uint64_t suppressed = 0;
  // A situation that remembers: its open pairs and firing alerts; -1 for
  // the others, which have no such gauges.
  int64_t open_pairs = -1;
  int64_t firing = -1;
};

struct Sink_Metrics {
  std::string name;  // the output: a path, "standard output", "syslog"
  uint64_t written = 0;
  uint64_t lost = 0;      // given up: failed writes, dropped, rejected
  uint64_t dropped = 0;   // of the lost, those its full queue could not take
  uint64_t rejected = 0;  // of the lost, those its engine refused for good
  uint64_t retried = 0;   // sent again after a failed attempt (not lost)
  uint64_t pending = 0;
  bool writing = true;  // its last write went through
  // An Alertmanager's output: -1 for every other.
  int64_t alerts_connected = -1;
  int64_t alerts_firing = -1;
  int64_t alerts_sent = -1;
  int64_t alert_posts_failed = -1;
};

struct Process_Metrics {
  long threads = -1;
  long open_fds = -1;
  int64_t rss_bytes = -1;
  long inotify_watches = -1;
  double start_time = -1;  // seconds since the epoch
};

struct Metrics_Snapshot {
  std::vector<Log_Metrics> logs;
  std::vector<Situation_Metrics> situations;
  std::vector<Sink_Metrics> sinks;
  uint64_t actions_run = 0;
  uint64_t actions_failed = 0;
  uint64_t actions_dropped = 0;
  Process_Metrics process;
  std::string version;
};

class Metrics_Server {
 public:
  // Splits HOV_METRICS ("ADDRESS:PORT", "[IPV6]:PORT") into the
  // listening option; false with *err when it is no such text or the port
  // is not 1-65535.
  [[nodiscard]] static bool ParseSpec(const std::string& spec,
                                      std::string* listen, std::string* err);
  // Starts the server on `spec` (null or empty: off, true). False with *err
  // only when `spec` is invalid; a server that cannot listen there (the
  // port taken, not allowed) is traced once and left off, and Status says
  // why.
  [[nodiscard]] static bool Start(const char* spec, std::string* err);
  // Stops the server, waiting for the scrapes in progress. Idempotent.
  static void Stop();
  static void SetLogSource(Log_Metrics_Source source);
  // For PING: "off", "http://ADDRESS:PORT", or "error: ..." why it is off.
  static std::string Status();

  // The parts of a scrape, public for tests.
  static Metrics_Snapshot Snapshot();
  static std::string Format(const Metrics_Snapshot& s);
  // The /healthz problems: empty when every log runs and every output writes.
  static std::vector<std::string> Problems(const Metrics_Snapshot& s);
};

#endif  // QOR_FRAMEWORK_CONTROL_METRICS_SERVER_H_
