// Reads the host's syslog configuration (syslogd and rsyslog, with includes)
// for the files it writes.
#include "agent/config/syslog_conf.h"

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

#include "agent/config/config_def.h"
#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"
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
// Another rule writing to a file named before: its messages are merged into
// the one log of that file.
const char DuplicateTargetMsg[] = "\nDuplicate %s entry found; entry ignored.";

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

// Offers each character of `text` outside quotes (a backslash escapes the
// next one inside) to `visit`, with its index, until `visit` says stop.
// The index it stopped at, else the text's size.
template <typename Visit>
size_t ScanOutsideQuotes(const std::string& text, Visit visit) {
  char quote = '\0';
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != '\0') {
      if (c == '\\') {
        ++i;
      } else if (c == quote) {
        quote = '\0';
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (!visit(c, i)) {
      return i;
    }
  }
  return text.size();
}

// The text before a comment that starts a word outside quotes.
std::string WithoutComment(const std::string& text) {
  return text.substr(0, ScanOutsideQuotes(text, [&](char c, size_t i) {
                       return !(c == '#' && i > 0 && IsSpace(text[i - 1]));
                     }));
}

// Parentheses of `text` opened and not closed, outside quotes and before
// a comment.
int OpenParentheses(const std::string& text) {
  int depth = 0;
  ScanOutsideQuotes(text, [&](char c, size_t i) {
    if (c == '#' && (i == 0 || IsSpace(text[i - 1]))) {
      return false;
    }
    depth += c == '(' ? 1 : c == ')' ? -1 : 0;
    return true;
  });
  return depth;
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
    // An included file decides what the agent reads as much as the main
    // one (which its caller checks): another user must not be able to
    // change it.
    if (depth > 0 && !HOV_TrustedFile(SYSLOGCONFWHAT, path, false)) {
      return false;
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
    bool open_statement = false;
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
      if ((record.empty() || open_statement) &&
          (begin == text.size() || text[begin] == '#')) {
        continue;
      }
      if (open_statement) {
        record += ' ';
        text = WithoutComment(text);
      }
      record.append(text, begin, std::string::npos);
      if (continued && record.size() < static_cast<size_t>(CONFIGRECSIZE)) {
        continue;
      }
      // A statement such as action(...) may run over several lines: they
      // make one record.
      open_statement = OpenParentheses(record) > 0;
      if (open_statement) {
        record = WithoutComment(record);
      }
      if (open_statement &&
          record.size() < static_cast<size_t>(CONFIGRECSIZE - 1)) {
        continue;
      }
      open_statement = false;
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

namespace {

const char DynamicFileMsg[] =
    "\nSyslog configuration file action %s names its file per message; that file is not watched.";
const char CoveredMsg[] =
    "\n%s holds only messages that %s holds too; it is not watched.";
const char FilterCopyMsg[] =
    "\n%s is written by filter rules whose messages go on to other rules; it is not watched.";

const char* const FacilityNames[SYSLOGFACILITIES] = {
    "kern",   "user",   "mail",    "daemon", "auth",     "syslog",
    "lpr",    "news",   "uucp",    "cron",   "authpriv", "ftp",
    "ntp",    "audit",  "console", "clock",  "local0",   "local1",
    "local2", "local3", "local4",  "local5", "local6",   "local7"};

// Priority names, by value, with their older spellings.
int PriorityValue(const std::string& name) {
  static const struct {
    const char* name;
    int value;
  } names[] = {{"emerg", 0},  {"panic", 0}, {"alert", 1},   {"crit", 2},
               {"err", 3},    {"error", 3}, {"warning", 4}, {"warn", 4},
               {"notice", 5}, {"info", 6},  {"debug", 7}};
  for (const auto& n : names) {
    if (strcasecmp(name.c_str(), n.name) == 0) {
      return n.value;
    }
  }
  return -1;
}

int FacilityValue(const std::string& name) {
  if (strcasecmp(name.c_str(), "security") == 0) {
    return 4;  // the old name of auth
  }
  for (int f = 0; f < SYSLOGFACILITIES; ++f) {
    if (strcasecmp(name.c_str(), FacilityNames[f]) == 0) {
      return f;
    }
  }
  return -1;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (;;) {
    const size_t end = text.find(separator, begin);
    parts.push_back(text.substr(begin, end - begin));
    if (end == std::string::npos) {
      return parts;
    }
    begin = end + 1;
  }
}

// Applies one selector ("kern,mail.info;auth.none") to `mask` as syslogd
// does, part after part: "none" clears the facilities named, "=" takes one
// priority, "!" takes the priorities away, a plain priority takes it and
// every more urgent one.
void ApplySelector(const std::string& selector,
                   uint8_t mask[SYSLOGFACILITIES]) {
  for (const std::string& part : Split(selector, ';')) {
    const size_t dot = part.rfind('.');
    if (dot == std::string::npos) {
      continue;
    }
    std::string priority = part.substr(dot + 1);
    bool negate = false;
    bool single = false;
    if (!priority.empty() && priority[0] == '!') {
      negate = true;
      priority.erase(0, 1);
    }
    if (!priority.empty() && priority[0] == '=') {
      single = true;
      priority.erase(0, 1);
    }
    uint8_t bits = 0;
    if (priority == "*") {
      bits = 0xff;
    } else if (strcasecmp(priority.c_str(), "none") == 0) {
      negate = !negate;
      bits = 0xff;
    } else {
      const int value = PriorityValue(priority);
      if (value < 0) {
        continue;
      }
      bits = single ? static_cast<uint8_t>(1u << value)
                    : static_cast<uint8_t>((2u << value) - 1);
    }
    for (const std::string& name : Split(part.substr(0, dot), ',')) {
      const int first = name == "*" ? 0 : FacilityValue(name);
      const int last = name == "*" ? SYSLOGFACILITIES - 1 : first;
      for (int f = first; f >= 0 && f <= last; ++f) {
        mask[f] = negate ? static_cast<uint8_t>(mask[f] & ~bits)
                         : static_cast<uint8_t>(mask[f] | bits);
      }
    }
  }
}

// What chooses the messages of the actions that follow.
struct Rule {
  uint8_t mask[SYSLOGFACILITIES] = {};
  bool filtered = false;
  bool stops = false;
  std::vector<size_t> targets;  // the files its actions named so far
};

class Target_Parser {
 public:
  explicit Target_Parser(std::vector<Syslog_Target>* targets)
      : targets_(targets) {}

  void Record(const std::string& text) {
    std::string record = WithoutComment(text);
    const char* p = record.c_str();
    while (IsSpace(*p)) {
      ++p;
    }
    if (in_if_) {
      // An expression continued from the lines before, up to "then".
      const char* const then = FindThen(p);
      if (then == nullptr) {
        return;
      }
      in_if_ = false;
      Actions(then, &pending_);
      last_ = pending_;
      return;
    }
    Rule rule;
    if (*p == '&') {
      rule = last_;
      Actions(p + 1, &rule);
      last_ = rule;
      return;
    }
    if (*p == ':') {
      // :property, [!]compare-operation, "value" action
      const char* q = strchr(p, '"');
      while (q != nullptr && *++q != '\0' && *q != '"') {
        if (*q == '\\' && q[1] != '\0') {
          ++q;
        }
      }
      if (q == nullptr || *q == '\0') {
        return;
      }
      rule.filtered = true;
      Actions(q + 1, &rule);
      last_ = rule;
      return;
    }
    if (StartsWithCase(p, "if") &&
        (IsSpace(p[2]) || p[2] == '(' || p[2] == '$')) {
      rule.filtered = true;
      const char* const then = FindThen(p + 2);
      if (then == nullptr) {
        in_if_ = true;
        pending_ = rule;
        return;
      }
      Actions(then, &rule);
      last_ = rule;
      return;
    }
    if (StartsWithCase(p, "ruleset(")) {
      // A ruleset of its own: what it writes reaches no other rule.
      const char* const close = strchr(p, ')');
      if (close == nullptr) {
        return;
      }
      rule.stops = true;
      Actions(close + 1, &rule);
      return;
    }
    const char* q = p;
    bool dot = false;
    for (; IsSelectorChar(*q); ++q) {
      dot = dot || *q == '.';
    }
    if (q != p && dot && IsSpace(*q)) {
      ApplySelector(std::string(p, static_cast<size_t>(q - p)), rule.mask);
      Undiscarded(&rule);
      Actions(q, &rule);
      last_ = rule;
      return;
    }
    if (!blocks_.empty()) {
      // Further actions of the open block (`rule` stays unused while it
      // is open).
      Actions(p, &rule);
      return;
    }
    if (*p == ROOT || StartsWithCase(p, ACTIONSTATEMENT)) {
      // An action outside any rule takes every message.
      memset(rule.mask, 0xff, sizeof rule.mask);
      Undiscarded(&rule);
      Actions(p, &rule);
      last_ = rule;
    }
    // Directives, module loads, templates and the like write no file.
  }

 private:
  // What follows the word "then" of an expression, outside quotes; null
  // when the text holds none.
  static const char* FindThen(const char* p) {
    char quote = '\0';
    for (; *p != '\0'; ++p) {
      if (quote != '\0') {
        if (*p == '\\' && p[1] != '\0') {
          ++p;
        } else if (*p == quote) {
          quote = '\0';
        }
      } else if (*p == '"' || *p == '\'') {
        quote = *p;
      } else if (IsSpace(*p) && StartsWithCase(p + 1, "then") &&
                 (p[5] == '\0' || IsSpace(p[5]) || p[5] == '{')) {
        return p + 5;
      }
    }
    return nullptr;
  }

  void Add(const std::string& path, Rule* rule) {
    size_t index = 0;
    while (index < targets_->size() && (*targets_)[index].path != path) {
      ++index;
    }
    if (index == targets_->size()) {
      targets_->emplace_back();
      targets_->back().path = path;
    } else {
      WEX1_TRACE(wex1, WEX1_ERROR, DuplicateTargetMsg, path.c_str());
    }
    Syslog_Target& target = (*targets_)[index];
    if (rule->filtered) {
      target.filtered = true;
    } else {
      for (int f = 0; f < SYSLOGFACILITIES; ++f) {
        target.mask[f] |= rule->mask[f];
      }
    }
    target.stops = target.stops || rule->stops;
    rule->targets.push_back(index);
  }

  // Messages a selector rule stopped reach no later rule.
  void Undiscarded(Rule* rule) const {
    for (int f = 0; f < SYSLOGFACILITIES; ++f) {
      rule->mask[f] = static_cast<uint8_t>(rule->mask[f] & ~discarded_[f]);
    }
  }

  void Stop(Rule* rule) {
    rule->stops = true;
    if (!rule->filtered) {
      for (int f = 0; f < SYSLOGFACILITIES; ++f) {
        discarded_[f] |= rule->mask[f];
      }
    }
    for (const size_t index : rule->targets) {
      (*targets_)[index].stops = true;
    }
  }

  // The actions of `text` for the messages `rule` chooses, or those of the
  // innermost open block: files, blocks and stops. `rule` is never an
  // element of blocks_.
  void Actions(const char* text, Rule* rule) {
    const char* p = text;
    for (;;) {
      while (IsSpace(*p) || *p == '&') {
        ++p;
      }
      if (*p == '\0') {
        return;
      }
      Rule* const current = blocks_.empty() ? rule : &blocks_.back();
      if (*p == '{') {
        blocks_.push_back(*current);
        blocks_.back().targets.clear();
        ++p;
        continue;
      }
      if (*p == '}') {
        if (!blocks_.empty()) {
          blocks_.pop_back();
        }
        ++p;
        continue;
      }
      const char* end = p;
      if (StartsWithCase(p, ACTIONSTATEMENT)) {
        int depth = 0;
        char quote = '\0';
        for (; *end != '\0'; ++end) {
          if (quote != '\0') {
            if (*end == '\\' && end[1] != '\0') {
              ++end;
            } else if (*end == quote) {
              quote = '\0';
            }
          } else if (*end == '"' || *end == '\'') {
            quote = *end;
          } else if (*end == '(') {
            ++depth;
          } else if (*end == ')' && --depth == 0) {
            ++end;
            break;
          }
        }
        std::string statement(
            p + sizeof ACTIONSTATEMENT - 1,
            static_cast<size_t>(end - p) - (sizeof ACTIONSTATEMENT - 1));
        Statement(std::string(p, static_cast<size_t>(end - p)), &statement,
                  current);
        p = end;
        continue;
      }
      while (*end != '\0' && !IsSpace(*end) && *end != '{' && *end != '}') {
        ++end;
      }
      std::string word(p, static_cast<size_t>(end - p));
      p = end;
      if (word == "stop" || word == "~") {
        Stop(current);
        continue;
      }
      if (word[0] == '-') {
        word.erase(0, 1);  // "do not sync after each line"
      }
      if (!word.empty() && word[0] == ROOT) {
        Add(word.substr(0, word.find(';')), current);
      } else if (!word.empty() && word[0] == '?') {
        WEX1_TRACE(wex1, WEX1_ERROR, DynamicFileMsg, word.c_str());
      }
      // Anything else (a remote host, users, a pipe, "then"): no file.
    }
  }

  void Statement(const std::string& whole, std::string* statement, Rule* rule) {
    std::string copy = *statement;
    const char* const type = Parameter(&copy[0], "type");
    if (type == nullptr || strcasecmp(type, OMFILE) != 0) {
      return;
    }
    copy = *statement;
    const char* const file = Parameter(&copy[0], "file");
    if (file != nullptr && file[0] == ROOT) {
      Add(file, rule);
      return;
    }
    copy = *statement;
    if (Parameter(&copy[0], "dynaFile") != nullptr) {
      WEX1_TRACE(wex1, WEX1_ERROR, DynamicFileMsg, whole.c_str());
    }
  }

  std::vector<Syslog_Target>* targets_;
  std::vector<Rule> blocks_;  // the blocks open, innermost last
  Rule last_;                 // the rule before, for '&'
  // What selector rules before stopped ("mail.* ~").
  uint8_t discarded_[SYSLOGFACILITIES] = {};
  bool in_if_ = false;        // an "if" waits for its "then"
  Rule pending_;              // the rule of that "if"
};

bool Covers(const Syslog_Target& wide, const Syslog_Target& narrow) {
  for (int f = 0; f < SYSLOGFACILITIES; ++f) {
    if ((narrow.mask[f] & ~wide.mask[f]) != 0) {
      return false;
    }
  }
  return true;
}

bool Same(const Syslog_Target& a, const Syslog_Target& b) {
  return memcmp(a.mask, b.mask, sizeof a.mask) == 0;
}

bool Empty(const Syslog_Target& t) {
  for (const uint8_t bits : t.mask) {
    if (bits != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

void SyslogTargets(const std::vector<std::string>& records,
                   std::vector<Syslog_Target>* targets) {
  WEX1_Event ev(wex1, __func__);
  Target_Parser parser(targets);
  for (const std::string& record : records) {
    parser.Record(record);
  }
}

std::vector<std::string> SyslogWatchFiles(
    const std::vector<Syslog_Target>& targets) {
  WEX1_Event ev(wex1, __func__);
  std::vector<std::string> files;
  for (size_t i = 0; i < targets.size(); ++i) {
    const Syslog_Target& t = targets[i];
    if (t.stops) {
      files.push_back(t.path);
      continue;
    }
    if (t.filtered) {
      if (Empty(t)) {
        WEX1_TRACE(wex1, WEX1_FLOW, FilterCopyMsg, t.path.c_str());
        continue;
      }
      files.push_back(t.path);  // its filtered messages are nowhere else
      continue;
    }
    const Syslog_Target* cover = nullptr;
    for (size_t j = 0; j < targets.size() && cover == nullptr; ++j) {
      const Syslog_Target& o = targets[j];
      // A file whose messages end there holds no copy of those of later
      // rules; of two alike, the first is kept.
      if (j != i && !o.stops && !Empty(o) && Covers(o, t) &&
          (!Same(o, t) || j < i)) {
        cover = &o;
      }
    }
    if (cover != nullptr) {
      WEX1_TRACE(wex1, WEX1_FLOW, CoveredMsg, t.path.c_str(),
                 cover->path.c_str());
      continue;
    }
    if (!Empty(t)) {
      files.push_back(t.path);
    }
  }
  return files;
}
