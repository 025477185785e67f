#include "measurement/proto/TLWPBMeasurementBatch.h"

#include "measurement/proto/MeasurementBatch.pb.h"

#include "measurement/proto/TLWPBBundleBytes.h"

using namespace tlwpb_kind;

namespace {

const TLWPBFieldDescriptor kMeasurementBatchFields[] = {
    {"bundles", 1, kRepeated | kMessage, &TLWPBMeasurementBundle::descriptor},
};

const TLWPBFieldDescriptor kMeasurementBundleFields[] = {
    {"protocol_version", 1, kSingular | kInt32, nullptr},
    {"events", 2, kRepeated | kMessage, &TLWPBEvent::descriptor},
    {"user_attributes", 3, kRepeated | kMessage, &TLWPBUserAttribute::descriptor},
    {"upload_timestamp", 4, kSingular | kInt64, nullptr},
    {"start_timestamp", 5, kSingular | kInt64, nullptr},
    {"end_timestamp", 6, kSingular | kInt64, nullptr},
    {"previous_bundle_start_timestamp", 26, kSingular | kInt64, nullptr},
    {"previous_bundle_end_timestamp", 7, kSingular | kInt64, nullptr},
    {"platform", 8, kSingular | kString, nullptr},
    {"os_version", 9, kSingular | kString, nullptr},
    {"device_model", 10, kSingular | kString, nullptr},
    {"user_default_language", 11, kSingular | kString, nullptr},
    {"timezone_offset_minutes", 12, kSingular | kInt32, nullptr},
    {"app_store", 13, kSingular | kString, nullptr},
    {"app_id", 14, kSingular | kString, nullptr},
    {"unused_field_15", 15, kSingular | kInt64, nullptr},
    {"app_version", 16, kSingular | kString, nullptr},
    {"sdk_version", 17, kSingular | kInt64, nullptr},
    {"upload_sdk_version", 18, kSingular | kInt64, nullptr},
    {"resettable_device_id", 19, kSingular | kString, nullptr},
    {"vendor_device_id", 27, kSingular | kString, nullptr},
    {"limited_ad_tracking", 20, kSingular | kBool, nullptr},
    {"app_instance_id", 21, kSingular | kString, nullptr},
    {"unused_field_22", 22, kSingular | kInt64, nullptr},
    {"bundle_sequence_index", 23, kSingular | kInt32, nullptr},
    {"monitoring_data", 24, kSingular | kString, nullptr},
    {"zel_app_id", 25, kSingular | kString, nullptr},
    {"unused_field_28", 28, kSingular | kBool, nullptr},
    {"audience_evaluation_results", 29, kRepeated | kMessage, &TLWPBAudienceLeafFilterResult::descriptor},
    {"installation_id", 30, kSingular | kString, nullptr},
    {"app_version_major", 31, kSingular | kInt32, nullptr},
    {"app_version_minor", 32, kSingular | kInt32, nullptr},
    {"app_version_release", 33, kSingular | kInt32, nullptr},
    {"unused_field_34", 34, kSingular | kString, nullptr},
    {"config_version", 35, kSingular | kInt64, nullptr},
    {"retry_count", 39, kSingular | kInt32, nullptr},
    {"quado_app_id", 41, kSingular | kString, nullptr},
    {"experiment_ids", 45, kRepeated | kUInt32ListElement, nullptr},
    {"bundle_checksum", 47, kSingular | kInt64, nullptr},
    {"unused_field_50", 50, kSingular | kString, nullptr},
    {"consent_signals", 52, kSingular | kString, nullptr},
    {"att_consent_status", 53, kSingular | kUInt32, nullptr},
    {"unused_field_55", 55, kSingular | kBool, nullptr},
    {"unused_field_57", 57, kSingular | kString, nullptr},
    {"unused_field_58", 58, kSingular | kBool, nullptr},
    {"hashed_user_data", 59, kSingular | kMessage, &TLWPBHashedUserData::descriptor},
};

const TLWPBFieldDescriptor kEventFields[] = {
    {"params", 1, kRepeated | kMessage, &TLWPBEventParam::descriptor},
    {"name", 2, kSingular | kString, nullptr},
    {"timestamp", 3, kSingular | kInt64, nullptr},
    {"previous_timestamp", 4, kSingular | kInt64, nullptr},
    {"unused_field_5", 5, kSingular | kInt32, nullptr},
};

const TLWPBFieldDescriptor kEventParamFields[] = {
    {"name", 1, kSingular | kString, nullptr},
    {"string_value", 2, kSingular | kString, nullptr},
    {"int_value", 3, kSingular | kInt64, nullptr},
    {"float_value", 4, kSingular | kFloat, nullptr},
    {"double_value", 5, kSingular | kDouble, nullptr},
    {"param_value", 6, kRepeated | kMessage, &TLWPBEventParam::descriptor},
};

const TLWPBFieldDescriptor kUserAttributeFields[] = {
    {"set_timestamp", 1, kSingular | kInt64, nullptr},
    {"name", 2, kSingular | kString, nullptr},
    {"string_value", 3, kSingular | kString, nullptr},
    {"int_value", 4, kSingular | kInt64, nullptr},
    {"float_value", 5, kSingular | kFloat, nullptr},
    {"double_value", 6, kSingular | kDouble, nullptr},
};

const TLWPBFieldDescriptor kAudienceLeafFilterResultFields[] = {
    {"audience_id", 1, kSingular | kInt32, nullptr},
    {"current_data", 2, kSingular | kMessage, &TLWPBResultData::descriptor},
    {"previous_data", 3, kSingular | kMessage, &TLWPBResultData::descriptor},
    {"new_audience", 4, kSingular | kBool, nullptr},
};

const TLWPBFieldDescriptor kResultDataFields[] = {
    {"status", 1, kRepeated | kUInt64, nullptr},
    {"results", 2, kRepeated | kUInt64, nullptr},
    {"dynamic_filter_timestamps", 3, kRepeated | kMessage, &TLWPBDynamicFilterResultTimestamp::descriptor},
    {"sequence_filter_timestamps", 4, kRepeated | kMessage, &TLWPBSequenceFilterResultTimestamp::descriptor},
};

const TLWPBFieldDescriptor kDynamicFilterResultTimestampFields[] = {
    {"filter_id", 1, kSingular | kInt32, nullptr},
    {"timestamp", 2, kSingular | kInt64, nullptr},
};

const TLWPBFieldDescriptor kSequenceFilterResultTimestampFields[] = {
    {"filter_id", 1, kSingular | kInt32, nullptr},
    {"eval_timestamps", 2, kRepeated | kInt64, nullptr},
};

const TLWPBFieldDescriptor kHashedUserDataFields[] = {
    {"value_1", 1, kSingular | kString, nullptr},
    {"value_2", 2, kSingular | kString, nullptr},
    {"address", 3, kSingular | kMessage, &TLWPBAddress::descriptor},
};

const TLWPBFieldDescriptor kAddressFields[] = {
    {"component_1", 1, kSingular | kString, nullptr},
    {"component_2", 2, kSingular | kString, nullptr},
    {"component_3", 3, kSingular | kString, nullptr},
    {"component_4", 4, kSingular | kString, nullptr},
    {"component_5", 5, kSingular | kString, nullptr},
    {"component_6", 6, kSingular | kString, nullptr},
    {"component_7", 7, kSingular | kString, nullptr},
};

}  // namespace

