// Event outputs: files, standard output and the syslog socket, and the
// parsing of the outputs list.
#include "framework/events/event_output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "framework/fleet/alertmanager_output.h"
#include "framework/fleet/fleet_output.h"
#include "framework/runtime/trace.h"
#include "util/append_file.h"
#include "util/errno_text.h"
#include "util/monotonic_ms.h"
#include "util/parent_dirs.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

// Most bytes of events joined for one write.
constexpr size_t kJoinedBytes = 64 * 1024;

std::string ErrnoString(int e) {
  char buf[128];
  return ErrnoText(e, buf, sizeof buf);
}

// Standard output, or a file appended to.
class Fd_Output : public Event_Output {
 public:
  // Standard output.
  Fd_Output() : Event_Output("standard output"), fd_(STDOUT_FILENO) {}
  // A file, opened by Open().
  explicit Fd_Output(const std::string& path)
      : Event_Output(path), path_(path) {}
  ~Fd_Output() override {
    if (!path_.empty()) {
      own_.reset();
    }
  }

  bool Open(std::string* err) {
    if (!MakeParentDirectories(path_, "event file", err)) {
      return false;
    }
    Unique_Fd fd = OpenAppendFd(path_.c_str(), "event file", err);
    struct stat st;
    if (!fd.valid()) {
      return false;
    }
    if (fstat(fd.get(), &st) != 0) {
      *err = "cannot open event file " + path_ + ": " + ErrnoString(errno);
      return false;
    }
    own_ = std::move(fd);
    fd_ = own_.get();
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    next_check_ms_ = MonotonicMs() + kCheckEveryMs;
    return true;
  }

  bool Put(const std::string&, const std::string& line,
           std::string* why) override {
    return PutText(line, why);
  }

  // The lines that fit in 64 KiB, written straight from the batch.
  size_t PutLines(const Event_Batch& batch, size_t first, bool* kept,
                  std::string* why) override {
    size_t end = first + 1;
    while (end < batch.size() &&
           batch.Lines(first, end + 1).size() <= kJoinedBytes) {
      ++end;
    }
    *kept = PutText(batch.Lines(first, end), why);
    return end - first;
  }

  bool TakesJoinedLines() const override { return true; }

  bool Durable() const override { return !path_.empty(); }

  void Reopen() override {
    if (path_.empty()) {
      return;
    }
    std::string err;
    if (!Open(&err)) {
      // The open file, if any, keeps receiving events: better late than lost.
      WEX1_TRACE(wex1, WEX1_ERROR, "\n%s", err.c_str());
      return;
    }
    WEX1_TRACE(wex1, WEX1_FLOW, "\nEvent file %s reopened.", path_.c_str());
  }

 private:
  bool PutText(std::string_view line, std::string* why) {
    if (!path_.empty() && MonotonicMs() >= next_check_ms_) {
      next_check_ms_ = MonotonicMs() + kCheckEveryMs;
      if (RotatedAway()) {
        Reopen();
      }
    }
    if (fd_ < 0) {
      *why = "the event file " + path_ + " is not open";
      return false;
    }
    if (!WriteWholeLine(fd_, line, why)) {
      return false;
    }
    // A file deleted before or while it was written took the events with
    // it: they are written again to a new file at the path, and only what
    // reached the file at its path counts as written.
    struct stat st;
    if (path_.empty() || fstat(fd_, &st) != 0 || st.st_nlink != 0) {
      return true;
    }
    std::string err;
    if (!Open(&err)) {
      *why = "the event file was deleted and " + err;
      return false;
    }
    WEX1_TRACE(wex1, WEX1_FLOW, "\nEvent file %s was deleted; created again.",
               path_.c_str());
    return WriteWholeLine(fd_, line, why);
  }

  // A rotated file is checked for at most this often, not per event.
  static constexpr long long kCheckEveryMs = 1000;

  // True when the path no longer names the open file (moved or deleted).
  bool RotatedAway() const {
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) {
      return errno == ENOENT;
    }
    return st.st_dev != dev_ || st.st_ino != ino_;
  }

  std::string path_;  // empty: standard output
  Unique_Fd own_;
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  long long next_check_ms_ = 0;
};

struct Facility {
  const char* name;
  int code;
};
const Facility kFacilities[] = {
    {"kern", 0},    {"user", 1},    {"mail", 2},      {"daemon", 3},
    {"auth", 4},    {"syslog", 5},  {"lpr", 6},       {"news", 7},
    {"uucp", 8},    {"cron", 9},    {"authpriv", 10}, {"ftp", 11},
    {"local0", 16}, {"local1", 17}, {"local2", 18},   {"local3", 19},
    {"local4", 20}, {"local5", 21}, {"local6", 22},   {"local7", 23},
};
constexpr int kSeverityNotice = 5;

