// The VXLOGENT agent class: log-entries reports and situations on new
// entries.
#include "table_agents/tvx_vxlogent_agent.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "agent/kinds/log_file.h"
#include "agent/log_manager.h"
#include "agent/tvxmain.h"
#include "framework/control/main_loop.h"
#include "framework/situations/situation_memory.h"
#include "tables/teskal_time.h"
#include "tables/timestamp.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV130");

namespace {

const char FREQUENCY[] = "FREQTHRESH";
const char ORIGINNODE[] = "ORIGINNODE";
const char LOGPATH[] = "LOGPATH";
const char LOGNAME[] = "LOGNAME";
const char ENTRYTIME[] = "ENTRYTIME";
constexpr int PATHSIZE = 256;
constexpr int NAMESIZE = 128;
const char PERIOD[] = "PERIODTHRS";
const char SAMPLENO[] = "SAMPLENO";
const char ROWNO[] = "ROWNO";
constexpr int64_t MINFREQ = 1;
constexpr int64_t MINPERIOD = 1;
constexpr int INTEGERTYPE = 496;
constexpr int MAXVALUESIZE = 8;
const char PERIODMISSING[] =
    "FREQTHRESH needs PERIODTHRS, e.g. FREQTHRESH >= 5 AND PERIODTHRS == 60";
const char FREQUENCYMISSING[] =
    "PERIODTHRS needs FREQTHRESH, e.g. FREQTHRESH >= 5 AND PERIODTHRS == 60";
const char PERIODTOOSHORT[] =
    "PERIODTHRS takes 1 second or more, e.g. PERIODTHRS == 60";

// The current time as ctime text (which ends in a newline).
const char* Now(char* buf) {
  const time_t now = time(nullptr);
  if (ctime_r(&now, buf) == nullptr) {
    buf[0] = '\0';
  }
  return buf;
}

// A threshold value as a signed integer of its own size. Sizes other than
// 2, 4 and 8 are read byte by byte, never beyond the size, as a native-order
// integer of that many bytes.
int64_t ReadValue(const GIR1_FILTERINFO& f) {
  if (f.Value == nullptr || f.ValueSize <= 0) {
    return 0;
  }
  switch (f.ValueSize) {
    case 2: {
      int16_t v;
      memcpy(&v, f.Value, sizeof v);
      return v;
    }
    case 4: {
      int32_t v;
      memcpy(&v, f.Value, sizeof v);
      return v;
    }
    case 8: {
      int64_t v;
      memcpy(&v, f.Value, sizeof v);
      return v;
    }
    default: {
      int64_t v = 0;
      memcpy(&v, f.Value, static_cast<size_t>(f.ValueSize));
      return v;
    }
  }
}

// A report that has found its log object walks the ring no more while it
// reads: a refresh need not wait for it for ever.
class Reading_Scope {
 public:
  explicit Reading_Scope(Log_Manager* manager) : manager_(manager) {
    manager_->lmLeaveRing();
  }
  ~Reading_Scope() { manager_->lmReturnToRing(); }
  Reading_Scope(const Reading_Scope&) = delete;
  Reading_Scope& operator=(const Reading_Scope&) = delete;

 private:
  Log_Manager* const manager_;
};

}  // namespace

tvx_vxlogent_agent::tvx_vxlogent_agent(RequestDetail* detail,
                                       ContextInfo* context,
                                       TableManager* manager)
    : tvx_vxlogent_base(detail, context, manager) {
  {
    Posix_Mutex::Hold hold(&leCountLock);
    leEventWindows.SetCap(MaxKeys());
  }
  TakeSampleConstructor();
}

tvx_vxlogent_agent::~tvx_vxlogent_agent() {
  TakeSampleDestructor();
}

