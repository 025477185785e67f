#include "measurement/engine/TLWMeasurement.h"
#include "measurement/engine/TLWMeasurementReporterHosts.h"
#include "measurement/reporters/TLWCampaignReporter.h"

#include <cmath>
#include <limits>

#include "measurement/config/TLWConsentPersistence.h"
#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/config/TLWIdentifiers.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/scheduler/TLWAlarm.h"
#include "measurement/engine/TLWEventBacklog.h"
#include "measurement/engine/TLWMeasurementComponents.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/experiments/TLWEManager.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/properties/TLWConditionalUserPropertyController.h"
#include "measurement/reporters/TLWAdExposureReporter.h"
#include "measurement/reporters/TLWSessionReporter.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWKeyValueStore.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/VXLLogger.h"
#include "platform/app/Application.h"
#include "platform/app/Bundle.h"
#include "platform/app/ClassRegistry.h"
#include "platform/app/NotificationCenter.h"

namespace {

constexpr std::string_view kFamilyAnalyticsClass = "TWKAnalytics";

// The engine lives until the process ends: exit must not destroy it under its own worker
// queue, which may still be writing. Hence never-destroyed holders.
std::mutex& sharedMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
bool gSharedInitialized = false;  // guarded by sharedMutex()
std::shared_ptr<TLWMeasurement>& sharedSlot() {
  static auto* slot = new std::shared_ptr<TLWMeasurement>;
  return *slot;
}

bool familyAnalyticsPresent(platform::Environment& env) {
  auto registry = env.classRegistry();
  return registry && registry->classExists(kFamilyAnalyticsClass);
}

std::string replacePlaceholder(std::string_view text, std::string_view value) {
  std::string out(text);
  auto at = out.find("%@");
  if (at != std::string::npos) out.replace(at, 2, value);
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Class operations

void TLWMeasurement::initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       std::optional<std::vector<std::string>> safelistedEvents,
                                                       std::shared_ptr<TLWMeasurementFrontController> frontController) {
  std::lock_guard<std::mutex> lock(sharedMutex());
  if (gSharedInitialized) return;
  gSharedInitialized = true;
  if (appID.empty()) return;
  monitor();
  TLWMeasurementDependencies dependencies;
  dependencies.frontController = std::move(frontController);
  dependencies.conditionalUserProperties = TLWConditionalUserPropertyController::sharedInstance();
  dependencies.identifiers = TLWIdentifiers::sharedInstance();
  sharedSlot() = initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                                  std::move(safelistedEvents), std::move(dependencies));
  if (sharedSlot()) {
    std::weak_ptr<TLWMeasurement> weak = sharedSlot();
    if (const auto& identifiers = sharedSlot()->identifiers()) {
      identifiers->setEngineIdentityProvider([weak]() -> std::shared_ptr<TLWIdentity> {
        auto engine = weak.lock();
        return engine ? engine->identity() : nullptr;
      });
    }
  }
}

bool TLWMeasurement::hasSharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  return gSharedInitialized && sharedSlot();
}

std::shared_ptr<TLWMeasurement> TLWMeasurement::sharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  if (!gSharedInitialized && familyAnalyticsPresent(*platform::Environment::current())) {
    platform::VXLLogWarning("<Tallywise>", false, "I-ACS023147",
                            "Vorlix Analytics for Tarnwick has not been created. Please, configure Tarnwick by "
                            "calling [TWKApp configure]");
  }
  return sharedSlot();
}

std::shared_ptr<TLWMonitor> TLWMeasurement::monitor() { return TLWMonitor::sharedInstance(); }

std::shared_ptr<TLWRemoteConfig> TLWMeasurement::remoteConfig() {
  std::shared_ptr<TLWMeasurement> engine;
  {
    std::lock_guard<std::mutex> lock(sharedMutex());
    engine = sharedSlot();
  }
  if (engine) {
    if (auto config = engine->remoteConfigInstance()) return config;
  }
  return TLWRemoteConfig::defaultInstance();
}

