// The samples of the three agent classes: log-entries reports, the
// monitored-logs rows and the node-status heartbeat row.
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "agent/kinds/log_file.h"
#include "agent/log_manager.h"
#include "agent/tvxmain.h"
#include "framework/control/main_loop.h"
#include "framework/situations/condition.h"
#include "framework/events/event_output.h"
#include "framework/tables/row_json.h"
#include "table_agents/tvx_vxlogent_agent.h"
#include "table_agents/tvx_vxmonlog_agent.h"
#include "table_agents/x7srv_rnodests_agent.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxmonlog_manager.h"
#include "tables/x7srv_rnodests_manager.h"
#include "tests/agent/log_test_kinds.h"
#include "tests/testutil.h"

namespace qortest {
namespace {

// A log whose report yields `Entries()` rows, all inside any window, and
// that never starts a worker.
class Report_Log : public Log_File {
 public:
  Report_Log(const Valid_Log& log, Log_File* anchor) : Log_File(log, anchor) {}
  static int& Entries() {
    static int n = 0;
    return n;
  }
  void lfProcessLogData() override {}
  long lfFormatEntryAsRow(char*, void*, void*) override { return -1; }
  void* lfStartReportRequest(void*) override { return new int(0); }
  void* lfGetNextLogEntry(void* row, void* report, void*) override {
    int* served = static_cast<int*>(report);
    if (*served >= Entries()) {
      return nullptr;
    }
    ++*served;
    auto* r = static_cast<tvx_vxlogent_data_t*>(row);
    memset(r, ' ', sizeof *r);
    lfFillCommonColumns(r);
    memcpy(r->entrytime, "1261208120000000", 16);
    memcpy(r->entrydesc, *served % 2 == 0 ? "even" : "odd",
           *served % 2 == 0 ? 4 : 3);
    return row;
  }
  void lfEndReportRequest(void** report) override {
    delete static_cast<int*>(*report);
    *report = nullptr;
  }
};

class Report_Manager : public Log_Manager {
 public:
  Report_Manager() : Log_Manager(false) {}

 protected:
  Log_File* lmCreateLogObject(const Valid_Log& log) override {
    return new Report_Log(log, FirstLogObject);
  }
};

// The environment the managers read, restored afterwards.
class TableAgentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_rows_ = gMaxRows;
    log_ = dir_.File("messages");
    WriteFile(log_, "");
    WriteFile(dir_.File("agent.conf"), log_ + "\n");
    setenv("TVX_CONFIG_FILE", dir_.File("agent.conf").c_str(), 1);
    setenv("TVX_SYSLOG_CONF", dir_.File("none").c_str(), 1);
    unsetenv("AGENT_DEBUG_LOG");
  }
  void TearDown() override {
    gMaxRows = saved_rows_;
    unsetenv("TVX_CONFIG_FILE");
    unsetenv("TVX_SYSLOG_CONF");
  }

  // Runs a report with `condition` on a private manager; the rows it
  // collected, and in *cut whether the row limit left matching rows out.
  int Report(const std::string& condition, bool* cut = nullptr) {
    RequestDetail detail;
    detail.appl = "TVX";
    detail.table = "VXLOGENT";
    detail.sampleType = SAMPLE_REPORT;
    std::string err;
    EXPECT_TRUE(ParseCondition(condition, &detail.thresholds, &err)) << err;
    ContextInfo context;
    tvx_vxlogent_manager table("TVX", "VXLOGENT");
    tvx_vxlogent_agent report(&detail, &context, &table);
    report.TakeSample();
    if (cut != nullptr) {
      *cut = report.RowsCut();
    }
    return report.RowCount();
  }
  std::string Window() {
    return "LOGPATH == \"" + dir_.path() + "/\" AND LOGNAME == \"messages\" AND ENTRYTIME >= "
           "\"1261208000000000\" AND ENTRYTIME <= \"1261208235959000\"";
  }

  Scoped_Temp_Dir dir_;
  std::string log_;
  long saved_rows_ = 0;
};

