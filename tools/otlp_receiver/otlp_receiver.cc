// qor-otlp-receiver: takes OTLP/HTTP log exports (protobuf or JSON, gzip or
// not) on POST /v1/logs, decodes them with the output's own schema, counts
// the records, writes each as a JSON line when asked, and answers as told:
// 200, 429 with Retry-After, 503, 400 or a partial success.
#include <civetweb.h>
#include <google/protobuf/arena.h>
#include <google/protobuf/util/json_util.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "otlp_logs.pb.h"

#include <isa-l/igzip_lib.h>
#include <nlohmann/json.hpp>

namespace {

const char kUsage[] =
    "usage: qor-otlp-receiver [options]\n"
    "  --listen HOST:PORT   where to listen (default 127.0.0.1:4318)\n"
    "  --path PATH          the path taken (default /v1/logs)\n"
    "  --answer WHAT        200 (default), 429, 503, 400 or partial\n"
    "  --answer-file FILE   read WHAT from FILE before each request (a test\n"
    "                       changes the answer while the receiver runs)\n"
    "  --retry-after S      the Retry-After of a 429 or 503 (default 1)\n"
    "  --require 'N: V'     answer 401 to a request without this header\n"
    "  --out FILE           append each record as one JSON line to FILE\n"
    "                       (- : standard output)\n"
    "  --stats FILE         rewrite FILE with the counts every 0.1 s\n"
    "Stops on SIGINT or SIGTERM and prints its counts.\n";

struct Receiver {
  std::string path = "/v1/logs";
  std::string answer = "200";
  std::string answer_file;
  std::string retry_after = "1";
  std::string require_name;
  std::string require_value;
  std::string stats_file;
  FILE* out = nullptr;
  std::mutex mu;
  std::atomic<uint64_t> requests{0}, records{0}, refused{0}, bad{0}, bytes{0};
};

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop.store(true);
}

// ISA-L's inflate, into room sized by the gzip trailer's length.
bool Gunzip(const std::string& in, std::string* out) {
  if (in.size() < 18) {
    return false;
  }
  uint32_t isize = 0;
  memcpy(&isize, in.data() + in.size() - 4, 4);  // little-endian hosts
  // civetweb's threads have small stacks: the state on the heap.
  auto z = std::make_unique<inflate_state>();
  isal_inflate_init(z.get());
  z->crc_flag = ISAL_GZIP;
  z->next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(in.data()));
  z->avail_in = static_cast<uint32_t>(in.size());
  out->resize(std::min<size_t>(std::max<size_t>(isize, 4096), 256u << 20));
  size_t done = 0;
  while (true) {
    z->next_out = reinterpret_cast<uint8_t*>(&(*out)[done]);
    z->avail_out = static_cast<uint32_t>(out->size() - done);
    if (isal_inflate(z.get()) != ISAL_DECOMP_OK) {
      return false;
    }
    done = out->size() - z->avail_out;
    if (z->block_state == ISAL_BLOCK_FINISH) {
      out->resize(done);
      return true;
    }
    if (z->avail_out > 0 || out->size() >= (1u << 30)) {
      return false;  // cut short, or past any request's size
    }
    out->resize(out->size() * 2);
  }
}

std::string AnyText(const qor::otlp::AnyValue& v) {
  switch (v.value_case()) {
    case qor::otlp::AnyValue::kStringValue:
      return v.string_value();
    case qor::otlp::AnyValue::kIntValue:
      return std::to_string(v.int_value());
    case qor::otlp::AnyValue::kBoolValue:
      return v.bool_value() ? "true" : "false";
    case qor::otlp::AnyValue::kDoubleValue:
      return std::to_string(v.double_value());
    default:
      return "";
  }
}

void Send(mg_connection* c, int status, const char* type,
          const std::string& body, const char* retry_after) {
  mg_response_header_start(c, status);
  mg_response_header_add(c, "Content-Type", type, -1);
  if (retry_after != nullptr) {
    mg_response_header_add(c, "Retry-After", retry_after, -1);
  }
  const std::string length = std::to_string(body.size());
  mg_response_header_add(c, "Content-Length", length.c_str(), -1);
  mg_response_header_send(c);
  mg_write(c, body.data(), body.size());
}

std::string Answer(Receiver* r) {
  if (r->answer_file.empty()) {
    return r->answer;
  }
  std::ifstream f(r->answer_file);
  std::string a;
  f >> a;
  return a.empty() ? r->answer : a;
}

