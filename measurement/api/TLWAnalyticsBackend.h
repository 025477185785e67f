#pragma once
// TLWAnalyticsBackend: everything the front controller (TLWAnalytics) needs from the rest
// of the library: the engine, consent state, identity, the persisted configuration and
// the later-issue reporters (screens, purchases, links). TLWAnalytics talks only to this
// interface, so it can run against the real engine (TLWMakeDefaultAnalyticsBackend) or,
// in tests, against a recording one.
//
// Thread-safety: engine operations are called on the front controller's serial queue
// ("TLWAnalyticsQueue"); consent, identity and reporter operations on the caller's thread
// or that queue. Implementations must be safe for that.
//
// Ownership: TLWAnalytics holds its backend for the life of its process-wide state. The
// listener sink handed to initializeEngine holds the front controller weakly.
//
// Defaults: the reporter and link operations do nothing observable by default; a later
// subsystem overrides them.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Environment.h"
#include "platform/Value.h"

class TLWEvent;
class TLWUserAttribute;
class TLWKeyValueStore;
class TLWConsentSettingsUtil;
class TLWConditionalUserPropertyController;

// Called (on the engine's worker queue) with a public event instead of logging it; the
// interceptor is expected to log the event again with ignoreInterceptor set.
using TLWLogEventInterceptor = std::function<void(const std::string& origin, const std::string& name,
                                                  const platform::Dictionary& parameters, double timestamp)>;

// One event handed to the engine.
struct TLWEngineEventRequest {
  std::string origin;
  bool isPublicEvent = false;
  std::string name;
  // The caller's dictionary, shared rather than copied; anything else reads as empty.
  platform::Value parameters;
  double timestamp = 0;
  bool enabled = true;
  bool ignoreEnabled = false;
  bool ignoreInterceptor = false;
  TLWLogEventInterceptor interceptor;
  platform::Dictionary addedScreenParameters;

  const platform::Dictionary& parameterDictionary() const {
    // Never destroyed: calls made while the process exits may read it.
    static const platform::Dictionary& kEmpty = *new platform::Dictionary();
    const platform::Dictionary* d = parameters.dictionary();
    return d ? *d : kEmpty;
  }
};

class TLWAnalyticsBackend {
 public:
  // Receives every event the engine logged and wants the listeners to see.
  using EventSink = std::function<void(std::shared_ptr<const TLWEvent> event)>;
  using UserPropertiesCallback = std::function<void(platform::Dictionary properties)>;
  using MaxUserPropertiesCallback = std::function<void(std::int64_t maxUserProperties)>;
  using TransactionsCallback = std::function<void(platform::Array transactions)>;

  virtual ~TLWAnalyticsBackend() = default;