void TLWMeasurement::load(const std::shared_ptr<platform::Environment>& env) {
  auto center = (env ? env : platform::Environment::current())->notificationCenter();
  if (!center) return;
  // Centres already observed; never destroyed, like the subscriptions themselves.
  static auto* mutex = new std::mutex;
  static auto* subscribed = new std::vector<std::weak_ptr<platform::NotificationCenter>>;
  std::lock_guard<std::mutex> lock(*mutex);
  std::erase_if(*subscribed, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : *subscribed) {
    if (weak.lock() == center) return;
  }
  subscribed->push_back(center);
  center->addObserver(platform::kApplicationDidFinishLaunchingNotification, {},
                      [weakEnv = std::weak_ptr<platform::Environment>(env)](const platform::Notification& notification) {
                        handleAppDidFinishLaunching(notification.userInfo, weakEnv.lock());
                      });
}

namespace {
// As a class is loaded with its image: the subscription exists before the app can finish
// launching.
[[maybe_unused]] const bool gLoadedWithLibrary = (TLWMeasurement::load(), true);
}  // namespace

void TLWMeasurement::handleAppDidFinishLaunching(const platform::Dictionary& userInfo,
                                                 std::shared_ptr<platform::Environment> env) {
  auto screenReporter = TLWScreenViewReporting::sharedInstance();
  (void)screenReporter;
  if (userInfo.empty()) return;
  // Launch comes before the engine exists: the link is stored for start-up to report.
  if (!env) env = platform::Environment::current();
  TLWCampaignReporter::storeLinkFromLaunchInfo(*env, userInfo, *monitor());
}

std::string TLWMeasurement::deepLinkFromUserActivity(const platform::Value& userActivity) {
  return TLWCampaignReporter::deepLinkFromUserActivity(userActivity, *monitor());
}

// ---------------------------------------------------------------------------
// Creation

