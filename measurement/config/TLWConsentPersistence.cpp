#include "measurement/config/TLWConsentPersistence.h"

#include <algorithm>

#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWKeyValueStore.h"
#include "platform/app/ClassRegistry.h"

namespace {

constexpr std::string_view kPublicInterfaceClassName = "TWKAnalytics";

bool isValidConsentValue(const platform::Value& value) {
  const std::string* text = value.string();
  return text && (*text == kTLWConsentValueGranted || *text == kTLWConsentValueDenied);
}

}  // namespace

std::shared_ptr<TLWConsentPersistence> TLWConsentPersistence::create(std::shared_ptr<TLWKeyValueStore> suite,
                                                                     std::shared_ptr<TLWConsentSettingsUtil> consent,
                                                                     std::shared_ptr<platform::Environment> env,
                                                                     std::shared_ptr<TLWMonitor> monitor,
                                                                     Options options) {
  if (!suite || !consent) return nullptr;
  if (!env) env = platform::Environment::current();
  if (!monitor) monitor = TLWMonitor::sharedInstance();
  if (!options.isPublicInterfacePresent) {
    options.isPublicInterfacePresent = [weakEnv = std::weak_ptr<platform::Environment>(env)] {
      auto strong = weakEnv.lock();
      auto registry = strong ? strong->classRegistry() : nullptr;
      return registry && registry->classExists(kPublicInterfaceClassName);
    };
  }
  return std::shared_ptr<TLWConsentPersistence>(
      new TLWConsentPersistence(std::move(suite), std::move(consent), std::move(env), std::move(monitor),
                                std::move(options)));
}

TLWConsentPersistence::TLWConsentPersistence(std::shared_ptr<TLWKeyValueStore> suite,
                                             std::shared_ptr<TLWConsentSettingsUtil> consent,
                                             std::shared_ptr<platform::Environment> env,
                                             std::shared_ptr<TLWMonitor> monitor, Options options)
    : suite_(std::move(suite)),
      consent_(std::move(consent)),
      env_(std::move(env)),
      monitor_(std::move(monitor)),
      options_(std::move(options)) {}

TLWConsentUpdateResult TLWConsentPersistence::setConsent(const platform::Dictionary& consent,
                                                         const TLWConsentWithdrawalHooks& hooks) {
  return setConsent(consent, kSettings1PKey, hooks);
}

TLWConsentUpdateResult TLWConsentPersistence::setConsent(const platform::Dictionary& consent, std::string_view key,
                                                         const TLWConsentWithdrawalHooks& hooks) {
  const bool isPublicInterface = key == kSettings3PKey;
  if (isPublicInterface && !consent_->isConsentSettings3PEnabled()) return TLWConsentUpdateResult::Ignored;
  if (!consent_->isConsentSettingsEnabled()) return TLWConsentUpdateResult::Ignored;

  bool withdrawn = false;
  {
    std::lock_guard lock(mutex_);
    if (consent_->consentSource() == kTLWConsentSourceNone) loadPersistedConsentSettingsLocked();

    platform::Dictionary settings;
    for (const auto& [type, value] : TLWConsentSettingsUtil::consentSettingsFromDictionary(consent)) {
      if (isValidConsentValue(value)) {
        settings.set(type, value);
      } else {
        monitor_->logWithLevel(3, 25042,
                               "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting",
                               value);
      }
    }
    if (settings.empty()) {
      monitor_->logWithLevel(3, 25041, "Discarding empty consent settings");
      return TLWConsentUpdateResult::Discarded;
    }
    const std::int64_t source = isPublicInterface ? kTLWConsentSourcePublicInterface : kTLWConsentSourceFirstParty;
    if (!consent_->isConsentSourceHigherPriority(source)) {
      monitor_->logWithLevel(3, 25043, "Ignoring lower priority consent settings");
      return TLWConsentUpdateResult::LowerPriority;
    }

    // The previous settings of this origin as stored; a value of another kind is kept as
    // it is so that the withdrawal test can refuse it.
    platform::Value previous = suite_->objectForKey(key);
    consent_->updateSettings(settings);
    consent_->setConsentSource(source);
    persistConsentSettings(consent_->consentSettings(), source);
    withdrawn = consent_->didWithdrawPreviousConsent(previous);
  }
  if (!withdrawn) return TLWConsentUpdateResult::Applied;

  if (hooks.clearAppInstanceIDAfterReset) hooks.clearAppInstanceIDAfterReset();
  bool engineReady = hooks.engineDidInitializeComponents && hooks.engineDidInitializeComponents();
  if (engineReady) {
    if (hooks.resetAnalyticsData) hooks.resetAnalyticsData();
  } else {
    setDeferredResetOnDeniedConsent(true);
  }
  return TLWConsentUpdateResult::Withdrawn;
}

void TLWConsentPersistence::loadPersistedConsentSettings() {
  std::lock_guard lock(mutex_);
  loadPersistedConsentSettingsLocked();
}

void TLWConsentPersistence::loadPersistedConsentSettingsLocked() {
  const std::int64_t stored = persistedConsentSource();
  if (stored == kTLWConsentSourceNone) return;
  if (auto settings = consentSettings3P()) {
    consent_->setConsentSettings(std::move(settings));
    consent_->setConsentSource(std::min<std::int64_t>(stored, kTLWConsentSourcePlistDefaults));
  } else if (auto settings1P = consentSettings1P()) {
    consent_->setConsentSettings(std::move(settings1P));
    consent_->setConsentSource(std::min<std::int64_t>(stored, kTLWConsentSourceStartUpOptions));
  } else {
    consent_->setConsentSource(stored);
  }
}

