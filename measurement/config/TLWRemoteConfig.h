#pragma once
// TLWRemoteConfig: the measurement configuration the service sends for the app, and every
// tunable limit of the library read from it. Each setting has a key, a default and a valid
// range; a server value that is missing, not a decimal number, or outside the range reads
// as the default. Time settings arrive in milliseconds and are read in seconds (the range
// test applies to the seconds). Per-event configurations (blocklist, conversion, sampling)
// are looked up by internal event name.
//
// Thread-safety: every read may come from any thread. A configuration is applied as one
// immutable snapshot swapped in under a lock: a reader sees the old or the new
// configuration, never a mix, and a caller that needs several settings consistent takes
// snapshotLimits() once. updateMeasurementConfig, measurementConfigFromDatabase,
// lastRemoteConfigUpdateTimestamp and isExpired touch the database and run on the
// measurement worker queue only.
//
// Ownership: shared (std::shared_ptr); the database is held weakly. The experiment client,
// audience sink and event-editor factory are held strongly.
//
// Failures: initialisers return null (after logging) for an empty app ID or a missing
// database; updateMeasurementConfig answers false and leaves the configuration in force
// unchanged.
//
// Bad input: a setting without a name or value is skipped (logged); when a name repeats,
// the later entry wins, for settings and for event configurations alike.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/config/TLWAudienceDefinitionSink.h"
#include "measurement/config/TLWEventEditing.h"
#include "measurement/config/TLWExperimentFlags.h"
#include "measurement/model/TLWLimits.h"
#include "measurement/monitor/TLWError.h"
#include "platform/Environment.h"
#include "platform/Value.h"

class TLWDatabase;
class TLWMonitor;
class TLWPBEventConfig;
class TLWPBMeasurementConfig;

inline constexpr std::string_view kTLWExperimentSDKName = "tally_wise";

