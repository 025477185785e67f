// Ad exposure timing on a controllable boot clock: begin/end pairs, nesting, the unit
// limit, flushes on screen change, engagement timer and resign-active, and time spent
// inactive not counted.

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/reporters/TLWAdExposureReporter.h"
#include "measurement/reporters/TLWScreenViewReporting.h"
#include "platform/app/Application.h"
#include "platform/app/NotificationCenter.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Logging.h"

namespace {

class FakeScreens : public TLWScreenViewReporting {
 public:
  bool isAppActive() override { return active.load(); }
  platform::Dictionary screenParameters() override {
    std::lock_guard lock(mutex);
    return current;
  }
  void trackScreenWithParameters(const platform::Dictionary&, double) override {}
  void setScreenName(const std::string&, const std::string&) override {}
  std::atomic<bool> active{true};
  std::mutex mutex;
  platform::Dictionary current{{"_sn", "menu"}};
};

struct Logged {
  std::string origin, name;
  platform::Dictionary parameters;
  std::string describe() const {
    std::string s = name + ":" + parameters.get("_ai").stringOr() + ":" +
                    std::to_string(parameters.get("_xt").int64Value().value_or(-1));
    return s + "@" + parameters.get("_sn").stringOr();
  }
};

class AdExposureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = platform::testing::TestEnvironment::create();
    monitor = TLWMonitor::initWithLogLevel(8, logger, kTLWLibraryNumericVersion, env);
    monitor->setLogLevel(8);
    monitor->setVerboseLoggingEnabled(true);
    reporter = TLWAdExposureReporter::create(
        {env->fakeClock(), env->notificationCenter(), [this] { return screens; },
         [this](const std::string& origin, const std::string& name, const platform::Dictionary& parameters) {
           std::lock_guard lock(mutex);
           logged.push_back({origin, name, parameters});
         },
         monitor});
  }
  std::vector<std::string> take() {
    reporter->endAdUnitExposure("not-a-unit");  // waits for the reporter queue, changes nothing
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& l : logged) {
      EXPECT_EQ(l.origin, "qd");
      out.push_back(l.describe());
    }
    logged.clear();
    return out;
  }
  int logCount(std::int64_t code) {
    monitor->flush();
    return logger->count(code);
  }
  void advance(double seconds) { env->fakeClock()->advance(seconds); }

  std::shared_ptr<platform::testing::TestEnvironment> env;
  std::shared_ptr<tw_test_support::RecordingLogger> logger = std::make_shared<tw_test_support::RecordingLogger>();
  tw_test_support::ScopedLoggerLevel loggerLevel_{platform::VXLLoggerLevel::Debug};
  std::shared_ptr<TLWMonitor> monitor;
  std::shared_ptr<FakeScreens> screens = std::make_shared<FakeScreens>();
  std::shared_ptr<TLWAdExposureReporter> reporter;
  std::mutex mutex;
  std::vector<Logged> logged;
};

TEST_F(AdExposureTest, BeginEndPairsAndNesting) {
  reporter->beginAdUnitExposure("A");
  advance(0.5);
  reporter->endAdUnitExposure("A");
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(logCount(1009), 1);

  reporter->beginAdUnitExposure("A");
  reporter->beginAdUnitExposure("A");
  advance(1.5);
  reporter->endAdUnitExposure("A");
  EXPECT_TRUE(take().empty()) << "a unit begun twice must be ended twice";
  reporter->endAdUnitExposure("A");
  EXPECT_EQ(take(), (std::vector<std::string>{"_xu:A:1500@menu", "_xa::1500@menu"}));

  reporter->beginAdUnitExposure("A");
  advance(1);
  reporter->beginAdUnitExposure("B");
  advance(2);
  reporter->endAdUnitExposure("A");
  EXPECT_EQ(take(), (std::vector<std::string>{"_xu:A:3000@menu"})) << "no _xa while B is visible";
  advance(1);
  reporter->endAdUnitExposure("B");
  EXPECT_EQ(take(), (std::vector<std::string>{"_xu:B:3000@menu", "_xa::4000@menu"}));

  // Unknown and empty units change nothing.
  reporter->endAdUnitExposure("unknown");
  reporter->beginAdUnitExposure("");
  reporter->endAdUnitExposure("");
  advance(2);
  EXPECT_TRUE(take().empty());
}

TEST_F(AdExposureTest, FlushesOnScreenChangeTimerAndResignWithoutCountingTwice) {
  reporter->beginAdUnitExposure("A");
  advance(2);
  reporter->handleScreenDidChange(platform::Dictionary{{"_sn", "shop"}});
  EXPECT_EQ(take(), (std::vector<std::string>{"_xu:A:2000@shop", "_xa::2000@shop"}));

  advance(3);
  env->notificationCenter()->post(kTLWSessionReporterEngagementTimerDidFireNotification);
  EXPECT_EQ(take(), (std::vector<std::string>{"_xu:A:3000@menu", "_xa::3000@menu"}));

  advance(1.25);
  env->notificationCenter()->post(platform::kApplicationWillResignActiveNotification);
  EXPECT_EQ(take(), (std::vector<std::string>{"_xu:A:1250@menu", "_xa::1250@menu"}));

  // Backgrounded for a minute: the time inactive is not counted.
  screens->active = false;
  advance(60);
  screens->active = true;
  env->notificationCenter()->post(platform::kApplicationDidBecomeActiveNotification);
  advance(2);
  reporter->endAdUnitExposure("A");
  EXPECT_EQ(take(), (std::vector<std::string>{"_xu:A:2000@menu", "_xa::2000@menu"}));
}

TEST_F(AdExposureTest, RefusalsLogAndKeepNothing) {
  screens->active = false;
  reporter->beginAdUnitExposure("A");
  advance(5);
  reporter->endAdUnitExposure("A");
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(logCount(1011), 1);
  EXPECT_EQ(logCount(1010), 1);
  screens->active = true;

  reporter->setReportingEnabled(false);
  reporter->beginAdUnitExposure("A");
  advance(5);
  reporter->endAdUnitExposure("A");
  EXPECT_TRUE(take().empty());
  reporter->setReportingEnabled(true);

  for (int i = 0; i <= 100; ++i) reporter->beginAdUnitExposure("unit" + std::to_string(i));
  advance(1);
  reporter->logExposureEventsWithScreenParameters({{"_sn", "menu"}});
  const auto flushed = take();
  ASSERT_EQ(flushed.size(), 101u) << "100 units and the all-ads event";
  EXPECT_EQ(std::count(flushed.begin(), flushed.end(), "_xu:unit100:1000@menu"), 0) << "the 101st unit is ignored";
}

}  // namespace
