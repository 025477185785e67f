#include "measurement/engine/TLWMeasurement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "MeasurementTestSupport.h"
#include "tests/measurement/config/RemoteConfigTestSupport.h"
#include "measurement/scheduler/TLWAlarm.h"
#include "measurement/engine/TLWMeasurementComponents.h"
#include "measurement/experiments/TLWEManager.h"
#include "measurement/model/TLWEventAggregates.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/properties/TLWConditionalUserPropertyController.h"
#include "measurement/storage/TLWKeychainWrapper.h"
#include "platform/app/Application.h"
#include "tests/support/TLWNoScreenViewReporter.h"
#include "tests/support/TLWNoSessionReporter.h"
#include "platform/app/NotificationCenter.h"

using measurement_test::Launch;
using measurement_test::LaunchOptions;
using measurement_test::MeasurementFixture;

namespace {

std::int64_t intParameter(const TLWEvent& event, const std::string& name) {
  auto it = event.parameters().find(name);
  if (it == event.parameters().end()) return -1;
  return it->second.int64Value();
}
bool hasParameter(const TLWEvent& event, const std::string& name) {
  return event.parameters().find(name) != event.parameters().end();
}
std::string stringParameter(const TLWEvent& event, const std::string& name) {
  auto it = event.parameters().find(name);
  if (it == event.parameters().end() || !it->second.stringValue()) return {};
  return *it->second.stringValue();
}
int countOf(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<int>(std::count(names.begin(), names.end(), name));
}

}  // namespace

// ---------------------------------------------------------------------------
// First launch, later launches, updates

