#pragma once
// TWKAnalytics: the public class-method interface of the measurement library. It checks
// little (the family's default app must be configured before events and user properties
// are accepted), builds the start options from the family's options, keeps the
// installation identifier current, and forwards everything else to TLWAnalytics.
//
//   platform::TWKApp::configure();
//   TWKAnalytics::startWithConfiguration(nullptr, *platform::TWKOptions::defaultOptions());
//   TWKAnalytics::logEventWithName("level_up", {{"level", 5}, {"character", "mage"}});
//
// Thread-safety: every operation may be called from any thread and never blocks; the work
// runs on the front controller's queues. The shared instance is created once.
//
// Names: where a class operation and an instance operation share a selector, the
// instance form is prefixed with "instance" (instanceLogInternalEventWithOrigin).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/api/TLWAnalytics.h"
#include "measurement/api/TWKAnalyticsAliases.h"
#include "platform/DispatchQueue.h"
#include "platform/Value.h"
#include "platform/core/TWKOptions.h"

class TWKAnalytics {
 public:
  using LogEventListener = TLWAnalytics::LogEventListener;
  using LogEventInterceptor = TLWAnalytics::LogEventInterceptor;
  using OpenURLListener = TLWAnalytics::OpenURLListener;
  using UserPropertiesCallback = TLWAnalytics::UserPropertiesCallback;
  using MaxUserPropertiesCallback = TLWAnalytics::MaxUserPropertiesCallback;

  static std::shared_ptr<TWKAnalytics> sharedInstance();

  // Events and user properties (refused, with 25018 / 25019, while the default app is not
  // configured).
  static void logEventWithName(const platform::Value& name, const platform::Value& parameters = {});
  static void logEventWithOrigin(const platform::Value& origin, const platform::Value& name,
                                 const platform::Value& parameters);
  static void setUserPropertyString(const platform::Value& value, const platform::Value& name);
  static void setUserID(const platform::Value& userID);

  static void setAnalyticsCollectionEnabled(bool enabled);
  static void setSessionTimeoutInterval(double seconds);
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  // {"ad_storage": "granted" | "denied", "analytics_storage": ...}
  static void setConsent(const platform::Value& consent);
  static void setDefaultEventParameters(const platform::Value& parameters);

  static void setLogEventInterceptor(LogEventInterceptor interceptor);
  static TLWLogEventListenerToken addLogEventListener(LogEventListener listener);
  static void removeLogEventListener(TLWLogEventListenerToken token);
  static void notifyEventListeners(std::shared_ptr<const TLWEvent> event);
  static void setOpenURLListener(OpenURLListener listener);

  static void logInternalEventWithOrigin(const platform::Value& origin, const platform::Value& name,
                                         const platform::Value& parameters);
  static void logEventWithOrigin(const platform::Value& origin, bool isPublicEvent, const platform::Value& name,
                                 const platform::Value& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  static void userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<platform::DispatchQueue> queue,
                                              UserPropertiesCallback callback);

  // Starts the library from the family's options (origin "tq"); `configuration` may be null.
  static void startWithConfiguration(const platform::Value& configuration, const platform::TWKOptions& options);

  static void handleEventsForBackgroundURLSession(const std::string& identifier, std::function<void()> completionHandler);
  static void handleOpenURL(const platform::Value& url);
  static void handleUserActivity(const platform::Value& userActivity);

  static void updateTarnwickInstallationID();
  static void observeTarnwickInstallationIDChanges();

  static void dispatchAsyncOnSerialQueue(TLWAnalytics::Block block);
  static void queueOperationWithBlock(TLWAnalytics::Block block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();
  static std::string topLevelVersion();

  // Instance operations (forwarded to TLWAnalytics::sharedInstance()).
  void instanceLogInternalEventWithOrigin(const platform::Value& origin, const platform::Value& name,
                                          const platform::Value& parameters);
  void setInternalUserProperty(const platform::Value& value, const platform::Value& name,
                               const platform::Value& origin);
  void maxUserPropertiesForOrigin(const platform::Value& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                  MaxUserPropertiesCallback callback);

 private:
  TWKAnalytics() = default;
  static std::shared_ptr<TWKAnalytics> initInternal();
};

// Never inlined, so a debugger can stop on it: a parameter value cannot cross into the
// library.
[[gnu::noinline]] void __TWKANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__();
