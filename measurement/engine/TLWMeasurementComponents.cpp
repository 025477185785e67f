#include "measurement/engine/TLWMeasurementComponents.h"

#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/config/TLWEventEditing.h"
#include "measurement/config/TLWIdentifiers.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/config/TLWServiceEndpoint.h"
#include "measurement/engine/TLWBundleIdentifiers.h"
#include "measurement/engine/TLWMeasurement.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/model/TLWValue.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/reporters/TLWScreenViewReporter.h"
#include "measurement/storage/TLWDatabase.h"
#include "platform/app/Bundle.h"
#include "platform/app/ClassRegistry.h"

namespace {
// The measurement class of the maker's previous library generation.
constexpr std::string_view kLegacyMeasurementClass = "TWKALegacyMeasurement";

std::string hostOfURL(const std::string& url) {
  auto start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  auto end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (auto at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority.front() == '[') {
    auto close = authority.find(']');
    return close == std::string::npos ? authority : authority.substr(1, close - 1);
  }
  if (auto colon = authority.find(':'); colon != std::string::npos) authority.resize(colon);
  return authority;
}
}  // namespace

// ---------------------------------------------------------------------------
// Identity access

std::string TLWMeasurementIdentityAccess::appIDFromZEL() const {
  return identity_ ? identity_->appIDFromZEL().value_or("") : std::string();
}
std::string TLWMeasurementIdentityAccess::appIDFromQuado() const {
  return identity_ ? identity_->appIDFromQuado().value_or("") : std::string();
}
std::string TLWMeasurementIdentityAccess::appVersion() const { return identity_ ? identity_->appVersion() : std::string(); }
bool TLWMeasurementIdentityAccess::isFromAppStore() const { return identity_ && identity_->isFromAppStore(); }
void TLWMeasurementIdentityAccess::updateIdentifiers() {
  if (identity_) identity_->updateIdentifiers();
}
void TLWMeasurementIdentityAccess::setAppInstanceID(const std::optional<std::string>& appInstanceID) {
  if (identity_) identity_->setAppInstanceID(appInstanceID);
}
bool TLWMeasurementIdentityAccess::isAnalyticsStorageDenied() const {
  return consent_ && consent_->isAnalyticsStorageDenied();
}

// ---------------------------------------------------------------------------
// Hosts

bool TLWMeasurementHosts::isMeasurementEnabled() {
  auto engine = engine_.lock();
  return engine && engine->enabled();
}

std::vector<std::string> TLWMeasurementHosts::safelistedEvents() {
  auto engine = engine_.lock();
  if (!engine || !engine->safelistedEvents()) return {};
  return *engine->safelistedEvents();
}

bool TLWMeasurementHosts::isAppActive() {
  auto engine = engine_.lock();
  return !engine || engine->screenViewReporter()->isAppActive();
}

bool TLWMeasurementHosts::isSessionExpired() {
  auto engine = engine_.lock();
  auto reporter = engine ? engine->sessionReporter() : nullptr;
  return reporter && reporter->isSessionExpired();
}

bool TLWMeasurementHosts::extendSession() {
  auto engine = engine_.lock();
  auto reporter = engine ? engine->sessionReporter() : nullptr;
  return reporter && reporter->extendSession();
}

void TLWMeasurementHosts::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) {
  if (auto engine = engine_.lock()) engine->reportSessionStartOnWorkerQueueWithTimestamp(timestamp, appInBackground);
}

void TLWMeasurementHosts::logInternalEvent(const std::string& name, const platform::Dictionary& parameters) {
  if (auto engine = engine_.lock()) engine->frontController()->logInternalEventWithOrigin("auto", name, parameters);
}

void TLWMeasurementHosts::setSessionUserProperties(std::optional<std::int64_t> sessionID,
                                                   std::optional<std::int64_t> sessionNumber) {
  auto engine = engine_.lock();
  if (!engine) return;
  const double now = engine->environment()->clock()->now();
  // Through the queue the app's calls take, behind every event logged before the session
  // started: none of those may carry the new session's ID.
  auto set = [weak = engine_, sessionID, sessionNumber, now] {
    auto engine = weak.lock();
    if (!engine) return;
    for (const auto& [name, value] : {std::pair{"_sid", sessionID}, std::pair{"_sno", sessionNumber}}) {
      auto attribute = TLWUserAttribute::initWithOrigin("auto", name, TLWValue::initWithInt64(value.value_or(0)), now);
      if (!attribute) continue;
      if (value) {
        engine->setUserAttribute(std::move(attribute));
      } else {
        engine->removeUserAttribute(std::move(attribute));
      }
    }
  };
  if (const auto& front = engine->frontController()) {
    front->queueOperationWithBlock(std::move(set));
  } else {
    set();
  }
}

