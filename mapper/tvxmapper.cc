// tvxmapper: tries a format command on sample lines before it is configured
// for a user-formatted log.
//
//   tvxmapper [--multiline START] filename [linecount]
//
// With --multiline, the sample lines are joined into entries as a log with
// the rule "multiline PATH START" joins them (parser/entry_joiner.h): each
// entry is shown whole, with its line count, and its first line is
// formatted; linecount then counts entries.
//
// The first line of `filename` is the format command, each further line a
// sample line. The command is compiled with the agent's own StringParser and
// keyword table, then applied to up to `linecount` sample lines (1 to 1000,
// default 1); for each line the text every keyword receives is printed.
//
// What reaches standard output is chosen by the trace levels of this unit
// ("MAPPER"): 0x08 echoes the command and the sample lines, 0x04 prints the
// keyword texts; both are on unless JOP_WEX1 names MAPPER (levels meant for
// the other units leave them on). 0x01 also sets the locale from the
// environment. A sample line that does not match is marked on standard
// output, and so is a time part that the agent would replace because it is
// invalid. Diagnostics, the parser's included, go to the trace (standard
// error or HOV_TRACE_FILE).
//
// Exit status: 0 when every sample line matched, 1 when one or more did not,
// 2 when the command does not compile or the file cannot be read, 255 for a
// wrong number of arguments.
#include <ctype.h>
#include <errno.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>

#include "framework/runtime/bounded_regex.h"
#include "framework/runtime/trace.h"
#include "parser/entry_joiner.h"
#include "parser/entry_time.h"
#include "parser/string_parser.h"

static WEX1_Handle wex1 =
    WEX1_SyncDefault(__FILE__, __DATE__, __TIME__, "MAPPER",
                     WEX1_ERROR | WEX1_BIT04 | WEX1_BIT08);

