// The uploader and the configuration fetcher against the real local measurement service
// over loopback, through the real network client, with a real database: what arrives,
// what stays queued, and how failures are spaced.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "measurement/scheduler/TLWAlarm.h"
#include "measurement/engine/TLWConfigFetcher.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/engine/TLWUploader.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestDirectory.h"
#include "tests/support/Wait.h"
#include "tools/measurement-service/BatchReport.h"
#include "tools/measurement-service/ServiceCore.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kAppID = "1:1:ios:reliability";

// Keeps the shared monitor's files out of the user's data.
class SandboxEnvironment : public ::testing::Environment {
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tlw-upload-it-XXXXXX").string();
    if (mkdtemp(pattern.data())) setenv("TALLYWISE_SANDBOX", (dir_ = pattern).c_str(), 1);
    // Also at exit: the shared monitor may still write there after the last test.
    if (!dir_.empty()) platform::testing::removeAtExit(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  std::string dir_;
};
auto* const kSandbox = ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

template <class F>
bool waitFor(F done, std::chrono::milliseconds limit = 20s) {
  return tw_test_support::waitFor(done, limit, 5ms);
}

class Host : public TLWUploaderHost, public TLWConfigFetcherHost {
 public:
  TLWUploadSettings uploadSettings() override {
    std::lock_guard lock(mutex);
    return settings;
  }
  bool bundleRawEvents() override { return false; }
  TLWBundleIdentifierInputs bundleIdentifierInputs() override {
    TLWBundleIdentifierInputs inputs;
    inputs.identifierForVendor = "vendor-1";
    inputs.appInstanceID = "instance-1";
    return inputs;
  }
  bool activateNewSnapshot() override { return false; }
  void fetchRemoteConfig() override {
    if (auto f = fetcher.lock()) f->fetchRemoteConfig();
  }
  bool isBackgroundTaskActive() override { return false; }
  void endBackgroundTask() override {}
  std::optional<std::string> remoteConfigURL() override { return configURL + "/config/app/" + kAppID + "?platform=ios"; }
  std::string appIDFromZEL() override { return kAppID; }
  bool updateAudiences(const std::vector<std::shared_ptr<TLWPBAudience>>&) override { return true; }
  bool updateMeasurementConfig(const std::shared_ptr<TLWPBMeasurementConfig>& config) override {
    std::lock_guard lock(mutex);
    ++applied;
    appliedVersion = config->GetInt64(TLWPBMeasurementConfig::kVersion);
    settings.isExpired = false;
    return true;
  }

  std::mutex mutex;
  TLWUploadSettings settings;
  std::weak_ptr<TLWConfigFetcher> fetcher;
  std::string configURL;
  int applied = 0;
  std::int64_t appliedVersion = 0;
};

struct Arrival {
  Clock::time_point at;
  int status = 0;
  std::string action;
  std::vector<std::string> events;
  std::vector<std::int64_t> retryCounts;
  std::size_t bundles = 0;
};

class UploadReliabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = tw_test_support::freshTestDirectory("tlw-upload-service");
    fs::create_directories(root / "config");
    measurement_service::ServiceOptions options;
    options.configDirectory = root / "config";
    configureService(options);
    service = std::make_unique<measurement_service::ServiceCore>(options);
    measurement_service::installDevelopmentHooks(*service, nullptr);
    service->setRequestObserver([this](const measurement_service::RecordedRequest& request) {
      if (request.path != "/a") return;
      Arrival arrival;
      arrival.at = Clock::now();
      arrival.status = request.status;
      arrival.action = request.action;
      auto check = measurement_service::checkBatch(request.payload());
      arrival.bundles = check.bundles.size();
      for (const auto& bundle : check.bundles) {
        arrival.retryCounts.push_back(bundle.retryCount);
        arrival.events.insert(arrival.events.end(), bundle.events.begin(), bundle.events.end());
      }
      std::lock_guard lock(arrivalsMutex);
      arrivals.push_back(std::move(arrival));
    });
    std::string error;
    ASSERT_TRUE(service->start(&error)) << error;

