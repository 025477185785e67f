#pragma once
// TLWSearchAdReporter: asks the platform's search-ads attribution service (class "ADClient",
// looked up by name; absent means the reporter does nothing) once a day, at most ten times
// in the app's life, whether the installation came from a search-ads campaign, and reports
// a positive answer once as "_cmp" (source "Apple", medium "search"). The answer and the
// attempts persist in the persisted configuration, so a known answer or ten attempts stop
// the reporter for good.
//
// Thread-safety: scheduling and look-ups run on the worker queue through the alarm
// "Search Ad campaign report alarm"; the service's answer may arrive on any thread and only
// takes the reporter's lock, stores the answer and logs the event through the callback.
//
// Ownership: the engine owns it; the alarm and the service's completion hold it weakly.
// Destroying it cancels its scheduling.

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "measurement/reporters/TLWSearchAdReporting.h"
#include "platform/DispatchQueue.h"
#include "platform/Environment.h"
#include "platform/StoreKit.h"
#include "platform/Value.h"

class TLWAlarm;
class TLWMonitor;
class TLWPersistedConfig;

class TLWSearchAdReporter : public TLWSearchAdReporting, public std::enable_shared_from_this<TLWSearchAdReporter> {
  struct Private {};

 public:
  using LogEvent = std::function<void(const std::string& name, const platform::Dictionary& parameters)>;
  static constexpr std::int64_t kMaxRetries = 10;
  static constexpr double kLookUpInterval = 86400;

  // Null (logged) without a queue or persisted configuration, when the answer is already
  // stored, or when the retries ran out. `logEvent` logs an internal event with origin
  // "auto".
  static std::shared_ptr<TLWSearchAdReporter> initWithWorkerQueue(
      std::shared_ptr<platform::DispatchQueue> workerQueue, std::shared_ptr<TLWPersistedConfig> persistedConfig,
      std::shared_ptr<platform::Environment> env, LogEvent logEvent, std::shared_ptr<TLWMonitor> monitor = nullptr);
  TLWSearchAdReporter(Private, std::shared_ptr<TLWAlarm> alarm, std::shared_ptr<TLWPersistedConfig> persistedConfig,
                      std::shared_ptr<platform::Environment> env, LogEvent logEvent, std::shared_ptr<TLWMonitor> monitor);
  ~TLWSearchAdReporter() override;

  void start() override;
  void setSearchAdReporterEnabled(bool enabled) override;
  bool isSearchAdReporterEnabled() const override;

  void scheduleSearchAdReport();
  void maybeLogIAdCampaignEvent();
  void fetchAttributionDetails();
  void logCampaignEventWithSearchAdCampaign(bool attribution, const std::string& campaign, const std::string& term);
  void cancelScheduling();
  std::shared_ptr<platform::SearchAdsClient> adClientInstance();
  // Worker queue: when the alarm is due; nullopt when idle or cancelled.
  std::optional<double> scheduledTimestamp() const;

 private:
  void handleAttributionDetails(const std::optional<platform::Dictionary>& details, const std::string& error);

  mutable std::mutex mutex_;
  std::shared_ptr<TLWAlarm> alarm_;  // null once scheduling was cancelled; guarded by mutex_
  const std::shared_ptr<TLWPersistedConfig> persistedConfig_;
  const std::shared_ptr<platform::Environment> env_;
  const LogEvent logEvent_;
  const std::shared_ptr<TLWMonitor> monitor_;
  bool enabled_ = false;  // guarded by mutex_
  bool started_ = false;  // guarded by mutex_: start() ran with the attribution client present
  std::once_flag clientOnce_;
  std::shared_ptr<platform::SearchAdsClient> client_;
};