TEST_F(TableAgentsTest, ReportsComeInBatchesBoundedByTheRowLimit) {
  Report_Manager manager;
  Scoped_Log_Manager current(&manager);
  ASSERT_EQ(manager.lmRefresh(), 1u);
  struct Case {
    long max_rows;
    int entries;
    int rows;
    size_t batches;
    bool limit_message;
  } cases[] = {{50, 120, 50, 3, true}, {1000, 45, 45, 3, false}, {1000, 40, 40, 2, false}};
  for (const Case& c : cases) {
    TraceCapture trace("ALL");
    gMaxRows = c.max_rows;
    Report_Log::Entries() = c.entries;
    EXPECT_EQ(Report(Window()), c.rows) << c.entries;
    // Each batch starts again at row 0.
    EXPECT_EQ(trace.Count("Passing row 0 to InsertRow()."), c.batches) << c.entries;
    EXPECT_EQ(trace.Contains("\nMaximum report row limit of 50 reached. Request terminating."),
              c.limit_message);
  }
  // The limit counts the rows that match the condition, and the report
  // says whether it left any out.
  const struct {
    long max_rows;
    int entries;  // half of them "even"
    int rows;
    bool cut;
  } filtered[] = {{5, 12, 5, true},
                  {6, 12, 6, false},
                  {5, 10, 5, false},
                  {50, 120, 50, true}};
  for (const auto& c : filtered) {
    gMaxRows = c.max_rows;
    Report_Log::Entries() = c.entries;
    bool cut = !c.cut;
    EXPECT_EQ(Report(Window() + " AND ENTRYDESC == \"even\"", &cut), c.rows)
        << c.entries;
    EXPECT_EQ(cut, c.cut) << c.max_rows << " of " << c.entries;
  }
  // Reports count themselves in and out with the manager.
  EXPECT_EQ(manager.UseCount, 0u);
}

TEST_F(TableAgentsTest, ReportsWithoutAWholeSelectionReturnNothing) {
  Report_Manager manager;
  Scoped_Log_Manager current(&manager);
  ASSERT_EQ(manager.lmRefresh(), 1u);
  Report_Log::Entries() = 5;
  {
    TraceCapture trace("ERROR");
    EXPECT_EQ(Report("LOGPATH == \"" + dir_.path() + "/\" AND ENTRYTIME >= \"1\""), 0);
    EXPECT_EQ(trace.Text(), "");  // no LOGNAME: nothing to say
  }
  {
    TraceCapture trace("ERROR");
    EXPECT_EQ(Report("LOGPATH == \"/var/adm/\" AND LOGNAME == \"messages\""), 0);
    EXPECT_TRUE(trace.Contains("\nLog file /var/adm/messages is not being monitored."));
  }
  {
    TraceCapture trace("ERROR");
    EXPECT_EQ(Report("LOGPATH == \"" + dir_.path() + "/\" AND LOGNAME == \"messages\" AND "
                     "ENTRYTIME < \"1261208000000000\" AND ENTRYTIME <= \"1261208235959000\""),
              0);
    EXPECT_TRUE(trace.Contains("\nInvalid ENTRYTIME compare operator; value is 5. Threshold ignored."));
    EXPECT_TRUE(trace.Contains("\nReport start and/or end time missing. Terminating request."));
  }
  {
    // The node and log columns are the same in every row of a report and
    // are compared once: a path split elsewhere names the log but matches
    // none of its rows, and so does a second, other path.
    const std::string dir = dir_.path();
    const size_t slash = dir.rfind('/');
    const std::string times =
        " AND ENTRYTIME >= \"1261208000000000\" AND ENTRYTIME <= \"1261208235959000\"";
    EXPECT_EQ(Report("LOGPATH == \"" + dir.substr(0, slash + 1) +
                     "\" AND LOGNAME == \"" + dir.substr(slash + 1) +
                     "/messages\"" + times),
              0);
    EXPECT_EQ(Report(Window() + " AND LOGPATH == \"/var/adm/\""), 0);
    EXPECT_EQ(Report(Window() + " AND ORIGINNODE == \"elsewhere\""), 0);
    EXPECT_EQ(Report(Window() +
                     " AND ORIGINNODE != \"elsewhere\" AND LOGNAME ~ \"mess\""),
              5);
  }
  {
    // The window is kept to by the report itself where its bounds are whole
    // time stamps (this log returns rows outside it), and by the
    // thresholds otherwise; bounds are inclusive either way.
    const std::string log =
        "LOGPATH == \"" + dir_.path() + "/\" AND LOGNAME == \"messages\"";
    EXPECT_EQ(
        Report(
            log +
            " AND ENTRYTIME >= \"1261208130000000\" AND ENTRYTIME <= \"1261208235959000\""),
        0);
    EXPECT_EQ(
        Report(
            log +
            " AND ENTRYTIME >= \"1261208000000000\" AND ENTRYTIME <= \"1261208110000000\""),
        0);
    EXPECT_EQ(
        Report(
            log +
            " AND ENTRYTIME >= \"126120813\" AND ENTRYTIME <= \"1261208235959000\""),
        0);
    EXPECT_EQ(
        Report(
            log +
            " AND ENTRYTIME >= \"1261208120000000\" AND ENTRYTIME <= \"1261208120000000\""),
        5);
    EXPECT_EQ(
        Report(
            log +
            " AND ENTRYTIME >= \"1261208120000000\" AND ENTRYTIME <= \"1261208120000000\""
            " AND ENTRYTIME > \"1261208120000000\""),
        0);
  }
  {
    // A start time shorter than a time stamp is completed, not over-read.
    EXPECT_EQ(Report("LOGPATH == \"" + dir_.path() + "/\" AND LOGNAME == \"messages\" AND "
                     "ENTRYTIME >= \"126\" AND ENTRYTIME <= \"1261208235959000\""),
              5);
  }
}

