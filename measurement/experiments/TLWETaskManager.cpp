#include "measurement/experiments/TLWETaskManager.h"

#include <cmath>

#include "measurement/scheduler/TLWAlarm.h"
#include "measurement/experiments/TLWEExperimentRequestBuilder.h"
#include "measurement/experiments/TLWPBExperimentMessages.h"
#include "measurement/monitor/TLWMonitor.h"
#include "platform/network/VXLNetwork.h"

namespace {

constexpr double kFetchInterval = 14400;
constexpr double kInitialFetchDelay = 10;
constexpr double kRetryBase = 1800;
constexpr int kRetrySteps = 6;
constexpr double kBackoff = 43200;

std::string hostOf(const std::string& url) {
  auto start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  auto end = url.find_first_of(":/", start);
  return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

std::shared_ptr<TLWETaskManager> TLWETaskManager::create(Dependencies dependencies) {
  if (!dependencies.requestBuilder) return nullptr;
  return std::make_shared<TLWETaskManager>(Private{}, std::move(dependencies));
}

TLWETaskManager::TLWETaskManager(Private, Dependencies dependencies)
    : deps_(std::move(dependencies)),
      queue_(platform::DispatchQueue::create(kTLWExperimentWorkerQueueLabel, platform::QueuePriority::Background)),
      initTimestamp_((deps_.env ? deps_.env : platform::Environment::current())->clock()->now()) {
  if (!deps_.env) deps_.env = platform::Environment::current();
  if (!deps_.monitor) deps_.monitor = TLWMonitor::sharedInstance();
  if (!deps_.network) deps_.network = deps_.env->makeNetworkClient(hostOf(deps_.serviceBaseURL));
  alarm_ = TLWAlarm::initWithDispatchQueue(queue_, kTLWExperimentAlarmName, deps_.env->clock());
  suite_ = deps_.env->preferences()->suite(kTLWExperimentSuiteName);
}

TLWETaskManager::~TLWETaskManager() { alarm_->cancel(); }

void TLWETaskManager::setDelegate(std::weak_ptr<TLWETaskManagerDelegate> delegate) { delegate_ = std::move(delegate); }

double TLWETaskManager::now() const { return deps_.env->clock()->now(); }

double TLWETaskManager::stored(const char* key) const { return suite_->objectForKey(key).doubleValue().value_or(0); }

void TLWETaskManager::store(const char* key, std::optional<double> value) {
  if (value) {
    suite_->setObject(key, platform::Value(*value));
  } else {
    suite_->removeObject(key);
  }
  (void)suite_->synchronize();
}

void TLWETaskManager::log(std::int64_t level, std::int64_t code, std::string_view message,
                          const platform::Value& context1, const platform::Value& context2) const {
  if (!context2.isNull()) {
    deps_.monitor->logWithLevel(level, code, message, context1, context2);
  } else if (!context1.isNull()) {
    deps_.monitor->logWithLevel(level, code, message, context1);
  } else {
    deps_.monitor->logWithLevel(level, code, message);
  }
}

bool TLWETaskManager::runSync(const std::function<void()>& block) { return queue_->sync(block); }

// ---------------------------------------------------------------------------
// Start

void TLWETaskManager::startTaskManager() {
  std::weak_ptr<TLWETaskManager> weak = weak_from_this();
  queue_->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    TLWError error;
    if (!self->database_) {
      self->database_ = TLWEDatabase::initWithPath(self->deps_.databasePath, self->deps_.env, self->deps_.monitor, &error);
      if (!self->database_) {
        self->log(1, 810000, "Failed to open database (%@)", platform::Value(error.description()));
      }
    }
    bool started = false;
    std::vector<TLWESnapshot> activated, pending, launched;
    if (auto* db = self->database_.get()) {
      started = db->performTransaction(&error, [&] {
        if (!db->deleteStaleActivatedSnapshots(self->now(), &error)) {
          self->log(1, 820006, "Cannot delete stale activated snapshots. Error", error.asValue());
          return false;
        }
        if (!db->activatePendingSnapshotsAutomatically(&error)) {
          self->log(1, 820007, "Cannot activate pending snapshots automatically. Error", error.asValue());
          return false;
        }
        return true;
      });
      if (started) {
        auto a = db->fetchAllActivatedSnapshots(&error);
        auto p = db->fetchAllPendingSnapshots(&error);
        auto l = db->fetchAllLaunchedSnapshots(&error);
        started = a && p && l;
        if (started) {
          activated = std::move(*a);
          pending = std::move(*p);
          launched = std::move(*l);
        }
      }
    }
    if (started) {
      self->log(8, 820009, "Successfully start the task manager");
      if (auto delegate = self->delegate_.lock()) delegate->taskManagerDidStart(activated, pending, launched);
    } else {
      self->log(2, 820008, "Failed to start the task manager");
    }
    self->scheduleFetchingExperimentsOnWorkerQueue();
  });
}