// Setting keys.
namespace tlw_remote_config_keys {
inline constexpr std::string_view kUploadInterval = "measurement.upload.interval";
inline constexpr std::string_view kRealtimeUploadInterval = "measurement.upload.realtime_upload_interval";
inline constexpr std::string_view kInitialUploadDelayTime = "measurement.upload.initial_upload_delay_time";
inline constexpr std::string_view kDebugUploadInterval = "measurement.upload.debug_upload_interval";
inline constexpr std::string_view kRetryTime = "measurement.upload.retry_time";
inline constexpr std::string_view kRetryCount = "measurement.upload.retry_count";
inline constexpr std::string_view kBackoffPeriod = "measurement.upload.backoff_period";
inline constexpr std::string_view kMaxBundles = "measurement.upload.max_bundles";
inline constexpr std::string_view kMaxEventsPerBundle = "measurement.upload.max_events_per_bundle";
inline constexpr std::string_view kMaxBatchSize = "measurement.upload.max_batch_size";
inline constexpr std::string_view kMaxBundlesCreatedPerIteration = "measurement.upload.max_bundles_created_per_iteration";
inline constexpr std::string_view kStaleDataDeletionInterval = "measurement.upload.stale_data_deletion_interval";
inline constexpr std::string_view kMaxQueueTime = "measurement.upload.max_queue_time";
inline constexpr std::string_view kMaxConversionsPerDay = "measurement.upload.max_conversions_per_day";
inline constexpr std::string_view kMaxEventsPerDay = "measurement.upload.max_events_per_day";
inline constexpr std::string_view kMaxPublicEventsPerDay = "measurement.upload.max_public_events_per_day";
inline constexpr std::string_view kMaxErrorEventsPerDay = "measurement.upload.max_error_events_per_day";
inline constexpr std::string_view kMaxRealtimeEventsPerDay = "measurement.upload.max_realtime_events_per_day";
inline constexpr std::string_view kConfigurableLimitsEnabled = "measurement.upload.configurable_limits_enabled";
inline constexpr std::string_view kMaxPublicUserProperties = "measurement.upload.max_public_user_properties";
inline constexpr std::string_view kMaxEventNameCardinality = "measurement.upload.max_event_name_cardinality";
inline constexpr std::string_view kMaxPublicEventParams = "measurement.upload.max_public_event_params";
inline constexpr std::string_view kBlocklistInternal = "measurement.upload.blacklist_internal";
inline constexpr std::string_view kBlocklistPublic = "measurement.upload.blacklist_public";
inline constexpr std::string_view kMaxStoredEventsPerApp = "measurement.store.max_stored_events_per_app";
inline constexpr std::string_view kAudienceMaxCount = "measurement.audience.max_count";
inline constexpr std::string_view kFilterMaxCountPerAudience = "measurement.audience.filter_max_count_per_audience";
inline constexpr std::string_view kFilterResultMaxCount = "measurement.audience.filter_result_max_count";
inline constexpr std::string_view kParameterMaxCountFilter = "measurement.audience.parameter_max_count_filter";
inline constexpr std::string_view kEventSamplingEnabled = "measurement.event_sampling_enabled";
inline constexpr std::string_view kTimeZoneOffsetMinutes = "measurement.account.time_zone_offset_minutes";
inline constexpr std::string_view kChecksum = "measurement.quality.checksum";
inline constexpr std::string_view kNetworkTimeout = "measurement.network.network_timeout";
inline constexpr std::string_view kBackgroundSessionEnabled = "measurement.network.background_session_enabled";
inline constexpr std::string_view kConfigCacheTime = "measurement.config.cache_time";
inline constexpr std::string_view kMonitoringSamplePeriod = "measurement.monitoring.sample_period_millis";
inline constexpr std::string_view kAdIDCacheTime = "measurement.ad_id_cache_time";
inline constexpr std::string_view kATTMASGate = "measurement.attmas_gate";
inline constexpr std::string_view kLastAdvertisingIDResetFeatureEnabled = "measurement.last_advertising_id_reset_feature_enabled";
inline constexpr std::string_view kNonBlockingAppInstanceIDEnabled = "measurement.non_blocking_app_instance_id_enabled";
inline constexpr std::string_view kConsentSettings = "measurement.api.consent_settings";
inline constexpr std::string_view kConsentSettings3P = "measurement.api.consent_settings_3p";
inline constexpr std::string_view kSessionDefaultMinimumInterval = "measurement.session.default_minimum_interval";
inline constexpr std::string_view kSessionDefaultTimeoutInterval = "measurement.session.default_timeout_interval";
inline constexpr std::string_view kSessionEventUserEngagementInterval = "measurement.session.event_user_engagement_interval";
inline constexpr std::string_view kEfficientEngagementReportingEnabled = "measurement.collection.efficient_engagement_reporting_enabled";
inline constexpr std::string_view kRedundantEngagementRemovalEnabled = "measurement.collection.redundant_engagement_removal_enabled";
inline constexpr std::string_view kAppBackgroundedTracking = "measurement.lifecycle.app_backgrounded_tracking";
inline constexpr std::string_view kAppInBackgroundParameter = "measurement.lifecycle.app_in_background_parameter";
inline constexpr std::string_view kEESFeatureEnabled = "measurement.ees_feature_enabled";
inline constexpr std::string_view kDeferredDeepLinkEnabled = "measurement.ddl.enabled";
inline constexpr std::string_view kDeferredDeepLinkRetryCount = "measurement.ddl.retry_count";
inline constexpr std::string_view kMaxCurrencyTracked = "measurement.lifetimevalue.max_currency_tracked";
inline constexpr std::string_view kAttributionCacheTTL = "measurement.attribution.cache.ttl";
inline constexpr std::string_view kPersistentConfigInApplicationSupportEnabled = "measurement.persistent_config_in_application_support_enabled";
}  // namespace tlw_remote_config_keys

// What the remote configuration takes from its surroundings. Empty members take the
// defaults: Environment::current(), the shared monitor, an origin of "" (not the ads
// origin), no experiment fetching.
struct TLWRemoteConfigDependencies {
  std::shared_ptr<platform::Environment> env;
  std::shared_ptr<TLWMonitor> monitor;
  // The identifiers' origin; "qd" makes updates check the Quado app ID too.
  std::function<std::string()> identifiersOrigin;
  // Whether the engine is enabled (asked before each experiment fetch).
  std::function<bool()> shouldFetchExperiments;
  // Loads the configuration's event-editing program, the stored one included; null:
  // programs are ignored until setEventEditorFactory.
  std::shared_ptr<TLWEventEditorFactory> eventEditorFactory;
};