// A request object of one table, made as the runtime makes one.
template <typename Manager, typename Agent>
struct Table_Request {
  Table_Request(const char* appl, const char* table)
      : detail(Detail(appl, table)), manager(appl, table) {}
  static RequestDetail Detail(const char* appl, const char* table) {
    RequestDetail d;
    d.appl = appl;
    d.table = table;
    return d;
  }
  RequestDetail detail;
  ContextInfo context;
  Manager manager;
  Agent agent{&detail, &context, &manager};
};
using Monlog_Request = Table_Request<tvx_vxmonlog_manager, tvx_vxmonlog_agent>;

tvx_vxmonlog_data_t MonlogRow(Log_File* log) {
  Monlog_Request request("TVX", "VXMONLOG");
  tvx_vxmonlog_data_t row;
  request.agent.BuildTableRow(&row, log);
  return row;
}

std::string Text(const char* field, size_t width) { return std::string(field, width); }

TEST_F(TableAgentsTest, MonitoredLogRowsDescribeEachLog) {
  char name[] = "testhost:TVX";
  gSystemName = name;
  gSystemNameLength = static_cast<int>(strlen(name));
  // A directory part of 280 characters and a 20-character file name.
  std::string deep = dir_.path();
  while (deep.size() < 279) {
    deep += "/" + std::string(std::min<size_t>(50, 279 - deep.size() - 1), 'd');
  }
  std::error_code made;
  std::filesystem::create_directories(deep, made);
  ASSERT_FALSE(made) << made.message();
  const std::string long_path = deep + "/" + std::string(20, 'n');
  WriteFile(long_path, "12345");
  const std::string gone = dir_.File("gone.log");
  WriteFile(gone, "");
  WriteFile(dir_.File("agent.conf"), log_ + " ;Y ;U ;%s ENTRYDESC\n" + long_path + "\n" + gone + "\n");
  Test_Manager manager;
  Scoped_Log_Manager current(&manager);
  ASSERT_EQ(manager.lmRefresh(), 3u);
  ASSERT_EQ(unlink(gone.c_str()), 0);

  TraceCapture trace("ERROR");
  const tvx_vxmonlog_data_t user = MonlogRow(manager.Log(0));
  EXPECT_EQ(Text(user.originnode, 12), "testhost:TVX");
  EXPECT_EQ(user.logtype[0], 'U');
  EXPECT_EQ(user.debugmode[0], 'Y');
  EXPECT_EQ(Text(user.formatter, 14), "%s ENTRYDESC  ");
  EXPECT_EQ(Text(user.monstatus, 8), "Running ");
  EXPECT_EQ(user.logsize, 0);
  EXPECT_EQ(user.sampleno, 0);

  const tvx_vxmonlog_data_t deep_row = MonlogRow(manager.Log(1));
  EXPECT_EQ(Text(deep_row.logpath, 256), (deep + "/").substr(0, 256));
  EXPECT_EQ(Text(deep_row.logname, 21), std::string(20, 'n') + " ");
  EXPECT_EQ(Text(deep_row.formatter, 256), std::string(256, ' '));
  EXPECT_EQ(deep_row.logsize, 5);

  // Counters and sizes past a 32-bit column show its maximum, never a
  // wrapped value (-1 would read as "cannot stat").
  ASSERT_EQ(truncate(long_path.c_str(), 4294967295LL), 0);  // sparse
  manager.Log(1)->NumEvents = 1ULL << 33;
  manager.Log(1)->NumFormatErrors = 3000000000ULL;
  const tvx_vxmonlog_data_t big = MonlogRow(manager.Log(1));
  EXPECT_EQ(big.logsize, INT32_MAX);
  EXPECT_EQ(big.numevents, INT32_MAX);
  EXPECT_EQ(big.numerrors, INT32_MAX);

  const tvx_vxmonlog_data_t gone_row = MonlogRow(manager.Log(2));
  EXPECT_EQ(gone_row.logsize, -1);
  EXPECT_EQ(Text(gone_row.logmoddate, 16), std::string(16, '0'));
  EXPECT_TRUE(trace.Contains("\nstat() command failed for " + gone + "; errno = 2; "));
  gSystemName = nullptr;
  gSystemNameLength = 0;
}

