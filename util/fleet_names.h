// Names and limits the agent and qorctl must agree on: the fleet's
// key-value buckets, the longest situation line, and which situation and
// group names are taken.
#ifndef QOR_UTIL_FLEET_NAMES_H_
#define QOR_UTIL_FLEET_NAMES_H_

#include <ctype.h>
#include <stddef.h>

#include <string>

// The longest line of a situations file (and of a fleet situation's value).
constexpr size_t SITUATION_LINE_MAX = 8192;
// The roster: one key per agent.
constexpr char FLEET_ROSTER_BUCKET[] = "qoragent_hosts";
// The fleet's situations, and the revisions kept of each key.
constexpr char FLEET_SITUATIONS_BUCKET[] = "qoragent_situations";
constexpr int FLEET_SITUATIONS_HISTORY = 10;

namespace fleet_names_internal {
inline bool AllOf(const std::string& s, size_t most, bool dots) {
  if (s.empty() || s.size() > most) {
    return false;
  }
  for (const char c : s) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' &&
        (!dots || c != '.')) {
      return false;
    }
  }
  return true;
}
}  // namespace fleet_names_internal

// 1 to 31 letters, digits, '_', '-' or '.'.
inline bool ValidSituationName(const std::string& name) {
  return fleet_names_internal::AllOf(name, 31, true);
}

// A group of HOV_FLEET_GROUPS, one subject token: 1 to 64 letters, digits,
// '_' or '-'.
inline bool ValidFleetGroup(const std::string& group) {
  return fleet_names_internal::AllOf(group, 64, false);
}

#endif  // QOR_UTIL_FLEET_NAMES_H_