    env = platform::testing::TestEnvironment::create();
    ASSERT_TRUE(env);
    // Real time: the alarm and the retry spacing run on the wall clock here.
    env->setClock(platform::Environment::makeDefault()->clock());
    persisted = TLWPersistedConfig::initWithSuiteName(std::string(kTLWPersistedConfigSuiteName), false, env);
    TLWError dbError;
    database = std::shared_ptr<TLWDatabase>(
        TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, persisted, &dbError, env).release());
    ASSERT_TRUE(database) << dbError.description();
    scheduler = TLWScheduler::initWithWorkerQueueLabel("com.vorlix.twka.worker.it");
    alarm = TLWAlarm::initWithDispatchQueue(scheduler->workerQueue(), "Measurement timer", env->clock());
    network = std::make_shared<platform::VXLNetwork>("127.0.0.1", networkOptions());
    transport = TLWVXLNetworkTransport::create(network);
    host = std::make_shared<Host>();
    host->configURL = service->baseURL();
    {
      std::lock_guard lock(host->mutex);
      host->settings.uploadingInitialDelayInterval = 0.05;
      host->settings.uploadingInterval = 0.05;
      host->settings.uploadingRetryInterval = 0.1;
      host->settings.uploadingRetryCount = 6;
      host->settings.uploadingBackoffInterval = 0.4;
      host->settings.networkTimeout = 1;
    }
    uploader = TLWUploader::create(database, persisted, scheduler, alarm, transport, host, service->baseURL(), env);
    ASSERT_TRUE(uploader);
    fetcher = TLWConfigFetcher::create(uploader, host, env);
    host->fetcher = fetcher;
  }

  void TearDown() override {
    if (alarm) alarm->cancel();
    if (scheduler) (void)scheduler->dispatchSyncOnWorkerQueueBlockID("test", [] {});
    fetcher.reset();
    uploader.reset();
    network.reset();
    if (scheduler) (void)scheduler->dispatchSyncOnWorkerQueueBlockID("test", [] {});
    if (service) service->stop();
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  // What the https variants change.
  virtual void configureService(measurement_service::ServiceOptions&) {}
  virtual platform::VXLNetwork::Options networkOptions() { return {}; }

  template <class F>
  void onWorker(F block) {
    ASSERT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID("test", block));
  }
  void queueBundle(const std::string& appID, const std::vector<std::string>& events) {
    const double now = env->clock()->now();
    auto bundle = TLWPBMeasurementBundle::initWithMessageInfo();
    bundle->SetString(TLWPBMeasurementBundle::kAppId, appID);
    bundle->SetString(TLWPBMeasurementBundle::kPlatform, "ios");
    for (const auto& name : events) {
      auto event = TLWPBEvent::initWithMessageInfo();
      event->SetString(TLWPBEvent::kName, name);
      event->SetInt64(TLWPBEvent::kTimestamp, static_cast<std::int64_t>(now * 1000));
      bundle->AddRepeatedMessage(TLWPBMeasurementBundle::kEvents, *event);
    }
    bundle->SetInt64(TLWPBMeasurementBundle::kStartTimestamp, static_cast<std::int64_t>(now * 1000));
    bundle->SetInt64(TLWPBMeasurementBundle::kEndTimestamp, static_cast<std::int64_t>(now * 1000));
    onWorker([&] {
      TLWError error;
      ASSERT_TRUE(database->insertBundle(*bundle, false, &error)) << error.description();
    });
  }
  bool queueIsEmpty() {
    bool empty = false;
    onWorker([&] { empty = database->isQueuedBundleTableEmpty(nullptr).value_or(false); });
    return empty;
  }
  std::vector<Arrival> received() {
    std::lock_guard lock(arrivalsMutex);
    return arrivals;
  }
  // Events of the batches the service accepted, in arrival order.
  std::vector<std::string> acceptedEvents() {
    std::vector<std::string> events;
    for (const auto& arrival : received())
      if (arrival.status == 204) events.insert(events.end(), arrival.events.begin(), arrival.events.end());
    return events;
  }
  void plan() {
    onWorker([&] { uploader->updateSchedule(); });
  }

  fs::path root;
  std::unique_ptr<measurement_service::ServiceCore> service;
  std::mutex arrivalsMutex;
  std::vector<Arrival> arrivals;
  std::shared_ptr<platform::testing::TestEnvironment> env;
  std::shared_ptr<TLWPersistedConfig> persisted;
  std::shared_ptr<TLWDatabase> database;
  std::shared_ptr<TLWScheduler> scheduler;
  std::shared_ptr<TLWAlarm> alarm;
  std::shared_ptr<platform::VXLNetwork> network;
  std::shared_ptr<TLWVXLNetworkTransport> transport;
  std::shared_ptr<Host> host;
  std::shared_ptr<TLWUploader> uploader;
  std::shared_ptr<TLWConfigFetcher> fetcher;
};

