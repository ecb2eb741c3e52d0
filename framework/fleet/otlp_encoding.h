// Event lines as OpenTelemetry log records (OTLP/HTTP): each event's JSON
// line read back into one LogRecord, written as binary protobuf (by hand, to
// the field numbers of otlp_logs.proto) or as OTLP/JSON, and the export
// request around a run of records. The mapping is the table in qoragent(8).
#ifndef QOR_FRAMEWORK_FLEET_OTLP_ENCODING_H_
#define QOR_FRAMEWORK_FLEET_OTLP_ENCODING_H_

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

// Where the attributes of a row's columns are: "qoragent.row.COLUMN".
constexpr const char kOtlpRowPrefix[] = "qoragent.row.";

// One event read back from its line. The views point into the line or into
// the record's own buffers; valid until the next Read.
struct Otlp_Record {
  struct Value {
    std::string_view prefix;  // written before the key
    std::string_view group;   // and then, with a '.' after it (may be empty)
    std::string_view key;
    std::string_view text;  // a string's value (unescaped)
    int64_t number = 0;
    bool is_number = false;
  };
  uint64_t time_ns = 0;      // the entry's time; 0: the event has none
  uint64_t observed_ns = 0;  // when the event was made from what was read
  int severity = 0;          // OpenTelemetry's SeverityNumber; 0: unset
  std::string_view severity_text;
  std::string_view body;
  char uid[33] = {};  // 32 hexadecimal digits
  std::vector<Value> attributes;

  // `system_name`: this agent's, sent once per request; a row's ORIGINNODE
  // that only repeats it is left out.
  explicit Otlp_Record(std::string system_name = std::string())
      : system_name_(std::move(system_name)) {}

  // Reads the event line `line` (its "\n" may follow). False when it is not
  // a JSON object: the record then carries the line as its body. The row's
  // columns that only repeat what the record maps are left out: ENTRYTIME
  // (time_unix_nano), TIMESTAMP when it is the same stamp, ORIGINNODE when
  // it is the system name. An object member other than the row ("alert"
  // of a situation that remembers) gives one attribute per member of its.
  bool Read(std::string_view line);

 private:
  struct Members;
  // Empties the record for a line of `line_size` bytes.
  void Clear(size_t line_size);
  std::string system_name_;
  // The last time stamp read of each kind and its value: events come in
  // runs of the same second (and read time).
  struct Time_Memo {
    char text[40] = {};
    size_t length = 0;
    uint64_t ns = 0;
    uint64_t Of(std::string_view stamp);
  };
  std::string text_;            // unescaped strings (reserved: never moves)
  std::string path_;            // log.file.path
  std::vector<size_t> quotes_;  // where the line's quotes and backslashes are
  Time_Memo read_time_;
  Time_Memo entry_time_;
};

// The syslog severity `level` (0 emerg ... 7 debug) as OpenTelemetry's
// SeverityNumber; 0 outside that range.
int OtlpSyslogSeverity(int level);
// The syslog level named by `word` (emerg, alert, crit, err, warning,
// notice, info, debug, and the older names), else -1.
int SyslogLevelOfWord(std::string_view word);

// Seconds since the epoch in nanoseconds of an RFC 3339 time stamp
// ("2026-12-08T03:30:00.120+01:00", "...Z"); 0 when it is not one.
uint64_t Rfc3339ToUnixNanos(std::string_view text);

enum class Otlp_Encoding { kProtobuf, kJson };

// Writes records and requests in one encoding, for one resource (this host).
class Otlp_Encoder {
 public:
  Otlp_Encoder(Otlp_Encoding encoding, std::string host_name,
               std::string system_name, std::string version);
  Otlp_Encoding Encoding() const { return encoding_; }
  // The room an export request needs before its records.
  size_t Headroom() const;
  // Starts *out as the buffer of one request: Headroom() bytes, then the
  // records AppendRecord adds.
  void Begin(std::string* out) const;
  // Appends `record` to *out, after the records before it (`first`: none).
  void AppendRecord(const Otlp_Record& record, bool first,
                    std::string* out) const;
  // Completes the export request in *out (Begin's buffer, the records
  // appended): written in the room before them, so that the records are
  // never copied. Returns the request, a view into *out. Once per buffer.
  std::string_view Frame(std::string* out) const;
  const char* ContentType() const {
    return encoding_ == Otlp_Encoding::kJson ? "application/json"
                                             : "application/x-protobuf";
  }

 private:
  Otlp_Encoding encoding_;
  std::string head_;      // the request up to its first record
  std::string tail_;      // and after its last (JSON)
  std::string resource_;  // protobuf: the Resource field and the scope
  std::string host_name_;
  std::string system_name_;
  std::string version_;
};

// An export response's partial success: the records the receiver refused
// and its message. False when `body` does not decode (`json`: OTLP/JSON).
bool ReadOtlpPartialSuccess(std::string_view body, bool json, int64_t* rejected,
                            std::string* message);

#endif  // QOR_FRAMEWORK_FLEET_OTLP_ENCODING_H_
