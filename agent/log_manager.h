// Log_Manager: the single owner of everything the agent monitors. Its
// code: log_manager.cc (the manager thread and refresh),
// log_manager_ring.cc (requests and the ring), log_manager_state.cc
// (positions, restarts, the debug log); the system log it resolves through
// agent/config/system_log.h.
//
// main creates the one manager (pTheLogManager) and ShutDown deletes it.
// The constructor reads the environment, blocks the control signals in the
// calling (initial) thread, so that every later thread inherits the mask,
// and starts the manager thread. The manager thread refreshes (reads the
// agent or syslog configuration into a ring of Valid_Log descriptors and
// reconciles the ring of Log_File objects with it), then waits in sigwait:
// SIGHUP refreshes again, SIGTERM/SIGINT stop, SIGQUIT aborts, SIGCHLD is
// ignored. On a stop, or when nothing is left to monitor, it waits for the
// runtime's server to be up and calls rpc__shutdown, so that hovmain returns.
//
// Ownership: the manager owns the three path strings, the debug-log stream,
// every Valid_Log of FirstValidLog's ring (only during a refresh) and every
// Log_File of FirstLogObject's ring; the destructor deletes them all.
//
// Threads and locks:
//  - the manager thread alone runs the refresh and owns the valid-log ring,
//    the configuration paths and their times;
//  - request threads count themselves in and out (lmBeginRequest,
//    lmEndRequest) and, while counted in, walk and search the log-object
//    ring without a lock;
//  - a report that has found its log object and only reads says so
//    (lmLeaveRing, lmReturnToRing): a refresh waits REFRESHWAITSECONDS at
//    most for such reports and then goes ahead, while they read on through
//    their own descriptors; the objects it drops are kept (RetiredLogs)
//    until no request is counted in;
//  - ManagerLock guards UseCount, ReadingCount, AgentServerUp, and the
//    log-object ring and NumLogs while they change; the ring changes only
//    inside lmBuildLogObjects, with ManagerLock held and every request
//    counted in reading (UseCount == ReadingCount), usually none.
// Lock order: ManagerLock -> LogLock (a log object's lock); the debug-file
// lock is never held together with a LogLock. No operation asks for
// ManagerLock while holding a LogLock.
//
// The manager thread runs with cancellation disabled except inside its
// sigwait, where the destructor (on another thread) cancels it.
#ifndef QOR_AGENT_LOG_MANAGER_H_
#define QOR_AGENT_LOG_MANAGER_H_

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "agent/config/config_def.h"
#include "agent/config/log_manager_util.h"
#include "agent/config/valid_log.h"
#include "agent/follow/log_pattern.h"
#include "agent/follow/position_store.h"
#include "agent/kinds/log_owner.h"
#include "util/posix_mutex.h"
#include "util/thread_annotations.h"

class Log_File;

// Seconds a refresh waits for reports still reading before it goes ahead.
constexpr int REFRESHWAITSECONDS = 10;
// Seconds the manager waits for the runtime's server (and for the
// situations to load) before it goes on without it.
constexpr int SERVERWAITSECONDS = 10;

// The control signals: SIGHUP, SIGTERM, SIGCHLD, SIGINT and SIGQUIT. The
// process blocks them before it starts any thread; the manager thread alone
// waits for them.
void FillSignalSet(sigset_t* set);

class Log_Manager : public Log_Owner {
 public:
  // Reads the environment, blocks the control signals in the calling
  // thread and starts the manager thread. Ends the process when the lock,
  // the conditions or the thread cannot be set up.
  Log_Manager();
  Log_Manager(const Log_Manager&) = delete;
  Log_Manager& operator=(const Log_Manager&) = delete;
  // lmShutdown, then releases the paths.
  virtual ~Log_Manager();

  // --- Set-up and the manager thread ----------------------------------
  void lmGetEnvVars();
  // Blocks SignalSet in the calling thread; ends the process on failure.
  void lmSetSigMask();
  // Creates ManagerLock, both conditions and the manager thread; ends the
  // process on failure.
  void lmStartManagerThread();
  // Cancels and joins the manager thread unless called on it (or no thread
  // was started), then destroys ManagerLock and both conditions.
  void lmStopManagerThread();
  // A diagnostic snapshot: reads the counters without taking ManagerLock.
  void lmPrintSelf() NO_THREAD_SAFETY_ANALYSIS;
  // `size` characters; never null (ends the process when memory is out).
  char* lmAllocMem(unsigned int size);

