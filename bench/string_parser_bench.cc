// Lines per second through StringParser::spFormatLine for a typical
// five-field format command (date parts, source and message).
#include <string.h>

#include <benchmark/benchmark.h>

#include "parser/string_parser.h"

namespace {

const char kCommand[] =
    "A,\"%d-%d-%d %31[^:]: %255[^\\n]\",year month day source description=\"%.200s\"";
const char kLine[] =
    "2024-03-15 kernel: disk full on /dev/sda1, 0 blocks left\n";

void BM_FormatLine(benchmark::State& state) {
  StringParser anchor(kCommand, KEYWORDS);
  if (anchor.ObjectStatus != OBJECT_LEARNED) {
    state.SkipWithError("format command rejected");
    return;
  }
  char text[NUMKEYWORDS][256];
  _FormatBuffer slots[NUMKEYWORDS];
  for (auto _ : state) {
    for (int i = 0; i < NUMKEYWORDS; ++i) {
      slots[i].Position = text[i];
      slots[i].Remaining = 255;
    }
    const long written = anchor.spFormatLine(kLine, slots);
    benchmark::DoNotOptimize(written);
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["lines_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FormatLine);

// Compilation cost, for reference: once per log, not per line.
void BM_Compile(benchmark::State& state) {
  for (auto _ : state) {
    StringParser anchor(kCommand, KEYWORDS);
    benchmark::DoNotOptimize(anchor.ObjectStatus);
  }
}
BENCHMARK(BM_Compile);

}  // namespace

BENCHMARK_MAIN();
