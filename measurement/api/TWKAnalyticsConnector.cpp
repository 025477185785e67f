#include "measurement/api/TWKAnalyticsConnector.h"

#include <condition_variable>

#include "measurement/api/TLWAnalyticsBackend.h"
#include "measurement/api/TWKAnalytics.h"
#include "measurement/api/TWKConnectorUtils.h"
#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/properties/TLWConditionalUserPropertyController.h"
#include "measurement/reporters/TLWAdExposureReporter.h"
#include "platform/core/TWKApp.h"

namespace {

// The engine's controller; before the engine exists, the app's (not attached yet: it
// drops requests with its usual log line).
std::shared_ptr<TLWConditionalUserPropertyController> controller() {
  auto backend = TLWAnalyticsCurrentBackend();
  if (auto engines = backend ? backend->conditionalUserProperties() : nullptr) return engines;
  return TLWConditionalUserPropertyController::sharedInstance();
}

double now() {
  auto env = TLWAnalyticsCurrentEnvironment();
  return (env ? env : platform::Environment::current())->clock()->now();
}

// The family's version string registered for this library.
constexpr const char* kLibraryVersion = "8.9.1";

// Early, for siblings that ask before the library starts; start-up registers again
// explicitly, as a static archive leaves this object (and its initialiser) out.
[[maybe_unused]] const bool gLoadedWithLibrary = (TWKAnalyticsConnector::load(), true);

}  // namespace

void TWKAnalyticsConnector::load() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The ads component's exposure events go through the front controller like any other.
    TLWAdExposureReporter::setDefaultEventLogger(
        [](const std::string& origin, const std::string& name, const platform::Dictionary& parameters) {
          TLWAnalytics::logInternalEventWithOrigin(platform::Value(origin), platform::Value(name),
                                                   platform::Value(parameters));
        });
    (void)platform::TWKApp::registerInternalLibrary(&TWKAnalyticsConnector::componentsToRegister,
                                                    kTWKAnalyticsLibraryName, kLibraryVersion);
  });
}

std::vector<std::shared_ptr<const platform::TWKComponent>> TWKAnalyticsConnector::componentsToRegister() {
  return {platform::TWKComponent::componentWithProtocol(
      std::string(platform::kTWKAnalyticsInteropProtocol), platform::TWKInstantiationTiming::Lazy, {},
      [](platform::TWKComponentContainer&, bool&) -> std::shared_ptr<platform::TWKInterop> { return create(); })};
}

std::shared_ptr<platform::DispatchQueue> TWKAnalyticsConnector::queue() {
  static const auto& q = *new auto(platform::DispatchQueue::create(kTWKAnalyticsConnectorQueueLabel));
  return q;
}

std::shared_ptr<TWKAnalyticsConnector> TWKAnalyticsConnector::create(std::chrono::milliseconds maxWait) {
  return std::make_shared<TWKAnalyticsConnector>(Private{}, maxWait);
}

TWKAnalyticsConnector::~TWKAnalyticsConnector() {
  if (logEventListener_) TWKAnalytics::removeLogEventListener(logEventListener_);
}

// ---------------------------------------------------------------------------
// Events and user properties

void TWKAnalyticsConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const platform::Dictionary& parameters) {
  if (!TWKConnectorUtils::isOriginAllowed(origin) || !TWKConnectorUtils::shouldLogEventWithName(name, parameters)) {
    return;
  }
  platform::Dictionary params = parameters;
  if (name == "_cmp") {
    // Never destroyed: library threads may still use it while the process exits.
    static const std::map<std::string, std::string, std::less<>>& kIntegrations =
        *new std::map<std::string, std::string, std::less<>>{{"nlv", "nlv_integration"},
                                                             {"wkb", "wkb_integration"},
                                                             {"orxa", "orxa_integration"},
                                                             {"tsq", "tsq_integration"}};
    if (auto it = kIntegrations.find(origin); it != kIntegrations.end()) params.set("_cis", it->second);
  }
  if (name == "_ae" && origin == "dvr") params.set("_r", std::int64_t{1});
  TWKAnalytics::logInternalEventWithOrigin(origin, name, platform::Value(std::move(params)));
}