TEST_F(TableAgentsTest, NoLogsGiveNoRows) {
  WriteFile(dir_.File("agent.conf"), "# nothing\n");
  Test_Manager manager;
  Scoped_Log_Manager current(&manager);
  TraceCapture trace("ALL");
  Monlog_Request request("TVX", "VXMONLOG");
  request.agent.TakeSample();
  EXPECT_EQ(request.agent.RowCount(), 0);
  EXPECT_TRUE(trace.Contains("\nNo logs are currently being monitored."));
}

TEST(NodeStatusTest, HeartbeatRowIsZeroFilledCutAndCounted) {
  char name[] = "a-very-long-system-name-of-forty-chars:X";
  gSystemName = name;
  gSystemNameLength = static_cast<int>(strlen(name));
  const std::string affinity(60, 'a');
  ZEP_SetAffinity(affinity.c_str());
  Table_Request<x7srv_rnodests_manager, x7srv_rnodests_agent> request(
      "X7SRV", "RNODESTS");
  x7srv_rnodests_agent& agent = request.agent;
  agent.TakeSample();
  ASSERT_EQ(agent.RowCount(), 1);
  auto row = *reinterpret_cast<const x7srv_rnodests_data_t*>(agent.Row(0));
  EXPECT_EQ(row.sampleno, 1u);
  EXPECT_EQ(Text(row.originnode, 32), std::string(name, 32));
  EXPECT_EQ(Text(row.product, 4), std::string("VX\0\0", 4));
  EXPECT_EQ(Text(row.online, 4), std::string(4, '\0'));
  EXPECT_EQ(Text(row.nodetype, 4), std::string("V\0\0\0", 4));
  EXPECT_EQ(Text(row.version, 12), std::string("02.00.00\0\0\0\0", 12));
  EXPECT_EQ(Text(row.affinities, 48), std::string(48, 'a'));
  char now[16];
  GenerateTimestamp(time(nullptr), now);
  EXPECT_EQ(Text(row.timestamp, 7), Text(now, 7));  // today's date
  EXPECT_EQ(Text(row.timestamp + 13, 3), "000");
  agent.TakeSample();
  ASSERT_EQ(agent.RowCount(), 1);
  EXPECT_EQ(reinterpret_cast<const x7srv_rnodests_data_t*>(agent.Row(0))->sampleno, 2u);
  ZEP_SetAffinity("");
  gSystemName = nullptr;
  gSystemNameLength = 0;
}

