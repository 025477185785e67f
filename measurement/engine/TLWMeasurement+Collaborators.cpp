// The engine operations that the write pipeline, user properties, bundling, upload and
// configuration fetch implement, and the data wipe that resets them.

#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/config/TLWIdentifiers.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/engine/TLWEventBacklog.h"
#include "measurement/engine/TLWEventPipelineAdapters.h"
#include "measurement/engine/TLWMeasurement.h"
#include "measurement/engine/TLWMeasurementComponents.h"
#include "measurement/engine/TLWMeasurementWritePath.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/properties/TLWConditionalUserPropertyController.h"
#include "measurement/script/TLWPEventEditing.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWKeyValueStore.h"
#include "measurement/storage/TLWPersistedConfig.h"

namespace {
std::shared_ptr<platform::DispatchQueue> callbackQueue() {
  return platform::DispatchQueue::global(platform::QueuePriority::Background);
}
}  // namespace

// ---------------------------------------------------------------------------
// Building the collaborators

bool TLWMeasurement::buildCollaboratorsOnWorkerQueue() {
  std::shared_ptr<TLWDatabase> db;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    db = components_->database;
  }
  auto identityInstance = identity();
  if (!db || !identityInstance) return false;
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();

  TLWRemoteConfigDependencies configDependencies;
  configDependencies.env = env_;
  configDependencies.monitor = monitor_;
  configDependencies.identifiersOrigin = [identifiers = identifiers_] {
    return identifiers ? identifiers->origin() : std::string();
  };
  configDependencies.shouldFetchExperiments = [weak] {
    auto self = weak.lock();
    return self && self->enabled();
  };
  configDependencies.eventEditorFactory = std::make_shared<TLWPEventEditorFactory>();
  auto remote = TLWRemoteConfig::initWithAppID(appID_, db, experimentManager_, configDependencies);
  if (!remote) return false;
  remote->installAsCurrentLimits();
  identityInstance->setRemoteConfig(remote);
  if (consent_) consent_->setRemoteConfig(remote);

  TLWMeasurementWritePath::Dependencies writeDependencies;
  writeDependencies.database = db;
  writeDependencies.persistedConfig = persistedConfig_;
  writeDependencies.scheduler = scheduler_;
  writeDependencies.host = hosts_;
  writeDependencies.settings = std::make_shared<TLWRemoteConfigPipelineSettings>(remote);
  writeDependencies.identity = std::make_shared<TLWIdentityPipelineIdentity>(identityInstance, consent_, remote);
  writeDependencies.conditionalUserProperties = conditionalUserProperties_;
  writeDependencies.env = env_;
  writeDependencies.monitor = monitor_;
  writeDependencies.receipt = inAppPurchaseReporter_;
  auto writePath = TLWMeasurementWritePath::create(std::move(writeDependencies));
  if (!writePath.eventPipeline) return false;
  auto bundler = writePath.makeBundler({remote, hosts_, consent_, identityInstance, nullptr});
  if (!bundler) return false;
  auto userProperties = writePath.userProperties;
  auto eventPipeline = writePath.eventPipeline;

  std::shared_ptr<TLWUploader> uploader;
  std::shared_ptr<TLWConfigFetcher> fetcher;
  if (network_) {
    auto transport = TLWVXLNetworkTransport::create(network_, monitor_);
    uploader = TLWUploader::create(db, persistedConfig_, scheduler_, alarm_, transport, hosts_,
                                   TLWMeasurementComponents::measurementServiceBaseURL(env_), env_, monitor_);
    if (uploader) {
      uploader->setSuspendedUploadTimestamp(suspendedUploadTimestamp_.load());
      fetcher = TLWConfigFetcher::create(uploader, hosts_, env_, monitor_);
    }
  }

  std::lock_guard<std::mutex> lock(componentsMutex_);
  components_->remoteConfig = std::move(remote);
  components_->userProperties = std::move(userProperties);
  components_->eventPipeline = std::move(eventPipeline);
  components_->bundler = std::move(bundler);
  components_->uploader = std::move(uploader);
  components_->configFetcher = std::move(fetcher);
  return true;
}

// ---------------------------------------------------------------------------
// Events

