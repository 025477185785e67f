#include "measurement/engine/TLWConfigFetcher.h"

#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "UploadTestSupport.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"

namespace {

class TLWConfigFetcherTest : public upload_test::UploadFixture {
 protected:
  void SetUp() override {
    UploadFixture::SetUp();
    fetcher = TLWConfigFetcher::create(uploader, host, env);
    ASSERT_TRUE(fetcher);
    host->fetcher = fetcher;
  }
  void TearDown() override {
    host->fetcher.reset();
    UploadFixture::TearDown();
  }

  static platform::Value::Data configBytes(const std::string& appID, int audiences = 0) {
    auto config = TLWPBMeasurementConfig::initWithMessageInfo();
    config->SetInt64(TLWPBMeasurementConfig::kVersion, 3);
    config->SetString(TLWPBMeasurementConfig::kAppId, appID);
    auto setting = TLWPBSetting::initWithMessageInfo();
    setting->SetString(TLWPBSetting::kName, "measurement.upload.interval");
    setting->SetString(TLWPBSetting::kValue, "60000");
    config->AddRepeatedMessage(TLWPBMeasurementConfig::kSettings, *setting);
    for (int i = 0; i < audiences; ++i) {
      auto audience = TLWPBAudience::initWithMessageInfo();
      audience->SetInt32(0, 100 + i);
      config->AddRepeatedMessage(TLWPBMeasurementConfig::kAudiences, *audience);
    }
    auto bytes = config->protoBuffer();
    return bytes ? *bytes : platform::Value::Data{};
  }
  std::optional<double> lastFetchTime() {
    std::optional<double> value;
    onWorker([&] { value = database->lastRemoteConfigUpdateTimestamp(nullptr); });
    return value;
  }
  void fetch() {
    onWorker([&] { fetcher->fetchRemoteConfig(); });
  }

  std::shared_ptr<TLWConfigFetcher> fetcher;
  const platform::VXLHTTPHeaders lastModified{{"Last-Modified", "Tue, 14 Nov 2023 22:00:00 GMT"}};
};

TEST_F(TLWConfigFetcherTest, AnAcceptedConfigurationIsAppliedWithoutItsAudiencesThenMarkedFresh) {
  persisted->setLastFailedUploadTimestamp(now() - 100);
  fetch();
  auto sent = transport->sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].method, "GET");
  EXPECT_EQ(sent[0].url, *host->configURL);
  EXPECT_EQ(sent[0].headers.count("If-Modified-Since"), 0u) << "nothing cached yet";
  EXPECT_TRUE(uploader->isNetworkRequestPending());

  respond(200, configBytes(host->appID, 2), lastModified);
  EXPECT_FALSE(uploader->isNetworkRequestPending());
  ASSERT_TRUE(host->appliedConfig);
  EXPECT_EQ(host->audiencesReceived, 2u);
  EXPECT_TRUE(host->appliedConfig->GetRepeated<TLWPBAudience>(TLWPBMeasurementConfig::kAudiences).empty());
  EXPECT_EQ(persisted->configServerLastModifiedString(), "Tue, 14 Nov 2023 22:00:00 GMT");
  EXPECT_EQ(lastFetchTime(), now());
  EXPECT_EQ(persisted->lastFailedUploadTimestamp(), 0);

  // The next fetch asks whether it changed; a 304 keeps it and makes it fresh again.
  env->fakeClock()->advance(90000);
  host->appliedConfig.reset();
  fetch();
  EXPECT_EQ(transport->sent().back().headers.at("If-Modified-Since"), "Tue, 14 Nov 2023 22:00:00 GMT");
  respond(304, {}, lastModified);
  EXPECT_FALSE(host->appliedConfig) << "nothing new to apply";
  EXPECT_EQ(lastFetchTime(), now());
}

