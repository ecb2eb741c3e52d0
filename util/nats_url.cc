// NATS addresses from the environment or the command line.
#include "util/nats_url.h"

#include <ctype.h>
#include <stdlib.h>

namespace {

bool IsTokenByte(char c) {
  return isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
}

// HOST:PORT, HOST a name or address ("[v6]" in brackets), PORT 1-65535.
bool ValidServer(const std::string& hp, std::string* err) {
  const size_t colon = hp.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == hp.size()) {
    *err = "expected HOST:PORT, found \"" + hp + "\"";
    return false;
  }
  const std::string host = hp.substr(0, colon);
  const std::string port = hp.substr(colon + 1);
  const bool bracketed =
      host.front() == '[' && host.back() == ']' && host.size() > 2;
  for (const char c : bracketed ? host.substr(1, host.size() - 2) : host) {
    if (!(IsTokenByte(c) || c == '.' || (bracketed && c == ':'))) {
      *err = "unexpected character in the host of \"" + hp + "\"";
      return false;
    }
  }
  long n = 0;
  for (const char c : port) {
    n = isdigit(static_cast<unsigned char>(c)) != 0 && n <= 65535
            ? n * 10 + (c - '0')
            : 65536;
  }
  if (n < 1 || n > 65535) {
    *err = "expected a port from 1 to 65535 in \"" + hp + "\"";
    return false;
  }
  return true;
}

}  // namespace

bool ParseNatsUrl(const std::string& text, Nats_Url* url, std::string* err) {
  *url = Nats_Url();
  std::string scheme;
  for (const char* s : {"nats://", "tls://"}) {
    if (text.compare(0, std::string(s).size(), s) == 0) {
      scheme = s;
    }
  }
  if (scheme.empty()) {
    *err = "expected nats://HOST:PORT[,HOST:PORT...]/NAME or tls://...";
    return false;
  }
  url->tls = scheme == "tls://";
  const size_t slash = text.find('/', scheme.size());
  if (slash == std::string::npos || slash + 1 == text.size()) {
    *err = "expected /NAME after the servers of " + scheme + "...";
    return false;
  }
  const std::string servers = text.substr(scheme.size(), slash - scheme.size());
  if (servers.find('@') != std::string::npos) {
    *err =
        "a user or password in the address is refused; use a credentials file (HOV_NATS_CREDS)";
    return false;
  }
  size_t from = 0;
  while (true) {
    const size_t comma = servers.find(',', from);
    const std::string hp =
        servers.substr(from, comma == std::string::npos ? comma : comma - from);
    if (!ValidServer(hp, err)) {
      return false;
    }
    url->servers.push_back(scheme + hp);
    if (comma == std::string::npos) {
      break;
    }
    from = comma + 1;
  }
  url->name = text.substr(slash + 1);
  bool token_start = true;
  for (const char c : url->name) {
    if (c == '.' && !token_start) {
      token_start = true;
    } else if (IsTokenByte(c)) {
      token_start = false;
    } else {
      *err =
          "expected NAME of dot-separated words of letters, digits, '_' and '-', found \"" +
          url->name + "\"";
      return false;
    }
  }
  if (token_start) {
    *err = "NAME \"" + url->name + "\" ends with a dot";
    return false;
  }
  return true;
}

std::string NatsHostToken(const std::string& host) {
  std::string out = host.empty() ? "_" : host;
  for (char& c : out) {
    if (!IsTokenByte(c)) {
      c = '_';
    }
  }
  return out;
}
