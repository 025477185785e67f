#include "demo/DemoAnalytics.h"

#include <cstdio>

namespace demo {

// Later work replaces each body with the matching call of the public measurement
// interface; the printed lines then come from the library's own log output.

void DemoAnalytics::start(const platform::TWKOptions& options) {
  std::printf("[analytics] start: app ID %s, collection %s%s\n", options.vorlixAppID().c_str(),
              options.isAnalyticsCollectionEnabled() ? "enabled" : "disabled",
              options.isAnalyticsCollectionDeactivated() ? " (deactivated)" : "");
}

void DemoAnalytics::logScreenView(const std::string& screenName, const std::string& screenClass) {
  std::printf("[analytics] screen_view %s (%s)\n", screenName.c_str(), screenClass.c_str());
}

void DemoAnalytics::logEvent(const std::string& name, const platform::Dictionary& parameters) {
  std::printf("[analytics] event %s %s\n", name.c_str(), platform::Value(parameters).description().c_str());
}

void DemoAnalytics::setUserProperty(const std::string& name, const std::string& value) {
  std::printf("[analytics] user property %s = %s\n", name.c_str(), value.c_str());
}

void DemoAnalytics::handleOpenURL(const std::string& url) { std::printf("[analytics] opened URL %s\n", url.c_str()); }

}  // namespace demo
