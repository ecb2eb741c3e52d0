// hovmain: starts the runtime's services, loads the agents and situations,
// and runs the heartbeat and sampling loop until shutdown.
#include "framework/control/main_loop.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include "framework/control/control_server.h"
#include "framework/control/fleet_server.h"
#include "framework/control/metrics_server.h"
#include "framework/situations/action_runner.h"
#include "framework/situations/condition.h"
#include "framework/events/event_sink.h"
#include "framework/fleet/fleet_output.h"
#include "framework/situations/situation_registry.h"
#include "framework/tables/table_manager.h"
#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"
#include "util/errno_text.h"
#include "util/posix_mutex.h"
#include "util/process_wide.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

constexpr const char* kVersion = "qoragent 1.0.0";

struct ProcessState {
  Posix_Mutex mu;
  Posix_Cond cv;  // signalled when a shutdown is requested
  bool shutdown GUARDED_BY(mu) = false;
  ZEP_AgentLoader loader GUARDED_BY(mu) = nullptr;
  ZEP_ReadyHook ready GUARDED_BY(mu) = nullptr;
  std::string affinity GUARDED_BY(mu);
  std::string node_type GUARDED_BY(mu);
};

ProcessState& State() {
  return ProcessWide<ProcessState>();
}

// A non-negative number of seconds from the environment, or `fallback`.
long EnvSeconds(const char* name, long fallback) {
  const char* v = getenv(name);
  if (v == nullptr || *v == '\0') {
    return fallback;
  }
  char* end = nullptr;
  errno = 0;
  const long n = strtol(v, &end, 10);
  if (errno != 0 || *end != '\0' || n < 0 || n > 86400 * 365) {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\n%s value \"%s\" is not a number of seconds; using %ld.", name,
               v, fallback);
    return fallback;
  }
  return n;
}

const HOV_EnvHelp kRuntimeEnv[] = {
    {"HOV_EVENTS", "-",
     "where events go, one JSON line each, comma-separated: FILE, - (standard output), syslog or "
     "syslog:FACILITY (\"<PRI>Mmm dd hh:mm:ss qoragent[PID]: EVENT\" to the syslog socket, "
     "facility local0 by default), kafka://HOST:PORT[,...]/TOPIC, nats://HOST:PORT[,...]/SUBJECT, "
     "tls://HOST:PORT[,...]/SUBJECT (JetStream) or otlp+http(s)://HOST:PORT[/PATH][?OPTIONS] "
     "(OpenTelemetry)"},
    {"HOV_DELIVERY_WINDOW", "10000,16M",
     "EVENTS[,SIZE]: events (and bytes) a durable output may hold undelivered before the logs "
     "wait"},
    {"HOV_WHEN_FULL", "wait",
     "wait: the logs stop reading while the delivery window is full; drop: read on, drop (and "
     "count) what does not fit"},
    {"HOV_NATS_STREAM", "none",
     "NAME[,max-age=DURATION][,max-bytes=SIZE]: JetStream stream created for a nats:// output "
     "when missing"},
    {"HOV_SYSLOG_SOCKET", "/dev/log",
     "syslog socket used by the syslog event output"},
    {"HOV_RUN_TIMEOUT", "30",
     "seconds a situation's RUN command may run before it is killed"},
    {"HOV_SITUATIONS", "none", "file of situation definitions loaded at start"},
    {"HOV_SOCKET",
     "$XDG_RUNTIME_DIR/qoragent.sock, /run/qoragent.sock (root) or /tmp/qoragent-UID/qoragent.sock",
     "control socket for qorctl"},
    {"HOV_TRACE_FILE", "standard error", "file that receives the trace"},
    {"HOV_TRACE_PREFIX", "none, or syslog when standard error is the journal",
     "syslog: each trace line on standard error starts with its priority (<3> error, <6> flow, "
     "<7> detail)"},
    {"HOV_HEARTBEAT", "60",
     "seconds between node-status heartbeats (0: only the first)"},
    {"HOV_SAMPLE_INTERVAL", "60",
     "seconds between samples of VXMONLOG and X7SRV.RNODESTS situations"},
    {"HOV_SYSTEM_NAME", "HOST:NODETYPE (the short host name and the node type)",
     "system name reported in every row"},
    {"HOV_METRICS", "unset (off)",
     "ADDRESS:PORT (e.g. 127.0.0.1:9464, [::1]:9464) that serves GET /metrics (Prometheus text "
     "format) and GET /healthz"},
    {"HOV_FLEET", "none",
     "nats://HOST:PORT[,HOST:PORT...]/PREFIX (or tls://): answer fleet reports and keep a roster "
     "entry"},
    {"HOV_FLEET_SITUATIONS", "no",
     "yes: apply the situations kept in the fleet's qoragent_situations bucket beside the "
     "host's own"},
    {"HOV_FLEET_GROUPS", "none",
     "GROUP[,GROUP...]: the fleet groups whose situations this host takes (the first wins)"},
    {"HOV_FLEET_RUN", "deny",
     "allow: take situations with a RUN action from the fleet"},
    {"HOV_NATS_CREDS", "none", "NATS credentials file (a trusted file)"},
    {"HOV_NATS_CA", "none", "CA file for tls:// NATS servers (a trusted file)"},
    {"HOV_KAFKA_PROPERTIES", "none",
     "librdkafka key=value settings for kafka:// event outputs, passed as they are (a trusted "
     "file)"},
    {"HOV_OTLP_HEADERS", "none",
     "\"Name: value\" header lines sent to otlp+http(s):// receivers (a trusted file)"},
    {"HOV_OTLP_CA", "the system's", "CA file for otlp+https:// receivers"},
    {"HOV_ALERTMANAGER", "none",
     "Alertmanager API roots, http(s)://HOST:PORT[/PATH][,...]: alerts are posted to each"},
    {"HOV_ALERTMANAGER_CONFIG", "none",
     "Alertmanager settings: basic_auth, bearer_token, ca_file, resend_interval, "
     "resolve_after (a trusted file)"},
    {"JOP_WEX1", "ERROR",
     "trace levels: LEVELS or LABEL:LEVELS items (0x91, ERROR,FLOW,DETAIL,ENTRY,ALL)"},
    {nullptr, nullptr, nullptr}};

