#pragma once
// Logging in tests: a monitor logger that keeps every line it is handed, so a test can
// check what was logged by message code rather than how the console printed it
// (thread-safe), and a guard for the process-wide logger level.

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/monitor/TLWMonitor.h"
#include "platform/VXLLogger.h"

namespace tw_test_support {

struct LoggedLine {
  std::string message, tag;
  std::int64_t code = 0, level = 0;
};

class RecordingLogger : public TLWLogger {
 public:
  void logMessage(std::string_view message, std::string_view tag, std::int64_t code, std::int64_t level) override {
    std::lock_guard lock(mutex_);
    lines_.push_back({std::string(message), std::string(tag), code, level});
  }
  std::vector<LoggedLine> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  int count(std::int64_t code) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const auto& l) { return l.code == code; }));
  }
  bool hasCode(std::int64_t code) const { return count(code) > 0; }
  // The first line logged with `code`, or "".
  std::string lineWithCode(std::int64_t code) const {
    for (const auto& l : lines())
      if (l.code == code) return l.message;
    return {};
  }
  std::vector<std::int64_t> levels() const {
    std::vector<std::int64_t> out;
    for (const auto& l : lines()) out.push_back(l.level);
    return out;
  }
  std::string dump() const {
    std::string out;
    for (const auto& l : lines()) out += std::to_string(l.code) + " " + l.message + "\n";
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LoggedLine> lines_;
};

// Sets the process-wide logger level for its lifetime and restores the previous one.
class ScopedLoggerLevel {
 public:
  explicit ScopedLoggerLevel(platform::VXLLoggerLevel level) : previous_(platform::VXLGetLoggerLevel()) {
    platform::VXLSetLoggerLevel(level);
  }
  ~ScopedLoggerLevel() { platform::VXLSetLoggerLevel(previous_); }
  ScopedLoggerLevel(const ScopedLoggerLevel&) = delete;
  ScopedLoggerLevel& operator=(const ScopedLoggerLevel&) = delete;

 private:
  platform::VXLLoggerLevel previous_;
};

}  // namespace tw_test_support
