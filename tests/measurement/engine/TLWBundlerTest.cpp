#include "measurement/engine/TLWBundler.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "BundlerTestSupport.h"
#include "EngineTestSupport.h"
#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/model/TLWEventAggregates.h"
#include "tests/support/NoAudienceEvaluation.h"

namespace bundler_test {
namespace {

namespace keys = tlw_remote_config_keys;

// 22:00:00 UTC on the day of kNow.
constexpr double kHourStart = 1699999200.0;

using BundlerRunTest = BundlerFixture;

TEST_F(BundlerRunTest, CountLimitSplitsARunAndSequenceIndexesFollowEachOther) {
  configure({{std::string(keys::kMaxEventsPerBundle), "100"}});
  const auto fp = storeMetadata();
  for (int i = 0; i < 120; ++i) storeEvent("level_up", kHourStart + i, fp, {{"level", i}});

  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(rawEventCount(), 20);
  EXPECT_EQ(metadataCount(), 1);  // still used by the 20 left
  EXPECT_TRUE(bundleOnce());
  EXPECT_FALSE(bundleOnce());  // nothing left
  EXPECT_EQ(rawEventCount(), 0);
  EXPECT_EQ(metadataCount(), 0);

  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  using B = TLWPBMeasurementBundle;
  EXPECT_EQ(bundles[0]->GetRepeated<TLWPBEvent>(B::kEvents).size(), 100u);
  EXPECT_EQ(bundles[1]->GetRepeated<TLWPBEvent>(B::kEvents).size(), 20u);
  EXPECT_EQ(bundles[0]->GetInt32(B::kBundleSequenceIndex), 1);
  EXPECT_EQ(bundles[1]->GetInt32(B::kBundleSequenceIndex), 2);

  // Timestamps in milliseconds; the first bundle has no predecessor.
  EXPECT_EQ(bundles[0]->GetInt64(B::kStartTimestamp), 1699999200000);
  EXPECT_EQ(bundles[0]->GetInt64(B::kEndTimestamp), 1699999299000);
  EXPECT_FALSE(bundles[0]->HasField(B::kPreviousBundleStartTimestamp));
  EXPECT_FALSE(bundles[0]->HasField(B::kPreviousBundleEndTimestamp));
  EXPECT_EQ(bundles[1]->GetInt64(B::kPreviousBundleStartTimestamp), 1699999200000);
  EXPECT_EQ(bundles[1]->GetInt64(B::kPreviousBundleEndTimestamp), 1699999299000);
  EXPECT_EQ(bundles[1]->GetInt64(B::kStartTimestamp), 1699999300000);

  // Metadata travels with the bundle, plus what bundling adds.
  EXPECT_EQ(bundles[0]->GetString(B::kAppId), kBundleAppID);
  EXPECT_EQ(bundles[0]->GetString(B::kPlatform), "ios");
  EXPECT_EQ(bundles[0]->GetInt64(B::kConfigVersion), 42);
  EXPECT_EQ(host->suspendedResets, 2);

  // The order of events and their parameters survive.
  auto events = bundles[0]->GetRepeated<TLWPBEvent>(B::kEvents);
  EXPECT_EQ(intParam(*events[0], "level"), 0);
  EXPECT_EQ(intParam(*events[99], "level"), 99);
}

TEST_F(BundlerRunTest, RunsEndAtClockHoursRowGapsAndOtherFingerprints) {
  const auto a = storeMetadata("1.0");
  const auto b = storeMetadata("2.0");
  storeEvent("e1", kHourStart - 1, a);  // 21:59:59
  storeEvent("e2", kHourStart, a);      // 22:00:00: a new hour
  storeEvent("e3", kHourStart + 1, a);
  storeEvent("gone", kHourStart + 2, a);
  storeEvent("e4", kHourStart + 3, a);  // after a gap once "gone" is deleted
  storeEvent("f1", kHourStart + 4, b);
  storeEvent("e5", kHourStart + 5, a);
  TLWError error;
  ASSERT_TRUE(database->sqliteStore()->executeSQL("DELETE FROM raw_events WHERE name = 'gone'", &error));

  EXPECT_EQ(bundleAll(), 5);
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 5u);
  EXPECT_EQ(eventNames(*bundles[0]), (std::vector<std::string>{"e1"}));
  EXPECT_EQ(eventNames(*bundles[1]), (std::vector<std::string>{"e2", "e3"}));
  EXPECT_EQ(eventNames(*bundles[2]), (std::vector<std::string>{"e4"}));
  EXPECT_EQ(eventNames(*bundles[3]), (std::vector<std::string>{"f1"}));
  EXPECT_EQ(bundles[3]->GetString(TLWPBMeasurementBundle::kAppVersion), "2.0");
  EXPECT_EQ(eventNames(*bundles[4]), (std::vector<std::string>{"e5"}));
  EXPECT_EQ(rawEventCount(), 0);
  EXPECT_EQ(metadataCount(), 0);
}

TEST_F(BundlerRunTest, SizeLimitIsStrictAndAnOversizedFirstEventNeverStallsTheQueue) {
  // Measure one event's serialised size to set a limit that fits exactly two of them.
  auto probe = TLWEvent::initWithOrigin("app", true, "sized", kHourStart, 0, {{"p", "xxxxxxxxxx"}});
  const auto oneSize = static_cast<std::int64_t>(probe->protoEvent()->protoBuffer()->size());
  configure({{std::string(keys::kMaxBatchSize), std::to_string(3 * oneSize)}});
  const auto fp = storeMetadata();
  for (int i = 0; i < 3; ++i) storeEvent("sized", kHourStart + i, fp, {{"p", "xxxxxxxxxx"}});
  EXPECT_TRUE(bundleOnce());
  // accumulated + size must stay strictly below the limit: 3 * size is not.
  EXPECT_EQ(queued().back()->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents).size(), 2u);
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(rawEventCount(), 0);

