// The event sink: turns dispatched rows into JSON lines and writes them to
// every output, streams and actions.
#include "framework/events/event_sink.h"

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <deque>
#include <memory>
#include <vector>

#include "framework/events/ack_window.h"
#include "framework/situations/action_runner.h"
#include "framework/events/event_output.h"
#include "framework/events/event_stream.h"
#include "framework/tables/row_json.h"
#include "framework/runtime/trace.h"
#include "util/posix_mutex.h"
#include "util/process_wide.h"
#include "util/repeat_limiter.h"
#include "util/short_slice.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

// Event_Wake_Deferral's state on each thread: how many are alive, and
// whether events were queued without waking the writers.
thread_local int t_deferrals = 0;
thread_local bool t_wake_owed = false;
// The thread's events not yet handed to the writers (under a deferral).
thread_local std::shared_ptr<Event_Batch> t_batch;
// The sequence number of the last event the thread published.
thread_local uint64_t t_sequence = 0;
// The events the thread has published.
thread_local uint64_t t_events = 0;

// A batch is handed to the writers when it holds this many events or bytes
// (or when its pass ends).
constexpr size_t kBatchEvents = 1024;
constexpr size_t kBatchBytes = 64 * 1024;
// Bytes of lines a durable output's queue holds before a dispatching thread
// with a batch of kSmallBatchBytes or more waits for its writer (outside
// the numbering lock), and twice that before any waits. What is queued is
// what a quiet log's event waits behind when another log takes a burst:
// 128 KiB is written in well under a millisecond, and a writer that takes
// that much at a time still writes a million lines a second.
constexpr size_t kQueueBytes = 64 * 1024;
// A batch this small (the few events of a quiet log) is queued behind a
// burst of another log at once, not after it.
constexpr size_t kSmallBatchBytes = 16 * 1024;

// How long Close waits for the writers to finish what is queued.
constexpr int kCloseWaitMs = 3000;
constexpr uint64_t kNoLoss = UINT64_MAX;

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

// Set once the agent stops: a dispatching thread no longer waits for room;
// what it cannot queue is dropped and counted, and the saved positions stay
// before it, so that a restart reads those entries again.
std::atomic<bool>& Ending() {
  static std::atomic<bool> ending{false};
  return ending;
}

// A batch of events numbered from `first` on, shared by every output.
struct Queued {
  uint64_t first;
  std::shared_ptr<const Event_Batch> batch;
};

// One output's queue and writer thread. Owns the output, which only its
// thread touches once it runs.
class Output_Writer {
 public:
  // `sequence`: the number of the last event published before this writer.
  Output_Writer(std::unique_ptr<Event_Output> output, uint64_t sequence,
                const Delivery_Window_Limits& limits)
      : output_(std::move(output)),
        name_(output_->Name()),
        acks_(output_->Acknowledges()),
        durable_(output_->Durable() || acks_),
        limits_(limits),
        written_through_(sequence),
        enqueued_through_(sequence) {}
  Output_Writer(const Output_Writer&) = delete;
  Output_Writer& operator=(const Output_Writer&) = delete;

  bool Start(std::string* err) {
    const int rc = pthread_create(&thread_, nullptr, Main, this);
    if (rc != 0) {
      *err =
          std::string("cannot start the event writer thread: ") + strerror(rc);
      return false;
    }
    return true;
  }

  bool Durable() const { return durable_; }

  // False when the queue is full and the batch was dropped. A best-effort
  // output drops at once. For a durable one, a full queue behind a writer
  // that is still taking lines is a burst (a log read on after a restart,
  // many entries at once): the dispatching thread waits for room, since a
  // dropped event is lost while the log it comes from can wait. Only an
  // output that takes nothing for EVENT_STALL_MS (a full pipe, a hung disk)
  // has lines dropped, at once until it moves again, so that it never holds
  // up monitoring for long.
  bool Enqueue(uint64_t first,
               const std::shared_ptr<const Event_Batch>& batch) {
    if (!Queue(first, batch)) {
      return false;
    }
    // A long pass wakes the writer only once a few batches wait, and at its
    // end: each wake-up costs both threads a switch. Signalled unlocked, so
    // that the writer does not wake into a held lock.
    if (t_deferrals > 0 && !full_enough_.load(std::memory_order_relaxed)) {
      t_wake_owed = true;
    } else {
      work_.Signal();
    }
    return true;
  }

  void Wake() { work_.Signal(); }

  // Waits while a durable output's queue cannot take `events` more or holds
  // kQueueBytes (WaitForRoom): before the batch is numbered, so that the
  // numbering lock stays free for the few events of other logs meanwhile.
  void AwaitRoom(size_t events) {
    if (!durable_) {
      return;
    }
    Posix_Mutex::Hold g(&mu_);
    WaitForRoom(events, kQueueBytes);
  }

