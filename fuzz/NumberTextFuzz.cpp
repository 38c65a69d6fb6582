// The numeric edit's conversions and rules on any text and any setting:
// numbers survive their own text, an accepted text holds a value within the
// limits, and a written value shows a text that holds exactly that value,
// whatever the kind, maximum and length limit.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "FuzzCheck.h"
#include "umNumberText.h"

using namespace umtext;

namespace {

// Mostly digits of every kind, some letters and one character beyond ASCII.
std::u16string Text(FuzzedDataProvider& in) {
  static constexpr char16_t Alphabet[] = u"0123456789abcdefABCDEFxG-+ \u00e9";
  std::u16string text;
  for (uint8_t code : in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 40)))
    text.push_back(Alphabet[code % (sizeof Alphabet / sizeof Alphabet[0] - 1)]);
  return text;
}

std::string Narrow(const std::u16string& text) { return {text.begin(), text.end()}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  TNumberRule rule;
  rule.Kind = static_cast<TumNumberEditKind>(in.ConsumeIntegralInRange(0, 2));
  rule.MaxValue = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int32_t>(0, 300) : in.ConsumeIntegral<std::int32_t>();
  const int maxLength = in.ConsumeBool() ? 32767 : in.ConsumeIntegralInRange(0, 12);
  const std::int32_t value = in.ConsumeIntegral<std::int32_t>();

  // Every number comes back from its own text.
  FUZZ_CHECK(HexToNumber(NumberToHex(value)) == value, "hex of %d", value);
  FUZZ_CHECK(BinToNumber(NumberToBin(value)) == value, "binary of %d", value);
  const TNumberRule unlimited{rule.Kind, 0};
  if (value >= 0 || rule.Kind != neDec)
    FUZZ_CHECK(unlimited.Convert(rule.Format(value)) == value, "kind %d, %d", rule.Kind, value);

  // A written value: its text fits the limit and holds exactly that value.
  const TNumberRule::TShown shown = rule.Shown(value, maxLength);
  FUZZ_CHECK(shown.Text.size() <= static_cast<size_t>(maxLength), "text of %zu", shown.Text.size());
  const auto held = rule.Accepted(shown.Text);
  FUZZ_CHECK(held == shown.Value, "kind %d, max %d, limit %d: wrote %d, shows \"%s\" holding %lld, value %d",
             rule.Kind, rule.MaxValue, maxLength, value, Narrow(shown.Text).c_str(),
             held ? static_cast<long long>(*held) : -1LL, shown.Value);
  if (rule.MaxValue > 0) FUZZ_CHECK(shown.Value >= 0 && shown.Value <= rule.MaxValue, "value %d", shown.Value);

  // Any text: accepted only with the kind's digits and within the limits.
  while (in.remaining_bytes() > 0) {
    const std::u16string text = Text(in);
    const auto number = rule.Accepted(text);
    if (!number || text.empty()) continue;
    FUZZ_CHECK(text.find_first_not_of(DigitSet(rule.Kind)) == std::u16string::npos, "\"%s\" taken",
               Narrow(text).c_str());
    if (rule.MaxValue != 0) {
      FUZZ_CHECK(*number >= 0 && *number <= rule.MaxValue, "\"%s\" holds %d", Narrow(text).c_str(), *number);
      FUZZ_CHECK(text.size() <= rule.Format(rule.MaxValue).size(), "\"%s\" longer than the maximum's text",
                 Narrow(text).c_str());
    }
  }
  return 0;
}
