// SerialPorts: the serial ports of this machine as sysfs lists them: ttyS
// ports with a real UART behind them, USB serial adapters (ttyUSB) and
// modems (ttyACM), with their stable /dev/serial/by-id names and the COM
// number that names them in the window, where one does.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TSerialPort {
  std::string Device;              // "/dev/ttyUSB0"
  std::string Kind;                // "UART", "USB" or "ACM"
  std::vector<std::string> ById;   // "/dev/serial/by-id/usb-FTDI_..."
  std::optional<int> ComNumber;    // the window's COMn for it
};

// ClassDir is normally /sys/class/tty, DevDir /dev; sorted by device name.
std::vector<TSerialPort> ListSerialPorts(const std::string& ClassDir = "/sys/class/tty",
                                         const std::string& DevDir = "/dev");
