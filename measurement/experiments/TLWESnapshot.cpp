#include "measurement/experiments/TLWESnapshot.h"

#include <cmath>

#include "measurement/experiments/TLWPBExperimentMessages.h"

platform::Value TLWESnapshot::flagByName(std::string_view name) const {
  for (const auto& experiment : experiments) {
    if (auto it = experiment.flags.find(name); it != experiment.flags.end()) return it->second;
  }
  return {};
}

platform::Value TLWESnapshot::flagValue(const TLWPBFlag& flag) {
  if (flag.HasField(TLWPBFlag::kIntValue)) return platform::Value(flag.GetInt64(TLWPBFlag::kIntValue));
  // NaN or infinity is no usable value (and NaN never equals itself): the SDK's default applies.
  if (flag.HasField(TLWPBFlag::kDoubleValue) && std::isfinite(flag.GetDouble(TLWPBFlag::kDoubleValue)))
    return platform::Value(flag.GetDouble(TLWPBFlag::kDoubleValue));
  if (auto s = flag.GetString(TLWPBFlag::kStringValue)) return platform::Value(*s);
  if (flag.HasField(TLWPBFlag::kBoolValue)) return platform::Value(flag.GetBool(TLWPBFlag::kBoolValue));
  return {};
}

std::optional<TLWESnapshot> TLWESnapshot::fromProto(const TLWPBSnapshot& proto) {
  TLWESnapshot snapshot;
  snapshot.SDKName = proto.GetString(TLWPBSnapshot::kSdkName).value_or("");
  if (snapshot.SDKName.empty()) return std::nullopt;
  for (const auto& e : proto.GetRepeated<TLWPBExperiment>(TLWPBSnapshot::kExperiments)) {
    TLWEExperiment experiment;
    experiment.experimentID = e->GetInt32(TLWPBExperiment::kExperimentId);
    for (const auto& f : e->GetRepeated<TLWPBFlag>(TLWPBExperiment::kFlags)) {
      auto name = f->GetString(TLWPBFlag::kName);
      platform::Value value = flagValue(*f);
      if (name && !name->empty() && !value.isNull()) experiment.flags.emplace(*name, std::move(value));
    }
    snapshot.experiments.push_back(std::move(experiment));
  }
  return snapshot;
}

std::shared_ptr<TLWPBSnapshot> TLWESnapshot::toProto() const {
  auto proto = TLWPBSnapshot::initWithMessageInfo();
  proto->SetString(TLWPBSnapshot::kSdkName, SDKName);
  for (const auto& experiment : experiments) {
    auto e = TLWPBExperiment::initWithMessageInfo();
    e->SetInt32(TLWPBExperiment::kExperimentId, static_cast<std::int32_t>(experiment.experimentID));
    for (const auto& [name, value] : experiment.flags) {
      auto f = TLWPBFlag::initWithMessageInfo();
      f->SetString(TLWPBFlag::kName, name);
      if (value.isBool()) {
        f->SetBool(TLWPBFlag::kBoolValue, *value.boolValue());
      } else if (value.isInteger()) {
        f->SetInt64(TLWPBFlag::kIntValue, value.int64Value().value_or(0));
      } else if (value.isNumber()) {
        f->SetDouble(TLWPBFlag::kDoubleValue, value.doubleValue().value_or(0));
      } else if (value.isString()) {
        f->SetString(TLWPBFlag::kStringValue, *value.string());
      }
      e->AddRepeatedMessage(TLWPBExperiment::kFlags, *f);
    }
    proto->AddRepeatedMessage(TLWPBSnapshot::kExperiments, *e);
  }
  return proto;
}
