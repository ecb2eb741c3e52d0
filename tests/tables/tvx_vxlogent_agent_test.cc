// Situations on VXLOGENT: the frequency and period thresholds the agent
// applies on top of the runtime's own comparisons.
#include "table_agents/tvx_vxlogent_agent.h"

#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/situations/condition.h"
#include "tables/teskal_time.h"
#include "tables/tvx_vxlogent_manager.h"
#include "tests/testutil.h"

namespace {

// A situation object built directly on a private manager, so the test needs
// no registration and no event sink.
class Situation {
 public:
  // `raw_freq`, when given, replaces the value of the first FREQTHRESH term
  // by those bytes.
  Situation(const std::string& condition, int sample_type = SAMPLE_SITUATION,
            const std::string& raw_freq = "")
      : manager_("TVX", "VXLOGENT") {
    RequestDetail detail;
    detail.appl = "TVX";
    detail.table = "VXLOGENT";
    detail.sampleType = sample_type;
    detail.situationName = "sit1";
    std::string err;
    EXPECT_TRUE(ParseCondition(condition, &detail.thresholds, &err)) << err;
    for (Threshold_Spec& t : detail.thresholds) {
      if (t.column == "FREQTHRESH" && !raw_freq.empty()) {
        t.raw_integer = raw_freq;
        break;
      }
    }
    ContextInfo context;
    agent_ = new tvx_vxlogent_agent(&detail, &context, &manager_);
  }
  ~Situation() { delete agent_; }
  tvx_vxlogent_agent* operator->() { return agent_; }

  // Offers one row whose ENTRYTIME is `age` seconds ago; the rows collected
  // so far.
  int Offer(long age, const char* desc = "Failed password") {
    tvx_vxlogent_data_t row;
    memset(&row, ' ', sizeof row);
    GenerateTimestamp(time(nullptr) - age, row.entrytime);
    memcpy(row.entrydesc, desc, strlen(desc));
    row.freqthresh = row.periodthrs = row.sampleno = row.rowno = 0;
    agent_->AddData(reinterpret_cast<char*>(&row), 1);
    return agent_->RowCount();
  }
  int32_t FreqOfRow(int i) const {
    return reinterpret_cast<const tvx_vxlogent_data_t*>(agent_->Row(i))->freqthresh;
  }

