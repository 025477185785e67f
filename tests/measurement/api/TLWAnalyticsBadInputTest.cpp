// Bad input at the public interface, from many threads at once: every refusal becomes its
// error event or log code, nothing crashes or blocks, and no accepted call is lost.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "TLWAnalyticsTestSupport.h"
#include "measurement/api/TWKAnalytics.h"
#include "platform/app/ClassRegistry.h"
#include "platform/core/TWKApp.h"

using platform::Dictionary;
using platform::Value;
using namespace tlw_api_test;

namespace {

struct NameCase {
  Value name;
  std::int64_t errorCode;  // 0: accepted
};

std::vector<NameCase> eventNameCases() {
  return {
      {Value("level_up"), 0},
      {Value("a"), 0},
      {Value(std::string(40, 'x')), 0},
      {Value("screen_view"), -1},  // goes to the screen reporter, never to the engine
      {Value(std::string(41, 'x')), 2},
      {Value(""), 2},
      {Value(), 2},
      {Value(42), 2},
      {Value("1st_level"), 2},
      {Value("level up"), 2},
      {Value("_internal"), 2},
      {Value("first_open"), 13},
      {Value("tarnwick_event"), 13},
      {Value("vorlix_event"), 13},
      {Value("lq_event"), 13},
      {Value("caf\xC3\xA9"), 0},
      {Value("\xFF\xFE"), 2},
  };
}

// Parameters of every kind the sanitizer meets; events carrying them are still accepted.
std::vector<Value> parameterCases() {
  return {
      Value(),
      Value(Dictionary{}),
      Value("not a dictionary"),
      Value::array({1, 2}),
      Value{{"ok", 1}, {"_reserved", 2}, {"tarnwick_x", 3}, {"long", std::string(500, 'v')}},
      Value{{"nested", Value{{"deeper", Value::array({Value{{"a", 1}}})}}}},
      Value{{"items", Value::array({Value{{"item_id", "sku"}}, Value("not a dict")})}},
      Value{{"value", "ten"}, {"currency", "EURO"}},
      Value{{"date", Value::date(5)}, {"data", Value::data("abc")}, {"null", Value()}},
  };
}

}  // namespace

