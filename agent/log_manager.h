// The log manager: the single owner of every monitored log.
#ifndef QOR_AGENT_LOG_MANAGER_H_
#define QOR_AGENT_LOG_MANAGER_H_

class Log_Manager {
 public:
  // The process's log manager, created by main; null while the agent runs
  // without one.
  static Log_Manager* Create() { return nullptr; }
  virtual ~Log_Manager() = default;
  void lmBeginRequest() {}
  void lmEndRequest() {}
  void lmSetServerUp() {}
};

#endif  // QOR_AGENT_LOG_MANAGER_H_
