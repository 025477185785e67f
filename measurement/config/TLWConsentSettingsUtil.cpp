#include "measurement/config/TLWConsentSettingsUtil.h"

#include <algorithm>
#include <cctype>

#include "measurement/config/TLWConsentIdentitySettings.h"
#include "measurement/monitor/TLWMonitor.h"
#include "platform/app/Bundle.h"

namespace {

constexpr std::string_view kDefaultAllowAdStorageKey = "VORLIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
constexpr std::string_view kDefaultAllowAnalyticsStorageKey = "VORLIX_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE";

char signalCharacter(const platform::Dictionary& settings, std::string_view type) {
  const platform::Value* value = settings.find(type);
  if (!value) return '-';
  const std::string* text = value->string();
  if (!text) return '-';
  if (*text == kTLWConsentValueGranted) return '1';
  if (*text == kTLWConsentValueDenied) return '0';
  return '-';
}

std::string descriptionValue(const std::optional<platform::Dictionary>& settings, std::string_view type) {
  const platform::Value* value = settings ? settings->find(type) : nullptr;
  if (!value || value->isNull()) return std::string(kTLWConsentValueGranted);
  if (const std::string* text = value->string()) return *text;
  return value->description();
}

}  // namespace

std::shared_ptr<TLWConsentSettingsUtil> TLWConsentSettingsUtil::sharedInstance() {
  static const auto& instance = *new std::shared_ptr<TLWConsentSettingsUtil>(create());
  return instance;
}

std::shared_ptr<TLWConsentSettingsUtil> TLWConsentSettingsUtil::create(std::shared_ptr<TLWMonitor> monitor) {
  return std::shared_ptr<TLWConsentSettingsUtil>(new TLWConsentSettingsUtil(std::move(monitor)));
}

TLWConsentSettingsUtil::TLWConsentSettingsUtil(std::shared_ptr<TLWMonitor> monitor)
    : queue_(platform::DispatchQueue::create(std::string(kTLWConsentSettingsUtilQueueLabel),
                                             platform::QueuePriority::Utility)),
      monitor_(std::move(monitor)) {}

void TLWConsentSettingsUtil::setRemoteConfig(std::shared_ptr<TLWRemoteConfig> remoteConfig) {
  std::lock_guard lock(remoteConfigMutex_);
  remoteConfig_ = std::move(remoteConfig);
}

std::shared_ptr<TLWRemoteConfig> TLWConsentSettingsUtil::remoteConfig() const {
  std::lock_guard lock(remoteConfigMutex_);
  return remoteConfig_;
}

bool TLWConsentSettingsUtil::isConsentSettingsEnabled() const {
  return TLWConsentIdentitySettings::isConsentSettingsEnabled(remoteConfig().get());
}

bool TLWConsentSettingsUtil::isConsentSettings3PEnabled() const {
  return TLWConsentIdentitySettings::isConsentSettings3PEnabled(remoteConfig().get());
}

TLWConsentSettingsUtil::State TLWConsentSettingsUtil::readState() const {
  // A read from the queue's own blocks is refused (and logged) by the queue; it answers
  // the initial state rather than state a write may be changing.
  State copy;
  (void)queue_->sync([&] { copy = state_; });
  return copy;
}

std::optional<platform::Dictionary> TLWConsentSettingsUtil::consentSettings() const { return readState().settings; }

void TLWConsentSettingsUtil::setConsentSettings(std::optional<platform::Dictionary> settings) {
  queue_->asyncWeak(shared_from_this(), [settings = std::move(settings)](TLWConsentSettingsUtil& self) {
    self.state_.settings = settings;
    if (!settings) self.state_.source = kTLWConsentSourceNone;
  });
}

void TLWConsentSettingsUtil::updateSettings(const platform::Dictionary& settings) {
  queue_->asyncWeak(shared_from_this(), [settings](TLWConsentSettingsUtil& self) {
    platform::Dictionary merged = self.state_.settings.value_or(platform::Dictionary{});
    for (const auto& [key, value] : settings) merged.set(key, value);
    self.state_.settings = std::move(merged);
  });
}

std::int64_t TLWConsentSettingsUtil::consentSource() const { return readState().source; }

void TLWConsentSettingsUtil::setConsentSource(std::int64_t source) {
  queue_->asyncWeak(shared_from_this(), [source](TLWConsentSettingsUtil& self) { self.state_.source = source; });
}

bool TLWConsentSettingsUtil::isConsentSourceHigherPriority(std::int64_t source) const {
  return consentSource() >= source;
}

