// Log_Owner: what the monitored logs share with the one that owns them (the
// log manager, agent/log_manager.h, derives from it): the positions the last
// run saved, the count of position changes, and the debug log.
//
// The logs reach it through TheLogOwner(), which the process entry
// (agent/tvxmain.cc) defines: null before the manager is made and after it
// is gone. The fields are the manager's to set up; workers only take their
// saved position, count their changes and write to the open debug log.
#ifndef QOR_AGENT_KINDS_LOG_OWNER_H_
#define QOR_AGENT_KINDS_LOG_OWNER_H_

#include <stdint.h>
#include <stdio.h>

#include <atomic>

#include "agent/follow/position_store.h"

class Log_Owner {
 public:
  // The open debug log; null when closed. Opened and closed by the manager
  // thread, read by the workers.
  std::atomic<FILE*> DebugLogP{nullptr};
  // Positions loaded from the state file at start; each worker takes its
  // own as it first starts.
  Position_Store Positions;
  // Raised by the workers each time a position they report changes
  // (lfPositionMoved).
  std::atomic<uint64_t> PositionChanges{0};

 protected:
  Log_Owner() = default;
  ~Log_Owner() = default;
};

// The owner of this process's logs, or null while there is none.
Log_Owner* TheLogOwner();

#endif  // QOR_AGENT_KINDS_LOG_OWNER_H_