TEST_F(UploadReliabilityTest, EveryEventArrivesExactlyOnceOverSeveralUploads) {
  std::vector<std::string> expected;
  for (int round = 0; round < 5; ++round) {
    std::vector<std::string> events;
    for (int i = 0; i < 3; ++i) events.push_back("r" + std::to_string(round) + "_e" + std::to_string(i));
    queueBundle(kAppID, events);
    expected.insert(expected.end(), events.begin(), events.end());
    plan();
    ASSERT_TRUE(waitFor([&] { return acceptedEvents().size() == expected.size() && queueIsEmpty(); }))
        << "round " << round;
  }
  EXPECT_EQ(acceptedEvents(), expected);
  EXPECT_GE(received().size(), 5u);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(acceptedEvents().size(), expected.size()) << "nothing is sent twice after the queue emptied";
  EXPECT_GT(persisted->lastSuccessfulUploadTimestamp(), 0);
  EXPECT_EQ(persisted->lastFailedUploadTimestamp(), 0);
}

TEST_F(UploadReliabilityTest, ThrottlingDroppedAndStalledRequestsLoseNothingAndBackOff) {
  ASSERT_TRUE(service->setRules(R"([
    {"path": "/a", "first": 1, "count": 1, "status": 503},
    {"path": "/a", "first": 2, "count": 1, "status": 429},
    {"path": "/a", "first": 3, "count": 1, "drop": true},
    {"path": "/a", "first": 4, "count": 1, "stall": true, "stallMs": 3000}
  ])"));
  queueBundle(kAppID, {"a", "b"});
  queueBundle(kAppID, {"c"});
  plan();
  ASSERT_TRUE(waitFor([&] { return !acceptedEvents().empty() && queueIsEmpty(); }, 30s));
  auto all = received();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0].status, 503);
  EXPECT_EQ(all[1].status, 429);
  EXPECT_EQ(all[2].action, "drop");
  EXPECT_EQ(all[3].action, "stall");
  EXPECT_EQ(all[4].status, 204);
  // Every attempt carried the same bundles, counting the failures before it: the dropped
  // request is a failure of its own, not resent by the client behind the uploader's back.
  for (const auto& arrival : all) EXPECT_EQ(arrival.events, (std::vector<std::string>{"a", "b", "c"}));
  for (std::int64_t i = 0; i < 5; ++i)
    EXPECT_EQ(all[i].retryCounts, (std::vector<std::int64_t>{i, i})) << "attempt " << i;
  // 503 and 429 impose the back-off period; the stall lasts until the client's timeout.
  const auto backoff = std::chrono::milliseconds(400);
  EXPECT_GE(all[1].at - all[0].at, backoff - 50ms);
  EXPECT_GE(all[2].at - all[1].at, backoff - 50ms);
  EXPECT_GE(all[4].at - all[3].at, 900ms) << "the stalled request ended by the 1 s timeout";
  EXPECT_EQ(persisted->lastBackoffTimestamp(), 0);
  EXPECT_EQ(persisted->lastFailedUploadTimestamp(), 0);
  EXPECT_FALSE(uploader->isNetworkRequestPending());
}

