#pragma once
// TLWDefaultIdentitySupport: the advertising facts of the platform (tracking-authorisation
// status, limited ad tracking, the advertising identifier) through the optional adaptor
// class "TLWPlatformIdentitySupport", looked up by name in the class registry. Without
// the adaptor (the Linux default) every answer is false, -1 or nullopt.
//
// The adaptor is kept when its class answers the class selector "sharedInstance" with a
// non-null instance and answers every instance selector of the identity-support protocol:
// "hasAppDataConsentStatus", "appDataConsentStatus", "hasLimitedAdTracking",
// "limitedAdTracking", "resettableDeviceID". An answer of the wrong kind reads as "no".
//
// Thread-safety: any thread; the adaptor is looked up once, at creation.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Environment.h"
#include "platform/Value.h"

inline constexpr std::string_view kTLWPlatformIdentitySupportClassName = "TLWPlatformIdentitySupport";
inline constexpr std::string_view kTLWAllZeroAdvertisingIdentifier = "00000000-0000-0000-0000-000000000000";

class TLWDefaultIdentitySupport {
 public:
  static std::shared_ptr<TLWDefaultIdentitySupport> sharedInstance();
  // Looks the adaptor up in `env`'s class registry (null: the current environment).
  static std::shared_ptr<TLWDefaultIdentitySupport> create(std::shared_ptr<platform::Environment> env = nullptr);

  bool hasAdaptor() const { return !adaptorInstance_.isNull(); }

  bool hasAppDataConsentStatus() const;
  // The platform's tracking-authorisation status; -1 without adaptor or answer.
  std::int64_t appDataConsentStatus() const;
  bool hasLimitedAdTracking() const;
  // On OS 14 and later: true when the advertising identifier is missing or all zero.
  // Before: the adaptor's answer (false without adaptor).
  bool limitedAdTracking() const;
  std::optional<std::string> resettableDeviceID() const;

  // Whether `env`'s OS version (the device's) is 14 or later.
  static bool iOS14OrAbove(platform::Environment& env);
  bool iOS14OrAbove() const { return iOS14OrAbove(*env_); }

 private:
  TLWDefaultIdentitySupport(std::shared_ptr<platform::Environment> env, std::shared_ptr<platform::ClassRegistry> registry,
                            platform::Value adaptorInstance);
  std::optional<platform::Value> ask(std::string_view selector) const;

  const std::shared_ptr<platform::Environment> env_;
  const std::shared_ptr<platform::ClassRegistry> registry_;
  const platform::Value adaptorInstance_;
};
