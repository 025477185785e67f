#include "measurement/engine/TLWEventPipeline.h"

#include <gtest/gtest.h>

#include "measurement/engine/TLWBundleTimeChecks.h"
#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/storage/TLWKeychainWrapper.h"
#include "tests/measurement/engine/PipelineTestSupport.h"

using platform::Value;
using pipeline_test::PipelineFixture;

namespace {

std::int64_t intParam(const TLWEvent& e, const std::string& name, std::int64_t fallback = -1) {
  auto it = e.parameters().find(name);
  return it != e.parameters().end() && it->second.isInt64() ? it->second.int64Value() : fallback;
}

bool hasParam(const TLWEvent& e, const std::string& name) { return e.parameters().count(name) > 0; }

class TLWEventPipelineTest : public PipelineFixture {
 protected:
  std::shared_ptr<TLWEvent> event(const std::string& name, platform::Dictionary params = {},
                                  const std::string& origin = "app") {
    return TLWEvent::initWithOrigin(origin, false, name, env->clock()->now(), 0, params);
  }
  std::int64_t realtimeFlagOfRow(std::size_t index) {
    std::int64_t flag = -1;
    onWorker([&] {
      auto rows = database->sqliteStore()->recordsForQuery("SELECT is_realtime FROM raw_events ORDER BY rowid", {},
                                                            nullptr);
      if (rows && index < rows->size()) flag = (*rows)[index].get("is_realtime").int64Value().value_or(-1);
    });
    return flag;
  }
};

// ----------------------------------------------------------------- daily limits

TEST_F(TLWEventPipelineTest, AllEventsLimitDropsAndReportsOnTheFirstAndEveryThousandthOverflow) {
  setCounts(0, 100000, 0, 0, 0);
  log("level_up");
  EXPECT_TRUE(storedNames().empty());
  EXPECT_EQ(logCount(23055), 1);
  // Dropped events keep counting.
  EXPECT_EQ(counts().allEventsCount(), 100001);

  setCounts(0, 100999, 0, 0, 0);
  logger->clear();
  log("level_up");
  drain();
  EXPECT_EQ(logCount(23055), 0);
  log("level_up");
  drain();
  EXPECT_EQ(logCount(23055), 1);
  EXPECT_EQ(counts().allEventsCount(), 101001);
  EXPECT_TRUE(storedNames().empty());
}

TEST_F(TLWEventPipelineTest, ErrorEventLimitDropsErrorsAndGivesBackTheAllEventsCount) {
  setCounts(0, 10, 0, 1000, 0);
  pipeline->logErrorEventWithParameters(*TLWDataTypeValidator::errorEventParameters(5));
  drain();
  EXPECT_TRUE(storedNames().empty());
  EXPECT_TRUE(logged(23056));
  TLWDailyCounts c = counts();
  EXPECT_EQ(c.errorEventsCount(), 1001);
  EXPECT_EQ(c.allEventsCount(), 10);

  // Below the limit an error event is stored and counted.
  setCounts(0, 10, 0, 3, 0);
  pipeline->logErrorEventWithParameters(*TLWDataTypeValidator::errorEventParameters(5));
  EXPECT_EQ(storedErrorEvents(5), 1);
  EXPECT_EQ(counts().errorEventsCount(), 4);
  EXPECT_EQ(counts().allEventsCount(), 11);
}

TEST_F(TLWEventPipelineTest, PublicEventLimitDropsWithOneErrorEventThatCountsAsAnError) {
  setCounts(0, 50000, 50000, 0, 0);
  log("level_up");
  drain();
  EXPECT_EQ(logCount(23057), 1);
  EXPECT_EQ(storedNames(), std::vector<std::string>{"_err"});
  EXPECT_EQ(storedErrorEvents(16), 1);
  TLWDailyCounts c = counts();
  EXPECT_EQ(c.errorEventsCount(), 1);
  EXPECT_EQ(c.publicEventsCount(), 50001);
  // The dropped public event gave back its all-events count; the error event added one.
  EXPECT_EQ(c.allEventsCount(), 50001);

  // Internal events are not held by the public limit.
  pipeline->logEvent(event("_vs"));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_err", "_vs"}));
}

TEST_F(TLWEventPipelineTest, CountsUseTheEffectiveCountOfArrayParametersAndStartOverOnANewDay) {
  auto items = Value(platform::Array{Value(platform::Dictionary{{"item_id", "a"}}),
                                     Value(platform::Dictionary{{"item_id", "b"}})});
  log("add_to_cart", {{"items", items}});
  EXPECT_EQ(storedNames().size(), 1u);
  EXPECT_EQ(counts().allEventsCount(), 3);
  EXPECT_EQ(counts().publicEventsCount(), 3);

  env->fakeClock()->advance(86400);
  log("level_up");
  EXPECT_EQ(storedNames().size(), 2u);
  EXPECT_EQ(counts().allEventsCount(), 1);
  EXPECT_EQ(counts().day(), pipeline->currentDayNumber());
}

TEST_F(TLWEventPipelineTest, DayNumberUsesThePersistedMidnightOffset) {
  env->fakeClock()->setNow(86400.0 * 20000 + 100);
  persisted->setMidnightOffset(0);
  EXPECT_EQ(pipeline->currentDayNumber(), 20000);
  persisted->setMidnightOffset(200);
  EXPECT_EQ(pipeline->currentDayNumber(), 19999);
}

TEST_F(TLWEventPipelineTest, RealtimeMarksStopAtTheDailyLimitExceptForExemptEvents) {
  setCounts(0, 0, 0, 0, 10);
  auto late = event("_vs");
  late->setRealtime(true);
  pipeline->logEvent(late);
  drain();
  EXPECT_TRUE(logged(23060));
  auto purchase = event("_iap");
  purchase->setRealtime(true);
  pipeline->logEvent(purchase);
  auto stored = storedEvents();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_FALSE(stored[0]->rawEvent()->isRealtime());
  EXPECT_EQ(realtimeFlagOfRow(0), 0);
  EXPECT_TRUE(stored[1]->rawEvent()->isRealtime());
  EXPECT_EQ(realtimeFlagOfRow(1), 1);

  // Under the limit a conversion is stored as real-time even without a mark.
  setCounts(0, 2, 0, 0, 3);
  log("purchase", {{"value", 9.99}, {"currency", "EUR"}});
  ASSERT_EQ(storedEvents().size(), 3u);
  EXPECT_EQ(realtimeFlagOfRow(2), 1);
  EXPECT_TRUE(storedEvents()[2]->rawEvent()->isConversion());

  // At the limit it is stored, but not as real-time.
  setCounts(0, 3, 0, 0, 10);
  log("purchase", {{"value", 9.99}, {"currency", "EUR"}});
  EXPECT_EQ(realtimeFlagOfRow(3), 0);
}

TEST_F(TLWEventPipelineTest, DebugModeMarksEventsDebugAndRealtime) {
  monitor->setDebugModeEnabled(true);
  setCounts(0, 0, 0, 0, 10);
  log("level_up");
  auto stored = storedEvents();
  monitor->setDebugModeEnabled(false);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_TRUE(stored[0]->rawEvent()->isDebug());
  EXPECT_TRUE(stored[0]->rawEvent()->isRealtime());
  EXPECT_EQ(realtimeFlagOfRow(0), 1);
  EXPECT_TRUE(logged(23073));
}

// ----------------------------------------------------------------- cardinality, blocklist

TEST_F(TLWEventPipelineTest, EventNameCardinalityRefusesNewPublicNamesButNotKnownOnes) {
  settings->maxCardinality = 3;
  for (const char* name : {"a_event", "b_event", "c_event"}) log(name);
  EXPECT_EQ(storedNames().size(), 3u);
  log("d_event");
  drain();
  EXPECT_TRUE(logged(23065));
  EXPECT_EQ(storedErrorEvents(8), 1);
  auto names = storedNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "d_event"), 0);
  // The refused event rolled back its counts as well.
  EXPECT_EQ(counts().publicEventsCount(), 3);

  log("b_event");
  pipeline->logEvent(event("_new_internal"));
  names = storedNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "b_event"), 2);
  EXPECT_EQ(std::count(names.begin(), names.end(), "_new_internal"), 1);
}