void TLWConsentPersistence::persistConsentSettings(const std::optional<platform::Dictionary>& settings,
                                                   std::int64_t source) {
  std::string_view key = source <= kTLWConsentSourcePlistDefaults ? kSettings3PKey : kSettings1PKey;
  if (settings) {
    (void)suite_->setObject(platform::Value(*settings), key);
  } else {
    suite_->removeObjectForKey(key);
  }
  (void)suite_->setInteger(source, kSourceKey);
  flushSuite();
}

std::int64_t TLWConsentPersistence::persistedConsentSource() {
  platform::Value value = suite_->objectForKey(kSourceKey);
  if (!value.isNumber()) return kTLWConsentSourceNone;
  return value.int64Value().value_or(kTLWConsentSourceNone);
}

std::optional<platform::Dictionary> TLWConsentPersistence::storedDictionary(std::string_view key) {
  return suite_->dictionaryForKey(key);
}

std::optional<platform::Dictionary> TLWConsentPersistence::consentSettings3P() {
  return storedDictionary(kSettings3PKey);
}

std::optional<platform::Dictionary> TLWConsentPersistence::consentSettings1P() {
  return storedDictionary(kSettings1PKey);
}

std::optional<platform::Dictionary> TLWConsentPersistence::consentSettings1PStart() {
  return storedDictionary(kSettingsOnStartKey);
}

bool TLWConsentPersistence::deferredResetOnDeniedConsent() { return suite_->boolForKey(kDeferredResetKey); }

void TLWConsentPersistence::setDeferredResetOnDeniedConsent(bool deferred) {
  (void)suite_->setBool(deferred, kDeferredResetKey);
  flushSuite();
}

void TLWConsentPersistence::removeStartUpConsentSettings() {
  suite_->removeObjectForKey(kSettingsOnStartKey);
  flushSuite();
}

void TLWConsentPersistence::removeDeferredResetOnDeniedConsent() {
  suite_->removeObjectForKey(kDeferredResetKey);
  flushSuite();
}

void TLWConsentPersistence::clearConsent() {
  std::lock_guard lock(mutex_);
  clearConsentLocked();
}

void TLWConsentPersistence::clearConsentLocked() {
  for (std::string_view key : {kSourceKey, kSettings3PKey, kSettings1PKey, kSettingsOnStartKey, kDeferredResetKey}) {
    suite_->removeObjectForKey(key);
  }
  flushSuite();
  consent_->setConsentSettings(std::nullopt);
}

platform::Dictionary TLWConsentPersistence::persistStartUpConsentFromOptions(const platform::Dictionary& options) {
  platform::Dictionary startUp = TLWConsentSettingsUtil::consentSettingsFromDictionary(options);
  if (!startUp.empty()) {
    (void)suite_->setObject(platform::Value(startUp), kSettingsOnStartKey);
    flushSuite();
  }
  return startUp;
}

void TLWConsentPersistence::setProspectiveConsentSettings() {
  std::lock_guard lock(mutex_);
  setProspectiveConsentSettingsLocked();
}

void TLWConsentPersistence::setProspectiveConsentSettingsLocked() {
  const std::optional<platform::Dictionary> current = consent_->consentSettings();
  const std::int64_t currentSource = consent_->consentSource();
  const std::optional<platform::Dictionary> onStart = consentSettings1PStart();
  const bool hasOnStart = onStart && !onStart->empty();

  std::optional<platform::Dictionary> candidate;
  std::int64_t candidateSource = kTLWConsentSourceNone;
  if (consent_->isConsentSettings3PEnabled()) {
    platform::Dictionary plist = TLWConsentSettingsUtil::consentSettingsFromPlist(env_);
    if (!plist.empty() && consent_->isConsentSourceHigherPriority(kTLWConsentSourcePlistDefaults)) {
      candidate = std::move(plist);
      candidateSource = kTLWConsentSourcePlistDefaults;
    } else if (options_.isPublicInterfacePresent() && (currentSource == kTLWConsentSourceFirstParty ||
                                                       currentSource == kTLWConsentSourceStartUpOptions)) {
      // The family's public interface owns consent: first-party state is dropped.
      clearConsentLocked();
    } else if (hasOnStart && consent_->isConsentSourceHigherPriority(kTLWConsentSourceStartUpOptions)) {
      candidate = onStart;
      candidateSource = kTLWConsentSourceStartUpOptions;
    } else {
      candidate = consentSettings3P();
      candidateSource = kTLWConsentSourcePublicInterface;
    }
  } else if (hasOnStart && consent_->isConsentSourceHigherPriority(kTLWConsentSourceStartUpOptions)) {
    candidate = onStart;
    candidateSource = kTLWConsentSourceStartUpOptions;
  } else {
    candidate = current;
    candidateSource = currentSource;
  }

  if (!candidate || candidate->empty()) return;
  if (!consent_->isConsentSourceHigherPriority(candidateSource)) return;
  consent_->setConsentSettings(candidate);
  consent_->setConsentSource(candidateSource);
  persistConsentSettings(candidate, candidateSource);
}

bool TLWConsentPersistence::reconcileAtEngineStart() {
  std::lock_guard lock(mutex_);
  const std::optional<platform::Dictionary> before = consent_->consentSettings();
  setProspectiveConsentSettingsLocked();
  bool reset = consent_->didWithdrawPreviousConsent(before) || deferredResetOnDeniedConsent();
  suite_->removeObjectForKey(kSettingsOnStartKey);
  suite_->removeObjectForKey(kDeferredResetKey);
  flushSuite();
  return reset;
}

void TLWConsentPersistence::flushSuite() { (void)suite_->synchronize(); }
