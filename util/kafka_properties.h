// Client settings for librdkafka: one property, or a file of key=value
// lines (HOV_KAFKA_PROPERTIES), for the agent's producer and qorctl's
// consumer alike. Header only: the util library itself does not link the
// client, the programs that include this do.
#ifndef QOR_UTIL_KAFKA_PROPERTIES_H_
#define QOR_UTIL_KAFKA_PROPERTIES_H_

#include <librdkafka/rdkafka.h>

#include <string>

#include "util/key_value_file.h"

// Sets one property; false with *err naming it (`where`: "FILE:LINE" or
// the variable) when the client does not know it or refuses its value.
// The value is never quoted: it may be a secret.
inline bool SetKafkaProperty(rd_kafka_conf_t* conf, const std::string& key,
                             const std::string& value, const std::string& where,
                             std::string* err) {
  char errstr[512];
  const rd_kafka_conf_res_t r = rd_kafka_conf_set(
      conf, key.c_str(), value.c_str(), errstr, sizeof errstr);
  if (r == RD_KAFKA_CONF_OK) {
    return true;
  }
  *err = where + ": Kafka property \"" + key + "\" " +
         (r == RD_KAFKA_CONF_UNKNOWN ? std::string("is unknown")
                                     : "has a value the client refuses");
  return false;
}

// Sets every property of the key=value file `path` (the caller has held it
// to the trusted-file rule).
inline bool LoadKafkaProperties(rd_kafka_conf_t* conf, const std::string& path,
                                std::string* err) {
  return ReadKeyValueFile(
      "the Kafka properties file", path,
      [conf](const std::string& key, const std::string& value,
             const std::string& where, std::string* why) {
        return SetKafkaProperty(conf, key, value, where, why);
      },
      err);
}

#endif  // QOR_UTIL_KAFKA_PROPERTIES_H_
