// SettingKeys: a converter's settings as the command line writes them, one
// KEY=VALUE each ("baud485=19200", "productid=PUMP-7"), and the small text
// file that holds a converter's settings in the same form.
#pragma once

#include "KrmSettings.h"

#include <array>
#include <cstdint>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A box item, the address or the stop character code; the product ID's text.
struct TSettingValue {
  std::int32_t Number = 0;
  std::string Text;
  friend bool operator==(const TSettingValue&, const TSettingValue&) = default;
};
using TSettingList = std::vector<std::pair<TSetting, TSettingValue>>;

// A word or line that is no setting; the message names it.
struct TSettingSyntaxError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string_view KeyOf(TSetting Setting);
std::optional<TSetting> SettingOfKey(std::string_view Key);
// Every key, in the write sequencer's order: "protocol, baud485, ...".
std::string KeyListText();

// Throws TSettingSyntaxError for a value the setting cannot take.
TSettingValue ParseSettingValue(TSetting Setting, std::string_view Text);
// The value as it is written; a value no item stands for (a format code
// not in the table, a delimiter not of the eight) has none.
std::optional<std::string> SettingValueText(TSetting Setting, const TSettingValue& Value);

// "KEY=VALUE" words, each key at most once.
TSettingList ParseAssignments(const std::vector<std::string>& Words);
// One KEY=VALUE a line; blank lines and lines starting with "#" are skipped.
// Messages start with "NAME:LINE: ".
TSettingList ParseSettingFile(std::istream& In, const std::string& Name);
// The file form of Settings, in their order, under the Comment lines; a
// value without text becomes a comment, so the file still loads.
std::string SettingFileText(const TSettingList& Settings, const std::vector<std::string>& Comment);

// The converter's settings as State recorded them from its read-back, in
// the write sequencer's order, with the product ID it gave.
TSettingList RecordedSettings(const UtilityState& State, const std::string& ProductId);
