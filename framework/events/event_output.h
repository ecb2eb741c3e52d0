// The places events are written to: a file (appended, reopened when it was
// rotated away or deleted), standard output, or the local syslog socket.
// Each takes whole JSON lines, one or many at a time, and either writes all
// of those it takes or none of them. An output is used by one thread at a
// time (its writer's).
#ifndef QOR_FRAMEWORK_EVENTS_EVENT_OUTPUT_H_
#define QOR_FRAMEWORK_EVENTS_EVENT_OUTPUT_H_

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/repeat_limiter.h"
#include "util/unique_fd.h"

struct Event_Output_Counts;

// What an output that tells alerts (an Alertmanager's) last told of one
// alert. The identity is JSON text, as the event lines have it.
struct Alert_Told {
  std::string output;     // the output's name ("alertmanager URL")
  std::string situation;  // JSON strings
  std::string key;        // "" when the alert has no key
  std::string host;
  bool resolved = false;  // told resolved, else firing
  long long at_s = 0;  // when last posted (seconds since the epoch); 0: not yet
  const char* outcome = "waiting";  // "ok", "failed", "refused", "waiting"
};
// Events as the sink hands them to the outputs: whole lines, each ending in
// "\n", joined in one text in the order they were published, with the
// situation of each. Built once and shared by every output.
class Event_Batch {
 public:
  // Adds the line `append` writes at the end of the text (it must append
  // exactly one line ending in "\n").
  template <typename Append>
  void Add(std::string_view situation, Append append) {
    if (names_at_.empty() || Situation(names_at_.size() - 1) != situation) {
      last_name_ = static_cast<uint32_t>(names_.size());
      names_.append(situation).push_back('\0');
    }
    append(&text_);
    ends_.push_back(text_.size());
    names_at_.push_back(last_name_);
  }
  size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  size_t Bytes() const { return text_.size(); }
  // Lines [first, end) as one text.
  std::string_view Lines(size_t first, size_t end) const {
    const size_t from = first == 0 ? 0 : ends_[first - 1];
    return std::string_view(text_).substr(from, ends_[end - 1] - from);
  }
  std::string_view Line(size_t i) const { return Lines(i, i + 1); }
  std::string_view Situation(size_t i) const {
    return names_.c_str() + names_at_[i];
  }
  void Reserve(size_t bytes) { text_.reserve(bytes); }

 private:
  std::string text_;
  std::vector<size_t> ends_;        // where each line ends in text_
  std::string names_;               // situation names, each ended by a NUL
  std::vector<uint32_t> names_at_;  // where each line's name starts in names_
  uint32_t last_name_ = 0;
};

