// The runtime's trace facility.
//
// Every source unit registers once with WEX1_Sync and keeps the handle in a
// file-level static; level tests and prints go through that handle so that
// levels can differ per unit. Levels come from JOP_WEX1 (blank-separated items
// "LEVELS" or "LABEL:LEVELS"; LEVELS is a hex number or ERROR, ENTRY, FLOW,
// DETAIL, ALL joined by ',' or '|'). Records go to standard error or to the
// file named by HOV_TRACE_FILE, one whole record per print under one lock:
//   [YYYY-MM-DD HH:MM:SS.mmm tid UNIT]<message text as given>
// All functions are thread-safe and may be called during static initialisation.
#ifndef QOR_FRAMEWORK_RUNTIME_TRACE_H_
#define QOR_FRAMEWORK_RUNTIME_TRACE_H_

#include <stdarg.h>
#include <stdio.h>

#include <atomic>
#include <string>

constexpr unsigned WEX1_ERROR = 0x80;
constexpr unsigned WEX1_ENTRY = 0x40;
constexpr unsigned WEX1_FLOW = 0x10;
constexpr unsigned WEX1_BIT08 = 0x08;
constexpr unsigned WEX1_BIT04 = 0x04;
constexpr unsigned WEX1_DETAIL = 0x01;

// A registered unit. In the header so that the common level test (the
// level off) costs no call.
struct WEX1_Unit {
  std::string source;
  std::string label;
  unsigned default_levels;
  std::atomic<unsigned> levels;
};
using WEX1_Handle = WEX1_Unit*;

// Registers a source unit; never returns null. Registering the same label
// twice yields two handles that share the label's levels.
WEX1_Handle WEX1_Sync(const char* source, const char* date, const char* time,
                      const char* label);
// As WEX1_Sync, but the unit uses `default_levels` while JOP_WEX1 names
// neither it nor all units (a program's main unit, e.g. the mapper's 0x0C).
WEX1_Handle WEX1_SyncDefault(const char* source, const char* date,
                             const char* time, const char* label,
                             unsigned default_levels);

// True when any bit of `level` is on for the unit. The rest of the test,
// once a level is on, is out of line.
bool WEX1_OnSlow(WEX1_Handle h, unsigned level);
inline bool WEX1_On(WEX1_Handle h, unsigned level) {
  return h != nullptr &&
         (h->levels.load(std::memory_order_relaxed) & level) != 0 &&
         WEX1_OnSlow(h, level);
}
unsigned WEX1_Levels(WEX1_Handle h);

// Writes one record unconditionally (callers test the level first; see
// WEX1_TRACE). A record longer than the internal buffer is cut.
void WEX1_Printf(WEX1_Handle h, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void WEX1_VPrintf(WEX1_Handle h, const char* format, va_list ap);

// The usual form: print `...` when `level` is on for the unit.
#define WEX1_TRACE(h, level, ...)    \
  do {                               \
    if (WEX1_On((h), (level))) {     \
      WEX1_Printf((h), __VA_ARGS__); \
    }                                \
  } while (0)

// While alive and `active`, this thread's ERROR records are held back and
// counted instead of written: for callers that bound how often a message
// repeated by hostile input reaches the trace.
class WEX1_Quiet {
 public:
  explicit WEX1_Quiet(bool active);
  ~WEX1_Quiet();
  WEX1_Quiet(const WEX1_Quiet&) = delete;
  WEX1_Quiet& operator=(const WEX1_Quiet&) = delete;
  // Records held back by this guard so far.
  unsigned long Held() const;

 private:
  bool active_;
  unsigned long before_;
};

// Entry/exit guard: announces entry on construction and exit (with the result,
// when Result() was called) on destruction, only while 0x40 is on.
class WEX1_Event {
 public:
  WEX1_Event(WEX1_Handle h, const char* function)
      : h_(h), function_(function), on_(WEX1_On(h, WEX1_ENTRY)) {
    if (on_) {
      Enter();
    }
  }
  ~WEX1_Event() {
    if (on_) {
      Exit();
    }
  }
  WEX1_Event(const WEX1_Event&) = delete;
  WEX1_Event& operator=(const WEX1_Event&) = delete;

  // Records the function's result for the exit line; returns it unchanged.
  long Result(long rc) {
    rc_ = rc;
    has_rc_ = true;
    return rc;
  }

 private:
  void Enter();
  void Exit();

  WEX1_Handle h_;
  const char* function_;
  long rc_ = 0;
  bool has_rc_ = false;
  bool on_;
};

// Applies a JOP_WEX1-style control text to every unit, present and future.
// Unknown items are reported once on the sink and ignored. Null or empty
// resets every unit to its default. Returns false when an item was unknown.
bool WEX1_Configure(const char* control);
// Parses one LEVELS text ("0x91", "ERROR,FLOW", "ALL"); false when malformed.
bool WEX1_ParseLevels(const char* text, unsigned* levels);

// Routes records to `f` (not owned; null restores standard error).
void WEX1_SetSink(FILE* f);
// Opens `path` for appending (mode 0640) and routes records to it.
bool WEX1_OpenSink(const char* path, std::string* err);
// Opens the file the records go to again, by its name (after it was
// rotated); nothing when they go to a stream the caller gave. False, with
// the old file kept, when it cannot be opened.
bool WEX1_ReopenSink(std::string* err);

// Starts each line of the records written to a stream (standard error, or
// one given to WEX1_SetSink; never the trace file) with its syslog priority:
// <3> error, <6> flow and the rest, <7> detail and entry/exit. Set at start
// from HOV_TRACE_PREFIX ("syslog"; any other value: off) or, without it,
// when standard error is the journal's stream (JOURNAL_STREAM).
void WEX1_SetSyslogPrefix(bool on);

// Test seam: when set, every record is also handed to `hook` (label and text
// without the header), under the sink lock.
using WEX1_Hook = void (*)(void* ctx, const char* label, const char* text);
void WEX1_SetHook(WEX1_Hook hook, void* ctx);

#endif  // QOR_FRAMEWORK_RUNTIME_TRACE_H_
