// qorctl's commands: request lines from arguments, and replies made readable.
#include "tools/qorctl_command.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tools/control_client.h"
#include "tools/fleet_client.h"
#include "tools/fleet_events.h"
#include "tools/json_line.h"
#include "tools/qorctl_top.h"
#include "tools/table_format.h"
#include "tools/time_arg.h"
#include "util/quoted_text.h"
#include "util/socket_path.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace {

const char kDefaultSince[] = "-1h";
const char kDefaultUntil[] = "now";
constexpr size_t kMaxLogPath = 256;  // widths of the LOGPATH and LOGNAME columns
constexpr size_t kMaxLogName = 128;

// One column of a table view: `key` (and `key2` appended, for LOGPATH with
// LOGNAME) of each row; `stamp` shows a time stamp readably.
struct View_Column {
  const char* header;
  const char* key;
  const char* key2;
  bool stamp;
  bool only_when_present = false;  // shown only when a row has the key
};

const View_Column kLogsView[] = {{"PATH", "LOGPATH", "LOGNAME", false},
                                 {"TYPE", "LOGTYPE", nullptr, false},
                                 {"MONSTATUS", "MONSTATUS", nullptr, false},
                                 {"NUMEVENTS", "NUMEVENTS", nullptr, false},
                                 {"NUMERRORS", "NUMERRORS", nullptr, false},
                                 {"LOGSIZE", "LOGSIZE", nullptr, false},
                                 {"LOGMODDATE", "LOGMODDATE", nullptr, true},
                                 {nullptr, nullptr, nullptr, false}};
const View_Column kNodeView[] = {{"ORIGINNODE", "ORIGINNODE", nullptr, false},
                                 {"NODETYPE", "NODETYPE", nullptr, false},
                                 {"PRODUCT", "PRODUCT", nullptr, false},
                                 {"VERSION", "VERSION", nullptr, false},
                                 {"AFFINITIES", "AFFINITIES", nullptr, false},
                                 {"TIMESTAMP", "TIMESTAMP", nullptr, true},
                                 {nullptr, nullptr, nullptr, false}};
const View_Column kEntriesView[] = {{"ENTRYTIME", "ENTRYTIME", nullptr, true},
                                    {"ENTRYSYS", "ENTRYSYS", nullptr, false},
                                    {"ENTRYSRC", "ENTRYSRC", nullptr, false},
                                    {"ENTRYTYPE", "ENTRYTYPE", nullptr, false},
                                    {"ENTRYCLASS", "ENTRYCLASS", nullptr, false},
                                    {"ENTRYDESC", "ENTRYDESC", nullptr, false},
                                    {nullptr, nullptr, nullptr, false}};
// STATE is made from "stopped" and "reason".
const View_Column kSituationsView[] = {
    {"NAME", "name", nullptr, false},
    {"TABLE", "table", nullptr, false},
    {"STATE", "stopped", nullptr, false},
    {"CONDITION", "condition", nullptr, false},
    {"CLAUSES", "clauses", nullptr, false},
    // Of situations that remember.
    {"OPEN", "open_pairs", nullptr, false, true},
    {"FIRING", "firing", nullptr, false, true},
    // Of situations from the fleet: the bucket's key and revision.
    {"FLEET", "fleet", nullptr, false, true},
    {nullptr, nullptr, nullptr, false}};
const View_Column kAlertsView[] = {
    {"SITUATION", "situation", nullptr, false},
    {"KEY", "key", nullptr, false},
    {"HOST", "host", nullptr, false},
    {"AGE", "age", nullptr, false},
    {"COUNT", "count", nullptr, false},
    {"SINCE", "since", nullptr, false},
    // With HOV_ALERTMANAGER: what it was told.
    {"ALERTMANAGER", "told", nullptr, false, true},
    {nullptr, nullptr, nullptr, false}};
const View_Column kReloadView[] = {{"SKIPPED", "problem", nullptr, false},
                                   {nullptr, nullptr, nullptr, false}};

bool IsStampKey(const std::string& k) {
  return k == "ENTRYTIME" || k == "TIMESTAMP" || k == "MONTIME" || k == "LOGMODDATE";
}

bool IsNumber(const Json_Field& f) {
  return !f.is_string && f.text != "true" && f.text != "false" && f.text != "null";
}

std::string Join(const std::vector<std::string>& words, size_t from) {
  std::string out;
  for (size_t i = from; i < words.size(); ++i) {
    out += (i > from ? " " : "") + words[i];
  }
  return out;
}

bool OneWord(const std::string& w, const char* what, std::string* err) {
  if (!w.empty() && w.find_first_of(" \t") == std::string::npos) {
    return true;
  }
  *err = std::string(what) + " must be one word, without blanks";
  return false;
}

bool Arity(const std::vector<std::string>& w, size_t least, size_t most, const char* usage,
           std::string* err) {
  if (w.size() >= least && w.size() <= most) {
    return true;
  }
  *err = std::string("usage: qorctl ") + usage;
  return false;
}

// The log's directory (with its last slash) and file name; a relative path
// is taken from the current directory.
bool SplitLogPath(std::string path, std::string* dir, std::string* name, std::string* err) {
  if (path.empty()) {
    *err = "expected the path of a monitored log after entries";
    return false;
  }
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      *err = "cannot make " + path + " absolute: the current directory is unknown";
      return false;
    }
    path = std::string(cwd) + "/" + path;
  }
  const size_t slash = path.rfind('/');
  *dir = path.substr(0, slash + 1);
  *name = path.substr(slash + 1);
  if (name->empty()) {
    *err = path + " names a directory; expected the path of a log file";
    return false;
  }
  if (dir->size() > kMaxLogPath || name->size() > kMaxLogName) {
    *err = "the agent keeps at most " + std::to_string(kMaxLogPath) +
           " bytes of a log's directory and " + std::to_string(kMaxLogName) +
           " of its file name; " + path + " is longer";
    return false;
  }
  return true;
}

