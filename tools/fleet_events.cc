// qorctl events --from URL: reads the fleet's event stream from Kafka or
// NATS JetStream.
#include "tools/fleet_events.h"

#include <librdkafka/rdkafka.h>
#include <nats/nats.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "tools/fleet_client.h"
#include "tools/qorctl_command.h"
#include "tools/time_arg.h"
#include "util/kafka_properties.h"
#include "util/monotonic_ms.h"
#include "util/nats_url.h"
#include "util/trusted_file.h"

#include <nlohmann/json.hpp>

namespace {

constexpr int kWaitMs = 500;

struct Events_Options {
  std::string from;
  std::string host;
  bool json = false;
  bool since_given = false;
  time_t since = 0;
  long long limit = 0;  // 0: no limit
  long long idle_s = 0;  // 0: for ever
  bool help = false;
};

bool Value(const std::vector<std::string>& args, size_t* i, const std::string& name,
           std::string* value, std::string* err) {
  const std::string& a = args[*i];
  if (a.size() > name.size() && a[name.size()] == '=') {
    *value = a.substr(name.size() + 1);
    return true;
  }
  if (*i + 1 >= args.size()) {
    *err = name + " needs a value";
    return false;
  }
  *value = args[++*i];
  return true;
}

bool Is(const std::string& a, const std::string& name) {
  return a == name || (a.size() > name.size() && a.compare(0, name.size(), name) == 0 &&
                       a[name.size()] == '=');
}

// A local 16-character stamp (tools/time_arg.h) as a time.
time_t StampTime(const std::string& stamp) {
  struct tm tm = {};
  tm.tm_year = (stamp[0] - '0') * 100 + (stamp[1] - '0') * 10 + (stamp[2] - '0');
  tm.tm_mon = (stamp[3] - '0') * 10 + (stamp[4] - '0') - 1;
  tm.tm_mday = (stamp[5] - '0') * 10 + (stamp[6] - '0');
  tm.tm_hour = (stamp[7] - '0') * 10 + (stamp[8] - '0');
  tm.tm_min = (stamp[9] - '0') * 10 + (stamp[10] - '0');
  tm.tm_sec = (stamp[11] - '0') * 10 + (stamp[12] - '0');
  tm.tm_isdst = -1;
  return mktime(&tm);
}

bool ParseArgs(const std::vector<std::string>& args, Events_Options* o, std::string* err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    if (a == "events") {
      continue;
    } else if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (Is(a, "--from")) {
      if (!Value(args, &i, "--from", &o->from, err)) {
        return false;
      }
    } else if (Is(a, "--host")) {
      if (!Value(args, &i, "--host", &o->host, err)) {
        return false;
      }
    } else if (Is(a, "--since")) {
      std::string stamp;
      if (!Value(args, &i, "--since", &v, err) ||
          !ParseTimeArg(v, Time_Edge::kStart, time(nullptr), &stamp, err)) {
        return false;
      }
      o->since_given = true;
      o->since = StampTime(stamp);
    } else if (Is(a, "--limit") || Is(a, "--idle")) {
      const std::string name = a.substr(0, 7);
      if (!Value(args, &i, name, &v, err)) {
        return false;
      }
      char* end = nullptr;
      const long long n = strtoll(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n <= 0) {
        *err = name + " needs a positive number";
        return false;
      }
      (name == "--limit" ? o->limit : o->idle_s) = n;
    } else {
      *err = "unexpected argument \"" + a + "\" for events --from";
      return false;
    }
  }
  return true;
}

// Prints one event; its host from the row's ORIGINNODE, else `key`.
void Print(const Events_Options& o, const std::string& key, const char* data, size_t size, FILE* out) {
  std::string line(data, size);
  while (!line.empty() && line.back() == '\n') {
    line.pop_back();
  }
  const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  std::string host = key;
  if (j.is_object() && j.contains("row") && j["row"].is_object() && j["row"].contains("ORIGINNODE") &&
      j["row"]["ORIGINNODE"].is_string()) {
    host = j["row"]["ORIGINNODE"].get<std::string>();
  }
  if (o.json) {
    fprintf(out, "%s\n", j.is_object() ? FleetRowWithHost(host, line).c_str() : line.c_str());
  } else {
    std::string text;
    if (QorctlEventText(line, host, QorctlTerminalWidth(out), &text)) {
      fprintf(out, "%s\n", text.c_str());
    } else {
      fprintf(out, "%s\n", line.c_str());
    }
  }
  fflush(out);
}

