// Fleet requests: the agent's read-only reports asked of many hosts at once
// over NATS request and reply (HOV_FLEET=nats://HOST:PORT[,...]/PREFIX).
//
// The agent subscribes to PREFIX.query.all and PREFIX.query.KEY, KEY being
// its system name as one subject token (NatsHostToken), and answers PING and
// REPORT requests with the control protocol's own code (RunControlRequest),
// so that a fleet report reads, counts in and is limited exactly as a local
// one. Nothing else is taken: no situation changes, no RELOAD, no EVENTS.
//
// Request (at most FLEET_MAX_REQUEST bytes), one JSON object:
//   {"request":"STREAM REPORT VXLOGENT WHERE ...","limit":500}
// "request" is a control request line; "limit" (optional, 1 to
// FLEET_MAX_LIMIT) the most rows wanted, capped by the agent's own limit.
//
// Answer, to the request's reply subject, in order:
//   chunk:  {"host":"web1:TVX","key":"web1_TVX","part":1}\n ROW\n ROW\n ...
//   final:
//   {"host":"web1:TVX","key":"web1_TVX","final":true,"rows":N,"cut":false}
//      or
//      {"host":...,"key":...,"final":true,"rows":0,"cut":false,"error":"text"}
// Every message holds whole JSON rows and is at most FLEET_MAX_MESSAGE bytes
// (less when the server takes less). A host has finished with its final
// message; "cut" tells that its row limit left matching rows out.
//
// The roster: the JetStream key-value bucket FLEET_ROSTER_BUCKET holds one
// key per agent (KEY) whose value is
//   {"host":"web1:TVX","version":"qoragent 1.0.0","logs":12,"situations":3,
//    "started":"2026-12-08T20:06:22Z","pid":4242}
// put every 30 s, living 90 s (the bucket's age limit), deleted at a clean
// stop. The first agent creates the bucket. An agent that takes the fleet's
// situations (fleet_situations.h) adds
//   "groups":["web"],"fleet_situations":{"revision":N,"watching":true,
//     "keys":{"all.sshfail":{"revision":N,"state":"applied"},...}}
// and puts its entry at once after each change it applies.
//
// Owned by hovmain, which calls Start and Stop on its thread. At most
// `workers` requests run at once on the server's own threads; one more waits
// up to `slot_wait_ms` and is then answered busy. The library's delivery
// thread only queues requests.
#ifndef QOR_FRAMEWORK_CONTROL_FLEET_SERVER_H_
#define QOR_FRAMEWORK_CONTROL_FLEET_SERVER_H_

#include <stddef.h>

#include <memory>
#include <string>

struct Control_Request;

constexpr size_t FLEET_MAX_REQUEST = 8192;
constexpr long FLEET_MAX_LIMIT = 1000000;
constexpr size_t FLEET_MAX_MESSAGE = 512 * 1024;

struct Fleet_Limits {
  int workers = 4;  // requests served at once
  int slot_wait_ms =
      1000;  // how long one more waits for a worker before "busy"
  size_t max_waiting = 256;  // requests queued at most; beyond, "busy" at once
  int roster_every_s = 30;   // between puts of the roster entry
  int roster_ttl_s = 90;  // the roster bucket's age limit (when it creates it)
};

// Reads one fleet request. False with *err (what was expected) for a request
// that is too long, not such a JSON object, not a control request line, or
// one that is no PING or REPORT.
[[nodiscard]] bool ParseFleetRequest(const char* data, size_t length,
                                     Control_Request* request,
                                     std::string* line, std::string* err);

class Fleet_Server {
 public:
  Fleet_Server();
  ~Fleet_Server();
  Fleet_Server(const Fleet_Server&) = delete;
  Fleet_Server& operator=(const Fleet_Server&) = delete;

  // With `url` unset or empty, does nothing and returns true. Otherwise
  // starts connecting (a server not there yet is tried again every second)
  // and serving; `version` goes into the roster entry. False with *err when
  // the address is malformed or a credentials or CA file is refused.
  [[nodiscard]] bool Start(const char* url, const char* version,
                           std::string* err,
                           const Fleet_Limits& limits = Fleet_Limits());
  // With HOV_FLEET_SITUATIONS=yes (read by Start, as are HOV_FLEET_GROUPS
  // and HOV_FLEET_RUN), applies the saved copy of the fleet's situations and
  // starts watching the bucket; called once the agent's tables and its own
  // situations are loaded.
  void WatchSituations();
  // Stops taking requests, finishes those running, deletes the roster entry
  // and closes the connection. Does nothing when not started.
  void Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

#endif  // QOR_FRAMEWORK_CONTROL_FLEET_SERVER_H_
