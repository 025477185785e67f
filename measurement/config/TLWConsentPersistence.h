#pragma once
// TLWConsentPersistence: the persisted side of consent, kept in the front controller's
// preferences suite "TLWAnalyticsSuiteName" (any TLWKeyValueStore over it): updates
// through the two public entry points (setConsent), the restore at start-up, the start-up
// options parked for the engine, and the reconciliation the engine runs once when it
// starts (setProspectiveConsentSettings).
// The front controller's and the engine's consent operations forward here.
//
// Thread-safety: any thread. The suite is thread-safe and the in-memory state lives on the
// consent queue; a sequence of calls (an update, the reconciliation) is serialised by an
// internal lock so that two updates never interleave their read-merge-persist steps.
// Never call from a block running on the consent queue.
//
// Ownership: holds the suite, the consent state and the environment strongly.
//
// Persistence: every write is flushed at once (consent changes are rare and must survive
// a killed process). A flush that fails is logged by the suite and leaves the in-memory
// state as the call set it; the next successful flush writes it.
//
// Bad input: stored values of the wrong kind read as absent (a "consent_source" that is
// not a number reads as 100, a settings entry that is not a dictionary as none); incoming
// dictionaries are reduced to the two consent keys and invalid values are dropped with
// the messages 25042, 25041 and 25043.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Environment.h"
#include "platform/Value.h"

class TLWConsentSettingsUtil;
class TLWMonitor;
class TLWKeyValueStore;

// What a withdrawal of consent needs from the front controller and the engine. An empty
// function is skipped (engineDidInitializeComponents then counts as false).
struct TLWConsentWithdrawalHooks {
  // Forgets "app_instance_id_after_reset".
  std::function<void()> clearAppInstanceIDAfterReset;
  // Whether the engine exists and has initialised its components.
  std::function<bool()> engineDidInitializeComponents;
  // The front controller's reset of analytics data.
  std::function<void()> resetAnalyticsData;
};

enum class TLWConsentUpdateResult {
  Ignored,        // the feature switch (or the 3P switch for the public entry) is off
  Discarded,      // nothing valid was left
  LowerPriority,  // a higher-priority source is in force
  Applied,        // merged and persisted
  Withdrawn,      // merged and persisted, and it withdrew an earlier grant
};

class TLWConsentPersistence {
 public:
  // The suite and its consent keys.
  static constexpr std::string_view kSuiteName = "TLWAnalyticsSuiteName";
  static constexpr std::string_view kSourceKey = "consent_source";
  static constexpr std::string_view kSettings1PKey = "consent_settings";
  static constexpr std::string_view kSettings3PKey = "consent_settings_3p";
  static constexpr std::string_view kSettingsOnStartKey = "consent_settings_on_start";
  static constexpr std::string_view kDeferredResetKey = "deferred_consent_reset";

  struct Options {
    // Whether the public-interface class "TWKAnalytics" is present in the process.
    // Default: the environment's class registry knows a class of that name.
    std::function<bool()> isPublicInterfacePresent;
  };

  // Null when `suite` or `consent` is null. `env` defaults to the current environment
  // (its main bundle gives the Info.plist defaults), `monitor` to the shared one.
  static std::shared_ptr<TLWConsentPersistence> create(std::shared_ptr<TLWKeyValueStore> suite,
                                                       std::shared_ptr<TLWConsentSettingsUtil> consent,
                                                       std::shared_ptr<platform::Environment> env = nullptr,
                                                       std::shared_ptr<TLWMonitor> monitor = nullptr,
                                                       Options options = {});

  const std::shared_ptr<TLWConsentSettingsUtil>& consent() const { return consent_; }
  const std::shared_ptr<TLWKeyValueStore>& suite() const { return suite_; }

  // setConsent: (first-party entry, key "consent_settings").
  TLWConsentUpdateResult setConsent(const platform::Dictionary& consent, const TLWConsentWithdrawalHooks& hooks = {});
  // setConsent:forKey: with "consent_settings_3p" (public interface) or "consent_settings".
  TLWConsentUpdateResult setConsent(const platform::Dictionary& consent, std::string_view key,
                                    const TLWConsentWithdrawalHooks& hooks = {});

  // Restore: a persisted source of 100 does nothing; else the 3P settings with the source
  // capped at 20, else the 1P settings capped at 40, else the source alone.
  void loadPersistedConsentSettings();
  // Writes the settings under "consent_settings_3p" when source <= 20, else under
  // "consent_settings", and the source under "consent_source". Nullopt removes that key.
  void persistConsentSettings(const std::optional<platform::Dictionary>& settings, std::int64_t source);
  // "consent_source"; 100 when absent or not a number.
  std::int64_t persistedConsentSource();
  std::optional<platform::Dictionary> consentSettings3P();
  std::optional<platform::Dictionary> consentSettings1P();
  std::optional<platform::Dictionary> consentSettings1PStart();
  bool deferredResetOnDeniedConsent();
  void setDeferredResetOnDeniedConsent(bool deferred);
  void removeStartUpConsentSettings();
  void removeDeferredResetOnDeniedConsent();
  // Removes the five persisted keys and clears the in-memory state (none, 100).
  void clearConsent();

  // Start-up options: the two consent keys of `options`, parked under
  // "consent_settings_on_start" when any is present. Returns what was parked.
  platform::Dictionary persistStartUpConsentFromOptions(const platform::Dictionary& options);

  // The engine's reconciliation at start (setProspectiveConsentSettings).
  void setProspectiveConsentSettings();
  // The engine's whole consent step at start: remembers the current settings, reconciles,
  // decides whether consent was withdrawn (or a reset was deferred), then removes the
  // parked start-up consent and the deferred-reset flag. True when data must be reset.
  bool reconcileAtEngineStart();

 private:
  TLWConsentPersistence(std::shared_ptr<TLWKeyValueStore> suite, std::shared_ptr<TLWConsentSettingsUtil> consent,
                        std::shared_ptr<platform::Environment> env, std::shared_ptr<TLWMonitor> monitor,
                        Options options);
  std::optional<platform::Dictionary> storedDictionary(std::string_view key);
  void flushSuite();
  void loadPersistedConsentSettingsLocked();
  void setProspectiveConsentSettingsLocked();
  void clearConsentLocked();

  const std::shared_ptr<TLWKeyValueStore> suite_;
  const std::shared_ptr<TLWConsentSettingsUtil> consent_;
  const std::shared_ptr<platform::Environment> env_;
  const std::shared_ptr<TLWMonitor> monitor_;
  const Options options_;
  std::recursive_mutex mutex_;
};
