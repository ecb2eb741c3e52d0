#include "agent/log_file.h"

#include "agent/valid_log.h"

pthread_mutex_t Log_File::lfDebugFileLock = PTHREAD_MUTEX_INITIALIZER;
int64_t Log_File::sRECNUM = 0;

Log_File::Log_File(const Valid_Log& log, Log_File* anchor)
    : Log_Base(log),
      RefreshMode(0),
      LogThread(),
      LogLock(),
      LogFD(-1),
      LogEOF(-1),
      MonitorStatus(MONITOR_NOT_STARTED),
      MonitorStartStopTime(time(nullptr)),
      NumEvents(0),
      NumFormatErrors(0),
      OptimumBlockSize(0),
      LogThreadJoinable(false),
      LogDevice(0),
      LogInode(0),
      LogIdentityKnown(false) {
  pthread_mutex_init(&LogLock, nullptr);
  lbAddToChain(anchor);
}

Log_File::~Log_File() {
  lbRemoveFromChain();
  pthread_mutex_destroy(&LogLock);
}

void Log_File::PrintSelf() {}

long Log_File::lfReadLog() { return 0; }
