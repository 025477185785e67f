// SDK experiments against the local measurement service: the request on the wire,
// snapshots fetched as pending and activated, flag precedence, the settings the flags
// change, bad and oversized answers (old flags kept) and the fetch schedule.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/experiments/TLWEManager.h"
#include "measurement/experiments/TLWPBExperimentMessages.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/scheduler/TLWAlarm.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/Gzip.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Logging.h"
#include "tests/support/TestDirectory.h"
#include "tools/measurement-service/ServiceCore.h"

namespace {

using platform::Value;

struct FlagSpec {
  std::string name;
  std::optional<std::int64_t> integer;
  std::optional<std::string> text;
};
struct ExperimentSpec {
  std::int32_t id;
  std::vector<FlagSpec> flags;
};

std::string responseBytes(const std::string& sdk, const std::vector<ExperimentSpec>& experiments,
                          bool viaSdkResponses = false, std::int32_t otherStatus = 0) {
  auto snapshot = TLWPBSnapshot::initWithMessageInfo();
  if (!viaSdkResponses) snapshot->SetString(TLWPBSnapshot::kSdkName, sdk);
  for (const auto& e : experiments) {
    auto experiment = TLWPBExperiment::initWithMessageInfo();
    experiment->SetInt32(TLWPBExperiment::kExperimentId, e.id);
    for (const auto& f : e.flags) {
      auto flag = TLWPBFlag::initWithMessageInfo();
      flag->SetString(TLWPBFlag::kName, f.name);
      if (f.integer) flag->SetInt64(TLWPBFlag::kIntValue, *f.integer);
      if (f.text) flag->SetString(TLWPBFlag::kStringValue, *f.text);
      experiment->AddRepeatedMessage(TLWPBExperiment::kFlags, *flag);
    }
    snapshot->AddRepeatedMessage(TLWPBSnapshot::kExperiments, *experiment);
  }
  auto response = TLWPBExperimentResponse::initWithMessageInfo();
  if (viaSdkResponses) {
    auto r = TLWPBSdkResponse::initWithMessageInfo();
    r->SetString(TLWPBSdkResponse::kSdkName, sdk);
    r->SetMessage(TLWPBSdkResponse::kSnapshot, snapshot.get());
    response->AddRepeatedMessage(TLWPBExperimentResponse::kSdkResponses, *r);
  } else {
    response->AddRepeatedMessage(TLWPBExperimentResponse::kSnapshots, *snapshot);
  }
  if (otherStatus) {
    auto r = TLWPBSdkResponse::initWithMessageInfo();
    r->SetString(TLWPBSdkResponse::kSdkName, "other_sdk");
    r->SetInt32(TLWPBSdkResponse::kStatus, otherStatus);
    response->AddRepeatedMessage(TLWPBExperimentResponse::kSdkResponses, *r);
  }
  auto bytes = response->protoBuffer();
  return std::string(bytes->begin(), bytes->end());
}

class RecordingDelegate : public TLWExperimentClientDelegate {
 public:
  void clientDidReceiveNewSnapshot() override { ++newSnapshots; }
  void clientDidReceiveFetchError(const TLWError& error) override { errorCodes.push_back(error.code()); }
  bool shouldFetchExperimentsForClient() override { return true; }
  std::atomic<int> newSnapshots{0};
  std::vector<std::int64_t> errorCodes;
};

class ExperimentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = tw_test_support::freshTestDirectory("experiments");
    env = platform::testing::TestEnvironment::create();
    monitor = TLWMonitor::initWithLogLevel(8, logger, kTLWLibraryNumericVersion, env);
    monitor->setVerboseLoggingEnabled(true);
    measurement_service::ServiceOptions options;
    options.experimentsFile = dir / "experiments.bin";
    service = std::make_unique<measurement_service::ServiceCore>(options);
    ASSERT_TRUE(service->start());
    makeManager();
  }
  void TearDown() override {
    flags.reset();
    manager.reset();
    if (service) service->stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  void makeManager() {
    manager = TLWEManager::create({env, monitor, service->baseURL(), (dir / "experiments.sql").string(), nullptr,
                                   [] { return std::optional<std::string>("instance-1"); }, [] { return false; }});
    manager->start();
    flags = std::make_shared<TLWEExperimentFlagsClient>(manager);
    ASSERT_TRUE(flags->registerClient("tally_wise", kTLWLibraryNumericVersion,
                                      {{"network_background_session_enabled", 0},
                                       {"redundant_engagement_removal_enabled", 0},
                                       {"efficient_engagement_reporting_enabled", 0}},
                                      delegate));
    waitForWorker();
  }
  void waitForWorker() { ASSERT_TRUE(manager->taskManager()->workerQueue()->sync([] {})); }
  void serve(const std::string& bytes) { std::ofstream(dir / "experiments.bin", std::ios::binary) << bytes; }
  // One fetch through the network, handled to the end.
  void fetch() {
    const auto before = service->requestCount();
    manager->taskManager()->fetchExperiments();
    awaitAnswer(before);
  }
  // Waits for the request after `before` and until its answer has been handled.
  void awaitAnswer(std::size_t before) {
    ASSERT_TRUE(service->waitForRequests(before + 1, std::chrono::seconds(20)));
    bool done = false;
    for (int i = 0; i < 500 && !(done = answered()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    waitForWorker();
    ASSERT_TRUE(done);
  }
  bool answered() {
    monitor->flush();
    const int n = logger->count(820003) + logger->count(820002) + logger->count(820026);
    if (n > answers) {
      answers = n;
      return true;
    }
    return false;
  }
  std::int64_t flag(const char* name) { return flags->flagValue(name).int64Value().value_or(-1); }
  int logged(std::int64_t code) {
    monitor->flush();
    return logger->count(code);
  }
  double stored(const char* key) {
    return env->preferences()->suite(kTLWExperimentSuiteName)->objectForKey(key).doubleValue().value_or(0);
  }
  void activateSample() {
    serve(responseBytes("tally_wise", {{4711, {{"network_background_session_enabled", 1, std::nullopt},
                                               {"efficient_engagement_reporting_enabled", 3, "text"},
                                               {"not_registered", 1, std::nullopt}}},
                                       {0, {{"network_background_session_enabled", 5, std::nullopt},
                                            {"redundant_engagement_removal_enabled", 1, std::nullopt}}}}));
    fetch();
    TLWError error;
    ASSERT_TRUE(flags->activateLatestSnapshot(&error));
  }

  std::filesystem::path dir;
  std::shared_ptr<platform::testing::TestEnvironment> env;
  std::shared_ptr<tw_test_support::RecordingLogger> logger = std::make_shared<tw_test_support::RecordingLogger>();
  tw_test_support::ScopedLoggerLevel loggerLevel_{platform::VXLLoggerLevel::Debug};
  std::shared_ptr<TLWMonitor> monitor;
  std::unique_ptr<measurement_service::ServiceCore> service;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<TLWEManager> manager;
  std::shared_ptr<TLWEExperimentFlagsClient> flags;
  int answers = 0;
};

TEST_F(ExperimentsTest, TheRequestDescribesTheAppAndTheLibraryWithItsNumericVersion) {
  serve(responseBytes("tally_wise", {}));
  fetch();
  const auto requests = service->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/sdk-exp");
  ASSERT_TRUE(requests[0].gunzippedBody);
  auto request = TLWPBExperimentRequest::initWithBuffer(std::string_view(*requests[0].gunzippedBody));
  ASSERT_TRUE(request);
  auto app = request->GetMessage<TLWPBAppProperty>(TLWPBExperimentRequest::kAppProperty);
  ASSERT_TRUE(app);
  EXPECT_EQ(app->GetString(TLWPBAppProperty::kPlatform), "ios");
  EXPECT_EQ(app->GetInt64(TLWPBAppProperty::kLibraryVersion), 10000);
  auto clients = request->GetRepeated<TLWPBClientProperty>(TLWPBExperimentRequest::kClientProperties);
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0]->GetString(TLWPBClientProperty::kSdkName), "tally_wise");
  EXPECT_EQ(clients[0]->GetInt64(TLWPBClientProperty::kSdkVersion), 80901);
  // md5("instance-1-tally_wise")
  EXPECT_EQ(clients[0]->GetString(TLWPBClientProperty::kDiversionId)->size(), 32u);
  EXPECT_GT(stored(kTLWExperimentFetchSuccessTimestampKey), 0);
}

