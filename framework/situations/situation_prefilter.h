// Picks, for rows offered to a table, the situations that can take them, so
// that a thousand situations cost little more than one. Each situation is
// indexed by one text its condition requires (Required_Text): the literal
// texts of all situations on a column are matched in one pass by Hyperscan,
// their regular expressions in one pass by an RE2 set (the same engine and
// options that evaluate them in full). A situation without such a text is
// always a candidate. The candidates are then evaluated in full, so the
// result is the same as evaluating every situation, in the same order. A
// column with one or two literal texts is searched for each of them directly:
// for so few, starting Hyperscan costs more than the searches.
//
// A situation whose whole condition is the `~` threshold its literal text
// comes from (besides thresholds the agent evaluates itself) is met by a
// single row that holds the text: such a candidate is marked proven, with the
// column, so that the row need not be compared again (see vandu::Proven_Row).
//
// Owned by one table manager and used only under its lock. Situations added
// after the last build are candidates for every row until the next build,
// which happens once changes stop for a second or grow past a quarter of the
// index.
#ifndef QOR_FRAMEWORK_SITUATIONS_SITUATION_PREFILTER_H_
#define QOR_FRAMEWORK_SITUATIONS_SITUATION_PREFILTER_H_

#include <stdint.h>
#include <time.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class LinkedList;
class vandu;

class Situation_Prefilter {
 public:
  Situation_Prefilter();
  ~Situation_Prefilter();
  Situation_Prefilter(const Situation_Prefilter&) = delete;
  Situation_Prefilter& operator=(const Situation_Prefilter&) = delete;

  // `v` went on the live list (at its end) / came off it.
  void Added(vandu* v);
  void Removed(vandu* v);
  // A live object that can take one of the rows offered. When `proven`, the
  // one row offered meets its every threshold CheckForException compares,
  // which is told by the text column at [offset, offset + width).
  struct Candidate {
    vandu* object;
    bool proven;
    uint16_t offset;
    uint16_t width;
  };
  // The live objects that can take one of the `count` rows at `rows`, in
  // list order (stopped objects included; the caller skips them). Rebuilds
  // the index from `live` first when it is due.
  void Candidates(LinkedList* live, const char* rows, int count,
                  std::vector<Candidate>* out);

 private:
  struct Column_Index;
  void Build(LinkedList* live);
  // Marks built situation `i` as a candidate of this pass.
  void Mark(size_t i);

  std::vector<vandu*> built_;                    // list order at the build
  std::unordered_map<vandu*, size_t> position_;  // built_ index
  std::vector<bool> removed_;                    // by built_ index
  // By built_ index: the column whose literal text alone decides the
  // situation (see Required_Text::decides); null when none does.
  std::vector<const Column_Index*> decided_by_;
  std::vector<size_t> always_;  // built indices without a text
  std::vector<std::unique_ptr<Column_Index>> columns_;
  std::vector<vandu*> added_;  // live since the build, in list order
  size_t changes_ = 0;         // additions and removals since the build
  time_t changed_ = 0;         // when the last one happened
  int rowSize_ = 0;
  std::vector<uint32_t> seen_;  // pass number that marked each built index
  uint32_t pass_ = 0;
  std::vector<size_t> marked_;
  struct hs_scratch* scratch_ = nullptr;  // for every column's database
};

#endif  // QOR_FRAMEWORK_SITUATIONS_SITUATION_PREFILTER_H_
