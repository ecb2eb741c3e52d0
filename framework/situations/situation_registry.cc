// The situation registry: the situations by name, added, removed and loaded
// from the situations file.
#include "framework/situations/situation_registry.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include "framework/situations/condition.h"
#include "framework/tables/request.h"
#include "framework/tables/table_manager.h"
#include "framework/runtime/trusted_files.h"
#include "framework/situations/situation_memory.h"
#include "util/process_wide.h"
#include "util/unique_file.h"

bool SplitRunClause(std::string* text, std::string* run, std::string* err,
                    size_t column_offset) {
  const std::string& t = *text;
  const auto column = [column_offset](size_t i) {
    return " at column " + std::to_string(column_offset + i + 1);
  };
  bool quoted = false;
  size_t at = std::string::npos;
  for (size_t i = 0; i < t.size(); ++i) {
    if (quoted) {
      if (t[i] == '\\') {
        ++i;
      } else if (t[i] == '"') {
        quoted = false;
      }
    } else if (t[i] == '"') {
      quoted = true;
    } else if ((i == 0 || isspace(static_cast<unsigned char>(t[i - 1]))) &&
               t.size() - i >= 3 && strncasecmp(t.c_str() + i, "RUN", 3) == 0 &&
               (t.size() == i + 3 ||
                isspace(static_cast<unsigned char>(t[i + 3])))) {
      at = i;
      break;
    }
  }
  run->clear();
  if (at == std::string::npos) {
    return true;
  }
  size_t p = t.find_first_not_of(" \t", at + 3);
  if (p == std::string::npos || t[p] != '"') {
    *err = "expected a double-quoted command after RUN" +
           column(p == std::string::npos ? t.size() : p);
    return false;
  }
  std::string command;
  size_t i = p + 1;
  for (; i < t.size() && t[i] != '"'; ++i) {
    if (t[i] == '\\' && i + 1 < t.size() &&
        (t[i + 1] == '"' || t[i + 1] == '\\')) {
      ++i;
    }
    command.push_back(t[i]);
  }
  if (i >= t.size()) {
    *err = "expected the closing '\"' of the RUN command" + column(t.size());
    return false;
  }
  if (command.find_first_not_of(" \t") == std::string::npos) {
    *err = "expected a command between the quotes after RUN" + column(p);
    return false;
  }
  const size_t after = t.find_first_not_of(" \t\r", i + 1);
  if (after != std::string::npos) {
    *err = "expected the end of the line after the RUN command" + column(after);
    return false;
  }
  *run = command;
  size_t end = at;
  while (end > 0 && isspace(static_cast<unsigned char>(t[end - 1]))) {
    --end;
  }
  text->resize(end);
  return true;
}

bool ParseSituationLine(const std::string& line, std::string* name,
                        std::string* table, std::string* condition,
                        std::string* err) {
  size_t p = line.find_first_not_of(" \t");
  if (p == std::string::npos) {
    *err = "expected a situation name at column 1";
    return false;
  }
  size_t e = line.find_first_of(" \t", p);
  *name = line.substr(p, e == std::string::npos ? std::string::npos : e - p);
  if (!ValidSituationName(*name)) {
    *err =
        "expected a situation name of 1 to 31 letters, digits, '_', '-' or '.' at column " +
        std::to_string(p + 1);
    return false;
  }
  p = e == std::string::npos ? std::string::npos
                             : line.find_first_not_of(" \t", e);
  if (p == std::string::npos) {
    *err = "expected a table name after the situation name at column " +
           std::to_string(line.size() + 1);
    return false;
  }
  e = line.find_first_of(" \t", p);
  *table = line.substr(p, e == std::string::npos ? std::string::npos : e - p);
  p = e == std::string::npos ? std::string::npos
                             : line.find_first_not_of(" \t", e);
  *condition = p == std::string::npos ? "" : line.substr(p);
  while (!condition->empty() &&
         isspace(static_cast<unsigned char>(condition->back()))) {
    condition->pop_back();
  }
  return true;
}

Situation_Registry& Situation_Registry::Instance() {
  return ProcessWide<Situation_Registry>();
}

