// Regular expressions of conditions (=~) and PER keys: POSIX extended syntax,
// run by RE2 in time linear in the text, each within a fixed memory budget so
// that no expression, however written, can stall or bloat the agent.
#ifndef QOR_FRAMEWORK_RUNTIME_BOUNDED_REGEX_H_
#define QOR_FRAMEWORK_RUNTIME_BOUNDED_REGEX_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include <re2/re2.h>

// Memory one expression may use: its compiled program and match cache.
constexpr int64_t REGEX_MAX_MEM = 1 << 20;

// The options every expression is compiled with: POSIX syntax (with the
// \d \s \w \b classes glibc also takes), leftmost-longest matching, '.'
// matching any byte including a newline, bytes rather than UTF-8.
const RE2::Options& RegexOptions();

// The compiled expression, or null with *err holding RE2's message (a syntax
// error, or "pattern too large - compile failed" past the budget).
std::unique_ptr<RE2> CompileRegex(const std::string& pattern, std::string* err);

// True when `re` matches somewhere in the `length` bytes at `text`.
bool RegexFinds(const RE2& re, const char* text, size_t length);

// The key of `text`: its first capture group, or the whole match when the
// expression has none. False (key cleared) when it does not match or the key
// is empty.
bool RegexKey(const RE2& re, const char* text, size_t length, std::string* key);

#endif  // QOR_FRAMEWORK_RUNTIME_BOUNDED_REGEX_H_
