#pragma once
// Where the demo game talks to the measurement library. For now each call prints what
// the game would record; the calls are the ones the game will make through the public
// interface (start with the family options, screen views, events).
//
// Thread-safety: call from the main queue.

#include <string>

#include "platform/Value.h"
#include "platform/core/TWKOptions.h"

namespace demo {

class DemoAnalytics {
 public:
  void start(const platform::TWKOptions& options);
  void logScreenView(const std::string& screenName, const std::string& screenClass);
  void logEvent(const std::string& name, const platform::Dictionary& parameters);
  void setUserProperty(const std::string& name, const std::string& value);
  void handleOpenURL(const std::string& url);
};

}  // namespace demo
