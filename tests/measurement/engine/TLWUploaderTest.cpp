#include "measurement/engine/TLWUploader.h"

#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "UploadTestSupport.h"
#include "tests/measurement/storage/SqliteFaultVfs.h"

namespace {

using upload_test::makeBundle;
using upload_test::UploadFixture;

constexpr double kNow = 1700000000.0;

TLWUploadScheduleFacts factsWithData(double latest) {
  TLWUploadScheduleFacts facts;
  facts.now = kNow;
  facts.latestDataTime = latest;
  return facts;
}

TEST(TLWUploadScheduleTest, PlansFromLastSuccessWithinTheIntervalElseAfterTheInitialDelay) {
  TLWUploadSettings settings;  // interval 3600, initial delay 15
  auto facts = factsWithData(kNow - 5);
  facts.lastSuccessfulUpload = kNow - 600;
  EXPECT_DOUBLE_EQ(TLWNextUploadingTime(facts, settings), kNow - 600 + 3600);

  facts.lastSuccessfulUpload = kNow - 4000;  // the interval has passed: go soon after the data
  EXPECT_DOUBLE_EQ(TLWNextUploadingTime(facts, settings), kNow - 5 + 15);

  facts.lastSuccessfulUpload = 0;
  facts.realtime = true;  // real-time interval 10 s; last success 0 is never "within" it
  EXPECT_DOUBLE_EQ(TLWNextUploadingTime(facts, settings), kNow - 5 + 15);
  facts.lastSuccessfulUpload = kNow - 4;
  EXPECT_DOUBLE_EQ(TLWNextUploadingTime(facts, settings), kNow - 4 + 10);

  // Data stamped in the future counts as old as it is far away.
  facts = factsWithData(kNow + 100);
  EXPECT_DOUBLE_EQ(TLWNextUploadingTime(facts, settings), kNow - 100 + 15);

  EXPECT_EQ(TLWNextUploadingTime(factsWithData(0), settings), 0) << "no data, no upload";
}

TEST(TLWUploadScheduleTest, RetriesAfterAFailureWithDoublingSpacingUntilTheyRunOut) {
  TLWUploadSettings settings;  // retry interval 1800, count 6
  const double base = kNow - 60;
  auto facts = factsWithData(base);
  // Each failure just past the previous planned time moves to the next, doubled spacing.
  const double planned[] = {base + 15 + 1800,  base + 15 + 5400,  base + 15 + 12600,
                            base + 15 + 27000, base + 15 + 55800, base + 15 + 113400};
  double failure = base;
  for (double expected : planned) {
    facts.lastFailedUpload = failure;
    EXPECT_DOUBLE_EQ(TLWNextUploadingTime(facts, settings), expected) << "failure at " << failure - base;
    failure = expected;  // that attempt failed too
  }
  facts.lastFailedUpload = failure;
  EXPECT_EQ(TLWNextUploadingTime(facts, settings), 0) << "all six spaced retries have passed";

  settings.uploadingRetryCount = 0;
  facts.lastFailedUpload = base;
  EXPECT_EQ(TLWNextUploadingTime(facts, settings), 0);

  // Newer data after the failure moves the base: planned normally again.
  settings = TLWUploadSettings();
  facts = factsWithData(kNow - 1);
  facts.lastFailedUpload = kNow - 30;
  EXPECT_DOUBLE_EQ(TLWNextUploadingTime(facts, settings), kNow - 1 + 15);
}

TEST(TLWUploadScheduleTest, DebugModeCapsTheWaitAndBackOffDelaysIt) {
  TLWUploadSettings settings;
  auto facts = factsWithData(kNow - 5);
  facts.lastSuccessfulUpload = kNow - 600;
  facts.debugMode = true;
  EXPECT_DOUBLE_EQ(TLWNextUploadingTime(facts, settings), kNow - 5 + 1);

  // A 503 ten minutes ago with a 1800 s back-off: not before failure + 1800.
  EXPECT_DOUBLE_EQ(TLWUploadTimeAfterBackoff(kNow + 10, kNow, kNow - 600, 1800), kNow - 600 + 1800);
  // A later plan is kept; an expired back-off or none changes nothing.
  EXPECT_DOUBLE_EQ(TLWUploadTimeAfterBackoff(kNow + 5000, kNow, kNow - 600, 1800), kNow + 5000);
  EXPECT_DOUBLE_EQ(TLWUploadTimeAfterBackoff(kNow + 10, kNow, kNow - 2000, 1800), kNow + 10);
  EXPECT_DOUBLE_EQ(TLWUploadTimeAfterBackoff(kNow + 10, kNow, 0, 1800), kNow + 10);
}

TLWQueuedBundle queued(const TLWPBMeasurementBundle& bundle, std::int64_t rowID) {
  auto bytes = bundle.protoBuffer();
  auto stored = bytes ? TLWPBBundleBytes::initWithBuffer(std::move(*bytes)) : std::nullopt;
  EXPECT_TRUE(stored);
  return {stored.value_or(TLWPBBundleBytes()), rowID};
}

TEST(TLWUploadRequestTest, TheBatchStopsBeforeAnotherAppOrAnotherDevice) {
  std::vector<TLWQueuedBundle> bundles = {queued(*makeBundle("app-a", "e1", kNow), 1),
                                          queued(*makeBundle("app-a", "e2", kNow), 2),
                                          queued(*makeBundle("app-b", "e3", kNow), 3),
                                          queued(*makeBundle("app-a", "e4", kNow), 4)};
  auto kept = TLWFilteredBundlesWithCompatibleAppID("app-a", "", "", bundles);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1].second, 2);

  // The first bundle with an advertising ID sets it; a different one ends the batch.
  bundles[0].first.SetString(TLWPBMeasurementBundle::kResettableDeviceId, "ad-1");
  bundles[1].first.SetString(TLWPBMeasurementBundle::kResettableDeviceId, "ad-2");
  auto request = TLWMakeUploadRequest(bundles, kNow, false);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->rowIDs, std::vector<std::int64_t>{1});

  // A bundle without an ID is compatible with any.
  bundles[1].first.ClearField(TLWPBMeasurementBundle::kResettableDeviceId);
  request = TLWMakeUploadRequest(bundles, kNow, false);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->rowIDs, (std::vector<std::int64_t>{1, 2}));

  EXPECT_TRUE(TLWFilteredBundlesWithCompatibleAppID("app-a", "ad-1", "vendor-1", bundles).empty())
      << "both kinds of device ID is a caller error";
  EXPECT_FALSE(TLWMakeUploadRequest({}, kNow, false));
}

