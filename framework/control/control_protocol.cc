// The control protocol: parses one request line and builds its reply.
#include "framework/control/control_protocol.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "framework/control/main_loop.h"
#include "framework/control/metrics_server.h"
#include "framework/events/event_output.h"
#include "framework/events/event_sink.h"
#include "framework/runtime/trace.h"
#include "framework/situations/action_runner.h"
#include "framework/situations/condition.h"
#include "framework/situations/situation_memory.h"
#include "framework/situations/situation_registry.h"
#include "framework/tables/request.h"
#include "framework/tables/row_json.h"
#include "framework/tables/table_manager.h"
#include "util/monotonic_ms.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

const char kLogEntriesTable[] = "TVX.VXLOGENT";
const char kLogEntriesNeeds[] =
    "REPORT VXLOGENT needs LOGPATH == \"DIR/\" AND LOGNAME == \"FILE\" AND ENTRYTIME >= \"START\" "
    "AND ENTRYTIME <= \"END\" (16-character time stamps or relative times such as \"-1h\")";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string Upper(std::string s) {
  for (char& c : s) {
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  return s;
}

std::string Column(size_t index) {
  return " at column " + std::to_string(index + 1);
}

// Walks the blank-separated words of a request line.
class Words {
 public:
  explicit Words(const std::string& line) : line_(line) {}

  // The next word and its 0-based start; false at the end of the line.
  bool Next(std::string* word, size_t* start) {
    Skip();
    if (pos_ >= line_.size()) {
      return false;
    }
    *start = pos_;
    while (pos_ < line_.size() && !IsBlank(line_[pos_])) {
      ++pos_;
    }
    *word = line_.substr(*start, pos_ - *start);
    return true;
  }
  // Where the next word starts (the line's length at its end).
  size_t Here() {
    Skip();
    return pos_;
  }
  bool AtEnd() { return Here() >= line_.size(); }

 private:
  void Skip() {
    while (pos_ < line_.size() && IsBlank(line_[pos_])) {
      ++pos_;
    }
  }
  const std::string& line_;
  size_t pos_ = 0;
};

bool ExpectEnd(Words* words, const char* after, std::string* err) {
  if (words->AtEnd()) {
    return true;
  }
  *err = std::string("expected the end of the line after ") + after +
         Column(words->Here());
  return false;
}

// The rest of the line from `start` as a condition. ParseCondition counts
// columns from the start of its text, so the text is given to it behind
// blanks standing for the request words: its columns are then the line's.
// A situation's condition may be followed by its clauses. The thresholds go
// into *specs.
bool TakeCondition(const std::string& line, size_t start, bool clauses,
                   std::string* condition, std::vector<Threshold_Spec>* specs,
                   std::string* err) {
  const std::string text = std::string(start, ' ') + line.substr(start);
  std::string parsed;
  Situation_Clauses parsed_clauses;
  if (clauses
          ? !ParseSituationCondition(text, specs, &parsed, &parsed_clauses, err)
          : !ParseCondition(text, specs, err)) {
    return false;
  }
  *condition = line.substr(start);
  while (!condition->empty() && IsBlank(condition->back())) {
    condition->pop_back();
  }
  return true;
}

// `with_counts`: also the rows matched and the events dispatched and held
// back since the situation was made (the list; a new one has none).
std::string SituationJson(const Situation_Info& s, bool with_counts = false) {
  std::string out = "{\"name\":";
  JsonAppendString(&out, s.name);
  out += ",\"table\":";
  JsonAppendString(&out, s.table);
  out += ",\"condition\":";
  JsonAppendString(&out, s.condition);
  if (!s.clauses.empty()) {
    out += ",\"clauses\":";
    JsonAppendString(&out, s.clauses);
  }
  if (!s.run.empty()) {
    out += ",\"run\":";
    JsonAppendString(&out, s.run);
  }
  if (!s.fleet_key.empty()) {
    out += ",\"fleet\":";
    JsonAppendString(&out,
                     s.fleet_key + "@" + std::to_string(s.fleet_revision));
  }
  out += ",\"stopped\":";
  out += s.stopped ? "true" : "false";
  out += ",\"reason\":" + std::to_string(s.reason);
  if (with_counts) {
    out += ",\"matches\":" + std::to_string(s.matched) +
           ",\"events\":" + std::to_string(s.dispatched) +
           ",\"suppressed\":" + std::to_string(s.suppressed);
    if (s.remembers) {
      out += ",\"open_pairs\":" + std::to_string(s.open_pairs) +
             ",\"awaited\":" + std::to_string(s.awaited) +
             ",\"firing\":" + std::to_string(s.firing) +
             ",\"keys_evicted\":" + std::to_string(s.evicted);
    }
  }
  out += "}";
  return out;
}

// The table named in a request, or null with *err naming its column.
TableManager* RequestTable(const Control_Request& r, std::string* err) {
  TableManager* m = FindTable(r.table, err);
  if (m == nullptr) {
    *err = "unknown table " + r.table + Column(r.table_column - 1) +
           "; expected VXLOGENT, VXMONLOG or X7SRV.RNODESTS";
  }
  return m;
}

// A bound of a log-entries window: a relative time, or a time stamp or a
// leading part of one (read as the earliest moment it names).
bool IsWindowBound(const Threshold_Spec& s) {
  if (s.is_integer || s.relative_seconds > 0) {
    return true;
  }
  if (s.text.empty() || s.text.size() > 16) {
    return false;
  }
  for (const char c : s.text) {
    if (!isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

// A log-entries report reads its log's path and time window from its
// thresholds; without them it can only come back empty, so say so instead.
bool CheckLogEntriesSelection(const std::vector<Threshold_Spec>& specs,
                              std::string* err) {
  bool path = false, name = false, start = false, end = false;
  for (const Threshold_Spec& s : specs) {
    path = path || s.column == "LOGPATH";
    name = name || s.column == "LOGNAME";
    const bool low = s.column == "ENTRYTIME" && s.oper == GIR1_GE;
    const bool high = s.column == "ENTRYTIME" && s.oper == GIR1_LE;
    if ((low || high) && !IsWindowBound(s)) {
      *err =
          std::string("bad ENTRYTIME ") + (low ? ">=" : "<=") + " bound \"" +
          s.text +
          "\": expected a time stamp of up to 16 digits (CYYMMDDHHMMSSmmm) or a "
          "relative time such as \"-1h\"";
      return false;
    }
    start = start || low;
    end = end || high;
  }
  if (path && name && start && end) {
    return true;
  }
  *err = kLogEntriesNeeds;
  return false;
}

bool RunReport(const Control_Request& r, Control_Lines* lines, std::string* err,
               bool* cut) {
  TableManager* m = RequestTable(r, err);
  if (m == nullptr) {
    return false;
  }
  if (m->FullName() == kLogEntriesTable &&
      !CheckLogEntriesSelection(r.thresholds, err)) {
    return false;
  }
  RequestDetail detail;
  detail.sampleType = SAMPLE_REPORT;
  detail.thresholds = r.thresholds;
  vandu* v = HOV_CreateRequest(m->FullName(), &detail, err);
  if (v == nullptr) {
    return false;
  }
  // Each row goes into the reply as the sample takes it; a streamed reply
  // whose peer is gone (or whose server stops) ends the sample.
  Row_Json_Writer json(*v, /*sample_rows=*/true);
  v->StreamRows([&json, lines, v](const char* row) {
    lines->AddWith([&json, row](std::string* text) {
      json.Append(row, text, Row_Side_Text::Find(row));
    });
    if (lines->Gone()) {
      v->Abandon();
    }
  });
  v->SetRowCount(0);
  v->SetRowLimit(r.row_limit);
  v->TakeSample();
  *cut = v->RowsCut();
  if (v->Abandoned()) {
    WEX1_TRACE(wex1, WEX1_FLOW,
               "\nReport abandoned after %zu rows: its client is gone or the "
               "agent stops.",
               lines->size());
  }
  for (const std::string& what : v->Unread()) {
    lines->AddUnread(what);
  }
  // A sample that could not read its source says why, before any row.
  const bool failed = !v->ThresholdError().empty() && lines->size() == 0;
  if (failed) {
    *err = v->ThresholdError();
  }
  vandu::Destroy(v);
  return !failed;
}

bool RunReload(Control_Lines* lines, std::string* err) {
  const char* path = getenv("HOV_SITUATIONS");
  if (path == nullptr || *path == '\0') {
    *err =
        "no situations file to reload: HOV_SITUATIONS was not set when the agent started";
    return false;
  }
  std::vector<std::string> problems;
  if (!Situation_Registry::Instance().Reload(&problems, err)) {
    return false;
  }
  for (const std::string& p : problems) {
    std::string line = "{\"problem\":";
    JsonAppendString(&line, p);
    lines->Add(line + "}");
  }
  return true;
}

// The identity of a told alert as the lines of SITUATION ALERTS open.
std::string ToldIdentity(const Alert_Told& t) {
  return "{\"situation\":" + t.situation +
         ",\"key\":" + (t.key.empty() ? "\"\"" : t.key) + ",\"host\":" + t.host;
}

// Adds to an alert's *line what the Alertmanager outputs last told of it
// (the items `at` of `told`), as "told": one "firing|resolved OUTCOME TIME"
// per output, its URL first when there are several outputs.
void AppendTold(std::string* line, const std::vector<Alert_Told>& told,
                const std::vector<size_t>& at) {
  bool several = false;
  for (const Alert_Told& t : told) {
    several = several || t.output != told.front().output;
  }
  std::string text;
  for (const size_t i : at) {
    const Alert_Told& t = told[i];
    text += text.empty() ? "" : "; ";
    if (several) {  // "alertmanager URL": the URL tells them apart
      const size_t space = t.output.find(' ');
      text += t.output.substr(space == std::string::npos ? 0 : space + 1) + " ";
    }
    text += t.resolved ? "resolved " : "firing ";
    text += t.outcome;
    if (t.at_s != 0) {
      text += " " + Situation_Memory::FormatTime(t.at_s);
    }
  }
  if (!text.empty()) {
    *line += ",\"told\":";
    JsonAppendString(line, text);
  }
}

}  // namespace

bool ParseControlRequest(const std::string& raw, Control_Request* r,
                         std::string* err) {
  std::string line = raw;
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  if (line.size() > CONTROL_MAX_LINE) {
    *err = "request line longer than " + std::to_string(CONTROL_MAX_LINE) +
           " bytes";
    return false;
  }
  for (size_t i = 0; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "0x%02x", c);
      *err = std::string("unexpected control character ") + hex + Column(i) +
             "; expected one line of text";
      return false;
    }
  }
  *r = Control_Request();
  Words words(line);
  std::string word;
  size_t at = 0;
  if (!words.Next(&word, &at)) {
    *err = "expected a request (PING, REPORT, SITUATION or EVENTS)" +
           Column(words.Here());
    return false;
  }
  std::string verb = Upper(word);
  bool stream = false;
  if (verb == "STREAM") {
    if (!words.Next(&word, &at)) {
      *err = "expected REPORT after STREAM" + Column(words.Here());
      return false;
    }
    if (Upper(word) != "REPORT") {
      *err = "expected REPORT after STREAM" + Column(at);
      return false;
    }
    stream = true;
    verb = "REPORT";
  }
  if (verb == "PING") {
    r->verb = Control_Verb::kPing;
    return ExpectEnd(&words, "PING", err);
  }
  if (verb == "REPORT") {
    r->verb = Control_Verb::kReport;
    r->stream = stream;
    if (!words.Next(&r->table, &at)) {
      *err = "expected a table name after REPORT" + Column(words.Here());
      return false;
    }
    r->table_column = at + 1;
    if (!words.Next(&word, &at)) {
      return true;
    }
    if (Upper(word) != "WHERE") {
      *err = "expected WHERE or the end of the line after the table name" +
             Column(at);
      return false;
    }
    if (words.AtEnd()) {
      *err = "expected a condition after WHERE" + Column(words.Here());
      return false;
    }
    return TakeCondition(line, words.Here(), false, &r->condition,
                         &r->thresholds, err);
  }
  if (verb == "EVENTS") {
    r->verb = Control_Verb::kEvents;
    while (words.Next(&word, &at)) {
      if (!ValidSituationName(word)) {
        *err = "expected a situation name" + Column(at) +
               " (1 to 31 letters, digits, '_', '-' or '.')";
        return false;
      }
      r->names.push_back(word);
    }
    return true;
  }
  if (verb != "SITUATION") {
    *err = "unknown request " + word + Column(at) +
           "; expected PING, REPORT, SITUATION or EVENTS";
    return false;
  }
  if (!words.Next(&word, &at)) {
    *err = "expected ADD, DEL, LIST, RELOAD or ALERTS after SITUATION" +
           Column(words.Here());
    return false;
  }
  const std::string sub = Upper(word);
  if (sub == "LIST") {
    r->verb = Control_Verb::kSituationList;
    return ExpectEnd(&words, "SITUATION LIST", err);
  }
  if (sub == "RELOAD") {
    r->verb = Control_Verb::kSituationReload;
    return ExpectEnd(&words, "SITUATION RELOAD", err);
  }
  if (sub == "ALERTS") {
    r->verb = Control_Verb::kSituationAlerts;
    return ExpectEnd(&words, "SITUATION ALERTS", err);
  }
  if (sub != "ADD" && sub != "DEL") {
    *err = "unknown request SITUATION " + word + Column(at) +
           "; expected ADD, DEL, LIST, RELOAD or ALERTS";
    return false;
  }
  const std::string request = "SITUATION " + sub;
  if (!words.Next(&r->name, &at)) {
    *err = "expected a situation name after " + request + Column(words.Here());
    return false;
  }
  if (sub == "DEL") {
    r->verb = Control_Verb::kSituationDel;
    return ExpectEnd(&words, "the situation name", err);
  }
  r->verb = Control_Verb::kSituationAdd;
  if (!words.Next(&r->table, &at)) {
    *err =
        "expected a table name after the situation name" + Column(words.Here());
    return false;
  }
  r->table_column = at + 1;
  const size_t start = words.Here();
  std::string rest = line.substr(start);
  if (!SplitRunClause(&rest, &r->run, err, start)) {
    return false;
  }
  std::vector<Threshold_Spec> specs;
  return TakeCondition(line.substr(0, start + rest.size()), start, true,
                       &r->condition, &specs, err);
}

bool RunControlRequest(const Control_Request& r, Control_Lines* lines,
                       std::string* err, bool* cut) {
  bool unused_cut = false;
  if (cut == nullptr) {
    cut = &unused_cut;
  }
  *cut = false;
  Situation_Registry& situations = Situation_Registry::Instance();
  switch (r.verb) {
    case Control_Verb::kPing: {
      char system[256];
      DetermineLocalHost(system, sizeof system);
      std::string line =
          "{\"pid\":" + std::to_string(getpid()) + ",\"system\":";
      JsonAppendString(&line, system, strlen(system));
      const Event_Counts events = Event_Sink::Counts();
      line +=
          ",\"events_written\":" + std::to_string(events.written) +
          ",\"events_lost\":" + std::to_string(events.lost) +
          ",\"events_retried\":" + std::to_string(events.retried) +
          ",\"actions_dropped\":" + std::to_string(Action_Runner::Dropped());
      uint64_t evicted = 0;
      for (const TableManager* m : TableManager::All()) {
        evicted += m->KeysEvicted();
      }
      line += ",\"keys_evicted\":" + std::to_string(evicted);
      // The fleet sinks (Kafka, JetStream): their engine's side.
      std::string fleet;
      for (const Event_Output_Counts& o : Event_Sink::OutputCounts()) {
        if (!o.fleet) {
          continue;
        }
        char age[32];
        snprintf(age, sizeof age, "%.1f", o.oldest_pending_s);
        fleet += fleet.empty() ? "[" : ",";
        fleet += "{\"sink\":";
        JsonAppendString(&fleet, o.name);
        fleet += std::string(",\"connected\":") +
                 (o.connected ? "true" : "false") +
                 ",\"pending\":" + std::to_string(o.pending) +
                 ",\"acknowledged\":" + std::to_string(o.acknowledged) +
                 ",\"retried\":" + std::to_string(o.retried) +
                 ",\"failed_attempts\":" + std::to_string(o.failed_attempts) +
                 ",\"rejected\":" + std::to_string(o.rejected) +
                 ",\"dropped\":" + std::to_string(o.dropped) +
                 ",\"lost\":" + std::to_string(LostEvents(o)) +
                 ",\"oldest_pending_s\":" + age;
        if (o.alerts) {
          fleet += ",\"firing\":" + std::to_string(o.firing);
        }
        fleet += "}";
      }
      if (!fleet.empty()) {
        line += ",\"fleet_sinks\":" + fleet + "]";
      }
      line += ",\"metrics\":";
      JsonAppendString(&line, Metrics_Server::Status());
      lines->Add(line + "}");
      return true;
    }
    case Control_Verb::kReport:
      return RunReport(r, lines, err, cut);
    case Control_Verb::kSituationAdd: {
      TableManager* m = RequestTable(r, err);
      if (m == nullptr ||
          !situations.Add(r.name, m->FullName(), r.condition, err, r.run)) {
        return false;
      }
      for (const Situation_Info& s : situations.List()) {
        if (s.name == r.name) {
          lines->Add(SituationJson(s));
        }
      }
      return true;
    }
    case Control_Verb::kSituationDel:
      return situations.Delete(r.name, err);
    case Control_Verb::kSituationList:
      for (const Situation_Info& s : situations.List()) {
        lines->Add(SituationJson(s, true));
      }
      return true;
    case Control_Verb::kSituationReload:
      return RunReload(lines, err);
    case Control_Verb::kSituationAlerts: {
      const int64_t now = Situation_Memory::NowMs() / 1000;
      const std::vector<Alert_Told> told = Event_Sink::AlertsTold();
      std::map<std::string, std::vector<size_t>> told_by_id;
      for (size_t i = 0; i < told.size(); ++i) {
        told_by_id[ToldIdentity(told[i])].push_back(i);
      }
      for (const Firing_Alert_Info& a : situations.Alerts()) {
        std::string line = "{\"situation\":";
        JsonAppendString(&line, a.situation);
        line += ",\"key\":";
        JsonAppendString(&line, a.key);
        line += ",\"host\":";
        JsonAppendString(&line, a.host);
        const auto it = told_by_id.find(line);
        line += ",\"since\":\"" + Situation_Memory::FormatTime(a.since) +
                "\",\"age\":" + std::to_string(now - a.since) +
                ",\"count\":" + std::to_string(a.count);
        if (it != told_by_id.end()) {
          AppendTold(&line, told, it->second);
          told_by_id.erase(it);
        }
        lines->Add(line + "}");
      }
      // What Alertmanager holds besides: plain situations' alerts until they
      // end, resolved ones until they are forgotten.
      for (const auto& kv : told_by_id) {
        std::string line = kv.first;
        AppendTold(&line, told, kv.second);
        lines->Add(line + "}");
      }
      return true;
    }
    case Control_Verb::kEvents:
      *err = "EVENTS is answered as a stream on the control socket only";
      return false;
  }
  *err = "request not understood";
  return false;
}

long Control_Lines::SendPart(const std::string& block, size_t waiting) {
  const char* const data = block.data() + taken_;
  const size_t length = block.size() - taken_;
  const long n = send_now_(data, length, 0);
  if (n != 0 || waiting < STREAMWAITBLOCKS || waited_ms_ >= STREAMWAITMS) {
    return n;
  }
  const long step = std::min<long>(STREAMWAITSTEPMS, STREAMWAITMS - waited_ms_);
  const long long before = MonotonicMs();
  const long late = send_now_(data, length, static_cast<int>(step));
  waited_ms_ +=
      std::max<long long>(MonotonicMs() - before, late == 0 ? step : 0);
  return late;
}

void Control_Lines::SendFullBlocks() {
  size_t whole = 0;
  for (; !gone_ && whole < blocks_.size(); ++whole) {
    const std::string& block = blocks_[whole];
    while (taken_ < block.size()) {
      const long n = SendPart(block, blocks_.size() - whole);
      if (n <= 0) {
        gone_ = n < 0;
        break;
      }
      taken_ += static_cast<size_t>(n);
    }
    if (taken_ < block.size()) {
      break;
    }
    taken_ = 0;
  }
  if (gone_) {
    // Nothing more is sent: what is left is dropped, and the lines still to
    // come are only counted.
    whole = blocks_.size();
    taken_ = 0;
  }
  for (size_t i = 0; i < whole; ++i) {
    blocks_[i].clear();
    spare_.push_back(std::move(blocks_[i]));
  }
  blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<long>(whole));
}

