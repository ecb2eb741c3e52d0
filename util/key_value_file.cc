// Settings files of key=value lines (the Kafka client's properties).
#include "util/key_value_file.h"

#include <errno.h>
#include <string.h>

#include <fstream>

bool ReadKeyValueFile(
    const char* what, const std::string& path,
    const std::function<bool(const std::string& key, const std::string& value,
                             const std::string& where, std::string* err)>& each,
    std::string* err) {
  std::ifstream in(path);
  if (!in) {
    *err = std::string("cannot read ") + what + " " + path + ": " +
           strerror(errno);
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') {
      continue;
    }
    const std::string where = path + ":" + std::to_string(number);
    const size_t eq = line.find('=', start);
    if (eq == std::string::npos) {
      *err = where + ": not a key=value line";
      return false;
    }
    std::string key = line.substr(start, eq - start);
    key.erase(key.find_last_not_of(" \t") + 1);
    std::string value = line.substr(eq + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t\r") + 1);
    if (!each(key, value, where, err)) {
      return false;
    }
  }
  if (in.bad()) {
    *err = std::string("cannot read ") + what + " " + path + ": " +
           strerror(errno);
    return false;
  }
  return true;
}