bool Situation_Registry::Make(const std::string& name, const std::string& table,
                              const std::string& text, const std::string& run,
                              Entry* entry, std::string* err) {
  if (!ValidSituationName(name)) {
    *err = "bad situation name \"" + name +
           "\"; expected 1 to 31 letters, digits, '_', '-' or '.'";
    return false;
  }
  RequestDetail detail;
  std::string condition;
  if (!ParseSituationCondition(text, &detail.thresholds, &condition,
                               &detail.clauses, err)) {
    return false;
  }
  detail.sampleType = SAMPLE_SITUATION;
  detail.situationName = name;
  vandu* v = HOV_CreateRequest(table, &detail, err);
  if (v == nullptr) {
    return false;
  }
  entry->info = Situation_Info();
  entry->info.name = name;
  entry->info.table = v->ApplName() + "." + v->TableName();
  entry->info.condition = condition;
  entry->info.clauses = FormatClauses(detail.clauses);
  entry->info.run = run;
  v->SetRunCommand(run);
  entry->definition = entry->info.table + "\n" + condition + "\n" +
                      entry->info.clauses + "\n" + run;
  entry->object = v;
  return true;
}

bool Situation_Registry::MakeLine(const std::string& line, std::string* name,
                                  Entry* entry, std::string* err) {
  std::string table, condition;
  if (!ParseSituationLine(line, name, &table, &condition, err)) {
    return false;
  }
  // The text keeps its place in the line, so that a syntax error names the
  // column of the line.
  size_t end = line.size();
  while (end > 0 && isspace(static_cast<unsigned char>(line[end - 1]))) {
    --end;
  }
  const size_t start = end - condition.size();
  std::string run;
  return SplitRunClause(&condition, &run, err, start) &&
         Make(*name, table, std::string(start, ' ') + condition, run, entry,
              err);
}

const char* FleetStateName(Fleet_State state) {
  switch (state) {
    case Fleet_State::kApplied:
      return "applied";
    case Fleet_State::kRefused:
      return "refused";
    case Fleet_State::kOverridden:
      return "overridden";
  }
  return "?";
}

bool Situation_Registry::Add(const std::string& name, const std::string& table,
                             const std::string& condition, std::string* err,
                             const std::string& run) {
  Posix_Mutex::Hold install(&install_mu_);
  {
    Posix_Mutex::Hold g(&mu_);
    if (entries_.count(name) != 0) {
      *err = "situation " + name + " already exists" +
             (entries_[name].info.fleet_key.empty() ? "" : " (from the fleet)");
      return false;
    }
    if (entries_.size() >= SITUATIONS_MAX) {
      *err = "at most " + std::to_string(SITUATIONS_MAX) +
             " situations can be defined";
      return false;
    }
  }
  Entry entry;
  if (!Make(name, table, condition, run, &entry, err)) {
    return false;
  }
  Posix_Mutex::Hold g(&mu_);
  if (entries_.count(name) != 0) {  // added meanwhile by another request
    vandu::Destroy(entry.object);
    *err = "situation " + name + " already exists";
    return false;
  }
  entries_[name] = entry;
  MarkAlerting(entries_);
  entry.object->Manager()->AddLive(entry.object);
  return true;
}

bool Situation_Registry::Delete(const std::string& name, std::string* err) {
  Posix_Mutex::Hold install(&install_mu_);
  vandu* v = nullptr;
  {
    Posix_Mutex::Hold g(&mu_);
    const auto it = entries_.find(name);
    if (it == entries_.end()) {
      *err = "no situation named " + name;
      return false;
    }
    if (!it->second.info.fleet_key.empty()) {
      *err = "situation " + name + " comes from the fleet (key " +
             it->second.info.fleet_key +
             "); delete it there: qorctl --fleet URL situation del " + name;
      return false;
    }
    v = it->second.object;
    entries_.erase(it);
    MarkAlerting(entries_);
  }
  // Off the list under the manager's lock first: a pass in progress finishes
  // with it, and a pinned object is deleted by its last DAV1_Drop.
  v->Manager()->RemoveLive(v);
  if (Situation_Memory* m = v->Memory()) {
    m->Restate(true);  // its firing alerts end with it
  }
  vandu::Destroy(v);
  if (fleet_.count(name) != 0) {  // the fleet's situation of that name runs
    Compose(LocalEntries(), {});
  }
  return true;
}