bool TLWConsentSettingsUtil::isDeniedValue(const platform::Value* value) {
  if (!value) return false;
  const std::string* text = value->string();
  if (!text || text->size() != kTLWConsentValueDenied.size()) return false;
  return std::equal(text->begin(), text->end(), kTLWConsentValueDenied.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

bool TLWConsentSettingsUtil::isDenied(std::string_view type) const {
  if (!isConsentSettingsEnabled()) return false;
  auto settings = consentSettings();
  return settings && isDeniedValue(settings->find(type));
}

bool TLWConsentSettingsUtil::isAdStorageDenied() const { return isDenied(kTLWConsentTypeAdStorage); }

bool TLWConsentSettingsUtil::isAnalyticsStorageDenied() const { return isDenied(kTLWConsentTypeAnalyticsStorage); }

bool TLWConsentSettingsUtil::didWithdrawPreviousConsent(const platform::Value& previousSettings) const {
  if (previousSettings.isNull()) return didWithdrawPreviousConsent(std::optional<platform::Dictionary>{});
  const platform::Dictionary* previous = previousSettings.dictionary();
  if (!previous) return false;
  return didWithdrawPreviousConsent(std::optional<platform::Dictionary>(*previous));
}

bool TLWConsentSettingsUtil::didWithdrawPreviousConsent(
    const std::optional<platform::Dictionary>& previousSettings) const {
  if (!isConsentSettingsEnabled()) return false;
  auto current = consentSettings();
  if (!current) return false;
  if (previousSettings && *previousSettings == *current) return false;
  for (std::string_view type : {kTLWConsentTypeAdStorage, kTLWConsentTypeAnalyticsStorage}) {
    bool wasDenied = previousSettings && isDeniedValue(previousSettings->find(type));
    if (!wasDenied && isDeniedValue(current->find(type))) return true;
  }
  return false;
}

std::string TLWConsentSettingsUtil::signalForSettings(const std::optional<platform::Dictionary>& settings) {
  platform::Dictionary empty;
  const platform::Dictionary& s = settings ? *settings : empty;
  std::string signal = "G1";
  signal += signalCharacter(s, kTLWConsentTypeAdStorage);
  signal += signalCharacter(s, kTLWConsentTypeAnalyticsStorage);
  return signal;
}

std::optional<std::string> TLWConsentSettingsUtil::consentSignals() const {
  if (!isConsentSettings3PEnabled() || !isConsentSettingsEnabled()) return std::nullopt;
  return signalForSettings(consentSettings());
}

std::string TLWConsentSettingsUtil::description() const {
  auto settings = consentSettings();
  return std::string(kTLWConsentTypeAdStorage) + " is " + descriptionValue(settings, kTLWConsentTypeAdStorage) +
         ". " + std::string(kTLWConsentTypeAnalyticsStorage) + " is " +
         descriptionValue(settings, kTLWConsentTypeAnalyticsStorage) + ".";
}

void TLWConsentSettingsUtil::flush() const {
  if (queue_->isCurrent()) return;
  (void)queue_->sync([] {});
}

platform::Dictionary TLWConsentSettingsUtil::consentSettingsFromDictionary(const platform::Dictionary& dictionary) {
  platform::Dictionary reduced;
  for (std::string_view type : {kTLWConsentTypeAdStorage, kTLWConsentTypeAnalyticsStorage}) {
    if (const platform::Value* value = dictionary.find(type)) reduced.set(platform::Value(type), *value);
  }
  return reduced;
}

platform::Dictionary TLWConsentSettingsUtil::consentSettingsFromInfoDictionary(const platform::Dictionary& info) {
  platform::Dictionary settings;
  auto apply = [&](std::string_view plistKey, std::string_view type) {
    const platform::Value* value = info.find(plistKey);
    if (!value || !value->isNumber()) return;
    bool allowed = value->boolValue().value_or(false);
    settings.set(platform::Value(type), platform::Value(allowed ? kTLWConsentValueGranted : kTLWConsentValueDenied));
  };
  apply(kDefaultAllowAdStorageKey, kTLWConsentTypeAdStorage);
  apply(kDefaultAllowAnalyticsStorageKey, kTLWConsentTypeAnalyticsStorage);
  return settings;
}

platform::Dictionary TLWConsentSettingsUtil::consentSettingsFromPlist(std::shared_ptr<platform::Environment> env) {
  if (!env) env = platform::Environment::current();
  auto bundle = env ? env->mainBundle() : nullptr;
  if (!bundle) return {};
  return consentSettingsFromInfoDictionary(bundle->infoDictionary());
}
