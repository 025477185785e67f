#include "platform/VXLLogger.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>

namespace platform {
namespace {

// Writes "<service>[<code>] message\n" to standard error in one write() so that lines
// from different threads never interleave.
class StandardErrorSink final : public LogSink {
 public:
  void write(VXLLoggerLevel, std::string_view service, std::string_view messageCode,
             std::string_view message) override {
    std::string line;
    line.reserve(service.size() + messageCode.size() + message.size() + 4);
    line.append(service).append("[").append(messageCode).append("] ");
    // One line per message: a message carrying line breaks (names and values come from
    // callers) must not be able to forge further log lines.
    for (char c : message) {
      if (c == '\n') {
        line.append("\\n");
      } else if (c == '\r') {
        line.append("\\r");
      } else {
        line.push_back(c);
      }
    }
    line.push_back('\n');
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::write(STDERR_FILENO, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // nowhere to report a failing stderr
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }
};

std::atomic<int> gLevel{static_cast<int>(VXLLoggerLevel::Notice)};

struct SinkSlot {
  std::mutex mutex;
  std::shared_ptr<LogSink> custom;
  std::shared_ptr<LogSink> standardError = std::make_shared<StandardErrorSink>();
};

SinkSlot& sinkSlot() {
  // Never destroyed: loggers may run from other static destructors or detached threads.
  static SinkSlot* slot = new SinkSlot();
  return *slot;
}

std::shared_ptr<LogSink> activeSink() {
  SinkSlot& slot = sinkSlot();
  std::lock_guard lock(slot.mutex);
  return slot.custom ? slot.custom : slot.standardError;
}

// "%%" stands for "%" in the printf-escaped messages callers pass.
std::string unescapePercent(std::string_view message) {
  std::string out;
  out.reserve(message.size());
  for (std::size_t i = 0; i < message.size(); ++i) {
    out.push_back(message[i]);
    if (message[i] == '%' && i + 1 < message.size() && message[i + 1] == '%') ++i;
  }
  return out;
}

}  // namespace

void VXLLogBasic(VXLLoggerLevel level, std::string_view service, bool force, std::string_view messageCode,
                 std::string_view message) {
  if (!force && !VXLIsLoggableLevel(level)) return;
  // The sink is called outside the slot's lock: a sink may itself log or replace the sink.
  std::shared_ptr<LogSink> sink = activeSink();
  sink->write(level, service, messageCode, unescapePercent(message));
}

void VXLLogError(std::string_view service, bool force, std::string_view messageCode, std::string_view message) {
  VXLLogBasic(VXLLoggerLevel::Error, service, force, messageCode, message);
}

void VXLLogWarning(std::string_view service, bool force, std::string_view messageCode, std::string_view message) {
  VXLLogBasic(VXLLoggerLevel::Warning, service, force, messageCode, message);
}

void VXLLogInfo(std::string_view service, bool force, std::string_view messageCode, std::string_view message) {
  VXLLogBasic(VXLLoggerLevel::Info, service, force, messageCode, message);
}

void VXLSetLoggerLevel(VXLLoggerLevel level) {
  int value = static_cast<int>(level);
  // Out-of-range levels are clamped rather than trusted.
  if (value < static_cast<int>(VXLLoggerLevel::Error)) value = static_cast<int>(VXLLoggerLevel::Error);
  if (value > static_cast<int>(VXLLoggerLevel::Debug)) value = static_cast<int>(VXLLoggerLevel::Debug);
  gLevel.store(value, std::memory_order_relaxed);
}

VXLLoggerLevel VXLGetLoggerLevel() { return static_cast<VXLLoggerLevel>(gLevel.load(std::memory_order_relaxed)); }

bool VXLIsLoggableLevel(VXLLoggerLevel level) {
  return static_cast<int>(level) <= gLevel.load(std::memory_order_relaxed);
}

std::shared_ptr<LogSink> VXLSetLogSink(std::shared_ptr<LogSink> sink) {
  SinkSlot& slot = sinkSlot();
  std::lock_guard lock(slot.mutex);
  std::shared_ptr<LogSink> previous = slot.custom;
  slot.custom = std::move(sink);
  return previous;
}

}  // namespace platform
