#include "measurement/config/TLWRemoteConfig.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_map>
#include <utility>

#include "measurement/config/TLWServiceEndpoint.h"
#include "measurement/model/TLWAliasTables.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWDatabase.h"
#include "platform/app/Bundle.h"

namespace keys = tlw_remote_config_keys;

namespace {

enum class Kind {
  kSeconds,  // server milliseconds, read as seconds
  kInt,
  kInt64,
  kFlag,         // true when the value is 1
  kFlagNonZero,  // true when the value is not 0
};

struct SettingSpec {
  std::string_view key;
  Kind kind;
  double defaultValue;
  double maxValue;
  double minValue;
  // Answered instead of the setting while configurable limits are off.
  std::optional<double> fixedValue;
};

// One entry per accessor; the order is the Setting enumeration's.
enum Setting : std::size_t {
  kUploadingInterval,
  kUploadingRealTimeInterval,
  kUploadingInitialDelayInterval,
  kUploadingDebugModeInterval,
  kUploadingRetryInterval,
  kUploadingRetryCount,
  kUploadingBackoffInterval,
  kUploadMaxBundlesLimit,
  kUploadMaxEventsPerBundle,
  kUploadMaxSizeLimitBytes,
  kMaxBundlesCreatedPerIteration,
  kDatabaseDeleteStaleBundlesInterval,
  kMaxQueueTime,
  kMaxConversionsPerDay,
  kMaxEventsPerDay,
  kMaxPublicEventsPerDay,
  kMaxErrorEventsPerDay,
  kMaxRealtimeEventCountPerDay,
  kConfigurableLimitsEnabled,
  kMaxPublicUserProperties,
  kMaxEventNameCardinality,
  kMaxPublicEventParams,
  kBlocklistInternal,
  kBlocklistPublic,
  kMaxEventsStored,
  kMaxAudienceCount,
  kMaxFiltersPerAudience,
  kMaxFilterResultCount,
  kMaxParametersPerFilter,
  kIsEventSamplingEnabled,
  kAnalyticsAccountTimeZoneOffsetMinutes,
  kChecksumEnabled,
  kNetworkTimeout,
  kIsNetworkBackgroundSessionEnabled,
  kRemoteConfigCacheTimeInterval,
  kMonitoringSamplePeriod,
  kAdIDCacheTime,
  kGateIDFAOnATTMASEnabled,
  kLastAdvertisingIDResetFeatureEnabled,
  kNonBlockingAppInstanceIDEnabled,
  kIsConsentSettingsEnabled,
  kIsConsentSettings3PEnabled,
  kSessionDefaultMinimumInterval,
  kSessionDefaultTimeoutInterval,
  kSessionEventUserEngagementInterval,
  kEfficientEngagementReportingEnabled,
  kRedundantEngagementRemovalEnabled,
  kAppBackgroundedEventEnabled,
  kAppInBackgroundParameterEnabled,
  kEesFeatureEnabled,
  kIsDeferredDeepLinkEnabled,
  kMaxDeferredDeepLinkRetryCount,
  kMaxTrackedCurrencies,
  kAttributionCacheTTLInterval,
  kPersistentConfigInApplicationSupportEnabled,
  kSettingCount,
};

constexpr std::array<SettingSpec, kSettingCount> kSpecs = {{
    {keys::kUploadInterval, Kind::kSeconds, 3600, 86400, 15, {}},
    {keys::kRealtimeUploadInterval, Kind::kSeconds, 10, 15, 10, {}},
    {keys::kInitialUploadDelayTime, Kind::kSeconds, 15, 86400, 1, {}},
    {keys::kDebugUploadInterval, Kind::kSeconds, 1, 15, 1, {}},
    {keys::kRetryTime, Kind::kSeconds, 1800, 86400, 60, {}},
    {keys::kRetryCount, Kind::kInt, 6, 24, 1, {}},
    {keys::kBackoffPeriod, Kind::kSeconds, 43200, 604800, 3600, {}},
    {keys::kMaxBundles, Kind::kInt64, 100, 10000, 1, {}},
    {keys::kMaxEventsPerBundle, Kind::kInt64, 1000, 1000000, 1, {}},
    {keys::kMaxBatchSize, Kind::kInt64, 65536, 10485760, 0, {}},
    {keys::kMaxBundlesCreatedPerIteration, Kind::kSeconds, 100, 10000, 1, {}},
    {keys::kStaleDataDeletionInterval, Kind::kSeconds, 86400, 604800, 3600, {}},
    {keys::kMaxQueueTime, Kind::kSeconds, 2419200, 7862400, 604800, {}},
    {keys::kMaxConversionsPerDay, Kind::kInt, 10000, 1000000, 0, {}},
    {keys::kMaxEventsPerDay, Kind::kInt, 100000, 1000000, 0, {}},
    {keys::kMaxPublicEventsPerDay, Kind::kInt, 50000, 1000000, 0, {}},
    {keys::kMaxErrorEventsPerDay, Kind::kInt, 1000, 1000000, 0, {}},
    {keys::kMaxRealtimeEventsPerDay, Kind::kInt, 10, 10, 0, {}},
    {keys::kConfigurableLimitsEnabled, Kind::kFlag, 1, 1, 0, {}},
    {keys::kMaxPublicUserProperties, Kind::kInt, 25, 100, 25, 25},
    {keys::kMaxEventNameCardinality, Kind::kInt, 500, 2000, 500, 500},
    {keys::kMaxPublicEventParams, Kind::kInt, 25, 100, 25, 25},
    {keys::kBlocklistInternal, Kind::kFlag, 0, 1, 0, {}},
    {keys::kBlocklistPublic, Kind::kFlag, 0, 1, 0, {}},
    {keys::kMaxStoredEventsPerApp, Kind::kInt, 100000, 1000000, 0, {}},
    {keys::kAudienceMaxCount, Kind::kInt, 50, 500, 0, {}},
    {keys::kFilterMaxCountPerAudience, Kind::kInt, 10, 100, 0, {}},
    {keys::kFilterResultMaxCount, Kind::kInt, 200, 2000, 0, {}},
    {keys::kParameterMaxCountFilter, Kind::kInt, 25, 250, 0, {}},
    {keys::kEventSamplingEnabled, Kind::kFlag, 0, 1, 0, {}},
    {keys::kTimeZoneOffsetMinutes, Kind::kInt, 0, 900, -900, {}},
    {keys::kChecksum, Kind::kFlag, 0, 1, 0, {}},
    {keys::kNetworkTimeout, Kind::kSeconds, 60, 3600, 30, {}},
    {keys::kBackgroundSessionEnabled, Kind::kFlag, 0, 1, 0, {}},
    {keys::kConfigCacheTime, Kind::kSeconds, 3600, 86400, 60, {}},
    {keys::kMonitoringSamplePeriod, Kind::kSeconds, 86400, 604800, 0, {}},
    {keys::kAdIDCacheTime, Kind::kSeconds, 1, 86400, 0, {}},
    {keys::kATTMASGate, Kind::kFlagNonZero, 0, 1, 0, {}},
    {keys::kLastAdvertisingIDResetFeatureEnabled, Kind::kFlag, 1, 1, 0, {}},
    {keys::kNonBlockingAppInstanceIDEnabled, Kind::kFlag, 0, 1, 0, {}},
    {keys::kConsentSettings, Kind::kFlag, 1, 1, 0, {}},
    {keys::kConsentSettings3P, Kind::kFlag, 1, 1, 0, {}},
    {keys::kSessionDefaultMinimumInterval, Kind::kSeconds, 10, 86400, 0, {}},
    {keys::kSessionDefaultTimeoutInterval, Kind::kSeconds, 1800, 86400, 0, {}},
    // The engagement timer re-arms with this: a floor keeps it from spinning the main queue.
    {keys::kSessionEventUserEngagementInterval, Kind::kSeconds, 3600, 86400, 10, {}},
    {keys::kEfficientEngagementReportingEnabled, Kind::kFlag, 0, 1, 0, {}},
    {keys::kRedundantEngagementRemovalEnabled, Kind::kFlag, 0, 1, 0, {}},
    {keys::kAppBackgroundedTracking, Kind::kFlag, 1, 1, 0, {}},
    {keys::kAppInBackgroundParameter, Kind::kFlag, 1, 1, 0, {}},
    {keys::kEESFeatureEnabled, Kind::kFlag, 1, 1, 0, {}},
    {keys::kDeferredDeepLinkEnabled, Kind::kFlagNonZero, 1, 1, 0, {}},
    {keys::kDeferredDeepLinkRetryCount, Kind::kInt, 5, 10, 0, {}},
    {keys::kMaxCurrencyTracked, Kind::kInt, 4, 100, 1, {}},
    {keys::kAttributionCacheTTL, Kind::kSeconds, 604800, 2592000, 86400, {}},
    {keys::kPersistentConfigInApplicationSupportEnabled, Kind::kFlag, 0, 1, 0, {}},
}};

// SDK-experiment flags the library registers, all defaulting to 0.
constexpr std::array<std::string_view, 5> kExperimentFlagNames = {
    "efficient_engagement_reporting_enabled", "redundant_engagement_removal_enabled",
    "network_background_session_enabled", "non_blocking_app_instance_id_enabled",
    "persistent_config_in_application_support_enabled"};

using StringMap = std::unordered_map<std::string, std::string, TLWStringHash, std::equal_to<>>;

// "integer value / 1000": the parsed number truncated toward zero, then in seconds. Null
// when the number does not fit 64 bits.
platform::Value millisecondsToSeconds(const platform::Value& parsed) {
  if (parsed.isInteger()) return platform::Value(static_cast<double>(*parsed.int64Value()) / 1000.0);
  const double d = parsed.doubleValue().value_or(std::nan(""));
  if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) return platform::Value();
  return platform::Value(static_cast<double>(static_cast<std::int64_t>(d)) / 1000.0);
}

