#include "measurement/config/TLWIdentity.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "measurement/config/TLWConsentIdentitySettings.h"
#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/config/TLWDefaultIdentitySupport.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWInfoPlistFileUtil.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/Digest.h"
#include "platform/app/Bundle.h"
#include "platform/app/ClassRegistry.h"

namespace {

constexpr std::string_view kServiceInfoZELAppIDKey = "VORLIX_APP_ID";
constexpr std::string_view kServiceInfoQuadoAppIDKey = "QUADO_APP_ID";
constexpr std::string_view kPublicInterfaceClassName = "TWKAnalytics";
constexpr std::string_view kStoreBuildEnvironmentVariable = "TALLYWISE_STORE_BUILD";

std::optional<std::string> nonEmpty(std::optional<std::string> value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

std::int64_t saturatingDecimal(std::string_view digits) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t result = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') break;
    int digit = c - '0';
    if (result > (kMax - digit) / 10) return kMax;
    result = result * 10 + digit;
  }
  return result;
}

// The platform's tracking-authorisation status (0 not determined, 1 restricted, 2 denied,
// 3 authorised) as sent in bundles.
std::int64_t mapPlatformTrackingStatus(std::int64_t status) {
  switch (status) {
    case 0:
      return kTLWAppleConsentStatusNotDetermined;
    case 1:
      return kTLWAppleConsentStatusRestricted;
    case 2:
      return kTLWAppleConsentStatusDenied;
    case 3:
      return kTLWAppleConsentStatusAuthorized;
    default:
      return kTLWAppleConsentStatusUnknown;
  }
}

}  // namespace

std::shared_ptr<TLWIdentity> TLWIdentity::sharedInstance() {
  // Never destroyed: library threads may still use it while the process exits.
  static const std::shared_ptr<TLWIdentity>& instance = *new std::shared_ptr<TLWIdentity>([] {
    auto made = initWithPersistedConfig(TLWPersistedConfig::sharedInstance());
    if (!made) TLWMonitor::sharedInstance()->logWithLevel(2, 20003, "Identity's shared instance is nil");
    return made;
  }());
  return instance;
}

std::shared_ptr<TLWIdentity> TLWIdentity::initWithPersistedConfig(std::shared_ptr<TLWPersistedConfig> persistedConfig,
                                                                  std::shared_ptr<platform::Environment> env,
                                                                  std::shared_ptr<TLWConsentSettingsUtil> consent,
                                                                  std::shared_ptr<TLWDefaultIdentitySupport> support,
                                                                  std::shared_ptr<TLWMonitor> monitor,
                                                                  Options options) {
  if (!monitor) monitor = TLWMonitor::sharedInstance();
  if (!persistedConfig) {
    monitor->logWithLevel(2, 20004,
                          "Unable to create measurement identity, missing a valid persisted config instance");
    return nullptr;
  }
  if (!env) env = platform::Environment::current();
  if (!consent) consent = TLWConsentSettingsUtil::sharedInstance();
  if (!support) support = TLWDefaultIdentitySupport::sharedInstance();
  if (!options.isFromAppStore) {
    options.isFromAppStore = [processInfo = env->processInfo()] {
      return processInfo && processInfo->environmentVariable(std::string(kStoreBuildEnvironmentVariable)) == "1";
    };
  }
  if (!options.isPublicInterfacePresent) {
    options.isPublicInterfacePresent = [registry = env->classRegistry()] {
      return registry && registry->classExists(kPublicInterfaceClassName);
    };
  }
  if (!support->hasLimitedAdTracking()) {
    monitor->logWithLevel(7, 5000, "The advertising framework is not linked. Some features will not work.");
  }
  std::shared_ptr<TLWIdentity> identity(new TLWIdentity(std::move(persistedConfig), std::move(env), std::move(consent),
                                                        std::move(support), std::move(monitor), std::move(options)));
  identity->readFactsAtCreation();
  identity->enforceConsentSettings();
  if (!identity->persistedConfig_->appInstanceID() && !identity->consent_->isAnalyticsStorageDenied()) {
    identity->persistedConfig_->setAppInstanceID(identity->randomAppInstanceID());
  }
  return identity;
}

