#include "measurement/audience/TLWDecimalNumber.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Exact values up to 38 significant digits; the exponent may grow only once trailing zeros
// no longer fit in those digits.
TEST(TLWDecimalNumberTest, RangeIsThirtyEightDigitsTimesAnExponentUpTo127) {
  const std::string ones38(38, '1');
  struct Case {
    std::string text;
    bool parses;
  } cases[] = {
      {"1" + std::string(130, '0'), true},        // 38 digits times 10^92
      {"1" + std::string(164, '0'), true},        // 38 digits times 10^127
      {"1" + std::string(165, '0'), false},       // would need 10^128
      {"0." + std::string(127, '0') + "1", true},  // 10^-128
      {"0." + std::string(128, '0') + "1", false},
      {ones38, true},
      {ones38 + "1", false},
      {ones38 + std::string(127, '0'), true},
      {ones38 + std::string(128, '0'), false},
  };
  for (const auto& c : cases) {
    TLWDecimalNumber::ParseFailure failure{};
    auto parsed = TLWDecimalNumber::fromString(c.text, &failure);
    EXPECT_EQ(parsed.has_value(), c.parses) << c.text.size() << " characters";
    if (parsed) {
      EXPECT_EQ(parsed->description(), c.text) << c.text.size() << " characters";
    } else {
      EXPECT_EQ(failure, TLWDecimalNumber::ParseFailure::LossOfPrecision);
    }
  }
  EXPECT_LT(*TLWDecimalNumber::fromString("9" + std::string(129, '0')),
            *TLWDecimalNumber::fromString("1" + std::string(130, '0')));
}

}  // namespace
