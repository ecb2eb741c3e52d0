// qoragent --check: loads the configuration, the format commands and the
// situations as a start would, and reports what would be watched.
#include "agent/config_check.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent/config/config_def.h"
#include "agent/log_manager.h"
#include "framework/events/event_output.h"
#include "framework/control/fleet_situations.h"
#include "framework/fleet/fleet_output.h"
#include "framework/situations/situation_registry.h"
#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"
#include "parser/string_parser.h"

namespace {

const char kSituationsVar[] = "HOV_SITUATIONS";

const char* KindName(char type) {
  switch (type) {
    case SYSLOGTYPE:
      return "syslog text";
    case ERRLOGTYPE:
      return "error-report command";
    case ADMINLOGTYPE:
      return "login records";
    case USERLOGTYPE:
      return "text by format command";
    case JOURNALTYPE:
      return "systemd journal";
    default:
      return "unknown kind";
  }
}

// A log manager that only reads the configuration: no signal is blocked and
// no thread started; its valid-log ring is read, then emptied here.
class Check_Manager : public Log_Manager {
 public:
  Check_Manager() : Log_Manager(false) {}
  ~Check_Manager() override {
    while (FirstValidLog != nullptr) {
      Valid_Log* const last = static_cast<Valid_Log*>(FirstValidLog->Prev);
      if (last == FirstValidLog) {
        FirstValidLog = nullptr;
      }
      delete last;
    }
  }
};

// The logs, one line each; false when anything was refused or nothing is
// left to watch.
bool CheckLogs(FILE* out) {
  Check_Manager manager;
  if (manager.ConfigFile != nullptr) {
    fprintf(out, "configuration %s\n", manager.ConfigFile);
    if (!HOV_TrustedFile(CONFIGWHAT, manager.ConfigFile, false)) {
      fprintf(out,
              "  refused: the file may be changed by others (see the trace)\n");
      return false;
    }
  } else {
    fprintf(
        out,
        "configuration: none (TVX_CONFIG_FILE unset), so the syslog configuration %s\n",
        manager.SyslogConfFile != nullptr ? manager.SyslogConfFile : "?");
  }
  const unsigned int count = manager.lmGetValidLogs();
  bool ok = true;
  if (manager.ConfigHadNoValidLine) {
    fprintf(
        out,
        "  refused: it is missing or no line of it names a log, so the syslog configuration %s stands in\n",
        manager.SyslogConfFile != nullptr ? manager.SyslogConfFile : "?");
    ok = false;
  }
  Valid_Log* log = manager.FirstValidLog;
  for (unsigned int i = 0; i < count && log != nullptr;
       ++i, log = static_cast<Valid_Log*>(log->Next)) {
    fprintf(out, "  watch %s  %c (%s)%s%s\n", log->LogFileName, log->LogType,
            KindName(log->LogType), log->LogProcedure != nullptr ? "  " : "",
            log->LogProcedure != nullptr ? log->LogProcedure : "");
    if (log->LogType != USERLOGTYPE) {
      continue;
    }
    // The parser a U log's worker compiles its format command with.
    _KeywordFields keywords[NUMKEYWORDS + 1];
    memcpy(keywords, KEYWORDS, sizeof keywords);
    const StringParser chain(
        log->LogProcedure != nullptr ? log->LogProcedure : "", keywords);
    if (chain.ObjectStatus != OBJECT_LEARNED) {
      fprintf(
          out,
          "  refused: the format command of %s does not compile (see the trace)\n",
          log->LogFileName);
      ok = false;
    }
  }
  if (manager.RefusedLogs != 0) {
    fprintf(out,
            "  refused: %u line%s of the configuration (the trace says why)\n",
            manager.RefusedLogs, manager.RefusedLogs == 1 ? "" : "s");
    ok = false;
  }
  if (count == 0) {
    fprintf(
        out,
        "  nothing to watch: the agent would exit (\"Agent has no work to do.\")\n");
    ok = false;
  }
  return ok;
}

// The situations of HOV_SITUATIONS, loaded into the registry and cleared
// again; false when the file or a line of it was refused.
bool CheckSituations(ZEP_AgentLoader loadAgents, FILE* out) {
  const char* path = getenv(kSituationsVar);
  if (path == nullptr || *path == '\0') {
    fprintf(out, "no situations file: set HOV_SITUATIONS\n");
    return false;
  }
  fprintf(out, "situations %s\n", path);
  std::string err;
  if (!HOV_TrustedFile("situations file", path, false, &err)) {
    fprintf(out, "  refused: %s\n", err.c_str());
    return false;
  }
  if (loadAgents != nullptr) {
    loadAgents();
  }
  Situation_Registry& registry = Situation_Registry::Instance();
  std::vector<std::string> problems;
  const bool read = registry.LoadFile(path, &problems, &err);
  for (const Situation_Info& s : registry.List()) {
    fprintf(out, "  run %s  %s  %s%s%s%s%s\n", s.name.c_str(), s.table.c_str(),
            s.condition.c_str(), s.clauses.empty() ? "" : " ",
            s.clauses.c_str(), s.run.empty() ? "" : " RUN ", s.run.c_str());
  }
  registry.Clear();
  for (const std::string& p : problems) {
    fprintf(out, "  refused: %s\n", p.c_str());
  }
  if (!read) {
    fprintf(out, "  refused: %s\n", err.c_str());
  }
  return read && problems.empty();
}

std::string Directory(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "."
         : slash == 0               ? "/"
                                    : path.substr(0, slash);
}

// Whether a file may be made or appended to at `path`: its directory
// exists, or the agent would create it (0750, inside a directory only its
// owner may write), this process may write there, and the file, if it
// exists, is writable. False with the reason; *note says what a start
// would do.
bool CanWrite(const std::string& path, bool file_replaced, std::string* why,
              std::string* note) {
  const std::string dir = Directory(path);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      *why = "directory " + dir + ": " + strerror(errno);
      return false;
    }
    std::string above = Directory(dir);
    while (stat(above.c_str(), &st) != 0 && errno == ENOENT && above != "/" &&
           above != ".") {
      above = Directory(above);
    }
    if (stat(above.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *why = "directory " + dir + " cannot be created: " + above +
             " is not a directory";
      return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      *why = "directory " + dir + " is not created inside " + above +
             ", which other users may write";
      return false;
    }
    if (access(above.c_str(), W_OK | X_OK) != 0) {
      *why = "directory " + dir + " cannot be created in " + above + ": " +
             strerror(errno);
      return false;
    }
    *note = "  (directory " + dir + " will be created, mode 0750)";
    return true;
  }
  if (!S_ISDIR(st.st_mode)) {
    *why = dir + " is not a directory";
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0 &&
      (file_replaced || access(path.c_str(), F_OK) != 0)) {
    *why = "directory " + dir + " is not writable: " + strerror(errno);
    return false;
  }
  if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0) {
    *why = path + " is not writable: " + strerror(errno);
    return false;
  }
  return true;
}