const char kSituationsWhat[] = "situations file";

void PrintEnv(FILE* out, const HOV_EnvHelp* env) {
  for (; env != nullptr && env->name != nullptr; ++env) {
    fprintf(out, "  %-20s %s (default: %s)\n", env->name, env->meaning,
            env->default_value);
  }
}

}  // namespace

int HOV_CommandLine(int argc, char** argv, const HOV_ProgramInfo& info) {
  if (argc <= 1) {
    return -1;
  }
  const std::string arg = argv[1];
  if (argc == 2 && (arg == "--help" || arg == "-h")) {
    printf("Usage: %s%s\n%s\n\n", info.name,
           info.check != nullptr ? " [--check]" : "", info.summary);
    if (info.check != nullptr) {
      printf("--check: %s\n\n", info.check);
    }
    printf("It is configured through the environment:\n");
    PrintEnv(stdout, info.env);
    printf("\nRuntime:\n");
    PrintEnv(stdout, kRuntimeEnv);
    printf(
        "\nSignals: SIGHUP reloads the situations file and re-reads the configuration when it\n"
        "changed; SIGTERM and SIGINT stop; SIGQUIT aborts.\n");
    if (info.manual != nullptr) {
      printf("\nSee %s.\n", info.manual);
    }
    return 0;
  }
  if (argc == 2 && arg == "--version") {
    printf("%s\n", kVersion);
    return 0;
  }
  fprintf(stderr,
          "%s: unexpected argument \"%s\"\nUsage: %s [%s--help | --version]\n",
          info.name, arg.c_str(), info.name,
          info.check != nullptr ? "--check | " : "");
  return 2;
}

void ZEP_RegisterAgentLoader(ZEP_AgentLoader loader) {
  Posix_Mutex::Hold g(&State().mu);
  State().loader = loader;
}

void ZEP_RegisterReadyHook(ZEP_ReadyHook hook) {
  Posix_Mutex::Hold g(&State().mu);
  State().ready = hook;
}

void ZEP_SetAffinity(const char* affinity) {
  Posix_Mutex::Hold g(&State().mu);
  State().affinity = affinity != nullptr ? affinity : "";
}

void ZEP_SetNodeType(const char* type) {
  Posix_Mutex::Hold g(&State().mu);
  State().node_type = type != nullptr ? type : "";
}

const char* RemoteManagerProductAffinity() {
  // The affinity is set once by the loader before any request exists, so
  // the text stays put after the lock is let go.
  Posix_Mutex::Hold g(&State().mu);
  return State().affinity.c_str();
}

