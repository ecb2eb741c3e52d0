#include "framework/condition.h"

#include <ctype.h>
#include <errno.h>
#include <regex.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>

#include "framework/table_manager.h"

namespace {

bool IsTimeStampColumn(const std::string& c) {
  return c == "ENTRYTIME" || c == "TIMESTAMP" || c == "MONTIME" || c == "LOGMODDATE";
}

std::string At(size_t pos) { return " at column " + std::to_string(pos + 1); }

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

}  // namespace

bool ParseCondition(const std::string& t, std::vector<Threshold_Spec>* out, std::string* err) {
  out->clear();
  size_t p = 0;
  SkipBlanks(t, &p);
  if (p == t.size()) {
    return true;
  }
  while (true) {
    Threshold_Spec spec;
    SkipBlanks(t, &p);
    const size_t col_start = p;
    if (p >= t.size() || !(isalpha(static_cast<unsigned char>(t[p])) || t[p] == '_')) {
      *err = "expected a column name" + At(p);
      return false;
    }
    while (p < t.size() && (isalnum(static_cast<unsigned char>(t[p])) || t[p] == '_')) {
      spec.column.push_back(static_cast<char>(toupper(static_cast<unsigned char>(t[p]))));
      ++p;
    }
    SkipBlanks(t, &p);
    static const struct {
      const char* text;
      short oper;
    } kOps[] = {{"==", GIR1_EQ}, {"!=", GIR1_NE}, {">=", GIR1_GE}, {"<=", GIR1_LE},
                {"=~", GIR1_REGEX}, {"<", GIR1_LT}, {">", GIR1_GT}, {"~", GIR1_CONTAINS}};
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
      *err = "expected an operator (==, !=, >=, <=, <, >, ~, =~) after " + spec.column + At(p);
      return false;
    }
    SkipBlanks(t, &p);
    const size_t value_start = p;
    if (p < t.size() && t[p] == '"') {
      ++p;
      bool closed = false;
      while (p < t.size()) {
        const char c = t[p++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\') {
          if (p >= t.size() || (t[p] != '"' && t[p] != '\\')) {
            *err = "expected \\\" or \\\\ after a backslash" + At(p - 1);
            return false;
          }
          spec.text.push_back(t[p++]);
          continue;
        }
        spec.text.push_back(c);
      }
      if (!closed) {
        *err = "expected a closing quote for the text that starts" + At(value_start);
        return false;
      }
      if (IsTimeStampColumn(spec.column)) {
        spec.relative_seconds = RelativeSeconds(spec.text);
      }
      if (spec.oper == GIR1_REGEX) {
        regex_t re;
        const int rc = regcomp(&re, spec.text.c_str(), REG_EXTENDED | REG_NOSUB);
        if (rc != 0) {
          char msg[256];
          regerror(rc, &re, msg, sizeof msg);
          *err = std::string("bad regular expression") + At(value_start) + ": " + msg;
          return false;
        }
        regfree(&re);
      }
    } else if (p < t.size() && (isdigit(static_cast<unsigned char>(t[p])) || t[p] == '-' ||
                                t[p] == '+')) {
      size_t q = p + 1;
      while (q < t.size() && isdigit(static_cast<unsigned char>(t[q]))) {
        ++q;
      }
      const std::string digits = t.substr(p, q - p);
      char* end = nullptr;
      errno = 0;
      const long long v = strtoll(digits.c_str(), &end, 10);
      if (errno != 0 || end == digits.c_str() || *end != '\0' || digits == "-" || digits == "+") {
        *err = "expected an integer of at most 64 bits" + At(value_start);
        return false;
      }
      spec.is_integer = true;
      spec.integer = v;
      p = q;
    } else {
      *err = "expected an integer or a double-quoted text after " + spec.column + At(p);
      return false;
    }
    (void)col_start;
    out->push_back(std::move(spec));
    SkipBlanks(t, &p);
    if (p == t.size()) {
      return true;
    }
    if (t.compare(p, 3, "AND") == 0 && (p + 3 == t.size() || t[p + 3] == ' ' || t[p + 3] == '\t')) {
      p += 3;
      continue;
    }
    *err = "expected AND or the end of the condition" + At(p);
    return false;
  }
}

bool ValidateThresholds(vandu& v, const std::vector<Threshold_Spec>& specs, std::string* err) {
  std::map<std::string, uint16_t> columns;
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
    columns[upper] = info.Type;
  }
  for (const Threshold_Spec& s : specs) {
    const auto it = columns.find(s.column);
    if (it == columns.end()) {
      *err = "unknown column " + s.column + " for table " + v.ApplName() + "." + v.TableName() +
             "; expected one of: " + names;
      return false;
    }
    const bool text_column = it->second == COLUMN_TEXT;
    if (text_column && s.is_integer) {
      *err = "column " + s.column + " is text; expected a double-quoted value";
      return false;
    }
    if (!text_column && !s.is_integer) {
      *err = "column " + s.column + " is an integer; expected a numeric value";
      return false;
    }
    if (!text_column && (s.oper == GIR1_CONTAINS || s.oper == GIR1_REGEX)) {
      *err = "operators ~ and =~ apply to text columns; " + s.column + " is an integer";
      return false;
    }
  }
  if (!v.ThresholdError().empty()) {
    *err = v.ThresholdError();
    return false;
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
    *err = "unknown table " + name + "; expected VXLOGENT, VXMONLOG or X7SRV.RNODESTS";
  }
  return m;
}

vandu* HOV_CreateRequest(const std::string& table, const std::string& condition, int sample_type,
                         const std::string& situation_name, std::string* err) {
  static std::atomic<unsigned> next_request{0};
  TableManager* m = FindTable(table, err);
  if (m == nullptr) {
    return nullptr;
  }
  RequestDetail detail;
  if (!ParseCondition(condition, &detail.thresholds, err)) {
    return nullptr;
  }
  detail.appl = m->Application();
  detail.table = m->Table();
  detail.sampleType = sample_type;
  detail.situationName = situation_name;
  ContextInfo context;
  context.requestId = ++next_request;
  vandu* v = m->CreateVandu(&detail, &context);
  if (v == nullptr) {
    *err = "request object for " + m->FullName() + " could not be created";
    return nullptr;
  }
  if (!ValidateThresholds(*v, detail.thresholds, err)) {
    vandu::Destroy(v);
    return nullptr;
  }
  return v;
}