 private:
  tvx_vxlogent_manager manager_;
  tvx_vxlogent_agent* agent_;
};

TEST(TvxVxlogentAgentTest, AtLeastThreeWithinAMinute) {
  qortest::TraceCapture trace("ALL");
  Situation s("ENTRYDESC ~ \"Failed\" AND FREQTHRESH >= 3 AND PERIODTHRS == 60");
  EXPECT_TRUE(trace.Contains("\nFrequency threshold is >= 3."));
  EXPECT_TRUE(trace.Contains("\nPeriod threshold is 60. "));
  EXPECT_EQ(s.Offer(5), 0);
  EXPECT_TRUE(trace.Contains(
      "\nEvent frequency of 1 is < the threshold of 3 for situation sit1. Event discarded."));
  EXPECT_EQ(s.Offer(4), 0);
  EXPECT_EQ(s.Offer(3), 1);
  EXPECT_TRUE(trace.Contains(
      "\nEvent frequency of 3 is >= the threshold of 3 for situation sit1. Event accepted."));
  EXPECT_EQ(s.FreqOfRow(0), 3);
  // The ring is not reset by an acceptance: the fourth is accepted too.
  EXPECT_EQ(s.Offer(2), 2);
  EXPECT_EQ(s.FreqOfRow(1), 4);
  // A row the situation's own comparison rejects never reaches the ring.
  EXPECT_EQ(s.Offer(1, "Accepted password"), 2);
}

TEST(TvxVxlogentAgentTest, OperatorsNormaliseTheFrequency) {
  {
    qortest::TraceCapture trace("ALL");
    Situation at_most("FREQTHRESH <= 2 AND PERIODTHRS == 60");
    EXPECT_EQ(at_most.Offer(3), 1);
    EXPECT_EQ(at_most.Offer(2), 2);
    EXPECT_EQ(at_most.Offer(1), 2);
    EXPECT_TRUE(trace.Contains(
        "\nEvent frequency of 3 is > the threshold of 2 for situation sit1. Event discarded."));
  }
  {
    // At most 0 events is below the minimum: frequency checking is off and
    // every matching row is inserted.
    qortest::TraceCapture trace("ALL");
    Situation less_than_one("FREQTHRESH < 1 AND PERIODTHRS == 60");
    EXPECT_EQ(less_than_one.Offer(1), 1);
    EXPECT_EQ(less_than_one.Offer(1), 2);
    EXPECT_FALSE(trace.Contains("Frequency threshold is"));
  }
  {
    Situation more_than_two("FREQTHRESH > 2 AND PERIODTHRS == 60");
    EXPECT_EQ(more_than_two.Offer(3), 0);
    EXPECT_EQ(more_than_two.Offer(2), 0);
    EXPECT_EQ(more_than_two.Offer(1), 1);
  }
}

TEST(TvxVxlogentAgentTest, InvalidThresholdRecordsAreIgnored) {
  qortest::TraceCapture trace("ALL");
  Situation bad_period("FREQTHRESH >= 2 AND PERIODTHRS >= 60");
  EXPECT_TRUE(trace.Contains(
      "\nInvalid PERIODTHRS threshold compare operator; value is 3. Threshold ignored."));
  // The runtime refuses such a situation (HOV_CreateRequest fails with this).
  EXPECT_EQ(bad_period->ThresholdError(),
            "PERIODTHRS takes == and an integer of seconds, e.g. PERIODTHRS == 60");
  // Without a valid period, frequency checking is off.
  EXPECT_EQ(bad_period.Offer(1), 1);

  Situation bad_freq_oper("FREQTHRESH == 2 AND PERIODTHRS == 60");
  EXPECT_TRUE(trace.Contains(
      "\nInvalid FREQTHRESH threshold compare operator; value is 1. Threshold ignored."));
  EXPECT_EQ(bad_freq_oper.Offer(1), 1);

  // A 16-byte value is never read: the record is ignored.
  Situation wide("FREQTHRESH >= 3 AND PERIODTHRS == 60", SAMPLE_SITUATION, std::string(16, '\x01'));
  EXPECT_TRUE(trace.Contains(
      "\nSize of FREQTHRESH threshold is 16 which does not equal expected size of 8. Threshold ignored."));
  EXPECT_EQ(wide.Offer(1), 1);
  // Odd sizes are read only up to their size: 3 bytes 03 00 00 is 3.
  Situation odd("FREQTHRESH >= 9 AND PERIODTHRS == 60", SAMPLE_SITUATION, std::string("\x03\x00\x00", 3));
  EXPECT_TRUE(trace.Contains("\nFrequency threshold is >= 3."));
  EXPECT_EQ(odd.Offer(3), 0);
  EXPECT_EQ(odd.Offer(2), 0);
  EXPECT_EQ(odd.Offer(1), 1);

  Situation text_value("FREQTHRESH >= \"3\" AND PERIODTHRS == 60");
  EXPECT_TRUE(trace.Contains(
      "\nInvalid FREQTHRESH threshold data type; value is 497, expected value is 496.Threshold ignored."));
  EXPECT_EQ(text_value.Offer(1), 1);
}

TEST(TvxVxlogentAgentTest, LateEntriesAreNotCountedAndOutOfOrderOnesAre) {
  qortest::TraceCapture trace("FLOW");
  Situation s("FREQTHRESH >= 3 AND PERIODTHRS == 60");
  EXPECT_EQ(s.Offer(5), 0);
  EXPECT_EQ(s.Offer(4), 0);
  // Stamped two minutes ago: outside the period, dropped without touching
  // the count of the others.
  EXPECT_EQ(s.Offer(120), 0);
  EXPECT_TRUE(trace.Contains(" is older than the period of 60 seconds of situation sit1. Event discarded."));
  EXPECT_EQ(s.Offer(3), 1);
  EXPECT_EQ(s.FreqOfRow(0), 3);
  // Earlier than the others but within the period: counted.
  EXPECT_EQ(s.Offer(50), 2);
  EXPECT_EQ(s.FreqOfRow(1), 4);
}

TEST(TvxVxlogentAgentTest, InvalidSampleTypeStopsTheObject) {
  qortest::TraceCapture trace("ALL");
  Situation s("", 5);
  EXPECT_TRUE(trace.Contains("\nInvalid request received; sample type = 5"));
  EXPECT_TRUE(s->IsStopped());
  EXPECT_EQ(s->StopReason(), 2);
}

TEST(TvxVxlogentAgentTest, SituationLifeIsTraced) {
  qortest::TraceCapture trace("ALL");
  { Situation s("ENTRYSRC ~ \"sshd\""); }
  EXPECT_TRUE(trace.Contains("\nObject created for situation sit1 at "));
  EXPECT_TRUE(trace.Contains("\nObject destroyed for situation sit1 at "));
}

}  // namespace
