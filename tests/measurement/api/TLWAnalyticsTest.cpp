#include "measurement/api/TLWAnalytics.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "TLWAnalyticsTestSupport.h"
#include "measurement/storage/TLWUserDefaults.h"

using platform::Dictionary;
using platform::Value;
using namespace tlw_api_test;

namespace {

std::int64_t intParam(const TLWEngineEventRequest& e, std::string_view key) {
  const Value& v = e.parameterDictionary().get(key);
  if (const TLWValue* t = TLWValueFromObject(v)) return t->int64Value();
  return v.int64Value().value_or(-1);
}

}  // namespace

// Events logged from several threads before start-up are held, then reach the engine in
// gate order, each with the time it was logged, time stamps rising.
TEST_F(FrontControllerTest, EventsBeforeStartAreHeldAndKeepTheirLoggedTimeInGateOrder) {
  auto clock = std::make_shared<TickingClock>(1800000000.0);
  env->setClock(clock);
  TLWAnalyticsSetUpProcessState(backend, env);

  constexpr int kThreads = 6;
  constexpr int kPerThread = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        TLWAnalytics::logEventWithName(Value("level_up"), Value{{"thread", t}, {"seq", i}});
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(TLWAnalytics::queue()->sync([] {}));
  EXPECT_TRUE(backend->eventsCopy().empty()) << "nothing reaches the engine before start-up";

  const double beforeStart = clock->peek();
  start();
  drain();

  auto events = backend->eventsCopy();
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::map<std::int64_t, std::int64_t> lastSeq;
  double previous = 0;
  for (const auto& e : events) {
    EXPECT_EQ(e.name, "level_up");
    EXPECT_EQ(e.origin, "app");
    EXPECT_TRUE(e.isPublicEvent);
    EXPECT_GT(e.timestamp, previous) << "time stamps rise in gate order";
    EXPECT_LE(e.timestamp, beforeStart) << "the time of logging, not of start-up";
    previous = e.timestamp;
    const std::int64_t thread = intParam(e, "thread");
    const std::int64_t seq = intParam(e, "seq");
    auto it = lastSeq.find(thread);
    if (it != lastSeq.end()) {
      EXPECT_EQ(seq, it->second + 1) << "each thread's events stay in order";
    }
    lastSeq[thread] = seq;
  }
  EXPECT_EQ(lastSeq.size(), static_cast<std::size_t>(kThreads));
}

TEST_F(FrontControllerTest, StartRunsOnceAndReadsItsOptions) {
  platform::testing::LogCapture capture;
  start({{"safelisted_events", Value::array({"level_up", "_s"})},
         {"ad_storage", "denied"},
         {"TARNWICK_ANALYTICS_COLLECTION_DEACTIVATED", false}});
  start({{"TARNWICK_ANALYTICS_COLLECTION_ENABLED", false}});
  drain();
  EXPECT_EQ(backend->initializeCount, 1);
  EXPECT_TRUE(backend->initEnabled) << "enabled unless the options say otherwise";
  EXPECT_FALSE(backend->initDeactivated);
  ASSERT_TRUE(backend->initSafelist.has_value());
  EXPECT_EQ(*backend->initSafelist, (std::vector<std::string>{"level_up", "_s"}));
  EXPECT_EQ(backend->initAppID, "1:1:ios:1");
  EXPECT_EQ(backend->zelAppID, "1:1:ios:1");
  EXPECT_EQ(backend->identifiersOrigin, "tq");
  EXPECT_TRUE(TLWAnalytics::isEnabledShadow());
  auto startConsent = TLWAnalytics::consentSettings1PStart();
  ASSERT_TRUE(startConsent.has_value());
  EXPECT_EQ(startConsent->get("ad_storage").stringOr(), "denied");
  EXPECT_TRUE(logged(capture, 25020)) << "a changed app ID is reported";
}

