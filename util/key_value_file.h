// Settings files of key=value lines, as the Kafka client's properties are
// given (HOV_KAFKA_PROPERTIES): read alike by the agent and by qorctl.
#ifndef QOR_UTIL_KEY_VALUE_FILE_H_
#define QOR_UTIL_KEY_VALUE_FILE_H_

#include <functional>
#include <string>

// Calls `each` with the key and value of every line of `path` (`what`
// names the file in messages: "the Kafka properties file"), and with
// "PATH:LINE" to name the line in messages. Blank lines and lines starting
// with '#' (after blanks) are skipped; blanks around the key and the value
// are dropped, and a value may itself hold '='. A line without '=' is an
// error. Returns false with *err set when the file cannot be read, a line
// is not key=value, or `each` returns false (having set *err). Values are
// never quoted in *err: they may be secrets.
bool ReadKeyValueFile(
    const char* what, const std::string& path,
    const std::function<bool(const std::string& key, const std::string& value,
                             const std::string& where, std::string* err)>& each,
    std::string* err);

#endif  // QOR_UTIL_KEY_VALUE_FILE_H_
