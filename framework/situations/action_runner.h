// Commands run on events (a situation's RUN clause). Each runs through
// /bin/sh -c, in a process group of its own, with the event's JSON line on
// its standard input and the event in QOR_* environment variables; event
// data never becomes part of the command text. At most ACTION_RUNNING run at
// once and ACTION_WAITING more wait; beyond that an event's command is
// dropped and counted. A command still running after HOV_RUN_TIMEOUT seconds
// (default 30) is killed with its group. Its output goes to the trace at the
// flow level, cut at ACTION_OUTPUT_SHOWN bytes; a failure is traced at the
// error level. Submitting never waits for a command. Thread-safe.
#ifndef QOR_FRAMEWORK_SITUATIONS_ACTION_RUNNER_H_
#define QOR_FRAMEWORK_SITUATIONS_ACTION_RUNNER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct Event_Record;

constexpr int ACTION_RUNNING = 4;
constexpr size_t ACTION_WAITING = 1000;
constexpr size_t ACTION_OUTPUT_SHOWN = 4096;
constexpr long ACTION_DEFAULT_TIMEOUT = 30;

class Action_Runner {
 public:
  // Queues the RUN command of `event` (stamped `time`, as the JSON `line`);
  // drops it when too many wait.
  static void Submit(const Event_Record& event, const std::string& time,
                     const std::string& line);
  // Drops the waiting commands, kills the running ones and ends the runner
  // threads; a later Submit starts them again.
  static void Stop();
  // Commands dropped since the start because too many waited.
  static uint64_t Dropped();
  // Commands run to their end (or killed) since the start, and of them
  // those that failed: not started, a non-zero status, ended by a signal or
  // killed at the time-out (not those killed because the agent stops).
  static uint64_t Run();
  static uint64_t Failed();
};

#endif  // QOR_FRAMEWORK_SITUATIONS_ACTION_RUNNER_H_
