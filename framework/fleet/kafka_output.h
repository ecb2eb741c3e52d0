// The Kafka event output: kafka://HOST:PORT[,HOST:PORT...]/TOPIC. Each
// event is produced to TOPIC keyed by its host, by the idempotent producer
// with acks=all, and is delivered when its delivery report says so. The
// client's further settings (TLS, SASL, compression, batching) come from
// the key=value lines of HOV_KAFKA_PROPERTIES, a trusted file, as they are;
// an unknown property refuses the output. A delivery that fails is
// produced again a second later, for ever; failures are traced once a
// minute.
#ifndef QOR_FRAMEWORK_FLEET_KAFKA_OUTPUT_H_
#define QOR_FRAMEWORK_FLEET_KAFKA_OUTPUT_H_

#include <memory>
#include <string>
#include <vector>

#include "framework/events/ack_window.h"
#include "framework/events/event_output.h"

struct Kafka_Url {
  std::string brokers;  // "HOST:PORT,HOST:PORT"
  std::string topic;
};
// Parses kafka://HOST:PORT[,HOST:PORT...]/TOPIC. False with *err.
[[nodiscard]] bool ParseKafkaUrl(const std::string& text, Kafka_Url* url,
                                 std::string* err);

[[nodiscard]] bool MakeKafkaOutput(const std::string& url,
                                   const Delivery_Window_Limits& limits,
                                   std::unique_ptr<Event_Output>* output,
                                   std::string* err);

#endif  // QOR_FRAMEWORK_FLEET_KAFKA_OUTPUT_H_
