#pragma once
// Engine lifecycle tests: one sandbox (a TestEnvironment) on which "launches" follow each
// other. Each launch is what a new process would have: a fresh environment wrapper (so the
// app bundle is read again), persisted configuration, consent state, identity, front
// controller and engine over the same files.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/engine/TLWMeasurement.h"
#include "measurement/engine/TLWMeasurementFrontController.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWSqliteStore.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/PropertyList.h"
#include "platform/VXLLogger.h"
#include "platform/app/Bundle.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Logging.h"

namespace measurement_test {

using tw_test_support::RecordingLogger;

// The front controller a launch lends its engine: the real suite, an inline gate, and a
// record of the events handed to listeners.
class RecordingFront : public TLWMeasurementFrontController {
 public:
  RecordingFront(std::shared_ptr<platform::Environment> env, double loadTimestamp)
      : suite_(TLWUserDefaults::initWithSuiteName(std::string(kTLWAnalyticsSuiteName), std::move(env))),
        loadTimestamp_(loadTimestamp) {}

  double loadTimestamp() override { return loadTimestamp_.load(); }
  void setLoadTimestamp(double t) { loadTimestamp_.store(t); }
  std::shared_ptr<TLWKeyValueStore> settingsSuite() override { return suite_; }
  void queueOperationWithBlock(std::function<void()> block) override {
    ++gatedBlocks;
    if (block) block();
  }
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const platform::Dictionary& parameters) override {
    if (auto engine = engine_.lock()) {
      engine->logEventWithOrigin(origin, false, name, parameters, loadTimestamp_.load(), engine->enabled(), false,
                                 false, nullptr, {});
    }
  }
  void notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>> events) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& event : events) {
      if (event) events_.push_back(std::move(event));
    }
  }

  void attach(std::weak_ptr<TLWMeasurement> engine) { engine_ = std::move(engine); }
  std::vector<std::shared_ptr<TLWEvent>> events(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<TLWEvent>> out;
    for (const auto& e : events_) {
      if (e->name() == name) out.push_back(e);
    }
    return out;
  }
  const std::shared_ptr<TLWUserDefaults>& suite() const { return suite_; }
  std::atomic<int> gatedBlocks{0};

 private:
  std::shared_ptr<TLWUserDefaults> suite_;
  std::atomic<double> loadTimestamp_;
  std::weak_ptr<TLWMeasurement> engine_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<TLWEvent>> events_;
};

struct LaunchOptions {
  std::string appID = "1:1234567890:ios:abcdef";
  bool enabled = true;
  bool deactivated = false;
  // Set on the identity before the engine starts, as the front controller's start-up does.
  std::string registeredAppID;
  // Last changes to the engine's dependencies (seams, network).
  std::function<void(TLWMeasurementDependencies&)> customize;
  // Build through initWithAppID (start-up hints, network client from the environment).
  bool throughInitWithAppID = false;
};

class Launch {
 public:
  Launch(const std::shared_ptr<platform::testing::TestEnvironment>& sandbox, const LaunchOptions& options)
      : env(std::make_shared<platform::EnvironmentWrapper>(sandbox)), current(env) {
    recorder = std::make_shared<RecordingLogger>();
    monitor = TLWMonitor::initWithLogLevel(8, recorder, kTLWLibraryNumericVersion, env);
    auto standard = TLWUserDefaults::initWithSuiteName("", env);
    persisted = TLWPersistedConfig::initWithSuiteName(std::string(kTLWPersistedConfigSuiteName), false, env, standard,
                                                      monitor);
    consent = TLWConsentSettingsUtil::create(monitor);
    identity = TLWIdentity::initWithPersistedConfig(persisted, env, consent, nullptr, monitor);
    if (!options.registeredAppID.empty()) identity->setAppIDFromZEL(options.registeredAppID);
    front = std::make_shared<RecordingFront>(env, env->clock()->now());
    TLWMeasurementDependencies deps;
    deps.environment = env;
    deps.persistedConfig = persisted;
    deps.monitor = monitor;
    deps.frontController = front;
    deps.identity = identity;
    deps.consent = consent;
    if (options.customize) options.customize(deps);
    engine = options.throughInitWithAppID
                 ? TLWMeasurement::initWithAppID(options.appID, options.enabled, options.deactivated, std::nullopt, deps)
                 : TLWMeasurement::initWithDependencies(options.appID, options.enabled, options.deactivated,
                                                        std::nullopt, deps);
    if (engine) front->attach(engine);
  }