void TLWMeasurement::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                        platform::Value parameters, double timestamp, bool enabled,
                                        bool ignoreEnabled, bool ignoreInterceptor, TLWEventInterceptor interceptor,
                                        const platform::Dictionary& addedScreenParameters) {
  TLWEventCall call;
  call.origin = origin;
  call.isPublicEvent = isPublicEvent;
  call.name = name;
  call.parameters = std::move(parameters);
  call.timestamp = timestamp;
  call.enabled = enabled;
  call.ignoreEnabled = ignoreEnabled;
  call.ignoreInterceptor = ignoreInterceptor;
  call.interceptor = std::move(interceptor);
  if (!addedScreenParameters.empty()) call.addedScreenParameters = addedScreenParameters;
  switch (eventBacklog_->push(std::move(call))) {
    case TLWEventBacklog::PushResult::kQueued:
      return;
    case TLWEventBacklog::PushResult::kRefused:
      logRefusedEventCall(name, eventBacklog_->refusedTotal());
      return;
    case TLWEventBacklog::PushResult::kQueuedFirst:
      break;
  }
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleDrainOnWorkerQueueBlockID("TLWMeasurement:2135", [weak] {
    if (auto self = weak.lock()) self->drainEventBacklogOnWorkerQueue();
  });
}

void TLWMeasurement::refuseEventCall(const std::string& name) {
  logRefusedEventCall(name, eventBacklog_->countRefusal());
}

void TLWMeasurement::logRefusedEventCall(const std::string& name, std::uint64_t refusedTotal) {
  // A run of refusals is logged at its first call and then every thousandth.
  if (refusedTotal % 1000 != 1) return;
  monitor_->logWithLevel(1, 23231, "Data loss. Event backlog is full, event not logged. Event name, capacity",
                         platform::Value(name), platform::Value(static_cast<long long>(eventBacklog_->capacity())));
}

void TLWMeasurement::drainEventBacklogOnWorkerQueue() {
  // Rescheduled while records remain even when storing threw: a drain that stopped here
  // would leave every later event waiting for good.
  struct Continue {
    TLWMeasurement& engine;
    ~Continue() {
      engine.eventBacklog_->continueDrain([weak = engine.weak_from_this()] {
        if (auto self = weak.lock()) self->drainEventBacklogOnWorkerQueue();
      });
    }
  } next{*this};
  storeEventBacklogOnWorkerQueue(eventBacklog_->newestSequence());
  notifyStoredWaitersIfIdle();
}

void TLWMeasurement::storeEventBacklogOnWorkerQueue(std::uint64_t upTo) {
  if (auto pipeline = eventPipeline()) {
    pipeline->drainBacklog(*eventBacklog_, upTo);
  } else {
    while (eventBacklog_->take(upTo)) monitor_->logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
    eventBacklog_->settleTaken();
  }
}

void TLWMeasurement::whenPendingWorkStored(std::function<void()> done) {
  // A numbered block: the lane's catch-up stores every event pushed before it first; what
  // still waits then (the database refused it, or the drain reported errors) is waited for.
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:pending",
                                           [weak = weak_from_this(), done = std::move(done)]() mutable {
                                             auto self = weak.lock();
                                             if (!self) return done();
                                             self->storedWaiters_.push_back(std::move(done));
                                             self->notifyStoredWaitersIfIdle();
                                           });
}

void TLWMeasurement::notifyStoredWaitersIfIdle() {
  if (storedWaiters_.empty() || eventBacklog_->size() > 0) return;
  if (auto pipeline = eventPipeline(); pipeline && pipeline->hasWorkWaitingForStorage()) return;
  for (auto& done : std::exchange(storedWaiters_, {})) done();
}

void TLWMeasurement::logEvent(std::shared_ptr<TLWEvent> event) {
  if (!event) return;
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:2241", [weak, event = std::move(event)] {
    if (auto self = weak.lock()) self->handleEventOnWorkerQueue(event);
  });
}

void TLWMeasurement::handleInternalEventOnWorkerQueue(std::shared_ptr<TLWEvent> event) {
  if (!event) return;
  if (auto pipeline = eventPipeline()) {
    pipeline->handleInternalEventOnWorkerQueue(event);
  } else {
    monitor_->logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
  }
}

void TLWMeasurement::handleEventOnWorkerQueue(std::shared_ptr<TLWEvent> event) {
  if (!event) return;
  if (auto pipeline = eventPipeline()) {
    pipeline->handleEventOnWorkerQueue(event);
  } else {
    monitor_->logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
  }
}

