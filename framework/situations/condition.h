// Situation and report conditions as people write them:
//   COLUMN OP VALUE [AND COLUMN OP VALUE]...
// OP is one of == != >= <= < > ~ =~; VALUE is an integer or a double-quoted
// text with \" and \\ escapes. Time-stamp columns (ENTRYTIME, TIMESTAMP,
// MONTIME, LOGMODDATE) also take relative texts "-30s", "-15m", "-2h", "-1d".
#ifndef QOR_FRAMEWORK_SITUATIONS_CONDITION_H_
#define QOR_FRAMEWORK_SITUATIONS_CONDITION_H_

#include <string>
#include <vector>

#include "framework/tables/request.h"

// Parses `text` into threshold specs. False with *err saying what was
// expected and at which column (1-based) when the text is malformed. An empty
// text is a condition without thresholds.
[[nodiscard]] bool ParseCondition(const std::string& text,
                                  std::vector<Threshold_Spec>* out,
                                  std::string* err);

// Longest THROTTLE: a year.
constexpr long THROTTLE_MAX_SECONDS = 366L * 86400;

// Parses a situation's CONDITION followed by its clauses
//   [PER COLUMN "REGEX" [KEYS N]] [THROTTLE SECONDS]
//   [ALERT [SEVERITY WORD] [LABEL NAME=VALUE ...] [RESOLVE SECONDS]]
// (keywords in any case; a value is a word or a double-quoted text, valid
// UTF-8; a label name as Alertmanager takes it, none of the agent's own): the
// thresholds into *out, the condition's own text (trimmed) into *condition, the
// clauses into *clauses. False with *err as ParseCondition, or saying which
// clause was expected.
[[nodiscard]] bool ParseSituationCondition(const std::string& text,
                                           std::vector<Threshold_Spec>* out,
                                           std::string* condition,
                                           Situation_Clauses* clauses,
                                           std::string* err);

// The clauses as they are written ("PER ENTRYDESC \"...\" THROTTLE 60"),
// empty when there are none.
std::string FormatClauses(const Situation_Clauses& clauses);

// Checks the specs against the columns `v` describes: each column must exist,
// integer columns take integers, text columns take texts, ~ and =~ only text;
// a PER clause needs a text column, whose place it gives `v`.
[[nodiscard]] bool ValidateThresholds(vandu& v,
                                      const std::vector<Threshold_Spec>& specs,
                                      std::string* err);

// The manager of a table named "VXLOGENT", "TVX.VXLOGENT", "X7SRV.RNODESTS" ...
// (case-insensitive); null with *err when there is none.
class TableManager;
TableManager* FindTable(const std::string& name, std::string* err);

// Creates a request object on `table` with the condition's thresholds.
// Returns null with *err when the table, the condition or a column is bad, or
// the object cannot be built. Reports use SAMPLE_REPORT, situations
// SAMPLE_SITUATION. The caller destroys it with vandu::Destroy.
vandu* HOV_CreateRequest(const std::string& table, const std::string& condition,
                         int sample_type, const std::string& situation_name,
                         std::string* err);
// The same for thresholds and clauses already parsed into *detail (its sample
// type, situation name, thresholds and clauses).
vandu* HOV_CreateRequest(const std::string& table, RequestDetail* detail,
                         std::string* err);

#endif  // QOR_FRAMEWORK_SITUATIONS_CONDITION_H_
