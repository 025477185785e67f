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

class TLWError;
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

  bool operator==(const TLWRawEventMetadataInputs&) const = default;
};

// What the device says of itself in a metadata record.
struct TLWDeviceFacts {
  std::string model;
  std::string osVersion;
  std::int64_t timeZoneOffsetMinutes = 0;
  std::optional<std::string> language;

  bool operator==(const TLWDeviceFacts&) const = default;
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
  TLWDeviceFacts facts();

 private:
  std::shared_ptr<platform::Environment> env_;
  std::shared_ptr<TLWMonitor> monitor_;
  std::once_flag modelOnce_;
  std::string deviceModel_;
};

// createRawEventMetadataWithUserAttributes: the metadata for `inputs`, the device facts and
// `userAttributes` (in message form, in the given order).
std::shared_ptr<TLWPBMeasurementBundle> TLWCreateRawEventMetadata(
    const TLWRawEventMetadataInputs& inputs, const TLWDeviceFacts& device,
    const std::vector<std::shared_ptr<TLWUserAttribute>>& userAttributes);

// The serialised metadata of the last event written, built again only when what goes into
// it changed: consecutive events mostly share it. User properties count as unchanged while
// they are the very same records (records are immutable, and the database hands out the
// same ones until a property changes). Worker queue only.
class TLWRawEventMetadataCache {
 public:
  struct Metadata {
    std::vector<std::uint8_t> bytes;
    bool hasResettableDeviceID = false;
  };
  // Null (with the error) when the metadata cannot be built or serialised.
  const Metadata* metadataFor(const TLWRawEventMetadataInputs& inputs, const TLWDeviceFacts& device,
                              const std::vector<std::shared_ptr<TLWUserAttribute>>& userAttributes, TLWError* error);
  // Builds done, for tests and benchmarks.
  std::uint64_t builds() const { return builds_; }

 private:
  struct Key {
    TLWRawEventMetadataInputs inputs;
    TLWDeviceFacts device;
    std::vector<std::shared_ptr<TLWUserAttribute>> userAttributes;
    bool operator==(const Key&) const = default;
  };
  std::optional<Key> key_;
  Metadata metadata_;
  std::uint64_t builds_ = 0;
};
