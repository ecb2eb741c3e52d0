// The OTLP sink's hand-written protobuf encoder against libprotobuf's code
// generated from the same otlp_logs.proto: 1,000 event lines of the shape
// the sink gets, read and written as one export request (gzip apart).
#include <google/protobuf/arena.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "framework/fleet/otlp_encoding.h"
#include "otlp_logs.pb.h"

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
  std::string body;
  for (auto _ : state) {
    records.clear();
    for (size_t i = 0; i < lines.size(); ++i) {
      r.Read(lines[i]);
      enc.AppendRecord(r, i == 0, &records);
    }
    enc.Request(records, &body);
    benchmark::DoNotOptimize(body.data());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_HandWritten);

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

}  // namespace

BENCHMARK_MAIN();