std::vector<Situation_Info> Situation_Registry::List() {
  Posix_Mutex::Hold g(&mu_);
  std::vector<Situation_Info> out;
  for (const auto& kv : entries_) {
    Situation_Info info = kv.second.info;
    info.stopped = kv.second.object->IsStopped();
    info.reason = kv.second.object->StopReason();
    info.matched = kv.second.object->RowsMatched();
    info.dispatched = kv.second.object->EventsDispatched();
    info.suppressed = kv.second.object->EventsSuppressed();
    if (Situation_Memory* m = kv.second.object->Memory()) {
      const Memory_Counts c = m->Counts();
      info.remembers = true;
      info.open_pairs = c.open_pairs;
      info.awaited = c.awaited;
      info.firing = c.firing;
      info.evicted = c.evicted;
    }
    out.push_back(info);
  }
  return out;
}

namespace {

// The record name's part that tells one definition from another.
std::string DefinitionTag(const std::string& definition) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : definition) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char tag[17];
  snprintf(tag, sizeof tag, "%016llx", static_cast<unsigned long long>(hash));
  return tag;
}

}  // namespace

void Situation_Registry::SaveState(
    std::vector<std::pair<std::string, std::string>>* records) {
  Posix_Mutex::Hold g(&mu_);
  if (entries_.empty()) {
    records->insert(records->end(), parting_.begin(), parting_.end());
    return;
  }
  SaveStateLocked(records);
}

void Situation_Registry::SaveStateLocked(
    std::vector<std::pair<std::string, std::string>>* records) {
  const size_t most_bytes = SITUATION_STATE_BYTES;
  size_t bytes = 0;
  for (const auto& kv : entries_) {
    Situation_Memory* m = kv.second.object->Memory();
    if (m == nullptr) {
      continue;
    }
    std::vector<std::string> items;
    m->Save(&items);
    const std::string name = std::string(SITUATION_STATE_PREFIX) + kv.first +
                             ":" + DefinitionTag(kv.second.definition) + ":";
    std::string text;
    size_t n = 0;
    const auto flush = [&] {
      if (!text.empty()) {
        bytes += text.size() + name.size() + 64;
        records->emplace_back(name + std::to_string(n++), std::move(text));
        text.clear();
      }
    };
    for (const std::string& item : items) {
      if (item.size() > SITUATION_STATE_TEXT_MAX || bytes >= most_bytes) {
        continue;
      }
      if (text.size() + item.size() + 1 > SITUATION_STATE_TEXT_MAX) {
        flush();
      }
      text += (text.empty() ? "" : "|") + item;
    }
    flush();
  }
}

void Situation_Registry::RestoreState(
    const std::vector<std::pair<std::string, std::string>>& records) {
  Posix_Mutex::Hold g(&mu_);
  std::map<std::string, std::vector<std::string>> wanted;
  for (const auto& r : records) {
    const std::string& name = r.first;
    const size_t prefix = sizeof SITUATION_STATE_PREFIX - 1;
    const size_t colon = name.find(':', prefix);
    const size_t last = name.rfind(':');
    if (name.compare(0, prefix, SITUATION_STATE_PREFIX) != 0 ||
        colon == std::string::npos || last <= colon) {
      continue;
    }
    const auto it = entries_.find(name.substr(prefix, colon - prefix));
    if (it == entries_.end() || it->second.object->Memory() == nullptr ||
        name.substr(colon + 1, last - colon - 1) !=
            DefinitionTag(it->second.definition)) {
      continue;
    }
    std::vector<std::string>& items = wanted[it->first];
    size_t start = 0;
    while (start <= r.second.size()) {
      const size_t bar = r.second.find('|', start);
      items.push_back(r.second.substr(
          start, bar == std::string::npos ? std::string::npos : bar - start));
      if (bar == std::string::npos) {
        break;
      }
      start = bar + 1;
    }
  }
  for (const auto& kv : wanted) {
    Situation_Memory* m = entries_[kv.first].object->Memory();
    m->Load(kv.second);
    m->Restate();  // its firing alerts, told again where alerts are kept
  }
}

