// The OTLP encoder against the receiver's schema (code generated from
// otlp_logs.proto): every mapped field decodes, in protobuf and in JSON;
// and the output's URL, headers file and answer parsing.
#include "framework/fleet/otlp_encoding.h"

#include <google/protobuf/util/json_util.h>

#include <map>

#include <gtest/gtest.h>

#include "framework/fleet/otlp_output.h"
#include "otlp_logs.pb.h"

namespace {

const char kLine[] =
    "{\"time\":\"2026-12-08T02:30:00.123Z\",\"situation\":\"ssh_guess\","
    "\"table\":\"TVX.VXLOGENT\",\"suppressed\":3,"
    "\"entrytime\":\"2026-12-08T03:30:00.120+01:00\",\"row\":{"
    "\"ORIGINNODE\":\"web1:TVX\",\"LOGPATH\":\"/var/log/\","
    "\"LOGNAME\":\"app.log\",\"ENTRYTYPE\":\"err\",\"ENTRYDESC\":\"one\","
    "\"FREQTHRESH\":5,\"entry\":\"one\\ntwo \\\"q\\\" \\u00e9\\ud83d\\ude00\"}}\n";

std::map<std::string, std::string> Attributes(
    const google::protobuf::RepeatedPtrField<qor::otlp::KeyValue>& kvs) {
  std::map<std::string, std::string> m;
  for (const auto& kv : kvs) {
    m[kv.key()] = kv.value().has_int_value()
                      ? "#" + std::to_string(kv.value().int_value())
                      : kv.value().string_value();
  }
  return m;
}

qor::otlp::ExportLogsServiceRequest Decode(Otlp_Encoding encoding,
                                           const std::string& line,
                                           int copies) {
  const Otlp_Encoder enc(encoding, "web1.example", "web1:TVX", "1.2.3");
  Otlp_Record r("web1:TVX");
  std::string records;
  enc.Begin(&records);
  for (int i = 0; i < copies; ++i) {
    r.Read(line);
    enc.AppendRecord(r, i == 0, &records);
  }
  const std::string body(enc.Frame(&records));
  qor::otlp::ExportLogsServiceRequest req;
  if (encoding == Otlp_Encoding::kJson) {
    EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(body, &req).ok())
        << body;
  } else {
    EXPECT_TRUE(req.ParseFromString(body));
  }
  return req;
}

TEST(OtlpEncodingTest, EveryFieldDecodesInBothEncodings) {
  for (Otlp_Encoding e : {Otlp_Encoding::kProtobuf, Otlp_Encoding::kJson}) {
    SCOPED_TRACE(e == Otlp_Encoding::kJson ? "json" : "protobuf");
    const auto req = Decode(e, kLine, 3);
    ASSERT_EQ(req.resource_logs_size(), 1);
    const auto& rl = req.resource_logs(0);
    auto res = Attributes(rl.resource().attributes());
    EXPECT_EQ(res["host.name"], "web1.example");
    EXPECT_EQ(res["qoragent.system_name"], "web1:TVX");
    ASSERT_EQ(rl.scope_logs_size(), 1);
    EXPECT_EQ(rl.scope_logs(0).scope().name(), "qoragent");
    EXPECT_EQ(rl.scope_logs(0).scope().version(), "1.2.3");
    ASSERT_EQ(rl.scope_logs(0).log_records_size(), 3);
    const auto& lr = rl.scope_logs(0).log_records(2);
    // 2026-12-08T02:30:00.120Z and .123Z.
    EXPECT_EQ(lr.time_unix_nano(), 1796697000120000000ull);
    EXPECT_EQ(lr.observed_time_unix_nano(), 1796697000123000000ull);
    EXPECT_EQ(lr.severity_number(), 17);
    EXPECT_EQ(lr.severity_text(), "err");
    EXPECT_EQ(lr.body().string_value(),
              "one\ntwo \"q\" \xC3\xA9\xF0\x9F\x98\x80");
    auto a = Attributes(lr.attributes());
    EXPECT_EQ(a["log.file.path"], "/var/log/app.log");
    EXPECT_EQ(a["log.file.name"], "app.log");
    EXPECT_EQ(a["qoragent.situation"], "ssh_guess");
    EXPECT_EQ(a["qoragent.table"], "TVX.VXLOGENT");
    EXPECT_EQ(a["qoragent.suppressed"], "#3");
    EXPECT_EQ(a.count("qoragent.row.ORIGINNODE"), 0u);  // the resource's
    EXPECT_EQ(a["qoragent.row.FREQTHRESH"], "#5");
    EXPECT_EQ(a["log.record.uid"].size(), 32u);
    EXPECT_EQ(a.count("qoragent.row.entry"), 0u);
  }
}

