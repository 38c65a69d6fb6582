// The numeric edit's texts and numbers, without Qt: the conversions of the
// unit and the rules a text must keep to. Texts are UTF-16, as the edit's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum TumNumberEditKind { neDec, neHex, neBin };

namespace umtext {

// 8 upper-case hex digits with leading zeros dropped down to 2: 13 -> "0D", 256 -> "100".
std::u16string NumberToHex(std::int32_t Value);
// Read from the last character with weights 1, 16, 256...; bits beyond 32 are lost.
// "0".."9", "A".."F" and "a".."f" count their digit value, any other character 0.
std::int32_t HexToNumber(std::u16string_view Text);
// 32 binary digits with leading zeros dropped down to 1: 0 -> "0", 5 -> "101".
std::u16string NumberToBin(std::int32_t Value);
// Each "1" adds its weight 1, 2, 4...; any other character adds nothing.
std::int32_t BinToNumber(std::u16string_view Text);

// The characters that may be typed for a kind.
std::u16string_view DigitSet(TumNumberEditKind Kind);

// What an edit of one kind and maximum (0: none) accepts and shows.
struct TNumberRule {
  TumNumberEditKind Kind = neDec;
  std::int32_t MaxValue = 0;

  std::u16string Format(std::int32_t Number) const;
  // The number of a text made of the kind's digits only that fits 32 bits.
  std::optional<std::int32_t> Convert(std::u16string_view Text) const;
  // Not above the maximum and, against the maximum's text, not longer and
  // not later in character-code order when as long.
  bool WithinMax(std::u16string_view Text, std::int32_t Number) const;
  // The value an accepted text holds (an empty text holds 0); none when the
  // text is refused.
  std::optional<std::int32_t> Accepted(std::u16string_view Text) const;

  // A value written to the edit: clamped to 0..MaxValue, shown in the kind's
  // form, and cut to MaxLength characters as the edit cuts every text. The
  // value is the one that text holds, so that text and value always agree.
  struct TShown {
    std::u16string Text;
    std::int32_t Value = 0;
  };
  TShown Shown(std::int32_t Value, int MaxLength) const;
};

}  // namespace umtext
