// krm4610 show, set, save and load: a converter's settings read back, written
// in the fixed order with the window's messages, and kept in a file.

#include "CliRun.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using namespace clitest;

std::string TempFile(const std::string& Name) {
  return testing::TempDir() + "/krm4610-" + std::to_string(::getpid()) + "-" + Name;
}

std::string ReadFile(const std::string& Name) {
  std::ostringstream text;
  text << std::ifstream(Name).rdbuf();
  return text.str();
}

// Writes that are neither probes nor reads.
std::vector<std::string> Writes(const std::vector<std::string>& Frames) { return FramesOf(Frames, "AB012345689CFJLNS"); }

TEST(CliShow, BothKindsOfConverterShowWhatTheyHold) {
  TBus bus({"05,id=VALVE-12,version=2.10,protocol=422,baud485=38400,format485=E71,baud232=19200,format232=O81,"
            "tx=fast,stop=0A,append=no,checksum=on,delim=[,addrmode=off",
            "2A,init,version=2.10"});
  const TRun normal = bus.Cli({"show", "05"});
  EXPECT_EQ(normal.Status, 0) << normal.Err;
  EXPECT_EQ(normal.Out,
            "state       normal\n"
            "protocol    RS-422\n"
            "baud485     38400\n"
            "baud232     19200\n"
            "address     05\n"
            "addrmode    OFF\n"
            "txmode      FAST\n"
            "stopchar    0A\n"
            "appendstop  NO\n"
            "checksum    ON\n"
            "delimiter   [\n"
            "productid   VALVE-12\n"
            "format485   E71\n"
            "format232   O81\n"
            "version     2.10\n");

  const TRun init = bus.Cli({"show", "2A", "--json"});
  EXPECT_EQ(init.Status, 0) << init.Err;
  EXPECT_EQ(init.Out,
            "{\"state\": \"initial step\", \"initial_step\": true,\n"
            " \"settings\": {\"protocol\": \"RS-485\", \"baud485\": \"9600\", \"baud232\": \"9600\", "
            "\"address\": \"2A\", \"addrmode\": \"ON\", \"txmode\": \"NORMAL\", \"stopchar\": \"0D\", "
            "\"appendstop\": \"YES\", \"checksum\": \"OFF\", \"delimiter\": \":\", \"productid\": \"KRM4610\", "
            "\"format485\": \"N81\", \"format232\": \"N81\"},\n"
            " \"version\": \"2.10\",\n"
            " \"readback\": [70, 5, 5, 0, 0, 58, 50, 65, 13, 16]}\n");
  // The probe, the ten queries in order, the product ID and the version.
  std::vector<std::string> expected = {"$2AIFD"};
  for (int n = 0; n < 10; ++n) expected.push_back("$2AE0" + std::to_string(n));
  expected.insert(expected.end(), {"$2A7", "$2AV"});
  const std::vector<std::string> frames = bus.Frames();
  EXPECT_EQ(std::vector<std::string>(frames.end() - 13, frames.end()), expected);

  const TRun absent = bus.Cli({"show", "33"});
  EXPECT_EQ(absent.Status, 1);
  EXPECT_EQ(absent.Err, "krm4610: no converter answers at 33\n");
  EXPECT_EQ(absent.Out, "");
}

