// The event sink: one JSON line per row a situation dispatches, written to
// the outputs named by HOV_EVENTS (files, standard output, syslog), to the
// EVENTS streams of control clients, and handed to the situation's RUN
// command. Nothing else is written to the outputs.
//
// Each output has its own bounded queue and writer thread, so that a slow
// or dead output costs only itself. Events reach the queues in batches,
// each built once and shared by every output (Event_Batch), which takes
// them as many lines at a time as it can (Event_Output::PutLines). A file is a
// durable output: when its queue is full the dispatching thread waits for room
// while its writer still takes lines, and they are dropped and counted only
// when it has taken none for EVENT_STALL_MS, so a full disk never holds up
// monitoring or a stop. Standard output and syslog are best effort: a line that
// finds their queue full is dropped and counted at once, and they never hold
// anything back. Every event gets a sequence number; the durable outputs
// tell how far they have written without a gap (DurableSequence), so that
// a log's saved position never passes an event a file has not taken
// (Durable_Position). Outputs with their own acknowledgements plug in as
// further durable outputs.
// Use() (tests, benchmarks) writes to one stream at once instead.
// Thread-safe.
#ifndef QOR_FRAMEWORK_EVENTS_EVENT_SINK_H_
#define QOR_FRAMEWORK_EVENTS_EVENT_SINK_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

struct Alert_Told;

// Lines that may wait for one output's writer thread.
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
  // An event of a situation that remembers (pairs, absence, clear rules):
  // its alert's state, "firing" or "resolved"; empty for every other event,
  // which then has none of the members below. The alert's identity is the
  // situation, `key` and `alert_host`.
  std::string state;
  std::string alert_host;
  // The members that follow "state" in the line, as JSON text (",\"since\":
  // ...", ",\"first\":{...}"); empty: none.
  std::string state_members;
  // What the Alertmanager outputs make of the event, as members of the line
  // (JSON text, each left out when it is the default): ",\"alerts\":false"
  // when the situation does not alert; else its ALERT clause's
  // ",\"severity\":...", ",\"labels\":{...}", ",\"resolve\":SECONDS".
  std::string alert_members;
};

// The totals PING reports. With several outputs they are those of the
// output that wrote fewest (written) and of the one that lost most (lost);
// per output, Event_Sink::OutputCounts. What was sent again and arrived is
// retried, never lost.
struct Event_Counts {
  uint64_t written = 0;  // events every output took
  uint64_t lost = 0;     // events an output gave up: failed, dropped, rejected
  uint64_t dropped = 0;  // of the lost, those dropped unqueued
  uint64_t retried =
      0;  // events sent again after a failed attempt (all outputs)
  uint64_t pending = 0;  // events queued, not yet handed to the outputs
  bool writing = true;  // the last event handed to the outputs reached them all
};

// One output's counters.
struct Event_Output_Counts {
  std::string name;       // a path, "standard output", "syslog"
  bool durable = false;   // saved positions wait for it
  uint64_t written = 0;   // events it took
  uint64_t failed = 0;    // events given up after a write to it failed
  uint64_t dropped = 0;   // events its full queue could not take
  uint64_t rejected = 0;  // events its engine refused for good (given up)
  uint64_t pending = 0;   // events queued for it, not yet written
  bool writing = true;    // its last write went through
  // A fleet sink's (Kafka, JetStream; `fleet` true) engine side.
  bool fleet = false;
  bool connected = false;        // a broker or server answers
  uint64_t acknowledged = 0;     // events the engine acknowledged
  uint64_t retried = 0;          // events sent again after a failed attempt
  uint64_t failed_attempts = 0;  // sendings that failed (each sent again)
  uint64_t unacknowledged = 0;   // events sent, not yet acknowledged
  double oldest_pending_s = 0;   // age of the oldest of those, seconds
  // An Alertmanager's output (`alerts` true): the alerts it tells as firing
  // and the posts that failed (failed_attempts), sent (acknowledged).
  bool alerts = false;
  uint64_t firing = 0;
};

