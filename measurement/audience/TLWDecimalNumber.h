#pragma once
// TLWDecimalNumber: an exact decimal of up to 38 significant digits, enough for every
// comparison value and numeric string an audience filter may carry. Values are compared
// exactly; nothing goes through a binary floating-point number.
//
// Thread-safety: an immutable value; any thread may read and copy.
// Failure: parsing answers nullopt (with the reason) and never throws.

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class TLWDecimalNumber {
 public:
  static constexpr int kMaxSignificantDigits = 38;
  static constexpr int kMinExponent = -128;
  static constexpr int kMaxExponent = 127;

  enum class ParseFailure { NotNumeric, LossOfPrecision };

  // Whether `s` is a numeric string: an optional sign, then digits with at most one
  // point and at least one digit ("1", "1.", ".5", "-0.25"). No exponent, no spaces.
  static bool isNumericString(std::string_view s);
  // The exact value of a numeric string; nullopt (and `failure`) when `s` is not numeric
  // or needs more than 38 significant digits or an exponent out of range.
  static std::optional<TLWDecimalNumber> fromString(std::string_view s, ParseFailure* failure = nullptr);
  static TLWDecimalNumber fromInt64(std::int64_t value);

  bool isZero() const { return digits_.empty(); }
  bool isNegative() const { return negative_; }
  // The shortest plain form ("-12.5", "0.001", "1000").
  std::string description() const;

  friend std::strong_ordering operator<=>(const TLWDecimalNumber& a, const TLWDecimalNumber& b);
  friend bool operator==(const TLWDecimalNumber& a, const TLWDecimalNumber& b) {
    return a.negative_ == b.negative_ && a.exponent_ == b.exponent_ && a.digits_ == b.digits_;
  }

 private:
  // value = (negative ? -1 : 1) * digits * 10^exponent; digits has no leading or trailing
  // zeros and is empty for zero (which is never negative).
  bool negative_ = false;
  std::string digits_;
  int exponent_ = 0;
};
