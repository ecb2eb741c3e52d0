// Test-only log kind and log manager for the Log_File and Log_Manager tests.
//
// Test_Log watches a file like the text kinds do, with a configurable poll
// interval (short by default, so that stopping a log is quick), records
// every entry it is asked to format, and fails entries that begin with
// "BAD". Test_Manager is a Log_Manager without signal mask or manager
// thread, whose refresh creates a Test_Log for each of the four type letters.
#ifndef QOR_TESTS_AGENT_LOG_TEST_KINDS_H_
#define QOR_TESTS_AGENT_LOG_TEST_KINDS_H_

#include <stdio.h>
#include <string.h>
#include <sys/time.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/config/config_def.h"
#include "agent/config/valid_log.h"
#include "agent/kinds/log_file.h"
#include "agent/log_manager.h"
#include "agent/tvxmain.h"
#include "tables/tvx_vxlogent_schema.h"

namespace qortest {

class Test_Log : public Log_File {
 public:
  // Poll interval of new objects, in microseconds.
  static std::atomic<long>& IntervalMicros() {
    static std::atomic<long> interval{100000};
    return interval;
  }
  // File names of destroyed objects, in order of destruction.
  static std::vector<std::string> Destroyed() {
    std::lock_guard<std::mutex> g(DestroyedMu());
    return DestroyedList();
  }
  static void ClearDestroyed() {
    std::lock_guard<std::mutex> g(DestroyedMu());
    DestroyedList().clear();
  }

  Test_Log(const Valid_Log& log, Log_File* anchor, bool start = true)
      : Log_File(log, anchor), interval_us_(IntervalMicros().load()) {
    if (start) {
      lfStartThread();
    }
  }
  ~Test_Log() override {
    lfStopThread();
    std::lock_guard<std::mutex> g(DestroyedMu());
    DestroyedList().emplace_back(LogFileName != nullptr ? LogFileName : "");
  }

  void lfProcessLogData() override {
    lfFOpenLogAndSeek();
    if (LogFileP != nullptr) {
      struct timeval interval;
      interval.tv_sec = interval_us_ / 1000000;
      interval.tv_usec = interval_us_ % 1000000;
      lfWaitForEventLoop(interval);
      lfFCloseLog();
    }
  }

  long lfFormatEntryAsRow(char* entry, void* row, void* /*report*/) override {
    {
      std::lock_guard<std::mutex> g(mu_);
      entries_.emplace_back(entry);
    }
    if (strncmp(entry, "BAD", 3) == 0) {
      return -1;
    }
    auto* r = static_cast<tvx_vxlogent_data_t*>(row);
    memset(r, ' ', sizeof *r);
    const size_t n = strcspn(entry, "\n");
    memcpy(r->entrydesc, entry,
           n < sizeof r->entrydesc ? n : sizeof r->entrydesc);
    lfFillCommonColumns(r);
    return 0;
  }
  void* lfStartReportRequest(void* /*thresholds*/) override { return nullptr; }
  void* lfGetNextLogEntry(void* /*row*/, void* /*report*/,
                          void* /*thresholds*/) override {
    return nullptr;
  }
  void lfEndReportRequest(void** report) override { *report = nullptr; }

  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> g(mu_);
    return entries_;
  }
  std::string Status() {
    char text[33] = {};
    lfGetMonitorStatus(text, 32);
    return text;
  }

 private:
  static std::mutex& DestroyedMu() {
    static std::mutex mu;
    return mu;
  }
  static std::vector<std::string>& DestroyedList() {
    static std::vector<std::string> list;
    return list;
  }

  const long interval_us_;
  mutable std::mutex mu_;
  std::vector<std::string> entries_;
};

class Test_Manager : public Log_Manager {
 public:
  // With `create_kinds` false, the manager's own creation step runs.
  explicit Test_Manager(bool create_kinds = true)
      : Log_Manager(false), create_kinds_(create_kinds) {}

  Test_Log* Log(int position) {
    Log_File* log = FirstLogObject;
    for (int i = 0; i < position && log != nullptr; ++i) {
      log = static_cast<Log_File*>(log->Next);
    }
    return static_cast<Test_Log*>(log);
  }

 protected:
  Log_File* lmCreateLogObject(const Valid_Log& log) override {
    const bool known = log.LogType == SYSLOGTYPE || log.LogType == ERRLOGTYPE ||
                       log.LogType == ADMINLOGTYPE ||
                       log.LogType == USERLOGTYPE;
    if (!create_kinds_ || !known) {
      return Log_Manager::lmCreateLogObject(log);
    }
    return new Test_Log(log, FirstLogObject);
  }

 private:
  const bool create_kinds_;
};

// Makes `manager` the process's log manager while it lives.
class Scoped_Log_Manager {
 public:
  explicit Scoped_Log_Manager(Log_Manager* manager)
      : manager_(manager), saved_(pTheLogManager) {
    pTheLogManager = manager;
  }
  // The workers read pTheLogManager: they end before it changes back.
  ~Scoped_Log_Manager() {
    manager_->lmStopLogs();
    pTheLogManager = saved_;
  }
  Scoped_Log_Manager(const Scoped_Log_Manager&) = delete;
  Scoped_Log_Manager& operator=(const Scoped_Log_Manager&) = delete;

 private:
  Log_Manager* manager_;
  Log_Manager* saved_;
};

// A Valid_Log parsed from an agent configuration line, in a ring of one.
inline std::unique_ptr<Valid_Log> MakeValidLog(const std::string& line) {
  std::vector<char> record(line.begin(), line.end());
  record.push_back('\0');
  return std::make_unique<Valid_Log>(USERCONFIG, record.data(), nullptr);
}

}  // namespace qortest

#endif  // QOR_TESTS_AGENT_LOG_TEST_KINDS_H_
