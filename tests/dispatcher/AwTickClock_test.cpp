#include "AwTickClock.h"

#include <gtest/gtest.h>

#include <limits>

TEST(EventTimer, ExpiresOnlyAfterItsLastTick) {
  EventTimer t;
  NewTimerAt(t, 10, 1000);
  EXPECT_FALSE(TimerExpiredAt(t, 1000));
  EXPECT_FALSE(TimerExpiredAt(t, 1010));
  EXPECT_TRUE(TimerExpiredAt(t, 1011));
}

TEST(EventTimer, LongDurationsAreClampedToHalfTheClockRange) {
  EventTimer t;
  NewTimerAt(t, 50000000, 0);
  EXPECT_EQ(t.ExpireTicks, 39045157);
  EXPECT_FALSE(TimerExpiredAt(t, 39045157));
  EXPECT_TRUE(TimerExpiredAt(t, 39045158));
}

TEST(EventTimer, TheClockWrappingDuringATimerChangesNothing) {
  constexpr int32_t Last = std::numeric_limits<int32_t>::max();
  constexpr int32_t First = std::numeric_limits<int32_t>::min();
  // About 3.7 years of uptime: the signed tick count turns over.
  EventTimer t;
  NewTimerAt(t, 100, Last - 10);
  EXPECT_FALSE(TimerExpiredAt(t, Last - 10));
  EXPECT_FALSE(TimerExpiredAt(t, Last));
  EXPECT_FALSE(TimerExpiredAt(t, First + 89));  // 100 ticks after the start
  EXPECT_TRUE(TimerExpiredAt(t, First + 90));
  // And again where the 32-bit count itself wraps to 0.
  NewTimerAt(t, 5, -3);
  EXPECT_FALSE(TimerExpiredAt(t, 2));
  EXPECT_TRUE(TimerExpiredAt(t, 3));
}

TEST(EventTimer, NegativeDurationsCountAsNone) {
  for (int32_t ticks : {-1, std::numeric_limits<int32_t>::min()}) {
    EventTimer t;
    NewTimerAt(t, ticks, std::numeric_limits<int32_t>::min() + 5);
    EXPECT_FALSE(TimerExpiredAt(t, t.StartTicks));
    EXPECT_TRUE(TimerExpiredAt(t, t.StartTicks + 1));
  }
}

TEST(TickClock, AdvancesWithTime) {
  uint32_t a = TickClock();
  uint32_t b = TickClock();
  EXPECT_LE(a, b);
}
