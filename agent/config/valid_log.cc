// Valid_Log: checks one line of the log configuration and keeps it in the
// ring of accepted entries.
#include "agent/config/valid_log.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <new>
#include <string>

#include "agent/config/config_def.h"
#include "agent/config/log_manager_util.h"
#include "agent/config/syslog_conf.h"
#include "agent/kinds/journal_file.h"
#include "framework/runtime/bounded_regex.h"
#include "framework/runtime/trace.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char InvalidWhenceMsg[] = "Constructor invoked with invalid argument: %d";
const char SeparatorMissingMsg[] =
    "\nField separator missing after field %d for log %s. Skipping rest of line.";
const char NoDefaultNameMsg[] =
    "\nFile name cannot be defaulted. Skipping rest of line.";
const char NotAbsoluteMsg[] =
    "\nAbsolute path name of log file must be specified for log %s. Ignoring remainder of line.";
const char InvalidTypeMsg[] =
    "\nLog type of %s for log %s is invalid. Ignoring remainder of line.";
const char ProcedureNotAllowedMsg[] =
    "\nProcedure parameter %s not valid for file %s which is of type %c; parameter ignored. ";
const char OutOfBoundsMsg[] =
    "\nField %d for log %s is out of bounds. Maximum number of fields is %d. Value of %s is ignored";
const char NoProcedureMsg[] =
    "\n%s has a LogType of %c but no LogProcedure was specified. File is ignored.";
const char ProcAllocFailedMsg[] =
    "\nMemory allocation of %d bytes failed. Agent is terminating.";
const char ConsistencyMsg[] = "\nInternal consistency check failed in %s: %s";
const char DuplicateMsg[] = "\nDuplicate %s entry found; entry ignored.";
const char NotRegularMsg[] = "\nThe file %s is not a regular file.";
const char PrintSelfMsg[] = "\n\tValid\t\t\t= %d\n";
const char RuleFormMsg[] =
    "\nMultiline rule refused: expected 'multiline PATH [quiet=SECONDS] START-PATTERN' in: %s";
const char RulePatternMsg[] =
    "\nMultiline rule refused: the start pattern %s of log %s does not compile: %s.";
const char RuleQuietMsg[] =
    "\nMultiline rule refused: quiet time %s of log %s is not a number of seconds from 0.001 to 3600.";
const char RuleNoLogMsg[] =
    "\nMultiline rule refused: %s is not configured as an S or U log on a line above it.";
const char RuleMsg[] =
    "\nLog %s: an entry starts at a line that matches %s; quiet time %d ms.";

const char SourceUnit[] = "Valid_Log";
const char TextCheck[] = "(cpDest + iNumChars - 1) < cpLastByte";
const char NameCheck[] = "(cpDest + strlen( lbLogFileName ) - 1 ) < cpLastByte";

// Copies `count` characters to `*dest` when they end before `last`, the
// byte reserved for the terminator, and advances `*dest`; otherwise the
// expansion has miscounted, which is traced and ends the process.
void CopyBefore(char** dest, const char* last, const char* src, size_t count,
                const char* condition) {
  if (count == 0) {
    return;
  }
  if (count > static_cast<size_t>(last - *dest)) {
    WEX1_TRACE(wex1, WEX1_ERROR, ConsistencyMsg, SourceUnit, condition);
    exit(-1);
  }
  memcpy(*dest, src, count);
  *dest += count;
}

// An A-type procedure naming the host's utmp layout (blanks after it
// allowed).
bool IsUtmpProcedure(const char* token) {
  const size_t n = strlen(UTMPPROCEDURE);
  if (strncmp(token, UTMPPROCEDURE, n) != 0) {
    return false;
  }
  for (const char* p = token + n; *p != '\0'; ++p) {
    if (!isspace(static_cast<unsigned char>(*p))) {
      return false;
    }
  }
  return true;
}

// Whether `path` names a directory. A trailing '/' is removed from it (but
// for the root), so that the base name of a directory is its last part.
bool IsDirectory(char* path) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
    return false;
  }
  for (size_t n = strlen(path); n > 1 && path[n - 1] == ROOT; --n) {
    path[n - 1] = '\0';
  }
  return true;
}

// Configuration text as a trace shows it: control characters escaped.
class Shown {
 public:
  explicit Shown(const char* raw) { trace_text(text_, sizeof text_, raw); }
  Shown(const Shown&) = delete;
  Shown& operator=(const Shown&) = delete;
  const char* c_str() const { return text_; }

