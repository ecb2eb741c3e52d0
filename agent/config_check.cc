#include "agent/config_check.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "agent/config_def.h"
#include "agent/log_manager.h"
#include "framework/runtime/situation_registry.h"
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
    fprintf(out, "situations: none (HOV_SITUATIONS unset)\n");
    return true;
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

}  // namespace

int QorAgentCheck(ZEP_AgentLoader loadAgents, FILE* out) {
  // The reasons the loading code traces go where a person running the check
  // sees them, whatever HOV_TRACE_FILE says.
  WEX1_SetSink(nullptr);
  const bool logs = CheckLogs(out);
  const bool situations = CheckSituations(loadAgents, out);
  const bool ok = logs && situations;
  fprintf(
      out, "%s\n",
      ok ? "check passed: everything loads"
         : "check failed: see the lines marked refused or nothing to watch");
  fflush(out);
  return ok ? 0 : 1;
}