TEST_F(ExperimentsTest, AFetchedSnapshotWaitsUntilActivatedThenItsFlagsWin) {
  auto other = manager->registerSDKProperty({"other_sdk", 3, "", std::nullopt, {}}, {{"x", Value(std::int64_t{0})}},
                                           delegate);
  ASSERT_TRUE(other);
  activateSample();
  EXPECT_EQ(delegate->newSnapshots.load(), 1);
  EXPECT_EQ(flag("network_background_session_enabled"), 1) << "activated beats launched";
  EXPECT_EQ(flag("redundant_engagement_removal_enabled"), 1) << "launched beats the default";
  EXPECT_EQ(flag("efficient_engagement_reporting_enabled"), 3) << "the integer of a flag that has both";
  EXPECT_TRUE(flags->flagValue("not_registered").isNull());
  EXPECT_EQ(flags->experimentIDs(), (std::vector<std::int64_t>{4711}));

  // A new snapshot (named through its SDK response) is pending until activated; an error
  // status reaches that SDK's delegate as -(status + 1).
  serve(responseBytes("tally_wise", {{99, {{"network_background_session_enabled", 0, std::nullopt}}}}, true, 2));
  fetch();
  EXPECT_EQ(flag("network_background_session_enabled"), 1);
  EXPECT_EQ(delegate->errorCodes, (std::vector<std::int64_t>{-3}));
  TLWError error;
  ASSERT_TRUE(flags->activateLatestSnapshot(&error));
  EXPECT_EQ(flag("network_background_session_enabled"), 0);
  EXPECT_EQ(flags->experimentIDs(), (std::vector<std::int64_t>{99}));

  // A relaunch finds the activated snapshot in the database.
  flags.reset();
  manager.reset();
  makeManager();
  EXPECT_EQ(flags->experimentIDs(), (std::vector<std::int64_t>{99}));
  EXPECT_EQ(flag("redundant_engagement_removal_enabled"), 1);
}

