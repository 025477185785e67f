#pragma once
// TLWKeychainWrapper: string values in the device keychain, which outlive the app's data.
// Items are generic passwords with service = the app ID and account = the identifier;
// the value is the string's UTF-8 bytes.
//
// Thread-safety: any thread (the keychain serialises its own access).
//
// Failure: empty arguments are refused (false / nullopt); a value that cannot be read
// back as UTF-8 text reads as absent.

#include <memory>
#include <optional>
#include <string>

#include "platform/Environment.h"

class TLWKeychainWrapper {
 public:
  // True when the platform stored the value. The value, identifier and app ID must be
  // non-empty.
  static bool upsertKeychainValue(const std::string& value, const std::string& identifier, const std::string& appID,
                                  std::shared_ptr<platform::Environment> env = nullptr);
  static std::optional<std::string> keychainValueWithIdentifier(const std::string& identifier,
                                                                const std::string& appID,
                                                                std::shared_ptr<platform::Environment> env = nullptr);
  static bool deleteKeychainValueWithIdentifier(const std::string& identifier, const std::string& appID,
                                                std::shared_ptr<platform::Environment> env = nullptr);
};