std::shared_ptr<TLWMeasurement> TLWMeasurement::initWithAppID(const std::string& appID,
                                                              bool isAnalyticsCollectionEnabled,
                                                              bool isAnalyticsCollectionDeactivated,
                                                              std::optional<std::vector<std::string>> safelistedEvents,
                                                              TLWMeasurementDependencies dependencies) {
  auto monitorInstance = dependencies.monitor ? dependencies.monitor : monitor();
  if (appID.empty()) {
    monitorInstance->logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  if (!dependencies.environment) dependencies.environment = platform::Environment::current();
  auto& env = *dependencies.environment;
  const bool familyPresent = familyAnalyticsPresent(env);

  std::string version = "80901000";
  if (familyPresent) {
    auto registry = env.classRegistry();
    if (auto impl = registry->implementation(kFamilyAnalyticsClass, "topLevelVersion", true)) {
      auto answer = (*impl)(platform::Value(std::string(kFamilyAnalyticsClass)), {});
      if (!answer.isNull()) version = answer.isString() ? *answer.string() : answer.description();
    }
  }
  monitorInstance->logWithLevel(6, 23007, replacePlaceholder("Analytics v.%@ started", version));
  if (familyPresent) {
    monitorInstance->logWithLevel(8, 23222, "Build %lld", platform::Value(static_cast<long long>(kTLWLibraryNumericVersion)));
  }

  const std::string prefix = familyPresent ? "TWKAnalytics" : "TLWAnalytics";
  const std::string docs = " (see the library's README, section on debug logging)";
  if (monitorInstance->debugModeEnabled()) {
    monitorInstance->logWithLevel(
        6, 23008,
        replacePlaceholder("To disable debug logging set the following application argument: %@", "-no" + prefix + "DebugEnabled") +
            docs);
  } else {
    monitorInstance->logWithLevel(
        6, 23008,
        replacePlaceholder("To enable debug logging set the following application argument: %@", "-" + prefix + "DebugEnabled") +
            docs);
  }
  monitorInstance->logWithLevel(7, 23009, "Debug logging enabled");
  if (monitorInstance->verboseLoggingEnabled()) {
    monitorInstance->logWithLevel(7, 23207,
                                  replacePlaceholder("To disable verbose logging set the following application argument: %@",
                                                     "-" + prefix + "VerboseLoggingDisabled"));
  } else {
    monitorInstance->logWithLevel(7, 23207,
                                  replacePlaceholder("To enable verbose logging set the following application argument: %@",
                                                     "-" + prefix + "VerboseLoggingEnabled"));
  }

  if (!dependencies.network) {
    dependencies.network = env.makeNetworkClient(TLWMeasurementComponents::measurementServiceHost(dependencies.environment));
    if (!dependencies.network) monitorInstance->logWithLevel(1, 23010, "Failed to initialize network component");
  }
  if (!dependencies.scheduler) dependencies.scheduler = TLWScheduler::initWithWorkerQueueLabel(kTLWMeasurementWorkerQueueLabel);
  if (!dependencies.alarm) {
    dependencies.alarm = TLWAlarm::initWithDispatchQueue(dependencies.scheduler->workerQueue(), kTLWMeasurementAlarmName,
                                                         env.clock());
  }
  dependencies.monitor = monitorInstance;
  return initWithDependencies(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                              std::move(safelistedEvents), std::move(dependencies));
}

std::shared_ptr<TLWMeasurement> TLWMeasurement::initWithDependencies(
    const std::string& appID, bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
    std::optional<std::vector<std::string>> safelistedEvents, TLWMeasurementDependencies dependencies) {
  if (!dependencies.environment) dependencies.environment = platform::Environment::current();
  if (!dependencies.monitor) dependencies.monitor = monitor();
  if (appID.empty()) {
    dependencies.monitor->logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  if (dependencies.databaseName.empty()) dependencies.databaseName = kTLWDatabaseFileName;
  if (!dependencies.persistedConfig) dependencies.persistedConfig = TLWPersistedConfig::sharedInstance();
  if (!dependencies.conditionalUserProperties) {
    dependencies.conditionalUserProperties = TLWConditionalUserPropertyController::create();
  }
  if (!dependencies.identifiers) dependencies.identifiers = TLWIdentifiers::sharedInstance();
  if (!dependencies.scheduler) dependencies.scheduler = TLWScheduler::initWithWorkerQueueLabel(kTLWMeasurementWorkerQueueLabel);
  if (!dependencies.alarm) {
    dependencies.alarm = TLWAlarm::initWithDispatchQueue(dependencies.scheduler->workerQueue(), kTLWMeasurementAlarmName,
                                                         dependencies.environment->clock());
  }
  std::shared_ptr<TLWMeasurementDefaultFrontController> defaultFront;
  if (!dependencies.frontController) {
    defaultFront = std::make_shared<TLWMeasurementDefaultFrontController>(dependencies.environment);
    dependencies.frontController = defaultFront;
  }
  if (!dependencies.screenViewReporter) dependencies.screenViewReporter = TLWScreenViewReporting::sharedInstance();
  auto reporterHosts = TLWMeasurementAddDefaultReporters(dependencies);
  // The real session reporter reaches the engine through its hosts, made just below.
  auto sessionHost = std::make_shared<std::weak_ptr<TLWSessionReporterHost>>();
  if (!dependencies.adExposureReporter) dependencies.adExposureReporter = TLWAdExposureReporter::sharedInstance();
  if (!dependencies.experimentManager) {
    dependencies.experimentManager = std::make_shared<TLWEExperimentFlagsClient>(TLWEManager::sharedInstance());
  }
  if (!dependencies.sessionReporterFactory) {
    dependencies.sessionReporterFactory = [sessionHost, env = dependencies.environment](
                                              std::shared_ptr<TLWPersistedConfig> persisted) {
      return TLWSessionReporter::initWithPersistedConfig(std::move(persisted), *sessionHost, env);
    };
  }

  auto engine = std::make_shared<TLWMeasurement>(Private{}, std::move(dependencies), appID,
                                                 isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                                                 std::move(safelistedEvents));
  if (defaultFront) defaultFront->attachEngine(engine);
  reporterHosts->attach(engine);
  engine->hosts_ = std::make_shared<TLWMeasurementHosts>(engine);
  *sessionHost = engine->hosts_;
  engine->screenViewReporter_->setEngine(engine->hosts_);
  if (engine->network_) {
    engine->network_->setLoggerDelegate(std::weak_ptr<platform::VXLNetworkLoggerDelegate>(engine));
    engine->network_->setReachabilityDelegate(std::weak_ptr<platform::VXLReachabilityDelegate>(engine));
    engine->network_->setIsDebugModeEnabled(engine->monitor_->debugModeEnabled());
  }
  engine->scheduler_->setLaneCatchUp([weak = std::weak_ptr<TLWMeasurement>(engine)](std::uint64_t before) {
    auto self = weak.lock();
    if (!self || before <= 1 || !self->eventBacklog_->hasRecordThrough(before - 1)) return;
    // While the database refuses writes the retry timer alone tries again.
    if (auto pipeline = self->eventPipeline(); pipeline && pipeline->isWaitingForStorage()) return;
    self->storeEventBacklogOnWorkerQueue(before - 1);
  });
  engine->applyInitialEnabledState();
  return engine;
}

TLWMeasurement::TLWMeasurement(Private, TLWMeasurementDependencies dependencies, std::string appID,
                               bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
                               std::optional<std::vector<std::string>> safelistedEvents)
    : env_(std::move(dependencies.environment)),
      databaseName_(std::move(dependencies.databaseName)),
      persistedConfig_(std::move(dependencies.persistedConfig)),
      network_(std::move(dependencies.network)),
      scheduler_(std::move(dependencies.scheduler)),
      alarm_(std::move(dependencies.alarm)),
      monitor_(std::move(dependencies.monitor)),
      frontController_(std::move(dependencies.frontController)),
      givenIdentity_(std::move(dependencies.identity)),
      consent_(dependencies.consent ? std::move(dependencies.consent) : TLWConsentSettingsUtil::sharedInstance()),
      experimentManager_(std::move(dependencies.experimentManager)),
      screenViewReporter_(std::move(dependencies.screenViewReporter)),
      adExposureReporter_(std::move(dependencies.adExposureReporter)),
      campaignReporter_(std::move(dependencies.campaignReporter)),
      inAppPurchaseReporter_(std::move(dependencies.inAppPurchaseReporter)),
      sessionReporterFactory_(std::move(dependencies.sessionReporterFactory)),
      searchAdReporterFactory_(std::move(dependencies.searchAdReporterFactory)),
      conditionalUserProperties_(std::move(dependencies.conditionalUserProperties)),
      identifiers_(std::move(dependencies.identifiers)),
      appID_(std::move(appID)),
      isAnalyticsCollectionEnabled_(isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(isAnalyticsCollectionDeactivated),
      safelistedEvents_(std::move(safelistedEvents)),
      components_(std::make_unique<TLWMeasurementComponents>()),
      eventBacklog_(std::make_shared<TLWEventBacklog>(scheduler_)) {
  // A launch whose first open is still owed keeps its launch time across restarts.
  auto stored = persistedConfig_->loadTimestampValue();
  if (auto seconds = stored.doubleValue(); seconds && !stored.isBool()) {
    initTimestamp_.store(*seconds);
  } else {
    const double load = frontController_->loadTimestamp();
    initTimestamp_.store(load);
    persistedConfig_->setLoadTimestampValue(platform::Value(load));
  }
}

void TLWMeasurement::applyInitialEnabledState() {
  const bool enable = shouldEnableMeasurement();
  enabled_.store(enable);
  wasEnabledDuringInitialization_ = enable;
  setEnabled(enable);
  swapBackgroundTaskWithNewTaskID(platform::kInvalidBackgroundTask);
}

TLWMeasurement::~TLWMeasurement() {
  if (!lifecycleObservers_.empty()) {
    if (auto center = env_->notificationCenter()) {
      for (auto id : lifecycleObservers_) center->removeObserver(id);
    }
  }
}

// ---------------------------------------------------------------------------
// Enable switch

bool TLWMeasurement::shouldEnableMeasurement() {
  if (isAnalyticsCollectionDeactivated_) return false;
  switch (persistedConfig_->measurementEnabledState()) {
    case 1:
      return true;
    case 2:
      return false;
    default:
      return isAnalyticsCollectionEnabled_;
  }
}

void TLWMeasurement::setEnabled(bool enabled) {
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:556", [weak, enabled] {
    if (auto self = weak.lock()) self->setEnabledOnWorkerQueue(enabled);
  });
}

void TLWMeasurement::setEnabledOnWorkerQueue(bool enabled) {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("setEnabledOnWorkerQueue:");
  if (isAnalyticsCollectionDeactivated_ && enabled) {
    monitor_->logWithLevel(6, 23206, "Analytics collection deactivated");
    return;
  }
  if (!isAnalyticsCollectionDeactivated_) TLWResetBookkeeping(suite()).recordDeferredCollectionIfUnset(enabled);
  enabled_.store(enabled);
  if (enabled) {
    if (!startMeasurementOnWorkerQueue()) {
      monitor_->logWithLevel(0, 23011, "Failed to start Analytics. Analytics is disabled");
      setEnabled(false);
      return;
    }
    if (auto reporter = sessionReporter()) reporter->setReportingEnabled(true);
    if (auto reporter = searchAdReporter()) reporter->setSearchAdReporterEnabled(true);
    adExposureReporter_->setReportingEnabled(true);
    monitor_->logWithLevel(6, 23012, "Analytics collection enabled");
    if (familyAnalyticsPresent(*env_) && TLWMeasurementComponents::automaticScreenReportingEnabled(*env_)) {
      monitor_->logWithLevel(
          6, 23220,
          replacePlaceholder("Analytics screen reporting is enabled. Call +[TWKAnalytics logEventWithName:TWKEventScreenView "
                             "parameters:] to log a screen view event. To disable automatic screen reporting, set the "
                             "flag %@ to NO (boolean) in the Info.plist",
                             "TarnwickAutomaticScreenReportingEnabled"));
    }
  } else {
    campaignReporter_->dropStoredDeepLinkOlderThan(config()->attributionCacheTTLInterval());
    alarm_->cancel();
    if (auto reporter = sessionReporter()) reporter->setReportingEnabled(false);
    if (auto reporter = searchAdReporter()) reporter->setSearchAdReporterEnabled(false);
    adExposureReporter_->setReportingEnabled(false);
    monitor_->logWithLevel(6, 23013, "Analytics collection disabled");
  }
}

bool TLWMeasurement::startMeasurementOnWorkerQueue() {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
  {
    std::lock_guard<std::mutex> lock(initializeComponentsLock_);
    if (!didInitializeComponents_) {
      didInitializeComponents_ = initializeComponentsOnWorkerQueue();
      if (!didInitializeComponents_) return false;
    }
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  TLWResetBookkeeping reset(suite());
  if (reset.needFirstOpen()) {
    reportFirstOpenOnWorkerQueue();
    reset.clearNeedFirstOpen();
  }
  updateSchedule();
  if (TLWMeasurementComponents::disableLegacyMeasurementLibrary(*env_)) {
    monitor_->logWithLevel(1, 23210,
                           "An older measurement library of this maker was found and switched off. Remove it from "
                           "the app to avoid double counting");
  }
  return true;
}

bool TLWMeasurement::didInitializeComponents() {
  std::lock_guard<std::mutex> lock(initializeComponentsLock_);
  return didInitializeComponents_;
}

// ---------------------------------------------------------------------------
// Helpers

std::shared_ptr<TLWKeyValueStore> TLWMeasurement::suite() const { return frontController_->settingsSuite(); }

double TLWMeasurement::now() const { return env_->clock()->now(); }

std::string TLWMeasurement::previousZELAppID() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return previousZELAppID_;
}

std::shared_ptr<TLWRemoteConfig> TLWMeasurement::config() const {
  auto own = remoteConfigInstance();
  return own ? own : TLWRemoteConfig::defaultInstance();
}

std::shared_ptr<TLWIdentity> TLWMeasurement::identity() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return identity_;
}