  ~Launch() {
    if (engine) drain();
    if (persisted) persisted->synchronizeToDisk();
    if (front) front->suite()->synchronize();
    engine.reset();
    if (monitor) monitor->flush();
  }

  // Waits until the worker queue has run everything queued so far, a few rounds deep.
  void drain() {
    for (int i = 0; i < 4; ++i) {
      EXPECT_TRUE(engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("test:drain", [] {}));
    }
    if (monitor) monitor->flush();
  }

  // Runs `block` on the worker queue and waits for it.
  void onWorker(const std::function<void()>& block) {
    EXPECT_TRUE(engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("test:block", block));
  }

  std::vector<std::string> storedEventNames() {
    std::vector<std::string> names;
    onWorker([&] {
      TLWDatabase* db = engine->database();
      if (!db) return;
      TLWError error;
      auto rows = db->sqliteStore()->recordsForQuery("SELECT name FROM raw_events ORDER BY rowid", {}, &error);
      if (!rows) return;
      for (const auto& row : *rows) names.push_back(row.get("name").stringOr());
    });
    return names;
  }

  std::shared_ptr<TLWUserAttribute> storedProperty(const std::string& name) {
    std::shared_ptr<TLWUserAttribute> found;
    onWorker([&] {
      if (TLWDatabase* db = engine->database()) {
        TLWError error;
        found = db->userAttributeWithName(name, &error);
      }
    });
    return found;
  }

  std::shared_ptr<platform::Environment> env;
  platform::testing::ScopedCurrentEnvironment current;
  std::shared_ptr<RecordingLogger> recorder;
  std::shared_ptr<TLWMonitor> monitor;
  std::shared_ptr<TLWPersistedConfig> persisted;
  std::shared_ptr<TLWConsentSettingsUtil> consent;
  std::shared_ptr<TLWIdentity> identity;
  std::shared_ptr<RecordingFront> front;
  std::shared_ptr<TLWMeasurement> engine;
};

// A sandbox with an app bundle whose Info.plist can be rewritten between launches.
class MeasurementFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = platform::testing::TestEnvironment::create("com.vorlix.skyforge");
    ASSERT_TRUE(sandbox_);
    bundleDir_ = sandbox_->root() + "/Skyforge.app";
    ASSERT_TRUE(sandbox_->fileSystem()->createDirectories(bundleDir_));
    sandbox_->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, bundleDir_);
    sandbox_->fakeClock()->setNow(1'700'000'000.0);
    writeInfoPlist("1.0");
  }

  void writeInfoPlist(const std::string& version, platform::Dictionary extra = {}) {
    platform::Dictionary info{{"CFBundleIdentifier", "com.vorlix.skyforge"},
                              {"CFBundleShortVersionString", version},
                              {"CFBundleVersion", version}};
    for (const auto& [key, value] : extra) info.set(key, value);
    auto bytes = platform::PropertyList::dataWithPropertyList(platform::Value(info), platform::PropertyListFormat::XML);
    ASSERT_TRUE(bytes);
    ASSERT_TRUE(sandbox_->fileSystem()->writeFileAtomically(bundleDir_ + "/Info.plist", *bytes));
  }

  std::unique_ptr<Launch> launch(LaunchOptions options = {}) {
    sandbox_->relaunch();
    auto l = std::make_unique<Launch>(sandbox_, options);
    EXPECT_TRUE(l->engine);
    if (l->engine) l->drain();
    return l;
  }

  tw_test_support::ScopedLoggerLevel loggerLevel_{platform::VXLLoggerLevel::Debug};
  std::shared_ptr<platform::testing::TestEnvironment> sandbox_;
  std::string bundleDir_;
};

}  // namespace measurement_test
