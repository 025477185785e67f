#pragma once
// Shared pieces of the remote-configuration tests: a test environment with a real
// measurement database in its sandbox, a monitor whose lines are captured, and builders
// for configuration messages.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/VXLLogger.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Logging.h"

namespace rconfig_test {

inline constexpr const char* kAppID = "1:1234567890:ios:abcdef";

using tw_test_support::RecordingLogger;

struct SettingPair {
  std::string name;
  std::optional<std::string> value;
};

struct EventConfigSpec {
  std::string name;
  std::optional<bool> blocklisted;
  std::optional<bool> customConversion;
  std::optional<std::int32_t> samplingRate;
};

inline std::shared_ptr<TLWPBMeasurementConfig> makeConfig(const std::string& appID,
                                                          const std::vector<SettingPair>& settings,
                                                          const std::vector<EventConfigSpec>& eventConfigs = {},
                                                          std::optional<std::int64_t> version = std::nullopt) {
  auto config = TLWPBMeasurementConfig::initWithMessageInfo();
  config->SetString(TLWPBMeasurementConfig::kAppId, appID);
  if (version) config->SetInt64(TLWPBMeasurementConfig::kVersion, *version);
  for (const auto& s : settings) {
    auto setting = TLWPBSetting::initWithMessageInfo();
    setting->SetString(TLWPBSetting::kName, s.name);
    if (s.value) setting->SetString(TLWPBSetting::kValue, *s.value);
    config->AddRepeatedMessage(TLWPBMeasurementConfig::kSettings, *setting);
  }
  for (const auto& e : eventConfigs) {
    auto eventConfig = TLWPBEventConfig::initWithMessageInfo();
    eventConfig->SetString(TLWPBEventConfig::kName, e.name);
    if (e.blocklisted) eventConfig->SetBool(TLWPBEventConfig::kBlocklisted, *e.blocklisted);
    if (e.customConversion) eventConfig->SetBool(TLWPBEventConfig::kCustomConversion, *e.customConversion);
    if (e.samplingRate) eventConfig->SetInt32(TLWPBEventConfig::kSamplingRate, *e.samplingRate);
    config->AddRepeatedMessage(TLWPBMeasurementConfig::kEventConfig, *eventConfig);
  }
  return config;
}

// An environment, a captured monitor and a real database in the sandbox.
class RemoteConfigFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = platform::testing::TestEnvironment::create();
    ASSERT_TRUE(env_);
    monitor_ = TLWMonitor::initWithLogLevel(8, logger_, kTLWLibraryNumericVersion, env_);
    monitor_->setLogLevel(8);
    openDatabase();
  }
  void TearDown() override {
    database_.reset();
    if (monitor_) monitor_->flush();
  }

  void openDatabase() {
    persisted_ = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env_, nullptr, monitor_);
    ASSERT_TRUE(persisted_);
    TLWError error;
    database_ = std::shared_ptr<TLWDatabase>(
        TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, persisted_, &error, env_, monitor_));
    ASSERT_TRUE(database_) << error.description();
  }

  TLWRemoteConfigDependencies dependencies() {
    TLWRemoteConfigDependencies deps;
    deps.env = env_;
    deps.monitor = monitor_;
    return deps;
  }

  std::shared_ptr<TLWRemoteConfig> makeRemoteConfig(std::shared_ptr<TLWExperimentFlags> experiments = nullptr) {
    return TLWRemoteConfig::initWithAppID(kAppID, database_, std::move(experiments), dependencies());
  }

  // A configuration for this app applied without the database. It always carries one
  // unrelated setting: a configuration without any is ignored whole.
  std::shared_ptr<TLWRemoteConfig> configWith(std::vector<SettingPair> settings,
                                              const std::vector<EventConfigSpec>& eventConfigs = {}) {
    settings.insert(settings.begin(), SettingPair{"measurement.test.marker", "1"});
    auto rc = makeRemoteConfig();
    if (rc) rc->parseRemoteConfigFromMeasurementConfig(*makeConfig(kAppID, settings, eventConfigs));
    return rc;
  }

  // Lines printed with `code`. Levels 2 and 5 never print (they are only sampled), so
  // only codes logged at other levels can be counted here.
  std::size_t logged(std::int64_t code) {
    monitor_->flush();
    return static_cast<std::size_t>(logger_->count(code));
  }

  tw_test_support::ScopedLoggerLevel loggerLevel_{platform::VXLLoggerLevel::Debug};
  std::shared_ptr<platform::testing::TestEnvironment> env_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
  std::shared_ptr<TLWMonitor> monitor_;
  std::shared_ptr<TLWPersistedConfig> persisted_;
  std::shared_ptr<TLWDatabase> database_;
};

}  // namespace rconfig_test
