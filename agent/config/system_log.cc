// Resolving the host's system log (@systemlog and the default): the files
// the syslog configuration writes to, else the systemd journal.
#include "agent/config/system_log.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "agent/config/config_def.h"
#include "agent/config/log_base.h"
#include "agent/config/syslog_conf.h"
#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char JournalDefaultMsg[] =
    "\nNo syslog configuration %s; watching the systemd journal %s.";
const char NoSyslogFilesMsg[] =
    "\nNone of the files %s names exists; watching the systemd journal %s.";
const char NotYetMsg[] =
    "\n%s, named in %s, does not exist yet; it is watched when it appears.";
const char BlankNameMsg[] =
    "\n%s, named in %s, holds a blank; it is not watched.";
const char SystemLogFieldMsg[] =
    "\nOnly a debug mode may follow %s; \"%s\" is ignored.";

constexpr auto Text = Name;

// Hands `add` the line of one log: `path` of type `type` in debug mode
// `debug`. False when the line does not fit or `add` refused it.
bool AddLog(const System_Log_Add& add, const char* path, char debug,
            char type) {
  char record[CONFIGRECSIZE];
  const int n = snprintf(record, sizeof record, "%s %c%c %c%c", path,
                         FIELDFIRSTCHAR, debug, FIELDFIRSTCHAR, type);
  return n > 0 && n < static_cast<int>(sizeof record) && add(record);
}

}  // namespace

char* SystemLogLine(char* record) {
  while (*record == ' ' || *record == '\t') {
    ++record;
  }
  const size_t n = sizeof SYSTEMLOGKEYWORD - 1;
  if (strncmp(record, SYSTEMLOGKEYWORD, n) != 0 ||
      (record[n] != '\0' && record[n] != ' ' && record[n] != '\t' &&
       record[n] != '\n')) {
    return nullptr;
  }
  return record + n;
}

char SystemLogDebugMode(char* rest) {
  char debug = LOGDEBUGMODEOFF;
  char* save = nullptr;
  int field = 0;
  for (char* token = strtok_r(rest, FIELDDELIMITER1, &save); token != nullptr;
       token = strtok_r(nullptr, FIELDDELIMITER1, &save)) {
    if (++field == 1 && token[0] == FIELDFIRSTCHAR &&
        (token[1] == '\0' || token[2] == '\0')) {
      debug = toupper(static_cast<unsigned char>(token[1])) == LOGDEBUGMODEON
                  ? LOGDEBUGMODEON
                  : LOGDEBUGMODEOFF;
    } else {
      WEX1_TRACE(wex1, WEX1_ERROR, SystemLogFieldMsg, SYSTEMLOGKEYWORD, token);
    }
  }
  return debug;
}

unsigned int AddSystemLog(const System_Log_Places& places, char debug,
                          bool journal, bool first_load,
                          const System_Log_Add& add, bool* from_conf,
                          File_Signature* signature) {
  WEX1_Event ev(wex1, __func__);
  *from_conf = false;
  const char* const conf = Text(places.syslog_conf);
  struct stat st;
  // A host without a syslog configuration keeps its log in the journal.
  if (stat(conf, &st) != 0 || !file_signature(conf, signature)) {
    return static_cast<unsigned int>(
        ev.Result(journal ? AddJournalLog(places, debug, nullptr, add) : 0));
  }
  // It decides what the agent reads: refused, it is not used at all.
  if (!HOV_TrustedFile(SYSLOGCONFWHAT, conf, first_load)) {
    return static_cast<unsigned int>(ev.Result(0));
  }
  std::vector<std::string> records;
  if (!ReadSyslogConf(conf, &records)) {
    return static_cast<unsigned int>(ev.Result(0));
  }
  std::vector<Syslog_Target> targets;
  SyslogTargets(records, &targets);
  // Only a regular file is a log: a device (/dev/console, /dev/null) is
  // never one.
  bool any = false;
  for (const Syslog_Target& target : targets) {
    any = any || (stat(target.path.c_str(), &st) == 0 && S_ISREG(st.st_mode));
  }
  if (!any) {
    // Left behind by a syslog daemon no longer installed, or one that has
    // not written yet: the journal has the messages.
    return static_cast<unsigned int>(ev.Result(
        journal ? AddJournalLog(places, debug, NoSyslogFilesMsg, add) : 0));
  }
  unsigned int count = 0;
  for (const std::string& file : SyslogWatchFiles(targets)) {
    if (file.find_first_of(" \t") != std::string::npos) {
      WEX1_TRACE(wex1, WEX1_ERROR, BlankNameMsg, file.c_str(), conf);
      continue;
    }
    if (stat(file.c_str(), &st) != 0) {
      WEX1_TRACE(wex1, WEX1_FLOW, NotYetMsg, file.c_str(), conf);
    } else if (!S_ISREG(st.st_mode)) {
      file_last_modified(file.c_str());  // traces it as no regular file
      continue;
    }
    if (AddLog(add, file.c_str(), debug, SYSLOGTYPE)) {
      ++count;
    }
  }
  *from_conf = true;
  return static_cast<unsigned int>(ev.Result(count));
}

unsigned int AddJournalLog(const System_Log_Places& places, char debug,
                           const char* why, const System_Log_Add& add) {
  WEX1_Event ev(wex1, __func__);
  // The first directory that holds journal files; when none does yet, the
  // first that is there, which waits for its files with a status that
  // says so.
  const char* chosen = nullptr;
  for (size_t i = 0; i < places.journal_dir_count && chosen == nullptr; ++i) {
    const char* const dir = places.journal_dirs[i];
    if (dir != nullptr && places.holds_journal_files != nullptr &&
        places.holds_journal_files(dir)) {
      chosen = dir;
    }
  }
  struct stat st;
  for (size_t i = 0; i < places.journal_dir_count; ++i) {
    const char* const dir = places.journal_dirs[i];
    if (chosen == nullptr && dir != nullptr && stat(dir, &st) == 0 &&
        S_ISDIR(st.st_mode)) {
      chosen = dir;
    }
  }
  if (chosen == nullptr) {
    return static_cast<unsigned int>(ev.Result(0));
  }
  WEX1_TRACE(wex1, WEX1_ERROR, why != nullptr ? why : JournalDefaultMsg,
             Text(places.syslog_conf), chosen);
  char record[CONFIGRECSIZE];
  snprintf(record, sizeof record, "%s %c%c %c%c", chosen, FIELDFIRSTCHAR, debug,
           FIELDFIRSTCHAR, JOURNALTYPE);
  return static_cast<unsigned int>(ev.Result(add(record) ? 1 : 0));
}

bool SystemLogChanged(const char* syslog_conf, time_t last_changed,
                      const File_Signature& signature) {
  if (last_changed == 0) {
    return true;
  }
  struct stat st;
  File_Signature now;
  return stat(Text(syslog_conf), &st) != 0 ||
         !file_signature(Text(syslog_conf), &now) || now != signature;
}