// One line for a file the agent would write; false when it could not.
bool CheckWritable(FILE* out, const char* what, const std::string& path,
                   bool file_replaced) {
  std::string why;
  std::string note = "  (directory writable)";
  const bool ok = CanWrite(path, file_replaced, &why, &note);
  fprintf(out, "%s %s%s%s\n", what, path.c_str(),
          ok ? "" : "\n  refused: ", ok ? note.c_str() : why.c_str());
  return ok;
}

// The event outputs of HOV_EVENTS, the state file and the trace file: what
// would be opened and whether it could be.
bool CheckOutputs(FILE* out) {
  bool ok = true;
  const char* events = getenv("HOV_EVENTS");
  const std::vector<std::string> items = EventOutputItems(events);
  for (const std::string& item : items) {
    if (item.empty() && items.size() == 1) {
      fprintf(out, "events: standard output (HOV_EVENTS unset)\n");
    } else if (item.empty()) {
      fprintf(out, "events: an empty item\n  refused: HOV_EVENTS \"%s\"\n",
              events);
      ok = false;
    } else if (item == "-") {
      fprintf(out, "events: standard output\n");
    } else if (item == "syslog" || item.compare(0, 7, "syslog:") == 0) {
      fprintf(out, "events: %s, to the socket %s\n", item.c_str(),
              EventSyslogSocket().c_str());
    } else if (IsFleetSinkUrl(item)) {
      fprintf(out, "events: %s (connected at start)\n", item.c_str());
    } else {
      ok = CheckWritable(out, "events", item, false) && ok;
    }
  }
  const char* state = getenv(STATEFILEENVVAR);
  if (state != nullptr && *state != '\0') {
    ok = CheckWritable(out, "state", state, true) && ok;
  } else {
    fprintf(out, "state: none (%s unset: every log starts at its end)\n",
            STATEFILEENVVAR);
  }
  const char* trace = getenv("HOV_TRACE_FILE");
  if (trace != nullptr && *trace != '\0') {
    ok = CheckWritable(out, "trace", trace, false) && ok;
  }
  // The fleet's situations: whether they would be taken, and how.
  Fleet_Situations_Settings fleet;
  std::string why;
  if (!ReadFleetSituationsSettings(&fleet, &why)) {
    fprintf(out, "fleet situations\n  refused: %s\n", why.c_str());
    ok = false;
  } else if (fleet.enabled) {
    const char* url = getenv("HOV_FLEET");
    std::string groups;
    for (const std::string& g : fleet.groups) {
      groups += (groups.empty() ? "" : ",") + g;
    }
    fprintf(out,
            "fleet situations: %s (groups: %s; RUN actions %s; saved copy: "
            "%s)\n",
            url != nullptr && *url != '\0' ? "taken from the bucket "
                                             "qoragent_situations"
                                           : "none, HOV_FLEET is unset",
            groups.empty() ? "none" : groups.c_str(),
            fleet.allow_run ? "taken" : "refused",
            fleet.saved.empty() ? "none" : fleet.saved.c_str());
  }
  return ok;
}

}  // namespace

int QorAgentCheck(ZEP_AgentLoader loadAgents, FILE* out) {
  // The reasons the loading code traces go where a person running the check
  // sees them, whatever HOV_TRACE_FILE says.
  WEX1_SetSink(nullptr);
  const bool logs = CheckLogs(out);
  const bool situations = CheckSituations(loadAgents, out);
  const bool outputs = CheckOutputs(out);
  const bool ok = logs && situations && outputs;
  fprintf(out, "%s\n",
          ok ? "check passed: everything loads and every output can be written"
             : "check failed: see the lines marked refused, nothing to watch "
               "or no situations file");
  fflush(out);
  return ok ? 0 : 1;
}
