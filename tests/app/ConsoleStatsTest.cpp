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
