#include "platform/testing/FakeDevice.h"

namespace platform::testing {

std::string FakeDevice::osVersion() { return facts().osVersion; }
std::string FakeDevice::deviceModel() { return facts().deviceModel; }
std::string FakeDevice::platformName() { return facts().platformName; }
std::string FakeDevice::preferredLanguage() { return facts().preferredLanguage; }
std::string FakeDevice::localeIdentifier() { return facts().localeIdentifier; }
std::int64_t FakeDevice::timeZoneOffsetMinutes() { return facts().timeZoneOffsetMinutes; }
std::string FakeDevice::vendorIdentifier() { return facts().vendorIdentifier; }

FakeDevice::Facts FakeDevice::facts() const {
  std::lock_guard lock(mutex_);
  return facts_;
}

void FakeDevice::setFacts(Facts facts) {
  std::lock_guard lock(mutex_);
  facts_ = std::move(facts);
}

void FakeDevice::setOSVersion(std::string version) {
  std::lock_guard lock(mutex_);
  facts_.osVersion = std::move(version);
}

void FakeDevice::setTimeZoneOffsetMinutes(std::int64_t minutes) {
  std::lock_guard lock(mutex_);
  facts_.timeZoneOffsetMinutes = minutes;
}

void FakeDevice::setVendorIdentifier(std::string identifier) {
  std::lock_guard lock(mutex_);
  facts_.vendorIdentifier = std::move(identifier);
}

}  // namespace platform::testing
