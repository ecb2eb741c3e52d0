// Request objects (vandu): samples, thresholds, dispatch and the events of
// a situation.
#include "framework/tables/request.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <atomic>
#include <map>

#include "framework/runtime/bounded_regex.h"
#include "framework/events/event_sink.h"
#include "framework/tables/row_json.h"
#include "framework/tables/table_manager.h"
#include "framework/runtime/trace.h"
#include "framework/situations/situation_memory.h"
#include "util/posix_mutex.h"
#include "util/process_wide.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

// A threshold record with the storage its pointers refer to.
struct vandu::Held {
  GIR1_FILTERINFO info{};
  std::string name;
  // Caches for the per-row check: the agent class evaluates this column
  // itself (see AgentEvaluates), and the table's place of the column.
  std::atomic<bool> agent{false};
  std::atomic<int> column{-1};
  // See SetPlainColumn: the type in the top bits, offset and width below;
  // 0 until set.
  std::atomic<uint64_t> plain{0};
  // On a column the running sample fills alike in every row (see
  // Constant_Columns), or implied by the range of its rows (see
  // Sample_Range); set and read by the thread taking the sample.
  bool constant = false;
  bool implied = false;
  std::string text;
  int64_t integer = 0;
  int32_t integer32 = 0;
  long relative_seconds = 0;
  char stamp[17] = {};
  std::unique_ptr<RE2> regex;
};

namespace {

// Events dispatched on this thread (see ThreadEventsDispatched).
thread_local uint64_t t_events_dispatched = 0;

struct Pin {
  vandu* object;
  int uses;
  bool doomed;
};

// The handle of every live request, with the pin that keeps it alive while
// a caller uses it.
struct Handle_Table {
  Posix_Mutex mu;
  std::map<unsigned, Pin> pins GUARDED_BY(mu);
  unsigned next GUARDED_BY(mu) = 0;
};

Handle_Table& Handles() {
  return ProcessWide<Handle_Table>();
}

int Compare(int oper, int cmp) {
  switch (oper) {
    case GIR1_EQ:
      return cmp == 0;
    case GIR1_NE:
      return cmp != 0;
    case GIR1_GE:
      return cmp >= 0;
    case GIR1_LE:
      return cmp <= 0;
    case GIR1_LT:
      return cmp < 0;
    case GIR1_GT:
      return cmp > 0;
    default:
      return 0;
  }
}

int64_t ReadInteger(const GIR1_FILTERINFO* value) {
  switch (value->ValueSize) {
    case 2: {
      int16_t v;
      memcpy(&v, value->Value, sizeof v);
      return v;
    }
    case 4: {
      int32_t v;
      memcpy(&v, value->Value, sizeof v);
      return v;
    }
    case 8: {
      int64_t v;
      memcpy(&v, value->Value, sizeof v);
      return v;
    }
    default:
      return 0;
  }
}

int CompareIntegers(int oper, int64_t field, const GIR1_FILTERINFO* value) {
  if (value->DataType != GIR1_INTEGER) {
    return 0;
  }
  const int64_t v = ReadInteger(value);
  return Compare(oper, field < v ? -1 : (field > v ? 1 : 0));
}

}  // namespace

