#include "measurement/experiments/TLWEExperimentRequestBuilder.h"

#include <cctype>

#include "measurement/experiments/TLWPBExperimentMessages.h"
#include "platform/Digest.h"
#include "platform/app/Bundle.h"

TLWEExperimentRequestBuilder::TLWEExperimentRequestBuilder(Dependencies dependencies)
    : deps_(std::move(dependencies)) {
  if (!deps_.env) deps_.env = platform::Environment::current();
}

void TLWEExperimentRequestBuilder::addSDKProperty(const TLWESDKProperty& property) {
  std::lock_guard lock(mutex_);
  for (auto& p : properties_) {
    if (p.name == property.name) {
      p = property;
      return;
    }
  }
  properties_.push_back(property);
}

std::vector<TLWESDKProperty> TLWEExperimentRequestBuilder::sdkProperties() const {
  std::lock_guard lock(mutex_);
  return properties_;
}

std::optional<std::string> TLWEExperimentRequestBuilder::diversionID(const TLWESDKProperty& property) const {
  std::optional<std::string> key = property.diversionKey;
  if (!key && deps_.appInstanceID) key = deps_.appInstanceID();
  if (!key) return std::nullopt;
  auto digest = platform::md5Digest(*key + "-" + property.name);
  if (digest.empty()) return std::nullopt;
  return platform::hexString(digest);
}

std::shared_ptr<TLWPBExperimentRequest> TLWEExperimentRequestBuilder::request() const {
  auto device = deps_.env->device();
  auto app = TLWPBAppProperty::initWithMessageInfo();
  app->SetString(TLWPBAppProperty::kPlatform, "ios");
  app->SetString(TLWPBAppProperty::kOsVersion, device->osVersion());
  app->SetString(TLWPBAppProperty::kDeviceModel, device->deviceModel());
  std::string language = device->preferredLanguage();
  for (auto& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!language.empty()) app->SetString(TLWPBAppProperty::kLanguage, language);
  if (auto bundle = deps_.env->mainBundle()) app->SetString(TLWPBAppProperty::kBundleId, bundle->bundleIdentifier());
  app->SetBool(TLWPBAppProperty::kFromAppStore, deps_.isFromAppStore && deps_.isFromAppStore());
  app->SetInt64(TLWPBAppProperty::kLibraryVersion, kTLWEExperimentLibraryVersion);

  auto request = TLWPBExperimentRequest::initWithMessageInfo();
  request->SetMessage(TLWPBExperimentRequest::kAppProperty, app.get());
  for (const auto& property : sdkProperties()) {
    auto client = TLWPBClientProperty::initWithMessageInfo();
    client->SetString(TLWPBClientProperty::kSdkName, property.name);
    if (auto id = diversionID(property)) client->SetString(TLWPBClientProperty::kDiversionId, *id);
    client->SetInt64(TLWPBClientProperty::kSdkVersion, property.version);
    client->SetString(TLWPBClientProperty::kAppId, property.appID);
    for (const auto& [name, value] : property.customProperties) {
      auto custom = TLWPBCustomProperty::initWithMessageInfo();
      custom->SetString(TLWPBCustomProperty::kName, name);
      custom->SetString(TLWPBCustomProperty::kValue, value);
      client->AddRepeatedMessage(TLWPBClientProperty::kCustomProperties, *custom);
    }
    request->AddRepeatedMessage(TLWPBExperimentRequest::kClientProperties, *client);
  }
  return request;
}