  // An event larger than any upload is dropped on its own and the rest bundles.
  configure({{std::string(keys::kMaxBatchSize), "200"}});
  const auto before = queued().size();
  storeEvent("huge", kHourStart + 10, fp, {{"a", std::string(100, 'a')}, {"b", std::string(100, 'b')}});
  storeEvent("small", kHourStart + 11, fp);
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(logged(kTLWBundlerOversizedEventDroppedCode), 1u);
  EXPECT_EQ(queued().size(), before);  // nothing queued for it
  EXPECT_EQ(rawEventCount(), 1);
  EXPECT_TRUE(bundleOnce());
  ASSERT_EQ(queued().size(), before + 1);
  EXPECT_EQ(eventNames(*queued().back()), (std::vector<std::string>{"small"}));
  EXPECT_EQ(rawEventCount(), 0);
  EXPECT_EQ(metadataCount(), 0);
}

TEST_F(BundlerRunTest, UndecodableEventsAndMetadataAreDroppedWhileTheRestBundles) {
  const auto good = storeMetadata("1.0");
  storeEvent("broken1", kHourStart, good);
  storeEvent("middle", kHourStart + 1, good);
  storeEvent("broken2", kHourStart + 2, good);
  storeEvent("after", kHourStart + 3, good);
  TLWError error;
  ASSERT_TRUE(database->sqliteStore()->executeSQL(
      "UPDATE raw_events SET data = X'0A05FFFF' WHERE name IN ('broken1', 'broken2')", &error));
  // The unreadable rows are consumed with their run, never retried.
  EXPECT_EQ(bundleAll(), 1);
  EXPECT_GE(logged(23096), 1u);
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(*bundles[0]), (std::vector<std::string>{"middle", "after"}));
  EXPECT_EQ(rawEventCount(), 0);

  // A run made only of an unreadable row is consumed on its own.
  storeEvent("broken3", kHourStart + 10, good);
  storeEvent("later", kHourStart + 10 + 3600, good);
  ASSERT_TRUE(database->sqliteStore()->executeSQL("UPDATE raw_events SET data = X'0A05FFFF' WHERE name = 'broken3'",
                                                  &error));
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(queued().size(), 1u);
  EXPECT_EQ(rawEventCount(), 1);
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(eventNames(*queued().back()), (std::vector<std::string>{"later"}));

  // A metadata record that no longer decodes takes its events with it; the next
  // fingerprint still bundles.
  const auto bad = storeMetadata("9.9");
  const auto next = storeMetadata("3.0");
  storeEvent("orphan1", kHourStart + 10, bad);
  storeEvent("orphan2", kHourStart + 11, bad);
  storeEvent("fine", kHourStart + 12, next);
  ASSERT_TRUE(database->sqliteStore()->executeSQL(
      "UPDATE raw_events_metadata SET metadata = X'0AFFFFFF' WHERE metadata_fingerprint = " + std::to_string(bad),
      &error));
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(logged(23098), 1u);
  EXPECT_EQ(logged(kTLWBundlerUnreadableMetadataDroppedCode), 1u) << logger->dump();
  EXPECT_EQ(queued().size(), 2u);
  EXPECT_TRUE(bundleOnce());
  ASSERT_EQ(queued().size(), 3u);
  EXPECT_EQ(eventNames(*queued().back()), (std::vector<std::string>{"fine"}));
  EXPECT_EQ(rawEventCount(), 0);
  EXPECT_EQ(metadataCount(), 0);
}