// A situation that remembers: the alert's identity and state as attributes;
// the row's columns that repeat the record's fields left out, the others
// kept.
TEST(OtlpEncodingTest, StatefulEventsAndRepeatedColumns) {
  const std::string line =
      "{\"time\":\"2026-12-08T02:30:01.000Z\",\"situation\":\"pair\","
      "\"table\":\"TVX.VXLOGENT\",\"key\":\"k1\","
      "\"entrytime\":\"2026-12-08T02:30:00Z\",\"alert\":{\"situation\":"
      "\"pair\",\"key\":\"k1\",\"host\":\"web1\"},\"state\":\"firing\","
      "\"pair\":\"then\",\"first\":{\"entry\":\"a\",\"n\":2,\"x\":[1]},"
      "\"row\":{\"ORIGINNODE\":\"db2:TVX\",\"ENTRYTIME\":\"1261208023000000\","
      "\"TIMESTAMP\":\"1261208023000000\",\"entry\":\"b\"}}\n";
  for (Otlp_Encoding e : {Otlp_Encoding::kProtobuf, Otlp_Encoding::kJson}) {
    SCOPED_TRACE(e == Otlp_Encoding::kJson ? "json" : "protobuf");
    const auto req = Decode(e, line, 1);
    auto a = Attributes(
        req.resource_logs(0).scope_logs(0).log_records(0).attributes());
    EXPECT_EQ(a["qoragent.alert.situation"], "pair");
    EXPECT_EQ(a["qoragent.alert.key"], "k1");
    EXPECT_EQ(a["qoragent.alert.host"], "web1");
    EXPECT_EQ(a["qoragent.state"], "firing");
    EXPECT_EQ(a["qoragent.pair"], "then");
    EXPECT_EQ(a["qoragent.first.entry"], "a");
    EXPECT_EQ(a["qoragent.first.n"], "#2");
    EXPECT_EQ(a.count("qoragent.first.x"), 0u);
    EXPECT_EQ(a["qoragent.row.ORIGINNODE"], "db2:TVX");  // another system's
    EXPECT_EQ(a.count("qoragent.row.ENTRYTIME"), 0u);
    EXPECT_EQ(a.count("qoragent.row.TIMESTAMP"), 0u);
  }
  // A time stamp of its own is kept; without the entry time, ENTRYTIME too.
  Otlp_Record r;
  ASSERT_TRUE(r.Read("{\"row\":{\"ENTRYTIME\":\"1\",\"TIMESTAMP\":\"2\"}}"));
  int kept = 0;
  for (const Otlp_Record::Value& v : r.attributes) {
    kept += v.key == "ENTRYTIME" || v.key == "TIMESTAMP";
  }
  EXPECT_EQ(kept, 2);
}

