// Fleet outputs: builds the Kafka and NATS JetStream outputs from their
// addresses.
#include "framework/fleet/fleet_output.h"

#include <string.h>

#include <algorithm>

#include "framework/fleet/kafka_output.h"
#include "framework/fleet/nats_output.h"
#include "framework/fleet/otlp_output.h"
#include "framework/runtime/trace.h"
#include "util/process_wide.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

bool IsFleetSinkUrl(const std::string& text) {
  return text.compare(0, 8, "kafka://") == 0 ||
         text.compare(0, 7, "nats://") == 0 ||
         text.compare(0, 6, "tls://") == 0 ||
         text.compare(0, 8, "otlp+htt") == 0;
}

bool MakeFleetOutput(const std::string& url,
                     const Delivery_Window_Limits& limits,
                     std::unique_ptr<Event_Output>* output, std::string* err) {
  if (url.compare(0, 8, "kafka://") == 0) {
    return MakeKafkaOutput(url, limits, output, err);
  }
  if (url.compare(0, 5, "otlp+") == 0) {
    return MakeOtlpOutput(url, limits, output, err);
  }
  return MakeNatsOutput(url, limits, output, err);
}

std::string FleetUrlForMessages(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t at = url.rfind('@', url.find('/', from));
  if (at == std::string::npos || at < from) {
    return url;
  }
  return url.substr(0, from) + "..." + url.substr(at);
}

namespace {

// This system's name, for an event without a row (set before any output
// starts).
struct Fleet_Local_Host {
  std::string name = "localhost";
};

}  // namespace

std::string EventLineHost(const std::string& line) {
  std::string scratch;
  return std::string(EventLineHost(std::string_view(line), &scratch));
}

std::string_view EventLineHost(std::string_view line, std::string* scratch) {
  // The name's first letter is rare in an event line: memchr finds each
  // candidate faster than a search for the whole field would.
  static const char kField[] = "\"ORIGINNODE\":\"";
  constexpr size_t kFieldLength = sizeof kField - 1;
  const char* found = nullptr;
  const char* at = line.data() + 1;
  const char* const stop = line.data() + line.size();
  while (at < stop && found == nullptr) {
    at = static_cast<const char*>(
        memchr(at, 'O', static_cast<size_t>(stop - at)));
    if (at == nullptr) {
      break;
    }
    if (static_cast<size_t>(stop - at) >= kFieldLength - 1 &&
        memcmp(at - 1, kField, kFieldLength) == 0) {
      found = at - 1;
    }
    ++at;
  }
  if (found != nullptr) {
    const size_t from = static_cast<size_t>(found - line.data()) + kFieldLength;
    size_t end = from;
    while (end < line.size() && line[end] != '"' && line[end] != '\\') {
      ++end;
    }
    if (end < line.size() && line[end] == '\\') {
      scratch->assign(line.data() + from, end - from);
      for (size_t i = end; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
          ++i;
        }
        scratch->push_back(line[i]);
      }
      return *scratch;
    }
    if (end > from) {
      return line.substr(from, end - from);
    }
  }
  return ProcessWide<Fleet_Local_Host>().name;
}

void SetFleetLocalHost(const std::string& name) {
  ProcessWide<Fleet_Local_Host>().name = name;
}

size_t Fleet_Output::PutNumberedLines(const Event_Batch& batch, size_t first,
                                      uint64_t sequence, bool* kept,
                                      std::string* why) {
  sizes_.clear();
  for (size_t i = first; i < batch.size(); ++i) {
    sizes_.push_back(static_cast<uint32_t>(
        std::min<size_t>(batch.Line(i).size(), UINT32_MAX)));
  }
  const size_t took = window_.AdmitSome(sequence, sizes_.data(), sizes_.size());
  if (took == 0) {
    *kept = false;
    *why = "the delivery window is full";
    return 1;
  }
  SendLines(batch, first, took, sequence);
  *kept = true;
  return took;
}

void Fleet_Output::SendLines(const Event_Batch& batch, size_t first,
                             size_t count, uint64_t sequence) {
  for (size_t i = 0; i < count; ++i) {
    Send(sequence + i, batch.Line(first + i));
  }
}

bool Fleet_Output::Rejected(uint64_t sequence, std::string_view subject,
                            const std::string& why) {
  if (!window_.Acknowledge(sequence)) {
    return false;
  }
  rejected_.fetch_add(1, std::memory_order_relaxed);
  if (window_.Roomy()) {
    Event_Sink::WindowMoved();
  }
  uint64_t held = 0;
  bool due;
  {
    Posix_Mutex::Hold g(&rejections_mu_);
    due = rejections_.Due(&held);
  }
  if (due) {
    const std::string where =
        subject.empty() ? std::string() : " (" + std::string(subject) + ")";
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nEvent rejected by %s%s: %s; it cannot be delivered and is "
               "given up; %llu more rejected since the last report.",
               Name().c_str(), where.c_str(), why.c_str(),
               static_cast<unsigned long long>(held));
  }
  return true;
}

void Fleet_Output::AddFleetCounts(Event_Output_Counts* c) const {
  c->fleet = true;
  c->connected = Connected();
  c->acknowledged = acknowledged_.load(std::memory_order_relaxed);
  c->failed_attempts = failed_attempts_.load(std::memory_order_relaxed);
  c->rejected += rejected_.load(std::memory_order_relaxed);
  c->retried += retried_.load(std::memory_order_relaxed);
  c->unacknowledged = window_.Events();
  c->oldest_pending_s = window_.OldestAgeSeconds();
}
