#include "measurement/reporters/TLWSessionReporter.h"

#include <cmath>
#include <limits>

#include "SessionScreenTestSupport.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/reporters/TLWScreen.h"
#include "tests/measurement/config/RemoteConfigTestSupport.h"

namespace {

using session_screen_test::ReporterFixture;

class SessionReporterTest : public ReporterFixture {
 protected:
  void SetUp() override {
    ReporterFixture::SetUp();
    persisted = persistedConfig();
    ASSERT_TRUE(persisted);
    reporter = makeReporter();
  }
  std::shared_ptr<TLWSessionReporter> makeReporter() {
    auto r = TLWSessionReporter::initWithPersistedConfig(persisted, host, env, timerQueue, monitor);
    r->setReportingEnabled(true);
    return r;
  }
  // The app comes to the foreground, stays `seconds`, and goes to the background.
  void foreground(double seconds) {
    host->active = true;
    reporter->handleAppDidBecomeActive();
    env->fakeClock()->advance(seconds);
    reporter->handleAppWillResignActiveWithScreen(std::nullopt);
    host->active = false;
  }

  std::shared_ptr<platform::DispatchQueue> timerQueue = platform::DispatchQueue::create("engagement-timer-test");
  std::shared_ptr<TLWPersistedConfig> persisted;
  std::shared_ptr<TLWSessionReporter> reporter;
};

namespace keys = tlw_remote_config_keys;
const std::string kEfficient(keys::kEfficientEngagementReportingEnabled);
const std::string kRedundant(keys::kRedundantEngagementRemovalEnabled);
const std::string kTracking(keys::kAppBackgroundedTracking);

TEST_F(SessionReporterTest, SessionsStartAfterTheTimeoutAndAreNumberedOneByOne) {
  const double start = env->fakeClock()->now();
  foreground(10);
  auto starts = host->events("_s");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].integer("_sno"), 1);
  EXPECT_EQ(starts[0].integer("_sid"), static_cast<std::int64_t>(start));
  EXPECT_EQ(host->sessionNumber, 1);

  // Back exactly at the timeout: the same session; one second later: a new one.
  env->fakeClock()->advance(1800);
  foreground(5);
  EXPECT_EQ(host->events("_s").size(), 1u);
  env->fakeClock()->advance(1801);
  foreground(5);
  ASSERT_EQ(host->events("_s").size(), 2u);
  EXPECT_EQ(host->events("_s")[1].integer("_sno"), 2);

  // Two did-become-active within the timeout start one session.
  env->fakeClock()->advance(4000);
  host->active = true;
  reporter->handleAppDidBecomeActive();
  reporter->handleAppDidBecomeActive();
  EXPECT_EQ(host->events("_s").size(), 3u);

  // A clock moved back by more than the timeout counts as expiry too.
  env->fakeClock()->setNow(env->fakeClock()->now() - 2000);
  EXPECT_TRUE(reporter->isSessionExpired());
}

TEST_F(SessionReporterTest, EngagementCountsForegroundTimeOnlyAndIsNeverNegative) {
  foreground(10);
  env->fakeClock()->advance(500);  // background time never counts
  foreground(4);
  env->fakeClock()->advance(7200);
  foreground(7200);  // capped at an hour
  auto engagements = host->events("_e");
  ASSERT_EQ(engagements.size(), 3u);
  EXPECT_EQ(engagements[0].integer("_et"), 10000);
  EXPECT_EQ(engagements[1].integer("_et"), 4000);
  EXPECT_EQ(engagements[2].integer("_et"), 3600000);
  EXPECT_EQ(host->events("_ab").size(), 3u);

  // The wall clock moves back an hour in the foreground: engagement is measured on the
  // boot clock, so it neither goes negative nor loses the time.
  host->active = true;
  reporter->handleAppDidBecomeActive();
  env->fakeClock()->advance(5);
  env->fakeClock()->setNow(env->fakeClock()->now() - 3600);
  EXPECT_EQ(reporter->logEngagementEventAndReturnTimeWithScreen(std::nullopt, false), 5000);

  // Nothing is logged while the app is not active.
  host->active = false;
  host->clear();
  EXPECT_EQ(reporter->logEngagementEventAndReturnTimeWithScreen(std::nullopt, false), 0);
  reporter->logSessionStartEvent();
  EXPECT_TRUE(host->events().empty());
}

