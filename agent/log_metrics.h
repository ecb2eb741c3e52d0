// The monitored logs as the metrics endpoint shows them: the agent's source
// for Metrics_Server (registered by QorAgentMain).
#ifndef QOR_AGENT_LOG_METRICS_H_
#define QOR_AGENT_LOG_METRICS_H_

#include <vector>

#include "framework/control/metrics_server.h"

// Fills *logs with every log of pTheLogManager (nothing before it exists):
// counters and status copied while counted in as a request (reading
// atomics only, no LogLock), sizes taken afterwards. Any thread.
void TvxLogMetrics(std::vector<Log_Metrics>* logs);

#endif  // QOR_AGENT_LOG_METRICS_H_
