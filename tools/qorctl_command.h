// qorctl's commands: arguments to a request line, the agent's reply to what
// a person reads (aligned tables, or the JSON lines with --json).
#ifndef QOR_TOOLS_QORCTL_COMMAND_H_
#define QOR_TOOLS_QORCTL_COMMAND_H_

#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

// Exit statuses.
constexpr int QORCTL_OK = 0;
constexpr int QORCTL_ERR = 1;          // the agent said ERR, or it went away
constexpr int QORCTL_UNREACHABLE = 2;  // no agent answers on the socket
constexpr int QORCTL_USAGE = 2;        // the command line is wrong

// Where the service (the packaged unit) has its socket.
constexpr char QORCTL_SERVICE_SOCKET[] = "/run/qoragent/qoragent.sock";

// How long qorctl waits for each part of a reply.
constexpr int QORCTL_TIMEOUT_MS = 60000;

struct Qorctl_Options {
  std::string socket;  // empty: HOV_SocketPath()
  bool json = false;
  bool help = false;
  bool version = false;
  std::string help_text;  // --help after a command: its own usage; empty: the whole usage
  std::string since;  // entries only; empty: the default
  std::string until;
  std::vector<std::string> words;  // the command and its arguments
};

// Reads the command line (argv[0] excluded). Options may stand anywhere
// before "--", except among the condition words of "situation add". False
// with *err for an unknown option or a missing value.
[[nodiscard]] bool ParseQorctlArgs(const std::vector<std::string>& args, Qorctl_Options* options,
                                   std::string* err);

// The request line for the command in `options`, times taken relative to
// `now`. False with *err saying what the arguments should be.
[[nodiscard]] bool QorctlRequestLine(const Qorctl_Options& options, time_t now, std::string* line,
                                     std::string* err);

// One event line for people: "TIME  HOST  SITUATION  [KEY]  TEXT" (times
// local, YYYY-MM-DD hh:mm:ss), HOST the row's ORIGINNODE, else `host`, TEXT
// the entry's source and text, or the row's other columns; a throttle's
// summary says how many events it held back. Cut to `width` columns (0:
// whole). False with *text saying what to tell on standard error instead: a
// {"dropped":N} line, or one that is not JSON.
bool QorctlEventText(const std::string& line, const std::string& host,
                     size_t width, std::string* text);

// The width of the terminal `out` writes to; 0 when it is not one.
size_t QorctlTerminalWidth(FILE* out);

// What 'qorctl events --help' says of --from and --since.
extern const char kQorctlEventsFromHelp[];

struct Json_Field;
// The rows of `command` (logs, node, entries; any other: every key) as the
// aligned table qorctl prints, led by a HOST column of each row's "host"
// field when `host_column`.
std::string QorctlRowsTable(const std::string& command,
                            const std::vector<std::vector<Json_Field>>& rows,
                            bool host_column);

// The usage text shown by --help (`socket` says which path is in use).
std::string QorctlUsage(const std::string& socket);

// The sockets qorctl tries, in order, until one answers: `option` (--socket)
// alone when given; else HOV_SOCKET alone when set; else each of
// `service_sockets`, then the user's default (HOV_DefaultSocketPath).
std::vector<std::string> QorctlSockets(
    const std::string& option, const std::vector<std::string>& service_sockets);

// Runs qorctl: output on `out`, messages on `err`; returns the exit status.
// `service_sockets` are the service's sockets to try (tests point them
// elsewhere).
int QorctlMain(const std::vector<std::string>& args, FILE* out, FILE* err,
               const std::vector<std::string>& service_sockets = {
                   QORCTL_SERVICE_SOCKET});

#endif  // QOR_TOOLS_QORCTL_COMMAND_H_
