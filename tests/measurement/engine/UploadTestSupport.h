#pragma once
// A real database and persisted configuration in a test sandbox, the real scheduler and
// alarm, and a transport whose requests the test answers by hand: what the uploader and
// configuration-fetch tests share.

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/scheduler/TLWAlarm.h"
#include "measurement/engine/TLWConfigFetcher.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/engine/TLWUploader.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/testing/TestEnvironment.h"

namespace upload_test {

struct SentRequest {
  std::string method;
  std::string url;
  platform::Value::Data payload;
  platform::VXLHTTPHeaders headers;
  std::shared_ptr<platform::DispatchQueue> queue;
  platform::VXLNetworkCompletionHandler handler;
};

class ManualTransport : public TLWNetworkTransport {
 public:
  bool isNetworkConnected() override { return connected; }
  // As the real client: a request is in progress until its handler has returned.
  bool hasUploadInProgress() override {
    std::lock_guard lock(mutex);
    return !pending.empty() || answering > 0;
  }
  void setTimeoutInterval(double seconds) override { timeout = seconds; }
  void setReachabilityDelegate(std::weak_ptr<platform::VXLReachabilityDelegate> delegate) override {
    waitingForReachability = !delegate.expired();
  }
  std::string postURL(const std::string& url, const platform::Value::Data& payload,
                      std::shared_ptr<platform::DispatchQueue> queue, bool,
                      platform::VXLNetworkCompletionHandler handler) override {
    return add({"POST", url, payload, {}, std::move(queue), std::move(handler)});
  }
  std::string getURL(const std::string& url, const platform::VXLHTTPHeaders& headers,
                     std::shared_ptr<platform::DispatchQueue> queue, bool,
                     platform::VXLNetworkCompletionHandler handler) override {
    return add({"GET", url, {}, headers, std::move(queue), std::move(handler)});
  }

  // Answers the oldest pending request on its queue.
  void respond(long status, platform::Value::Data body = {}, platform::VXLHTTPHeaders headers = {}) {
    SentRequest request;
    {
      std::lock_guard lock(mutex);
      ASSERT_FALSE(pending.empty());
      request = std::move(pending.front());
      pending.pop_front();
    }
    platform::VXLHTTPResponse response;
    response.statusCode = status;
    response.headers = std::move(headers);
    response.expectedContentLength = static_cast<std::int64_t>(body.size());
    std::optional<platform::VXLNetworkError> error;
    if (status == 0) error = platform::VXLNetworkError{};
    auto handler = request.handler;
    {
      std::lock_guard lock(mutex);
      ++answering;
    }
    request.queue->async([this, handler, response, body, error] {
      handler(response, body, error);
      std::lock_guard lock(mutex);
      --answering;
    });
  }
  std::vector<SentRequest> sent() {
    std::lock_guard lock(mutex);
    return sentLog;
  }
  std::size_t pendingCount() {
    std::lock_guard lock(mutex);
    return pending.size();
  }

  bool connected = true;
  bool failSession = false;
  double timeout = 0;
  bool waitingForReachability = false;

 private:
  std::string add(SentRequest request) {
    std::lock_guard lock(mutex);
    sentLog.push_back(request);
    if (failSession) return "";
    pending.push_back(std::move(request));
    return "session-" + std::to_string(sentLog.size());
  }
  std::mutex mutex;
  int answering = 0;
  std::deque<SentRequest> pending;
  std::vector<SentRequest> sentLog;
};

class FakeHost : public TLWUploaderHost, public TLWConfigFetcherHost {
 public:
  TLWUploadSettings uploadSettings() override { return settings; }
  bool bundleRawEvents() override {
    ++bundleCalls;
    return false;
  }
  TLWBundleIdentifierInputs bundleIdentifierInputs() override { return identifiers; }
  bool activateNewSnapshot() override { return false; }
  void fetchRemoteConfig() override {
    ++fetchCalls;
    if (fetcher) fetcher->fetchRemoteConfig();
  }
  bool isBackgroundTaskActive() override { return false; }
  void endBackgroundTask() override { ++endedBackgroundTasks; }

  std::optional<std::string> remoteConfigURL() override { return configURL; }
  std::string appIDFromZEL() override { return appID; }
  bool updateAudiences(const std::vector<std::shared_ptr<TLWPBAudience>>& audiences) override {
    audiencesReceived = audiences.size();
    return audiencesAccepted;
  }
  bool updateMeasurementConfig(const std::shared_ptr<TLWPBMeasurementConfig>& config) override {
    appliedConfig = config;
    return configAccepted;
  }

