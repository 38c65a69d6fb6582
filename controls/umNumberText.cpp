#include "umNumberText.h"

#include <algorithm>
#include <limits>

namespace umtext {

namespace {

std::u16string Ascii(const std::string& text) { return {text.begin(), text.end()}; }

// Fixed-width digits of the value's 32 bits, leading zeros dropped down to keep.
std::u16string Digits(std::uint32_t value, unsigned bitsPerDigit, std::size_t width, std::size_t keep) {
  static constexpr char16_t Symbols[] = u"0123456789ABCDEF";
  std::u16string text(width, u'0');
  for (std::size_t i = width; i-- > 0; value >>= bitsPerDigit)
    text[i] = Symbols[value & ((1u << bitsPerDigit) - 1)];
  const std::size_t zeros = std::min(text.find_first_not_of(u'0'), width - keep);
  return text.substr(zeros);
}

std::uint32_t HexDigitValue(char16_t u) {
  if (u >= u'0' && u <= u'9') return u - u'0';
  if (u >= u'A' && u <= u'F') return u - u'A' + 10;
  if (u >= u'a' && u <= u'f') return u - u'a' + 10;
  return 0;
}

// Leading zeros do not count toward the 32 bits a text may hold.
std::size_t SignificantDigits(std::u16string_view text) {
  std::size_t first = 0;
  while (first + 1 < text.size() && text[first] == u'0') ++first;
  return text.size() - first;
}

}  // namespace

std::u16string NumberToHex(std::int32_t Value) { return Digits(static_cast<std::uint32_t>(Value), 4, 8, 2); }

std::int32_t HexToNumber(std::u16string_view Text) {
  std::uint32_t number = 0;
  std::uint32_t weight = 1;
  for (std::size_t i = Text.size(); i-- > 0; weight *= 16) number += HexDigitValue(Text[i]) * weight;
  return static_cast<std::int32_t>(number);
}

std::u16string NumberToBin(std::int32_t Value) { return Digits(static_cast<std::uint32_t>(Value), 1, 32, 1); }

std::int32_t BinToNumber(std::u16string_view Text) {
  std::uint32_t number = 0;
  std::uint32_t weight = 1;
  for (std::size_t i = Text.size(); i-- > 0; weight *= 2)
    if (Text[i] == u'1') number += weight;
  return static_cast<std::int32_t>(number);
}

std::u16string_view DigitSet(TumNumberEditKind Kind) {
  switch (Kind) {
    case neHex: return u"0123456789abcdefABCDEF";
    case neBin: return u"01";
    case neDec: break;
  }
  return u"0123456789";
}

std::u16string TNumberRule::Format(std::int32_t Number) const {
  switch (Kind) {
    case neHex: return NumberToHex(Number);
    case neBin: return NumberToBin(Number);
    case neDec: break;
  }
  return Ascii(std::to_string(Number));
}

std::optional<std::int32_t> TNumberRule::Convert(std::u16string_view Text) const {
  // Only the digits of the kind make a number; pasted text with anything else
  // is refused, as is a number that needs more than 32 bits.
  const std::u16string_view digits = DigitSet(Kind);
  if (Text.empty() || Text.find_first_not_of(digits) != std::u16string_view::npos) return std::nullopt;
  const std::size_t significant = SignificantDigits(Text);
  switch (Kind) {
    case neDec: {
      if (significant > 10) return std::nullopt;
      std::int64_t number = 0;
      for (char16_t c : Text) number = number * 10 + (c - u'0');
      if (number > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
      return static_cast<std::int32_t>(number);
    }
    case neHex:
      if (significant > 8) return std::nullopt;
      return HexToNumber(Text);
    case neBin:
      if (significant > 32) return std::nullopt;
      return BinToNumber(Text);
  }
  return std::nullopt;
}

bool TNumberRule::WithinMax(std::u16string_view Text, std::int32_t Number) const {
  if (MaxValue == 0) return true;
  if (Number > MaxValue || Number < 0) return false;
  const std::u16string maxText = Format(MaxValue);
  if (Text.size() != maxText.size()) return Text.size() < maxText.size();
  // Character-code order; "a".."f" weigh as "A".."F".
  std::u16string upper(Text);
  for (char16_t& c : upper)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return upper <= maxText;
}

std::optional<std::int32_t> TNumberRule::Accepted(std::u16string_view Text) const {
  if (Text.empty()) return 0;
  const auto number = Convert(Text);
  if (!number || !WithinMax(Text, *number)) return std::nullopt;
  return number;
}

TNumberRule::TShown TNumberRule::Shown(std::int32_t Value, int MaxLength) const {
  if (Value < 0) Value = 0;
  if (MaxValue != 0 && Value > MaxValue) Value = MaxValue;
  std::u16string text = Format(Value);
  if (MaxLength >= 0 && text.size() > static_cast<std::size_t>(MaxLength)) text.resize(static_cast<std::size_t>(MaxLength));
  // A maximum below 0 refuses every text but the empty one.
  if (const auto held = Accepted(text)) return {text, *held};
  return {};
}

}  // namespace umtext
