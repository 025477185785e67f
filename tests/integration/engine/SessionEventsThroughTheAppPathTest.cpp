// Session and engagement events over the product wiring: the public interface, the front
// controller and the real engine with its session reporter, driven through the application
// lifecycle on a test clock that also drives the library's timers, down to the stored rows
// and the user properties stored with them. The library starts once per process, so each
// case runs in a child process of its own and reports what it found on stderr.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "measurement/api/TLWAnalytics.h"
#include "measurement/api/TWKAnalytics.h"
#include "measurement/engine/TLWMeasurement.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/reporters/TLWSessionReporter.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWSqliteStore.h"
#include "platform/DispatchQueue.h"
#include "platform/PropertyList.h"
#include "platform/app/Application.h"
#include "platform/app/Bundle.h"
#include "platform/app/NotificationCenter.h"
#include "platform/core/TWKApp.h"
#include "platform/core/TWKOptions.h"
#include "platform/testing/TestEnvironment.h"

namespace {

using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;
using Ints = std::map<std::string, std::int64_t>;

constexpr const char* kAppID = "1:1234567890:ios:0a1b2c3d4e5f";

struct StoredRow {
  std::string name;
  Ints params;      // integer parameters of the stored event
  Ints properties;  // integer user properties stored with it
};

std::string gRoot;
int gFailures = 0;

void check(bool ok, const std::string& what) {
  if (ok) return;
  ++gFailures;
  std::fprintf(stderr, "failed: %s\n", what.c_str());
}

// Ends the child without the test framework's clean-up, removing its sandboxes.
[[noreturn]] void finish() {
  // The library's queues may still be writing into the sandbox (preferences, database):
  // they stop first, or a file written during the removal outlives the test.
  (void)platform::DispatchQueue::closeForProcessExit(std::chrono::seconds(10));
  std::error_code ec;
  if (!gRoot.empty()) std::filesystem::remove_all(gRoot, ec);
  if (const char* shared = std::getenv("TALLYWISE_SANDBOX")) std::filesystem::remove_all(shared, ec);
  std::_Exit(gFailures == 0 ? 0 : 1);
}

[[noreturn]] void fail(const char* what) {
  check(false, what);
  finish();
}

// Starts the library as an app does, over a sandbox whose fake clock drives every timer.
std::shared_ptr<platform::testing::TestEnvironment> startLibrary() {
  auto env = platform::testing::TestEnvironment::create("com.vorlix.skyforge");
  if (!env) fail("sandbox");
  gRoot = env->root();
  env->fakeClock()->setDrivesTimers(true);
  env->setNetworkClientFactory([](const std::string&) { return std::shared_ptr<platform::VXLNetwork>(); });
  const std::string bundleDir = env->root() + "/Skyforge.app";
  (void)env->fileSystem()->createDirectories(bundleDir);
  env->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, bundleDir);
  Dictionary info{{"CFBundleIdentifier", "com.vorlix.skyforge"}, {"CFBundleShortVersionString", "3.2"}};
  auto bytes = platform::PropertyList::dataWithPropertyList(Value(info), platform::PropertyListFormat::XML);
  if (!bytes || !env->fileSystem()->writeFileAtomically(bundleDir + "/Info.plist", *bytes)) fail("Info.plist");
  platform::Environment::setCurrent(env);
  if (!platform::TWKApp::configureWithOptions(platform::TWKOptions(kAppID), env)) fail("configure");
  TWKAnalytics::startWithConfiguration(Value(), platform::TWKOptions(kAppID));
  if (!TLWAnalytics::waitUntilPendingCallsStored(60s)) fail("start-up stored");
  return env;
}

void waitStored() {
  if (!TLWAnalytics::waitUntilPendingCallsStored(60s)) fail("pending calls stored");
}

std::vector<StoredRow> storedRows() {
  std::vector<StoredRow> out;
  auto engine = TLWMeasurement::sharedInstance();
  if (!engine) fail("engine");
  const bool ran = engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("test:read", [&] {
    TLWDatabase* db = engine->database();
    if (!db) return;
    TLWError error;
    auto rows = db->sqliteStore()->recordsForQuery(
        "SELECT name, metadata_fingerprint, data FROM raw_events ORDER BY rowid", {}, &error);
    if (!rows) return;
    for (const auto& row : *rows) {
      StoredRow r{row.get("name").stringOr(), {}, {}};
      if (const auto* data = row.get("data").dataBytes()) {
        if (auto event = TLWPBEvent::initWithBuffer(std::span<const std::uint8_t>(*data))) {
          for (const auto& p : event->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
            if (p->HasField(TLWPBEventParam::kIntValue))
              r.params[p->GetString(TLWPBEventParam::kName).value_or("")] = p->GetInt64(TLWPBEventParam::kIntValue);
          }
        }
      }
      const auto fingerprint = row.get("metadata_fingerprint").int64Value().value_or(0);
      if (auto metadata = db->queryRawEventsMetadataWithFingerprint(fingerprint, &error)) {
        for (const auto& ua : metadata->GetRepeated<TLWPBUserAttribute>(TLWPBMeasurementBundle::kUserAttributes)) {
          if (ua->HasField(TLWPBUserAttribute::kIntValue))
            r.properties[ua->GetString(TLWPBUserAttribute::kName).value_or("")] =
                ua->GetInt64(TLWPBUserAttribute::kIntValue);
        }
      }
      out.push_back(std::move(r));
    }
  });
  if (!ran) fail("read on the worker queue");
  return out;
}

