// Lines per second through the syslog kind: formatting alone, and the whole
// path from the line reader to the situations with 0, 1 and 10 situations
// (each accepting one line in ten).
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/config_def.h"
#include "agent/syslog_file.h"
#include "agent/valid_log.h"
#include "framework/event_sink.h"
#include "framework/situation_registry.h"
#include "framework/wex1.h"
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

void BM_WholePath(benchmark::State& state) {
  Idle_Log& idle = Log();
  const int situations = static_cast<int>(state.range(0));
  for (int i = 0; i < situations; ++i) {
    std::string err;
    if (!Situation_Registry::Instance().Add("failed" + std::to_string(i), "VXLOGENT",
                                            "ENTRYDESC ~ \"Failed password\"", &err)) {
      state.SkipWithError(err.c_str());
      return;
    }
  }
  // The lines in a file (read from the page cache), as the worker reads them.
  const std::string text = Lines();
  const std::string path = idle.path + ".lines";
  FILE* f = fopen(path.c_str(), "w");
  fwrite(text.data(), 1, text.size(), f);
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
  state.SetItemsProcessed(state.iterations() * kLines);
  Situation_Registry::Instance().Clear();
}
BENCHMARK(BM_WholePath)->Arg(0)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
