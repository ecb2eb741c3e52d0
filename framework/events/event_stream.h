// Live event streams: control clients that asked for EVENTS receive every
// event line (of the situations they named, or of all) as it happens. A
// client that does not read never holds anything up: past
// EVENT_STREAM_UNREAD_MAX bytes unread its further events are dropped, and
// one {"dropped":N} line tells it so as soon as it has read what came
// before, whether or not another event follows.
// Thread-safe.
#ifndef QOR_FRAMEWORK_EVENTS_EVENT_STREAM_H_
#define QOR_FRAMEWORK_EVENTS_EVENT_STREAM_H_

#include <stddef.h>

#include <string>
#include <vector>

constexpr int EVENT_STREAMS_MAX = 16;
constexpr size_t EVENT_STREAM_UNREAD_MAX = 1 << 20;

class Event_Streams {
 public:
  // Hands one event line (ending in "\n") of `situation` to every stream
  // that follows it.
  static void Publish(const std::string& situation, const std::string& line);
  // Whether any stream is served now (Publish is then worth a line).
  static bool Active();
  // Serves one EVENTS client on the non-blocking socket `fd`: "OK stream",
  // then the events of `names` (empty: all) until the client goes away or
  // `stop_fd` becomes readable. False with *err, nothing sent, when
  // EVENT_STREAMS_MAX streams are served already.
  static bool Serve(int fd, int stop_fd, const std::vector<std::string>& names,
                    std::string* err);
};

#endif  // QOR_FRAMEWORK_EVENTS_EVENT_STREAM_H_
