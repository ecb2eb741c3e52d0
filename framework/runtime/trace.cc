// The runtime's trace facility: registration of source units, trace levels
// and the trace log.
#include "framework/runtime/trace.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "util/append_file.h"
#include "util/posix_mutex.h"
#include "util/process_wide.h"

namespace {

constexpr size_t kRecordMax = 8192;

// Everything the facility shares, built on first use so that units may
// register from static initialisers in any order.
struct Registry {
  Registry();  // notes the sink HOV_TRACE_FILE names

  Posix_Mutex mu;  // the units and the control
  std::vector<WEX1_Unit*> units GUARDED_BY(mu);
  bool configured GUARDED_BY(mu) = false;  // JOP_WEX1 was read
  bool all_set GUARDED_BY(mu) = false;
  unsigned all_levels GUARDED_BY(mu) = WEX1_ERROR;
  std::map<std::string, unsigned> per_label GUARDED_BY(mu);
  Posix_Mutex sink_mu;                       // where records go
  FILE* sink GUARDED_BY(sink_mu) = nullptr;  // null: stderr
  bool owned GUARDED_BY(sink_mu) = false;
  std::string path GUARDED_BY(sink_mu);  // of the owned sink
  // HOV_TRACE_FILE is opened by the first record, so that a run that
  // traces nothing (--help, --version, --check) leaves the file alone.
  bool open_pending GUARDED_BY(sink_mu) = false;
  WEX1_Hook hook GUARDED_BY(sink_mu) = nullptr;
  void* hook_ctx GUARDED_BY(sink_mu) = nullptr;
  // Records on a stream (not on the trace file) start with a syslog
  // priority, "<3>" for an error, so that the journal files them by level.
  bool syslog_prefix GUARDED_BY(sink_mu) = false;
};

// HOV_TRACE_PREFIX=syslog, or unset while standard error is the journal's
// stream (systemd names that stream in JOURNAL_STREAM as "DEVICE:INODE").
bool WantsSyslogPrefix() {
  const char* mode = getenv("HOV_TRACE_PREFIX");
  if (mode != nullptr && *mode != '\0') {
    return strcmp(mode, "syslog") == 0;
  }
  const char* journal = getenv("JOURNAL_STREAM");
  struct stat st;
  unsigned long long dev = 0, ino = 0;
  return journal != nullptr && sscanf(journal, "%llu:%llu", &dev, &ino) == 2 &&
         fstat(STDERR_FILENO, &st) == 0 &&
         static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

Registry::Registry() {
  const char* file = getenv("HOV_TRACE_FILE");
  Posix_Mutex::Hold g(&sink_mu);
  syslog_prefix = WantsSyslogPrefix();
  if (file != nullptr && *file != '\0') {
    open_pending = true;
    path = file;
  }
}

// The sink records go to, opening HOV_TRACE_FILE on first use.
FILE* Sink(Registry& r) REQUIRES(r.sink_mu) {
  if (r.open_pending) {
    r.open_pending = false;
    r.sink = OpenForAppend(r.path.c_str(), "trace file", nullptr);
    r.owned = r.sink != nullptr;
  }
  return r.sink != nullptr ? r.sink : stderr;
}

Registry& R() {
  return ProcessWide<Registry>();
}  // units may trace during exit

unsigned EffectiveLevels(const Registry& r, const WEX1_Unit& u) REQUIRES(r.mu) {
  const auto it = r.per_label.find(u.label);
  if (it != r.per_label.end()) {
    return it->second;
  }
  return r.all_set ? r.all_levels : u.default_levels;
}

// The syslog priority of a record of `level`: 3 (err) for the error level,
// 7 (debug) for detail and entry/exit, 6 (info) for the rest.
int SyslogPriority(unsigned level) {
  if ((level & WEX1_ERROR) != 0) {
    return 3;
  }
  return (level & (WEX1_FLOW | WEX1_BIT04 | WEX1_BIT08)) == 0 && level != 0 ? 7
                                                                            : 6;
}

// With a priority prefix every line of a record starts with it, since the
// journal takes each line as an entry of its own; the message joins the
// header's line.
void WritePrefixed(FILE* out, int priority, const char* head,
                   const char* text) {
  fprintf(out, "<%d>%s", priority, head);
  const char* line = text;
  if (*line == '\n') {
    ++line;
    fputc(' ', out);
  }
  for (const char* nl; (nl = strchr(line, '\n')) != nullptr; line = nl + 1) {
    fwrite(line, 1, static_cast<size_t>(nl - line), out);
    fprintf(out, "\n<%d>", priority);
  }
  fputs(line, out);
}

void WriteRecord(const char* label, const char* text, unsigned level) {
  Registry& r = R();
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  localtime_r(&tv.tv_sec, &tm);
  char head[96];
  snprintf(head, sizeof head, "[%04d-%02d-%02d %02d:%02d:%02d.%03d %ld %s]",
           tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
           tm.tm_sec, static_cast<int>(tv.tv_usec / 1000),
           static_cast<long>(syscall(SYS_gettid)), label);
  // Tracing must not become a cancellation point of a thread that is being
  // cancelled inside a destructor.
  int old_state;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_state);
  r.sink_mu.Lock();
  FILE* out = Sink(r);
  if (r.syslog_prefix && !r.owned) {
    WritePrefixed(out, SyslogPriority(level), head, text);
  } else {
    fputs(head, out);
    fputs(text, out);
  }
  fputc('\n', out);
  fflush(out);
  if (r.hook != nullptr) {
    r.hook(r.hook_ctx, label, text);
  }
  r.sink_mu.Unlock();
  pthread_setcancelstate(old_state, nullptr);
}

WEX1_Unit* Register(const char* source, const char* label,
                    unsigned default_levels) {
  Registry& r = R();
  auto* u = new WEX1_Unit;  // units live as long as the process
  u->source = source != nullptr ? source : "";
  u->label = label != nullptr ? label : "";
  u->default_levels = default_levels;
  r.mu.Lock();
  const bool first = !r.configured;
  r.configured = true;
  r.mu.Unlock();
  if (first) {
    WEX1_Configure(getenv("JOP_WEX1"));
  }
  Posix_Mutex::Hold g(&r.mu);
  u->levels.store(EffectiveLevels(r, *u));
  r.units.push_back(u);
  return u;
}

bool LevelWord(const char* word, size_t n, unsigned* bits) {
  static const struct {
    const char* name;
    unsigned bits;
  } kNames[] = {{"ERROR", WEX1_ERROR}, {"ENTRY", WEX1_ENTRY},
                {"FLOW", WEX1_FLOW},   {"DETAIL", WEX1_DETAIL},
                {"ALL", 0xFF},         {"NONE", 0}};
  for (const auto& k : kNames) {
    if (strlen(k.name) == n && strncasecmp(k.name, word, n) == 0) {
      *bits = k.bits;
      return true;
    }
  }
  return false;
}

}  // namespace