bool EntriesLine(const Qorctl_Options& o, time_t now, std::string* line, std::string* err) {
  std::string dir, name;
  if (!SplitLogPath(o.words[1], &dir, &name, err)) {
    return false;
  }
  const std::string since_text = o.since.empty() ? kDefaultSince : o.since;
  const std::string until_text = o.until.empty() ? kDefaultUntil : o.until;
  std::string since, until;
  if (!ParseTimeArg(since_text, Time_Edge::kStart, now, &since, err)) {
    *err = "--since: " + *err;
    return false;
  }
  if (!ParseTimeArg(until_text, Time_Edge::kEnd, now, &until, err)) {
    *err = "--until: " + *err;
    return false;
  }
  // The end covers its whole last second: journal entries carry
  // milliseconds.
  until.replace(until.size() - 3, 3, "999");
  if (since > until) {
    *err = "--since (" + since_text + ") is later than --until (" + until_text + ")";
    return false;
  }
  // Streamed: rows come as the agent finds them, however many there are.
  *line = "STREAM REPORT VXLOGENT WHERE " + LogSelection(dir, name) +
          " AND ENTRYTIME >= " + QuotedText(since) +
          " AND ENTRYTIME <= " + QuotedText(until);
  return true;
}

bool EventsLine(const Qorctl_Options& o, time_t, std::string* line,
                std::string* err) {
  *line = "EVENTS";
  for (size_t i = 1; i < o.words.size(); ++i) {
    if (!OneWord(o.words[i], "a situation name", err)) {
      return false;
    }
    *line += " " + o.words[i];
  }
  return true;
}

bool RawLine(const Qorctl_Options& o, time_t, std::string* line, std::string*) {
  *line = Join(o.words, 1);
  return true;
}

bool SituationAddLine(const Qorctl_Options& o, time_t, std::string* line,
                      std::string* err) {
  const std::vector<std::string>& w = o.words;
  if (!OneWord(w[2], "the situation name", err) ||
      !OneWord(w[3], "the table name", err)) {
    return false;
  }
  *line = "SITUATION ADD " + w[2] + " " + w[3];
  const std::string condition = Join(w, 4);
  if (!condition.empty()) {
    *line += " " + condition;
  }
  return true;
}

bool SituationDelLine(const Qorctl_Options& o, time_t, std::string* line,
                      std::string* err) {
  *line = "SITUATION DEL " + o.words[2];
  return OneWord(o.words[2], "the situation name", err);
}

using Rows = std::vector<std::vector<Json_Field>>;

void PrintPing(FILE* out, const Qorctl_Options&, const Rows& rows,
               const std::string& socket) {
  const Json_Field* pid =
      rows.empty() ? nullptr : FindJsonField(rows[0], "pid");
  const Json_Field* system =
      rows.empty() ? nullptr : FindJsonField(rows[0], "system");
  fprintf(out, "qoragent at %s is alive (pid %s, system %s)\n", socket.c_str(),
          pid != nullptr ? pid->text.c_str() : "?",
          system != nullptr ? system->text.c_str() : "?");
  // What was sent again and arrived is retried; only what was given up is
  // lost.
  const auto count = [&](const char* name) {
    const Json_Field* f = rows.empty() ? nullptr : FindJsonField(rows[0], name);
    return f != nullptr ? f->text : std::string("0");
  };
  fprintf(out, "  events: %s written, %s retried, %s lost\n",
          count("events_written").c_str(), count("events_retried").c_str(),
          count("events_lost").c_str());
  // One line per fleet sink: connected, pending, acknowledged, retried,
  // lost, and the age of the oldest pending event.
  const Json_Field* sinks =
      rows.empty() ? nullptr : FindJsonField(rows[0], "fleet_sinks");
  const nlohmann::json fleet =
      sinks == nullptr ? nlohmann::json()
                       : nlohmann::json::parse(sinks->text, nullptr, false);
  if (!fleet.is_array()) {
    return;
  }
  for (const nlohmann::json& f : fleet) {
    if (!f.is_object()) {
      continue;
    }
    fprintf(out,
            "  sink %s: %s, %s pending, %s acknowledged, %s retried, %s lost "
            "(%s rejected, %s dropped), oldest pending %s s\n",
            f.value("sink", std::string("?")).c_str(),
            f.value("connected", false) ? "connected" : "not connected",
            f.value("pending", nlohmann::json(0)).dump().c_str(),
            f.value("acknowledged", nlohmann::json(0)).dump().c_str(),
            f.value("retried", nlohmann::json(0)).dump().c_str(),
            f.value("lost", nlohmann::json(0)).dump().c_str(),
            f.value("rejected", nlohmann::json(0)).dump().c_str(),
            f.value("dropped", nlohmann::json(0)).dump().c_str(),
            f.value("oldest_pending_s", nlohmann::json(0)).dump().c_str());
    if (f.contains("firing")) {
      fprintf(out, "  sink %s: %s alerts firing, %s failed attempts\n",
              f.value("sink", std::string("?")).c_str(),
              f["firing"].dump().c_str(),
              f.value("failed_attempts", nlohmann::json(0)).dump().c_str());
    }
  }
}

