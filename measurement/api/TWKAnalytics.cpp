#include "measurement/api/TWKAnalytics.h"
#include "measurement/api/TWKAnalyticsConnector.h"

#include <mutex>

#include "measurement/monitor/TLWMonitor.h"
#include "platform/app/ClassRegistry.h"
#include "platform/app/NotificationCenter.h"
#include "platform/core/TWKApp.h"
#include "platform/core/TWKInstallations.h"
#include "platform/core/TWKTarnwickVersion.h"

using platform::Dictionary;
using platform::Value;

namespace {

constexpr std::string_view kSwiftValueClassName = "__SwiftValue";
constexpr std::size_t kMaxScanDepth = 64;
const int kInstallationObserverTag = 0;

std::shared_ptr<TLWMonitor> monitor() { return TLWMonitor::sharedInstance(); }

bool isSwiftValue(const Value& v) {
  return v.isObject() && v.object() && v.object()->className() == kSwiftValueClassName;
}

// Depth-bounded, so a pathological nesting cannot exhaust the stack.
bool containsSwiftValue(const Value& v, std::size_t depth) {
  if (isSwiftValue(v)) return true;
  if (depth >= kMaxScanDepth) return false;
  if (const Dictionary* d = v.dictionary()) {
    for (const auto& [key, value] : *d) {
      if (containsSwiftValue(key, depth + 1) || containsSwiftValue(value, depth + 1)) return true;
    }
  } else if (const platform::Array* a = v.array()) {
    for (const Value& item : *a) {
      if (containsSwiftValue(item, depth + 1)) return true;
    }
  }
  return false;
}

bool defaultAppConfigured() { return platform::TWKApp::isDefaultAppConfigured(); }

}  // namespace

void __TWKANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__() {
  monitor()->logWithLevel(3, 25040,
                          "Unbridgeable Swift type logged in parameters. Break on "
                          "__TWKANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__ to debug.");
}

std::shared_ptr<TWKAnalytics> TWKAnalytics::initInternal() { return std::shared_ptr<TWKAnalytics>(new TWKAnalytics()); }

std::shared_ptr<TWKAnalytics> TWKAnalytics::sharedInstance() {
  static std::once_flag once;
  // Never destroyed: library threads may still use it while the process exits.
  static std::shared_ptr<TWKAnalytics>& instance = *new std::shared_ptr<TWKAnalytics>();
  std::call_once(once, [] { instance = initInternal(); });
  return instance;
}

void TWKAnalytics::logEventWithName(const Value& name, const Value& parameters) {
  // Never destroyed: events may still be logged while the process exits.
  static const Value& kAppOrigin = *new Value("app");
  logEventWithOrigin(kAppOrigin, name, parameters);
}

void TWKAnalytics::logEventWithOrigin(const Value& origin, const Value& name, const Value& parameters) {
  if (!defaultAppConfigured()) {
    monitor()->logWithLevel(3, 25018, "Event not logged. Call +[TWKApp configure]", name);
    return;
  }
  auto registry = TLWAnalyticsCurrentEnvironment()->classRegistry();
  if (registry && registry->classExists(kSwiftValueClassName) && containsSwiftValue(parameters, 0)) {
    __TWKANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__();
  }
  TLWAnalytics::logEventWithOrigin(origin, name, parameters);
}

void TWKAnalytics::setUserPropertyString(const Value& value, const Value& name) {
  if (!defaultAppConfigured()) {
    const std::string* n = name.string();
    Value shown = name;
    if (n && n->rfind("_exp_", 0) == 0) shown = Value("experiment_id (" + *n + ")");
    monitor()->logWithLevel(3, 25019, "User property not set. Call +[TWKApp configure]", shown);
    return;
  }
  TLWAnalytics::setUserPropertyString(value, name);
}

void TWKAnalytics::setUserID(const Value& userID) { TLWAnalytics::setUserID(userID); }
void TWKAnalytics::setAnalyticsCollectionEnabled(bool enabled) { TLWAnalytics::setAnalyticsEnabled(enabled, true); }
void TWKAnalytics::setSessionTimeoutInterval(double seconds) { TLWAnalytics::setSessionTimeoutInterval(seconds); }
std::optional<std::string> TWKAnalytics::appInstanceID() { return TLWAnalytics::appInstanceID(); }
void TWKAnalytics::resetAnalyticsData() { TLWAnalytics::resetAnalyticsData(); }
void TWKAnalytics::setConsent(const Value& consent) { TLWAnalytics::setConsent(consent, "consent_settings_3p"); }
void TWKAnalytics::setDefaultEventParameters(const Value& parameters) {
  TLWAnalytics::setDefaultEventParameters(parameters);
}
void TWKAnalytics::setLogEventInterceptor(LogEventInterceptor interceptor) {
  TLWAnalytics::setLogEventInterceptor(std::move(interceptor));
}
TLWLogEventListenerToken TWKAnalytics::addLogEventListener(LogEventListener listener) {
  return TLWAnalytics::addLogEventListener(std::move(listener));
}
void TWKAnalytics::removeLogEventListener(TLWLogEventListenerToken token) { TLWAnalytics::removeLogEventListener(token); }
void TWKAnalytics::notifyEventListeners(std::shared_ptr<const TLWEvent> event) {
  TLWAnalytics::notifyEventListeners(std::move(event));
}
void TWKAnalytics::setOpenURLListener(OpenURLListener listener) { TLWAnalytics::setOpenURLListener(std::move(listener)); }

