#include "measurement/monitor/TLWMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "measurement/monitor/TLWError.h"
#include "platform/VXLLogger.h"
#include "platform/testing/LogCapture.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Logging.h"

namespace {

using platform::Array;
using platform::Value;
using platform::VXLLoggerLevel;
using platform::testing::TestEnvironment;

constexpr const char* kSuite = "com.vorlix.zel.measurement.monitor";
constexpr const char* kSampleKey = "/vorlix/measurement/health_monitor";
constexpr const char* kMigrationKey = "/vorlix/measurement/monitor_migration_state";
constexpr const char* kDebugKey = "/vorlix/measurement/debug_mode";
constexpr const char* kVerboseKey = "/vorlix/measurement/verbose_logging";

using tw_test_support::RecordingLogger;

Value exceptionValue(std::string name, std::vector<std::string> frames) {
  return Value(std::make_shared<TLWException>(std::move(name), "boom", std::move(frames)));
}

// ------------------------------------------------------------------ class operations

TEST(TLWMonitorClassTest, LevelWordsAndSampleKeys) {
  EXPECT_EQ(TLWMonitor::logLevelDescriptionFromLogLevel(2), "ERROR");
  EXPECT_EQ(TLWMonitor::logLevelDescriptionFromLogLevel(3), "WARNING");
  EXPECT_EQ(TLWMonitor::logLevelDescriptionFromLogLevel(6), "NOTICE");
  EXPECT_EQ(TLWMonitor::logLevelDescriptionFromLogLevel(7), "DEBUG");
  EXPECT_EQ(TLWMonitor::logLevelDescriptionFromLogLevel(8), "");
  EXPECT_EQ(TLWMonitor::logLevelDescriptionFromLogLevel(-1), "");
  EXPECT_EQ(TLWMonitor::monitoringDataKeyWithMessage("Disk full", 2, 80901), "1E_80901:Disk full");
  EXPECT_EQ(TLWMonitor::monitoringDataKeyWithMessage("Slow", 3, 7), "1W_7:Slow");
  EXPECT_EQ(TLWMonitor::monitoringDataKeyWithMessage("Odd", 9, 80901), "1?_80901:Odd");
  EXPECT_EQ(TLWMonitor::monitoringDataKeyWithMessage("Odd", 6, 80901), "1?_80901:Odd");
}

TEST(TLWMonitorClassTest, NumberContextsEncodeAsDecades) {
  auto enc = [](Value v) { return TLWMonitor::encodedStringWithContextObject(v); };
  EXPECT_EQ(enc(7), "7");
  EXPECT_EQ(enc(-99), "-99");
  EXPECT_EQ(enc(345), "100...999");
  EXPECT_EQ(enc(-345), "-999...-100");
  EXPECT_EQ(enc(999), "100...999");
  EXPECT_EQ(enc(1000), "1000...9999");
  EXPECT_EQ(enc(-1000), "-9999...-1000");
  EXPECT_EQ(enc(999999999999999LL), "100000000000000...999999999999999");
  EXPECT_EQ(enc(1000000000000000LL), "1000000000000000...9999999999999999");
  EXPECT_EQ(enc(999999999999999999LL), "100000000000000000...999999999999999999");
  // 19-digit magnitudes: the decade's far bound does not fit in 64 bits and saturates.
  EXPECT_EQ(enc(1000000000000000000LL), "1000000000000000000...9223372036854775807");
  EXPECT_EQ(enc(std::numeric_limits<std::int64_t>::max()), "1000000000000000000...9223372036854775807");
  EXPECT_EQ(enc(-1000000000000000000LL), "-9223372036854775808...-1000000000000000000");
  EXPECT_EQ(enc(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808...-1000000000000000000");
  // Other number kinds go through their (saturated) integer value.
  EXPECT_EQ(enc(345.9), "100...999");
  EXPECT_EQ(enc(true), "1");
  EXPECT_EQ(enc(std::numeric_limits<std::uint64_t>::max()), "1000000000000000000...9223372036854775807");
  EXPECT_EQ(enc(-1e300), "-9223372036854775808...-1000000000000000000");
}

TEST(TLWMonitorClassTest, OtherContextsEncodeWithoutUserData) {
  Array contexts{Value(), "user@example.com", TLWError::errorWithCode(1, "x").asValue(),
                 Value(std::make_shared<TLWError>("", 3)), exceptionValue("NSRangeException", {}),
                 Value::date(5), Value::array({1}), Value({{"k", "v"}}), Value::data("abc")};
  EXPECT_EQ(TLWMonitor::encodedStringWithContextArray(contexts, false),
            ",-,com.vorlix.zel.measurement.ErrorDomain,-,NSRangeException,?,?,?,?");
  EXPECT_EQ(TLWMonitor::encodedStringWithContextArray({"a", 12}, true), "-, 12");
  EXPECT_EQ(TLWMonitor::encodedStringWithContextArray({}, true), "");
}

TEST(TLWMonitorClassTest, LibrarySymbolComesFromTheStackFromTheThirdFrameOn) {
  const std::vector<std::string> frames = {
      "0   CoreFoundation   0x00000001a1b2c3d4 __exceptionPreprocess + 220",
      "1   libobjc.A.dylib  0x00000001a1b2c3d5 -[TLWIgnored firstFrames] + 60",
      "2   Game             0x0000000100001000 short line",
      "3   Game             0x0000000100002000 -[GameScene update:] + 44",
      "4   Game             0x0000000100003000 -[tlwDatabase   insertRow:] + 12",
      "5   Game             0x0000000100004000 TLWLaterMatch + 8",
  };
  EXPECT_EQ(TLWMonitor::lastTLWSymbolFromException(exceptionValue("E", frames)), "-[tlwDatabase insertRow:]");
  EXPECT_EQ(TLWMonitor::encodedStringWithContextObject(exceptionValue("E", frames)), "-[tlwDatabase insertRow:]");
  // A function frame yields the symbol alone when the next token is "+".
  EXPECT_EQ(TLWMonitor::lastTLWSymbolFromException(exceptionValue("E", {"0 a", "1 b", "\t7  G 0x1 TLWParse + 8"})),
            "TLWParse");
  // No library frame or fewer than two frames: the exception's name.
  EXPECT_EQ(TLWMonitor::lastTLWSymbolFromException(exceptionValue("NSInvalid", {frames[0], frames[1], frames[3]})),
            "NSInvalid");
  EXPECT_EQ(TLWMonitor::lastTLWSymbolFromException(exceptionValue("OnlyOne", {frames[4]})), "OnlyOne");
  EXPECT_EQ(TLWMonitor::lastTLWSymbolFromException(Value("TLWString")), "");
  EXPECT_EQ(TLWMonitor::encodedStringWithContextObject(exceptionValue("", {})), "-");
  // A huge stack is scanned only so far.
  std::vector<std::string> deep(100000, "9 Game 0x1 -[Other thing] + 1");
  deep.push_back("9 Game 0x1 -[TLWDeep frame] + 1");
  EXPECT_EQ(TLWMonitor::lastTLWSymbolFromException(exceptionValue("Deep", deep)), "Deep");
}

TEST(TLWMonitorClassTest, ConsoleTextDescribesOrEncodesContexts) {
  EXPECT_EQ(TLWMonitor::stringWithLogMessage("Plain", 6, {}, false), "Plain");
  EXPECT_EQ(TLWMonitor::stringWithLogMessage(std::string_view(), 6, {}, false), "(Message was nil)");
  EXPECT_EQ(TLWMonitor::stringWithLogMessage("", 6, {Value(5)}, false), "(Message was empty): 5");
  Array contexts{"mage", Value(), 345};
  EXPECT_EQ(TLWMonitor::stringWithLogMessage("Name, value, count", 4, contexts, false),
            "Name, value, count: mage, (nil), 345");
  EXPECT_EQ(TLWMonitor::stringWithLogMessage("Name, value, count", 4, contexts, true),
            "Name, value, count: -, , 100...999");
  std::vector<std::string> frames = {"0 a", "1 b", "2 Game 0x1 -[TLWEngine run] + 3"};
  EXPECT_EQ(TLWMonitor::stringWithLogMessage("Caught", 1, {exceptionValue("NSRangeException", frames)}, false),
            "Caught: -[TLWEngine run]: NSRangeException: boom");
  EXPECT_EQ(TLWMonitor::stringWithLogMessage("Caught", 1, {exceptionValue("NSRangeException", {})}, false),
            "Caught: NSRangeException: boom");
  // An object that has nothing to say prints its class and address.
  struct Mute : platform::ValueObject {
    std::string className() const override { return "TLWMute"; }
    std::string description() const override { return ""; }
  };
  std::string text = TLWMonitor::stringWithLogMessage("Obj", 6, {Value(std::make_shared<Mute>())}, false);
  EXPECT_EQ(text.rfind("Obj: <TLWMute 0x", 0), 0u) << text;
}

// ------------------------------------------------------------------ the monitor

class TLWMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = TestEnvironment::create();
    ASSERT_NE(env_, nullptr);
  }

  // A monitor whose start-up work on its queue has finished.
  std::shared_ptr<TLWMonitor> makeMonitor(TLWMonitorProbes probes = {}) {
    auto monitor = TLWMonitor::initWithLogLevel(6, logger_, 80901, env_, std::move(probes));
    monitor->flush();
    return monitor;
  }
  // A new process on the same sandbox, started with `arguments`.
  std::shared_ptr<TLWMonitor> relaunch(std::vector<std::string> arguments) {
    env_->relaunch();
    arguments.insert(arguments.begin(), "/opt/tallywise/app/Tallywise");
    env_->fakeProcessInfo()->setArguments(std::move(arguments));
    platform::VXLSetLoggerLevel(VXLLoggerLevel::Notice);
    return makeMonitor();
  }
  std::shared_ptr<platform::PreferencesSuite> suite() { return env_->preferences()->suite(kSuite); }
  std::shared_ptr<platform::PreferencesSuite> standard() { return env_->preferences()->standard(); }
  void advance(double seconds) { env_->fakeClock()->advance(seconds); }

  tw_test_support::ScopedLoggerLevel loggerLevel_{VXLLoggerLevel::Notice};
  std::shared_ptr<TestEnvironment> env_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
};

TEST_F(TLWMonitorTest, LevelsRouteToConsoleAndSample) {
  auto monitor = makeMonitor();
  EXPECT_EQ(monitor->logLevel(), 6);
  for (int level = 0; level <= 9; ++level) monitor->logWithLevel(level, 24100 + level, "M" + std::to_string(level));
  monitor->flush();
  // At the notice logger level errors, warnings and notices print, except the silent 2 and 5.
  EXPECT_EQ(logger_->levels(), (std::vector<std::int64_t>{0, 1, 3, 4, 6}));
  for (const auto& l : logger_->lines()) {
    EXPECT_EQ(l.tag, "<Tallywise>");
    EXPECT_EQ(l.code, 24100 + l.level);
    EXPECT_EQ(l.message, "M" + std::to_string(l.level));
  }
  // 1, 2, 4, 5 and 9 were sampled.
  advance(120);
  auto data = monitor->monitoringDataForDispatchWithSamplePeriod(60, 0);
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(data->rfind("5:1", 0), 0u) << *data;

  // Contexts keep their positions; a debug logger level lets level 7 through, not 8.
  logger_->clear();
  platform::VXLSetLoggerLevel(VXLLoggerLevel::Debug);
  monitor->setLogTag("<Game>");
  monitor->logWithLevel(7, 1, "Two", Value(), "b");
  monitor->logWithLevel(6, 2, "Three", "a", Value(), 3);
  monitor->logWithLevel(6, 3, "Array", Array{"x", "y"});
  monitor->logWithLevel(8, 4, "Verbose");
  monitor->setEncodeContexts(true);
  monitor->logWithLevel(6, 5, "Encoded", "secret", 12345);
  monitor->flush();
  auto lines = logger_->lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].message, "Two: (nil), b");
  EXPECT_EQ(lines[0].tag, "<Game>");
  EXPECT_EQ(lines[1].message, "Three: a, (nil), 3");
  EXPECT_EQ(lines[2].message, "Array: x, y");
  EXPECT_EQ(lines[3].message, "Encoded: -, 10000...99999");
}