TEST_F(TLWEventPipelineTest, BlocklistedEventsAreDroppedWithAnErrorEventUnlessWholeClassesAreBlocked) {
  settings->blocklisted = {"spam_event"};
  log("spam_event");
  auto stored = storedEvents();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]->rawEvent()->name(), "_err");
  EXPECT_EQ(intParam(*stored[0]->rawEvent(), "_err"), 11);
  auto ev = stored[0]->rawEvent()->parameters().find("_ev");
  ASSERT_NE(ev, stored[0]->rawEvent()->parameters().end());
  EXPECT_EQ(*ev->second.stringValue(), "spam_event");

  settings->publicBlocklist = true;
  log("other_event");
  pipeline->logEvent(event("_internal_ok"));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_err", "_internal_ok"}));
}

// ----------------------------------------------------------------- default parameters

TEST_F(TLWEventPipelineTest, DefaultParametersMergeUnderEventParametersAndNullRemovesOne) {
  pipeline->setDefaultEventParameters(platform::Dictionary{{"mode", "arcade"}, {"level", 1}});
  pipeline->setDefaultEventParameters(platform::Dictionary{{"level", 3}, {"mode", nullptr}});
  drain();
  auto stored = persisted->defaultEventParameters();
  ASSERT_TRUE(stored);
  EXPECT_FALSE(stored->contains("mode"));
  EXPECT_EQ(stored->get("level"), Value(3));

  log("level_up", {{"level", 7}, {"hero", "mage"}});
  pipeline->logErrorEventWithParameters(*TLWDataTypeValidator::errorEventParameters(4));
  pipeline->handleInternalEventOnWorkerQueue(nullptr);
  onWorker([&] { pipeline->handleInternalEventOnWorkerQueue(event("_vs", {}, "auto")); });
  auto events = storedEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(intParam(*events[0]->rawEvent(), "level"), 7);
  EXPECT_TRUE(hasParam(*events[0]->rawEvent(), "hero"));
  EXPECT_EQ(events[1]->rawEvent()->name(), "_err");
  EXPECT_FALSE(hasParam(*events[1]->rawEvent(), "level"));
  EXPECT_EQ(intParam(*events[2]->rawEvent(), "level"), 3);

  // Nil clears every default.
  pipeline->setDefaultEventParameters(std::nullopt);
  drain();
  log("level_up");
  EXPECT_FALSE(hasParam(*storedEvents().back()->rawEvent(), "level"));
}

