// A report on the last minute of a syslog file must cost the same whatever
// the size of the file: it reads the file backwards and stops at the first
// entry older than the window. Compared here on a 10 MB and a 1 GB file,
// against a sequential scan of the whole file for the same minute (what
// `grep -c '^Mar 15 11:59:'` does).
//
// The files are generated under a private directory in /tmp and removed at
// the end, unless QOR_BENCH_KEEP is set (to time `grep -c` on them).
// QOR_BENCH_SIZES_MB overrides the sizes ("10,1024" by default).
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "agent/config/valid_log.h"
#include "agent/kinds/syslog_file.h"
#include "bench/report_rows.h"
#include "framework/runtime/trace.h"
#include "tables/request_thresholds.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_schema.h"

namespace {

// The newest entry of every file; the window is its minute.
const time_t kEnd = 1710503999;  // 2024-03-15 11:59:59 UTC
const char kMinute[] = "Mar 15 11:59:";
constexpr int kLinesPerSecond = 12;
constexpr int kWindowRows = 60 * kLinesPerSecond;

// Writes `bytes` (rounded up to a whole line) of syslog lines at
// kLinesPerSecond, the last one dated kEnd.
bool Generate(const std::string& path, uint64_t bytes) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr",
                                        "May", "Jun", "Jul", "Aug",
                                        "Sep", "Oct", "Nov", "Dec"};
  char sample[256];
  const int line_length =
      snprintf(sample, sizeof sample,
               "Mar 15 11:59:59 benchhost sshd[%05d]: Accepted publickey for "
               "user%04d from 10.0.0.1 port 22 ssh2\n",
               0, 0);
  const uint64_t lines = (bytes + line_length - 1) / line_length;
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) {
    return false;
  }
  std::vector<char> out(4 << 20);
  size_t used = 0;
  for (uint64_t k = 0; k < lines; ++k) {
    const time_t t =
        kEnd - static_cast<time_t>((lines - 1 - k) / kLinesPerSecond);
    struct tm tm;
    gmtime_r(&t, &tm);
    if (out.size() - used < 256) {
      fwrite(out.data(), 1, used, f);
      used = 0;
    }
    used += static_cast<size_t>(snprintf(
        out.data() + used, out.size() - used,
        "%s %2d %02d:%02d:%02d benchhost sshd[%05d]: Accepted publickey for "
        "user%04d from 10.0.0.1 port 22 ssh2\n",
        kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
        static_cast<int>(k % 100000), static_cast<int>(k % 10000)));
  }
  fwrite(out.data(), 1, used, f);
  return fclose(f) == 0;
}

std::unique_ptr<Syslog_File> NewLog(const std::string& path) {
  std::vector<char> record(path.begin(), path.end());
  record.push_back('\0');
  Valid_Log valid(USERCONFIG, record.data(), nullptr);
  if (valid.Valid != 1) {
    return nullptr;
  }
  std::unique_ptr<Syslog_File> log(new Syslog_File(valid, nullptr));
  log->FixedNow = kEnd + 1;
  return log;
}

// One report over the last minute: the rows.
int Report(Syslog_File& log) {
  return ReportRows(log, kEnd - 59, kEnd);
}

// Sums the sizes of the blocks a report reads, from the flow trace.
struct BlockCount {
  long blocks = 0;
  long bytes = 0;
};
void CountBlocks(void* ctx, const char* /*label*/, const char* text) {
  long size = 0;
  int end = 0;
  if (sscanf(text, "\n%ld bytes read from file%n", &size, &end) == 1 &&
      end > 0) {
    auto* count = static_cast<BlockCount*>(ctx);
    ++count->blocks;
    count->bytes += size;
  }
}

