// The reading and writing of one NATS connection's socket in one thread of
// ours, through the library's external event loop interface, in place of
// its reading thread, its flushing thread and a delivery thread for each
// subscription. After each read the thread calls the owner's `after_read`,
// which takes what arrived from its synchronous subscriptions at once: an
// answer costs no hand-over to another thread.
//
// What is published is appended to the library's buffer and written out
// when the socket takes it. Publications between BeginBatch and EndBatch
// wake the thread once, at EndBatch, so that a batch goes out in few
// writes instead of one write for its first message and one for the rest.
//
// The library calls the callbacks from any of its users' threads, some
// with its connection lock held: they take only this object's lock and
// never call the library. The thread calls the library without that lock.
#ifndef QOR_FRAMEWORK_FLEET_NATS_IO_LOOP_H_
#define QOR_FRAMEWORK_FLEET_NATS_IO_LOOP_H_

#include <nats/nats.h>
#include <pthread.h>

#include <string>

#include "util/posix_mutex.h"
#include "util/thread_annotations.h"
#include "util/unique_fd.h"

class Nats_Io_Loop {
 public:
  using After_Read = void (*)(void* closure);
  Nats_Io_Loop(After_Read after_read, void* closure)
      : after_read_(after_read), closure_(closure) {}
  ~Nats_Io_Loop() { Stop(); }
  Nats_Io_Loop(const Nats_Io_Loop&) = delete;
  Nats_Io_Loop& operator=(const Nats_Io_Loop&) = delete;

  // Starts the thread; false with *err when it cannot.
  [[nodiscard]] bool Start(std::string* err);
  // Ends the thread (after the connection is closed, before it is
  // destroyed). Does nothing when not started.
  void Stop();
  // Has the connection made with `opts` use this loop, and send without a
  // flushing thread.
  natsStatus Configure(natsOptions* opts);

  // Holds the thread's wake-up for a wish to write until EndBatch.
  void BeginBatch();
  void EndBatch();

 private:
  static void* Main(void* self);
  void Run();
  void Wake();
  static natsStatus Attach(void** data, void* loop, natsConnection* nc,
                           natsSock socket);
  static natsStatus Read(void* data, bool add);
  static natsStatus Write(void* data, bool add);
  static natsStatus Detach(void* data);

  const After_Read after_read_;
  void* const closure_;
  Unique_Fd wake_fd_;  // an eventfd
  pthread_t thread_{};
  bool started_ = false;
  Posix_Mutex mu_;
  natsConnection* nc_ GUARDED_BY(mu_) = nullptr;
  int fd_ GUARDED_BY(mu_) = -1;  // the connection's socket, -1: none
  bool read_ GUARDED_BY(mu_) = false;
  bool write_ GUARDED_BY(mu_) = false;
  bool batching_ GUARDED_BY(mu_) = false;
  bool wake_after_batch_ GUARDED_BY(mu_) = false;
  bool stop_ GUARDED_BY(mu_) = false;
};

#endif  // QOR_FRAMEWORK_FLEET_NATS_IO_LOOP_H_
