// The built tvxmapper run on temporary files: its standard output compared
// exactly, its trace (HOV_TRACE_FILE) searched for the expected messages.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"

namespace {

using qortest::ReadFile;
using qortest::Scoped_Temp_Dir;
using qortest::WriteFile;

struct Mapper_Run {
  int status = -1;  // exit status, -1 when it did not exit
  std::string out;
  std::string trace;
};

// Runs tvxmapper with `args`; JOP_WEX1 is `levels`, or unset when null.
Mapper_Run RunMapper(const Scoped_Temp_Dir& dir,
                     const std::vector<std::string>& args,
                     const char* levels = nullptr,
                     std::map<std::string, std::string> env = {}) {
  const std::string trace_path = dir.File("trace");
  unlink(trace_path.c_str());
  if (levels != nullptr) {
    env["JOP_WEX1"] = levels;
  }
  env["HOV_TRACE_FILE"] = trace_path;
  std::vector<std::string> argv{TVXMAPPER_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  const qortest::Run_Result run =
      qortest::RunProgram(argv, env, dir.path(), {"JOP_WEX1"});
  Mapper_Run r;
  r.status = run.status;
  r.out = run.out;
  r.trace = ReadFile(trace_path);
  return r;
}

// The keyword lines of one sample line: `texts` by keyword position.
std::string Keywords(const std::map<int, std::string>& texts) {
  static const char* const kNames[] = {
      "year",   "month", "day",   "hour",        "minute", "second",   "system",
      "source", "type",  "class", "description", "time",   "fraction", "zone"};
  std::string s;
  for (int i = 0; i < 14; ++i) {
    char head[16];
    snprintf(head, sizeof head, "%11s: ", kNames[i]);
    const auto it = texts.find(i);
    s += head + (it != texts.end() ? it->second : "") + "\n";
  }
  return s;
}

const char kTwoFields[] = "A,\"%s %s\",system description\n";

TEST(TvxmapperTest, TwoKeywordExampleAtEachOutputLevel) {
  Scoped_Temp_Dir dir;
  const std::string file = dir.File("sample");
  WriteFile(file, std::string(kTwoFields) + "host1 started\nhost2 stopped\n");
  const std::string fields = Keywords({{6, "host1"}, {10, "started"}});
  const std::string command = std::string("\n\n") + kTwoFields + "\n\n";
  struct {
    const char* levels;
    std::string out;
  } cases[] = {
      {nullptr, "\n" + command + "host1 started\n" + "\n" + fields + "\n\n"},
      {"MAPPER:0x8C",
       "\n" + command + "host1 started\n" + "\n" + fields + "\n\n"},
      {"MAPPER:0x84", "\n" + fields + "\n"},
      {"MAPPER:0x88", "\n" + command + "host1 started\n"},
      {"MAPPER:0x80", "\n"},
      // Levels for the other units leave the mapper's output on.
      {"ERROR", "\n" + command + "host1 started\n" + "\n" + fields + "\n\n"},
      {"ERROR,FLOW",
       "\n" + command + "host1 started\n" + "\n" + fields + "\n\n"},
  };
  for (const auto& c : cases) {
    const Mapper_Run r = RunMapper(dir, {file}, c.levels);
    EXPECT_EQ(r.status, 0) << c.levels;
    EXPECT_EQ(r.out, c.out) << (c.levels != nullptr ? c.levels : "default");
  }
}

TEST(TvxmapperTest, LineCountIsOneToAThousand) {
  Scoped_Temp_Dir dir;
  const std::string file = dir.File("sample");
  WriteFile(file, std::string(kTwoFields) + "a 1\nb 2\nc 3\nd 4\ne 5\n");
  const std::pair<const char*, size_t> cases[] = {
      {"3", 3},    {"0", 1},  {"1001", 1}, {"-5", 1},
      {"1000", 5}, {"2x", 2}, {"many", 1}};
  for (const auto& c : cases) {
    const Mapper_Run r = RunMapper(dir, {file, c.first}, "MAPPER:0x84");
    EXPECT_EQ(r.status, 0);
    std::string expected = "\n";
    for (size_t i = 0; i < c.second; ++i) {
      expected += Keywords({{6, std::string(1, static_cast<char>('a' + i))},
                            {10, std::to_string(i + 1)}}) +
                  "\n";
    }
    EXPECT_EQ(r.out, expected) << c.first;
  }
}

TEST(TvxmapperTest, LongSampleLineIsOneLineAndATextHolds256Characters) {
  Scoped_Temp_Dir dir;
  const std::string file = dir.File("sample");
  // A line as long as the agent keeps, and one beyond it whose tail the
  // agent drops: each is one sample line that matches.
  const std::string a(2046, 'a');
  const std::string b = std::string(2046, 'b') + "tail";
  WriteFile(file, "A,\"%[^\\n]\",description\n" + a + "\n" + b + "\nc\n");
  const Mapper_Run r = RunMapper(dir, {file, "3"}, "MAPPER:0x84");
  EXPECT_EQ(r.status, 0) << r.trace;
  EXPECT_EQ(r.out, "\n" + Keywords({{10, a.substr(0, 256)}}) + "\n" +
                       Keywords({{10, b.substr(0, 256)}}) + "\n" +
                       Keywords({{10, "c"}}) + "\n");
  // The echo shows the whole line as read.
  const Mapper_Run echoed = RunMapper(dir, {file, "2"}, "MAPPER:0x88");
  EXPECT_EQ(echoed.status, 0);
  EXPECT_NE(echoed.out.find("\n" + b + "\n"), std::string::npos);
}

TEST(TvxmapperTest, UnmatchedLineIsMarkedTracedAndGivesStatus1) {
  Scoped_Temp_Dir dir;
  const std::string file = dir.File("sample");
  WriteFile(file, "A,\"%d: %s\",year description\nnot a number\n2024: ok\n");
  Mapper_Run r = RunMapper(dir, {file, "2"}, "MAPPER:0x84");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\n*** line does not match the format command ***\n\n" +
                       Keywords({{0, "2024"}, {10, "ok"}}) + "\n");
  EXPECT_EQ(RunMapper(dir, {file, "1"}, "MAPPER:0x80").out, "\n");
  EXPECT_EQ(RunMapper(dir, {file, "1"}, "MAPPER:0x80").status, 1);
  EXPECT_NE(r.trace.find("\nError: scan failed for variable #1; year."),
            std::string::npos)
      << r.trace;
}

TEST(TvxmapperTest, WrongArgumentCountTracesUsageWithStatus255) {
  Scoped_Temp_Dir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"a", "1", "x"}}) {
    const Mapper_Run r = RunMapper(dir, args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.trace.find(std::string("MAPPER]\nUsage: ") + TVXMAPPER_PATH +
                           " filename [linecount]\n"),
              std::string::npos)
        << r.trace;
  }
}

