// Conditions: parses COLUMN OP VALUE [AND ...] and tests rows against them.
#include "framework/situations/condition.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>

#include "framework/runtime/bounded_regex.h"
#include "framework/situations/situation_memory.h"
#include "framework/situations/situation_state.h"
#include "framework/tables/row_json.h"
#include "framework/tables/table_manager.h"
#include "util/quoted_text.h"

namespace {

bool IsTimeStampColumn(const std::string& c) {
  return c == "ENTRYTIME" || c == "TIMESTAMP" || c == "MONTIME" ||
         c == "LOGMODDATE";
}

std::string At(size_t pos) {
  return " at column " + std::to_string(pos + 1);
}

void SkipBlanks(const std::string& t, size_t* p) {
  while (*p < t.size() && (t[*p] == ' ' || t[*p] == '\t')) {
    ++*p;
  }
}

// "-N{s,m,h,d}" -> seconds; 0 when `text` is no relative time.
long RelativeSeconds(const std::string& text) {
  if (text.size() < 3 || text.size() > 12 || text[0] != '-') {
    return 0;
  }
  long n = 0;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    if (!isdigit(static_cast<unsigned char>(text[i]))) {
      return 0;
    }
    n = n * 10 + (text[i] - '0');
  }
  switch (text.back()) {
    case 's':
      return n;
    case 'm':
      return n * 60;
    case 'h':
      return n * 3600;
    case 'd':
      return n * 86400;
    default:
      return 0;
  }
}

// A double-quoted text with \" and \\ escapes starting at *p; *p ends
// after its closing quote.
bool ParseQuoted(const std::string& t, size_t* p, std::string* text,
                 std::string* err) {
  const size_t start = *p;
  ++*p;
  while (*p < t.size()) {
    const char c = t[(*p)++];
    if (c == '"') {
      return true;
    }
    if (c == '\\') {
      if (*p >= t.size() || (t[*p] != '"' && t[*p] != '\\')) {
        *err = "expected \\\" or \\\\ after a backslash" + At(*p - 1);
        return false;
      }
      text->push_back(t[(*p)++]);
      continue;
    }
    text->push_back(c);
  }
  *err = "expected a closing quote for the text that starts" + At(start);
  return false;
}

// The upper-cased word of letters, digits and '_' at *p; *p ends after it.
std::string Word(const std::string& t, size_t* p) {
  std::string w;
  while (*p < t.size() &&
         (isalnum(static_cast<unsigned char>(t[*p])) || t[*p] == '_')) {
    w.push_back(
        static_cast<char>(toupper(static_cast<unsigned char>(t[(*p)++]))));
  }
  return w;
}

bool ParseTerms(const std::string& t, std::vector<Threshold_Spec>* out,
                size_t* stop, std::string* err, size_t from = 0);

// A number of seconds from 1 to `most` after `keyword`, at *p.
bool ParseSeconds(const std::string& t, size_t* p, const char* keyword,
                  long most, long* out, std::string* err) {
  SkipBlanks(t, p);
  const size_t start = *p;
  size_t q = *p;
  if (q < t.size() && (t[q] == '-' || t[q] == '+')) {
    ++q;
  }
  while (q < t.size() && isdigit(static_cast<unsigned char>(t[q]))) {
    ++q;
  }
  const std::string digits = t.substr(start, q - start);
  char* end = nullptr;
  errno = 0;
  const long v = strtol(digits.c_str(), &end, 10);
  if (digits.empty() || errno != 0 || *end != '\0' || v <= 0 || v > most ||
      (q < t.size() && t[q] != ' ' && t[q] != '\t')) {
    *err = "expected a number of seconds from 1 to " + std::to_string(most) +
           " after " + keyword + At(start);
    return false;
  }
  *out = v;
  *p = q;
  return true;
}

// Whether the next word at *p is `word` (any case); *p ends after it when
// it is.
bool TakeWord(const std::string& t, size_t* p, const char* word) {
  size_t q = *p;
  SkipBlanks(t, &q);
  if (Word(t, &q) != word || (q < t.size() && t[q] != ' ' && t[q] != '\t')) {
    return false;
  }
  *p = q;
  return true;
}

