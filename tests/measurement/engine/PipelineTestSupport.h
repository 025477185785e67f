#pragma once
// A real measurement database in a test sandbox, a real scheduler and persisted
// configuration, and fakes for what only the engine knows, shared by the event and user
// property pipeline tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "measurement/engine/TLWEventPipeline.h"
#include "measurement/engine/TLWMeasurementWritePath.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/engine/TLWUserPropertyPipeline.h"
#include "measurement/model/TLWRawEventData.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/VXLLogger.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/measurement/engine/EngineTestSupport.h"
#include "tests/support/Logging.h"

namespace pipeline_test {

class FakeHost : public TLWEventPipelineHost {
 public:
  bool isMeasurementEnabled() override { return enabled.load(); }
  std::vector<std::string> safelistedEvents() override {
    std::lock_guard<std::mutex> lock(mutex);
    return safelist;
  }
  bool isAppActive() override { return appActive.load(); }
  bool isSessionExpired() override { return sessionExpired.load(); }
  bool extendSession() override {
    ++extendCalls;
    return true;
  }
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) override {
    std::lock_guard<std::mutex> lock(mutex);
    sessionStarts.emplace_back(timestamp, appInBackground);
  }
  void notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>> events) override {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& event : events) notified.push_back(event ? event->name() : "(null)");
  }
  bool hasEventListeners() override { return listening.load(); }
  void updateSchedule() override { ++scheduleUpdates; }

  std::vector<std::string> notifiedNames() {
    std::lock_guard<std::mutex> lock(mutex);
    return notified;
  }

  std::atomic<bool> enabled{true};
  std::atomic<bool> listening{true};
  std::atomic<bool> appActive{true};
  std::atomic<bool> sessionExpired{false};
  std::atomic<int> extendCalls{0};
  std::atomic<int> scheduleUpdates{0};
  std::mutex mutex;
  std::vector<std::string> safelist;
  std::vector<std::pair<double, bool>> sessionStarts;
  std::vector<std::string> notified;
};

// Limits small enough to reach in a test.
class TestSettings : public TLWEventPipelineSettings {
 public:
  std::int32_t maxEventsPerDay() override { return maxEvents; }
  std::int32_t maxPublicEventsPerDay() override { return maxPublicEvents; }
  std::int32_t maxErrorEventsPerDay() override { return maxErrorEvents; }
  std::int32_t maxConversionsPerDay() override { return maxConversions; }
  std::int32_t maxRealtimeEventCountPerDay() override { return maxRealtime; }
  std::int32_t maxEventNameCardinality() override { return maxCardinality; }
  std::int32_t maxPublicEventParams() override { return maxParams; }
  std::int32_t maxPublicUserProperties() override { return maxPublicProperties; }
  std::int32_t maxTrackedCurrencies() override { return maxCurrencies; }
  bool isEventBlocklisted(std::string_view name) override {
    return blocklisted.count(std::string(name)) > 0 || (publicBlocklist && !name.empty() && name[0] != '_');
  }
  bool blocklistInternal() override { return false; }
  bool blocklistPublic() override { return publicBlocklist; }
  bool isEventCustomConversion(std::string_view name) override { return customConversions.count(std::string(name)) > 0; }
  bool isEventEditingEnabled() override { return editor != nullptr; }
  TLWEventEditOutcome editEvent(const TLWEvent::EditForm& event) override { return editor(event); }

  std::int32_t maxEvents = 100000, maxPublicEvents = 50000, maxErrorEvents = 1000, maxConversions = 10000,
               maxRealtime = 10, maxCardinality = 500, maxParams = 25, maxPublicProperties = 25, maxCurrencies = 4;
  bool publicBlocklist = false;
  std::set<std::string> blocklisted;
  std::set<std::string> customConversions;
  std::function<TLWEventEditOutcome(const TLWEvent::EditForm&)> editor;
};

class TestIdentity : public TLWEventPipelineIdentity {
 public:
  TLWRawEventMetadataInputs rawEventMetadataInputs() override {
    // Stands for any code on the write path that throws.
    if (throwsLeft.load() > 0 && throwsLeft.fetch_sub(1) > 0) throw std::bad_alloc();
    std::lock_guard<std::mutex> lock(mutex);
    return inputs;
  }
  void setInputs(TLWRawEventMetadataInputs in) {
    std::lock_guard<std::mutex> lock(mutex);
    inputs = std::move(in);
  }
  std::atomic<int> throwsLeft{0};
  std::mutex mutex;
  TLWRawEventMetadataInputs inputs = [] {
    TLWRawEventMetadataInputs in;
    in.appID = "com.vorlix.tallywise.tests";
    in.appVersion = "1.2.3";
    in.appIDFromZEL = "1:1234567890:ios:abcdef";
    in.identifiers.appInstanceID = "0123456789ABCDEF0123456789ABCDEF";
    return in;
  }();
};

using tw_test_support::RecordingLogger;

class PipelineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    env = platform::testing::TestEnvironment::create();
    ASSERT_TRUE(env);
    monitor = TLWMonitor::initWithLogLevel(8, logger, kTLWLibraryNumericVersion, env);
    monitor->setVerboseLoggingEnabled(true);
    persisted = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env,
                                                      TLWUserDefaults::initWithSuiteName("", env), monitor);
    ASSERT_TRUE(persisted);
    persisted->setMidnightOffset(0);
    TLWError error;
    database = std::shared_ptr<TLWDatabase>(
        TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, persisted, &error, env, monitor));
    ASSERT_TRUE(database) << error.localizedDescription();
    scheduler = TLWScheduler::initWithWorkerQueueLabel("com.vorlix.twka.worker.test");
    auto path = TLWMeasurementWritePath::create({.database = database,
                                                 .persistedConfig = persisted,
                                                 .scheduler = scheduler,
                                                 .host = host,
                                                 .settings = settings,
                                                 .identity = identity,
                                                 .env = env,
                                                 .monitor = monitor});
    userProperties = path.userProperties;
    ASSERT_TRUE(userProperties);
    pipeline = path.eventPipeline;
    ASSERT_TRUE(pipeline);
  }

  void TearDown() override {
    drain();
  }

  template <class F>
  void onWorker(F&& block) {
    ASSERT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID("test", std::forward<F>(block)));
  }
  // Runs what is queued on the worker queue, including blocks queued by those blocks.
  void drain() {
    if (!scheduler) return;
    for (int i = 0; i < 4; ++i) (void)scheduler->dispatchSyncOnWorkerQueueBlockID("drain", [] {});
  }
  bool logged(std::int64_t code) { return logCount(code) > 0; }
  int logCount(std::int64_t code) {
    monitor->flush();
    return logger->count(code);
  }

  static bool isPublicName(const std::string& name) { return !name.empty() && name[0] != '_'; }
  void log(const std::string& name, platform::Dictionary parameters = {}, const std::string& origin = "app") {
    pipeline->logEventWithOrigin(origin, isPublicName(name), name, std::move(parameters), env->clock()->now(), true,
                                 false, false, nullptr);
  }

  std::vector<std::shared_ptr<TLWRawEventData>> storedEvents() {
    std::vector<std::shared_ptr<TLWRawEventData>> out;
    drain();
    onWorker([&] {
      auto rows = database->sqliteStore()->recordsForQuery("SELECT rowid, * FROM raw_events ORDER BY rowid", {},
                                                            nullptr);
      if (!rows) return;
      for (const auto& row : *rows) {
        if (auto data = database->rawEventDataFromDictionary(row, nullptr)) out.push_back(data);
      }
    });
    return out;
  }
  std::vector<std::string> storedNames() {
    std::vector<std::string> names;
    for (const auto& e : storedEvents()) names.push_back(e->rawEvent()->name());
    return names;
  }
  // Stored "_err" events carrying this code.
  int storedErrorEvents(std::int64_t code) {
    int n = 0;
    for (const auto& e : storedEvents()) {
      const auto& p = e->rawEvent()->parameters();
      auto it = p.find("_err");
      if (e->rawEvent()->name() == "_err" && it != p.end() && it->second.int64Value() == code) ++n;
    }
    return n;
  }
  std::int64_t rowCount(const std::string& table) {
    std::int64_t n = -1;
    onWorker([&] { n = database->sqliteStore()->rowCountForTableWithName(table, nullptr).value_or(-1); });
    return n;
  }
  TLWDailyCounts counts() {
    std::optional<TLWDailyCounts> c;
    onWorker([&] { c = database->dailyCounts(nullptr); });
    return c.value_or(TLWDailyCounts(0, 0, 0, 0, 0, 0));
  }
  void setCounts(std::int32_t conversions, std::int32_t all, std::int32_t publicEvents, std::int32_t errors,
                 std::int32_t realtime) {
    onWorker([&] {
      ASSERT_TRUE(database->updateDailyCounts(
          TLWDailyCounts(pipeline->currentDayNumber(), conversions, all, publicEvents, errors, realtime), nullptr));
    });
  }
  std::shared_ptr<TLWUserAttribute> attribute(const std::string& origin, const std::string& name, TLWValue value) {
    return TLWUserAttribute::initWithOrigin(origin, name, value, env->clock()->now());
  }
  bool storeProperty(const std::string& origin, const std::string& name, TLWValue value) {
    bool ok = false;
    auto a = attribute(origin, name, value);
    if (!a) return false;
    onWorker([&] { ok = userProperties->setUserPropertyInDatabaseOnWorkerQueue(*a); });
    return ok;
  }

  tw_test_support::ScopedLoggerLevel loggerLevel_{platform::VXLLoggerLevel::Debug};
  std::shared_ptr<platform::testing::TestEnvironment> env;
  std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
  std::shared_ptr<TLWMonitor> monitor;
  std::shared_ptr<TLWPersistedConfig> persisted;
  std::shared_ptr<TLWDatabase> database;
  std::shared_ptr<TLWScheduler> scheduler;
  std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
  std::shared_ptr<TestSettings> settings = std::make_shared<TestSettings>();
  std::shared_ptr<TestIdentity> identity = std::make_shared<TestIdentity>();
  std::shared_ptr<TLWUserPropertyPipeline> userProperties;
  std::shared_ptr<TLWEventPipeline> pipeline;
};

}  // namespace pipeline_test