void TWKAnalyticsConnector::setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                                      const platform::Value& value) {
  if (!TWKConnectorUtils::isOriginAllowed(origin) || !TWKConnectorUtils::isUserPropertyAllowed(name, origin)) return;
  TWKAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
}

void TWKAnalyticsConnector::getUserPropertiesWithCallback(UserPropertiesCallback callback) {
  if (!callback) return;
  TWKAnalytics::userPropertiesIncludingInternal(false, queue(), std::move(callback));
}

std::int32_t TWKAnalyticsConnector::maxUserProperties(const std::string& origin) {
  // Refused at once (logged) by the front controller, which would never answer.
  if (origin.empty()) {
    (void)TWKAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, queue(), [](std::int64_t) {});
    return 0;
  }
  // Shared with the callback: an answer after the wait gave up must find it alive.
  struct Answer {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<std::int64_t> value;
  };
  auto answer = std::make_shared<Answer>();
  TWKAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, queue(), [answer](std::int64_t max) {
    std::lock_guard lock(answer->mutex);
    answer->value = max;
    answer->cv.notify_all();
  });
  std::unique_lock lock(answer->mutex);
  if (!answer->cv.wait_for(lock, maxWait_, [&] { return answer->value.has_value(); })) return 0;
  return static_cast<std::int32_t>(*answer->value);
}

// ---------------------------------------------------------------------------
// Conditional user properties

std::shared_ptr<TLWEvent> TWKAnalyticsConnector::eventFromDictionary(const platform::Dictionary& dictionary) {
  const auto timestamp = dictionary.get("timestamp").doubleValue();
  const platform::Dictionary* parameters = dictionary.get("parameters").dictionary();
  return TLWEvent::initWithOrigin(dictionary.get("origin").stringOr(), false, dictionary.get("name").stringOr(),
                                  timestamp.value_or(now()), 0, parameters ? *parameters : platform::Dictionary());
}

std::shared_ptr<TLWEvent> TWKAnalyticsConnector::eventWithOrigin(const std::string& origin,
                                                                 const std::string& eventName,
                                                                 const platform::Dictionary& params) {
  return TLWEvent::initWithOrigin(origin, false, eventName, now(), 0, params);
}

void TWKAnalyticsConnector::setConditionalUserProperty(const platform::Dictionary& dictionary) {
  if (dictionary.empty()) return;
  auto property = std::make_shared<TLWConditionalUserProperty>();
  for (const auto& [keyValue, value] : dictionary) {
    const std::string key = keyValue.stringOr();
    if (key == "triggeredEvent" || key == "timedOutEvent" || key == "expiredEvent") {
      const platform::Dictionary* d = value.dictionary();
      auto event = d ? eventFromDictionary(*d) : nullptr;
      if (key == "triggeredEvent") property->setTriggeredEvent(event);
      if (key == "timedOutEvent") property->setTimedOutEvent(event);
      if (key == "expiredEvent") property->setExpiredEvent(event);
    } else if (key == "value") {
      property->setValue(TLWValue::valueFromObject(value));
    } else if (key == "creationTimestamp") {
      property->setCreationTimestamp(value.doubleValue().value_or(0));
    } else if (key == "name") {
      property->setName(value.stringOr());
    } else if (key == "origin") {
      property->setOrigin(value.stringOr());
    } else if (key == "triggerEventName") {
      if (value.isString()) property->setTriggerEventName(*value.string());
    } else if (key == "triggerTimeout") {
      property->setTriggerTimeout(value.doubleValue().value_or(0));
    } else if (key == "timeToLive") {
      property->setTimeToLive(value.doubleValue().value_or(0));
    } else if (key == "triggeredTimestamp") {
      property->setTriggeredTimestamp(value.doubleValue().value_or(0));
    } else if (key == "active") {
      property->setActive(value.boolValue().value_or(false));
    }
  }
  // The fences of the connector's other calls: a sibling sets neither the user ID nor the
  // lifetime value, nor logs events it could not log directly.
  const std::string& origin = property->origin();
  if (!TWKConnectorUtils::isOriginAllowed(origin) || !TWKConnectorUtils::isUserPropertyAllowed(property->name(), origin)) {
    return;
  }
  for (const auto* event : {&property->triggeredEvent(), &property->timedOutEvent(), &property->expiredEvent()}) {
    if (*event && !TWKConnectorUtils::shouldLogEventWithName((*event)->name(),
                                                             TLWParametersToDictionary((*event)->parameters()))) {
      return;
    }
  }
  controller()->setConditionalUserProperty(property, property->name());
}