// Messages on the local syslog socket (a datagram socket), never blocking.
class Syslog_Output : public Event_Output {
 public:
  Syslog_Output(int facility, std::string socket_path)
      : Event_Output("syslog"),
        facility_(facility),
        path_(std::move(socket_path)) {}

  bool Put(const std::string&, const std::string& line,
           std::string* why) override {
    msg_ = EventSyslogMessage(facility_ * 8 + kSeverityNotice, time(nullptr),
                              getpid(), line);
    long long deadline = -1;
    for (int attempt = 0;; ++attempt) {
      // Connected, as syslog() does: a full queue of the daemon then shows
      // in poll, and a daemon that started anew is found again.
      if (!fd_.valid() && !Connect(why)) {
        return false;
      }
      const ssize_t n = send(fd_.get(), msg_.data(), msg_.size(), MSG_NOSIGNAL);
      if (n >= 0) {
        behind_ = false;
        return true;
      }
      const int e = errno;
      if (e == EINTR) {
        continue;
      }
      if ((e == ECONNREFUSED || e == ENOTCONN) && attempt == 0) {
        fd_.reset();
        continue;
      }
      if ((e == EAGAIN || e == ENOBUFS) && !behind_) {
        // The daemon is behind: wait for room a little, as the file waits
        // for a slow disk, then give up; while it stays behind the events
        // fail at once, and this output's own queue takes the strain.
        const long long now = MonotonicMs();
        if (deadline < 0) {
          deadline = now + 1000;
        }
        struct pollfd p = {fd_.get(), POLLOUT, 0};
        if (now < deadline &&
            poll(&p, 1, static_cast<int>(deadline - now)) > 0) {
          continue;
        }
        behind_ = true;
      }
      *why =
          "cannot send to the syslog socket " + path_ + ": " + ErrnoString(e);
      return false;
    }
  }

 private:
  bool Connect(std::string* why) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) {
      *why = "syslog socket path " + path_ + " is too long";
      return false;
    }
    memcpy(addr.sun_path, path_.data(), path_.size());
    Unique_Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
      *why = "cannot create a socket for syslog: " + ErrnoString(errno);
      return false;
    }
    if (connect(fd.get(), reinterpret_cast<const struct sockaddr*>(&addr),
                sizeof addr) != 0) {
      *why = "cannot send to the syslog socket " + path_ + ": " +
             ErrnoString(errno);
      return false;
    }
    fd_ = std::move(fd);
    return true;
  }

  int facility_;
  std::string path_;
  Unique_Fd fd_;
  std::string msg_;      // the message being sent
  bool behind_ = false;  // the last send found no room within a second
};

bool MakeSyslog(const std::string& item,
                std::vector<std::unique_ptr<Event_Output>>* outputs,
                std::string* err) {
  int facility = 16;  // local0
  if (item.size() > 6) {
    const std::string name = item.substr(7);
    facility = -1;
    for (const Facility& f : kFacilities) {
      if (name == f.name) {
        facility = f.code;
      }
    }
    if (facility < 0) {
      *err =
          "unknown syslog facility \"" + name +
          "\" in HOV_EVENTS; expected user, daemon, auth, authpriv, local0 ... local7 or "
          "another facility name";
      return false;
    }
  }
  outputs->push_back(
      std::make_unique<Syslog_Output>(facility, EventSyslogSocket()));
  return true;
}

}  // namespace

std::string EventSyslogSocket() {
  const char* s = getenv("HOV_SYSLOG_SOCKET");
  return s != nullptr && *s != '\0' ? s : "/dev/log";
}

std::string EventSyslogMessage(int priority, time_t when, pid_t pid,
                               const std::string& line) {
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm tm;
  localtime_r(&when, &tm);
  char head[96];
  snprintf(head, sizeof head,
           "<%d>%s %2d %02d:%02d:%02d qoragent[%ld]: ", priority,
           kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min,
           tm.tm_sec, static_cast<long>(pid));
  std::string msg = head;
  msg.append(
      line, 0,
      !line.empty() && line.back() == '\n' ? line.size() - 1 : line.size());
  return msg;
}

