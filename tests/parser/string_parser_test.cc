// Tests of StringParser and its format commands.
#include "parser/string_parser.h"

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"

namespace {

std::unique_ptr<StringParser> Compile(
    const std::string& command, const _KeywordFields* keywords = KEYWORDS) {
  return std::make_unique<StringParser>(command.c_str(), keywords);
}

std::vector<const StringParser*> Directives(const StringParser& anchor) {
  std::vector<const StringParser*> out;
  for (const StringParser* d = anchor.ScanOrder; d != nullptr;
       d = d->ScanOrder) {
    out.push_back(d);
  }
  return out;
}

struct Expected {
  const char* name;
  int index;
  const char* scan;
  int type;
  unsigned width;
  const char* print;  // null: none
};

struct CompileCase {
  const char* command;
  std::vector<Expected> directives;
};

TEST(StringParserTest, AcceptedCommandsCompileToTheirDirectives) {
  const CompileCase cases[] = {
      {"A,\"%s %d\",source type",
       {{"source", 7, "%2047s%n", 8, 2047, "%s"},
        {"type", 8, " %d%n", 1, 0, "%d"}}},
      {"A,\"%s : %5d%*[^\\n]\",source type",
       {{"source", 7, "%2047s%n", 8, 2047, "%s"},
        {"type", 8, " : %5d%n", 1, 5, "%d"},
        {"*", -1, "%*2047[^\n]%n", 8, 2047, nullptr}}},
      {"  a , \"%d\" , year  ", {{"year", 0, "%d%n", 1, 0, "%d"}}},
      {"A,\"%0005s\",de", {{"description", 10, "%5s%n", 8, 5, "%s"}}},
      {"A,\"%000s\",desc", {{"description", 10, "%2047s%n", 8, 2047, "%s"}}},
      {"A,\"%c\",cl", {{"class", 9, "%c%n", 9, 1, "%c"}}},
      {"A,\"%3c\",cl", {{"class", 9, "%3c%n", 8, 3, "%s"}}},
      {"A,\"%*c%d\",ye",
       {{"*", -1, "%*c%n", 9, 0, nullptr}, {"year", 0, "%d%n", 1, 0, "%d"}}},
      {"A,\"%hd%ho%ld%lu%Ld%Lx%lld%llo%le%Lg%f%i%o%u%x%e%g\","
       "ye mo da ho mi se sy so ty cl de ye mo da ho mi se",
       {{"year", 0, "%hd%n", 21, 0, "%hd"},
        {"month", 1, "%ho%n", 22, 0, "%ho"},
        {"day", 2, "%ld%n", 31, 0, "%ld"},
        {"hour", 3, "%lu%n", 33, 0, "%lu"},
        {"minute", 4, "%Ld%n", 41, 0, "%Ld"},
        {"second", 5, "%Lx%n", 44, 0, "%Lx"},
        {"system", 6, "%lld%n", 51, 0, "%lld"},
        {"source", 7, "%llo%n", 52, 0, "%llo"},
        {"type", 8, "%le%n", 35, 0, "%le"},
        {"class", 9, "%Lg%n", 47, 0, "%Lg"},
        {"description", 10, "%f%n", 6, 0, "%f"},
        {"year", 0, "%i%n", 1, 0, "%d"},
        {"month", 1, "%o%n", 2, 0, "%o"},
        {"day", 2, "%u%n", 3, 0, "%u"},
        {"hour", 3, "%x%n", 4, 0, "%x"},
        {"minute", 4, "%e%n", 5, 0, "%e"},
        {"second", 5, "%g%n", 7, 0, "%g"}}},
      {"A,\"%(1023)s\",de", {{"description", 10, "%2047s%n", 8, 2047, "%s"}}},
      {"A,\"x%(5)*[]a]y%[^]\\t]\",de",
       {{"*", -1, "x%*2047[]a]%n", 8, 2047, nullptr},
        {"description", 10, "y%2047[^]\t]%n", 8, 2047, "%s"}}},
      {"A,\"100%% \\\"%d\",ye", {{"year", 0, "100%% \"%d%n", 1, 0, "%d"}}},
      {"A,\"%*s %s\",description",
       {{"*", -1, "%*2047s%n", 8, 2047, nullptr},
        {"description", 10, " %2047s%n", 8, 2047, "%s"}}},
      {"A,\"%*s\",", {{"*", -1, "%*2047s%n", 8, 2047, nullptr}}},
      // Print directives.
      {"A,\"%d %d\",ty=\"%x\" ye = \"%-5.3d\\t\"",
       {{"type", 8, "%d%n", 1, 0, "%x"},
        {"year", 0, " %d%n", 1, 0, "%-5.3d\t"}}},
      {"A,\"%s\",ty=\"%c\"", {{"type", 8, "%2047s%n", 9, 2047, "%c"}}},
      {"A,\"%d %s %s %lf\",ty=\"100%%\" de=\" %s\" so=\"\" sy=\"%+'010.lf\"",
       {{"type", 8, "%d%n", 1, 0, "100%%"},
        {"description", 10, " %2047s%n", 8, 2047, " %s"},
        {"source", 7, " %2047s%n", 8, 2047, ""},
        {"system", 6, " %lf%n", 36, 0, "%+'010.lf"}}},
      {"A,\"%d%d%d%s\",ty=\"%-05d\" cl=\"% +d\" de=\"%+ d\" so=\"%#s\"",
       {{"type", 8, "%d%n", 1, 0, "%-5d"},
        {"class", 9, "%d%n", 1, 0, "% +d"},
        {"description", 10, "%d%n", 1, 0, "%+d"},
        {"source", 7, "%2047s%n", 8, 2047, "%s"}}},
  };
  for (const CompileCase& c : cases) {
    SCOPED_TRACE(c.command);
    qortest::TraceCapture cap("ALL");
    auto anchor = Compile(c.command);
    ASSERT_EQ(anchor->ObjectStatus, OBJECT_LEARNED) << cap.Text();
    EXPECT_STREQ(anchor->FieldName, "ANCHOR");
    const auto got = Directives(*anchor);
    ASSERT_EQ(got.size(), c.directives.size());
    for (size_t i = 0; i < got.size(); ++i) {
      const Expected& e = c.directives[i];
      SCOPED_TRACE(i);
      EXPECT_STREQ(got[i]->FieldName, e.name);
      EXPECT_EQ(got[i]->PrintIndex, e.index);
      EXPECT_STREQ(got[i]->ScanDirective, e.scan);
      EXPECT_EQ(got[i]->DataType, e.type);
      EXPECT_EQ(got[i]->MaxFieldSize, e.width);
      EXPECT_EQ(got[i]->ObjectStatus, OBJECT_COMPILED);
      if (e.print == nullptr) {
        EXPECT_EQ(got[i]->PrintDirective, nullptr);
        EXPECT_EQ(got[i]->Value, nullptr);
        EXPECT_EQ(got[i]->Suppressed, 1);
      } else {
        EXPECT_STREQ(got[i]->PrintDirective, e.print);
        EXPECT_NE(got[i]->Value, nullptr);
      }
    }
  }
}

TEST(StringParserTest, ColumnWidthAndPrecisionAreStored) {
  qortest::TraceCapture cap("ALL");
  auto anchor = Compile("A,\"%(1)d%(12)5d\",ye mo=\"%7.3d\" ");
  ASSERT_EQ(anchor->ObjectStatus, OBJECT_LEARNED);
  const auto d = Directives(*anchor);
  EXPECT_EQ(d[0]->Offset, 0u);
  EXPECT_EQ(d[1]->Offset, 11u);
  EXPECT_EQ(d[1]->MinFieldSize, 7);
  EXPECT_EQ(d[1]->Precision, 3);
}

struct RejectCase {
  const char* command;
  const char* message;
};

TEST(StringParserTest, RejectedCommandsTraceTheirReason) {
  const RejectCase cases[] = {
      {"A,\"\",ye", "\nError: format string contains no scan directive."},
      {"A,\"just text\",ye",
       "\nError: format string contains no scan directive."},
      {"B,\"%d\",ye",
       "\nScan for start of format specifier failed; looking for \" %*1[Aa] , \"%n\" but "
       "found:\nB,\"%d\",ye"},
      {"A,\"%d",
       "\nError: format string ends inside a directive or before its closing quote."},
      {"A,\"%(1024)d\",ye",
       "\nInvalid column position specified: 1024); ZERO < column <= 1023."},
      {"A,\"%(0)d\",ye",
       "\nInvalid column position specified: 0); ZERO < column <= 1023."},
      {"A,\"%(12 )d\",ye",
       "\nInvalid column position syntax; expected '(column)'; found (12 )d\",ye"},
      {"A,\"%1024s\",de",
       "\nInvalid field width specified: 1024; ZERO < width <= 1023."},
      {"A,\"%hf\",ye",
       "\nInvalid convcode or receiving variable size specified for code f. Directive is %hf"},
      {"A,\"%lls\",ye",
       "\nInvalid convcode or receiving variable size specified for code s. Directive is %lls"},
      {"A,\"%Lc\",ye",
       "\nInvalid convcode or receiving variable size specified for code c. Directive is %Lc"},
      {"A,\"%n\",ye",
       "\nInvalid convcode or receiving variable size specified for code n. Directive is %n"},
      {"A,\"%p\",ye",
       "\nInvalid convcode or receiving variable size specified for code p. Directive is %p"},
      {"A,\"%X\",ye",
       "\nInvalid convcode or receiving variable size specified for code X. Directive is %X"},
      {"A,\"%[a\"]\",de",
       "\nInvalid convcode or receiving variable size specified for code [. Directive is %[a"},
      {"A,\"\\q%d\",ye", "\nInvalid escape sequence found : '\\q'"},
      {"A,\"%d\" ye",
       "\nError found in format command; expected \"\" , %n\", found \"\" ye\". "},
      {"A,\"%d\",year junk",
       "\nError: extraneous data included in format specifier; junk "},
      {"A,\"%d\",descriptions",
       "\nError: Invalid field name specified in format string \"descriptions\"."},
      {"A,\"%d\",d",
       "\nError: Invalid field name specified in format string \"d\"."},
      {"A,\"%d\",year,",
       "\nError: Invalid field name specified in format string \"year,\"."},
      {"A,\"%d %*d %5d\",ye",
       "\nError: unexpected end of format string while looking for field name."},
      {"A,\"%d\",ty=%d",
       "\nError in print directive for field type. Expected \"= \"\"; found \"=%d\""},
      {"A,\"%d\",ty=\"%05.2f\"",
       "\nScan and print data types are not compatible for field type. Scan type is %d; print type is %f."},
      {"A,\"%d\",ty=\"%d and %d\"",
       "\nError: multiple format specifiers found in print directive for field type."},
      {"A,\"%d\",ty=\"%1000d\"",
       "\nInvalid minimum field width specified: 1000; ZERO < min width <= 256."},
      {"A,\"%d\",ty=\"%257d\"",
       "\nInvalid minimum field width specified: 257; ZERO < min width <= 256."},
      {"A,\"%f\",ty=\"%.257f\"",
       "\nInvalid precision specified for field type: .257; ZERO <= precision <= 256."},
      {"A,\"%s\",ty=\"%hs\"",
       "\nInvalid convcode or variable size specified in print directive for field type. Directive is %hs"},
      {"A,\"%d\",ty=\"%*d\"",
       "\nInvalid convcode or variable size specified in print directive for field type. Directive is %*"},
      {"A,\"%f\",ty=\"%hf\"",
       "\nInvalid datatype of 26 computed from directive for field type. Directive is %hf"},
      {"A,\"%s\",ty=\"%",
       "\nError: format string ends inside a directive or before its closing quote."},
  };
  for (const RejectCase& c : cases) {
    SCOPED_TRACE(c.command);
    qortest::TraceCapture cap("ALL");
    auto anchor = Compile(c.command);
    EXPECT_NE(anchor->ObjectStatus, OBJECT_LEARNED);
    EXPECT_EQ(anchor->ScanOrder, nullptr);
    EXPECT_TRUE(cap.Contains(c.message)) << cap.Text();
  }
}

TEST(StringParserTest, NamingFailureNamesTheDirective) {
  qortest::TraceCapture cap("ERROR");
  auto anchor = Compile("A,\"%d %5s\",ye nonsense");
  EXPECT_EQ(anchor->ObjectStatus, OBJECT_INVALID);
  EXPECT_TRUE(cap.Contains("\nError while processing directive #2;  %5s."))
      << cap.Text();
}

TEST(StringParserTest, OptionWarningsAreFlowLevelAndNeverFail) {
  const RejectCase cases[] = {
      {"A,\"%d\",ty=\"%-05d\"",
       "\nWarning: option '-' (left justification) overrides option '0' in print directive for field type."},
      {"A,\"%d\",ty=\"%0-5d\"",
       "\nWarning: option '-' (left justification) overrides option '0' in print directive for field type."},
      {"A,\"%d\",ty=\"% +d\"",
       "\nWarning: option '+' overrides option ' ' in print directive for field type."},
      {"A,\"%d\",ty=\"%+ d\"",
       "\nWarning: option '+' overrides option ' ' in print directive for field type."},
      {"A,\"%s\",ty=\"%#s\"",
       "\nWarning: option '#' is not valid for field type of type %s; option ignored."},
      {"A,\"%x\",ty=\"%+x\"",
       "\nWarning: option '+' is not valid for field type of type %x; option ignored."},
      {"A,\"%c\",ty=\"%0c\"",
       "\nWarning: option '0' is not valid for field type of type %c; option ignored."},
      {"A,\"%x\",ty=\"%'x\"",
       "\nWarning: option ''' is not valid for field type of type %x; option ignored."},
  };
  for (const RejectCase& c : cases) {
    SCOPED_TRACE(c.command);
    {
      qortest::TraceCapture cap("FLOW");
      auto anchor = Compile(c.command);
      EXPECT_EQ(anchor->ObjectStatus, OBJECT_LEARNED);
      EXPECT_TRUE(cap.Contains(c.message)) << cap.Text();
    }
    qortest::TraceCapture quiet("ERROR");
    auto anchor = Compile(c.command);
    EXPECT_FALSE(quiet.Contains("Warning")) << quiet.Text();
  }
  qortest::TraceCapture cap("FLOW");
  auto anchor = Compile("A,\"%d\",ty=\"%++--##d\"");
  ASSERT_EQ(anchor->ObjectStatus, OBJECT_LEARNED);
  EXPECT_STREQ(anchor->ScanOrder->PrintDirective,
               "%+-#d");  // repeats dropped silently
  EXPECT_FALSE(cap.Contains("Warning"));
}

TEST(StringParserTest, DetailLevelShowsKeywordsAndSeparatorAndDestruction) {
  qortest::TraceCapture cap("DETAIL");
  Compile("A,\"%d\",ty=\"%'d\"").reset();
  EXPECT_TRUE(cap.Contains("\nKeyword table entry #2 is (mo)nth."));
  EXPECT_TRUE(cap.Contains("\nKeyword table entry #11 is (de)scription."));
  EXPECT_TRUE(
      cap.Contains("\nThousands separator of the current locale is ''."));
  EXPECT_TRUE(cap.Contains("\ntype object destroyed."));
  EXPECT_TRUE(cap.Contains("\nANCHOR object destroyed."));
}

TEST(StringParserTest, InvalidKeywordTablesAreRejected) {
  const _KeywordFields empty[] = {{nullptr, 0}};
  const _KeywordFields missing[] = {{"year", 2}, {"", 1}, {nullptr, 0}};
  const _KeywordFields too_short[] = {{"year", 5}, {nullptr, 0}};
  std::vector<_KeywordFields> many(102, _KeywordFields{"k", 1});
  many.back() = {nullptr, 0};
  const struct {
    const _KeywordFields* table;
    const char* message;
  } cases[] = {
      {empty, "\nInternal error: valid keyword table is empty."},
      {missing,
       "\nInternal error: entry #2 in keyword table is invalid; keyword is missing."},
      {too_short,
       "\nInternal error: entry #1 in keyword table is invalid; minimum field size, 5, exceeds length of keyword, 4."},
      {many.data(),
       "\nInternal error: number of entries in keyword table exceeds maximum of 100."},
  };
  for (const auto& c : cases) {
    qortest::TraceCapture cap("ERROR");
    auto anchor = Compile("A,\"%d\",k", c.table);
    EXPECT_NE(anchor->ObjectStatus, OBJECT_LEARNED);
    EXPECT_TRUE(cap.Contains(c.message)) << cap.Text();
  }
}

TEST(StringParserTest, PrintSelfDumpsEveryField) {
  auto anchor = Compile("A,\"%(3)5d\",ye=\"%4.2d\"");
  ASSERT_EQ(anchor->ObjectStatus, OBJECT_LEARNED);
  qortest::TraceCapture cap("ERROR");
  anchor->spPrintChain();
  const auto records = cap.Records();
  ASSERT_EQ(records.size(), 2u);
  const StringParser* d = anchor->ScanOrder;
  char expected[1024];
  snprintf(
      expected, sizeof expected,
      "\n\tFieldName\t\t= year\n\tthis\t\t\t= %p\n\tPrintIndex\t\t= 0\n\tScanOrder\t\t= %p"
      "\n\tOffset\t\t\t= 3\n\tMaxFieldSize\t\t= 5\n\tMinFieldSize\t\t= 4\n\tPrecision\t\t= 2"
      "\n\tScanDirective\t\t= \"%%5d\"\n\tPrintDirective\t\t= \"%%4.2d\"\n\tDataType\t\t= 1"
      "\n\tValue\t\t\t= %p\n\tSuppressed\t\t= 0\n\tObjectStatus\t\t= 1\n",
      static_cast<const void*>(d), static_cast<void*>(nullptr), d->Value);
  EXPECT_EQ(records[1], expected);
  EXPECT_NE(records[0].find("\n\tFieldName\t\t= ANCHOR\n"), std::string::npos);
  EXPECT_NE(records[0].find(
                "\n\tScanDirective\t\t= \"\"\n\tPrintDirective\t\t= \"\"\n"),
            std::string::npos);
}

TEST(StringParserTest, ConvertType2CharNamesValidTypesOnly) {
  qortest::TraceCapture cap("ERROR");
  EXPECT_STREQ(StringParser::spConvertType2Char(41), "%Ld");
  EXPECT_STREQ(StringParser::spConvertType2Char(9), "%c");
  EXPECT_STREQ(StringParser::spConvertType2Char(25), "");
  EXPECT_TRUE(cap.Contains("\nInvalid datatype of 25 encountered."));
}

// One text per keyword, each with `capacity` characters of room.
struct Output {
  explicit Output(int64_t capacity = 255) {
    for (int i = 0; i < NUMKEYWORDS; ++i) {
      text[i].assign(3000, '\0');
      slots[i] = {&text[i][0], capacity};
    }
  }
  std::string Get(int index) const { return std::string(text[index].c_str()); }
  std::string text[NUMKEYWORDS];
  _FormatBuffer slots[NUMKEYWORDS];
};

struct LineCase {
  const char* command;
  const char* line;
  long result;
  std::vector<std::pair<int, std::string>> fields;  // slot index, text
  const char* message;                              // null: none expected
};

TEST(StringParserTest, LinesAreScannedAndFormattedIntoSlots) {
  const LineCase cases[] = {
      {"A,\"%d %s\",year description",
       "2024 disk full",
       2,
       {{0, "2024"}, {10, "disk"}},
       nullptr},
      {"A,\"%d %s\",year description",
       "",
       -1,
       {},
       "\nError: end of input found while scanning for variable #1; year. Looking for %d. Scan terminated."},
      {"A,\"%d %s\",year description",
       "2024",
       -1,
       {},
       "\nError: end of input found while scanning for variable #2; description. Looking for  %2047s. Scan terminated."},
      {"A,\"%d : %s\",year description",
       "2024 - x",
       -1,
       {},
       "\nError: scan failed for variable #2; description. Looking for  : %2047s; found  - x. Scan terminated."},
      {"A,\"%(6)s\",de",
       "short",
       -1,
       {},
       "\nError: offset of 6 for column 'description' exceeds string length of 5. Scan terminated."},
      {"A,\"%(5)s\",de", "short", 1, {{10, "t"}}, nullptr},
      {"A,\"%s %s\",de de=\" %s\"",
       "first second",
       2,
       {{10, "first second"}},
       nullptr},
      {"A,\"%*s %*d\",", "abc 12", 0, {}, nullptr},
      {"A,\"%*s %d\",ty=\"\"", "abc 12", 0, {{8, ""}}, nullptr},
      // A column rescans from its position; (1) is no column at all.
      {"A,\"%4d%(3)2d %(1)2c\",ye da mo",
       "20240315",
       3,
       {{0, "2024"}, {2, "24"}, {1, "03"}},
       nullptr},
      {"A,\"%Ld %Lx %lld %lu\",ye mo da ho",
       "123456789012345 ff 9223372036854775807 18446744073709551615",
       4,
       {{0, "123456789012345"},
        {1, "ff"},
        {2, "9223372036854775807"},
        {3, "18446744073709551615"}},
       nullptr},
      {"A,\"%f %lf %Lf %hd %hx\",ye mo da=\"%.2Lf\" ho mi",
       "1.5 2.25 3.5 -5 ffff",
       5,
       {{0, "1.500000"}, {1, "2.250000"}, {2, "3.50"}, {3, "-5"}, {4, "ffff"}},
       nullptr},
      {"A,\"%s %c %d\",ty=\"%c\" cl de=\"100%% <%-4x>\"",
       "Error X 255",
       3,
       {{8, "E"}, {9, "X"}, {10, "100% <ff  >"}},
       nullptr},
      {"A,\"%[^:]:%*[ ]%[^\\n]\",so de",
       "kernel:   disk full\n",
       2,
       {{7, "kernel"}, {10, "disk full"}},
       nullptr},
      {"A,\"%3s\",de", "abcdef", 1, {{10, "abc"}}, nullptr},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " / " + c.line);
    qortest::TraceCapture cap("ERROR");
    auto anchor = Compile(c.command);
    ASSERT_EQ(anchor->ObjectStatus, OBJECT_LEARNED) << cap.Text();
    Output out;
    EXPECT_EQ(anchor->spFormatLine(c.line, out.slots), c.result) << cap.Text();
    std::vector<std::string> expected(NUMKEYWORDS);
    for (const auto& f : c.fields) {
      expected[f.first] = f.second;
    }
    for (int i = 0; i < NUMKEYWORDS; ++i) {
      EXPECT_EQ(out.Get(i), expected[i]) << KEYWORDS[i].Keyword;
      EXPECT_EQ(out.slots[i].Position - &out.text[i][0],
                static_cast<long>(expected[i].size()));
    }
    if (c.message != nullptr) {
      EXPECT_TRUE(cap.Contains(c.message)) << cap.Text();
    } else {
      EXPECT_EQ(cap.Text(), "");
    }
  }
}