// [OR WITHOUT] [TABLE] CONDITION WITHIN SECONDS, after THEN or WITHOUT.
bool ParsePair(const std::string& t, size_t* p, Situation_Clauses* c,
               std::string* err) {
  SkipBlanks(t, p);
  // The table is a word with a dot, or a table's own name.
  size_t q = *p;
  while (q < t.size() && (isalnum(static_cast<unsigned char>(t[q])) ||
                          t[q] == '_' || t[q] == '.')) {
    ++q;
  }
  std::string table = t.substr(*p, q - *p);
  for (char& ch : table) {
    ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  }
  const std::string bare =
      table.compare(0, 4, "TVX.") == 0 ? table.substr(4) : table;
  if (bare == "VXLOGENT" || bare == "VXMONLOG" || bare == "X7SRV.RNODESTS" ||
      (table.find('.') != std::string::npos && q < t.size() &&
       (t[q] == ' ' || t[q] == '\t'))) {
    c->second_table = table;
    *p = q;
  }
  const size_t start = *p;
  size_t stop = 0;
  if (!ParseTerms(t, &c->second, &stop, err, start)) {
    return false;
  }
  if (c->second.empty()) {
    *err = "expected the second condition (COLUMN OP VALUE) after " +
           std::string(c->then && c->without ? "THEN OR WITHOUT"
                                             : (c->then ? "THEN" : "WITHOUT")) +
           At(start);
    return false;
  }
  for (const Threshold_Spec& spec : c->second) {
    if (spec.column == "FREQTHRESH" || spec.column == "PERIODTHRS") {
      *err =
          "the second condition of a pair takes no " + spec.column + At(start);
      return false;
    }
  }
  const size_t first = t.find_first_not_of(" \t", start);
  c->second_condition = t.substr(first, stop - first);
  while (!c->second_condition.empty() && (c->second_condition.back() == ' ' ||
                                          c->second_condition.back() == '\t')) {
    c->second_condition.pop_back();
  }
  *p = stop;
  if (!TakeWord(t, p, "WITHIN")) {
    SkipBlanks(t, p);
    *err = "expected AND or WITHIN SECONDS after the second condition" + At(*p);
    return false;
  }
  return ParseSeconds(t, p, "WITHIN", STATE_WINDOW_MAX, &c->within, err);
}

bool ParseThen(const std::string& t, size_t* p, Situation_Clauses* c,
               std::string* err) {
  c->then = true;
  size_t q = *p;
  if (TakeWord(t, &q, "OR")) {
    if (!TakeWord(t, &q, "WITHOUT")) {
      SkipBlanks(t, &q);
      *err = "expected WITHOUT after THEN OR" + At(q);
      return false;
    }
    c->without = true;
    *p = q;
  }
  return ParsePair(t, p, c, err);
}

bool ParseWithout(const std::string& t, size_t* p, Situation_Clauses* c,
                  std::string* err) {
  if (c->then) {
    *err = "expected THEN OR WITHOUT for both events of one pair" + At(*p - 7);
    return false;
  }
  c->without = true;
  return ParsePair(t, p, c, err);
}

void FormatPair(const Situation_Clauses& c, std::string* out) {
  if (c.within <= 0) {
    return;
  }
  *out += c.then && c.without ? " THEN OR WITHOUT"
                              : (c.then ? " THEN" : " WITHOUT");
  if (!c.second_table.empty()) {
    *out += " " + c.second_table;
  }
  *out += " " + c.second_condition + " WITHIN " + std::to_string(c.within);
}

bool ParseAbsent(const std::string& t, size_t* p, Situation_Clauses* c,
                 std::string* err) {
  if (!ParseSeconds(t, p, "ABSENT", STATE_WINDOW_MAX, &c->absent, err)) {
    return false;
  }
  c->expected = TakeWord(t, p, "EXPECTED");
  return true;
}

void FormatAbsent(const Situation_Clauses& c, std::string* out) {
  if (c.absent > 0) {
    *out +=
        " ABSENT " + std::to_string(c.absent) + (c.expected ? " EXPECTED" : "");
  }
}

