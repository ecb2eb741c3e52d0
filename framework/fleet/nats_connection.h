// A connection to NATS servers as the runtime's NATS users make it (fleet
// requests, the NATS event sink): the servers and TLS from a Nats_Url
// (util/nats_url.h), a credentials file from HOV_NATS_CREDS and a CA file
// from HOV_NATS_CA, both held to the trusted-file rule (trusted_files.h)
// and neither ever copied into the trace. A connection lost is tried again
// for ever, once a second, in the library's own thread; until a server
// answers the first time, the same.
//
// Owned by its user; Close and the destructor are called by the thread that
// opened it, after the library's callbacks that use the user's objects are
// done (subscriptions drained). Get() may be used by any thread: the
// library's calls are thread-safe.
#ifndef QOR_FRAMEWORK_FLEET_NATS_CONNECTION_H_
#define QOR_FRAMEWORK_FLEET_NATS_CONNECTION_H_

#include <nats/nats.h>

#include <atomic>
#include <memory>
#include <string>

#include "framework/fleet/nats_io_loop.h"
#include "util/nats_status.h"
#include "util/nats_url.h"

class Nats_Connection {
 public:
  Nats_Connection() = default;
  ~Nats_Connection() { Close(); }
  Nats_Connection(const Nats_Connection&) = delete;
  Nats_Connection& operator=(const Nats_Connection&) = delete;

  // Starts connecting to `url` as `client_name` (shown by the server). True
  // once connected or while the first connection is still being tried; false
  // with *err when the credentials or CA file is refused or the options are
  // not taken (the files' contents never appear in *err). With
  // `after_read`, the socket is read and written by a thread of the
  // connection's own (Nats_Io_Loop) instead of the library's, which calls
  // after_read(closure) after each read.
  [[nodiscard]] bool Open(const Nats_Url& url, const std::string& client_name,
                          std::string* err,
                          Nats_Io_Loop::After_Read after_read = nullptr,
                          void* closure = nullptr);
  // Closes the connection (pending messages are flushed first, for up to
  // a second), then ends its thread. Does nothing when not open.
  void Close();
  natsConnection* Get() const { return nc_; }
  // Publications between the two wake the connection's thread once (see
  // Nats_Io_Loop); without a thread of its own, nothing.
  void BeginBatch() {
    if (loop_ != nullptr) {
      loop_->BeginBatch();
    }
  }
  void EndBatch() {
    if (loop_ != nullptr) {
      loop_->EndBatch();
    }
  }
  // Records that the link went down (`lost` true) or came up; true when
  // that changes what was recorded, so that the library's callbacks, which
  // may say the same several times, trace each loss and each return once.
  // Any thread.
  bool MarkLost(bool lost) { return lost_.exchange(lost) != lost; }

 private:
  std::atomic<bool> lost_{false};
  natsConnection* nc_ = nullptr;
  std::unique_ptr<Nats_Io_Loop> loop_;
};

#endif  // QOR_FRAMEWORK_FLEET_NATS_CONNECTION_H_
