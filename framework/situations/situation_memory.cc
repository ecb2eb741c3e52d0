// A remembering situation's glue between its rows, its per-key state and
// the event sink (see situation_memory.h).
#include "framework/situations/situation_memory.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "framework/events/event_sink.h"
#include "framework/runtime/bounded_regex.h"
#include "framework/situations/condition.h"
#include "framework/tables/request.h"
#include "framework/tables/row_json.h"
#include "util/monotonic_ms.h"
#include "util/process_wide.h"

#include <re2/re2.h>

namespace {

// The wall clock at the first look, against the monotonic clock then.
struct Clock_Anchor {
  Clock_Anchor()
      : offset(static_cast<int64_t>(time(nullptr)) * 1000 - MonotonicMs()) {}
  const int64_t offset;
};

const char* StateOf(State_Event::Kind k) {
  return k == State_Event::Kind::kBack || k == State_Event::Kind::kResolved
             ? "resolved"
             : "firing";
}

// Unpadded length of a text field.
size_t Unpadded(const char* field, size_t width) {
  while (width > 0 && (field[width - 1] == ' ' || field[width - 1] == '\0')) {
    --width;
  }
  return width;
}

}  // namespace

int64_t Situation_Memory::NowMs() {
  return MonotonicMs() + ProcessWide<Clock_Anchor>().offset;
}

std::string Situation_Memory::FormatTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  char buf[32] = "";
  if (gmtime_r(&t, &utc) != nullptr) {
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  }
  return buf;
}

std::unique_ptr<Situation_Memory> Situation_Memory::Make(vandu& v,
                                                         std::string* err) {
  err->clear();
  const Situation_Clauses& c = v.Clauses();
  if (!c.Remembers()) {
    return nullptr;
  }
  if (v.TableName() != "VXLOGENT") {
    *err =
        "THEN, WITHOUT, ABSENT and CLEAR apply to VXLOGENT situations, not " +
        v.ApplName() + "." + v.TableName();
    return nullptr;
  }
  if (!c.per_column.empty()) {
    std::string why;
    std::unique_ptr<RE2> re = CompileRegex(c.per_regex, &why);
    if (re == nullptr || re->NumberOfCapturingGroups() < 1) {
      *err =
          "PER " + c.per_column +
          " needs a regular expression with a capture group: with THEN, WITHOUT, ABSENT or CLEAR the key is what the group captures";
      return nullptr;
    }
  }
  if (c.expected && !c.per_column.empty()) {
    *err = "ABSENT ... EXPECTED applies to a situation without PER";
    return nullptr;
  }
  if (c.clear_max >= 0) {
    bool threshold = false;
    v.ResetFilterIndex();
    GIR1_FILTERINFO f;
    while (v.GetFilterInfo(&f) == 0) {
      if (f.Attribute != nullptr && strcmp(f.Attribute, "FREQTHRESH") == 0 &&
          (f.Operator == GIR1_GE || f.Operator == GIR1_GT)) {
        threshold = true;
      }
    }
    v.ResetFilterIndex();
    if (!threshold) {
      *err =
          "CLEAR needs a threshold to clear: FREQTHRESH >= N AND PERIODTHRS == SECONDS";
      return nullptr;
    }
  }
  State_Settings s;
  s.then = c.then;
  s.without = c.without;
  s.within = c.within;
  s.absent = c.absent;
  s.expected = c.expected;
  s.clear_max = c.clear_max;
  s.clear_within = c.clear_within;
  s.max_keys = v.MaxKeys();
  std::unique_ptr<Situation_Memory> m(new Situation_Memory(v, s));
  m->takes_rows_ = c.within > 0 || c.absent > 0;
  if (c.within > 0) {
    const std::string table = v.ApplName() + "." + v.TableName();
    if (!c.second_table.empty()) {
      TableManager* second = FindTable(c.second_table, err);
      if (second == nullptr) {
        return nullptr;
      }
      if (second != v.Manager()) {
        *err = "a pair's conditions watch one table: the first watches " +
               table + ", the second " + c.second_table;
        return nullptr;
      }
    }
    RequestDetail d;
    d.sampleType = SAMPLE_SITUATION;
    d.situationName = v.SituationName();
    d.thresholds = c.second;
    m->second_ = HOV_CreateRequest(table, &d, err);
    if (m->second_ == nullptr) {
      *err = "second condition: " + *err;
      return nullptr;
    }
  }
  for (int i = 0; i < v.NumColumns(); ++i) {
    ColumnInfo info{};
    if (v.GetColumnInfo(&info, i) != 0 || info.AttributeName == nullptr) {
      continue;
    }
    const std::string name = info.AttributeName;
    if (name == "entrytime") {
      m->time_offset_ = info.Offset;
    } else if (name == "logpath") {
      m->path_offset_ = info.Offset;
      m->path_width_ = info.Width;
    } else if (name == "logname") {
      m->name_offset_ = info.Offset;
      m->name_width_ = info.Width;
      m->has_log_ = true;
    } else if (name == "originnode") {
      m->host_offset_ = info.Offset;
      m->host_width_ = info.Width;
      m->has_host_ = true;
    }
  }
  if (c.expected) {
    Posix_Mutex::Hold hold(&m->mu_);
    const int64_t now = NowMs();
    m->state_.Seen("", now / 1000, now, &m->raised_);
    m->raised_.clear();
  }
  return m;
}