TEST_F(BundlerRunTest, APurchaseWithAnEmptyItemsListIsBundledWhole) {
  const auto fingerprint = storeMetadata("1.0");
  storeEvent("purchase", kHourStart, fingerprint,
             {{"items", platform::Value(platform::Array{})}, {"currency", "USD"}, {"value", 9.99}});
  EXPECT_EQ(bundleAll(), 1);
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_EQ(eventNames(*bundles[0]), std::vector<std::string>{"purchase"});
  std::vector<std::string> params;
  for (const auto& p : bundles[0]->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents)[0]->GetRepeated<TLWPBEventParam>(
           TLWPBEvent::kParams))
    params.push_back(p->GetString(TLWPBEventParam::kName).value_or(""));
  std::sort(params.begin(), params.end());
  EXPECT_EQ(params, (std::vector<std::string>{"_o", "currency", "items", "value"}));
  EXPECT_EQ(logged(23096), 0u);
}

TEST_F(BundlerRunTest, ConsentInForceWhenBundlingRemovesTheIdentifiersItForbids) {
  auto consent = TLWConsentSettingsUtil::create(monitor);
  consent->setConsentSettings(platform::Dictionary{{"ad_storage", "granted"}, {"analytics_storage", "denied"}});
  bundler = writePath.makeBundler({remoteConfig, host, consent, nullptr, nullptr});
  ASSERT_TRUE(bundler);
  // Metadata made while everything was granted.
  auto metadata = tw_test_support::bundleMetadata(kBundleAppID, "1.0");
  metadata->SetString(TLWPBMeasurementBundle::kZelAppId, kAppID);
  metadata->SetString(TLWPBMeasurementBundle::kResettableDeviceId, "IDFA-1");
  metadata->SetString(TLWPBMeasurementBundle::kAppInstanceId, "instance-1");
  const auto fingerprint = TLWDatabase::fingerprintOfBytes(*metadata->protoBuffer());
  metadataByFingerprint[fingerprint] = metadata;
  storeEvent("level_up", kHourStart, fingerprint);
  EXPECT_EQ(bundleAll(), 1);
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_FALSE(bundles[0]->HasField(TLWPBMeasurementBundle::kResettableDeviceId));
  EXPECT_FALSE(bundles[0]->HasField(TLWPBMeasurementBundle::kVendorDeviceId));
  EXPECT_FALSE(bundles[0]->HasField(TLWPBMeasurementBundle::kAppInstanceId));
  EXPECT_EQ(bundles[0]->GetString(TLWPBMeasurementBundle::kConsentSignals), "G110");
}

