// The utility's frame and reply helpers on any input: every result keeps
// the shape the wire needs, and nothing overflows (UBSan) or reads past a
// text (ASan).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <limits>
#include <string>

#include "FuzzCheck.h"
#include "KrmProtocol.h"

namespace {

bool IsHexDigit(char c) { return HexDigits.find(c) != std::string_view::npos; }

void CheckFrame(FuzzedDataProvider& in) {
  UtilityState state;
  state.TargetAddress = in.ConsumeIntegral<std::int32_t>();
  state.QueryIndex = in.ConsumeIntegral<std::int32_t>();
  state.ParRs232Baud = in.ConsumeIntegral<char>();
  state.ParRs485Baud = in.ConsumeIntegral<char>();
  state.ParDelimiter = in.ConsumeIntegral<char>();
  state.ParRs232Format = in.ConsumeRandomLengthString(8);
  state.ParRs485Format = in.ConsumeRandomLengthString(8);
  state.ParProductId = in.ConsumeRandomLengthString(40);
  state.ParAddress = in.ConsumeRandomLengthString(4);
  state.ParStopChar = in.ConsumeRandomLengthString(4);
  const char letter = in.ConsumeIntegral<char>();
  const int checksumItem = in.ConsumeIntegral<int>();

  const std::string parameter = CommandParameter(letter, state, checksumItem);
  const auto frame = CommandFrame(letter, state, checksumItem);
  const bool clean = std::all_of(parameter.begin(), parameter.end(), IsFrameCharacter);
  FUZZ_CHECK(frame.has_value() == clean, "a frame exactly when the parameter has no control character");
  if (!frame) return;
  // "$", two address digits, the letter, the parameter, CR: nothing more.
  FUZZ_CHECK(frame->size() == 5 + parameter.size(), "frame of %zu bytes", frame->size());
  FUZZ_CHECK((*frame)[0] == '$' && frame->back() == CR, "frame ends");
  FUZZ_CHECK(frame->substr(1, 2) == HexByte(state.TargetAddress), "address digits");
  FUZZ_CHECK((*frame)[3] == letter && frame->substr(4, parameter.size()) == parameter, "body");
  FUZZ_CHECK(std::count(frame->begin(), frame->end(), CR) == (letter == CR ? 2 : 1),
             "one CR, the last byte (the letter aside)");
}

void CheckReply(FuzzedDataProvider& in) {
  const std::int32_t length = in.ConsumeIntegral<std::int32_t>();
  const std::int32_t address = in.ConsumeIntegral<std::int32_t>();
  const std::string reply = in.ConsumeRemainingBytesAsString();

  const std::string cut = ReplyTextCut(reply, length);
  // A piece of the reply after the address, never past the text nor past
  // the last character counted.
  FUZZ_CHECK(cut.empty() || (reply.compare(3, cut.size(), cut) == 0 &&
                             cut.size() + 4 <= static_cast<std::size_t>(length)),
             "cut of %zu characters with %d counted", cut.size(), length);
  if (length < 5) FUZZ_CHECK(cut.empty(), "fewer than five characters give no text");
  // A whole reply counted: what lies between the address and the final CR.
  if (reply.size() >= 4 && length == static_cast<std::int32_t>(reply.size()))
    FUZZ_CHECK(cut == reply.substr(3, reply.size() - 4), "text of a whole reply");

  const auto pair = ReplyHexPair(reply);
  FUZZ_CHECK(pair.has_value() == (reply.size() >= 5), "hex pair needs five characters");
  if (pair && IsHexDigit(reply[3]) && IsHexDigit(reply[4]))
    FUZZ_CHECK(HexByte(*pair) == reply.substr(3, 2), "hex digits read back");

  const ProbeAnswer probe = EvaluateProbe(reply, address);
  const std::string head = "!" + HexByte(address);
  FUZZ_CHECK((probe == ProbeAnswer::Normal) == (reply == head + "00\r"), "normal probe answer");
  FUZZ_CHECK((probe == ProbeAnswer::InitStep) == (reply == head + "11\r"), "initial-step answer");
}

void CheckNumbers(FuzzedDataProvider& in) {
  const std::int32_t value = in.ConsumeIntegral<std::int32_t>();
  const std::string hex = HexByte(value);
  FUZZ_CHECK(hex.size() == 2 && IsHexDigit(hex[0]) && IsHexDigit(hex[1]), "two upper-case digits");
  FUZZ_CHECK(HexPairValue(hex[0], hex[1]) == (value & 0xFF), "the low byte comes back");
  // Lenient for any character, and in range for the digits it knows.
  const char high = in.ConsumeIntegral<char>(), low = in.ConsumeIntegral<char>();
  const std::int32_t pair = HexPairValue(high, low);
  if (IsHexDigit(high) && IsHexDigit(low)) FUZZ_CHECK(pair >= 0 && pair <= 255, "pair %d", pair);

  const int index = in.ConsumeIntegral<int>();
  const std::int32_t base = TimeoutTicksForBaudIndex(index);
  FUZZ_CHECK(base >= 6 && base <= 32, "base time-out %d for item %d", base, index);
  const std::int32_t ticks = in.ConsumeIntegral<std::int32_t>();
  const std::int32_t armed = CommandTimeoutTicks(in.ConsumeIntegral<char>(), ticks);
  FUZZ_CHECK(armed >= ticks, "a time-out never shorter than its base");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: CheckFrame(in); break;
    case 1: CheckNumbers(in); break;
    default: CheckReply(in); break;
  }
  return 0;
}