class TLWRemoteConfig final : public std::enable_shared_from_this<TLWRemoteConfig>,
                              public TLWExperimentClientDelegate {
 public:
  // The shared instance with no app ID, database, configuration or experiment client. It
  // answers only defaults.
  static std::shared_ptr<TLWRemoteConfig> defaultInstance();

  // initWithAppID:database:experimentManager:. Null (logged) when `appID` is empty or
  // `database` is null; otherwise loads the stored configuration.
  static std::shared_ptr<TLWRemoteConfig> initWithAppID(const std::string& appID, std::shared_ptr<TLWDatabase> database,
                                                        std::shared_ptr<TLWExperimentFlags> experimentManager = nullptr,
                                                        TLWRemoteConfigDependencies dependencies = {});
  // The designated initialiser: applies `measurementConfig` when given, else loads the
  // stored one from `database`. An empty app ID with no database makes a default instance.
  static std::shared_ptr<TLWRemoteConfig> initWithAppID(const std::string& appID, std::shared_ptr<TLWDatabase> database,
                                                        std::shared_ptr<TLWPBMeasurementConfig> measurementConfig,
                                                        std::shared_ptr<TLWExperimentFlags> experimentManager,
                                                        TLWRemoteConfigDependencies dependencies = {});
  ~TLWRemoteConfig() override;
  TLWRemoteConfig(const TLWRemoteConfig&) = delete;
  TLWRemoteConfig& operator=(const TLWRemoteConfig&) = delete;

  bool isDefaultInstance() const { return isDefaultInstance_; }
  const std::string& appID() const { return appID_; }

  // --- Settings ------------------------------------------------------------------------
  // Upload schedule (seconds unless named otherwise).
  double uploadingInterval() const;
  double uploadingRealTimeInterval() const;
  double uploadingInitialDelayInterval() const;
  double uploadingDebugModeInterval() const;
  double uploadingRetryInterval() const;
  std::int32_t uploadingRetryCount() const;
  double uploadingBackoffInterval() const;
  std::int64_t uploadMaxBundlesLimit() const;
  std::int64_t uploadMaxEventsPerBundle() const;
  std::int64_t uploadMaxSizeLimitBytes() const;
  // Read like a time setting (server value / 1000), then truncated.
  std::int64_t maxBundlesCreatedPerIteration() const;
  double databaseDeleteStaleBundlesInterval() const;
  double maxQueueTime() const;
  // Daily limits.
  std::int32_t maxConversionsPerDay() const;
  std::int32_t maxEventsPerDay() const;
  std::int32_t maxPublicEventsPerDay() const;
  std::int32_t maxErrorEventsPerDay() const;
  std::int32_t maxRealtimeEventCountPerDay() const;
  // When false, the three limits below answer their fixed values (25, 500, 25).
  bool configurableLimitsEnabled() const;
  std::int32_t maxPublicUserProperties() const;
  std::int32_t maxEventNameCardinality() const;
  std::int32_t maxPublicEventParams() const;
  bool blocklistInternal() const;
  bool blocklistPublic() const;
  std::int32_t maxEventsStored() const;
  // Audiences.
  std::int32_t maxAudienceCount() const;
  std::int32_t maxFiltersPerAudience() const;
  std::int32_t maxFilterResultCount() const;
  std::int32_t maxParametersPerFilter() const;
  bool isEventSamplingEnabled() const;
  std::int32_t analyticsAccountTimeZoneOffsetMinutes() const;
  bool checksumEnabled() const;
  double networkTimeout() const;
  // Experiment flag "network_background_session_enabled" first.
  bool isNetworkBackgroundSessionEnabled() const;
  double remoteConfigCacheTimeInterval() const;
  double monitoringSamplePeriod() const;
  double adIDCacheTime() const;
  bool gateIDFAOnATTMASEnabled() const;
  bool lastAdvertisingIDResetFeatureEnabled() const;
  // Experiment flag "non_blocking_app_instance_id_enabled" first.
  bool nonBlockingAppInstanceIDEnabled() const;
  bool isConsentSettingsEnabled() const;
  bool isConsentSettings3PEnabled() const;
  // Sessions.
  double sessionDefaultMinimumInterval() const;
  double sessionDefaultTimeoutInterval() const;
  double sessionEventUserEngagementInterval() const;
  // Experiment flag "efficient_engagement_reporting_enabled" first.
  bool efficientEngagementReportingEnabled() const;
  // Experiment flag "redundant_engagement_removal_enabled" first.
  bool redundantEngagementRemovalEnabled() const;
  bool appBackgroundedEventEnabled() const;
  bool appInBackgroundParameterEnabled() const;
  bool eesFeatureEnabled() const;
  bool isDeferredDeepLinkEnabled() const;
  std::int32_t maxDeferredDeepLinkRetryCount() const;
  std::int32_t maxTrackedCurrencies() const;
  double attributionCacheTTLInterval() const;
  // Experiment flag "persistent_config_in_application_support_enabled" first.
  bool persistentConfigInApplicationSupportEnabled() const;

  // --- Generic readers (any key; the same parse and range rules) --------------------------
  // Null for an empty key (logged), else the parsed server value when it passes
  // min <= value <= max, else `defaultValue`. `transform` (when given) maps the parsed
  // number before the range test.
  platform::Value numberFromCacheWithKey(std::string_view key, const platform::Value& defaultValue,
                                         const platform::Value& maxValue, const platform::Value& minValue,
                                         const std::function<platform::Value(const platform::Value&)>& transform = {}) const;
  std::int32_t intValueFromCacheWithKey(std::string_view key, std::int32_t defaultValue, std::int32_t maxValue,
                                        std::int32_t minValue) const;
  std::int64_t int64ValueFromCacheWithKey(std::string_view key, std::int64_t defaultValue, std::int64_t maxValue,
                                          std::int64_t minValue) const;
  // No bounds: any value that fits a signed 64-bit integer.
  std::int64_t int64ValueFromCacheWithKey(std::string_view key, std::int64_t defaultValue) const;
  // The server value in milliseconds, read as seconds before the range test.
  double timeIntervalInSecondsFromCacheWithKey(std::string_view key, double defaultValue, double maxValue,
                                               double minValue) const;
  // The server's string for `key` as sent, or nullopt.
  std::optional<std::string> settingStringForKey(std::string_view key) const;
  // A decimal number: optional sign, digits, optional fraction; an Int value when it is
  // integral and fits 64 bits, else a Double. Null for anything else (empty, spaces,
  // exponents, grouping, hexadecimal, "nan", "inf").
  static platform::Value numberFromString(std::string_view text);

  // --- Event configurations (by internal event name) -------------------------------------
  // Null for an unknown or empty name (the empty one logged).
  std::shared_ptr<const TLWPBEventConfig> eventConfigWithName(std::string_view eventName) const;
  bool isEventBlocklisted(std::string_view eventName) const;
  bool isEventCustomConversion(std::string_view eventName) const;
  bool eventHasSamplingRate(std::string_view eventName) const;
  // The configured rate when 2 <= rate < 65536, else 1.
  std::int32_t samplingRateForEvent(std::string_view eventName) const;
  std::size_t eventConfigCount() const;

  // --- The configuration ---------------------------------------------------------------
  // The configuration's version, -1 without a configuration or version.
  std::int64_t version() const;
  // The configuration in force (a copy), or null.
  std::shared_ptr<TLWPBMeasurementConfig> measurementConfig() const;
  std::vector<std::int64_t> experimentIDs() const;
  // Stores `config` in the database and makes it the configuration in force. False
  // (logged) on the default instance, for null, for another app ID (or Quado app ID under
  // the ads origin), or when the database refuses it. Worker queue.
  [[nodiscard]] bool updateMeasurementConfig(std::shared_ptr<TLWPBMeasurementConfig> config);
  // Makes `config` the configuration in force without storing it. Ignored when its app ID
  // differs; a configuration with no settings puts every setting and event configuration
  // back to its default (logged). Any thread.
  void parseRemoteConfigFromMeasurementConfig(const TLWPBMeasurementConfig& config);
  // The stored configuration, parsed into force; null when none (or on the default
  // instance, or a database error, each logged). Worker queue.
  std::shared_ptr<TLWPBMeasurementConfig> measurementConfigFromDatabase();
  // Back to defaults: no configuration, no event configs, no editor; resets the experiment
  // client.
  void reset();
  // |now - last fetch| >= remoteConfigCacheTimeInterval(); false on the default instance.
  // Worker queue.
  bool isExpired();
  // Seconds since 1970 of the last successful fetch, 0 when unknown. Worker queue.
  double lastRemoteConfigUpdateTimestamp();

  // The configuration URL: base + "/config/app/<app ID>?" + the pairs app_instance_id,
  // platform, runtime_version, zel_version in that (dictionary) order, percent-encoded.
  // With analytics storage denied the app instance ID is sent empty; otherwise an empty
  // app instance ID or platform yields nullopt (logged).
  std::optional<std::string> remoteConfigURLWithAppInstanceID(std::string_view appInstanceID,
                                                              std::string_view platformName,
                                                              std::string_view SDKVersion,
                                                              std::string_view runtimeVersion,
                                                              bool analyticsStorageDenied) const;

  // --- SDK experiments -----------------------------------------------------------------
  bool hasNewSnapshot() const;
  // Activates a snapshot received since the last activation; true when one was activated.
  bool activateNewSnapshot();
  void clientDidReceiveNewSnapshot() override;
  void clientDidReceiveFetchError(const TLWError& error) override;
  bool shouldFetchExperimentsForClient() override;
  std::shared_ptr<TLWExperimentFlags> experimentClient() const;

  // --- Seams for later subsystems --------------------------------------------------------
  // The editor built from the configuration's first program, or null (no program, no
  // factory, or loading failed). Worker queue.
  std::shared_ptr<TLWEventEditor> eventEditing() const;
  // Builds editors for configurations applied from now on (null: none).
  void setEventEditorFactory(std::shared_ptr<TLWEventEditorFactory> factory);
  // Where fetched audience definitions go; null until the engine installs its audiences.
  std::shared_ptr<TLWAudienceDefinitionSink> audienceSink() const;
  void setAudienceSink(std::shared_ptr<TLWAudienceDefinitionSink> sink);

  // --- Limits for the model ----------------------------------------------------------------
  // The limits of the configuration in force, fixed at this instant.
  std::shared_ptr<const TLWLimits> snapshotLimits() const;
  // Makes this configuration the source of TLWLimits::current(), now and after every
  // later change, until another instance installs itself or this one is destroyed.
  void installAsCurrentLimits();

 private:
  struct State;
  struct Token {
    explicit Token() = default;
  };

 public:
  TLWRemoteConfig(Token, std::string appID, std::shared_ptr<TLWDatabase> database,
                  std::shared_ptr<TLWExperimentFlags> experimentManager, TLWRemoteConfigDependencies dependencies);

 private:
  std::shared_ptr<const State> state() const;
  void installState(std::shared_ptr<const State> next);
  std::shared_ptr<const TLWLimits> snapshotLimitsLocked() const;  // stateMutex_ held
  std::shared_ptr<const State> buildState(const TLWPBMeasurementConfig* config) const;
  void registerExperimentClient();
  void log(std::int64_t level, std::int64_t code, std::string_view message) const;
  void log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& c1) const;
  void log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& c1,
           const platform::Value& c2) const;
  std::optional<bool> experimentFlag(std::string_view flagName) const;

  const std::string appID_;
  const std::weak_ptr<TLWDatabase> database_;
  const bool hasDatabase_;
  const bool isDefaultInstance_;
  const std::shared_ptr<TLWExperimentFlags> experimentClient_;
  const std::shared_ptr<platform::Environment> env_;
  const std::shared_ptr<TLWMonitor> monitor_;
  const std::function<std::string()> identifiersOrigin_;
  const std::function<bool()> shouldFetchExperiments_;

  mutable std::mutex stateMutex_;
  std::shared_ptr<const State> state_;
  std::shared_ptr<const TLWLimits> installedLimits_;  // guarded by stateMutex_
  bool limitsInstalled_ = false;                      // guarded by stateMutex_

  mutable std::mutex snapshotMutex_;
  bool hasNewSnapshot_ = false;  // guarded by snapshotMutex_

  mutable std::mutex seamMutex_;
  std::shared_ptr<TLWEventEditorFactory> editorFactory_;    // guarded by seamMutex_
  std::shared_ptr<TLWAudienceDefinitionSink> audienceSink_;  // guarded by seamMutex_
};
