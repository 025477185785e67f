#pragma once
// TLWUploader: decides when to upload, turns queued bundles into one MeasurementBatch,
// posts it to the measurement service and reacts to the answer (deletion, retry counts,
// failure and back-off times, the next planned attempt).
//
// The decisions are split from the effects so they can be tested without a network:
// TLWNextUploadingTime and TLWUploadTimeAfterBackoff are the schedule, TLWMakeUploadRequest
// builds the request body from queued bundles, and the network is reached only through a
// TLWNetworkTransport (TLWVXLNetworkTransport in the product, a fake in tests).
//
// Thread-safety: every TLWUploader member runs on the worker queue (the scheduler's),
// except reachabilityDidChange, which may be called from any thread and only schedules.
// The pure functions may be called from any thread.
//
// Ownership: TLWMeasurement owns the uploader (create()) and implements its host. The
// uploader holds its host weakly, owns neither the database nor the persisted
// configuration (shared with the engine), and holds the alarm, transport and scheduler
// strongly. Completion handlers and alarm blocks hold the uploader weakly and do nothing
// once it is gone.
//
// Failures are logged with the monitor codes of the upload path and leave the bundles
// queued; nothing throws. Bundles the service accepted whose rows a busy or full database
// would not let go are deleted again before anything else is sent (every few seconds
// until it works), so they are not sent twice; their row IDs are also kept in the persisted
// configuration, so a launch after an exit that came first deletes them instead of sending
// them again.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/TLWBundleIdentifiers.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/proto/TLWPBBundleBytes.h"
#include "platform/DispatchQueue.h"
#include "platform/Environment.h"
#include "platform/Value.h"
#include "platform/network/VXLNetwork.h"

class TLWAlarm;
class TLWDatabase;
class TLWMonitor;
class TLWPersistedConfig;
class TLWPBMeasurementBatch;
class TLWPBMeasurementBundle;
class TLWScheduler;

// The remote configuration's upload settings, in seconds where they are times.
struct TLWUploadSettings {
  double uploadingInterval = 3600;
  double uploadingRealTimeInterval = 10;
  double uploadingInitialDelayInterval = 15;
  double uploadingDebugModeInterval = 1;
  double uploadingRetryInterval = 1800;
  std::int64_t uploadingRetryCount = 6;
  double uploadingBackoffInterval = 43200;
  std::int64_t uploadMaxBundlesLimit = 100;
  std::int64_t uploadMaxSizeLimitBytes = 65536;
  std::int64_t maxBundlesCreatedPerIteration = 100;
  double networkTimeout = 60;
  bool checksumEnabled = false;
  bool isNetworkBackgroundSessionEnabled = false;
  // The configuration is older than its cache period: no new bundles, fetch it instead.
  bool isExpired = false;
};

// What the schedule is computed from (all times seconds since 1970, 0 = none).
struct TLWUploadScheduleFacts {
  double now = 0;
  double lastSuccessfulUpload = 0;
  double lastFailedUpload = 0;
  // The newest queued bundle or raw event.
  double latestDataTime = 0;
  bool realtime = false;
  bool debugMode = false;
};

// When the next upload should happen, seconds since 1970; 0 when none should be planned
// (no data, or every spaced retry after the last failure has passed).
double TLWNextUploadingTime(const TLWUploadScheduleFacts& facts, const TLWUploadSettings& settings);
// `plannedTime` moved past the back-off period that began at `lastBackoff`, while it lasts.
double TLWUploadTimeAfterBackoff(double plannedTime, double now, double lastBackoff, double backoffInterval);

// A queued bundle as its stored bytes, and its queue row.
using TLWQueuedBundle = std::pair<TLWPBBundleBytes, std::int64_t>;

// filteredBundlesWithCompatibleAppID:resettableDeviceID:vendorDeviceID:bundlesToUpload:
// The longest prefix whose bundles share `appID` and carry no device ID of the chosen
// kind or the same one. Empty (after logging 23042) when both IDs are given.
std::vector<TLWQueuedBundle> TLWFilteredBundlesWithCompatibleAppID(const std::string& appID,
                                                                   const std::string& resettableDeviceID,
                                                                   const std::string& vendorDeviceID,
                                                                   std::vector<TLWQueuedBundle> bundles,
                                                                   TLWMonitor* monitor = nullptr);

// The request body of one upload and the queue rows it carries.
struct TLWUploadRequest {
  std::vector<std::uint8_t> payload;  // a serialised measurement batch
  std::vector<std::int64_t> rowIDs;
  std::int64_t uploadTimestampMilliseconds = 0;
};

// The pure request step: the compatible prefix of `bundles` (in query order), each
// stamped with the upload time, the library version and, when enabled, its checksum,
// written into one batch from its bytes as it is stamped (each bundle is in memory once).
// nullopt (and `error`) when nothing is left.
std::optional<TLWUploadRequest> TLWMakeUploadRequest(std::vector<TLWQueuedBundle> bundles, double now,
                                                     bool checksumEnabled, TLWError* error = nullptr,
                                                     TLWMonitor* monitor = nullptr);

