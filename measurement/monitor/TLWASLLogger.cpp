#include "measurement/monitor/TLWASLLogger.h"

#include <cinttypes>
#include <cstdio>

platform::VXLLoggerLevel TLWASLLogger::VXLLoggerLevelFromLogLevel(std::int64_t logLevel) {
  using L = platform::VXLLoggerLevel;
  switch (logLevel) {
    case 0:
    case 1:
    case 2: return L::Error;
    case 3:
    case 4:
    case 5: return L::Warning;
    case 6: return L::Notice;
    case 7:
    case 8: return L::Debug;
    default: return L::Warning;
  }
}

std::string TLWASLLogger::formattedMessageCode(std::int64_t messageCode) {
  char buf[40];
  int n = std::snprintf(buf, sizeof buf, "I-ACS%06" PRId64, messageCode);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string TLWASLLogger::escapedMessage(std::string_view message) {
  std::string out;
  out.reserve(message.size() + 8);
  for (char c : message) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

void TLWASLLogger::logMessage(std::string_view message, std::string_view logTag, std::int64_t messageCode,
                              std::int64_t logLevel) {
  platform::VXLLogBasic(VXLLoggerLevelFromLogLevel(logLevel), logTag, logLevel == 7,
                        formattedMessageCode(messageCode), escapedMessage(message));
}