vandu::vandu(RequestDetail* detail, ContextInfo* context, TableManager* mgr)
    : applName(detail->appl),
      tableName(detail->table),
      sampleType(detail->sampleType),
      interval(detail->interval),
      situationName(detail->situationName),
      identifier(context != nullptr ? context->requestId : 0),
      manager(mgr) {
  for (const Threshold_Spec& spec : detail->thresholds) {
    auto h = std::make_unique<Held>();
    h->name = spec.column;
    h->info.Operator = spec.oper;
    if (spec.is_integer) {
      h->integer = spec.integer;
      h->info.DataType = GIR1_INTEGER;
      if (!spec.raw_integer.empty()) {
        h->text = spec.raw_integer;
        h->info.Value = h->text.data();
        h->info.ValueSize =
            static_cast<short>(h->text.size() > 32767 ? 32767 : h->text.size());
      } else if (spec.integer >= INT32_MIN && spec.integer <= INT32_MAX) {
        h->integer32 = static_cast<int32_t>(spec.integer);
        h->info.ValueSize = 4;
        h->info.Value = reinterpret_cast<const char*>(&h->integer32);
      } else {
        h->info.ValueSize = 8;
        h->info.Value = reinterpret_cast<const char*>(&h->integer);
      }
    } else {
      h->info.DataType = GIR1_TEXT;
      h->relative_seconds = spec.relative_seconds;
      if (spec.relative_seconds > 0) {
        relativeThresholds = true;
        HOV_FormatTimestamp(time(nullptr) - spec.relative_seconds, h->stamp);
        h->info.Value = h->stamp;
        h->info.ValueSize = 16;
      } else {
        h->text = spec.text;
        h->info.Value = h->text.data();
        h->info.ValueSize =
            static_cast<short>(h->text.size() > 32767 ? 32767 : h->text.size());
      }
      if (spec.oper == GIR1_REGEX) {
        std::string why;
        h->regex = CompileRegex(spec.text, &why);
        if (h->regex == nullptr) {
          RejectRequest("bad regular expression for " + spec.column + ": " +
                        why);
        }
      }
    }
    h->info.Attribute = h->name.c_str();
    held.push_back(std::move(h));
  }
  clauses = detail->clauses;
  if (!clauses.severity.empty() && clauses.severity != "warning") {
    alertMembers += ",\"severity\":";
    JsonAppendString(&alertMembers, clauses.severity);
  }
  for (size_t i = 0; i < clauses.labels.size(); ++i) {
    alertMembers += i == 0 ? ",\"labels\":{" : ",";
    JsonAppendString(&alertMembers, clauses.labels[i].first);
    alertMembers += ":";
    JsonAppendString(&alertMembers, clauses.labels[i].second);
    alertMembers += i + 1 == clauses.labels.size() ? "}" : "";
  }
  if (clauses.resolve > 0) {
    alertMembers += ",\"resolve\":" + std::to_string(clauses.resolve);
  }
  if (!clauses.per_column.empty()) {
    std::string why;
    perRegex = CompileRegex(clauses.per_regex, &why);
    if (perRegex == nullptr) {
      RejectRequest("bad regular expression for PER " + clauses.per_column +
                    ": " + why);
    }
  }
  {
    Posix_Mutex::Hold hold(&throttleMu);
    throttled.SetCap(MaxKeys());
  }
  Handle_Table& t = Handles();
  Posix_Mutex::Hold g(&t.mu);
  handle = ++t.next;
  t.pins[handle] = Pin{this, 0, false};
}

vandu::~vandu() {
  {
    Handle_Table& t = Handles();
    Posix_Mutex::Hold g(&t.mu);
    t.pins.erase(handle);
  }
  free(rowData);
}

void vandu::PrintSelf() {
  WEX1_TRACE(wex1, WEX1_FLOW, "\nvandu @%p <%u,%u> %s.%s samptype=%d rows=%d",
             static_cast<void*>(this), identifier, handle, applName.c_str(),
             tableName.c_str(), sampleType, rowCount);
}

unsigned vandu::ExecuteCommand(const char* /*command*/) {
  return 0;
}

void vandu::CommandCompleted(VanduAutomationCapsule* /*capsule*/) {}

unsigned vandu::InsertRow(const char* row) {
  if (perRegex != nullptr) {
    // A keyed situation collects only rows that have a key.
    std::string key;
    return RowKey(row, &key) ? InsertKeyedRow(row, key) : 0;
  }
  return AppendRow(row);
}

unsigned vandu::AppendRow(const char* row) {
  if (rowSize <= 0) {
    return 1;
  }
  if (rowSink) {
    rowSink(row);
    ++rowCount;
    return 0;
  }
  if (rowCount >= rowsAllocated) {
    // Grown by half at a time: many rows cost a few copies, not one per
    // step of rows.
    int step = allocStep > 0 ? allocStep : 1;
    if (step < rowsAllocated / 2) {
      step = rowsAllocated / 2;
    }
    const size_t want = static_cast<size_t>(rowsAllocated + step) *
                        static_cast<size_t>(rowSize);
    char* grown = static_cast<char*>(realloc(rowData, want));
    if (grown == nullptr) {
      WEX1_TRACE(wex1, WEX1_ERROR,
                 "\nRow array of %zu bytes cannot be allocated.", want);
      return 1;
    }
    rowData = grown;
    rowsAllocated += step;
  }
  memcpy(rowData + static_cast<size_t>(rowCount) * rowSize, row, rowSize);
  ++rowCount;
  return 0;
}

