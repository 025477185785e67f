#pragma once
// TLWIdentity: every identifier the library attaches to its data: the app instance ID
// (random, persisted, withheld while analytics storage is denied), the registered app IDs,
// the bundle identifier and versions, the advertising identifier and its hash, limited ad
// tracking, the tracking-authorisation status, the vendor identifier and the installation
// identifier.
//
// Thread-safety: any thread, except that no getter may be called from a block running on
// the identity queue "TLWIdentityWorkerQueue" (background priority), where the cached
// state lives. Getters of cached identifiers first schedule a refresh (updateIdentifiers)
// and then read synchronously on the queue; setters queue their change asynchronously, so
// a read issued after a write sees it. appIDFromZEL / appIDFromQuado are read without a
// refresh. The installation identifier and the plain facts read at creation are guarded
// by their own lock.
//
// Ownership: sharedInstance() is the process-wide identity on the shared persisted
// configuration and consent state; tests create their own with initWithPersistedConfig.
// Queued blocks hold the identity weakly and do nothing once it is gone. The remote
// configuration (cache time and feature switches) is held once set; until then its
// defaults apply.
//
// Failure: a missing identifier is nullopt (logged where the codes say); nothing throws.
// Persistent copies live in the persisted configuration under "/vorlix/measurement/":
// "app_instance_id", "hashed_idfa", "zel_app_id", "quado_app_id",
// "set_last_advertising_id_reset". A stored value of the wrong kind reads as absent.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Environment.h"

class TLWConsentSettingsUtil;
class TLWDefaultIdentitySupport;
class TLWMonitor;
class TLWPersistedConfig;
class TLWRemoteConfig;

inline constexpr std::string_view kTLWIdentityWorkerQueueLabel = "TLWIdentityWorkerQueue";
inline constexpr std::string_view kTLWIdentityIDFVCollectionEnabledKey = "VORLIX_ANALYTICS_IDFV_COLLECTION_ENABLED";
// The build string the library version is derived from.
inline constexpr std::string_view kTLWLibraryBuildString = "80901000";

// Tracking-authorisation status as sent in bundles.
enum TLWAppleConsentStatus : std::int64_t {
  kTLWAppleConsentStatusRestricted = 1,
  kTLWAppleConsentStatusDenied = 2,
  kTLWAppleConsentStatusAuthorized = 3,
  kTLWAppleConsentStatusNotDetermined = 4,
  kTLWAppleConsentStatusUnknown = 5,      // outside 0..3, or no status
  kTLWAppleConsentStatusUnavailable = 6,  // no framework, or OS older than 14
};

class TLWIdentity : public std::enable_shared_from_this<TLWIdentity> {
 public:
  struct Options {
    // Store build probe (isFromAppStore). Default: TALLYWISE_STORE_BUILD=1 in the process
    // environment.
    std::function<bool()> isFromAppStore;
    // Whether the public-interface class "TWKAnalytics" is present (an empty ZEL app ID is
    // then logged as an error). Default: the class registry knows it.
    std::function<bool()> isPublicInterfacePresent;
  };

  // Created once with the shared persisted configuration; null (logged, 20003) when that
  // failed.
  static std::shared_ptr<TLWIdentity> sharedInstance();
  // Null (logged, 20004) without a persisted configuration. The others default to the
  // current environment, the shared consent state, the shared identity support and the
  // shared monitor.
  static std::shared_ptr<TLWIdentity> initWithPersistedConfig(std::shared_ptr<TLWPersistedConfig> persistedConfig,
                                                              std::shared_ptr<platform::Environment> env = nullptr,
                                                              std::shared_ptr<TLWConsentSettingsUtil> consent = nullptr,
                                                              std::shared_ptr<TLWDefaultIdentitySupport> support = nullptr,
                                                              std::shared_ptr<TLWMonitor> monitor = nullptr,
                                                              Options options = {});
  ~TLWIdentity();

  // The remote configuration for adIDCacheTime, gateIDFAOnATTMASEnabled,
  // lastAdvertisingIDResetFeatureEnabled and nonBlockingAppInstanceIDEnabled.
  void setRemoteConfig(std::shared_ptr<TLWRemoteConfig> remoteConfig);

  // App instance ID: nullopt while none is persisted (for instance while analytics
  // storage is denied).
  std::optional<std::string> appInstanceID();
  // Persists (nullopt or "" removes) asynchronously; used by resets.
  void setAppInstanceID(std::optional<std::string> appInstanceID);
  // A data reset: a new random app instance ID (none while analytics storage is denied)
  // replaces the persisted one and the cached advertising facts are forgotten, so the
  // next read refreshes them. Returns the new ID.
  std::optional<std::string> resetAppInstanceID();
  // Forgets the cached advertising identifier, status, vendor identifier and the time of
  // the last refresh (asynchronous).
  void clearCachedIdentifiers();

  std::optional<std::string> resettableDeviceID();
  std::optional<std::string> hashedResettableDeviceID();
  bool limitedAdTracking();
  bool hasLimitedAdTracking();
  std::int64_t appleConsentStatus();
  std::optional<std::string> identifierForVendor();

  // The getters above in one turn of the identity queue and one refresh: an event's
  // metadata reads all of them for every stored event.
  struct Identifiers {
    std::optional<std::string> resettableDeviceID;
    std::optional<std::string> identifierForVendor;
    std::optional<std::string> appInstanceID;
    bool hasLimitedAdTracking = false;
    bool limitedAdTracking = false;
    std::int64_t appleConsentStatus = kTLWAppleConsentStatusUnavailable;
  };
  Identifiers identifiers();