TEST_F(FrontControllerTest, StartRefusalsAndBadOptions) {
  platform::testing::LogCapture capture;
  int willStart = 0;
  auto center = env->notificationCenter();
  auto id = center->addObserver(kTWKAnalyticsWillStartNotification, Value(), [&](const platform::Notification&) {
    ++willStart;
  });
  TLWAnalytics::startWithAppID("1:1:ios:1", "app", startOptions());  // not through the public interface
  EXPECT_TRUE(logged(capture, 25026));
  EXPECT_EQ(willStart, 0);

  TLWAnalytics::startWithAppID("1:1:ios:1", "tq",
                               Value{{"tally_wise_log_tag", 7}, {"safelisted_events", Value::array({"ok", "_bad name"})}});
  drain();
  EXPECT_TRUE(logged(capture, 25035)) << "an invalid safelisted name";
  EXPECT_FALSE(backend->initSafelist.has_value()) << "the whole safelist is dropped";
  EXPECT_EQ(willStart, 1);
  center->removeObserver(id);
}

TEST_F(FrontControllerTest, DeactivatedCollectionCannotBeEnabled) {
  start({{"TARNWICK_ANALYTICS_COLLECTION_DEACTIVATED", true}});
  drain();
  EXPECT_FALSE(TLWAnalytics::isEnabledShadow());
  TLWAnalytics::setAnalyticsEnabled(true, true);
  drain();
  EXPECT_EQ(backend->persistedEnabledStates, (std::vector<std::int64_t>{1})) << "the state is still persisted";
  EXPECT_TRUE(backend->enableCalls.empty()) << "but the engine stays disabled";
  EXPECT_FALSE(TLWAnalytics::isEnabledShadow());
  TLWAnalytics::setAnalyticsEnabled(false);
  drain();
  EXPECT_EQ(backend->enableCalls, (std::vector<bool>{false}));
  EXPECT_EQ(backend->persistedEnabledStates.size(), 1u) << "persist only when asked";
}

TEST_F(FrontControllerTest, ConfigurationNotificationSwitchesCollection) {
  platform::testing::LogCapture capture;
  Value configuration("analytics-configuration");
  start({{"TARNWICK_ANALYTICS_CONFIGURATION", configuration}});
  drain();
  auto center = env->notificationCenter();
  center->post(kTWKAnalyticsConfigurationSetEnabledNotification, configuration,
               Dictionary{{std::string(kTWKAnalyticsConfigurationSetEnabledNotification), false}});
  center->post(kTWKAnalyticsConfigurationSetEnabledNotification, Value("another sender"),
               Dictionary{{std::string(kTWKAnalyticsConfigurationSetEnabledNotification), true}});
  center->post(kTWKAnalyticsConfigurationSetEnabledNotification, configuration,
               Dictionary{{std::string(kTWKAnalyticsConfigurationSetEnabledNotification), "yes"}});
  drain();
  EXPECT_EQ(backend->enableCalls, (std::vector<bool>{false}));
  EXPECT_TRUE(backend->persistedEnabledStates.empty());
  EXPECT_TRUE(logged(capture, 25000));
}

// The token of a removed listener must never come to stand for a later listener.
TEST_F(FrontControllerTest, ListenerTokensAreNeverReused) {
  platform::testing::LogCapture capture;
  start();
  std::set<std::uint64_t> seen;
  for (int i = 0; i < 500; ++i) {
    auto token = TLWAnalytics::addLogEventListener([](const std::shared_ptr<const TLWEvent>&) {});
    ASSERT_TRUE(token);
    EXPECT_TRUE(seen.insert(token.id()).second);
    TLWAnalytics::removeLogEventListener(token);
  }
  std::atomic<int> calls{0};
  auto stale = TLWAnalytics::addLogEventListener([](const std::shared_ptr<const TLWEvent>&) {});
  TLWAnalytics::removeLogEventListener(stale);
  auto live = TLWAnalytics::addLogEventListener([&](const std::shared_ptr<const TLWEvent>&) { ++calls; });
  EXPECT_NE(live, stale);
  TLWAnalytics::removeLogEventListener(stale);  // again: must not touch the live one
  drain();
  EXPECT_TRUE(TLWAnalytics::hasEventListeners());

  auto event = TLWEvent::initWithOrigin("app", true, "level_up", 1700000000.0, 0, Dictionary{});
  ASSERT_TRUE(event);
  backend->sink()(event);
  drain();
  EXPECT_EQ(calls.load(), 1);
  TLWAnalytics::removeLogEventListener(live);
  backend->sink()(event);
  drain();
  EXPECT_EQ(calls.load(), 1);
  // The engine copies written events for listeners only while there is one.
  EXPECT_FALSE(TLWAnalytics::hasEventListeners());
}