 private:
  char text_[4 * CONFIGRECSIZE];
};

// Normalises an absolute `path` lexically, in place: repeated '/' become
// one and "." components go, so that one file is not watched under two
// spellings. ".." is kept: through a symlink it may name another directory.
void NormalisePath(char* path) {
  char* out = path;
  const char* in = path;
  while (*in != '\0') {
    if (*in == ROOT) {
      // A '/' ends every component: skip the repeated ones and the ".".
      // A "." that ends the path leaves `in` on the NUL: nothing past it
      // is read.
      while (*in == ROOT &&
             (in[1] == ROOT ||
              (in[1] == '.' && (in[2] == ROOT || in[2] == '\0')))) {
        in += in[1] == ROOT ? 1 : 2;
      }
      if (*in == '\0') {
        break;
      }
    }
    *out++ = *in++;
  }
  if (out == path) {
    *out++ = ROOT;  // the root itself
  }
  *out = '\0';
}

}  // namespace

Valid_Log::Valid_Log(_WhenceConfig whence, char* record, Valid_Log* anchor)
    : Log_Base(), Valid(1) {
  WEX1_Event ev(wex1, __func__);
  switch (whence) {
    case USERCONFIG:
      if (record != nullptr &&
          strncmp(record, MULTILINEKEYWORD, strlen(MULTILINEKEYWORD)) == 0 &&
          (record[strlen(MULTILINEKEYWORD)] == ' ' ||
           record[strlen(MULTILINEKEYWORD)] == '\t')) {
        // A rule for a log above, no log of its own.
        vlApplyEntryRule(record + strlen(MULTILINEKEYWORD), anchor);
        Valid = 0;
        break;
      }
      vlExtractTokens(record);
      break;
    default:
      WEX1_TRACE(wex1, WEX1_ERROR, InvalidWhenceMsg, static_cast<int>(whence));
      Valid = 0;
      break;
  }
  if (Valid == 1 && anchor != nullptr) {
    vlCheckForDups(anchor);
  }
  if (Valid == 1) {
    lbAddToChain(anchor);
    if (WEX1_On(wex1, WEX1_DETAIL)) {
      vlPrintSelf();
    }
  }
}

Valid_Log::~Valid_Log() {
  WEX1_Event ev(wex1, __func__);
  if (Valid == 1) {
    lbRemoveFromChain();
  }
}

void Valid_Log::PrintSelf() {
  WEX1_Event ev(wex1, __func__);
  vlPrintSelf();
}

void Valid_Log::vlApplyEntryRule(char* rule, Valid_Log* anchor) {
  WEX1_Event ev(wex1, __func__);
  const auto skip_blanks = [](char* p) {
    while (*p == ' ' || *p == '\t') {
      ++p;
    }
    return p;
  };
  const auto word_end = [](char* p) {
    while (*p != '\0' && *p != ' ' && *p != '\t') {
      ++p;
    }
    return p;
  };
  const std::string original = rule;
  char* path = skip_blanks(rule);
  char* p = word_end(path);
  char* pattern = skip_blanks(p);
  *p = '\0';
  int quiet_ms = DEFAULTQUIETMS;
  if (strncmp(pattern, QUIETOPTION, strlen(QUIETOPTION)) == 0) {
    char* const value = pattern + strlen(QUIETOPTION);
    char* const end = word_end(value);
    pattern = skip_blanks(end);
    *end = '\0';
    char* stop = nullptr;
    const double seconds = strtod(value, &stop);
    if (stop == value || *stop != '\0' || !(seconds >= 0.001) ||
        seconds > MAXQUIETMS / 1000.0) {
      WEX1_TRACE(wex1, WEX1_ERROR, RuleQuietMsg, Shown(value).c_str(),
                 Shown(path).c_str());
      return;
    }
    quiet_ms = static_cast<int>(seconds * 1000 + 0.5);
  }
  // The pattern runs to the end of the line, less the blanks that end it.
  size_t n = strlen(pattern);
  while (n > 0 && (pattern[n - 1] == ' ' || pattern[n - 1] == '\t')) {
    pattern[--n] = '\0';
  }
  if (path[0] != ROOT || n == 0) {
    WEX1_TRACE(wex1, WEX1_ERROR, RuleFormMsg, Shown(original.c_str()).c_str());
    return;
  }
  NormalisePath(path);
  std::string err;
  if (CompileRegex(pattern, &err) == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, RulePatternMsg, Shown(pattern).c_str(),
               Shown(path).c_str(), err.c_str());
    return;
  }
  // The log of PATH, or every log a pattern PATH matched.
  bool applied = false;
  Log_Base* log = anchor;
  for (int i = 0; log != nullptr && (i == 0 || log != anchor);
       ++i, log = log->Next) {
    const bool named =
        (log->LogFileName != nullptr && strcmp(log->LogFileName, path) == 0) ||
        (log->LogPattern != nullptr && strcmp(log->LogPattern, path) == 0);
    if (named && (log->LogType == SYSLOGTYPE || log->LogType == USERLOGTYPE)) {
      log->lbSetEntryRule(pattern, quiet_ms);
      applied = true;
    }
    if (log->Next == nullptr) {
      break;
    }
  }
  if (applied) {
    WEX1_TRACE(wex1, WEX1_FLOW, RuleMsg, Shown(path).c_str(),
               Shown(pattern).c_str(), quiet_ms);
    return;
  }
  WEX1_TRACE(wex1, WEX1_ERROR, RuleNoLogMsg, Shown(path).c_str());
}