TLWIdentity::TLWIdentity(std::shared_ptr<TLWPersistedConfig> persistedConfig, std::shared_ptr<platform::Environment> env,
                         std::shared_ptr<TLWConsentSettingsUtil> consent,
                         std::shared_ptr<TLWDefaultIdentitySupport> support, std::shared_ptr<TLWMonitor> monitor,
                         Options options)
    : persistedConfig_(std::move(persistedConfig)),
      env_(std::move(env)),
      consent_(std::move(consent)),
      support_(std::move(support)),
      monitor_(std::move(monitor)),
      options_(std::move(options)),
      queue_(platform::DispatchQueue::create(std::string(kTLWIdentityWorkerQueueLabel),
                                             platform::QueuePriority::Background)) {}

TLWIdentity::~TLWIdentity() = default;

void TLWIdentity::readFactsAtCreation() {
  // Runs before the identity is shared, so the queue-owned fields may be set directly.
  if (auto serviceInfo = TLWInfoPlistFileUtil::dictionaryFromVorlixServiceInfoPlist(env_)) {
    if (const std::string* zel = serviceInfo->get(kServiceInfoZELAppIDKey).string()) appIDFromZEL_ = nonEmpty(*zel);
    if (const std::string* quado = serviceInfo->get(kServiceInfoQuadoAppIDKey).string()) {
      appIDFromQuado_ = nonEmpty(*quado);
    }
  }
  if (options_.isPublicInterfacePresent() && !appIDFromZEL_) {
    monitor_->logWithLevel(0, 20006,
                           "The app ID from VorlixService-Info.plist is empty. Please define VORLIX_APP_ID in "
                           "VorlixService-Info.plist for Analytics to work reliably.");
  }

  auto bundle = env_->mainBundle();
  if (!bundle) return;
  const platform::Value idfvSwitch = bundle->objectForInfoDictionaryKey(kTLWIdentityIDFVCollectionEnabledKey);
  if (idfvSwitch.isNumber()) {
    idfvCollectionEnabled_ = idfvSwitch.boolValue().value_or(false);
    monitor_->logWithLevel(7, 20009,
                           std::string(kTLWIdentityIDFVCollectionEnabledKey) + " = " +
                               (*idfvCollectionEnabled_ ? "YES" : "NO"));
  }
  appID_ = bundle->bundleIdentifier();
  appVersion_ = bundle->shortVersionString();
  std::vector<std::int64_t> fields = numericFieldsFromAppVersionNumeric(bundle->bundleVersion(), monitor_.get());
  if (fields.size() > 0) appVersionMajor_ = fields[0];
  if (fields.size() > 1) appVersionMinor_ = fields[1];
  if (fields.size() > 2) appVersionRelease_ = fields[2];
}

void TLWIdentity::setRemoteConfig(std::shared_ptr<TLWRemoteConfig> remoteConfig) {
  std::lock_guard lock(mutex_);
  remoteConfig_ = std::move(remoteConfig);
}

std::shared_ptr<TLWRemoteConfig> TLWIdentity::currentRemoteConfig() const {
  std::lock_guard lock(mutex_);
  return remoteConfig_;
}

double TLWIdentity::adIDCacheTime() const {
  return TLWConsentIdentitySettings::adIDCacheTime(currentRemoteConfig().get());
}

bool TLWIdentity::gateIDFAOnATTMASEnabled() const {
  return TLWConsentIdentitySettings::gateIDFAOnATTMASEnabled(currentRemoteConfig().get());
}

bool TLWIdentity::lastAdvertisingIDResetFeatureEnabled() const {
  return TLWConsentIdentitySettings::lastAdvertisingIDResetFeatureEnabled(currentRemoteConfig().get());
}

bool TLWIdentity::nonBlockingAppInstanceIDEnabled() const {
  return TLWConsentIdentitySettings::nonBlockingAppInstanceIDEnabled(currentRemoteConfig().get());
}

bool TLWIdentity::runSync(const std::function<void()>& block) { return queue_->sync(block); }

void TLWIdentity::flush() {
  if (queue_->isCurrent()) return;
  (void)queue_->sync([] {});
}

// --- App instance ID ---