std::shared_ptr<TLWRemoteConfig> TLWMeasurementHosts::remoteConfig() {
  auto engine = engine_.lock();
  if (!engine) return nullptr;
  auto config = engine->remoteConfigInstance();
  return config ? config : TLWRemoteConfig::defaultInstance();
}

std::shared_ptr<TLWSessionReporting> TLWMeasurementHosts::sessionReporter() {
  auto engine = engine_.lock();
  return engine ? engine->sessionReporter() : nullptr;
}

bool TLWMeasurementHosts::efficientEngagementReportingEnabled() {
  auto config = remoteConfig();
  return config && config->efficientEngagementReportingEnabled();
}

void TLWMeasurementHosts::logScreenViewEvent(const std::string& origin, const platform::Dictionary& parameters,
                                             std::optional<double> timestamp) {
  auto engine = engine_.lock();
  if (!engine) return;
  if (timestamp) {
    engine->frontController()->logInternalEventWithTimestamp(origin, "_vs", parameters, *timestamp);
  } else {
    engine->frontController()->logInternalEventWithOrigin(origin, "_vs", parameters);
  }
}

void TLWMeasurementHosts::notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>> events) {
  if (auto engine = engine_.lock()) engine->frontController()->notifyEventListeners(std::move(events));
}

bool TLWMeasurementHosts::hasEventListeners() {
  auto engine = engine_.lock();
  return engine && engine->frontController() && engine->frontController()->hasEventListeners();
}

void TLWMeasurementHosts::pendingWorkMayBeStored() {
  if (auto engine = engine_.lock()) engine->notifyStoredWaitersIfIdle();
}

void TLWMeasurementHosts::updateSchedule() {
  if (auto engine = engine_.lock()) engine->updateSchedule();
}

void TLWMeasurementHosts::setSuspendedUploadTimestamp(double timestamp) {
  if (auto engine = engine_.lock()) engine->setSuspendedUploadTimestamp(timestamp);
}

TLWUploadSettings TLWMeasurementHosts::uploadSettings() {
  TLWUploadSettings settings;
  auto engine = engine_.lock();
  auto config = engine ? engine->remoteConfigInstance() : nullptr;
  if (!config) return settings;
  settings.uploadingInterval = config->uploadingInterval();
  settings.uploadingRealTimeInterval = config->uploadingRealTimeInterval();
  settings.uploadingInitialDelayInterval = config->uploadingInitialDelayInterval();
  settings.uploadingDebugModeInterval = config->uploadingDebugModeInterval();
  settings.uploadingRetryInterval = config->uploadingRetryInterval();
  settings.uploadingRetryCount = config->uploadingRetryCount();
  settings.uploadingBackoffInterval = config->uploadingBackoffInterval();
  settings.uploadMaxBundlesLimit = config->uploadMaxBundlesLimit();
  settings.uploadMaxSizeLimitBytes = config->uploadMaxSizeLimitBytes();
  settings.maxBundlesCreatedPerIteration = config->maxBundlesCreatedPerIteration();
  settings.networkTimeout = config->networkTimeout();
  settings.checksumEnabled = config->checksumEnabled();
  settings.isNetworkBackgroundSessionEnabled = config->isNetworkBackgroundSessionEnabled();
  settings.isExpired = config->isExpired();
  return settings;
}

bool TLWMeasurementHosts::bundleRawEvents() {
  auto engine = engine_.lock();
  return engine && engine->bundleRawEvents();
}

TLWBundleIdentifierInputs TLWMeasurementHosts::bundleIdentifierInputs() {
  auto engine = engine_.lock();
  if (!engine || !engine->identity() || !engine->consent()) return {};
  auto config = engine->remoteConfigInstance();
  return TLWBundleIdentifierInputsFromIdentity(*engine->identity(), *engine->consent(),
                                               config && config->gateIDFAOnATTMASEnabled());
}