using BundlerFilteringTest = BundlerFixture;

TEST_F(BundlerFilteringTest, BlocklistedEventsAreDroppedButStillCoverTheBundleTimes) {
  configure({}, {{"cheat", true}});
  const auto fp = storeMetadata();
  storeEvent("cheat", kHourStart, fp);
  storeEvent("level_up", kHourStart + 5, fp);
  storeEvent("cheat", kHourStart + 9, fp);
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(logged(23099), 2u);
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(*bundles[0]), (std::vector<std::string>{"level_up"}));
  EXPECT_EQ(bundles[0]->GetInt64(TLWPBMeasurementBundle::kStartTimestamp), 1699999200000);
  EXPECT_EQ(bundles[0]->GetInt64(TLWPBMeasurementBundle::kEndTimestamp), 1699999209000);
  EXPECT_EQ(rawEventCount(), 0);
}

TEST_F(BundlerFilteringTest, AllBlocklistedDeletesEventsAndTheirMetadataWithoutABundle) {
  configure({}, {{"cheat", true}});
  const auto fp = storeMetadata();
  storeEvent("cheat", kHourStart, fp);
  storeEvent("cheat", kHourStart + 1, fp);
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(logged(23100), 1u);
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(rawEventCount(), 0);
  EXPECT_EQ(metadataCount(), 0);
  // The bundle index did not move.
  TLWError error;
  EXPECT_EQ(database->queryAppMetadata(&error)->lastBundleIndex(), 0);
}

TEST_F(BundlerFilteringTest, AdImpressionFollowsTheInternalAndPublicSwitches) {
  // Internal on, public off: kept even though both names are blocklisted, and renamed.
  configure({{std::string(keys::kBlocklistInternal), "1"}, {std::string(keys::kBlocklistPublic), "0"}},
            {{"ad_impression", true}, {"_ai", true}});
  const auto fp = storeMetadata();
  storeEvent("ad_impression", kHourStart, fp);
  EXPECT_TRUE(bundleOnce());
  ASSERT_EQ(queued().size(), 1u);
  EXPECT_EQ(eventNames(*queued()[0]), (std::vector<std::string>{"_ai"}));

  // Otherwise the alias' blocklisting applies to the public name.
  configure({}, {{"_ai", true}});
  storeEvent("ad_impression", kHourStart + 1, fp);
  storeEvent("other", kHourStart + 2, fp);
  EXPECT_TRUE(bundleOnce());
  ASSERT_EQ(queued().size(), 2u);
  EXPECT_EQ(eventNames(*queued()[1]), (std::vector<std::string>{"other"}));
}

TEST_F(BundlerFilteringTest, RedundantFirstRunEngagementIsRemovedOnlyWhenSwitchedOn) {
  const auto fp = storeMetadata();
  storeEvent("_e", kHourStart, fp, {{"_et", 10}, {"_fr", 1}}, "auto");
  storeEvent("_e", kHourStart + 1, fp, {{"_et", 20}}, "auto");
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(eventNames(*queued()[0]), (std::vector<std::string>{"_e", "_e"}));

  configure({{std::string(keys::kRedundantEngagementRemovalEnabled), "1"}});
  storeEvent("_e", kHourStart + 2, fp, {{"_et", 10}, {"_fr", 1}}, "auto");
  storeEvent("_e", kHourStart + 3, fp, {{"_et", 20}}, "auto");
  EXPECT_TRUE(bundleOnce());
  ASSERT_EQ(queued().size(), 2u);
  auto events = queued()[1]->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(intParam(*events[0], "_et"), 20);
}

using BundlerBookkeepingTest = BundlerFixture;