Situation_Memory::Situation_Memory(vandu& v, const State_Settings& settings)
    : v_(v), settings_(settings), state_(settings) {}

Situation_Memory::~Situation_Memory() {
  vandu::Destroy(second_);
}

bool Situation_Memory::Key(const char* row, std::string* key) {
  if (v_.Keyed() || settings_.absent <= 0 || settings_.expected) {
    return v_.RowKey(row, key);
  }
  // An absence without PER: per log.
  key->clear();
  if (has_log_) {
    key->assign(row + path_offset_, Unpadded(row + path_offset_, path_width_));
    key->append(row + name_offset_, Unpadded(row + name_offset_, name_width_));
  }
  return true;
}

int64_t Situation_Memory::EntrySeconds(const char* row) {
  return stamp_seconds_.Of(row + time_offset_);
}

void Situation_Memory::Host(const char* row) {
  if (has_host_) {
    const size_t n = Unpadded(row + host_offset_, host_width_);
    if (host_.size() != n || memcmp(host_.data(), row + host_offset_, n) != 0) {
      host_.assign(row + host_offset_, n);
    }
  }
}

unsigned Situation_Memory::Offer(const char* rows, int count) {
  unsigned rc = 0;
  const int size = v_.RowSize();
  Posix_Mutex::Hold hold(&mu_);
  const int64_t now = NowMs();
  for (int i = 0; i < count; ++i) {
    const char* row = rows + static_cast<size_t>(i) * size;
    const bool first = v_.CheckForException(row) != 0;
    const bool second =
        second_ != nullptr && second_->CheckForException(row) != 0;
    if ((!first && !second) || !Key(row, &key_)) {
      continue;
    }
    const int64_t when = EntrySeconds(row);
    if (when < 0) {
      continue;
    }
    Host(row);
    raised_.clear();
    if (settings_.within > 0) {
      // A row that meets both ends the waiting pair, then opens one.
      if (second) {
        state_.Second(key_, when, now, &raised_);
      }
      if (first) {
        const Row_Side_Text::Text* side = Row_Side_Text::Find(row);
        std::string_view text;
        if (side != nullptr) {
          text = std::string_view(side->data, side->length);
        } else {
          text = std::string_view(row + time_offset_, 0);
        }
        state_.First(key_, when, text, now, &raised_);
      }
    } else {
      state_.Seen(key_, when, now, &raised_);
    }
    Evictions();
    changes_.fetch_add(1, std::memory_order_relaxed);
    if (!raised_.empty() && Write(&raised_, row) != 0) {
      rc = 1;
    }
  }
  return rc;
}

bool Situation_Memory::Counted(const std::string& key, int64_t when, bool met,
                               long count) {
  Posix_Mutex::Hold hold(&mu_);
  int64_t since = 0;
  const bool fire = state_.Counted(key, when, met, count, NowMs(), &since);
  Evictions();
  if (fire || state_.Firing() != 0) {
    changes_.fetch_add(1, std::memory_order_relaxed);
  }
  return fire;
}

