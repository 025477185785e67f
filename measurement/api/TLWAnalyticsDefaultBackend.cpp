// The front controller's backend over the library's own classes: the engine
// (TLWMeasurement), consent (TLWConsentSettingsUtil), identity (TLWIdentity,
// TLWIdentifiers), the persisted configuration and the screen-view seam.
#include <atomic>

#include "measurement/api/TLWAnalytics.h"
#include "measurement/api/TLWAnalyticsBackend.h"
#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/config/TLWIdentifiers.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/engine/TLWEventBacklog.h"
#include "measurement/engine/TLWMeasurement.h"
#include "measurement/engine/TLWMeasurementFrontController.h"
#include "measurement/reporters/TLWScreenViewReporting.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/storage/TLWKeyValueStore.h"
#include "measurement/storage/TLWPersistedConfig.h"

namespace {

using platform::Dictionary;
using platform::Value;

// What the engine borrows from the front controller: its gate, suite and listeners.
class FrontControllerForEngine final : public TLWMeasurementFrontController {
 public:
  double loadTimestamp() override { return TLWAnalytics::loadTimestamp(); }
  std::shared_ptr<TLWKeyValueStore> settingsSuite() override { return TLWAnalyticsCurrentSettingsSuite(); }
  void queueOperationWithBlock(std::function<void()> block) override {
    TLWAnalytics::queueOperationWithBlock(std::move(block));
  }
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const Dictionary& parameters) override {
    TLWAnalytics::logInternalEventWithOrigin(Value(origin), Value(name), Value(parameters));
  }
  void logInternalEventWithTimestamp(const std::string& origin, const std::string& name, const Dictionary& parameters,
                                     double timestamp) override {
    TLWAnalytics::logInternalEventWithOrigin(origin, name, timestamp, Value(parameters));
  }
  void notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>> events) override {
    TLWAnalytics::notifyEventListeners(std::vector<std::shared_ptr<const TLWEvent>>(events.begin(), events.end()));
  }
  bool hasEventListeners() override { return TLWAnalytics::hasEventListeners(); }
};

class DefaultBackend final : public TLWAnalyticsBackend {
 public:
  explicit DefaultBackend(std::shared_ptr<platform::Environment> env) : env_(std::move(env)) {}

