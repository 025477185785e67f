#include "measurement/reporters/TLWSearchAdReporter.h"

#include <cmath>

#include "measurement/scheduler/TLWAlarm.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWPersistedConfig.h"

using platform::Dictionary;
using platform::Value;

std::shared_ptr<TLWSearchAdReporter> TLWSearchAdReporter::initWithWorkerQueue(
    std::shared_ptr<platform::DispatchQueue> workerQueue, std::shared_ptr<TLWPersistedConfig> persistedConfig,
    std::shared_ptr<platform::Environment> env, LogEvent logEvent, std::shared_ptr<TLWMonitor> monitor) {
  if (!monitor) monitor = TLWMonitor::sharedInstance();
  if (!env) env = platform::Environment::current();
  if (!workerQueue) {
    monitor->logWithLevel(2, 32000, "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!persistedConfig) {
    monitor->logWithLevel(2, 32001, "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (persistedConfig->searchAdRetryCount() > 9) return nullptr;
  if (!persistedConfig->searchAdCampaignValue().isNull()) {
    monitor->logWithLevel(7, 32002,
                          "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
    return nullptr;
  }
  auto alarm = TLWAlarm::initWithDispatchQueue(std::move(workerQueue), "Search Ad campaign report alarm", env->clock());
  return std::make_shared<TLWSearchAdReporter>(Private{}, std::move(alarm), std::move(persistedConfig), std::move(env),
                                               std::move(logEvent), std::move(monitor));
}

TLWSearchAdReporter::TLWSearchAdReporter(Private, std::shared_ptr<TLWAlarm> alarm,
                                         std::shared_ptr<TLWPersistedConfig> persistedConfig,
                                         std::shared_ptr<platform::Environment> env, LogEvent logEvent,
                                         std::shared_ptr<TLWMonitor> monitor)
    : alarm_(std::move(alarm)),
      persistedConfig_(std::move(persistedConfig)),
      env_(std::move(env)),
      logEvent_(std::move(logEvent)),
      monitor_(std::move(monitor)) {}

TLWSearchAdReporter::~TLWSearchAdReporter() {
  if (alarm_) alarm_->cancel();
}

std::shared_ptr<platform::SearchAdsClient> TLWSearchAdReporter::adClientInstance() {
  std::call_once(clientOnce_, [this] { client_ = platform::searchAdsClient(*env_); });
  return client_;
}

void TLWSearchAdReporter::setSearchAdReporterEnabled(bool enabled) {
  std::shared_ptr<TLWAlarm> alarm;
  bool wasEnabled, started;
  {
    std::lock_guard lock(mutex_);
    wasEnabled = enabled_;
    enabled_ = enabled;
    alarm = alarm_;
    started = started_;
  }
  if (!alarm || !started || wasEnabled == enabled) return;
  // Disabled means no request; enabling again resumes where the look-ups stood.
  if (!enabled) {
    alarm->cancel();
  } else {
    scheduleSearchAdReport();
  }
}

bool TLWSearchAdReporter::isSearchAdReporterEnabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

std::optional<double> TLWSearchAdReporter::scheduledTimestamp() const {
  std::lock_guard lock(mutex_);
  return alarm_ ? alarm_->scheduledTimestamp() : std::nullopt;
}

void TLWSearchAdReporter::start() {
  if (!adClientInstance()) {
    monitor_->logWithLevel(7, 32003, "iAd framework is not linked. Search Ad Attribution Reporter is disabled.");
    return;
  }
  {
    std::lock_guard lock(mutex_);
    started_ = true;
  }
  scheduleSearchAdReport();
}

void TLWSearchAdReporter::cancelScheduling() {
  std::shared_ptr<TLWAlarm> alarm;
  {
    std::lock_guard lock(mutex_);
    alarm = std::move(alarm_);
  }
  if (alarm) alarm->cancel();
}

void TLWSearchAdReporter::scheduleSearchAdReport() {
  std::shared_ptr<TLWAlarm> alarm;
  bool enabled;
  {
    std::lock_guard lock(mutex_);
    alarm = alarm_;
    enabled = enabled_;
  }
  if (!alarm) {
    monitor_->logWithLevel(5, 32013, "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!enabled) {
    alarm->cancel();
    return;
  }
  if (!persistedConfig_->searchAdCampaignValue().isNull()) {
    monitor_->logWithLevel(7, 32004,
                           "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
    cancelScheduling();
    return;
  }
  if (alarm->scheduledTimestamp()) {
    monitor_->logWithLevel(5, 32005, "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (persistedConfig_->searchAdRetryCount() >= kMaxRetries) {
    monitor_->logWithLevel(
        5, 32007, "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
    cancelScheduling();
    return;
  }
  monitor_->logWithLevel(7, 32006, "Scheduling Search Ad Report timer");
  const double sinceLast = std::fabs(env_->clock()->now() - persistedConfig_->lastSearchAdLookUpTimestamp());
  std::weak_ptr<TLWSearchAdReporter> weak = weak_from_this();
  alarm->runAfterDelay(kLookUpInterval - sinceLast, [weak] {
    if (auto self = weak.lock()) self->maybeLogIAdCampaignEvent();
  });
}

void TLWSearchAdReporter::maybeLogIAdCampaignEvent() {
  if (!adClientInstance() || !isSearchAdReporterEnabled()) return;
  persistedConfig_->setLastSearchAdLookUpTimestamp(env_->clock()->now());
  fetchAttributionDetails();
  scheduleSearchAdReport();
}

void TLWSearchAdReporter::fetchAttributionDetails() {
  persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
  auto client = adClientInstance();
  if (!client) return;
  std::weak_ptr<TLWSearchAdReporter> weak = weak_from_this();
  client->requestAttributionDetails([weak](const std::optional<Dictionary>& details, const std::string& error) {
    if (auto self = weak.lock()) self->handleAttributionDetails(details, error);
  });
}

void TLWSearchAdReporter::handleAttributionDetails(const std::optional<Dictionary>& details, const std::string& error) {
  // An answer that comes back after collection was disabled is neither saved nor logged:
  // the look-up runs again once collection is enabled.
  if (!isSearchAdReporterEnabled()) return;
  if (!error.empty()) {
    monitor_->logWithLevel(1, 32010, "Cannot send request for Search Ad campaign attribution. Error", Value(error));
    scheduleSearchAdReport();
    return;
  }
  if (!details || details->empty()) {
    monitor_->logWithLevel(1, 32011, "Cannot get Search Ad campaign attribution. Search Ad details are empty");
    scheduleSearchAdReport();
    return;
  }
  const Dictionary* campaign = details->at(0).second.dictionary();
  if (!campaign || campaign->empty()) {
    scheduleSearchAdReport();
    return;
  }
  const Value& attributionValue = campaign->get("iad-attribution");
  bool attribution = attributionValue.boolValue().value_or(false);
  if (const std::string* s = attributionValue.string()) attribution = *s == "true" || *s == "1";
  const std::string name = campaign->get("iad-campaign-name").stringOr();
  const std::string keyword = campaign->get("iad-keyword").stringOr();
  const std::string id = campaign->get("iad-campaign-id").stringOr();
  if (id == "1234567890" && name == "CampaignName") {
    monitor_->logWithLevel(2, 32012, "Search Ad Reporter returns dummy data. Will retry next time.");
    scheduleSearchAdReport();
    return;
  }
  logCampaignEventWithSearchAdCampaign(attribution, name, keyword);
  cancelScheduling();
}

void TLWSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool attribution, const std::string& campaign,
                                                               const std::string& term) {
  Dictionary parameters;
  {
    std::lock_guard lock(mutex_);
    if (!persistedConfig_->searchAdCampaignValue().isNull()) {
      monitor_->logWithLevel(5, 32008, "Search Ad Campaign is already tracked");
      return;
    }
    persistedConfig_->setSearchAdCampaignValue(Value(attribution));
    if (!attribution) return;
    parameters.set("source", "Apple");
    parameters.set("medium", "search");
    if (!campaign.empty()) parameters.set("campaign", campaign);
    if (!term.empty()) parameters.set("term", term);
    const std::int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
    if (firstOpen >= 2) {
      parameters.set("click_timestamp", static_cast<long long>(firstOpen - 1));
    } else {
      monitor_->logWithLevel(5, 32009, "Search Ad Campaign does not have click_timestamp.");
    }
  }
  if (logEvent_) logEvent_("_cmp", parameters);
}