void vandu::ResolveRelative() {
  if (!relativeThresholds) {
    return;
  }
  const long now = static_cast<long>(time(nullptr));
  for (auto& h : held) {
    if (h->relative_seconds > 0) {
      HOV_FormatTimestamp(now - h->relative_seconds, h->stamp);
    }
  }
}

void vandu::AgentEvaluates(const char* column) {
  agentColumns.emplace_back(column);
  for (auto& h : held) {
    if (h->name == column) {
      h->agent.store(true, std::memory_order_relaxed);
    }
  }
}

int vandu::ThresholdColumn(const GIR1_FILTERINFO* value) const {
  const Held* h = FindHeld(value);
  return h != nullptr ? h->column.load(std::memory_order_relaxed) : -1;
}

void vandu::SetThresholdColumn(const GIR1_FILTERINFO* value, int index) {
  for (auto& h : held) {
    if (&h->info == value) {
      h->column.store(index, std::memory_order_relaxed);
      return;
    }
  }
}

void vandu::SetPlainColumn(const GIR1_FILTERINFO* value, Plain_Type type,
                           int offset, int width) {
  if (offset < 0 || offset > 0xFFFF || width < 0 || width > 0xFFFF) {
    return;
  }
  for (auto& h : held) {
    if (&h->info == value) {
      h->plain.store(static_cast<uint64_t>(type) << 32 |
                         static_cast<uint64_t>(offset) << 16 |
                         static_cast<uint64_t>(width),
                     std::memory_order_relaxed);
      return;
    }
  }
}

int vandu::PlainIsException(const Held& h, uint64_t plain, const char* row) {
  const char* const field = row + ((plain >> 16) & 0xFFFF);
  switch (static_cast<Plain_Type>(plain >> 32)) {
    case Plain_Type::kText:
      return IsException(h.info.Operator, field, &h.info,
                         static_cast<int>(plain & 0xFFFF));
    case Plain_Type::kUint32: {
      uint32_t u;
      memcpy(&u, field, sizeof u);
      return IsException(h.info.Operator, u, &h.info);
    }
    case Plain_Type::kInt32: {
      int32_t i;
      memcpy(&i, field, sizeof i);
      return IsException(h.info.Operator, i, &h.info);
    }
  }
  return 0;
}

bool vandu::AgentColumn(const std::string& column) const {
  for (const std::string& c : agentColumns) {
    if (c == column) {
      return true;
    }
  }
  return false;
}

std::vector<Required_Text> vandu::RequiredTexts() const {
  std::vector<Required_Text> out;
  if (memory != nullptr && memory->Paired()) {
    return out;  // a row may meet the second condition instead
  }
  size_t compared = 0;  // thresholds CheckForException compares
  for (const auto& h : held) {
    if (!h->agent.load(std::memory_order_relaxed)) {
      ++compared;
    }
  }
  for (const auto& h : held) {
    const short op = h->info.Operator;
    if (h->info.DataType != GIR1_TEXT || h->relative_seconds > 0 ||
        (op != GIR1_EQ && op != GIR1_CONTAINS && op != GIR1_REGEX)) {
      continue;
    }
    if (AgentColumn(h->name) || (op == GIR1_REGEX && h->regex == nullptr)) {
      continue;
    }
    Required_Text r;
    r.column = h->name;
    if (op == GIR1_REGEX) {
      r.text = h->regex->pattern();
      r.regex = true;
    } else {
      r.text.assign(h->info.Value, static_cast<size_t>(UnpaddedLength(
                                       h->info.Value, h->info.ValueSize)));
      // IsException compares a `~` value without its padding, as `text`.
      r.decides = op == GIR1_CONTAINS && compared == 1 &&
                  !h->agent.load(std::memory_order_relaxed);
    }
    if (!r.text.empty()) {
      out.push_back(std::move(r));
    }
  }
  return out;
}

vandu::Constant_Columns::Constant_Columns(
    vandu* v, std::initializer_list<const char*> columns)
    : v_(v) {
  v->constantColumns.assign(columns.begin(), columns.end());
  for (auto& h : v->held) {
    h->constant = v->SampleConstantColumn(h->name.c_str());
  }
  v->constantState = Constant_State::kPending;
}

vandu::Constant_Columns::~Constant_Columns() {
  v_->constantColumns.clear();
  for (auto& h : v_->held) {
    h->constant = false;
  }
  v_->constantState = Constant_State::kNone;
}