uint64_t Situation_Registry::StateChanges() {
  Posix_Mutex::Hold g(&mu_);
  uint64_t sum = 0;
  for (const auto& kv : entries_) {
    if (Situation_Memory* m = kv.second.object->Memory()) {
      sum += m->Changes();
    }
  }
  return sum;
}

std::vector<Firing_Alert_Info> Situation_Registry::Alerts() {
  Posix_Mutex::Hold g(&mu_);
  std::vector<Firing_Alert_Info> out;
  for (const auto& kv : entries_) {
    if (Situation_Memory* m = kv.second.object->Memory()) {
      m->FiringAlerts(&out);
    }
  }
  return out;
}

bool Situation_Registry::LoadFile(const std::string& path,
                                  std::vector<std::string>* problems,
                                  std::string* err) {
  Unique_File in(fopen(path.c_str(), "re"));
  struct stat st;
  if (in == nullptr || fstat(fileno(in.get()), &st) != 0) {
    *err = "cannot read situations file " + path + ": " + strerror(errno) +
           "; the situations are unchanged";
    return false;
  }
  if (st.st_size == 0) {
    const size_t defined = LocalEntries().size();
    if (defined != 0) {
      *err = "situations file " + path + " is empty (0 bytes) while " +
             std::to_string(defined) +
             " situations are defined; the situations are unchanged";
      return false;
    }
  }
  std::vector<Entry> wanted;
  std::map<std::string, int> lines;  // name -> line that defines it
  const auto drop = [&wanted] {
    for (Entry& e : wanted) {
      vandu::Destroy(e.object);
    }
  };
  std::string line;
  int number = 0;
  bool more = true;
  while (more) {
    // One line at a time, at most SITUATION_LINE_MAX bytes of it kept.
    line.clear();
    bool too_long = false;
    int c;
    while ((c = getc(in.get())) != EOF && c != '\n') {
      if (line.size() < SITUATION_LINE_MAX) {
        line.push_back(static_cast<char>(c));
      } else {
        too_long = true;
      }
    }
    more = c != EOF;
    if (!more && line.empty()) {
      break;
    }
    ++number;
    const std::string at = path + ":" + std::to_string(number) + ": ";
    if (too_long) {
      problems->push_back(at + "line longer than " +
                          std::to_string(SITUATION_LINE_MAX) + " bytes");
      continue;
    }
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') {
      continue;
    }
    if (line.back() == '\r') {
      line.pop_back();
    }
    if (wanted.size() >= SITUATIONS_MAX) {
      drop();
      *err = "situations file " + path + " defines more than " +
             std::to_string(SITUATIONS_MAX) + " situations (line " +
             std::to_string(number) + "); the situations are unchanged";
      return false;
    }
    std::string name, why;
    Entry entry;
    if (!MakeLine(line, &name, &entry, &why)) {
      problems->push_back(at + why);
      continue;
    }
    if (lines.count(name) != 0) {
      vandu::Destroy(entry.object);
      problems->push_back(at + "situation " + name + " already exists");
      continue;
    }
    lines[name] = number;
    wanted.push_back(std::move(entry));
  }
  if (ferror(in.get())) {
    drop();
    *err = "cannot read situations file " + path + ": " + strerror(errno) +
           "; the situations are unchanged";
    return false;
  }
  Posix_Mutex::Hold install(&install_mu_);
  Compose(std::move(wanted), {});
  return true;
}

