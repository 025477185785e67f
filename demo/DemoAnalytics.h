#pragma once
// Where the demo game talks to the measurement library, through its public interface
// (TWKAnalytics) as any game would: start from the family options, events with
// parameters, user properties, the user ID, consent, opened URLs. A listener prints
// every event the library accepted.
//
// Thread-safety: call from the main queue. The listener runs on the library's queue and
// only prints.

#include <string>

#include "measurement/api/TLWAnalytics.h"
#include "platform/Value.h"
#include "platform/core/TWKOptions.h"

namespace demo {

class DemoAnalytics {
 public:
  ~DemoAnalytics();
  void start(const platform::TWKOptions& options);
  void logEvent(const std::string& name, const platform::Dictionary& parameters);
  void setUserProperty(const std::string& name, const std::string& value);
  // A user property that takes effect when `triggerEvent` is logged (within ten minutes)
  // and then logs `triggeredEvent`; it lasts an hour.
  void setConditionalUserProperty(const std::string& name, const std::string& value, const std::string& triggerEvent,
                                  const std::string& triggeredEvent);
  void setUserID(const std::string& userID);
  void setConsent(bool adStorage, bool analyticsStorage);
  void handleOpenURL(const std::string& url);

 private:
  TLWLogEventListenerToken listener_;
};

}  // namespace demo
