#include "framework/event_sink.h"

#include <pthread.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "framework/action_runner.h"
#include "framework/event_output.h"
#include "framework/event_stream.h"
#include "framework/rate_limit.h"
#include "framework/row_json.h"
#include "framework/wex1.h"
#include "util/posix_mutex.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

// Event_Wake_Deferral's state on each thread: how many are alive, and
// whether an event was queued without waking the writer.
thread_local int t_deferrals = 0;
thread_local bool t_wake_owed = false;

// How long Close waits for the writer to finish what is queued.
constexpr int kCloseWaitMs = 3000;

std::atomic<uint64_t> g_written{0};
std::atomic<uint64_t> g_failed{0};
std::atomic<uint64_t> g_dropped{0};
std::atomic<uint64_t> g_pending{0};
std::atomic<bool> g_writing{true};

// The monotonic clock `ms` milliseconds from now, for the waits below.
struct timespec MonotonicDeadline(int ms) {
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000;
  }
  return deadline;
}

struct Queued {
  std::string situation;
  std::string line;
};

// The writer thread and the queue in front of it. Owns the outputs, which
// only its thread touches once it runs.
class Event_Writer {
 public:
  explicit Event_Writer(std::vector<std::unique_ptr<Event_Output>> outputs)
      : outputs_(std::move(outputs)) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&work_, &attr);
    pthread_cond_init(&finished_cv_, &attr);
    pthread_cond_init(&room_, &attr);
    pthread_condattr_destroy(&attr);
  }
  ~Event_Writer() {
    pthread_cond_destroy(&work_);
    pthread_cond_destroy(&finished_cv_);
    pthread_cond_destroy(&room_);
  }
  Event_Writer(const Event_Writer&) = delete;
  Event_Writer& operator=(const Event_Writer&) = delete;

  bool Start(std::string* err) {
    const int rc = pthread_create(&thread_, nullptr, Main, this);
    if (rc != 0) {
      *err = std::string("cannot start the event writer thread: ") + strerror(rc);
      return false;
    }
    return true;
  }

  // False when the queue is full and the line was dropped. A full queue
  // behind a writer that is still taking lines is a burst (a log read on
  // after a restart, many entries at once): the dispatching thread waits
  // for room, since a dropped event is lost for good while the log it comes
  // from can wait. Only an output that takes nothing for EVENT_STALL_MS
  // (a full pipe, a hung disk) has lines dropped, at once until it moves
  // again, so that it never holds up monitoring for long.
  bool Enqueue(const std::string& situation, std::string line) {
    Posix_Mutex::Hold g(&mu_);
    while (queue_.size() >= EVENT_QUEUE_MAX && !stalled_ && !stop_) {
      pthread_cond_signal(&work_);  // events queued under a deferral
      const uint64_t taken = taken_;
      const uint64_t delivered = delivered_.load(std::memory_order_relaxed);
      const struct timespec deadline = MonotonicDeadline(EVENT_STALL_MS);
      while (taken_ == taken && !stop_ &&
             pthread_cond_timedwait(&room_, mu_.native(), &deadline) == 0) {
      }
      // A writer busy with a long batch still delivers.
      stalled_ = taken_ == taken &&
                 delivered_.load(std::memory_order_relaxed) == delivered;
    }
    if (queue_.size() >= EVENT_QUEUE_MAX) {
      uint64_t held = 0;
      if (drops_.Due(&held)) {
        WEX1_TRACE(wex1, WEX1_ERROR,
                   "\nEvent of situation %s dropped: %zu events wait for the event outputs; %llu "
                   "more dropped since the last report.",
                   situation.c_str(), queue_.size(), static_cast<unsigned long long>(held));
      }
      return false;
    }
    queue_.push_back(Queued{situation, std::move(line)});
    g_pending.fetch_add(1, std::memory_order_relaxed);
    if (t_deferrals > 0) {
      t_wake_owed = true;
    } else {
      pthread_cond_signal(&work_);
    }
    return true;
  }

  void Wake() {
    Posix_Mutex::Hold g(&mu_);
    pthread_cond_signal(&work_);
  }

  void RequestReopen() {
    Posix_Mutex::Hold g(&mu_);
    reopen_ = true;
    pthread_cond_signal(&work_);
  }

  // Asks the thread to write what is queued and end. True when it ended
  // within `wait_ms` (it is joined); false when an output still blocks it:
  // it is then left to itself, with this object, for the rest of the process.
  bool Finish(int wait_ms) {
    const struct timespec deadline = MonotonicDeadline(wait_ms);
    {
      Posix_Mutex::Hold g(&mu_);
      stop_ = true;
      pthread_cond_signal(&work_);
      pthread_cond_broadcast(&room_);
      while (!finished_) {
        if (pthread_cond_timedwait(&finished_cv_, mu_.native(), &deadline) != 0) {
          break;
        }
      }
      if (!finished_) {
        WEX1_TRACE(wex1, WEX1_ERROR,
                   "\nEvent outputs still blocked after %d ms; %zu queued events not written.",
                   wait_ms, queue_.size());
        return false;
      }
    }
    pthread_join(thread_, nullptr);
    return true;
  }

 private:
  static void* Main(void* self) {
    static_cast<Event_Writer*>(self)->Run();
    return nullptr;
  }

  void Run() {
    std::deque<Queued> batch;
    while (true) {
      bool reopen = false;
      bool stop = false;
      {
        Posix_Mutex::Hold g(&mu_);
        while (queue_.empty() && !stop_ && !reopen_) {
          pthread_cond_wait(&work_, mu_.native());
        }
        reopen = reopen_;
        reopen_ = false;
        stop = stop_;
        batch.swap(queue_);
        if (!batch.empty()) {
          // Room again: the writer moves.
          taken_ += batch.size();
          stalled_ = false;
          pthread_cond_broadcast(&room_);
        }
      }
      if (reopen) {
        for (auto& o : outputs_) {
          o->Reopen();
        }
      }
      Deliver(batch);
      batch.clear();
      if (stop) {
        Posix_Mutex::Hold g(&mu_);
        if (queue_.empty()) {
          finished_ = true;
          pthread_cond_broadcast(&finished_cv_);
          return;
        }
      }
    }
  }

  // Writes the batch to every output: to a file as few writes of whole
  // lines, each write kept or lost as a whole; to the others one by one.
  void Deliver(const std::deque<Queued>& batch) {
    std::vector<char> ok(batch.size(), 1);
    std::string joined;
    for (auto& o : outputs_) {
      for (size_t first = 0; first < batch.size();) {
        size_t end = first + 1;
        std::string why;
        bool put;
        if (o->TakesJoinedLines() && end < batch.size()) {
          joined = batch[first].line;
          while (end < batch.size() && joined.size() < JOINEDBYTES) {
            joined += batch[end++].line;
          }
          put = o->Put(batch[first].situation, joined, &why);
        } else {
          put = o->Put(batch[first].situation, batch[first].line, &why);
        }
        for (size_t i = first; !put && i < end; ++i) {
          ok[i] = 0;
          uint64_t held = 0;
          if (o->Failures().Due(&held)) {
            WEX1_TRACE(
                wex1, WEX1_ERROR,
                "\nEvent of situation %s not written to %s: %s; %llu more failures since the "
                "last report.",
                batch[i].situation.c_str(), o->Name().c_str(), why.c_str(),
                static_cast<unsigned long long>(held));
          }
        }
        first = end;
      }
    }
    for (const char k : ok) {
      (k != 0 ? g_written : g_failed).fetch_add(1, std::memory_order_relaxed);
    }
    if (!ok.empty()) {
      g_writing.store(ok.back() != 0, std::memory_order_relaxed);
    }
    g_pending.fetch_sub(batch.size(), std::memory_order_relaxed);
    delivered_.fetch_add(batch.size(), std::memory_order_relaxed);
  }

  // Most bytes of events joined for one write.
  static constexpr size_t JOINEDBYTES = 64 * 1024;

  Posix_Mutex mu_;
  pthread_cond_t work_;         // something queued, a reopen or the stop
  pthread_cond_t finished_cv_;  // the thread has ended
  pthread_cond_t room_;         // the writer took the queued lines
  std::deque<Queued> queue_ GUARDED_BY(mu_);
  bool reopen_ GUARDED_BY(mu_) = false;
  bool stop_ GUARDED_BY(mu_) = false;
  bool finished_ GUARDED_BY(mu_) = false;
  uint64_t taken_ GUARDED_BY(mu_) = 0;    // lines the writer took off the queue
  std::atomic<uint64_t> delivered_{0};    // lines it has handed to the outputs
  bool stalled_ GUARDED_BY(mu_) = false;  // it took none for EVENT_STALL_MS
  Rate_Limit drops_ GUARDED_BY(mu_);
  std::vector<std::unique_ptr<Event_Output>> outputs_;  // the writer thread's
  pthread_t thread_{};
};