// A bundle with every kind of top-level field the queue holds, some set and some not,
// depending on `seed`.
std::shared_ptr<TLWPBMeasurementBundle> generatedBundle(int seed) {
  using B = TLWPBMeasurementBundle;
  auto bundle = makeBundle(seed % 5 == 4 ? "app-b" : "app-a", "e" + std::to_string(seed), kNow + seed);
  for (int i = 0; i < seed % 7; ++i) {
    auto event = TLWPBEvent::initWithMessageInfo();
    event->SetString(TLWPBEvent::kName, "tick");
    event->SetInt64(TLWPBEvent::kTimestamp, 1700000000000 + i);
    auto param = TLWPBEventParam::initWithMessageInfo();
    param->SetString(TLWPBEventParam::kName, "seq");
    param->SetInt64(TLWPBEventParam::kIntValue, -i);
    event->AddRepeatedMessage(TLWPBEvent::kParams, *param);
    bundle->AddRepeatedMessage(B::kEvents, *event);
  }
  auto attribute = TLWPBUserAttribute::initWithMessageInfo();
  attribute->SetString(TLWPBUserAttribute::kName, "_fot");
  attribute->SetInt64(TLWPBUserAttribute::kIntValue, seed);
  bundle->AddRepeatedMessage(B::kUserAttributes, *attribute);
  bundle->SetInt32(B::kProtocolVersion, 1);
  bundle->SetString(B::kOsVersion, "16.4");
  bundle->SetInt32(B::kTimezoneOffsetMinutes, -300);
  bundle->SetInt64(B::kSdkVersion, 80901);
  if (seed % 2) bundle->SetInt64(B::kPreviousBundleStartTimestamp, 1699999999000);
  if (seed % 3) bundle->SetString(B::kVendorDeviceId, "vendor-" + std::to_string(seed % 3));
  if (seed % 4 == 1) bundle->SetString(B::kAppInstanceId, "instance");
  if (seed % 4 == 2) bundle->SetInt32(B::kRetryCount, seed);
  if (seed % 3 == 2) bundle->SetBool(B::kLimitedAdTracking, true);
  if (seed % 5 == 3) bundle->SetString(B::kConsentSignals, "G111");
  bundle->SetInt64(B::kConfigVersion, 7);
  return bundle;
}