TEST_F(TLWEventPipelineTest, DefaultParametersKeepTheSmallestNamesAndRejectBadEntries) {
  platform::Dictionary many;
  for (int i = 0; i < 30; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "p%02d", 29 - i);
    many.set(Value(name), Value(i));
  }
  many.set(Value("_reserved"), Value(1));
  many.set(Value("list"), Value(platform::Array{Value(1)}));
  many.set(Value("when"), Value::date(5));
  many.set(Value(7), Value("x"));
  pipeline->setDefaultEventParameters(many);
  drain();
  auto stored = persisted->defaultEventParameters();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), 25u);
  EXPECT_TRUE(stored->contains("p00"));
  EXPECT_TRUE(stored->contains("p24"));
  EXPECT_FALSE(stored->contains("p25"));
  EXPECT_FALSE(stored->contains("_reserved"));
  EXPECT_FALSE(stored->contains("list"));
  EXPECT_TRUE(logged(23215));
  EXPECT_TRUE(logged(23214));
  EXPECT_EQ(logCount(23213), 2);
  EXPECT_TRUE(logged(23212));
  EXPECT_EQ(storedErrorEvents(26), 1);
  EXPECT_EQ(storedErrorEvents(27), 1);
}

TEST_F(TLWEventPipelineTest, DefaultParametersAreNotChangedWhileCollectionIsDisabled) {
  host->enabled = false;
  pipeline->setDefaultEventParameters(platform::Dictionary{{"level", 3}});
  drain();
  EXPECT_TRUE(logged(23211));
  EXPECT_FALSE(persisted->defaultEventParameters().has_value());
}

// ----------------------------------------------------------------- metadata

