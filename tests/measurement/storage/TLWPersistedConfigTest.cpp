#include "measurement/storage/TLWPersistedConfig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "measurement/storage/TLWUserDefaults.h"
#include "tests/measurement/storage/StorageTestSupport.h"

using platform::Value;
using storage_test::CapturedMonitor;
using storage_test::TempDir;
using storage_test::TestStorageEnvironment;

namespace {

class TLWPersistedConfigTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<TestStorageEnvironment> env = std::make_shared<TestStorageEnvironment>(dir.path());
  CapturedMonitor captured{env};
  std::shared_ptr<TLWUserDefaults> standard = TLWUserDefaults::initWithSuiteName("", env);
  const std::string suite = "com.vorlix.zel.measurement";

  std::shared_ptr<TLWPersistedConfig> make(bool applicationSupport) {
    return TLWPersistedConfig::initWithSuiteName(suite, applicationSupport, env, standard, captured.monitor);
  }
  std::string preferencesFile() const { return dir.path() + "/Library/Preferences/" + suite + ".plist"; }
  std::string supportFile() const {
    return dir.path() + "/Library/Application Support/Vorlix/Measurement/" + suite + ".plist";
  }
};

TEST_F(TLWPersistedConfigTest, AccessorsUseTheirKeysAndTypedReadsRefuseOtherKinds) {
  auto config = make(false);
  ASSERT_TRUE(config);
  config->setSessionNumber(4);
  config->setAppInstanceID("abc");
  config->setLastBackoffTimestamp(12.5);
  config->setShouldSetLastAdvertisingIDResetUserProperty(true);
  config->setDefaultEventParameters(platform::Dictionary{{"level", 5}});
  EXPECT_EQ(config->objectForKey("/vorlix/measurement/session_number"), Value(4));
  EXPECT_EQ(config->objectForKey("/vorlix/measurement/app_instance_id"), Value("abc"));
  EXPECT_EQ(config->objectForKey("/vorlix/measurement/last_backoff"), Value(12.5));
  EXPECT_EQ(config->objectForKey("/vorlix/measurement/set_last_advertising_id_reset"), Value(1));
  EXPECT_EQ(config->defaultEventParameters()->get("level"), Value(5));
  EXPECT_EQ(config->sessionNumber(), 4);
  EXPECT_TRUE(config->shouldSetLastAdvertisingIDResetUserProperty());

  config->setObject(Value("seven"), "/vorlix/measurement/session_number");
  EXPECT_EQ(config->sessionNumber(), 0);
  config->setAppInstanceID(std::nullopt);
  EXPECT_EQ(config->appInstanceID(), std::nullopt);
  config->setSearchAdCampaignValue(Value("not a number"));
  EXPECT_TRUE(config->searchAdCampaignValue().isNull());
  config->setSearchAdCampaignValue(Value(true));
  EXPECT_EQ(config->searchAdCampaignValue(), Value(true));

  config->setObject(Value::url("https://example.invalid/"), "/vorlix/measurement/load_timestamp");
  EXPECT_TRUE(captured.logged(27002));
  EXPECT_TRUE(config->loadTimestampValue().isNull());

  config->clearValues();
  EXPECT_EQ(config->sessionNumber(), 0);
  EXPECT_FALSE(TLWPersistedConfig::initWithSuiteName("", false, env, standard, captured.monitor));
}

TEST_F(TLWPersistedConfigTest, MidnightOffsetIsCreatedOnceWithinADay) {
  auto config = make(false);
  ASSERT_TRUE(config);
  double offset = config->midnightOffset();
  EXPECT_GE(offset, 0.0);
  EXPECT_LT(offset, 86400.0);
  EXPECT_EQ(config->midnightOffset(), offset);
  EXPECT_EQ(config->objectForKey("/vorlix/measurement/midnight_offset"), Value(offset));
  // Millisecond resolution.
  EXPECT_DOUBLE_EQ(std::round(offset * 1000) / 1000, offset);
  config->setObject(Value("garbage"), "/vorlix/measurement/midnight_offset");
  double replaced = config->midnightOffset();
  EXPECT_GE(replaced, 0.0);
  EXPECT_LT(replaced, 86400.0);
  EXPECT_EQ(config->midnightOffset(), replaced);
}

