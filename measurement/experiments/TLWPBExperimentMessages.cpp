#include "measurement/experiments/TLWPBExperimentMessages.h"

#include "measurement/experiments/ExperimentMessages.pb.h"

using namespace tlwpb_kind;

namespace {

const TLWPBFieldDescriptor kExperimentRequestFields[] = {
    {"app_property", 1, kSingular | kMessage, &TLWPBAppProperty::descriptor},
    {"client_properties", 2, kRepeated | kMessage, &TLWPBClientProperty::descriptor},
};

const TLWPBFieldDescriptor kAppPropertyFields[] = {
    {"platform", 1, kSingular | kString, nullptr},
    {"os_version", 2, kSingular | kString, nullptr},
    {"device_model", 3, kSingular | kString, nullptr},
    {"language", 4, kSingular | kString, nullptr},
    {"bundle_id", 5, kSingular | kString, nullptr},
    {"from_app_store", 6, kSingular | kBool, nullptr},
    {"library_version", 7, kSingular | kInt64, nullptr},
};

const TLWPBFieldDescriptor kClientPropertyFields[] = {
    {"sdk_name", 1, kSingular | kString, nullptr},
    {"diversion_id", 2, kSingular | kString, nullptr},
    {"sdk_version", 3, kSingular | kInt64, nullptr},
    {"app_id", 4, kSingular | kString, nullptr},
    {"custom_properties", 5, kRepeated | kMessage, &TLWPBCustomProperty::descriptor},
};

const TLWPBFieldDescriptor kCustomPropertyFields[] = {
    {"name", 1, kSingular | kString, nullptr},
    {"value", 2, kSingular | kString, nullptr},
};

const TLWPBFieldDescriptor kExperimentResponseFields[] = {
    {"snapshots", 1, kRepeated | kMessage, &TLWPBSnapshot::descriptor},
    {"sdk_responses", 2, kRepeated | kMessage, &TLWPBSdkResponse::descriptor},
};

const TLWPBFieldDescriptor kSdkResponseFields[] = {
    {"sdk_name", 1, kSingular | kString, nullptr},
    {"status", 2, kSingular | kUInt32, nullptr},
    {"snapshot", 3, kSingular | kMessage, &TLWPBSnapshot::descriptor},
};

const TLWPBFieldDescriptor kSnapshotFields[] = {
    {"sdk_name", 1, kSingular | kString, nullptr},
    {"experiments", 2, kRepeated | kMessage, &TLWPBExperiment::descriptor},
};

const TLWPBFieldDescriptor kExperimentFields[] = {
    {"experiment_id", 1, kSingular | kInt32, nullptr},
    {"flags", 2, kRepeated | kMessage, &TLWPBFlag::descriptor},
};

const TLWPBFieldDescriptor kFlagFields[] = {
    {"name", 1, kSingular | kString, nullptr},
    {"int_value", 2, kSingular | kInt64, nullptr},
    {"string_value", 3, kSingular | kString, nullptr},
    {"double_value", 4, kSingular | kDouble, nullptr},
    {"bool_value", 5, kSingular | kBool, nullptr},
};

}  // namespace

const TLWPBMessageDescriptor& TLWPBExperimentRequest::descriptor() {
  static const TLWPBMessageDescriptor d{"ExperimentRequest", tlwpb_ExperimentRequest_fields, sizeof(tlwpb_ExperimentRequest), kExperimentRequestFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBAppProperty::descriptor() {
  static const TLWPBMessageDescriptor d{"AppProperty", tlwpb_AppProperty_fields, sizeof(tlwpb_AppProperty), kAppPropertyFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBClientProperty::descriptor() {
  static const TLWPBMessageDescriptor d{"ClientProperty", tlwpb_ClientProperty_fields, sizeof(tlwpb_ClientProperty), kClientPropertyFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBCustomProperty::descriptor() {
  static const TLWPBMessageDescriptor d{"CustomProperty", tlwpb_CustomProperty_fields, sizeof(tlwpb_CustomProperty), kCustomPropertyFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBExperimentResponse::descriptor() {
  static const TLWPBMessageDescriptor d{"ExperimentResponse", tlwpb_ExperimentResponse_fields, sizeof(tlwpb_ExperimentResponse), kExperimentResponseFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBSdkResponse::descriptor() {
  static const TLWPBMessageDescriptor d{"SdkResponse", tlwpb_SdkResponse_fields, sizeof(tlwpb_SdkResponse), kSdkResponseFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBSnapshot::descriptor() {
  static const TLWPBMessageDescriptor d{"Snapshot", tlwpb_Snapshot_fields, sizeof(tlwpb_Snapshot), kSnapshotFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBExperiment::descriptor() {
  static const TLWPBMessageDescriptor d{"Experiment", tlwpb_Experiment_fields, sizeof(tlwpb_Experiment), kExperimentFields};
  return d;
}

const TLWPBMessageDescriptor& TLWPBFlag::descriptor() {
  static const TLWPBMessageDescriptor d{"Flag", tlwpb_Flag_fields, sizeof(tlwpb_Flag), kFlagFields};
  return d;
}
