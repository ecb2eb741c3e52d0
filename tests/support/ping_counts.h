// The counters a PING reply carries, as they stand now: what tests of the
// control protocol, server and client expect after "pid" and "system".
#ifndef QOR_TESTS_SUPPORT_PING_COUNTS_H_
#define QOR_TESTS_SUPPORT_PING_COUNTS_H_

#include <stdint.h>

#include <string>

#include "framework/events/event_sink.h"
#include "framework/situations/action_runner.h"
#include "framework/tables/table_manager.h"

namespace qortest {

inline std::string PingCounts() {
  const Event_Counts c = Event_Sink::Counts();
  uint64_t evicted = 0;
  for (const TableManager* m : TableManager::All()) {
    evicted += m->KeysEvicted();
  }
  return "\"events_written\":" + std::to_string(c.written) +
         ",\"events_lost\":" + std::to_string(c.lost) +
         ",\"events_retried\":" + std::to_string(c.retried) +
         ",\"actions_dropped\":" + std::to_string(Action_Runner::Dropped()) +
         ",\"keys_evicted\":" + std::to_string(evicted) +
         ",\"metrics\":\"off\"";
}

}  // namespace qortest

#endif  // QOR_TESTS_SUPPORT_PING_COUNTS_H_