// Counts and the idle limit: false when the reading is to end.
struct Progress {
  const Events_Options& o;
  long long shown = 0;
  long long last_ms = MonotonicMs();
  bool Shown() {
    ++shown;
    last_ms = MonotonicMs();
    return o.limit == 0 || shown < o.limit;
  }
  bool Idle() const { return o.idle_s > 0 && MonotonicMs() - last_ms >= o.idle_s * 1000; }
};

int FromNats(const Events_Options& o, FILE* out, FILE* err) {
  Nats_Url url;
  std::string why;
  if (!ParseNatsUrl(o.from, &url, &why)) {
    fprintf(err, "qorctl: --from %s: %s\n", o.from.c_str(), why.c_str());
    return QORCTL_USAGE;
  }
  std::string why_not;
  natsConnection* nc = QorctlNatsConnect(url, "qorctl events", true, &why_not);
  if (nc == nullptr) {
    fprintf(err, "qorctl: cannot reach %s: %s\n", o.from.c_str(),
            why_not.c_str());
    return QORCTL_UNREACHABLE;
  }
  natsStatus s = NATS_OK;
  jsCtx* js = nullptr;
  natsSubscription* sub = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  s = natsConnection_JetStream(&js, nc, nullptr);
  const std::string subject = url.name + "." + (o.host.empty() ? ">" : NatsHostToken(o.host));
  if (s == NATS_OK) {
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Ordered = true;
    if (o.since_given) {
      so.Config.DeliverPolicy = js_DeliverByStartTime;
      so.Config.OptStartTime = static_cast<int64_t>(o.since) * 1000000000LL;
    } else {
      so.Config.DeliverPolicy = js_DeliverNew;
    }
    s = js_SubscribeSync(&sub, js, subject.c_str(), nullptr, &so, &code);
  }
  int rc = QORCTL_OK;
  if (s != NATS_OK) {
    fprintf(err, "qorctl: cannot read %s from %s: %s%s\n", subject.c_str(), o.from.c_str(),
            natsStatus_GetText(s),
            s == NATS_NOT_FOUND || code != 0 ? " (is there a stream capturing it?)" : "");
    rc = QORCTL_ERR;
  }
  Progress p{o};
  while (rc == QORCTL_OK && !p.Idle()) {
    natsMsg* m = nullptr;
    s = natsSubscription_NextMsg(&m, sub, kWaitMs);
    if (s == NATS_TIMEOUT) {
      continue;
    }
    if (s != NATS_OK) {
      fprintf(err, "qorctl: reading %s: %s\n", o.from.c_str(), natsStatus_GetText(s));
      rc = QORCTL_ERR;
      break;
    }
    const char* subj = natsMsg_GetSubject(m);
    const char* dot = strrchr(subj, '.');
    Print(o, dot != nullptr ? dot + 1 : subj, natsMsg_GetData(m),
          static_cast<size_t>(natsMsg_GetDataLength(m)), out);
    natsMsg_Destroy(m);
    if (!p.Shown()) {
      break;
    }
  }
  natsSubscription_Destroy(sub);
  jsCtx_Destroy(js);
  natsConnection_Destroy(nc);
  return rc;
}

// When `part`'s offset is before the earliest the partition keeps (deleted
// by retention), says how many events were skipped and moves it to that
// one; past the partition's end, moves it there too. False when the
// partition's offsets cannot be had.
bool FromEarliestKept(rd_kafka_t* rk, const Events_Options& o,
                      rd_kafka_topic_partition_t* part, FILE* err) {
  int64_t low = 0;
  int64_t high = 0;
  if (rd_kafka_query_watermark_offsets(rk, part->topic, part->partition, &low,
                                       &high,
                                       10000) != RD_KAFKA_RESP_ERR_NO_ERROR) {
    return false;
  }
  if (part->offset >= 0 && part->offset < low) {
    fprintf(
        err,
        "qorctl: %s partition %d: %lld events from offset %lld on were deleted by retention "
        "before they were read; reading on from offset %lld, the earliest kept\n",
        o.from.c_str(), static_cast<int>(part->partition),
        static_cast<long long>(low - part->offset),
        static_cast<long long>(part->offset), static_cast<long long>(low));
    part->offset = low;
  } else if (part->offset < 0 || part->offset > high) {
    // Past the end (a topic made again): what it holds now is all new.
    part->offset = low;
  }
  return true;
}

