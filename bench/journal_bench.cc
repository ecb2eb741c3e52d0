// The journal kind (J):
//  - BM_JournalWholePath: entries per second from sd-journal through the
//    entry step to one situation that accepts one entry in ten;
//  - BM_JournalMinuteReport: one report of one minute (at the end of the
//    journal, and in its middle) on a journal of a million entries, which
//    must cost what the minute's rows cost, not what the journal holds.
//
// The journals are written by systemd-journal-remote into a private
// directory under /tmp, removed at the end. Generating the million entries
// takes a while; QOR_BENCH_JOURNAL_ENTRIES overrides their number.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "agent/config/config_def.h"
#include "agent/kinds/journal_file.h"
#include "agent/config/valid_log.h"
#include "bench/report_rows.h"
#include "framework/events/event_sink.h"
#include "framework/situations/situation_registry.h"
#include "framework/runtime/trace.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"
#include "tests/journal_writer.h"

#include <systemd/sd-journal.h>

namespace {

constexpr int kPathEntries = 100000;
constexpr int kEntriesPerSecond = 12;
const uint64_t kStart = 1710417600ULL * 1000000;  // 2024-03-14 12:00:00 UTC

// A private directory, removed with what it holds.
struct Bench_Dir {
  Bench_Dir() {
    char tmpl[] = "/tmp/qorbench.XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~Bench_Dir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) {
      fprintf(stderr, "could not remove %s: %s\n", path.c_str(),
              ec.message().c_str());
    }
  }
  std::string path;
};

// Writes `count` entries shaped like those journald stores for a service
// (a dozen fields), kEntriesPerSecond a second from kStart; one in ten is a
// failed login. Written in chunks, each a run of the writer that appends.
bool Generate(const std::string& file, int count) {
  constexpr int kChunk = 50000;
  for (int first = 0; first < count; first += kChunk) {
    std::string text;
    for (int i = first; i < count && i < first + kChunk; ++i) {
      const uint64_t usec =
          kStart + static_cast<uint64_t>(i) * 1000000 / kEntriesPerSecond;
      const std::string pid = std::to_string(1000 + i % 5000);
      text += qortest::ExportEntry(
          usec, {{"_HOSTNAME", "benchhost"},
                 {"_BOOT_ID", "6e1f2b4a0c1d4f0e9a8b7c6d5e4f3a2b"},
                 {"_MACHINE_ID", "0123456789abcdef0123456789abcdef"},
                 {"_TRANSPORT", "syslog"},
                 {"_UID", "0"},
                 {"_GID", "0"},
                 {"_COMM", "sshd"},
                 {"_EXE", "/usr/sbin/sshd"},
                 {"_SYSTEMD_UNIT", "ssh.service"},
                 {"SYSLOG_IDENTIFIER", "sshd"},
                 {"SYSLOG_FACILITY", "4"},
                 {"PRIORITY", i % 10 == 0 ? "3" : "6"},
                 {"_PID", pid},
                 {"MESSAGE", std::string(i % 10 == 0 ? "Failed" : "Accepted") +
                                 " password for user" + std::to_string(i % 97) +
                                 " from 10.0." + std::to_string(i % 256) + "." +
                                 std::to_string(i * 7 % 256) + " port " +
                                 std::to_string(40000 + i % 20000) + " ssh2"}});
    }
    if (!qortest::AppendJournal(file, text)) {
      return false;
    }
  }
  return true;
}

std::unique_ptr<Journal_File> NewLog(const std::string& path) {
  std::string line = path + " ;N ;J";
  std::vector<char> record(line.begin(), line.end());
  record.push_back('\0');
  Valid_Log valid(USERCONFIG, record.data(), nullptr);
  if (valid.Valid != 1) {
    return nullptr;
  }
  return std::make_unique<Journal_File>(valid, nullptr);
}