// Truncates toward zero; nullopt when the number is not finite or does not fit.
std::optional<std::int64_t> truncatedInt64(const platform::Value& number) {
  if (number.isInteger() || number.isBool()) return number.int64Value();
  auto d = number.doubleValue();
  if (!d || !std::isfinite(*d) || std::fabs(*d) >= 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(*d);
}

bool isPublicEventName(std::string_view name) { return name.empty() || name.front() != '_'; }

}  // namespace

// One applied configuration. Immutable once built; replaced whole.
struct TLWRemoteConfig::State {
  struct EventConfigEntry {
    std::shared_ptr<const TLWPBEventConfig> message;
    std::optional<bool> blocklisted;
    std::optional<bool> customConversion;
    std::optional<std::int32_t> samplingRate;
  };

  std::shared_ptr<const TLWPBMeasurementConfig> config;
  std::int64_t version = -1;
  std::shared_ptr<const StringMap> settings = std::make_shared<StringMap>();
  std::array<double, kSettingCount> values{};
  std::unordered_map<std::string, EventConfigEntry, TLWStringHash, std::equal_to<>> eventConfigs;
  std::shared_ptr<TLWEventEditor> editor;

  State() {
    for (std::size_t i = 0; i < kSettingCount; ++i) values[i] = kSpecs[i].defaultValue;
  }

