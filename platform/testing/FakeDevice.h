#pragma once
// A device whose every fact is set by the test.
//
// Thread-safety: any thread.

#include <mutex>

#include "platform/Environment.h"

namespace platform::testing {

class FakeDevice : public Device {
 public:
  struct Facts {
    std::string osVersion = "17.2";
    std::string deviceModel = "iPhone15,2";
    std::string platformName = "ios";
    std::string preferredLanguage = "en-us";
    std::string localeIdentifier = "en_US";
    std::int64_t timeZoneOffsetMinutes = 0;
    std::string vendorIdentifier = "6F9619FF-8B86-4D01-B42D-00CF4FC964FF";
  };

  FakeDevice() = default;
  explicit FakeDevice(Facts facts) : facts_(std::move(facts)) {}

  std::string osVersion() override;
  std::string deviceModel() override;
  std::string platformName() override;
  std::string preferredLanguage() override;
  std::string localeIdentifier() override;
  std::int64_t timeZoneOffsetMinutes() override;
  std::string vendorIdentifier() override;

  Facts facts() const;
  void setFacts(Facts facts);
  void setOSVersion(std::string version);
  void setTimeZoneOffsetMinutes(std::int64_t minutes);
  // "" means the platform has no vendor identifier.
  void setVendorIdentifier(std::string identifier);

 private:
  mutable std::mutex mutex_;
  Facts facts_;
};

}  // namespace platform::testing
