// What an event-editing program costs the write path: the same events written through
// the product's write path (TLWMeasurementWritePath with the remote configuration's
// settings) over two real database files, once under a configuration without a program
// and once under one whose program (about 50 instructions per event) renames a parameter,
// in the same benchmark iteration, timed in the worker thread's CPU time.
//
//   build/<dir>/bench/bench_script
//
// Counters: plain_events_per_s, edited_events_per_s and edited_to_plain (the ratio).

#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <memory>
#include <string>

#include "measurement/engine/TLWEventPipelineAdapters.h"
#include "measurement/script/TLWPEventEditing.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/BundlerRig.h"
#include "tools/script-runner/ScriptJson.h"

namespace {

constexpr const char* kAppID = "1:1234567890:ios:abcdef";
constexpr int kEvents = 4000;

// On every event: read the name (drop "ad_tap"), move "character" to "hero", read the
// level. 52 instructions per event.
constexpr const char* kProgram = R"([
  ["52", "register", ["require", "internal.registerCallback"]],
  ["register", "edit",
    ["51", "", ["7", "event"],
      ["52", "name", ["2", ["15", "event"], "getEventName", ["7"]]],
      ["22", ["20", ["15", "name"], "ad_tap"], ["46", ["2", ["15", "event"], "setEventName", ["7", ""]], ["36", 1]]],
      ["52", "hero", ["2", ["15", "event"], "getParamValue", ["7", "character"]]],
      ["22", ["21", ["15", "hero"], ["44"]],
        ["46", ["2", ["15", "event"], "setParamValue", ["7", "hero", ["15", "hero"]]],
               ["2", ["15", "event"], "setParamValue", ["7", "character", ["45"]]]]],
      ["52", "level", ["2", ["15", "event"], "getParamValue", ["7", "level"]]],
      ["36", 1]],
    ["8", "type", "edit"]]
])";

// CPU time of the calling thread: the machine may be shared, and both paths run all their
// work on the worker queue's thread.
double threadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct WritePath : tw_test_support::BundlerParts {
  std::shared_ptr<TLWRemoteConfig> remoteConfig;

  WritePath(const std::string& file, bool withProgram) {
    env = platform::testing::TestEnvironment::create();
    monitor = TLWMonitor::initWithLibraryVersion(kTLWLibraryNumericVersion, env);
    persisted = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env, nullptr, monitor);
    TLWError error;
    database = std::shared_ptr<TLWDatabase>(TLWDatabase::initWithDatabaseName(file, persisted, &error, env, monitor));
    scheduler = TLWScheduler::initWithWorkerQueueLabel("bench.script");
    auto config = TLWPBMeasurementConfig::initWithMessageInfo();
    config->SetString(TLWPBMeasurementConfig::kAppId, kAppID);
    // A configuration without settings is read as empty, programs and all.
    auto setting = TLWPBSetting::initWithMessageInfo();
    setting->SetString(TLWPBSetting::kName, "measurement.upload.interval");
    setting->SetString(TLWPBSetting::kValue, "3600000");
    config->AddRepeatedMessage(TLWPBMeasurementConfig::kSettings, *setting);
    if (withProgram) {
      std::string problem;
      auto program = tools::programFromJson(nlohmann::json::parse(kProgram), &problem);
      if (program) config->AddRepeatedMessage(TLWPBMeasurementConfig::kDynamicEventEditing, *program);
    }
    TLWRemoteConfigDependencies rd;
    rd.env = env;
    rd.monitor = monitor;
    rd.eventEditorFactory = std::make_shared<TLWPEventEditorFactory>();
    remoteConfig = TLWRemoteConfig::initWithAppID(kAppID, database, config, nullptr, rd);
    writePath = TLWMeasurementWritePath::create({.database = database,
                                                 .persistedConfig = persisted,
                                                 .scheduler = scheduler,
                                                 .host = host,
                                                 .settings = std::make_shared<TLWRemoteConfigPipelineSettings>(remoteConfig),
                                                 .env = env,
                                                 .monitor = monitor});
    pipeline = writePath.eventPipeline;
  }

  bool editing() const { return remoteConfig && remoteConfig->eventEditing() != nullptr; }

  // CPU seconds to write kEvents on the worker queue; -1 when they were not all stored.
  double write(int round) {
    const double start = env->fakeClock()->now() + round * 86400.0;
    env->fakeClock()->advance(86400);
    double seconds = -1;
    (void)scheduler->dispatchSyncOnWorkerQueueBlockID("bench", [&] {
      (void)database->sqliteStore()->deleteAllRecordsFromTableWithName("raw_events", nullptr);
      const double began = threadSeconds();
      for (int i = 0; i < kEvents; ++i) {
        auto event = TLWEvent::initWithOrigin("app", true, "level_up", start + i * 0.001, 0,
                                              platform::Dictionary{{"level", i % 100},
                                                                   {"character", "mage"},
                                                                   {"score", 12.5 + i},
                                                                   {"item", "sword_of_the_benchmark"},
                                                                   {"stage", "forest"}});
        pipeline->writeEventOnWorkerQueue(event);
      }
      seconds = threadSeconds() - began;
      auto stored = database->sqliteStore()->rowCountForTableWithName("raw_events", nullptr);
      if (!stored || *stored != kEvents) seconds = -1;
    });
    return seconds;
  }
};

void BM_WritePathWithEditingProgram(benchmark::State& state) {
  WritePath plain("bench-script-plain.sql", false);
  WritePath edited("bench-script-edited.sql", true);
  if (!plain.pipeline || !edited.pipeline) {
    state.SkipWithError("the write paths could not be made");
    return;
  }
  if (!edited.editing() || plain.editing()) {
    state.SkipWithError("the program did not load");
    return;
  }
  double plainSeconds = 0, editedSeconds = 0;
  int round = 0;
  for (auto _ : state) {
    ++round;
    const double p = plain.write(round);
    const double e = edited.write(round);
    if (p <= 0 || e <= 0) {
      state.SkipWithError("a run did not store every event");
      return;
    }
    plainSeconds += p;
    editedSeconds += e;
    state.SetIterationTime(e);
  }
  state.counters["plain_events_per_s"] = round * kEvents / plainSeconds;
  state.counters["edited_events_per_s"] = round * kEvents / editedSeconds;
  state.counters["edited_to_plain"] = plainSeconds / editedSeconds;
}

BENCHMARK(BM_WritePathWithEditingProgram)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// The program alone: one event through the editor, no database.
void BM_EditorHandleEvent(benchmark::State& state) {
  std::string problem;
  auto program = tools::programFromJson(nlohmann::json::parse(kProgram), &problem);
  auto editor = program ? TLWPEventEditorFactory().makeEditor(*program, {}, nullptr) : nullptr;
  if (!editor) {
    state.SkipWithError("the program did not load");
    return;
  }
  const TLWEvent::EditForm event{"level_up", 1765000000.5,
                                 platform::Dictionary{{"level", 5}, {"character", "mage"}, {"_o", "app"}}};
  for (auto _ : state) benchmark::DoNotOptimize(editor->handleEvent(event, nullptr));
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_EditorHandleEvent);

}  // namespace
