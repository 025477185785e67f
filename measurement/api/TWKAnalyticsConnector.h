#pragma once
// TWKAnalyticsConnector: the analytics component that sibling libraries of the family get
// from the core ("TWKAnalyticsInterop"). It logs their events and sets their user
// properties under their own origin (never "app", "auto" or "qd"), reads public user
// properties, manages their conditional user properties and forwards logged events to
// the listener each sibling registered, all behind the fences of TWKConnectorUtils.
//
//   auto app = platform::TWKApp::defaultApp();
//   auto analytics = app->container().instanceFor<platform::TWKAnalyticsInterop>(
//       platform::kTWKAnalyticsInteropProtocol);
//   if (analytics) analytics->logEventWithOrigin("orxa", "notification_open", {{"id", 7}});
//
// Thread-safety: every operation may be called from any thread. The listener table is
// guarded by a lock (registrations race with events on the front controller's queue);
// parameters are simplified on "com.vorlix.analytics_connector.queue" and listeners are
// called on the main queue. maxUserProperties blocks for at most its bounded wait and must
// not be called from the connector queue or the front controller's queue.
// Conditional user properties go to the shared TLWConditionalUserPropertyController.
// Ownership: created by the core's component container; listener blocks hold the
// connector weakly. Refused calls are dropped silently (the fences are not errors).

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/api/TLWAnalytics.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/storage/TLWConditionalUserProperty.h"
#include "platform/DispatchQueue.h"
#include "platform/core/TWKAnalyticsInterop.h"

inline constexpr const char* kTWKAnalyticsConnectorQueueLabel = "com.vorlix.analytics_connector.queue";
inline constexpr const char* kTWKAnalyticsLibraryName = "mosk-analytics";

class TWKAnalyticsConnector final : public platform::TWKAnalyticsInterop,
                                    public std::enable_shared_from_this<TWKAnalyticsConnector> {
  struct Private {};

 public:
  static constexpr std::chrono::milliseconds kDefaultMaxWait{10000};

  // Registers the library and its component with the family core and routes the ads
  // component's exposure events to the front controller (once per process; runs when the
  // library is loaded).
  static void load();
  static std::vector<std::shared_ptr<const platform::TWKComponent>> componentsToRegister();
  static std::shared_ptr<platform::DispatchQueue> queue();

  // `maxWait` bounds maxUserProperties (10 s in the product).
  static std::shared_ptr<TWKAnalyticsConnector> create(std::chrono::milliseconds maxWait = kDefaultMaxWait);
  TWKAnalyticsConnector(Private, std::chrono::milliseconds maxWait) : maxWait_(maxWait) {}
  ~TWKAnalyticsConnector() override;

  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const platform::Dictionary& parameters) override;
  void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Value& value) override;
  void getUserPropertiesWithCallback(UserPropertiesCallback callback) override;
  // The answer of the front controller, or 0 when none came within the bounded wait.
  std::int32_t maxUserProperties(const std::string& origin) override;
  void setConditionalUserProperty(const platform::Dictionary& property) override;
  // Clears with an event carrying every given parameter (also when there are none).
  void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                    const std::string& clearEventName,
                                    const platform::Dictionary& clearEventParameters) override;
  platform::Array conditionalUserProperties(const std::string& origin, const std::string& propertyNamePrefix) override;
  void registerAnalyticsListener(std::shared_ptr<platform::TWKAnalyticsInteropListener> listener,
                                 const std::string& origin) override;
  void unregisterAnalyticsListenerWithOrigin(const std::string& origin) override;

  // An internal event from {"origin", "name", "timestamp" (seconds; now when absent),
  // "parameters"}; null when it cannot be made.
  static std::shared_ptr<TLWEvent> eventFromDictionary(const platform::Dictionary& dictionary);
  static std::shared_ptr<TLWEvent> eventWithOrigin(const std::string& origin, const std::string& eventName,
                                                   const platform::Dictionary& params);
  // Numbers and strings only.
  static platform::Dictionary simplifiedParametersFromEventParameters(const TLWParameters& parameters);

 private:
  void eventLogged(const std::shared_ptr<const TLWEvent>& event);

  const std::chrono::milliseconds maxWait_;
  std::mutex listenersMutex_;
  std::map<std::string, std::shared_ptr<platform::TWKAnalyticsInteropListener>, std::less<>> listeners_;
  TLWLogEventListenerToken logEventListener_;
};
