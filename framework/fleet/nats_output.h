// The JetStream event output: nats://SERVERS/SUBJECT or tls://SERVERS/SUBJECT.
// Each event line is published as it is to SUBJECT.HOST (NatsHostToken)
// with the reply subject INBOX.SEQUENCE of one subscription of the output's
// own, so that an acknowledgement names its event without a lookup table;
// the event is delivered when the stream's publish acknowledgement returns.
// The connection's socket is read and written by one thread of the
// connection's own (nats_io_loop.h), which settles each answer as soon as
// it has read it.
// No message id header goes with it: building one per event costs more
// than the rest of the sending, and what it would spare (an event sent
// again after its answer was lost, at most one window) is already allowed
// by at-least-once delivery.
// What is sent and not acknowledged is kept (bounded by the delivery
// window) and sent again a second after a failure (no stream captures the
// subject, an error answer) or 5 s after a sending not answered while
// connected, for ever; while no server is connected nothing is sent again
// (the library keeps what was sent for the reconnection). Failures are
// traced once a minute. With HOV_NATS_STREAM=NAME[,OPTIONS] the output
// creates the stream NAME capturing SUBJECT.> when it is missing.
#ifndef QOR_FRAMEWORK_FLEET_NATS_OUTPUT_H_
#define QOR_FRAMEWORK_FLEET_NATS_OUTPUT_H_

#include <memory>
#include <string>

#include "framework/events/ack_window.h"
#include "framework/events/event_output.h"

// HOV_NATS_STREAM: "NAME[,max-age=DURATION][,max-bytes=SIZE]" (DURATION in
// s, m, h or d; SIZE in bytes or with K, M or G).
struct Nats_Stream_Spec {
  std::string name;        // empty: none is created
  int64_t max_age_s = 0;   // 0: unlimited
  int64_t max_bytes = -1;  // -1: unlimited
};
[[nodiscard]] bool ParseNatsStreamSpec(const char* text, Nats_Stream_Spec* spec,
                                       std::string* err);

[[nodiscard]] bool MakeNatsOutput(const std::string& url,
                                  const Delivery_Window_Limits& limits,
                                  std::unique_ptr<Event_Output>* output,
                                  std::string* err);

#endif  // QOR_FRAMEWORK_FLEET_NATS_OUTPUT_H_
