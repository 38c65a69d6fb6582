#include "SerialPorts.h"

#include "AdPlatform.h"
#include "AdPortOpen.h"
#include "KrmProtocol.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// "UART", "USB", "ACM", or none for a tty that is no serial port.
std::optional<std::string> KindOf(const std::string& Name) {
  if (Name.rfind("ttyUSB", 0) == 0) return "USB";
  if (Name.rfind("ttyACM", 0) == 0) return "ACM";
  if (Name.rfind("ttyS", 0) == 0) return "UART";
  return std::nullopt;
}

// The kernel makes a ttyS for every port it could have; type 0 says no
// UART answered there.
bool HasUart(const fs::path& Entry) {
  std::ifstream type(Entry / "type");
  int code = 0;
  return type >> code && code != 0;
}

std::string Canonical(const std::string& Path) {
  std::error_code error;
  const fs::path path = fs::canonical(Path, error);
  return error ? Path : path.string();
}

std::optional<int> ComNumberOf(const std::string& Device) {
  const std::string device = Canonical(Device);
  for (int n = 1; n <= HostComPorts; ++n)
    if (Canonical(PortDevicePath(PortDeviceName(static_cast<uint16_t>(n)))) == device) return n;
  return std::nullopt;
}

}  // namespace

std::vector<TSerialPort> ListSerialPorts(const std::string& ClassDir, const std::string& DevDir) {
  std::vector<TSerialPort> ports;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(ClassDir, error)) {
    const std::string name = entry.path().filename().string();
    const auto kind = KindOf(name);
    // A tty without a device behind it is virtual.
    if (!kind || !fs::exists(entry.path() / "device", error)) continue;
    if (*kind == "UART" && !HasUart(entry.path())) continue;
    TSerialPort port;
    port.Device = (fs::path(DevDir) / name).string();
    port.Kind = *kind;
    ports.push_back(port);
  }
  for (const fs::directory_entry& link : fs::directory_iterator(fs::path(DevDir) / "serial" / "by-id", error)) {
    const std::string target = Canonical(link.path().string());
    for (TSerialPort& port : ports)
      if (Canonical(port.Device) == target) port.ById.push_back(link.path().string());
  }
  for (TSerialPort& port : ports) {
    std::sort(port.ById.begin(), port.ById.end());
    port.ComNumber = ComNumberOf(port.Device);
  }
  std::sort(ports.begin(), ports.end(), [](const TSerialPort& A, const TSerialPort& B) { return A.Device < B.Device; });
  return ports;
}