namespace {

constexpr int MAXCOMMANDCHARS = 1023;  // a longer command is refused
// The agent's text kinds keep the first 2046 bytes of a longer line as its
// entry and drop the rest; a sample line is taken the same way.
constexpr size_t LONGESTLINE = 2046;
constexpr int EXIT_ALLMATCHED = 0;
constexpr int EXIT_UNMATCHED = 1;
constexpr int EXIT_BADINPUT = 2;
// One keyword's text and a NUL: the widest column, ENTRYDESC, holds 256.
constexpr int OUTPUTTEXTSIZE = 257;
constexpr unsigned MAXLINECOUNT = 1000;
constexpr unsigned long DEFAULTLINECOUNT = 1;

const char ProgramName[] = "tvxmapper";
const char UsageMsg[] = "\nUsage: %s filename [linecount]";
const char PatternMsg[] = "\nError: start pattern %s does not compile: %s";
const char EntryHeadText[] = "=== entry of %zu line%s ===\n";
const char OpenErrorMsg[] = "\nError opening input file %s; errno = %d; %s\n";
const char LocaleMsg[] = "\nLocale categories are %s.";
// A command cut by the line buffer would compile into something other than
// what was written, and its tail would pass for a sample line.
const char NoMatchText[] = "*** line does not match the format command ***\n";
const char ReplacedText[] =
    "   <- invalid; the agent stores the current time's part";
const char ZeroText[] = "   <- invalid; the agent stores 0";
const char ZoneText[] = "   <- invalid; the agent keeps the time as written";
const char CommandTooLongMsg[] =
    "\nError: format command in %s exceeds %d characters; no line processed.";

const char HelpText[] =
    "Usage: %s filename [linecount]\n"
    "       tvxmapper --multiline START filename [linecount]\n"
    "Tries a format command of a user-formatted log on sample lines. The first line\n"
    "of filename is the format command, each further line a sample line; up to\n"
    "linecount sample lines (1 to 1000, default 1) are split into fields and the\n"
    "text every keyword receives is printed.\n"
    "With --multiline START (a POSIX extended expression, as in the configuration's\n"
    "multiline rule), lines that do not match START continue the entry before them:\n"
    "each entry is shown whole with its line count, its first line is formatted,\n"
    "and linecount counts entries.\n"
    "\n"
    "Environment:\n"
    "  JOP_WEX1             trace levels: LEVELS or LABEL:LEVELS items; for the unit\n"
    "                       MAPPER, 0x08 echoes the command and the sample lines,\n"
    "                       0x04 prints the keyword texts, 0x01 sets the locale from\n"
    "                       the environment (default: ERROR, and MAPPER:0x8C;\n"
    "                       levels for other units leave MAPPER's output on)\n"
    "  HOV_TRACE_FILE       file that receives the trace (default: standard error)\n"
    "\n"
    "A sample line that does not match is marked with\n"
    "  *** line does not match the format command ***\n"
    "and a time part the agent would replace (invalid) with '<- invalid'.\n"
    "\n"
    "Exit status: 0 every sample line matched, 1 one or more did not, 2 the command\n"
    "does not compile (or exceeds 1023 characters) or the file cannot be read,\n"
    "255 a wrong number of arguments.\n"
    "\n"
    "See tvxmapper(1) and, for the format command, qoragent.conf(5).\n";

const char* ErrorText(int e) {
  const char* text = strerror(e);
  return text != nullptr ? text : "Unknown error";
}

// 0, and anything above MAXLINECOUNT when taken as unsigned (so every
// negative number), become the default.
unsigned long LineCount(const char* arg) {
  WEX1_Event ev(wex1, "LineCount");
  const unsigned count = static_cast<unsigned>(atoi(arg));
  if (count == 0 || count > MAXLINECOUNT) {
    return ev.Result(DEFAULTLINECOUNT);
  }
  return ev.Result(count);
}

void SetLocale() {
  WEX1_Event ev(wex1, "SetLocale");
  const char* name = setlocale(LC_ALL, "");
  if (name == nullptr) {
    name = setlocale(LC_ALL, nullptr);  // unchanged: report the one in force
  }
  WEX1_TRACE(wex1, WEX1_DETAIL, LocaleMsg, name != nullptr ? name : "");
}

// True when JOP_WEX1 gives levels to this unit by name; levels for every
// unit (the agent's usual ERROR,FLOW) do not silence the mapper's output.
bool LevelsNameMapper() {
  const char* items = getenv("JOP_WEX1");
  if (items == nullptr) {
    return false;
  }
  static const char kPrefix[] = "MAPPER:";
  for (const char* p = items; (p = strstr(p, kPrefix)) != nullptr; ++p) {
    if (p == items || isspace(static_cast<unsigned char>(p[-1]))) {
      return true;
    }
  }
  return false;
}

// The keyword position of each REPLACED_* bit, and the note it gets.
struct Replaced_Mark {
  unsigned bit;
  int keyword;
  const char* note;
};
const Replaced_Mark REPLACEDMARKS[] = {
    {REPLACED_YEAR, 0, ReplacedText},   {REPLACED_MONTH, 1, ReplacedText},
    {REPLACED_DAY, 2, ReplacedText},    {REPLACED_HOUR, 3, ReplacedText},
    {REPLACED_MINUTE, 4, ReplacedText}, {REPLACED_SECOND, 5, ZeroText},
    {REPLACED_TIME, 11, ReplacedText},  {REPLACED_FRACTION, 12, ZeroText},
    {REPLACED_ZONE, 13, ZoneText},
};

// The REPLACED_* bits of the time texts of one matched line, as the agent
// would convert them (its time texts hold what its slots hold).
unsigned ReplacedParts(char (*texts)[OUTPUTTEXTSIZE], uint8_t* numeric_month) {
  _EntryTimeBuffers times;
  char* const parts[] = {times.Year, times.Month,  times.Day,
                         times.Hour, times.Minute, times.Second};
  for (int i = 0; i < 6; ++i) {
    snprintf(parts[i], ENTRYTIMETEXTSIZE, "%.*s", ENTRYTIMETEXTSIZE - 1,
             texts[i]);
  }
  snprintf(times.Time, sizeof times.Time, "%.*s", ENTRYSTAMPTEXTSIZE - 1,
           texts[11]);
  snprintf(times.Fraction, sizeof times.Fraction, "%.*s",
           ENTRYFRACTIONTEXTSIZE - 1, texts[12]);
  snprintf(times.Zone, sizeof times.Zone, "%.*s", ENTRYFRACTIONTEXTSIZE - 1,
           texts[13]);
  _UserlogLineContext context = {0, *numeric_month, nullptr, 0};
  char stamp[ENTRYTIMEDIGITS];
  // The traces of invalid parts are the agent's; the mark below is ours.
  (void)FormatUserlogEntryTime(stamp, &times, &context);
  *numeric_month = context.NumericMonth;
  return context.Replaced;
}

// A line of any length read with getline; the buffer is freed on the way
// out.
class Line_Reader {
 public:
  Line_Reader() = default;
  Line_Reader(const Line_Reader&) = delete;
  Line_Reader& operator=(const Line_Reader&) = delete;
  ~Line_Reader() { free(data_); }