void BM_JournalWholePath(benchmark::State& state) {
  WEX1_Configure("NONE");
  tvx_vxlogent_init();
  FILE* null = fopen("/dev/null", "w");
  Event_Sink::Use(null);
  Bench_Dir dir;
  const std::string file = dir.path + "/bench.journal";
  if (!Generate(file, kPathEntries)) {
    state.SkipWithError("journal not written");
    return;
  }
  std::unique_ptr<Journal_File> log = NewLog(file);
  if (log == nullptr) {
    state.SkipWithError("log not accepted");
    return;
  }
  // The benchmark reads in the worker's place.
  log->lfStopThread();
  std::string err;
  if (!Situation_Registry::Instance().Add(
          "failed", "VXLOGENT", "ENTRYDESC ~ \"Failed password\"", &err)) {
    state.SkipWithError(err.c_str());
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    log->jlOpenJournal(&log->JournalHandle);
    sd_journal_seek_head(log->JournalHandle.get());
    log->MonitorStatus = MONITOR_RUNNING;
    state.ResumeTiming();
    log->lfReadLog();
    state.PauseTiming();
    log->MonitorStatus = MONITOR_STOPPED;
    log->JournalHandle.reset();
    state.ResumeTiming();
  }
  if (log->NumEvents !=
      static_cast<uint64_t>(kPathEntries) * state.iterations()) {
    state.SkipWithError("not every entry was read");
  }
  state.SetItemsProcessed(state.iterations() * kPathEntries);
  Situation_Registry::Instance().Clear();
  Event_Sink::Use(nullptr);
  fclose(null);
}
// CPU time: the machine may be shared, and the path is one thread.
BENCHMARK(BM_JournalWholePath)->Unit(benchmark::kMillisecond);

// One report over the minute ending `end_usec`: the rows.
int Report(Journal_File& log, uint64_t end_usec) {
  const time_t end = static_cast<time_t>(end_usec / 1000000);
  return ReportRows(log, end - 59, end);
}

// The million-entry journal, written once for both runs of the report
// benchmark and removed at exit.
struct Big_Journal {
  Big_Journal() {
    const char* env = getenv("QOR_BENCH_JOURNAL_ENTRIES");
    count = env != nullptr ? atoi(env) : 1000000;
    if (count < 2 * 60 * kEntriesPerSecond ||
        !Generate(dir.path + "/big.journal", count)) {
      return;
    }
    log = NewLog(dir.path);
    if (log != nullptr) {
      log->lfStatLog(&usage, &newest);
    }
  }
  Bench_Dir dir;
  int count = 0;
  std::unique_ptr<Journal_File> log;
  int64_t usage = 0;
  time_t newest = 0;
};

void BM_JournalMinuteReport(benchmark::State& state) {
  WEX1_Configure("NONE");
  static Big_Journal big;
  if (big.log == nullptr) {
    state.SkipWithError("journal not written or not accepted");
    return;
  }
  Journal_File* const log = big.log.get();
  const int count = big.count;
  const int64_t usage = big.usage;
  const uint64_t last =
      kStart + static_cast<uint64_t>(count - 1) * 1000000 / kEntriesPerSecond;
  const uint64_t middle =
      kStart + static_cast<uint64_t>(count / 2) * 1000000 / kEntriesPerSecond;
  // The minute ending with the second of entry `index` holds the entries
  // of its 60 seconds (the last second may be partly filled).
  const auto expected = [count](int index) {
    const long second = index / kEntriesPerSecond;
    const long after = std::min<long>(count, (second + 1) * kEntriesPerSecond);
    return static_cast<int>(after -
                            std::max<long>(0, second - 59) * kEntriesPerSecond);
  };
  if (Report(*log, last) != expected(count - 1) ||
      Report(*log, middle) != expected(count / 2)) {
    state.SkipWithError("a report found other rows than its minute holds");
    return;
  }
  const bool at_end = state.range(0) == 0;
  int rows = 0;
  for (auto _ : state) {
    rows = Report(*log, at_end ? last : middle);
    benchmark::DoNotOptimize(rows);
  }
  state.counters["rows"] = rows;
  state.counters["entries"] = count;
  state.counters["journal_MB"] = static_cast<double>(usage) / (1 << 20);
  state.SetLabel(at_end ? "last minute" : "a minute in the middle");
}
BENCHMARK(BM_JournalMinuteReport)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(50);

}  // namespace

BENCHMARK_MAIN();
