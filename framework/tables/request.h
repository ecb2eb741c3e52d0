// Request objects: one vandu per report request or situation of a table.
//
// A vandu is created by its table manager's CreateVandu, holds the request's
// threshold records, collects the rows that meet them in its row array and,
// for a situation, dispatches them to the event sink. Ownership: the runtime
// creates and destroys every vandu (vandu::Destroy); a situation's vandu is on
// its manager's live list from creation until it is deleted, a report's never.
// Threads: rows are offered under the manager's lock (events, samples) or on
// the one thread that runs a report; handles may be pinned from any thread.
#ifndef QOR_FRAMEWORK_TABLES_REQUEST_H_
#define QOR_FRAMEWORK_TABLES_REQUEST_H_

#include <stdint.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/tables/key_lru.h"
#include "util/posix_mutex.h"
#include "util/repeat_limiter.h"
#include "util/timestamp.h"

namespace re2 {
class RE2;
}
class Row_Json_Writer;
class Situation_Memory;
struct Event_Record;
class TableManager;

// Threshold operators.
constexpr short GIR1_EQ = 1;
constexpr short GIR1_NE = 2;
constexpr short GIR1_GE = 3;
constexpr short GIR1_LE = 4;
constexpr short GIR1_LT = 5;
constexpr short GIR1_GT = 6;
constexpr short GIR1_CONTAINS = 7;
constexpr short GIR1_REGEX = 8;
// Threshold value data types.
constexpr int GIR1_INTEGER = 496;
constexpr int GIR1_TEXT = 497;

// One threshold record as the agent reads it.
struct GIR1_FILTERINFO {
  short Operator;
  const char* Attribute;  // upper-case column name
  int DataType;           // GIR1_INTEGER or GIR1_TEXT
  short ValueSize;        // bytes at Value
  const char* Value;  // integer in native byte order, or text (not terminated)
};

// Column description handed out by GetColumnInfo.
constexpr uint16_t COLUMN_TEXT = 9;
constexpr uint16_t COLUMN_INT32 = 3;
constexpr uint16_t COLUMN_UINT32 = 4;
struct ColumnInfo {
  const char* AttributeName;  // lower-case
  uint16_t Offset;
  uint16_t Width;
  uint16_t Type;
};

// A threshold as written by a person: column, operator and value.
struct Threshold_Spec {
  std::string column;  // upper case
  short oper = GIR1_EQ;
  bool is_integer = false;
  int64_t integer = 0;
  std::string text;
  long relative_seconds =
      0;  // > 0: text is "-N{s,m,h,d}" on a time-stamp column
  // An integer value given as its raw bytes (any width), for callers whose
  // values are not 32 or 64 bits wide; used instead of `integer` when set.
  std::string raw_integer;
};

// The clauses that may follow a situation's condition.
struct Situation_Clauses {
  // PER COLUMN "REGEX": events are counted and throttled per key, the first
  // capture group of REGEX in COLUMN (upper case); empty column: no keys.
  std::string per_column;
  std::string per_regex;
  // THROTTLE SECONDS: events of one key within SECONDS of the last one
  // dispatched are counted instead; 0: none.
  long throttle = 0;
  // KEYS N (after PER): most keys kept; 0: SITUATION_MAX_KEYS.
  size_t max_keys = 0;
  // THEN, WITHOUT or THEN OR WITHOUT [TABLE] CONDITION WITHIN SECONDS: a row
  // of the second condition is awaited, per key, after each row of the
  // situation's condition; an event when it comes within the window
  // (then), when it does not (without), or both. within 0: no pair.
  bool then = false;
  bool without = false;
  std::string second_table;      // as written; empty: the situation's
  std::string second_condition;  // as written
  std::vector<Threshold_Spec> second;
  long within = 0;
  // ABSENT SECONDS [EXPECTED]: an event when no row came for SECONDS, per
  // key once seen (EXPECTED: the key "" from the start); 0: none.
  long absent = 0;
  bool expected = false;
  // CLEAR <= ROWS WITHIN SECONDS: a frequency situation's alert resolves
  // when at most ROWS rows came within SECONDS; clear_max < 0: none.
  long clear_max = -1;
  long clear_within = 0;
  // Whether the situation remembers (any of the three above).
  bool Remembers() const { return within > 0 || absent > 0 || clear_max >= 0; }
  // ALERT [SEVERITY WORD] [LABEL NAME=VALUE ...] [RESOLVE SECONDS]: the
  // situation is one of those that alert (Alertmanager), with this severity
  // (empty: "warning"), these labels and, for a plain situation, the seconds
  // its alert lasts after its last event (0: HOV_ALERTMANAGER_CONFIG's
  // resolve_after). alert false: no clause.
  bool alert = false;
  std::string severity;
  std::vector<std::pair<std::string, std::string>> labels;
  long resolve = 0;
};

