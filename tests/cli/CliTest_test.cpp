// krm4610 test: the console's endless loop without a window, counted.

#include "CliRun.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using namespace clitest;

TEST(CliTest, AThousandExchangesOfTheLineAsTyped) {
  TBus bus({"05"});
  const TRun run = bus.Cli({"test", "$05IFD", "--count", "1000"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  std::smatch figures;
  ASSERT_TRUE(std::regex_match(run.Out, figures,
                               std::regex("EXCHANGES 1000  TIME-OUTS 0  [0-9.]+/S  RTT MIN ([0-9.]+) MEAN ([0-9.]+) "
                                          "MAX ([0-9.]+) P99 ([0-9.]+) MS\n")))
      << run.Out;
  const double min = std::stod(figures[1]), mean = std::stod(figures[2]), max = std::stod(figures[3]),
               p99 = std::stod(figures[4]);
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

TEST(CliTest, ADurationEndsTheRun) {
  TBus bus({"05"});
  const TRun run = bus.Cli({"test", "$05V", "--duration", "0.3"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_TRUE(std::regex_search(run.Out, std::regex("^EXCHANGES [1-9][0-9]*  TIME-OUTS 0  "))) << run.Out;
}

}  // namespace
