// Tests of Timestamp and the event times of situations.
#include "tables/timestamp.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tables/teskal_time.h"
#include "tests/testutil.h"

namespace {

// Runs each test in a fixed zone with daylight saving (UTC-5, UTC-4 in
// summer), so local-time conversions are the same on every host.
class TimestampTest : public ::testing::Test {
 protected:
  static time_t Local(int year, int mon, int day, int h, int m, int s) {
    struct tm t = {};
    t.tm_year = year - 1900, t.tm_mon = mon - 1, t.tm_mday = day;
    t.tm_hour = h, t.tm_min = m, t.tm_sec = s, t.tm_isdst = -1;
    return mktime(&t);
  }
  static std::string Stamp(time_t t) {
    char buf[TIMESTAMPLENGTH + 1];
    buf[TIMESTAMPLENGTH] = '#';  // must stay: no terminator is written
    GenerateTimestamp(t, buf);
    return std::string(buf, TIMESTAMPLENGTH + 1);
  }
  static int RingSize(const Timestamp* head) {
    int n = 0;
    const Timestamp* p = head;
    do {
      ++n;
      p = p->tsNext;
    } while (p != head);
    return n;
  }
  qortest::Scoped_Time_Zone zone_{"EST5EDT,M3.2.0,M11.1.0"};
};

TEST_F(TimestampTest, StampsBothCenturiesAndParsesBack) {
  qortest::TraceCapture cap("ALL");
  EXPECT_EQ(Stamp(Local(2002, 1, 17, 0, 2, 27)), "1020117000227000#");
  EXPECT_EQ(Stamp(Local(1999, 12, 31, 23, 59, 59)), "0991231235959000#");
  EXPECT_EQ(Stamp(Local(2899, 12, 31, 23, 59, 59)), "9991231235959000#");
  EXPECT_EQ(Stamp(Local(2900, 1, 1, 0, 0, 0)), "0000000000000000#");

  const struct {
    const char* text;
    time_t expected;
    const char* regenerated;  // the stamp of the parsed time
  } cases[] = {
      {"1020117000227000", Local(2002, 1, 17, 0, 2, 27), "1020117000227000#"},
      {"1020117000227999", Local(2002, 1, 17, 0, 2, 27), "1020117000227000#"},
      {"1021317000227000", Local(2003, 1, 17, 0, 2, 27), "1030117000227000#"},
      {"1240704123000000", Local(2024, 7, 4, 12, 30, 0), "1240704123000000#"},
  };
  for (const auto& c : cases) {
    Timestamp* head = nullptr;
    Timestamp* ts = new Timestamp(&head, c.text);
    EXPECT_EQ(ts->tsEventTime, c.expected) << c.text;
    EXPECT_EQ(head, ts);
    EXPECT_EQ(Stamp(ts->tsEventTime), c.regenerated);
    delete head;
  }
  EXPECT_TRUE(cap.Contains(
      "\ntimestamp passed: sec 27, min 02, hour 00, mday 17, mon 01, year 02, "
      "century 1 \n"));
}

TEST_F(TimestampTest, UnconvertibleStampIsNotLinked) {
  qortest::TraceCapture cap("ERROR");
  Timestamp* head = nullptr;
  new Timestamp(&head, time_t{1000});
  Timestamp* bad = new Timestamp(&head, "0690101000000000");  // before 1970
  EXPECT_LT(bad->tsEventTime, 0);
  EXPECT_NE(head, bad);
  EXPECT_EQ(bad->tsNext, bad);
  EXPECT_EQ(RingSize(head), 1);
  EXPECT_TRUE(cap.Contains(
      "\nError converting timestamp 0690101000000000 to UNIX time format. "
      "errno = "));
  delete bad;
  delete head;
}

TEST_F(TimestampTest, CountEventsCutsOffOlderEvents) {
  qortest::TraceCapture cap("ERROR");
  const time_t now = time(nullptr);
  const struct {
    const char* name;
    std::vector<long> ages;  // seconds before now, in insertion order
    int count;               // with a period of 60
    int left;                // ring size afterwards
  } cases[] = {
      {"counts within period", {90, 30, 10}, 2, 2},
      {"all within period", {50, 30, 10}, 3, 3},
      {"limit itself not counted", {60, 10}, 1, 1},
      {"head outside period", {10, 20, 90}, 0, 1},
      {"head alone outside", {90}, 0, 1},
      {"insertion order decides", {10, 90, 5}, 1, 1},
  };
  for (const auto& c : cases) {
    Timestamp* head = nullptr;
    for (long age : c.ages) {
      new Timestamp(&head, now - age);
    }
    EXPECT_EQ(head->tsCountEvents(60), c.count) << c.name;
    EXPECT_EQ(RingSize(head), c.left) << c.name;
    EXPECT_EQ(head->tsPrev->tsNext, head) << c.name;
    EXPECT_EQ(head->tsEventTime, now - c.ages.back()) << c.name;
    if (c.count > 0) {
      EXPECT_GT(head->tsPrev->tsEventTime, now - 60) << c.name;
    }
    delete head;
  }
  EXPECT_EQ(cap.Text(), "");

  Timestamp* head = nullptr;
  new Timestamp(&head, now);
  new Timestamp(&head, now);
  EXPECT_EQ(head->tsNext->tsCountEvents(60), -1);
  EXPECT_EQ(cap.Text(), "\nError: Function not invoked from head-of-chain");
  delete head;
}

TEST_F(TimestampTest, LongRingIsDeletedWithoutDeepRecursion) {
  Timestamp* head = nullptr;
  for (int i = 0; i < 200000; ++i) {
    new Timestamp(&head, time_t{1000} + i);
  }
  EXPECT_EQ(RingSize(head), 200000);
  delete head;  // the sanitizer build reports any element left behind
}

// Stamps compare as strncmp does: a difference or a NUL at any place, in
// one or both, and bytes past ASCII.
TEST(CompareTimestampTest, AgreesWithStrncmp) {
  const char base[] = "1261208152446000";
  for (int at = 0; at < TIMESTAMPLENGTH; ++at) {
    for (const int c : {0, int{'0'}, int{'1'}, int{'5'}, int{'9'}, int{' '},
                        0x7F, 0x80, 0xFF}) {
      for (const bool both : {false, true}) {
        char a[TIMESTAMPLENGTH + 1];
        char b[TIMESTAMPLENGTH + 1];
        memcpy(a, base, sizeof a);
        memcpy(b, base, sizeof b);
        a[at] = static_cast<char>(c);
        if (both) {
          b[at] = static_cast<char>(c);
          a[TIMESTAMPLENGTH - 1] = '9';  // after a shared NUL: not looked at
        }
        const int want = strncmp(a, b, TIMESTAMPLENGTH);
        ASSERT_EQ(CompareTimestamp(a, b), want < 0 ? -1 : (want > 0 ? 1 : 0))
            << at << " " << c << " " << both;
        const int back = strncmp(b, a, TIMESTAMPLENGTH);
        ASSERT_EQ(CompareTimestamp(b, a), back < 0 ? -1 : (back > 0 ? 1 : 0))
            << at << " " << c << " " << both;
      }
    }
  }
}

}  // namespace