struct Sink_State {
  Posix_Mutex mu;
  FILE* direct GUARDED_BY(mu) = nullptr;  // Use(): null is standard output
  Event_Writer* writer GUARDED_BY(mu) = nullptr;  // Open(): null until then
};

Sink_State& State() {
  static auto* s = new Sink_State;  // dispatching threads may outlive main's statics
  return *s;
}

// Makes `writer` (or, when null, `direct`) where events go, then stops the
// writer that was there, if any (a blocked one is left running).
void Install(Event_Writer* writer, FILE* direct) {
  Event_Writer* old = nullptr;
  {
    Sink_State& s = State();
    Posix_Mutex::Hold g(&s.mu);
    old = s.writer;
    s.writer = writer;
    s.direct = direct;
  }
  if (old != nullptr && old->Finish(kCloseWaitMs)) {
    delete old;
  }
}

std::string UtcNow() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  gmtime_r(&tv.tv_sec, &tm);
  char when[64];
  snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
           static_cast<int>(tv.tv_usec / 1000));
  return when;
}

}  // namespace

bool Event_Sink::Open(const char* spec, std::string* err) {
  std::vector<std::unique_ptr<Event_Output>> outputs;
  if (!MakeEventOutputs(spec, &outputs, err)) {
    return false;
  }
  auto* w = new Event_Writer(std::move(outputs));
  if (!w->Start(err)) {
    delete w;
    return false;
  }
  Install(w, nullptr);
  return true;
}

