#include "measurement/engine/TLWMeasurementWritePath.h"

TLWMeasurementWritePath TLWMeasurementWritePath::create(Dependencies dependencies) {
  TLWMeasurementWritePath path;
  path.dependencies = std::move(dependencies);
  Dependencies& d = path.dependencies;
  path.userProperties = TLWUserPropertyPipeline::create(
      {d.database, d.persistedConfig, d.scheduler, d.host, d.settings, d.env, d.monitor, nullptr});
  d.userProperties = path.userProperties;
  if (!path.userProperties) return path;
  path.eventPipeline = TLWEventPipeline::create(d);
  return path;
}

std::shared_ptr<TLWBundler> TLWMeasurementWritePath::makeBundler(BundlerDependencies bundlerDependencies) const {
  if (!eventPipeline) return nullptr;
  TLWBundler::Dependencies d;
  d.database = dependencies.database;
  d.remoteConfig = std::move(bundlerDependencies.remoteConfig);
  d.eventPipeline = eventPipeline;
  d.userProperties = userProperties;
  d.persistedConfig = dependencies.persistedConfig;
  d.host = std::move(bundlerDependencies.host);
  d.consent = std::move(bundlerDependencies.consent);
  d.identity = std::move(bundlerDependencies.identity);
  d.audience = std::move(bundlerDependencies.audience);
  d.env = dependencies.env;
  d.monitor = dependencies.monitor;
  return TLWBundler::create(std::move(d));
}