  // --- Engine (serial queue) ---
  // Creates the engine once per process; `listenerSink` is how it reaches the listeners.
  virtual void initializeEngine(const std::string& appID, bool enabled, bool deactivated,
                                const std::optional<std::vector<std::string>>& safelistedEvents,
                                EventSink listenerSink) = 0;
  virtual bool hasEngine() = 0;
  virtual bool wasEnabledDuringInitialization() = 0;
  // Any thread.
  virtual bool didInitializeComponents() = 0;
  virtual void setEnabled(bool enabled) = 0;
  // Waits for the worker queue; false when the reset failed.
  [[nodiscard]] virtual bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) = 0;
  virtual void logEvent(TLWEngineEventRequest request) = 0;
  // Any thread, on the caller's path (keep it cheap). False when the engine's event backlog
  // has no room for one more call beside the `onTheirWay` calls still waiting in front of
  // it; the call is then refused, counted and logged as the backlog refuses one.
  virtual bool admitEventCall(const std::string& /*name*/, std::size_t /*onTheirWay*/) { return true; }
  // Calls `done` (on the engine's worker queue) once everything handed to the engine before
  // this call is stored; at once when there is no engine.
  virtual void whenPendingWorkStored(std::function<void()> done) { done(); }
  virtual void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters) = 0;
  virtual void setSessionTimeoutInterval(double seconds) = 0;
  // The "_npa" value, or nullopt to remove it.
  virtual std::optional<std::int64_t> shouldDisableAdPersonalization() = 0;
  virtual void setUserAttribute(std::shared_ptr<TLWUserAttribute> attribute) = 0;
  virtual void removeUserAttribute(std::shared_ptr<TLWUserAttribute> attribute) = 0;
  virtual void userPropertiesIncludingInternal(bool includeInternal, UserPropertiesCallback callback) = 0;
  virtual void maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback) = 0;

  // --- Persisted configuration (any thread) ---
  // 1 enabled, 2 disabled.
  virtual void setMeasurementEnabledState(std::int64_t state) = 0;
  // A boolean number, or null to forget it.
  virtual void setAllowPersonalizedAds(const platform::Value& value) = 0;

  // --- Remote configuration switches (any thread) ---
  virtual bool isConsentSettingsEnabled() { return true; }
  virtual bool isConsentSettings3PEnabled() { return true; }
  virtual bool lastAdvertisingIDResetFeatureEnabled() { return false; }

  // --- Consent state (any thread) ---
  virtual std::int64_t consentSource() = 0;
  virtual void setConsentSource(std::int64_t source) = 0;
  virtual std::optional<platform::Dictionary> consentSettings() = 0;
  virtual void setConsentSettings(std::optional<platform::Dictionary> settings) = 0;
  virtual void updateSettings(const platform::Dictionary& settings) = 0;
  virtual bool isConsentSourceHigherPriority(std::int64_t source) = 0;
  virtual bool isAnalyticsStorageDenied() = 0;
  // The state the operations above read and write; the front controller persists consent
  // through TLWConsentPersistence over it, the one implementation the engine uses too.
  virtual std::shared_ptr<TLWConsentSettingsUtil> consentState() = 0;

  // --- Identity (any thread) ---
  virtual std::string appIDFromZEL() = 0;
  virtual void setAppIDFromZEL(const std::string& appID) = 0;
  virtual std::string appIDFromQuado() = 0;
  virtual void setAppIDFromQuado(const std::string& appID) = 0;
  virtual std::string randomAppInstanceID() = 0;
  virtual std::string appInstanceID() = 0;
  virtual void setTarnwickInstallationID(const std::optional<std::string>& installationID) = 0;
  virtual void setIdentifiersOrigin(const std::string& origin) = 0;

  // --- Screens (later issue; default: no screen known) ---
  virtual platform::Dictionary screenParameters() { return {}; }
  virtual void trackScreenWithParameters(const platform::Dictionary& /*parameters*/, double /*timestamp*/) {}
  // Main thread.
  virtual void setScreenName(const platform::Value& /*screenName*/, const platform::Value& /*screenClass*/) {}

  // --- Links and purchases (later issue; serial queue) ---
  virtual void handleNonFirstOpenEventURL(const std::string& /*url*/, double /*timestamp*/) {}
  virtual std::string deepLinkFromUserActivity(const platform::Value& /*userActivity*/) { return {}; }
  virtual void filterPurchaseTransactions(platform::Array transactions, TransactionsCallback callback) {
    if (callback) callback(std::move(transactions));
  }
  virtual void reportFilteredTransactions(const platform::Array& /*transactions*/) {}

  // The engine's conditional user properties; null before the engine exists.
  virtual std::shared_ptr<TLWConditionalUserPropertyController> conditionalUserProperties() { return nullptr; }
};

// The backend over the real library classes (engine, consent, identity). The process-wide
// front controller uses it unless TLWAnalyticsSetUpProcessState was given another one.
std::shared_ptr<TLWAnalyticsBackend> TLWMakeDefaultAnalyticsBackend(std::shared_ptr<platform::Environment> env);

// Replaces the front controller's process-wide state (queues, start gate, settings suite,
// listeners, start-once guard) with fresh state over `backend` and `env` (null: the
// current environment). For hosts that embed the library differently and for tests;
// call it while no other thread is using TLWAnalytics. Blocks still queued on the old
// queues finish against the old state.
void TLWAnalyticsSetUpProcessState(std::shared_ptr<TLWAnalyticsBackend> backend,
                                   std::shared_ptr<platform::Environment> env);

// The backend and environment of the front controller's current process-wide state.
std::shared_ptr<TLWAnalyticsBackend> TLWAnalyticsCurrentBackend();
std::shared_ptr<platform::Environment> TLWAnalyticsCurrentEnvironment();
// The front controller's settings suite "TLWAnalyticsSuiteName".
std::shared_ptr<TLWKeyValueStore> TLWAnalyticsCurrentSettingsSuite();
