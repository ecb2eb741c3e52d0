// Ack_Window: the events a fleet output sent and that are not yet
// acknowledged, in order.
#include "framework/events/ack_window.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "util/monotonic_ms.h"

namespace {

// A whole decimal number with an optional K, M or G (powers of 1024).
bool ParseAmount(const std::string& text, bool size, uint64_t* value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = strtoull(text.c_str(), &end, 10);
  if (errno != 0) {
    return false;
  }
  unsigned shift = 0;
  if (size && *end != '\0') {
    const char unit = static_cast<char>(*end | 0x20);
    shift = unit == 'k' ? 10 : unit == 'm' ? 20 : unit == 'g' ? 30 : 64;
    ++end;
    if (*end == 'i' || *end == 'I') {
      ++end;
    }
    if ((*end | 0x20) == 'b') {
      ++end;
    }
  }
  if (*end != '\0' || shift == 64 || n == 0 || n > (UINT64_MAX >> shift)) {
    return false;
  }
  *value = static_cast<uint64_t>(n) << shift;
  return true;
}

}  // namespace

bool ParseDeliveryWindow(const char* window, const char* when_full,
                         Delivery_Window_Limits* limits, std::string* err) {
  *limits = Delivery_Window_Limits();
  const std::string w = window != nullptr ? window : "";
  if (!w.empty()) {
    const size_t comma = w.find(',');
    if (!ParseAmount(w.substr(0, comma), false, &limits->events) ||
        (comma != std::string::npos &&
         !ParseAmount(w.substr(comma + 1), true, &limits->bytes))) {
      *err = "HOV_DELIVERY_WINDOW \"" + w +
             "\" is not EVENTS[,SIZE] (a positive count, and a size "
             "in bytes or with K, M or G)";
      return false;
    }
  }
  const std::string f = when_full != nullptr ? when_full : "";
  if (f == "drop") {
    limits->drop = true;
  } else if (!f.empty() && f != "wait") {
    *err = "HOV_WHEN_FULL \"" + f + "\" is neither wait nor drop";
    return false;
  }
  return true;
}

Ack_Window::Ack_Window(const Delivery_Window_Limits& limits)
    : limits_(limits) {}

bool Ack_Window::Admit(uint64_t sequence, size_t bytes) {
  const uint32_t size =
      static_cast<uint32_t>(std::min<size_t>(bytes, UINT32_MAX));
  return AdmitSome(sequence, &size, 1) == 1;
}

size_t Ack_Window::AdmitSome(uint64_t sequence, const uint32_t* bytes,
                             size_t count) {
  Posix_Mutex::Hold g(&mu_);
  // One event always fits in an empty window, however long. Events
  // acknowledged behind one that is not still count: a restart reads them
  // again.
  while (!stopped_ && Full(bytes[0])) {
    if (limits_.drop) {
      return 0;
    }
    // Woken once a quarter of the window is free, not for each
    // acknowledgement: one wake-up admits many events.
    ++waiters_;
    room_.Wait(&mu_);
    --waiters_;
  }
  if (stopped_) {
    return 0;
  }
  const int64_t now = MonotonicMs();
  size_t taken = 0;
  do {
    Push(sequence + taken, bytes[taken], now);
    ++taken;
  } while (taken < count && !Full(bytes[taken]));
  return taken;
}

void Ack_Window::Push(uint64_t sequence, size_t bytes, int64_t now_ms) {
  entries_.push_back(
      Entry{sequence, static_cast<uint32_t>(bytes), false, now_ms});
  ++waiting_;
  // Written only under mu_: a plain store, not a locked add per event.
  bytes_.store(bytes_.load(std::memory_order_relaxed) + bytes,
               std::memory_order_relaxed);
  if (entries_.size() == 1) {
    through_.store(sequence - 1, std::memory_order_release);
  }
}

bool Ack_Window::MarkAcknowledged(uint64_t sequence) {
  // Numbers are mostly consecutive: the entry is usually where its number
  // says.
  if (!entries_.empty() && sequence >= entries_.front().sequence &&
      sequence - entries_.front().sequence < entries_.size()) {
    Entry& e = entries_[sequence - entries_.front().sequence];
    if (e.sequence == sequence) {
      if (e.acknowledged) {
        return false;
      }
      e.acknowledged = true;
      --waiting_;
      bytes_.store(bytes_.load(std::memory_order_relaxed) - e.bytes,
                   std::memory_order_relaxed);
      return true;
    }
  }
  const auto it = std::lower_bound(
      entries_.begin(), entries_.end(), sequence,
      [](const Entry& e, uint64_t s) { return e.sequence < s; });
  if (it == entries_.end() || it->sequence != sequence || it->acknowledged) {
    return false;
  }
  it->acknowledged = true;
  --waiting_;
  bytes_.store(bytes_.load(std::memory_order_relaxed) - it->bytes,
               std::memory_order_relaxed);
  return true;
}

bool Ack_Window::Acknowledge(uint64_t sequence) {
  return AcknowledgeSome(&sequence, 1) == 1;
}

size_t Ack_Window::AcknowledgeSome(const uint64_t* sequences, size_t count) {
  Posix_Mutex::Hold g(&mu_);
  size_t done = 0;
  for (size_t i = 0; i < count; ++i) {
    done += MarkAcknowledged(sequences[i]) ? 1 : 0;
  }
  if (done > 0) {
    Advance();
    const Delivery_Window_Limits low = limits_.Low();
    const bool roomy =
        (entries_.size() <= low.events || entries_.size() <= 1) &&
        bytes_.load(std::memory_order_relaxed) <= low.bytes;
    roomy_.store(roomy, std::memory_order_relaxed);
    if (waiters_ > 0 && roomy) {
      room_.Broadcast();
    }
  }
  return done;
}

void Ack_Window::Advance() {
  while (!entries_.empty() && entries_.front().acknowledged) {
    entries_.pop_front();
  }
  through_.store(entries_.empty() ? UINT64_MAX : entries_.front().sequence - 1,
                 std::memory_order_release);
}

uint64_t Ack_Window::Events() const {
  Posix_Mutex::Hold g(&mu_);
  return waiting_;
}

double Ack_Window::OldestAgeSeconds() const {
  Posix_Mutex::Hold g(&mu_);
  for (const Entry& e : entries_) {
    if (!e.acknowledged) {
      return static_cast<double>(MonotonicMs() - e.sent_ms) / 1000.0;
    }
  }
  return 0;
}

void Ack_Window::Stop() {
  Posix_Mutex::Hold g(&mu_);
  stopped_ = true;
  room_.Broadcast();
}
