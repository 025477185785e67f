#pragma once
// TLWResetBookkeeping: what a data reset leaves in the front controller's settings suite
// for the engine to finish, under the keys below: how many tries of the wipe are owed,
// whether a first open must be logged again, the app instance ID the reset chose, and the
// enable-switch state first seen after a reset or install ("_dac" of the first open).
// The public interface writes it when the app asks for a reset; the engine reads and
// clears it at start-up and when the reset runs.
//
// Thread-safety: as the suite (any thread). Ownership: shares the suite. A null suite
// owes nothing and ignores writes.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

class TLWKeyValueStore;

inline constexpr std::string_view kTLWAnalyticsSuiteName = "TLWAnalyticsSuiteName";
inline constexpr std::string_view kTLWResetRetryCountKey = "reset_retry_count";
inline constexpr std::string_view kTLWNeedFirstOpenAfterResetKey = "need_first_open_after_reset";
inline constexpr std::string_view kTLWAppInstanceIDAfterResetKey = "app_instance_id_after_reset";
inline constexpr std::string_view kTLWDeferredAnalyticsCollectionKey = "deferred_analytics_collection";
inline constexpr std::string_view kTLWDeferredConsentResetKey = "deferred_consent_reset";
inline constexpr std::string_view kTLWConsentSettingsOnStartKey = "consent_settings_on_start";

class TLWResetBookkeeping {
 public:
  explicit TLWResetBookkeeping(std::shared_ptr<TLWKeyValueStore> suite);

  // Tries of the wipe made so far; a count below 1 removes the key.
  std::int64_t retryCount() const;
  void setRetryCount(std::int64_t count);
  void addRetry() { setRetryCount(retryCount() + 1); }
  void clearRetries() { setRetryCount(0); }
  // The next start wipes the data while 1 to 9 tries are owed; after that it gives up.
  bool isWipeOwed() const;

  bool needFirstOpen() const;
  void setNeedFirstOpen(bool need);
  void clearNeedFirstOpen();

  std::optional<std::string> appInstanceID() const;
  // nullopt removes it.
  void setAppInstanceID(const std::optional<std::string>& appInstanceID);
  // Removes the stored ID only while it is still `appInstanceID` (a later reset keeps its own).
  void clearAppInstanceIDIfStill(const std::string& appInstanceID);
  // The stored ID when it is non-empty, removed as it is taken.
  std::optional<std::string> takeAppInstanceID();

  // A number (1 off, 0 on) or null.
  platform::Value deferredCollection() const;
  void setDeferredCollection(const platform::Value& value);
  bool wasCollectionDeferred() const;
  // Records the first enable-switch state only; later switches keep it.
  void recordDeferredCollectionIfUnset(bool enabled);

 private:
  std::shared_ptr<TLWKeyValueStore> suite_;
};