  // The next line of `in`, terminated, its newline included (none at the
  // end of a file without one): null at the end of the file or on a read
  // error.
  char* Next(FILE* in) {
    return getline(&data_, &size_, in) < 0 ? nullptr : data_;
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
};

// Applies the learned `anchor` to up to `count` further lines of `in`.
// Returns the number of sample lines processed; *unmatched counts those
// that did not match.
// Formats one sample line (or an entry's first line) and prints what the
// levels ask for. `shown` is what the echo prints: the line, or the whole
// entry.
class Sample_Printer {
 public:
  Sample_Printer(StringParser* anchor, bool echo, bool fields)
      : anchor_(anchor), echo_(echo), fields_(fields) {}
  void Print(char* line, const char* shown, unsigned long* unmatched);
  // Entry_Joiner's sink: an entry of several lines.
  void Entry(char* first, size_t /*first_length*/, const char* whole,
             size_t whole_length) {
    size_t lines = 1;
    for (size_t i = 0; i < whole_length; ++i) {
      lines += whole[i] == '\n' ? 1 : 0;
    }
    ++entries;
    if (echo_) {
      printf(EntryHeadText, lines, lines == 1 ? "" : "s");
    }
    entry_text_.assign(whole, whole_length);
    entry_text_.push_back('\n');
    Print(first, entry_text_.c_str(), unmatched_);
  }
  unsigned long entries = 0;
  unsigned long* unmatched_ = nullptr;