void Valid_Log::vlExtractTokens(char* record) {
  WEX1_Event ev(wex1, __func__);
  char empty[] = "";
  char* save = nullptr;
  int field = 0;
  bool directory = false;
  for (char* token =
           strtok_r(record != nullptr ? record : empty, FIELDDELIMITER1, &save);
       token != nullptr && Valid == 1;
       token = strtok_r(nullptr, FIELDDELIMITER1, &save)) {
    ++field;
    if (field > 1) {
      if (token[0] != FIELDFIRSTCHAR) {
        WEX1_TRACE(wex1, WEX1_ERROR, SeparatorMissingMsg, field - 1,
                   Shown(LogFileName).c_str());
        Valid = 0;
        break;
      }
      if (token[1] == '\0') {
        continue;  // a lone ';' keeps the field's default
      }
      ++token;
    } else if (token[0] == FIELDFIRSTCHAR) {
      WEX1_TRACE(wex1, WEX1_ERROR, NoDefaultNameMsg);
      Valid = 0;
      break;
    }

    const char letter =
        static_cast<char>(toupper(static_cast<unsigned char>(token[0])));
    switch (field) {
      case 1:
        if (token[0] != ROOT) {
          WEX1_TRACE(wex1, WEX1_ERROR, NotAbsoluteMsg, Shown(token).c_str());
          Valid = 0;
        } else {
          // A file that does not exist (yet) or cannot be read still gets
          // its log: the worker reports the error and is retried.
          // A journal directory's name loses its trailing '/'.
          NormalisePath(token);
          directory = IsDirectory(token);
          lbSetLogFileName(token);
          if (LogPathNameLength < MINPATHLENGTH) {
            Valid = 0;
          }
        }
        break;
      case 2:
        LogDebugMode =
            letter == LOGDEBUGMODEON ? LOGDEBUGMODEON : LOGDEBUGMODEOFF;
        break;
      case 3:
        if (letter == SYSLOGTYPE || letter == ERRLOGTYPE ||
            letter == ADMINLOGTYPE || letter == USERLOGTYPE ||
            letter == JOURNALTYPE) {
          LogType = letter;
        } else {
          WEX1_TRACE(wex1, WEX1_ERROR, InvalidTypeMsg, Shown(token).c_str(),
                     Shown(LogFileName).c_str());
          Valid = 0;
        }
        break;
      case 4:
        // The procedure runs to the end of the line, blanks and tabs
        // included: rejoin the rest of the line to this token.
        if (strtok_r(nullptr, FIELDDELIMITER2, &save) != nullptr) {
          token[strlen(token)] = ' ';
        }
        if (LogType == JOURNALTYPE) {
          lbSetLogProcedure(token);  // a match list: no file name in it
        } else if (LogType == ERRLOGTYPE || LogType == USERLOGTYPE) {
          vlSetLogProcedure(token);
        } else if (LogType == ADMINLOGTYPE && IsUtmpProcedure(token)) {
          vlSetLogProcedure(UTMPPROCEDURE);
        } else {
          WEX1_TRACE(wex1, WEX1_ERROR, ProcedureNotAllowedMsg,
                     Shown(token).c_str(), Shown(LogFileName).c_str(), LogType);
        }
        break;
      default:
        WEX1_TRACE(wex1, WEX1_ERROR, OutOfBoundsMsg, field,
                   Shown(LogFileName).c_str(), MAXCONFIGFIELDS,
                   Shown(token).c_str());
        break;
    }
  }

  if (Valid == 1 && LogFileName == nullptr) {
    // A record without any field names no log.
    WEX1_TRACE(wex1, WEX1_ERROR, NoDefaultNameMsg);
    Valid = 0;
  }
  if (Valid == 1 && directory && LogType != JOURNALTYPE) {
    // Only the journal kind reads a directory; any other would fail on it
    // for ever.
    WEX1_TRACE(wex1, WEX1_ERROR, NotRegularMsg, Shown(LogFileName).c_str());
    Valid = 0;
  }
  if (Valid == 1 && LogType == JOURNALTYPE) {
    if (!Journal_File::jlCheckConfig(LogFileName, LogProcedure)) {
      Valid = 0;
    }
  }
  if (Valid == 1 && LogProcedure == nullptr) {
    if (LogType == ERRLOGTYPE) {
      vlSetLogProcedure(DEFAULTERRLOGPROCEDURE);
    } else if (LogType == USERLOGTYPE) {
      WEX1_TRACE(wex1, WEX1_ERROR, NoProcedureMsg, Shown(LogFileName).c_str(),
                 LogType);
      Valid = 0;
    }
  }
}