std::vector<std::string> EventOutputItems(const char* spec) {
  std::vector<std::string> items;
  const std::string text = spec != nullptr ? spec : "";
  size_t at = 0;
  do {
    size_t comma = text.find(',', at);
    // A fleet sink's servers are separated by commas too: its item ends
    // with the comma after its "/TOPIC" or "/SUBJECT".
    // An OTLP URL names one host: it ends at the first comma.
    if (IsFleetSinkUrl(text.substr(at, 8)) &&
        text.compare(at, 5, "otlp+") != 0) {
      const size_t slash = text.find('/', text.find("//", at) + 2);
      comma = slash == std::string::npos ? std::string::npos
                                         : text.find(',', slash);
    }
    items.push_back(text.substr(
        at, comma == std::string::npos ? std::string::npos : comma - at));
    at = comma == std::string::npos ? std::string::npos : comma + 1;
  } while (at != std::string::npos);
  return items;
}

bool MakeEventOutputs(const char* spec,
                      std::vector<std::unique_ptr<Event_Output>>* outputs,
                      std::string* err, const Delivery_Window_Limits* limits) {
  outputs->clear();
  const std::string text = spec != nullptr ? spec : "";
  for (const std::string& item : EventOutputItems(spec)) {
    if (IsFleetSinkUrl(item)) {
      Delivery_Window_Limits defaults;
      std::unique_ptr<Event_Output> fleet;
      if (!MakeFleetOutput(item, limits != nullptr ? *limits : defaults, &fleet,
                           err)) {
        return false;
      }
      outputs->push_back(std::move(fleet));
    } else if (item.empty() && text.empty()) {
      outputs->push_back(std::make_unique<Fd_Output>());
    } else if (item.empty()) {
      *err = "empty item in HOV_EVENTS \"" + text +
             "\"; expected FILE, -, syslog, syslog:FACILITY, kafka://, "
             "nats:// or tls:// separated by commas";
      return false;
    } else if (item == "-") {
      outputs->push_back(std::make_unique<Fd_Output>());
    } else if (item == "syslog" || item.compare(0, 7, "syslog:") == 0) {
      if (!MakeSyslog(item, outputs, err)) {
        return false;
      }
    } else {
      auto file = std::make_unique<Fd_Output>(item);
      if (!file->Open(err)) {
        return false;
      }
      outputs->push_back(std::move(file));
    }
  }
  // Alerts to Alertmanager (HOV_ALERTMANAGER) ride beside the event outputs.
  return MakeAlertmanagerOutputs(outputs, err);
}

size_t Event_Output::PutLines(const Event_Batch& batch, size_t first,
                              bool* kept, std::string* why) {
  size_t end = first + 1;
  if (TakesJoinedLines()) {
    while (end < batch.size() &&
           batch.Lines(first, end + 1).size() <= kJoinedBytes) {
      ++end;
    }
  }
  *kept = Put(std::string(batch.Situation(first)),
              std::string(batch.Lines(first, end)), why);
  return end - first;
}

size_t Event_Output::PutNumberedLines(const Event_Batch& batch, size_t first,
                                      uint64_t sequence, bool* kept,
                                      std::string* why) {
  *kept = PutNumbered(sequence, std::string(batch.Situation(first)),
                      std::string(batch.Line(first)), why);
  return 1;
}

bool WriteWholeLine(int fd, std::string_view data, std::string* why) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    const int e = n < 0 ? errno : ENOSPC;
    if (e == EINTR) {
      continue;
    }
    if (e == EAGAIN || e == EWOULDBLOCK) {
      struct pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, -1);
      continue;
    }
    *why = ErrnoString(e);
    struct stat st;
    if (done > 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      // Appending: the part written is the file's end. Cut it off.
      const off_t end = lseek(fd, 0, SEEK_END);
      if (end < 0 || ftruncate(fd, end - static_cast<off_t>(done)) != 0) {
        *why +=
            "; the partial line could not be removed: " + ErrnoString(errno);
      }
    }
    return false;
  }
  return true;
}

namespace {

// `when` in the form of Rfc3339Local, `tm` being its local time.
std::string Rfc3339Text(const struct tm& tm, int millis) {
  char date[32];
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
  const long off = tm.tm_gmtoff;
  const long mag = off < 0 ? -off : off;
  char out[64];
  if (millis >= 0) {
    snprintf(out, sizeof out, "%s.%03d%c%02ld:%02ld", date, millis,
             off < 0 ? '-' : '+', mag / 3600, mag / 60 % 60);
  } else {
    snprintf(out, sizeof out, "%s%c%02ld:%02ld", date, off < 0 ? '-' : '+',
             mag / 3600, mag / 60 % 60);
  }
  return out;
}

}  // namespace