void tvx_vxlogent_agent::TakeSampleConstructor() {
  WEX1_Event ev(wex1, __func__);
  leLogFile = nullptr;
  leRowBuffer = nullptr;
  leReportCursor = nullptr;
  memset(&leThresholds, 0, sizeof leThresholds);
  leFreqThreshold = 0;
  lePeriodThreshold = 0;
  char when[32];
  switch (sampleType) {
    case SAMPLE_REPORT:
      if (pTheLogManager != nullptr) {
        pTheLogManager->lmBeginRequest();
      }
      break;
    case SAMPLE_SITUATION:
      WEX1_TRACE(wex1, WEX1_FLOW, "\nObject created for situation %s at %s",
                 situationName.c_str(), Now(when));
      leGetFreqPeriodThresholds();
      // The frequency and period are this class's own thresholds: a row is
      // compared on them here, in InsertRow, not by the runtime.
      AgentEvaluates(FREQUENCY);
      AgentEvaluates(PERIOD);
      break;
    default:
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nInvalid request received; sample type = %d", sampleType);
      Stopped(INVALIDREQUESTTYPE);
      break;
  }
}

void tvx_vxlogent_agent::TakeSampleDestructor() {
  WEX1_Event ev(wex1, __func__);
  char when[32];
  if (sampleType == SAMPLE_REPORT) {
    if (pTheLogManager != nullptr) {
      pTheLogManager->lmEndRequest();
    }
  } else if (sampleType == SAMPLE_SITUATION) {
    WEX1_TRACE(wex1, WEX1_FLOW, "\nObject destroyed for situation %s at %s",
               situationName.c_str(), Now(when));
  }
}

void tvx_vxlogent_agent::leGetFreqPeriodThresholds() {
  WEX1_Event ev(wex1, __func__);
  ResetFilterIndex();
  GIR1_FILTERINFO f;
  bool has_freq = false;
  bool has_period = false;
  while (GetFilterInfo(&f) == 0) {
    const char* name = f.Attribute != nullptr ? f.Attribute : "";
    const bool is_freq = strcmp(name, FREQUENCY) == 0;
    const bool is_period = strcmp(name, PERIOD) == 0;
    has_freq = has_freq || is_freq;
    has_period = has_period || is_period;
    if ((!is_freq || leFreqThreshold != 0) &&
        (!is_period || lePeriodThreshold != 0)) {
      continue;
    }
    const char* which = is_freq ? FREQUENCY : PERIOD;
    // A threshold the situation cannot apply refuses the whole situation:
    // without it the situation would fire on every match.
    const char* accepted =
        is_freq
            ? "FREQTHRESH takes >=, <=, < or > and an integer, e.g. FREQTHRESH >= 5"
            : "PERIODTHRS takes == and an integer of seconds, e.g. PERIODTHRS == 60";
    if (f.DataType != INTEGERTYPE) {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nInvalid %s threshold data type; value is %d, expected value is %d.Threshold ignored.",
          which, f.DataType, INTEGERTYPE);
      RejectRequest(accepted);
      continue;
    }
    const bool oper_ok = is_freq
                             ? (f.Operator >= GIR1_GE && f.Operator <= GIR1_GT)
                             : f.Operator == GIR1_EQ;
    if (!oper_ok) {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nInvalid %s threshold compare operator; value is %d. Threshold ignored.",
          which, f.Operator);
      RejectRequest(accepted);
      continue;
    }
    if (f.ValueSize > MAXVALUESIZE) {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nSize of %s threshold is %d which does not equal expected size of %d. Threshold ignored.",
          which, f.ValueSize, MAXVALUESIZE);
      RejectRequest(accepted);
      continue;
    }
    int64_t value = ReadValue(f);
    if (is_freq) {
      if (f.Operator == GIR1_LT) {
        value -= 1;
      } else if (f.Operator == GIR1_GT) {
        value += 1;
      }
      if (value < MINFREQ) {
        leFreqThreshold = 0;
        continue;
      }
      leFreqThreshold =
          (f.Operator == GIR1_LE || f.Operator == GIR1_LT) ? -value : value;
      WEX1_TRACE(wex1, WEX1_DETAIL, "\nFrequency threshold is %s %ld.",
                 leFreqThreshold > 0 ? ">=" : "<=", static_cast<long>(value));
      if (lePeriodThreshold != 0) {
        break;
      }
    } else {
      if (value < MINPERIOD) {
        lePeriodThreshold = 0;
        WEX1_TRACE(wex1, WEX1_ERROR,
                   "\nPERIODTHRS threshold is %ld; the minimum is %ld.",
                   static_cast<long>(value), static_cast<long>(MINPERIOD));
        RejectRequest(PERIODTOOSHORT);
        continue;
      }
      lePeriodThreshold = value;
      WEX1_TRACE(wex1, WEX1_DETAIL, "\nPeriod threshold is %ld. ",
                 static_cast<long>(value));
      if (leFreqThreshold != 0) {
        break;
      }
    }
  }
  // One without the other is no frequency check at all: the situation
  // would fire on every match.
  if (has_freq && !has_period) {
    WEX1_TRACE(wex1, WEX1_ERROR, "\nFREQTHRESH threshold without PERIODTHRS.");
    RejectRequest(PERIODMISSING);
  } else if (has_period && !has_freq) {
    WEX1_TRACE(wex1, WEX1_ERROR, "\nPERIODTHRS threshold without FREQTHRESH.");
    RejectRequest(FREQUENCYMISSING);
  }
}

