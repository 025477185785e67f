#pragma once
// Shared pieces of the consent and identity tests: a test environment whose app bundle
// (Info.plist, service-info list) is written before anything reads it, a monitor whose
// lines are captured, and remote configurations with chosen settings.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RemoteConfigTestSupport.h"
#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/monitor/TLWMonitor.h"
#include "platform/PropertyList.h"
#include "platform/VXLLogger.h"
#include "platform/app/Bundle.h"
#include "platform/testing/TestEnvironment.h"

namespace consent_test {

using rconfig_test::RecordingLogger;
using rconfig_test::SettingPair;

inline constexpr const char* kAppID = rconfig_test::kAppID;

class ConsentFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = platform::testing::TestEnvironment::create();
    ASSERT_TRUE(env_);
    bundleDir_ = env_->root() + "/Game.app";
    ASSERT_TRUE(env_->fileSystem()->createDirectories(bundleDir_));
    env_->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, bundleDir_);
    monitor_ = TLWMonitor::initWithLogLevel(8, logger_, kTLWLibraryNumericVersion, env_);
    monitor_->setLogLevel(8);
  }
  void TearDown() override {
    if (monitor_) monitor_->flush();
  }

  // Must run before the environment's main bundle is first asked for.
  void writeInfoPlist(const platform::Dictionary& info) { writePlist("Info.plist", platform::Value(info)); }
  void writeServiceInfoPlist(const platform::Dictionary& info) {
    writePlist("VorlixService-Info.plist", platform::Value(info));
  }
  void writePlist(const std::string& name, const platform::Value& value) {
    auto bytes = platform::PropertyList::dataWithPropertyList(value, platform::PropertyListFormat::XML);
    ASSERT_TRUE(bytes);
    ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(bundleDir_ + "/" + name, *bytes));
  }

  // A remote configuration for this app carrying `settings`, applied without a database.
  std::shared_ptr<TLWRemoteConfig> remoteConfigWith(const std::vector<SettingPair>& settings) {
    TLWRemoteConfigDependencies deps;
    deps.env = env_;
    deps.monitor = monitor_;
    auto rc = TLWRemoteConfig::initWithAppID(kAppID, nullptr, nullptr, nullptr, deps);
    if (rc) rc->parseRemoteConfigFromMeasurementConfig(*rconfig_test::makeConfig(kAppID, settings));
    drainSample();
    return rc;
  }

  std::size_t logged(std::int64_t code) {
    monitor_->flush();
    return static_cast<std::size_t>(logger_->count(code));
  }
  // Silent levels (2 and 5) reach only the health sample, which keeps one message per
  // window: the message sampled since the last call, or "".
  std::string drainSample() {
    monitor_->flush();
    return monitor_->monitoringDataForDispatchWithSamplePeriod(-1, 0).value_or("");
  }
  bool sampled(std::string_view message) { return drainSample().find(message) != std::string::npos; }

  tw_test_support::ScopedLoggerLevel loggerLevel_{platform::VXLLoggerLevel::Debug};
  std::shared_ptr<platform::testing::TestEnvironment> env_;
  std::string bundleDir_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
  std::shared_ptr<TLWMonitor> monitor_;
};

inline platform::Dictionary consent(std::optional<platform::Value> ad, std::optional<platform::Value> analytics) {
  platform::Dictionary d;
  if (ad) d.set("ad_storage", *ad);
  if (analytics) d.set("analytics_storage", *analytics);
  return d;
}

}  // namespace consent_test
