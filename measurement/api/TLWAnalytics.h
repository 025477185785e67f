#pragma once
// TLWAnalytics: the front controller between every caller and the measurement engine.
// It serialises calls on the serial queue "TLWAnalyticsQueue", holds everything that
// needs the engine behind the start gate (a suspended one-lane operation queue) until
// start-up has run, stamps public events on "TLWAnalyticsTimestampQueue" so that time
// stamps rise in gate order, validates names and values on the caller's side (turning
// refusals into "_err" events), and keeps consent, reset bookkeeping, the enable switch,
// the listeners, the interceptor and the open-URL listener.
//
// Thread-safety: every class operation may be called from any thread and returns at once
// (appInstanceID and the consent entry read small persisted values on the caller's
// thread). Listener and interceptor blocks run on the serial queue; query callbacks on
// the queue the caller gave.
//
// Ownership: all state is process-wide and lives until the process ends; there is no
// shutdown. The engine is reached through TLWAnalyticsBackend (TLWAnalyticsBackend.h).
//
// Failure: nothing is returned to the caller; refusals are monitor messages (codes
// 25000-25043) or error events.
//
// Names: where a class operation and an instance operation share a selector, the
// instance form is prefixed with "instance" (instanceLogInternalEventWithOrigin,
// instancePaymentQueue).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/api/TLWAnalyticsBackend.h"
#include "measurement/engine/TLWMeasurementFrontController.h"
#include "platform/DispatchQueue.h"
#include "platform/StoreKit.h"
#include "platform/Value.h"
#include "platform/app/NotificationCenter.h"

class TLWEvent;

// A listener registration. Tokens are never reused in a process, so removing with a
// stale token cannot remove another listener. The null token (id 0) stands for "nil".
class TLWLogEventListenerToken {
 public:
  TLWLogEventListenerToken() = default;
  explicit TLWLogEventListenerToken(std::uint64_t id) : id_(id) {}
  std::uint64_t id() const { return id_; }
  explicit operator bool() const { return id_ != 0; }
  bool operator==(const TLWLogEventListenerToken&) const = default;

 private:
  std::uint64_t id_ = 0;
};

inline constexpr std::string_view kTLWAnalyticsQueueLabel = "TLWAnalyticsQueue";
inline constexpr std::string_view kTLWAnalyticsOperationQueueLabel = "TLWAnalyticsOperationQueue";
inline constexpr std::string_view kTLWAnalyticsTimestampQueueLabel = "TLWAnalyticsTimestampQueue";
inline constexpr std::string_view kTWKAnalyticsWillStartNotification = "kTWKAnalyticsWillStartNotification";
inline constexpr std::string_view kTWKAnalyticsConfigurationSetEnabledNotification =
    "TWKAnalyticsConfigurationSetEnabledNotification";

// Start option keys.
inline constexpr std::string_view kTLWStartOptionConfiguration = "TARNWICK_ANALYTICS_CONFIGURATION";
inline constexpr std::string_view kTLWStartOptionCollectionDeactivated = "TARNWICK_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr std::string_view kTLWStartOptionCollectionEnabled = "TARNWICK_ANALYTICS_COLLECTION_ENABLED";
inline constexpr std::string_view kTLWStartOptionLogTag = "tally_wise_log_tag";
inline constexpr std::string_view kTLWStartOptionSafelistedEvents = "safelisted_events";

// The shared instance observes the store's payment queue from start-up on and leaves it
// when it goes.
class TLWAnalytics : public std::enable_shared_from_this<TLWAnalytics>, public platform::PaymentTransactionObserver {
 public:
  using Block = std::function<void()>;
  using LogEventListener = std::function<void(const std::shared_ptr<const TLWEvent>& event)>;
  using LogEventInterceptor = TLWLogEventInterceptor;
  using OpenURLListener = std::function<void(const std::string& url)>;
  using UserPropertiesCallback = std::function<void(const platform::Dictionary& properties)>;
  using MaxUserPropertiesCallback = std::function<void(std::int64_t maxUserProperties)>;

  // --- Queues ---
  static std::shared_ptr<platform::DispatchQueue> queue();
  // Not gated by start-up.
  static void dispatchAsyncOnSerialQueue(Block block);
  // Through the start gate: held until start-up, then onto the serial queue in order.
  static void queueOperationWithBlock(Block block);
  static void unsuspendOperationQueue();
  static bool isCurrentQueueSerialQueue();

