#include "measurement/storage/TLWPersistedConfig.h"

#include <atomic>
#include <chrono>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWPersistentDictionary.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/app/Bundle.h"

namespace {

using platform::Value;

std::atomic<bool> gSharedUsesApplicationSupport{false};

constexpr const char* kKeyPrefix = "/vorlix/measurement/";

std::string key(std::string_view suffix) { return std::string(kKeyPrefix) + std::string(suffix); }

// Moves a suite's property-list file between the preferences folder and Application
// Support. A missing source counts as success; a folder on either side fails. With a
// destination already present, the move towards Application Support keeps it and drops
// the source, while the move back replaces it.
bool moveFile(platform::FileSystem& fs, const std::string& from, const std::string& to, bool keepDestination) {
  if (!fs.exists(from)) return true;
  if (fs.isDirectory(from) || fs.isDirectory(to)) return false;
  if (fs.exists(to)) {
    if (keepDestination) return fs.removeFile(from);
    if (!fs.removeFile(to)) return false;
  }
  auto slash = to.find_last_of('/');
  if (slash != std::string::npos && !fs.createDirectories(to.substr(0, slash))) return false;
  return fs.rename(from, to);
}

}  // namespace

std::string TLWPersistedConfig::keyWithSuffix(std::string_view suffix) { return key(suffix); }

void TLWPersistedConfig::setSharedInstanceUsesApplicationSupport(bool enabled) {
  gSharedUsesApplicationSupport = enabled;
}

std::shared_ptr<TLWPersistedConfig> TLWPersistedConfig::sharedInstance() {
  // Never destroyed: library threads may still use it while the process exits.
  static std::shared_ptr<TLWPersistedConfig>& instance = *new std::shared_ptr<TLWPersistedConfig>([] {
    auto made = initWithSuiteName(std::string(kTLWPersistedConfigSuiteName), gSharedUsesApplicationSupport.load());
    if (!made) TLWMonitor::sharedInstance()->logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
    return made;
  }());
  return instance;
}

TLWPersistedConfig::TLWPersistedConfig(std::string suiteName, std::shared_ptr<platform::Environment> env,
                                       std::shared_ptr<TLWUserDefaults> standardDefaults,
                                       std::shared_ptr<TLWMonitor> monitor)
    : suiteName_(std::move(suiteName)),
      env_(std::move(env)),
      standardDefaults_(std::move(standardDefaults)),
      monitor_(std::move(monitor)),
      queue_(platform::DispatchQueue::create("TLWPersistedConfig", platform::QueuePriority::Utility)) {}

TLWPersistedConfig::~TLWPersistedConfig() {
  if (pendingSynchronize_) pendingSynchronize_->cancel();
}

std::shared_ptr<TLWPersistedConfig> TLWPersistedConfig::initWithSuiteName(
    const std::string& suiteName, bool persistentConfigInApplicationSupportEnabled,
    std::shared_ptr<platform::Environment> env, std::shared_ptr<TLWUserDefaults> standardDefaults,
    std::shared_ptr<TLWMonitor> monitor) {
  if (suiteName.empty()) return nullptr;
  if (!env) env = platform::Environment::current();
  if (!standardDefaults) standardDefaults = TLWUserDefaults::standardUserDefaults();
  if (!monitor) monitor = TLWMonitor::sharedInstance();
  std::shared_ptr<TLWPersistedConfig> made(
      new TLWPersistedConfig(suiteName, std::move(env), std::move(standardDefaults), std::move(monitor)));
  if (!made->chooseStore(persistentConfigInApplicationSupportEnabled)) return nullptr;
  return made;
}

bool TLWPersistedConfig::chooseStore(bool useApplicationSupport) {
  auto fs = env_->fileSystem();
  auto sandbox = env_->sandbox();
  const std::string preferencesPath = sandbox->preferencesDirectory() + "/" + suiteName_ + ".plist";
  const std::string supportPath = sandbox->applicationSupportDirectory() + "/Vorlix/Measurement/" + suiteName_ + ".plist";
  auto suite = env_->preferences() ? env_->preferences()->suite(suiteName_) : nullptr;
  if (useApplicationSupport) {
    if (moveFile(*fs, preferencesPath, supportPath, true) && suite) {
      suite->removeAll();
      (void)suite->synchronize();
    }
    store_ = TLWPersistentDictionary::initWithFileName(suiteName_, env_);
    usesApplicationSupport_ = true;
  } else {
    std::optional<platform::Dictionary> moved;
    if (fs->exists(supportPath)) moved = platform::Bundle::readDictionaryFile(*fs, supportPath);
    (void)moveFile(*fs, supportPath, preferencesPath, false);
    auto defaults = TLWUserDefaults::initWithSuiteName(suiteName_, env_);
    if (moved && defaults) {
      defaults->clearAllData();
      for (const auto& [k, v] : *moved) {
        if (const std::string* name = k.string()) (void)defaults->setObject(v, *name);
      }
      (void)defaults->synchronize();
    }
    store_ = defaults;
  }
  return store_ != nullptr;
}