// A batch the service took in but never answered must not be posted again behind the
// uploader's back: each attempt is one request, also on a connection kept from before.
TEST_F(UploadReliabilityTest, APostWhoseConnectionDiesIsSentOnlyOnce) {
  ASSERT_TRUE(service->setRules(R"([{"path": "/a", "first": 2, "count": 1, "drop": true}])"));
  auto post = [&](const std::string& eventName) {
    auto bundle = TLWPBMeasurementBundle::initWithMessageInfo();
    bundle->SetString(TLWPBMeasurementBundle::kAppId, kAppID);
    auto event = TLWPBEvent::initWithMessageInfo();
    event->SetString(TLWPBEvent::kName, eventName);
    bundle->AddRepeatedMessage(TLWPBMeasurementBundle::kEvents, *event);
    auto batch = TLWPBMeasurementBatch::initWithMessageInfo();
    batch->AddRepeatedMessage(TLWPBMeasurementBatch::kBundles, *bundle);
    auto body = batch->protoBuffer(nullptr).value_or(platform::Value::Data{});
    auto done = std::make_shared<std::promise<std::pair<long, std::optional<platform::VXLNetworkError>>>>();
    network->postURL(service->baseURL() + "/a", body, nullptr, false,
                     [done](const platform::VXLHTTPResponse& response, const platform::Value::Data&,
                            const std::optional<platform::VXLNetworkError>& error) {
                       done->set_value({response.statusCode, error});
                     });
    auto future = done->get_future();
    EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
    return future.get();
  };
  // Warm up connections with a configuration fetch and an answered upload, then the drop.
  std::promise<void> fetched;
  network->getURL(service->baseURL() + "/config/app/none", {}, nullptr, false,
                  [&](const platform::VXLHTTPResponse&, const platform::Value::Data&,
                      const std::optional<platform::VXLNetworkError>&) { fetched.set_value(); });
  ASSERT_EQ(fetched.get_future().wait_for(30s), std::future_status::ready);
  EXPECT_EQ(post("first").first, 204);
  auto [status, error] = post("second");
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, platform::VXLNetworkErrorCode::ConnectionDropped);
  EXPECT_EQ(post("third").first, 204);
  std::vector<std::string> actions;
  for (const auto& request : service->requests())
    if (request.path == "/a") actions.push_back(request.status == 204 ? "204" : request.action);
  EXPECT_EQ(actions, (std::vector<std::string>{"204", "drop", "204"}));
}

TEST_F(UploadReliabilityTest, TwoAppIDsGoOutInTwoBatches) {
  queueBundle(kAppID, {"mine_1"});
  queueBundle("1:2:ios:other", {"other_1"});
  queueBundle("1:2:ios:other", {"other_2"});
  plan();
  ASSERT_TRUE(waitFor([&] { return acceptedEvents().size() == 3 && queueIsEmpty(); }));
  auto all = received();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].events, std::vector<std::string>{"mine_1"});
  EXPECT_EQ(all[1].events, (std::vector<std::string>{"other_1", "other_2"}));
}

TEST_F(UploadReliabilityTest, ARejectedConfigurationIsFetchedAgainAndA304KeepsTheStoredOne) {
  auto writeConfig = [&](const std::string& appID, int version) {
    std::ofstream out(root / "config" / (std::string(kAppID) + ".json"));
    out << R"({"version": )" << version << R"(, "app_id": ")" << appID
        << R"(", "settings": [{"name": "measurement.upload.interval", "value": "60000"}]})";
  };
  auto configRequests = [&] {
    std::vector<int> statuses;
    for (const auto& r : service->requests())
      if (r.path.starts_with("/config/app/")) statuses.push_back(r.status);
    return statuses;
  };
  auto fetchNow = [&] { onWorker([&] { fetcher->fetchRemoteConfig(); }); };
  auto settle = [&](std::size_t requests) {
    const bool done =
        waitFor([&] { return configRequests().size() == requests && !uploader->isNetworkRequestPending(); });
    // The pending flag drops before the completion has finished its bookkeeping on the worker.
    onWorker([] {});
    return done;
  };

  // Another app's configuration: refused, nothing cached, fetched again after the retry
  // interval.
  writeConfig("1:9:ios:someone-else", 1);
  fetchNow();
  ASSERT_TRUE(settle(1));
  EXPECT_EQ(host->applied, 0);
  EXPECT_FALSE(persisted->configServerLastModifiedString());
  double refusedAt = 0;
  onWorker([&] { refusedAt = uploader->configurationRefusedTimestamp(); });
  EXPECT_GT(refusedAt, 0);

  // Fetched again in full (no If-Modified-Since), now the right one.
  writeConfig(kAppID, 2);
  fetchNow();
  ASSERT_TRUE(settle(2));
  EXPECT_EQ(configRequests(), (std::vector<int>{200, 200}));
  EXPECT_EQ(host->applied, 1);
  EXPECT_EQ(host->appliedVersion, 2);
  ASSERT_TRUE(persisted->configServerLastModifiedString());

  // Unchanged on the server: 304, nothing applied, the stored configuration stays.
  fetchNow();
  ASSERT_TRUE(settle(3));
  EXPECT_EQ(configRequests().back(), 304);
  EXPECT_EQ(host->applied, 1);
  EXPECT_EQ(host->appliedVersion, 2);
  // The 304 made the stored configuration fresh again.
  std::optional<double> fetchedAt;
  onWorker([&] { fetchedAt = database->lastRemoteConfigUpdateTimestamp(nullptr); });
  ASSERT_TRUE(fetchedAt);
  EXPECT_NEAR(*fetchedAt, env->clock()->now(), 5);
}


