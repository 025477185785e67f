#include "measurement/audience/TLWDecimalNumber.h"

#include <algorithm>

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Compares the magnitudes of two normalised non-zero decimals.
std::strong_ordering compareMagnitude(const std::string& da, int ea, const std::string& db, int eb) {
  // Position of the leading digit decides first.
  const long leadA = static_cast<long>(da.size()) + ea;
  const long leadB = static_cast<long>(db.size()) + eb;
  if (leadA != leadB) return leadA <=> leadB;
  const std::size_t n = std::max(da.size(), db.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char ca = i < da.size() ? da[i] : '0';
    const char cb = i < db.size() ? db[i] : '0';
    if (ca != cb) return ca <=> cb;
  }
  return std::strong_ordering::equal;
}
}  // namespace

bool TLWDecimalNumber::isNumericString(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  bool digits = false;
  bool point = false;
  for (; i < s.size(); ++i) {
    if (isDigit(s[i])) {
      digits = true;
    } else if (s[i] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digits;
}

std::optional<TLWDecimalNumber> TLWDecimalNumber::fromString(std::string_view s, ParseFailure* failure) {
  if (!isNumericString(s)) {
    if (failure) *failure = ParseFailure::NotNumeric;
    return std::nullopt;
  }
  TLWDecimalNumber d;
  std::size_t i = 0;
  if (s[0] == '+' || s[0] == '-') {
    d.negative_ = s[0] == '-';
    i = 1;
  }
  std::string all;
  long fractionDigits = 0;
  bool afterPoint = false;
  for (; i < s.size(); ++i) {
    if (s[i] == '.') {
      afterPoint = true;
      continue;
    }
    all.push_back(s[i]);
    if (afterPoint) ++fractionDigits;
  }
  const auto first = all.find_first_not_of('0');
  if (first == std::string::npos) {
    d.negative_ = false;
    return d;
  }
  const auto last = all.find_last_not_of('0');
  d.digits_ = all.substr(first, last - first + 1);
  const long exponent = static_cast<long>(all.size() - 1 - last) - fractionDigits;
  // Trailing zeros fill the 38 digits before the exponent must grow: "1" and 130 zeros is
  // 38 digits times 10^92, well in range.
  const long spareDigits = kMaxSignificantDigits - static_cast<long>(d.digits_.size());
  if (spareDigits < 0 || exponent < kMinExponent || exponent - spareDigits > kMaxExponent) {
    if (failure) *failure = ParseFailure::LossOfPrecision;
    return std::nullopt;
  }
  d.exponent_ = static_cast<int>(exponent);
  return d;
}

TLWDecimalNumber TLWDecimalNumber::fromInt64(std::int64_t value) {
  TLWDecimalNumber d;
  if (value == 0) return d;
  d.negative_ = value < 0;
  // Through the unsigned magnitude so that the minimum has one.
  std::uint64_t magnitude = d.negative_ ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::string reversed;
  while (magnitude) {
    reversed.push_back(static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
  }
  std::string all(reversed.rbegin(), reversed.rend());
  const auto last = all.find_last_not_of('0');
  d.digits_ = all.substr(0, last + 1);
  d.exponent_ = static_cast<int>(all.size() - 1 - last);
  return d;
}

std::string TLWDecimalNumber::description() const {
  if (digits_.empty()) return "0";
  std::string out = negative_ ? "-" : "";
  if (exponent_ >= 0) return out + digits_ + std::string(static_cast<std::size_t>(exponent_), '0');
  const long pointAt = static_cast<long>(digits_.size()) + exponent_;
  if (pointAt > 0) return out + digits_.substr(0, pointAt) + "." + digits_.substr(pointAt);
  return out + "0." + std::string(static_cast<std::size_t>(-pointAt), '0') + digits_;
}

std::strong_ordering operator<=>(const TLWDecimalNumber& a, const TLWDecimalNumber& b) {
  const int signA = a.isZero() ? 0 : (a.negative_ ? -1 : 1);
  const int signB = b.isZero() ? 0 : (b.negative_ ? -1 : 1);
  if (signA != signB) return signA <=> signB;
  if (signA == 0) return std::strong_ordering::equal;
  const auto magnitude = compareMagnitude(a.digits_, a.exponent_, b.digits_, b.exponent_);
  return signA > 0 ? magnitude : 0 <=> magnitude;
}
