#include "measurement/proto/TLWPBMeasurementConfig.h"

#include "measurement/proto/MeasurementConfig.pb.h"

using namespace tlwpb_kind;

namespace {

const TLWPBFieldDescriptor kMeasurementConfigFields[] = {
    {"version", 1, kSingular | kInt64, nullptr},
    {"app_id", 2, kSingular | kString, nullptr},
    {"unused_field_3", 3, kSingular | kInt32, nullptr},
    {"settings", 4, kRepeated | kMessage, &TLWPBSetting::descriptor},
    {"event_config", 5, kRepeated | kMessage, &TLWPBEventConfig::descriptor},
    {"audiences", 6, kRepeated | kMessage, &TLWPBAudience::descriptor},
    {"quado_app_id", 7, kSingular | kString, nullptr},
    {"unused_field_8", 8, kSingular | kBool, nullptr},
    {"dynamic_event_editing", 9, kRepeated | kMessage, &TLWPBProgram::descriptor},
};

const TLWPBFieldDescriptor kSettingFields[] = {
    {"name", 1, kSingular | kString, nullptr},
    {"value", 2, kSingular | kString, nullptr},
};

const TLWPBFieldDescriptor kEventConfigFields[] = {
    {"name", 1, kSingular | kString, nullptr},
    {"blocklisted", 2, kSingular | kBool, nullptr},
    {"custom_conversion", 3, kSingular | kBool, nullptr},
    {"sampling_rate", 4, kSingular | kInt32, nullptr},
};

const TLWPBFieldDescriptor kAudienceFields[] = {
    {"audience_id", 1, kSingular | kInt32, nullptr},
    {"property_filters", 2, kRepeated | kMessage, &TLWPBPropertyFilter::descriptor},
    {"event_filters", 3, kRepeated | kMessage, &TLWPBEventFilter::descriptor},
    {"unused_field_4", 4, kSingular | kBool, nullptr},
    {"unused_field_5", 5, kSingular | kBool, nullptr},
};

const TLWPBFieldDescriptor kEventFilterFields[] = {
    {"filter_id", 1, kSingular | kInt32, nullptr},
    {"event_name", 2, kSingular | kString, nullptr},
    {"filters", 3, kRepeated | kMessage, &TLWPBFilter::descriptor},
    {"unused_field_4", 4, kSingular | kBool, nullptr},
    {"count_filter", 5, kSingular | kMessage, &TLWPBNumberFilter::descriptor},
    {"dynamic", 6, kSingular | kBool, nullptr},
    {"sequence", 7, kSingular | kBool, nullptr},
    {"session_scoped", 8, kSingular | kBool, nullptr},
};

const TLWPBFieldDescriptor kPropertyFilterFields[] = {
    {"filter_id", 1, kSingular | kInt32, nullptr},
    {"property_name", 2, kSingular | kString, nullptr},
    {"filter", 3, kSingular | kMessage, &TLWPBFilter::descriptor},
    {"dynamic", 4, kSingular | kBool, nullptr},
    {"sequence", 5, kSingular | kBool, nullptr},
    {"session_scoped", 6, kSingular | kBool, nullptr},
};

const TLWPBFieldDescriptor kFilterFields[] = {
    {"string_filter", 1, kSingular | kMessage, &TLWPBStringFilter::descriptor},
    {"number_filter", 2, kSingular | kMessage, &TLWPBNumberFilter::descriptor},
    {"complement", 3, kSingular | kBool, nullptr},
    {"param_name", 4, kSingular | kString, nullptr},
};

const TLWPBFieldDescriptor kStringFilterFields[] = {
    {"match_type", 1, kSingular | kUInt32, nullptr},
    {"expression", 2, kSingular | kString, nullptr},
    {"case_sensitive", 3, kSingular | kBool, nullptr},
    {"expression_list", 4, kRepeated | kString, nullptr},
};

const TLWPBFieldDescriptor kNumberFilterFields[] = {
    {"comparison_type", 1, kSingular | kUInt32, nullptr},
    {"match_as_float", 2, kSingular | kBool, nullptr},
    {"comparison_value", 3, kSingular | kString, nullptr},
    {"min_comparison_value", 4, kSingular | kString, nullptr},
    {"max_comparison_value", 5, kSingular | kString, nullptr},
};

const TLWPBFieldDescriptor kProgramFields[] = {
    {"instructions", 1, kRepeated | kMessage, &TLWPBRuntimeEntity::descriptor},
    {"activities", 2, kSingular | kMessage, &TLWPBOgtActivities::descriptor},
};

const TLWPBFieldDescriptor kOgtActivitiesFields[] = {
    {"activities", 1, kRepeated | kMessage, &TLWPBOgtActivity::descriptor},
};

const TLWPBFieldDescriptor kOgtActivityFields[] = {
    {"name", 1, kSingular | kString, nullptr},
    {"data", 2, kRepeated | kMessage, &TLWPBRuntimeEntity::descriptor},
};

const TLWPBFieldDescriptor kRuntimeEntityFields[] = {
    {"type", 1, kSingular | kUInt32, nullptr},
    {"value", 2, kRepeated | kMessage, &TLWPBRuntimeEntity::descriptor},
    {"statement", 3, kSingular | kString, nullptr},
    {"string_value", 4, kSingular | kString, nullptr},
    {"boolean_value", 5, kSingular | kBool, nullptr},
    {"number_value", 6, kSingular | kDouble, nullptr},
};

}  // namespace

