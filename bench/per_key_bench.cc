// What a PER key costs a situation: 100,000 distinct keys (one event each,
// as a flood of junk keys brings them) are offered to a live VXLOGENT
// situation counting per key, with and without a THROTTLE clause, and the
// heap the situation holds afterwards is divided by the keys. The figure is
// the counter bytes_per_key (allocator statistics, mallinfo2: what the
// situation keeps, not what the process's RSS happens to show).
//
//   build/bench/per_key_bench
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "framework/situations/condition.h"
#include "framework/events/event_sink.h"
#include "framework/tables/request.h"
#include "framework/tables/table_manager.h"
#include "tables/table_schema.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"

namespace {

constexpr int kKeys = 100000;

size_t HeapBytes() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Rows from 100,000 addresses, stamped now.
std::vector<tvx_vxlogent_data_t> Rows() {
  std::vector<tvx_vxlogent_data_t> rows(kKeys);
  char stamp[17];
  GenerateTimestamp(time(nullptr), stamp);
  for (int i = 0; i < kKeys; ++i) {
    tvx_vxlogent_data_t& r = rows[static_cast<size_t>(i)];
    memset(&r, ' ', sizeof r);
    r.freqthresh = r.periodthrs = r.sampleno = r.rowno = 0;
    memcpy(r.entrytime, stamp, sizeof r.entrytime);
    SetTextColumn(r.entrysrc, sizeof r.entrysrc, "sshd");
    const std::string desc = "Failed password for root from 10." +
                             std::to_string(i >> 16) + "." +
                             std::to_string((i >> 8) & 255) + "." +
                             std::to_string(i & 255) + " port 22";
    SetTextColumn(r.entrydesc, sizeof r.entrydesc, desc.c_str());
  }
  return rows;
}

void BM_PerKeyBytes(benchmark::State& state) {
  if (TableManager::Find("TVX.VXLOGENT") == nullptr &&
      tvx_vxlogent_init() != 0) {
    state.SkipWithError("VXLOGENT not registered");
    return;
  }
  FILE* sink = fopen("/dev/null", "w");
  Event_Sink::Use(sink);
  std::vector<tvx_vxlogent_data_t> rows = Rows();
  const std::string condition =
      std::string(
          "ENTRYDESC ~ \"Failed\" AND FREQTHRESH >= 1 AND PERIODTHRS == 3600 ") +
      "PER ENTRYDESC \"from ([0-9.]+)\"" +
      (state.range(0) != 0 ? " THROTTLE 300" : "");
  double per_key = 0;
  for (auto _ : state) {
    const size_t before = HeapBytes();
    std::string err;
    RequestDetail detail;
    detail.sampleType = SAMPLE_SITUATION;
    detail.situationName = "bench";
    std::string text;
    vandu* v = ParseSituationCondition(condition, &detail.thresholds, &text,
                                       &detail.clauses, &err)
                   ? HOV_CreateRequest("VXLOGENT", &detail, &err)
                   : nullptr;
    if (v == nullptr) {
      state.SkipWithError(err.c_str());
      break;
    }
    v->Manager()->AddLive(v);
    for (tvx_vxlogent_data_t& r : rows) {
      tvx_vxlogent_manager::EventArrived(&r, 1);
    }
    per_key = static_cast<double>(HeapBytes() - before) / kKeys;
    v->Manager()->RemoveLive(v);
    vandu::Destroy(v);
  }
  state.counters["bytes_per_key"] = per_key;
  Event_Sink::Use(nullptr);
  fclose(sink);
}

}  // namespace

// Argument: 0 counting only, 1 with THROTTLE as well.
BENCHMARK(BM_PerKeyBytes)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