TEST_F(SessionReporterTest, ScreenChangesLogEngagementForThePreviousScreenAfterOneSecond) {
  host->active = true;
  reporter->handleAppDidBecomeActive();
  TLWScreen menu{std::nullopt, "MenuController", 41};
  TLWScreen level{"Level 1", "LevelController", 42};
  env->fakeClock()->advance(0.5);
  reporter->handleScreenDidChangeFromScreen(menu, level);
  EXPECT_TRUE(host->events("_e").empty());
  env->fakeClock()->advance(2);
  reporter->handleScreenDidChangeFromScreen(menu, level);
  auto engagements = host->events("_e");
  ASSERT_EQ(engagements.size(), 1u);
  EXPECT_EQ(engagements[0].integer("_et"), 2500);
  EXPECT_EQ(engagements[0].integer("_si"), 41);
  EXPECT_EQ(engagements[0].string("_sc"), "MenuController");
  // The engagement timer is armed while the app is active and stops in the background.
  EXPECT_TRUE(reporter->userEngagementTimer()->hasActiveTimer());
  reporter->handleAppWillResignActiveWithScreen(level);
  EXPECT_FALSE(reporter->userEngagementTimer()->hasActiveTimer());
}

TEST_F(SessionReporterTest, BackgroundEventsExtendOnlyAnUnexpiredSession) {
  foreground(1);
  env->fakeClock()->advance(1000);
  EXPECT_TRUE(reporter->extendSession());
  env->fakeClock()->advance(1000);  // 1000 s after the extension: still alive
  EXPECT_FALSE(reporter->isSessionExpired());
  env->fakeClock()->advance(1801);
  EXPECT_FALSE(reporter->extendSession());

  auto start = reporter->sessionStartEventWithSessionNumber(7, true, 1700001234.9);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->name(), "_s");
  EXPECT_EQ(start->timestamp(), 1700001234.9);
  EXPECT_EQ(start->parameters().at("_sid").int64Value(), 1700001234);
  EXPECT_EQ(start->parameters().at("_sno").int64Value(), 7);
  EXPECT_EQ(start->parameters().at("_aib").int64Value(), 1);
}

// With efficient engagement reporting and redundant-event removal on, no "_e" marks the
// activity, yet continuous use (screen changes, then a brief interruption) is one session.
TEST_F(SessionReporterTest, ContinuousUseIsOneSessionWhenRedundantEngagementIsRemoved) {
  useConfig(persisted, {{kEfficient, "1"}, {kRedundant, "1"}});
  ASSERT_TRUE(host->config->efficientEngagementReportingEnabled() && host->config->redundantEngagementRemovalEnabled());

  host->active = true;
  reporter->handleAppDidBecomeActive();
  ASSERT_EQ(host->events("_s").size(), 1u);
  TLWScreen menu, level;
  menu.instanceID = 1;
  level.instanceID = 2;
  env->fakeClock()->advance(1500);
  reporter->handleScreenDidChangeFromScreen(menu, level);
  env->fakeClock()->advance(1500);  // 50 minutes of use in all
  reporter->handleAppWillResignActiveWithScreen(std::nullopt);
  EXPECT_FALSE(reporter->isSessionExpired()) << "the app's \"_ab\" still belongs to the session";
  env->fakeClock()->advance(60);
  reporter->handleAppDidBecomeActive();
  EXPECT_EQ(host->events("_s").size(), 1u) << "a brief interruption starts no new session";
  EXPECT_TRUE(host->events("_e").empty());
}