bool ParseClear(const std::string& t, size_t* p, Situation_Clauses* c,
                std::string* err) {
  SkipBlanks(t, p);
  const size_t start = *p;
  if (t.compare(*p, 2, "<=") != 0) {
    *err = "expected <= ROWS WITHIN SECONDS after CLEAR" + At(start);
    return false;
  }
  *p += 2;
  SkipBlanks(t, p);
  const size_t at = *p;
  size_t q = *p;
  while (q < t.size() && isdigit(static_cast<unsigned char>(t[q]))) {
    ++q;
  }
  const std::string digits = t.substr(at, q - at);
  if (digits.empty() || digits.size() > 3 ||
      atol(digits.c_str()) > CLEAR_MAX_ROWS ||
      (q < t.size() && t[q] != ' ' && t[q] != '\t')) {
    *err = "expected a number of rows from 0 to " +
           std::to_string(CLEAR_MAX_ROWS) + " after CLEAR <=" + At(at);
    return false;
  }
  c->clear_max = atol(digits.c_str());
  *p = q;
  if (!TakeWord(t, p, "WITHIN")) {
    SkipBlanks(t, p);
    *err = "expected WITHIN SECONDS after CLEAR <= " + digits + At(*p);
    return false;
  }
  return ParseSeconds(t, p, "WITHIN", STATE_WINDOW_MAX, &c->clear_within, err);
}

void FormatClear(const Situation_Clauses& c, std::string* out) {
  if (c.clear_max >= 0) {
    *out += " CLEAR <= " + std::to_string(c.clear_max) + " WITHIN " +
            std::to_string(c.clear_within);
  }
}

bool ParsePer(const std::string& t, size_t* p, Situation_Clauses* c,
              std::string* err) {
  SkipBlanks(t, p);
  if (*p >= t.size() ||
      !(isalpha(static_cast<unsigned char>(t[*p])) || t[*p] == '_')) {
    *err = "expected a column name after PER" + At(*p);
    return false;
  }
  c->per_column = Word(t, p);
  SkipBlanks(t, p);
  const size_t start = *p;
  if (*p >= t.size() || t[*p] != '"') {
    *err = "expected a double-quoted regular expression after PER " +
           c->per_column + At(*p);
    return false;
  }
  if (!ParseQuoted(t, p, &c->per_regex, err)) {
    return false;
  }
  if (CompileRegex(c->per_regex, err) == nullptr) {
    *err = "bad regular expression" + At(start) + ": " + *err;
    return false;
  }
  // An optional KEYS N: the most keys kept.
  size_t q = *p;
  SkipBlanks(t, &q);
  if (Word(t, &q) != "KEYS" || (q < t.size() && t[q] != ' ' && t[q] != '\t')) {
    return true;
  }
  SkipBlanks(t, &q);
  const size_t keys_at = q;
  while (q < t.size() && isdigit(static_cast<unsigned char>(t[q]))) {
    ++q;
  }
  const std::string digits = t.substr(keys_at, q - keys_at);
  errno = 0;
  const unsigned long long keys = strtoull(digits.c_str(), nullptr, 10);
  if (digits.empty() || errno != 0 || keys < 1 || keys > SITUATION_KEYS_LIMIT ||
      (q < t.size() && t[q] != ' ' && t[q] != '\t')) {
    *err = "expected a number of keys from 1 to " +
           std::to_string(SITUATION_KEYS_LIMIT) + " after KEYS" + At(keys_at);
    return false;
  }
  c->max_keys = static_cast<size_t>(keys);
  *p = q;
  return true;
}

bool ParseThrottle(const std::string& t, size_t* p, Situation_Clauses* c,
                   std::string* err) {
  long v = 0;
  if (!ParseSeconds(t, p, "THROTTLE", THROTTLE_MAX_SECONDS, &v, err)) {
    return false;
  }
  c->throttle = v;
  return true;
}

void FormatPer(const Situation_Clauses& c, std::string* out) {
  if (!c.per_column.empty()) {
    *out += " PER " + c.per_column + " " + QuotedText(c.per_regex);
    if (c.max_keys != 0) {
      *out += " KEYS " + std::to_string(c.max_keys);
    }
  }
}

void FormatThrottle(const Situation_Clauses& c, std::string* out) {
  if (c.throttle > 0) {
    *out += " THROTTLE " + std::to_string(c.throttle);
  }
}

