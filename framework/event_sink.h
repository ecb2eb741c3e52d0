// The event sink: one JSON line per row a situation dispatches, on standard
// output or in the file named by HOV_EVENTS. Nothing else is written there.
// Thread-safe: each line is written whole under one lock and flushed.
#ifndef QOR_FRAMEWORK_EVENT_SINK_H_
#define QOR_FRAMEWORK_EVENT_SINK_H_

#include <stdio.h>

#include <string>

class Event_Sink {
 public:
  // Opens `path` for appending (mode 0640); null or empty: standard output.
  static bool Open(const char* path, std::string* err);
  // Uses `f` (not owned); null: standard output.
  static void Use(FILE* f);
  static void Close();
  // {"time":...,"situation":...,"table":"APPL.TABLE","row":{...}}, where
  // `row` is the row already as a JSON object; false when the line could not
  // be written.
  static bool Write(const std::string& situation, const std::string& table,
                    const std::string& row);
};

#endif  // QOR_FRAMEWORK_EVENT_SINK_H_