TEST(TLWUploadRequestTest, TheBatchFromStoredBytesEqualsTheDecodedBundlesEncodedAgain) {
  // What an upload did before it kept bundles as bytes: decode, stamp, checksum, encode.
  auto decodedPath = [](std::vector<std::shared_ptr<TLWPBMeasurementBundle>> bundles,
                        const TLWBundleIdentifierInputs& ids, std::size_t count, bool checksum) {
    auto batch = TLWPBMeasurementBatch::initWithMessageInfo();
    for (std::size_t i = 0; i < count; ++i) {
      auto& b = *bundles[i];
      TLWApplyBundleIdentifiers(b, ids);
      b.SetInt64(TLWPBMeasurementBundle::kUploadSdkVersion, kTLWLibraryNumericVersion);
      b.SetInt64(TLWPBMeasurementBundle::kUploadTimestamp, 1700000000123);
      if (checksum) b.SetInt64(TLWPBMeasurementBundle::kBundleChecksum, b.checksum().value_or(0));
      batch->AddRepeatedMessage(TLWPBMeasurementBatch::kBundles, b);
    }
    return batch->protoBuffer().value_or(std::vector<std::uint8_t>{});
  };
  std::vector<TLWBundleIdentifierInputs> inputs(4);
  inputs[1].resettableDeviceID = "ad-id";
  inputs[1].limitedAdTracking = false;
  inputs[1].appleConsentStatus = 3;
  inputs[2].identifierForVendor = "vendor-9";
  inputs[2].appInstanceID = "instance-9";
  inputs[2].consentSignals = "G100";  // analytics storage denied
  inputs[3].identifierForVendor = "vendor-1";
  inputs[3].appInstanceID = "instance-1";
  inputs[3].consentSignals = "G111";
  inputs[3].appleConsentStatus = 2;
  for (int first = 0; first < 24; ++first) {
    for (const bool checksum : {false, true}) {
      const auto& ids = inputs[static_cast<std::size_t>(first) % inputs.size()];
      std::vector<std::shared_ptr<TLWPBMeasurementBundle>> decoded;
      std::vector<TLWQueuedBundle> stored;
      for (int i = first; i < first + 5; ++i) {
        decoded.push_back(generatedBundle(i));
        stored.push_back(queued(*decoded.back(), i));
        TLWApplyBundleIdentifiers(stored.back().first, ids);
      }
      auto request = TLWMakeUploadRequest(std::move(stored), 1700000000.1234, checksum);
      ASSERT_TRUE(request);
      const auto expected = decodedPath(decoded, ids, request->rowIDs.size(), checksum);
      ASSERT_FALSE(expected.empty());
      EXPECT_EQ(request->payload, expected) << "bundles from " << first << ", checksum " << checksum;
    }
  }
}

