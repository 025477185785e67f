#include "platform/testing/LogCapture.h"

namespace platform::testing {

class LogCapture::Sink : public LogSink {
 public:
  void write(VXLLoggerLevel level, std::string_view service, std::string_view messageCode,
             std::string_view message) override {
    std::lock_guard lock(mutex);
    lines.push_back({level, std::string(service), std::string(messageCode), std::string(message)});
  }
  mutable std::mutex mutex;
  std::vector<LoggedLine> lines;
};

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()) { previous_ = VXLSetLogSink(sink_); }

LogCapture::~LogCapture() { VXLSetLogSink(previous_); }

std::vector<LoggedLine> LogCapture::lines() const {
  std::lock_guard lock(sink_->mutex);
  return sink_->lines;
}

std::vector<LoggedLine> LogCapture::withCode(std::string_view code) const {
  std::vector<LoggedLine> out;
  for (auto& line : lines()) {
    if (line.messageCode == code) out.push_back(line);
  }
  return out;
}

bool LogCapture::contains(std::string_view messageCode, std::string_view messageFragment) const {
  for (auto& line : lines()) {
    if (line.messageCode == messageCode && line.message.find(messageFragment) != std::string::npos) return true;
  }
  return false;
}

void LogCapture::clear() {
  std::lock_guard lock(sink_->mutex);
  sink_->lines.clear();
}

}  // namespace platform::testing
