#pragma once
// TLWETaskManager: fetches SDK-experiment snapshots and keeps them in the experiments
// database. It posts the request to "/sdk-exp" on the measurement service about 10 s after
// start, then every 4 hours (1800 s doubling after failures, for six attempts; 12 hours
// after a 429 or 503), inflates and decodes the answer, stores the snapshots as pending
// and tells its delegate (the manager). At start it drops stale activated snapshots and
// activates pending ones that were not left for their SDK to activate.
//
// Thread-safety: public operations may be called from any thread; the database, the alarm
// and network completions run on "TLWExperimentWorkerQueue". Synchronous operations
// (activatePendingSnapshot, upsertPendingSnapshots) must not be called from that queue.
// Ownership: owned by the manager, which is its delegate (held weakly). Blocks and the
// alarm hold the task manager weakly.
// Failure: a failed fetch, an answer that does not inflate or decode, or one larger than
// kTLWEMaxResponseBytes is logged, recorded as a failure and retried later; stored
// snapshots stay as they were.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/TLWEDatabase.h"
#include "measurement/experiments/TLWEExperimentAnswer.h"
#include "measurement/experiments/TLWESnapshot.h"
#include "measurement/monitor/TLWError.h"
#include "platform/DispatchQueue.h"
#include "platform/Environment.h"
#include "platform/Value.h"

class TLWAlarm;
class TLWMonitor;
class TLWEExperimentRequestBuilder;
namespace platform {
class VXLNetwork;
class PreferencesSuite;
}  // namespace platform

inline constexpr const char* kTLWExperimentWorkerQueueLabel = "TLWExperimentWorkerQueue";
inline constexpr const char* kTLWExperimentAlarmName = "TLWExperimentAlarm";
inline constexpr const char* kTLWExperimentSuiteName = "TLWExperimentSuiteName";
inline constexpr const char* kTLWExperimentFetchSuccessTimestampKey = "TLWExperimentFetchSuccessTimestamp";
inline constexpr const char* kTLWExperimentFetchFailureTimestampKey = "TLWExperimentFetchFailureTimestamp";
inline constexpr const char* kTLWExperimentFetchBackoffTimestampKey = "TLWExperimentFetchBackoffTimestamp";

class TLWETaskManagerDelegate {
 public:
  virtual ~TLWETaskManagerDelegate() = default;
  virtual bool taskManagerShouldFetchExperiments() = 0;
  virtual void taskManagerDidStart(const std::vector<TLWESnapshot>& activated, const std::vector<TLWESnapshot>& pending,
                                   const std::vector<TLWESnapshot>& launched) = 0;
  virtual void taskManagerDidFinishFetching(const std::vector<TLWESnapshot>& snapshots,
                                            const std::map<std::string, TLWError>& errors) = 0;
};

class TLWETaskManager : public std::enable_shared_from_this<TLWETaskManager> {
  struct Private {};

 public:
  struct Dependencies {
    std::shared_ptr<platform::Environment> env;  // null: the current environment
    std::shared_ptr<TLWMonitor> monitor;         // null: the shared monitor
    std::shared_ptr<TLWEExperimentRequestBuilder> requestBuilder;  // required
    std::string serviceBaseURL;                  // the measurement service, no trailing "/"
    std::string databasePath;                    // the experiments database file
    std::shared_ptr<platform::VXLNetwork> network;  // null: one from the environment
  };

  static std::shared_ptr<TLWETaskManager> create(Dependencies dependencies);
  TLWETaskManager(Private, Dependencies dependencies);
  ~TLWETaskManager();

  void setDelegate(std::weak_ptr<TLWETaskManagerDelegate> delegate);
  // Opens the database, drops stale and auto-activates pending snapshots, tells the
  // delegate what is stored, then schedules the first fetch (asynchronous).
  void startTaskManager();
  void fetchExperiments();
  void postponeFetchExperiments();
  void scheduleFetchingExperimentsOnWorkerQueue();
  // When the next fetch is due (seconds since 1970); 0 after six failed attempts.
  double fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure);
  void handleFetchingExperimentsResponse(long statusCode, const std::optional<platform::Value::Data>& data,
                                         const std::optional<std::string>& networkError);
  [[nodiscard]] bool activatePendingSnapshot(const TLWESnapshot& snapshot, double timestamp);
  [[nodiscard]] bool upsertPendingSnapshots(const std::vector<TLWESnapshot>& snapshots);
  [[nodiscard]] bool upsertPendingSnapshotsOnWorkerQueue(const std::vector<TLWESnapshot>& snapshots);
  void resetToDefaultsForSDKName(const std::string& sdkName);
  void reset();

  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return queue_; }
  const std::shared_ptr<TLWAlarm>& alarm() const { return alarm_; }
  std::string fetchURL() const { return deps_.serviceBaseURL + "/sdk-exp"; }

 private:
  double now() const;
  double stored(const char* key) const;
  void store(const char* key, std::optional<double> value);
  void log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& context1 = {},
           const platform::Value& context2 = {}) const;
  bool runSync(const std::function<void()>& block);
  void recordFailure(long statusCode);

  Dependencies deps_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<TLWAlarm> alarm_;
  std::shared_ptr<platform::PreferencesSuite> suite_;
  std::weak_ptr<TLWETaskManagerDelegate> delegate_;
  const double initTimestamp_;
  // Worker queue only.
  std::unique_ptr<TLWEDatabase> database_;
  bool hasMadeInitialFetch_ = false;
};
