#include "measurement/engine/TLWUploader.h"

#include <cmath>

#include "measurement/scheduler/TLWAlarm.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/engine/TLWServiceAnswers.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBWire.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kSuspensionSeconds = 3600;
constexpr double kDeliveredRetrySeconds = 5;

bool isZero(double value) { return std::fabs(value) < kEpsilon; }

std::string stringField(const TLWPBBundleBytes& bundle, std::int32_t index) {
  return bundle.GetString(index).value_or("");
}

}  // namespace

double TLWNextUploadingTime(const TLWUploadScheduleFacts& facts, const TLWUploadSettings& settings) {
  if (isZero(facts.latestDataTime)) return 0;
  const double interval = facts.realtime ? settings.uploadingRealTimeInterval : settings.uploadingInterval;
  // The newest data as seen from now, whichever side of now the clock put it.
  const double base = facts.now - std::fabs(facts.latestDataTime - facts.now);
  double next = std::fabs(facts.now - facts.lastSuccessfulUpload) < interval
                    ? facts.lastSuccessfulUpload + interval
                    : base + settings.uploadingInitialDelayInterval;
  if (facts.lastFailedUpload >= base) {
    // Retries with doubling spacing until one lies after the failure; none left: give up
    // until newer data moves the base.
    double spacing = settings.uploadingRetryInterval;
    for (std::int64_t k = 0; k < settings.uploadingRetryCount; ++k, spacing *= 2) {
      next += spacing;
      if (next > facts.lastFailedUpload) return next;
    }
    return 0;
  }
  if (facts.debugMode) return std::min(next, base + settings.uploadingDebugModeInterval);
  return next;
}

double TLWUploadTimeAfterBackoff(double plannedTime, double now, double lastBackoff, double backoffInterval) {
  if (lastBackoff != 0 && backoffInterval > now - lastBackoff) return std::max(plannedTime, lastBackoff + backoffInterval);
  return plannedTime;
}