 private:
  StringParser* const anchor_;
  const bool echo_;
  const bool fields_;
  char texts_[NUMKEYWORDS][OUTPUTTEXTSIZE];
  _FormatBuffer slots_[NUMKEYWORDS];
  uint8_t numeric_month_ = 1;
  std::string entry_text_;
};

void Sample_Printer::Print(char* line, const char* shown,
                           unsigned long* unmatched) {
  const bool echo = echo_;
  const bool fields = fields_;
  auto& texts = texts_;
  auto& slots = slots_;
  auto& numeric_month = numeric_month_;
  auto* const anchor = anchor_;
  {
    if (echo) {
      printf("%s", shown);
    }
    if (CutLineEnd(line) > LONGESTLINE) {
      line[LONGESTLINE] = '\0';
    }
    memset(texts, 0, sizeof texts);
    for (int i = 0; i < NUMKEYWORDS; ++i) {
      slots[i].Position = texts[i];
      slots[i].Remaining = OUTPUTTEXTSIZE - 1;  // the last byte stays NUL
    }
    // The parser traces why a line does not match.
    const bool matched = anchor->spFormatLine(line, slots) >= 1;
    unsigned replaced = 0;
    if (matched) {
      replaced = ReplacedParts(texts, &numeric_month);
    } else {
      ++*unmatched;
    }
    // An unmatched line is marked whenever anything is shown.
    if ((fields && matched) || ((fields || echo) && !matched)) {
      if (echo) {
        printf("\n");
      }
      if (!matched) {
        printf("%s", NoMatchText);
      } else {
        for (int i = 0; i < NUMKEYWORDS; ++i) {
          const char* note = "";
          for (const Replaced_Mark& m : REPLACEDMARKS) {
            if (m.keyword == i && (replaced & m.bit) != 0) {
              note = m.note;
            }
          }
          printf("%11s: %s%s\n", KEYWORDS[i].Keyword, texts[i], note);
        }
      }
      printf(echo ? "\n\n" : "\n");
    }
  }
}

// Applies the learned `anchor` to up to `count` further lines of `in`, or
// with `start` to up to `count` entries joined from them. Returns the
// number of sample lines (or entries) processed; *unmatched counts those
// that did not match.
long ProcessSamples(StringParser* anchor, FILE* in, unsigned long count,
                    bool echo, bool fields, std::unique_ptr<RE2> start,
                    unsigned long* unmatched) {
  WEX1_Event ev(wex1, "ProcessSamples");
  Line_Reader reader;
  Sample_Printer printer(anchor, echo, fields);
  printer.unmatched_ = unmatched;
  unsigned long done = 0;
  char* line = nullptr;
  if (start != nullptr) {
    Entry_Joiner joiner(std::move(start));
    while (printer.entries < count && (line = reader.Next(in)) != nullptr) {
      size_t length = strlen(line);
      if (length > LONGESTLINE + 1) {
        line[LONGESTLINE] = '\n';
        line[LONGESTLINE + 1] = '\0';
        length = LONGESTLINE + 1;
      }
      joiner.Line(line, length, printer);
    }
    if (printer.entries < count) {
      joiner.Flush(printer);
    }
    return ev.Result(static_cast<long>(printer.entries));
  }
  while (done < count && (line = reader.Next(in)) != nullptr) {
    ++done;
    printer.Print(line, line, unmatched);
  }
  return ev.Result(static_cast<long>(done));
}

int MapperMain(int argc, char** argv) {
  WEX1_Event ev(wex1, "main");
  const char* start_pattern = nullptr;
  if (argc >= 3 && strcmp(argv[1], "--multiline") == 0) {
    start_pattern = argv[2];
    argv[2] = argv[0];
    argv += 2;
    argc -= 2;
  }
  if (argc < 2 || argc > 3) {
    WEX1_TRACE(wex1, WEX1_ERROR, UsageMsg,
               argv[0] != nullptr ? argv[0] : ProgramName);
    return static_cast<int>(ev.Result(-1));
  }
  const bool named = LevelsNameMapper();
  const bool echo = !named || WEX1_On(wex1, WEX1_BIT08);
  const bool fields = !named || WEX1_On(wex1, WEX1_BIT04);
  const char* file_name = argv[1];
  const unsigned long count = argc == 3 ? LineCount(argv[2]) : DEFAULTLINECOUNT;
  if (WEX1_On(wex1, WEX1_DETAIL)) {
    SetLocale();
  }

  std::unique_ptr<RE2> start;
  if (start_pattern != nullptr) {
    std::string err;
    start = CompileRegex(start_pattern, &err);
    if (start == nullptr) {
      WEX1_TRACE(wex1, WEX1_ERROR, PatternMsg, start_pattern, err.c_str());
      return static_cast<int>(ev.Result(EXIT_BADINPUT));
    }
  }
  printf("\n");
  FILE* in = fopen(file_name, "r");
  if (in == nullptr) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, OpenErrorMsg, file_name, e, ErrorText(e));
    return static_cast<int>(ev.Result(EXIT_BADINPUT));
  }

  // An empty file gives an empty command, which does not compile. The buffer
  // takes a command of MAXCOMMANDCHARS with its newline, and one more
  // character to tell a longer one.
  char command[MAXCOMMANDCHARS + 3] = "";
  if (fgets(command, sizeof command, in) == nullptr) {
    command[0] = '\0';
  }
  if (echo) {
    printf("\n\n%s\n\n", command);
  }
  int status = EXIT_BADINPUT;
  const size_t length = strcspn(command, "\n");
  if (length > static_cast<size_t>(MAXCOMMANDCHARS)) {
    WEX1_TRACE(wex1, WEX1_ERROR, CommandTooLongMsg, file_name, MAXCOMMANDCHARS);
  } else {
    StringParser* anchor = new (std::nothrow) StringParser(command, KEYWORDS);
    if (anchor != nullptr && anchor->ObjectStatus == OBJECT_LEARNED) {
      unsigned long unmatched = 0;
      ProcessSamples(anchor, in, count, echo, fields, std::move(start),
                     &unmatched);
      status = unmatched == 0 ? EXIT_ALLMATCHED : EXIT_UNMATCHED;
    }
    delete anchor;
  }
  if (ferror(in)) {
    status = EXIT_BADINPUT;
  }
  fclose(in);
  return static_cast<int>(ev.Result(status));
}

}  // namespace

int main(int argc, char** argv) {
  // The command line is positional, so --help is answered here rather than by
  // the runtime's HOV_CommandLine.
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    printf(HelpText, ProgramName);
    return 0;
  }
  return MapperMain(argc, argv);
}
