#pragma once
// Version and logger tag of the SDK family's core.
//
// Thread-safety: constants; any thread.

#include <string>
#include <string_view>

namespace platform {

// The family's version string, e.g. "11.4.0".
std::string TWKTarnwickVersion();

// The log tag the measurement library uses for its console output.
inline constexpr std::string_view kTWKLoggerAnalytics = "[Tarnwick/Analytics]";
// The core's own log tag.
inline constexpr std::string_view kTWKLoggerCore = "[Tarnwick/Core]";

}  // namespace platform