void Situation_Registry::Install(std::vector<Entry> wanted, bool ending) {
  std::vector<vandu*> doomed;
  {
    Posix_Mutex::Hold g(&mu_);
    std::map<TableManager*, std::pair<std::vector<vandu*>, std::vector<vandu*>>>
        changes;
    std::map<std::string, Entry> next;
    for (Entry& e : wanted) {
      const auto old = entries_.find(e.info.name);
      if (old != entries_.end() && old->second.object == e.object) {
        next[e.info.name] = e;  // the running one, its source perhaps new
        entries_.erase(old);
        continue;
      }
      if (old != entries_.end() && old->second.definition == e.definition) {
        doomed.push_back(
            e.object);  // unchanged: the running object keeps its counts
        Entry& kept = next[e.info.name] = old->second;
        kept.info.fleet_key = e.info.fleet_key;
        kept.info.fleet_revision = e.info.fleet_revision;
        entries_.erase(old);
        continue;
      }
      changes[e.object->Manager()].second.push_back(e.object);
      next[e.info.name] = e;
    }
    for (auto& kv : entries_) {
      changes[kv.second.object->Manager()].first.push_back(kv.second.object);
      doomed.push_back(kv.second.object);
    }
    MarkAlerting(next);
    // Each table swaps its situations under its own lock in one step, so that
    // a row arriving meanwhile meets either the old set or the new one.
    for (auto& kv : changes) {
      kv.first->ReplaceLive(kv.second.first, kv.second.second);
    }
    entries_.swap(next);
  }
  for (vandu* v : doomed) {
    // Redefined or dropped: its firing alerts end with it, unless the agent
    // stops (they are saved, and told again at the next start).
    if (Situation_Memory* m = v->Memory(); m != nullptr && !ending) {
      m->Restate(true);
    }
    vandu::Destroy(v);
  }
}

void Situation_Registry::MarkAlerting(
    const std::map<std::string, Entry>& entries) {
  bool marked = false;
  for (const auto& kv : entries) {
    marked = marked || kv.second.object->Clauses().alert;
  }
  for (const auto& kv : entries) {
    vandu* v = kv.second.object;
    const bool alerting = !marked || v->Clauses().alert;
    Situation_Memory* m = v->Memory();
    if (v->Alerting() && !alerting && m != nullptr) {
      m->Restate(true);  // its firing alerts end where alerts are kept
    }
    v->SetAlerting(alerting);
  }
}

bool Situation_Registry::Reload(std::vector<std::string>* problems,
                                std::string* err) {
  const char* path = getenv("HOV_SITUATIONS");
  if (!HOV_TrustedFile("situations file", path, false, err)) {
    *err += " The situations are unchanged.";  // they keep running
    return false;
  }
  if (path == nullptr || *path == '\0') {
    return true;
  }
  return LoadFile(path, problems, err);
}

void Situation_Registry::Clear() {
  Posix_Mutex::Hold install(&install_mu_);
  {
    // The state file is written once more after the situations are gone.
    Posix_Mutex::Hold g(&mu_);
    parting_.clear();
    SaveStateLocked(&parting_);
    outcomes_.clear();
  }
  fleet_.clear();
  Install({}, true);
}

std::vector<Situation_Registry::Entry> Situation_Registry::LocalEntries() {
  Posix_Mutex::Hold g(&mu_);
  std::vector<Entry> out;
  for (const auto& kv : entries_) {
    if (kv.second.info.fleet_key.empty()) {
      out.push_back(kv.second);
    }
  }
  return out;
}

