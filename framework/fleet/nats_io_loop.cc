// The socket thread of one NATS connection, through the library's external
// event loop.
#include "framework/fleet/nats_io_loop.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "framework/runtime/trace.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {
constexpr useconds_t kPollRetryUs = 100000;
}  // namespace

bool Nats_Io_Loop::Start(std::string* err) {
  wake_fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_fd_.valid()) {
    *err = "cannot make the NATS connection's wake-up descriptor";
    return false;
  }
  if (pthread_create(&thread_, nullptr, Main, this) != 0) {
    *err = "cannot start the NATS connection's thread";
    return false;
  }
  started_ = true;
  return true;
}

void Nats_Io_Loop::Stop() {
  if (!started_) {
    return;
  }
  {
    Posix_Mutex::Hold g(&mu_);
    stop_ = true;
  }
  Wake();
  pthread_join(thread_, nullptr);
  started_ = false;
}

natsStatus Nats_Io_Loop::Configure(natsOptions* opts) {
  natsStatus s =
      natsOptions_SetEventLoop(opts, this, Attach, Read, Write, Detach);
  if (s == NATS_OK) {
    // A wish to write reaches Write at once: no flushing thread.
    s = natsOptions_SetSendAsap(opts, true);
  }
  return s;
}

void Nats_Io_Loop::BeginBatch() {
  Posix_Mutex::Hold g(&mu_);
  batching_ = true;
}

void Nats_Io_Loop::EndBatch() {
  bool wake;
  {
    Posix_Mutex::Hold g(&mu_);
    batching_ = false;
    wake = wake_after_batch_;
    wake_after_batch_ = false;
  }
  if (wake) {
    Wake();
  }
}

void* Nats_Io_Loop::Main(void* self) {
  pthread_setname_np(pthread_self(), "qor-nats-io");
  static_cast<Nats_Io_Loop*>(self)->Run();
  return nullptr;
}

void Nats_Io_Loop::Wake() {
  const uint64_t one = 1;
  // A full counter already wakes the thread.
  (void)!write(wake_fd_.get(), &one, sizeof one);
}

void Nats_Io_Loop::Run() {
  while (true) {
    int fd;
    short events = 0;
    {
      Posix_Mutex::Hold g(&mu_);
      if (stop_) {
        return;
      }
      fd = fd_;
      events =
          static_cast<short>((read_ ? POLLIN : 0) | (write_ ? POLLOUT : 0));
    }
    struct pollfd p[2] = {{wake_fd_.get(), POLLIN, 0}, {fd, events, 0}};
    const nfds_t n = fd >= 0 && events != 0 ? 2 : 1;
    if (poll(p, n, -1) < 0) {
      if (errno != EINTR) {
        // Only a lack of kernel memory makes poll fail here: tried again,
        // for the connection has no other reader.
        WEX1_TRACE(wex1, WEX1_ERROR,
                   "\nNATS connection's poll failed (errno %d); trying again.",
                   errno);
        usleep(kPollRetryUs);
      }
      continue;
    }
    if ((p[0].revents & POLLIN) != 0) {
      uint64_t count;
      (void)!read(wake_fd_.get(), &count, sizeof count);
    }
    if (n < 2 || p[1].revents == 0) {
      continue;
    }
    // What was asked may have changed while the thread waited (the socket
    // closed for a reconnection): only what is still wanted is done.
    natsConnection* nc;
    bool read_now;
    bool write_now;
    {
      Posix_Mutex::Hold g(&mu_);
      nc = nc_;
      read_now = fd_ == fd && read_ &&
                 (p[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      write_now = fd_ == fd && write_ &&
                  (p[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    }
    if (read_now) {
      natsConnection_ProcessReadEvent(nc);
      after_read_(closure_);
    }
    if (write_now) {
      natsConnection_ProcessWriteEvent(nc);
    }
  }
}

natsStatus Nats_Io_Loop::Attach(void** data, void* loop, natsConnection* nc,
                                natsSock socket) {
  auto* self = static_cast<Nats_Io_Loop*>(loop);
  {
    Posix_Mutex::Hold g(&self->mu_);
    self->nc_ = nc;
    self->fd_ = socket;
    self->read_ = true;
    self->write_ = false;
  }
  *data = self;
  self->Wake();
  return NATS_OK;
}

natsStatus Nats_Io_Loop::Read(void* data, bool add) {
  auto* self = static_cast<Nats_Io_Loop*>(data);
  {
    Posix_Mutex::Hold g(&self->mu_);
    self->read_ = add;
  }
  self->Wake();
  return NATS_OK;
}

natsStatus Nats_Io_Loop::Write(void* data, bool add) {
  auto* self = static_cast<Nats_Io_Loop*>(data);
  bool wake = false;
  {
    Posix_Mutex::Hold g(&self->mu_);
    self->write_ = add;
    if (add && self->batching_) {
      self->wake_after_batch_ = true;
    } else {
      // Taking the wish back (from the thread itself, once all is written)
      // needs no wake-up: the thread looks again before it waits.
      wake = add;
    }
  }
  if (wake) {
    self->Wake();
  }
  return NATS_OK;
}

natsStatus Nats_Io_Loop::Detach(void* data) {
  auto* self = static_cast<Nats_Io_Loop*>(data);
  {
    Posix_Mutex::Hold g(&self->mu_);
    self->nc_ = nullptr;
    self->fd_ = -1;
    self->read_ = false;
    self->write_ = false;
  }
  self->Wake();
  return NATS_OK;
}