void WriteStats(Receiver* r) {
  if (r->stats_file.empty()) {
    return;
  }
  const std::string tmp = r->stats_file + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (f == nullptr) {
    return;
  }
  fprintf(f,
          "requests %llu\nrecords %llu\nrefused %llu\nbad %llu\nbytes %llu\n",
          static_cast<unsigned long long>(r->requests.load()),
          static_cast<unsigned long long>(r->records.load()),
          static_cast<unsigned long long>(r->refused.load()),
          static_cast<unsigned long long>(r->bad.load()),
          static_cast<unsigned long long>(r->bytes.load()));
  fclose(f);
  rename(tmp.c_str(), r->stats_file.c_str());
}

int Handle(mg_connection* c, void* self) {
  Receiver* r = static_cast<Receiver*>(self);
  const mg_request_info* ri = mg_get_request_info(c);
  if (strcmp(ri->request_method, "POST") != 0 || r->path != ri->local_uri) {
    Send(c, 404, "text/plain", "not found\n", nullptr);
    return 404;
  }
  std::string body;
  if (ri->content_length > 0 && ri->content_length < (64 << 20)) {
    body.reserve(static_cast<size_t>(ri->content_length));
  }
  std::vector<char> buf(65536);
  int n;
  while ((n = mg_read(c, buf.data(), buf.size())) > 0) {
    body.append(buf.data(), static_cast<size_t>(n));
  }
  r->bytes += body.size();
  const char* type = mg_get_header(c, "Content-Type");
  const bool json = type != nullptr && strstr(type, "json") != nullptr;
  const char* reply_type = json ? "application/json" : "application/x-protobuf";
  if (!r->require_name.empty()) {
    const char* h = mg_get_header(c, r->require_name.c_str());
    if (h == nullptr || r->require_value != h) {
      ++r->bad;
      Send(c, 401, "text/plain", "missing or wrong " + r->require_name + "\n",
           nullptr);
      return 401;
    }
  }
  const char* encoding = mg_get_header(c, "Content-Encoding");
  if (encoding != nullptr && strcmp(encoding, "gzip") == 0) {
    std::string plain;
    if (!Gunzip(body, &plain)) {
      ++r->bad;
      Send(c, 400, "text/plain", "body is not gzip\n", nullptr);
      return 400;
    }
    body.swap(plain);
  }
  // On an arena: many small messages, freed at once, in a few large blocks.
  google::protobuf::ArenaOptions blocks;
  blocks.start_block_size = 256 << 10;
  blocks.max_block_size = 4 << 20;
  google::protobuf::Arena arena(blocks);
  auto& req = *google::protobuf::Arena::CreateMessage<
      qor::otlp::ExportLogsServiceRequest>(&arena);
  bool ok;
  if (json) {
    google::protobuf::util::JsonParseOptions o;
    o.ignore_unknown_fields = true;
    ok = google::protobuf::util::JsonStringToMessage(body, &req, o).ok();
  } else {
    ok = req.ParseFromString(body);
  }
  if (!ok) {
    ++r->bad;
    Send(c, 400, "text/plain", "request does not decode\n", nullptr);
    return 400;
  }
  ++r->requests;
  const std::string answer = Answer(r);
  uint64_t count = 0;
  for (const auto& rl : req.resource_logs()) {
    for (const auto& sl : rl.scope_logs()) {
      count += static_cast<uint64_t>(sl.log_records_size());
    }
  }
  if (answer == "429" || answer == "503") {
    Send(c, std::stoi(answer), "text/plain",
         "receiver told to answer " + answer + "\n", r->retry_after.c_str());
    return std::stoi(answer);
  }
  if (answer == "400") {
    r->refused += count;
    Send(c, 400, "text/plain", "receiver told to refuse\n", nullptr);
    return 400;
  }
  if (r->out != nullptr) {
    std::string lines;
    for (const auto& rl : req.resource_logs()) {
      nlohmann::json resource = nlohmann::json::object();
      for (const auto& kv : rl.resource().attributes()) {
        resource[kv.key()] = AnyText(kv.value());
      }
      for (const auto& sl : rl.scope_logs()) {
        for (const auto& lr : sl.log_records()) {
          nlohmann::json j;
          j["resource"] = resource;
          j["scope"] = sl.scope().name() + " " + sl.scope().version();
          j["time"] = lr.time_unix_nano();
          j["observed"] = lr.observed_time_unix_nano();
          j["severity"] = lr.severity_number();
          j["severity_text"] = lr.severity_text();
          j["body"] = AnyText(lr.body());
          nlohmann::json a = nlohmann::json::object();
          for (const auto& kv : lr.attributes()) {
            a[kv.key()] = AnyText(kv.value());
          }
          j["attributes"] = a;
          lines +=
              j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
          lines += '\n';
        }
      }
    }
    std::lock_guard<std::mutex> g(r->mu);
    fwrite(lines.data(), 1, lines.size(), r->out);
    fflush(r->out);
  }
  std::string reply;
  if (answer == "partial") {
    r->refused += count;
    qor::otlp::ExportLogsServiceResponse resp;
    resp.mutable_partial_success()->set_rejected_log_records(
        static_cast<int64_t>(count));
    resp.mutable_partial_success()->set_error_message(
        "receiver told to refuse every record");
    if (json) {
      google::protobuf::util::MessageToJsonString(resp, &reply);
    } else {
      resp.SerializeToString(&reply);
    }
  } else {
    r->records += count;
    if (json) {
      reply = "{}";
    }
  }
  Send(c, 200, reply_type, reply, nullptr);
  return 200;
}

