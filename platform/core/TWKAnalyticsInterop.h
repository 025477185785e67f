#pragma once
// TWKAnalyticsInterop: the analytics protocol of the family core. A sibling library asks
// its app's component container for "TWKAnalyticsInterop" and, when the measurement
// library is present, receives an object implementing it.
//
// Thread-safety: every operation may be called from any thread; maxUserProperties blocks
// its caller (bounded). Listener callbacks arrive on the main queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Value.h"
#include "platform/core/TWKComponent.h"

namespace platform {

inline constexpr std::string_view kTWKAnalyticsInteropProtocol = "TWKAnalyticsInterop";

// A sibling's listener for logged events.
class TWKAnalyticsInteropListener {
 public:
  virtual ~TWKAnalyticsInteropListener() = default;
  virtual void messageTriggered(const std::string& name, const Dictionary& parameters) = 0;
};

class TWKAnalyticsInterop : public TWKInterop {
 public:
  using UserPropertiesCallback = std::function<void(const Dictionary& properties)>;

  virtual void logEventWithOrigin(const std::string& origin, const std::string& name, const Dictionary& parameters) = 0;
  virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name, const Value& value) = 0;
  virtual void getUserPropertiesWithCallback(UserPropertiesCallback callback) = 0;
  virtual std::int32_t maxUserProperties(const std::string& origin) = 0;
  virtual void setConditionalUserProperty(const Dictionary& property) = 0;
  virtual void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                            const std::string& clearEventName,
                                            const Dictionary& clearEventParameters) = 0;
  // {"name": ..., "value": string} for each property with a string value.
  virtual Array conditionalUserProperties(const std::string& origin, const std::string& propertyNamePrefix) = 0;
  virtual void registerAnalyticsListener(std::shared_ptr<TWKAnalyticsInteropListener> listener,
                                         const std::string& origin) = 0;
  virtual void unregisterAnalyticsListenerWithOrigin(const std::string& origin) = 0;
};

}  // namespace platform