void Control_Lines::NewBlock() {
  if (send_now_) {
    SendFullBlocks();
    if (!spare_.empty()) {
      blocks_.push_back(std::move(spare_.back()));
      spare_.pop_back();
      return;
    }
  }
  blocks_.emplace_back();
  std::string& block = blocks_.back();
  block.reserve(block_bytes_ + block_bytes_ / 8);
  // A fresh block is mapped by the allocator without pages; taking them one
  // fault at a time while the rows are written cost more than writing the
  // rows. One call maps them all (a kernel without it faults as before).
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first =
      (reinterpret_cast<uintptr_t>(block.data()) + page - 1) & ~(page - 1);
  const auto end =
      (reinterpret_cast<uintptr_t>(block.data()) + block.capacity()) &
      ~(page - 1);
  if (end > first) {
    madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
  }
}

std::vector<std::string> AnswerControlLinePieces(const std::string& line) {
  WEX1_TRACE(wex1, WEX1_FLOW, "\nControl request: %.*s", 200, line.c_str());
  Control_Request request;
  Control_Lines lines;
  std::string err;
  bool cut = false;
  if (!ParseControlRequest(line, &request, &err) ||
      !RunControlRequest(request, &lines, &err, &cut)) {
    WEX1_TRACE(wex1, WEX1_FLOW, "\nControl request refused: %s", err.c_str());
    return {FormatControlErr(err)};
  }
  return FormatControlOkPieces(std::move(lines), cut);
}