TEST_F(FrontControllerTest, EventNamesAndParametersFromManyThreads) {
  start();
  const auto names = eventNameCases();
  const auto params = parameterCases();
  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) {
        for (std::size_t i = 0; i < names.size(); ++i) {
          TLWAnalytics::logEventWithName(names[i].name, params[(i + r) % params.size()]);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  drain();

  std::map<std::int64_t, std::size_t> expectedErrors;
  std::size_t expectedAccepted = 0;
  for (const auto& c : names) {
    if (c.errorCode == 0) ++expectedAccepted;
    if (c.errorCode > 0) ++expectedErrors[c.errorCode];
  }
  std::map<std::int64_t, std::size_t> errors;
  std::size_t accepted = 0;
  for (const auto& e : backend->eventsCopy()) {
    if (e.name == "_err") {
      EXPECT_EQ(e.origin, "auto");
      EXPECT_FALSE(e.isPublicEvent);
      EXPECT_TRUE(e.parameterDictionary().contains("_ev"));
      ++errors[errorCodeOf(e)];
    } else {
      EXPECT_TRUE(e.isPublicEvent);
      EXPECT_NE(e.name, "screen_view");
      ++accepted;
    }
  }
  const std::size_t n = kThreads * kRounds;
  EXPECT_EQ(accepted, expectedAccepted * n);
  for (const auto& [code, count] : expectedErrors) EXPECT_EQ(errors[code], count * n) << "error code " << code;
  EXPECT_EQ(errors.size(), expectedErrors.size());
  EXPECT_EQ(backend->trackedScreens.size(), n);
}

TEST_F(FrontControllerTest, TooLongEventNameErrorCarriesTheTruncatedNameAndLength) {
  start();
  TLWAnalytics::logEventWithName(Value(std::string(45, 'n')), Value());
  drain();
  auto events = backend->eventsCopy();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(errorCodeOf(events[0]), 2);
  const TLWValue* ev = TLWValueFromObject(events[0].parameterDictionary().get("_ev"));
  ASSERT_TRUE(ev && ev->stringValue());
  EXPECT_EQ(*ev->stringValue(), std::string(40, 'n') + "...");
  const TLWValue* el = TLWValueFromObject(events[0].parameterDictionary().get("_el"));
  ASSERT_TRUE(el);
  EXPECT_EQ(el->int64Value(), 45);
}

TEST_F(FrontControllerTest, UserPropertiesBadInputFromManyThreads) {
  platform::testing::LogCapture capture;
  start();
  constexpr int kThreads = 6;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      TLWAnalytics::setUserPropertyString(Value("mage"), Value("hero"));           // accepted, "app"
      TLWAnalytics::setUserPropertyString(Value(std::string(37, 'v')), Value("hero"));  // 7
      TLWAnalytics::setUserPropertyString(Value("x"), Value("_hero"));             // 6
      TLWAnalytics::setUserPropertyString(Value("x"), Value("tarnwick_hero"));     // 15
      TLWAnalytics::setUserPropertyString(Value("x"), Value(std::string(25, 'p')));  // 6
      TLWAnalytics::setUserPropertyString(Value("x"), Value());                    // 6
      TLWAnalytics::setUserPropertyString(Value(5), Value("hero"));                // 25003
      TLWAnalytics::setUserPropertyString(Value(), Value("hero"));                 // removal
      TLWAnalytics::setUserID(Value(12));                                           // 25004
      TLWAnalytics::setUserID(Value("user-1"));                                     // accepted
      TLWAnalytics::setUserID(Value());                                             // removal of "_id"
      TLWAnalytics::setUserAttributeNumber(Value(2.5), Value("ratio"));            // double, "auto"
      TLWAnalytics::setUserAttributeNumber(Value(7), Value("coins"));              // int, "auto"
      TLWAnalytics::setUserAttributeNumber(Value("7"), Value("coins"));            // ignored
      TLWAnalytics::sharedInstance()->setInternalUserProperty(Value("x"), Value("_x"), Value(""));  // 25005
      TLWAnalytics::sharedInstance()->setInternalUserProperty(Value("x"), Value("_x"),
                                                              Value(std::string(33, 'o')));  // 25005
    });
  }
  for (auto& th : threads) th.join();
  drain();

  std::map<std::string, int> sets;
  std::map<std::string, int> removals;
  for (const auto& a : backend->attributesCopy()) {
    if (a.set) {
      ++sets[a.name];
      if (a.name == "hero" || a.name == "_id") {
        EXPECT_EQ(a.origin, "app");
      }
      if (a.name == "ratio") {
        EXPECT_EQ(a.origin, "auto");
        EXPECT_TRUE(a.value.isDouble());
      }
      if (a.name == "coins") {
        EXPECT_EQ(a.origin, "auto");
        EXPECT_TRUE(a.value.isInt64());
      }
    } else {
      ++removals[a.name];
    }
  }
  EXPECT_EQ(sets, (std::map<std::string, int>{{"hero", kThreads}, {"_id", kThreads}, {"ratio", kThreads},
                                               {"coins", kThreads}}));
  EXPECT_EQ(removals, (std::map<std::string, int>{{"hero", kThreads}, {"_id", kThreads}}));

  std::map<std::int64_t, int> errors;
  for (const auto& e : backend->eventsCopy()) {
    ASSERT_EQ(e.name, "_err");
    ++errors[errorCodeOf(e)];
  }
  EXPECT_EQ(errors, (std::map<std::int64_t, int>{{6, 3 * kThreads}, {7, kThreads}, {15, kThreads}}));
  EXPECT_EQ(loggedCount(capture, 25003), static_cast<std::size_t>(kThreads));
  EXPECT_EQ(loggedCount(capture, 25004), static_cast<std::size_t>(kThreads));
}

TEST_F(FrontControllerTest, UserIDRemovalClearsLastAdResetOnlyWhenTheFlagIsOn) {
  start();
  TLWAnalytics::setUserID(Value());
  drain();
  backend->lairFlag = true;
  TLWAnalytics::setUserID(Value());
  drain();
  std::vector<std::string> removed;
  for (const auto& a : backend->attributesCopy()) removed.push_back(a.name);
  EXPECT_EQ(removed, (std::vector<std::string>{"_id", "_id", "_lair"}));
}

TEST_F(FrontControllerTest, PersonalizedAdsProperty) {
  start();
  backend->npa = 1;
  TLWAnalytics::setUserPropertyString(Value("false"), Value("allow_personalized_ads"));
  drain();
  backend->npa.reset();
  TLWAnalytics::setUserPropertyString(Value(), Value("allow_personalized_ads"));
  drain();
  ASSERT_EQ(backend->allowPersonalizedAds.size(), 2u);
  EXPECT_EQ(backend->allowPersonalizedAds[0], Value(false));
  EXPECT_TRUE(backend->allowPersonalizedAds[1].isNull());
  auto attributes = backend->attributesCopy();
  ASSERT_EQ(attributes.size(), 2u);
  EXPECT_TRUE(attributes[0].set);
  EXPECT_EQ(attributes[0].name, "_npa");
  EXPECT_EQ(attributes[0].origin, "auto");
  EXPECT_EQ(attributes[0].value.int64Value(), 1);
  EXPECT_FALSE(attributes[1].set);
}

