#include "agent/syslog_conf.h"

#include <ctype.h>
#include <errno.h>
#include <glob.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "agent/config_def.h"
#include "framework/wex1.h"
#include "util/errno_text.h"
#include "util/unique_file.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "TVX100");

namespace {

const char OpenErrorMsg[] = "Error opening file %s; errno = %d";
const char IncludeErrorMsg[] =
    "\nIncluded syslog configuration file %s cannot be read. errno = %d; %s";
const char IncludeDepthMsg[] =
    "\nSyslog configuration includes nest deeper than %d files at %s; include ignored.";
const char IncludeCountMsg[] =
    "\nSyslog configuration includes more than %d files; %s and the files after it are ignored.";
const char IncludeReadMsg[] =
    "\nReading included syslog configuration file %s.";

const char INCLUDECONFIG[] = "$IncludeConfig";
const char INCLUDESTATEMENT[] = "include(";
const char ACTIONSTATEMENT[] = "action(";
const char OMFILE[] = "omfile";

bool IsSpace(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

// Characters of a selector: facility and level names, '*', and the '.',
// ',', ';', '=' and '!' that join them.
bool IsSelectorChar(char c) {
  return isalnum(static_cast<unsigned char>(c)) != 0 ||
         (c != '\0' && strchr("*.,;=!", c) != nullptr);
}

bool StartsWithCase(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

// The value of the parameter `name="value"` of the statement at `text`
// (the name case-insensitive, standing alone), cut out in place and
// terminated; null when absent or unterminated.
char* Parameter(char* text, const char* name) {
  const size_t length = strlen(name);
  for (char* p = text; *p != '\0'; ++p) {
    if (*p == '"') {
      // Skip a quoted value: its text is no parameter name.
      char* const close = strchr(p + 1, '"');
      if (close == nullptr) {
        return nullptr;
      }
      p = close;
      continue;
    }
    if ((p == text || p[-1] == '(' || IsSpace(p[-1])) &&
        strncasecmp(p, name, length) == 0) {
      char* q = p + length;
      while (IsSpace(*q)) {
        ++q;
      }
      if (*q != '=') {
        continue;
      }
      ++q;
      while (IsSpace(*q)) {
        ++q;
      }
      if (*q != '"') {
        continue;
      }
      char* const value = q + 1;
      char* const close = strchr(value, '"');
      if (close == nullptr) {
        return nullptr;
      }
      *close = '\0';
      return value;
    }
  }
  return nullptr;
}

class Reader {
 public:
  explicit Reader(std::vector<std::string>* records) : records_(records) {}

  bool Read(const char* path, int depth) {
    char real[PATH_MAX];
    const std::string key =
        realpath(path, real) != nullptr ? std::string(real) : std::string(path);
    if (!seen_.insert(key).second) {
      return true;  // read already: a cycle, or a file matched twice
    }
    Unique_File file(fopen(path, "re"));
    if (!file) {
      const int e = errno;
      if (depth == 0) {
        WEX1_TRACE(wex1, WEX1_ERROR, OpenErrorMsg, path, e);
      } else {
        char eb[128];
        WEX1_TRACE(wex1, WEX1_ERROR, IncludeErrorMsg, path, e,
                   ErrnoText(e, eb, sizeof eb));
      }
      return false;
    }
    if (depth > 0) {
      WEX1_TRACE(wex1, WEX1_FLOW, IncludeReadMsg, path);
    }
    std::string record;
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t n = 0;
    while ((n = getline(&line, &capacity, file.get())) >= 0) {
      std::string text(line, static_cast<size_t>(n));
      while (!text.empty() && IsSpace(text.back())) {
        text.pop_back();
      }
      size_t begin = 0;
      while (begin < text.size() && IsSpace(text[begin])) {
        ++begin;
      }
      // A rule continued on the next line ends with a backslash.
      const bool continued = !text.empty() && text.back() == '\\';
      if (continued) {
        text.pop_back();
      }
      if (record.empty() && (begin == text.size() || text[begin] == '#')) {
        continue;
      }
      record.append(text, begin, std::string::npos);
      if (continued && record.size() < static_cast<size_t>(CONFIGRECSIZE)) {
        continue;
      }
      if (record.size() < static_cast<size_t>(CONFIGRECSIZE - 1)) {
        Take(&record[0], depth);
      }
      record.clear();
    }
    free(line);
    if (!record.empty() &&
        record.size() < static_cast<size_t>(CONFIGRECSIZE - 1)) {
      Take(&record[0], depth);
    }
    return true;
  }

 private:
  // Follows an include statement, or keeps any other line.
  void Take(char* record, int depth) {
    char* pattern = nullptr;
    if (StartsWithCase(record, INCLUDECONFIG) &&
        IsSpace(record[sizeof INCLUDECONFIG - 1])) {
      pattern = record + sizeof INCLUDECONFIG - 1;
      while (IsSpace(*pattern)) {
        ++pattern;
      }
      char* end = pattern;
      while (*end != '\0' && !IsSpace(*end)) {
        ++end;
      }
      *end = '\0';
    } else if (StartsWithCase(record, INCLUDESTATEMENT)) {
      pattern = Parameter(record + sizeof INCLUDESTATEMENT - 1, "file");
      if (pattern == nullptr) {
        return;  // include(text=...) and the like name no file
      }
    } else {
      records_->emplace_back(record);
      return;
    }
    if (*pattern == '\0') {
      return;
    }
    if (depth + 1 > MAXSYSLOGINCLUDEDEPTH) {
      WEX1_TRACE(wex1, WEX1_ERROR, IncludeDepthMsg, MAXSYSLOGINCLUDEDEPTH,
                 pattern);
      return;
    }
    // A directory stands for every file in it.
    std::string expanded = pattern;
    struct stat st;
    if (stat(pattern, &st) == 0 && S_ISDIR(st.st_mode)) {
      expanded += expanded.back() == '/' ? "*" : "/*";
    }
    glob_t matches;
    if (glob(expanded.c_str(), 0, nullptr, &matches) != 0) {
      globfree(&matches);
      return;  // no match is no error
    }
    for (size_t i = 0; i < matches.gl_pathc; ++i) {
      const char* const path = matches.gl_pathv[i];
      if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        continue;
      }
      if (files_ >= MAXSYSLOGCONFFILES) {
        WEX1_TRACE(wex1, WEX1_ERROR, IncludeCountMsg, MAXSYSLOGCONFFILES, path);
        break;
      }
      ++files_;
      Read(path, depth + 1);
    }
    globfree(&matches);
  }

  std::vector<std::string>* records_;
  std::set<std::string> seen_;
  int files_ = 0;
};

}  // namespace

const char* ChooseSyslogConf(const char* classic, const char* rsyslog) {
  return access(classic, F_OK) == 0 ? classic : rsyslog;
}

bool ReadSyslogConf(const char* path, std::vector<std::string>* records) {
  WEX1_Event ev(wex1, __func__);
  Reader reader(records);
  return reader.Read(path, 0);
}

char* SyslogActionFile(char* record, bool* no_action) {
  *no_action = false;
  char* p = record;
  while (IsSpace(*p)) {
    ++p;
  }
  char* action = p;
  if (!StartsWithCase(p, ACTIONSTATEMENT)) {
    // A selector holds a '.' between a facility and a level.
    char* q = p;
    bool dot = false;
    for (; IsSelectorChar(*q); ++q) {
      dot = dot || *q == '.';
    }
    if (q == p || !dot || (*q != '\0' && !IsSpace(*q))) {
      return nullptr;
    }
    while (IsSpace(*q)) {
      ++q;
    }
    if (*q == '\0') {
      *no_action = true;
      return nullptr;
    }
    action = q;
  }
  if (StartsWithCase(action, ACTIONSTATEMENT)) {
    char* const statement = action + sizeof ACTIONSTATEMENT - 1;
    // Both values are cut out in place: read the type from a copy.
    std::string copy = statement;
    const char* const type = Parameter(&copy[0], "type");
    if (type == nullptr || strcasecmp(type, OMFILE) != 0) {
      return nullptr;
    }
    char* const file = Parameter(statement, "file");
    return file != nullptr && file[0] == ROOT ? file : nullptr;
  }
  if (*action == '-') {
    ++action;  // "do not sync after each line"
  }
  if (*action != ROOT) {
    return nullptr;  // a remote host, users, '*' or a pipe: nothing to watch
  }
  char* end = action;
  while (*end != '\0' && *end != ';' && !IsSpace(*end)) {
    ++end;
  }
  *end = '\0';
  return action;
}
