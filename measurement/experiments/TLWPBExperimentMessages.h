#pragma once
// Message objects of the SDK-experiment request and response.
//
// Thread-safety, ownership and failure behaviour: see TLWPBMessage.h. Each class lists the
// declaration index of every field; accessors take these indices.

#include <cstdint>

#include "measurement/proto/TLWPBMessage.h"

class TLWPBExperimentRequest;
class TLWPBAppProperty;
class TLWPBClientProperty;
class TLWPBCustomProperty;
class TLWPBExperimentResponse;
class TLWPBSdkResponse;
class TLWPBSnapshot;
class TLWPBExperiment;
class TLWPBFlag;

// The request body posted to /sdk-exp.
class TLWPBExperimentRequest final : public TLWPBTypedMessage<TLWPBExperimentRequest> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kAppProperty = 0;  // field 1
  static constexpr std::int32_t kClientProperties = 1;  // field 2

 private:
  friend class TLWPBTypedMessage<TLWPBExperimentRequest>;
  explicit TLWPBExperimentRequest(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// What the request says about the app and device.
class TLWPBAppProperty final : public TLWPBTypedMessage<TLWPBAppProperty> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kPlatform = 0;  // field 1
  static constexpr std::int32_t kOsVersion = 1;  // field 2
  static constexpr std::int32_t kDeviceModel = 2;  // field 3
  static constexpr std::int32_t kLanguage = 3;  // field 4
  static constexpr std::int32_t kBundleId = 4;  // field 5
  static constexpr std::int32_t kFromAppStore = 5;  // field 6
  static constexpr std::int32_t kLibraryVersion = 6;  // field 7

 private:
  friend class TLWPBTypedMessage<TLWPBAppProperty>;
  explicit TLWPBAppProperty(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// One registered SDK in the request.
class TLWPBClientProperty final : public TLWPBTypedMessage<TLWPBClientProperty> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kSdkName = 0;  // field 1
  static constexpr std::int32_t kDiversionId = 1;  // field 2
  static constexpr std::int32_t kSdkVersion = 2;  // field 3
  static constexpr std::int32_t kAppId = 3;  // field 4
  static constexpr std::int32_t kCustomProperties = 4;  // field 5

 private:
  friend class TLWPBTypedMessage<TLWPBClientProperty>;
  explicit TLWPBClientProperty(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// A name/value pair of an SDK's custom properties.
class TLWPBCustomProperty final : public TLWPBTypedMessage<TLWPBCustomProperty> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kName = 0;  // field 1
  static constexpr std::int32_t kValue = 1;  // field 2

 private:
  friend class TLWPBTypedMessage<TLWPBCustomProperty>;
  explicit TLWPBCustomProperty(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// The service's answer.
class TLWPBExperimentResponse final : public TLWPBTypedMessage<TLWPBExperimentResponse> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kSnapshots = 0;  // field 1
  static constexpr std::int32_t kSdkResponses = 1;  // field 2

 private:
  friend class TLWPBTypedMessage<TLWPBExperimentResponse>;
  explicit TLWPBExperimentResponse(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// The answer for one SDK: a status (0 success) and its snapshot.
class TLWPBSdkResponse final : public TLWPBTypedMessage<TLWPBSdkResponse> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kSdkName = 0;  // field 1
  static constexpr std::int32_t kStatus = 1;  // field 2
  static constexpr std::int32_t kSnapshot = 2;  // field 3

 private:
  friend class TLWPBTypedMessage<TLWPBSdkResponse>;
  explicit TLWPBSdkResponse(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// The experiments of one SDK.
class TLWPBSnapshot final : public TLWPBTypedMessage<TLWPBSnapshot> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kSdkName = 0;  // field 1
  static constexpr std::int32_t kExperiments = 1;  // field 2

 private:
  friend class TLWPBTypedMessage<TLWPBSnapshot>;
  explicit TLWPBSnapshot(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// One experiment (ID 0: launched flags) with its flags.
class TLWPBExperiment final : public TLWPBTypedMessage<TLWPBExperiment> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kExperimentId = 0;  // field 1
  static constexpr std::int32_t kFlags = 1;  // field 2

 private:
  friend class TLWPBTypedMessage<TLWPBExperiment>;
  explicit TLWPBExperiment(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// A flag: the first present of integer, double, string, bool is its value.
class TLWPBFlag final : public TLWPBTypedMessage<TLWPBFlag> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kName = 0;  // field 1
  static constexpr std::int32_t kIntValue = 1;  // field 2
  static constexpr std::int32_t kStringValue = 2;  // field 3
  static constexpr std::int32_t kDoubleValue = 3;  // field 4
  static constexpr std::int32_t kBoolValue = 4;  // field 5

 private:
  friend class TLWPBTypedMessage<TLWPBFlag>;
  explicit TLWPBFlag(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};