namespace {

// Whether the `width` bytes at `text` are all past the blank: no NUL, no
// padding, no control character.
bool AllPastBlank(const char* text, int width) {
  for (int i = 0; i < width; ++i) {
    if (static_cast<unsigned char>(text[i]) <= ' ') {
      return false;
    }
  }
  return true;
}

}  // namespace

vandu::Sample_Range::Sample_Range(vandu* v, const char* column, const char* low,
                                  const char* high, int width)
    : v_(v) {
  const bool low_whole = AllPastBlank(low, width);
  const bool high_whole = AllPastBlank(high, width);
  for (auto& h : v->held) {
    const GIR1_FILTERINFO& f = h->info;
    if (strcasecmp(h->name.c_str(), column) != 0 || f.DataType != GIR1_TEXT ||
        h->relative_seconds > 0 || f.Value == nullptr ||
        UnpaddedLength(f.Value, f.ValueSize) != width) {
      continue;
    }
    if (f.Operator == GIR1_GE && low_whole &&
        memcmp(f.Value, low, width) == 0) {
      h->implied = true;
      low_ = true;
    } else if (f.Operator == GIR1_LE && high_whole &&
               memcmp(f.Value, high, width) == 0) {
      h->implied = true;
      high_ = true;
    }
  }
}

vandu::Sample_Range::~Sample_Range() {
  for (auto& h : v_->held) {
    h->implied = false;
  }
}

bool vandu::SampleConstantColumn(const char* column) const {
  for (const std::string& c : constantColumns) {
    if (strcasecmp(c.c_str(), column) == 0) {
      return true;
    }
  }
  return false;
}

int vandu::CheckForException(const char* row) {
  if (provenRow != nullptr && constantState == Constant_State::kNone &&
      memcmp(row + provenOffset, provenRow + provenOffset, provenWidth) == 0) {
    // The deciding column is the one the prefilter found its text in.
    if (sampleType == SAMPLE_SITUATION) {
      rowsMatched.fetch_add(1, std::memory_order_relaxed);
    }
    return 1;
  }
  ResolveRelative();
  if (constantState == Constant_State::kPending) {
    // What the first row makes of the thresholds on constant columns, every
    // row of the sample would.
    constantState = Constant_State::kPassed;
    for (const auto& h : held) {
      if (h->constant && !h->agent.load(std::memory_order_relaxed) &&
          ColumnIsException(row, h->name.c_str(), h->info.Operator, &h->info) ==
              0) {
        constantState = Constant_State::kFailed;
        break;
      }
    }
  }
  if (constantState == Constant_State::kFailed) {
    return 0;
  }
  const bool settled = constantState == Constant_State::kPassed;
  for (const auto& h : held) {
    if (h->agent.load(std::memory_order_relaxed) || (settled && h->constant) ||
        h->implied) {
      continue;
    }
    const uint64_t plain = h->plain.load(std::memory_order_relaxed);
    if (plain != 0 ? PlainIsException(*h, plain, row) == 0
                   : ColumnIsException(row, h->name.c_str(), h->info.Operator,
                                       &h->info) == 0) {
      return 0;
    }
  }
  if (sampleType == SAMPLE_SITUATION) {
    rowsMatched.fetch_add(1, std::memory_order_relaxed);
  }
  return 1;
}

unsigned vandu::AddData(char* rows, int count) {
  unsigned rc = 0;
  for (int i = 0; i < count && rc == 0; ++i) {
    const char* row = rows + static_cast<size_t>(i) * rowSize;
    if (CheckForException(row) != 0) {
      rc = InsertRow(row);
    }
  }
  return rc;
}

const vandu::Held* vandu::FindHeld(const GIR1_FILTERINFO* value) const {
  for (const auto& h : held) {
    if (&h->info == value) {
      return h.get();
    }
  }
  return nullptr;
}