 private:
  // Waits while the queue cannot take `events` more or holds `bytes` (an
  // engine's output: only the former), as long as the writer takes lines.
  // A full queue behind a writer that is still taking lines is a burst (a
  // log read on after a restart, many entries at once): the dispatching
  // thread waits for room, since a dropped event is lost while the log it
  // comes from can wait. Only an output that takes nothing for
  // EVENT_STALL_MS under HOV_WHEN_FULL=drop is marked stalled, so that its
  // lines are dropped at once until it moves again.
  void WaitForRoom(size_t events, size_t bytes) REQUIRES(mu_) {
    while ((queued_ + events > EVENT_QUEUE_MAX ||
            (!acks_ && queued_bytes_ >= bytes)) &&
           !stalled_ && !stop_ && !Ending().load()) {
      work_.Signal();
      const uint64_t taken = taken_;
      const uint64_t delivered = delivered_;
      const struct timespec deadline = MonotonicDeadline(EVENT_STALL_MS);
      while (taken_ == taken && !stop_ && !Ending().load() &&
             room_.WaitUntil(&mu_, deadline)) {
      }
      // A writer busy with a long batch still delivers. Waiting for the
      // delivery window (the default), the dispatcher waits as long as it
      // takes: the log waits, not the event.
      stalled_ = limits_.drop && taken_ == taken && delivered_ == delivered;
    }
  }

  bool Queue(uint64_t first, const std::shared_ptr<const Event_Batch>& batch) {
    Posix_Mutex::Hold g(&mu_);
    // A durable output's dispatching threads also wait once twice
    // kQueueBytes are queued (large batches wait for kQueueBytes before,
    // in AwaitRoom): what waits is written within a few milliseconds, so
    // that the events of another log do not wait long behind a burst.
    // An engine's output waits on its own delivery window instead, which
    // the log workers look at before they read.
    if (durable_) {
      WaitForRoom(1, 2 * kQueueBytes);
    }
    if (queued_ >= EVENT_QUEUE_MAX) {
      dropped_.fetch_add(batch->size(), std::memory_order_relaxed);
      const bool first_loss = Lost(first);
      for (size_t k = 0; k < batch->size(); ++k) {
        uint64_t held = 0;
        if (drops_.Due(&held)) {
          const std::string situation(batch->Situation(k));
          WEX1_TRACE(
              wex1, WEX1_ERROR,
              "\nEvent of situation %s dropped for %s: %zu events wait for it; %llu more "
              "dropped since the last report.",
              situation.c_str(), name_.c_str(), static_cast<size_t>(queued_),
              static_cast<unsigned long long>(held));
        }
      }
      if (first_loss) {
        TraceHeldPositions();
      }
      return false;
    }
    queue_.push_back(Queued{first, batch});
    queued_ += batch->size();
    queued_bytes_ += batch->Bytes();
    window_bytes_.fetch_add(batch->Bytes(), std::memory_order_relaxed);
    enqueued_through_.store(first + batch->size() - 1,
                            std::memory_order_relaxed);
    full_enough_.store(
        queued_ >= EVENT_QUEUE_MAX / 4 || queued_bytes_ >= kQueueBytes / 4,
        std::memory_order_relaxed);
    return true;
  }

 public:
  void RequestReopen() {
    Posix_Mutex::Hold g(&mu_);
    reopen_ = true;
    work_.Signal();
  }

  // Asks the thread to write what is queued and end.
  void RequestStop() {
    Posix_Mutex::Hold g(&mu_);
    stop_ = true;
    work_.Signal();
    room_.Broadcast();
  }

  // Wakes the dispatching threads that wait for room (the agent stops).
  void EndWaits() {
    Posix_Mutex::Hold g(&mu_);
    room_.Broadcast();
  }

  // Ends the waits for delivery (a closing sink): the events still waiting
  // are not taken, and the saved positions stay before them.
  void Interrupt() {
    output_->Stop();
    RequestStop();
  }

  // Whether the events this durable output has not yet delivered fill the
  // delivery window (`low`: three quarters of it).
  bool WindowFull(bool low) const {
    if (!durable_) {
      return false;
    }
    // A file whose writes fail is tried again each second: its logs wait,
    // as they wait for an engine that is away, rather than fill its queue.
    if (!acks_ && !writing_.load(std::memory_order_relaxed)) {
      return true;
    }
    const Delivery_Window_Limits mark = low ? limits_.Low() : limits_;
    const uint64_t through = WrittenThrough();
    const uint64_t enqueued = enqueued_through_.load(std::memory_order_relaxed);
    return (enqueued > through && enqueued - through >= mark.events) ||
           window_bytes_.load(std::memory_order_relaxed) +
                   output_->UnacknowledgedBytes() >=
               mark.bytes;
  }

  // True when the thread ended by `deadline` (it is joined); false when the
  // output still blocks it: it is then left to itself, with this object,
  // for the rest of the process.
  bool AwaitFinished(const struct timespec& deadline, int wait_ms) {
    {
      Posix_Mutex::Hold g(&mu_);
      while (!finished_) {
        if (!progress_.WaitUntil(&mu_, deadline)) {
          break;
        }
      }
      if (!finished_) {
        WEX1_TRACE(
            wex1, WEX1_ERROR,
            "\nEvent output %s still blocked after %d ms; %zu queued events not written.",
            name_.c_str(), wait_ms, static_cast<size_t>(queued_));
        return false;
      }
    }
    pthread_join(thread_, nullptr);
    return true;
  }

  // Every event numbered up to this is written, with none lost before it.
  // An output with acknowledgements: every event up to its last one
  // acknowledged.
  uint64_t WrittenThrough() const {
    return std::min(written_through_.load(std::memory_order_acquire),
                    output_->AcknowledgedThrough());
  }

