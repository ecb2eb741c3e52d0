// The OTLP sink's hand-written protobuf encoder against libprotobuf's code
// generated from the same otlp_logs.proto: 1,000 event lines of the shape
// the sink gets, read and written as one export request (and the reading
// and the writing apart, BM_ReadOnly and BM_WriteOnly); and the request's
// gzip by ISA-L (the sink's, level 1; level 0 beside it) against zlib at its
// fastest level.
#include <google/protobuf/arena.h>
#include <zlib.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "framework/fleet/otlp_encoding.h"
#include "otlp_logs.pb.h"

#include <isa-l/igzip_lib.h>

namespace {

std::vector<std::string> Lines() {
  std::vector<std::string> lines;
  for (int k = 0; k < 1000; ++k) {
    const std::string n = std::to_string(k);
    lines.push_back(
        "{\"time\":\"2026-12-09T17:48:03.626Z\",\"situation\":\"all\",\"table\":"
        "\"TVX.VXLOGENT\",\"entrytime\":\"2026-12-09T17:47:57+00:00\",\"row\":{"
        "\"ORIGINNODE\":\"bench:TVX\",\"LOGPATH\":\"/var/log/\",\"LOGNAME\":"
        "\"app.log\",\"ENTRYTIME\":\"1261209174757000\",\"ENTRYSYS\":"
        "\"benchhost\",\"ENTRYSRC\":\"app[" +
        n +
        "]\",\"ENTRYTYPE\":\"\",\"ENTRYCLASS\":\"\",\"ENTRYDESC\":\"request " +
        n +
        " served in 0 ms\",\"FREQTHRESH\":0,\"PERIODTHRS\":0,\"TIMESTAMP\":"
        "\"1261209174803000\",\"SAMPLENO\":0,\"ROWNO\":0,\"entry\":\"Dec  9 "
        "17:47:57 benchhost app[" +
        n + "]: request " + n + " served in 0 ms\"}}\n");
  }
  return lines;
}

void BM_HandWritten(benchmark::State& state) {
  const std::vector<std::string> lines = Lines();
  const Otlp_Encoder enc(Otlp_Encoding::kProtobuf, "host", "bench:TVX", "1");
  Otlp_Record r;
  std::string records;
  size_t bytes = 0;
  for (auto _ : state) {
    enc.Begin(&records);
    for (size_t i = 0; i < lines.size(); ++i) {
      r.Read(lines[i]);
      enc.AppendRecord(r, i == 0, &records);
    }
    const std::string_view body = enc.Frame(&records);
    benchmark::DoNotOptimize(body.data());
    bytes = body.size();
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_HandWritten);

// The reading alone: what BM_HandWritten spends before writing.
void BM_ReadOnly(benchmark::State& state) {
  const std::vector<std::string> lines = Lines();
  Otlp_Record r("bench:TVX");
  for (auto _ : state) {
    for (const std::string& line : lines) {
      r.Read(line);
      benchmark::DoNotOptimize(r.attributes.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ReadOnly);

// The writing alone: the records read once, each into its own.
void BM_WriteOnly(benchmark::State& state) {
  const std::vector<std::string> lines = Lines();
  const Otlp_Encoder enc(Otlp_Encoding::kProtobuf, "host", "bench:TVX", "1");
  std::vector<Otlp_Record> records;
  records.reserve(lines.size());
  for (const std::string& line : lines) {
    records.emplace_back("bench:TVX");
    records.back().Read(line);
  }
  std::string out;
  for (auto _ : state) {
    enc.Begin(&out);
    for (size_t i = 0; i < records.size(); ++i) {
      enc.AppendRecord(records[i], i == 0, &out);
    }
    benchmark::DoNotOptimize(enc.Frame(&out).data());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_WriteOnly);

void BM_Libprotobuf(benchmark::State& state) {
  const std::vector<std::string> lines = Lines();
  Otlp_Record r;
  std::string body;
  for (auto _ : state) {
    google::protobuf::Arena arena;
    auto* req = google::protobuf::Arena::CreateMessage<
        qor::otlp::ExportLogsServiceRequest>(&arena);
    auto* rl = req->add_resource_logs();
    auto* host = rl->mutable_resource()->add_attributes();
    host->set_key("host.name");
    host->mutable_value()->set_string_value("host");
    auto* sl = rl->add_scope_logs();
    sl->mutable_scope()->set_name("qoragent");
    sl->mutable_scope()->set_version("1");
    for (const std::string& line : lines) {
      r.Read(line);
      auto* lr = sl->add_log_records();
      lr->set_time_unix_nano(r.time_ns);
      lr->set_observed_time_unix_nano(r.observed_ns);
      lr->mutable_body()->set_string_value(std::string(r.body));
      for (const Otlp_Record::Value& v : r.attributes) {
        auto* kv = lr->add_attributes();
        std::string key(v.prefix);
        key.append(v.key);
        kv->set_key(std::move(key));
        if (v.is_number) {
          kv->mutable_value()->set_int_value(v.number);
        } else {
          kv->mutable_value()->set_string_value(std::string(v.text));
        }
      }
    }
    body.clear();
    req->SerializeToString(&body);
    benchmark::DoNotOptimize(body.data());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_Libprotobuf);

std::string RequestBody() {
  const std::vector<std::string> lines = Lines();
  const Otlp_Encoder enc(Otlp_Encoding::kProtobuf, "host", "bench:TVX", "1");
  Otlp_Record r;
  std::string records;
  enc.Begin(&records);
  for (size_t i = 0; i < lines.size(); ++i) {
    r.Read(lines[i]);
    enc.AppendRecord(r, i == 0, &records);
  }
  return std::string(enc.Frame(&records));
}

void BM_GzipIsal(benchmark::State& state) {
  const std::string in = RequestBody();
  std::string out(in.size() + 4096, '\0');
  std::vector<uint8_t> level(ISAL_DEF_LVL1_DEFAULT);
  size_t n = 0;
  for (auto _ : state) {
    isal_zstream z;
    isal_deflate_stateless_init(&z);
    z.gzip_flag = ISAL_GZIP;
    z.level = static_cast<uint32_t>(state.range(0));
    z.level_buf = level.data();
    z.level_buf_size = static_cast<uint32_t>(level.size());
    z.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uint32_t>(in.size());
    z.next_out = reinterpret_cast<uint8_t*>(&out[0]);
    z.avail_out = static_cast<uint32_t>(out.size());
    z.end_of_stream = 1;
    isal_deflate_stateless(&z);
    n = z.total_out;
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.size()));
  state.counters["ratio"] = static_cast<double>(in.size()) / n;
}
BENCHMARK(BM_GzipIsal)->Arg(0)->Arg(1);

void BM_GzipZlib(benchmark::State& state) {
  const std::string in = RequestBody();
  z_stream z{};
  deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, in.size()), '\0');
  for (auto _ : state) {
    deflateReset(&z);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    benchmark::DoNotOptimize(z.total_out);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.size()));
  state.counters["ratio"] = static_cast<double>(in.size()) / z.total_out;
  deflateEnd(&z);
}
BENCHMARK(BM_GzipZlib);

}  // namespace

BENCHMARK_MAIN();