void Situation_Registry::Compose(std::vector<Entry> local,
                                 std::map<std::string, Entry> made) {
  std::map<std::string, Entry> running;  // the fleet's, by name
  {
    Posix_Mutex::Hold g(&mu_);
    for (const auto& kv : entries_) {
      if (!kv.second.info.fleet_key.empty()) {
        running[kv.first] = kv.second;
      }
    }
  }
  std::map<std::string, bool> own;
  for (const Entry& e : local) {
    own[e.info.name] = true;
  }
  std::vector<Entry> wanted = std::move(local);
  std::map<std::string, Fleet_Outcome> decided;
  for (const auto& [name, fl] : fleet_) {
    const auto m = made.find(name);
    if (own.count(name) != 0) {
      decided[fl.key] = {
          fl.revision, Fleet_State::kOverridden,
          "the host's own situation " + name + " takes precedence"};
      continue;
    }
    Entry e;
    const auto r = running.find(name);
    std::string unused, why;
    if (m != made.end()) {
      e = m->second;
      made.erase(m);
    } else if (r != running.end() && r->second.info.fleet_key == fl.key &&
               r->second.info.fleet_revision == fl.revision) {
      e = r->second;
    } else if (!MakeLine(fl.line, &unused, &e, &why)) {
      decided[fl.key] = {fl.revision, Fleet_State::kRefused, why};
      continue;
    }
    e.info.fleet_key = fl.key;
    e.info.fleet_revision = fl.revision;
    decided[fl.key] = {fl.revision, Fleet_State::kApplied, ""};
    wanted.push_back(std::move(e));
  }
  for (auto& kv : made) {
    vandu::Destroy(kv.second.object);
  }
  Install(std::move(wanted));
  Posix_Mutex::Hold g(&mu_);
  ++outcome_changes_;
  for (auto& kv : decided) {
    // A newer revision of the key refused keeps its refusal.
    const auto it = outcomes_.find(kv.first);
    if (it == outcomes_.end() || it->second.revision <= kv.second.revision) {
      outcomes_[kv.first] = std::move(kv.second);
    }
  }
}

void Situation_Registry::InstallFleet(
    const std::vector<Fleet_Line>& lines, bool allow_run,
    const std::map<std::string, Fleet_Outcome>& outcomes) {
  Posix_Mutex::Hold install(&install_mu_);
  std::map<std::string, Fleet_Outcome> refused = outcomes;
  std::map<std::string, Fleet_Line> next;
  std::map<std::string, Entry> made;
  for (const Fleet_Line& fl : lines) {
    const auto old = fleet_.find(fl.name);
    if (old != fleet_.end() && old->second.key == fl.key &&
        old->second.revision == fl.revision) {
      next[fl.name] = fl;  // unchanged
      continue;
    }
    Entry e;
    std::string name, why;
    bool ok = false;
    if (fl.line.size() > SITUATION_LINE_MAX) {
      why = "a line of " + std::to_string(fl.line.size()) + " bytes; at most " +
            std::to_string(SITUATION_LINE_MAX) + " are taken";
    } else if (fl.line.find_first_of(std::string("\r\n\0", 3)) !=
               std::string::npos) {
      why = "a situation is one line: the value holds a line break or a NUL";
    } else {
      ok = MakeLine(fl.line, &name, &e, &why);
    }
    if (ok && name != fl.name) {
      why = "the line defines situation " + name + ", the key names " + fl.name;
      ok = false;
    } else if (ok && !e.info.run.empty() && !allow_run) {
      why =
          "a RUN action is not taken from the fleet (the host does not set HOV_FLEET_RUN=allow)";
      ok = false;
    }
    if (!ok) {
      if (e.object != nullptr) {
        vandu::Destroy(e.object);
      }
      refused[fl.key] = {fl.revision, Fleet_State::kRefused, why};
      if (old != fleet_.end()) {
        next[fl.name] = old->second;  // the previous one keeps running
      }
      continue;
    }
    if (made.count(fl.name) != 0) {
      vandu::Destroy(made[fl.name].object);
    }
    next[fl.name] = fl;
    made[fl.name] = e;
  }
  fleet_.swap(next);
  {
    Posix_Mutex::Hold g(&mu_);
    outcomes_ = std::move(refused);
  }
  Compose(LocalEntries(), std::move(made));
}

std::map<std::string, Fleet_Outcome> Situation_Registry::FleetOutcomes() {
  Posix_Mutex::Hold g(&mu_);
  return outcomes_;
}

uint64_t Situation_Registry::FleetChanges() {
  Posix_Mutex::Hold g(&mu_);
  return outcome_changes_;
}

std::vector<Fleet_Line> Situation_Registry::FleetLines() {
  Posix_Mutex::Hold g(&install_mu_);
  std::vector<Fleet_Line> out;
  for (const auto& kv : fleet_) {
    out.push_back(kv.second);
  }
  return out;
}
