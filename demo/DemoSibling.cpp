#include "demo/DemoSibling.h"

#include <cstdio>

#include "measurement/api/TWKAnalytics.h"
#include "measurement/reporters/TLWAdExposureReporter.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/engine/TLWMeasurement.h"
#include "platform/core/TWKApp.h"

namespace demo {

namespace {
constexpr const char* kOrigin = "orxa";

class PrintingListener : public platform::TWKAnalyticsInteropListener {
 public:
  void messageTriggered(const std::string& name, const platform::Dictionary& parameters) override {
    std::printf("[orxa] heard %s %s\n", name.c_str(), platform::Value(parameters).description().c_str());
  }
};
}  // namespace

DemoSibling::~DemoSibling() {
  if (analytics_) analytics_->unregisterAnalyticsListenerWithOrigin(kOrigin);
}

void DemoSibling::attach(const std::shared_ptr<platform::TWKApp>& app) {
  analytics_ = app ? app->container().instanceFor<platform::TWKAnalyticsInterop>(
                         platform::kTWKAnalyticsInteropProtocol)
                   : nullptr;
  if (!analytics_) {
    std::printf("[orxa] no analytics component in the core\n");
    return;
  }
  std::printf("[orxa] analytics component found; up to %d user properties\n", analytics_->maxUserProperties(kOrigin));
  analytics_->registerAnalyticsListener(std::make_shared<PrintingListener>(), kOrigin);
}

void DemoSibling::messageOpened(const std::string& messageID) {
  if (!analytics_) return;
  std::printf("[orxa] message %s opened\n", messageID.c_str());
  analytics_->logEventWithOrigin(kOrigin, "notification_open", {{"message_id", messageID}});
  analytics_->setUserPropertyWithOrigin(kOrigin, "_ln", messageID);
  // Reserved to the library: dropped by the connector.
  analytics_->logEventWithOrigin(kOrigin, "_s", {});
}

void DemoSibling::showAd(const std::string& adUnitID) {
  std::printf("[ads] banner %s shown\n", adUnitID.c_str());
  TWKAAdExposureReporter::sharedInstance()->beginAdUnitExposure(adUnitID);
}

void DemoSibling::hideAd(const std::string& adUnitID) {
  std::printf("[ads] banner %s hidden\n", adUnitID.c_str());
  TWKAAdExposureReporter::sharedInstance()->endAdUnitExposure(adUnitID);
}

void DemoSibling::reportExperiments() {
  auto config = TLWMeasurement::remoteConfig();
  if (!config) return;
  std::string ids;
  for (auto id : config->experimentIDs()) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
  std::printf("[experiments] network_background_session_enabled = %d; experiments in force: %s\n",
              config->isNetworkBackgroundSessionEnabled() ? 1 : 0, ids.empty() ? "none" : ids.c_str());
}

}  // namespace demo