// The labels Alertmanager's alerts get from the agent itself.
const char* const kOwnLabels[] = {"alertname", "host", "log", "key",
                                  "severity"};

// A label's or SEVERITY's value at *p: a word (up to a blank) or a
// double-quoted text; valid UTF-8, not empty.
bool ParseAlertValue(const std::string& t, size_t* p, const std::string& what,
                     std::string* value, std::string* err) {
  const size_t start = *p;
  value->clear();
  const bool quoted = *p < t.size() && t[*p] == '"';
  if (quoted) {
    if (!ParseQuoted(t, p, value, err)) {
      return false;
    }
  } else {
    while (*p < t.size() && t[*p] != ' ' && t[*p] != '\t') {
      value->push_back(t[(*p)++]);
    }
  }
  if (value->empty() || (!quoted && value->find('"') != std::string::npos) ||
      (*p < t.size() && t[*p] != ' ' && t[*p] != '\t')) {
    *err = "expected a word or a double-quoted text, not empty, for " + what +
           At(start);
    return false;
  }
  if (!ValidUtf8(*value)) {
    *err = "the value of " + what + " is not valid UTF-8" + At(start);
    return false;
  }
  return true;
}

// LABEL NAME=VALUE: a name as Alertmanager takes it
// ([a-zA-Z_][a-zA-Z0-9_]*, not starting "__"), none of the agent's own.
bool ParseLabel(const std::string& t, size_t* p, Situation_Clauses* c,
                std::string* err) {
  SkipBlanks(t, p);
  const size_t start = *p;
  size_t q = *p;
  while (q < t.size() &&
         (isalnum(static_cast<unsigned char>(t[q])) || t[q] == '_')) {
    ++q;
  }
  const std::string name = t.substr(start, q - start);
  if (name.empty() || isdigit(static_cast<unsigned char>(name[0])) ||
      q >= t.size() || t[q] != '=') {
    size_t end = t.find_first_of(" \t=", start);
    *err =
        "expected LABEL NAME=VALUE with a label name of letters, digits "
        "and '_' not starting with a digit, not \"" +
        t.substr(start, (end == std::string::npos ? t.size() : end) - start) +
        "\"" + At(start);
    return false;
  }
  if (name.compare(0, 2, "__") == 0) {
    *err = "label names starting \"__\" are Alertmanager's own: \"" + name +
           "\"" + At(start);
    return false;
  }
  for (const char* own : kOwnLabels) {
    if (name == own) {
      *err = "label \"" + name + "\" is set by the agent" +
             (name == "severity" ? std::string(" (use SEVERITY)") : "") +
             At(start);
      return false;
    }
  }
  for (const auto& l : c->labels) {
    if (l.first == name) {
      *err = "label \"" + name + "\" is given twice" + At(start);
      return false;
    }
  }
  *p = q + 1;
  std::string value;
  if (!ParseAlertValue(t, p, "label " + name, &value, err)) {
    return false;
  }
  c->labels.emplace_back(name, std::move(value));
  return true;
}

bool ParseAlert(const std::string& t, size_t* p, Situation_Clauses* c,
                std::string* err) {
  c->alert = true;
  bool severity = false;
  bool resolve = false;
  while (true) {
    size_t q = *p;
    SkipBlanks(t, &q);
    const size_t at = q;
    const std::string w = Word(t, &q);
    if ((q < t.size() && t[q] != ' ' && t[q] != '\t') ||
        (w != "SEVERITY" && w != "LABEL" && w != "RESOLVE")) {
      if (at < t.size()) {
        *err =
            "expected SEVERITY, LABEL, RESOLVE or the end of the line "
            "after ALERT" +
            At(at);
        return false;
      }
      return true;
    }
    *p = q;
    if (w == "LABEL") {
      if (!ParseLabel(t, p, c, err)) {
        return false;
      }
    } else if (w == "SEVERITY" && !severity) {
      severity = true;
      SkipBlanks(t, p);
      if (!ParseAlertValue(t, p, "SEVERITY", &c->severity, err)) {
        return false;
      }
    } else if (w == "RESOLVE" && !resolve) {
      resolve = true;
      if (!ParseSeconds(t, p, "RESOLVE", THROTTLE_MAX_SECONDS, &c->resolve,
                        err)) {
        return false;
      }
    } else {
      *err = w + " is given twice after ALERT" + At(at);
      return false;
    }
  }
}