  void initializeEngine(const std::string& appID, bool enabled, bool deactivated,
                        const std::optional<std::vector<std::string>>& safelist, EventSink) override {
    TLWMeasurement::initializeSharedInstanceWithAppID(appID, enabled, deactivated, safelist,
                                                      std::make_shared<FrontControllerForEngine>());
    if (auto engine = engineIfAny()) {
      backlog_ = engine->eventBacklog();
      callersBacklog_.store(backlog_.get(), std::memory_order_release);
    }
  }
  bool hasEngine() override { return TLWMeasurement::hasSharedInstance(); }
  bool wasEnabledDuringInitialization() override {
    auto engine = engineIfAny();
    return engine && engine->wasEnabledDuringInitialization();
  }
  bool didInitializeComponents() override {
    auto engine = engineIfAny();
    return engine && engine->didInitializeComponents();
  }
  void setEnabled(bool enabled) override {
    if (auto engine = engineIfAny()) engine->setEnabled(enabled);
  }
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& id) override {
    auto engine = engineIfAny();
    return engine && engine->resetAnalyticsDataWithAppInstanceID(id);
  }
  bool admitEventCall(const std::string& name, std::size_t onTheirWay) override {
    const TLWEventBacklog* backlog = callersBacklog_.load(std::memory_order_acquire);
    if (!backlog || backlog->hasRoomFor(onTheirWay)) return true;
    if (auto engine = engineIfAny()) engine->refuseEventCall(name);
    return false;
  }
  void logEvent(TLWEngineEventRequest r) override {
    if (auto engine = engineIfAny()) {
      engine->logEventWithOrigin(r.origin, r.isPublicEvent, r.name, std::move(r.parameters), r.timestamp, r.enabled,
                                 r.ignoreEnabled, r.ignoreInterceptor, std::move(r.interceptor),
                                 r.addedScreenParameters);
    }
  }
  void whenPendingWorkStored(std::function<void()> done) override {
    if (auto engine = engineIfAny()) {
      engine->whenPendingWorkStored(std::move(done));
    } else {
      done();
    }
  }
  void setDefaultEventParameters(const std::optional<Dictionary>& parameters) override {
    if (auto engine = engineIfAny()) engine->setDefaultEventParameters(parameters);
  }
  void setSessionTimeoutInterval(double seconds) override {
    if (auto engine = engineIfAny()) engine->setSessionTimeoutInterval(seconds);
  }
  std::optional<std::int64_t> shouldDisableAdPersonalization() override {
    auto engine = engineIfAny();
    return engine ? engine->shouldDisableAdPersonalization() : std::nullopt;
  }
  void setUserAttribute(std::shared_ptr<TLWUserAttribute> attribute) override {
    if (auto engine = engineIfAny()) engine->setUserAttribute(std::move(attribute));
  }
  void removeUserAttribute(std::shared_ptr<TLWUserAttribute> attribute) override {
    if (auto engine = engineIfAny()) engine->removeUserAttribute(std::move(attribute));
  }
  void userPropertiesIncludingInternal(bool includeInternal, UserPropertiesCallback callback) override {
    auto engine = engineIfAny();
    if (!engine) {
      if (callback) callback({});
      return;
    }
    engine->userPropertiesIncludingInternal(includeInternal, [callback](const Dictionary& d) {
      if (callback) callback(d);
    });
  }
  void maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback) override {
    auto engine = engineIfAny();
    if (!engine) {
      if (callback) callback(0);
      return;
    }
    engine->maxUserPropertiesForOrigin(origin, [callback](std::int64_t max) {
      if (callback) callback(max);
    });
  }

  void setMeasurementEnabledState(std::int64_t state) override {
    if (auto config = TLWPersistedConfig::sharedInstance()) config->setMeasurementEnabledState(state);
  }
  void setAllowPersonalizedAds(const Value& value) override {
    if (auto config = TLWPersistedConfig::sharedInstance()) config->setAllowPersonalizedAds(value);
  }

  bool isConsentSettingsEnabled() override { return remote() && remote()->isConsentSettingsEnabled(); }
  bool isConsentSettings3PEnabled() override { return remote() && remote()->isConsentSettings3PEnabled(); }
  bool lastAdvertisingIDResetFeatureEnabled() override {
    return remote() && remote()->lastAdvertisingIDResetFeatureEnabled();
  }

  std::int64_t consentSource() override { return consent()->consentSource(); }
  void setConsentSource(std::int64_t source) override { consent()->setConsentSource(source); }
  std::optional<Dictionary> consentSettings() override { return consent()->consentSettings(); }
  void setConsentSettings(std::optional<Dictionary> settings) override {
    consent()->setConsentSettings(std::move(settings));
  }
  void updateSettings(const Dictionary& settings) override { consent()->updateSettings(settings); }
  bool isConsentSourceHigherPriority(std::int64_t source) override {
    return consent()->isConsentSourceHigherPriority(source);
  }
  bool isAnalyticsStorageDenied() override { return consent()->isAnalyticsStorageDenied(); }
  std::shared_ptr<TLWConsentSettingsUtil> consentState() override { return consent(); }

  std::string appIDFromZEL() override { return identity() ? identity()->appIDFromZEL().value_or("") : ""; }
  void setAppIDFromZEL(const std::string& appID) override {
    if (identity()) (void)identity()->setAppIDFromZEL(appID);
  }
  std::string appIDFromQuado() override { return identity() ? identity()->appIDFromQuado().value_or("") : ""; }
  void setAppIDFromQuado(const std::string& appID) override {
    if (identity()) (void)identity()->setAppIDFromQuado(appID);
  }
  std::string randomAppInstanceID() override { return identity() ? identity()->randomAppInstanceID() : ""; }
  std::string appInstanceID() override { return identity() ? identity()->appInstanceID().value_or("") : ""; }
  void setTarnwickInstallationID(const std::optional<std::string>& id) override {
    if (identity()) identity()->setTarnwickInstallationID(id);
  }
  void setIdentifiersOrigin(const std::string& origin) override {
    if (auto identifiers = TLWIdentifiers::sharedInstance()) (void)identifiers->setOrigin(origin);
  }

  Dictionary screenParameters() override { return screens()->screenParameters(); }
  void trackScreenWithParameters(const Dictionary& parameters, double timestamp) override {
    screens()->trackScreenWithParameters(parameters, timestamp);
  }
  void setScreenName(const Value& screenName, const Value& screenClass) override {
    screens()->setScreenNameWithValues(screenName, screenClass);
  }
  void handleNonFirstOpenEventURL(const std::string& url, double timestamp) override {
    if (auto engine = engineIfAny()) engine->handleNonFirstOpenEventURL(url, timestamp);
  }
  std::string deepLinkFromUserActivity(const Value& userActivity) override {
    return TLWMeasurement::deepLinkFromUserActivity(userActivity);
  }
  void filterPurchaseTransactions(platform::Array transactions, TransactionsCallback callback) override {
    auto engine = engineIfAny();
    if (!engine) return;
    engine->filterPurchaseTransactions(transactions, [callback](const platform::Array& filtered) {
      if (callback) callback(filtered);
    });
  }
  void reportFilteredTransactions(const platform::Array& transactions) override {
    if (auto engine = engineIfAny()) engine->reportFilteredTransactions(transactions);
  }
  std::shared_ptr<TLWConditionalUserPropertyController> conditionalUserProperties() override {
    auto engine = engineIfAny();
    return engine ? engine->conditionalUserProperties() : nullptr;
  }

 private:
  // Asking sharedInstance() before creation logs a warning; ask only once it exists.
  static std::shared_ptr<TLWMeasurement> engineIfAny() {
    return TLWMeasurement::hasSharedInstance() ? TLWMeasurement::sharedInstance() : nullptr;
  }
  static std::shared_ptr<TLWRemoteConfig> remote() { return TLWMeasurement::remoteConfig(); }
  static std::shared_ptr<TLWConsentSettingsUtil> consent() { return TLWConsentSettingsUtil::sharedInstance(); }
  static std::shared_ptr<TLWIdentity> identity() { return TLWIdentity::sharedInstance(); }
  static std::shared_ptr<TLWScreenViewReporting> screens() { return TLWScreenViewReporting::sharedInstance(); }

  std::shared_ptr<platform::Environment> env_;
  // The engine's backlog, set on the serial queue once the engine exists; callers read
  // the pointer only (the shared pointer keeps it alive).
  std::shared_ptr<TLWEventBacklog> backlog_;
  std::atomic<const TLWEventBacklog*> callersBacklog_{nullptr};
};

}  // namespace

std::shared_ptr<TLWAnalyticsBackend> TLWMakeDefaultAnalyticsBackend(std::shared_ptr<platform::Environment> env) {
  if (!env) env = platform::Environment::current();
  // The library subscribed the engine's class to the launch of the process's environment
  // when it was loaded; a host that runs the library over another environment gets the
  // same subscription there.
  TLWMeasurement::load(env);
  return std::make_shared<DefaultBackend>(std::move(env));
}