  std::optional<std::string> appIDFromZEL();
  std::optional<std::string> appIDFromQuado();
  // The first non-empty call of the process wins; later calls are ignored. An empty value
  // is refused (20005 / 20007). True when the value was accepted.
  bool setAppIDFromZEL(const std::string& appID);
  bool setAppIDFromQuado(const std::string& appID);

  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);

  bool isFromAppStore();
  bool iOS14OrAbove();
  // 32 upper-case hexadecimal characters (a random UUID without its dashes).
  std::string randomAppInstanceID();
  // Schedules a refresh of the advertising facts on the identity queue.
  void updateIdentifiers();
  // The same refresh, done before returning; for worker threads that must not hop (never the
  // main thread, which must not wait on the identity queue).
  void refreshIdentifiersNow();
  // Clears the persisted hash while ad storage is denied and the persisted app instance
  // ID while analytics storage is denied.
  void enforceConsentSettings();
  // Waits until every block queued on the identity queue so far has run (tests).
  void flush();

  // Plain facts read at creation.
  std::optional<bool> idfvCollectionEnabled() const { return idfvCollectionEnabled_; }
  const std::string& appID() const { return appID_; }
  const std::string& appVersion() const { return appVersion_; }
  std::optional<std::int64_t> appVersionMajor() const { return appVersionMajor_; }
  std::optional<std::int64_t> appVersionMinor() const { return appVersionMinor_; }
  std::optional<std::int64_t> appVersionRelease() const { return appVersionRelease_; }
  const std::string& devCertHash() const { return devCertHash_; }
  std::optional<std::string> tarnwickInstallationID() const;
  void setTarnwickInstallationID(std::optional<std::string> installationID);

  const std::shared_ptr<platform::DispatchQueue>& identityQueue() const { return queue_; }
  const std::shared_ptr<TLWPersistedConfig>& persistedConfig() const { return persistedConfig_; }

  // Split at ".", digits only per non-empty component (20002 logged once when a
  // component had other characters): "1.2b.3" gives 1, 2, 3.
  static std::vector<std::int64_t> numericFieldsFromAppVersionNumeric(std::string_view version,
                                                                      TLWMonitor* monitor = nullptr);
  // 80901: the build string less its last three characters (0 when shorter than four).
  static std::int64_t tallywiseLibraryVersion();
  static std::int64_t libraryVersionFromBuildString(std::string_view build);
  // MD5 of the UTF-8 bytes, 32 lower-case hexadecimal digits; "" when no digest.
  static std::string hashOfResettableDeviceID(std::string_view identifier);

 private:
  // The vendor identifier served next to `resettableDeviceID`, from `cached` when known.
  std::optional<std::string> vendorIdentifierNextTo(const std::optional<std::string>& resettableDeviceID,
                                                    std::optional<std::string> cached);
  TLWIdentity(std::shared_ptr<TLWPersistedConfig> persistedConfig, std::shared_ptr<platform::Environment> env,
              std::shared_ptr<TLWConsentSettingsUtil> consent, std::shared_ptr<TLWDefaultIdentitySupport> support,
              std::shared_ptr<TLWMonitor> monitor, Options options);
  void readFactsAtCreation();
  void refreshOnQueue();
  void refreshThenRead(const std::function<void()>& read);
  // Runs `block` on the identity queue and waits; false (logged) when refused.
  bool runSync(const std::function<void()>& block);
  std::shared_ptr<TLWRemoteConfig> currentRemoteConfig() const;
  double adIDCacheTime() const;
  bool gateIDFAOnATTMASEnabled() const;
  bool lastAdvertisingIDResetFeatureEnabled() const;
  bool nonBlockingAppInstanceIDEnabled() const;

  const std::shared_ptr<TLWPersistedConfig> persistedConfig_;
  const std::shared_ptr<platform::Environment> env_;
  const std::shared_ptr<TLWConsentSettingsUtil> consent_;
  const std::shared_ptr<TLWDefaultIdentitySupport> support_;
  const std::shared_ptr<TLWMonitor> monitor_;
  const Options options_;
  const std::shared_ptr<platform::DispatchQueue> queue_;

  // Facts set at creation, then read-only.
  std::optional<bool> idfvCollectionEnabled_;
  std::string appID_;
  std::string appVersion_;
  std::optional<std::int64_t> appVersionMajor_, appVersionMinor_, appVersionRelease_;
  std::string devCertHash_;

  // Identity queue only.
  std::optional<std::string> appIDFromZEL_, appIDFromQuado_;
  std::optional<double> lastUpdate_;
  std::optional<std::string> resettableDeviceID_;
  bool limitedAdTracking_ = false;
  bool hasLimitedAdTracking_ = false;
  std::int64_t appleConsentStatus_ = kTLWAppleConsentStatusUnavailable;
  std::optional<std::string> identifierForVendor_;

  std::atomic<bool> refreshPending_{false};
  std::atomic<bool> didSetAppIDFromZEL_{false};
  std::atomic<bool> didSetAppIDFromQuado_{false};

  mutable std::mutex mutex_;  // guards the two below
  std::optional<std::string> tarnwickInstallationID_;
  std::shared_ptr<TLWRemoteConfig> remoteConfig_;
};
