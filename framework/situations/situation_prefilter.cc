// The situation prefilter: picks, for a row, the situations of its table
// that can take it.
#include "framework/situations/situation_prefilter.h"

#include <ctype.h>
#include <hs/hs.h>

#include <algorithm>
#include <map>

#include "framework/runtime/bounded_regex.h"
#include "framework/tables/request.h"
#include "framework/tables/table_manager.h"
#include "framework/runtime/trace.h"

#include <re2/set.h>

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

// Changes since the last build that make a rebuild due at once; fewer wait
// until changes have stopped for CHANGE_QUIET seconds.
constexpr size_t MIN_CHANGES = 16;
constexpr time_t CHANGE_QUIET = 1;
// Memory the expressions of one column may use together.
constexpr int64_t SET_MAX_MEM = 16 << 20;
// Literal texts of a column searched for one by one rather than by
// Hyperscan: one such search of a row's text costs about a hundred
// instructions, a Hyperscan scan several hundred however few its literals
// (measured: two searches cost less, three about as much).
constexpr size_t DIRECT_LITERALS = 2;

bool HyperscanRuns() {
  static const bool ok = hs_valid_platform() == HS_SUCCESS;
  return ok;
}

}  // namespace

struct Situation_Prefilter::Column_Index {
  std::string name;
  int offset = 0;
  int width = 0;
  // Literal texts: Hyperscan pattern id -> built indices requiring it.
  std::vector<std::string> literals;
  std::vector<std::vector<size_t>> literal_users;
  bool direct = false;  // literals searched one by one (TextContains)
  hs_database_t* db = nullptr;
  // Regular expressions: set index -> built indices requiring it.
  std::vector<std::string> regexes;
  std::vector<std::vector<size_t>> regex_users;
  std::unique_ptr<RE2::Set> set;

  Column_Index() = default;
  Column_Index(const Column_Index&) = delete;
  Column_Index& operator=(const Column_Index&) = delete;
  ~Column_Index() { hs_free_database(db); }
};

Situation_Prefilter::Situation_Prefilter() = default;

Situation_Prefilter::~Situation_Prefilter() {
  hs_free_scratch(scratch_);
}

void Situation_Prefilter::Added(vandu* v) {
  added_.push_back(v);
  ++changes_;
  changed_ = time(nullptr);
}

void Situation_Prefilter::Removed(vandu* v) {
  const auto it = position_.find(v);
  if (it != position_.end()) {
    removed_[it->second] = true;
    position_.erase(it);
  } else {
    added_.erase(std::remove(added_.begin(), added_.end(), v), added_.end());
  }
  ++changes_;
  changed_ = time(nullptr);
}

