// qorctl top: a live view of a running agent, refreshed every second, made
// from the replies qorctl already asks for (PING, REPORT VXMONLOG and
// SITUATION LIST). Rates are the differences between two samples.
#ifndef QOR_TOOLS_QORCTL_TOP_H_
#define QOR_TOOLS_QORCTL_TOP_H_

#include <stdio.h>

#include <string>
#include <vector>

#include "tools/json_line.h"

// One look at the agent: its PING row, its VXMONLOG rows and its
// situations, taken at `ms` (monotonic milliseconds).
struct Top_Sample {
  long long ms = 0;
  std::vector<Json_Field> agent;
  std::vector<std::vector<Json_Field>> logs;
  std::vector<std::vector<Json_Field>> situations;
};

// Asks the agent at `socket` for a sample. False with *err (and *unreachable
// when no agent answers there) otherwise.
[[nodiscard]] bool TakeTopSample(const std::string& socket, Top_Sample* sample,
                                 bool* unreachable, std::string* err);

// The view of `now`, with rates against `before` (null: no rates yet): a
// heading line, the logs sorted by lines per second, then the situations
// sorted by matches per second; each line cut to `width` columns (0: not
// cut) and at most `height` lines (0: all).
std::string FormatTop(const Top_Sample* before, const Top_Sample& now,
                      const std::string& socket, size_t width, size_t height);

// Runs the view: on a terminal (`out` is one) it redraws every second until
// 'q' is typed on standard input or SIGINT/SIGTERM comes; otherwise it
// prints one view, rates over one second, and returns. The exit status.
int QorctlTop(const std::string& socket, FILE* out, FILE* err);

#endif  // QOR_TOOLS_QORCTL_TOP_H_
