// Bundling with on-device audiences against bundling without, in the same run: two
// databases hold the same events; one defines 20 audiences of 5 filters each over the
// events' names and parameters. Each iteration bundles both, alternating, so both see the
// same machine load; the counters give events per second for each and their ratio.

#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>
#include <string>

#include "measurement/model/TLWEvent.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/BundlerRig.h"

namespace {

constexpr const char* kAppID = "1:1234567890:ios:abcdef";
const char* const kNames[] = {"level_up", "spend_virtual_currency", "select_content", "post_score"};

std::shared_ptr<TLWPBNumberFilter> numberFilter(std::int32_t type, const std::string& value) {
  auto n = TLWPBNumberFilter::initWithMessageInfo();
  n->SetInt32(TLWPBNumberFilter::kComparisonType, type);
  n->SetString(TLWPBNumberFilter::kComparisonValue, value);
  return n;
}

// Audience a: one filter per event name with a parameter condition, and a count filter.
std::shared_ptr<TLWPBAudience> audience(int a) {
  auto audience = TLWPBAudience::initWithMessageInfo();
  audience->SetInt32(TLWPBAudience::kAudienceId, a);
  for (int f = 0; f < 5; ++f) {
    auto filter = TLWPBEventFilter::initWithMessageInfo();
    filter->SetInt32(TLWPBEventFilter::kFilterId, f);
    filter->SetString(TLWPBEventFilter::kEventName, kNames[(a + f) % 4]);
    auto parameter = TLWPBFilter::initWithMessageInfo();
    if (f % 2 == 0) {
      parameter->SetString(TLWPBFilter::kParamName, "score");
      parameter->SetMessage(TLWPBFilter::kNumberFilter, numberFilter(2, std::to_string(1000 + 50 * a)).get());
    } else {
      auto s = TLWPBStringFilter::initWithMessageInfo();
      s->SetInt32(TLWPBStringFilter::kMatchType, 4);
      s->SetString(TLWPBStringFilter::kExpression, a % 2 ? "NORTH" : "dawn");
      parameter->SetString(TLWPBFilter::kParamName, a % 2 ? "zone" : "item_name");
      parameter->SetMessage(TLWPBFilter::kStringFilter, s.get());
    }
    filter->AddRepeatedMessage(TLWPBEventFilter::kFilters, *parameter);
    if (f == 4) filter->SetMessage(TLWPBEventFilter::kCountFilter, numberFilter(2, std::to_string(a)).get());
    audience->AddRepeatedMessage(TLWPBAudience::kEventFilters, *filter);
  }
  return audience;
}

struct Side : tw_test_support::BundlerParts {
  std::shared_ptr<TLWRemoteConfig> remoteConfig;
  std::shared_ptr<TLWBundler> bundler;
  std::int64_t fingerprint = 0;
  decltype(tw_test_support::bundleMetadata("", "")) metadata;

  Side(const std::string& file, int audiences) {
    env = platform::testing::TestEnvironment::create();
    monitor = TLWMonitor::initWithLibraryVersion(kTLWLibraryNumericVersion, env);
    persisted = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env, nullptr, monitor);
    TLWError error;
    database = std::shared_ptr<TLWDatabase>(TLWDatabase::initWithDatabaseName(file, persisted, &error, env, monitor));
    scheduler = TLWScheduler::initWithWorkerQueueLabel("bench.audience." + file);
    makePipelines();
    TLWRemoteConfigDependencies rd;
    rd.env = env;
    rd.monitor = monitor;
    remoteConfig = TLWRemoteConfig::initWithAppID(kAppID, database, nullptr, rd);
    bundler = makeBundler(remoteConfig);
    std::vector<std::shared_ptr<TLWPBAudience>> list;
    for (int a = 0; a < audiences; ++a) list.push_back(audience(a));
    scheduler->dispatchSyncOnWorkerQueueBlockID("bench", [&] {
      TLWError e;
      if (!list.empty() && !remoteConfig->audienceSink()->updateAudiences(list, &e)) std::abort();
    });
    metadata = tw_test_support::bundleMetadata("com.vorlix.skyforge", "3.4.1");
    fingerprint = TLWDatabase::fingerprintOfBytes(*metadata->protoBuffer());
  }

  void storeEvents(int count, double start) {
    (void)database->performTransaction([&] {
      TLWError error;
      if (!database->insertIfNotExistsRawEventMetadata(*metadata, &error)) return false;
      for (int i = 0; i < count; ++i) {
        platform::Dictionary params{{"level", i % 50},       {"character", "mage"},      {"score", 900 + i % 1200},
                                    {"zone", "northern_reach"}, {"difficulty", 2.5},     {"item_name", "sword_of_dawn"},
                                    {"value", i * 3},        {"mode", "campaign"}};
        auto event = TLWEvent::initWithOrigin("app", true, kNames[i % 4], start + i * 0.001, 0, params);
        if (!event || !database->insertRawEvent(event.get(), fingerprint, false, &error)) return false;
      }
      return true;
    });
  }

  // CPU seconds the worker thread spent bundling everything stored (the machine may be
  // shared, so wall time would measure the neighbours too).
  double bundleAll() {
    double seconds = 0;
    scheduler->dispatchSyncOnWorkerQueueBlockID("bench", [&] {
      timespec begin{}, end{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begin);
      while (bundler->bundleRawEvents()) {
      }
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
      seconds = static_cast<double>(end.tv_sec - begin.tv_sec) + static_cast<double>(end.tv_nsec - begin.tv_nsec) / 1e9;
    });
    return seconds;
  }
};

void BM_BundlingWithAudiencesAgainstNone(benchmark::State& state) {
  Side plain("bench-audience-none.sql", 0);
  Side audiences("bench-audience-20x5.sql", 20);
  platform::testing::ScopedCurrentEnvironment current(plain.env);
  const int perIteration = static_cast<int>(state.range(0));
  double plainSeconds = 0;
  double audienceSeconds = 0;
  std::int64_t events = 0;
  for (auto _ : state) {
    const double start = plain.env->fakeClock()->now() - 60;
    state.PauseTiming();
    plain.storeEvents(perIteration, start);
    audiences.storeEvents(perIteration, start);
    state.ResumeTiming();
    plainSeconds += plain.bundleAll();
    audienceSeconds += audiences.bundleAll();
    events += perIteration;
  }
  // Events per CPU second of the worker thread.
  state.counters["none_events_per_s"] = static_cast<double>(events) / plainSeconds;
  state.counters["audiences_events_per_s"] = static_cast<double>(events) / audienceSeconds;
  state.counters["ratio"] = plainSeconds / audienceSeconds;
}
BENCHMARK(BM_BundlingWithAudiencesAgainstNone)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
