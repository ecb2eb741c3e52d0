// The OpenTelemetry log output: otlp+http://HOST:PORT[/PATH][?OPTIONS] and
// otlp+https://... (default path /v1/logs). Events go as OTLP log records
// (otlp_encoding.h) in batches posted by Http_Client; an event is delivered
// when a 2xx answer covers it. 429, 502, 503, 504 and failed connections
// are sent again after an exponential backoff that honours Retry-After;
// any other answer, and the records a partial success refuses, are counted
// as rejected, traced once a minute and not sent again.
#ifndef QOR_FRAMEWORK_FLEET_OTLP_OUTPUT_H_
#define QOR_FRAMEWORK_FLEET_OTLP_OUTPUT_H_

#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/events/ack_window.h"
#include "framework/events/event_output.h"
#include "framework/fleet/otlp_encoding.h"

struct Otlp_Url {
  std::string endpoint;  // http://HOST:PORT/PATH or https://...
  Otlp_Encoding encoding = Otlp_Encoding::kProtobuf;
  bool gzip = true;
  size_t batch_records = 1000;
  size_t batch_bytes = 1 << 20;
  int requests = 4;  // requests in flight at most
};

// Whether the HOV_EVENTS item `text` is an OTLP URL.
bool IsOtlpUrl(const std::string& text);

// Parses otlp+http(s)://HOST:PORT[/PATH][?encoding=protobuf|json&
// compression=gzip|none&batch=N&batch_bytes=SIZE&requests=N]. False with *err.
[[nodiscard]] bool ParseOtlpUrl(const std::string& text, Otlp_Url* url,
                                std::string* err);

// Reads the "Name: value" lines of a headers file (blank lines and lines
// starting with '#' are skipped). False with *err naming the line, never
// its value.
[[nodiscard]] bool ParseOtlpHeaders(const std::string& text,
                                    std::vector<std::string>* headers,
                                    std::string* err);

// Makes the output of `url` with the window `limits`, its headers from
// HOV_OTLP_HEADERS (a trusted file) and its CA from HOV_OTLP_CA. False with
// *err; a receiver that is down is not an error.
[[nodiscard]] bool MakeOtlpOutput(const std::string& url,
                                  const Delivery_Window_Limits& limits,
                                  std::unique_ptr<Event_Output>* output,
                                  std::string* err);

#endif  // QOR_FRAMEWORK_FLEET_OTLP_OUTPUT_H_
