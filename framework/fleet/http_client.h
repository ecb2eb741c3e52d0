// An HTTP client for outputs that post to a receiver (OTLP, alert
// managers): libcurl's multi interface on a thread of its own, several
// requests in flight on kept-alive connections, TLS by libcurl.
#ifndef QOR_FRAMEWORK_FLEET_HTTP_CLIENT_H_
#define QOR_FRAMEWORK_FLEET_HTTP_CLIENT_H_

#include <pthread.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "util/posix_mutex.h"

// One POST and what came of it.
struct Http_Exchange {
  std::string url;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
  size_t body_from = 0;       // the bytes posted: `body` from here on
  std::shared_ptr<void> tag;  // the caller's
  // The answer: `status` 0 when none came (`error` says why).
  long status = 0;
  std::string answer;       // its body, the first 64 KiB
  long retry_after_s = -1;  // its Retry-After, in seconds; -1: none
  std::string error;
};

class Http_Client {
 public:
  struct Options {
    std::string ca_file;  // empty: the system's
    int connections = 4;  // kept-alive connections to the host at most
    long connect_timeout_ms = 5000;
    long timeout_ms = 30000;  // a whole exchange
  };
  // `done` is called on the client's thread with each exchange once it is
  // answered or failed; `tick` there at least every 100 ms.
  Http_Client(Options options,
              std::function<void(std::unique_ptr<Http_Exchange>)> done,
              std::function<void()> tick);
  ~Http_Client();  // stops the thread; exchanges in flight are dropped
  Http_Client(const Http_Client&) = delete;
  Http_Client& operator=(const Http_Client&) = delete;

  // Starts the thread. False with *err.
  bool Start(std::string* err);
  // Queues `x` to be sent. Any thread.
  void Submit(std::unique_ptr<Http_Exchange> x);
  // Has the client's thread call `tick` soon. Any thread.
  void Wake();

 private:
  static void* Main(void* self);
  void Loop();

  const Options options_;
  std::function<void(std::unique_ptr<Http_Exchange>)> done_;
  std::function<void()> tick_;
  void* multi_ = nullptr;  // CURLM
  pthread_t thread_{};
  bool started_ = false;
  std::atomic<bool> stop_{false};
  Posix_Mutex mu_;
  std::vector<std::unique_ptr<Http_Exchange>> queued_ GUARDED_BY(mu_);
};

#endif  // QOR_FRAMEWORK_FLEET_HTTP_CLIENT_H_