TEST_F(TLWEventPipelineTest, IdenticalMetadataIsStoredOnceAndChangesWithUserProperties) {
  log("a_event");
  log("b_event");
  auto first = storedEvents();
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0]->metadataFingerprint(), first[1]->metadataFingerprint());
  EXPECT_EQ(rowCount("raw_events_metadata"), 1);

  ASSERT_TRUE(storeProperty("app", "hero_class", TLWValue::initWithString("mage")));
  log("c_event");
  auto all = storedEvents();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_NE(all[2]->metadataFingerprint(), all[0]->metadataFingerprint());
  EXPECT_EQ(rowCount("raw_events_metadata"), 2);

  std::shared_ptr<TLWPBMeasurementBundle> metadata;
  onWorker([&] { metadata = database->queryRawEventsMetadataWithFingerprint(all[2]->metadataFingerprint(), nullptr); });
  ASSERT_TRUE(metadata);
  using B = TLWPBMeasurementBundle;
  EXPECT_EQ(metadata->GetString(B::kPlatform).value_or(""), "ios");
  EXPECT_EQ(metadata->GetString(B::kAppId).value_or(""), "com.vorlix.tallywise.tests");
  EXPECT_EQ(metadata->GetString(B::kZelAppId).value_or(""), "1:1234567890:ios:abcdef");
  EXPECT_FALSE(metadata->HasField(B::kQuadoAppId));
  EXPECT_EQ(metadata->GetString(B::kAppStore).value_or(""), "manual_install");
  EXPECT_EQ(metadata->GetInt64(B::kSdkVersion), 80901);
  EXPECT_EQ(metadata->GetString(B::kAppInstanceId).value_or(""), "0123456789ABCDEF0123456789ABCDEF");
  auto attributes = metadata->GetRepeated<TLWPBUserAttribute>(B::kUserAttributes);
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_EQ(attributes[0]->GetString(TLWPBUserAttribute::kName).value_or(""), "hero_class");
  EXPECT_EQ(attributes[0]->GetString(TLWPBUserAttribute::kStringValue).value_or(""), "mage");
}

TEST_F(TLWEventPipelineTest, MetadataHonoursDeniedAnalyticsStorage) {
  auto inputs = identity->rawEventMetadataInputs();
  inputs.identifiers.consentSignals = "G110";  // analytics storage denied
  inputs.identifiers.identifierForVendor = "VENDOR-ID";
  identity->setInputs(inputs);
  log("a_event");
  auto stored = storedEvents();
  ASSERT_EQ(stored.size(), 1u);
  std::shared_ptr<TLWPBMeasurementBundle> metadata;
  onWorker([&] { metadata = database->queryRawEventsMetadataWithFingerprint(stored[0]->metadataFingerprint(), nullptr); });
  ASSERT_TRUE(metadata);
  EXPECT_FALSE(metadata->HasField(TLWPBMeasurementBundle::kAppInstanceId));
  EXPECT_FALSE(metadata->HasField(TLWPBMeasurementBundle::kVendorDeviceId));
  EXPECT_EQ(metadata->GetString(TLWPBMeasurementBundle::kConsentSignals).value_or(""), "G110");
}

TEST_F(TLWEventPipelineTest, FirstOpenIncrementsTheKeychainCount) {
  // Up by one; a negative count starts again at one; the largest count stays put.
  const std::string app = "com.vorlix.tallywise.tests";
  for (const auto& [stored, expected] : std::vector<std::pair<std::string, std::string>>{
           {"4", "5"}, {"-3", "1"}, {"9223372036854775807", "9223372036854775807"}}) {
    ASSERT_TRUE(TLWKeychainWrapper::upsertKeychainValue(stored, "_pfo", app, env));
    pipeline->logEvent(event("_f", {}, "auto"));
    drain();
    EXPECT_EQ(TLWKeychainWrapper::keychainValueWithIdentifier("_pfo", app, env).value_or(""), expected) << stored;
  }
  // Without an advertising identifier the first open waits for one.
  EXPECT_TRUE(persisted->unmatchedFirstOpenWithoutIDFA());
}

TEST_F(TLWEventPipelineTest, AnAdvertisingIdentifierMatchesAnEarlierFirstOpen) {
  persisted->setUnmatchedFirstOpenWithoutIDFA(true);
  auto inputs = identity->rawEventMetadataInputs();
  inputs.identifiers.limitedAdTracking = false;
  inputs.identifiers.resettableDeviceID = "AD-ID";
  identity->setInputs(inputs);
  log("level_up");
  auto names = storedNames();
  EXPECT_EQ(names, (std::vector<std::string>{"level_up", "_fx"}));
  EXPECT_FALSE(persisted->unmatchedFirstOpenWithoutIDFA());
  EXPECT_TRUE(storedEvents()[1]->rawEvent()->isRealtime());
}