void Situation_Prefilter::Build(LinkedList* live) {
  built_.clear();
  position_.clear();
  always_.clear();
  columns_.clear();
  added_.clear();
  changes_ = 0;
  LinkedListIter it(live);
  for (void* p = it.Next(); p != nullptr; p = it.Next()) {
    position_[static_cast<vandu*>(p)] = built_.size();
    built_.push_back(static_cast<vandu*>(p));
  }
  removed_.assign(built_.size(), false);
  decided_by_.assign(built_.size(), nullptr);
  seen_.assign(built_.size(), 0);
  pass_ = 0;
  if (built_.empty()) {
    return;
  }
  // The table's columns, from any of its objects.
  vandu* first = built_.front();
  rowSize_ = first->RowSize();
  std::map<std::string, Column_Index*> by_name;
  for (int c = 0; c < first->NumColumns(); ++c) {
    ColumnInfo info{};
    if (first->GetColumnInfo(&info, c) != 0 || info.AttributeName == nullptr ||
        info.Type != COLUMN_TEXT) {
      continue;
    }
    auto index = std::make_unique<Column_Index>();
    for (const char* a = info.AttributeName; *a != '\0'; ++a) {
      index->name.push_back(
          static_cast<char>(toupper(static_cast<unsigned char>(*a))));
    }
    index->offset = info.Offset;
    index->width = info.Width;
    by_name[index->name] = index.get();
    columns_.push_back(std::move(index));
  }
  // One text per situation: the longest literal, else an expression.
  std::map<std::pair<Column_Index*, std::string>, size_t> literal_ids,
      regex_ids;
  for (size_t i = 0; i < built_.size(); ++i) {
    const Required_Text* pick = nullptr;
    Column_Index* column = nullptr;
    const std::vector<Required_Text> texts = built_[i]->RequiredTexts();
    for (const Required_Text& t : texts) {
      const auto c = by_name.find(t.column);
      if (c == by_name.end()) {
        continue;
      }
      if (pick == nullptr || (pick->regex && !t.regex) ||
          (pick->regex == t.regex && t.text.size() > pick->text.size())) {
        pick = &t;
        column = c->second;
      }
    }
    if (pick == nullptr) {
      always_.push_back(i);
      continue;
    }
    auto& ids = pick->regex ? regex_ids : literal_ids;
    auto& texts_of = pick->regex ? column->regexes : column->literals;
    auto& users = pick->regex ? column->regex_users : column->literal_users;
    const auto key = std::make_pair(column, pick->text);
    auto id = ids.find(key);
    if (id == ids.end()) {
      id = ids.emplace(key, texts_of.size()).first;
      texts_of.push_back(pick->text);
      users.emplace_back();
    }
    users[id->second].push_back(i);
    if (pick->decides) {
      decided_by_[i] = column;
    }
  }
  for (auto& column : columns_) {
    const auto fall_back =
        [this](const std::vector<std::vector<size_t>>& users) {
          for (const auto& u : users) {
            always_.insert(always_.end(), u.begin(), u.end());
            for (const size_t i : u) {
              decided_by_[i] = nullptr;  // marked without its text
            }
          }
        };
    if (!column->literals.empty() &&
        column->literals.size() <= DIRECT_LITERALS) {
      column->direct = true;
    } else if (!column->literals.empty()) {
      std::vector<const char*> exprs;
      std::vector<size_t> lens;
      std::vector<unsigned> ids,
          flags(column->literals.size(), HS_FLAG_SINGLEMATCH);
      for (size_t k = 0; k < column->literals.size(); ++k) {
        exprs.push_back(column->literals[k].data());
        lens.push_back(column->literals[k].size());
        ids.push_back(static_cast<unsigned>(k));
      }
      hs_compile_error_t* error = nullptr;
      if (!HyperscanRuns() ||
          hs_compile_lit_multi(exprs.data(), flags.data(), ids.data(),
                               lens.data(), static_cast<unsigned>(exprs.size()),
                               HS_MODE_BLOCK, nullptr, &column->db,
                               &error) != HS_SUCCESS ||
          hs_alloc_scratch(column->db, &scratch_) != HS_SUCCESS) {
        WEX1_TRACE(wex1, WEX1_FLOW, "\nTexts of column %s not indexed: %s",
                   column->name.c_str(),
                   error != nullptr ? error->message
                                    : "no Hyperscan on this processor");
        hs_free_compile_error(error);
        hs_free_database(column->db);
        column->db = nullptr;
        fall_back(column->literal_users);
      }
    }
    if (!column->regexes.empty()) {
      RE2::Options options = RegexOptions();
      options.set_max_mem(SET_MAX_MEM);
      column->set = std::make_unique<RE2::Set>(options, RE2::UNANCHORED);
      bool ok = true;
      for (const std::string& r : column->regexes) {
        ok = ok && column->set->Add(r, nullptr) >= 0;
      }
      if (!ok || !column->set->Compile()) {
        WEX1_TRACE(wex1, WEX1_FLOW, "\nExpressions of column %s not indexed.",
                   column->name.c_str());
        column->set.reset();
        fall_back(column->regex_users);
      }
    }
  }
  // Columns no situation needs are not scanned.
  columns_.erase(std::remove_if(columns_.begin(), columns_.end(),
                                [](const std::unique_ptr<Column_Index>& c) {
                                  return !c->direct && c->db == nullptr &&
                                         c->set == nullptr;
                                }),
                 columns_.end());
  std::sort(always_.begin(), always_.end());
  WEX1_TRACE(
      wex1, WEX1_FLOW,
      "\nSituation index built: %zu situations, %zu evaluated for every row.",
      built_.size(), always_.size());
}

