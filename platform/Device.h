#pragma once
// Device and locale facts on Linux.
//
// Thread-safety: any thread. The vendor identifier is created once under a lock.
//
// The OS version and device model have no Linux meaning: they come from the environment
// variables TALLYWISE_OS_VERSION and TALLYWISE_DEVICE_MODEL, else the defaults below.
// Language, locale and time zone come from ICU's defaults (LANG / LC_ALL, TZ).
// The vendor identifier is a random UUID kept in the keychain store, so it survives a
// wipe of the app's data; "" when it cannot be read or persisted (an identifier that
// changed at every launch would be worse than none), and it is retried on the next call.

#include <memory>
#include <mutex>
#include <string>

#include "platform/Environment.h"

namespace platform {

inline constexpr const char* kOSVersionEnvironmentVariable = "TALLYWISE_OS_VERSION";
inline constexpr const char* kDeviceModelEnvironmentVariable = "TALLYWISE_DEVICE_MODEL";
inline constexpr const char* kDefaultOSVersion = "17.2";
inline constexpr const char* kDefaultDeviceModel = "iPhone15,2";
// Where the vendor identifier is kept in the keychain store.
inline constexpr const char* kVendorIdentifierService = "com.vorlix.tallywise.device";
inline constexpr const char* kVendorIdentifierAccount = "identifierForVendor";

class LinuxDevice : public Device {
 public:
  LinuxDevice(std::shared_ptr<ProcessInfo> processInfo, std::shared_ptr<Keychain> keychain,
              std::shared_ptr<Random> random, std::shared_ptr<Clock> clock);

  std::string osVersion() override;
  std::string deviceModel() override;
  std::string platformName() override { return "ios"; }
  // The default locale as a lower-case BCP-47 tag without extensions, e.g. "en-us".
  std::string preferredLanguage() override;
  // The default locale's base name, e.g. "en_US".
  std::string localeIdentifier() override;
  // Offset of local time from UTC now (daylight saving included), truncated to minutes.
  std::int64_t timeZoneOffsetMinutes() override;
  std::string vendorIdentifier() override;

 private:
  const std::shared_ptr<ProcessInfo> processInfo_;
  const std::shared_ptr<Keychain> keychain_;
  const std::shared_ptr<Random> random_;
  const std::shared_ptr<Clock> clock_;
  std::mutex mutex_;
  std::string vendorIdentifier_;
};

}  // namespace platform
