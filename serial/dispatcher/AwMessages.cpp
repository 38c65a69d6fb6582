#include "AwMessages.h"

#include "AwErrorCodes.h"

#include <array>
#include <cstring>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr size_t MaxMessageLength = 255;

constexpr auto Table = std::to_array<TErrorMessage>({
    {0, "OK"},

    // The runtime's file and device errors.
    {-2, "File not found"},
    {-3, "Path not found"},
    {-4, "Too many open files"},
    {-5, "File access denied"},
    {-6, "Invalid file handle"},
    {-12, "Invalid file access code"},
    {-15, "Invalid drive number"},
    {-100, "Disk read error"},
    {-101, "Disk is full"},
    {-102, "File not assigned"},
    {-103, "File/device not open"},
    {-104, "File not open for input"},
    {-105, "File not open for output"},
    {-106, "Invalid numeric format"},
    {-150, "Disk is write-protected"},
    {-151, "Unknown unit"},
    {-152, "Drive not ready"},
    {-153, "Unknown command"},
    {-154, "CRC error in data"},
    {-155, "Bad drive request structure length"},
    {-156, "Disk seek error"},
    {-157, "Unknown media type"},
    {-158, "Sector not found"},
    {-159, "Printer out of paper"},
    {-160, "Device write fault"},
    {-161, "Device read fault"},
    {-162, "General failure"},

    // General errors of the port classes.
    {-1001, "Bad handle passed to com function"},
    {-1002, "Bad argument passed to function"},
    {-1003, "Got quit message"},
    {-1004, "Terminal buffer greater than 65521"},
    {-1005, "ComPort component not assigned"},
    {-1006, "Internal error creating window class"},
    {-1007, "Modem component not assigned"},
    {-1008, "Phonebook component not assigned"},
    {-1009, "Component not compatible with WinSock"},

    // Errors of opening a port.
    {-2001, "ie_BadId - Specified comport doesn't exist"},
    {-2002, "ie_Baudrate - unsupported baud rate"},
    {-2003, "ie_Bytesize - invalid byte size"},
    {-2004, "ie_Default - error in default parameters"},
    {-2005, "ie_Hardware - Specified comport in use"},
    {-2006, "ie_Memory - unable to allocate queues"},
    {-2007, "ie_NOpen - device not open"},
    {-2008, "ie_Open - device already open"},
    {-2009, "No more handles, can't open port"},
    {-2010, "No timers available"},
    {-2011, "The ComNumber property of the TApdComPort has not been set"},
    {-2012, "Comport was not opened by Tapi"},

    // Errors of serial input/output.
    {-3001, "No device layer specified"},
    {-3002, "Function not supported by driver"},
    {-3003, "EnableCommNotification failed"},
    {-3004, "Failed to put entire block"},
    {-3005, "Failed to get entire block"},
    {-3006, "Output buffer too small for block"},
    {-3007, "Buffer is empty"},
    {-3008, "Tracing not enabled"},
    {-3009, "Logging not enabled"},
    {-3010, "Base address not set"},

    // Trigger errors.
    {-5001, "No more trigger slots"},
    {-5002, "Data trigger too long"},
    {-5003, "Bad trigger handle"},

    // Dispatch log: entry types.
    {15001, "No event"},
    {15002, "Dispatch"},
    {15003, "Trigger"},
    {15004, "Error"},
    {15005, "Thread"},
    {15006, "TrigAllc"},
    {15007, "TrigDisp"},
    {15008, "TrgHdAlc"},
    {15009, "TrgHdDsp"},
    {15010, "TrDatChg"},
    {15011, "Telnet"},
    {15012, "Fax"},
    {15013, "XModem"},
    {15014, "YModem"},
    {15015, "ZModem"},
    {15016, "Kermit"},
    {15017, "Ascii"},
    {15018, "BPlus"},
    {15019, "Packet"},
    {15020, "User"},
    {15021, "Script"},

    // Dispatch log: subtypes.
    {15101, "ReadCom"},
    {15102, "WriteCom"},
    {15103, "Line status"},
    {15104, "Modem status"},
    {15105, "Avail"},
    {15106, "Timer"},
    {15107, "Data"},
    {15108, "Status"},
    {15109, "Start"},
    {15110, "Exit"},
    {15111, "Sleep"},
    {15112, "Wake"},
    {15113, "Data"},
    {15114, "Timer"},
    {15115, "Status"},
    {15116, "Avail"},
    {15117, "Window"},
    {15118, "Procedure"},
    {15119, "Method"},

    {15201, "Time      Type      SubType       Data      OtherData"},

    // Dispatch log: modem status bits 0..7.
    {15301, "DCTS "},
    {15302, "DDSR "},
    {15303, "TERI "},
    {15304, "DDCD "},
    {15305, "CTS "},
    {15306, "DSR "},
    {15307, "RI "},
    {15308, "DCD "},

    // Dispatch log: status trigger kinds 0..5.
    {15401, "(Not active)"},
    {15402, "(Modem status)"},
    {15403, "(Line status)"},
    {15404, "(Output buffer free)"},
    {15405, "(Output buffer used)"},
    {15406, "(Output sent)"},
});