TEST_F(FrontControllerTest, ListenerBadInput) {
  platform::testing::LogCapture capture;
  start();
  EXPECT_FALSE(TLWAnalytics::addLogEventListener(nullptr));
  TLWAnalytics::removeLogEventListener(TLWLogEventListenerToken());
  TLWAnalytics::removeLogEventListener(TLWLogEventListenerToken(987654321));  // none registered yet
  drain();
}

TEST_F(FrontControllerTest, ListenersSeeEventsOnTheSerialQueueInRegistrationOrder) {
  start();
  std::vector<std::string> order;
  std::atomic<bool> onSerialQueue{true};
  TLWAnalytics::addLogEventListener([&](const std::shared_ptr<const TLWEvent>& e) {
    if (!TLWAnalytics::isCurrentQueueSerialQueue()) onSerialQueue = false;
    order.push_back("a:" + e->name());
    // Adding a listener from a listener is allowed.
    TLWAnalytics::addLogEventListener([](const std::shared_ptr<const TLWEvent>&) {});
  });
  TLWAnalytics::addLogEventListener([&](const std::shared_ptr<const TLWEvent>& e) { order.push_back("b:" + e->name()); });
  drain();
  backend->sink()(TLWEvent::initWithOrigin("app", true, "level_up", 1700000000.0, 0, Dictionary{}));
  drain();
  EXPECT_EQ(order, (std::vector<std::string>{"a:level_up", "b:level_up"}));
  EXPECT_TRUE(onSerialQueue.load());
}

TEST_F(FrontControllerTest, InterceptorIsHandedToTheEngine) {
  start();
  std::atomic<int> intercepted{0};
  TLWAnalytics::setLogEventInterceptor(
      [&](const std::string&, const std::string&, const Dictionary&, double) { ++intercepted; });
  TLWAnalytics::logEventWithName(Value("level_up"), Value());
  TLWAnalytics::setLogEventInterceptor(nullptr);
  TLWAnalytics::logEventWithName(Value("level_down"), Value());
  drain();
  auto events = backend->eventsCopy();
  ASSERT_EQ(events.size(), 2u);
  ASSERT_TRUE(events[0].interceptor);
  events[0].interceptor("app", "level_up", {}, 1);
  EXPECT_EQ(intercepted.load(), 1);
  EXPECT_FALSE(events[1].interceptor) << "a cleared interceptor is not handed on";
}

TEST_F(FrontControllerTest, ResetBookkeeping) {
  platform::testing::LogCapture capture;
  start();
  backend->resetSucceeds = false;
  TLWAnalytics::resetAnalyticsData();
  drain();
  EXPECT_TRUE(logged(capture, 25037));
  EXPECT_EQ(TLWAnalytics::resetRetryCount(), 1) << "a failed reset stays owed";
  EXPECT_TRUE(TLWAnalytics::needFirstOpenAfterReset());
  EXPECT_EQ(TLWAnalytics::appInstanceIDAfterReset(), std::optional<std::string>("ID1"));
  EXPECT_EQ(TLWAnalytics::appInstanceID(), std::optional<std::string>("ID1"));

  backend->resetSucceeds = true;
  TLWAnalytics::resetAnalyticsData();
  drain();
  EXPECT_EQ(TLWAnalytics::resetRetryCount(), 0);
  EXPECT_FALSE(TLWAnalytics::appInstanceIDAfterReset().has_value());
  EXPECT_EQ(TLWAnalytics::appInstanceID(), std::optional<std::string>("stored-id"));
  ASSERT_EQ(backend->resetIDs.size(), 2u);
  EXPECT_EQ(backend->resetIDs[1], std::optional<std::string>("ID2"));

  // With analytics storage denied the new ID is neither kept nor reported.
  backend->setConsentSettings(Dictionary{{"analytics_storage", "denied"}});
  TLWAnalytics::resetAnalyticsData();
  drain();
  EXPECT_EQ(backend->resetIDs.back(), std::nullopt);
  EXPECT_FALSE(TLWAnalytics::appInstanceID().has_value());
}

