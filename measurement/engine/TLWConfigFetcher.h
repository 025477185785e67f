#pragma once
// TLWConfigFetcher: keeps the measurement configuration fresh. It fetches the
// configuration with If-Modified-Since caching, checks it (it decodes and re-serialises,
// its app ID is the app's), stores it together with its audiences in one transaction,
// has the remote configuration apply it, and only then records the server's
// Last-Modified value and the fetch time. Failures share the upload retry schedule.
//
// Thread-safety: worker queue only (the network completion is delivered there).
//
// Ownership: TLWMeasurement owns the fetcher and implements its host. The fetcher holds
// the uploader strongly (it shares the uploader's transport, pending-request flag,
// suspension and schedule) and the host weakly; completion handlers hold the fetcher
// weakly and do nothing once it is gone.
//
// Failures are logged with the configuration-fetch codes; a rejected configuration leaves
// the stored one in place and counts as a failed attempt, so it is fetched again on the
// retry schedule.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Environment.h"
#include "platform/Value.h"
#include "platform/network/VXLNetwork.h"

class TLWMonitor;
class TLWPBAudience;
class TLWPBMeasurementConfig;
class TLWUploader;

// What only the engine knows. Called on the worker queue.
class TLWConfigFetcherHost {
 public:
  virtual ~TLWConfigFetcherHost() = default;
  // TLWRemoteConfig remoteConfigURLWithAppInstanceID:platform:SDKVersion:runtimeVersion:
  // with the identity's app instance ID (empty when analytics storage is denied), "ios",
  // the library version and the runtime version; nullopt when it cannot be made.
  virtual std::optional<std::string> remoteConfigURL() = 0;
  // The identity's appIDFromZEL, which a fetched configuration must carry.
  virtual std::string appIDFromZEL() = 0;
  // Hands the audiences of an accepted configuration to audience evaluation. Runs inside
  // the storing transaction; false rolls it back.
  virtual bool updateAudiences(const std::vector<std::shared_ptr<TLWPBAudience>>& audiences) = 0;
  // TLWRemoteConfig updateMeasurementConfig: stores the configuration (audiences
  // removed) and retunes every setting. Runs inside the transaction; false rolls it back.
  virtual bool updateMeasurementConfig(const std::shared_ptr<TLWPBMeasurementConfig>& config) = 0;
};

class TLWConfigFetcher final : public std::enable_shared_from_this<TLWConfigFetcher> {
  struct Private {};

 public:
  // Null without an uploader.
  static std::shared_ptr<TLWConfigFetcher> create(std::shared_ptr<TLWUploader> uploader,
                                                  std::weak_ptr<TLWConfigFetcherHost> host,
                                                  std::shared_ptr<platform::Environment> env = nullptr,
                                                  std::shared_ptr<TLWMonitor> monitor = nullptr);
  TLWConfigFetcher(Private, std::shared_ptr<TLWUploader> uploader, std::weak_ptr<TLWConfigFetcherHost> host,
                   std::shared_ptr<platform::Environment> env, std::shared_ptr<TLWMonitor> monitor);

  // Starts one fetch; the completion runs on the worker queue.
  void fetchRemoteConfig();
  void networkRemoteConfigFetchCompletionHandler(const platform::VXLHTTPResponse& response,
                                                 const platform::Value::Data& data,
                                                 const std::optional<platform::VXLNetworkError>& error);

 private:
  enum class Acceptance { Accepted, Rejected };
  // Decodes, checks and stores `data` in one transaction.
  Acceptance storeConfiguration(const platform::Value::Data& data);
  // Records the fetch time; a failure suspends uploads for an hour.
  void recordFetchTime(std::int64_t failureCode, const char* failureMessage);

  const std::shared_ptr<TLWUploader> uploader_;
  const std::weak_ptr<TLWConfigFetcherHost> host_;
  const std::shared_ptr<platform::Environment> env_;
  const std::shared_ptr<TLWMonitor> monitor_;
};