// ---------------------------------------------------------------------------
// Scheduling

double TLWETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure) {
  const double current = now();
  const double base = current - std::fabs(lastSuccess - current);
  const double t = base + kFetchInterval;
  if (!hasMadeInitialFetch_) {
    hasMadeInitialFetch_ = true;
    return std::max(t, current + kInitialFetchDelay);
  }
  if (lastFailure <= 0) return t;
  double next = base == 0 ? initTimestamp_ : t;
  for (int k = 0; k < kRetrySteps; ++k) {
    next += kRetryBase * std::ldexp(1.0, k);
    if (next > lastFailure) return next;
  }
  return 0;
}

void TLWETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
  double t = fetchTimeFromLastSuccessfulTimestamp(stored(kTLWExperimentFetchSuccessTimestampKey),
                                                  stored(kTLWExperimentFetchFailureTimestampKey));
  if (t == 0) {
    store(kTLWExperimentFetchSuccessTimestampKey, std::nullopt);
    log(2, 820024, "Network attempted too many times. Will not schedule new network.");
    return;
  }
  if (auto scheduled = alarm_->scheduledTimestamp(); scheduled && *scheduled <= t) {
    log(8, 820017, "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
        platform::Value(*scheduled - now()));
    return;
  }
  const double backoff = stored(kTLWExperimentFetchBackoffTimestampKey);
  if (backoff > 0 && now() - backoff < kBackoff) t = std::max(t, backoff + kBackoff);
  double delay = t - now();
  if (delay <= 2.220446049250313e-16) delay = 0.001;
  std::weak_ptr<TLWETaskManager> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    // Asked when the alarm fires, not when it is armed: the library registers its client
    // after the manager starts, and the first fetch must not be postponed for that.
    auto delegate = self->delegate_.lock();
    if (!delegate || delegate->taskManagerShouldFetchExperiments()) {
      self->fetchExperiments();
    } else {
      self->postponeFetchExperiments();
    }
  });
}

void TLWETaskManager::postponeFetchExperiments() {
  store(kTLWExperimentFetchSuccessTimestampKey, now());
  store(kTLWExperimentFetchFailureTimestampKey, std::nullopt);
  store(kTLWExperimentFetchBackoffTimestampKey, std::nullopt);
  std::weak_ptr<TLWETaskManager> weak = weak_from_this();
  queue_->async([weak] {
    if (auto self = weak.lock()) self->scheduleFetchingExperimentsOnWorkerQueue();
  });
}

// ---------------------------------------------------------------------------
// Fetch

void TLWETaskManager::fetchExperiments() {
  auto request = deps_.requestBuilder->request();
  TLWError error;
  auto bytes = request->protoBuffer(&error);
  if (!bytes) {
    log(2, 820025, "Cannot serialize experiment request. Error", error.asValue());
    return;
  }
  log(8, 820001, "Fetching new experiments. Request", platform::Value(request->description()));
  if (!deps_.network) {
    handleFetchingExperimentsResponse(0, std::nullopt, std::string("no network client"));
    return;
  }
  std::weak_ptr<TLWETaskManager> weak = weak_from_this();
  deps_.network->postURL(
      fetchURL(), *bytes, queue_, false,
      [weak](const platform::VXLHTTPResponse& response, const platform::Value::Data& data,
             const std::optional<platform::VXLNetworkError>& networkError) {
        auto self = weak.lock();
        if (!self) return;
        std::optional<platform::Value::Data> inflated;
        std::optional<std::string> failure;
        if (networkError) failure = networkError->description;
        if (!networkError && !data.empty()) {
          std::string reason;
          auto out = TLWEInflateExperimentAnswer(data, &reason);
          if (out) {
            inflated.emplace(out->begin(), out->end());
          } else {
            self->log(2, 820023, "Cannot inflate downloaded experiment data. Error", platform::Value(reason));
            failure = "experiment data does not inflate: " + reason;
          }
        }
        self->handleFetchingExperimentsResponse(response.statusCode, inflated, failure);
      });
}

void TLWETaskManager::recordFailure(long statusCode) {
  store(kTLWExperimentFetchFailureTimestampKey, now());
  if (statusCode == 503 || statusCode == 429) store(kTLWExperimentFetchBackoffTimestampKey, now());
}