void TLWMeasurement::setDefaultEventParameters(std::optional<platform::Dictionary> parameters) {
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:2250", [weak, parameters = std::move(parameters)] {
    auto self = weak.lock();
    if (!self) return;
    if (auto pipeline = self->eventPipeline()) pipeline->handleSetDefaultEventParametersOnWorkerQueue(parameters);
  });
}

// ---------------------------------------------------------------------------
// User properties

void TLWMeasurement::setUserAttribute(std::shared_ptr<TLWUserAttribute> attribute) {
  if (!attribute) {
    monitor_->logWithLevel(3, 23079, "Attempted to set nil user property");
    return;
  }
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:2434", [weak, attribute = std::move(attribute)] {
    if (auto self = weak.lock()) self->setUserAttributeOnWorkerQueue(attribute);
  });
}

void TLWMeasurement::setUserAttributeOnWorkerQueue(std::shared_ptr<TLWUserAttribute> attribute) {
  if (!attribute) return;
  if (auto properties = userPropertyPipeline()) {
    properties->setUserAttributeOnWorkerQueue(attribute);
  } else {
    monitor_->logWithLevel(7, 23081, "Analytics is disabled. User property not set");
  }
}

void TLWMeasurement::removeUserAttribute(std::shared_ptr<TLWUserAttribute> attribute) {
  if (!attribute) {
    monitor_->logWithLevel(3, 23074, "Attempted to remove nil user property");
    return;
  }
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:2394", [weak, name = attribute->name()] {
    auto self = weak.lock();
    if (!self) return;
    if (auto properties = self->userPropertyPipeline()) {
      properties->removeUserAttributeOnWorkerQueue(name);
    } else {
      self->monitor_->logWithLevel(7, 23076, "Analytics is disabled. User property not removed");
    }
  });
}

void TLWMeasurement::userAttributeWithName(const std::string& name, UserAttributeCallback callback) {
  if (!callback) {
    monitor_->logWithLevel(0, 23088, "userAttributeWithName callback is nil");
    return;
  }
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:2562", [weak, name, callback = std::move(callback)] {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<TLWUserAttribute> found;
    if (auto properties = self->userPropertyPipeline()) found = properties->userAttributeWithNameOnWorkerQueue(name);
    callbackQueue()->async([callback, found] { callback(found); });
  });
}

void TLWMeasurement::userPropertiesIncludingInternal(bool includeInternal, UserPropertiesCallback callback) {
  if (!callback) {
    monitor_->logWithLevel(0, 23090, "Unable to retrieve user properties. Callback is nil");
    return;
  }
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(
      "TLWMeasurement:2617", [weak, includeInternal, callback = std::move(callback)] {
        auto self = weak.lock();
        if (!self) return;
        platform::Dictionary result;
        if (auto properties = self->userPropertyPipeline()) {
          result = properties->userPropertiesIncludingInternalOnWorkerQueue(includeInternal);
        }
        callbackQueue()->async([callback, result] { callback(result); });
      });
}

void TLWMeasurement::maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback) {
  if (origin.empty()) {
    monitor_->logWithLevel(0, 23093, "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    monitor_->logWithLevel(0, 23094, "MaxUserProperties callback cannot be nil. Origin", platform::Value(origin));
    return;
  }
  callbackQueue()->async([callback] { callback(TLWUserPropertyPipeline::kMaxUserPropertiesPerOrigin); });
}

// ---------------------------------------------------------------------------
// Reset and wipe

bool TLWMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) {
  const bool denied = identityAccess().isAnalyticsStorageDenied();
  const bool empty = !appInstanceID || appInstanceID->empty();
  if (empty && !denied) {
    monitor_->logWithLevel(1, 23167, "Cannot reset with an empty app instance ID");
    return false;
  }
  if (empty) monitor_->logWithLevel(7, 23218, "Resetting with an empty app instance ID");
  const double loadTime = frontController_->loadTimestamp();
  bool wiped = false;
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->dispatchSyncOnWorkerQueueBlockID("TLWMeasurement:2989", [&] {
    auto self = weak.lock();
    if (!self || !self->wipeoutAnalyticsDataAndResetComponents()) return;
    wiped = true;
    // On the identity's queue, behind the refresh the wipe queued: that refresh found no ID
    // and, run after a direct write, would put a random one over the caller's.
    if (self->identity()) {
      self->identityAccess().setAppInstanceID(empty ? std::nullopt : appInstanceID);
    } else {
      self->persistedConfig_->setAppInstanceID(empty ? std::nullopt : appInstanceID);
    }
    self->monitor_->logWithLevel(6, 23168, "Analytics data has been reset");
    if (!self->isAnalyticsCollectionDeactivated_) {
      TLWResetBookkeeping(self->suite()).recordDeferredCollectionIfUnset(self->enabled());
    }
    self->initTimestamp_.store(loadTime);
    self->persistedConfig_->setLoadTimestampValue(platform::Value(loadTime));
    if (self->enabled()) self->reportFirstOpenOnWorkerQueue();
  });
  return wiped;
}

