#pragma once
// TLWPersistedConfig: the library's persisted settings, one typed accessor per key, all
// keys under "/vorlix/measurement/", over a TLWUserDefaults suite or, when the remote
// configuration moves it to Application Support, a TLWPersistentDictionary.
//
// Thread-safety: any thread. Every read and write runs synchronously on the serial queue
// "TLWPersistedConfig" (inline when already on it). Each write schedules one flush of the
// backing store one second after the latest write, so a burst of writes costs one flush.
//
// Ownership: sharedInstance() is one process-wide object on the suite
// "com.vorlix.zel.measurement". A pending flush holds the configuration weakly and is
// dropped with it. measurementEnabledState lives in the standard preferences instead and
// is flushed at once.
//
// Failure: a value the store refuses is logged (27002) and the key keeps its old value;
// typed reads answer 0, 0.0, false or nullopt when the stored value is of another kind.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/storage/TLWKeyValueStore.h"
#include "platform/DispatchQueue.h"
#include "platform/Environment.h"

class TLWMonitor;
class TLWUserDefaults;

inline constexpr std::string_view kTLWPersistedConfigSuiteName = "com.vorlix.zel.measurement";

class TLWPersistedConfig : public std::enable_shared_from_this<TLWPersistedConfig> {
 public:
  static std::shared_ptr<TLWPersistedConfig> sharedInstance();
  // Whether sharedInstance() keeps its values in Application Support; effective only
  // before its first call (the remote configuration's switch, off by default).
  static void setSharedInstanceUsesApplicationSupport(bool enabled);

  // Null for an empty suite name or a store that cannot be opened. `standardDefaults`
  // defaults to TLWUserDefaults::standardUserDefaults(), `env` to the current one.
  static std::shared_ptr<TLWPersistedConfig> initWithSuiteName(
      const std::string& suiteName, bool persistentConfigInApplicationSupportEnabled = false,
      std::shared_ptr<platform::Environment> env = nullptr, std::shared_ptr<TLWUserDefaults> standardDefaults = nullptr,
      std::shared_ptr<TLWMonitor> monitor = nullptr);
  ~TLWPersistedConfig();

  const std::string& suiteName() const { return suiteName_; }
  bool usesApplicationSupport() const { return usesApplicationSupport_; }
  static std::string keyWithSuffix(std::string_view suffix);

  // Typed accessors (key suffix in the comment).
  double lastDeleteStaleBundlesTimestamp();  // "last_delete_stale"
  void setLastDeleteStaleBundlesTimestamp(double seconds);
  platform::Value searchAdCampaignValue();  // "is_search_ad_campaign"; set only when a number (null removes)
  void setSearchAdCampaignValue(const platform::Value& value);
  double lastSearchAdLookUpTimestamp();  // "search_ad_last_attempt_timestamp"
  void setLastSearchAdLookUpTimestamp(double seconds);
  std::int64_t searchAdRetryCount();  // "search_ad_number_of_retries"
  void setSearchAdRetryCount(std::int64_t count);
  std::optional<std::string> appInstanceID();  // "app_instance_id"
  void setAppInstanceID(std::optional<std::string> value);
  std::optional<std::string> appIDFromZEL();  // "zel_app_id"
  void setAppIDFromZEL(std::optional<std::string> value);
  std::optional<std::string> appIDFromQuado();  // "quado_app_id"
  void setAppIDFromQuado(std::optional<std::string> value);
  std::optional<std::string> hashedResettableDeviceID();  // "hashed_idfa"
  void setHashedResettableDeviceID(std::optional<std::string> value);
  std::int64_t measurementEnabledState();  // "measurement_enabled_state", standard preferences
  void setMeasurementEnabledState(std::int64_t state);
  double lastBackoffTimestamp();  // "last_backoff"
  void setLastBackoffTimestamp(double seconds);
  double lastSuccessfulUploadTimestamp();  // "last_successful_upload"
  void setLastSuccessfulUploadTimestamp(double seconds);
  double lastFailedUploadTimestamp();  // "last_failed_upload"
  void setLastFailedUploadTimestamp(double seconds);
  // "delivered_bundle_ids": queued bundles the service already accepted, so that a later
  // launch deletes them instead of sending them again. The setter writes to disk at once
  // and returns false when that write failed.
  std::vector<std::int64_t> deliveredBundleIDs();
  [[nodiscard]] bool setDeliveredBundleIDs(const std::vector<std::int64_t>& rowIDs);
  std::optional<std::string> appVersion();  // "app_version"
  void setAppVersion(std::optional<std::string> value);
  std::optional<std::string> osVersion();  // "os_version"
  void setOsVersion(std::optional<std::string> value);
  // "midnight_offset": created once, a random time of day in [0, 86400) seconds with
  // millisecond resolution, when absent or not a number.
  double midnightOffset();
  void setMidnightOffset(double seconds);
  double lastMonitorDataSampledTimestamp();  // "last_monitor_data_sampled_timestamp"
  void setLastMonitorDataSampledTimestamp(double seconds);
  std::int64_t firstOpenTimestampMilliseconds();  // "first_open_timestamp_ms"
  void setFirstOpenTimestampMilliseconds(std::int64_t milliseconds);
  std::optional<std::string> configServerLastModifiedString();  // "last_modified_since_key"
  void setConfigServerLastModifiedString(std::optional<std::string> value);
  platform::Value loadTimestampValue();  // "load_timestamp"
  void setLoadTimestampValue(const platform::Value& value);
  platform::Value allowPersonalizedAds();  // "allow_personalized_ads"
  void setAllowPersonalizedAds(const platform::Value& value);
  std::optional<std::string> tarnwickFeatureRollouts();  // "tarnwick_feature_rollouts"
  void setTarnwickFeatureRollouts(std::optional<std::string> value);
  platform::Value deferredDeepLinkRetrievalComplete();  // "deep_link_retrieval_complete"
  void setDeferredDeepLinkRetrievalComplete(const platform::Value& value);
  std::int64_t deferredDeepLinkRetryCount();  // "deep_link_retry_count"
  void setDeferredDeepLinkRetryCount(std::int64_t count);
  bool shouldSetLastAdvertisingIDResetUserProperty();  // "set_last_advertising_id_reset"
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  bool unmatchedFirstOpenWithoutIDFA();  // "unmatched_first_open"
  void setUnmatchedFirstOpenWithoutIDFA(bool value);
  double lastSessionActivityClockTime();  // "last_engagement_end"
  void setLastSessionActivityClockTime(double seconds);
  std::int64_t sessionNumber();  // "session_number"
  void setSessionNumber(std::int64_t number);
  std::optional<platform::Dictionary> defaultEventParameters();  // "default_event_parameters"
  void setDefaultEventParameters(std::optional<platform::Dictionary> parameters);