namespace {

// The "UNREAD PATH: why" closing lines of a reply, each on one line.
std::string UnreadLines(const Control_Lines& lines) {
  std::string out;
  for (const std::string& what : lines.Unread()) {
    std::string line = CONTROL_UNREAD + what;
    for (char& c : line) {
      if (c == '\n' || c == '\r') {
        c = ' ';
      }
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace

std::vector<std::string> AnswerStreamedReport(
    const std::string& line, const Control_Request& request,
    Control_Lines::Send_Now send_now) {
  WEX1_TRACE(wex1, WEX1_FLOW, "\nControl request: %.*s", 200, line.c_str());
  Control_Lines lines(std::move(send_now), "OK stream\n");
  std::string err;
  bool cut = false;
  if (!RunControlRequest(request, &lines, &err, &cut)) {
    WEX1_TRACE(wex1, WEX1_FLOW, "\nControl request refused: %s", err.c_str());
    return {FormatControlErr(err)};
  }
  if (lines.Gone()) {
    return {};
  }
  lines.AppendText(
      (cut ? std::string(CONTROL_TRUNCATED) + "\n" : std::string()) +
      UnreadLines(lines) + "END " + std::to_string(lines.size()) + "\n");
  std::vector<std::string> rest = std::move(lines.Blocks());
  if (!rest.empty()) {
    rest.front().erase(0, lines.Taken());
  }
  return rest;
}

namespace {

std::string Joined(const std::vector<std::string>& pieces) {
  size_t size = 0;
  for (const std::string& p : pieces) {
    size += p.size();
  }
  std::string out;
  out.reserve(size);
  for (const std::string& p : pieces) {
    out += p;
  }
  return out;
}

}  // namespace

std::string AnswerControlLine(const std::string& line) {
  return Joined(AnswerControlLinePieces(line));
}

std::vector<std::string> FormatControlOkPieces(Control_Lines lines, bool cut) {
  std::vector<std::string> pieces;
  pieces.reserve(lines.Blocks().size() + 2);
  pieces.push_back("OK " + std::to_string(lines.size()) + "\n");
  for (std::string& block : lines.Blocks()) {
    pieces.push_back(std::move(block));
  }
  if (cut) {
    pieces.push_back(std::string(CONTROL_TRUNCATED) + "\n");
  }
  if (!lines.Unread().empty()) {
    pieces.push_back(UnreadLines(lines));
  }
  return pieces;
}

std::string FormatControlOk(Control_Lines lines, bool cut) {
  return Joined(FormatControlOkPieces(std::move(lines), cut));
}

std::string FormatControlErr(const std::string& text) {
  std::string out = "ERR " + text;
  for (char& c : out) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  out.push_back('\n');
  return out;
}