TEST(TLWUploadRequestTest, StampsEachBundleAndChecksumsWhatIsSent) {
  std::vector<TLWQueuedBundle> bundles = {queued(*makeBundle("app-a", "e1", kNow), 7),
                                          queued(*makeBundle("app-a", "e2", kNow), 9)};
  auto request = TLWMakeUploadRequest(bundles, 1700000000.9876, true);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->uploadTimestampMilliseconds, 1700000000987);
  auto batch = TLWPBMeasurementBatch::initWithBuffer(std::span<const std::uint8_t>(request->payload));
  ASSERT_TRUE(batch);
  auto sent = batch->GetRepeated<TLWPBMeasurementBundle>(TLWPBMeasurementBatch::kBundles);
  ASSERT_EQ(sent.size(), 2u);
  for (const auto& bundle : sent) {
    EXPECT_EQ(bundle->GetInt64(TLWPBMeasurementBundle::kUploadTimestamp), 1700000000987);
    EXPECT_EQ(bundle->GetInt64(TLWPBMeasurementBundle::kUploadSdkVersion), 80901);
    auto checksum = bundle->checksum();
    ASSERT_TRUE(checksum);
    EXPECT_EQ(bundle->GetInt64(TLWPBMeasurementBundle::kBundleChecksum), *checksum);
  }
  EXPECT_FALSE(bundles[0].first.HasField(TLWPBMeasurementBundle::kUploadTimestamp)) << "the queued bundle is untouched";
  request = TLWMakeUploadRequest(bundles, kNow, false);
  ASSERT_TRUE(request);
  batch = TLWPBMeasurementBatch::initWithBuffer(std::span<const std::uint8_t>(request->payload));
  EXPECT_FALSE(batch->GetRepeated<TLWPBMeasurementBundle>(0).front()->HasField(TLWPBMeasurementBundle::kBundleChecksum))
      << "no checksum unless the configuration asks for it";
}

TEST(TLWVXLNetworkTransportTest, NetworkLogLevelsMapToMonitorLevels) {
  using L = platform::VXLLoggerLevel;
  EXPECT_EQ(TLWVXLNetworkTransport::monitorLevelForNetworkLevel(L::Error), 1);
  EXPECT_EQ(TLWVXLNetworkTransport::monitorLevelForNetworkLevel(L::Warning), 4);
  EXPECT_EQ(TLWVXLNetworkTransport::monitorLevelForNetworkLevel(L::Notice), 3);
  EXPECT_EQ(TLWVXLNetworkTransport::monitorLevelForNetworkLevel(L::Info), 6);
  EXPECT_EQ(TLWVXLNetworkTransport::monitorLevelForNetworkLevel(L::Debug), 7);
  EXPECT_EQ(TLWVXLNetworkTransport::monitorLevelForNetworkLevel(static_cast<L>(42)), 3);
}

using TLWUploaderTest = UploadFixture;

TEST_F(TLWUploaderTest, SuccessDeletesTheSentBundlesAndRecordsTheTimes) {
  queueBundle("1:1:ios:abc", "level_up", now() - 30);
  queueBundle("1:1:ios:abc", "level_end", now() - 20);
  onWorker([&] { uploader->uploadData(); });
  ASSERT_EQ(transport->pendingCount(), 1u);
  auto sent = transport->sent().back();
  EXPECT_EQ(sent.url, "http://127.0.0.1:9/a");
  EXPECT_EQ(upload_test::eventNamesOf(sent.payload), (std::vector<std::string>{"level_up", "level_end"}));
  EXPECT_TRUE(uploader->isNetworkRequestPending());
  EXPECT_EQ(persisted->lastFailedUploadTimestamp(), now()) << "an attempt counts as failed until it completes";
  bool ready = true;
  onWorker([&] { ready = uploader->isNetworkReadyForRequest(); });
  EXPECT_FALSE(ready) << "a second upload must wait for the first";

  env->fakeClock()->advance(2);
  respond(204);
  EXPECT_FALSE(uploader->isNetworkRequestPending());
  EXPECT_FALSE(uploader->uploadingBundleIDs());
  EXPECT_EQ(queuedBundleCount(), 0u);
  EXPECT_EQ(persisted->lastSuccessfulUploadTimestamp(), now());
  EXPECT_EQ(persisted->lastFailedUploadTimestamp(), 0);
  EXPECT_FALSE(alarm->hasActiveTimer()) << "nothing left to plan";
}