void TLWETaskManager::handleFetchingExperimentsResponse(long statusCode,
                                                        const std::optional<platform::Value::Data>& data,
                                                        const std::optional<std::string>& networkError) {
  std::optional<std::vector<TLWESnapshot>> snapshots;
  std::map<std::string, TLWError> errors;
  if ((statusCode == 200 || statusCode == 204) && !networkError) {
    // An answer that does not decode is a failed fetch: nothing of it is kept.
    TLWError decodeError;
    auto answer = TLWEDecodeExperimentAnswer(
        data ? std::span<const std::uint8_t>(*data) : std::span<const std::uint8_t>(), &decodeError);
    if (!answer) {
      log(1, 820026, "Cannot decode experiment response. Error", decodeError.asValue());
    } else {
      log(8, 820003, "Successful fetch. Got network response. Code, data", platform::Value(std::int64_t{statusCode}),
          platform::Value(answer->response->description()));
      for (std::size_t i = 0; i < answer->droppedSnapshots; ++i) log(2, 820016, "Cannot create a snapshot from the proto");
      const double fetched = now();
      for (auto& snapshot : answer->snapshots) snapshot.timestamp = fetched;
      snapshots = std::move(answer->snapshots);
      errors = std::move(answer->errors);
    }
  } else {
    log(1, 820002, "Network fetch failed. Will retry later. Code, error", platform::Value(std::int64_t{statusCode}),
        platform::Value(networkError.value_or("")));
  }
  if (!snapshots) {
    recordFailure(statusCode);
  } else {
    store(kTLWExperimentFetchSuccessTimestampKey, now());
    store(kTLWExperimentFetchFailureTimestampKey, std::nullopt);
    store(kTLWExperimentFetchBackoffTimestampKey, std::nullopt);
    TLWError error;
    if (!snapshots->empty() && database_ && !database_->upsertPendingExperimentSnapshots(*snapshots, &error)) {
      log(1, 820022, "Cannot upsert pending snapshots. Error, snapshots", error.asValue(),
          platform::Value(std::int64_t(snapshots->size())));
    }
    if (auto delegate = delegate_.lock()) delegate->taskManagerDidFinishFetching(*snapshots, errors);
  }
  scheduleFetchingExperimentsOnWorkerQueue();
}

// ---------------------------------------------------------------------------
// Persistence for the manager

bool TLWETaskManager::activatePendingSnapshot(const TLWESnapshot& snapshot, double timestamp) {
  bool ok = false;
  if (!runSync([&] {
        TLWError error;
        if (!database_) return;
        ok = database_->activateSnapshot(snapshot, timestamp, &error);
        if (!ok) {
          log(1, 820014, "Cannot activate snapshot for SDK Name. Error", platform::Value(snapshot.SDKName),
              error.asValue());
        }
      })) {
    return false;
  }
  return ok;
}

bool TLWETaskManager::upsertPendingSnapshotsOnWorkerQueue(const std::vector<TLWESnapshot>& snapshots) {
  if (snapshots.empty()) {
    log(2, 820020, "Cannot upsert empty pending snapshot list");
    return false;
  }
  TLWError error;
  if (!database_) return false;
  if (!database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
    log(1, 820021, "Cannot upsert pending snapshots into the database. Error", error.asValue());
    return false;
  }
  return true;
}

bool TLWETaskManager::upsertPendingSnapshots(const std::vector<TLWESnapshot>& snapshots) {
  bool ok = false;
  return runSync([&] { ok = upsertPendingSnapshotsOnWorkerQueue(snapshots); }) && ok;
}

void TLWETaskManager::resetToDefaultsForSDKName(const std::string& sdkName) {
  if (sdkName.empty()) {
    log(1, 820018, "Cannot reset to defaults for an empty SDK name");
    return;
  }
  (void)runSync([&] {
    TLWError error;
    if (database_ && !database_->deleteActivatedExperimentsOfSDKName(sdkName, &error)) {
      log(1, 820019, "Cannot reset to defaults in the database. SDK Name, error", platform::Value(sdkName),
          error.asValue());
    }
  });
}

void TLWETaskManager::reset() {
  std::weak_ptr<TLWETaskManager> weak = weak_from_this();
  queue_->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    TLWError error;
    if (self->database_ && !self->database_->reset(&error)) {
      self->log(1, 820010, "Cannot reset the experiments database. Error", error.asValue());
    }
    self->store(kTLWExperimentFetchSuccessTimestampKey, std::nullopt);
    self->store(kTLWExperimentFetchFailureTimestampKey, std::nullopt);
    self->store(kTLWExperimentFetchBackoffTimestampKey, std::nullopt);
    self->scheduleFetchingExperimentsOnWorkerQueue();
  });
}