bool TextContains(const char* text, size_t length, const char* part,
                  size_t size) {
  if (size == 0) {
    return true;
  }
  if (size > length) {
    return false;
  }
  if (size == 1) {
    return memchr(text, part[0], length) != nullptr;
  }
  // The places where `part` may start: [0, starts).
  const size_t starts = length - size + 1;
  const auto rest_matches = [text, part, size](size_t at) {
    return memcmp(text + at + 1, part + 1, size - 2) == 0;
  };
#if defined(__SSE2__)
  if (starts >= 16) {
    const __m128i first = _mm_set1_epi8(part[0]);
    const __m128i last = _mm_set1_epi8(part[size - 1]);
    // Of the 16 places from `at`, those whose first and last bytes are the
    // part's (all ones in their byte).
    const auto screen = [text, size, first, last](size_t at) {
      const __m128i a =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
      const __m128i b = _mm_loadu_si128(
          reinterpret_cast<const __m128i*>(text + at + size - 1));
      return _mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last));
    };
    const auto found = [&screen, &rest_matches](size_t at) {
      for (unsigned places =
               static_cast<unsigned>(_mm_movemask_epi8(screen(at)));
           places != 0; places &= places - 1) {
        if (rest_matches(at + static_cast<size_t>(__builtin_ctz(places)))) {
          return true;
        }
      }
      return false;
    };
    // Of the 16 places from `at`, those whose last byte is the part's: a
    // rougher screen at half the cost, for the wide stretches (a field's
    // padding) where the part's last byte never is.
    const auto ends = [text, size, last](size_t at) {
      return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(
                                text + at + size - 1)),
                            last);
    };
    // 64 places at a time while none is screened in, then 16; the last
    // block moved back to end at `starts` (places looked at again change
    // nothing).
    size_t at = 0;
    for (; at + 64 <= starts; at += 64) {
      const __m128i any =
          _mm_or_si128(_mm_or_si128(ends(at), ends(at + 16)),
                       _mm_or_si128(ends(at + 32), ends(at + 48)));
      if (_mm_movemask_epi8(any) != 0 &&
          (found(at) || found(at + 16) || found(at + 32) || found(at + 48))) {
        return true;
      }
    }
    for (; at + 16 <= starts; at += 16) {
      if (found(at)) {
        return true;
      }
    }
    return at < starts && found(starts - 16);
  }
#endif
  for (size_t at = 0; at < starts; ++at) {
    if (text[at] == part[0] && text[at + size - 1] == part[size - 1] &&
        rest_matches(at)) {
      return true;
    }
  }
  return false;
}

int vandu::IsException(int oper, const char* field,
                       const GIR1_FILTERINFO* value, int length) {
  if (value == nullptr || field == nullptr || length < 0) {
    return 0;
  }
  const int flen = UnpaddedLength(field, length);
  const char* v = value->Value != nullptr ? value->Value : "";
  int vlen = value->ValueSize > 0 ? value->ValueSize : 0;
  if (value->DataType == GIR1_TEXT) {
    vlen = UnpaddedLength(v, vlen);
  }
  switch (oper) {
    case GIR1_CONTAINS: {
      if (vlen == 0) {
        return 1;
      }
      if (vlen > flen) {
        return 0;
      }
      return TextContains(field, static_cast<size_t>(flen), v,
                          static_cast<size_t>(vlen));
    }
    case GIR1_REGEX: {
      const Held* h = FindHeld(value);
      if (h == nullptr || h->regex == nullptr) {
        return 0;
      }
      return RegexFinds(*h->regex, field, static_cast<size_t>(flen));
    }
    default: {
      const int n = flen < vlen ? flen : vlen;
      int cmp = n > 0 ? memcmp(field, v, n) : 0;
      if (cmp == 0) {
        cmp = flen < vlen ? -1 : (flen > vlen ? 1 : 0);
      }
      return Compare(oper, cmp);
    }
  }
}

int vandu::IsException(int oper, int32_t field, const GIR1_FILTERINFO* value) {
  return value != nullptr ? CompareIntegers(oper, field, value) : 0;
}

int vandu::IsException(int oper, uint32_t field, const GIR1_FILTERINFO* value) {
  return value != nullptr
             ? CompareIntegers(oper, static_cast<int64_t>(field), value)
             : 0;
}

int vandu::GetFilterInfo(GIR1_FILTERINFO* info) {
  if (filterIndex >= held.size()) {
    return 1;
  }
  *info = held[filterIndex++]->info;
  return 0;
}

void vandu::DumpThresholds() {
  if (!WEX1_On(wex1, WEX1_FLOW)) {
    return;
  }
  for (const auto& h : held) {
    if (h->info.DataType == GIR1_INTEGER) {
      WEX1_Printf(wex1, "\t::threshold %s oper=%d value=%lld\n",
                  h->name.c_str(), h->info.Operator,
                  static_cast<long long>(ReadInteger(&h->info)));
    } else {
      WEX1_Printf(wex1, "\t::threshold %s oper=%d value=\"%.*s\"\n",
                  h->name.c_str(), h->info.Operator,
                  static_cast<int>(h->info.ValueSize), h->info.Value);
    }
  }
}

