#include "measurement/config/TLWConsentIdentitySettings.h"

#include "measurement/config/TLWRemoteConfig.h"

namespace {

// The configuration to ask: the given one, else the default instance (which answers the
// built-in defaults).
const TLWRemoteConfig* configOrDefault(const TLWRemoteConfig* remoteConfig) {
  if (remoteConfig) return remoteConfig;
  static const auto& fallback = *new std::shared_ptr<TLWRemoteConfig>(TLWRemoteConfig::defaultInstance());
  return fallback.get();
}

}  // namespace

bool TLWConsentIdentitySettings::isConsentSettingsEnabled(const TLWRemoteConfig* remoteConfig) {
  const TLWRemoteConfig* config = configOrDefault(remoteConfig);
  return config ? config->isConsentSettingsEnabled() : true;
}

bool TLWConsentIdentitySettings::isConsentSettings3PEnabled(const TLWRemoteConfig* remoteConfig) {
  const TLWRemoteConfig* config = configOrDefault(remoteConfig);
  return config ? config->isConsentSettings3PEnabled() : true;
}

double TLWConsentIdentitySettings::adIDCacheTime(const TLWRemoteConfig* remoteConfig) {
  const TLWRemoteConfig* config = configOrDefault(remoteConfig);
  return config ? config->adIDCacheTime() : 1.0;
}

bool TLWConsentIdentitySettings::gateIDFAOnATTMASEnabled(const TLWRemoteConfig* remoteConfig) {
  const TLWRemoteConfig* config = configOrDefault(remoteConfig);
  return config ? config->gateIDFAOnATTMASEnabled() : false;
}

bool TLWConsentIdentitySettings::lastAdvertisingIDResetFeatureEnabled(const TLWRemoteConfig* remoteConfig) {
  const TLWRemoteConfig* config = configOrDefault(remoteConfig);
  return config ? config->lastAdvertisingIDResetFeatureEnabled() : true;
}

bool TLWConsentIdentitySettings::nonBlockingAppInstanceIDEnabled(const TLWRemoteConfig* remoteConfig) {
  const TLWRemoteConfig* config = configOrDefault(remoteConfig);
  return config ? config->nonBlockingAppInstanceIDEnabled() : false;
}
