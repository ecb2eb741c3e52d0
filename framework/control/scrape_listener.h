// The HTTP listener of the metrics endpoint: one thread polls the listening
// socket and every connection, so that no client, however slow, holds up
// another's scrape; each request head must arrive whole within a deadline.
#ifndef QOR_FRAMEWORK_CONTROL_SCRAPE_LISTENER_H_
#define QOR_FRAMEWORK_CONTROL_SCRAPE_LISTENER_H_

#include <pthread.h>

#include <functional>
#include <string>

#include "util/unique_fd.h"

// Milliseconds a client has to send its whole request head.
constexpr long long SCRAPEHEADMS = 2000;
// Milliseconds a client has to take the whole answer.
constexpr long long SCRAPEWRITEMS = 10000;
// Connections served at once; one more is closed as soon as it is taken.
constexpr size_t SCRAPECONNECTIONS = 256;
// Bytes a request head may hold.
constexpr size_t SCRAPEHEADBYTES = 8192;

class Scrape_Listener {
 public:
  // Answers a request for `path` (GET or HEAD; the query dropped): the
  // status (404 for an unknown path), the content type and the body.
  using Handler = std::function<void(const std::string& path, int* status,
                                     std::string* type, std::string* body)>;

  Scrape_Listener() = default;
  ~Scrape_Listener() { Stop(); }
  Scrape_Listener(const Scrape_Listener&) = delete;
  Scrape_Listener& operator=(const Scrape_Listener&) = delete;

  // Listens on the numeric `address` (IPv6 when `v6`) and `port` and starts
  // the thread: false with *err saying why it cannot.
  bool Start(const std::string& address, bool v6, int port, Handler handler,
             std::string* err);
  // Stops the thread at once and closes every connection. Idempotent.
  void Stop();

 private:
  static void* Run(void* self);
  void Loop();

  Handler handler_;
  Unique_Fd listen_;
  Unique_Fd stop_;
  pthread_t thread_ = {};
  bool started_ = false;
};

#endif  // QOR_FRAMEWORK_CONTROL_SCRAPE_LISTENER_H_