std::vector<TLWQueuedBundle> TLWFilteredBundlesWithCompatibleAppID(const std::string& appID,
                                                                   const std::string& resettableDeviceID,
                                                                   const std::string& vendorDeviceID,
                                                                   std::vector<TLWQueuedBundle> bundles,
                                                                   TLWMonitor* monitor) {
  if (!resettableDeviceID.empty() && !vendorDeviceID.empty()) {
    if (monitor)
      monitor->logWithLevel(2, 23042, "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
    return {};
  }
  const bool byResettable = !resettableDeviceID.empty();
  const std::string& wanted = byResettable ? resettableDeviceID : vendorDeviceID;
  const std::int32_t deviceField =
      byResettable ? TLWPBMeasurementBundle::kResettableDeviceId : TLWPBMeasurementBundle::kVendorDeviceId;
  std::size_t kept = 0;
  for (const auto& item : bundles) {
    const std::string device = stringField(item.first, deviceField);
    const bool deviceMatches = device.empty() || wanted.empty() || device == wanted;
    if (!deviceMatches || stringField(item.first, TLWPBMeasurementBundle::kAppId) != appID) break;
    ++kept;
  }
  bundles.resize(kept);
  return bundles;
}

std::optional<TLWUploadRequest> TLWMakeUploadRequest(std::vector<TLWQueuedBundle> bundles, double now,
                                                     bool checksumEnabled, TLWError* error, TLWMonitor* monitor) {
  if (bundles.empty()) {
    TLWSetError(error, TLWError::errorWithCode(1, "No bundles to upload"));
    return std::nullopt;
  }
  const std::string appID = stringField(bundles.front().first, TLWPBMeasurementBundle::kAppId);
  std::string resettable, vendor;
  for (const auto& item : bundles) {
    resettable = stringField(item.first, TLWPBMeasurementBundle::kResettableDeviceId);
    vendor = stringField(item.first, TLWPBMeasurementBundle::kVendorDeviceId);
    if (!resettable.empty() || !vendor.empty()) break;
  }
  if (!resettable.empty()) vendor.clear();
  auto kept = TLWFilteredBundlesWithCompatibleAppID(appID, resettable, vendor, std::move(bundles), monitor);
  if (kept.empty()) {
    TLWSetError(error, TLWError::errorWithCode(1, "No compatible bundles to upload"));
    return std::nullopt;
  }

  TLWUploadRequest request;
  request.uploadTimestampMilliseconds = static_cast<std::int64_t>(std::trunc(now * 1000));
  std::size_t size = 0;
  for (const auto& item : kept) size += item.first.encodedSize() + 32;
  request.payload.reserve(size);
  // Each bundle is field 1 of the batch, length-delimited; nothing else is in a batch.
  constexpr std::uint8_t kBundlesKey = (1 << 3) | kTLWPBWireLength;
  for (auto& [bundle, rowID] : kept) {
    bundle.SetInt64(TLWPBMeasurementBundle::kUploadSdkVersion, kTLWLibraryNumericVersion);
    bundle.SetInt64(TLWPBMeasurementBundle::kUploadTimestamp, request.uploadTimestampMilliseconds);
    if (checksumEnabled) {
      auto checksum = bundle.checksum(error);
      if (!checksum) return std::nullopt;
      bundle.SetInt64(TLWPBMeasurementBundle::kBundleChecksum, *checksum);
    }
    request.payload.push_back(kBundlesKey);
    TLWPBPutVarint(request.payload, bundle.encodedSize());
    bundle.appendTo(request.payload);
    bundle = TLWPBBundleBytes();
    request.rowIDs.push_back(rowID);
  }
  return request;
}

// ---------------------------------------------------------------------------------------

std::shared_ptr<TLWVXLNetworkTransport> TLWVXLNetworkTransport::create(std::shared_ptr<platform::VXLNetwork> network,
                                                                       std::shared_ptr<TLWMonitor> monitor) {
  if (!monitor) monitor = TLWMonitor::sharedInstance();
  auto transport = std::make_shared<TLWVXLNetworkTransport>(network, monitor);
  if (network) {
    network->setLoggerDelegate(transport);
    network->setIsDebugModeEnabled(monitor->debugModeEnabled());
  }
  return transport;
}

TLWVXLNetworkTransport::TLWVXLNetworkTransport(std::shared_ptr<platform::VXLNetwork> network,
                                               std::shared_ptr<TLWMonitor> monitor)
    : network_(std::move(network)), monitor_(std::move(monitor)) {}

bool TLWVXLNetworkTransport::isNetworkConnected() { return network_ && network_->isNetworkConnected(); }
bool TLWVXLNetworkTransport::hasUploadInProgress() { return network_ && network_->hasUploadInProgress(); }
void TLWVXLNetworkTransport::setTimeoutInterval(double seconds) {
  if (network_) network_->setTimeoutInterval(seconds);
}
void TLWVXLNetworkTransport::setReachabilityDelegate(std::weak_ptr<platform::VXLReachabilityDelegate> delegate) {
  if (network_) network_->setReachabilityDelegate(std::move(delegate));
}

std::string TLWVXLNetworkTransport::postURL(const std::string& url, const platform::Value::Data& payload,
                                            std::shared_ptr<platform::DispatchQueue> queue,
                                            bool usingBackgroundSession,
                                            platform::VXLNetworkCompletionHandler handler) {
  if (!network_) return {};
  return network_->postURL(url, payload, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::string TLWVXLNetworkTransport::getURL(const std::string& url, const platform::VXLHTTPHeaders& headers,
                                           std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                                           platform::VXLNetworkCompletionHandler handler) {
  if (!network_) return {};
  return network_->getURL(url, headers, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::int64_t TLWVXLNetworkTransport::monitorLevelForNetworkLevel(platform::VXLLoggerLevel level) {
  switch (static_cast<int>(level)) {
    case 3: return 1;
    case 4: return 4;
    case 5: return 3;
    case 6: return 6;
    case 7: return 7;
    default: return 3;
  }
}

void TLWVXLNetworkTransport::VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode,
                                                     const std::string& message) {
  monitor_->logWithLevel(monitorLevelForNetworkLevel(level), messageCode, message, platform::Array{});
}

void TLWVXLNetworkTransport::VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode,
                                                     const std::string& message, const platform::Value& context) {
  monitor_->logWithLevel(monitorLevelForNetworkLevel(level), messageCode, message, platform::Array{context});
}

void TLWVXLNetworkTransport::VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode,
                                                     const std::string& message,
                                                     const std::vector<platform::Value>& contexts) {
  monitor_->logWithLevel(monitorLevelForNetworkLevel(level), messageCode, message,
                         platform::Array(contexts.begin(), contexts.end()));
}

// ---------------------------------------------------------------------------------------

std::shared_ptr<TLWUploader> TLWUploader::create(std::shared_ptr<TLWDatabase> database,
                                                 std::shared_ptr<TLWPersistedConfig> persistedConfig,
                                                 std::shared_ptr<TLWScheduler> scheduler,
                                                 std::shared_ptr<TLWAlarm> alarm,
                                                 std::shared_ptr<TLWNetworkTransport> transport,
                                                 std::weak_ptr<TLWUploaderHost> host, std::string serviceBaseURL,
                                                 std::shared_ptr<platform::Environment> env,
                                                 std::shared_ptr<TLWMonitor> monitor) {
  if (!database || !persistedConfig || !scheduler || !alarm || !transport) return nullptr;
  return std::make_shared<TLWUploader>(Private{}, std::move(database), std::move(persistedConfig),
                                       std::move(scheduler), std::move(alarm), std::move(transport), std::move(host),
                                       std::move(serviceBaseURL), std::move(env), std::move(monitor));
}

TLWUploader::TLWUploader(Private, std::shared_ptr<TLWDatabase> database,
                         std::shared_ptr<TLWPersistedConfig> persistedConfig, std::shared_ptr<TLWScheduler> scheduler,
                         std::shared_ptr<TLWAlarm> alarm, std::shared_ptr<TLWNetworkTransport> transport,
                         std::weak_ptr<TLWUploaderHost> host, std::string serviceBaseURL,
                         std::shared_ptr<platform::Environment> env, std::shared_ptr<TLWMonitor> monitor)
    : database_(std::move(database)),
      persistedConfig_(std::move(persistedConfig)),
      scheduler_(std::move(scheduler)),
      alarm_(std::move(alarm)),
      transport_(std::move(transport)),
      host_(std::move(host)),
      serviceBaseURL_(std::move(serviceBaseURL)),
      env_(env ? std::move(env) : platform::Environment::current()),
      monitor_(monitor ? std::move(monitor) : TLWMonitor::sharedInstance()) {
  while (!serviceBaseURL_.empty() && serviceBaseURL_.back() == '/') serviceBaseURL_.pop_back();
}

TLWUploader::~TLWUploader() = default;

double TLWUploader::now() { return env_->clock()->now(); }

double TLWUploader::secondsSinceBoot() {
  auto clock = env_->clock();
  const double boot = clock->bootTime();
  if (!(boot > 0) || !std::isfinite(boot)) return -1;
  return clock->now() - boot;
}

TLWUploadSettings TLWUploader::currentSettings() {
  if (auto host = host_.lock()) return host->uploadSettings();
  return {};
}

std::shared_ptr<platform::DispatchQueue> TLWUploader::workerQueue() const { return scheduler_->workerQueue(); }

void TLWUploader::endBackgroundTask() {
  if (auto host = host_.lock()) host->endBackgroundTask();
}

void TLWUploader::stopPlanning(bool waitForReachability) {
  if (waitForReachability) {
    transport_->setReachabilityDelegate(weak_from_this());
  } else {
    transport_->setReachabilityDelegate({});
  }
  alarm_->cancel();
  endBackgroundTask();
}

void TLWUploader::updateSchedule() {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
  if (suspendedUploadTimestamp_ != 0) {
    const double elapsed = std::fabs(secondsSinceBoot() - suspendedUploadTimestamp_);
    if (elapsed < kSuspensionSeconds) {
      monitor_->logWithLevel(3, 23023, "Upload has been suspended. Will update scheduling later. Seconds",
                             kSuspensionSeconds - elapsed);
      stopPlanning(false);
      return;
    }
    suspendedUploadTimestamp_ = 0;
  }
  if (!hasDataToUpload()) {
    if (auto host = host_.lock()) (void)host->activateNewSnapshot();
    monitor_->logWithLevel(8, 23024, "No data to upload. Upload task will not be scheduled");
    stopPlanning(false);
    return;
  }
  double planned = nextUploadingTime();
  if (isZero(planned)) {
    monitor_->logWithLevel(8, 23025, "No next uploading time. Upload task will not be scheduled");
    stopPlanning(false);
    return;
  }
  if (!transport_->isNetworkConnected()) {
    monitor_->logWithLevel(8, 23026, "No network. Upload task will not be scheduled");
    stopPlanning(true);
    return;
  }
  transport_->setReachabilityDelegate({});
  const double current = now();
  planned = TLWUploadTimeAfterBackoff(planned, current, persistedConfig_->lastBackoffTimestamp(),
                                      currentSettings().uploadingBackoffInterval);
  if (auto scheduled = alarm_->scheduledTimestamp(); scheduled && *scheduled <= planned) {
    monitor_->logWithLevel(8, 23027, "Do not schedule an upload task. Task already exists. Will be executed in seconds",
                           *scheduled - current);
    return;
  }
  double delay = planned - current;
  if (isZero(delay)) delay = 0.001;
  std::weak_ptr<TLWUploader> weakSelf = weak_from_this();
  alarm_->runAfterDelay(delay, [weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:1587", [weakSelf] {
      if (auto inner = weakSelf.lock()) inner->uploadData();
    });
  });
  monitor_->logWithLevel(8, 23028, "Upload task scheduled to be executed in approx. (s)", delay);
}

