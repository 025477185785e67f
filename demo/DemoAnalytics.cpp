#include "demo/DemoAnalytics.h"

#include <cstdio>

#include "measurement/api/TWKAnalytics.h"
#include "measurement/api/TWKAnalyticsAliases.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/properties/TLWConditionalUserPropertyController.h"

namespace demo {

using platform::Value;

DemoAnalytics::~DemoAnalytics() {
  if (listener_) TWKAnalytics::removeLogEventListener(listener_);
}

void DemoAnalytics::start(const platform::TWKOptions& options) {
  std::printf("[analytics] start: app ID %s, collection %s%s\n", options.vorlixAppID().c_str(),
              options.isAnalyticsCollectionEnabled() ? "enabled" : "disabled",
              options.isAnalyticsCollectionDeactivated() ? " (deactivated)" : "");
  listener_ = TWKAnalytics::addLogEventListener([](const std::shared_ptr<const TLWEvent>& event) {
    std::printf("[analytics] accepted %s (origin %s) %s\n", event->name().c_str(), event->origin().c_str(),
                TLWParametersDescription(event->parameters()).c_str());
    std::fflush(stdout);
  });
  TWKAnalytics::startWithConfiguration(Value(), options);
}

void DemoAnalytics::logEvent(const std::string& name, const platform::Dictionary& parameters) {
  std::printf("[analytics] event %s %s\n", name.c_str(), Value(parameters).description().c_str());
  TWKAnalytics::logEventWithName(Value(name), Value(parameters));
}

void DemoAnalytics::setUserProperty(const std::string& name, const std::string& value) {
  std::printf("[analytics] user property %s = %s\n", name.c_str(), value.c_str());
  TWKAnalytics::setUserPropertyString(Value(value), Value(name));
}

void DemoAnalytics::setConditionalUserProperty(const std::string& name, const std::string& value,
                                               const std::string& triggerEvent, const std::string& triggeredEvent) {
  std::printf("[analytics] conditional user property %s = %s once %s is logged\n", name.c_str(), value.c_str(),
              triggerEvent.c_str());
  auto property = std::make_shared<TWKAConditionalUserProperty>();
  property->setOrigin("app");
  property->setValue(TLWValue::initWithString(value));
  property->setTriggerEventName(triggerEvent);
  property->setTriggerTimeout(600);
  property->setTimeToLive(3600);
  property->setTriggeredEvent(TLWEvent::initWithOrigin("app", false, triggeredEvent, 0, 0, TLWParameters{}));
  TWKAConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(property, name);
}

void DemoAnalytics::setUserID(const std::string& userID) {
  std::printf("[analytics] user ID %s\n", userID.c_str());
  TWKAnalytics::setUserID(Value(userID));
}

void DemoAnalytics::setConsent(bool adStorage, bool analyticsStorage) {
  std::printf("[analytics] consent: ad storage %s, analytics storage %s\n", adStorage ? "granted" : "denied",
              analyticsStorage ? "granted" : "denied");
  TWKAnalytics::setConsent(Value{{"ad_storage", adStorage ? "granted" : "denied"},
                                 {"analytics_storage", analyticsStorage ? "granted" : "denied"}});
}

void DemoAnalytics::handleOpenURL(const std::string& url) {
  std::printf("[analytics] opened URL %s\n", url.c_str());
  TWKAnalytics::handleOpenURL(Value::url(url));
}

}  // namespace demo