TEST_F(BundlerBookkeepingTest, AggregatesCountEventsAndGivePreviousTimestamps) {
  const auto fp = storeMetadata();
  storeEvent("level_up", kHourStart + 1, fp);
  storeEvent("level_up", kHourStart + 2, fp);
  storeEvent("spend", kHourStart + 3, fp);
  EXPECT_TRUE(bundleOnce());
  storeEvent("level_up", kHourStart + 4, fp);
  EXPECT_TRUE(bundleOnce());

  TLWError error;
  auto levelUp = database->eventAggregatesWithName("level_up", &error);
  ASSERT_TRUE(levelUp);
  EXPECT_EQ(levelUp->lifetimeCount(), 3);
  EXPECT_EQ(levelUp->currentSessionCount(), 3);
  EXPECT_DOUBLE_EQ(levelUp->lastFireTimestamp(), kHourStart + 4);
  auto spend = database->eventAggregatesWithName("spend", &error);
  ASSERT_TRUE(spend);
  EXPECT_EQ(spend->lifetimeCount(), 1);

  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  auto first = bundles[0]->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_FALSE(first[0]->HasField(TLWPBEvent::kPreviousTimestamp));  // first ever
  EXPECT_EQ(first[1]->GetInt64(TLWPBEvent::kPreviousTimestamp), 1699999201000);
  auto second = bundles[1]->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0]->GetInt64(TLWPBEvent::kPreviousTimestamp), 1699999202000);
}

TEST_F(BundlerBookkeepingTest, EngagementTimeAccumulatesIntoLifetimeAndSessionProperties) {
  const auto fp = storeMetadata("1.0", {{"_lte", 500}});
  storeEvent("_e", kHourStart, fp, {{"_et", 1000}}, "auto");
  storeEvent("_e", kHourStart + 1, fp, {{"_et", 2500}}, "auto");
  storeEvent("_e", kHourStart + 2, fp, {{"_et", 9999}, {"_fr", 1}}, "auto");  // not counted
  EXPECT_TRUE(bundleOnce());
  auto first = queued().back();
  // The stored property did not exist yet: the metadata's 500 is replaced, not added to.
  EXPECT_EQ(userAttribute(*first, "_lte"), 3500);
  EXPECT_EQ(userAttribute(*first, "_se"), 3500);

  storeEvent("_s", kHourStart + 3, fp, {}, "auto");
  storeEvent("_e", kHourStart + 4, fp, {{"_et", 100}}, "auto");
  EXPECT_TRUE(bundleOnce());
  auto second = queued().back();
  EXPECT_EQ(userAttribute(*second, "_lte"), 3600);
  EXPECT_EQ(userAttribute(*second, "_se"), 100);  // a session start restarts the count

  TLWError error;
  auto stored = database->userAttributeWithName("_lte", &error);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->value().int64Value(), 3600);
  EXPECT_EQ(stored->origin(), "auto");

  // Negative engagement is refused without touching anything.
  auto bundle = TLWPBMeasurementBundle::initWithMessageInfo();
  bool accepted = true;
  scheduler->dispatchSyncOnWorkerQueueBlockID("BundlerTest",
                                              [&] { accepted = bundler->updateUserEngagement(-5, *bundle, false); });
  EXPECT_FALSE(accepted);
  EXPECT_EQ(database->userAttributeWithName("_lte", &error)->value().int64Value(), 3600);
}

class FailingAudience : public TLWNoAudienceEvaluation {
 public:
  std::optional<std::vector<std::shared_ptr<TLWPBAudienceLeafFilterResult>>> resultsForBundling() override {
    if (fail) return std::nullopt;
    auto leaf = TLWPBAudienceLeafFilterResult::initWithMessageInfo();
    leaf->SetInt32(TLWPBAudienceLeafFilterResult::kAudienceId, 7);
    return std::vector<std::shared_ptr<TLWPBAudienceLeafFilterResult>>{leaf};
  }
  bool evaluateFiltersForEvent(const TLWEvent& event, const TLWEventAggregates& aggregates,
                               TLWAudienceTimestampsCache*) override {
    seen.push_back(event.name() + ":" + std::to_string(aggregates.lifetimeCount()));
    return true;
  }
  bool clearEvaluationResultsForSessionScopedFilters() override { return !failSessionClear; }
  bool fail = true;
  bool failSessionClear = false;
  std::vector<std::string> seen;
};