// The text of an ALERT clause's value as it is read back.
std::string AlertValue(const std::string& v) {
  return v.find_first_of(" \t\"\\") == std::string::npos ? v : QuotedText(v);
}

void FormatAlert(const Situation_Clauses& c, std::string* out) {
  if (!c.alert) {
    return;
  }
  *out += " ALERT";
  if (!c.severity.empty()) {
    *out += " SEVERITY " + AlertValue(c.severity);
  }
  for (const auto& l : c.labels) {
    *out += " LABEL " + l.first + "=" + AlertValue(l.second);
  }
  if (c.resolve > 0) {
    *out += " RESOLVE " + std::to_string(c.resolve);
  }
}

// The clauses a situation's condition may be followed by, in the order they
// are written. A new clause is one more line here and one more member of
// Situation_Clauses.
const struct Clause_Def {
  const char* keyword;
  bool (*parse)(const std::string& t, size_t* p, Situation_Clauses* c,
                std::string* err);
  void (*format)(const Situation_Clauses& c, std::string* out);
} kClauses[] = {
    {"THEN", ParseThen, FormatPair},
    {"WITHOUT", ParseWithout, [](const Situation_Clauses&, std::string*) {}},
    {"ABSENT", ParseAbsent, FormatAbsent},
    {"CLEAR", ParseClear, FormatClear},
    {"PER", ParsePer, FormatPer},
    {"THROTTLE", ParseThrottle, FormatThrottle},
    {"ALERT", ParseAlert, FormatAlert},
};
constexpr size_t kClauseCount = sizeof kClauses / sizeof kClauses[0];

// Index of the clause `word` names, kClauseCount when none.
size_t ClauseIndex(const std::string& word) {
  size_t i = 0;
  while (i < kClauseCount && word != kClauses[i].keyword) {
    ++i;
  }
  return i;
}

// The condition's terms; with `stop`, the condition may end at a clause
// keyword, whose position is left in *stop (the text's length when none).
bool ParseTerms(const std::string& t, std::vector<Threshold_Spec>* out,
                size_t* stop, std::string* err, size_t from) {
  out->clear();
  size_t p = from;
  SkipBlanks(t, &p);
  if (stop != nullptr) {
    *stop = t.size();
    size_t q = p;
    if (ClauseIndex(Word(t, &q)) < kClauseCount) {
      *stop = p;
      return true;
    }
  }
  if (p == t.size()) {
    return true;
  }
  while (true) {
    Threshold_Spec spec;
    SkipBlanks(t, &p);
    const size_t col_start = p;
    if (p >= t.size() ||
        !(isalpha(static_cast<unsigned char>(t[p])) || t[p] == '_')) {
      *err = "expected a column name" + At(p);
      return false;
    }
    while (p < t.size() &&
           (isalnum(static_cast<unsigned char>(t[p])) || t[p] == '_')) {
      spec.column.push_back(
          static_cast<char>(toupper(static_cast<unsigned char>(t[p]))));
      ++p;
    }
    SkipBlanks(t, &p);
    static const struct {
      const char* text;
      short oper;
    } kOps[] = {{"==", GIR1_EQ}, {"!=", GIR1_NE},     {">=", GIR1_GE},
                {"<=", GIR1_LE}, {"=~", GIR1_REGEX},  {"<", GIR1_LT},
                {">", GIR1_GT},  {"~", GIR1_CONTAINS}};
    bool found = false;
    for (const auto& op : kOps) {
      const size_t n = strlen(op.text);
      if (t.compare(p, n, op.text) == 0) {
        spec.oper = op.oper;
        p += n;
        found = true;
        break;
      }
    }
    if (!found) {
      *err = "expected an operator (==, !=, >=, <=, <, >, ~, =~) after " +
             spec.column + At(p);
      return false;
    }
    SkipBlanks(t, &p);
    const size_t value_start = p;
    if (p < t.size() && t[p] == '"') {
      if (!ParseQuoted(t, &p, &spec.text, err)) {
        return false;
      }
      if (IsTimeStampColumn(spec.column)) {
        spec.relative_seconds = RelativeSeconds(spec.text);
      }
      if (spec.oper == GIR1_REGEX && CompileRegex(spec.text, err) == nullptr) {
        *err = "bad regular expression" + At(value_start) + ": " + *err;
        return false;
      }
    } else if (p < t.size() && (isdigit(static_cast<unsigned char>(t[p])) ||
                                t[p] == '-' || t[p] == '+')) {
      size_t q = p + 1;
      while (q < t.size() && isdigit(static_cast<unsigned char>(t[q]))) {
        ++q;
      }
      const std::string digits = t.substr(p, q - p);
      char* end = nullptr;
      errno = 0;
      const long long v = strtoll(digits.c_str(), &end, 10);
      if (errno != 0 || end == digits.c_str() || *end != '\0' ||
          digits == "-" || digits == "+") {
        *err = "expected an integer of at most 64 bits" + At(value_start);
        return false;
      }
      spec.is_integer = true;
      spec.integer = v;
      p = q;
    } else {
      *err = "expected an integer or a double-quoted text after " +
             spec.column + At(p);
      return false;
    }
    (void)col_start;
    out->push_back(std::move(spec));
    SkipBlanks(t, &p);
    if (p == t.size()) {
      return true;
    }
    if (t.compare(p, 3, "AND") == 0 &&
        (p + 3 == t.size() || t[p + 3] == ' ' || t[p + 3] == '\t')) {
      p += 3;
      continue;
    }
    if (stop != nullptr) {
      *stop = p;
      return true;
    }
    *err = "expected AND or the end of the condition" + At(p);
    return false;
  }
}

}  // namespace

