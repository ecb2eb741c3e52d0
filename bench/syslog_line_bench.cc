// Lines per second through the syslog kind: formatting alone, and the whole
// path from the line reader to the situations with 0, 1 and 10 situations
// (each accepting one line in ten); 1000 situations that match nothing plus
// one that takes a line in ten; a frequency situation against a plain one
// with 40,000 events in the period; and loading 10,000 situations.
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "agent/config/config_def.h"
#include "agent/kinds/syslog_file.h"
#include "agent/kinds/syslog_line.h"
#include "agent/config/valid_log.h"
#include "framework/situations/action_runner.h"
#include "framework/events/event_sink.h"
#include "framework/situations/situation_registry.h"
#include "framework/tables/table_manager.h"
#include "framework/runtime/trace.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxlogent_schema.h"

namespace {

constexpr int kLines = 100000;

// A syslog log object whose worker has ended (its file is gone), so the
// benchmark owns the line reader.
struct Idle_Log {
  Idle_Log() {
    char dir[] = "/tmp/qorbench.XXXXXX";
    path = std::string(mkdtemp(dir)) + "/messages";
    FILE* f = fopen(path.c_str(), "w");
    fclose(f);
    std::string record = path;
    std::vector<char> rec(record.begin(), record.end());
    rec.push_back('\0');
    Valid_Log valid(USERCONFIG, rec.data(), nullptr);
    unlink(path.c_str());
    log = std::make_unique<Syslog_File>(valid, nullptr);
    for (int i = 0; i < 500 && log->MonitorStatus == MONITOR_RUNNING; ++i) {
      usleep(1000);  // the worker fails to open the missing file and ends
    }
  }
  std::string path;
  std::unique_ptr<Syslog_File> log;
};

std::string Lines() {
  std::string text;
  char line[256];
  for (int i = 0; i < kLines; ++i) {
    snprintf(line, sizeof line,
             "Dec  8 04:%02d:%02d myhost sshd[%d]: %s password for user%d from 10.0.%d.%d port %d ssh2\n",
             (i / 60) % 60, i % 60, 1000 + i % 5000, i % 10 == 0 ? "Failed" : "Accepted", i % 97,
             i % 256, (i * 7) % 256, 40000 + i % 20000);
    text += line;
  }
  return text;
}

Idle_Log& Log() {
  static Idle_Log* log = [] {
    WEX1_Configure("NONE");
    tvx_vxlogent_init();
    Event_Sink::Use(fopen("/dev/null", "w"));
    return new Idle_Log;
  }();
  return *log;
}

// Adds a situation on VXLOGENT; false, the benchmark skipped, when refused.
bool AddSituation(benchmark::State& state, const std::string& name, const std::string& condition) {
  std::string err;
  if (!Situation_Registry::Instance().Add(name, "VXLOGENT", condition, &err)) {
    state.SkipWithError(err.c_str());
    return false;
  }
  return true;
}

// Reads `text` through the log's line reader once per iteration, from a
// file (in the page cache), as the worker reads it.
void ReadEachIteration(benchmark::State& state, Idle_Log& idle, std::string* text) {
  const std::string path = idle.path + ".lines";
  FILE* f = fopen(path.c_str(), "w");
  fwrite(text->data(), 1, text->size(), f);
  fclose(f);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  unlink(path.c_str());
  for (auto _ : state) {
    lseek(fd, 0, SEEK_SET);
    idle.log->LogFD = fd;
    idle.log->lfReadLog();
    idle.log->LogFD = -1;
  }
  close(fd);
}

void BM_FormatEntryAsRow(benchmark::State& state) {
  Idle_Log& idle = Log();
  char line[] = "Dec  8 04:05:06 myhost sshd[1234]: Failed password for root from 10.0.0.1 port 4242 ssh2\n";
  tvx_vxlogent_data_t row;
  for (auto _ : state) {
    benchmark::DoNotOptimize(idle.log->lfFormatEntryAsRow(line, &row, nullptr));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatEntryAsRow);

// The pure line formatter on the two shapes: classic lines and zoned ones
// as rsyslog writes them by default, each line a second after the one
// before (the worst case for the per-second caches).
void BM_FormatSyslogLine(benchmark::State& state) {
  constexpr int kShapes = 60;
  std::vector<std::string> lines;
  for (int i = 0; i < kShapes; ++i) {
    char line[256];
    snprintf(
        line, sizeof line,
        state.range(0) == 0
            ? "Dec  8 04:05:%02d myhost sshd[1234]: Failed password for root from 10.0.0.1 "
              "port 4242 ssh2\n"
            : "2026-12-08T04:05:%02d.155123+01:00 myhost sshd[1234]: Failed password for root "
              "from 10.0.0.1 port 4242 ssh2\n",
        i);
    lines.push_back(line);
  }
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  tvx_vxlogent_data_t row;
  size_t i = 0;
  for (auto _ : state) {
    const std::string& line = lines[i++ % kShapes];
    benchmark::DoNotOptimize(
        FormatSyslogLine(line.data(), line.size(), local, &row));
    benchmark::ClobberMemory();
  }
  state.SetLabel(state.range(0) == 0 ? "classic" : "zoned");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatSyslogLine)->Arg(0)->Arg(1);

void BM_WholePath(benchmark::State& state) {
  Idle_Log& idle = Log();
  const int situations = static_cast<int>(state.range(0));
  for (int i = 0; i < situations; ++i) {
    if (!AddSituation(state, "failed" + std::to_string(i), "ENTRYDESC ~ \"Failed password\"")) {
      return;
    }
  }
  std::string text = Lines();
  ReadEachIteration(state, idle, &text);
  state.SetItemsProcessed(state.iterations() * kLines);
  Situation_Registry::Instance().Clear();
}
BENCHMARK(BM_WholePath)->Arg(0)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

// Log reading while events arrive at 1000 per second: every 100 ms a chunk
// of 1000 lines (100 of them events) is read, and only the reading is timed.
// Arg 1 gives the situation a RUN command that exits at once, so the
// commands run (on the other core) while the next chunks are read. The time
// is the reading's wall time; read_cpu_us is the reading thread's CPU time
// per chunk, which the other programs of a busy machine disturb less.
void BM_PacedReadWithRun(benchmark::State& state) {
  Idle_Log& idle = Log();
  const std::string all = Lines();
  size_t end = 0;
  for (int i = 0; i < 1000; ++i) {
    end = all.find('\n', end) + 1;
  }
  std::string chunk = all.substr(0, end);
  std::string err;
  if (!Situation_Registry::Instance().Add("failed", "VXLOGENT", "ENTRYDESC ~ \"Failed password\"", &err,
                                          state.range(0) != 0 ? "true" : "")) {
    state.SkipWithError(err.c_str());
    return;
  }
  const std::string path = idle.path + ".paced";
  FILE* f = fopen(path.c_str(), "w");
  fwrite(chunk.data(), 1, chunk.size(), f);
  fclose(f);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  unlink(path.c_str());
  const uint64_t dropped = Action_Runner::Dropped();
  const auto thread_cpu = [] {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 +
           static_cast<double>(ts.tv_nsec) / 1e3;
  };
  double cpu_us = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu();
    lseek(fd, 0, SEEK_SET);
    idle.log->LogFD = fd;
    idle.log->lfReadLog();
    idle.log->LogFD = -1;
    cpu_us += thread_cpu() - cpu_start;
    const auto took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(std::chrono::duration<double>(took).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(100) - took);
  }
  close(fd);
  state.counters["actions_dropped"] = static_cast<double>(Action_Runner::Dropped() - dropped);
  state.counters["read_cpu_us"] =
      cpu_us / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * 1000);
  Situation_Registry::Instance().Clear();
  Action_Runner::Stop();
}
BENCHMARK(BM_PacedReadWithRun)->Arg(0)->Arg(1)->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);