  // --- Refresh (manager thread) ------------------------------------------
  // Re-reads the configuration if it changed and rebuilds the log objects
  // once no request is counted in. NumLogs afterwards.
  unsigned int lmRefresh();
  // Waits for a control signal: 1 to refresh, 0 to stop. SIGQUIT aborts.
  // Between signals it saves the positions every STATESAVESECONDS and
  // restarts the logs in an error status every LOGRETRYSECONDS.
  unsigned char lmWaitForSignal();
  // Restarts the worker of every log in an error status (a file
  // unreadable, a failed read, a command that ended): it resumes where it
  // stopped when the file is the same one. A log whose file (or journal
  // directory) is missing is restarted only once the file is there. A log
  // that fails again is restarted at most once a minute, traced with the
  // number of its failed starts; `all` (a refresh signal) restarts every
  // one at once. Manager thread.
  void lmRetryFailedLogs(bool all = false);
  // Stops every worker and saves the positions they reached. Manager
  // thread, or after it ended.
  void lmStopLogs();
  // Reads the state file (TVX_STATE_FILE) into Positions; a file that
  // cannot be used is traced and ignored.
  void lmLoadPositions();
  // Writes every log's position to the state file when it changed since
  // the last save; a failure is traced once until a save succeeds.
  // Manager thread, or after it ended.
  void lmSavePositions();
  // Hands the saved state of the situations that remember, from the state
  // file, to those situations (once they are loaded, before any log is
  // read). Manager thread.
  void lmRestoreSituationState();
  // Builds the valid-log ring from the configuration that applies: its
  // size, 0 when nothing is to be rebuilt.
  unsigned int lmGetValidLogs();
  // Reads the agent configuration file at `path` into the valid-log ring
  // (pattern lines expanded, the system-log line resolved): the number of
  // accepted entries.
  unsigned int lmCreateValidLogList(const char* path);
  // Parses one record into the valid-log ring: true when accepted.
  bool lmAddValidLog(_WhenceConfig whence, char* record);
  // Parses the lines a pattern line stands for (Log_Patterns::Expand;
  // `expanded` is scratch room) into the ring, each marked with its
  // pattern: the number accepted.
  unsigned int lmAddPatternLogs(const char* record,
                                std::vector<std::string>* expanded);
  // Adds the host's system log to the valid-log ring, each message once:
  // the files the syslog configuration writes to (SyslogWatchFiles; one
  // that does not exist yet is watched when it appears) when the
  // configuration exists, is trusted and one of the files it names exists;
  // else, when `journal` allows, the journal (AddSystemLog in
  // agent/config/system_log.h). Records what
  // it used: the syslog configuration's signature, or
  // SyslogConfFileLastChanged 0 for the journal or nothing. The number of
  // logs added. Manager thread.
  unsigned int lmAddSystemLogs(char debug, bool journal);
  // Whether lmAddSystemLogs may build another list than it did last: the
  // syslog configuration changed, appeared or went, or the list was not
  // built from it (the journal is looked for anew each time).
  bool lmSystemLogChanged();
  // Reconciles the log objects with the `count` valid logs and empties the
  // valid-log ring. REQUIRES: ManagerLock held, UseCount 0.
  // Objects dropped are told to stop and moved to `dropped`, out of the
  // ring, for the caller to delete once ManagerLock is released (joining
  // their workers must not block requests); null deletes them here.
  void lmBuildLogObjects(unsigned int count,
                         std::vector<Log_File*>* dropped = nullptr) REQUIRES(ManagerLock);
  // Waits until no request walks the ring: up to RefreshWaitSeconds for
  // every request to end, then only for those still walking (reports that
  // only read go on). False, without waiting further, as soon as a stop
  // signal is pending. REQUIRES: ManagerLock held (released while waiting).
  bool lmWaitForRequests() REQUIRES(ManagerLock);
  // Deletes the retired log objects once no request is counted in.
  // Manager thread; takes ManagerLock.
  void lmDeleteRetiredLogs();
  // Empties the valid-log ring, its last element first.
  void lmDropValidLogs();
  // Opens DebugLog for appending, line-buffered; DebugLogP stays null
  // (traced) on failure.
  void lmOpenDebugLog();
  void lmCloseDebugLog();
  // Take and release ManagerLock; end the process on failure.
  void lmLockManager() ACQUIRE(ManagerLock);
  void lmUnlockManager() RELEASE(ManagerLock);
  // Waits until the runtime's server is up, at most 10 seconds per wait;
  // ends the process with exit status -1 when a wait times out.
  void lmWaitForServerUp();

