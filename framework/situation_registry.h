// The situations the runtime evaluates, by name. A situation is one live
// request object (sample type 4) on its table's manager list; the registry
// owns it and destroys it on Delete, Reload and Clear. Thread-safe.
#ifndef QOR_FRAMEWORK_SITUATION_REGISTRY_H_
#define QOR_FRAMEWORK_SITUATION_REGISTRY_H_

#include <map>
#include <string>
#include <vector>

#include "util/posix_mutex.h"

class vandu;

struct Situation_Info {
  std::string name;
  std::string table;  // "APPL.TABLE"
  std::string condition;
  bool stopped = false;
  int reason = 0;
};

// Splits "NAME TABLE CONDITION"; false with *err when malformed.
[[nodiscard]] bool ParseSituationLine(const std::string& line, std::string* name,
                                      std::string* table, std::string* condition,
                                      std::string* err);

class Situation_Registry {
 public:
  static Situation_Registry& Instance();

  // Creates and starts a situation; false with *err when the name is taken
  // or invalid, or the table or condition is bad.
  [[nodiscard]] bool Add(const std::string& name, const std::string& table,
                         const std::string& condition, std::string* err);
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
  Posix_Mutex mu_;
  std::map<std::string, Entry> entries_ GUARDED_BY(mu_);
};

#endif  // QOR_FRAMEWORK_SITUATION_REGISTRY_H_