  double raw(Setting s) const { return values[s]; }
  // The value with the fixed-limit gate applied.
  double gated(Setting s) const {
    if (kSpecs[s].fixedValue && !flag(kConfigurableLimitsEnabled)) return *kSpecs[s].fixedValue;
    return values[s];
  }
  std::int32_t int32(Setting s) const { return static_cast<std::int32_t>(gated(s)); }
  std::int64_t int64(Setting s) const { return static_cast<std::int64_t>(gated(s)); }
  bool flag(Setting s) const {
    const auto v = static_cast<std::int64_t>(values[s]);
    return kSpecs[s].kind == Kind::kFlagNonZero ? v != 0 : v == 1;
  }
  const EventConfigEntry* eventConfig(std::string_view name) const {
    auto it = eventConfigs.find(name);
    return it == eventConfigs.end() ? nullptr : &it->second;
  }
};

namespace {

// TLWLimits over one applied configuration.
class SnapshotLimits final : public TLWLimits {
 public:
  SnapshotLimits(std::int32_t eventParams, std::int32_t userProperties, std::int32_t cardinality,
                 std::int64_t eventsStored, double queueTime, double staleInterval)
      : eventParams_(eventParams),
        userProperties_(userProperties),
        cardinality_(cardinality),
        eventsStored_(eventsStored),
        queueTime_(queueTime),
        staleInterval_(staleInterval) {}
  std::int32_t maxPublicEventParams() const override { return eventParams_; }
  std::int32_t maxPublicUserProperties() const override { return userProperties_; }
  std::int32_t maxEventNameCardinality() const override { return cardinality_; }
  std::int64_t maxEventsStored() const override { return eventsStored_; }
  double maxQueueTime() const override { return queueTime_; }
  double databaseDeleteStaleBundlesInterval() const override { return staleInterval_; }