void TLWPersistedConfig::runOnQueue(const std::function<void()>& block) {
  if (queue_->isCurrent() || !queue_->sync(block)) {
    // Already on the queue (a nested call): run in place rather than deadlock.
    if (queue_->isCurrent()) block();
  }
}

void TLWPersistedConfig::writeOnQueue(const Value& value, std::string_view k) {
  if (!store_->setObject(value, k)) {
    monitor_->logWithLevel(1, 27002, "Unsupported value passed in dictionary", Value(std::string(k)));
    return;
  }
  writeGeneration_.fetch_add(1, std::memory_order_release);
  scheduleSynchronizeOnQueue();
}

void TLWPersistedConfig::scheduleSynchronizeOnQueue() {
  if (pendingSynchronize_) pendingSynchronize_->cancel();
  std::weak_ptr<TLWPersistedConfig> weak = weak_from_this();
  pendingSynchronize_ = queue_->after(std::chrono::seconds(1), [weak] {
    if (auto self = weak.lock()) (void)self->store_->synchronize();
  });
}

void TLWPersistedConfig::scheduleSynchronizeToDisk() {
  runOnQueue([this] { scheduleSynchronizeOnQueue(); });
}

void TLWPersistedConfig::cancelScheduledSynchronize() {
  runOnQueue([this] {
    if (pendingSynchronize_) pendingSynchronize_->cancel();
    pendingSynchronize_.reset();
  });
}

bool TLWPersistedConfig::synchronizeToDisk() {
  bool ok = false;
  runOnQueue([&] {
    if (pendingSynchronize_) pendingSynchronize_->cancel();
    pendingSynchronize_.reset();
    ok = store_->synchronize();
    if (auto dictionary = std::dynamic_pointer_cast<TLWPersistentDictionary>(store_)) {
      ok = dictionary->persistToDisk();
    }
  });
  return ok;
}

void TLWPersistedConfig::clearValues() {
  runOnQueue([this] {
    store_->clearAllData();
    writeGeneration_.fetch_add(1, std::memory_order_release);
    scheduleSynchronizeOnQueue();
  });
}

// ------------------------------------------------------------------ generic access

Value TLWPersistedConfig::objectForKey(std::string_view k) {
  Value v;
  runOnQueue([&] { v = store_->objectForKey(k); });
  return v;
}

bool TLWPersistedConfig::boolForKey(std::string_view k) { return objectForKey(k).boolValue().value_or(false); }

std::int64_t TLWPersistedConfig::int64ForKey(std::string_view k) { return objectForKey(k).int64Value().value_or(0); }

std::int64_t TLWPersistedConfig::int64ForKey(std::string_view k, bool userDefault) {
  if (!userDefault) return int64ForKey(k);
  return standardDefaults_->objectForKey(k).int64Value().value_or(0);
}

double TLWPersistedConfig::doubleForKey(std::string_view k) { return objectForKey(k).doubleValue().value_or(0.0); }

std::optional<std::string> TLWPersistedConfig::stringForKey(std::string_view k) {
  Value v = objectForKey(k);
  if (const std::string* s = v.string()) return *s;
  return std::nullopt;
}

std::optional<platform::Dictionary> TLWPersistedConfig::dictionaryForKey(std::string_view k) {
  Value v = objectForKey(k);
  if (const platform::Dictionary* d = v.dictionary()) return *d;
  return std::nullopt;
}

void TLWPersistedConfig::setObject(const Value& value, std::string_view k) {
  runOnQueue([&] { writeOnQueue(value, k); });
}

void TLWPersistedConfig::setBool(bool value, std::string_view k) { setObject(Value(value), k); }
void TLWPersistedConfig::setInt64(std::int64_t value, std::string_view k) {
  setObject(Value(static_cast<long long>(value)), k);
}
void TLWPersistedConfig::setDouble(double value, std::string_view k) { setObject(Value(value), k); }
void TLWPersistedConfig::setString(std::optional<std::string> value, std::string_view k) {
  setObject(value ? Value(std::move(*value)) : Value(), k);
}
void TLWPersistedConfig::setDictionary(std::optional<platform::Dictionary> value, std::string_view k) {
  setObject(value ? Value(std::move(*value)) : Value(), k);
}