// A kept reading is good until any write or clearing, of any key: each must be seen by
// the next read, and nothing else may cost one.
TEST_F(TLWPersistedConfigTest, AKeptReadingIsReadAgainAfterEveryWriteAndOnlyThen) {
  auto config = make(false);
  ASSERT_TRUE(config);
  TLWPersistedReading<double> kept;
  int reads = 0;
  auto read = [&] {
    ++reads;
    return config->lastSessionActivityClockTime();
  };
  EXPECT_EQ(kept.get(*config, read), 0.0);
  EXPECT_EQ(kept.get(*config, read), 0.0);
  EXPECT_EQ(reads, 1);
  (void)config->appInstanceID();  // a read is no change
  EXPECT_EQ(kept.get(*config, read), 0.0);
  EXPECT_EQ(reads, 1);

  config->setLastSessionActivityClockTime(42);
  EXPECT_EQ(kept.get(*config, read), 42.0);
  config->setSessionNumber(3);  // another key
  EXPECT_EQ(kept.get(*config, read), 42.0);
  EXPECT_EQ(reads, 3);
  config->clearValues();
  EXPECT_EQ(kept.get(*config, read), 0.0);
  EXPECT_EQ(reads, 4);
}

TEST_F(TLWPersistedConfigTest, WritesAreFlushedOnceASecondAfterTheBurst) {
  auto config = make(false);
  ASSERT_TRUE(config);
  config->setSessionNumber(1);
  config->setSessionNumber(2);
  EXPECT_FALSE(std::filesystem::exists(preferencesFile()));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!std::filesystem::exists(preferencesFile()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(std::filesystem::exists(preferencesFile()));
  env->relaunch();
  auto again = TLWPersistedConfig::initWithSuiteName(suite, false, env, standard, captured.monitor);
  EXPECT_EQ(again->sessionNumber(), 2);
}

TEST_F(TLWPersistedConfigTest, MeasurementEnabledStateLivesInStandardPreferencesAndIsFlushedAtOnce) {
  auto config = make(false);
  ASSERT_TRUE(config);
  config->setMeasurementEnabledState(2);
  EXPECT_EQ(config->measurementEnabledState(), 2);
  EXPECT_EQ(standard->integerForKey("/vorlix/measurement/measurement_enabled_state"), 2);
  EXPECT_TRUE(config->objectForKey("/vorlix/measurement/measurement_enabled_state").isNull());
  EXPECT_TRUE(std::filesystem::exists(standard->preferenceFilePath()));
}

TEST_F(TLWPersistedConfigTest, SwitchingToApplicationSupportAndBackKeepsValues) {
  {
    auto config = make(false);
    ASSERT_TRUE(config);
    config->setAppVersion("1.2");
    config->setSessionNumber(9);
    ASSERT_TRUE(config->synchronizeToDisk());
    ASSERT_TRUE(std::filesystem::exists(preferencesFile()));
  }
  env->relaunch();
  {
    auto config = make(true);
    ASSERT_TRUE(config);
    EXPECT_TRUE(config->usesApplicationSupport());
    EXPECT_FALSE(std::filesystem::exists(preferencesFile()));
    EXPECT_TRUE(std::filesystem::exists(supportFile()));
    EXPECT_EQ(config->appVersion(), "1.2");
    EXPECT_EQ(config->sessionNumber(), 9);
    config->setSessionNumber(10);
    ASSERT_TRUE(config->synchronizeToDisk());
  }
  env->relaunch();
  {
    auto config = make(false);
    ASSERT_TRUE(config);
    EXPECT_FALSE(config->usesApplicationSupport());
    EXPECT_FALSE(std::filesystem::exists(supportFile()));
    EXPECT_EQ(config->sessionNumber(), 10);
    EXPECT_EQ(config->appVersion(), "1.2");
  }
}

TEST_F(TLWPersistedConfigTest, SafeFromManyThreads) {
  auto config = make(true);
  ASSERT_TRUE(config);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) config->setInt64(i, "/vorlix/measurement/t" + std::to_string(t));
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(config->int64ForKey("/vorlix/measurement/t" + std::to_string(t)), 99);
}

}  // namespace