void Situation_Memory::Decorate(const std::string& key, const char* row,
                                Event_Record* event) {
  Posix_Mutex::Hold hold(&mu_);
  Host(row);
  event->has_key = true;
  event->key = key;
  event->state = "firing";
  event->alert_host = host_;
  const int64_t when = EntrySeconds(row);
  event->state_members = ",\"since\":\"" + FormatTime(when) + "\"";
}

unsigned Situation_Memory::Sweep() {
  Posix_Mutex::Hold hold(&mu_);
  raised_.clear();
  state_.Sweep(NowMs(), &raised_);
  Evictions();
  if (raised_.empty()) {
    return 0;
  }
  changes_.fetch_add(1, std::memory_order_relaxed);
  return Write(&raised_, nullptr);
}

void Situation_Memory::Evictions() {
  while (evictions_seen_ < state_.Evicted()) {
    ++evictions_seen_;
    v_.KeyForgotten();
  }
}

unsigned Situation_Memory::Write(std::vector<State_Event>* raised,
                                 const char* row) {
  unsigned rc = 0;
  if (event_ == nullptr) {
    event_ = std::make_unique<Event_Record>();
    event_->situation = v_.SituationName();
    event_->table = v_.ApplName() + "." + v_.TableName();
    event_->has_key = true;
    event_->run = v_.RunCommand();
  }
  if (json_ == nullptr) {
    json_ = std::make_unique<Row_Json_Writer>(v_);
  }
  Event_Record& ev = *event_;
  for (State_Event& e : *raised) {
    // The row that raised it belongs to the event when it is the pair's
    // second row or the row that came back.
    const bool with_row =
        row != nullptr && (e.kind == State_Event::Kind::kThen ||
                           e.kind == State_Event::Kind::kBack);
    ev.key = e.key;
    ev.alert_host = host_;
    ev.state = StateOf(e.kind);
    ev.state_members.clear();
    switch (e.kind) {
      case State_Event::Kind::kThen:
      case State_Event::Kind::kWithout:
        ev.state_members = e.kind == State_Event::Kind::kThen
                               ? ",\"pair\":\"then\""
                               : ",\"pair\":\"without\"";
        ev.state_members += ",\"first\":{\"entrytime\":\"" +
                            FormatTime(e.since) + "\",\"entry\":";
        JsonAppendString(&ev.state_members, e.first_text);
        ev.state_members += "}";
        break;
      case State_Event::Kind::kAbsent:
        ev.state_members = ",\"absent\":" + std::to_string(settings_.absent) +
                           ",\"since\":\"" + FormatTime(e.since) + "\"";
        break;
      default:
        ev.state_members = ",\"since\":\"" + FormatTime(e.since) +
                           "\",\"count\":" + std::to_string(e.count);
        break;
    }
    ev.row.clear();
    ev.entrytime.clear();
    if (with_row) {
      json_->EntryTime(row, &ev.entrytime);
      json_->Append(row, &ev.row, Row_Side_Text::Find(row));
    }
    if (ev.alert_members != v_.AlertMembers()) {
      ev.alert_members = v_.AlertMembers();
    }
    ev.run_env.clear();
    if (!ev.run.empty()) {
      if (with_row) {
        ev.run_env = RowToEnvironment(v_, row);
      }
      ev.run_env.append("QOR_KEY=").append(ev.key.c_str()).push_back('\0');
      ev.run_env.append("QOR_STATE=").append(ev.state).push_back('\0');
    }
    v_.CountDispatched();
    if (!Event_Sink::Write(ev)) {
      rc = 1;
    }
  }
  return rc;
}

Memory_Counts Situation_Memory::Counts() {
  Posix_Mutex::Hold hold(&mu_);
  Memory_Counts c;
  c.open_pairs = state_.OpenPairs();
  c.awaited = state_.Awaited();
  c.firing = state_.Firing();
  c.evicted = state_.Evicted();
  return c;
}

void Situation_Memory::FiringAlerts(std::vector<Firing_Alert_Info>* out) {
  Posix_Mutex::Hold hold(&mu_);
  for (State_Item& i : state_.Items()) {
    if (i.kind != 'A' && i.kind != 'F') {
      continue;
    }
    Firing_Alert_Info a;
    a.situation = v_.SituationName();
    a.key = std::move(i.key);
    a.host = host_;
    a.since = i.since;
    a.count = i.count;
    out->push_back(std::move(a));
  }
}