void DetermineLocalHost(char* buffer, int len) {
  if (buffer == nullptr || len <= 0) {
    return;
  }
  std::string name;
  const char* fixed = getenv("HOV_SYSTEM_NAME");
  if (fixed != nullptr && *fixed != '\0') {
    name = fixed;
  } else {
    struct utsname u;
    if (uname(&u) == 0) {
      name = u.nodename;
      const size_t dot = name.find('.');
      if (dot != std::string::npos) {
        name.resize(dot);
      }
    } else {
      name = "localhost";
    }
    std::string type;
    const char* env_type = getenv("VANDU_NODETYPE");
    if (env_type != nullptr && *env_type != '\0') {
      type = env_type;
    } else {
      Posix_Mutex::Hold g(&State().mu);
      type = State().node_type.empty() ? "TVX" : State().node_type;
    }
    name += ":" + type;
  }
  snprintf(buffer, static_cast<size_t>(len), "%s", name.c_str());
}

void rpc__shutdown(uint32_t* status) {
  {
    Posix_Mutex::Hold g(&State().mu);
    State().shutdown = true;
  }
  State().cv.Broadcast();
  if (status != nullptr) {
    *status = 0;
  }
}

bool HOV_ShutdownRequested() {
  Posix_Mutex::Hold g(&State().mu);
  return State().shutdown;
}

void ZEP_CopyUnpad(char* dest, const char* value, int length) {
  if (dest == nullptr) {
    return;
  }
  if (value == nullptr || length <= 0) {
    dest[0] = '\0';
    return;
  }
  memcpy(dest, value, static_cast<size_t>(length));
  int n = length;
  while (n > 0 && (dest[n - 1] == ' ' || dest[n - 1] == '\0')) {
    --n;
  }
  dest[n] = '\0';
}

