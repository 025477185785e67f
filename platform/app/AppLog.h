#pragma once
// Log lines of the application layer and the family core, through the utilities logger.
//
// Thread-safety: any thread.

#include <string>
#include <string_view>

#include "platform/VXLLogger.h"

namespace platform::applog {

// The logger reads its message as printf-style text; a literal "%" must be doubled.
inline std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

inline void log(VXLLoggerLevel level, std::string_view service, std::string_view code, std::string_view message) {
  VXLLogBasic(level, service, false, code, escape(message));
}

inline constexpr std::string_view kAppService = "[Platform]";
inline constexpr std::string_view kCoreService = "[Tarnwick/Core]";

}  // namespace platform::applog