void PrintAdded(FILE* out, const Qorctl_Options& o, const Rows& rows,
                const std::string&) {
  const Json_Field* table =
      rows.empty() ? nullptr : FindJsonField(rows[0], "table");
  fprintf(out, "situation %s added on %s\n", o.words[2].c_str(),
          table != nullptr ? table->text.c_str() : o.words[3].c_str());
}

void PrintDeleted(FILE* out, const Qorctl_Options& o, const Rows&,
                  const std::string&) {
  fprintf(out, "situation %s deleted\n", o.words[2].c_str());
}

void PrintReloaded(FILE* out, const Qorctl_Options&, const Rows& rows,
                   const std::string&);

// qorctl's commands: how each is asked for and how its reply is shown. The
// command line's parser, the request line, the reply's print and the fleet's
// tables all read this one table.
struct Qorctl_Command {
  const char* word;     // the command
  const char* sub;      // its subcommand ("situation add"), or null
  const char* help;     // its line in --help
  size_t least, most;   // words on the command line, the command's included
  const char* usage;    // what the words should be
  const char* request;  // the request line, or null: made by `make`
  bool (*make)(const Qorctl_Options& o, time_t now, std::string* line,
               std::string* err);
  const View_Column* view;  // the rows' table, or null: every key
  bool fleet_view;          // the fleet's rows use `view` too
  void (*print)(FILE* out, const Qorctl_Options& o, const Rows& rows,
                const std::string& socket);  // instead of the rows' table
};

// The one-word commands first, in the order --help lists them.
const Qorctl_Command kCommands[] = {
    {"ping", nullptr, "check that the agent answers", 1, 1, "ping", "PING",
     nullptr, nullptr, false, PrintPing},
    {"logs", nullptr, "the monitored logs (VXMONLOG)", 1, 1, "logs",
     "REPORT VXMONLOG", nullptr, kLogsView, true, nullptr},
    {"node", nullptr, "the agent's node status (X7SRV.RNODESTS)", 1, 1, "node",
     "REPORT X7SRV.RNODESTS", nullptr, kNodeView, true, nullptr},
    {"situations", nullptr, "the situations: name, table, state and condition",
     1, 1, "situations", "SITUATION LIST", nullptr, kSituationsView, false,
     nullptr},
    {"alerts", nullptr,
     "the firing alerts: situation, key, host, age (s), rows seen and what "
     "Alertmanager was told",
     1, 1, "alerts", "SITUATION ALERTS", nullptr, kAlertsView, false, nullptr},
    // The first of the requests each view makes.
    {"top", nullptr,
     "a live view of the logs and situations, refreshed every second", 1, 1,
     "top", "PING", nullptr, nullptr, false, nullptr},
    {"entries", nullptr,
     "entries of the monitored log PATH between two times (VXLOGENT)", 2, 2,
     "entries PATH [--since T] [--until T]", nullptr, EntriesLine, kEntriesView,
     true, nullptr},
    {"events", nullptr,
     "follow the events (of the situations NAME, or of all) as they happen", 1,
     SIZE_MAX, "events [NAME...]", nullptr, EventsLine, nullptr, false,
     nullptr},
    {"raw", nullptr, "send one request line as it is", 2, SIZE_MAX,
     "raw 'REQUEST LINE'", nullptr, RawLine, nullptr, false, nullptr},
    {"situation", "add", "start a situation", 4, SIZE_MAX,
     "situation add NAME TABLE CONDITION...", nullptr, SituationAddLine,
     nullptr, false, PrintAdded},
    {"situation", "del", "delete a situation", 3, 3, "situation del NAME",
     nullptr, SituationDelLine, nullptr, false, PrintDeleted},
    {"situation", "reload",
     "replace every situation by those of the agent's file", 2, 2,
     "situation reload", "SITUATION RELOAD", nullptr, nullptr, false,
     PrintReloaded},
    {"situation", "list", "the situations", 2, 2, "situation list",
     "SITUATION LIST", nullptr, kSituationsView, false, nullptr},
};

// The command the words name; null for none. A command with subcommands
// is named by its first two words.
const Qorctl_Command* FindCommand(const std::vector<std::string>& words) {
  if (words.empty()) {
    return nullptr;
  }
  const std::string sub = words.size() > 1 ? words[1] : "";
  for (const Qorctl_Command& c : kCommands) {
    if (words[0] == c.word && (c.sub == nullptr || sub == c.sub)) {
      return &c;
    }
  }
  return nullptr;
}

// One cell of a view.
std::string Cell(const std::vector<Json_Field>& row, const View_Column& c, bool* number) {
  const Json_Field* f = FindJsonField(row, c.key);
  if (f == nullptr) {
    return "";
  }
  if (std::string(c.key) == "condition") {
    // The clauses after the condition, as a situations file line has them.
    const Json_Field* run = FindJsonField(row, "run");
    return run == nullptr ? f->text : f->text + " RUN " + QuotedText(run->text);
  }
  if (std::string(c.key) == "stopped") {
    const Json_Field* reason = FindJsonField(row, "reason");
    if (f->text != "true") {
      return "running";
    }
    return "stopped (reason " + (reason != nullptr ? reason->text : std::string("?")) + ")";
  }
  std::string text = c.stamp ? ReadableStamp(f->text) : f->text;
  if (c.key2 != nullptr) {
    const Json_Field* g = FindJsonField(row, c.key2);
    text += g != nullptr ? g->text : "";
  }
  *number = IsNumber(*f);
  return text;
}

