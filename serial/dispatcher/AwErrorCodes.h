// Result codes of the serial port library. Every operation below the
// component answers 0 (or a positive value) for success and one of these
// negative codes for failure; the component turns them into exceptions.
#pragma once

#include <cstdint>

namespace ecode {

inline constexpr int32_t OK = 0;

// Runtime file and device errors (negated runtime error numbers).
inline constexpr int32_t FileNotFound = -2;
inline constexpr int32_t PathNotFound = -3;
inline constexpr int32_t TooManyOpenFiles = -4;
inline constexpr int32_t FileAccessDenied = -5;
inline constexpr int32_t InvalidFileHandle = -6;
inline constexpr int32_t OutOfMemory = -8;
inline constexpr int32_t DiskFull = -101;
inline constexpr int32_t FileNotOpen = -103;
inline constexpr int32_t WriteProtected = -150;
inline constexpr int32_t GeneralFailure = -162;
inline constexpr int32_t LowestIoError = -162;
inline constexpr int32_t HighestIoError = -2;

// General errors of the port classes.
inline constexpr int32_t BadHandle = -1001;
inline constexpr int32_t BadArgument = -1002;
inline constexpr int32_t GotQuitMsg = -1003;
inline constexpr int32_t BufferTooBig = -1004;
inline constexpr int32_t PortNotAssigned = -1005;
inline constexpr int32_t InternalError = -1006;
inline constexpr int32_t ModemNotAssigned = -1007;
inline constexpr int32_t PhonebookNotAssigned = -1008;
inline constexpr int32_t CannotUseWithWinSock = -1009;

// Errors of opening a port.
inline constexpr int32_t BadId = -2001;
inline constexpr int32_t BaudRate = -2002;
inline constexpr int32_t ByteSize = -2003;
inline constexpr int32_t Default = -2004;
inline constexpr int32_t Hardware = -2005;
inline constexpr int32_t Memory = -2006;
inline constexpr int32_t CommNotOpen = -2007;
inline constexpr int32_t AlreadyOpen = -2008;
inline constexpr int32_t NoHandles = -2009;
inline constexpr int32_t NoTimers = -2010;
inline constexpr int32_t NoPortSelected = -2011;
inline constexpr int32_t NotOpenedByTapi = -2012;

// Errors of serial input/output.
inline constexpr int32_t NullApi = -3001;
inline constexpr int32_t NotSupported = -3002;
inline constexpr int32_t RegisterHandlerFailed = -3003;
inline constexpr int32_t PutBlockFail = -3004;
inline constexpr int32_t GetBlockFail = -3005;
inline constexpr int32_t OutputBufferTooSmall = -3006;
inline constexpr int32_t BufferIsEmpty = -3007;
inline constexpr int32_t TracingNotEnabled = -3008;
inline constexpr int32_t LoggingNotEnabled = -3009;
inline constexpr int32_t BaseAddressNotSet = -3010;

// Trigger errors.
inline constexpr int32_t NoMoreTriggers = -5001;
inline constexpr int32_t TriggerTooLong = -5002;
inline constexpr int32_t BadTriggerHandle = -5003;

// A system error that no code above expresses: the system's own number,
// kept apart from the runtime codes (whose numbers mean other things), so
// that its message is the system's own text for that number.
inline constexpr int32_t SystemErrorBase = -1000000;
inline constexpr int32_t SystemErrorSpan = 1000000;
constexpr int32_t SystemError(int32_t number) { return SystemErrorBase - number; }
constexpr bool IsSystemError(int32_t code) {
  return code < SystemErrorBase && code > SystemErrorBase - SystemErrorSpan;
}
constexpr int32_t SystemErrorNumber(int32_t code) { return SystemErrorBase - code; }

}  // namespace ecode