// ----------------------------------------------------------------- the enable switch and entry

TEST_F(TLWEventPipelineTest, NothingIsWrittenWhileCollectionIsDisabled) {
  host->enabled = false;
  log("level_up");
  pipeline->logEvent(event("_vs"));
  drain();
  EXPECT_TRUE(storedNames().empty());
  EXPECT_EQ(logCount(23049), 2);
  // Calls made with enabled = NO reach the write path without notifying listeners.
  host->enabled = true;
  {
    std::lock_guard<std::mutex> lock(host->mutex);
    host->notified.clear();
  }
  pipeline->logEventWithOrigin("app", true, "level_up", {}, env->clock()->now(), false, false, false, nullptr);
  drain();
  EXPECT_TRUE(host->notifiedNames().empty());
  EXPECT_EQ(storedNames(), std::vector<std::string>{"level_up"});
}

TEST_F(TLWEventPipelineTest, InterceptorReceivesPublicEventsAndQdEventsSkipInterceptorAndListeners) {
  std::vector<std::string> intercepted;
  std::mutex m;
  TLWEventInterceptor interceptor = [&](const std::string&, const std::string& name, const platform::Dictionary& p,
                                        double) {
    std::lock_guard<std::mutex> lock(m);
    intercepted.push_back(name + (p.contains("_sn") ? "+screen" : ""));
  };
  platform::Dictionary screen{{"_sn", "Shop"}, {"_sc", "ShopController"}, {"_si", 42}};
  pipeline->logEventWithOrigin("app", true, "level_up", {}, env->clock()->now(), true, false, false, interceptor,
                               screen);
  pipeline->logEventWithOrigin("qd", true, "bonus_claimed", {}, env->clock()->now(), true, false, false, interceptor);
  pipeline->logEventWithOrigin("app", true, "again", {}, env->clock()->now(), true, false, true, interceptor);
  drain();
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(intercepted, std::vector<std::string>{"level_up+screen"});
  }
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"bonus_claimed", "again"}));
  EXPECT_EQ(host->notifiedNames(), std::vector<std::string>{"again"});
  EXPECT_GE(host->scheduleUpdates.load(), 2);
}

TEST_F(TLWEventPipelineTest, SafelistKeepsListedEventsMarkedAndDropsOthers) {
  {
    std::lock_guard<std::mutex> lock(host->mutex);
    host->safelist = {"level_up"};
  }
  log("screen_view");
  log("level_up");
  auto stored = storedEvents();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]->rawEvent()->name(), "level_up");
  EXPECT_EQ(intParam(*stored[0]->rawEvent(), "lq_safelisted"), 1);
  EXPECT_TRUE(logged(23174));
}

TEST_F(TLWEventPipelineTest, BackgroundEventsExtendOrStartSessionsAndExpireSessionProperties) {
  host->appActive = false;
  log("level_up", {{"extend_session", 2}});
  drain();
  EXPECT_TRUE(logged(23179));
  EXPECT_EQ(host->extendCalls.load(), 0);
  log("level_up", {{"extend_session", 1}});
  drain();
  EXPECT_EQ(host->extendCalls.load(), 1);

  ASSERT_TRUE(storeProperty("auto", "_sid", TLWValue::initWithInt64(1)));
  ASSERT_TRUE(storeProperty("auto", "_sno", TLWValue::initWithInt64(2)));
  host->sessionExpired = true;
  log("level_up", {{"extend_session", 1}});
  drain();
  {
    std::lock_guard<std::mutex> lock(host->mutex);
    ASSERT_EQ(host->sessionStarts.size(), 1u);
    EXPECT_TRUE(host->sessionStarts[0].second);
  }
  std::optional<bool> hasSid;
  onWorker([&] { hasSid = database->containsUserAttributeWithName("_sid", nullptr); });
  EXPECT_EQ(hasSid, std::optional<bool>(false));
  EXPECT_EQ(storedNames().size(), 3u);
}

// ----------------------------------------------------------------- subscriptions and rollouts