TEST_F(BundlerBookkeepingTest, AFailureRollsBackEverythingAndAudienceResultsTravelWhenPresent) {
  auto failing = std::make_shared<FailingAudience>();
  audience = failing;
  makeBundler();
  const auto fp = storeMetadata();
  storeEvent("level_up", kHourStart, fp);
  storeEvent("level_up", kHourStart + 1, fp);

  EXPECT_FALSE(bundleOnce());
  EXPECT_EQ(logged(23113), 1u);
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(rawEventCount(), 2);
  TLWError error;
  EXPECT_EQ(database->queryAppMetadata(&error)->lastBundleIndex(), 0);
  EXPECT_FALSE(database->eventAggregatesWithName("level_up", &error));  // rolled back too
  EXPECT_EQ(host->suspendedResets, 0);

  failing->fail = false;
  failing->seen.clear();
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(failing->seen, (std::vector<std::string>{"level_up:1", "level_up:2"}));
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  auto results = bundles[0]->GetRepeated<TLWPBAudienceLeafFilterResult>(
      TLWPBMeasurementBundle::kAudienceEvaluationResults);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]->GetInt32(TLWPBAudienceLeafFilterResult::kAudienceId), 7);
  EXPECT_EQ(bundles[0]->GetInt32(TLWPBMeasurementBundle::kBundleSequenceIndex), 1);

  // A session start whose session-scoped results cannot be cleared rolls the bundle back,
  // so no session-scoped bit reaches the new session.
  failing->failSessionClear = true;
  storeEvent("_s", kHourStart + 2, fp);
  EXPECT_FALSE(bundleOnce());
  EXPECT_EQ(queued().size(), 1u);
  EXPECT_EQ(rawEventCount(), 1);
  failing->failSessionClear = false;
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(queued().size(), 2u);
}

class BundlerSamplingTest : public BundlerFixture {
 protected:
  void sampleAt(std::int32_t offsetMinutes) {
    configure({{std::string(keys::kEventSamplingEnabled), "1"},
               {std::string(keys::kTimeZoneOffsetMinutes), std::to_string(offsetMinutes)}},
              {{"coin", false, 10}});
  }
  void SetUp() override {
    BundlerFixture::SetUp();
    // The persisted midnight offset is drawn once, on first use: draw it before scripting.
    (void)pipeline->currentDayNumber();
  }
  void storeInternal(const std::string& name, double timestamp, std::int64_t fingerprint,
                     platform::Dictionary parameters = {}) {
    auto event = TLWEvent::initWithOrigin("app", false, name, timestamp, 0, parameters);
    ASSERT_TRUE(event);
    TLWError error;
    ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(*metadataByFingerprint[fingerprint], &error));
    ASSERT_TRUE(database->insertRawEvent(event.get(), fingerprint, false, &error));
  }
  // uniform(10) draws next64() and answers x % 10 for x >= 6.
  void rollsFail(int n) { env->fakeRandom()->script(std::vector<std::uint64_t>(n, 7)); }
  void rollsSucceed(int n) { env->fakeRandom()->script(std::vector<std::uint64_t>(n, 10)); }
};

