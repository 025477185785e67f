#include "measurement/config/TLWDefaultIdentitySupport.h"

#include <charconv>

#include "platform/app/ClassRegistry.h"

namespace {

constexpr std::string_view kSharedInstanceSelector = "sharedInstance";
constexpr std::string_view kProtocolSelectors[] = {"hasAppDataConsentStatus", "appDataConsentStatus",
                                                   "hasLimitedAdTracking", "limitedAdTracking",
                                                   "resettableDeviceID"};

}  // namespace

std::shared_ptr<TLWDefaultIdentitySupport> TLWDefaultIdentitySupport::sharedInstance() {
  static const auto& instance = *new std::shared_ptr<TLWDefaultIdentitySupport>(create());
  return instance;
}

std::shared_ptr<TLWDefaultIdentitySupport> TLWDefaultIdentitySupport::create(
    std::shared_ptr<platform::Environment> env) {
  if (!env) env = platform::Environment::current();
  auto registry = env->classRegistry();
  platform::Value instance;
  if (registry) {
    std::optional<platform::Value> shared =
        registry->invokeClassMethod(kTLWPlatformIdentitySupportClassName, kSharedInstanceSelector);
    bool conforms = shared && !shared->isNull();
    for (std::string_view selector : kProtocolSelectors) {
      if (!conforms) break;
      conforms = registry->respondsToSelector(kTLWPlatformIdentitySupportClassName, selector, false);
    }
    if (conforms) instance = *shared;
  }
  return std::shared_ptr<TLWDefaultIdentitySupport>(
      new TLWDefaultIdentitySupport(std::move(env), std::move(registry), std::move(instance)));
}

TLWDefaultIdentitySupport::TLWDefaultIdentitySupport(std::shared_ptr<platform::Environment> env,
                                                     std::shared_ptr<platform::ClassRegistry> registry,
                                                     platform::Value adaptorInstance)
    : env_(std::move(env)), registry_(std::move(registry)), adaptorInstance_(std::move(adaptorInstance)) {}

std::optional<platform::Value> TLWDefaultIdentitySupport::ask(std::string_view selector) const {
  if (!hasAdaptor() || !registry_) return std::nullopt;
  return registry_->invokeInstanceMethod(kTLWPlatformIdentitySupportClassName, selector, adaptorInstance_);
}

bool TLWDefaultIdentitySupport::hasAppDataConsentStatus() const {
  auto answer = ask("hasAppDataConsentStatus");
  return answer && answer->boolValue().value_or(false);
}

std::int64_t TLWDefaultIdentitySupport::appDataConsentStatus() const {
  auto answer = ask("appDataConsentStatus");
  if (!answer || !answer->isNumber()) return -1;
  return answer->int64Value().value_or(-1);
}

bool TLWDefaultIdentitySupport::hasLimitedAdTracking() const {
  auto answer = ask("hasLimitedAdTracking");
  return answer && answer->boolValue().value_or(false);
}

bool TLWDefaultIdentitySupport::limitedAdTracking() const {
  if (iOS14OrAbove()) {
    auto identifier = resettableDeviceID();
    return !identifier || *identifier == kTLWAllZeroAdvertisingIdentifier;
  }
  auto answer = ask("limitedAdTracking");
  return answer && answer->boolValue().value_or(false);
}

std::optional<std::string> TLWDefaultIdentitySupport::resettableDeviceID() const {
  auto answer = ask("resettableDeviceID");
  if (!answer) return std::nullopt;
  const std::string* text = answer->string();
  if (!text) return std::nullopt;
  return *text;
}

bool TLWDefaultIdentitySupport::iOS14OrAbove(platform::Environment& env) {
  auto device = env.device();
  if (!device) return false;
  std::string version = device->osVersion();
  int major = 0;
  auto [end, ec] = std::from_chars(version.data(), version.data() + version.size(), major);
  (void)end;
  return ec == std::errc() && major >= 14;
}