int hovmain(int /*argc*/, char** /*argv*/) {
  ProcessState& st = State();
  std::string err;
  // A reader of the events or of a RUN command's input that goes away must
  // not end the agent: writes to it fail with EPIPE instead, and are counted.
  signal(SIGPIPE, SIG_IGN);
  // A file-size limit (ulimit -f, a unit's LimitFSIZE) reached by the event,
  // trace or state file must not end the agent either: the write fails with
  // EFBIG, is cut back to whole lines and counted like a full disk.
  signal(SIGXFSZ, SIG_IGN);
  if (!HOV_TrustedFile(kSituationsWhat, getenv("HOV_SITUATIONS"), true)) {
    return 1;
  }
  // A situations file the administrator named and that is not there would
  // leave the agent running with nothing to raise events for.
  const char* const named = getenv("HOV_SITUATIONS");
  struct stat named_st;
  if (named != nullptr && *named != '\0' && stat(named, &named_st) != 0 &&
      (errno == ENOENT || errno == ENOTDIR)) {
    const int e = errno;
    char eb[128];
    WEX1_TRACE(wex1, WEX1_ERROR, "\nThe %s %s does not exist. errno = %d; %s",
               kSituationsWhat, named, e, ErrnoText(e, eb, sizeof eb));
    fprintf(stderr, "qoragent: the %s %s does not exist\n", kSituationsWhat,
            named);
    return 1;
  }
  {
    char system[256];
    DetermineLocalHost(system, sizeof system);
    SetFleetLocalHost(system);
  }
  if (!Event_Sink::Open(getenv("HOV_EVENTS"), &err)) {
    fprintf(stderr, "qoragent: %s\n", err.c_str());
    return 1;
  }
  if (!Control_Server::Start(&err)) {
    fprintf(stderr, "qoragent: %s\n", err.c_str());
    return 1;
  }
  // A server that cannot listen is traced and leaves only Status set.
  if (!Metrics_Server::Start(getenv("HOV_METRICS"), &err)) {
    fprintf(stderr, "qoragent: %s\n", err.c_str());
    return 1;
  }
  Fleet_Server fleet;
  if (!fleet.Start(getenv("HOV_FLEET"), kVersion, &err)) {
    fprintf(stderr, "qoragent: %s\n", err.c_str());
    WEX1_TRACE(wex1, WEX1_ERROR, "\n%s", err.c_str());
    Metrics_Server::Stop();
    Control_Server::Stop();
    return 1;
  }
  ZEP_AgentLoader loader;
  {
    Posix_Mutex::Hold g(&st.mu);
    loader = st.loader;
  }
  if (loader != nullptr) {
    loader();
  }

  const char* situations = getenv("HOV_SITUATIONS");
  if (situations != nullptr && *situations != '\0') {
    std::vector<std::string> problems;
    if (!Situation_Registry::Instance().LoadFile(situations, &problems, &err)) {
      WEX1_TRACE(wex1, WEX1_ERROR, "\n%s", err.c_str());
    }
    for (const std::string& p : problems) {
      WEX1_TRACE(wex1, WEX1_ERROR, "\nSituation not loaded: %s", p.c_str());
    }
  }
  fleet.WatchSituations();

  ZEP_ReadyHook ready;
  {
    Posix_Mutex::Hold g(&st.mu);
    ready = st.ready;
  }
  if (ready != nullptr) {
    ready();
  }

  // The heartbeat: a node-status request sampled for the life of the loop.
  vandu* heartbeat =
      HOV_CreateRequest("X7SRV.RNODESTS", "", SAMPLE_REPORT, "", &err);
  const long heartbeat_every = EnvSeconds("HOV_HEARTBEAT", 60);
  const long sample_every = EnvSeconds("HOV_SAMPLE_INTERVAL", 60);
  using Clock = std::chrono::steady_clock;
  auto next_heartbeat = Clock::now();
  auto next_sample = Clock::now();
  constexpr auto kAnnounceEvery = std::chrono::milliseconds(500);
  auto next_announce = Clock::now() + kAnnounceEvery;
  bool heartbeat_done = false;

  st.mu.Lock();
  while (!st.shutdown) {
    const auto now = Clock::now();
    if (heartbeat != nullptr && now >= next_heartbeat &&
        !(heartbeat_done && heartbeat_every == 0)) {
      st.mu.Unlock();
      heartbeat->SetRowCount(0);
      heartbeat->TakeSample();
      heartbeat->SetRowCount(0);
      st.mu.Lock();
      heartbeat_done = true;
      next_heartbeat = now + std::chrono::seconds(
                                 heartbeat_every > 0 ? heartbeat_every : 3600);
    }
    if (now >= next_sample) {
      st.mu.Unlock();
      for (TableManager* m : TableManager::All()) {
        if (m->Table() != "VXLOGENT") {
          m->SampleLive();
        }
      }
      st.mu.Lock();
      next_sample =
          now + std::chrono::seconds(sample_every > 0 ? sample_every : 60);
    }
    if (now >= next_announce) {
      // THROTTLE intervals that ended with events held back are announced
      // within about a second, even when no further row comes.
      st.mu.Unlock();
      const long seconds = static_cast<long>(time(nullptr));
      for (TableManager* m : TableManager::All()) {
        m->AnnounceSuppressed(seconds);
      }
      st.mu.Lock();
      next_announce = now + kAnnounceEvery;
    }
    auto wake = next_sample < next_announce ? next_sample : next_announce;
    if (heartbeat != nullptr && heartbeat_every > 0 && next_heartbeat < wake) {
      wake = next_heartbeat;
    }
    // The steady clock is the monotonic one the condition waits on; a
    // spurious or early wake just goes round the loop again.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now())
            .count();
    if (!st.shutdown && left > 0) {
      st.cv.WaitFor(&st.mu, static_cast<long>(left));
    }
  }
  st.mu.Unlock();

  fleet.Stop();
  Metrics_Server::Stop();
  Control_Server::Stop();
  Situation_Registry::Instance().Clear();
  Action_Runner::Stop();
  vandu::Destroy(heartbeat);
  for (TableManager* m : TableManager::All()) {
    m->Shutdown();
  }
  Event_Sink::Close();
  fflush(stdout);
  return 0;
}

void HOV_ReloadSituations() {
  const char* path = getenv("HOV_SITUATIONS");
  if (path == nullptr || *path == '\0') {
    return;
  }
  std::vector<std::string> problems;
  std::string err;
  if (!Situation_Registry::Instance().Reload(&problems, &err)) {
    WEX1_TRACE(wex1, WEX1_ERROR, "\n%s", err.c_str());
    return;
  }
  for (const std::string& p : problems) {
    WEX1_TRACE(wex1, WEX1_ERROR, "\nSituation not loaded: %s", p.c_str());
  }
  WEX1_TRACE(wex1, WEX1_FLOW, "\nSituations reloaded from %s: %zu defined.",
             path, Situation_Registry::Instance().List().size());
}

void HOV_Refreshed() {
  Event_Sink::Reopen();
}
