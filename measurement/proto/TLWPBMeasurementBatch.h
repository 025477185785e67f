#pragma once
// Message objects of the upload batch and the bundle.
//
// Thread-safety, ownership and failure behaviour: see TLWPBMessage.h. Each class lists the
// declaration index of every field; accessors take these indices.

#include <cstdint>

#include "measurement/proto/TLWPBMessage.h"

class TLWPBMeasurementBatch;
class TLWPBMeasurementBundle;
class TLWPBEvent;
class TLWPBEventParam;
class TLWPBUserAttribute;
class TLWPBAudienceLeafFilterResult;
class TLWPBResultData;
class TLWPBDynamicFilterResultTimestamp;
class TLWPBSequenceFilterResultTimestamp;
class TLWPBHashedUserData;
class TLWPBAddress;

// The upload request body: the bundles of one upload.
class TLWPBMeasurementBatch final : public TLWPBTypedMessage<TLWPBMeasurementBatch> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kBundles = 0;  // field 1

 private:
  friend class TLWPBTypedMessage<TLWPBMeasurementBatch>;
  explicit TLWPBMeasurementBatch(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// One bundle: events, user attributes, audience results and metadata. Also the stored
// raw-event metadata and the stored queue row.
class TLWPBMeasurementBundle final : public TLWPBTypedMessage<TLWPBMeasurementBundle> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  // The bundle checksum: MD5 of the bundle serialised without bundle_checksum, bytes 8 to
  // 15 of the digest read as a big-endian 64-bit integer. nullopt (and `error`) when the
  // bundle cannot be serialised.
  [[nodiscard]] std::optional<std::int64_t> checksum(TLWError* error = nullptr) const;

  static constexpr std::int32_t kProtocolVersion = 0;  // field 1
  static constexpr std::int32_t kEvents = 1;  // field 2
  static constexpr std::int32_t kUserAttributes = 2;  // field 3
  static constexpr std::int32_t kUploadTimestamp = 3;  // field 4
  static constexpr std::int32_t kStartTimestamp = 4;  // field 5
  static constexpr std::int32_t kEndTimestamp = 5;  // field 6
  static constexpr std::int32_t kPreviousBundleStartTimestamp = 6;  // field 26
  static constexpr std::int32_t kPreviousBundleEndTimestamp = 7;  // field 7
  static constexpr std::int32_t kPlatform = 8;  // field 8
  static constexpr std::int32_t kOsVersion = 9;  // field 9
  static constexpr std::int32_t kDeviceModel = 10;  // field 10
  static constexpr std::int32_t kUserDefaultLanguage = 11;  // field 11
  static constexpr std::int32_t kTimezoneOffsetMinutes = 12;  // field 12
  static constexpr std::int32_t kAppStore = 13;  // field 13
  static constexpr std::int32_t kAppId = 14;  // field 14
  static constexpr std::int32_t kUnusedField15 = 15;  // field 15
  static constexpr std::int32_t kAppVersion = 16;  // field 16
  static constexpr std::int32_t kSdkVersion = 17;  // field 17
  static constexpr std::int32_t kUploadSdkVersion = 18;  // field 18
  static constexpr std::int32_t kResettableDeviceId = 19;  // field 19
  static constexpr std::int32_t kVendorDeviceId = 20;  // field 27
  static constexpr std::int32_t kLimitedAdTracking = 21;  // field 20
  static constexpr std::int32_t kAppInstanceId = 22;  // field 21
  static constexpr std::int32_t kUnusedField22 = 23;  // field 22
  static constexpr std::int32_t kBundleSequenceIndex = 24;  // field 23
  static constexpr std::int32_t kMonitoringData = 25;  // field 24
  static constexpr std::int32_t kZelAppId = 26;  // field 25
  static constexpr std::int32_t kUnusedField28 = 27;  // field 28
  static constexpr std::int32_t kAudienceEvaluationResults = 28;  // field 29
  static constexpr std::int32_t kInstallationId = 29;  // field 30
  static constexpr std::int32_t kAppVersionMajor = 30;  // field 31
  static constexpr std::int32_t kAppVersionMinor = 31;  // field 32
  static constexpr std::int32_t kAppVersionRelease = 32;  // field 33
  static constexpr std::int32_t kUnusedField34 = 33;  // field 34
  static constexpr std::int32_t kConfigVersion = 34;  // field 35
  static constexpr std::int32_t kRetryCount = 35;  // field 39
  static constexpr std::int32_t kQuadoAppId = 36;  // field 41
  static constexpr std::int32_t kExperimentIds = 37;  // field 45
  static constexpr std::int32_t kBundleChecksum = 38;  // field 47
  static constexpr std::int32_t kUnusedField50 = 39;  // field 50
  static constexpr std::int32_t kConsentSignals = 40;  // field 52
  static constexpr std::int32_t kAttConsentStatus = 41;  // field 53
  static constexpr std::int32_t kUnusedField55 = 42;  // field 55
  static constexpr std::int32_t kUnusedField57 = 43;  // field 57
  static constexpr std::int32_t kUnusedField58 = 44;  // field 58
  static constexpr std::int32_t kHashedUserData = 45;  // field 59

 private:
  friend class TLWPBTypedMessage<TLWPBMeasurementBundle>;
  explicit TLWPBMeasurementBundle(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// One logged event.
class TLWPBEvent final : public TLWPBTypedMessage<TLWPBEvent> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kParams = 0;  // field 1
  static constexpr std::int32_t kName = 1;  // field 2
  static constexpr std::int32_t kTimestamp = 2;  // field 3
  static constexpr std::int32_t kPreviousTimestamp = 3;  // field 4
  static constexpr std::int32_t kUnusedField5 = 4;  // field 5

 private:
  friend class TLWPBTypedMessage<TLWPBEvent>;
  explicit TLWPBEvent(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// An event parameter, and the element of array values.
class TLWPBEventParam final : public TLWPBTypedMessage<TLWPBEventParam> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kName = 0;  // field 1
  static constexpr std::int32_t kStringValue = 1;  // field 2
  static constexpr std::int32_t kIntValue = 2;  // field 3
  static constexpr std::int32_t kFloatValue = 3;  // field 4
  static constexpr std::int32_t kDoubleValue = 4;  // field 5
  static constexpr std::int32_t kParamValue = 5;  // field 6

 private:
  friend class TLWPBTypedMessage<TLWPBEventParam>;
  explicit TLWPBEventParam(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// A user property.
class TLWPBUserAttribute final : public TLWPBTypedMessage<TLWPBUserAttribute> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kSetTimestamp = 0;  // field 1
  static constexpr std::int32_t kName = 1;  // field 2
  static constexpr std::int32_t kStringValue = 2;  // field 3
  static constexpr std::int32_t kIntValue = 3;  // field 4
  static constexpr std::int32_t kFloatValue = 4;  // field 5
  static constexpr std::int32_t kDoubleValue = 5;  // field 6

 private:
  friend class TLWPBTypedMessage<TLWPBUserAttribute>;
  explicit TLWPBUserAttribute(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// The evaluation result of one audience.
class TLWPBAudienceLeafFilterResult final : public TLWPBTypedMessage<TLWPBAudienceLeafFilterResult> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kAudienceId = 0;  // field 1
  static constexpr std::int32_t kCurrentData = 1;  // field 2
  static constexpr std::int32_t kPreviousData = 2;  // field 3
  static constexpr std::int32_t kNewAudience = 3;  // field 4

 private:
  friend class TLWPBTypedMessage<TLWPBAudienceLeafFilterResult>;
  explicit TLWPBAudienceLeafFilterResult(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// Filter bit sets and time stamps of an audience result.
class TLWPBResultData final : public TLWPBTypedMessage<TLWPBResultData> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kStatus = 0;  // field 1
  static constexpr std::int32_t kResults = 1;  // field 2
  static constexpr std::int32_t kDynamicFilterTimestamps = 2;  // field 3
  static constexpr std::int32_t kSequenceFilterTimestamps = 3;  // field 4

 private:
  friend class TLWPBTypedMessage<TLWPBResultData>;
  explicit TLWPBResultData(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// When a dynamic filter last became true.
class TLWPBDynamicFilterResultTimestamp final : public TLWPBTypedMessage<TLWPBDynamicFilterResultTimestamp> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kFilterId = 0;  // field 1
  static constexpr std::int32_t kTimestamp = 1;  // field 2

 private:
  friend class TLWPBTypedMessage<TLWPBDynamicFilterResultTimestamp>;
  explicit TLWPBDynamicFilterResultTimestamp(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// The evaluation times of a sequence filter.
class TLWPBSequenceFilterResultTimestamp final : public TLWPBTypedMessage<TLWPBSequenceFilterResultTimestamp> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kFilterId = 0;  // field 1
  static constexpr std::int32_t kEvalTimestamps = 1;  // field 2

 private:
  friend class TLWPBTypedMessage<TLWPBSequenceFilterResultTimestamp>;
  explicit TLWPBSequenceFilterResultTimestamp(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// Declared so that stored bundles decode; never filled by this system.
class TLWPBHashedUserData final : public TLWPBTypedMessage<TLWPBHashedUserData> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kValue1 = 0;  // field 1
  static constexpr std::int32_t kValue2 = 1;  // field 2
  static constexpr std::int32_t kAddress = 2;  // field 3

 private:
  friend class TLWPBTypedMessage<TLWPBHashedUserData>;
  explicit TLWPBHashedUserData(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// Declared so that stored bundles decode; never filled by this system.
class TLWPBAddress final : public TLWPBTypedMessage<TLWPBAddress> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kComponent1 = 0;  // field 1
  static constexpr std::int32_t kComponent2 = 1;  // field 2
  static constexpr std::int32_t kComponent3 = 2;  // field 3
  static constexpr std::int32_t kComponent4 = 3;  // field 4
  static constexpr std::int32_t kComponent5 = 4;  // field 5
  static constexpr std::int32_t kComponent6 = 5;  // field 6
  static constexpr std::int32_t kComponent7 = 6;  // field 7

 private:
  friend class TLWPBTypedMessage<TLWPBAddress>;
  explicit TLWPBAddress(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};