  // Waits until WrittenThrough() reaches `sequence`, or an event was lost
  // before it, or `deadline`. True when it was reached.
  bool AwaitWritten(uint64_t sequence, const struct timespec& deadline) {
    Posix_Mutex::Hold g(&mu_);
    while (WrittenThrough() < sequence && lost_ > sequence && !finished_) {
      work_.Signal();  // events queued under a deferral
      // Acknowledgements come on the client library's threads, unsignalled.
      const struct timespec soon = MonotonicDeadline(kAckPollMs);
      const bool last =
          soon.tv_sec > deadline.tv_sec ||
          (soon.tv_sec == deadline.tv_sec && soon.tv_nsec >= deadline.tv_nsec);
      if (!progress_.WaitUntil(&mu_, acks_ && !last ? soon : deadline) &&
          (!acks_ || last)) {
        break;
      }
    }
    return WrittenThrough() >= sequence;
  }

  void AddAlertsTold(std::vector<Alert_Told>* told) const {
    output_->AddAlertsTold(told);
  }

  void Restate(const std::string& situation, const std::string& line) const {
    output_->Restate(situation, line);
  }

  Event_Output_Counts Counts() {
    Event_Output_Counts c;
    c.name = name_;
    c.durable = durable_;
    c.written = written_.load(std::memory_order_relaxed);
    c.failed = failed_.load(std::memory_order_relaxed);
    c.dropped = dropped_.load(std::memory_order_relaxed);
    c.writing = writing_.load(std::memory_order_relaxed);
    c.retried = retried_.load(std::memory_order_relaxed);
    output_->AddFleetCounts(&c);
    Posix_Mutex::Hold g(&mu_);
    c.pending = queued_ + (taken_ - delivered_) + c.unacknowledged;
    return c;
  }

 private:
  static void* Main(void* self) {
    pthread_setname_np(pthread_self(), "qor-events");
    AskShortSlices();
    static_cast<Output_Writer*>(self)->Run();
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
          work_.Wait(&mu_);
        }
        reopen = reopen_;
        reopen_ = false;
        stop = stop_;
        batch.swap(queue_);
        window_bytes_.store(0, std::memory_order_relaxed);
        if (!batch.empty()) {
          // Room again: the writer moves.
          taken_ += queued_;
          queued_ = 0;
          queued_bytes_ = 0;
          full_enough_.store(false, std::memory_order_relaxed);
          stalled_ = false;
          room_.Broadcast();
        }
      }
      if (reopen) {
        output_->Reopen();
      }
      if (!batch.empty()) {
        for (const Queued& q : batch) {
          Deliver(q);
        }
        batch.clear();
      }
      if (stop) {
        Posix_Mutex::Hold g(&mu_);
        if (queue_.empty()) {
          finished_ = true;
          progress_.Broadcast();
          return;
        }
      }
    }
  }

  // Records that the event numbered `sequence` is lost to this output: a
  // durable output's written mark stays below it. True the first time.
  bool Lost(uint64_t sequence) REQUIRES(mu_) {
    if (!durable_ || lost_ != kNoLoss) {
      lost_ = std::min(lost_, sequence);
      return false;
    }
    lost_ = sequence;
    return true;
  }

  void TraceHeldPositions() {
    WEX1_TRACE(
        wex1, WEX1_ERROR,
        "\nEvents were lost for %s: log positions are saved no further than the first of "
        "them, so that a restart reads their entries again.",
        name_.c_str());
  }

  // Writes the batch: to a file as few writes of whole lines, each write
  // kept or lost as a whole; to the others as they take them.
  void Deliver(const Queued& q) {
    const Event_Batch& batch = *q.batch;
    uint64_t first_failed = kNoLoss;
    // A file that holds its events (HOV_WHEN_FULL=wait) and lost one (at a
    // stop) writes none after it: the next start reads them again from the
    // gap, and the file keeps its events in order.
    bool gap = false;
    if (durable_ && !acks_ && !limits_.drop) {
      Posix_Mutex::Hold g(&mu_);
      gap = lost_ != kNoLoss;
    }
    for (size_t first = 0; first < batch.size();) {
      std::string why;
      bool put = false;
      size_t took = 1;
      const bool behind_gap =
          gap || (first_failed != kNoLoss && durable_ && !limits_.drop);
      if (behind_gap) {
        why = "an earlier event was not written";
        took = batch.size() - first;
      } else if (acks_) {
        // The engine acknowledges each event by its number.
        took = std::max<size_t>(
            1, std::min(output_->PutNumberedLines(batch, first, q.first + first,
                                                  &put, &why),
                        batch.size() - first));
      } else {
        took = std::max<size_t>(
            1, std::min(output_->PutLines(batch, first, &put, &why),
                        batch.size() - first));
      }
      const size_t end = first + took;
      // A durable file that cannot take the events (a full disk, a size
      // limit) holds them, as an unreachable engine does, and is tried
      // again each second: its log waits behind the delivery window.
      if (!put && !behind_gap && durable_ && !acks_ && !limits_.drop &&
          RetryAfterPause()) {
        // Held, not lost: counted as retried, not as failed.
        writing_.store(false, std::memory_order_relaxed);
        uint64_t held = 0;
        if (output_->Failures().Due(&held)) {
          const std::string situation(batch.Situation(first));
          WEX1_TRACE(
              wex1, WEX1_ERROR,
              "\nEvents of situation %s wait for %s: %s; tried again every second; %llu "
              "more failures since the last report.",
              situation.c_str(), name_.c_str(), why.c_str(),
              static_cast<unsigned long long>(held));
        }
        retried_.fetch_add(took, std::memory_order_relaxed);
        continue;
      }
      // Counted as they go: a batch to an output that fails slowly is long.
      (put ? written_ : failed_).fetch_add(took, std::memory_order_relaxed);
      writing_.store(put, std::memory_order_relaxed);
      for (size_t i = first; !put && i < end; ++i) {
        first_failed = std::min(first_failed, q.first + i);
        uint64_t held = 0;
        if (output_->Failures().Due(&held)) {
          const std::string situation(batch.Situation(i));
          WEX1_TRACE(
              wex1, WEX1_ERROR,
              "\nEvent of situation %s not written to %s: %s; %llu more failures since the "
              "last report.",
              situation.c_str(), name_.c_str(), why.c_str(),
              static_cast<unsigned long long>(held));
        }
      }
      first = end;
    }
    bool first_loss = false;
    {
      Posix_Mutex::Hold g(&mu_);
      if (first_failed != kNoLoss) {
        first_loss = Lost(first_failed);
      }
      uint64_t through = q.first + batch.size() - 1;
      if (durable_ && lost_ != kNoLoss) {
        through = std::min(through, lost_ - 1);
      }
      if (through > WrittenThrough()) {
        written_through_.store(through, std::memory_order_release);
      }
      delivered_ += batch.size();
      progress_.Broadcast();
    }
    if (durable_ && !acks_) {
      Event_Sink::WindowMoved();  // an engine's output: as it acknowledges
    }
    if (first_loss) {
      TraceHeldPositions();
    }
  }

  // Waits a second unless the stop is asked for: true when the failed
  // write is to be tried again.
  bool RetryAfterPause() {
    Posix_Mutex::Hold g(&mu_);
    const struct timespec deadline = MonotonicDeadline(kRetryMs);
    while (!stop_ && work_.WaitUntil(&mu_, deadline)) {
    }
    return !stop_;
  }

  static constexpr int kRetryMs = 1000;
  static constexpr int kAckPollMs = 50;

  const std::unique_ptr<Event_Output> output_;  // the writer thread's
  const std::string name_;
  const bool acks_;  // the engine acknowledges (Kafka, JetStream)
  const bool durable_;
  const Delivery_Window_Limits limits_;
  Posix_Mutex mu_;
  Posix_Cond work_;      // something queued, a reopen or the stop
  Posix_Cond progress_;  // a batch delivered, or the thread ended
  Posix_Cond room_;      // the writer took the queued lines
  std::deque<Queued> queue_ GUARDED_BY(mu_);
  uint64_t queued_ GUARDED_BY(mu_) = 0;      // events in queue_
  size_t queued_bytes_ GUARDED_BY(mu_) = 0;  // their lines' bytes
  std::atomic<bool> full_enough_{
      false};  // queued_ is worth a wake-up in a pass
  bool reopen_ GUARDED_BY(mu_) = false;
  bool stop_ GUARDED_BY(mu_) = false;
  bool finished_ GUARDED_BY(mu_) = false;
  uint64_t taken_ GUARDED_BY(mu_) = 0;  // lines the writer took off the queue
  uint64_t delivered_ GUARDED_BY(mu_) = 0;  // lines it has handed to the output
  bool stalled_ GUARDED_BY(mu_) = false;    // it took none for EVENT_STALL_MS
  uint64_t lost_ GUARDED_BY(mu_) = kNoLoss;  // the first event lost
  std::atomic<uint64_t> written_through_;
  std::atomic<uint64_t> enqueued_through_;  // the last event queued
  std::atomic<uint64_t> window_bytes_{0};   // bytes queued, not yet taken
  std::atomic<uint64_t> retried_{0};
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> failed_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<bool> writing_{
      true};  // the last write to the output went through
  Repeat_Limiter drops_ GUARDED_BY(mu_);
  pthread_t thread_{};
};

