// Component start-up, the wipe decision and the automatic events of the first launch and
// of app and OS updates.

#include <cmath>

#include "measurement/config/TLWConsentPersistence.h"
#include "measurement/config/TLWIdentifiers.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/engine/TLWMeasurement.h"
#include "measurement/engine/TLWMeasurementComponents.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWEventAggregates.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWKeyValueStore.h"
#include "measurement/storage/TLWKeychainWrapper.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/Environment.h"
#include "platform/app/Bundle.h"
#include "platform/app/ClassRegistry.h"

namespace {
constexpr const char* kFirstOpenCountItem = "_pfo";
constexpr const char* kDeepLinkKey = "/vorlix/measurement/deep_link";

std::int64_t parseCount(const std::optional<std::string>& text) {
  if (!text || text->empty()) return 0;
  try {
    std::size_t used = 0;
    long long value = std::stoll(*text, &used);
    return used == text->size() ? value : 0;
  } catch (...) {
    return 0;
  }
}
}  // namespace

std::int64_t TLWMeasurement::timestampMillisRoundedUpToNextHour(std::int64_t milliseconds) {
  constexpr std::int64_t kHour = 3600000;
  return (milliseconds / kHour + 1) * kHour;
}

bool TLWMeasurement::isVersionSameAsOriginalVersion() { return inAppPurchaseReporter_->isVersionSameAsOriginalVersion(); }

bool TLWMeasurement::isTarnwickRemoteConfigSDKPresent() {
  auto registry = env_->classRegistry();
  return registry && registry->classExists("TWKRemoteConfig");
}

bool TLWMeasurement::shouldWipeDataWithAppID(const std::string& appID, const std::string& appIDFromZEL,
                                             const std::string& appIDFromQuado,
                                             const std::string& persistedAppIDFromZEL,
                                             const std::string& persistedAppIDFromQuado) {
  if (TLWResetBookkeeping(suite()).isWipeOwed()) return true;
  const bool a = !appID.empty(), z = !appIDFromZEL.empty(), q = !appIDFromQuado.empty();
  const bool pz = !persistedAppIDFromZEL.empty(), pq = !persistedAppIDFromQuado.empty();
  if (pz && z) return persistedAppIDFromZEL != appIDFromZEL;
  if (!pz && pq && !q && z) return true;
  if (!pz && pq && q && z && persistedAppIDFromQuado != appIDFromQuado) return true;
  if (!pq && !z && pz && q && a) return true;
  if (z || !pq) return false;
  if (!a || appID == persistedAppIDFromQuado) return false;
  return true;
}