TEST_F(MeasurementFixture, FirstLaunchReportsFirstOpenWithItsParametersAndProperties) {
  sandbox_->fakeClock()->setNow(1'700'000'000.250);
  auto first = launch();
  ASSERT_TRUE(first->engine->didInitializeComponents());

  auto opens = first->front->events("_f");
  ASSERT_EQ(opens.size(), 1u);
  const TLWEvent& f = *opens[0];
  EXPECT_EQ(f.origin(), "auto");
  EXPECT_DOUBLE_EQ(f.timestamp(), 1'700'000'000.250);
  EXPECT_EQ(intParameter(f, "_pfo"), 0);
  EXPECT_EQ(intParameter(f, "_uwa"), 0);  // the running version is the one first installed
  EXPECT_FALSE(hasParameter(f, "_pgmp"));
  EXPECT_FALSE(hasParameter(f, "_dac"));  // collection was on at the first decision

  auto names = first->storedEventNames();
  EXPECT_EQ(countOf(names, "_f"), 1);
  EXPECT_EQ(countOf(names, "_e"), 1);

  // "_fot" is the launch time rounded up to the next whole hour.
  auto fot = first->storedProperty("_fot");
  ASSERT_TRUE(fot);
  const std::int64_t launchMillis = 1'700'000'000'250;
  EXPECT_EQ(fot->value().int64Value(), (launchMillis / 3'600'000 + 1) * 3'600'000);
  auto fi = first->storedProperty("_fi");
  ASSERT_TRUE(fi);
  EXPECT_EQ(fi->value().int64Value(), 1);
  EXPECT_EQ(first->persisted->firstOpenTimestampMilliseconds(), launchMillis);
  // The launch time is no longer owed.
  EXPECT_TRUE(first->persisted->loadTimestampValue().isNull());
}

// Later launches report first open no more, and an update event only for what changed,
// carrying the version it replaced.
TEST_F(MeasurementFixture, LaterLaunchesReportOnlyTheVersionThatChangedWithThePreviousOne) {
  sandbox_->fakeDevice()->setOSVersion("17.1");
  { auto first = launch(); }
  sandbox_->fakeClock()->advance(3600);
  {
    auto second = launch();
    EXPECT_TRUE(second->front->events("_f").empty());
    EXPECT_EQ(countOf(second->storedEventNames(), "_f"), 1);  // only the first launch's
    auto pfo = TLWKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.vorlix.skyforge", second->env);
    ASSERT_TRUE(pfo);
    EXPECT_GE(std::stoll(*pfo), 1);
    EXPECT_TRUE(second->front->events("_au").empty());
    EXPECT_TRUE(second->front->events("_ou").empty());
  }
  writeInfoPlist("2.0");
  {
    auto third = launch();
    auto updates = third->front->events("_au");
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(stringParameter(*updates[0], "_pv"), "1.0");
    EXPECT_EQ(updates[0]->origin(), "auto");
    EXPECT_TRUE(third->front->events("_ou").empty());
    EXPECT_EQ(third->persisted->appVersion().value_or(""), "2.0");
    EXPECT_EQ(countOf(third->storedEventNames(), "_au"), 1);
  }
  sandbox_->fakeDevice()->setOSVersion("17.2");
  auto fourth = launch();
  auto updates = fourth->front->events("_ou");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(stringParameter(*updates[0], "_po"), "17.1");
  EXPECT_TRUE(fourth->front->events("_au").empty());
  EXPECT_EQ(fourth->persisted->osVersion().value_or(""), "17.2");
}

TEST_F(MeasurementFixture, ALaunchWhoseFirstOpenFailedKeepsItsLaunchTimeForTheNextLaunch) {
  sandbox_->fakeClock()->setNow(1'700'000'000.0);
  {
    // The first launch never gets as far as first open: collection stays off.
    LaunchOptions off;
    off.enabled = false;
    auto first = launch(off);
    EXPECT_FALSE(first->engine->didInitializeComponents());
    EXPECT_DOUBLE_EQ(first->persisted->loadTimestampValue().doubleValue().value_or(0), 1'700'000'000.0);
  }
  sandbox_->fakeClock()->advance(5000);
  auto second = launch();
  auto opens = second->front->events("_f");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_DOUBLE_EQ(opens[0]->timestamp(), 1'700'000'000.0);
  // Collection was off at the first decision: first open says so once.
  EXPECT_EQ(intParameter(*opens[0], "_dac"), 1);
}

// ---------------------------------------------------------------------------
// Enable switch

TEST_F(MeasurementFixture, PersistedStateOverridesTheStartOptionsAndDeactivationOverridesBoth) {
  {
    auto l = launch();
    l->persisted->setMeasurementEnabledState(2);
  }
  {
    auto l = launch();  // options say enabled
    EXPECT_FALSE(l->engine->wasEnabledDuringInitialization());
    EXPECT_FALSE(l->engine->didInitializeComponents());
    l->persisted->setMeasurementEnabledState(1);
  }
  {
    LaunchOptions off;
    off.enabled = false;
    auto l = launch(off);
    EXPECT_TRUE(l->engine->wasEnabledDuringInitialization());
    EXPECT_TRUE(l->engine->didInitializeComponents());
  }
  LaunchOptions deactivated;
  deactivated.deactivated = true;
  auto l = launch(deactivated);
  EXPECT_FALSE(l->engine->wasEnabledDuringInitialization());
  l->engine->setEnabled(true);
  l->drain();
  EXPECT_FALSE(l->engine->enabled());
  EXPECT_FALSE(l->engine->didInitializeComponents());
  EXPECT_GE(l->recorder->count(23206), 1);
}

TEST_F(MeasurementFixture, TheFirstEnableDecisionIsStoredOnceUntilFirstOpenClearsIt) {
  LaunchOptions off;
  off.enabled = false;
  auto l = launch(off);
  auto suite = l->front->suite();
  EXPECT_EQ(suite->integerForKey(kTLWDeferredAnalyticsCollectionKey), 1);
  l->engine->setEnabled(false);
  l->drain();
  EXPECT_EQ(suite->integerForKey(kTLWDeferredAnalyticsCollectionKey), 1);
  l->engine->setEnabled(true);
  l->drain();
  // Enabling brought the components up and reported first open with "_dac", which
  // clears the decision.
  EXPECT_TRUE(l->engine->didInitializeComponents());
  auto opens = l->front->events("_f");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(intParameter(*opens[0], "_dac"), 1);
  EXPECT_TRUE(suite->objectForKey(kTLWDeferredAnalyticsCollectionKey).isNull());
  // Disabling logs and keeps the components; events are refused.
  l->engine->setEnabled(false);
  l->drain();
  EXPECT_GE(l->recorder->count(23013), 1);
  EXPECT_EQ(suite->integerForKey(kTLWDeferredAnalyticsCollectionKey), 1);
  l->engine->logEventWithOrigin("app", true, "level_up", {{"level", 2}}, 1'700'000'001.0, false, false, false,
                                nullptr, {});
  l->drain();
  EXPECT_EQ(countOf(l->storedEventNames(), "level_up"), 0);
}

TEST_F(MeasurementFixture, EventsLoggedThroughTheEngineAreStoredThroughThePipeline) {
  auto l = launch();
  l->engine->logEventWithOrigin("app", true, "level_up", {{"level", 5}, {"hero", "mage"}}, 1'700'000'001.0, true,
                                false, false, nullptr, {});
  l->drain();
  EXPECT_EQ(countOf(l->storedEventNames(), "level_up"), 1);
  auto listened = l->front->events("level_up");
  ASSERT_EQ(listened.size(), 1u);
  EXPECT_EQ(intParameter(*listened[0], "level"), 5);

  // User properties reach the database and come back.
  auto attribute = TLWUserAttribute::initWithOrigin("app", "favorite_food", TLWValue::initWithString("pizza"),
                                                    1'700'000'002.0);
  l->engine->setUserAttribute(attribute);
  l->drain();
  auto stored = l->storedProperty("favorite_food");
  ASSERT_TRUE(stored);
  ASSERT_TRUE(stored->value().stringValue());
  EXPECT_EQ(*stored->value().stringValue(), "pizza");
}

// An event handed over while a drain is running must not be overtaken by a block handed
// over after it (an exit's "everything stored?" check is such a block).
TEST_F(MeasurementFixture, ABlockHandedOverAfterAnEventRunsAfterThatEventIsStored) {
  auto l = launch();
  auto engine = l->engine;
  std::vector<std::string> seenByBlock;
  bool blockRan = false;
  // Runs on the worker, inside the drain, in place of logging "trigger".
  TLWEventInterceptor interceptor = [&](const std::string&, const std::string&, const platform::Dictionary&, double) {
    engine->logEventWithOrigin("app", true, "handed_over", {}, 1'700'000'002.0, true, false, false, nullptr, {});
    engine->whenPendingWorkStored([&] {
      TLWError error;
      auto rows = engine->database()->sqliteStore()->recordsForQuery("SELECT name FROM raw_events", {}, &error);
      if (rows) for (const auto& row : *rows) seenByBlock.push_back(row.get("name").stringOr());
      blockRan = true;
    });
  };
  engine->logEventWithOrigin("app", true, "trigger", {}, 1'700'000'001.0, true, false, false, interceptor, {});
  l->drain();
  ASSERT_TRUE(blockRan);
  EXPECT_EQ(countOf(seenByBlock, "handed_over"), 1);
}

// The app's interceptor is app code: it runs with no transaction open, between the groups
// of events stored around it, so a slow one keeps no other process out of the database.
TEST_F(MeasurementFixture, TheInterceptorRunsOutsideAnyTransactionBetweenTheEventsAroundIt) {
  auto l = launch();
  auto engine = l->engine;
  std::vector<bool> inTransaction;
  TLWEventInterceptor interceptor = [&](const std::string&, const std::string& name, const platform::Dictionary&,
                                        double timestamp) {
    inTransaction.push_back(engine->database()->isInTransaction() || engine->database()->isInWriteGroup());
    engine->logEventWithOrigin("app", true, name, {}, timestamp, true, false, true, nullptr, {});
  };
  double t = 1'700'000'001.0;
  for (const char* name : {"before", "intercepted", "between", "intercepted", "after"}) {
    const bool intercept = std::string_view(name) == "intercepted";
    engine->logEventWithOrigin("app", true, name, {}, t += 1, true, false, false, intercept ? interceptor : nullptr,
                               {});
  }
  l->drain();
  EXPECT_EQ(inTransaction, (std::vector<bool>{false, false}));
  auto names = l->storedEventNames();
  for (const char* name : {"before", "between", "after"}) EXPECT_EQ(countOf(names, name), 1) << name;
  EXPECT_EQ(countOf(names, "intercepted"), 2) << "each logged again once";
}

// ---------------------------------------------------------------------------
// Reset and wipe

TEST_F(MeasurementFixture, ResetWipesDataAndIdentifiersAndReportsFirstOpenAgain) {
  auto l = launch();
  l->engine->logEventWithOrigin("app", true, "level_up", {{"level", 1}}, 1'700'000'001.0, true, false, false, nullptr,
                                {});
  l->drain();
  l->persisted->setAppIDFromZEL(std::string("1:old:ios:app"));
  l->persisted->setHashedResettableDeviceID(std::string("hash"));
  ASSERT_EQ(countOf(l->storedEventNames(), "level_up"), 1);

  sandbox_->fakeClock()->setNow(1'700'100'000.0);
  l->front->setLoadTimestamp(1'700'100'000.0);
  ASSERT_TRUE(l->engine->resetAnalyticsDataWithAppInstanceID(std::string("NEWINSTANCE")));
  l->drain();

  auto names = l->storedEventNames();
  EXPECT_EQ(countOf(names, "level_up"), 0);
  EXPECT_EQ(countOf(names, "_f"), 1);  // the new one only
  auto opens = l->front->events("_f");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_DOUBLE_EQ(opens[1]->timestamp(), 1'700'100'000.0);
  EXPECT_EQ(stringParameter(*opens[1], "_pgmp"), "1:old:ios:app");
  l->engine->identity()->flush();  // the ID is written on the identity's queue
  EXPECT_EQ(l->persisted->appInstanceID().value_or(""), "NEWINSTANCE");
  EXPECT_FALSE(l->persisted->hashedResettableDeviceID());
  EXPECT_GE(l->recorder->count(23168), 1);
}

TEST_F(MeasurementFixture, ResetWithoutAnAppInstanceIDIsRefusedWhileStorageIsAllowed) {
  auto l = launch();
  EXPECT_FALSE(l->engine->resetAnalyticsDataWithAppInstanceID(std::nullopt));
  l->drain();
  EXPECT_GE(l->recorder->count(23167), 1);
  EXPECT_EQ(countOf(l->storedEventNames(), "_f"), 1);  // nothing was wiped
}

TEST_F(MeasurementFixture, AnUnfinishedResetIsRetriedAtTheNextStartUntilTheTenthTry) {
  {
    auto first = launch();
    first->engine->logEventWithOrigin("app", true, "kept_until_reset", {}, 1'700'000'001.0, true, false, false,
                                      nullptr, {});
    first->drain();
    // The process dies after the reset was requested but before the engine wiped.
    first->front->suite()->setInteger(1, kTLWResetRetryCountKey);
  }
  {
    auto second = launch();
    auto names = second->storedEventNames();
    EXPECT_EQ(countOf(names, "kept_until_reset"), 0);
    EXPECT_EQ(countOf(names, "_f"), 1);
    EXPECT_EQ(second->front->events("_f").size(), 1u);
    EXPECT_TRUE(second->front->suite()->objectForKey(kTLWResetRetryCountKey).isNull());
    second->engine->logEventWithOrigin("app", true, "survives", {}, 1'700'000'002.0, true, false, false, nullptr, {});
    second->drain();
    second->front->suite()->setInteger(10, kTLWResetRetryCountKey);
  }
  auto third = launch();
  EXPECT_EQ(countOf(third->storedEventNames(), "survives"), 1);
  EXPECT_EQ(third->front->suite()->integerForKey(kTLWResetRetryCountKey), 10);
}

TEST_F(MeasurementFixture, AChangedRegisteredAppIDWipesTheDataAtStart) {
  LaunchOptions firstApp;
  firstApp.registeredAppID = "1:111:ios:aaa";
  {
    auto first = launch(firstApp);
    first->engine->logEventWithOrigin("app", true, "old_app_event", {}, 1'700'000'001.0, true, false, false, nullptr,
                                      {});
    first->drain();
    EXPECT_EQ(first->persisted->appIDFromZEL().value_or(""), "1:111:ios:aaa");
  }
  {
    auto same = launch(firstApp);
    EXPECT_EQ(countOf(same->storedEventNames(), "old_app_event"), 1);
  }
  LaunchOptions secondApp;
  secondApp.registeredAppID = "1:222:ios:bbb";
  auto third = launch(secondApp);
  EXPECT_EQ(countOf(third->storedEventNames(), "old_app_event"), 0);
  auto opens = third->front->events("_f");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(stringParameter(*opens[0], "_pgmp"), "1:111:ios:aaa");
  EXPECT_EQ(third->persisted->appIDFromZEL().value_or(""), "1:222:ios:bbb");
}

// ---------------------------------------------------------------------------
// Pure rules

TEST(TLWMeasurementRules, HourRoundingAlwaysMovesToTheNextHour) {
  EXPECT_EQ(TLWMeasurement::timestampMillisRoundedUpToNextHour(0), 3'600'000);
  EXPECT_EQ(TLWMeasurement::timestampMillisRoundedUpToNextHour(3'600'000), 7'200'000);
  EXPECT_EQ(TLWMeasurement::timestampMillisRoundedUpToNextHour(3'599'999), 3'600'000);
  // 2023-11-14 12:00:00.000 UTC
  EXPECT_EQ(TLWMeasurement::timestampMillisRoundedUpToNextHour(1'699'963'200'000), 1'699'966'800'000);
}

TEST(TLWMeasurementRules, NetworkLevelsMapOntoMonitorLevels) {
  EXPECT_EQ(TLWMeasurement::monitorLevelForNetworkLevel(3), 1);
  EXPECT_EQ(TLWMeasurement::monitorLevelForNetworkLevel(4), 4);
  EXPECT_EQ(TLWMeasurement::monitorLevelForNetworkLevel(5), 3);
  EXPECT_EQ(TLWMeasurement::monitorLevelForNetworkLevel(6), 6);
  EXPECT_EQ(TLWMeasurement::monitorLevelForNetworkLevel(7), 7);
  EXPECT_EQ(TLWMeasurement::monitorLevelForNetworkLevel(0), 3);
  EXPECT_EQ(TLWMeasurement::monitorLevelForNetworkLevel(99), 3);
}

TEST_F(MeasurementFixture, WipeDecisionFollowsTheRegisteredAppIDs) {
  LaunchOptions off;
  off.enabled = false;
  auto l = launch(off);
  auto& e = *l->engine;
  struct Case {
    const char *a, *z, *q, *pz, *pq;
    bool wipe;
  };
  const Case cases[] = {
      {"A", "Z1", "", "Z1", "", false},  // same primary ID
      {"A", "Z2", "", "Z1", "", true},   // primary ID changed
      {"A", "Z", "", "", "Q", true},     // ads ID dropped, primary appeared
      {"A", "Z", "Q2", "", "Q1", true},  // ads ID changed
      {"A", "Z", "Q1", "", "Q1", false},
      {"A", "", "Q", "Z", "", true},     // primary ID vanished behind an ads ID
      {"A", "Z", "", "", "", false},
      {"", "", "", "", "Q", false},      // no app ID
      {"Q", "", "", "", "Q", false},     // same as the ads ID
      {"A", "", "", "", "Q", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(e.shouldWipeDataWithAppID(c.a, c.z, c.q, c.pz, c.pq), c.wipe)
        << c.a << " " << c.z << " " << c.q << " " << c.pz << " " << c.pq;
  }
  auto suite = l->front->suite();
  for (int retries : {1, 9}) {
    suite->setInteger(retries, kTLWResetRetryCountKey);
    EXPECT_TRUE(e.shouldWipeDataWithAppID("A", "Z1", "", "Z1", "")) << retries;
  }
  for (int retries : {0, 10}) {
    suite->setInteger(retries, kTLWResetRetryCountKey);
    EXPECT_FALSE(e.shouldWipeDataWithAppID("A", "Z1", "", "Z1", "")) << retries;
  }
}

// ---------------------------------------------------------------------------
// Lifecycle

// A second engine in the process (a test, a benchmark) must not take over the first
// one's collaborators.
TEST_F(MeasurementFixture, EachEngineKeepsItsOwnConditionalUserProperties) {
  auto first = launch();
  auto otherSandbox = platform::testing::TestEnvironment::create("com.vorlix.other");
  ASSERT_TRUE(otherSandbox);
  Launch second(otherSandbox, {});
  ASSERT_TRUE(second.engine);
  second.drain();
  ASSERT_TRUE(first->engine->conditionalUserProperties());
  ASSERT_NE(first->engine->conditionalUserProperties(), second.engine->conditionalUserProperties());

  auto property = std::make_shared<TLWConditionalUserProperty>();
  property->setOrigin("qd");
  property->setValue(TLWValue::initWithString("gold"));
  property->setTriggerTimeout(60);
  property->setTimeToLive(3600);
  first->engine->conditionalUserProperties()->setConditionalUserProperty(property, "tier");
  first->drain();
  second.drain();
  auto stored = first->storedProperty("tier");
  ASSERT_TRUE(stored) << "set in the first engine's database";
  EXPECT_FALSE(second.storedProperty("tier"));
}

TEST_F(MeasurementFixture, AnOpenedURLWritesNoClickIDPropertyWhileCollectionIsDisabled) {
  auto l = launch();
  l->engine->setEnabled(false);
  l->drain();
  l->engine->handleNonFirstOpenEventURL("skyforge://open?vbraid=braid1&utm_source=ads", 1'700'000'100.0);
  l->drain();
  EXPECT_FALSE(l->storedProperty("_vbraid"));
  l->engine->setEnabled(true);
  l->drain();
  EXPECT_FALSE(l->storedProperty("_vbraid")) << "nothing was kept to upload later";
  l->engine->handleNonFirstOpenEventURL("skyforge://open?vbraid=braid2&utm_source=ads", 1'700'000'200.0);
  l->drain();
  auto stored = l->storedProperty("_vbraid");
  ASSERT_TRUE(stored);
  ASSERT_TRUE(stored->value().stringValue());
  EXPECT_EQ(*stored->value().stringValue(), "braid2");
}

TEST_F(MeasurementFixture, ResigningActiveStartsABackgroundTaskThatForegroundEnds) {
  auto l = launch();
  auto application = l->env->application();
  l->engine->handleAppWillResignActiveEvent();
  const auto task = l->engine->backgroundUpdateTask();
  EXPECT_NE(task, platform::kInvalidBackgroundTask);
  EXPECT_EQ(application->runningBackgroundTaskCount(), 1u);
  EXPECT_GE(l->front->gatedBlocks.load(), 1);  // the upload goes through the start gate

  // A second resignation replaces (and ends) the first task.
  l->engine->handleAppWillResignActiveEvent();
  EXPECT_NE(l->engine->backgroundUpdateTask(), task);
  EXPECT_EQ(application->runningBackgroundTaskCount(), 1u);

  l->engine->handleAppWillEnterForegroundNotification();
  EXPECT_EQ(l->engine->backgroundUpdateTask(), platform::kInvalidBackgroundTask);
  EXPECT_EQ(application->runningBackgroundTaskCount(), 0u);
  l->drain();
  EXPECT_GE(l->recorder->count(23142), 2);
}

TEST_F(MeasurementFixture, LifecycleNotificationsReachTheEngineOnceItStarted) {
  auto l = launch();
  auto center = l->env->notificationCenter();
  center->post(platform::kApplicationWillResignActiveNotification);
  EXPECT_NE(l->engine->backgroundUpdateTask(), platform::kInvalidBackgroundTask);
  center->post(platform::kApplicationWillEnterForegroundNotification);
  EXPECT_EQ(l->engine->backgroundUpdateTask(), platform::kInvalidBackgroundTask);
}

TEST_F(MeasurementFixture, AnEmptyAppIDMakesNoEngine) {
  auto env = std::make_shared<platform::EnvironmentWrapper>(sandbox_);
  TLWMeasurementDependencies deps;
  deps.environment = env;
  EXPECT_FALSE(TLWMeasurement::initWithDependencies("", true, false, std::nullopt, deps));
  EXPECT_FALSE(TLWMeasurement::initWithAppID("", true, false, std::nullopt, deps));
}

// ---------------------------------------------------------------------------
// Seams and components

namespace {

// A session reporter whose session has always expired.
class ExpiredSessionReporter : public TLWNoSessionReporter {
 public:
  bool isSessionExpired() override { return true; }
  void updatePropertiesForNewSessionStart() override { ++sessionNumber; }
  std::shared_ptr<TLWUserAttribute> sessionNumberProperty() override {
    return TLWUserAttribute::initWithOrigin("auto", "_sno", TLWValue::initWithInt64(sessionNumber), 1'700'000'000.0);
  }
  std::shared_ptr<TLWEvent> sessionStartEventWithSessionNumber(std::int64_t, bool, double timestamp) override {
    return TLWEvent::initWithOrigin("auto", false, "_s", timestamp, 0, platform::Dictionary{{"_sno", sessionNumber}});
  }
  std::int64_t sessionNumber = 0;
};

}  // namespace

TEST_F(MeasurementFixture, FirstOpenStartsASessionThroughTheSessionReporter) {
  auto reporter = std::make_shared<ExpiredSessionReporter>();
  LaunchOptions options;
  options.customize = [reporter](TLWMeasurementDependencies& deps) {
    deps.sessionReporterFactory = [reporter](std::shared_ptr<TLWPersistedConfig>) { return reporter; };
    deps.screenViewReporter = std::make_shared<TLWNoScreenViewReporter>();  // in the foreground
  };
  auto l = launch(options);
  EXPECT_TRUE(reporter->isReportingEnabled());
  auto starts = l->front->events("_s");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_DOUBLE_EQ(starts[0]->timestamp(), l->engine->initTimestamp());
  EXPECT_EQ(countOf(l->storedEventNames(), "_s"), 1);
  auto sno = l->storedProperty("_sno");
  ASSERT_TRUE(sno);
  EXPECT_EQ(sno->value().int64Value(), 1);
  l->engine->setEnabled(false);
  l->drain();
  EXPECT_FALSE(reporter->isReportingEnabled());
}

// A launch without a session number (a fresh install over kept data, or after a wipe) takes
// it from the stored "_s" count; a known number is kept.
TEST_F(MeasurementFixture, TheSessionNumberIsBackFilledFromTheStoredSessionStarts) {
  struct Case {
    std::int32_t storedStarts;
    std::int64_t persistedNumber;
    std::int64_t nextNumber;
  };
  for (const Case& c : {Case{5, 0, 6}, Case{5, 9, 10}, Case{0, 0, 1}}) {
    SCOPED_TRACE(c.storedStarts);
    {
      auto first = launch();
      first->onWorker([&] {
        auto aggregates = TLWEventAggregates::initWithName("_s", c.storedStarts, 0, 0, 1'700'000'000.0);
        TLWError error;
        ASSERT_TRUE(aggregates && first->engine->database()->updateEventAggregates(aggregates.get(), &error));
      });
      first->persisted->setSessionNumber(c.persistedNumber);
    }
    auto l = launch();
    l->persisted->setLastSessionActivityClockTime(0);  // expired
    l->onWorker([&] { l->engine->reportSessionStartOnWorkerQueueWithTimestamp(1'800'000'000.5, true); });
    auto starts = l->front->events("_s");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]->parameters().at("_sno").int64Value(), c.nextNumber);
  }
}

// A session started by a background event says so ("_aib") unless the configuration turns
// that parameter off.
TEST_F(MeasurementFixture, ABackgroundSessionStartCarriesAibUnlessConfiguredOff) {
  auto l = launch();
  auto config = l->engine->remoteConfigInstance();
  ASSERT_TRUE(config);
  for (const char* setting : {"1", "0"}) {
    config->parseRemoteConfigFromMeasurementConfig(*rconfig_test::makeConfig(
        rconfig_test::kAppID, {{std::string(tlw_remote_config_keys::kAppInBackgroundParameter), setting}}));
    const auto before = l->front->events("_s").size();
    l->persisted->setLastSessionActivityClockTime(0);  // expired
    l->onWorker([&] { l->engine->reportSessionStartOnWorkerQueueWithTimestamp(1'800'000'000.5, true); });
    auto starts = l->front->events("_s");
    ASSERT_EQ(starts.size(), before + 1) << setting;
    const auto& parameters = starts.back()->parameters();
    EXPECT_EQ(parameters.contains("_aib"), std::string(setting) == "1") << setting;
  }
}

// The app's session timeout reaches the reporter that replaces the first after a wipe.
TEST_F(MeasurementFixture, TheAppsSessionTimeoutOutlivesAWipe) {
  struct TimeoutRecorder : TLWNoSessionReporter {
    void setTimeoutSessionInterval(double seconds) override { timeout = seconds; }
    double timeout = -1;
  };
  auto made = std::make_shared<std::vector<std::shared_ptr<TimeoutRecorder>>>();
  LaunchOptions options;
  options.customize = [made](TLWMeasurementDependencies& deps) {
    deps.sessionReporterFactory = [made](std::shared_ptr<TLWPersistedConfig>) {
      made->push_back(std::make_shared<TimeoutRecorder>());
      return made->back();
    };
  };
  auto l = launch(options);
  l->engine->setSessionTimeoutInterval(120);
  l->engine->setSessionTimeoutInterval(-5);  // refused: the reporters keep 120
  ASSERT_TRUE(l->engine->resetAnalyticsDataWithAppInstanceID(std::string("NEWINSTANCE")));
  l->drain();
  ASSERT_EQ(made->size(), 2u);
  EXPECT_EQ(made->back()->timeout, 120);
}

TEST_F(MeasurementFixture, PersonalizedAdsPropertyFollowsTheSwitch) {
  {
    auto l = launch();
    EXPECT_FALSE(l->storedProperty("_npa"));  // nothing decides: no property
    l->persisted->setAllowPersonalizedAds(platform::Value(false));
  }
  {
    auto l = launch();
    auto npa = l->storedProperty("_npa");
    ASSERT_TRUE(npa);
    EXPECT_EQ(npa->value().int64Value(), 1);
    EXPECT_EQ(npa->origin(), "auto");
    l->persisted->setAllowPersonalizedAds(platform::Value());
  }
  auto l = launch();
  EXPECT_FALSE(l->storedProperty("_npa"));
  EXPECT_GE(l->recorder->count(23180), 1);
}

TEST_F(MeasurementFixture, CreationThroughTheAppIDLogsItsHintsAndMakesTheNetworkClient) {
  // The SDK experiments' manager is process-wide and makes its own client when first used,
  // which may be by an earlier test in this process: have it made before counting.
  (void)TLWEManager::sharedInstance();
  std::atomic<int> made{0};
  std::string askedHost;
  std::mutex hostMutex;
  sandbox_->fakeProcessInfo()->setEnvironmentVariable("TALLYWISE_MEASUREMENT_SERVICE_URL", "http://127.0.0.1:9/base");
  sandbox_->setNetworkClientFactory([&](const std::string& host) {
    ++made;
    std::lock_guard<std::mutex> lock(hostMutex);
    askedHost = host;
    return std::make_shared<platform::VXLNetwork>(host);
  });
  LaunchOptions options;
  options.throughInitWithAppID = true;
  auto l = launch(options);
  EXPECT_EQ(made.load(), 1) << "the engine's client, for the service's host";
  {
    std::lock_guard<std::mutex> lock(hostMutex);
    EXPECT_EQ(askedHost, "127.0.0.1");
  }
  ASSERT_TRUE(l->engine->network());
  EXPECT_TRUE(l->engine->components().uploader);
  EXPECT_TRUE(l->engine->components().configFetcher);
  EXPECT_EQ(l->engine->alarm()->name(), "Measurement timer");
  EXPECT_EQ(l->engine->scheduler()->workerQueue()->label(), "com.vorlix.twka.worker");
  EXPECT_EQ(l->recorder->count(23007), 1);
  EXPECT_EQ(l->recorder->count(23008), 1);
  EXPECT_EQ(l->recorder->count(23207), 1);
  sandbox_->setNetworkClientFactory(nullptr);
}

TEST_F(MeasurementFixture, WithoutANetworkClientStartUpContinues) {
  sandbox_->setNetworkClientFactory([](const std::string&) { return std::shared_ptr<platform::VXLNetwork>(); });
  LaunchOptions options;
  options.throughInitWithAppID = true;
  auto l = launch(options);
  EXPECT_GE(l->recorder->count(23010), 1);
  EXPECT_FALSE(l->engine->network());
  EXPECT_TRUE(l->engine->didInitializeComponents());
  EXPECT_FALSE(l->engine->components().uploader);
  EXPECT_EQ(l->front->events("_f").size(), 1u);
  sandbox_->setNetworkClientFactory(nullptr);
}

TEST_F(MeasurementFixture, ADatabaseThatCannotBeOpenedLeavesCollectionOff) {
  // A file where the measurement folder should be: the database cannot be created.
  const std::string support = sandbox_->sandbox()->applicationSupportDirectory();
  ASSERT_TRUE(sandbox_->fileSystem()->createDirectories(support));
  ASSERT_TRUE(sandbox_->fileSystem()->writeFileAtomically(support + "/Vorlix", "not a folder"));
  auto l = launch();
  EXPECT_FALSE(l->engine->didInitializeComponents());
  EXPECT_FALSE(l->engine->enabled());
  EXPECT_GE(l->recorder->count(23011), 1);
  EXPECT_TRUE(l->front->events("_f").empty());
}
