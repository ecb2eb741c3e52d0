// The three table classes: row layouts as announced to the runtime, the
// trace dump, and event delivery to the live situations of VXLOGENT.
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/events/event_sink.h"
#include "framework/situations/condition.h"
#include "table_agents/tvx_vxlogent_agent.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tables/tvx_vxmonlog_base.h"
#include "tables/tvx_vxmonlog_manager.h"
#include "tables/x7srv_rnodests_base.h"
#include "tables/x7srv_rnodests_manager.h"
#include "tests/testutil.h"

namespace {

// The tables register once per process; a second registration is refused.
void RegisterTables() {
  if (TableManager::Find("X7SRV.RNODESTS") == nullptr) {
    ASSERT_EQ(x7srv_rnodests_init(), 0u);
    ASSERT_EQ(tvx_vxmonlog_init(), 0u);
    ASSERT_EQ(tvx_vxlogent_init(), 0u);
  }
}

tvx_vxlogent_data_t Entry(int rowno, const char* src, const char* desc) {
  tvx_vxlogent_data_t r;
  memset(&r, ' ', sizeof r);
  SetTextColumn(r.originnode, sizeof r.originnode, "host:TVX");
  SetTextColumn(r.logpath, sizeof r.logpath, "/var/log/");
  SetTextColumn(r.logname, sizeof r.logname, "auth.log");
  SetTextColumn(r.entrytime, sizeof r.entrytime, "1261208023000000");
  SetTextColumn(r.entrysys, sizeof r.entrysys, "host");
  SetTextColumn(r.entrysrc, sizeof r.entrysrc, src);
  SetTextColumn(r.entrydesc, sizeof r.entrydesc, desc);
  SetTextColumn(r.timestamp, sizeof r.timestamp, "1261208024000000");
  r.freqthresh = r.periodthrs = r.sampleno = 0;
  r.rowno = rowno;
  return r;
}

// A request object of table class T built without a manager.
template <class T>
std::unique_ptr<T> Request(const char* appl, const char* table,
                           int interval = 0, int sample_type = SAMPLE_REPORT) {
  RequestDetail d;
  d.appl = appl;
  d.table = table;
  d.interval = interval;
  d.sampleType = sample_type;
  ContextInfo c;
  c.requestId = 7;
  return std::make_unique<T>(&d, &c, nullptr);
}

TEST(TableSchemaTest, RowLayoutsAreAnnouncedColumnByColumn) {
  auto logent = Request<tvx_vxlogent_base>("TVX", "VXLOGENT");
  auto monlog = Request<tvx_vxmonlog_base>("TVX", "VXMONLOG");
  auto nodests = Request<x7srv_rnodests_base>("X7SRV", "RNODESTS");
  const struct {
    vandu* v;
    int columns;
    int row_size;
  } tables[] = {{logent.get(), 14, 848},
                {monlog.get(), 15, 812},
                {nodests.get(), 10, 144}};
  for (const auto& t : tables) {
    SCOPED_TRACE(t.v->TableName());
    ASSERT_EQ(t.v->NumColumns(), t.columns);
    EXPECT_EQ(t.v->RowSize(), t.row_size);
    int end = 0;
    for (int i = 0; i < t.columns; ++i) {
      ColumnInfo info{};
      ASSERT_EQ(t.v->GetColumnInfo(&info, i), 0u) << i;
      EXPECT_GE(info.Offset, end) << info.AttributeName;
      EXPECT_TRUE(info.Type == 9 || ((info.Type == 3 || info.Type == 4) &&
                                     info.Width == 4 && info.Offset % 4 == 0))
          << info.AttributeName;
      end = info.Offset + info.Width;
    }
    EXPECT_EQ(end, t.row_size);
    // Outside the table: the result code and the record left as it was.
    for (const int index : {t.columns, t.columns + 1, -1, INT_MIN}) {
      ColumnInfo info;
      memset(&info, 0xAB, sizeof info);
      ColumnInfo before = info;
      EXPECT_EQ(t.v->GetColumnInfo(&info, index), 0x21060007u) << index;
      EXPECT_EQ(memcmp(&info, &before, sizeof info), 0) << index;
    }
  }
  const struct {
    vandu* v;
    int index;
    const char* attribute;
    uint16_t offset, width, type;
  } spots[] = {
      {logent.get(), 9, "freqthresh", 816, 4, 3},
      {monlog.get(), 6, "numevents", 500, 4, 3},
      {monlog.get(), 12, "timestamp", 785, 16, 9},
      {monlog.get(), 13, "sampleno", 804, 4, 3},
      {nodests.get(), 0, "sampleno", 0, 4, 4},
  };
  for (const auto& s : spots) {
    ColumnInfo info{};
    ASSERT_EQ(s.v->GetColumnInfo(&info, s.index), 0u);
    EXPECT_STREQ(info.AttributeName, s.attribute);
    EXPECT_EQ(info.Offset, s.offset) << s.attribute;
    EXPECT_EQ(info.Width, s.width) << s.attribute;
    EXPECT_EQ(info.Type, s.type) << s.attribute;
  }
}

TEST(TableSchemaTest, NameThatIsNoColumnOfTheTableNeverHolds) {
  auto logent = Request<tvx_vxlogent_base>("TVX", "VXLOGENT");
  auto nodests = Request<x7srv_rnodests_base>("X7SRV", "RNODESTS");
  const char value[] = "zzz";
  const GIR1_FILTERINFO differs = {GIR1_NE, "X", GIR1_TEXT, 3, value};
  const tvx_vxlogent_data_t row = Entry(0, "sshd", "x");
  const char* r = reinterpret_cast<const char*>(&row);
  EXPECT_EQ(logent->ColumnIsException(r, "ENTRYSRC", GIR1_NE, &differs), 1);
  for (const char* name : {"NOSUCH", "", "entrysrc", "LOGTYPE"}) {
    EXPECT_EQ(logent->ColumnIsException(r, name, GIR1_NE, &differs), 0) << name;
  }
  EXPECT_EQ(nodests->ColumnIsException(r, "ENTRYSRC", GIR1_NE, &differs), 0);
}

TEST(TableSchemaTest, PrintSelfDumpsTheObjectAndEachRow) {
  auto nodests =
      Request<x7srv_rnodests_base>("X7SRV", "RNODESTS", 60, SAMPLE_REPORT);
  x7srv_rnodests_data_t row;
  memset(&row, 0, sizeof row);
  row.sampleno = 4294967295u;
  memcpy(row.originnode, "host:TVX", 8);
  memcpy(row.version, "01.02.03 bld", 12);  // full width: no terminator
  memcpy(row.expirytime, "1261208023000000", 16);
  memcpy(row.affinities, "AFF_UNIX_LOG_ALERT", 18);
  ASSERT_EQ(nodests->InsertRow(reinterpret_cast<const char*>(&row)), 0u);
  qortest::TraceCapture trace("HOV130:FLOW");
  nodests->PrintSelf();
  char head[128];
  snprintf(head, sizeof head, "x7srv_rnodests_base @%p <7,%u>\n",
           static_cast<void*>(nodests.get()), nodests->Handle());
  EXPECT_EQ(trace.Text(),
            std::string(head) +
                "\t::appl=X7SRV,table=RNODESTS,interval=60000,samptype=3\n"
                "\t_data {\n\t\tcount=1, allocated=1, allocSize=1\n\t\t{\n"
                "\t\tsampleno=4294967295\n\t\toriginnode=\"host:TVX\"\n"
                "\t\tnodetype=\"\"\n\t\tonline=\"\"\n\t\tx7online=\"\"\n"
                "\t\tproduct=\"\"\n\t\tversion=\"01.02.03 bld\"\n"
                "\t\texpirytime=\"1261208023000000\"\n"
                "\t\taffinities=\"AFF_UNIX_LOG_ALERT\"\n\t\ttimestamp=\"\"\n"
                "\t\t}\n}\n");

  trace.Clear();
  WEX1_Configure("HOV130:ERROR,ENTRY,DETAIL");
  nodests->PrintSelf();
  EXPECT_TRUE(trace.Records().empty());
}

// A situation whose second InsertRow fails; it records the rows offered.
class Failing_Situation : public tvx_vxlogent_agent {
 public:
  using tvx_vxlogent_agent::tvx_vxlogent_agent;
  unsigned InsertRow(const char* row) override {
    offered.push_back(reinterpret_cast<const tvx_vxlogent_data_t*>(row)->rowno);
    return offered.size() == 2 ? 1 : tvx_vxlogent_agent::InsertRow(row);
  }
  std::vector<int> offered;
};

class TvxVxlogentManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_ = fopen(events_.c_str(), "w");
    ASSERT_NE(sink_, nullptr);
    Event_Sink::Use(sink_);
  }
  void TearDown() override {
    for (vandu* v : live_) {
      v->Manager()->RemoveLive(v);
      vandu::Destroy(v);
    }
    Event_Sink::Use(nullptr);
    if (sink_ != nullptr) {
      fclose(sink_);
    }
  }
  vandu* Live(vandu* v) {
    tvx_vxlogent_static_manager->AddLive(v);
    live_.push_back(v);
    return v;
  }
  vandu* Situation(const char* name, const char* condition) {
    std::string err;
    vandu* v =
        HOV_CreateRequest("VXLOGENT", condition, SAMPLE_SITUATION, name, &err);
    EXPECT_NE(v, nullptr) << err;
    return v != nullptr ? Live(v) : nullptr;
  }
  Failing_Situation* Failing(const char* condition) {
    RequestDetail d;
    d.appl = "TVX";
    d.table = "VXLOGENT";
    d.sampleType = SAMPLE_SITUATION;
    d.situationName = "failing";
    std::string err;
    EXPECT_TRUE(ParseCondition(condition, &d.thresholds, &err)) << err;
    ContextInfo c;
    auto* v = new Failing_Situation(&d, &c, tvx_vxlogent_static_manager);
    Live(v);
    return v;
  }
  // "situation/ROWNO" of each event line, in order.
  std::vector<std::string> Events() const {
    static const std::regex kLine(
        R"re(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z","situation":"([^"]*)",)re"
        R"re("table":"TVX\.VXLOGENT","entrytime":"2026-12-08T02:30:00[-+]\d\d:\d\d",)re"
        R"re("row":\{.*"ROWNO":(\d+)\}\})re");
    std::vector<std::string> out;
    std::istringstream in(qortest::ReadFile(events_));
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
      out.push_back(std::regex_match(line, m, kLine)
                        ? m[1].str() + "/" + m[2].str()
                        : "malformed: " + line);
    }
    return out;
  }

  qortest::Scoped_Temp_Dir dir_;
  qortest::TraceCapture trace_{"ERROR"};
  const std::string events_ = dir_.File("events.jsonl");
  FILE* sink_ = nullptr;
  std::vector<vandu*> live_;
  tvx_vxlogent_data_t rows_[4] = {
      Entry(0, "sshd", "Accepted publickey"), Entry(1, "cron", "job"),
      Entry(2, "sshd", "Failed password"), Entry(3, "sshd", "Failed password")};
};

