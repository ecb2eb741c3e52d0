#include "tools/json_line.h"

#include <ctype.h>
#include <string.h>

namespace {

class Reader {
 public:
  Reader(const std::string& text, std::string* err) : t_(text), err_(err) {}

  void Skip() {
    while (p_ < t_.size() && (t_[p_] == ' ' || t_[p_] == '\t')) {
      ++p_;
    }
  }
  bool Take(char c) {
    Skip();
    if (p_ < t_.size() && t_[p_] == c) {
      ++p_;
      return true;
    }
    return false;
  }
  bool Fail(const std::string& expected) {
    *err_ = "expected " + expected + " at column " + std::to_string(p_ + 1);
    return false;
  }
  bool AtEnd() {
    Skip();
    return p_ >= t_.size();
  }

  bool String(std::string* out) {
    if (!Take('"')) {
      return Fail("a double-quoted string");
    }
    while (p_ < t_.size()) {
      const char c = t_[p_++];
      if (c == '"') {
        return true;
      }
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (p_ >= t_.size()) {
        break;
      }
      const char e = t_[p_++];
      if (e == '"' || e == '\\' || e == '/') {
        out->push_back(e);
      } else if (strchr("bfnrt", e) != nullptr) {
        out->push_back('\\');
        out->push_back(e);
      } else if (e == 'u' && p_ + 4 <= t_.size() && isxdigit(static_cast<unsigned char>(t_[p_])) &&
                 isxdigit(static_cast<unsigned char>(t_[p_ + 1])) &&
                 isxdigit(static_cast<unsigned char>(t_[p_ + 2])) &&
                 isxdigit(static_cast<unsigned char>(t_[p_ + 3]))) {
        out->append("\\u");
        out->append(t_, p_, 4);
        p_ += 4;
      } else {
        --p_;
        return Fail("an escape (\\\" \\\\ \\/ \\b \\f \\n \\r \\t \\uXXXX)");
      }
    }
    return Fail("a closing quote");
  }

  bool Bare(std::string* out) {
    Skip();
    const size_t start = p_;
    while (p_ < t_.size() && (isalnum(static_cast<unsigned char>(t_[p_])) || t_[p_] == '-' ||
                              t_[p_] == '+' || t_[p_] == '.')) {
      ++p_;
    }
    *out = t_.substr(start, p_ - start);
    if (out->empty()) {
      p_ = start;
      return Fail("a string, number, true, false or null");
    }
    if (*out == "true" || *out == "false" || *out == "null") {
      return true;
    }
    const char c = (*out)[0];
    if (c == '-' || isdigit(static_cast<unsigned char>(c))) {
      return true;
    }
    p_ = start;
    return Fail("a string, number, true, false or null");
  }

  bool Value(Json_Field* f) {
    Skip();
    if (p_ < t_.size() && t_[p_] == '"') {
      f->is_string = true;
      return String(&f->text);
    }
    return Bare(&f->text);
  }

 private:
  const std::string& t_;
  std::string* err_;
  size_t p_ = 0;
};

}  // namespace

bool ParseJsonLine(const std::string& line, std::vector<Json_Field>* fields, std::string* err) {
  fields->clear();
  Reader r(line, err);
  if (!r.Take('{')) {
    return r.Fail("'{'");
  }
  if (!r.Take('}')) {
    while (true) {
      Json_Field f;
      if (!r.String(&f.key)) {
        return false;
      }
      if (!r.Take(':')) {
        return r.Fail("':'");
      }
      if (!r.Value(&f)) {
        return false;
      }
      fields->push_back(std::move(f));
      if (r.Take('}')) {
        break;
      }
      if (!r.Take(',')) {
        return r.Fail("',' or '}'");
      }
    }
  }
  if (!r.AtEnd()) {
    return r.Fail("the end of the line");
  }
  return true;
}

const Json_Field* FindJsonField(const std::vector<Json_Field>& fields, const std::string& key) {
  for (const Json_Field& f : fields) {
    if (f.key == key) {
      return &f;
    }
  }
  return nullptr;
}