bool TLWMeasurement::initializeComponentsOnWorkerQueue() {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("initializeComponents");
  {
    auto found = givenIdentity_ ? givenIdentity_ : TLWIdentity::sharedInstance();
    std::lock_guard<std::mutex> lock(componentsMutex_);
    identity_ = std::move(found);
  }
  auto identity = identityAccess();
  if (!identity.available()) return false;

  TLWResetBookkeeping reset(suite());
  auto persistence = consentPersistence();
  const bool resetForConsent = persistence && persistence->reconcileAtEngineStart();

  const bool wipe = shouldWipeDataWithAppID(appID_, identity.appIDFromZEL(), identity.appIDFromQuado(),
                                            persistedConfig_->appIDFromZEL().value_or(""),
                                            persistedConfig_->appIDFromQuado().value_or(""));
  if (resetForConsent || wipe) {
    if (resetForConsent) reset.setAppInstanceID(std::nullopt);
    reset.addRetry();
    if (!wipeoutAnalyticsDataAndResetComponents()) {
      monitor_->logWithLevel(4, 23208, "Failed to wipe out Analytics data");
    } else {
      reset.clearRetries();
    }
  }

  identity.updateIdentifiers();
  if (auto pending = reset.takeAppInstanceID()) identity.setAppInstanceID(*pending);

  const std::string zel = identity.appIDFromZEL(), quado = identity.appIDFromQuado();
  if (persistedConfig_->appIDFromZEL().value_or("") != zel) {
    persistedConfig_->setAppIDFromZEL(zel.empty() ? std::nullopt : std::optional<std::string>(zel));
  }
  if (persistedConfig_->appIDFromQuado().value_or("") != quado) {
    persistedConfig_->setAppIDFromQuado(quado.empty() ? std::nullopt : std::optional<std::string>(quado));
  }
  const std::string origin = identity.origin();
  if (origin == "tq") persistedConfig_->setAppIDFromZEL(appID_);
  if (origin == "qd") persistedConfig_->setAppIDFromQuado(appID_);

  TLWError error;
  std::shared_ptr<TLWDatabase> database =
      TLWDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error, env_, monitor_);
  if (!database) database = TLWDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error, env_, monitor_);
  if (!database) return false;
  TLWDatabase* db = database.get();
  {
    std::lock_guard<std::mutex> lock(componentsMutex_);
    components_->database = std::move(database);
  }
  if (!buildCollaboratorsOnWorkerQueue()) return false;

  const std::string measurementDir = env_->sandbox()->applicationSupportDirectory() + "/Vorlix/Measurement";
  if (!env_->fileSystem()->setExcludedFromBackup(measurementDir, true)) {
    monitor_->logWithLevel(5, 23015, "Failed to exclude directory from backup. Error",
                           platform::Value(measurementDir));
  }
  monitor_->logWithLevel(7, 23016, "Analytics is ready to receive events");
  monitor_->setEncodeContexts(identity.isFromAppStore());

  TLWError staleError;
  if (!db->maybeDeleteStaleData(&staleError)) {
    monitor_->logWithLevel(5, 23018, "Unable to delete stale data. Error", platform::Value(staleError.description()));
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  {
    auto reporter = makeSessionReporter();
    std::lock_guard<std::mutex> lock(componentsMutex_);
    components_->sessionReporter = std::move(reporter);
  }
  reportFirstOpenOnWorkerQueue();

  if (env_->preferences()->standard()->objectForKey(kDeepLinkKey).isNull() && !campaignReporter_->hasStoredDeepLink()) {
    if (campaignReporter_->shouldAllowRequestDeferredDeepLink()) campaignReporter_->requestDeferredDeepLink();
  } else {
    campaignReporter_->reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  }
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();

  {
    auto reporter = searchAdReporterFactory_(persistedConfig_);
    if (reporter) {
      reporter->setSearchAdReporterEnabled(true);
      reporter->start();
    }
    std::lock_guard<std::mutex> lock(componentsMutex_);
    components_->searchAdReporter = std::move(reporter);
  }
  if (persistedConfig_->tarnwickFeatureRollouts() && !isTarnwickRemoteConfigSDKPresent()) {
    persistedConfig_->setTarnwickFeatureRollouts(std::nullopt);
  }
  subscribeForAppForegroundBackgroundNotifications();
  return true;
}

