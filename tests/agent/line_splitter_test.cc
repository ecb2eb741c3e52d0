// Tests of Line_Splitter: whole lines out of the bytes read.
#include "agent/follow/line_splitter.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Collects what the splitter delivers; "<NUL>" stands for a run of NULs.
struct Collector {
  std::vector<std::string> got;
  void Line(char* entry, size_t length) {
    EXPECT_EQ(entry[length], '\0');
    got.emplace_back(entry, length);
  }
  void NulRun() { got.emplace_back("<NUL>"); }
};

// Feeds `input` in two reads split at `at`, then flushes when asked.
std::vector<std::string> Split(const std::string& input, size_t at,
                               bool flush) {
  Line_Splitter lines;
  Collector c;
  for (const std::string& part : {input.substr(0, at), input.substr(at)}) {
    std::string buffer = part + '#';  // the byte of room after the data
    lines.Feed(&buffer[0], part.size(), c);
  }
  if (flush) {
    lines.Flush(c);
  }
  return c.got;
}

// Every input gives the same lines wherever the two reads divide it.
TEST(LineSplitterTest, WholeLinesWhereverTheReadsDivideThem) {
  const std::string long_line =
      std::string(2046, 'x') + "Dec  8 04:05:06 fakehost sshd[1]: forged";
  const struct {
    std::string input;
    bool flush;
    std::vector<std::string> lines;
  } cases[] = {
      {"one\ntwo\n", false, {"one\n", "two\n"}},
      {"torn line\nunfinished", false, {"torn line\n"}},
      {"torn line\nunfinished", true, {"torn line\n", "unfinished"}},
      {"crlf\r\n\r\nbare\rcr\n", false, {"crlf\n", "\n", "bare\rcr\n"}},
      {"tail\r", true, {"tail"}},
      {std::string("\0\0\0\0first\n", 10), false, {"<NUL>", "first\n"}},
      // NULs inside a line are stray bytes: dropped, the line goes on.
      {std::string("a\0\0b\n\0c\n", 8), false, {"ab\n", "<NUL>", "c\n"}},
      {long_line + "\nnext\n",
       false,
       {std::string(2046, 'x') + "\n", "next\n"}},
      {std::string(2046, 'y') + "\r\n", false, {std::string(2046, 'y') + "\n"}},
  };
  for (const auto& c : cases) {
    for (size_t at = 0; at <= c.input.size(); ++at) {
      EXPECT_EQ(Split(c.input, at, c.flush), c.lines)
          << "input of " << c.input.size() << " bytes split at " << at;
    }
  }
}

// A longer limit keeps longer lines whole; a line past it is cut and told
// so, whether it arrives in one read or in pieces.
TEST(LineSplitterTest, LongestIsSettableAndCutLinesAreTold) {
  struct Cut_Collector {
    const Line_Splitter* lines;
    std::vector<std::string> got;
    void Line(char* entry, size_t length) {
      got.emplace_back(std::string(entry, length) +
                       (lines->LineCut() ? "<CUT>" : ""));
    }
    void NulRun() { got.emplace_back("<NUL>"); }
  };
  const std::string big(70000, 'j');
  const std::string input = big.substr(0, 5000) + "\n" + big + "\nshort\n";
  for (const size_t read : {size_t{100}, size_t{4096}, input.size()}) {
    Line_Splitter lines;
    lines.SetLongest(8192);
    EXPECT_EQ(lines.Longest(), 8192u);
    Cut_Collector c{&lines, {}};
    for (size_t at = 0; at < input.size(); at += read) {
      std::string part = input.substr(at, read) + '#';
      lines.Feed(&part[0], part.size() - 1, c);
    }
    EXPECT_EQ(c.got, std::vector<std::string>({big.substr(0, 5000) + "\n",
                                               big.substr(0, 8192) + "\n<CUT>",
                                               "short\n"}))
        << "reads of " << read;
  }
  Line_Splitter bounded;
  bounded.SetLongest(1 << 30);
  EXPECT_EQ(bounded.Longest(), MAXLINELIMIT);
}

TEST(LineSplitterTest, HeldCountsTheUndeliveredBytesAndClearForgetsThem) {
  Line_Splitter lines;
  Collector c;
  char data[] = "done\nhalf#";
  lines.Feed(data, 9, c);
  EXPECT_EQ(lines.Held(), 4u);
  lines.Clear();
  EXPECT_EQ(lines.Held(), 0u);
  EXPECT_FALSE(lines.Flush(c));
  EXPECT_EQ(c.got, std::vector<std::string>({"done\n"}));
}

}  // namespace