TEST(CliSet, EveryKeyGoesToAConverterInInitialStepInTheFixedOrder) {
  TBus bus({"0A,init"});
  const TRun run = bus.Cli({"set", "0A", "format232=o71", "productid=LINE 4 PUMP", "protocol=RS-422", "baud485=57600",
                            "baud232=4800", "address=1B", "addrmode=OFF", "txmode=FAST", "stopchar=0A",
                            "appendstop=NO", "checksum=ON", "delimiter=~", "format485=E72"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(Writes(bus.Frames()),
            (std::vector<std::string>{"$0AB", "$0A18", "$0A04", "$0A81B", "$0A5", "$0AF", "$0A90A", "$0AJ", "$0AS1",
                                      "$0AC~", "$0A6LINE 4 PUMP", "$0A3E72", "$0A2O71"}));
  // What the converter holds now, as the simulator reads it back.
  const krm::sim::Converter c = bus.Bus.converter(0);
  EXPECT_TRUE(c.rs422);
  EXPECT_EQ(c.rs485Baud, 8);
  EXPECT_EQ(c.rs232Baud, 4);
  EXPECT_EQ(c.address, 0x1B);
  EXPECT_FALSE(c.addressModeOn);
  EXPECT_TRUE(c.txFast);
  EXPECT_EQ(c.stopChar, 0x0A);
  EXPECT_FALSE(c.appendStop);
  EXPECT_TRUE(c.checksumOn);
  EXPECT_EQ(c.delimiter, '~');
  EXPECT_EQ(c.productId, "LINE 4 PUMP");
  EXPECT_EQ(c.rs485Format, 13);  // E,7,2
  EXPECT_EQ(c.rs232Format, 3);   // O,7,1
  EXPECT_EQ(run.Out.find("unchanged"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("productid   KRM4610  LINE 4 PUMP  written\n"), std::string::npos) << run.Out;

  // The same again changes nothing, so nothing is written.
  bus.Bus.clearFrames();
  const TRun again = bus.Cli({"set", "0A", "protocol=rs-422", "checksum=on", "productid=LINE 4 PUMP", "--json"});
  EXPECT_EQ(again.Status, 0) << again.Err;
  EXPECT_EQ(Writes(bus.Frames()), std::vector<std::string>{});
  EXPECT_NE(again.Out.find("{\"key\": \"checksum\", \"from\": \"ON\", \"to\": \"ON\", \"result\": \"unchanged\"}"),
            std::string::npos)
      << again.Out;
}

TEST(CliSet, ANormalConverterTakesOnlyDelimiterAndProductId) {
  TBus bus({"05"});
  const TRun refused = bus.Cli({"set", "05", "delimiter=]", "baud485=19200"});
  EXPECT_EQ(refused.Status, 1);
  EXPECT_EQ(refused.Err,
            "krm4610: converter 05 is not in initial step: baud485 may not be changed (nothing was written)\n");
  EXPECT_EQ(bus.Frames(), (std::vector<std::string>{"$05IFD"}));  // nothing but the probe

  const TRun allowed = bus.Cli({"set", "05", "delimiter=]", "productid=P-1"});
  EXPECT_EQ(allowed.Status, 0) << allowed.Err;
  EXPECT_EQ(Writes(bus.Frames()), (std::vector<std::string>{"$05C]", "$056P-1"}));
  EXPECT_EQ(bus.Bus.converter(0).delimiter, ']');
  EXPECT_EQ(bus.Bus.converter(0).productId, "P-1");
}

TEST(CliSet, AWriteWithoutAnswerOrThatDidNotTakeFails) {
  // Its 13th reply, the one to the write after probe, ten queries and the
  // product ID, is lost.
  TBus dropping({"05,init,drop-every=13"});
  const TRun dropped = dropping.Cli({"set", "05", "baud485=19200", "format485=E81"});
  EXPECT_EQ(dropped.Status, 1);
  EXPECT_NE(dropped.Err.find("krm4610: Write RS-485 baudrate fail\n"), std::string::npos) << dropped.Err;
  EXPECT_NE(dropped.Out.find("baud485    9600  19200  failed: Write RS-485 baudrate fail\n"), std::string::npos)
      << dropped.Out;
  // The sequencer goes on with the next setting.
  EXPECT_NE(dropped.Out.find("format485  N81   E81    written\n"), std::string::npos) << dropped.Out;

  // The converter answers the write but, by the time it is read back, holds
  // its old mode again.
  TBus forgetting({"05,init,latency=40"});
  const TRun forgot = forgetting.Cli({"set", "05", "txmode=FAST"}, [&forgetting](pid_t) {
    if (!forgetting.Bus.converter(0).txFast) return false;
    forgetting.Bus.modify(0, [](krm::sim::Converter& C) { C.txFast = false; });
    return true;
  });
  EXPECT_EQ(forgot.Status, 1);
  EXPECT_EQ(forgot.Err, "krm4610: txmode did not take: it reads NORMAL\n");
  EXPECT_NE(forgot.Out.find("txmode  NORMAL  FAST  not taken: reads NORMAL\n"), std::string::npos) << forgot.Out;
}

TEST(CliSaveLoad, ASavedConverterLoadedOntoAnotherInInitialStepShowsTheSame) {
  TBus bus({"0A,init,id=PUMP-7,version=2.10,protocol=422,baud485=38400,format485=E71,stop=0A,append=no,checksum=on,"
            "delim=[",
            "0B,init,version=2.10", "0C,version=2.10"});
  const std::string file = TempFile("0A.krm");
  const TRun saved = bus.Cli({"save", "0A", file});
  EXPECT_EQ(saved.Status, 0) << saved.Err;
  EXPECT_EQ(ReadFile(file),
            "# KRM4610 at 0A (initial step), saved by krm4610\n"
            "# krm4610 load HH FILE writes it back\n"
            "protocol=RS-422\nbaud485=38400\nbaud232=9600\naddress=0A\naddrmode=ON\ntxmode=NORMAL\nstopchar=0A\n"
            "appendstop=NO\nchecksum=ON\ndelimiter=[\nproductid=PUMP-7\nformat485=E71\nformat232=N81\n");

  const TRun loaded = bus.Cli({"load", "0B", file});
  EXPECT_EQ(loaded.Status, 0) << loaded.Err;
  const TRun original = bus.Cli({"show", "0A"});
  const TRun copy = bus.Cli({"show", "0B"});
  EXPECT_EQ(copy.Status, 0) << copy.Err;
  EXPECT_EQ(copy.Out, original.Out);
  EXPECT_EQ(bus.Bus.converter(1).address, 0x0A);  // from the next power-up on

  // A normal converter gets what it may take; the rest is left alone.
  bus.Bus.clearFrames();
  const TRun normal = bus.Cli({"load", "0C", file});
  EXPECT_EQ(normal.Status, 0) << normal.Err;
  EXPECT_EQ(Writes(bus.Frames()), (std::vector<std::string>{"$0CC[", "$0C6PUMP-7"}));
  EXPECT_NE(normal.Out.find("protocol    RS-485   RS-422  left alone: the converter is not in initial step\n"),
            std::string::npos)
      << normal.Out;
  EXPECT_FALSE(bus.Bus.converter(2).rs422);
}

TEST(CliSaveLoad, ABadFileIsBadUsageAndNothingIsSent) {
  TBus bus({"0B,init"});
  const std::string file = TempFile("bad.krm");
  std::ofstream(file) << "# settings\nprotocol=RS-485\n\nbaud485=1234\n";
  const TRun run = bus.Cli({"load", "0B", file});
  EXPECT_EQ(run.Status, 2);
  EXPECT_NE(run.Err.find(file + ":4: bad value \"1234\" for baud485"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find("Usage: krm4610 load HH FILE"), std::string::npos) << run.Err;
  EXPECT_EQ(bus.Frames(), std::vector<std::string>{});

  const TRun missing = bus.Cli({"load", "0B", TempFile("none.krm")});
  EXPECT_EQ(missing.Status, 2);
  EXPECT_NE(missing.Err.find("No such file or directory"), std::string::npos) << missing.Err;
}

}  // namespace