// The writers of the outputs of one Open().
class Event_Writers {
 public:
  Event_Writers() = default;
  Event_Writers(const Event_Writers&) = delete;
  Event_Writers& operator=(const Event_Writers&) = delete;

  bool Start(std::vector<std::unique_ptr<Event_Output>> outputs,
             uint64_t sequence, const Delivery_Window_Limits& limits,
             std::string* err) {
    limits_ = limits;
    for (auto& o : outputs) {
      writers_.push_back(
          std::make_unique<Output_Writer>(std::move(o), sequence, limits));
      if (!writers_.back()->Start(err)) {
        writers_.pop_back();
        Finish(kCloseWaitMs);
        return false;
      }
    }
    return true;
  }

  // Queues the batch, numbered from `first` on, for every output (they
  // share it). False when any of them had to drop it.
  bool Enqueue(uint64_t first,
               const std::shared_ptr<const Event_Batch>& batch) {
    bool ok = true;
    for (auto& w : writers_) {
      ok = w->Enqueue(first, batch) && ok;
    }
    return ok;
  }

  void Wake() {
    for (auto& w : writers_) {
      w->Wake();
    }
  }

  void AwaitRoom(size_t events) {
    for (auto& w : writers_) {
      w->AwaitRoom(events);
    }
  }

  void RequestReopen() {
    for (auto& w : writers_) {
      w->RequestReopen();
    }
  }

  // Whether a durable output's undelivered events fill the window (`low`:
  // three quarters of it; never under HOV_WHEN_FULL=drop).
  bool WindowFull(bool low) const {
    if (limits_.drop) {
      return false;
    }
    for (const auto& w : writers_) {
      if (w->WindowFull(low)) {
        return true;
      }
    }
    return false;
  }