// Parses every reply line; false with *err naming the first unreadable one.
bool ParseRows(const std::vector<std::string>& lines, std::vector<std::vector<Json_Field>>* rows,
               std::string* err) {
  for (size_t i = 0; i < lines.size(); ++i) {
    std::vector<Json_Field> fields;
    if (!ParseJsonLine(lines[i], &fields, err)) {
      *err = "reply line " + std::to_string(i + 1) + " is not a JSON object: " + *err;
      return false;
    }
    rows->push_back(std::move(fields));
  }
  return true;
}

std::string ViewTable(const View_Column* all, const std::vector<std::vector<Json_Field>>& rows) {
  std::vector<View_Column> view;
  for (const View_Column* c = all; c->header != nullptr; ++c) {
    bool present = !c->only_when_present;
    for (size_t r = 0; r < rows.size() && !present; ++r) {
      present = FindJsonField(rows[r], c->key) != nullptr;
    }
    if (present) {
      view.push_back(*c);
    }
  }
  std::vector<Table_Column> columns;
  for (const View_Column& c : view) {
    columns.push_back({c.header, false});
  }
  std::vector<bool> numeric(columns.size(), true);
  std::vector<std::vector<std::string>> cells;
  for (const auto& row : rows) {
    std::vector<std::string> line;
    for (size_t i = 0; i < columns.size(); ++i) {
      bool number = false;
      line.push_back(Cell(row, view[i], &number));
      numeric[i] = numeric[i] && number;
    }
    cells.push_back(std::move(line));
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    columns[i].right = numeric[i] && !rows.empty();
  }
  return FormatTable(columns, cells);
}

// Every key of the rows, in order of first appearance.
std::string GenericTable(const std::vector<std::vector<Json_Field>>& rows) {
  std::vector<std::string> keys;
  for (const auto& row : rows) {
    for (const Json_Field& f : row) {
      bool known = false;
      for (const std::string& k : keys) {
        known = known || k == f.key;
      }
      if (!known) {
        keys.push_back(f.key);
      }
    }
  }
  if (keys.empty()) {
    return "";
  }
  std::vector<View_Column> view;
  for (const std::string& k : keys) {
    view.push_back({k.c_str(), k.c_str(), nullptr, IsStampKey(k)});
  }
  view.push_back({nullptr, nullptr, nullptr, false});
  return ViewTable(view.data(), rows);
}

void Print(FILE* out, const std::string& text) { fputs(text.c_str(), out); }

void PrintReloaded(FILE* out, const Qorctl_Options&, const Rows& rows,
                   const std::string&) {
  fprintf(out, "situations reloaded%s\n",
          rows.empty() ? "" : "; these lines were skipped:");
  if (!rows.empty()) {
    Print(out, ViewTable(kReloadView, rows));
  }
}

// Rows written to a pipe wake its reader each time the pipe fills: a long
// report goes through one of PIPEBYTES, where the system allows it (it
// may refuse past its limits; the pipe then stays as it is).
void EnlargePipe(FILE* out) {
  constexpr int PIPEBYTES = 1 << 20;
  struct stat st;
  const int fd = fileno(out);
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) &&
      fcntl(fd, F_GETPIPE_SZ) < PIPEBYTES) {
    fcntl(fd, F_SETPIPE_SZ, PIPEBYTES);
  }
}

// One event of a stream as it comes: its JSON line, or a line for people.
void PrintEvent(FILE* out, FILE* err, const std::string& line, bool json) {
  std::string text;
  if (!QorctlEventText(line, "-", json ? 0 : QorctlTerminalWidth(out), &text)) {
    fprintf(err, "qorctl: %s\n", text.c_str());
  } else {
    fprintf(out, "%s\n", json ? line.c_str() : text.c_str());
  }
  fflush(out);
  fflush(err);
}

}  // namespace

const char kQorctlEventsFromHelp[] =
    "events --from URL [--host NAME] [--json] [--since T] [--limit N] [--idle S]\n"
    "  the events a fleet sink holds, from kafka://BROKERS/TOPIC or\n"
    "  nats://SERVERS/SUBJECT (JetStream): --host one host's, --since from that time\n"
    "  on (default: only those that come from now on), --limit at most N, --idle S:\n"
    "  end after S seconds without one.\n";

size_t QorctlTerminalWidth(FILE* out) {
  struct winsize ws;
  if (isatty(fileno(out)) == 0 || ioctl(fileno(out), TIOCGWINSZ, &ws) != 0) {
    return 0;
  }
  return ws.ws_col;
}

namespace {

// `text` cut to `width` characters (UTF-8 sequences kept whole), "..." ending
// a line that was cut; 0: as it is.
std::string CutToWidth(const std::string& text, size_t width) {
  if (width == 0) {
    return text;
  }
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
      continue;  // inside a character
    }
    if (++chars > width) {
      size_t end = i;
      // Room for the dots: three characters back.
      for (int back = 0; back < 3 && end > 0;) {
        --end;
        if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80) {
          ++back;
        }
      }
      return text.substr(0, end) + "...";
    }
  }
  return text;
}

}  // namespace

