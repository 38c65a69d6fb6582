// What opening port COMn means on this platform, without Qt: the device name
// the component asks for, the port as a user knows it, and an open result
// in the program's codes and in the user's words. The component and the
// command line tell a failed open the same way.
#pragma once

#include <cstdint>
#include <string>

// "\\.\COM3" for port 3.
std::string PortDeviceName(uint16_t ComNumber);
// "COM1 (/dev/ttyUSB0)": the port and the device it names, when they differ.
std::string PortLabelOf(uint16_t ComNumber);
// A device layer's open result as the program's code: held by another
// program is "already open", absent is "doesn't exist".
int32_t TranslateOpenResult(int32_t Result);
// The same result in words a user acts on.
std::string OpenFailureReason(int32_t Result);