double TLWUploader::nextUploadingTime() {
  TLWUploadScheduleFacts facts;
  facts.now = now();
  facts.lastSuccessfulUpload = persistedConfig_->lastSuccessfulUploadTimestamp();
  facts.lastFailedUpload = persistedConfig_->lastFailedUploadTimestamp();
  TLWError error;
  double latestBundle = 0, latestRawEvent = 0;
  if (auto value = database_->queryLatestBundleTime(&error)) {
    latestBundle = *value;
  } else {
    monitor_->logWithLevel(5, 23030, "Failed to query latest bundle time. Error", error.asValue());
  }
  error = TLWError();
  if (auto value = database_->queryLatestRawEventTime(&error)) {
    latestRawEvent = *value;
  } else {
    monitor_->logWithLevel(5, 23029, "Failed to query latest raw event time. Error", error.asValue());
  }
  facts.latestDataTime = std::max(latestBundle, latestRawEvent);
  if (isZero(facts.latestDataTime)) return 0;
  facts.debugMode = monitor_->debugModeEnabled();
  if (facts.debugMode) {
    facts.realtime = true;
  } else {
    error = TLWError();
    auto bundles = database_->containsRealtimeBundlesWithError(&error);
    if (!bundles) monitor_->logWithLevel(5, 23031, "Failed to query for real-time bundle indicator. Error", error.asValue());
    facts.realtime = bundles.value_or(false);
    if (!facts.realtime) {
      error = TLWError();
      auto rawEvents = database_->containsRealtimeRawEventsWithError(&error);
      if (!rawEvents)
        monitor_->logWithLevel(5, 23032, "Failed to query for real-time raw event indicator. Error", error.asValue());
      facts.realtime = rawEvents.value_or(false);
    }
  }
  return TLWNextUploadingTime(facts, currentSettings());
}

