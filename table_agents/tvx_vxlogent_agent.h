// The VXLOGENT agent class: one object per log-entries report request or
// situation. A situation (sample type 4) receives new log entries as events
// and applies its frequency and period thresholds over the entry times of
// the events in its period, per key when it has a PER clause; a report
// (sample type 3) reads past entries of one log. Created by
// tvx_vxlogent_manager::CreateVandu, destroyed by the runtime. Events reach it
// under the manager's lock; its counts have a lock of their own as well.
#ifndef QOR_TABLE_AGENTS_TVX_VXLOGENT_AGENT_H_
#define QOR_TABLE_AGENTS_TVX_VXLOGENT_AGENT_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "framework/tables/key_lru.h"
#include "framework/tables/row_json.h"
#include "tables/event_window.h"
#include "tables/request_thresholds.h"
#include "tables/tvx_vxlogent_base.h"
#include "util/time_stamp.h"

class Log_File;

class tvx_vxlogent_agent : public tvx_vxlogent_base {
 public:
  tvx_vxlogent_agent(RequestDetail* detail, ContextInfo* context,
                     TableManager* manager);
  ~tvx_vxlogent_agent() override;

  void TakeSample() override;
  unsigned AddData(char* rows, int count) override;
  unsigned InsertRow(const char* row) override;

 protected:
  void TakeSampleConstructor();
  void TakeSampleDestructor();
  void leGetFreqPeriodThresholds();

  // The log object named by the request's LOGPATH and LOGNAME values, or null.
  Log_File* leValidateFileName();
  // Reads the report's start and end times into leThresholds; false (traced)
  // when either is missing.
  bool leGetEntrytimeThresholds();
  // Fills up to `count` rows of leRowBuffer from the log; the number filled.
  unsigned leGetLogEntries(unsigned count);
  // Reads on until a row that matches the request's condition: true when
  // one is left after the rows collected (the row limit cut the reply).
  bool leMoreMatchingRows();
  // Whether `row` keeps to the bounds of the report's window that the
  // report checks itself (see vandu::Sample_Range).
  bool leInWindow(const tvx_vxlogent_data_t& row) const;

  Log_File* leLogFile = nullptr;
  tvx_vxlogent_data_t* leRowBuffer = nullptr;
  // The whole text of each entry in leRowBuffer, carried beside the rows to
  // their "entry" member (see Row_Side_Text); the strings keep their room.
  std::vector<std::string> leEntryTexts;
  std::vector<Row_Side_Text::Text> leEntryViews;
  void* leReportCursor = nullptr;
  _RequestThresholds leThresholds = {};
  bool leCheckStart = false;  // see leInWindow
  bool leCheckEnd = false;
  int64_t leFreqThreshold = 0;
  int64_t lePeriodThreshold = 0;

 private:
  // AddData of one row that does not carry this situation's FREQTHRESH and
  // PERIODTHRS: a copy of it that does.
  unsigned leAddWithThresholds(const char* row, int32_t freq, int32_t period);
  // InsertRow with a frequency and a period: counted in the row's key's
  // window and inserted when the count meets the frequency.
  unsigned leInsertCounted(const char* row);
  // The entry time of `row` in seconds since the epoch; -1 when it is no
  // time stamp.
  int64_t leEntrySeconds(const char* stamp) REQUIRES(leCountLock);

  Posix_Mutex leCountLock;
  // The events in the period, per key ("" without a PER clause).
  Key_Lru<Event_Window> leEventWindows GUARDED_BY(leCountLock);
  // Entry times read back into seconds.
  Stamp_Seconds leStampSeconds GUARDED_BY(leCountLock);
};

#endif  // QOR_TABLE_AGENTS_TVX_VXLOGENT_AGENT_H_
