#include "measurement/engine/TLWRawEventMetadataBuilder.h"

#include <cctype>

#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"

TLWEnvironmentInfo::TLWEnvironmentInfo(std::shared_ptr<platform::Environment> env, std::shared_ptr<TLWMonitor> monitor)
    : env_(env ? std::move(env) : platform::Environment::current()),
      monitor_(monitor ? std::move(monitor) : TLWMonitor::sharedInstance()) {}

std::shared_ptr<TLWEnvironmentInfo> TLWEnvironmentInfo::sharedInstance() {
  static const auto& instance = *new std::shared_ptr<TLWEnvironmentInfo>(std::make_shared<TLWEnvironmentInfo>(nullptr));
  return instance;
}

std::string TLWEnvironmentInfo::deviceModel() {
  std::call_once(modelOnce_, [this] {
    deviceModel_ = env_->device()->deviceModel();
    if (deviceModel_.empty()) {
      monitor_->logWithLevel(2, 14000, "Failed to get device model", platform::Value("device model unavailable"));
    }
  });
  return deviceModel_;
}

std::string TLWEnvironmentInfo::deviceOSVersion() { return env_->device()->osVersion(); }

std::optional<std::string> TLWEnvironmentInfo::userDefaultLanguage() {
  std::string language = env_->device()->preferredLanguage();
  if (language.empty()) {
    monitor_->logWithLevel(2, 14001, "Failed to get preferred language");
    return std::nullopt;
  }
  for (char& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return language;
}

std::int64_t TLWEnvironmentInfo::timeZoneOffsetMinutes() { return env_->device()->timeZoneOffsetMinutes(); }

TLWDeviceFacts TLWEnvironmentInfo::facts() {
  return TLWDeviceFacts{deviceModel(), deviceOSVersion(), timeZoneOffsetMinutes(), userDefaultLanguage()};
}

std::shared_ptr<TLWPBMeasurementBundle> TLWCreateRawEventMetadata(
    const TLWRawEventMetadataInputs& in, const TLWDeviceFacts& device,
    const std::vector<std::shared_ptr<TLWUserAttribute>>& userAttributes) {
  using B = TLWPBMeasurementBundle;
  auto bundle = B::initWithMessageInfo();
  if (!bundle) return nullptr;

  bundle->SetString(B::kPlatform, "ios");
  bundle->SetInt32(B::kProtocolVersion, 1);
  bundle->SetString(B::kAppId, in.appID);
  if (!in.isFromAppStore) bundle->SetString(B::kAppStore, "manual_install");
  if (in.appVersion) bundle->SetString(B::kAppVersion, *in.appVersion);

  if (!in.appIDFromZEL.empty()) {
    bundle->SetString(B::kZelAppId, in.appIDFromZEL);
  } else if (!in.appIDFromQuado.empty()) {
    bundle->SetString(B::kQuadoAppId, in.appIDFromQuado);
  }

  bundle->SetInt64(B::kSdkVersion, in.libraryVersion);
  if (!in.installationID.empty()) bundle->SetString(B::kInstallationId, in.installationID);
  if (in.appVersionMajor) bundle->SetInt32(B::kAppVersionMajor, *in.appVersionMajor);
  if (in.appVersionMinor) bundle->SetInt32(B::kAppVersionMinor, *in.appVersionMinor);
  if (in.appVersionRelease) bundle->SetInt32(B::kAppVersionRelease, *in.appVersionRelease);

  TLWApplyBundleIdentifiers(*bundle, in.identifiers);

  if (!device.model.empty()) bundle->SetString(B::kDeviceModel, device.model);
  if (!device.osVersion.empty()) bundle->SetString(B::kOsVersion, device.osVersion);
  bundle->SetInt32(B::kTimezoneOffsetMinutes, static_cast<std::int32_t>(device.timeZoneOffsetMinutes));
  if (device.language) bundle->SetString(B::kUserDefaultLanguage, *device.language);

  for (const auto& attribute : userAttributes) {
    if (!attribute) continue;
    if (auto proto = attribute->protoUserAttribute()) bundle->AddRepeatedMessage(B::kUserAttributes, *proto);
  }
  return bundle;
}

const TLWRawEventMetadataCache::Metadata* TLWRawEventMetadataCache::metadataFor(
    const TLWRawEventMetadataInputs& inputs, const TLWDeviceFacts& device,
    const std::vector<std::shared_ptr<TLWUserAttribute>>& userAttributes, TLWError* error) {
  // Compared in place: the key is copied only when the metadata changes.
  if (key_ && key_->inputs == inputs && key_->device == device && key_->userAttributes == userAttributes) {
    return &metadata_;
  }
  key_.reset();
  ++builds_;
  auto bundle = TLWCreateRawEventMetadata(inputs, device, userAttributes);
  if (!bundle) {
    TLWSetError(error, TLWError::errorWithCode(2, "Failed to create event metadata"));
    return nullptr;
  }
  auto bytes = bundle->protoBuffer(error);
  if (!bytes) return nullptr;
  metadata_ = Metadata{std::move(*bytes), bundle->HasField(TLWPBMeasurementBundle::kResettableDeviceId)};
  key_ = Key{inputs, device, userAttributes};
  return &metadata_;
}
