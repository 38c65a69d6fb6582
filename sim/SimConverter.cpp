#include "SimConverter.h"

#include <array>

namespace krm::sim {
namespace {

struct FormatEntry {
  std::string_view text;
  std::uint8_t code;
};
constexpr std::array<FormatEntry, 9> kFormats{{{"N81", 0},
                                               {"O81", 10},
                                               {"O71", 3},
                                               {"E81", 12},
                                               {"E71", 5},
                                               {"N82", 8},
                                               {"N72", 1},
                                               {"O72", 11},
                                               {"E72", 13}}};
constexpr std::array<long, 10> kBauds{300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr std::string_view kDelimiters = ":[]^{|}~";
constexpr std::string_view kHex = "0123456789ABCDEF";

// Upper-case hex digits only, as the converters send and expect them.
int hexDigit(char c) {
  const auto pos = kHex.find(c);
  return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

std::optional<std::uint8_t> hexPair(std::string_view s) {
  if (s.size() != 2) return std::nullopt;
  const int hi = hexDigit(s[0]), lo = hexDigit(s[1]);
  if (hi < 0 || lo < 0) return std::nullopt;
  return static_cast<std::uint8_t>(hi * 16 + lo);
}

std::string hexByte(std::uint8_t v) { return {kHex[v >> 4], kHex[v & 15]}; }

bool isPrintable(std::string_view s) {
  for (char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// The writes a converter accepts only while in initial step; the others are the
// delimiter ("C") and the product ID ("6").
bool isProtected(char command) {
  return std::string_view("AB01234589FNJLS").find(command) != std::string_view::npos;
}

// Applies a write command; false when the parameter is not valid for it.
bool applyWrite(Converter &c, char command, const std::string &p) {
  const bool noParameter = p.empty();
  switch (command) {
    case 'A': c.rs422 = false; return noParameter;
    case 'B': c.rs422 = true; return noParameter;
    case '4': c.addressModeOn = true; return noParameter;
    case '5': c.addressModeOn = false; return noParameter;
    case 'F': c.txFast = true; return noParameter;
    case 'N': c.txFast = false; return noParameter;
    case 'J': c.appendStop = false; return noParameter;
    case 'L': c.appendStop = true; return noParameter;
    case '0':
    case '1': {
      if (p.size() != 1 || p[0] < '0' || p[0] > '9') return false;
      (command == '0' ? c.rs232Baud : c.rs485Baud) = p[0] - '0';
      return true;
    }
    case '2':
    case '3': {
      const auto code = formatCode(p);
      if (!code) return false;
      (command == '2' ? c.rs232Format : c.rs485Format) = *code;
      return true;
    }
    case '6':
      if (!isPrintable(p)) return false;
      c.productId = p;
      return true;
    case '8':
    case '9': {
      const auto v = hexPair(p);
      if (!v) return false;
      (command == '8' ? c.address : c.stopChar) = *v;
      return true;
    }
    case 'C':
      if (p.size() != 1 || !isDelimiter(p[0])) return false;
      c.delimiter = p[0];
      return true;
    case 'S':
      if (p != "0" && p != "1") return false;
      c.checksumOn = p == "1";
      return true;
    default:
      return false;
  }
}

bool isWrite(char command) { return isProtected(command) || command == '6' || command == 'C'; }

}  // namespace

std::optional<std::uint8_t> formatCode(std::string_view text) {
  for (const auto &f : kFormats)
    if (f.text == text) return f.code;
  return std::nullopt;
}

std::string_view formatText(std::uint8_t code) {
  for (const auto &f : kFormats)
    if (f.code == code) return f.text;
  return {};
}

long baudRate(int index) { return index >= 0 && index < 10 ? kBauds[static_cast<std::size_t>(index)] : 0; }

std::optional<int> baudIndex(long bitsPerSecond) {
  for (std::size_t i = 0; i < kBauds.size(); ++i)
    if (kBauds[i] == bitsPerSecond) return static_cast<int>(i);
  return std::nullopt;
}

bool isDelimiter(char c) { return c != 0 && kDelimiters.find(c) != std::string_view::npos; }

std::optional<Request> parseRequest(std::string_view line) {
  if (line.size() < 4 || line.size() > 4 + kMaxParameter || line[0] != '$') return std::nullopt;
  const auto address = hexPair(line.substr(1, 2));
  if (!address) return std::nullopt;
  return Request{*address, line[3], std::string(line.substr(4))};
}

std::uint8_t readBack(const Converter &c, int n) {
  const std::string digits = hexByte(c.address);
  switch (n) {
    case 0: return kReadBack0;
    case 1: return static_cast<std::uint8_t>(c.rs232Baud);
    case 2: return static_cast<std::uint8_t>(c.rs485Baud);
    case 3: return static_cast<std::uint8_t>((c.rs232Format & 15) << 4 | (c.rs485Format & 15));
    case 4:
      return static_cast<std::uint8_t>((c.addressModeOn ? 0 : 1) | (c.rs422 ? 2 : 0) | (c.txFast ? 4 : 0) |
                                       (c.appendStop ? 0 : 8) | (c.checksumOn ? 16 : 0));
    case 5: return static_cast<std::uint8_t>(c.delimiter);
    case 6: return static_cast<std::uint8_t>(digits[0]);
    case 7: return static_cast<std::uint8_t>(digits[1]);
    case 8: return c.stopChar;
    default: return kReadBack9;
  }
}

std::string answer(Converter &c, std::uint8_t wireAddress, const Request &r) {
  const std::string ok = "!" + hexByte(wireAddress);
  const std::string refused = "?" + hexByte(wireAddress) + "\r";
  switch (r.command) {
    case 'I':
      if (r.parameter != "FD") return refused;
      return ok + (c.initStep ? "11" : "00") + "\r";
    case 'E': {
      const auto n = hexPair(r.parameter);
      if (!n || *n > 9) return refused;
      return ok + hexByte(readBack(c, *n)) + "\r";
    }
    case '7': return r.parameter.empty() ? ok + c.productId + "\r" : refused;
    case 'V': return r.parameter.empty() ? ok + c.version + "\r" : refused;
    default: break;
  }
  if (!isWrite(r.command) || (isProtected(r.command) && !c.initStep)) return refused;
  Converter changed = c;
  if (!applyWrite(changed, r.command, r.parameter)) return refused;
  c = changed;
  return ok + "\r";
}

}  // namespace krm::sim