// What a request asks for.
struct RequestDetail {
  std::string appl;   // "TVX"
  std::string table;  // "VXLOGENT"
  int sampleType = 3;
  int interval = 0;  // seconds
  std::string situationName;
  std::vector<Threshold_Spec> thresholds;
  Situation_Clauses clauses;
};

struct ContextInfo {
  unsigned requestId = 0;
};

struct VanduAutomationCapsule {
  int status = 0;
};

// Sample types.
constexpr int SAMPLE_REPORT = 3;
constexpr int SAMPLE_SITUATION = 4;

// A text every row a situation takes must hold in one column: the value of a
// `~` or `==` threshold (the column contains it), or the expression of a `=~`
// one. Used to skip situations a row cannot meet.
struct Required_Text {
  std::string column;  // upper case
  std::string text;    // without trailing blanks and NULs, never empty
  bool regex = false;
  // A `~` threshold that is the only one CheckForException compares: a row
  // whose column holds `text` is taken.
  bool decides = false;
};

class vandu {
 public:
  vandu(RequestDetail* detail, ContextInfo* context, TableManager* manager);

  virtual void PrintSelf();
  virtual void TakeSample() {}
  virtual int NumColumns() = 0;
  virtual unsigned GetColumnInfo(ColumnInfo* info, int index) = 0;
  virtual unsigned ExecuteCommand(const char* command);
  virtual ~vandu();
  // Collects a copy of `row` (of a keyed situation: only a row with a key):
  // 0, or non-zero when memory is exhausted.
  virtual unsigned InsertRow(const char* row);
  // Non-zero when every threshold holds for `row` (a request without
  // thresholds takes every row).
  virtual int CheckForException(const char* row);
  virtual int ColumnIsException(const char* row, const char* column, int oper,
                                const GIR1_FILTERINFO* value) = 0;
  virtual void CommandCompleted(VanduAutomationCapsule* capsule);
  // Offers `count` rows of rowSize bytes to CheckForException and InsertRow.
  virtual unsigned AddData(char* rows, int count);

  // Text column form: `field` is `length` blank-padded bytes.
  int IsException(int oper, const char* field, const GIR1_FILTERINFO* value,
                  int length);
  // Integer column forms.
  int IsException(int oper, int32_t field, const GIR1_FILTERINFO* value);
  int IsException(int oper, uint32_t field, const GIR1_FILTERINFO* value);

  void ResetFilterIndex() { filterIndex = 0; }
  // Fills *info with the next threshold record: 0, or 1 when there is none.
  int GetFilterInfo(GIR1_FILTERINFO* info);
  void DumpThresholds();