// What upload and configuration fetch need of the network client.
class TLWNetworkTransport {
 public:
  virtual ~TLWNetworkTransport() = default;
  virtual bool isNetworkConnected() = 0;
  virtual bool hasUploadInProgress() = 0;
  virtual void setTimeoutInterval(double seconds) = 0;
  // Empty pointer clears it.
  virtual void setReachabilityDelegate(std::weak_ptr<platform::VXLReachabilityDelegate> delegate) = 0;
  // Both return the session identifier, "" when no session could be made. The handler
  // runs on `queue`, at most once.
  virtual std::string postURL(const std::string& url, const platform::Value::Data& payload,
                              std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                              platform::VXLNetworkCompletionHandler handler) = 0;
  virtual std::string getURL(const std::string& url, const platform::VXLHTTPHeaders& headers,
                             std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                             platform::VXLNetworkCompletionHandler handler) = 0;
};

// The transport over the utilities framework's client. Also forwards the client's log
// lines to the monitor with the engine's level mapping (3 -> 1, 4 -> 4, 5 -> 3, 6 -> 6,
// 7 -> 7, other -> 3).
class TLWVXLNetworkTransport final : public TLWNetworkTransport,
                                     public platform::VXLNetworkLoggerDelegate,
                                     public std::enable_shared_from_this<TLWVXLNetworkTransport> {
 public:
  // Sets itself as the client's logger delegate and the client's debug mode from the
  // monitor. A null monitor means TLWMonitor::sharedInstance().
  static std::shared_ptr<TLWVXLNetworkTransport> create(std::shared_ptr<platform::VXLNetwork> network,
                                                        std::shared_ptr<TLWMonitor> monitor = nullptr);
  TLWVXLNetworkTransport(std::shared_ptr<platform::VXLNetwork> network, std::shared_ptr<TLWMonitor> monitor);

  const std::shared_ptr<platform::VXLNetwork>& network() const { return network_; }

  bool isNetworkConnected() override;
  bool hasUploadInProgress() override;
  void setTimeoutInterval(double seconds) override;
  void setReachabilityDelegate(std::weak_ptr<platform::VXLReachabilityDelegate> delegate) override;
  std::string postURL(const std::string& url, const platform::Value::Data& payload,
                      std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                      platform::VXLNetworkCompletionHandler handler) override;
  std::string getURL(const std::string& url, const platform::VXLHTTPHeaders& headers,
                     std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                     platform::VXLNetworkCompletionHandler handler) override;

  void VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode, const std::string& message) override;
  void VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode, const std::string& message,
                               const platform::Value& context) override;
  void VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode, const std::string& message,
                               const std::vector<platform::Value>& contexts) override;
  static std::int64_t monitorLevelForNetworkLevel(platform::VXLLoggerLevel level);

 private:
  std::shared_ptr<platform::VXLNetwork> network_;
  std::shared_ptr<TLWMonitor> monitor_;
};

// What only the engine knows. Called on the worker queue.
class TLWUploaderHost {
 public:
  virtual ~TLWUploaderHost() = default;
  // The remote configuration's current upload settings.
  virtual TLWUploadSettings uploadSettings() = 0;
  // One bundling step (TLWBundler); true when a bundle was queued and another may follow.
  virtual bool bundleRawEvents() = 0;
  // The identity, consent and configuration facts for the identifier rule, as of now.
  virtual TLWBundleIdentifierInputs bundleIdentifierInputs() = 0;
  // TLWRemoteConfig activateNewSnapshot.
  virtual bool activateNewSnapshot() = 0;
  // Starts a configuration fetch (TLWConfigFetcher fetchRemoteConfig).
  virtual void fetchRemoteConfig() = 0;
  // Whether a platform background task is active, and ending it (both the engine's).
  virtual bool isBackgroundTaskActive() = 0;
  virtual void endBackgroundTask() = 0;
};