  // Removes every value of the configuration's own store.
  void clearValues();

  // Generic access by full key.
  platform::Value objectForKey(std::string_view key);
  bool boolForKey(std::string_view key);
  std::int64_t int64ForKey(std::string_view key);
  // From the standard preferences when `userDefault` is true.
  std::int64_t int64ForKey(std::string_view key, bool userDefault);
  double doubleForKey(std::string_view key);
  std::optional<std::string> stringForKey(std::string_view key);
  std::optional<platform::Dictionary> dictionaryForKey(std::string_view key);
  void setObject(const platform::Value& value, std::string_view key);
  void setBool(bool value, std::string_view key);
  void setInt64(std::int64_t value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setString(std::optional<std::string> value, std::string_view key);
  void setDictionary(std::optional<platform::Dictionary> value, std::string_view key);

  void scheduleSynchronizeToDisk();
  void cancelScheduledSynchronize();
  bool synchronizeToDisk();

  // Rises after every write or clearing, so a reader may keep what it read until then.
  std::uint64_t writeGeneration() const noexcept { return writeGeneration_.load(std::memory_order_acquire); }

 private:
  TLWPersistedConfig(std::string suiteName, std::shared_ptr<platform::Environment> env,
                     std::shared_ptr<TLWUserDefaults> standardDefaults, std::shared_ptr<TLWMonitor> monitor);
  bool chooseStore(bool useApplicationSupport);
  void runOnQueue(const std::function<void()>& block);
  // Must run on the queue.
  void writeOnQueue(const platform::Value& value, std::string_view key);
  void scheduleSynchronizeOnQueue();

  const std::string suiteName_;
  const std::shared_ptr<platform::Environment> env_;
  const std::shared_ptr<TLWUserDefaults> standardDefaults_;
  const std::shared_ptr<TLWMonitor> monitor_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<TLWKeyValueStore> store_;
  bool usesApplicationSupport_ = false;
  std::shared_ptr<platform::DispatchQueue::Cancellable> pendingSynchronize_;  // queue only
  std::atomic<std::uint64_t> writeGeneration_{0};
};

// One value of the persisted configuration as last read, read again only once the
// configuration was written to: for what a path reads for every event. One thread.
template <class T>
class TLWPersistedReading {
 public:
  template <class Read>
  const T& get(const TLWPersistedConfig& config, Read&& read) {
    // Taken before the read: a write during it makes the next call read again.
    const std::uint64_t generation = config.writeGeneration();
    if (!value_ || generation != generation_) {
      value_.emplace(read());
      generation_ = generation;
    }
    return *value_;
  }

 private:
  std::optional<T> value_;
  std::uint64_t generation_ = 0;
};
