#include "ConsoleStats.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = TExchangeStats::Clock;

TEST(ConsoleStats, ARunCountsItsExchangesRoundTripsAndRate) {
  TExchangeStats stats;
  EXPECT_EQ(stats.Line(), "");  // nothing before the first start
  const Clock::time_point start{};
  stats.Start(start);
  EXPECT_EQ(stats.Line(), "EXCHANGES 0  TIME-OUTS 0  0.0/S  RTT 0.0 (MIN 0.0 MEAN 0.0 MAX 0.0) MS");
  // Round trips of 2, 6 and 1 ms, back to back, the last reply at 9 ms.
  stats.Sent(start);
  stats.Replied(start + 2ms);
  stats.Sent(start + 2ms);
  stats.Replied(start + 8ms);
  stats.Sent(start + 8ms);
  stats.Replied(start + 9ms);
  EXPECT_EQ(stats.Completed(), 3u);
  EXPECT_DOUBLE_EQ(stats.LastMs(), 1.0);
  EXPECT_DOUBLE_EQ(stats.MinMs(), 1.0);
  EXPECT_DOUBLE_EQ(stats.MaxMs(), 6.0);
  EXPECT_DOUBLE_EQ(stats.MeanMs(), 3.0);
  EXPECT_NEAR(stats.PerSecond(), 3 / 0.009, 1e-6);
  stats.Sent(start + 9ms);
  stats.TimedOut();
  EXPECT_EQ(stats.Line(), "EXCHANGES 3  TIME-OUTS 1  333.3/S  RTT 1.0 (MIN 1.0 MEAN 3.0 MAX 6.0) MS");

  // A new start forgets the run before it.
  stats.Start(start + 1s);
  stats.Sent(start + 1s);
  stats.Replied(start + 1s + 250us);
  EXPECT_EQ(stats.Line(), "EXCHANGES 1  TIME-OUTS 0  4000.0/S  RTT 0.2 (MIN 0.2 MEAN 0.2 MAX 0.2) MS");
}

}  // namespace

namespace {

// Round trips of the given lengths, back to back.
TExchangeStats RunOf(std::initializer_list<std::pair<int, Clock::duration>> Trips) {
  TExchangeStats stats;
  Clock::time_point now{};
  stats.Start(now);
  for (const auto& [count, trip] : Trips)
    for (int i = 0; i < count; ++i) {
      stats.Sent(now);
      now += trip;
      stats.Replied(now);
    }
  return stats;
}

TEST(ConsoleStats, TheNinetyNinthPercentileIsTheRoundTripOnlyOneInAHundredExceeds) {
  EXPECT_DOUBLE_EQ(TExchangeStats().P99Ms(), 0.0);  // no exchange yet

  // One slow exchange in a hundred does not move it; two do.
  const TExchangeStats oneSlow = RunOf({{99, 1ms}, {1, 50ms}});
  EXPECT_NEAR(oneSlow.P99Ms(), 1.0, 1.0 / 32);
  EXPECT_GE(oneSlow.P99Ms(), 1.0);
  const TExchangeStats twoSlow = RunOf({{98, 1ms}, {2, 50ms}});
  EXPECT_NEAR(twoSlow.P99Ms(), 50.0, 50.0 / 32);

  // Never above the slowest, whatever the bucket's width.
  const TExchangeStats one = RunOf({{1, 3300us}});
  EXPECT_DOUBLE_EQ(one.P99Ms(), 3.3);
  // Below 32 microseconds every length has a bucket of its own.
  EXPECT_DOUBLE_EQ(RunOf({{100, 7us}}).P99Ms(), 0.007);
  // A trip longer than the last bucket still counts, in the last one.
  const TExchangeStats huge = RunOf({{1, 3h}});
  EXPECT_DOUBLE_EQ(huge.P99Ms(), huge.MaxMs());
}

TEST(ConsoleStats, TheSummaryGivesTheWholeRunOnOneLine) {
  TExchangeStats stats = RunOf({{3, 2ms}});
  stats.Sent(Clock::time_point{} + 6ms);
  stats.TimedOut();
  EXPECT_EQ(stats.Summary(), "EXCHANGES 3  TIME-OUTS 1  500.0/S  RTT MIN 2.0 MEAN 2.0 MAX 2.0 P99 2.0 MS");
}

}  // namespace
