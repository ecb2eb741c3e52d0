// The situations the runtime evaluates, by name. A situation is one live
// request object (sample type 4) on its table's manager list; the registry
// owns it and destroys it on Delete, Reload and Clear. Thread-safe.
#ifndef QOR_FRAMEWORK_SITUATION_REGISTRY_H_
#define QOR_FRAMEWORK_SITUATION_REGISTRY_H_

#include <map>
#include <mutex>
#include <string>
#include <vector>

class vandu;

struct Situation_Info {
  std::string name;
  std::string table;  // "APPL.TABLE"
  std::string condition;
  std::string run;  // the RUN clause's command; empty: none
  bool stopped = false;
  int reason = 0;
};

// Splits "NAME TABLE CONDITION"; false with *err when malformed.
[[nodiscard]] bool ParseSituationLine(const std::string& line, std::string* name,
                                      std::string* table, std::string* condition,
                                      std::string* err);

// 1 to 31 letters, digits, '_', '-' or '.'.
bool ValidSituationName(const std::string& name);

// Takes a trailing `RUN "COMMAND"` clause off `*text` (a condition and the
// clauses after it): *run is the command with its \" and \\ escapes undone,
// *text what stands before the clause. Without the clause *run is empty and
// *text unchanged. False with *err when the clause is malformed; columns in
// it count from `column_offset` + 1.
[[nodiscard]] bool SplitRunClause(std::string* text, std::string* run, std::string* err,
                                  size_t column_offset = 0);

class Situation_Registry {
 public:
  static Situation_Registry& Instance();

  // Creates and starts a situation; false with *err when the name is taken
  // or invalid, or the table or condition is bad.
  // `run`: the command run for each event; empty: none.
  [[nodiscard]] bool Add(const std::string& name, const std::string& table,
                         const std::string& condition, std::string* err,
                         const std::string& run = std::string());
  // False with *err when there is no such situation.
  [[nodiscard]] bool Delete(const std::string& name, std::string* err);
  std::vector<Situation_Info> List();
  // Reads a situations file and adds every good line. Each bad line adds one
  // "FILE:LINE: what was expected" text to *problems and is skipped. False
  // with *err when the file cannot be read.
  [[nodiscard]] bool LoadFile(const std::string& path, std::vector<std::string>* problems,
                              std::string* err);
  // Drops every situation, then loads the file named by HOV_SITUATIONS again.
  [[nodiscard]] bool Reload(std::vector<std::string>* problems, std::string* err);
  void Clear();

 private:
  struct Entry {
    Situation_Info info;
    vandu* object;
  };
  std::mutex mu_;
  std::map<std::string, Entry> entries_;
};

#endif  // QOR_FRAMEWORK_SITUATION_REGISTRY_H_
