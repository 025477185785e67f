#pragma once
// Two sibling libraries of the family as the demo plays them: a messaging component
// (origin "orxa") that reaches the measurement library only through the core's analytics
// component (the connector), and the ads component, which reports how long its banner is
// on screen. At the end it prints the setting an SDK experiment may switch and the
// experiment IDs in force.
//
// Thread-safety: call from the main queue; the listener is called there too.

#include <memory>
#include <string>

#include "platform/core/TWKAnalyticsInterop.h"

namespace platform {
class TWKApp;
}

namespace demo {

class DemoSibling {
 public:
  ~DemoSibling();
  // Asks the app's component container for the analytics component and listens to it.
  void attach(const std::shared_ptr<platform::TWKApp>& app);
  void messageOpened(const std::string& messageID);
  void showAd(const std::string& adUnitID);
  void hideAd(const std::string& adUnitID);
  void reportExperiments();

 private:
  std::shared_ptr<platform::TWKAnalyticsInterop> analytics_;
};

}  // namespace demo