std::shared_ptr<TLWConsentPersistence> TLWMeasurement::consentPersistence() {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  if (!consentPersistence_) consentPersistence_ = TLWConsentPersistence::create(suite(), consent_, env_, monitor_);
  return consentPersistence_;
}

double TLWMeasurement::suspendedUploadTimestamp() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return components_->uploader ? components_->uploader->suspendedUploadTimestamp() : suspendedUploadTimestamp_.load();
}

void TLWMeasurement::setSuspendedUploadTimestamp(double timestamp) {
  std::shared_ptr<TLWUploader> uploader;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    uploader = components_->uploader;
  }
  suspendedUploadTimestamp_.store(timestamp);
  if (uploader) uploader->setSuspendedUploadTimestamp(timestamp);
}

bool TLWMeasurement::isNetworkRequestPending() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return components_->uploader ? components_->uploader->isNetworkRequestPending() : isNetworkRequestPending_.load();
}

void TLWMeasurement::setNetworkRequestPending(bool pending) {
  std::shared_ptr<TLWUploader> uploader;
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    uploader = components_->uploader;
  }
  isNetworkRequestPending_.store(pending);
  if (uploader) uploader->setNetworkRequestPending(pending);
}

TLWDatabase* TLWMeasurement::database() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return components_->database.get();
}