bool QorctlEventText(const std::string& line, const std::string& host,
                     size_t width, std::string* text) {
  const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *text = "unreadable event line: " + line.substr(0, 200);
    return false;
  }
  if (j.contains("dropped")) {
    *text = j["dropped"].dump() + " events dropped: they came faster than they were read";
    return false;
  }
  const auto str = [](const nlohmann::json& o, const char* key) {
    const auto it = o.find(key);
    return it == o.end() ? std::string()
                         : it->is_string() ? it->get<std::string>()
                                           : it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  const auto row = j.find("row");
  const bool has_row = row != j.end() && row->is_object();
  std::string origin = has_row ? str(*row, "ORIGINNODE") : std::string();
  if (origin.empty()) {
    origin = str(j, "host");
  }
  *text = ReadableUtc(str(j, "time")) + "  " +
          (origin.empty() ? host : origin) + "  " + str(j, "situation");
  if (j.contains("key")) {
    *text += "  [" + str(j, "key") + "]";
  }
  if (!has_row) {
    // A throttle's summary: what it held back.
    if (j.contains("suppressed")) {
      *text +=
          "  " + str(j, "suppressed") + " more events held back by THROTTLE";
    }
    *text = CutToWidth(*text, width);
    return true;
  }
  if (j.contains("suppressed")) {
    *text += "  (THROTTLE held back " + str(j, "suppressed") + " before it)";
  }
  *text += "  ";
  if (row->contains("ENTRYDESC")) {
    const std::string source = str(*row, "ENTRYSRC");
    *text += (source.empty() ? std::string() : source + ": ") +
             str(*row, "ENTRYDESC");
  } else {
    *text += str(j, "table");
    for (const auto& item : row->items()) {
      const std::string value = str(*row, item.key().c_str());
      if (!value.empty() && item.key() != "ORIGINNODE") {
        *text += " " + item.key() + "=" +
                 (IsStampKey(item.key()) ? ReadableStamp(value) : value);
      }
    }
  }
  *text = CutToWidth(*text, width);
  return true;
}

namespace {

// The option name in an argument such as "--since=-1d".
std::string OptionName(const std::string& arg) {
  return arg.substr(0, arg.find('='));
}

// The subcommand, or the subcommand of it, named last on the command line.
const CLI::App* DeepestSubcommand(const CLI::App& app) {
  const std::vector<CLI::App*> used = app.get_subcommands();
  return used.empty() ? &app : DeepestSubcommand(*used.back());
}

}  // namespace

