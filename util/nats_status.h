// The text of a nats.c status, for the agent's traces and qorctl's
// messages alike. Header only: the util library itself does not link the
// client, the programs that include this do.
#ifndef QOR_UTIL_NATS_STATUS_H_
#define QOR_UTIL_NATS_STATUS_H_

#include <nats/nats.h>
#include <string.h>

#include <string>

// The library's text for a status, with its last error's detail when it
// says more than the status's own text (it often repeats it behind a
// source position).
inline std::string NatsStatusText(natsStatus s) {
  std::string text = natsStatus_GetText(s);
  natsStatus last = NATS_OK;
  const char* detail = nats_GetLastError(&last);
  if (detail != nullptr && *detail != '\0' && last == s &&
      strstr(detail, natsStatus_GetText(s)) == nullptr) {
    text += std::string(" (") + detail + ")";
  }
  return text;
}

#endif  // QOR_UTIL_NATS_STATUS_H_