  // Hands the collected rows of a situation to the event sink, less those a
  // THROTTLE clause holds back: 0, or non-zero when the sink failed. A
  // report's rows are not dispatched.
  unsigned Dispatch();
  // Collects a copy of `row` with its PER key (empty when unkeyed): as
  // InsertRow.
  unsigned InsertKeyedRow(const char* row, const std::string& key);
  // The PER key of `row`: false when the situation has a PER clause and the
  // row's column yields no key. Without a PER clause: true, key empty.
  bool RowKey(const char* row, std::string* key) const;
  bool Keyed() const { return perRegex != nullptr; }
  // The texts of the thresholds CheckForException compares (see
  // Required_Text); relative times, whose value moves, are left out.
  std::vector<Required_Text> RequiredTexts() const;
  const Situation_Clauses& Clauses() const { return clauses; }
  // Most keys the situation keeps (its KEYS clause, else SITUATION_MAX_KEYS).
  size_t MaxKeys() const {
    return clauses.max_keys != 0 ? clauses.max_keys : SITUATION_MAX_KEYS;
  }
  // A key still in use was forgotten to keep to MaxKeys: counted in the
  // table's manager and traced at the error level (at once, then at most
  // once a minute with a count). Thread-safe.
  void KeyForgotten();
  // Sends, for each key whose THROTTLE interval has ended by `now` with
  // events held back, an event without a row carrying "suppressed":N, and
  // forgets the keys whose interval has ended: 0, or non-zero when the sink
  // failed. Run about once a second (hovmain's loop); thread-safe.
  unsigned AnnounceSuppressed(long now);
  // Where the PER column lies in a row (set once the columns are known).
  void SetKeyColumn(uint16_t offset, uint16_t width) {
    perOffset = offset;
    perWidth = width;
  }
  // A situation's counts since it was made: rows that met its condition,
  // events it dispatched, and events a THROTTLE clause held back. Any thread.
  uint64_t RowsMatched() const {
    return rowsMatched.load(std::memory_order_relaxed);
  }
  uint64_t EventsDispatched() const {
    return eventsDispatched.load(std::memory_order_relaxed);
  }
  uint64_t EventsSuppressed() const {
    return eventsSuppressed.load(std::memory_order_relaxed);
  }
  // Events every situation dispatched on the calling thread so far: a log's
  // worker tells by the difference how many events its entry raised.
  static uint64_t ThreadEventsDispatched();
  void Stopped(int reason);
  void Stop();
  bool IsStopped() const { return stopped; }
  int StopReason() const { return stopReason; }

  // Pins the object with `handle` while it is used; null when there is none.
  static vandu* UseHandle(unsigned handle);
  // Unpins; deletes the object when it was destroyed while pinned.
  static void DAV1_Drop(unsigned handle);
  // Deletes `v` now, or after the last DAV1_Drop when it is pinned. An
  // object still on its manager's live list is taken off it first (callers
  // do that themselves): the manager offers rows to its listed objects under
  // its lock without pinning them.
  static void Destroy(vandu* v);
  // Whether the object is on its manager's live list: set by the manager,
  // under its lock, as it lists and unlists the object.
  void SetListed(bool on) { listed.store(on, std::memory_order_release); }

  // Marks thresholds on `column` as evaluated by the agent class itself (the
  // frequency and period of a log-entries situation): CheckForException
  // passes over them, so a situation whose agent dropped such a threshold
  // still matches on its other comparisons.
  void AgentEvaluates(const char* column);

  // The place of the column a threshold (`value`, as handed to
  // ColumnIsException) names, as the table found it the first time: -1
  // until it is set, or for a value that is no threshold of this request.
  // Lets a table look a column up by name once per request, not per row.
  int ThresholdColumn(const GIR1_FILTERINFO* value) const;
  void SetThresholdColumn(const GIR1_FILTERINFO* value, int index);
  // How a table's ColumnIsException compares the threshold `value` in
  // every row: as IsException does the text field of `width` bytes, or the
  // integer, at `offset`. Set once, CheckForException compares it so itself.
  enum class Plain_Type { kText = 1, kInt32, kUint32 };
  void SetPlainColumn(const GIR1_FILTERINFO* value, Plain_Type type, int offset,
                      int width);