TEST_F(BundlerSamplingTest, FailedRollsDropEventsExceptTheFirstOfANewDay) {
  sampleAt(0);
  const auto fp = storeMetadata();
  storeEvent("coin", kHourStart, fp);
  storeEvent("coin", kHourStart + 1, fp);
  storeEvent("coin", kHourStart + 2, fp);
  storeEvent("other", kHourStart + 3, fp);  // no rate: always kept
  rollsFail(3);
  EXPECT_TRUE(bundleOnce());
  auto bundle = queued().back();
  auto events = bundle->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->GetString(TLWPBEvent::kName), "coin");
  EXPECT_EQ(intParam(*events[0], "_sr"), 10);
  EXPECT_EQ(intParam(*events[0], "_efs"), 1);
  EXPECT_EQ(events[1]->GetString(TLWPBEvent::kName), "other");
  EXPECT_FALSE(intParam(*events[1], "_sr"));
  // Times cover the sampled-away events.
  EXPECT_EQ(bundle->GetInt64(TLWPBMeasurementBundle::kEndTimestamp), 1699999203000);

  TLWError error;
  auto aggregates = database->eventAggregatesWithName("coin", &error);
  ASSERT_TRUE(aggregates);
  EXPECT_EQ(aggregates->lastSamplingRate(), 10);
  EXPECT_EQ(aggregates->lastBundledDay(), 19675);
  EXPECT_TRUE(aggregates->lastExemptFromSampling());
  EXPECT_EQ(aggregates->lifetimeCount(), 3);  // counted before sampling

  // Same day, failed roll: dropped; the whole bundle goes and its rows with it.
  storeInternal("coin", kHourStart + 100, fp, {{"_eid", 77}});
  rollsFail(1);
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(queued().size(), 1u);
  EXPECT_EQ(rawEventCount(), 0);
  EXPECT_EQ(database->eventAggregatesWithName("coin", &error)->lastSampledComplexEventID(), 77);

  // The next day (UTC) the first event is exempt again.
  storeEvent("coin", kHourStart + 3 * 3600, fp);
  rollsFail(1);
  EXPECT_TRUE(bundleOnce());
  auto next = queued().back()->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(intParam(*next[0], "_efs"), 1);
  EXPECT_EQ(database->eventAggregatesWithName("coin", &error)->lastBundledDay(), 19676);
}

TEST_F(BundlerSamplingTest, DayBoundariesFollowTheAccountTimeZone) {
  // 20:00 and 22:00 UTC share a UTC day, but at +03:00 the second is already tomorrow.
  for (int offset : {0, 180}) {
    SCOPED_TRACE(offset);
    TearDown();
    SetUp();
    sampleAt(offset);
    const auto fp = storeMetadata();
    storeEvent("coin", kHourStart - 2 * 3600, fp);
    storeEvent("coin", kHourStart, fp);
    rollsFail(2);
    EXPECT_TRUE(bundleOnce());
    EXPECT_TRUE(bundleOnce());
    EXPECT_EQ(queued().size(), offset == 0 ? 1u : 2u);
  }
}

TEST_F(BundlerSamplingTest, SuccessfulRollsKeepEventsAndDebugModeSkipsSampling) {
  sampleAt(0);
  const auto fp = storeMetadata();
  storeInternal("coin", kHourStart, fp, {{"_sr", 3}});
  storeEvent("coin", kHourStart + 1, fp);
  rollsSucceed(2);
  EXPECT_TRUE(bundleOnce());
  auto events = queued().back()->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(intParam(*events[0], "_sr"), 3);  // an existing parameter is not replaced
  EXPECT_EQ(intParam(*events[1], "_sr"), 10);
  EXPECT_FALSE(intParam(*events[1], "_efs"));

  monitor->setDebugModeEnabled(true);
  const auto drawsBefore = env->fakeRandom()->draws();
  storeEvent("coin", kHourStart + 2, fp);
  storeEvent("coin", kHourStart + 3, fp);
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(env->fakeRandom()->draws(), drawsBefore);
  auto unsampled = queued().back()->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents);
  ASSERT_EQ(unsampled.size(), 2u);
  EXPECT_FALSE(intParam(*unsampled[0], "_sr"));
  monitor->setDebugModeEnabled(false);
}

TEST(TLWBundlerCreateTest, MissingRequiredDependenciesGiveNoBundler) {
  TLWBundler::Dependencies d;
  EXPECT_FALSE(TLWBundler::create(d));
}

}  // namespace
}  // namespace bundler_test