void TWKAnalyticsConnector::clearConditionalUserProperty(const std::string& userPropertyName,
                                                         const std::string& origin, const std::string& clearEventName,
                                                         const platform::Dictionary& clearEventParameters) {
  if (!TWKConnectorUtils::isOriginAllowed(origin) || !TWKConnectorUtils::isUserPropertyAllowed(userPropertyName, origin) ||
      (!clearEventName.empty() && !TWKConnectorUtils::shouldLogEventWithName(clearEventName, clearEventParameters))) {
    return;
  }
  // Every parameter travels with the clear event, and a clear without parameters still
  // clears.
  controller()->clearConditionalUserProperty(userPropertyName, origin,
                                             clearEventName.empty() ? std::nullopt : std::optional(clearEventName),
                                             clearEventParameters);
}

platform::Array TWKAnalyticsConnector::conditionalUserProperties(const std::string& origin,
                                                                 const std::string& propertyNamePrefix) {
  return controller()->conditionalUserProperties(origin, propertyNamePrefix);
}

// ---------------------------------------------------------------------------
// Listeners

void TWKAnalyticsConnector::registerAnalyticsListener(std::shared_ptr<platform::TWKAnalyticsInteropListener> listener,
                                                      const std::string& origin) {
  if (!listener || !TWKConnectorUtils::isListenerOriginAllowed(origin)) return;
  std::lock_guard lock(listenersMutex_);
  listeners_[origin] = std::move(listener);
  if (!logEventListener_) {
    std::weak_ptr<TWKAnalyticsConnector> weak = weak_from_this();
    logEventListener_ = TWKAnalytics::addLogEventListener([weak](const std::shared_ptr<const TLWEvent>& event) {
      if (auto self = weak.lock()) self->eventLogged(event);
    });
  }
}

void TWKAnalyticsConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
  std::lock_guard lock(listenersMutex_);
  listeners_.erase(origin);
  if (listeners_.empty() && logEventListener_) {
    TWKAnalytics::removeLogEventListener(logEventListener_);
    logEventListener_ = {};
  }
}

platform::Dictionary TWKAnalyticsConnector::simplifiedParametersFromEventParameters(const TLWParameters& parameters) {
  platform::Dictionary out;
  for (const auto& [name, value] : parameters) {
    if (value.isDouble()) {
      out.set(name, value.doubleValue());
    } else if (value.isInt64()) {
      out.set(name, value.int64Value());
    } else if (value.isString()) {
      out.set(name, *value.stringValue());
    }
  }
  return out;
}

void TWKAnalyticsConnector::eventLogged(const std::shared_ptr<const TLWEvent>& event) {
  if (!event || !TWKConnectorUtils::isEventNameAllowedForListeners(event->name())) return;
  std::vector<std::shared_ptr<platform::TWKAnalyticsInteropListener>> targets;
  {
    std::lock_guard lock(listenersMutex_);
    if (auto it = listeners_.find(event->origin()); it != listeners_.end()) {
      targets.push_back(it->second);
    } else if (TWKConnectorUtils::isAppOrigin(event->origin())) {
      for (const auto& [origin, listener] : listeners_) targets.push_back(listener);
    }
  }
  if (targets.empty()) return;
  queue()->async([event, targets = std::move(targets)] {
    auto parameters = simplifiedParametersFromEventParameters(event->parameters());
    platform::DispatchQueue::main()->async([event, targets, parameters = std::move(parameters)] {
      for (const auto& listener : targets) listener->messageTriggered(event->name(), parameters);
    });
  });
}
