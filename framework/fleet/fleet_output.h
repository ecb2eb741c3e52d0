// Event outputs to the fleet's engine: Kafka (kafka://BROKERS/TOPIC) and
// NATS JetStream (nats:// or tls://SERVERS/SUBJECT). Each sends every event
// line as it is, keyed by the event's host (ORIGINNODE), and counts it
// delivered only when the engine acknowledges it; what is sent and not yet
// acknowledged waits in the output's delivery window (ack_window.h), which
// holds back saved log positions and, when full, the log workers.
#ifndef QOR_FRAMEWORK_FLEET_FLEET_OUTPUT_H_
#define QOR_FRAMEWORK_FLEET_FLEET_OUTPUT_H_

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/events/ack_window.h"
#include "framework/events/event_output.h"
#include "framework/events/event_sink.h"
#include "util/posix_mutex.h"
#include "util/repeat_limiter.h"

// Whether the HOV_EVENTS item starting at `text` is a fleet sink's URL.
bool IsFleetSinkUrl(const std::string& text);

// Makes the output of `url` (kafka://, nats://, tls://) with the window
// `limits`. False with *err when the URL, a client setting or a
// credentials file is refused; an engine that is down is not an error.
[[nodiscard]] bool MakeFleetOutput(const std::string& url,
                                   const Delivery_Window_Limits& limits,
                                   std::unique_ptr<Event_Output>* output,
                                   std::string* err);

// `url` for messages: a user and password before '@' in its address are
// replaced by "...".
std::string FleetUrlForMessages(const std::string& url);

// The host an event line is of: its row's ORIGINNODE, else this system's
// name.
std::string EventLineHost(const std::string& line);
// The same without a copy when the name has no escape; `*scratch` holds it
// otherwise. Valid while `line` and `*scratch` are.
std::string_view EventLineHost(std::string_view line, std::string* scratch);
// Sets this system's name for EventLineHost; called before the outputs
// are made.
void SetFleetLocalHost(const std::string& name);

// What Kafka and JetStream outputs share: the window and the counters.
class Fleet_Output : public Event_Output {
 public:
  bool Acknowledges() const override { return true; }
  bool Durable() const override { return true; }
  bool Put(const std::string& situation, const std::string& line,
           std::string* why) override {
    return PutNumbered(0, situation, line, why);
  }
  // Admits the event to the window (waiting for room, or refused under
  // HOV_WHEN_FULL=drop), then sends it.
  bool PutNumbered(uint64_t sequence, const std::string& /*situation*/,
                   const std::string& line, std::string* why) final {
    if (!window_.Admit(sequence, line.size())) {
      *why = "the delivery window is full";
      return false;
    }
    Send(sequence, line);
    return true;
  }
  // Admits as many of the lines from `first` on as the window takes at
  // once (waiting for room for the first), then sends them together.
  size_t PutNumberedLines(const Event_Batch& batch, size_t first,
                          uint64_t sequence, bool* kept,
                          std::string* why) final;
  uint64_t AcknowledgedThrough() const override {
    return window_.AcknowledgedThrough();
  }
  uint64_t UnacknowledgedBytes() const override { return window_.Bytes(); }
  void Stop() override { window_.Stop(); }
  void AddFleetCounts(Event_Output_Counts* counts) const override;

 protected:
  Fleet_Output(std::string name, const Delivery_Window_Limits& limits)
      : Event_Output(std::move(name)), window_(limits) {}
  // The engine acknowledged the event numbered `sequence`.
  void Acknowledged(uint64_t sequence) {
    if (window_.Acknowledge(sequence)) {
      acknowledged_.fetch_add(1, std::memory_order_relaxed);
    }
    // A window still more than three quarters full wakes no log worker.
    if (window_.Roomy()) {
      Event_Sink::WindowMoved();
    }
  }
  // The same for `count` events at once.
  void Acknowledged(const uint64_t* sequences, size_t count) {
    acknowledged_.fetch_add(window_.AcknowledgeSome(sequences, count),
                            std::memory_order_relaxed);
    if (window_.Roomy()) {
      Event_Sink::WindowMoved();
    }
  }
  // The engine refused the event numbered `sequence` for good (larger than
  // it takes): sending it again cannot succeed, so it leaves the window as
  // an acknowledged one does, counted as rejected and traced (once a
  // minute), and the saved positions pass it. False when it was not waiting.
  bool Rejected(uint64_t sequence, std::string_view subject,
                const std::string& why);
  virtual bool Connected() const = 0;
  // Sends the admitted event numbered `sequence`; what fails is held in
  // the window and sent again by the output.
  virtual void Send(uint64_t sequence, std::string_view line) = 0;
  // Sends the admitted lines [first, first + count) of `batch`, numbered
  // from `sequence`; by default each by Send.
  virtual void SendLines(const Event_Batch& batch, size_t first, size_t count,
                         uint64_t sequence);

  Ack_Window window_;
  std::vector<uint32_t> sizes_;  // the writer's thread's
  std::atomic<uint64_t> acknowledged_{0};
  std::atomic<uint64_t> retried_{0};
  // Sendings the engine refused for now or did not answer: each is sent
  // again, so none is lost.
  std::atomic<uint64_t> failed_attempts_{0};
  // Events the engine refused for good: given up, never delivered.
  std::atomic<uint64_t> rejected_{0};

 private:
  Posix_Mutex rejections_mu_;
  Repeat_Limiter rejections_ GUARDED_BY(rejections_mu_);
};

#endif  // QOR_FRAMEWORK_FLEET_FLEET_OUTPUT_H_