TEST_F(TLWUploaderTest, FailuresCountRetriesAndThrottlingImposesBackOff) {
  host->settings.uploadingRetryInterval = 1800;
  host->settings.uploadingBackoffInterval = 43200;
  queueBundle("1:1:ios:abc", "level_up", now() - 60);
  const double failedAt = now();
  onWorker([&] { uploader->uploadData(); });
  respond(500);
  EXPECT_EQ(persisted->lastFailedUploadTimestamp(), failedAt);
  EXPECT_EQ(persisted->lastBackoffTimestamp(), 0) << "500 is not a throttling answer";
  EXPECT_EQ(queuedBundleCount(), 1u);
  ASSERT_TRUE(alarm->scheduledTimestamp());
  EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp(), failedAt - 60 + 15 + 1800);

  for (long throttled : {503L, 429L}) {
    alarm->cancel();  // as if it had fired
    onWorker([&] { uploader->uploadData(); });
    respond(throttled);
    EXPECT_EQ(persisted->lastBackoffTimestamp(), now()) << throttled;
    ASSERT_TRUE(alarm->scheduledTimestamp());
    EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp(), now() + 43200) << throttled;
  }
  // A transport failure (no response) is a failure too.
  onWorker([&] { uploader->uploadData(); });
  respond(0);

  onWorker([&] { uploader->uploadData(); });
  auto sent = transport->sent().back();
  auto batch = TLWPBMeasurementBatch::initWithBuffer(std::span<const std::uint8_t>(sent.payload));
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->GetRepeated<TLWPBMeasurementBundle>(0).front()->GetInt32(TLWPBMeasurementBundle::kRetryCount), 4)
      << "four failed attempts before this one";
  respond(200);
  EXPECT_EQ(queuedBundleCount(), 0u);
  EXPECT_EQ(persisted->lastBackoffTimestamp(), 0);
}

TEST_F(TLWUploaderTest, APostWithoutASessionReleasesThePendingStateAndPlansARetry) {
  queueBundle("1:1:ios:abc", "level_up", now() - 60);
  transport->failSession = true;
  onWorker([&] { uploader->uploadData(); });
  EXPECT_FALSE(uploader->isNetworkRequestPending());
  EXPECT_FALSE(uploader->uploadingBundleIDs());
  EXPECT_EQ(queuedBundleCount(), 1u);
  ASSERT_TRUE(alarm->scheduledTimestamp()) << "the next attempt is planned";
  EXPECT_GT(*alarm->scheduledTimestamp(), now());

  // The next attempt is not refused as pending.
  transport->failSession = false;
  onWorker([&] { uploader->uploadData(); });
  EXPECT_EQ(transport->pendingCount(), 1u);
  respond(204);
  EXPECT_EQ(queuedBundleCount(), 0u);
}

TEST_F(TLWUploaderTest, ABundleOverTheSizeLimitAtTheHeadOfTheQueueGoesAloneInsteadOfStallingIt) {
  host->settings.uploadMaxSizeLimitBytes = 16;
  queueBundle("1:1:ios:abc", "an_event_whose_bundle_is_larger_than_sixteen_bytes", now() - 10);
  queueBundle("1:1:ios:abc", "second", now() - 5);
  onWorker([&] { uploader->uploadData(); });
  ASSERT_EQ(transport->pendingCount(), 1u);
  EXPECT_EQ(upload_test::eventNamesOf(transport->sent().back().payload),
            std::vector<std::string>{"an_event_whose_bundle_is_larger_than_sixteen_bytes"});
  respond(204);
  respond(204);
  EXPECT_EQ(queuedBundleCount(), 0u);
}