TEST_F(FrontControllerTest, CallsBeforeStartAfterDisableAndQueries) {
  platform::testing::LogCapture capture;
  // Before start-up: held, nothing lost.
  TLWAnalytics::logEventWithName(Value("early"), Value());
  TLWAnalytics::setUserPropertyString(Value("v"), Value("early_prop"));
  TLWAnalytics::setDefaultEventParameters(Value{{"level", 3}});
  TLWAnalytics::setSessionTimeoutInterval(42);  // ungated: no engine yet, dropped
  ASSERT_TRUE(TLWAnalytics::queue()->sync([] {}));
  EXPECT_TRUE(backend->eventsCopy().empty());
  start();
  drain();
  EXPECT_EQ(backend->eventsCopy().size(), 1u);
  EXPECT_EQ(backend->attributesCopy().size(), 1u);
  EXPECT_EQ(backend->defaults.size(), 1u);
  EXPECT_EQ(backend->sessionTimeout, 0);

  TLWAnalytics::setAnalyticsEnabled(false);
  TLWAnalytics::logEventWithName(Value("while_disabled"), Value());
  TLWAnalytics::setDefaultEventParameters(Value{{"level", 4}});
  auto results = platform::DispatchQueue::create("results");
  std::promise<Dictionary> answer;
  TLWAnalytics::userPropertiesIncludingInternal(false, results, [&](const Dictionary& d) { answer.set_value(d); });
  TLWAnalytics::userPropertiesIncludingInternal(false, results, nullptr);
  drain();
  auto events = backend->eventsCopy();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[1].enabled) << "the engine is told collection is off";
  EXPECT_EQ(backend->defaults.size(), 1u) << "defaults are not changed while disabled";
  auto future = answer.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(future.get().empty());

  TLWAnalytics::setAnalyticsEnabled(true);
  std::promise<Dictionary> answer2;
  TLWAnalytics::userPropertiesIncludingInternal(true, results, [&](const Dictionary& d) { answer2.set_value(d); });
  std::promise<std::int64_t> max;
  TLWAnalytics::sharedInstance()->maxUserPropertiesForOrigin(Value("app"), results,
                                                             [&](std::int64_t m) { max.set_value(m); });
  TLWAnalytics::sharedInstance()->maxUserPropertiesForOrigin(Value(""), results, [](std::int64_t) {});
  TLWAnalytics::sharedInstance()->maxUserPropertiesForOrigin(Value("app"), nullptr, [](std::int64_t) {});
  TLWAnalytics::sharedInstance()->maxUserPropertiesForOrigin(Value("app"), results, nullptr);
  drain();
  auto f2 = answer2.get_future();
  ASSERT_EQ(f2.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(f2.get().get("hero").stringOr(), "mage");
  auto f3 = max.get_future();
  ASSERT_EQ(f3.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(f3.get(), 25);
}

TEST_F(FrontControllerTest, ScreenParametersAndForwardedOrigins) {
  start();
  backend->screen = Dictionary{{"_sn", "menu"}, {"_si", 7}};
  TLWAnalytics::logEventWithName(Value("level_up"), Value());
  TLWAnalytics::logEventWithName(Value("level_up"), Value{{"_sn", "own"}});
  // A forwarded origin with ignoreInterceptor: the screen parameters move out.
  TLWAnalytics::logEventWithOrigin(Value("app+lmn"), true, Value("level_up"), Value{{"_sn", "fw"}, {"x", 1}}, 5.0,
                                   false, true);
  drain();
  auto events = backend->eventsCopy();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].addedScreenParameters.get("_sn").stringOr(), "menu");
  EXPECT_TRUE(events[1].addedScreenParameters.empty());
  EXPECT_EQ(events[2].addedScreenParameters.get("_sn").stringOr(), "fw");
  EXPECT_FALSE(events[2].parameterDictionary().contains("_sn"));
  EXPECT_TRUE(events[2].parameterDictionary().contains("x"));
  EXPECT_EQ(events[2].timestamp, 5.0);
  EXPECT_TRUE(events[2].ignoreInterceptor);
}

TEST_F(FrontControllerTest, AdEventIDFromTheAdsComponent) {
  platform::testing::LogCapture capture;
  start();
  auto shared = TLWAnalytics::sharedInstance();
  shared->instanceLogInternalEventWithOrigin(Value("qd"), Value("_ai"), Value{{"_aeid", "12ab"}});
  shared->instanceLogInternalEventWithOrigin(Value("qd"), Value("_ai"), Value{{"_aeid", "-1234567890123"}});
  shared->instanceLogInternalEventWithOrigin(Value("app"), Value("_ai"), Value{{"_aeid", "55"}});
  drain();
  auto events = backend->eventsCopy();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].parameterDictionary().get("_aeid").stringOr(), "12ab");
  const TLWValue* converted = TLWValueFromObject(events[1].parameterDictionary().get("_aeid"));
  ASSERT_TRUE(converted);
  EXPECT_EQ(converted->int64Value(), -1234567890123);
  EXPECT_EQ(events[2].parameterDictionary().get("_aeid").stringOr(), "55") << "only origin qd converts";
}

