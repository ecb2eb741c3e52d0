// Fuzz target: the lines the agent reads from others. The first byte picks
// the reader: even, a control request line (as a client sends it on the
// control socket); odd, a situations-file line, split and its condition
// parsed as loading the file does. Nothing is run: only the parsers, which
// see every byte a client or the file holds.
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
#include "framework/situations/condition.h"
#include "framework/situations/situation_registry.h"
#include "framework/runtime/trace.h"
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
  if (request.condition.size() > line.size() || request.name.size() > line.size()) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SilenceTraceOnce();
  if (size == 0 || size > CONTROL_MAX_LINE + 1) {
    return 0;
  }
  const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) == 0) {
    RequestLine(line);
  } else {
    SituationLine(line);
  }
  return 0;
}
