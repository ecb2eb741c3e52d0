#include "agent/log_manager.h"

#include "agent/log_file.h"

Log_Manager::Log_Manager() : Log_Manager(true) {}

Log_Manager::Log_Manager(bool start_manager_thread)
    : ConfigFile(nullptr),
      ConfigFileLastChanged(0),
      SyslogConfFile(nullptr),
      SyslogConfFileLastChanged(0),
      NumLogs(0),
      FirstLogObject(nullptr),
      FirstValidLog(nullptr),
      UseCount(0),
      ManagerThread(),
      ManagerLock(),
      ManagerNotInUse(),
      AgentServerUp(0),
      AgentServerNotUp(),
      SignalSet(),
      DebugLog(nullptr),
      DebugLogP(nullptr),
      ManagerThreadStarted(false),
      SyncObjectsReady(false) {
  (void)start_manager_thread;
}

Log_Manager::~Log_Manager() {}

Log_File* Log_Manager::lmCreateLogObject(const Valid_Log&) { return nullptr; }
void Log_Manager::lmBeginRequest() {}
void Log_Manager::lmEndRequest() {}
void Log_Manager::lmSetServerUp() {}
