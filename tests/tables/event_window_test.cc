// Event_Window: events counted per second within the period, in order or
// not, with those that left the period dropped.
#include "tables/event_window.h"

#include <utility>

#include <gtest/gtest.h>

namespace {

TEST(EventWindowTest, CountsTheEventsWithinThePeriod) {
  Event_Window w;
  EXPECT_EQ(w.Newest(), 0);
  EXPECT_TRUE(w.Add(1000, 900));
  EXPECT_TRUE(w.Add(1000, 900));
  EXPECT_FALSE(w.Add(900, 900));  // at the limit: older than the period
  for (int64_t t = 1001; t <= 1100; ++t) {
    ASSERT_TRUE(w.Add(t, 900));
  }
  EXPECT_TRUE(w.Add(1050, 900));  // out of order, at a second already held
  EXPECT_TRUE(w.Add(999, 900));   // out of order, before every second held
  EXPECT_EQ(w.Count(), 104);
  EXPECT_EQ(w.Newest(), 1100);
  w.Prune(1050);  // 999, 1000 twice, 1001..1050 and the second 1050 go
  EXPECT_EQ(w.Count(), 50);
  Event_Window moved = std::move(w);
  EXPECT_EQ(moved.Count(), 50);
  EXPECT_TRUE(moved.Add(1101, 1099));  // 1100 and the new one are left
  EXPECT_EQ(moved.Count(), 2);
  moved.Prune(2000);
  EXPECT_EQ(moved.Count(), 0);
  EXPECT_EQ(moved.Newest(), 0);
}

}  // namespace