void Event_Sink::Use(FILE* f) { Install(nullptr, f); }

void Event_Sink::Close() { Use(nullptr); }

void Event_Sink::Reopen() {
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  if (s.writer != nullptr) {
    s.writer->RequestReopen();
  }
}

Event_Counts Event_Sink::Counts() {
  Event_Counts c;
  c.written = g_written.load(std::memory_order_relaxed);
  c.failed = g_failed.load(std::memory_order_relaxed);
  c.dropped = g_dropped.load(std::memory_order_relaxed);
  c.pending = g_pending.load(std::memory_order_relaxed);
  c.writing = g_writing.load(std::memory_order_relaxed);
  return c;
}

std::string Event_Sink::Line(const Event_Record& e, const std::string& time) {
  std::string line = "{\"time\":\"";
  line += time;
  line += "\",\"situation\":";
  JsonAppendString(&line, e.situation);
  line += ",\"table\":";
  JsonAppendString(&line, e.table);
  if (e.has_key) {
    line += ",\"key\":";
    JsonAppendString(&line, e.key);
  }
  if (e.suppressed > 0) {
    line += ",\"suppressed\":" + std::to_string(e.suppressed);
  }
  if (!e.entrytime.empty()) {
    line += ",\"entrytime\":";
    JsonAppendString(&line, e.entrytime);
  }
  // No row in the announcement of a throttle's held-back count.
  if (!e.row.empty()) {
    line += ",\"row\":";
    line += e.row;
  }
  line += "}\n";
  return line;
}

Event_Wake_Deferral::Event_Wake_Deferral() {
  ++t_deferrals;
}

Event_Wake_Deferral::~Event_Wake_Deferral() {
  if (--t_deferrals > 0 || !t_wake_owed) {
    return;
  }
  t_wake_owed = false;
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  if (s.writer != nullptr) {
    s.writer->Wake();
  }
}

bool Event_Sink::Write(const Event_Record& e) {
  const std::string time = UtcNow();
  std::string line = Line(e, time);
  Event_Streams::Publish(e.situation, line);
  if (!e.run.empty()) {
    Action_Runner::Submit(e, time, line);
  }
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  bool ok;
  if (s.writer != nullptr) {
    ok = s.writer->Enqueue(e.situation, std::move(line));
    if (!ok) {
      g_failed.fetch_add(1, std::memory_order_relaxed);
      g_dropped.fetch_add(1, std::memory_order_relaxed);
    }
    return ok;
  }
  FILE* out = s.direct != nullptr ? s.direct : stdout;
  ok = fwrite(line.data(), 1, line.size(), out) == line.size();
  ok = fflush(out) == 0 && ok;
  (ok ? g_written : g_failed).fetch_add(1, std::memory_order_relaxed);
  g_writing.store(ok, std::memory_order_relaxed);
  return ok;
}