bool ParseQorctlArgs(const std::vector<std::string>& args, Qorctl_Options* o,
                     std::string* err) {
  *o = Qorctl_Options();
  // CLI11 would take the next word as the value of "--socket=": refuse an
  // empty value here rather than send a request to a surprising socket.
  for (const std::string& a : args) {
    if (a == "--") {
      break;
    }
    if (a.size() > 3 && a.compare(0, 2, "--") == 0 && a.back() == '=' &&
        a.find('=') == a.size() - 1) {
      *err = "option " + OptionName(a) + " needs a value";
      return false;
    }
  }
  CLI::App app(
      "Asks a running qoragent for reports and manages its situations.",
      "qorctl");
  // One command at a time; once it is named, a later word that happens to be
  // a command name ("situation del logs") is an argument, not a command.
  app.require_subcommand(0, 1);
  app.add_option("--socket", o->socket, "the agent's control socket");
  app.add_flag("--json", o->json, "print the agent's reply as JSON lines");
  app.add_flag("--version", o->version, "print qorctl's version");
  // Given to another command, --since and --until land here and are refused
  // with a message saying where they belong.
  std::string since_elsewhere, until_elsewhere;
  app.add_option("--since", since_elsewhere)->group("");
  app.add_option("--until", until_elsewhere)->group("");
  // Hidden word lists let the request builder give its own usage messages
  // for missing or extra words and unknown commands.
  std::vector<std::string> top_words, sub_words;
  app.add_option("COMMAND", top_words)->group("");

  // Every command's --help ends with this (subcommands take the footer of
  // the command they are made under).
  const std::string common_footer =
      "--socket PATH and --json may stand before or after the command; 'qorctl --help'\n"
      "tells the whole usage. See qorctl(1).";
  app.footer(common_footer);
  const auto command = [&](const char* name, const char* what) {
    CLI::App* sub = app.add_subcommand(name, what);
    sub->fallthrough();
    return sub;
  };
  const auto help = [](const std::vector<std::string>& words) {
    return FindCommand(words)->help;
  };
  for (const Qorctl_Command& c : kCommands) {
    if (c.sub == nullptr && c.most == 1) {  // a command of one word
      command(c.word, c.help)->add_option("ARGS", sub_words)->group("");
    }
  }
  CLI::App* entries = command("entries", help({"entries"}));
  entries->add_option("PATH", sub_words, "the monitored log");
  // A value is taken as it is even when it starts with '-' ("--since -1d").
  entries->add_option("--since", o->since, "from this time (default -1h)");
  entries->add_option("--until", o->until, "up to this time (default now)");
  entries->footer(
      "Times: YYYY-MM-DD[ HH:MM[:SS]] in local time, \"now\", or a time before now\n"
      "such as -30s, -15m, -2h, -1d.\n\n" +
      common_footer);
  CLI::App* events = command("events", help({"events"}));
  events->add_option("NAME", sub_words, "a situation to follow");
  events->footer(std::string("Or, from a fleet sink instead of an agent:\n") +
                 kQorctlEventsFromHelp +
                 "Times: as for entries (-1h, -30m, ...).\n\n" + common_footer);
  command("raw", help({"raw"}))
      ->add_option("LINE", sub_words, "the request line");

  CLI::App* situation =
      command("situation", "add, delete or reload situations");
  situation->require_subcommand(0, 1);
  situation->add_option("ARGS", sub_words)->group("");
  CLI::App* add = situation->add_subcommand("add", help({"situation", "add"}));
  // Every word after TABLE belongs to the condition as it is, even one that
  // looks like an option ("FREQTHRESH >= -5").
  add->prefix_command();
  add->fallthrough(false);
  add->add_option("--socket", o->socket, "the agent's control socket");
  add->add_flag("--json", o->json, "print the agent's reply as JSON lines");
  std::string add_name, add_table;
  add->add_option("NAME", add_name, "the situation's name");
  add->add_option("TABLE", add_table, "the table it watches");
  add->footer(
      "Usage: qorctl situation add NAME TABLE CONDITION...\n"
      "CONDITION: COLUMN OP VALUE terms joined by AND, e.g.\n"
      "  situation add sshfail VXLOGENT 'ENTRYDESC ~ \"Failed password\"'\n"
      "Options go before NAME: every word after TABLE belongs to the condition.");
  for (const Qorctl_Command& c : kCommands) {
    if (c.sub == nullptr || strcmp(c.sub, "add") == 0) {
      continue;
    }
    CLI::App* sub = situation->add_subcommand(c.sub, c.help);
    sub->fallthrough();
    const bool named = c.least > 2;  // "situation del NAME"
    sub->add_option(named ? "NAME" : "ARGS", sub_words)
        ->group(named ? "Positionals" : "");
  }

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const CLI::App* asked = DeepestSubcommand(app);
    o->help = true;
    if (asked != &app) {
      // The words before it: its usage line reads "qorctl situation add ...".
      std::string before = "qorctl";
      for (const CLI::App* p = asked->get_parent(); p != &app;
           p = p->get_parent()) {
        before += " " + p->get_name();
      }
      o->help_text = asked->help(before);
    }
    return true;
  } catch (const CLI::ExtrasError&) {
    const std::vector<std::string> extra = app.remaining(true);
    *err = "unknown option " +
           (extra.empty() ? std::string("?") : OptionName(extra.front()));
    return false;
  } catch (const CLI::ArgumentMismatch& e) {
    // Only options take values: name the one left without.
    const std::string what = e.what();
    *err = "option " + what.substr(0, what.find(':')) + " needs a value";
    return false;
  } catch (const CLI::ParseError& e) {
    *err = e.what();
    return false;
  }
  if (!since_elsewhere.empty() || !until_elsewhere.empty()) {
    *err = "--since and --until belong to the entries command";
    return false;
  }
  const CLI::App* used =
      app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
  if (used == nullptr) {
    o->words = top_words;
    return true;
  }
  o->words.push_back(used->get_name());
  if (!used->get_subcommands().empty()) {
    o->words.push_back(used->get_subcommands().front()->get_name());
  }
  o->words.insert(o->words.end(), sub_words.begin(), sub_words.end());
  if (used->get_name() == "situation" && o->words.size() > 1 &&
      o->words[1] == "add") {
    for (const std::string* w : {&add_name, &add_table}) {
      if (!w->empty()) {
        o->words.push_back(*w);
      }
    }
    const std::vector<std::string> condition = add->remaining();
    // A condition starts with a column name, so a leading "-word" is an
    // option CLI11 left among the words (one it does not know).
    if (!condition.empty() && condition.front().size() > 1 &&
        condition.front()[0] == '-') {
      *err = "unknown option " + OptionName(condition.front());
      return false;
    }
    o->words.insert(o->words.end(), condition.begin(), condition.end());
  }
  return true;
}

bool QorctlRequestLine(const Qorctl_Options& o, time_t now, std::string* line, std::string* err) {
  const std::vector<std::string>& w = o.words;
  if (w.empty()) {
    *err =
        "expected a command: ping, logs, node, entries, situations, situation, alerts, events, top or raw";
    return false;
  }
  for (const std::string& a : w) {
    if (a.find_first_of("\r\n") != std::string::npos) {
      *err = "arguments must not contain line breaks";
      return false;
    }
  }
  const std::string& cmd = w[0];
  if ((!o.since.empty() || !o.until.empty()) && cmd != "entries") {
    *err = "--since and --until belong to the entries command";
    return false;
  }
  const Qorctl_Command* c = FindCommand(w);
  if (c == nullptr && cmd != "situation") {
    *err =
        "unknown command \"" + cmd +
        "\"; expected ping, logs, node, entries, situations, situation, alerts, events, top or raw";
    return false;
  }
  if (c == nullptr) {
    *err =
        "usage: qorctl situation add NAME TABLE CONDITION... | situation del NAME | situation reload";
    return false;
  }
  if (!Arity(w, c->least, c->most, c->usage, err)) {
    return false;
  }
  if (c->make != nullptr) {
    return c->make(o, now, line, err);
  }
  *line = c->request;
  return true;
}

std::string QorctlRowsTable(const std::string& command,
                            const std::vector<std::vector<Json_Field>>& rows,
                            bool host_column) {
  const Qorctl_Command* c = FindCommand({command});
  const View_Column* view = c != nullptr && c->fleet_view ? c->view : nullptr;
  if (view == nullptr) {
    return GenericTable(rows);
  }
  std::vector<View_Column> columns;
  if (host_column) {
    columns.push_back({"HOST", "host", nullptr, false});
  }
  for (; view->header != nullptr; ++view) {
    columns.push_back(*view);
  }
  columns.push_back({nullptr, nullptr, nullptr, false});
  return ViewTable(columns.data(), rows);
}