TEST_F(ExperimentsTest, BadOrOversizedAnswersKeepTheFlagsInForceAndCountAsFailures) {
  activateSample();
  serve(std::string("\xff\xff\xff\xff garbage", 12));
  fetch();
  EXPECT_EQ(logged(820026), 1);
  EXPECT_GT(stored(kTLWExperimentFetchFailureTimestampKey), 0);

  serve(std::string(kTLWEMaxResponseBytes + 1, '\0'));  // inflates past the limit
  fetch();
  EXPECT_EQ(logged(820002), 1);

  std::string error;
  ASSERT_TRUE(service->setRules(R"([{"path": "/sdk-exp", "status": 503}])", &error)) << error;
  fetch();
  EXPECT_GT(stored(kTLWExperimentFetchBackoffTimestampKey), 0);

  EXPECT_EQ(flag("network_background_session_enabled"), 1);
  EXPECT_EQ(flags->experimentIDs(), (std::vector<std::int64_t>{4711}));
  EXPECT_EQ(delegate->newSnapshots.load(), 1);
}

TEST_F(ExperimentsTest, FlagsChangeTheSettingsTheyOverride) {
  auto persisted = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env, nullptr, monitor);
  TLWError error;
  std::shared_ptr<TLWDatabase> database(
      TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, persisted, &error, env, monitor));
  ASSERT_TRUE(database) << error.description();
  TLWRemoteConfigDependencies deps;
  deps.env = env;
  deps.monitor = monitor;
  deps.shouldFetchExperiments = [] { return true; };
  auto remote = TLWRemoteConfig::initWithAppID("1:1:ios:1", database, flags, deps);
  ASSERT_TRUE(remote);
  EXPECT_FALSE(remote->isNetworkBackgroundSessionEnabled());
  EXPECT_FALSE(remote->redundantEngagementRemovalEnabled());
  // A flag no experiment sets leaves the configuration's setting in force.
  auto config = TLWPBMeasurementConfig::initWithMessageInfo();
  config->SetString(TLWPBMeasurementConfig::kAppId, "1:1:ios:1");
  auto setting = TLWPBSetting::initWithMessageInfo();
  setting->SetString(TLWPBSetting::kName, "measurement.collection.efficient_engagement_reporting_enabled");
  setting->SetString(TLWPBSetting::kValue, "1");
  config->AddRepeatedMessage(TLWPBMeasurementConfig::kSettings, *setting);
  remote->parseRemoteConfigFromMeasurementConfig(*config);
  EXPECT_TRUE(remote->efficientEngagementReportingEnabled());

  serve(responseBytes("tally_wise", {{4711, {{"network_background_session_enabled", 1, std::nullopt}}},
                                     {0, {{"redundant_engagement_removal_enabled", 1, std::nullopt}}}}));
  fetch();
  EXPECT_FALSE(remote->isNetworkBackgroundSessionEnabled()) << "not before activation";
  EXPECT_TRUE(remote->activateNewSnapshot());
  EXPECT_TRUE(remote->isNetworkBackgroundSessionEnabled());
  EXPECT_TRUE(remote->redundantEngagementRemovalEnabled());
  EXPECT_EQ(remote->experimentIDs(), (std::vector<std::int64_t>{4711}));
  EXPECT_TRUE(remote->efficientEngagementReportingEnabled()) << "no snapshot sets it";
}