  // --- Request accounting (request threads) --------------------------
  // Counts a request in; blocks while a rebuild holds ManagerLock.
  void lmBeginRequest();
  // Counts a request out; the last one out wakes a waiting refresh. An
  // end without a begin is traced and leaves the count at 0.
  void lmEndRequest();
  // A request counted in that has found its log object and walks the ring
  // no more: a refresh may go ahead after REFRESHWAITSECONDS without it,
  // and keeps the object alive while it is counted in. lmReturnToRing
  // undoes it (before lmEndRequest). REQUIRES: counted in.
  void lmLeaveRing();
  void lmReturnToRing();
  // Records that the runtime's server is listening and wakes the
  // terminating manager thread.
  void lmSetServerUp();
  // Records that the situations are loaded: the manager thread builds and
  // starts the logs only then (at most SERVERWAITSECONDS later in any
  // case), so that no entry read at start, a resumed backlog above all,
  // meets an empty set of situations.
  void lmSetFrameworkReady();
  // Records that the framework failed to start: the manager thread then
  // starts no log and ends at once instead of waiting for it.
  void lmSetFrameworkFailed();
  // False when the framework failed to start.
  bool lmWaitForFrameworkReady();
  // The ring walk: call with (null, 0), then with the previous result and
  // the number of objects received so far, until null.
  // REQUIRES: counted in (lmBeginRequest), or the manager thread.
  Log_File* lmGetNextLogObject(Log_File* current, unsigned int index);
  // The log object whose LogFileName is exactly `name`, or null.
  // REQUIRES: counted in, or the manager thread.
  Log_File* lmFindLogObject(char* name);

  // --- Deletion and shutdown ---------------------------------------------
  // Stops the manager thread, deletes every log object (last to first) and
  // closes the debug log. Requests still counted in are not waited for.
  void lmShutdown();
  // Deletes `object`, at position `number` (from 1 at the head), and every
  // object after it up to the end of the ring, the last first.
  void lmDeleteNextLog(Log_File* object, unsigned int number);
  // Stops and deletes one log object, moving the head when needed. Ends the
  // process when the ring does not hold NumLogs objects.
  // REQUIRES: ManagerLock held and UseCount 0, or the manager thread ended.
  void lmDeleteLogObject(Log_File* object);
  // Takes `object` out of the ring, moving the head when needed; ends the
  // process when the ring does not hold NumLogs objects. Same REQUIRES.
  void lmDetachLogObject(Log_File* object);
  // Tells every worker to stop, without waiting for any.
  void lmRequestStopAll();

  // --- State ---------------------------------------------------------------
  char* ConfigFile;  // TVX_CONFIG_FILE; null when unset or empty
  // Modification time of ConfigFile when the logs were built from it; 0
  // when they were not. ConfigFileSignature is what the change test
  // compares (nanoseconds, size, inode).
  time_t ConfigFileLastChanged;
  File_Signature ConfigFileSignature;
  // TVX_SYSLOG_CONF, else /etc/syslog.conf or, without it, /etc/rsyslog.conf
  char* SyslogConfFile;
  time_t SyslogConfFileLastChanged;
  File_Signature SyslogConfFileSignature;
  // The records of the files the syslog configuration named when it was
  // last read; watched on while it is gone (SyslogConfGone: until it
  // returns or the agent configuration drops it). Manager thread.
  std::vector<std::string> SyslogRecords;
  bool SyslogConfGone = false;
  int NumLogs;               // objects in the log-object ring
  Log_File* FirstLogObject;  // head of the log-object ring; null when empty
  // Head of the valid-log ring; non-null only during a refresh.
  Valid_Log* FirstValidLog;
  unsigned int UseCount GUARDED_BY(ManagerLock);  // requests counted in
  // Of those, the reports that walk the ring no more (lmLeaveRing).
  unsigned int ReadingCount GUARDED_BY(ManagerLock);
  // Log objects a refresh dropped while reports were still reading: out of
  // the ring, their workers stopped; deleted once UseCount is 0. Manager
  // thread.
  std::vector<Log_File*> RetiredLogs;
  // The configuration's pattern lines, expanded at each reading; a change
  // in a pattern's directory has the configuration read again (the state
  // of PatternRescan). Manager thread only.
  Log_Patterns Patterns;
  bool PatternRescan = false;
  // When the pattern lines were last expanded (MonotonicMs): a directory
  // that keeps changing is expanded again at most every
  // PATTERNRESCANMS. Manager thread only.
  long long PatternExpandedMs = 0;
  // Seconds a refresh waits for reports before it goes ahead
  // (REFRESHWAITSECONDS; tests shorten it).
  int RefreshWaitSeconds;
  // A stop signal was seen pending during a refresh. Manager thread.
  bool StopSeen;
  pthread_t ManagerThread;      // valid while ManagerThreadStarted
  Posix_Mutex ManagerLock;      // default attributes
  // 'inuse': broadcast when UseCount drops to 0.
  Posix_Cond ManagerNotInUse;
  unsigned char AgentServerUp GUARDED_BY(ManagerLock);  // 0, then 1 once
  bool FrameworkReady;  // guarded by ManagerLock
  bool FrameworkFailed = false;  // guarded by ManagerLock
  Posix_Cond AgentServerNotUp;   // 'server-up': signalled by lmSetServerUp
  sigset_t SignalSet;               // the signals the manager thread waits for
  char* DebugLog;                   // AGENT_DEBUG_LOG; null when unset or empty
  // DebugLogP (Log_Owner): the open debug log.
  // Set by the manager thread when it ends because no log can be watched,
  // so that the process reports the failure in its exit status.
  std::atomic<bool> NoWork;
  char* StateFile;  // TVX_STATE_FILE; null when unset or empty
  // Positions and PositionChanges (Log_Owner): loaded from StateFile at
  // start, and the workers' count of changes since.
  // Lines of the agent's configuration file refused since the manager was
  // made (qoragent --check reports them). Manager thread.
  unsigned int RefusedLogs = 0;
  // The agent configuration named is missing, or no line of the one read
  // last named a log: the system log stands in (traced at the error
  // level). Manager thread.
  bool ConfigHadNoValidLine = false;