TEST_F(TLWConfigFetcherTest, ARejectedConfigurationLeavesNoTraceAndIsFetchedAgain) {
  struct Case {
    const char* what;
    platform::Value::Data body;
    bool audiencesAccepted;
    bool configAccepted;
  };
  const std::vector<Case> cases = {
      {"another app's configuration", configBytes("1:9:ios:other"), true, true},
      {"bytes that do not decode", {0x0a, 0xff, 0xff}, true, true},
      {"audiences refused", configBytes(host->appID, 1), false, true},
      {"configuration refused", configBytes(host->appID), true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    host->audiencesAccepted = c.audiencesAccepted;
    host->configAccepted = c.configAccepted;
    fetch();
    respond(200, c.body, lastModified);
    // Neither the server's date nor the fetch time may describe a refused configuration:
    // with them, every later fetch would be answered 304 and the refusal counted fresh.
    EXPECT_FALSE(persisted->configServerLastModifiedString());
    EXPECT_FALSE(lastFetchTime().value_or(0) > 0);
    std::shared_ptr<TLWPBMeasurementConfig> stored;
    onWorker([&] { stored = database->queryMeasurementConfigWithError(nullptr); });
    EXPECT_FALSE(stored) << "the transaction was rolled back";
    double refusedAt = 0;
    onWorker([&] { refusedAt = uploader->configurationRefusedTimestamp(); });
    EXPECT_EQ(refusedAt, now());
    env->fakeClock()->advance(1);
  }
  // Fetched again, without If-Modified-Since, and this time accepted.
  host->audiencesAccepted = host->configAccepted = true;
  fetch();
  EXPECT_EQ(transport->sent().back().headers.count("If-Modified-Since"), 0u);
  respond(200, configBytes(host->appID), lastModified);
  EXPECT_EQ(lastFetchTime(), now());
  double refusedAt = -1;
  onWorker([&] { refusedAt = uploader->configurationRefusedTimestamp(); });
  EXPECT_EQ(refusedAt, 0);
}

TEST_F(TLWConfigFetcherTest, ARefusedConfigurationKeepsEventsGoingOutAndIsFetchedAgainOnTheRetrySchedule) {
  host->settings.isExpired = true;  // never fetched, or the stored one is old
  host->settings.uploadingRetryInterval = 1800;
  onWorker([&] {
    auto event = TLWEvent::initWithOrigin("app", true, "level_up", now(), 0, platform::Dictionary{});
    ASSERT_TRUE(database->insertRawEvent(event.get(), 1, false, nullptr));
  });
  fetch();
  respond(200, configBytes("1:9:ios:other"), lastModified);
  onWorker([] {});
  // The configuration in force is used to bundle what is waiting; no fetch in a loop.
  EXPECT_GE(host->bundleCalls, 1);
  EXPECT_EQ(transport->sent().size(), 1u);

  // Before the retry interval has passed an empty queue asks for nothing; after it, the
  // configuration is fetched again.
  env->fakeClock()->advance(1000);
  onWorker([&] { uploader->uploadData(); });
  EXPECT_EQ(host->fetchCalls, 0);
  env->fakeClock()->advance(800);
  onWorker([&] { uploader->uploadData(); });
  EXPECT_EQ(host->fetchCalls, 1);
  EXPECT_EQ(transport->sent().size(), 2u);
}

TEST_F(TLWConfigFetcherTest, NotFoundCountsAsFreshAndFailuresShareTheUploadRetrySchedule) {
  fetch();
  respond(404);
  EXPECT_FALSE(host->appliedConfig);
  EXPECT_EQ(lastFetchTime(), now());

  for (long status : {503L, 500L}) {
    persisted->setLastBackoffTimestamp(0);
    env->fakeClock()->advance(10);
    fetch();
    respond(status);
    EXPECT_EQ(persisted->lastFailedUploadTimestamp(), now()) << status;
    EXPECT_EQ(persisted->lastBackoffTimestamp(), status == 503 ? now() : 0) << status;
  }
  EXPECT_NE(lastFetchTime(), now()) << "a failure does not make the configuration fresh";

  // A missing URL makes no request; a request without a session leaves nothing pending.
  host->configURL.reset();
  const std::size_t before = transport->sent().size();
  fetch();
  EXPECT_EQ(transport->sent().size(), before);
  host->configURL = "http://127.0.0.1:9/config/app/x";
  transport->failSession = true;
  fetch();
  EXPECT_FALSE(uploader->isNetworkRequestPending());
  bool ready = false;
  onWorker([&] { ready = uploader->isNetworkReadyForRequest(); });
  EXPECT_TRUE(ready);
}

TEST_F(TLWConfigFetcherTest, AfterAFetchTheQueuedDataGoesOut) {
  queueBundle(host->appID, "level_up", now() - 5);
  fetch();
  respond(200, configBytes(host->appID), lastModified);
  // uploadDataOrRegisterAlarm: connected with data, so the upload starts at once.
  auto sent = transport->sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].method, "POST");
  EXPECT_EQ(upload_test::eventNamesOf(sent[1].payload), std::vector<std::string>{"level_up"});
}

}  // namespace
