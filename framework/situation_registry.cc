#include "framework/situation_registry.h"

#include <ctype.h>
#include <stdlib.h>

#include <fstream>

#include "framework/condition.h"
#include "framework/table_manager.h"
#include "framework/vandu.h"
#include "framework/trusted_files.h"

namespace {

bool ValidName(const std::string& n) {
  if (n.empty() || n.size() > 31) {
    return false;
  }
  for (const char c : n) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') {
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseSituationLine(const std::string& line, std::string* name, std::string* table,
                        std::string* condition, std::string* err) {
  size_t p = line.find_first_not_of(" \t");
  if (p == std::string::npos) {
    *err = "expected a situation name at column 1";
    return false;
  }
  size_t e = line.find_first_of(" \t", p);
  *name = line.substr(p, e == std::string::npos ? std::string::npos : e - p);
  if (!ValidName(*name)) {
    *err = "expected a situation name of 1 to 31 letters, digits, '_', '-' or '.' at column " +
           std::to_string(p + 1);
    return false;
  }
  p = e == std::string::npos ? std::string::npos : line.find_first_not_of(" \t", e);
  if (p == std::string::npos) {
    *err = "expected a table name after the situation name at column " +
           std::to_string(line.size() + 1);
    return false;
  }
  e = line.find_first_of(" \t", p);
  *table = line.substr(p, e == std::string::npos ? std::string::npos : e - p);
  p = e == std::string::npos ? std::string::npos : line.find_first_not_of(" \t", e);
  *condition = p == std::string::npos ? "" : line.substr(p);
  while (!condition->empty() && isspace(static_cast<unsigned char>(condition->back()))) {
    condition->pop_back();
  }
  return true;
}

Situation_Registry& Situation_Registry::Instance() {
  static auto* r = new Situation_Registry;
  return *r;
}

bool Situation_Registry::Add(const std::string& name, const std::string& table,
                             const std::string& condition, std::string* err) {
  if (!ValidName(name)) {
    *err = "bad situation name \"" + name + "\"; expected 1 to 31 letters, digits, '_', '-' or '.'";
    return false;
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    if (entries_.count(name) != 0) {
      *err = "situation " + name + " already exists";
      return false;
    }
  }
  vandu* v = HOV_CreateRequest(table, condition, SAMPLE_SITUATION, name, err);
  if (v == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> g(mu_);
  if (entries_.count(name) != 0) {  // added meanwhile by another request
    vandu::Destroy(v);
    *err = "situation " + name + " already exists";
    return false;
  }
  Situation_Info info;
  info.name = name;
  info.table = v->ApplName() + "." + v->TableName();
  info.condition = condition;
  entries_[name] = Entry{info, v};
  v->Manager()->AddLive(v);
  return true;
}

bool Situation_Registry::Delete(const std::string& name, std::string* err) {
  vandu* v = nullptr;
  {
    std::lock_guard<std::mutex> g(mu_);
    const auto it = entries_.find(name);
    if (it == entries_.end()) {
      *err = "no situation named " + name;
      return false;
    }
    v = it->second.object;
    entries_.erase(it);
  }
  // Off the list under the manager's lock first: a pass in progress finishes
  // with it, and a pinned object is deleted by its last DAV1_Drop.
  v->Manager()->RemoveLive(v);
  vandu::Destroy(v);
  return true;
}

std::vector<Situation_Info> Situation_Registry::List() {
  std::lock_guard<std::mutex> g(mu_);
  std::vector<Situation_Info> out;
  for (const auto& kv : entries_) {
    Situation_Info info = kv.second.info;
    info.stopped = kv.second.object->IsStopped();
    info.reason = kv.second.object->StopReason();
    out.push_back(info);
  }
  return out;
}

bool Situation_Registry::LoadFile(const std::string& path, std::vector<std::string>* problems,
                                  std::string* err) {
  std::ifstream in(path);
  if (!in) {
    *err = "cannot read situations file " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') {
      continue;
    }
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    std::string name, table, condition, why;
    bool ok = ParseSituationLine(line, &name, &table, &condition, &why);
    if (ok) {
      // Parse once with the condition at its place in the line, so that a
      // syntax error names the column of the line.
      size_t end = line.size();
      while (end > 0 && isspace(static_cast<unsigned char>(line[end - 1]))) {
        --end;
      }
      std::vector<Threshold_Spec> specs;
      ok = ParseCondition(std::string(end - condition.size(), ' ') + condition, &specs, &why) &&
           Add(name, table, condition, &why);
    }
    if (!ok) {
      problems->push_back(path + ":" + std::to_string(number) + ": " + why);
    }
  }
  return true;
}

bool Situation_Registry::Reload(std::vector<std::string>* problems, std::string* err) {
  const char* path = getenv("HOV_SITUATIONS");
  if (!HOV_TrustedFile("situations file", path, false, err)) {
    *err += " The situations are unchanged.";  // they keep running
    return false;
  }
  Clear();
  if (path == nullptr || *path == '\0') {
    return true;
  }
  return LoadFile(path, problems, err);
}

void Situation_Registry::Clear() {
  std::map<std::string, Entry> doomed;
  {
    std::lock_guard<std::mutex> g(mu_);
    doomed.swap(entries_);
  }
  for (auto& kv : doomed) {
    kv.second.object->Manager()->RemoveLive(kv.second.object);
    vandu::Destroy(kv.second.object);
  }
}
