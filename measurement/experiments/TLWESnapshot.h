#pragma once
// The SDK-experiment objects: an experiment (ID and flags), a snapshot of one SDK's
// experiments, and the property an SDK registers with.
//
// Thread-safety: plain values; copy before handing to another thread.
// Failure: fromProto returns nullopt (no object) for a snapshot without an SDK name.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

class TLWPBSnapshot;
class TLWPBFlag;
class TLWExperimentClientDelegate;

struct TLWEExperiment {
  std::int64_t experimentID = 0;  // 0 marks launched (rolled-out) flags
  // Flag name to value (a number, string or bool); a flag without a value is absent.
  std::map<std::string, platform::Value, std::less<>> flags;
};

struct TLWESnapshot {
  std::string SDKName;
  std::vector<TLWEExperiment> experiments;
  double timestamp = 0;  // seconds since 1970
  bool manuallyActivated = false;

  // The flag from the first experiment that has it; null when none does.
  platform::Value flagByName(std::string_view name) const;
  std::shared_ptr<TLWPBSnapshot> toProto() const;
  static std::optional<TLWESnapshot> fromProto(const TLWPBSnapshot& proto);
  // A flag message's value: the first present of integer, finite double, string, boolean.
  static platform::Value flagValue(const TLWPBFlag& flag);
};

struct TLWESDKProperty {
  std::string name;
  std::int64_t version = 0;
  std::string appID;
  std::optional<std::string> diversionKey;
  std::map<std::string, std::string> customProperties;
};