unsigned vandu::InsertKeyedRow(const char* row, const std::string& key) {
  if (!key.empty() || !rowKeys.empty()) {
    rowKeys.resize(static_cast<size_t>(rowCount));
    rowKeys.push_back(key);
  }
  const unsigned rc = AppendRow(row);
  if (rc != 0 && !rowKeys.empty()) {
    rowKeys.pop_back();
  }
  return rc;
}

bool vandu::RowKey(const char* row, std::string* key) const {
  key->clear();
  if (perRegex == nullptr) {
    return true;
  }
  const char* field = row + perOffset;
  return RegexKey(*perRegex, field,
                  static_cast<size_t>(UnpaddedLength(field, perWidth)), key);
}

bool vandu::Throttle(const std::string& key, long now, long* suppressed,
                     std::string* lost_key, long* lost) {
  // Keys whose interval has ended with nothing held back are forgotten here,
  // the oldest first; AnnounceSuppressed sends and forgets the others.
  std::string_view old_key;
  for (Throttle_State* s = throttled.Oldest(&old_key);
       s != nullptr && now - s->last >= clauses.throttle && s->suppressed == 0;
       s = throttled.Oldest(&old_key)) {
    throttled.DropOldest();
  }
  Throttle_State* held = throttled.Find(key);
  if (held != nullptr && now - held->last < clauses.throttle) {
    ++held->suppressed;
    return false;
  }
  if (held == nullptr && throttled.size() >= throttled.Cap()) {
    const Throttle_State* s = throttled.Oldest(&old_key);
    if (s != nullptr && s->suppressed > 0) {
      lost_key->assign(old_key.data(), old_key.size());
      *lost = s->suppressed;
    }
    KeyForgotten();
  }
  Throttle_State& s = throttled.Touch(key);
  *suppressed = s.suppressed;
  s.last = now;
  s.suppressed = 0;
  return true;
}

void vandu::KeyForgotten() {
  if (manager != nullptr) {
    manager->CountKeysEvicted(1);
  }
  uint64_t held = 0;
  Posix_Mutex::Hold hold(&forgetMu);
  if (forgetReport.Due(&held)) {
    WEX1_TRACE(
        wex1, WEX1_ERROR,
        "\nSituation %s keeps at most %zu keys; %llu keys were forgotten with their counts since the last report (KEYS raises the most).",
        situationName.c_str(), MaxKeys(),
        static_cast<unsigned long long>(held + 1));
  }
}

void vandu::SetMemory(std::unique_ptr<Situation_Memory> m) {
  memory = std::move(m);
}

void vandu::CountDispatched() {
  eventsDispatched.fetch_add(1, std::memory_order_relaxed);
  ++t_events_dispatched;
}

unsigned vandu::AnnounceSuppressed(long now) {
  if (memory != nullptr && sampleType == SAMPLE_SITUATION && !stopped &&
      memory->Sweep() != 0) {
    return 1;
  }
  if (clauses.throttle <= 0 || sampleType != SAMPLE_SITUATION || stopped) {
    return 0;
  }
  std::vector<std::pair<std::string, long>> ended;
  {
    Posix_Mutex::Hold hold(&throttleMu);
    std::string_view key;
    for (Throttle_State* s = throttled.Oldest(&key);
         s != nullptr && now - s->last >= clauses.throttle;
         s = throttled.Oldest(&key)) {
      if (s->suppressed > 0) {
        ended.emplace_back(std::string(key), s->suppressed);
      }
      throttled.DropOldest();
    }
  }
  unsigned rc = 0;
  for (const auto& e : ended) {
    if (!AnnounceHeldBack(e.first, e.second)) {
      rc = 1;
    }
  }
  return rc;
}

const std::string& vandu::AlertMembers() const {
  static const std::string kSilent = ",\"alerts\":false";
  return alerting.load(std::memory_order_relaxed) ? alertMembers : kSilent;
}

bool vandu::AnnounceHeldBack(const std::string& key, long count) {
  Event_Record event;
  event.alert_members = AlertMembers();
  event.situation = situationName;
  event.table = applName + "." + tableName;
  if (Keyed()) {
    event.has_key = true;
    event.key = key;
  }
  event.suppressed = count;
  return Event_Sink::Write(event);
}