bool ParseCondition(const std::string& t, std::vector<Threshold_Spec>* out,
                    std::string* err) {
  return ParseTerms(t, out, nullptr, err);
}

bool ParseSituationCondition(const std::string& t,
                             std::vector<Threshold_Spec>* out,
                             std::string* condition, Situation_Clauses* clauses,
                             std::string* err) {
  *clauses = Situation_Clauses();
  size_t p = 0;
  if (!ParseTerms(t, out, &p, err)) {
    return false;
  }
  const size_t first = t.find_first_not_of(" \t");
  *condition = first < p ? t.substr(first, p - first) : "";
  while (!condition->empty() &&
         (condition->back() == ' ' || condition->back() == '\t')) {
    condition->pop_back();
  }
  size_t next = 0;  // clauses before this one are behind us
  while (true) {
    SkipBlanks(t, &p);
    if (p >= t.size()) {
      return true;
    }
    const size_t at = p;
    const size_t i = ClauseIndex(Word(t, &p));
    if (i < next || i >= kClauseCount ||
        (p < t.size() && t[p] != ' ' && t[p] != '\t')) {
      std::string expected = next == 0 && !out->empty() ? "AND" : "";
      for (size_t k = next; k < kClauseCount; ++k) {
        expected +=
            (expected.empty() ? "" : ", ") + std::string(kClauses[k].keyword);
      }
      *err = "expected " + expected + (expected.empty() ? "" : " or ") +
             "the end of the line" + At(at);
      return false;
    }
    if (!kClauses[i].parse(t, &p, clauses, err)) {
      return false;
    }
    next = i + 1;
    // Each of these remembers in its own way: one per situation.
    const int kinds = (clauses->within > 0) + (clauses->absent > 0) +
                      (clauses->clear_max >= 0);
    if (kinds > 1) {
      *err = "expected one of THEN, WITHOUT, ABSENT or CLEAR in a situation" +
             At(at);
      return false;
    }
    if (kinds > 0 && clauses->resolve > 0) {
      *err =
          "RESOLVE does not apply to a situation with THEN, WITHOUT, ABSENT or "
          "CLEAR (its alert resolves with its state)" +
          At(at);
      return false;
    }
    if (kinds > 0 && clauses->throttle > 0) {
      *err =
          "THROTTLE does not apply to a situation with THEN, WITHOUT, ABSENT or CLEAR" +
          At(at);
      return false;
    }
    if (clauses->within > 0 && out->empty()) {
      *err = "expected a first condition before " +
             std::string(kClauses[i].keyword) + At(at);
      return false;
    }
  }
}

