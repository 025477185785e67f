// From stored raw events to queued, gzip-compressed bundles: the bundling pass an upload
// runs, over a real database file, with events of 8 parameters each.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "measurement/model/TLWEvent.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/BundlerRig.h"

namespace {

constexpr const char* kAppID = "1:1234567890:ios:abcdef";

struct Setup : tw_test_support::BundlerParts {
  std::shared_ptr<TLWRemoteConfig> remoteConfig;
  std::shared_ptr<TLWBundler> bundler;
  std::int64_t fingerprint = 0;
  decltype(tw_test_support::bundleMetadata("", "")) metadata;

  Setup() {
    env = platform::testing::TestEnvironment::create();
    monitor = TLWMonitor::initWithLibraryVersion(kTLWLibraryNumericVersion, env);
    persisted = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env, nullptr, monitor);
    TLWError error;
    database = std::shared_ptr<TLWDatabase>(
        TLWDatabase::initWithDatabaseName("bench-bundle.sql", persisted, &error, env, monitor));
    scheduler = TLWScheduler::initWithWorkerQueueLabel("bench.bundle");
    makePipelines();
    TLWRemoteConfigDependencies rd;
    rd.env = env;
    rd.monitor = monitor;
    remoteConfig = TLWRemoteConfig::initWithAppID(kAppID, database, nullptr, rd);
    bundler = makeBundler(remoteConfig);

    metadata = tw_test_support::bundleMetadata("com.vorlix.skyforge", "3.4.1");
    metadata->SetString(TLWPBMeasurementBundle::kOsVersion, "17.2");
    metadata->SetString(TLWPBMeasurementBundle::kDeviceModel, "iPhone15,2");
    fingerprint = TLWDatabase::fingerprintOfBytes(*metadata->protoBuffer());
  }

  void storeEvents(int count, double start) {
    static const char* kNames[] = {"level_up", "spend_virtual_currency", "select_content", "post_score"};
    (void)database->performTransaction([&] {
      TLWError error;
      // Bundling drops metadata no stored event refers to any more: store it with each batch.
      if (!database->insertIfNotExistsRawEventMetadata(*metadata, &error)) return false;
      for (int i = 0; i < count; ++i) {
        platform::Dictionary params{{"level", i % 50},
                                    {"character", "mage"},
                                    {"score", 1000 + i},
                                    {"zone", "northern_reach"},
                                    {"difficulty", 2.5},
                                    {"item_name", "sword_of_dawn"},
                                    {"value", i * 3},
                                    {"mode", "campaign"}};
        auto event = TLWEvent::initWithOrigin("app", true, kNames[i % 4], start + i * 0.001, 0, params);
        if (!event || !database->insertRawEvent(event.get(), fingerprint, false, &error)) return false;
      }
      return true;
    });
  }
};

void BM_BundleRawEvents(benchmark::State& state) {
  Setup s;
  platform::testing::ScopedCurrentEnvironment current(s.env);
  const int perIteration = static_cast<int>(state.range(0));
  double start = s.env->fakeClock()->now() - 60;
  std::int64_t events = 0;
  std::int64_t bundles = 0;
  for (auto _ : state) {
    state.PauseTiming();
    s.storeEvents(perIteration, start);
    state.ResumeTiming();
    bool done = false;
    s.scheduler->dispatchSyncOnWorkerQueueBlockID("bench", [&] {
      while (s.bundler->bundleRawEvents()) ++bundles;
      done = true;
    });
    if (!done) state.SkipWithError("bundling did not run");
    events += perIteration;
  }
  state.SetItemsProcessed(events);
  state.counters["bundles"] = benchmark::Counter(static_cast<double>(bundles), benchmark::Counter::kAvgIterations);
}
// The bundling runs on the worker queue: count the CPU time of every thread (items per
// second are per CPU second; the machine may be shared, so wall time is reported too).
BENCHMARK(BM_BundleRawEvents)->Arg(2000)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