  TLWUploadSettings settings;
  TLWBundleIdentifierInputs identifiers;
  int bundleCalls = 0;
  int fetchCalls = 0;
  int endedBackgroundTasks = 0;
  std::shared_ptr<TLWConfigFetcher> fetcher;
  std::optional<std::string> configURL = "http://127.0.0.1:9/config/app/1:1:ios:abc?platform=ios";
  std::string appID = "1:1:ios:abc";
  std::size_t audiencesReceived = 0;
  bool audiencesAccepted = true;
  bool configAccepted = true;
  std::shared_ptr<TLWPBMeasurementConfig> appliedConfig;
};

// A bundle with one event, ready to queue.
inline std::shared_ptr<TLWPBMeasurementBundle> makeBundle(const std::string& appID, const std::string& eventName,
                                                          double endSeconds) {
  auto event = TLWPBEvent::initWithMessageInfo();
  event->SetString(TLWPBEvent::kName, eventName);
  event->SetInt64(TLWPBEvent::kTimestamp, static_cast<std::int64_t>(endSeconds * 1000));
  auto bundle = TLWPBMeasurementBundle::initWithMessageInfo();
  bundle->SetString(TLWPBMeasurementBundle::kAppId, appID);
  bundle->SetString(TLWPBMeasurementBundle::kPlatform, "ios");
  bundle->AddRepeatedMessage(TLWPBMeasurementBundle::kEvents, *event);
  bundle->SetInt64(TLWPBMeasurementBundle::kStartTimestamp, static_cast<std::int64_t>(endSeconds * 1000));
  bundle->SetInt64(TLWPBMeasurementBundle::kEndTimestamp, static_cast<std::int64_t>(endSeconds * 1000));
  return bundle;
}

// Event names of a posted batch, bundle by bundle.
inline std::vector<std::string> eventNamesOf(const platform::Value::Data& payload) {
  std::vector<std::string> names;
  auto batch = TLWPBMeasurementBatch::initWithBuffer(std::span<const std::uint8_t>(payload));
  if (!batch) return names;
  for (const auto& bundle : batch->GetRepeated<TLWPBMeasurementBundle>(TLWPBMeasurementBatch::kBundles))
    for (const auto& event : bundle->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents))
      names.push_back(event->GetString(TLWPBEvent::kName).value_or(""));
  return names;
}

class UploadFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    env = platform::testing::TestEnvironment::create();
    ASSERT_TRUE(env);
    persisted = TLWPersistedConfig::initWithSuiteName(std::string(kTLWPersistedConfigSuiteName), false, env);
    ASSERT_TRUE(persisted);
    TLWError error;
    database = std::shared_ptr<TLWDatabase>(
        TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, persisted, &error, env).release());
    ASSERT_TRUE(database) << error.description();
    scheduler = TLWScheduler::initWithWorkerQueueLabel("com.vorlix.twka.worker.test");
    alarm = TLWAlarm::initWithDispatchQueue(scheduler->workerQueue(), "Measurement timer", env->fakeClock());
    transport = std::make_shared<ManualTransport>();
    host = std::make_shared<FakeHost>();
    uploader = TLWUploader::create(database, persisted, scheduler, alarm, transport, host, "http://127.0.0.1:9/", env);
    ASSERT_TRUE(uploader);
  }
  void TearDown() override {
    if (alarm) alarm->cancel();
    if (scheduler) onWorker([] {});
  }

  // Runs `block` on the worker queue and waits for it.
  template <class F>
  void onWorker(F block) {
    ASSERT_TRUE(scheduler->dispatchSyncOnWorkerQueueBlockID("test", block));
  }
  double now() { return env->fakeClock()->now(); }
  void queueBundle(const std::string& appID, const std::string& eventName, double endSeconds) {
    onWorker([&] {
      TLWError error;
      ASSERT_TRUE(database->insertBundle(*makeBundle(appID, eventName, endSeconds), false, &error))
          << error.description();
    });
  }
  std::size_t queuedBundleCount() {
    std::size_t count = 0;
    onWorker([&] {
      auto bundles = database->queryBundlesWithCountLimit(1000, 1 << 30, nullptr);
      count = bundles ? bundles->size() : 0;
    });
    return count;
  }
  // Answers the pending request and waits until its completion ran, and what that
  // completion queued after itself.
  void respond(long status, platform::Value::Data body = {}, platform::VXLHTTPHeaders headers = {}) {
    transport->respond(status, std::move(body), std::move(headers));
    onWorker([] {});
    onWorker([] {});
  }

  std::shared_ptr<platform::testing::TestEnvironment> env;
  std::shared_ptr<TLWPersistedConfig> persisted;
  std::shared_ptr<TLWDatabase> database;
  std::shared_ptr<TLWScheduler> scheduler;
  std::shared_ptr<TLWAlarm> alarm;
  std::shared_ptr<ManualTransport> transport;
  std::shared_ptr<FakeHost> host;
  std::shared_ptr<TLWUploader> uploader;
};

}  // namespace upload_test