// A log-entries row as JSON: its 16- and 32-byte text columns hold every
// byte at every place of texts of several lengths, the rest blank or NUL
// padding, and come out as JSON strings of their text alone.
TEST(LogEntryJsonTest, ShortTextColumnsComeOutWhateverTheirBytes) {
  Table_Request<tvx_vxlogent_manager, tvx_vxlogent_agent> request("TVX",
                                                                  "VXLOGENT");
  Row_Json_Writer writer(request.agent);
  for (const size_t length : {1, 9, 16, 17, 31, 32}) {
    for (int c = 0; c < 256; ++c) {
      for (size_t at = 0; at < length; ++at) {
        std::string text(length, 'a');
        text[at] = static_cast<char>(c);
        tvx_vxlogent_data_t row;
        memset(&row, ' ', sizeof row);
        memset(row.entrysrc, '\0', sizeof row.entrysrc);
        memcpy(row.entrysys, text.data(), length);
        memcpy(row.entrysrc, text.data(), length);
        std::string type_text = text.substr(0, length < 16 ? length : 16);
        memcpy(row.entrytype, type_text.data(), type_text.size());
        while (!type_text.empty() &&
               (type_text.back() == ' ' || type_text.back() == '\0')) {
          type_text.pop_back();
        }
        std::string json;
        writer.Append(reinterpret_cast<const char*>(&row), &json);
        std::string sys = text;
        while (!sys.empty() && (sys.back() == ' ' || sys.back() == '\0')) {
          sys.pop_back();
        }
        std::string expected = ",\"ENTRYSYS\":";
        JsonAppendString(&expected, sys);
        expected += ",\"ENTRYSRC\":";
        JsonAppendString(&expected, sys);
        expected += ",\"ENTRYTYPE\":";
        JsonAppendString(&expected, type_text);
        ASSERT_NE(json.find(expected), std::string::npos)
            << "byte " << c << " at " << at << " of " << length << ": " << json;
      }
    }
  }
}

// A writer remembers each text column's last field: over rows whose
// columns repeat, change for many rows running, and come back, each row
// still comes out as a writer new to it writes it.
TEST(LogEntryJsonTest, RepeatedColumnsComeOutAsARowAlone) {
  Table_Request<tvx_vxlogent_manager, tvx_vxlogent_agent> request("TVX",
                                                                  "VXLOGENT");
  Row_Json_Writer writer(request.agent);
  for (int i = 0; i < 300; ++i) {
    tvx_vxlogent_data_t row;
    memset(&row, ' ', sizeof row);
    const std::string path = i % 100 < 50 ? "/var/log/" : "/srv/app/logs/";
    memcpy(row.logpath, path.data(), path.size());
    // Changes every row, then stays, then takes the last byte of its field.
    const std::string desc =
        i < 100 ? "line " + std::to_string(i) : (i < 200 ? "same" : "same\"");
    memcpy(row.entrydesc + (i < 200 ? 0 : sizeof row.entrydesc - desc.size()),
           desc.data(), desc.size());
    // Every other row, then every third.
    memcpy(row.entrysys, i % (i < 150 ? 2 : 3) == 0 ? "a" : "b\"\t", 1);
    row.freqthresh = i % 7;
    const Row_Side_Text::Text text = {desc.data(), desc.size()};
    std::string json;
    writer.Append(reinterpret_cast<const char*>(&row), &json, &text);
    std::string alone;
    Row_Json_Writer(request.agent)
        .Append(reinterpret_cast<const char*>(&row), &alone, &text);
    ASSERT_EQ(json, alone) << "row " << i;
  }
}