// ------------------------------------------------------------------ typed accessors

double TLWPersistedConfig::lastDeleteStaleBundlesTimestamp() { return doubleForKey(key("last_delete_stale")); }
void TLWPersistedConfig::setLastDeleteStaleBundlesTimestamp(double s) { setDouble(s, key("last_delete_stale")); }

Value TLWPersistedConfig::searchAdCampaignValue() {
  Value v = objectForKey(key("is_search_ad_campaign"));
  return v.isNumber() ? v : Value();
}
void TLWPersistedConfig::setSearchAdCampaignValue(const Value& value) {
  if (value.isNumber() || value.isNull()) setObject(value, key("is_search_ad_campaign"));
}

double TLWPersistedConfig::lastSearchAdLookUpTimestamp() {
  return doubleForKey(key("search_ad_last_attempt_timestamp"));
}
void TLWPersistedConfig::setLastSearchAdLookUpTimestamp(double s) {
  setDouble(s, key("search_ad_last_attempt_timestamp"));
}

std::int64_t TLWPersistedConfig::searchAdRetryCount() { return int64ForKey(key("search_ad_number_of_retries")); }
void TLWPersistedConfig::setSearchAdRetryCount(std::int64_t c) { setInt64(c, key("search_ad_number_of_retries")); }

std::optional<std::string> TLWPersistedConfig::appInstanceID() { return stringForKey(key("app_instance_id")); }
void TLWPersistedConfig::setAppInstanceID(std::optional<std::string> v) {
  setString(std::move(v), key("app_instance_id"));
}

std::optional<std::string> TLWPersistedConfig::appIDFromZEL() { return stringForKey(key("zel_app_id")); }
void TLWPersistedConfig::setAppIDFromZEL(std::optional<std::string> v) { setString(std::move(v), key("zel_app_id")); }

std::optional<std::string> TLWPersistedConfig::appIDFromQuado() { return stringForKey(key("quado_app_id")); }
void TLWPersistedConfig::setAppIDFromQuado(std::optional<std::string> v) {
  setString(std::move(v), key("quado_app_id"));
}

std::optional<std::string> TLWPersistedConfig::hashedResettableDeviceID() { return stringForKey(key("hashed_idfa")); }
void TLWPersistedConfig::setHashedResettableDeviceID(std::optional<std::string> v) {
  setString(std::move(v), key("hashed_idfa"));
}

std::int64_t TLWPersistedConfig::measurementEnabledState() {
  return int64ForKey(key("measurement_enabled_state"), true);
}
void TLWPersistedConfig::setMeasurementEnabledState(std::int64_t state) {
  (void)standardDefaults_->setInteger(state, key("measurement_enabled_state"));
  (void)standardDefaults_->synchronize();
}

double TLWPersistedConfig::lastBackoffTimestamp() { return doubleForKey(key("last_backoff")); }
void TLWPersistedConfig::setLastBackoffTimestamp(double s) { setDouble(s, key("last_backoff")); }
double TLWPersistedConfig::lastSuccessfulUploadTimestamp() { return doubleForKey(key("last_successful_upload")); }
void TLWPersistedConfig::setLastSuccessfulUploadTimestamp(double s) { setDouble(s, key("last_successful_upload")); }
double TLWPersistedConfig::lastFailedUploadTimestamp() { return doubleForKey(key("last_failed_upload")); }
void TLWPersistedConfig::setLastFailedUploadTimestamp(double s) { setDouble(s, key("last_failed_upload")); }

std::vector<std::int64_t> TLWPersistedConfig::deliveredBundleIDs() {
  std::vector<std::int64_t> ids;
  Value v = objectForKey(key("delivered_bundle_ids"));
  if (const platform::Array* items = v.array()) {
    for (const Value& item : *items) {
      if (auto id = item.int64Value(); id && !item.isBool()) ids.push_back(*id);
    }
  }
  return ids;
}

bool TLWPersistedConfig::setDeliveredBundleIDs(const std::vector<std::int64_t>& rowIDs) {
  platform::Array items;
  for (std::int64_t id : rowIDs) items.push_back(Value(static_cast<long long>(id)));
  setObject(rowIDs.empty() ? Value() : Value(std::move(items)), key("delivered_bundle_ids"));
  return synchronizeToDisk();
}

std::optional<std::string> TLWPersistedConfig::appVersion() { return stringForKey(key("app_version")); }
void TLWPersistedConfig::setAppVersion(std::optional<std::string> v) { setString(std::move(v), key("app_version")); }
std::optional<std::string> TLWPersistedConfig::osVersion() { return stringForKey(key("os_version")); }
void TLWPersistedConfig::setOsVersion(std::optional<std::string> v) { setString(std::move(v), key("os_version")); }