class Event_Output {
 public:
  virtual ~Event_Output() = default;
  // Writes `line` (ending in "\n") of situation `situation`; false with
  // *why when nothing of it was kept.
  virtual bool Put(const std::string& situation, const std::string& line,
                   std::string* why) = 0;
  // Whether Put also takes several whole lines joined into one text, kept or
  // lost together (a file: one write for many events).
  virtual bool TakesJoinedLines() const { return false; }
  // Takes lines from `first` on in `batch` (at least one, in order) and
  // writes them: returns how many it took; *kept tells whether all of those
  // were kept (false with *why: none of them). An output that sends many
  // messages at once (a broker's producer) takes as many as it can hand
  // over together. By default one line by Put, or, when TakesJoinedLines,
  // the lines that fit in 64 KiB as one text.
  virtual size_t PutLines(const Event_Batch& batch, size_t first, bool* kept,
                          std::string* why);
  // Opens the file again (after a SIGHUP); outputs without a file ignore it.
  virtual void Reopen() {}
  // Whether what Put accepted is kept (a file): saved log positions wait
  // for a durable output. Standard output and syslog are best effort.
  virtual bool Durable() const { return false; }
  // An output whose engine acknowledges each event later (Kafka,
  // JetStream): PutNumbered hands over the event numbered `sequence` and
  // returns once it is sent (or waits in the delivery window); the output
  // is durable by its acknowledgements, AcknowledgedThrough().
  virtual bool Acknowledges() const { return false; }
  virtual bool PutNumbered(uint64_t /*sequence*/, const std::string& situation,
                           const std::string& line, std::string* why) {
    return Put(situation, line, why);
  }
  // Hands over lines from `first` on in `batch` (at least one, in order),
  // the first numbered `sequence`, the next ones following: returns how
  // many it took; *kept tells whether all of those were sent (false with
  // *why: none of them). By default one line by PutNumbered; a producer
  // that batches takes as many as its delivery window admits.
  virtual size_t PutNumberedLines(const Event_Batch& batch, size_t first,
                                  uint64_t sequence, bool* kept,
                                  std::string* why);
  // Every event handed over with a number up to this is acknowledged
  // (UINT64_MAX: none waits). Any thread.
  virtual uint64_t AcknowledgedThrough() const { return UINT64_MAX; }
  // Ends a wait for room in the delivery window (the sink is closing).
  // Any thread.
  virtual void Stop() {}
  // Adds the engine's side to `counts` (connected, acknowledged...). Any
  // thread.
  virtual void AddFleetCounts(Event_Output_Counts* /*counts*/) const {}
  // An alert that was firing when the agent stopped, restored with the
  // situations' state, as the line of a firing event: an output that keeps
  // alerts (an Alertmanager's) takes it as it takes that event; the others
  // ignore it (its event was written before). Any thread.
  virtual void Restate(const std::string& /*situation*/,
                       const std::string& /*line*/) {}
  // Adds what it last told of each alert it keeps (an Alertmanager's
  // output). Any thread.
  virtual void AddAlertsTold(std::vector<Alert_Told>* /*told*/) const {}
  // Bytes of the events sent and not yet acknowledged. Any thread.
  virtual uint64_t UnacknowledgedBytes() const { return 0; }
  // What the output is, for messages: a path, "standard output", "syslog".
  const std::string& Name() const { return name_; }
  // Reports failures: the first, then at most once a minute with a count.
  Repeat_Limiter& Failures() { return failures_; }

 protected:
  explicit Event_Output(std::string name) : name_(std::move(name)) {}

 private:
  std::string name_;
  Repeat_Limiter failures_;
};

// The items of `spec` as MakeEventOutputs reads them (a fleet sink's
// servers stay in its item); one empty item for a null or empty spec.
std::vector<std::string> EventOutputItems(const char* spec);

// Builds the outputs named by `spec`: comma-separated items, each a file
// path, "-" (standard output), "syslog", "syslog:FACILITY" or a fleet sink
// (kafka://, nats://, tls://; fleet_output.h) with the delivery window
// `limits` (null: the default). Null or empty: standard output. Files are
// opened here. False with *err naming the item that is wrong or cannot be
// opened.
[[nodiscard]] bool MakeEventOutputs(
    const char* spec, std::vector<std::unique_ptr<Event_Output>>* outputs,
    std::string* err, const struct Delivery_Window_Limits* limits = nullptr);

// The syslog socket: HOV_SYSLOG_SOCKET, else /dev/log.
std::string EventSyslogSocket();

// `line` (its "\n" left off) as the local syslog daemon reads a message on
// its socket, in the form the C library's syslog() sends:
// "<PRI>Mmm dd hh:mm:ss qoragent[PID]: line", `when` in local time.
std::string EventSyslogMessage(int priority, time_t when, pid_t pid,
                               const std::string& line);

// Writes all of `data` to `fd`. When only a part could be written to a
// regular file (a full disk), the file is cut back so that no partial line
// stays for the next one to be glued to. False with *why on failure.
bool WriteWholeLine(int fd, std::string_view data, std::string* why);

// "YYYY-MM-DDThh:mm:ss[.mmm]+hh:mm" in the host's time zone (millis < 0:
// without the fraction).
std::string Rfc3339Local(time_t when, int millis);

// The 16-character time stamp `stamp` ("CYYMMDDhhmmssmmm", local time) as
// RFC 3339 with the host's offset, with ".mmm" when its milliseconds are
// not 000; empty when it is not such a stamp.
std::string StampToRfc3339(const char* stamp, size_t length);
// The same into *out (replacing what it holds; empty when not a stamp).
void StampToRfc3339(const char* stamp, size_t length, std::string* out);

#endif  // QOR_FRAMEWORK_EVENTS_EVENT_OUTPUT_H_