std::shared_ptr<TLWRemoteConfig> TLWMeasurement::remoteConfigInstance() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return components_->remoteConfig;
}

std::shared_ptr<TLWSessionReporting> TLWMeasurement::sessionReporter() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return components_->sessionReporter;
}

std::shared_ptr<TLWSearchAdReporting> TLWMeasurement::searchAdReporter() const {
  std::lock_guard<std::mutex> lock(componentsMutex_);
  return components_->searchAdReporter;
}

std::shared_ptr<TLWUserAttribute> TLWMeasurement::makeAutoAttribute(const std::string& name,
                                                                    const platform::Value& value, double timestamp) {
  auto converted = TLWValue::valueFromObject(value);
  if (!converted) return nullptr;
  return TLWUserAttribute::initWithOrigin("auto", name, *converted, timestamp);
}

// ---------------------------------------------------------------------------
// Network log bridge

std::int64_t TLWMeasurement::monitorLevelForNetworkLevel(long networkLevel) {
  switch (networkLevel) {
    case 3:
      return 1;
    case 4:
      return 4;
    case 5:
      return 3;
    case 6:
      return 6;
    case 7:
      return 7;
    default:
      return 3;
  }
}

void TLWMeasurement::VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode,
                                             const std::string& message) {
  monitor_->logWithLevel(monitorLevelForNetworkLevel(static_cast<long>(level)), messageCode, message,
                         platform::Array{});
}

void TLWMeasurement::VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode,
                                             const std::string& message, const platform::Value& context) {
  monitor_->logWithLevel(monitorLevelForNetworkLevel(static_cast<long>(level)), messageCode, message,
                         platform::Array{context});
}

void TLWMeasurement::VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode,
                                             const std::string& message, const std::vector<platform::Value>& contexts) {
  monitor_->logWithLevel(monitorLevelForNetworkLevel(static_cast<long>(level)), messageCode, message,
                         platform::Array(contexts.begin(), contexts.end()));
}