double TLWPersistedConfig::midnightOffset() {
  double offset = 0;
  const std::string k = key("midnight_offset");
  runOnQueue([&] {
    Value v = store_->objectForKey(k);
    auto d = v.doubleValue();
    // A stored value outside a day would put every day boundary in the wrong place.
    if (d && !v.isBool() && *d >= 0 && *d < 86400) {
      offset = *d;
      return;
    }
    offset = static_cast<double>(env_->random()->uniform(86400000)) / 1000.0;
    writeOnQueue(Value(offset), k);
  });
  return offset;
}
void TLWPersistedConfig::setMidnightOffset(double s) { setDouble(s, key("midnight_offset")); }

double TLWPersistedConfig::lastMonitorDataSampledTimestamp() {
  return doubleForKey(key("last_monitor_data_sampled_timestamp"));
}
void TLWPersistedConfig::setLastMonitorDataSampledTimestamp(double s) {
  setDouble(s, key("last_monitor_data_sampled_timestamp"));
}

std::int64_t TLWPersistedConfig::firstOpenTimestampMilliseconds() { return int64ForKey(key("first_open_timestamp_ms")); }
void TLWPersistedConfig::setFirstOpenTimestampMilliseconds(std::int64_t ms) {
  setInt64(ms, key("first_open_timestamp_ms"));
}

std::optional<std::string> TLWPersistedConfig::configServerLastModifiedString() {
  return stringForKey(key("last_modified_since_key"));
}
void TLWPersistedConfig::setConfigServerLastModifiedString(std::optional<std::string> v) {
  setString(std::move(v), key("last_modified_since_key"));
}

Value TLWPersistedConfig::loadTimestampValue() { return objectForKey(key("load_timestamp")); }
void TLWPersistedConfig::setLoadTimestampValue(const Value& v) { setObject(v, key("load_timestamp")); }

Value TLWPersistedConfig::allowPersonalizedAds() { return objectForKey(key("allow_personalized_ads")); }
void TLWPersistedConfig::setAllowPersonalizedAds(const Value& v) { setObject(v, key("allow_personalized_ads")); }

std::optional<std::string> TLWPersistedConfig::tarnwickFeatureRollouts() {
  return stringForKey(key("tarnwick_feature_rollouts"));
}
void TLWPersistedConfig::setTarnwickFeatureRollouts(std::optional<std::string> v) {
  setString(std::move(v), key("tarnwick_feature_rollouts"));
}

Value TLWPersistedConfig::deferredDeepLinkRetrievalComplete() {
  return objectForKey(key("deep_link_retrieval_complete"));
}
void TLWPersistedConfig::setDeferredDeepLinkRetrievalComplete(const Value& v) {
  setObject(v, key("deep_link_retrieval_complete"));
}

std::int64_t TLWPersistedConfig::deferredDeepLinkRetryCount() { return int64ForKey(key("deep_link_retry_count")); }
void TLWPersistedConfig::setDeferredDeepLinkRetryCount(std::int64_t c) { setInt64(c, key("deep_link_retry_count")); }

bool TLWPersistedConfig::shouldSetLastAdvertisingIDResetUserProperty() {
  return int64ForKey(key("set_last_advertising_id_reset")) != 0;
}
void TLWPersistedConfig::setShouldSetLastAdvertisingIDResetUserProperty(bool v) {
  setInt64(v ? 1 : 0, key("set_last_advertising_id_reset"));
}

bool TLWPersistedConfig::unmatchedFirstOpenWithoutIDFA() { return int64ForKey(key("unmatched_first_open")) != 0; }
void TLWPersistedConfig::setUnmatchedFirstOpenWithoutIDFA(bool v) { setInt64(v ? 1 : 0, key("unmatched_first_open")); }

double TLWPersistedConfig::lastSessionActivityClockTime() { return doubleForKey(key("last_engagement_end")); }
void TLWPersistedConfig::setLastSessionActivityClockTime(double s) { setDouble(s, key("last_engagement_end")); }

std::int64_t TLWPersistedConfig::sessionNumber() { return int64ForKey(key("session_number")); }
void TLWPersistedConfig::setSessionNumber(std::int64_t n) { setInt64(n, key("session_number")); }

std::optional<platform::Dictionary> TLWPersistedConfig::defaultEventParameters() {
  return dictionaryForKey(key("default_event_parameters"));
}
void TLWPersistedConfig::setDefaultEventParameters(std::optional<platform::Dictionary> p) {
  setDictionary(std::move(p), key("default_event_parameters"));
}
