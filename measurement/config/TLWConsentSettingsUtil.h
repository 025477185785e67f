#pragma once
// TLWConsentSettingsUtil: the process-wide consent state: the settings ("ad_storage",
// "analytics_storage", each "granted" or "denied"; unset behaves as granted) and the
// source they came from (10, 20, 30, 40, 100; a smaller number wins).
//
// Thread-safety: any thread. Settings and source live on the serial queue
// "TLWConsentSettingsUtilQueue" (utility priority). Reads are synchronous hops onto it;
// writes are queued asynchronously, so a read issued after a write (from any thread) sees
// the write. Reads must not be made from a block running on that queue (the hop would be
// refused; such a read answers the empty state and is logged).
//
// Ownership: sharedInstance() is the process-wide state the library uses; tests and the
// engine's collaborators may hold their own instance. The remote configuration that owns
// the two feature switches is held strongly once set (setRemoteConfig); until then the
// switches read their defaults (both on).
//
// Bad input: every dictionary that comes in is reduced to the two consent keys; a value
// of the wrong kind is kept as given but never counts as denied (the denial test needs a
// string) and prints as "-" in the signal.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/DispatchQueue.h"
#include "platform/Environment.h"
#include "platform/Value.h"

class TLWRemoteConfig;
class TLWMonitor;

inline constexpr std::string_view kTLWConsentTypeAdStorage = "ad_storage";
inline constexpr std::string_view kTLWConsentTypeAnalyticsStorage = "analytics_storage";
inline constexpr std::string_view kTLWConsentValueGranted = "granted";
inline constexpr std::string_view kTLWConsentValueDenied = "denied";
inline constexpr std::string_view kTLWConsentSettingsUtilQueueLabel = "TLWConsentSettingsUtilQueue";

// Where the current settings came from; a smaller number is a higher priority.
enum TLWConsentSource : std::int64_t {
  kTLWConsentSourcePublicInterface = 10,  // TWKAnalytics setConsent, stored as "consent_settings_3p"
  kTLWConsentSourcePlistDefaults = 20,    // Info.plist defaults, or restored "consent_settings_3p"
  kTLWConsentSourceFirstParty = 30,       // TLWAnalytics setConsent, stored as "consent_settings"
  kTLWConsentSourceStartUpOptions = 40,   // start-up options, or restored "consent_settings"
  kTLWConsentSourceNone = 100,            // nothing set
};

class TLWConsentSettingsUtil : public std::enable_shared_from_this<TLWConsentSettingsUtil> {
 public:
  static std::shared_ptr<TLWConsentSettingsUtil> sharedInstance();
  // A fresh state (none, 100) with its own queue. A null monitor means the shared one.
  static std::shared_ptr<TLWConsentSettingsUtil> create(std::shared_ptr<TLWMonitor> monitor = nullptr);

  // The remote configuration whose "measurement.api.consent_settings" and
  // "measurement.api.consent_settings_3p" switches govern consent. Null goes back to the
  // defaults (both on).
  void setRemoteConfig(std::shared_ptr<TLWRemoteConfig> remoteConfig);
  std::shared_ptr<TLWRemoteConfig> remoteConfig() const;
  // The two switches (on only when the setting equals 1).
  bool isConsentSettingsEnabled() const;
  bool isConsentSettings3PEnabled() const;

  // A copy of the current settings; nullopt when none are set.
  std::optional<platform::Dictionary> consentSettings() const;
  // Stores a copy (asynchronous). Nullopt also sets the source to 100.
  void setConsentSettings(std::optional<platform::Dictionary> settings);
  // Merges: the current settings with the given entries added or replacing (asynchronous).
  void updateSettings(const platform::Dictionary& settings);
  std::int64_t consentSource() const;
  void setConsentSource(std::int64_t source);  // asynchronous
  // True when `source` may replace the current one (current >= source; ties accepted).
  bool isConsentSourceHigherPriority(std::int64_t source) const;

  // Storage gates: false while isConsentSettingsEnabled is off; otherwise true exactly
  // when the current value is a string whose lower-case form is "denied".
  bool isAdStorageDenied() const;
  bool isAnalyticsStorageDenied() const;

  // Whether going from `previousSettings` to the current settings withdrew a grant: for
  // either type, previous not denied (absent counts as not denied) and current denied.
  // False when the switch is off, when the previous value is present but not a dictionary,
  // when there are no current settings, or when the two are equal.
  bool didWithdrawPreviousConsent(const platform::Value& previousSettings) const;
  bool didWithdrawPreviousConsent(const std::optional<platform::Dictionary>& previousSettings) const;

  // "G1" + one character per type ("1" granted, "0" denied, "-" unset or anything else)
  // when both switches are on; nullopt otherwise.
  std::optional<std::string> consentSignals() const;
  // "ad_storage is <v>. analytics_storage is <v>." (unset prints as "granted").
  std::string description() const;

  const std::shared_ptr<platform::DispatchQueue>& serialQueue() const { return queue_; }
  // Waits until every write queued so far has been applied (tests, shutdown paths).
  void flush() const;

  // Class helpers (no state).
  // The two consent keys of `dictionary`, whatever their values; the rest is dropped.
  static platform::Dictionary consentSettingsFromDictionary(const platform::Dictionary& dictionary);
  // The Info.plist defaults "VORLIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE" and
  // "VORLIX_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE" (numbers; true is "granted", false
  // "denied"); empty when neither holds a number. Read from `env`'s main bundle (null:
  // the current environment).
  static platform::Dictionary consentSettingsFromPlist(std::shared_ptr<platform::Environment> env = nullptr);
  static platform::Dictionary consentSettingsFromInfoDictionary(const platform::Dictionary& infoDictionary);
  // The signal for given settings, switches aside.
  static std::string signalForSettings(const std::optional<platform::Dictionary>& settings);
  // A value counts as denied only when it is a string equal to "denied" ignoring case.
  static bool isDeniedValue(const platform::Value* value);

 private:
  explicit TLWConsentSettingsUtil(std::shared_ptr<TLWMonitor> monitor);
  struct State {
    std::optional<platform::Dictionary> settings;
    std::int64_t source = kTLWConsentSourceNone;
  };
  // A copy of the state, read on the queue.
  State readState() const;
  bool isDenied(std::string_view type) const;

  const std::shared_ptr<platform::DispatchQueue> queue_;
  const std::shared_ptr<TLWMonitor> monitor_;
  State state_;  // queue only

  mutable std::mutex remoteConfigMutex_;
  std::shared_ptr<TLWRemoteConfig> remoteConfig_;
};