  void Interrupt() {
    for (auto& w : writers_) {
      w->Interrupt();
    }
  }

  void EndWaits() {
    for (auto& w : writers_) {
      w->EndWaits();
    }
  }

  uint64_t DurableSequence() const {
    uint64_t through = kNoLoss;
    for (const auto& w : writers_) {
      if (w->Durable()) {
        through = std::min(through, w->WrittenThrough());
      }
    }
    return through;
  }

  bool AwaitDurable(uint64_t sequence, int wait_ms) {
    const struct timespec deadline = MonotonicDeadline(wait_ms);
    bool all = true;
    for (auto& w : writers_) {
      if (w->Durable() && !w->AwaitWritten(sequence, deadline)) {
        all = false;
      }
    }
    return all;
  }

  // Stops every writer, waiting at most `wait_ms` in all. True when all
  // ended; false when one is still blocked (this object must then live on).
  bool Finish(int wait_ms) {
    for (auto& w : writers_) {
      w->RequestStop();
    }
    const struct timespec deadline = MonotonicDeadline(wait_ms);
    bool all = true;
    for (auto& w : writers_) {
      all = w->AwaitFinished(deadline, wait_ms) && all;
    }
    return all;
  }

  // The totals as PING reports them: the fewest written, the most lost.
  void AddCounts(Event_Counts* c) const {
    uint64_t written = kNoLoss;
    uint64_t lost = 0;
    for (const auto& w : writers_) {
      const Event_Output_Counts o = w->Counts();
      written = std::min(written, o.written);
      lost = std::max(lost, LostEvents(o));
      c->retried += o.retried;
      c->dropped = std::max(c->dropped, o.dropped);
      c->pending = std::max(c->pending, o.pending);
      c->writing = c->writing && o.writing;
    }
    c->written += writers_.empty() ? 0 : written;
    c->lost += lost;
  }

  void AlertsTold(std::vector<Alert_Told>* told) const {
    for (const auto& w : writers_) {
      w->AddAlertsTold(told);
    }
  }

  void Restate(const std::string& situation, const std::string& line) const {
    for (const auto& w : writers_) {
      w->Restate(situation, line);
    }
  }

  std::vector<Event_Output_Counts> OutputCounts() const {
    std::vector<Event_Output_Counts> out;
    for (const auto& w : writers_) {
      out.push_back(w->Counts());
    }
    return out;
  }

 private:
  std::vector<std::unique_ptr<Output_Writer>> writers_;
  Delivery_Window_Limits limits_;
};

// Lock order: write_mu -> mu -> an Output_Writer's lock.
struct Sink_State {
  // Held by Write over numbering and queueing an event (so that every
  // output sees the events in their numbered order), and by whatever
  // swaps the writers or waits on them.
  Posix_Mutex write_mu;
  Posix_Mutex mu;
  FILE* direct GUARDED_BY(mu) = nullptr;  // Use(): null is standard output
  // Open(): null until then. Shared with a dispatching thread that waits
  // for room outside write_mu.
  std::shared_ptr<Event_Writers> writers GUARDED_BY(mu);
  std::atomic<uint64_t> sequence{0};                // the last event's number
  std::atomic<bool> batched{
      false};  // writers installed: events may wait in batches
  // Event_Sink::PositionStep(): 0 without an output that acknowledges.
  std::atomic<uint64_t> position_step{0};
  // Log workers in AwaitWindowRoom, woken by WindowMoved. Lock order:
  // room_mu -> mu.
  Posix_Mutex room_mu;
  Posix_Cond room;
  std::atomic<int> room_waiters{0};
  // Use()'s counts, and those of writers replaced.
  std::atomic<uint64_t> written{0};
  std::atomic<uint64_t> lost{0};
  std::atomic<uint64_t> retried{0};
  // After Close(): how far the closed durable outputs had written, so that
  // the positions saved as the agent stops stay before the events they
  // never delivered (kNoLoss: none closed since Open or Use).
  std::atomic<uint64_t> closed_through{kNoLoss};
};

Sink_State& State() {
  // Dispatching threads may outlive main's statics.
  return ProcessWide<Sink_State>();
}

// Makes `writers` (or, when null, `direct`) where events go, then stops the
// writers that were there, if any (blocked ones are left running). With
// `closing`, DurableSequence stays where the writers stopped had got to.
void Install(std::shared_ptr<Event_Writers> writers, FILE* direct,
             bool closing = false) {
  Sink_State& s = State();
  std::shared_ptr<Event_Writers> old;
  {
    // A dispatcher waiting for the delivery window holds write_mu.
    Posix_Mutex::Hold g(&s.mu);
    if (s.writers != nullptr) {
      s.writers->Interrupt();
    }
  }
  {
    Posix_Mutex::Hold w(&s.write_mu);
    Posix_Mutex::Hold g(&s.mu);
    if (closing && s.writers != nullptr) {
      // Never past the closed outputs, not even while they finish.
      s.closed_through.store(s.writers->DurableSequence());
    }
    old = std::move(s.writers);
    s.writers = std::move(writers);
    s.direct = direct;
    s.batched.store(s.writers != nullptr, std::memory_order_relaxed);
  }
  if (old != nullptr) {
    const bool finished = old->Finish(kCloseWaitMs);
    if (closing) {
      s.closed_through.store(old->DurableSequence());
    }
    Event_Counts c;
    old->AddCounts(&c);
    s.written.fetch_add(c.written, std::memory_order_relaxed);
    s.lost.fetch_add(c.lost, std::memory_order_relaxed);
    s.retried.fetch_add(c.retried, std::memory_order_relaxed);
    if (!finished) {
      // Left running for the rest of the process.
      static_cast<void>(new std::shared_ptr<Event_Writers>(std::move(old)));
    }
  }
}