TEST_F(TvxVxlogentManagerTest, EventArrivedBeforeRegistrationDropsTheRows) {
  if (tvx_vxlogent_static_manager != nullptr) {
    GTEST_SKIP()
        << "the tables were registered by an earlier test of this process";
  }
  EXPECT_EQ(tvx_vxlogent_manager::EventArrived(rows_, 4), 0u);
  EXPECT_TRUE(Events().empty());
}

TEST_F(TvxVxlogentManagerTest, WithoutLiveSituationsNothingIsWritten) {
  ASSERT_NO_FATAL_FAILURE(RegisterTables());
  EXPECT_EQ(tvx_vxlogent_manager::EventArrived(rows_, 4), 0u);
  EXPECT_TRUE(Events().empty());
}

TEST_F(TvxVxlogentManagerTest, OneSituationGetsEachMatchingRowOnce) {
  ASSERT_NO_FATAL_FAILURE(RegisterTables());
  vandu* ssh = Situation("ssh", "ENTRYSRC ~ \"sshd\"");
  EXPECT_EQ(tvx_vxlogent_manager::EventArrived(rows_, 3), 0u);
  EXPECT_EQ(ssh->RowCount(), 0);
  EXPECT_EQ(tvx_vxlogent_manager::EventArrived(rows_ + 3, 1), 0u);
  EXPECT_EQ(Events(), (std::vector<std::string>{"ssh/0", "ssh/2", "ssh/3"}));
  const std::string text = qortest::ReadFile(events_);
  const size_t from = text.find("\",\"situation\"");
  const size_t entry =
      text.find(",\"entrytime\"");  // its form is checked by Events()
  EXPECT_EQ(
      text.substr(from, entry - from) +
          text.substr(entry + 40, text.find('\n') - entry - 40),
      R"(","situation":"ssh","table":"TVX.VXLOGENT","row":{"ORIGINNODE":"host:TVX",)"
      R"("LOGPATH":"/var/log/","LOGNAME":"auth.log","ENTRYTIME":"1261208023000000",)"
      R"("ENTRYSYS":"host","ENTRYSRC":"sshd","ENTRYTYPE":"","ENTRYCLASS":"",)"
      R"("ENTRYDESC":"Accepted publickey","FREQTHRESH":0,"PERIODTHRS":0,)"
      R"("TIMESTAMP":"1261208024000000","SAMPLENO":0,"ROWNO":0}})");
}

