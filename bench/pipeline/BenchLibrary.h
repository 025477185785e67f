#pragma once
// The library of a benchmark process, started as an app starts it (the family core
// configured, TWKAnalytics::startWithConfiguration), over a temporary sandbox and without
// a network client, so nothing leaves the machine and no raw event is bundled away. The
// engine lives until the process ends; so does this. Shared by bench_api and
// bench_pipeline.

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <string>

#include "measurement/api/TLWAnalytics.h"
#include "measurement/api/TWKAnalytics.h"
#include "measurement/engine/TLWMeasurement.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWSqliteStore.h"
#include "platform/core/TWKApp.h"
#include "platform/network/VXLNetwork.h"
#include "platform/testing/TestEnvironment.h"

namespace tw_bench {

class BenchLibrary {
 public:
  static constexpr const char* kAppID = "1:1234567890:ios:0a1b2c3d4e5f";

  static BenchLibrary& shared() {
    static auto* library = new BenchLibrary();
    return *library;
  }

  // Events the engine stored and handed to the listeners.
  std::uint64_t accepted() const { return accepted_->load(); }

  // Waits until everything logged so far went through the start gate, the front
  // controller's queue and the engine's worker queue.
  static void drain() {
    for (int round = 0; round < 2; ++round) {
      auto done = std::make_shared<std::promise<void>>();
      auto future = done->get_future();
      TLWAnalytics::queueOperationWithBlock([done] { done->set_value(); });
      future.wait();
      (void)TLWAnalytics::queue()->sync([] {});
      if (auto engine = TLWMeasurement::sharedInstance()) {
        (void)engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench:drain", [] {});
      }
    }
  }

  // A new day, so that the daily event limits never refuse a run's events.
  void nextDay() { env_->fakeClock()->advance(86400); }

  // Empties the engine's raw_events table, as an upload would, so a run never writes at
  // the stored-events limit.
  static void clearRawEvents() {
    auto engine = TLWMeasurement::sharedInstance();
    if (!engine) return;
    (void)engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench:clear", [&] {
      if (TLWDatabase* db = engine->database()) {
        (void)db->sqliteStore()->deleteAllRecordsFromTableWithName("raw_events", nullptr);
      }
    });
  }

  // Rows in the engine's raw_events table; -1 when it cannot be read.
  static std::int64_t rawEventCount() {
    std::int64_t count = -1;
    auto engine = TLWMeasurement::sharedInstance();
    if (!engine) return count;
    (void)engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench:count", [&] {
      if (TLWDatabase* db = engine->database()) {
        count = db->sqliteStore()->rowCountForTableWithName("raw_events", nullptr).value_or(-1);
      }
    });
    return count;
  }

  const std::shared_ptr<platform::testing::TestEnvironment>& environment() const { return env_; }

 private:
  BenchLibrary() {
    env_ = platform::testing::TestEnvironment::create("com.vorlix.skyforge");
    env_->setNetworkClientFactory([](const std::string&) { return std::shared_ptr<platform::VXLNetwork>(); });
    platform::Environment::setCurrent(env_);
    (void)platform::TWKApp::configureWithOptions(platform::TWKOptions(kAppID), env_);
    auto counter = accepted_;
    (void)TWKAnalytics::addLogEventListener([counter](const std::shared_ptr<const TLWEvent>&) { counter->fetch_add(1); });
    TWKAnalytics::startWithConfiguration(platform::Value(), platform::TWKOptions(kAppID));
    // Start-up (database, configuration, first open) ends before anything is timed.
    drain();
  }

  std::shared_ptr<platform::testing::TestEnvironment> env_;
  std::shared_ptr<std::atomic<std::uint64_t>> accepted_ = std::make_shared<std::atomic<std::uint64_t>>(0);
};

}  // namespace tw_bench
