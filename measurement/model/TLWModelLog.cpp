#include "measurement/model/TLWModelLog.h"

#include "measurement/monitor/TLWMonitor.h"

namespace tlw_model {

void log(std::int64_t level, std::int64_t code, std::string_view message) {
  if (auto monitor = TLWMonitor::sharedInstance()) monitor->logWithLevel(level, code, message);
}

void log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& context) {
  if (auto monitor = TLWMonitor::sharedInstance()) monitor->logWithLevel(level, code, message, context);
}

void log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& context1,
         const platform::Value& context2) {
  if (auto monitor = TLWMonitor::sharedInstance()) monitor->logWithLevel(level, code, message, context1, context2);
}

}  // namespace tlw_model