// A line as the event writer makes it is walked quote to quote; the same
// line with blanks goes through the JSON scanner: both read it alike.
TEST(OtlpEncodingTest, BothReadersAgree) {
  const std::string line =
      "{\"time\":\"2026-12-08T02:30:01.000Z\",\"situation\":\"pair\","
      "\"suppressed\":-2,\"alerts\":false,\"alert\":{\"key\":\"k1\",\"n\":2,"
      "\"t\":true},\"entrytime\":\"2026-12-08T02:30:00Z\",\"row\":{"
      "\"LOGPATH\":\"/l/\",\"LOGNAME\":\"a\",\"ENTRYTYPE\":\"warning\","
      "\"ENTRYDESC\":\"d\",\"ENTRYCLASS\":\"\",\"N\":1.5e3,\"entry\":\"e\","
      "\"cut\":true},\"empty\":{}}";
  std::string spaced;
  bool in_string = false;
  for (char c : line) {
    spaced.push_back(c);
    in_string = in_string != (c == '"');
    if (!in_string && (c == ':' || c == ',')) {
      spaced.append(" \t");
    }
  }
  const auto show = [](const Otlp_Record& r) {
    std::string s = std::to_string(r.time_ns) + " " +
                    std::to_string(r.observed_ns) + " " +
                    std::to_string(r.severity) + " " +
                    std::string(r.severity_text) + " " + std::string(r.body);
    for (const Otlp_Record::Value& v : r.attributes) {
      if (v.key != "log.record.uid") {
        s += "|" + std::string(v.prefix) + std::string(v.group) +
             (v.group.empty() ? "" : ".") + std::string(v.key) + "=" +
             std::string(v.text) +
             (v.is_number ? "#" + std::to_string(v.number) : "");
      }
    }
    return s;
  };
  // The records' views point into the lines: they outlive the reading.
  const std::string walked_line = line + "\n";
  const std::string scanned_line = spaced + "\n";
  Otlp_Record walked;
  Otlp_Record scanned;
  ASSERT_TRUE(walked.Read(walked_line));
  ASSERT_TRUE(scanned.Read(scanned_line));
  EXPECT_EQ(show(walked), show(scanned));
  EXPECT_NE(show(walked).find("qoragent.alert.key=k1"), std::string::npos);
  EXPECT_NE(show(walked).find("qoragent.row.N=1.5e3"), std::string::npos);
  // Cut short anywhere, it is not JSON: the line is the body.
  for (size_t n = 1; n < line.size(); n += 7) {
    const std::string cut = line.substr(0, n);
    EXPECT_FALSE(walked.Read(cut)) << n;
    EXPECT_EQ(walked.body, cut);
  }
}

TEST(OtlpEncodingTest, RecordReadingRules) {
  Otlp_Record r;
  // The uid is the same when only the read time differs, else not.
  ASSERT_TRUE(r.Read(kLine));
  const std::string uid = r.uid;
  std::string later = kLine;
  later.replace(later.find("02:30:00.123Z"), 13, "09:00:00.000Z");
  ASSERT_TRUE(r.Read(later));
  EXPECT_EQ(uid, r.uid);
  std::string other = kLine;
  other.replace(other.find("\"one\\n"), 6, "\"One\\n");
  ASSERT_TRUE(r.Read(other));
  EXPECT_NE(uid, r.uid);
  // A "<PRI>" at the start of the entry when its kind has no priority word;
  // none: severity unset.
  ASSERT_TRUE(r.Read("{\"row\":{\"ENTRYTYPE\":\"\",\"entry\":\"<13>x\"}}"));
  EXPECT_EQ(r.severity, 10);  // user.notice
  EXPECT_EQ(r.severity_text, "notice");
  ASSERT_TRUE(r.Read(
      "{\"row\":{\"ENTRYDESC\":\"<3>x\",\"entry\":\"Dec  9 h app: <3>x\"}}"));
  EXPECT_EQ(r.severity, 17);
  ASSERT_TRUE(r.Read("{\"row\":{\"entry\":\"plain\"}}"));
  EXPECT_EQ(r.severity, 0);
  EXPECT_EQ(r.time_ns, 0u);
  // Escapes and skipped values early in the line leave the members after
  // them whole.
  ASSERT_TRUE(r.Read(
      "{\"situation\":\"a\\\"b\\\\\",\"skip\":{\"x\":[\"\\\"\",{\"y\":\"\"}]},"
      "\"row\":{\"ENTRYDESC\":\"c\\\\\\\"d\",\"LOGNAME\":\"n\"},"
      "\"table\":\"t\"}"));
  std::map<std::string, std::string> got;
  for (const Otlp_Record::Value& v : r.attributes) {
    got[std::string(v.prefix) + std::string(v.key)] = std::string(v.text);
  }
  EXPECT_EQ(got["qoragent.situation"], "a\"b\\");
  EXPECT_EQ(got["qoragent.row.ENTRYDESC"], "c\\\"d");
  EXPECT_EQ(got["log.file.name"], "n");
  EXPECT_EQ(got["qoragent.table"], "t");
  EXPECT_EQ(r.body, "c\\\"d");
  // Not JSON: the line is the body.
  EXPECT_FALSE(r.Read("not json\n"));
  EXPECT_EQ(r.body, "not json");
  EXPECT_EQ(OtlpSyslogSeverity(0), 21);
  EXPECT_EQ(OtlpSyslogSeverity(7), 5);
  EXPECT_EQ(Rfc3339ToUnixNanos("1970-01-01T00:00:01-00:01"), 61000000000ull);
  EXPECT_EQ(Rfc3339ToUnixNanos("1970-01-01 00:00:01"), 0u);
}