TEST_F(TvxVxlogentManagerTest, SituationsGetRowsInListOrderAndStoppedOnesNone) {
  ASSERT_NO_FATAL_FAILURE(RegisterTables());
  Situation("ssh", "ENTRYSRC ~ \"sshd\" AND ENTRYDESC ~ \"Failed\"");
  Situation("all", "");
  Situation("stopped", "")->Stop();
  Situation("cron", "ENTRYSRC == \"cron\"");
  EXPECT_EQ(tvx_vxlogent_manager::EventArrived(rows_, 4), 0u);
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"ssh/2", "ssh/3", "all/0", "all/1",
                                      "all/2", "all/3", "cron/1"}));
}

TEST_F(TvxVxlogentManagerTest, AfterAFailedInsertRowNoFurtherRowsAreOffered) {
  ASSERT_NO_FATAL_FAILURE(RegisterTables());
  Failing_Situation* failing = Failing("ENTRYSRC ~ \"sshd\"");
  Situation("all", "");
  EXPECT_EQ(tvx_vxlogent_manager::EventArrived(rows_, 4), 0u);
  EXPECT_EQ(failing->offered,
            (std::vector<int>{0, 2}));  // row 1 rejected, row 3 never offered
  EXPECT_EQ(Events(), (std::vector<std::string>{"failing/0", "all/0", "all/1",
                                                "all/2", "all/3"}));
}

TEST_F(TvxVxlogentManagerTest, FailedDispatchIsReturnedAndThePassGoesOn) {
  ASSERT_NO_FATAL_FAILURE(RegisterTables());
  FILE* full = fopen("/dev/full", "w");
  if (full == nullptr) {
    GTEST_SKIP() << "no /dev/full";
  }
  Event_Sink::Use(full);
  Situation("all", "");
  Failing_Situation* failing = Failing("");
  EXPECT_NE(tvx_vxlogent_manager::EventArrived(rows_, 4), 0u);
  EXPECT_EQ(failing->offered, (std::vector<int>{0, 1}));
  Event_Sink::Use(sink_);
  fclose(full);
}

}  // namespace
