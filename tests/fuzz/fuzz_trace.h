// Shared by the fuzz targets: the trace goes nowhere, once per process, so
// that the targets exercise every trace path without the cost of output.
#ifndef QOR_TESTS_FUZZ_FUZZ_TRACE_H_
#define QOR_TESTS_FUZZ_FUZZ_TRACE_H_

#include <stdio.h>

#include "framework/runtime/trace.h"

inline void SilenceTraceOnce() {
  static FILE* null_sink = [] {
    FILE* f = fopen("/dev/null", "w");
    WEX1_SetSink(f);
    return f;
  }();
  (void)null_sink;
}

#endif  // QOR_TESTS_FUZZ_FUZZ_TRACE_H_