TEST(OtlpEncodingTest, PartialSuccessAnswers) {
  qor::otlp::ExportLogsServiceResponse resp;
  resp.mutable_partial_success()->set_rejected_log_records(7);
  resp.mutable_partial_success()->set_error_message("too old");
  std::string bin;
  resp.SerializeToString(&bin);
  std::string json;
  ASSERT_TRUE(google::protobuf::util::MessageToJsonString(resp, &json).ok());
  int64_t n = 0;
  std::string m;
  ASSERT_TRUE(ReadOtlpPartialSuccess(bin, false, &n, &m));
  EXPECT_EQ(n, 7);
  EXPECT_EQ(m, "too old");
  ASSERT_TRUE(ReadOtlpPartialSuccess(json, true, &n, &m));
  EXPECT_EQ(n, 7);
  EXPECT_EQ(m, "too old");
  ASSERT_TRUE(ReadOtlpPartialSuccess("{}", true, &n, &m));
  EXPECT_EQ(n, 0);
}

TEST(OtlpOutputTest, UrlsAndHeaderFiles) {
  Otlp_Url u;
  std::string err;
  ASSERT_TRUE(ParseOtlpUrl("otlp+http://127.0.0.1:4318", &u, &err)) << err;
  EXPECT_EQ(u.endpoint, "http://127.0.0.1:4318/v1/logs");
  EXPECT_EQ(u.encoding, Otlp_Encoding::kProtobuf);
  EXPECT_TRUE(u.gzip);
  ASSERT_TRUE(ParseOtlpUrl(
      "otlp+https://[::1]:443/in/logs?encoding=json&compression=none&"
      "batch=10&batch_bytes=64K&requests=2",
      &u, &err))
      << err;
  EXPECT_EQ(u.endpoint, "https://[::1]:443/in/logs");
  EXPECT_EQ(u.encoding, Otlp_Encoding::kJson);
  EXPECT_FALSE(u.gzip);
  EXPECT_EQ(u.batch_records, 10u);
  EXPECT_EQ(u.batch_bytes, 65536u);
  EXPECT_EQ(u.requests, 2);
  for (const char* bad :
       {"otlp+http://host", "otlp+http://:4318", "otlp+http://h:0",
        "otlp+http://h:99999", "otlp+http://u@h:1", "otlp+ftp://h:1",
        "otlp+http://h:1?encoding=xml", "otlp+http://h:1?compression=zstd",
        "otlp+http://h:1?batch=0", "otlp+http://h:1?nope=1"}) {
    EXPECT_FALSE(ParseOtlpUrl(bad, &u, &err)) << bad;
    EXPECT_FALSE(err.empty());
  }
  std::vector<std::string> h;
  ASSERT_TRUE(ParseOtlpHeaders(
      "# key\n\nAuthorization: Bearer s3cret\r\nX-Scope-OrgID:t1\n", &h, &err));
  EXPECT_EQ(h, (std::vector<std::string>{"Authorization: Bearer s3cret",
                                         "X-Scope-OrgID: t1"}));
  EXPECT_FALSE(ParseOtlpHeaders("ok: 1\nno colon s3cret\n", &h, &err));
  EXPECT_NE(err.find("line 2"), std::string::npos);
  EXPECT_EQ(err.find("s3cret"), std::string::npos);
  EXPECT_FALSE(ParseOtlpHeaders("Bad Name: v\n", &h, &err));
}

}  // namespace