bool WEX1_ParseLevels(const char* text, unsigned* levels) {
  if (text == nullptr || *text == '\0') {
    return false;
  }
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (text[2] == '\0') {
      return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long v = strtoul(text + 2, &end, 16);
    if (errno != 0 || *end != '\0' || v > 0xFF) {
      return false;
    }
    *levels = static_cast<unsigned>(v);
    return true;
  }
  unsigned acc = 0;
  const char* p = text;
  while (true) {
    const size_t n = strcspn(p, ",|");
    unsigned bits = 0;
    if (n == 0 || !LevelWord(p, n, &bits)) {
      return false;
    }
    acc |= bits;
    if (p[n] == '\0') {
      break;
    }
    p += n + 1;
  }
  *levels = acc;
  return true;
}

bool WEX1_Configure(const char* control) {
  Registry& r = R();
  bool all_set = false;
  unsigned all_levels = WEX1_ERROR;
  std::map<std::string, unsigned> per_label;
  std::vector<std::string> unknown;
  const std::string text = control != nullptr ? control : "";
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = text.find_first_not_of(" \t", pos);
    if (start == std::string::npos) {
      break;
    }
    size_t end = text.find_first_of(" \t", start);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string item = text.substr(start, end - start);
    pos = end;
    const size_t colon = item.find(':');
    unsigned levels = 0;
    if (colon == std::string::npos) {
      if (WEX1_ParseLevels(item.c_str(), &levels)) {
        all_set = true;
        all_levels = levels;
        continue;
      }
    } else if (colon > 0 &&
               WEX1_ParseLevels(item.c_str() + colon + 1, &levels)) {
      per_label[item.substr(0, colon)] = levels;
      continue;
    }
    unknown.push_back(item);
  }
  r.mu.Lock();
  r.all_set = all_set;
  r.all_levels = all_levels;
  r.per_label = per_label;
  for (WEX1_Unit* u : r.units) {
    u->levels.store(EffectiveLevels(r, *u));
  }
  r.mu.Unlock();
  for (const std::string& item : unknown) {
    char msg[512];
    snprintf(msg, sizeof msg, "\nJOP_WEX1: unknown item \"%.400s\" ignored.",
             item.c_str());
    WriteRecord("WEX1", msg, WEX1_ERROR);
  }
  return unknown.empty();
}

