#include "KrmSettings.h"

#include "KrmProtocol.h"

namespace {

bool IsItem(std::int32_t Value, std::size_t Items) { return Value >= 0 && static_cast<std::size_t>(Value) < Items; }

// The two-item settings: item 0 and item 1 are two commands.
char Either(std::int32_t Item, char First, char Second) { return Item == 0 ? First : Second; }

}  // namespace

bool UtilityState::*PendingFlag(TSetting Setting) {
  using S = UtilityState;
  switch (Setting) {
    case TSetting::Protocol: return &S::PendProtocol;
    case TSetting::Rs485Baud: return &S::PendRs485Baud;
    case TSetting::Rs232Baud: return &S::PendRs232Baud;
    case TSetting::Address: return &S::PendAddress;
    case TSetting::AddrMode: return &S::PendAddrMode;
    case TSetting::TxMode: return &S::PendTxMode;
    case TSetting::StopChar: return &S::PendStopChar;
    case TSetting::AppendStop: return &S::PendAppendStop;
    case TSetting::Checksum: return &S::PendChecksum;
    case TSetting::Delimiter: return &S::PendDelimiter;
    case TSetting::ProductId: return &S::PendProductId;
    case TSetting::Rs485Format: return &S::PendRs485Format;
    case TSetting::Rs232Format: return &S::PendRs232Format;
  }
  return nullptr;
}

std::int32_t UtilityState::*RecordedField(TSetting Setting) {
  using S = UtilityState;
  switch (Setting) {
    case TSetting::Protocol: return &S::DevProtocol;
    case TSetting::Rs485Baud: return &S::DevRs485Baud;
    case TSetting::Rs232Baud: return &S::DevRs232Baud;
    case TSetting::Address: return &S::DevAddress;
    case TSetting::AddrMode: return &S::DevAddrMode;
    case TSetting::TxMode: return &S::DevTxMode;
    case TSetting::StopChar: return &S::DevStopChar;
    case TSetting::AppendStop: return &S::DevAppendStop;
    case TSetting::Checksum: return &S::DevChecksum;
    case TSetting::Delimiter: return &S::DevDelimiter;
    case TSetting::ProductId: return nullptr;
    case TSetting::Rs485Format: return &S::DevRs485Format;
    case TSetting::Rs232Format: return &S::DevRs232Format;
  }
  return nullptr;
}

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

bool TakeReadBackReply(UtilityState& State) {
  if (!State.ReplyOk || State.QueryIndex < 0 || State.QueryIndex >= ReadBackQueries) return false;
  const auto value = ReplyHexPair(State.ReplyText);
  if (!value) return false;
  State.ReadBack[static_cast<std::size_t>(State.QueryIndex)] = *value;
  return true;
}
