// From stored raw events to queued, gzip-compressed bundles: the bundling pass an upload
// runs, over a real database file, with events of 8 parameters each.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/engine/TLWBundler.h"
#include "measurement/engine/TLWEventPipeline.h"
#include "measurement/engine/TLWScheduler.h"
#include "measurement/engine/TLWUserPropertyPipeline.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/testing/TestEnvironment.h"

namespace {

constexpr const char* kAppID = "1:1234567890:ios:abcdef";

class NoHost : public TLWEventPipelineHost, public TLWBundlerHost {
 public:
  bool isMeasurementEnabled() override { return true; }
  std::vector<std::string> safelistedEvents() override { return {}; }
  bool isAppActive() override { return true; }
  bool isSessionExpired() override { return false; }
  bool extendSession() override { return true; }
  void reportSessionStartOnWorkerQueueWithTimestamp(double, bool) override {}
  void notifyEventListeners(std::shared_ptr<TLWEvent>) override {}
  void updateSchedule() override {}
  void setSuspendedUploadTimestamp(double) override {}
};

struct Setup {
  std::shared_ptr<platform::testing::TestEnvironment> env = platform::testing::TestEnvironment::create();
  std::shared_ptr<TLWMonitor> monitor;
  std::shared_ptr<TLWPersistedConfig> persisted;
  std::shared_ptr<TLWDatabase> database;
  std::shared_ptr<TLWScheduler> scheduler = TLWScheduler::initWithWorkerQueueLabel("bench.bundle");
  std::shared_ptr<NoHost> host = std::make_shared<NoHost>();
  std::shared_ptr<TLWUserPropertyPipeline> userProperties;
  std::shared_ptr<TLWEventPipeline> pipeline;
  std::shared_ptr<TLWRemoteConfig> remoteConfig;
  std::shared_ptr<TLWBundler> bundler;
  std::int64_t fingerprint = 0;

  Setup() {
    monitor = TLWMonitor::initWithLibraryVersion(kTLWLibraryNumericVersion, env);
    persisted = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env, nullptr, monitor);
    TLWError error;
    database = std::shared_ptr<TLWDatabase>(
        TLWDatabase::initWithDatabaseName("bench-bundle.sql", persisted, &error, env, monitor));
    userProperties = TLWUserPropertyPipeline::create({database, persisted, scheduler, host, nullptr, env, monitor, nullptr});
    TLWEventPipeline::Dependencies pd;
    pd.database = database;
    pd.persistedConfig = persisted;
    pd.scheduler = scheduler;
    pd.userProperties = userProperties;
    pd.host = host;
    pd.env = env;
    pd.monitor = monitor;
    pipeline = TLWEventPipeline::create(std::move(pd));
    TLWRemoteConfigDependencies rd;
    rd.env = env;
    rd.monitor = monitor;
    remoteConfig = TLWRemoteConfig::initWithAppID(kAppID, database, nullptr, rd);
    TLWBundler::Dependencies d;
    d.database = database;
    d.remoteConfig = remoteConfig;
    d.eventPipeline = pipeline;
    d.userProperties = userProperties;
    d.persistedConfig = persisted;
    d.host = host;
    d.env = env;
    d.monitor = monitor;
    bundler = TLWBundler::create(std::move(d));

    auto metadata = TLWPBMeasurementBundle::initWithMessageInfo();
    metadata->SetInt32(TLWPBMeasurementBundle::kProtocolVersion, 1);
    metadata->SetString(TLWPBMeasurementBundle::kPlatform, "ios");
    metadata->SetString(TLWPBMeasurementBundle::kAppId, "com.vorlix.skyforge");
    metadata->SetString(TLWPBMeasurementBundle::kAppVersion, "3.4.1");
    metadata->SetString(TLWPBMeasurementBundle::kOsVersion, "17.2");
    metadata->SetString(TLWPBMeasurementBundle::kDeviceModel, "iPhone15,2");
    (void)database->insertIfNotExistsRawEventMetadata(*metadata, &error);
    fingerprint = TLWDatabase::fingerprintOfBytes(*metadata->protoBuffer());
  }

  void storeEvents(int count, double start) {
    static const char* kNames[] = {"level_up", "spend_virtual_currency", "select_content", "post_score"};
    (void)database->performTransaction([&] {
      TLWError error;
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
