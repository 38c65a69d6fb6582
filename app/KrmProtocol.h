// KrmProtocol: what the utility says to a KRM4610 and how it reads the answer,
// as plain functions of values. The window calls these; nothing here knows
// about widgets or the port, so every rule can be checked on its own.
#pragma once

#include "UtilityState.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// ---- Tables (indexes are the item indexes of the window's boxes) ----

inline constexpr std::string_view HexDigits = "0123456789ABCDEF";

// Format box item -> the 3-character code of the format commands "2" and "3".
inline constexpr std::array<std::string_view, 9> FormatCodeTable = {
    "N81", "O81", "O71", "E81", "E71", "N82", "N72", "O72", "E72"};
inline constexpr std::array<std::string_view, 9> FormatListTexts = {
    "N,8,1", "O,8,1", "O,7,1", "E,8,1", "E,7,1", "N,8,2", "N,7,2", "O,7,2", "E,7,2"};

// Delimiter box item -> the delimiter character of command "C".
inline constexpr std::array<char, 8> DelimiterTable = {':', '[', ']', '^', '{', '|', '}', '~'};
inline constexpr std::array<std::string_view, 8> DelimiterListTexts = {
    "   :", "   [", "   ]", "   ^", "   {", "   |", "   }", "   ~"};

// Baud index 0..9, shared by the host box and both converter baud boxes.
inline constexpr std::array<std::int32_t, 10> BaudRates = {300,   600,   1200,  2400,  4800,
                                                           9600,  19200, 38400, 57600, 115200};
inline constexpr std::array<std::string_view, 10> BaudListTexts = {
    "300 bps",   "600 bps",   "1200 bps",  "2400 bps",  "4800 bps",
    "9600 bps",  "19200 bps", "38400 bps", "57600 bps", "115200 bps"};

// ---- Hex conversions ----

// Low byte as two upper-case digits; higher bits are dropped (0x1FF -> "FF").
std::string HexByte(std::int32_t Value);
// Digit value is c - '0' up to '9' (as an unsigned byte), else c - 'A' + 10;
// nothing is rejected, so 'a' counts as 42.
std::int32_t HexPairValue(char High, char Low);

// ---- Host line ----

// The host ports the window offers: COM1 to COM8.
inline constexpr int HostComPorts = 8;

// The bit rate of a baud item; none outside 0..9 (the rate is then left alone).
std::optional<std::int32_t> BaudRateOfIndex(int Index);
// The baud item of a bit rate; none for a rate no box offers.
std::optional<int> BaudIndexOfRate(std::int32_t Rate);
// Base reply time-out in 55 ms ticks for a host baud item: (7 - i) * 4 below 5,
// else 15 - i. No item chosen (-1) gives 32.
std::int32_t TimeoutTicksForBaudIndex(int Index);

// Same numbering as the port component's parity (none, odd, even).
enum class HostParity { None = 0, Odd = 1, Even = 2 };
struct HostLineFormat {
  HostParity Parity = HostParity::None;
  int DataBits = 8;
  int StopBits = 1;
  friend bool operator==(const HostLineFormat&, const HostLineFormat&) = default;
};
// Format item -> line settings; no item (or an unknown one) gives none, 8, 1.
HostLineFormat HostFormatOfItem(int Item);

// ---- Request frames ----

inline constexpr char CR = '\r';
// The longest parameter a frame carries (a product ID).
inline constexpr std::size_t MaxParameterLength = 30;
// Extra ticks on top of the base time-out: the product ID read, the test line.
inline constexpr std::int32_t ProductIdExtraTicks = 36;
inline constexpr std::int32_t TestLineExtraTicks = 54;

// Ticks the reply time-out of command Letter is armed for.
std::int32_t CommandTimeoutTicks(char Letter, std::int32_t BaseTicks);
// The parameter of command Letter from the frame fields of State; ChecksumItem
// is the checksum box's item (0 "ON" sends "1", anything else "0").
std::string CommandParameter(char Letter, const UtilityState& State, int ChecksumItem);
// A frame ends at its CR: a parameter may hold no control character (C0 or
// DEL), whether it was typed, pasted or received.
bool IsFrameCharacter(char C);
// The part of Text before its first control character.
std::string_view FrameTextPrefix(std::string_view Text);
// "$" + address + letter + parameter + CR, to State.TargetAddress; none when
// the parameter holds a control character.
std::optional<std::string> CommandFrame(char Letter, const UtilityState& State, int ChecksumItem);
// The console's line: sent as typed, with a CR behind it.
std::string TestLineFrame(std::string_view Line);

// ---- Replies ----

// A peer that never stops talking must not grow the reply without bound:
// every reply the utility reads is far shorter. The length still counts all.
inline constexpr std::size_t MaxReplyText = 4096;
// Adds one batch of received characters to the reply; true when the batch
// ends with CR, which completes the reply.
bool AppendReplyBatch(std::string& Text, std::int32_t& Length, std::string_view Batch);

enum class ProbeAnswer { Nobody, Normal, InitStep };
// The whole reply must be "!HH00\r" (normal) or "!HH11\r" (initial step),
// HH being the probed address; anything else is nobody.
ProbeAnswer EvaluateProbe(std::string_view Reply, std::int32_t Address);
// The end of the probe to State.TargetAddress: a converter that answered is
// added to the found-module table. Answers what it found.
ProbeAnswer RecordProbeReply(UtilityState& State);
// Characters 4 .. Length-1 (1-based): between the address and the final CR.
// Empty when fewer than 5 characters arrived.
std::string ReplyTextCut(std::string_view Reply, std::int32_t Length);
// HexPairValue of characters 4 and 5 (1-based); none when the reply is shorter.
std::optional<std::int32_t> ReplyHexPair(std::string_view Reply);

// ---- Read-back decoding (values are box items) ----

struct ModeSettings {
  int Protocol = 0;    // 1: RS-422
  int AddrMode = 0;    // 1: OFF
  int TxMode = 0;      // 1: FAST RESPONSE MODE
  int AppendStop = 0;  // 1: "NO  "
  int Checksum = 1;    // 0: ON
  friend bool operator==(const ModeSettings&, const ModeSettings&) = default;
};
// Query 4's mode bits: 0 address mode off, 1 RS-422, 2 fast response,
// 3 stop character not appended, 4 checksum on.
ModeSettings DecodeModeBits(std::int32_t R4);
// Format code (4 bits) -> format item; -1 for a code not in the table.
int FormatIndexOfCode(std::int32_t Code);
inline constexpr std::string_view UnknownFormatText = "Unknow";
// Query 3: low four bits the RS-485/422 side, high four bits the RS-232 side.
struct FormatItems {
  int Rs485 = -1;
  int Rs232 = -1;
};
FormatItems DecodeFormats(std::int32_t R3);
// Queries 6 and 7 carry the address's two hex digits as character codes.
std::int32_t AddressOfReadBack(std::int32_t R6, std::int32_t R7);
// Delimiter item of a character code; -1 when it is not one of the eight.
int DelimiterIndexOfCode(std::int32_t R5);

// ---- Scan panel and device list ----

inline constexpr std::string_view DeviceListAddressHeader = "ADDRESS";
inline constexpr std::string_view DeviceListProductHeader = "              PRODUCT    ID";
// "   1AH", with " *" behind for a module in initial step.
std::string DeviceRowAddressText(std::int32_t Address, bool InitStep);
// "SCAN ADDRESS   " + two hex digits.
std::string ScanAddressCaption(std::int32_t Address);
// "SCAN COMPLETE. " + count in decimal + " MODULE FOUND".
std::string ScanCompleteCaption(std::int32_t Count);