void TLWUploader::uploadDataOrRegisterAlarm() {
  if (transport_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}

bool TLWUploader::hasDataToUpload() {
  TLWError error;
  auto queueEmpty = database_->isQueuedBundleTableEmpty(&error);
  if (!queueEmpty) {
    monitor_->logWithLevel(1, 23117, "Failed to check if queue table is empty. Error", error.asValue());
    return false;
  }
  if (!*queueEmpty) return true;
  error = TLWError();
  auto rawEmpty = database_->isRawEventsTableEmpty(&error);
  if (!rawEmpty) {
    monitor_->logWithLevel(1, 23118, "Failed to check if raw events table is empty. Error", error.asValue());
    return false;
  }
  return !*rawEmpty;
}

bool TLWUploader::isNetworkReadyForRequest() {
  if (!isNetworkRequestPending_) return !transport_->hasUploadInProgress();
  if (!transport_->hasUploadInProgress())
    monitor_->logWithLevel(1, 23041, "Analytics is uploading but network is not uploading");
  return false;
}

bool TLWUploader::shouldUseBackgroundSession() {
  auto host = host_.lock();
  return host && currentSettings().isNetworkBackgroundSessionEnabled && host->isBackgroundTaskActive();
}

void TLWUploader::setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs) {
  if (bundleIDs.empty()) {
    monitor_->logWithLevel(2, 23046, "Bundle list is empty. Cancelling upload");
    return;
  }
  if (uploadingBundleIDs_) {
    monitor_->logWithLevel(2, 23047, "Set uploading progress before finishing the previous upload");
    return;
  }
  uploadingBundleIDs_ = bundleIDs;
}