TEST_F(TLWMonitorTest, VerboseLoggingGatesLevelEight) {
  platform::VXLSetLoggerLevel(VXLLoggerLevel::Debug);
  auto monitor = makeMonitor();
  monitor->setVerboseLoggingEnabled(true);
  EXPECT_EQ(monitor->logLevel(), 8);
  EXPECT_EQ(standard()->objectForKey(kVerboseKey), Value(true));
  monitor->logWithLevel(8, 2, "Shown");
  monitor->flush();
  auto lines = logger_->lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].code, 24003);
  EXPECT_EQ(lines[0].message, "Verbose logging is on");
  EXPECT_EQ(lines[1].message, "Shown");

  // Off again: back to notice (debug mode is off), key removed, level 8 dropped.
  logger_->clear();
  monitor->setVerboseLoggingEnabled(false);
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_EQ(platform::VXLGetLoggerLevel(), VXLLoggerLevel::Notice);
  EXPECT_TRUE(standard()->objectForKey(kVerboseKey).isNull());
  platform::VXLSetLoggerLevel(VXLLoggerLevel::Debug);
  monitor->logWithLevel(8, 3, "Dropped");
  monitor->flush();
  EXPECT_TRUE(logger_->lines().empty());

  // With debug mode on, switching verbose off returns to the debug level.
  monitor->setDebugModeEnabled(true);
  monitor->setVerboseLoggingEnabled(true);
  monitor->setVerboseLoggingEnabled(false);
  EXPECT_EQ(monitor->logLevel(), 7);
  EXPECT_EQ(platform::VXLGetLoggerLevel(), VXLLoggerLevel::Debug);
}

