// The experiment IDs of an activated snapshot leave in every bundle the bundler builds,
// through the real experiment manager, remote configuration and bundler.

#include <gtest/gtest.h>

#include "BundlerTestSupport.h"
#include "measurement/experiments/TLWEManager.h"
#include "measurement/experiments/TLWPBExperimentMessages.h"

namespace bundler_test {
namespace {

std::vector<std::uint8_t> snapshotResponse(std::vector<std::int32_t> experimentIDs) {
  auto snapshot = TLWPBSnapshot::initWithMessageInfo();
  snapshot->SetString(TLWPBSnapshot::kSdkName, "tally_wise");
  for (auto id : experimentIDs) {
    auto experiment = TLWPBExperiment::initWithMessageInfo();
    experiment->SetInt32(TLWPBExperiment::kExperimentId, id);
    snapshot->AddRepeatedMessage(TLWPBSnapshot::kExperiments, *experiment);
  }
  auto response = TLWPBExperimentResponse::initWithMessageInfo();
  response->AddRepeatedMessage(TLWPBExperimentResponse::kSnapshots, *snapshot);
  return *response->protoBuffer();
}

using ExperimentBundleTest = BundlerFixture;

TEST_F(ExperimentBundleTest, ActivatedExperimentIDsTravelInEveryBundle) {
  auto manager = TLWEManager::create({env, monitor, "http://127.0.0.1:9", env->sandbox()->root() + "/exp.sql",
                                      nullptr, [] { return std::optional<std::string>(); }, [] { return false; }});
  manager->start();
  auto flags = std::make_shared<TLWEExperimentFlagsClient>(manager);
  TLWRemoteConfigDependencies rd;
  rd.env = env;
  rd.monitor = monitor;
  rd.shouldFetchExperiments = [] { return true; };
  remoteConfig = TLWRemoteConfig::initWithAppID(kAppID, database, flags, rd);
  ASSERT_TRUE(remoteConfig);
  makeBundler();

  auto task = manager->taskManager();
  ASSERT_TRUE(task->workerQueue()->sync(
      [&] { task->handleFetchingExperimentsResponse(200, snapshotResponse({8, -5, 3, 0}), std::nullopt); }));
  const auto fp = storeMetadata();
  storeEvent("before", kNow, fp);
  bundleAll();
  ASSERT_TRUE(remoteConfig->activateNewSnapshot());
  storeEvent("after_1", kNow + 1, fp);
  storeEvent("after_2", kNow + 2, storeMetadata("2.0"));
  bundleAll();

  std::vector<std::string> seen;
  for (const auto& bundle : queued()) {
    std::string ids;
    for (const auto& id : bundle->GetRepeated(TLWPBMeasurementBundle::kExperimentIds)) ids += id.description() + " ";
    seen.push_back(eventNames(*bundle).front() + ": " + ids);
  }
  // Launched flags (ID 0) are not an experiment; a negative ID is left out alone.
  EXPECT_EQ(seen, (std::vector<std::string>{"before: ", "after_1: 3 8 ", "after_2: 3 8 "}));
}

}  // namespace
}  // namespace bundler_test
