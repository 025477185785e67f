#pragma once
// What a bundler needs around one measurement database: a host that allows everything,
// the user property and event pipelines, and the metadata record raw events are filed
// under. Shared by the bundler tests and the bundling benchmark; no test framework here.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/audience/TLWAudienceEvaluating.h"
#include "measurement/engine/TLWBundler.h"
#include "measurement/engine/TLWEventPipeline.h"
#include "measurement/engine/TLWMeasurementWritePath.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/engine/TLWUserPropertyPipeline.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/testing/TestEnvironment.h"

namespace tw_test_support {

// Collection on, app active, session alive; counts the resets of the suspended upload.
class PermissiveBundlerHost : public TLWEventPipelineHost, public TLWBundlerHost {
 public:
  bool isMeasurementEnabled() override { return true; }
  std::vector<std::string> safelistedEvents() override { return {}; }
  bool isAppActive() override { return true; }
  bool isSessionExpired() override { return false; }
  bool extendSession() override { return true; }
  void reportSessionStartOnWorkerQueueWithTimestamp(double, bool) override {}
  void notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>>) override {}
  void updateSchedule() override {}
  void setSuspendedUploadTimestamp(double timestamp) override { suspendedResets += timestamp == 0 ? 1 : 0; }
  int suspendedResets = 0;
};

// The parts a bundler reads besides its configuration, declared in the order they are made
// (and so torn down in reverse); the pipelines are null when they could not be made.
struct BundlerParts {
  std::shared_ptr<platform::testing::TestEnvironment> env;
  std::shared_ptr<TLWMonitor> monitor;
  std::shared_ptr<TLWPersistedConfig> persisted;
  std::shared_ptr<TLWDatabase> database;
  std::shared_ptr<TLWScheduler> scheduler;
  std::shared_ptr<PermissiveBundlerHost> host = std::make_shared<PermissiveBundlerHost>();
  std::shared_ptr<TLWUserPropertyPipeline> userProperties;
  std::shared_ptr<TLWEventPipeline> pipeline;

  TLWMeasurementWritePath writePath;

  // The pipelines and bundlers as the engine wires them.
  void makePipelines() {
    writePath = TLWMeasurementWritePath::create({.database = database,
                                                 .persistedConfig = persisted,
                                                 .scheduler = scheduler,
                                                 .host = host,
                                                 .env = env,
                                                 .monitor = monitor});
    userProperties = writePath.userProperties;
    pipeline = writePath.eventPipeline;
  }

  std::shared_ptr<TLWBundler> makeBundler(std::shared_ptr<TLWRemoteConfig> remoteConfig,
                                          std::shared_ptr<TLWAudienceEvaluating> audience = nullptr) const {
    return writePath.makeBundler({std::move(remoteConfig), host, nullptr, nullptr, std::move(audience)});
  }
};

// A metadata record as the write path builds one; callers add what else they need.
inline std::shared_ptr<TLWPBMeasurementBundle> bundleMetadata(const std::string& appID, const std::string& appVersion) {
  auto metadata = TLWPBMeasurementBundle::initWithMessageInfo();
  metadata->SetInt32(TLWPBMeasurementBundle::kProtocolVersion, 1);
  metadata->SetString(TLWPBMeasurementBundle::kPlatform, "ios");
  metadata->SetString(TLWPBMeasurementBundle::kAppId, appID);
  metadata->SetString(TLWPBMeasurementBundle::kAppVersion, appVersion);
  return metadata;
}

}  // namespace tw_test_support
