#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>

#include <measurement/api/TWKAnalytics.h>
#include <measurement/model/TLWEvent.h>
#include <platform/core/TWKApp.h>
#include <platform/core/TWKOptions.h>

int main() {
  // The family core: options from the bundle's VorlixService-Info.plist
  // (TWKApp::configure()), or given explicitly as here.
  platform::TWKOptions options("1:1234567890:ios:0a1b2c3d4e5f");
  if (!platform::TWKApp::configureWithOptions(options)) return 1;

  // A listener sees every event the library accepted (on the library's queue).
  auto lastEvent = std::make_shared<std::promise<void>>();
  TLWLogEventListenerToken token =
      TWKAnalytics::addLogEventListener([lastEvent](const std::shared_ptr<const TLWEvent>& event) {
        std::printf("accepted %s %s\n", event->name().c_str(), TLWParametersDescription(event->parameters()).c_str());
        if (event->name() == "spend_virtual_currency") lastEvent->set_value();
      });

  TWKAnalytics::startWithConfiguration(nullptr, options);

  TWKAnalytics::setConsent(platform::Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "granted"}});
  TWKAnalytics::setUserID("player-7781");
  TWKAnalytics::setUserPropertyString("mage", "favorite_hero");
  TWKAnalytics::logEventWithName("level_up", platform::Dictionary{{"level", 5}, {"character", "mage"}});
  TWKAnalytics::logEventWithName("spend_virtual_currency", platform::Dictionary{{"item_name", "Ember Blade"},
                                                                                {"virtual_currency_name", "gems"},
                                                                                {"value", 120}});

  // Every call returns at once; the work runs on the library's queues (a normal exit still
  // stores what was handed over). Here the listener shows each event once it is stored.
  bool stored = lastEvent->get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  TWKAnalytics::removeLogEventListener(token);
  std::printf("%s\n", stored ? "all events accepted" : "events still queued");

  // Stored events are uploaded in the background (about a second after an event when the
  // program runs with -TWKDebugEnabled); what is stored but not yet sent at exit goes out
  // at the next launch. Stay a moment, as an app would, so this run's events leave now.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  return 0;
}
