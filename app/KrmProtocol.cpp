#include "KrmProtocol.h"

#include <algorithm>
#include <limits>

std::string HexByte(std::int32_t Value) {
  std::string result;
  auto bits = static_cast<std::uint32_t>(Value);
  for (int pass = 0; pass < 2; ++pass) {
    result.insert(result.begin(), HexDigits[bits & 0xF]);
    bits >>= 4;
  }
  return result;
}

namespace {

// Deliberately lenient: callers rely on the exact value of any character.
std::int32_t DigitValue(char C) {
  const auto code = static_cast<unsigned char>(C);
  return code <= '9' ? static_cast<std::int32_t>(code) - '0' : static_cast<std::int32_t>(code) - 'A' + 10;
}

}  // namespace

std::int32_t HexPairValue(char High, char Low) { return DigitValue(High) * 16 + DigitValue(Low); }

std::optional<std::int32_t> BaudRateOfIndex(int Index) {
  if (Index < 0 || Index >= static_cast<int>(BaudRates.size())) return std::nullopt;
  return BaudRates[static_cast<std::size_t>(Index)];
}

std::optional<int> BaudIndexOfRate(std::int32_t Rate) {
  const auto* found = std::find(BaudRates.begin(), BaudRates.end(), Rate);
  if (found == BaudRates.end()) return std::nullopt;
  return static_cast<int>(found - BaudRates.begin());
}

std::int32_t TimeoutTicksForBaudIndex(int Index) { return Index < 5 ? (7 - Index) * 4 : 15 - Index; }

HostLineFormat HostFormatOfItem(int Item) {
  if (Item < 0 || Item >= static_cast<int>(FormatListTexts.size())) return {};
  const std::string_view text = FormatListTexts[static_cast<std::size_t>(Item)];  // "E,7,2"
  HostLineFormat format;
  format.Parity = text[0] == 'O' ? HostParity::Odd : text[0] == 'E' ? HostParity::Even : HostParity::None;
  format.DataBits = text[2] - '0';
  format.StopBits = text[4] - '0';
  return format;
}

std::int32_t CommandTimeoutTicks(char Letter, std::int32_t BaseTicks) {
  return Letter == '7' ? BaseTicks + ProductIdExtraTicks : BaseTicks;
}

std::string CommandParameter(char Letter, const UtilityState& State, int ChecksumItem) {
  switch (Letter) {
    case '0': return std::string(1, State.ParRs232Baud);
    case '1': return std::string(1, State.ParRs485Baud);
    case '2': return State.ParRs232Format;
    case '3': return State.ParRs485Format;
    case '6': return State.ParProductId;
    case '8': return State.ParAddress;
    case '9': return State.ParStopChar;
    case 'C': return std::string(1, State.ParDelimiter);
    case 'E': return HexByte(State.QueryIndex);
    case 'I': return "FD";
    case 'S': return ChecksumItem == 0 ? "1" : "0";
    default: return {};
  }
}

bool IsFrameCharacter(char C) {
  const auto code = static_cast<unsigned char>(C);
  return code >= 0x20 && code != 0x7F;
}

std::string_view FrameTextPrefix(std::string_view Text) {
  const auto* end = std::find_if_not(Text.begin(), Text.end(), IsFrameCharacter);
  return Text.substr(0, static_cast<std::size_t>(end - Text.begin()));
}

std::optional<std::string> CommandFrame(char Letter, const UtilityState& State, int ChecksumItem) {
  const std::string parameter = CommandParameter(Letter, State, ChecksumItem);
  if (FrameTextPrefix(parameter).size() != parameter.size()) return std::nullopt;
  std::string frame = "$" + HexByte(State.TargetAddress);
  frame += Letter;
  frame += parameter;
  frame += CR;
  return frame;
}

std::string TestLineFrame(std::string_view Line) {
  std::string frame(Line);
  frame += CR;
  return frame;
}