// The manager starts before the library registers its client, as in the engine's start-up:
// the first fetch still goes out about 10 s after start.
TEST_F(ExperimentsTest, TheFirstFetchGoesOutAfterStartOnceTheLibraryRegistered) {
  ASSERT_TRUE(service->waitForRequests(1, std::chrono::seconds(30)));
  EXPECT_EQ(stored(kTLWExperimentFetchSuccessTimestampKey), 0) << "not postponed as if nobody asked";
}

// An activation without experiments replaces the one in force, on disk as in memory.
TEST_F(ExperimentsTest, AnEndedExperimentStaysEndedAfterARestart) {
  activateSample();
  ASSERT_EQ(flags->experimentIDs(), (std::vector<std::int64_t>{4711}));
  serve(responseBytes("tally_wise", {{0, {{"network_background_session_enabled", 5, std::nullopt}}}}));
  fetch();
  TLWError error;
  ASSERT_TRUE(flags->activateLatestSnapshot(&error));
  EXPECT_TRUE(flags->experimentIDs().empty());
  flags.reset();
  manager.reset();
  makeManager();
  EXPECT_TRUE(flags->experimentIDs().empty()) << "the ended experiment is not reloaded";
  EXPECT_EQ(flag("efficient_engagement_reporting_enabled"), -1) << "its flag is gone with it";
  EXPECT_EQ(flag("network_background_session_enabled"), 5) << "the launched flag is reloaded";
}

