// The simulator's request parser and its converter on any line: only
// well-framed requests are taken, every answer is one reply to the
// converter's wire address, a refused request changes nothing, and the
// settings always stay ones a converter can hold (and read back).
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "FuzzCheck.h"
#include "SimConverter.h"

using namespace krm::sim;

namespace {

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

std::string Hex(std::uint8_t v) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  return {Digits[v >> 4], Digits[v & 15]};
}

void CheckHoldable(const Converter& c, const std::string& version) {
  FUZZ_CHECK(baudRate(c.rs232Baud) != 0 && baudRate(c.rs485Baud) != 0, "baud indexes %d %d",
             c.rs232Baud, c.rs485Baud);
  FUZZ_CHECK(!formatText(c.rs232Format).empty() && !formatText(c.rs485Format).empty(),
             "format codes %d %d", c.rs232Format, c.rs485Format);
  FUZZ_CHECK(isDelimiter(c.delimiter), "delimiter %02x", static_cast<unsigned char>(c.delimiter));
  FUZZ_CHECK(c.productId.size() <= kMaxParameter, "product ID of %zu", c.productId.size());
  FUZZ_CHECK(c.version == version, "the version never changes");
  // The read-back tells the same settings.
  FUZZ_CHECK(readBack(c, 1) == c.rs232Baud && readBack(c, 2) == c.rs485Baud, "baud read-back");
  FUZZ_CHECK(readBack(c, 3) == (c.rs232Format << 4 | c.rs485Format), "format read-back");
  const std::string addressDigits = {static_cast<char>(readBack(c, 6)), static_cast<char>(readBack(c, 7))};
  FUZZ_CHECK(Hex(c.address) == addressDigits, "address read-back");
  FUZZ_CHECK(readBack(c, 8) == c.stopChar, "stop character read-back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Converter converter;
  converter.address = in.ConsumeIntegral<std::uint8_t>();
  converter.initStep = in.ConsumeBool();
  const std::uint8_t wire = converter.address;
  const std::string version = converter.version;

  while (in.remaining_bytes() > 0) {
    std::string line = in.ConsumeRandomLengthString(40);
    // Often a request for this converter, so that the commands get exercised.
    if (in.ConsumeBool()) line = "$" + Hex(wire) + line;
    const auto request = parseRequest(line);
    const bool framed = line.size() >= 4 && line.size() <= 4 + kMaxParameter && line[0] == '$' &&
                        IsUpperHex(line[1]) && IsUpperHex(line[2]);
    FUZZ_CHECK(request.has_value() == framed, "line of %zu bytes taken: %d", line.size(),
               request.has_value());
    if (!request) continue;
    FUZZ_CHECK(Hex(request->address) == line.substr(1, 2) && request->command == line[3] &&
                   request->parameter == line.substr(4),
               "request fields");

    const Converter before = converter;
    const std::string reply = answer(converter, wire, *request);
    FUZZ_CHECK(reply.size() >= 4 && reply.back() == '\r' && reply.substr(1, 2) == Hex(wire),
               "reply of %zu bytes", reply.size());
    if (reply[0] == '?') {
      FUZZ_CHECK(reply.size() == 4 && converter == before, "a refusal changes nothing");
    } else {
      FUZZ_CHECK(reply[0] == '!', "reply starts with %02x", static_cast<unsigned char>(reply[0]));
    }
    if (request->command == 'E' && reply[0] == '!') {
      const int n = std::stoi(request->parameter, nullptr, 16);
      FUZZ_CHECK(reply.size() == 6 && reply.substr(3, 2) == Hex(readBack(converter, n)), "query %d", n);
    }
    if (request->command == '6' && reply[0] == '!') {
      FUZZ_CHECK(answer(converter, wire, Request{request->address, '7', ""}) ==
                     "!" + Hex(wire) + request->parameter + "\r",
                 "the written product ID reads back");
    }
    CheckHoldable(converter, version);
  }
  return 0;
}