std::optional<std::string> TLWIdentity::appInstanceID() {
  if (nonBlockingAppInstanceIDEnabled() && platform::MainRunLoop::isMainThread()) {
    updateIdentifiers();
    return nonEmpty(persistedConfig_->appInstanceID());
  }
  std::optional<std::string> result;
  refreshThenRead([&] { result = nonEmpty(persistedConfig_->appInstanceID()); });
  return result;
}

void TLWIdentity::setAppInstanceID(std::optional<std::string> appInstanceID) {
  queue_->asyncWeak(shared_from_this(), [id = nonEmpty(std::move(appInstanceID))](TLWIdentity& self) {
    self.persistedConfig_->setAppInstanceID(id);
  });
}

std::optional<std::string> TLWIdentity::resetAppInstanceID() {
  std::optional<std::string> fresh;
  if (!consent_->isAnalyticsStorageDenied()) fresh = randomAppInstanceID();
  setAppInstanceID(fresh);
  clearCachedIdentifiers();
  return fresh;
}

void TLWIdentity::clearCachedIdentifiers() {
  queue_->asyncWeak(shared_from_this(), [](TLWIdentity& self) {
    self.lastUpdate_.reset();
    self.resettableDeviceID_.reset();
    self.identifierForVendor_.reset();
    self.limitedAdTracking_ = false;
    self.hasLimitedAdTracking_ = false;
    self.appleConsentStatus_ = kTLWAppleConsentStatusUnavailable;
  });
}