const TLWPBMessageDescriptor& TLWPBMeasurementConfig::descriptor() {
  static const TLWPBMessageDescriptor d{"MeasurementConfig", tlwpb_MeasurementConfig_fields, sizeof(tlwpb_MeasurementConfig), kMeasurementConfigFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBSetting::descriptor() {
  static const TLWPBMessageDescriptor d{"Setting", tlwpb_Setting_fields, sizeof(tlwpb_Setting), kSettingFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBEventConfig::descriptor() {
  static const TLWPBMessageDescriptor d{"EventConfig", tlwpb_EventConfig_fields, sizeof(tlwpb_EventConfig), kEventConfigFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBAudience::descriptor() {
  static const TLWPBMessageDescriptor d{"Audience", tlwpb_Audience_fields, sizeof(tlwpb_Audience), kAudienceFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBEventFilter::descriptor() {
  static const TLWPBMessageDescriptor d{"EventFilter", tlwpb_EventFilter_fields, sizeof(tlwpb_EventFilter), kEventFilterFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBPropertyFilter::descriptor() {
  static const TLWPBMessageDescriptor d{"PropertyFilter", tlwpb_PropertyFilter_fields, sizeof(tlwpb_PropertyFilter), kPropertyFilterFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBFilter::descriptor() {
  static const TLWPBMessageDescriptor d{"Filter", tlwpb_Filter_fields, sizeof(tlwpb_Filter), kFilterFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBStringFilter::descriptor() {
  static const TLWPBMessageDescriptor d{"StringFilter", tlwpb_StringFilter_fields, sizeof(tlwpb_StringFilter), kStringFilterFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBNumberFilter::descriptor() {
  static const TLWPBMessageDescriptor d{"NumberFilter", tlwpb_NumberFilter_fields, sizeof(tlwpb_NumberFilter), kNumberFilterFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBProgram::descriptor() {
  static const TLWPBMessageDescriptor d{"Program", tlwpb_Program_fields, sizeof(tlwpb_Program), kProgramFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBOgtActivities::descriptor() {
  static const TLWPBMessageDescriptor d{"OgtActivities", tlwpb_OgtActivities_fields, sizeof(tlwpb_OgtActivities), kOgtActivitiesFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBOgtActivity::descriptor() {
  static const TLWPBMessageDescriptor d{"OgtActivity", tlwpb_OgtActivity_fields, sizeof(tlwpb_OgtActivity), kOgtActivityFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBRuntimeEntity::descriptor() {
  static const TLWPBMessageDescriptor d{"RuntimeEntity", tlwpb_RuntimeEntity_fields, sizeof(tlwpb_RuntimeEntity), kRuntimeEntityFields};
  return d;
}
