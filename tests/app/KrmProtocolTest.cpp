#include "KrmProtocol.h"
#include "KrmSettings.h"

#include <limits>

#include <gtest/gtest.h>

namespace {

TEST(HexConversions, HexByteKeepsTheLowByteInTwoUpperCaseDigits) {
  EXPECT_EQ(HexByte(0), "00");
  EXPECT_EQ(HexByte(13), "0D");
  EXPECT_EQ(HexByte(0x1F), "1F");
  EXPECT_EQ(HexByte(255), "FF");
  EXPECT_EQ(HexByte(256), "00");
  EXPECT_EQ(HexByte(0x1FF), "FF");
  EXPECT_EQ(HexByte(-1), "FF");
}

TEST(HexConversions, HexPairValueDecodesUpperCaseAndIsLenientWithTheRest) {
  EXPECT_EQ(HexPairValue('1', 'F'), 31);
  EXPECT_EQ(HexPairValue('0', 'D'), 13);
  EXPECT_EQ(HexPairValue('F', 'F'), 255);
  EXPECT_EQ(HexPairValue('0', 'a'), 42);           // 'a' - 'A' + 10
  EXPECT_EQ(HexPairValue('a', '0'), 42 * 16);
  EXPECT_EQ(HexPairValue('0', ' '), ' ' - '0');    // below '0': negative digit
  EXPECT_EQ(HexPairValue('0', '\xFF'), 255 - 'A' + 10);  // an unsigned byte, not a negative char
}

TEST(HostLine, BaudRatesOnlyForTheTenItems) {
  EXPECT_EQ(BaudRateOfIndex(0), 300);
  EXPECT_EQ(BaudRateOfIndex(5), 9600);
  EXPECT_EQ(BaudRateOfIndex(9), 115200);
  EXPECT_EQ(BaudRateOfIndex(-1), std::nullopt);
  EXPECT_EQ(BaudRateOfIndex(10), std::nullopt);
  // And back: only the rates a box offers.
  EXPECT_EQ(BaudIndexOfRate(300), 0);
  EXPECT_EQ(BaudIndexOfRate(115200), 9);
  EXPECT_EQ(BaudIndexOfRate(14400), std::nullopt);
  EXPECT_EQ(BaudIndexOfRate(0), std::nullopt);
}

TEST(HostLine, TimeoutBaseFollowsTheBaudItem) {
  const std::int32_t expected[] = {28, 24, 20, 16, 12, 10, 9, 8, 7, 6};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(TimeoutTicksForBaudIndex(i), expected[i]) << i;
  EXPECT_EQ(TimeoutTicksForBaudIndex(-1), 32);  // no item chosen
  EXPECT_EQ(CommandTimeoutTicks('7', 10), 46);   // product ID read at 9600
  EXPECT_EQ(CommandTimeoutTicks('E', 10), 10);
  EXPECT_EQ(TestLineExtraTicks + TimeoutTicksForBaudIndex(0), 82);
}

TEST(HostLine, FormatItemGivesParityDataAndStopBits) {
  EXPECT_EQ(HostFormatOfItem(8), (HostLineFormat{HostParity::Even, 7, 2}));  // E,7,2
  EXPECT_EQ(HostFormatOfItem(0), (HostLineFormat{HostParity::None, 8, 1}));
  EXPECT_EQ(HostFormatOfItem(2), (HostLineFormat{HostParity::Odd, 7, 1}));
  EXPECT_EQ(HostFormatOfItem(5), (HostLineFormat{HostParity::None, 8, 2}));
  EXPECT_EQ(HostFormatOfItem(-1), (HostLineFormat{HostParity::None, 8, 1}));  // no item
}

UtilityState At05() {
  UtilityState state;
  state.TargetAddress = 0x05;
  return state;
}

TEST(CommandFrames, EveryLetterCarriesItsParameter) {
  UtilityState s = At05();
  s.ParRs485Baud = '5';
  EXPECT_EQ(CommandFrame('1', s, 0), "$0515\r");
  s.ParRs232Format = std::string(FormatCodeTable[4]);
  EXPECT_EQ(CommandFrame('2', s, 0), "$052E71\r");
  s.ParAddress = HexByte(0x1F);
  EXPECT_EQ(CommandFrame('8', s, 0), "$0581F\r");
  s.ParStopChar = HexByte(0x0D);
  EXPECT_EQ(CommandFrame('9', s, 0), "$0590D\r");
  s.QueryIndex = 3;
  EXPECT_EQ(CommandFrame('E', s, 0), "$05E03\r");
  EXPECT_EQ(CommandFrame('I', s, 0), "$05IFD\r");
  EXPECT_EQ(CommandFrame('S', s, 0), "$05S1\r");
  EXPECT_EQ(CommandFrame('S', s, 1), "$05S0\r");
  s.ParRs232Baud = '9';
  EXPECT_EQ(CommandFrame('0', s, 0), "$0509\r");
  s.ParRs485Format = "N81";
  EXPECT_EQ(CommandFrame('3', s, 0), "$053N81\r");
  s.ParDelimiter = '|';
  EXPECT_EQ(CommandFrame('C', s, 0), "$05C|\r");
  for (char letter : std::string("AB457FNJLV"))
    EXPECT_EQ(CommandFrame(letter, s, 0), std::string("$05") + letter + "\r") << letter;
}

TEST(CommandFrames, ProductIdFromEmptyToThirtyCharacters) {
  UtilityState s = At05();
  EXPECT_EQ(CommandFrame('6', s, 0), "$056\r");
  s.ParProductId = std::string(30, 'K');
  const std::optional<std::string> frame = CommandFrame('6', s, 0);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->size(), 35u);
  EXPECT_EQ(*frame, "$056" + std::string(30, 'K') + "\r");
}

