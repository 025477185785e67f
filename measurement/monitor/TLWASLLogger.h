#pragma once
// TLWASLLogger: the monitor's default console sink, over the utilities logger.
//
// Thread-safety: stateless; any thread may call it.

#include <cstdint>
#include <string>
#include <string_view>

#include "measurement/monitor/TLWMonitor.h"
#include "platform/VXLLogger.h"

class TLWASLLogger : public TLWLogger {
 public:
  // Escapes every "%" as "%%", maps the level, formats the code as "I-ACS%06ld" and
  // hands it to VXLLogBasic with the tag as the service; forced only for level 7.
  void logMessage(std::string_view message, std::string_view logTag, std::int64_t messageCode,
                  std::int64_t logLevel) override;

  // The utilities level of a library level: 0-2 error, 3-5 warning, 6 notice, 7 and 8
  // debug, anything else warning.
  static platform::VXLLoggerLevel VXLLoggerLevelFromLogLevel(std::int64_t logLevel);
  // "I-ACS" and the code in at least six digits, e.g. "I-ACS024000".
  static std::string formattedMessageCode(std::int64_t messageCode);
  // The message with every "%" doubled.
  static std::string escapedMessage(std::string_view message);
};