 protected:
  // Test seam: with `start_manager_thread` false, the environment is read
  // and the lock and conditions are created, but no signal is blocked and
  // no manager thread started; the caller drives lmRefresh and friends.
  explicit Log_Manager(bool start_manager_thread);

  // Creates the log object of `log`'s kind, joined to the ring at
  // FirstLogObject and started: one case per kind. Null, traced, for a
  // type no kind exists for. Ends the process when memory is out.
  // REQUIRES: ManagerLock held (called by lmBuildLogObjects).
  virtual Log_File* lmCreateLogObject(const Valid_Log& log)
      REQUIRES(ManagerLock);

  // The journal directories the system log looks at, in order; null entries
  // are passed over. TVX_JOURNAL_DIR (JournalDirEnv) and tests point them
  // elsewhere.
  const char* JournalDirs[2];
  std::string JournalDirEnv;

 private:
  // Creates ManagerLock and both conditions; ends the process on failure.
  void lmInitLockAndConditions();

  bool ManagerThreadStarted;  // a manager thread was created and not joined
  bool SyncObjectsReady;      // ManagerLock and the conditions exist
  // Monotonic seconds of the next save and the next retry. Manager thread.
  time_t NextStateSave;
  time_t NextLogRetry;
  std::string LastStateText;  // what the state file holds; manager thread
  bool StateSaveFailing;      // the last save failed (traced once)
  // PositionChanges when the state file was last written or found current,
  // and whether the ring was rebuilt since: while neither moved, a save has
  // nothing to write and is skipped.
  uint64_t SavedPositionChanges;
  bool LogsRebuiltSinceSave;  // manager thread
  // A log was built from the configuration: from then on the state file
  // is the positions of the logs watched. Manager thread.
  bool PositionsInUse = false;
  // A SIGHUP asked for the refresh under way: its end is traced. Manager
  // thread.
  bool ReloadAsked = false;
  // The situations' state changes when the state file was last written.
  uint64_t SavedSituationChanges = 0;  // manager thread
  // The agent configuration read last holds the system-log line, so that a
  // change of the syslog configuration is a change of it. Manager thread.
  bool ConfigUsesSystemLog;
  // Retries of the logs in an error status, by name: failed starts since
  // the log last ran and when it was last restarted (monotonic seconds).
  // Manager thread.
  struct Log_Retry {
    unsigned long failures = 0;
    long long restarted = 0;
  };
  std::map<std::string, Log_Retry> LogRetries;
  // Event_Sink::DurableSequence() when the state file was last looked at:
  // held-back positions may be saved once it moves. Manager thread.
  uint64_t SavedDurableSequence = 0;
};

// The manager thread's start routine; `manager` is the Log_Manager.
void* ManagerThread(void* manager);

#endif  // QOR_AGENT_LOG_MANAGER_H_