TEST(CommandFrames, AParameterWithAControlCharacterMakesNoFrame) {
  UtilityState s = At05();
  for (const std::string& id : {std::string("AB\r$05S1"), std::string("\nX"), std::string("DEL\x7f"),
                               std::string(1, '\0')}) {
    s.ParProductId = id;
    EXPECT_FALSE(CommandFrame('6', s, 0)) << id;
  }
  s.ParProductId = "PUMP \xE9 1";  // Latin-1 letters are bytes like any other
  EXPECT_EQ(CommandFrame('6', s, 0), "$056PUMP \xE9 1\r");
  EXPECT_EQ(FrameTextPrefix("AB\r$05S1"), "AB");
  EXPECT_EQ(FrameTextPrefix("WHOLE ID"), "WHOLE ID");
}

TEST(CommandFrames, AddressEdgesAndTheTestLine) {
  UtilityState s;
  s.TargetAddress = 0;
  EXPECT_EQ(CommandFrame('V', s, 0), "$00V\r");
  s.TargetAddress = 255;
  EXPECT_EQ(CommandFrame('V', s, 0), "$FFV\r");
  EXPECT_EQ(TestLineFrame("ABC"), "ABC\r");
  EXPECT_EQ(TestLineFrame(""), "\r");
}

TEST(Replies, ProbeMatchesOnlyTheWholeExpectedText) {
  EXPECT_EQ(EvaluateProbe("!0A00\r", 0x0A), ProbeAnswer::Normal);
  EXPECT_EQ(EvaluateProbe("!0A11\r", 0x0A), ProbeAnswer::InitStep);
  EXPECT_EQ(EvaluateProbe("!FF00\r", 255), ProbeAnswer::Normal);
  EXPECT_EQ(EvaluateProbe("!0a00\r", 0x0A), ProbeAnswer::Nobody);   // lower case address
  EXPECT_EQ(EvaluateProbe("!0B00\r", 0x0A), ProbeAnswer::Nobody);   // another address
  EXPECT_EQ(EvaluateProbe("x!0A00\r", 0x0A), ProbeAnswer::Nobody);  // noise before
  EXPECT_EQ(EvaluateProbe("!0A00\r\n", 0x0A), ProbeAnswer::Nobody); // noise after
  EXPECT_EQ(EvaluateProbe("!0A01\r", 0x0A), ProbeAnswer::Nobody);
  EXPECT_EQ(EvaluateProbe("", 0x0A), ProbeAnswer::Nobody);
}