// Each answer arms the alarm for the next fetch: 4 hours after a success, 1800 s after a
// first failure, 12 hours after a 429 or 503.
TEST_F(ExperimentsTest, EachAnswerArmsTheAlarmForTheNextFetch) {
  serve(responseBytes("tally_wise", {}));
  auto task = manager->taskManager();
  struct Row {
    const char* rules;
    double delay;
  };
  const Row rows[] = {{"[]", 14400},
                      {R"([{"path": "/sdk-exp", "status": 500}])", 1800},
                      {R"([{"path": "/sdk-exp", "status": 503}])", 43200},
                      {R"([{"path": "/sdk-exp", "status": 429}])", 43200}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.rules);
    ASSERT_TRUE(task->workerQueue()->sync([&] {
      task->alarm()->cancel();  // the first fetch's alarm would hold any later time
      auto suite = env->preferences()->suite(kTLWExperimentSuiteName);
      for (const char* key : {kTLWExperimentFetchSuccessTimestampKey, kTLWExperimentFetchFailureTimestampKey,
                              kTLWExperimentFetchBackoffTimestampKey}) {
        suite->removeObject(key);
      }
    }));
    std::string error;
    ASSERT_TRUE(service->setRules(r.rules, &error)) << error;
    const double now = env->clock()->now();
    fetch();
    auto scheduled = task->alarm()->scheduledTimestamp();
    ASSERT_TRUE(scheduled);
    EXPECT_NEAR(*scheduled - now, r.delay, 1);
  }
}

// A snapshot fetched for an SDK with a delegate waits for that SDK across a restart; a
// reset forgets every snapshot (in memory and on disk) and fetches again.
TEST_F(ExperimentsTest, APendingSnapshotOutlivesARestartAndAResetForgetsEverySnapshot) {
  const auto defaults = std::make_pair(flag("network_background_session_enabled"),
                                       flag("redundant_engagement_removal_enabled"));
  serve(responseBytes("tally_wise", {{4711, {{"network_background_session_enabled", 1, std::nullopt}}},
                                     {0, {{"redundant_engagement_removal_enabled", 1, std::nullopt}}}}));
  fetch();
  flags.reset();
  manager.reset();
  makeManager();
  EXPECT_TRUE(flags->experimentIDs().empty()) << "not activated by the start";
  TLWError activationError;
  ASSERT_TRUE(flags->activateLatestSnapshot(&activationError));
  ASSERT_EQ(flags->experimentIDs(), (std::vector<std::int64_t>{4711}));
  ASSERT_EQ(flag("redundant_engagement_removal_enabled"), 1);
  const auto before = service->requestCount();
  manager->reset();
  waitForWorker();
  EXPECT_TRUE(flags->experimentIDs().empty());
  EXPECT_EQ(std::make_pair(flag("network_background_session_enabled"), flag("redundant_engagement_removal_enabled")),
            defaults);
  awaitAnswer(before);  // scheduled again
  flags.reset();
  manager.reset();
  makeManager();
  EXPECT_TRUE(flags->experimentIDs().empty());
  EXPECT_EQ(std::make_pair(flag("network_background_session_enabled"), flag("redundant_engagement_removal_enabled")),
            defaults);
}

TEST_F(ExperimentsTest, FetchScheduleBacksOffAndGivesUpAfterSixFailures) {
  auto task = manager->taskManager();
  const double now = env->clock()->now();
  double first = 0;
  ASSERT_TRUE(task->workerQueue()->sync([&] { first = task->fetchTimeFromLastSuccessfulTimestamp(now - 3600, 0); }));
  // start() already made the first call; this one follows the 4-hour rhythm.
  EXPECT_DOUBLE_EQ(first, now - 3600 + 14400);
  const double success = now - 100;
  const double t = success + 14400;
  struct Case {
    double failure;
    double expected;
  };
  // Retries 1800 s after the last success's slot, doubling: +1800, +5400, ... +113400.
  const Case cases[] = {{t, t + 1800}, {t + 1800, t + 5400}, {t + 55800, t + 113400}, {t + 113400, 0}};
  for (const auto& c : cases) {
    double next = -1;
    ASSERT_TRUE(task->workerQueue()->sync([&] { next = task->fetchTimeFromLastSuccessfulTimestamp(success, c.failure); }));
    EXPECT_DOUBLE_EQ(next, c.expected) << c.failure - t;
  }
}

}  // namespace
