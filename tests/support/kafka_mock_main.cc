// A Kafka cluster for tests and benchmarks: librdkafka's mock cluster in a
// small program of its own, so that the agent under test talks to it over
// loopback TCP as it would to real brokers.
//
//   kafka_mock BROKERS TOPIC [PARTITIONS]
//
// Prints the bootstrap servers ("127.0.0.1:PORT,...") on one line once
// TOPIC exists (replicated on every broker), then reads commands on
// standard input, answering each with "ok" or "error TEXT":
//
//   down N | up N   broker N (1..BROKERS) refuses connections / serves again
//   rtt MS         every broker answers each request MS milliseconds late
//   refuse | accept  TOPIC's metadata says the client may not use it / may
//   fence          the next producer id asked for is refused, a fatal
//                  error of the idempotent producer
//   count          "count N": the messages ever appended to TOPIC (the sum
//                  of its partitions' end offsets)
//   dump           every message TOPIC still holds as "PARTITION
//                  KEY<TAB>VALUE" lines (VALUE without its line end), then
//                  "end N"
//
// A mock partition keeps only its last 5 MB or so (older messages are
// deleted as new ones come): to see every message of a long run, read the
// topic while it is written (qorctl events --from follows it).
// Ends at the end of its input, on "quit" or on SIGTERM.
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// The sum of the end offsets of TOPIC's partitions; -1 when unknown.
long long EndOffsets(const char* bootstraps, const char* topic,
                     int partitions) {
  char errstr[512];
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  rd_kafka_conf_set(conf, "bootstrap.servers", bootstraps, errstr,
                    sizeof errstr);
  rd_kafka_t* rk = rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof errstr);
  if (rk == nullptr) {
    printf("error %s\n", errstr);
    return -1;
  }
  long long sum = 0;
  for (int p = 0; p < partitions && sum >= 0; ++p) {
    int64_t low = 0;
    int64_t high = 0;
    const rd_kafka_resp_err_t e =
        rd_kafka_query_watermark_offsets(rk, topic, p, &low, &high, 10000);
    if (e != RD_KAFKA_RESP_ERR_NO_ERROR) {
      printf("error %s\n", rd_kafka_err2str(e));
      sum = -1;
    } else {
      sum += high;
    }
  }
  rd_kafka_destroy(rk);
  return sum;
}