// A reset in the middle of a stream of events loses none of them.
TEST_F(FrontControllerTest, ResetWhileEventsFlow) {
  start();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kPerThread; ++i) TLWAnalytics::logEventWithName(Value("tick"), Value{{"i", i}});
    });
  }
  for (int r = 0; r < 5; ++r) TLWAnalytics::resetAnalyticsData();
  for (auto& th : threads) th.join();
  drain();
  EXPECT_EQ(backend->eventsCopy().size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(backend->resetIDs.size(), 5u);
  EXPECT_EQ(TLWAnalytics::resetRetryCount(), 0);
}

TEST_F(FrontControllerTest, ConsentEntryAndPersistence) {
  platform::testing::LogCapture capture;
  TLWAnalytics::setConsent(Value{{"ad_storage", "maybe"}, {"analytics_storage", 1}, {"other", "granted"}});
  EXPECT_EQ(loggedCount(capture, 25042), 2u);
  EXPECT_TRUE(logged(capture, 25041));
  EXPECT_EQ(TLWAnalytics::persistedConsentSource(), 100);

  TLWAnalytics::setConsent(Value{{"ad_storage", "denied"}}, "consent_settings_3p");
  EXPECT_EQ(TLWAnalytics::persistedConsentSource(), 10);
  ASSERT_TRUE(TLWAnalytics::consentSettings3P().has_value());
  EXPECT_EQ(TLWAnalytics::consentSettings3P()->get("ad_storage").stringOr(), "denied");

  TLWAnalytics::setConsent(Value{{"ad_storage", "granted"}});  // 1P, lower priority
  EXPECT_TRUE(logged(capture, 25043));
  EXPECT_FALSE(TLWAnalytics::consentSettings1P().has_value());

  // A new process reloads the settings, capping the source at 20 (3P) or 40 (1P).
  auto suite = TLWUserDefaults::initWithSuiteName("TLWAnalyticsSuiteName", env);
  suite->setInteger(35, "consent_source");
  backend->setConsentSource(100);
  backend->setConsentSettings(std::nullopt);
  TLWAnalytics::loadPersistedConsentSettings();
  EXPECT_EQ(backend->consentSource(), 20);
  ASSERT_TRUE(backend->consentSettings().has_value());
  suite->removeObjectForKey("consent_settings_3p");
  suite->setObject(Value(Dictionary{{"ad_storage", "granted"}}), "consent_settings");
  suite->setInteger(45, "consent_source");
  TLWAnalytics::loadPersistedConsentSettings();
  EXPECT_EQ(backend->consentSource(), 40);

  TLWAnalytics::clearConsent();
  EXPECT_EQ(TLWAnalytics::persistedConsentSource(), 100);
  EXPECT_FALSE(backend->consentSettings().has_value());
}

TEST_F(FrontControllerTest, WithdrawnConsentResetsOrDefersTheReset) {
  TLWAnalytics::setConsent(Value{{"analytics_storage", "granted"}});
  TLWAnalytics::setConsent(Value{{"analytics_storage", "denied"}});
  EXPECT_TRUE(TLWAnalytics::deferredResetOnDeniedConsent()) << "no engine yet: the reset is owed";
  EXPECT_TRUE(backend->resetIDs.empty());

  start();
  drain();
  TLWAnalytics::setConsent(Value{{"analytics_storage", "granted"}});
  TLWAnalytics::setConsent(Value{{"analytics_storage", "denied"}});
  drain();
  ASSERT_EQ(backend->resetIDs.size(), 1u);
  EXPECT_EQ(backend->resetIDs[0], std::nullopt) << "denied analytics storage keeps no new ID";
}

TEST_F(FrontControllerTest, AStoredConsentOfAnotherKindIsNotTakenForAGrantThatADenialWithdraws) {
  // What an older or damaged file may hold: not a dictionary, so nothing is known of the
  // earlier choice, and a denial now must not wipe the app's data.
  auto suite = TLWUserDefaults::initWithSuiteName("TLWAnalyticsSuiteName", env);
  suite->setObject(Value("analytics_storage=granted"), "consent_settings");
  suite->setInteger(30, "consent_source");
  TLWAnalytics::setConsent(Value{{"analytics_storage", "denied"}});
  EXPECT_EQ(TLWAnalytics::consentSettings1P()->get("analytics_storage").stringOr(), "denied");
  EXPECT_FALSE(TLWAnalytics::deferredResetOnDeniedConsent()) << "no wipe is owed";
}