void tvx_vxlogent_agent::TakeSample() {
  WEX1_Event ev(wex1, __func__);
  // A requester may ask for fewer rows than the agent's limit, never more.
  const long maxRows =
      RowLimit() > 0 && RowLimit() < gMaxRows ? RowLimit() : gMaxRows;
  const long batch = allocStep < maxRows ? allocStep : maxRows;
  rowCount = 0;
  if (pTheLogManager == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nLog Manager not found. Request terminating.");
    return;
  }
  leLogFile = leValidateFileName();
  if (leLogFile == nullptr) {
    return;
  }
  const Reading_Scope reading(pTheLogManager);
  const size_t bytes = static_cast<size_t>(batch) * sizeof(tvx_vxlogent_data_t);
  leRowBuffer = static_cast<tvx_vxlogent_data_t*>(malloc(bytes));
  if (leRowBuffer == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nMemory allocation for %d bytes failed. Request terminating.",
               static_cast<int>(bytes));
    return;
  }
  if (leGetEntrytimeThresholds()) {
    leReportCursor = leLogFile->lfStartReportRequest(&leThresholds);
    char why[PATHSIZE + NAMESIZE + 128];
    if (leReportCursor == nullptr &&
        leLogFile->lfReportUnreadable(why, sizeof why)) {
      RejectRequest(why);  // the requester learns why nothing came
    }
    // Every row comes from the one log and this node, and a report's rows
    // carry no thresholds and no sample or row number.
    const Constant_Columns constant(this, {ORIGINNODE, LOGPATH, LOGNAME,
                                           FREQUENCY, PERIOD, SAMPLENO, ROWNO});
    // The window's own bounds are checked here, as strncmp, and not again
    // as thresholds.
    const Sample_Range window(this, ENTRYTIME, leThresholds.StartTime,
                              leThresholds.EndTime, TIMESTAMPLENGTH);
    leCheckStart = window.LowTaken();
    leCheckEnd = window.HighTaken();
    if (leReportCursor != nullptr) {
      // The limit counts the rows the reply carries: those that match the
      // request's condition, not those read.
      bool more = true;
      while (more && rowCount < maxRows && !Abandoned()) {
        const long want =
            maxRows - rowCount < batch ? maxRows - rowCount : batch;
        const unsigned n = leGetLogEntries(static_cast<unsigned>(want));
        const Row_Side_Text side(reinterpret_cast<const char*>(leRowBuffer),
                                 sizeof *leRowBuffer, n, leEntryViews.data());
        if (n != 0 &&
            tvx_vxlogent_base::AddData(reinterpret_cast<char*>(leRowBuffer),
                                       static_cast<int>(n)) != 0) {
          break;  // out of memory (traced)
        }
        more = static_cast<long>(n) == want && SampleCanMatch();
      }
      if (more && rowCount >= maxRows && !Abandoned() &&
          leMoreMatchingRows()) {
        WEX1_TRACE(
            wex1, WEX1_FLOW,
            "\nMaximum report row limit of %ld reached. Request terminating.",
            maxRows);
        MarkRowsCut();
      }
      for (std::string& what :
           leLogFile->lfUnreadRotatedFiles(leReportCursor)) {
        AddUnread(std::move(what));
      }
      leLogFile->lfEndReportRequest(&leReportCursor);
    }
    leCheckStart = false;
    leCheckEnd = false;
  }
  free(leRowBuffer);
  leRowBuffer = nullptr;
}