std::vector<StoredRow> named(const std::vector<StoredRow>& rows, const std::string& name) {
  std::vector<StoredRow> out;
  for (const auto& r : rows) {
    if (r.name == name) out.push_back(r);
  }
  return out;
}

Ints sessionOf(const Ints& values) {
  Ints out;
  for (const char* key : {"_sid", "_sno"}) {
    if (auto it = values.find(key); it != values.end()) out[key] = it->second;
  }
  return out;
}

std::string describe(const Ints& values) {
  std::string out;
  for (const auto& [k, v] : values) out += k + "=" + std::to_string(v) + " ";
  return out.empty() ? "none" : out;
}

// The lifecycle steps run on the main queue, which this thread drains.
void comeToForeground(platform::Application& app) {
  app.finishLaunching();
  app.becomeActive();
  platform::MainRunLoop::drainMain();
}

[[noreturn]] void engagementTimerChild() {
  auto env = startLibrary();
  auto clock = env->fakeClock();
  std::atomic<int> fired{0};
  env->notificationCenter()->addObserver(TLWSessionReporter::kEngagementTimerDidFireNotification, {},
                                         [&](const platform::Notification&) { ++fired; });
  comeToForeground(*env->application());
  waitStored();
  auto reporter = std::dynamic_pointer_cast<TLWSessionReporter>(TLWMeasurement::sharedInstance()->sessionReporter());
  if (!reporter) fail("session reporter");
  const auto due = reporter->userEngagementTimer()->scheduledTimestamp();
  if (!due) fail("engagement timer armed in the foreground");
  const double interval = *due - clock->now();
  check(interval >= 10, "interval of at least 10 s: " + std::to_string(interval));

  const auto before = named(storedRows(), "_e").size();
  clock->advance(interval);
  platform::MainRunLoop::drainMain();
  waitStored();
  auto engagements = named(storedRows(), "_e");
  check(fired.load() == 1, "fired once: " + std::to_string(fired.load()));
  check(engagements.size() == before + 1, "one more stored _e: " + std::to_string(engagements.size()));
  if (!engagements.empty()) {
    const auto et = engagements.back().params["_et"];
    check(et == std::llround(std::min(interval, TLWSessionReporter::kMaxEngagementSeconds) * 1000),
          "_et is the foreground time: " + std::to_string(et));
  }

  // Switched off: the re-armed timer is gone, so nothing fires however long the app stays.
  TWKAnalytics::setAnalyticsCollectionEnabled(false);
  waitStored();
  clock->advance(3 * interval);
  platform::MainRunLoop::drainMain();
  waitStored();
  check(fired.load() == 1, "no firing once reporting is off: " + std::to_string(fired.load()));
  check(named(storedRows(), "_e").size() == engagements.size(), "no _e once reporting is off");
  finish();
}

[[noreturn]] void sessionOrderChild() {
  auto env = startLibrary();
  auto clock = env->fakeClock();
  auto app = env->application();
  comeToForeground(*app);
  waitStored();
  app->resignActive();
  app->enterBackground();
  platform::MainRunLoop::drainMain();
  waitStored();
  const auto before = named(storedRows(), "_s").size();
  auto reporter = std::dynamic_pointer_cast<TLWSessionReporter>(TLWMeasurement::sharedInstance()->sessionReporter());
  if (!reporter) fail("session reporter");
  clock->advance(reporter->timeoutSessionInterval() + 1);

  // The front controller's queue is held while the app logs an event and a session starts.
  std::latch held(1), release(1);
  TLWAnalytics::queueOperationWithBlock([&] {
    held.count_down();
    release.wait();
  });
  held.wait();
  TWKAnalytics::logEventWithName("level_up", Dictionary{{"level", 7}});
  app->enterForeground();
  app->becomeActive();
  platform::MainRunLoop::drainMain();
  release.count_down();
  waitStored();

  const auto rows = storedRows();
  const auto starts = named(rows, "_s");
  const auto logged = named(rows, "level_up");
  if (starts.size() != before + 1 || logged.size() != 1) fail("one new session start and one app event stored");
  const Ints previous = before == 0 ? Ints{} : sessionOf(starts[before - 1].params);
  const Ints current = sessionOf(starts.back().params);
  check(previous != current, "a new session: " + describe(current));
  check(sessionOf(logged[0].properties) == previous,
        "the app event keeps the previous session: " + describe(sessionOf(logged[0].properties)) + "vs " +
            describe(previous));
  check(sessionOf(starts.back().properties) == current,
        "the session start carries its own session: " + describe(sessionOf(starts.back().properties)));
  finish();
}

TEST(SessionEventsThroughTheAppPath, TheEngagementTimerFiresOnTheClockAndStoresEngagementUntilReportingIsOff) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(engagementTimerChild(), ::testing::ExitedWithCode(0), "");
}

TEST(SessionEventsThroughTheAppPath, AnAppEventWaitingWhenASessionStartsKeepsThePreviousSession) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(sessionOrderChild(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
