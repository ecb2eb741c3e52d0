// The delivery window of a fleet sink (Kafka, JetStream): the events sent
// to the engine and not yet acknowledged, in the order they were sent.
// Admit waits while the window holds its most events or bytes, so that an
// unreachable or slow engine holds back the events (and, behind them, the
// log workers) instead of memory growing; acknowledgements may come in any
// order, and AcknowledgedThrough tells the highest sequence number below
// which every event sent is acknowledged, the mark saved log positions
// wait for. Thread-safe: Admit on the output's writer thread,
// Acknowledge on the client library's threads.
#ifndef QOR_FRAMEWORK_EVENTS_ACK_WINDOW_H_
#define QOR_FRAMEWORK_EVENTS_ACK_WINDOW_H_

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <deque>
#include <string>

#include "util/posix_mutex.h"

// HOV_DELIVERY_WINDOW and HOV_WHEN_FULL.
struct Delivery_Window_Limits {
  uint64_t events = 10000;
  uint64_t bytes = 16u << 20;
  bool drop = false;  // HOV_WHEN_FULL=drop: read on, drop and count
  // Three quarters of the window: what waits for room is woken once a
  // quarter of it is free, not for each acknowledgement, so that one
  // wake-up admits many events.
  Delivery_Window_Limits Low() const {
    return Delivery_Window_Limits{events - events / 4, bytes - bytes / 4, drop};
  }
};

// Parses "EVENTS[,SIZE]" (SIZE in bytes, or with K, M or G) and "wait" or
// "drop"; null or empty: the default. False with *err.
[[nodiscard]] bool ParseDeliveryWindow(const char* window,
                                       const char* when_full,
                                       Delivery_Window_Limits* limits,
                                       std::string* err);

class Ack_Window {
 public:
  explicit Ack_Window(const Delivery_Window_Limits& limits);
  Ack_Window(const Ack_Window&) = delete;
  Ack_Window& operator=(const Ack_Window&) = delete;

  // Records the event numbered `sequence` (higher than any before) of
  // `bytes` as sent, waiting for room first (unless `limits.drop`). False
  // when there is no room (drop) or Stop() was called.
  bool Admit(uint64_t sequence, size_t bytes);
  // Admit for the `count` events numbered from `sequence` on, `bytes[i]`
  // each, under one lock: waits for room for the first only, then takes
  // those that fit. Returns how many it took; 0 as Admit's false.
  size_t AdmitSome(uint64_t sequence, const uint32_t* bytes, size_t count);
  // The engine acknowledged the event: false when it was not waiting (an
  // acknowledgement seen twice).
  bool Acknowledge(uint64_t sequence);
  // Acknowledge for `count` events under one lock: how many were waiting.
  size_t AcknowledgeSome(const uint64_t* sequences, size_t count);
  // Every event admitted with a number up to this is acknowledged;
  // UINT64_MAX when none waits.
  uint64_t AcknowledgedThrough() const {
    return through_.load(std::memory_order_acquire);
  }
  uint64_t Events() const;
  uint64_t Bytes() const { return bytes_.load(std::memory_order_relaxed); }
  // At the last acknowledgement, at most three quarters of the window was
  // in use (the point at which waiting senders are woken).
  bool Roomy() const { return roomy_.load(std::memory_order_relaxed); }
  // Seconds since the oldest unacknowledged event was sent; 0: none.
  double OldestAgeSeconds() const;
  // Ends every wait in Admit, for good.
  void Stop();

 private:
  struct Entry {
    uint64_t sequence;
    uint32_t bytes;
    bool acknowledged;
    int64_t sent_ms;
  };
  bool Full(size_t bytes) const REQUIRES(mu_) {
    return !entries_.empty() &&
           (entries_.size() >= limits_.events ||
            bytes_.load(std::memory_order_relaxed) + bytes > limits_.bytes);
  }
  void Push(uint64_t sequence, size_t bytes, int64_t now_ms) REQUIRES(mu_);
  bool MarkAcknowledged(uint64_t sequence) REQUIRES(mu_);
  void Advance() REQUIRES(mu_);

  std::atomic<bool> roomy_{true};
  const Delivery_Window_Limits limits_;
  mutable Posix_Mutex mu_;
  Posix_Cond room_;
  std::deque<Entry> entries_ GUARDED_BY(mu_);
  size_t waiting_ GUARDED_BY(mu_) = 0;  // entries not yet acknowledged
  int waiters_ GUARDED_BY(mu_) = 0;     // threads waiting in Admit
  bool stopped_ GUARDED_BY(mu_) = false;
  std::atomic<uint64_t> through_{UINT64_MAX};
  std::atomic<uint64_t> bytes_{0};  // written under mu_, read anywhere
};

#endif  // QOR_FRAMEWORK_EVENTS_ACK_WINDOW_H_