bool tvx_vxlogent_agent::leMoreMatchingRows() {
  while (SampleCanMatch() &&
         leLogFile->lfGetNextLogEntry(&leRowBuffer[0], leReportCursor,
                                      &leThresholds) != nullptr) {
    if (leInWindow(leRowBuffer[0]) &&
        CheckForException(reinterpret_cast<const char*>(&leRowBuffer[0])) !=
            0) {
      return true;
    }
  }
  return false;
}

unsigned tvx_vxlogent_agent::leGetLogEntries(unsigned count) {
  WEX1_Event ev(wex1, __func__);
  unsigned i = 0;
  if (leEntryTexts.size() < count) {
    leEntryTexts.resize(count);
    leEntryViews.resize(count);
  }
  while (i < count &&
         leLogFile->lfGetNextLogEntry(&leRowBuffer[i], leReportCursor,
                                      &leThresholds) != nullptr) {
    if (leInWindow(leRowBuffer[i])) {
      const char* text = nullptr;
      size_t length = 0;
      if (!leLogFile->lfReportEntryText(leReportCursor, &text, &length)) {
        // A kind that keeps no text (login records): what the row says.
        text = leRowBuffer[i].entrydesc;
        length = sizeof leRowBuffer[i].entrydesc;
        while (length > 0 &&
               (text[length - 1] == ' ' || text[length - 1] == '\0')) {
          --length;
        }
      }
      leEntryTexts[i].assign(text, length);
      leEntryViews[i] = {leEntryTexts[i].data(), length,
                         leLogFile->lfReportEntryCut(leReportCursor)};
      ++i;
    }
  }
  return static_cast<unsigned>(ev.Result(i));
}

bool tvx_vxlogent_agent::leInWindow(const tvx_vxlogent_data_t& row) const {
  return (!leCheckStart ||
          CompareTimestamp(row.entrytime, leThresholds.StartTime) >= 0) &&
         (!leCheckEnd ||
          CompareTimestamp(row.entrytime, leThresholds.EndTime) <= 0);
}

Log_File* tvx_vxlogent_agent::leValidateFileName() {
  WEX1_Event ev(wex1, __func__);
  char path[PATHSIZE + NAMESIZE + 1] = "";
  char name[NAMESIZE + 1] = "";
  ResetFilterIndex();
  GIR1_FILTERINFO f;
  while (GetFilterInfo(&f) == 0) {
    const char* attr = f.Attribute != nullptr ? f.Attribute : "";
    const int size = f.ValueSize > 0 ? f.ValueSize : 0;
    if (strcmp(attr, LOGPATH) == 0 && path[0] == '\0') {
      ZEP_CopyUnpad(path, f.Value, size < PATHSIZE ? size : PATHSIZE);
      if (name[0] != '\0') {
        break;
      }
    } else if (strcmp(attr, LOGNAME) == 0 && name[0] == '\0') {
      ZEP_CopyUnpad(name, f.Value, size < NAMESIZE ? size : NAMESIZE);
      if (path[0] != '\0') {
        break;
      }
    }
  }
  if (path[0] == '\0' || name[0] == '\0') {
    return nullptr;
  }
  strncat(path, name, sizeof path - strlen(path) - 1);
  Log_File* log = pTheLogManager->lmFindLogObject(path);
  if (log == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, "\nLog file %s is not being monitored.", path);
  }
  return log;
}

