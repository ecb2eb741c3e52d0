// The delivery window of the fleet sinks: the acknowledged mark that saved
// positions wait for, with acknowledgements out of order across the events
// of several logs, and the bound that holds the log workers back.
#include "framework/events/ack_window.h"

#include <pthread.h>

#include <atomic>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(AckWindowTest, MarkMovesOnlyPastEventsAllAcknowledged) {
  Delivery_Window_Limits limits;
  Ack_Window w(limits);
  EXPECT_EQ(w.AcknowledgedThrough(), UINT64_MAX);  // nothing waits
  // Events 11..16, as two logs' workers publish them interleaved.
  for (uint64_t s = 11; s <= 16; ++s) {
    ASSERT_TRUE(w.Admit(s, 100));
  }
  EXPECT_EQ(w.AcknowledgedThrough(), 10u);
  // The second log's events come back first: the mark stays.
  EXPECT_TRUE(w.Acknowledge(12));
  EXPECT_TRUE(w.Acknowledge(14));
  EXPECT_TRUE(w.Acknowledge(16));
  EXPECT_EQ(w.AcknowledgedThrough(), 10u);
  EXPECT_FALSE(w.Acknowledge(12));  // seen twice: counted once
  EXPECT_TRUE(w.Acknowledge(11));
  EXPECT_EQ(w.AcknowledgedThrough(), 12u);
  EXPECT_TRUE(w.Acknowledge(13));
  EXPECT_EQ(w.AcknowledgedThrough(), 14u);
  EXPECT_EQ(w.Events(), 1u);
  EXPECT_EQ(w.Bytes(), 100u);
  EXPECT_TRUE(w.Acknowledge(15));
  EXPECT_EQ(w.AcknowledgedThrough(), UINT64_MAX);
  EXPECT_EQ(w.Bytes(), 0u);
  EXPECT_FALSE(w.Acknowledge(99));  // never sent
}

TEST(AckWindowTest, SomeAtOnceUpToTheBoundsWithGapsInTheNumbers) {
  Delivery_Window_Limits limits;
  ASSERT_TRUE(ParseDeliveryWindow("4,1M", nullptr, &limits, nullptr));
  Ack_Window w(limits);
  const uint32_t sizes[] = {10, 10, 10, 10, 10, 10};
  // The window takes four of six.
  EXPECT_EQ(w.AdmitSome(20, sizes, 6), 4u);
  EXPECT_EQ(w.Events(), 4u);
  EXPECT_EQ(w.AcknowledgedThrough(), 19u);
  // Acknowledged together, in any order, a number twice and one never sent.
  const uint64_t acks[] = {22, 20, 22, 99, 21};
  EXPECT_EQ(w.AcknowledgeSome(acks, 5), 3u);
  EXPECT_EQ(w.AcknowledgedThrough(), 22u);
  // A number skipped (an event the window dropped elsewhere): entries no
  // longer sit where their numbers say, and are found all the same.
  EXPECT_EQ(w.AdmitSome(30, sizes, 2), 2u);
  const uint64_t later[] = {31, 23, 30};
  EXPECT_EQ(w.AcknowledgeSome(later, 3), 3u);
  EXPECT_EQ(w.AcknowledgedThrough(), UINT64_MAX);
  EXPECT_EQ(w.Bytes(), 0u);
}

struct Admitter {
  Ack_Window* w;
  uint64_t sequence;
  std::atomic<bool> done{false};
  bool admitted = false;
  static void* Run(void* self) {
    auto* a = static_cast<Admitter*>(self);
    a->admitted = a->w->Admit(a->sequence, 10);
    a->done = true;
    return nullptr;
  }
};

TEST(AckWindowTest, FullWindowWaitsOrDrops) {
  Delivery_Window_Limits limits;
  ASSERT_TRUE(ParseDeliveryWindow("2,1M", nullptr, &limits, nullptr));
  Ack_Window w(limits);
  ASSERT_TRUE(w.Admit(1, 10));
  ASSERT_TRUE(w.Admit(2, 10));
  Admitter a{&w, 3};
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, Admitter::Run, &a), 0);
  // An acknowledgement behind the first still waiting makes no room: a
  // restart would read both again.
  EXPECT_TRUE(w.Acknowledge(2));
  EXPECT_FALSE(a.done.load());
  EXPECT_TRUE(w.Acknowledge(1));
  pthread_join(t, nullptr);
  EXPECT_TRUE(a.admitted);

  ASSERT_TRUE(ParseDeliveryWindow("1", "drop", &limits, nullptr));
  Ack_Window dropping(limits);
  ASSERT_TRUE(dropping.Admit(1, 10));
  EXPECT_FALSE(dropping.Admit(2, 10));
  dropping.Stop();
}

TEST(AckWindowTest, ParsesTheSettings) {
  Delivery_Window_Limits l;
  std::string err;
  ASSERT_TRUE(ParseDeliveryWindow(nullptr, nullptr, &l, &err));
  EXPECT_EQ(l.events, 10000u);
  EXPECT_EQ(l.bytes, 16u << 20);
  EXPECT_FALSE(l.drop);
  ASSERT_TRUE(ParseDeliveryWindow("500,64K", "wait", &l, &err));
  EXPECT_EQ(l.events, 500u);
  EXPECT_EQ(l.bytes, 64u << 10);
  for (const char* bad : {"0", "x", "10,", "10,5Q", "-3"}) {
    EXPECT_FALSE(ParseDeliveryWindow(bad, nullptr, &l, &err)) << bad;
  }
  EXPECT_FALSE(ParseDeliveryWindow(nullptr, "sometimes", &l, &err));
}

}  // namespace
