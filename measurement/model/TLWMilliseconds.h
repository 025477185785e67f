#pragma once
// Seconds (double) to the milliseconds of wire messages: seconds x 1000 truncated toward
// zero, clamped to the int64 range (NaN gives 0) so no conversion is undefined.

#include <cstdint>
#include <limits>

namespace tlw_model {

inline std::int64_t millisecondsFromSeconds(double seconds) {
  const double ms = seconds * 1000.0;
  if (ms != ms) return 0;
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (ms >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (ms <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ms);
}

}  // namespace tlw_model