// Rows whose columns each repeat, change now and then or change row after
// row, at random (some often enough to be left uncompared for a while):
// each row comes out as a writer new to it writes it.
TEST(LogEntryJsonTest, RowsOfColumnsThatChangeAtRandomComeOutAsARowAlone) {
  Table_Request<tvx_vxlogent_manager, tvx_vxlogent_agent> request("TVX",
                                                                  "VXLOGENT");
  Row_Json_Writer writer(request.agent);
  unsigned seed = 7;
  const auto next = [&seed](unsigned n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  tvx_vxlogent_data_t row;
  memset(&row, '\0', sizeof row);
  auto* const bytes = reinterpret_cast<char*>(&row);
  const size_t offsets[] = {0,   64,  320, 448, 464, 496, 528,
                            544, 560, 816, 820, 824, 840, 844};
  for (int i = 0; i < 5000; ++i) {
    // Each column changes one row in 1, 2, 3, 20 or never, by its place.
    for (size_t k = 0; k < 14; ++k) {
      const unsigned every[] = {1, 2, 3, 20, 1000000};
      if (next(every[(k * 3 + static_cast<size_t>(i / 700)) % 5]) != 0) {
        continue;
      }
      const size_t at = offsets[k];
      if (k >= 9 && k != 11) {
        const int32_t v = static_cast<int32_t>(next(3)) - 1;
        memcpy(bytes + at, &v, sizeof v);
      } else {
        // A few values of several lengths, one with a quote.
        const char* const texts[] = {"a", "bb\"", "", "ccccccccccccccccc"};
        const size_t end = k + 1 < 14 ? offsets[k + 1] : sizeof row;
        memset(bytes + at, '\0', end - at);
        const char* t = texts[next(4)];
        memcpy(bytes + at, t, std::min(strlen(t), end - at));
      }
    }
    std::string json;
    writer.Append(bytes, &json);
    std::string alone;
    Row_Json_Writer(request.agent).Append(bytes, &alone);
    ASSERT_EQ(json, alone) << "row " << i;
  }
}

// A writer keeps the entry time it converted last: the same field in
// another zone, another field, and a caller's text that holds something
// else all come out as a conversion of their own.
TEST(LogEntryJsonTest, EntryTimeFollowsItsFieldAndTheZone) {
  Table_Request<tvx_vxlogent_manager, tvx_vxlogent_agent> request("TVX",
                                                                  "VXLOGENT");
  Row_Json_Writer writer(request.agent);
  const char* saved = getenv("TZ");
  const std::string old = saved != nullptr ? saved : "";
  tvx_vxlogent_data_t row;
  memset(&row, '\0', sizeof row);
  const auto* const bytes = reinterpret_cast<const char*>(&row);
  std::string out;
  for (const char* zone : {"Europe/Berlin", "Asia/Tokyo", "Europe/Berlin"}) {
    setenv("TZ", zone, 1);
    tzset();
    // Each zone's last stamp is the next one's first.
    for (const char* stamp : {"1261209010729000", "1261209010730123",
                              "1261209010730123", "1261209010729000"}) {
      memcpy(row.entrytime, stamp, 16);
      writer.EntryTime(bytes, &out);
      EXPECT_EQ(out, StampToRfc3339(stamp, 16)) << zone << " " << stamp;
      out = "other";
      writer.EntryTime(bytes, &out);
      EXPECT_EQ(out, StampToRfc3339(stamp, 16)) << zone << " " << stamp;
    }
  }
  if (saved != nullptr) {
    setenv("TZ", old.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// A sample's writer keeps the text of the columns the sample fills alike
// and remembers the others, integers too: each row still comes out as a
// writer new to it writes it.
TEST(LogEntryJsonTest, SampleRowsComeOutAsARowAlone) {
  Table_Request<tvx_vxlogent_manager, tvx_vxlogent_agent> request("TVX",
                                                                  "VXLOGENT");
  const vandu::Constant_Columns constant(&request.agent,
                                         {"logname", "freqthresh"});
  Row_Json_Writer writer(request.agent, /*sample_rows=*/true);
  tvx_vxlogent_data_t row;
  memset(&row, '\0', sizeof row);
  memcpy(row.logname, "syslog", 6);
  row.freqthresh = 5;
  for (int i = 0; i < 300; ++i) {
    // Repeats for a while, then changes row after row, then repeats.
    row.periodthrs = i < 100 || i >= 200 ? 60 : i;
    row.sampleno = i / 7 - 20;
    row.rowno = static_cast<int32_t>(i % 3 == 0 ? -2147483647 - 1 : i);
    memcpy(row.entrysrc, i % 2 == 0 ? "a\"" : "bb", 2);
    std::string json;
    writer.Append(reinterpret_cast<const char*>(&row), &json);
    std::string alone;
    Row_Json_Writer(request.agent)
        .Append(reinterpret_cast<const char*>(&row), &alone);
    ASSERT_EQ(json, alone) << "row " << i;
  }
}

// The exact JSON of log-entries rows, written twice by one writer (the
// second time from what it remembers of each column) and once more with
// every column changed: escapes, bytes past ASCII and broken UTF-8, NULs
// inside a text, empty and full-width columns, the integers at their limits.
TEST(LogEntryJsonTest, RowsComeOutExactlyAsBefore) {
  Table_Request<tvx_vxlogent_manager, tvx_vxlogent_agent> request("TVX",
                                                                  "VXLOGENT");
  Row_Json_Writer writer(request.agent);
  tvx_vxlogent_data_t row;
  memset(&row, '\0', sizeof row);
  memset(row.originnode, 'n', sizeof row.originnode);
  memcpy(row.logpath, "/var/log/a \"b\"\\c", 17);
  memcpy(row.entrytime, "1261209010729123", 16);
  memcpy(row.entrysys, "h\x01\x7f\xc3\xa9\xff\xc0\xaf", 8);
  memset(row.entrysrc, ' ', sizeof row.entrysrc);
  memcpy(row.entrysrc, "sshd[7]", 7);
  memcpy(row.entrytype, "a\0b \t", 5);
  memset(row.entryclass, ' ', sizeof row.entryclass);
  memset(row.entrydesc, 'd', sizeof row.entrydesc);
  row.entrydesc[sizeof row.entrydesc - 1] = '"';
  row.freqthresh = -5;
  row.periodthrs = INT32_MIN;
  memcpy(row.timestamp, "1261209010729000", 16);
  row.sampleno = 0;
  row.rowno = INT32_MAX;
  const std::string entry = "Dec  9 01:07:29 h sshd[7]: \"x\"\n\x80";
  const Row_Side_Text::Text text = {entry.data(), entry.size()};
  const std::string expected =
      "{\"ORIGINNODE\":\"" + std::string(64, 'n') +
      "\",\"LOGPATH\":\"/var/log/a \\\"b\\\"\\\\c\",\"LOGNAME\":\"\","
      "\"ENTRYTIME\":\"1261209010729123\","
      "\"ENTRYSYS\":\"h\\u0001\\u007f\xc3\xa9\\u00ff\\u00c0\\u00af\","
      "\"ENTRYSRC\":\"sshd[7]\",\"ENTRYTYPE\":\"a\\u0000b \\t\","
      "\"ENTRYCLASS\":\"\",\"ENTRYDESC\":\"" +
      std::string(255, 'd') +
      "\\\"\",\"FREQTHRESH\":-5,\"PERIODTHRS\":-2147483648,"
      "\"TIMESTAMP\":\"1261209010729000\",\"SAMPLENO\":0,"
      "\"ROWNO\":2147483647,\"entry\":\"Dec  9 01:07:29 h sshd[7]: "
      "\\\"x\\\"\\n\\u0080\"}";
  for (int i = 0; i < 6; ++i) {
    std::string json = "before ";
    writer.Append(reinterpret_cast<const char*>(&row), &json, &text);
    ASSERT_EQ(json, "before " + expected) << i;
  }
  memset(&row, ' ', sizeof row);
  memcpy(row.logname, "syslog", 6);
  row.freqthresh = 0;
  row.periodthrs = 42;
  row.sampleno = -1;
  row.rowno = 1;
  std::string json;
  writer.Append(reinterpret_cast<const char*>(&row), &json);
  EXPECT_EQ(json,
            "{\"ORIGINNODE\":\"\",\"LOGPATH\":\"\",\"LOGNAME\":\"syslog\","
            "\"ENTRYTIME\":\"\",\"ENTRYSYS\":\"\",\"ENTRYSRC\":\"\","
            "\"ENTRYTYPE\":\"\",\"ENTRYCLASS\":\"\",\"ENTRYDESC\":\"\","
            "\"FREQTHRESH\":0,\"PERIODTHRS\":42,\"TIMESTAMP\":\"\","
            "\"SAMPLENO\":-1,\"ROWNO\":1}");
}

}  // namespace
}  // namespace qortest