TEST_F(TLWEventPipelineTest, DuplicateSubscriptionPurchasesAreDropped) {
  auto purchase = [&](std::int64_t id) {
    pipeline->logEvent(event("_iap", {{"subscription", 1}, {"_did", static_cast<long long>(id)}, {"product_id", "gold"}},
                             "auto"));
  };
  purchase(42);
  purchase(42);
  purchase(43);
  pipeline->logEvent(event("_assr", {{"_did", 43}}, "auto"));
  // Not a subscription: never de-duplicated.
  pipeline->logEvent(event("_iap", {{"_did", 42}}, "auto"));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_iap", "_iap", "_iap"}));
  EXPECT_EQ(logCount(23182), 2);
}

TEST_F(TLWEventPipelineTest, APurchaseIsKeptWhenTrimmingOldSubscriptionIDsFails) {
  onWorker([&] {
    ASSERT_TRUE(database->sqliteStore()->executeSQL(
        "CREATE TRIGGER refuse_trim BEFORE DELETE ON subscriptions BEGIN SELECT RAISE(ABORT, 'trim refused'); END",
        nullptr));
  });
  // Fill the table to its limit so that the trim has something to delete.
  onWorker([&] {
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(database->insertIfNotDuplicateSubscriptionID("old" + std::to_string(i), nullptr));
  });
  pipeline->logEvent(event("_iap", {{"subscription", 1}, {"_did", 7}, {"product_id", "gold"}}, "auto"));
  EXPECT_EQ(storedNames(), std::vector<std::string>{"_iap"});
  // The trim failed: nothing was deleted, the new ID was stored.
  EXPECT_EQ(rowCount("subscriptions"), 1001);
  // The ID is remembered, so the same purchase is still recognised as a duplicate.
  pipeline->logEvent(event("_iap", {{"subscription", 1}, {"_did", 7}, {"product_id", "gold"}}, "auto"));
  EXPECT_EQ(storedNames().size(), 1u);
}

TEST_F(TLWEventPipelineTest, FeatureRolloutSessionStartsAreDeduplicatedAndTagExceptions) {
  pipeline->logEvent(event("_ssr", {}, "auto"));
  drain();
  EXPECT_TRUE(logged(23191));
  pipeline->logEvent(event("_ssr", {{"_ffr", "exp_a"}}, "auto"));
  pipeline->logEvent(event("_ssr", {{"_ffr", "exp_a"}}, "auto"));
  drain();
  EXPECT_EQ(persisted->tarnwickFeatureRollouts().value_or(""), "exp_a");
  pipeline->logEvent(event("_ae", {}, "auto"));
  pipeline->logEvent(event("_s", {}, "auto"));
  auto stored = storedEvents();
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(stored[0]->rawEvent()->name(), "_ssr");
  EXPECT_EQ(stored[1]->rawEvent()->name(), "_ae");
  EXPECT_EQ(*stored[1]->rawEvent()->parameters().at("_ffr").stringValue(), "exp_a");
  EXPECT_EQ(stored[2]->rawEvent()->name(), "_s");
  EXPECT_EQ(stored[3]->rawEvent()->name(), "_ssr");
  EXPECT_EQ(*stored[3]->rawEvent()->parameters().at("_ffr").stringValue(), "exp_a");
}

// ----------------------------------------------------------------- event editing

TEST_F(TLWEventPipelineTest, EditedAndCreatedEventsAreWrittenFailuresAndThrowsKeepTheOriginalInvalidEditsDrop) {
  settings->editor = [](const TLWEvent::EditForm& in) {
    TLWEventEditOutcome out;
    if (in.name == "broken_event") {
      out.failed = true;
      return out;
    }
    // Whatever an editing hook throws costs neither this event nor the ones after it.
    if (in.name == "oom_event") throw std::bad_alloc();
    if (in.name == "odd_event") throw 7;
    TLWEvent::EditForm edited = in;
    if (in.name == "drop_me") {
      // A program drops an event by clearing its name: it fails validation.
      edited.name.clear();
      out.editedEvent = edited;
      return out;
    }
    edited.parameters.set(Value("edited"), Value(1));
    out.editedEvent = edited;
    TLWEvent::EditForm created{"bonus_event", in.timestamp, platform::Dictionary{{"_o", "auto"}}};
    out.createdEvents.push_back(created);
    return out;
  };
  log("level_up");
  log("broken_event");
  log("oom_event");
  log("odd_event");
  log("drop_me");
  drain();
  auto stored = storedEvents();
  ASSERT_EQ(stored.size(), 5u);
  EXPECT_EQ(stored[0]->rawEvent()->name(), "level_up");
  EXPECT_EQ(intParam(*stored[0]->rawEvent(), "edited"), 1);
  EXPECT_EQ(stored[1]->rawEvent()->name(), "bonus_event");
  EXPECT_EQ(stored[1]->rawEvent()->origin(), "auto");
  EXPECT_EQ(stored[2]->rawEvent()->name(), "broken_event");
  EXPECT_EQ(stored[3]->rawEvent()->name(), "oom_event");
  EXPECT_EQ(stored[4]->rawEvent()->name(), "odd_event");
  EXPECT_EQ(stored[4]->rawEvent()->parameters().count("edited"), 0u);
  EXPECT_TRUE(logged(23223));
  EXPECT_FALSE(logged(30000));
  EXPECT_TRUE(logged(23227));
}

