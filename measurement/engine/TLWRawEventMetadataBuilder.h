#pragma once
// Raw-event metadata: the bundle message without events that describes the app, device,
// identifiers, consent and user properties at the moment an event is written. Each stored
// event refers to it by fingerprint (TLWDatabase::fingerprintOfBytes of its bytes).
//
// Thread-safety: TLWCreateRawEventMetadata is a pure function of its arguments.
// TLWEnvironmentInfo may be read from any thread (the device model is probed once, under
// a one-time guard).
// Failure: none towards the caller; fields the device cannot answer are left out after a
// log line.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/TLWBundleIdentifiers.h"
#include "platform/Environment.h"

class TLWMonitor;
class TLWPBMeasurementBundle;
class TLWUserAttribute;

// The identity facts a metadata record carries, gathered by the caller.
struct TLWRawEventMetadataInputs {
  std::string appID;  // the bundle identifier
  bool isFromAppStore = false;
  std::optional<std::string> appVersion;
  std::string appIDFromZEL;
  std::string appIDFromQuado;
  std::int64_t libraryVersion = 80901;
  std::string installationID;  // tarnwickInstallationID
  std::optional<std::int32_t> appVersionMajor;
  std::optional<std::int32_t> appVersionMinor;
  std::optional<std::int32_t> appVersionRelease;
  TLWBundleIdentifierInputs identifiers;
};

// Device facts for metadata. One shared instance per environment.
class TLWEnvironmentInfo {
 public:
  explicit TLWEnvironmentInfo(std::shared_ptr<platform::Environment> env, std::shared_ptr<TLWMonitor> monitor = nullptr);
  // The instance on Environment::current().
  static std::shared_ptr<TLWEnvironmentInfo> sharedInstance();

  // Probed once and cached; "" (logged 14000) when the device cannot say.
  std::string deviceModel();
  std::string deviceOSVersion();
  // The first preferred language in lower case; nullopt (logged 14001) when there is none.
  std::optional<std::string> userDefaultLanguage();
  std::int64_t timeZoneOffsetMinutes();

 private:
  std::shared_ptr<platform::Environment> env_;
  std::shared_ptr<TLWMonitor> monitor_;
  std::once_flag modelOnce_;
  std::string deviceModel_;
};

// createRawEventMetadataWithUserAttributes: the metadata for `inputs`, the device facts of
// `environmentInfo` and `userAttributes` (in message form, in the given order).
std::shared_ptr<TLWPBMeasurementBundle> TLWCreateRawEventMetadata(
    const TLWRawEventMetadataInputs& inputs, TLWEnvironmentInfo& environmentInfo,
    const std::vector<std::shared_ptr<TLWUserAttribute>>& userAttributes);
