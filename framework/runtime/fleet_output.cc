#include "framework/runtime/fleet_output.h"

#include <string.h>

#include "framework/runtime/kafka_output.h"
#include "framework/runtime/nats_output.h"
#include "util/process_wide.h"

bool IsFleetSinkUrl(const std::string& text) {
  return text.compare(0, 8, "kafka://") == 0 ||
         text.compare(0, 7, "nats://") == 0 ||
         text.compare(0, 6, "tls://") == 0;
}

bool MakeFleetOutput(const std::string& url,
                     const Delivery_Window_Limits& limits,
                     std::unique_ptr<Event_Output>* output, std::string* err) {
  if (url.compare(0, 8, "kafka://") == 0) {
    return MakeKafkaOutput(url, limits, output, err);
  }
  return MakeNatsOutput(url, limits, output, err);
}

namespace {

// This system's name, for an event without a row (set before any output
// starts).
struct Fleet_Local_Host {
  std::string name = "localhost";
};

}  // namespace

std::string EventLineHost(const std::string& line) {
  static const char kField[] = "\"ORIGINNODE\":\"";
  // memmem: std::string::find stops at every quote of the line.
  const void* found =
      memmem(line.data(), line.size(), kField, sizeof kField - 1);
  if (found != nullptr) {
    const size_t at =
        static_cast<size_t>(static_cast<const char*>(found) - line.data());
    std::string host;
    for (size_t i = at + sizeof kField - 1; i < line.size() && line[i] != '"';
         ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        ++i;
      }
      host += line[i];
    }
    if (!host.empty()) {
      return host;
    }
  }
  return ProcessWide<Fleet_Local_Host>().name;
}

void SetFleetLocalHost(const std::string& name) {
  ProcessWide<Fleet_Local_Host>().name = name;
}

void Fleet_Output::AddFleetCounts(Event_Output_Counts* c) const {
  c->fleet = true;
  c->connected = Connected();
  c->acknowledged = acknowledged_.load(std::memory_order_relaxed);
  c->failed += failed_.load(std::memory_order_relaxed);
  c->retried = retried_.load(std::memory_order_relaxed);
  c->unacknowledged = window_.Events();
  c->oldest_pending_s = window_.OldestAgeSeconds();
}