TEST_F(TLWMonitorTest, SamplingWindowCountsDispatchesAndPersistsTheEmptiedSample) {
  auto monitor = makeMonitor();
  const double opened = env_->clock()->now();
  env_->fakeRandom()->script({1, 3});  // the second draw keeps (1 % 2), the third replaces (3 % 3)
  monitor->logWithLevel(1, 10, "First failure", "user text");
  advance(5);
  monitor->logWithLevel(4, 11, "Second warning", 345);
  advance(5);
  monitor->logWithLevel(2, 12, "Third silent", 7, TLWError::errorWithCode(3, "db", "raw_events").asValue());
  monitor->flush();
  const std::string context = "7,com.vorlix.zel.measurement.ErrorDomain,raw_events";
  EXPECT_EQ(suite()->objectForKey(kSampleKey), Value(Array{context, 3, "1E_80901:Third silent", Value::date(opened)}));

  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
  advance(3600);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(3600, 0), "3:1E_80901:Third silent:" + context);
  EXPECT_TRUE(suite()->objectForKey(kSampleKey).isNull());
  // An empty window: "0:" only when the last dispatch is more than a period away.
  const double now = env_->clock()->now();
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(600, now - 1200), std::optional<std::string>("0:"));
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(600, now - 300), std::nullopt);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(600, 0), std::nullopt);

  // The emptied state was written, not just held in memory.
  monitor.reset();
  EXPECT_EQ(relaunch({})->monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
}

