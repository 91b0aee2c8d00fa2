// The platform's events and threads as the channel relies on them.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/event.h"
#include "platform/thread.h"

namespace kvarn::platform {
namespace {

TEST(Event, ManualResetStaysSetUntilReset) {
  auto e = Event::Create(EventReset::Manual);
  ASSERT_TRUE(e);
  EXPECT_FALSE(e->Wait(0));
  e->Set();
  e->Set();
  EXPECT_TRUE(e->Wait(0));
  EXPECT_TRUE(e->Wait(10));
  e->Reset();
  EXPECT_FALSE(e->Wait(20));
}

TEST(Event, AutoResetIsConsumedByOneWait) {
  auto e = Event::Create(EventReset::Auto);
  ASSERT_TRUE(e);
  e->Set();
  e->Set();  // two signals before a wait are one
  EXPECT_TRUE(e->Wait(0));
  EXPECT_FALSE(e->Wait(0));
  e->Set();
  e->Reset();
  EXPECT_FALSE(e->Wait(0));
  // Resets of an event that is not set, and after a wait took the signal,
  // leave later signals intact.
  e->Reset();
  e->Set();
  EXPECT_TRUE(e->Wait(0));
  e->Reset();
  e->Set();
  e->Reset();
  EXPECT_FALSE(e->Wait(0));
}

TEST(WaitAny, FirstWinsAndOnlyTheReportedOneIsConsumed) {
  auto stop = Event::Create(EventReset::Auto);
  auto data = Event::Create(EventReset::Auto);
  ASSERT_TRUE(stop && data);
  EXPECT_EQ(WaitAny(*stop, *data, 10), -1);
  stop->Set();
  data->Set();
  EXPECT_EQ(WaitAny(*stop, *data, 0), 0);
  EXPECT_EQ(WaitAny(*stop, *data, 0), 1);
  EXPECT_EQ(WaitAny(*stop, *data, 0), -1);
}

TEST(WaitAny, ManualEventKeepsWinning) {
  auto stop = Event::Create(EventReset::Manual);
  auto data = Event::Create(EventReset::Auto);
  ASSERT_TRUE(stop && data);
  stop->Set();
  data->Set();
  EXPECT_EQ(WaitAny(*stop, *data, 0), 0);
  EXPECT_EQ(WaitAny(*stop, *data, 0), 0);
  EXPECT_TRUE(data->Wait(0)) << "the second one was not consumed";
}

TEST(Thread, RunsTheBodyAndJoinsWhileAWaitEnds) {
  auto go = Event::Create(EventReset::Manual);
  ASSERT_TRUE(go);
  std::atomic<bool> woke{false};
  Thread t;
  ASSERT_TRUE(t.Start([&] { woke = go->Wait(kInfinite); }));
  EXPECT_FALSE(t.Start([] {})) << "one body per thread";
  go->Set();
  t.Join();
  EXPECT_TRUE(woke);
  t.Join();  // again: nothing to wait for
}

}  // namespace
}  // namespace kvarn::platform
