#pragma once
// The purchase, campaign and search-ad reporter tests: a test sandbox with an app bundle,
// a monitor that records every line, the persisted configuration, and a record of the
// events a reporter logs.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/PropertyList.h"
#include "platform/app/Bundle.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Logging.h"

namespace reporter_test {

struct LoggedEvent {
  std::string name;
  platform::Dictionary parameters;
  long long integer(std::string_view key) const { return parameters.get(key).int64Value().value_or(-999); }
  std::string string(std::string_view key) const { return parameters.get(key).stringOr("(absent)"); }
};

class EventLog {
 public:
  void add(const std::string& name, const platform::Dictionary& parameters) {
    std::lock_guard lock(mutex_);
    events_.push_back({name, parameters});
  }
  std::vector<LoggedEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return events_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LoggedEvent> events_;
};

class ReporterFixture : public ::testing::Test {
 protected:
  static constexpr double kNow = 1'800'000'000.0;

  void SetUp() override {
    env_ = platform::testing::TestEnvironment::create("com.vorlix.skyforge");
    ASSERT_TRUE(env_);
    bundleDir_ = env_->root() + "/Skyforge.app";
    ASSERT_TRUE(env_->fileSystem()->createDirectories(bundleDir_));
    env_->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, bundleDir_);
    env_->fakeClock()->setNow(kNow);
    writeInfoPlist({});
    recorder_ = std::make_shared<tw_test_support::RecordingLogger>();
    monitor_ = TLWMonitor::initWithLogLevel(8, recorder_, kTLWLibraryNumericVersion, env_);
    auto standard = TLWUserDefaults::initWithSuiteName("", env_);
    persisted_ = TLWPersistedConfig::initWithSuiteName(std::string(kTLWPersistedConfigSuiteName), false, env_,
                                                       standard, monitor_);
    ASSERT_TRUE(persisted_);
  }

  void writeInfoPlist(platform::Dictionary extra) {
    platform::Dictionary info{{"CFBundleIdentifier", "com.vorlix.skyforge"},
                              {"CFBundleVersion", "1.0"},
                              {"VORLIX_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}};
    for (const auto& [key, value] : extra) info.set(key, value);
    auto bytes = platform::PropertyList::dataWithPropertyList(platform::Value(info), platform::PropertyListFormat::XML);
    ASSERT_TRUE(bytes);
    ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(bundleDir_ + "/Info.plist", *bytes));
  }

  bool logged(std::int64_t code) {
    monitor_->flush();
    return recorder_->hasCode(code);
  }

  tw_test_support::ScopedLoggerLevel loggerLevel_{platform::VXLLoggerLevel::Debug};
  std::shared_ptr<platform::testing::TestEnvironment> env_;
  std::string bundleDir_;
  std::shared_ptr<tw_test_support::RecordingLogger> recorder_;
  std::shared_ptr<TLWMonitor> monitor_;
  std::shared_ptr<TLWPersistedConfig> persisted_;
  EventLog events_;
};

}  // namespace reporter_test