TEST_F(TLWMonitorTest, SampleSurvivesARelaunchAndCorruptSamplesLoadEmpty) {
  auto monitor = makeMonitor();
  monitor->logWithLevel(5, 13, "Slow query", "table");
  monitor->flush();
  monitor = relaunch({});
  advance(100);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(50, 0), std::optional<std::string>("1:1W_80901:Slow query:-"));

  for (const Value& bad : {Value("garbage"), Value(Array{"-", -3, "k", Value::date(1)})}) {
    suite()->setObject(kSampleKey, bad);
    ASSERT_TRUE(suite()->synchronize());
    monitor = relaunch({});
    advance(100);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(50, 0), std::nullopt) << bad.description();
    // A new message opens a fresh window rather than adding to the corrupt one.
    monitor->logWithLevel(1, 14, "Fresh");
    monitor->flush();
    advance(100);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(50, 0), std::optional<std::string>("1:1E_80901:Fresh"));
  }
}

TEST_F(TLWMonitorTest, MigrationMovesTheSampleOutOfTheStandardSuiteOnce) {
  const Value legacy(Array{"-", 2, "1E_80901:Legacy", Value::date(1)});
  const Value current(Array{"", 1, "1W_80901:Current", Value::date(1)});
  // Sets up a stored state, starts a monitor, and answers the suite's sample afterwards.
  auto migrate = [&](Value state, Value inSuite) {
    if (!state.isNull()) suite()->setObject(kMigrationKey, state);
    if (!inSuite.isNull()) suite()->setObject(kSampleKey, inSuite);
    standard()->setObject(kSampleKey, legacy);
    EXPECT_TRUE(suite()->synchronize() && standard()->synchronize());
    makeMonitor();
    Value result = suite()->objectForKey(kSampleKey);
    suite()->removeObject(kSampleKey);
    EXPECT_TRUE(suite()->synchronize());
    return result;
  };
  EXPECT_EQ(migrate(Value(), Value()), legacy);  // state 0: copied...
  EXPECT_TRUE(standard()->objectForKey(kSampleKey).isNull());  // ...and removed from the standard suite
  env_->relaunch();  // both steps were synchronised
  EXPECT_EQ(suite()->objectForKey(kMigrationKey), Value(2));
  EXPECT_TRUE(standard()->objectForKey(kSampleKey).isNull());

  EXPECT_TRUE(migrate(Value(), Value()).isNull());  // state 2: nothing moves
  EXPECT_EQ(standard()->objectForKey(kSampleKey), legacy);
  EXPECT_TRUE(migrate(1, Value()).isNull());  // state 1: removed without copying
  EXPECT_TRUE(standard()->objectForKey(kSampleKey).isNull());
  EXPECT_EQ(migrate(0, current), current);  // the suite's own sample wins
  EXPECT_EQ(migrate("two", Value()), legacy);  // an unreadable state starts over
  EXPECT_EQ(suite()->objectForKey(kMigrationKey), Value(2));
}

