// krm4610 scan: the probe of every address, its evaluation, the table and
// JSON forms, the address range and a stop by Ctrl-C.

#include "CliRun.h"
#include "KrmProtocol.h"

#include <gtest/gtest.h>

namespace {

using namespace clitest;

// Converters at 00, 0A (initial step) and FF; every other address answers
// the probe with noise in front, which is nobody, so that the scan of all
// 256 addresses waits for no time-out.
std::vector<std::string> ThreeAmongNoise() {
  std::vector<std::string> converters = {"00,id=HEAD", "0A,init,id=PUMP-7", "FF,id=TAIL"};
  for (int address = 1; address < 255; ++address)
    if (address != 0x0A) converters.push_back(HexByte(address) + ",noise-before=#");
  return converters;
}

TEST(CliScan, FindsTheFirstTheLastAndTheInitialStepAmongForeignReplies) {
  TBus bus(ThreeAmongNoise());
  const TRun table = bus.Cli({"scan"});
  EXPECT_EQ(table.Status, 0) << table.Err;
  EXPECT_EQ(table.Out,
            "ADDRESS  INIT  PRODUCT ID\n"
            "00H            HEAD\n"
            "0AH      *     PUMP-7\n"
            "FFH            TAIL\n");
  EXPECT_EQ(table.Err, "SCAN COMPLETE. 3 MODULE FOUND\n");
  // Every address probed once, in order, then the three product IDs.
  const std::vector<std::string> probes = FramesOf(bus.Frames(), "I");
  ASSERT_EQ(probes.size(), 256u);
  for (int address = 0; address < 256; ++address)
    EXPECT_EQ(probes[static_cast<std::size_t>(address)], "$" + HexByte(address) + "IFD");
  EXPECT_EQ(FramesOf(bus.Frames(), "7"), (std::vector<std::string>{"$007", "$0A7", "$FF7"}));

  const TRun json = bus.Cli({"scan", "--json"});
  EXPECT_EQ(json.Status, 0) << json.Err;
  EXPECT_EQ(json.Out, "{\"port\": \"" + bus.Path() +
                          "\", \"from\": \"00\", \"to\": \"FF\", \"interrupted\": false,\n"
                          " \"converters\": [\n"
                          "  {\"address\": \"00\", \"initial_step\": false, \"product_id\": \"HEAD\"},\n"
                          "  {\"address\": \"0A\", \"initial_step\": true, \"product_id\": \"PUMP-7\"},\n"
                          "  {\"address\": \"FF\", \"initial_step\": false, \"product_id\": \"TAIL\"}]}\n");
}

TEST(CliScan, ProbesOnlyItsRangeAndFindingNobodyIsAFailure) {
  TBus bus({"00", "0A,init", "FF"});
  const TRun ranged = bus.Cli({"scan", "--from", "08", "--to=0a"});
  EXPECT_EQ(ranged.Status, 0) << ranged.Err;
  EXPECT_EQ(ranged.Out, "ADDRESS  INIT  PRODUCT ID\n0AH      *     KRM4610\n");
  EXPECT_EQ(FramesOf(bus.Frames(), "I"), (std::vector<std::string>{"$08IFD", "$09IFD", "$0AIFD"}));

  bus.Bus.clearFrames();
  const TRun none = bus.Cli({"scan", "--from", "01", "--to", "01"});
  EXPECT_EQ(none.Status, 1);
  EXPECT_EQ(none.Out, "ADDRESS  INIT  PRODUCT ID\n");
  EXPECT_EQ(none.Err, "SCAN COMPLETE. 0 MODULE FOUND\n");
  EXPECT_EQ(bus.Frames(), (std::vector<std::string>{"$01IFD"}));

  const TRun backwards = bus.Cli({"scan", "--from", "0B", "--to", "0A"});
  EXPECT_EQ(backwards.Status, 2);
  EXPECT_NE(backwards.Err.find("--from 0B lies beyond --to 0A"), std::string::npos) << backwards.Err;
}

TEST(CliScan, CtrlCStopsTheScanAndListsWhatWasFound) {
  // 00 answers; every later address is silent and costs a whole time-out.
  TBus bus({"00,id=HEAD"});
  const TRun run = bus.Cli({"scan", "--json"}, [&bus](pid_t Child) {
    if (bus.Bus.frameCount() < 3) return false;  // probing 02 by now
    ::kill(Child, SIGINT);
    return true;
  });
  EXPECT_EQ(run.Status, 130) << run.Err;
  EXPECT_NE(run.Out.find("\"interrupted\": true"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("{\"address\": \"00\", \"initial_step\": false"), std::string::npos) << run.Out;
  EXPECT_EQ(run.Err, "Stopped. SCAN COMPLETE. 1 MODULE FOUND\n");
  // It stopped at once: no further probe, no product ID read.
  EXPECT_EQ(FramesOf(bus.Frames(), "I"), (std::vector<std::string>{"$00IFD", "$01IFD", "$02IFD"}));
}

TEST(CliScan, ATerminalSeesTheProgressAPipeDoesNot) {
  TBus bus({"01"});
  const TRun run = bus.Cli({"scan", "--from", "00", "--to", "02"}, nullptr, true);
  EXPECT_EQ(run.Status, 0);
  // Each address as it is probed, with the count and the time so far, on one line rewritten.
  EXPECT_NE(run.Err.find("\r\033[K[................................] SCAN ADDRESS   00  0 found  0.0 s"),
            std::string::npos)
      << run.Err;
  EXPECT_NE(run.Err.find("\r\033[K[#####################...........] SCAN ADDRESS   02  1 found  "),
            std::string::npos)
      << run.Err;
  EXPECT_NE(run.Err.find("SCAN COMPLETE. 1 MODULE FOUND"), std::string::npos) << run.Err;
  EXPECT_EQ(run.Out.find('\r'), std::string::npos);  // the table on stdout stays clean
}

}  // namespace
