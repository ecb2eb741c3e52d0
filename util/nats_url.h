// NATS addresses as the agent and qorctl take them from the environment or
// the command line:
//
//   nats://HOST:PORT[,HOST:PORT...]/NAME      plain connections
//   tls://HOST:PORT[,HOST:PORT...]/NAME       TLS to every server
//
// NAME is a subject prefix (HOV_FLEET) or a stream name (the event sink):
// dot-separated tokens of letters, digits, '_' and '-'. A user or password in
// the address is refused: secrets belong in the credentials file
// (HOV_NATS_CREDS), never in a text that reaches a trace or a process list.
//
// Plain text helpers, no connection: shared by the runtime (which connects
// with them, framework/fleet/nats_connection.h) and by qorctl.
#ifndef QOR_UTIL_NATS_URL_H_
#define QOR_UTIL_NATS_URL_H_

#include <string>
#include <vector>

struct Nats_Url {
  bool tls = false;
  std::vector<std::string>
      servers;       // "nats://HOST:PORT" or "tls://HOST:PORT", in order
  std::string name;  // the part after the servers' "/"
};

// Parses `text`. False with *err saying what was expected.
[[nodiscard]] bool ParseNatsUrl(const std::string& text, Nats_Url* url,
                                std::string* err);

// The one subject token (and key-value key) that stands for a host name:
// every byte other than a letter, a digit, '_' or '-' (the dots of a domain
// name, the ':' of a system name) becomes '_'; an empty name becomes "_".
std::string NatsHostToken(const std::string& host);

#endif  // QOR_UTIL_NATS_URL_H_