// One foreground stay (2 s on a menu, then 3 s on a level) under each engagement setting:
// which "_e" are logged with which "_et" and "_fr", and whether "_ab" carries "_et".
TEST_F(SessionReporterTest, EngagementSettingsDecideWhatAForegroundStayLogs) {
  struct Engagement {
    std::int64_t et;
    bool redundant;
  };
  struct Case {
    const char* what;
    std::vector<rconfig_test::SettingPair> settings;
    std::vector<Engagement> engagements;
    std::int64_t backgrounded;  // "_ab"'s "_et"; 0: "_ab" without it; -1: no "_ab"
  };
  const Case cases[] = {
      {"defaults", {}, {{2000, false}, {3000, false}}, 0},
      // The efficient mode measures from the last non-redundant cut: the level's "_e" holds all 5 s.
      {"efficient", {{kEfficient, "1"}}, {{2000, true}, {5000, true}}, 5000},
      {"efficient, redundant removed", {{kEfficient, "1"}, {kRedundant, "1"}}, {}, 5000},
      {"efficient, backgrounded tracking off", {{kEfficient, "1"}, {kTracking, "0"}}, {{2000, true}, {5000, false}}, -1},
      {"redundant removed without the efficient mode", {{kRedundant, "1"}}, {{2000, false}}, 0},
  };
  const TLWScreen menu{std::nullopt, "MenuController", 1}, level{std::nullopt, "LevelController", 2};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    useConfig(persisted, c.settings);
    reporter = makeReporter();
    host->clear();
    host->active = true;
    reporter->handleAppDidBecomeActive();
    env->fakeClock()->advance(2);
    reporter->handleScreenDidChangeFromScreen(menu, level);
    env->fakeClock()->advance(3);
    reporter->handleAppWillResignActiveWithScreen(level);
    host->active = false;

    auto engagements = host->events("_e");
    ASSERT_EQ(engagements.size(), c.engagements.size());
    for (std::size_t i = 0; i < engagements.size(); ++i) {
      EXPECT_EQ(engagements[i].integer("_et"), c.engagements[i].et) << i;
      EXPECT_EQ(engagements[i].integer("_fr"), c.engagements[i].redundant ? 1 : -1) << i;
      EXPECT_EQ(engagements[i].string("_sc"), i == 0 ? "MenuController" : "LevelController") << i;
    }
    auto backgrounded = host->events("_ab");
    ASSERT_EQ(backgrounded.size(), c.backgrounded < 0 ? 0u : 1u);
    if (c.backgrounded >= 0) {
      EXPECT_EQ(backgrounded[0].integer("_et"), c.backgrounded == 0 ? -1 : c.backgrounded);
    }
    env->fakeClock()->advance(10);
  }
}

// The engagement timer is armed for the configured interval, re-armed by every engagement
// event, and kept only while reporting is enabled.
TEST_F(SessionReporterTest, TheEngagementTimerFollowsTheConfiguredIntervalAndTheReportingSwitch) {
  useConfig(persisted, {{std::string(keys::kSessionEventUserEngagementInterval), "600000"}});  // milliseconds
  reporter = makeReporter();
  const auto& timer = reporter->userEngagementTimer();
  host->active = true;
  reporter->handleAppDidBecomeActive();
  EXPECT_EQ(timer->scheduledTimestamp().value_or(0) - env->fakeClock()->now(), 600);
  env->fakeClock()->advance(100);
  reporter->logUserEngagementEvent();
  EXPECT_EQ(timer->scheduledTimestamp(), env->fakeClock()->now() + 600) << "re-armed from the engagement event";

  reporter->setReportingEnabled(false);
  EXPECT_FALSE(timer->hasActiveTimer());
  // Neither a return to the foreground nor a screen change arms it while disabled.
  reporter->handleAppDidBecomeActive();
  env->fakeClock()->advance(2);
  reporter->handleScreenDidChangeFromScreen(TLWScreen{std::nullopt, "A", 1}, TLWScreen{std::nullopt, "B", 2});
  EXPECT_FALSE(timer->hasActiveTimer());
  EXPECT_EQ(host->events("_e").size(), 1u);

  reporter->setReportingEnabled(true);
  EXPECT_EQ(timer->scheduledTimestamp(), env->fakeClock()->now() + 600) << "enabling while active arms it";
}

TEST_F(SessionReporterTest, BadTimeoutsAreLoggedAndTheCurrentValueKept) {
  struct Case {
    double seconds;
    std::int64_t code;
  };
  for (const Case& c : {Case{-1, 33001}, Case{std::nan(""), 33002}, Case{1e12, 33003},
                        Case{std::numeric_limits<double>::infinity(), 33003}}) {
    reporter->setTimeoutSessionInterval(c.seconds);
    EXPECT_EQ(reporter->timeoutSessionInterval(), 1800) << c.seconds;
    EXPECT_TRUE(logged(c.code)) << c.seconds;
  }
  reporter->setTimeoutSessionInterval(60);
  EXPECT_EQ(reporter->timeoutSessionInterval(), 60);
  foreground(1);
  env->fakeClock()->advance(61);
  EXPECT_TRUE(reporter->isSessionExpired());
}

}  // namespace