  // --- Start and lifecycle ---
  // Class load / initialisation: the load timestamp, the gate and the settings suite.
  // Both run on first use of the class; calling them again does nothing.
  static void load();
  static void initialize();
  static std::shared_ptr<TLWAnalytics> sharedInstance();
  static void startWithAppID(const std::string& appID, const std::string& origin, const platform::Value& options);
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);
  // Waits until every call that returned before this one has reached the database (its
  // event committed), at most `timeout`; true when it has. False at once before start-up
  // (nothing can be stored yet) and on the serial queue (it would wait for itself). A
  // normal exit runs it with kExitStoreTimeout once the library has started.
  static bool waitUntilPendingCallsStored(std::chrono::milliseconds timeout);
  static constexpr std::chrono::milliseconds kExitStoreTimeout{2000};
  // Then how long a normal exit waits for the library's blocks still running (an upload).
  static constexpr std::chrono::milliseconds kExitQuietTimeout{500};
  static void maybeEnableLumenManager();
  static void createAppDelegateProxy();
  static void observeNotificationsForAnalyticsConfiguration(const platform::Value& configuration);
  static void handleSetEnabled(const platform::Notification& notification);

  // --- Reset ---
  static void resetAnalyticsData();
  static TLWResetBookkeeping resetBookkeeping();
  static std::int64_t resetRetryCount();
  static void setResetRetryCount(std::int64_t count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool need);
  static void removeNeedFirstOpenAfterReset();
  static std::optional<std::string> appInstanceIDAfterReset();
  static void setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID);
  // A number (1 off, 0 on) or null.
  static platform::Value deferredAnalyticsCollection();
  static void setDeferredAnalyticsCollection(const platform::Value& value);
  static std::optional<std::string> appInstanceID();

  // --- Enable switch ---
  static void setAnalyticsEnabled(bool enabled);
  static void setAnalyticsEnabled(bool enabled, bool persistSetting);
  // The caller-side copy of the engine's enabled state.
  static bool isEnabledShadow();

  // --- Consent ---
  static void setConsent(const platform::Value& consent);
  static void setConsent(const platform::Value& consent, std::string_view key);
  static void loadPersistedConsentSettings();
  static void persistConsentSettings(const std::optional<platform::Dictionary>& settings, std::int64_t source);
  static std::int64_t persistedConsentSource();
  static std::optional<platform::Dictionary> consentSettings3P();
  static std::optional<platform::Dictionary> consentSettings1P();
  static std::optional<platform::Dictionary> consentSettings1PStart();
  static bool deferredResetOnDeniedConsent();
  static void removeStartUpConsentSettings();
  static void removeDeferredResetOnDeniedConsent();
  static void clearConsent();

  // --- Events ---
  static void logEventWithName(const platform::Value& name, const platform::Value& parameters);
  static void logEventWithOrigin(const platform::Value& origin, const platform::Value& name,
                                 const platform::Value& parameters);
  static void logInternalEventWithOrigin(const platform::Value& origin, const platform::Value& name,
                                         const platform::Value& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                         const platform::Value& parameters);
  static void logEventWithOrigin(const platform::Value& origin, bool isPublicEvent, const platform::Value& name,
                                 const platform::Value& parameters);
  static void logEventWithOrigin(const platform::Value& origin, bool isPublicEvent, const platform::Value& name,
                                 const platform::Value& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  // Serial queue.
  static void logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                              platform::Value parameters, double timestamp, bool ignoreEnabled,
                                              bool ignoreInterceptor, platform::Dictionary addedScreenParameters);
  static void setDefaultEventParameters(const platform::Value& parameters);
  static void setScreenName(const platform::Value& screenName, const platform::Value& screenClass);
  static void setSessionTimeoutInterval(double seconds);

  // --- User properties ---
  static void setUserPropertyString(const platform::Value& value, const platform::Value& name);
  static void setUserID(const platform::Value& userID);
  static void removeUserAttributeForName(const platform::Value& name);
  static void setUserAttributeNumber(const platform::Value& number, const platform::Value& name);
  static void removeInternalUserAttributeForName(const std::string& name);
  static void userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<platform::DispatchQueue> queue,
                                              UserPropertiesCallback callback);

  // --- Listeners and interceptor ---
  static void setLogEventInterceptor(LogEventInterceptor interceptor);
  // The null token (after logging 25012) for an empty listener.
  static TLWLogEventListenerToken addLogEventListener(LogEventListener listener);
  static void removeLogEventListener(TLWLogEventListenerToken token);
  static void notifyEventListeners(std::shared_ptr<const TLWEvent> event);
  // A listener is registered (any thread).
  static bool hasEventListeners();
  // Several stored events, in order, with one hand-over to the serial queue.
  static void notifyEventListeners(std::vector<std::shared_ptr<const TLWEvent>> events);
  static void notifyEventListenersOnSerialQueue(const std::shared_ptr<const TLWEvent>& event);
  static void setOpenURLListener(OpenURLListener listener);

  // --- Links and network ---
  static void handleOpenURL(const platform::Value& url);
  static void handleUserActivity(const platform::Value& userActivity);
  static void handleEventsForBackgroundURLSession(const std::string& identifier, std::function<void()> completionHandler);

  // --- Store kit ---
  static void paymentQueue(const platform::Value& paymentQueue, const platform::Value& transactions);

  // --- Instance operations of the shared instance ---
  void setInternalUserProperty(const platform::Value& value, const platform::Value& name,
                               const platform::Value& origin);
  void maxUserPropertiesForOrigin(const platform::Value& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                  MaxUserPropertiesCallback callback);
  void instanceLogInternalEventWithOrigin(const platform::Value& origin, const platform::Value& name,
                                          const platform::Value& parameters);
  void instancePaymentQueue(const platform::Value& paymentQueue, const platform::Value& transactions);
  // The payment queue's observer call: instancePaymentQueue with the transactions.
  void paymentQueueUpdatedTransactions(platform::PaymentQueue& queue,
                                       const std::vector<std::shared_ptr<platform::PaymentTransaction>>& transactions) override;

  ~TLWAnalytics() override;

  struct State;  // process-wide state, see TLWAnalytics.cpp

 private:
  TLWAnalytics() = default;
  std::weak_ptr<platform::PaymentQueue> observedPaymentQueue_;
};