class TLWUploader final : public platform::VXLReachabilityDelegate,
                          public std::enable_shared_from_this<TLWUploader> {
  struct Private {};

 public:
  // `serviceBaseURL` is the measurement service's base URL (no trailing "/"); uploads go
  // to base + "/a". `alarm` is the engine's "Measurement timer" on the worker queue.
  static std::shared_ptr<TLWUploader> create(std::shared_ptr<TLWDatabase> database,
                                             std::shared_ptr<TLWPersistedConfig> persistedConfig,
                                             std::shared_ptr<TLWScheduler> scheduler, std::shared_ptr<TLWAlarm> alarm,
                                             std::shared_ptr<TLWNetworkTransport> transport,
                                             std::weak_ptr<TLWUploaderHost> host, std::string serviceBaseURL,
                                             std::shared_ptr<platform::Environment> env = nullptr,
                                             std::shared_ptr<TLWMonitor> monitor = nullptr);
  TLWUploader(Private, std::shared_ptr<TLWDatabase> database, std::shared_ptr<TLWPersistedConfig> persistedConfig,
              std::shared_ptr<TLWScheduler> scheduler, std::shared_ptr<TLWAlarm> alarm,
              std::shared_ptr<TLWNetworkTransport> transport, std::weak_ptr<TLWUploaderHost> host,
              std::string serviceBaseURL, std::shared_ptr<platform::Environment> env,
              std::shared_ptr<TLWMonitor> monitor);
  ~TLWUploader() override;

  // Plans the next upload: arms, keeps or cancels the alarm.
  void updateSchedule();
  // Seconds since 1970; 0 = no upload planned.
  double nextUploadingTime();
  // One upload attempt.
  void uploadData();
  void uploadDataOrRegisterAlarm();
  // The same from a network completion handler: they run in a later worker-queue block,
  // once the finished request no longer counts as in progress.
  void uploadDataAfterThisRequest();
  void uploadDataOrRegisterAlarmAfterThisRequest();
  bool hasDataToUpload();
  bool isNetworkReadyForRequest();
  bool shouldUseBackgroundSession();
  void setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs);
  void incrementRetryCounter();
  [[nodiscard]] bool removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs);
  void setSuspendedUploadTimestamp(double secondsSinceBoot);
  void networkUploadCompletionHandlerWithResponse(const platform::VXLHTTPResponse& response,
                                                  const std::optional<platform::VXLNetworkError>& error);
  // Any thread: plans again on the worker queue.
  void reachabilityDidChange() override;

  // Worker-queue state, readable for the engine and tests.
  const std::optional<std::vector<std::int64_t>>& uploadingBundleIDs() const { return uploadingBundleIDs_; }
  bool isNetworkRequestPending() const { return isNetworkRequestPending_; }
  // Shared with configuration fetch and the deferred deep-link request.
  void setNetworkRequestPending(bool pending) { isNetworkRequestPending_ = pending; }
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
  // When the configuration fetcher last refused what the server sent (0: the last fetch
  // was not refused). While set, an expired configuration no longer holds bundling back:
  // the configuration in force is used and the fetch is repeated only once the retry
  // interval has passed since the refusal. Worker queue.
  void setConfigurationRefusedTimestamp(double seconds) { configurationRefusedTimestamp_ = seconds; }
  double configurationRefusedTimestamp() const { return configurationRefusedTimestamp_; }
  // Seconds since boot, -1 when the boot time is unavailable.
  double secondsSinceBoot();

  const std::shared_ptr<TLWNetworkTransport>& transport() const { return transport_; }
  const std::shared_ptr<TLWScheduler>& scheduler() const { return scheduler_; }
  const std::shared_ptr<TLWDatabase>& database() const { return database_; }
  const std::shared_ptr<TLWPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  const std::shared_ptr<TLWMonitor>& monitor() const { return monitor_; }
  const std::string& serviceBaseURL() const { return serviceBaseURL_; }
  std::string uploadURL() const { return serviceBaseURL_ + "/a"; }
  double now();
  TLWUploadSettings currentSettings();
  std::shared_ptr<TLWUploaderHost> host() const { return host_.lock(); }

 private:
  // Cancels the alarm, clears the reachability delegate and ends the background task.
  void stopPlanning(bool waitForReachability);
  void endBackgroundTask();
  std::shared_ptr<platform::DispatchQueue> workerQueue() const;

  const std::shared_ptr<TLWDatabase> database_;
  const std::shared_ptr<TLWPersistedConfig> persistedConfig_;
  const std::shared_ptr<TLWScheduler> scheduler_;
  const std::shared_ptr<TLWAlarm> alarm_;
  const std::shared_ptr<TLWNetworkTransport> transport_;
  const std::weak_ptr<TLWUploaderHost> host_;
  std::string serviceBaseURL_;
  const std::shared_ptr<platform::Environment> env_;
  const std::shared_ptr<TLWMonitor> monitor_;

  // Deletes the accepted bundles whose deletion met a busy or full database; false (a retry
  // planned) while they are still there.
  bool deleteDeliveredBundles();
  // Clears the delivered bundle IDs, here and in the persisted configuration.
  void forgetDeliveredBundles();

  // Worker queue only.
  std::optional<std::vector<std::int64_t>> uploadingBundleIDs_;
  std::vector<std::int64_t> deliveredBundleIDs_;
  std::uint64_t deliveredGeneration_ = 0;  // the database's generation they belong to
  bool deliveredLoaded_ = false;            // read from the persisted configuration once
  bool deliveredRecorded_ = false;          // a cleared record may still be on disk (its write failed)
  std::atomic<bool> isNetworkRequestPending_{false};
  std::atomic<double> suspendedUploadTimestamp_{0};
  double configurationRefusedTimestamp_ = 0;
};
