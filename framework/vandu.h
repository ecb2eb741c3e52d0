// Request objects: one vandu per report request or situation of a table.
//
// A vandu is created by its table manager's CreateVandu, holds the request's
// threshold records, collects the rows that meet them in its row array and,
// for a situation, dispatches them to the event sink. Ownership: the runtime
// creates and destroys every vandu (vandu::Destroy); a situation's vandu is on
// its manager's live list from creation until it is deleted, a report's never.
// Threads: rows are offered under the manager's lock (events, samples) or on
// the one thread that runs a report; handles may be pinned from any thread.
#ifndef QOR_FRAMEWORK_VANDU_H_
#define QOR_FRAMEWORK_VANDU_H_

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "util/hov_timestamp.h"

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
  const char* Value;      // integer in native byte order, or text (not terminated)
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
  long relative_seconds = 0;  // > 0: text is "-N{s,m,h,d}" on a time-stamp column
  // An integer value given as its raw bytes (any width), for callers whose
  // values are not 32 or 64 bits wide; used instead of `integer` when set.
  std::string raw_integer;
};

// What a request asks for.
struct RequestDetail {
  std::string appl;   // "TVX"
  std::string table;  // "VXLOGENT"
  int sampleType = 3;
  int interval = 0;  // seconds
  std::string situationName;
  std::vector<Threshold_Spec> thresholds;
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

class vandu {
 public:
  vandu(RequestDetail* detail, ContextInfo* context, TableManager* manager);

  virtual void PrintSelf();
  virtual void TakeSample() {}
  virtual int NumColumns() = 0;
  virtual unsigned GetColumnInfo(ColumnInfo* info, int index) = 0;
  virtual unsigned ExecuteCommand(const char* command);
  virtual ~vandu();
  // Collects a copy of `row`: 0, or non-zero when memory is exhausted.
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
  int IsException(int oper, const char* field, const GIR1_FILTERINFO* value, int length);
  // Integer column forms.
  int IsException(int oper, int32_t field, const GIR1_FILTERINFO* value);
  int IsException(int oper, uint32_t field, const GIR1_FILTERINFO* value);

  void ResetFilterIndex() { filterIndex = 0; }
  // Fills *info with the next threshold record: 0, or 1 when there is none.
  int GetFilterInfo(GIR1_FILTERINFO* info);
  void DumpThresholds();

  // Hands the collected rows of a situation to the event sink: 0, or
  // non-zero when the sink failed. A report's rows are not dispatched.
  unsigned Dispatch();
  void Stopped(int reason);
  void Stop();
  bool IsStopped() const { return stopped; }
  int StopReason() const { return stopReason; }

  // Pins the object with `handle` while it is used; null when there is none.
  static vandu* UseHandle(unsigned handle);
  // Unpins; deletes the object when it was destroyed while pinned.
  static void DAV1_Drop(unsigned handle);
  // Deletes `v` now, or after the last DAV1_Drop when it is pinned.
  static void Destroy(vandu* v);

  // Marks thresholds on `column` as evaluated by the agent class itself (the
  // frequency and period of a log-entries situation): CheckForException
  // passes over them, so a situation whose agent dropped such a threshold
  // still matches on its other comparisons.
  void AgentEvaluates(const char* column) { agentColumns.emplace_back(column); }

  TableManager* Manager() const { return manager; }
  const std::string& ThresholdError() const { return thresholdError; }

 protected:
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
  int RowSize() const { return rowSize; }
  const char* Row(int i) const { return rowData + static_cast<size_t>(i) * rowSize; }
  unsigned Handle() const { return handle; }
  unsigned Identifier() const { return identifier; }

 private:
  struct Held;
  const Held* FindHeld(const GIR1_FILTERINFO* value) const;
  void ResolveRelative();

  TableManager* manager;
  std::vector<std::unique_ptr<Held>> held;
  size_t filterIndex = 0;
  bool stopped = false;
  bool rowsCut = false;
  int stopReason = 0;
  std::string thresholdError;
  std::vector<std::string> agentColumns;
};

#endif  // QOR_FRAMEWORK_VANDU_H_
