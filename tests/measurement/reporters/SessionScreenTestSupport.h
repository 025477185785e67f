#pragma once
// Shared pieces of the reporter tests: a test environment made current, a monitor whose
// lines are recorded, a persisted configuration in the sandbox, and hosts that record
// what the reporters log instead of going through an engine.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/reporters/TLWScreenViewReporting.h"
#include "measurement/reporters/TLWSessionReporting.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWDatabase.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/measurement/config/RemoteConfigTestSupport.h"
#include "tests/support/Logging.h"
#include "tests/support/Wait.h"

namespace session_screen_test {

struct Logged {
  std::string origin, name;
  platform::Dictionary parameters;
  std::optional<double> timestamp;
  std::int64_t integer(const char* key) const {
    const platform::Value* v = parameters.find(key);
    if (v && v->int64Value()) return *v->int64Value();
    return v && v->doubleValue() ? static_cast<std::int64_t>(*v->doubleValue()) : -1;
  }
  std::string string(const char* key) const { return parameters.get(key).stringOr("-"); }
};

// Records events, session properties and screen views; answers as the engine would.
class RecordingHost : public TLWSessionReporterHost, public TLWScreenViewEngine {
 public:
  void logInternalEvent(const std::string& name, const platform::Dictionary& parameters) override {
    record({"auto", name, parameters, std::nullopt});
  }
  void setSessionUserProperties(std::optional<std::int64_t> sid, std::optional<std::int64_t> sno) override {
    std::lock_guard lock(mutex_);
    sessionID = sid;
    sessionNumber = sno;
  }
  bool isAppActive() override {
    if (auto reporter = screens.lock()) return reporter->isAppActive();
    return active.load();
  }
  std::shared_ptr<TLWRemoteConfig> remoteConfig() override {
    std::lock_guard lock(mutex_);
    return config;
  }
  bool isMeasurementEnabled() override { return true; }
  std::shared_ptr<TLWSessionReporting> sessionReporter() override {
    std::lock_guard lock(mutex_);
    return session;
  }
  bool efficientEngagementReportingEnabled() override {
    std::lock_guard lock(mutex_);
    return config && config->efficientEngagementReportingEnabled();
  }
  void logScreenViewEvent(const std::string& origin, const platform::Dictionary& parameters,
                          std::optional<double> timestamp) override {
    record({origin, "_vs", parameters, timestamp});
  }

  std::vector<Logged> events(const std::string& name = {}) const {
    std::lock_guard lock(mutex_);
    std::vector<Logged> out;
    for (const auto& e : events_)
      if (name.empty() || e.name == name) out.push_back(e);
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }

  std::atomic<bool> active{true};
  std::optional<std::int64_t> sessionID, sessionNumber;
  std::shared_ptr<TLWSessionReporting> session;
  std::shared_ptr<TLWRemoteConfig> config;  // null: the defaults
  std::weak_ptr<TLWScreenViewReporting> screens;  // when set, the app is active as it says

 private:
  void record(Logged logged) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(logged));
  }
  mutable std::mutex mutex_;
  std::vector<Logged> events_;
};

class ReporterFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    env = platform::testing::TestEnvironment::create();
    ASSERT_TRUE(env);
    current = std::make_unique<platform::testing::ScopedCurrentEnvironment>(env);
    logger = std::make_shared<tw_test_support::RecordingLogger>();
    monitor = TLWMonitor::initWithLogLevel(8, logger, 80901, env);
    host = std::make_shared<RecordingHost>();
  }
  void TearDown() override {
    host->config.reset();
    database.reset();
    current.reset();
  }

  std::shared_ptr<TLWPersistedConfig> persistedConfig() {
    return TLWPersistedConfig::initWithSuiteName("com.vorlix.tallywise.reporter-tests", false, env, nullptr, monitor);
  }
  // Gives the host a real remote configuration: the defaults with `settings` applied.
  void useConfig(const std::shared_ptr<TLWPersistedConfig>& persisted,
                 const std::vector<rconfig_test::SettingPair>& settings) {
    if (!database) {
      TLWError error;
      database = TLWDatabase::initWithDatabaseName("reporters.sql", persisted, &error, env, monitor);
      ASSERT_TRUE(database) << error.description();
    }
    auto config = TLWRemoteConfig::initWithAppID(rconfig_test::kAppID, database, nullptr, {env, monitor});
    ASSERT_TRUE(config);
    config->parseRemoteConfigFromMeasurementConfig(*rconfig_test::makeConfig(rconfig_test::kAppID, settings));
    host->config = config;
  }
  // Log lines reach the recorder on the monitor's queue.
  bool logged(std::int64_t code) {
    return tw_test_support::waitFor([&] { return logger->hasCode(code); }, std::chrono::seconds(10));
  }

  std::shared_ptr<platform::testing::TestEnvironment> env;
  std::unique_ptr<platform::testing::ScopedCurrentEnvironment> current;
  std::shared_ptr<tw_test_support::RecordingLogger> logger;
  std::shared_ptr<TLWMonitor> monitor;
  std::shared_ptr<RecordingHost> host;
  std::shared_ptr<TLWDatabase> database;
};

}  // namespace session_screen_test
