#pragma once
// Message objects of the measurement configuration.
//
// Thread-safety, ownership and failure behaviour: see TLWPBMessage.h. Each class lists the
// declaration index of every field; accessors take these indices.

#include <cstdint>

#include "measurement/proto/TLWPBMessage.h"

class TLWPBMeasurementConfig;
class TLWPBSetting;
class TLWPBEventConfig;
class TLWPBAudience;
class TLWPBEventFilter;
class TLWPBPropertyFilter;
class TLWPBFilter;
class TLWPBStringFilter;
class TLWPBNumberFilter;
class TLWPBProgram;
class TLWPBOgtActivities;
class TLWPBOgtActivity;
class TLWPBRuntimeEntity;

// The measurement configuration served by the measurement service.
class TLWPBMeasurementConfig final : public TLWPBTypedMessage<TLWPBMeasurementConfig> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kVersion = 0;  // field 1
  static constexpr std::int32_t kAppId = 1;  // field 2
  static constexpr std::int32_t kUnusedField3 = 2;  // field 3
  static constexpr std::int32_t kSettings = 3;  // field 4
  static constexpr std::int32_t kEventConfig = 4;  // field 5
  static constexpr std::int32_t kAudiences = 5;  // field 6
  static constexpr std::int32_t kQuadoAppId = 6;  // field 7
  static constexpr std::int32_t kUnusedField8 = 7;  // field 8
  static constexpr std::int32_t kDynamicEventEditing = 8;  // field 9

 private:
  friend class TLWPBTypedMessage<TLWPBMeasurementConfig>;
  explicit TLWPBMeasurementConfig(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// A tunable setting as a name/value string pair.
class TLWPBSetting final : public TLWPBTypedMessage<TLWPBSetting> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kName = 0;  // field 1
  static constexpr std::int32_t kValue = 1;  // field 2

 private:
  friend class TLWPBTypedMessage<TLWPBSetting>;
  explicit TLWPBSetting(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// Per-event configuration.
class TLWPBEventConfig final : public TLWPBTypedMessage<TLWPBEventConfig> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kName = 0;  // field 1
  static constexpr std::int32_t kBlocklisted = 1;  // field 2
  static constexpr std::int32_t kCustomConversion = 2;  // field 3
  static constexpr std::int32_t kSamplingRate = 3;  // field 4

 private:
  friend class TLWPBTypedMessage<TLWPBEventConfig>;
  explicit TLWPBEventConfig(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// An audience definition.
class TLWPBAudience final : public TLWPBTypedMessage<TLWPBAudience> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kAudienceId = 0;  // field 1
  static constexpr std::int32_t kPropertyFilters = 1;  // field 2
  static constexpr std::int32_t kEventFilters = 2;  // field 3
  static constexpr std::int32_t kUnusedField4 = 3;  // field 4
  static constexpr std::int32_t kUnusedField5 = 4;  // field 5

 private:
  friend class TLWPBTypedMessage<TLWPBAudience>;
  explicit TLWPBAudience(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// An event filter of an audience.
class TLWPBEventFilter final : public TLWPBTypedMessage<TLWPBEventFilter> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kFilterId = 0;  // field 1
  static constexpr std::int32_t kEventName = 1;  // field 2
  static constexpr std::int32_t kFilters = 2;  // field 3
  static constexpr std::int32_t kUnusedField4 = 3;  // field 4
  static constexpr std::int32_t kCountFilter = 4;  // field 5
  static constexpr std::int32_t kDynamic = 5;  // field 6
  static constexpr std::int32_t kSequence = 6;  // field 7
  static constexpr std::int32_t kSessionScoped = 7;  // field 8

 private:
  friend class TLWPBTypedMessage<TLWPBEventFilter>;
  explicit TLWPBEventFilter(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// A user-property filter of an audience.
class TLWPBPropertyFilter final : public TLWPBTypedMessage<TLWPBPropertyFilter> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kFilterId = 0;  // field 1
  static constexpr std::int32_t kPropertyName = 1;  // field 2
  static constexpr std::int32_t kFilter = 2;  // field 3
  static constexpr std::int32_t kDynamic = 3;  // field 4
  static constexpr std::int32_t kSequence = 4;  // field 5
  static constexpr std::int32_t kSessionScoped = 5;  // field 6

 private:
  friend class TLWPBTypedMessage<TLWPBPropertyFilter>;
  explicit TLWPBPropertyFilter(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// A string or number condition, optionally negated.
class TLWPBFilter final : public TLWPBTypedMessage<TLWPBFilter> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kStringFilter = 0;  // field 1
  static constexpr std::int32_t kNumberFilter = 1;  // field 2
  static constexpr std::int32_t kComplement = 2;  // field 3
  static constexpr std::int32_t kParamName = 3;  // field 4

 private:
  friend class TLWPBTypedMessage<TLWPBFilter>;
  explicit TLWPBFilter(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// A string condition.
class TLWPBStringFilter final : public TLWPBTypedMessage<TLWPBStringFilter> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kMatchType = 0;  // field 1
  static constexpr std::int32_t kExpression = 1;  // field 2
  static constexpr std::int32_t kCaseSensitive = 2;  // field 3
  static constexpr std::int32_t kExpressionList = 3;  // field 4

 private:
  friend class TLWPBTypedMessage<TLWPBStringFilter>;
  explicit TLWPBStringFilter(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// A numeric condition with decimal operands.
class TLWPBNumberFilter final : public TLWPBTypedMessage<TLWPBNumberFilter> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kComparisonType = 0;  // field 1
  static constexpr std::int32_t kMatchAsFloat = 1;  // field 2
  static constexpr std::int32_t kComparisonValue = 2;  // field 3
  static constexpr std::int32_t kMinComparisonValue = 3;  // field 4
  static constexpr std::int32_t kMaxComparisonValue = 4;  // field 5

 private:
  friend class TLWPBTypedMessage<TLWPBNumberFilter>;
  explicit TLWPBNumberFilter(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// An event-editing program.
class TLWPBProgram final : public TLWPBTypedMessage<TLWPBProgram> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kInstructions = 0;  // field 1
  static constexpr std::int32_t kActivities = 1;  // field 2

 private:
  friend class TLWPBTypedMessage<TLWPBProgram>;
  explicit TLWPBProgram(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// Named activity data of a program.
class TLWPBOgtActivities final : public TLWPBTypedMessage<TLWPBOgtActivities> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kActivities = 0;  // field 1

 private:
  friend class TLWPBTypedMessage<TLWPBOgtActivities>;
  explicit TLWPBOgtActivities(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// One named activity.
class TLWPBOgtActivity final : public TLWPBTypedMessage<TLWPBOgtActivity> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kName = 0;  // field 1
  static constexpr std::int32_t kData = 1;  // field 2

 private:
  friend class TLWPBTypedMessage<TLWPBOgtActivity>;
  explicit TLWPBOgtActivity(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};

// A program value or statement.
class TLWPBRuntimeEntity final : public TLWPBTypedMessage<TLWPBRuntimeEntity> {
 public:
  static const TLWPBMessageDescriptor& descriptor();

  static constexpr std::int32_t kType = 0;  // field 1
  static constexpr std::int32_t kValue = 1;  // field 2
  static constexpr std::int32_t kStatement = 2;  // field 3
  static constexpr std::int32_t kStringValue = 3;  // field 4
  static constexpr std::int32_t kBooleanValue = 4;  // field 5
  static constexpr std::int32_t kNumberValue = 5;  // field 6

 private:
  friend class TLWPBTypedMessage<TLWPBRuntimeEntity>;
  explicit TLWPBRuntimeEntity(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBTypedMessage(std::move(info)) {}
};