unsigned vandu::Dispatch() {
  if (sampleType != SAMPLE_SITUATION || stopped) {
    return 0;
  }
  unsigned rc = 0;
  const long now = static_cast<long>(time(nullptr));
  static const std::string kNoKey;
  // One record serves every event of the request: its texts keep their
  // room.
  if (eventRecord == nullptr) {
    eventRecord = std::make_unique<Event_Record>();
    eventRecord->situation = situationName;
    eventRecord->table = applName + "." + tableName;
    // Set before the situation went live, like the names.
    eventRecord->has_key = Keyed();
    eventRecord->run = runCommand;
  }
  Event_Record& event = *eventRecord;
  for (int i = 0; i < rowCount; ++i) {
    const std::string& key =
        static_cast<size_t>(i) < rowKeys.size() ? rowKeys[i] : kNoKey;
    long suppressed = 0;
    if (clauses.throttle > 0) {
      std::string lost_key;
      long lost = 0;
      bool pass;
      {
        Posix_Mutex::Hold hold(&throttleMu);
        pass = Throttle(key, now, &suppressed, &lost_key, &lost);
      }
      // A key forgotten to make room does not take its held-back count along.
      if (lost > 0 && !AnnounceHeldBack(lost_key, lost)) {
        rc = 1;
      }
      if (!pass) {
        eventsSuppressed.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
    }
    if (eventJson == nullptr) {
      eventJson = std::make_unique<Row_Json_Writer>(*this);
    }
    eventJson->EntryTime(Row(i), &event.entrytime);
    event.row.clear();
    eventJson->Append(Row(i), &event.row, Row_Side_Text::Find(Row(i)));
    if (Keyed()) {  // else the key stays empty
      event.key = key;
    }
    if (memory != nullptr && memory->Recovers()) {
      memory->Decorate(key, Row(i), &event);
    }
    if (event.alert_members != AlertMembers()) {
      event.alert_members = AlertMembers();
    }
    event.suppressed = suppressed;
    if (!runCommand.empty()) {
      event.run_env = RowToEnvironment(*this, Row(i));
      if (Keyed()) {
        // Cut at a NUL, which would start an item of its own.
        event.run_env.append("QOR_KEY=").append(key.c_str()).push_back('\0');
      }
    }
    eventsDispatched.fetch_add(1, std::memory_order_relaxed);
    ++t_events_dispatched;
    if (!Event_Sink::Write(event)) {
      rc = 1;
    }
  }
  return rc;
}

uint64_t vandu::ThreadEventsDispatched() {
  return t_events_dispatched;
}

void vandu::Stopped(int reason) {
  stopped = true;
  stopReason = reason;
  WEX1_TRACE(wex1, WEX1_FLOW, "\nRequest %s.%s (%s) stopped; reason %d.",
             applName.c_str(), tableName.c_str(), situationName.c_str(),
             reason);
}

void vandu::Stop() {
  stopped = true;
}

vandu* vandu::UseHandle(unsigned h) {
  Handle_Table& t = Handles();
  Posix_Mutex::Hold g(&t.mu);
  auto it = t.pins.find(h);
  if (it == t.pins.end() || it->second.doomed) {
    return nullptr;
  }
  ++it->second.uses;
  return it->second.object;
}

void vandu::DAV1_Drop(unsigned h) {
  vandu* doomed = nullptr;
  {
    Handle_Table& t = Handles();
    Posix_Mutex::Hold g(&t.mu);
    auto it = t.pins.find(h);
    if (it == t.pins.end()) {
      return;
    }
    if (it->second.uses > 0) {
      --it->second.uses;
    }
    if (it->second.uses == 0 && it->second.doomed) {
      doomed = it->second.object;
    }
  }
  delete doomed;
}

void vandu::Destroy(vandu* v) {
  if (v == nullptr) {
    return;
  }
  if (v->listed.load(std::memory_order_acquire) && v->manager != nullptr) {
    v->manager->RemoveLive(v);
  }
  {
    Handle_Table& t = Handles();
    Posix_Mutex::Hold g(&t.mu);
    auto it = t.pins.find(v->handle);
    if (it != t.pins.end() && it->second.uses > 0) {
      it->second.doomed = true;
      return;
    }
  }
  delete v;
}
