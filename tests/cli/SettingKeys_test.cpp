// The settings in KEY=VALUE form and their file.

#include "SettingKeys.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(SettingKeys, ValuesAreReadAsTheWindowsItemsAndWrittenBackTheSame) {
  const TSettingList list = ParseAssignments({"protocol=rs-422", "baud485=115200", "baud232= 300 ", "address=1f",
                                              "addrmode=OFF", "txmode=fast", "stopchar=0", "appendstop=no",
                                              "checksum=ON", "delimiter=|", "productid= A#B ", "format485=e72",
                                              "FORMAT232=N81"});
  const std::vector<std::pair<TSetting, TSettingValue>> expected = {
      {TSetting::Protocol, {1, ""}},  {TSetting::Rs485Baud, {9, ""}},   {TSetting::Rs232Baud, {0, ""}},
      {TSetting::Address, {0x1F, ""}}, {TSetting::AddrMode, {1, ""}},   {TSetting::TxMode, {1, ""}},
      {TSetting::StopChar, {0, ""}},  {TSetting::AppendStop, {1, ""}},  {TSetting::Checksum, {0, ""}},
      {TSetting::Delimiter, {5, ""}}, {TSetting::ProductId, {0, " A#B "}}, {TSetting::Rs485Format, {8, ""}},
      {TSetting::Rs232Format, {0, ""}}};
  EXPECT_EQ(list, expected);

  // The file form reads back to the same list, blanks of the product ID kept.
  const std::string text = SettingFileText(list, {"a comment"});
  EXPECT_EQ(text.substr(0, 12), "# a comment\n");
  EXPECT_NE(text.find("\nproductid= A#B \n"), std::string::npos) << text;
  std::istringstream in("  \r\n" + text);
  EXPECT_EQ(ParseSettingFile(in, "f"), list);
}

TEST(SettingKeys, AValueNoItemStandsForIsSavedAsACommentOnly) {
  const TSettingList odd = {{TSetting::Rs485Format, {-1, ""}}, {TSetting::Delimiter, {-1, ""}},
                            {TSetting::Rs232Baud, {12, ""}}, {TSetting::Address, {0xFF, ""}}};
  const std::string text = SettingFileText(odd, {});
  EXPECT_EQ(text,
            "# format485: the converter reported a value no setting stands for\n"
            "# delimiter: the converter reported a value no setting stands for\n"
            "# baud232: the converter reported a value no setting stands for\n"
            "address=FF\n");
  std::istringstream in(text);
  EXPECT_EQ(ParseSettingFile(in, "f").size(), 1u);
}

TEST(SettingKeys, WhatNoConverterCouldTakeIsRefusedWithItsReason) {
  const std::pair<std::string, std::string> bad[] = {
      {"protocol=RS-232", "bad value \"RS-232\" for protocol: expected RS-485, RS-422"},
      {"baud485=14400", "bad value \"14400\" for baud485"},
      {"baud232=-9600", "bad value \"-9600\" for baud232"},
      {"address=", "bad value \"\" for address"},
      {"address=G0", "bad value \"G0\" for address"},
      {"delimiter=::", "bad value \"::\" for delimiter"},
      {"format232=N8", "bad value \"N8\" for format232"},
      {"productid=A\tB", "no control characters"},
      {"=1", "unknown key \"\""},
  };
  for (const auto& [word, reason] : bad) {
    try {
      ParseAssignments({word});
      ADD_FAILURE() << word << " was taken";
    } catch (const TSettingSyntaxError& E) {
      EXPECT_NE(std::string(E.what()).find(reason), std::string::npos) << word << ": " << E.what();
    }
  }
  EXPECT_EQ(ParseAssignments({"productid=" + std::string(30, 'X')})[0].second.Text.size(), 30u);
  std::istringstream file("protocol=RS-485\nprotocol=RS-422\n");
  try {
    ParseSettingFile(file, "dup.krm");
    ADD_FAILURE() << "a key twice was taken";
  } catch (const TSettingSyntaxError& E) {
    EXPECT_STREQ(E.what(), "dup.krm:2: key \"protocol\" given twice");
  }
}

}  // namespace
