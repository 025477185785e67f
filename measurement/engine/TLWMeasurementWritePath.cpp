#include "measurement/engine/TLWMeasurementWritePath.h"

#include "measurement/audience/TLWAudience.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/properties/TLWConditionalUserPropertyController.h"
#include "measurement/reporters/TLWLifetimeValueRecorder.h"

TLWMeasurementWritePath TLWMeasurementWritePath::create(Dependencies dependencies) {
  TLWMeasurementWritePath path;
  path.dependencies = std::move(dependencies);
  Dependencies& d = path.dependencies;
  path.userProperties = TLWUserPropertyPipeline::create(
      {d.database, d.persistedConfig, d.scheduler, d.host, d.settings, d.env, d.monitor, nullptr});
  d.userProperties = path.userProperties;
  if (!path.userProperties) return path;
  auto controller = std::dynamic_pointer_cast<TLWConditionalUserPropertyController>(d.conditionalUserProperties);
  if (!d.conditionalUserProperties) {
    controller = TLWConditionalUserPropertyController::create();
    d.conditionalUserProperties = controller;
  }
  if (!d.lifetimeValue) {
    d.lifetimeValue = std::make_shared<TLWLifetimeValueRecorder>(TLWLifetimeValueRecorder::Dependencies{
        [settings = d.settings] { return settings ? settings->maxTrackedCurrencies() : 4; },
        d.env ? d.env->clock() : nullptr, d.monitor});
  }
  path.eventPipeline = TLWEventPipeline::create(d);
  if (controller && path.eventPipeline) {
    std::weak_ptr<TLWEventPipeline> pipeline = path.eventPipeline;
    std::weak_ptr<TLWEventPipelineHost> host = d.host;
    (void)controller->attach({d.database, d.scheduler,
                              [host] {
                                auto h = host.lock();
                                return h && h->isMeasurementEnabled();
                              },
                              [pipeline](std::shared_ptr<TLWEvent> event) {
                                if (auto p = pipeline.lock()) p->writeEventOnWorkerQueue(event);
                              },
                              d.env, d.monitor});
  }
  return path;
}

std::shared_ptr<TLWBundler> TLWMeasurementWritePath::makeBundler(BundlerDependencies bundlerDependencies) const {
  if (!eventPipeline) return nullptr;
  TLWBundler::Dependencies d;
  d.database = dependencies.database;
  d.remoteConfig = std::move(bundlerDependencies.remoteConfig);
  d.userProperties = userProperties;
  d.persistedConfig = dependencies.persistedConfig;
  d.host = std::move(bundlerDependencies.host);
  d.consent = std::move(bundlerDependencies.consent);
  d.identity = std::move(bundlerDependencies.identity);
  d.audience = std::move(bundlerDependencies.audience);
  if (!d.audience && d.remoteConfig) {
    auto audience = TLWAudience::initWithDatabase(dependencies.database, d.remoteConfig, dependencies.monitor);
    // Definitions of the configurations fetched from now on are saved for this evaluator.
    d.remoteConfig->setAudienceSink(audience);
    d.audience = std::move(audience);
  }
  d.env = dependencies.env;
  d.monitor = dependencies.monitor;
  d.settings = dependencies.settings;
  d.receipt = dependencies.receipt;
  return TLWBundler::create(std::move(d));
}