  // While one lives, the sample being taken fills `columns` alike in every
  // row it offers (the log-entries table fills LOGPATH and LOGNAME from the
  // one log a report names): CheckForException evaluates thresholds on them
  // on the sample's first row only, and a row writer may keep their text.
  // Made and read by the thread taking the sample.
  class Constant_Columns {
   public:
    Constant_Columns(vandu* v, std::initializer_list<const char*> columns);
    ~Constant_Columns();
    Constant_Columns(const Constant_Columns&) = delete;
    Constant_Columns& operator=(const Constant_Columns&) = delete;

   private:
    vandu* v_;
  };
  // While one lives, the sample being taken offers only rows whose text
  // column `column` lies between `low` and `high` (`width` bytes each),
  // compared with them as strncmp does. A >= threshold on the column whose
  // value is `low`, or a <= one whose value is `high`, then says nothing
  // more and is not evaluated, when that value does not move and its bytes
  // are all past the blank (a time stamp): for such a value the two
  // comparisons agree on every row. Made and read by the thread taking the
  // sample.
  class Sample_Range {
   public:
    Sample_Range(vandu* v, const char* column, const char* low,
                 const char* high, int width);
    ~Sample_Range();
    Sample_Range(const Sample_Range&) = delete;
    Sample_Range& operator=(const Sample_Range&) = delete;
    // Whether a threshold on `low` (`high`) is left to the sample, which
    // must then keep to that bound itself.
    bool LowTaken() const { return low_; }
    bool HighTaken() const { return high_; }

   private:
    vandu* v_;
    bool low_ = false;
    bool high_ = false;
  };
  // While one lives, the row at `row` being offered is known to meet every
  // threshold CheckForException compares: the table's prefilter found in
  // its text column at [offset, offset + width) the text that alone decides
  // them (Required_Text::decides). CheckForException then takes a row whose
  // column holds the same bytes (the row itself, or a copy that AddData
  // made) without comparing again. Made and read under the table manager's
  // lock, while the manager offers that one row.
  class Proven_Row {
   public:
    Proven_Row(vandu* v, const char* row, uint16_t offset, uint16_t width)
        : v_(v) {
      v->provenRow = row;
      v->provenOffset = offset;
      v->provenWidth = width;
    }
    ~Proven_Row() { v_->provenRow = nullptr; }
    Proven_Row(const Proven_Row&) = delete;
    Proven_Row& operator=(const Proven_Row&) = delete;

   private:
    vandu* v_;
  };
  // Whether the running sample fills `column` (any case) alike in every row.
  bool SampleConstantColumn(const char* column) const;
  // False once the running sample's first row failed a threshold on such a
  // column: then no row of the sample can match.
  bool SampleCanMatch() const {
    return constantState != Constant_State::kFailed;
  }

  TableManager* Manager() const { return manager; }
  const std::string& ThresholdError() const { return thresholdError; }

  // The per-key memory of a situation with a THEN, WITHOUT, ABSENT or
  // CLEAR clause; null for any other request. Set once, before the
  // situation goes live; destroyed with the object.
  Situation_Memory* Memory() const { return memory.get(); }
  void SetMemory(std::unique_ptr<Situation_Memory> m);
  // Counts an event the memory wrote as one the situation dispatched.
  void CountDispatched();

  // The command a situation runs for each of its events (its RUN clause);
  // empty: none. Set once, before the situation goes live.
  void SetRunCommand(const std::string& command) { runCommand = command; }
  const std::string& RunCommand() const { return runCommand; }
  // Whether its events go to the Alertmanager outputs: the registry decides
  // (every situation, or those with an ALERT clause). Any thread.
  void SetAlerting(bool alerts) {
    alerting.store(alerts, std::memory_order_relaxed);
  }
  // The members its events carry for those outputs
  // (Event_Record::alert_members). Any thread.
  const std::string& AlertMembers() const;
  bool Alerting() const { return alerting.load(std::memory_order_relaxed); }
  // Those of its ALERT clause, as when it alerts.
  const std::string& OwnAlertMembers() const { return alertMembers; }