void Situation_Prefilter::Mark(size_t i) {
  if (seen_[i] != pass_) {
    seen_[i] = pass_;
    marked_.push_back(i);
  }
}

void Situation_Prefilter::Candidates(LinkedList* live, const char* rows,
                                     int count, std::vector<Candidate>* out) {
  if (changes_ > 0 && (changes_ >= std::max(MIN_CHANGES, built_.size() / 4) ||
                       time(nullptr) - changed_ >= CHANGE_QUIET)) {
    Build(live);
  }
  if (++pass_ == 0) {  // wrapped: forget every old mark
    std::fill(seen_.begin(), seen_.end(), 0);
    pass_ = 1;
  }
  marked_.clear();
  for (const size_t i : always_) {
    Mark(i);
  }
  std::vector<int> hits;
  for (int r = 0; r < count && !built_.empty(); ++r) {
    const char* row =
        rows + static_cast<size_t>(r) * static_cast<size_t>(rowSize_);
    for (const auto& column : columns_) {
      const char* field = row + column->offset;
      if (column->direct) {
        // One literal is searched for in the whole field, padding too: no
        // literal ends in a blank or NUL, so none is found across the end of
        // the text, and that costs less than finding the end first. Two are
        // searched for in the text alone.
        const size_t length =
            column->literals.size() == 1
                ? static_cast<size_t>(column->width)
                : static_cast<size_t>(UnpaddedLength(field, column->width));
        for (size_t k = 0; k < column->literals.size(); ++k) {
          const std::string& literal = column->literals[k];
          if (TextContains(field, length, literal.data(), literal.size())) {
            for (const size_t i : column->literal_users[k]) {
              Mark(i);
            }
          }
        }
      }
      if (column->db == nullptr && column->set == nullptr) {
        continue;
      }
      const int length = UnpaddedLength(field, column->width);
      if (column->db != nullptr) {
        struct Scan {
          Situation_Prefilter* self;
          const Column_Index* column;
        } scan{this, column.get()};
        hs_scan(
            column->db, field, static_cast<unsigned>(length), 0, scratch_,
            [](unsigned id, unsigned long long, unsigned long long, unsigned,
               void* ctx) {
              auto* s = static_cast<Scan*>(ctx);
              for (const size_t i : s->column->literal_users[id]) {
                s->self->Mark(i);
              }
              return 0;
            },
            &scan);
      }
      if (column->set != nullptr) {
        hits.clear();
        RE2::Set::ErrorInfo error{};
        const bool any = column->set->Match(
            re2::StringPiece(field, static_cast<size_t>(length)), &hits,
            &error);
        if (!any && error.kind != RE2::Set::kNoError) {
          // Out of match memory: every expression of the column is a candidate.
          hits.clear();
          for (size_t k = 0; k < column->regex_users.size(); ++k) {
            hits.push_back(static_cast<int>(k));
          }
        }
        for (const int k : hits) {
          for (const size_t i : column->regex_users[static_cast<size_t>(k)]) {
            Mark(i);
          }
        }
      }
    }
  }
  if (marked_.size() > 1) {
    std::sort(marked_.begin(), marked_.end());
  }
  for (const size_t i : marked_) {
    if (removed_[i]) {
      continue;
    }
    // Marked by its deciding text, found in the one row offered: the row
    // meets the situation (the search and IsException's `~` agree on every
    // byte, case and the column's padding).
    const Column_Index* proof = count == 1 ? decided_by_[i] : nullptr;
    out->push_back(
        Candidate{built_[i], proof != nullptr,
                  static_cast<uint16_t>(proof != nullptr ? proof->offset : 0),
                  static_cast<uint16_t>(proof != nullptr ? proof->width : 0)});
  }
  for (vandu* v : added_) {
    out->push_back(Candidate{v, false, 0, 0});
  }
}
