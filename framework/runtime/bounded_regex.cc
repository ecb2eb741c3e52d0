// Bounded regular expressions: POSIX extended syntax run by RE2 within a
// fixed memory budget.
#include "framework/runtime/bounded_regex.h"

const RE2::Options& RegexOptions() {
  static const RE2::Options* options = [] {
    auto* o = new RE2::Options;
    o->set_posix_syntax(true);
    o->set_longest_match(true);
    o->set_perl_classes(true);
    o->set_word_boundary(true);
    o->set_dot_nl(true);
    o->set_encoding(RE2::Options::EncodingLatin1);
    o->set_max_mem(REGEX_MAX_MEM);
    o->set_log_errors(false);
    return o;
  }();
  return *options;
}

std::unique_ptr<RE2> CompileRegex(const std::string& pattern,
                                  std::string* err) {
  auto re = std::make_unique<RE2>(pattern, RegexOptions());
  if (!re->ok()) {
    *err = re->error();
    return nullptr;
  }
  return re;
}

bool RegexFinds(const RE2& re, const char* text, size_t length) {
  return re.Match(re2::StringPiece(text, length), 0, length, RE2::UNANCHORED,
                  nullptr, 0);
}

bool RegexKey(const RE2& re, const char* text, size_t length,
              std::string* key) {
  key->clear();
  re2::StringPiece groups[2];
  const int n = re.NumberOfCapturingGroups() > 0 ? 2 : 1;
  if (!re.Match(re2::StringPiece(text, length), 0, length, RE2::UNANCHORED,
                groups, n)) {
    return false;
  }
  const re2::StringPiece& k = groups[n - 1];
  key->assign(k.data() != nullptr ? k.data() : "", k.size());
  return !key->empty();
}
