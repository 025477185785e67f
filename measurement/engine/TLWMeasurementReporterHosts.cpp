#include "measurement/engine/TLWMeasurementReporterHosts.h"

#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/engine/TLWMeasurement.h"
#include "measurement/engine/TLWMeasurementComponents.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/reporters/TLWInAppPurchaseReporter.h"
#include "measurement/reporters/TLWSearchAdReporter.h"

void TLWMeasurementReporterHosts::attach(const std::shared_ptr<TLWMeasurement>& engine) {
  std::lock_guard lock(mutex_);
  engine_ = engine;
}

std::shared_ptr<TLWMeasurement> TLWMeasurementReporterHosts::engine() const {
  std::lock_guard lock(mutex_);
  return engine_.lock();
}

void TLWMeasurementReporterHosts::handleInternalEventOnWorkerQueue(std::shared_ptr<TLWEvent> event) {
  if (auto e = engine()) e->handleInternalEventOnWorkerQueue(std::move(event));
}

void TLWMeasurementReporterHosts::setUserPropertyInDatabaseOnWorkerQueue(std::shared_ptr<TLWUserAttribute> attribute) {
  auto e = engine();
  auto properties = e ? e->userPropertyPipeline() : nullptr;
  if (!properties || !attribute) return;
  // Nothing is written while collection is disabled, as for the app's own properties.
  if (!e->enabled()) {
    e->monitor()->logWithLevel(7, 23081, "Analytics is disabled. User property not set");
    return;
  }
  if (!properties->setUserPropertyInDatabaseOnWorkerQueue(*attribute)) {
    e->monitor()->logWithLevel(1, 23233, "Failed to store campaign user property. Name",
                               platform::Value(attribute->name()));
  }
}

void TLWMeasurementReporterHosts::updateSchedule() {
  if (auto e = engine()) e->updateSchedule();
}

void TLWMeasurementReporterHosts::setNetworkRequestPending(bool pending) {
  if (auto e = engine()) e->setNetworkRequestPending(pending);
}

bool TLWMeasurementReporterHosts::shouldUseBackgroundSession() {
  auto e = engine();
  auto uploader = e ? e->components().uploader : nullptr;
  return uploader && uploader->shouldUseBackgroundSession();
}

std::shared_ptr<TLWRemoteConfig> TLWMeasurementReporterHosts::remoteConfig() {
  auto e = engine();
  auto config = e ? e->remoteConfigInstance() : nullptr;
  return config ? config : TLWMeasurementComponents::defaultRemoteConfig();
}

std::shared_ptr<TLWIdentity> TLWMeasurementReporterHosts::identity() {
  auto e = engine();
  return e ? e->identity() : nullptr;
}

std::shared_ptr<platform::VXLNetwork> TLWMeasurementReporterHosts::network() {
  auto e = engine();
  return e ? e->network() : nullptr;
}

TLWDatabase* TLWMeasurementReporterHosts::database() {
  auto e = engine();
  return e ? e->database() : nullptr;
}

std::shared_ptr<TLWMeasurementReporterHosts> TLWMeasurementAddDefaultReporters(TLWMeasurementDependencies& d) {
  auto hosts = std::make_shared<TLWMeasurementReporterHosts>();
  std::weak_ptr<TLWMeasurementFrontController> front = d.frontController;
  auto logEvent = [front](const std::string& name, const platform::Dictionary& parameters) {
    if (auto f = front.lock()) f->logInternalEventWithOrigin("auto", name, parameters);
  };
  if (!d.campaignReporter) {
    d.campaignReporter = TLWCampaignReporter::create({hosts, d.scheduler, d.persistedConfig, d.environment, d.monitor});
  }
  if (!d.inAppPurchaseReporter) {
    TLWInAppPurchaseReporter::Dependencies purchase;
    purchase.env = d.environment;
    purchase.monitor = d.monitor;
    purchase.database = [hosts]() -> TLWDatabase* { return hosts->database(); };
    purchase.logEvent = logEvent;
    purchase.onWorkerQueue = [scheduler = d.scheduler](std::function<void()> block) {
      scheduler->scheduleOnWorkerQueueBlockID("TLWMeasurement:forgetPurchases", std::move(block));
    };
    d.inAppPurchaseReporter = TLWInAppPurchaseReporter::create(std::move(purchase));
  }
  if (!d.searchAdReporterFactory) {
    d.searchAdReporterFactory = [queue = d.scheduler->workerQueue(), env = d.environment, logEvent,
                                 monitor = d.monitor](std::shared_ptr<TLWPersistedConfig> persistedConfig) {
      return std::shared_ptr<TLWSearchAdReporting>(
          TLWSearchAdReporter::initWithWorkerQueue(queue, std::move(persistedConfig), env, logEvent, monitor));
    };
  }
  return hosts;
}