TEST(StringParserTest, SlotCapacityCutsTextAndDisablesTheSlot) {
  auto anchor = Compile("A,\"%s %s %d\",de de ye");
  ASSERT_EQ(anchor->ObjectStatus, OBJECT_LEARNED);
  Output out;
  out.slots[10].Remaining = 7;
  out.slots[0].Remaining = 0;
  EXPECT_EQ(anchor->spFormatLine("abcdefghij xyz 12", out.slots), 1);
  EXPECT_EQ(out.Get(10), "abcdefg");
  EXPECT_EQ(out.slots[10].Remaining, 0);
  EXPECT_EQ(out.Get(0), "");
  // Values stay until the next line; a failed line formats nothing.
  Output again;
  EXPECT_EQ(anchor->spFormatLine("only", again.slots), -1);
  EXPECT_EQ(again.Get(10), "");
}

TEST(StringParserTest, HugeWidthsAndValuesNeverOverrunTheScratchText) {
  auto anchor = Compile(
      "A,\"%Lf %lf %s\",de=\"%256.256Lf\" sy=\"%256.256lf\" so=\"%256.256s\"");
  ASSERT_EQ(anchor->ObjectStatus, OBJECT_LEARNED);
  Output out(2900);
  EXPECT_EQ(anchor->spFormatLine("1e4000 -1e308 x", out.slots), 3);
  EXPECT_EQ(out.Get(10).size(), static_cast<size_t>(FORMATBUFSIZE - 1));
  EXPECT_EQ(out.Get(6).size(), 1u + 309u + 1u + 256u);
  EXPECT_EQ(out.Get(7), std::string(255, ' ') + "x");
}

}  // namespace