void TLWUploader::incrementRetryCounter() {
  if (!uploadingBundleIDs_ || uploadingBundleIDs_->empty()) return;
  TLWError error;
  if (!database_->incrementRetryCounterForBundlesWithIDs(*uploadingBundleIDs_, &error))
    monitor_->logWithLevel(2, 23166, "Failed to update the bundles' retry counts. Error", error.asValue());
}

bool TLWUploader::removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs) {
  // Nothing in flight means nothing to remove; that is not a failed deletion.
  if (bundleIDs.empty()) return true;
  TLWError error;
  if (!database_->deleteBundlesWithRowIDs(bundleIDs, &error)) {
    monitor_->logWithLevel(1, 23122, "Failed to delete bundles from database. Error", error.asValue());
    return false;
  }
  return true;
}

void TLWUploader::setSuspendedUploadTimestamp(double seconds) { suspendedUploadTimestamp_ = seconds; }

bool TLWUploader::deleteDeliveredBundles() {
  if (!deliveredLoaded_) {
    // An earlier process exited before it could delete them: they are not sent again.
    deliveredLoaded_ = true;
    deliveredGeneration_ = database_->generation();
    deliveredBundleIDs_ = persistedConfig_->deliveredBundleIDs();
  }
  // After a data reset the IDs would name other rows.
  if (deliveredGeneration_ != database_->generation()) forgetDeliveredBundles();
  if (deliveredBundleIDs_.empty()) return true;
  if (removeBundlesFromDatabaseWithIDs(deliveredBundleIDs_)) {
    forgetDeliveredBundles();
    return true;
  }
  std::weak_ptr<TLWUploader> weakSelf = weak_from_this();
  alarm_->runAfterDelay(kDeliveredRetrySeconds, [weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:1587", [weakSelf] {
      if (auto inner = weakSelf.lock()) inner->uploadData();
    });
  });
  return false;
}

void TLWUploader::forgetDeliveredBundles() {
  const bool recorded = !deliveredBundleIDs_.empty() || deliveredRecorded_;
  deliveredBundleIDs_.clear();
  if (recorded) deliveredRecorded_ = !persistedConfig_->setDeliveredBundleIDs({});
}

