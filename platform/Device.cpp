#include "platform/Device.h"

#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <algorithm>
#include <cctype>

#include "platform/Random.h"

namespace platform {
namespace {

std::string lowerCase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Configuration from the environment is bounded and printable, never trusted blindly.
std::optional<std::string> sanitizedSetting(ProcessInfo& processInfo, const char* name) {
  auto value = processInfo.environmentVariable(name);
  if (!value || value->empty() || value->size() > 64) return std::nullopt;
  for (unsigned char c : *value) {
    if (c < 0x20 || c > 0x7E) return std::nullopt;
  }
  return value;
}

}  // namespace

LinuxDevice::LinuxDevice(std::shared_ptr<ProcessInfo> processInfo, std::shared_ptr<Keychain> keychain,
                         std::shared_ptr<Random> random, std::shared_ptr<Clock> clock)
    : processInfo_(std::move(processInfo)),
      keychain_(std::move(keychain)),
      random_(std::move(random)),
      clock_(std::move(clock)) {}

std::string LinuxDevice::osVersion() {
  return sanitizedSetting(*processInfo_, kOSVersionEnvironmentVariable).value_or(kDefaultOSVersion);
}

std::string LinuxDevice::deviceModel() {
  return sanitizedSetting(*processInfo_, kDeviceModelEnvironmentVariable).value_or(kDefaultDeviceModel);
}

std::string LinuxDevice::preferredLanguage() {
  UErrorCode status = U_ZERO_ERROR;
  std::string tag = icu::Locale::getDefault().toLanguageTag<std::string>(status);
  if (U_FAILURE(status) || tag.empty() || tag == "und") return "";
  // Drop extensions ("-u-va-posix" for the C locale, "-x-..." private use).
  for (std::string_view marker : {"-u-", "-x-", "-t-"}) {
    auto at = tag.find(marker);
    if (at != std::string::npos) tag.resize(at);
  }
  return lowerCase(tag);
}

std::string LinuxDevice::localeIdentifier() {
  const char* base = icu::Locale::getDefault().getBaseName();
  std::string id = base ? base : "";
  // The C locale reads as en_US_POSIX; the variant means nothing to the measurement service.
  if (id == "en_US_POSIX") id = "en_US";
  return id;
}

std::int64_t LinuxDevice::timeZoneOffsetMinutes() {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
  if (!zone) return 0;
  int32_t raw = 0, dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone->getOffset(clock_->now() * 1000.0, false, raw, dst, status);
  if (U_FAILURE(status)) return 0;
  return (static_cast<std::int64_t>(raw) + dst) / 60000;
}

std::string LinuxDevice::vendorIdentifier() {
  std::lock_guard lock(mutex_);
  if (!vendorIdentifier_.empty()) return vendorIdentifier_;
  std::string error;
  auto stored = keychain_->read(kVendorIdentifierService, kVendorIdentifierAccount, &error);
  if (stored) {
    std::string text(stored->begin(), stored->end());
    if (isUUIDv4(text)) {
      vendorIdentifier_ = text;
      return vendorIdentifier_;
    }
  } else if (!error.empty()) {
    return "";  // unreadable store: do not replace an identifier we could not see
  }
  std::string fresh = random_->uuid();
  if (!keychain_->write(kVendorIdentifierService, kVendorIdentifierAccount, Value::Data(fresh.begin(), fresh.end()))) {
    return "";
  }
  vendorIdentifier_ = fresh;
  return vendorIdentifier_;
}

}  // namespace platform