void BM_ReportLastMinute(benchmark::State& state, std::string path) {
  std::unique_ptr<Syslog_File> log = NewLog(path);
  if (log == nullptr) {
    state.SkipWithError("log not accepted");
    return;
  }
  // One traced report first, to count what a report reads.
  BlockCount count;
  FILE* null = fopen("/dev/null", "w");
  WEX1_SetSink(null);
  WEX1_SetHook(&CountBlocks, &count);
  WEX1_Configure("TVX100:ERROR,FLOW");
  const int rows = Report(*log);
  WEX1_Configure("TVX100:ERROR");
  WEX1_SetHook(nullptr, nullptr);
  WEX1_SetSink(nullptr);
  fclose(null);
  if (rows != kWindowRows) {
    state.SkipWithError("unexpected number of rows");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(Report(*log));
  }
  state.counters["rows"] = rows;
  state.counters["blocks_read"] = static_cast<double>(count.blocks);
  state.counters["bytes_read"] = static_cast<double>(count.bytes);
}

// The whole file read sequentially, counting the lines of the minute.
void BM_ScanWholeFile(benchmark::State& state, std::string path) {
  std::vector<char> buffer(1 << 20);
  const size_t prefix = strlen(kMinute);
  long matches = 0;
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
      state.SkipWithError("open failed");
      return;
    }
    matches = 0;
    std::string carry;
    ssize_t n;
    while ((n = read(fd, buffer.data(), buffer.size())) > 0) {
      // A line start split by the chunk boundary is joined first.
      const char* p = buffer.data();
      const char* const end = p + n;
      if (!carry.empty()) {
        const char* nl = static_cast<const char*>(memchr(p, '\n', n));
        carry.append(p, nl != nullptr ? nl - p : n);
        if (nl == nullptr) {
          continue;
        }
        matches += carry.compare(0, prefix, kMinute) == 0;
        carry.clear();
        p = nl + 1;
      }
      while (p < end) {
        const char* nl = static_cast<const char*>(memchr(p, '\n', end - p));
        if (nl == nullptr) {
          carry.assign(p, end - p);
          break;
        }
        matches += static_cast<size_t>(nl - p) >= prefix &&
                   memcmp(p, kMinute, prefix) == 0;
        p = nl + 1;
      }
    }
    close(fd);
  }
  state.counters["rows"] = static_cast<double>(matches);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  setenv("TZ", "UTC", 1);
  tzset();
  std::vector<uint64_t> sizes_mb = {10, 1024};
  if (const char* env = getenv("QOR_BENCH_SIZES_MB")) {
    sizes_mb.clear();
    for (const char* p = env; *p != '\0';) {
      char* next = nullptr;
      sizes_mb.push_back(strtoull(p, &next, 10));
      p = *next == ',' ? next + 1 : next;
      if (next == p && *p != '\0') {
        break;
      }
    }
  }
  char tmpl[] = "/tmp/qor_syslog_bench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  const std::string dir = tmpl;
  std::vector<std::string> paths;
  for (const uint64_t mb : sizes_mb) {
    const std::string path = dir + "/messages." + std::to_string(mb) + "M";
    fprintf(stderr, "generating %s\n", path.c_str());
    if (!Generate(path, mb << 20)) {
      perror(path.c_str());
      return 1;
    }
    paths.push_back(path);
  }
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string tag = std::to_string(sizes_mb[i]) + "MB";
    benchmark::RegisterBenchmark(("BM_ReportLastMinute/" + tag).c_str(),
                                 BM_ReportLastMinute, paths[i])
        ->Unit(benchmark::kMillisecond);
  }
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string tag = std::to_string(sizes_mb[i]) + "MB";
    benchmark::RegisterBenchmark(("BM_ScanWholeFile/" + tag).c_str(),
                                 BM_ScanWholeFile, paths[i])
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (getenv("QOR_BENCH_KEEP") != nullptr) {
    fprintf(stderr, "files kept in %s\n", dir.c_str());
    return 0;
  }
  for (const std::string& path : paths) {
    unlink(path.c_str());
  }
  rmdir(dir.c_str());
  return 0;
}