void TLWUploader::uploadData() {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
  if (suspendedUploadTimestamp_ > 0) {
    updateSchedule();
    return;
  }
  monitor_->logWithLevel(8, 23033, "Starting data upload");
  if (!deleteDeliveredBundles()) return;
  if (!isNetworkReadyForRequest()) {
    monitor_->logWithLevel(8, 23034, "Network operation is pending. Ignoring upload request");
    return;
  }
  if (!transport_->isNetworkConnected()) {
    monitor_->logWithLevel(7, 23035, "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }
  auto host = host_.lock();
  if (!host) return;
  const TLWUploadSettings settings = host->uploadSettings();
  // An expired configuration waits for a fresh one before events are bundled, unless the
  // server's answer was refused: then the configuration in force is all there will be
  // for a while, and holding events back for it would keep them on the device for good.
  const bool refused = configurationRefusedTimestamp_ != 0;
  if (!settings.isExpired || refused) {
    for (std::int64_t i = 0; i < settings.maxBundlesCreatedPerIteration; ++i) {
      if (!host->bundleRawEvents()) break;
    }
  }
  TLWError error;
  auto bundles = database_->queryBundleBytesWithCountLimit(settings.uploadMaxBundlesLimit,
                                                       settings.uploadMaxSizeLimitBytes, &error);
  if (!bundles) {
    monitor_->logWithLevel(1, 23036, "Failed to query bundles. Error", error.asValue());
    host->endBackgroundTask();
    return;
  }
  if (bundles->empty()) {
    (void)host->activateNewSnapshot();
    monitor_->logWithLevel(8, 23037, "No data to upload");
    const bool fetchDue =
        !refused || std::fabs(now() - configurationRefusedTimestamp_) >= settings.uploadingRetryInterval;
    if (settings.isExpired && fetchDue) {
      host->fetchRemoteConfig();
    } else {
      host->endBackgroundTask();
    }
    return;
  }
  const TLWBundleIdentifierInputs identifiers = host->bundleIdentifierInputs();
  for (auto& item : *bundles) TLWApplyBundleIdentifiers(item.first, identifiers);
  const double current = now();
  const double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  if (lastSuccess != 0)
    monitor_->logWithLevel(8, 23038, "Uploading events. Elapsed time since last successful upload (s)",
                           std::fabs(current - lastSuccess));

  error = TLWError();
  auto request = TLWMakeUploadRequest(std::move(*bundles), current, settings.checksumEnabled, &error, monitor_.get());
  if (!request) {
    monitor_->logWithLevel(1, 23036, "Failed to query bundles. Error", error.asValue());
    host->endBackgroundTask();
    return;
  }
  // Decoded only for the log: an upload itself never holds its events as objects.
  if (monitor_->shouldProcess(7)) {
    auto batch = TLWPBMeasurementBatch::initWithBuffer(std::span<const std::uint8_t>(request->payload));
    monitor_->logWithLevel(7, 23039, "Measurement data sent to network. Timestamp (ms), data",
                           request->uploadTimestampMilliseconds,
                           batch ? platform::Value(std::static_pointer_cast<platform::ValueObject>(batch)) : platform::Value());
  }

  setUploadInProgressWithBundleIDs(request->rowIDs);
  persistedConfig_->setLastFailedUploadTimestamp(current);

  isNetworkRequestPending_ = true;
  transport_->setTimeoutInterval(settings.networkTimeout);
  // Set once the request is settled, by its handler or by the failed post below.
  auto settled = std::make_shared<bool>(false);
  std::weak_ptr<TLWUploader> weakSelf = weak_from_this();
  const std::string session = transport_->postURL(
      uploadURL(), request->payload, workerQueue(), shouldUseBackgroundSession(),
      [weakSelf, settled](const platform::VXLHTTPResponse& response, const platform::Value::Data&,
                          const std::optional<platform::VXLNetworkError>& networkError) {
        if (*settled) return;
        *settled = true;
        auto self = weakSelf.lock();
        if (!self) return;
        self->isNetworkRequestPending_ = false;
        self->networkUploadCompletionHandlerWithResponse(response, networkError);
      });
  if (session.empty() && !*settled) {
    // Without a session no completion is owed: release the request here, or every later
    // upload and fetch would be refused as pending. The attempt counts as failed (the
    // time was recorded above), so the retry schedule plans the next one.
    *settled = true;
    monitor_->logWithLevel(2, 23040, "Unable to create network session.");
    uploadingBundleIDs_.reset();
    isNetworkRequestPending_ = false;
    updateSchedule();
  }
}

void TLWUploader::networkUploadCompletionHandlerWithResponse(const platform::VXLHTTPResponse& response,
                                                             const std::optional<platform::VXLNetworkError>& error) {
  const long status = response.statusCode;
  const double current = now();
  const TLWUploadAnswer answer = TLWReadUploadAnswer(response);
  if (!answer.accepted) {
    persistedConfig_->setLastFailedUploadTimestamp(current);
    if (answer.backOff) persistedConfig_->setLastBackoffTimestamp(current);
    monitor_->logWithLevel(7, 23043, "Network upload failed. Will retry later. Code, error", status,
                           error ? error->asValue() : platform::Value());
    incrementRetryCounter();
    uploadingBundleIDs_.reset();
    updateSchedule();
    return;
  }
  monitor_->logWithLevel(7, 23044, "Successful upload. Got network response. Code, size", status,
                         response.expectedContentLength);
  persistedConfig_->setLastSuccessfulUploadTimestamp(current);
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);
  updateSchedule();
  const std::uint64_t failuresBefore = database_->transientFailureCount();
  const std::vector<std::int64_t> sent = uploadingBundleIDs_.value_or(std::vector<std::int64_t>{});
  if (removeBundlesFromDatabaseWithIDs(sent)) {
    setSuspendedUploadTimestamp(0);
  } else if (database_->transientFailureCount() != failuresBefore) {
    // Another process's lock or a full disk: the rows go before anything else is sent, by
    // this process or, if it exits first, by the next launch (kept outside the database).
    if (deliveredGeneration_ != database_->generation()) deliveredBundleIDs_.clear();
    deliveredGeneration_ = database_->generation();
    deliveredLoaded_ = true;
    deliveredBundleIDs_.insert(deliveredBundleIDs_.end(), sent.begin(), sent.end());
    if (!persistedConfig_->setDeliveredBundleIDs(deliveredBundleIDs_)) {
      monitor_->logWithLevel(1, 23245, "Cannot record the uploaded bundles that wait for deletion; if the app "
                                       "exits before they are deleted they are sent again. Bundles",
                             static_cast<long long>(deliveredBundleIDs_.size()));
    }
    monitor_->logWithLevel(4, 23244, "Cannot delete uploaded bundles now (database busy or full); uploads wait "
                                     "until they are deleted. Bundles",
                           static_cast<long long>(deliveredBundleIDs_.size()));
  } else {
    monitor_->logWithLevel(1, 23045, "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
                           kSuspensionSeconds);
    setSuspendedUploadTimestamp(secondsSinceBoot());
  }
  uploadingBundleIDs_.reset();
  if (transport_->isNetworkConnected() && hasDataToUpload()) {
    uploadDataAfterThisRequest();
  } else if (currentSettings().isExpired) {
    uploadDataAfterThisRequest();
  } else {
    updateSchedule();
  }
}

void TLWUploader::uploadDataAfterThisRequest() {
  // The network client counts a request as in progress until its completion handler has
  // returned; an upload started from inside the handler would be refused as pending and
  // nothing would be planned. Start it from the next worker-queue block instead.
  std::weak_ptr<TLWUploader> weakSelf = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:1587", [weakSelf] {
    if (auto self = weakSelf.lock()) self->uploadData();
  });
}

void TLWUploader::uploadDataOrRegisterAlarmAfterThisRequest() {
  std::weak_ptr<TLWUploader> weakSelf = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:1587", [weakSelf] {
    if (auto self = weakSelf.lock()) self->uploadDataOrRegisterAlarm();
  });
}

void TLWUploader::reachabilityDidChange() {
  std::weak_ptr<TLWUploader> weakSelf = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:965", [weakSelf] {
    if (auto self = weakSelf.lock()) self->updateSchedule();
  });
}
