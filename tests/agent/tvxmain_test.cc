// Tests of the process entry: the environment report and its limits.
#include "agent/tvxmain.h"

#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/control/main_loop.h"
#include "tests/testutil.h"

namespace {

// Sets (or, for null, unsets) one environment variable for a scope.
class Scoped_Env {
 public:
  Scoped_Env(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    old_ = had_ ? old : "";
    Set(value);
  }
  ~Scoped_Env() { Set(had_ ? old_.c_str() : nullptr); }
  Scoped_Env(const Scoped_Env&) = delete;
  Scoped_Env& operator=(const Scoped_Env&) = delete;

 private:
  void Set(const char* value) {
    value != nullptr ? setenv(name_.c_str(), value, 1)
                     : unsetenv(name_.c_str());
  }
  std::string name_;
  std::string old_;
  bool had_;
};

// Index of the first record equal to `text`, or -1.
int Find(const std::vector<std::string>& records, const std::string& text) {
  const auto it = std::find(records.begin(), records.end(), text);
  return it == records.end() ? -1 : static_cast<int>(it - records.begin());
}

TEST(TvxmainTest, CheckEnvironmentReadsTheReportRowLimit) {
  const struct {
    const char* value;
    long rows;
    bool error;
  } cases[] = {
      {nullptr, 1000, false},  {"", 1000, false},
      {"0", 1000, true},       {"-5", 1000, true},
      {"letters", 1000, true}, {"250", 250, false},
      {"250abc", 250, false},  {"99999999999999999999", 1000, true},
  };
  for (const auto& c : cases) {
    const std::string what = c.value != nullptr ? c.value : "(unset)";
    Scoped_Env rows("TVX_MAX_ROWS", c.value);
    qortest::TraceCapture trace("TVX100:ERROR,FLOW");
    gMaxRows = 7;
    CheckEnvironment();
    EXPECT_EQ(gMaxRows, c.rows) << what;
    const std::vector<std::string> records = trace.Records();
    const int error =
        Find(records, "\nError converting TVX_MAX_ROWS value of " + what +
                          " to integer; using default value.");
    const int by_default = Find(
        records, "\nMaximum Log Entries report rows set to default of 1000.");
    const int set =
        Find(records, "\nMaximum Log Entries report rows set to 250.");
    EXPECT_EQ(error >= 0, c.error) << what;
    EXPECT_EQ(by_default >= 0, c.rows == 1000) << what;
    EXPECT_EQ(set >= 0, c.rows == 250) << what;
    if (c.error) {
      EXPECT_LT(error, by_default) << what;
    }
  }
}

TEST(TvxmainTest, WithoutFlowLevelOnlyTheTraceControlLineIsWritten) {
  Scoped_Env rows("TVX_MAX_ROWS", "250");
  {
    Scoped_Env control("JOP_WEX1", "TVX100:ERROR");
    qortest::TraceCapture trace("TVX100:ERROR");
    CheckEnvironment();
    EXPECT_EQ(gMaxRows, 250);
    EXPECT_EQ(trace.Records(),
              std::vector<std::string>{"\nJOP_WEX1 = TVX100:ERROR"});
  }
  Scoped_Env control("JOP_WEX1", nullptr);
  qortest::TraceCapture trace("TVX100:DETAIL");
  CheckEnvironment();
  EXPECT_EQ(trace.Records(),
            std::vector<std::string>{"\nJOP_WEX1 is not defined."});
}

TEST(TvxmainTest, EnvironmentReportListsTheLimitsInOrder) {
  Scoped_Env rows("TVX_MAX_ROWS", nullptr);
  qortest::TraceCapture trace("TVX100:FLOW");
  CheckEnvironment();
  const std::string text = trace.Text();
  char cwd[1025];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string labels[] = {
      "\nJOP_WEX1",
      "\nMaximum Log Entries report rows set to default of 1000.",
      "\nPOSIX_VERSION\t\t= " + std::to_string(sysconf(_SC_VERSION)) +
          "\tPOSIX version. \n",
      "\nCHAR_BIT\t\t= 8\tNo. of bits per char.\n",
      "\nINT_MAX\t\t\t= 2147483647\tMax. value of int.\n",
      "\nLONG_MAX\t\t= 9223372036854775807\tMax. value of long.\n",
      "\nTHREADS\t\t\t= ",
      "\nTHREAD_THREADS_MAX\t= ",
      "\nYOM1_PTHREAD_DRAFT\t= 10\tPOSIX thread draft.\n",
      "\nARG_MAX\t\t\t= ",
      "\nCHILD_MAX\t\t= ",
      "\nOPEN_MAX\t\t= " + std::to_string(sysconf(_SC_OPEN_MAX)) +
          "\tMax. no. open files per process. \n",
      "\nSTREAM_MAX\t\t= ",
      "\nSAVED_IDS\t\t= ",
      "\nCLK_TCK\t\t\t= " + std::to_string(sysconf(_SC_CLK_TCK)) +
          "\tNo. of clock ticks per second. \n",
      "\nCurrent working directory is " + std::string(cwd) +
          ". The following limits apply to the cwd and to the specific file system to which it "
          "belongs.\n",
      "\nPATH_MAX\t\t= ",
      "\nNAME_MAX\t\t= ",
      "\nLINK_MAX\t\t= ",
      "\nPIPE_BUF\t\t= " + std::to_string(pathconf(cwd, _PC_PIPE_BUF)) +
          "\tMax. bytes that can be written atomically to a pipe. \n",
      "\nCHOWN_RESTRICTED\t= ",
      "\nCurrent locale categories are ",
      "\nNew locale categories are " + std::string(setlocale(LC_ALL, nullptr)) +
          ".\n",
  };
  // Records are joined with a newline so that each line's end shows.
  std::string joined;
  for (const std::string& r : trace.Records()) {
    joined += r + "\n";
  }
  size_t at = 0;
  for (const std::string& label : labels) {
    const size_t found = joined.find(label, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << label;
    at = found + label.size();
  }
  if (sysconf(_SC_THREAD_THREADS_MAX) < 0) {
    EXPECT_NE(
        text.find(
            "\nTHREAD_THREADS_MAX\t= -1\tMax. no. threads per process. >> Undefined <<"),
        std::string::npos);
  }
}

class TvxmainSystemNameTest : public ::testing::Test {
 protected:
  void TearDown() override { ShutDown(); }
  std::string ShortNodeName() {
    struct utsname u;
    EXPECT_EQ(uname(&u), 0);
    std::string name = u.nodename;
    return name.substr(0, name.find('.'));
  }
  Scoped_Env system_name_{"HOV_SYSTEM_NAME", nullptr};
};

TEST_F(TvxmainSystemNameTest, NodeTypeDefaultsToTvxOnlyWhenTheVariableIsUnset) {
  const struct {
    const char* node_type;
    const char* suffix;
  } cases[] = {
      {nullptr, ":TVX"},  // ZEP_SetNodeType("TVX") replaces the earlier type
      {"", ":EARLIER"},   // defined though empty: the node type is left alone
      {"ABC", ":ABC"},
  };
  for (const auto& c : cases) {
    const std::string what = c.node_type != nullptr ? c.node_type : "(unset)";
    Scoped_Env node_type("VANDU_NODETYPE", c.node_type);
    ZEP_SetNodeType("EARLIER");
    qortest::TraceCapture trace("TVX100:DETAIL");
    GetSystemName();
    ASSERT_NE(gSystemName, nullptr);
    const std::string expected = (ShortNodeName() + c.suffix).substr(0, 32);
    EXPECT_EQ(std::string(gSystemName), expected) << what;
    EXPECT_EQ(gSystemNameLength, static_cast<int>(expected.size())) << what;
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    EXPECT_STREQ(gHostName, u.nodename);
    EXPECT_EQ(trace.Records(),
              std::vector<std::string>{"\ngSystemName = " + expected +
                                       " ; gHostName = " + u.nodename})
        << what;
    ShutDown();
    EXPECT_EQ(gSystemName, nullptr);
  }
}

}  // namespace
