// The serial ports as sysfs lists them, on a tree made for the test.

#include "SerialPorts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

TEST(SerialPorts, RealPortsWithTheirStableNamesAndTheWindowsComNumber) {
  const fs::path root = fs::path(testing::TempDir()) / ("krm4610-ports-" + std::to_string(::getpid()));
  const fs::path tty = root / "class", dev = root / "dev";
  fs::remove_all(root);
  const auto port = [&](const std::string& Name, const char* Type) {
    fs::create_directories(tty / Name / "device");
    if (Type) std::ofstream(tty / Name / "type") << Type << "\n";
    std::ofstream(dev / Name);
  };
  fs::create_directories(dev / "serial" / "by-id");
  port("ttyS0", "4");   // a 16550A
  port("ttyS1", "0");   // no UART behind it
  port("ttyUSB0", nullptr);
  port("ttyACM0", nullptr);
  port("tty1", nullptr);  // a console, no serial port
  fs::create_directories(tty / "ttyUSB1");  // no device: virtual
  fs::create_directory_symlink("../../ttyUSB0", dev / "serial" / "by-id" / "usb-FTDI_FT232R-if00-port0");
  fs::create_symlink("../../ttyACM0", dev / "serial" / "by-id" / "usb-Arduino-if00");

  ::setenv("KRM4610_COM2", (dev / "ttyUSB0").c_str(), 1);
  ::setenv("KRM4610_COM1", (dev / "ttyS0").c_str(), 1);
  const std::vector<TSerialPort> ports = ListSerialPorts(tty.string(), dev.string());
  ::unsetenv("KRM4610_COM2");
  ::unsetenv("KRM4610_COM1");

  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].Device, (dev / "ttyACM0").string());
  EXPECT_EQ(ports[0].Kind, "ACM");
  EXPECT_EQ(ports[0].ById, std::vector<std::string>{(dev / "serial" / "by-id" / "usb-Arduino-if00").string()});
  EXPECT_EQ(ports[0].ComNumber, std::nullopt);
  EXPECT_EQ(ports[1].Device, (dev / "ttyS0").string());
  EXPECT_EQ(ports[1].Kind, "UART");
  EXPECT_EQ(ports[1].ComNumber, 1);
  EXPECT_EQ(ports[2].Device, (dev / "ttyUSB0").string());
  EXPECT_EQ(ports[2].Kind, "USB");
  EXPECT_EQ(ports[2].ComNumber, 2);
  EXPECT_EQ(ports[2].ById.size(), 1u);
  fs::remove_all(root);
}

TEST(SerialPorts, NoSysfsNoPorts) {
  EXPECT_TRUE(ListSerialPorts("/nonexistent/krm4610", "/nonexistent/dev").empty());
}

}  // namespace
