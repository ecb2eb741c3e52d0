// The compact per-key table: lookups across growth and removal, the order
// keys are forgotten in, the cap and the count of keys it forgot.
#include "framework/tables/key_lru.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

std::string Key(int i) {
  // Short keys live in place, long ones on the heap: both kinds are mixed.
  return i % 3 == 0 ? "10.0." + std::to_string(i)
                    : "a-long-key-on-the-heap-" + std::to_string(i);
}

TEST(KeyLruTest, KeysKeepTheirStateThroughGrowthAndRemoval) {
  Key_Lru<long> t;
  for (int i = 0; i < 5000; ++i) {
    t.Touch(Key(i)) = i;
  }
  ASSERT_EQ(t.size(), 5000u);
  // Forgetting the oldest half shifts entries back in the lookup table; the
  // rest must still be found with their own state.
  for (int i = 0; i < 2500; ++i) {
    t.DropOldest();
  }
  for (int i = 0; i < 5000; ++i) {
    long* v = t.Find(Key(i));
    if (i < 2500) {
      EXPECT_EQ(v, nullptr) << Key(i);
    } else {
      ASSERT_NE(v, nullptr) << Key(i);
      EXPECT_EQ(*v, i);
    }
  }
  EXPECT_EQ(t.Find(""), nullptr);
  ++t.Touch("");  // the empty key (a situation without PER) is a key too
  EXPECT_EQ(*t.Find(""), 1);
  EXPECT_EQ(t.Evicted(), 0u);
  while (t.size() > 0) {
    t.DropOldest();
  }
  std::string_view oldest;
  EXPECT_EQ(t.Oldest(&oldest), nullptr);
  ++t.Touch("again");  // usable again once empty
  EXPECT_EQ(*t.Find("again"), 1);
}

TEST(KeyLruTest, TheLeastRecentlyUsedIsForgottenAtTheCapAndCounted) {
  Key_Lru<int> t(3);
  t.Touch("a") = 1;
  t.Touch("b") = 2;
  t.Touch("c") = 3;
  t.Touch("a");      // now the most recently used
  *t.Find("b") = 5;  // looking up does not change the order
  t.Touch("d") = 4;  // full: "b" goes
  EXPECT_EQ(t.size(), 3u);
  EXPECT_EQ(t.Find("b"), nullptr);
  EXPECT_EQ(t.Evicted(), 1u);
  std::string_view oldest;
  ASSERT_NE(t.Oldest(&oldest), nullptr);
  EXPECT_EQ(oldest, "c");
  t.DropOldest();  // forgetting by choice is not counted
  EXPECT_EQ(t.Evicted(), 1u);
  t.SetCap(1);  // "a" goes, "d" stays
  EXPECT_EQ(t.Evicted(), 2u);
  ASSERT_NE(t.Oldest(&oldest), nullptr);
  EXPECT_EQ(oldest, "d");
  EXPECT_EQ(*t.Find("d"), 4);
  EXPECT_EQ(t.Find("a"), nullptr);
}

}  // namespace