TEST_F(TLWMonitorTest, DebugAndVerboseSwitchesFromArgumentsAndSettings) {
  auto monitor = relaunch({"-TWKDebugEnabled"});
  EXPECT_TRUE(monitor->debugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 7);
  EXPECT_EQ(platform::VXLGetLoggerLevel(), VXLLoggerLevel::Debug);
  EXPECT_TRUE(logger_->hasCode(24000));
  EXPECT_FALSE(monitor->loggerLevelManagedExternally());  // no core configuration by default

  // The persisted flag brings debug mode back without arguments...
  monitor = relaunch({});
  EXPECT_TRUE(monitor->debugModeEnabled());
  EXPECT_EQ(platform::VXLGetLoggerLevel(), VXLLoggerLevel::Debug);
  // Switching off is announced while debug lines still print.
  monitor->setDebugModeEnabled(false);
  monitor->flush();
  EXPECT_TRUE(logger_->hasCode(24001));
  EXPECT_EQ(platform::VXLGetLoggerLevel(), VXLLoggerLevel::Notice);
  // A disabling argument wins over enabling ones and over the persisted flag, and removes it.
  monitor->setDebugModeEnabled(true);
  monitor = relaunch({"-TLWAnalyticsDebugEnabled", "-noTWKAnalyticsDebugEnabled"});
  EXPECT_FALSE(monitor->debugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_FALSE(relaunch({})->debugModeEnabled());

  EXPECT_TRUE(relaunch({"-TWKAnalyticsVerboseLoggingEnabled"})->verboseLoggingEnabled());
  monitor = relaunch({});
  EXPECT_TRUE(monitor->verboseLoggingEnabled());
  EXPECT_EQ(monitor->logLevel(), 8);
  EXPECT_FALSE(relaunch({"-TLWAnalyticsVerboseLoggingDisabled"})->verboseLoggingEnabled());
  EXPECT_FALSE(relaunch({})->verboseLoggingEnabled());
}

TEST_F(TLWMonitorTest, StoreBuildIgnoresDebugSwitches) {
  env_->fakeProcessInfo()->setEnvironmentVariable("TALLYWISE_STORE_BUILD", "1");
  standard()->setObject(kDebugKey, true);
  standard()->setObject(kVerboseKey, true);
  ASSERT_TRUE(standard()->synchronize());
  auto monitor = relaunch({"-TWKDebugEnabled", "-TWKAnalyticsVerboseLoggingEnabled"});
  EXPECT_TRUE(monitor->isStoreBuild());
  EXPECT_FALSE(monitor->debugModeEnabled());
  EXPECT_FALSE(monitor->verboseLoggingEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);

  // Switching on in a store build switches off instead.
  monitor->setVerboseLoggingEnabled(true);
  monitor->setDebugModeEnabled(true);
  EXPECT_FALSE(monitor->debugModeEnabled());
  EXPECT_FALSE(monitor->verboseLoggingEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_EQ(platform::VXLGetLoggerLevel(), VXLLoggerLevel::Notice);
  EXPECT_TRUE(standard()->objectForKey(kDebugKey).isNull());
  EXPECT_TRUE(standard()->objectForKey(kVerboseKey).isNull());

  // Any other value is not a store build; an injected probe overrides the variable.
  env_->fakeProcessInfo()->setEnvironmentVariable("TALLYWISE_STORE_BUILD", "0");
  EXPECT_FALSE(makeMonitor()->isStoreBuild());
  TLWMonitorProbes probes;
  probes.isStoreBuild = [] { return true; };
  EXPECT_TRUE(makeMonitor(probes)->isStoreBuild());
}

TEST_F(TLWMonitorTest, ExternallyManagedLoggerLevelIsLeftAlone) {
  TLWMonitorProbes probes;
  probes.isCoreConfigurationPresent = [] { return true; };
  env_->fakeProcessInfo()->setArguments({"app", "-TWKDebugEnabled"});
  auto monitor = makeMonitor(probes);
  EXPECT_TRUE(monitor->loggerLevelManagedExternally());
  EXPECT_TRUE(monitor->debugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 7);
  monitor->setVerboseLoggingEnabled(true);
  EXPECT_EQ(platform::VXLGetLoggerLevel(), VXLLoggerLevel::Notice);

  // The core alone, without one of its own arguments, does not take the level over.
  env_->fakeProcessInfo()->setArguments({"app", "-TLWAnalyticsDebugEnabled"});
  EXPECT_FALSE(makeMonitor(probes)->loggerLevelManagedExternally());
  EXPECT_EQ(platform::VXLGetLoggerLevel(), VXLLoggerLevel::Debug);
}

TEST_F(TLWMonitorTest, ClearRemovesPersistedDebugFlagAndSample) {
  auto monitor = makeMonitor();
  monitor->setDebugModeEnabled(true);
  suite()->setObject(kDebugKey, true);
  standard()->setObject(kSampleKey, Value(Array{"-", 1, "k", Value::date(1)}));
  monitor->logWithLevel(1, 20, "Failure");
  monitor->clearMonitoringData();
  for (auto s : {suite(), standard()}) {
    EXPECT_TRUE(s->objectForKey(kDebugKey).isNull()) << s->name();
    EXPECT_TRUE(s->objectForKey(kSampleKey).isNull()) << s->name();
  }
  advance(10000);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(60, 0), std::nullopt);
  EXPECT_TRUE(monitor->debugModeEnabled());  // only the persisted flag goes
  EXPECT_FALSE(relaunch({})->debugModeEnabled());
}

TEST_F(TLWMonitorTest, ConcurrentLoggersAreAllCounted) {
  auto monitor = makeMonitor();
  constexpr int kThreads = 4, kPerThread = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        monitor->logWithLevel(i % 2 ? 4 : 1, t, "Concurrent", i);
        if (i % 50 == 0) monitor->setEncodeContexts(i % 100 == 0);
      }
    });
  for (auto& th : threads) th.join();
  advance(1000);
  auto data = monitor->monitoringDataForDispatchWithSamplePeriod(60, 0);
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(data->substr(0, data->find(':')), std::to_string(kThreads * kPerThread));
  EXPECT_EQ(logger_->lines().size(), static_cast<std::size_t>(kThreads * kPerThread));
}