constexpr uint32_t Magnitude(int32_t code) {
  return code < 0 ? 0u - static_cast<uint32_t>(code) : static_cast<uint32_t>(code);
}

constexpr bool SortedByMagnitude() {
  for (size_t i = 1; i < Table.size(); ++i)
    if (Magnitude(Table[i - 1].Code) >= Magnitude(Table[i].Code)) return false;
  return true;
}
static_assert(SortedByMagnitude(), "the binary search needs strictly increasing |code|");

// The rounded mean of two indices, halves rounding to even.
size_t Middle(size_t low, size_t high) {
  size_t mid = (low + high) / 2;
  if ((low + high) % 2 != 0 && mid % 2 != 0) ++mid;
  return mid;
}

const char* TableText(uint32_t magnitude) {
  size_t low = 0;
  size_t high = Table.size() - 1;
  while (low <= high) {
    size_t mid = Middle(low, high);
    uint32_t here = Magnitude(Table[mid].Code);
    if (here == magnitude) return Table[mid].Text;
    if (here < magnitude) {
      low = mid + 1;
    } else {
      if (mid == 0) break;
      high = mid - 1;
    }
  }
  return nullptr;
}

// The system's own text for an error number, untidied; empty when it has none.
std::string SystemText(uint32_t number) {
#ifdef _WIN32
  char buffer[MaxMessageLength + 1] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, number, 0, buffer, sizeof buffer, nullptr);
  return std::string(buffer, length);
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  // Thread-safe, and null for numbers the system does not know (strerror
  // would make up "Unknown error n").
  if (number > static_cast<uint32_t>(INT32_MAX)) return {};
  const char* text = strerrordesc_np(static_cast<int>(number));
  return text ? std::string(text) : std::string();
#else
  if (number > static_cast<uint32_t>(INT32_MAX)) return {};
  std::string text = std::strerror(static_cast<int>(number));
  return text.rfind("Unknown error", 0) == 0 ? std::string() : text;
#endif
}

}  // namespace

std::span<const TErrorMessage> ErrorMessageTable() { return Table; }

std::string TidySystemMessage(std::string text) {
  std::string tidy;
  tidy.reserve(text.size());
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 32) c = ' ';
    if (c == ' ' && !tidy.empty() && tidy.back() == ' ') continue;
    tidy.push_back(c);
  }
  return tidy;
}

std::string ErrorMessageText(int32_t code) {
  // A system error's number would find a runtime text of another meaning.
  const bool system = ecode::IsSystemError(code);
  uint32_t magnitude = Magnitude(system ? ecode::SystemErrorNumber(code) : code);
  if (const char* text = system ? nullptr : TableText(magnitude)) {
    std::string message(text);
    if (message.size() > MaxMessageLength) message.resize(MaxMessageLength);
    return message;
  }
  std::string own = SystemText(magnitude);
  if (own.size() > MaxMessageLength) own.resize(MaxMessageLength);
  return TidySystemMessage(std::move(own));
}