WEX1_Handle WEX1_Sync(const char* source, const char* /*date*/,
                      const char* /*time*/, const char* label) {
  return Register(source, label, WEX1_ERROR);
}

WEX1_Handle WEX1_SyncDefault(const char* source, const char* /*date*/,
                             const char* /*time*/, const char* label,
                             unsigned default_levels) {
  return Register(source, label, default_levels);
}

namespace {
// WEX1_Quiet's state: guards alive on this thread, records they held back.
thread_local int tQuietDepth = 0;
thread_local unsigned long tQuietHeld = 0;
// The level WEX1_On last found on, on this thread: the level of the record
// printed next (taken by that record; 0: not known).
thread_local unsigned tRecordLevel = 0;
}  // namespace

// The level is on for the unit (WEX1_On tested it).
bool WEX1_OnSlow(WEX1_Handle /*h*/, unsigned level) {
  if (tQuietDepth > 0 && (level & WEX1_ERROR) != 0) {
    ++tQuietHeld;
    return false;
  }
  tRecordLevel = level;
  return true;
}

WEX1_Quiet::WEX1_Quiet(bool active) : active_(active), before_(tQuietHeld) {
  if (active_) {
    ++tQuietDepth;
  }
}

WEX1_Quiet::~WEX1_Quiet() {
  if (active_) {
    --tQuietDepth;
  }
}

unsigned long WEX1_Quiet::Held() const {
  return tQuietHeld - before_;
}

unsigned WEX1_Levels(WEX1_Handle h) {
  return h != nullptr ? h->levels.load(std::memory_order_relaxed) : 0;
}

void WEX1_VPrintf(WEX1_Handle h, const char* format, va_list ap) {
  char text[kRecordMax];
  vsnprintf(text, sizeof text, format, ap);
  const unsigned level = tRecordLevel;
  tRecordLevel = 0;
  WriteRecord(h != nullptr ? h->label.c_str() : "?", text, level);
}

void WEX1_Printf(WEX1_Handle h, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  WEX1_VPrintf(h, format, ap);
  va_end(ap);
}

void WEX1_Event::Enter() {
  tRecordLevel = WEX1_ENTRY;
  WEX1_Printf(h_, "\nEntry: %s", function_);
}

void WEX1_Event::Exit() {
  tRecordLevel = WEX1_ENTRY;
  if (has_rc_) {
    WEX1_Printf(h_, "\nExit: %s, result = %ld", function_, rc_);
  } else {
    WEX1_Printf(h_, "\nExit: %s", function_);
  }
}

void WEX1_SetSink(FILE* f) {
  Registry& r = R();
  Posix_Mutex::Hold g(&r.sink_mu);
  if (r.owned && r.sink != nullptr) {
    fclose(r.sink);
  }
  r.sink = f;
  r.owned = false;
  r.open_pending = false;
}

bool WEX1_OpenSink(const char* path, std::string* err) {
  FILE* f = OpenForAppend(path, "trace file", err);
  if (f == nullptr) {
    return false;
  }
  Registry& r = R();
  Posix_Mutex::Hold g(&r.sink_mu);
  if (r.owned && r.sink != nullptr) {
    fclose(r.sink);
  }
  r.sink = f;
  r.owned = true;
  r.open_pending = false;
  r.path = path;
  return true;
}

bool WEX1_ReopenSink(std::string* err) {
  Registry& r = R();
  std::string path;
  {
    Posix_Mutex::Hold g(&r.sink_mu);
    path = r.owned ? r.path : std::string();
  }
  return path.empty() || WEX1_OpenSink(path.c_str(), err);
}

void WEX1_SetSyslogPrefix(bool on) {
  Registry& r = R();
  Posix_Mutex::Hold g(&r.sink_mu);
  r.syslog_prefix = on;
}

void WEX1_SetHook(WEX1_Hook hook, void* ctx) {
  Registry& r = R();
  Posix_Mutex::Hold g(&r.sink_mu);
  r.hook = hook;
  r.hook_ctx = ctx;
}
