// tvxmapper: tries a format command on sample lines before it is configured
// for a user-formatted log.
//
//   tvxmapper filename [linecount]
//
// The first line of `filename` is the format command, each further line a
// sample line. The command is compiled with the agent's own StringParser and
// keyword table, then applied to up to `linecount` sample lines (1 to 1000,
// default 1); for each line the text every keyword receives is printed.
//
// What reaches standard output is chosen by the trace levels of this unit
// ("MAPPER"): 0x08 echoes the command and the sample lines, 0x04 prints the
// keyword texts; both are on unless JOP_WEX1 says otherwise. 0x01 also sets
// the locale from the environment. Diagnostics, the parser's included, go to
// the trace (standard error or HOV_TRACE_FILE).
#include <errno.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "framework/wex1.h"
#include "parser/string_parser.h"

static WEX1_Handle wex1 =
    WEX1_SyncDefault(__FILE__, __DATE__, __TIME__, "MAPPER",
                     WEX1_ERROR | WEX1_BIT04 | WEX1_BIT08);

namespace {

constexpr int LINEBUFSIZE = 1024;    // fgets buffer: 1023 characters and a NUL
constexpr int OUTPUTTEXTSIZE = 256;  // one keyword's text, NUL included
constexpr unsigned MAXLINECOUNT = 1000;
constexpr unsigned long DEFAULTLINECOUNT = 1;

const char ProgramName[] = "tvxmapper";
const char UsageMsg[] = "\nUsage: %s filename [linecount]";
const char OpenErrorMsg[] = "\nError opening input file %s; errno = %d; %s\n";
const char LocaleMsg[] = "\nLocale categories are %s.";
// A command cut by the line buffer would compile into something other than
// what was written, and its tail would pass for a sample line.
const char CommandTooLongMsg[] =
    "\nError: format command in %s exceeds %d characters; no line processed.";

const char HelpText[] =
    "Usage: %s filename [linecount]\n"
    "Tries a format command of a user-formatted log on sample lines. The first line\n"
    "of filename is the format command, each further line a sample line; up to\n"
    "linecount sample lines (1 to 1000, default 1) are split into fields and the\n"
    "text every keyword receives is printed.\n"
    "\n"
    "Environment:\n"
    "  JOP_WEX1             trace levels: LEVELS or LABEL:LEVELS items; for the unit\n"
    "                       MAPPER, 0x08 echoes the command and the sample lines,\n"
    "                       0x04 prints the keyword texts, 0x01 sets the locale from\n"
    "                       the environment (default: ERROR, and MAPPER:0x8C)\n"
    "  HOV_TRACE_FILE       file that receives the trace (default: standard error)\n"
    "\n"
    "Exit status: 0, or 255 for a wrong number of arguments.\n";

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

// True when the line in `line`, read from `in`, was cut by the buffer: no
// newline and more text follows.
bool LineWasCut(const char* line, FILE* in) {
  const size_t n = strlen(line);
  if (n == 0 || line[n - 1] == '\n') {
    return false;
  }
  const int c = getc(in);
  if (c == EOF) {
    return false;
  }
  ungetc(c, in);
  return true;
}

// Applies the learned `anchor` to up to `count` further lines of `in`.
// Returns the number of sample lines processed.
long ProcessSamples(StringParser* anchor, FILE* in, unsigned long count) {
  WEX1_Event ev(wex1, "ProcessSamples");
  const bool echo = WEX1_On(wex1, WEX1_BIT08);
  const bool fields = WEX1_On(wex1, WEX1_BIT04);
  char line[LINEBUFSIZE];
  char texts[NUMKEYWORDS][OUTPUTTEXTSIZE];
  _FormatBuffer slots[NUMKEYWORDS];
  unsigned long done = 0;
  while (done < count && fgets(line, sizeof line, in) != nullptr) {
    ++done;
    if (echo) {
      printf("%s", line);
    }
    memset(texts, 0, sizeof texts);
    for (int i = 0; i < NUMKEYWORDS; ++i) {
      slots[i].Position = texts[i];
      slots[i].Remaining = OUTPUTTEXTSIZE - 1;  // the last byte stays NUL
    }
    // A line that does not match leaves every text empty; the parser traced
    // why.
    (void)anchor->spFormatLine(line, slots);
    if (fields) {
      if (echo) {
        printf("\n");
      }
      for (int i = 0; i < NUMKEYWORDS; ++i) {
        printf("%11s: %s\n", KEYWORDS[i].Keyword, texts[i]);
      }
      printf(echo ? "\n\n" : "\n");
    }
  }
  return ev.Result(static_cast<long>(done));
}

int MapperMain(int argc, char** argv) {
  WEX1_Event ev(wex1, "main");
  if (argc < 2 || argc > 3) {
    WEX1_TRACE(wex1, WEX1_ERROR, UsageMsg,
               argv[0] != nullptr ? argv[0] : ProgramName);
    return static_cast<int>(ev.Result(-1));
  }
  const char* file_name = argv[1];
  const unsigned long count = argc == 3 ? LineCount(argv[2]) : DEFAULTLINECOUNT;
  if (WEX1_On(wex1, WEX1_DETAIL)) {
    SetLocale();
  }

  printf("\n");
  FILE* in = fopen(file_name, "r");
  if (in == nullptr) {
    const int e = errno;
    WEX1_TRACE(wex1, WEX1_ERROR, OpenErrorMsg, file_name, e, ErrorText(e));
    return static_cast<int>(ev.Result(0));
  }

  // An empty file gives an empty command, which does not compile.
  char command[LINEBUFSIZE] = "";
  if (fgets(command, sizeof command, in) == nullptr) {
    command[0] = '\0';
  }
  if (WEX1_On(wex1, WEX1_BIT08)) {
    printf("\n\n%s\n\n", command);
  }
  if (LineWasCut(command, in)) {
    WEX1_TRACE(wex1, WEX1_ERROR, CommandTooLongMsg, file_name, LINEBUFSIZE - 1);
  } else {
    StringParser* anchor = new (std::nothrow) StringParser(command, KEYWORDS);
    if (anchor != nullptr && anchor->ObjectStatus == OBJECT_LEARNED) {
      ProcessSamples(anchor, in, count);
    }
    delete anchor;
  }
  fclose(in);
  return static_cast<int>(ev.Result(0));
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
