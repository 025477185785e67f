#pragma once
// A bundler over a real database in a test sandbox, with real pipelines, a configuration
// built from settings, and helpers that store raw events and read back what was queued
// (gunzipped and parsed from the queue table itself).

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/engine/TLWBundler.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/Gzip.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/BundlerRig.h"
#include "tests/support/Logging.h"

namespace bundler_test {

inline constexpr const char* kAppID = "1:1234567890:ios:abcdef";
inline constexpr const char* kBundleAppID = "com.vorlix.tallywise.tests";
// 2023-11-14 22:13:20 UTC.
inline constexpr double kNow = 1700000000.0;

using tw_test_support::RecordingLogger;

struct Setting {
  std::string name;
  std::string value;
};
struct EventConfig {
  std::string name;
  bool blocklisted = false;
  std::optional<std::int32_t> samplingRate;
};

class BundlerFixture : public ::testing::Test, protected tw_test_support::BundlerParts {
 protected:
  void SetUp() override {
    env = platform::testing::TestEnvironment::create(kBundleAppID);
    ASSERT_TRUE(env);
    env->fakeClock()->setNow(kNow);
    monitor = TLWMonitor::initWithLogLevel(8, logger, kTLWLibraryNumericVersion, env);
    monitor->setLogLevel(8);
    persisted = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env, nullptr, monitor);
    ASSERT_TRUE(persisted);
    TLWError error;
    database = std::shared_ptr<TLWDatabase>(
        TLWDatabase::initWithDatabaseName("bundler-test.sql", persisted, &error, env, monitor));
    ASSERT_TRUE(database) << error.description();
    scheduler = TLWScheduler::initWithWorkerQueueLabel("com.vorlix.twka.worker.test");
    makePipelines();
    ASSERT_TRUE(userProperties);
    ASSERT_TRUE(pipeline);
    configure({});
  }

  // A new configuration (and a bundler reading it).
  // A configuration without settings is ignored whole, so one default setting is always sent.
  void configure(std::vector<Setting> settings, const std::vector<EventConfig>& events = {}) {
    settings.push_back({"measurement.upload.max_bundles", "100"});
    auto config = TLWPBMeasurementConfig::initWithMessageInfo();
    config->SetInt64(TLWPBMeasurementConfig::kVersion, 42);
    config->SetString(TLWPBMeasurementConfig::kAppId, kAppID);
    for (const auto& s : settings) {
      auto m = TLWPBSetting::initWithMessageInfo();
      m->SetString(TLWPBSetting::kName, s.name);
      m->SetString(TLWPBSetting::kValue, s.value);
      config->AddRepeatedMessage(TLWPBMeasurementConfig::kSettings, *m);
    }
    for (const auto& e : events) {
      auto m = TLWPBEventConfig::initWithMessageInfo();
      m->SetString(TLWPBEventConfig::kName, e.name);
      if (e.blocklisted) m->SetBool(TLWPBEventConfig::kBlocklisted, true);
      if (e.samplingRate) m->SetInt32(TLWPBEventConfig::kSamplingRate, *e.samplingRate);
      config->AddRepeatedMessage(TLWPBMeasurementConfig::kEventConfig, *m);
    }
    TLWRemoteConfigDependencies rd;
    rd.env = env;
    rd.monitor = monitor;
    remoteConfig = TLWRemoteConfig::initWithAppID(kAppID, database, config, nullptr, rd);
    ASSERT_TRUE(remoteConfig);
    makeBundler();
  }

  void makeBundler() {
    bundler = BundlerParts::makeBundler(remoteConfig, audience);
    ASSERT_TRUE(bundler);
  }

  // Stores a metadata record; `variant` makes distinct fingerprints.
  std::int64_t storeMetadata(const std::string& variant = "1.0",
                             std::vector<std::pair<std::string, std::int64_t>> intAttributes = {}) {
    auto metadata = tw_test_support::bundleMetadata(kBundleAppID, variant);
    metadata->SetString(TLWPBMeasurementBundle::kZelAppId, kAppID);
    for (const auto& [name, value] : intAttributes) {
      auto ua = TLWPBUserAttribute::initWithMessageInfo();
      ua->SetString(TLWPBUserAttribute::kName, name);
      ua->SetInt64(TLWPBUserAttribute::kIntValue, value);
      ua->SetInt64(TLWPBUserAttribute::kSetTimestamp, 1);
      metadata->AddRepeatedMessage(TLWPBMeasurementBundle::kUserAttributes, *ua);
    }
    const auto fingerprint = TLWDatabase::fingerprintOfBytes(*metadata->protoBuffer());
    metadataByFingerprint[fingerprint] = metadata;
    return fingerprint;
  }