TEST(Replies, ABatchEndingInCrCompletesAReplyThatStaysBounded) {
  std::string text;
  std::int32_t length = 0;
  EXPECT_FALSE(AppendReplyBatch(text, length, "!0"));
  EXPECT_FALSE(AppendReplyBatch(text, length, "500"));
  EXPECT_FALSE(AppendReplyBatch(text, length, ""));
  EXPECT_TRUE(AppendReplyBatch(text, length, "\r"));
  EXPECT_EQ(text, "!0500\r");
  EXPECT_EQ(length, 6);
  EXPECT_FALSE(AppendReplyBatch(text, length, "\r\n"));  // CR not last: not complete

  // A peer that never stops: the text stops growing, the count goes on to its top.
  const std::string flood(3000, 'x');
  for (int i = 0; i < 3; ++i) AppendReplyBatch(text, length, flood);
  EXPECT_EQ(text.size(), MaxReplyText);
  EXPECT_EQ(length, 6 + 2 + 9000);
  length = std::numeric_limits<std::int32_t>::max() - 1;
  EXPECT_TRUE(AppendReplyBatch(text, length, "ab\r"));
  EXPECT_EQ(length, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(text.size(), MaxReplyText);
}

TEST(Replies, AProbeThatFoundAConverterEntersTheFoundTable) {
  UtilityState state;
  const auto probe = [&](std::int32_t Address, bool Ok, const std::string& Reply) {
    state.TargetAddress = Address;
    state.ReplyOk = Ok;
    state.ReplyText = Reply;
    return RecordProbeReply(state);
  };
  EXPECT_EQ(probe(0x00, true, "!0000\r"), ProbeAnswer::Normal);
  EXPECT_EQ(probe(0x01, false, "!0111\r"), ProbeAnswer::Nobody);  // came after its time-out
  EXPECT_EQ(probe(0x0A, true, "!0A11\r"), ProbeAnswer::InitStep);
  EXPECT_EQ(probe(0x0B, true, "!0A11\r"), ProbeAnswer::Nobody);
  EXPECT_EQ(state.ModuleCount, 2);
  EXPECT_TRUE(state.ModulesFound);
  EXPECT_EQ(state.ModuleAddress[1], 0x0A);
  EXPECT_FALSE(state.ModuleInitStep[0]);
  EXPECT_TRUE(state.ModuleInitStep[1]);
  // A full table takes no more, and nothing beyond it is touched.
  state.ModuleCount = 256;
  EXPECT_EQ(probe(0x05, true, "!0500\r"), ProbeAnswer::Normal);
  EXPECT_EQ(state.ModuleCount, 256);
}

TEST(Replies, TextCutLiesBetweenTheAddressAndTheFinalCr) {
  EXPECT_EQ(ReplyTextCut("!05\r", 4), "");
  EXPECT_EQ(ReplyTextCut("!05ABC\r", 7), "ABC");
  EXPECT_EQ(ReplyTextCut("!051.0\r", 7), "1.0");
  EXPECT_EQ(ReplyTextCut("", 0), "");
  EXPECT_EQ(ReplyTextCut("!05AB", 5), "A");     // after a time-out: whatever arrived
  EXPECT_EQ(ReplyTextCut("!05ABC\r", 99), "ABC\r");  // a length beyond the text never reads past it
}

TEST(Replies, HexPairOfCharactersFourAndFive) {
  EXPECT_EQ(ReplyHexPair("!05A5\r"), 0xA5);
  EXPECT_EQ(ReplyHexPair("!0513"), 0x13);
  EXPECT_EQ(ReplyHexPair("!051"), std::nullopt);
  EXPECT_EQ(ReplyHexPair("!05\r"), std::nullopt);
}

TEST(ReadBack, ModeBitsOfR4) {
  // 0x13: address mode off, RS-422, normal, appended, checksum on.
  EXPECT_EQ(DecodeModeBits(0x13), (ModeSettings{1, 1, 0, 0, 0}));
  EXPECT_EQ(DecodeModeBits(0x00), (ModeSettings{0, 0, 0, 0, 1}));
  EXPECT_EQ(DecodeModeBits(0x0C), (ModeSettings{0, 0, 1, 1, 1}));
}

TEST(ReadBack, FormatCodesOfR3) {
  const FormatItems a5 = DecodeFormats(0xA5);
  EXPECT_EQ(FormatListTexts[static_cast<std::size_t>(a5.Rs485)], "E,7,1");
  EXPECT_EQ(FormatListTexts[static_cast<std::size_t>(a5.Rs232)], "O,8,1");
  const std::int32_t codes[] = {0, 10, 3, 12, 5, 8, 1, 11, 13};
  for (int item = 0; item < 9; ++item) EXPECT_EQ(FormatIndexOfCode(codes[item]), item);
  for (std::int32_t code : {2, 4, 6, 7, 9, 14, 15}) EXPECT_EQ(FormatIndexOfCode(code), -1) << code;
  EXPECT_EQ(DecodeFormats(0xF2).Rs485, -1);
  EXPECT_EQ(DecodeFormats(0xF2).Rs232, -1);
  EXPECT_EQ(UnknownFormatText, "Unknow");
}

TEST(ReadBack, AddressAndDelimiterCodes) {
  EXPECT_EQ(AddressOfReadBack(0x31, 0x46), 0x1F);
  EXPECT_EQ(AddressOfReadBack('F', 'F'), 255);
  EXPECT_EQ(DelimiterIndexOfCode(':'), 0);
  EXPECT_EQ(DelimiterIndexOfCode(124), 5);
  EXPECT_EQ(DelimiterIndexOfCode('~'), 7);
  EXPECT_EQ(DelimiterIndexOfCode('A'), -1);
  EXPECT_EQ(DelimiterIndexOfCode(':' + 256), -1);
}

TEST(ReadBack, AQueryTakesItsValueOnlyFromAReplyThatCarriesOne) {
  UtilityState state;
  state.ReadBack[3] = 0x42;
  state.QueryIndex = 3;
  const auto reply = [&](bool Ok, const std::string& Text) {
    state.ReplyOk = Ok;
    state.ReplyText = Text;
    return TakeReadBackReply(state);
  };
  EXPECT_FALSE(reply(false, "!05A5\r"));  // timed out
  EXPECT_FALSE(reply(true, "!05\r"));     // too short to carry one
  EXPECT_EQ(state.ReadBack[3], 0x42);
  EXPECT_TRUE(reply(true, "!05A5\r"));
  EXPECT_EQ(state.ReadBack[3], 0xA5);
  state.QueryIndex = ReadBackQueries;  // past the last entry
  EXPECT_FALSE(reply(true, "!0513\r"));
  EXPECT_EQ(state.ReadBack, (std::array<std::int32_t, 10>{0, 0, 0, 0xA5, 0, 0, 0, 0, 0, 0}));
}

TEST(ReadBack, EverySettingHasItsOwnFlagAndRecordedValue) {
  std::vector<bool UtilityState::*> flags;
  std::vector<std::int32_t UtilityState::*> fields;
  for (const TWriteRow& row : WriteOrder) {
    flags.push_back(PendingFlag(row.Setting));
    if (row.Setting != TSetting::ProductId) fields.push_back(RecordedField(row.Setting));
  }
  EXPECT_EQ(RecordedField(TSetting::ProductId), nullptr);  // not recorded
  for (std::size_t i = 0; i < flags.size(); ++i)
    for (std::size_t j = i + 1; j < flags.size(); ++j) EXPECT_NE(flags[i], flags[j]) << i << " " << j;
  for (std::size_t i = 0; i < fields.size(); ++i)
    for (std::size_t j = i + 1; j < fields.size(); ++j) EXPECT_NE(fields[i], fields[j]) << i << " " << j;
  // The read-back records through the same fields.
  UtilityState state;
  state.ReadBack = {0, 6, 7, 0xA5, 0x13, '[', '1', 'F', 0x0A, 0};
  RecordReadBack(state);
  EXPECT_EQ(state.*RecordedField(TSetting::Rs232Baud), 6);
  EXPECT_EQ(state.*RecordedField(TSetting::Rs485Baud), 7);
  EXPECT_EQ(state.*RecordedField(TSetting::Rs485Format), 4);  // E,7,1
  EXPECT_EQ(state.*RecordedField(TSetting::Rs232Format), 1);  // O,8,1
  EXPECT_EQ(state.*RecordedField(TSetting::Protocol), 1);
  EXPECT_EQ(state.*RecordedField(TSetting::AddrMode), 1);
  EXPECT_EQ(state.*RecordedField(TSetting::Checksum), 0);
  EXPECT_EQ(state.*RecordedField(TSetting::Delimiter), 1);
  EXPECT_EQ(state.*RecordedField(TSetting::Address), 0x1F);
  EXPECT_EQ(state.*RecordedField(TSetting::StopChar), 0x0A);
}

TEST(DeviceList, RowAndPanelTexts) {
  EXPECT_EQ(DeviceRowAddressText(0x1A, true), "   1AH *");
  EXPECT_EQ(DeviceRowAddressText(0x05, false), "   05H");
  EXPECT_EQ(DeviceListProductHeader, "              PRODUCT    ID");
  EXPECT_EQ(ScanAddressCaption(0), "SCAN ADDRESS   00");
  EXPECT_EQ(ScanAddressCaption(0xFF), "SCAN ADDRESS   FF");
  EXPECT_EQ(ScanCompleteCaption(3), "SCAN COMPLETE. 3 MODULE FOUND");
  EXPECT_EQ(ScanCompleteCaption(256), "SCAN COMPLETE. 256 MODULE FOUND");
}

}  // namespace
