#pragma once
// Captures what the utilities logger writes while it lives, and restores the previous
// sink afterwards. One at a time per process (it replaces the process-wide sink).
//
// Thread-safety: lines may be logged from any thread; the accessors take a lock.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/VXLLogger.h"

namespace platform::testing {

struct LoggedLine {
  VXLLoggerLevel level;
  std::string service;
  std::string messageCode;
  std::string message;
};

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LoggedLine> lines() const;
  // Lines whose message code equals `code`.
  std::vector<LoggedLine> withCode(std::string_view code) const;
  bool contains(std::string_view messageCode, std::string_view messageFragment = {}) const;
  void clear();

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
  std::shared_ptr<LogSink> previous_;
};

}  // namespace platform::testing