  void storeEvent(const std::string& name, double timestamp, std::int64_t fingerprint,
                  platform::Dictionary parameters = {}, const std::string& origin = "app") {
    const bool isPublic = !name.empty() && name[0] != '_';
    auto event = TLWEvent::initWithOrigin(origin, isPublic, name, timestamp, 0, parameters);
    ASSERT_TRUE(event) << name;
    TLWError error;
    // As the write path does: the metadata is stored with each event unless present.
    auto metadata = metadataByFingerprint.find(fingerprint);
    if (metadata != metadataByFingerprint.end()) {
      ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(*metadata->second, &error));
    }
    ASSERT_TRUE(database->insertRawEvent(event.get(), fingerprint, event->isRealtime(), &error));
  }

  // bundleRawEvents on the worker queue, as the engine runs it.
  bool bundleOnce() {
    bool result = false;
    EXPECT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID("BundlerTest", [&] { result = bundler->bundleRawEvents(); }));
    return result;
  }
  int bundleAll(int limit = 100) {
    int calls = 0;
    while (calls < limit && bundleOnce()) ++calls;
    return calls;
  }

  // What the queue table holds, inflated and decoded here rather than by the database.
  std::vector<std::shared_ptr<TLWPBMeasurementBundle>> queued() {
    TLWError error;
    auto rows = database->sqliteStore()->recordsForQuery("SELECT data FROM queue ORDER BY rowid", {}, &error);
    EXPECT_TRUE(rows);
    std::vector<std::shared_ptr<TLWPBMeasurementBundle>> out;
    if (!rows) return out;
    for (const auto& row : *rows) {
      const auto* bytes = row.get("data").dataBytes();
      EXPECT_TRUE(bytes);
      if (!bytes) continue;
      EXPECT_GE(bytes->size(), 2u);
      EXPECT_EQ((*bytes)[0], 0x1f);  // gzip magic
      EXPECT_EQ((*bytes)[1], 0x8b);
      auto inflated = platform::vxl_dataByInflatingGzippedData(*bytes, nullptr);
      EXPECT_TRUE(inflated);
      if (!inflated) continue;
      auto bundle = TLWPBMeasurementBundle::initWithBuffer(*inflated);
      EXPECT_TRUE(bundle);
      if (bundle) out.push_back(bundle);
    }
    return out;
  }

  // Lines the monitor printed with `code` so far.
  std::size_t logged(std::int64_t code) {
    monitor->flush();
    return static_cast<std::size_t>(logger->count(code));
  }

  std::int64_t count(const std::string& sql) {
    TLWError error;
    auto v = database->sqliteStore()->numberForQuery(sql, {}, &error);
    return v ? v->int64Value().value_or(-1) : -1;
  }
  std::int64_t rawEventCount() { return count("SELECT COUNT(*) FROM raw_events"); }
  std::int64_t metadataCount() { return count("SELECT COUNT(*) FROM raw_events_metadata"); }

  static std::vector<std::string> eventNames(const TLWPBMeasurementBundle& bundle) {
    std::vector<std::string> names;
    for (const auto& e : bundle.GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents)) {
      names.push_back(e->GetString(TLWPBEvent::kName).value_or(""));
    }
    return names;
  }
  static std::optional<std::int64_t> intParam(const TLWPBEvent& event, const std::string& name) {
    for (const auto& p : event.GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
      if (p->GetString(TLWPBEventParam::kName) == name) return p->GetInt64(TLWPBEventParam::kIntValue);
    }
    return std::nullopt;
  }
  static std::optional<std::int64_t> userAttribute(const TLWPBMeasurementBundle& bundle, const std::string& name) {
    for (const auto& ua : bundle.GetRepeated<TLWPBUserAttribute>(TLWPBMeasurementBundle::kUserAttributes)) {
      if (ua->GetString(TLWPBUserAttribute::kName) == name) return ua->GetInt64(TLWPBUserAttribute::kIntValue);
    }
    return std::nullopt;
  }

  std::map<std::int64_t, std::shared_ptr<TLWPBMeasurementBundle>> metadataByFingerprint;
  std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
  std::shared_ptr<TLWRemoteConfig> remoteConfig;
  std::shared_ptr<TLWAudienceEvaluating> audience;
  std::shared_ptr<TLWBundler> bundler;
};

}  // namespace bundler_test