// ----------------------------------------------------------------- bundle-time checks

TEST_F(TLWEventPipelineTest, BundleTimeChecksRenameLimitConversionsAndRealtimeAndValidatePurchases) {
  auto raw = [&](std::shared_ptr<TLWEvent> e) { return TLWRawEventData::initWithRawEvent(std::move(e), 12, 99); };
  TLWBundleTimeChecks checks({persisted, settings, nullptr, env, monitor});

  auto impression = checks.internalEventFromPublicEvent(raw(event("ad_impression", {{"ad_unit", 7}})));
  EXPECT_EQ(impression->rawEvent()->name(), "_ai");
  EXPECT_EQ(impression->rowID(), 12);
  EXPECT_EQ(impression->metadataFingerprint(), 99);
  EXPECT_EQ(intParam(*impression->rawEvent(), "ad_unit"), 7);

  const std::int32_t day = pipeline->currentDayNumber();
  TLWDailyCounts counts(day, 0, 5, 0, 0, 0);
  auto purchase = event("purchase", {{"value", 2.5}, {"currency", "USD"}});
  purchase->setConversion(true);
  auto data = raw(purchase);
  EXPECT_TRUE(checks.checkConversion(data, counts));
  EXPECT_EQ(counts.conversionsCount(), 1);
  EXPECT_EQ(counts.allEventsCount(), 5);
  EXPECT_TRUE(data->rawEvent()->isConversion());

  settings->maxConversions = 1;
  auto over = raw(purchase);
  EXPECT_FALSE(checks.checkConversion(over, counts));
  EXPECT_FALSE(over->rawEvent()->isConversion());
  EXPECT_TRUE(logged(23102));

  settings->customConversions = {"tutorial_done"};
  settings->maxConversions = 10;
  auto custom = raw(event("tutorial_done"));
  EXPECT_TRUE(checks.checkConversion(custom, counts));
  EXPECT_TRUE(custom->rawEvent()->isConversion());

  settings->maxRealtime = 1;
  auto marked = event("level_up");
  marked->setRealtime(true);
  auto first = raw(marked);
  EXPECT_TRUE(checks.checkRealtime(first, counts));
  EXPECT_TRUE(first->rawEvent()->isRealtime());
  EXPECT_EQ(counts.realtimeCount(), 1);
  auto second = raw(marked);
  EXPECT_FALSE(checks.checkRealtime(second, counts));
  EXPECT_FALSE(second->rawEvent()->isRealtime());
  auto iapEvent = event("_iap");
  iapEvent->setRealtime(true);
  auto iap = raw(iapEvent);
  EXPECT_FALSE(checks.checkRealtime(iap, counts));
  EXPECT_TRUE(iap->rawEvent()->isRealtime());
  auto plain = raw(event("level_up"));
  EXPECT_FALSE(checks.checkRealtime(plain, counts));
  EXPECT_FALSE(plain->rawEvent()->isRealtime());

  auto validated = checks.validatePurchaseEvent(raw(event("_iap")));
  EXPECT_EQ(intParam(*validated->rawEvent(), "validated"), 0);
  EXPECT_FALSE(hasParam(*validated->rawEvent(), "sandbox"));
  auto other = raw(event("level_up"));
  EXPECT_EQ(checks.validatePurchaseEvent(other), other);
}

}  // namespace
