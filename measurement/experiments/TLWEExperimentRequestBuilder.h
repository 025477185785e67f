#pragma once
// TLWEExperimentRequestBuilder: the ExperimentRequest posted to "/sdk-exp": the app and
// device, and one ClientProperty per registered SDK (its name, version, app ID, diversion
// ID and custom properties).
//
// Thread-safety: any thread; the SDK list is guarded by a lock.
// Ownership: shared by the manager (which adds SDKs) and the task manager (which builds).

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/TLWESnapshot.h"
#include "platform/Environment.h"

class TLWPBExperimentRequest;

// The experiment library's own version on the wire ("10000000" less its last three digits).
inline constexpr std::int64_t kTLWEExperimentLibraryVersion = 10000;

class TLWEExperimentRequestBuilder {
 public:
  struct Dependencies {
    std::shared_ptr<platform::Environment> env;  // null: the current environment
    // The app instance ID for diversion IDs; null or nullopt: none.
    std::function<std::optional<std::string>()> appInstanceID;
    std::function<bool()> isFromAppStore;  // null: false
  };
  explicit TLWEExperimentRequestBuilder(Dependencies dependencies);

  // Replaces an SDK of the same name.
  void addSDKProperty(const TLWESDKProperty& property);
  std::vector<TLWESDKProperty> sdkProperties() const;
  std::shared_ptr<TLWPBExperimentRequest> request() const;
  // Lower-case hex MD5 of (diversion key, else app instance ID) + "-" + SDK name.
  std::optional<std::string> diversionID(const TLWESDKProperty& property) const;

 private:
  Dependencies deps_;
  mutable std::mutex mutex_;
  std::vector<TLWESDKProperty> properties_;
};
