#pragma once
// The utilities framework's logger: levels, a per-service tag, message codes, and a
// replaceable sink (standard error by default).
//
// Thread-safety: every function may be called from any thread.

#include <memory>
#include <string>
#include <string_view>

namespace platform {

enum class VXLLoggerLevel : int { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

// Where formatted log lines go. Tests install a capturing sink.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(VXLLoggerLevel level, std::string_view service, std::string_view messageCode,
                     std::string_view message) = 0;
};

// Logs when `level` is loggable at the current logger level, or always when `force` is set.
// `message` is printf-style escaped text ("%%" stands for "%").
void VXLLogBasic(VXLLoggerLevel level, std::string_view service, bool force, std::string_view messageCode,
                 std::string_view message);
void VXLLogError(std::string_view service, bool force, std::string_view messageCode, std::string_view message);
void VXLLogWarning(std::string_view service, bool force, std::string_view messageCode, std::string_view message);
void VXLLogInfo(std::string_view service, bool force, std::string_view messageCode, std::string_view message);

// The logger level; Notice by default.
void VXLSetLoggerLevel(VXLLoggerLevel level);
VXLLoggerLevel VXLGetLoggerLevel();
bool VXLIsLoggableLevel(VXLLoggerLevel level);

// Replaces the sink; null restores standard error. Returns the previous sink.
std::shared_ptr<LogSink> VXLSetLogSink(std::shared_ptr<LogSink> sink);

}  // namespace platform