// The same upload path to the service speaking https, with a CA made for the run that the
// client is told to trust; the service presents a certificate it signed, or one it did not.
class UploadOverTLSTest : public UploadReliabilityTest {
 protected:
  explicit UploadOverTLSTest(bool signedByTrustedCA) : signedByTrustedCA_(signedByTrustedCA) {}
  void configureService(measurement_service::ServiceOptions& options) override {
    auto certificate = tw_test_support::makeServerCertificate(signedByTrustedCA_ ? &ca_ : nullptr);
    std::tie(options.tlsCertificateFile, options.tlsPrivateKeyFile) = certificate.writeTo(root, "service");
  }
  platform::VXLNetwork::Options networkOptions() override {
    platform::VXLNetwork::Options options;
    options.trustedCertificatesPEM = ca_.certificatePEM;
    return options;
  }
  std::vector<std::string> queuedEvents() {
    std::vector<std::string> names;
    onWorker([&] {
      auto bundles = database->queryBundlesWithCountLimit(100, 1 << 20, nullptr);
      ASSERT_TRUE(bundles);
      for (const auto& queued : *bundles) {
        for (const auto& event : queued.first->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents))
          names.push_back(event->GetString(TLWPBEvent::kName).value_or(""));
      }
    });
    return names;
  }

  const tw_test_support::TestCertificate ca_ = tw_test_support::makeTestCA();
  const bool signedByTrustedCA_;
};

class UploadToTrustedServiceTest : public UploadOverTLSTest {
 protected:
  UploadToTrustedServiceTest() : UploadOverTLSTest(true) {}
};
class UploadToUntrustedServiceTest : public UploadOverTLSTest {
 protected:
  UploadToUntrustedServiceTest() : UploadOverTLSTest(false) {}
};

TEST_F(UploadToTrustedServiceTest, TheBatchIsAcceptedOverHTTPS) {
  ASSERT_EQ(service->baseURL().rfind("https://", 0), 0u);
  queueBundle(kAppID, {"secure_a", "secure_b"});
  plan();
  ASSERT_TRUE(waitFor([&] { return acceptedEvents().size() == 2 && queueIsEmpty(); }));
  EXPECT_EQ(acceptedEvents(), (std::vector<std::string>{"secure_a", "secure_b"}));
  EXPECT_EQ(persisted->lastFailedUploadTimestamp(), 0);
}

TEST_F(UploadToUntrustedServiceTest, NothingIsSentNorDeletedAndTheEventsStayQueued) {
  queueBundle(kAppID, {"kept_a", "kept_b"});
  queueBundle(kAppID, {"kept_c"});
  plan();
  ASSERT_TRUE(waitFor([&] { return persisted->lastFailedUploadTimestamp() > 0; }));
  std::this_thread::sleep_for(300ms);  // a few retry intervals
  EXPECT_EQ(service->requestCount(), 0u) << "the untrusted peer must not get a request";
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(persisted->lastSuccessfulUploadTimestamp(), 0);
  EXPECT_EQ(queuedEvents(), (std::vector<std::string>{"kept_a", "kept_b", "kept_c"}));
}

}  // namespace