int LogMessage(const mg_connection*, const char* message) {
  fprintf(stderr, "qor-otlp-receiver: %s\n", message);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Receiver r;
  std::string listen = "127.0.0.1:4318";
  std::string out;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "qor-otlp-receiver: %s needs a value\n%s", a.c_str(),
              kUsage);
      return 2;
    }
    const std::string v = argv[++i];
    if (a == "--listen") {
      listen = v;
    } else if (a == "--path") {
      r.path = v;
    } else if (a == "--answer") {
      if (v != "200" && v != "429" && v != "503" && v != "400" &&
          v != "partial") {
        fprintf(
            stderr,
            "qor-otlp-receiver: --answer takes 200, 429, 503, 400 or partial\n");
        return 2;
      }
      r.answer = v;
    } else if (a == "--answer-file") {
      r.answer_file = v;
    } else if (a == "--retry-after") {
      r.retry_after = v;
    } else if (a == "--require") {
      const size_t colon = v.find(':');
      if (colon == std::string::npos) {
        fprintf(stderr, "qor-otlp-receiver: --require takes 'Name: value'\n");
        return 2;
      }
      r.require_name = v.substr(0, colon);
      r.require_value = v.substr(v.find_first_not_of(' ', colon + 1));
    } else if (a == "--out") {
      out = v;
    } else if (a == "--stats") {
      r.stats_file = v;
    } else {
      fprintf(stderr, "qor-otlp-receiver: unknown option %s\n%s", a.c_str(),
              kUsage);
      return 2;
    }
  }
  if (out == "-") {
    r.out = stdout;
  } else if (!out.empty()) {
    r.out = fopen(out.c_str(), "a");
    if (r.out == nullptr) {
      fprintf(stderr, "qor-otlp-receiver: cannot open %s\n", out.c_str());
      return 1;
    }
  }
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  mg_init_library(0);
  const char* options[] = {"listening_ports",
                           listen.c_str(),
                           "num_threads",
                           "8",
                           "enable_keep_alive",
                           "yes",
                           "tcp_nodelay",
                           "1",
                           "request_timeout_ms",
                           "60000",
                           "max_request_size",
                           "67108864",
                           nullptr};
  mg_callbacks callbacks;
  memset(&callbacks, 0, sizeof callbacks);
  callbacks.log_message = LogMessage;
  mg_init_data init;
  memset(&init, 0, sizeof init);
  init.callbacks = &callbacks;
  init.configuration_options = options;
  char text[256] = {};
  unsigned code = 0;
  mg_error_data error;
  memset(&error, 0, sizeof error);
  error.code = &code;
  error.text = text;
  error.text_buffer_size = sizeof text;
  mg_context* ctx = mg_start2(&init, &error);
  if (ctx == nullptr) {
    fprintf(stderr, "qor-otlp-receiver: cannot listen on %s: %s\n",
            listen.c_str(), text);
    return 1;
  }
  mg_set_request_handler(ctx, "/", Handle, &r);
  fprintf(stderr, "qor-otlp-receiver: listening on http://%s%s\n",
          listen.c_str(), r.path.c_str());
  WriteStats(&r);
  while (!g_stop.load()) {
    usleep(100000);
    WriteStats(&r);
  }
  mg_stop(ctx);
  mg_exit_library();
  fprintf(
      stderr,
      "qor-otlp-receiver: %llu requests, %llu records taken, %llu refused, %llu bad\n",
      static_cast<unsigned long long>(r.requests.load()),
      static_cast<unsigned long long>(r.records.load()),
      static_cast<unsigned long long>(r.refused.load()),
      static_cast<unsigned long long>(r.bad.load()));
  if (r.out != nullptr && r.out != stdout) {
    fclose(r.out);
  }
  return 0;
}
