#include "framework/event_sink.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "framework/row_json.h"
#include "util/append_file.h"

namespace {

struct SinkState {
  std::mutex mu;
  FILE* out = nullptr;  // null: stdout
  bool owned = false;
};

SinkState& State() {
  static auto* s = new SinkState;
  return *s;
}

void CloseLocked(SinkState& s) {
  if (s.owned && s.out != nullptr) {
    fclose(s.out);
  }
  s.out = nullptr;
  s.owned = false;
}

}  // namespace

bool Event_Sink::Open(const char* path, std::string* err) {
  SinkState& s = State();
  if (path == nullptr || *path == '\0') {
    std::lock_guard<std::mutex> g(s.mu);
    CloseLocked(s);
    return true;
  }
  FILE* f = OpenForAppend(path, "event file", err);
  if (f == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> g(s.mu);
  CloseLocked(s);
  s.out = f;
  s.owned = true;
  return true;
}

void Event_Sink::Use(FILE* f) {
  SinkState& s = State();
  std::lock_guard<std::mutex> g(s.mu);
  CloseLocked(s);
  s.out = f;
}

void Event_Sink::Close() {
  SinkState& s = State();
  std::lock_guard<std::mutex> g(s.mu);
  CloseLocked(s);
}

bool Event_Sink::Write(const std::string& situation, const std::string& table,
                       const std::string& row) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  gmtime_r(&tv.tv_sec, &tm);
  char when[64];
  snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
           static_cast<int>(tv.tv_usec / 1000));
  std::string line = "{\"time\":\"";
  line += when;
  line += "\",\"situation\":";
  JsonAppendString(&line, situation);
  line += ",\"table\":";
  JsonAppendString(&line, table);
  line += ",\"row\":";
  line += row;
  line += "}\n";
  SinkState& s = State();
  std::lock_guard<std::mutex> g(s.mu);
  FILE* out = s.out != nullptr ? s.out : stdout;
  const bool ok = fwrite(line.data(), 1, line.size(), out) == line.size();
  return fflush(out) == 0 && ok;
}
