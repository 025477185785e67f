#pragma once
// The remote-configuration settings that consent and identity read, answered from a
// TLWRemoteConfig when one is given and from the built-in defaults otherwise (the engine
// installs its configuration once it has one).
//
// Thread-safety: as the remote configuration's accessors (any thread).

class TLWRemoteConfig;

struct TLWConsentIdentitySettings {
  // "measurement.api.consent_settings", default on.
  static bool isConsentSettingsEnabled(const TLWRemoteConfig* remoteConfig);
  // "measurement.api.consent_settings_3p", default on.
  static bool isConsentSettings3PEnabled(const TLWRemoteConfig* remoteConfig);
  // "measurement.ad_id_cache_time" in seconds, default 1.
  static double adIDCacheTime(const TLWRemoteConfig* remoteConfig);
  // "measurement.attmas_gate", default off.
  static bool gateIDFAOnATTMASEnabled(const TLWRemoteConfig* remoteConfig);
  // "measurement.last_advertising_id_reset_feature_enabled", default on.
  static bool lastAdvertisingIDResetFeatureEnabled(const TLWRemoteConfig* remoteConfig);
  // "measurement.non_blocking_app_instance_id_enabled", default off.
  static bool nonBlockingAppInstanceIDEnabled(const TLWRemoteConfig* remoteConfig);
};
