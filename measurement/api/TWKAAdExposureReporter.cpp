#include "measurement/api/TWKAAdExposureReporter.h"

#include <mutex>

#include "measurement/api/TLWAnalytics.h"

std::shared_ptr<TLWAdExposureReporter> TWKAAdExposureReporter::sharedInstance() {
  auto reporter = TLWAdExposureReporter::sharedInstance();
  static std::once_flag once;
  std::call_once(once, [&] {
    reporter->setEventLogger([](const std::string& origin, const std::string& name,
                                const platform::Dictionary& parameters) {
      TLWAnalytics::logInternalEventWithOrigin(platform::Value(origin), platform::Value(name),
                                               platform::Value(parameters));
    });
  });
  return reporter;
}
