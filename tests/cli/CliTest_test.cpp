// krm4610 test: the console's endless loop without a window, counted.

#include "CliRun.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

namespace {

using namespace clitest;

TEST(CliTest, AThousandExchangesOfTheLineAsTyped) {
  TBus bus({"05"});
  const TRun run = bus.Cli({"test", "$05IFD", "--count", "1000"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  unsigned long long exchanges = 0, timeOuts = 0;
  double rate = 0, min = 0, mean = 0, max = 0, p99 = 0;
  int used = 0;
  ASSERT_EQ(std::sscanf(run.Out.c_str(), "EXCHANGES %llu  TIME-OUTS %llu  %lf/S  RTT MIN %lf MEAN %lf MAX %lf P99 %lf MS\n%n",
                        &exchanges, &timeOuts, &rate, &min, &mean, &max, &p99, &used),
            7)
      << run.Out;
  EXPECT_EQ(static_cast<std::size_t>(used), run.Out.size()) << run.Out;
  EXPECT_EQ(exchanges, 1000u);
  EXPECT_EQ(timeOuts, 0u);
  EXPECT_GT(rate, 0);
  EXPECT_LE(min, mean);
  EXPECT_LE(mean, max);
  EXPECT_LE(p99, max);
  EXPECT_GE(p99, min);
  // Sent as typed, nothing in front and nothing but the CR behind.
  const std::vector<std::string> frames = bus.Frames();
  EXPECT_EQ(frames.size(), 1000u);
  EXPECT_EQ(frames.front(), "$05IFD");
  EXPECT_EQ(frames.back(), "$05IFD");
}

TEST(CliTest, LostRepliesAreCountedAsTimeOutsAndTheLoopGoesOn) {
  TBus bus({"05,drop-every=100"});
  const TRun run = bus.Cli({"test", "$05E03", "--count", "300", "--json"});
  EXPECT_EQ(run.Status, 1) << run.Err;
  EXPECT_NE(run.Out.find("{\"exchanges\": 297, \"time_outs\": 3, "), std::string::npos) << run.Out;
  EXPECT_EQ(bus.Frames().size(), 300u);
}

TEST(CliTest, ATerminalWatchesTheFiguresLive) {
  TBus bus({"05"});
  const TRun run = bus.Cli({"test", "$05IFD", "--count", "50"}, nullptr, true);
  EXPECT_EQ(run.Status, 0);
  EXPECT_NE(run.Err.find("\r\033[KEXCHANGES 1  TIME-OUTS 0  "), std::string::npos) << run.Err;
  EXPECT_EQ(run.Out.rfind("EXCHANGES 50  TIME-OUTS 0  ", 0), 0u) << run.Out;
}

TEST(CliTest, CtrlCEndsAnEndlessRunWithItsFigures) {
  TBus bus({"05"});
  const TRun run = bus.Cli({"test", "$05IFD"}, [&bus](pid_t Child) {
    if (bus.Bus.frameCount() < 100) return false;
    ::kill(Child, SIGINT);
    return true;
  });
  EXPECT_EQ(run.Status, 0) << run.Err;
  unsigned long long exchanges = 0;
  ASSERT_EQ(std::sscanf(run.Out.c_str(), "EXCHANGES %llu  TIME-OUTS 0  ", &exchanges), 1) << run.Out;
  EXPECT_GE(exchanges, 99u);
  // An exchange cut short by the stop is not counted.
  EXPECT_LE(exchanges, bus.Frames().size());
}

TEST(CliTest, ADurationEndsTheRun) {
  TBus bus({"05"});
  const TRun run = bus.Cli({"test", "$05V", "--duration", "0.3"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out.rfind("EXCHANGES ", 0), 0u) << run.Out;
  EXPECT_EQ(run.Out.rfind("EXCHANGES 0 ", 0), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("  TIME-OUTS 0  "), std::string::npos) << run.Out;
}

}  // namespace