TEST_F(TLWUploaderTest, TwoAppsGoOutInTwoBatchesOneAfterTheOther) {
  queueBundle("app-a", "a1", now() - 50);
  queueBundle("app-b", "b1", now() - 40);
  queueBundle("app-b", "b2", now() - 30);
  onWorker([&] { uploader->uploadData(); });
  EXPECT_EQ(upload_test::eventNamesOf(transport->sent().back().payload), std::vector<std::string>{"a1"});
  respond(204);  // data is left: the next batch goes at once
  ASSERT_EQ(transport->sent().size(), 2u);
  EXPECT_EQ(upload_test::eventNamesOf(transport->sent().back().payload), (std::vector<std::string>{"b1", "b2"}));
  respond(204);
  EXPECT_EQ(queuedBundleCount(), 0u);
}

TEST_F(TLWUploaderTest, SchedulingWaitsForTheNetworkAndForASuspension) {
  queueBundle("1:1:ios:abc", "level_up", now() - 5);
  transport->connected = false;
  onWorker([&] { uploader->updateSchedule(); });
  EXPECT_FALSE(alarm->hasActiveTimer());
  EXPECT_TRUE(transport->waitingForReachability);

  transport->connected = true;
  onWorker([&] { uploader->updateSchedule(); });
  EXPECT_FALSE(transport->waitingForReachability);
  ASSERT_TRUE(alarm->scheduledTimestamp());
  EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp(), now() - 5 + 15);

  // Suspended (a failed deletion): nothing is planned for an hour of uptime.
  onWorker([&] {
    uploader->setSuspendedUploadTimestamp(uploader->secondsSinceBoot());
    uploader->updateSchedule();
  });
  EXPECT_FALSE(alarm->hasActiveTimer());
  onWorker([&] { uploader->uploadData(); });
  EXPECT_TRUE(transport->sent().empty());
  env->fakeClock()->advance(3601);
  onWorker([&] { uploader->updateSchedule(); });
  EXPECT_EQ(uploader->suspendedUploadTimestamp(), 0);
  // The planned time has long passed: the alarm fires at once and the upload goes.
  EXPECT_TRUE(engine_test::waitFor([&] { return transport->sent().size() == 1; }));
}

TEST_F(TLWUploaderTest, AnExpiredConfigurationBuildsNoBundlesAndIsFetchedWhenTheQueueIsEmpty) {
  host->settings.isExpired = true;
  onWorker([&] { uploader->uploadData(); });
  EXPECT_EQ(host->bundleCalls, 0);
  EXPECT_EQ(host->fetchCalls, 1);

  host->settings.isExpired = false;
  host->settings.maxBundlesCreatedPerIteration = 3;
  onWorker([&] { uploader->uploadData(); });
  EXPECT_EQ(host->bundleCalls, 1) << "bundling stops at the first step that made nothing";
  EXPECT_EQ(host->fetchCalls, 1);
}