TEST(TvxmapperTest, HelpNamesTheCommandLineAndEnvironment) {
  Scoped_Temp_Dir dir;
  const Mapper_Run r = RunMapper(dir, {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: tvxmapper filename [linecount]\n", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("\n  JOP_WEX1 "), std::string::npos);
  EXPECT_NE(r.out.find("\n  HOV_TRACE_FILE "), std::string::npos);
  const std::string manual =
      "\nSee tvxmapper(1) and, for the format command, qoragent.conf(5).\n";
  EXPECT_EQ(r.out.rfind(manual), r.out.size() - manual.size()) << r.out;
  EXPECT_EQ(r.trace, "");
}

TEST(TvxmapperTest, UnreadableFilePrintsOnlyTheFirstNewline) {
  Scoped_Temp_Dir dir;
  const std::string missing = dir.File("missing");
  const Mapper_Run r = RunMapper(dir, {missing, "3"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "\n");
  EXPECT_EQ(RunMapper(dir, {dir.path(), "3"}).status, 2);  // a directory
  EXPECT_NE(r.trace.find("\nError opening input file " + missing +
                         "; errno = 2; No such file or directory\n"),
            std::string::npos)
      << r.trace;
}

TEST(TvxmapperTest, CommandThatDoesNotCompileProcessesNoLine) {
  Scoped_Temp_Dir dir;
  const std::string file = dir.File("sample");
  const std::string overlong =
      "A,\"%s\",desc" + std::string(1100, ' ') + "ription\n";
  const struct {
    std::string text;
    std::string command;  // as echoed
    std::string message;
  } cases[] = {
      {"A,\"%q\",system\nhost1\n", "A,\"%q\",system\n", "\nInvalid convcode"},
      {"A,\"%s\",nosuch\nhost1\n", "A,\"%s\",nosuch\n",
       "\nError: Invalid field name"},
      {"", "", "\nScan for start of format specifier failed"},
      // Cut by the line buffer, the command would read "desc" and its tail
      // would pass for a sample line.
      {overlong + "host1\n", overlong.substr(0, 1025),
       "\nError: format command in " + file +
           " exceeds 1023 characters; no line processed."},
  };
  for (const auto& c : cases) {
    WriteFile(file, c.text);
    Mapper_Run r = RunMapper(dir, {file, "5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "\n\n\n" + c.command + "\n\n") << c.message;
    EXPECT_NE(r.trace.find(c.message), std::string::npos) << r.trace;
    r = RunMapper(dir, {file, "5"}, "MAPPER:0x84");
    EXPECT_EQ(r.out, "\n");
  }
}

// The limit is exact: 1023 characters compile, 1024 do not.
TEST(TvxmapperTest, CommandOfExactly1023CharactersIsTaken) {
  Scoped_Temp_Dir dir;
  const std::string file = dir.File("sample");
  for (size_t length : {1023u, 1024u}) {
    std::string command = "A,\"%s\",de";
    command += std::string(length - command.size(), ' ');
    WriteFile(file, command + "\nok\n");
    const Mapper_Run r = RunMapper(dir, {file}, "MAPPER:0x84");
    EXPECT_EQ(r.status, length == 1023 ? 0 : 2) << length << r.trace;
    EXPECT_EQ(r.out,
              length == 1023 ? "\n" + Keywords({{10, "ok"}}) + "\n" : "\n");
  }
}

// A time part the agent would replace is marked beside its text.
TEST(TvxmapperTest, ReplacedTimePartsAreMarked) {
  Scoped_Temp_Dir dir;
  const std::string file = dir.File("sample");
  WriteFile(file,
            "A,\"%s %d %d:%d:%d %s\",mo da ho mi se de\n"
            "mar 5 10:60:00 x\n");
  const Mapper_Run r = RunMapper(dir, {file}, "MAPPER:0x84");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("      month: mar   <- invalid; the agent stores the "
                       "current time's part\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("     minute: 60   <- invalid"), std::string::npos);
  EXPECT_NE(r.out.find("        day: 5\n"), std::string::npos);
}

TEST(TvxmapperTest, DetailLevelSetsTheLocaleFromTheEnvironment) {
  Scoped_Temp_Dir dir;
  const std::string file = dir.File("sample");
  WriteFile(file, std::string(kTwoFields) + "h x\n");
  Mapper_Run r = RunMapper(dir, {file}, "MAPPER:0x81", {{"LC_ALL", "C"}});
  EXPECT_EQ(r.out, "\n");
  EXPECT_NE(r.trace.find("MAPPER]\nLocale categories are C.\n"),
            std::string::npos)
      << r.trace;
  r = RunMapper(dir, {file}, nullptr, {{"LC_ALL", "C"}});
  EXPECT_EQ(r.trace.find("Locale"), std::string::npos);
}

TEST(TvxmapperTest, ShippedExampleMapsEveryLine) {
  Scoped_Temp_Dir dir;
  const Mapper_Run r =
      RunMapper(dir, {QOR_SOURCE_DIR "/examples/mapper-sample.txt", "1000"},
                "MAPPER:0x84");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.trace, "");
  const std::string first =
      "\n" +
      Keywords({{0, "2024"},
                {1, "05"},
                {2, "01"},
                {3, "10"},
                {4, "15"},
                {5, "0"},
                {6, "host1"},
                {7, "sshd[812]"},
                {10, "Accepted password for alice from 10.0.0.7"}}) +
      "\n";
  EXPECT_EQ(r.out.substr(0, first.size()), first);
  size_t lines = 0;
  for (size_t p = r.out.find("description: "); p != std::string::npos;
       p = r.out.find("description: ", p + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 3u);
}

// Every example of examples/formats matches each of its sample lines.
TEST(TvxmapperTest, ExampleFormatsMatchEverySampleLine) {
  Scoped_Temp_Dir dir;
  for (const char* name : {"apache-error", "access-combined", "log4j", "hdfs",
                           "iso-zoned", "keyvalue"}) {
    const std::string file =
        std::string(QOR_SOURCE_DIR "/examples/formats/") + name + ".txt";
    const Mapper_Run r = RunMapper(dir, {file, "1000"}, "MAPPER:0x84");
    EXPECT_EQ(r.status, 0) << name << r.trace;
    EXPECT_EQ(r.trace, "") << name;
    const std::string text = ReadFile(file);
    const size_t samples =
        static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) - 1;
    size_t described = 0;
    for (size_t p = r.out.find("description: "); p != std::string::npos;
         p = r.out.find("description: ", p + 1)) {
      described += r.out.compare(p, 14, "description: \n") != 0 ? 1 : 0;
    }
    EXPECT_EQ(described, samples) << name << r.out;
  }
}

// The multiline examples split into their entries under their start
// patterns: each entry whole, its first line formatted; a start pattern that
// does not compile is refused.
TEST(TvxmapperTest, MultilineExamplesSplitIntoEntries) {
  Scoped_Temp_Dir dir;
  const struct {
    const char* name;
    const char* start;
    const char* longest;
  } cases[] = {
      {"java-stacktrace", "^[0-9]{4}-[0-9]{2}-[0-9]{2} ", "entry of 8 lines"},
      {"python-traceback", "^[0-9]{4}-[0-9]{2}-[0-9]{2} ", "entry of 7 lines"},
      {"go-panic", "^[0-9]{4}/[0-9]{2}/[0-9]{2} ", "entry of 10 lines"},
  };
  for (const auto& c : cases) {
    const std::string file =
        std::string(QOR_SOURCE_DIR "/examples/formats/") + c.name + ".txt";
    const Mapper_Run r =
        RunMapper(dir, {"--multiline", c.start, file, "1000"}, "MAPPER:0x0C");
    EXPECT_EQ(r.status, 0) << c.name << r.trace;
    EXPECT_EQ(r.trace, "") << c.name;
    size_t entries = 0;
    for (size_t p = r.out.find("=== entry of "); p != std::string::npos;
         p = r.out.find("=== entry of ", p + 1)) {
      ++entries;
    }
    EXPECT_EQ(entries, 3u) << c.name << r.out;
    EXPECT_NE(r.out.find(c.longest), std::string::npos) << c.name << r.out;
  }
  const Mapper_Run bad = RunMapper(
      dir, {"--multiline", "(",
            std::string(QOR_SOURCE_DIR "/examples/formats/go-panic.txt")});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.trace.find("start pattern ( does not compile"),
            std::string::npos)
      << bad.trace;
}

}  // namespace