const TLWPBMessageDescriptor& TLWPBMeasurementBatch::descriptor() {
  static const TLWPBMessageDescriptor d{"MeasurementBatch", tlwpb_MeasurementBatch_fields, sizeof(tlwpb_MeasurementBatch), kMeasurementBatchFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBMeasurementBundle::descriptor() {
  static const TLWPBMessageDescriptor d{"MeasurementBundle", tlwpb_MeasurementBundle_fields, sizeof(tlwpb_MeasurementBundle), kMeasurementBundleFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBEvent::descriptor() {
  static const TLWPBMessageDescriptor d{"Event", tlwpb_Event_fields, sizeof(tlwpb_Event), kEventFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBEventParam::descriptor() {
  static const TLWPBMessageDescriptor d{"EventParam", tlwpb_EventParam_fields, sizeof(tlwpb_EventParam), kEventParamFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBUserAttribute::descriptor() {
  static const TLWPBMessageDescriptor d{"UserAttribute", tlwpb_UserAttribute_fields, sizeof(tlwpb_UserAttribute), kUserAttributeFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBAudienceLeafFilterResult::descriptor() {
  static const TLWPBMessageDescriptor d{"AudienceLeafFilterResult", tlwpb_AudienceLeafFilterResult_fields, sizeof(tlwpb_AudienceLeafFilterResult), kAudienceLeafFilterResultFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBResultData::descriptor() {
  static const TLWPBMessageDescriptor d{"ResultData", tlwpb_ResultData_fields, sizeof(tlwpb_ResultData), kResultDataFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBDynamicFilterResultTimestamp::descriptor() {
  static const TLWPBMessageDescriptor d{"DynamicFilterResultTimestamp", tlwpb_DynamicFilterResultTimestamp_fields, sizeof(tlwpb_DynamicFilterResultTimestamp), kDynamicFilterResultTimestampFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBSequenceFilterResultTimestamp::descriptor() {
  static const TLWPBMessageDescriptor d{"SequenceFilterResultTimestamp", tlwpb_SequenceFilterResultTimestamp_fields, sizeof(tlwpb_SequenceFilterResultTimestamp), kSequenceFilterResultTimestampFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBHashedUserData::descriptor() {
  static const TLWPBMessageDescriptor d{"HashedUserData", tlwpb_HashedUserData_fields, sizeof(tlwpb_HashedUserData), kHashedUserDataFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBAddress::descriptor() {
  static const TLWPBMessageDescriptor d{"Address", tlwpb_Address_fields, sizeof(tlwpb_Address), kAddressFields};
  return d;
}

std::optional<std::int64_t> TLWPBMeasurementBundle::checksum(TLWError* error) const {
  // The checksum covers the bundle as it would be sent without a checksum of its own.
  auto unsummed = copy();
  if (!unsummed) {
    TLWSetError(error, TLWError::errorWithCode(kTLWPBErrorCodeEncodeFailed, "MeasurementBundle copy failed"));
    return std::nullopt;
  }
  (void)unsummed->ClearField(kBundleChecksum);
  auto bytes = unsummed->protoBuffer(error);
  if (!bytes) return std::nullopt;
  return TLWPBBundleChecksumOfBytes(*bytes, error);
}