bool TLWMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents");
  monitor_->logWithLevel(6, 23171, "Resetting Tally Wise data");
  {
    auto previous = persistedConfig_->appIDFromZEL().value_or("");
    std::lock_guard<std::mutex> lock(componentsMutex_);
    previousZELAppID_ = previous;
  }
  persistedConfig_->clearValues();
  monitor_->clearMonitoringData();
  // Events logged before the wipe that still wait for a busy or full database would have
  // been stored and wiped with the rest.
  if (const std::uint64_t running = TLWScheduler::currentBlockSequence()) {
    std::size_t dropped = eventBacklog_->discardBefore(running);
    if (auto pipeline = eventPipeline()) dropped += pipeline->discardRetainedEvents();
    if (dropped > 0) {
      monitor_->logWithLevel(6, 23243, "Events logged before the data reset were dropped with it. Count",
                             platform::Value(static_cast<long long>(dropped)));
    }
  }
  if (TLWDatabase* db = database()) {
    TLWError error;
    if (!db->reset(&error)) {
      monitor_->logWithLevel(1, 23209, "Failed to reset database", error.asValue());
      return false;
    }
    if (auto remote = remoteConfigInstance()) remote->reset();
    auto reporter = makeSessionReporter();
    if (reporter) reporter->setReportingEnabled(enabled());
    std::lock_guard<std::mutex> lock(componentsMutex_);
    components_->sessionReporter = std::move(reporter);
  } else {
    const std::string path = TLWDatabase::databasePathForName(databaseName_, *env_);
    auto files = env_->fileSystem();
    std::string error;
    if (files->exists(path) && !files->removeFile(path, &error)) {
      monitor_->logWithLevel(1, 23014, "Failed to delete old database file. Error", platform::Value(error));
    }
    for (const char* suffix : {"-wal", "-shm"}) {
      if (files->exists(path + suffix)) files->removeFile(path + suffix);
    }
  }
  identityAccess().updateIdentifiers();
  return true;
}

// ---------------------------------------------------------------------------
// Upload, configuration, links and purchases

void TLWMeasurement::updateSchedule() {
  std::shared_ptr<TLWUploader> uploader;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    uploader = components_->uploader;
  }
  if (uploader) uploader->updateSchedule();
}

void TLWMeasurement::uploadData() {
  std::shared_ptr<TLWUploader> uploader;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    uploader = components_->uploader;
  }
  if (uploader) uploader->uploadData();
}

void TLWMeasurement::fetchRemoteConfig() {
  std::shared_ptr<TLWConfigFetcher> fetcher;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    fetcher = components_->configFetcher;
  }
  if (fetcher) fetcher->fetchRemoteConfig();
}

bool TLWMeasurement::bundleRawEvents() {
  std::shared_ptr<TLWBundler> bundler;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    bundler = components_->bundler;
  }
  return bundler && bundler->bundleRawEvents();
}

std::shared_ptr<TLWEventPipeline> TLWMeasurement::eventPipeline() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return components_->eventPipeline;
}

std::shared_ptr<TLWUserPropertyPipeline> TLWMeasurement::userPropertyPipeline() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return components_->userProperties;
}

void TLWMeasurement::handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds) {
  campaignReporter_->handleNonFirstOpenEventURL(url, eventTimestampInSeconds);
}

void TLWMeasurement::filterPurchaseTransactions(const platform::Array& transactions,
                                                std::function<void(const platform::Array&)> callback) {
  if (!callback) return;
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:3380", [weak, transactions, callback = std::move(callback)] {
    if (auto self = weak.lock()) self->inAppPurchaseReporter_->filterPurchaseTransactions(transactions, callback);
  });
}

void TLWMeasurement::reportFilteredTransactions(const platform::Array& transactions) {
  inAppPurchaseReporter_->paymentQueueUpdatedFilteredTransactions(transactions);
}
