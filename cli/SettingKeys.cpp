#include "SettingKeys.h"

#include "KrmProtocol.h"

#include <algorithm>
#include <cctype>

namespace {

struct TKeyRow {
  TSetting Setting;
  std::string_view Key;
  // The texts of a two-item setting, by item; empty for the others.
  std::array<std::string_view, 2> Items;
};

constexpr std::array<TKeyRow, 13> Keys = {{
    {TSetting::Protocol, "protocol", {"RS-485", "RS-422"}},
    {TSetting::Rs485Baud, "baud485", {}},
    {TSetting::Rs232Baud, "baud232", {}},
    {TSetting::Address, "address", {}},
    {TSetting::AddrMode, "addrmode", {"ON", "OFF"}},
    {TSetting::TxMode, "txmode", {"NORMAL", "FAST"}},
    {TSetting::StopChar, "stopchar", {}},
    {TSetting::AppendStop, "appendstop", {"YES", "NO"}},
    {TSetting::Checksum, "checksum", {"ON", "OFF"}},
    {TSetting::Delimiter, "delimiter", {}},
    {TSetting::ProductId, "productid", {}},
    {TSetting::Rs485Format, "format485", {}},
    {TSetting::Rs232Format, "format232", {}},
}};

const TKeyRow& RowOf(TSetting Setting) {
  return *std::find_if(Keys.begin(), Keys.end(), [Setting](const TKeyRow& R) { return R.Setting == Setting; });
}

std::string Upper(std::string_view Text) {
  std::string upper(Text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

std::string_view Trim(std::string_view Text) {
  while (!Text.empty() && std::isspace(static_cast<unsigned char>(Text.front()))) Text.remove_prefix(1);
  while (!Text.empty() && std::isspace(static_cast<unsigned char>(Text.back()))) Text.remove_suffix(1);
  return Text;
}

[[noreturn]] void Bad(TSetting Setting, std::string_view Text, std::string_view Expected) {
  throw TSettingSyntaxError("bad value \"" + std::string(Text) + "\" for " + std::string(KeyOf(Setting)) +
                            ": expected " + std::string(Expected));
}

template <std::size_t N>
std::string Choices(const std::array<std::string_view, N>& Texts) {
  std::string list;
  for (const auto text : Texts) list += (list.empty() ? "" : ", ") + std::string(text);
  return list;
}

std::int32_t HexByteValue(TSetting Setting, std::string_view Text) {
  const bool hex = !Text.empty() && Text.size() <= 2 &&
                   std::all_of(Text.begin(), Text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  if (!hex) Bad(Setting, Text, "two hex digits, 00 to FF");
  return static_cast<std::int32_t>(std::stoi(std::string(Text), nullptr, 16));
}

std::pair<std::string_view, std::string_view> SplitAssignment(std::string_view Word) {
  const auto eq = Word.find('=');
  if (eq == std::string_view::npos) throw TSettingSyntaxError("\"" + std::string(Word) + "\" is not KEY=VALUE");
  return {Trim(Word.substr(0, eq)), Word.substr(eq + 1)};
}

// Adds one assignment; a key given twice is a mistake, not a choice.
void Add(TSettingList& List, std::string_view Word) {
  const auto [key, text] = SplitAssignment(Word);
  const auto setting = SettingOfKey(key);
  if (!setting) throw TSettingSyntaxError("unknown key \"" + std::string(key) + "\" (keys: " + KeyListText() + ")");
  if (std::any_of(List.begin(), List.end(), [&](const auto& Entry) { return Entry.first == *setting; }))
    throw TSettingSyntaxError("key \"" + std::string(key) + "\" given twice");
  List.emplace_back(*setting, ParseSettingValue(*setting, text));
}

}  // namespace

std::string_view KeyOf(TSetting Setting) { return RowOf(Setting).Key; }

std::optional<TSetting> SettingOfKey(std::string_view Key) {
  const std::string lower = [&] {
    std::string l(Key);
    for (char& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return l;
  }();
  const auto* row = std::find_if(Keys.begin(), Keys.end(), [&](const TKeyRow& R) { return R.Key == lower; });
  if (row == Keys.end()) return std::nullopt;
  return row->Setting;
}

std::string KeyListText() {
  std::string list;
  for (const TWriteRow& row : WriteOrder) list += (list.empty() ? "" : ", ") + std::string(KeyOf(row.Setting));
  return list;
}

TSettingValue ParseSettingValue(TSetting Setting, std::string_view Text) {
  // A product ID is taken as it stands: its blanks are part of it.
  const std::string_view text = Setting == TSetting::ProductId ? Text : Trim(Text);
  const TKeyRow& row = RowOf(Setting);
  TSettingValue value;
  switch (Setting) {
    case TSetting::Protocol:
    case TSetting::AddrMode:
    case TSetting::TxMode:
    case TSetting::AppendStop:
    case TSetting::Checksum: {
      const auto* item = std::find(row.Items.begin(), row.Items.end(), Upper(text));
      if (item == row.Items.end()) Bad(Setting, text, Choices(row.Items));
      value.Number = static_cast<std::int32_t>(item - row.Items.begin());
      break;
    }
    case TSetting::Rs485Baud:
    case TSetting::Rs232Baud: {
      std::int32_t rate = -1;
      if (!text.empty() && text.size() <= 6 && std::all_of(text.begin(), text.end(), ::isdigit))
        rate = static_cast<std::int32_t>(std::stol(std::string(text)));
      const auto index = BaudIndexOfRate(rate);
      if (!index) Bad(Setting, text, "300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200");
      value.Number = *index;
      break;
    }
    case TSetting::Rs485Format:
    case TSetting::Rs232Format: {
      const auto* item = std::find(FormatCodeTable.begin(), FormatCodeTable.end(), Upper(text));
      if (item == FormatCodeTable.end()) Bad(Setting, text, Choices(FormatCodeTable));
      value.Number = static_cast<std::int32_t>(item - FormatCodeTable.begin());
      break;
    }
    case TSetting::Address:
    case TSetting::StopChar:
      value.Number = HexByteValue(Setting, text);
      break;
    case TSetting::Delimiter: {
      const auto* item = text.size() == 1 ? std::find(DelimiterTable.begin(), DelimiterTable.end(), text[0])
                                          : DelimiterTable.end();
      if (item == DelimiterTable.end()) Bad(Setting, text, "one of : [ ] ^ { | } ~");
      value.Number = static_cast<std::int32_t>(item - DelimiterTable.begin());
      break;
    }
    case TSetting::ProductId:
      if (text.size() > MaxParameterLength || FrameTextPrefix(text).size() != text.size())
        Bad(Setting, text, "at most " + std::to_string(MaxParameterLength) + " characters, no control characters");
      value.Text = std::string(text);
      break;
  }
  return value;
}

std::optional<std::string> SettingValueText(TSetting Setting, const TSettingValue& Value) {
  const auto item = [&](std::size_t Count) { return Value.Number >= 0 && static_cast<std::size_t>(Value.Number) < Count; };
  const auto index = static_cast<std::size_t>(Value.Number);
  switch (Setting) {
    case TSetting::Protocol:
    case TSetting::AddrMode:
    case TSetting::TxMode:
    case TSetting::AppendStop:
    case TSetting::Checksum:
      if (!item(2)) return std::nullopt;
      return std::string(RowOf(Setting).Items[index]);
    case TSetting::Rs485Baud:
    case TSetting::Rs232Baud:
      if (!item(BaudRates.size())) return std::nullopt;
      return std::to_string(BaudRates[index]);
    case TSetting::Rs485Format:
    case TSetting::Rs232Format:
      if (!item(FormatCodeTable.size())) return std::nullopt;
      return std::string(FormatCodeTable[index]);
    case TSetting::Address:
    case TSetting::StopChar:
      return HexByte(Value.Number);
    case TSetting::Delimiter:
      if (!item(DelimiterTable.size())) return std::nullopt;
      return std::string(1, DelimiterTable[index]);
    case TSetting::ProductId:
      return Value.Text;
  }
  return std::nullopt;
}

TSettingList ParseAssignments(const std::vector<std::string>& Words) {
  TSettingList list;
  for (const std::string& word : Words) Add(list, word);
  return list;
}

TSettingList ParseSettingFile(std::istream& In, const std::string& Name) {
  TSettingList list;
  std::string line;
  for (int number = 1; std::getline(In, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // written on Windows
    const std::string_view content = Trim(line);
    if (content.empty() || content.front() == '#') continue;
    try {
      // Blanks in front of the key are layout; a product ID keeps its own.
      Add(list, line.substr(line.find_first_not_of(" \t")));
    } catch (const TSettingSyntaxError& E) {
      throw TSettingSyntaxError(Name + ":" + std::to_string(number) + ": " + E.what());
    }
  }
  if (In.bad()) throw TSettingSyntaxError(Name + ": read error");
  return list;
}

std::string SettingFileText(const TSettingList& Settings, const std::vector<std::string>& Comment) {
  std::string text;
  for (const std::string& line : Comment) text += "# " + line + "\n";
  for (const auto& [setting, value] : Settings) {
    if (const auto shown = SettingValueText(setting, value))
      text += std::string(KeyOf(setting)) + "=" + *shown + "\n";
    else
      text += "# " + std::string(KeyOf(setting)) + ": the converter reported a value no setting stands for\n";
  }
  return text;
}

TSettingList RecordedSettings(const UtilityState& State, const std::string& ProductId) {
  TSettingList list;
  for (const TWriteRow& row : WriteOrder) {
    TSettingValue value;
    if (row.Setting == TSetting::ProductId)
      value.Text = ProductId;
    else
      value.Number = State.*RecordedField(row.Setting);
    list.emplace_back(row.Setting, value);
  }
  return list;
}
