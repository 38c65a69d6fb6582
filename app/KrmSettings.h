// KrmSettings: the settings a KRM4610 takes, in the order the write
// sequencer writes them, each with its verdict step, its failure message and
// the frame that writes a value of it. The window and the command line share
// this one copy.
#pragma once

#include "UtilityState.h"

#include <array>
#include <cstdint>
#include <string_view>

enum class TSetting : std::uint8_t {
  Protocol,
  Rs485Baud,
  Rs232Baud,
  Address,
  AddrMode,
  TxMode,
  StopChar,
  AppendStop,
  Checksum,
  Delimiter,
  ProductId,
  Rs485Format,
  Rs232Format,
};

struct TWriteRow {
  TSetting Setting;
  std::int32_t Step;           // WriteStep while its verdict is due
  std::string_view Failure;    // shown when the converter does not take it
  bool InitStepOnly;           // only a converter in initial step may change it
};

// The sequencer's fixed order. The version query follows them all.
inline constexpr std::array<TWriteRow, 13> WriteOrder = {{
    {TSetting::Protocol, 1, "Setting RS-485/422 protocol fail", true},
    {TSetting::Rs485Baud, 2, "Write RS-485 baudrate fail", true},
    {TSetting::Rs232Baud, 3, "Setting RS-232 baudrate fail", true},
    {TSetting::Address, 4, "Write IP address fail", true},
    {TSetting::AddrMode, 5, "Setting address mode fail", true},
    {TSetting::TxMode, 6, "Setting transfer mode fail", true},
    {TSetting::StopChar, 14, "Write Stop character fail", true},
    {TSetting::AppendStop, 7, "Setting send cr fail", true},
    {TSetting::Checksum, 13, "Checksum mode changed fail", true},
    {TSetting::Delimiter, 8, "Write delimiter fail", false},
    {TSetting::ProductId, 9, "Write product ID fail", false},
    {TSetting::Rs485Format, 10, "Write RS-485/422 data format fail", true},
    {TSetting::Rs232Format, 11, "Write RS-232 data format fail", true},
}};
inline constexpr char VersionLetter = 'V';
inline constexpr char ReadBackLetter = 'E';
inline constexpr char ProductIdLetter = '7';
inline constexpr char ProbeLetter = 'I';
// The read-back asks queries E00 to E09, one exchange each.
inline constexpr std::int32_t ReadBackQueries = 10;
inline constexpr std::int32_t VersionStep = 12;

// Fills the frame field of State that a write of Setting takes and answers
// the command letter; 0 when Value makes no frame (a box on no item).
// Value is the box item, or the address or stop character code; the
// product ID is Text. A checksum frame takes its "1"/"0" from the checksum
// item given to CommandFrame, which must be Value.
// Where State keeps a setting: its pending-change flag, and its recorded
// device value (none for the product ID, which is not recorded).
bool UtilityState::*PendingFlag(TSetting Setting);
std::int32_t UtilityState::*RecordedField(TSetting Setting);

char PrepareWrite(TSetting Setting, std::int32_t Value, std::string_view Text, UtilityState& State);

// The recorded device values (Dev...) of State from its ten read-back values
// (ReadBack), as box items, the address and the stop character; ParStopChar
// follows the stop character. A value no item stands for is recorded as -1
// (a format or delimiter) or as read (a baud index).
void RecordReadBack(UtilityState& State);
// The end of read-back query State.QueryIndex: a reply's value goes into
// ReadBack. A reply too short to carry one counts as no answer: the entry
// keeps what it held, as after a time-out. True when a value was taken.
bool TakeReadBackReply(UtilityState& State);