bool tvx_vxlogent_agent::leGetEntrytimeThresholds() {
  WEX1_Event ev(wex1, __func__);
  bool result = true;
  ResetFilterIndex();
  GIR1_FILTERINFO f;
  while (GetFilterInfo(&f) == 0) {
    if (f.Attribute == nullptr || strcmp(f.Attribute, ENTRYTIME) != 0) {
      continue;
    }
    if (f.ValueSize >= static_cast<short>(sizeof leThresholds.StartTime)) {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nInvalid %s threshold; value length is %d. Threshold ignored.",
          ENTRYTIME, f.ValueSize);
      continue;
    }
    // A value shorter than a time stamp is read only up to its size and
    // completed with '0' characters, so it compares as the earliest moment
    // it names.
    char stamp[TIMESTAMPLENGTH];
    memset(stamp, '0', sizeof stamp);
    if (f.Value != nullptr && f.ValueSize > 0) {
      memcpy(stamp, f.Value, static_cast<size_t>(f.ValueSize));
    }
    if (f.Operator == GIR1_GE) {
      ZEP_CopyUnpad(leThresholds.StartTime, stamp, TIMESTAMPLENGTH);
      WEX1_TRACE(wex1, WEX1_FLOW, "\nReport start time = %s.",
                 leThresholds.StartTime);
      if (leThresholds.EndTime[0] != '\0') {
        break;
      }
    } else if (f.Operator == GIR1_LE) {
      ZEP_CopyUnpad(leThresholds.EndTime, stamp, TIMESTAMPLENGTH);
      WEX1_TRACE(wex1, WEX1_FLOW, "\nReport end time = %s.",
                 leThresholds.EndTime);
      if (leThresholds.StartTime[0] != '\0') {
        break;
      }
    } else {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nInvalid %s compare operator; value is %d. Threshold ignored.",
          ENTRYTIME, f.Operator);
    }
  }
  if (leThresholds.StartTime[0] == '\0' || leThresholds.EndTime[0] == '\0') {
    result = false;
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nReport start and/or end time missing. Terminating request.");
  }
  return ev.Result(result) != 0;
}

unsigned tvx_vxlogent_agent::AddData(char* rows, int count) {
  WEX1_Event ev(wex1, __func__);
  WEX1_TRACE(wex1, WEX1_DETAIL,
             "\nEvent passed to situation %s for evaluation.",
             situationName.c_str());
  // A pair or an absence keeps its rows' keys and times instead.
  if (Memory() != nullptr && Memory()->TakesRows()) {
    return static_cast<unsigned>(ev.Result(Memory()->Offer(rows, count)));
  }
  const bool both = leFreqThreshold != 0 && lePeriodThreshold != 0;
  const int32_t freq =
      both ? static_cast<int32_t>(leFreqThreshold < 0 ? -leFreqThreshold
                                                      : leFreqThreshold)
           : 0;
  const int32_t period = both ? static_cast<int32_t>(lePeriodThreshold) : 0;
  // Each row is evaluated as a copy with this situation's thresholds, so
  // that the rows stay as the caller gave them to every other situation.
  // A row that carries them already (the log workers' rows carry none, as
  // do the situations without a frequency) is evaluated as it is: nothing
  // below writes to it.
  unsigned rc = 0;
  for (int i = 0; i < count && rc == 0; ++i) {
    char* const given = rows + static_cast<size_t>(i) * rowSize;
    int32_t given_freq;
    int32_t given_period;
    memcpy(&given_freq, given + offsetof(tvx_vxlogent_data_t, freqthresh),
           sizeof given_freq);
    memcpy(&given_period, given + offsetof(tvx_vxlogent_data_t, periodthrs),
           sizeof given_period);
    rc = given_freq == freq && given_period == period
             ? tvx_vxlogent_base::AddData(given, 1)
             : leAddWithThresholds(given, freq, period);
  }
  return static_cast<unsigned>(ev.Result(rc));
}

unsigned tvx_vxlogent_agent::leAddWithThresholds(const char* row, int32_t freq,
                                                 int32_t period) {
  tvx_vxlogent_data_t copy;
  memcpy(&copy, row, sizeof copy);
  copy.freqthresh = freq;
  copy.periodthrs = period;
  return tvx_vxlogent_base::AddData(reinterpret_cast<char*>(&copy), 1);
}

int64_t tvx_vxlogent_agent::leEntrySeconds(const char* stamp) {
  return leStampSeconds.Of(stamp);
}