 protected:
  // Refuses the request: HOV_CreateRequest fails with `why`.
  void RejectRequest(const std::string& why) {
    if (thresholdError.empty()) {
      thresholdError = why;
    }
  }

  std::string applName;
  std::string tableName;
  int sampleType;
  int interval;
  std::string situationName;
  unsigned identifier;
  unsigned handle;
  int rowCount = 0;
  int rowsAllocated = 0;
  int allocStep = 1;
  int rowSize = 0;
  char* rowData = nullptr;

 public:
  // Accessors for the runtime.
  const std::string& SituationName() const { return situationName; }
  const std::string& ApplName() const { return applName; }
  const std::string& TableName() const { return tableName; }
  int SampleType() const { return sampleType; }
  int RowCount() const { return rowCount; }
  void SetRowCount(int n) { rowCount = n; }
  // True when a row limit left out rows that matched the request: the reply
  // says so to the client.
  bool RowsCut() const { return rowsCut; }
  void MarkRowsCut() { rowsCut = true; }
  // The most rows a report may return, set by its requester; 0: the table's
  // own limit. A table that keeps a limit of its own takes the smaller.
  long RowLimit() const { return rowLimit; }
  void SetRowLimit(long n) { rowLimit = n; }
  // Nobody takes the report's rows any more (its client went away, or the
  // agent stops): a sample that reads for long ends at its next batch.
  // The report's own thread only.
  bool Abandoned() const { return abandoned; }
  void Abandon() { abandoned = true; }
  // Sources the sample could not read (each "PATH: why"); the reply names
  // them after its rows.
  const std::vector<std::string>& Unread() const { return unread; }
  void AddUnread(std::string what) { unread.push_back(std::move(what)); }
  int RowSize() const { return rowSize; }
  // Hands every row collected from now on to `sink` instead of keeping it,
  // so that a large report is written out as it is read rather than held
  // whole: RowCount still counts the rows, Row holds none of them.
  void StreamRows(std::function<void(const char*)> sink) {
    rowSink = std::move(sink);
  }
  const char* Row(int i) const {
    return rowData + static_cast<size_t>(i) * rowSize;
  }
  unsigned Handle() const { return handle; }
  unsigned Identifier() const { return identifier; }

 private:
  struct Held;
  const Held* FindHeld(const GIR1_FILTERINFO* value) const;
  // The threshold compared as SetPlainColumn described it.
  int PlainIsException(const Held& h, uint64_t plain, const char* row);
  void ResolveRelative();
  bool AgentColumn(const std::string& column) const;

  TableManager* manager;
  std::vector<std::unique_ptr<Held>> held;
  size_t filterIndex = 0;
  bool stopped = false;
  bool rowsCut = false;
  bool abandoned = false;
  long rowLimit = 0;
  std::vector<std::string> unread;
  int stopReason = 0;
  std::string thresholdError;
  std::vector<std::string> agentColumns;
  std::string runCommand;
  std::atomic<bool> alerting{true};
  std::string alertMembers;  // of its ALERT clause, when it alerts
  // See Constant_Columns: the columns, and whether the thresholds on them
  // were evaluated on the sample's first row and with what outcome.
  enum class Constant_State { kNone, kPending, kPassed, kFailed };
  std::vector<std::string> constantColumns;
  Constant_State constantState = Constant_State::kNone;
  // See Proven_Row; null when no row is proven.
  const char* provenRow = nullptr;
  uint16_t provenOffset = 0;
  uint16_t provenWidth = 0;
  // Some threshold's value is a time relative to now.
  bool relativeThresholds = false;

  std::atomic<bool> listed{false};  // see SetListed
  std::atomic<uint64_t> rowsMatched{0};
  std::atomic<uint64_t> eventsDispatched{0};
  std::atomic<uint64_t> eventsSuppressed{0};