bool AppendReplyBatch(std::string& Text, std::int32_t& Length, std::string_view Batch) {
  Text.append(Batch.substr(0, MaxReplyText - std::min(Text.size(), MaxReplyText)));
  // Counting stops at the top instead of wrapping on an endless stream.
  const auto room = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() - Length);
  Length = Batch.size() > room ? std::numeric_limits<std::int32_t>::max()
                               : Length + static_cast<std::int32_t>(Batch.size());
  return !Batch.empty() && Batch.back() == CR;
}

ProbeAnswer EvaluateProbe(std::string_view Reply, std::int32_t Address) {
  const std::string head = "!" + HexByte(Address);
  if (Reply == head + "00\r") return ProbeAnswer::Normal;
  if (Reply == head + "11\r") return ProbeAnswer::InitStep;
  return ProbeAnswer::Nobody;
}

ProbeAnswer RecordProbeReply(UtilityState& State) {
  if (!State.ReplyOk) return ProbeAnswer::Nobody;
  const ProbeAnswer answer = EvaluateProbe(State.ReplyText, State.TargetAddress);
  if (answer == ProbeAnswer::Nobody || State.ModuleCount >= static_cast<int>(State.ModuleAddress.size()))
    return answer;
  const auto index = static_cast<std::size_t>(State.ModuleCount);
  State.ModuleAddress[index] = State.TargetAddress;
  State.ModuleInitStep[index] = answer == ProbeAnswer::InitStep;
  ++State.ModuleCount;
  State.ModulesFound = true;
  return answer;
}

std::string ReplyTextCut(std::string_view Reply, std::int32_t Length) {
  // Length counts what arrived; never cut past what the text really holds.
  const auto end = std::min<std::size_t>(static_cast<std::size_t>(std::max(Length - 1, 0)), Reply.size());
  if (end <= 3) return {};
  return std::string(Reply.substr(3, end - 3));
}

std::optional<std::int32_t> ReplyHexPair(std::string_view Reply) {
  if (Reply.size() < 5) return std::nullopt;
  return HexPairValue(Reply[3], Reply[4]);
}

ModeSettings DecodeModeBits(std::int32_t R4) {
  ModeSettings mode;
  mode.AddrMode = (R4 & 0x01) ? 1 : 0;
  mode.Protocol = (R4 & 0x02) ? 1 : 0;
  mode.TxMode = (R4 & 0x04) ? 1 : 0;
  mode.AppendStop = (R4 & 0x08) ? 1 : 0;
  mode.Checksum = (R4 & 0x10) ? 0 : 1;
  return mode;
}

int FormatIndexOfCode(std::int32_t Code) {
  // Format code -> item; the item order is FormatCodeTable's.
  static constexpr std::array<std::int32_t, 9> CodeOfItem = {0, 10, 3, 12, 5, 8, 1, 11, 13};
  const auto* found = std::find(CodeOfItem.begin(), CodeOfItem.end(), Code);
  return found == CodeOfItem.end() ? -1 : static_cast<int>(found - CodeOfItem.begin());
}

FormatItems DecodeFormats(std::int32_t R3) {
  return {FormatIndexOfCode(R3 & 0x0F), FormatIndexOfCode((R3 >> 4) & 0x0F)};
}

std::int32_t AddressOfReadBack(std::int32_t R6, std::int32_t R7) {
  return HexPairValue(static_cast<char>(R6), static_cast<char>(R7));
}

int DelimiterIndexOfCode(std::int32_t R5) {
  const auto* found = std::find_if(DelimiterTable.begin(), DelimiterTable.end(),
                                   [R5](char c) { return static_cast<unsigned char>(c) == R5; });
  return found == DelimiterTable.end() ? -1 : static_cast<int>(found - DelimiterTable.begin());
}

std::string DeviceRowAddressText(std::int32_t Address, bool InitStep) {
  return "   " + HexByte(Address) + "H" + (InitStep ? " *" : "");
}

std::string ScanAddressCaption(std::int32_t Address) { return "SCAN ADDRESS   " + HexByte(Address); }

std::string ScanCompleteCaption(std::int32_t Count) {
  return "SCAN COMPLETE. " + std::to_string(Count) + " MODULE FOUND";
}