// range(0) situations `ENTRYDESC ~ "text N"` that no line meets, one more
// that takes a line in ten; range(1) 0 evaluates every situation for every
// line instead of the ones the prefilter picks.
void BM_ManySituations(benchmark::State& state) {
  Idle_Log& idle = Log();
  TableManager::Find("TVX.VXLOGENT")->UsePrefilter(state.range(1) != 0);
  for (int i = 0; i < state.range(0); ++i) {
    if (!AddSituation(state, "text" + std::to_string(i),
                      "ENTRYDESC ~ \"text " + std::to_string(i) + "\"")) {
      return;
    }
  }
  if (!AddSituation(state, "failed", "ENTRYDESC ~ \"Failed password\"")) {
    return;
  }
  std::string text = Lines();
  ReadEachIteration(state, idle, &text);
  state.SetItemsProcessed(state.iterations() * kLines);
  Situation_Registry::Instance().Clear();
  TableManager::Find("TVX.VXLOGENT")->UsePrefilter(true);
}
BENCHMARK(BM_ManySituations)->Args({1000, 1})->Args({1000, 0})->Unit(benchmark::kMillisecond);

// 40,000 lines of the last hour, each an event of one situation: with
// range(0) 1 it counts them (at least one within an hour), with 0 it does
// not. The frequency check should cost little on top.
void BM_FrequencyCount(benchmark::State& state) {
  Idle_Log& idle = Log();
  const char* condition = state.range(0) != 0
                              ? "ENTRYDESC ~ \"password\" AND FREQTHRESH >= 1 AND PERIODTHRS == 3600"
                              : "ENTRYDESC ~ \"password\"";
  if (!AddSituation(state, "counted", condition)) {
    return;
  }
  constexpr int kEvents = 40000;
  std::string text;
  const time_t now = time(nullptr);
  for (int i = 0; i < kEvents; ++i) {
    const time_t t = now - 3000 + (i * 3000L) / kEvents;
    struct tm tm;
    localtime_r(&t, &tm);
    char stamp[32], line[256];
    strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tm);
    snprintf(line, sizeof line, "%s myhost sshd[%d]: Failed password for user%d from 10.0.%d.%d\n",
             stamp, 1000 + i % 5000, i % 97, i % 256, (i * 7) % 256);
    text += line;
  }
  ReadEachIteration(state, idle, &text);
  state.SetItemsProcessed(state.iterations() * kEvents);
  Situation_Registry::Instance().Clear();
}
BENCHMARK(BM_FrequencyCount)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Loading a file of 10,000 situations (and of 100,000, the most a file may
// hold) and indexing them (the first row
// offered builds the index): time per load, and the heap it keeps.
void BM_LoadSituations(benchmark::State& state) {
  Log();
  char dir[] = "/tmp/qorbench.XXXXXX";
  const std::string path = std::string(mkdtemp(dir)) + "/situations.conf";
  FILE* f = fopen(path.c_str(), "w");
  for (int i = 0; i < state.range(0); ++i) {
    fprintf(f, "text%d VXLOGENT ENTRYSRC ~ \"sshd\" AND ENTRYDESC ~ \"text %d\"\n", i, i);
  }
  fclose(f);
  tvx_vxlogent_data_t row;
  memset(&row, ' ', sizeof row);
  double kept = 0;
  for (auto _ : state) {
    const size_t before = mallinfo2().uordblks;
    std::vector<std::string> problems;
    std::string err;
    if (!Situation_Registry::Instance().LoadFile(path, &problems, &err) || !problems.empty()) {
      state.SkipWithError(err.c_str());
      break;
    }
    tvx_vxlogent_manager::EventArrived(&row, 1);
    kept = static_cast<double>(mallinfo2().uordblks - before);
    state.PauseTiming();
    Situation_Registry::Instance().Clear();
    state.ResumeTiming();
  }
  state.counters["heap_MiB"] = kept / (1 << 20);
  unlink(path.c_str());
  rmdir(dir);
}
BENCHMARK(BM_LoadSituations)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