std::string FormatClauses(const Situation_Clauses& c) {
  std::string out;
  for (const Clause_Def& d : kClauses) {
    d.format(c, &out);
  }
  return out.empty() ? out : out.substr(1);
}

bool ValidateThresholds(vandu& v, const std::vector<Threshold_Spec>& specs,
                        std::string* err) {
  if (!v.ThresholdError().empty()) {
    *err = v.ThresholdError();
    return false;
  }
  std::map<std::string, ColumnInfo> columns;
  std::string names;
  for (int i = 0; i < v.NumColumns(); ++i) {
    ColumnInfo info{};
    if (v.GetColumnInfo(&info, i) != 0 || info.AttributeName == nullptr) {
      continue;
    }
    std::string upper = info.AttributeName;
    for (char& c : upper) {
      c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    names += (names.empty() ? "" : " ") + upper;
    columns[upper] = info;
  }
  const std::string& per = v.Clauses().per_column;
  if (!per.empty()) {
    const auto it = columns.find(per);
    if (it == columns.end() || it->second.Type != COLUMN_TEXT) {
      *err = "PER takes a text column of table " + v.ApplName() + "." +
             v.TableName() + "; expected one of: " + names;
      return false;
    }
    v.SetKeyColumn(it->second.Offset, it->second.Width);
  }
  for (const Threshold_Spec& s : specs) {
    const auto it = columns.find(s.column);
    if (it == columns.end()) {
      *err = "unknown column " + s.column + " for table " + v.ApplName() + "." +
             v.TableName() + "; expected one of: " + names;
      return false;
    }
    const bool text_column = it->second.Type == COLUMN_TEXT;
    if (text_column && s.is_integer) {
      *err = "column " + s.column + " is text; expected a double-quoted value";
      return false;
    }
    if (!text_column && !s.is_integer) {
      *err = "column " + s.column + " is an integer; expected a numeric value";
      return false;
    }
    if (!text_column && (s.oper == GIR1_CONTAINS || s.oper == GIR1_REGEX)) {
      *err = "operators ~ and =~ apply to text columns; " + s.column +
             " is an integer";
      return false;
    }
  }
  return true;
}

TableManager* FindTable(const std::string& name, std::string* err) {
  std::string upper = name;
  for (char& c : upper) {
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  TableManager* m = TableManager::Find(upper);
  if (m == nullptr && upper.compare(0, 4, "TVX.") != 0) {
    m = TableManager::Find("TVX." + upper);
  }
  if (m == nullptr) {
    *err = "unknown table " + name +
           "; expected VXLOGENT, VXMONLOG or X7SRV.RNODESTS";
  }
  return m;
}

vandu* HOV_CreateRequest(const std::string& table, const std::string& condition,
                         int sample_type, const std::string& situation_name,
                         std::string* err) {
  if (FindTable(table, err) == nullptr) {
    return nullptr;
  }
  RequestDetail detail;
  if (!ParseCondition(condition, &detail.thresholds, err)) {
    return nullptr;
  }
  detail.sampleType = sample_type;
  detail.situationName = situation_name;
  return HOV_CreateRequest(table, &detail, err);
}

vandu* HOV_CreateRequest(const std::string& table, RequestDetail* detail,
                         std::string* err) {
  static std::atomic<unsigned> next_request{0};
  TableManager* m = FindTable(table, err);
  if (m == nullptr) {
    return nullptr;
  }
  detail->appl = m->Application();
  detail->table = m->Table();
  ContextInfo context;
  context.requestId = ++next_request;
  vandu* v = m->CreateVandu(detail, &context);
  if (v == nullptr) {
    *err = "request object for " + m->FullName() + " could not be created";
    return nullptr;
  }
  if (!ValidateThresholds(*v, detail->thresholds, err)) {
    vandu::Destroy(v);
    return nullptr;
  }
  if (detail->clauses.Remembers()) {
    std::unique_ptr<Situation_Memory> memory = Situation_Memory::Make(*v, err);
    if (memory == nullptr) {
      vandu::Destroy(v);
      return nullptr;
    }
    v->SetMemory(std::move(memory));
  }
  return v;
}