 private:
  std::int32_t eventParams_;
  std::int32_t userProperties_;
  std::int32_t cardinality_;
  std::int64_t eventsStored_;
  double queueTime_;
  double staleInterval_;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Creation

std::shared_ptr<TLWRemoteConfig> TLWRemoteConfig::defaultInstance() {
  // Never destroyed: library threads may still use it while the process exits.
  static const std::shared_ptr<TLWRemoteConfig>& instance = *new std::shared_ptr<TLWRemoteConfig>(
      initWithAppID(std::string(), nullptr, std::shared_ptr<TLWPBMeasurementConfig>(), nullptr, {}));
  return instance;
}

std::shared_ptr<TLWRemoteConfig> TLWRemoteConfig::initWithAppID(const std::string& appID,
                                                                std::shared_ptr<TLWDatabase> database,
                                                                std::shared_ptr<TLWExperimentFlags> experimentManager,
                                                                TLWRemoteConfigDependencies dependencies) {
  auto monitor = dependencies.monitor ? dependencies.monitor : TLWMonitor::sharedInstance();
  if (appID.empty()) {
    monitor->logWithLevel(1, 29000, "Cannot init remote configuration without valid Vorlix App ID");
    return nullptr;
  }
  if (!database) {
    monitor->logWithLevel(1, 29001, "Cannot init remote configuration without valid database");
    return nullptr;
  }
  return initWithAppID(appID, std::move(database), std::shared_ptr<TLWPBMeasurementConfig>(),
                       std::move(experimentManager), std::move(dependencies));
}

std::shared_ptr<TLWRemoteConfig> TLWRemoteConfig::initWithAppID(const std::string& appID,
                                                                std::shared_ptr<TLWDatabase> database,
                                                                std::shared_ptr<TLWPBMeasurementConfig> measurementConfig,
                                                                std::shared_ptr<TLWExperimentFlags> experimentManager,
                                                                TLWRemoteConfigDependencies dependencies) {
  auto self = std::make_shared<TLWRemoteConfig>(Token{}, appID, database, std::move(experimentManager),
                                                std::move(dependencies));
  self->registerExperimentClient();
  if (self->isDefaultInstance_) return self;
  if (measurementConfig) {
    // A refused configuration is logged by the update; the instance keeps its defaults.
    (void)self->updateMeasurementConfig(std::move(measurementConfig));
  } else {
    (void)self->measurementConfigFromDatabase();
  }
  return self;
}

TLWRemoteConfig::TLWRemoteConfig(Token, std::string appID, std::shared_ptr<TLWDatabase> database,
                                 std::shared_ptr<TLWExperimentFlags> experimentManager,
                                 TLWRemoteConfigDependencies dependencies)
    : appID_(std::move(appID)),
      database_(database),
      hasDatabase_(database != nullptr),
      isDefaultInstance_(!database && appID_.empty()),
      experimentClient_(std::move(experimentManager)),
      env_(dependencies.env ? std::move(dependencies.env) : platform::Environment::current()),
      monitor_(dependencies.monitor ? std::move(dependencies.monitor) : TLWMonitor::sharedInstance()),
      identifiersOrigin_(std::move(dependencies.identifiersOrigin)),
      shouldFetchExperiments_(std::move(dependencies.shouldFetchExperiments)),
      state_(std::make_shared<const State>()),
      editorFactory_(std::move(dependencies.eventEditorFactory)) {}

TLWRemoteConfig::~TLWRemoteConfig() {
  std::shared_ptr<const TLWLimits> installed;
  {
    std::lock_guard lock(stateMutex_);
    if (!limitsInstalled_) return;
    installed = installedLimits_;
  }
  // Only when nobody replaced them since; otherwise another configuration owns the limits.
  if (TLWLimits::current() == installed) TLWLimits::setCurrent(nullptr);
}

void TLWRemoteConfig::registerExperimentClient() {
  if (!experimentClient_) return;
  std::map<std::string, std::int64_t> defaults;
  for (auto name : kExperimentFlagNames) defaults.emplace(std::string(name), 0);
  std::weak_ptr<TLWExperimentClientDelegate> delegate = std::static_pointer_cast<TLWExperimentClientDelegate>(
      shared_from_this());
  if (!experimentClient_->registerClient(kTLWExperimentSDKName, kTLWLibraryNumericVersion, defaults, delegate)) return;
  TLWError error;
  if (!experimentClient_->activateLatestSnapshot(&error)) {
    log(2, 29023, "Cannot activate stale snapshot. Error", error.asValue());
  }
}

// ---------------------------------------------------------------------------------------
// Logging

void TLWRemoteConfig::log(std::int64_t level, std::int64_t code, std::string_view message) const {
  monitor_->logWithLevel(level, code, message);
}
void TLWRemoteConfig::log(std::int64_t level, std::int64_t code, std::string_view message,
                          const platform::Value& c1) const {
  monitor_->logWithLevel(level, code, message, c1);
}
void TLWRemoteConfig::log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& c1,
                          const platform::Value& c2) const {
  monitor_->logWithLevel(level, code, message, c1, c2);
}

// ---------------------------------------------------------------------------------------
// State

std::shared_ptr<const TLWRemoteConfig::State> TLWRemoteConfig::state() const {
  std::lock_guard lock(stateMutex_);
  return state_;
}

void TLWRemoteConfig::installState(std::shared_ptr<const State> next) {
  std::shared_ptr<const State> replaced;
  std::shared_ptr<const TLWLimits> replacedLimits;
  {
    std::lock_guard lock(stateMutex_);
    replaced = std::exchange(state_, std::move(next));
    if (limitsInstalled_) {
      auto limits = snapshotLimitsLocked();
      replacedLimits = std::exchange(installedLimits_, limits);
      // Under the lock so that two appliers install in the order they swapped.
      TLWLimits::setCurrent(std::move(limits));
    }
  }
}

std::shared_ptr<const TLWLimits> TLWRemoteConfig::snapshotLimitsLocked() const {
  const State& s = *state_;
  return std::make_shared<const SnapshotLimits>(
      s.int32(kMaxPublicEventParams), s.int32(kMaxPublicUserProperties), s.int32(kMaxEventNameCardinality),
      s.int64(kMaxEventsStored), s.gated(kMaxQueueTime), s.gated(kDatabaseDeleteStaleBundlesInterval));
}

std::shared_ptr<const TLWLimits> TLWRemoteConfig::snapshotLimits() const {
  std::lock_guard lock(stateMutex_);
  return snapshotLimitsLocked();
}

void TLWRemoteConfig::installAsCurrentLimits() {
  std::lock_guard lock(stateMutex_);
  limitsInstalled_ = true;
  installedLimits_ = snapshotLimitsLocked();
  TLWLimits::setCurrent(installedLimits_);
}

std::shared_ptr<const TLWRemoteConfig::State> TLWRemoteConfig::buildState(const TLWPBMeasurementConfig* config) const {
  auto next = std::make_shared<State>();
  if (!config) return next;

  next->config = config->copy();
  if (config->HasField(TLWPBMeasurementConfig::kVersion)) next->version = config->GetInt64(TLWPBMeasurementConfig::kVersion);

  const auto settings = config->GetRepeated<TLWPBSetting>(TLWPBMeasurementConfig::kSettings);
  if (settings.empty()) {
    log(2, 29012, "Cannot parse empty measurement config. Using default values");
    return next;
  }

  auto strings = std::make_shared<StringMap>();
  strings->reserve(settings.size());
  for (const auto& setting : settings) {
    auto name = setting->GetString(TLWPBSetting::kName);
    auto value = setting->GetString(TLWPBSetting::kValue);
    if (!name || name->empty() || !value) {
      log(5, 29019, "Cannot cache empty configuration value", platform::Value(name.value_or(std::string())));
      continue;
    }
    // A repeated name: the later entry wins.
    (*strings)[std::move(*name)] = std::move(*value);
  }
  next->settings = strings;

  for (std::size_t i = 0; i < kSettingCount; ++i) {
    const SettingSpec& spec = kSpecs[i];
    auto found = strings->find(spec.key);
    if (found == strings->end()) continue;
    platform::Value parsed = numberFromString(found->second);
    if (!parsed.isNull() && spec.kind == Kind::kSeconds) parsed = millisecondsToSeconds(parsed);
    const std::optional<double> number = parsed.isNull() ? std::nullopt : parsed.doubleValue();
    if (!number || *number < spec.minValue || *number > spec.maxValue) {
      log(3, 29028, "Configuration setting is not a number in range. Using the default. Key, value",
          platform::Value(spec.key), platform::Value(found->second.substr(0, 64)));
      continue;
    }
    next->values[i] = *number;
  }

  const auto eventConfigs = config->GetRepeated<TLWPBEventConfig>(TLWPBMeasurementConfig::kEventConfig);
  next->eventConfigs.reserve(eventConfigs.size());
  for (const auto& eventConfig : eventConfigs) {
    auto name = eventConfig->GetString(TLWPBEventConfig::kName);
    if (!name || name->empty()) {
      log(5, 29013, "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    State::EventConfigEntry entry;
    if (eventConfig->HasField(TLWPBEventConfig::kBlocklisted)) {
      entry.blocklisted = eventConfig->GetBool(TLWPBEventConfig::kBlocklisted);
    }
    if (eventConfig->HasField(TLWPBEventConfig::kCustomConversion)) {
      entry.customConversion = eventConfig->GetBool(TLWPBEventConfig::kCustomConversion);
    }
    if (eventConfig->HasField(TLWPBEventConfig::kSamplingRate)) {
      entry.samplingRate = eventConfig->GetInt32(TLWPBEventConfig::kSamplingRate);
    }
    entry.message = eventConfig;
    // A public name and its internal alias land on one entry; the later one wins.
    next->eventConfigs[TLWAliasTables::shortEventName(*name)] = std::move(entry);
  }

  if (config->HasField(TLWPBMeasurementConfig::kVersion)) {
    log(7, 29014, "Successfully parsed a configuration. Version", platform::Value(next->version));
  }

  const auto programs = config->GetRepeated<TLWPBProgram>(TLWPBMeasurementConfig::kDynamicEventEditing);
  std::shared_ptr<TLWEventEditorFactory> factory;
  {
    std::lock_guard lock(seamMutex_);
    factory = editorFactory_;
  }
  if (!programs.empty() && factory) {
    TLWEventEditingModules modules;
    std::shared_ptr<const StringMap> settingsForProgram = strings;
    modules.remoteConfigValue = [settingsForProgram](std::string_view key) -> std::optional<std::string> {
      auto it = settingsForProgram->find(key);
      if (it == settingsForProgram->end()) return std::nullopt;
      return it->second;
    };
    modules.appMetadata.set("platform", "ios");
    std::string packageName;
    std::string appVersion;
    if (auto bundle = env_->mainBundle()) {
      packageName = bundle->bundleIdentifier();
      appVersion = bundle->shortVersionString();
    }
    modules.appMetadata.set("package_name", packageName);
    modules.appMetadata.set("zel_version", static_cast<long long>(kTLWLibraryNumericVersion));
    if (!appVersion.empty()) modules.appMetadata.set("app_version", appVersion);
    std::weak_ptr<TLWMonitor> weakMonitor = monitor_;
    modules.logger = [weakMonitor](std::int64_t level, std::string_view message) {
      if (auto monitor = weakMonitor.lock()) monitor->logWithLevel(level, 29030, message);
    };
    TLWError error;
    next->editor = factory->makeEditor(*programs.front(), modules, &error);
    if (!next->editor) {
      log(1, 29026, "Failed to initiate event editing instance", error.asValue());
    } else {
      log(7, 29027, "Loading Event Modification and Creation programs",
          platform::Value(static_cast<std::int64_t>(programs.size())));
    }
  }
  return next;
}

// ---------------------------------------------------------------------------------------
// Applying configurations

void TLWRemoteConfig::parseRemoteConfigFromMeasurementConfig(const TLWPBMeasurementConfig& config) {
  // The default instance answers defaults only, whatever it is handed.
  if (isDefaultInstance_) return;
  if (config.GetString(TLWPBMeasurementConfig::kAppId).value_or(std::string()) != appID_) return;
  installState(buildState(&config));
}

bool TLWRemoteConfig::updateMeasurementConfig(std::shared_ptr<TLWPBMeasurementConfig> config) {
  if (isDefaultInstance_) {
    log(2, 29002, "Cannot update the default measurement configuration");
    return false;
  }
  if (!config) {
    log(5, 29003, "Cannot set empty measurement config to database");
    return false;
  }
  if (identifiersOrigin_ && identifiersOrigin_() == "qd" &&
      config->GetString(TLWPBMeasurementConfig::kQuadoAppId).value_or(std::string()) != appID_) {
    log(2, 29022, "Cannot set measurement config when Quado App ID does not match");
    return false;
  }
  if (config->GetString(TLWPBMeasurementConfig::kAppId).value_or(std::string()) != appID_) {
    log(2, 29004, "Cannot set measurement config when Vorlix App ID does not match");
    return false;
  }
  auto database = database_.lock();
  TLWError error = TLWError::errorWithCode(2, "The database is gone");
  if (!database || !database->updateRemoteConfig(*config, &error)) {
    log(1, 29005, "Cannot store config into the database", error.asValue());
    return false;
  }
  installState(buildState(config.get()));
  return true;
}

std::shared_ptr<TLWPBMeasurementConfig> TLWRemoteConfig::measurementConfigFromDatabase() {
  if (isDefaultInstance_) {
    log(2, 29015, "Cannot retrieve a measurement configuration from the database for the default instance");
    return nullptr;
  }
  auto database = database_.lock();
  TLWError error;
  std::shared_ptr<TLWPBMeasurementConfig> config;
  if (database) {
    config = database->queryMeasurementConfigWithError(&error);
  } else {
    error = TLWError::errorWithCode(2, "The database is gone");
  }
  if (!database || (!config && error.code() != 0)) {
    log(2, 29016, "Cannot retrieve configuration data from database. Error", error.asValue());
    return nullptr;
  }
  if (!config) {
    log(7, 29017,
        "Configuration was not found in database. The configuration will be fetched from the network when necessary");
    return nullptr;
  }
  parseRemoteConfigFromMeasurementConfig(*config);
  return config;
}

void TLWRemoteConfig::reset() {
  installState(std::make_shared<const State>());
  if (experimentClient_) experimentClient_->reset();
}

// ---------------------------------------------------------------------------------------
// Configuration facts

std::int64_t TLWRemoteConfig::version() const { return state()->version; }

std::shared_ptr<TLWPBMeasurementConfig> TLWRemoteConfig::measurementConfig() const {
  auto s = state();
  return s->config ? s->config->copy() : nullptr;
}

std::vector<std::int64_t> TLWRemoteConfig::experimentIDs() const {
  return experimentClient_ ? experimentClient_->experimentIDs() : std::vector<std::int64_t>{};
}

double TLWRemoteConfig::lastRemoteConfigUpdateTimestamp() {
  if (isDefaultInstance_) {
    log(2, 29008, "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  auto database = database_.lock();
  TLWError error;
  std::optional<double> timestamp;
  if (!database) {
    error = TLWError::errorWithCode(2, "The database is gone");
  } else {
    timestamp = database->lastRemoteConfigUpdateTimestamp(&error);
    // Never recorded reads as no value without an error: not a failure.
    if (!timestamp && error.code() == 0) return 0;
  }
  if (!timestamp) {
    log(4, 29009, "Failed to query last configuration update timestamp. Error", error.asValue());
    return 0;
  }
  return *timestamp;
}

bool TLWRemoteConfig::isExpired() {
  if (isDefaultInstance_) {
    log(2, 29007, "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  const double last = lastRemoteConfigUpdateTimestamp();
  return std::fabs(env_->clock()->now() - last) >= remoteConfigCacheTimeInterval();
}

std::optional<std::string> TLWRemoteConfig::remoteConfigURLWithAppInstanceID(std::string_view appInstanceID,
                                                                             std::string_view platformName,
                                                                             std::string_view SDKVersion,
                                                                             std::string_view runtimeVersion,
                                                                             bool analyticsStorageDenied) const {
  if (!analyticsStorageDenied && (appInstanceID.empty() || platformName.empty())) {
    log(2, 29010,
        "Cannot create a URL to fetch a configuration with empty app instance ID or empty platform (app instance, "
        "platform)",
        platform::Value(appInstanceID), platform::Value(platformName));
    return std::nullopt;
  }
  // Keys in dictionary order.
  const std::array<std::pair<std::string_view, std::string_view>, 4> pairs = {{
      {"app_instance_id", analyticsStorageDenied ? std::string_view() : appInstanceID},
      {"platform", platformName},
      {"runtime_version", runtimeVersion},
      {"zel_version", SDKVersion},
  }};
  std::string url = TLWServiceEndpoint::configurationURL(appID_, env_);
  char separator = '?';
  for (const auto& [key, value] : pairs) {
    url += separator;
    url += TLWServiceEndpoint::percentEncode(key);
    url += '=';
    url += TLWServiceEndpoint::percentEncode(value);
    separator = '&';
  }
  return url;
}

// ---------------------------------------------------------------------------------------
// Generic readers

platform::Value TLWRemoteConfig::numberFromString(std::string_view text) {
  if (text.empty() || text.size() > 4096) return platform::Value();
  std::string_view body = text;
  if (body.front() == '+' || body.front() == '-') body.remove_prefix(1);
  std::size_t integerDigits = 0;
  while (integerDigits < body.size() && body[integerDigits] >= '0' && body[integerDigits] <= '9') ++integerDigits;
  std::size_t fractionDigits = 0;
  bool hasPoint = false;
  if (integerDigits < body.size() && body[integerDigits] == '.') {
    hasPoint = true;
    std::size_t i = integerDigits + 1;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++fractionDigits;
    if (i != body.size()) return platform::Value();
  } else if (integerDigits != body.size()) {
    return platform::Value();
  }
  if (integerDigits + fractionDigits == 0) return platform::Value();

  // from_chars takes no leading '+'.
  std::string_view digits = text.front() == '+' ? text.substr(1) : text;
  if (!hasPoint) {
    std::int64_t integer = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), integer);
    if (ec == std::errc() && end == digits.data() + digits.size()) return platform::Value(integer);
  }
  double real = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), real);
  if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(real)) return platform::Value();
  return platform::Value(real);
}

std::optional<std::string> TLWRemoteConfig::settingStringForKey(std::string_view key) const {
  auto s = state();
  auto it = s->settings->find(key);
  if (it == s->settings->end()) return std::nullopt;
  return it->second;
}

platform::Value TLWRemoteConfig::numberFromCacheWithKey(
    std::string_view key, const platform::Value& defaultValue, const platform::Value& maxValue,
    const platform::Value& minValue, const std::function<platform::Value(const platform::Value&)>& transform) const {
  if (key.empty()) {
    log(7, 29020, "Cannot get setting with empty key from cache");
    return platform::Value();
  }
  auto s = state();
  auto it = s->settings->find(key);
  if (it == s->settings->end()) return defaultValue;
  platform::Value parsed = numberFromString(it->second);
  if (!parsed.isNull() && transform) parsed = transform(parsed);
  if (parsed.isNull() || !parsed.isNumber()) return defaultValue;
  if (!minValue.isNull() && parsed.compareNumber(minValue) == std::partial_ordering::less) return defaultValue;
  if (!maxValue.isNull() && parsed.compareNumber(maxValue) == std::partial_ordering::greater) return defaultValue;
  return parsed;
}

std::int32_t TLWRemoteConfig::intValueFromCacheWithKey(std::string_view key, std::int32_t defaultValue,
                                                       std::int32_t maxValue, std::int32_t minValue) const {
  auto number = numberFromCacheWithKey(key, defaultValue, maxValue, minValue);
  auto truncated = truncatedInt64(number);
  // In range by now, so the narrowing is exact apart from the fraction.
  return truncated ? static_cast<std::int32_t>(*truncated) : defaultValue;
}

std::int64_t TLWRemoteConfig::int64ValueFromCacheWithKey(std::string_view key, std::int64_t defaultValue,
                                                         std::int64_t maxValue, std::int64_t minValue) const {
  return truncatedInt64(numberFromCacheWithKey(key, defaultValue, maxValue, minValue)).value_or(defaultValue);
}

std::int64_t TLWRemoteConfig::int64ValueFromCacheWithKey(std::string_view key, std::int64_t defaultValue) const {
  return truncatedInt64(numberFromCacheWithKey(key, defaultValue, platform::Value(), platform::Value()))
      .value_or(defaultValue);
}

double TLWRemoteConfig::timeIntervalInSecondsFromCacheWithKey(std::string_view key, double defaultValue,
                                                              double maxValue, double minValue) const {
  auto number = numberFromCacheWithKey(key, defaultValue, maxValue, minValue, millisecondsToSeconds);
  return number.doubleValue().value_or(defaultValue);
}

// ---------------------------------------------------------------------------------------
// Event configurations

std::shared_ptr<const TLWPBEventConfig> TLWRemoteConfig::eventConfigWithName(std::string_view eventName) const {
  if (eventName.empty()) {
    log(5, 29006, "Cannot find event config with empty event name");
    return nullptr;
  }
  auto s = state();
  const auto* entry = s->eventConfig(eventName);
  return entry ? entry->message : nullptr;
}

bool TLWRemoteConfig::isEventBlocklisted(std::string_view eventName) const {
  auto s = state();
  if (const auto* entry = s->eventConfig(eventName); entry && entry->blocklisted.value_or(false)) return true;
  return isPublicEventName(eventName) ? s->flag(kBlocklistPublic) : s->flag(kBlocklistInternal);
}

bool TLWRemoteConfig::isEventCustomConversion(std::string_view eventName) const {
  auto s = state();
  const auto* entry = s->eventConfig(eventName);
  return entry && entry->customConversion.value_or(false);
}

bool TLWRemoteConfig::eventHasSamplingRate(std::string_view eventName) const {
  auto s = state();
  const auto* entry = s->eventConfig(eventName);
  return entry && entry->samplingRate.has_value();
}

std::int32_t TLWRemoteConfig::samplingRateForEvent(std::string_view eventName) const {
  auto s = state();
  const auto* entry = s->eventConfig(eventName);
  if (!entry || !entry->samplingRate) return 1;
  const std::int32_t rate = *entry->samplingRate;
  return rate >= 2 && rate < 65536 ? rate : 1;
}

std::size_t TLWRemoteConfig::eventConfigCount() const { return state()->eventConfigs.size(); }

// ---------------------------------------------------------------------------------------
// SDK experiments

std::optional<bool> TLWRemoteConfig::experimentFlag(std::string_view flagName) const {
  if (!experimentClient_) return std::nullopt;
  platform::Value value = experimentClient_->flagValue(flagName);
  if (value.isString()) value = numberFromString(*value.string());
  if (!value.isNumber()) return std::nullopt;
  auto integer = truncatedInt64(value);
  if (!integer) return std::nullopt;
  return *integer == 1;
}

bool TLWRemoteConfig::hasNewSnapshot() const {
  std::lock_guard lock(snapshotMutex_);
  return hasNewSnapshot_;
}

bool TLWRemoteConfig::activateNewSnapshot() {
  if (!hasNewSnapshot() || !experimentClient_) return false;
  TLWError error;
  if (!experimentClient_->activateLatestSnapshot(&error)) {
    log(2, 29024, "Cannot activate snapshot. Error", error.asValue());
    return false;
  }
  std::lock_guard lock(snapshotMutex_);
  hasNewSnapshot_ = false;
  return true;
}

void TLWRemoteConfig::clientDidReceiveNewSnapshot() {
  std::lock_guard lock(snapshotMutex_);
  hasNewSnapshot_ = true;
}

void TLWRemoteConfig::clientDidReceiveFetchError(const TLWError& error) {
  log(2, 29025, "Cannot fetch experiment. Error", error.asValue());
}

bool TLWRemoteConfig::shouldFetchExperimentsForClient() {
  return shouldFetchExperiments_ ? shouldFetchExperiments_() : false;
}

std::shared_ptr<TLWExperimentFlags> TLWRemoteConfig::experimentClient() const { return experimentClient_; }

// ---------------------------------------------------------------------------------------
// Seams

std::shared_ptr<TLWEventEditor> TLWRemoteConfig::eventEditing() const { return state()->editor; }

void TLWRemoteConfig::setEventEditorFactory(std::shared_ptr<TLWEventEditorFactory> factory) {
  std::lock_guard lock(seamMutex_);
  editorFactory_ = std::move(factory);
}

std::shared_ptr<TLWAudienceDefinitionSink> TLWRemoteConfig::audienceSink() const {
  std::lock_guard lock(seamMutex_);
  return audienceSink_;
}

void TLWRemoteConfig::setAudienceSink(std::shared_ptr<TLWAudienceDefinitionSink> sink) {
  std::lock_guard lock(seamMutex_);
  audienceSink_ = std::move(sink);
}

// ---------------------------------------------------------------------------------------
// Settings

double TLWRemoteConfig::uploadingInterval() const { return state()->gated(kUploadingInterval); }
double TLWRemoteConfig::uploadingRealTimeInterval() const { return state()->gated(kUploadingRealTimeInterval); }
double TLWRemoteConfig::uploadingInitialDelayInterval() const { return state()->gated(kUploadingInitialDelayInterval); }
double TLWRemoteConfig::uploadingDebugModeInterval() const { return state()->gated(kUploadingDebugModeInterval); }
double TLWRemoteConfig::uploadingRetryInterval() const { return state()->gated(kUploadingRetryInterval); }
std::int32_t TLWRemoteConfig::uploadingRetryCount() const { return state()->int32(kUploadingRetryCount); }
double TLWRemoteConfig::uploadingBackoffInterval() const { return state()->gated(kUploadingBackoffInterval); }
std::int64_t TLWRemoteConfig::uploadMaxBundlesLimit() const { return state()->int64(kUploadMaxBundlesLimit); }
std::int64_t TLWRemoteConfig::uploadMaxEventsPerBundle() const { return state()->int64(kUploadMaxEventsPerBundle); }
std::int64_t TLWRemoteConfig::uploadMaxSizeLimitBytes() const { return state()->int64(kUploadMaxSizeLimitBytes); }
std::int64_t TLWRemoteConfig::maxBundlesCreatedPerIteration() const {
  return state()->int64(kMaxBundlesCreatedPerIteration);
}
double TLWRemoteConfig::databaseDeleteStaleBundlesInterval() const {
  return state()->gated(kDatabaseDeleteStaleBundlesInterval);
}
double TLWRemoteConfig::maxQueueTime() const { return state()->gated(kMaxQueueTime); }
std::int32_t TLWRemoteConfig::maxConversionsPerDay() const { return state()->int32(kMaxConversionsPerDay); }
std::int32_t TLWRemoteConfig::maxEventsPerDay() const { return state()->int32(kMaxEventsPerDay); }
std::int32_t TLWRemoteConfig::maxPublicEventsPerDay() const { return state()->int32(kMaxPublicEventsPerDay); }
std::int32_t TLWRemoteConfig::maxErrorEventsPerDay() const { return state()->int32(kMaxErrorEventsPerDay); }
std::int32_t TLWRemoteConfig::maxRealtimeEventCountPerDay() const {
  return state()->int32(kMaxRealtimeEventCountPerDay);
}
bool TLWRemoteConfig::configurableLimitsEnabled() const { return state()->flag(kConfigurableLimitsEnabled); }
std::int32_t TLWRemoteConfig::maxPublicUserProperties() const { return state()->int32(kMaxPublicUserProperties); }
std::int32_t TLWRemoteConfig::maxEventNameCardinality() const { return state()->int32(kMaxEventNameCardinality); }
std::int32_t TLWRemoteConfig::maxPublicEventParams() const { return state()->int32(kMaxPublicEventParams); }
bool TLWRemoteConfig::blocklistInternal() const { return state()->flag(kBlocklistInternal); }
bool TLWRemoteConfig::blocklistPublic() const { return state()->flag(kBlocklistPublic); }
std::int32_t TLWRemoteConfig::maxEventsStored() const { return state()->int32(kMaxEventsStored); }
std::int32_t TLWRemoteConfig::maxAudienceCount() const { return state()->int32(kMaxAudienceCount); }
std::int32_t TLWRemoteConfig::maxFiltersPerAudience() const { return state()->int32(kMaxFiltersPerAudience); }
std::int32_t TLWRemoteConfig::maxFilterResultCount() const { return state()->int32(kMaxFilterResultCount); }
std::int32_t TLWRemoteConfig::maxParametersPerFilter() const { return state()->int32(kMaxParametersPerFilter); }
bool TLWRemoteConfig::isEventSamplingEnabled() const { return state()->flag(kIsEventSamplingEnabled); }
std::int32_t TLWRemoteConfig::analyticsAccountTimeZoneOffsetMinutes() const {
  return state()->int32(kAnalyticsAccountTimeZoneOffsetMinutes);
}
bool TLWRemoteConfig::checksumEnabled() const { return state()->flag(kChecksumEnabled); }
double TLWRemoteConfig::networkTimeout() const { return state()->gated(kNetworkTimeout); }
bool TLWRemoteConfig::isNetworkBackgroundSessionEnabled() const {
  return experimentFlag("network_background_session_enabled")
      .value_or(state()->flag(kIsNetworkBackgroundSessionEnabled));
}
double TLWRemoteConfig::remoteConfigCacheTimeInterval() const {
  return state()->gated(kRemoteConfigCacheTimeInterval);
}
double TLWRemoteConfig::monitoringSamplePeriod() const { return state()->gated(kMonitoringSamplePeriod); }
double TLWRemoteConfig::adIDCacheTime() const { return state()->gated(kAdIDCacheTime); }
bool TLWRemoteConfig::gateIDFAOnATTMASEnabled() const { return state()->flag(kGateIDFAOnATTMASEnabled); }
bool TLWRemoteConfig::lastAdvertisingIDResetFeatureEnabled() const {
  return state()->flag(kLastAdvertisingIDResetFeatureEnabled);
}
bool TLWRemoteConfig::nonBlockingAppInstanceIDEnabled() const {
  return experimentFlag("non_blocking_app_instance_id_enabled").value_or(state()->flag(kNonBlockingAppInstanceIDEnabled));
}
bool TLWRemoteConfig::isConsentSettingsEnabled() const { return state()->flag(kIsConsentSettingsEnabled); }
bool TLWRemoteConfig::isConsentSettings3PEnabled() const { return state()->flag(kIsConsentSettings3PEnabled); }
double TLWRemoteConfig::sessionDefaultMinimumInterval() const {
  return state()->gated(kSessionDefaultMinimumInterval);
}
double TLWRemoteConfig::sessionDefaultTimeoutInterval() const {
  return state()->gated(kSessionDefaultTimeoutInterval);
}
double TLWRemoteConfig::sessionEventUserEngagementInterval() const {
  return state()->gated(kSessionEventUserEngagementInterval);
}
bool TLWRemoteConfig::efficientEngagementReportingEnabled() const {
  return experimentFlag("efficient_engagement_reporting_enabled")
      .value_or(state()->flag(kEfficientEngagementReportingEnabled));
}
bool TLWRemoteConfig::redundantEngagementRemovalEnabled() const {
  return experimentFlag("redundant_engagement_removal_enabled")
      .value_or(state()->flag(kRedundantEngagementRemovalEnabled));
}
bool TLWRemoteConfig::appBackgroundedEventEnabled() const { return state()->flag(kAppBackgroundedEventEnabled); }
bool TLWRemoteConfig::appInBackgroundParameterEnabled() const {
  return state()->flag(kAppInBackgroundParameterEnabled);
}
bool TLWRemoteConfig::eesFeatureEnabled() const { return state()->flag(kEesFeatureEnabled); }
bool TLWRemoteConfig::isDeferredDeepLinkEnabled() const { return state()->flag(kIsDeferredDeepLinkEnabled); }
std::int32_t TLWRemoteConfig::maxDeferredDeepLinkRetryCount() const {
  return state()->int32(kMaxDeferredDeepLinkRetryCount);
}
std::int32_t TLWRemoteConfig::maxTrackedCurrencies() const { return state()->int32(kMaxTrackedCurrencies); }
double TLWRemoteConfig::attributionCacheTTLInterval() const { return state()->gated(kAttributionCacheTTLInterval); }
bool TLWRemoteConfig::persistentConfigInApplicationSupportEnabled() const {
  return experimentFlag("persistent_config_in_application_support_enabled")
      .value_or(state()->flag(kPersistentConfigInApplicationSupportEnabled));
}
