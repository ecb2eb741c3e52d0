// Fuzz target: the lines the agent reads from others. The first byte picks
// the reader: even, a control request line (as a client sends it on the
// control socket); 1 modulo 4, a situations-file line, split and its
// condition parsed as loading the file does; 3 modulo 4, an OTLP receiver's
// answer (as JSON and as protobuf) and an event line read back into a log
// record and written in both encodings. Nothing is run: only the parsers,
// which see every byte a client, the file or a receiver holds.
//
// Besides what the sanitizers catch, it checks what the callers rely on: a
// refusal always says why, and an accepted line's parts lie inside it.
//
// Built from: framework/*/*.cc util/*.cc
// libFuzzer: -max_len=4097
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "framework/control/control_protocol.h"
#include "framework/fleet/otlp_encoding.h"
#include "framework/runtime/trace.h"
#include "framework/situations/condition.h"
#include "framework/situations/situation_registry.h"
#include "tests/fuzz/fuzz_trace.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& line) {
  fprintf(stderr, "invariant broken: %s: \"%s\"\n", what, line.c_str());
  abort();
}

void RequestLine(const std::string& line) {
  Control_Request request;
  std::string err;
  if (!ParseControlRequest(line, &request, &err)) {
    if (err.empty()) {
      Fail("refusal without a reason", line);
    }
    return;
  }
  if (request.table_column > line.size() + 1) {
    Fail("table column past the line", line);
  }
  if (request.condition.size() > line.size() ||
      request.name.size() > line.size()) {
    Fail("part longer than the line", line);
  }
}

void SituationLine(const std::string& line) {
  std::string name, table, condition, err;
  if (!ParseSituationLine(line, &name, &table, &condition, &err)) {
    if (err.empty()) {
      Fail("refusal without a reason", line);
    }
    return;
  }
  if (name.size() + table.size() + condition.size() > line.size()) {
    Fail("parts longer than the line", line);
  }
  std::vector<Threshold_Spec> specs;
  if (!ParseCondition(condition, &specs, &err) && err.empty()) {
    Fail("condition refused without a reason", line);
  }
}

// A record's fields but its uid, as text; a body that is the whole line
// `line` (an event without an entry) as "LINE".
std::string Shown(const Otlp_Record& r, std::string_view line) {
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
  }
  std::string s =
      std::to_string(r.time_ns) + " " + std::to_string(r.observed_ns) + " " +
      std::to_string(r.severity) + " " + std::string(r.severity_text) + " " +
      (r.body == line ? std::string("LINE") : std::string(r.body));
  for (const Otlp_Record::Value& v : r.attributes) {
    if (v.key != "log.record.uid") {
      s.append("|").append(v.prefix).append(v.group).append(".");
      s.append(v.key).append("=").append(v.text);
      s.append(v.is_number ? std::to_string(v.number) : "");
    }
  }
  return s;
}

void OtlpText(const std::string& text) {
  int64_t rejected = 0;
  std::string message;
  for (bool json : {false, true}) {
    if (ReadOtlpPartialSuccess(text, json, &rejected, &message) &&
        message.size() > text.size()) {
      Fail("answer's message longer than the answer", text);
    }
  }
  Otlp_Record record("host:TVX");
  const bool read = record.Read(text);
  if (record.body.empty() && !text.empty() && text != "\n" &&
      record.attributes.empty()) {
    Fail("a line read into nothing", text);
  }
  // A blank after the opening brace means the same and sends the line
  // through the JSON scanner rather than the quote-to-quote walk: both
  // readers must make the same record of it (its uid apart).
  if (read && !text.empty() && text[0] == '{') {
    Otlp_Record spaced("host:TVX");
    const std::string other = "{ " + text.substr(1);
    if (!spaced.Read(other) || Shown(spaced, other) != Shown(record, text)) {
      Fail("the two readers disagree", text);
    }
  }
  for (Otlp_Encoding e : {Otlp_Encoding::kProtobuf, Otlp_Encoding::kJson}) {
    const Otlp_Encoder encoder(e, "host", "host:TVX", "1");
    std::string out;
    encoder.Begin(&out);
    encoder.AppendRecord(record, true, &out);
    encoder.AppendRecord(record, false, &out);
    if (encoder.Frame(&out).size() < record.body.size()) {
      Fail("request shorter than its record's body", text);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SilenceTraceOnce();
  if (size == 0 || size > CONTROL_MAX_LINE + 1) {
    return 0;
  }
  const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) == 0) {
    RequestLine(line);
  } else if ((data[0] & 3) == 1) {
    SituationLine(line);
  } else {
    OtlpText(line);
  }
  return 0;
}
