// The device layer the component opens ports with on this platform, and
// what its open results mean.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
#include "AwWin32.h"
using TPlatformDispatcher = TApdWin32Dispatcher;

inline bool PortHeldByAnotherProgram(int32_t code) {
  return TApdWin32Dispatcher::IsHeldByAnotherProgram(code);
}
inline bool PortMissing(int32_t code) { return TApdWin32Dispatcher::IsMissingPort(code); }
// Windows answers "access denied" for a held port: a refusal is taken as that.
inline bool PortPermissionDenied(int32_t) { return false; }
// "\\.\COM3" names the device COM3.
inline std::string PortDevicePath(const std::string& name) {
  return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
}
#else
#include "AwPosix.h"
using TPlatformDispatcher = TApdPosixDispatcher;

// The POSIX layer answers a refused lock with "access denied" (5) and every
// kind of absent device with "file not found" (2), as Windows would; a
// permission problem keeps the system's EACCES or EPERM.
inline bool PortHeldByAnotherProgram(int32_t code) { return code == -5; }
inline bool PortMissing(int32_t code) { return code == -2 || code == -3; }
inline bool PortPermissionDenied(int32_t code) {
  return TApdPosixDispatcher::IsPermissionDenied(code);
}
// The device file the port name resolves to.
inline std::string PortDevicePath(const std::string& name) {
  return TApdPosixDispatcher::ResolvePortName(name);
}
#endif