TEST_F(TLWUploaderTest, ConsentAtUploadTimeDecidesWhichIdentifiersAreSent) {
  // A bundle made while everything was granted; consent changes before it is sent.
  struct Case {
    const char* signals;
    bool idfa, idfv, appInstance;
  };
  const Case cases[] = {
      {"G111", true, false, true},
      {"G101", false, true, true},
      {"G110", false, false, false},  // analytics denied: no identifier at all
      {"G100", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signals);
    auto bundle = makeBundle("1:1:ios:abc", "level_up", now() - 10);
    bundle->SetString(TLWPBMeasurementBundle::kResettableDeviceId, "IDFA-1");
    bundle->SetString(TLWPBMeasurementBundle::kAppInstanceId, "instance-1");
    onWorker([&] { ASSERT_TRUE(database->insertBundle(*bundle, false, nullptr)); });
    host->identifiers = TLWBundleIdentifierInputs{};
    host->identifiers.consentSignals = c.signals;
    host->identifiers.appleConsentStatus = 3;
    host->identifiers.limitedAdTracking = false;
    host->identifiers.resettableDeviceID = "IDFA-1";
    host->identifiers.identifierForVendor = "IDFV-1";
    host->identifiers.appInstanceID = "instance-1";
    onWorker([&] { uploader->uploadData(); });
    ASSERT_EQ(transport->pendingCount(), 1u);
    auto batch = TLWPBMeasurementBatch::initWithBuffer(std::span<const std::uint8_t>(transport->sent().back().payload));
    ASSERT_TRUE(batch);
    auto sent = batch->GetRepeated<TLWPBMeasurementBundle>(TLWPBMeasurementBatch::kBundles);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]->HasField(TLWPBMeasurementBundle::kResettableDeviceId), c.idfa);
    EXPECT_EQ(sent[0]->HasField(TLWPBMeasurementBundle::kVendorDeviceId), c.idfv);
    EXPECT_EQ(sent[0]->HasField(TLWPBMeasurementBundle::kAppInstanceId), c.appInstance);
    EXPECT_EQ(sent[0]->GetString(TLWPBMeasurementBundle::kConsentSignals), c.signals);
    respond(204);
    ASSERT_EQ(queuedBundleCount(), 0u);
  }
}

// The fault switches wrap every connection, so they are in place before the database opens.
class TLWUploaderDeletionFaultTest : public UploadFixture {
 protected:
  void SetUp() override {
    faults = &SqliteFaultVfs::install();
    UploadFixture::SetUp();
  }
  void TearDown() override {
    UploadFixture::TearDown();
    SqliteFaultVfs::uninstall();
  }
  SqliteFaultSwitches* faults = nullptr;
};

// The service accepted a batch whose rows the database would not let go (another process's
// lock or a full disk), then the app exited: the next launch deletes them instead of
// sending them again.
TEST_F(TLWUploaderDeletionFaultTest, AnAcceptedBatchLeftUndeletedAtExitIsDeletedNotResentByTheNextLaunch) {
  queueBundle("1:1:ios:abc", "level_up", now() - 30);
  queueBundle("1:1:ios:abc", "level_end", now() - 20);
  onWorker([&] { uploader->uploadData(); });
  ASSERT_EQ(transport->pendingCount(), 1u);
  faults->noSpace = true;
  respond(204);
  ASSERT_EQ(queuedBundleCount(), 2u) << "the deletion met the fault";
  faults->clear();
  alarm->cancel();

  // The next launch: new objects on the same sandbox.
  auto nextPersisted = TLWPersistedConfig::initWithSuiteName(std::string(kTLWPersistedConfigSuiteName), false, env);
  ASSERT_TRUE(nextPersisted);
  TLWError error;
  std::shared_ptr<TLWDatabase> nextDatabase(
      TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, nextPersisted, &error, env).release());
  ASSERT_TRUE(nextDatabase) << error.description();
  auto next = TLWUploader::create(nextDatabase, nextPersisted, scheduler, alarm, transport, host,
                                  "http://127.0.0.1:9/", env);
  ASSERT_TRUE(next);
  onWorker([&] { next->uploadData(); });
  EXPECT_EQ(transport->sent().size(), 1u) << "the accepted batch went out again";
  EXPECT_EQ(queuedBundleCount(), 0u);
  EXPECT_TRUE(nextPersisted->deliveredBundleIDs().empty()) << "the record is cleared once the rows are gone";

  // A bundle queued afterwards goes out as usual.
  queueBundle("1:1:ios:abc", "level_start", now() - 10);
  onWorker([&] { next->uploadData(); });
  ASSERT_EQ(transport->sent().size(), 2u);
  EXPECT_EQ(upload_test::eventNamesOf(transport->sent().back().payload), std::vector<std::string>{"level_start"});
}

}  // namespace