// ----------------------------------------------------------------- public interface

class PublicInterfaceTest : public FrontControllerTest {
 protected:
  void TearDown() override {
    if (auto app = platform::TWKApp::defaultApp()) app->deleteApp();
    FrontControllerTest::TearDown();
  }
  void configure() {
    platform::TWKOptions options("1:1:ios:1");
    ASSERT_TRUE(platform::TWKApp::configureWithOptions(options, env));
  }
};

TEST_F(PublicInterfaceTest, RefusesEventsAndPropertiesUntilConfigured) {
  platform::testing::LogCapture capture;
  if (auto app = platform::TWKApp::defaultApp()) app->deleteApp();
  start();
  TWKAnalytics::logEventWithName(Value("level_up"), Value{{"level", 1}});
  TWKAnalytics::setUserPropertyString(Value("mage"), Value("hero"));
  TWKAnalytics::setUserPropertyString(Value("1"), Value("_exp_42"));
  TWKAnalytics::setUserID(Value("user-1"));  // not checked
  drain();
  EXPECT_TRUE(backend->eventsCopy().empty());
  ASSERT_EQ(backend->attributesCopy().size(), 1u);
  EXPECT_EQ(backend->attributesCopy()[0].name, "_id");
  EXPECT_EQ(loggedCount(capture, 25018), 1u);
  EXPECT_EQ(loggedCount(capture, 25019), 2u);
  EXPECT_TRUE(capture.contains("I-ACS025019", "experiment_id (_exp_42)"));

  configure();
  TWKAnalytics::logEventWithName(Value("level_up"), Value{{"level", 1}});
  drain();
  ASSERT_EQ(backend->eventsCopy().size(), 1u);
  EXPECT_EQ(backend->eventsCopy()[0].origin, "app");
}

TEST_F(PublicInterfaceTest, SwiftValuesAreReportedOnceAndTheEventStillGoes) {
  platform::testing::LogCapture capture;
  configure();
  ASSERT_TRUE(env->classRegistry()->registerClass({"__SwiftValue", "", {}, {}}));
  struct Boxed : platform::ValueObject {
    std::string className() const override { return "__SwiftValue"; }
  };
  start();
  auto boxed = Value(std::shared_ptr<platform::ValueObject>(std::make_shared<Boxed>()));
  TWKAnalytics::logEventWithName(Value("level_up"),
                                 Value{{"outer", Value{{"list", Value::array({1, boxed, boxed})}}}});
  TWKAnalytics::logEventWithName(Value("level_up"), Value{{"plain", 1}});
  drain();
  EXPECT_EQ(loggedCount(capture, 25040), 1u);
  EXPECT_EQ(backend->eventsCopy().size(), 2u);
}

TEST_F(PublicInterfaceTest, StartOptionsFromTheFamilyOptions) {
  configure();
  platform::TWKOptions options("1:1:ios:1");
  options.setAnalyticsCollectionEnabled(false);
  TWKAnalytics::startWithConfiguration(Value(), options);
  drain();
  EXPECT_EQ(backend->initializeCount, 1);
  EXPECT_FALSE(backend->initEnabled);
  EXPECT_FALSE(backend->initDeactivated);
  EXPECT_EQ(backend->identifiersOrigin, "tq");
  // The installation identifier arrives asynchronously.
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard<std::mutex> lock(backend->mutex);
      if (!backend->installationIDs.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> lock(backend->mutex);
  ASSERT_FALSE(backend->installationIDs.empty());
  EXPECT_TRUE(backend->installationIDs[0].has_value());
}

TEST_F(PublicInterfaceTest, ForwardsTheRest) {
  configure();
  start();
  TWKAnalytics::setAnalyticsCollectionEnabled(false);
  TWKAnalytics::setConsent(Value{{"ad_storage", "denied"}});
  TWKAnalytics::setSessionTimeoutInterval(120);
  drain();
  EXPECT_EQ(backend->persistedEnabledStates, (std::vector<std::int64_t>{2}));
  EXPECT_EQ(TLWAnalytics::persistedConsentSource(), 10) << "the public entry point is the 3P path";
  EXPECT_EQ(backend->sessionTimeout, 120);
  EXPECT_EQ(TWKAnalytics::sharedInstance(), TWKAnalytics::sharedInstance());
  EXPECT_FALSE(TWKAnalytics::topLevelVersion().empty());
}
