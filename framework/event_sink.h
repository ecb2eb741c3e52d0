// The event sink: one JSON line per row a situation dispatches, written to
// the outputs named by HOV_EVENTS (files, standard output, syslog), to the
// EVENTS streams of control clients, and handed to the situation's RUN
// command. Nothing else is written to the outputs.
//
// Dispatching never waits long for an output: lines go through a bounded
// queue to a writer thread; when it is full the dispatching thread waits for
// room while the writer still takes lines, and they are dropped and counted
// only when the writer has taken none for EVENT_STALL_MS, so a full disk or
// a reader that stopped reading never holds up monitoring or a stop.
// Use() (tests, benchmarks) writes to one stream at once instead.
// Thread-safe.
#ifndef QOR_FRAMEWORK_EVENT_SINK_H_
#define QOR_FRAMEWORK_EVENT_SINK_H_

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// Lines that may wait for the writer thread.
constexpr size_t EVENT_QUEUE_MAX = 10000;
// How long a full queue may see no progress before lines are dropped.
constexpr int EVENT_STALL_MS = 2000;

// One event as a situation dispatches it.
struct Event_Record {
  std::string situation;
  std::string table;      // "APPL.TABLE"
  std::string entrytime;  // the row's entry time as RFC 3339; empty: none
  std::string row;        // the row as a JSON object
  bool has_key = false;   // a PER situation's row: "key" is in the event
  std::string key;        // the row's PER key
  long suppressed = 0;    // events of this situation and key THROTTLE held back
  std::string run;        // the situation's RUN command; empty: none
  // "QOR_<COLUMN>=value" items for `run`, each ended by a NUL
  std::string run_env;
};

struct Event_Counts {
  uint64_t written = 0;  // events every output took
  uint64_t failed = 0;   // events an output could not take, or dropped unqueued
  uint64_t dropped = 0;  // of the failed, those dropped unqueued
  uint64_t pending = 0;  // events queued, not yet handed to the outputs
  bool writing = true;  // the last event handed to the outputs reached them all
};

class Event_Sink {
 public:
  // Opens the outputs of `spec` (HOV_EVENTS: comma-separated file paths, "-",
  // "syslog", "syslog:FACILITY"; null or empty: standard output) and starts
  // the writer thread. False with *err when an item is wrong or a file
  // cannot be opened.
  static bool Open(const char* spec, std::string* err);
  // Writes to `f` (not owned) at once, on the dispatching thread; null:
  // standard output.
  static void Use(FILE* f);
  // Writes what is queued (waiting at most a few seconds for an output that
  // blocks) and closes the outputs.
  static void Close();
  // Opens the event files again (after a SIGHUP), on the writer thread.
  static void Reopen();
  // Publishes one event: false when it could not be written (Use) or had
  // to be dropped (queue full).
  static bool Write(const Event_Record& event);
  static Event_Counts Counts();

  // {"time":...,"situation":...,"table":"APPL.TABLE"[,"key":...][,"suppressed":N]
  // [,"entrytime":...][,"row":{...}]}  ("row" left out when `row` is empty)
  // with `time` as given: the event's one JSON form.
  static std::string Line(const Event_Record& event, const std::string& time);
};

// While one lives on a thread, the events that thread publishes are queued
// without waking the writer thread for each; it is woken once when the last
// one ends (and at once whenever the queue is full). A log's worker keeps
// one over a pass, so that a burst of events goes out in few writes and few
// wake-ups, and a single event as soon as its pass ends.
class Event_Wake_Deferral {
 public:
  Event_Wake_Deferral();
  ~Event_Wake_Deferral();
  Event_Wake_Deferral(const Event_Wake_Deferral&) = delete;
  Event_Wake_Deferral& operator=(const Event_Wake_Deferral&) = delete;
};

#endif  // QOR_FRAMEWORK_EVENT_SINK_H_
