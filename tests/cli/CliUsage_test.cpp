// krm4610's usage errors and port failures: the exit status and the words.

#include "CliRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using namespace clitest;

bool Has(const std::string& Text, const std::string& Part) { return Text.find(Part) != std::string::npos; }

TEST(CliUsage, BadUsageGivesTheReasonAndTheUsageLine) {
  struct TCase {
    std::vector<std::string> Args;
    std::string Reason, Usage;
  };
  const TCase cases[] = {
      {{}, "no command given", "Usage: krm4610 COMMAND"},
      {{"probe"}, "unknown command \"probe\"", "Usage: krm4610 COMMAND"},
      {{"show"}, "too few arguments", "Usage: krm4610 show HH [OPTION]..."},
      {{"show", "5"}, "bad address \"5\"", "Usage: krm4610 show HH"},
      {{"show", "05", "06"}, "unexpected argument \"06\"", "Usage: krm4610 show HH"},
      {{"show", "05", "--from", "01"}, "unknown option --from", "Usage: krm4610 show HH"},
      {{"ports", "--port", "COM1"}, "unknown option --port", "Usage: krm4610 ports [--json]"},
      {{"set", "05"}, "too few arguments", "Usage: krm4610 set HH KEY=VALUE..."},
      {{"set", "05", "speed=9600"}, "unknown key \"speed\"", "Usage: krm4610 set HH KEY=VALUE..."},
      {{"set", "05", "baud485"}, "\"baud485\" is not KEY=VALUE", "Usage: krm4610 set"},
      {{"set", "05", "delimiter=:", "delimiter=["}, "key \"delimiter\" given twice", "Usage: krm4610 set"},
      {{"set", "05", "productid=0123456789012345678901234567890"},
       "bad value \"0123456789012345678901234567890\" for productid: expected at most 30 characters",
       "Usage: krm4610 set"},
      {{"set", "05", "stopchar=100"}, "bad value \"100\" for stopchar", "Usage: krm4610 set"},
      {{"scan", "--baud", "1234"}, "bad --baud 1234", "Usage: krm4610 scan"},
      {{"scan", "--format", "N71"}, "bad --format \"N71\"", "Usage: krm4610 scan"},
      {{"scan", "--port", "ttyS0"}, "bad --port \"ttyS0\"", "Usage: krm4610 scan"},
      {{"scan", "--json=yes"}, "option --json takes no value", "Usage: krm4610 scan"},
      {{"test", "X", "--count", "0"}, "bad --count \"0\"", "Usage: krm4610 test LINE"},
      {{"test", "X", "--count", "2.5"}, "bad --count \"2.5\"", "Usage: krm4610 test LINE"},
      {{"test", "X", "--duration"}, "option --duration needs a value", "Usage: krm4610 test LINE"},
  };
  for (const TCase& c : cases) {
    const TRun run = RunCli(c.Args);
    SCOPED_TRACE(testing::PrintToString(c.Args));
    EXPECT_EQ(run.Status, 2);
    EXPECT_TRUE(Has(run.Err, "krm4610: " + c.Reason)) << run.Err;
    EXPECT_TRUE(Has(run.Err, c.Usage)) << run.Err;
    EXPECT_EQ(run.Out, "");
  }
}

TEST(CliUsage, HelpForTheProgramAndForEachVerb) {
  const TRun program = RunCli({"--help"});
  EXPECT_EQ(program.Status, 0);
  for (const char* verb : {"ports", "scan", "show", "set", "save", "load", "test"})
    EXPECT_TRUE(Has(program.Out, std::string("krm4610 ") + verb)) << verb;
  const TRun set = RunCli({"set", "--help"});
  EXPECT_EQ(set.Status, 0);
  EXPECT_EQ(set.Out.rfind("Usage: krm4610 set HH KEY=VALUE... [OPTION]...\n", 0), 0u) << set.Out;
  EXPECT_TRUE(Has(set.Out, "--port COMn|PATH"));
  EXPECT_TRUE(Has(RunCli({"test", "-h"}).Out, "Usage: krm4610 test LINE [--count N] [--duration S]"));
}

TEST(CliPort, APortThatCannotBeOpenedGivesTheWindowsWarning) {
  const TRun missing = RunCli({"show", "05", "--port", "/dev/krm4610-no-such-port"});
  EXPECT_EQ(missing.Status, 3);
  EXPECT_EQ(missing.Err, "krm4610: COM Port Not Exist\n/dev/krm4610-no-such-port: no such device\n");

  const TRun mapped = RunCli({"scan", "--port", "com9"}, {"KRM4610_COM9=/dev/krm4610-gone"});
  EXPECT_EQ(mapped.Status, 3);
  EXPECT_EQ(mapped.Err, "krm4610: COM Port Not Exist\nCOM9 (/dev/krm4610-gone): no such device\n");

  // Held by another program: this one.
  TBus bus({"05"});
  const int held = ::open(bus.Path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  const TRun busy = bus.Cli({"test", "$05IFD", "--count", "1"});
  EXPECT_EQ(busy.Status, 3);
  EXPECT_EQ(busy.Err, "krm4610: COM Port Not Exist\n" + bus.Path() + ": in use by another program\n");
  EXPECT_EQ(bus.Frames(), std::vector<std::string>{});
  ::close(held);

  // Free again, COM1 by default, as the window names it.
  const TRun free = RunCli({"show", "05", "--baud", "115200"}, {"KRM4610_COM1=" + bus.Path()});
  EXPECT_EQ(free.Status, 0) << free.Err;
}

TEST(CliPort, ThePortsOfThisMachineInBothForms) {
  const TRun table = RunCli({"ports"});
  EXPECT_EQ(table.Status, 0) << table.Err;
  EXPECT_EQ(table.Out.rfind("PORT", 0), 0u) << table.Out;
  const TRun json = RunCli({"ports", "--json"});
  EXPECT_EQ(json.Status, 0) << json.Err;
  ASSERT_GE(json.Out.size(), 3u);
  EXPECT_EQ(json.Out.front(), '[');
  EXPECT_EQ(json.Out.substr(json.Out.size() - 2), "]\n");
  // As many ports in the one form as in the other.
  const auto lines = static_cast<std::size_t>(std::count(table.Out.begin(), table.Out.end(), '\n'));
  const auto objects = static_cast<std::size_t>(std::count(json.Out.begin(), json.Out.end(), '{'));
  EXPECT_EQ(lines - 1, objects) << table.Out << json.Out;
}

TEST(CliPort, ALineThatGoesAwayEndsTheRunAsAPortFailure) {
  TBus bus({"05"});
  const TRun run = bus.Cli({"test", "$05IFD"}, [&bus](pid_t) {
    if (bus.Bus.frameCount() < 10) return false;
    bus.Bus.closeLine();
    return true;
  });
  EXPECT_EQ(run.Status, 3);
  EXPECT_EQ(run.Err, "krm4610: COM Port Not Exist\n" + bus.Path() + ": device disconnected\n");
}

}  // namespace