// "YYYY-MM-DDThh:mm:ss.mmmZ": the time now.
std::string_view UtcNow() {
  // The text of the second is made once per second per thread, its
  // milliseconds once per millisecond.
  thread_local time_t t_second = -1;
  thread_local int t_millis = -1;
  thread_local char t_when[80];
  thread_local size_t t_length = 0;  // 24 but for years past 9999
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  if (tv.tv_sec != t_second) {
    struct tm tm;
    gmtime_r(&tv.tv_sec, &tm);
    snprintf(t_when, sizeof t_when, "%04d-%02d-%02dT%02d:%02d:%02d.000Z",
             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
             tm.tm_min, tm.tm_sec);
    t_second = tv.tv_sec;
    t_millis = -1;
    t_length = strlen(t_when);
  }
  const size_t length = t_length;
  const int millis = static_cast<int>(tv.tv_usec / 1000);
  if (millis != t_millis) {
    t_when[length - 4] = static_cast<char>('0' + millis / 100);
    t_when[length - 3] = static_cast<char>('0' + millis / 10 % 10);
    t_when[length - 2] = static_cast<char>('0' + millis % 10);
    t_millis = millis;
  }
  return std::string_view(t_when, length);
}

// Room past the end of a piece that Put may copy whole.
constexpr size_t kPiecePad = 32;