void Situation_Memory::Restate(bool resolved) {
  if (!resolved && !v_.Alerting()) {
    return;
  }
  std::vector<Firing_Alert_Info> firing;
  FiringAlerts(&firing);
  Event_Record ev;
  ev.situation = v_.SituationName();
  ev.table = v_.ApplName() + "." + v_.TableName();
  ev.has_key = true;
  ev.state = resolved ? "resolved" : "firing";
  // As the alert was told while its situation alerted.
  ev.alert_members = v_.OwnAlertMembers();
  for (Firing_Alert_Info& a : firing) {
    ev.key = std::move(a.key);
    ev.alert_host = std::move(a.host);
    ev.state_members = ",\"since\":\"" + FormatTime(a.since) +
                       "\",\"count\":" + std::to_string(a.count);
    Event_Sink::Restate(ev);
  }
}

namespace {

// A field of a saved item: bytes that would end it or its record (blank,
// '|', '%', control characters) as %XX.
void AppendEscaped(std::string* out, std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c <= ' ' || c == '%' || c == '|' || c == 0x7F) {
      out->push_back('%');
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 15]);
    } else {
      out->push_back(ch);
    }
  }
}

bool Unescape(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) {
      return false;
    }
    char hex[3] = {in[i + 1], in[i + 2], 0};
    char* end = nullptr;
    const long v = strtol(hex, &end, 16);
    if (end != hex + 2) {
      return false;
    }
    out->push_back(static_cast<char>(v));
    i += 2;
  }
  return true;
}

// The blank-separated fields of `item`, empty ones kept.
std::vector<std::string_view> Fields(std::string_view item) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (true) {
    const size_t blank = item.find(' ', start);
    out.push_back(item.substr(start, blank == std::string_view::npos
                                         ? std::string_view::npos
                                         : blank - start));
    if (blank == std::string_view::npos) {
      return out;
    }
    start = blank + 1;
  }
}

}  // namespace

void Situation_Memory::Save(std::vector<std::string>* items) {
  Posix_Mutex::Hold hold(&mu_);
  std::string host = "H 0 0 ";
  AppendEscaped(&host, host_);
  items->push_back(std::move(host));
  for (const State_Item& i : state_.Items()) {
    // KIND SINCE COUNT KEY TEXT TIMES
    std::string line(1, i.kind);
    line += " " + std::to_string(i.since) + " " + std::to_string(i.count) + " ";
    AppendEscaped(&line, i.key);
    line += ' ';
    AppendEscaped(&line, i.text.substr(0, 512));
    line += ' ';
    for (size_t n = 0; n < i.times.size(); ++n) {
      line += (n == 0 ? "" : ",") + std::to_string(i.times[n]);
    }
    items->push_back(std::move(line));
  }
}

void Situation_Memory::Load(const std::vector<std::string>& items) {
  Posix_Mutex::Hold hold(&mu_);
  for (const std::string& line : items) {
    const std::vector<std::string_view> f = Fields(line);
    if (f.size() < 4 || f[0].size() != 1) {
      continue;
    }
    State_Item i;
    i.kind = f[0][0];
    i.since = strtoll(std::string(f[1]).c_str(), nullptr, 10);
    i.count = strtoull(std::string(f[2]).c_str(), nullptr, 10);
    if (!Unescape(f[3], &i.key)) {
      continue;
    }
    if (i.kind == 'H') {
      host_ = i.key;
      continue;
    }
    if (f.size() < 6 || !Unescape(f[4], &i.text)) {
      continue;
    }
    const std::string times(f[5]);
    for (const char* at = times.c_str(); *at != '\0' && i.times.size() < 64;) {
      char* end = nullptr;
      i.times.push_back(static_cast<uint32_t>(strtoul(at, &end, 10)));
      if (end == at || (*end != ',' && *end != '\0')) {
        break;
      }
      at = *end == ',' ? end + 1 : end;
    }
    state_.Restore(i, NowMs());
  }
  // The logs read from their saved positions first: windows end by entry
  // time only until the situation has been quiet for a while.
  state_.HoldTimers(NowMs() + 2000);
  changes_.fetch_add(1, std::memory_order_relaxed);
}