bool TLWMeasurementHosts::activateNewSnapshot() {
  auto engine = engine_.lock();
  auto config = engine ? engine->remoteConfigInstance() : nullptr;
  return config && config->activateNewSnapshot();
}

void TLWMeasurementHosts::fetchRemoteConfig() {
  if (auto engine = engine_.lock()) engine->fetchRemoteConfig();
}

bool TLWMeasurementHosts::isBackgroundTaskActive() {
  auto engine = engine_.lock();
  return engine && engine->backgroundUpdateTask() != platform::kInvalidBackgroundTask;
}

void TLWMeasurementHosts::endBackgroundTask() {
  if (auto engine = engine_.lock()) engine->terminateBackgroundTask();
}

std::optional<std::string> TLWMeasurementHosts::remoteConfigURL() {
  auto engine = engine_.lock();
  auto config = engine ? engine->remoteConfigInstance() : nullptr;
  if (!config) return std::nullopt;
  const bool denied = engine->consent() && engine->consent()->isAnalyticsStorageDenied();
  std::string appInstanceID;
  if (!denied && engine->identity()) appInstanceID = engine->identity()->appInstanceID().value_or("");
  // The server may pick the programs it sends by the runtime that will run them.
  return config->remoteConfigURLWithAppInstanceID(appInstanceID, "ios", TLWIdentifiers::libraryVersion(),
                                                  std::to_string(kTLWScriptRuntimeVersion), denied);
}

std::string TLWMeasurementHosts::appIDFromZEL() {
  auto engine = engine_.lock();
  if (!engine || !engine->identity()) return {};
  return engine->identity()->appIDFromZEL().value_or("");
}

bool TLWMeasurementHosts::updateAudiences(const std::vector<std::shared_ptr<TLWPBAudience>>& audiences) {
  auto engine = engine_.lock();
  auto config = engine ? engine->remoteConfigInstance() : nullptr;
  if (!config) return false;
  auto sink = config->audienceSink();
  // With nowhere to keep them, definitions would be lost silently; refuse the configuration.
  if (!sink) return audiences.empty();
  TLWError error;
  return sink->updateAudiences(audiences, &error);
}

bool TLWMeasurementHosts::updateMeasurementConfig(const std::shared_ptr<TLWPBMeasurementConfig>& measurementConfig) {
  auto engine = engine_.lock();
  auto config = engine ? engine->remoteConfigInstance() : nullptr;
  return config && config->updateMeasurementConfig(measurementConfig);
}

// ---------------------------------------------------------------------------
// Components and facts

TLWMeasurementComponents::TLWMeasurementComponents() = default;
TLWMeasurementComponents::~TLWMeasurementComponents() = default;

std::shared_ptr<TLWRemoteConfig> TLWMeasurementComponents::defaultRemoteConfig() {
  return TLWRemoteConfig::defaultInstance();
}

std::string TLWMeasurementComponents::measurementServiceBaseURL(const std::shared_ptr<platform::Environment>& env) {
  return TLWServiceEndpoint::baseURL(env);
}

std::string TLWMeasurementComponents::measurementServiceHost(const std::shared_ptr<platform::Environment>& env) {
  auto host = hostOfURL(measurementServiceBaseURL(env));
  return host.empty() ? std::string("measurement.tallywise.vorlix.com") : host;
}

bool TLWMeasurementComponents::automaticScreenReportingEnabled(platform::Environment& env) {
  return TLWScreenViewReporter::automaticScreenReportingEnabled(env);
}

bool TLWMeasurementComponents::disableLegacyMeasurementLibrary(platform::Environment& env) {
  auto registry = env.classRegistry();
  if (!registry) return false;
  auto shared = registry->implementation(kLegacyMeasurementClass, "sharedInstance", true);
  auto setter = registry->implementation(kLegacyMeasurementClass, "setIsEnabled:", false);
  if (!shared || !setter) return false;
  auto instance = (*shared)(platform::Value(std::string(kLegacyMeasurementClass)), {});
  if (instance.isNull()) return false;
  (*setter)(instance, platform::Array{platform::Value(false)});
  return true;
}