unsigned tvx_vxlogent_agent::InsertRow(const char* row) {
  WEX1_Event ev(wex1, __func__);
  if (leFreqThreshold == 0 || lePeriodThreshold == 0) {
    return static_cast<unsigned>(ev.Result(vandu::InsertRow(row)));
  }
  return static_cast<unsigned>(ev.Result(leInsertCounted(row)));
}

unsigned tvx_vxlogent_agent::leInsertCounted(const char* row) {
  WEX1_TRACE(wex1, WEX1_DETAIL,
             "\nPerforming frequency/period threshold checks for situation %s.",
             situationName.c_str());
  const auto* data = reinterpret_cast<const tvx_vxlogent_data_t*>(row);
  std::string key;
  if (!RowKey(row, &key)) {
    WEX1_TRACE(wex1, WEX1_DETAIL,
               "\nEvent has no key for situation %s. Event discarded.",
               situationName.c_str());
    return 0;
  }
  long count = 0;
  int64_t when = -1;
  {
    Posix_Mutex::Hold hold(&leCountLock);
    when = leEntrySeconds(data->entrytime);
    if (when < 0) {
      WEX1_TRACE(
          wex1, WEX1_ERROR,
          "\nEntry time %.16s cannot be converted for situation %s. Event discarded.",
          data->entrytime, situationName.c_str());
      return 0;
    }
    int64_t limit = static_cast<int64_t>(time(nullptr)) - lePeriodThreshold;
    if (limit < 0) {
      limit = 0;
    }
    // Keys whose newest event has left the period are forgotten, the least
    // recently used first.
    std::string_view old_key;
    for (Event_Window* w = leEventWindows.Oldest(&old_key);
         w != nullptr && w->Newest() <= limit;
         w = leEventWindows.Oldest(&old_key)) {
      leEventWindows.DropOldest();
    }
    // A key still counting is forgotten to make room for a new one (Touch
    // does so): traced and counted.
    if (leEventWindows.size() >= leEventWindows.Cap() &&
        leEventWindows.Find(key) == nullptr &&
        leEventWindows.Oldest(&old_key) != nullptr) {
      WEX1_TRACE(
          wex1, WEX1_FLOW,
          "\nSituation %s keeps at most %zu keys; key \"%.64s\" forgotten.",
          situationName.c_str(), leEventWindows.Cap(),
          std::string(old_key).c_str());
      KeyForgotten();
    }
    Event_Window& window = leEventWindows.Touch(key);
    if (!window.Add(when, limit)) {
      WEX1_TRACE(
          wex1, WEX1_FLOW,
          "\nEvent at %.16s is older than the period of %ld seconds of situation %s. Event discarded.",
          data->entrytime, static_cast<long>(lePeriodThreshold),
          situationName.c_str());
      return 0;
    }
    count = window.Count();
  }
  const long limit = static_cast<long>(leFreqThreshold < 0 ? -leFreqThreshold
                                                           : leFreqThreshold);
  // With a clear rule the alert fires once and its further rows are
  // counted towards its clearing.
  if (Memory() != nullptr && Memory()->Recovers() &&
      !Memory()->Counted(key, when, count >= limit, count)) {
    return 0;
  }
  if (leFreqThreshold > 0 && count < limit) {
    WEX1_TRACE(
        wex1, WEX1_FLOW,
        "\nEvent frequency of %ld is < the threshold of %ld for situation %s. Event discarded.",
        count, limit, situationName.c_str());
    return 0;
  }
  if (leFreqThreshold < 0 && count > limit) {
    WEX1_TRACE(
        wex1, WEX1_FLOW,
        "\nEvent frequency of %ld is > the threshold of %ld for situation %s. Event discarded.",
        count, limit, situationName.c_str());
    return 0;
  }
  WEX1_TRACE(
      wex1, WEX1_FLOW,
      "\nEvent frequency of %ld is %s the threshold of %ld for situation %s. Event accepted.",
      count, leFreqThreshold > 0 ? ">=" : "<=", limit, situationName.c_str());
  tvx_vxlogent_data_t accepted;
  memcpy(&accepted, row, sizeof accepted);
  accepted.freqthresh = static_cast<int32_t>(count);
  return InsertKeyedRow(reinterpret_cast<const char*>(&accepted), key);
}