// Whether the `n` bytes at `a` and `b` are the same: compared a word at a
// time in place (the texts compared are short), with no call.
[[gnu::always_inline]] inline bool SameText(const char* a, const char* b,
                                            size_t n) {
  const auto word = [](const char* p) {
    uint64_t x;
    memcpy(&x, p, sizeof x);
    return x;
  };
  const auto half = [](const char* p) {
    uint32_t x;
    memcpy(&x, p, sizeof x);
    return x;
  };
  // Two pieces that may overlap, or words then the last word.
  if (n < 4) {
    return n == 0 ||
           (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
  }
  if (n <= 8) {
    return ((half(a) ^ half(b)) | (half(a + n - 4) ^ half(b + n - 4))) == 0;
  }
  uint64_t diff = 0;
  for (size_t k = 0; k + 8 < n; k += 8) {
    diff |= word(a + k) ^ word(b + k);
  }
  return (diff | (word(a + n - 8) ^ word(b + n - 8))) == 0;
}

// Copies the `n` bytes at `from` to `to`, both with kPiecePad bytes of room
// past them when n is at most kPiecePad: a short piece is copied whole,
// with no call.
char* Put(char* to, const char* from, size_t n) {
  if (n <= kPiecePad) {
    memcpy(to, from, kPiecePad);
  } else {
    memcpy(to, from, n);
  }
  return to + n;
}

// A text that mostly repeats from one event of a thread to the next (the
// situation, the table, the entry time of a burst's second) with `head`
// and the text as a JSON string after it, made when the text changes.
class Json_Memo {
 public:
  explicit Json_Memo(std::string_view head) : head_(head) {}
  // The piece for `text`, with kPiecePad bytes of room after it.
  std::string_view Of(const std::string& text) {
    if (json_.empty() || text.size() != text_.size() ||
        !SameText(text.data(), text_.data(), text.size())) {
      Remake(text);
    }
    return std::string_view(json_.data(), size_);
  }

 private:
  // Out of line: the text mostly repeats, and Of stays small.
  // Written into the room json_ had (it only grows): many situations
  // taking turns cost no allocation.
  [[gnu::noinline]] void Remake(const std::string& text) {
    text_ = text;
    const size_t need = head_.size() + JsonStringBound(text.size()) + kPiecePad;
    if (json_.size() < need) {
      json_.resize(need);
    }
    memcpy(json_.data(), head_.data(), head_.size());
    size_ = static_cast<size_t>(
        JsonWriteString(json_.data() + head_.size(), text.data(), text.size()) -
        json_.data());
  }

  const std::string_view head_;
  std::string text_;
  std::vector<char> json_;
  size_t size_ = 0;
};

// The members of a stateful event: its alert's identity, its state and
// what the state says.
void AppendState(std::string* line, const Event_Record& e) {
  line->append(",\"alert\":{\"situation\":");
  JsonAppendString(line, e.situation);
  line->append(",\"key\":");
  JsonAppendString(line, e.key);
  line->append(",\"host\":");
  JsonAppendString(line, e.alert_host);
  line->append("},\"state\":");
  JsonAppendString(line, e.state);
  line->append(e.state_members);
}

// Appends the event's line (Event_Sink::Line) to `line`: written into room
// of the thread's, sized for the longest line it had, and appended in one.
void AppendLine(std::string* line, const Event_Record& e,
                std::string_view time) {
  // One thread-local object: one look-up of the thread's storage.
  struct Memos {
    Json_Memo situation{"\",\"situation\":"};
    Json_Memo table{",\"table\":"};
    Json_Memo entrytime{",\"entrytime\":"};
    std::vector<char> room;
  };
  thread_local Memos t_memos;
  Memos& m = t_memos;
  const std::string_view situation = m.situation.Of(e.situation);
  const std::string_view table = m.table.Of(e.table);
  const std::string_view entrytime =
      e.entrytime.empty() ? std::string_view() : m.entrytime.Of(e.entrytime);
  const size_t room = 96 + time.size() + situation.size() + table.size() +
                      JsonStringBound(e.key.size()) + entrytime.size() +
                      e.alert_members.size() + kPiecePad;
  if (m.room.size() < room) {
    m.room.resize(room);
  }
  char* const start = m.room.data();
  char* p = start;
  const auto put = [&p](std::string_view text) {
    // An empty view may have no data at all: memcpy must not see it.
    if (!text.empty()) {
      memcpy(p, text.data(), text.size());
      p += text.size();
    }
  };
  static constexpr char kTime[] = "{\"time\":\"";
  memcpy(p, kTime, sizeof kTime - 1);
  p += sizeof kTime - 1;
  if (time.size() == 24) {
    // UtcNow's, but for years past 9999: copied with no call.
    memcpy(p, time.data(), 24);
    p += 24;
  } else {
    put(time);
  }
  // The memos' pieces have room to be copied whole.
  p = Put(p, situation.data(), situation.size());
  p = Put(p, table.data(), table.size());
  if (e.has_key) {
    put(",\"key\":");
    p = JsonWriteString(p, e.key.data(), e.key.size());
  }
  if (e.suppressed > 0) {
    put(",\"suppressed\":");
    p = std::to_chars(p, p + 24, e.suppressed).ptr;
  }
  if (!entrytime.empty()) {
    p = Put(p, entrytime.data(), entrytime.size());
  }
  if (!e.state.empty()) {
    line->append(start, static_cast<size_t>(p - start));
    AppendState(line, e);
    p = start;
  }
  put(e.alert_members);
  // No row in the announcement of a throttle's held-back count.
  if (e.row.empty()) {
    memcpy(p, "}\n", 2);
    line->append(start, static_cast<size_t>(p + 2 - start));
    return;
  }
  static constexpr char kRow[] = ",\"row\":";
  memcpy(p, kRow, sizeof kRow - 1);
  p += sizeof kRow - 1;
  // The row, the longest piece, goes to the line straight from the record.
  line->append(start, static_cast<size_t>(p - start));
  line->append(e.row);
  line->push_back('}');
  line->push_back('\n');
}

// Hands the thread's batch to the writers (or, under Use(), writes it),
// numbering its events. False when an output had to drop it, or a write
// under Use() failed.
bool FlushBatch() {
  if (t_batch == nullptr || t_batch->empty()) {
    return true;
  }
  std::shared_ptr<const Event_Batch> batch = std::move(t_batch);
  t_batch = nullptr;
  Sink_State& s = State();
  if (batch->Bytes() >= kSmallBatchBytes) {
    std::shared_ptr<Event_Writers> writers;
    {
      Posix_Mutex::Hold g(&s.mu);
      writers = s.writers;
    }
    if (writers != nullptr) {
      writers->AwaitRoom(batch->size());
    }
  }
  Posix_Mutex::Hold w(&s.write_mu);
  Event_Writers* writers;
  FILE* out;
  {
    Posix_Mutex::Hold g(&s.mu);
    writers = s.writers.get();
    out = s.direct != nullptr ? s.direct : stdout;
  }
  const uint64_t first = s.sequence.fetch_add(batch->size()) + 1;
  t_sequence = first + batch->size() - 1;
  if (writers != nullptr) {
    return writers->Enqueue(first, batch);
  }
  const std::string_view text = batch->Lines(0, batch->size());
  bool ok = fwrite(text.data(), 1, text.size(), out) == text.size();
  ok = fflush(out) == 0 && ok;
  (ok ? s.written : s.lost).fetch_add(batch->size(), std::memory_order_relaxed);
  return ok;
}

}  // namespace

bool Event_Sink::Open(const char* spec, std::string* err) {
  Delivery_Window_Limits limits;
  if (!ParseDeliveryWindow(getenv("HOV_DELIVERY_WINDOW"),
                           getenv("HOV_WHEN_FULL"), &limits, err)) {
    return false;
  }
  std::vector<std::unique_ptr<Event_Output>> outputs;
  if (!MakeEventOutputs(spec, &outputs, err, &limits)) {
    return false;
  }
  uint64_t step = 0;
  for (const auto& o : outputs) {
    if (o->Acknowledges()) {
      step = std::clamp<uint64_t>(limits.events / 8, 1, kPositionStepMax);
    }
  }
  auto w = std::make_shared<Event_Writers>();
  uint64_t sequence;
  {
    // No event is numbered while the writers start from the last one.
    Posix_Mutex::Hold g(&State().write_mu);
    sequence = State().sequence.load();
    if (!w->Start(std::move(outputs), sequence, limits, err)) {
      return false;
    }
  }
  State().closed_through.store(kNoLoss);
  Install(std::move(w), nullptr);
  State().position_step.store(step, std::memory_order_relaxed);
  return true;
}

void Event_Sink::Use(FILE* f) {
  State().closed_through.store(kNoLoss);
  Install(nullptr, f);
  State().position_step.store(0, std::memory_order_relaxed);
}

void Event_Sink::Close() {
  Install(nullptr, nullptr, true);
  State().position_step.store(0, std::memory_order_relaxed);
}

