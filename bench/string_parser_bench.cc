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

// The command and first line of examples/mapper-sample.txt (fields without
// a width).
const char kExampleCommand[] =
    "A,\"%d-%d-%d %d:%d:%d %s %[^:]: %200[^\\n]\",year month=\"%02d\" "
    "day=\"%02d\" hour minute second system source description";
const char kExampleLine[] =
    "2024-05-01 10:15:00 host1 sshd[812]: Accepted password for alice from "
    "10.0.0.7\n";

// The same message behind a zoned ISO 8601 stamp with a fraction.
const char kIsoCommand[] =
    "A,\"%T %[^:]: %255[^\\n]\",time source description=\"%.200s\"";
const char kIsoLine[] =
    "2024-03-15T10:15:00.123+01:00 kernel: disk full on /dev/sda1, 0 blocks "
    "left\n";

void FormatLines(benchmark::State& state, const char* command,
                 const char* line) {
  StringParser anchor(command, KEYWORDS);
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
    const long written = anchor.spFormatLine(line, slots);
    benchmark::DoNotOptimize(written);
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["lines_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
void BM_FormatLine(benchmark::State& state) {
  FormatLines(state, kCommand, kLine);
}
BENCHMARK(BM_FormatLine);

void BM_FormatExampleLine(benchmark::State& state) {
  FormatLines(state, kExampleCommand, kExampleLine);
}
BENCHMARK(BM_FormatExampleLine);

void BM_FormatIsoLine(benchmark::State& state) {
  FormatLines(state, kIsoCommand, kIsoLine);
}
BENCHMARK(BM_FormatIsoLine);

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
