#include "KrmSettings.h"

#include "KrmProtocol.h"

namespace {

bool IsItem(std::int32_t Value, std::size_t Items) { return Value >= 0 && static_cast<std::size_t>(Value) < Items; }

// The two-item settings: item 0 and item 1 are two commands.
char Either(std::int32_t Item, char First, char Second) { return Item == 0 ? First : Second; }

}  // namespace

char PrepareWrite(TSetting Setting, std::int32_t Value, std::string_view Text, UtilityState& State) {
  switch (Setting) {
    case TSetting::Protocol: return Either(Value, 'A', 'B');
    case TSetting::AddrMode: return Either(Value, '4', '5');
    case TSetting::TxMode: return Either(Value, 'N', 'F');
    case TSetting::AppendStop: return Either(Value, 'L', 'J');
    case TSetting::Checksum: return 'S';
    case TSetting::Rs485Baud:
      if (!IsItem(Value, BaudRates.size())) return 0;
      State.ParRs485Baud = static_cast<char>('0' + Value);
      return '1';
    case TSetting::Rs232Baud:
      if (!IsItem(Value, BaudRates.size())) return 0;
      State.ParRs232Baud = static_cast<char>('0' + Value);
      return '0';
    case TSetting::Address:
      State.ParAddress = HexByte(Value);
      return '8';
    case TSetting::StopChar:
      State.ParStopChar = HexByte(Value);
      return '9';
    case TSetting::Delimiter:
      if (!IsItem(Value, DelimiterTable.size())) return 0;
      State.ParDelimiter = DelimiterTable[static_cast<std::size_t>(Value)];
      return 'C';
    case TSetting::ProductId:
      State.ParProductId = std::string(Text);
      return '6';
    case TSetting::Rs485Format:
      if (!IsItem(Value, FormatCodeTable.size())) return 0;
      State.ParRs485Format = FormatCodeTable[static_cast<std::size_t>(Value)];
      return '3';
    case TSetting::Rs232Format:
      if (!IsItem(Value, FormatCodeTable.size())) return 0;
      State.ParRs232Format = FormatCodeTable[static_cast<std::size_t>(Value)];
      return '2';
  }
  return 0;
}

void RecordReadBack(UtilityState& State) {
  const auto& r = State.ReadBack;
  const ModeSettings mode = DecodeModeBits(r[4]);
  State.DevProtocol = mode.Protocol;
  State.DevAddrMode = mode.AddrMode;
  State.DevTxMode = mode.TxMode;
  State.DevAppendStop = mode.AppendStop;
  State.DevChecksum = mode.Checksum;
  const FormatItems formats = DecodeFormats(r[3]);
  State.DevRs485Format = formats.Rs485;
  State.DevRs232Format = formats.Rs232;
  State.DevAddress = AddressOfReadBack(r[6], r[7]);
  State.DevStopChar = r[8];
  State.ParStopChar = HexByte(r[8]);
  State.DevRs485Baud = r[2];
  State.DevRs232Baud = r[1];
  State.DevDelimiter = DelimiterIndexOfCode(r[5]);
}