void Event_Sink::Reopen() {
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  if (s.writers != nullptr) {
    s.writers->RequestReopen();
  }
}

Event_Counts Event_Sink::Counts() {
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  Event_Counts c;
  c.written = s.written.load(std::memory_order_relaxed);
  c.lost = s.lost.load(std::memory_order_relaxed);
  c.retried = s.retried.load(std::memory_order_relaxed);
  if (s.writers != nullptr) {
    s.writers->AddCounts(&c);
  }
  return c;
}

std::vector<Event_Output_Counts> Event_Sink::OutputCounts() {
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  return s.writers != nullptr ? s.writers->OutputCounts()
                              : std::vector<Event_Output_Counts>();
}

void Event_Sink::Restate(const Event_Record& e) {
  const std::string line = Line(e, std::string(UtcNow()));
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  if (s.writers != nullptr) {
    s.writers->Restate(e.situation, line);
  }
}

std::vector<Alert_Told> Event_Sink::AlertsTold() {
  std::vector<Alert_Told> told;
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  if (s.writers != nullptr) {
    s.writers->AlertsTold(&told);
  }
  return told;
}

uint64_t Event_Sink::ThreadSequence() {
  // The events waiting in the thread's batch are numbered when handed over.
  FlushBatch();
  return t_sequence;
}

uint64_t Event_Sink::ThreadEvents() {
  return t_events;
}

uint64_t Event_Sink::PositionStep() {
  return State().position_step.load(std::memory_order_relaxed);
}

namespace {

bool WindowFullAt(bool low) {
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  return s.writers != nullptr && s.writers->WindowFull(low);
}

}  // namespace

bool Event_Sink::WindowFull() {
  return WindowFullAt(false);
}

bool Event_Sink::AwaitWindowRoom(int timeout_ms) {
  Sink_State& s = State();
  s.room_waiters.fetch_add(1);
  {
    Posix_Mutex::Hold g(&s.room_mu);
    const struct timespec deadline = MonotonicDeadline(timeout_ms);
    while (WindowFullAt(true) && !Ending().load() &&
           s.room.WaitUntil(&s.room_mu, deadline)) {
    }
  }
  s.room_waiters.fetch_sub(1);
  return !WindowFullAt(false);
}

void Event_Sink::WindowMoved() {
  Sink_State& s = State();
  // A waiter counts itself before it looks at the window, under room_mu:
  // either it sees the room made before this call, or it is woken here.
  if (s.room_waiters.load() == 0 || WindowFullAt(true)) {
    return;
  }
  Posix_Mutex::Hold g(&s.room_mu);
  s.room.Broadcast();
}

uint64_t Event_Sink::DurableSequence() {
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  return s.writers != nullptr ? s.writers->DurableSequence()
                              : s.closed_through.load();
}

void Event_Sink::EndWaits() {
  Ending().store(true);
  Sink_State& s = State();
  {
    Posix_Mutex::Hold g(&s.mu);
    if (s.writers != nullptr) {
      s.writers->EndWaits();
    }
  }
  Posix_Mutex::Hold g(&s.room_mu);
  s.room.Broadcast();
}

bool Event_Sink::AwaitDurable(int wait_ms) {
  FlushBatch();
  Sink_State& s = State();
  // Held so that the writers stay while they are waited for.
  Posix_Mutex::Hold w(&s.write_mu);
  Event_Writers* writers;
  {
    Posix_Mutex::Hold g(&s.mu);
    writers = s.writers.get();
  }
  return writers == nullptr ||
         writers->AwaitDurable(s.sequence.load(), wait_ms);
}

std::string Event_Sink::Line(const Event_Record& e, const std::string& time) {
  std::string line;
  AppendLine(&line, e, time);
  return line;
}

Event_Wake_Deferral::Event_Wake_Deferral() {
  ++t_deferrals;
}

Event_Wake_Deferral::~Event_Wake_Deferral() {
  if (--t_deferrals > 0) {
    return;
  }
  FlushBatch();
  if (!t_wake_owed) {
    return;
  }
  t_wake_owed = false;
  Sink_State& s = State();
  Posix_Mutex::Hold g(&s.mu);
  if (s.writers != nullptr) {
    s.writers->Wake();
  }
}

bool Event_Sink::Write(const Event_Record& e) {
  ++t_events;
  const std::string_view time = UtcNow();
  if (t_batch == nullptr) {
    t_batch = std::make_shared<Event_Batch>();
    t_batch->Reserve(kBatchBytes + 4096);
  }
  // The line is made once, in the batch itself, unless a stream or a
  // command wants it too.
  if (Event_Streams::Active() || !e.run.empty()) {
    const std::string line = Line(e, std::string(time));
    Event_Streams::Publish(e.situation, line);
    if (!e.run.empty()) {
      Action_Runner::Submit(e, std::string(time), line);
    }
    t_batch->Add(e.situation,
                 [&line](std::string* text) { text->append(line); });
  } else {
    t_batch->Add(e.situation,
                 [&e, time](std::string* text) { AppendLine(text, e, time); });
  }
  // Outside a pass, or under Use(), at once; in a pass, when the batch is
  // full or the pass ends.
  if (t_deferrals > 0 && State().batched.load(std::memory_order_relaxed) &&
      t_batch->size() < kBatchEvents && t_batch->Bytes() < kBatchBytes) {
    return true;
  }
  return FlushBatch();
}