std::string QorctlUsage(const std::string& socket) {
  return "Usage: qorctl [--socket PATH] [--json] COMMAND [ARGUMENTS]\n"
         "\n"
         "Asks a running qoragent for reports and manages its situations.\n"
         "\n"
         "Commands:\n"
         "  ping                      check that the agent answers\n"
         "  logs                      the monitored logs (VXMONLOG)\n"
         "  node                      the agent's node status (X7SRV.RNODESTS)\n"
         "  entries PATH [--since T] [--until T]\n"
         "                            entries of the monitored log PATH between two times\n"
         "                            (VXLOGENT); by default --since -1h --until now\n"
         "  situations                the situations: name, table, state, condition and clauses,\n"
         "                            open pairs and firing alerts of those that remember\n"
         "  alerts                    the firing alerts: situation, key, host, age in seconds,\n"
         "                            rows seen and since when; what Alertmanager was last told\n"
         "  situation add NAME TABLE CONDITION...\n"
         "                            start a situation; the remaining arguments make its\n"
         "                            condition, COLUMN OP VALUE terms joined by AND, e.g.\n"
         "                            situation add sshfail VXLOGENT 'ENTRYDESC ~ \"Failed password\"'\n"
         "  situation del NAME        delete a situation\n"
         "  situation reload          replace every situation by those of the agent's\n"
         "                            HOV_SITUATIONS file; lists the lines it skipped\n"
         "  events [NAME ...]         follow the events (of the situations NAME, or of all)\n"
         "                            as they happen, one line each, until interrupted\n"
         "  top                       a live view of every log and situation, busiest first,\n"
         "                            refreshed every second ('q' quits); one view when the\n"
         "                            output is not a terminal\n"
         "  raw 'REQUEST LINE'        send one request line as it is: PING,\n"
         "                            REPORT TABLE [WHERE CONDITION], SITUATION ADD NAME TABLE\n"
         "                            CONDITION, SITUATION DEL NAME, SITUATION LIST,\n"
         "                            SITUATION RELOAD, SITUATION ALERTS or EVENTS [NAME ...]\n"
         "\n"
         "Times T: YYYY-MM-DD[ HH:MM[:SS]] in local time, \"now\", or a time before now\n"
         "such as -30s, -15m, -2h, -1d. A date or minute alone given to --until means\n"
         "its end (2026-12-08 means up to 23:59:59).\n"
         "\n"
         "Options:\n"
         "  --json         print the agent's reply as JSON lines, one per row, with\n"
         "                 every column (tables show a chosen few)\n"
         "  --socket PATH  the agent's control socket; by default HOV_SOCKET, else the\n"
         "                 first that answers of the service's /run/qoragent/qoragent.sock\n"
         "                 and the user's default: $XDG_RUNTIME_DIR/qoragent.sock,\n"
         "                 /run/qoragent.sock for root or /tmp/qoragent-UID/qoragent.sock\n"
         "                 (now: " +
         socket +
         ")\n"
         "  --version      print qorctl's version\n"
         "  --fleet URL    ask every agent of a fleet over NATS instead, or change\n"
         "                 the fleet's situations\n"
         "  events --from URL [--host NAME] [--json] [--since T] [--limit N] [--idle S]\n"
         "                 the fleet's events from kafka://BROKERS/TOPIC or\n"
         "                 nats://SERVERS/SUBJECT (JetStream)\n"
         "                 ('qorctl --fleet URL --help' tells how)\n"
         "  -h, --help     show this text\n"
         "\n"
         "Exit status: 0 when the agent answered OK, 1 when it answered ERR or went away\n"
         "during 'events', 2 when it cannot be reached or the arguments are wrong.\n"
         "\n"
         "See qorctl(1).\n";
}

std::vector<std::string> QorctlSockets(
    const std::string& option,
    const std::vector<std::string>& service_sockets) {
  if (!option.empty()) {
    return {option};
  }
  const char* env = getenv("HOV_SOCKET");
  if (env != nullptr && *env != '\0') {
    return {env};
  }
  std::vector<std::string> paths;
  for (const std::string& p : service_sockets) {
    if (std::find(paths.begin(), paths.end(), p) == paths.end()) {
      paths.push_back(p);
    }
  }
  const std::string user = HOV_DefaultSocketPath();
  if (std::find(paths.begin(), paths.end(), user) == paths.end()) {
    paths.push_back(user);
  }
  return paths;
}

namespace {

// Why no agent answered: each path tried and what connecting to it said.
int Unreachable(FILE* err,
                const std::vector<std::pair<std::string, std::string>>& tried) {
  if (tried.size() == 1) {
    const std::string& socket = tried[0].first;
    fprintf(
        err,
        "qorctl: cannot reach the agent at %s: %s\n"
        "Start it with 'qoragent' (HOV_SOCKET=%s if that is not its default), or name "
        "its socket with --socket PATH.\n",
        socket.c_str(), tried[0].second.c_str(), socket.c_str());
    return QORCTL_UNREACHABLE;
  }
  fprintf(err, "qorctl: no agent answers; tried:\n");
  for (const auto& t : tried) {
    fprintf(err, "  %s: %s\n", t.first.c_str(), t.second.c_str());
  }
  fprintf(
      err,
      "Start it ('systemctl start qoragent', or 'qoragent'), or name its socket with "
      "--socket PATH or HOV_SOCKET.\n");
  return QORCTL_UNREACHABLE;
}

}  // namespace