void TWKAnalytics::logInternalEventWithOrigin(const Value& origin, const Value& name, const Value& parameters) {
  TLWAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

void TWKAnalytics::logEventWithOrigin(const Value& origin, bool isPublicEvent, const Value& name,
                                      const Value& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  TLWAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                   ignoreInterceptor);
}

void TWKAnalytics::userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<platform::DispatchQueue> queue,
                                                   UserPropertiesCallback callback) {
  TLWAnalytics::userPropertiesIncludingInternal(includeInternal, std::move(queue), std::move(callback));
}

void TWKAnalytics::startWithConfiguration(const Value& configuration, const platform::TWKOptions& options) {
  // The connector and the ads component's logger, for siblings (once; added to apps
  // configured already).
  TWKAnalyticsConnector::load();
  Dictionary startOptions;
  if (!configuration.isNull()) startOptions.set(Value(kTLWStartOptionConfiguration), configuration);
  startOptions.set(Value(kTLWStartOptionCollectionDeactivated), Value(options.isAnalyticsCollectionDeactivated()));
  startOptions.set(Value(kTLWStartOptionCollectionEnabled), Value(options.isAnalyticsCollectionEnabled()));
  startOptions.set(Value(kTLWStartOptionLogTag), Value(platform::kTWKLoggerAnalytics));
  if (auto defaults = platform::TWKOptions::defaultOptionsDictionary(*TLWAnalyticsCurrentEnvironment())) {
    if (const Value* safelist = defaults->find(platform::kTWKOptionsSafelistedEventsKey)) {
      startOptions.set(Value(kTLWStartOptionSafelistedEvents), *safelist);
    }
  }
  TLWAnalytics::startWithAppID(options.vorlixAppID(), "tq", Value(std::move(startOptions)));
  updateTarnwickInstallationID();
  observeTarnwickInstallationIDChanges();
}

void TWKAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
  TLWAnalytics::handleEventsForBackgroundURLSession(identifier, std::move(completionHandler));
}
void TWKAnalytics::handleOpenURL(const Value& url) { TLWAnalytics::handleOpenURL(url); }
void TWKAnalytics::handleUserActivity(const Value& userActivity) { TLWAnalytics::handleUserActivity(userActivity); }

void TWKAnalytics::updateTarnwickInstallationID() {
  auto store = [](const std::optional<std::string>& id) { TLWAnalyticsCurrentBackend()->setTarnwickInstallationID(id); };
  auto installations = platform::TWKInstallations::installations();
  if (!installations) {
    monitor()->logWithLevel(4, 25038, "Failed to get Installation ID.", Value("no installations service"));
    store(std::nullopt);
    return;
  }
  installations->installationIDWithCompletion(
      [store](std::optional<std::string> installationID, std::optional<std::string> error) {
        if (!installationID && error) monitor()->logWithLevel(4, 25038, "Failed to get Installation ID.", Value(*error));
        store(installationID);
      });
}

void TWKAnalytics::observeTarnwickInstallationIDChanges() {
  auto center = TLWAnalyticsCurrentEnvironment()->notificationCenter();
  if (!center) return;
  center->removeObserversOwnedBy(&kInstallationObserverTag, platform::kTWKInstallationIDDidChangeNotification);
  center->addObserver(platform::kTWKInstallationIDDidChangeNotification, Value(),
                      [](const platform::Notification&) { TWKAnalytics::updateTarnwickInstallationID(); },
                      &kInstallationObserverTag);
}

void TWKAnalytics::dispatchAsyncOnSerialQueue(TLWAnalytics::Block block) {
  TLWAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}
void TWKAnalytics::queueOperationWithBlock(TLWAnalytics::Block block) {
  TLWAnalytics::queueOperationWithBlock(std::move(block));
}
void TWKAnalytics::unsuspendOperationQueue() { TLWAnalytics::unsuspendOperationQueue(); }
double TWKAnalytics::loadTimestamp() { return TLWAnalytics::loadTimestamp(); }
std::string TWKAnalytics::topLevelVersion() { return platform::TWKTarnwickVersion(); }

void TWKAnalytics::instanceLogInternalEventWithOrigin(const Value& origin, const Value& name, const Value& parameters) {
  TLWAnalytics::sharedInstance()->instanceLogInternalEventWithOrigin(origin, name, parameters);
}
void TWKAnalytics::setInternalUserProperty(const Value& value, const Value& name, const Value& origin) {
  TLWAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
}
void TWKAnalytics::maxUserPropertiesForOrigin(const Value& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                              MaxUserPropertiesCallback callback) {
  TLWAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, std::move(queue), std::move(callback));
}