// Reads TOPIC from its start with a consumer of the cluster; prints every
// message (dump) or only counts them. -1 when the topic cannot be read.
long long ReadTopic(const char* bootstraps, const char* topic, int partitions) {
  char errstr[512];
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  rd_kafka_conf_set(conf, "bootstrap.servers", bootstraps, errstr,
                    sizeof errstr);
  rd_kafka_conf_set(conf, "group.id", "kafka-mock-reader", errstr,
                    sizeof errstr);
  rd_kafka_conf_set(conf, "enable.auto.commit", "false", errstr, sizeof errstr);
  rd_kafka_conf_set(conf, "enable.partition.eof", "true", errstr,
                    sizeof errstr);
  rd_kafka_t* rk = rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof errstr);
  if (rk == nullptr) {
    printf("error %s\n", errstr);
    return -1;
  }
  rd_kafka_poll_set_consumer(rk);
  rd_kafka_topic_partition_list_t* parts =
      rd_kafka_topic_partition_list_new(partitions);
  for (int p = 0; p < partitions; ++p) {
    rd_kafka_topic_partition_list_add(parts, topic, p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  }
  rd_kafka_assign(rk, parts);
  rd_kafka_topic_partition_list_destroy(parts);
  long long n = 0;
  int at_end = 0;
  int idle = 0;
  while (at_end < partitions && idle < 100) {
    rd_kafka_message_t* m = rd_kafka_consumer_poll(rk, 100);
    if (m == nullptr) {
      ++idle;
      continue;
    }
    idle = 0;
    if (m->err == RD_KAFKA_RESP_ERR__PARTITION_EOF) {
      ++at_end;
    } else if (m->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
      ++n;
      size_t len = m->len;
      const char* v = static_cast<const char*>(m->payload);
      if (len > 0 && v[len - 1] == '\n') {
        --len;
      }
      printf("%d %.*s\t%.*s\n", static_cast<int>(m->partition),
             static_cast<int>(m->key_len),
             m->key != nullptr ? static_cast<const char*>(m->key) : "",
             static_cast<int>(len), v != nullptr ? v : "");
    }
    rd_kafka_message_destroy(m);
  }
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  if (at_end < partitions) {
    printf("error the topic was not read to its end\n");
    return -1;
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: kafka_mock BROKERS TOPIC [PARTITIONS]\n");
    return 2;
  }
  const int brokers = atoi(argv[1]);
  const char* topic = argv[2];
  const int partitions = argc > 3 ? atoi(argv[3]) : 1;
  if (brokers < 1 || brokers > 9 || partitions < 1) {
    fprintf(stderr, "kafka_mock: 1 to 9 brokers, at least one partition\n");
    return 2;
  }
  char errstr[512];
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  // The cluster's own handle: it serves the mock brokers' threads only.
  rd_kafka_conf_set(conf, "log_level", "0", errstr, sizeof errstr);
  rd_kafka_t* host =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof errstr);
  if (host == nullptr) {
    fprintf(stderr, "kafka_mock: %s\n", errstr);
    return 1;
  }
  rd_kafka_mock_cluster_t* cluster = rd_kafka_mock_cluster_new(host, brokers);
  if (cluster == nullptr ||
      rd_kafka_mock_topic_create(cluster, topic, partitions, brokers) !=
          RD_KAFKA_RESP_ERR_NO_ERROR) {
    fprintf(stderr, "kafka_mock: cannot make the cluster\n");
    return 1;
  }
  const std::string bootstraps = rd_kafka_mock_cluster_bootstraps(cluster);
  printf("%s\n", bootstraps.c_str());
  fflush(stdout);
  char line[256];
  while (fgets(line, sizeof line, stdin) != nullptr) {
    char verb[16] = "";
    int n = 0;
    const int got = sscanf(line, "%15s %d", verb, &n);
    if (got < 1) {
      continue;
    }
    if (strcmp(verb, "quit") == 0) {
      break;
    }
    if ((strcmp(verb, "down") == 0 || strcmp(verb, "up") == 0) && got == 2) {
      const rd_kafka_resp_err_t e =
          verb[0] == 'd' ? rd_kafka_mock_broker_set_down(cluster, n)
                         : rd_kafka_mock_broker_set_up(cluster, n);
      if (e == RD_KAFKA_RESP_ERR_NO_ERROR) {
        printf("ok\n");
      } else {
        printf("error %s\n", rd_kafka_err2str(e));
      }
    } else if (strcmp(verb, "rtt") == 0 && got == 2) {
      rd_kafka_resp_err_t e = RD_KAFKA_RESP_ERR_NO_ERROR;
      for (int b = 1; b <= brokers && e == RD_KAFKA_RESP_ERR_NO_ERROR; ++b) {
        e = rd_kafka_mock_broker_set_rtt(cluster, b, n);
      }
      if (e == RD_KAFKA_RESP_ERR_NO_ERROR) {
        printf("ok\n");
      } else {
        printf("error %s\n", rd_kafka_err2str(e));
      }
    } else if (strcmp(verb, "refuse") == 0 || strcmp(verb, "accept") == 0) {
      rd_kafka_mock_topic_set_error(
          cluster, topic,
          verb[0] == 'r' ? RD_KAFKA_RESP_ERR_TOPIC_AUTHORIZATION_FAILED
                         : RD_KAFKA_RESP_ERR_NO_ERROR);
      printf("ok\n");
    } else if (strcmp(verb, "fence") == 0) {
      // The next producer id asked for is refused as a fatal error of the
      // idempotent producer would have it (22: InitProducerId).
      rd_kafka_mock_push_request_errors(
          cluster, 22, 1, RD_KAFKA_RESP_ERR_CLUSTER_AUTHORIZATION_FAILED);
      printf("ok\n");
    } else if (strcmp(verb, "count") == 0) {
      const long long count = EndOffsets(bootstraps.c_str(), topic, partitions);
      if (count >= 0) {
        printf("count %lld\n", count);
      }
    } else if (strcmp(verb, "dump") == 0) {
      const long long count = ReadTopic(bootstraps.c_str(), topic, partitions);
      if (count >= 0) {
        printf("end %lld\n", count);
      }
    } else {
      printf("error unknown command\n");
    }
    fflush(stdout);
  }
  rd_kafka_mock_cluster_destroy(cluster);
  rd_kafka_destroy(host);
  return 0;
}