void TLWMeasurement::reportFirstOpenOnWorkerQueue() {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
  TLWDatabase* db = database();
  if (!db) return;
  TLWError error;
  auto hasFirstOpen = db->containsUserAttributeWithName("_fot", &error);
  if (!hasFirstOpen) {
    monitor_->logWithLevel(1, 23019, "Failed to query first open property. Error", platform::Value(error.description()));
    return;
  }
  const std::string bundleID = bundleIdentifier();
  std::int64_t pfo = parseCount(TLWKeychainWrapper::keychainValueWithIdentifier(kFirstOpenCountItem, bundleID, env_));
  const double launch = initTimestamp();
  TLWResetBookkeeping reset(suite());

  if (*hasFirstOpen) {
    if (pfo < 1) TLWKeychainWrapper::upsertKeychainValue("1", kFirstOpenCountItem, bundleID, env_);
    reset.setDeferredCollection(platform::Value());
    reportSessionStartOnWorkerQueueWithTimestamp(launch, false);
    persistedConfig_->setLoadTimestampValue(platform::Value());
    return;
  }

  const std::int64_t fi = pfo >= 1 ? 1 : (isVersionSameAsOriginalVersion() ? 1 : 0);
  const std::int64_t storedFirstOpenMillis = persistedConfig_->firstOpenTimestampMilliseconds();
  const double fiTime = storedFirstOpenMillis != 0 ? static_cast<double>(storedFirstOpenMillis) / 1000.0 : launch;
  setUserAttributeOnWorkerQueue(makeAutoAttribute("_fi", platform::Value(static_cast<long long>(fi)), fiTime));
  TLWError checkError;
  auto hasFi = db->containsUserAttributeWithName("_fi", &checkError);
  if (!hasFi) {
    monitor_->logWithLevel(1, 23161, "Failed to query first open after install property after setting it. Error",
                           platform::Value(checkError.description()));
    return;
  }
  if (!*hasFi) {
    monitor_->logWithLevel(1, 23162, "Failed to set first open after install property");
    return;
  }

  const auto fotMillis = static_cast<std::int64_t>(std::trunc(launch * 1000.0));
  setUserAttributeOnWorkerQueue(makeAutoAttribute(
      "_fot", platform::Value(static_cast<long long>(timestampMillisRoundedUpToNextHour(fotMillis))), launch));
  auto hasFot = db->containsUserAttributeWithName("_fot", &checkError);
  if (!hasFot) {
    monitor_->logWithLevel(1, 23020, "Failed to query first open property after setting it. Error",
                           platform::Value(checkError.description()));
    return;
  }
  if (!*hasFot) {
    monitor_->logWithLevel(1, 23021, "Failed to set first open property");
    return;
  }

  platform::Dictionary parameters;
  const std::string previousAppID = previousZELAppID();
  if (!previousAppID.empty()) parameters.set("_pgmp", previousAppID);
  parameters.set("_pfo", static_cast<long long>(pfo < 1 ? 0 : pfo));
  parameters.set("_uwa", static_cast<long long>(1 - fi));
  if (reset.wasCollectionDeferred()) parameters.set("_dac", 1);
  const bool efficientEngagement = efficientEngagementReportingEnabled();
  if (efficientEngagement) parameters.set("_et", 1);
  const auto screen = screenViewReporter_->screenParameters();
  if (auto firstOpen = TLWEvent::initWithOrigin("auto", false, "_f", launch, 0, parameters)) {
    firstOpen->addScreenParameters(screen);
    handleInternalEventOnWorkerQueue(std::move(firstOpen));
  }

  reset.setDeferredCollection(platform::Value());
  persistedConfig_->setLoadTimestampValue(platform::Value());
  reportSessionStartOnWorkerQueueWithTimestamp(launch, false);

  if (!redundantEngagementRemovalEnabled()) {
    platform::Dictionary engagement{{"_et", 1}};
    if (efficientEngagement) engagement.set("_fr", 1);
    if (auto event = TLWEvent::initWithOrigin("auto", false, "_e", launch, 0, engagement)) {
      event->addScreenParameters(screen);
      handleInternalEventOnWorkerQueue(std::move(event));
    }
  }

  persistedConfig_->setFirstOpenTimestampMilliseconds(fotMillis);
  campaignReporter_->reportStoredCampaignEventOnWorkerQueue(fotMillis - 1);

  if (shouldAllowAdNetworkRegistration()) {
    inAppPurchaseReporter_->registerAppForAdNetworkAttribution();
  } else {
    monitor_->logWithLevel(7, 23217, "Opted out of registration for ad network attribution");
  }
}

void TLWMeasurement::reportAppUpdateOnWorkerQueue() {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("reportAppUpdateOnWorkerQueue");
  const std::string current = identityAccess().appVersion();
  const std::string previous = persistedConfig_->appVersion().value_or("");
  if (current == previous) return;
  persistedConfig_->setAppVersion(current.empty() ? std::nullopt : std::optional<std::string>(current));
  if (!previous.empty()) frontController_->logInternalEventWithOrigin("auto", "_au", {{"_pv", previous}});
}

void TLWMeasurement::reportOSUpdateOnWorkerQueue() {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("reportOSUpdateOnWorkerQueue");
  const std::string current = env_->device()->osVersion();
  const std::string previous = persistedConfig_->osVersion().value_or("");
  if (current == previous) return;
  persistedConfig_->setOsVersion(current.empty() ? std::nullopt : std::optional<std::string>(current));
  if (!previous.empty()) frontController_->logInternalEventWithOrigin("auto", "_ou", {{"_po", previous}});
}

void TLWMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("reportSessionStartOnWorkerQueueWithTimestamp:appInBackground:");
  auto reporter = sessionReporter();
  if (!reporter || !reporter->isSessionExpired()) return;
  reporter->updatePropertiesForNewSessionStart();
  if (auto id = reporter->sessionIDPropertyWithTimestamp(timestamp)) setUserAttributeOnWorkerQueue(std::move(id));
  if (auto number = reporter->sessionNumberProperty()) setUserAttributeOnWorkerQueue(std::move(number));
  const bool inBackground = appInBackground && appInBackgroundParameterEnabled();
  if (auto event = reporter->sessionStartEventWithSessionNumber(persistedConfig_->sessionNumber(), inBackground,
                                                                 timestamp)) {
    handleInternalEventOnWorkerQueue(std::move(event));
  }
}

void TLWMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("setPersonalizedAdsUserPropertyOnWorkerQueue");
  TLWDatabase* db = database();
  if (!db) return;
  TLWError error;
  auto stored = db->userAttributeWithName("_npa", &error);
  if (!stored && error.code() != 0) {
    monitor_->logWithLevel(1, 23172, "Unable to read personalized ads user property. Error",
                           platform::Value(error.description()));
    return;
  }
  const auto wanted = shouldDisableAdPersonalization();
  if (!wanted) {
    if (!stored) return;
    TLWError deleteError;
    if (!db->deleteUserAttributeWithName("_npa", &deleteError)) {
      monitor_->logWithLevel(1, 23173, "Unable to remove personalized ads user property in the database. Error",
                             platform::Value(deleteError.description()));
    } else {
      monitor_->logWithLevel(4, 23180, "No value set for personalized ads. Removing user property.");
    }
    return;
  }
  if (stored && stored->value().isInt64() && stored->value().int64Value() == *wanted) return;
  setUserAttributeOnWorkerQueue(makeAutoAttribute("_npa", platform::Value(static_cast<long long>(*wanted)), now()));
}

void TLWMeasurement::backfillSessionNumber() {
  if (persistedConfig_->sessionNumber() != 0) return;
  TLWDatabase* db = database();
  if (!db) return;
  TLWError error;
  auto aggregates = db->eventAggregatesWithName("_s", &error);
  if (!aggregates) {
    if (error.code() != 0) {
      monitor_->logWithLevel(1, 23063, "Unable to query event aggregates. Name, error", platform::Value("_s"),
                             platform::Value(error.description()));
    }
    return;
  }
  persistedConfig_->setSessionNumber(static_cast<std::int32_t>(aggregates->lifetimeCount()));
}

std::optional<std::int64_t> TLWMeasurement::shouldDisableAdPersonalization() {
  auto allow = persistedConfig_->allowPersonalizedAds();
  if (!allow.isNull()) {
    auto flag = allow.boolValue();
    if (flag) return *flag ? 0 : 1;
  }
  auto bundle = env_->mainBundle();
  if (!bundle) return std::nullopt;
  auto value = bundle->objectForInfoDictionaryKey("VORLIX_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS");
  if (value.isNull()) return std::nullopt;
  if (value.isBool()) return *value.boolValue() ? 0 : 1;
  return 0;
}

bool TLWMeasurement::shouldAllowAdNetworkRegistration() {
  auto bundle = env_->mainBundle();
  if (!bundle) return true;
  auto value = bundle->objectForInfoDictionaryKey("VORLIX_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED");
  return value.isBool() ? *value.boolValue() : true;
}

TLWMeasurementIdentityAccess TLWMeasurement::identityAccess() const {
  return TLWMeasurementIdentityAccess(identity(), consent_, identifiers_ ? identifiers_->origin() : std::string());
}

void TLWMeasurement::setProspectiveConsentSettings() {
  if (auto persistence = consentPersistence()) persistence->setProspectiveConsentSettings();
}

bool TLWMeasurement::efficientEngagementReportingEnabled() { return config()->efficientEngagementReportingEnabled(); }
bool TLWMeasurement::redundantEngagementRemovalEnabled() { return config()->redundantEngagementRemovalEnabled(); }
bool TLWMeasurement::appInBackgroundParameterEnabled() { return config()->appInBackgroundParameterEnabled(); }
bool TLWMeasurement::blocklistInternalEnabled() { return config()->blocklistInternal(); }

std::string TLWMeasurement::bundleIdentifier() const {
  auto bundle = env_->mainBundle();
  std::string id = bundle ? bundle->bundleIdentifier() : std::string();
  return id.empty() ? appID_ : id;
}
