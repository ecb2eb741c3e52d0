// Live event streams to control clients that asked for EVENTS.
#include "framework/events/event_stream.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "framework/runtime/trace.h"
#include "util/posix_mutex.h"
#include "util/process_wide.h"
#include "util/unique_fd.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

struct Stream {
  std::vector<std::string> names;  // empty: every situation
  Unique_Fd wake;  // eventfd: readable when something is pending
  Posix_Mutex mu;
  std::string pending GUARDED_BY(mu);
  size_t unsent GUARDED_BY(mu) = 0;  // pending and what the sender holds
  uint64_t dropped GUARDED_BY(mu) = 0;

  bool Follows(const std::string& situation) const {
    return names.empty() ||
           std::find(names.begin(), names.end(), situation) != names.end();
  }
};

struct Streams_State {
  Posix_Mutex mu;
  std::vector<std::shared_ptr<Stream>> streams GUARDED_BY(mu);
  std::atomic<size_t> count{0};  // streams.size(), read without the lock
};

Streams_State& State() {
  return ProcessWide<Streams_State>();
}

// Tells the client how many events were dropped, once there is room for
// the line: false while there is not.
bool Announce(Stream& s) REQUIRES(s.mu) {
  if (s.dropped == 0) {
    return true;
  }
  char note[48];
  const int n = snprintf(note, sizeof note, "{\"dropped\":%llu}\n",
                         static_cast<unsigned long long>(s.dropped));
  if (s.unsent + static_cast<size_t>(n) > EVENT_STREAM_UNREAD_MAX) {
    return false;
  }
  s.pending.append(note, static_cast<size_t>(n));
  s.unsent += static_cast<size_t>(n);
  s.dropped = 0;
  return true;
}

void Add(Stream& s, const std::string& line) REQUIRES(s.mu) {
  if (s.unsent + line.size() > EVENT_STREAM_UNREAD_MAX || !Announce(s)) {
    ++s.dropped;
    return;
  }
  s.pending += line;
  s.unsent += line.size();
}

// Sends what it can of `out` from `*off`; false when the client went away.
bool SendSome(int fd, const std::string& out, size_t* off) {
  while (*off < out.size()) {
    const ssize_t n = send(fd, out.data() + *off, out.size() - *off,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      *off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

}  // namespace

void Event_Streams::Publish(const std::string& situation,
                            const std::string& line) {
  Streams_State& st = State();
  Posix_Mutex::Hold g(&st.mu);
  for (const auto& s : st.streams) {
    if (!s->Follows(situation)) {
      continue;
    }
    {
      Posix_Mutex::Hold h(&s->mu);
      Add(*s, line);
    }
    const uint64_t one = 1;
    if (write(s->wake.get(), &one, sizeof one) < 0) {
      // The counter is full: the sender is awake anyway.
    }
  }
}

bool Event_Streams::Active() {
  return State().count.load(std::memory_order_acquire) > 0;
}

bool Event_Streams::Serve(int fd, int stop_fd,
                          const std::vector<std::string>& names,
                          std::string* err) {
  auto stream = std::make_shared<Stream>();
  stream->names = names;
  stream->wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stream->wake.valid()) {
    *err = std::string("cannot follow events: ") + strerror(errno);
    return false;
  }
  Streams_State& st = State();
  {
    Posix_Mutex::Hold g(&st.mu);
    if (st.streams.size() >= static_cast<size_t>(EVENT_STREAMS_MAX)) {
      *err = "busy: at most " + std::to_string(EVENT_STREAMS_MAX) +
             " event streams are served at once";
      return false;
    }
    st.streams.push_back(stream);
    st.count.store(st.streams.size(), std::memory_order_release);
    Posix_Mutex::Hold h(&stream->mu);
    stream->pending = "OK stream\n";
    stream->unsent = stream->pending.size();
  }
  WEX1_TRACE(wex1, WEX1_FLOW, "\nEvent stream started (%zu situations named).",
             names.size());
  std::string out;
  size_t off = 0;
  while (true) {
    bool announced = true;
    if (off == out.size()) {
      out.clear();
      off = 0;
      Posix_Mutex::Hold h(&stream->mu);
      // Drops are told once the client has read all that came before, not
      // only with the next event, which may never come; then there is room
      // for the events that follow, so one notice tells one gap.
      announced = !stream->pending.empty() || Announce(*stream);
      out.swap(stream->pending);
    }
    const size_t before = off;
    const bool alive = SendSome(fd, out, &off);
    if (off != before) {
      Posix_Mutex::Hold h(&stream->mu);
      stream->unsent -= off - before;
    }
    if (!alive) {
      break;
    }
    if (off == out.size() && !out.empty()) {
      continue;  // all sent: what is pending next, or the drop notice
    }
    struct pollfd p[3] = {
        {fd, static_cast<short>(off < out.size() ? POLLOUT : 0), 0},
        {stream->wake.get(), POLLIN, 0},
        {stop_fd, POLLIN, 0}};
    // A drop not yet told is looked at again within a second.
    if (poll(p, 3, announced ? -1 : 1000) < 0 && errno != EINTR) {
      break;
    }
    // A client that closed (even in the middle of a line) is let go quietly.
    if (p[2].revents != 0 ||
        (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      break;
    }
    if (p[1].revents != 0) {
      uint64_t count;
      if (read(stream->wake.get(), &count, sizeof count) < 0) {
        // Already drained by a spurious wake: nothing to do.
      }
    }
  }
  {
    Posix_Mutex::Hold g(&st.mu);
    st.streams.erase(std::find(st.streams.begin(), st.streams.end(), stream));
    st.count.store(st.streams.size(), std::memory_order_release);
  }
  WEX1_TRACE(wex1, WEX1_FLOW, "\nEvent stream ended.");
  return true;
}
