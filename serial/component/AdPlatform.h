// The device layer the component opens ports with on this platform, and
// what its open results mean.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include "AwWin32.h"
using TPlatformDispatcher = TApdWin32Dispatcher;

inline bool PortHeldByAnotherProgram(int32_t code) {
  return TApdWin32Dispatcher::IsHeldByAnotherProgram(code);
}
inline bool PortMissing(int32_t code) { return TApdWin32Dispatcher::IsMissingPort(code); }
#else
#include "AwPosix.h"
using TPlatformDispatcher = TApdPosixDispatcher;

// The POSIX layer answers a refused lock with "access denied" (5) and every
// kind of absent device with "file not found" (2), as Windows would; a
// permission problem keeps its own errno (13).
inline bool PortHeldByAnotherProgram(int32_t code) { return code == -5; }
inline bool PortMissing(int32_t code) { return code == -2 || code == -3; }
#endif