int QorctlMain(const std::vector<std::string>& args, FILE* out, FILE* err,
               const std::vector<std::string>& service_sockets) {
  if (QorctlFleetAsked(args)) {
    return QorctlFleetMain(args, out, err);
  }
  if (QorctlEventsFromAsked(args)) {
    return QorctlEventsFromMain(args, out, err);
  }
  Qorctl_Options o;
  std::string why;
  if (!ParseQorctlArgs(args, &o, &why)) {
    fprintf(err, "qorctl: %s\nRun 'qorctl --help' for usage.\n", why.c_str());
    return QORCTL_USAGE;
  }
  const std::vector<std::string> sockets =
      QorctlSockets(o.socket, service_sockets);
  if (o.help) {
    std::string shown = sockets[0];
    for (size_t i = 1; i < sockets.size(); ++i) {
      shown += ", else " + sockets[i];
    }
    Print(out, o.help_text.empty() ? QorctlUsage(shown) : o.help_text);
    return QORCTL_OK;
  }
  if (o.version) {
    fprintf(out, "qorctl %s\n", QOR_VERSION);
    return QORCTL_OK;
  }
  std::string line;
  if (!QorctlRequestLine(o, time(nullptr), &line, &why)) {
    fprintf(err, "qorctl: %s\nRun 'qorctl --help' for usage.\n", why.c_str());
    return QORCTL_USAGE;
  }
  const bool follow = o.words[0] == "events";
  if (o.json && o.words[0] == "entries") {
    EnlargePipe(out);
  }
  // The first socket where an agent answers serves the command.
  std::vector<std::pair<std::string, std::string>> tried;
  std::string socket;
  Control_Reply reply;
  for (const std::string& candidate : sockets) {
    socket = candidate;
    if (o.words[0] == "top") {
      reply = SendControlRequest(socket, line, QORCTL_TIMEOUT_MS);
      if (reply.status == Reply_Status::kUnreachable) {
        tried.emplace_back(socket, reply.text);
        continue;
      }
      return QorctlTop(socket, out, err);
    }
    reply = follow ? FollowControlStream(socket, line,
                                         [&](const std::string& event) {
                                           PrintEvent(out, err, event, o.json);
                                           return true;
                                         })
                   : SendControlRequest(
                         socket, line, QORCTL_TIMEOUT_MS, nullptr,
                         // JSON lines are printed as they arrive, each
                         // run of them in one piece (written past the
                         // stdio buffer when it is long).
                         o.json ? Reply_Text_Callback(
                                      [out](const char* text, size_t n) {
                                        fwrite(text, 1, n, out);
                                      })
                                : Reply_Text_Callback());
    if (reply.status != Reply_Status::kUnreachable) {
      break;
    }
    tried.emplace_back(socket, reply.text);
  }
  switch (reply.status) {
    case Reply_Status::kUnreachable:
      return Unreachable(err, tried);
    case Reply_Status::kBroken:
      fprintf(err, "qorctl: the agent at %s: %s\n", socket.c_str(), reply.text.c_str());
      return QORCTL_UNREACHABLE;
    case Reply_Status::kErr:
      fprintf(err, "qorctl: %s\n", reply.text.c_str());
      return QORCTL_ERR;
    case Reply_Status::kOk:
      break;
  }
  const std::string& cmd = o.words[0];
  if (follow) {
    // Only the agent ends the stream, when it stops or the connection breaks.
    fflush(out);
    fprintf(
        err,
        "qorctl: the agent at %s ended the event stream (it stopped or went away)\n",
        socket.c_str());
    return QORCTL_ERR;
  }
  if (reply.truncated) {
    fflush(out);  // after the rows, also when both go to one file
    fprintf(
        err,
        "qorctl: only the newest %zu entries are shown: the agent's row limit (TVX_MAX_ROWS) cut the reply\n",
        reply.line_count);
  }
  for (const std::string& what : reply.unread) {
    fflush(out);
    fprintf(err, "qorctl: not read: %s\n", what.c_str());
  }
  std::string dir, name;
  if (cmd == "entries" && reply.line_count == 0 && SplitLogPath(o.words[1], &dir, &name, &why)) {
    // An empty report and a log the agent does not watch look alike; tell them apart.
    const Control_Reply check =
        SendControlRequest(socket, "REPORT VXMONLOG WHERE " + LogSelection(dir, name), QORCTL_TIMEOUT_MS);
    if (check.status == Reply_Status::kOk && check.lines.empty()) {
      fprintf(err, "qorctl: %s%s is not a monitored log; 'qorctl logs' lists those that are\n",
              dir.c_str(), name.c_str());
      return QORCTL_ERR;
    }
  }
  if (o.json) {
    return QORCTL_OK;  // printed as they came
  }
  std::vector<std::vector<Json_Field>> rows;
  if (!ParseRows(reply.lines, &rows, &why)) {
    fprintf(err, "qorctl: the agent at %s: %s\n", socket.c_str(), why.c_str());
    return QORCTL_UNREACHABLE;
  }
  const Qorctl_Command* c = FindCommand(o.words);
  if (c != nullptr && c->print != nullptr) {
    c->print(out, o, rows, socket);
  } else if (c != nullptr && c->view != nullptr) {
    Print(out, ViewTable(c->view, rows));
  } else {
    Print(out, GenericTable(rows));
  }
  return QORCTL_OK;
}