int FromKafka(const Events_Options& o, FILE* out, FILE* err) {
  const size_t slash = o.from.find('/', 8);
  if (slash == std::string::npos || slash + 1 == o.from.size()) {
    fprintf(err, "qorctl: --from %s is not kafka://HOST:PORT[,HOST:PORT...]/TOPIC\n", o.from.c_str());
    return QORCTL_USAGE;
  }
  const std::string brokers = o.from.substr(8, slash - 8);
  const std::string topic = o.from.substr(slash + 1);
  char errstr[512];
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  const std::string group = "qorctl-events-" + std::to_string(getpid());
  const char* props = getenv("HOV_KAFKA_PROPERTIES");
  bool ok = rd_kafka_conf_set(conf, "bootstrap.servers", brokers.c_str(),
                              errstr, sizeof errstr) == RD_KAFKA_CONF_OK &&
            rd_kafka_conf_set(conf, "group.id", group.c_str(), errstr,
                              sizeof errstr) == RD_KAFKA_CONF_OK &&
            rd_kafka_conf_set(conf, "enable.auto.commit", "false", errstr,
                              sizeof errstr) == RD_KAFKA_CONF_OK &&
            // An offset retention deleted is told of (and read on from the
            // earliest kept) rather than passed over to the end.
            rd_kafka_conf_set(conf, "auto.offset.reset", "error", errstr,
                              sizeof errstr) == RD_KAFKA_CONF_OK;
  std::string problem;
  if (ok && props != nullptr && *props != '\0') {
    // The agent's properties file, held to the same rule: its settings
    // include libraries the client loads.
    ok = CheckTrustedFile("Kafka properties file", props, &problem);
    if (ok && !problem.empty()) {
      fprintf(err, "qorctl: %s\n", problem.c_str());
      problem.clear();
    }
    // Producer settings are accepted (and ignored by a consumer); what the
    // client does not know, the agent refuses too.
    ok = ok && LoadKafkaProperties(conf, props, &problem);
  }
  if (!ok && !problem.empty()) {
    rd_kafka_conf_destroy(conf);
    fprintf(err, "qorctl: %s\n", problem.c_str());
    return QORCTL_USAGE;
  }
  rd_kafka_t* rk = ok ? rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof errstr) : nullptr;
  if (rk == nullptr) {
    if (!ok) {
      rd_kafka_conf_destroy(conf);
    }
    fprintf(err, "qorctl: Kafka client for %s: %s\n", o.from.c_str(), errstr);
    return QORCTL_USAGE;
  }
  rd_kafka_poll_set_consumer(rk);
  // Every partition of the topic, from the end or from --since.
  const struct rd_kafka_metadata* md = nullptr;
  rd_kafka_topic_t* t = rd_kafka_topic_new(rk, topic.c_str(), nullptr);
  rd_kafka_resp_err_t e = RD_KAFKA_RESP_ERR__TIMED_OUT;
  const long long give_up = MonotonicMs() + 10000;
  while (MonotonicMs() < give_up) {
    e = rd_kafka_metadata(rk, 0, t, &md, 2000);
    if (e == RD_KAFKA_RESP_ERR_NO_ERROR && md->topic_cnt == 1 && md->topics[0].partition_cnt > 0) {
      break;
    }
    if (e == RD_KAFKA_RESP_ERR_NO_ERROR) {
      rd_kafka_metadata_destroy(md);
      md = nullptr;
      e = RD_KAFKA_RESP_ERR_UNKNOWN_TOPIC_OR_PART;
    }
    usleep(200000);
  }
  rd_kafka_topic_destroy(t);
  if (md == nullptr) {
    fprintf(err, "qorctl: cannot read topic %s from %s: %s\n", topic.c_str(), o.from.c_str(),
            rd_kafka_err2str(e));
    rd_kafka_destroy(rk);
    return QORCTL_UNREACHABLE;
  }
  rd_kafka_topic_partition_list_t* parts = rd_kafka_topic_partition_list_new(md->topics[0].partition_cnt);
  for (int i = 0; i < md->topics[0].partition_cnt; ++i) {
    rd_kafka_topic_partition_list_add(parts, topic.c_str(), md->topics[0].partitions[i].id)->offset =
        o.since_given ? static_cast<int64_t>(o.since) * 1000 : RD_KAFKA_OFFSET_END;
  }
  rd_kafka_metadata_destroy(md);
  if (o.since_given) {
    e = rd_kafka_offsets_for_times(rk, parts, 10000);
    if (e != RD_KAFKA_RESP_ERR_NO_ERROR) {
      fprintf(err, "qorctl: offsets of --since in %s: %s\n", topic.c_str(), rd_kafka_err2str(e));
    }
    for (int i = 0; i < parts->cnt; ++i) {
      if (parts->elems[i].offset < 0) {
        parts->elems[i].offset = RD_KAFKA_OFFSET_END;  // nothing since then yet
      } else {
        FromEarliestKept(rk, o, &parts->elems[i], err);
      }
    }
  }
  rd_kafka_assign(rk, parts);
  rd_kafka_topic_partition_list_destroy(parts);
  Progress p{o};
  int rc = QORCTL_OK;
  while (!p.Idle()) {
    rd_kafka_message_t* m = rd_kafka_consumer_poll(rk, kWaitMs);
    if (m == nullptr) {
      continue;
    }
    bool more = true;
    if (m->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
      const std::string key = m->key != nullptr ? std::string(static_cast<const char*>(m->key), m->key_len)
                                                : std::string();
      if (o.host.empty() || key == o.host) {
        Print(o, key, static_cast<const char*>(m->payload), m->len, out);
        more = p.Shown();
      }
    } else if (m->err == RD_KAFKA_RESP_ERR__AUTO_OFFSET_RESET &&
               m->rkt != nullptr) {
      // Deleted by retention while being read (or before): the partition,
      // which the client stopped, is assigned again from the earliest kept,
      // the others where they are.
      rd_kafka_topic_partition_list_t* at = nullptr;
      if (rd_kafka_assignment(rk, &at) == RD_KAFKA_RESP_ERR_NO_ERROR) {
        rd_kafka_position(rk, at);
        rd_kafka_topic_partition_t* part = rd_kafka_topic_partition_list_find(
            at, rd_kafka_topic_name(m->rkt), m->partition);
        if (part != nullptr) {
          part->offset = m->offset;
          if (!FromEarliestKept(rk, o, part, err)) {
            fprintf(err, "qorctl: reading %s: %s\n", o.from.c_str(),
                    rd_kafka_message_errstr(m));
            part->offset = RD_KAFKA_OFFSET_BEGINNING;
          }
        }
        for (int i = 0; i < at->cnt; ++i) {
          if (at->elems[i].offset < 0 &&
              at->elems[i].offset != RD_KAFKA_OFFSET_BEGINNING) {
            at->elems[i].offset = RD_KAFKA_OFFSET_END;  // none read there yet
          }
        }
        rd_kafka_assign(rk, at);
        rd_kafka_topic_partition_list_destroy(at);
      }
    } else if (m->err != RD_KAFKA_RESP_ERR__PARTITION_EOF) {
      fprintf(err, "qorctl: reading %s: %s\n", o.from.c_str(), rd_kafka_message_errstr(m));
    }
    rd_kafka_message_destroy(m);
    if (!more) {
      break;
    }
  }
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  return rc;
}

}  // namespace

bool QorctlEventsFromAsked(const std::vector<std::string>& args) {
  bool events = false;
  bool from = false;
  for (const std::string& a : args) {
    if (a == "--") {
      break;
    }
    events = events || a == "events";
    from = from || Is(a, "--from");
  }
  return events && from;
}

int QorctlEventsFromMain(const std::vector<std::string>& args, FILE* out, FILE* err) {
  Events_Options o;
  std::string why;
  if (!ParseArgs(args, &o, &why)) {
    fprintf(err, "qorctl: %s\nRun 'qorctl --help' for usage.\n", why.c_str());
    return QORCTL_USAGE;
  }
  if (o.help) {
    fprintf(out, "Usage: qorctl %s", kQorctlEventsFromHelp);
    return QORCTL_OK;
  }
  if (o.from.compare(0, 8, "kafka://") == 0) {
    return FromKafka(o, out, err);
  }
  return FromNats(o, out, err);
}