std::string TLWIdentity::randomAppInstanceID() {
  std::string uuid = env_->random()->uuid();
  std::string id;
  id.reserve(32);
  for (char c : uuid) {
    if (c != '-') id += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return id;
}

void TLWIdentity::enforceConsentSettings() {
  if (consent_->isAdStorageDenied()) persistedConfig_->setHashedResettableDeviceID(std::nullopt);
  if (consent_->isAnalyticsStorageDenied()) persistedConfig_->setAppInstanceID(std::nullopt);
}

// --- Refresh ---

void TLWIdentity::updateIdentifiers() {
  // One waiting refresh reads the newest state when it runs, so a burst of requests (one
  // per stored event) needs only one.
  if (refreshPending_.exchange(true)) return;
  queue_->asyncWeak(shared_from_this(), [](TLWIdentity& self) {
    self.refreshPending_.store(false);
    self.refreshOnQueue();
  });
}

void TLWIdentity::refreshIdentifiersNow() {
  // An idle identity queue runs this on the caller's thread: no wake-up of its own thread
  // for every stored event.
  if (!runSync([&] { refreshOnQueue(); })) updateIdentifiers();
}

void TLWIdentity::refreshThenRead(const std::function<void()>& read) {
  // The same order as an asynchronous refresh followed by a synchronous read, in one turn of
  // the queue: an idle queue runs it on the caller's thread instead of waking its own.
  if (!runSync([&] {
        refreshOnQueue();
        read();
      })) {
    updateIdentifiers();
  }
}

void TLWIdentity::refreshOnQueue() {
  enforceConsentSettings();
  const double now = env_->clock()->now();
  const std::optional<std::string> persistedID = nonEmpty(persistedConfig_->appInstanceID());
  if (persistedID && lastUpdate_ && *lastUpdate_ <= now && now - *lastUpdate_ < adIDCacheTime()) return;

  const bool adDenied = consent_->isAdStorageDenied();
  const bool analyticsDenied = consent_->isAnalyticsStorageDenied();
  const std::optional<std::string> oldHash = nonEmpty(persistedConfig_->hashedResettableDeviceID());
  const bool limited = support_->limitedAdTracking();
  const bool hasLimited = support_->hasLimitedAdTracking();

  std::int64_t status = kTLWAppleConsentStatusUnavailable;
  const bool modernOS = support_->iOS14OrAbove();
  if (modernOS) {
    status = support_->hasAppDataConsentStatus() ? mapPlatformTrackingStatus(support_->appDataConsentStatus())
                                                 : kTLWAppleConsentStatusUnavailable;
  }
  const bool gated = modernOS && status != kTLWAppleConsentStatusAuthorized && gateIDFAOnATTMASEnabled();

  std::optional<std::string> idfa;
  if (!gated && !adDenied) idfa = support_->resettableDeviceID();

  std::optional<std::string> newAppInstanceID;
  std::optional<std::string> newHash;
  bool changed = false;
  if (idfa && !idfa->empty() && *idfa != kTLWAllZeroAdvertisingIdentifier) {
    std::string hash = hashOfResettableDeviceID(*idfa);
    if (!hash.empty() && hash != oldHash.value_or("")) {
      if (oldHash) {
        // The advertising identifier was reset by the user: so is the app instance.
        newAppInstanceID = randomAppInstanceID();
        if (lastAdvertisingIDResetFeatureEnabled()) persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
      }
      newHash = std::move(hash);
      changed = true;
    }
    resettableDeviceID_ = idfa;
  } else if (idfa && *idfa == kTLWAllZeroAdvertisingIdentifier) {
    resettableDeviceID_.reset();
  } else if (adDenied || gated) {
    // An identifier we may no longer read must not be served from the cache either.
    resettableDeviceID_.reset();
  }

  if (changed || !persistedID) {
    if (!analyticsDenied) {
      persistedConfig_->setAppInstanceID(newAppInstanceID ? newAppInstanceID
                                                          : (persistedID ? persistedID : randomAppInstanceID()));
    }
    if (!adDenied && newHash) persistedConfig_->setHashedResettableDeviceID(newHash);
  }

  lastUpdate_ = now;
  limitedAdTracking_ = limited;
  hasLimitedAdTracking_ = hasLimited;
  appleConsentStatus_ = status;
}

// --- Cached getters ---

std::optional<std::string> TLWIdentity::resettableDeviceID() {
  std::optional<std::string> result;
  refreshThenRead([&] { result = resettableDeviceID_; });
  return result;
}

std::optional<std::string> TLWIdentity::hashedResettableDeviceID() {
  std::optional<std::string> result;
  refreshThenRead([&] { result = nonEmpty(persistedConfig_->hashedResettableDeviceID()); });
  return result;
}

bool TLWIdentity::limitedAdTracking() {
  bool result = false;
  refreshThenRead([&] { result = limitedAdTracking_; });
  return result;
}

bool TLWIdentity::hasLimitedAdTracking() {
  bool result = false;
  refreshThenRead([&] { result = hasLimitedAdTracking_; });
  return result;
}

std::int64_t TLWIdentity::appleConsentStatus() {
  std::int64_t result = kTLWAppleConsentStatusUnavailable;
  refreshThenRead([&] { result = appleConsentStatus_; });
  return result;
}

std::optional<std::string> TLWIdentity::identifierForVendor() {
  const auto idfa = resettableDeviceID();
  std::optional<std::string> cached;
  (void)runSync([&] { cached = identifierForVendor_; });
  return vendorIdentifierNextTo(idfa, std::move(cached));
}

TLWIdentity::Identifiers TLWIdentity::identifiers() {
  Identifiers out;
  if (platform::MainRunLoop::isMainThread() && nonBlockingAppInstanceIDEnabled()) {
    // The main thread must not wait for the app instance ID.
    out.resettableDeviceID = resettableDeviceID();
    out.identifierForVendor = identifierForVendor();
    out.appInstanceID = appInstanceID();
    out.hasLimitedAdTracking = hasLimitedAdTracking();
    out.limitedAdTracking = limitedAdTracking();
    out.appleConsentStatus = appleConsentStatus();
    return out;
  }
  std::optional<std::string> cachedVendor;
  refreshThenRead([&] {
    out.resettableDeviceID = resettableDeviceID_;
    out.appInstanceID = nonEmpty(persistedConfig_->appInstanceID());
    out.hasLimitedAdTracking = hasLimitedAdTracking_;
    out.limitedAdTracking = limitedAdTracking_;
    out.appleConsentStatus = appleConsentStatus_;
    cachedVendor = identifierForVendor_;
  });
  out.identifierForVendor = vendorIdentifierNextTo(out.resettableDeviceID, std::move(cachedVendor));
  return out;
}

std::optional<std::string> TLWIdentity::vendorIdentifierNextTo(const std::optional<std::string>& resettableDeviceID,
                                                               std::optional<std::string> cached) {
  if (resettableDeviceID && !resettableDeviceID->empty()) return std::nullopt;
  if (idfvCollectionEnabled_ && !*idfvCollectionEnabled_) return std::nullopt;
  if (consent_->isAnalyticsStorageDenied()) return std::nullopt;
  if (cached) return cached;
  // The device service is thread-safe on this platform, so it is asked on the calling
  // thread rather than through a hop to the main queue.
  auto device = env_->device();
  std::optional<std::string> vendor = device ? nonEmpty(device->vendorIdentifier()) : std::nullopt;
  if (vendor) {
    queue_->asyncWeak(shared_from_this(), [vendor](TLWIdentity& self) { self.identifierForVendor_ = vendor; });
  }
  return vendor;
}

// --- Registered app IDs ---

std::optional<std::string> TLWIdentity::appIDFromZEL() {
  std::optional<std::string> result;
  (void)runSync([&] { result = appIDFromZEL_; });
  return result;
}

std::optional<std::string> TLWIdentity::appIDFromQuado() {
  std::optional<std::string> result;
  (void)runSync([&] { result = appIDFromQuado_; });
  return result;
}

bool TLWIdentity::setAppIDFromZEL(const std::string& appID) {
  if (appID.empty()) {
    monitor_->logWithLevel(2, 20005, "Cannot set empty Vorlix App ID");
    return false;
  }
  if (didSetAppIDFromZEL_.exchange(true)) return false;
  queue_->asyncWeak(shared_from_this(), [appID](TLWIdentity& self) { self.appIDFromZEL_ = appID; });
  return true;
}

bool TLWIdentity::setAppIDFromQuado(const std::string& appID) {
  if (appID.empty()) {
    monitor_->logWithLevel(2, 20007, "Cannot set empty Quado App ID");
    return false;
  }
  if (didSetAppIDFromQuado_.exchange(true)) return false;
  queue_->asyncWeak(shared_from_this(), [appID](TLWIdentity& self) { self.appIDFromQuado_ = appID; });
  return true;
}

// --- Flags and facts ---

bool TLWIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
  return persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty();
}

void TLWIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(value);
}

bool TLWIdentity::isFromAppStore() { return options_.isFromAppStore(); }

bool TLWIdentity::iOS14OrAbove() { return support_->iOS14OrAbove(); }

std::optional<std::string> TLWIdentity::tarnwickInstallationID() const {
  std::lock_guard lock(mutex_);
  return tarnwickInstallationID_;
}

void TLWIdentity::setTarnwickInstallationID(std::optional<std::string> installationID) {
  std::lock_guard lock(mutex_);
  tarnwickInstallationID_ = std::move(installationID);
}

// --- Class helpers ---

std::vector<std::int64_t> TLWIdentity::numericFieldsFromAppVersionNumeric(std::string_view version,
                                                                          TLWMonitor* monitor) {
  // Bounded: a version string longer than this is not a version.
  constexpr std::size_t kMaxFields = 16;
  std::vector<std::int64_t> fields;
  bool logged = false;
  std::size_t start = 0;
  while (start <= version.size() && fields.size() < kMaxFields) {
    std::size_t dot = version.find('.', start);
    std::string_view component = version.substr(start, dot == std::string_view::npos ? version.npos : dot - start);
    if (!component.empty()) {
      std::string digits;
      bool hadOther = false;
      for (char c : component) {
        if (c >= '0' && c <= '9') {
          digits += c;
        } else {
          hadOther = true;
        }
      }
      if (hadOther && !logged) {
        logged = true;
        if (monitor) monitor->logWithLevel(5, 20002, "app version numeric has non-numeric characters");
      }
      fields.push_back(saturatingDecimal(digits));
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return fields;
}

std::int64_t TLWIdentity::libraryVersionFromBuildString(std::string_view build) {
  if (build.size() < 4) return 0;
  return saturatingDecimal(build.substr(0, build.size() - 3));
}

std::int64_t TLWIdentity::tallywiseLibraryVersion() { return libraryVersionFromBuildString(kTLWLibraryBuildString); }

std::string TLWIdentity::hashOfResettableDeviceID(std::string_view identifier) {
  platform::DigestBytes digest = platform::md5Digest(identifier);
  if (digest.empty()) return {};
  return platform::hexString(digest);
}