void Valid_Log::vlCheckForDups(Log_Base* anchor) {
  WEX1_Event ev(wex1, __func__);
  if (LogFileName == nullptr) {
    return;
  }
  Log_Base* element = anchor;
  while (element != nullptr) {
    if (element->LogFileName != nullptr &&
        strcmp(element->LogFileName, LogFileName) == 0) {
      WEX1_TRACE(wex1, WEX1_ERROR, DuplicateMsg, Shown(LogFileName).c_str());
      Valid = 0;
      return;
    }
    element = element->Next;
    if (element == anchor) {
      break;
    }
  }
}

void Valid_Log::vlSetLogProcedure(const char* procedure) {
  WEX1_Event ev(wex1, __func__);
  if (procedure == nullptr) {
    lbSetLogProcedure(nullptr);
    return;
  }
  const size_t placeholder_length = strlen(PROCEDUREPLACEHOLDER);
  size_t occurrences = 0;
  for (const char* p = strstr(procedure, PROCEDUREPLACEHOLDER); p != nullptr;
       p = strstr(p + placeholder_length, PROCEDUREPLACEHOLDER)) {
    ++occurrences;
  }
  if (occurrences == 0) {
    lbSetLogProcedure(procedure);
    return;
  }

  // The error-report command runs through the shell: it gets a quoted
  // reference to its argument. Other kinds' procedures are never run.
  const char* const name = LogType == ERRLOGTYPE    ? PROCEDUREPATHREFERENCE
                           : LogFileName != nullptr ? LogFileName
                                                    : "";
  const size_t name_length = strlen(name);
  const size_t size = strlen(procedure) - occurrences * placeholder_length +
                      occurrences * name_length + 1;
  std::unique_ptr<char[]> expanded(new (std::nothrow) char[size]);
  if (expanded == nullptr) {
    WEX1_TRACE(wex1, WEX1_ERROR, ProcAllocFailedMsg, static_cast<int>(size));
    exit(-1);
  }
  char* cpDest = expanded.get();
  const char* const cpLastByte = expanded.get() + size - 1;
  const char* source = procedure;
  for (const char* p = strstr(source, PROCEDUREPLACEHOLDER); p != nullptr;
       p = strstr(source, PROCEDUREPLACEHOLDER)) {
    CopyBefore(&cpDest, cpLastByte, source, static_cast<size_t>(p - source),
               TextCheck);
    CopyBefore(&cpDest, cpLastByte, name, name_length, NameCheck);
    source = p + placeholder_length;
  }
  CopyBefore(&cpDest, cpLastByte, source, strlen(source), TextCheck);
  *cpDest = '\0';
  lbSetLogProcedure(expanded.get());
}

void Valid_Log::vlPrintSelf() {
  WEX1_Event ev(wex1, __func__);
  lbPrintSelf();
  WEX1_Printf(wex1, PrintSelfMsg, Valid);
}