std::string Rfc3339Local(time_t when, int millis) {
  struct tm tm;
  localtime_r(&when, &tm);
  return Rfc3339Text(tm, millis);
}

namespace {

// StampToRfc3339 of the first 13 characters of `s` (to the second), without
// milliseconds.
std::string StampSecondToRfc3339(const char* s) {
  for (size_t i = 0; i < 13; ++i) {
    if (s[i] < '0' || s[i] > '9') {
      return "";
    }
  }
  const auto num = [s](size_t at, size_t len) {
    int v = 0;
    for (size_t i = at; i < at + len; ++i) {
      v = v * 10 + (s[i] - '0');
    }
    return v;
  };
  struct tm tm {};
  tm.tm_year = num(0, 3);
  tm.tm_mon = num(3, 2) - 1;
  tm.tm_mday = num(5, 2);
  tm.tm_hour = num(7, 2);
  tm.tm_min = num(9, 2);
  tm.tm_sec = num(11, 2);
  tm.tm_isdst = -1;
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 ||
      tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60) {
    return "";
  }
  // Every event converts its entry time, and mktime looks at the zone file
  // on each call (a system call). The start of the hour is kept per thread;
  // a time whose local clock does not come out as written (a change of the
  // offset within the hour, a leap second) goes through mktime.
  thread_local char hour_stamp[9];
  thread_local time_t hour_start = -1;
  struct tm local;
  if (hour_start != -1 && memcmp(hour_stamp, s, sizeof hour_stamp) == 0) {
    const time_t when = hour_start + tm.tm_min * 60 + tm.tm_sec;
    if (localtime_r(&when, &local) != nullptr && local.tm_hour == tm.tm_hour &&
        local.tm_min == tm.tm_min && local.tm_sec == tm.tm_sec) {
      return Rfc3339Text(local, -1);
    }
  }
  const int minute = tm.tm_min;
  const int second = tm.tm_sec;
  const time_t when = mktime(&tm);
  if (when == static_cast<time_t>(-1) ||
      localtime_r(&when, &local) == nullptr) {
    return "";
  }
  memcpy(hour_stamp, s, sizeof hour_stamp);
  hour_start = when - minute * 60 - second;
  return Rfc3339Text(local, -1);
}

}  // namespace

std::string StampToRfc3339(const char* s, size_t length) {
  std::string out;
  StampToRfc3339(s, length, &out);
  return out;
}

void StampToRfc3339(const char* s, size_t length, std::string* out) {
  out->clear();
  if (length < 13) {
    return;
  }
  // The last three digits are milliseconds where the source has them.
  int millis = -1;
  if (length >= 16 && s[13] >= '0' && s[13] <= '9' && s[14] >= '0' &&
      s[14] <= '9' && s[15] >= '0' && s[15] <= '9') {
    millis = (s[13] - '0') * 100 + (s[14] - '0') * 10 + (s[15] - '0');
    millis = millis == 0 ? -1 : millis;
  }
  // The entries of a burst mostly share their second: its text is kept per
  // thread, with the zone it was made in (as tzset() last set it: zones
  // differ in their names or their offset), and only the milliseconds are
  // put in.
  struct Zone {
    const char* standard;
    const char* summer;
    long west;
    bool operator!=(const Zone& z) const {
      return standard != z.standard || summer != z.summer || west != z.west;
    }
  };
  thread_local char second_stamp[13];
  thread_local std::string second_text;
  thread_local Zone second_zone{};
  const Zone zone{tzname[0], tzname[1], timezone};
  if (second_text.empty() || zone != second_zone ||
      memcmp(second_stamp, s, sizeof second_stamp) != 0) {
    std::string text = StampSecondToRfc3339(s);
    if (text.empty()) {
      return;
    }
    memcpy(second_stamp, s, sizeof second_stamp);
    second_text = std::move(text);
    // Read again: the conversion may have set the zone up for the first time.
    second_zone = Zone{tzname[0], tzname[1], timezone};
  }
  if (millis < 0) {
    *out = second_text;
    return;
  }
  // "YYYY-MM-DDThh:mm:ss" then the offset.
  constexpr size_t kSeconds = 19;
  out->reserve(second_text.size() + 4);
  out->append(second_text, 0, kSeconds);
  const char fraction[4] = {'.', static_cast<char>('0' + millis / 100),
                            static_cast<char>('0' + millis / 10 % 10),
                            static_cast<char>('0' + millis % 10)};
  out->append(fraction, sizeof fraction);
  out->append(second_text, kSeconds, std::string::npos);
}