// What `o` gave up: never delivered and never to be.
inline uint64_t LostEvents(const Event_Output_Counts& o) {
  return o.failed + o.dropped + o.rejected;
}

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
  // blocks) and closes the outputs. DurableSequence then stays where they
  // got to (until Open or Use), so that positions saved afterwards (as the
  // agent stops) never pass an event they did not deliver.
  static void Close();
  // Opens the event files again (after a SIGHUP), on the writer thread.
  static void Reopen();
  // Publishes one event: false when it could not be written (Use) or had
  // to be dropped (queue full). Under an Event_Wake_Deferral it joins the
  // thread's batch (true; a later drop shows in the counts); the batch goes
  // to the writers when it is full, when the pass ends, or when
  // ThreadSequence or AwaitDurable is asked.
  static bool Write(const Event_Record& event);
  static Event_Counts Counts();
  // The counters of each output of the sink now open, in HOV_EVENTS order
  // (empty under Use()).
  static std::vector<Event_Output_Counts> OutputCounts();
  // Hands the line of `event` (a firing alert restored with the situations'
  // state) to the outputs that keep alerts (Event_Output::Restate); nothing
  // is written, streamed or run.
  static void Restate(const Event_Record& event);
  // What the outputs that tell alerts (Alertmanager) last told of each
  // alert they keep.
  static std::vector<Alert_Told> AlertsTold();

  // The sequence number of the last event the calling thread published (0:
  // none yet), its batch handed over first. Every event gets the next
  // number, whichever thread it is on; a batch's events are numbered
  // together when it is handed over, so that every output sees them in
  // their numbered order.
  static uint64_t ThreadSequence();
  // The events the calling thread has published so far (batched or not);
  // a counter of its own, without handing its batch over.
  static uint64_t ThreadEvents();
  // While an output that acknowledges (a fleet sink) is open: the events
  // after which a reading thread publishes its position, so that the saved
  // positions follow the acknowledgements within a few of them (an eighth of
  // the delivery window, at most kPositionStepMax); 0 otherwise (a reader
  // publishes at the end of each pass).
  static uint64_t PositionStep();
  static constexpr uint64_t kPositionStepMax = 1024;
  // Every event numbered up to this is written by every durable output;
  // UINT64_MAX when there is none (Use(), or only best-effort outputs).
  // After Close(), how far the closed durable outputs had written.
  // An event a durable output lost (a failed write, a drop) holds it below
  // that event for the rest of the run, so that a restart reads the log
  // from there again.
  static uint64_t DurableSequence();
  // Whether the events a durable output has not yet delivered (a file
  // that cannot take them, an engine that has not acknowledged them) fill
  // the delivery window (HOV_DELIVERY_WINDOW): the log workers then stop
  // reading until it has room. Never under HOV_WHEN_FULL=drop.
  static bool WindowFull();
  // Waits at most `timeout_ms` for the window to have room again: until
  // the undelivered events are below three quarters of it (one wake-up
  // then reads many entries). True when it is not full.
  static bool AwaitWindowRoom(int timeout_ms);
  // Called as a durable output delivers (acknowledgements, written lines):
  // wakes the workers waiting in AwaitWindowRoom once there is room.
  static void WindowMoved();
  // Waits until the durable outputs have written every event published so
  // far, at most `wait_ms`; false when they have not (blocked, or lost one).
  static bool AwaitDurable(int wait_ms);
  // The agent stops: dispatching threads no longer wait for room in a
  // durable output's queue (what does not fit is dropped and counted, and
  // saved positions stay before it). For good.
  static void EndWaits();

  // {"time":...,"situation":...,"table":"APPL.TABLE"[,"key":...][,"suppressed":N]
  // [,"entrytime":...][,"alert":{...},"state":...][,"alerts":false]
  // [,"severity":...][,"labels":{...}][,"resolve":N][,"row":{...}]}
  // ("row" left out when `row` is empty)
  // with `time` as given: the event's one JSON form.
  static std::string Line(const Event_Record& event, const std::string& time);
};

// While one lives on a thread, the events that thread publishes are
// gathered in one batch (their lines joined in one text, made once for every
// output) and handed to the writers in one step when it holds 1024 events or
// 64 KiB, or when the last deferral ends; the writers are woken when a
// quarter of a queue waits, and when it ends. A log's worker keeps one over
// a pass, so that a burst of events goes out in few hand-offs, writes and
// wake-ups, and a single event as soon as its pass ends.
class Event_Wake_Deferral {
 public:
  Event_Wake_Deferral();
  ~Event_Wake_Deferral();
  Event_Wake_Deferral(const Event_Wake_Deferral&) = delete;
  Event_Wake_Deferral& operator=(const Event_Wake_Deferral&) = delete;
};

// A reader's positions held back until the durable outputs have written
// the events published before them: Reached() takes each position with
// Event_Sink::ThreadSequence() on the reading thread; Get() hands out the
// newest one whose events are all written, the one to keep across a
// restart. At most kWaitingMax positions wait, enough for the steps of a
// delivery window (PositionStep): when more arrive, the waiting one whose
// neighbours are closest is dropped, so that the positions stay evenly
// spread over the events in flight and a lagging output coarsens them
// evenly rather than costing memory. Not locked: its owner guards it.
template <typename Position>
class Durable_Position {
 public:
  // Well above the steps of a window (8, and a few more of a pass that
  // overran it), so that thinning is rare.
  static constexpr size_t kWaitingMax = 32;

  void Reached(Position position, uint64_t sequence) {
    Reached(std::move(position), sequence, Event_Sink::DurableSequence());
  }
  bool Get(Position* position) {
    return Get(position, Event_Sink::DurableSequence());
  }
  // The same with `durable` for Event_Sink::DurableSequence().
  void Reached(Position position, uint64_t sequence, uint64_t durable) {
    // A new worker thread numbers from 0: the events of an earlier one
    // count until they are written.
    sequence = std::max(sequence, latest_);
    latest_ = sequence;
    if (sequence <= durable) {
      waiting_.clear();
      durable_ = std::move(position);
      known_ = true;
    } else {
      if (waiting_.size() >= kWaitingMax) {
        // The one whose neighbours are closest goes (never the oldest):
        // the gaps stay even, within twice the span over kWaitingMax.
        size_t drop = 1;
        uint64_t closest = UINT64_MAX;
        for (size_t i = 1; i < waiting_.size(); ++i) {
          const uint64_t next =
              i + 1 < waiting_.size() ? waiting_[i + 1].first : sequence;
          if (next - waiting_[i - 1].first < closest) {
            closest = next - waiting_[i - 1].first;
            drop = i;
          }
        }
        waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(drop));
      }
      waiting_.emplace_back(sequence, std::move(position));
    }
  }
  // The position to keep: false when there is none yet.
  bool Get(Position* position, uint64_t durable) {
    while (!waiting_.empty() && waiting_.front().first <= durable) {
      durable_ = std::move(waiting_.front().second);
      known_ = true;
      waiting_.pop_front();
    }
    if (known_) {
      *position = durable_;
    }
    return known_;
  }
  // Forgets every position (another file, another run).
  void Clear() {
    waiting_.clear();
    known_ = false;
  }

 private:
  uint64_t latest_ = 0;  // the highest sequence number reached
  bool known_ = false;
  Position durable_{};
  std::deque<std::pair<uint64_t, Position>> waiting_;
};

#endif  // QOR_FRAMEWORK_EVENTS_EVENT_SINK_H_