// Blocks queued on the monitor queue hold it weakly: once the last owner lets go, the
// rest of them do nothing.
TEST_F(TLWMonitorTest, QueuedBlocksDoNothingOnceTheMonitorIsGone) {
  struct GateLogger : TLWLogger {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, released = false;
    int calls = 0;
    void logMessage(std::string_view, std::string_view, std::int64_t, std::int64_t) override {
      std::unique_lock<std::mutex> lock(m);
      ++calls;
      entered = true;
      cv.notify_all();
      cv.wait(lock, [&] { return released; });
    }
  };
  auto gate = std::make_shared<GateLogger>();
  auto monitor = TLWMonitor::initWithLogLevel(6, gate, 80901, env_);
  std::weak_ptr<TLWMonitor> weak = monitor;
  monitor->logWithLevel(6, 1, "first");
  {
    std::unique_lock<std::mutex> lock(gate->m);
    ASSERT_TRUE(gate->cv.wait_for(lock, std::chrono::seconds(10), [&] { return gate->entered; }));
  }
  for (int i = 0; i < 5; ++i) monitor->logWithLevel(6, 2, "later");
  monitor->logWithLevel(1, 3, "sampled later");
  monitor.reset();
  {
    std::lock_guard<std::mutex> lock(gate->m);
    gate->released = true;
  }
  gate->cv.notify_all();
  for (int i = 0; i < 1000 && !weak.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(weak.expired());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::lock_guard<std::mutex> lock(gate->m);
  EXPECT_EQ(gate->calls, 1);
  EXPECT_TRUE(suite()->objectForKey(kSampleKey).isNull());
}

TEST_F(TLWMonitorTest, SharedInstanceIsCreatedOnceOnTheCurrentEnvironment) {
  platform::testing::ScopedCurrentEnvironment current(env_);
  platform::testing::LogCapture capture;
  auto shared = TLWMonitor::sharedInstance();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(shared, TLWMonitor::sharedInstance());
  EXPECT_EQ(shared->libraryVersion(), 80901);
  // Its sink is the utilities logger, under the library's tag and code format.
  shared->logWithLevel(4, 25001, "Shared 100% warning");
  shared->flush();
  ASSERT_TRUE(capture.contains("I-ACS025001", "Shared 100% warning"));
  EXPECT_EQ(capture.withCode("I-ACS025001").at(0).service, "<Tallywise>");
}

}  // namespace