  Situation_Clauses clauses;
  std::unique_ptr<Situation_Memory> memory;
  std::unique_ptr<re2::RE2> perRegex;
  // Writes the events' rows; made at the first event (Dispatch runs on one
  // thread at a time, under the table's lock).
  std::unique_ptr<Row_Json_Writer> eventJson;
  // The record each event is made in, kept with its room between events.
  std::unique_ptr<Event_Record> eventRecord;
  uint16_t perOffset = 0;
  uint16_t perWidth = 0;
  std::vector<std::string> rowKeys;          // PER key of each collected row
  std::function<void(const char*)> rowSink;  // see StreamRows

  // When each key's last event was dispatched and how many were held back
  // since. Dispatch may run for sampled and event rows at once.
  struct Throttle_State {
    long last = 0;
    long suppressed = 0;
  };
  // The keys are in the order of their last dispatched event, so those
  // whose interval has ended come first.
  Posix_Mutex throttleMu;
  Key_Lru<Throttle_State> throttled GUARDED_BY(throttleMu);
  // True when the event of `key` at `now` is to be dispatched; *suppressed:
  // the events held back before it. A key forgotten to make room that had
  // events held back leaves them in *lost (its key in *lost_key), to be
  // announced.
  bool Throttle(const std::string& key, long now, long* suppressed,
                std::string* lost_key, long* lost) REQUIRES(throttleMu);
  // Sends the event without a row that says `count` events of `key` were
  // held back: false when the sink failed.
  bool AnnounceHeldBack(const std::string& key, long count);
  Posix_Mutex forgetMu;
  Repeat_Limiter forgetReport GUARDED_BY(forgetMu);
  // Copies `row` into the row array: 0, or non-zero when memory is exhausted.
  unsigned AppendRow(const char* row);
};

#if defined(__SSE2__)
// One bit for each of the 16 bytes in `x` that is not padding of a text
// field: a byte is padding when it has no bit set but 0x20 (a blank or a
// NUL).
inline unsigned TextBits(__m128i x) {
  const __m128i blank = _mm_set1_epi8(0x20);
  return ~static_cast<unsigned>(
             _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(x, blank), blank))) &
         0xFFFFu;
}
#endif

// Length of a fixed-width text field without its trailing blanks and NULs.
inline int UnpaddedLength(const char* field, int length) {
  // Most of a wide field is padding: it is looked at from its end, 16 bytes
  // (or a word) at a time.
#if defined(__SSE2__)
  const __m128i blank = _mm_set1_epi8(0x20);
  const auto padding = [blank](const char* at) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return _mm_cmpeq_epi8(_mm_or_si128(x, blank), blank);
  };
  // 64 bytes of padding at a time first, one test for all four blocks.
  while (length >= 64) {
    const __m128i all =
        _mm_and_si128(_mm_and_si128(padding(field + length - 16),
                                    padding(field + length - 32)),
                      _mm_and_si128(padding(field + length - 48),
                                    padding(field + length - 64)));
    if (_mm_movemask_epi8(all) != 0xFFFF) {
      break;
    }
    length -= 64;
  }
  while (length >= 16) {
    const unsigned text = TextBits(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(field + length - 16)));
    if (text != 0) {
      // Up to the last byte that is not padding.
      return length - 16 + (32 - __builtin_clz(text));
    }
    length -= 16;
  }
#endif
  while (length >= 8) {
    uint64_t word;
    memcpy(&word, field + length - 8, sizeof word);
    if ((word & ~UINT64_C(0x2020202020202020)) != 0) {
      break;
    }
    length -= 8;
  }
  while (length > 0 &&
         (field[length - 1] == ' ' || field[length - 1] == '\0')) {
    --length;
  }
  return length;
}

// Whether the `length` bytes at `text` hold the `size` bytes at `part`
// anywhere, byte for byte, as memmem finds them (an empty part is held by any
// text). Cheaper than memmem for the short texts of rows: places are
// screened 16 at a time by the part's first and last byte, and stretches
// without its last byte (padding) passed over 64 at a time.
bool TextContains(const char* text, size_t length, const char* part,
                  size_t size);

#endif  // QOR_FRAMEWORK_TABLES_REQUEST_H_
